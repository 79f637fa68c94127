// Hash registry, hash contexts and hash lists.
#include "crypto/hash.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "tests/crypto/hash_test_support.h"

namespace {

using hashtest::Hex;

struct Expected {
  QOXHashAlgorithm number;
  const QOXHashVTBL* vtbl;
  const char* name;
  uint32_t digestSize;
  uint32_t stateSize;
  int nid;  // OpenSSL's name for the algorithm's object identifier
  const char* digestOfAbc;
};

const Expected kRegistry[] = {
    {1, &HashMD5, "MD5", 16, 88, NID_md5, "900150983cd24fb0d6963f7d28e17f72"},
    {2, &HashSHA, "SHA1", 20, 92, NID_sha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {3, &HashRIPEMD160, "RIPEMD160", 20, 92, NID_ripemd160, "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
    {5, &HashMD2, "MD2", 16, 84, NID_md2, "da853b0d3f88d99b30283a69e6ded6bb"},
};

TEST(HashRegistry, LookupsByNumberAndName) {
  for (const Expected& e : kRegistry) {
    EXPECT_EQ(qoxHashByNumber(e.number), e.vtbl) << e.name;
    EXPECT_STREQ(e.vtbl->name, e.name);
    EXPECT_EQ(e.vtbl->algorithm, e.number);
    EXPECT_EQ(e.vtbl->digestSize, e.digestSize);
    EXPECT_EQ(e.vtbl->stateSize, e.stateSize);
    EXPECT_EQ(e.vtbl->stateAlignment, 4u);
    EXPECT_EQ(qoxHashByName(e.name, std::strlen(e.name)), e.vtbl) << e.name;
  }
  for (QOXHashAlgorithm unknown : {0u, 4u, 6u, 8u, 255u, 0x101u}) {
    EXPECT_EQ(qoxHashByNumber(unknown), nullptr) << unknown;
  }
  struct {
    const char* text;
    size_t length;
    const QOXHashVTBL* want;
  } names[] = {
      {"SHA1", 3, nullptr},       // a prefix of a name is not the name
      {"SHA1", 4, &HashSHA},
      {"SHA1x", 4, &HashSHA},     // only the first `length` bytes count
      {"sha1", 4, nullptr},       // case is significant
      {"SHA-1", 5, nullptr},
      {"MD", 2, nullptr},
      {"MD20", 3, &HashMD2},
      {"RIPEMD160", 9, &HashRIPEMD160},
      {"", 0, nullptr},
  };
  for (const auto& n : names) {
    EXPECT_EQ(qoxHashByName(n.text, n.length), n.want) << n.text << "/" << n.length;
  }
  EXPECT_EQ(qoxHashByName(nullptr, 3), nullptr);
}

// Each prefix followed by a digest is a DER DigestInfo naming the right
// algorithm with NULL parameters: OpenSSL decodes it and re-encodes the same
// bytes.
TEST(HashRegistry, DigestInfoPrefixesAreDER) {
  for (const Expected& e : kRegistry) {
    std::vector<uint8_t> der(e.vtbl->derPrefix, e.vtbl->derPrefix + e.vtbl->derPrefixLength);
    for (uint32_t i = 0; i < e.digestSize; ++i) der.push_back(static_cast<uint8_t>(0xA0 + i));

    const unsigned char* p = der.data();
    X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(sig, nullptr) << e.name;
    EXPECT_EQ(p, der.data() + der.size()) << e.name << ": whole encoding consumed";
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(sig, &alg, &digest);
    const ASN1_OBJECT* oid = nullptr;
    int paramType = 0;
    X509_ALGOR_get0(&oid, &paramType, nullptr, alg);
    EXPECT_EQ(OBJ_obj2nid(oid), e.nid) << e.name;
    EXPECT_EQ(paramType, V_ASN1_NULL) << e.name;
    EXPECT_EQ(ASN1_STRING_length(digest), static_cast<int>(e.digestSize)) << e.name;

    unsigned char* again = nullptr;
    int len = i2d_X509_SIG(sig, &again);
    ASSERT_GT(len, 0);
    EXPECT_EQ(std::vector<uint8_t>(again, again + len), der) << e.name << ": prefix is not canonical DER";
    OPENSSL_free(again);
    X509_SIG_free(sig);
  }
}

class HashContextTest : public hashtest::ToolkitTest {};

TEST_F(HashContextTest, DigestsThroughThePublicCalls) {
  for (const Expected& e : kRegistry) {
    QOXHashContext* h = nullptr;
    ASSERT_EQ(QOXNewHashContext(context_, e.number, &h), 0) << e.name;
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qoxHashGetVTBL(h), e.vtbl);
    size_t size = 0;
    EXPECT_EQ(QOXGetHashSize(h, &size), 0);
    EXPECT_EQ(size, e.digestSize);

    uint8_t out[kQOXMaxHashSize + 4];
    std::memset(out, 0xCC, sizeof out);
    EXPECT_EQ(QOXContinueHash(h, "a", 1), 0);
    EXPECT_EQ(QOXContinueHash(h, "bc", 0), 0);  // length 0 changes nothing
    EXPECT_EQ(QOXContinueHash(h, "bc", 2), 0);
    EXPECT_EQ(QOXFinalizeHash(h, out), 0);
    EXPECT_EQ(Hex(out, e.digestSize), e.digestOfAbc) << e.name;
    EXPECT_EQ(out[e.digestSize], 0xCC) << e.name << ": wrote past the digest";

    // A second finalize without a reset gives a meaningless value; after a
    // reset the same input gives the same digest again.
    uint8_t second[kQOXMaxHashSize];
    EXPECT_EQ(QOXFinalizeHash(h, second), 0);
    EXPECT_NE(Hex(second, e.digestSize), e.digestOfAbc) << e.name;
    EXPECT_EQ(QOXResetHash(h), 0);
    EXPECT_EQ(QOXContinueHash(h, "abc", 3), 0);
    EXPECT_EQ(Hex(qoxHashFinal(h), e.digestSize), e.digestOfAbc) << e.name;

    EXPECT_EQ(QOXFreeHashContext(h), 0);
  }
}

TEST_F(HashContextTest, BadArguments) {
  QOXHashContext* h = reinterpret_cast<QOXHashContext*>(0x1);
  EXPECT_EQ(QOXNewHashContext(context_, 1, nullptr), kQOXErrBadParams);
  for (QOXHashAlgorithm unknown : {0u, 4u, 6u}) {
    h = reinterpret_cast<QOXHashContext*>(0x1);
    EXPECT_EQ(QOXNewHashContext(context_, unknown, &h), kQOXErrBadParams) << unknown;
    EXPECT_EQ(h, nullptr);
  }
  h = reinterpret_cast<QOXHashContext*>(0x1);
  EXPECT_EQ(QOXNewHashContext(nullptr, 1, &h), kQOXErrBadParams) << "no toolkit context";
  EXPECT_EQ(h, nullptr);

  ASSERT_EQ(QOXNewHashContext(context_, 2, &h), 0);
  uint8_t out[kQOXMaxHashSize];
  EXPECT_EQ(QOXContinueHash(h, nullptr, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXContinueHash(h, nullptr, 5), kQOXErrBadParams);
  EXPECT_EQ(QOXFinalizeHash(h, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetHashSize(h, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXCopyHashContext(h, nullptr), kQOXErrBadParams);

  // Null handles and a record whose magic is wrong (as a freed or foreign
  // block would be) are refused by every call.
  QOXHashContext forged = *h;
  forged.magic = ~kQOXHashContextMagic;
  QOXHashContext noState = *h;
  noState.state = nullptr;
  for (QOXHashContext* bad : {static_cast<QOXHashContext*>(nullptr), &forged, &noState}) {
    size_t size = 99;
    QOXHashContext* copy = reinterpret_cast<QOXHashContext*>(0x1);
    EXPECT_EQ(QOXGetHashSize(bad, &size), kQOXErrBadParams);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(QOXCopyHashContext(bad, &copy), kQOXErrBadParams);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(QOXResetHash(bad), kQOXErrBadParams);
    EXPECT_EQ(QOXContinueHash(bad, "x", 1), kQOXErrBadParams);
    EXPECT_EQ(QOXFinalizeHash(bad, out), kQOXErrBadParams);
    EXPECT_EQ(QOXFreeHashContext(bad), kQOXErrBadParams);
  }
  EXPECT_EQ(QOXFreeHashContext(h), 0);
}

// A copy taken mid-stream finishes like its source and is independent of it.
TEST_F(HashContextTest, CopyContinuesFromTheSamePoint) {
  const std::string part1(100, 'x'), part2 = "the rest of the message";
  for (const Expected& e : kRegistry) {
    QOXHashContext *src = nullptr, *copy = nullptr;
    ASSERT_EQ(QOXNewHashContext(context_, e.number, &src), 0);
    ASSERT_EQ(QOXContinueHash(src, part1.data(), part1.size()), 0);
    ASSERT_EQ(QOXCopyHashContext(src, &copy), 0);
    ASSERT_NE(copy, src);
    ASSERT_NE(copy->state, src->state);

    uint8_t a[kQOXMaxHashSize], b[kQOXMaxHashSize], c[kQOXMaxHashSize];
    ASSERT_EQ(QOXContinueHash(src, part2.data(), part2.size()), 0);
    ASSERT_EQ(QOXContinueHash(copy, part2.data(), part2.size()), 0);
    ASSERT_EQ(QOXFinalizeHash(src, a), 0);
    ASSERT_EQ(QOXFinalizeHash(copy, b), 0);
    EXPECT_EQ(Hex(a, e.digestSize), Hex(b, e.digestSize)) << e.name;

    QOXHashContext* whole = qoxHashCreate(mgr_, e.vtbl);
    ASSERT_NE(whole, nullptr);
    std::string all = part1 + part2;
    ASSERT_EQ(QOXContinueHash(whole, all.data(), all.size()), 0);
    ASSERT_EQ(QOXFinalizeHash(whole, c), 0);
    EXPECT_EQ(Hex(a, e.digestSize), Hex(c, e.digestSize)) << e.name;

    // The internal twins: qoxHashCopy and qoxHashCopyData.
    ASSERT_EQ(QOXResetHash(whole), 0);
    ASSERT_EQ(QOXContinueHash(whole, part1.data(), part1.size()), 0);
    QOXHashContext* twin = qoxHashCopy(whole);
    ASSERT_NE(twin, nullptr);
    qoxHashCopyData(whole, copy);
    ASSERT_EQ(QOXContinueHash(twin, part2.data(), part2.size()), 0);
    ASSERT_EQ(QOXContinueHash(copy, part2.data(), part2.size()), 0);
    EXPECT_EQ(Hex(qoxHashFinal(twin), e.digestSize), Hex(c, e.digestSize)) << e.name;
    EXPECT_EQ(Hex(qoxHashFinal(copy), e.digestSize), Hex(c, e.digestSize)) << e.name;

    for (QOXHashContext* h : {src, copy, whole, twin}) EXPECT_EQ(QOXFreeHashContext(h), 0);
  }
}

// Freeing overwrites the record and the state with zeros before release,
// and every block made is given back.
TEST_F(HashContextTest, FreeWipesRecordAndState) {
  long before = counter_.live();
  QOXHashContext* h = nullptr;
  ASSERT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_MD5, &h), 0);
  ASSERT_EQ(QOXContinueHash(h, "secret text", 11), 0);
  const void* record = h;
  const void* state = h->state;
  EXPECT_EQ(counter_.live(), before + 2);
  ASSERT_EQ(QOXFreeHashContext(h), 0);
  EXPECT_EQ(counter_.live(), before);
  ASSERT_TRUE(counter_.WasFreed(record));
  ASSERT_TRUE(counter_.WasFreed(state));
  EXPECT_TRUE(counter_.FreedWiped(record));
  EXPECT_TRUE(counter_.FreedWiped(state));
}

// Running out of memory for the record or for the state gives -11999 and
// leaves nothing allocated.
TEST_F(HashContextTest, OutOfMemoryLeavesNothingBehind) {
  QOXHashContext* src = nullptr;
  ASSERT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_SHA, &src), 0);
  for (long failAt : {0L, 1L}) {
    long before = counter_.live();
    QOXHashContext* h = reinterpret_cast<QOXHashContext*>(0x1);
    counter_.FailAfter(failAt);
    EXPECT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_SHA, &h), kQOXErrOutOfMemory) << failAt;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(counter_.live(), before) << failAt;

    counter_.FailAfter(failAt);
    h = reinterpret_cast<QOXHashContext*>(0x1);
    EXPECT_EQ(QOXCopyHashContext(src, &h), kQOXErrOutOfMemory) << failAt;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(counter_.live(), before) << failAt;

    counter_.FailAfter(failAt);
    EXPECT_EQ(qoxHashCreate(mgr_, &HashMD2), nullptr) << failAt;
    EXPECT_EQ(counter_.live(), before) << failAt;
  }
  counter_.FailAfter(-1);
  EXPECT_EQ(QOXFreeHashContext(src), 0);
}

TEST_F(HashContextTest, ListsKeepKnownAlgorithmsInOrder) {
  QOXHashList* list = reinterpret_cast<QOXHashList*>(0x1);
  const uint8_t numbers[] = {2, 4, 1};
  ASSERT_EQ(qoxHashListCreate(mgr_, numbers, &list, 3), 0);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(qoxHashListGetSize(list), 2u);
  QOXHashContext* sha = qoxHashListGetIndHash(list, 0);
  QOXHashContext* md5 = qoxHashListGetIndHash(list, 1);
  ASSERT_NE(sha, nullptr);
  ASSERT_NE(md5, nullptr);
  EXPECT_EQ(qoxHashGetVTBL(sha), &HashSHA);
  EXPECT_EQ(qoxHashGetVTBL(md5), &HashMD5);
  EXPECT_EQ(qoxHashListGetIndHash(list, 2), nullptr);
  EXPECT_EQ(qoxHashListFind(list, &HashMD5), md5);
  EXPECT_EQ(qoxHashListFind(list, &HashMD2), nullptr);

  // Contexts of a list work with the public calls like stand-alone ones.
  uint8_t shaOut[kQOXMaxHashSize], md5Out[kQOXMaxHashSize];
  for (QOXHashContext* h : {sha, md5}) ASSERT_EQ(QOXContinueHash(h, "abc", 3), 0);
  ASSERT_EQ(QOXFinalizeHash(sha, shaOut), 0);
  ASSERT_EQ(QOXFinalizeHash(md5, md5Out), 0);
  EXPECT_EQ(Hex(shaOut, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(md5Out, 16), "900150983cd24fb0d6963f7d28e17f72");
  qoxHashListDestroy(list);

  // A number listed twice gives two contexts; a list may hold none.
  const uint8_t twice[] = {1, 1};
  ASSERT_EQ(qoxHashListCreate(mgr_, twice, &list, 2), 0);
  EXPECT_EQ(qoxHashListGetSize(list), 2u);
  EXPECT_NE(qoxHashListGetIndHash(list, 0)->state, qoxHashListGetIndHash(list, 1)->state);
  qoxHashListDestroy(list);
  const uint8_t none[] = {0, 4, 99};
  ASSERT_EQ(qoxHashListCreate(mgr_, none, &list, 3), 0);
  EXPECT_EQ(qoxHashListGetSize(list), 0u);
  EXPECT_EQ(qoxHashListGetIndHash(list, 0), nullptr);
  EXPECT_EQ(qoxHashListFind(list, &HashMD5), nullptr);
  qoxHashListDestroy(list);
}

TEST_F(HashContextTest, ListErrorsLeaveNothingBehind) {
  const uint8_t numbers[] = {1, 2, 3, 5};
  QOXHashList* list = reinterpret_cast<QOXHashList*>(0x1);
  EXPECT_EQ(qoxHashListCreate(mgr_, numbers, nullptr, 4), kQOXErrBadParams);
  EXPECT_EQ(qoxHashListCreate(mgr_, nullptr, &list, 4), kQOXErrBadParams);
  EXPECT_EQ(list, nullptr);
  list = reinterpret_cast<QOXHashList*>(0x1);
  EXPECT_EQ(qoxHashListCreate(mgr_, numbers, &list, 0), kQOXErrBadParams);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(qoxHashListCreate(nullptr, numbers, &list, 4), kQOXErrOutOfMemory) << "invalid manager";

  // Failing the block, then the first, a middle and the last state.
  for (long failAt = 0; failAt <= 4; ++failAt) {
    long before = counter_.live();
    list = reinterpret_cast<QOXHashList*>(0x1);
    counter_.FailAfter(failAt);
    EXPECT_EQ(qoxHashListCreate(mgr_, numbers, &list, 4), kQOXErrOutOfMemory) << failAt;
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(counter_.live(), before) << failAt;
  }
  counter_.FailAfter(-1);
  long before = counter_.live();
  ASSERT_EQ(qoxHashListCreate(mgr_, numbers, &list, 4), 0);
  EXPECT_EQ(counter_.live(), before + 5);
  qoxHashListDestroy(list);
  EXPECT_EQ(counter_.live(), before);
  qoxHashListDestroy(nullptr);
}

}  // namespace

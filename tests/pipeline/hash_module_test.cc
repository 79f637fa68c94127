// Hash modules and the hashing of signed data. The oracle for the digests
// is gpg: each of its signatures carries the first two bytes of its digest,
// so the data hashed here, completed with the signature's trailer, must
// give them (binary and text detached signatures over plain.txt).
#include <gtest/gtest.h>

#include <fstream>

#include "crypto/hash.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "pipeline/charmaps.h"
#include "pipeline/generic_modules.h"
#include "pipeline/hash_module.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/pipeline/message_reader.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

Bytes Data(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Digest(const QOXHashVTBL& vtbl, const Bytes& data) {
  QOXHashContext* h = qoxHashCreate(QOXGetDefaultMemoryMgr(), &vtbl);
  QOXContinueHash(h, data.data(), data.size());
  const uint8_t* d = qoxHashFinal(h);
  Bytes out(d, d + vtbl.digestSize);
  QOXFreeHashContext(h);
  return out;
}

// A copy of the running hash completed with a version-4 signature's
// trailer (RFC 2440 5.2.4).
Bytes Complete(QOXHashContext* running, const Bytes& extra) {
  QOXHashContext* h = qoxHashCopy(running);
  QOXContinueHash(h, extra.data(), extra.size());
  uint8_t final[6] = {0x04, 0xFF};
  StoreBE32(final + 2, static_cast<uint32_t>(extra.size()));
  QOXContinueHash(h, final, sizeof final);
  const uint8_t* d = qoxHashFinal(h);
  Bytes out(d, d + h->vtbl->digestSize);
  QOXFreeHashContext(h);
  return out;
}

class HashModuleTest : public PipelineTest {};

// A hash module hashes what its tail took, no more: bytes a failing tail
// refused are hashed when they are written again.
TEST_F(HashModuleTest, HashesWhatTheTailTook) {
  QOXHashContext* hash = qoxHashCreate(QOXPeekContextMemoryMgr(context_), &HashSHA);
  Recorder r;
  r.failAfter = 700;
  QOXPipeline* head = nullptr;
  QOXPipeline** tail = qoxHashModCreate(context_, &head, hash);
  ASSERT_NE(tail, nullptr);
  *tail = &r.module;
  EXPECT_STREQ(head->name, "Hash Module");
  EXPECT_EQ(head->magic, kQOXMagicHash);
  const Bytes data = RandomBytes(2000, 1);
  QOXError err = 0;
  size_t took = head->write(head, data.data(), data.size(), &err);
  EXPECT_EQ(err, kQOXErrWriteFailed);
  EXPECT_EQ(took, 700u);
  r.failAfter = -1;
  ASSERT_EQ(qoxPipelineWriteAll(head, data.data() + took, data.size() - took, nullptr), 0);
  uint8_t on = 1;
  ASSERT_EQ(head->annotate(head, nullptr, kQOXAnnMemEnable, &on, 1), 0);
  ASSERT_EQ(head->flush(head), 0);
  ASSERT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.flushes, 1);
  EXPECT_TRUE(r.Ended());
  qoxPipelineTeardown(head);
  EXPECT_TRUE(r.tornDown);
  const uint8_t* digest = qoxHashFinal(hash);
  EXPECT_EQ(Bytes(digest, digest + 20), Digest(HashSHA, data));
  QOXFreeHashContext(hash);
}

// One module per hash of the list, in list order, each over all the data.
TEST_F(HashModuleTest, ListChainsOneModulePerHash) {
  const uint8_t algorithms[] = {kQOXHashAlgorithm_MD5, kQOXHashAlgorithm_SHA, kQOXHashAlgorithm_RIPEMD160};
  QOXHashList* list = nullptr;
  ASSERT_EQ(qoxHashListCreate(QOXPeekContextMemoryMgr(context_), algorithms, &list, 3), 0);
  Recorder r;
  QOXPipeline* head = &r.module;
  QOXPipeline** tail = qoxHashModListCreate(context_, &head, list, 3);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(*tail, &r.module);
  const Bytes data = RandomBytes(777, 2);
  ASSERT_EQ(Feed(head, data, 50), 0);
  EXPECT_EQ(r.bytes, data);
  const QOXHashVTBL* vtbls[] = {&HashMD5, &HashSHA, &HashRIPEMD160};
  EXPECT_EQ(head->magic, kQOXMagicHash);
  for (uint32_t i = 0; i < 3; ++i) {
    QOXHashContext* h = qoxHashListGetIndHash(list, i);
    ASSERT_EQ(h->vtbl, vtbls[i]);
    Bytes copy;
    QOXHashContext* c = qoxHashCopy(h);
    const uint8_t* digest = qoxHashFinal(c);
    copy.assign(digest, digest + vtbls[i]->digestSize);
    QOXFreeHashContext(c);
    EXPECT_EQ(copy, Digest(*vtbls[i], data)) << i;
  }
  qoxPipelineTeardown(head);
  EXPECT_TRUE(r.tornDown);
  qoxHashListDestroy(list);
}

// gpg's detached signatures over plain.txt: the binary one hashes the
// bytes as they are, the text one through the CR LF filter (its trailing
// blanks kept).
TEST_F(HashModuleTest, SignedDataHashesLikeGpg) {
  const Bytes plain = Data("plain.txt");
  for (const char* file : {"detached.sig", "detached-text.sig"}) {
    SCOPED_TRACE(file);
    const Bytes sig = Data(file);
    const SigFields fields = ReadSig(Bytes(sig.begin() + 3, sig.end()));  // old format, 2-byte length
    ASSERT_EQ(fields.version, 4);
    const bool text = fields.type == 1;
    EXPECT_EQ(text, std::string(file) == "detached-text.sig");
    QOXPipeline* head = nullptr;
    qoxDevNullCreate(context_, &head);
    QOXHashList* list = nullptr;
    const uint8_t algorithms[] = {kQOXHashAlgorithm_MD5, fields.hash};
    ASSERT_EQ(qoxSigSetupPipeline(context_, &head, &list, algorithms, 2, text ? charMapIdentity.data() : nullptr),
              0);
    ASSERT_EQ(qoxHashListGetSize(list), 2u);
    EXPECT_STREQ(head->name, text ? "Text Filter Module" : "Hash Module");
    ASSERT_EQ(Feed(head, plain, 9), 0);
    qoxPipelineTeardown(head);
    QOXHashContext* sha = qoxHashListFind(list, qoxHashByNumber(fields.hash));
    ASSERT_NE(sha, nullptr);
    const Bytes digest = Complete(sha, fields.extra);
    EXPECT_EQ(Bytes(digest.begin(), digest.begin() + 2), fields.check);
    qoxHashListDestroy(list);
  }
}

// Unknown algorithms make no module; no algorithm at all, or no slot, is
// refused; memory that runs out leaves the slot as it was and nothing
// behind.
TEST_F(HashModuleTest, SetupEdges) {
  Recorder r;
  QOXPipeline* head = &r.module;
  QOXHashList* list = nullptr;
  const uint8_t unknown[] = {99, 100};
  ASSERT_EQ(qoxSigSetupPipeline(context_, &head, &list, unknown, 2, nullptr), 0);
  EXPECT_EQ(qoxHashListGetSize(list), 0u);
  EXPECT_EQ(head, &r.module);
  qoxHashListDestroy(list);
  EXPECT_EQ(qoxSigSetupPipeline(context_, &head, &list, unknown, 0, nullptr), kQOXErrBadParams);
  EXPECT_EQ(qoxSigSetupPipeline(context_, nullptr, &list, unknown, 2, nullptr), kQOXErrBadParams);
  EXPECT_EQ(list, nullptr);

  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  ostrak_test::CountingMemoryMgr counting;
  QOXContext* context = nullptr;
  QOXNewContextStruct rec{kQOXAPIVersion, counting.Make(), 0};
  ASSERT_EQ(QOXNewContextCustom(&rec, &context), 0);
  const uint8_t algorithms[] = {1, 2, 3};
  const long before = counting.live();
  bool succeeded = false;
  for (long budget = 0; !succeeded; ++budget) {
    counting.FailAfter(budget);
    QOXPipeline* slot = &r.module;
    QOXHashList* l = nullptr;
    QOXError err = qoxSigSetupPipeline(context, &slot, &l, algorithms, 3, charMapIdentity.data());
    counting.FailAfter(-1);
    if (err == 0) {
      succeeded = true;
      EXPECT_EQ(qoxHashListGetSize(l), 3u);
      EXPECT_GT(budget, 3);
      qoxPipelineTeardown(slot);  // the recorder only notes its teardown
      qoxHashListDestroy(l);
    } else {
      EXPECT_EQ(err, kQOXErrOutOfMemory) << budget;
      EXPECT_EQ(slot, &r.module) << budget;
      EXPECT_EQ(l, nullptr);
      EXPECT_EQ(counting.live(), before) << budget;
    }
  }
  QOXFreeContext(context);
  QOXsdkCleanup();
}

}  // namespace
}  // namespace pipeline_test

// HMAC over the registry's hashes.
#include "crypto/hmac.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/md2.h"
#include "tests/crypto/hash_test_support.h"

namespace {

using hashtest::Hex;
using Bytes = std::string;

class HMACTest : public hashtest::ToolkitTest {
 protected:
  // MAC of `data` fed in pieces of at most `piece` bytes (0: in one call).
  std::string Mac(QOXHashAlgorithm alg, const Bytes& key, const Bytes& data, size_t piece = 0) {
    QOXHMACContext* h = nullptr;
    EXPECT_EQ(QOXNewHMACContext(context_, alg, key.data(), key.size(), &h), 0);
    if (h == nullptr) return "";
    for (size_t off = 0; off < data.size();) {
      size_t n = piece == 0 ? data.size() : std::min(piece, data.size() - off);
      EXPECT_EQ(QOXContinueHMAC(h, data.data() + off, n), 0);
      off += n;
    }
    uint8_t out[kQOXMaxHashSize];
    EXPECT_EQ(QOXFinalizeHMAC(h, out), 0);
    size_t size = 0;
    EXPECT_EQ(QOXGetHashSize(h->hash, &size), 0);
    EXPECT_EQ(QOXFreeHMACContext(h), 0);
    return Hex(out, size);
  }
};

// RFC 2202 (HMAC-MD5, HMAC-SHA1) and RFC 2286 (HMAC-RIPEMD160) test cases 1-7.
TEST_F(HMACTest, PublishedVectors) {
  const Bytes large = Bytes(80, '\xaa');
  const Bytes key25 = [] {
    Bytes k;
    for (int i = 1; i <= 25; ++i) k += static_cast<char>(i);
    return k;
  }();
  const Bytes hashKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
  const Bytes largerData = "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";
  struct Case {
    QOXHashAlgorithm alg;
    Bytes key, data;
    const char* mac;
  } cases[] = {
      {1, Bytes(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {1, "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {1, Bytes(16, '\xaa'), Bytes(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
      {1, key25, Bytes(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
      {1, Bytes(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
      {1, large, hashKeyFirst, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {1, large, largerData, "6f630fad67cda0ee1fb1f562db3aa53e"},
      {2, Bytes(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {2, "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {2, Bytes(20, '\xaa'), Bytes(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {2, key25, Bytes(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {2, Bytes(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {2, large, hashKeyFirst, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {2, large, largerData, "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
      {3, Bytes(20, '\x0b'), "Hi There", "24cb4bd67d20fc1a5d2ed7732dcc39377f0a5668"},
      {3, "Jefe", "what do ya want for nothing?", "dda6c0213a485a9e24f4742064a7f033b43c4069"},
      {3, Bytes(20, '\xaa'), Bytes(50, '\xdd'), "b0b105360de759960ab4f35298e116e295d8e7c1"},
      {3, key25, Bytes(50, '\xcd'), "d5ca862f4d21d5e610e18b4cf1beb97a4365ecf4"},
      {3, Bytes(20, '\x0c'), "Test With Truncation", "7619693978f91d90539ae786500ff3d8e0518e39"},
      {3, large, hashKeyFirst, "6466ca07ac5eac29e1bd523e5ada7605b791fd8b"},
      {3, large, largerData, "69ea60798d71616cce5fd0871e23754cd75d5a0a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Mac(c.alg, c.key, c.data), c.mac) << "algorithm " << c.alg << " key " << c.key.size();
  }
}

// Random keys around the 64-byte block boundary and random data fed in
// pieces, against OpenSSL's HMAC.
TEST_F(HMACTest, AgreesWithOpenSSL) {
  std::mt19937 rng(4242);
  auto random = [&](size_t n) {
    Bytes b(n, 0);
    for (auto& c : b) c = static_cast<char>(rng());
    return b;
  };
  struct {
    QOXHashAlgorithm alg;
    const char* name;
  } algs[] = {{1, "MD5"}, {2, "SHA1"}, {3, "RIPEMD160"}};
  for (const auto& a : algs) {
    EVP_MD* md = EVP_MD_fetch(nullptr, a.name, nullptr);
    ASSERT_NE(md, nullptr) << a.name;
    for (size_t keyLen : {0u, 1u, 20u, 63u, 64u, 65u, 100u, 200u}) {
      for (size_t dataLen : {0u, 1u, 55u, 64u, 119u, 1000u, 5000u}) {
        Bytes key = random(keyLen), data = random(dataLen);
        uint8_t want[EVP_MAX_MD_SIZE];
        unsigned int wantLen = 0;
        ASSERT_NE(HMAC(md, key.data(), static_cast<int>(key.size()),
                       reinterpret_cast<const uint8_t*>(data.data()), data.size(), want, &wantLen),
                  nullptr);
        size_t piece = std::uniform_int_distribution<size_t>(1, 80)(rng);
        EXPECT_EQ(Mac(a.alg, key, data, piece), Hex(want, wantLen))
            << a.name << " key " << keyLen << " data " << dataLen << " piece " << piece;
      }
    }
    EVP_MD_free(md);
  }
}

// A key of 64 bytes is kept as given; from 65 bytes on the key is replaced by
// its digest, so the MAC equals the MAC under that digest.
TEST_F(HMACTest, LongKeysAreHashedFirst) {
  const Bytes data = "some data to authenticate";
  for (QOXHashAlgorithm alg : {1u, 2u, 3u, 5u}) {
    for (size_t keyLen : {64u, 65u, 130u}) {
      Bytes key(keyLen, 0);
      for (size_t i = 0; i < keyLen; ++i) key[i] = static_cast<char>(i * 7 + 1);
      QOXHMACContext* h = nullptr;
      ASSERT_EQ(QOXNewHMACContext(context_, alg, key.data(), key.size(), &h), 0);
      size_t digestSize = qoxHashByNumber(alg)->digestSize;
      if (keyLen == 64) {
        EXPECT_EQ(h->keyLength, 64u);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(h->key), 64), key);
      } else {
        EXPECT_EQ(h->keyLength, digestSize) << alg;
        QOXHashContext* hash = qoxHashCreate(mgr_, qoxHashByNumber(alg));
        ASSERT_EQ(QOXContinueHash(hash, key.data(), key.size()), 0);
        Bytes hashedKey(reinterpret_cast<const char*>(qoxHashFinal(hash)), digestSize);
        EXPECT_EQ(QOXFreeHashContext(hash), 0);
        EXPECT_EQ(Mac(alg, key, data), Mac(alg, hashedKey, data)) << alg;
      }
      EXPECT_EQ(QOXFreeHMACContext(h), 0);
    }
  }
}

// No peer has HMAC-MD2: the construction with a 64-byte block, written out
// with the MD2 operations directly, and independence from how data is fed.
TEST_F(HMACTest, MD2UsesA64ByteBlock) {
  const Bytes key = "key for md2", data(300, 'm');
  uint8_t pad[64];
  MD2State inner, outer;
  std::memset(pad, 0x36, 64);
  for (size_t i = 0; i < key.size(); ++i) pad[i] ^= static_cast<uint8_t>(key[i]);
  MD2Init(&inner);
  MD2Update(&inner, pad, 64);
  MD2Update(&inner, data.data(), data.size());
  const uint8_t* innerDigest = MD2Final(&inner);
  std::memset(pad, 0x5C, 64);
  for (size_t i = 0; i < key.size(); ++i) pad[i] ^= static_cast<uint8_t>(key[i]);
  MD2Init(&outer);
  MD2Update(&outer, pad, 64);
  MD2Update(&outer, innerDigest, 16);
  std::string want = Hex(MD2Final(&outer), 16);

  EXPECT_EQ(Mac(5, key, data), want);
  for (size_t piece : {1u, 15u, 16u, 17u, 64u}) EXPECT_EQ(Mac(5, key, data, piece), want) << piece;
}

TEST_F(HMACTest, ResetStartsTheNextMacWithTheSameKey) {
  QOXHMACContext* h = nullptr;
  ASSERT_EQ(QOXNewHMACContext(context_, kQOXHashAlgorithm_SHA, "Jefe", 4, &h), 0);
  const char* msg = "what do ya want for nothing?";
  uint8_t first[20], second[20], third[20];
  ASSERT_EQ(QOXContinueHMAC(h, msg, 0), 0);  // length 0 changes nothing
  ASSERT_EQ(QOXContinueHMAC(h, msg, std::strlen(msg)), 0);
  ASSERT_EQ(QOXFinalizeHMAC(h, first), 0);
  EXPECT_EQ(Hex(first, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");

  ASSERT_EQ(QOXResetHMAC(h), 0);
  ASSERT_EQ(QOXContinueHMAC(h, msg, std::strlen(msg)), 0);
  ASSERT_EQ(QOXFinalizeHMAC(h, second), 0);
  EXPECT_EQ(Hex(second, 20), Hex(first, 20));

  // Without the reset the hash state is spent and the MAC is meaningless.
  ASSERT_EQ(QOXContinueHMAC(h, msg, std::strlen(msg)), 0);
  ASSERT_EQ(QOXFinalizeHMAC(h, third), 0);
  EXPECT_NE(Hex(third, 20), Hex(first, 20));

  // A reset also drops data fed since the last one.
  ASSERT_EQ(QOXResetHMAC(h), 0);
  ASSERT_EQ(QOXContinueHMAC(h, "junk", 4), 0);
  ASSERT_EQ(QOXResetHMAC(h), 0);
  ASSERT_EQ(QOXContinueHMAC(h, msg, std::strlen(msg)), 0);
  ASSERT_EQ(QOXFinalizeHMAC(h, third), 0);
  EXPECT_EQ(Hex(third, 20), Hex(first, 20));
  EXPECT_EQ(QOXFreeHMACContext(h), 0);
}

TEST_F(HMACTest, BadArgumentsAndFailedCreationLeaveNothing) {
  long before = counter_.live();
  QOXHMACContext* h = reinterpret_cast<QOXHMACContext*>(0x1);
  EXPECT_EQ(QOXNewHMACContext(context_, 2, "k", 1, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewHMACContext(context_, 4, "k", 1, &h), kQOXErrBadParams) << "unknown hash";
  EXPECT_EQ(h, nullptr);
  h = reinterpret_cast<QOXHMACContext*>(0x1);
  EXPECT_EQ(QOXNewHMACContext(context_, 2, nullptr, 5, &h), kQOXErrBadParams) << "null key, length 5";
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(QOXNewHMACContext(nullptr, 2, "k", 1, &h), kQOXErrBadParams) << "no toolkit context";
  EXPECT_EQ(counter_.live(), before);

  // An empty key is a valid key.
  ASSERT_EQ(QOXNewHMACContext(context_, 1, nullptr, 0, &h), 0);
  EXPECT_EQ(QOXFreeHMACContext(h), 0);

  // Memory failing at each allocation in turn: the record, the hash record,
  // its state, the key copy; for a long key also while hashing it.
  for (size_t keyLen : {10u, 100u}) {
    Bytes key(keyLen, 'k');
    for (long failAt = 0; failAt <= 3; ++failAt) {
      counter_.FailAfter(failAt);
      h = reinterpret_cast<QOXHMACContext*>(0x1);
      EXPECT_EQ(QOXNewHMACContext(context_, 2, key.data(), key.size(), &h), kQOXErrOutOfMemory)
          << keyLen << "/" << failAt;
      EXPECT_EQ(h, nullptr);
      EXPECT_EQ(counter_.live(), before) << keyLen << "/" << failAt;
    }
    counter_.FailAfter(-1);
  }

  ASSERT_EQ(QOXNewHMACContext(context_, 2, "k", 1, &h), 0);
  uint8_t out[20];
  EXPECT_EQ(QOXContinueHMAC(h, nullptr, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXContinueHMAC(h, nullptr, 3), kQOXErrBadParams);
  EXPECT_EQ(QOXFinalizeHMAC(h, nullptr), kQOXErrBadParams);
  QOXHMACContext forged = *h;
  forged.magic = 0;
  QOXHMACContext noHash = *h;
  noHash.hash = nullptr;
  for (QOXHMACContext* bad : {static_cast<QOXHMACContext*>(nullptr), &forged, &noHash}) {
    EXPECT_EQ(QOXResetHMAC(bad), kQOXErrBadParams);
    EXPECT_EQ(QOXContinueHMAC(bad, "x", 1), kQOXErrBadParams);
    EXPECT_EQ(QOXFinalizeHMAC(bad, out), kQOXErrBadParams);
    EXPECT_EQ(QOXFreeHMACContext(bad), kQOXErrBadParams);
  }

  // Freeing wipes the record and the key copy and gives every block back.
  const void* record = h;
  const void* keyCopy = h->key;
  EXPECT_EQ(QOXFreeHMACContext(h), 0);
  EXPECT_EQ(counter_.live(), before);
  EXPECT_TRUE(counter_.FreedWiped(record));
  EXPECT_TRUE(counter_.FreedWiped(keyCopy));
}

}  // namespace

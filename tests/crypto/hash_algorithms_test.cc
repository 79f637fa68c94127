// The four digest algorithms on their own: published vectors, agreement with
// OpenSSL's libcrypto on random data of many lengths however it is split into
// calls, and the raw compression entries.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/md2.h"
#include "crypto/md5.h"
#include "crypto/ripemd160.h"
#include "crypto/sha1.h"
#include "tests/crypto/hash_test_support.h"

namespace {

using hashtest::Hex;

struct Algo {
  const char* name;
  size_t stateSize;
  size_t digestSize;
  size_t digestOffset;  // where the digest lies inside the state
  void (*init)(void*);
  void (*update)(void*, const void*, size_t);
  const uint8_t* (*final)(void*);
};

void ShaInit(void* s) { qoxSHAInit(static_cast<SHA1State*>(s)); }
void ShaUpdate(void* s, const void* p, size_t n) { qoxSHAUpdate(static_cast<SHA1State*>(s), p, n); }
const uint8_t* ShaFinal(void* s) { return qoxSHAFinalize(static_cast<SHA1State*>(s)); }

const Algo kMD5{"MD5", sizeof(MD5State), 16, offsetof(MD5State, chain), MD5Init, MD5Update, MD5Final};
const Algo kSHA1{"SHA1", sizeof(SHA1State), 20, offsetof(SHA1State, chain), ShaInit, ShaUpdate, ShaFinal};
const Algo kRMD{"RIPEMD160", sizeof(RMD160State), 20, offsetof(RMD160State, chain), rmd160Init,
                rmd160Update, rmd160Final};
const Algo kMD2{"MD2", sizeof(MD2State), 16, offsetof(MD2State, work), MD2Init, MD2Update, MD2Final};

// Hashes `msg` split at the given cut points (each a length of one call).
std::string Digest(const Algo& a, const uint8_t* msg, size_t len, const std::vector<size_t>& pieces = {}) {
  std::vector<uint8_t> state(a.stateSize, 0xEE);
  a.init(state.data());
  size_t off = 0;
  for (size_t piece : pieces) {
    a.update(state.data(), msg + off, piece);
    off += piece;
  }
  a.update(state.data(), msg + off, len - off);
  const uint8_t* out = a.final(state.data());
  EXPECT_EQ(out, state.data() + a.digestOffset) << a.name << ": digest is left inside the state";
  return Hex(out, a.digestSize);
}

std::string Digest(const Algo& a, const std::string& msg) {
  return Digest(a, reinterpret_cast<const uint8_t*>(msg.data()), msg.size());
}

const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits8 = [] {
  std::string s;
  for (int i = 0; i < 8; ++i) s += "1234567890";
  return s;
}();
const std::string kFips2 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string kMillionA(1000000, 'a');

struct Vector {
  const Algo* algo;
  std::string message;
  const char* digest;
};

// RFC 1321 A.5, RFC 1319 A.5, FIPS 180-1 appendices A-C, and the RIPEMD-160
// authors' list.
TEST(HashAlgorithms, PublishedVectors) {
  const Vector vectors[] = {
      {&kMD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {&kMD5, "a", "0cc175b9c0f1b6a831c399e269772661"},
      {&kMD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {&kMD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {&kMD5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {&kMD5, kAlnum, "d174ab98d277d9f5a5611c2c9f419d9f"},
      {&kMD5, kDigits8, "57edf4a22be3c955ac49da2e2107b67a"},
      {&kMD2, "", "8350e5a3e24c153df2275c9f80692773"},
      {&kMD2, "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
      {&kMD2, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
      {&kMD2, "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
      {&kMD2, "abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
      {&kMD2, kAlnum, "da33def2a42df13975352846c30338cd"},
      {&kMD2, kDigits8, "d5976f79d83d3a0dc9806c3c66f3efd8"},
      {&kSHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {&kSHA1, kFips2, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {&kSHA1, kMillionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {&kSHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {&kRMD, "", "9c1185a5c5e9fc54612808977ee8f548b2258d31"},
      {&kRMD, "a", "0bdc9d2d256b3ee9daae347be6f4dc835a467ffe"},
      {&kRMD, "abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
      {&kRMD, "message digest", "5d0689ef49d2fae572b881b123a85ffa21595f36"},
      {&kRMD, "abcdefghijklmnopqrstuvwxyz", "f71c27109c692c1b56bbdceb5b9d2865b3708dbc"},
      {&kRMD, kFips2, "12a053384a9c0c88e405a06c27dcf49ada62eb2b"},
      {&kRMD, kAlnum, "b0e20b6e3116640286ed3a87a5713079b21f5189"},
      {&kRMD, kDigits8, "9b752e45573d4b39f4dbd3323cab82bf63326bfb"},
      {&kRMD, kMillionA, "52783243c1697bdbe16d37f97f68f08325dc1528"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(Digest(*v.algo, v.message), v.digest) << v.algo->name << " of " << v.message.size() << " bytes";
  }
}

std::string OpenSSLDigest(const char* name, const uint8_t* msg, size_t len) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EXPECT_NE(md, nullptr) << name;
  if (md == nullptr) return "";
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int outLen = 0;
  EXPECT_EQ(EVP_Digest(msg, len, out, &outLen, md, nullptr), 1);
  EVP_MD_free(md);
  return Hex(out, outLen);
}

// Every length from 0 to 300 covers the padding boundaries (55/56/64 bytes
// and their multiples); a few long ones cover the 64-bit count words. Each is
// fed whole, then split at random points, and for short lengths byte by byte.
TEST(HashAlgorithms, AgreeWithOpenSSLOnRandomDataAndSplits) {
  std::mt19937 rng(20261210);
  std::vector<uint8_t> data(70000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {1000u, 4096u, 4159u, 16384u, 65535u, 65536u, 69999u}) lengths.push_back(n);

  for (const Algo* a : {&kMD5, &kSHA1, &kRMD}) {
    for (size_t len : lengths) {
      std::string want = OpenSSLDigest(a->name, data.data(), len);
      ASSERT_EQ(Digest(*a, data.data(), len), want) << a->name << " len " << len;
      std::vector<size_t> pieces;
      for (size_t left = len; left > 0;) {
        size_t piece = std::uniform_int_distribution<size_t>(0, std::min<size_t>(left, 130))(rng);
        pieces.push_back(piece);
        left -= piece;
      }
      ASSERT_EQ(Digest(*a, data.data(), len, pieces), want) << a->name << " split, len " << len;
      if (len <= 200) {
        std::vector<size_t> bytes(len, 1);
        ASSERT_EQ(Digest(*a, data.data(), len, bytes), want) << a->name << " byte by byte, len " << len;
      }
    }
  }
}

// No peer has MD2; its digest must at least not depend on how the input is
// fed (its block is 16 bytes, so lengths around 16 and 32 matter).
TEST(HashAlgorithms, MD2IndependentOfSplits) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(600);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t len = 0; len <= data.size(); len += (len < 70 ? 1 : 37)) {
    std::string whole = Digest(kMD2, data.data(), len);
    std::vector<size_t> bytes(len, 1);
    ASSERT_EQ(Digest(kMD2, data.data(), len, bytes), whole) << len;
    std::vector<size_t> pieces;
    for (size_t left = len; left > 0;) {
      size_t piece = std::uniform_int_distribution<size_t>(0, std::min<size_t>(left, 40))(rng);
      pieces.push_back(piece);
      left -= piece;
    }
    ASSERT_EQ(Digest(kMD2, data.data(), len, pieces), whole) << len;
  }
}

// The raw compression entries take host-order words: one padded block of
// "abc" from the standard start value gives the published digest.
TEST(HashAlgorithms, CompressionEntriesOnOnePaddedBlock) {
  uint32_t block[16] = {};
  // "abc", 0x80, zeros, bit length 24: as big-endian words for SHA-1, as
  // little-endian words for MD5 and RIPEMD-160.
  uint32_t beBlock[16] = {0x61626380u};
  beBlock[15] = 24;
  uint32_t leBlock[16] = {0x80636261u};
  leBlock[14] = 24;

  uint32_t sha[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::memcpy(block, beBlock, sizeof block);
  qoxSHATransform(sha, block);
  EXPECT_EQ(sha[0], 0xa9993e36u);
  EXPECT_EQ(sha[4], 0x9cd0d89du);

  uint32_t md5[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  qoxMD5Transform(md5, leBlock);
  EXPECT_EQ(md5[0], 0x98500190u);  // bytes 90 01 50 98 as a little-endian word
  EXPECT_EQ(md5[3], 0x727fe128u);

  uint32_t rmd[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  RMDcompress(rmd, leBlock);
  EXPECT_EQ(rmd[0], 0xf708b28eu);
  EXPECT_EQ(rmd[4], 0xfc0b5af1u);
}

// shaLoadIV replaces the chaining words: loading the standard start value
// over a used state restarts the chain, and a different value changes the
// result; shaDSAFinal finishes like qoxSHAFinalize.
TEST(HashAlgorithms, ShaLoadIVAndDSAFinal) {
  const uint8_t standardIV[20] = {0x67, 0x45, 0x23, 0x01, 0xEF, 0xCD, 0xAB, 0x89, 0x98, 0xBA,
                                  0xDC, 0xFE, 0x10, 0x32, 0x54, 0x76, 0xC3, 0xD2, 0xE1, 0xF0};
  SHA1State s;
  qoxSHAInit(&s);
  s.chain[2] ^= 1;
  shaLoadIV(&s, standardIV);
  qoxSHAUpdate(&s, "abc", 3);
  EXPECT_EQ(Hex(shaDSAFinal(&s), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");

  uint8_t otherIV[20];
  std::memcpy(otherIV, standardIV, 20);
  otherIV[19] ^= 0x01;
  qoxSHAInit(&s);
  shaLoadIV(&s, otherIV);
  EXPECT_EQ(s.chain[4], 0xC3D2E1F1u);
  qoxSHAUpdate(&s, "abc", 3);
  EXPECT_NE(Hex(qoxSHAFinalize(&s), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

}  // namespace

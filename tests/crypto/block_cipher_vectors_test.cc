// Published known-answer vectors for every registered cipher, through the
// public symmetric-cipher context, plus the form switches of the ciphers
// that turn one schedule between encryption and decryption.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/block_ciphers.h"
#include "crypto/cipher.h"
#include "tests/crypto/cipher_test_support.h"

namespace {

using ciphertest::Bytes;
using ciphertest::FromHex;
using ciphertest::Hex;

class BlockCipherVectors : public ciphertest::CipherTest {};

struct Vector {
  const char* source;
  QOXCipherAlgorithm algorithm;
  const char* key;
  const char* plain;
  const char* cipher;
};

constexpr Vector kVectors[] = {
    {"FIPS-197 C.1", kQOXCipherAlgorithm_AES128, "000102030405060708090a0b0c0d0e0f",
     "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"FIPS-197 C.2", kQOXCipherAlgorithm_AES192,
     "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"FIPS-197 C.3", kQOXCipherAlgorithm_AES256,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"RFC 2144 B.1", kQOXCipherAlgorithm_CAST5, "0123456712345678234567893456789a",
     "0123456789abcdef", "238b4fe5847e44b2"},
    {"IDEA (Lai)", kQOXCipherAlgorithm_IDEA, "00010002000300040005000600070008", "0000000100020003",
     "11fbed2b01986de5"},
    {"Twofish zero key", kQOXCipherAlgorithm_Twofish256,
     "0000000000000000000000000000000000000000000000000000000000000000",
     "00000000000000000000000000000000", "57ff739d4dc92c1bd7fc01700cc8216f"},
    {"Twofish paper 256", kQOXCipherAlgorithm_Twofish256,
     "0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff",
     "00000000000000000000000000000000", "37527be0052334b89f0cfccae87cfa20"},
    // Triple-DES EDE, K1 K2 K3 = key bytes 0..23 (3i), plaintext bytes 0..63.
    {"3DES ECB", kQOXCipherAlgorithm_3DES, "000306090c0f1215181b1e2124272a2d303336393c3f4245",
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
     "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f",
     "26e0dd34af71fabab804f0ca1c2530a68d6744a5c53adb53a1318a4d39433cb9"
     "422c3382c5f6f1a390b105c04f2e100e70c0399a74f2541c0f69e5c11a560a4f"},
};

TEST_F(BlockCipherVectors, PublishedVectorsEncryptAndDecrypt) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.source);
    QOXSymmetricCipherContext* c = NewCipher(v.algorithm, FromHex(v.key));
    ASSERT_NE(c, nullptr);
    Bytes ct = Ecb(c, FromHex(v.plain), true);
    EXPECT_EQ(Hex(ct), v.cipher);
    EXPECT_EQ(Hex(Ecb(c, ct, false)), v.plain);
    // Back to encryption after decrypting: the form switch must restore the
    // schedule.
    EXPECT_EQ(Hex(Ecb(c, FromHex(v.plain), true)), v.cipher);
    EXPECT_EQ(QOXFreeSymmetricCipherContext(c), 0);
  }
}

// RFC 2144 B.2: a million rounds of keying with the running ciphertext. This
// reaches nearly every entry of all eight S-boxes.
TEST(Cast5Maintenance, RFC2144FullMaintenanceTest) {
  Bytes a = FromHex("0123456712345678234567893456789a");
  Bytes b = a;
  alignas(8) uint8_t state[kCAST5StateSize];
  for (int i = 0; i < 1000000; ++i) {
    cast5Key(state, b.data());
    cast5Encrypt(state, a.data(), a.data());
    cast5Encrypt(state, a.data() + 8, a.data() + 8);
    cast5Key(state, a.data());
    cast5Encrypt(state, b.data(), b.data());
    cast5Encrypt(state, b.data() + 8, b.data() + 8);
  }
  EXPECT_EQ(Hex(a), "eea9d0a249fd3ba6b3436fb89d6dca92");
  EXPECT_EQ(Hex(b), "b2c95eb00c31ad7180ac05b8e83d696e");
}

TEST_F(BlockCipherVectors, AesKeySizesUsedAlternatelyKeepTheirRoundCounts) {
  const Vector& v128 = kVectors[0];
  const Vector& v256 = kVectors[2];
  QOXSymmetricCipherContext* c128 = NewCipher(v128.algorithm, FromHex(v128.key));
  QOXSymmetricCipherContext* c256 = NewCipher(v256.algorithm, FromHex(v256.key));
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Hex(Ecb(c128, FromHex(v128.plain), true)), v128.cipher);
    EXPECT_EQ(Hex(Ecb(c256, FromHex(v256.plain), true)), v256.cipher);
    EXPECT_EQ(Hex(Ecb(c256, FromHex(v256.cipher), false)), v256.plain);
    EXPECT_EQ(Hex(Ecb(c128, FromHex(v128.cipher), false)), v128.plain);
  }
  QOXFreeSymmetricCipherContext(c128);
  QOXFreeSymmetricCipherContext(c256);
}

// A Triple-DES that applied K3, K2, K1 would still round-trip; only the
// vector catches it. Decrypting first (schedules built for decryption) and
// then encrypting must give the vector.
TEST_F(BlockCipherVectors, TripleDesDecryptFirstThenEncrypt) {
  const Vector& v = kVectors[7];
  QOXSymmetricCipherContext* c = NewCipher(v.algorithm, FromHex(v.key));
  EXPECT_EQ(Hex(Ecb(c, FromHex(v.cipher), false)), v.plain);
  EXPECT_EQ(Hex(Ecb(c, FromHex(v.plain), true)), v.cipher);
  QOXFreeSymmetricCipherContext(c);
}

// ---------------------------------------------------------------------------
// RC2: a small reference of the RFC 2268 algorithm for any key length and
// effective key length, checked against the RFC's own vectors, then used as
// the oracle for RC2_128 (1024 effective bits, which no outside peer uses).

constexpr uint8_t kPiTable[256] = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad};

// Straight from the RFC's description: expansion, then 16 mixing rounds with
// mashing after the 5th and 11th.
Bytes RC2Reference(const Bytes& key, int effectiveBits, const Bytes& plain) {
  uint8_t l[128];
  size_t t = key.size();
  std::memcpy(l, key.data(), t);
  for (size_t i = t; i < 128; ++i) l[i] = kPiTable[(l[i - 1] + l[i - t]) & 255];
  int t8 = (effectiveBits + 7) / 8;
  int tm = 255 % (1 << (8 + effectiveBits - 8 * t8));
  l[128 - t8] = kPiTable[l[128 - t8] & tm];
  for (int i = 127 - t8; i >= 0; --i) l[i] = kPiTable[l[i + 1] ^ l[i + t8]];
  uint16_t k[64];
  for (int i = 0; i < 64; ++i) k[i] = static_cast<uint16_t>(l[2 * i] + 256 * l[2 * i + 1]);
  Bytes out(plain.size());
  for (size_t off = 0; off < plain.size(); off += 8) {
    uint16_t r[4];
    for (int i = 0; i < 4; ++i) r[i] = static_cast<uint16_t>(plain[off + 2 * i] + 256 * plain[off + 2 * i + 1]);
    const int s[4] = {1, 2, 3, 5};
    int j = 0;
    for (int round = 0; round < 16; ++round) {
      for (int i = 0; i < 4; ++i) {
        uint16_t v = static_cast<uint16_t>(r[i] + k[j++] + (r[(i + 3) % 4] & r[(i + 2) % 4]) +
                                           ((~r[(i + 3) % 4]) & r[(i + 1) % 4]));
        r[i] = static_cast<uint16_t>((v << s[i]) | (v >> (16 - s[i])));
      }
      if (round == 4 || round == 10) {
        for (int i = 0; i < 4; ++i) r[i] = static_cast<uint16_t>(r[i] + k[r[(i + 3) % 4] & 63]);
      }
    }
    for (int i = 0; i < 4; ++i) {
      out[off + 2 * i] = static_cast<uint8_t>(r[i]);
      out[off + 2 * i + 1] = static_cast<uint8_t>(r[i] >> 8);
    }
  }
  return out;
}

TEST(RC2Reference, MatchesRFC2268Vectors) {
  struct {
    const char* key;
    int bits;
    const char* plain;
    const char* cipher;
  } const cases[] = {
      {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
      {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
      {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
      {"88", 64, "0000000000000000", "61a8a244adacccf0"},
      {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
      {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
      {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
      {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129,
       "0000000000000000", "5b78d3a43dfff1f1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hex(RC2Reference(FromHex(c.key), c.bits, FromHex(c.plain))), c.cipher) << c.key;
  }
}

TEST_F(BlockCipherVectors, RC2MatchesTheReferenceAtItsEffectiveKeyLengths) {
  std::mt19937 rng(2268);
  for (int trial = 0; trial < 20; ++trial) {
    Bytes key128 = ciphertest::RandomBytes(rng, 16);
    Bytes key40 = ciphertest::RandomBytes(rng, 5);
    Bytes plain = ciphertest::RandomBytes(rng, 64);
    QOXSymmetricCipherContext* c128 = NewCipher(kQOXCipherAlgorithm_RC2_128, key128);
    Bytes ct = Ecb(c128, plain, true);
    EXPECT_EQ(ct, RC2Reference(key128, 1024, plain));
    EXPECT_EQ(Ecb(c128, ct, false), plain);
    // RC2_40 only decrypts: the reference supplies its ciphertext.
    QOXSymmetricCipherContext* c40 = NewCipher(kQOXCipherAlgorithm_RC2_40, key40);
    EXPECT_EQ(Ecb(c40, RC2Reference(key40, 40, plain), false), plain);
    QOXFreeSymmetricCipherContext(c128);
    QOXFreeSymmetricCipherContext(c40);
  }
}

}  // namespace

// Differential tests on random keys and data: every cipher that an outside
// library also has, block by block in both directions (OpenSSL for AES,
// Triple-DES and CAST5, libgcrypt for IDEA and Twofish).
#include <gtest/gtest.h>

#include "crypto/cipher.h"
#include "tests/crypto/cipher_test_support.h"

namespace {

using ciphertest::Bytes;

class CipherOracle : public ciphertest::CipherTest {};

TEST_F(CipherOracle, RandomKeysAndBlocksAgreeWithOutsideLibraries) {
  struct Case {
    QOXCipherAlgorithm alg;
    const char* openssl;  // null: libgcrypt
    int gcrypt;
  } const cases[] = {
      {kQOXCipherAlgorithm_AES128, "AES-128-ECB", 0},
      {kQOXCipherAlgorithm_AES192, "AES-192-ECB", 0},
      {kQOXCipherAlgorithm_AES256, "AES-256-ECB", 0},
      {kQOXCipherAlgorithm_3DES, "DES-EDE3-ECB", 0},
      {kQOXCipherAlgorithm_CAST5, "CAST5-ECB", 0},
      {kQOXCipherAlgorithm_IDEA, nullptr, GCRY_CIPHER_IDEA},
      {kQOXCipherAlgorithm_Twofish256, nullptr, GCRY_CIPHER_TWOFISH},
  };
  std::mt19937 rng(197);
  for (const Case& c : cases) {
    const QOXCipherVTBL* v = qoxCipherGetVTBL(c.alg);
    SCOPED_TRACE(v->name);
    for (int trial = 0; trial < 25; ++trial) {
      Bytes key = ciphertest::RandomBytes(rng, v->keySize);
      Bytes plain = ciphertest::RandomBytes(rng, v->blockSize * 8);
      Bytes want = c.openssl ? ciphertest::OpenSSL(c.openssl, key, {}, plain)
                             : ciphertest::Gcrypt(c.gcrypt, key, plain);
      QOXSymmetricCipherContext* ctx = NewCipher(c.alg, key);
      ASSERT_EQ(Ecb(ctx, plain, true), want);
      // Decrypting something the oracle encrypted with a fresh context
      // checks the decryption schedule on its own.
      QOXSymmetricCipherContext* fresh = NewCipher(c.alg, key);
      EXPECT_EQ(Ecb(fresh, want, false), plain);
      QOXFreeSymmetricCipherContext(ctx);
      QOXFreeSymmetricCipherContext(fresh);
    }
  }
}

}  // namespace

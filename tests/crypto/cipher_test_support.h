// Test support for the cipher, CBC and CFB tests: hexadecimal helpers,
// reproducible random bytes, and the outside oracles (OpenSSL's libcrypto
// for AES, Triple-DES, CAST5 and RC2; libgcrypt for IDEA and Twofish),
// used only to compute expected outputs.
#ifndef OSTRAK_TESTS_CRYPTO_CIPHER_TEST_SUPPORT_H_
#define OSTRAK_TESTS_CRYPTO_CIPHER_TEST_SUPPORT_H_

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "tests/crypto/hash_test_support.h"

namespace ciphertest {

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string Hex(const Bytes& b) { return hashtest::Hex(b.data(), b.size()); }

inline Bytes Counting(size_t n, int mul = 1, int add = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(add + mul * static_cast<int>(i));
  return b;
}

inline Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

inline Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

inline Bytes Xor(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  for (size_t i = 0; i < r.size() && i < b.size(); ++i) r[i] ^= b[i];
  return r;
}

// OpenSSL cipher by name ("AES-128-ECB", "CAST5-CFB", "RC2-40-CBC", ...),
// no padding; the legacy provider is loaded for CAST5 and RC2.
inline Bytes OpenSSL(const char* name, const Bytes& key, const Bytes& iv, const Bytes& in,
                     bool encrypt = true) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  (void)legacy;
  (void)deflt;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EXPECT_NE(cipher, nullptr) << name;
  if (cipher == nullptr) return {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int n1 = 0, n2 = 0;
  EXPECT_EQ(EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())), 1);
  EXPECT_EQ(EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                               encrypt ? 1 : 0, nullptr),
            1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n1, &n2), 1);
  out.resize(static_cast<size_t>(n1 + n2));
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return out;
}

// libgcrypt in ECB mode (GCRY_CIPHER_IDEA, GCRY_CIPHER_TWOFISH).
inline Bytes Gcrypt(int algo, const Bytes& key, const Bytes& in, bool encrypt = true) {
  static bool ready = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
  gcry_cipher_hd_t h = nullptr;
  EXPECT_EQ(gcry_cipher_open(&h, algo, GCRY_CIPHER_MODE_ECB, 0), 0u);
  EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
  Bytes out(in.size());
  if (encrypt) {
    EXPECT_EQ(gcry_cipher_encrypt(h, out.data(), out.size(), in.data(), in.size()), 0u);
  } else {
    EXPECT_EQ(gcry_cipher_decrypt(h, out.data(), out.size(), in.data(), in.size()), 0u);
  }
  gcry_cipher_close(h);
  return out;
}

// A started toolkit and a context over a counting manager (live blocks,
// allocation budget, wiped-on-free notes), with cipher helpers.
class CipherTest : public hashtest::ToolkitTest {
 protected:
  QOXSymmetricCipherContext* NewCipher(QOXCipherAlgorithm alg, const Bytes& key = {}) {
    QOXSymmetricCipherContext* c = nullptr;
    EXPECT_EQ(QOXNewSymmetricCipherContext(context_, alg, &c), 0) << alg;
    if (c != nullptr && !key.empty()) {
      EXPECT_EQ(QOXInitSymmetricCipher(c, key.data()), 0);
    }
    return c;
  }

  // ECB over whole blocks through the public one-block calls.
  static Bytes Ecb(QOXSymmetricCipherContext* c, const Bytes& in, bool encrypt) {
    size_t b = c->vtbl->blockSize;
    Bytes out(in.size());
    for (size_t i = 0; i < in.size(); i += b) {
      QOXError err = encrypt ? QOXSymmetricCipherEncrypt(c, in.data() + i, out.data() + i)
                             : QOXSymmetricCipherDecrypt(c, in.data() + i, out.data() + i);
      EXPECT_EQ(err, 0);
    }
    return out;
  }
};

}  // namespace ciphertest

#endif  // OSTRAK_TESTS_CRYPTO_CIPHER_TEST_SUPPORT_H_

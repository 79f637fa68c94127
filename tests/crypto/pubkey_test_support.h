// Test support for the public-key tests: a started toolkit with a context
// and a random generator, MPI and number conversions, and bridges to
// OpenSSL's libcrypto (the oracle) for RSA and DSA keys.
#ifndef OSTRAK_TESTS_CRYPTO_PUBKEY_TEST_SUPPORT_H_
#define OSTRAK_TESTS_CRYPTO_PUBKEY_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/rsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/bignum_api.h"
#include "crypto/bn.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/env.h"
#include "foundation/sdk_errors.h"

namespace pktest {

using Bytes = std::vector<uint8_t>;

// A started toolkit, a context and a generator over the global pool.
class PubKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    rc_ = qoxRandomCreate(context_);
    ASSERT_NE(rc_, nullptr);
    ASSERT_EQ(qoxenvCreate(context_, &env_), 0);
  }
  void TearDown() override {
    if (env_ != nullptr) qoxenvDestroy(env_);
    if (rc_ != nullptr) rc_->destroy(rc_);
    if (context_ != nullptr) QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  QOXMemoryMgr* mgr() { return QOXPeekContextMemoryMgr(context_); }

  QOXContext* context_ = nullptr;
  QOXRandomContext* rc_ = nullptr;
  QOXEnv* env_ = nullptr;
};

// --- Numbers ---

inline Bytes BnBytes(const BIGNUM* bn) {
  Bytes b(BN_num_bytes(bn));
  BN_bn2bin(bn, b.data());
  return b;
}

inline Bytes Mpi(const BIGNUM* bn) {
  int bits = BN_num_bits(bn);
  Bytes b{static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
  Bytes body = BnBytes(bn);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The checksum of a clear secret part: sum of its bytes mod 65536.
inline Bytes Checksum(const Bytes& secret) {
  unsigned sum = 0;
  for (uint8_t b : secret) sum += b;
  return {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
}

// A secret body with clear secret MPIs.
inline Bytes ClearSecretBody(const Bytes& publicPart, const Bytes& secretPart) {
  return Cat({publicPart, {0}, secretPart, Checksum(secretPart)});
}

inline BIGNUM* ToOpenSSL(const BigNum* bn) {
  unsigned bytes = (bnBits(bn) + 7) / 8;
  Bytes b(bytes == 0 ? 1 : bytes);
  bnExtractBigBytes(bn, b.data(), 0, static_cast<unsigned>(b.size()));
  return BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
}

inline BIGNUM* GetParam(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  return bn;
}

// --- OpenSSL keys ---

inline EVP_PKEY* FromData(const char* type, OSSL_PARAM_BLD* bld, int selection) {
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) <= 0 || EVP_PKEY_fromdata(ctx, &key, selection, params) <= 0) key = nullptr;
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  return key;
}

inline EVP_PKEY* DSAPublicKey(const BIGNUM* p, const BIGNUM* q, const BIGNUM* g, const BIGNUM* y) {
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, q);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, y);
  return FromData("DSA", bld, EVP_PKEY_PUBLIC_KEY);
}

// A DSA key pair of OpenSSL's making.
inline EVP_PKEY* NewDSAKey(int bits, int qbits) {
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
  EVP_PKEY* params = nullptr;
  EVP_PKEY_paramgen_init(pctx);
  EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, bits);
  EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, qbits);
  EVP_PKEY_paramgen(pctx, &params);
  EVP_PKEY_CTX_free(pctx);
  EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new(params, nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_keygen_init(kctx);
  EVP_PKEY_keygen(kctx, &key);
  EVP_PKEY_CTX_free(kctx);
  EVP_PKEY_free(params);
  return key;
}

inline EVP_PKEY* NewRSAKey(int bits) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_keygen_init(ctx);
  EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits);
  EVP_PKEY_keygen(ctx, &key);
  EVP_PKEY_CTX_free(ctx);
  return key;
}

// An RSA private key from its numbers (the CRT values computed here).
inline EVP_PKEY* RSAPrivateKey(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d, const BIGNUM* p,
                               const BIGNUM* q, const BIGNUM* coefficient) {
  BN_CTX* bctx = BN_CTX_new();
  BIGNUM* t = BN_new();
  BIGNUM* dp = BN_new();
  BIGNUM* dq = BN_new();
  BN_sub(t, p, BN_value_one());
  BN_mod(dp, d, t, bctx);
  BN_sub(t, q, BN_value_one());
  BN_mod(dq, d, t, bctx);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, d);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, p);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, q);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, coefficient);
  EVP_PKEY* key = FromData("RSA", bld, EVP_PKEY_KEYPAIR);
  BN_free(t);
  BN_free(dp);
  BN_free(dq);
  BN_CTX_free(bctx);
  return key;
}

// --- Files and commands ---

inline std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/ostrak_pk_" + std::to_string(::getpid()) + "_" + name;
}

inline void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                              static_cast<std::streamsize>(data.size()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs a shell command; its exit status and (optionally) its output.
inline int RunCommand(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The numbers a key object's params slot copies out, as OpenSSL numbers.
template <typename Key>
std::vector<BIGNUM*> KeyParams(const Key* key, int count) {
  std::vector<QOXBigNum> numbers(count);
  std::vector<QOXBigNum*> pointers;
  for (auto& n : numbers) {
    bnBegin(&n, QOXPeekContextMemoryMgr(key->context), false);
    pointers.push_back(&n);
  }
  EXPECT_EQ(key->params(key, pointers.data()), 0);
  std::vector<BIGNUM*> out;
  for (auto& n : numbers) {
    out.push_back(ToOpenSSL(&n));
    bnEnd(&n);
  }
  return out;
}

inline void FreeAll(const std::vector<BIGNUM*>& numbers) {
  for (BIGNUM* b : numbers) BN_free(b);
}

inline Bytes Digest(const QOXHashVTBL& vtbl, const Bytes& message) {
  const size_t align = vtbl.stateAlignment == 0 ? 1 : vtbl.stateAlignment;
  Bytes state(vtbl.stateSize + align);
  void* aligned = state.data() + (align - reinterpret_cast<uintptr_t>(state.data()) % align) % align;
  vtbl.init(aligned);
  vtbl.update(aligned, message.data(), message.size());
  const uint8_t* d = vtbl.final(aligned);
  return Bytes(d, d + vtbl.digestSize);
}

}  // namespace pktest

#endif  // OSTRAK_TESTS_CRYPTO_PUBKEY_TEST_SUPPORT_H_

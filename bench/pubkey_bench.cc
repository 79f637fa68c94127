// Public-key speed beside OpenSSL's libcrypto in the same run: RSA-2048
// PKCS #1 v1.5 signing (CRT) and verification over a SHA-1 digest, and
// DSA-1024/160 signing and verification. Both sides use the same key.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/bignum_api.h"
#include "crypto/bn.h"
#include "crypto/hash.h"
#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

struct Toolkit {
  QOXContext* context = nullptr;
  QOXRandomContext* rc = nullptr;
  QOXSecKey* rsa = nullptr;
  QOXPubKey* rsaPub = nullptr;
  QOXSecKey* dsa = nullptr;
  QOXPubKey* dsaPub = nullptr;
};

Toolkit& Keys() {
  static Toolkit t = [] {
    Toolkit k;
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXNewContext(kQOXAPIVersion, &k.context);
    k.rc = qoxRandomCreate(k.context);
    QOXError err = 0;
    k.rsa = qoxSecKeyGenerate(k.context, qoxPkalgByNumber(1), 2048, false, false, k.rc, nullptr, nullptr, &err);
    k.rsaPub = k.rsa->pubkey(k.rsa);
    k.dsa = qoxSecKeyGenerate(k.context, qoxPkalgByNumber(17), 1024, false, false, k.rc, nullptr, nullptr, &err);
    k.dsaPub = k.dsa->pubkey(k.dsa);
    return k;
  }();
  return t;
}

const Bytes kDigest(20, 0x5C);

void BM_Ours_RSA2048_Sign(benchmark::State& state) {
  Toolkit& k = Keys();
  Bytes sig(256);
  size_t length = 0;
  for (auto _ : state) {
    k.rsa->sign(k.rsa, &HashSHA, kDigest.data(), sig.data(), &length, k.rc, 2);
    benchmark::DoNotOptimize(sig.data());
  }
}
BENCHMARK(BM_Ours_RSA2048_Sign);

void BM_Ours_RSA2048_Verify(benchmark::State& state) {
  Toolkit& k = Keys();
  Bytes sig(256);
  size_t length = 0;
  k.rsa->sign(k.rsa, &HashSHA, kDigest.data(), sig.data(), &length, k.rc, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(k.rsaPub->verify(k.rsaPub, sig.data(), length, &HashSHA, kDigest.data(), 2));
  }
}
BENCHMARK(BM_Ours_RSA2048_Verify);

void BM_Ours_DSA1024_Sign(benchmark::State& state) {
  Toolkit& k = Keys();
  Bytes sig(48);
  size_t length = 0;
  for (auto _ : state) {
    k.dsa->sign(k.dsa, &HashSHA, kDigest.data(), sig.data(), &length, k.rc, 3);
    benchmark::DoNotOptimize(sig.data());
  }
}
BENCHMARK(BM_Ours_DSA1024_Sign);

void BM_Ours_DSA1024_Verify(benchmark::State& state) {
  Toolkit& k = Keys();
  Bytes sig(48);
  size_t length = 0;
  k.dsa->sign(k.dsa, &HashSHA, kDigest.data(), sig.data(), &length, k.rc, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(k.dsaPub->verify(k.dsaPub, sig.data(), length, &HashSHA, kDigest.data(), 3));
  }
}
BENCHMARK(BM_Ours_DSA1024_Verify);

#if OSTRAK_HAVE_OPENSSL

BIGNUM* ToBN(const BigNum* bn) {
  Bytes b((bnBits(bn) + 7) / 8);
  bnExtractBigBytes(bn, b.data(), 0, static_cast<unsigned>(b.size()));
  return BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
}

// Our key's numbers through its params slots.
template <typename Key>
std::vector<BIGNUM*> Params(const Key* key, int count) {
  std::vector<QOXBigNum*> numbers;
  std::vector<BIGNUM*> out;
  for (int i = 0; i < count; ++i) {
    QOXBigNum* n = nullptr;
    QOXNewBigNum(key->context, false, &n);
    numbers.push_back(n);
  }
  key->params(key, numbers.data());
  for (QOXBigNum* n : numbers) {
    out.push_back(ToBN(n));
    QOXFreeBigNum(n);
  }
  return out;
}

EVP_PKEY* FromData(const char* type, OSSL_PARAM_BLD* bld) {
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  return key;
}

EVP_PKEY* OpenSSLRSA() {
  static EVP_PKEY* key = [] {
    Toolkit& k = Keys();
    std::vector<BIGNUM*> pub = Params(k.rsaPub, 2), sec = Params(k.rsa, 4);  // n e; d p q u
    BN_CTX* bctx = BN_CTX_new();
    BIGNUM *dp = BN_new(), *dq = BN_new(), *t = BN_new();
    BN_sub(t, sec[1], BN_value_one());
    BN_mod(dp, sec[0], t, bctx);
    BN_sub(t, sec[2], BN_value_one());
    BN_mod(dq, sec[0], t, bctx);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, pub[0]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, pub[1]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, sec[0]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, sec[2]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, sec[1]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dq);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dp);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, sec[3]);
    return FromData("RSA", bld);
  }();
  return key;
}

EVP_PKEY* OpenSSLDSA() {
  static EVP_PKEY* key = [] {
    Toolkit& k = Keys();
    std::vector<BIGNUM*> pub = Params(k.dsaPub, 4), sec = Params(k.dsa, 1);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, pub[0]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, pub[1]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, pub[2]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, pub[3]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, sec[0]);
    return FromData("DSA", bld);
  }();
  return key;
}

EVP_PKEY_CTX* SignContext(EVP_PKEY* key, bool sign, bool rsa) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  sign ? EVP_PKEY_sign_init(ctx) : EVP_PKEY_verify_init(ctx);
  if (rsa) {
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1());
  }
  return ctx;
}

void OpenSSLSign(benchmark::State& state, EVP_PKEY* key, bool rsa) {
  EVP_PKEY_CTX* ctx = SignContext(key, true, rsa);
  Bytes sig(512);
  for (auto _ : state) {
    size_t length = sig.size();
    EVP_PKEY_sign(ctx, sig.data(), &length, kDigest.data(), kDigest.size());
    benchmark::DoNotOptimize(sig.data());
  }
  EVP_PKEY_CTX_free(ctx);
}

void OpenSSLVerify(benchmark::State& state, EVP_PKEY* key, bool rsa) {
  EVP_PKEY_CTX* signer = SignContext(key, true, rsa);
  Bytes sig(512);
  size_t length = sig.size();
  EVP_PKEY_sign(signer, sig.data(), &length, kDigest.data(), kDigest.size());
  EVP_PKEY_CTX_free(signer);
  EVP_PKEY_CTX* ctx = SignContext(key, false, rsa);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_PKEY_verify(ctx, sig.data(), length, kDigest.data(), kDigest.size()));
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_OpenSSL_RSA2048_Sign(benchmark::State& state) { OpenSSLSign(state, OpenSSLRSA(), true); }
void BM_OpenSSL_RSA2048_Verify(benchmark::State& state) { OpenSSLVerify(state, OpenSSLRSA(), true); }
void BM_OpenSSL_DSA1024_Sign(benchmark::State& state) { OpenSSLSign(state, OpenSSLDSA(), false); }
void BM_OpenSSL_DSA1024_Verify(benchmark::State& state) { OpenSSLVerify(state, OpenSSLDSA(), false); }
BENCHMARK(BM_OpenSSL_RSA2048_Sign);
BENCHMARK(BM_OpenSSL_RSA2048_Verify);
BENCHMARK(BM_OpenSSL_DSA1024_Sign);
BENCHMARK(BM_OpenSSL_DSA1024_Verify);

#endif  // OSTRAK_HAVE_OPENSSL

}  // namespace

BENCHMARK_MAIN();

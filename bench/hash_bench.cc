// Digest and HMAC throughput on 16 KiB buffers, ours beside OpenSSL's
// libcrypto in the same run. Run once as is and once with
// OPENSSL_ia32cap=0:0 in the environment to compare against OpenSSL's plain
// (no SIMD or SHA extension) code paths.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/ripemd160.h"
#include "crypto/sha1.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/params.h>
#endif

namespace {

constexpr size_t kBufferSize = 16 * 1024;

const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> buffer = [] {
    std::vector<uint8_t> b(kBufferSize);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 131 + 7);
    return b;
  }();
  return buffer;
}

template <class State, void (*Init)(void*), void (*Update)(void*, const void*, size_t),
          const uint8_t* (*Final)(void*)>
void BM_Ours(benchmark::State& st) {
  const auto& buf = Buffer();
  State s;
  for (auto _ : st) {
    Init(&s);
    Update(&s, buf.data(), buf.size());
    benchmark::DoNotOptimize(Final(&s));
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}

void ShaInit(void* s) { qoxSHAInit(static_cast<SHA1State*>(s)); }
void ShaUpdate(void* s, const void* p, size_t n) { qoxSHAUpdate(static_cast<SHA1State*>(s), p, n); }
const uint8_t* ShaFinal(void* s) { return qoxSHAFinalize(static_cast<SHA1State*>(s)); }

BENCHMARK(BM_Ours<MD5State, MD5Init, MD5Update, MD5Final>)->Name("MD5/ostrak");
BENCHMARK(BM_Ours<SHA1State, ShaInit, ShaUpdate, ShaFinal>)->Name("SHA1/ostrak");
BENCHMARK(BM_Ours<RMD160State, rmd160Init, rmd160Update, rmd160Final>)->Name("RIPEMD160/ostrak");

const uint8_t kMacKey[20] = {0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b,
                             0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b};

// One MAC per buffer with a kept key, as record MACs are made: reset, feed,
// finalize.
void BM_HMACSHA1Ours(benchmark::State& st) {
  const auto& buf = Buffer();
  QOXContext* context = nullptr;
  QOXHMACContext* hmac = nullptr;
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != 0 || QOXNewContext(kQOXAPIVersion, &context) != 0 ||
      QOXNewHMACContext(context, kQOXHashAlgorithm_SHA, kMacKey, sizeof kMacKey, &hmac) != 0) {
    st.SkipWithError("toolkit start failed");
    return;
  }
  uint8_t mac[20];
  for (auto _ : st) {
    QOXResetHMAC(hmac);
    QOXContinueHMAC(hmac, buf.data(), buf.size());
    QOXFinalizeHMAC(hmac, mac);
    benchmark::DoNotOptimize(mac);
  }
  QOXFreeHMACContext(hmac);
  QOXFreeContext(context);
  QOXsdkCleanup();
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}
BENCHMARK(BM_HMACSHA1Ours)->Name("HMAC-SHA1/ostrak");

#if OSTRAK_HAVE_OPENSSL
void BM_OpenSSL(benchmark::State& st, const char* name) {
  const auto& buf = Buffer();
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  if (md == nullptr) {
    st.SkipWithError("digest not available");
    return;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int outLen = 0;
  for (auto _ : st) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, buf.data(), buf.size());
    EVP_DigestFinal_ex(ctx, out, &outLen);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}
BENCHMARK_CAPTURE(BM_OpenSSL, md5, "MD5")->Name("MD5/openssl");
BENCHMARK_CAPTURE(BM_OpenSSL, sha1, "SHA1")->Name("SHA1/openssl");
BENCHMARK_CAPTURE(BM_OpenSSL, rmd160, "RIPEMD160")->Name("RIPEMD160/openssl");

void BM_HMACSHA1OpenSSL(benchmark::State& st) {
  const auto& buf = Buffer();
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  char digest[] = "SHA1";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
  if (ctx == nullptr || EVP_MAC_init(ctx, kMacKey, sizeof kMacKey, params) != 1) {
    st.SkipWithError("HMAC not available");
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    return;
  }
  uint8_t out[EVP_MAX_MD_SIZE];
  size_t outLen = 0;
  for (auto _ : st) {
    EVP_MAC_init(ctx, nullptr, 0, nullptr);  // same key
    EVP_MAC_update(ctx, buf.data(), buf.size());
    EVP_MAC_final(ctx, out, &outLen, sizeof out);
    benchmark::DoNotOptimize(out);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(buf.size()));
}
BENCHMARK(BM_HMACSHA1OpenSSL)->Name("HMAC-SHA1/openssl");
#endif

}  // namespace

BENCHMARK_MAIN();

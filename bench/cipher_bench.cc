// Cipher-mode throughput on 16 KiB buffers, ours beside OpenSSL's libcrypto
// in the same run: 3DES-CBC, CAST5-CFB and AES-128-CFB encryption. Run once
// as is and once with OPENSSL_ia32cap=0:0 in the environment to compare
// against OpenSSL's plain (no AES-NI or SIMD) code paths.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/cbc.h"
#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

constexpr size_t kBufferSize = 16 * 1024;

std::vector<uint8_t> Pattern(size_t n, unsigned mul) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * mul + 7);
  return b;
}

QOXMemoryMgr* Manager() {
  static QOXMemoryMgr* mgr = [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXMemoryMgr* m = nullptr;
    QOXNewMemoryMgr(0, &m);
    return m;
  }();
  return mgr;
}

void BM_CBCOurs(benchmark::State& st, QOXCipherAlgorithm alg) {
  QOXSymmetricCipherContext* cipher = nullptr;
  qoxNewSymmetricCipherContextInternal(Manager(), alg, &cipher);
  QOXCBCContext* cbc = nullptr;
  QOXNewCBCContext(cipher, &cbc);
  auto key = Pattern(32, 3), iv = Pattern(16, 5), in = Pattern(kBufferSize, 131);
  std::vector<uint8_t> out(kBufferSize);
  QOXInitCBC(cbc, key.data(), iv.data());
  for (auto _ : st) {
    qoxCBCEncryptInternal(cbc, in.data(), in.size(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBufferSize));
  QOXFreeCBCContext(cbc);
}

void BM_CFBOurs(benchmark::State& st, QOXCipherAlgorithm alg) {
  QOXCFBContext* cfb = qoxCFBCreate(Manager(), qoxCipherGetVTBL(alg));
  auto key = Pattern(32, 3), iv = Pattern(16, 5), in = Pattern(kBufferSize, 131);
  std::vector<uint8_t> out(kBufferSize);
  QOXInitCFB(cfb, key.data(), iv.data());
  for (auto _ : st) {
    qoxCFBEncryptInternal(cfb, in.data(), in.size(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBufferSize));
  QOXFreeCFBContext(cfb);
}

BENCHMARK_CAPTURE(BM_CBCOurs, 3des, kQOXCipherAlgorithm_3DES)->Name("3DES-CBC/ostrak");
BENCHMARK_CAPTURE(BM_CFBOurs, cast5, kQOXCipherAlgorithm_CAST5)->Name("CAST5-CFB/ostrak");
BENCHMARK_CAPTURE(BM_CFBOurs, aes128, kQOXCipherAlgorithm_AES128)->Name("AES128-CFB/ostrak");

#if OSTRAK_HAVE_OPENSSL
void BM_OpenSSL(benchmark::State& st, const char* name) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  (void)legacy;
  (void)deflt;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (cipher == nullptr) {
    st.SkipWithError("cipher not available");
    return;
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  auto key = Pattern(32, 3), iv = Pattern(16, 5), in = Pattern(kBufferSize, 131);
  std::vector<uint8_t> out(kBufferSize + 32);
  EVP_EncryptInit_ex2(ctx, cipher, key.data(), iv.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (auto _ : st) {
    int n = 0;
    EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kBufferSize));
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}

BENCHMARK_CAPTURE(BM_OpenSSL, 3des, "DES-EDE3-CBC")->Name("3DES-CBC/openssl");
BENCHMARK_CAPTURE(BM_OpenSSL, cast5, "CAST5-CFB")->Name("CAST5-CFB/openssl");
BENCHMARK_CAPTURE(BM_OpenSSL, aes128, "AES-128-CFB")->Name("AES128-CFB/openssl");
#endif

}  // namespace

BENCHMARK_MAIN();

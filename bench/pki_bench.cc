// The X.509 module's codecs beside OpenSSL's libcrypto, in the same run:
// PKIUnpackCertificate against d2i_X509 and PKIPackCertificate against
// i2d_X509 over the certificate corpus (tests/pki/data/corpus), and
// PKIUnpackCertificateList against d2i_X509_CRL on CRLs of 10,000 and
// 100,000 entries without entry extensions, written by python3-cryptography
// (bench/make_bench_crls.py, run into the build tree the first time; it
// takes a minute). Each decode includes freeing what it made. Compare items
// per second, and the time per entry (ns_per_entry, printed with its SI
// prefix) between the two CRL sizes. Run as
//   build/release/bench/pki_bench --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pki/cert_asn.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/x509.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const std::vector<Bytes>& Certificates() {
  static const std::vector<Bytes> certs = [] {
    std::vector<Bytes> v;
    for (const auto& e : std::filesystem::directory_iterator(std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/data/corpus"))
      if (e.path().filename().string().starts_with("cert_")) v.push_back(ReadFile(e.path()));
    return v;
  }();
  return certs;
}

const Bytes& Crl(int64_t entries) {
  static std::vector<std::pair<int64_t, Bytes>> cache;
  for (const auto& [n, der] : cache)
    if (n == entries) return der;
  const std::string dir = OSTRAK_BENCH_DATA;
  const std::string file = dir + "/crl_" + std::to_string(entries) + ".der";
  if (!std::filesystem::exists(file)) {
    std::string cmd = "/usr/bin/python3 " + std::string(OSTRAK_SOURCE_DIR) + "/bench/make_bench_crls.py " + dir;
    std::fprintf(stderr, "writing the benchmark CRLs: %s\n", cmd.c_str());
    if (std::system(cmd.c_str()) != 0) std::abort();
  }
  cache.emplace_back(entries, ReadFile(file));
  return cache.back().second;
}

PKICONTEXT Context() { return PKICONTEXT{0, &PKIdefaultMemoryMgrStruct}; }

void BM_UnpackCertificate_Ours(benchmark::State& st) {
  PKICONTEXT ctx = Context();
  const auto& certs = Certificates();
  for (auto _ : st) {
    for (const Bytes& der : certs) {
      PKICertificate* cert = nullptr;
      int32_t err;
      PKIUnpackCertificate(&ctx, &cert, der.data(), static_cast<uint32_t>(der.size()), &err);
      if (cert == nullptr) st.SkipWithError("decode failed");
      PKIFreeCertificate(&ctx, cert);
    }
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(certs.size()));
}
BENCHMARK(BM_UnpackCertificate_Ours)->Name("UnpackCertificate/ostrak");

void BM_PackCertificate_Ours(benchmark::State& st) {
  PKICONTEXT ctx = Context();
  std::vector<PKICertificate*> certs;
  for (const Bytes& der : Certificates()) {
    PKICertificate* cert = nullptr;
    int32_t err;
    PKIUnpackCertificate(&ctx, &cert, der.data(), static_cast<uint32_t>(der.size()), &err);
    certs.push_back(cert);
  }
  Bytes out(1 << 16);
  for (auto _ : st) {
    for (PKICertificate* cert : certs) {
      int32_t err;
      uint32_t size = PKISizeofCertificate(&ctx, cert, 1);
      benchmark::DoNotOptimize(PKIPackCertificate(&ctx, out.data(), size, cert, &err));
    }
  }
  for (PKICertificate* cert : certs) PKIFreeCertificate(&ctx, cert);
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(certs.size()));
}
BENCHMARK(BM_PackCertificate_Ours)->Name("PackCertificate/ostrak");

void BM_UnpackCertificateList_Ours(benchmark::State& st) {
  PKICONTEXT ctx = Context();
  const Bytes& der = Crl(st.range(0));
  for (auto _ : st) {
    PKICertificateList* crl = nullptr;
    int32_t err;
    PKIUnpackCertificateList(&ctx, &crl, der.data(), static_cast<uint32_t>(der.size()), &err);
    if (crl == nullptr) st.SkipWithError("decode failed");
    PKIFreeCertificateList(&ctx, crl);
  }
  st.counters["ns_per_entry"] =
      benchmark::Counter(static_cast<double>(st.iterations() * st.range(0)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UnpackCertificateList_Ours)->Name("UnpackCertificateList/ostrak")->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond);

#if OSTRAK_HAVE_OPENSSL
void BM_UnpackCertificate_OpenSSL(benchmark::State& st) {
  const auto& certs = Certificates();
  for (auto _ : st) {
    for (const Bytes& der : certs) {
      const unsigned char* p = der.data();
      X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      if (x == nullptr) st.SkipWithError("decode failed");
      X509_free(x);
    }
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(certs.size()));
}
BENCHMARK(BM_UnpackCertificate_OpenSSL)->Name("UnpackCertificate/d2i_X509");

void BM_PackCertificate_OpenSSL(benchmark::State& st) {
  std::vector<X509*> certs;
  for (const Bytes& der : Certificates()) {
    const unsigned char* p = der.data();
    certs.push_back(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  }
  Bytes out(1 << 16);
  for (auto _ : st) {
    for (X509* x : certs) {
      unsigned char* p = out.data();
      benchmark::DoNotOptimize(i2d_X509(x, &p));
    }
  }
  for (X509* x : certs) X509_free(x);
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(certs.size()));
}
BENCHMARK(BM_PackCertificate_OpenSSL)->Name("PackCertificate/i2d_X509");

void BM_UnpackCertificateList_OpenSSL(benchmark::State& st) {
  const Bytes& der = Crl(st.range(0));
  for (auto _ : st) {
    const unsigned char* p = der.data();
    X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
    if (crl == nullptr) st.SkipWithError("decode failed");
    X509_CRL_free(crl);
  }
  st.counters["ns_per_entry"] =
      benchmark::Counter(static_cast<double>(st.iterations() * st.range(0)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UnpackCertificateList_OpenSSL)->Name("UnpackCertificateList/d2i_X509_CRL")->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();

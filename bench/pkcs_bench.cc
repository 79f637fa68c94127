// The PKCS #7 and #12 modules' decoders beside OpenSSL's libcrypto, in the
// same run, over the PKCS corpus (tests/pki/data/pkcs): a signed message
// decoded as PKIUnpackContentInfo, then PKIUnpackSignedData of its content
// (every certificate, CRL and signer info decoded), against d2i_PKCS7; and
// PKIUnpackPFX against d2i_PKCS12. Each decode includes freeing what it
// made. Compare items per second. Run as
//   build/release/bench/pkcs_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pki/pkcs12_asn.h"
#include "pki/pkcs7_asn.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// The corpus files whose names start with one of `prefixes`.
std::vector<Bytes> Files(std::initializer_list<const char*> prefixes) {
  std::vector<Bytes> v;
  for (const auto& e : std::filesystem::directory_iterator(std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/data/pkcs")) {
    const std::string name = e.path().filename().string();
    for (const char* p : prefixes) {
      if (!name.starts_with(p)) continue;
      std::ifstream in(e.path(), std::ios::binary);
      v.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
  }
  return v;
}

// The signed messages: cms -sign in its DER forms and crl2pkcs7.
const std::vector<Bytes>& Signed() {
  static const std::vector<Bytes> files = [] {
    std::vector<Bytes> v = Files({"cms_sign_", "crl2pkcs7"});
    std::erase_if(v, [](const Bytes& b) { return b.size() > 1 && b[1] == 0x80; });  // the streamed BER
    return v;
  }();
  return files;
}

const std::vector<Bytes>& Pfx() {
  static const std::vector<Bytes> files = Files({"p12_"});
  return files;
}

PKICONTEXT Context() { return PKICONTEXT{0, &PKIdefaultMemoryMgrStruct}; }

void BM_UnpackSignedData_Ours(benchmark::State& st) {
  PKICONTEXT ctx = Context();
  const auto& files = Signed();
  for (auto _ : st) {
    for (const Bytes& der : files) {
      PKIContentInfo* ci = nullptr;
      PKISignedData* sd = nullptr;
      int32_t err;
      PKIUnpackContentInfo(&ctx, &ci, der.data(), static_cast<uint32_t>(der.size()), &err);
      if (ci != nullptr && ci->content != nullptr)
        PKIUnpackSignedData(&ctx, &sd, ci->content->bytes, ci->content->length, &err);
      if (sd == nullptr) st.SkipWithError("decode failed");
      PKIFreeSignedData(&ctx, sd);
      PKIFreeContentInfo(&ctx, ci);
    }
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(files.size()));
}
BENCHMARK(BM_UnpackSignedData_Ours)->Name("UnpackSignedData/ostrak");

void BM_UnpackPFX_Ours(benchmark::State& st) {
  PKICONTEXT ctx = Context();
  const auto& files = Pfx();
  for (auto _ : st) {
    for (const Bytes& der : files) {
      PKIPFX* pfx = nullptr;
      int32_t err;
      PKIUnpackPFX(&ctx, &pfx, der.data(), static_cast<uint32_t>(der.size()), &err);
      if (pfx == nullptr) st.SkipWithError("decode failed");
      PKIFreePFX(&ctx, pfx);
    }
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(files.size()));
}
BENCHMARK(BM_UnpackPFX_Ours)->Name("UnpackPFX/ostrak");

#if OSTRAK_HAVE_OPENSSL
void BM_UnpackSignedData_OpenSSL(benchmark::State& st) {
  const auto& files = Signed();
  for (auto _ : st) {
    for (const Bytes& der : files) {
      const unsigned char* p = der.data();
      PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
      if (p7 == nullptr) st.SkipWithError("decode failed");
      PKCS7_free(p7);
    }
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(files.size()));
}
BENCHMARK(BM_UnpackSignedData_OpenSSL)->Name("UnpackSignedData/d2i_PKCS7");

void BM_UnpackPFX_OpenSSL(benchmark::State& st) {
  const auto& files = Pfx();
  for (auto _ : st) {
    for (const Bytes& der : files) {
      const unsigned char* p = der.data();
      PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(der.size()));
      if (p12 == nullptr) st.SkipWithError("decode failed");
      PKCS12_free(p12);
    }
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(files.size()));
}
BENCHMARK(BM_UnpackPFX_OpenSSL)->Name("UnpackPFX/d2i_PKCS12");
#endif

}  // namespace

BENCHMARK_MAIN();

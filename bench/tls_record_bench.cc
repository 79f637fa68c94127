// TLS record protection: one 16 KiB application record protected (HMAC-SHA-1
// MAC, padding, CBC encryption) and read back (decryption, padding and MAC
// checks) per iteration, with CAST5 and 3DES, ours beside the same work done
// with OpenSSL's EVP ciphers (CAST5 through the legacy provider) and HMAC in
// the same run. Run once as is and once with OPENSSL_ia32cap=0:0 in the
// environment, which keeps OpenSSL off its SHA and SIMD instructions.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"
#include "net/tls_session.h"

#if OSTRAK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#endif

namespace {

constexpr uint32_t kFragment = 16384;

std::vector<uint8_t> Pattern(size_t n, unsigned mul) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * mul + 7);
  return b;
}

// A byte pipe between the two sessions.
struct Pipe {
  std::vector<uint8_t> bytes;
  size_t at = 0;
  static int32_t Send(intptr_t self, const void* buffer, uint32_t length) {
    auto* p = reinterpret_cast<Pipe*>(self);
    const auto* b = static_cast<const uint8_t*>(buffer);
    p->bytes.insert(p->bytes.end(), b, b + length);
    return static_cast<int32_t>(length);
  }
  static int32_t Receive(intptr_t self, void* buffer, uint32_t length) {
    auto* p = reinterpret_cast<Pipe*>(self);
    size_t n = std::min<size_t>(length, p->bytes.size() - p->at);
    if (n == 0) return kQOXErrTLSWouldBlock;
    std::memcpy(buffer, p->bytes.data() + p->at, n);
    p->at += n;
    if (p->at == p->bytes.size()) p->bytes.clear(), p->at = 0;
    return static_cast<int32_t>(n);
  }
};

QOXtlsSession* Session(QOXtlsContext* tls, bool client, uint32_t suiteNumber, Pipe* pipe) {
  QOXtlsSession* s = nullptr;
  QOXNewTLSSession(tls, &s);
  QOXtlsSetProtocolOptions(s, client ? kQOXtlsProtocolOption_ClientSide : kQOXtlsProtocolOption_ServerSide);
  QOXtlsSetSendCallback(s, Pipe::Send, reinterpret_cast<intptr_t>(pipe));
  QOXtlsSetReceiveCallback(s, Pipe::Receive, reinterpret_cast<intptr_t>(pipe));
  for (uint16_t i = 0; i < s->suiteCount; ++i)
    if (s->suites[i].number == suiteNumber) s->negotiatedSuite = i;
  std::memset(s->clientRandom, 0x11, 32);
  std::memset(s->serverRandom, 0x22, 32);
  s->masterSecret = static_cast<uint8_t*>(QOXNewSecureData(s->memoryMgr, 48, 0));
  for (int i = 0; i < 48; ++i) s->masterSecret[i] = static_cast<uint8_t>(i);
  qoxTLSCalculateKeys(s);
  qoxTLSActivateWriteKeys(s);
  qoxTLSActivateReadKeys(s);
  s->state = kQOXtlsState_Ready;
  return s;
}

void BM_Ours(benchmark::State& st, uint32_t suiteNumber) {
  static QOXtlsContext* tls = [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXContext* context = nullptr;
    QOXNewContext(kQOXAPIVersion, &context);
    QOXtlsContext* t = nullptr;
    QOXNewTLSContext(context, &t);
    return t;
  }();
  Pipe pipe;
  QOXtlsSession* writer = Session(tls, true, suiteNumber, &pipe);
  QOXtlsSession* reader = Session(tls, false, suiteNumber, &pipe);
  const auto data = Pattern(kFragment, 131);
  for (auto _ : st) {
    if (qoxTLSSendRecordLayer(writer, kQOXtlsContent_ApplicationData, data.data(), kFragment) != kQOXErrNoErr) {
      st.SkipWithError("send");
      break;
    }
    uint8_t type = 0;
    uint8_t* body = nullptr;
    uint32_t length = 0;
    if (qoxTLSReceiveRecordLayer(reader, &type, &body, &length) != kQOXErrNoErr || length != kFragment) {
      st.SkipWithError("receive");
      break;
    }
    benchmark::DoNotOptimize(body);
    QOXFreeData(body);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * kFragment);
  QOXFreeTLSSession(writer);
  QOXFreeTLSSession(reader);
}

BENCHMARK_CAPTURE(BM_Ours, cast5, 2u)->Name("TLS-CAST5-SHA1/ostrak");
BENCHMARK_CAPTURE(BM_Ours, des3, 5u)->Name("TLS-3DES-SHA1/ostrak");

#if OSTRAK_HAVE_OPENSSL
// The same record work over EVP: MAC (sequence number, header, fragment),
// padding, CBC encryption; then decryption, the padding check and the MAC
// check in constant time.
void BM_OpenSSL(benchmark::State& st, const char* name, int keyLength) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  (void)legacy;
  (void)deflt;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (cipher == nullptr) {
    st.SkipWithError("cipher not available");
    return;
  }
  const auto key = Pattern(keyLength, 3), iv = Pattern(8, 5), macKey = Pattern(20, 9);
  const auto data = Pattern(kFragment, 131);
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex2(enc, cipher, key.data(), iv.data(), nullptr);
  EVP_DecryptInit_ex2(dec, cipher, key.data(), iv.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(enc, 0);
  EVP_CIPHER_CTX_set_padding(dec, 0);
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* macOut = EVP_MAC_CTX_new(hmac);
  EVP_MAC_CTX* macIn = EVP_MAC_CTX_new(hmac);
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  EVP_MAC_init(macOut, macKey.data(), 20, params);
  EVP_MAC_init(macIn, macKey.data(), 20, params);
  std::vector<uint8_t> record(5 + kFragment + 20 + 8), plain(kFragment + 28);
  uint64_t seqOut = 0, seqIn = 0;
  auto header = [](uint64_t seq, uint32_t n, uint8_t* h) {
    for (int i = 0; i < 8; ++i) h[i] = static_cast<uint8_t>(seq >> (56 - 8 * i));
    h[8] = 23, h[9] = 3, h[10] = 1, h[11] = static_cast<uint8_t>(n >> 8), h[12] = static_cast<uint8_t>(n);
  };
  for (auto _ : st) {
    uint8_t h[13];
    size_t macLength = 0;
    uint8_t* payload = record.data() + 5;
    std::memcpy(payload, data.data(), kFragment);
    header(seqOut++, kFragment, h);
    EVP_MAC_init(macOut, nullptr, 0, nullptr);  // the same key again
    EVP_MAC_update(macOut, h, 13);
    EVP_MAC_update(macOut, data.data(), kFragment);
    EVP_MAC_final(macOut, payload + kFragment, &macLength, 20);
    const uint32_t p = (8 - (kFragment + 20 + 1) % 8) % 8;
    std::memset(payload + kFragment + 20, static_cast<int>(p), p + 1);
    const int total = static_cast<int>(kFragment + 20 + p + 1);
    int n = 0;
    EVP_EncryptUpdate(enc, payload, &n, payload, total);
    EVP_DecryptUpdate(dec, plain.data(), &n, payload, total);
    const uint8_t pad = plain[total - 1];
    uint8_t diff = 0;
    for (int i = 1; i <= pad + 1; ++i) diff |= static_cast<uint8_t>(plain[total - i] ^ pad);
    const uint32_t fragment = static_cast<uint32_t>(total) - 20 - pad - 1;
    header(seqIn++, fragment, h);
    uint8_t expected[20];
    EVP_MAC_init(macIn, nullptr, 0, nullptr);
    EVP_MAC_update(macIn, h, 13);
    EVP_MAC_update(macIn, plain.data(), fragment);
    EVP_MAC_final(macIn, expected, &macLength, 20);
    if (diff != 0 || CRYPTO_memcmp(expected, plain.data() + fragment, 20) != 0) {
      st.SkipWithError("record check");
      break;
    }
    benchmark::DoNotOptimize(plain.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * kFragment);
  EVP_MAC_CTX_free(macOut);
  EVP_MAC_CTX_free(macIn);
  EVP_MAC_free(hmac);
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  EVP_CIPHER_free(cipher);
}

BENCHMARK_CAPTURE(BM_OpenSSL, cast5, "CAST5-CBC", 16)->Name("TLS-CAST5-SHA1/openssl");
BENCHMARK_CAPTURE(BM_OpenSSL, des3, "DES-EDE3-CBC", 24)->Name("TLS-3DES-SHA1/openssl");
#endif

}  // namespace

BENCHMARK_MAIN();

// TLS handshakes and records, our client and server in one process: whole
// handshakes per second with suite 0x0120 (RSA key exchange) and 0x0110
// (ephemeral Diffie-Hellman over the 2048-bit group, signed by the RSA key),
// both with the gpg-made RSA-2048 key of tests/net/data as the server's
// key, and 16 KiB application records sent and received over a ready
// session. Beside them, the handshake's own key work (the server key's
// export and import, the premaster's RSA encryption and decryption, the
// key exchange's signature and check) and OpenSSL's libssl at TLS 1.0
// (security level 0) with AES128-SHA and DHE-RSA-AES128-SHA over the same
// RSA key in a self-signed certificate, in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/byte_cursor.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_list.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "net/tls_internal.h"
#include "net/tls_key_work.h"
#include "net/tls_session.h"

#if OSTRAK_HAVE_OPENSSL_SSL
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#endif

namespace {

constexpr uint32_t kRecord = 16384;
constexpr uint32_t kSuiteRSA = 7;  // 0x0120
constexpr uint32_t kSuiteDHE = 2;  // 0x0110

std::vector<uint8_t> Fixture(const char* name) {
  std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/net/data/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A byte pipe in one direction.
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
    const size_t n = std::min<size_t>(length, p->bytes.size() - p->at);
    if (n == 0) return kQOXErrTLSWouldBlock;
    std::memcpy(buffer, p->bytes.data() + p->at, n);
    p->at += n;
    if (p->at == p->bytes.size()) p->bytes.clear(), p->at = 0;
    return static_cast<int32_t>(n);
  }
};

// Two toolkit contexts (the client's and the server's) and the server's key.
struct Ours {
  QOXContext* server = nullptr;
  QOXContext* client = nullptr;
  QOXtlsContext* serverTLS = nullptr;
  QOXtlsContext* clientTLS = nullptr;
  QOXKeyDB* db = nullptr;
  QOXKeyDBObj* key = nullptr;
  bool ok = false;
  Ours() {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    const std::vector<uint8_t> secret = Fixture("tls-rsa.sec.bin");
    uint32_t count = 0;
    ok = !secret.empty() && QOXNewContext(kQOXAPIVersion, &server) == kQOXErrNoErr &&
         QOXNewContext(kQOXAPIVersion, &client) == kQOXErrNoErr &&
         QOXNewTLSContext(server, &serverTLS) == kQOXErrNoErr && QOXNewTLSContext(client, &clientTLS) == kQOXErrNoErr &&
         qoxImportKeyBinary(server, secret.data(), secret.size(), &db) == kQOXErrNoErr &&
         qoxTLSFirstKey(db, &key, &count) == kQOXErrNoErr && count == 1;
  }
  static Ours& Get() {
    static Ours ours;
    return ours;
  }
};

// A client and a server session over two pipes, non-blocking.
struct Pair {
  Pipe up, down;  // client to server, server to client
  QOXtlsSession* client = nullptr;
  QOXtlsSession* server = nullptr;
  explicit Pair(uint32_t suite) {
    Ours& o = Ours::Get();
    QOXNewTLSSession(o.clientTLS, &client);
    QOXNewTLSSession(o.serverTLS, &server);
    QOXtlsSetProtocolOptions(client, kQOXtlsProtocolOption_ClientSide | kQOXtlsProtocolOption_NonBlocking);
    QOXtlsSetProtocolOptions(server, kQOXtlsProtocolOption_ServerSide | kQOXtlsProtocolOption_NonBlocking);
    QOXtlsSetPreferredCipherSuite(client, suite);
    QOXtlsSetLocalPrivateKey(server, o.key, nullptr, kQOXNullOptionList);
    QOXtlsSetSendCallback(client, Pipe::Send, reinterpret_cast<intptr_t>(&up));
    QOXtlsSetReceiveCallback(client, Pipe::Receive, reinterpret_cast<intptr_t>(&down));
    QOXtlsSetSendCallback(server, Pipe::Send, reinterpret_cast<intptr_t>(&down));
    QOXtlsSetReceiveCallback(server, Pipe::Receive, reinterpret_cast<intptr_t>(&up));
  }
  ~Pair() {
    QOXFreeTLSSession(client);
    QOXFreeTLSSession(server);
  }
  // Both sides step until both are ready: false on an error.
  bool Handshake() {
    // A ready session refuses another handshake: step only those that are
    // not ready yet.
    uint32_t a = 0, b = 0;
    for (int round = 0; round < 64; ++round) {
      if (a != kQOXtlsState_Ready && QOXtlsHandshake(client) != kQOXErrNoErr) return false;
      if (b != kQOXtlsState_Ready && QOXtlsHandshake(server) != kQOXErrNoErr) return false;
      QOXtlsGetState(client, &a);
      QOXtlsGetState(server, &b);
      if (a == kQOXtlsState_Ready && b == kQOXtlsState_Ready) return true;
    }
    return false;
  }
};

void BM_OursHandshake(benchmark::State& st, uint32_t suite) {
  if (!Ours::Get().ok) {
    st.SkipWithError("the fixture key does not load");
    return;
  }
  for (auto _ : st) {
    Pair pair(suite);
    if (!pair.Handshake()) {
      st.SkipWithError("handshake");
      break;
    }
  }
  st.counters["handshakes/s"] = benchmark::Counter(static_cast<double>(st.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_OursHandshake, rsa, kSuiteRSA)->Name("Handshake-0x0120-RSA2048/ostrak")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursHandshake, dhe, kSuiteDHE)->Name("Handshake-0x0110-DHE2048/ostrak")->Unit(benchmark::kMillisecond);

void BM_OursRecords(benchmark::State& st) {
  Pair pair(kSuiteRSA);
  if (!Ours::Get().ok || !pair.Handshake()) {
    st.SkipWithError("handshake");
    return;
  }
  std::vector<uint8_t> data(kRecord, 0x5A), in(kRecord);
  for (auto _ : st) {
    if (QOXtlsSend(pair.client, data.data(), kRecord) != kQOXErrNoErr) {
      st.SkipWithError("send");
      break;
    }
    uint32_t got = 0;
    while (got < kRecord) {
      uint32_t n = kRecord - got;
      if (QOXtlsReceive(pair.server, in.data() + got, &n) != kQOXErrNoErr || n == 0) break;
      got += n;
    }
    if (got != kRecord) {
      st.SkipWithError("receive");
      break;
    }
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * kRecord);
}
BENCHMARK(BM_OursRecords)->Name("Records-16KiB-CAST5-SHA1/ostrak");

// The handshake's own key work with suite 0x0120: the server key exported
// (server) and imported (client), the premaster encrypted (client) and
// decrypted (server).
void BM_OursKeyWork(benchmark::State& st) {
  Ours& o = Ours::Get();
  Pair pair(kSuiteRSA);
  if (!o.ok) {
    st.SkipWithError("the fixture key does not load");
    return;
  }
  uint8_t premaster[48] = {3, 1};
  uint8_t sealed[512], opened[512];
  for (auto _ : st) {
    uint8_t* bytes = nullptr;
    uint32_t n = 0;
    QOXKeyDB* imported = nullptr;
    QOXKeyDBObj* key = nullptr;
    uint32_t count = 0, sealedLength = sizeof sealed, openedLength = sizeof opened;
    if (qoxTLSExportKey(o.server, o.key, kQOXtlsExportFormat_RFC2440, &bytes, &n) != kQOXErrNoErr ||
        qoxTLSImportKeys(o.client, bytes, n, kQOXtlsExportFormat_RFC2440, &imported) != kQOXErrNoErr ||
        qoxTLSFirstKey(imported, &key, &count) != kQOXErrNoErr ||
        qoxTLSPublicKeyEncrypt(o.client, key, premaster, sizeof premaster, sealed, &sealedLength) != kQOXErrNoErr ||
        qoxTLSPrivateKeyDecrypt(pair.server, sealed, sealedLength, opened, &openedLength) != kQOXErrNoErr) {
      st.SkipWithError("key work");
    }
    if (bytes != nullptr) QOXFreeData(bytes);
    if (imported != nullptr) QOXFreeKeyDB(imported);
  }
}
BENCHMARK(BM_OursKeyWork)->Name("KeyWork-0x0120-export-import-encrypt-decrypt/ostrak")->Unit(benchmark::kMillisecond);

// The 0x0110 handshake's signature work: the server's signature over the
// 36-byte key-exchange hash and the client's check.
void BM_OursSignatures(benchmark::State& st) {
  Ours& o = Ours::Get();
  Pair pair(kSuiteDHE);
  if (!o.ok) {
    st.SkipWithError("the fixture key does not load");
    return;
  }
  uint8_t value[36] = {1, 2, 3};
  uint8_t signature[512];
  for (auto _ : st) {
    uint32_t length = sizeof signature;
    if (qoxTLSPrivateKeySign(pair.server, kQOXtlsSigFormat_Raw, value, sizeof value, signature, &length) !=
            kQOXErrNoErr ||
        qoxTLSPublicKeyVerify(o.server, o.key, kQOXtlsSigFormat_Raw, value, sizeof value, signature, length) !=
            kQOXErrNoErr) {
      st.SkipWithError("signature");
      break;
    }
  }
}
BENCHMARK(BM_OursSignatures)->Name("KeyWork-0x0110-sign-verify/ostrak")->Unit(benchmark::kMillisecond);

#if OSTRAK_HAVE_OPENSSL_SSL
// The RFC 2440 secret key packet's numbers: n, e, d, p, q (u is gpg's
// p^-1 mod q; OpenSSL's CRT values are computed).
bool SecretNumbers(const std::vector<uint8_t>& block, std::vector<BIGNUM*>* out) {
  ostrak::ByteCursor c(block.data(), block.size());
  uint8_t header = 0;
  if (!c.get_u8(&header) || (header & 0xC0) != 0x80 || ((header >> 2) & 0x0F) != 5) return false;
  uint64_t length = 0;
  const size_t widths[] = {1, 2, 4};
  if ((header & 3) == 3 || !c.get_be(widths[header & 3], &length)) return false;
  ostrak::ByteCursor body;
  uint8_t version = 0, algorithm = 0, usage = 0;
  if (!c.get_sub(length, &body) || !body.get_u8(&version) || version != 4 || !body.skip(4) ||
      !body.get_u8(&algorithm) || algorithm != 1)
    return false;
  auto mpi = [&](bool skipUsage) -> BIGNUM* {
    if (skipUsage && (!body.get_u8(&usage) || usage != 0)) return nullptr;
    uint16_t bits = 0;
    const uint8_t* bytes = nullptr;
    if (!body.get_u16be(&bits) || !body.get_view((bits + 7u) / 8u, &bytes)) return nullptr;
    return BN_bin2bn(bytes, (bits + 7) / 8, nullptr);
  };
  for (int i = 0; i < 5; ++i) {
    BIGNUM* b = mpi(i == 2);
    if (b == nullptr) return false;
    out->push_back(b);
  }
  return true;
}

EVP_PKEY* SameKey() {
  std::vector<BIGNUM*> v;  // n e d p q
  if (!SecretNumbers(Fixture("tls-rsa.sec.bin"), &v)) return nullptr;
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *dp = BN_new(), *dq = BN_new(), *qinv = BN_new(), *t = BN_new();
  BN_sub(t, v[3], BN_value_one());
  BN_mod(dp, v[2], t, ctx);
  BN_sub(t, v[4], BN_value_one());
  BN_mod(dq, v[2], t, ctx);
  BN_mod_inverse(qinv, v[4], v[3], ctx);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, v[0]);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, v[1]);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, v[2]);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, v[3]);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, v[4]);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(pctx) <= 0 || EVP_PKEY_fromdata(pctx, &key, EVP_PKEY_KEYPAIR, params) <= 0)
    key = nullptr;
  EVP_PKEY_CTX_free(pctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* b : v) BN_free(b);
  for (BIGNUM* b : {dp, dq, qinv, t}) BN_free(b);
  BN_CTX_free(ctx);
  return key;
}

X509* SelfSigned(EVP_PKEY* key) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_sign(x, key, EVP_sha256());
  return x;
}

struct OpenSSLSide {
  EVP_PKEY* key = SameKey();
  X509* cert = key != nullptr ? SelfSigned(key) : nullptr;
  SSL_CTX* Context(bool server, const char* ciphers) const {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_cipher_list(ctx, (std::string(ciphers) + ":@SECLEVEL=0").c_str());
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (server) {
      SSL_CTX_use_certificate(ctx, cert);
      SSL_CTX_use_PrivateKey(ctx, key);
      SSL_CTX_set_dh_auto(ctx, 1);  // the 2048-bit group for a 2048-bit key
    }
    return ctx;
  }
  static OpenSSLSide& Get() {
    static OpenSSLSide side;
    return side;
  }
};

struct SSLPair {
  SSL* client;
  SSL* server;
  SSLPair(SSL_CTX* c, SSL_CTX* s) : client(SSL_new(c)), server(SSL_new(s)) {
    BIO *a = nullptr, *b = nullptr;
    BIO_new_bio_pair(&a, 1 << 16, &b, 1 << 16);
    SSL_set_bio(client, a, a);
    SSL_set_bio(server, b, b);
    SSL_set_connect_state(client);
    SSL_set_accept_state(server);
  }
  ~SSLPair() {
    SSL_free(client);
    SSL_free(server);
  }
  bool Handshake() {
    for (int round = 0; round < 64; ++round) {
      const int a = SSL_do_handshake(client);
      const int b = SSL_do_handshake(server);
      if (a == 1 && b == 1) return true;
      if ((a != 1 && SSL_get_error(client, a) != SSL_ERROR_WANT_READ) ||
          (b != 1 && SSL_get_error(server, b) != SSL_ERROR_WANT_READ))
        return false;
    }
    return false;
  }
};

void BM_OpenSSLHandshake(benchmark::State& st, const char* ciphers) {
  OpenSSLSide& side = OpenSSLSide::Get();
  if (side.cert == nullptr) {
    st.SkipWithError("the fixture key does not load");
    return;
  }
  SSL_CTX* c = side.Context(false, ciphers);
  SSL_CTX* s = side.Context(true, ciphers);
  for (auto _ : st) {
    SSLPair pair(c, s);
    if (!pair.Handshake()) {
      st.SkipWithError("handshake");
      break;
    }
  }
  st.counters["handshakes/s"] = benchmark::Counter(static_cast<double>(st.iterations()), benchmark::Counter::kIsRate);
  SSL_CTX_free(c);
  SSL_CTX_free(s);
}
BENCHMARK_CAPTURE(BM_OpenSSLHandshake, rsa, "AES128-SHA")
    ->Name("Handshake-AES128-SHA-RSA2048/openssl")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenSSLHandshake, dhe, "DHE-RSA-AES128-SHA")
    ->Name("Handshake-DHE-RSA-AES128-SHA-2048/openssl")
    ->Unit(benchmark::kMillisecond);

void BM_OpenSSLRecords(benchmark::State& st) {
  OpenSSLSide& side = OpenSSLSide::Get();
  SSL_CTX* c = side.Context(false, "AES128-SHA");
  SSL_CTX* s = side.Context(true, "AES128-SHA");
  {
    SSLPair pair(c, s);
    if (side.cert == nullptr || !pair.Handshake()) {
      st.SkipWithError("handshake");
    } else {
      std::vector<uint8_t> data(kRecord, 0x5A), in(kRecord);
      for (auto _ : st) {
        if (SSL_write(pair.client, data.data(), kRecord) != static_cast<int>(kRecord)) {
          st.SkipWithError("write");
          break;
        }
        uint32_t got = 0;
        while (got < kRecord) {
          const int n = SSL_read(pair.server, in.data() + got, static_cast<int>(kRecord - got));
          if (n <= 0) break;
          got += static_cast<uint32_t>(n);
        }
        if (got != kRecord) {
          st.SkipWithError("read");
          break;
        }
      }
      st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * kRecord);
    }
  }
  SSL_CTX_free(c);
  SSL_CTX_free(s);
}
BENCHMARK(BM_OpenSSLRecords)->Name("Records-16KiB-AES128-SHA/openssl");
#endif

}  // namespace

BENCHMARK_MAIN();

// The TLS handshake: the Diffie-Hellman primes, every message receiver's
// refusals as one table, suite choice, whole handshakes between our client
// and our server over a socket pair (keys through a double of the key-work
// table), and a standard client (openssl s_client) refused with
// insufficient_security.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crypto/bn_prime.h"
#include "crypto/fixed_groups.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/sockets.h"
#include "net/tls_internal.h"
#include "net/tls_session.h"
#include "tests/common/scoped_services.h"
#include "tests/net/tls_test_support.h"

namespace {

using tls_test::Bytes;
using tls_test::MemoryTransport;

// --- A double of the key work: keys are two tokens, signatures copy the
// signed value, encryption is a length byte and the value. ---
char gRsaToken, gDsaToken;
QOXKeyDBObj* const kRsaKey = reinterpret_cast<QOXKeyDBObj*>(&gRsaToken);
QOXKeyDBObj* const kDsaKey = reinterpret_cast<QOXKeyDBObj*>(&gDsaToken);
thread_local QOXKeyDBObj* tImported = nullptr;
thread_local uint32_t tImportedCount = 0;
bool gTamperPremaster = false;
constexpr uint32_t kBlock = 64;

int32_t AlgOf(QOXKeyDBObj* key) { return key == kDsaKey ? 17 : 1; }

QOXError ExportKey(QOXContext* context, QOXKeyDBObj* key, uint32_t, uint8_t** out, uint32_t* n) {
  *out = static_cast<uint8_t*>(QOXNewData(QOXPeekContextMemoryMgr(context), 8, 0));
  std::memcpy(*out, key == kDsaKey ? "KEY-DSA!" : "KEY-RSA!", 8);
  *n = 8;
  return kQOXErrNoErr;
}
QOXError ImportKeys(QOXContext*, const uint8_t* bytes, uint32_t n, uint32_t, QOXKeyDB**) {
  const std::string s(reinterpret_cast<const char*>(bytes), n);
  if (s.rfind("KEY-", 0) != 0) return kQOXErrCorruptData;
  tImported = s.find("DSA") != std::string::npos ? kDsaKey : kRsaKey;
  tImportedCount = s.find("TWO") != std::string::npos ? 2 : 1;
  return kQOXErrNoErr;
}
QOXError FirstKey(QOXKeyDB*, QOXKeyDBObj** key, uint32_t* count) {
  *key = tImported;
  *count = tImportedCount;
  return kQOXErrNoErr;
}
QOXError LookupIssuer(QOXKeySet*, QOXKeyDBObj*, QOXKeyDBObj** issuer) {
  *issuer = nullptr;
  return kQOXErrNoErr;
}
QOXError KeyInfo(QOXKeyDBObj* key, int32_t* alg, bool* canVerify) {
  *alg = AlgOf(key);
  *canVerify = true;
  return kQOXErrNoErr;
}
QOXError PrivateSizes(QOXtlsSession*, uint32_t, uint32_t* sig, uint32_t* enc, uint32_t* dec) {
  if (sig) *sig = 40;
  if (enc) *enc = kBlock;
  if (dec) *dec = kBlock;
  return kQOXErrNoErr;
}
QOXError Sign(QOXtlsSession*, uint32_t, const uint8_t* v, uint32_t n, uint8_t* out, uint32_t* io) {
  if (*io < n) return kQOXErrBufferTooSmall;
  std::memcpy(out, v, n);
  *io = n;
  return kQOXErrNoErr;
}
QOXError Decrypt(QOXtlsSession*, const uint8_t* in, uint32_t n, uint8_t* out, uint32_t* io) {
  if (n != kBlock || in[0] >= kBlock || *io < in[0]) return kQOXErrCorruptData;
  std::memcpy(out, in + 1, in[0]);
  *io = in[0];
  if (gTamperPremaster) out[1] ^= 1;
  return kQOXErrNoErr;
}
QOXError PublicSizes(QOXContext*, QOXKeyDBObj*, uint32_t, uint32_t* sig, uint32_t* enc) {
  if (sig) *sig = 40;
  if (enc) *enc = kBlock;
  return kQOXErrNoErr;
}
QOXError Verify(QOXContext*, QOXKeyDBObj*, uint32_t, const uint8_t* v, uint32_t n, const uint8_t* sig, uint32_t sn) {
  return n == sn && std::memcmp(v, sig, n) == 0 ? kQOXErrNoErr : kQOXErrCorruptData;
}
QOXError Encrypt(QOXContext*, QOXKeyDBObj*, const uint8_t* in, uint32_t n, uint8_t* out, uint32_t* io) {
  if (*io < kBlock || n >= kBlock) return kQOXErrBufferTooSmall;
  std::memset(out, 0, kBlock);
  out[0] = static_cast<uint8_t>(n);
  std::memcpy(out + 1, in, n);
  *io = kBlock;
  return kQOXErrNoErr;
}

constexpr QOXtlsKeyServices kKeyDouble = {ExportKey, ImportKeys, FirstKey,   LookupIssuer, KeyInfo, PrivateSizes,
                                          Sign,      Decrypt,    PublicSizes, Verify,       Encrypt};

uint32_t State(QOXtlsSession* s) {
  uint32_t v = 99;
  QOXtlsGetState(s, &v);
  return v;
}
uint32_t LastAlert(QOXtlsSession* s) {
  uint32_t v = 0;
  QOXtlsGetAlert(s, &v);
  return v;
}

void SetLocalKey(QOXtlsSession* s, QOXKeyDBObj* key) {
  s->localKey = key;
  s->localKeyAlg = AlgOf(key);
}

void UseSuite(QOXtlsSession* s, uint16_t code) {
  for (uint16_t i = 0; i < s->suiteCount; ++i)
    if (s->suites[i].code == code) s->negotiatedSuite = i;
  ASSERT_EQ(qoxTLSSuite(s).code, code);
}

// The handshake messages in what a session sent (plain records only).
std::vector<Bytes> SentMessages(const std::string& out) {
  std::vector<Bytes> messages;
  std::string hs;
  for (size_t at = 0; at + 5 <= out.size();) {
    const size_t n = (uint8_t(out[at + 3]) << 8) | uint8_t(out[at + 4]);
    if (out[at] == 22) hs += out.substr(at + 5, n);
    at += 5 + n;
  }
  for (size_t at = 0; at + 4 <= hs.size();) {
    const size_t n = (uint8_t(hs[at + 1]) << 16) | (uint8_t(hs[at + 2]) << 8) | uint8_t(hs[at + 3]);
    messages.emplace_back(hs.begin() + at, hs.begin() + at + 4 + n);
    at += 4 + n;
  }
  return messages;
}

Bytes ClientHello(uint8_t major, uint8_t minor, std::vector<uint16_t> suites, uint8_t sidLength = 0,
                  int listLengthDelta = 0, bool compression = true) {
  Bytes b{major, minor};
  b.resize(34, 0x5A);
  b.push_back(sidLength);
  b.insert(b.end(), sidLength, 0x11);
  const size_t n = 2 * suites.size() + listLengthDelta;
  b.push_back(uint8_t(n >> 8));
  b.push_back(uint8_t(n));
  for (uint16_t c : suites) b.push_back(uint8_t(c >> 8)), b.push_back(uint8_t(c));
  if (compression) b.push_back(1), b.push_back(0);
  return b;
}

Bytes ServerHello(uint8_t minor, uint16_t suite, uint8_t compression, uint8_t sidLength = 1) {
  Bytes b{3, minor};
  b.resize(34, 0x33);
  b.push_back(sidLength);
  b.insert(b.end(), sidLength, 7);
  b.push_back(uint8_t(suite >> 8));
  b.push_back(uint8_t(suite));
  b.push_back(compression);
  return b;
}

class TlsHandshakeTest : public ::testing::Test {
 protected:
  ostrak_test::ScopedServices<QOXtlsKeyServices> keys{qoxTLSKeyServices, qoxRegisterTLSKeyServices};
  tls_test::TlsEnv env;
  MemoryTransport t;
  void SetUp() override {
    keys.table() = kKeyDouble;
    gTamperPremaster = false;
  }
  QOXtlsSession* Server(QOXKeyDBObj* key = kRsaKey) {
    QOXtlsSession* s = env.NewSession(false);
    t.Attach(s);
    SetLocalKey(s, key);
    s->state = kQOXtlsState_Handshaking;
    return s;
  }
};

// --- Diffie-Hellman primes ---

TEST(TlsDHPrimes, AllNineAreSafePrimesInTheirRecords) {
  const QOXtlsDHPrimes& t = qoxTLSDHPrimes();
  const uint8_t* records[] = {t.DH_256bitPrime,  t.DH_512bitPrime,  t.DH_768bitPrime,
                              t.DH_1024bitPrime, t.DH_1280bitPrime, t.DH_1536bitPrime,
                              t.DH_2048bitPrime, t.DH_3072bitPrime, t.DH_4096bitPrime};
  const unsigned bits[] = {256, 512, 768, 1024, 1280, 1536, 2048, 3072, 4096};
  tls_test::TlsEnv env;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(env.context);
  BigNum p, q, e, a;
  bnBegin(&p, mgr, false), bnBegin(&q, mgr, false), bnBegin(&e, mgr, false), bnBegin(&a, mgr, false);
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE(bits[i]);
    const uint16_t n = LoadBE16(records[i]);
    ASSERT_EQ(n, bits[i] / 8);
    for (size_t k = 2 + n; k < kQOXtlsDHRecordSize; ++k) ASSERT_EQ(records[i][k], 0) << k;
    ASSERT_EQ(bnInsertBigBytes(&p, records[i] + 2, 0, n), 0);
    EXPECT_EQ(bnBits(&p), bits[i]);
    EXPECT_EQ(primeTest(&p, &e, &a, nullptr, nullptr), 0) << "p";
    ASSERT_EQ(bnCopy(&q, &p), 0);
    bnRShift(&q, 1);  // (p - 1)/2 for an odd p
    EXPECT_EQ(primeTest(&q, &e, &a, nullptr, nullptr), 0) << "(p-1)/2";
    // One generator for all: 2 must not be 1 or -1 mod p; for safe p its
    // order is q or 2q.
    EXPECT_EQ(bnLSWord(&p) & 1, 1u);
  }
  // The RFC 3526 primes are the ElGamal groups' own.
  const uint8_t* fixed = nullptr;
  size_t fixedLength = 0;
  ASSERT_EQ(qoxElGfixed(2048, &fixed, &fixedLength, nullptr, nullptr), 1);
  EXPECT_EQ(std::memcmp(fixed, t.DH_2048bitPrime + 2, fixedLength), 0);
  bnEnd(&p), bnEnd(&q), bnEnd(&e), bnEnd(&a);

  // The index rule.
  const std::pair<uint32_t, unsigned> rule[] = {{0, 1024}, {1, 1536}, {2, 2048}, {3, 3072},
                                                {4, 4096}, {5, 2048}, {7, 2048}, {0xFFFFFFFF, 2048}};
  for (auto [index, b] : rule) EXPECT_EQ(LoadBE16(qoxTLSDHPrimeForIndex(index)), b / 8) << index;
}

// Prime index 7: the ServerKeyExchange carries a 256-byte p and a one-byte
// g of 2, then Ys and the signature over MD5 and SHA-1 of randoms and
// parameters.
TEST_F(TlsHandshakeTest, ServerKeyExchangeWithPrimeIndex7) {
  QOXtlsSession* s = Server();
  UseSuite(s, 0x0110);
  s->dhPrimeIndex = 7;
  ASSERT_EQ(qoxTLSSendServerKeyExchange(s), kQOXErrNoErr);
  std::vector<Bytes> m = SentMessages(t.out);
  ASSERT_EQ(m.size(), 1u);
  const Bytes& b = m[0];
  ASSERT_EQ(b[0], kQOXtlsServerKeyExchange);
  ASSERT_GT(b.size(), 4u + 2 + 256 + 3);
  EXPECT_EQ(LoadBE16(&b[4]), 256);
  EXPECT_EQ(std::memcmp(&b[6], qoxTLSDHPrimes().DH_2048bitPrime + 2, 256), 0);
  EXPECT_EQ(LoadBE16(&b[262]), 1);
  EXPECT_EQ(b[264], 2);
  const uint16_t ys = LoadBE16(&b[265]);
  EXPECT_LE(ys, 256);
  const size_t sigAt = 267 + ys;
  ASSERT_EQ(LoadBE16(&b[sigAt]), 36);  // RSA: MD5 then SHA-1
  EXPECT_EQ(b.size(), sigAt + 2 + 36);
  EXPECT_NE(s->dhPrivate, nullptr);
}

// --- Every receiver's refusals and the edge cases, as one table ---

enum class Msg { ClientHello, ServerHello, Certificate, CertRequest, ServerKeyExchange, ClientKeyExchange,
                 CertVerify, Finished };

struct Case {
  const char* name;
  bool client;
  Msg msg;
  uint16_t suite;  // the negotiated suite before the message (0: none)
  Bytes body;
  QOXError result;
  uint32_t alert;  // kQOXtlsNoAlert: none sent
};

QOXError Receive(QOXtlsSession* s, Msg m, const Bytes& b) {
  const uint8_t* p = b.data();
  const uint32_t n = static_cast<uint32_t>(b.size());
  switch (m) {
    case Msg::ClientHello: return qoxTLSReceiveClientHello(s, p, n);
    case Msg::ServerHello: return qoxTLSReceiveServerHello(s, p, n);
    case Msg::Certificate: return qoxTLSReceiveCertificate(s, p, n);
    case Msg::CertRequest: return qoxTLSReceiveCertRequest(s, p, n);
    case Msg::ServerKeyExchange: return qoxTLSReceiveServerKeyExchange(s, p, n);
    case Msg::ClientKeyExchange: return qoxTLSReceiveClientKeyExchange(s, p, n);
    case Msg::CertVerify: return qoxTLSReceiveCertVerify(s, p, n);
    case Msg::Finished: return qoxTLSReceiveFinished(s, p, n);
  }
  return kQOXErrBadParams;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes U24(uint32_t v) { return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes U16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }

TEST_F(TlsHandshakeTest, ReceiverRefusalsAndEdgeCases) {
  const uint32_t none = kQOXtlsNoAlert;
  const QOXError violation = kQOXErrTLSProtocolViolation;
  const Bytes ske40(40, 0xAB);
  const Case cases[] = {
      // ClientHello
      {"hello of 39 bytes", false, Msg::ClientHello, 0, Bytes(39, 3), violation, 50},
      {"major version 2", false, Msg::ClientHello, 0, ClientHello(2, 0, {0x0120}), kQOXErrTLSVersionIncompatible, 70},
      {"session ID past the body", false, Msg::ClientHello, 0, Cat({{3, 1}, Bytes(32, 9), {200}, Bytes(10, 0)}),
       violation, 50},
      {"suite list past the body", false, Msg::ClientHello, 0, ClientHello(3, 1, {0x0120}, 0, 40), violation, 50},
      {"nothing behind the suite list", false, Msg::ClientHello, 0,
       Cat({ClientHello(3, 1, {0x0120, 0x0110, 0x000A}, 0, 0, false)}), violation, 50},
      {"no common suite", false, Msg::ClientHello, 0, ClientHello(3, 1, {0x002F, 0x0035}),
       kQOXErrTLSEncryptionUnsupported, 71},
      {"X.509 suite without a local certificate", false, Msg::ClientHello, 0, ClientHello(3, 1, {0x000A, 0x0016}),
       kQOXErrTLSEncryptionUnsupported, 71},
      {"DSA suite to an RSA key", false, Msg::ClientHello, 0, ClientHello(3, 1, {0x0101}),
       kQOXErrTLSEncryptionUnsupported, 71},
      {"offer 3.2", false, Msg::ClientHello, 0, ClientHello(3, 2, {0x0120}), kQOXErrNoErr, none},
      // ServerHello
      {"server hello of 37 bytes", true, Msg::ServerHello, 0, Bytes(37, 3), violation, 50},
      {"server version 3.2", true, Msg::ServerHello, 0, ServerHello(2, 0x0120, 0), kQOXErrTLSVersionIncompatible, 70},
      {"session ID past the body", true, Msg::ServerHello, 0, Cat({{3, 1}, Bytes(32, 9), {200}, Bytes(4, 0)}), violation,
       50},
      {"no compression byte", true, Msg::ServerHello, 0, Cat({{3, 1}, Bytes(32, 9), {1, 7}, U16(0x0120)}), violation,
       50},
      {"suite not offered", true, Msg::ServerHello, 0, ServerHello(1, 0x002F, 0), violation, 71},
      {"compression byte 1", true, Msg::ServerHello, 0, ServerHello(1, 0x0120, 1), violation, 50},
      {"SSL 3.0 server", true, Msg::ServerHello, 0, ServerHello(0, 0x0120, 0), kQOXErrNoErr, none},
      // Certificate
      {"empty certificate from a client", false, Msg::Certificate, 0x0120, {}, kQOXErrNoErr, none},
      {"empty X.509 list from a client", false, Msg::Certificate, 0x000A, {0, 0, 0}, kQOXErrNoErr, none},
      {"five bytes", true, Msg::Certificate, 0x0120, {0, 0, 2, 'K', 'E'}, violation, 50},
      {"length not the body's", true, Msg::Certificate, 0x0120, Cat({U24(9), Text("KEY-RSA!")}), violation, 50},
      {"two keys", false, Msg::Certificate, 0x0120, Cat({U24(11), Text("KEY-RSATWO!")}), violation, 42},
      {"not a key", false, Msg::Certificate, 0x0120, Cat({U24(8), Text("GARBAGE!")}), violation, 42},
      {"DSA key for an RSA suite", true, Msg::Certificate, 0x0120, Cat({U24(8), Text("KEY-DSA!")}), violation, 42},
      {"X.509 entry past its list", true, Msg::Certificate, 0x000A, Cat({U24(11), U24(9), Text("KEY-RSA!")}),
       violation, 50},
      {"X.509 chain of two", true, Msg::Certificate, 0x000A,
       Cat({U24(22), U24(8), Text("KEY-RSA!"), U24(8), Text("KEY-DSA!")}), kQOXErrNoErr, none},
      // CertificateRequest
      {"count past the body", true, Msg::CertRequest, 0x0120, {3, 1, 2}, violation, 50},
      {"empty request", true, Msg::CertRequest, 0x0120, {}, violation, 50},
      // ServerKeyExchange (the signature copies MD5 and SHA-1 of randoms and parameters)
      {"p past the body", true, Msg::ServerKeyExchange, 0x0110, Cat({U16(300), Bytes(10, 1)}), violation, 50},
      {"signature above the largest", true, Msg::ServerKeyExchange, 0x0110,
       Cat({U16(1), {23}, U16(1), {2}, U16(1), {4}, U16(41), Bytes(41, 0)}), violation, 50},
      {"a byte behind the signature", true, Msg::ServerKeyExchange, 0x0110,
       Cat({U16(1), {23}, U16(1), {2}, U16(1), {4}, U16(36), Bytes(37, 0)}), violation, 50},
      {"wrong signature", true, Msg::ServerKeyExchange, 0x0110,
       Cat({U16(1), {23}, U16(1), {2}, U16(1), {4}, U16(36), Bytes(36, 0)}), violation, 42},
      // ClientKeyExchange
      {"DH count not the body's", false, Msg::ClientKeyExchange, 0x0110, Cat({U16(4), Bytes(3, 1)}), violation, 10},
      {"RSA value of a wrong size", false, Msg::ClientKeyExchange, 0x0120, Bytes(kBlock + 1, 1), violation, 21},
      {"RSA value with a wrong length prefix", false, Msg::ClientKeyExchange, 0x0120,
       Cat({U16(kBlock - 1), Bytes(kBlock, 1)}), violation, 21},
      // CertificateVerify
      {"no remote key", false, Msg::CertVerify, 0x0120, Cat({U16(2), {1, 2}}), violation, 42},
      // Finished
      {"before ChangeCipherSpec", true, Msg::Finished, 0x0120, Bytes(12, 0), violation, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QOXtlsSession* s = env.NewSession(c.client);
    t.out.clear();
    t.Attach(s);
    SetLocalKey(s, kRsaKey);
    s->state = kQOXtlsState_Handshaking;
    if (c.suite != 0) UseSuite(s, c.suite);
    if (c.client) s->remoteKey = kRsaKey, s->remoteKeyAlg = 1;
    if (c.client && c.msg == Msg::Certificate) s->handshakeStep = 2;  // the client table's Certificate row
    EXPECT_EQ(Receive(s, c.msg, c.body), c.result);
    EXPECT_EQ(LastAlert(s), c.alert);
    if (c.alert != none) EXPECT_EQ(State(s), kQOXtlsState_Fatal);
  }
}

// Version and suite choice: the client's order decides among suites the
// local key can serve; X.509 suites only with a local certificate.
TEST_F(TlsHandshakeTest, ClientHelloVersionAndSuiteChoice) {
  struct Choice {
    uint8_t minor;
    std::vector<uint16_t> offer;
    QOXKeyDBObj* key;
    bool certificate;
    uint16_t chosen;
    uint8_t version;
  };
  const Choice choices[] = {
      {1, {0x000A, 0x0120}, kRsaKey, false, 0x0120, 1},
      {2, {0x000A, 0x0120}, kRsaKey, false, 0x0120, 1},
      {0, {0x0110, 0x0120}, kRsaKey, false, 0x0110, 0},
      {1, {0x0013, 0x000A}, kRsaKey, true, 0x000A, 1},
      {1, {0x0013, 0x000A, 0x0101}, kDsaKey, true, 0x0013, 1},
      {1, {0x0013, 0x000A, 0x0101}, kDsaKey, false, 0x0101, 1},
  };
  for (const Choice& c : choices) {
    SCOPED_TRACE(testing::Message() << "offer 3." << int(c.minor) << " first " << c.offer[0]);
    t.out.clear();
    QOXtlsSession* s = Server(c.key);
    s->dhPrimeIndex = 0;
    if (c.certificate) s->localCertificate = c.key;
    ASSERT_EQ(qoxTLSReceiveClientHello(s, ClientHello(3, c.minor, c.offer).data(),
                                       static_cast<uint32_t>(ClientHello(3, c.minor, c.offer).size())),
              kQOXErrNoErr);
    EXPECT_EQ(qoxTLSSuite(s).code, c.chosen);
    EXPECT_EQ(s->minorVersion, c.version);
    EXPECT_EQ(s->peerMinorVersion, c.minor);
    std::vector<Bytes> m = SentMessages(t.out);
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[0][0], kQOXtlsServerHello);
    EXPECT_EQ(m[0].size(), 4u + 39);
    EXPECT_EQ(m[0][5], c.version);
    EXPECT_EQ(LoadBE16(&m[0][4 + 35 + 1]), c.chosen);
    EXPECT_EQ(m[1][0], kQOXtlsCertificate);
    EXPECT_EQ(m.back()[0], kQOXtlsServerHelloDone);
    EXPECT_EQ(m.size(), qoxTLSSuite(s).ephemeralDH ? 4u : 3u);
  }
}

// With the stand-ins of the key work the server's Certificate cannot be
// made: the ServerHello went, then the handshake ends with their code.
TEST(TlsHandshakeStandIns, CertificateNeedsTheKeyWork) {
  ostrak_test::ScopedServices<QOXtlsKeyServices> keys{qoxTLSKeyServices, qoxRegisterTLSKeyServices};
  const QOXtlsKeyServices* previous = qoxRegisterTLSKeyServices(nullptr);
  tls_test::TlsEnv env;
  MemoryTransport t;
  QOXtlsSession* s = env.NewSession(false);
  t.Attach(s);
  SetLocalKey(s, kRsaKey);
  s->state = kQOXtlsState_Handshaking;
  const Bytes hello = ClientHello(3, 1, {0x000A, 0x0120});
  EXPECT_EQ(qoxTLSReceiveClientHello(s, hello.data(), static_cast<uint32_t>(hello.size())),
            kQOXErrFeatureNotAvailable);
  std::vector<Bytes> m = SentMessages(t.out);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(LoadBE16(&m[0][4 + 36]), 0x0120);
  qoxRegisterTLSKeyServices(previous);
}

// --- Whole handshakes: our client and our server over a socket pair ---

struct Pair {
  int fds[2] = {-1, -1};
  Pair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    timeval tv{10, 0};  // a hang fails loudly
    for (int fd : fds) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Pair() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
};

struct HandshakeRun {
  uint16_t suite;
  QOXKeyDBObj* serverKey;
  bool request;
  QOXKeyDBObj* clientKey;  // null: none
  bool tamper;
  QOXError serverResult;
};

TEST_F(TlsHandshakeTest, WholeHandshakesBetweenOurClientAndServer) {
  const HandshakeRun runs[] = {
      {0x0120, kRsaKey, false, nullptr, false, kQOXErrNoErr},
      {0x0120, kRsaKey, true, kRsaKey, false, kQOXErrNoErr},
      {0x0120, kRsaKey, true, nullptr, false, kQOXErrNoErr},
      {0x0110, kRsaKey, false, nullptr, false, kQOXErrNoErr},
      {0x0110, kRsaKey, true, kDsaKey, false, kQOXErrNoErr},
      {0x0101, kDsaKey, true, kRsaKey, false, kQOXErrNoErr},
      {0x01F0, kDsaKey, false, nullptr, false, kQOXErrNoErr},
      {0x0120, kRsaKey, false, nullptr, true, kQOXErrTLSProtocolViolation},
  };
  for (const HandshakeRun& r : runs) {
    SCOPED_TRACE(testing::Message() << std::hex << r.suite << " request " << r.request << " client key "
                                    << (r.clientKey != nullptr) << " tamper " << r.tamper);
    gTamperPremaster = r.tamper;
    Pair pair;
    tls_test::TlsEnv serverEnv;
    QOXtlsSession* server = serverEnv.NewSession(false);
    QOXtlsSession* client = env.NewSession(true);
    tls_test::AttachSocket(server, pair.fds[0]);
    tls_test::AttachSocket(client, pair.fds[1]);
    SetLocalKey(server, r.serverKey);
    server->dhPrimeIndex = 0;
    if (r.request) QOXtlsSetProtocolOptions(server, kQOXtlsProtocolOption_RequestClientCert);
    if (r.clientKey != nullptr) SetLocalKey(client, r.clientKey);
    ASSERT_EQ(QOXtlsSetPreferredCipherSuite(client, [&] {
                for (const QOXtlsCipherSuite& row : kQOXtls_CipherSuites)
                  if (row.code == r.suite) return row.number;
                return 0u;
              }()),
              kQOXErrNoErr);
    QOXError serverResult = 1;
    std::thread th([&] { serverResult = QOXtlsHandshake(server); });
    const QOXError clientResult = QOXtlsHandshake(client);
    if (clientResult != kQOXErrNoErr) shutdown(pair.fds[1], SHUT_RDWR);
    th.join();
    EXPECT_EQ(serverResult, r.serverResult);
    if (r.serverResult != kQOXErrNoErr) {
      // Keys from the stand-in premaster differ from the client's: the
      // client's protected Finished record already fails its MAC.
      EXPECT_EQ(LastAlert(server), kQOXtlsAlert_BadRecordMAC);
      EXPECT_NE(clientResult, kQOXErrNoErr);
      continue;
    }
    ASSERT_EQ(clientResult, kQOXErrNoErr);
    EXPECT_EQ(State(server), kQOXtlsState_Ready);
    EXPECT_EQ(State(client), kQOXtlsState_Ready);
    uint32_t a = 0, b = 0;
    EXPECT_EQ(QOXtlsGetNegotiatedCipherSuite(server, &a), kQOXErrNoErr);
    EXPECT_EQ(QOXtlsGetNegotiatedCipherSuite(client, &b), kQOXErrNoErr);
    EXPECT_EQ(a, b);
    QOXKeyDBObj* remote = nullptr;
    EXPECT_EQ(QOXtlsGetRemoteAuthenticatedKey(server, &remote, nullptr), kQOXErrNoErr);
    EXPECT_EQ(remote, r.request ? r.clientKey : nullptr);
    EXPECT_EQ(server->clientCertVerified, r.request && r.clientKey != nullptr);
    EXPECT_EQ(QOXtlsGetRemoteAuthenticatedKey(client, &remote, nullptr), kQOXErrNoErr);
    EXPECT_EQ(remote, r.serverKey);
    // Application data both ways under the new keys.
    ASSERT_EQ(QOXtlsSend(client, "ping", 4), kQOXErrNoErr);
    char buf[8] = {};
    uint32_t n = sizeof buf;
    ASSERT_EQ(QOXtlsReceive(server, buf, &n), kQOXErrNoErr);
    EXPECT_EQ(std::string(buf, n), "ping");
    ASSERT_EQ(QOXtlsSend(server, "pong", 4), kQOXErrNoErr);
    n = sizeof buf;
    ASSERT_EQ(QOXtlsReceive(client, buf, &n), kQOXErrNoErr);
    EXPECT_EQ(std::string(buf, n), "pong");
  }
}

// A client that sent a certificate without proving it fails the server's
// Finished check with handshake_failure.
TEST_F(TlsHandshakeTest, CertificateWithoutCertificateVerifyFailsAtFinished) {
  QOXtlsSession* s = Server();
  UseSuite(s, 0x0120);
  s->certificateRequested = 1;
  s->remoteKey = kRsaKey;
  s->remoteKeyAlg = 1;
  const Bytes master(48, 7), cr(32, 1), sr(32, 2);
  tls_test::InstallKeys(s, 7, 1, master, cr, sr);
  s->state = kQOXtlsState_Handshaking;
  uint8_t expected[36];
  uint32_t n = 0;
  ASSERT_EQ(qoxTLSCalculateFinished(s, true, expected, &n), kQOXErrNoErr);
  EXPECT_EQ(qoxTLSReceiveFinished(s, expected, n), kQOXErrTLSProtocolViolation);
  EXPECT_EQ(LastAlert(s), kQOXtlsAlert_HandshakeFailure);
}

// A client that never speaks is dropped after the sockets layer's receive
// wait (shortened here), through the callbacks binding installs.
TEST_F(TlsHandshakeTest, SilentClientIsDroppedAfterTheReceiveWait) {
  Pair pair;
  QOXtlsSession* s = env.NewSession(false);
  SetLocalKey(s, kRsaKey);
  QOXtlsSetReceiveCallback(s, QOXSocketsTLSReceive, pair.fds[0]);
  QOXtlsSetSendCallback(s, QOXSocketsTLSSend, pair.fds[0]);
  const int32_t saved = QOXSocketsGetTLSReceiveWait();
  QOXSocketsSetTLSReceiveWait(150);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QOXtlsHandshake(s), kQOXErrTLSUnexpectedClose);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  QOXSocketsSetTLSReceiveWait(saved);
  EXPECT_GE(ms.count(), 140);
  EXPECT_LT(ms.count(), 5000);
  EXPECT_EQ(State(s), kQOXtlsState_Fatal);
}

// --- A standard client: Debian's OpenSSL offers only X.509 suites ---

TEST(TlsHandshakeOpenSSL, StandardClientGetsInsufficientSecurity) {
  ostrak_test::ScopedServices<QOXtlsKeyServices> keys{qoxTLSKeyServices, qoxRegisterTLSKeyServices};
  keys.table() = kKeyDouble;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  ASSERT_EQ(listen(listener, 1), 0);
  const std::string target = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execlp("openssl", "openssl", "s_client", "-connect", target.c_str(), "-tls1", "-cipher", "AES128-SHA:@SECLEVEL=0",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1) << "openssl s_client did not connect";
  int fd = accept(listener, nullptr, nullptr);
  ASSERT_GE(fd, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  tls_test::TlsEnv env;
  QOXtlsSession* s = env.NewSession(false);
  tls_test::AttachSocket(s, fd);
  SetLocalKey(s, kRsaKey);
  EXPECT_EQ(QOXtlsHandshake(s), kQOXErrTLSEncryptionUnsupported);
  EXPECT_EQ(LastAlert(s), kQOXtlsAlert_InsufficientSecurity);
  close(fd);
  std::string text;
  char buf[4096];
  for (;;) {
    pollfd q{out[0], POLLIN, 0};
    if (poll(&q, 1, 10000) != 1) break;
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  close(listener);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_NE(text.find("alert insufficient security"), std::string::npos) << text;
}

}  // namespace

// Fuzz target for the server's side of the TLS handshake (ostrak_fuzz_target
// in tests/net/CMakeLists.txt): every build runs it over
// fuzz/corpus/tls_handshake; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/net/net_tls_handshake_fuzz -max_total_time=300 <a copy of fuzz/corpus/tls_handshake>
// The seeds are made by fuzz/make_tls_handshake_corpus.py.
//
// Keys go through a double of the key-work table: the local key exports as
// "KEY-RSA!" or "KEY-DSA!", imports take those texts, signatures copy the
// signed value, an encrypted premaster is a length byte, the value and zeros
// (64 bytes).
//
// Input: a mode byte, then bytes.
//   mode bit 0     the server asks for a client certificate
//   mode bit 1     the local key is DSA (else RSA)
//   mode bits 2-3  0: the bytes are what the transport delivers to a
//                  non-blocking server handshake (records); 1: the body of
//                  a ClientHello, 2: of a Certificate, 3: of a
//                  ClientKeyExchange, given to their receivers
//   mode bits 4-5  for 2 and 3, the negotiated suite: 0x0120, 0x0110,
//                  0x000A, 0x0101
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"
#include "net/tls_session.h"
#include "server/main/wiring.h"

namespace {

char gRsaToken, gDsaToken;
QOXKeyDBObj* const kRsaKey = reinterpret_cast<QOXKeyDBObj*>(&gRsaToken);
QOXKeyDBObj* const kDsaKey = reinterpret_cast<QOXKeyDBObj*>(&gDsaToken);
QOXKeyDBObj* gImported = nullptr;
uint32_t gImportedCount = 0;
constexpr uint32_t kBlock = 64;

QOXError ExportKey(QOXContext* context, QOXKeyDBObj* key, uint32_t, uint8_t** out, uint32_t* n) {
  *out = static_cast<uint8_t*>(QOXNewData(QOXPeekContextMemoryMgr(context), 8, 0));
  if (*out == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(*out, key == kDsaKey ? "KEY-DSA!" : "KEY-RSA!", 8);
  *n = 8;
  return kQOXErrNoErr;
}
QOXError ImportKeys(QOXContext*, const uint8_t* bytes, uint32_t n, uint32_t, QOXKeyDB**) {
  const std::string s(reinterpret_cast<const char*>(bytes), n);
  if (s.rfind("KEY-", 0) != 0) return kQOXErrCorruptData;
  gImported = s.find("DSA") != std::string::npos ? kDsaKey : kRsaKey;
  gImportedCount = s.find("TWO") != std::string::npos ? 2 : 1;
  return kQOXErrNoErr;
}
QOXError FirstKey(QOXKeyDB*, QOXKeyDBObj** key, uint32_t* count) {
  *key = gImported;
  *count = gImportedCount;
  return kQOXErrNoErr;
}
QOXError LookupIssuer(QOXKeySet*, QOXKeyDBObj*, QOXKeyDBObj** issuer) {
  *issuer = nullptr;
  return kQOXErrNoErr;
}
QOXError KeyInfo(QOXKeyDBObj* key, int32_t* alg, bool* canVerify) {
  *alg = key == kDsaKey ? 17 : 1;
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
QOXError Encrypt(QOXContext*, QOXKeyDBObj*, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXtlsKeyServices kKeyDouble = {ExportKey, ImportKeys, FirstKey,    LookupIssuer, KeyInfo, PrivateSizes,
                                          Sign,      Decrypt,    PublicSizes, Verify,       Encrypt};

struct Input {
  const uint8_t* data;
  size_t size;
};

int32_t Receive(intptr_t user, void* buffer, uint32_t length) {
  auto* in = reinterpret_cast<Input*>(user);
  if (in->size == 0) return kQOXErrTLSWouldBlock;
  const size_t n = length < in->size ? length : in->size;
  std::memcpy(buffer, in->data, n);
  in->data += n;
  in->size -= n;
  return static_cast<int32_t>(n);
}

int32_t Send(intptr_t, const void*, uint32_t length) { return static_cast<int32_t>(length); }

QOXtlsContext* TlsContext() {
  static QOXtlsContext* tls = [] {
    ostrakWire();
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    qoxRegisterTLSKeyServices(&kKeyDouble);
    QOXContext* context = nullptr;
    QOXNewContext(kQOXAPIVersion, &context);
    QOXtlsContext* t = nullptr;
    QOXNewTLSContext(context, &t);
    return t;
  }();
  return tls;
}

// A small Diffie-Hellman state as after the server's key exchange: the
// 256-bit prime, a fixed exponent.
void InstallDH(QOXtlsSession* s) {
  const uint8_t* record = qoxTLSDHPrimes().DH_256bitPrime;
  if (QOXNewBigNum(s->context, false, &s->dhPrime) != kQOXErrNoErr) return;
  QOXBigNumInsertBigEndianBytes(s->dhPrime, record + 2, 0, (uint32_t{record[0]} << 8) | record[1]);
  if (QOXNewBigNum(s->context, true, &s->dhPrivate) != kQOXErrNoErr) return;
  QOXBigNumSetQ(s->dhPrivate, 0x1234567);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  QOXtlsContext* tls = TlsContext();
  if (tls == nullptr) return 0;
  const uint8_t mode = data[0];
  Input in{data + 1, size - 1};
  QOXtlsSession* s = nullptr;
  if (QOXNewTLSSession(tls, &s) != kQOXErrNoErr) return 0;
  QOXtlsSetProtocolOptions(s, kQOXtlsProtocolOption_ServerSide | kQOXtlsProtocolOption_NonBlocking |
                                  (mode & 1 ? kQOXtlsProtocolOption_RequestClientCert : 0));
  QOXtlsSetReceiveCallback(s, Receive, reinterpret_cast<intptr_t>(&in));
  QOXtlsSetSendCallback(s, Send, 0);
  s->localKey = mode & 2 ? kDsaKey : kRsaKey;
  s->localKeyAlg = mode & 2 ? 17 : 1;
  s->dhPrimeIndex = 0;
  const uint32_t target = (mode >> 2) & 3;
  if (target == 0) {
    // Each call takes what the transport holds; stop when it has no more.
    for (int rounds = 0; rounds < 64; ++rounds) {
      const QOXError err = QOXtlsHandshake(s);
      uint32_t state = 0;
      QOXtlsGetState(s, &state);
      if (err != kQOXErrNoErr || state != kQOXtlsState_Handshaking || in.size == 0) break;
    }
  } else {
    static constexpr uint16_t kSuites[] = {0x0120, 0x0110, 0x000A, 0x0101};
    const uint16_t code = kSuites[(mode >> 4) & 3];
    for (uint16_t i = 0; i < s->suiteCount; ++i)
      if (s->suites[i].code == code) s->negotiatedSuite = i;
    s->state = kQOXtlsState_Handshaking;
    s->handshakeStep = 1;
    s->peerMinorVersion = 1;
    const uint32_t n = static_cast<uint32_t>(in.size);
    if (target == 1) {
      s->handshakeStep = 0;
      qoxTLSReceiveClientHello(s, in.data, n);
    } else if (target == 2) {
      qoxTLSReceiveCertificate(s, in.data, n);
    } else {
      std::memset(s->clientRandom, 0x11, 32);
      std::memset(s->serverRandom, 0x22, 32);
      if (qoxTLSSuite(s).ephemeralDH) InstallDH(s);
      qoxTLSReceiveClientKeyExchange(s, in.data, n);
    }
  }
  QOXFreeTLSSession(s);
  return 0;
}

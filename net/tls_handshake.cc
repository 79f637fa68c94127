// The TLS engine's handshake: the client and server drivers and every
// handshake message from ClientHello to Finished, each built with
// ByteBuilder and parsed through ByteCursor. A field that does not fit its
// message draws a fatal decode_error and kQOXErrTLSProtocolViolation unless
// the message names another alert.
//
// Keys are exported, imported and used through QOXtlsKeyServices
// (net/tls_internal.h). Exponents and premaster secrets live in secure
// memory and are wiped on every path.
#include <cstring>

#include "crypto/bignum_api.h"
#include "crypto/context_random.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/random_pool.h"
#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/core/features.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "foundation/service_table.h"
#include "net/tls_internal.h"

namespace {

constexpr uint32_t kAlgRSA = 1;
constexpr uint32_t kAlgDSA = 17;
constexpr uint8_t kCertTypeRSASign = 1;
constexpr uint8_t kCertTypeDSSSign = 2;
constexpr uint32_t kPremasterSize = 48;
// The largest Certificate body one handshake record carries.
constexpr uint32_t kMaxCertificateBody = kQOXtlsMaxRecordLength - kQOXtlsHandshakeHeaderSize;

QOXError Fatal(QOXtlsSession* s, uint8_t description, QOXError result) {
  qoxTLSSendAlert(s, kQOXtlsAlertLevel_Fatal, description);
  return result;
}

QOXError DecodeError(QOXtlsSession* s) { return Fatal(s, kQOXtlsAlert_DecodeError, kQOXErrTLSProtocolViolation); }

QOXError RandomBytes(QOXtlsSession* s, uint8_t* out, size_t n) {
  QOXRandomContext* rc = qoxContextGetX9_17RandomContext(s->context);
  if (rc == nullptr) return kQOXErrOutOfMemory;
  qoxRandomGetBytes(rc, out, n);
  return kQOXErrNoErr;
}

// The time as 32-bit seconds, then 28 random bytes.
QOXError HelloRandom(QOXtlsSession* s, uint8_t out[32]) {
  StoreBE32(out, QOXGetTime());
  return RandomBytes(s, out + 4, 28);
}

// A secure block of n bytes that wipes itself.
struct SecureBlock {
  uint8_t* p = nullptr;
  uint32_t n = 0;
  SecureBlock(QOXMemoryMgr* mgr, uint32_t size) : n(size) {
    p = static_cast<uint8_t*>(QOXNewSecureData(mgr, size == 0 ? 1 : size, kQOXMemoryMgrFlags_Clear));
  }
  ~SecureBlock() {
    if (p != nullptr) QOXFreeData(p);
  }
  SecureBlock(const SecureBlock&) = delete;
  SecureBlock& operator=(const SecureBlock&) = delete;
};

struct BigNumHolder {
  QOXBigNum* bn = nullptr;
  ~BigNumHolder() {
    if (bn != nullptr) QOXFreeBigNum(bn);
  }
};

void FreeBN(QOXBigNum*& bn) {
  if (bn != nullptr) QOXFreeBigNum(bn);
  bn = nullptr;
}

uint32_t ByteLength(const QOXBigNum* bn) { return (QOXBigNumGetSignificantBits(bn) + 7) / 8; }

// A 16-bit count and the number's minimal big-endian bytes.
QOXError AppendNumber(ostrak::ByteBuilder& out, const QOXBigNum* bn) {
  const uint32_t n = ByteLength(bn);
  if (n > 0xFFFF) return kQOXErrBufferTooSmall;
  out.append_u16be(static_cast<uint16_t>(n));
  const size_t at = out.size();
  for (uint32_t i = 0; i < n; ++i) out.append_u8(0);
  return QOXBigNumExtractBigEndianBytes(bn, const_cast<uint8_t*>(out.data()) + at, 0, n);
}

QOXError NumberFrom(QOXtlsSession* s, bool secure, const uint8_t* bytes, uint32_t n, QOXBigNum** out) {
  QOXError err = QOXNewBigNum(s->context, secure, out);
  if (err != kQOXErrNoErr) return err;
  return n == 0 ? kQOXErrNoErr : QOXBigNumInsertBigEndianBytes(*out, bytes, 0, n);
}

// The signature format of a key's algorithm under the session's version.
uint32_t SigFormat(const QOXtlsSession* s, int32_t algorithm) {
  return algorithm == static_cast<int32_t>(kAlgDSA) && s->minorVersion == kQOXtlsMinorTLS10 ? kQOXtlsSigFormat_DER
                                                                                             : kQOXtlsSigFormat_Raw;
}

// MD5 then SHA-1 (36 bytes) of randoms and parameters for RSA, SHA-1 (20)
// alone for DSA.
QOXError KeyExchangeHash(QOXtlsSession* s, uint32_t algorithm, const uint8_t* params, size_t length,
                         uint8_t out[36], uint32_t* outLength) {
  const bool rsa = algorithm == kAlgRSA;
  uint8_t* at = out;
  for (int round = rsa ? 0 : 1; round < 2; ++round) {
    QOXHashContext* h = qoxHashCreate(s->memoryMgr, round == 0 ? &HashMD5 : &HashSHA);
    if (h == nullptr) return kQOXErrOutOfMemory;
    QOXContinueHash(h, s->clientRandom, 32);
    QOXContinueHash(h, s->serverRandom, 32);
    QOXContinueHash(h, params, length);
    QOXError err = QOXFinalizeHash(h, at);
    QOXFreeHashContext(h);
    if (err != kQOXErrNoErr) return err;
    at += round == 0 ? 16 : 20;
  }
  *outLength = static_cast<uint32_t>(at - out);
  return kQOXErrNoErr;
}

// A private exponent for p: ceil(1.5 E / 8) random bytes, top bit set.
QOXError NewExponent(QOXtlsSession* s, const QOXBigNum* p, QOXBigNum** out) {
  const uint32_t e = qoxDiscreteLogExponentBits(QOXBigNumGetSignificantBits(p));
  const uint32_t n = (3 * e + 15) / 16;
  SecureBlock bytes(s->memoryMgr, n);
  if (bytes.p == nullptr) return kQOXErrOutOfMemory;
  QOXError err = RandomBytes(s, bytes.p, n);
  if (err != kQOXErrNoErr) return err;
  bytes.p[0] |= 0x80;
  return NumberFrom(s, true, bytes.p, n, out);
}

// base^exponent mod p, big-endian at p's byte length, into a secure block.
QOXError SharedSecret(QOXtlsSession* s, const QOXBigNum* base, SecureBlock& out) {
  BigNumHolder z;
  QOXError err = QOXNewBigNum(s->context, true, &z.bn);
  if (err != kQOXErrNoErr) return err;
  if ((err = QOXBigNumExpMod(base, s->dhPrivate, s->dhPrime, z.bn)) != kQOXErrNoErr) return err;
  if (out.p == nullptr) return kQOXErrOutOfMemory;
  return QOXBigNumExtractBigEndianBytes(z.bn, out.p, 0, out.n);
}

QOXError FinishMasterSecret(QOXtlsSession* s, const uint8_t* premaster, uint32_t length) {
  return qoxTLSCalculateMasterSecret(s, premaster, length);
}

void FreeRemote(QOXtlsSession* s) {
  if (s->remoteKeyDB != nullptr) qoxKeyDBServices().QOXFreeKeyDB(s->remoteKeyDB);
  s->remoteKeyDB = nullptr;
  s->remoteKey = nullptr;
}

bool SuiteAllowedLocally(const QOXtlsSession* s, const QOXtlsCipherSuite& row) {
  // X.509 suites only with a local certificate to send.
  return static_cast<int32_t>(row.pubAlg) == s->localKeyAlg && (row.nativeKey || s->localCertificate != nullptr);
}

}  // namespace

// --- ClientHello ---

QOXError qoxTLSSendClientHello(QOXtlsSession* s) {
  QOXError err = HelloRandom(s, s->clientRandom);
  if (err != kQOXErrNoErr) return err;
  ostrak::ByteBuilder b;
  b.append_u8(kQOXtlsMajorVersion);
  b.append_u8(kQOXtlsMinorTLS10);
  b.append(s->clientRandom, 32);
  b.append_u8(0);
  b.append_u16be(static_cast<uint16_t>(2 * s->suiteCount));
  for (uint16_t i = 0; i < s->suiteCount; ++i) b.append_u16be(s->suites[i].code);
  b.append_u8(1);
  b.append_u8(0);
  return qoxTLSSendHandshakePacket(s, kQOXtlsClientHello, b.data(), static_cast<uint32_t>(b.size()));
}

QOXError qoxTLSReceiveClientHello(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  if (length <= 39) return DecodeError(s);
  ostrak::ByteCursor c(body, length);
  uint8_t major = 0, minor = 0, sidLength = 0;
  c.get_u8(&major);
  c.get_u8(&minor);
  if (major != kQOXtlsMajorVersion) return Fatal(s, kQOXtlsAlert_ProtocolVersion, kQOXErrTLSVersionIncompatible);
  s->peerMinorVersion = minor;
  s->minorVersion = minor > kQOXtlsMinorTLS10 ? kQOXtlsMinorTLS10 : minor;
  c.get_bytes(s->clientRandom, 32);
  uint16_t listLength = 0;
  const uint8_t* list = nullptr;
  if (!c.get_u8(&sidLength) || !c.skip(sidLength) || !c.get_u16be(&listLength) || !c.get_view(listLength, &list) ||
      c.empty())
    return DecodeError(s);
  // The client's order decides.
  bool found = false;
  for (uint32_t i = 0; i + 1 < listLength && !found; i += 2) {
    const uint16_t code = LoadBE16(list + i);
    for (uint16_t j = 0; j < s->suiteCount; ++j) {
      if (s->suites[j].code == code && SuiteAllowedLocally(s, s->suites[j])) {
        s->negotiatedSuite = j;
        found = true;
        break;
      }
    }
  }
  if (!found) return Fatal(s, kQOXtlsAlert_InsufficientSecurity, kQOXErrTLSEncryptionUnsupported);

  QOXError err = qoxTLSSendServerHello(s);
  if (err == kQOXErrNoErr) err = qoxTLSSendCertificate(s);
  if (err == kQOXErrNoErr && qoxTLSSuite(s).ephemeralDH) err = qoxTLSSendServerKeyExchange(s);
  if (err == kQOXErrNoErr && s->requestClientCert) err = qoxTLSSendCertificateRequest(s);
  if (err == kQOXErrNoErr) err = qoxTLSSendHandshakePacket(s, kQOXtlsServerHelloDone, nullptr, 0);
  return err;
}

// --- ServerHello ---

QOXError qoxTLSSendServerHello(QOXtlsSession* s) {
  QOXError err = HelloRandom(s, s->serverRandom);
  if (err != kQOXErrNoErr) return err;
  uint8_t sessionId = 0;
  if ((err = RandomBytes(s, &sessionId, 1)) != kQOXErrNoErr) return err;
  ostrak::ByteBuilder b;
  b.append_u8(kQOXtlsMajorVersion);
  b.append_u8(s->minorVersion);
  b.append(s->serverRandom, 32);
  b.append_u8(1);
  b.append_u8(sessionId);
  b.append_u16be(qoxTLSSuite(s).code);
  b.append_u8(0);
  return qoxTLSSendHandshakePacket(s, kQOXtlsServerHello, b.data(), static_cast<uint32_t>(b.size()));
}

QOXError qoxTLSReceiveServerHello(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  if (length < 38) return DecodeError(s);
  ostrak::ByteCursor c(body, length);
  uint8_t major = 0, minor = 0, sidLength = 0, compression = 0;
  c.get_u8(&major);
  c.get_u8(&minor);
  if (major != kQOXtlsMajorVersion || minor > kQOXtlsMinorTLS10)
    return Fatal(s, kQOXtlsAlert_ProtocolVersion, kQOXErrTLSVersionIncompatible);
  s->minorVersion = minor;
  c.get_bytes(s->serverRandom, 32);
  uint16_t code = 0;
  if (!c.get_u8(&sidLength) || !c.skip(sidLength) || !c.get_u16be(&code)) return DecodeError(s);
  bool found = false;
  for (uint16_t j = 0; j < s->suiteCount; ++j) {
    if (s->suites[j].code == code) {
      s->negotiatedSuite = j;
      found = true;
      break;
    }
  }
  if (!found) return Fatal(s, kQOXtlsAlert_InsufficientSecurity, kQOXErrTLSProtocolViolation);
  if (!c.get_u8(&compression) || compression != 0) return DecodeError(s);
  return kQOXErrNoErr;
}

// --- Certificate ---

QOXError qoxTLSSendCertificate(QOXtlsSession* s) {
  const QOXtlsCipherSuite& suite = qoxTLSSuite(s);
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  ostrak::ByteBuilder b;
  if (s->clientSide && !s->certVerifyDue) {
    if (s->minorVersion == kQOXtlsMinorSSL30)
      return qoxTLSSendAlert(s, kQOXtlsAlertLevel_Warning, kQOXtlsAlert_NoCertificate);
    if (!suite.nativeKey) b.append_be(0, 3);
    return qoxTLSSendHandshakePacket(s, kQOXtlsCertificate, b.data(), static_cast<uint32_t>(b.size()));
  }
  auto appendExport = [&](QOXKeyDBObj* object, uint32_t format) -> QOXError {
    uint8_t* bytes = nullptr;
    uint32_t n = 0;
    QOXError err = keys.exportKey(s->context, object, format, &bytes, &n);
    if (err == kQOXErrNoErr) {
      if (n > kMaxCertificateBody) {
        err = kQOXErrBufferTooSmall;
      } else {
        b.append_be(n, 3);
        b.append(bytes, n);
      }
    }
    if (bytes != nullptr) QOXFreeData(bytes);
    return err;
  };
  QOXError err = kQOXErrNoErr;
  if (suite.nativeKey) {
    err = appendExport(s->localKey, kQOXtlsExportFormat_RFC2440);
  } else {
    b.append_be(0, 3);  // the list's length, set below
    QOXKeyDBObj* current = s->localCertificate;
    err = appendExport(current, kQOXtlsExportFormat_X509);
    for (uint32_t depth = 0; err == kQOXErrNoErr && s->localCertChain != nullptr && depth < 16; ++depth) {
      QOXKeyDBObj* issuer = nullptr;
      if ((err = keys.lookupIssuer(s->localCertChain, current, &issuer)) != kQOXErrNoErr) break;
      if (issuer == nullptr || issuer == current) break;
      err = appendExport(issuer, kQOXtlsExportFormat_X509);
      current = issuer;
    }
    if (err == kQOXErrNoErr) {
      const size_t listLength = b.size() - 3;
      if (listLength > kMaxCertificateBody) return kQOXErrBufferTooSmall;
      uint8_t* head = const_cast<uint8_t*>(b.data());
      head[0] = static_cast<uint8_t>(listLength >> 16);
      head[1] = static_cast<uint8_t>(listLength >> 8);
      head[2] = static_cast<uint8_t>(listLength);
    }
  }
  if (err != kQOXErrNoErr) return err;
  return qoxTLSSendHandshakePacket(s, kQOXtlsCertificate, b.data(), static_cast<uint32_t>(b.size()));
}

QOXError qoxTLSReceiveCertificate(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  const QOXtlsCipherSuite& suite = qoxTLSSuite(s);
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  if (!s->clientSide) {
    const bool empty = suite.nativeKey ? length == 0 : (length == 3 && body[0] == 0 && body[1] == 0 && body[2] == 0);
    if (empty) {
      s->certificateRequested = 0;
      return kQOXErrNoErr;
    }
  }
  if (length <= 5) return DecodeError(s);
  ostrak::ByteCursor c(body, length);
  uint32_t total = 0;
  c.get_u24be(&total);
  if (total != length - 3) return DecodeError(s);
  FreeRemote(s);
  auto badCertificate = [&]() {
    FreeRemote(s);
    return Fatal(s, kQOXtlsAlert_BadCertificate, kQOXErrTLSProtocolViolation);
  };
  if (suite.nativeKey) {
    if (keys.importKeys(s->context, c.data(), total, kQOXtlsExportFormat_RFC2440, &s->remoteKeyDB) != kQOXErrNoErr)
      return badCertificate();
    uint32_t count = 0;
    if (keys.firstKey(s->remoteKeyDB, &s->remoteKey, &count) != kQOXErrNoErr || count != 1 || s->remoteKey == nullptr)
      return badCertificate();
  } else {
    bool first = true;
    while (!c.empty()) {
      uint32_t n = 0;
      const uint8_t* der = nullptr;
      if (!c.get_u24be(&n) || !c.get_view(n, &der)) {
        FreeRemote(s);
        return DecodeError(s);
      }
      // The certificates' keys gather in the remote database; the first
      // certificate's key is the remote key.
      if (keys.importKeys(s->context, der, n, kQOXtlsExportFormat_X509, &s->remoteKeyDB) != kQOXErrNoErr)
        return badCertificate();
      if (first) {
        uint32_t count = 0;
        if (keys.firstKey(s->remoteKeyDB, &s->remoteKey, &count) != kQOXErrNoErr || s->remoteKey == nullptr)
          return badCertificate();
        first = false;
      }
    }
  }
  int32_t algorithm = 0;
  bool canVerify = false;
  if (keys.keyInfo(s->remoteKey, &algorithm, &canVerify) != kQOXErrNoErr || !canVerify ||
      !pubAlgSupported(static_cast<uint32_t>(algorithm)))
    return badCertificate();
  s->remoteKeyAlg = algorithm;
  if (s->clientSide) {
    if (algorithm != static_cast<int32_t>(suite.pubAlg)) return badCertificate();
    qoxTLSNextState(s, suite.ephemeralDH ? kQOXtlsEvent_CertEphemeral : kQOXtlsEvent_CertNotEphemeral);
    if (s->state == kQOXtlsState_Fatal) return Fatal(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation);
  }
  return kQOXErrNoErr;
}

// --- ServerKeyExchange ---

QOXError qoxTLSSendServerKeyExchange(QOXtlsSession* s) {
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  const uint32_t format = SigFormat(s, s->localKeyAlg);
  uint32_t maxSignature = 0;
  QOXError err = keys.privateKeySizes(s, format, &maxSignature, nullptr, nullptr);
  if (err != kQOXErrNoErr) return err;
  const uint8_t* record = qoxTLSDHPrimeForIndex(s->dhPrimeIndex);
  FreeBN(s->dhPrime);
  FreeBN(s->dhGenerator);
  FreeBN(s->dhPrivate);
  FreeBN(s->dhServerPublic);
  if ((err = NumberFrom(s, false, record + 2, LoadBE16(record), &s->dhPrime)) != kQOXErrNoErr) return err;
  if ((err = QOXNewBigNum(s->context, false, &s->dhGenerator)) != kQOXErrNoErr) return err;
  if ((err = QOXBigNumSetQ(s->dhGenerator, 2)) != kQOXErrNoErr) return err;
  if ((err = NewExponent(s, s->dhPrime, &s->dhPrivate)) != kQOXErrNoErr) return err;
  if ((err = QOXNewBigNum(s->context, false, &s->dhServerPublic)) != kQOXErrNoErr) return err;
  if ((err = QOXBigNumExpMod(s->dhGenerator, s->dhPrivate, s->dhPrime, s->dhServerPublic)) != kQOXErrNoErr)
    return err;
  ostrak::ByteBuilder b;
  if ((err = AppendNumber(b, s->dhPrime)) != kQOXErrNoErr || (err = AppendNumber(b, s->dhGenerator)) != kQOXErrNoErr ||
      (err = AppendNumber(b, s->dhServerPublic)) != kQOXErrNoErr)
    return err;
  uint8_t hash[36];
  uint32_t hashLength = 0;
  if ((err = KeyExchangeHash(s, static_cast<uint32_t>(s->localKeyAlg), b.data(), b.size(), hash, &hashLength)) !=
      kQOXErrNoErr)
    return err;
  ostrak::ByteBuilder signature;
  signature.reserve(maxSignature);
  for (uint32_t i = 0; i < maxSignature; ++i) signature.append_u8(0);
  uint32_t signatureLength = maxSignature;
  if ((err = keys.privateKeySign(s, format, hash, hashLength, const_cast<uint8_t*>(signature.data()),
                                 &signatureLength)) != kQOXErrNoErr)
    return err;
  if (signatureLength > maxSignature || signatureLength > 0xFFFF) return kQOXErrBufferTooSmall;
  b.append_u16be(static_cast<uint16_t>(signatureLength));
  b.append(signature.data(), signatureLength);
  return qoxTLSSendHandshakePacket(s, kQOXtlsServerKeyExchange, b.data(), static_cast<uint32_t>(b.size()));
}

QOXError qoxTLSReceiveServerKeyExchange(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  const uint32_t format = SigFormat(s, s->remoteKeyAlg);
  uint32_t maxSignature = 0;
  QOXError err = keys.publicKeySizes(s->context, s->remoteKey, format, &maxSignature, nullptr);
  if (err != kQOXErrNoErr) return err;
  ostrak::ByteCursor c(body, length);
  const uint8_t* fields[3] = {};
  uint16_t sizes[3] = {};
  for (int i = 0; i < 3; ++i)
    if (!c.get_u16be(&sizes[i]) || !c.get_view(sizes[i], &fields[i])) return DecodeError(s);
  const size_t paramsLength = length - c.remaining();
  uint16_t signatureLength = 0;
  const uint8_t* signature = nullptr;
  if (!c.get_u16be(&signatureLength) || signatureLength > maxSignature || !c.get_view(signatureLength, &signature) ||
      !c.empty())
    return DecodeError(s);
  uint8_t hash[36];
  uint32_t hashLength = 0;
  if ((err = KeyExchangeHash(s, static_cast<uint32_t>(s->remoteKeyAlg), body, paramsLength, hash, &hashLength)) !=
      kQOXErrNoErr)
    return err;
  if (keys.publicKeyVerify(s->context, s->remoteKey, format, hash, hashLength, signature, signatureLength) !=
      kQOXErrNoErr)
    return Fatal(s, kQOXtlsAlert_BadCertificate, kQOXErrTLSProtocolViolation);
  FreeBN(s->dhPrime);
  FreeBN(s->dhGenerator);
  FreeBN(s->dhServerPublic);
  if ((err = NumberFrom(s, false, fields[0], sizes[0], &s->dhPrime)) != kQOXErrNoErr ||
      (err = NumberFrom(s, false, fields[1], sizes[1], &s->dhGenerator)) != kQOXErrNoErr ||
      (err = NumberFrom(s, false, fields[2], sizes[2], &s->dhServerPublic)) != kQOXErrNoErr)
    return err;
  return kQOXErrNoErr;
}

// --- CertificateRequest ---

QOXError qoxTLSSendCertificateRequest(QOXtlsSession* s) {
  uint8_t types[2];
  uint8_t count = 0;
  if (pubAlgSupported(kAlgDSA)) types[count++] = kCertTypeDSSSign;
  if (pubAlgSupported(kAlgRSA)) types[count++] = kCertTypeRSASign;
  ostrak::ByteBuilder b;
  b.append_u8(count);
  b.append(types, count);
  b.append_u16be(0);
  s->certificateRequested = 1;
  return qoxTLSSendHandshakePacket(s, kQOXtlsCertificateRequest, b.data(), static_cast<uint32_t>(b.size()));
}

QOXError qoxTLSReceiveCertRequest(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  ostrak::ByteCursor c(body, length);
  uint8_t count = 0;
  const uint8_t* types = nullptr;
  if (!c.get_u8(&count) || !c.get_view(count, &types)) return DecodeError(s);
  s->certificateRequested = 1;
  if (s->localKey != nullptr) {
    for (uint8_t i = 0; i < count; ++i) {
      if ((types[i] == kCertTypeRSASign && s->localKeyAlg == static_cast<int32_t>(kAlgRSA)) ||
          (types[i] == kCertTypeDSSSign && s->localKeyAlg == static_cast<int32_t>(kAlgDSA)))
        s->certVerifyDue = 1;
    }
  }
  if (!qoxTLSSuite(s).nativeKey && s->localCertificate == nullptr) s->certVerifyDue = 0;
  return kQOXErrNoErr;
}

// --- ClientKeyExchange ---

QOXError qoxTLSSendClientKeyExchange(QOXtlsSession* s) {
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  ostrak::ByteBuilder b;
  QOXError err = kQOXErrNoErr;
  if (qoxTLSSuite(s).ephemeralDH) {
    if (s->dhPrime == nullptr || s->dhGenerator == nullptr || s->dhServerPublic == nullptr)
      return kQOXErrTLSHandshakeViolation;
    const uint32_t pLength = ByteLength(s->dhPrime);
    FreeBN(s->dhPrivate);
    FreeBN(s->dhClientPublic);
    if ((err = NewExponent(s, s->dhPrime, &s->dhPrivate)) != kQOXErrNoErr) return err;
    if ((err = QOXNewBigNum(s->context, false, &s->dhClientPublic)) != kQOXErrNoErr) return err;
    if ((err = QOXBigNumExpMod(s->dhGenerator, s->dhPrivate, s->dhPrime, s->dhClientPublic)) != kQOXErrNoErr)
      return err;
    b.append_u16be(static_cast<uint16_t>(pLength));
    const size_t at = b.size();
    for (uint32_t i = 0; i < pLength; ++i) b.append_u8(0);
    if ((err = QOXBigNumExtractBigEndianBytes(s->dhClientPublic, const_cast<uint8_t*>(b.data()) + at, 0, pLength)) !=
        kQOXErrNoErr)
      return err;
    SecureBlock premaster(s->memoryMgr, pLength);
    if ((err = SharedSecret(s, s->dhServerPublic, premaster)) != kQOXErrNoErr) return err;
    if ((err = qoxTLSSendHandshakePacket(s, kQOXtlsClientKeyExchange, b.data(), static_cast<uint32_t>(b.size()))) !=
        kQOXErrNoErr)
      return err;
    return FinishMasterSecret(s, premaster.p, premaster.n);
  }
  SecureBlock premaster(s->memoryMgr, kPremasterSize);
  if (premaster.p == nullptr) return kQOXErrOutOfMemory;
  premaster.p[0] = kQOXtlsMajorVersion;
  premaster.p[1] = kQOXtlsMinorTLS10;
  if ((err = RandomBytes(s, premaster.p + 2, kPremasterSize - 2)) != kQOXErrNoErr) return err;
  uint32_t encrypted = 0;
  if ((err = keys.publicKeySizes(s->context, s->remoteKey, kQOXtlsSigFormat_Raw, nullptr, &encrypted)) !=
      kQOXErrNoErr)
    return err;
  if (encrypted == 0 || encrypted > 0xFFFF) return kQOXErrBufferTooSmall;
  if (s->minorVersion == kQOXtlsMinorTLS10) b.append_u16be(static_cast<uint16_t>(encrypted));
  const size_t at = b.size();
  for (uint32_t i = 0; i < encrypted; ++i) b.append_u8(0);
  uint32_t n = encrypted;
  if ((err = keys.publicKeyEncrypt(s->context, s->remoteKey, premaster.p, kPremasterSize,
                                   const_cast<uint8_t*>(b.data()) + at, &n)) != kQOXErrNoErr)
    return err;
  if (n != encrypted) return kQOXErrBufferTooSmall;
  if ((err = qoxTLSSendHandshakePacket(s, kQOXtlsClientKeyExchange, b.data(), static_cast<uint32_t>(b.size()))) !=
      kQOXErrNoErr)
    return err;
  return FinishMasterSecret(s, premaster.p, premaster.n);
}

QOXError qoxTLSReceiveClientKeyExchange(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  QOXError err = kQOXErrNoErr;
  if (qoxTLSSuite(s).ephemeralDH) {
    ostrak::ByteCursor c(body, length);
    uint16_t n = 0;
    if (!c.get_u16be(&n) || static_cast<uint32_t>(n) + 2 != length)
      return Fatal(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation);
    if (s->dhPrime == nullptr || s->dhPrivate == nullptr) return kQOXErrTLSHandshakeViolation;
    FreeBN(s->dhClientPublic);
    if ((err = NumberFrom(s, false, c.data(), n, &s->dhClientPublic)) != kQOXErrNoErr) return err;
    SecureBlock premaster(s->memoryMgr, ByteLength(s->dhPrime));
    if ((err = SharedSecret(s, s->dhClientPublic, premaster)) != kQOXErrNoErr) return err;
    if ((err = FinishMasterSecret(s, premaster.p, premaster.n)) != kQOXErrNoErr) return err;
    return qoxTLSCalculateKeys(s);
  }
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  uint32_t encrypted = 0, maxDecrypted = 0;
  if ((err = keys.privateKeySizes(s, kQOXtlsSigFormat_Raw, nullptr, &encrypted, &maxDecrypted)) != kQOXErrNoErr)
    return err;
  const uint8_t* value = body;
  if (length == encrypted + 2 && LoadBE16(body) == encrypted) value = body + 2;
  else if (length != encrypted || encrypted == 0)
    return Fatal(s, kQOXtlsAlert_DecryptionFailed, kQOXErrTLSProtocolViolation);
  SecureBlock decrypted(s->memoryMgr, maxDecrypted < kPremasterSize ? kPremasterSize : maxDecrypted);
  if (decrypted.p == nullptr) return kQOXErrOutOfMemory;
  uint32_t n = decrypted.n;
  err = keys.privateKeyDecrypt(s, value, encrypted, decrypted.p, &n);
  // Any fault of the premaster secret is hidden: random bytes stand in and
  // the handshake fails at the Finished check.
  if (err != kQOXErrNoErr || n != kPremasterSize || decrypted.p[0] != kQOXtlsMajorVersion ||
      decrypted.p[1] != s->peerMinorVersion) {
    if ((err = RandomBytes(s, decrypted.p, kPremasterSize)) != kQOXErrNoErr) return err;
  }
  if ((err = FinishMasterSecret(s, decrypted.p, kPremasterSize)) != kQOXErrNoErr) return err;
  return qoxTLSCalculateKeys(s);
}

// --- CertificateVerify ---

QOXError qoxTLSSendCertVerify(QOXtlsSession* s) {
  const QOXtlsKeyServices& keys = qoxTLSKeyServices();
  const uint32_t format = SigFormat(s, s->localKeyAlg);
  uint32_t maxSignature = 0;
  QOXError err = keys.privateKeySizes(s, format, &maxSignature, nullptr, nullptr);
  if (err != kQOXErrNoErr) return err;
  uint8_t hash[36];
  uint32_t hashLength = 0;
  if ((err = qoxTLSCalculateCertVerify(s, hash, &hashLength)) != kQOXErrNoErr) return err;
  ostrak::ByteBuilder b;
  b.append_u16be(0);
  for (uint32_t i = 0; i < maxSignature; ++i) b.append_u8(0);
  uint32_t n = maxSignature;
  if ((err = keys.privateKeySign(s, format, hash, hashLength, const_cast<uint8_t*>(b.data()) + 2, &n)) != kQOXErrNoErr)
    return err;
  if (n > maxSignature || n > 0xFFFF) return kQOXErrBufferTooSmall;
  StoreBE16(const_cast<uint8_t*>(b.data()), static_cast<uint16_t>(n));
  return qoxTLSSendHandshakePacket(s, kQOXtlsCertificateVerify, b.data(), n + 2);
}

QOXError qoxTLSReceiveCertVerify(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  if (s->remoteKey == nullptr) return Fatal(s, kQOXtlsAlert_BadCertificate, kQOXErrTLSProtocolViolation);
  ostrak::ByteCursor c(body, length);
  uint16_t n = 0;
  const uint8_t* signature = nullptr;
  if (!c.get_u16be(&n) || !c.get_view(n, &signature)) return DecodeError(s);
  uint8_t hash[36];
  uint32_t hashLength = 0;
  QOXError err = qoxTLSCalculateCertVerify(s, hash, &hashLength);
  if (err != kQOXErrNoErr) return err;
  if (!c.empty() || qoxTLSKeyServices().publicKeyVerify(s->context, s->remoteKey, SigFormat(s, s->remoteKeyAlg), hash,
                                                        hashLength, signature, n) != kQOXErrNoErr)
    return Fatal(s, kQOXtlsAlert_BadCertificate, kQOXErrTLSProtocolViolation);
  s->clientCertVerified = 1;
  return kQOXErrNoErr;
}

// --- Finished and the ChangeCipherSpec message ---

QOXError qoxTLSSendFinished(QOXtlsSession* s) {
  uint8_t value[36];
  uint32_t n = 0;
  QOXError err = qoxTLSCalculateFinished(s, s->clientSide != 0, value, &n);
  if (err != kQOXErrNoErr) return err;
  return qoxTLSSendHandshakePacket(s, kQOXtlsFinished, value, n);
}

QOXError qoxTLSReceiveFinished(QOXtlsSession* s, const uint8_t* body, uint32_t length) {
  if (s->readKeys == nullptr) {
    qoxTLSFreeSnapshots(s);
    return Fatal(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation);
  }
  uint8_t expected[36];
  uint32_t n = 0;
  QOXError err = qoxTLSCalculateFinished(s, s->clientSide == 0, expected, &n);
  if (err != kQOXErrNoErr) return err;
  bool ok = n == length && qoxTLSEqualConstantTime(expected, body, n);
  if (ok && !s->clientSide && s->certificateRequested && (s->remoteKey == nullptr || !s->clientCertVerified))
    ok = false;
  if (!ok) return Fatal(s, kQOXtlsAlert_HandshakeFailure, kQOXErrTLSProtocolViolation);
  return kQOXErrNoErr;
}

QOXError qoxTLSSendChangeCipherSpec(QOXtlsSession* s) {
  const uint8_t one = 1;
  return qoxTLSSendRecordLayer(s, kQOXtlsContent_ChangeCipherSpec, &one, 1);
}

QOXError qoxTLSSendFinalHandshake(QOXtlsSession* s) {
  QOXError err = qoxTLSSendChangeCipherSpec(s);
  if (err == kQOXErrNoErr) err = qoxTLSActivateWriteKeys(s);
  if (err == kQOXErrNoErr) err = qoxTLSSendFinished(s);
  return err;
}

// The client's second flight, after the ServerHelloDone.
QOXError qoxTLSReceiveServerHelloDone(QOXtlsSession* s) {
  QOXError err = kQOXErrNoErr;
  if (s->certificateRequested) err = qoxTLSSendCertificate(s);
  if (err == kQOXErrNoErr) err = qoxTLSSendClientKeyExchange(s);
  if (err == kQOXErrNoErr && s->certVerifyDue) err = qoxTLSSendCertVerify(s);
  if (err == kQOXErrNoErr) err = qoxTLSCalculateKeys(s);
  if (err == kQOXErrNoErr) err = qoxTLSSendFinalHandshake(s);
  return err;
}

// --- Drivers ---

namespace {

void Ready(QOXtlsSession* s) {
  s->state = kQOXtlsState_Ready;
  if (s->handshakeMD5 != nullptr) QOXFreeHashContext(s->handshakeMD5);
  if (s->handshakeSHA != nullptr) QOXFreeHashContext(s->handshakeSHA);
  s->handshakeMD5 = s->handshakeSHA = nullptr;
  qoxTLSFreeSnapshots(s);
  FreeBN(s->dhPrivate);
}

using Handler = QOXError (*)(QOXtlsSession* s, uint8_t type, const uint8_t* body, uint32_t length, bool* done);

// Reads and handles messages: one per call when non-blocking, until done
// otherwise.
QOXError RunMessages(QOXtlsSession* s, Handler handle) {
  for (;;) {
    uint8_t type = 0;
    uint8_t* body = nullptr;
    uint32_t length = 0;
    QOXError err = qoxTLSReceiveHandshakePacket(s, &type, &body, &length);
    if (body == nullptr) return err == kQOXErrTLSWouldBlock ? kQOXErrNoErr : err;
    const uint8_t before = s->handshakeStep;
    qoxTLSNextState(s, qoxTLSPacketToEvent(type));
    bool done = false;
    if (s->state == kQOXtlsState_Fatal) {
      err = Fatal(s, kQOXtlsAlert_UnexpectedMessage, kQOXErrTLSProtocolViolation);
    } else if (s->handshakeStep != before && type >= kQOXtlsServerHello && type <= kQOXtlsFinished) {
      err = handle(s, type, body, length, &done);
    } else if (s->handshakeStep != before && type == kQOXtlsClientHello) {
      err = handle(s, type, body, length, &done);
    }
    QOXFreeData(body);
    if (err != kQOXErrNoErr || done || !s->blocking) return err;
  }
}

QOXError ClientMessage(QOXtlsSession* s, uint8_t type, const uint8_t* body, uint32_t length, bool* done) {
  switch (type) {
    case kQOXtlsServerHello: return qoxTLSReceiveServerHello(s, body, length);
    case kQOXtlsCertificate: return qoxTLSReceiveCertificate(s, body, length);
    case kQOXtlsServerKeyExchange: return qoxTLSReceiveServerKeyExchange(s, body, length);
    case kQOXtlsCertificateRequest: return qoxTLSReceiveCertRequest(s, body, length);
    case kQOXtlsServerHelloDone: return qoxTLSReceiveServerHelloDone(s);
    case kQOXtlsFinished: {
      QOXError err = qoxTLSReceiveFinished(s, body, length);
      if (err == kQOXErrNoErr) {
        Ready(s);
        *done = true;
      }
      return err;
    }
    default: return kQOXErrNoErr;
  }
}

QOXError ServerMessage(QOXtlsSession* s, uint8_t type, const uint8_t* body, uint32_t length, bool* done) {
  switch (type) {
    case kQOXtlsClientHello: return qoxTLSReceiveClientHello(s, body, length);
    case kQOXtlsCertificate: return qoxTLSReceiveCertificate(s, body, length);
    case kQOXtlsCertificateVerify: return qoxTLSReceiveCertVerify(s, body, length);
    case kQOXtlsClientKeyExchange: return qoxTLSReceiveClientKeyExchange(s, body, length);
    case kQOXtlsFinished: {
      QOXError err = qoxTLSReceiveFinished(s, body, length);
      if (err == kQOXErrNoErr) err = qoxTLSSendFinalHandshake(s);
      if (err == kQOXErrNoErr) {
        Ready(s);
        *done = true;
      }
      return err;
    }
    default: return kQOXErrNoErr;
  }
}

}  // namespace

QOXError qoxTLSClientHandshake(QOXtlsSession* s) {
  if (s->state == kQOXtlsState_Idle || s->state == kQOXtlsState_Ready) {
    s->state = kQOXtlsState_Handshaking;
    s->handshakeStep = 0;
    QOXError err = qoxTLSSendClientHello(s);
    if (err != kQOXErrNoErr) return err;
  }
  return RunMessages(s, ClientMessage);
}

QOXError qoxTLSServerHandshake(QOXtlsSession* s) {
  if (s->state == kQOXtlsState_Ready) {
    static constexpr uint8_t kHelloRequest[4] = {0, 0, 0, 0};
    QOXError err = qoxTLSSendRecordLayer(s, kQOXtlsContent_Handshake, kHelloRequest, 4);
    if (err != kQOXErrNoErr) return err;
  }
  if (s->state != kQOXtlsState_Handshaking) {
    s->state = kQOXtlsState_Handshaking;
    s->handshakeStep = 0;
  }
  return RunMessages(s, ServerMessage);
}

namespace {

constexpr QOXtlsHandshakeServices kDrivers = {
    .qoxTLSClientHandshake = qoxTLSClientHandshake,
    .qoxTLSServerHandshake = qoxTLSServerHandshake,
};

}  // namespace

void qoxTLSRegisterHandshake() { qoxRegisterTLSHandshakeServices(&kDrivers); }

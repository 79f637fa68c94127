// The TLS engine's session core: TLS contexts and sessions, their public
// calls, alerts, the state tables and the cipher-suite table.
#include <algorithm>
#include <cstring>

#include "crypto/cbc.h"
#include "crypto/hash.h"
#include "crypto/hmac.h"
#include "foundation/context.h"
#include "foundation/core/features.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"
#include "foundation/option_types.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"
#include "net/tls_session.h"

// --- Tables ---

const QOXtlsCipherSuite kQOXtls_CipherSuites[kQOXtlsSuiteCount] = {
    {0x0101, 17, 3, 2, 1, 1, 1},  // DSA, CAST5, ephemeral DH, RFC 2440 key
    {0x0110, 1, 3, 2, 1, 1, 2},   // RSA, CAST5, ephemeral DH, RFC 2440 key
    {0x0120, 1, 3, 2, 0, 1, 7},   // RSA, CAST5, RFC 2440 key
    {0x000A, 1, 2, 2, 0, 0, 5},   // TLS_RSA_WITH_3DES_EDE_CBC_SHA
    {0x0013, 17, 2, 2, 1, 0, 3},  // TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA
    {0x0016, 1, 2, 2, 1, 0, 4},   // TLS_DHE_RSA_WITH_3DES_EDE_CBC_SHA
    {0x0007, 1, 1, 2, 0, 0, 6},   // TLS_RSA_WITH_IDEA_CBC_SHA
    {0x01F0, 17, 0, 2, 1, 1, 8},  // DSA, no cipher, ephemeral DH, RFC 2440 key
    {0xFF2F, 17, 0, 2, 1, 0, 9},  // DSA, no cipher, ephemeral DH, X.509
};

namespace {

constexpr uint8_t F = kQOXtlsCell_Fatal;
constexpr uint8_t S = kQOXtlsCell_Stay;

}  // namespace

// Columns: events 0..14 (see net/tls_internal.h).
const uint8_t kQOXtls_ClientStateTable[kQOXtlsClientSteps][kQOXtlsEventCount] = {
    //0  1  2  3  4  5  6  7  8  9 10 11 12 13 14
    {S, F, 1, F, F, F, F, F, F, F, F, F, F, F, F},  // 0 ClientHello sent
    {S, F, F, 2, F, F, F, F, F, F, F, F, F, F, F},  // 1 ServerHello
    {S, F, F, F, 3, 4, F, F, F, F, F, F, F, F, F},  // 2 Certificate
    {S, F, F, F, F, F, 5, F, F, F, F, F, F, F, F},  // 3 ephemeral: ServerKeyExchange due
    {S, F, F, F, F, F, F, 6, 7, F, F, F, F, F, F},  // 4
    {S, F, F, F, F, F, F, 6, 7, F, F, F, F, F, F},  // 5 ServerKeyExchange
    {S, F, F, F, F, F, F, F, 7, F, F, F, F, F, F},  // 6 CertificateRequest
    {S, F, F, F, F, F, F, F, F, F, F, F, F, F, 8},  // 7 ServerHelloDone
    {S, F, F, F, F, F, F, F, F, F, F, 9, F, F, F},  // 8 ChangeCipherSpec
    {S, F, F, F, F, F, F, F, F, F, F, F, F, F, F},  // 9 Finished
};

const uint8_t kQOXtls_ServerStateTable[kQOXtlsServerSteps][kQOXtlsEventCount] = {
    //0  1  2  3  4  5  6  7  8  9 10 11 12 13 14
    {S, 1, F, F, F, F, F, F, F, F, F, F, F, F, F},  // 0
    {S, F, F, 2, F, F, F, F, F, F, 3, F, F, F, F},  // 1 ClientHello
    {S, F, F, F, F, F, F, F, F, F, 3, F, F, F, F},  // 2 Certificate
    {S, F, F, F, F, F, F, F, F, 4, F, F, F, F, 5},  // 3 ClientKeyExchange
    {S, F, F, F, F, F, F, F, F, F, F, F, F, F, 5},  // 4 CertificateVerify
    {S, F, F, F, F, F, F, F, F, F, F, 6, F, F, F},  // 5 ChangeCipherSpec
    {S, F, F, F, F, F, F, F, F, F, F, F, F, F, F},  // 6 Finished
};

// As the TLS table; an SSL 3.0 client without a certificate answers the
// request with a no_certificate alert, which steps 1 and 3 tolerate.
const uint8_t kQOXtls_SSL3ServerStateTable[kQOXtlsServerSteps][kQOXtlsEventCount] = {
    //0  1  2  3  4  5  6  7  8  9 10 11 12 13 14
    {S, 1, F, F, F, F, F, F, F, F, F, F, F, F, F},  // 0
    {S, F, F, 2, F, F, F, F, F, F, 3, F, F, S, F},  // 1 ClientHello
    {S, F, F, F, F, F, F, F, F, F, 3, F, F, F, F},  // 2 Certificate
    {S, F, F, F, F, F, F, F, F, 4, F, F, F, S, 5},  // 3 ClientKeyExchange
    {S, F, F, F, F, F, F, F, F, F, F, F, F, F, 5},  // 4 CertificateVerify
    {S, F, F, F, F, F, F, F, F, F, F, 6, F, F, F},  // 5 ChangeCipherSpec
    {S, F, F, F, F, F, F, F, F, F, F, F, F, F, F},  // 6 Finished
};

// --- Helpers ---

namespace {

bool SymmetricCipherSupported(uint32_t cipher) {
  if (cipher == 0) return true;
  uint32_t count = 0;
  if (QOXCountSymmetricCiphers(&count) != kQOXErrNoErr) return false;
  for (uint32_t i = 0; i < count; ++i) {
    QOXSymmetricCipherInfo info;
    if (QOXGetIndexedSymmetricCipherInfo(i, &info) == kQOXErrNoErr && info.algorithm == cipher) return true;
  }
  return false;
}

void FreeSecure(void* block) {
  if (block != nullptr) QOXFreeData(block);
}

void FreeHash(QOXHashContext*& hash) {
  if (hash != nullptr) QOXFreeHashContext(hash);
  hash = nullptr;
}

void FreeBigNum(QOXBigNum*& bn) {
  if (bn != nullptr) QOXFreeBigNum(bn);
  bn = nullptr;
}

void FreeCBC(QOXCBCContext*& cbc) {
  if (cbc != nullptr) QOXFreeCBCContext(cbc);
  cbc = nullptr;
}

// A secure copy of n bytes, with a terminating zero when asked.
void* SecureCopy(QOXMemoryMgr* mgr, const void* bytes, size_t n, bool terminate) {
  uint8_t* copy = static_cast<uint8_t*>(QOXNewSecureData(mgr, n + (terminate ? 1 : 0), kQOXMemoryMgrFlags_Clear));
  if (copy != nullptr && n != 0) std::memcpy(copy, bytes, n);
  return copy;
}

// A zeroed session with the defaults and its handshake hashes; null when
// memory runs out (nothing is left).
QOXtlsSession* NewBareSession(QOXtlsContext* tlsContext) {
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(tlsContext->context);
  auto* s = static_cast<QOXtlsSession*>(QOXNewData(mgr, sizeof(QOXtlsSession), kQOXMemoryMgrFlags_Clear));
  if (s == nullptr) return nullptr;
  s->context = tlsContext->context;
  s->tlsContext = tlsContext;
  s->memoryMgr = mgr;
  s->state = kQOXtlsState_Idle;
  s->clientSide = 1;
  s->blocking = 1;
  s->minorVersion = kQOXtlsMinorTLS10;
  s->localKeyAlg = -1;
  s->dhPrimeIndex = 2;
  s->lastAlert = kQOXtlsNoAlert;
  s->handshakeSHA = qoxHashCreate(mgr, &HashSHA);
  s->handshakeMD5 = qoxHashCreate(mgr, &HashMD5);
  s->suites = static_cast<QOXtlsCipherSuite*>(
      QOXNewData(mgr, sizeof(QOXtlsCipherSuite) * kQOXtlsSuiteCount, kQOXMemoryMgrFlags_Clear));
  if (s->handshakeSHA == nullptr || s->handshakeMD5 == nullptr || s->suites == nullptr) {
    FreeHash(s->handshakeSHA);
    FreeHash(s->handshakeMD5);
    if (s->suites != nullptr) QOXFreeData(s->suites);
    QOXFreeData(s);
    return nullptr;
  }
  return s;
}

}  // namespace

bool pubAlgSupported(uint32_t algorithm) {
  uint32_t count = 0;
  if (QOXCountPublicKeyAlgorithms(&count) != kQOXErrNoErr) return false;
  for (uint32_t i = 0; i < count; ++i) {
    QOXPublicKeyAlgorithmInfo info;
    if (QOXGetIndexedPublicKeyAlgorithmInfo(i, &info) == kQOXErrNoErr && info.algorithm == algorithm) return true;
  }
  return false;
}

// --- TLS contexts ---

QOXError QOXNewTLSContext(QOXContext* context, QOXtlsContext** outTLSContext) {
  if (outTLSContext == nullptr) return kQOXErrBadParams;
  *outTLSContext = nullptr;
  if (context == nullptr) return kQOXErrBadParams;
  auto* t = static_cast<QOXtlsContext*>(
      QOXNewData(QOXPeekContextMemoryMgr(context), sizeof(QOXtlsContext), kQOXMemoryMgrFlags_Clear));
  if (t == nullptr) return kQOXErrOutOfMemory;
  t->context = context;
  t->cache = 1;
  *outTLSContext = t;
  return kQOXErrNoErr;
}

QOXError QOXFreeTLSContext(QOXtlsContext* tlsContext) {
  if (tlsContext == nullptr) return kQOXErrBadParams;
  return QOXFreeData(tlsContext);
}

QOXError QOXtlsSetCache(QOXtlsContext* tlsContext, uint8_t flag) {
  if (tlsContext == nullptr) return kQOXErrBadParams;
  tlsContext->cache = flag;
  return kQOXErrNoErr;
}

QOXError QOXtlsClearCache(QOXtlsContext*) { return kQOXErrNoErr; }

// --- Sessions ---

QOXError QOXNewTLSSession(QOXtlsContext* tlsContext, QOXtlsSession** outSession) {
  if (outSession == nullptr) return kQOXErrBadParams;
  *outSession = nullptr;
  if (tlsContext == nullptr) return kQOXErrBadParams;
  QOXtlsSession* s = NewBareSession(tlsContext);
  if (s == nullptr) return kQOXErrOutOfMemory;
  for (const QOXtlsCipherSuite& row : kQOXtls_CipherSuites) {
    if (pubAlgSupported(row.pubAlg) && SymmetricCipherSupported(row.cipher)) s->suites[s->suiteCount++] = row;
  }
  *outSession = s;
  return kQOXErrNoErr;
}

QOXError QOXCopyTLSSession(const QOXtlsSession* from, QOXtlsSession** outSession) {
  if (outSession == nullptr) return kQOXErrBadParams;
  *outSession = nullptr;
  if (from == nullptr) return kQOXErrBadParams;
  QOXtlsSession* s = NewBareSession(from->tlsContext);
  if (s == nullptr) return kQOXErrOutOfMemory;
  s->receiveProc = from->receiveProc;
  s->receiveUserValue = from->receiveUserValue;
  s->sendProc = from->sendProc;
  s->sendUserValue = from->sendUserValue;
  s->clientSide = from->clientSide;
  s->blocking = from->blocking;
  s->requestClientCert = from->requestClientCert;
  std::memcpy(s->suites, from->suites, sizeof(QOXtlsCipherSuite) * from->suiteCount);
  s->suiteCount = from->suiteCount;
  s->localKey = from->localKey;
  s->localCertificate = from->localCertificate;
  s->localCertChain = from->localCertChain;
  s->localKeyAlg = from->localKeyAlg;
  s->passkeyLength = from->passkeyLength;
  s->usePasskey = from->usePasskey;
  QOXError err = kQOXErrNoErr;
  if (from->passphrase != nullptr) {
    size_t n = strnlen(from->passphrase, 65535);
    s->passphrase = static_cast<char*>(SecureCopy(s->memoryMgr, from->passphrase, n, true));
    if (s->passphrase == nullptr) err = kQOXErrOutOfMemory;
  }
  if (err == kQOXErrNoErr && from->passkey != nullptr) {
    s->passkey = static_cast<uint8_t*>(SecureCopy(s->memoryMgr, from->passkey, from->passkeyLength, false));
    if (s->passkey == nullptr) err = kQOXErrOutOfMemory;
  }
  if (err == kQOXErrNoErr && from->remoteKeyDB != nullptr) {
    // The copy holds its own reference, released by its own free.
    err = qoxKeyDBServices().QOXIncKeyDBRefCount(from->remoteKeyDB);
    if (err == kQOXErrNoErr) {
      s->remoteKeyDB = from->remoteKeyDB;
      s->remoteKey = from->remoteKey;
      s->remoteKeyAlg = from->remoteKeyAlg;
    }
  }
  if (err != kQOXErrNoErr) {
    QOXFreeTLSSession(s);
    return err;
  }
  *outSession = s;
  return kQOXErrNoErr;
}

QOXError QOXFreeTLSSession(QOXtlsSession* s) {
  if (s == nullptr) return kQOXErrBadParams;
  FreeSecure(s->passphrase);
  FreeSecure(s->passkey);
  if (s->remoteKeyDB != nullptr) qoxKeyDBServices().QOXFreeKeyDB(s->remoteKeyDB);
  FreeHash(s->handshakeSHA);
  FreeHash(s->handshakeMD5);
  qoxTLSFreeSnapshots(s);
  FreeHash(s->ssl3MacInner);
  FreeHash(s->ssl3MacOuter);
  FreeCBC(s->writeCipher);
  FreeCBC(s->readCipher);
  qoxTLSFreeKeyRecord(s->writeKeys);
  qoxTLSFreeKeyRecord(s->readKeys);
  qoxTLSFreeKeyRecord(s->pendingClientWriteKeys);
  qoxTLSFreeKeyRecord(s->pendingServerWriteKeys);
  FreeSecure(s->masterSecret);
  qoxTLSBufferFree(&s->sendQueue);
  qoxTLSBufferFree(&s->rawInput);
  qoxTLSBufferFree(&s->appData);
  qoxTLSBufferFree(&s->handshakeIn);
  FreeBigNum(s->dhPrime);
  FreeBigNum(s->dhGenerator);
  FreeBigNum(s->dhServerPublic);
  FreeBigNum(s->dhPrivate);
  FreeBigNum(s->dhClientPublic);
  if (s->suites != nullptr) QOXFreeData(s->suites);
  return QOXFreeData(s);
}

QOXError QOXtlsSetProtocolOptions(QOXtlsSession* s, uint32_t flags) {
  if (s == nullptr) return kQOXErrBadParams;
  if (flags & kQOXtlsProtocolOption_ServerSide) s->clientSide = 0;
  if (flags & kQOXtlsProtocolOption_ClientSide) s->clientSide = 1;
  if (flags & kQOXtlsProtocolOption_RequestClientCert) s->requestClientCert = 1;
  if (flags & kQOXtlsProtocolOption_NonBlocking) s->blocking = 0;
  return kQOXErrNoErr;
}

namespace {

// Property numbers of the key database that the local key is judged by.
constexpr int32_t kPropObjectType = 20;
constexpr int32_t kObjectTypeX509Certificate = 8;
constexpr int32_t kPropIsSecret = 100;
constexpr int32_t kPropIsRevoked = 102;
constexpr int32_t kPropIsDisabled = 103;
constexpr int32_t kPropIsExpired = 105;
constexpr int32_t kPropCanSign = 110;
constexpr int32_t kPropAlgorithm = 200;

}  // namespace

QOXError QOXtlsSetLocalPrivateKey(QOXtlsSession* s, QOXKeyDBObj* object, QOXKeySet* certChain,
                                  QOXOptionListRef options) {
  if (s == nullptr || object == nullptr) return kQOXErrBadParams;
  const bool haveOptions = options != nullptr && qoxOptionListIsReal(options);
  if (haveOptions) {
    static constexpr QOXOptionType kAllowed[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey};
    QOXError err = qoxCheckOptionsInSet(options, kAllowed, 2);
    if (err != kQOXErrNoErr) return err;
  }
  const QOXKeyDBServices& keydb = qoxKeyDBServices();
  int32_t objectType = 0;
  QOXError err = keydb.QOXGetKeyDBObjNumericProperty(object, kPropObjectType, &objectType);
  if (err != kQOXErrNoErr) return err;
  QOXKeyDBObj* certificate = nullptr;
  QOXKeyDBObj* key = object;
  if (objectType == kObjectTypeX509Certificate) {
    certificate = object;
    key = keydb.QOXPeekKeyDBObjKey(object);
    if (key == nullptr) return kQOXErrTLSKeyUnsupported;
  }
  // Secret, and neither disabled, expired nor revoked, and able to sign.
  struct Want {
    int32_t property;
    bool value;
  };
  static constexpr Want kWanted[] = {{kPropIsSecret, true},   {kPropIsDisabled, false}, {kPropIsExpired, false},
                                     {kPropIsRevoked, false}, {kPropCanSign, true}};
  for (const Want& w : kWanted) {
    bool value = false;
    if ((err = keydb.QOXGetKeyDBObjBooleanProperty(key, w.property, &value)) != kQOXErrNoErr) return err;
    if (value != w.value) return kQOXErrTLSKeyUnsupported;
  }
  int32_t algorithm = 0;
  if ((err = keydb.QOXGetKeyDBObjNumericProperty(key, kPropAlgorithm, &algorithm)) != kQOXErrNoErr) return err;

  char* passphrase = nullptr;
  uint8_t* passkey = nullptr;
  uint32_t passkeyLength = 0;
  if (haveOptions) {
    QOXOption option{};
    void* value = nullptr;
    size_t length = 0;
    if ((err = qoxSearchOptionSingle(options, kQOXOptionType_Passphrase, &option)) != kQOXErrNoErr) return err;
    if (option.type != 0) {
      qoxOptionPtrLength(&option, &value, &length);
      length = std::min<size_t>(length, 65535);
      passphrase = static_cast<char*>(SecureCopy(s->memoryMgr, value, length, true));
      if (passphrase == nullptr) return kQOXErrOutOfMemory;
    } else {
      if ((err = qoxSearchOptionSingle(options, kQOXOptionType_Passkey, &option)) != kQOXErrNoErr) return err;
      if (option.type != 0) {
        qoxOptionPtrLength(&option, &value, &length);
        length = std::min<size_t>(length, 65535);
        passkey = static_cast<uint8_t*>(SecureCopy(s->memoryMgr, value, length, false));
        if (passkey == nullptr) return kQOXErrOutOfMemory;
        passkeyLength = static_cast<uint32_t>(length);
      }
    }
  }
  s->localKey = key;
  s->localCertificate = certificate;
  s->localCertChain = certChain;
  s->localKeyAlg = algorithm;
  if (passphrase != nullptr || passkey != nullptr) {
    FreeSecure(s->passphrase);
    FreeSecure(s->passkey);
    s->passphrase = passphrase;
    s->passkey = passkey;
    s->passkeyLength = passkeyLength;
    s->usePasskey = passkey != nullptr ? 1 : 0;
  }
  return kQOXErrNoErr;
}

QOXError QOXtlsSetPreferredCipherSuite(QOXtlsSession* s, uint32_t suiteNumber) {
  if (s == nullptr) return kQOXErrBadParams;
  if (s->state != kQOXtlsState_Idle) return kQOXErrTLSHandshakeViolation;
  for (uint16_t i = 0; i < s->suiteCount; ++i) {
    if (s->suites[i].number != suiteNumber) continue;
    std::rotate(s->suites, s->suites + i, s->suites + i + 1);
    return kQOXErrNoErr;
  }
  return kQOXErrItemNotFound;
}

QOXError QOXtlsSetDHPrime(QOXtlsSession* s, uint32_t index) {
  if (s == nullptr) return kQOXErrBadParams;
  if (s->state != kQOXtlsState_Idle) return kQOXErrTLSHandshakeViolation;
  s->dhPrimeIndex = index;
  return kQOXErrNoErr;
}

QOXError QOXtlsSetReceiveCallback(QOXtlsSession* s, QOXtlsReceiveProc proc, intptr_t userValue) {
  if (s == nullptr || proc == nullptr) return kQOXErrBadParams;
  s->receiveProc = proc;
  s->receiveUserValue = userValue;
  return kQOXErrNoErr;
}

QOXError QOXtlsSetSendCallback(QOXtlsSession* s, QOXtlsSendProc proc, intptr_t userValue) {
  if (s == nullptr || proc == nullptr) return kQOXErrBadParams;
  s->sendProc = proc;
  s->sendUserValue = userValue;
  return kQOXErrNoErr;
}

QOXError QOXtlsSetRemoteUniqueID(QOXtlsSession*, uint32_t) { return kQOXErrNoErr; }

QOXError QOXtlsHandshake(QOXtlsSession* s) {
  if (s == nullptr || s->receiveProc == nullptr || s->sendProc == nullptr) return kQOXErrBadParams;
  // A ready session does not renegotiate.
  const bool allowed = s->state == kQOXtlsState_Idle || (s->state == kQOXtlsState_Handshaking && !s->blocking);
  if (!allowed) return kQOXErrTLSHandshakeViolation;
  const QOXtlsHandshakeServices& drivers = qoxTLSHandshakeServices();
  QOXError err = s->clientSide ? drivers.qoxTLSClientHandshake(s) : drivers.qoxTLSServerHandshake(s);
  if (err == kQOXErrTLSWouldBlock) return kQOXErrNoErr;
  if (err != kQOXErrNoErr && s->state != kQOXtlsState_Fatal) {
    qoxTLSSendAlert(s, kQOXtlsAlertLevel_Fatal, kQOXtlsAlert_InternalError);
    s->state = kQOXtlsState_Fatal;
    s->lastAlert = kQOXtlsAlert_InternalError;
  }
  return err;
}

QOXError QOXtlsSend(QOXtlsSession* s, const void* buffer, uint32_t length) {
  if (s == nullptr || buffer == nullptr || s->sendProc == nullptr) return kQOXErrBadParams;
  if (s->state != kQOXtlsState_Ready) return kQOXErrTLSHandshakeViolation;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  QOXError err = kQOXErrNoErr;
  while (length != 0) {
    uint32_t n = std::min(length, kQOXtlsMaxApplicationFragment);
    err = qoxTLSSendRecordLayer(s, kQOXtlsContent_ApplicationData, p, n);
    // A record the transport could not take waits in the send queue.
    if (err != kQOXErrNoErr && err != kQOXErrTLSWouldBlock) return err;
    p += n;
    length -= n;
  }
  return err;
}

namespace {

// A handshake record holding nothing but HelloRequest messages.
bool OnlyHelloRequests(const uint8_t* body, uint32_t length) {
  if (length == 0 || length % kQOXtlsHandshakeHeaderSize != 0) return false;
  for (uint32_t i = 0; i < length; ++i)
    if (body[i] != 0) return false;
  return true;
}

}  // namespace

QOXError QOXtlsReceive(QOXtlsSession* s, void* buffer, uint32_t* ioLength) {
  if (s == nullptr || buffer == nullptr || ioLength == nullptr || s->receiveProc == nullptr)
    return kQOXErrBadParams;
  const uint32_t room = *ioLength;
  *ioLength = 0;
  if (s->state != kQOXtlsState_Ready) return kQOXErrTLSHandshakeViolation;
  if (s->appData.length != 0) {
    uint32_t n = room;
    qoxTLSBufferTake(s, &s->appData, static_cast<uint8_t*>(buffer), &n);
    *ioLength = n;
    return kQOXErrNoErr;
  }
  for (;;) {
    uint8_t type = 0;
    uint8_t* body = nullptr;
    uint32_t length = 0;
    QOXError err = qoxTLSReceiveRecordLayer(s, &type, &body, &length);
    if (err != kQOXErrNoErr || body == nullptr) return err;
    switch (type) {
      case kQOXtlsContent_Alert:
        err = qoxTLSProcessAlert(s, body, length);
        QOXFreeData(body);
        return err;
      case kQOXtlsContent_ApplicationData: {
        uint32_t n = std::min(room, length);
        std::memcpy(buffer, body, n);
        *ioLength = n;
        if (n < length) err = qoxTLSBufferAppend(s, &s->appData, body + n, length - n);
        QOXFreeData(body);
        return err;
      }
      case kQOXtlsContent_Handshake:
        // A client does not renegotiate: it ignores a HelloRequest and reads on.
        if (s->clientSide && OnlyHelloRequests(body, length)) {
          QOXFreeData(body);
          continue;
        }
        break;
      default:
        break;
    }
    QOXFreeData(body);
    qoxTLSSendAlert(s, kQOXtlsAlertLevel_Fatal, kQOXtlsAlert_UnexpectedMessage);
    return kQOXErrTLSProtocolViolation;
  }
}

QOXError QOXtlsClose(QOXtlsSession* s, bool abort) {
  if (s == nullptr) return kQOXErrBadParams;
  if (abort) {
    s->state = kQOXtlsState_Fatal;
    return kQOXErrNoErr;
  }
  if (s->state != kQOXtlsState_Ready) {
    if (s->state != kQOXtlsState_Fatal) s->state = kQOXtlsState_Closed;
    return kQOXErrNoErr;
  }
  if (!s->closeNotifySent) {
    s->closeNotifySent = 1;
    QOXError err = qoxTLSSendAlert(s, kQOXtlsAlertLevel_Warning, kQOXtlsAlert_CloseNotify);
    if (err != kQOXErrNoErr && err != kQOXErrTLSWouldBlock) return err;
  }
  while (s->state != kQOXtlsState_Closed) {
    qoxTLSBufferFree(&s->appData);
    uint8_t scratch[256];
    uint32_t n = sizeof scratch;
    QOXError err = QOXtlsReceive(s, scratch, &n);
    if (!s->blocking) return err;
    if (err != kQOXErrNoErr) {
      if (s->state != kQOXtlsState_Closed) s->state = kQOXtlsState_Fatal;
      return err;
    }
  }
  return kQOXErrNoErr;
}

QOXError QOXtlsSendQueueIdle(QOXtlsSession* s) {
  if (s == nullptr) return kQOXErrBadParams;
  return qoxTLSSendQueueIdleInternal(s);
}

uint32_t QOXtlsReceiveBufferSize(QOXtlsSession* s) { return s == nullptr ? 0 : s->appData.length; }

QOXError QOXtlsGetRemoteAuthenticatedKey(QOXtlsSession* s, QOXKeyDBObj** outKey, QOXKeyDB** outKeyDB) {
  if (outKey != nullptr) *outKey = nullptr;
  if (outKeyDB != nullptr) *outKeyDB = nullptr;
  if (s == nullptr) return kQOXErrBadParams;
  if (s->state != kQOXtlsState_Ready) return kQOXErrTLSHandshakeViolation;
  if (outKey != nullptr) *outKey = s->remoteKey;
  if (outKeyDB != nullptr) *outKeyDB = s->remoteKey != nullptr ? s->remoteKeyDB : nullptr;
  return kQOXErrNoErr;
}

QOXError QOXtlsGetNegotiatedCipherSuite(QOXtlsSession* s, uint32_t* outSuiteNumber) {
  if (outSuiteNumber == nullptr) return kQOXErrBadParams;
  *outSuiteNumber = 0;
  if (s == nullptr) return kQOXErrBadParams;
  if (s->state != kQOXtlsState_Ready) return kQOXErrTLSHandshakeViolation;
  *outSuiteNumber = qoxTLSSuite(s).number;
  return kQOXErrNoErr;
}

QOXError QOXtlsGetState(QOXtlsSession* s, uint32_t* outState) {
  if (s == nullptr || outState == nullptr) return kQOXErrBadParams;
  *outState = s->state;
  return kQOXErrNoErr;
}

QOXError QOXtlsGetAlert(QOXtlsSession* s, uint32_t* outAlert) {
  if (s == nullptr || outAlert == nullptr) return kQOXErrBadParams;
  *outAlert = s->lastAlert;
  return kQOXErrNoErr;
}

// --- Alerts and tables ---

QOXError qoxTLSSendAlert(QOXtlsSession* s, uint8_t level, uint8_t description) {
  const uint8_t alert[2] = {level, description};
  if (level == kQOXtlsAlertLevel_Fatal) {
    s->state = kQOXtlsState_Fatal;
    s->lastAlert = description;
  }
  return qoxTLSSendRecordLayer(s, kQOXtlsContent_Alert, alert, 2);
}

QOXError qoxTLSProcessAlert(QOXtlsSession* s, const uint8_t* bytes, uint32_t length) {
  if (length != 2) {
    s->state = kQOXtlsState_Fatal;
    return kQOXErrTLSProtocolViolation;
  }
  const uint8_t description = bytes[1];  // the level is not examined
  if (description == kQOXtlsAlert_CloseNotify) {
    // The answer is a courtesy: a peer that closed its transport right
    // after its close_notify has still closed the session cleanly.
    if (!s->closeNotifySent) {
      s->closeNotifySent = 1;
      qoxTLSSendAlert(s, kQOXtlsAlertLevel_Warning, kQOXtlsAlert_CloseNotify);
    }
    s->state = kQOXtlsState_Closed;
    return kQOXErrNoErr;
  }
  if (description == kQOXtlsAlert_NoCertificate) {
    qoxTLSNextState(s, kQOXtlsEvent_NoCertificate);
    if (!s->clientSide) s->certificateRequested = 0;
  } else {
    s->lastAlert = description;
    qoxTLSNextState(s, kQOXtlsEvent_Alert);
  }
  return s->state == kQOXtlsState_Fatal ? kQOXErrTLSRemoteAbort : kQOXErrNoErr;
}

void qoxTLSNextState(QOXtlsSession* s, uint32_t event) {
  if (event >= kQOXtlsEventCount) event = kQOXtlsEvent_Other;
  uint8_t cell = kQOXtlsCell_Fatal;
  if (s->clientSide) {
    if (s->handshakeStep < kQOXtlsClientSteps) cell = kQOXtls_ClientStateTable[s->handshakeStep][event];
  } else if (s->handshakeStep < kQOXtlsServerSteps) {
    cell = s->minorVersion == kQOXtlsMinorTLS10 ? kQOXtls_ServerStateTable[s->handshakeStep][event]
                                                : kQOXtls_SSL3ServerStateTable[s->handshakeStep][event];
  }
  if (cell == kQOXtlsCell_Fatal) s->state = kQOXtlsState_Fatal;
  else if (cell != kQOXtlsCell_Stay) s->handshakeStep = cell;
}

uint32_t qoxTLSPacketToEvent(uint8_t messageType) {
  switch (messageType) {
    case kQOXtlsClientHello: return kQOXtlsEvent_ClientHello;
    case kQOXtlsServerHello: return kQOXtlsEvent_ServerHello;
    case kQOXtlsCertificate: return kQOXtlsEvent_Certificate;
    case kQOXtlsServerKeyExchange: return kQOXtlsEvent_ServerKeyExchange;
    case kQOXtlsCertificateRequest: return kQOXtlsEvent_CertificateRequest;
    case kQOXtlsServerHelloDone: return kQOXtlsEvent_ServerHelloDone;
    case kQOXtlsCertificateVerify: return kQOXtlsEvent_CertificateVerify;
    case kQOXtlsClientKeyExchange: return kQOXtlsEvent_ClientKeyExchange;
    case kQOXtlsFinished: return kQOXtlsEvent_Finished;
    default: return kQOXtlsEvent_Other;
  }
}

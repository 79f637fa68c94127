// The stand-ins of the TLS handshake drivers (QOXtlsHandshakeServices,
// net/tls_internal.h): until the drivers register their table, a handshake
// cannot run, and QOXtlsHandshake reports "feature not available"
// (kQOXErrFeatureNotAvailable) after sending a fatal internal_error alert.
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "net/tls_internal.h"

namespace {

// -11975.
QOXError StandInClientHandshake(QOXtlsSession*) { return kQOXErrFeatureNotAvailable; }
QOXError StandInServerHandshake(QOXtlsSession*) { return kQOXErrFeatureNotAvailable; }

constexpr QOXtlsHandshakeServices kStandIns = {
    .qoxTLSClientHandshake = StandInClientHandshake,
    .qoxTLSServerHandshake = StandInServerHandshake,
};

constinit QOXServiceSlot<QOXtlsHandshakeServices> gSlot{&kStandIns};

}  // namespace

const QOXtlsHandshakeServices& qoxTLSHandshakeServices() { return gSlot.get(); }

const QOXtlsHandshakeServices* qoxRegisterTLSHandshakeServices(const QOXtlsHandshakeServices* table) {
  return gSlot.install(table);
}

// The stand-ins of the handshake's key work (QOXtlsKeyServices), the answer
// of a program that does not wire (qoxTLSRegister installs
// net/tls_key_work.cc): keys cannot be exported, imported or used here, so
// every call clears its outputs and reports kQOXErrFeatureNotAvailable; a
// handshake that reaches a key then ends with that code.
namespace {

QOXError ExportKey(QOXContext*, QOXKeyDBObj*, uint32_t, uint8_t** outBytes, uint32_t* outLength) {
  if (outBytes != nullptr) *outBytes = nullptr;
  if (outLength != nullptr) *outLength = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError ImportKeys(QOXContext*, const uint8_t*, uint32_t, uint32_t, QOXKeyDB**) { return kQOXErrFeatureNotAvailable; }
QOXError FirstKey(QOXKeyDB*, QOXKeyDBObj** outKey, uint32_t* outKeyCount) {
  if (outKey != nullptr) *outKey = nullptr;
  if (outKeyCount != nullptr) *outKeyCount = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError LookupIssuer(QOXKeySet*, QOXKeyDBObj*, QOXKeyDBObj** outIssuer) {
  if (outIssuer != nullptr) *outIssuer = nullptr;
  return kQOXErrFeatureNotAvailable;
}
QOXError KeyInfo(QOXKeyDBObj*, int32_t* outAlgorithm, bool* outCanVerify) {
  if (outAlgorithm != nullptr) *outAlgorithm = 0;
  if (outCanVerify != nullptr) *outCanVerify = false;
  return kQOXErrFeatureNotAvailable;
}
QOXError PrivateKeySizes(QOXtlsSession*, uint32_t, uint32_t* a, uint32_t* b, uint32_t* c) {
  for (uint32_t* p : {a, b, c})
    if (p != nullptr) *p = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError PrivateKeySign(QOXtlsSession*, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t* ioLength) {
  if (ioLength != nullptr) *ioLength = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError PrivateKeyDecrypt(QOXtlsSession*, const uint8_t*, uint32_t, uint8_t*, uint32_t* ioLength) {
  if (ioLength != nullptr) *ioLength = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError PublicKeySizes(QOXContext*, QOXKeyDBObj*, uint32_t, uint32_t* a, uint32_t* b) {
  for (uint32_t* p : {a, b})
    if (p != nullptr) *p = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError PublicKeyVerify(QOXContext*, QOXKeyDBObj*, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) {
  return kQOXErrFeatureNotAvailable;
}
QOXError PublicKeyEncrypt(QOXContext*, QOXKeyDBObj*, const uint8_t*, uint32_t, uint8_t*, uint32_t* ioLength) {
  if (ioLength != nullptr) *ioLength = 0;
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXtlsKeyServices kKeyStandIns = {
    .exportKey = ExportKey,
    .importKeys = ImportKeys,
    .firstKey = FirstKey,
    .lookupIssuer = LookupIssuer,
    .keyInfo = KeyInfo,
    .privateKeySizes = PrivateKeySizes,
    .privateKeySign = PrivateKeySign,
    .privateKeyDecrypt = PrivateKeyDecrypt,
    .publicKeySizes = PublicKeySizes,
    .publicKeyVerify = PublicKeyVerify,
    .publicKeyEncrypt = PublicKeyEncrypt,
};

constinit QOXServiceSlot<QOXtlsKeyServices> gKeySlot{&kKeyStandIns};

}  // namespace

const QOXtlsKeyServices& qoxTLSKeyServices() { return gKeySlot.get(); }

const QOXtlsKeyServices* qoxRegisterTLSKeyServices(const QOXtlsKeyServices* table) {
  return gKeySlot.install(table);
}

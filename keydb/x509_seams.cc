// The X.509 layers' stand-ins: what each member of QOXX509Services
// (keydb/x509_services.h) answers while the X.509 key bridge and the PKCS
// library have not registered their table. Decoders answer kQOXX509ErrCodec, undecodable
// input, with their outputs cleared, so every "does not decode" path of the
// key database runs; builders answer kQOXErrFeatureNotAvailable, "feature not available"; the
// readers of decoded records, which never get a record from these
// decoders, answer kQOXX509ErrCodec too; freeing answers 0.
#include "keydb/x509_services.h"

#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"

namespace {

template <class T>
void Clear(T* out) {
  if (out != nullptr) *out = T{};
}

// --- Decoding DER: kQOXX509ErrCodec ---
QOXError qoxX509BufferToCert(QOXContext*, const uint8_t*, size_t, QOXX509Cert** outCert) {
  Clear(outCert);
  return kQOXX509ErrCodec;
}
QOXError qoxX509FreeCert(QOXContext*, QOXX509Cert*) { return kQOXErrNoErr; }
QOXError qoxX509BufferToCRL(QOXContext*, const uint8_t*, size_t, QOXX509CRL** outCRL) {
  Clear(outCRL);
  return kQOXX509ErrCodec;
}
QOXError qoxX509FreeCRL(QOXContext*, QOXX509CRL*) { return kQOXErrNoErr; }
QOXError qoxX509BufferToXTBSCert(QOXContext*, const uint8_t*, size_t, QOXX509XTBSCert** outCert) {
  Clear(outCert);
  return kQOXX509ErrCodec;
}
QOXError qoxX509FreeXTBSCert(QOXContext*, QOXX509XTBSCert*) { return kQOXErrNoErr; }
QOXError qoxX509DecodeTime(const QOXX509Time*, QOXTime* outSeconds) {
  Clear(outSeconds);
  return kQOXX509ErrCodec;
}

// --- Fields of decoded records: kQOXX509ErrCodec ---
QOXError qoxX509CertSerialNumber(const QOXX509Cert*, const uint8_t** outBytes, size_t* outLength) {
  Clear(outBytes);
  Clear(outLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509CRLUpdateTimes(const QOXX509CRL*, const QOXX509Time** outThisUpdate,
                               const QOXX509Time** outNextUpdate) {
  Clear(outThisUpdate);
  Clear(outNextUpdate);
  return kQOXX509ErrCodec;
}
// No revoked certificate.
size_t qoxX509CRLRevokedCount(const QOXX509CRL*) { return 0; }
QOXError qoxX509CRLRevokedSerial(const QOXX509CRL*, size_t, const uint8_t** outBytes, size_t* outLength) {
  Clear(outBytes);
  Clear(outLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509XTBSCertNames(const QOXX509XTBSCert*, const uint8_t** outIssuer, size_t* outIssuerLength,
                              const uint8_t** outSubject, size_t* outSubjectLength) {
  Clear(outIssuer);
  Clear(outIssuerLength);
  Clear(outSubject);
  Clear(outSubjectLength);
  return kQOXX509ErrCodec;
}
// No distribution point.
uint8_t* qoxX509XTBSCertToDistPoint(QOXContext*, const QOXX509XTBSCert*, size_t* outLength) {
  Clear(outLength);
  return nullptr;
}

// --- Certificates as key packets: kQOXX509ErrCodec ---
QOXError qoxX509CertToKeyBuffer(QOXContext*, MemPool*, QOXKeyDB*, const QOXX509Cert*, int, uint8_t** outBytes,
                                size_t* outLength) {
  Clear(outBytes);
  Clear(outLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509CertToSigBuffer(QOXContext*, MemPool*, const QOXX509Cert*, int, uint8_t** outBytes,
                                size_t* outLength) {
  Clear(outBytes);
  Clear(outLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509CertToUserIDBuffer(QOXContext*, MemPool*, const QOXX509Cert*, int, uint8_t** outBytes,
                                   size_t* outLength) {
  Clear(outBytes);
  Clear(outLength);
  return kQOXX509ErrCodec;
}

// --- Names and fields of a DER certificate: kQOXX509ErrCodec ---
QOXError qoxX509CertToDName(const uint8_t*, size_t, bool, uint8_t*, size_t* inOutLength) {
  Clear(inOutLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509CertToIASN(const uint8_t*, size_t, uint8_t*, size_t* outLength) {
  Clear(outLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509CertToIPDNS(const uint8_t*, size_t, bool, uint8_t*, size_t* outLength) {
  Clear(outLength);
  return kQOXX509ErrCodec;
}
QOXError qoxX509CertToLongName(const uint8_t*, size_t, bool, char*, size_t* inOutLength) {
  Clear(inOutLength);
  return kQOXX509ErrCodec;
}
// No element is known to match.
bool qoxX509BufInSequenceList(const uint8_t*, size_t, const uint8_t*, size_t) { return false; }
QOXError qoxX509VerifySignedObject(QOXContext*, const QOXPubKey*, const uint8_t*, size_t) {
  return kQOXX509ErrCodec;
}

// --- Import: kQOXX509ErrCodec, nothing made ---
QOXError qoxDecodeX509Cert(const uint8_t*, size_t, QOXContext*, QOXKeyDB*, QOXKeyDB**) { return kQOXX509ErrCodec; }
QOXError qoxDecodeX509CertSet(const uint8_t*, size_t, QOXContext*, QOXKeyDB*, QOXKeyDB**) {
  return kQOXX509ErrCodec;
}
QOXError qoxDecodeX509CRLSet(const uint8_t*, size_t, QOXContext*, QOXKeyDB*, QOXKeyDB**) { return kQOXX509ErrCodec; }
// No SEQUENCE is read: kQOXX509ErrCodec.
int64_t qoxX509BufSizeofSequence(const uint8_t*, size_t) { return kQOXX509ErrCodec; }
// Nothing decodes: kQOXX509ErrCodec with the result cleared.
QOXError X509InputCertificate(QOXContext*, QOXKeyDB*, int32_t, const uint8_t*, size_t, QOXOptionList*,
                              QOXX509InputResult* result) {
  if (result != nullptr) *result = QOXX509InputResult{};
  return kQOXX509ErrCodec;
}
QOXError qoxDecodePCKS8(const uint8_t*, size_t, QOXContext*, QOXKeyDB*, QOXKeyDB** outKeyDB) {
  Clear(outKeyDB);
  return kQOXX509ErrCodec;
}
QOXError PKCS12InputKey(QOXContext*, const uint8_t*, size_t, const uint8_t*, size_t, uint8_t** outKey,
                        size_t* outKeyLength, uint8_t** outCerts, size_t* outCertsLength) {
  Clear(outKey);
  Clear(outKeyLength);
  Clear(outCerts);
  Clear(outCertsLength);
  return kQOXX509ErrCodec;
}

// --- Building: kQOXErrFeatureNotAvailable ---
QOXError qoxKeyToX509SPKI(QOXContext*, QOXKeyDBObj*, uint8_t*, size_t* outLength) {
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxEncodePKCS8(QOXSecKey*, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxCreateCertSetFromChain(QOXContext*, QOXKeyDBObj*, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError PKCS12ExportKey(QOXContext*, const uint8_t*, size_t, const uint8_t*, size_t, const uint8_t*, size_t,
                         const uint8_t*, size_t, uint32_t, uint32_t, uint32_t, uint8_t** outPFX, size_t* outLength) {
  Clear(outPFX);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxX509CreateCert_internal(QOXContext*, QOXKeyDBObj*, QOXKeyDBObj*, QOXTime, uint32_t, const void*, size_t,
                                    const uint8_t*, size_t, bool, QOXKeyDBObj** outSig) {
  Clear(outSig);
  return kQOXErrFeatureNotAvailable;
}
QOXError X509CreateCertificateRequest(QOXContext*, QOXKeyDBObj*, int, const void*, size_t, QOXOptionList*,
                                      uint8_t** outRequest, size_t* outLength) {
  Clear(outRequest);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError X509CreateCRLRequest(QOXContext*, QOXKeyDBObj*, const uint8_t*, size_t, int, QOXTime,
                              uint8_t** outRequest, size_t* outLength) {
  Clear(outRequest);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError X509PackageCertificateRequest(QOXContext*, const uint8_t*, size_t, QOXKeyDBObj*, int32_t, QOXKeyDBObj*,
                                       QOXOptionList*, int32_t, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXX509Services kStandIns = {
    .qoxX509BufferToCert = qoxX509BufferToCert,
    .qoxX509FreeCert = qoxX509FreeCert,
    .qoxX509BufferToCRL = qoxX509BufferToCRL,
    .qoxX509FreeCRL = qoxX509FreeCRL,
    .qoxX509BufferToXTBSCert = qoxX509BufferToXTBSCert,
    .qoxX509FreeXTBSCert = qoxX509FreeXTBSCert,
    .qoxX509DecodeTime = qoxX509DecodeTime,
    .qoxX509CertSerialNumber = qoxX509CertSerialNumber,
    .qoxX509CRLUpdateTimes = qoxX509CRLUpdateTimes,
    .qoxX509CRLRevokedCount = qoxX509CRLRevokedCount,
    .qoxX509CRLRevokedSerial = qoxX509CRLRevokedSerial,
    .qoxX509XTBSCertNames = qoxX509XTBSCertNames,
    .qoxX509XTBSCertToDistPoint = qoxX509XTBSCertToDistPoint,
    .qoxX509CertToKeyBuffer = qoxX509CertToKeyBuffer,
    .qoxX509CertToSigBuffer = qoxX509CertToSigBuffer,
    .qoxX509CertToUserIDBuffer = qoxX509CertToUserIDBuffer,
    .qoxX509CertToDName = qoxX509CertToDName,
    .qoxX509CertToIASN = qoxX509CertToIASN,
    .qoxX509CertToIPDNS = qoxX509CertToIPDNS,
    .qoxX509CertToLongName = qoxX509CertToLongName,
    .qoxX509BufInSequenceList = qoxX509BufInSequenceList,
    .qoxX509VerifySignedObject = qoxX509VerifySignedObject,
    .qoxDecodeX509Cert = qoxDecodeX509Cert,
    .qoxDecodeX509CertSet = qoxDecodeX509CertSet,
    .qoxDecodeX509CRLSet = qoxDecodeX509CRLSet,
    .qoxX509BufSizeofSequence = qoxX509BufSizeofSequence,
    .X509InputCertificate = X509InputCertificate,
    .qoxDecodePCKS8 = qoxDecodePCKS8,
    .PKCS12InputKey = PKCS12InputKey,
    .qoxKeyToX509SPKI = qoxKeyToX509SPKI,
    .qoxEncodePKCS8 = qoxEncodePKCS8,
    .qoxCreateCertSetFromChain = qoxCreateCertSetFromChain,
    .PKCS12ExportKey = PKCS12ExportKey,
    .qoxX509CreateCert_internal = qoxX509CreateCert_internal,
    .X509CreateCertificateRequest = X509CreateCertificateRequest,
    .X509CreateCRLRequest = X509CreateCRLRequest,
    .X509PackageCertificateRequest = X509PackageCertificateRequest,
};

constinit QOXServiceSlot<QOXX509Services> gSlot{&kStandIns};

}  // namespace

const QOXX509Services& qoxX509Services() { return gSlot.get(); }

const QOXX509Services* qoxRegisterX509Services(const QOXX509Services* table) { return gSlot.install(table); }

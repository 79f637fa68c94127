// What the key database asks of the X.509 layers above it, as one
// registered table: the X.509 key bridge (x509/), which brings certificates,
// CRLs and PKCS #8 keys into key databases and back out, and the PKCS #12
// calls of the ASN.1, X.509 and PKCS library (pki/). Every X.509 branch of
// the key database (X.509 signatures and dummies, CRLs, certificate
// properties, X.509 import and export) calls through here.
//
// Each call is a member of QOXX509Services, named after it. The bridge
// defines the real functions under those names and registers a table of
// them at start-up; until then each member answers with its stand-in in
// keydb/x509_seams.cc: a decoder reports undecodable input (kQOXX509ErrCodec, the
// bridge's code for a codec failure), so every "does not decode" path of
// the key database runs, and a builder reports "feature not available"
// (kQOXErrFeatureNotAvailable). Decoded records are opaque here; the members below them read the
// fields the key database needs.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: calls may come from any connection's context; registered
// functions must allow that. Decoded records belong to the caller's context.
#ifndef OSTRAK_KEYDB_X509_SERVICES_H_
#define OSTRAK_KEYDB_X509_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct MemPool;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXOptionList;
struct QOXPubKey;
struct QOXSecKey;

// A decoded certificate, CRL, certificate with raw issuer and subject names,
// and a UTCTime or GeneralizedTime element: records of the bridge.
struct QOXX509Cert;
struct QOXX509CRL;
struct QOXX509XTBSCert;
struct QOXX509Time;

// What X509InputCertificate found in a certificate authority's response or
// in X.509 input: DER sets of certificates and of CRLs (blocks of the
// context's memory, freed by the caller; null when absent), the signature
// found in the data, and the key that needs a passphrase (with -11500).
struct QOXX509InputResult {
  uint8_t* certs;
  size_t certsLength;
  uint8_t* crls;
  size_t crlsLength;
  bool signaturePresent;
  bool signatureChecked;
  bool signatureVerified;
  QOXKeyDBObj* signer;
  QOXKeyDBObj* needsPassphrase;
};

// The bridge's code for a codec failure other than memory (undecodable
// input, an encoding that cannot be made).
inline constexpr QOXError kQOXX509ErrCodec = -40;

struct QOXX509Services {
  // --- Decoding DER ---
  // 0 and the decoded certificate; kQOXErrOutOfMemory, or kQOXX509ErrCodec when it does not decode.
  QOXError (*qoxX509BufferToCert)(QOXContext* context, const uint8_t* der, size_t length, QOXX509Cert** outCert);
  QOXError (*qoxX509FreeCert)(QOXContext* context, QOXX509Cert* cert);
  QOXError (*qoxX509BufferToCRL)(QOXContext* context, const uint8_t* der, size_t length, QOXX509CRL** outCRL);
  QOXError (*qoxX509FreeCRL)(QOXContext* context, QOXX509CRL* crl);
  // Keeps the issuer and subject names as raw DER.
  QOXError (*qoxX509BufferToXTBSCert)(QOXContext* context, const uint8_t* der, size_t length,
                                      QOXX509XTBSCert** outCert);
  QOXError (*qoxX509FreeXTBSCert)(QOXContext* context, QOXX509XTBSCert* cert);
  // UTCTime or GeneralizedTime to seconds since 1970.
  QOXError (*qoxX509DecodeTime)(const QOXX509Time* time, QOXTime* outSeconds);

  // --- Fields of decoded records that the key database reads ---
  // The serial number (length and bytes) of a certificate.
  QOXError (*qoxX509CertSerialNumber)(const QOXX509Cert* cert, const uint8_t** outBytes, size_t* outLength);
  // The this-update time and, when present (else null), the next-update
  // time of a CRL.
  QOXError (*qoxX509CRLUpdateTimes)(const QOXX509CRL* crl, const QOXX509Time** outThisUpdate,
                                    const QOXX509Time** outNextUpdate);
  // The number of revoked certificates (0 when the list is absent) and the
  // serial number of the index-th.
  size_t (*qoxX509CRLRevokedCount)(const QOXX509CRL* crl);
  QOXError (*qoxX509CRLRevokedSerial)(const QOXX509CRL* crl, size_t index, const uint8_t** outBytes,
                                      size_t* outLength);
  // The raw DER issuer and subject names.
  QOXError (*qoxX509XTBSCertNames)(const QOXX509XTBSCert* cert, const uint8_t** outIssuer, size_t* outIssuerLength,
                                   const uint8_t** outSubject, size_t* outSubjectLength);
  // The CRL distribution point as a new byte string of the context's
  // memory, or null.
  uint8_t* (*qoxX509XTBSCertToDistPoint)(QOXContext* context, const QOXX509XTBSCert* cert, size_t* outLength);

  // --- Certificates as key packets (from the key database's pool) ---
  // First call sizes (null bytes), second fills. kQOXErrOutOfMemory when the pool
  // cannot supply the bytes; decoder errors pass through.
  QOXError (*qoxX509CertToKeyBuffer)(QOXContext* context, MemPool* pool, QOXKeyDB* db, const QOXX509Cert* cert,
                                     int conversionVersion, uint8_t** outBytes, size_t* outLength);
  QOXError (*qoxX509CertToSigBuffer)(QOXContext* context, MemPool* pool, const QOXX509Cert* cert,
                                     int conversionVersion, uint8_t** outBytes, size_t* outLength);
  QOXError (*qoxX509CertToUserIDBuffer)(QOXContext* context, MemPool* pool, const QOXX509Cert* cert,
                                        int conversionVersion, uint8_t** outBytes, size_t* outLength);

  // --- Names and fields of a DER certificate (buffer null: length only) ---
  QOXError (*qoxX509CertToDName)(const uint8_t* der, size_t length, bool issuer, uint8_t* buffer,
                                 size_t* inOutLength);
  QOXError (*qoxX509CertToIASN)(const uint8_t* der, size_t length, uint8_t* buffer, size_t* outLength);
  // The first iPAddress (ip) or dNSName of the subject alternative names;
  // length 0 when there is none.
  QOXError (*qoxX509CertToIPDNS)(const uint8_t* der, size_t length, bool ip, uint8_t* buffer, size_t* outLength);
  QOXError (*qoxX509CertToLongName)(const uint8_t* der, size_t length, bool issuer, char* buffer,
                                    size_t* inOutLength);
  // Whether one element of a list of concatenated DER elements equals the
  // bytes.
  bool (*qoxX509BufInSequenceList)(const uint8_t* bytes, size_t length, const uint8_t* list, size_t listLength);
  // 0 when the signed object's signature verifies under the key; kQOXErrInvalidCertSignature for
  // a bad signature; other codes when it cannot be decoded or checked.
  QOXError (*qoxX509VerifySignedObject)(QOXContext* context, const QOXPubKey* key, const uint8_t* der,
                                        size_t length);

  // --- Import into key databases ---
  // One certificate, or a DER set of them, as a key; the database is made
  // when *inOutKeyDB is null.
  QOXError (*qoxDecodeX509Cert)(const uint8_t* der, size_t length, QOXContext* context, QOXKeyDB* referenceDB,
                                QOXKeyDB** inOutKeyDB);
  QOXError (*qoxDecodeX509CertSet)(const uint8_t* der, size_t length, QOXContext* context,
                                   QOXKeyDB* referenceDB, QOXKeyDB** inOutKeyDB);
  // A DER set of CRLs into a new database, as qoxDecodeX509CertSet.
  QOXError (*qoxDecodeX509CRLSet)(const uint8_t* der, size_t length, QOXContext* context, QOXKeyDB* referenceDB,
                                  QOXKeyDB** inOutKeyDB);
  // The size (header included) of the DER SEQUENCE at the bytes; 0 or a
  // negative code when none can be read.
  int64_t (*qoxX509BufSizeofSequence)(const uint8_t* bytes, size_t length);
  // Decodes X.509 input of the given format (above 9999) with the keys of
  // keyDB and the passphrase options (may be null) into *result.
  QOXError (*X509InputCertificate)(QOXContext* context, QOXKeyDB* keyDB, int32_t format, const uint8_t* input,
                                   size_t length, QOXOptionList* passphraseOptions, QOXX509InputResult* result);
  // A PKCS #8 private key as a secret key.
  QOXError (*qoxDecodePCKS8)(const uint8_t* der, size_t length, QOXContext* context, QOXKeyDB* referenceDB,
                             QOXKeyDB** outKeyDB);
  // Checks the MAC, decrypts the shrouded key bag and collects the
  // certificate bags of a PKCS #12 PFX.
  QOXError (*PKCS12InputKey)(QOXContext* context, const uint8_t* pfx, size_t length, const uint8_t* password,
                             size_t passwordLength, uint8_t** outKey, size_t* outKeyLength, uint8_t** outCerts,
                             size_t* outCertsLength);

  // --- Building ---
  // The key's DER SubjectPublicKeyInfo (buffer null: length only).
  QOXError (*qoxKeyToX509SPKI)(QOXContext* context, QOXKeyDBObj* key, uint8_t* buffer, size_t* outLength);
  // An RSA secret key as PKCS #8, in secure memory.
  QOXError (*qoxEncodePKCS8)(QOXSecKey* key, uint8_t** outBuffer, size_t* outLength);
  // The certificate chain of an X.509 signature as a DER SET OF.
  QOXError (*qoxCreateCertSetFromChain)(QOXContext* context, QOXKeyDBObj* x509Sig, uint8_t** outBuffer,
                                        size_t* outLength);
  QOXError (*PKCS12ExportKey)(QOXContext* context, const uint8_t* key, size_t keyLength, const uint8_t* password,
                              size_t passwordLength, const uint8_t* certs, size_t certsLength,
                              const uint8_t* friendlyName, size_t friendlyNameLength, uint32_t macIterations,
                              uint32_t pbeIterations, uint32_t flags, uint8_t** outPFX, size_t* outLength);
  // Issues a certificate for a key, signed by a key of the database.
  QOXError (*qoxX509CreateCert_internal)(QOXContext* context, QOXKeyDBObj* signingKey, QOXKeyDBObj* subjectKey,
                                         QOXTime creation, uint32_t validityDays, const void* attributes,
                                         size_t attributeCount, const uint8_t* passphrase,
                                         size_t passphraseLength, bool isPasskey, QOXKeyDBObj** outSig);
  QOXError (*X509CreateCertificateRequest)(QOXContext* context, QOXKeyDBObj* key, int format,
                                           const void* attributes, size_t attributeCount,
                                           QOXOptionList* passphraseOptions, uint8_t** outRequest,
                                           size_t* outLength);
  QOXError (*X509CreateCRLRequest)(QOXContext* context, QOXKeyDBObj* key, const uint8_t* input, size_t length,
                                   int format, QOXTime now, uint8_t** outRequest, size_t* outLength);
  // A certificate request message in the given output format over the
  // input, encrypted to the recipient key (when given) with the cipher and
  // signed by the signer's secret key (when given), whose passphrase is in
  // the one-option list.
  QOXError (*X509PackageCertificateRequest)(QOXContext* context, const uint8_t* input, size_t length,
                                            QOXKeyDBObj* recipient, int32_t cipher, QOXKeyDBObj* signer,
                                            QOXOptionList* passphraseOptions, int32_t outputFormat,
                                            uint8_t** outBuffer, size_t* outLength);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXX509Services& qoxX509Services();
const QOXX509Services* qoxRegisterX509Services(const QOXX509Services* table);

#endif  // OSTRAK_KEYDB_X509_SERVICES_H_

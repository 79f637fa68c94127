// The key database's door to the outside: a pair of key-ring files opened
// as a key database and brought up to date, keys imported from native or
// X.509 input, and key sets exported as RFC 2440 key blocks or X.509
// objects.
//
// Opening (QOXOpenKeyDBFile): the rings are opened through
// keydb/ring_files.h; when a key carries a key revocation that was never
// tried, the signatures are checked, and trust is recalculated when they
// were or when some object expired since the public ring was last written.
//
// Import (qoxImportKeySetInternal): native input runs the message decoder
// with a new database as the place for its keys (QOXDecode); X.509 input
// (input formats 10000 and up, or the X.509-encoding option) is read whole
// and handed to the X.509 bridge (keydb/x509_services.h). Export
// (qoxExportInternal, qoxExportKeySetInternal): key blocks are written into
// memory and encoded by the message encoder (QOXEncode), armored unless the
// caller says otherwise; a private-key export is followed by the public
// block. Export formats 10000 and up produce X.509 objects through the
// bridge. Reading input and writing output whole go through the pipeline's
// buffer calls (foundation/pipeline_services.h).
//
// Ownership: an option list handed to an import is consumed on every path;
// an export leaves the caller's list to the caller. Databases handed out
// have one reference.
//
// Thread safety: as the databases (one context's thread at a time).
#ifndef OSTRAK_KEYDB_KEY_FILES_H_
#define OSTRAK_KEYDB_KEY_FILES_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct PFLFileSpec;
struct QOXContext;
struct QOXFile;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// Export formats (option 66).
inline constexpr int32_t kQOXExportFormat_NoAttributes1 = 1;
inline constexpr int32_t kQOXExportFormat_Default = 255;
inline constexpr int32_t kQOXExportFormat_X509Cert = 10000;
inline constexpr int32_t kQOXExportFormat_X509CertReq = 11000;
inline constexpr int32_t kQOXExportFormat_X509GetCert = 11010;
inline constexpr int32_t kQOXExportFormat_X509GetCRL = 11020;

// PEM labels of qoxOutputBufferByOptionList.
inline constexpr uint32_t kQOXPEMKind_Certificate = 0x1620;
inline constexpr uint32_t kQOXPEMKind_CertificateRequest = 0x1621;
inline constexpr uint32_t kQOXPEMKind_PrivateKey = 0x1622;

// The toolkit's creation-time extension as written into certificate
// requests and certificates: SEQUENCE { extnID OBJECT IDENTIFIER
// 1.3.6.1.4.1.57264.1.1, extnValue OCTET STRING { Time } }. These are its
// first 16 bytes for an empty time; the two length bytes (at 1 and 15)
// grow by the time element's length (text + 2), and the time element
// (tag 0x17 UTCTime or 0x18 GeneralizedTime, length, text) follows.
inline constexpr uint8_t kQOXCreationTimeExtensionPrefix[16] = {
    0x30, 0x0E, 0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x83, 0xBF, 0x30, 0x01, 0x01, 0x04, 0x00};

// kQOXErrBadParams for a null out-parameter (else cleared), an invalid context or
// file reference (the private one only when given); the entry gate; then the
// open (through the back end and a front end over it when the
// key-database service link is on). Open flags: kQOXKeyDBOpen_...
QOXError QOXOpenKeyDBFile(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                          const PFLFileSpec* privateSpec, QOXKeyDB** outKeyDB);
// The in-process open; on failure nothing is left made.
QOXError qoxOpenKeyDBFile_internal(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                                   const PFLFileSpec* privateSpec, QOXKeyDB** outKeyDB);

// The import behind QOXImport; consumes the option list.
QOXError qoxImportKeySetInternal(QOXContext* context, QOXKeyDB** outKeyDB, QOXOptionListRef optionList);

// The export behind QOXExport: exactly one of options 70 (a key set) and
// 71 (one key) must be given, else kQOXErrBadParams.
QOXError qoxExportInternal(QOXContext* context, QOXOptionListRef optionList);
// Exports a key set under the key-set export options.
QOXError qoxExportKeySetInternal(QOXKeySet* set, QOXOptionListRef optionList);
// Writes the set's keys as RFC 2440 key blocks into the file: with
// exportPrivate the stored (secret) key packets and user IDs without their
// signatures; with exportPrivateSubKeys the stored subkeys; without
// attributes no user attributes. kQOXErrWriteFailed on a short write,
// kQOXErrOutOfMemory.
QOXError sExportToQOXFile(QOXKeySet* set, QOXFile* file, bool exportPrivate, bool exportPrivateSubKeys,
                          bool withAttributes);

// Issues an X.509 certificate for a key, signed by the signing key, under
// the certificate-creation options (attribute values required).
QOXError qoxCreateX509CertificateInternal(QOXKeyDBObj* signingKey, QOXKeyDBObj* subjectKey, QOXKeyDBObj** outSig,
                                          QOXOptionListRef optionList);

#endif  // OSTRAK_KEYDB_KEY_FILES_H_

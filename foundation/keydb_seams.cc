// The key database's stand-ins: what each member of QOXKeyDBServices
// (foundation/keydb_services.h) answers while the key database has not
// registered its table. They answer as if no key object existed: validity
// tests false, counts, key IDs and operations "feature not available"
// (kQOXErrFeatureNotAvailable), outputs cleared, so no caller ever works on an object that is
// not there.
#include <cstring>

#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"

namespace {

// --- Back-end updates ---
// No back end is on: nothing to take in.
void qoxKeyDBBackendUpdate() {}

// Marks every live context as needing an update; no pending count is kept.
void qoxSetBackendUpdateNeeded() {
  for (QOXContext* c = qoxContextNextContext(nullptr); c != nullptr; c = qoxContextNextContext(c)) {
    qoxContextSetUpdateNeeded(c, true);
  }
}

// --- Objects, sets and databases ---
// No object, set or database is valid.
bool qoxKeyIsValid(const QOXKeyDBObj*) { return false; }
bool qoxSubKeyIsValid(const QOXKeyDBObj*) { return false; }
bool qoxSigIsValid(const QOXKeyDBObj*) { return false; }
bool qoxKeyDBObjIsValid(const QOXKeyDBObj*) { return false; }
bool qoxKeySetIsValid(const QOXKeySet*) { return false; }
bool qoxKeyDBIsValid(const QOXKeyDB*) { return false; }

// kQOXErrFeatureNotAvailable.
QOXError QOXIncKeySetRefCount(QOXKeySet*) { return kQOXErrFeatureNotAvailable; }
QOXError QOXFreeKeySet(QOXKeySet*) { return kQOXErrFeatureNotAvailable; }
QOXError QOXIncKeyDBRefCount(QOXKeyDB*) { return kQOXErrFeatureNotAvailable; }
QOXError QOXFreeKeyDB(QOXKeyDB*) { return kQOXErrFeatureNotAvailable; }

// Null.
QOXContext* QOXPeekKeyDBObjContext(QOXKeyDBObj*) { return nullptr; }

// 0: not a key.
int32_t qoxObjectType(QOXKeyDBObj*) { return 0; }

// kQOXErrFeatureNotAvailable with the value 0, so no signature settings are made for a key.
QOXError qoxGetKeyNumber(QOXKeyDBObj*, int32_t, int32_t* outValue) {
  if (outValue != nullptr) *outValue = 0;
  return kQOXErrFeatureNotAvailable;
}

// kQOXErrFeatureNotAvailable with the set null, so a stored key reads as one that cannot be
// imported.
QOXError QOXNewKeySet(QOXKeyDB*, QOXKeySet** set) {
  if (set != nullptr) *set = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// Null.
QOXKeyDB* QOXPeekKeySetKeyDB(QOXKeySet*) { return nullptr; }

// --- Key IDs ---
// 1: no two key IDs are known to be equal.
int32_t QOXCompareKeyIDs(const QOXKeyID*, const QOXKeyID*) { return 1; }

// kQOXErrFeatureNotAvailable.
QOXError qoxNewKeyIDFromRawData(const uint8_t*, uint8_t, size_t, QOXKeyID*) { return kQOXErrFeatureNotAvailable; }

// An empty text and kQOXErrFeatureNotAvailable, so a client with a TLS key is refused group and
// preference updates.
QOXError vuzizClientKeyIDText(QOXContext*, QOXKeyDBObj*, char* text, size_t size) {
  if (text != nullptr && size != 0) text[0] = '\0';
  return kQOXErrFeatureNotAvailable;
}

// --- Key management ---
// Each answers kQOXErrFeatureNotAvailable with its out object cleared and leaves the option list
// to its caller, as the real operation does.
QOXError qoxGenerateKeyInternal(QOXKeyDBObj** outKey, QOXOptionListRef) {
  if (outKey != nullptr) *outKey = nullptr;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxGenerateSubKeyInternal(QOXKeyDBObj** outSubKey, QOXOptionListRef) {
  if (outSubKey != nullptr) *outSubKey = nullptr;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxCertifyPrimaryUserIDInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxCertifyUserIDInternal(QOXKeyDBObj*, QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxRevokeSigInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxRevokeKeyInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxRevokeSubKeyInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxAddUserIDInternal(QOXKeyDBObj*, const char*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxAddAttributeInternal(QOXKeyDBObj*, int32_t, const uint8_t*, size_t, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}
// kQOXErrFeatureNotAvailable as the count of bits.
uint32_t qoxKeyEntropyNeededInternal(QOXContext*, QOXOptionListRef) {
  return static_cast<uint32_t>(kQOXErrFeatureNotAvailable);
}
QOXError qoxCreateX509CertificateInternal(QOXKeyDBObj*, QOXKeyDBObj*, QOXKeyDBObj** outSig, QOXOptionListRef) {
  if (outSig != nullptr) *outSig = nullptr;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxChangePassphraseInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxChangeSubKeyPassphraseInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
// False: no passphrase is known to be valid.
bool qoxPassphraseIsValidInternal(QOXKeyDBObj*, QOXOptionListRef) { return false; }
QOXError qoxSetKeyAxiomaticInternal(QOXKeyDBObj*, bool, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxGetKeyPasskeyBufferInternal(QOXKeyDBObj*, void** outBuffer, QOXOptionListRef) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxGetSubKeyPasskeyBufferInternal(QOXKeyDBObj*, void** outBuffer, QOXOptionListRef) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxAddKeyOptionsInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }
QOXError qoxUpdateKeyOptionsInternal(QOXKeyDBObj*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }

// --- Import and export ---
// kQOXErrFeatureNotAvailable; the list stays the caller's.
QOXError qoxExportInternal(QOXContext*, QOXOptionListRef) { return kQOXErrFeatureNotAvailable; }

// kQOXErrFeatureNotAvailable with the database null; like the real import it owns its list on
// every path, so it frees it.
QOXError qoxImportKeySetInternal(QOXContext*, QOXKeyDB** outKeyDB, QOXOptionListRef optionList) {
  if (outKeyDB != nullptr) *outKeyDB = nullptr;
  qoxFreeOptionList(optionList);
  return kQOXErrFeatureNotAvailable;
}

// --- Object properties ---
// -11975 with the value cleared, so a TLS session refuses every local key.
QOXError QOXGetKeyDBObjNumericProperty(QOXKeyDBObj*, int32_t, int32_t* outValue) {
  if (outValue != nullptr) *outValue = 0;
  return kQOXErrFeatureNotAvailable;
}
QOXError QOXGetKeyDBObjBooleanProperty(QOXKeyDBObj*, int32_t, bool* outValue) {
  if (outValue != nullptr) *outValue = false;
  return kQOXErrFeatureNotAvailable;
}

// Null: no object belongs to a key.
QOXKeyDBObj* QOXPeekKeyDBObjKey(QOXKeyDBObj*) { return nullptr; }

constexpr QOXKeyDBServices kStandIns = {
    .qoxKeyDBBackendUpdate = qoxKeyDBBackendUpdate,
    .qoxSetBackendUpdateNeeded = qoxSetBackendUpdateNeeded,
    .qoxKeyIsValid = qoxKeyIsValid,
    .qoxSubKeyIsValid = qoxSubKeyIsValid,
    .qoxSigIsValid = qoxSigIsValid,
    .qoxKeyDBObjIsValid = qoxKeyDBObjIsValid,
    .qoxKeySetIsValid = qoxKeySetIsValid,
    .qoxKeyDBIsValid = qoxKeyDBIsValid,
    .QOXIncKeySetRefCount = QOXIncKeySetRefCount,
    .QOXFreeKeySet = QOXFreeKeySet,
    .QOXIncKeyDBRefCount = QOXIncKeyDBRefCount,
    .QOXFreeKeyDB = QOXFreeKeyDB,
    .QOXPeekKeyDBObjContext = QOXPeekKeyDBObjContext,
    .qoxObjectType = qoxObjectType,
    .qoxGetKeyNumber = qoxGetKeyNumber,
    .QOXNewKeySet = QOXNewKeySet,
    .QOXPeekKeySetKeyDB = QOXPeekKeySetKeyDB,
    .QOXCompareKeyIDs = QOXCompareKeyIDs,
    .qoxNewKeyIDFromRawData = qoxNewKeyIDFromRawData,
    .vuzizClientKeyIDText = vuzizClientKeyIDText,
    .qoxGenerateKeyInternal = qoxGenerateKeyInternal,
    .qoxGenerateSubKeyInternal = qoxGenerateSubKeyInternal,
    .qoxCertifyPrimaryUserIDInternal = qoxCertifyPrimaryUserIDInternal,
    .qoxCertifyUserIDInternal = qoxCertifyUserIDInternal,
    .qoxRevokeSigInternal = qoxRevokeSigInternal,
    .qoxRevokeKeyInternal = qoxRevokeKeyInternal,
    .qoxRevokeSubKeyInternal = qoxRevokeSubKeyInternal,
    .qoxAddUserIDInternal = qoxAddUserIDInternal,
    .qoxAddAttributeInternal = qoxAddAttributeInternal,
    .qoxKeyEntropyNeededInternal = qoxKeyEntropyNeededInternal,
    .qoxCreateX509CertificateInternal = qoxCreateX509CertificateInternal,
    .qoxChangePassphraseInternal = qoxChangePassphraseInternal,
    .qoxChangeSubKeyPassphraseInternal = qoxChangeSubKeyPassphraseInternal,
    .qoxPassphraseIsValidInternal = qoxPassphraseIsValidInternal,
    .qoxSetKeyAxiomaticInternal = qoxSetKeyAxiomaticInternal,
    .qoxGetKeyPasskeyBufferInternal = qoxGetKeyPasskeyBufferInternal,
    .qoxGetSubKeyPasskeyBufferInternal = qoxGetSubKeyPasskeyBufferInternal,
    .qoxAddKeyOptionsInternal = qoxAddKeyOptionsInternal,
    .qoxUpdateKeyOptionsInternal = qoxUpdateKeyOptionsInternal,
    .qoxExportInternal = qoxExportInternal,
    .qoxImportKeySetInternal = qoxImportKeySetInternal,
    .QOXGetKeyDBObjNumericProperty = QOXGetKeyDBObjNumericProperty,
    .QOXGetKeyDBObjBooleanProperty = QOXGetKeyDBObjBooleanProperty,
    .QOXPeekKeyDBObjKey = QOXPeekKeyDBObjKey,
};

constinit QOXServiceSlot<QOXKeyDBServices> gSlot{&kStandIns};

}  // namespace

const QOXKeyDBServices& qoxKeyDBServices() { return gSlot.get(); }

const QOXKeyDBServices* qoxRegisterKeyDBServices(const QOXKeyDBServices* table) { return gSlot.install(table); }

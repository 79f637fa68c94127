// Seams for the operations of foundation/sdk_operations.h, one block per
// operation. Each answers -11975 ("feature not available") and leaves the
// option list to its caller, as the real operation does; the import seam
// takes its list over and frees it, as the real import does. The message
// pipeline and the key database replace these blocks.
#include "foundation/sdk_operations.h"

// --- seam: qoxEncodeInternal (message pipeline) ---
QOXError qoxEncodeInternal(QOXContext*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxDecodeInternal (message pipeline) ---
QOXError qoxDecodeInternal(QOXContext*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxGenerateKeyInternal (key database) ---
QOXError qoxGenerateKeyInternal(QOXKeyDBObj** outKey, QOXOptionListRef) {
  if (outKey != nullptr) *outKey = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxGenerateSubKeyInternal (key database) ---
QOXError qoxGenerateSubKeyInternal(QOXKeyDBObj** outSubKey, QOXOptionListRef) {
  if (outSubKey != nullptr) *outSubKey = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxCertifyPrimaryUserIDInternal (key database) ---
QOXError qoxCertifyPrimaryUserIDInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxCertifyUserIDInternal (key database) ---
QOXError qoxCertifyUserIDInternal(QOXKeyDBObj*, QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxRevokeSigInternal (key database) ---
QOXError qoxRevokeSigInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxRevokeKeyInternal (key database) ---
QOXError qoxRevokeKeyInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxRevokeSubKeyInternal (key database) ---
QOXError qoxRevokeSubKeyInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxAddUserIDInternal (key database) ---
QOXError qoxAddUserIDInternal(QOXKeyDBObj*, const char*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxAddAttributeInternal (key database) ---
QOXError qoxAddAttributeInternal(QOXKeyDBObj*, int32_t, const uint8_t*, size_t, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxKeyEntropyNeededInternal (key database) ---
uint32_t qoxKeyEntropyNeededInternal(QOXContext*, QOXOptionListRef) {
  return static_cast<uint32_t>(kQOXErrFeatureNotAvailable);
}

// --- seam: qoxCreateX509CertificateInternal (key database) ---
QOXError qoxCreateX509CertificateInternal(QOXKeyDBObj*, QOXKeyDBObj*, QOXKeyDBObj** outSig, QOXOptionListRef) {
  if (outSig != nullptr) *outSig = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxChangePassphraseInternal (key database) ---
QOXError qoxChangePassphraseInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxChangeSubKeyPassphraseInternal (key database) ---
QOXError qoxChangeSubKeyPassphraseInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxPassphraseIsValidInternal (key database) ---
bool qoxPassphraseIsValidInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return false;
}

// --- seam: qoxSetKeyAxiomaticInternal (key database) ---
QOXError qoxSetKeyAxiomaticInternal(QOXKeyDBObj*, bool, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxGetKeyPasskeyBufferInternal (key database) ---
QOXError qoxGetKeyPasskeyBufferInternal(QOXKeyDBObj*, void** outBuffer, QOXOptionListRef) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxGetSubKeyPasskeyBufferInternal (key database) ---
QOXError qoxGetSubKeyPasskeyBufferInternal(QOXKeyDBObj*, void** outBuffer, QOXOptionListRef) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxAddKeyOptionsInternal (key database) ---
QOXError qoxAddKeyOptionsInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxUpdateKeyOptionsInternal (key database) ---
QOXError qoxUpdateKeyOptionsInternal(QOXKeyDBObj*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxExportInternal (key database: export) ---
QOXError qoxExportInternal(QOXContext*, QOXOptionListRef) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: qoxImportKeySetInternal (key database: import) ---
QOXError qoxImportKeySetInternal(QOXContext*, QOXKeyDB** outKeyDB, QOXOptionListRef optionList) {
  if (outKeyDB != nullptr) *outKeyDB = nullptr;
  qoxFreeOptionList(optionList);  // the import owns its list on every path
  return kQOXErrFeatureNotAvailable;
}

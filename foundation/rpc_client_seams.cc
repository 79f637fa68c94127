// The key-database RPC client's stand-ins: what each member of
// QOXRPCClientServices (foundation/rpc_client_services.h) answers while the
// RPC client has not registered its table. No back end is started and the
// link is off, so every back-end entry point runs in process; the stubs
// are never reached then. Should one be called all the same, it answers
// kQOXErrFeatureNotAvailable (a verdict, a count or a boolean: the failing
// value) with its outputs cleared.
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"

namespace {

template <class T>
void Clear(T* out) {
  if (out != nullptr) *out = T{};
}

// 0: start-up goes on without a back end.
QOXError qoxSDKInitBackEnd(int) { return kQOXErrNoErr; }

// False: the link is off.
bool qoxRPCEnabled() { return false; }

// --- The random pool, its seed file and the passphrase cache ---
int32_t qoxGlobalRandomPoolAddState_backRPC(bool, uint32_t, bool, bool) { return kQOXErrFeatureNotAvailable; }
void qoxGlobalRandomPoolGetInfo_backRPC(uint32_t* outEntropy, uint32_t* outSize, uint32_t* outMinimumEntropy,
                                        bool* outHasMinimumEntropy) {
  Clear(outEntropy);
  Clear(outSize);
  Clear(outMinimumEntropy);
  Clear(outHasMinimumEntropy);
}
QOXError qoxSetRandSeedFile_backRPC(const PFLFileSpec*) { return kQOXErrFeatureNotAvailable; }
QOXError qoxRandomAddBytes_backRPC(QOXContext*, const uint8_t*, size_t) { return kQOXErrFeatureNotAvailable; }
QOXError qoxRandomGetBytesEntropy_backRPC(QOXContext*, size_t, uint32_t, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxPurgePassphraseCache_backRPC(QOXContext*) { return kQOXErrFeatureNotAvailable; }

// --- Key databases ---
QOXError qoxNewKeyDB_backRPC(QOXContext*, uintptr_t* outDB) {
  Clear(outDB);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxImportKeyBinary_backRPC(QOXContext*, const uint8_t*, size_t, uintptr_t* outDB, uint32_t* outKeyCount,
                                    uintptr_t** outArray, size_t* outArrayLength) {
  Clear(outDB);
  Clear(outKeyCount);
  Clear(outArray);
  Clear(outArrayLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyDBArray_backRPC(QOXContext*, uintptr_t, uint32_t* outKeyCount, uintptr_t** outArray,
                               size_t* outArrayLength) {
  Clear(outKeyCount);
  Clear(outArray);
  Clear(outArrayLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxUpdateKeyDB_backRPC(QOXContext*, uintptr_t, uint32_t* outNewKeyCount, uintptr_t** outArray,
                                size_t* outArrayLength, uintptr_t** outChanged, size_t* outChangedLength) {
  Clear(outNewKeyCount);
  Clear(outArray);
  Clear(outArrayLength);
  Clear(outChanged);
  Clear(outChangedLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxFreeKeyDB_backRPC(QOXContext*, uintptr_t) { return kQOXErrFeatureNotAvailable; }
QOXError qoxOpenKeyDBFile_backRPC(QOXContext*, uint32_t, const PFLFileSpec*, const PFLFileSpec*, uintptr_t* outDB,
                                  uint32_t* outKeyCount, uintptr_t** outArray, size_t* outArrayLength) {
  Clear(outDB);
  Clear(outKeyCount);
  Clear(outArray);
  Clear(outArrayLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyDBFlush_backRPC(QOXContext*, uintptr_t, uintptr_t** outChanged, size_t* outChangedLength) {
  Clear(outChanged);
  Clear(outChangedLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxFetchObjectData_backRPC(QOXContext*, uintptr_t, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxFetchKeyInfo_backRPC(QOXContext*, uintptr_t, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxGetKeyByKeyID_backRPC(QOXContext*, uintptr_t, const QOXKeyID*, bool, bool, uintptr_t* outKey) {
  Clear(outKey);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyDBAddObject_backRPC(QOXContext*, uintptr_t, uintptr_t, uintptr_t* outCopy, uintptr_t** outArray,
                                   size_t* outArrayLength) {
  Clear(outCopy);
  Clear(outArray);
  Clear(outArrayLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyDBRemoveObject_backRPC(QOXContext*, uintptr_t, uintptr_t) { return kQOXErrFeatureNotAvailable; }
QOXError qoxCopyKeys_backRPC(QOXContext*, uintptr_t, const uintptr_t*, size_t, uintptr_t, bool,
                             uintptr_t** outChanged, size_t* outChangedLength) {
  Clear(outChanged);
  Clear(outChangedLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxPropagateTrust_backRPC(QOXContext*, uintptr_t, const uintptr_t*, size_t, uintptr_t, uint32_t,
                                   uintptr_t** outChanged, size_t* outChangedLength) {
  Clear(outChanged);
  Clear(outChangedLength);
  return kQOXErrFeatureNotAvailable;
}

// --- Signature checking ---
QOXError qoxCheckKeyRingSigs_backRPC(QOXContext*, uintptr_t, const uintptr_t*, size_t, uintptr_t, bool,
                                     uintptr_t** outChanged, size_t* outChangedLength) {
  Clear(outChanged);
  Clear(outChangedLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxPrepareToCheckKeyRingSigs_backRPC(QOXContext*, uintptr_t, const uintptr_t*, size_t, uintptr_t, bool,
                                              uint32_t* outCount, uintptr_t** outChanged,
                                              size_t* outChangedLength) {
  Clear(outCount);
  Clear(outChanged);
  Clear(outChangedLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxCheckSig_backRPC(QOXContext*, uintptr_t, uintptr_t, uintptr_t, bool, bool, uint8_t* outTried,
                             uint8_t* outChanged, uint8_t* outValid) {
  Clear(outTried);
  Clear(outChanged);
  Clear(outValid);
  return kQOXErrFeatureNotAvailable;
}

// --- Key operations ---
QOXError qoxKeyEncrypt_backRPC(QOXContext*, uintptr_t, const uint8_t*, size_t, int, uint8_t** outBuffer,
                               size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyDecrypt_backRPC(QOXContext*, uintptr_t, const char*, size_t, bool, uint32_t, bool, const uint8_t*,
                               size_t, int, uint8_t** outBuffer, size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
int qoxKeyVerify_backRPC(QOXContext*, uintptr_t, const uint8_t*, size_t, uint8_t, const uint8_t*, size_t, int) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeySign_backRPC(QOXContext*, uintptr_t, const char*, size_t, bool, uint32_t, bool, uint8_t,
                            const uint8_t*, size_t, int, uint8_t** outSignature, size_t* outLength) {
  Clear(outSignature);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
bool qoxSecPassphraseOK_backRPC(QOXContext*, uintptr_t, const char*, size_t, bool, uint32_t, bool) { return false; }
QOXError qoxSecProperties_backRPC(QOXContext*, uintptr_t, bool* outLocked, bool* outKind5,
                                  int32_t* outCipherAlgorithm, int32_t* outKeyBits) {
  Clear(outLocked);
  Clear(outKind5);
  Clear(outCipherAlgorithm);
  Clear(outKeyBits);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxKeyMaxSizes_backRPC(QOXContext*, uintptr_t, size_t* outMaxEncrypted, size_t* outMaxDecrypted,
                                size_t* outMaxSignature, int) {
  Clear(outMaxEncrypted);
  Clear(outMaxDecrypted);
  Clear(outMaxSignature);
  return kQOXErrFeatureNotAvailable;
}

// --- Key maintenance ---
QOXError qoxPassphraseIsValid_backRPC(QOXContext*, uintptr_t, const char*, size_t, bool, uint32_t, bool,
                                      bool* outValid) {
  Clear(outValid);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxGetPasskeyBuffer_backRPC(QOXContext*, uintptr_t, const char*, size_t, uint8_t** outBuffer,
                                     size_t* outLength) {
  Clear(outBuffer);
  Clear(outLength);
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxSetKeyEnabled_backRPC(QOXContext*, uintptr_t, bool) { return kQOXErrFeatureNotAvailable; }
QOXError qoxSetKeyTrust_backRPC(QOXContext*, uintptr_t, uint8_t) { return kQOXErrFeatureNotAvailable; }
QOXError qoxSetKeyAxiomatic_backRPC(QOXContext*, uintptr_t, bool, const char*, size_t, bool, uint32_t, bool) {
  return kQOXErrFeatureNotAvailable;
}

// --- Passphrase change and self-signature options ---
QOXError qoxDoChangePassphrase_backRPC(QOXContext*, uintptr_t, const char*, size_t, const char*, size_t, bool,
                                       uint32_t, bool) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxAddKeyOptions_backRPC(QOXContext*, uintptr_t, const uint8_t*, size_t, const char*, size_t, bool,
                                  uint32_t, bool) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxUpdateKeyOptions_backRPC(QOXContext*, uintptr_t, const uint8_t*, size_t, const uint8_t*, size_t,
                                     uint32_t, bool, uint32_t, bool, const char*, size_t, bool, uint32_t, bool) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxCertifyPrimaryUserID_backRPC(QOXContext*, uintptr_t, const char*, size_t, bool, uint32_t, bool) {
  return kQOXErrFeatureNotAvailable;
}
QOXError qoxSetPrimaryUserID_backRPC(QOXContext*, uintptr_t) { return kQOXErrFeatureNotAvailable; }
// --- Key generation ---
QOXError qoxDoGenerateKey_backRPC(QOXContext*, uintptr_t, uintptr_t, const QOXKeyGenParams*, const uintptr_t*, size_t,
                                  const uintptr_t*, size_t, uintptr_t* outKey, uintptr_t** outArray,
                                  size_t* outArrayLength) {
  Clear(outKey);
  Clear(outArray);
  Clear(outArrayLength);
  return kQOXErrFeatureNotAvailable;
}

constexpr QOXRPCClientServices kStandIns = {
    .qoxSDKInitBackEnd = qoxSDKInitBackEnd,
    .qoxRPCEnabled = qoxRPCEnabled,
    .qoxGlobalRandomPoolAddState_backRPC = qoxGlobalRandomPoolAddState_backRPC,
    .qoxGlobalRandomPoolGetInfo_backRPC = qoxGlobalRandomPoolGetInfo_backRPC,
    .qoxSetRandSeedFile_backRPC = qoxSetRandSeedFile_backRPC,
    .qoxRandomAddBytes_backRPC = qoxRandomAddBytes_backRPC,
    .qoxRandomGetBytesEntropy_backRPC = qoxRandomGetBytesEntropy_backRPC,
    .qoxPurgePassphraseCache_backRPC = qoxPurgePassphraseCache_backRPC,
    .qoxNewKeyDB_backRPC = qoxNewKeyDB_backRPC,
    .qoxImportKeyBinary_backRPC = qoxImportKeyBinary_backRPC,
    .qoxKeyDBArray_backRPC = qoxKeyDBArray_backRPC,
    .qoxUpdateKeyDB_backRPC = qoxUpdateKeyDB_backRPC,
    .qoxFreeKeyDB_backRPC = qoxFreeKeyDB_backRPC,
    .qoxOpenKeyDBFile_backRPC = qoxOpenKeyDBFile_backRPC,
    .qoxKeyDBFlush_backRPC = qoxKeyDBFlush_backRPC,
    .qoxFetchObjectData_backRPC = qoxFetchObjectData_backRPC,
    .qoxFetchKeyInfo_backRPC = qoxFetchKeyInfo_backRPC,
    .qoxGetKeyByKeyID_backRPC = qoxGetKeyByKeyID_backRPC,
    .qoxKeyDBAddObject_backRPC = qoxKeyDBAddObject_backRPC,
    .qoxKeyDBRemoveObject_backRPC = qoxKeyDBRemoveObject_backRPC,
    .qoxCopyKeys_backRPC = qoxCopyKeys_backRPC,
    .qoxPropagateTrust_backRPC = qoxPropagateTrust_backRPC,
    .qoxCheckKeyRingSigs_backRPC = qoxCheckKeyRingSigs_backRPC,
    .qoxPrepareToCheckKeyRingSigs_backRPC = qoxPrepareToCheckKeyRingSigs_backRPC,
    .qoxCheckSig_backRPC = qoxCheckSig_backRPC,
    .qoxKeyEncrypt_backRPC = qoxKeyEncrypt_backRPC,
    .qoxKeyDecrypt_backRPC = qoxKeyDecrypt_backRPC,
    .qoxKeyVerify_backRPC = qoxKeyVerify_backRPC,
    .qoxKeySign_backRPC = qoxKeySign_backRPC,
    .qoxSecPassphraseOK_backRPC = qoxSecPassphraseOK_backRPC,
    .qoxSecProperties_backRPC = qoxSecProperties_backRPC,
    .qoxKeyMaxSizes_backRPC = qoxKeyMaxSizes_backRPC,
    .qoxPassphraseIsValid_backRPC = qoxPassphraseIsValid_backRPC,
    .qoxGetPasskeyBuffer_backRPC = qoxGetPasskeyBuffer_backRPC,
    .qoxSetKeyEnabled_backRPC = qoxSetKeyEnabled_backRPC,
    .qoxSetKeyTrust_backRPC = qoxSetKeyTrust_backRPC,
    .qoxSetKeyAxiomatic_backRPC = qoxSetKeyAxiomatic_backRPC,
    .qoxDoChangePassphrase_backRPC = qoxDoChangePassphrase_backRPC,
    .qoxAddKeyOptions_backRPC = qoxAddKeyOptions_backRPC,
    .qoxUpdateKeyOptions_backRPC = qoxUpdateKeyOptions_backRPC,
    .qoxCertifyPrimaryUserID_backRPC = qoxCertifyPrimaryUserID_backRPC,
    .qoxSetPrimaryUserID_backRPC = qoxSetPrimaryUserID_backRPC,
    .qoxDoGenerateKey_backRPC = qoxDoGenerateKey_backRPC,
};

constinit QOXServiceSlot<QOXRPCClientServices> gSlot{&kStandIns};

}  // namespace

const QOXRPCClientServices& qoxRPCClientServices() { return gSlot.get(); }

const QOXRPCClientServices* qoxRegisterRPCClientServices(const QOXRPCClientServices* table) {
  return gSlot.install(table);
}

// The key database's back-end entry points: through the RPC client while
// the service link is on, else the in-process work on the objects the IDs
// name.
#include "keydb/key_db_back.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_files.h"
#include "keydb/key_lookup.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_flat.h"
#include "keydb/key_set_ops.h"
#include "keydb/notifications.h"
#include "keydb/obj_data.h"
#include "keydb/ring_files.h"

namespace {

const QOXRPCClientServices* Remote() {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  return rpc.qoxRPCEnabled() ? &rpc : nullptr;
}

// One reference of a set, released when the scope ends.
class SetRef {
 public:
  SetRef() = default;
  SetRef(const SetRef&) = delete;
  SetRef& operator=(const SetRef&) = delete;
  ~SetRef() {
    if (set_ != nullptr) qoxFreeKeySet(set_, false);
  }
  QOXKeySet** out() { return &set_; }
  QOXKeySet* get() const { return set_; }
  QOXKeySet* operator->() const { return set_; }

 private:
  QOXKeySet* set_ = nullptr;
};

// In process an ID is the address of the back end's own record.
QOXKeyDB* DB(uintptr_t id) {
  auto* db = reinterpret_cast<QOXKeyDB*>(id);
  return qoxKeyDBIsValid(db) ? db : nullptr;
}

QOXKeyDBObj* Object(uintptr_t id) {
  auto* object = reinterpret_cast<QOXKeyDBObj*>(id);
  return qoxKeyDBObjIsValid(object) ? object : nullptr;
}

// The number of top-level objects of a database, real or not.
uint32_t TopLevelCount(const QOXKeyDB* db) {
  uint32_t count = 0;
  for (const QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) ++count;
  return count;
}

size_t InfoSize(QOXKeyDBObj* object) {
  switch (qoxObjectType(object)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      return sizeof(KeyInfo);
    case kQOXKeyDBObjType_UserID:
      return sizeof(UserIDInfo);
    case kQOXKeyDBObjType_Sig:
      return sizeof(SigInfo);
    case kQOXKeyDBObjType_CRL:
      return sizeof(CRLInfo);
    default:
      return sizeof(UnkInfo);
  }
}

// A copy of bytes in the context's memory.
QOXError CopyOut(QOXContext* context, const void* bytes, size_t length, uint8_t** outBuffer, size_t* outLength) {
  auto* copy = static_cast<uint8_t*>(qoxContextMemAlloc(context, length != 0 ? length : 1, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  if (length != 0) std::memcpy(copy, bytes, length);
  *outBuffer = copy;
  *outLength = length;
  return kQOXErrNoErr;
}

}  // namespace

// --- Databases ---

QOXError qoxNewKeyDB_back(QOXContext* context, uintptr_t* outDB) {
  if (const QOXRPCClientServices* rpc = Remote()) return rpc->qoxNewKeyDB_backRPC(context, outDB);
  *outDB = 0;
  QOXKeyDB* db = nullptr;
  if (QOXError err = qoxNewKeyDB_internal(context, &db); err != kQOXErrNoErr) return err;
  *outDB = qoxBackEndDBID(db);
  return kQOXErrNoErr;
}

QOXError qoxImportKeyBinary_back(QOXContext* context, const uint8_t* buffer, size_t length, uintptr_t* outDB,
                                 uint32_t* outKeyCount, KeyArrayWord** outArray, size_t* outArrayLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxImportKeyBinary_backRPC(context, buffer, length, outDB, outKeyCount, outArray, outArrayLength);
  *outDB = 0;
  *outKeyCount = 0;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDB* db = nullptr;
  if (QOXError err = qoxImportKeyBinary_internal(context, buffer, length, &db); err != kQOXErrNoErr) return err;
  const uint32_t count = TopLevelCount(db);
  if (QOXError err = qoxCreateKeyArray(context, db->firstKey, count, nullptr, outArray, outArrayLength);
      err != kQOXErrNoErr) {
    qoxKeyDBDestroy_internal(db);
    return err;
  }
  *outDB = qoxBackEndDBID(db);
  *outKeyCount = count;
  return kQOXErrNoErr;
}

QOXError qoxKeyDBArray_back(QOXContext* context, uintptr_t dbID, uint32_t* outKeyCount, KeyArrayWord** outArray,
                            size_t* outArrayLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyDBArray_backRPC(context, dbID, outKeyCount, outArray, outArrayLength);
  *outKeyCount = 0;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDB* db = DB(dbID);
  if (db == nullptr) return kQOXErrBadParams;
  const uint32_t count = TopLevelCount(db);
  // The database stays: the caller (a copy into its front end) holds it.
  if (QOXError err = qoxCreateKeyArray(context, db->firstKey, count, nullptr, outArray, outArrayLength);
      err != kQOXErrNoErr)
    return err;
  qoxSetPendingNotify(context, nullptr, nullptr, db->rootSet, nullptr);
  *outKeyCount = count;
  return kQOXErrNoErr;
}

QOXError qoxUpdateKeyDB_back(QOXContext* context, uintptr_t dbID, uint32_t* outNewKeyCount, KeyArrayWord** outArray,
                             size_t* outArrayLength, uintptr_t** outChanged, size_t* outChangedLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxUpdateKeyDB_backRPC(context, dbID, outNewKeyCount, outArray, outArrayLength, outChanged,
                                       outChangedLength);
  *outNewKeyCount = 0;
  *outArray = nullptr;
  *outArrayLength = 0;
  *outChanged = nullptr;
  *outChangedLength = 0;
  QOXKeyDB* db = DB(dbID);
  if (db == nullptr) return kQOXErrBadParams;
  SetRef newKeys;
  SetRef changed;
  if (QOXError err = qoxNewEnumeratedSet(db, 0, 0, newKeys.out()); err != kQOXErrNoErr) return err;
  if (QOXError err = qoxNewEnumeratedSet(db, 0, 0, changed.out()); err != kQOXErrNoErr) return err;
  if (QOXError err = qoxUpdateKeyDB_internal(context, db, newKeys.get(), changed.get()); err != kQOXErrNoErr)
    return err;
  // The array holds exactly the member keys, one top-level entry each.
  uint32_t members = 0;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) members += newKeys->isMember(newKeys.get(), k);
  if (members != 0) {
    if (QOXError err = qoxCreateKeyArray(context, db->firstKey, TopLevelCount(db), newKeys.get(), outArray,
                                         outArrayLength);
        err != kQOXErrNoErr)
      return err;
  }
  if (QOXError err = qoxKeySetFlatten(changed.get(), outChanged, outChangedLength); err != kQOXErrNoErr) {
    if (*outArray != nullptr) QOXFreeData(*outArray);
    *outArray = nullptr;
    *outArrayLength = 0;
    return err;
  }
  *outNewKeyCount = members;
  return kQOXErrNoErr;
}

QOXError qoxFreeKeyDB_back(QOXContext* context, uintptr_t dbID) {
  if (const QOXRPCClientServices* rpc = Remote()) return rpc->qoxFreeKeyDB_backRPC(context, dbID);
  QOXKeyDB* db = DB(dbID);
  if (db == nullptr) return kQOXErrBadParams;
  if (db->refCount > 1) qoxDropNotification(db, context);
  return qoxKeyDBDestroy_internal(db);
}

QOXError qoxOpenKeyDBFile_back(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                               const PFLFileSpec* privateSpec, uintptr_t* outDB, uint32_t* outKeyCount,
                               KeyArrayWord** outArray, size_t* outArrayLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxOpenKeyDBFile_backRPC(context, openFlags, publicSpec, privateSpec, outDB, outKeyCount, outArray,
                                         outArrayLength);
  *outDB = 0;
  *outKeyCount = 0;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDB* db = nullptr;
  if (QOXError err = qoxOpenKeyDBFile_internal(context, openFlags, publicSpec, privateSpec, &db);
      err != kQOXErrNoErr)
    return err;
  const uint32_t count = TopLevelCount(db);
  if (QOXError err = qoxCreateKeyArray(context, db->firstKey, count, nullptr, outArray, outArrayLength);
      err != kQOXErrNoErr) {
    qoxKeyDBDestroy_internal(db);
    return err;
  }
  *outDB = qoxBackEndDBID(db);
  *outKeyCount = count;
  return kQOXErrNoErr;
}

QOXError qoxKeyDBFlush_back(QOXContext* context, uintptr_t dbID, uintptr_t** outChanged, size_t* outChangedLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyDBFlush_backRPC(context, dbID, outChanged, outChangedLength);
  *outChanged = nullptr;
  *outChangedLength = 0;
  QOXKeyDB* db = DB(dbID);
  if (db == nullptr) return kQOXErrBadParams;
  QOXKeySet* changed = nullptr;
  if (QOXError err = qoxNewKeySetInternal(db, &changed); err != kQOXErrNoErr) return err;
  QOXError err = qoxKeyDBFlush_internal(db, changed);
  if (err == kQOXErrNoErr) {
    qoxSetPendingNotify(context, changed, nullptr, nullptr, nullptr);
    return qoxKeySetFlattenFree(changed, outChanged, outChangedLength);
  }
  qoxFreeKeySet(changed, true);
  return err;
}

// --- Objects ---

QOXError qoxFetchObjectData_back(QOXContext* context, uintptr_t objectID, uint8_t** outBuffer, size_t* outLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxFetchObjectData_backRPC(context, objectID, outBuffer, outLength);
  *outBuffer = nullptr;
  *outLength = 0;
  QOXKeyDBObj* object = Object(objectID);
  if (object == nullptr) return kQOXErrBadParams;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(object, &length);
  if (packet == nullptr) return kQOXErrItemNotFound;
  return CopyOut(context, packet, length, outBuffer, outLength);
}

QOXError qoxFetchKeyInfo_back(QOXContext* context, uintptr_t objectID, uint8_t** outBuffer, size_t* outLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxFetchKeyInfo_backRPC(context, objectID, outBuffer, outLength);
  *outBuffer = nullptr;
  *outLength = 0;
  QOXKeyDBObj* object = Object(objectID);
  const void* record = object != nullptr ? qoxPeekInfoRecord(object) : nullptr;
  if (record == nullptr) return kQOXErrBadParams;
  return CopyOut(context, record, InfoSize(object), outBuffer, outLength);
}

QOXError qoxGetKeyByKeyID_back(QOXContext* context, uintptr_t dbID, const QOXKeyID* keyID, bool allowDummies,
                               bool allowDeleted, uintptr_t* outKey) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxGetKeyByKeyID_backRPC(context, dbID, keyID, allowDummies, allowDeleted, outKey);
  *outKey = 0;
  QOXKeyDBObj* key = nullptr;
  QOXError err = qoxGetKeyByKeyID_internal(DB(dbID), keyID, allowDummies, allowDeleted, &key);
  if (err == kQOXErrNoErr) *outKey = qoxBackEndObjectID(key);
  return err;
}

QOXError qoxKeyDBAddObject_back(QOXContext* context, uintptr_t dbID, uintptr_t objectID, uintptr_t* outCopy,
                                KeyArrayWord** outArray, size_t* outArrayLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyDBAddObject_backRPC(context, dbID, objectID, outCopy, outArray, outArrayLength);
  *outCopy = 0;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDB* db = DB(dbID);
  QOXKeyDBObj* object = Object(objectID);
  if (db == nullptr || object == nullptr) return kQOXErrBadParams;
  QOXKeyDBObj* copy = nullptr;
  if (QOXError err = qoxKeyDBAddObject_internal(db, object, &copy); err != kQOXErrNoErr) return err;
  if (QOXError err = qoxCreateKeyArray(context, qoxObjTopKey(copy), 1, nullptr, outArray, outArrayLength);
      err != kQOXErrNoErr) {
    return err;
  }
  *outCopy = qoxBackEndObjectID(copy);
  return kQOXErrNoErr;
}

QOXError qoxKeyDBRemoveObject_back(QOXContext* context, uintptr_t dbID, uintptr_t objectID) {
  if (const QOXRPCClientServices* rpc = Remote()) return rpc->qoxKeyDBRemoveObject_backRPC(context, dbID, objectID);
  QOXKeyDB* db = DB(dbID);
  QOXKeyDBObj* object = Object(objectID);
  if (db == nullptr || object == nullptr) return kQOXErrBadParams;
  if (!qoxKeyDBObjIsReal(object)) return kQOXErrNoErr;
  qoxSetPendingNotify(context, nullptr, nullptr, nullptr, qoxObjTopKey(object));
  return qoxKeyDBRemoveObject_internal(db, object);
}

QOXError qoxCopyKeys_back(QOXContext* context, uintptr_t sourceDB, const uintptr_t* keys, size_t keysLength,
                          uintptr_t destinationDB, bool wantChanged, uintptr_t** outChanged,
                          size_t* outChangedLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxCopyKeys_backRPC(context, sourceDB, keys, keysLength, destinationDB, wantChanged, outChanged,
                                    outChangedLength);
  *outChanged = nullptr;
  *outChangedLength = 0;
  QOXKeyDB* source = DB(sourceDB);
  QOXKeyDB* destination = DB(destinationDB);
  if (source == nullptr || destination == nullptr) return kQOXErrBadParams;
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxKeySetUnflatten(source, keys, keysLength, &set); err != kQOXErrNoErr) return err;
  QOXKeySet* changed = nullptr;
  QOXError err = qoxCopyKeys_internal(set, destination, wantChanged ? &changed : nullptr);
  qoxFreeKeySet(set, false);
  if (err == kQOXErrNoErr && changed != nullptr) err = qoxKeySetFlattenFree(changed, outChanged, outChangedLength);
  return err;
}

// --- Key operations ---

QOXError qoxKeyEncrypt_back(QOXContext* context, uintptr_t key, const uint8_t* data, size_t length, int format,
                            uint8_t** outBuffer, size_t* outLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyEncrypt_backRPC(context, key, data, length, format, outBuffer, outLength);
  *outBuffer = nullptr;
  *outLength = 0;
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxKeyEncrypt_internal(object, data, length, format, outBuffer, outLength);
}

QOXError qoxKeyDecrypt_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t passphraseLength,
                            bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data,
                            size_t length, int format, uint8_t** outBuffer, size_t* outLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyDecrypt_backRPC(context, key, passphrase, passphraseLength, hashed, cacheTimeOut,
                                      cacheGlobally, data, length, format, outBuffer, outLength);
  *outBuffer = nullptr;
  *outLength = 0;
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxKeyDecrypt_internal(object, passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally, data,
                                length, format, outBuffer, outLength);
}

int qoxKeyVerify_back(QOXContext* context, uintptr_t key, const uint8_t* signature, size_t signatureLength,
                      uint8_t hashAlgorithm, const uint8_t* hash, size_t hashLength, int format) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyVerify_backRPC(context, key, signature, signatureLength, hashAlgorithm, hash, hashLength,
                                     format);
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxKeyVerify_internal(object, signature, signatureLength, hashAlgorithm, hash, hashLength, format);
}

QOXError qoxKeySign_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t passphraseLength,
                         bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm,
                         const uint8_t* hash, size_t hashLength, int format, uint8_t** outSignature,
                         size_t* outLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeySign_backRPC(context, key, passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally,
                                   hashAlgorithm, hash, hashLength, format, outSignature, outLength);
  *outSignature = nullptr;
  *outLength = 0;
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxKeySign_internal(object, passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally,
                             hashAlgorithm, hash, hashLength, format, outSignature, outLength);
}

bool qoxSecPassphraseOK_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length, bool hashed,
                             uint32_t cacheTimeOut, bool cacheGlobally) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxSecPassphraseOK_backRPC(context, key, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
  QOXKeyDBObj* object = Object(key);
  return object != nullptr &&
         qoxSecPassphraseOK_internal(object, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
}

QOXError qoxSecProperties_back(QOXContext* context, uintptr_t key, bool* outLocked, bool* outKind5,
                               int32_t* outCipherAlgorithm, int32_t* outKeyBits) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxSecProperties_backRPC(context, key, outLocked, outKind5, outCipherAlgorithm, outKeyBits);
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxSecProperties_internal(object, outLocked, outKind5, outCipherAlgorithm, outKeyBits);
}

QOXError qoxKeyMaxSizes_back(QOXContext* context, uintptr_t key, size_t* outMaxEncrypted, size_t* outMaxDecrypted,
                             size_t* outMaxSignature, int format) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxKeyMaxSizes_backRPC(context, key, outMaxEncrypted, outMaxDecrypted, outMaxSignature, format);
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxKeyMaxSizes_internal(object, outMaxEncrypted, outMaxDecrypted, outMaxSignature, format);
}

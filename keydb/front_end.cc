// Making front ends, the lazy fetch of their objects and refreshing them.
#include "keydb/front_end.h"

#include <atomic>
#include <cstring>

#include "foundation/binary_tree.h"
#include "foundation/context.h"
#include "foundation/mem_pool.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_data.h"

namespace {

constexpr size_t kRecordAlignment = alignof(std::max_align_t);

// Contexts marked as needing a back-end update and not yet updated; read by
// the entry gate on every call.
std::atomic<uint32_t> gPendingUpdates{0};
// The update pass runs code that passes the entry gate again; the pass of a
// thread does not start a second one inside itself.
thread_local bool tUpdating = false;

size_t InfoSize(int32_t type) {
  switch (type) {
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

QOXKeyDBObj* Map(const QOXKeyDB* db, const QOXKeyDBObj* backEndObject) {
  return qoxFrontEndObject(db, reinterpret_cast<uintptr_t>(backEndObject));
}

// The copy is the back end's record: its references name back-end objects.
// Those the front end has a twin of are mapped; the rest are cleared.
void Localise(const QOXKeyDB* db, int32_t type, void* record) {
  switch (type) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey: {
      auto* k = static_cast<KeyInfo*>(record);
      k->data = nullptr;  // also an X.509 dummy's signature
      k->trustLink = nullptr;
      k->sigsBy = Map(db, k->sigsBy);
      k->greater = nullptr;
      k->notGreater = nullptr;
      k->introducerRegexp = nullptr;
      break;
    }
    case kQOXKeyDBObjType_UserID:
      static_cast<UserIDInfo*>(record)->data = nullptr;
      break;
    case kQOXKeyDBObjType_Sig: {
      auto* s = static_cast<SigInfo*>(record);
      s->data = nullptr;
      s->signer = Map(db, s->signer);
      s->nextBySigner = Map(db, s->nextBySigner);
      s->regexp = nullptr;
      break;
    }
    case kQOXKeyDBObjType_CRL:
      static_cast<CRLInfo*>(record)->data = nullptr;
      break;
    default:
      static_cast<UnkInfo*>(record)->data = nullptr;
      break;
  }
}

void FreeReturned(uint8_t* buffer, size_t length) {
  if (buffer == nullptr) return;
  std::memset(buffer, 0, length);
  QOXFreeData(buffer);
}

// Takes in what other connections changed: the changed keys' array, then
// the refresh of the keys whose trust changed.
QOXError TakeInUpdates(QOXKeyDB* db, bool* outUpdated) {
  *outUpdated = false;
  uint32_t count = 0;
  KeyArrayWord* array = nullptr;
  size_t arrayLength = 0;
  uintptr_t* changed = nullptr;
  size_t changedLength = 0;
  QOXError err = qoxUpdateKeyDB_back(db->context, db->backendID, &count, &array, &arrayLength, &changed,
                                     &changedLength);
  if (err == kQOXErrNoErr && (count != 0 || changedLength >= sizeof(uintptr_t))) {
    if (count != 0) err = qoxAddFromKeyArray(db, nullptr, array, arrayLength, count, false);
    qoxKeyRefreshFromList(db, changed, changedLength);
    changed = nullptr;
    *outUpdated = err == kQOXErrNoErr;
  }
  if (array != nullptr) QOXFreeData(array);
  if (changed != nullptr) QOXFreeData(changed);
  return err;
}

}  // namespace

QOXKeyDBObj* qoxFrontEndObject(const QOXKeyDB* db, uintptr_t backendID) {
  if (backendID == 0 || db == nullptr || db->idTree == nullptr) return nullptr;
  QOXTreeValue value = 0;
  if (QOXFindNode(db->idTree, static_cast<intptr_t>(backendID), &value) != kQOXErrNoErr) return nullptr;
  return reinterpret_cast<QOXKeyDBObj*>(value);
}

QOXError qoxNewFrontEndKeyDB(QOXContext* context, uintptr_t backendID, const KeyArrayWord* array,
                             size_t arrayLength, uint32_t keyCount, QOXKeyDB** outKeyDB) {
  if (outKeyDB == nullptr) return kQOXErrBadParams;
  *outKeyDB = nullptr;
  if (!qoxContextIsValid(context) || backendID == 0) return kQOXErrBadParams;
  QOXKeyDB* db = nullptr;
  if (QOXError err = qoxNewKeyDB_internal(context, &db); err != kQOXErrNoErr) {
    qoxFreeKeyDB_back(context, backendID);
    return err;
  }
  // From here the front end holds the back end: destroying it releases both.
  db->backendID = backendID;
  if (QOXError err = qoxAddFromKeyArray(db, nullptr, array, arrayLength, keyCount, true); err != kQOXErrNoErr) {
    qoxKeyDBDestroy_internal(db);
    return err;
  }
  *outKeyDB = db;
  return kQOXErrNoErr;
}

void* qoxFetchInfoRecord(QOXKeyDBObj* object) {
  if ((object->flags & kQOXObjFlag_Unfetched) == 0) return object->info.record;
  QOXKeyDB* db = qoxObjKeyDB(object);
  if (!qoxFrontEndKeyDB(db)) return nullptr;
  const uintptr_t id = object->info.backendID;
  const int32_t type = qoxObjectTypeOfFlags(object->flags);
  const size_t size = InfoSize(type);
  uint8_t* copy = nullptr;
  size_t length = 0;
  const QOXError err = qoxFetchKeyInfo_back(db->context, id, &copy, &length);
  void* record = err == kQOXErrNoErr && copy != nullptr && length == size
                     ? memPoolAlloc(&db->objectPool, size, kRecordAlignment)
                     : nullptr;
  if (record == nullptr) {
    FreeReturned(copy, length);
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return nullptr;
  }
  std::memcpy(record, copy, size);
  FreeReturned(copy, length);
  // Every record begins with its object ID.
  *static_cast<uintptr_t*>(record) = id;
  Localise(db, type, record);
  object->info.record = record;
  object->flags &= ~kQOXObjFlag_Unfetched;
  return record;
}

ObjData* qoxFetchObjectData(QOXKeyDBObj* object) {
  if (qoxKeyDBObjIsDummy(object)) return nullptr;
  QOXKeyDB* db = qoxObjKeyDB(object);
  if (!qoxFrontEndKeyDB(db)) return nullptr;
  // The packet is kept in the info record, which must be here first.
  if (qoxFetchInfoRecord(object) == nullptr) return nullptr;
  if (ObjData* data = qoxObjData(object)) return data;
  uint8_t* packet = nullptr;
  size_t length = 0;
  if (qoxFetchObjectData_back(db->context, qoxKeyDBObjID(object), &packet, &length) != kQOXErrNoErr ||
      packet == nullptr) {
    FreeReturned(packet, length);
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return nullptr;
  }
  ObjData* data = qoxNewObjData(db, packet, length);
  FreeReturned(packet, length);
  if (data == nullptr) {
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return nullptr;
  }
  qoxSetObjData(object, data);
  return data;
}

void qoxKeyRefreshFromList(QOXKeyDB* db, uintptr_t* list, size_t length) {
  if (list == nullptr) return;
  for (size_t i = 0; i < length / sizeof(uintptr_t); ++i) {
    if (QOXKeyDBObj* object = qoxFrontEndObject(db, list[i])) qoxKeyDBObjRefresh(object, true);
  }
  QOXFreeData(list);
}

QOXError QOXKeyDBIsUpdated(QOXKeyDB* db, bool* outUpdated) {
  if (outUpdated == nullptr) return kQOXErrBadParams;
  *outUpdated = false;
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!qoxFrontEndKeyDB(db)) return kQOXErrNoErr;
  return TakeInUpdates(db, outUpdated);
}

void qoxKeyDBBackendUpdate() {
  if (tUpdating || gPendingUpdates.load(std::memory_order_acquire) == 0 ||
      !qoxRPCClientServices().qoxRPCEnabled())
    return;
  tUpdating = true;
  for (QOXContext* c = qoxContextNextContext(nullptr); c != nullptr; c = qoxContextNextContext(c)) {
    if (!qoxContextGetUpdateNeeded(c)) continue;
    for (QOXKeyDB* db = qoxContextGetFirstKeyDB(c); db != nullptr; db = db->next) {
      bool updated = false;
      if (qoxFrontEndKeyDB(db)) TakeInUpdates(db, &updated);
    }
    qoxContextSetUpdateNeeded(c, false);
    uint32_t pending = gPendingUpdates.load(std::memory_order_acquire);
    while (pending != 0 && !gPendingUpdates.compare_exchange_weak(pending, pending - 1, std::memory_order_acq_rel)) {
    }
  }
  tUpdating = false;
}

void qoxSetBackendUpdateNeeded() {
  for (QOXContext* c = qoxContextNextContext(nullptr); c != nullptr; c = qoxContextNextContext(c)) {
    if (qoxContextGetUpdateNeeded(c)) continue;
    qoxContextSetUpdateNeeded(c, true);
    gPendingUpdates.fetch_add(1, std::memory_order_acq_rel);
  }
}

uint32_t qoxPendingBackendUpdates() { return gPendingUpdates.load(std::memory_order_acquire); }

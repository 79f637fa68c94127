#include "keydb/obj_data.h"

#include <cstddef>
#include <cstring>
#include <limits>

#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"
#include "keydb/child_index.h"
#include "keydb/front_end.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"

namespace {

constexpr size_t kRecordAlignment = alignof(std::max_align_t);
constexpr size_t kByteAlignment = 1;

bool FitsRecord(size_t length) { return length <= std::numeric_limits<uint32_t>::max(); }

}  // namespace

ObjData* qoxNewObjData(QOXKeyDB* db, const uint8_t* bytes, size_t length) {
  if (!FitsRecord(length) || (bytes == nullptr && length != 0)) {
    qoxKeyDBSetError(db, kQOXErrBadParams);
    return nullptr;
  }
  const MemPool mark = db->objectPool;
  auto* data = static_cast<ObjData*>(memPoolAlloc(&db->objectPool, sizeof(ObjData), kRecordAlignment));
  auto* copy = data != nullptr ? static_cast<uint8_t*>(memPoolAlloc(&db->objectPool, length, kByteAlignment))
                               : nullptr;
  if (copy == nullptr) {
    memPoolCutBack(&db->objectPool, &mark);
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return nullptr;
  }
  if (length != 0) std::memcpy(copy, bytes, length);
  data->bytes = copy;
  data->length = static_cast<uint32_t>(length);
  data->holdCount = 1;
  return data;
}

QOXError qoxUpdateObjData(QOXKeyDBObj* object, const uint8_t* bytes, size_t length) {
  QOXKeyDB* db = qoxObjKeyDB(object);
  ObjData* data = qoxObjData(object);
  if (data == nullptr) return qoxKeyDBError(db);
  if (!FitsRecord(length) || (bytes == nullptr && length != 0)) return kQOXErrBadParams;
  auto* copy = static_cast<uint8_t*>(memPoolAlloc(&db->objectPool, length, kByteAlignment));
  if (copy == nullptr) {
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return kQOXErrOutOfMemory;
  }
  if (length != 0) std::memcpy(copy, bytes, length);
  qoxChildIndexRemove(object);
  data->bytes = copy;
  data->length = static_cast<uint32_t>(length);
  qoxChildIndexAdd(object);
  return kQOXErrNoErr;
}

void qoxSetObjData(QOXKeyDBObj* object, ObjData* data) {
  qoxChildIndexRemove(object);
  switch (qoxObjectType(object)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      if (KeyInfo* k = qoxKeyToKeyInfo(object)) k->data = data;
      break;
    case kQOXKeyDBObjType_UserID:
      if (UserIDInfo* u = qoxUserIDToUserIDInfo(object)) u->data = data;
      break;
    case kQOXKeyDBObjType_Sig:
      if (SigInfo* s = qoxSigToSigInfo(object)) s->data = data;
      break;
    case kQOXKeyDBObjType_CRL:
      if (CRLInfo* c = qoxCRLToCRLInfo(object)) c->data = data;
      break;
    case kQOXKeyDBObjType_Unknown:
      if (UnkInfo* u = qoxUnkToUnkInfo(object)) u->data = data;
      break;
    default:
      break;
  }
  qoxChildIndexAdd(object);
}

const uint8_t* qoxFetchObject(QOXKeyDBObj* object, size_t* outLength) {
  const ObjData* data = qoxObjData(object);
  if (data == nullptr && qoxFrontEndKey(object)) data = qoxFetchObjectData(object);
  if (outLength != nullptr) *outLength = data != nullptr ? data->length : 0;
  return data != nullptr ? data->bytes : nullptr;
}

void qoxObjectHold(QOXKeyDBObj* object) {
  if (ObjData* data = qoxObjData(object)) data->holdCount++;
}

void qoxObjectRelease(QOXKeyDBObj* object) {
  ObjData* data = qoxObjData(object);
  if (data != nullptr && data->holdCount > 0) data->holdCount--;
}

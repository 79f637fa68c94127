// Flattening key sets into key lists and back.
#include "keydb/key_set_flat.h"

#include <algorithm>
#include <cstring>

#include "foundation/binary_tree.h"
#include "foundation/context.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/obj_accessors.h"
#include "keydb/scratch_array.h"

namespace {

struct KeyByID {
  QOXKeyID keyID;
  QOXKeyDBObj* key;
};

bool ByKeyID(const KeyByID& a, const KeyByID& b) { return qoxCompareKeyIDs(&a.keyID, &b.keyID) < 0; }

// Every real object below the key is a member.
bool KeyIsWhole(QOXKeyDBObj* key, QOXKeySet* set) {
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c)) continue;
    if (!qoxKeySetIsMember(c, set)) return false;
    for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
      if (qoxKeyDBObjIsReal(g) && !qoxKeySetIsMember(g, set)) return false;
    }
  }
  return true;
}

}  // namespace

bool qoxKeySetIsFlattenable(QOXKeySet* set) {
  if (set == nullptr) return true;
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (qoxKeySetIsMember(key, set) && !KeyIsWhole(key, set)) return false;
  }
  return true;
}

QOXError qoxKeySetFlatten(QOXKeySet* set, QOXFlatKeyWord** outBuffer, size_t* outLength) {
  *outBuffer = nullptr;
  *outLength = 0;
  if (set == nullptr) return kQOXErrNoErr;
  QOXKeyDB* db = set->keyDB;
  QOXContext* context = db->context;
  uint32_t count = 0;
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (qoxKeySetIsMember(key, set)) ++count;
  }
  if (count == 0) return kQOXErrNoErr;
  ScratchArray<QOXFlatKeyWord> words(context);
  if (!words.Make(count)) return kQOXErrOutOfMemory;
  const bool frontEnd = qoxFrontEndKeyDB(db);
  if (frontEnd) {
    uint32_t n = 0;
    for (QOXKeyDBObj* key = db->firstKey; key != nullptr && n < count; key = key->next) {
      if (qoxKeySetIsMember(key, set)) words[n++] = qoxKeyDBObjID(key);
    }
  } else {
    ScratchArray<KeyByID> keys(context);
    if (!keys.Make(count)) return kQOXErrOutOfMemory;
    uint32_t n = 0;
    for (QOXKeyDBObj* key = db->firstKey; key != nullptr && n < count; key = key->next) {
      if (!qoxKeySetIsMember(key, set)) continue;
      std::memset(&keys[n].keyID, 0, sizeof(QOXKeyID));
      (void)qoxKeyID8(key, nullptr, &keys[n].keyID);
      keys[n++].key = key;
    }
    std::stable_sort(keys.begin(), keys.end(), ByKeyID);
    for (uint32_t i = 0; i < count; ++i) words[i] = reinterpret_cast<QOXFlatKeyWord>(keys[i].key);
  }
  *outLength = size_t{count} * sizeof(QOXFlatKeyWord);
  *outBuffer = words.Take();
  return kQOXErrNoErr;
}

QOXError qoxKeySetFlattenFree(QOXKeySet* set, QOXFlatKeyWord** outBuffer, size_t* outLength) {
  const QOXError err = qoxKeySetFlatten(set, outBuffer, outLength);
  if (set != nullptr) qoxFreeKeySet(set, false);
  return err;
}

QOXError qoxKeySetUnflatten(QOXKeyDB* db, const QOXFlatKeyWord* buffer, size_t length, QOXKeySet** outSet) {
  *outSet = nullptr;
  const size_t n = length / sizeof(QOXFlatKeyWord);
  if (n == 0) return qoxNewEnumeratedSet(db, 0, 0, outSet);
  if (n > UINT32_MAX) return kQOXErrOutOfMemory;
  ScratchArray<QOXKeyDBObj*> keys(db->context);
  if (!keys.Make(n)) return kQOXErrOutOfMemory;
  const bool frontEnd = qoxFrontEndKeyDB(db);
  for (size_t i = 0; i < n; ++i) {
    if (!frontEnd) {
      keys[i] = reinterpret_cast<QOXKeyDBObj*>(buffer[i]);
      continue;
    }
    QOXTreeValue value = 0;
    if (QOXFindNode(db->idTree, static_cast<intptr_t>(buffer[i]), &value) != kQOXErrNoErr || value == 0)
      return kQOXErrItemNotFound;
    keys[i] = reinterpret_cast<QOXKeyDBObj*>(value);
  }
  return qoxNewKeyListSet(db, keys.begin(), static_cast<uint32_t>(n), outSet);
}

QOXError qoxKeySetUnflattenFree(QOXKeyDB* db, QOXFlatKeyWord* buffer, size_t length, QOXKeySet** outSet) {
  const QOXError err = qoxKeySetUnflatten(db, buffer, length, outSet);
  if (buffer != nullptr) qoxContextMemFree(db->context, buffer);
  return err;
}

QOXError qoxKeySetRefreshFree(QOXKeySet* set) {
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (qoxKeySetIsMember(key, set)) (void)qoxKeyDBObjRefresh(key, true);
  }
  qoxFreeKeySet(set, false);
  return kQOXErrNoErr;
}

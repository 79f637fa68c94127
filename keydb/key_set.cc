// The key-set record, the chain of a database's sets, and the root kind.
#include "keydb/key_set.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/handle_magic.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_list.h"

namespace {

// --- The root kind: every object of the database ---

bool rootSetIsMember(QOXKeySet* set, QOXKeyDBObj* object) { return qoxObjKeyDB(object) == set->keyDB; }

// Not even a dummy or deleted key at the top level.
bool rootSetIsEmpty(QOXKeySet* set) { return set->keyDB->firstKey == nullptr; }

QOXError rootSetMakeUnion(QOXKeySet* set, QOXKeySet*, QOXKeySet** outSet) {
  if (!qoxKeySetIsRootSet(set)) ++set->refCount;
  *outSet = set;
  return kQOXErrNoErr;
}

void rootSetDestroy(QOXKeySet*) {}

void MakeRootKind(QOXKeySet* set) {
  set->isMember = rootSetIsMember;
  set->isEmpty = rootSetIsEmpty;
  set->makeUnion = rootSetMakeUnion;
  set->destroy = rootSetDestroy;
}

void UnlinkSet(QOXKeySet* set) {
  if (set->prevSet != nullptr) {
    set->prevSet->nextSet = set->nextSet;
  } else if (set->keyDB->firstSet == set) {
    set->keyDB->firstSet = set->nextSet;
  }
  if (set->nextSet != nullptr) set->nextSet->prevSet = set->prevSet;
  set->prevSet = nullptr;
  set->nextSet = nullptr;
}

}  // namespace

bool qoxKeySetIsValid(const QOXKeySet* set) { return set != nullptr && qoxHasMagic(set->magic, kQOXKeySetMagic); }

bool qoxKeySetIsRootSet(const QOXKeySet* set) { return set->keyDB != nullptr && set->keyDB->rootSet == set; }

QOXError qoxNewKeySetInternal(QOXKeyDB* db, QOXKeySet** outSet) {
  *outSet = nullptr;
  auto* set = static_cast<QOXKeySet*>(qoxContextMemAlloc(db->context, sizeof(QOXKeySet), kQOXMemoryMgrFlags_Clear));
  if (set == nullptr) return kQOXErrOutOfMemory;
  std::memset(static_cast<void*>(set), 0, sizeof *set);
  qoxSetMagic(set->magic, kQOXKeySetMagic);
  set->refCount = 1;
  set->keyDB = db;
  set->nextSet = db->firstSet;
  if (db->firstSet != nullptr) db->firstSet->prevSet = set;
  db->firstSet = set;
  *outSet = set;
  return kQOXErrNoErr;
}

QOXKeySet* qoxRootSet(QOXKeyDB* db) {
  QOXKeySet* set = nullptr;
  if (qoxNewKeySetInternal(db, &set) != kQOXErrNoErr) return nullptr;
  MakeRootKind(set);
  db->rootSet = set;
  return set;
}

void qoxFreeKeySet(QOXKeySet* set, bool force) {
  if (!force) {
    if (qoxKeySetIsRootSet(set)) return;
    if (--set->refCount > 0) return;
  } else {
    set->freedWithKeyDB = true;
    qoxDetachFromKeySet(set);
  }
  if (set->destroy != nullptr) set->destroy(set);
  qoxInvertMagic(set->magic);
  UnlinkSet(set);
  if (set->keyDB->rootSet == set) set->keyDB->rootSet = nullptr;
  qoxContextMemFree(set->keyDB->context, set);
}

bool qoxKeySetIsMember(QOXKeyDBObj* object, QOXKeySet* set) {
  return qoxKeyDBObjIsReal(object) && set->isMember(set, object);
}

bool qoxKeySetIsEmpty(QOXKeySet* set) { return set->isEmpty(set); }

QOXKeyDBObj* qoxFirstKeyInKeySet(QOXKeySet* set) {
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (qoxKeySetIsMember(key, set)) return key;
  }
  return nullptr;
}

// --- Public calls ---

QOXError QOXNewKeySet(QOXKeyDB* db, QOXKeySet** outSet) {
  if (outSet == nullptr) return kQOXErrBadParams;
  *outSet = nullptr;
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxNewKeySetInternal(db, &set); err != kQOXErrNoErr) return err;
  MakeRootKind(set);
  *outSet = set;
  return kQOXErrNoErr;
}

QOXError QOXFreeKeySet(QOXKeySet* set) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  qoxFreeKeySet(set, false);
  return kQOXErrNoErr;
}

QOXError QOXIncKeySetRefCount(QOXKeySet* set) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!qoxKeySetIsRootSet(set)) ++set->refCount;
  return kQOXErrNoErr;
}

bool QOXKeySetIsMember(QOXKeyDBObj* object, QOXKeySet* set) {
  if (!qoxKeySetIsValid(set) || !qoxKeyDBObjIsValid(object) || qoxEnterFunction() != kQOXErrNoErr) return false;
  return qoxKeySetIsMember(object, set);
}

QOXError QOXCountKeys(QOXKeySet* set, uint32_t* outCount) {
  if (outCount == nullptr) return kQOXErrBadParams;
  *outCount = 0;
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  uint32_t count = 0;
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (qoxKeySetIsMember(key, set)) ++count;
  }
  *outCount = count;
  return kQOXErrNoErr;
}

QOXKeyDB* QOXPeekKeySetKeyDB(QOXKeySet* set) { return qoxKeySetIsValid(set) ? set->keyDB : nullptr; }

// Adding, copying and deleting key sets.
#include "keydb/key_set_ops.h"

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/front_end.h"
#include "keydb/key_array.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_iter.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_flat.h"
#include "keydb/key_set_union.h"
#include "keydb/scratch_array.h"

namespace {

// A set's reference, released when the holder goes (the root set's
// releases do nothing).
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
  QOXKeySet* release() {
    QOXKeySet* s = set_;
    set_ = nullptr;
    return s;
  }

 private:
  QOXKeySet* set_ = nullptr;
};

class IterRef {
 public:
  IterRef() = default;
  IterRef(const IterRef&) = delete;
  IterRef& operator=(const IterRef&) = delete;
  ~IterRef() {
    if (iter_ != nullptr) qoxFreeKeyIter(iter_);
  }
  QOXKeyIter** out() { return &iter_; }
  QOXKeyIter* get() const { return iter_; }

 private:
  QOXKeyIter* iter_ = nullptr;
};

// The checks QOXAddKeys makes of its destination after the databases
// agree: the root set takes nothing (nothing to do, no error), and only a
// destination with exactly one reference can change.
QOXError CheckDestination(QOXKeySet* destination, bool* outNothingToDo) {
  *outNothingToDo = qoxKeySetIsRootSet(destination);
  if (*outNothingToDo) return kQOXErrNoErr;
  return destination->refCount == 1 ? kQOXErrNoErr : kQOXErrBadParams;
}

uint32_t RealKeys(const QOXKeyDB* db) {
  uint32_t count = 0;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (qoxKeyDBObjIsReal(k)) ++count;
  }
  return count;
}

}  // namespace

QOXError qoxAddKeysInternal(QOXKeySet* source, QOXKeySet* destination) {
  // A set united with itself is itself (and a union holding its own record
  // would ask itself for membership without end).
  if (source == destination) return kQOXErrNoErr;
  // A stand-in for the destination as it is: its data and operations, not
  // its lists.
  QOXKeySet* old = nullptr;
  if (QOXError err = qoxNewKeySetInternal(destination->keyDB, &old); err != kQOXErrNoErr) return err;
  old->priv = destination->priv;
  old->isMember = destination->isMember;
  old->isEmpty = destination->isEmpty;
  old->makeUnion = destination->makeUnion;
  old->destroy = destination->destroy;
  QOXKeySet* result = nullptr;
  QOXError err = source->makeUnion != nullptr && source->makeUnion == destination->makeUnion
                     ? source->makeUnion(source, old, &result)
                     : qoxGenericUnionOfKeySets(source, old, &result);
  if (err != kQOXErrNoErr) {
    // The destination keeps its data.
    old->priv = nullptr;
    old->destroy = nullptr;
    qoxFreeKeySet(old, false);
    return err;
  }
  // Held by a generic union it survives; after a kind's own union its
  // destroy releases the destination's old data.
  qoxFreeKeySet(old, false);
  destination->priv = result->priv;
  destination->isMember = result->isMember;
  destination->isEmpty = result->isEmpty;
  destination->makeUnion = result->makeUnion;
  destination->destroy = result->destroy;
  if (result != source) result->priv = nullptr;
  qoxFreeKeySet(result, false);
  return kQOXErrNoErr;
}

QOXError QOXAddKeys(QOXKeySet* source, QOXKeySet* destination) {
  if (!qoxKeySetIsValid(source) || !qoxKeySetIsValid(destination)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (source->keyDB != destination->keyDB) return kQOXErrMismatchedKeyDatabases;
  bool nothingToDo = false;
  if (QOXError err = CheckDestination(destination, &nothingToDo); err != kQOXErrNoErr || nothingToDo) return err;
  return qoxAddKeysInternal(source, destination);
}

QOXError QOXAddKey(QOXKeyDBObj* object, QOXKeySet* set) {
  if (!qoxKeyDBObjIsValid(object) || !qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (qoxObjKeyDB(object) != set->keyDB) return kQOXErrMismatchedKeyDatabases;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  bool nothingToDo = false;
  if (QOXError err = CheckDestination(set, &nothingToDo); err != kQOXErrNoErr || nothingToDo) return err;
  SetRef one;
  if (QOXError err = qoxNewOneKeySetInternal(object, one.out()); err != kQOXErrNoErr) return err;
  return qoxAddKeysInternal(one.get(), set);
}

QOXError QOXNewOneKeySet(QOXKeyDBObj* object, QOXKeySet** outSet) {
  if (outSet == nullptr) return kQOXErrBadParams;
  *outSet = nullptr;
  if (!qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxNewOneKeySetWithCompanions(object, outSet);
}

namespace {

// A front end takes in its back end's whole key array (fresh: it held no
// object before, so nothing is looked up).
QOXError TakeInKeyArray(QOXKeyDB* destination, bool fresh) {
  uint32_t count = 0;
  KeyArrayWord* array = nullptr;
  size_t length = 0;
  QOXError err = qoxKeyDBArray_back(destination->context, destination->backendID, &count, &array, &length);
  if (err == kQOXErrNoErr) err = qoxAddFromKeyArray(destination, nullptr, array, length, count, fresh);
  if (array != nullptr) QOXFreeData(array);
  return err;
}

// Copying whole keys into a front end: its back end copies the flat list
// of the set's keys from the set's back-end database, the front end takes
// in the new shape, and the keys the copy names are refreshed.
QOXError CopyWholeKeysToFrontEnd(QOXKeySet* set, QOXKeyDB* destination, bool heldKeys, QOXKeySet** outSet) {
  QOXKeyDB* source = set->keyDB;
  const uintptr_t sourceID = qoxFrontEndKeyDB(source) ? source->backendID : qoxBackEndDBID(source);
  const bool hadObjects = destination->firstKey != nullptr;
  QOXFlatKeyWord* keys = nullptr;
  size_t keysLength = 0;
  if (QOXError err = qoxKeySetFlatten(set, &keys, &keysLength); err != kQOXErrNoErr) return err;
  uintptr_t* changed = nullptr;
  size_t changedLength = 0;
  QOXError err = qoxCopyKeys_back(destination->context, sourceID, keys, keysLength, destination->backendID,
                                  outSet != nullptr, &changed, &changedLength);
  if (keys != nullptr) QOXFreeData(keys);
  if (err == kQOXErrNoErr) err = TakeInKeyArray(destination, !hadObjects);
  if (err == kQOXErrNoErr && outSet != nullptr) {
    err = heldKeys ? qoxKeySetUnflatten(destination, changed, changedLength, outSet) : QOXNewKeySet(destination, outSet);
  }
  qoxKeyRefreshFromList(destination, changed, changedLength);
  return err;
}

}  // namespace

QOXError qoxCopyKeys_internal(QOXKeySet* set, QOXKeyDB* destination, QOXKeySet** outSet) {
  if (outSet != nullptr) *outSet = nullptr;
  destination->addCache[0] = {nullptr, nullptr};
  destination->addCache[1] = {nullptr, nullptr};
  const bool heldKeys = RealKeys(destination) > 0;
  const bool frontEnd = qoxFrontEndKeyDB(destination);
  if (frontEnd && qoxKeySetIsFlattenable(set)) return CopyWholeKeysToFrontEnd(set, destination, heldKeys, outSet);
  // The copied keys, for the out set: each key is met once, and the
  // objects below it follow it, so a key repeats only consecutively.
  ScratchArray<QOXKeyDBObj*> copied(destination->context);
  {
    IterRef iter;
    if (QOXError err = qoxNewKeyIterFromKeySet(set, iter.out()); err != kQOXErrNoErr) return err;
    for (;;) {
      QOXKeyDBObj* object = nullptr;
      QOXError err = qoxKeyIterNextObject(iter.get(), &object);
      if (err == kQOXErrEndOfIteration) break;
      if (err != kQOXErrNoErr) return err;
      QOXKeyDBObj* copy = nullptr;
      if (err = qoxKeyDBAddObject(destination, object, &copy); err != kQOXErrNoErr) return err;
      if (frontEnd) (void)qoxKeyDBObjRefresh(copy, false);
      if (outSet != nullptr && heldKeys) {
        QOXKeyDBObj* key = qoxObjTopKey(copy);
        if ((copied.size() == 0 || copied[copied.size() - 1] != key) && !copied.Push(key)) return kQOXErrOutOfMemory;
      }
    }
  }
  if (frontEnd) {
    if (QOXError err = TakeInKeyArray(destination, false); err != kQOXErrNoErr) return err;
  }
  if (outSet != nullptr) {
    QOXError err = heldKeys ? qoxNewKeyListSet(destination, copied.begin(), static_cast<uint32_t>(copied.size()), outSet)
                            : QOXNewKeySet(destination, outSet);
    if (err != kQOXErrNoErr) return err;
  }
  qoxKeyDBChanged(destination, true);
  return kQOXErrNoErr;
}

QOXError QOXCopyKeys(QOXKeySet* set, QOXKeyDB* destination, QOXKeySet** outSet) {
  if (outSet != nullptr) *outSet = nullptr;
  if (!qoxKeySetIsValid(set) || !qoxKeyDBIsValid(destination)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxCopyKeys_internal(set, destination, outSet);
}

QOXError QOXCopyKeyDBObj(QOXKeyDBObj* object, QOXKeyDB* destination, QOXKeyDBObj** outObject) {
  if (outObject != nullptr) *outObject = nullptr;
  if (!qoxKeyDBObjIsValid(object) || !qoxKeyDBIsValid(destination)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  SetRef one;
  if (QOXError err = qoxNewOneKeySetInternal(object, one.out()); err != kQOXErrNoErr) return err;
  SetRef copied;
  if (QOXError err = qoxCopyKeys_internal(one.get(), destination, outObject != nullptr ? copied.out() : nullptr);
      err != kQOXErrNoErr)
    return err;
  if (outObject != nullptr) *outObject = qoxFirstKeyInKeySet(copied.get());
  return kQOXErrNoErr;
}

QOXError QOXDeleteKeys(QOXKeySet* set) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeyDB* db = set->keyDB;
  {
    IterRef iter;
    if (QOXError err = qoxNewKeyIterFromKeySet(set, iter.out()); err != kQOXErrNoErr) return err;
    for (;;) {
      QOXKeyDBObj* object = nullptr;
      QOXError err = qoxKeyIterNextObject(iter.get(), &object);
      if (err == kQOXErrEndOfIteration) break;
      if (err != kQOXErrNoErr) return err;
      if (qoxKeyDBObjIsDeleted(object)) continue;
      if (err = qoxKeyDBRemoveObject(db, object); err != kQOXErrNoErr) return err;
    }
  }
  qoxKeyDBChanged(db, true);
  return kQOXErrNoErr;
}

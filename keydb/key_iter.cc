// Key iterators: sibling and key steps, sub-object requests, the depth-first
// walk, seek, and the iterators' records and chains.
#include "keydb/key_iter.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/handle_magic.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_list.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"

namespace {

constexpr int8_t kNotStarted = -1;
constexpr int8_t kKeyLevel = 0;
constexpr int8_t kChildLevel = 1;
constexpr int8_t kGrandchildLevel = 2;

// The set an iterator's member test asks: its own, or its list's; null once
// detached.
QOXKeySet* IterSet(const QOXKeyIter* it) {
  if (it->overList) return it->keyList != nullptr ? it->keyList->keySet : nullptr;
  return it->keySet;
}

// The member test at a position.
bool Counts(const QOXKeyIter* it, QOXKeyDBObj* object) {
  QOXKeySet* set = IterSet(it);
  if (set == nullptr || !qoxKeyDBObjIsReal(object)) return false;
  if (it->overList && qoxObjectType(object) == kQOXKeyDBObjType_Key) return true;
  return set->isMember(set, object);
}

// The first of the current object's siblings: the database's first
// top-level object at level 0, else the parent's first child.
QOXKeyDBObj* FirstSibling(const QOXKeyIter* it) {
  if (it->level <= kKeyLevel) {
    QOXKeySet* set = IterSet(it);
    return set != nullptr ? set->keyDB->firstKey : nullptr;
  }
  QOXKeyDBObj* parent = qoxObjParent(it->current);
  return parent != nullptr ? parent->child : nullptr;
}

void Reset(QOXKeyIter* it) {
  it->index = -1;
  it->level = kNotStarted;
  it->current = nullptr;
  it->atEnd = 0;
}

void Climb(QOXKeyIter* it) {
  it->current = qoxObjParent(it->current);
  --it->level;
  it->atEnd = 0;
}

// A step of n (signed) counting siblings at the current level
// (sKeyIterMoveAtLevel).
QOXError MoveAtLevel(QOXKeyIter* it, int32_t n) {
  if (n >= 0) {
    if (it->atEnd != 0 || it->current == nullptr) return kQOXErrEndOfIteration;
    if (n == 0 && !Counts(it, it->current)) n = 1;
    QOXKeyDBObj* object = it->current;
    while (n > 0) {
      if (object->next == nullptr) {
        it->atEnd = 1;
        it->current = object;
        return kQOXErrEndOfIteration;
      }
      object = object->next;
      if (Counts(it, object)) --n;
    }
    it->current = object;
    it->atEnd = 0;
    return kQOXErrNoErr;
  }
  if (it->current == nullptr) return kQOXErrEndOfIteration;
  if (!Counts(it, it->current)) (void)MoveAtLevel(it, 0);
  // The counting siblings before the current object: the wanted one is
  // |n| of them back from it.
  QOXKeyDBObj* first = nullptr;
  uint64_t before = 0;
  QOXKeyDBObj* o = FirstSibling(it);
  for (; o != nullptr && o != it->current; o = o->next) {
    if (!Counts(it, o)) continue;
    if (first == nullptr) first = o;
    ++before;
  }
  if (first == nullptr) {
    for (; o != nullptr; o = o->next) {
      if (Counts(it, o)) {
        first = o;
        break;
      }
    }
  }
  if (first == nullptr) return kQOXErrEndOfIteration;
  const uint64_t back = static_cast<uint64_t>(-static_cast<int64_t>(n));
  if (before < back) {
    it->current = first;
    it->atEnd = 0;
    return kQOXErrEndOfIteration;
  }
  uint64_t wanted = before - back;
  for (o = first;; o = o->next) {
    if (!Counts(it, o)) continue;
    if (wanted-- == 0) break;
  }
  it->current = o;
  it->atEnd = 0;
  return kQOXErrNoErr;
}

// A step of n (signed) keys (sKeyIterMove).
QOXError KeyStep(QOXKeyIter* it, int32_t n) {
  if (n == 0) return kQOXErrNoErr;
  if (it->overList) {
    const QOXKeyList* list = it->keyList;
    const int64_t count = list != nullptr ? list->keyCount : 0;
    it->level = kKeyLevel;
    const int64_t i = int64_t{it->index} + n;
    if (i >= 0 && i < count) {
      it->current = list->keys[i];
      it->index = static_cast<int32_t>(i);
      it->atEnd = 0;
      return kQOXErrNoErr;
    }
    it->atEnd = 1;
    it->index = static_cast<int32_t>(count - 1);
    it->current = count > 0 ? list->keys[count - 1] : nullptr;
    return kQOXErrEndOfIteration;
  }
  QOXKeySet* set = it->keySet;
  if (set == nullptr) return kQOXErrEndOfIteration;
  int32_t remaining = n;
  if (it->level == kNotStarted) {
    if (set->keyDB->firstKey == nullptr) return kQOXErrEndOfIteration;
    it->current = set->keyDB->firstKey;
    it->level = kKeyLevel;
    it->atEnd = 0;
    --remaining;
  } else if (it->level > kKeyLevel) {
    it->current = qoxObjTopKey(it->current);
    it->level = kKeyLevel;
    it->atEnd = 0;
  }
  const QOXError err = MoveAtLevel(it, remaining);
  if (err == kQOXErrNoErr) it->index += n;
  return err;
}

// The next object of a type at level 1 or 2 (sKeyIterNextSubObject).
QOXError NextSubObject(QOXKeyIter* it, int8_t level, int32_t type) {
  if (it->level == kNotStarted) {
    if (QOXError err = KeyStep(it, 1); err != kQOXErrNoErr) return err;
  }
  if (level >= it->level && it->atEnd != 0) return kQOXErrEndOfIteration;
  if (it->level < level) {
    while (it->level < level) {
      if (it->current->child == nullptr) return kQOXErrEndOfIteration;
      it->current = it->current->child;
      ++it->level;
      it->atEnd = 0;
      if (QOXError err = MoveAtLevel(it, 0); err != kQOXErrNoErr) return err;
    }
  } else {
    while (it->level > level) Climb(it);
    if (QOXError err = MoveAtLevel(it, 1); err != kQOXErrNoErr) return err;
  }
  while (qoxObjectType(it->current) != type) {
    if (QOXError err = MoveAtLevel(it, 1); err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

// After a failed subkey or user-ID request the iterator stands on the key
// above its position again. It stays unstarted when it never reached a
// key, and stands on no object after running off the end of the keys.
void BackToKey(QOXKeyIter* it) {
  if (it->level == kNotStarted) return;
  if (it->level == kKeyLevel && it->atEnd != 0) {
    it->current = nullptr;
  } else if (it->current != nullptr) {
    it->current = qoxObjTopKey(it->current);
  }
  it->level = kKeyLevel;
  it->atEnd = 0;
}

QOXError NextOfKind(QOXKeyIter* it, int32_t kind, QOXKeyDBObj** outObject) {
  QOXError err = kQOXErrNoErr;
  switch (kind) {
    case kQOXKeyIterKind_Key:
      err = KeyStep(it, 1);
      break;
    case kQOXKeyIterKind_SubKey:
    case kQOXKeyIterKind_UserID:
      err = NextSubObject(it, kChildLevel,
                          kind == kQOXKeyIterKind_SubKey ? kQOXKeyDBObjType_SubKey : kQOXKeyDBObjType_UserID);
      if (err != kQOXErrNoErr) BackToKey(it);
      break;
    case kQOXKeyIterKind_Sig:
      do {
        err = NextSubObject(it, kGrandchildLevel, kQOXKeyDBObjType_Sig);
      } while (err == kQOXErrNoErr && qoxSigType(it->current) == kQOXSigType_CertRevocation);
      break;
    case kQOXKeyIterKind_Any:
      return qoxKeyIterNextObject(it, outObject);
    default:
      return kQOXErrBadParams;
  }
  if (err == kQOXErrNoErr) *outObject = it->current;
  return err;
}

// Backward to the previous object of a type at a level.
QOXError PrevAtLevel(QOXKeyIter* it, int8_t level, int32_t type, QOXKeyDBObj** outObject) {
  *outObject = nullptr;
  if (it->level < level) return kQOXErrEndOfIteration;
  while (it->level > level) Climb(it);
  do {
    if (QOXError err = MoveAtLevel(it, -1); err != kQOXErrNoErr) return err;
  } while (qoxObjectType(it->current) != type);
  *outObject = it->current;
  return kQOXErrNoErr;
}

QOXKeyIter*& ChainHead(QOXKeyIter* it) {
  return it->overList ? it->keyList->firstIter : it->keySet->firstIter;
}

void Link(QOXKeyIter* it) {
  QOXKeyIter*& head = ChainHead(it);
  it->prevIter = nullptr;
  it->nextIter = head;
  if (head != nullptr) head->prevIter = it;
  head = it;
}

void Unlink(QOXKeyIter* it) {
  if (it->overList ? it->keyList == nullptr : it->keySet == nullptr) return;
  QOXKeyIter*& head = ChainHead(it);
  if (it->prevIter != nullptr) {
    it->prevIter->nextIter = it->nextIter;
  } else if (head == it) {
    head = it->nextIter;
  }
  if (it->nextIter != nullptr) it->nextIter->prevIter = it->prevIter;
  it->prevIter = nullptr;
  it->nextIter = nullptr;
}

QOXError NewIter(QOXContext* context, QOXKeyList* list, QOXKeySet* set, QOXKeyIter** outIter) {
  *outIter = nullptr;
  auto* it = static_cast<QOXKeyIter*>(qoxContextMemAlloc(context, sizeof(QOXKeyIter), kQOXMemoryMgrFlags_Clear));
  if (it == nullptr) return kQOXErrOutOfMemory;
  std::memset(static_cast<void*>(it), 0, sizeof *it);
  it->context = context;
  qoxSetMagic(it->magic, kQOXKeyIterMagic);
  it->overList = list != nullptr;
  it->keyList = list;
  it->keySet = set;
  Reset(it);
  if (list != nullptr) {
    ++list->refCount;
    Link(it);
  } else if (set != nullptr) {
    if (!qoxKeySetIsRootSet(set)) ++set->refCount;
    Link(it);
  }
  *outIter = it;
  return kQOXErrNoErr;
}

}  // namespace

bool qoxKeyIterIsValid(const QOXKeyIter* iter) { return iter != nullptr && qoxHasMagic(iter->magic, kQOXKeyIterMagic); }

void qoxResetKeyIter(QOXKeyIter* iter) { Reset(iter); }

void qoxDetachKeyIter(QOXKeyIter* iter) {
  iter->keySet = nullptr;
  iter->prevIter = nullptr;
  iter->nextIter = nullptr;
  Reset(iter);
}

QOXError qoxNewKeyIterFromKeySet(QOXKeySet* set, QOXKeyIter** outIter) {
  return NewIter(set->keyDB->context, nullptr, set, outIter);
}

void qoxFreeKeyIter(QOXKeyIter* iter) {
  Unlink(iter);
  QOXKeyList* list = iter->overList ? iter->keyList : nullptr;
  QOXKeySet* set = iter->overList ? nullptr : iter->keySet;
  QOXContext* context = iter->context;
  qoxInvertMagic(iter->magic);
  if (list != nullptr) {
    qoxReleaseKeyList(list);
  } else if (set != nullptr) {
    qoxFreeKeySet(set, false);
  }
  qoxContextMemFree(context, iter);
}

QOXError QOXNewKeyIter(QOXKeyList* list, QOXKeyIter** outIter) {
  if (outIter == nullptr) return kQOXErrBadParams;
  *outIter = nullptr;
  if (!qoxKeyListIsValid(list)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return NewIter(list->context, list, nullptr, outIter);
}

QOXError QOXNewKeyIterFromKeySet(QOXKeySet* set, QOXKeyIter** outIter) {
  if (outIter == nullptr) return kQOXErrBadParams;
  *outIter = nullptr;
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxNewKeyIterFromKeySet(set, outIter);
}

QOXError QOXNewKeyIterFromKeyDB(QOXKeyDB* db, QOXKeyIter** outIter) {
  if (outIter == nullptr) return kQOXErrBadParams;
  *outIter = nullptr;
  if (!qoxKeyDBIsValid(db) || db->rootSet == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxNewKeyIterFromKeySet(db->rootSet, outIter);
}

QOXError QOXCopyKeyIter(QOXKeyIter* iter, QOXKeyIter** outIter) {
  if (outIter == nullptr) return kQOXErrBadParams;
  *outIter = nullptr;
  if (!qoxKeyIterIsValid(iter) || (iter->keyList == nullptr && iter->keySet == nullptr)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeyIter* copy = nullptr;
  if (QOXError err = NewIter(iter->context, iter->overList ? iter->keyList : nullptr,
                             iter->overList ? nullptr : iter->keySet, &copy);
      err != kQOXErrNoErr)
    return err;
  copy->index = iter->index;
  copy->current = iter->current;
  copy->level = iter->level;
  copy->atEnd = iter->atEnd;
  *outIter = copy;
  return kQOXErrNoErr;
}

QOXError QOXFreeKeyIter(QOXKeyIter* iter) {
  if (!qoxKeyIterIsValid(iter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  qoxFreeKeyIter(iter);
  return kQOXErrNoErr;
}

QOXError qoxKeyIterNextObject(QOXKeyIter* iter, QOXKeyDBObj** outObject) {
  *outObject = nullptr;
  if (iter->level == kNotStarted) {
    if (QOXError err = KeyStep(iter, 1); err != kQOXErrNoErr) return err;
    *outObject = iter->current;
    return kQOXErrNoErr;
  }
  // Into the children of anything but a signature (never from a position
  // past the end).
  if (iter->atEnd == 0 && iter->current != nullptr && iter->level < kGrandchildLevel &&
      qoxObjectType(iter->current) != kQOXKeyDBObjType_Sig && iter->current->child != nullptr) {
    iter->current = iter->current->child;
    ++iter->level;
    iter->atEnd = 0;
    if (MoveAtLevel(iter, 0) == kQOXErrNoErr) {
      *outObject = iter->current;
      return kQOXErrNoErr;
    }
  }
  while (iter->level > kKeyLevel) {
    if (MoveAtLevel(iter, 1) == kQOXErrNoErr) {
      *outObject = iter->current;
      return kQOXErrNoErr;
    }
    Climb(iter);
  }
  if (QOXError err = KeyStep(iter, 1); err != kQOXErrNoErr) return err;
  *outObject = iter->current;
  return kQOXErrNoErr;
}

QOXError qoxKeyIterPrevSubKey(QOXKeyIter* iter, QOXKeyDBObj** outObject) {
  return PrevAtLevel(iter, kChildLevel, kQOXKeyDBObjType_SubKey, outObject);
}

QOXError qoxKeyIterPrevUIDSig(QOXKeyIter* iter, QOXKeyDBObj** outObject) {
  return PrevAtLevel(iter, kGrandchildLevel, kQOXKeyDBObjType_Sig, outObject);
}

QOXError QOXKeyIterNextKeyDBObj(QOXKeyIter* iter, int32_t kind, QOXKeyDBObj** outObject) {
  if (outObject == nullptr) return kQOXErrBadParams;
  *outObject = nullptr;
  if (!qoxKeyIterIsValid(iter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  const QOXError err = NextOfKind(iter, kind, outObject);
  if (err != kQOXErrNoErr) *outObject = nullptr;
  return err;
}

QOXError QOXKeyIterPrevKeyDBObj(QOXKeyIter* iter, int32_t kind, QOXKeyDBObj** outObject) {
  if (outObject == nullptr) return kQOXErrBadParams;
  *outObject = nullptr;
  if (!qoxKeyIterIsValid(iter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXError err = kQOXErrNoErr;
  switch (kind) {
    case kQOXKeyIterKind_Key:
      err = KeyStep(iter, -1);
      if (err == kQOXErrNoErr) *outObject = iter->current;
      break;
    case kQOXKeyIterKind_SubKey:
      err = qoxKeyIterPrevSubKey(iter, outObject);
      break;
    case kQOXKeyIterKind_Sig:
      err = qoxKeyIterPrevUIDSig(iter, outObject);
      break;
    case kQOXKeyIterKind_UserID:
      // Forward, as the next user-ID request.
      err = NextOfKind(iter, kind, outObject);
      break;
    default:
      return kQOXErrBadParams;
  }
  if (err != kQOXErrNoErr) *outObject = nullptr;
  return err;
}

QOXError QOXKeyIterGetKeyDBObj(QOXKeyIter* iter, int32_t kind, QOXKeyDBObj** outObject) {
  if (outObject == nullptr) return kQOXErrBadParams;
  *outObject = nullptr;
  if (!qoxKeyIterIsValid(iter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  int8_t level = 0;
  int32_t type = 0;
  switch (kind) {
    case kQOXKeyIterKind_Key:
      level = kKeyLevel;
      type = kQOXKeyDBObjType_Key;
      break;
    case kQOXKeyIterKind_SubKey:
      level = kChildLevel;
      type = kQOXKeyDBObjType_SubKey;
      break;
    case kQOXKeyIterKind_UserID:
      level = kChildLevel;
      type = kQOXKeyDBObjType_UserID;
      break;
    case kQOXKeyIterKind_Sig:
      level = kGrandchildLevel;
      type = kQOXKeyDBObjType_Sig;
      break;
    default:
      return kQOXErrBadParams;
  }
  if (iter->current == nullptr || iter->level < level || (iter->level == level && iter->atEnd != 0))
    return kQOXErrEndOfIteration;
  QOXKeyDBObj* object = iter->current;
  for (int8_t l = iter->level; l > level; --l) object = qoxObjParent(object);
  if (qoxObjectType(object) != type) return kQOXErrEndOfIteration;
  *outObject = object;
  return kQOXErrNoErr;
}

QOXError QOXKeyIterRewind(QOXKeyIter* iter, int32_t kind) {
  if (!qoxKeyIterIsValid(iter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  switch (kind) {
    case kQOXKeyIterKind_Key:
      Reset(iter);
      break;
    case kQOXKeyIterKind_SubKey:
    case kQOXKeyIterKind_UserID:
      if (iter->level > kKeyLevel) {
        iter->current = qoxObjTopKey(iter->current);
        iter->level = kKeyLevel;
        iter->atEnd = 0;
      }
      break;
    case kQOXKeyIterKind_Sig:
      if (iter->level == kGrandchildLevel) Climb(iter);
      break;
    default:
      return kQOXErrBadParams;
  }
  return kQOXErrNoErr;
}

QOXError QOXKeyIterMove(QOXKeyIter* iter, int32_t n, QOXKeyDBObj** outKey) {
  if (!qoxKeyIterIsValid(iter) || outKey == nullptr) return kQOXErrBadParams;
  *outKey = nullptr;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (QOXError err = KeyStep(iter, n); err != kQOXErrNoErr) return err;
  *outKey = iter->current != nullptr ? qoxObjTopKey(iter->current) : nullptr;
  return kQOXErrNoErr;
}

QOXContext* QOXPeekKeyIterContext(QOXKeyIter* iter) {
  if (!qoxKeyIterIsValid(iter)) return nullptr;
  if (iter->overList && iter->keyList != nullptr) return QOXPeekKeyListContext(iter->keyList);
  return iter->keySet != nullptr ? iter->keySet->keyDB->context : iter->context;
}

int32_t QOXKeyIterIndex(QOXKeyIter* iter) {
  if (!qoxKeyIterIsValid(iter) || qoxEnterFunction() != kQOXErrNoErr) return 0;
  return iter->index;
}

int32_t QOXKeyIterSeek(QOXKeyIter* iter, QOXKeyDBObj* key) {
  if (!qoxKeyIterIsValid(iter) || !qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  Reset(iter);
  if (iter->overList) {
    const QOXKeyList* list = iter->keyList;
    const uint32_t count = list != nullptr ? list->keyCount : 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (list->keys[i] != key) continue;
      iter->index = static_cast<int32_t>(i);
      iter->current = key;
      iter->level = kKeyLevel;
      return iter->index;
    }
    return -1;
  }
  while (KeyStep(iter, 1) == kQOXErrNoErr) {
    if (iter->current == key) return iter->index;
  }
  Reset(iter);
  return -1;
}

// Key lists: making, filling and sorting, updating, releasing, and their
// detachment from a set that goes with its key database.
#include "keydb/key_list.h"

#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "keydb/handle_magic.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_iter.h"
#include "keydb/key_order.h"
#include "keydb/key_set.h"
#include "keydb/scratch_array.h"

namespace {

uint32_t CountMembers(QOXKeySet* set) {
  uint32_t count = 0;
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (qoxKeySetIsMember(key, set)) ++count;
  }
  return count;
}

// Sorts the keys by the list's ordering (none for Any). The values each
// comparison needs are read once per key; the sort is a merge sort, which
// stays within the array whatever the comparisons answer.
QOXError SortKeys(QOXContext* context, QOXKeyDBObj** keys, uint32_t count, QOXKeyOrdering ordering, bool reverse) {
  if (!qoxKeyOrderingSorts(ordering) || count < 2) return kQOXErrNoErr;
  ScratchArray<KeyOrderValue> values(context);
  ScratchArray<char> names(context);
  if (!values.Make(count)) return kQOXErrOutOfMemory;
  const bool byName = ordering == kQOXKeyOrdering_UserID;
  if (byName && !names.Make(size_t{count} * (kKeyOrderNameBytes + 1))) return kQOXErrOutOfMemory;
  for (uint32_t i = 0; i < count; ++i) {
    qoxKeyOrderValue(keys[i], ordering, byName ? &names[size_t{i} * (kKeyOrderNameBytes + 1)] : nullptr, &values[i]);
  }
  std::stable_sort(values.begin(), values.end(), [ordering, reverse](const KeyOrderValue& a, const KeyOrderValue& b) {
    const int32_t c = qoxKeyOrderCompare(a, b, ordering);
    return reverse ? c > 0 : c < 0;
  });
  for (uint32_t i = 0; i < count; ++i) keys[i] = values[i].key;
  return kQOXErrNoErr;
}

// A new key array of the set's member keys in the list's order; null with
// no error for an empty set.
QOXError MakeKeys(QOXKeyList* list, QOXKeyDBObj*** outKeys, uint32_t* outCount) {
  *outKeys = nullptr;
  *outCount = 0;
  QOXKeySet* set = list->keySet;
  const uint32_t count = CountMembers(set);
  if (count == 0) return kQOXErrNoErr;
  auto** keys = static_cast<QOXKeyDBObj**>(
      qoxContextMemAlloc(list->context, size_t{count} * sizeof(QOXKeyDBObj*), kQOXMemoryMgrFlags_Clear));
  if (keys == nullptr) return kQOXErrOutOfMemory;
  uint32_t n = 0;
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr && n < count; key = key->next) {
    if (qoxKeySetIsMember(key, set)) keys[n++] = key;
  }
  if (QOXError err = SortKeys(list->context, keys, n, list->ordering, list->reverse); err != kQOXErrNoErr) {
    qoxContextMemFree(list->context, keys);
    return err;
  }
  *outKeys = keys;
  *outCount = n;
  return kQOXErrNoErr;
}

void UnlinkList(QOXKeyList* list) {
  QOXKeySet* set = list->keySet;
  if (list->prevList != nullptr) {
    list->prevList->nextList = list->nextList;
  } else if (set != nullptr && set->firstList == list) {
    set->firstList = list->nextList;
  }
  if (list->nextList != nullptr) list->nextList->prevList = list->prevList;
  list->prevList = nullptr;
  list->nextList = nullptr;
}

}  // namespace

bool qoxKeyListIsValid(const QOXKeyList* list) { return list != nullptr && qoxHasMagic(list->magic, kQOXKeyListMagic); }

QOXError QOXOrderKeySet(QOXKeySet* set, QOXKeyOrdering ordering, bool reverse, QOXKeyList** outList) {
  if (outList == nullptr) return kQOXErrBadParams;
  *outList = nullptr;
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (ordering != kQOXKeyOrdering_Any && !qoxKeyOrderingSorts(ordering)) return kQOXErrBadParams;
  QOXContext* context = set->keyDB->context;
  auto* list = static_cast<QOXKeyList*>(qoxContextMemAlloc(context, sizeof(QOXKeyList), kQOXMemoryMgrFlags_Clear));
  if (list == nullptr) return kQOXErrOutOfMemory;
  std::memset(static_cast<void*>(list), 0, sizeof *list);
  qoxSetMagic(list->magic, kQOXKeyListMagic);
  list->refCount = 1;
  list->keySet = set;
  list->ordering = ordering;
  list->reverse = reverse;
  list->context = context;
  if (QOXError err = MakeKeys(list, &list->keys, &list->keyCount); err != kQOXErrNoErr) {
    qoxContextMemFree(context, list);
    return err;
  }
  if (!qoxKeySetIsRootSet(set)) ++set->refCount;
  list->nextList = set->firstList;
  if (set->firstList != nullptr) set->firstList->prevList = list;
  set->firstList = list;
  *outList = list;
  return kQOXErrNoErr;
}

QOXContext* QOXPeekKeyListContext(QOXKeyList* list) {
  if (!qoxKeyListIsValid(list)) return nullptr;
  return list->keySet != nullptr ? list->keySet->keyDB->context : list->context;
}

QOXError QOXIncKeyListRefCount(QOXKeyList* list) {
  if (!qoxKeyListIsValid(list)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  ++list->refCount;
  return kQOXErrNoErr;
}

QOXError QOXFreeKeyList(QOXKeyList* list) {
  if (!qoxKeyListIsValid(list)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  qoxReleaseKeyList(list);
  return kQOXErrNoErr;
}

void qoxReleaseKeyList(QOXKeyList* list) {
  if (--list->refCount > 0) return;
  qoxInvertMagic(list->magic);
  UnlinkList(list);
  QOXContext* context = list->context;
  if (list->keys != nullptr) qoxContextMemFree(context, list->keys);
  list->keys = nullptr;
  list->keyCount = 0;
  if (list->keySet != nullptr) qoxFreeKeySet(list->keySet, false);
  qoxContextMemFree(context, list);
}

QOXError qoxUpdateList(QOXKeyList* list) {
  if (!qoxKeyListIsValid(list)) return kQOXErrBadParams;
  if (list->keySet == nullptr) return kQOXErrNoErr;
  QOXKeyDBObj** keys = nullptr;
  uint32_t count = 0;
  if (QOXError err = MakeKeys(list, &keys, &count); err != kQOXErrNoErr) return err;
  if (list->keys != nullptr) qoxContextMemFree(list->context, list->keys);
  list->keys = keys;
  list->keyCount = count;
  return kQOXErrNoErr;
}

void qoxDetachFromKeySet(QOXKeySet* set) {
  // A list stays a list without keys; its iterators stay on it, standing
  // nowhere. Set iterators lose their set.
  for (QOXKeyList* list = set->firstList; list != nullptr;) {
    QOXKeyList* next = list->nextList;
    for (QOXKeyIter* it = list->firstIter; it != nullptr; it = it->nextIter) qoxResetKeyIter(it);
    if (list->keys != nullptr) qoxContextMemFree(list->context, list->keys);
    list->keys = nullptr;
    list->keyCount = 0;
    list->keySet = nullptr;
    list->prevList = nullptr;
    list->nextList = nullptr;
    list = next;
  }
  set->firstList = nullptr;
  for (QOXKeyIter* it = set->firstIter; it != nullptr;) {
    QOXKeyIter* next = it->nextIter;
    qoxDetachKeyIter(it);
    it = next;
  }
  set->firstIter = nullptr;
}

QOXError qoxGetFirstSubKey(QOXKeyDBObj* key, QOXKeyDBObj** outSubKey) {
  *outSubKey = nullptr;
  if (key == nullptr) return kQOXErrItemNotFound;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == kQOXKeyDBObjType_SubKey) {
      *outSubKey = c;
      return kQOXErrNoErr;
    }
  }
  return kQOXErrItemNotFound;
}

int32_t QOXCompareKeys(QOXKeyDBObj* a, QOXKeyDBObj* b, QOXKeyOrdering ordering) {
  if (qoxEnterFunction() != kQOXErrNoErr || !qoxKeyIsValid(a) || !qoxKeyIsValid(b)) return 0;
  if (!qoxKeyOrderingSorts(ordering)) return 0;
  char nameA[kKeyOrderNameBytes + 1];
  char nameB[kKeyOrderNameBytes + 1];
  KeyOrderValue va;
  KeyOrderValue vb;
  qoxKeyOrderValue(a, ordering, nameA, &va);
  qoxKeyOrderValue(b, ordering, nameB, &vb);
  return qoxKeyOrderCompare(va, vb, ordering);
}

int32_t QOXCompareUserIDStrings(const char* a, const char* b) {
  if (qoxEnterFunction() != kQOXErrNoErr || a == nullptr || b == nullptr) return 0;
  return qoxCompareUserIDStrings(a, b);
}

// The enumerated kind of key set: its data, membership, the linear merge
// of two sets, and the one-object and key-list sets.
#include "keydb/key_set_enum.h"

#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/scratch_array.h"

namespace {

EnumSetData* Data(const QOXKeySet* set) { return static_cast<EnumSetData*>(set->priv); }

// The key's 8-byte key ID; a key whose ID cannot be had (an unfetchable
// front-end key) gets an all-zero value, which still orders.
QOXKeyID KeyIDOf(QOXKeyDBObj* key) {
  QOXKeyID id;
  std::memset(&id, 0, sizeof id);
  (void)qoxKeyID8(key, nullptr, &id);
  return id;
}

// Entries of the run that starts at a key entry: the key entry and every
// child group below it.
uint32_t RunLength(const EnumSetData* d, uint32_t keyEntry) {
  const int32_t children = d->entries[keyEntry].count;
  uint32_t at = keyEntry + 1;
  for (int32_t g = 0; g < children; ++g) {
    const int32_t m = d->entries[at].count;
    at += 1 + (m > 0 ? static_cast<uint32_t>(m) : 0);
  }
  return at - keyEntry;
}

// Entries of the child group that starts at a child entry.
uint32_t GroupLength(const EnumSetData* d, uint32_t childEntry) {
  const int32_t m = d->entries[childEntry].count;
  return 1 + (m > 0 ? static_cast<uint32_t>(m) : 0);
}

// Appends to a set's data whose arrays have room (the callers size them).
struct Writer {
  EnumSetData* d;
  void Entry(QOXKeyDBObj* object, int32_t count) { d->entries[d->entryCount++] = {object, count}; }
  uint32_t KeySlot(const QOXKeyID& id) {
    d->keys[d->keyCount++] = {d->entryCount, id};
    return d->entryCount;
  }
  void CopyEntries(const EnumSetData* from, uint32_t first, uint32_t n) {
    std::memcpy(&d->entries[d->entryCount], &from->entries[first], n * sizeof(EnumSetEntry));
    d->entryCount += n;
  }
  // A key's whole run with its slot (sCopyKeyAndChildren).
  void CopyRun(const EnumSetData* from, const EnumSetKeySlot& slot) {
    KeySlot(slot.keyID);
    CopyEntries(from, slot.entry, RunLength(from, slot.entry));
  }
};

// One child group of a run: where it starts, and whether the other set's
// run listed the same child.
struct ChildGroup {
  QOXKeyDBObj* child;
  uint32_t entry;
  bool matched;
};

bool ByChild(const ChildGroup& a, const ChildGroup& b) { return std::less<QOXKeyDBObj*>()(a.child, b.child); }

// The child groups of a run, sorted by child object for lookup.
bool IndexGroups(const EnumSetData* d, uint32_t keyEntry, ScratchArray<ChildGroup>& out) {
  const int32_t n = d->entries[keyEntry].count;
  if (!out.Make(static_cast<size_t>(n))) return false;
  uint32_t at = keyEntry + 1;
  for (int32_t g = 0; g < n; ++g) {
    out[g] = {d->entries[at].object, at, false};
    at += GroupLength(d, at);
  }
  std::sort(out.begin(), out.end(), ByChild);
  return true;
}

ChildGroup* FindGroup(ScratchArray<ChildGroup>& groups, QOXKeyDBObj* child) {
  const ChildGroup probe{child, 0, false};
  ChildGroup* it = std::lower_bound(groups.begin(), groups.end(), probe, ByChild);
  return it != groups.end() && it->child == child ? it : nullptr;
}

// Merges one key listed in both sets with explicit child groups
// (sMergeChildren): A's groups in A's order, a child listed whole by either
// side whole, grandchildren of both sides without repeats; then B's groups
// that A does not list, in B's order.
QOXError MergeChildren(Writer& w, QOXContext* context, const EnumSetData* a, const EnumSetKeySlot& sa,
                       const EnumSetData* b, const EnumSetKeySlot& sb) {
  ScratchArray<ChildGroup> bGroups(context);
  if (!IndexGroups(b, sb.entry, bGroups)) return kQOXErrOutOfMemory;
  ScratchArray<QOXKeyDBObj*> aSigs(context);
  w.KeySlot(sa.keyID);
  const uint32_t keyEntry = w.d->entryCount;
  w.Entry(a->entries[sa.entry].object, 0);
  int32_t children = 0;
  uint32_t at = sa.entry + 1;
  for (int32_t g = 0; g < a->entries[sa.entry].count; ++g, ++children) {
    const EnumSetEntry& child = a->entries[at];
    const uint32_t length = GroupLength(a, at);
    ChildGroup* other = FindGroup(bGroups, child.object);
    if (other == nullptr) {
      w.CopyEntries(a, at, length);
    } else {
      other->matched = true;
      const EnumSetEntry& bChild = b->entries[other->entry];
      if (child.count == kEnumSetWhole || bChild.count == kEnumSetWhole) {
        w.Entry(child.object, kEnumSetWhole);
      } else {
        const uint32_t childEntry = w.d->entryCount;
        w.Entry(child.object, 0);
        const uint32_t aCount = static_cast<uint32_t>(child.count);
        for (uint32_t s = 1; s <= aCount; ++s) w.Entry(a->entries[at + s].object, 0);
        if (!aSigs.Make(aCount)) return kQOXErrOutOfMemory;
        for (uint32_t s = 0; s < aCount; ++s) aSigs[s] = a->entries[at + 1 + s].object;
        std::sort(aSigs.begin(), aSigs.end(), std::less<QOXKeyDBObj*>());
        const uint32_t bCount = static_cast<uint32_t>(bChild.count);
        uint32_t written = aCount;
        for (uint32_t s = 1; s <= bCount; ++s) {
          QOXKeyDBObj* sig = b->entries[other->entry + s].object;
          if (!std::binary_search(aSigs.begin(), aSigs.end(), sig, std::less<QOXKeyDBObj*>())) {
            w.Entry(sig, 0);
            ++written;
          }
        }
        w.d->entries[childEntry].count = static_cast<int32_t>(written);
      }
    }
    at += length;
  }
  // B's groups that A does not list, in B's order.
  at = sb.entry + 1;
  for (int32_t g = 0; g < b->entries[sb.entry].count; ++g) {
    const uint32_t length = GroupLength(b, at);
    if (!FindGroup(bGroups, b->entries[at].object)->matched) {
      w.CopyEntries(b, at, length);
      ++children;
    }
    at += length;
  }
  w.d->entries[keyEntry].count = children;
  return kQOXErrNoErr;
}

// One key of both sets: a whole run wins, else the runs merge.
QOXError MergeKey(Writer& w, QOXContext* context, const EnumSetData* a, const EnumSetKeySlot& sa,
                  const EnumSetData* b, const EnumSetKeySlot& sb) {
  if (a->entries[sa.entry].count == kEnumSetWhole) {
    w.CopyRun(a, sa);
  } else if (b->entries[sb.entry].count == kEnumSetWhole) {
    w.CopyRun(b, sb);
  } else {
    return MergeChildren(w, context, a, sa, b, sb);
  }
  return kQOXErrNoErr;
}

// The slots of one set from `first` whose key IDs equal the first's.
uint32_t EqualIDRun(const EnumSetData* d, uint32_t first) {
  uint32_t end = first + 1;
  while (end < d->keyCount && qoxCompareKeyIDs(&d->keys[end].keyID, &d->keys[first].keyID) == 0) ++end;
  return end;
}

QOXKeyDBObj* SlotKey(const EnumSetData* d, const EnumSetKeySlot& slot) { return d->entries[slot.entry].object; }

// --- The kind's operations ---

// The slot of the key in the key index (sFindKeyMemberOfEnumeratedSubset),
// or -1: a binary search by key ID that ends at once on the very key; on an
// equal ID of another key, a scan down and then up through the slots of
// equal IDs within the search window.
int64_t FindKeySlot(const EnumSetData* d, QOXKeyDBObj* key) {
  const QOXKeyID id = KeyIDOf(key);
  int64_t low = 0;
  int64_t high = static_cast<int64_t>(d->keyCount) - 1;
  while (low <= high) {
    const int64_t mid = low + (high - low) / 2;
    const EnumSetKeySlot& slot = d->keys[mid];
    if (SlotKey(d, slot) == key) return mid;
    const int32_t c = qoxCompareKeyIDs(&id, &slot.keyID);
    if (c > 0) {
      low = mid + 1;
    } else if (c < 0) {
      high = mid - 1;
    } else {
      for (int64_t i = mid - 1; i >= low && qoxCompareKeyIDs(&id, &d->keys[i].keyID) == 0; --i) {
        if (SlotKey(d, d->keys[i]) == key) return i;
      }
      for (int64_t i = mid + 1; i <= high && qoxCompareKeyIDs(&id, &d->keys[i].keyID) == 0; ++i) {
        if (SlotKey(d, d->keys[i]) == key) return i;
      }
      return -1;
    }
  }
  return -1;
}

bool IsMemberOfEnumeratedSubset(QOXKeySet* set, QOXKeyDBObj* object) {
  if (qoxObjKeyDB(object) != set->keyDB) return false;
  const EnumSetData* d = Data(set);
  QOXKeyDBObj* key = qoxObjTopKey(object);
  const int64_t slot = FindKeySlot(d, key);
  if (slot < 0) return false;
  if (object == key) return true;
  const uint32_t keyEntry = d->keys[slot].entry;
  const int32_t children = d->entries[keyEntry].count;
  if (children == kEnumSetWhole) return true;
  QOXKeyDBObj* parent = qoxObjParent(object);
  uint32_t at = keyEntry + 1;
  for (int32_t g = 0; g < children; ++g) {
    const EnumSetEntry& child = d->entries[at];
    if (child.object == object) return true;
    if (child.count == kEnumSetWhole) {
      if (child.object == parent) return true;
    } else {
      for (int32_t s = 1; s <= child.count; ++s) {
        if (d->entries[at + s].object == object) return true;
      }
    }
    at += GroupLength(d, at);
  }
  return false;
}

bool IsEmptyEnumeratedSubset(QOXKeySet* set) { return Data(set)->keyCount == 0; }

// MakeUnionOfEnumeratedSubsets: one walk over both key indexes in key-ID
// order. Keys of equal key IDs are matched by object among all the slots of
// that ID on either side, so that a key present in both always ends in one
// run, whatever other keys share its ID.
QOXError MakeUnionOfEnumeratedSubsets(QOXKeySet* first, QOXKeySet* second, QOXKeySet** outSet) {
  *outSet = nullptr;
  const EnumSetData* a = Data(first);
  const EnumSetData* b = Data(second);
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxNewEnumeratedSet(first->keyDB, a->keyCount + b->keyCount, a->entryCount + b->entryCount, &set);
      err != kQOXErrNoErr)
    return err;
  QOXContext* context = first->keyDB->context;
  Writer w{Data(set)};
  uint32_t i = 0;
  uint32_t j = 0;
  QOXError err = kQOXErrNoErr;
  while (err == kQOXErrNoErr && i < a->keyCount && j < b->keyCount) {
    const int32_t c = qoxCompareKeyIDs(&a->keys[i].keyID, &b->keys[j].keyID);
    if (c < 0) {
      w.CopyRun(a, a->keys[i++]);
    } else if (c > 0) {
      w.CopyRun(b, b->keys[j++]);
    } else {
      const uint32_t aEnd = EqualIDRun(a, i);
      const uint32_t bEnd = EqualIDRun(b, j);
      ScratchArray<bool> bUsed(context);
      if (!bUsed.Make(bEnd - j)) {
        err = kQOXErrOutOfMemory;
        break;
      }
      std::fill(bUsed.begin(), bUsed.end(), false);
      for (uint32_t x = i; x < aEnd && err == kQOXErrNoErr; ++x) {
        uint32_t y = j;
        while (y < bEnd && SlotKey(b, b->keys[y]) != SlotKey(a, a->keys[x])) ++y;
        if (y == bEnd) {
          w.CopyRun(a, a->keys[x]);
        } else {
          bUsed[y - j] = true;
          err = MergeKey(w, context, a, a->keys[x], b, b->keys[y]);
        }
      }
      for (uint32_t y = j; y < bEnd && err == kQOXErrNoErr; ++y) {
        if (!bUsed[y - j]) w.CopyRun(b, b->keys[y]);
      }
      i = aEnd;
      j = bEnd;
    }
  }
  while (err == kQOXErrNoErr && i < a->keyCount) w.CopyRun(a, a->keys[i++]);
  while (err == kQOXErrNoErr && j < b->keyCount) w.CopyRun(b, b->keys[j++]);
  if (err != kQOXErrNoErr) {
    qoxFreeKeySet(set, false);
    return err;
  }
  *outSet = set;
  return kQOXErrNoErr;
}

void DestroyEnumeratedSubset(QOXKeySet* set) {
  EnumSetData* d = Data(set);
  if (d == nullptr) return;
  QOXContext* context = set->keyDB->context;
  if (d->entries != nullptr) qoxContextMemFree(context, d->entries);
  if (d->keys != nullptr) qoxContextMemFree(context, d->keys);
  d->keyCount = 0;
  d->entryCount = 0;
  qoxContextMemFree(context, d);
  set->priv = nullptr;
}

// Depth of an object: 1 key, 2 child, 3 grandchild.
int Depth(QOXKeyDBObj* object) {
  int depth = 1;
  for (QOXKeyDBObj* p = qoxObjParent(object); p != nullptr && depth < 3; p = qoxObjParent(p)) ++depth;
  return depth;
}

bool StableByKeyID(const EnumSetKeySlot& a, const EnumSetKeySlot& b) { return qoxCompareKeyIDs(&a.keyID, &b.keyID) < 0; }

}  // namespace

bool qoxKeySetIsEnumerated(const QOXKeySet* set) { return set->isMember == IsMemberOfEnumeratedSubset; }

QOXError qoxNewEnumeratedSet(QOXKeyDB* db, uint32_t keyRoom, uint32_t entryRoom, QOXKeySet** outSet) {
  *outSet = nullptr;
  QOXContext* context = db->context;
  auto* d = static_cast<EnumSetData*>(qoxContextMemAlloc(context, sizeof(EnumSetData), kQOXMemoryMgrFlags_Clear));
  if (d == nullptr) return kQOXErrOutOfMemory;
  std::memset(static_cast<void*>(d), 0, sizeof *d);
  if (keyRoom > 0) {
    d->keys = static_cast<EnumSetKeySlot*>(qoxContextMemAlloc(context, size_t{keyRoom} * sizeof(EnumSetKeySlot), 0));
    d->entries = static_cast<EnumSetEntry*>(qoxContextMemAlloc(context, size_t{entryRoom} * sizeof(EnumSetEntry), 0));
  }
  QOXKeySet* set = nullptr;
  if ((keyRoom > 0 && (d->keys == nullptr || d->entries == nullptr)) ||
      qoxNewKeySetInternal(db, &set) != kQOXErrNoErr) {
    if (d->keys != nullptr) qoxContextMemFree(context, d->keys);
    if (d->entries != nullptr) qoxContextMemFree(context, d->entries);
    qoxContextMemFree(context, d);
    return kQOXErrOutOfMemory;
  }
  set->priv = d;
  set->isMember = IsMemberOfEnumeratedSubset;
  set->isEmpty = IsEmptyEnumeratedSubset;
  set->makeUnion = MakeUnionOfEnumeratedSubsets;
  set->destroy = DestroyEnumeratedSubset;
  *outSet = set;
  return kQOXErrNoErr;
}

QOXError QOXNewEmptyKeySet(QOXKeyDB* db, QOXKeySet** outSet) {
  if (outSet == nullptr) return kQOXErrBadParams;
  *outSet = nullptr;
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxNewEnumeratedSet(db, 0, 0, outSet);
}

QOXError qoxNewOneKeySetInternal(QOXKeyDBObj* object, QOXKeySet** outSet) {
  *outSet = nullptr;
  const int depth = Depth(object);
  QOXKeyDBObj* key = qoxObjTopKey(object);
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxNewEnumeratedSet(qoxObjKeyDB(object), 1, static_cast<uint32_t>(depth), &set);
      err != kQOXErrNoErr)
    return err;
  Writer w{Data(set)};
  w.KeySlot(KeyIDOf(key));
  if (depth == 1) {
    w.Entry(key, kEnumSetWhole);
  } else if (depth == 2) {
    w.Entry(key, 1);
    w.Entry(object, kEnumSetWhole);
  } else {
    w.Entry(key, 1);
    w.Entry(qoxObjParent(object), 1);
    w.Entry(object, 0);
  }
  *outSet = set;
  return kQOXErrNoErr;
}

QOXError qoxNewOneKeySetWithCompanions(QOXKeyDBObj* object, QOXKeySet** outSet) {
  *outSet = nullptr;
  QOXKeyDBObj* key = qoxObjTopKey(object);
  // The first user ID, subkey or key from the object upward.
  QOXKeyDBObj* anchor = object;
  while (anchor != key && qoxObjectType(anchor) != kQOXKeyDBObjType_UserID &&
         qoxObjectType(anchor) != kQOXKeyDBObjType_SubKey)
    anchor = qoxObjParent(anchor);
  if (anchor == key) return qoxNewOneKeySetInternal(object, outSet);
  const int32_t companionType =
      qoxObjectType(anchor) == kQOXKeyDBObjType_UserID ? kQOXKeyDBObjType_SubKey : kQOXKeyDBObjType_UserID;
  uint32_t companions = 0;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == companionType) ++companions;
  }
  const int depth = Depth(object);
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxNewEnumeratedSet(qoxObjKeyDB(object), 1, static_cast<uint32_t>(depth) + companions, &set);
      err != kQOXErrNoErr)
    return err;
  Writer w{Data(set)};
  w.KeySlot(KeyIDOf(key));
  w.Entry(key, static_cast<int32_t>(1 + companions));
  if (depth == 2) {
    w.Entry(object, kEnumSetWhole);
  } else {
    w.Entry(qoxObjParent(object), 1);
    w.Entry(object, 0);
  }
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == companionType) w.Entry(c, kEnumSetWhole);
  }
  *outSet = set;
  return kQOXErrNoErr;
}

QOXError qoxNewKeyListSet(QOXKeyDB* db, QOXKeyDBObj* const* keys, uint32_t n, QOXKeySet** outSet) {
  if (outSet == nullptr) return kQOXErrBadParams;
  *outSet = nullptr;
  if (n > 0) db = qoxObjKeyDB(keys[0]);
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxNewEnumeratedSet(db, n, n, &set); err != kQOXErrNoErr) return err;
  EnumSetData* d = Data(set);
  for (uint32_t i = 0; i < n; ++i) {
    d->entries[i] = {keys[i], kEnumSetWhole};
    d->keys[i] = {i, KeyIDOf(keys[i])};
  }
  std::stable_sort(d->keys, d->keys + n, StableByKeyID);
  // A key listed twice keeps one slot (its first), so that each key has one
  // run; its other entry stays unused.
  uint32_t kept = 0;
  for (uint32_t i = 0; i < n; ++i) {
    bool repeated = false;
    for (uint32_t k = kept; k-- > 0 && qoxCompareKeyIDs(&d->keys[k].keyID, &d->keys[i].keyID) == 0;) {
      if (SlotKey(d, d->keys[k]) == SlotKey(d, d->keys[i])) {
        repeated = true;
        break;
      }
    }
    if (!repeated) d->keys[kept++] = d->keys[i];
  }
  d->keyCount = kept;
  d->entryCount = n;
  *outSet = set;
  return kQOXErrNoErr;
}

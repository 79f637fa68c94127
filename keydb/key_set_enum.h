// Enumerated key sets: an explicit list of keys of one key database and,
// below each key, the sub-objects that belong to the set.
//
// Layout of the private data (EnumSetData). `entries` holds one run per
// key, each run a key entry {key, n} followed by n child groups; n = -1
// (kEnumSetWhole) means the key with everything below it. A child group is
// a child entry {child, m} (a subkey, user ID, signature, CRL or unknown
// object directly below the key) followed by m grandchild entries
// {signature, 0}; m = -1 means the child with everything below it. The key
// index `keys` has one slot per key, pointing at its key entry and caching
// the key's 8-byte key ID; slots are sorted by key ID (qoxCompareKeyIDs),
// so membership is a binary search plus a short scan over equal IDs, and
// the union of two enumerated sets is one linear merge.
//
// Ownership: the data and its two arrays are blocks of the key database's
// context memory, freed by the set's destroy operation.
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_SET_ENUM_H_
#define OSTRAK_KEYDB_KEY_SET_ENUM_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// The count of a key or child entry that takes everything below it.
inline constexpr int32_t kEnumSetWhole = -1;

struct EnumSetEntry {
  QOXKeyDBObj* object;
  int32_t count;  // children (key entry) or grandchildren (child entry); kEnumSetWhole
};

struct EnumSetKeySlot {
  uint32_t entry;   // index of the key entry in entries
  QOXKeyID keyID;   // the key's 8-byte key ID (qoxKeyID8)
};

struct EnumSetData {
  EnumSetEntry* entries;
  EnumSetKeySlot* keys;
  uint32_t keyCount;    // slots in use
  uint32_t entryCount;  // entries in use
};

// --- Public calls: check their arguments, then pass the entry gate ---

// A new enumerated set without keys. kQOXErrBadParams for no out-parameter
// (nothing written) or an invalid database (out cleared); kQOXErrOutOfMemory.
QOXError QOXNewEmptyKeySet(QOXKeyDB* db, QOXKeySet** outSet);

// --- Internal calls: no validation, no gate ---

// A new enumerated set with room for the given numbers of key slots and
// entries, none in use. kQOXErrOutOfMemory (nothing left behind).
QOXError qoxNewEnumeratedSet(QOXKeyDB* db, uint32_t keyRoom, uint32_t entryRoom, QOXKeySet** outSet);
// The one-object set without companions: for an object at depth d (key 1,
// child 2, grandchild 3) one slot and d entries: {key, -1} for the key
// itself, else {key, 1}; then {object, -1} for a child, or {parent, 1} and
// {object, 0} for a grandchild. kQOXErrOutOfMemory.
QOXError qoxNewOneKeySetInternal(QOXKeyDBObj* object, QOXKeySet** outSet);
// The one-object set with companions: below a user ID (the object or the
// user ID above it) every real subkey of the key is added whole; below a
// subkey every real user ID of the key is added whole; anything else stands
// alone. Built in one pass, with the members that adding each companion's
// one-object set would give. kQOXErrOutOfMemory.
QOXError qoxNewOneKeySetWithCompanions(QOXKeyDBObj* object, QOXKeySet** outSet);
// A set of n whole keys ({key, -1} each) of one database. The key index is
// sorted by key ID here (a stable sort: keys already in key-ID order keep
// their order); when n > 0 the database is the first key's.
// kQOXErrBadParams for no out-parameter; kQOXErrOutOfMemory (nothing left
// behind).
QOXError qoxNewKeyListSet(QOXKeyDB* db, QOXKeyDBObj* const* keys, uint32_t n, QOXKeySet** outSet);
// The set is of the enumerated kind.
bool qoxKeySetIsEnumerated(const QOXKeySet* set);

#endif  // OSTRAK_KEYDB_KEY_SET_ENUM_H_

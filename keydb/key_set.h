// Key sets: QOXKeySet names a collection of objects of one key database by a
// membership rule; it never owns the objects. Every kind shares this record
// and differs in its four operations (isMember, isEmpty, makeUnion,
// destroy) and its private data. Built here: the root kind, whose members
// are every object of the database. The enumerated kind is
// keydb/key_set_enum.h, the union kind keydb/key_set_union.h, the
// filtered kind keydb/key_set_filter.h; the calls
// that add, copy and delete sets are keydb/key_set_ops.h, the flat form
// keydb/key_set_flat.h.
//
// Ownership. A set is reference-counted (QOXIncKeySetRefCount,
// QOXFreeKeySet); the record comes cleared from the database's context
// memory and is pushed at the head of the database's chain of sets
// (firstSet, linked through prevSet and nextSet). The database's own root
// set (made with the database) is not counted: increments and releases of
// it do nothing, and only the database's destruction frees it. That
// destruction force-frees every set still on the chain, newest first; a
// key list or iterator still made over such a set is detached from it then
// (keydb/key_list.h), so that it refers to nothing freed. A freed set's
// magic is inverted, so that a stale handle is refused with
// kQOXErrBadParams while its memory is still the caller's to forget.
//
// Thread safety: none; a set belongs to its database's context, used by one
// thread at a time.
#ifndef OSTRAK_KEYDB_KEY_SET_H_
#define OSTRAK_KEYDB_KEY_SET_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeyIter;
struct QOXKeyList;

struct QOXKeySet {
  uint8_t magic[4];  // "KSET"; each byte inverted when the set is freed
  void* priv;        // kind-specific data (none for the root kind)
  int32_t refCount;  // starts at 1
  QOXKeyDB* keyDB;
  QOXKeySet* prevSet;  // the database's chain of its sets
  QOXKeySet* nextSet;
  QOXKeyList* firstList;  // key lists ordered from this set
  QOXKeyIter* firstIter;  // iterators made over this set directly
  bool freedWithKeyDB;    // force-freed by its key database's destruction
  bool (*isMember)(QOXKeySet* set, QOXKeyDBObj* object);
  bool (*isEmpty)(QOXKeySet* set);
  // Union with another set of the same kind into a new set; null when the
  // kind has none.
  QOXError (*makeUnion)(QOXKeySet* set, QOXKeySet* other, QOXKeySet** outSet);
  void (*destroy)(QOXKeySet* set);  // releases the private data
};

// --- Public calls: validate handles, then pass the entry gate ---

// A new root-kind set over the database, one reference. kQOXErrBadParams for an
// invalid database or no out-parameter (else cleared); kQOXErrOutOfMemory.
QOXError QOXNewKeySet(QOXKeyDB* db, QOXKeySet** outSet);
// Drops one reference (none for the root set); the last destroys the set.
// kQOXErrBadParams for an invalid set.
QOXError QOXFreeKeySet(QOXKeySet* set);
// kQOXErrBadParams for an invalid set; nothing for the root set.
QOXError QOXIncKeySetRefCount(QOXKeySet* set);
// False for an invalid set or object, a refusing gate, or an object that is
// not real (dummy or deleted); else the set's isMember.
bool QOXKeySetIsMember(QOXKeyDBObj* object, QOXKeySet* set);
// The real top-level keys of the set's database that are members. kQOXErrBadParams
// for no out-parameter (nothing written) or an invalid set (count 0).
QOXError QOXCountKeys(QOXKeySet* set, uint32_t* outCount);
// The set's key database; null for an invalid set (no gate).
QOXKeyDB* QOXPeekKeySetKeyDB(QOXKeySet* set);

// --- Internal calls: no validation, no gate ---

// A bare set (magic, one reference, database, no private data and no
// operations) pushed on the database's chain. kQOXErrOutOfMemory.
QOXError qoxNewKeySetInternal(QOXKeyDB* db, QOXKeySet** outSet);
// The database's own root set, or null when memory is short.
QOXKeySet* qoxRootSet(QOXKeyDB* db);
// As QOXFreeKeySet; with force the set is destroyed whatever its count.
void qoxFreeKeySet(QOXKeySet* set, bool force);
// False for an object that is not real, else isMember.
bool qoxKeySetIsMember(QOXKeyDBObj* object, QOXKeySet* set);
bool qoxKeySetIsEmpty(QOXKeySet* set);
// The first real top-level key of the database, in the database's order,
// that is a member; null when none.
QOXKeyDBObj* qoxFirstKeyInKeySet(QOXKeySet* set);
// Not null and the magic is "KSET".
bool qoxKeySetIsValid(const QOXKeySet* set);
// The set is its database's own root set.
bool qoxKeySetIsRootSet(const QOXKeySet* set);

#endif  // OSTRAK_KEYDB_KEY_SET_H_

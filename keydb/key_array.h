// Key arrays: how a back end tells a front end the shape of its keys.
//
// A key array is a flat sequence of pointer-sized words (KeyArrayWord):
//
//   ID, flags               one entry: the back-end ID of an object and its
//                           flag word (keydb/key_db_obj.h)
//   count                   after an entry that is not a signature: the
//                           number of its children that follow, each an
//                           entry of its own (with its count and children
//                           unless it is a signature)
//
// so a key takes 3 words, plus 3 per child that is not a signature, 2 per
// signature child and 2 per grandchild. The back end makes one for a run of
// keys (qoxCreateKeyArray); a front end reads it into its own objects
// (qoxAddFromKeyArray): unknown IDs become new unfetched objects, known ones
// take the array's deleted and dummy bits, and children are put in the
// array's order.
//
// Ownership: an array is a block of the given context's memory, handed to
// the receiver, which frees it (QOXFreeData). The reader never reads past
// the length it is given, and refuses an array that runs short or nests
// deeper than a key's three levels.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_ARRAY_H_
#define OSTRAK_KEYDB_KEY_ARRAY_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

using KeyArrayWord = uintptr_t;

// The key array of `keyCount` objects along the sibling chain from `first`
// (normally top-level keys; an array may also start at a child) with
// everything under them. With a filter set only its members (by the set's
// own isMember, dummies and deleted objects included when it says so) are
// written, at every level, while every object passed still counts against
// keyCount. The block comes from the context's memory; its length is in
// bytes. kQOXErrOutOfMemory (outputs cleared) when it cannot be had.
QOXError qoxCreateKeyArray(QOXContext* context, QOXKeyDBObj* first, uint32_t keyCount, QOXKeySet* filter,
                           KeyArrayWord** outArray, size_t* outLength);

// Reads `count` top-level entries of the array, and everything under them,
// into the front-end database db: under parent when given, else as
// top-level keys. Unless fresh, an ID already in the database's ID tree
// names its object: that object takes the array's deleted, dummy and X.509
// dummy bits, a key or subkey is refreshed (fetched again on next use), and
// below the top level it is moved to the array's place among its siblings
// (the first entry of the call itself is never moved). Any other ID becomes
// a new unfetched object, linked by the child order and entered into the ID
// tree. Then the database is marked changed (its lists re-sorted).
// 0; kQOXErrOutOfMemory; kQOXErrBadParams for a database that is not a
// front end, or an array that runs short, nests too deep, names a kind
// where it cannot stand, an object under another parent, or an ID twice.
QOXError qoxAddFromKeyArray(QOXKeyDB* db, QOXKeyDBObj* parent, const KeyArrayWord* array, size_t length,
                            uint32_t count, bool fresh);

#endif  // OSTRAK_KEYDB_KEY_ARRAY_H_

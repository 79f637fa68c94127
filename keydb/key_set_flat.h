// The flat form of a key set: how a set crosses between a front-end key
// database and its back end. A flat key list is an array of pointer-sized
// words, one per member key, its length given in bytes (word size x keys).
// In a front end each word is the key's back-end object ID (qoxKeyDBObjID);
// in any other database it is the key object itself, and the array is
// sorted by key ID.
//
// Ownership: a flattened list is a block of the set's context memory; the
// ...Free forms release what they consume (the set's reference, or the
// list with qoxContextMemFree).
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_SET_FLAT_H_
#define OSTRAK_KEYDB_KEY_SET_FLAT_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDB;
struct QOXKeySet;

// One word of a flat key list.
using QOXFlatKeyWord = uintptr_t;

// True for no set, or when every real object below each member key is a
// member too (the set consists of whole keys).
bool qoxKeySetIsFlattenable(QOXKeySet* set);
// The flat key list of the set's member keys (null and 0 for no set or no
// member). kQOXErrOutOfMemory; an iterator's error (nothing handed out).
QOXError qoxKeySetFlatten(QOXKeySet* set, QOXFlatKeyWord** outBuffer, size_t* outLength);
// Flattens, then drops one reference to the set; the flatten result.
QOXError qoxKeySetFlattenFree(QOXKeySet* set, QOXFlatKeyWord** outBuffer, size_t* outLength);
// A set of the listed keys, whole: empty when the length holds no word. In
// a front end each ID is mapped through the database's object-ID tree; an
// ID it does not hold gives kQOXErrItemNotFound and no set. The buffer stays
// the caller's. kQOXErrOutOfMemory.
QOXError qoxKeySetUnflatten(QOXKeyDB* db, const QOXFlatKeyWord* buffer, size_t length, QOXKeySet** outSet);
// The same, then frees the buffer (a block of the database's context
// memory), whatever the result.
QOXError qoxKeySetUnflattenFree(QOXKeyDB* db, QOXFlatKeyWord* buffer, size_t length, QOXKeySet** outSet);
// Makes every member key unfetched again, with everything below it, then
// drops one reference to the set; an iterator's error is returned after
// the release.
QOXError qoxKeySetRefreshFree(QOXKeySet* set);

#endif  // OSTRAK_KEYDB_KEY_SET_FLAT_H_

// Operations over key sets: the one-object set with its companions, adding
// a set or an object to a set, copying a set or an object into another key
// database (merging with what it holds), and deleting a set's objects.
//
// Adding keeps the destination record: it takes over the private data and
// the four operations of the union of the source with (a stand-in holding)
// its old self, so every reference to the destination sees the union. The
// destination keeps its own key lists.
//
// Copying walks the source set depth first and adds each object with the
// key and child above it (qoxKeyDBAddObject); the out set names the copied
// keys in the destination whole, built once after the walk.
//
// Thread safety: none (the key databases' context's thread).
#ifndef OSTRAK_KEYDB_KEY_SET_OPS_H_
#define OSTRAK_KEYDB_KEY_SET_OPS_H_

#include "foundation/errors.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// --- Public calls: check their arguments, then pass the entry gate ---

// The one-object set of the object with its companions (every real subkey
// below a user ID's key, every real user ID below a subkey's).
// kQOXErrBadParams for no out-parameter (nothing written) or an invalid
// object (out cleared); kQOXErrOutOfMemory.
QOXError QOXNewOneKeySet(QOXKeyDBObj* object, QOXKeySet** outSet);
// Adds the source's members to the destination. kQOXErrBadParams for an
// invalid set or a destination holding other than exactly one reference;
// kQOXErrMismatchedKeyDatabases for sets of two databases; 0 without change
// when the destination is its database's root set. On failure the
// destination is as it was.
QOXError QOXAddKeys(QOXKeySet* source, QOXKeySet* destination);
// Adds the object's one-object set to the set. kQOXErrMismatchedKeyDatabases
// (tested before the gate) for an object of another database; 0 for the
// root set.
QOXError QOXAddKey(QOXKeyDBObj* object, QOXKeySet* set);
// Copies every member of the set into the destination database; the out
// set (optional, cleared first) names the copied keys there: the whole
// database when it held no key before.
QOXError QOXCopyKeys(QOXKeySet* set, QOXKeyDB* destination, QOXKeySet** outSet);
// Copies the object's one-object set; the out object (optional) is the
// copied key, also when a sub-object was given.
QOXError QOXCopyKeyDBObj(QOXKeyDBObj* object, QOXKeyDB* destination, QOXKeyDBObj** outObject);
// Removes every member of the set from its database, depth first; objects
// already deleted are passed over. The first removal error ends the walk
// and is returned; a whole walk signals the change (lists re-sorted).
QOXError QOXDeleteKeys(QOXKeySet* set);

// --- Internal calls: no validation, no gate ---

// QOXAddKeys after its checks.
QOXError qoxAddKeysInternal(QOXKeySet* source, QOXKeySet* destination);
// The copy behind QOXCopyKeys and QOXCopyKeyDBObj; outSet may be null.
QOXError qoxCopyKeys_internal(QOXKeySet* set, QOXKeyDB* destination, QOXKeySet** outSet);

#endif  // OSTRAK_KEYDB_KEY_SET_OPS_H_

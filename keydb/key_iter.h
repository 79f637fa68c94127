// Key iterators: QOXKeyIter walks a key list (keydb/key_list.h) in its
// order, or a key set directly in its key database's order of keys, and
// below each key its subkeys, user IDs and signatures.
//
// Position. `level` is -1 before the first key, 0 on a key, 1 on a child of
// the key (subkey, user ID, signature, CRL, unknown object), 2 on a
// grandchild (a signature). `index` is the key's slot in the list, or for a
// set the number of keys stepped past the first (the first key is 0). A
// forward step that runs off the end of the siblings leaves the iterator on
// the last sibling with `atEnd` set. An object counts at a step when it is
// real and, for a list iterator, a key or a member of the list's set; for a
// set iterator, a member of the set. Re-sorting a list leaves its
// iterators' index and object as they were.
//
// Ownership: an iterator holds one reference on its list or set, is a
// block of the context's memory, and is chained on its list's (or set's)
// chain of iterators until it is freed.
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_ITER_H_
#define OSTRAK_KEYDB_KEY_ITER_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDB;
struct QOXContext;
struct QOXKeyDBObj;
struct QOXKeyList;
struct QOXKeySet;

// Object kinds of the iterator requests.
inline constexpr int32_t kQOXKeyIterKind_Key = 1;
inline constexpr int32_t kQOXKeyIterKind_SubKey = 2;
inline constexpr int32_t kQOXKeyIterKind_UserID = 4;
inline constexpr int32_t kQOXKeyIterKind_Sig = 8;
inline constexpr int32_t kQOXKeyIterKind_Any = -1;  // all ones: every object, depth first

struct QOXKeyIter {
  uint8_t magic[4];  // "KITR"; each byte inverted when freed
  bool overList;     // walks a key list (else a key set)
  QOXKeyList* keyList;
  QOXKeySet* keySet;
  QOXKeyIter* prevIter;  // the chain of the list's (or set's) iterators
  QOXKeyIter* nextIter;
  int32_t index;
  QOXKeyDBObj* current;
  int8_t level;
  uint8_t atEnd;
  QOXContext* context;  // whose memory holds the record
};

// --- Public calls: check their arguments, then pass the entry gate; every
// out-parameter is cleared first and stays cleared on failure ---

// A new iterator over a list, a set, or a key database's root set.
// kQOXErrBadParams for no out-parameter or an invalid handle;
// kQOXErrOutOfMemory.
QOXError QOXNewKeyIter(QOXKeyList* list, QOXKeyIter** outIter);
QOXError QOXNewKeyIterFromKeySet(QOXKeySet* set, QOXKeyIter** outIter);
QOXError QOXNewKeyIterFromKeyDB(QOXKeyDB* db, QOXKeyIter** outIter);
// A new iterator over the same list or set at the same position.
QOXError QOXCopyKeyIter(QOXKeyIter* iter, QOXKeyIter** outIter);
QOXError QOXFreeKeyIter(QOXKeyIter* iter);
// The next object of a kind (kQOXKeyIterKind_...): a key, a subkey or user
// ID of the current key, a signature below the current level-1 object
// (certification revocations passed over), or the next object depth first.
// kQOXErrEndOfIteration when none remains; kQOXErrBadParams for another kind.
QOXError QOXKeyIterNextKeyDBObj(QOXKeyIter* iter, int32_t kind, QOXKeyDBObj** outObject);
// Backward for keys, subkeys and signatures; the user-ID kind moves
// forward exactly as QOXKeyIterNextKeyDBObj does; any other kind, all ones
// included, is kQOXErrBadParams.
QOXError QOXKeyIterPrevKeyDBObj(QOXKeyIter* iter, int32_t kind, QOXKeyDBObj** outObject);
// The object of a kind at the current position, without moving.
QOXError QOXKeyIterGetKeyDBObj(QOXKeyIter* iter, int32_t kind, QOXKeyDBObj** outObject);
// Kind 1 starts again before the first key; kinds 2 and 4 go back to the
// key, kind 8 to the level-1 object.
QOXError QOXKeyIterRewind(QOXKeyIter* iter, int32_t kind);
// Moves n keys (signed) and gives the key.
QOXError QOXKeyIterMove(QOXKeyIter* iter, int32_t n, QOXKeyDBObj** outKey);
// The index; 0 for an invalid iterator or a refusing gate.
int32_t QOXKeyIterIndex(QOXKeyIter* iter);
// Positions the iterator on the key and gives its index; -1 (iterator
// reset) when the key is not in the list or set. kQOXErrBadParams for an
// invalid iterator or key; 0 for a refusing gate.
int32_t QOXKeyIterSeek(QOXKeyIter* iter, QOXKeyDBObj* key);

// The context of the iterator's list, else of its set's key database (no
// gate); null for an invalid iterator.
QOXContext* QOXPeekKeyIterContext(QOXKeyIter* iter);

// --- Internal calls ---

// The next object depth first: key, its first child, that child's
// signatures, the next child, ..., then the next key.
// kQOXErrEndOfIteration at the end.
QOXError qoxKeyIterNextObject(QOXKeyIter* iter, QOXKeyDBObj** outObject);
// Backward to the previous subkey, or to the previous signature below the
// current level-1 object.
QOXError qoxKeyIterPrevSubKey(QOXKeyIter* iter, QOXKeyDBObj** outObject);
QOXError qoxKeyIterPrevUIDSig(QOXKeyIter* iter, QOXKeyDBObj** outObject);
// Not null and the magic is "KITR".
bool qoxKeyIterIsValid(const QOXKeyIter* iter);
// An iterator over a set made without the gate (for the toolkit's own
// walks); freed with qoxFreeKeyIter.
QOXError qoxNewKeyIterFromKeySet(QOXKeySet* set, QOXKeyIter** outIter);
void qoxFreeKeyIter(QOXKeyIter* iter);
// Back to before the first key (index -1, no object, at-end clear).
void qoxResetKeyIter(QOXKeyIter* iter);
// Cuts a set iterator loose from its set, which is going.
void qoxDetachKeyIter(QOXKeyIter* iter);

#endif  // OSTRAK_KEYDB_KEY_ITER_H_

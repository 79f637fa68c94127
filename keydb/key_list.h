// Key lists: QOXKeyList holds the member keys of a key set in one of ten
// orderings and is kept sorted as its key database changes
// (qoxKeyDBChanged with re-sorting calls qoxUpdateList on every list of
// every set of the database). Iterators over lists and sets are
// keydb/key_iter.h.
//
// Ownership. A list is reference-counted (QOXIncKeyListRefCount,
// QOXFreeKeyList) and holds one reference on its set; each iterator over it
// holds one on the list. The record and its key array are blocks of the
// set's context memory. A list is pushed at the head of its set's chain of
// lists (firstList, linked through prevList and nextList). When the key
// database is destroyed while a list or iterator still refers to one of its
// sets, qoxDetachFromKeySet cuts them loose: the list keeps no set and no
// keys, its iterators stand nowhere, set iterators lose their set, and the
// calls on them answer as for an empty list; the caller still frees them.
//
// Thread safety: none; a list belongs to its key database's context, used
// by one thread at a time.
#ifndef OSTRAK_KEYDB_KEY_LIST_H_
#define OSTRAK_KEYDB_KEY_LIST_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDBObj;
struct QOXKeyIter;
struct QOXKeySet;

// Key orderings (QOXKeyOrdering).
using QOXKeyOrdering = int32_t;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_Invalid = 0;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_Any = 1;  // the key database's order
inline constexpr QOXKeyOrdering kQOXKeyOrdering_UserID = 2;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_KeyID = 3;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_Validity = 4;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_Trust = 5;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_EncryptKeySize = 6;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_SigKeySize = 7;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_Creation = 8;
inline constexpr QOXKeyOrdering kQOXKeyOrdering_Expiration = 9;

struct QOXKeyList {
  uint8_t magic[4];  // "KLST"; each byte inverted when the list is freed
  int32_t refCount;  // starts at 1; each iterator over the list holds one
  QOXKeySet* keySet; // the set ordered (one reference held); null once detached
  QOXKeyOrdering ordering;
  bool reverse;
  QOXKeyList* prevList;  // the set's chain of lists
  QOXKeyList* nextList;
  QOXKeyIter* firstIter;  // iterators over this list
  uint32_t keyCount;
  QOXKeyDBObj** keys;  // the member keys in list order
  QOXContext* context;  // whose memory holds the record and the keys
};

// --- Public calls: check their arguments, then pass the entry gate ---

// A new list of the set's member keys in the ordering (reverse: the reverse
// direction). kQOXErrBadParams for no out-parameter (else cleared), an
// invalid set, or an ordering of 0 or above 9; kQOXErrOutOfMemory. Ordering
// Any keeps the key database's order.
QOXError QOXOrderKeySet(QOXKeySet* set, QOXKeyOrdering ordering, bool reverse, QOXKeyList** outList);
QOXError QOXIncKeyListRefCount(QOXKeyList* list);
// Drops a reference; the last unlinks the list from its set, releases the
// set and frees the list. kQOXErrBadParams for an invalid list.
QOXError QOXFreeKeyList(QOXKeyList* list);
// The forward comparison of two keys under the ordering (negative: the
// first comes first); 0 for a refusing gate, an argument that is not a
// valid key, and orderings 0, 1 and above 9.
int32_t QOXCompareKeys(QOXKeyDBObj* a, QOXKeyDBObj* b, QOXKeyOrdering ordering);
// Compares two zero-terminated user-ID texts ignoring ASCII case, passing
// over runs of characters that are neither ASCII letters nor digits at a
// point of difference ("J. Doe" equals "j doe"). 0 for a refusing gate or
// a missing text.
int32_t QOXCompareUserIDStrings(const char* a, const char* b);

// The context of the list's set (no gate); null for an invalid list.
QOXContext* QOXPeekKeyListContext(QOXKeyList* list);

// --- Internal calls ---

// QOXFreeKeyList without validation or gate.
void qoxReleaseKeyList(QOXKeyList* list);
// Re-counts and re-fills the list from its set and sorts it again; the
// iterators over it keep their index and object. kQOXErrBadParams for an
// invalid list; kQOXErrOutOfMemory leaves the list as it was.
QOXError qoxUpdateList(QOXKeyList* list);
// Not null and the magic is "KLST".
bool qoxKeyListIsValid(const QOXKeyList* list);
// Cuts every list and iterator over the set loose from it (the set is
// being force-freed with its key database).
void qoxDetachFromKeySet(QOXKeySet* set);
// The key's first real subkey, searching from its first child.
// kQOXErrItemNotFound when there is no key or no such subkey (out cleared).
QOXError qoxGetFirstSubKey(QOXKeyDBObj* key, QOXKeyDBObj** outSubKey);

#endif  // OSTRAK_KEYDB_KEY_LIST_H_

// The union kind of key set: the members of either of two sets of one key
// database. Building one costs nothing; membership asks the first set and,
// failing that, the second.
//
// Ownership: the union holds one reference on each of its two sets and
// releases both when it is destroyed, except while its key database is
// destroyed: every set still on the database's chain is then force-freed
// anyway, and a member may already be gone (after QOXAddKeys an older set
// can hold references to newer ones).
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_SET_UNION_H_
#define OSTRAK_KEYDB_KEY_SET_UNION_H_

#include "foundation/errors.h"

struct QOXKeySet;

// A new union set over a and b (one more reference on each).
// kQOXErrOutOfMemory.
QOXError qoxGenericUnionOfKeySets(QOXKeySet* a, QOXKeySet* b, QOXKeySet** outSet);
// The set is of the union kind.
bool qoxKeySetIsUnion(const QOXKeySet* set);

#endif  // OSTRAK_KEYDB_KEY_SET_UNION_H_

// The filtered kind of key set: the members of a base set that a key filter
// (keydb/filter.h) matches. Building one costs nothing; membership asks the
// base set and then the filter.
//
// Ownership: the set holds one reference on its base set and one on its
// filter and releases both when it is destroyed; while its key database is
// destroyed the base set may already be gone (every set on the chain is
// force-freed), so only the filter is released then.
//
// Thread safety: none (the key database's context's thread; matching
// writes the filter's cache).
#ifndef OSTRAK_KEYDB_KEY_SET_FILTER_H_
#define OSTRAK_KEYDB_KEY_SET_FILTER_H_

#include "foundation/errors.h"

struct QOXFilter;
struct QOXKeyDB;
struct QOXKeySet;

// A new filtered set over the set. kQOXErrBadParams for no out-parameter
// (else cleared) or an invalid set or filter; the gate's error;
// kQOXErrOutOfMemory.
QOXError QOXFilterKeySet(QOXKeySet* set, QOXFilter* filter, QOXKeySet** outSet);
// The filtered set of the database's root set; kQOXErrBadParams unless the
// database and filter are valid.
QOXError QOXFilterKeyDB(QOXKeyDB* db, QOXFilter* filter, QOXKeySet** outSet);

// The same without checks or gate.
QOXError qoxFilterKeySet(QOXKeySet* set, QOXFilter* filter, QOXKeySet** outSet);
// The set is of the filtered kind.
bool qoxKeySetIsFiltered(const QOXKeySet* set);

#endif  // OSTRAK_KEYDB_KEY_SET_FILTER_H_

// Notifications: what a back-end database remembers, per connection that
// opened it, of the keys other connections changed, so that a front end of
// that connection can bring itself up to date (QOXKeyDBIsUpdated,
// keydb/front_end.h).
//
// A connection is the back-end connection reference of a toolkit context
// (foundation/context.h); a context without one (every context of a
// process that runs its key database in process, the daemon's among them)
// has no record and is told nothing. Each record (KeyDBNotification,
// keydb/key_db.h) holds two enumerated key sets over the database: the keys
// whose objects changed and the keys whose trust changed.
//
// Ownership: the records belong to the database (freed with it); their sets
// are sets of the database, freed with the record or by the database's
// destruction.
//
// Thread safety: as the database (one context's thread at a time).
#ifndef OSTRAK_KEYDB_NOTIFICATIONS_H_
#define OSTRAK_KEYDB_NOTIFICATIONS_H_

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// Adds the record of the context's connection when it has one and the
// database has none for it yet. kQOXErrOutOfMemory (nothing added).
QOXError qoxAddNotification(QOXKeyDB* db, QOXContext* context);
// Drops the record of the context's connection, with its sets.
void qoxDropNotification(QOXKeyDB* db, QOXContext* context);

// Records changes for every other connection: the database is that of the
// first given of trustChangedSet, changedSet, trustChangedKey, changedKey;
// every record whose connection is not the current context's gains the
// trust-changed set and key in its trust-changed keys and the changed set
// and key in its changed keys. Any argument may be null.
void qoxSetPendingNotify(QOXContext* current, QOXKeySet* trustChangedSet, QOXKeyDBObj* trustChangedKey,
                         QOXKeySet* changedSet, QOXKeyDBObj* changedKey);

// Hands the current connection's record over: its changed keys are added to
// outChanged and its trust-changed keys to outTrustChanged (both sets of
// the database with one reference), and the record starts two new empty
// sets. 0 with nothing added when the connection has no record;
// kQOXErrOutOfMemory.
QOXError qoxUpdateKeyDB_internal(QOXContext* current, QOXKeyDB* db, QOXKeySet* outChanged,
                                 QOXKeySet* outTrustChanged);

#endif  // OSTRAK_KEYDB_NOTIFICATIONS_H_

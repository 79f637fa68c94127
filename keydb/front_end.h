// Front-end key databases: a QOXKeyDB whose backendID names a back-end
// database that holds the real objects (keydb/key_db.h). The front end
// mirrors the back end's keys as objects that carry only their flag word
// and the back end's ID, entered in its ID tree (back-end ID -> local
// object); it learns their shape from key arrays (keydb/key_array.h) and
// asks the back end for everything else (keydb/key_db_back.h): an object's
// info record when first read (qoxFetchInfoRecord, called by the info
// getters of keydb/key_db_obj.h) and its packet when first needed
// (qoxFetchObjectData, called by qoxFetchObject), and every lookup and key
// operation by ID.
//
// A fetched info record is a copy of the back end's: its signer,
// next-by-signer and signed-by references are mapped to local objects
// through the ID tree (null when absent), and every other reference it
// carries (packet, key-ID tree links, trust-propagation link, compiled
// expressions) is cleared. A refreshed object (qoxKeyDBObjRefresh) drops
// both copies and fetches them again on next use.
//
// When the back end cannot supply a record or a packet, or the object pool
// cannot hold the copy, the fetch gives null and records kQOXErrOutOfMemory
// as the database's last error; every accessor and getter treats null as
// failure.
//
// Back-end updates. A back end records, per connection that opened a
// database, the keys others changed (keydb/notifications.h); a front end
// asks for them with QOXKeyDBIsUpdated, and the entry gate does so for
// every marked context (qoxKeyDBBackendUpdate) while the key-database
// service link is on.
//
// Ownership: the front end holds one reference of its back-end database,
// released (qoxFreeKeyDB_back) when the front end is destroyed. Fetched
// copies live in the front end's object pool.
//
// Thread safety: a front end belongs to one context's thread, like every
// database. The count of pending back-end updates is process-wide and
// atomic; qoxSetBackendUpdateNeeded and qoxKeyDBBackendUpdate walk the list
// of live contexts, which the toolkit's start-up and connection handling
// keep stable while they run (foundation/context.h).
#ifndef OSTRAK_KEYDB_FRONT_END_H_
#define OSTRAK_KEYDB_FRONT_END_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "keydb/key_array.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct ObjData;

// A front end over the back-end database `backendID`, filled from the key
// array of its `keyCount` top-level objects (qoxAddFromKeyArray, fresh).
// The front end takes over the caller's reference of the back end: when the
// front end cannot be made, that reference is released. kQOXErrBadParams
// for a null out-parameter (else cleared), an invalid context or a zero ID
// (nothing released then); kQOXErrOutOfMemory; the array's errors.
QOXError qoxNewFrontEndKeyDB(QOXContext* context, uintptr_t backendID, const KeyArrayWord* array,
                             size_t arrayLength, uint32_t keyCount, QOXKeyDB** outKeyDB);

// The local object the back-end ID names in the front end's ID tree; null
// for 0 or an ID it does not hold.
QOXKeyDBObj* qoxFrontEndObject(const QOXKeyDB* db, uintptr_t backendID);

// The lazy fetch of an unfetched front-end object: its info record (the
// object turns fetched), or its packet (kept as its data record). Null, with
// kQOXErrOutOfMemory recorded, when it cannot be had; a dummy key has no
// packet (null, nothing recorded).
void* qoxFetchInfoRecord(QOXKeyDBObj* object);
ObjData* qoxFetchObjectData(QOXKeyDBObj* object);

// Refreshes every listed object the ID tree holds (made unfetched with its
// children, unless it is a signature); a length (in bytes) under one word
// refreshes nothing. The list, a block of the database's context memory,
// is freed when given.
void qoxKeyRefreshFromList(QOXKeyDB* db, uintptr_t* list, size_t length);

// Asks the back end for the changes other connections made to the front
// end's database (qoxUpdateKeyDB_back): none, false; otherwise the new keys'
// array is added (qoxAddFromKeyArray), the changed keys are refreshed, and
// true. kQOXErrBadParams for a null flag (else cleared) or an invalid
// database; a back end database (no front end) has nothing to take in:
// false. The gate's and the back end's errors.
QOXError QOXKeyDBIsUpdated(QOXKeyDB* db, bool* outUpdated);

// Called at every toolkit entry (the key database registers it with the
// layers below): nothing unless back-end updates are pending and the
// service link is on; then every context marked as needing one takes in
// the changes of each of its front ends (as QOXKeyDBIsUpdated), has its
// mark cleared and lowers the pending count by one. Unmarked contexts are
// skipped. The pass does not start again inside itself (its own work
// passes the gate).
void qoxKeyDBBackendUpdate();
// Marks every live context as needing a back-end update; each context not
// marked before adds one pending update, so the count is the number of
// marked contexts and returns to 0 once they are updated.
void qoxSetBackendUpdateNeeded();
// The number of pending back-end updates.
uint32_t qoxPendingBackendUpdates();

#endif  // OSTRAK_KEYDB_FRONT_END_H_

// The key database: QOXKeyDB, the container of one tree of key objects
// (keydb/key_db_obj.h), the pools they live in, and the key sets made over
// it (keydb/key_set.h). This is the subsystem's main header.
//
// A key database is a back end, which holds its objects itself, or a front
// end, which mirrors a back-end database it knows by ID (backendID) and
// fetches objects from it on first use (keydb/front_end.h). Without the
// key-database service link QOXNewKeyDB makes back ends; a buffer of key
// packets becomes a front end over an in-process back end
// (keydb/import_binary.h). A database is
// reference-counted (QOXIncKeyDBRefCount, QOXFreeKeyDB) and linked at the
// head of its context's list of key databases (through next) while it
// lives.
//
// Ownership. The database owns its object pool (every object, info and data
// record and packet), its trust-path pool, its ID tree and every key set
// still made over it: the last release frees the sets (forced, whatever
// their counts), wipes and empties the pools, and frees the record, which
// came from the context's memory manager. The root set (every object of the
// database) is made with the database and is not reference-counted.
//
// Thread safety and lock order: the key database takes no lock. A database,
// its objects, sets and pools belong to one toolkit context, used by one
// thread at a time (the daemon gives every connection thread its own
// context). The only process-wide state of the subsystem is the constants
// of the trust scales (keydb/trust.h), computed once under the language's
// static-initialisation guard; no lock of this subsystem is ever held while
// another is taken, so no order arises.
#ifndef OSTRAK_KEYDB_KEY_DB_H_
#define OSTRAK_KEYDB_KEY_DB_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/binary_tree.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/mem_pool.h"

struct QOXContext;
struct QOXKeyDBObj;
struct QOXKeySet;
struct KeyDBNotification;

// Open flags.
inline constexpr uint32_t kQOXKeyDBOpen_Mutable = 0x1;  // may be written back
inline constexpr uint32_t kQOXKeyDBOpen_Create = 0x2;   // create missing ring files

// One pair of the add-object cache: a source object and its copy here.
struct KeyDBAddCacheEntry {
  QOXKeyDBObj* source;
  QOXKeyDBObj* copy;
};

// Per connection that opened the database: the keys changed by others
// (keydb/notifications.h).
struct KeyDBNotification {
  KeyDBNotification* next;
  uint32_t connection;          // the context's connection reference, never 0
  QOXKeySet* changedKeys;       // keys whose objects changed
  QOXKeySet* trustChangedKeys;  // keys whose trust changed in a flush
};

struct QOXKeyDB {
  uint8_t magic[4];  // "KYDB" while live
  QOXKeyDB* next;    // next key database of the same context
  QOXFile* publicFile;   // ring files: absent for a database made in memory
  QOXFile* privateFile;
  PFLFileSpec* publicSpec;
  PFLFileSpec* privateSpec;
  FILE* publicStream;
  FILE* privateStream;
  uint8_t isMutable;  // may be written back (flushed)
  uint8_t dirty;      // changed since the last flush
  uint32_t openFlags; // kQOXKeyDBOpen_...
  int32_t refCount;   // starts at 1
  QOXContext* context;
  QOXKeySet* rootSet;   // every object of this database
  QOXKeySet* firstSet;  // newest key set made over it; sets chain through their links
  MemPool objectPool;   // objects, info records, data records, packets
  KeyDBAddCacheEntry addCache[2];  // levels 0 (key) and 1 (child) of the object copy
  QOXKeyDBObj* firstKey;  // the list of top-level keys
  QOXKeyDBObj* lastKey;
  QOXKeyDBObj* keyTree;   // root of the key-ID tree (keydb/key_tree.h)
  MemPool trustPathPool;  // path cells of trust propagation
  void* freePaths;        //   and its two free lists
  void* freeSteps;
  QOXError lastError;     // last error of an object operation
  uintptr_t backendID;    // 0 for a back end; the back end's ID for a front end
  QOXBinaryTree* idTree;  // back-end object ID -> local object (front ends)
  KeyDBNotification* notifications;
  // Packets of a trusted read (the rings) that made or matched no object,
  // trust packets and tag 16 apart. After any the database is not mutable:
  // writing the rings back would lose them.
  uint32_t droppedPackets;
  // The public ring's device and inode while this database holds it: the
  // process keeps one database per ring pair (keydb/ring_files.h).
  uint64_t ringDevice;
  uint64_t ringInode;
  // Taken from one process-wide counter when the database is made and at
  // every change of its objects (qoxKeyDBTakeChangeStamp): no two states of
  // any two databases share a stamp, so a cache keyed by an object and its
  // database's stamp never answers for a changed key, nor for a new key
  // made at a freed one's address.
  uint64_t changeStamp;
};

// --- Public calls: check their arguments, then pass the entry gate ---

// A new empty database, not mutable, with one reference: a back end, or,
// with the key-database service link on, a front end over a new back end
// of the service. kQOXErrBadParams for a null out-parameter (else cleared)
// or an invalid context; the gate's error; kQOXErrOutOfMemory when memory
// runs out.
QOXError QOXNewKeyDB(QOXContext* context, QOXKeyDB** outKeyDB);
// Releases one reference; the last one destroys the database. A mutable
// back end is flushed first on every release, and the flush's error is
// returned (the reference is released all the same). kQOXErrBadParams
// unless the magic is "KYDB".
QOXError QOXFreeKeyDB(QOXKeyDB* db);
QOXError QOXIncKeyDBRefCount(QOXKeyDB* db);
// False for an invalid database or a refusing gate.
bool QOXKeyDBIsMutable(QOXKeyDB* db);
// The real top-level keys. kQOXErrBadParams for a null out-parameter or an invalid
// database.
QOXError QOXCountKeysInKeyDB(QOXKeyDB* db, uint32_t* outCount);
// Null for an invalid database or a refusing gate.
QOXKeySet* QOXPeekKeyDBRootKeySet(QOXKeyDB* db);

// --- Internal calls ---

// A new empty back-end database with its root set, and the notification
// record of the context's connection when it has one (keydb/notifications.h).
QOXError qoxNewKeyDB_internal(QOXContext* context, QOXKeyDB** outKeyDB);
// Releases one reference (keydb/key_db.cc says what the last one frees);
// a mutable back end is flushed first. The flush's error, or 0.
QOXError qoxKeyDBDestroy_internal(QOXKeyDB* db);
// kQOXErrBadParams unless the object is real. A user ID whose key has fewer than two
// real user IDs is refused with kQOXErrBadParams; otherwise the object is marked
// deleted (with its real descendants) and the database dirty. A front end
// has its back end remove its twin first, and marks its own on success.
QOXError qoxKeyDBRemoveObject(QOXKeyDB* db, QOXKeyDBObj* object);
QOXError qoxKeyDBRemoveObject_internal(QOXKeyDB* db, QOXKeyDBObj* object);
// A new stamp from the process-wide counter for the database (null-safe).
void qoxKeyDBTakeChangeStamp(QOXKeyDB* db);
// Marks the database changed and takes a new stamp. With updateLists, the key lists of its sets
// are brought up to date.
void qoxKeyDBChanged(QOXKeyDB* db, bool updateLists);

// A new back-end database over a memory file holding a copy of the buffer
// (kept as its public file), read without trust packets. Null, with
// kQOXErrOutOfMemory or the reader's error in *outError, on any failure (the
// half-made database is destroyed).
QOXKeyDB* qoxCreateKeyDBFromMemory(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* outError);
// Copies an object of another database, with the key and user ID or subkey
// above it, into this one (merging with what is here) and its trust after
// it; the copy. A two-level cache of (source, copy) pairs saves re-adding
// the key and the child when consecutive objects share them; a pair counts
// only while its copy is live here and holds the source's very packet. The database
// is marked dirty. kQOXErrBadParams for bad handles; kQOXErrItemNotFound when a
// level's packet cannot be had or does not parse; kQOXErrOutOfMemory. A
// front end has its back end copy (the source named by its back-end ID),
// takes in the key array of the key holding the copy and finds the copy in
// its ID tree.
QOXError qoxKeyDBAddObject(QOXKeyDB* db, QOXKeyDBObj* object, QOXKeyDBObj** outCopy);
QOXError qoxKeyDBAddObject_internal(QOXKeyDB* db, QOXKeyDBObj* object, QOXKeyDBObj** outCopy);

// Fields (validity is the magic test; null-safe).
bool qoxKeyDBIsValid(const QOXKeyDB* db);
bool qoxKeyDBIsDirty(const QOXKeyDB* db);
QOXKeySet* qoxKeyDBPeekRootSet(const QOXKeyDB* db);
QOXError qoxKeyDBError(const QOXKeyDB* db);
void qoxKeyDBSetError(QOXKeyDB* db, QOXError error);
QOXKeyDB* qoxKeyDBNextKeyDB(const QOXKeyDB* db);
// backendID is not 0.
bool qoxFrontEndKeyDB(const QOXKeyDB* db);

#endif  // OSTRAK_KEYDB_KEY_DB_H_

// Key-ring files: a key database opened from a public ring and, optionally,
// a private ring, held open and locked for its whole life, and written back
// by a flush.
//
// Opening (qoxCreateKeyDBFromKeyRings): the private ring first, then the
// public one, each read and updated ("r+") under an exclusive lock; a
// missing file is created with the create flag; a file that may not be
// written is opened read-only under a shared lock when mutability was not
// asked for. Once its lock holds, the opener checks that the path still
// names the locked file (a flush of another process may have replaced it)
// and opens again, a bounded number of times. Both rings are then read as
// trusted rings (keydb/ring_reader.h); the database is mutable when asked
// and no packet of the rings was dropped by the reader.
//
// One database per ring pair per process: the context that opened a pair
// first gets the same database (one more reference) when it opens it again;
// any other context gets kQOXErrFileLocked, as another process does (the
// ring locks are open-file-description locks, which conflict inside one
// process too).
//
// Flushing writes each ring to a new file beside it (beside the target of
// a symbolic link, which stays a link), created under an exclusive lock
// with the old file's mode and, where the process may, its owner; the new
// files are synced and renamed over the rings, the private ring first, and
// the directory is synced. The new files then become the database's
// readers and hold its locks. The directory must therefore be writable,
// and a ring's other hard links keep the old contents.
//
// On failure the database stays dirty and the error is returned:
// - the new file cannot be made (kQOXErrFilePermissions, kQOXErrCantOpenFile):
//   the rings are untouched;
// - writing or syncing fails (kQOXErrWriteFailed) or the private ring's
//   rename fails: the new files are removed, the rings untouched;
// - the public ring's rename fails: the new private ring stands beside the
//   old public ring, both whole.
//
// Thread safety: a database belongs to its context's thread; the table of
// ring pairs held by the process is guarded by its own mutex, taken by no
// other lock.
#ifndef OSTRAK_KEYDB_RING_FILES_H_
#define OSTRAK_KEYDB_RING_FILES_H_

#include <cstdint>

#include "foundation/errors.h"

struct PFLFileSpec;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;

// Reuses the context's database over the same ring files (one more
// reference; mutable when asked), or opens the rings into a new database.
// Null with the error in *outError on failure (nothing left made):
// kQOXErrFileNotFound, kQOXErrFilePermissions, kQOXErrFileLocked (held by another
// process or context), kQOXErrOutOfMemory, the reader's errors.
QOXKeyDB* qoxCreateKeyDBFromKeyRings(QOXContext* context, const PFLFileSpec* publicSpec,
                                     const PFLFileSpec* privateSpec, uint32_t openFlags, QOXError* outError);

// kQOXErrBadParams unless valid; the entry gate; qoxKeyDBFlushInternal.
QOXError QOXFlushKeyDB(QOXKeyDB* db);
// A front end has its back end flush and refreshes what it names; a back
// end: qoxKeyDBFlush_internal without a changed-keys set.
QOXError qoxKeyDBFlushInternal(QOXKeyDB* db);
// kQOXErrObjectReadOnly when not mutable; 0 when clean; else the signatures of
// the root set are checked and trust propagated (keys whose records change
// go to changed when given), the rings written, and dirty cleared.
QOXError qoxKeyDBFlush_internal(QOXKeyDB* db, QOXKeySet* changed);

// The packets the rings' reading dropped (0 for a database made otherwise).
uint32_t qoxKeyDBDroppedPackets(const QOXKeyDB* db);
// Gives up the process's claim on the database's ring pair (at its end).
void qoxReleaseRingPair(QOXKeyDB* db);

#endif  // OSTRAK_KEYDB_RING_FILES_H_

// The "ldbm" directory backend: its private state and the records that the
// storage layer, the ID lists, the entry tables and the entry cache share.
//
// Ownership: ldbm_back_init allocates one LdbmBackendState and hangs it on
// Backend::privateData; ldbm_back_release frees it. The open-database slots
// are allocated on demand and live until release.
//
// Locks, outermost first (a thread never takes an earlier one while holding
// a later one):
//   1. ServerState::mutexOpsRunning, the mutex of the count of operations in
//      progress that connection_operation keeps (repair walk of the entry
//      cache only);
//   2. EntryCache::mutex (trees, LRU list, sizes, every entry's state and
//      holder count);
//   -- independent of 1-2 --
//   a. DbCacheSlot::idlMutex of one table: held across the read, change and
//      write of one ID list in that table (the caller already holds a
//      reference on the slot, so no slot wait happens under it);
//   b. LdbmBackendState::dbCacheMutex (slot table, names, reference counts,
//      eviction; waiting on dbCacheCond releases it);
//   c. DbCacheSlot::mutex (every library call on that slot's handle; taken
//      inside dbCacheMutex by the flush walks, never the other way round);
//   d. LdbmBackendState::nextIdMutex, then the process-wide NEXTID file lock.
// The server's time mutex is only taken alone, to read the current time.
#ifndef OSTRAK_BACKEND_LDBM_H_
#define OSTRAK_BACKEND_LDBM_H_

#include <db.h>

#include <cstdint>

#include "server/avl.h"
#include "foundation/threads.h"
#include "server/server_state.h"

struct Entry;

// Entry IDs: unsigned 32-bit, starting at 1. NOID marks "none".
using ID = uint32_t;
inline constexpr ID NOID = 0xFFFFFFFFu;

// One open table. A slot with a null name is free.
struct DbCacheSlot {
  char* name;          // directory "/" table ".dbb"; guarded by dbCacheMutex
  int32_t refcnt;      // holders that opened and have not closed; dbCacheMutex
  uint32_t openTime;   // server time at the open; dbCacheMutex
  QOXMutex mutex;      // serialises every library call on dbp
  QOXCond cond;
  uint32_t blockSize;  // preferred block size of the ".dbb" file, else 4096
  uint32_t maxids;     // IDs per ID-list block: blockSize / 4 - 2
  uint32_t maxindirect;  // continuation blocks before ALLIDS: 4000 / maxids + 1
  DB* dbp;             // the library's handle; used under mutex
  QOXMutex idlMutex;   // held across one ID list's read-modify-write
};

// The entry cache: entries by DN and by ID, most recently used first.
struct EntryCache {
  int32_t maxSize;  // entries the cache aims to hold (default 50)
  int32_t curSize;
  Avlnode* dnTree;  // by DN without case
  Avlnode* idTree;  // by ID
  Entry* lruHead;
  Entry* lruTail;
  QOXMutex mutex;   // guards all of the above and the cache fields of entries
};

// Slots kept open before an unused table is closed to make room. The table
// grows past this (up to kDbCacheSlotsMax) rather than wait while every open
// table has a holder, so a thread holding slots never waits for one of its
// own; only when all kDbCacheSlotsMax are held does an opener wait.
inline constexpr int kDbCacheSlotsKept = 15;
inline constexpr int kDbCacheSlotsMax = 256;

struct LdbmBackendState {
  int32_t nextId;       // -1 until NEXTID was read; nextIdMutex
  QOXMutex nextIdMutex;
  int32_t mode;         // permission bits of new files (0644)
  char* directory;      // the database directory, owned
  EntryCache entryCache;
  Avlnode* attrIndexes;  // AttrIndexInfo records by type without case
  int32_t dbCacheSize;   // bytes of library cache for all tables together
  DbCacheSlot* dbCache[kDbCacheSlotsMax];  // allocated on demand; dbCacheMutex
  int32_t dbCacheCount;  // slots allocated so far; dbCacheMutex
  QOXMutex dbCacheMutex;
  QOXCond dbCacheCond;
};

inline LdbmBackendState* LdbmState(Backend* be) {
  return static_cast<LdbmBackendState*>(be->privateData);
}

#endif  // OSTRAK_BACKEND_LDBM_H_

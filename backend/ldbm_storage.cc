// Berkeley DB files of the "ldbm" backend and the cache of open tables.
#include "backend/ldbm_storage.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

// Table names of the split table, by offset.
constexpr const char* kSplitTables[14] = {
    "dn",       "dn2id",     "id2children", "id2entry",         "modifytimestamp", "objectclass", "qoxcertid",
    "qoxdisabled", "qoxkeyexpiretime", "qoxkeyid", "qoxrevoked", "qoxsignerid",     "qoxsubkeyid", "qoxuserid"};

// Written only by the configuration pass while no server thread runs.
int32_t cacheSplit[14];
int32_t bUseCacheSplit;

bool HasBtreeWord(const char* fileName) {
  std::string lower(fileName);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find("id2entry") != std::string::npos || lower.find("id2children") != std::string::npos ||
         lower.find("modifytimestamp") != std::string::npos;
}

bool IsEntryTable(const char* path) {
  const char* slash = strrchr(path, '/');
  std::string lower(slash != nullptr ? slash + 1 : path);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find("id2entry") != std::string::npos;
}

bool FileExists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

DBT Clean(const Datum& d) {
  DBT t;
  memset(&t, 0, sizeof t);
  t.data = d.data;
  t.size = d.size;
  return t;
}

uint32_t CurrentServerTime() {
  if (g == nullptr) return static_cast<uint32_t>(time(nullptr));
  QOXMutexGuard guard(&g->mutexCurrentTime);
  return g->currentTime;
}

void CloseSlotFile(DbCacheSlot* slot) {
  if (slot->dbp != nullptr) ldbm_close(slot->dbp);
  slot->dbp = nullptr;
  zovurezFree(slot->name);
  slot->name = nullptr;
  slot->refcnt = 0;
}

// A new slot with its locks made; null without memory. dbCacheMutex held.
DbCacheSlot* NewSlot(LdbmBackendState* li) {
  if (li->dbCacheCount >= kDbCacheSlotsMax) return nullptr;
  auto* slot = static_cast<DbCacheSlot*>(zovurezCalloc(1, sizeof(DbCacheSlot)));
  if (slot == nullptr) return nullptr;
  QOXMutexCreate(&slot->mutex, nullptr);
  QOXCondCreate(&slot->cond, nullptr);
  QOXMutexCreate(&slot->idlMutex, nullptr);
  li->dbCache[li->dbCacheCount++] = slot;
  return slot;
}

}  // namespace

void ldbm_severe_error(const char* message, const char* file, int line) {
  LogError(kLogError,
           "Severe Error. Message: (%s) File: (%s) Line: (%i) Please report this condition, as well as anything "
           "that might have caused it.",
           message, file, line);
}

Datum ldbm_datum_empty() {
  Datum d;
  memset(&d, 0, sizeof d);
  return d;
}

Datum ldbm_datum_of(const void* data, uint32_t size) {
  Datum d = ldbm_datum_empty();
  d.data = const_cast<void*>(data);
  d.size = size;
  return d;
}

// --- The library layer ---

DB* ldbm_open(const char* path, uint32_t flags, int mode, int32_t cacheSize) {
  if (path == nullptr) return nullptr;
  std::string file(path);
  size_t dot = file.rfind('.');
  if (dot == std::string::npos) return nullptr;
  std::string ext = file.substr(dot);
  DBTYPE type;
  if (strcasecmp(ext.c_str(), ".dbb") == 0) {
    size_t slash = file.rfind('/');
    const char* base = file.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    if (FileExists(file.c_str()) || HasBtreeWord(base)) {
      type = DB_BTREE;
    } else {
      file.replace(dot, std::string::npos, ".dbh");
      type = DB_HASH;
    }
  } else if (strcasecmp(ext.c_str(), ".dbh") == 0) {
    type = DB_HASH;
  } else {
    return nullptr;
  }
  DB* db = nullptr;
  if (db_create(&db, nullptr, 0) != 0 || db == nullptr) return nullptr;
  db->set_alloc(db, zovurezMalloc, zovurezRealloc, zovurezFree);
  if (cacheSize > 0) db->set_cachesize(db, 0, static_cast<uint32_t>(cacheSize), 0);
  // A new entry table gets pages large enough to hold a key entry on its
  // leaf page (an item above a quarter page goes to overflow pages of its
  // own). An existing file keeps the page size it was made with.
  if (type == DB_BTREE && IsEntryTable(file.c_str()) && !FileExists(file.c_str()))
    db->set_pagesize(db, kEntryTablePageSize);
  if (db->open(db, nullptr, file.c_str(), nullptr, type, flags, mode) != 0) {
    db->close(db, 0);
    return nullptr;
  }
  return db;
}

int ldbm_close(DB* db) { return db == nullptr ? EINVAL : db->close(db, 0); }

int ldbm_sync(DB* db) { return db == nullptr ? EINVAL : db->sync(db, 0); }

Datum ldbm_fetch(DB* db, Datum key) {
  Datum data = ldbm_datum_empty();
  if (db == nullptr) return data;
  DBT k = Clean(key);
  data.flags = DB_DBT_MALLOC;
  if (db->get(db, nullptr, &k, &data, 0) != 0) {
    if (data.data != nullptr) zovurezFree(data.data);
    return ldbm_datum_empty();
  }
  data.flags = 0;
  return data;
}

int ldbm_store(DB* db, Datum key, Datum data, uint32_t flags) {
  if (db == nullptr) return EINVAL;
  DBT k = Clean(key);
  DBT d = Clean(data);
  int rc = db->put(db, nullptr, &k, &d, flags & ~kLdbmSyncAfterPut);
  if ((flags & kLdbmSyncAfterPut) != 0) db->sync(db, 0);
  return rc;
}

int ldbm_delete(DB* db, Datum key) {
  if (db == nullptr) return EINVAL;
  DBT k = Clean(key);
  int rc = db->del(db, nullptr, &k, 0);
  db->sync(db, 0);
  return rc;
}

namespace {

void* CopyItem(const DBT& item) {
  if (item.size == 0 || item.data == nullptr) return nullptr;
  void* p = zovurezMalloc(item.size);
  if (p != nullptr) memcpy(p, item.data, item.size);
  return p;
}

int CursorGet(DBC* cursor, Datum* key, Datum* data, uint32_t how) {
  DBT k, d;
  memset(&k, 0, sizeof k);
  memset(&d, 0, sizeof d);
  *key = ldbm_datum_empty();
  *data = ldbm_datum_empty();
  int rc = cursor->get(cursor, &k, &d, how);
  if (rc != 0) return rc;
  key->data = CopyItem(k);
  key->size = key->data != nullptr ? k.size : 0;
  data->data = CopyItem(d);
  data->size = data->data != nullptr ? d.size : 0;
  if ((k.size != 0 && key->data == nullptr) || (d.size != 0 && data->data == nullptr)) {
    zovurezFree(key->data);
    zovurezFree(data->data);
    *key = ldbm_datum_empty();
    *data = ldbm_datum_empty();
    return ENOMEM;
  }
  return 0;
}

}  // namespace

int ldbm_getfirst(DB* db, DBC** cursor, Datum* key, Datum* data) {
  *cursor = nullptr;
  if (db == nullptr) return EINVAL;
  int rc = db->cursor(db, nullptr, cursor, 0);
  if (rc != 0) return rc;
  return CursorGet(*cursor, key, data, DB_FIRST);
}

int ldbm_getnext(DB* db, DBC* cursor, Datum* key, Datum* data) {
  if (db == nullptr || cursor == nullptr) return EINVAL;
  return CursorGet(cursor, key, data, DB_NEXT);
}

int ldbm_closeget(DB* /*db*/, DBC* cursor) { return cursor == nullptr ? 0 : cursor->close(cursor); }

void ldbm_datum_free(DB* /*db*/, Datum datum) { zovurezFree(datum.data); }

Datum ldbm_datum_dup(DB* /*db*/, Datum datum) {
  Datum d = ldbm_datum_empty();
  if (datum.size == 0 || datum.data == nullptr) return d;
  d.data = zovurezMalloc(datum.size);
  if (d.data == nullptr) return d;
  memcpy(d.data, datum.data, datum.size);
  d.size = datum.size;
  return d;
}

int ldbm_errno(DB* /*db*/) { return errno; }

// --- The cache split table ---

int GetCacheSplitOffset(const char* table) {
  if (table == nullptr) return -1;
  for (int i = 0; i < 14; ++i) {
    if (strcasecmp(table, kSplitTables[i]) == 0) return i;
  }
  return -1;
}

int SetCacheSplitInfo(const char* table, int32_t percent) {
  if (percent < 1 || percent > 86) return 1;
  int offset = GetCacheSplitOffset(table);
  if (offset < 0) return 2;
  cacheSplit[offset] = percent;
  return 0;
}

void ResetCacheSplitInfo() {
  for (int32_t& p : cacheSplit) p = 0;
  bUseCacheSplit = 0;
}

int CheckCacheSplitInfo() {
  bUseCacheSplit = 0;
  for (int32_t p : cacheSplit) {
    if (p != 0) bUseCacheSplit = 1;
  }
  if (!bUseCacheSplit) return 0;
  int32_t sum = 0;
  for (int32_t p : cacheSplit) {
    if (p == 0) return 1;
    sum += p;
  }
  return sum == 100 ? 0 : 2;
}

int32_t ldbm_table_cache_size(const char* table, int32_t total) {
  if (!bUseCacheSplit) return total / 14;
  int offset = GetCacheSplitOffset(table);
  if (offset < 0) {
    ldbm_severe_error("Invalid offset for cache split.", "beDBCache.c", 61);
    return total / 14;
  }
  return static_cast<int32_t>(static_cast<int64_t>(total) * cacheSplit[offset] / 100);
}

// --- The open-database cache ---

uint32_t ldbm_open_flags(Backend* be) { return be->readOnly ? DB_RDONLY : DB_CREATE; }

DbCacheSlot* ldbm_cache_open(Backend* be, const char* table, const char* suffix, uint32_t flags) {
  LdbmBackendState* li = LdbmState(be);
  if (li->directory == nullptr || table == nullptr || suffix == nullptr) {
    // Without a database directory a table would land in the root directory.
    LogError(kLogError, "Could not open database.  Make sure owner or group has read and write access to all database files.");
    return nullptr;
  }
  std::string path = std::string(li->directory) + '/' + table + suffix;
  uint32_t now = CurrentServerTime();

  QOXMutexGuard guard(&li->dbCacheMutex);
  DbCacheSlot* target = nullptr;
  for (int waits = 0;; ++waits) {
    DbCacheSlot* freeSlot = nullptr;
    DbCacheSlot* oldest = nullptr;    // unused, opened strictly before now
    DbCacheSlot* anyUnused = nullptr;
    for (int i = 0; i < li->dbCacheCount; ++i) {
      DbCacheSlot* s = li->dbCache[i];
      if (s->name == nullptr) {
        if (freeSlot == nullptr) freeSlot = s;
        continue;
      }
      if (path == s->name) {
        ++s->refcnt;
        return s;
      }
      if (s->refcnt == 0) {
        if (anyUnused == nullptr) anyUnused = s;
        if (s->openTime < now && (oldest == nullptr || s->openTime < oldest->openTime)) oldest = s;
      }
    }
    if (freeSlot != nullptr) {
      target = freeSlot;
    } else if (li->dbCacheCount < kDbCacheSlotsKept) {
      target = NewSlot(li);
    } else if (oldest != nullptr || anyUnused != nullptr) {
      target = oldest != nullptr ? oldest : anyUnused;
      CloseSlotFile(target);
    } else {
      // Every open table has a holder: grow rather than wait, so a thread
      // that holds slots itself never waits for one of them.
      target = NewSlot(li);
    }
    if (target != nullptr) break;
    if (li->dbCacheCount < kDbCacheSlotsMax) {
      LogError(kLogError, "Out of memory.\n");
      return nullptr;
    }
    if (waits >= 6) {
      LogError(kLogError, "No open database was given back for a minute; could not open %s.", path.c_str());
      return nullptr;
    }
    // The last resort: all kDbCacheSlotsMax tables are held. Wait a bounded
    // time for a holder to give one back.
    vuzizTrace(kTraceStartStop, "ldbm_cache_open no unused db to close - waiting\n");
    LogError(kLogWarning, "All %d open databases are in use; waiting for one to be closed.", kDbCacheSlotsMax);
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 10;
    pthread_cond_timedwait(&li->dbCacheCond, &li->dbCacheMutex, &until);
  }

  int32_t cacheSize = ldbm_table_cache_size(table, li->dbCacheSize);
  DB* db = ldbm_open(path.c_str(), flags, li->mode, cacheSize);
  if (db == nullptr) {
    LogError(kLogError,
             "Could not open database.  Make sure owner or group has read and write access to all database files.");
    return nullptr;
  }
  char* name = zovurezStrdup(path.c_str());
  if (name == nullptr) {
    ldbm_close(db);
    LogError(kLogError, "Out of memory.\n");
    return nullptr;
  }
  struct stat st;
  uint32_t blockSize = stat(path.c_str(), &st) == 0 && st.st_blksize > 0 ? static_cast<uint32_t>(st.st_blksize) : 4096;
  target->name = name;
  target->refcnt = 1;
  target->openTime = now;
  target->dbp = db;
  target->blockSize = blockSize;
  target->maxids = (blockSize >> 2) - 2;
  target->maxindirect = 4000 / target->maxids + 1;
  vuzizTrace(kTraceArgs, "ldbm_cache_open (blksize %d) (maxids %d) (maxindirect %d)\n",
             static_cast<int>(target->blockSize), static_cast<int>(target->maxids),
             static_cast<int>(target->maxindirect));
  return target;
}

void ldbm_cache_close(Backend* be, DbCacheSlot* slot) {
  if (slot == nullptr) return;
  LdbmBackendState* li = LdbmState(be);
  QOXMutexGuard guard(&li->dbCacheMutex);
  if (slot->refcnt > 0 && --slot->refcnt == 0) QOXCondBroadcast(&li->dbCacheCond);
}

void ldbm_cache_really_close(Backend* be, DbCacheSlot* slot) {
  if (slot == nullptr) return;
  LdbmBackendState* li = LdbmState(be);
  QOXMutexGuard guard(&li->dbCacheMutex);
  if (slot->refcnt > 1) {
    --slot->refcnt;
    return;
  }
  QOXCondBroadcast(&li->dbCacheCond);
  QOXMutexGuard slotGuard(&slot->mutex);
  CloseSlotFile(slot);
}

Datum ldbm_cache_fetch(DbCacheSlot* slot, Datum key) {
  QOXMutexGuard guard(&slot->mutex);
  return ldbm_fetch(slot->dbp, key);
}

int ldbm_cache_store(DbCacheSlot* slot, Datum key, Datum data, uint32_t flags) {
  QOXMutexGuard guard(&slot->mutex);
  return ldbm_store(slot->dbp, key, data, flags);
}

int ldbm_cache_delete(DbCacheSlot* slot, Datum key) {
  QOXMutexGuard guard(&slot->mutex);
  return ldbm_delete(slot->dbp, key);
}

void ldbm_cache_flush_all(Backend* be) {
  LdbmBackendState* li = LdbmState(be);
  QOXMutexGuard guard(&li->dbCacheMutex);
  for (int i = 0; i < li->dbCacheCount; ++i) {
    DbCacheSlot* s = li->dbCache[i];
    if (s->name == nullptr) continue;
    QOXMutexGuard slotGuard(&s->mutex);
    ldbm_sync(s->dbp);
  }
}

void ldbm_cache_flush_and_close_all(Backend* be) {
  LdbmBackendState* li = LdbmState(be);
  QOXMutexGuard guard(&li->dbCacheMutex);
  for (int i = 0; i < li->dbCacheCount; ++i) {
    DbCacheSlot* s = li->dbCache[i];
    if (s->name == nullptr) continue;
    QOXMutexGuard slotGuard(&s->mutex);
    ldbm_sync(s->dbp);
    if (s->refcnt == 0) CloseSlotFile(s);
  }
}

// The storage layer of the "ldbm" backend: Berkeley DB files in the database
// directory, reached through a shared cache of open tables.
//
// A table is asked for by name with the suffix ".dbb". ldbm_open picks the
// file: an existing ".dbb" file is a B-tree; a missing one is created as a
// B-tree when the file name contains "id2entry", "id2children" or
// "modifytimestamp", else the same name with ".dbh" is opened as a hash
// table. A new entry table ("id2entry") is made with kEntryTablePageSize
// pages, every other new file with the library's default (the file system's
// block size); an existing file keeps the page size it was made with, so a
// directory made with other page sizes opens as it is. Keys and values are the library's DBT records (Datum). A datum
// returned by a fetch owns bytes from zovurezMalloc and is given back with
// ldbm_datum_free; a null data pointer means "not found".
//
// Thread safety: the ldbm_cache_* calls may be used from any thread (locks in
// backend/ldbm.h). The plain ldbm_* calls on a handle are not serialised;
// use them on a handle only under its slot mutex (the ldbm_cache_* wrappers
// do).
#ifndef OSTRAK_BACKEND_LDBM_STORAGE_H_
#define OSTRAK_BACKEND_LDBM_STORAGE_H_

#include <db.h>

#include <cstdint>
#include <cstdio>

#include "backend/ldbm.h"

using Datum = DBT;

// Page size of a new entry table. The library keeps an item above about a
// quarter page on overflow pages of its own; with 16 KiB pages a key entry
// (its armored block of 1 to 4 KB) stays on its leaf page beside its user-ID
// entries, instead of taking a 4 KiB overflow page for 1 to 2 KB.
inline constexpr uint32_t kEntryTablePageSize = 16384;

// Set in the flags of ldbm_store/ldbm_cache_store: sync the file after the
// put, whatever its result.
inline constexpr uint32_t kLdbmSyncAfterPut = 0x80000000u;

// An empty datum (null data: "absent").
Datum ldbm_datum_empty();
// A datum over caller-owned bytes (not copied).
Datum ldbm_datum_of(const void* data, uint32_t size);

// --- The library layer ---
// flags: DB_CREATE for a writable backend, DB_RDONLY for a read-only one.
// Null when the path's extension is not ".dbb"/".dbh" or the open fails.
DB* ldbm_open(const char* path, uint32_t flags, int mode, int32_t cacheSize);
int ldbm_close(DB* db);
int ldbm_sync(DB* db);
Datum ldbm_fetch(DB* db, Datum key);  // empty datum on any error
// flags: 0 replace, DB_NOOVERWRITE refuse an existing key (DB_KEYEXIST),
// optionally with kLdbmSyncAfterPut.
int ldbm_store(DB* db, Datum key, Datum data, uint32_t flags);
int ldbm_delete(DB* db, Datum key);  // always synced afterwards
// Cursor walk: copies of key and data from zovurezMalloc (null for a
// zero-length item). 0 or the library's code (DB_NOTFOUND at the end).
int ldbm_getfirst(DB* db, DBC** cursor, Datum* key, Datum* data);
int ldbm_getnext(DB* db, DBC* cursor, Datum* key, Datum* data);
int ldbm_closeget(DB* db, DBC* cursor);
void ldbm_datum_free(DB* db, Datum datum);
Datum ldbm_datum_dup(DB* db, Datum datum);
int ldbm_errno(DB* db);

// --- The open-database cache ---
// table without suffix; suffix ".dbb"; flags as for ldbm_open. The slot is
// held until ldbm_cache_close. Null (logged) when the file cannot be opened.
DbCacheSlot* ldbm_cache_open(Backend* be, const char* table, const char* suffix, uint32_t flags);
// The flags the backend's tables are normally opened with.
uint32_t ldbm_open_flags(Backend* be);
void ldbm_cache_close(Backend* be, DbCacheSlot* slot);
void ldbm_cache_really_close(Backend* be, DbCacheSlot* slot);
Datum ldbm_cache_fetch(DbCacheSlot* slot, Datum key);
int ldbm_cache_store(DbCacheSlot* slot, Datum key, Datum data, uint32_t flags);
int ldbm_cache_delete(DbCacheSlot* slot, Datum key);
void ldbm_cache_flush_all(Backend* be);
void ldbm_cache_flush_and_close_all(Backend* be);

// RAII holder of one cache slot (closes it on scope exit).
class DbSlotHolder {
 public:
  DbSlotHolder(Backend* be, DbCacheSlot* slot) : be_(be), slot_(slot) {}
  ~DbSlotHolder() {
    if (slot_ != nullptr) ldbm_cache_close(be_, slot_);
  }
  DbSlotHolder(const DbSlotHolder&) = delete;
  DbSlotHolder& operator=(const DbSlotHolder&) = delete;
  DbCacheSlot* get() const { return slot_; }

 private:
  Backend* be_;
  DbCacheSlot* slot_;
};

// --- The cache split table (per-table shares of the library cache) ---
// 0..13 for the fourteen known tables (any case), else -1.
int GetCacheSplitOffset(const char* table);
// 0 stored, 1 percent outside 1..86, 2 unknown table.
int SetCacheSplitInfo(const char* table, int32_t percent);
// Clears every share (before a configuration pass).
void ResetCacheSplitInfo();
// After the pass: 0 no shares or fourteen that add up to 100, 1 some table
// has none, 2 they do not add up to 100.
int CheckCacheSplitInfo();
// The bytes of library cache a table gets out of the total.
int32_t ldbm_table_cache_size(const char* table, int32_t total);

// --- The database set (start-up) ---
// -1 on failure, else the number of files it announced creating. Closes the
// backend's tables afterwards.
int CreateDatabases(Backend* be);
// 0 locked (the lock file's stream through lock), 1 not.
int LockDBs(Backend* be, FILE** lock);
int UnlockDBs(FILE* lock);
// 0 go on, 1 stop or create; count: required files found (0-6).
int CheckRequiredDBs(Backend* be, uint16_t* count);

// Logs the "Severe Error" report used for conditions that should not occur.
void ldbm_severe_error(const char* message, const char* file, int line);

#endif  // OSTRAK_BACKEND_LDBM_STORAGE_H_

// The entry cache: recently used directory entries shared by all connection
// threads, found by DN (without case) and by ID, most recently used first.
//
// Ownership: the cache owns the entries in it. A thread that adds or finds
// an entry holds it (holder count) and gives it back with
// cache_return_entry; a held entry is never freed under its holder. An entry
// deleted while held (state 1) is freed by its last holder.
//
// States: 0 ready, 1 deleted (out of the cache), 2 being created (in the
// cache but not returned by lookups).
//
// Thread safety: every call takes EntryCache::mutex. cache_reset_refcounts
// takes ServerState::mutexOpsRunning first (see backend/ldbm.h).
#ifndef OSTRAK_BACKEND_ENTRY_CACHE_H_
#define OSTRAK_BACKEND_ENTRY_CACHE_H_

#include "backend/ldbm.h"
#include "server/entry.h"

inline constexpr int kEntryReady = 0;
inline constexpr int kEntryDeleted = 1;
inline constexpr int kEntryCreating = 2;

void cache_init(EntryCache* cache, int32_t maxSize);
// Frees every entry still cached and the trees (backend close).
void cache_release(EntryCache* cache);

// 0 added and held once, 1 an entry of that DN is cached, -1 one of that ID.
int cache_add_entry_lock(EntryCache* cache, Entry* e, int state);
Entry* cache_find_entry_dn(EntryCache* cache, const char* dn);
Entry* cache_find_entry_id(EntryCache* cache, ID id);
void cache_return_entry(EntryCache* cache, Entry* e);

// One hold of a cached entry, given back with cache_return_entry when the
// scope ends (nothing for a null entry).
class CacheHold {
 public:
  CacheHold(EntryCache* cache, Entry* e) : cache_(cache), e_(e) {}
  CacheHold(Backend* be, Entry* e) : CacheHold(&LdbmState(be)->entryCache, e) {}
  ~CacheHold() {
    if (e_ != nullptr) cache_return_entry(cache_, e_);
  }
  CacheHold(const CacheHold&) = delete;
  CacheHold& operator=(const CacheHold&) = delete;
  Entry* get() const { return e_; }

 private:
  EntryCache* cache_;
  Entry* e_;
};
void cache_set_state(EntryCache* cache, Entry* e, int state);
// 0 removed, -1 not in the DN tree, -2 not in the ID tree.
int cache_delete_entry(EntryCache* cache, Entry* e);
// After a sync: when no operation is running, sets every cached entry's
// holder count back to 0, logging each that was not.
void cache_reset_refcounts(Backend* be);

#endif  // OSTRAK_BACKEND_ENTRY_CACHE_H_

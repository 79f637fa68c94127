// The entry table.
#include <cstring>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_storage.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {


}  // namespace

int id2entry_add(Backend* be, Entry* e) {
  DbSlotHolder db(be, ldbm_cache_open(be, "id2entry", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "Could not open/create id2entry%s\n", ".dbb");
    return -1;
  }
  uint8_t key[4];
  ldbm_id_bytes(e->e_id, key);
  int rc;
  {
    // A buffer of this call's own: writers render at once; the slot's
    // mutex orders the stores.
    EntryTextBuffer buffer;
    int length = 0;
    char* text = entry2str(e, &buffer, &length, 1);
    if (text == nullptr) return -1;
    uint32_t flags = (g != nullptr && g->ForceSyncOnWrite) ? kLdbmSyncAfterPut : 0;
    rc = ldbm_cache_store(db.get(), ldbm_datum_of(key, 4), ldbm_datum_of(text, static_cast<uint32_t>(length) + 1),
                          flags);
  }
  cache_add_entry_lock(&LdbmState(be)->entryCache, e, kEntryReady);
  return rc;
}

int id2entry_delete(Backend* be, Entry* e) {
  DbSlotHolder db(be, ldbm_cache_open(be, "id2entry", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "Could not open/create id2entry%s\n", ".dbb");
    return -1;
  }
  if (cache_delete_entry(&LdbmState(be)->entryCache, e) != 0) {
    vuzizTrace(kTraceStartStop, "could not delete %d (%s) from cache\n", static_cast<int>(e->e_id),
               e->e_dn != nullptr ? e->e_dn : "");
  }
  uint8_t key[4];
  ldbm_id_bytes(e->e_id, key);
  return ldbm_cache_delete(db.get(), ldbm_datum_of(key, 4));
}

Entry* id2entry(Backend* be, ID id) {
  EntryCache* cache = &LdbmState(be)->entryCache;
  if (Entry* e = cache_find_entry_id(cache, id); e != nullptr) return e;
  DbSlotHolder db(be, ldbm_cache_open(be, "id2entry", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "Could not open id2entry%s\n", ".dbb");
    return nullptr;
  }
  uint8_t key[4];
  ldbm_id_bytes(id, key);
  Datum data = ldbm_cache_fetch(db.get(), ldbm_datum_of(key, 4));
  if (data.data == nullptr) return nullptr;
  // The stored text ends with NUL, but a damaged record may not: parse a
  // terminated copy.
  auto* text = static_cast<char*>(zovurezMalloc(static_cast<size_t>(data.size) + 1));
  if (text == nullptr) {
    ldbm_datum_free(db.get()->dbp, data);
    return nullptr;
  }
  memcpy(text, data.data, data.size);
  text[data.size] = '\0';
  ldbm_datum_free(db.get()->dbp, data);
  Entry* e = str2entry(text);
  zovurezFree(text);
  if (e == nullptr) return nullptr;
  e->e_id = id;
  if (cache_add_entry_lock(cache, e, kEntryReady) != 0) {
    // Another thread cached it meanwhile: use that one.
    entry_free(e);
    return cache_find_entry_id(cache, id);
  }
  return e;
}

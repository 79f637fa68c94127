// The entry cache.
#include "backend/entry_cache.h"

#include <strings.h>

#include "server/error_log.h"

namespace {

int DnCompare(void* a, void* b) {
  const char* x = static_cast<Entry*>(a)->e_dn;
  const char* y = static_cast<Entry*>(b)->e_dn;
  return strcasecmp(x != nullptr ? x : "", y != nullptr ? y : "");
}

int IdCompare(void* a, void* b) {
  ID x = static_cast<Entry*>(a)->e_id;
  ID y = static_cast<Entry*>(b)->e_id;
  return x < y ? -1 : (x > y ? 1 : 0);
}

// cache->mutex held for all of these.
void LruUnlink(EntryCache* c, Entry* e) {
  if (e->e_lruprev != nullptr) {
    e->e_lruprev->e_lrunext = e->e_lrunext;
  } else if (c->lruHead == e) {
    c->lruHead = e->e_lrunext;
  }
  if (e->e_lrunext != nullptr) {
    e->e_lrunext->e_lruprev = e->e_lruprev;
  } else if (c->lruTail == e) {
    c->lruTail = e->e_lruprev;
  }
  e->e_lrunext = e->e_lruprev = nullptr;
}

void LruLinkHead(EntryCache* c, Entry* e) {
  e->e_lruprev = nullptr;
  e->e_lrunext = c->lruHead;
  if (c->lruHead != nullptr) c->lruHead->e_lruprev = e;
  c->lruHead = e;
  if (c->lruTail == nullptr) c->lruTail = e;
}

void LruToHead(EntryCache* c, Entry* e) {
  if (c->lruHead == e) return;
  LruUnlink(c, e);
  LruLinkHead(c, e);
}

int DeleteInternal(EntryCache* c, Entry* e) {
  if (avl_delete(&c->dnTree, e, DnCompare) == nullptr) {
    LogError(kLogError, "Could not delete dn (%s) from dn tree.\n", e->e_dn != nullptr ? e->e_dn : "");
    LruToHead(c, e);
    return -1;
  }
  if (avl_delete(&c->idTree, e, IdCompare) == nullptr) {
    LogError(kLogError, "Could not delete id (%u) from id tree.\n", e->e_id);
    LruToHead(c, e);
    return -2;
  }
  LruUnlink(c, e);
  --c->curSize;
  e->e_state = kEntryDeleted;
  return 0;
}

}  // namespace

void cache_init(EntryCache* cache, int32_t maxSize) {
  cache->maxSize = maxSize;
  cache->curSize = 0;
  cache->dnTree = cache->idTree = nullptr;
  cache->lruHead = cache->lruTail = nullptr;
  QOXMutexCreate(&cache->mutex, nullptr);
}

void cache_release(EntryCache* cache) {
  QOXMutexGuard guard(&cache->mutex);
  avl_free(cache->dnTree, [](void* e) { entry_free(static_cast<Entry*>(e)); });
  avl_free(cache->idTree, nullptr);
  cache->dnTree = cache->idTree = nullptr;
  cache->lruHead = cache->lruTail = nullptr;
  cache->curSize = 0;
}

int cache_add_entry_lock(EntryCache* c, Entry* e, int state) {
  QOXMutexGuard guard(&c->mutex);
  int rc = avl_insert(&c->dnTree, e, DnCompare, avl_dup_error);
  if (rc != 0) {
    vuzizTrace(kTraceStartStop, "entry %20s id %d already in dn cache\n", e->e_dn != nullptr ? e->e_dn : "",
               static_cast<int>(e->e_id));
    return 1;
  }
  rc = avl_insert(&c->idTree, e, IdCompare, avl_dup_error);
  if (rc != 0) {
    vuzizTrace(kTraceStartStop, "entry %20s id %d already in id cache\n", e->e_dn != nullptr ? e->e_dn : "",
               static_cast<int>(e->e_id));
    if (avl_delete(&c->dnTree, e, DnCompare) == nullptr) vuzizTrace(kTraceStartStop, "can't delete from dn cache\n");
    return -1;
  }
  e->e_state = state;
  e->e_refcnt = 1;
  LruLinkHead(c, e);
  ++c->curSize;
  if (c->curSize > c->maxSize) {
    // Held entries at the tail go to the head (at most ten), then unheld
    // ones are dropped from the tail while the cache is too large.
    for (int i = 0; i < 10 && c->lruTail != nullptr && c->lruTail->e_refcnt != 0; ++i) {
      LruToHead(c, c->lruTail);
    }
    int guardSteps = c->curSize;
    while (c->lruTail != nullptr && c->lruTail->e_refcnt == 0 && c->curSize > c->maxSize && guardSteps-- > 0) {
      Entry* victim = c->lruTail;
      if (DeleteInternal(c, victim) == 0) entry_free(victim);
    }
  }
  return 0;
}

Entry* cache_find_entry_dn(EntryCache* c, const char* dn) {
  QOXMutexGuard guard(&c->mutex);
  Entry probe{};
  probe.e_dn = const_cast<char*>(dn);
  auto* e = static_cast<Entry*>(avl_find(c->dnTree, &probe, DnCompare));
  if (e == nullptr || e->e_state != kEntryReady) return nullptr;
  ++e->e_refcnt;
  LruToHead(c, e);
  return e;
}

Entry* cache_find_entry_id(EntryCache* c, ID id) {
  QOXMutexGuard guard(&c->mutex);
  Entry probe{};
  probe.e_id = id;
  auto* e = static_cast<Entry*>(avl_find(c->idTree, &probe, IdCompare));
  if (e == nullptr || e->e_state != kEntryReady) return nullptr;
  ++e->e_refcnt;
  LruToHead(c, e);
  return e;
}

void cache_return_entry(EntryCache* c, Entry* e) {
  if (e == nullptr) return;
  bool freeIt = false;
  {
    QOXMutexGuard guard(&c->mutex);
    // A count already reset by the repair walk stays at 0.
    if (e->e_refcnt > 0) --e->e_refcnt;
    freeIt = e->e_state == kEntryDeleted && e->e_refcnt == 0;
  }
  if (freeIt) entry_free(e);
}

void cache_set_state(EntryCache* c, Entry* e, int state) {
  QOXMutexGuard guard(&c->mutex);
  e->e_state = state;
}

int cache_delete_entry(EntryCache* c, Entry* e) {
  QOXMutexGuard guard(&c->mutex);
  return DeleteInternal(c, e);
}

void cache_reset_refcounts(Backend* be) {
  if (be == nullptr || be->privateData == nullptr || g == nullptr) return;
  EntryCache* c = &LdbmState(be)->entryCache;
  QOXMutexGuard ops(&g->mutexOpsRunning);
  if (g->operationsRunning != 0) return;
  QOXMutexGuard guard(&c->mutex);
  for (Entry* e = c->lruHead; e != nullptr; e = e->e_lrunext) {
    if (e->e_refcnt != 0) {
      LogError(kLogVerbose, "Non-zero cache refcount. count=%d, dn='%s'", e->e_refcnt,
               e->e_dn != nullptr ? e->e_dn : "");
      e->e_refcnt = 0;
    }
  }
}

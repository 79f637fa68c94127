// ID lists: blocks, their records, and the set operations.
#include "backend/idl.h"

#include <algorithm>
#include <memory>
#include <vector>
#include <cstdio>
#include <cstring>
#include <string>

#include "backend/next_id.h"
#include "foundation/byte_order.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

size_t BlockBytes(uint32_t nmax) { return (static_cast<size_t>(nmax) + 2) * sizeof(ID); }

using IdlPtr = ostrak::UniquePtr<IdList>;

std::string KeyText(Datum key) {
  const char* p = static_cast<const char*>(key.data);
  if (p == nullptr) return std::string();
  size_t n = strnlen(p, key.size);
  return std::string(p, n);
}

// '\' + key text + first ID as signed decimal, with NUL in the size.
std::string ContinuationKey(Datum key, ID first) {
  char number[16];
  snprintf(number, sizeof number, "%d", static_cast<int32_t>(first));
  return "\\" + KeyText(key) + number;
}

Datum KeyDatum(const std::string& text) { return ldbm_datum_of(text.c_str(), static_cast<uint32_t>(text.size() + 1)); }

IdList* FetchOne(DbCacheSlot* slot, Datum key) {
  Datum data = ldbm_cache_fetch(slot, key);
  if (data.data == nullptr) return nullptr;
  IdList* b = idl_decode(data.data, data.size);
  if (b == nullptr) vuzizTrace(kTraceStartStop, "idl record of (%s) is malformed\n", KeyText(key).c_str());
  ldbm_datum_free(slot->dbp, data);
  return b;
}

int Store(DbCacheSlot* slot, Datum key, const IdList* b) {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (!idl_encode(b, &bytes, &size)) return -1;
  int rc = ldbm_cache_store(slot, key, ldbm_datum_of(bytes, size), 0);
  zovurezFree(bytes);
  if (rc != 0) vuzizTrace(kTraceStartStop, "idl_store of (%s) returns %d\n", KeyText(key).c_str(), rc);
  return rc;
}

// Number of continuation blocks a header names.
uint32_t HeaderBlocks(const IdList* h) {
  uint32_t j = 0;
  while (j < h->b_nmax && h->b_ids[j] != NOID) ++j;
  return j;
}

// Splits the full block b around id (not in b) into two exactly full blocks.
bool SplitBlock(const IdList* b, ID id, IdlPtr* a, IdlPtr* c) {
  uint32_t p = 0;
  while (p < b->b_nids && b->b_ids[p] < id) ++p;
  uint32_t n = b->b_nids;
  if (p == 0) {
    a->reset(idl_alloc(1));
    c->reset(idl_alloc(n));
    if (!*a || !*c) return false;
    (*a)->b_ids[0] = id;
    (*a)->b_nids = 1;
    memcpy((*c)->b_ids, b->b_ids, n * sizeof(ID));
    (*c)->b_nids = n;
  } else {
    a->reset(idl_alloc(p));
    c->reset(idl_alloc(n - p + 1));
    if (!*a || !*c) return false;
    memcpy((*a)->b_ids, b->b_ids, p * sizeof(ID));
    (*a)->b_nids = p;
    (*c)->b_ids[0] = id;
    memcpy((*c)->b_ids + 1, b->b_ids + p, (n - p) * sizeof(ID));
    (*c)->b_nids = n - p + 1;
  }
  return true;
}

// Removes id from a direct block; false when absent.
bool RemoveId(IdList* b, ID id) {
  uint32_t i = 0;
  while (i < b->b_nids && b->b_ids[i] != id) ++i;
  if (i == b->b_nids) return false;
  memmove(b->b_ids + i, b->b_ids + i + 1, (b->b_nids - i - 1) * sizeof(ID));
  b->b_ids[--b->b_nids] = NOID;
  return true;
}

uint32_t MaxIds(const DbCacheSlot* slot) { return slot->maxids > 0 ? slot->maxids : 1; }

}  // namespace

// --- Blocks ---

IdList* idl_alloc(uint32_t n) {
  auto* b = static_cast<IdList*>(zovurezCalloc(1, BlockBytes(n)));
  if (b != nullptr) b->b_nmax = n;
  return b;
}

IdList* idl_allids(Backend* be) {
  IdList* b = idl_alloc(0);
  if (b == nullptr) return nullptr;
  long next = next_id(be, 1);
  if (next < 1) {
    // Without a readable NEXTID the last known value stands; 1 (no entry)
    // when there is none, so no search walks IDs that were never given.
    int32_t known = LdbmState(be)->nextId;
    next = known > 0 ? known : 1;
  }
  b->b_nids = static_cast<ID>(next);
  return b;
}

void idl_free(IdList* b) { zovurezFree(b); }

IdList* idl_dup(const IdList* b) {
  if (b == nullptr) return nullptr;
  IdList* c = idl_alloc(b->b_nmax);
  if (c != nullptr) memcpy(c, b, BlockBytes(b->b_nmax));
  return c;
}

IdList* idl_decode(const void* bytes, uint32_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (p == nullptr || size < 8 || size % 4 != 0) return nullptr;
  ID nmax = LoadBE32(p);
  ID nids = LoadBE32(p + 4);
  if (BlockBytes(nmax) != size) return nullptr;
  if (nmax != 0 && nids > nmax) return nullptr;
  IdList* b = idl_alloc(nmax);
  if (b == nullptr) return nullptr;
  b->b_nids = nids;
  for (uint32_t i = 0; i < nmax; ++i) b->b_ids[i] = LoadBE32(p + 8 + 4 * i);
  return b;
}

bool idl_encode(const IdList* b, uint8_t** out, uint32_t* size) {
  size_t n = BlockBytes(b->b_nmax);
  auto* bytes = static_cast<uint8_t*>(zovurezMalloc(n));
  if (bytes == nullptr) return false;
  StoreBE32(bytes, b->b_nmax);
  StoreBE32(bytes + 4, b->b_nids);
  for (uint32_t i = 0; i < b->b_nmax; ++i) StoreBE32(bytes + 8 + 4 * i, b->b_ids[i]);
  *out = bytes;
  *size = static_cast<uint32_t>(n);
  return true;
}

int idl_insert(IdList** bp, ID id, uint32_t maxids) {
  IdList* b = *bp;
  if (idl_is_allids(b)) return 2;
  // The first slot whose ID is not below id, by halves.
  uint32_t lo = 0, hi = b->b_nids;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (b->b_ids[mid] < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  uint32_t i = lo;
  if (i < b->b_nids && b->b_ids[i] == id) return 2;
  if (b->b_nids == b->b_nmax) {
    if (b->b_nmax >= maxids) return 3;
    uint32_t grown = std::min(std::max<uint32_t>(b->b_nids * 2, 1), maxids);
    auto* c = static_cast<IdList*>(zovurezRealloc(b, BlockBytes(grown)));
    if (c == nullptr) return 3;
    b = c;
    b->b_nmax = grown;
    *bp = b;
  }
  memmove(b->b_ids + i + 1, b->b_ids + i, (b->b_nids - i) * sizeof(ID));
  b->b_ids[i] = id;
  ++b->b_nids;
  for (uint32_t k = b->b_nids; k < b->b_nmax; ++k) b->b_ids[k] = 0;
  return i == 0 ? 1 : 0;
}

// --- Lists under a key ---

IdList* idl_fetch(Backend* be, DbCacheSlot* slot, Datum key) {
  QOXMutexGuard guard(&slot->idlMutex);
  IdlPtr b(FetchOne(slot, key));
  if (!b) return nullptr;
  if (idl_is_allids(b.get())) {
    idl_free(b.release());
    return idl_allids(be);
  }
  if (b->b_nids != 0) return b.release();
  // An indirect header: concatenate its continuation blocks in order.
  uint32_t j = HeaderBlocks(b.get());
  std::vector<IdlPtr> parts;
  uint32_t total = 0;
  for (uint32_t i = 0; i < j; ++i) {
    std::string ck = ContinuationKey(key, b->b_ids[i]);
    IdlPtr part(FetchOne(slot, KeyDatum(ck)));
    if (!part || idl_is_allids(part.get()) || part->b_nids == 0) {
      vuzizTrace(kTraceStartStop, "idl_fetch of (%s) returns NULL\n", ck.c_str());
      continue;
    }
    total += part->b_nids;
    parts.push_back(std::move(part));
  }
  IdList* all = idl_alloc(total);
  if (all == nullptr) return nullptr;
  for (const IdlPtr& part : parts) {
    memcpy(all->b_ids + all->b_nids, part->b_ids, part->b_nids * sizeof(ID));
    all->b_nids += part->b_nids;
  }
  return all;
}

namespace {

int ChangeFirst(DbCacheSlot* slot, Datum key, IdList* header, uint32_t position, const std::string& oldKey,
                const IdList* block) {
  int rc = ldbm_cache_delete(slot, KeyDatum(oldKey));
  if (rc != 0) {
    vuzizTrace(kTraceStartStop, "ldbm_delete of (%s) returns %d\n", oldKey.c_str(), rc);
    return rc;
  }
  std::string newKey = ContinuationKey(key, block->b_ids[0]);
  rc = Store(slot, KeyDatum(newKey), block);
  if (rc != 0) return rc;
  header->b_ids[position] = block->b_ids[0];
  return Store(slot, key, header);
}

// A full continuation block at position i of header h gets id by a split;
// past maxindirect blocks the list becomes ALLIDS.
int SplitIndirect(Backend* be, DbCacheSlot* slot, Datum key, const IdList* h, uint32_t i, const IdList* block,
                  ID id) {
  uint32_t j = HeaderBlocks(h);
  if (j + 1 > slot->maxindirect) {
    for (uint32_t k = 0; k < j; ++k) ldbm_cache_delete(slot, KeyDatum(ContinuationKey(key, h->b_ids[k])));
    IdlPtr all(idl_allids(be));
    if (!all) return -1;
    return Store(slot, key, all.get());
  }
  IdlPtr a, c;
  if (!SplitBlock(block, id, &a, &c)) return -1;
  IdlPtr nh(idl_alloc(h->b_nmax + 1));
  if (!nh) return -1;
  uint32_t w = 0;
  for (uint32_t k = 0; k < i; ++k) nh->b_ids[w++] = h->b_ids[k];
  nh->b_ids[w++] = a->b_ids[0];
  nh->b_ids[w++] = c->b_ids[0];
  for (uint32_t k = i + 1; k < j; ++k) nh->b_ids[w++] = h->b_ids[k];
  while (w < nh->b_nmax) nh->b_ids[w++] = NOID;
  int rc = Store(slot, key, nh.get());
  if (rc != 0) return rc;
  rc = Store(slot, KeyDatum(ContinuationKey(key, a->b_ids[0])), a.get());
  if (rc != 0) return rc;
  return Store(slot, KeyDatum(ContinuationKey(key, c->b_ids[0])), c.get());
}

int InsertIndirect(Backend* be, DbCacheSlot* slot, Datum key, IdList* h, ID id) {
  uint32_t j = HeaderBlocks(h);
  if (j == 0) return -1;
  bool first = id < h->b_ids[0];
  uint32_t i = 0;
  if (!first) {
    while (i + 1 < j && h->b_ids[i + 1] <= id) ++i;
  }
  std::string ck = ContinuationKey(key, h->b_ids[i]);
  IdlPtr b(FetchOne(slot, KeyDatum(ck)));
  if (!b || idl_is_allids(b.get())) {
    vuzizTrace(kTraceStartStop, "nonexistent continuation block (%s)\n", ck.c_str());
    return -1;
  }
  IdList* raw = b.release();
  int r = idl_insert(&raw, id, MaxIds(slot));
  b.reset(raw);
  switch (r) {
    case 0:
      return Store(slot, KeyDatum(ck), b.get());
    case 1:
      return ChangeFirst(slot, key, h, i, ck, b.get());
    case 2:
      return 0;
    default:
      break;
  }
  // The block is full. An id beyond its last ID may open the next block;
  // one inside its range must go into this block (by a split) so that the
  // blocks stay in ascending order end to end.
  if (!first && i + 1 < j && id > b->b_ids[b->b_nids - 1]) {
    std::string nk = ContinuationKey(key, h->b_ids[i + 1]);
    IdlPtr n(FetchOne(slot, KeyDatum(nk)));
    if (!n || idl_is_allids(n.get())) {
      vuzizTrace(kTraceStartStop, "idl_fetch_one (%s) returns NULL\n", nk.c_str());
      return 0;
    }
    IdList* nraw = n.release();
    int nr = idl_insert(&nraw, id, MaxIds(slot));
    n.reset(nraw);
    if (nr == 1) {
      ChangeFirst(slot, key, h, i + 1, nk, n.get());
      return 0;
    }
    if (nr == 0) return Store(slot, KeyDatum(nk), n.get());
    if (nr == 2) {
      vuzizTrace(kTraceStartStop, "id %d already in next block\n", static_cast<int>(id));
      return 0;
    }
  }
  return SplitIndirect(be, slot, key, h, i, b.get(), id);
}

}  // namespace

int idl_insert_key(Backend* be, DbCacheSlot* slot, Datum key, ID id) {
  QOXMutexGuard guard(&slot->idlMutex);
  IdlPtr b(FetchOne(slot, key));
  if (!b) {
    IdlPtr one(idl_alloc(1));
    if (!one) return -1;
    one->b_ids[0] = id;
    one->b_nids = 1;
    return Store(slot, key, one.get());
  }
  if (idl_is_allids(b.get())) return 0;
  if (b->b_nids == 0) return InsertIndirect(be, slot, key, b.get(), id);
  IdList* raw = b.release();
  int r = idl_insert(&raw, id, MaxIds(slot));
  b.reset(raw);
  if (r == 0 || r == 1) return Store(slot, key, b.get());
  if (r == 2) return 0;
  if (slot->maxindirect < 2) {
    IdlPtr all(idl_allids(be));
    if (!all) return -1;
    return Store(slot, key, all.get());
  }
  IdlPtr a, c;
  if (!SplitBlock(b.get(), id, &a, &c)) return -1;
  IdlPtr h(idl_alloc(3));
  if (!h) return -1;
  h->b_ids[0] = a->b_ids[0];
  h->b_ids[1] = c->b_ids[0];
  h->b_ids[2] = NOID;
  int rc = Store(slot, key, h.get());
  if (rc != 0) return rc;
  rc = Store(slot, KeyDatum(ContinuationKey(key, a->b_ids[0])), a.get());
  if (rc != 0) return rc;
  return Store(slot, KeyDatum(ContinuationKey(key, c->b_ids[0])), c.get());
}

int idl_delete_key(Backend* /*be*/, DbCacheSlot* slot, Datum key, ID id) {
  QOXMutexGuard guard(&slot->idlMutex);
  IdlPtr b(FetchOne(slot, key));
  if (!b) return -1;
  if (idl_is_allids(b.get())) return 0;
  if (b->b_nids != 0) {
    if (!RemoveId(b.get(), id)) return -1;
    if (b->b_nids > 0) {
      Store(slot, key, b.get());
    } else {
      ldbm_cache_delete(slot, key);
    }
    return 0;
  }
  uint32_t j = HeaderBlocks(b.get());
  if (j == 0) return -1;
  for (uint32_t i = 0; i < j; ++i) {
    std::string ck = ContinuationKey(key, b->b_ids[i]);
    IdlPtr c(FetchOne(slot, KeyDatum(ck)));
    if (!c || idl_is_allids(c.get())) {
      vuzizTrace(kTraceStartStop, "idl_fetch of (%s) returns NULL\n", ck.c_str());
      continue;
    }
    if (!RemoveId(c.get(), id)) continue;
    if (c->b_nids > 0) {
      // The block keeps its key and header entry (its old first ID).
      Store(slot, KeyDatum(ck), c.get());
      return 0;
    }
    ldbm_cache_delete(slot, KeyDatum(ck));
    memmove(b->b_ids + i, b->b_ids + i + 1, (b->b_nmax - i - 1) * sizeof(ID));
    b->b_ids[b->b_nmax - 1] = NOID;
    if (j > 1) {
      Store(slot, key, b.get());
    } else {
      ldbm_cache_delete(slot, key);
    }
    return 0;
  }
  return -1;
}

// --- Set operations ---

IdList* idl_intersection(Backend* /*be*/, const IdList* a, const IdList* b) {
  if (a == nullptr || b == nullptr) return nullptr;
  if (idl_is_allids(a)) return idl_dup(b);
  if (idl_is_allids(b)) return idl_dup(a);
  const IdList* shorter = b->b_nids < a->b_nids ? b : a;
  IdList* n = idl_alloc(shorter->b_nids);
  if (n == nullptr) return nullptr;
  uint32_t ai = 0, bi = 0;
  while (ai < a->b_nids && bi < b->b_nids) {
    if (a->b_ids[ai] < b->b_ids[bi]) {
      ++ai;
    } else if (a->b_ids[ai] > b->b_ids[bi]) {
      ++bi;
    } else {
      n->b_ids[n->b_nids++] = a->b_ids[ai++];
      ++bi;
    }
  }
  if (n->b_nids == 0) {
    idl_free(n);
    return nullptr;
  }
  return n;
}

IdList* idl_union(Backend* be, const IdList* a, const IdList* b) {
  if (a == nullptr) return idl_dup(b);
  if (b == nullptr) return idl_dup(a);
  if (idl_is_allids(a) || idl_is_allids(b)) return idl_allids(be);
  IdList* n = idl_alloc(a->b_nids + b->b_nids);
  if (n == nullptr) return nullptr;
  uint32_t ai = 0, bi = 0;
  while (ai < a->b_nids || bi < b->b_nids) {
    ID next;
    if (bi >= b->b_nids || (ai < a->b_nids && a->b_ids[ai] < b->b_ids[bi])) {
      next = a->b_ids[ai++];
    } else if (ai >= a->b_nids || b->b_ids[bi] < a->b_ids[ai]) {
      next = b->b_ids[bi++];
    } else {
      next = a->b_ids[ai++];
      ++bi;
    }
    n->b_ids[n->b_nids++] = next;
  }
  return n;
}

IdList* idl_notin(Backend* /*be*/, const IdList* a, const IdList* b) {
  if (a == nullptr) return nullptr;
  if (b == nullptr || idl_is_allids(b)) return idl_dup(a);
  constexpr uint32_t kMaxNotIn = 4000;
  if (idl_is_allids(a)) {
    IdList* n = idl_alloc(kMaxNotIn);
    if (n == nullptr) return nullptr;
    uint32_t bi = 0;
    for (ID id = 1; id < a->b_nids; ++id) {
      while (bi < b->b_nids && b->b_ids[bi] < id) ++bi;
      if (bi < b->b_nids && b->b_ids[bi] == id) continue;
      if (n->b_nids >= kMaxNotIn) {
        // Too many to list: every ID may match.
        n->b_nmax = 0;
        n->b_nids = a->b_nids;
        return n;
      }
      n->b_ids[n->b_nids++] = id;
    }
    if (n->b_nids >= kMaxNotIn) {
      n->b_nmax = 0;
      n->b_nids = a->b_nids;
    }
    return n;
  }
  IdList* n = idl_alloc(a->b_nids);
  if (n == nullptr) return nullptr;
  uint32_t bi = 0;
  for (uint32_t ai = 0; ai < a->b_nids; ++ai) {
    ID id = a->b_ids[ai];
    while (bi < b->b_nids && b->b_ids[bi] < id) ++bi;
    if (bi < b->b_nids && b->b_ids[bi] == id) continue;
    n->b_ids[n->b_nids++] = id;
  }
  return n;
}

// --- Iteration ---

ID idl_firstid(const IdList* b) {
  if (b == nullptr || b->b_nids == 0) return NOID;
  if (idl_is_allids(b)) return b->b_nids == 1 ? NOID : 1;
  return b->b_ids[0];
}

ID idl_nextid(const IdList* b, ID id) {
  if (b == nullptr) return NOID;
  if (idl_is_allids(b)) return id + 1 < b->b_nids ? id + 1 : NOID;
  // The first slot whose ID is not below id, by halves; the answer is the
  // slot after it.
  uint32_t lo = 0, hi = b->b_nids;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (b->b_ids[mid] < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo + 1 < b->b_nids ? b->b_ids[lo + 1] : NOID;
}

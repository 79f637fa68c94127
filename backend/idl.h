// ID lists: the set of entry IDs one key of an index table or of the
// children table stands for.
//
// A block is a run of 32-bit words {nmax, nids, ids[nmax]}; the first nids
// ids are strictly ascending, the slots behind them 0 or NOID. On disk a
// block is exactly (nmax + 2) * 4 bytes, every word big-endian. Forms:
//   direct          nmax > 0, nids > 0: the IDs themselves;
//   ALLIDS          nmax 0, nids = next entry ID: every ID 1 .. nids - 1;
//   indirect header nmax = blocks + 1, nids 0: the first ID of each
//                   continuation block, then NOID. A continuation block is
//                   a direct block under the key '\' + key text + its first
//                   ID in signed decimal, with NUL.
// Keys passed here are text with their terminating NUL counted in size.
//
// Ownership: every block returned is new (zovurezCalloc) and is freed with
// idl_free; inputs are never changed unless said.
//
// Thread safety: idl_fetch, idl_insert_key and idl_delete_key hold the
// table's idlMutex across the whole read-change-write of a list, so two
// writers of one key never lose each other's change. The block functions
// work on the caller's blocks only.
#ifndef OSTRAK_BACKEND_IDL_H_
#define OSTRAK_BACKEND_IDL_H_

#include <cstdint>

#include "backend/ldbm.h"
#include "backend/ldbm_storage.h"

struct IdList {
  ID b_nmax;
  ID b_nids;
  ID b_ids[];
};

inline bool idl_is_allids(const IdList* b) { return b != nullptr && b->b_nmax == 0; }

IdList* idl_alloc(uint32_t n);
IdList* idl_allids(Backend* be);
void idl_free(IdList* b);
IdList* idl_dup(const IdList* b);

// The list under key as one block (an indirect list merged, nmax = nids;
// ALLIDS with nids the current next ID), or null when the key is absent.
IdList* idl_fetch(Backend* be, DbCacheSlot* slot, Datum key);
// 0 inserted, 1 inserted as the new first ID, 2 not inserted (ALLIDS or
// already present), 3 not inserted (block full at maxids). *b may move.
[[nodiscard]] int idl_insert(IdList** b, ID id, uint32_t maxids);
// 0 or the result of the last record write; -1 when a continuation block
// named by the header is missing, or memory runs out.
[[nodiscard]] int idl_insert_key(Backend* be, DbCacheSlot* slot, Datum key, ID id);
// 0 removed (or the list is ALLIDS); -1 no list, or the ID is not in it.
[[nodiscard]] int idl_delete_key(Backend* be, DbCacheSlot* slot, Datum key, ID id);

IdList* idl_intersection(Backend* be, const IdList* a, const IdList* b);
IdList* idl_union(Backend* be, const IdList* a, const IdList* b);
IdList* idl_notin(Backend* be, const IdList* a, const IdList* b);  // a minus b

ID idl_firstid(const IdList* b);
ID idl_nextid(const IdList* b, ID id);

// Block codec, for the tables and tests. Decoding refuses a record whose
// length does not match its words (null).
IdList* idl_decode(const void* bytes, uint32_t size);
// (nmax + 2) * 4 bytes into out (allocated with zovurezMalloc).
[[nodiscard]] bool idl_encode(const IdList* b, uint8_t** out, uint32_t* size);

OSTRAK_DEFINE_DELETER(IdList, idl_free)

#endif  // OSTRAK_BACKEND_IDL_H_

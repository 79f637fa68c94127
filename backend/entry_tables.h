// The entry tables of the "ldbm" backend:
//   "dn2id"       (hash)   normalised upper-case DN + NUL -> 4-byte ID
//   "id2entry"    (B-tree) 4-byte ID -> entry text with its ID line + NUL
//   "id2children" (B-tree) "=" + parent ID in decimal + NUL -> ID list
// IDs are stored big-endian so that a B-tree keeps them in numeric order.
//
// Entries returned by dn2entry and id2entry are held from the entry cache
// and given back with cache_return_entry.
//
// Thread safety: any thread. Entry writes hold the server's entry-write
// mutex across the rendering (a shared buffer) and the store.
#ifndef OSTRAK_BACKEND_ENTRY_TABLES_H_
#define OSTRAK_BACKEND_ENTRY_TABLES_H_

#include <cstdint>

#include "backend/ldbm.h"
#include "server/entry.h"

// The 4-byte big-endian form of an ID.
void ldbm_id_bytes(ID id, uint8_t out[4]);

// --- DN table ---
// The store's result (DB_KEYEXIST for an existing DN); -1 without the table.
[[nodiscard]] int dn2id_add(Backend* be, const char* dn, ID id);
ID dn2id(Backend* be, const char* dn);  // NOID when absent
[[nodiscard]] int dn2id_delete(Backend* be, char* dn);  // normalises dn in place
// The held entry, or null; *matched is always set to null.
Entry* dn2entry(Backend* be, const char* dn, char** matched);

// --- Entry table ---
// Writes the entry under its ID, then offers it to the cache in state 0:
// when the cache takes it (it held no entry of that DN or ID), the caller
// holds it once and owns it no more. The store's result; -1 without the table
// or memory.
[[nodiscard]] int id2entry_add(Backend* be, Entry* e);
[[nodiscard]] int id2entry_delete(Backend* be, Entry* e);
Entry* id2entry(Backend* be, ID id);  // held, or null

// --- Children table ---
[[nodiscard]] int id2children_add(Backend* be, Entry* parent, Entry* child);     // 0 or -1
[[nodiscard]] int id2children_remove(Backend* be, Entry* parent, Entry* child);  // 0 or -1
int has_children(Backend* be, Entry* e);                           // 1 or 0
[[nodiscard]] int id2children_delete_all(Backend* be, Entry* e);

#endif  // OSTRAK_BACKEND_ENTRY_TABLES_H_

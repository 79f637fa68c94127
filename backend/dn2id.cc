// The DN table.
#include <cstring>
#include <string>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_storage.h"
#include "foundation/byte_order.h"
#include "server/dn.h"
#include "server/error_log.h"

void ldbm_id_bytes(ID id, uint8_t out[4]) { StoreBE32(out, id); }

namespace {

std::string NormalisedDn(const char* dn) {
  std::string copy(dn != nullptr ? dn : "");
  copy.push_back('\0');
  dn_normalize_case(copy.data());
  return std::string(copy.c_str());
}

Datum TextKey(const std::string& s) { return ldbm_datum_of(s.c_str(), static_cast<uint32_t>(s.size() + 1)); }

}  // namespace

int dn2id_add(Backend* be, const char* dn, ID id) {
  DbSlotHolder db(be, ldbm_cache_open(be, "dn2id", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "Could not open/create dn2id%s\n", ".dbb");
    return -1;
  }
  std::string key = NormalisedDn(dn);
  uint8_t value[4];
  ldbm_id_bytes(id, value);
  return ldbm_cache_store(db.get(), TextKey(key), ldbm_datum_of(value, 4), DB_NOOVERWRITE);
}

ID dn2id(Backend* be, const char* dn) {
  std::string key = NormalisedDn(dn);
  EntryCache* cache = &LdbmState(be)->entryCache;
  if (Entry* e = cache_find_entry_dn(cache, key.c_str()); e != nullptr) {
    ID id = e->e_id;
    cache_return_entry(cache, e);
    return id;
  }
  DbSlotHolder db(be, ldbm_cache_open(be, "dn2id", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "Could not open/create dn2id%s\n", ".dbb");
    return NOID;
  }
  Datum data = ldbm_cache_fetch(db.get(), TextKey(key));
  if (data.data == nullptr) return NOID;
  ID id = data.size == 4 ? LoadBE32(static_cast<const uint8_t*>(data.data)) : NOID;
  ldbm_datum_free(db.get()->dbp, data);
  return id;
}

int dn2id_delete(Backend* be, char* dn) {
  DbSlotHolder db(be, ldbm_cache_open(be, "dn2id", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "Could not open/create dn2id%s\n", ".dbb");
    return -1;
  }
  dn_normalize_case(dn);
  return ldbm_cache_delete(db.get(), TextKey(dn));
}

Entry* dn2entry(Backend* be, const char* dn, char** matched) {
  if (matched != nullptr) *matched = nullptr;
  ID id = dn2id(be, dn);
  if (id == NOID) return nullptr;
  return id2entry(be, id);
}

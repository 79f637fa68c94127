// The children table.
#include <cstdio>

#include "backend/entry_tables.h"
#include "backend/idl.h"
#include "backend/ldbm_storage.h"
#include "server/error_log.h"

namespace {

struct ChildrenKey {
  char text[16];
  Datum datum;
  explicit ChildrenKey(const Entry* parent) {
    int n = snprintf(text, sizeof text, "%c%d", '=', parent != nullptr ? static_cast<int32_t>(parent->e_id) : 0);
    datum = ldbm_datum_of(text, static_cast<uint32_t>(n + 1));
  }
};

}  // namespace

int id2children_add(Backend* be, Entry* parent, Entry* child) {
  DbSlotHolder db(be, ldbm_cache_open(be, "id2children", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "<= id2children_add -1 could not open \"id2children%s\"\n", ".dbb");
    return -1;
  }
  ChildrenKey key(parent);
  return idl_insert_key(be, db.get(), key.datum, child->e_id) != 0 ? -1 : 0;
}

int id2children_remove(Backend* be, Entry* parent, Entry* child) {
  DbSlotHolder db(be, ldbm_cache_open(be, "id2children", ".dbb", DB_CREATE));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "<= id2children_remove -1 could not open \"id2children%s\"\n", ".dbb");
    return -1;
  }
  ChildrenKey key(parent);
  return idl_delete_key(be, db.get(), key.datum, child->e_id) != 0 ? -1 : 0;
}

int has_children(Backend* be, Entry* e) {
  DbSlotHolder db(be, ldbm_cache_open(be, "id2children", ".dbb", DB_CREATE));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "<= has_children -1 could not open \"id2children%s\"\n", ".dbb");
    return 0;
  }
  ChildrenKey key(e);
  IdList* list = idl_fetch(be, db.get(), key.datum);
  int result = list != nullptr ? 1 : 0;
  idl_free(list);
  return result;
}

int id2children_delete_all(Backend* be, Entry* e) {
  DbSlotHolder db(be, ldbm_cache_open(be, "id2children", ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "<= id2children_delete_all -1 could not open \"id2children%s\"\n", ".dbb");
    return -1;
  }
  ChildrenKey key(e);
  QOXMutexGuard listGuard(&db.get()->idlMutex);  // not between an insert's read and write
  return ldbm_cache_delete(db.get(), key.datum);
}

// The filtered kind of key set.
#include "keydb/key_set_filter.h"

#include "foundation/context.h"
#include "keydb/filter.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"

namespace {

struct FilteredSetData {
  QOXKeySet* base;
  QOXFilter* filter;
};

FilteredSetData* Data(const QOXKeySet* set) { return static_cast<FilteredSetData*>(set->priv); }

bool sFilteredSetIsMember(QOXKeySet* set, QOXKeyDBObj* object) {
  const FilteredSetData* d = Data(set);
  return d->base->isMember(d->base, object) && qoxKeyDBObjMatchesFilter(d->filter, object);
}

bool sFilteredSetIsEmpty(QOXKeySet* set) {
  const FilteredSetData* d = Data(set);
  if (d->base->isEmpty(d->base)) return true;
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (d->base->isMember(d->base, key) && qoxKeyDBObjMatchesFilter(d->filter, key)) return false;
  }
  return true;
}

void sFilteredSetDestroy(QOXKeySet* set) {
  FilteredSetData* d = Data(set);
  if (d == nullptr) return;
  if (!set->freedWithKeyDB) qoxFreeKeySet(d->base, false);
  if (qoxFilterIsValid(d->filter)) qoxFreeFilter(d->filter);
  qoxContextMemFree(set->keyDB->context, d);
  set->priv = nullptr;
}

}  // namespace

bool qoxKeySetIsFiltered(const QOXKeySet* set) { return set->isMember == sFilteredSetIsMember; }

QOXError qoxFilterKeySet(QOXKeySet* base, QOXFilter* filter, QOXKeySet** outSet) {
  *outSet = nullptr;
  QOXContext* context = base->keyDB->context;
  auto* d =
      static_cast<FilteredSetData*>(qoxContextMemAlloc(context, sizeof(FilteredSetData), kQOXMemoryMgrFlags_Clear));
  if (d == nullptr) return kQOXErrOutOfMemory;
  QOXKeySet* set = nullptr;
  if (qoxNewKeySetInternal(base->keyDB, &set) != kQOXErrNoErr) {
    qoxContextMemFree(context, d);
    return kQOXErrOutOfMemory;
  }
  d->base = base;
  d->filter = filter;
  if (!qoxKeySetIsRootSet(base)) ++base->refCount;
  qoxIncFilterRefCount(filter);
  set->priv = d;
  set->isMember = sFilteredSetIsMember;
  set->isEmpty = sFilteredSetIsEmpty;
  set->makeUnion = nullptr;
  set->destroy = sFilteredSetDestroy;
  *outSet = set;
  return kQOXErrNoErr;
}

QOXError QOXFilterKeySet(QOXKeySet* set, QOXFilter* filter, QOXKeySet** outSet) {
  if (outSet == nullptr) return kQOXErrBadParams;
  *outSet = nullptr;
  if (!qoxKeySetIsValid(set) || !qoxFilterIsValid(filter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxFilterKeySet(set, filter, outSet);
}

QOXError QOXFilterKeyDB(QOXKeyDB* db, QOXFilter* filter, QOXKeySet** outSet) {
  if (outSet == nullptr) return kQOXErrBadParams;
  *outSet = nullptr;
  if (!qoxKeyDBIsValid(db) || !qoxFilterIsValid(filter) || db->rootSet == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxFilterKeySet(db->rootSet, filter, outSet);
}

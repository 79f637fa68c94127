// The union kind of key set.
#include "keydb/key_set_union.h"

#include "foundation/context.h"
#include "keydb/key_db.h"
#include "keydb/key_set.h"

namespace {

struct UnionSetData {
  QOXKeySet* first;
  QOXKeySet* second;
};

UnionSetData* Data(const QOXKeySet* set) { return static_cast<UnionSetData*>(set->priv); }

bool IsMemberOfUnionSet(QOXKeySet* set, QOXKeyDBObj* object) {
  const UnionSetData* d = Data(set);
  return d->first->isMember(d->first, object) || d->second->isMember(d->second, object);
}

bool IsEmptyUnionSet(QOXKeySet* set) {
  const UnionSetData* d = Data(set);
  return d->first->isEmpty(d->first) && d->second->isEmpty(d->second);
}

void DestroyUnionSet(QOXKeySet* set) {
  UnionSetData* d = Data(set);
  if (d == nullptr) return;
  if (!set->freedWithKeyDB) {
    qoxFreeKeySet(d->first, false);
    qoxFreeKeySet(d->second, false);
  }
  qoxContextMemFree(set->keyDB->context, d);
  set->priv = nullptr;
}

}  // namespace

bool qoxKeySetIsUnion(const QOXKeySet* set) { return set->isMember == IsMemberOfUnionSet; }

QOXError qoxGenericUnionOfKeySets(QOXKeySet* a, QOXKeySet* b, QOXKeySet** outSet) {
  *outSet = nullptr;
  QOXContext* context = a->keyDB->context;
  auto* d = static_cast<UnionSetData*>(qoxContextMemAlloc(context, sizeof(UnionSetData), kQOXMemoryMgrFlags_Clear));
  if (d == nullptr) return kQOXErrOutOfMemory;
  QOXKeySet* set = nullptr;
  if (qoxNewKeySetInternal(a->keyDB, &set) != kQOXErrNoErr) {
    qoxContextMemFree(context, d);
    return kQOXErrOutOfMemory;
  }
  d->first = a;
  d->second = b;
  if (!qoxKeySetIsRootSet(a)) ++a->refCount;
  if (!qoxKeySetIsRootSet(b)) ++b->refCount;
  set->priv = d;
  set->isMember = IsMemberOfUnionSet;
  set->isEmpty = IsEmptyUnionSet;
  set->makeUnion = nullptr;
  set->destroy = DestroyUnionSet;
  *outSet = set;
  return kQOXErrNoErr;
}

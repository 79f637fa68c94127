// The "ldbm" backend's start, close, sync and release.
#include <cstring>

#include "backend/attr_index.h"
#include "backend/entry_cache.h"
#include "backend/ldbm.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "server/entry.h"
#include "server/support/zovurez.h"

namespace {

struct BuiltInIndex {
  const char* attribute;
  const char* kinds;  // null: by the server's substring-index flag
  const char* label;
};

constexpr BuiltInIndex kBuiltInIndexes[] = {
    {"dn", "eq", "ldbm dn initialization"},
    {"id2children", "eq", "ldbm id2children initialization"},
    {"objectclass", "pres,eq", "ldbm objectclass initialization"},
    {"qoxcertid", "eq", "default qoxCertID initialization"},
    {"qoxkeyid", "eq", "default qoxKeyID initialization"},
    {"qoxuserid", nullptr, "default qoxUserID initialization"},
    {"qoxsignerid", "eq", "default qoxSignerID initialization"},
    {"qoxsubkeyid", "eq", "default qoxSubKeyID initialization"},
    {"modifytimestamp", "eq", "default modifytimestamp initialization"},
    {"qoxdisabled", "eq", "default qoxDisabled initialization"},
    {"qoxrevoked", "eq", "default qoxRevoked initialization"},
    {"qoxkeyexpiretime", "eq", "default qoxKeyExpireTime initialization"},
};

}  // namespace

int ldbm_back_init(Backend* be) {
  auto* li = static_cast<LdbmBackendState*>(zovurezCalloc(1, sizeof(LdbmBackendState)));
  if (li == nullptr) return 1;
  li->nextId = -1;
  li->dbCacheSize = 1000000;
  li->mode = 0644;
  li->directory = nullptr;

  char dnName[] = "dn";
  char dnSyntax[] = "dn";
  char* syntaxArgs[] = {dnName, dnSyntax};
  attr_syntax_config("ldbm dn initialization", 0, 2, syntaxArgs);
  for (const BuiltInIndex& b : kBuiltInIndexes) {
    const char* kinds = b.kinds;
    if (kinds == nullptr) kinds = (g == nullptr || g->substringIndex) ? "eq,sub" : "eq,word";
    char* args[] = {const_cast<char*>(b.attribute), const_cast<char*>(kinds)};
    attr_index_config(li, b.label, 0, 2, args, 1);
  }

  cache_init(&li->entryCache, 50);
  QOXMutexCreate(&li->nextIdMutex, nullptr);
  QOXMutexCreate(&li->dbCacheMutex, nullptr);
  QOXCondCreate(&li->dbCacheCond, nullptr);
  // Open-database slots are made on demand (backend/ldbm_storage.cc). The
  // library's own 64-bit file calls serve this platform, so no file
  // functions are replaced.
  be->privateData = li;
  return 0;
}

int ldbm_back_close(Backend* be) {
  if (be == nullptr || be->privateData == nullptr) return 0;
  LdbmBackendState* li = LdbmState(be);
  ldbm_cache_flush_all(be);
  cache_release(&li->entryCache);
  // Every open table is closed, not only those before the first free slot.
  for (int i = 0;; ++i) {
    DbCacheSlot* slot = nullptr;
    {
      QOXMutexGuard guard(&li->dbCacheMutex);
      if (i >= li->dbCacheCount) break;
      slot = li->dbCache[i];
      if (slot->name == nullptr) continue;
      slot->refcnt = 0;
    }
    ldbm_cache_really_close(be, slot);
  }
  return 0;
}

int ldbm_back_sync(Backend* be) {
  if (be == nullptr || be->privateData == nullptr) return 0;
  ldbm_cache_flush_all(be);
  return 0;
}

int ldbm_back_release(Backend* be) {
  if (be == nullptr || be->privateData == nullptr) return 0;
  LdbmBackendState* li = LdbmState(be);
  attr_index_release(li);
  attr_syntax_release();
  QOXMutexDestroy(&li->entryCache.mutex);
  QOXMutexDestroy(&li->nextIdMutex);
  QOXMutexDestroy(&li->dbCacheMutex);
  QOXCondDestroy(&li->dbCacheCond);
  for (int i = 0; i < li->dbCacheCount; ++i) {
    DbCacheSlot* slot = li->dbCache[i];
    if (slot->dbp != nullptr) ldbm_close(slot->dbp);
    zovurezFree(slot->name);
    QOXMutexDestroy(&slot->mutex);
    QOXCondDestroy(&slot->cond);
    QOXMutexDestroy(&slot->idlMutex);
    zovurezFree(slot);
  }
  zovurezFree(li->directory);
  zovurezFree(li);
  be->privateData = nullptr;
  return 0;
}

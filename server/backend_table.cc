// The Backend table and the registration through which it reaches the backend.
#include <strings.h>

#include <atomic>
#include <cstring>

#include "server/backend.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

std::atomic<const BackendRegistration*> gRegistration{nullptr};

const BackendStorageOps* Storage() {
  const BackendRegistration* r = gRegistration.load(std::memory_order_acquire);
  return r != nullptr ? &r->storage : nullptr;
}

}  // namespace

void be_register(const BackendRegistration* registration) {
  gRegistration.store(registration, std::memory_order_release);
}

const BackendRegistration* be_registration() { return gRegistration.load(std::memory_order_acquire); }

int new_backend(const char* type, Backend** array, int32_t* count, int32_t* capacity) {
  if (*count >= *capacity) {
    int32_t grown = *capacity + 2;
    Backend* a = static_cast<Backend*>(zovurezRealloc(*array, static_cast<size_t>(grown) * sizeof(Backend)));
    if (a == nullptr) return 1;
    memset(a + *capacity, 0, 2 * sizeof(Backend));
    *array = a;
    *capacity = grown;
  }
  Backend* be = &(*array)[(*count)++];
  memset(be, 0, sizeof *be);
  const BackendRegistration* r = be_registration();
  if (r == nullptr) {
    LogError(kLogError, "No backend is registered; the backend (%s) has no entry points.",
             type != nullptr ? type : "");
  } else if (type != nullptr && r->type != nullptr && strcasecmp(type, r->type) == 0) {
    be->type = r->type;
    be->ops = r->ops;
  }
  if (be->ops.init != nullptr) be->ops.init(be);
  return 0;
}

void ReleaseBackends(Backend* array, int32_t count) {
  vuzizTrace(kTraceEntryExit, "=> ReleaseBackends\n");
  if (array != nullptr) {
    for (int32_t i = 0; i < count; ++i) {
      charray_free(array[i].replicaURLs);
      charray_free(array[i].replicaAddresses);
      charray_free(array[i].replicationLoops);
      array[i].replicaURLs = array[i].replicaAddresses = array[i].replicationLoops = nullptr;
      zovurezFree(array[i].updateDN);
      zovurezFree(array[i].repLogFile);
      array[i].updateDN = array[i].repLogFile = nullptr;
      if (array[i].ops.release != nullptr) array[i].ops.release(&array[i]);
    }
    zovurezFree(array);
  }
  vuzizTrace(kTraceEntryExit, "<= ReleaseBackends\n");
}

void be_close() {
  if (g == nullptr) return;
  int32_t before = g->backendCount;
  for (int32_t i = 0; i < before; ++i) {
    Backend* be = &g->backends[i];
    if (be->ops.close != nullptr) {
      be->ops.close(be);
      --g->backendCount;
    }
  }
  ReleaseBackends(g->backends, before);
  g->backends = nullptr;
  g->backendCount = 0;
  g->backendCapacity = 0;
}

void be_SyncDB() {
  LogError(kLogVerbose, "Commiting database cache data to disk.");
  if (g == nullptr) return;
  for (int32_t i = 0; i < g->backendCount; ++i) {
    Backend* be = &g->backends[i];
    if (be->ops.sync != nullptr) {
      be->ops.sync(be);
      if (const BackendStorageOps* s = Storage(); s != nullptr && s->cacheResetRefcounts != nullptr) {
        s->cacheResetRefcounts(be);
      }
    }
  }
}

Backend* select_backend() { return g != nullptr && g->backendCount > 0 ? &g->backends[0] : nullptr; }
int be_issuffix() { return 1; }
int be_isroot() { return 0; }
int be_isroot_pw() { return 0; }

void be_unbind(Connection* connection, Operation* operation) {
  if (g == nullptr) return;
  for (int32_t i = 0; i < g->backendCount; ++i) {
    Backend* be = &g->backends[i];
    if (be->ops.unbind != nullptr) be->ops.unbind(be, connection, operation);
  }
}

int be_CreateDatabases(Backend* be) {
  const BackendStorageOps* s = Storage();
  return s != nullptr && s->createDatabases != nullptr ? s->createDatabases(be) : -1;
}

int be_LockDBs(Backend* be, FILE** lock) {
  const BackendStorageOps* s = Storage();
  if (s != nullptr && s->lockDBs != nullptr) return s->lockDBs(be, lock);
  if (lock != nullptr) *lock = nullptr;
  return 1;
}

int be_UnlockDBs(FILE* lock) {
  const BackendStorageOps* s = Storage();
  return s != nullptr && s->unlockDBs != nullptr ? s->unlockDBs(lock) : 1;
}

int be_CheckRequiredDBs(Backend* be, uint16_t* count) {
  const BackendStorageOps* s = Storage();
  if (s != nullptr && s->checkRequiredDBs != nullptr) return s->checkRequiredDBs(be, count);
  if (count != nullptr) *count = 0;
  return 1;
}

int be_WriteIndexMethodToDB(Backend* be, int method) {
  const BackendStorageOps* s = Storage();
  return s != nullptr && s->writeIndexMethodToDB != nullptr ? s->writeIndexMethodToDB(be, method) : 1;
}

int be_ReadIndexMethodFromDB(Backend* be, int* method) {
  const BackendStorageOps* s = Storage();
  return s != nullptr && s->readIndexMethodFromDB != nullptr ? s->readIndexMethodFromDB(be, method) : 1;
}

void be_ResetCacheSplitInfo() {
  const BackendStorageOps* s = Storage();
  if (s != nullptr && s->resetCacheSplitInfo != nullptr) s->resetCacheSplitInfo();
}

int be_CheckCacheSplitInfo() {
  const BackendStorageOps* s = Storage();
  return s != nullptr && s->checkCacheSplitInfo != nullptr ? s->checkCacheSplitInfo() : 0;
}

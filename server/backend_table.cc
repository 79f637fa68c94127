// The Backend table.
#include <strings.h>

#include <cstring>

#include "server/backend.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

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
  if (type != nullptr && strcasecmp(type, "ldbm") == 0) {
    be->type = "ldbm";
    be->bind = ldbm_back_bind;
    be->unbind = ldbm_back_unbind;
    be->search = ldbm_back_search;
    be->compare = ldbm_back_compare;
    be->modify = ldbm_back_modify;
    be->modrdn = ldbm_back_modrdn;
    be->add = ldbm_back_add;
    be->del = ldbm_back_delete;
    be->abandon = ldbm_back_abandon;
    be->config = ldbm_back_config;
    be->init = ldbm_back_init;
    be->close = ldbm_back_close;
    be->sync = ldbm_back_sync;
    be->release = ldbm_back_release;
  }
  if (be->init != nullptr) be->init(be);
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
      if (array[i].release != nullptr) array[i].release(&array[i]);
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
    if (be->close != nullptr) {
      be->close(be);
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
    if (be->sync != nullptr) {
      be->sync(be);
      cache_reset_refcounts(be);
    }
  }
}

Backend* select_backend() { return g != nullptr && g->backendCount > 0 ? &g->backends[0] : nullptr; }
int be_issuffix() { return 1; }
int be_isroot() { return 0; }
int be_isroot_pw() { return 0; }

void be_unbind(void* connection, void* operation) {
  if (g == nullptr) return;
  for (int32_t i = 0; i < g->backendCount; ++i) {
    Backend* be = &g->backends[i];
    if (be->unbind != nullptr) be->unbind(be, connection, operation);
  }
}

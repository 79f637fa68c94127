// Seams: the "ldbm" backend's entry points and the storage calls of
// start-up, until the storage backend lands. The configuration entry point
// accepts every backend keyword; the database checks find nothing to do and
// report the configured index method; creating databases fails; request
// entry points refuse. Whoever lands the real code deletes the matching
// block in the same commit.
#include "server/backend.h"

// --- seam: ldbm request entry points (storage backend) ---
int ldbm_back_bind(Backend*, ...) { return 1; }
int ldbm_back_unbind(Backend*, ...) { return 0; }
int ldbm_back_search(Backend*, ...) { return 1; }
int ldbm_back_compare(Backend*, ...) { return 1; }
int ldbm_back_modify(Backend*, ...) { return 1; }
int ldbm_back_modrdn(Backend*, ...) { return 1; }
int ldbm_back_add(Backend*, ...) { return 1; }
int ldbm_back_delete(Backend*, ...) { return 1; }
int ldbm_back_abandon(Backend*, ...) { return 0; }

// --- seam: WriteIndexMethodToDB / ReadIndexMethodFromDB (index configuration) ---
int WriteIndexMethodToDB(Backend* /*be*/, int /*method*/) { return 0; }
int ReadIndexMethodFromDB(Backend* /*be*/, int* method) {
  if (method != nullptr) *method = g != nullptr ? g->IndexMethod : 1;
  return 0;
}

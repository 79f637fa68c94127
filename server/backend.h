// The Backend table through which the core reaches the one directory
// backend "ldbm", and the storage calls that start-up makes.
//
// The table (ServerState::backends, count, capacity) is built and torn down
// only by the initial thread while no other server thread runs.
#ifndef OSTRAK_SERVER_BACKEND_H_
#define OSTRAK_SERVER_BACKEND_H_

#include <cstdint>
#include <cstdio>

#include "server/server_state.h"

// Appends a record; for "ldbm" (any case) fills the entry points and calls
// init at once. Any other type gives a record without entry points. 0.
int new_backend(const char* type, Backend** array, int32_t* count, int32_t* capacity);
// Closes every backend with a close entry point, then ReleaseBackends.
void be_close();
void ReleaseBackends(Backend* array, int32_t count);
void be_SyncDB();
Backend* select_backend();
int be_issuffix();
int be_isroot();
int be_isroot_pw();
void be_unbind(void* connection, void* operation);

// --- The "ldbm" backend's entry points (storage backend) ---
int ldbm_back_bind(Backend* be, ...);
int ldbm_back_unbind(Backend* be, ...);
int ldbm_back_search(Backend* be, ...);
int ldbm_back_compare(Backend* be, ...);
int ldbm_back_modify(Backend* be, ...);
int ldbm_back_modrdn(Backend* be, ...);
int ldbm_back_add(Backend* be, ...);
int ldbm_back_delete(Backend* be, ...);
int ldbm_back_abandon(Backend* be, ...);
// 0 accepted, 1 error, 2 unknown keyword.
int ldbm_back_config(Backend* be, const char* fileName, int line, int argc, char** argv);
int ldbm_back_init(Backend* be);
int ldbm_back_close(Backend* be);
int ldbm_back_sync(Backend* be);
int ldbm_back_release(Backend* be);

// --- Storage calls of start-up (storage layer) ---
// -1 on failure, else the number of files it announced creating.
int CreateDatabases(Backend* be);
// 0 locked (the lock file's stream through lock), 1 not.
int LockDBs(Backend* be, FILE** lock);
int UnlockDBs(FILE* lock);
// 0 go on, 1 stop or create; count: required files found (0-6).
int CheckRequiredDBs(Backend* be, uint16_t* count);
int WriteIndexMethodToDB(Backend* be, int method);
int ReadIndexMethodFromDB(Backend* be, int* method);
void ResetCacheSplitInfo();
int CheckCacheSplitInfo();
void cache_reset_refcounts(Backend* be);

#endif  // OSTRAK_SERVER_BACKEND_H_

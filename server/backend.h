// The Backend table through which the core reaches the one directory
// backend "ldbm", and the storage calls that start-up makes.
//
// The core never calls the backend by name: the backend, a higher layer,
// registers its entry points (server/backend_ops.h) and its start-up storage
// calls with be_register, and everything here goes through that
// registration.
//
// The table (ServerState::backends, count, capacity) is built and torn down
// only by the initial thread while no other server thread runs.
#ifndef OSTRAK_SERVER_BACKEND_H_
#define OSTRAK_SERVER_BACKEND_H_

#include <cstdint>
#include <cstdio>

#include "server/server_state.h"

// Appends a record; for the registered type (any case, "ldbm") copies the
// registered entry points and calls init at once. Any other type, or any
// type while nothing is registered (logged), gives a record without entry
// points. 0, or 1 when the table cannot grow.
int new_backend(const char* type, Backend** array, int32_t* count, int32_t* capacity);
// Closes every backend with a close entry point, then ReleaseBackends.
void be_close();
void ReleaseBackends(Backend* array, int32_t count);
void be_SyncDB();
Backend* select_backend();
int be_issuffix();
int be_isroot();
int be_isroot_pw();
// Calls the unbind entry point of every backend that has one.
void be_unbind(Connection* connection, Operation* operation);

// --- Registration ---
// The start-up storage calls of a backend, made by InnerMain, the listener
// and the configuration passes around serving.
struct BackendStorageOps {
  // -1 on failure, else the number of files it announced creating.
  int (*createDatabases)(Backend* be);
  // 0 locked (the lock file's stream through lock), 1 not.
  int (*lockDBs)(Backend* be, FILE** lock);
  int (*unlockDBs)(FILE* lock);
  // 0 go on, 1 stop or create; count: required files found (0-6).
  int (*checkRequiredDBs)(Backend* be, uint16_t* count);
  // 0 or non-zero; methods 1 substring, 2 word.
  int (*writeIndexMethodToDB)(Backend* be, int method);
  int (*readIndexMethodFromDB)(Backend* be, int* method);
  // The per-table cache split of the configuration pass: cleared before
  // the pass, checked after it (0 none or complete, 1 not every table has a
  // share, 2 the shares do not add up to 100).
  void (*resetCacheSplitInfo)();
  int (*checkCacheSplitInfo)();
  // After a sync: the entry cache's holder counts start again.
  void (*cacheResetRefcounts)(Backend* be);
};

// What a backend registers: its type name (new_backend compares it without
// case), the entry points copied into each record, the start-up calls.
struct BackendRegistration {
  const char* type;
  BackendOps ops;
  BackendStorageOps storage;
};

// Registers the one backend of the process, replacing an earlier one; null
// takes it back. The registration must stay valid while backends may be
// made or storage calls made. Called at start-up before any backend exists
// (server/main, each test program that needs one). Safe from any thread.
void be_register(const BackendRegistration* registration);
// The registration in force, or null.
const BackendRegistration* be_registration();

// --- Storage calls of start-up, through the registration ---
// While nothing is registered each answers failure (or does nothing), so
// start-up stops before it serves: CreateDatabases -1, LockDBs 1 (no lock),
// UnlockDBs 1, CheckRequiredDBs 1 with count 0, the index-method calls 1;
// CheckCacheSplitInfo 0 (no backend keyword could have set a split).
int be_CreateDatabases(Backend* be);
int be_LockDBs(Backend* be, FILE** lock);
int be_UnlockDBs(FILE* lock);
int be_CheckRequiredDBs(Backend* be, uint16_t* count);
int be_WriteIndexMethodToDB(Backend* be, int method);
int be_ReadIndexMethodFromDB(Backend* be, int* method);
void be_ResetCacheSplitInfo();
int be_CheckCacheSplitInfo();

#endif  // OSTRAK_SERVER_BACKEND_H_

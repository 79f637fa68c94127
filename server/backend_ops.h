// BackendOps: the typed entry points of a directory backend, held in every
// Backend record (server/server_state.h) in this order.
//
// Every entry point takes the Backend record first. The core reaches the
// backend only through these pointers: the backend registers them at
// start-up (be_register, server/backend.h) and new_backend copies them into
// each record it makes. A null entry point means the backend lacks it; the
// callers in the core answer for it then (53 "Function not implemented" for
// a request, nothing for housekeeping).
//
// Results are 32-bit signed integers:
//   bind     0 bound (the caller answers success), non-zero after the
//            backend sent a failure result.
//   unbind, abandon
//            0, no effect.
//   search   sends the entries and the SearchResultDone itself.
//   compare  0 after sending compareTrue or compareFalse, 1 after sending
//            an error.
//   modify, modrdn
//            0 after sending success, -1 otherwise (a result has been sent
//            unless the operation was abandoned).
//   del      sends its result; 0 deleted, -1 otherwise.
//   add      sends nothing: 0 stored (or merged), -1 refused before the
//            entry entered the cache, -2 failed after; *result and *matched
//            carry the LDAP result and the matched DN. The add owns the
//            entry from the call on, whatever the outcome.
//   config   0 accepted, 1 error, 2 unknown keyword.
//   init, close, sync, release
//            0.
//
// Thread safety: the request entry points (bind to abandon) run on any
// connection thread at once; config, init, close and release run only on the
// initial thread while no server thread runs; sync runs on the listener.
#ifndef OSTRAK_SERVER_BACKEND_OPS_H_
#define OSTRAK_SERVER_BACKEND_OPS_H_

#include <cstdint>

struct Backend;
struct Connection;
struct Operation;
struct BerValue;
struct Entry;
struct Filter;
struct Ava;
struct Modification;

struct BackendOps {
  // dn: normalised by the caller; method: the authentication tag (0x80 simple).
  int (*bind)(Backend* be, Connection* conn, Operation* op, const char* dn, int method,
              BerValue* credentials);
  int (*unbind)(Backend* be, Connection* conn, Operation* op);
  // scope: 0 base, 1 one level, 2 subtree; attrs: null-terminated, null for all.
  int (*search)(Backend* be, Connection* conn, Operation* op, const char* base, int scope, int deref, int sizeLimit,
                int timeLimit, Filter* filter, const char* filterText, char** attrs, int typesOnly);
  int (*compare)(Backend* be, Connection* conn, Operation* op, const char* dn, Ava* ava);
  // dn: as received; mods: the list the core decoded (the caller frees it).
  int (*modify)(Backend* be, Connection* conn, Operation* op, const char* dn, Modification* mods);
  int (*modrdn)(Backend* be, Connection* conn, Operation* op, const char* dn, const char* newRdn);
  // merge: update an existing entry of the same DN instead of refusing it;
  // request: passed to the replication log (the entry is a signed request);
  // logged: shared by the adds of one submission, set once one was logged.
  int (*add)(Backend* be, Connection* conn, Operation* op, Entry* e, int merge, int request, uint8_t* logged,
             int* result, char** matched);
  int (*del)(Backend* be, Connection* conn, Operation* op, const char* dn);
  // msgid: the message ID of the operation to abandon.
  int (*abandon)(Backend* be, Connection* conn, Operation* op, int msgid);
  // argv[0] is the keyword; fileName and line only label the messages.
  int (*config)(Backend* be, const char* fileName, int line, int argc, char** argv);
  int (*init)(Backend* be);
  int (*close)(Backend* be);
  int (*sync)(Backend* be);
  int (*release)(Backend* be);
};

#endif  // OSTRAK_SERVER_BACKEND_OPS_H_

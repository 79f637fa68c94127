// The "ldbm" backend's operations: filter candidates, search, the key
// lookups of key submission, bind, add (with merge), the two modify forms,
// modify-RDN, compare, the leaf delete, key delete and disable, and the
// removal of a key from the pending area.
//
// The core reaches the entry points only through the registration that
// ldbm_register makes (backend/ldbm_register.h, server/backend_ops.h); the
// backend's own code and its tests call them by name.
//
// Results are LDAP result codes or the values documented per call. Entries
// taken from the entry cache are always given back before a call returns.
//
// Thread safety: every call may run on any connection thread at once; the
// locks are those of the entry cache and the storage layer (backend/ldbm.h).
// An update never changes an entry a reader may hold: it changes a copy,
// stores it, and swaps it into the cache.
#ifndef OSTRAK_BACKEND_LDBM_OPS_H_
#define OSTRAK_BACKEND_LDBM_OPS_H_

#include <cstddef>
#include <cstdint>

#include "backend/idl.h"
#include "backend/ldbm.h"
#include "server/entry.h"
#include "server/filter.h"

struct Connection;
struct Operation;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;

inline constexpr const char* kKeySpaceDN = "O=QOX KEYSPACE,C=US";
inline constexpr const char* kActiveBaseDN = "OU=ACTIVE,O=QOX KEYSPACE,C=US";
inline constexpr const char* kPendingBaseDN = "OU=PENDING,O=QOX KEYSPACE,C=US";
inline constexpr const char* kVirtualRepDN = "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US";

// --- Filter candidates ---
// A new list (null: no candidates; ALLIDS: every entry may match).
IdList* filter_candidates(Backend* be, Filter* f);

// --- Search and key lookup ---
int ldbm_back_search(Backend* be, Connection* conn, Operation* op, const char* base, int scope, int deref,
                     int sizeLimit, int timeLimit, Filter* filter, const char* filterText, char** attrs,
                     int typesOnly);
// Virtual key attributes of e for the requested types: 0 (list possibly
// null), or 1 when memory ran out. *list holds the virtual records chained in
// front of e's own attributes (or the two reconstruction attributes alone);
// free it with FreeVirtualAttributes.
int CrtVirtualAttributes(Entry* e, char** attrs, Backend* be, Attribute** list, int* count);
void FreeVirtualAttributes(Attribute* list, int count);
// 0 and a new 16-character upper-case text, or 1 when dn names no key.
int ExtractKeyIDFromDN(const char* dn, char** keyID);
// keyID: "0x"? + 8 or 16 hex digits; for 8 digits the buffer must hold 17
// bytes from the digits on (the certificate ID is written over it).
int KeyID2KeyBlock(Backend* be, char* keyID, const char* base, uint8_t** keyBlock, size_t* keyBlockLength,
                   uint8_t** keyBlockV2, size_t* keyBlockV2Length, uint8_t* disabled);
int GetCertObject(Backend* be, const char* dn, QOXContext* context, uint8_t* isV2, QOXKeyDB** keyDB,
                  QOXKeySet** keySet, uint8_t** keyBlock, size_t* keyBlockLength);
// The index method stored with the databases (1 substring, 2 word). 0, or
// non-zero after logging the failure.
int WriteIndexMethodToDB(Backend* be, int method);
int ReadIndexMethodFromDB(Backend* be, int* method);

// --- Start, configuration and housekeeping entry points ---
// init makes the private state (0); config takes one backend keyword line
// (0 accepted, 1 error, 2 unknown keyword); close flushes and closes every
// table and empties the entry cache; sync flushes every table; release frees
// the private state. Each 0.
int ldbm_back_init(Backend* be);
int ldbm_back_config(Backend* be, const char* fileName, int line, int argc, char** argv);
int ldbm_back_close(Backend* be);
int ldbm_back_sync(Backend* be);
int ldbm_back_release(Backend* be);
// Unbind and abandon need nothing of this backend: 0.
int ldbm_back_unbind(Backend* be, Connection* conn, Operation* op);
int ldbm_back_abandon(Backend* be, Connection* conn, Operation* op, int msgid);

// --- Bind, add, modify, modify-RDN, compare ---
int ldbm_back_bind(Backend* be, Connection* conn, Operation* op, const char* dn, int method, BerValue* credentials);
// Stores e (which the add owns from here on, whatever the outcome). 0
// stored or merged; -1 refused before e entered the cache; -2 failed after.
int ldbm_back_add(Backend* be, Connection* conn, Operation* op, Entry* e, int merge, int request, uint8_t* logged,
                  int* result, char** matched);
// Applies mods to the entry e (held by the caller, or looked up by dn when e
// is null) and stores it; e's hold is given back in every case. 0, or -1
// with *result the LDAP result (0 when the operation was abandoned).
int ldbm_QOX_back_modify(Backend* be, Connection* conn, Operation* op, const char* dn, Entry* e,
                         Modification* mods, int* result, char** matched);
int ldbm_back_modify(Backend* be, Connection* conn, Operation* op, const char* dn, Modification* mods);
int ldbm_back_modrdn(Backend* be, Connection* conn, Operation* op, const char* dn, const char* newRdn);
int ldbm_back_compare(Backend* be, Connection* conn, Operation* op, const char* dn, Ava* ava);

// Applies one modification to e (a private copy). 0 or the LDAP result.
int ldbm_apply_modification(Entry* e, Modification* mod);
// A deep copy of e (DN, attributes, ID), not cached; null when out of memory.
Entry* ldbm_entry_dup(const Entry* e);
// Stores copy, a changed private copy of the held cached entry old, in the
// entry table and puts it into the cache in old's place; old is marked
// deleted, so its holders keep a valid entry and the last one frees it.
// 0 (copy now belongs to the cache), or -1 when the store failed (copy
// freed, old unchanged). The caller still gives old back.
int ldbm_store_entry_copy(Backend* be, Entry* old, Entry* copy);
// 1 when the operation was abandoned (read under its mutex).
int ldbm_op_abandoned(Operation* op);

// --- Delete, key delete and disable, pending removal ---
// The leaf delete of e (held by the caller, or looked up by dn); e's hold
// is given back in every case. 0 deleted, or -1 with *result set.
int ldbm_QOX_back_delete(Backend* be, Connection* conn, Operation* op, const char* dn, Entry* e, int* result,
                         char** matched);
int ldbm_back_delete(Backend* be, Connection* conn, Operation* op, const char* dn);
int GetKeysChildren(Backend* be, Entry* e, ID** ids, int* count);
int DeleteKey(Backend* be, Connection* conn, Operation* op, Entry* request, const char* dn);
int DisableKey(Backend* be, Connection* conn, Operation* op, Entry* request, const char* dn);
// Sets "qoxdisabled" of the held entry e to flag ('1' or '0'); e's hold is
// given back in every case. 0, 32 when e holds that flag already, or the
// modification's result. Every open table is synced afterwards.
int SetDisableFlag(Backend* be, Connection* conn, Operation* op, Entry* e, char flag);
// Removes the pending copy of a key (its DN, children-list and entry
// records); with copyRecon, carries its reconstruction attributes over to
// newEntry. 0, or 1 when the pending bucket or the DN cannot be had.
int ldbm_back_delete_from_pending(Backend* be, const char* certID, Entry* newEntry, int copyRecon);
// Carries the reconstruction attributes of a key's pending copy over to
// newEntry (as ldbm_back_delete_from_pending does) and leaves the copy in
// place. 0 (also when there is no pending copy), or 1 when the DN cannot be
// made.
int ldbm_back_copy_recon_from_pending(Backend* be, const char* certID, Entry* newEntry);

#endif  // OSTRAK_BACKEND_LDBM_OPS_H_

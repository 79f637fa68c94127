// Calls the backend's operations make into key submission (replication
// log, key import) and the key database (key sets), whose
// bodies belong to those parts of the system. Until they land they live as
// seams in backend/storage2_seams.cc, one labelled block per call; whoever
// lands the real code deletes the matching block (and moves the declaration
// to its own header) in the same commit.
//
// Thread safety: each may be called from any connection thread.
#ifndef OSTRAK_BACKEND_STORAGE2_SEAMS_H_
#define OSTRAK_BACKEND_STORAGE2_SEAMS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct Backend;
struct Connection;
struct Entry;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;

// --- Key submission ---
// Appends one change record for an LDAP Add (tag 0x68) to the replication log.
void qoxRepLog(Backend* be, Connection* conn, int tag, const char* dn, Entry* e, int requestFlag);
// Imports an ASCII-armored key block into a new key database of the context.
QOXError TransferKeysFromAAKeyBlock(QOXContext* context, const uint8_t* data, size_t length, QOXKeyDB** keyDB);

// --- Key database ---
QOXError QOXNewKeySet(QOXKeyDB* db, QOXKeySet** set);
QOXKeyDB* QOXPeekKeySetKeyDB(QOXKeySet* set);

#endif  // OSTRAK_BACKEND_STORAGE2_SEAMS_H_

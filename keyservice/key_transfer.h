// Keys crossing toolkit contexts, and the server's key rings opened as one
// key database.
//
// TransferKeys exports every key of a database as one key block (secret
// keys too when asked), imports the block in the target context and copies
// the imported keys into the target database, made first when the caller
// has none (and freed again when the transfer fails). A connection's pooled
// context receives its copies of the server's databases this way, so no key
// database object is shared between threads.
//
// InitKeyRingDatabase is the first step of the server's policy set-up: the
// PublicKeyRing and PrivateKeyRing of ServerState opened into ServerState's
// TLS key database.
//
// Thread safety: TransferKeys reads the source database (only read after
// start-up) and works in the target context, which the calling thread owns.
// InitKeyRingDatabase runs on the initial thread before the listener starts.
#ifndef OSTRAK_KEYSERVICE_KEY_TRANSFER_H_
#define OSTRAK_KEYSERVICE_KEY_TRANSFER_H_

#include "foundation/errors.h"

struct Backend;
struct QOXContext;
struct QOXKeyDB;

// 0 or the failing call's code, logged as "Internal key set operation
// failed with error %d (%s)".
QOXError TransferKeys(QOXContext* source, QOXContext* target, QOXKeyDB* sourceDB, int includePrivate,
                      QOXKeyDB** targetDB);

// Opens the two rings as one key database. Both paths are needed: without
// one, a level-1 message and 0 with no database. Rings that are not there:
// the open's message at level 1 and 0 with no database. Another failed open
// is logged with the rings' paths and its code returned.
QOXError GetKeyDBFromKeyRings(QOXContext* context, const char* publicRing, const char* secretRing,
                              QOXKeyDB** outKeyDB);

// The key-ring database into ServerState's TLS key database (freeing one
// left from an earlier pass): 0 or the open's code.
QOXError InitKeyRingDatabase(QOXContext* context, Backend* be);

#endif  // OSTRAK_KEYSERVICE_KEY_TRANSFER_H_

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

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/errors.h"

struct Backend;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;

// Export formats of ConvertKeySet2KeyBlock.
inline constexpr int32_t kExportFormatBasic = 1;
inline constexpr int32_t kExportFormatComplete = 255;

// The set's keys as one ASCII-armored key block (with their secret parts
// when exportPrivate). 0, or the toolkit's code with the block emptied and
// "ASCII-armoring keyset failed. Library error: %s" logged.
QOXError ConvertKeySet2KeyBlock(QOXContext* context, QOXKeySet* set, bool exportPrivate, int32_t format,
                                std::string* block);

// Imports an armored (or binary) key block into *keyDB, a database of the
// context made when null (and freed again, *keyDB null, on failure). 0, or
// the code logged as TransferKeys logs it; a block holding no key gives
// kQOXErrItemNotFound.
QOXError TransferKeysFromAAKeyBlock(QOXContext* context, const uint8_t* data, size_t length, QOXKeyDB** keyDB);

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

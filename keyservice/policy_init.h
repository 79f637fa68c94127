// The acceptance policy's start-up: the server's key rings and the key
// databases of the configured key IDs, built once per server start into
// ServerState (server/server_state.h): tlsKeyDB (the two key rings),
// policyKeyDBs[0] (every MustSigID and AllowSigID key), policyKeyDBs[1]
// (the keys allowed to sign adds) and policyKeyDBs[2] (deletes and
// disables). Each connection receives its own copies of the three policy
// databases (TransferKeys, keyservice/key_transfer.h).
//
// A configured key ID is looked up in the key rings first, then in the
// active key space; afterwards its list item holds the key's full ID as 16
// hexadecimal digits (without "0x").
//
// Thread safety: the initial thread, before the listener starts; the
// databases are only read afterwards.
#ifndef OSTRAK_KEYSERVICE_POLICY_INIT_H_
#define OSTRAK_KEYSERVICE_POLICY_INIT_H_

#include <cstdint>

#include "foundation/errors.h"

struct Backend;
struct KeyIDNode;
struct QOXContext;
struct QOXKeyDB;

// Builds the four databases; 0 or the first failure's code (logged). What
// was built before a failure stays in ServerState, which frees it.
QOXError InitPolicy(QOXContext* context, Backend* be);

// Adds the keys of every item of the lists (heads, up to a null head or
// the array's end) to *keyDB, made when null, and counts them in *count.
// keyDB null: the items are only checked and normalised. 0 or a code.
QOXError ConvertKeyIDtoKeyDB(QOXContext* context, Backend* be, KeyIDNode* const* lists, int listCount,
                             QOXKeyDB** keyDB, uint32_t* count);

#endif  // OSTRAK_KEYSERVICE_POLICY_INIT_H_

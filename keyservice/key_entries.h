// Key merge and entry building: one submitted key block becomes the
// directory entries the backend stores, a certificate entry and one entry
// per user ID that changed.
//
// Directory layout of keys (DNs compared without case):
//   "QOXCERTID=<certificate ID>,OU=ACTIVE,O=QOX KEYSPACE,C=US" (or under
//   "OU=PENDING,...") holds a key's certificate entry: objectclass
//   "qoxcertificate", version "7.0" (both only when the key is new), qoxkey
//   (the armored key block) and, when the block with extensions differs or
//   was stored before, qoxkeyv2.
//   "qoxUserID=<user ID escaped for a DN>,<certificate entry DN>",
//   normalised, holds one user ID: objectclass "qoxuserid", qoxcertid,
//   qoxdisabled "0", qoxkeyid (the last 8 digits), qoxKeyType ("DSS/DH" or
//   "RSA"), qoxuserid, qoxkeycreatetime and qoxkeyexpiretime
//   (GeneralizedTime, UTC) when the user ID is new to the stored key;
//   qoxkeysize ("%05d"), qoxsubkeyid (DSS/DH keys) and qoxrevoked ("1" or
//   "0") on every kept entry; qoxsignerid ("Neg: ", "Exp: " or nothing,
//   then 16 digits) when the signer list changed.
//
// Entries: an array of Entry pointers (server/entry.h) grown with
// GrowEntries; entry 0 is the submitted entry (its DN dropped by the
// caller), the entries built here follow. The caller owns the array and
// frees every entry, stored or not, on every path.
//
// The pending copy of an accepted key is not removed while the entries are
// built: its reconstruction attributes are carried over into entry 0, and
// it is removed on result 68 (nothing to store) here, or by the caller
// through RemoveKeyFromPending once the entries are stored.
//
// Thread safety: a connection's thread, in the connection's own toolkit
// context and key databases; ServerState's settings are only read.
#ifndef OSTRAK_KEYSERVICE_KEY_ENTRIES_H_
#define OSTRAK_KEYSERVICE_KEY_ENTRIES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct Attribute;
struct Backend;
struct Connection;
struct Entry;
struct Operation;
struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeyIter;
struct QOXKeySet;

// Turns one key block into entries appended to *entries. submitted is the
// attribute of entry 0 that carried the block (its type becomes qoxkey);
// isSigned: the submission was a verified signed request. Writes the
// certificate ID (16 digits and a NUL, or an empty text when none was
// found) to certID and to the operation's first access-log key ID, *active
// (the key passed the policy) and *message (a constant text for the
// client, or null). Returns the LDAP result: 0 (entries to store), 68
// (the key has not changed), or the failure's code.
int CreateAddKeyEntries(Entry*** entries, int* entryCount, int* entryCapacity, Backend* be, Attribute* submitted,
                        const uint8_t* keyBlock, size_t blockLength, bool isSigned, Connection* conn, Operation* op,
                        char certID[17], bool* active, const char** message);

// Removes the pending copy of an accepted key once its entries are stored.
// 0, or 1 when the pending area cannot be read (logged).
int RemoveKeyFromPending(Backend* be, const char* certID);

#endif  // OSTRAK_KEYSERVICE_KEY_ENTRIES_H_

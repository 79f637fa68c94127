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

// --- The steps, each an LDAP result (0 on success) unless said otherwise ---

// Merges the stored copy (may be null) into newSet's database and builds
// the entries: the certificate entry for a new key, then one entry per user
// ID from the first that changed on. storedRevoked: 0 or 1 as read, 2 not
// read. *changed tells whether anything differs from the stored copy.
int MergeQOXCertObjects(Entry*** entries, int* entryCount, int* entryCapacity, QOXKeySet* newSet,
                        QOXKeySet* storedSet, const char* certID, const char* certDN, bool* changed,
                        int storedRevoked, Connection* conn);
// The last entry becomes the certificate entry: objectclass
// "qoxcertificate", the DN, version "7.0". 0 or 90.
int CrtQOXCertEntry(Entry** entries, int entryCount, const char* certDN);
// "qoxUserID=<escaped string>,<certificate DN>", normalised (server
// allocator). 0; 1 without a user ID string; 90.
int CrtUserIDObjDN(QOXKeyDBObj* userID, const char* certDN, char** dn);
// Appends a new entry with the DN. 0 or 90.
int CrtQOXUserIDEntry(Entry*** entries, int* entryCount, int* entryCapacity, const char* dn, Entry** entry);

// The subkeys' largest size, count and 16-digit IDs.
struct SubKeyValues {
  int32_t largestBits = 0;
  uint32_t count = 0;
  char (*ids)[17] = nullptr;  // count texts, owned by the record
  ~SubKeyValues() { delete[] ids; }
};
// The attributes of a user ID new to the stored key. 0 or 1.
int AddStaticQOXUserIDAttrs(Entry* entry, QOXKeyDBObj* userID, QOXKeyIter* iter, QOXKeyDBObj* key,
                            const char* certID);
// The attributes of every kept user-ID entry. 0 or 1.
int AddDynamicQOXUserIDAttrs(Entry* entry, QOXKeyDBObj* userID, QOXKeyIter* iter, QOXKeyDBObj* key,
                             const char* certID, bool revoked, const SubKeyValues& subKeys);
// The merged key's subkey values; with a stored key (stored non-null and
// not keyIsNew) *changed is set when the count differs or an ID is new.
int MergeQOXSubKeys(QOXKeyIter* merged, QOXKeyIter* stored, bool keyIsNew, SubKeyValues* values, bool* changed);
// 0 or 21 (-11999 when memory runs out).
int GetSubKeyValues(QOXKeyIter* iter, SubKeyValues* values);
// Adds qoxsignerid values when the signers of the new user ID (the
// iterator's current one) differ from those of storedUserID (the stored
// iterator's current one, or null). 0, 21, 90.
int MergeQOXSignerIDs(Entry* entry, QOXKeyDBObj* storedUserID, QOXKeyIter* merged, QOXKeyIter* stored,
                      bool keyIsNew, bool* changed);
// Keeps, among photo IDs, the one with the newest qualifying self-signature:
// the loser of each comparison (photo or *newestPhoto) goes to *doomed.
bool KeepNewestPhotoID(Connection* conn, QOXKeyDBObj* photo, QOXKeyIter* iter, QOXKeySet* set, QOXKeyDBObj* key,
                       QOXTime* newestTime, QOXKeyDBObj** newestPhoto, QOXKeyDBObj** doomed);
// The creation time of the newest self-signature on the iterator's current
// user ID (0 when none qualifies); always 0.
QOXError GetMostRecentSelfSig(QOXKeyIter* iter, QOXKeySet* set, QOXKeyDBObj* key, QOXTime* time);
// Gathers the stored designated revokers of key into *revokersDB and
// re-imports the key set into *keyDB (both new, in the context). 0, 1, 89,
// -12000.
int VerifyRevokers(QOXContext* context, Backend* be, uint32_t revokerCount, QOXKeyDBObj* key, QOXKeySet* set,
                   QOXKeyDB** keyDB, QOXKeyDB** revokersDB);
// Reads whether key is revoked and, when it is and a stored key is given,
// whether the stored one is; *changed is set when the two differ. 0 or 1.
int CheckForKeyRevoked(QOXKeyDBObj* key, QOXKeyDBObj* storedKey, bool* revoked, bool* storedRevoked,
                       bool* changed);

#endif  // OSTRAK_KEYSERVICE_KEY_ENTRIES_H_

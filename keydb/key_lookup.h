// Finding keys in a key database (by 8-byte or 4-byte key ID, by key ID and
// algorithm, by 20-byte fingerprint) and the key IDs and fingerprints of key
// objects.
//
// A back end searches its key-ID tree (keydb/key_tree.h); a front end asks
// its back end (keydb/key_db_back.h) and maps the answer through its ID
// tree (keydb/front_end.h). The tree is not balanced: keys
// that arrive in key-ID order make it a list, and a search then walks it.
// The walks here keep their own stacks, so no shape of tree deepens the
// call stack.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_LOOKUP_H_
#define OSTRAK_KEYDB_KEY_LOOKUP_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "keydb/fingerprint.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;

// --- Public calls: check their arguments, then pass the entry gate ---

// The key with that ID; dummies and deleted keys count as absent.
// kQOXErrBadParams for a null out-parameter (else cleared), an invalid database or a
// null key ID; kQOXErrItemNotFound.
QOXError QOXFindKeyByKeyID(QOXKeyDB* db, const QOXKeyID* keyID, QOXKeyDBObj** outKey);
// The 8-byte key ID of a key or subkey (algorithms 2 and 3 as 1). The
// out-parameter is cleared first; kQOXErrBadParams for a null one or an object that is
// neither key nor subkey.
QOXError QOXGetKeyID(QOXKeyDBObj* key, QOXKeyID* outKeyID);

// The full key-ID text ("0x" and 16 digits, QOXGetKeyIDString form 2) of a
// client's TLS key, for access control. kQOXErrBadParams for a null or
// too-short text (an empty text when it has room) or a key that is neither
// key nor subkey.
QOXError vuzizClientKeyIDText(QOXContext* context, QOXKeyDBObj* key, char* text, size_t size);

// --- Internal calls ---

// By 8-byte ID: the tree descent; by 4-byte ID: a depth-first visit (node,
// greater side, not-greater side) whose first match passing the
// permissions wins (a match that fails them ends the search below it). An
// X.509 dummy found with dummies allowed stands for the key above the
// signature carrying its certificate. kQOXErrItemNotFound when nothing passes.
QOXError qoxGetKeyByKeyID(QOXKeyDB* db, const QOXKeyID* keyID, bool allowDummies, bool allowDeleted,
                          QOXKeyDBObj** outKey);
QOXError qoxGetKeyByKeyID_internal(QOXKeyDB* db, const QOXKeyID* keyID, bool allowDummies, bool allowDeleted,
                                   QOXKeyDBObj** outKey);
// The key of that algorithm and 8 ID bytes, dummies allowed, deleted not.
QOXKeyDBObj* qoxKeyById8(QOXKeyDB* db, uint8_t algorithm, const uint8_t id8[8]);
// The first real top-level key in list order with that ID and algorithm
// (a wanted 1, 2 or 3 counts as 1 and matches keys of 1, 2 and 3).
QOXKeyDBObj* qoxKeyDBFindKey(QOXKeyDB* db, uint8_t algorithm, const uint8_t id8[8]);
// The first real top-level key in list order with that 20-byte fingerprint
// (qoxKeyFingerprint20n).
QOXKeyDBObj* qoxKeyDBFindKey20n(QOXKeyDB* db, const uint8_t fingerprint[kQOXFingerprint20Size]);

// Fingerprints of a key or subkey: the digest size or a negative error.
// 20: SHA-1 over the public-key packet body (a secret key in its public
// form); 20n: the same formula over the key material only, so that keys of
// every packet version have one; 16: the version-3 MD5 fingerprint (0 on
// success). kQOXErrOutOfMemory when the object has no packet.
int qoxKeyFingerprint20(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint20Size]);
int qoxKeyFingerprint20n(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint20Size]);
QOXError qoxKeyFingerprint16(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint16Size]);
// The fingerprint of the key's own packet version: 20 bytes for version 4,
// else 16; returns the size or a negative error.
int qoxKeyFingerprint(QOXKeyDBObj* key, uint8_t out[kQOXFingerprint20Size]);
// The key material after the header and the fixed prefix (6 body bytes for
// version 4 and later, 8 before); null and 0 without a packet.
const uint8_t* qoxKeyMPIData(QOXKeyDBObj* key, size_t* outLength);

#endif  // OSTRAK_KEYDB_KEY_LOOKUP_H_

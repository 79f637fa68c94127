// Key submission's utilities over the key database: the first (secret) key
// of a set, certificate IDs, photo IDs, matching user IDs of a stored key,
// the modification rule, membership by fingerprint, counts of user IDs and
// signatures, fingerprint and user-ID texts, and the texts the client sees
// for LDAP results.
//
// The certificate ID of a key is its full key ID as 16 upper-case
// hexadecimal digits, without "0x".
//
// Thread safety: the key database's (one context's thread at a time); the
// texts are constants.
#ifndef OSTRAK_KEYSERVICE_KEY_SET_UTILS_H_
#define OSTRAK_KEYSERVICE_KEY_SET_UTILS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXKeyDBObj;
struct QOXKeyIter;
struct QOXKeySet;

// The first key of the ordered set, or with secretOnly the first secret
// one. An empty set: no key and 0; no secret key: -11499.
QOXError KeySet2Key(QOXKeySet* set, bool secretOnly, QOXKeyDBObj** key);

// Writes the key's certificate ID (16 digits and a NUL). 0; 1 when the key
// ID cannot be read; 90 when it cannot be formatted. Failures are logged.
int GetCertID(QOXKeyDBObj* key, char text[17]);

// True for a photo ID (a user attribute of type 1).
bool IsPhotoID(QOXKeyDBObj* userID);

// The first user ID of the iterator's key whose text (its first 256 bytes)
// equals userID's by QOXCompareUserIDStrings, or null. The iterator is
// rewound to the key first.
QOXError FindUserIDInCert(QOXKeyIter* stored, QOXKeyDBObj* userID, QOXKeyDBObj** match);

// Deletes a photo ID: 0; 1 when the deletion fails (logged); -11494 when
// the user ID is not a photo ID.
int TrimPhotoIDs(QOXKeyDBObj* userID);

// Whether changing the set's first key needs a signed request: the low four
// bits of its key flags (property 206; absent means no). On a failure before
// the property is read, *required stays true and the code is returned.
QOXError ModRequiresSig(QOXKeySet* set, bool* required);

// True when some key of the set has the key's fingerprint.
QOXError QOXLocalKeySetIsMember(QOXKeyDBObj* key, QOXKeySet* set, bool* member);

// The user IDs of the set's first key and the signatures on them.
QOXError CountUserIDsSigsOnKeySet(QOXKeySet* set, uint32_t* userIDs, uint32_t* sigs);

// The signatures on the iterator's current user ID (the iterator is left
// after the last one).
QOXError CountSigsOnUserID(QOXKeyIter* iter, uint32_t* count);

// Room KMConvertStringFingerprint needs: 20 bytes as ten groups of four
// digits, nine single blanks, one double blank and a NUL.
inline constexpr size_t kFingerprintTextSize = 51;

// Formats the binary fingerprint at the start of buffer (kFingerprintTextSize
// bytes) in place: groups of four upper-case digits, one blank between
// groups and two in the middle; 16 bytes for algorithm 1, 20 for algorithm
// 17; any other algorithm leaves an empty text.
void KMConvertStringFingerprint(int algorithm, char* buffer);

// Splits "name <address>" at the first '<' and the next '>' into allocated
// texts (free them with delete[]): the name without trailing white space and
// the address. Without both brackets the whole text is the name and the
// address is null. False when memory runs out.
bool SplitQOXUserID(const char* userID, char** name, char** address);

// Sets *message to the client's text for result (1, 2, 3, 4, 8, 48, 50 and
// 90 have one); any other result leaves it.
void LDAPerrorMapToMsg(int result, const char** message);

#endif  // OSTRAK_KEYSERVICE_KEY_SET_UTILS_H_

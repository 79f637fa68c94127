// What a key says through the signatures, revocations and CRLs under it:
// which self-signature speaks for it, when a signature is revoked or
// superseded, the primary user ID, subpackets of self-signatures, designated
// revokers and additional recipient requests, the subkey in use and subkey
// validity, current CRLs and their distribution points, and the chains of
// signatures by signer.
//
// Terms. A self-certification of an object by a key is a real signature
// child of the object whose maker (qoxSigMaker) is that key, whose type lies
// in 0x10-0x1F and that is checked (trustByte bit 6). Revocable means
// sigFlags bit 5. The owner key of a subkey is its parent; of a key, itself.
//
// These read the object tree and change nothing but the primary-user-ID
// marks, the cached compiled expressions of signatures and the signer
// chains. A compiled expression belongs to its context's memory and is freed
// when the key database is destroyed.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_SELF_SIG_H_
#define OSTRAK_KEYDB_SELF_SIG_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_time.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXMemoryMgr;
struct QOXRegExp;
struct QOXSigSpec;

// Signature types.
inline constexpr uint8_t kQOXSigType_CertClassMask = 0xF0;
inline constexpr uint8_t kQOXSigType_CertClass = 0x10;
inline constexpr uint8_t kQOXSigType_SubkeyBinding = 0x18;
inline constexpr uint8_t kQOXSigType_DirectKey = 0x1F;
inline constexpr uint8_t kQOXSigType_KeyRevocation = 0x20;
inline constexpr uint8_t kQOXSigType_SubkeyRevocation = 0x28;
inline constexpr uint8_t kQOXSigType_CertRevocation = 0x30;
// Class bit of a revocation-key subpacket: the revoker is sensitive.
inline constexpr uint8_t kQOXRevocationKeyClass_Sensitive = 0x80;
// The body of a revocation-key or additional-recipient-request subpacket:
// class, algorithm, 20-byte fingerprint.
inline constexpr size_t kQOXRevocationKeyLength = 22;
// Every kind of user attribute (qoxKeyClearPrimaryUserIDs).
inline constexpr uint32_t kQOXAttributeTypeAll = 0xFFFFFFFF;

bool qoxIsSelfCertification(QOXKeyDBObj* sig, QOXKeyDBObj* key);

// The latest self-certification of the object by the key that is not
// revoked; the first in child order on equal times; null when none.
QOXKeyDBObj* qoxLatestSigByKey(QOXKeyDBObj* object, QOXKeyDBObj* key);
// False unless revocable; true with the revoked trust bit, or when a real,
// checked 0x30 signature under the same parent by the same signer is
// strictly later.
bool qoxSigRevoked(QOXKeyDBObj* sig);
// False unless revocable with a real signer; true when a real, checked
// signature under the same parent by the same signer of the same type class
// is strictly later.
bool qoxSigIsSuperceded(QOXKeyDBObj* sig);

// The primary user ID of the kind (0: plain user IDs; else user attributes
// whose first subpacket has that type): a marked one, else the one whose
// latest self-certification carries the primary flag (a later one replaces
// a revocable earlier choice), else the first; null when none.
QOXKeyDBObj* qoxKeyPrimaryUserID(QOXKeyDBObj* key, uint32_t attributeType);
QOXError qoxKeySetPrimaryUserID(QOXKeyDBObj* userID);
QOXError qoxKeyClearPrimaryUserIDs(QOXKeyDBObj* key, uint32_t attributeType);
size_t qoxUserIDCountAttributes(QOXKeyDBObj* userID);
// 0 for a plain user ID, else the type of its first attribute subpacket.
uint32_t qoxUserIDAttributeType(QOXKeyDBObj* userID);

// The nth (from 0) subpacket of the type among the self-signatures that
// speak for a key or subkey (irrevocable ones first, then the latest on the
// primary user ID or the subkey, the other user IDs, the key itself), with
// its length, critical flag, hashed flag and the creation time of its
// signature; outCount (when given) the total. Null when there is none; with
// outError the database's last error when a signature's packet cannot be
// had (0 otherwise).
const uint8_t* qoxKeyFindSubpacket(QOXKeyDBObj* key, uint8_t type, size_t n, size_t* outLength,
                                   uint8_t* outCritical, bool* outHashed, QOXTime* outCreation, size_t* outCount,
                                   QOXError* outError);
// The nth additional-recipient-request (type 10) or revocation-key (type
// 12) subpacket of the key: the key it names when present here, not a
// dummy, with that exact fingerprint (else null), with its algorithm (2 and
// 3 as 1) and key ID, class and the count. kQOXErrItemNotFound in outError
// for no such subpacket or one under 22 bytes.
QOXKeyDBObj* qoxKeyAdditionalRecipientRequestKey(QOXKeyDBObj* key, size_t n, uint8_t* outAlgorithm,
                                                 QOXKeyID* outKeyID, uint8_t* outClass, size_t* outCount,
                                                 QOXError* outError);
QOXKeyDBObj* qoxKeyRevocationKey(QOXKeyDBObj* key, size_t n, uint8_t* outAlgorithm, QOXKeyID* outKeyID,
                                 uint8_t* outClass, size_t* outCount, QOXError* outError);
// The candidate (a key, or a dummy by algorithm and key ID) is a
// designated revoker of the key through a subpacket with class bit 0x80.
bool qoxKeyIsRevocationKey(QOXKeyDBObj* key, QOXKeyDBObj* candidate);
// The first real revocation (0x20 on a key, 0x28 on a subkey) by someone
// other than the owner key who is a designated revoker of it; the revoker
// (null when a dummy), its algorithm and key ID.
bool qoxKeyHasThirdPartyRevocation(QOXKeyDBObj* key, QOXKeyDBObj** outRevoker, uint8_t* outAlgorithm,
                                   QOXKeyID* outKeyID, QOXError* outError);
// The signature revokes the key or subkey it lies on.
bool sigRevokesKey(QOXKeyDBObj* sig);

// The newest real subkey valid now (members of the set only, when given);
// the later in child order on equal creation times; null when none.
QOXKeyDBObj* qoxKeySubkey(QOXKeyDBObj* key, QOXKeySet* set);
bool qoxSubkeyValid(QOXKeyDBObj* subKey, bool checkTime, bool allowRevoked);

// The DER certificate of an X.509 signature (its kind-1 sub-subpacket after
// 3 bytes); null when the signature carries none or fewer than 3 bytes.
const uint8_t* qoxSigX509Certificate(QOXKeyDBObj* sig, size_t* outLength);
// A signature settings of the signer, type, hash, version, creation and (for
// version 4) subpackets of the signature; null with the error.
QOXSigSpec* qoxSigSigSpec(QOXKeyDBObj* sig, QOXError* outError);
// The compiled expression of subpacket 6, made on first use and cached;
// null when there is none or it does not compile (nothing cached).
QOXRegExp* qoxSigRegexp(QOXKeyDBObj* sig);

bool qoxKeyHasCRL(QOXKeyDBObj* key);
QOXKeyDBObj* qoxKeyNthCRL(QOXKeyDBObj* key, size_t n, size_t* outCount);
bool qoxCRLIsCurrent(QOXKeyDBObj* crl, QOXTime time);
QOXKeyDBObj* qoxKeyEarliestCRL(QOXKeyDBObj* key, bool byExpiration);
const uint8_t* qoxCRLDistributionPoint(QOXKeyDBObj* crl, size_t* outLength);
// The distinct distribution points of the key's current checked CRLs and
// of the certificates of X.509 signatures made by the key marked with
// sigFlags bits 2 and 4: one buffer and an array of 32-bit lengths, both of
// the manager, the caller's to free. Allocation errors free everything.
QOXError qoxListCRLDistributionPoints(QOXMemoryMgr* mgr, QOXKeyDBObj* key, uint32_t* outCount, uint8_t** outBuffer,
                                      uint32_t** outLengths);
// Some real key, child or grandchild expires in [from, to).
bool qoxKeyDBHasExpiringObjects(QOXKeyDB* db, QOXTime from, QOXTime to);
// Rebuilds every key's chain of signatures made by it (opposite to tree
// order).
void qoxKeyDBListSigsBy(QOXKeyDB* db);

#endif  // OSTRAK_KEYDB_SELF_SIG_H_

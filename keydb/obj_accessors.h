// Field accessors of key database objects (keydb/key_db_obj.h): the small
// reads and writes of info-record fields that every other part of the key
// database uses. Each reads the info record of its object's kind; an object
// without one (unfetched, or of another kind) reads as 0, false or null and
// is not written. Callers pass objects of the right kind; the validity tests
// of keydb/key_db_obj.h guard public entry points.
//
// Expiry times are summed in 64 bits and held at 0xFFFFFFFF, the last
// QOXTime, so that a far expiry never wraps to a past date.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_OBJ_ACCESSORS_H_
#define OSTRAK_KEYDB_OBJ_ACCESSORS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_time.h"

struct QOXKeyDBObj;

// creation + days x 86400 and creation + seconds, held at 0xFFFFFFFF; 0 when
// either term is 0.
QOXTime qoxExpiryTime(QOXTime creation, uint64_t seconds);

// --- Keys and subkeys ---
uint16_t qoxKeyBits(QOXKeyDBObj* key);
QOXTime qoxKeyCreation(QOXKeyDBObj* key);
QOXTime qoxKeyExpiration(QOXKeyDBObj* key);
// The legacy owner trust: the larger of keyTrust's low 3 bits and the
// legacy form of what trust signatures gave (signedTrust).
uint8_t qoxKeyTrust(QOXKeyDBObj* key);
// No change when the key is revoked or expired or already has trust t.
void qoxKeySetTrust(QOXKeyDBObj* key, uint8_t trust);
// Only for a key with a secret part that is neither axiomatic nor revoked:
// keyTrust |= 0x87 and every real user ID gets confidence 255.
void qoxKeySetAxiomatic(QOXKeyDBObj* key);
// Only when axiomatic: keyTrust &= 0x78 and every real user ID gets
// confidence 253.
void qoxKeyResetAxiomatic(QOXKeyDBObj* key);
bool qoxKeyAxiomatic(QOXKeyDBObj* key);
bool qoxKeyDisabled(QOXKeyDBObj* key);
bool qoxKeyRevoked(QOXKeyDBObj* key);
void qoxKeyDisable(QOXKeyDBObj* key);
void qoxKeyEnable(QOXKeyDBObj* key);
// The key's confidence as an introducer on the internal scale
// (qoxKeyCalcTrust, keydb/trust.h).
uint16_t qoxKeyConfidence(QOXKeyDBObj* key);
// The algorithm (2 and 3 reported as 1) and the 8-byte or 4-byte key ID.
// kQOXErrBadParams for an object that is not a fetched key or subkey.
QOXError qoxKeyID8(QOXKeyDBObj* key, uint8_t* outAlgorithm, QOXKeyID* outKeyID);
QOXError qoxKeyID4(QOXKeyDBObj* key, uint8_t* outAlgorithm, QOXKeyID* outKeyID);
bool qoxKeyV3(QOXKeyDBObj* key);
bool qoxKeyIsSec(QOXKeyDBObj* key);
// The first body byte of the key packet; 0 without a packet.
uint8_t qoxKeyVersion(QOXKeyDBObj* key);

// --- User IDs ---
// The packet body (after the header) and its length; null and 0 without a
// packet.
const uint8_t* qoxUserIDName(QOXKeyDBObj* userID, size_t* outLength);
bool qoxUserIDIsAttribute(QOXKeyDBObj* userID);
// The n-th (from 0) subpacket of a user attribute: its data, type and data
// length; null with kQOXErrBadParams for a plain user ID, null with 0 when there is no
// such subpacket.
const uint8_t* qoxUserIDAttributeSubpacket(QOXKeyDBObj* userID, size_t n, uint8_t* outType,
                                           size_t* outLength, QOXError* outError);
// 1 when the key is revoked, else 3 when it is axiomatic, else trustByte & 3.
uint8_t qoxUserIDOldValidity(QOXKeyDBObj* userID);
bool qoxUserIDWarnonly(QOXKeyDBObj* userID);
void qoxUserIDSetWarnonly(QOXKeyDBObj* userID, bool warnOnly);
// 0 when the key is revoked, else 65535 when axiomatic, else the validity on
// the internal scale.
uint16_t qoxUserIDValidity(QOXKeyDBObj* userID);
uint16_t qoxUserIDConfidence(QOXKeyDBObj* userID);
bool qoxUserIDConfidenceUndefined(QOXKeyDBObj* userID);
// Stores an internal confidence in the external form, when it differs.
void qoxUserIDSetConfidence(QOXKeyDBObj* userID, uint16_t confidence);

// --- Signatures ---
// The signer when it is a real key, else null.
QOXKeyDBObj* qoxSigMaker(QOXKeyDBObj* sig);
// The signer's algorithm (2 and 3 as 1) and 8-byte key ID; kQOXErrBadParams without a
// signer.
QOXError qoxSigID8(QOXKeyDBObj* sig, uint8_t* outAlgorithm, QOXKeyID* outKeyID);
// 8 without a signer, 11 when not tried, trustByte & 7 when tried and
// checked, 13 when tried and not checked.
uint8_t qoxSigTrust(QOXKeyDBObj* sig);
bool qoxSigChecked(QOXKeyDBObj* sig);
bool qoxSigTried(QOXKeyDBObj* sig);
bool qoxSigExportable(QOXKeyDBObj* sig);
bool qoxSigIsX509(QOXKeyDBObj* sig);
uint8_t qoxSigTrustLevel(QOXKeyDBObj* sig);
uint8_t qoxSigTrustValue(QOXKeyDBObj* sig);
uint8_t qoxSigType(QOXKeyDBObj* sig);
QOXTime qoxSigTimestamp(QOXKeyDBObj* sig);
QOXTime qoxSigExpiration(QOXKeyDBObj* sig);
// 0 without a signer or when the signer is revoked, else the signer's
// confidence (qoxKeyConfidence).
uint16_t qoxSigConfidence(QOXKeyDBObj* sig);
// The signer is the top-level key above the signature.
bool qoxSigIsSelfSig(QOXKeyDBObj* sig);

// --- CRLs ---
bool qoxCRLChecked(QOXKeyDBObj* crl);
bool qoxCRLTried(QOXKeyDBObj* crl);
QOXTime qoxCRLCreation(QOXKeyDBObj* crl);
QOXTime qoxCRLExpiration(QOXKeyDBObj* crl);

#endif  // OSTRAK_KEYDB_OBJ_ACCESSORS_H_

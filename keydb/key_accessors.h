// The small public accessors that belong with the object properties
// (keydb/obj_properties.h): the primary user ID with its name and validity,
// the key to use for a usage, the key that made a signature and the X.509
// signature that certified an X.509 signature, the designated revocation
// keys and additional recipient requests of a key, the CRL distribution
// points of a CA key, the caller's value kept in an object, the peek
// accessors, and the deletion of an object.
//
// The public calls check their arguments (kQOXErrBadParams), pass the entry
// gate and clear their outputs; the peek accessors pass no gate and answer
// null for an invalid handle.
//
// Ownership: buffers handed out (distribution points) are blocks of the
// context's memory, freed by the caller with QOXFreeData.
//
// Thread safety: none (the object's context's thread).
#ifndef OSTRAK_KEYDB_KEY_ACCESSORS_H_
#define OSTRAK_KEYDB_KEY_ACCESSORS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// Usage flags of QOXGetKeyForUsage (the key-flags bits).
inline constexpr uint32_t kQOXKeyUsage_SignMask = 0x03;     // certify, sign
inline constexpr uint32_t kQOXKeyUsage_EncryptMask = 0x0C;  // encrypt communications, storage

// The primary user ID (plain, or of one attribute type): kQOXErrItemNotFound when
// there is none or it is not real.
QOXError QOXGetPrimaryUserID(QOXKeyDBObj* key, QOXKeyDBObj** outUserID);
QOXError QOXGetPrimaryAttributeUserID(QOXKeyDBObj* key, uint32_t attributeType, QOXKeyDBObj** outUserID);
// UserIDName of the primary user ID; buffer and outLength may not both be
// null.
QOXError QOXGetPrimaryUserIDName(QOXKeyDBObj* key, void* buffer, size_t bufferSize, size_t* outLength);
// UserIDValidity of the primary user ID.
QOXError QOXGetPrimaryUserIDValidity(QOXKeyDBObj* key, int32_t* outValidity);
// Encryption only: the newest valid subkey, else the key, when its
// algorithm can encrypt; both: a key without a valid subkey whose algorithm
// does both; signing only: the key when its algorithm can sign. Otherwise
// kQOXErrUnimplementedPKOperation; no flag at all is kQOXErrBadParams.
QOXError QOXGetKeyForUsage(QOXKeyDBObj* key, uint32_t usageFlags, QOXKeyDBObj** outKey);

// The key that made the signature: its signer when real, else (with a key
// database) the key of the signer's ID found there; kQOXErrItemNotFound.
QOXError QOXGetSigCertifierKey(QOXKeyDBObj* sig, QOXKeyDB* db, QOXKeyDBObj** outKey);
QOXError qoxGetSigCertifierKey(QOXKeyDBObj* sig, QOXKeyDB* db, QOXKeyDBObj** outKey);
// The signer's key ID (out zeroed first).
QOXError qoxGetKeyIDOfCertifier(QOXKeyDBObj* sig, QOXKeyID* outKeyID);
// The X.509 signature on the certifying key whose certificate's subject is
// this certificate's issuer (by long name); null with 0 when none matches.
QOXError QOXGetSigX509CertifierSig(QOXKeyDBObj* sig, QOXKeyDB* db, QOXKeyDBObj** outSig);

// Revocation-key (type 12) and additional-recipient-request (type 10)
// subpackets of the key's self-signatures. The counts are 0 with success
// when there are none. The indexed calls give the key object when a key
// with that exact fingerprint is in the same database and real (else null)
// and the key ID with the subpacket's algorithm; past the end
// kQOXErrItemNotFound with the key ID zeroed.
QOXError QOXCountRevocationKeys(QOXKeyDBObj* key, uint32_t* outCount);
QOXError QOXGetIndexedRevocationKey(QOXKeyDBObj* key, uint32_t index, QOXKeyDBObj** outKey, QOXKeyID* outKeyID);
QOXError QOXCountAdditionalRecipientRequests(QOXKeyDBObj* key, uint32_t* outCount);
QOXError QOXGetIndexedAdditionalRecipientRequestKey(QOXKeyDBObj* key, uint32_t index, QOXKeyDBObj** outKey,
                                                    QOXKeyID* outKeyID, uint8_t* outClass);

// The distinct DER distribution points of the key's CRLs and of the
// certificates it issued: a count, one buffer and a parallel array of
// 32-bit sizes (each output may be null; what is handed out is freed with
// QOXFreeData).
QOXError QOXGetCRLDistributionPoints(QOXKeyDBObj* key, uint32_t* outCount, void** outBuffer, uint32_t** outSizes);

// The caller's pointer-sized value kept in an object (0 until set; cleared
// when the object is deleted).
QOXError QOXSetKeyDBObjUserValue(QOXKeyDBObj* object, uintptr_t value);
QOXError QOXGetKeyDBObjUserValue(QOXKeyDBObj* object, uintptr_t* outValue);

// Deletes an object from its database (a key's last user ID is refused),
// records the change and recalculates trust over the database.
// kQOXErrObjectDeleted when already deleted.
QOXError QOXDeleteKeyDBObj(QOXKeyDBObj* object);

// --- Peek accessors (no gate; null for an invalid handle) ---
QOXContext* QOXPeekKeyDBContext(QOXKeyDB* db);
QOXContext* QOXPeekKeySetContext(QOXKeySet* set);
QOXKeyDB* QOXPeekKeyDBObjKeyDB(QOXKeyDBObj* object);
QOXKeyDBObj* QOXPeekKeyDBObjKey(QOXKeyDBObj* object);
// A user ID itself, or the user ID that holds a signature.
QOXKeyDBObj* QOXPeekKeyDBObjUserID(QOXKeyDBObj* object);

#endif  // OSTRAK_KEYDB_KEY_ACCESSORS_H_

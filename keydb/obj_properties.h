// Object properties: every attribute of a key, subkey, user ID or signature
// that the rest of the system reads, through one numbered property space
// and five typed getters (boolean, numeric, time, data into the caller's
// buffer, data into a new block).
//
// The numbers are fixed (other subsystems pass them as plain integers) and
// their range picks the object kind and the getter that serves them:
//
//   below 100   any object: 20 (numeric) only
//   100-499     key or subkey: 1xx boolean, 2xx numeric, 3xx time, 4xx data
//   500-899     subkey:        5xx boolean, 6xx numeric, 7xx time, 8xx data
//   900-1299    user ID:       9xx boolean, 10xx numeric, 12xx data
//   1300 and up signature:     13xx boolean, 14xx numeric, 15xx time, 16xx+ data
//
// Checks, in order: a null required output is kQOXErrBadParams; an object
// that is not a live object of the range's kind is kQOXErrBadParams; where
// the range tests it, a deleted object is kQOXErrObjectDeleted (the key
// range never tests it); a number the range does not serve is
// kQOXErrInvalidPropertyName. Outputs are cleared before the object is
// checked and stay cleared on every error (but kQOXErrBufferTooSmall).
//
// Data values. The buffer form first fills the caller's buffer with zero
// bytes (not for user IDs), always reports the full length, copies what
// fits, and returns kQOXErrBufferTooSmall when the value is longer than the
// buffer; a shorter value is followed by a zero byte. The allocated form
// returns a block of the context's memory (freed with QOXFreeData) holding
// the value and a zero byte; an empty value is kQOXErrInvalidPropertyName.
// The exceptions (403, 406, 1602-1607) are noted at their numbers.
//
// The public getters pass the entry gate first; the qoxGet... getters do
// the same checks without the gate; the ...Internal workers check nothing
// and serve callers that already have.
//
// Thread safety: none (the object's context's thread). The getters change
// nothing but lazily fetched packet data.
#ifndef OSTRAK_KEYDB_OBJ_PROPERTIES_H_
#define OSTRAK_KEYDB_OBJ_PROPERTIES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXKeyDBObj;

// The property numbers.
enum class KeyDBObjProperty : int32_t {
  ObjectType = 20,  // numeric: 1 key, 2 subkey, 4 user ID, 8 signature, 0 other

  KeyIsSecret = 100,
  KeyIsAxiomatic = 101,
  KeyIsRevoked = 102,  // a subkey also when its master key is revoked
  KeyIsDisabled = 103,
  KeyIsIntact = 104,   // always true
  KeyIsExpired = 105,
  KeyNeedsPassphrase = 106,
  KeyHasRevocationSignature = 107,
  KeyCanEncrypt = 108,
  KeyCanDecrypt = 109,
  KeyCanSign = 110,
  KeyCanVerify = 111,
  KeyHasEncryptionUse = 112,
  KeyHasSigningUse = 113,
  KeyIsShared = 114,
  KeyCanBeRevoked = 115,
  KeyHasDesignatedRevocation = 116,
  KeyHasCRL = 117,
  KeyAlgorithm = 200,  // 2 and 3 reported as 1
  KeyBits = 201,
  KeyTrust = 202,      // legacy owner trust of the computed confidence
  KeyValidity = 203,   // the largest UserIDValidity of the real user IDs
  KeyLockingAlgorithm = 204,
  KeyLockingBits = 205,
  KeyFlags = 206,      // the key-flags subpacket, first byte lowest
  KeyHashAlgorithm = 207,
  KeyVersion = 208,
  KeyServerPreferences = 209,
  KeyCreation = 300,
  KeyExpiration = 301,
  KeyCRLCreation = 302,
  KeyCRLExpiration = 303,
  KeyFingerprint = 401,         // 20 bytes (version 4) or 16
  KeyKeyID = 402,               // the 36-byte QOXKeyID
  KeyPreferredAlgorithms = 403, // one uint32_t per algorithm; allocated form without the zero byte
  KeyRevokerShortID = 404,
  KeyData = 405,                // the key material as stored
  KeyX509Digest = 406,          // 16 bytes; a null buffer reports 16 without computing
  KeyPreferredKeyServer = 407,

  SubKeyIsRevoked = 501,
  SubKeyIsIntact = 502,
  SubKeyIsExpired = 503,
  SubKeyNeedsPassphrase = 504,
  SubKeyHasRevocationSignature = 505,
  SubKeyCanBeRevoked = 506,
  SubKeyHasDesignatedRevocation = 507,
  SubKeyAlgorithm = 600,
  SubKeyBits = 601,
  SubKeyLockingAlgorithm = 602,
  SubKeyLockingBits = 603,
  SubKeyVersion = 604,
  SubKeyFlags = 605,
  SubKeyCreation = 700,
  SubKeyExpiration = 701,
  SubKeyData = 800,
  SubKeyKeyID = 801,

  UserIDIsAttribute = 900,
  UserIDValidity = 1000,  // legacy 0-3
  UserIDConfidence = 1001,
  UserIDAttributeType = 1002,
  UserIDName = 1200,
  UserIDAttributeData = 1201,
  UserIDCommonName = 1202,
  UserIDEmailAddress = 1203,

  SigIsRevoked = 1300,
  SigIsIntact = 1301,  // always true
  SigIsTried = 1302,
  SigIsVerified = 1303,
  SigIsBySecretKey = 1304,
  SigIsExportable = 1305,
  SigHasRevocation = 1306,
  SigIsExpired = 1307,
  SigIsX509 = 1308,
  SigAlgorithm = 1400,
  SigTrustLevel = 1401,
  SigTrustValue = 1402,
  SigCreation = 1500,
  SigExpiration = 1501,
  SigKeyID = 1600,
  SigX509Certificate = 1601,
  // 1602 and 1607: the allocated form holds exactly the DER; the buffer form
  // writes no zero byte and returns 0 even when it truncated. 1603-1606: the
  // same buffer rule, the allocated form with its zero byte.
  SigX509IssuerAndSerial = 1602,
  SigX509SubjectLongName = 1603,
  SigX509IssuerLongName = 1604,
  SigX509DNSName = 1605,
  SigX509IPAddress = 1606,
  SigX509SubjectDN = 1607,
};

// --- Public getters (entry gate first) ---
QOXError QOXGetKeyDBObjBooleanProperty(QOXKeyDBObj* object, int32_t property, bool* outValue);
QOXError QOXGetKeyDBObjNumericProperty(QOXKeyDBObj* object, int32_t property, int32_t* outValue);
QOXError QOXGetKeyDBObjTimeProperty(QOXKeyDBObj* object, int32_t property, QOXTime* outValue);
// buffer may be null (the length only).
QOXError QOXGetKeyDBObjDataProperty(QOXKeyDBObj* object, int32_t property, void* buffer, size_t bufferSize,
                                    size_t* outDataSize);
QOXError QOXGetKeyDBObjAllocatedDataProperty(QOXKeyDBObj* object, int32_t property, void** outBuffer,
                                             size_t* outDataSize);

// --- Internal getters: the same checks, no gate ---
// Key range, a key or subkey object, no deleted test.
QOXError qoxGetKeyBoolean(QOXKeyDBObj* key, int32_t property, bool* outValue);
QOXError qoxGetKeyNumber(QOXKeyDBObj* key, int32_t property, int32_t* outValue);
QOXError qoxGetKeyTime(QOXKeyDBObj* key, int32_t property, QOXTime* outValue);
QOXError qoxGetKeyPropertyBuffer(QOXKeyDBObj* key, int32_t property, void* buffer, size_t bufferSize,
                                 size_t* outDataSize);
QOXError qoxGetKeyAllocatedPropertyBuffer(QOXKeyDBObj* key, int32_t property, void** outBuffer,
                                          size_t* outDataSize);
// Subkey range, a subkey object; the data getters test deletion.
QOXError qoxGetSubKeyBoolean(QOXKeyDBObj* subKey, int32_t property, bool* outValue);
QOXError qoxGetSubKeyNumber(QOXKeyDBObj* subKey, int32_t property, int32_t* outValue);
QOXError qoxGetSubKeyTime(QOXKeyDBObj* subKey, int32_t property, QOXTime* outValue);
QOXError qoxGetSubKeyPropertyBuffer(QOXKeyDBObj* subKey, int32_t property, void* buffer, size_t bufferSize,
                                    size_t* outDataSize);
QOXError qoxGetSubKeyAllocatedPropertyBuffer(QOXKeyDBObj* subKey, int32_t property, void** outBuffer,
                                             size_t* outDataSize);
// User-ID range, deletion tested; outDataSize may be null.
QOXError qoxGetUserIDBoolean(QOXKeyDBObj* userID, int32_t property, bool* outValue);
QOXError qoxGetUserIDNumber(QOXKeyDBObj* userID, int32_t property, int32_t* outValue);
QOXError qoxGetUserIDStringBuffer(QOXKeyDBObj* userID, int32_t property, void* buffer, size_t bufferSize,
                                  size_t* outDataSize);
QOXError qoxGetUserIDAllocatedStringBuffer(QOXKeyDBObj* userID, int32_t property, void** outBuffer,
                                           size_t* outDataSize);
// Signature range; the boolean, numeric and time getters test deletion, the
// data getters do not.
QOXError qoxGetSigBoolean(QOXKeyDBObj* sig, int32_t property, bool* outValue);
QOXError qoxGetSigNumber(QOXKeyDBObj* sig, int32_t property, int32_t* outValue);
QOXError qoxGetSigTime(QOXKeyDBObj* sig, int32_t property, QOXTime* outValue);
QOXError qoxGetSigPropertyBuffer(QOXKeyDBObj* sig, int32_t property, void* buffer, size_t bufferSize,
                                 size_t* outDataSize);
QOXError qoxGetSigAllocatedPropertyBuffer(QOXKeyDBObj* sig, int32_t property, void** outBuffer,
                                          size_t* outDataSize);
// Any live object; 20 only.
QOXError qoxGetKeyDBObjNumber(QOXKeyDBObj* object, int32_t property, int32_t* outValue);

// --- Workers: no checks; the caller has checked object and number ---
QOXError qoxGetKeyBooleanInternal(QOXKeyDBObj* key, int32_t property, bool* outValue);
// Numeric (2xx) and time (3xx) key properties.
QOXError qoxGetKeyNumberInternal(QOXKeyDBObj* key, int32_t property, int32_t* outNumber, QOXTime* outTime);
// A data property of the key range (4xx) into the buffer, or allocated when
// outBuffer is given.
QOXError qoxGetKeyStringInternal(QOXKeyDBObj* key, int32_t property, void* buffer, size_t bufferSize,
                                 void** outBuffer, size_t* outDataSize);
QOXError qoxGetSubKeyNumberInternal(QOXKeyDBObj* subKey, int32_t property, int32_t* outValue);
QOXError qoxGetUserIDBooleanInternal(QOXKeyDBObj* userID, int32_t property, bool* outValue);
QOXError qoxGetUserIDNumberInternal(QOXKeyDBObj* userID, int32_t property, int32_t* outValue);
QOXError qoxGetUserIDStringBufferInternal(QOXKeyDBObj* userID, int32_t property, void* buffer, size_t bufferSize,
                                          void** outBuffer, size_t* outDataSize);
QOXError qoxGetSigBooleanInternal(QOXKeyDBObj* sig, int32_t property, bool* outValue);
QOXError qoxGetSigNumberInternal(QOXKeyDBObj* sig, int32_t property, int32_t* outValue);
QOXError qoxGetSigTimeInternal(QOXKeyDBObj* sig, int32_t property, QOXTime* outValue);
QOXError qoxGetSigStringInternal(QOXKeyDBObj* sig, int32_t property, void* buffer, size_t bufferSize,
                                 void** outBuffer, size_t* outDataSize);

#endif  // OSTRAK_KEYDB_OBJ_PROPERTIES_H_

// Adding user IDs and attributes to a key with their self-signatures, and
// certifying a user ID with another key (the signing maintenance
// operations of keydb/key_manage.h; signatures made through
// keydb/key_certify.h).
//
// The option forms (names ending in Internal) check their option set
// (kQOXErrBadParams for any option outside it), run the worker in process
// or, for a front-end object, the back-end entry and merge the key array it
// returns. A certification is followed by the trust recalculation of the
// whole database; an addition is not.
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_USER_IDS_H_
#define OSTRAK_KEYDB_KEY_USER_IDS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "foundation/sdk_time.h"
#include "keydb/key_array.h"

struct QOXContext;
struct QOXKeyDBObj;

// Passphrase, PasskeyBuffer, CachePassphrase. The text's length is taken
// from its terminating zero.
QOXError qoxAddUserIDInternal(QOXKeyDBObj* key, const char* name, QOXOptionListRef optionList);
// The same options; the attribute type's low byte and the data.
QOXError qoxAddAttributeInternal(QOXKeyDBObj* key, int32_t attributeType, const uint8_t* data, size_t length,
                                 QOXOptionListRef optionList);
// Passphrase, PasskeyBuffer, CachePassphrase, Expiration (days), CreationDate,
// Exportable, SigTrust (level, legacy trust value) and SigRegularExpression
// (it must compile, else kQOXErrBadParams).
QOXError qoxCertifyUserIDInternal(QOXKeyDBObj* userID, QOXKeyDBObj* certifyingKey, QOXOptionListRef optionList);

// A user ID (text) or attribute (first subpacket of the type with the data)
// created under the key and certified by it (class 0x10). The key must be
// neither revoked (kQOXErrKeyRevoked) nor expired (kQOXErrKeyExpired) and
// have a secret part (kQOXErrNoSecretKeyFound); a real user ID of the same
// kind with the same bytes (for an attribute: the same first subpacket
// type, length and bytes) gives kQOXErrDuplicateUserID. A failed creation
// returns the database's last error; the user ID stays when its signing
// fails.
QOXError qoxAddUserID_internal(QOXKeyDBObj* key, bool attribute, uint8_t attributeType, const uint8_t* data,
                               size_t length, const char* passphrase, size_t passphraseLength, bool hashed,
                               uint32_t cacheTimeOut, bool cacheGlobally);

// What a certification carries beyond its signer.
struct QOXCertification {
  QOXTime creation = 0;    // 0: now; else moved by the setting-1015 offset
  uint32_t expiration = 0; // seconds after creation; 0 none
  bool exportable = false; // false: an exportable subpacket of 0
  uint8_t trustLevel = 0;  // non-zero: a trust subpacket
  uint8_t trustValue = 0;  // legacy 0-6, written as the external trust byte
  const char* regularExpression = nullptr;  // with its zero, or null
};
// A certification (class 0x10) of the user ID by the signing key. Both keys
// must be neither revoked nor expired; a real signature of the signing key
// on the user ID other than a certification revocation gives
// kQOXErrDuplicateCertification.
QOXError qoxCertifyUserID_internal(QOXKeyDBObj* userID, QOXKeyDBObj* signingKey, const char* passphrase,
                                   size_t passphraseLength, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                                   const QOXCertification& certification);

// Back-end entries (keydb/key_db_back.h): the worker on the objects named
// by ID, the key recorded for the other connections. With the key-database
// service link on they answer kQOXErrFeatureNotAvailable: the RPC client
// has no stubs for them. The addition answers
// the key array of the key (also when the signing failed after the user ID
// was made, with that error); the certification the key array starting at
// the user ID.
QOXError qoxAddUserID_back(QOXContext* context, uintptr_t key, bool attribute, uint8_t attributeType,
                           const uint8_t* data, size_t length, const char* passphrase, size_t passphraseLength,
                           bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, KeyArrayWord** outArray,
                           size_t* outArrayLength);
QOXError qoxCertifyUserID_back(QOXContext* context, uintptr_t userID, uintptr_t signingKey, const char* passphrase,
                               size_t passphraseLength, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                               const QOXCertification& certification, KeyArrayWord** outArray,
                               size_t* outArrayLength);

#endif  // OSTRAK_KEYDB_KEY_USER_IDS_H_

// Creating key packets and objects: keys, subkeys, user IDs, photo IDs,
// signatures and CRLs made inside the program are first built as whole
// RFC 2440 packets and then added to a key database by the ring reader's
// add operations (keydb/ring_reader.h), so that a created object and one
// read from a ring are the same kind of thing. This file also makes key
// pairs and subkey pairs with their self-signatures.
//
// Packet forms (headers by qoxPktHeaderPut):
//   key, subkey     old form, tag × 4 + 0x81 (length type 1 at least):
//                   the key-spec prefix (qoxKeyToBuffer), then the key's
//                   own numbers (secret or public form)
//   user ID         0xB4, the text unchanged
//   signature       0x89, the body as the signer made it
//   CRL             0xFC, the body unchanged
//   photo ID        0xD1, one attribute subpacket: 0xFF, the length (data
//                   + 1, four bytes big-endian), the type byte, the data
// A packet (header and body) of kQOXMaxCreatedPacket bytes or more is
// refused with kQOXErrKeyGrosslyOversized; nothing is added then.
//
// Errors of the object makers: null, with the database's last error set to
// kQOXErrKeyGrosslyOversized or kQOXErrOutOfMemory (or the reader's error).
//
// Thread safety: none (the key database's context's thread).
#ifndef OSTRAK_KEYDB_KEY_CREATE_H_
#define OSTRAK_KEYDB_KEY_CREATE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXKeySpec;
struct QOXPubKey;
struct QOXSecKey;
struct QOXSigSpec;

inline constexpr size_t kQOXMaxCreatedPacket = 150000;
// A signature made here is at once marked tried, checked and good.
inline constexpr uint8_t kQOXCreatedSigTrust = 0x66;

// The key packet (secret form from the secret key, else public form from
// the public key) added as a top-level key (parent null) or a subkey, read
// as trusted.
QOXKeyDBObj* qoxCreateKey(QOXKeyDB* db, QOXKeyDBObj* parent, bool secret, const QOXPubKey* publicKey,
                          const QOXSecKey* secretKey, const QOXKeySpec* keySpec, uint8_t algorithm);
// Rebuilds a stored secret key packet after its protection changed: the
// same type byte and stored body prefix, then the secret key's new numbers.
// kQOXErrKeyGrosslyOversized, kQOXErrOutOfMemory, or the data update's
// result.
QOXError qoxUpdateSecKeyData(QOXKeyDBObj* key, const QOXSecKey* secretKey);
QOXKeyDBObj* qoxCreateUserID(QOXKeyDB* db, QOXKeyDBObj* parent, const uint8_t* text, size_t length);
QOXKeyDBObj* qoxCreateSig(QOXKeyDB* db, QOXKeyDBObj* parent, const uint8_t* body, size_t length);
QOXKeyDBObj* qoxCreateCRL(QOXKeyDB* db, QOXKeyDBObj* parent, const uint8_t* body, size_t length);
QOXKeyDBObj* qoxCreateAttribute(QOXKeyDB* db, QOXKeyDBObj* parent, uint8_t attributeType, const uint8_t* data,
                                size_t length);

// Signs the object under the settings and adds the signature under it. A
// version-3 request stands only for a key revocation (0x20) of a top-level
// key, or for an RSA signer over an RSA key's object with a hash below 4;
// otherwise the settings are set to version 4. The signer's error, or
// kQOXErrOutOfMemory for an empty signature, or the database's error.
QOXError qoxSignObject(QOXKeyDBObj* object, QOXSigSpec* spec);

// Makes a new key with one user ID and its self-signatures (when the
// algorithm signs); the key is made axiomatic. Null (with *outError) when
// the key or the user ID cannot be made; otherwise the key, with a later
// step's error in *outError.
struct QOXKeypairRequest {
  const uint8_t* userID;
  size_t userIDLength;
  bool version4;
  QOXKeySet* revocationKeys;  // may be null
  uint8_t revokerClass;
  const uint8_t* preferredAlgorithms;  // bytes; none: 3, 1, 2
  size_t preferredAlgorithmsLength;
  const uint8_t* preferredKeyServer;
  size_t preferredKeyServerLength;
  uint32_t keyFlags;
  bool keyFlagsGiven;
  uint32_t keyServerPreferences;
  bool keyServerPreferencesGiven;
  QOXKeySet* recipientRequestKeys;  // may be null
  uint8_t recipientRequestClass;
  const uint8_t* passphrase;
  size_t passphraseLength;
  bool hashedPassphrase;
};
QOXKeyDBObj* qoxCreateKeypair(QOXContext* context, QOXKeyDB* db, QOXSecKey* secretKey, QOXKeySpec* keySpec,
                              const QOXKeypairRequest& request, QOXError* outError);
// A secret subkey under the key with its binding signature (0x18), made
// axiomatic when signed. Null (with *outError) when the subkey cannot be
// made.
QOXKeyDBObj* qoxCreateSubkeypair(QOXKeyDBObj* key, QOXContext* context, QOXSecKey* secretKey, QOXKeySpec* keySpec,
                                 const uint8_t* passphrase, size_t passphraseLength, bool hashedPassphrase,
                                 uint32_t keyFlags, bool keyFlagsGiven, QOXError* outError);

#endif  // OSTRAK_KEYDB_KEY_CREATE_H_

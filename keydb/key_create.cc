// Creating key packets and objects, key pairs and subkey pairs.
#include "keydb/key_create.h"

#include <cstring>

#include "crypto/pkalg.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_lookup.h"
#include "keydb/key_packet.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/obj_properties.h"
#include "keydb/packet_header.h"
#include "keydb/ring_reader.h"
#include "keydb/sig_check.h"

namespace {

constexpr uint8_t kUserIDTypeByte = 0xB4;
constexpr uint8_t kSigTypeByte = 0x89;
constexpr uint8_t kCRLTypeByte = 0xFC;
constexpr uint8_t kAttributeTypeByte = 0xD1;
constexpr uint8_t kAttributeLongLength = 0xFF;
constexpr uint32_t kSecondsPerDay = 86400;
// CAST5, IDEA, 3DES.
constexpr uint8_t kDefaultPrefAlg[] = {3, 1, 2};
constexpr size_t kFingerprintRecord = 2 + kQOXFingerprint20Size;  // class, algorithm, fingerprint

// A packet being built in the context's memory; freed with the builder.
class Packet {
 public:
  explicit Packet(QOXContext* context) : context_(context) {}
  ~Packet() {
    if (bytes_ != nullptr) qoxContextMemFree(context_, bytes_);
  }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

  // Room for a header and a body of bodyLength bytes; the body's start.
  // kQOXErrKeyGrosslyOversized at or above the limit.
  QOXError Make(uint8_t typeByte, size_t bodyLength, uint8_t** outBody) {
    if (bodyLength >= kQOXMaxCreatedPacket) return kQOXErrKeyGrosslyOversized;
    const size_t header = qoxPktHeaderLen(typeByte, static_cast<uint32_t>(bodyLength));
    if (header + bodyLength >= kQOXMaxCreatedPacket) return kQOXErrKeyGrosslyOversized;
    bytes_ = static_cast<uint8_t*>(qoxContextMemAlloc(context_, header + bodyLength, 0));
    if (bytes_ == nullptr) return kQOXErrOutOfMemory;
    qoxPktHeaderPut(bytes_, typeByte, static_cast<uint32_t>(bodyLength));
    length_ = header + bodyLength;
    *outBody = bytes_ + header;
    return kQOXErrNoErr;
  }
  const uint8_t* bytes() const { return bytes_; }
  size_t length() const { return length_; }

 private:
  QOXContext* context_;
  uint8_t* bytes_ = nullptr;
  size_t length_ = 0;
};

QOXKeyDBObj* Failed(QOXKeyDB* db, QOXError err) {
  qoxKeyDBSetError(db, err);
  return nullptr;
}

// Wraps data into a packet of the type byte and adds it under the parent.
QOXKeyDBObj* sCreateObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint8_t typeByte, const uint8_t* data, size_t length) {
  Packet packet(db->context);
  uint8_t* body = nullptr;
  if (QOXError err = packet.Make(typeByte, length, &body); err != kQOXErrNoErr) return Failed(db, err);
  if (length > 0) std::memcpy(body, data, length);
  QOXError err = kQOXErrNoErr;
  QOXKeyDBObj* object = qoxAddObject(packet.bytes(), packet.length(), db, parent, false, &err);
  if (object == nullptr) return Failed(db, err != kQOXErrNoErr ? err : kQOXErrOutOfMemory);
  return object;
}

// The 4-byte little-endian form of a flags word (first byte bits 0-7).
void LittleEndian(uint32_t value, uint8_t out[4]) { QOXUInt32ToEndian(value, kQOXLittleEndian, out); }

uint32_t ExpirySeconds(uint16_t days) {
  const uint64_t seconds = uint64_t{days} * kSecondsPerDay;
  return seconds > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

// Class, algorithm and 20-byte fingerprint of every real key of the set.
template <typename Add>
QOXError ForEachKeyRecord(QOXKeySet* set, uint8_t keyClass, Add add) {
  if (set == nullptr) return kQOXErrNoErr;
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key) || !qoxKeySetIsMember(key, set)) continue;
    const KeyInfo* info = qoxKeyToKeyInfo(key);
    if (info == nullptr) return kQOXErrOutOfMemory;
    uint8_t record[kFingerprintRecord];
    record[0] = keyClass;
    record[1] = info->algorithm;
    if (int err = qoxKeyFingerprint20(key, record + 2); err < 0) return err;
    if (QOXError err = add(record, sizeof record); err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

bool CanSign(uint8_t algorithm) { return (qoxKeyAlgUse(qoxPkalgByNumber(algorithm)) & kQOXPkAlgUseSign) != 0; }

// The algorithm of a key as its property reads (2 and 3 as RSA).
int32_t AlgorithmOf(QOXKeyDBObj* key) {
  int32_t algorithm = 0;
  if (qoxGetKeyNumber(key, static_cast<int32_t>(KeyDBObjProperty::KeyAlgorithm), &algorithm) != kQOXErrNoErr)
    return 0;
  return algorithm;
}

// Owns a signature spec.
struct SpecOwner {
  QOXSigSpec* spec;
  ~SpecOwner() {
    if (spec != nullptr) qoxSigSpecDestroy(spec);
  }
};

}  // namespace

QOXKeyDBObj* qoxCreateKey(QOXKeyDB* db, QOXKeyDBObj* parent, bool secret, const QOXPubKey* publicKey,
                          const QOXSecKey* secretKey, const QOXKeySpec* keySpec, uint8_t algorithm) {
  const uint8_t tag = secret ? (parent != nullptr ? kQOXPktTag_SecretSubKey : kQOXPktTag_SecretKey)
                             : (parent != nullptr ? kQOXPktTag_PublicSubKey : kQOXPktTag_PublicKey);
  const size_t prefix = qoxKeyBufferLength(keySpec);
  const size_t numbers = secret ? secretKey->bufferLength(secretKey) : publicKey->bufferLength(publicKey);
  Packet packet(db->context);
  uint8_t* body = nullptr;
  if (QOXError err = packet.Make(static_cast<uint8_t>(tag * 4 + 0x81), prefix + numbers, &body); err != kQOXErrNoErr)
    return Failed(db, err);
  qoxKeyToBuffer(body, keySpec, algorithm);
  if (secret) {
    secretKey->toBuffer(secretKey, body + prefix);
  } else {
    publicKey->toBuffer(publicKey, body + prefix);
  }
  QOXError err = kQOXErrNoErr;
  QOXKeyDBObj* key = qoxAddKey(tag, packet.bytes(), packet.length(), db, parent, true, &err);
  if (key == nullptr) return Failed(db, err != kQOXErrNoErr ? err : kQOXErrOutOfMemory);
  return key;
}

QOXError qoxUpdateSecKeyData(QOXKeyDBObj* key, const QOXSecKey* secretKey) {
  size_t storedLength = 0;
  const uint8_t* stored = qoxFetchObject(key, &storedLength);
  const size_t header = stored != nullptr ? qoxPktBufferHeaderLen(stored, storedLength) : 0;
  if (header == 0 || storedLength <= header) return kQOXErrOutOfMemory;
  const size_t prefix = stored[header] == 4 ? 6 : 8;
  if (storedLength < header + prefix) return kQOXErrBadPacket;
  QOXKeyDB* db = qoxObjKeyDB(key);
  Packet packet(db->context);
  uint8_t* body = nullptr;
  if (QOXError err = packet.Make(stored[0], prefix + secretKey->bufferLength(secretKey), &body); err != kQOXErrNoErr)
    return err;
  std::memcpy(body, stored + header, prefix);
  secretKey->toBuffer(secretKey, body + prefix);
  return qoxUpdateObjData(key, packet.bytes(), packet.length());
}

QOXKeyDBObj* qoxCreateUserID(QOXKeyDB* db, QOXKeyDBObj* parent, const uint8_t* text, size_t length) {
  return sCreateObj(db, parent, kUserIDTypeByte, text, length);
}

QOXKeyDBObj* qoxCreateSig(QOXKeyDB* db, QOXKeyDBObj* parent, const uint8_t* body, size_t length) {
  return sCreateObj(db, parent, kSigTypeByte, body, length);
}

QOXKeyDBObj* qoxCreateCRL(QOXKeyDB* db, QOXKeyDBObj* parent, const uint8_t* body, size_t length) {
  return sCreateObj(db, parent, kCRLTypeByte, body, length);
}

QOXKeyDBObj* qoxCreateAttribute(QOXKeyDB* db, QOXKeyDBObj* parent, uint8_t attributeType, const uint8_t* data,
                                size_t length) {
  if (length >= kQOXMaxCreatedPacket) return Failed(db, kQOXErrKeyGrosslyOversized);
  Packet packet(db->context);
  uint8_t* body = nullptr;
  if (QOXError err = packet.Make(kAttributeTypeByte, 6 + length, &body); err != kQOXErrNoErr) return Failed(db, err);
  body[0] = kAttributeLongLength;
  QOXUInt32ToEndian(static_cast<uint32_t>(length + 1), kQOXBigEndian, body + 1);
  body[5] = attributeType;
  if (length > 0) std::memcpy(body + 6, data, length);
  QOXError err = kQOXErrNoErr;
  QOXKeyDBObj* object = qoxAddObject(packet.bytes(), packet.length(), db, parent, false, &err);
  if (object == nullptr) return Failed(db, err != kQOXErrNoErr ? err : kQOXErrOutOfMemory);
  return object;
}

QOXError qoxSignObject(QOXKeyDBObj* object, QOXSigSpec* spec) {
  if (qoxSigSpecVersion(spec) < 4) {
    QOXKeyDBObj* owner = qoxObjTopKey(object);
    const bool keyRevocation = qoxSigSpecSigType(spec) == 0x20 && owner == object;
    const bool rsa = AlgorithmOf(qoxSigSpecSeckey(spec)) == kQOXPublicKeyAlgorithm_RSA &&
                     AlgorithmOf(owner) == kQOXPublicKeyAlgorithm_RSA && qoxSigSpecHashtype(spec) < 4;
    if (!keyRevocation && !rsa) qoxSigSpecSetVersion(spec, 4);
  }
  uint8_t* body = nullptr;
  const int32_t length = qoxSignObj(object, spec, &body);
  if (length < 0) {
    if (body != nullptr) QOXFreeData(body);
    return length;
  }
  if (length == 0 || body == nullptr) {
    if (body != nullptr) QOXFreeData(body);
    return kQOXErrOutOfMemory;
  }
  QOXKeyDB* db = qoxObjKeyDB(object);
  QOXKeyDBObj* sig = qoxCreateSig(db, object, body, static_cast<size_t>(length));
  QOXFreeData(body);
  if (sig == nullptr) return qoxKeyDBError(db);
  if (SigInfo* info = qoxSigToSigInfo(sig)) info->trustByte = kQOXCreatedSigTrust;
  return kQOXErrNoErr;
}

QOXKeyDBObj* qoxCreateKeypair(QOXContext* context, QOXKeyDB* db, QOXSecKey* secretKey, QOXKeySpec* keySpec,
                              const QOXKeypairRequest& r, QOXError* outError) {
  *outError = kQOXErrNoErr;
  if (r.version4) qoxKeySpecSetVersion(keySpec, 4);
  QOXKeyDBObj* key = qoxCreateKey(db, nullptr, true, nullptr, secretKey, keySpec, secretKey->algorithm);
  if (key == nullptr) {
    *outError = qoxKeyDBError(db);
    return nullptr;
  }
  KeyInfo* info = qoxKeyToKeyInfo(key);
  if (info == nullptr) {
    *outError = kQOXErrOutOfMemory;
    return nullptr;
  }
  std::memcpy(secretKey->keyID, info->keyID, sizeof secretKey->keyID);
  QOXKeyDBObj* userID = qoxCreateUserID(db, key, r.userID, r.userIDLength);
  if (userID == nullptr) {
    *outError = qoxKeyDBError(db);
    return nullptr;
  }
  QOXError err = kQOXErrNoErr;
  QOXEnv* env = qoxContextGetEnvironment(context);
  if (CanSign(secretKey->algorithm)) {
    SpecOwner self{qoxSigSpecCreate(env, key, 0x10)};
    if (self.spec == nullptr) err = kQOXErrOutOfMemory;
    if (err == kQOXErrNoErr)
      err = qoxSigSpecSetPassphrase(self.spec, r.passphrase, r.passphraseLength, r.hashedPassphrase ? 1 : 0);
    if (err == kQOXErrNoErr && r.version4) {
      QOXSigSpec* s = self.spec;
      if (r.preferredAlgorithmsLength > 0) {
        err = qoxSigSpecSetPrefAlgs(s, 0, r.preferredAlgorithms, r.preferredAlgorithmsLength);
      } else {
        err = qoxSigSpecSetPrefAlgs(s, 0, kDefaultPrefAlg, sizeof kDefaultPrefAlg);
      }
      if (err == kQOXErrNoErr && r.preferredKeyServer != nullptr)
        err = qoxSigSpecSetPrefKeyServ(s, 0, r.preferredKeyServer, r.preferredKeyServerLength);
      uint8_t word[4];
      if (err == kQOXErrNoErr && r.keyFlagsGiven) {
        LittleEndian(r.keyFlags, word);
        err = qoxSigSpecSetKeyFlags(s, 0, word, sizeof word);
      }
      if (err == kQOXErrNoErr && r.keyServerPreferencesGiven) {
        LittleEndian(r.keyServerPreferences, word);
        err = qoxSigSpecSetKeyServPrefs(s, 0, word, sizeof word);
      }
      if (err == kQOXErrNoErr) err = qoxSigSpecSetVersion(s, 4);
      if (err == kQOXErrNoErr) err = qoxSigSpecSetPrimaryUserID(s, 0, 1);
      const uint16_t days = qoxKeySpecValidity(keySpec);
      if (err == kQOXErrNoErr && days != 0) {
        err = qoxSigSpecSetKeyExpiration(s, 0, ExpirySeconds(days));
        info->validityDays = days;
      }
      if (err == kQOXErrNoErr) {
        err = ForEachKeyRecord(r.recipientRequestKeys, r.recipientRequestClass, [s](const uint8_t* d, size_t n) {
          return qoxSigSpecSetAdditionalRecipientRequest(s, 0, d, n);
        });
      }
    }
    if (err == kQOXErrNoErr) err = qoxSignObject(userID, self.spec);
    if (err == kQOXErrNoErr && r.version4 && r.revocationKeys != nullptr &&
        !qoxKeySetIsEmpty(r.revocationKeys)) {
      SpecOwner direct{qoxSigSpecCreate(env, key, 0x1F)};
      QOXSigSpec* s = direct.spec;
      if (s == nullptr) err = kQOXErrOutOfMemory;
      if (err == kQOXErrNoErr)
        err = qoxSigSpecSetPassphrase(s, r.passphrase, r.passphraseLength, r.hashedPassphrase ? 1 : 0);
      if (err == kQOXErrNoErr) {
        err = ForEachKeyRecord(r.revocationKeys, r.revokerClass,
                               [s](const uint8_t* d, size_t n) { return qoxSigSpecSetRevocationKey(s, 0, d, n); });
      }
      if (err == kQOXErrNoErr) err = qoxSigSpecSetRevocable(s, 0, 0);
      if (err == kQOXErrNoErr) err = qoxSignObject(key, s);
    }
  }
  qoxKeySetAxiomatic(key);
  *outError = err;
  return key;
}

QOXKeyDBObj* qoxCreateSubkeypair(QOXKeyDBObj* key, QOXContext* context, QOXSecKey* secretKey, QOXKeySpec* keySpec,
                                 const uint8_t* passphrase, size_t passphraseLength, bool hashedPassphrase,
                                 uint32_t keyFlags, bool keyFlagsGiven, QOXError* outError) {
  *outError = kQOXErrNoErr;
  QOXKeyDB* db = qoxObjKeyDB(key);
  qoxKeySpecSetVersion(keySpec, 4);
  QOXKeyDBObj* subKey = qoxCreateKey(db, key, true, nullptr, secretKey, keySpec, secretKey->algorithm);
  if (subKey == nullptr) {
    *outError = qoxKeyDBError(db);
    return nullptr;
  }
  KeyInfo* info = qoxKeyToKeyInfo(subKey);
  if (info == nullptr) {
    *outError = kQOXErrOutOfMemory;
    return nullptr;
  }
  std::memcpy(secretKey->keyID, info->keyID, sizeof secretKey->keyID);
  SpecOwner binding{qoxSigSpecCreate(qoxContextGetEnvironment(context), key, 0x18)};
  QOXSigSpec* s = binding.spec;
  QOXError err = s == nullptr ? kQOXErrOutOfMemory : kQOXErrNoErr;
  if (err == kQOXErrNoErr) err = qoxSigSpecSetPassphrase(s, passphrase, passphraseLength, hashedPassphrase ? 1 : 0);
  const uint16_t days = qoxKeySpecValidity(keySpec);
  if (err == kQOXErrNoErr && days != 0) {
    err = qoxSigSpecSetKeyExpiration(s, 0, ExpirySeconds(days));
    info->validityDays = days;
  }
  if (err == kQOXErrNoErr && keyFlagsGiven) {
    uint8_t word[4];
    LittleEndian(keyFlags, word);
    err = qoxSigSpecSetKeyFlags(s, 0, word, sizeof word);
  }
  if (err == kQOXErrNoErr) err = qoxSignObject(subKey, s);
  if (err == kQOXErrNoErr) qoxKeySetAxiomatic(subKey);
  *outError = err;
  return subKey;
}

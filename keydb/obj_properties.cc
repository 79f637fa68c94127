#include "keydb/obj_properties.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/hash.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/keydb_services.h"
#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_ops.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/self_sig.h"
#include "keydb/sig_packet.h"
#include "keydb/trust.h"
#include "keydb/x509_services.h"

namespace {

using P = KeyDBObjProperty;

constexpr int32_t N(P p) { return static_cast<int32_t>(p); }

// The first number of each range.
constexpr int32_t kKeyRange = 100;
constexpr int32_t kSubKeyRange = 500;
constexpr int32_t kUserIDRange = 900;
constexpr int32_t kSigRange = 1300;

constexpr uint32_t kObjectTypeMask = 0x0F;
constexpr uint8_t kHighestRSAAlgorithm = 3;
constexpr uint16_t kLargestRSABits = 4096;
constexpr uint8_t kDSA = 17;
constexpr uint8_t kSHA1 = 2;
constexpr uint8_t kMD5 = 1;
constexpr size_t kX509DigestSize = 16;
constexpr size_t kFlagBytes = 4;  // key flags and server preferences: up to 4 bytes
constexpr size_t kShortIDBytes = 4;
constexpr int32_t kBitsPerByte = 8;

enum class Range { kAny, kKey, kSubKey, kUserID, kSig };

Range RangeOf(int32_t property) {
  if (property < kKeyRange) return Range::kAny;
  if (property < kSubKeyRange) return Range::kKey;
  if (property < kUserIDRange) return Range::kSubKey;
  if (property < kSigRange) return Range::kUserID;
  return Range::kSig;
}

bool Between(int32_t property, P first, P last) { return property >= N(first) && property <= N(last); }

bool IsKeyOrSubKey(QOXKeyDBObj* o) { return qoxKeyIsValid(o) || qoxSubKeyIsValid(o); }

QOXContext* ContextOf(QOXKeyDBObj* o) { return qoxObjKeyDB(o)->context; }

// --- Data values and how they reach the caller ---

enum class CopyRule {
  kPlain,  // the usual rules
  kArray,  // 403: the allocated form without the zero byte
  kDER,    // 1602, 1607: buffer truncated silently, no zero byte; allocated exactly
  kText,   // 1603-1606: buffer truncated silently, no zero byte; allocated with it
};

struct DataValue {
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  std::vector<uint8_t> owned;
  CopyRule rule = CopyRule::kPlain;

  void Refer(const void* b, size_t n) {
    bytes = static_cast<const uint8_t*>(b);
    length = n;
  }
  void Own(std::vector<uint8_t> v) {
    owned = std::move(v);
    bytes = owned.data();
    length = owned.size();
  }
};

// Hands a value to the caller: allocated when outBuffer is given, else into
// the buffer (which may be null: the length only).
QOXError Deliver(QOXContext* context, const DataValue& v, void* buffer, size_t bufferSize, void** outBuffer,
                 size_t* outDataSize) {
  if (outBuffer != nullptr) {
    if (v.length == 0) return kQOXErrInvalidPropertyName;
    const bool terminated = v.rule == CopyRule::kPlain || v.rule == CopyRule::kText;
    auto* block = static_cast<uint8_t*>(qoxContextMemAlloc(context, v.length + (terminated ? 1 : 0), 0));
    if (block == nullptr) return kQOXErrOutOfMemory;
    std::memcpy(block, v.bytes, v.length);
    if (terminated) block[v.length] = 0;
    *outBuffer = block;
    if (outDataSize != nullptr) *outDataSize = v.length;
    return kQOXErrNoErr;
  }
  if (outDataSize != nullptr) *outDataSize = v.length;
  if (buffer == nullptr) return kQOXErrNoErr;
  auto* out = static_cast<uint8_t*>(buffer);
  const size_t n = std::min(v.length, bufferSize);
  if (n != 0) std::memcpy(out, v.bytes, n);
  if (v.rule == CopyRule::kDER || v.rule == CopyRule::kText) return kQOXErrNoErr;
  if (v.length > bufferSize) return kQOXErrBufferTooSmall;
  if (v.length < bufferSize) out[v.length] = 0;
  return kQOXErrNoErr;
}

// Clears the outputs of a data getter; the buffer is zero-filled unless
// the range is the user IDs'.
bool ClearData(void* buffer, size_t bufferSize, void** outBuffer, size_t* outDataSize, bool zeroFill) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (outDataSize != nullptr) *outDataSize = 0;
  if (zeroFill && buffer != nullptr && bufferSize != 0) std::memset(buffer, 0, bufferSize);
  return true;
}

// After a failed delivery nothing stays in the outputs but what a short
// buffer received.
QOXError Finish(QOXError err, void** outBuffer, size_t* outDataSize) {
  if (err != kQOXErrNoErr && err != kQOXErrBufferTooSmall) {
    if (outBuffer != nullptr) *outBuffer = nullptr;
    if (outDataSize != nullptr) *outDataSize = 0;
  }
  return err;
}

// --- Keys ---

KeyInfo* Info(QOXKeyDBObj* key) { return qoxKeyToKeyInfo(key); }

bool TrustBit(QOXKeyDBObj* key, uint8_t bit) {
  const KeyInfo* k = Info(key);
  return k != nullptr && (k->keyTrust & bit) != 0;
}

uint8_t Algorithm(QOXKeyDBObj* key) {
  const KeyInfo* k = Info(key);
  return k != nullptr ? qoxKeyIDAlgorithm(k->algorithm) : 0;
}

bool HasDirectSig(QOXKeyDBObj* object, uint8_t type) {
  for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || qoxObjectType(c) != kQOXKeyDBObjType_Sig) continue;
    if (qoxSigType(c) == type) return true;
  }
  return false;
}

bool Expired(QOXTime expiry) { return expiry != 0 && expiry < QOXGetTime(); }

// A subpacket of the key's self-signatures read as a number: its first four
// bytes at most, the first in the lowest bits.
QOXError SubpacketFlags(QOXKeyDBObj* key, uint8_t type, int32_t* out) {
  size_t length = 0;
  QOXError err = kQOXErrNoErr;
  const uint8_t* body = qoxKeyFindSubpacket(key, type, 0, &length, nullptr, nullptr, nullptr, nullptr, &err);
  if (err != kQOXErrNoErr) return err;
  if (body == nullptr) return kQOXErrInvalidPropertyName;
  uint32_t value = 0;
  for (size_t i = 0; i < std::min(length, kFlagBytes); ++i) value |= uint32_t{body[i]} << (kBitsPerByte * i);
  *out = static_cast<int32_t>(value);
  return kQOXErrNoErr;
}

// The usability rules of 108-111.
QOXError Usable(QOXKeyDBObj* key, P property, bool* out) {
  const bool needsSecret = property == P::KeyCanSign || property == P::KeyCanDecrypt;
  if (needsSecret && !qoxKeyIsSec(key)) return kQOXErrNoErr;
  // Every key is intact.
  if (property == P::KeyCanEncrypt || property == P::KeyCanSign) {
    for (P refusal : {P::KeyIsRevoked, P::KeyIsExpired, P::KeyIsDisabled}) {
      bool refused = false;
      if (QOXError err = qoxGetKeyBooleanInternal(key, N(refusal), &refused); err != kQOXErrNoErr) return err;
      if (refused) return kQOXErrNoErr;
    }
  }
  const KeyInfo* k = Info(key);
  if (k != nullptr && k->algorithm <= kHighestRSAAlgorithm && k->bits > kLargestRSABits) return kQOXErrNoErr;
  switch (property) {
    case P::KeyCanEncrypt:
      *out = (qoxKeyUseInternal(key, true, false) & kQOXKeyUse_Encrypt) != 0;
      return kQOXErrNoErr;
    case P::KeyCanDecrypt:
      return qoxGetKeyBooleanInternal(key, N(P::KeyHasEncryptionUse), out);
    default:
      return qoxGetKeyBooleanInternal(key, N(P::KeyHasSigningUse), out);
  }
}

// 115: a secret part, or a designated sensitive revoker here with one.
QOXError CanBeRevoked(QOXKeyDBObj* key, bool* out) {
  if (qoxKeyIsSec(key)) {
    *out = true;
    return kQOXErrNoErr;
  }
  QOXKeyDBObj* master = qoxKeyIsSubkey(key) ? qoxKeyMasterkey(key) : key;
  for (size_t n = 0;; ++n) {
    uint8_t klass = 0;
    QOXError err = kQOXErrNoErr;
    QOXKeyDBObj* revoker = qoxKeyRevocationKey(master, n, nullptr, nullptr, &klass, nullptr, &err);
    if (err == kQOXErrItemNotFound) return kQOXErrNoErr;
    if (err != kQOXErrNoErr) return err;
    if ((klass & kQOXRevocationKeyClass_Sensitive) != 0 && revoker != nullptr && qoxKeyIsSec(revoker)) {
      *out = true;
      return kQOXErrNoErr;
    }
  }
}

// 406: MD5 of the key's DER SubjectPublicKeyInfo.
QOXError X509Digest(QOXKeyDBObj* key, DataValue* v) {
  QOXContext* context = ContextOf(key);
  size_t length = 0;
  if (QOXError err = qoxX509Services().qoxKeyToX509SPKI(context, key, nullptr, &length); err != kQOXErrNoErr)
    return err;
  std::vector<uint8_t> spki(length);
  if (QOXError err = qoxX509Services().qoxKeyToX509SPKI(context, key, spki.data(), &length); err != kQOXErrNoErr)
    return err;
  const QOXHashVTBL* md5 = qoxHashByNumber(kMD5);
  if (md5 == nullptr) return kQOXErrUnknownHashNumber;
  MemPool* pool = qoxPeekContextMemPool(context);
  QOXMemoryMgr* mgr = qoxPeekContextMemPoolMgr(context);
  if (pool == nullptr || mgr == nullptr) return kQOXErrOutOfMemory;
  const MemPool mark = *pool;
  QOXHashContext* hash = qoxHashCreate(mgr, md5);
  if (hash == nullptr) {
    qoxContextMemPoolCutBack(context, &mark);
    return kQOXErrOutOfMemory;
  }
  md5->update(hash->state, spki.data(), std::min(length, spki.size()));
  const uint8_t* digest = qoxHashFinal(hash);
  v->Own(std::vector<uint8_t>(digest, digest + kX509DigestSize));
  qoxContextMemPoolCutBack(context, &mark);
  return kQOXErrNoErr;
}

// --- User IDs ---

// The text of a plain user ID, or null for an attribute.
const uint8_t* NameText(QOXKeyDBObj* userID, size_t* length) {
  *length = 0;
  if (qoxUserIDIsAttribute(userID)) return nullptr;
  return qoxUserIDName(userID, length);
}

// --- Signatures ---

SigInfo* Sig(QOXKeyDBObj* sig) { return qoxSigToSigInfo(sig); }

// 1306: revoked, or a 0x30 signature by the same signer ID under the same
// parent (this one included), checked or not, not older.
bool HasRevocation(QOXKeyDBObj* sig) {
  if (qoxSigRevoked(sig)) return true;
  const SigInfo* s = Sig(sig);
  QOXKeyID mine;
  uint8_t myAlgorithm = 0;
  if (s == nullptr || qoxSigID8(sig, &myAlgorithm, &mine) != kQOXErrNoErr) return false;
  QOXKeyDBObj* parent = qoxObjParent(sig);
  if (parent == nullptr) return false;
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || qoxObjectType(c) != kQOXKeyDBObjType_Sig) continue;
    const SigInfo* o = Sig(c);
    if (o == nullptr || o->type != kQOXSigType_CertRevocation || o->creation < s->creation) continue;
    QOXKeyID theirs;
    uint8_t theirAlgorithm = 0;
    if (qoxSigID8(c, &theirAlgorithm, &theirs) != kQOXErrNoErr) continue;
    if (theirAlgorithm == myAlgorithm && qoxKeyIDsEqual(&theirs, &mine)) return true;
  }
  return false;
}

// A certificate field computed by the X.509 bridge: its length first, then
// its bytes.
template <typename Call>
QOXError CertField(Call call, DataValue* v) {
  size_t length = 0;
  if (QOXError err = call(nullptr, &length); err != kQOXErrNoErr) return err;
  std::vector<uint8_t> bytes(length);
  if (length != 0) {
    if (QOXError err = call(bytes.data(), &length); err != kQOXErrNoErr) return err;
    bytes.resize(std::min(length, bytes.size()));
  }
  v->Own(std::move(bytes));
  return kQOXErrNoErr;
}

}  // namespace

// --- Workers ---

QOXError qoxGetKeyBooleanInternal(QOXKeyDBObj* key, int32_t property, bool* outValue) {
  *outValue = false;
  bool& out = *outValue;
  const P p = static_cast<P>(property);
  switch (p) {
    case P::KeyIsSecret:
      out = qoxKeyIsSec(key);
      return kQOXErrNoErr;
    case P::KeyIsAxiomatic:
      out = TrustBit(key, kQOXKeyTrust_Axiomatic);
      return kQOXErrNoErr;
    case P::KeyIsRevoked:
      out = TrustBit(key, kQOXKeyTrust_Revoked) ||
            (qoxKeyIsSubkey(key) && TrustBit(qoxKeyMasterkey(key), kQOXKeyTrust_Revoked));
      return kQOXErrNoErr;
    case P::KeyIsDisabled:
      out = TrustBit(key, kQOXKeyTrust_Disabled);
      return kQOXErrNoErr;
    case P::KeyIsIntact:
      out = true;
      return kQOXErrNoErr;
    case P::KeyIsExpired:
      out = Expired(qoxKeyExpiration(key));
      return kQOXErrNoErr;
    case P::KeyNeedsPassphrase:
    case P::KeyIsShared: {
      if (!qoxKeyIsSec(key)) return kQOXErrNoErr;
      bool locked = false, shared = false;
      if (QOXError err = qoxSecProperties(key, &locked, &shared, nullptr, nullptr); err != kQOXErrNoErr) return err;
      out = p == P::KeyNeedsPassphrase ? locked : shared;
      return kQOXErrNoErr;
    }
    case P::KeyHasRevocationSignature:
      out = HasDirectSig(key, kQOXSigType_KeyRevocation);
      return kQOXErrNoErr;
    case P::KeyCanEncrypt:
    case P::KeyCanDecrypt:
    case P::KeyCanSign:
    case P::KeyCanVerify: {
      bool usable = false;
      if (QOXError err = Usable(key, p, &usable); err != kQOXErrNoErr) return err;
      out = usable;
      return kQOXErrNoErr;
    }
    case P::KeyHasEncryptionUse:
      out = (qoxKeyUseInternal(key, false, true) & kQOXKeyUse_Encrypt) != 0;
      return kQOXErrNoErr;
    case P::KeyHasSigningUse:
      out = (qoxKeyUseInternal(key, false, false) & kQOXKeyUse_Sign) != 0;
      return kQOXErrNoErr;
    case P::KeyCanBeRevoked: {
      bool can = false;
      if (QOXError err = CanBeRevoked(key, &can); err != kQOXErrNoErr) return err;
      out = can;
      return kQOXErrNoErr;
    }
    case P::KeyHasDesignatedRevocation: {
      QOXError err = kQOXErrNoErr;
      const bool revoked = qoxKeyHasThirdPartyRevocation(key, nullptr, nullptr, nullptr, &err);
      if (err != kQOXErrNoErr) return err;
      out = revoked;
      return kQOXErrNoErr;
    }
    case P::KeyHasCRL:
      out = qoxKeyHasCRL(key);
      return kQOXErrNoErr;
    default:
      return kQOXErrInvalidPropertyName;
  }
}

QOXError qoxGetKeyNumberInternal(QOXKeyDBObj* key, int32_t property, int32_t* outNumber, QOXTime* outTime) {
  int32_t number = 0;
  QOXTime time = 0;
  const KeyInfo* k = Info(key);
  switch (static_cast<P>(property)) {
    case P::KeyAlgorithm:
      number = Algorithm(key);
      break;
    case P::KeyBits:
      number = qoxKeyBits(key);
      break;
    case P::KeyTrust: {
      const QOXEnv* env = qoxContextGetEnvironment(ContextOf(key));
      number = qoxTrustExternToOld(env, qoxTrustToExtern(qoxKeyCalcTrust(key)));
      break;
    }
    case P::KeyValidity: {
      QOXKeyDBObj* top = qoxObjTopKey(key);
      for (QOXKeyDBObj* u = top->child; u != nullptr; u = u->next) {
        if (!qoxKeyDBObjIsReal(u) || qoxObjectType(u) != kQOXKeyDBObjType_UserID) continue;
        number = std::max<int32_t>(number, qoxUserIDOldValidity(u));
      }
      break;
    }
    case P::KeyLockingAlgorithm:
    case P::KeyLockingBits: {
      if (!qoxKeyIsSec(key)) return kQOXErrInvalidPropertyName;
      int32_t algorithm = 0, bits = 0;
      if (QOXError err = qoxSecProperties(key, nullptr, nullptr, &algorithm, &bits); err != kQOXErrNoErr) return err;
      number = static_cast<P>(property) == P::KeyLockingAlgorithm ? algorithm : bits;
      break;
    }
    case P::KeyFlags:
      if (QOXError err = SubpacketFlags(key, kQOXSubpacket_KeyFlags, &number); err != kQOXErrNoErr) return err;
      break;
    case P::KeyHashAlgorithm: {
      if (k != nullptr && k->algorithm == kDSA) {
        number = kSHA1;
        break;
      }
      QOXError err = kQOXErrNoErr;
      number = static_cast<int32_t>(
          qoxenvGetInt(qoxContextGetEnvironment(ContextOf(key)), kQOXEnvHashAlgorithm, nullptr, &err));
      if (err != kQOXErrNoErr) return err;
      break;
    }
    case P::KeyVersion:
      number = qoxKeyVersion(key);
      break;
    case P::KeyServerPreferences:
      if (QOXError err = SubpacketFlags(key, kQOXSubpacket_KeyServPrefs, &number); err != kQOXErrNoErr) return err;
      break;
    case P::KeyCreation:
      time = qoxKeyCreation(key);
      break;
    case P::KeyExpiration:
      time = qoxKeyExpiration(key);
      break;
    case P::KeyCRLCreation:
    case P::KeyCRLExpiration: {
      const bool byExpiration = static_cast<P>(property) == P::KeyCRLExpiration;
      QOXKeyDBObj* crl = qoxKeyEarliestCRL(key, byExpiration);
      if (crl == nullptr) return kQOXErrInvalidPropertyName;
      time = byExpiration ? qoxCRLExpiration(crl) : qoxCRLCreation(crl);
      break;
    }
    default:
      return kQOXErrInvalidPropertyName;
  }
  if (outNumber != nullptr) *outNumber = number;
  if (outTime != nullptr) *outTime = time;
  return kQOXErrNoErr;
}

QOXError qoxGetKeyStringInternal(QOXKeyDBObj* key, int32_t property, void* buffer, size_t bufferSize,
                                 void** outBuffer, size_t* outDataSize) {
  DataValue v;
  switch (static_cast<P>(property)) {
    case P::KeyFingerprint: {
      uint8_t fingerprint[kQOXFingerprint20Size];
      const int size = qoxKeyFingerprint(key, fingerprint);
      if (size < 0) return size;
      v.Own(std::vector<uint8_t>(fingerprint, fingerprint + size));
      break;
    }
    case P::KeyKeyID: {
      QOXKeyID id;
      if (QOXError err = qoxKeyID8(key, nullptr, &id); err != kQOXErrNoErr) return err;
      const auto* bytes = reinterpret_cast<const uint8_t*>(&id);
      v.Own(std::vector<uint8_t>(bytes, bytes + sizeof id));
      break;
    }
    case P::KeyPreferredAlgorithms: {
      size_t length = 0;
      QOXError err = kQOXErrNoErr;
      const uint8_t* prefs =
          qoxKeyFindSubpacket(key, kQOXSubpacket_PrefAlgs, 0, &length, nullptr, nullptr, nullptr, nullptr, &err);
      if (err != kQOXErrNoErr) return err;
      if (prefs == nullptr) return kQOXErrInvalidPropertyName;
      std::vector<uint8_t> array(length * sizeof(uint32_t));
      for (size_t i = 0; i < length; ++i) {
        const uint32_t algorithm = prefs[i];
        std::memcpy(array.data() + i * sizeof algorithm, &algorithm, sizeof algorithm);
      }
      v.Own(std::move(array));
      v.rule = CopyRule::kArray;
      break;
    }
    case P::KeyRevokerShortID: {
      QOXKeyID id;
      QOXError err = kQOXErrNoErr;
      const bool revoked = qoxKeyHasThirdPartyRevocation(key, nullptr, nullptr, &id, &err);
      if (err != kQOXErrNoErr) return err;
      if (!revoked) return kQOXErrBadParams;
      v.Own(std::vector<uint8_t>(id.bytes + id.length - kShortIDBytes, id.bytes + id.length));
      break;
    }
    case P::KeyData: {
      size_t length = 0;
      const uint8_t* material = qoxKeyMPIData(key, &length);
      if (material == nullptr) return kQOXErrInvalidPropertyName;
      v.Refer(material, length);
      break;
    }
    case P::KeyX509Digest:
      if (outBuffer == nullptr && buffer == nullptr) {
        if (outDataSize != nullptr) *outDataSize = kX509DigestSize;
        return kQOXErrNoErr;
      }
      if (QOXError err = X509Digest(key, &v); err != kQOXErrNoErr) return err;
      break;
    case P::KeyPreferredKeyServer: {
      size_t length = 0;
      QOXError err = kQOXErrNoErr;
      const uint8_t* server =
          qoxKeyFindSubpacket(key, kQOXSubpacket_PrefKeyServ, 0, &length, nullptr, nullptr, nullptr, nullptr, &err);
      if (err != kQOXErrNoErr) return err;
      if (server == nullptr) return kQOXErrInvalidPropertyName;
      v.Refer(server, length);
      break;
    }
    default:
      return kQOXErrInvalidPropertyName;
  }
  return Finish(Deliver(ContextOf(key), v, buffer, bufferSize, outBuffer, outDataSize), outBuffer, outDataSize);
}

QOXError qoxGetSubKeyNumberInternal(QOXKeyDBObj* subKey, int32_t property, int32_t* outValue) {
  P mapped;
  switch (static_cast<P>(property)) {
    case P::SubKeyAlgorithm: mapped = P::KeyAlgorithm; break;
    case P::SubKeyBits: mapped = P::KeyBits; break;
    case P::SubKeyLockingAlgorithm: mapped = P::KeyLockingAlgorithm; break;
    case P::SubKeyLockingBits: mapped = P::KeyLockingBits; break;
    case P::SubKeyVersion: mapped = P::KeyVersion; break;
    case P::SubKeyFlags: mapped = P::KeyFlags; break;
    default: return kQOXErrInvalidPropertyName;
  }
  return qoxGetKeyNumberInternal(subKey, N(mapped), outValue, nullptr);
}

QOXError qoxGetUserIDBooleanInternal(QOXKeyDBObj* userID, int32_t property, bool* outValue) {
  *outValue = false;
  if (static_cast<P>(property) != P::UserIDIsAttribute) return kQOXErrInvalidPropertyName;
  *outValue = qoxUserIDIsAttribute(userID);
  return kQOXErrNoErr;
}

QOXError qoxGetUserIDNumberInternal(QOXKeyDBObj* userID, int32_t property, int32_t* outValue) {
  *outValue = 0;
  switch (static_cast<P>(property)) {
    case P::UserIDValidity:
      // The old validity is kept in the low two bits of the trust byte.
      *outValue = qoxUserIDOldValidity(userID);
      return kQOXErrNoErr;
    case P::UserIDConfidence:
      *outValue = qoxUserIDConfidence(userID);
      return kQOXErrNoErr;
    case P::UserIDAttributeType:
      *outValue = static_cast<int32_t>(qoxUserIDAttributeType(userID));
      return kQOXErrNoErr;
    default:
      return kQOXErrInvalidPropertyName;
  }
}

QOXError qoxGetUserIDStringBufferInternal(QOXKeyDBObj* userID, int32_t property, void* buffer, size_t bufferSize,
                                          void** outBuffer, size_t* outDataSize) {
  DataValue v;
  size_t length = 0;
  switch (static_cast<P>(property)) {
    case P::UserIDName: {
      const uint8_t* text = NameText(userID, &length);
      if (text == nullptr) return kQOXErrInvalidPropertyName;
      v.Refer(text, length);
      break;
    }
    case P::UserIDAttributeData: {
      if (!qoxUserIDIsAttribute(userID)) return kQOXErrInvalidPropertyName;
      uint8_t type = 0;
      QOXError err = kQOXErrNoErr;
      const uint8_t* data = qoxUserIDAttributeSubpacket(userID, 0, &type, &length, &err);
      if (err != kQOXErrNoErr) return err;
      if (data == nullptr) return kQOXErrInvalidPropertyName;
      v.Refer(data, length);
      break;
    }
    case P::UserIDCommonName: {
      const uint8_t* text = NameText(userID, &length);
      if (text == nullptr) return kQOXErrInvalidPropertyName;
      const auto* open = static_cast<const uint8_t*>(std::memchr(text, '<', length));
      size_t end = open != nullptr ? static_cast<size_t>(open - text) : length;
      if (open != nullptr) {
        while (end > 0 && text[end - 1] == ' ') --end;
      }
      v.Refer(text, end);
      break;
    }
    case P::UserIDEmailAddress: {
      const uint8_t* text = NameText(userID, &length);
      if (text == nullptr) return kQOXErrInvalidPropertyName;
      const auto* open = static_cast<const uint8_t*>(std::memchr(text, '<', length));
      if (open == nullptr) return kQOXErrInvalidPropertyName;
      const uint8_t* start = open + 1;
      const size_t rest = length - static_cast<size_t>(start - text);
      const auto* close = static_cast<const uint8_t*>(std::memchr(start, '>', rest));
      v.Refer(start, close != nullptr ? static_cast<size_t>(close - start) : rest);
      break;
    }
    default:
      return kQOXErrInvalidPropertyName;
  }
  return Finish(Deliver(ContextOf(userID), v, buffer, bufferSize, outBuffer, outDataSize), outBuffer, outDataSize);
}

QOXError qoxGetSigBooleanInternal(QOXKeyDBObj* sig, int32_t property, bool* outValue) {
  *outValue = false;
  const SigInfo* s = Sig(sig);
  if (s == nullptr) return kQOXErrInvalidPropertyName;
  switch (static_cast<P>(property)) {
    case P::SigIsRevoked:
      *outValue = qoxSigRevoked(sig);
      return kQOXErrNoErr;
    case P::SigIsIntact:
      *outValue = true;
      return kQOXErrNoErr;
    case P::SigIsTried:
      *outValue = qoxSigTried(sig);
      return kQOXErrNoErr;
    case P::SigIsVerified:
      *outValue = qoxSigChecked(sig);
      return kQOXErrNoErr;
    case P::SigIsBySecretKey: {
      QOXKeyDBObj* maker = qoxSigMaker(sig);
      *outValue = maker != nullptr && qoxKeyIsSec(maker);
      return kQOXErrNoErr;
    }
    case P::SigIsExportable:
      *outValue = qoxSigExportable(sig);
      return kQOXErrNoErr;
    case P::SigHasRevocation:
      *outValue = HasRevocation(sig);
      return kQOXErrNoErr;
    case P::SigIsExpired:
      *outValue = Expired(qoxSigExpiration(sig));
      return kQOXErrNoErr;
    case P::SigIsX509:
      *outValue = qoxSigIsX509(sig);
      return kQOXErrNoErr;
    default:
      return kQOXErrInvalidPropertyName;
  }
}

QOXError qoxGetSigNumberInternal(QOXKeyDBObj* sig, int32_t property, int32_t* outValue) {
  *outValue = 0;
  switch (static_cast<P>(property)) {
    case P::SigAlgorithm: {
      const SigInfo* s = Sig(sig);
      *outValue = s != nullptr && s->signer != nullptr ? Algorithm(s->signer) : 0;
      return kQOXErrNoErr;
    }
    case P::SigTrustLevel:
      *outValue = qoxSigTrustLevel(sig);
      return kQOXErrNoErr;
    case P::SigTrustValue:
      *outValue = qoxSigTrustValue(sig);
      return kQOXErrNoErr;
    default:
      return kQOXErrInvalidPropertyName;
  }
}

QOXError qoxGetSigTimeInternal(QOXKeyDBObj* sig, int32_t property, QOXTime* outValue) {
  *outValue = 0;
  switch (static_cast<P>(property)) {
    case P::SigCreation:
      *outValue = qoxSigTimestamp(sig);
      return kQOXErrNoErr;
    case P::SigExpiration:
      *outValue = qoxSigExpiration(sig);
      return kQOXErrNoErr;
    default:
      return kQOXErrInvalidPropertyName;
  }
}

QOXError qoxGetSigStringInternal(QOXKeyDBObj* sig, int32_t property, void* buffer, size_t bufferSize,
                                 void** outBuffer, size_t* outDataSize) {
  DataValue v;
  const P p = static_cast<P>(property);
  if (p == P::SigKeyID) {
    QOXKeyID id;
    if (QOXError err = qoxSigID8(sig, nullptr, &id); err != kQOXErrNoErr) return err;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&id);
    v.Own(std::vector<uint8_t>(bytes, bytes + sizeof id));
    return Finish(Deliver(ContextOf(sig), v, buffer, bufferSize, outBuffer, outDataSize), outBuffer, outDataSize);
  }
  if (!Between(property, P::SigX509Certificate, P::SigX509SubjectDN)) return kQOXErrInvalidPropertyName;
  size_t certLength = 0;
  const uint8_t* cert = qoxSigX509Certificate(sig, &certLength);
  if (cert == nullptr) return kQOXErrInvalidPropertyName;
  const QOXX509Services& x509 = qoxX509Services();
  QOXError err = kQOXErrNoErr;
  switch (p) {
    case P::SigX509Certificate:
      v.Refer(cert, certLength);
      break;
    case P::SigX509IssuerAndSerial:
      err = CertField([&](uint8_t* b, size_t* n) { return x509.qoxX509CertToIASN(cert, certLength, b, n); }, &v);
      v.rule = CopyRule::kDER;
      break;
    case P::SigX509SubjectDN:
      err = CertField(
          [&](uint8_t* b, size_t* n) { return x509.qoxX509CertToDName(cert, certLength, false, b, n); }, &v);
      v.rule = CopyRule::kDER;
      break;
    case P::SigX509SubjectLongName:
    case P::SigX509IssuerLongName: {
      const bool issuer = p == P::SigX509IssuerLongName;
      err = CertField(
          [&](uint8_t* b, size_t* n) {
            return x509.qoxX509CertToLongName(cert, certLength, issuer, reinterpret_cast<char*>(b), n);
          },
          &v);
      v.rule = CopyRule::kText;
      break;
    }
    case P::SigX509DNSName:
    case P::SigX509IPAddress: {
      const bool ip = p == P::SigX509IPAddress;
      err = CertField([&](uint8_t* b, size_t* n) { return x509.qoxX509CertToIPDNS(cert, certLength, ip, b, n); },
                      &v);
      if (err == kQOXErrNoErr && v.length == 0) err = kQOXErrBadParams;  // no such alternative name
      v.rule = CopyRule::kText;
      break;
    }
    default:
      return kQOXErrInvalidPropertyName;
  }
  if (err != kQOXErrNoErr) return err;
  return Finish(Deliver(ContextOf(sig), v, buffer, bufferSize, outBuffer, outDataSize), outBuffer, outDataSize);
}

// --- Internal getters: the checks ---

QOXError qoxGetKeyBoolean(QOXKeyDBObj* key, int32_t property, bool* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = false;
  if (!IsKeyOrSubKey(key)) return kQOXErrBadParams;
  if (!Between(property, P::KeyIsSecret, P::KeyHasCRL)) return kQOXErrInvalidPropertyName;
  return qoxGetKeyBooleanInternal(key, property, outValue);
}

QOXError qoxGetKeyNumber(QOXKeyDBObj* key, int32_t property, int32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!IsKeyOrSubKey(key)) return kQOXErrBadParams;
  if (!Between(property, P::KeyAlgorithm, P::KeyServerPreferences)) return kQOXErrInvalidPropertyName;
  return qoxGetKeyNumberInternal(key, property, outValue, nullptr);
}

QOXError qoxGetKeyTime(QOXKeyDBObj* key, int32_t property, QOXTime* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!IsKeyOrSubKey(key)) return kQOXErrBadParams;
  if (!Between(property, P::KeyCreation, P::KeyCRLExpiration)) return kQOXErrInvalidPropertyName;
  return qoxGetKeyNumberInternal(key, property, nullptr, outValue);
}

QOXError qoxGetKeyPropertyBuffer(QOXKeyDBObj* key, int32_t property, void* buffer, size_t bufferSize,
                                 size_t* outDataSize) {
  if (outDataSize == nullptr) return kQOXErrBadParams;
  ClearData(buffer, bufferSize, nullptr, outDataSize, true);
  if (!IsKeyOrSubKey(key)) return kQOXErrBadParams;
  if (!Between(property, P::KeyFingerprint, P::KeyPreferredKeyServer)) return kQOXErrInvalidPropertyName;
  return qoxGetKeyStringInternal(key, property, buffer, bufferSize, nullptr, outDataSize);
}

QOXError qoxGetKeyAllocatedPropertyBuffer(QOXKeyDBObj* key, int32_t property, void** outBuffer,
                                          size_t* outDataSize) {
  if (outBuffer == nullptr || outDataSize == nullptr) return kQOXErrBadParams;
  ClearData(nullptr, 0, outBuffer, outDataSize, false);
  if (!IsKeyOrSubKey(key)) return kQOXErrBadParams;
  if (!Between(property, P::KeyFingerprint, P::KeyPreferredKeyServer)) return kQOXErrInvalidPropertyName;
  return qoxGetKeyStringInternal(key, property, nullptr, 0, outBuffer, outDataSize);
}

namespace {

// A subkey property as the key property it maps to.
bool MapSubKey(int32_t property, int32_t* mapped) {
  switch (static_cast<P>(property)) {
    case P::SubKeyIsRevoked: *mapped = N(P::KeyIsRevoked); return true;
    case P::SubKeyIsIntact: *mapped = N(P::KeyIsIntact); return true;
    case P::SubKeyIsExpired: *mapped = N(P::KeyIsExpired); return true;
    case P::SubKeyNeedsPassphrase: *mapped = N(P::KeyNeedsPassphrase); return true;
    case P::SubKeyHasRevocationSignature: *mapped = N(P::KeyHasRevocationSignature); return true;
    case P::SubKeyCanBeRevoked: *mapped = N(P::KeyCanBeRevoked); return true;
    case P::SubKeyHasDesignatedRevocation: *mapped = N(P::KeyHasDesignatedRevocation); return true;
    case P::SubKeyCreation: *mapped = N(P::KeyCreation); return true;
    case P::SubKeyExpiration: *mapped = N(P::KeyExpiration); return true;
    case P::SubKeyData: *mapped = N(P::KeyData); return true;
    case P::SubKeyKeyID: *mapped = N(P::KeyKeyID); return true;
    default: return false;
  }
}

}  // namespace

QOXError qoxGetSubKeyBoolean(QOXKeyDBObj* subKey, int32_t property, bool* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = false;
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  int32_t mapped = 0;
  if (!Between(property, P::SubKeyIsRevoked, P::SubKeyHasDesignatedRevocation) || !MapSubKey(property, &mapped))
    return kQOXErrInvalidPropertyName;
  return qoxGetKeyBooleanInternal(subKey, mapped, outValue);
}

QOXError qoxGetSubKeyNumber(QOXKeyDBObj* subKey, int32_t property, int32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  return qoxGetSubKeyNumberInternal(subKey, property, outValue);
}

QOXError qoxGetSubKeyTime(QOXKeyDBObj* subKey, int32_t property, QOXTime* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  int32_t mapped = 0;
  if (!Between(property, P::SubKeyCreation, P::SubKeyExpiration) || !MapSubKey(property, &mapped))
    return kQOXErrInvalidPropertyName;
  return qoxGetKeyNumberInternal(subKey, mapped, nullptr, outValue);
}

QOXError qoxGetSubKeyPropertyBuffer(QOXKeyDBObj* subKey, int32_t property, void* buffer, size_t bufferSize,
                                    size_t* outDataSize) {
  if (outDataSize == nullptr) return kQOXErrBadParams;
  ClearData(buffer, bufferSize, nullptr, outDataSize, true);
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(subKey)) return kQOXErrObjectDeleted;
  int32_t mapped = 0;
  if (!Between(property, P::SubKeyData, P::SubKeyKeyID) || !MapSubKey(property, &mapped))
    return kQOXErrInvalidPropertyName;
  return qoxGetKeyStringInternal(subKey, mapped, buffer, bufferSize, nullptr, outDataSize);
}

QOXError qoxGetSubKeyAllocatedPropertyBuffer(QOXKeyDBObj* subKey, int32_t property, void** outBuffer,
                                             size_t* outDataSize) {
  if (outBuffer == nullptr || outDataSize == nullptr) return kQOXErrBadParams;
  ClearData(nullptr, 0, outBuffer, outDataSize, false);
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(subKey)) return kQOXErrObjectDeleted;
  int32_t mapped = 0;
  if (!Between(property, P::SubKeyData, P::SubKeyKeyID) || !MapSubKey(property, &mapped))
    return kQOXErrInvalidPropertyName;
  return qoxGetKeyStringInternal(subKey, mapped, nullptr, 0, outBuffer, outDataSize);
}

QOXError qoxGetUserIDBoolean(QOXKeyDBObj* userID, int32_t property, bool* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = false;
  if (!qoxUserIDIsValid(userID)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(userID)) return kQOXErrObjectDeleted;
  return qoxGetUserIDBooleanInternal(userID, property, outValue);
}

QOXError qoxGetUserIDNumber(QOXKeyDBObj* userID, int32_t property, int32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!qoxUserIDIsValid(userID)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(userID)) return kQOXErrObjectDeleted;
  return qoxGetUserIDNumberInternal(userID, property, outValue);
}

QOXError qoxGetUserIDStringBuffer(QOXKeyDBObj* userID, int32_t property, void* buffer, size_t bufferSize,
                                  size_t* outDataSize) {
  ClearData(buffer, bufferSize, nullptr, outDataSize, false);
  if (!qoxUserIDIsValid(userID)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(userID)) return kQOXErrObjectDeleted;
  return qoxGetUserIDStringBufferInternal(userID, property, buffer, bufferSize, nullptr, outDataSize);
}

QOXError qoxGetUserIDAllocatedStringBuffer(QOXKeyDBObj* userID, int32_t property, void** outBuffer,
                                           size_t* outDataSize) {
  if (outBuffer == nullptr) return kQOXErrBadParams;
  ClearData(nullptr, 0, outBuffer, outDataSize, false);
  if (!qoxUserIDIsValid(userID)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(userID)) return kQOXErrObjectDeleted;
  return qoxGetUserIDStringBufferInternal(userID, property, nullptr, 0, outBuffer, outDataSize);
}

QOXError qoxGetSigBoolean(QOXKeyDBObj* sig, int32_t property, bool* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = false;
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  return qoxGetSigBooleanInternal(sig, property, outValue);
}

QOXError qoxGetSigNumber(QOXKeyDBObj* sig, int32_t property, int32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  return qoxGetSigNumberInternal(sig, property, outValue);
}

QOXError qoxGetSigTime(QOXKeyDBObj* sig, int32_t property, QOXTime* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  return qoxGetSigTimeInternal(sig, property, outValue);
}

QOXError qoxGetSigPropertyBuffer(QOXKeyDBObj* sig, int32_t property, void* buffer, size_t bufferSize,
                                 size_t* outDataSize) {
  if (outDataSize == nullptr) return kQOXErrBadParams;
  ClearData(buffer, bufferSize, nullptr, outDataSize, true);
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  return qoxGetSigStringInternal(sig, property, buffer, bufferSize, nullptr, outDataSize);
}

QOXError qoxGetSigAllocatedPropertyBuffer(QOXKeyDBObj* sig, int32_t property, void** outBuffer,
                                          size_t* outDataSize) {
  if (outBuffer == nullptr || outDataSize == nullptr) return kQOXErrBadParams;
  ClearData(nullptr, 0, outBuffer, outDataSize, false);
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  return qoxGetSigStringInternal(sig, property, nullptr, 0, outBuffer, outDataSize);
}

QOXError qoxGetKeyDBObjNumber(QOXKeyDBObj* object, int32_t property, int32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (!qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  if (static_cast<P>(property) != P::ObjectType) return kQOXErrInvalidPropertyName;
  *outValue = static_cast<int32_t>(object->flags & kObjectTypeMask);
  return kQOXErrNoErr;
}

// --- Public getters ---

QOXError QOXGetKeyDBObjBooleanProperty(QOXKeyDBObj* object, int32_t property, bool* outValue) {
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  switch (RangeOf(property)) {
    case Range::kAny:
    case Range::kKey:
      return qoxGetKeyBoolean(object, property, outValue);
    case Range::kSubKey:
      return qoxGetSubKeyBoolean(object, property, outValue);
    case Range::kUserID:
      return qoxGetUserIDBoolean(object, property, outValue);
    case Range::kSig:
      return qoxGetSigBoolean(object, property, outValue);
  }
  return kQOXErrInvalidPropertyName;
}

QOXError QOXGetKeyDBObjNumericProperty(QOXKeyDBObj* object, int32_t property, int32_t* outValue) {
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  switch (RangeOf(property)) {
    case Range::kAny:
      return qoxGetKeyDBObjNumber(object, property, outValue);
    case Range::kKey:
      return qoxGetKeyNumber(object, property, outValue);
    case Range::kSubKey:
      return qoxGetSubKeyNumber(object, property, outValue);
    case Range::kUserID:
      return qoxGetUserIDNumber(object, property, outValue);
    case Range::kSig:
      return qoxGetSigNumber(object, property, outValue);
  }
  return kQOXErrInvalidPropertyName;
}

QOXError QOXGetKeyDBObjTimeProperty(QOXKeyDBObj* object, int32_t property, QOXTime* outValue) {
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  switch (RangeOf(property)) {
    case Range::kAny:
    case Range::kKey:
      return qoxGetKeyTime(object, property, outValue);
    case Range::kSubKey:
      return qoxGetSubKeyTime(object, property, outValue);
    case Range::kUserID:
      // No user-ID property is a time.
      if (outValue != nullptr) *outValue = 0;
      return kQOXErrBadParams;
    case Range::kSig:
      return qoxGetSigTime(object, property, outValue);
  }
  return kQOXErrInvalidPropertyName;
}

QOXError QOXGetKeyDBObjDataProperty(QOXKeyDBObj* object, int32_t property, void* buffer, size_t bufferSize,
                                    size_t* outDataSize) {
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  switch (RangeOf(property)) {
    case Range::kAny:
    case Range::kKey:
      return qoxGetKeyPropertyBuffer(object, property, buffer, bufferSize, outDataSize);
    case Range::kSubKey:
      return qoxGetSubKeyPropertyBuffer(object, property, buffer, bufferSize, outDataSize);
    case Range::kUserID:
      return qoxGetUserIDStringBuffer(object, property, buffer, bufferSize, outDataSize);
    case Range::kSig:
      return qoxGetSigPropertyBuffer(object, property, buffer, bufferSize, outDataSize);
  }
  return kQOXErrInvalidPropertyName;
}

QOXError QOXGetKeyDBObjAllocatedDataProperty(QOXKeyDBObj* object, int32_t property, void** outBuffer,
                                             size_t* outDataSize) {
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  switch (RangeOf(property)) {
    case Range::kAny:
    case Range::kKey:
      return qoxGetKeyAllocatedPropertyBuffer(object, property, outBuffer, outDataSize);
    case Range::kSubKey:
      return qoxGetSubKeyAllocatedPropertyBuffer(object, property, outBuffer, outDataSize);
    case Range::kUserID:
      return qoxGetUserIDAllocatedStringBuffer(object, property, outBuffer, outDataSize);
    case Range::kSig:
      return qoxGetSigAllocatedPropertyBuffer(object, property, outBuffer, outDataSize);
  }
  return kQOXErrInvalidPropertyName;
}

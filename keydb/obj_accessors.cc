#include "keydb/obj_accessors.h"

#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/attribute_packet.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/trust.h"

namespace {

constexpr uint64_t kSecondsPerDay = 86400;
constexpr uint64_t kLastTime = 0xFFFFFFFFu;

constexpr uint8_t kKeyTrustSetAxiomatic = 0x87;   // axiomatic, ultimate owner trust
constexpr uint8_t kKeyTrustBlocksAxiomatic = kQOXKeyTrust_Axiomatic | kQOXKeyTrust_Revoked;
constexpr uint8_t kKeyTrustBlocksOwnerTrust = kQOXKeyTrust_Revoked | kQOXKeyTrust_Expired;
constexpr uint8_t kKeyTrustKeptOnReset = 0x78;

constexpr uint8_t kSigTrustNoSigner = 8;
constexpr uint8_t kSigTrustUntried = 11;
constexpr uint8_t kSigTrustBad = 13;

constexpr uint8_t kOldValidityInvalid = 1;
constexpr uint8_t kOldValidityComplete = 3;

// The top-level key above a user ID.
KeyInfo* OwnerKeyInfo(QOXKeyDBObj* object) { return qoxKeyToKeyInfo(qoxObjTopKey(object)); }

// Sets the confidence of every real user ID of the key.
void SetUserIDConfidences(QOXKeyDBObj* key, uint8_t confidence) {
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c)) continue;
    if (UserIDInfo* u = qoxUserIDToUserIDInfo(c)) u->confidence = confidence;
  }
}

QOXError KeyIDOf(QOXKeyDBObj* key, size_t length, uint8_t* outAlgorithm, QOXKeyID* outKeyID) {
  if (outAlgorithm != nullptr) *outAlgorithm = 0;
  if (outKeyID != nullptr) std::memset(outKeyID, 0, sizeof *outKeyID);
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr) return kQOXErrBadParams;
  const uint8_t algorithm = qoxKeyIDAlgorithm(k->algorithm);
  if (outAlgorithm != nullptr) *outAlgorithm = algorithm;
  if (outKeyID == nullptr) return kQOXErrNoErr;
  return qoxNewKeyIDFromRawData(k->keyID + sizeof k->keyID - length, algorithm, length, outKeyID);
}

}  // namespace

QOXTime qoxExpiryTime(QOXTime creation, uint64_t seconds) {
  if (creation == 0 || seconds == 0) return 0;
  return static_cast<QOXTime>(std::min<uint64_t>(uint64_t{creation} + seconds, kLastTime));
}

// --- Keys and subkeys ---

uint16_t qoxKeyBits(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr ? k->bits : 0;
}

QOXTime qoxKeyCreation(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr ? k->creation : 0;
}

QOXTime qoxKeyExpiration(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr ? qoxExpiryTime(k->creation, uint64_t{k->validityDays} * kSecondsPerDay) : 0;
}

uint8_t qoxKeyTrust(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr) return 0;
  const uint8_t own = k->keyTrust & kQOXKeyTrust_OwnerMask;
  if (k->signedTrust == 0) return own;
  QOXKeyDB* db = qoxObjKeyDB(key);
  const QOXEnv* env = qoxKeyDBIsValid(db) ? qoxContextGetEnvironment(db->context) : nullptr;
  return std::max(own, qoxTrustExternToOld(env, k->signedTrust));
}

void qoxKeySetTrust(QOXKeyDBObj* key, uint8_t trust) {
  KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr || (k->keyTrust & kKeyTrustBlocksOwnerTrust) != 0) return;
  if ((k->keyTrust & kQOXKeyTrust_OwnerMask) == (trust & kQOXKeyTrust_OwnerMask)) return;
  k->keyTrust = static_cast<uint8_t>((k->keyTrust & ~kQOXKeyTrust_OwnerMask) | (trust & kQOXKeyTrust_OwnerMask));
}

void qoxKeySetAxiomatic(QOXKeyDBObj* key) {
  KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr || (k->keyFlags & kQOXKeyFlag_Secret) == 0 || (k->keyTrust & kKeyTrustBlocksAxiomatic) != 0)
    return;
  k->keyTrust |= kKeyTrustSetAxiomatic;
  SetUserIDConfidences(key, kQOXTrustExternCertain);
}

void qoxKeyResetAxiomatic(QOXKeyDBObj* key) {
  KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr || (k->keyTrust & kQOXKeyTrust_Axiomatic) == 0) return;
  k->keyTrust &= kKeyTrustKeptOnReset;
  SetUserIDConfidences(key, kQOXTrustExternUndefined);
}

bool qoxKeyAxiomatic(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr && (k->keyTrust & kQOXKeyTrust_Axiomatic) != 0;
}

bool qoxKeyDisabled(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr && (k->keyTrust & kQOXKeyTrust_Disabled) != 0;
}

bool qoxKeyRevoked(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr && (k->keyTrust & kQOXKeyTrust_Revoked) != 0;
}

void qoxKeyDisable(QOXKeyDBObj* key) {
  if (KeyInfo* k = qoxKeyToKeyInfo(key)) k->keyTrust |= kQOXKeyTrust_Disabled;
}

void qoxKeyEnable(QOXKeyDBObj* key) {
  if (KeyInfo* k = qoxKeyToKeyInfo(key)) k->keyTrust &= static_cast<uint8_t>(~kQOXKeyTrust_Disabled);
}

uint16_t qoxKeyConfidence(QOXKeyDBObj* key) { return qoxKeyToKeyInfo(key) != nullptr ? qoxKeyCalcTrust(key) : 0; }

QOXError qoxKeyID8(QOXKeyDBObj* key, uint8_t* outAlgorithm, QOXKeyID* outKeyID) {
  return KeyIDOf(key, 8, outAlgorithm, outKeyID);
}

QOXError qoxKeyID4(QOXKeyDBObj* key, uint8_t* outAlgorithm, QOXKeyID* outKeyID) {
  return KeyIDOf(key, 4, outAlgorithm, outKeyID);
}

bool qoxKeyV3(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr && (k->keyFlags & kQOXKeyFlag_V3) != 0;
}

bool qoxKeyIsSec(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr && (k->keyFlags & kQOXKeyFlag_Secret) != 0;
}

uint8_t qoxKeyVersion(QOXKeyDBObj* key) {
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(key, &length);
  ostrak::ByteCursor body;
  uint8_t version = 0;
  if (packet == nullptr || !qoxPktBody(packet, length, &body) || !body.peek_u8(&version)) return 0;
  return version;
}

// --- User IDs ---

const uint8_t* qoxUserIDName(QOXKeyDBObj* userID, size_t* outLength) {
  *outLength = 0;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(userID, &length);
  ostrak::ByteCursor body;
  if (packet == nullptr || !qoxPktBody(packet, length, &body)) return nullptr;
  *outLength = body.remaining();
  return body.data();
}

bool qoxUserIDIsAttribute(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  return u != nullptr && (u->userIDFlags & kQOXUserIDFlag_Attribute) != 0;
}

const uint8_t* qoxUserIDAttributeSubpacket(QOXKeyDBObj* userID, size_t n, uint8_t* outType, size_t* outLength,
                                           QOXError* outError) {
  if (outType != nullptr) *outType = 0;
  if (outLength != nullptr) *outLength = 0;
  if (outError != nullptr) *outError = kQOXErrNoErr;
  if (!qoxUserIDIsAttribute(userID)) {
    if (outError != nullptr) *outError = kQOXErrBadParams;
    return nullptr;
  }
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(userID, &length);
  if (packet == nullptr) return nullptr;
  return qoxAttrSubpacket(packet, length, n, outType, outLength);
}

uint8_t qoxUserIDOldValidity(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  if (u == nullptr) return 0;
  const KeyInfo* k = OwnerKeyInfo(userID);
  if (k != nullptr && (k->keyTrust & kQOXKeyTrust_Revoked) != 0) return kOldValidityInvalid;
  if (k != nullptr && (k->keyTrust & kQOXKeyTrust_Axiomatic) != 0) return kOldValidityComplete;
  return u->trustByte & kQOXUserIDTrust_OldValidityMask;
}

bool qoxUserIDWarnonly(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  return u != nullptr && (u->trustByte & kQOXUserIDTrust_WarnOnly) != 0;
}

void qoxUserIDSetWarnonly(QOXKeyDBObj* userID, bool warnOnly) {
  UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  if (u == nullptr) return;
  if (warnOnly) {
    u->trustByte |= kQOXUserIDTrust_WarnOnly;
  } else {
    u->trustByte &= static_cast<uint8_t>(~kQOXUserIDTrust_WarnOnly);
  }
}

uint16_t qoxUserIDValidity(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  if (u == nullptr) return 0;
  const KeyInfo* k = OwnerKeyInfo(userID);
  if (k != nullptr && (k->keyTrust & kQOXKeyTrust_Revoked) != 0) return 0;
  if (k != nullptr && (k->keyTrust & kQOXKeyTrust_Axiomatic) != 0) return kQOXTrustInternCertain;
  return qoxTrustToIntern(u->validity);
}

uint16_t qoxUserIDConfidence(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  return u != nullptr ? qoxTrustToIntern(u->confidence) : 0;
}

bool qoxUserIDConfidenceUndefined(QOXKeyDBObj* userID) {
  const UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  return u != nullptr && u->confidence == kQOXTrustExternUndefined;
}

void qoxUserIDSetConfidence(QOXKeyDBObj* userID, uint16_t confidence) {
  UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
  if (u == nullptr) return;
  const uint8_t external = qoxTrustToExtern(confidence);
  if (u->confidence != external) u->confidence = external;
}

// --- Signatures ---

QOXKeyDBObj* qoxSigMaker(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && qoxKeyDBObjIsReal(s->signer) ? s->signer : nullptr;
}

QOXError qoxSigID8(QOXKeyDBObj* sig, uint8_t* outAlgorithm, QOXKeyID* outKeyID) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  if (s == nullptr || s->signer == nullptr) {
    if (outAlgorithm != nullptr) *outAlgorithm = 0;
    if (outKeyID != nullptr) std::memset(outKeyID, 0, sizeof *outKeyID);
    return kQOXErrBadParams;
  }
  return qoxKeyID8(s->signer, outAlgorithm, outKeyID);
}

uint8_t qoxSigTrust(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  if (s == nullptr || s->signer == nullptr) return kSigTrustNoSigner;
  if ((s->trustByte & kQOXSigTrust_Tried) == 0) return kSigTrustUntried;
  if ((s->trustByte & kQOXSigTrust_Checked) != 0) return s->trustByte & kQOXSigTrust_ValueMask;
  return kSigTrustBad;
}

bool qoxSigChecked(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && (s->trustByte & kQOXSigTrust_Checked) != 0;
}

bool qoxSigTried(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && (s->trustByte & kQOXSigTrust_Tried) != 0;
}

bool qoxSigExportable(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && (s->sigFlags & kQOXSigFlag_Exportable) != 0;
}

bool qoxSigIsX509(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && (s->sigFlags & kQOXSigFlag_X509) != 0;
}

uint8_t qoxSigTrustLevel(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr ? s->trustLevel : 0;
}

uint8_t qoxSigTrustValue(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr ? s->trustValue : 0;
}

uint8_t qoxSigType(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr ? s->type : 0;
}

QOXTime qoxSigTimestamp(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr ? s->creation : 0;
}

QOXTime qoxSigExpiration(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr ? qoxExpiryTime(s->creation, s->expiration) : 0;
}

uint16_t qoxSigConfidence(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  if (s == nullptr || s->signer == nullptr || qoxKeyRevoked(s->signer)) return 0;
  return qoxKeyConfidence(s->signer);
}

bool qoxSigIsSelfSig(QOXKeyDBObj* sig) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && s->signer != nullptr && s->signer == qoxObjTopKey(sig);
}

// --- CRLs ---

bool qoxCRLChecked(QOXKeyDBObj* crl) {
  const CRLInfo* c = qoxCRLToCRLInfo(crl);
  return c != nullptr && (c->trustByte & kQOXSigTrust_Checked) != 0;
}

bool qoxCRLTried(QOXKeyDBObj* crl) {
  const CRLInfo* c = qoxCRLToCRLInfo(crl);
  return c != nullptr && (c->trustByte & kQOXSigTrust_Tried) != 0;
}

QOXTime qoxCRLCreation(QOXKeyDBObj* crl) {
  const CRLInfo* c = qoxCRLToCRLInfo(crl);
  return c != nullptr ? c->creation : 0;
}

QOXTime qoxCRLExpiration(QOXKeyDBObj* crl) {
  const CRLInfo* c = qoxCRLToCRLInfo(crl);
  return c != nullptr ? c->expiration : 0;
}

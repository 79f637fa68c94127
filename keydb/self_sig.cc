#include "keydb/self_sig.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/regex.h"
#include "foundation/sdk_errors.h"
#include "keydb/attribute_packet.h"
#include "keydb/crl_packet.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/packet_text.h"
#include "keydb/sig_packet.h"
#include "keydb/x509_services.h"

namespace {

constexpr uint64_t kSecondsPerDay = 86400;

bool IsType(QOXKeyDBObj* o, int32_t type) { return qoxObjectTypeOfFlags(o->flags) == type; }

// The body of a signature packet's subpacket 6 and others are read through
// the packet; these are its fields.
SigInfo* Sig(QOXKeyDBObj* sig) { return qoxSigToSigInfo(sig); }

bool Revocable(const SigInfo* s) { return (s->sigFlags & kQOXSigFlag_Revocable) != 0; }
bool Checked(const SigInfo* s) { return (s->trustByte & kQOXSigTrust_Checked) != 0; }
bool Tried(const SigInfo* s) { return (s->trustByte & kQOXSigTrust_Tried) != 0; }

QOXKeyDBObj* OwnerKey(QOXKeyDBObj* object) {
  return IsType(object, kQOXKeyDBObjType_Key) ? object : qoxObjParent(object);
}

// Another real signature under the sig's parent that satisfies `pred`.
template <typename Pred>
bool AnySibling(QOXKeyDBObj* sig, Pred pred) {
  QOXKeyDBObj* parent = qoxObjParent(sig);
  if (parent == nullptr) return false;
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    if (c == sig || !qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_Sig)) continue;
    SigInfo* o = Sig(c);
    if (o != nullptr && pred(o)) return true;
  }
  return false;
}

// The user ID is of the kind asked (0 plain; else an attribute of that
// first subpacket type; all-ones any).
bool OfKind(QOXKeyDBObj* userID, uint32_t attributeType) {
  if (attributeType == kQOXAttributeTypeAll) return true;
  if (attributeType == 0) return !qoxUserIDIsAttribute(userID);
  return qoxUserIDIsAttribute(userID) && qoxUserIDAttributeType(userID) == attributeType;
}

// Numbers the subpackets of one type across signatures, in the order they
// are offered; stops at the nth unless the count is wanted.
struct SubpacketSearch {
  uint8_t type;
  size_t n;
  bool wantCount;
  size_t seen = 0;
  const uint8_t* found = nullptr;
  size_t length = 0;
  uint8_t critical = 0;
  bool hashed = false;
  QOXTime creation = 0;
  QOXError error = kQOXErrNoErr;
  bool done = false;

  // Offers one signature; false once the search is over.
  bool Offer(QOXKeyDBObj* sig) {
    if (done) return false;
    size_t packetLength = 0;
    const uint8_t* packet = qoxFetchObject(sig, &packetLength);
    if (packet == nullptr) {
      error = qoxKeyDBError(qoxObjKeyDB(sig));
      if (error == kQOXErrNoErr) error = kQOXErrOutOfMemory;
      found = nullptr;
      done = true;
      return false;
    }
    size_t count = 0;
    qoxSigFindSubpacket(packet, packetLength, type, 0, nullptr, nullptr, nullptr, nullptr, &count);
    if (found == nullptr && n < seen + count) {
      QOXTime created = 0;
      found = qoxSigFindSubpacket(packet, packetLength, type, n - seen, &length, &critical, &hashed, &created,
                                  nullptr);
      creation = created;
      if (!wantCount) {
        done = true;
        seen += count;
        return false;
      }
    }
    seen += count;
    return true;
  }
};

void OfferSelfCerts(SubpacketSearch& search, QOXKeyDBObj* object, QOXKeyDBObj* owner) {
  for (QOXKeyDBObj* c = object->child; c != nullptr && !search.done; c = c->next) {
    if (!IsType(c, kQOXKeyDBObjType_Sig)) continue;
    if (qoxIsSelfCertification(c, owner) && !Revocable(Sig(c))) search.Offer(c);
  }
}

void OfferLatestRevocable(SubpacketSearch& search, QOXKeyDBObj* object, QOXKeyDBObj* owner) {
  if (search.done) return;
  QOXKeyDBObj* latest = qoxLatestSigByKey(object, owner);
  if (latest != nullptr && Revocable(Sig(latest))) search.Offer(latest);
}

// The nth subpacket of type 10 or 12 read as a key reference.
QOXKeyDBObj* KeyReference(QOXKeyDBObj* key, uint8_t type, size_t n, uint8_t* outAlgorithm, QOXKeyID* outKeyID,
                          uint8_t* outClass, size_t* outCount, QOXError* outError) {
  if (outAlgorithm != nullptr) *outAlgorithm = 0;
  if (outKeyID != nullptr) std::memset(outKeyID, 0, sizeof *outKeyID);
  if (outClass != nullptr) *outClass = 0;
  if (outCount != nullptr) *outCount = 0;
  if (outError != nullptr) *outError = kQOXErrNoErr;
  size_t length = 0;
  QOXError err = kQOXErrNoErr;
  const uint8_t* body = qoxKeyFindSubpacket(key, type, n, &length, nullptr, nullptr, nullptr, outCount, &err);
  if (body == nullptr || length < kQOXRevocationKeyLength) {
    if (outError != nullptr) *outError = err != kQOXErrNoErr ? err : kQOXErrItemNotFound;
    return nullptr;
  }
  const uint8_t klass = body[0];
  const uint8_t algorithm = qoxKeyIDAlgorithm(body[1]);
  const uint8_t* fingerprint = body + 2;
  const uint8_t* id8 = fingerprint + kQOXFingerprint20Size - 8;
  if (outClass != nullptr) *outClass = klass;
  if (outAlgorithm != nullptr) *outAlgorithm = algorithm;
  if (outKeyID != nullptr) qoxNewKeyIDFromRawData(id8, algorithm, 8, outKeyID);
  QOXKeyDBObj* found = qoxKeyById8(qoxObjKeyDB(key), algorithm, id8);
  if (found == nullptr || qoxKeyDBObjIsDummy(found)) return nullptr;
  uint8_t digest[kQOXFingerprint20Size];
  if (qoxKeyFingerprint20(found, digest) != static_cast<int>(kQOXFingerprint20Size) ||
      std::memcmp(digest, fingerprint, sizeof digest) != 0)
    return nullptr;
  return found;
}

bool SameDistributionPoint(QOXKeyDBObj* a, QOXKeyDBObj* b) {
  size_t na = 0, nb = 0;
  const uint8_t* pa = qoxCRLDistributionPoint(a, &na);
  const uint8_t* pb = qoxCRLDistributionPoint(b, &nb);
  if (pa == nullptr || pb == nullptr) return pa == pb;
  return na == nb && (na == 0 || std::memcmp(pa, pb, na) == 0);
}

bool CurrentCheckedCRL(QOXKeyDBObj* c) {
  if (!qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_CRL)) return false;
  const CRLInfo* info = qoxCRLToCRLInfo(c);
  return info != nullptr && (info->trustByte & kQOXSigTrust_Checked) != 0 && qoxCRLIsCurrent(c, 0);
}

// Appends one distribution point unless the list has it.
QOXError AppendPoint(QOXMemoryMgr* mgr, const uint8_t* point, size_t length, uint32_t* count, uint8_t** buffer,
                     size_t* used, uint32_t** lengths) {
  if (point == nullptr || length == 0) return kQOXErrNoErr;
  // The list holds whole DER elements, so a point is in it when one
  // element equals it byte for byte.
  size_t at = 0;
  for (uint32_t i = 0; i < *count; ++i) {
    if ((*lengths)[i] == length && std::memcmp(*buffer + at, point, length) == 0) return kQOXErrNoErr;
    at += (*lengths)[i];
  }
  void* b = *buffer;
  if (QOXError err = QOXReallocData(mgr, &b, *used + length, 0); err != kQOXErrNoErr) return err;
  *buffer = static_cast<uint8_t*>(b);
  void* l = *lengths;
  if (QOXError err = QOXReallocData(mgr, &l, sizeof(uint32_t) * (*count + 1), 0); err != kQOXErrNoErr) return err;
  *lengths = static_cast<uint32_t*>(l);
  std::memcpy(*buffer + *used, point, length);
  (*lengths)[*count] = static_cast<uint32_t>(length);
  *used += length;
  ++*count;
  return kQOXErrNoErr;
}

bool Expiring(QOXTime expiry, QOXTime from, QOXTime to) { return expiry != 0 && from <= expiry && expiry < to; }

QOXTime ExpiryOf(QOXKeyDBObj* o) {
  switch (qoxObjectTypeOfFlags(o->flags)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      return qoxKeyExpiration(o);
    case kQOXKeyDBObjType_Sig:
      return qoxSigExpiration(o);
    default:
      return 0;
  }
}

void PushSigBy(QOXKeyDBObj* sig) {
  SigInfo* s = Sig(sig);
  if (s == nullptr || s->signer == nullptr) return;
  KeyInfo* k = qoxKeyToKeyInfo(s->signer);
  if (k == nullptr) return;
  s->nextBySigner = k->sigsBy;
  k->sigsBy = sig;
}

}  // namespace

bool qoxIsSelfCertification(QOXKeyDBObj* sig, QOXKeyDBObj* key) {
  if (sig == nullptr || !qoxKeyDBObjIsReal(sig) || !IsType(sig, kQOXKeyDBObjType_Sig)) return false;
  const SigInfo* s = Sig(sig);
  return s != nullptr && key != nullptr && qoxSigMaker(sig) == key &&
         (s->type & kQOXSigType_CertClassMask) == kQOXSigType_CertClass && Checked(s);
}

QOXKeyDBObj* qoxLatestSigByKey(QOXKeyDBObj* object, QOXKeyDBObj* key) {
  QOXKeyDBObj* best = nullptr;
  for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) {
    if (!qoxIsSelfCertification(c, key) || qoxSigRevoked(c)) continue;
    if (best == nullptr || Sig(c)->creation > Sig(best)->creation) best = c;
  }
  return best;
}

bool qoxSigRevoked(QOXKeyDBObj* sig) {
  const SigInfo* s = Sig(sig);
  if (s == nullptr || !Revocable(s)) return false;
  if (s->trustByte & kQOXSigTrust_Revoked) return true;
  return AnySibling(sig, [s](const SigInfo* o) {
    return o->signer == s->signer && o->type == kQOXSigType_CertRevocation && Checked(o) && o->creation > s->creation;
  });
}

bool qoxSigIsSuperceded(QOXKeyDBObj* sig) {
  const SigInfo* s = Sig(sig);
  if (s == nullptr || !Revocable(s) || !qoxKeyDBObjIsReal(s->signer)) return false;
  return AnySibling(sig, [s](const SigInfo* o) {
    return o->signer == s->signer && (o->type & kQOXSigType_CertClassMask) == (s->type & kQOXSigType_CertClassMask) &&
           Checked(o) && o->creation > s->creation;
  });
}

uint32_t qoxUserIDAttributeType(QOXKeyDBObj* userID) {
  if (!qoxUserIDIsAttribute(userID)) return 0;
  uint8_t type = 0;
  size_t length = 0;
  QOXError err = kQOXErrNoErr;
  qoxUserIDAttributeSubpacket(userID, 0, &type, &length, &err);
  return type;
}

size_t qoxUserIDCountAttributes(QOXKeyDBObj* userID) {
  if (!qoxUserIDIsAttribute(userID)) return 0;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(userID, &length);
  return packet != nullptr ? qoxAttrCountSubpackets(packet, length) : 0;
}

QOXKeyDBObj* qoxKeyPrimaryUserID(QOXKeyDBObj* key, uint32_t attributeType) {
  QOXKeyDBObj* fallback = nullptr;
  QOXKeyDBObj* best = nullptr;
  QOXKeyDBObj* bestSig = nullptr;
  for (QOXKeyDBObj* u = key->child; u != nullptr; u = u->next) {
    if (!qoxKeyDBObjIsReal(u) || !IsType(u, kQOXKeyDBObjType_UserID) || !OfKind(u, attributeType)) continue;
    if (fallback == nullptr) fallback = u;
    const UserIDInfo* info = qoxUserIDToUserIDInfo(u);
    if (info != nullptr && (info->trustByte & kQOXUserIDTrust_Primary) != 0) return u;
    QOXKeyDBObj* sig = qoxLatestSigByKey(u, key);
    if (sig == nullptr || (Sig(sig)->sigFlags & kQOXSigFlag_PrimaryUserID) == 0) continue;
    if (bestSig == nullptr || (Revocable(Sig(bestSig)) && Sig(sig)->creation > Sig(bestSig)->creation)) {
      best = u;
      bestSig = sig;
    }
  }
  return best != nullptr ? best : fallback;
}

QOXError qoxKeyClearPrimaryUserIDs(QOXKeyDBObj* key, uint32_t attributeType) {
  for (QOXKeyDBObj* u = key->child; u != nullptr; u = u->next) {
    if (!qoxKeyDBObjIsReal(u) || !IsType(u, kQOXKeyDBObjType_UserID) || !OfKind(u, attributeType)) continue;
    if (UserIDInfo* info = qoxUserIDToUserIDInfo(u)) info->trustByte &= static_cast<uint8_t>(~kQOXUserIDTrust_Primary);
  }
  return kQOXErrNoErr;
}

QOXError qoxKeySetPrimaryUserID(QOXKeyDBObj* userID) {
  qoxKeyClearPrimaryUserIDs(qoxObjTopKey(userID), qoxUserIDAttributeType(userID));
  if (UserIDInfo* info = qoxUserIDToUserIDInfo(userID)) info->trustByte |= kQOXUserIDTrust_Primary;
  return kQOXErrNoErr;
}

const uint8_t* qoxKeyFindSubpacket(QOXKeyDBObj* key, uint8_t type, size_t n, size_t* outLength,
                                   uint8_t* outCritical, bool* outHashed, QOXTime* outCreation, size_t* outCount,
                                   QOXError* outError) {
  if (outLength != nullptr) *outLength = 0;
  if (outCritical != nullptr) *outCritical = 0;
  if (outHashed != nullptr) *outHashed = false;
  if (outCreation != nullptr) *outCreation = 0;
  if (outCount != nullptr) *outCount = 0;
  if (outError != nullptr) *outError = kQOXErrNoErr;
  QOXKeyDBObj* owner = OwnerKey(key);
  if (owner == nullptr) return nullptr;
  const bool isSubkey = IsType(key, kQOXKeyDBObjType_SubKey);
  SubpacketSearch search{type, n, outCount != nullptr};
  // 1. Irrevocable self-certifications on the object and its children.
  OfferSelfCerts(search, key, owner);
  for (QOXKeyDBObj* c = key->child; c != nullptr && !search.done; c = c->next) {
    if (!IsType(c, kQOXKeyDBObjType_Sig) && qoxKeyDBObjIsReal(c)) OfferSelfCerts(search, c, owner);
  }
  // 2. The latest revocable one on the primary user ID, or on the subkey.
  QOXKeyDBObj* primary = qoxKeyPrimaryUserID(owner, 0);
  QOXKeyDBObj* second = isSubkey ? key : primary;
  if (second != nullptr) OfferLatestRevocable(search, second, owner);
  // 3. The same on every other user ID.
  if (second != nullptr) {
    for (QOXKeyDBObj* u = owner->child; u != nullptr && !search.done; u = u->next) {
      if (u == second || !qoxKeyDBObjIsReal(u) || !IsType(u, kQOXKeyDBObjType_UserID)) continue;
      OfferLatestRevocable(search, u, owner);
    }
  }
  // 4. The owner key's own, for a key or a subkey still without a result.
  if (!isSubkey || (search.found == nullptr && search.error == kQOXErrNoErr))
    OfferLatestRevocable(search, owner, owner);
  if (search.error != kQOXErrNoErr) {
    if (outError != nullptr) *outError = search.error;
    return nullptr;
  }
  if (outCount != nullptr) *outCount = search.seen;
  if (search.found == nullptr) return nullptr;
  if (outLength != nullptr) *outLength = search.length;
  if (outCritical != nullptr) *outCritical = search.critical;
  if (outHashed != nullptr) *outHashed = search.hashed;
  if (outCreation != nullptr) *outCreation = search.creation;
  return search.found;
}

QOXKeyDBObj* qoxKeyAdditionalRecipientRequestKey(QOXKeyDBObj* key, size_t n, uint8_t* outAlgorithm,
                                                 QOXKeyID* outKeyID, uint8_t* outClass, size_t* outCount,
                                                 QOXError* outError) {
  return KeyReference(key, kQOXSubpacket_AdditionalRecipientRequest, n, outAlgorithm, outKeyID, outClass, outCount,
                      outError);
}

QOXKeyDBObj* qoxKeyRevocationKey(QOXKeyDBObj* key, size_t n, uint8_t* outAlgorithm, QOXKeyID* outKeyID,
                                 uint8_t* outClass, size_t* outCount, QOXError* outError) {
  return KeyReference(key, kQOXSubpacket_RevocationKey, n, outAlgorithm, outKeyID, outClass, outCount, outError);
}

bool qoxKeyIsRevocationKey(QOXKeyDBObj* key, QOXKeyDBObj* candidate) {
  if (key == nullptr || candidate == nullptr) return false;
  size_t count = 0;
  QOXError err = kQOXErrNoErr;
  qoxKeyFindSubpacket(key, kQOXSubpacket_RevocationKey, 0, nullptr, nullptr, nullptr, nullptr, &count, &err);
  if (err != kQOXErrNoErr) return false;
  const bool dummy = qoxKeyDBObjIsDummy(candidate);
  QOXKeyID candidateID;
  uint8_t candidateAlgorithm = 0;
  if (dummy && qoxKeyID8(candidate, &candidateAlgorithm, &candidateID) != kQOXErrNoErr) return false;
  for (size_t n = 0; n < count; ++n) {
    uint8_t algorithm = 0, klass = 0;
    QOXKeyID id;
    QOXKeyDBObj* found = qoxKeyRevocationKey(key, n, &algorithm, &id, &klass, nullptr, &err);
    if (err != kQOXErrNoErr) return false;
    if ((klass & kQOXRevocationKeyClass_Sensitive) == 0) continue;
    if (dummy ? algorithm == candidateAlgorithm && qoxKeyIDsEqual(&id, &candidateID) : found == candidate)
      return true;
  }
  return false;
}

bool qoxKeyHasThirdPartyRevocation(QOXKeyDBObj* key, QOXKeyDBObj** outRevoker, uint8_t* outAlgorithm,
                                   QOXKeyID* outKeyID, QOXError* outError) {
  if (outRevoker != nullptr) *outRevoker = nullptr;
  if (outAlgorithm != nullptr) *outAlgorithm = 0;
  if (outKeyID != nullptr) std::memset(outKeyID, 0, sizeof *outKeyID);
  if (outError != nullptr) *outError = kQOXErrNoErr;
  QOXKeyDBObj* owner = OwnerKey(key);
  if (owner == nullptr) return false;
  const uint8_t wanted = IsType(key, kQOXKeyDBObjType_Key) ? kQOXSigType_KeyRevocation : kQOXSigType_SubkeyRevocation;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_Sig)) continue;
    const SigInfo* s = Sig(c);
    if (s == nullptr || s->type != wanted || s->signer == nullptr || s->signer == owner) continue;
    if (!qoxKeyIsRevocationKey(owner, s->signer)) continue;
    if (outRevoker != nullptr && !qoxKeyDBObjIsDummy(s->signer)) *outRevoker = s->signer;
    qoxKeyID8(s->signer, outAlgorithm, outKeyID);
    return true;
  }
  return false;
}

bool sigRevokesKey(QOXKeyDBObj* sig) {
  const SigInfo* s = Sig(sig);
  QOXKeyDBObj* parent = qoxObjParent(sig);
  if (s == nullptr || parent == nullptr) return false;
  const bool onKey = IsType(parent, kQOXKeyDBObjType_Key);
  if (onKey ? s->type != kQOXSigType_KeyRevocation
            : !IsType(parent, kQOXKeyDBObjType_SubKey) || s->type != kQOXSigType_SubkeyRevocation)
    return false;
  QOXKeyDBObj* owner = qoxObjTopKey(parent);
  if (Tried(s) && !Checked(s)) return false;
  if (!Tried(s) && !(onKey && qoxKeyRevoked(parent))) return false;
  return s->signer == owner || qoxKeyIsRevocationKey(owner, s->signer);
}

QOXKeyDBObj* qoxKeySubkey(QOXKeyDBObj* key, QOXKeySet* set) {
  QOXKeyDBObj* best = nullptr;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_SubKey)) continue;
    if (set != nullptr && !qoxKeySetIsMember(c, set)) continue;
    if (!qoxSubkeyValid(c, true, false)) continue;
    if (best == nullptr || qoxKeyCreation(c) >= qoxKeyCreation(best)) best = c;
  }
  return best;
}

bool qoxSubkeyValid(QOXKeyDBObj* subKey, bool checkTime, bool allowRevoked) {
  const KeyInfo* k = qoxKeyToKeyInfo(subKey);
  if (k == nullptr) return false;
  if (!allowRevoked && (k->keyTrust & kQOXKeyTrust_Revoked) != 0) return false;
  if (checkTime) {
    if (k->keyTrust & kQOXKeyTrust_Expired) return false;
    const QOXTime now = QOXGetTime();
    const QOXTime expiry = qoxKeyExpiration(subKey);
    if (expiry != 0 && expiry < now) return false;
    if (uint64_t{now} + kSecondsPerDay < uint64_t{k->creation}) return false;
  }
  QOXKeyDBObj* top = qoxObjTopKey(subKey);
  for (QOXKeyDBObj* c = subKey->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_Sig)) continue;
    const SigInfo* s = Sig(c);
    if (s != nullptr && s->signer == top && s->type == kQOXSigType_SubkeyBinding && (!Tried(s) || Checked(s)))
      return true;
  }
  return false;
}

const uint8_t* qoxSigX509Certificate(QOXKeyDBObj* sig, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  const SigInfo* s = Sig(sig);
  if (s == nullptr || (s->sigFlags & kQOXSigFlag_X509) == 0) return nullptr;
  size_t packetLength = 0;
  const uint8_t* packet = qoxFetchObject(sig, &packetLength);
  if (packet == nullptr) return nullptr;
  size_t length = 0;
  const uint8_t* data = qoxSigFindORVSubSubpacket(packet, packetLength, kQOXX509SubpacketKind_Certificate, 0, &length,
                                                  nullptr, nullptr);
  constexpr size_t kPrefix = 3;  // the kind and two bytes of the bridge
  if (data == nullptr || length < kPrefix) return nullptr;
  if (outLength != nullptr) *outLength = length - kPrefix;
  return data + kPrefix;
}

QOXSigSpec* qoxSigSigSpec(QOXKeyDBObj* sig, QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  SigInfo* s = Sig(sig);
  QOXKeyDB* db = qoxObjKeyDB(sig);
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(sig, &length);
  ostrak::ByteCursor body;
  if (s == nullptr || packet == nullptr || !qoxPktBody(packet, length, &body) || body.empty()) {
    if (outError != nullptr) *outError = qoxKeyDBError(db);
    return nullptr;
  }
  QOXSigSpec* sigSpec = qoxSigSpecCreate(qoxContextGetEnvironment(db->context), s->signer, s->type);
  if (sigSpec == nullptr) {
    if (outError != nullptr) *outError = kQOXErrOutOfMemory;
    return nullptr;
  }
  const uint8_t version = body.data()[0];
  QOXError err = qoxSigSpecSetHashtype(sigSpec, s->hashAlgorithm);
  if (err == kQOXErrNoErr) err = qoxSigSpecSetVersion(sigSpec, version);
  if (err == kQOXErrNoErr) err = qoxSigSpecSetTimestamp(sigSpec, s->creation);
  if (err == kQOXErrNoErr && version == 4) err = qoxSigSubpacketsSpec(sigSpec, packet, length);
  if (err != kQOXErrNoErr) {
    qoxSigSpecDestroy(sigSpec);
    if (outError != nullptr) *outError = err;
    return nullptr;
  }
  return sigSpec;
}

QOXRegExp* qoxSigRegexp(QOXKeyDBObj* sig) {
  SigInfo* s = Sig(sig);
  if (s == nullptr) return nullptr;
  if (s->regexp != nullptr) return s->regexp;
  size_t packetLength = 0;
  const uint8_t* packet = qoxFetchObject(sig, &packetLength);
  if (packet == nullptr) return nullptr;
  size_t length = 0;
  const uint8_t* text =
      qoxSigFindSubpacket(packet, packetLength, kQOXSubpacket_RegExp, 0, &length, nullptr, nullptr, nullptr, nullptr);
  if (text == nullptr) return nullptr;
  QOXRegExp* expression = nullptr;
  if (qoxRegCompPacketText(qoxObjKeyDB(sig)->context, text, length, &expression) != kQOXErrNoErr) return nullptr;
  s->regexp = expression;
  return expression;
}

bool qoxKeyHasCRL(QOXKeyDBObj* key) {
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_CRL)) continue;
    if (qoxCRLChecked(c)) return true;
  }
  return false;
}

QOXKeyDBObj* qoxKeyNthCRL(QOXKeyDBObj* key, size_t n, size_t* outCount) {
  QOXKeyDBObj* found = nullptr;
  size_t seen = 0;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!CurrentCheckedCRL(c)) continue;
    if (seen == n) {
      found = c;
      if (outCount == nullptr) return found;
    }
    ++seen;
  }
  if (outCount != nullptr) *outCount = seen;
  return found;
}

bool qoxCRLIsCurrent(QOXKeyDBObj* crl, QOXTime time) {
  const CRLInfo* info = qoxCRLToCRLInfo(crl);
  if (info == nullptr) return false;
  if (time != 0 && info->expiration < time) return false;
  QOXKeyDBObj* key = qoxObjParent(crl);
  if (key == nullptr) return true;
  const uint32_t dp = info->crlFlags & kQOXCRLFlag_DistPoint;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (c == crl || !qoxKeyDBObjIsReal(c) || !IsType(c, kQOXKeyDBObjType_CRL)) continue;
    const CRLInfo* o = qoxCRLToCRLInfo(c);
    if (o == nullptr || (o->trustByte & kQOXSigTrust_Checked) == 0) continue;
    if ((o->crlFlags & kQOXCRLFlag_DistPoint) != dp) continue;
    if (dp != 0 && !SameDistributionPoint(crl, c)) continue;
    if (o->creation > info->creation) return false;
  }
  return true;
}

QOXKeyDBObj* qoxKeyEarliestCRL(QOXKeyDBObj* key, bool byExpiration) {
  QOXKeyDBObj* best = nullptr;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!CurrentCheckedCRL(c)) continue;
    const QOXTime t = byExpiration ? qoxCRLExpiration(c) : qoxCRLCreation(c);
    if (best == nullptr || t < (byExpiration ? qoxCRLExpiration(best) : qoxCRLCreation(best))) best = c;
  }
  return best;
}

const uint8_t* qoxCRLDistributionPoint(QOXKeyDBObj* crl, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  const CRLInfo* info = qoxCRLToCRLInfo(crl);
  if (info == nullptr || (info->crlFlags & kQOXCRLFlag_DistPoint) == 0) return nullptr;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(crl, &length);
  if (packet == nullptr) return nullptr;
  size_t dpLength = 0;
  const uint8_t* dp = qoxCRLFindDPoint(packet, length, &dpLength);
  if (dp != nullptr && outLength != nullptr) *outLength = dpLength;
  return dp;
}

QOXError qoxListCRLDistributionPoints(QOXMemoryMgr* mgr, QOXKeyDBObj* key, uint32_t* outCount, uint8_t** outBuffer,
                                      uint32_t** outLengths) {
  *outCount = 0;
  *outBuffer = nullptr;
  *outLengths = nullptr;
  uint32_t count = 0;
  uint8_t* buffer = nullptr;
  uint32_t* lengths = nullptr;
  size_t used = 0;
  QOXError err = kQOXErrNoErr;
  for (size_t n = 0; err == kQOXErrNoErr; ++n) {
    QOXKeyDBObj* crl = qoxKeyNthCRL(key, n, nullptr);
    if (crl == nullptr) break;
    size_t length = 0;
    const uint8_t* dp = qoxCRLDistributionPoint(crl, &length);
    err = AppendPoint(mgr, dp, length, &count, &buffer, &used, &lengths);
  }
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  QOXContext* context = qoxObjKeyDB(key)->context;
  constexpr uint32_t kCertificateMarks = kQOXSigFlag_CertMark | kQOXSigFlag_X509;
  for (QOXKeyDBObj* sig = k != nullptr ? k->sigsBy : nullptr; sig != nullptr && err == kQOXErrNoErr;
       sig = Sig(sig)->nextBySigner) {
    if ((Sig(sig)->sigFlags & kCertificateMarks) != kCertificateMarks) continue;
    size_t certLength = 0;
    const uint8_t* cert = qoxSigX509Certificate(sig, &certLength);
    if (cert == nullptr) continue;
    QOXX509XTBSCert* tbs = nullptr;
    if (qoxX509Services().qoxX509BufferToXTBSCert(context, cert, certLength, &tbs) != kQOXErrNoErr) continue;
    size_t length = 0;
    uint8_t* dp = qoxX509Services().qoxX509XTBSCertToDistPoint(context, tbs, &length);
    qoxX509Services().qoxX509FreeXTBSCert(context, tbs);
    if (dp == nullptr) continue;
    err = AppendPoint(mgr, dp, length, &count, &buffer, &used, &lengths);
    qoxContextMemFree(context, dp);
  }
  if (err != kQOXErrNoErr) {
    if (buffer != nullptr) QOXFreeData(buffer);
    if (lengths != nullptr) QOXFreeData(lengths);
    return err;
  }
  *outCount = count;
  *outBuffer = buffer;
  *outLengths = lengths;
  return kQOXErrNoErr;
}

bool qoxKeyDBHasExpiringObjects(QOXKeyDB* db, QOXTime from, QOXTime to) {
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (!qoxKeyDBObjIsReal(k)) continue;
    if (Expiring(ExpiryOf(k), from, to)) return true;
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      if (!qoxKeyDBObjIsReal(c)) continue;
      if (Expiring(ExpiryOf(c), from, to)) return true;
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
        if (qoxKeyDBObjIsReal(g) && Expiring(ExpiryOf(g), from, to)) return true;
      }
    }
  }
  return false;
}

void qoxKeyDBListSigsBy(QOXKeyDB* db) {
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (qoxKeyDBObjIsDeleted(k)) continue;
    if (KeyInfo* info = qoxKeyToKeyInfo(k)) info->sigsBy = nullptr;
  }
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (!qoxKeyDBObjIsReal(k)) continue;
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      if (!qoxKeyDBObjIsReal(c)) continue;
      if (IsType(c, kQOXKeyDBObjType_Sig)) {
        PushSigBy(c);
        continue;
      }
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
        if (qoxKeyDBObjIsReal(g) && IsType(g, kQOXKeyDBObjType_Sig)) PushSigBy(g);
      }
    }
  }
}

#include "keydb/ring_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"
#include "keydb/child_index.h"
#include "keydb/crl_packet.h"
#include "keydb/fingerprint.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_packet.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check_services.h"
#include "keydb/sig_packet.h"
#include "keydb/trust.h"
#include "keydb/x509_services.h"

namespace {

constexpr uint8_t kV2 = 2;
constexpr uint8_t kV3 = 3;
constexpr uint8_t kRSA = 1;
constexpr uint8_t kRSASignOnly = 3;
constexpr uint32_t kV3ExtraLength = 5;
constexpr uint8_t kOldValidityMarginal = 2;
constexpr uint8_t kOldValidityComplete = 3;
constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint8_t kOldFormOneByteMask = 0xC3;  // form bits and length type
constexpr uint8_t kOldFormOneByte = 0x80;
constexpr uint8_t kSigTwoByteTypeByte = 0x89;  // old form, tag 2, two length bytes
constexpr size_t kX509CertPrefix = 3;
constexpr size_t kRevokerAlgorithmAt = 1;
constexpr size_t kRevokerKeyIDAt = 14;

bool IsType(const QOXKeyDBObj* o, int32_t type) { return o != nullptr && qoxObjectTypeOfFlags(o->flags) == type; }

void OutOfMemory(QOXKeyDB* db, QOXError* outError) {
  qoxKeyDBSetError(db, kQOXErrOutOfMemory);
  if (outError != nullptr) *outError = kQOXErrOutOfMemory;
}

// A data record of the packet, or null with the error reported.
ObjData* CopyPacket(QOXKeyDB* db, const uint8_t* packet, size_t length, QOXError* outError) {
  ObjData* data = qoxNewObjData(db, packet, length);
  if (data == nullptr) OutOfMemory(db, outError);
  return data;
}

// An object of the kind with the packet; the pool is cut back when either
// cannot be made, so nothing half-made stays.
QOXKeyDBObj* NewWithPacket(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags, const uint8_t* packet, size_t length,
                           QOXError* outError) {
  const MemPool mark = db->objectPool;
  ObjData* data = CopyPacket(db, packet, length, outError);
  if (data == nullptr) return nullptr;
  QOXKeyDBObj* object = qoxNewKeyDBObj(db, parent, flags);
  if (object == nullptr) {
    memPoolCutBack(&db->objectPool, &mark);
    OutOfMemory(db, outError);
    return nullptr;
  }
  qoxSetObjData(object, data);
  return object;
}

// An identical child: brought back when deleted, and returned.
QOXKeyDBObj* Matching(QOXKeyDBObj* parent, const uint8_t* packet, size_t length) {
  QOXKeyDBObj* match = qoxFindMatchingChild(parent, packet, length);
  if (match != nullptr && qoxKeyDBObjIsDeleted(match)) qoxReviveKeyDBObj(match);
  return match;
}

// What qoxKeyParse gives.
struct ParsedKey {
  uint8_t algorithm = 0;
  uint8_t keyID[8] = {};
  uint8_t hash[20] = {};
  uint16_t bits = 0;
  QOXTime creation = 0;
  uint16_t validityDays = 0;
  int isV3 = 0;
};

bool IsSecretTag(uint8_t tag) { return tag == kQOXPktTag_SecretKey || tag == kQOXPktTag_SecretSubKey; }
bool IsSubkeyTag(uint8_t tag) { return tag == kQOXPktTag_SecretSubKey || tag == kQOXPktTag_PublicSubKey; }

// Fills the key info from the packet and stores a copy of it.
bool InitKey(QOXKeyDB* db, QOXKeyDBObj* key, uint8_t tag, const ParsedKey& p, const uint8_t* packet, size_t length,
             QOXError* outError) {
  ObjData* data = CopyPacket(db, packet, length, outError);
  if (data == nullptr) return false;
  KeyInfo* k = qoxKeyToKeyInfo(key);
  k->creation = p.creation;
  k->validityDays = p.validityDays;
  k->bits = p.bits;
  k->fingerprintByte = p.hash[0];
  k->keyTrust = 0;
  k->keyFlags = (k->keyFlags & ~(kQOXKeyFlag_V3 | kQOXKeyFlag_Secret)) | (p.isV3 ? kQOXKeyFlag_V3 : 0) |
                (IsSecretTag(tag) ? kQOXKeyFlag_Secret : 0);
  qoxSetObjData(key, data);
  return true;
}

// The public part of a secret packet against a public packet: bodies of
// equal length, equal from the second byte on, and versions equal or the
// secret one 3 where the public one is 2. *merged tells the 3-and-2 case.
bool PublicPartsMatch(const uint8_t* secretPacket, size_t secretLength, const uint8_t* publicPacket,
                      size_t publicLength, bool* merged) {
  *merged = false;
  const size_t prefix = qoxKeyParsePublicPrefix(secretPacket, secretLength);
  const size_t secretHeader = qoxPktBufferHeaderLen(secretPacket, secretLength);
  ostrak::ByteCursor publicBody;
  if (prefix == 0 || secretHeader == 0 || prefix <= secretHeader ||
      !qoxPktBody(publicPacket, publicLength, &publicBody))
    return false;
  const uint8_t* secretBody = secretPacket + secretHeader;
  const size_t n = prefix - secretHeader;
  if (publicBody.remaining() != n || n == 0) return false;
  if (std::memcmp(secretBody + 1, publicBody.data() + 1, n - 1) != 0) return false;
  const uint8_t sv = secretBody[0];
  const uint8_t pv = publicBody.data()[0];
  if (sv == pv) return true;
  if (sv == kV3 && pv == kV2) {
    *merged = true;
    return true;
  }
  return false;
}

// The key ID a subject or issuer name gives an X.509 signature's keys: the
// last 8 bytes of the fingerprint formula over the DER name.
bool NameKeyID(QOXContext* context, const uint8_t* name, size_t length, uint8_t out[8]) {
  uint8_t digest[kQOXFingerprint20Size];
  if (name == nullptr || qoxFingerprint20HashBuf(context, name, length, digest) != int{kQOXFingerprint20Size})
    return false;
  std::memcpy(out, digest + kQOXFingerprint20Size - 8, 8);
  return true;
}

// Points X.509 dummies of the subject at the signature carrying its
// certificate, moving the signatures they made to the key above it.
QOXError FixupX509Subject(QOXKeyDB* db, QOXKeyDBObj* sig, const uint8_t subjectID[8]) {
  QOXKeyID id;
  std::memset(&id, 0, sizeof id);
  qoxNewKeyIDFromRawData(subjectID, kQOXX509DummyAlgorithm, 8, &id);
  QOXKeyDBObj* subject = nullptr;
  qoxGetKeyByKeyID_internal(db, &id, true, true, &subject);
  QOXKeyDBObj* carrier = qoxObjTopKey(sig);
  if (subject == nullptr) {
    if (qoxNewDummyKey(db, kQOXX509DummyAlgorithm, subjectID, true, sig) == nullptr) return kQOXErrOutOfMemory;
    return kQOXErrNoErr;
  }
  if (!qoxKeyDBObjIsX509Dummy(subject)) return kQOXErrNoErr;
  KeyInfo* dummy = qoxKeyToKeyInfo(subject);
  dummy->x509Sig = sig;
  if (dummy->sigsBy == nullptr || carrier == subject) return kQOXErrNoErr;
  KeyInfo* target = qoxKeyToKeyInfo(carrier);
  QOXKeyDBObj* last = nullptr;
  for (QOXKeyDBObj* s = dummy->sigsBy; s != nullptr; s = qoxSigToSigInfo(s)->nextBySigner) {
    qoxSigToSigInfo(s)->signer = carrier;
    last = s;
  }
  qoxSigToSigInfo(last)->nextBySigner = target->sigsBy;
  target->sigsBy = dummy->sigsBy;
  dummy->sigsBy = nullptr;
  return kQOXErrNoErr;
}

// The revoker is authorised by a revocation-key subpacket of one of the
// key's direct self-signatures.
bool Authorised(QOXKeyDBObj* key, QOXKeyDBObj* revoker) {
  const KeyInfo* r = qoxKeyToKeyInfo(revoker);
  if (r == nullptr) return false;
  const uint8_t revokerAlgorithm = qoxKeyIDAlgorithm(r->algorithm);
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!IsType(c, kQOXKeyDBObjType_Sig) || !qoxKeyDBObjIsReal(c)) continue;
    SigInfo* s = qoxSigToSigInfo(c);
    if (s->type != kQOXSigType_DirectKey || s->signer != key) continue;
    size_t packetLength = 0;
    const uint8_t* packet = qoxFetchObject(c, &packetLength);
    if (packet == nullptr) continue;
    size_t count = 0;
    qoxSigFindSubpacket(packet, packetLength, kQOXSubpacket_RevocationKey, 0, nullptr, nullptr, nullptr, nullptr,
                        &count);
    for (size_t n = 0; n < count; ++n) {
      size_t length = 0;
      const uint8_t* body = qoxSigFindSubpacket(packet, packetLength, kQOXSubpacket_RevocationKey, n, &length,
                                                nullptr, nullptr, nullptr, nullptr);
      // Under 22 bytes a subpacket names no fingerprint: it authorises nothing.
      if (body == nullptr || length < kQOXRevocationKeyLength) continue;
      if (qoxKeyIDAlgorithm(body[kRevokerAlgorithmAt]) != revokerAlgorithm) continue;
      if (std::memcmp(body + kRevokerKeyIDAt, r->keyID, sizeof r->keyID) != 0) continue;
      if ((s->trustByte & kQOXSigTrust_Tried) == 0) {
        // An untried authorisation is checked; one that cannot be checked
        // is kept, so no revocation is dropped for want of a check.
        const QOXError err = qoxSigCheckServices().qoxCheckOneSig(c, nullptr);
        if (err == kQOXErrFeatureNotAvailable) return true;
      }
      if ((s->trustByte & kQOXSigTrust_Checked) != 0) return true;
    }
  }
  return false;
}

// An authorised revocation whose revoker is found and checks as not valid
// is not authorised after all.
bool RevocationStands(QOXKeyDBObj* key, QOXKeyDBObj* revocation) {
  SigInfo* s = qoxSigToSigInfo(revocation);
  QOXKeyID id;
  if (qoxKeyID8(s->signer, nullptr, &id) != kQOXErrNoErr) return true;
  QOXKeyDB* own = qoxObjKeyDB(key);
  for (QOXKeyDB* d = qoxContextGetFirstKeyDB(own->context); d != nullptr; d = d->next) {
    QOXKeyDBObj* revoker = nullptr;
    if (qoxGetKeyByKeyID(d, &id, false, false, &revoker) != kQOXErrNoErr || revoker == nullptr) continue;
    if ((s->trustByte & kQOXSigTrust_Tried) == 0)
      qoxSigCheckServices().qoxCheckOneSig(revocation, d == own ? nullptr : d);
    if ((s->trustByte & kQOXSigTrust_Tried) != 0 && (s->trustByte & kQOXSigTrust_Checked) == 0) return false;
    return true;
  }
  return true;
}

uint32_t Be32(const uint8_t* p) { return LoadBE32(p); }

}  // namespace

// --- Adding packets ---

QOXKeyDBObj* qoxAddKey(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                       bool trusted, QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  const bool secret = IsSecretTag(tag);
  const bool subkey = IsSubkeyTag(tag);
  if (subkey && !IsType(parent, kQOXKeyDBObjType_Key)) return nullptr;
  ParsedKey p;
  if (qoxKeyParse(db->context, packet, length, &p.algorithm, p.keyID, p.hash, &p.bits, &p.creation, &p.validityDays,
                  &p.isV3, secret) != kQOXErrNoErr)
    return nullptr;
  QOXKeyID id;
  std::memset(&id, 0, sizeof id);
  qoxNewKeyIDFromRawData(p.keyID, qoxKeyIDAlgorithm(p.algorithm), sizeof p.keyID, &id);
  QOXKeyDBObj* found = nullptr;
  qoxGetKeyByKeyID(db, &id, true, true, &found);
  if (found != nullptr && !qoxKeyDBObjIsDummy(found)) {
    if (IsType(found, kQOXKeyDBObjType_SubKey) != subkey) {
      found->flags &= ~kQOXObjFlag_Deleted;
      return found;
    }
    size_t storedLength = 0;
    const uint8_t* stored = qoxFetchObject(found, &storedLength);
    if (stored != nullptr && qoxPacketsIdentical(stored, storedLength, packet, length)) {
      found->flags &= ~kQOXObjFlag_Deleted;
      return found;
    }
    if (qoxKeyDBObjIsDeleted(found)) {
      found->flags &= ~kQOXObjFlag_Deleted;
      return InitKey(db, found, tag, p, packet, length, outError) ? found : nullptr;
    }
    if (stored == nullptr || qoxPktTag(stored[0]) == tag) return found;
    KeyInfo* k = qoxKeyToKeyInfo(found);
    const bool foundSecret = (k->keyFlags & kQOXKeyFlag_Secret) != 0;
    bool merged = false;
    if (!secret && foundSecret) {
      if (PublicPartsMatch(stored, storedLength, packet, length, &merged) && merged && trusted)
        k->keyFlags |= kQOXKeyFlag_MergedV2;
    } else if (secret && !foundSecret) {
      if (PublicPartsMatch(packet, length, stored, storedLength, &merged)) {
        ObjData* data = CopyPacket(db, packet, length, outError);
        if (data == nullptr) return nullptr;
        if (merged && trusted) k->keyFlags |= kQOXKeyFlag_MergedV2;
        qoxSetObjData(found, data);
        k->keyFlags |= kQOXKeyFlag_Secret;
      }
    }
    return found;
  }
  if (found != nullptr) {
    // A dummy: its key packet arrived.
    if (subkey && IsType(found, kQOXKeyDBObjType_Key)) return nullptr;
    found->flags &= ~(kQOXObjFlag_Dummy | kQOXObjFlag_X509Dummy | kQOXObjFlag_Deleted);
    KeyInfo* k = qoxKeyToKeyInfo(found);
    k->x509Sig = nullptr;
    if (k->algorithm == kRSA && p.algorithm == kRSASignOnly) k->algorithm = kRSASignOnly;
    return InitKey(db, found, tag, p, packet, length, outError) ? found : nullptr;
  }
  const MemPool mark = db->objectPool;
  ObjData* data = CopyPacket(db, packet, length, outError);
  if (data == nullptr) return nullptr;
  QOXKeyDBObj* key =
      qoxNewKeyObj(db, subkey ? parent : nullptr, subkey ? kQOXObjFlag_SubKey : kQOXObjFlag_Key, p.algorithm, p.keyID);
  if (key == nullptr) {
    memPoolCutBack(&db->objectPool, &mark);
    OutOfMemory(db, outError);
    return nullptr;
  }
  KeyInfo* k = qoxKeyToKeyInfo(key);
  k->creation = p.creation;
  k->validityDays = p.validityDays;
  k->bits = p.bits;
  k->fingerprintByte = p.hash[0];
  k->keyFlags = (p.isV3 ? kQOXKeyFlag_V3 : 0) | (secret ? kQOXKeyFlag_Secret : 0);
  qoxSetObjData(key, data);
  return key;
}

QOXKeyDBObj* qoxAddUserID(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                          QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  if (!IsType(parent, kQOXKeyDBObjType_Key)) return nullptr;
  if (QOXKeyDBObj* match = Matching(parent, packet, length)) return match;
  QOXKeyDBObj* userID = NewWithPacket(db, parent, kQOXObjFlag_UserID, packet, length, outError);
  if (userID != nullptr && tag == kQOXPktTag_UserAttribute)
    qoxUserIDToUserIDInfo(userID)->userIDFlags |= kQOXUserIDFlag_Attribute;
  return userID;
}

QOXKeyDBObj* qoxAddSig(uint8_t, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                       QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  if (parent == nullptr) return nullptr;
  if (QOXKeyDBObj* match = Matching(parent, packet, length)) return match;
  uint8_t algorithm = 0, type = 0, hash = 0, version = 0, exportable = 0, revocable = 0, trustLevel = 0,
          trustAmount = 0, hasRegExp = 0, isX509 = 0, primary = 0;
  uint8_t signerID[8] = {};
  QOXTime creation = 0;
  uint32_t expiration = 0, extraLength = 0;
  if (qoxSigParse(packet, length, false, &algorithm, signerID, &creation, &expiration, &type, &hash, &extraLength,
                  &version, &exportable, &revocable, &trustLevel, &trustAmount, &hasRegExp, &isX509,
                  &primary) != kQOXErrNoErr)
    return nullptr;
  uint8_t lookupAlgorithm = qoxKeyIDAlgorithm(algorithm);
  uint8_t subjectID[8] = {};
  bool x509Decoded = false;
  if (isX509) {
    size_t certLength = 0;
    const uint8_t* cert = qoxSigFindORVSubSubpacket(packet, length, kQOXX509SubpacketKind_Certificate, 0, &certLength,
                                                    nullptr, nullptr);
    QOXX509XTBSCert* tbs = nullptr;
    if (cert != nullptr && certLength >= kX509CertPrefix &&
        qoxX509Services().qoxX509BufferToXTBSCert(db->context, cert + kX509CertPrefix, certLength - kX509CertPrefix,
                                                  &tbs) == kQOXErrNoErr) {
      const uint8_t *issuer = nullptr, *subject = nullptr;
      size_t issuerLength = 0, subjectLength = 0;
      uint8_t issuerID[8];
      if (qoxX509Services().qoxX509XTBSCertNames(tbs, &issuer, &issuerLength, &subject, &subjectLength) ==
              kQOXErrNoErr &&
          NameKeyID(db->context, issuer, issuerLength, issuerID) &&
          NameKeyID(db->context, subject, subjectLength, subjectID)) {
        std::memcpy(signerID, issuerID, sizeof signerID);
        lookupAlgorithm = kQOXX509DummyAlgorithm;
        x509Decoded = true;
      }
      qoxX509Services().qoxX509FreeXTBSCert(db->context, tbs);
    }
  }
  QOXKeyID id;
  std::memset(&id, 0, sizeof id);
  qoxNewKeyIDFromRawData(signerID, lookupAlgorithm, sizeof signerID, &id);
  QOXKeyDBObj* signer = nullptr;
  qoxGetKeyByKeyID(db, &id, true, true, &signer);
  if (signer != nullptr && qoxKeyDBObjIsDeleted(signer)) qoxReviveAsDummy(signer);
  if (signer == nullptr) {
    signer = qoxNewDummyKey(db, lookupAlgorithm, signerID, x509Decoded, nullptr);
    if (signer == nullptr) {
      OutOfMemory(db, outError);
      return nullptr;
    }
  }
  // An RSA signature with a one-byte old-form length is kept with two.
  const uint8_t* stored = packet;
  size_t storedLength = length;
  std::unique_ptr<uint8_t[]> copy;
  if (algorithm == kRSA && (packet[0] & kOldFormOneByteMask) == kOldFormOneByte && length >= 2) {
    storedLength = length + 1;
    copy.reset(new (std::nothrow) uint8_t[storedLength]);
    if (copy == nullptr) {
      OutOfMemory(db, outError);
      return nullptr;
    }
    copy[0] = kSigTwoByteTypeByte;
    copy[1] = 0;
    std::memcpy(copy.get() + 2, packet + 1, length - 1);
    stored = copy.get();
  }
  QOXKeyDBObj* sig = NewWithPacket(db, parent, kQOXObjFlag_Sig, stored, storedLength, outError);
  if (sig == nullptr) return nullptr;
  SigInfo* s = qoxSigToSigInfo(sig);
  s->signer = signer;
  KeyInfo* k = qoxKeyToKeyInfo(signer);
  s->nextBySigner = k->sigsBy;
  k->sigsBy = sig;
  s->type = type;
  s->version = version;
  s->hashAlgorithm = hash;
  s->trustLevel = trustLevel;
  s->trustValue = trustAmount;
  s->creation = creation;
  s->expiration = expiration;
  s->trustByte = 0;
  s->sigFlags = (exportable ? kQOXSigFlag_Exportable : 0) | (revocable ? kQOXSigFlag_Revocable : 0) |
                (hasRegExp ? kQOXSigFlag_RegExp : 0) | (isX509 ? kQOXSigFlag_X509 : 0) |
                (primary ? kQOXSigFlag_PrimaryUserID : 0) | (extraLength != kV3ExtraLength ? kQOXSigFlag_NotV3Extra : 0);
  if (x509Decoded) {
    if (FixupX509Subject(db, sig, subjectID) != kQOXErrNoErr) OutOfMemory(db, outError);
  }
  return sig;
}

QOXKeyDBObj* qoxAddCRL(uint8_t, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                       QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  if (!IsType(parent, kQOXKeyDBObjType_Key)) return nullptr;
  if (QOXKeyDBObj* match = Matching(parent, packet, length)) return match;
  QOXKeyDBObj* crl = NewWithPacket(db, parent, kQOXObjFlag_CRL, packet, length, outError);
  if (crl == nullptr) return nullptr;
  uint8_t version = 0, kind = 0;
  QOXTime thisUpdate = 0, nextUpdate = 0;
  // A CRL whose DER does not decode is kept with zero times.
  if (qoxCRLParse(db->context, packet, length, &version, &kind, &thisUpdate, &nextUpdate, nullptr, nullptr) !=
      kQOXErrNoErr) {
    thisUpdate = 0;
    nextUpdate = 0;
  }
  CRLInfo* c = qoxCRLToCRLInfo(crl);
  c->version = version;
  c->creation = thisUpdate;
  c->expiration = nextUpdate;
  if (kind == kQOXCRLKind_Plain || kind == kQOXCRLKind_DistPoint) c->crlFlags |= kQOXCRLFlag_Known;
  if (kind == kQOXCRLKind_DistPoint) c->crlFlags |= kQOXCRLFlag_DistPoint;
  return crl;
}

QOXKeyDBObj* qoxAddUnknown(uint8_t, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                           QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  if (!IsType(parent, kQOXKeyDBObjType_Key)) return nullptr;
  if (QOXKeyDBObj* match = Matching(parent, packet, length)) return match;
  return NewWithPacket(db, parent, 0, packet, length, outError);
}

QOXKeyDBObj* qoxAddObject(const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent, bool trusted,
                          QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  if (packet == nullptr || length == 0 || qoxPktBufferHeaderLen(packet, length) == 0) return nullptr;
  const uint8_t tag = qoxPktTag(packet[0]);
  switch (tag) {
    case kQOXPktTag_Signature:
      return qoxAddSig(tag, packet, length, db, parent, outError);
    case kQOXPktTag_SecretKey:
    case kQOXPktTag_PublicKey:
    case kQOXPktTag_SecretSubKey:
    case kQOXPktTag_PublicSubKey:
      return qoxAddKey(tag, packet, length, db, parent, trusted, outError);
    case kQOXPktTag_UserID:
    case kQOXPktTag_UserAttribute:
      return qoxAddUserID(tag, packet, length, db, parent, outError);
    case kQOXPktTag_CRL:
      return qoxAddCRL(tag, packet, length, db, parent, outError);
    default:
      return qoxAddUnknown(tag, packet, length, db, parent, outError);
  }
}

// --- Trust ---

QOXError qoxTrustPacket(const uint8_t* packet, size_t length, QOXKeyDB*, QOXKeyDBObj* object, const QOXEnv* env) {
  ostrak::ByteCursor body;
  if (packet == nullptr || !qoxPktBody(packet, length, &body) || body.empty()) return kQOXErrNoErr;
  const uint8_t* d = body.data();
  const size_t n = body.remaining();
  switch (qoxObjectTypeOfFlags(object->flags)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      if (KeyInfo* k = qoxKeyToKeyInfo(object)) k->keyTrust = d[0];
      return kQOXErrNoErr;
    case kQOXKeyDBObjType_CRL:
      if (CRLInfo* c = qoxCRLToCRLInfo(object)) c->trustByte = d[0];
      return kQOXErrNoErr;
    case kQOXKeyDBObjType_Unknown:
      if (UnkInfo* u = qoxUnkToUnkInfo(object)) u->trustByte = d[0];
      return kQOXErrNoErr;
    case kQOXKeyDBObjType_UserID: {
      UserIDInfo* u = qoxUserIDToUserIDInfo(object);
      if (u == nullptr) return kQOXErrNoErr;
      u->trustByte = d[0];
      const uint8_t old = d[0] & kQOXUserIDTrust_OldValidityMask;
      uint8_t validity = old == kOldValidityMarginal   ? qoxenvMarginalTrust(env)
                         : old == kOldValidityComplete ? qoxenvCompleteTrust(env)
                                                       : 0;
      const KeyInfo* owner = qoxKeyToKeyInfo(qoxObjTopKey(object));
      uint8_t confidence =
          qoxTrustOldToExtern(env, owner != nullptr ? owner->keyTrust & kQOXKeyTrust_OwnerMask : 0);
      if (n > 1) validity = d[1];
      if (n > 2) confidence = d[2];
      u->validity = validity;
      u->confidence = confidence;
      u->internalValidity = qoxTrustToIntern(validity);
      return kQOXErrNoErr;
    }
    case kQOXKeyDBObjType_Sig: {
      SigInfo* s = qoxSigToSigInfo(object);
      if (s == nullptr) return kQOXErrNoErr;
      s->trustByte = d[0];
      if ((s->trustByte & kQOXSigTrust_Checked) == 0 || (s->trustByte & kQOXSigTrust_Revoked) != 0) break;
      QOXKeyDBObj* parent = qoxObjParent(object);
      if (parent == nullptr || s->signer != qoxObjTopKey(object)) break;
      QOXKeyDBObj* owner = IsType(parent, kQOXKeyDBObjType_UserID) ? qoxObjTopKey(parent) : parent;
      size_t packetLength = 0;
      const uint8_t* sigPacket = qoxFetchObject(object, &packetLength);
      size_t expiryLength = 0;
      bool hashed = false;
      const uint8_t* expiry =
          sigPacket != nullptr ? qoxSigFindSubpacket(sigPacket, packetLength, kQOXSubpacket_KeyExpiration, 0,
                                                     &expiryLength, nullptr, &hashed, nullptr, nullptr)
                               : nullptr;
      if (expiry != nullptr && hashed && expiryLength >= 4) {
        if (KeyInfo* k = qoxKeyToKeyInfo(owner))
          k->validityDays = static_cast<uint16_t>(std::min<uint32_t>(Be32(expiry) / kSecondsPerDay, 0xFFFF));
      }
      break;
    }
    default:
      break;
  }
  return kQOXErrNoErr;
}

void qoxCopyObjectTrust(QOXKeyDBObj* from, QOXKeyDBObj* to) {
  switch (qoxObjectTypeOfFlags(to->flags)) {
    case kQOXKeyDBObjType_Sig: {
      SigInfo* f = qoxSigToSigInfo(from);
      SigInfo* t = qoxSigToSigInfo(to);
      if (f == nullptr || t == nullptr) return;
      if ((f->trustByte & kQOXSigTrust_Checked) != 0 && (t->trustByte & kQOXSigTrust_Checked) == 0 &&
          (t->sigFlags & kQOXSigFlag_PrimaryUserID) != 0 && t->signer == qoxObjTopKey(to))
        qoxKeyClearPrimaryUserIDs(t->signer, kQOXAttributeTypeAll);
      t->trustByte = std::max(t->trustByte, f->trustByte);
      return;
    }
    case kQOXKeyDBObjType_CRL: {
      CRLInfo* f = qoxCRLToCRLInfo(from);
      CRLInfo* t = qoxCRLToCRLInfo(to);
      if (f != nullptr && t != nullptr) t->trustByte = std::max(t->trustByte, f->trustByte);
      return;
    }
    case kQOXKeyDBObjType_Unknown: {
      UnkInfo* f = qoxUnkToUnkInfo(from);
      UnkInfo* t = qoxUnkToUnkInfo(to);
      if (f != nullptr && t != nullptr) t->trustByte = std::max(t->trustByte, f->trustByte);
      return;
    }
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey: {
      KeyInfo* f = qoxKeyToKeyInfo(from);
      KeyInfo* t = qoxKeyToKeyInfo(to);
      if (f == nullptr || t == nullptr) return;
      t->keyTrust = std::max(t->keyTrust, f->keyTrust);
      t->validityDays = std::max(t->validityDays, f->validityDays);
      return;
    }
    case kQOXKeyDBObjType_UserID: {
      UserIDInfo* f = qoxUserIDToUserIDInfo(from);
      UserIDInfo* t = qoxUserIDToUserIDInfo(to);
      if (f == nullptr || t == nullptr) return;
      constexpr uint8_t kTopBits = 0xC0;
      const uint8_t fo = f->trustByte & kQOXUserIDTrust_OldValidityMask;
      const uint8_t to2 = t->trustByte & kQOXUserIDTrust_OldValidityMask;
      t->trustByte = static_cast<uint8_t>(((f->trustByte | t->trustByte) & kTopBits) | std::max(fo, to2));
      t->validity = t->validity == kQOXTrustExternUndefined ? f->validity : std::max(t->validity, f->validity);
      t->confidence =
          t->confidence == kQOXTrustExternUndefined ? f->confidence : std::max(t->confidence, f->confidence);
      t->internalValidity = std::max(t->internalValidity, f->internalValidity);
      return;
    }
    default:
      return;
  }
}

QOXError qoxKeyCleanup(QOXKeyDBObj* key) {
  if (!IsType(key, kQOXKeyDBObjType_Key)) return kQOXErrNoErr;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!IsType(c, kQOXKeyDBObjType_Sig) || !qoxKeyDBObjIsReal(c)) continue;
    const SigInfo* s = qoxSigToSigInfo(c);
    if (s->type != kQOXSigType_KeyRevocation || s->signer == key || s->signer == nullptr) continue;
    if (!Authorised(key, s->signer) || !RevocationStands(key, c)) qoxMarkKeyDBObjectDeleted(c);
  }
  return kQOXErrNoErr;
}

uint8_t* qoxKeyDBObjToPubData(QOXKeyDBObj* key, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(key, &length);
  if (packet == nullptr) return nullptr;
  const size_t prefix = qoxKeyParsePublicPrefix(packet, length);
  const size_t header = qoxPktBufferHeaderLen(packet, length);
  if (prefix == 0 || header == 0 || prefix <= header) return nullptr;
  const size_t bodyLength = prefix - header;
  const uint8_t tag = IsType(key, kQOXKeyDBObjType_Key) ? kQOXPktTag_PublicKey : kQOXPktTag_PublicSubKey;
  const uint8_t typeByte = static_cast<uint8_t>(tag * 4 + 0x81);
  const size_t newHeader = qoxPktHeaderLen(typeByte, static_cast<uint32_t>(bodyLength));
  QOXContext* context = qoxObjKeyDB(key)->context;
  auto* out = static_cast<uint8_t*>(qoxContextMemAlloc(context, newHeader + bodyLength, 0));
  if (out == nullptr) return nullptr;
  qoxPktHeaderPut(out, typeByte, static_cast<uint32_t>(bodyLength));
  std::memcpy(out + newHeader, packet + header, bodyLength);
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k != nullptr && (k->keyFlags & kQOXKeyFlag_MergedV2) != 0) out[newHeader] = kV2;
  if (outLength != nullptr) *outLength = newHeader + bodyLength;
  return out;
}

// --- Reading a file ---

namespace {

// The reader's packet buffer: context memory that grows.
struct ReadBuffer {
  QOXContext* context;
  uint8_t* bytes = nullptr;
  size_t size = 0;
  ~ReadBuffer() {
    if (bytes != nullptr) qoxContextMemFree(context, bytes);
  }
  bool Reserve(size_t n) {
    if (n <= size) return true;
    void* block = bytes;
    if (qoxContextMemRealloc(context, &block, n, 0) != kQOXErrNoErr) return false;
    bytes = static_cast<uint8_t*>(block);
    size = n;
    return true;
  }
};

bool IsKeyTag(uint8_t tag) { return tag == kQOXPktTag_SecretKey || tag == kQOXPktTag_PublicKey; }

// Packets that take no part in the objects and are never counted as lost.
bool Ignorable(uint8_t tag) { return tag == kQOXPktTag_Trust || tag == kQOXPktTag_Skipped; }

// Moves to the first key packet; false when the file ends or a header
// cannot be read before one. Every other packet passed over, and a damaged
// header, is counted in *dropped.
bool SkipToFirstKey(QOXFile* file, uint32_t* dropped) {
  for (;;) {
    uint64_t total = 0, first = 0;
    QOXFileOffset position = 0;
    const int typeByte = qoxPktByteGet(file, &total, &first, &position);
    if (typeByte < 0) ++*dropped;
    if (typeByte <= 0) return false;
    const uint8_t tag = qoxPktTag(static_cast<uint8_t>(typeByte));
    if (IsKeyTag(tag)) return file->seek(file, position, SEEK_SET) == 0;
    if (!Ignorable(tag)) ++*dropped;
    if (qoxPktBodySkip(file, total, first) != kQOXErrNoErr) return false;
  }
}

}  // namespace

QOXError qoxReadKeyFile(QOXKeyDB* db, QOXFile* file, bool trusted) {
  if (!qoxKeyDBIsValid(db) || file == nullptr) return kQOXErrBadParams;
  // Packets that make or match no object: a trusted read records them in
  // the database, which then may not be written back.
  uint32_t dropped = 0;
  struct Record {
    QOXKeyDB* db;
    bool trusted;
    uint32_t& dropped;
    ~Record() {
      if (trusted) db->droppedPackets += dropped;
    }
  } record{db, trusted, dropped};
  // What is read may change objects already here (merged packets, trust).
  qoxKeyDBTakeChangeStamp(db);
  if (!SkipToFirstKey(file, &dropped)) return kQOXErrNoErr;
  ReadBuffer buffer{db->context};
  const QOXEnv* env = qoxContextGetEnvironment(db->context);
  QOXKeyDBObj* currentKey = nullptr;
  QOXKeyDBObj* currentParent = nullptr;
  QOXKeyDBObj* lastObject = nullptr;
  QOXError result = kQOXErrNoErr;
  for (;;) {
    uint64_t total = 0, first = 0;
    const int typeByte = qoxPktByteGet(file, &total, &first, nullptr);
    if (typeByte < 0) ++dropped;  // a damaged header ends the read
    if (typeByte <= 0) break;
    const auto type = static_cast<uint8_t>(typeByte);
    const uint8_t tag = qoxPktTag(type);
    if (total > kQOXPktMaxBodyLength) {
      if (!Ignorable(tag)) ++dropped;
      if (QOXError err = qoxPktBodySkip(file, total, first); err != kQOXErrNoErr) {
        result = err;
        break;
      }
      continue;
    }
    const auto bodyLength = static_cast<uint32_t>(total);
    const size_t header = qoxPktHeaderLen(type, bodyLength);
    if (!buffer.Reserve(header + bodyLength)) {
      if (!Ignorable(tag)) ++dropped;
      if (QOXError err = qoxPktBodySkip(file, total, first); err != kQOXErrNoErr) {
        result = err;
        break;
      }
      continue;
    }
    qoxPktHeaderPut(buffer.bytes, type, bodyLength);
    if (qoxPktBodyRead(buffer.bytes + header, total, first, file) != total) {
      ++dropped;  // a short body ends the read
      break;
    }
    const uint8_t* packet = buffer.bytes;
    const size_t length = header + bodyLength;
    const bool haveKey = IsType(currentKey, kQOXKeyDBObjType_Key);
    QOXError err = kQOXErrNoErr;
    QOXKeyDBObj* made = nullptr;
    switch (tag) {
      case kQOXPktTag_SecretKey:
      case kQOXPktTag_PublicKey:
        if (currentKey != nullptr) qoxKeyCleanup(currentKey);
        made = currentKey = currentParent = lastObject = qoxAddKey(tag, packet, length, db, nullptr, trusted, &err);
        break;
      case kQOXPktTag_SecretSubKey:
      case kQOXPktTag_PublicSubKey:
        if (!haveKey) break;
        made = currentParent = lastObject = qoxAddKey(tag, packet, length, db, currentKey, trusted, &err);
        break;
      case kQOXPktTag_UserID:
      case kQOXPktTag_UserAttribute:
        if (!haveKey) break;
        made = currentParent = lastObject = qoxAddUserID(tag, packet, length, db, currentKey, &err);
        break;
      case kQOXPktTag_Signature:
        if (currentParent == nullptr || !haveKey) break;
        made = lastObject = qoxAddSig(tag, packet, length, db, currentParent, &err);
        break;
      case kQOXPktTag_CRL:
        if (currentParent == nullptr || !haveKey) break;
        // A CRL belongs to the key: the ring writer puts one that arrived
        // after a subkey behind that subkey, so it is read back under the
        // current key.
        if (!IsType(currentParent, kQOXKeyDBObjType_Key)) currentParent = currentKey;
        made = lastObject = qoxAddCRL(tag, packet, length, db, currentParent, &err);
        break;
      case kQOXPktTag_Trust:
        if (lastObject != nullptr && trusted) qoxTrustPacket(packet, length, db, lastObject, env);
        break;
      case kQOXPktTag_Skipped:
        break;
      default:
        if (currentParent == nullptr) break;
        made = lastObject = qoxAddUnknown(tag, packet, length, db, currentParent, &err);
        break;
    }
    if (err != kQOXErrNoErr) {
      result = err;
      break;
    }
    if (made == nullptr && !Ignorable(tag)) ++dropped;
  }
  if (currentKey != nullptr) qoxKeyCleanup(currentKey);
  return result;
}

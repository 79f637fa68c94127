#include "keydb/sig_check.h"

#include <cstring>

#include "crypto/hash.h"
#include "crypto/pkalg.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"
#include "keydb/crl_packet.h"
#include "keydb/front_end.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_ops.h"
#include "keydb/key_packet.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_flat.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check_services.h"
#include "keydb/sig_data.h"
#include "keydb/sig_make.h"
#include "keydb/sig_packet.h"
#include "keydb/x509_services.h"


namespace {

constexpr uint8_t kCheckBits = kQOXSigTrust_Checked | kQOXSigTrust_Tried;
constexpr uint8_t kDoneBits = kCheckBits | kQOXSigTrust_Revoked;
constexpr uint8_t kKeyFrame = 0x99;
constexpr uint8_t kUserIDFrame = 0xB4;
constexpr uint8_t kAttributeFrame = 0xD1;
constexpr uint32_t kSecondsPerDay = 86400;
constexpr size_t kV3HashedMaterial = 5;
// Signature format of the public-key step: PKCS #1 block with DigestInfo.
constexpr int kSigFormatNative = 1;
// The X.509 certificate of a signature: kind 1 sub-subpacket, then the
// bridge's byte 1 and the conversion version.
constexpr size_t kX509Prefix = 3;

// The progress record of one run.
struct Progress {
  QOXContext* context;
  QOXEventHandlerProcPtr handler;
  void* userValue;
  uint32_t total;
  uint32_t done;
};

// Errors of the public-key step that describe the signature's own bytes
// (its body, version, type, hash, or a number that does not decrypt to a
// signature block): the signature is bad, the run goes on.
bool IsSignatureError(QOXError code) {
  switch (code) {
    case kQOXErrCorruptData:
    case kQOXErrUnknownHashNumber:
    case kQOXErrUnknownVersion:
    case kQOXErrUnknownSignatureType:
    case kQOXErrBadSignatureSize:
    case kQOXErrSignatureBitsWrong:
    case kQOXErrBadSigExtraData:
      return true;
    default:
      return false;
  }
}

bool IsType(QOXKeyDBObj* object, int32_t type) { return qoxObjectType(object) == type; }

void MarkDirty(QOXKeyDB* db) { db->dirty = 1; }

// Adds the key to the set of changed keys (when given) unless it is there.
QOXError NoteChanged(QOXKeySet* changed, QOXKeyDBObj* key) {
  if (changed == nullptr || qoxKeySetIsMember(key, changed)) return kQOXErrNoErr;
  return QOXAddKey(key, changed);
}

// The body of a whole packet (after its header); null when it holds none.
const uint8_t* Body(const uint8_t* packet, size_t length, size_t* outLength) {
  *outLength = 0;
  const size_t header = qoxPktBufferHeaderLen(packet, length);
  if (header == 0 || header > length) return nullptr;
  *outLength = length - header;
  return packet + header;
}

// The progress callback: one null event per signature tried.
QOXError CheckKeysCallback(void* argument, QOXKeyDBObj*, bool) {
  auto* progress = static_cast<Progress*>(argument);
  if (progress == nullptr || progress->handler == nullptr) return kQOXErrNoErr;
  ++progress->done;
  return qoxEventNull(progress->context, nullptr, progress->handler, progress->userValue, progress->done,
                      progress->total);
}

// Whether the signature is to be checked, and by which signer (null: its
// signer is not known).
bool CheckableSig(QOXKeyDBObj* sig, QOXKeyDB* otherDB, bool checkAll, bool revocationsOnly,
                  QOXKeyDBObj** outSigner) {
  *outSigner = nullptr;
  SigInfo* s = qoxSigToSigInfo(sig);
  if (s == nullptr) return false;
  QOXKeyDBObj* signer = s->signer;
  if (!qoxKeyDBObjIsReal(signer)) {
    signer = nullptr;
    if (otherDB != nullptr) {
      QOXKeyID id;
      if (s->signer == nullptr || qoxKeyID8(s->signer, nullptr, &id) != kQOXErrNoErr) return false;
      QOXKeyDBObj* found = nullptr;
      if (qoxGetKeyByKeyID(otherDB, &id, true, true, &found) != kQOXErrNoErr || found == nullptr) return false;
      if (qoxKeyDBObjIsReal(found)) signer = found;
    }
  }
  if (signer != nullptr) {
    if (!checkAll && (s->trustByte & kDoneBits) != 0) return false;
    if (revocationsOnly && s->type != kQOXSigType_KeyRevocation) return false;
  }
  *outSigner = signer;
  return true;
}

// A good self-signature: the key expiration it states, and a fresh
// primary-user-ID choice.
void ApplySelfSig(QOXKeyDBObj* sig, QOXKeyDBObj* signer, uint8_t oldTrust, const uint8_t* packet,
                  size_t length) {
  QOXKeyDBObj* signedObject = qoxObjParent(sig);
  const bool onKey = IsType(signedObject, kQOXKeyDBObjType_Key);
  QOXKeyDBObj* owner = onKey ? signedObject : qoxObjTopKey(signedObject);
  if (owner != signer) return;
  size_t expiryLength = 0;
  const uint8_t* expiry =
      qoxSigFindSubpacket(packet, length, kQOXSubpacket_KeyExpiration, 0, &expiryLength, nullptr, nullptr, nullptr,
                          nullptr);
  if (expiry != nullptr && expiryLength >= 4) {
    const uint32_t seconds = LoadBE32(expiry);
    uint32_t days = seconds / kSecondsPerDay;
    // A key that expires within its first day still expires: 0 would read
    // as "never".
    if (seconds != 0 && days == 0) days = 1;
    QOXKeyDBObj* target = IsType(signedObject, kQOXKeyDBObjType_SubKey) ? signedObject : owner;
    if (KeyInfo* k = qoxKeyToKeyInfo(target)) k->validityDays = static_cast<uint16_t>(days);
  }
  if (IsType(signedObject, kQOXKeyDBObjType_UserID) && (oldTrust & kQOXSigTrust_Checked) == 0) {
    const SigInfo* s = qoxSigToSigInfo(sig);
    if ((s->sigFlags & kQOXSigFlag_PrimaryUserID) != 0) qoxKeyClearPrimaryUserIDs(owner, kQOXAttributeTypeAll);
  }
}

// The check of a signature by a known signer.
QOXError CheckSig(QOXKeyDBObj* sig, QOXKeyDBObj* signer, uint8_t* outChanged, uint8_t* outValid) {
  *outChanged = 0;
  *outValid = 0;
  QOXKeyDB* db = qoxObjKeyDB(sig);
  QOXContext* context = db->context;
  MemPool* pool = qoxPeekContextMemPool(context);
  QOXMemoryMgr* mgr = qoxPeekContextMemPoolMgr(context);
  if (pool == nullptr || mgr == nullptr) return kQOXErrOutOfMemory;
  const MemPool mark = *pool;
  SigInfo* s = qoxSigToSigInfo(sig);
  const uint8_t oldTrust = s->trustByte;
  uint8_t trust = oldTrust & static_cast<uint8_t>(~kCheckBits);
  QOXKeyDBObj* signedObject = qoxObjParent(sig);
  if (IsType(signedObject, kQOXKeyDBObjType_UserID)) {
    UserIDInfo* u = qoxUserIDToUserIDInfo(signedObject);
    if (u != nullptr && (u->trustByte & kQOXUserIDTrust_WarnOnly) != 0) {
      u->trustByte &= static_cast<uint8_t>(~kQOXUserIDTrust_WarnOnly);
      MarkDirty(db);
    }
  }
  QOXError result = kQOXErrNoErr;
  if ((s->sigFlags & kQOXSigFlag_X509) != 0) {
    trust |= kQOXSigTrust_Tried;
    if (qoxSigX509Valid(sig, signer)) trust |= kQOXSigTrust_Checked;
  } else if (const QOXHashVTBL* vtbl = qoxHashByNumber(s->hashAlgorithm); vtbl != nullptr) {
    // An unknown hash leaves the signature untried.
    QOXHashContext* hash = qoxHashCreate(mgr, vtbl);
    if (hash == nullptr) {
      result = kQOXErrOutOfMemory;
    } else if (result = qoxHashObjParents(hash, sig, s->version > 3); result == kQOXErrNoErr) {
      size_t length = 0;
      const uint8_t* packet = qoxFetchObject(sig, &length);
      size_t bodyLength = 0;
      const uint8_t* body = packet != nullptr ? Body(packet, length, &bodyLength) : nullptr;
      if (packet == nullptr) {
        result = qoxKeyDBError(db) != kQOXErrNoErr ? qoxKeyDBError(db) : kQOXErrOutOfMemory;
      } else {
        trust |= kQOXSigTrust_Tried;
        size_t extraLength = 0;
        const uint8_t* extra = qoxSigParseExtra(packet, length, &extraLength);
        const bool v4 = s->version > 3;
        // Older signatures with other hashed material are verified only
        // directly on a key.
        const bool verify = extra != nullptr && body != nullptr &&
                            (v4 || extraLength == kV3HashedMaterial || IsType(signedObject, kQOXKeyDBObjType_Key));
        if (verify) {
          vtbl->update(hash->state, extra, extraLength);
          if (v4) {
            const uint8_t trailer[6] = {4, 0xFF, static_cast<uint8_t>(extraLength >> 24),
                                        static_cast<uint8_t>(extraLength >> 16), static_cast<uint8_t>(extraLength >> 8),
                                        static_cast<uint8_t>(extraLength)};
            vtbl->update(hash->state, trailer, sizeof trailer);
          }
          const int answer = qoxSigDataCheckBuf(body, bodyLength, signer, qoxHashFinal(hash));
          if (answer < 0) {
            if (!qoxIsKeyRelatedError(answer) && !IsSignatureError(answer)) result = answer;
          } else if (answer == 1) {
            trust |= kQOXSigTrust_Checked;
            ApplySelfSig(sig, signer, oldTrust, packet, length);
          }
        }
      }
    }
  }
  *outValid = (trust & kQOXSigTrust_Checked) != 0 ? 1 : 0;
  if (trust != s->trustByte) {
    MarkDirty(db);
    s->trustByte = trust;
    *outChanged = 1;
  }
  // The hash context lives in the scratch pool: the cut-back frees it.
  qoxContextMemPoolCutBack(context, &mark);
  return result;
}

// Checks one signature, by the back end when backEnd is set.
QOXError CheckOne(QOXKeyDB* db, QOXKeyDBObj* sig, QOXKeyDB* otherDB, bool checkAll, bool revocationsOnly,
                  bool backEnd, uint8_t* tried, uint8_t* changed, uint8_t* valid) {
  if (!backEnd) return qoxCheckSig_internal(db, sig, otherDB, checkAll, revocationsOnly, tried, changed, valid);
  return qoxCheckSig_back(db->context, db->backendID, qoxKeyDBObjID(sig),
                          otherDB != nullptr ? otherDB->backendID : 0, checkAll, revocationsOnly, tried, changed,
                          valid);
}

// --- CRLs ---

QOXError CheckOneCRL(QOXKeyDBObj* key, QOXKeyDBObj* crl, QOXKeySet* changed) {
  QOXKeyDB* db = qoxObjKeyDB(key);
  QOXPubKey* pub = qoxKeyPubKey(key, 0);
  if (pub == nullptr) {
    const QOXError err = qoxKeyDBError(db);
    return qoxIsKeyRelatedError(err) ? kQOXErrNoErr : err;
  }
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(crl, &length);
  if (packet == nullptr) {
    pub->destroy(pub);
    return qoxKeyDBError(db);
  }
  size_t derLength = 0;
  const uint8_t* der = qoxCRLFindCRL(packet, length, &derLength);
  const QOXError verified = der == nullptr ? kQOXX509ErrCodec
                                           : qoxX509Services().qoxX509VerifySignedObject(db->context, pub, der,
                                                                                         derLength);
  pub->destroy(pub);
  CRLInfo* c = qoxCRLToCRLInfo(crl);
  if (c == nullptr) return qoxKeyDBError(db);
  const uint8_t old = c->trustByte;
  uint8_t trust = old;
  if (verified == kQOXErrNoErr) {
    trust |= kCheckBits;
  } else if (verified == kQOXErrInvalidCertSignature) {
    trust = static_cast<uint8_t>((old | kQOXSigTrust_Tried) & ~kQOXSigTrust_Checked);
  } else {
    return kQOXErrNoErr;  // not checkable now: the CRL stays as it was
  }
  if ((trust & kCheckBits) == (old & kCheckBits)) return kQOXErrNoErr;
  c->trustByte = trust;
  MarkDirty(db);
  return NoteChanged(changed, key);
}

// Marks the X.509 signatures made by the key whose certificates the CRL
// lists as revoked. Certificates that do not decode are passed over.
QOXError PropagateOneCRL(QOXKeyDBObj* key, QOXKeyDBObj* crl, QOXKeySet* changed) {
  QOXKeyDB* db = qoxObjKeyDB(key);
  QOXContext* context = db->context;
  const QOXX509Services& x509 = qoxX509Services();
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(crl, &length);
  if (packet == nullptr) return qoxKeyDBError(db);
  size_t derLength = 0;
  const uint8_t* der = qoxCRLFindCRL(packet, length, &derLength);
  if (der == nullptr) return kQOXErrNoErr;
  QOXX509CRL* decoded = nullptr;
  if (QOXError err = x509.qoxX509BufferToCRL(context, der, derLength, &decoded); err != kQOXErrNoErr)
    return err == kQOXErrOutOfMemory ? err : kQOXErrNoErr;
  const size_t entries = x509.qoxX509CRLRevokedCount(decoded);
  QOXError result = kQOXErrNoErr;
  size_t matches = 0;
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  for (QOXKeyDBObj* sig = k != nullptr ? k->sigsBy : nullptr; sig != nullptr && matches < entries;) {
    SigInfo* s = qoxSigToSigInfo(sig);
    if (s == nullptr) {
      result = qoxKeyDBError(db);
      break;
    }
    QOXKeyDBObj* next = s->nextBySigner;
    if ((s->sigFlags & kQOXSigFlag_X509) != 0) {
      size_t sigLength = 0;
      if (qoxFetchObject(sig, &sigLength) == nullptr) {
        result = qoxKeyDBError(db);
        break;
      }
      size_t certLength = 0;
      const uint8_t* cert = qoxSigX509Certificate(sig, &certLength);
      QOXX509Cert* decodedCert = nullptr;
      if (cert != nullptr) {
        const QOXError err = x509.qoxX509BufferToCert(context, cert, certLength, &decodedCert);
        if (err == kQOXErrOutOfMemory) {
          result = err;
          break;
        }
      }
      const uint8_t* serial = nullptr;
      size_t serialLength = 0;
      if (decodedCert != nullptr &&
          x509.qoxX509CertSerialNumber(decodedCert, &serial, &serialLength) == kQOXErrNoErr) {
        for (size_t i = 0; i < entries; ++i) {
          const uint8_t* revoked = nullptr;
          size_t revokedLength = 0;
          if (x509.qoxX509CRLRevokedSerial(decoded, i, &revoked, &revokedLength) != kQOXErrNoErr) continue;
          if (revokedLength != serialLength || std::memcmp(revoked, serial, serialLength) != 0) continue;
          if ((s->trustByte & kQOXSigTrust_Revoked) == 0) {
            s->trustByte |= kQOXSigTrust_Revoked;
            MarkDirty(db);
            result = NoteChanged(changed, qoxObjTopKey(sig));
          }
          ++matches;
          break;
        }
      }
      if (decodedCert != nullptr) x509.qoxX509FreeCert(context, decodedCert);
      if (result != kQOXErrNoErr) break;
    }
    sig = next;
  }
  x509.qoxX509FreeCRL(context, decoded);
  return result;
}

QOXError CheckCRLs(QOXKeySet* set, bool checkAll, QOXKeySet* changed) {
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key) || !qoxKeySetIsMember(key, set)) continue;
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (!IsType(c, kQOXKeyDBObjType_CRL) || !qoxKeyDBObjIsReal(c)) continue;
      const CRLInfo* info = qoxCRLToCRLInfo(c);
      if (info == nullptr) return qoxKeyDBError(set->keyDB);
      if (checkAll || (info->trustByte & kCheckBits) == 0) {
        if (QOXError err = CheckOneCRL(key, c, changed); err != kQOXErrNoErr) return err;
      }
      if ((qoxCRLToCRLInfo(c)->trustByte & kQOXSigTrust_Checked) != 0) {
        if (QOXError err = PropagateOneCRL(key, c, changed); err != kQOXErrNoErr) return err;
      }
    }
  }
  return kQOXErrNoErr;
}

// Feeds the chain from the top-level key down to `last` (included).
QOXError HashChain(QOXHashContext* hash, QOXKeyDBObj* last, bool version4) {
  QOXKeyDBObj* chain[4];
  size_t n = 0;
  for (QOXKeyDBObj* o = last; o != nullptr && n < 4; o = qoxObjParent(o)) {
    chain[n++] = o;
    if (IsType(o, kQOXKeyDBObjType_Key)) break;
  }
  while (n > 0) {
    if (QOXError err = qoxHashObj(hash, chain[--n], version4); err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

}  // namespace

// --- Hashing ---

QOXError qoxHashObj(QOXHashContext* hash, QOXKeyDBObj* object, bool version4) {
  if (hash == nullptr || hash->vtbl == nullptr || !qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  QOXKeyDB* db = qoxObjKeyDB(object);
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(object, &length);
  if (packet == nullptr) return qoxKeyDBError(db) != kQOXErrNoErr ? qoxKeyDBError(db) : kQOXErrItemNotFound;
  size_t bodyLength = 0;
  const uint8_t* body = Body(packet, length, &bodyLength);
  if (body == nullptr) return kQOXErrItemNotFound;
  const QOXHashVTBL* vtbl = hash->vtbl;
  const int32_t type = qoxObjectType(object);
  if (type == kQOXKeyDBObjType_Key || type == kQOXKeyDBObjType_SubKey) {
    const KeyInfo* k = qoxKeyToKeyInfo(object);
    if (k != nullptr && (k->keyFlags & kQOXKeyFlag_Secret) != 0) {
      // A secret key is hashed in its public form.
      const size_t prefix = qoxKeyParsePublicPrefix(packet, length);
      if (prefix == 0 || prefix < length - bodyLength) return kQOXErrItemNotFound;
      bodyLength = prefix - (length - bodyLength);
    }
    const uint8_t frame[3] = {kKeyFrame, static_cast<uint8_t>(bodyLength >> 8), static_cast<uint8_t>(bodyLength)};
    vtbl->update(hash->state, frame, sizeof frame);
  } else if (type == kQOXKeyDBObjType_UserID && version4) {
    const UserIDInfo* u = qoxUserIDToUserIDInfo(object);
    const bool attribute = u != nullptr && (u->userIDFlags & kQOXUserIDFlag_Attribute) != 0;
    const uint8_t frame[5] = {attribute ? kAttributeFrame : kUserIDFrame, static_cast<uint8_t>(bodyLength >> 24),
                              static_cast<uint8_t>(bodyLength >> 16), static_cast<uint8_t>(bodyLength >> 8),
                              static_cast<uint8_t>(bodyLength)};
    vtbl->update(hash->state, frame, sizeof frame);
  }
  if (bodyLength != 0) vtbl->update(hash->state, body, bodyLength);
  return kQOXErrNoErr;
}

QOXError qoxHashObjParents(QOXHashContext* hash, QOXKeyDBObj* object, bool version4) {
  if (hash == nullptr || !qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  QOXKeyDBObj* parent = qoxObjParent(object);
  if (parent == nullptr) return kQOXErrNoErr;
  return HashChain(hash, parent, version4);
}

int32_t qoxSignObj(QOXKeyDBObj* object, QOXSigSpec* sigSpec, uint8_t** outSig) {
  if (outSig == nullptr) return kQOXErrBadParams;
  *outSig = nullptr;
  if (!qoxKeyDBObjIsValid(object) || sigSpec == nullptr) return kQOXErrBadParams;
  QOXContext* context = qoxObjKeyDB(object)->context;
  MemPool* pool = qoxPeekContextMemPool(context);
  QOXMemoryMgr* mgr = qoxPeekContextMemPoolMgr(context);
  if (pool == nullptr || mgr == nullptr) return kQOXErrUnknownHashNumber;
  const MemPool mark = *pool;
  const QOXHashVTBL* vtbl = qoxSigSpecHash(sigSpec);
  QOXHashContext* hash = vtbl != nullptr ? qoxHashCreate(mgr, vtbl) : nullptr;
  int32_t result = kQOXErrUnknownHashNumber;
  if (hash != nullptr) {
    result = HashChain(hash, object, qoxSigSpecVersion(sigSpec) > 3);
    if (result == kQOXErrNoErr) result = qoxMakeSig(sigSpec, hash, outSig);
  }
  qoxContextMemPoolCutBack(context, &mark);
  return result;
}

// --- One signature ---

QOXError qoxCheckSig_internal(QOXKeyDB* db, QOXKeyDBObj* sig, QOXKeyDB* otherDB, bool checkAll,
                              bool revocationsOnly, uint8_t* outTried, uint8_t* outChanged, uint8_t* outValid) {
  *outTried = 0;
  *outChanged = 0;
  *outValid = 0;
  QOXKeyDBObj* signer = nullptr;
  if (!CheckableSig(sig, otherDB, checkAll, revocationsOnly, &signer)) return kQOXErrNoErr;
  if (signer != nullptr) {
    *outTried = 1;
    return CheckSig(sig, signer, outChanged, outValid);
  }
  SigInfo* s = qoxSigToSigInfo(sig);
  const uint8_t trust = s->trustByte & static_cast<uint8_t>(~kCheckBits);
  if (trust != s->trustByte) {
    s->trustByte = trust;
    MarkDirty(db);
    *outChanged = 1;
  }
  return kQOXErrNoErr;
}

QOXError qoxCheckOneSig(QOXKeyDBObj* sig, QOXKeyDB* otherDB) {
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  QOXKeyDB* db = qoxObjKeyDB(sig);
  if (otherDB == db) otherDB = nullptr;
  uint8_t tried = 0, changed = 0, valid = 0;
  const bool frontEnd = qoxFrontEndKeyDB(db);
  const QOXError err = CheckOne(db, sig, otherDB, false, false, frontEnd, &tried, &changed, &valid);
  if (err == kQOXErrNoErr && frontEnd && changed) {
    // The front end's copy of the key is stale: fetch it again.
    uintptr_t id = qoxKeyDBObjID(qoxObjTopKey(sig));
    auto* list = static_cast<uintptr_t*>(qoxContextMemAlloc(db->context, sizeof id, 0));
    if (list == nullptr) return kQOXErrOutOfMemory;
    *list = id;
    qoxKeyRefreshFromList(db, list, sizeof id);
  }
  return err;
}

// --- The walk ---

uint32_t qoxCountCheckableKeySigs(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, bool revocationsOnly) {
  if (!qoxKeySetIsValid(set)) return 0;
  uint32_t count = 0;
  auto count1 = [&](QOXKeyDBObj* o) {
    if (!IsType(o, kQOXKeyDBObjType_Sig) || !qoxKeyDBObjIsReal(o) || !qoxKeySetIsMember(o, set)) return;
    QOXKeyDBObj* signer = nullptr;
    if (CheckableSig(o, otherDB, checkAll, revocationsOnly, &signer) && signer != nullptr) ++count;
  };
  for (QOXKeyDBObj* key = set->keyDB->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key) || !qoxKeySetIsMember(key, set)) continue;
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (!qoxKeyDBObjIsReal(c) || !qoxKeySetIsMember(c, set)) continue;
      count1(c);
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) count1(g);
    }
  }
  return count;
}

QOXError qoxCheckKeySigs(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, bool revocationsOnly, bool backEnd,
                         QOXSigCheckCallback callback, void* argument, QOXKeySet* changedKeys) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  QOXKeyDB* db = set->keyDB;
  if (!backEnd) {
    if (QOXError err = CheckCRLs(set, checkAll, nullptr); err != kQOXErrNoErr) return err;
  }
  auto check = [&](QOXKeyDBObj* key, QOXKeyDBObj* sig) -> QOXError {
    uint8_t tried = 0, changed = 0, valid = 0;
    if (QOXError err = CheckOne(db, sig, otherDB, checkAll, revocationsOnly, backEnd, &tried, &changed, &valid);
        err != kQOXErrNoErr)
      return err;
    if (changed) {
      if (QOXError err = NoteChanged(changedKeys, key); err != kQOXErrNoErr) return err;
    }
    if (tried && callback != nullptr) return callback(argument, sig, valid != 0);
    return kQOXErrNoErr;
  };
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key) || !qoxKeySetIsMember(key, set)) continue;
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (!qoxKeyDBObjIsReal(c) || !qoxKeySetIsMember(c, set)) continue;
      if (IsType(c, kQOXKeyDBObjType_Sig)) {
        if (QOXError err = check(key, c); err != kQOXErrNoErr) return err;
      }
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
        if (!IsType(g, kQOXKeyDBObjType_Sig) || !qoxKeyDBObjIsReal(g) || !qoxKeySetIsMember(g, set)) continue;
        if (QOXError err = check(key, g); err != kQOXErrNoErr) return err;
      }
    }
  }
  return kQOXErrNoErr;
}

QOXError qoxCheckKeyRingSigs_internal(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll,
                                      QOXEventHandlerProcPtr handler, void* userValue, QOXKeySet* changedKeys) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  Progress progress{set->keyDB->context, handler, userValue, 0, 0};
  if (handler != nullptr) progress.total = qoxCountCheckableKeySigs(set, otherDB, checkAll, false);
  return qoxCheckKeySigs(set, otherDB, checkAll, false, false, CheckKeysCallback, &progress, changedKeys);
}

QOXError qoxPrepareToCheckKeyRingSigs_internal(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll,
                                               uint32_t* outCount, QOXKeySet* changedKeys) {
  *outCount = 0;
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  *outCount = qoxCountCheckableKeySigs(set, otherDB, checkAll, false);
  return CheckCRLs(set, checkAll, changedKeys);
}

namespace {

// The front-end run: the back end checks, the front end refreshes the keys
// that changed.
QOXError CheckFrontEnd(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, QOXEventHandlerProcPtr handler,
                       void* userValue) {
  QOXKeyDB* db = set->keyDB;
  QOXContext* context = db->context;
  QOXFlatKeyWord* keys = nullptr;
  size_t keysLength = 0;
  if (QOXError err = qoxKeySetFlatten(set, &keys, &keysLength); err != kQOXErrNoErr) return err;
  const uintptr_t other = otherDB != nullptr ? otherDB->backendID : 0;
  uintptr_t* changedList = nullptr;
  size_t changedLength = 0;
  QOXError err = kQOXErrNoErr;
  if (handler == nullptr) {
    err = qoxCheckKeyRingSigs_back(context, db->backendID, keys, keysLength, other, checkAll, &changedList,
                                   &changedLength);
    if (keys != nullptr) qoxContextMemFree(context, keys);
    if (err != kQOXErrNoErr) return err;
    qoxKeyRefreshFromList(db, changedList, changedLength);
    return kQOXErrNoErr;
  }
  uint32_t count = 0;
  err = qoxPrepareToCheckKeyRingSigs_back(context, db->backendID, keys, keysLength, other, checkAll, &count,
                                          &changedList, &changedLength);
  if (keys != nullptr) qoxContextMemFree(context, keys);
  if (err != kQOXErrNoErr) return err;
  QOXKeySet* changed = nullptr;
  if (err = qoxKeySetUnflattenFree(db, changedList, changedLength, &changed); err != kQOXErrNoErr) return err;
  Progress progress{context, handler, userValue, count, 0};
  err = qoxCheckKeySigs(set, otherDB, checkAll, false, true, CheckKeysCallback, &progress, changed);
  if (err != kQOXErrNoErr) {
    qoxFreeKeySet(changed, false);
    return err;
  }
  return qoxKeySetRefreshFree(changed);
}

}  // namespace

QOXError QOXCheckKeyRingSigs(QOXKeySet* set, QOXKeyDB* otherDB, bool checkAll, QOXEventHandlerProcPtr handler,
                             void* userValue) {
  if (!qoxKeySetIsValid(set)) return kQOXErrBadParams;
  if (otherDB != nullptr && !qoxKeyDBIsValid(otherDB)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (otherDB == set->keyDB) otherDB = nullptr;
  const QOXError err = qoxFrontEndKeyDB(set->keyDB)
                           ? CheckFrontEnd(set, otherDB, checkAll, handler, userValue)
                           : qoxCheckKeyRingSigs_internal(set, otherDB, checkAll, handler, userValue, nullptr);
  if (err != kQOXErrNoErr) return err;
  return qoxSigCheckServices().QOXCalculateTrust(set, otherDB);
}

// --- X.509 signatures ---

bool qoxSigX509Valid(QOXKeyDBObj* sig, QOXKeyDBObj* signer) {
  QOXKeyDBObj* userID = qoxObjParent(sig);
  QOXKeyDBObj* key = qoxObjParent(userID);
  if (!IsType(userID, kQOXKeyDBObjType_UserID) || !IsType(key, kQOXKeyDBObjType_Key)) return false;
  QOXKeyDB* db = qoxObjKeyDB(sig);
  QOXContext* context = db->context;
  MemPool* pool = qoxPeekContextMemPool(context);
  if (pool == nullptr) return false;
  const QOXX509Services& x509 = qoxX509Services();
  size_t sigLength = 0;
  const uint8_t* sigPacket = qoxFetchObject(sig, &sigLength);
  if (sigPacket == nullptr) return false;
  size_t subLength = 0;
  const uint8_t* sub =
      qoxSigFindORVSubSubpacket(sigPacket, sigLength, kQOXX509SubpacketKind_Certificate, 0, &subLength, nullptr,
                                nullptr);
  if (sub == nullptr || subLength < kX509Prefix || sub[1] != 1) return false;
  const int conversion = sub[2];
  const uint8_t* der = sub + kX509Prefix;
  const size_t derLength = subLength - kX509Prefix;
  QOXPubKey* pub = qoxKeyPubKey(signer, kQOXKeyUse_Sign);
  if (pub == nullptr) return false;
  const QOXError verified = x509.qoxX509VerifySignedObject(context, pub, der, derLength);
  pub->destroy(pub);
  if (verified != kQOXErrNoErr) return false;
  QOXX509Cert* cert = nullptr;
  if (x509.qoxX509BufferToCert(context, der, derLength, &cert) != kQOXErrNoErr) return false;
  const MemPool mark = *pool;
  // Each rebuilt packet body must equal the stored one.
  auto same = [&](QOXKeyDBObj* object, const uint8_t* rebuilt, size_t rebuiltLength) {
    size_t length = 0;
    const uint8_t* packet = qoxFetchObject(object, &length);
    size_t bodyLength = 0;
    const uint8_t* body = packet != nullptr ? Body(packet, length, &bodyLength) : nullptr;
    if (body == nullptr || rebuilt == nullptr) return false;
    if (IsType(object, kQOXKeyDBObjType_Key)) {
      const KeyInfo* k = qoxKeyToKeyInfo(object);
      if (k != nullptr && (k->keyFlags & kQOXKeyFlag_Secret) != 0) {
        const size_t prefix = qoxKeyParsePublicPrefix(packet, length);
        if (prefix == 0 || prefix < length - bodyLength) return false;
        bodyLength = prefix - (length - bodyLength);
      }
    }
    return bodyLength == rebuiltLength && std::memcmp(body, rebuilt, bodyLength) == 0;
  };
  uint8_t* bytes = nullptr;
  size_t length = 0;
  bool valid = x509.qoxX509CertToKeyBuffer(context, pool, db, cert, conversion, &bytes, &length) == kQOXErrNoErr &&
               same(key, bytes, length);
  valid = valid && x509.qoxX509CertToUserIDBuffer(context, pool, cert, conversion, &bytes, &length) == kQOXErrNoErr &&
          same(userID, bytes, length);
  valid = valid && x509.qoxX509CertToSigBuffer(context, pool, cert, conversion, &bytes, &length) == kQOXErrNoErr &&
          same(sig, bytes, length);
  x509.qoxX509FreeCert(context, cert);
  qoxContextMemPoolCutBack(context, &mark);
  return valid;
}

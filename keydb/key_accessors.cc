#include "keydb/key_accessors.h"

#include <cstring>
#include <vector>

#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check_services.h"
#include "keydb/sig_packet.h"

namespace {

uint32_t AlgorithmUses(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr ? qoxKeyAlgUse(qoxPkalgByNumber(k->algorithm)) : 0;
}

// The primary user ID of a kind, when it is real.
QOXError Primary(QOXKeyDBObj* key, uint32_t attributeType, QOXKeyDBObj** outUserID) {
  QOXKeyDBObj* userID = qoxKeyPrimaryUserID(key, attributeType);
  if (userID == nullptr || !qoxKeyDBObjIsReal(userID)) return kQOXErrItemNotFound;
  *outUserID = userID;
  return kQOXErrNoErr;
}

// The indexed revocation key (type 12) or additional recipient request
// (type 10).
QOXError IndexedKeyReference(QOXKeyDBObj* key, bool recipientRequest, uint32_t index, QOXKeyDBObj** outKey,
                             QOXKeyID* outKeyID, uint8_t* outClass) {
  if (outKey != nullptr) *outKey = nullptr;
  if (outKeyID != nullptr) std::memset(outKeyID, 0, sizeof *outKeyID);
  if (outClass != nullptr) *outClass = 0;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXError err = kQOXErrNoErr;
  QOXKeyID id;
  uint8_t klass = 0;
  QOXKeyDBObj* found = recipientRequest
                           ? qoxKeyAdditionalRecipientRequestKey(key, index, nullptr, &id, &klass, nullptr, &err)
                           : qoxKeyRevocationKey(key, index, nullptr, &id, &klass, nullptr, &err);
  if (err != kQOXErrNoErr) return err;
  if (outKey != nullptr) *outKey = found;
  if (outKeyID != nullptr) *outKeyID = id;
  if (outClass != nullptr) *outClass = klass;
  return kQOXErrNoErr;
}

QOXError CountKeyReferences(QOXKeyDBObj* key, uint8_t type, uint32_t* outCount) {
  if (outCount == nullptr) return kQOXErrBadParams;
  *outCount = 0;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  size_t count = 0;
  QOXError err = kQOXErrNoErr;
  qoxKeyFindSubpacket(key, type, 0, nullptr, nullptr, nullptr, nullptr, &count, &err);
  if (err == kQOXErrItemNotFound) return kQOXErrNoErr;
  if (err != kQOXErrNoErr) return err;
  *outCount = static_cast<uint32_t>(count);
  return kQOXErrNoErr;
}

// A long name of an X.509 signature's certificate (1603 or 1604).
QOXError LongName(QOXKeyDBObj* sig, KeyDBObjProperty property, std::vector<uint8_t>* out) {
  size_t length = 0;
  const auto number = static_cast<int32_t>(property);
  if (QOXError err = qoxGetSigPropertyBuffer(sig, number, nullptr, 0, &length); err != kQOXErrNoErr) return err;
  out->assign(length, 0);
  return qoxGetSigPropertyBuffer(sig, number, out->data(), out->size(), &length);
}

}  // namespace

QOXError QOXGetPrimaryUserID(QOXKeyDBObj* key, QOXKeyDBObj** outUserID) {
  return QOXGetPrimaryAttributeUserID(key, 0, outUserID);
}

QOXError QOXGetPrimaryAttributeUserID(QOXKeyDBObj* key, uint32_t attributeType, QOXKeyDBObj** outUserID) {
  if (outUserID == nullptr) return kQOXErrBadParams;
  *outUserID = nullptr;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return Primary(key, attributeType, outUserID);
}

QOXError QOXGetPrimaryUserIDName(QOXKeyDBObj* key, void* buffer, size_t bufferSize, size_t* outLength) {
  if (!qoxKeyIsValid(key) || (buffer == nullptr && outLength == nullptr)) return kQOXErrBadParams;
  if (outLength != nullptr) *outLength = 0;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeyDBObj* userID = nullptr;
  if (QOXError err = Primary(key, 0, &userID); err != kQOXErrNoErr) return err;
  return qoxGetUserIDStringBuffer(userID, static_cast<int32_t>(KeyDBObjProperty::UserIDName), buffer, bufferSize,
                                  outLength);
}

QOXError QOXGetPrimaryUserIDValidity(QOXKeyDBObj* key, int32_t* outValidity) {
  if (outValidity == nullptr) return kQOXErrBadParams;
  *outValidity = 0;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeyDBObj* userID = nullptr;
  if (QOXError err = Primary(key, 0, &userID); err != kQOXErrNoErr) return err;
  return qoxGetUserIDNumber(userID, static_cast<int32_t>(KeyDBObjProperty::UserIDValidity), outValidity);
}

QOXError QOXGetKeyForUsage(QOXKeyDBObj* key, uint32_t usageFlags, QOXKeyDBObj** outKey) {
  if (outKey == nullptr) return kQOXErrBadParams;
  *outKey = nullptr;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  const bool sign = (usageFlags & kQOXKeyUsage_SignMask) != 0;
  const bool encrypt = (usageFlags & kQOXKeyUsage_EncryptMask) != 0;
  if (!sign && !encrypt) return kQOXErrBadParams;
  QOXKeyDBObj* subKey = qoxKeySubkey(key, nullptr);
  QOXKeyDBObj* chosen = nullptr;
  if (encrypt && !sign) {
    QOXKeyDBObj* candidate = subKey != nullptr ? subKey : key;
    if ((AlgorithmUses(candidate) & kQOXPkAlgUseEncrypt) != 0) chosen = candidate;
  } else if (encrypt) {
    constexpr uint32_t kBoth = kQOXPkAlgUseSign | kQOXPkAlgUseEncrypt;
    if (subKey == nullptr && (AlgorithmUses(key) & kBoth) == kBoth) chosen = key;
  } else if ((AlgorithmUses(key) & kQOXPkAlgUseSign) != 0) {
    chosen = key;
  }
  if (chosen == nullptr) return kQOXErrUnimplementedPKOperation;
  *outKey = chosen;
  return kQOXErrNoErr;
}

QOXError qoxGetSigCertifierKey(QOXKeyDBObj* sig, QOXKeyDB* db, QOXKeyDBObj** outKey) {
  *outKey = nullptr;
  if (QOXKeyDBObj* maker = qoxSigMaker(sig)) {
    *outKey = maker;
    return kQOXErrNoErr;
  }
  if (db == nullptr) return kQOXErrItemNotFound;
  QOXKeyID id;
  if (QOXError err = qoxSigID8(sig, nullptr, &id); err != kQOXErrNoErr) return kQOXErrItemNotFound;
  QOXKeyDBObj* key = nullptr;
  if (QOXError err = qoxGetKeyByKeyID(db, &id, true, false, &key); err != kQOXErrNoErr) return err;
  if (key == nullptr || qoxKeyDBObjIsDummy(key)) return kQOXErrItemNotFound;
  *outKey = key;
  return kQOXErrNoErr;
}

QOXError QOXGetSigCertifierKey(QOXKeyDBObj* sig, QOXKeyDB* db, QOXKeyDBObj** outKey) {
  if (outKey == nullptr) return kQOXErrBadParams;
  *outKey = nullptr;
  if (!qoxSigIsValid(sig) || (db != nullptr && !qoxKeyDBIsValid(db))) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  return qoxGetSigCertifierKey(sig, db, outKey);
}

QOXError qoxGetKeyIDOfCertifier(QOXKeyDBObj* sig, QOXKeyID* outKeyID) {
  if (outKeyID == nullptr) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  return qoxSigID8(sig, nullptr, outKeyID);
}

QOXError QOXGetSigX509CertifierSig(QOXKeyDBObj* sig, QOXKeyDB* db, QOXKeyDBObj** outSig) {
  if (outSig == nullptr) return kQOXErrBadParams;
  *outSig = nullptr;
  if (!qoxSigIsValid(sig) || (db != nullptr && !qoxKeyDBIsValid(db))) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  if (!qoxSigIsX509(sig)) return kQOXErrBadParams;
  QOXKeyDBObj* certifier = nullptr;
  if (QOXError err = qoxGetSigCertifierKey(sig, db, &certifier); err != kQOXErrNoErr) return err;
  std::vector<uint8_t> issuer;
  if (QOXError err = LongName(sig, KeyDBObjProperty::SigX509IssuerLongName, &issuer); err != kQOXErrNoErr)
    return err;
  for (QOXKeyDBObj* u = certifier->child; u != nullptr; u = u->next) {
    if (!qoxKeyDBObjIsReal(u) || qoxObjectType(u) != kQOXKeyDBObjType_UserID) continue;
    for (QOXKeyDBObj* s = u->child; s != nullptr; s = s->next) {
      if (!qoxKeyDBObjIsReal(s) || qoxObjectType(s) != kQOXKeyDBObjType_Sig || !qoxSigIsX509(s)) continue;
      size_t length = 0;
      const auto subjectName = static_cast<int32_t>(KeyDBObjProperty::SigX509SubjectLongName);
      if (QOXError err = qoxGetSigPropertyBuffer(s, subjectName, nullptr, 0, &length); err != kQOXErrNoErr)
        return err;
      if (length != issuer.size()) continue;
      std::vector<uint8_t> subject;
      if (QOXError err = LongName(s, KeyDBObjProperty::SigX509SubjectLongName, &subject); err != kQOXErrNoErr)
        return err;
      if (subject == issuer) {
        *outSig = s;
        return kQOXErrNoErr;
      }
    }
  }
  return kQOXErrNoErr;
}

QOXError QOXCountRevocationKeys(QOXKeyDBObj* key, uint32_t* outCount) {
  return CountKeyReferences(key, kQOXSubpacket_RevocationKey, outCount);
}

QOXError QOXGetIndexedRevocationKey(QOXKeyDBObj* key, uint32_t index, QOXKeyDBObj** outKey, QOXKeyID* outKeyID) {
  return IndexedKeyReference(key, false, index, outKey, outKeyID, nullptr);
}

QOXError QOXCountAdditionalRecipientRequests(QOXKeyDBObj* key, uint32_t* outCount) {
  return CountKeyReferences(key, kQOXSubpacket_AdditionalRecipientRequest, outCount);
}

QOXError QOXGetIndexedAdditionalRecipientRequestKey(QOXKeyDBObj* key, uint32_t index, QOXKeyDBObj** outKey,
                                                    QOXKeyID* outKeyID, uint8_t* outClass) {
  return IndexedKeyReference(key, true, index, outKey, outKeyID, outClass);
}

QOXError QOXGetCRLDistributionPoints(QOXKeyDBObj* key, uint32_t* outCount, void** outBuffer, uint32_t** outSizes) {
  if (outCount != nullptr) *outCount = 0;
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (outSizes != nullptr) *outSizes = nullptr;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  uint32_t count = 0;
  uint8_t* buffer = nullptr;
  uint32_t* sizes = nullptr;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(qoxObjKeyDB(key)->context);
  if (QOXError err = qoxListCRLDistributionPoints(mgr, key, &count, &buffer, &sizes); err != kQOXErrNoErr)
    return err;
  if (outCount != nullptr) *outCount = count;
  if (outBuffer != nullptr) {
    *outBuffer = buffer;
  } else if (buffer != nullptr) {
    QOXFreeData(buffer);
  }
  if (outSizes != nullptr) {
    *outSizes = sizes;
  } else if (sizes != nullptr) {
    QOXFreeData(sizes);
  }
  return kQOXErrNoErr;
}

QOXError QOXSetKeyDBObjUserValue(QOXKeyDBObj* object, uintptr_t value) {
  if (!qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  object->userValue = value;
  return kQOXErrNoErr;
}

QOXError QOXGetKeyDBObjUserValue(QOXKeyDBObj* object, uintptr_t* outValue) {
  if (outValue == nullptr || !qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  *outValue = 0;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  *outValue = object->userValue;
  return kQOXErrNoErr;
}

QOXError QOXDeleteKeyDBObj(QOXKeyDBObj* object) {
  if (!qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (qoxKeyDBObjIsDeleted(object)) return kQOXErrObjectDeleted;
  QOXKeyDB* db = qoxObjKeyDB(object);
  if (QOXError err = qoxKeyDBRemoveObject(db, object); err != kQOXErrNoErr) return err;
  qoxKeyDBChanged(db, true);
  // Trust follows the deletion; its result is not the caller's concern.
  qoxSigCheckServices().QOXCalculateTrust(qoxKeyDBPeekRootSet(db), nullptr);
  return kQOXErrNoErr;
}

QOXContext* QOXPeekKeyDBContext(QOXKeyDB* db) { return qoxKeyDBIsValid(db) ? db->context : nullptr; }

QOXContext* QOXPeekKeySetContext(QOXKeySet* set) {
  QOXKeyDB* db = QOXPeekKeySetKeyDB(set);
  return db != nullptr ? QOXPeekKeyDBContext(db) : nullptr;
}

QOXKeyDB* QOXPeekKeyDBObjKeyDB(QOXKeyDBObj* object) {
  return qoxKeyDBObjIsValid(object) ? qoxObjKeyDB(object) : nullptr;
}

QOXKeyDBObj* QOXPeekKeyDBObjKey(QOXKeyDBObj* object) {
  return qoxKeyDBObjIsValid(object) ? qoxObjTopKey(object) : nullptr;
}

QOXKeyDBObj* QOXPeekKeyDBObjUserID(QOXKeyDBObj* object) {
  if (!qoxKeyDBObjIsValid(object)) return nullptr;
  if (qoxObjectType(object) == kQOXKeyDBObjType_UserID) return object;
  if (qoxObjectType(object) != kQOXKeyDBObjType_Sig) return nullptr;
  QOXKeyDBObj* parent = qoxObjParent(object);
  return parent != nullptr && qoxObjectType(parent) == kQOXKeyDBObjType_UserID ? parent : nullptr;
}

// Objects: tests, navigation, info records, making, linking by the child
// order, dummies, revival, deletion marks and refresh.
#include "keydb/key_db_obj.h"

#include <cstddef>
#include <cstring>

#include "foundation/context.h"
#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"
#include "keydb/child_index.h"
#include "keydb/front_end.h"
#include "keydb/handle_magic.h"
#include "keydb/key_db.h"
#include "keydb/key_tree.h"

namespace {

// Records hold pointers: they are taken aligned for any type.
constexpr size_t kRecordAlignment = alignof(std::max_align_t);

bool HasFlag(const QOXKeyDBObj* object, uint32_t flag) {
  return object != nullptr && (object->flags & flag) != 0;
}

int32_t TypeOf(const QOXKeyDBObj* object) { return qoxObjectTypeOfFlags(object->flags); }

bool IsKind(const QOXKeyDBObj* object, int32_t type) {
  return qoxKeyDBObjIsValid(object) && TypeOf(object) == type;
}

size_t InfoSizeOf(uint32_t flags) {
  switch (qoxObjectTypeOfFlags(flags)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      return sizeof(KeyInfo);
    case kQOXKeyDBObjType_UserID:
      return sizeof(UserIDInfo);
    case kQOXKeyDBObjType_Sig:
      return sizeof(SigInfo);
    case kQOXKeyDBObjType_CRL:
      return sizeof(CRLInfo);
    default:
      return sizeof(UnkInfo);
  }
}

// The info record, whatever its kind; an unfetched front-end object asks
// its back end for it first (null when it cannot be had).
void* InfoRecord(const QOXKeyDBObj* object) {
  if (object == nullptr) return nullptr;
  if ((object->flags & kQOXObjFlag_Unfetched) != 0) return qoxFetchInfoRecord(const_cast<QOXKeyDBObj*>(object));
  return object->info.record;
}

// The siblings a new child of each kind follows when the parent has no
// index: found by walking its children.
struct Lasts {
  QOXKeyDBObj* sig = nullptr;
  QOXKeyDBObj* userID = nullptr;
  QOXKeyDBObj* child = nullptr;
};

Lasts WalkLasts(QOXKeyDBObj* parent) {
  Lasts l;
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
    if (TypeOf(c) == kQOXKeyDBObjType_Sig) l.sig = c;
    if (TypeOf(c) == kQOXKeyDBObjType_UserID) l.userID = c;
    l.child = c;
  }
  return l;
}

void AppendKey(QOXKeyDB* db, QOXKeyDBObj* key) {
  key->parent = db;
  key->next = nullptr;
  if (db->lastKey != nullptr) {
    db->lastKey->next = key;
  } else {
    db->firstKey = key;
  }
  db->lastKey = key;
}

// Clears the trust a deleted object must not keep.
void ClearTrust(QOXKeyDBObj* object) {
  switch (TypeOf(object)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      if (KeyInfo* k = qoxKeyToKeyInfo(object)) {
        k->signedTrust = 0;
        k->keyTrust = 0;
      }
      break;
    case kQOXKeyDBObjType_UserID:
      if (UserIDInfo* u = qoxUserIDToUserIDInfo(object)) {
        u->validity = 0;
        u->trustByte = 0;
        u->confidence = 0;
        u->internalValidity = 0;
      }
      break;
    case kQOXKeyDBObjType_Sig:
      if (SigInfo* s = qoxSigToSigInfo(object)) s->trustByte = 0;
      break;
    case kQOXKeyDBObjType_CRL:
      if (CRLInfo* c = qoxCRLToCRLInfo(object)) c->trustByte = 0;
      break;
    default:
      if (UnkInfo* u = qoxUnkToUnkInfo(object)) u->trustByte = 0;
      break;
  }
}

void MarkDeleted(QOXKeyDBObj* object, bool frontEnd) {
  object->userValue = 0;
  object->flags |= kQOXObjFlag_Deleted;
  if (frontEnd) {
    qoxKeyDBObjRefresh(object, false);
  } else {
    ClearTrust(object);
  }
  for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c)) MarkDeleted(c, frontEnd);
  }
}

}  // namespace

// --- Tests and identity ---

bool qoxKeyDBObjIsValid(const QOXKeyDBObj* object) {
  return object != nullptr && qoxHasMagic(object->magic, kQOXKeyDBObjMagic);
}
bool qoxKeyIsValid(const QOXKeyDBObj* object) { return IsKind(object, kQOXKeyDBObjType_Key); }
bool qoxSubKeyIsValid(const QOXKeyDBObj* object) { return IsKind(object, kQOXKeyDBObjType_SubKey); }
bool qoxUserIDIsValid(const QOXKeyDBObj* object) { return IsKind(object, kQOXKeyDBObjType_UserID); }
bool qoxSigIsValid(const QOXKeyDBObj* object) { return IsKind(object, kQOXKeyDBObjType_Sig); }
bool qoxKeyDBObjIsDeleted(const QOXKeyDBObj* object) { return HasFlag(object, kQOXObjFlag_Deleted); }
bool qoxKeyDBObjIsDummy(const QOXKeyDBObj* object) { return HasFlag(object, kQOXObjFlag_Dummy); }
bool qoxKeyDBObjIsX509Dummy(const QOXKeyDBObj* object) { return HasFlag(object, kQOXObjFlag_X509Dummy); }
bool qoxKeyDBObjIsReal(const QOXKeyDBObj* object) {
  return object != nullptr && (object->flags & (kQOXObjFlag_Dummy | kQOXObjFlag_Deleted)) == 0;
}

int32_t qoxObjectTypeOfFlags(uint32_t flags) {
  if (flags & kQOXObjFlag_Key) return kQOXKeyDBObjType_Key;
  if (flags & kQOXObjFlag_SubKey) return kQOXKeyDBObjType_SubKey;
  if (flags & kQOXObjFlag_UserID) return kQOXKeyDBObjType_UserID;
  if (flags & kQOXObjFlag_Sig) return kQOXKeyDBObjType_Sig;
  if (flags & kQOXObjFlag_CRL) return kQOXKeyDBObjType_CRL;
  return kQOXKeyDBObjType_Unknown;
}

int32_t qoxObjectType(QOXKeyDBObj* object) { return qoxKeyDBObjIsValid(object) ? TypeOf(object) : 0; }

bool qoxKeyIsSubkey(const QOXKeyDBObj* object) { return object != nullptr && TypeOf(object) == kQOXKeyDBObjType_SubKey; }

QOXKeyDBObj* qoxKeyMasterkey(QOXKeyDBObj* subKey) { return qoxObjParent(subKey); }

uintptr_t qoxKeyDBObjID(const QOXKeyDBObj* object) {
  if (object == nullptr) return 0;
  if (object->flags & kQOXObjFlag_Unfetched) return object->info.backendID;
  // Every info record begins with its objectID.
  const auto* record = static_cast<const uintptr_t*>(object->info.record);
  return record != nullptr ? *record : 0;
}

bool qoxFrontEndKey(QOXKeyDBObj* object) { return qoxFrontEndKeyDB(qoxObjKeyDB(object)); }

// --- Navigation ---

QOXKeyDBObj* qoxObjParent(const QOXKeyDBObj* object) {
  if (object == nullptr || TypeOf(object) == kQOXKeyDBObjType_Key) return nullptr;
  return static_cast<QOXKeyDBObj*>(object->parent);
}

QOXKeyDBObj* qoxObjTopKey(QOXKeyDBObj* object) {
  while (QOXKeyDBObj* up = qoxObjParent(object)) object = up;
  return object;
}

QOXKeyDB* qoxObjKeyDB(const QOXKeyDBObj* object) {
  if (object == nullptr) return nullptr;
  const QOXKeyDBObj* key = qoxObjTopKey(const_cast<QOXKeyDBObj*>(object));
  return key != nullptr ? static_cast<QOXKeyDB*>(key->parent) : nullptr;
}

QOXContext* QOXPeekKeyDBObjContext(QOXKeyDBObj* object) {
  if (!qoxKeyDBObjIsValid(object)) return nullptr;
  QOXKeyDB* db = qoxObjKeyDB(object);
  return qoxKeyDBIsValid(db) ? db->context : nullptr;
}

// --- Info records ---

KeyInfo* qoxKeyToKeyInfo(QOXKeyDBObj* key) {
  if (key == nullptr) return nullptr;
  const int32_t t = TypeOf(key);
  if (t != kQOXKeyDBObjType_Key && t != kQOXKeyDBObjType_SubKey) return nullptr;
  return static_cast<KeyInfo*>(InfoRecord(key));
}
UserIDInfo* qoxUserIDToUserIDInfo(QOXKeyDBObj* userID) {
  if (userID == nullptr || TypeOf(userID) != kQOXKeyDBObjType_UserID) return nullptr;
  return static_cast<UserIDInfo*>(InfoRecord(userID));
}
SigInfo* qoxSigToSigInfo(QOXKeyDBObj* sig) {
  if (sig == nullptr || TypeOf(sig) != kQOXKeyDBObjType_Sig) return nullptr;
  return static_cast<SigInfo*>(InfoRecord(sig));
}
CRLInfo* qoxCRLToCRLInfo(QOXKeyDBObj* crl) {
  if (crl == nullptr || TypeOf(crl) != kQOXKeyDBObjType_CRL) return nullptr;
  return static_cast<CRLInfo*>(InfoRecord(crl));
}
UnkInfo* qoxUnkToUnkInfo(QOXKeyDBObj* unknown) {
  if (unknown == nullptr || TypeOf(unknown) != kQOXKeyDBObjType_Unknown) return nullptr;
  return static_cast<UnkInfo*>(InfoRecord(unknown));
}

void* qoxPeekInfoRecord(const QOXKeyDBObj* object) {
  if (object == nullptr || (object->flags & kQOXObjFlag_Unfetched) != 0) return nullptr;
  return object->info.record;
}

void qoxFreeObjectExpressions(QOXKeyDBObj* object) {
  void* record = qoxPeekInfoRecord(object);
  if (record == nullptr) return;
  QOXRegExp** expression = nullptr;
  switch (TypeOf(object)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey:
      expression = &static_cast<KeyInfo*>(record)->introducerRegexp;
      break;
    case kQOXKeyDBObjType_Sig:
      expression = &static_cast<SigInfo*>(record)->regexp;
      break;
    default:
      return;
  }
  if (*expression == nullptr) return;
  QOXKeyDB* db = qoxObjKeyDB(object);
  if (qoxKeyDBIsValid(db)) qoxContextMemFree(db->context, *expression);
  *expression = nullptr;
}

ObjData* qoxObjData(QOXKeyDBObj* object) {
  if (object == nullptr) return nullptr;
  switch (TypeOf(object)) {
    case kQOXKeyDBObjType_Key:
    case kQOXKeyDBObjType_SubKey: {
      // A dummy has no packet; an X.509 dummy's field names a signature.
      if (object->flags & kQOXObjFlag_Dummy) return nullptr;
      KeyInfo* k = qoxKeyToKeyInfo(object);
      return k != nullptr ? k->data : nullptr;
    }
    case kQOXKeyDBObjType_UserID: {
      UserIDInfo* u = qoxUserIDToUserIDInfo(object);
      return u != nullptr ? u->data : nullptr;
    }
    case kQOXKeyDBObjType_Sig: {
      SigInfo* s = qoxSigToSigInfo(object);
      return s != nullptr ? s->data : nullptr;
    }
    case kQOXKeyDBObjType_CRL: {
      CRLInfo* c = qoxCRLToCRLInfo(object);
      return c != nullptr ? c->data : nullptr;
    }
    default: {
      UnkInfo* u = qoxUnkToUnkInfo(object);
      return u != nullptr ? u->data : nullptr;
    }
  }
}

// --- Making and linking ---

QOXKeyDBObj* qoxNewKeyDBObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags) {
  if (!qoxKeyDBIsValid(db)) return nullptr;
  qoxKeyDBTakeChangeStamp(db);
  const bool topLevel = qoxObjectTypeOfFlags(flags) == kQOXKeyDBObjType_Key;
  if (topLevel != (parent == nullptr)) {
    qoxKeyDBSetError(db, kQOXErrBadParams);
    return nullptr;
  }
  const MemPool mark = db->objectPool;
  auto* object = static_cast<QOXKeyDBObj*>(memPoolAlloc(&db->objectPool, sizeof(QOXKeyDBObj), kRecordAlignment));
  const size_t infoSize = InfoSizeOf(flags);
  void* info = object != nullptr ? memPoolAlloc(&db->objectPool, infoSize, kRecordAlignment) : nullptr;
  if (info == nullptr) {
    memPoolCutBack(&db->objectPool, &mark);
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return nullptr;
  }
  std::memset(static_cast<void*>(object), 0, sizeof *object);
  std::memset(info, 0, infoSize);
  qoxSetMagic(object->magic, kQOXKeyDBObjMagic);
  object->info.record = info;
  object->flags = flags;
  if (qoxObjectTypeOfFlags(flags) == kQOXKeyDBObjType_UserID) {
    auto* u = static_cast<UserIDInfo*>(info);
    u->validity = kQOXTrustExternUndefined;
    u->confidence = kQOXTrustExternUndefined;
  }
  if (topLevel) {
    AppendKey(db, object);
  } else {
    qoxLinkChild(parent, object);
  }
  return object;
}

QOXKeyDBObj* qoxNewUnfetchedObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags, uintptr_t backendID) {
  if (!qoxKeyDBIsValid(db)) return nullptr;
  const bool topLevel = qoxObjectTypeOfFlags(flags) == kQOXKeyDBObjType_Key;
  if (topLevel != (parent == nullptr)) {
    qoxKeyDBSetError(db, kQOXErrBadParams);
    return nullptr;
  }
  auto* object = static_cast<QOXKeyDBObj*>(memPoolAlloc(&db->objectPool, sizeof(QOXKeyDBObj), kRecordAlignment));
  if (object == nullptr) {
    qoxKeyDBSetError(db, kQOXErrOutOfMemory);
    return nullptr;
  }
  std::memset(static_cast<void*>(object), 0, sizeof *object);
  qoxSetMagic(object->magic, kQOXKeyDBObjMagic);
  object->info.backendID = backendID;
  object->flags = flags | kQOXObjFlag_Unfetched;
  if (topLevel) {
    AppendKey(db, object);
  } else {
    qoxLinkChild(parent, object);
  }
  return object;
}

QOXKeyDBObj* qoxNewKeyObj(QOXKeyDB* db, QOXKeyDBObj* parent, uint32_t flags, uint8_t algorithm,
                          const uint8_t keyID[8]) {
  const int32_t type = qoxObjectTypeOfFlags(flags);
  if (type != kQOXKeyDBObjType_Key && type != kQOXKeyDBObjType_SubKey) {
    if (qoxKeyDBIsValid(db)) qoxKeyDBSetError(db, kQOXErrBadParams);
    return nullptr;
  }
  QOXKeyDBObj* key = qoxNewKeyDBObj(db, parent, flags);
  if (key == nullptr) return nullptr;
  KeyInfo* info = qoxKeyToKeyInfo(key);
  info->algorithm = algorithm;
  std::memcpy(info->keyID, keyID, sizeof info->keyID);
  qoxLinkKeyToTree(key, db);
  return key;
}

QOXKeyDBObj* qoxNewDummyKey(QOXKeyDB* db, uint8_t algorithm, const uint8_t keyID[8], bool x509,
                            QOXKeyDBObj* x509Sig) {
  uint32_t flags = kQOXObjFlag_Key | kQOXObjFlag_Dummy;
  if (x509) flags |= kQOXObjFlag_X509Dummy;
  QOXKeyDBObj* key = qoxNewKeyObj(db, nullptr, flags, algorithm, keyID);
  if (key != nullptr && x509) qoxKeyToKeyInfo(key)->x509Sig = x509Sig;
  return key;
}

void qoxReviveAsDummy(QOXKeyDBObj* key) {
  key->flags = (key->flags & ~kQOXObjFlag_Deleted) | kQOXObjFlag_Dummy;
}

void qoxReviveKeyDBObj(QOXKeyDBObj* object) {
  object->flags &= ~kQOXObjFlag_Deleted;
  if (QOXKeyDBObj* parent = qoxObjParent(object)) {
    qoxUnlinkChild(object);
    qoxLinkChild(parent, object);
  }
}

// Children keep the order: signatures, then user IDs, then everything else
// in arrival order. So a signature follows the last signature, a user ID the
// last user ID (or the last signature), anything else the last child.
void qoxLinkChild(QOXKeyDBObj* parent, QOXKeyDBObj* child) {
  KeyDBChildIndex* index = qoxChildIndexOf(parent);
  const Lasts lasts = index != nullptr ? Lasts{index->lastSig, index->lastUserID, index->lastChild}
                                       : WalkLasts(parent);
  const int32_t type = TypeOf(child);
  QOXKeyDBObj* after = type == kQOXKeyDBObjType_Sig      ? lasts.sig
                       : type == kQOXKeyDBObjType_UserID ? (lasts.userID != nullptr ? lasts.userID : lasts.sig)
                                                         : lasts.child;
  child->parent = parent;
  child->prev = after;
  child->next = after != nullptr ? after->next : parent->child;
  if (after != nullptr) {
    after->next = child;
  } else {
    parent->child = child;
  }
  if (child->next != nullptr) child->next->prev = child;
  if (index != nullptr) {
    if (type == kQOXKeyDBObjType_Sig) index->lastSig = child;
    if (type == kQOXKeyDBObjType_UserID) index->lastUserID = child;
    if (child->next == nullptr) index->lastChild = child;
  }
}

void qoxLinkChildAfter(QOXKeyDBObj* parent, QOXKeyDBObj* after, QOXKeyDBObj* child) {
  child->parent = parent;
  child->prev = after;
  child->next = after != nullptr ? after->next : parent->child;
  if (after != nullptr) {
    after->next = child;
  } else {
    parent->child = child;
  }
  if (child->next != nullptr) child->next->prev = child;
  if (KeyDBChildIndex* index = parent->children) {
    // Kinds stay grouped (signatures, user IDs, the rest), so a child placed
    // right after the last of its kind, or as the first of its kind, is the
    // new last of it.
    const int32_t type = TypeOf(child);
    if (type == kQOXKeyDBObjType_Sig && (index->lastSig == nullptr || index->lastSig == after)) index->lastSig = child;
    if (type == kQOXKeyDBObjType_UserID && (index->lastUserID == nullptr || index->lastUserID == after))
      index->lastUserID = child;
    if (child->next == nullptr) index->lastChild = child;
  }
}

void qoxUnlinkChild(QOXKeyDBObj* child) {
  QOXKeyDBObj* parent = qoxObjParent(child);
  if (parent == nullptr) return;
  QOXKeyDBObj* prev = child->prev;
  QOXKeyDBObj* next = child->next;
  if (prev != nullptr) {
    prev->next = next;
  } else if (parent->child == child) {
    parent->child = next;
  } else {
    return;  // not linked
  }
  if (next != nullptr) next->prev = prev;
  if (KeyDBChildIndex* index = parent->children) {
    if (index->lastSig == child) index->lastSig = prev != nullptr && TypeOf(prev) == kQOXKeyDBObjType_Sig ? prev : nullptr;
    if (index->lastUserID == child)
      index->lastUserID = prev != nullptr && TypeOf(prev) == kQOXKeyDBObjType_UserID ? prev : nullptr;
    if (index->lastChild == child) index->lastChild = prev;
  }
  child->next = nullptr;
  child->prev = nullptr;
}

QOXError qoxMarkKeyDBObjectDeleted(QOXKeyDBObj* object) {
  MarkDeleted(object, qoxFrontEndKey(object));
  qoxKeyDBTakeChangeStamp(qoxObjKeyDB(object));
  return kQOXErrNoErr;
}

QOXError qoxKeyDBObjRefresh(QOXKeyDBObj* object, bool recurse) {
  if ((object->flags & kQOXObjFlag_Unfetched) == 0) {
    // The record stays in the pool, but nothing reads its expressions again.
    qoxFreeObjectExpressions(object);
    const uintptr_t id = qoxKeyDBObjID(object);
    object->info.backendID = id;
    object->flags |= kQOXObjFlag_Unfetched;
  }
  if (recurse && TypeOf(object) != kQOXKeyDBObjType_Sig) {
    for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) qoxKeyDBObjRefresh(c, true);
  }
  return kQOXErrNoErr;
}

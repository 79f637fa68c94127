// The container: making, references, destruction, counting, removal and the
// last-error fields.
#include "keydb/key_db.h"

#include <atomic>
#include <cstring>

#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/child_index.h"
#include "keydb/front_end.h"
#include "keydb/handle_magic.h"
#include "keydb/key_array.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_list.h"
#include "keydb/key_set.h"
#include "keydb/notifications.h"
#include "keydb/obj_data.h"
#include "keydb/ring_files.h"
#include "keydb/ring_reader.h"

namespace {

// Unlinks the database from its context's list.
void Unlink(QOXKeyDB* db) {
  QOXContext* context = db->context;
  if (qoxContextGetFirstKeyDB(context) == db) {
    qoxContextSetFirstKeyDB(context, db->next);
    return;
  }
  for (QOXKeyDB* d = qoxContextGetFirstKeyDB(context); d != nullptr; d = d->next) {
    if (d->next == db) {
      d->next = db->next;
      return;
    }
  }
}

// Closes a ring file: its QOXFile when made, else its bare stream.
void CloseRing(QOXFile*& file, FILE*& stream, PFLFileSpec*& fileSpec) {
  if (file != nullptr) {
    file->close(file);
  } else if (stream != nullptr) {
    std::fclose(stream);
  }
  file = nullptr;
  stream = nullptr;
  if (fileSpec != nullptr) PFLFreeFileSpec(fileSpec);
  fileSpec = nullptr;
}

// Compiled expressions of keys and signatures live in the context's memory
// (a front end's unfetched objects hold none, and are not fetched for it).
void FreeExpressions(QOXKeyDB* db) {
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    qoxFreeObjectExpressions(k);
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      qoxFreeObjectExpressions(c);
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) qoxFreeObjectExpressions(g);
    }
  }
}

// The last reference: everything the database owns goes, then the record.
// With releaseBackEnd a front end also releases its back end's reference.
void Destroy(QOXKeyDB* db, bool releaseBackEnd = true) {
  FreeExpressions(db);
  qoxReleaseRingPair(db);
  CloseRing(db->publicFile, db->publicStream, db->publicSpec);
  CloseRing(db->privateFile, db->privateStream, db->privateSpec);
  // Newest first; the root set is on the chain too.
  while (db->firstSet != nullptr) qoxFreeKeySet(db->firstSet, true);
  db->rootSet = nullptr;
  memPoolEmpty(&db->objectPool);
  memPoolEmpty(&db->trustPathPool);
  if (db->idTree != nullptr) QOXDisposeBinaryTree(db->idTree);
  Unlink(db);
  QOXContext* context = db->context;
  for (KeyDBNotification* n = db->notifications; n != nullptr;) {
    KeyDBNotification* next = n->next;
    qoxContextMemFree(context, n);
    n = next;
  }
  const uintptr_t backendID = db->backendID;
  std::memset(static_cast<void*>(db), 0, sizeof *db);
  qoxContextMemFree(context, db);
  // A front end held one reference of its back end.
  if (backendID != 0 && releaseBackEnd) qoxFreeKeyDB_back(context, backendID);
}

// Real user IDs of the key above a user ID.
int RealUserIDs(QOXKeyDBObj* key) {
  int count = 0;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == kQOXKeyDBObjType_UserID) ++count;
  }
  return count;
}

}  // namespace

// --- Fields ---

bool qoxKeyDBIsValid(const QOXKeyDB* db) { return db != nullptr && qoxHasMagic(db->magic, kQOXKeyDBMagic); }
bool qoxKeyDBIsDirty(const QOXKeyDB* db) { return db->dirty != 0; }
QOXKeySet* qoxKeyDBPeekRootSet(const QOXKeyDB* db) { return db->rootSet; }
QOXError qoxKeyDBError(const QOXKeyDB* db) { return db != nullptr ? db->lastError : kQOXErrBadParams; }
void qoxKeyDBSetError(QOXKeyDB* db, QOXError error) {
  if (db != nullptr) db->lastError = error;
}
QOXKeyDB* qoxKeyDBNextKeyDB(const QOXKeyDB* db) { return db->next; }
bool qoxFrontEndKeyDB(const QOXKeyDB* db) { return db != nullptr && db->backendID != 0; }

// --- Making and references ---

QOXError qoxNewKeyDB_internal(QOXContext* context, QOXKeyDB** outKeyDB) {
  *outKeyDB = nullptr;
  auto* db = static_cast<QOXKeyDB*>(qoxContextMemAlloc(context, sizeof(QOXKeyDB), kQOXMemoryMgrFlags_Clear));
  if (db == nullptr) return kQOXErrOutOfMemory;
  std::memset(static_cast<void*>(db), 0, sizeof *db);
  qoxSetMagic(db->magic, kQOXKeyDBMagic);
  db->context = context;
  db->refCount = 1;
  qoxKeyDBTakeChangeStamp(db);
  memPoolInit(context, &db->objectPool);
  memPoolInit(context, &db->trustPathPool);
  // Linked first, so that a failure below is undone by the one destroyer.
  db->next = qoxContextGetFirstKeyDB(context);
  qoxContextSetFirstKeyDB(context, db);
  if (QOXNewBinaryTree(QOXPeekContextMemoryMgr(context), &db->idTree) != kQOXErrNoErr ||
      qoxRootSet(db) == nullptr || qoxAddNotification(db, context) != kQOXErrNoErr) {
    Destroy(db);
    return kQOXErrOutOfMemory;
  }
  *outKeyDB = db;
  return kQOXErrNoErr;
}

QOXError QOXNewKeyDB(QOXContext* context, QOXKeyDB** outKeyDB) {
  if (outKeyDB == nullptr) return kQOXErrBadParams;
  *outKeyDB = nullptr;
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (!qoxRPCClientServices().qoxRPCEnabled()) return qoxNewKeyDB_internal(context, outKeyDB);
  // With the service link on the service holds the database, and this
  // context a front end over it.
  uintptr_t backendID = 0;
  if (QOXError err = qoxNewKeyDB_back(context, &backendID); err != kQOXErrNoErr) return err;
  return qoxNewFrontEndKeyDB(context, backendID, nullptr, 0, 0, outKeyDB);
}

QOXError qoxKeyDBDestroy_internal(QOXKeyDB* db) {
  // Every release of a mutable back end writes it back first; the
  // reference goes whatever the flush answers, and its error is returned.
  const QOXError flushed = !qoxFrontEndKeyDB(db) && db->isMutable ? qoxKeyDBFlushInternal(db) : kQOXErrNoErr;
  if (db->refCount > 1) {
    --db->refCount;
    return flushed;
  }
  const uintptr_t backendID = db->backendID;
  QOXContext* context = db->context;
  Destroy(db, false);
  // A front end held one reference of its back end, whose release may
  // flush it.
  if (backendID != 0) return qoxFreeKeyDB_back(context, backendID);
  return flushed;
}

QOXError QOXFreeKeyDB(QOXKeyDB* db) {
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxKeyDBDestroy_internal(db);
}

QOXError QOXIncKeyDBRefCount(QOXKeyDB* db) {
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  ++db->refCount;
  return kQOXErrNoErr;
}

bool QOXKeyDBIsMutable(QOXKeyDB* db) {
  if (!qoxKeyDBIsValid(db) || qoxEnterFunction() != kQOXErrNoErr) return false;
  return db->isMutable != 0;
}

QOXError QOXCountKeysInKeyDB(QOXKeyDB* db, uint32_t* outCount) {
  if (outCount == nullptr) return kQOXErrBadParams;
  *outCount = 0;
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  uint32_t count = 0;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (qoxKeyDBObjIsReal(k)) ++count;
  }
  *outCount = count;
  return kQOXErrNoErr;
}

QOXKeySet* QOXPeekKeyDBRootKeySet(QOXKeyDB* db) {
  if (!qoxKeyDBIsValid(db) || qoxEnterFunction() != kQOXErrNoErr) return nullptr;
  return db->rootSet;
}

// --- Changes ---

QOXError qoxKeyDBRemoveObject_internal(QOXKeyDB* db, QOXKeyDBObj* object) {
  if (qoxObjectType(object) == kQOXKeyDBObjType_UserID && RealUserIDs(qoxObjTopKey(object)) < 2)
    return kQOXErrBadParams;
  qoxMarkKeyDBObjectDeleted(object);
  db->dirty = 1;
  qoxKeyDBTakeChangeStamp(db);
  return kQOXErrNoErr;
}

QOXError qoxKeyDBRemoveObject(QOXKeyDB* db, QOXKeyDBObj* object) {
  if (!qoxKeyDBObjIsValid(object) || !qoxKeyDBObjIsReal(object)) return kQOXErrBadParams;
  if (!qoxFrontEndKeyDB(db)) return qoxKeyDBRemoveObject_internal(db, object);
  if (QOXError err = qoxKeyDBRemoveObject_back(db->context, db->backendID, qoxKeyDBObjID(object));
      err != kQOXErrNoErr)
    return err;
  qoxMarkKeyDBObjectDeleted(object);
  db->dirty = 1;
  qoxKeyDBTakeChangeStamp(db);
  return kQOXErrNoErr;
}

void qoxKeyDBTakeChangeStamp(QOXKeyDB* db) {
  static std::atomic<uint64_t> counter{0};
  if (db != nullptr) db->changeStamp = counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void qoxKeyDBChanged(QOXKeyDB* db, bool updateLists) {
  db->dirty = 1;
  qoxKeyDBTakeChangeStamp(db);
  if (!updateLists || !qoxKeyDBIsValid(db)) return;
  for (QOXKeySet* set = db->firstSet; set != nullptr; set = set->nextSet) {
    for (QOXKeyList* list = set->firstList; list != nullptr; list = list->nextList) (void)qoxUpdateList(list);
  }
}

// --- Made from memory; objects copied in ---

QOXKeyDB* qoxCreateKeyDBFromMemory(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* outError) {
  if (outError != nullptr) *outError = kQOXErrNoErr;
  QOXKeyDB* db = nullptr;
  QOXError err = qoxNewKeyDB_internal(context, &db);
  if (err == kQOXErrNoErr) {
    db->publicFile = qoxFileMemOpen(context, buffer, length);
    err = db->publicFile == nullptr ? kQOXErrOutOfMemory : qoxReadKeyFile(db, db->publicFile, false);
    if (err != kQOXErrNoErr) {
      Destroy(db);
      db = nullptr;
    }
  }
  if (outError != nullptr) *outError = err;
  return db;
}

namespace {

// A cached pair stands only while its copy is here, not deleted, and holds
// the very packet of the source: the source's database may have gone since,
// and an object of another database made at the same address must not send
// its children to the old copy.
bool CacheHolds(const KeyDBAddCacheEntry& entry, QOXKeyDBObj* source) {
  if (entry.source != source || !qoxKeyDBObjIsValid(entry.copy) || qoxKeyDBObjIsDeleted(entry.copy)) return false;
  size_t sourceLength = 0, copyLength = 0;
  const uint8_t* sourcePacket = qoxFetchObject(source, &sourceLength);
  const uint8_t* copyPacket = qoxFetchObject(entry.copy, &copyLength);
  return sourcePacket != nullptr && copyPacket != nullptr &&
         qoxPacketsIdentical(sourcePacket, sourceLength, copyPacket, copyLength);
}

}  // namespace

QOXError qoxKeyDBAddObject_internal(QOXKeyDB* db, QOXKeyDBObj* object, QOXKeyDBObj** outCopy) {
  *outCopy = nullptr;
  QOXKeyDBObj* chain[3];
  int levels = 0;
  for (QOXKeyDBObj* o = object; o != nullptr && levels < 3; o = qoxObjParent(o)) chain[levels++] = o;
  QOXKeyDBObj* parent = nullptr;
  for (int level = 0; level < levels; ++level) {
    QOXKeyDBObj* source = chain[levels - 1 - level];
    if (level < 2 && CacheHolds(db->addCache[level], source)) {
      parent = db->addCache[level].copy;
      continue;
    }
    size_t length = 0;
    const uint8_t* packet = qoxFetchObject(source, &length);
    if (packet == nullptr) return kQOXErrItemNotFound;
    QOXError err = kQOXErrNoErr;
    QOXKeyDBObj* copy = qoxAddObject(packet, length, db, parent, false, &err);
    if (err != kQOXErrNoErr) return err;
    if (copy == nullptr) return kQOXErrItemNotFound;
    qoxCopyObjectTrust(source, copy);
    if (level < 2) db->addCache[level] = {source, copy};
    parent = copy;
  }
  db->dirty = 1;
  qoxKeyDBTakeChangeStamp(db);
  *outCopy = parent;
  return kQOXErrNoErr;
}

QOXError qoxKeyDBAddObject(QOXKeyDB* db, QOXKeyDBObj* object, QOXKeyDBObj** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!qoxKeyDBIsValid(db) || !qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  if (!qoxFrontEndKeyDB(db)) return qoxKeyDBAddObject_internal(db, object, outCopy);
  // The back end copies; the key holding the copy comes back as a key array.
  // The source is named by its back end's ID (in process a back-end
  // object's ID is its address).
  const uintptr_t source = qoxFrontEndKey(object) ? qoxKeyDBObjID(object) : qoxBackEndObjectID(object);
  uintptr_t copyID = 0;
  KeyArrayWord* array = nullptr;
  size_t length = 0;
  QOXError err = qoxKeyDBAddObject_back(db->context, db->backendID, source, &copyID, &array, &length);
  if (err == kQOXErrNoErr) err = qoxAddFromKeyArray(db, nullptr, array, length, 1, false);
  if (array != nullptr) QOXFreeData(array);
  if (err != kQOXErrNoErr) return err;
  db->dirty = 1;
  qoxKeyDBTakeChangeStamp(db);
  *outCopy = qoxFrontEndObject(db, copyID);
  return *outCopy != nullptr ? kQOXErrNoErr : kQOXErrItemNotFound;
}

#include "keydb/notifications.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_ops.h"

namespace {

KeyDBNotification* Find(const QOXKeyDB* db, uint32_t connection) {
  for (KeyDBNotification* n = db->notifications; n != nullptr; n = n->next) {
    if (n->connection == connection) return n;
  }
  return nullptr;
}

// The two sets a record starts with; false (nothing made) when memory runs
// out.
bool NewSets(QOXKeyDB* db, QOXKeySet** changed, QOXKeySet** trustChanged) {
  *changed = nullptr;
  *trustChanged = nullptr;
  if (qoxNewEnumeratedSet(db, 0, 0, changed) != kQOXErrNoErr) return false;
  if (qoxNewEnumeratedSet(db, 0, 0, trustChanged) != kQOXErrNoErr) {
    qoxFreeKeySet(*changed, true);
    *changed = nullptr;
    return false;
  }
  return true;
}

// Releases the record's references: a union made from a set may still
// hold it.
void FreeSets(KeyDBNotification* n) {
  if (n->changedKeys != nullptr) qoxFreeKeySet(n->changedKeys, false);
  if (n->trustChangedKeys != nullptr) qoxFreeKeySet(n->trustChangedKeys, false);
  n->changedKeys = nullptr;
  n->trustChangedKeys = nullptr;
}

// The key's whole tree joins the set.
void AddKey(QOXKeyDBObj* key, QOXKeySet* set) {
  QOXKeySet* one = nullptr;
  if (qoxNewOneKeySetInternal(qoxObjTopKey(key), &one) != kQOXErrNoErr) return;
  qoxAddKeysInternal(one, set);
  qoxFreeKeySet(one, false);
}

}  // namespace

QOXError qoxAddNotification(QOXKeyDB* db, QOXContext* context) {
  const uint32_t connection = qoxContextGetConnectRef(context);
  if (connection == 0 || Find(db, connection) != nullptr) return kQOXErrNoErr;
  auto* n = static_cast<KeyDBNotification*>(
      qoxContextMemAlloc(db->context, sizeof(KeyDBNotification), kQOXMemoryMgrFlags_Clear));
  if (n == nullptr) return kQOXErrOutOfMemory;
  std::memset(static_cast<void*>(n), 0, sizeof *n);
  if (!NewSets(db, &n->changedKeys, &n->trustChangedKeys)) {
    qoxContextMemFree(db->context, n);
    return kQOXErrOutOfMemory;
  }
  n->connection = connection;
  n->next = db->notifications;
  db->notifications = n;
  return kQOXErrNoErr;
}

void qoxDropNotification(QOXKeyDB* db, QOXContext* context) {
  const uint32_t connection = qoxContextGetConnectRef(context);
  for (KeyDBNotification** link = &db->notifications; *link != nullptr; link = &(*link)->next) {
    KeyDBNotification* n = *link;
    if (n->connection != connection) continue;
    *link = n->next;
    FreeSets(n);
    qoxContextMemFree(db->context, n);
    return;
  }
}

void qoxSetPendingNotify(QOXContext* current, QOXKeySet* trustChangedSet, QOXKeyDBObj* trustChangedKey,
                         QOXKeySet* changedSet, QOXKeyDBObj* changedKey) {
  QOXKeyDB* db = trustChangedSet != nullptr ? trustChangedSet->keyDB
                 : changedSet != nullptr    ? changedSet->keyDB
                 : trustChangedKey != nullptr ? qoxObjKeyDB(trustChangedKey)
                                              : qoxObjKeyDB(changedKey);
  if (!qoxKeyDBIsValid(db)) return;
  const uint32_t own = current != nullptr ? qoxContextGetConnectRef(current) : 0;
  auto ofDB = [db](QOXKeySet* set) { return set != nullptr && set->keyDB == db ? set : nullptr; };
  auto keyOfDB = [db](QOXKeyDBObj* key) { return key != nullptr && qoxObjKeyDB(key) == db ? key : nullptr; };
  for (KeyDBNotification* n = db->notifications; n != nullptr; n = n->next) {
    if (n->connection == own) continue;
    if (QOXKeySet* s = ofDB(trustChangedSet)) qoxAddKeysInternal(s, n->trustChangedKeys);
    if (QOXKeyDBObj* k = keyOfDB(trustChangedKey)) AddKey(k, n->trustChangedKeys);
    if (QOXKeySet* s = ofDB(changedSet)) qoxAddKeysInternal(s, n->changedKeys);
    if (QOXKeyDBObj* k = keyOfDB(changedKey)) AddKey(k, n->changedKeys);
  }
}

QOXError qoxUpdateKeyDB_internal(QOXContext* current, QOXKeyDB* db, QOXKeySet* outChanged,
                                 QOXKeySet* outTrustChanged) {
  KeyDBNotification* n = Find(db, qoxContextGetConnectRef(current));
  if (n == nullptr) return kQOXErrNoErr;
  if (QOXError err = qoxAddKeysInternal(n->changedKeys, outChanged); err != kQOXErrNoErr) return err;
  if (QOXError err = qoxAddKeysInternal(n->trustChangedKeys, outTrustChanged); err != kQOXErrNoErr) return err;
  QOXKeySet* changed = nullptr;
  QOXKeySet* trustChanged = nullptr;
  if (!NewSets(db, &changed, &trustChanged)) return kQOXErrOutOfMemory;
  FreeSets(n);
  n->changedKeys = changed;
  n->trustChangedKeys = trustChanged;
  return kQOXErrNoErr;
}

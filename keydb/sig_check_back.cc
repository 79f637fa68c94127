// The back-end entry points of signature checking (keydb/key_db_back.h):
// through the RPC client while the service link is on, else the in-process
// checks on the objects the IDs name.
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_flat.h"
#include "keydb/notifications.h"
#include "keydb/sig_check.h"

namespace {

const QOXRPCClientServices* Remote() {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  return rpc.qoxRPCEnabled() ? &rpc : nullptr;
}

QOXKeyDB* DB(uintptr_t id) {
  auto* db = reinterpret_cast<QOXKeyDB*>(id);
  return qoxKeyDBIsValid(db) ? db : nullptr;
}

// The set of the listed keys and a new empty set for the changed ones; the
// other database (none for 0). Both sets are the caller's to free.
QOXError Open(uintptr_t dbID, const uintptr_t* keys, size_t keysLength, uintptr_t otherID, QOXKeySet** outSet,
              QOXKeySet** outChanged, QOXKeyDB** outOther) {
  QOXKeyDB* db = DB(dbID);
  *outOther = otherID != 0 ? DB(otherID) : nullptr;
  if (db == nullptr || (otherID != 0 && *outOther == nullptr)) return kQOXErrBadParams;
  if (QOXError err = qoxKeySetUnflatten(db, keys, keysLength, outSet); err != kQOXErrNoErr) return err;
  if (QOXError err = QOXNewEmptyKeySet(db, outChanged); err != kQOXErrNoErr) {
    qoxFreeKeySet(*outSet, false);
    *outSet = nullptr;
    return err;
  }
  return kQOXErrNoErr;
}

// Records the changed keys for the other connections and hands them out
// flat (the set's reference is dropped).
QOXError Close(QOXContext* context, QOXKeySet* set, QOXKeySet* changed, QOXError err, uintptr_t** outChanged,
               size_t* outChangedLength) {
  qoxFreeKeySet(set, false);
  if (err == kQOXErrNoErr) {
    qoxSetPendingNotify(context, nullptr, nullptr, changed, nullptr);
    return qoxKeySetFlattenFree(changed, outChanged, outChangedLength);
  }
  qoxFreeKeySet(changed, false);
  return err;
}

}  // namespace

QOXError qoxCheckKeyRingSigs_back(QOXContext* context, uintptr_t db, const uintptr_t* keys, size_t keysLength,
                                  uintptr_t otherDB, bool checkAll, uintptr_t** outChanged,
                                  size_t* outChangedLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxCheckKeyRingSigs_backRPC(context, db, keys, keysLength, otherDB, checkAll, outChanged,
                                            outChangedLength);
  *outChanged = nullptr;
  *outChangedLength = 0;
  QOXKeySet* set = nullptr;
  QOXKeySet* changed = nullptr;
  QOXKeyDB* other = nullptr;
  if (QOXError err = Open(db, keys, keysLength, otherDB, &set, &changed, &other); err != kQOXErrNoErr) return err;
  const QOXError err = qoxCheckKeyRingSigs_internal(set, other, checkAll, nullptr, nullptr, changed);
  return Close(context, set, changed, err, outChanged, outChangedLength);
}

QOXError qoxPrepareToCheckKeyRingSigs_back(QOXContext* context, uintptr_t db, const uintptr_t* keys,
                                           size_t keysLength, uintptr_t otherDB, bool checkAll, uint32_t* outCount,
                                           uintptr_t** outChanged, size_t* outChangedLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxPrepareToCheckKeyRingSigs_backRPC(context, db, keys, keysLength, otherDB, checkAll, outCount,
                                                     outChanged, outChangedLength);
  *outCount = 0;
  *outChanged = nullptr;
  *outChangedLength = 0;
  QOXKeySet* set = nullptr;
  QOXKeySet* changed = nullptr;
  QOXKeyDB* other = nullptr;
  if (QOXError err = Open(db, keys, keysLength, otherDB, &set, &changed, &other); err != kQOXErrNoErr) return err;
  const QOXError err = qoxPrepareToCheckKeyRingSigs_internal(set, other, checkAll, outCount, changed);
  if (err != kQOXErrNoErr) *outCount = 0;
  return Close(context, set, changed, err, outChanged, outChangedLength);
}

QOXError qoxCheckSig_back(QOXContext* context, uintptr_t db, uintptr_t sig, uintptr_t otherDB, bool checkAll,
                          bool revocationsOnly, uint8_t* outTried, uint8_t* outChanged, uint8_t* outValid) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxCheckSig_backRPC(context, db, sig, otherDB, checkAll, revocationsOnly, outTried, outChanged,
                                    outValid);
  *outTried = 0;
  *outChanged = 0;
  *outValid = 0;
  QOXKeyDB* d = DB(db);
  auto* object = reinterpret_cast<QOXKeyDBObj*>(sig);
  QOXKeyDB* other = otherDB != 0 ? DB(otherDB) : nullptr;
  if (d == nullptr || !qoxSigIsValid(object) || qoxObjKeyDB(object) != d || (otherDB != 0 && other == nullptr))
    return kQOXErrBadParams;
  const QOXError err = qoxCheckSig_internal(d, object, other, checkAll, revocationsOnly, outTried, outChanged,
                                            outValid);
  if (err == kQOXErrNoErr && *outChanged) qoxSetPendingNotify(context, nullptr, nullptr, nullptr, qoxObjTopKey(object));
  return err;
}

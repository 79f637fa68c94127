// The back-end entry of key generation: through the RPC client while the
// service link is on, else the worker on the back-end database and master
// key the IDs name (their addresses in process).
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_generate.h"
#include "keydb/key_set.h"
#include "keydb/key_set_flat.h"
#include "keydb/notifications.h"

namespace {

// Owns one reference of a key set.
struct SetOwner {
  QOXKeySet* set = nullptr;
  ~SetOwner() {
    if (set != nullptr) qoxFreeKeySet(set, false);
  }
};

}  // namespace

QOXError qoxDoGenerateKey_back(QOXContext* context, uintptr_t dbID, uintptr_t masterID, const QOXKeyGenParams& params,
                               const uintptr_t* recipientRequestKeys, size_t recipientRequestLength,
                               const uintptr_t* revocationKeys, size_t revocationLength, uintptr_t* outKey,
                               KeyArrayWord** outArray, size_t* outArrayLength) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled())
    return rpc.qoxDoGenerateKey_backRPC(context, dbID, masterID, &params, recipientRequestKeys,
                                        recipientRequestLength, revocationKeys, revocationLength, outKey, outArray,
                                        outArrayLength);
  *outKey = 0;
  *outArray = nullptr;
  *outArrayLength = 0;
  auto* db = reinterpret_cast<QOXKeyDB*>(dbID);
  if (!qoxKeyDBIsValid(db) || qoxFrontEndKeyDB(db)) return kQOXErrBadParams;
  QOXKeyDBObj* master = nullptr;
  if (masterID != 0) {
    master = reinterpret_cast<QOXKeyDBObj*>(masterID);
    if (!qoxKeyIsValid(master)) return kQOXErrBadParams;
  }
  SetOwner recipients;
  SetOwner revokers;
  if (recipientRequestKeys != nullptr) {
    if (QOXError err = qoxKeySetUnflatten(db, recipientRequestKeys, recipientRequestLength, &recipients.set);
        err != kQOXErrNoErr)
      return err;
  }
  if (revocationKeys != nullptr) {
    if (QOXError err = qoxKeySetUnflatten(db, revocationKeys, revocationLength, &revokers.set); err != kQOXErrNoErr)
      return err;
  }
  QOXKeyDBObj* made = nullptr;
  if (QOXError err = qoxDoGenerateKey_internal(db, master, params, recipients.set, revokers.set, &made);
      err != kQOXErrNoErr)
    return err;
  QOXKeyDBObj* key = qoxObjTopKey(made);
  qoxSetPendingNotify(context, nullptr, nullptr, nullptr, key);
  if (QOXError err = qoxCreateKeyArray(context, key, 1, nullptr, outArray, outArrayLength); err != kQOXErrNoErr)
    return err;
  *outKey = qoxBackEndObjectID(made);
  return kQOXErrNoErr;
}

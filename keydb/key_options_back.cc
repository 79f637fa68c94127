// The back-end entries of the self-signature options: through the RPC
// client while the service link is on, else the worker on the back-end
// object the ID names (its address in process).
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_options.h"

namespace {

const QOXRPCClientServices* Remote() {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  return rpc.qoxRPCEnabled() ? &rpc : nullptr;
}

QOXKeyDBObj* Object(uintptr_t id) {
  auto* object = reinterpret_cast<QOXKeyDBObj*>(id);
  return qoxKeyDBObjIsValid(object) ? object : nullptr;
}

}  // namespace

QOXError qoxUpdateKeyOptions_back(QOXContext* context, uintptr_t key, const QOXKeyOptionsUpdate& u,
                                  const QOXPassphraseArgs& pass) {
  if (const QOXRPCClientServices* rpc = Remote()) {
    // Not given reads as null with length 0 on the far side.
    return rpc->qoxUpdateKeyOptions_backRPC(
        context, key, u.preferredAlgorithmsGiven ? u.preferredAlgorithms : nullptr, u.preferredAlgorithmsLength,
        u.preferredKeyServerGiven ? u.preferredKeyServer : nullptr, u.preferredKeyServerLength, u.keyFlags,
        u.keyFlagsGiven, u.keyServerPreferences, u.keyServerPreferencesGiven, pass.bytes, pass.length, pass.hashed,
        pass.cacheTimeOut, pass.cacheGlobally);
  }
  return qoxUpdateKeyOptions_internal(Object(key), u, pass);
}

QOXError qoxCertifyPrimaryUserID_back(QOXContext* context, uintptr_t userID, const QOXPassphraseArgs& pass) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxCertifyPrimaryUserID_backRPC(context, userID, pass.bytes, pass.length, pass.hashed,
                                                pass.cacheTimeOut, pass.cacheGlobally);
  QOXKeyDBObj* object = Object(userID);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxCertifyPrimaryUserID_internal(object, pass);
}

QOXError qoxSetPrimaryUserID_back(QOXContext* context, uintptr_t userID) {
  if (const QOXRPCClientServices* rpc = Remote()) return rpc->qoxSetPrimaryUserID_backRPC(context, userID);
  QOXKeyDBObj* object = Object(userID);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxSetPrimaryUserID_internal(object);
}

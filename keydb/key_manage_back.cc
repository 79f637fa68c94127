// The back-end entries of the key-maintenance operations, self-signature
// options included: through the RPC client while the service link is on,
// else the worker on the back-end object the ID names (its address in
// process).
#include <cstring>

#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_manage.h"
#include "keydb/key_manage_support.h"
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

QOXError qoxPassphraseIsValid_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length,
                                   bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, bool* outValid) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxPassphraseIsValid_backRPC(context, key, passphrase, length, hashed, cacheTimeOut, cacheGlobally,
                                             outValid);
  if (outValid != nullptr) *outValid = false;
  return qoxPassphraseIsValid_internal(Object(key), passphrase, length, hashed, cacheTimeOut, cacheGlobally,
                                       outValid);
}

QOXError qoxGetPasskeyBuffer_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length,
                                  uint8_t** outBuffer, size_t* outLength) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxGetPasskeyBuffer_backRPC(context, key, passphrase, length, outBuffer, outLength);
  *outBuffer = nullptr;
  *outLength = 0;
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  return qoxGetPasskeyBlock(object, passphrase, length, outBuffer, outLength);
}

QOXError qoxSetKeyEnabled_back(QOXContext* context, uintptr_t key, bool enable) {
  if (const QOXRPCClientServices* rpc = Remote()) return rpc->qoxSetKeyEnabled_backRPC(context, key, enable);
  QOXKeyDBObj* object = Object(key);
  return enable ? qoxEnableKey(object) : qoxDisableKey(object);
}

QOXError qoxSetKeyTrust_back(QOXContext* context, uintptr_t key, uint8_t trust) {
  if (const QOXRPCClientServices* rpc = Remote()) return rpc->qoxSetKeyTrust_backRPC(context, key, trust);
  return qoxSetKeyTrust_internal(Object(key), trust);
}

QOXError qoxSetKeyAxiomatic_back(QOXContext* context, uintptr_t key, bool set, const char* passphrase,
                                 size_t length, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally) {
  if (const QOXRPCClientServices* rpc = Remote())
    return rpc->qoxSetKeyAxiomatic_backRPC(context, key, set, passphrase, length, hashed, cacheTimeOut,
                                           cacheGlobally);
  QOXKeyDBObj* object = Object(key);
  return set ? qoxSetKeyAxiomatic_internal(object, passphrase, length, hashed, cacheTimeOut, cacheGlobally)
             : qoxUnsetKeyAxiomatic(object, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
}

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

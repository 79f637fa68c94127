// Changing the passphrase of a key's or subkey's secret part.
#include "keydb/key_passphrase_change.h"

#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/option_types.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk_errors.h"
#include "foundation/string_to_key_services.h"
#include "keydb/key_create.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_ops.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"
#include "keydb/sig_packet.h"

namespace {

constexpr QOXOptionType kChangeSet[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey,
                                        kQOXOptionType_CachePassphrase};
constexpr uint32_t kChangeSetCount = sizeof kChangeSet / sizeof kChangeSet[0];
// Options set by a caller on purpose sit at this priority.
constexpr int32_t kOptionPriority = 25;

// The values read from a change's option list.
struct ChangeArgs {
  const char* oldBytes = nullptr;
  size_t oldLength = 0;
  const char* newBytes = nullptr;
  size_t newLength = 0;
  bool newIsPasskey = false;
  uint32_t cacheTimeOut = 0;
  bool cacheGlobally = false;
};

// The option at the index as a Passphrase or PasskeyBuffer value.
QOXError ReadValue(QOXOptionListRef list, uint32_t index, const char** outBytes, size_t* outLength,
                   bool* outIsPasskey) {
  QOXOption option{};
  if (qoxGetIndexedOption(list, index, true, &option) != kQOXErrNoErr) return kQOXErrBadParams;
  if (option.type != kQOXOptionType_Passphrase && option.type != kQOXOptionType_Passkey) return kQOXErrBadParams;
  void* bytes = nullptr;
  size_t length = 0;
  qoxOptionPtrLength(&option, &bytes, &length);
  *outBytes = static_cast<const char*>(bytes);
  *outLength = bytes != nullptr ? length : 0;
  *outIsPasskey = option.type == kQOXOptionType_Passkey;
  return kQOXErrNoErr;
}

QOXError ReadChangeOptions(QOXOptionListRef list, ChangeArgs* out) {
  *out = ChangeArgs{};
  if (QOXError err = qoxCheckOptionsInSet(list, kChangeSet, kChangeSetCount); err != kQOXErrNoErr) return err;
  bool oldIsPasskey = false;
  if (QOXError err = ReadValue(list, 0, &out->oldBytes, &out->oldLength, &oldIsPasskey); err != kQOXErrNoErr)
    return err;
  if (QOXError err = ReadValue(list, 1, &out->newBytes, &out->newLength, &out->newIsPasskey); err != kQOXErrNoErr)
    return err;
  uint32_t cacheTime = 0;
  unsigned char global = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_CachePassphrase, false, "%d%b", &cacheTime, &global);
      err != kQOXErrNoErr)
    return err;
  out->cacheTimeOut = cacheTime;
  out->cacheGlobally = global != 0;
  return kQOXErrNoErr;
}

// Owns an engine secret-key object.
struct SecKeyOwner {
  QOXSecKey* key;
  ~SecKeyOwner() {
    if (key != nullptr) key->destroy(key);
  }
};

// Owns an environment copy.
struct EnvOwner {
  QOXEnv* env = nullptr;
  ~EnvOwner() {
    if (env != nullptr) qoxenvDestroy(env);
  }
};

bool IsRSA(uint8_t algorithm) {
  return algorithm == kQOXPublicKeyAlgorithm_RSA || algorithm == kQOXPublicKeyAlgorithm_RSAEncryptOnly ||
         algorithm == kQOXPublicKeyAlgorithm_RSASignOnly;
}

// A copy of the context's environment whose cipher setting is the first
// known cipher of the key's preferred algorithms (the master key's for a
// subkey), when it has one.
QOXError LockingEnvironment(QOXKeyDBObj* key, EnvOwner* out) {
  if (QOXError err = qoxenvCopy(qoxContextGetEnvironment(QOXPeekKeyDBObjContext(key)), &out->env);
      err != kQOXErrNoErr)
    return err;
  size_t length = 0;
  const uint8_t* prefs = qoxKeyFindSubpacket(qoxObjTopKey(key), kQOXSubpacket_PrefAlgs, 0, &length, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
  for (size_t i = 0; prefs != nullptr && i < length; ++i) {
    if (qoxCipherGetVTBL(prefs[i]) != nullptr)
      return qoxenvSetInt(out->env, kQOXEnvCipherAlgorithm, prefs[i], kOptionPriority);
  }
  return kQOXErrNoErr;
}

// The front end's key after its back end changed it: fetched again on next
// use, children too, and the database marked changed.
void RefreshFrontEnd(QOXKeyDBObj* key) {
  qoxKeyDBObjRefresh(key, true);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
}

// Runs the change on a key or subkey, in process or through its back end.
QOXError Change(QOXKeyDBObj* object, const ChangeArgs& a) {
  if (!qoxFrontEndKey(object))
    return qoxDoChangePassphrase_internal(object, a.oldBytes, a.oldLength, a.newBytes, a.newLength, a.newIsPasskey,
                                          a.cacheTimeOut, a.cacheGlobally);
  const QOXError err =
      qoxDoChangePassphrase_back(QOXPeekKeyDBObjContext(object), qoxKeyDBObjID(object), a.oldBytes, a.oldLength,
                                 a.newBytes, a.newLength, a.newIsPasskey, a.cacheTimeOut, a.cacheGlobally);
  if (err == kQOXErrNoErr) RefreshFrontEnd(qoxObjTopKey(object));
  return err;
}

}  // namespace

QOXError qoxDoChangePassphrase_internal(QOXKeyDBObj* key, const char* oldPassphrase, size_t oldLength,
                                        const char* newPassphrase, size_t newLength, bool newIsPasskey,
                                        uint32_t cacheTimeOut, bool cacheGlobally) {
  if (!qoxKeyIsValid(key) && !qoxSubKeyIsValid(key)) return kQOXErrBadParams;
  if (oldPassphrase == nullptr) oldLength = 0;
  if (newPassphrase == nullptr) newLength = 0;
  SecKeyOwner sec{qoxSecSecKey(key, 0)};
  if (sec.key == nullptr) return kQOXErrNoSecretKeyFound;
  if (sec.key->islocked(sec.key) != 0) {
    if (oldLength == 0) return kQOXErrBadPassphrase;
    const int unlocked = sec.key->unlock(sec.key, oldPassphrase, oldLength, 0);
    if (unlocked == 0) return kQOXErrBadPassphrase;
    if (unlocked != 1) return unlocked;
  }
  const int kind = newIsPasskey           ? kQOXS2K_LiteralShared
                   : IsRSA(sec.key->algorithm) ? kQOXS2K_Simple
                                               : kQOXS2K_IteratedSalted;
  EnvOwner env;
  if (QOXError err = LockingEnvironment(key, &env); err != kQOXErrNoErr) return err;
  QOXContext* context = QOXPeekKeyDBObjContext(key);
  if (QOXError err = sec.key->changeLock(sec.key, env.env, qoxContextGetX9_17RandomContext(context), newPassphrase,
                                         newLength, kind);
      err != kQOXErrNoErr)
    return err;
  if (QOXError err = qoxUpdateSecKeyData(key, sec.key); err != kQOXErrNoErr) return err;
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  // As after an unlock, a passkey is cached only under a time-out: one
  // stored without would stand until the clock's next second.
  if (cacheTimeOut == 0) return kQOXErrNoErr;
  return qoxSecKeyCachePassphrase(sec.key, newPassphrase, newLength, newIsPasskey, cacheTimeOut, cacheGlobally);
}

QOXError qoxChangePassphraseInternal(QOXKeyDBObj* key, QOXOptionListRef optionList) {
  ChangeArgs args;
  if (QOXError err = ReadChangeOptions(optionList, &args); err != kQOXErrNoErr) return err;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  return Change(key, args);
}

QOXError qoxChangeSubKeyPassphraseInternal(QOXKeyDBObj* subKey, QOXOptionListRef optionList) {
  ChangeArgs args;
  if (QOXError err = ReadChangeOptions(optionList, &args); err != kQOXErrNoErr) return err;
  if (!qoxSubKeyIsValid(subKey) || !qoxKeyIsValid(qoxObjParent(subKey))) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(subKey)) return kQOXErrObjectDeleted;
  return Change(subKey, args);
}

QOXError qoxDoChangePassphrase_back(QOXContext* context, uintptr_t key, const char* oldPassphrase,
                                    size_t oldLength, const char* newPassphrase, size_t newLength,
                                    bool newIsPasskey, uint32_t cacheTimeOut, bool cacheGlobally) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled())
    return rpc.qoxDoChangePassphrase_backRPC(context, key, oldPassphrase, oldLength, newPassphrase, newLength,
                                             newIsPasskey, cacheTimeOut, cacheGlobally);
  auto* object = reinterpret_cast<QOXKeyDBObj*>(key);
  if (!qoxKeyDBObjIsValid(object)) return kQOXErrBadParams;
  return qoxDoChangePassphrase_internal(object, oldPassphrase, oldLength, newPassphrase, newLength, newIsPasskey,
                                        cacheTimeOut, cacheGlobally);
}

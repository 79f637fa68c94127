// Revocations of keys, subkeys and signatures.
#include "keydb/key_revoke.h"

#include "foundation/core/sig_spec.h"
#include "foundation/option_types.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_certify.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_manage.h"
#include "keydb/key_manage_support.h"
#include "keydb/notifications.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"

namespace {

constexpr QOXOptionType kPassphraseSet[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey,
                                            kQOXOptionType_CachePassphrase};
constexpr uint32_t kPassphraseSetCount = sizeof kPassphraseSet / sizeof kPassphraseSet[0];

// Signs `target` with the class: by `owner` when it has a secret part, else
// by the owner's designated revokers in subpacket order. A revoker counts
// when present with a matching fingerprint, sensitive (class bit 0x80) and
// secret; a revoker whose passphrase is refused gives way to the next. No
// revoker left: 0 with nothing made.
QOXError RevokeWithOwnerOrRevokers(QOXKeyDBObj* owner, QOXKeyDBObj* target, uint8_t sigClass,
                                   const QOXPassphraseArgs& pass) {
  if (qoxKeyIsSec(owner)) {
    QOXSigSpec* spec = nullptr;
    if (QOXError err = qoxPrepareSigner(owner, sigClass, pass, &spec); err != kQOXErrNoErr) return err;
    return sCertifyObject(spec, target);
  }
  for (size_t n = 0;; ++n) {
    uint8_t algorithm = 0;
    uint8_t revokerClass = 0;
    QOXKeyID keyID;
    QOXError err = kQOXErrNoErr;
    QOXKeyDBObj* revoker = qoxKeyRevocationKey(owner, n, &algorithm, &keyID, &revokerClass, nullptr, &err);
    if (err == kQOXErrItemNotFound) return kQOXErrNoErr;
    if (err != kQOXErrNoErr) return err;
    if (revoker == nullptr || (revokerClass & kQOXRevocationKeyClass_Sensitive) == 0 || !qoxKeyIsSec(revoker))
      continue;
    QOXSigSpec* spec = nullptr;
    err = qoxPrepareSigner(revoker, sigClass, pass, &spec);
    if (err == kQOXErrNoErr) err = sCertifyObject(spec, target);
    if (err != kQOXErrBadPassphrase) return err;
  }
}

// 0 for a key or subkey that may still be revoked; 1 for one already
// revoked or expired; else the property's error.
int RevokedOrExpired(QOXKeyDBObj* key, bool subKey, QOXError* outError) {
  *outError = kQOXErrNoErr;
  if (qoxKeyRevoked(key)) return 1;
  bool expired = false;
  *outError = subKey ? qoxGetSubKeyBoolean(key, static_cast<int32_t>(KeyDBObjProperty::SubKeyIsExpired), &expired)
                     : qoxGetKeyBooleanInternal(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsExpired), &expired);
  return expired ? 1 : 0;
}

// The RPC client's table holds no stubs for these entries: with the
// service link on, the IDs name objects of another process and nothing is
// run here.
bool ServiceLinkOn() { return qoxRPCClientServices().qoxRPCEnabled(); }

QOXKeyDBObj* Object(uintptr_t id) {
  auto* object = reinterpret_cast<QOXKeyDBObj*>(id);
  return qoxKeyDBObjIsValid(object) ? object : nullptr;
}

// After a back-end change: the key recorded for the other connections and
// the key array of `first` and what is under it.
QOXError Changed(QOXContext* context, QOXKeyDBObj* first, KeyArrayWord** outArray, size_t* outArrayLength) {
  qoxSetPendingNotify(context, nullptr, nullptr, nullptr, qoxObjTopKey(first));
  return qoxCreateKeyArray(context, first, 1, nullptr, outArray, outArrayLength);
}

// The front end's copy of the back end's changed objects: the key holding
// `changed` refreshed, then the array (starting at the back end's copy of
// `first`) merged under first's parent (the database marked changed).
QOXError MergeFrontEnd(QOXKeyDBObj* changed, QOXKeyDBObj* first, KeyArrayWord* array, size_t length) {
  qoxKeyDBObjRefresh(qoxObjTopKey(changed), true);
  const QOXError err = qoxAddFromKeyArray(qoxObjKeyDB(first), qoxObjParent(first), array, length, 1, false);
  QOXFreeData(array);
  return err;
}

// The option forms' shared road: read the passphrase options, run the
// in-process worker or the back-end entry, recalculate trust.
template <typename Worker, typename Back>
QOXError RunRevocation(QOXKeyDBObj* object, QOXKeyDBObj* mergeFirst, QOXOptionListRef optionList, Worker worker,
                       Back back) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kPassphraseSet, kPassphraseSetCount, &pass);
      err != kQOXErrNoErr)
    return err;
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(object)) {
    KeyArrayWord* array = nullptr;
    size_t length = 0;
    err = back(QOXPeekKeyDBObjContext(object), qoxKeyDBObjID(object), pass.bytes, pass.length, pass.hashed,
               pass.cacheTimeOut, pass.cacheGlobally, &array, &length);
    if (err == kQOXErrNoErr) err = MergeFrontEnd(object, mergeFirst, array, length);
  } else {
    err = worker(object, pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut, pass.cacheGlobally);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(object);
}

}  // namespace

QOXError qoxRevokeKey_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                               uint32_t cacheTimeOut, bool cacheGlobally) {
  if (qoxSubKeyIsValid(key)) return qoxRevokeSubKey_internal(key, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  QOXError err = kQOXErrNoErr;
  if (RevokedOrExpired(key, false, &err) != 0 || err != kQOXErrNoErr) return err;
  return RevokeWithOwnerOrRevokers(key, key, kQOXSigType_KeyRevocation,
                                   qoxPassphraseArgs(passphrase, length, hashed, cacheTimeOut, cacheGlobally));
}

QOXError qoxRevokeSubKey_internal(QOXKeyDBObj* subKey, const char* passphrase, size_t length, bool hashed,
                                  uint32_t cacheTimeOut, bool cacheGlobally) {
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(subKey)) return kQOXErrObjectDeleted;
  QOXError err = kQOXErrNoErr;
  if (RevokedOrExpired(subKey, true, &err) != 0 || err != kQOXErrNoErr) return err;
  return RevokeWithOwnerOrRevokers(qoxObjTopKey(subKey), subKey, kQOXSigType_SubkeyRevocation,
                                   qoxPassphraseArgs(passphrase, length, hashed, cacheTimeOut, cacheGlobally));
}

QOXError qoxRevokeSig_internal(QOXKeyDBObj* sig, const char* passphrase, size_t length, bool hashed,
                               uint32_t cacheTimeOut, bool cacheGlobally) {
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(sig)) return kQOXErrObjectDeleted;
  bool revoked = false;
  if (QOXError err = qoxGetSigBooleanInternal(sig, static_cast<int32_t>(KeyDBObjProperty::SigIsRevoked), &revoked);
      err != kQOXErrNoErr)
    return err;
  if (revoked) return kQOXErrNoErr;
  QOXKeyDBObj* maker = qoxSigMaker(sig);
  if (maker == nullptr) return kQOXErrItemNotFound;
  QOXSigSpec* spec = nullptr;
  const QOXPassphraseArgs pass = qoxPassphraseArgs(passphrase, length, hashed, cacheTimeOut, cacheGlobally);
  if (QOXError err = qoxPrepareSigner(maker, kQOXSigType_CertRevocation, pass, &spec);
      err != kQOXErrNoErr)
    return err;
  if (!qoxSigExportable(sig)) {
    if (QOXError err = qoxSigSpecSetExportable(spec, 0, 0); err != kQOXErrNoErr) {
      qoxSigSpecDestroy(spec);
      return err;
    }
  }
  return sCertifyObject(spec, qoxObjParent(sig));
}

QOXError qoxRevokeKeyInternal(QOXKeyDBObj* key, QOXOptionListRef optionList) {
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  return RunRevocation(key, key, optionList, qoxRevokeKey_internal, qoxRevokeKey_back);
}

QOXError qoxRevokeSubKeyInternal(QOXKeyDBObj* subKey, QOXOptionListRef optionList) {
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  // The back end's key revocation takes the subkey; the key holding it
  // comes back.
  return RunRevocation(subKey, qoxObjTopKey(subKey), optionList, qoxRevokeSubKey_internal, qoxRevokeKey_back);
}

QOXError qoxRevokeSigInternal(QOXKeyDBObj* sig, QOXOptionListRef optionList) {
  if (!qoxSigIsValid(sig)) return kQOXErrBadParams;
  return RunRevocation(sig, qoxObjParent(sig), optionList, qoxRevokeSig_internal, qoxRevokeSig_back);
}

QOXError qoxRevokeKey_back(QOXContext* context, uintptr_t key, const char* passphrase, size_t length, bool hashed,
                           uint32_t cacheTimeOut, bool cacheGlobally, KeyArrayWord** outArray,
                           size_t* outArrayLength) {
  if (ServiceLinkOn()) return kQOXErrFeatureNotAvailable;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDBObj* object = Object(key);
  if (object == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxRevokeKey_internal(object, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  return Changed(context, qoxObjTopKey(object), outArray, outArrayLength);
}

QOXError qoxRevokeSig_back(QOXContext* context, uintptr_t sig, const char* passphrase, size_t length, bool hashed,
                           uint32_t cacheTimeOut, bool cacheGlobally, KeyArrayWord** outArray,
                           size_t* outArrayLength) {
  if (ServiceLinkOn()) return kQOXErrFeatureNotAvailable;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDBObj* object = Object(sig);
  if (object == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxRevokeSig_internal(object, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  return Changed(context, qoxObjParent(object), outArray, outArrayLength);
}

// Signer preparation and certification of an object.
#include "keydb/key_certify.h"

#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_create.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_manage_support.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"
#include "keydb/sig_packet.h"

namespace {

constexpr uint8_t kUserIDCertification = 0x10;
constexpr uint8_t kKeyRevocation = 0x20;
constexpr int32_t kSigVersion3 = 3;
constexpr int32_t kSigVersion4 = 4;

// The signer is the object, one of its parents or the key holding it.
bool SelfCertified(QOXKeyDBObj* signer, QOXKeyDBObj* object) {
  for (QOXKeyDBObj* o = object; o != nullptr; o = qoxObjParent(o)) {
    if (o == signer) return true;
  }
  return qoxObjTopKey(object) == signer;
}

// A DSA (or other non-RSA) key certifying its own user ID: version 4 with
// the key's preferred algorithms and key expiration.
QOXError FitSelfCertification(QOXSigSpec* spec, QOXKeyDBObj* signer) {
  if (QOXError err = qoxSigSpecSetVersion(spec, kSigVersion4); err != kQOXErrNoErr) return err;
  size_t length = 0;
  QOXError findError = kQOXErrNoErr;
  const uint8_t* prefs = qoxKeyFindSubpacket(signer, kQOXSubpacket_PrefAlgs, 0, &length, nullptr, nullptr, nullptr,
                                             nullptr, &findError);
  if (prefs != nullptr) {
    if (QOXError err = qoxSigSpecSetPrefAlgs(spec, 0, prefs, length); err != kQOXErrNoErr) return err;
  }
  const QOXTime expiration = qoxKeyExpiration(signer);
  const QOXTime creation = qoxKeyCreation(signer);
  if (expiration != 0 && expiration > creation)
    return qoxSigSpecSetKeyExpiration(spec, 0, expiration - creation);
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxPrepareSigner(QOXKeyDBObj* signer, uint8_t sigClass, const QOXPassphraseArgs& pass,
                          QOXSigSpec** outSpec) {
  *outSpec = nullptr;
  bool seeded = false;
  qoxGlobalRandomPoolGetInfo_internal(nullptr, nullptr, nullptr, &seeded);
  if (!seeded) return kQOXErrOutOfEntropy;
  const char* passphrase = pass.length != 0 ? pass.bytes : nullptr;
  const size_t length = passphrase != nullptr ? pass.length : 0;
  if (!qoxKeyIsValid(signer) && !qoxSubKeyIsValid(signer)) return kQOXErrNoSecretKeyFound;
  bool signs = false;
  if (!qoxKeyIsSec(signer) ||
      qoxGetKeyBooleanInternal(signer, static_cast<int32_t>(KeyDBObjProperty::KeyHasSigningUse), &signs) !=
          kQOXErrNoErr ||
      !signs)
    return kQOXErrNoSecretKeyFound;
  if (QOXError err = qoxUnlockKey(signer, passphrase, length, pass.hashed, pass.cacheTimeOut, pass.cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  QOXSigSpec* spec = qoxSigSpecCreate(qoxContextGetEnvironment(QOXPeekKeyDBObjContext(signer)), signer, sigClass);
  if (spec == nullptr) return kQOXErrOutOfMemory;
  if (QOXError err = qoxSigSpecSetPassphrase(spec, reinterpret_cast<const uint8_t*>(passphrase), length,
                                             pass.hashed ? 1 : 0);
      err != kQOXErrNoErr) {
    qoxSigSpecDestroy(spec);
    return err;
  }
  *outSpec = spec;
  return kQOXErrNoErr;
}

QOXError sCertifyObject(QOXSigSpec* spec, QOXKeyDBObj* object) {
  if (spec == nullptr) return kQOXErrBadParams;
  QOXKeyDBObj* signer = qoxSigSpecSeckey(spec);
  QOXError err = kQOXErrNoErr;
  int32_t algorithm = 0;
  if (qoxGetKeyNumber(signer, static_cast<int32_t>(KeyDBObjProperty::KeyAlgorithm), &algorithm) == kQOXErrNoErr &&
      algorithm > static_cast<int32_t>(kQOXPublicKeyAlgorithm_RSA) && qoxSigSpecSigType(spec) == kUserIDCertification &&
      SelfCertified(signer, object))
    err = FitSelfCertification(spec, signer);
  if (err == kQOXErrNoErr && qoxSigSpecSigType(spec) == kKeyRevocation && qoxObjTopKey(object) == object)
    err = qoxSigSpecSetVersion(spec, kSigVersion3);
  if (err == kQOXErrNoErr) {
    err = qoxSignObject(object, spec);
    qoxKeyDBChanged(qoxObjKeyDB(object), true);
  }
  qoxSigSpecDestroy(spec);
  return err;
}

// Designated revokers, renewed self-signatures and the primary user ID.
#include "keydb/key_options.h"

#include <cstring>
#include <vector>

#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/env.h"
#include "foundation/option_types.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/key_create.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_lookup.h"
#include "keydb/key_manage_support.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"

namespace {

constexpr QOXOptionType kPassphraseSet[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey,
                                            kQOXOptionType_CachePassphrase};
constexpr uint32_t kPassphraseSetCount = sizeof kPassphraseSet / sizeof kPassphraseSet[0];
// Preferred algorithms arrive as 32-bit values, one per algorithm.
constexpr size_t kAlgorithmValueSize = 4;

// Owns signature settings.
struct SpecOwner {
  QOXSigSpec* spec = nullptr;
  ~SpecOwner() {
    if (spec != nullptr) qoxSigSpecDestroy(spec);
  }
};

QOXEnv* EnvOf(QOXKeyDBObj* object) { return qoxContextGetEnvironment(QOXPeekKeyDBObjContext(object)); }

// Now plus the environment's signature-time offset.
QOXTime SignatureTime(QOXKeyDBObj* object) {
  return qoxTimeStamp(static_cast<int32_t>(qoxenvGetInt(EnvOf(object), kQOXEnvTimeOffsetHours, nullptr, nullptr)));
}

// The front end's key after its back end changed it: fetched again on next
// use, children too, and the database marked changed.
void RefreshFrontEnd(QOXKeyDBObj* key) {
  qoxKeyDBObjRefresh(key, true);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
}

QOXError SetPassphrase(QOXSigSpec* spec, const QOXPassphraseArgs& pass) {
  const size_t length = pass.bytes != nullptr ? pass.length : 0;
  return qoxSigSpecSetPassphrase(spec, reinterpret_cast<const uint8_t*>(pass.bytes), length, pass.hashed ? 1 : 0);
}

// A self-signature to replace the object's current one: a copy of its
// latest self-certification by the key (set in *outOld), or a new class
// 0x10 settings; with the passphrase and the creation time.
QOXError RenewalSpec(QOXKeyDBObj* object, QOXKeyDBObj* key, QOXTime creation, const QOXPassphraseArgs& pass,
                     SpecOwner* out, QOXKeyDBObj** outOld) {
  *outOld = qoxLatestSigByKey(object, key);
  QOXError err = kQOXErrNoErr;
  if (*outOld != nullptr) {
    out->spec = qoxSigSigSpec(*outOld, &err);
    if (out->spec == nullptr) return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
  } else {
    out->spec = qoxSigSpecCreate(EnvOf(key), key, kQOXSigType_CertClass);
    if (out->spec == nullptr) return kQOXErrOutOfMemory;
  }
  if (QOXError e = qoxSigSpecSetTimestamp(out->spec, creation); e != kQOXErrNoErr) return e;
  return SetPassphrase(out->spec, pass);
}

// Signs the object; the database is marked changed when a signature was
// made.
QOXError Sign(QOXKeyDBObj* object, QOXSigSpec* spec) {
  const QOXError err = qoxSignObject(object, spec);
  if (err == kQOXErrNoErr) qoxKeyDBChanged(qoxObjKeyDB(object), true);
  return err;
}

std::vector<QOXKeyDBObj*> RealUserIDs(QOXKeyDBObj* key) {
  std::vector<QOXKeyDBObj*> out;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == kQOXKeyDBObjType_UserID) out.push_back(c);
  }
  return out;
}

// The user ID becomes the first of its key's user IDs; the key's own
// signatures stay before it, as they stand in the key's packets.
void MoveToFront(QOXKeyDBObj* userID) {
  QOXKeyDBObj* key = qoxObjParent(userID);
  QOXKeyDBObj* lastSig = nullptr;
  for (QOXKeyDBObj* c = key->child; c != nullptr && qoxObjectType(c) == kQOXKeyDBObjType_Sig; c = c->next) lastSig = c;
  const QOXKeyDBObj* first = lastSig != nullptr ? lastSig->next : key->child;
  if (first == userID) return;
  qoxUnlinkChild(userID);
  qoxLinkChildAfter(key, lastSig, userID);
}

// The object checks of both primary-user-ID operations.
QOXError CheckUserID(QOXKeyDBObj* userID) {
  if (!qoxUserIDIsValid(userID) || !qoxKeyIsValid(qoxObjParent(userID))) return kQOXErrBadParams;
  if (qoxKeyDBObjIsDeleted(userID)) return kQOXErrObjectDeleted;
  return qoxKeyUsableForChange(qoxObjParent(userID));
}

}  // namespace

// --- Renewing self-signatures ---

QOXError qoxUpdateKeyOptions_internal(QOXKeyDBObj* key, const QOXKeyOptionsUpdate& u, const QOXPassphraseArgs& pass) {
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(key); err != kQOXErrNoErr) return err;
  if (!u.preferredAlgorithmsGiven && !u.preferredKeyServerGiven && !u.keyFlagsGiven && !u.keyServerPreferencesGiven)
    return kQOXErrNoErr;
  const QOXTime now = SignatureTime(key);
  const char* passphrase = pass.bytes != nullptr ? pass.bytes : "";
  if (QOXError err = qoxUnlockKey(key, passphrase, pass.length, pass.hashed, pass.cacheTimeOut, pass.cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  QOXError first = kQOXErrNoErr;
  for (QOXKeyDBObj* userID : RealUserIDs(key)) {
    SpecOwner renewal;
    QOXKeyDBObj* old = nullptr;
    QOXError err = RenewalSpec(userID, key, now + 1, pass, &renewal, &old);
    QOXSigSpec* s = renewal.spec;
    // Each setter replaces the copied subpacket of its type.
    if (err == kQOXErrNoErr) err = qoxSigSpecSetPrefAlgs(s, 0, u.preferredAlgorithms, u.preferredAlgorithmsLength);
    if (err == kQOXErrNoErr)
      err = qoxSigSpecSetPrefKeyServ(s, 0, u.preferredKeyServer, u.preferredKeyServerLength);
    uint8_t word[4];
    if (err == kQOXErrNoErr && u.keyFlagsGiven) {
      QOXUInt32ToEndian(u.keyFlags, kQOXLittleEndian, word);
      err = qoxSigSpecSetKeyFlags(s, 0, word, sizeof word);
    }
    if (err == kQOXErrNoErr && u.keyServerPreferencesGiven) {
      QOXUInt32ToEndian(u.keyServerPreferences, kQOXLittleEndian, word);
      err = qoxSigSpecSetKeyServPrefs(s, 0, word, sizeof word);
    }
    if (err == kQOXErrNoErr) err = Sign(userID, s);
    // The old self-signature is revoked only once the new one stands.
    if (err == kQOXErrNoErr && old != nullptr) {
      SpecOwner revocation{qoxSigSpecCreate(EnvOf(key), key, kQOXSigType_CertRevocation)};
      if (revocation.spec == nullptr) err = kQOXErrOutOfMemory;
      if (err == kQOXErrNoErr) err = qoxSigSpecSetTimestamp(revocation.spec, now);
      if (err == kQOXErrNoErr) err = SetPassphrase(revocation.spec, pass);
      if (err == kQOXErrNoErr) err = Sign(userID, revocation.spec);
    }
    if (first == kQOXErrNoErr) first = err;
  }
  return first;
}

QOXError qoxUpdateKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kQOXKeyOptionsSet, kQOXKeyOptionsSetCount, &pass);
      err != kQOXErrNoErr)
    return err;
  QOXKeyOptionsUpdate u;
  unsigned char found = 0;
  void* bytes = nullptr;
  size_t length = 0;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_PreferredAlgorithms, false, "%b%p%l", &found,
                                       &bytes, &length);
      err != kQOXErrNoErr)
    return err;
  // The low byte of each 32-bit value, in the host's order the caller wrote.
  std::vector<uint8_t> algorithms;
  if (found != 0) {
    u.preferredAlgorithmsGiven = true;
    const auto* values = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; values != nullptr && i + kAlgorithmValueSize <= length; i += kAlgorithmValueSize) {
      uint32_t value = 0;
      std::memcpy(&value, values + i, sizeof value);
      algorithms.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    u.preferredAlgorithms = algorithms.data();
    u.preferredAlgorithmsLength = algorithms.size();
  }
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_PreferredKeyServer, false, "%b%p%l", &found,
                                       &bytes, &length);
      err != kQOXErrNoErr)
    return err;
  if (found != 0) {
    u.preferredKeyServerGiven = true;
    u.preferredKeyServer = static_cast<const uint8_t*>(bytes);
    u.preferredKeyServerLength = bytes != nullptr ? length : 0;
  }
  uint32_t word = 0;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_KeyFlags, false, "%b%d", &found, &word);
      err != kQOXErrNoErr)
    return err;
  u.keyFlagsGiven = found != 0;
  u.keyFlags = word;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_KeyServerPreferences, false, "%b%d", &found, &word);
      err != kQOXErrNoErr)
    return err;
  u.keyServerPreferencesGiven = found != 0;
  u.keyServerPreferences = word;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(key)) {
    err = qoxUpdateKeyOptions_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), u, pass);
    RefreshFrontEnd(key);
  } else {
    err = qoxUpdateKeyOptions_internal(key, u, pass);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(key);
}

// --- Primary user ID ---

QOXError qoxSetPrimaryUserID_internal(QOXKeyDBObj* userID) {
  if (QOXError err = CheckUserID(userID); err != kQOXErrNoErr) return err;
  QOXKeyDBObj* key = qoxObjParent(userID);
  MoveToFront(userID);
  if (qoxKeyPrimaryUserID(key, qoxUserIDAttributeType(userID)) == userID) return kQOXErrNoErr;
  if (QOXError err = qoxKeySetPrimaryUserID(userID); err != kQOXErrNoErr) return err;
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  return kQOXErrNoErr;
}

QOXError qoxCertifyPrimaryUserID_internal(QOXKeyDBObj* userID, const QOXPassphraseArgs& pass) {
  if (QOXError err = CheckUserID(userID); err != kQOXErrNoErr) return err;
  QOXKeyDBObj* key = qoxObjParent(userID);
  if (!qoxKeyIsSec(key)) return qoxSetPrimaryUserID_internal(userID);
  const char* passphrase = pass.bytes != nullptr ? pass.bytes : "";
  if (QOXError err = qoxUnlockKey(key, passphrase, pass.length, pass.hashed, pass.cacheTimeOut, pass.cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  const QOXTime now = SignatureTime(key);
  // The chosen user ID first: nothing changes unless it is signed.
  {
    SpecOwner renewal;
    QOXKeyDBObj* old = nullptr;
    QOXError err = RenewalSpec(userID, key, now, pass, &renewal, &old);
    if (err == kQOXErrNoErr) err = qoxSigSpecSetPrimaryUserID(renewal.spec, 0, 1);
    if (err == kQOXErrNoErr) err = Sign(userID, renewal.spec);
    if (err != kQOXErrNoErr) return err;
    MoveToFront(userID);
    qoxKeyDBChanged(qoxObjKeyDB(key), true);
    if (old != nullptr) {
      if (QOXError e = qoxMarkKeyDBObjectDeleted(old); e != kQOXErrNoErr) return e;
    }
  }
  // Every other user ID that still says it is primary says so no more.
  QOXError first = kQOXErrNoErr;
  for (QOXKeyDBObj* other : RealUserIDs(key)) {
    if (other == userID) continue;
    QOXKeyDBObj* latest = qoxLatestSigByKey(other, key);
    const SigInfo* info = latest != nullptr ? qoxSigToSigInfo(latest) : nullptr;
    if (info == nullptr || (info->sigFlags & kQOXSigFlag_PrimaryUserID) == 0) continue;
    SpecOwner renewal;
    QOXKeyDBObj* old = nullptr;
    QOXError err = RenewalSpec(other, key, now, pass, &renewal, &old);
    if (err == kQOXErrNoErr) err = qoxSigSpecSetPrimaryUserID(renewal.spec, 0, 0);
    if (err == kQOXErrNoErr) err = Sign(other, renewal.spec);
    if (err == kQOXErrNoErr && old != nullptr) err = qoxMarkKeyDBObjectDeleted(old);
    if (first == kQOXErrNoErr) first = err;
  }
  return first;
}

QOXError qoxCertifyPrimaryUserIDInternal(QOXKeyDBObj* userID, QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kPassphraseSet, kPassphraseSetCount, &pass);
      err != kQOXErrNoErr)
    return err;
  if (!qoxUserIDIsValid(userID)) return kQOXErrBadParams;
  if (!qoxFrontEndKey(userID)) return qoxCertifyPrimaryUserID_internal(userID, pass);
  const QOXError err = qoxCertifyPrimaryUserID_back(QOXPeekKeyDBObjContext(userID), qoxKeyDBObjID(userID), pass);
  RefreshFrontEnd(qoxObjTopKey(userID));
  return err;
}

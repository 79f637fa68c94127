// Adding user IDs and attributes, and certifying user IDs.
#include "keydb/key_user_ids.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/env.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/regex.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_certify.h"
#include "keydb/key_create.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_manage.h"
#include "keydb/key_manage_support.h"
#include "keydb/notifications.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"
#include "keydb/trust.h"

namespace {

constexpr QOXOptionType kPassphraseSet[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey,
                                            kQOXOptionType_CachePassphrase};
constexpr uint32_t kPassphraseSetCount = sizeof kPassphraseSet / sizeof kPassphraseSet[0];
constexpr QOXOptionType kCertifySet[] = {kQOXOptionType_Passphrase,   kQOXOptionType_Passkey,
                                         kQOXOptionType_CachePassphrase, kQOXOptionType_Expiration,
                                         kQOXOptionType_CreationDate, kQOXOptionType_Exportable,
                                         kQOXOptionType_SigTrust,     kQOXOptionType_SigRegularExpression};
constexpr uint32_t kCertifySetCount = sizeof kCertifySet / sizeof kCertifySet[0];
constexpr uint64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerHour = 3600;
constexpr uint64_t kLastTime = 0xFFFFFFFF;

// A real user ID of the key of the same kind with the same content: the
// text for a name, the first subpacket (type, length and bytes) for an
// attribute.
bool HasSameUserID(QOXKeyDBObj* key, bool attribute, uint8_t attributeType, const uint8_t* data, size_t length) {
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || qoxObjectType(c) != kQOXKeyDBObjType_UserID) continue;
    if (qoxUserIDIsAttribute(c) != attribute) continue;
    size_t have = 0;
    const uint8_t* bytes = nullptr;
    if (attribute) {
      uint8_t type = 0;
      QOXError err = kQOXErrNoErr;
      bytes = qoxUserIDAttributeSubpacket(c, 0, &type, &have, &err);
      if (bytes == nullptr || type != attributeType) continue;
    } else {
      bytes = qoxUserIDName(c, &have);
      if (bytes == nullptr) continue;
    }
    if (have == length && (length == 0 || std::memcmp(bytes, data, length) == 0)) return true;
  }
  return false;
}

// The signature was made by the key: its maker, or (the key sitting in
// another database) a signer with the key's algorithm and 8-byte key ID.
bool SignedBy(QOXKeyDBObj* sig, QOXKeyDBObj* key) {
  if (qoxSigMaker(sig) == key) return true;
  uint8_t sigAlgorithm = 0;
  uint8_t keyAlgorithm = 0;
  QOXKeyID sigID;
  QOXKeyID keyID;
  return qoxSigID8(sig, &sigAlgorithm, &sigID) == kQOXErrNoErr &&
         qoxKeyID8(key, &keyAlgorithm, &keyID) == kQOXErrNoErr && sigAlgorithm == keyAlgorithm &&
         sigID.length == keyID.length && std::memcmp(sigID.bytes, keyID.bytes, keyID.length) == 0;
}

// Days of the Expiration option as seconds, held at the last time.
uint32_t DaysToSeconds(uint32_t days) {
  const uint64_t seconds = uint64_t{days} * kSecondsPerDay;
  return seconds > kLastTime ? static_cast<uint32_t>(kLastTime) : static_cast<uint32_t>(seconds);
}

// A creation time moved by the environment's offset, kept within QOXTime.
QOXTime OffsetTime(const QOXEnv* env, QOXTime time) {
  const auto hours = static_cast<int32_t>(qoxenvGetInt(env, kQOXEnvTimeOffsetHours, nullptr, nullptr));
  const int64_t moved = int64_t{time} + int64_t{hours} * kSecondsPerHour;
  if (moved < 0) return 0;
  return moved > static_cast<int64_t>(kLastTime) ? static_cast<QOXTime>(kLastTime) : static_cast<QOXTime>(moved);
}

// The RPC client's table holds no stubs for these entries: with the
// service link on, the IDs name objects of another process and nothing is
// run here.
bool ServiceLinkOn() { return qoxRPCClientServices().qoxRPCEnabled(); }

QOXKeyDBObj* Object(uintptr_t id) {
  auto* object = reinterpret_cast<QOXKeyDBObj*>(id);
  return qoxKeyDBObjIsValid(object) ? object : nullptr;
}

// The ID the back end knows a signing key by: a front end's object names
// its back-end object; a back-end object is its own address.
uintptr_t BackEndID(QOXKeyDBObj* object) {
  return qoxFrontEndKey(object) ? qoxKeyDBObjID(object) : qoxBackEndObjectID(object);
}

// Merges a back end's key array starting at the front end's `first` under
// its parent, the key holding it refreshed first; the array is freed.
QOXError MergeFrontEnd(QOXKeyDBObj* first, KeyArrayWord* array, size_t length) {
  qoxKeyDBObjRefresh(qoxObjTopKey(first), true);
  const QOXError err = qoxAddFromKeyArray(qoxObjKeyDB(first), qoxObjParent(first), array, length, 1, false);
  QOXFreeData(array);
  return err;
}

// The option forms of the two additions.
QOXError AddUserID(QOXKeyDBObj* key, bool attribute, uint8_t attributeType, const uint8_t* data, size_t length,
                   QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kPassphraseSet, kPassphraseSetCount, &pass);
      err != kQOXErrNoErr)
    return err;
  if (!qoxKeyIsValid(key) || (data == nullptr && length != 0)) return kQOXErrBadParams;
  if (!qoxFrontEndKey(key))
    return qoxAddUserID_internal(key, attribute, attributeType, data, length, pass.bytes, pass.length, pass.hashed,
                                 pass.cacheTimeOut, pass.cacheGlobally);
  KeyArrayWord* array = nullptr;
  size_t arrayLength = 0;
  QOXError err = qoxAddUserID_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), attribute, attributeType, data,
                                   length, pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut,
                                   pass.cacheGlobally, &array, &arrayLength);
  if (array != nullptr) {
    const QOXError merged = MergeFrontEnd(key, array, arrayLength);
    if (err == kQOXErrNoErr) err = merged;
  }
  return err;
}

}  // namespace

QOXError qoxAddUserID_internal(QOXKeyDBObj* key, bool attribute, uint8_t attributeType, const uint8_t* data,
                               size_t length, const char* passphrase, size_t passphraseLength, bool hashed,
                               uint32_t cacheTimeOut, bool cacheGlobally) {
  if (!qoxKeyIsValid(key) || (data == nullptr && length != 0)) return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(key); err != kQOXErrNoErr) return err;
  if (!qoxKeyIsSec(key)) return kQOXErrNoSecretKeyFound;
  if (HasSameUserID(key, attribute, attributeType, data, length)) return kQOXErrDuplicateUserID;
  QOXKeyDB* db = qoxObjKeyDB(key);
  QOXKeyDBObj* userID = attribute ? qoxCreateAttribute(db, key, attributeType, data, length)
                                  : qoxCreateUserID(db, key, data, length);
  if (userID == nullptr) {
    const QOXError err = qoxKeyDBError(db);
    return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
  }
  QOXSigSpec* spec = nullptr;
  const QOXPassphraseArgs pass = qoxPassphraseArgs(passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally);
  if (QOXError err = qoxPrepareSigner(key, kQOXSigType_CertClass, pass, &spec);
      err != kQOXErrNoErr)
    return err;
  return sCertifyObject(spec, userID);
}

QOXError qoxAddUserIDInternal(QOXKeyDBObj* key, const char* name, QOXOptionListRef optionList) {
  if (name == nullptr) return kQOXErrBadParams;
  return AddUserID(key, false, 0, reinterpret_cast<const uint8_t*>(name), std::strlen(name), optionList);
}

QOXError qoxAddAttributeInternal(QOXKeyDBObj* key, int32_t attributeType, const uint8_t* data, size_t length,
                                 QOXOptionListRef optionList) {
  return AddUserID(key, true, static_cast<uint8_t>(attributeType), data, length, optionList);
}

QOXError qoxCertifyUserID_internal(QOXKeyDBObj* userID, QOXKeyDBObj* signingKey, const char* passphrase,
                                   size_t passphraseLength, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                                   const QOXCertification& c) {
  if (qoxObjectType(userID) != kQOXKeyDBObjType_UserID || !qoxKeyIsValid(signingKey)) return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(qoxObjTopKey(userID)); err != kQOXErrNoErr) return err;
  if (QOXError err = qoxKeyUsableForChange(signingKey); err != kQOXErrNoErr) return err;
  for (QOXKeyDBObj* s = userID->child; s != nullptr; s = s->next) {
    if (qoxKeyDBObjIsReal(s) && qoxObjectType(s) == kQOXKeyDBObjType_Sig && SignedBy(s, signingKey) &&
        qoxSigType(s) != kQOXSigType_CertRevocation)
      return kQOXErrDuplicateCertification;
  }
  QOXSigSpec* spec = nullptr;
  const QOXPassphraseArgs pass = qoxPassphraseArgs(passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally);
  if (QOXError err = qoxPrepareSigner(signingKey, kQOXSigType_CertClass, pass, &spec);
      err != kQOXErrNoErr)
    return err;
  const QOXEnv* env = qoxContextGetEnvironment(QOXPeekKeyDBObjContext(signingKey));
  QOXError err = kQOXErrNoErr;
  if (!c.exportable) err = qoxSigSpecSetExportable(spec, 0, 0);
  if (err == kQOXErrNoErr && c.creation != 0) err = qoxSigSpecSetTimestamp(spec, OffsetTime(env, c.creation));
  if (err == kQOXErrNoErr && c.expiration != 0) err = qoxSigSpecSetSigExpiration(spec, 0, c.expiration);
  if (err == kQOXErrNoErr && c.regularExpression != nullptr)
    err = qoxSigSpecSetRegExp(spec, 0, c.regularExpression);
  if (err == kQOXErrNoErr && c.trustLevel != 0)
    err = qoxSigSpecSetTrustLevel(spec, 0, c.trustLevel, c.trustValue != 0 ? qoxTrustOldToExtern(env, c.trustValue) : 0);
  if (err != kQOXErrNoErr) {
    qoxSigSpecDestroy(spec);
    return err;
  }
  return sCertifyObject(spec, userID);
}

QOXError qoxCertifyUserIDInternal(QOXKeyDBObj* userID, QOXKeyDBObj* certifyingKey, QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kCertifySet, kCertifySetCount, &pass); err != kQOXErrNoErr)
    return err;
  unsigned char found = 0;
  QOXCertification c;
  uint32_t days = 0;
  uint32_t exportable = 0;
  uint32_t level = 0;
  uint32_t value = 0;
  void* text = nullptr;
  size_t textLength = 0;
  QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_CreationDate, false, "%b%T", &found, &c.creation);
  if (err == kQOXErrNoErr) err = qoxFindOptionArgs(optionList, kQOXOptionType_Expiration, false, "%b%f", &found, &days);
  if (err == kQOXErrNoErr)
    err = qoxFindOptionArgs(optionList, kQOXOptionType_Exportable, false, "%b%f", &found, &exportable);
  if (err == kQOXErrNoErr)
    err = qoxFindOptionArgs(optionList, kQOXOptionType_SigTrust, false, "%b%f%f", &found, &level, &value);
  if (err == kQOXErrNoErr)
    err = qoxFindOptionArgs(optionList, kQOXOptionType_SigRegularExpression, false, "%b%p%l", &found, &text,
                            &textLength);
  if (err != kQOXErrNoErr) return err;
  if (qoxObjectType(userID) != kQOXKeyDBObjType_UserID || !qoxKeyIsValid(certifyingKey)) return kQOXErrBadParams;
  c.expiration = DaysToSeconds(days);
  c.exportable = exportable != 0;
  c.trustLevel = static_cast<uint8_t>(level);
  c.trustValue = static_cast<uint8_t>(value);
  if (text != nullptr) {
    // The text must compile; only the text goes into the signature.
    const char* pattern = static_cast<const char*>(text);
    if (textLength == 0 || std::memchr(pattern, '\0', textLength) == nullptr) return kQOXErrBadParams;
    QOXContext* context = QOXPeekKeyDBObjContext(userID);
    QOXRegExp* compiled = nullptr;
    if (qoxRegComp(context, pattern, &compiled) != kQOXErrNoErr) return kQOXErrBadParams;
    qoxContextMemFree(context, compiled);
    c.regularExpression = pattern;
  }
  if (qoxFrontEndKey(userID)) {
    KeyArrayWord* array = nullptr;
    size_t arrayLength = 0;
    err = qoxCertifyUserID_back(QOXPeekKeyDBObjContext(userID), qoxKeyDBObjID(userID), BackEndID(certifyingKey),
                                pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut, pass.cacheGlobally, c, &array,
                                &arrayLength);
    if (err == kQOXErrNoErr) err = MergeFrontEnd(userID, array, arrayLength);
    // The signing key's own database learns of the signature it made.
    if (err == kQOXErrNoErr && qoxFrontEndKey(certifyingKey) && qoxObjKeyDB(certifyingKey) != qoxObjKeyDB(userID))
      qoxKeyDBObjRefresh(certifyingKey, true);
  } else {
    err = qoxCertifyUserID_internal(userID, certifyingKey, pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut,
                                    pass.cacheGlobally, c);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(userID);
}

QOXError qoxAddUserID_back(QOXContext* context, uintptr_t key, bool attribute, uint8_t attributeType,
                           const uint8_t* data, size_t length, const char* passphrase, size_t passphraseLength,
                           bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, KeyArrayWord** outArray,
                           size_t* outArrayLength) {
  if (ServiceLinkOn()) return kQOXErrFeatureNotAvailable;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDBObj* object = Object(key);
  if (!qoxKeyIsValid(object)) return kQOXErrBadParams;
  const size_t before = [object] {
    size_t n = 0;
    for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) ++n;
    return n;
  }();
  QOXError err = qoxAddUserID_internal(object, attribute, attributeType, data, length, passphrase, passphraseLength,
                                       hashed, cacheTimeOut, cacheGlobally);
  size_t after = 0;
  for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) ++after;
  // A user ID made before its signing failed is handed back too.
  if (err != kQOXErrNoErr && after == before) return err;
  qoxSetPendingNotify(context, nullptr, nullptr, nullptr, object);
  const QOXError arrayErr = qoxCreateKeyArray(context, object, 1, nullptr, outArray, outArrayLength);
  return err != kQOXErrNoErr ? err : arrayErr;
}

QOXError qoxCertifyUserID_back(QOXContext* context, uintptr_t userID, uintptr_t signingKey, const char* passphrase,
                               size_t passphraseLength, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                               const QOXCertification& c, KeyArrayWord** outArray, size_t* outArrayLength) {
  if (ServiceLinkOn()) return kQOXErrFeatureNotAvailable;
  *outArray = nullptr;
  *outArrayLength = 0;
  QOXKeyDBObj* object = Object(userID);
  QOXKeyDBObj* signer = Object(signingKey);
  if (object == nullptr || signer == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxCertifyUserID_internal(object, signer, passphrase, passphraseLength, hashed, cacheTimeOut,
                                               cacheGlobally, c);
      err != kQOXErrNoErr)
    return err;
  qoxSetPendingNotify(context, nullptr, nullptr, nullptr, qoxObjTopKey(object));
  return qoxCreateKeyArray(context, object, 1, nullptr, outArray, outArrayLength);
}

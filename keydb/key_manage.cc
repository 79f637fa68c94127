// Passphrase tests, passkeys, enabling, trust and axiomatic keys: the
// maintenance operations that make no signature.
#include "keydb/key_manage.h"

#include <cstring>

#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_manage_support.h"
#include "keydb/key_ops.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/trust.h"
#include "keydb/trust_propagation.h"

namespace {

constexpr QOXOptionType kPassphraseSet[] = {kQOXOptionType_Passphrase, kQOXOptionType_Passkey,
                                            kQOXOptionType_CachePassphrase};
constexpr uint32_t kPassphraseSetCount = sizeof kPassphraseSet / sizeof kPassphraseSet[0];
constexpr int32_t kBitsPerByte = 8;
constexpr uint8_t kLowestTrust = 1;
constexpr uint8_t kHighestTrust = 6;

// The front end's key after its back end changed it: fetched again on next
// use, children too, and the database marked changed.
void RefreshFrontEnd(QOXKeyDBObj* key) {
  qoxKeyDBObjRefresh(key, true);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
}

}  // namespace

// --- Shared steps (keydb/key_manage_support.h) ---

QOXError qoxReadPassphraseArgs(QOXOptionListRef list, QOXPassphraseArgs* out) {
  *out = QOXPassphraseArgs{};
  unsigned char found = 0;
  void* bytes = nullptr;
  size_t length = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_Passphrase, false, "%b%p%l", &found, &bytes, &length);
      err != kQOXErrNoErr)
    return err;
  // The passkey flag stands whenever no Passphrase option is present.
  out->hashed = found == 0;
  if (found == 0) {
    if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_Passkey, false, "%b%p%l", &found, &bytes, &length);
        err != kQOXErrNoErr)
      return err;
  }
  out->bytes = static_cast<const char*>(bytes);
  out->length = bytes != nullptr ? length : 0;
  uint32_t cacheTime = 0;
  unsigned char global = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_CachePassphrase, false, "%d%b", &cacheTime, &global);
      err != kQOXErrNoErr)
    return err;
  out->cacheTimeOut = cacheTime;
  out->cacheGlobally = global != 0;
  return kQOXErrNoErr;
}

QOXError qoxReadPassphraseOptions(QOXOptionListRef list, const QOXOptionType* allowed, uint32_t allowedCount,
                                  QOXPassphraseArgs* out) {
  *out = QOXPassphraseArgs{};
  if (QOXError err = qoxCheckOptionsInSet(list, allowed, allowedCount); err != kQOXErrNoErr) return err;
  return qoxReadPassphraseArgs(list, out);
}

QOXError qoxKeyUsableForChange(QOXKeyDBObj* key) {
  if (qoxKeyRevoked(key)) return kQOXErrKeyRevoked;
  bool expired = false;
  if (QOXError err = qoxGetKeyBooleanInternal(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsExpired), &expired);
      err != kQOXErrNoErr)
    return err;
  return expired ? kQOXErrKeyExpired : kQOXErrNoErr;
}

QOXError qoxUnlockKey(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed, uint32_t cacheTimeOut,
                      bool cacheGlobally) {
  QOXSecKey* sec = qoxSecSecKey(key, 0);
  if (sec == nullptr) {
    const QOXError err = qoxKeyDBError(qoxObjKeyDB(key));
    return err != kQOXErrNoErr ? err : kQOXErrNoSecretKeyFound;
  }
  const QOXError err = qoxSecKeyUnlockWithCache(sec, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
  sec->destroy(sec);
  return err;
}

QOXError qoxRecalculateTrust(QOXKeyDBObj* object) {
  return QOXCalculateTrust(qoxKeyDBPeekRootSet(qoxObjKeyDB(object)), nullptr);
}

// --- Passphrase test ---

QOXError qoxPassphraseIsValid_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                       uint32_t cacheTimeOut, bool cacheGlobally, bool* outValid) {
  if (outValid == nullptr) return kQOXErrBadParams;
  *outValid = false;
  if (!qoxKeyIsValid(key) && !qoxSubKeyIsValid(key)) return kQOXErrBadParams;
  if (!qoxKeyIsSec(key)) return kQOXErrNoErr;
  if (!qoxSecPassphraseOK_internal(key, passphrase, length, hashed, cacheTimeOut, cacheGlobally)) return kQOXErrNoErr;
  *outValid = true;
  // A right value given with a cache time-out is cached for the subkeys too.
  if (cacheTimeOut != 0 && length != 0) {
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == kQOXKeyDBObjType_SubKey && qoxKeyIsSec(c))
        (void)qoxSecPassphraseOK_internal(c, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
    }
  }
  return kQOXErrNoErr;
}

bool qoxPassphraseIsValidInternal(QOXKeyDBObj* key, QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (qoxReadPassphraseOptions(optionList, kPassphraseSet, kPassphraseSetCount, &pass) != kQOXErrNoErr) return false;
  if (!qoxKeyIsValid(key)) return false;
  bool valid = false;
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(key))
    err = qoxPassphraseIsValid_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), pass.bytes, pass.length,
                                    pass.hashed, pass.cacheTimeOut, pass.cacheGlobally, &valid);
  else
    err = qoxPassphraseIsValid_internal(key, pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut,
                                        pass.cacheGlobally, &valid);
  return err == kQOXErrNoErr && valid;
}

// --- Passkey ---

QOXError qoxGetPasskeyBuffer_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, uint8_t* outBuffer,
                                      size_t size) {
  if (outBuffer == nullptr || (passphrase == nullptr && length != 0)) return kQOXErrBadParams;
  QOXSecKey* sec = qoxSecSecKey(key, 0);
  if (sec == nullptr) {
    const QOXError err = qoxKeyDBError(qoxObjKeyDB(key));
    return err != kQOXErrNoErr ? err : kQOXErrNoSecretKeyFound;
  }
  QOXError err = kQOXErrBadParams;
  const QOXCipherVTBL* cipher = nullptr;
  size_t keySize = 0;
  if (sec->islocked(sec) != 0 && sec->lockingalgorithm(sec, &cipher, &keySize) == kQOXErrNoErr && keySize == size)
    err = sec->convertpassphrase(sec, qoxContextGetEnvironment(QOXPeekKeyDBObjContext(key)), passphrase, length,
                                 outBuffer);
  sec->destroy(sec);
  return err;
}

QOXError qoxGetPasskeyBlock(QOXKeyDBObj* key, const char* passphrase, size_t length, uint8_t** outBuffer,
                            size_t* outLength) {
  *outBuffer = nullptr;
  *outLength = 0;
  bool locked = false;
  int32_t keyBits = 0;
  if (QOXError err = qoxSecProperties_internal(key, &locked, nullptr, nullptr, &keyBits); err != kQOXErrNoErr) {
    const QOXError last = qoxKeyDBError(qoxObjKeyDB(key));
    return last != kQOXErrNoErr ? last : kQOXErrNoSecretKeyFound;
  }
  if (!locked || keyBits <= 0) return kQOXErrBadParams;
  const size_t size = static_cast<size_t>(keyBits / kBitsPerByte);
  auto* buffer = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(QOXPeekKeyDBObjContext(key)), size, 0));
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  if (QOXError err = qoxGetPasskeyBuffer_internal(key, passphrase, length, buffer, size); err != kQOXErrNoErr) {
    QOXFreeData(buffer);
    return err;
  }
  *outBuffer = buffer;
  *outLength = size;
  return kQOXErrNoErr;
}

namespace {

// Both option forms: Passphrase is mandatory, no set check.
QOXError PasskeyBuffer(QOXKeyDBObj* key, void** outBuffer, QOXOptionListRef optionList) {
  if (outBuffer == nullptr) return kQOXErrBadParams;
  *outBuffer = nullptr;
  void* bytes = nullptr;
  size_t length = 0;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_Passphrase, true, "%p%l", &bytes, &length);
      err != kQOXErrNoErr)
    return err;
  const char* passphrase = static_cast<const char*>(bytes);
  if (passphrase == nullptr) length = 0;
  uint8_t* buffer = nullptr;
  size_t size = 0;
  QOXError err = qoxFrontEndKey(key) ? qoxGetPasskeyBuffer_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key),
                                                                passphrase, length, &buffer, &size)
                                     : qoxGetPasskeyBlock(key, passphrase, length, &buffer, &size);
  if (err == kQOXErrNoErr) *outBuffer = buffer;
  return err;
}

}  // namespace

QOXError qoxGetKeyPasskeyBufferInternal(QOXKeyDBObj* key, void** outBuffer, QOXOptionListRef optionList) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  return PasskeyBuffer(key, outBuffer, optionList);
}

QOXError qoxGetSubKeyPasskeyBufferInternal(QOXKeyDBObj* subKey, void** outBuffer, QOXOptionListRef optionList) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (!qoxSubKeyIsValid(subKey)) return kQOXErrBadParams;
  return PasskeyBuffer(subKey, outBuffer, optionList);
}

// --- Enabled ---

QOXError qoxEnableKey(QOXKeyDBObj* key) {
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(key); err != kQOXErrNoErr) return err;
  if (!qoxKeyDisabled(key)) return kQOXErrNoErr;
  qoxKeyEnable(key);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  return kQOXErrNoErr;
}

QOXError qoxDisableKey(QOXKeyDBObj* key) {
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(key); err != kQOXErrNoErr) return err;
  if (qoxKeyAxiomatic(key)) return kQOXErrBadParams;
  if (qoxKeyDisabled(key)) return kQOXErrNoErr;
  qoxKeyDisable(key);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  return kQOXErrNoErr;
}

QOXError QOXSetKeyEnabled(QOXKeyDBObj* key, bool enable) {
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(key)) {
    err = qoxSetKeyEnabled_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), enable);
    if (err == kQOXErrNoErr) RefreshFrontEnd(key);
  } else {
    err = enable ? qoxEnableKey(key) : qoxDisableKey(key);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(key);
}

// --- Trust ---

QOXError qoxSetKeyTrust_internal(QOXKeyDBObj* key, uint8_t trust) {
  if (!qoxKeyIsValid(key) || trust < kLowestTrust || trust > kHighestTrust || qoxKeyAxiomatic(key))
    return kQOXErrBadParams;
  if (QOXError err = qoxKeyUsableForChange(key); err != kQOXErrNoErr) return err;
  const QOXEnv* env = qoxContextGetEnvironment(QOXPeekKeyDBObjContext(key));
  const uint16_t confidence = qoxTrustToIntern(qoxTrustOldToExtern(env, trust));
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == kQOXKeyDBObjType_UserID) qoxUserIDSetConfidence(c, confidence);
  }
  qoxKeySetTrust(key, trust);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  return kQOXErrNoErr;
}

QOXError QOXSetKeyTrust(QOXKeyDBObj* key, int32_t trust) {
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (trust < kLowestTrust || trust > kHighestTrust) return kQOXErrBadParams;
  const auto value = static_cast<uint8_t>(trust);
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(key)) {
    err = qoxSetKeyTrust_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), value);
    if (err == kQOXErrNoErr) RefreshFrontEnd(key);
  } else {
    err = qoxSetKeyTrust_internal(key, value);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(key);
}

// --- Axiomatic ---

namespace {

// A passphrase given must unlock the secret part; none given passes.
QOXError CheckGivenPassphrase(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                              uint32_t cacheTimeOut, bool cacheGlobally) {
  if (length == 0) return kQOXErrNoErr;
  return qoxUnlockKey(key, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
}

}  // namespace

QOXError qoxSetKeyAxiomatic_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                     uint32_t cacheTimeOut, bool cacheGlobally) {
  if (!qoxKeyIsValid(key) || !qoxKeyIsSec(key)) return kQOXErrBadParams;
  if (qoxKeyAxiomatic(key)) return kQOXErrNoErr;
  // The axiomatic mark never holds on a revoked key: refused rather than
  // reported as made.
  if (qoxKeyRevoked(key)) return kQOXErrKeyRevoked;
  if (QOXError err = CheckGivenPassphrase(key, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  if (qoxKeyDisabled(key)) qoxKeyEnable(key);
  qoxKeySetAxiomatic(key);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  return kQOXErrNoErr;
}

QOXError qoxUnsetKeyAxiomatic(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                              uint32_t cacheTimeOut, bool cacheGlobally) {
  if (!qoxKeyIsValid(key) || !qoxKeyAxiomatic(key)) return kQOXErrBadParams;
  if (QOXError err = CheckGivenPassphrase(key, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  qoxKeyResetAxiomatic(key);
  qoxKeyDBChanged(qoxObjKeyDB(key), true);
  return kQOXErrNoErr;
}

QOXError qoxSetKeyAxiomaticInternal(QOXKeyDBObj* key, bool set, QOXOptionListRef optionList) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseOptions(optionList, kPassphraseSet, kPassphraseSetCount, &pass);
      err != kQOXErrNoErr)
    return err;
  if (!qoxKeyIsValid(key)) return kQOXErrBadParams;
  QOXError err = kQOXErrNoErr;
  if (qoxFrontEndKey(key)) {
    err = qoxSetKeyAxiomatic_back(QOXPeekKeyDBObjContext(key), qoxKeyDBObjID(key), set, pass.bytes, pass.length,
                                  pass.hashed, pass.cacheTimeOut, pass.cacheGlobally);
    if (err == kQOXErrNoErr) RefreshFrontEnd(key);
  } else if (set) {
    err = qoxSetKeyAxiomatic_internal(key, pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut,
                                      pass.cacheGlobally);
  } else {
    err = qoxUnsetKeyAxiomatic(key, pass.bytes, pass.length, pass.hashed, pass.cacheTimeOut, pass.cacheGlobally);
  }
  if (err != kQOXErrNoErr) return err;
  return qoxRecalculateTrust(key);
}

#include "keydb/key_ops.h"

#include <cstring>

#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/hash.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/self_sig.h"
#include "keydb/sig_packet.h"

namespace {

constexpr uint8_t kFirstV4Version = 4;
constexpr size_t kV4AlgorithmOffset = 5;
constexpr size_t kV3AlgorithmOffset = 7;
constexpr int kSharedS2KKind = 5;
constexpr int32_t kBitsPerByte = 8;

uint32_t AlgorithmUses(uint8_t algorithm) { return qoxKeyAlgUse(qoxPkalgByNumber(algorithm)); }

uint32_t UsesOf(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  return k != nullptr ? AlgorithmUses(k->algorithm) : 0;
}

bool IsTopKey(QOXKeyDBObj* key) { return qoxObjectTypeOfFlags(key->flags) == kQOXKeyDBObjType_Key; }

void Fail(QOXKeyDBObj* key, QOXError err) { qoxKeyDBSetError(qoxObjKeyDB(key), err); }

// The chosen key for a use, by the public rule (secretRule: the secret
// rule, which keeps the object whenever its own algorithm serves the use).
QOXKeyDBObj* Choose(QOXKeyDBObj* key, uint32_t use, bool secretRule) {
  if (use == 0) return key;
  QOXKeyDBObj* chosen = key;
  if (IsTopKey(key)) {
    QOXKeyDBObj* subKey = qoxKeySubkey(key, nullptr);
    if (subKey != nullptr) {
      if (use == kQOXKeyUse_Both) {
        Fail(key, kQOXErrUnimplementedPKOperation);
        return nullptr;
      }
      const bool keep = secretRule ? (UsesOf(key) & use) == use : use == kQOXKeyUse_Sign;
      if (!keep && use == kQOXKeyUse_Encrypt) chosen = subKey;
    }
  } else {
    if (use == kQOXKeyUse_Both) {
      Fail(key, kQOXErrUnimplementedPKOperation);
      return nullptr;
    }
    const bool keep = secretRule ? (UsesOf(key) & use) == use
                                 : use == kQOXKeyUse_Encrypt || (UsesOf(key) & kQOXKeyUse_Sign) != 0;
    if (!keep && use == kQOXKeyUse_Sign) chosen = qoxKeyMasterkey(key);
  }
  if ((UsesOf(chosen) & use) != use) {
    Fail(key, kQOXErrUnimplementedPKOperation);
    return nullptr;
  }
  return chosen;
}

// The algorithm and key material of a key packet.
bool Material(QOXKeyDBObj* key, uint8_t* algorithm, const uint8_t** material, size_t* length) {
  size_t packetLength = 0;
  const uint8_t* packet = qoxFetchObject(key, &packetLength);
  ostrak::ByteCursor body;
  if (packet == nullptr || !qoxPktBody(packet, packetLength, &body) || body.empty()) return false;
  const size_t at = body.data()[0] == kFirstV4Version ? kV4AlgorithmOffset : kV3AlgorithmOffset;
  if (!body.skip(at) || !body.get_u8(algorithm)) return false;
  *material = body.data();
  *length = body.remaining();
  return true;
}

QOXContext* ContextOf(QOXKeyDBObj* key) { return qoxObjKeyDB(key)->context; }

void ClearOutput(uint8_t** outBuffer, size_t* outLength) {
  if (outBuffer != nullptr) *outBuffer = nullptr;
  if (outLength != nullptr) *outLength = 0;
}

// Frees the output of a failed operation and clears both outputs.
QOXError Finish(QOXKeyDBObj* key, QOXError err, uint8_t* buffer, size_t length, uint8_t** outBuffer,
                size_t* outLength) {
  if (err < 0) {
    if (buffer != nullptr) qoxContextMemFree(ContextOf(key), buffer);
    return err;
  }
  *outBuffer = buffer;
  *outLength = length;
  return kQOXErrNoErr;
}

// The digest's descriptor: the registry's, or a blank one of the given size.
const QOXHashVTBL* HashFor(uint8_t hashAlgorithm, size_t hashLength, QOXHashVTBL* blank) {
  const QOXHashVTBL* known = hashAlgorithm != 0 ? qoxHashByNumber(hashAlgorithm) : nullptr;
  if (known != nullptr) return known;
  std::memset(blank, 0, sizeof *blank);
  blank->digestSize = static_cast<uint32_t>(hashLength);
  return blank;
}

// A scope that destroys an engine key object.
template <typename K>
struct KeyScope {
  K* key;
  ~KeyScope() {
    if (key != nullptr) key->destroy(key);
  }
};

}  // namespace

QOXPubKey* qoxKeyPubKey(QOXKeyDBObj* key, uint32_t use) {
  QOXKeyDBObj* chosen = Choose(key, use, false);
  if (chosen == nullptr) return nullptr;
  uint8_t algorithm = 0;
  const uint8_t* material = nullptr;
  size_t length = 0;
  if (!Material(chosen, &algorithm, &material, &length)) {
    Fail(key, kQOXErrKeyPacketTruncated);
    return nullptr;
  }
  QOXError err = kQOXErrNoErr;
  QOXPubKey* pub = qoxPubKeyFromBuf(ContextOf(key), algorithm, material, length, &err);
  if (pub == nullptr) {
    Fail(key, err != kQOXErrNoErr ? err : kQOXErrOutOfMemory);
    return nullptr;
  }
  std::memcpy(pub->keyID, qoxKeyToKeyInfo(chosen)->keyID, sizeof pub->keyID);
  return pub;
}

QOXSecKey* qoxSecSecKey(QOXKeyDBObj* key, uint32_t use) {
  QOXKeyDBObj* chosen = Choose(key, use, true);
  if (chosen == nullptr) return nullptr;
  if (!qoxKeyIsSec(chosen)) {
    Fail(key, kQOXErrItemNotFound);
    return nullptr;
  }
  uint8_t algorithm = 0;
  const uint8_t* material = nullptr;
  size_t length = 0;
  if (!Material(chosen, &algorithm, &material, &length)) {
    Fail(key, kQOXErrKeyPacketTruncated);
    return nullptr;
  }
  QOXError err = kQOXErrNoErr;
  QOXSecKey* sec = qoxSecKeyFromBuf(ContextOf(key), algorithm, material, length, qoxKeyV3(chosen) ? 1 : 0, &err);
  if (sec == nullptr) {
    Fail(key, err != kQOXErrNoErr ? err : kQOXErrOutOfMemory);
    return nullptr;
  }
  std::memcpy(sec->keyID, qoxKeyToKeyInfo(chosen)->keyID, sizeof sec->keyID);
  return sec;
}

uint32_t qoxKeyUseInternal(QOXKeyDBObj* key, bool checkTime, bool allowRevoked) {
  uint32_t uses = UsesOf(key);
  if (!IsTopKey(key)) return uses & kQOXKeyUse_Encrypt;
  bool first = true;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || qoxObjectTypeOfFlags(c->flags) != kQOXKeyDBObjType_SubKey) continue;
    if (!qoxSubkeyValid(c, checkTime, allowRevoked)) continue;
    if (first) uses &= kQOXKeyUse_Sign;
    first = false;
    uses |= UsesOf(c);
  }
  return uses;
}

QOXError qoxKeyEncrypt_internal(QOXKeyDBObj* key, const uint8_t* data, size_t length, int format,
                                uint8_t** outBuffer, size_t* outLength) {
  ClearOutput(outBuffer, outLength);
  KeyScope<QOXPubKey> pub{qoxKeyPubKey(key, kQOXKeyUse_Encrypt)};
  if (pub.key == nullptr) return kQOXErrKeyCannotEncrypt;
  const size_t size = pub.key->maxesk(pub.key, format);
  auto* buffer = static_cast<uint8_t*>(qoxContextMemAlloc(ContextOf(key), size, 0));
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  size_t written = 0;
  const QOXError err = pub.key->encrypt(pub.key, data, length, buffer, &written,
                                        qoxContextGetX9_17RandomContext(ContextOf(key)), format);
  return Finish(key, err, buffer, written, outBuffer, outLength);
}

QOXError qoxKeyEncrypt(QOXKeyDBObj* key, const uint8_t* data, size_t length, int format, uint8_t** outBuffer,
                       size_t* outLength) {
  if (qoxFrontEndKey(key)) {
    ClearOutput(outBuffer, outLength);
    return qoxKeyEncrypt_back(ContextOf(key), qoxKeyDBObjID(key), data, length, format, outBuffer, outLength);
  }
  return qoxKeyEncrypt_internal(key, data, length, format, outBuffer, outLength);
}

QOXError qoxKeyDecrypt_internal(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                                uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data, size_t length,
                                int format, uint8_t** outBuffer, size_t* outLength) {
  ClearOutput(outBuffer, outLength);
  KeyScope<QOXSecKey> sec{qoxSecSecKey(key, kQOXKeyUse_Encrypt)};
  if (sec.key == nullptr) return kQOXErrKeyCannotEncrypt;
  if (QOXError err = qoxSecKeyUnlockWithCache(sec.key, passphrase, passphraseLength, hashed, cacheTimeOut,
                                              cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  const size_t size = sec.key->maxdecrypted(sec.key);
  auto* buffer = static_cast<uint8_t*>(qoxContextMemAlloc(ContextOf(key), size, 0));
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  size_t written = 0;
  const QOXError err = sec.key->decrypt(sec.key, data, length, buffer, &written, nullptr, 0, format);
  return Finish(key, err, buffer, written, outBuffer, outLength);
}

QOXError qoxKeyDecrypt(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                       uint32_t cacheTimeOut, bool cacheGlobally, const uint8_t* data, size_t length, int format,
                       uint8_t** outBuffer, size_t* outLength) {
  if (qoxFrontEndKey(key)) {
    ClearOutput(outBuffer, outLength);
    return qoxKeyDecrypt_back(ContextOf(key), qoxKeyDBObjID(key), passphrase, passphraseLength, hashed, cacheTimeOut,
                                                     cacheGlobally, data, length, format, outBuffer, outLength);
  }
  return qoxKeyDecrypt_internal(key, passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally, data, length,
                                format, outBuffer, outLength);
}

int qoxKeyVerify_internal(QOXKeyDBObj* key, const uint8_t* signature, size_t signatureLength, uint8_t hashAlgorithm,
                          const uint8_t* hash, size_t hashLength, int format) {
  KeyScope<QOXPubKey> pub{qoxKeyPubKey(key, kQOXKeyUse_Sign)};
  if (pub.key == nullptr) return kQOXErrKeyCannotSign;
  QOXHashVTBL blank;
  return pub.key->verify(pub.key, signature, signatureLength, HashFor(hashAlgorithm, hashLength, &blank), hash,
                         format);
}

int qoxKeyVerify(QOXKeyDBObj* key, const uint8_t* signature, size_t signatureLength, uint8_t hashAlgorithm,
                 const uint8_t* hash, size_t hashLength, int format) {
  if (qoxFrontEndKey(key))
    return qoxKeyVerify_back(ContextOf(key), qoxKeyDBObjID(key), signature, signatureLength, hashAlgorithm, hash, hashLength,
                                                    format);
  return qoxKeyVerify_internal(key, signature, signatureLength, hashAlgorithm, hash, hashLength, format);
}

QOXError qoxKeySign_internal(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                             uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm, const uint8_t* hash,
                             size_t hashLength, int format, uint8_t** outSignature, size_t* outLength) {
  ClearOutput(outSignature, outLength);
  KeyScope<QOXSecKey> sec{qoxSecSecKey(key, kQOXKeyUse_Sign)};
  if (sec.key == nullptr) return kQOXErrKeyCannotSign;
  if (QOXError err = qoxSecKeyUnlockWithCache(sec.key, passphrase, passphraseLength, hashed, cacheTimeOut,
                                              cacheGlobally);
      err != kQOXErrNoErr)
    return err;
  const size_t size = sec.key->maxsig(sec.key, format);
  auto* buffer = static_cast<uint8_t*>(qoxContextMemAlloc(ContextOf(key), size, 0));
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  size_t written = 0;
  QOXHashVTBL blank;
  const QOXError err = sec.key->sign(sec.key, HashFor(hashAlgorithm, hashLength, &blank), hash, buffer, &written,
                                     qoxContextGetX9_17RandomContext(ContextOf(key)), format);
  return Finish(key, err, buffer, written, outSignature, outLength);
}

QOXError qoxKeySign(QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength, bool hashed,
                    uint32_t cacheTimeOut, bool cacheGlobally, uint8_t hashAlgorithm, const uint8_t* hash,
                    size_t hashLength, int format, uint8_t** outSignature, size_t* outLength) {
  if (qoxFrontEndKey(key)) {
    ClearOutput(outSignature, outLength);
    return qoxKeySign_back(ContextOf(key), qoxKeyDBObjID(key), passphrase, passphraseLength, hashed, cacheTimeOut,
                                                  cacheGlobally, hashAlgorithm, hash, hashLength, format,
                                                  outSignature, outLength);
  }
  return qoxKeySign_internal(key, passphrase, passphraseLength, hashed, cacheTimeOut, cacheGlobally, hashAlgorithm,
                             hash, hashLength, format, outSignature, outLength);
}

bool qoxSecPassphraseOK_internal(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed,
                                 uint32_t cacheTimeOut, bool cacheGlobally) {
  KeyScope<QOXSecKey> sec{qoxSecSecKey(key, 0)};
  if (sec.key == nullptr) return false;
  return qoxSecKeyUnlockWithCache(sec.key, passphrase, length, hashed, cacheTimeOut, cacheGlobally) == kQOXErrNoErr;
}

bool qoxSecPassphraseOK(QOXKeyDBObj* key, const char* passphrase, size_t length, bool hashed, uint32_t cacheTimeOut,
                        bool cacheGlobally) {
  if (qoxFrontEndKey(key))
    return qoxSecPassphraseOK_back(ContextOf(key), qoxKeyDBObjID(key), passphrase, length, hashed, cacheTimeOut,
                                                          cacheGlobally);
  return qoxSecPassphraseOK_internal(key, passphrase, length, hashed, cacheTimeOut, cacheGlobally);
}

QOXError qoxSecProperties_internal(QOXKeyDBObj* key, bool* outLocked, bool* outKind5, int32_t* outCipherAlgorithm,
                                   int32_t* outKeyBits) {
  bool locked = false, kind5 = false;
  int32_t cipherAlgorithm = 0, keyBits = 0;
  KeyScope<QOXSecKey> sec{qoxSecSecKey(key, 0)};
  if (sec.key == nullptr) return kQOXErrInvalidPropertyName;
  locked = sec.key->islocked(sec.key) != 0;
  if (locked) {
    const QOXCipherVTBL* cipher = nullptr;
    size_t keySize = 0;
    if (sec.key->lockingalgorithm(sec.key, &cipher, &keySize) == kQOXErrNoErr && cipher != nullptr) {
      cipherAlgorithm = static_cast<int32_t>(cipher->algorithm);
      keyBits = static_cast<int32_t>(keySize) * kBitsPerByte;
    }
    int kind = 0;
    kind5 = sec.key->s2ktype(sec.key, &kind) == kQOXErrNoErr && kind == kSharedS2KKind;
  } else {
    const QOXCipherVTBL* cipher = nullptr;
    size_t length = 0;
    const uint8_t* prefs = qoxKeyFindSubpacket(qoxObjTopKey(key), kQOXSubpacket_PrefAlgs, 0, &length, nullptr,
                                               nullptr, nullptr, nullptr, nullptr);
    for (size_t i = 0; prefs != nullptr && i < length && cipher == nullptr; ++i) cipher = qoxCipherGetVTBL(prefs[i]);
    if (cipher == nullptr) cipher = qoxCipherDefaultKey(qoxContextGetEnvironment(ContextOf(key)));
    if (cipher != nullptr) {
      cipherAlgorithm = static_cast<int32_t>(cipher->algorithm);
      keyBits = static_cast<int32_t>(cipher->keySize) * kBitsPerByte;
    }
  }
  if (outLocked != nullptr) *outLocked = locked;
  if (outKind5 != nullptr) *outKind5 = kind5;
  if (outCipherAlgorithm != nullptr) *outCipherAlgorithm = cipherAlgorithm;
  if (outKeyBits != nullptr) *outKeyBits = keyBits;
  return kQOXErrNoErr;
}

QOXError qoxSecProperties(QOXKeyDBObj* key, bool* outLocked, bool* outKind5, int32_t* outCipherAlgorithm,
                          int32_t* outKeyBits) {
  if (outLocked != nullptr) *outLocked = false;
  if (outKind5 != nullptr) *outKind5 = false;
  if (outCipherAlgorithm != nullptr) *outCipherAlgorithm = 0;
  if (outKeyBits != nullptr) *outKeyBits = 0;
  if (qoxFrontEndKey(key))
    return qoxSecProperties_back(ContextOf(key), qoxKeyDBObjID(key), outLocked, outKind5, outCipherAlgorithm, outKeyBits);
  return qoxSecProperties_internal(key, outLocked, outKind5, outCipherAlgorithm, outKeyBits);
}

QOXError qoxKeyMaxSizes_internal(QOXKeyDBObj* key, size_t* outMaxEncrypted, size_t* outMaxDecrypted,
                                 size_t* outMaxSignature, int format) {
  if (outMaxEncrypted != nullptr) *outMaxEncrypted = 0;
  if (outMaxDecrypted != nullptr) *outMaxDecrypted = 0;
  if (outMaxSignature != nullptr) *outMaxSignature = 0;
  if (outMaxEncrypted != nullptr || outMaxDecrypted != nullptr) {
    KeyScope<QOXPubKey> pub{qoxKeyPubKey(key, kQOXKeyUse_Encrypt)};
    if (pub.key != nullptr) {
      if (outMaxEncrypted != nullptr) *outMaxEncrypted = pub.key->maxesk(pub.key, format);
      if (outMaxDecrypted != nullptr) *outMaxDecrypted = pub.key->maxdecrypted(pub.key);
    }
  }
  if (outMaxSignature != nullptr) {
    KeyScope<QOXPubKey> pub{qoxKeyPubKey(key, kQOXKeyUse_Sign)};
    if (pub.key != nullptr) *outMaxSignature = pub.key->maxsig(pub.key, format);
  }
  return kQOXErrNoErr;
}

QOXError qoxKeyMaxSizes(QOXKeyDBObj* key, size_t* outMaxEncrypted, size_t* outMaxDecrypted, size_t* outMaxSignature,
                        int format) {
  if (qoxFrontEndKey(key)) {
    if (outMaxEncrypted != nullptr) *outMaxEncrypted = 0;
    if (outMaxDecrypted != nullptr) *outMaxDecrypted = 0;
    if (outMaxSignature != nullptr) *outMaxSignature = 0;
    return qoxKeyMaxSizes_back(ContextOf(key), qoxKeyDBObjID(key), outMaxEncrypted, outMaxDecrypted, outMaxSignature, format);
  }
  return qoxKeyMaxSizes_internal(key, outMaxEncrypted, outMaxDecrypted, outMaxSignature, format);
}

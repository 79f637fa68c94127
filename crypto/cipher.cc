// The cipher registry and the symmetric-cipher context.
#include "crypto/cipher.h"

#include <cstring>

#include "crypto/block_ciphers.h"
#include "foundation/context.h"
#include "foundation/env.h"

// The key states are allocated from a manager whose blocks follow a 16-byte
// header on top of the system allocator's alignment, which meets every
// record's state alignment (at most 4).
const QOXCipherVTBL cipherIDEA = {"IDEA", kQOXCipherAlgorithm_IDEA, 8, 16, kIDEAStateSize, 2,
                                  ideaKey, ideaEncrypt, ideaDecrypt, ideaWash};
const QOXCipherVTBL cipherTwofish256 = {"Twofish256", kQOXCipherAlgorithm_Twofish256, 16, 32,
                                        kTwofishStateSize, 4, twof256Key, twof256Encrypt,
                                        twof256Decrypt, nullptr};
const QOXCipherVTBL cipher3DES = {"3DES", kQOXCipherAlgorithm_3DES, 8, 24, kDES3StateSize, 4,
                                  des3Key, des3Encrypt, des3Decrypt, des3Wash};
const QOXCipherVTBL cipherCAST5 = {"CAST5", kQOXCipherAlgorithm_CAST5, 8, 16, kCAST5StateSize, 4,
                                   cast5Key, cast5Encrypt, cast5Decrypt, cast5Wash};
const QOXCipherVTBL cipherAES128 = {"AES128", kQOXCipherAlgorithm_AES128, 16, 16, kAES128StateSize,
                                    4, aes128Key, aesEncrypt, aesDecrypt, nullptr};
const QOXCipherVTBL cipherAES192 = {"AES192", kQOXCipherAlgorithm_AES192, 16, 24, kAES192StateSize,
                                    4, aes192Key, aesEncrypt, aesDecrypt, nullptr};
const QOXCipherVTBL cipherAES256 = {"AES256", kQOXCipherAlgorithm_AES256, 16, 32, kAES256StateSize,
                                    4, aes256Key, aesEncrypt, aesDecrypt, nullptr};
const QOXCipherVTBL cipherRC2_40 = {"RC2_40", kQOXCipherAlgorithm_RC2_40, 8, 5, kRC2StateSize, 4,
                                    rc2_40Key, nullptr, rc2Decrypt, nullptr};
const QOXCipherVTBL cipherRC2_128 = {"RC2_128", kQOXCipherAlgorithm_RC2_128, 8, 16, kRC2StateSize,
                                     4, rc2_128Key, rc2Encrypt, rc2Decrypt, nullptr};

namespace {

// Searched in this order; the order is also the tie-break of the lookup.
constexpr const QOXCipherVTBL* sCipherList[] = {
    &cipherIDEA,   &cipherTwofish256, &cipher3DES,   &cipherCAST5,  &cipherAES128,
    &cipherAES192, &cipherAES256,     &cipherRC2_40, &cipherRC2_128};

// Frees a handle and its key state (either may be missing), wiping both.
void Release(QOXSymmetricCipherContext* cipher) {
  if (cipher->keyState != nullptr) {
    WipeBytes(cipher->keyState, cipher->vtbl->keyStateSize);
    QOXFreeData(cipher->keyState);
  }
  WipeBytes(cipher, sizeof *cipher);
  QOXFreeData(cipher);
}

QOXError Allocate(QOXMemoryMgr* mgr, const QOXCipherVTBL* vtbl, QOXSymmetricCipherContext** out) {
  auto* cipher = static_cast<QOXSymmetricCipherContext*>(
      QOXNewData(mgr, sizeof(QOXSymmetricCipherContext), kQOXMemoryMgrFlags_Clear));
  if (cipher == nullptr) return kQOXErrOutOfMemory;
  cipher->vtbl = vtbl;
  cipher->keyState = QOXNewSecureData(mgr, vtbl->keyStateSize, kQOXMemoryMgrFlags_Clear);
  if (cipher->keyState == nullptr) {
    Release(cipher);
    return kQOXErrOutOfMemory;
  }
  cipher->magic = kQOXSymmetricCipherMagic;
  cipher->memoryMgr = mgr;
  cipher->keyLoaded = 0;
  *out = cipher;
  return kQOXErrNoErr;
}

const QOXCipherVTBL* DefaultCipher(const QOXEnv* env, QOXCipherAlgorithm fallback) {
  QOXCipherAlgorithm wanted;
  if (qoxFIPSModeEnabled()) {
    wanted = kQOXCipherAlgorithm_3DES;
  } else {
    // Only a value set on purpose counts: the built-in default sits at
    // priority 0, option lists store at 25.
    int32_t priority = 0;
    uint32_t value = qoxenvGetInt(env, kQOXEnvCipherAlgorithm, &priority, nullptr);
    wanted = priority < 15 ? fallback : value;
  }
  const QOXCipherVTBL* vtbl = qoxCipherGetVTBL(wanted);
  return vtbl != nullptr ? vtbl : qoxCipherGetVTBL(fallback);
}

}  // namespace

bool qoxSymmetricCipherIsValid(const QOXSymmetricCipherContext* cipher) {
  return cipher != nullptr && cipher->magic == kQOXSymmetricCipherMagic;
}

const QOXCipherVTBL* qoxCipherGetVTBL(QOXCipherAlgorithm algorithm) {
  for (const QOXCipherVTBL* vtbl : sCipherList) {
    if (vtbl->algorithm == algorithm) return vtbl;
  }
  return nullptr;
}

uint32_t qoxCountSymmetricCiphers() { return sizeof sCipherList / sizeof sCipherList[0]; }

QOXMemoryMgr* qoxGetSymmetricCipherMemoryMgr(const QOXSymmetricCipherContext* cipher) {
  return cipher->memoryMgr;
}

QOXError QOXNewSymmetricCipherContext(QOXContext* context, QOXCipherAlgorithm algorithm,
                                      QOXSymmetricCipherContext** outCipher) {
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  if (outCipher == nullptr) return kQOXErrBadParams;
  *outCipher = nullptr;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  if (QOXValidateMemoryMgr(mgr) != kQOXErrNoErr) return kQOXErrBadParams;
  const QOXCipherVTBL* vtbl = qoxCipherGetVTBL(algorithm);
  if (vtbl == nullptr) return kQOXErrBadParams;
  return Allocate(mgr, vtbl, outCipher);
}

QOXError qoxNewSymmetricCipherContextInternal(QOXMemoryMgr* memoryMgr, QOXCipherAlgorithm algorithm,
                                              QOXSymmetricCipherContext** outCipher) {
  if (outCipher == nullptr) return kQOXErrBadParams;
  *outCipher = nullptr;
  const QOXCipherVTBL* vtbl = qoxCipherGetVTBL(algorithm);
  if (vtbl == nullptr) return kQOXErrBadParams;
  return Allocate(memoryMgr, vtbl, outCipher);
}

QOXError QOXCopySymmetricCipherContext(const QOXSymmetricCipherContext* cipher,
                                       QOXSymmetricCipherContext** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!qoxSymmetricCipherIsValid(cipher)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXSymmetricCipherContext* copy = nullptr;
  err = Allocate(cipher->memoryMgr, cipher->vtbl, &copy);
  if (err != kQOXErrNoErr) return err;
  std::memcpy(copy->keyState, cipher->keyState, cipher->vtbl->keyStateSize);
  copy->keyLoaded = cipher->keyLoaded;
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError QOXFreeSymmetricCipherContext(QOXSymmetricCipherContext* cipher) {
  if (!qoxSymmetricCipherIsValid(cipher)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  Release(cipher);
  return kQOXErrNoErr;
}

QOXError QOXInitSymmetricCipher(QOXSymmetricCipherContext* cipher, const void* key) {
  if (!qoxSymmetricCipherIsValid(cipher) || key == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  cipher->vtbl->initKey(cipher->keyState, static_cast<const uint8_t*>(key));
  cipher->keyLoaded = 1;
  return kQOXErrNoErr;
}

QOXError QOXWipeSymmetricCipher(QOXSymmetricCipherContext* cipher) {
  if (!qoxSymmetricCipherIsValid(cipher)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  WipeBytes(cipher->keyState, cipher->vtbl->keyStateSize);
  cipher->keyLoaded = 0;
  return kQOXErrNoErr;
}

QOXError qoxSymmetricCipherWashInternal(QOXSymmetricCipherContext* cipher, const void* bytes,
                                        size_t length) {
  if (cipher->vtbl->wash == nullptr) return kQOXErrBadParams;
  cipher->vtbl->wash(cipher->keyState, static_cast<const uint8_t*>(bytes), length);
  cipher->keyLoaded = 1;
  return kQOXErrNoErr;
}

QOXError QOXWashSymmetricCipher(QOXSymmetricCipherContext* cipher, const void* bytes,
                                size_t length) {
  if (!qoxSymmetricCipherIsValid(cipher) || bytes == nullptr) return kQOXErrBadParams;
  // A cipher number taken from a message may name a cipher without a wash.
  if (cipher->vtbl->wash == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return qoxSymmetricCipherWashInternal(cipher, bytes, length);
}

QOXError qoxSymmetricCipherEncryptInternal(QOXSymmetricCipherContext* cipher, const void* in,
                                           void* out) {
  if (!cipher->keyLoaded) return kQOXErrImproperInitialization;
  if (cipher->vtbl->encrypt == nullptr) return kQOXErrBadParams;
  cipher->vtbl->encrypt(cipher->keyState, static_cast<const uint8_t*>(in),
                        static_cast<uint8_t*>(out));
  return kQOXErrNoErr;
}

QOXError qoxSymmetricCipherDecryptInternal(QOXSymmetricCipherContext* cipher, const void* in,
                                           void* out) {
  if (!cipher->keyLoaded) return kQOXErrImproperInitialization;
  cipher->vtbl->decrypt(cipher->keyState, static_cast<const uint8_t*>(in),
                        static_cast<uint8_t*>(out));
  return kQOXErrNoErr;
}

QOXError QOXSymmetricCipherEncrypt(QOXSymmetricCipherContext* cipher, const void* in, void* out) {
  if (!qoxSymmetricCipherIsValid(cipher) || in == nullptr || out == nullptr) return kQOXErrBadParams;
  // RC2_40 only decrypts; its number can still arrive from a message.
  if (cipher->vtbl->encrypt == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return qoxSymmetricCipherEncryptInternal(cipher, in, out);
}

QOXError QOXSymmetricCipherDecrypt(QOXSymmetricCipherContext* cipher, const void* in, void* out) {
  if (!qoxSymmetricCipherIsValid(cipher) || in == nullptr || out == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return qoxSymmetricCipherDecryptInternal(cipher, in, out);
}

QOXError QOXGetSymmetricCipherSizes(const QOXSymmetricCipherContext* cipher, size_t* outKeySize,
                                    size_t* outBlockSize) {
  if (outKeySize != nullptr) *outKeySize = 0;
  if (outBlockSize != nullptr) *outBlockSize = 0;
  if (!qoxSymmetricCipherIsValid(cipher)) return kQOXErrBadParams;
  if (outKeySize == nullptr && outBlockSize == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  if (outKeySize != nullptr) *outKeySize = cipher->vtbl->keySize;
  if (outBlockSize != nullptr) *outBlockSize = cipher->vtbl->blockSize;
  return kQOXErrNoErr;
}

const QOXCipherVTBL* qoxCipherDefaultKey(const QOXEnv* env) {
  return DefaultCipher(env, kQOXCipherAlgorithm_CAST5);
}

const QOXCipherVTBL* qoxCipherDefaultKeyV3(const QOXEnv* env) {
  return DefaultCipher(env, kQOXCipherAlgorithm_IDEA);
}

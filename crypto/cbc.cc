// CBC mode over a symmetric-cipher context.
#include "crypto/cbc.h"

#include <cstring>

#include "crypto/block_ciphers.h"
#include "foundation/context.h"

namespace {

inline void XorInto(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] ^= src[i];
}

void Release(QOXCBCContext* cbc) {
  WipeBytes(cbc, sizeof *cbc);
  QOXFreeData(cbc);
}

// Checks shared by the internal pair; nothing is written on a refusal.
QOXError Ready(const QOXCBCContext* cbc, size_t length, bool encrypting) {
  if (!cbc->initialised) return kQOXErrImproperInitialization;
  // Initialised with an IV alone over a cipher that never got a key.
  if (!cbc->cipher->keyLoaded) return kQOXErrImproperInitialization;
  if (length % cbc->cipher->vtbl->blockSize != 0) return kQOXErrBadParams;
  if (encrypting && cbc->cipher->vtbl->encrypt == nullptr) return kQOXErrBadParams;
  return kQOXErrNoErr;
}

QOXError PublicChecks(const QOXCBCContext* cbc, const void* in, size_t length, const void* out) {
  if (out == nullptr) return kQOXErrBadParams;
  if (!qoxCBCIsValid(cbc) || in == nullptr || length == 0) return kQOXErrBadParams;
  return qoxEnterFunction();
}

}  // namespace

bool qoxCBCIsValid(const QOXCBCContext* cbc) {
  return cbc != nullptr && cbc->magic == kQOXCBCMagic &&
         (cbc->currentChain == cbc->chainA || cbc->currentChain == cbc->chainB);
}

QOXError QOXNewCBCContext(QOXSymmetricCipherContext* cipher, QOXCBCContext** outCBC) {
  if (outCBC == nullptr) return kQOXErrBadParams;
  *outCBC = nullptr;
  if (!qoxSymmetricCipherIsValid(cipher)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  auto* cbc = static_cast<QOXCBCContext*>(
      QOXNewData(cipher->memoryMgr, sizeof(QOXCBCContext), kQOXMemoryMgrFlags_Clear));
  if (cbc == nullptr) {
    QOXFreeSymmetricCipherContext(cipher);
    return kQOXErrOutOfMemory;
  }
  cbc->magic = kQOXCBCMagic;
  cbc->memoryMgr = cipher->memoryMgr;
  cbc->initialised = 0;
  cbc->cipher = cipher;
  cbc->currentChain = cbc->chainA;
  *outCBC = cbc;
  return kQOXErrNoErr;
}

QOXError QOXFreeCBCContext(QOXCBCContext* cbc) {
  if (!qoxCBCIsValid(cbc)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXFreeSymmetricCipherContext(cbc->cipher);
  Release(cbc);
  return kQOXErrNoErr;
}

QOXError QOXCopyCBCContext(const QOXCBCContext* cbc, QOXCBCContext** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!qoxCBCIsValid(cbc)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  auto* copy = static_cast<QOXCBCContext*>(QOXNewData(cbc->memoryMgr, sizeof(QOXCBCContext), 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, cbc, sizeof *copy);
  copy->currentChain = cbc->currentChain == cbc->chainA ? copy->chainA : copy->chainB;
  copy->cipher = nullptr;
  err = QOXCopySymmetricCipherContext(cbc->cipher, &copy->cipher);
  if (err != kQOXErrNoErr) {
    Release(copy);
    return err;
  }
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError QOXInitCBC(QOXCBCContext* cbc, const void* key, const void* iv) {
  if (!qoxCBCIsValid(cbc) || (key == nullptr && iv == nullptr)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  if (key != nullptr) {
    err = QOXInitSymmetricCipher(cbc->cipher, key);
    if (err != kQOXErrNoErr) return err;
  }
  std::memset(cbc->chainA, 0, sizeof cbc->chainA);
  std::memset(cbc->chainB, 0, sizeof cbc->chainB);
  cbc->currentChain = cbc->chainA;
  if (iv != nullptr) std::memcpy(cbc->chainA, iv, cbc->cipher->vtbl->blockSize);
  cbc->initialised = 1;
  return kQOXErrNoErr;
}

QOXError qoxCBCEncryptInternal(QOXCBCContext* cbc, const void* in, size_t length, void* out) {
  QOXError err = Ready(cbc, length, true);
  if (err != kQOXErrNoErr) return err;
  const QOXCipherVTBL* vtbl = cbc->cipher->vtbl;
  const size_t b = vtbl->blockSize;
  void* ks = cbc->cipher->keyState;
  uint8_t* v = cbc->currentChain;
  const auto* src = static_cast<const uint8_t*>(in);
  auto* dst = static_cast<uint8_t*>(out);
  for (size_t off = 0; off < length; off += b) {
    XorInto(v, src + off, b);
    vtbl->encrypt(ks, v, v);
    std::memcpy(dst + off, v, b);
  }
  return kQOXErrNoErr;
}

QOXError qoxCBCDecryptInternal(QOXCBCContext* cbc, const void* in, size_t length, void* out) {
  QOXError err = Ready(cbc, length, false);
  if (err != kQOXErrNoErr) return err;
  const QOXCipherVTBL* vtbl = cbc->cipher->vtbl;
  const size_t b = vtbl->blockSize;
  void* ks = cbc->cipher->keyState;
  const auto* src = static_cast<const uint8_t*>(in);
  auto* dst = static_cast<uint8_t*>(out);
  for (size_t off = 0; off < length; off += b) {
    uint8_t* other = cbc->currentChain == cbc->chainA ? cbc->chainB : cbc->chainA;
    // Saved before the output is written, so in and out may be one buffer.
    std::memcpy(other, src + off, b);
    vtbl->decrypt(ks, other, dst + off);
    XorInto(dst + off, cbc->currentChain, b);
    cbc->currentChain = other;
  }
  return kQOXErrNoErr;
}

QOXError QOXCBCEncrypt(QOXCBCContext* cbc, const void* in, size_t length, void* out) {
  QOXError err = PublicChecks(cbc, in, length, out);
  if (err != kQOXErrNoErr) return err;
  return qoxCBCEncryptInternal(cbc, in, length, out);
}

QOXError QOXCBCDecrypt(QOXCBCContext* cbc, const void* in, size_t length, void* out) {
  QOXError err = PublicChecks(cbc, in, length, out);
  if (err != kQOXErrNoErr) return err;
  return qoxCBCDecryptInternal(cbc, in, length, out);
}

QOXError QOXCBCGetSymmetricCipher(const QOXCBCContext* cbc, QOXSymmetricCipherContext** outCipher) {
  if (outCipher == nullptr) return kQOXErrBadParams;
  *outCipher = nullptr;
  if (!qoxCBCIsValid(cbc)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  *outCipher = cbc->cipher;
  return kQOXErrNoErr;
}

size_t qoxCBCGetKeySize(const QOXCBCContext* cbc) { return cbc->cipher->vtbl->keySize; }

size_t qoxCBCGetBlockSize(const QOXCBCContext* cbc) { return cbc->cipher->vtbl->blockSize; }

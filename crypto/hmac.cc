// HMAC built on the public hash calls, so that hash errors pass through.
#include "crypto/hmac.h"

#include <string.h>  // explicit_bzero

#include <cstring>

#include "foundation/context.h"

namespace {

bool IsValid(const QOXHMACContext* hmac) {
  return hmac != nullptr && hmac->hash != nullptr && hmac->magic == kQOXHMACContextMagic;
}

// Feeds the stored key, zero-filled to 64 bytes and XORed with `pad`.
QOXError FeedPaddedKey(QOXHMACContext* hmac, uint8_t pad) {
  uint8_t block[kQOXHMACBlockSize] = {};
  std::memcpy(block, hmac->key, hmac->keyLength);
  for (uint8_t& b : block) b ^= pad;
  QOXError err = QOXContinueHash(hmac->hash, block, sizeof block);
  explicit_bzero(block, sizeof block);
  return err;
}

// Releases whatever a context holds, then the record itself.
void Release(QOXHMACContext* hmac) {
  if (hmac->key != nullptr) QOXFreeData(hmac->key);  // secure: wiped on release
  if (hmac->hash != nullptr) QOXFreeHashContext(hmac->hash);
  explicit_bzero(hmac, sizeof *hmac);
  QOXFreeData(hmac);
}

}  // namespace

QOXError QOXNewHMACContext(QOXContext* context, QOXHashAlgorithm algorithm, const void* key,
                           size_t keyLength, QOXHMACContext** outHMAC) {
  if (outHMAC == nullptr) return kQOXErrBadParams;
  *outHMAC = nullptr;
  if (key == nullptr && keyLength != 0) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  QOXMemoryMgr* memoryMgr = QOXPeekContextMemoryMgr(context);
  if (QOXError err = QOXValidateMemoryMgr(memoryMgr); err != 0) return err;

  auto* hmac = static_cast<QOXHMACContext*>(
      QOXNewData(memoryMgr, sizeof(QOXHMACContext), kQOXMemoryMgrFlags_Clear));
  if (hmac == nullptr) return kQOXErrOutOfMemory;
  hmac->magic = kQOXHMACContextMagic;
  hmac->memoryMgr = memoryMgr;

  QOXError err = QOXNewHashContext(context, algorithm, &hmac->hash);
  if (err == 0) {
    if (keyLength <= kQOXHMACBlockSize) {
      // At least one byte, so that an empty key still has a block.
      hmac->key = static_cast<uint8_t*>(QOXNewSecureData(memoryMgr, keyLength ? keyLength : 1, 0));
      if (hmac->key == nullptr) {
        err = kQOXErrOutOfMemory;
      } else {
        if (keyLength != 0) std::memcpy(hmac->key, key, keyLength);
        hmac->keyLength = keyLength;
      }
    } else {
      size_t digestSize = 0;
      err = QOXGetHashSize(hmac->hash, &digestSize);
      if (err == 0) {
        hmac->key = static_cast<uint8_t*>(QOXNewSecureData(memoryMgr, digestSize, 0));
        if (hmac->key == nullptr) err = kQOXErrOutOfMemory;
      }
      if (err == 0) err = QOXContinueHash(hmac->hash, key, keyLength);
      if (err == 0) err = QOXFinalizeHash(hmac->hash, hmac->key);
      if (err == 0) hmac->keyLength = digestSize;
    }
  }
  if (err == 0) err = QOXResetHMAC(hmac);
  if (err != 0) {
    Release(hmac);
    return err;
  }
  *outHMAC = hmac;
  return kQOXErrNoErr;
}

QOXError QOXResetHMAC(QOXHMACContext* hmac) {
  if (!IsValid(hmac)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  if (QOXError err = QOXResetHash(hmac->hash); err != 0) return err;
  return FeedPaddedKey(hmac, 0x36);
}

QOXError QOXContinueHMAC(QOXHMACContext* hmac, const void* bytes, size_t length) {
  if (!IsValid(hmac) || bytes == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  if (length == 0) return kQOXErrNoErr;
  return QOXContinueHash(hmac->hash, bytes, length);
}

QOXError QOXFinalizeHMAC(QOXHMACContext* hmac, void* out) {
  if (!IsValid(hmac) || out == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  size_t digestSize = 0;
  QOXError err = QOXGetHashSize(hmac->hash, &digestSize);
  if (err == 0) err = QOXFinalizeHash(hmac->hash, out);  // inner digest
  if (err == 0) err = QOXResetHash(hmac->hash);
  if (err == 0) err = FeedPaddedKey(hmac, 0x5C);
  if (err == 0) err = QOXContinueHash(hmac->hash, out, digestSize);
  if (err == 0) err = QOXFinalizeHash(hmac->hash, out);
  return err;
}

QOXError QOXFreeHMACContext(QOXHMACContext* hmac) {
  if (!IsValid(hmac)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != 0) return err;
  Release(hmac);
  return kQOXErrNoErr;
}

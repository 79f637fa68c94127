// CFB mode, its interleaved form and the random-generator operations.
#include "crypto/cfb.h"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "crypto/block_ciphers.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"

const size_t QOXCFBContext::kUnitsOffset = offsetof(QOXCFBContext, units);

namespace {

// The last output of the random cycle, for the FIPS repeat check; shared by
// every generator of the process. Guarded by sLastCFBCycleMutex.
std::mutex sLastCFBCycleMutex;
uint8_t sLastCFBCycle[20];

size_t RecordSize(uint32_t interleave) {
  return QOXCFBContext::kUnitsOffset + size_t{interleave} * sizeof(QOXCFBUnit);
}

// Frees every unit's cipher context (those present) and the record.
void Release(QOXCFBContext* cfb) {
  for (uint32_t i = 0; i < cfb->interleave; ++i) {
    QOXSymmetricCipherContext* cipher = cfb->Unit(i)->cipher;
    if (cipher != nullptr) QOXFreeSymmetricCipherContext(cipher);
  }
  WipeBytes(cfb, RecordSize(cfb->interleave));
  QOXFreeData(cfb);
}

inline size_t BlockSize(const QOXCFBContext* cfb) { return cfb->Unit(0)->cipher->vtbl->blockSize; }

inline void Encrypt(QOXCFBUnit* u, const uint8_t* in, uint8_t* out) {
  u->cipher->vtbl->encrypt(u->cipher->keyState, in, out);
}

// One unit's walk over n bytes (see the header of QOXCFBContext): bytes left
// in the feedback block first, then fresh blocks.
template <bool kEncrypt>
void UnitWalk(QOXCFBUnit* u, size_t b, const uint8_t* in, size_t n, uint8_t* out) {
  auto handle = [](uint8_t* f, const uint8_t* src, uint8_t* dst, size_t count) {
    for (size_t k = 0; k < count; ++k) {
      uint8_t x = src[k];
      if (kEncrypt) {
        f[k] ^= x;
        dst[k] = f[k];
      } else {
        dst[k] = f[k] ^ x;
        f[k] = x;
      }
    }
  };
  size_t a = u->available;
  if (n <= a) {
    handle(u->feedback + (b - a), in, out, n);
    u->available = static_cast<uint32_t>(a - n);
    return;
  }
  handle(u->feedback + (b - a), in, out, a);
  in += a;
  out += a;
  n -= a;
  while (n > b) {
    std::memcpy(u->previous, u->feedback, b);
    Encrypt(u, u->feedback, u->feedback);
    handle(u->feedback, in, out, b);
    in += b;
    out += b;
    n -= b;
  }
  std::memcpy(u->previous, u->feedback, b);
  Encrypt(u, u->feedback, u->feedback);
  u->available = static_cast<uint32_t>(b - n);
  handle(u->feedback, in, out, n);
}

template <bool kEncrypt>
QOXError Walk(QOXCFBContext* cfb, const void* in, size_t length, void* out) {
  if (!cfb->keyLoaded) return kQOXErrImproperInitialization;
  // Initialised with an IV alone over cipher contexts that never got a key.
  for (uint32_t i = 0; i < cfb->interleave; ++i) {
    if (!cfb->Unit(i)->cipher->keyLoaded) return kQOXErrImproperInitialization;
  }
  if (length == 0) return kQOXErrNoErr;
  const size_t b = BlockSize(cfb);
  const auto* src = static_cast<const uint8_t*>(in);
  auto* dst = static_cast<uint8_t*>(out);
  if (cfb->interleave == 1) {
    UnitWalk<kEncrypt>(cfb->Unit(0), b, src, length, dst);
    return kQOXErrNoErr;
  }
  while (length > 0) {
    size_t step = b - cfb->blockOffset;
    if (step > length) step = length;
    UnitWalk<kEncrypt>(cfb->Unit(cfb->currentUnit), b, src, step, dst);
    src += step;
    dst += step;
    length -= step;
    cfb->blockOffset += static_cast<uint32_t>(step);
    if (cfb->blockOffset == b) {
      cfb->blockOffset = 0;
      cfb->currentUnit = static_cast<uint16_t>((cfb->currentUnit + 1) % cfb->interleave);
    }
  }
  return kQOXErrNoErr;
}

QOXError PublicWalkChecks(const QOXCFBContext* cfb, const void* in, size_t length, const void* out) {
  if (out == nullptr) return kQOXErrBadParams;
  if (!qoxCFBIsValid(cfb) || in == nullptr || length == 0) return kQOXErrBadParams;
  return qoxEnterFunction();
}

}  // namespace

bool qoxCFBIsValid(const QOXCFBContext* cfb) {
  return cfb != nullptr && cfb->magic == kQOXCFBMagic;
}

QOXError QOXNewCFBContext(QOXSymmetricCipherContext* cipher, uint16_t interleave,
                          QOXCFBContext** outCFB) {
  if (outCFB == nullptr) return kQOXErrBadParams;
  *outCFB = nullptr;
  if (!qoxSymmetricCipherIsValid(cipher) || interleave == 0) return kQOXErrBadParams;
  // CFB runs the cipher forwards in both directions; a cipher number from a
  // message may name one that only decrypts.
  if (cipher->vtbl->encrypt == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  auto* cfb = static_cast<QOXCFBContext*>(
      QOXNewData(cipher->memoryMgr, RecordSize(interleave), kQOXMemoryMgrFlags_Clear));
  if (cfb == nullptr) {
    QOXFreeSymmetricCipherContext(cipher);
    return kQOXErrOutOfMemory;
  }
  cfb->magic = kQOXCFBMagic;
  cfb->interleave = interleave;
  cfb->memoryMgr = cipher->memoryMgr;
  cfb->keyLoaded = 0;
  cfb->Unit(0)->cipher = cipher;
  for (uint32_t i = 1; i < interleave; ++i) {
    err = QOXCopySymmetricCipherContext(cipher, &cfb->Unit(i)->cipher);
    if (err != kQOXErrNoErr) {
      Release(cfb);
      return err;
    }
  }
  *outCFB = cfb;
  return kQOXErrNoErr;
}

QOXCFBContext* qoxCFBCreate(QOXMemoryMgr* memoryMgr, const QOXCipherVTBL* vtbl) {
  if (vtbl == nullptr) return nullptr;
  QOXSymmetricCipherContext* cipher = nullptr;
  if (qoxNewSymmetricCipherContextInternal(memoryMgr, vtbl->algorithm, &cipher) != kQOXErrNoErr) {
    return nullptr;
  }
  QOXCFBContext* cfb = nullptr;
  QOXError err = QOXNewCFBContext(cipher, 1, &cfb);
  if (err == kQOXErrBadParams) QOXFreeSymmetricCipherContext(cipher);  // refused, not consumed
  return err == kQOXErrNoErr ? cfb : nullptr;
}

QOXError QOXFreeCFBContext(QOXCFBContext* cfb) {
  if (!qoxCFBIsValid(cfb)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  Release(cfb);
  return kQOXErrNoErr;
}

QOXError QOXCopyCFBContext(const QOXCFBContext* cfb, QOXCFBContext** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!qoxCFBIsValid(cfb)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  size_t size = RecordSize(cfb->interleave);
  auto* copy = static_cast<QOXCFBContext*>(QOXNewData(cfb->memoryMgr, size, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, cfb, size);
  for (uint32_t i = 0; i < copy->interleave; ++i) copy->Unit(i)->cipher = nullptr;
  for (uint32_t i = 0; i < copy->interleave; ++i) {
    err = QOXCopySymmetricCipherContext(cfb->Unit(i)->cipher, &copy->Unit(i)->cipher);
    if (err != kQOXErrNoErr) {
      Release(copy);
      return err;
    }
  }
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError QOXInitCFB(QOXCFBContext* cfb, const void* key, const void* iv) {
  if (!qoxCFBIsValid(cfb) || (key == nullptr && iv == nullptr)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  const size_t b = BlockSize(cfb);
  const auto* ivBytes = static_cast<const uint8_t*>(iv);
  for (uint32_t i = 0; i < cfb->interleave; ++i) {
    QOXCFBUnit* u = cfb->Unit(i);
    if (key != nullptr) {
      err = QOXInitSymmetricCipher(u->cipher, key);
      if (err != kQOXErrNoErr) return err;
    }
    std::memset(u->previous, 0, sizeof u->previous);
    std::memset(u->feedback, 0, sizeof u->feedback);
    if (ivBytes != nullptr) std::memcpy(u->feedback, ivBytes + i * b, b);
    u->available = 0;
  }
  cfb->currentUnit = 0;
  cfb->blockOffset = 0;
  cfb->keyLoaded = 1;
  return kQOXErrNoErr;
}

QOXError qoxCFBEncryptInternal(QOXCFBContext* cfb, const void* in, size_t length, void* out) {
  return Walk<true>(cfb, in, length, out);
}

QOXError qoxCFBDecryptInternal(QOXCFBContext* cfb, const void* in, size_t length, void* out) {
  return Walk<false>(cfb, in, length, out);
}

QOXError QOXCFBEncrypt(QOXCFBContext* cfb, const void* in, size_t length, void* out) {
  QOXError err = PublicWalkChecks(cfb, in, length, out);
  if (err != kQOXErrNoErr) return err;
  return Walk<true>(cfb, in, length, out);
}

QOXError QOXCFBDecrypt(QOXCFBContext* cfb, const void* in, size_t length, void* out) {
  QOXError err = PublicWalkChecks(cfb, in, length, out);
  if (err != kQOXErrNoErr) return err;
  return Walk<false>(cfb, in, length, out);
}

QOXError QOXCFBSync(QOXCFBContext* cfb) {
  if (!qoxCFBIsValid(cfb)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXCFBUnit* u = cfb->Unit(cfb->currentUnit);
  const size_t b = BlockSize(cfb);
  const size_t a = u->available;
  if (a == 0) return kQOXErrNoErr;
  // The last b bytes of IV and ciphertext so far: the unused tail of the
  // previous block, then the used head of the current one.
  uint8_t fresh[20];
  std::memcpy(fresh, u->previous + (b - a), a);
  std::memcpy(fresh + a, u->feedback, b - a);
  std::memcpy(u->feedback, fresh, b);
  u->available = 0;
  return kQOXErrNoErr;
}

QOXError QOXCFBGetSymmetricCipher(const QOXCFBContext* cfb, QOXSymmetricCipherContext** outCipher) {
  if (outCipher == nullptr) return kQOXErrBadParams;
  *outCipher = nullptr;
  if (!qoxCFBIsValid(cfb)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  *outCipher = cfb->Unit(0)->cipher;
  return kQOXErrNoErr;
}

QOXError QOXCFBGetRandom(QOXCFBContext* cfb, size_t count, void* buffer, size_t* outDelivered) {
  if (outDelivered == nullptr) return kQOXErrBadParams;
  *outDelivered = 0;
  if (!qoxCFBIsValid(cfb) || buffer == nullptr) return kQOXErrBadParams;
  if (cfb->interleave != 1) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXCFBUnit* u = cfb->Unit(0);
  const size_t b = BlockSize(cfb);
  size_t m = count < u->available ? count : u->available;
  std::memcpy(buffer, u->previous + (b - u->available), m);
  u->available = static_cast<uint32_t>(u->available - m);
  *outDelivered = m;
  return kQOXErrNoErr;
}

QOXError QOXCFBRandomCycle(QOXCFBContext* cfb, const void* salt) {
  if (!qoxCFBIsValid(cfb) || salt == nullptr) return kQOXErrBadParams;
  if (cfb->interleave != 1) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXCFBUnit* u = cfb->Unit(0);
  // A generator whose cipher never got a key would hand out a fixed stream.
  if (!u->cipher->keyLoaded) return kQOXErrImproperInitialization;
  const size_t b = BlockSize(cfb);
  const auto* s = static_cast<const uint8_t*>(salt);
  for (size_t i = 0; i < b; ++i) u->feedback[i] ^= s[i];
  Encrypt(u, u->feedback, u->previous);
  QOXError result = kQOXErrNoErr;
  if (qoxFIPSModeEnabled()) {
    std::lock_guard<std::mutex> lock(sLastCFBCycleMutex);
    if (std::memcmp(u->previous, sLastCFBCycle, b) == 0) {
      result = kQOXErrSelfTestFailed;
      qoxSetSDKErrorState(kQOXErrSelfTestFailed);
    } else {
      std::memcpy(sLastCFBCycle, u->previous, b);
    }
  }
  for (size_t i = 0; i < b; ++i) u->feedback[i] = u->previous[i] ^ s[i];
  Encrypt(u, u->feedback, u->feedback);
  u->available = static_cast<uint32_t>(b);
  return result;
}

QOXError QOXCFBRandomWash(QOXCFBContext* cfb, const void* bytes, size_t length) {
  if (!qoxCFBIsValid(cfb) || bytes == nullptr) return kQOXErrBadParams;
  if (cfb->interleave != 1) return kQOXErrBadParams;
  QOXCFBUnit* u = cfb->Unit(0);
  // Only IDEA, 3DES and CAST5 have a wash.
  if (u->cipher->vtbl->wash == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  err = qoxSymmetricCipherWashInternal(u->cipher, bytes, length);
  if (err != kQOXErrNoErr) return err;
  const size_t b = BlockSize(cfb);
  const auto* x = static_cast<const uint8_t*>(bytes);
  size_t j = 0;
  for (size_t i = 0; i < length; ++i) {
    u->feedback[j++] ^= x[i];
    if (j == b) {
      Encrypt(u, u->feedback, u->feedback);
      j = 0;
    }
  }
  for (; j < b; ++j) u->feedback[j] ^= static_cast<uint8_t>(length & 0xff);
  Encrypt(u, u->feedback, u->feedback);
  u->available = 0;
  return kQOXErrNoErr;
}

void qoxCFBWipe(QOXCFBContext* cfb) {
  cfb->keyLoaded = 0;
  for (uint32_t i = 0; i < cfb->interleave; ++i) {
    QOXCFBUnit* u = cfb->Unit(i);
    WipeBytes(u->cipher->keyState, u->cipher->vtbl->keyStateSize);
    u->cipher->keyLoaded = 0;
    WipeBytes(u->previous, sizeof u->previous);
    WipeBytes(u->feedback, sizeof u->feedback);
    u->available = 0;
  }
  cfb->currentUnit = 0;
  cfb->blockOffset = 0;
}

size_t qoxCFBGetKeySize(const QOXCFBContext* cfb) { return cfb->Unit(0)->cipher->vtbl->keySize; }

size_t qoxCFBGetBlockSize(const QOXCFBContext* cfb) { return BlockSize(cfb); }

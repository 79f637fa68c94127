#include "crypto/x917.h"

#include <algorithm>
#include <cstring>

#include "crypto/cfb.h"
#include "foundation/byte_order.h"
#include "crypto/context_random.h"
#include "foundation/context.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_time.h"

namespace {

constexpr size_t kSeedBytes = 32;

struct X917Private {
  QOXCFBContext* cfb;
  QOXRandomContext* base;
};

void X917AddBytes(void* priv, const uint8_t* bytes, size_t count) {
  auto* p = static_cast<X917Private*>(priv);
  static const uint8_t kNone = 0;
  QOXCFBRandomWash(p->cfb, count != 0 ? bytes : &kNone, count);
}

void X917GetBytesEntropy(void* priv, uint8_t* dest, size_t count, uint32_t entropyBits) {
  auto* p = static_cast<X917Private*>(priv);
  uint8_t none = 0;
  // Charge the entropy on the base.
  p->base->vtbl->getBytesEntropy(p->base->priv, &none, 0, entropyBits);
  size_t done = 0;
  QOXCFBGetRandom(p->cfb, count, dest, &done);
  const size_t blockSize = qoxCFBGetBlockSize(p->cfb);
  uint8_t fresh[kQOXMaxCipherBlockSize];
  while (done < count) {
    p->base->vtbl->getBytesEntropy(p->base->priv, fresh, blockSize, 0);
    if (qoxFIPSModeEnabled()) {
      uint8_t stamp[kQOXMaxCipherBlockSize] = {};
      StoreBE32(stamp, static_cast<uint32_t>(QOXGetTime()));
      QOXSymmetricCipherContext* cipher = nullptr;
      if (QOXCFBGetSymmetricCipher(p->cfb, &cipher) == kQOXErrNoErr &&
          QOXSymmetricCipherEncrypt(cipher, stamp, stamp) == kQOXErrNoErr) {
        for (size_t i = 0; i < blockSize; ++i) fresh[i] ^= stamp[i];
      }
      std::memset(stamp, 0, sizeof stamp);
    }
    // A failed cycle (repeat check, or refused by the gate) delivers nothing
    // and would fail again: end the draw.
    size_t more = 0;
    if (QOXCFBRandomCycle(p->cfb, fresh) != kQOXErrNoErr ||
        QOXCFBGetRandom(p->cfb, count - done, dest + done, &more) != kQOXErrNoErr || more == 0) {
      std::memset(dest + done, 0, count - done);
      break;
    }
    done += more;
  }
  std::memset(fresh, 0, sizeof fresh);
}

void X917Stir(void* priv) {
  auto* p = static_cast<X917Private*>(priv);
  static const uint8_t kNone = 0;
  QOXCFBRandomWash(p->cfb, &kNone, 0);
  p->base->vtbl->stir(p->base->priv);
}

void X917Destroy(QOXRandomContext* rc) {
  auto* p = static_cast<X917Private*>(rc->priv);
  if (p != nullptr) {
    if (p->cfb != nullptr) {
      qoxCFBWipe(p->cfb);
      QOXFreeCFBContext(p->cfb);
    }
    std::memset(p, 0, sizeof *p);
    QOXFreeData(p);
  }
  std::memset(rc, 0, sizeof *rc);
  QOXFreeData(rc);
}

constexpr QOXRandomVTBL X9_17Desc = {"X9.17-based cryptographic PRNG", X917AddBytes,
                                     X917GetBytesEntropy, X917Stir};

QOXCipherAlgorithm ModeCipher() {
  return qoxFIPSModeEnabled() ? kQOXCipherAlgorithm_3DES : kQOXCipherAlgorithm_CAST5;
}

// --- The front end: every request goes to the back end's generator ---
// Its private word is the owning context.

void FrontAddBytes(void* priv, const uint8_t* bytes, size_t count) {
  qoxRandomAddBytes_back(static_cast<QOXContext*>(priv), bytes, count);
}

// Bytes the back end could not give are zeroed, as a draw that cannot cycle
// leaves them.
void FrontGetBytesEntropy(void* priv, uint8_t* dest, size_t count, uint32_t entropyBits) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  qoxRandomGetBytesEntropy_back(static_cast<QOXContext*>(priv), count, entropyBits, &buffer, &length);
  const size_t got = buffer != nullptr ? std::min(length, count) : 0;
  if (got != 0) std::memcpy(dest, buffer, got);
  if (got < count) std::memset(dest + got, 0, count - got);
  if (buffer != nullptr) {
    std::memset(buffer, 0, length);
    QOXFreeData(buffer);
  }
}

void FrontStir(void*) {}

void FrontDestroy(QOXRandomContext* rc) {
  std::memset(rc, 0, sizeof *rc);
  QOXFreeData(rc);
}

constexpr QOXRandomVTBL frontDesc = {"frontend to cryptographic PRNG", FrontAddBytes, FrontGetBytesEntropy,
                                     FrontStir};

}  // namespace

QOXRandomContext* qoxRandomCreateX9_17(QOXContext* context, QOXCipherAlgorithm algorithm,
                                       QOXRandomContext* base) {
  if (context == nullptr || base == nullptr) return nullptr;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  if (mgr == nullptr) return nullptr;
  QOXCFBContext* cfb = qoxCFBCreate(mgr, qoxCipherGetVTBL(algorithm));
  if (cfb == nullptr) return nullptr;
  auto* rc = static_cast<QOXRandomContext*>(
      qoxContextMemAlloc(context, sizeof(QOXRandomContext), kQOXMemoryMgrFlags_Clear));
  auto* priv = static_cast<X917Private*>(
      qoxContextMemAlloc(context, sizeof(X917Private), kQOXMemoryMgrFlags_Clear));
  uint8_t seed[kSeedBytes];
  base->vtbl->getBytesEntropy(base->priv, seed, sizeof seed, 0);
  QOXError err = rc != nullptr && priv != nullptr ? QOXCFBRandomWash(cfb, seed, sizeof seed)
                                                  : kQOXErrOutOfMemory;
  std::memset(seed, 0, sizeof seed);
  if (err != kQOXErrNoErr) {
    if (rc != nullptr) QOXFreeData(rc);
    if (priv != nullptr) QOXFreeData(priv);
    qoxCFBWipe(cfb);
    QOXFreeCFBContext(cfb);
    return nullptr;
  }
  priv->cfb = cfb;
  priv->base = base;
  rc->context = context;
  rc->vtbl = &X9_17Desc;
  rc->priv = priv;
  rc->destroy = X917Destroy;
  return rc;
}

QOXRandomContext* qoxRandomCreate_internal(QOXContext* context) {
  if (context == nullptr) return nullptr;
  QOXRandomContext* base = qoxContextGetGlobalPoolRandomContext(context);
  if (base == nullptr) return nullptr;
  return qoxRandomCreateX9_17(context, ModeCipher(), base);
}

QOXRandomContext* qoxRandomCreate(QOXContext* context) {
  if (qoxRPCClientServices().qoxRPCEnabled()) return qoxRandomCreate_frontend(context);
  return qoxRandomCreate_internal(context);
}

QOXRandomContext* qoxRandomCreate_frontend(QOXContext* context) {
  if (context == nullptr) return nullptr;
  auto* rc = static_cast<QOXRandomContext*>(
      qoxContextMemAlloc(context, sizeof(QOXRandomContext), kQOXMemoryMgrFlags_Clear));
  if (rc == nullptr) return nullptr;
  rc->context = context;
  rc->vtbl = &frontDesc;
  rc->priv = context;
  rc->destroy = FrontDestroy;
  return rc;
}

QOXError qoxRandomAddBytes_back(QOXContext* context, const uint8_t* bytes, size_t count) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled()) return rpc.qoxRandomAddBytes_backRPC(context, bytes, count);
  QOXRandomContext* rc = context != nullptr ? qoxContextGetX9_17RandomContext(context) : nullptr;
  if (rc != nullptr) rc->vtbl->addBytes(rc->priv, bytes, count);
  return kQOXErrNoErr;
}

QOXError qoxRandomGetBytesEntropy_back(QOXContext* context, size_t count, uint32_t entropyBits,
                                       uint8_t** outBuffer, size_t* outLength) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled())
    return rpc.qoxRandomGetBytesEntropy_backRPC(context, count, entropyBits, outBuffer, outLength);
  *outBuffer = nullptr;
  *outLength = 0;
  QOXRandomContext* rc = context != nullptr ? qoxContextGetX9_17RandomContext(context) : nullptr;
  // A block of at least one byte, so that a draw of none still hands one out.
  auto* buffer = rc != nullptr ? static_cast<uint8_t*>(qoxContextMemAlloc(context, count != 0 ? count : 1, 0))
                               : nullptr;
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  rc->vtbl->getBytesEntropy(rc->priv, buffer, count, entropyBits);
  *outBuffer = buffer;
  *outLength = count;
  return kQOXErrNoErr;
}

QOXRandomContext* qoxPseudoRandomCreate(QOXContext* context) {
  if (context == nullptr) return nullptr;
  QOXRandomContext* base = qoxContextGetDummyRandomContext(context);
  if (base == nullptr) return nullptr;
  return qoxRandomCreateX9_17(context, ModeCipher(), base);
}

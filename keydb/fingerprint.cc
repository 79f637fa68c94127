#include "keydb/fingerprint.h"

#include <cstring>

#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/mem_pool.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr uint8_t kPublicKeyTypeByte = 0x99;  // old form, tag 6, two length bytes

}  // namespace

int qoxFingerprint20HashBuf(QOXContext* context, const uint8_t* body, size_t length, uint8_t* outDigest) {
  const QOXHashVTBL* sha1 = qoxHashByNumber(kQOXHashAlgorithm_SHA);
  if (sha1 == nullptr) return kQOXErrUnknownHashNumber;
  MemPool* pool = qoxPeekContextMemPool(context);
  QOXMemoryMgr* mgr = qoxPeekContextMemPoolMgr(context);
  if (pool == nullptr || mgr == nullptr) return kQOXErrOutOfMemory;
  const MemPool mark = *pool;
  QOXHashContext* hash = qoxHashCreate(mgr, sha1);
  if (hash == nullptr) {
    qoxContextMemPoolCutBack(context, &mark);
    return kQOXErrOutOfMemory;
  }
  const uint8_t prefix[3] = {kPublicKeyTypeByte, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  sha1->update(hash->state, prefix, sizeof prefix);
  if (length != 0) sha1->update(hash->state, body, length);
  std::memcpy(outDigest, qoxHashFinal(hash), kQOXFingerprint20Size);
  qoxContextMemPoolCutBack(context, &mark);
  return static_cast<int>(sha1->digestSize);
}

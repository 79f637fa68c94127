// HMAC (RFC 2104) over any hash of the registry (crypto/hash.h).
//
// One context per key: feed data, finalize, then QOXResetHMAC to start the
// next MAC with the same key. The block size is 64 bytes for every hash, MD2
// included. A key of at most 64 bytes is kept as given; a longer one is
// replaced by its digest. The stored key lives in secure memory.
//
// Thread safety: a context is used by one thread at a time; there is no
// shared state.
#ifndef OSTRAK_CRYPTO_HMAC_H_
#define OSTRAK_CRYPTO_HMAC_H_

#include <cstddef>
#include <cstdint>

#include "crypto/hash.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"

struct QOXContext;

inline constexpr uint32_t kQOXHMACContextMagic = 0xebbadbbau;
inline constexpr size_t kQOXHMACBlockSize = 64;

// Valid when non-null, with a hash context and the magic word.
struct QOXHMACContext {
  uint32_t magic;
  QOXMemoryMgr* memoryMgr;
  QOXHashContext* hash;  // does all the hashing
  uint8_t* key;          // secure block
  size_t keyLength;
};

// -12000 for a null out-parameter (else cleared), an algorithm not in the
// registry, or a null key with a non-zero length; the gate's error; the
// manager's validation error; kQOXErrOutOfMemory when memory runs out. A failed creation
// leaves nothing allocated. The new context is ready for data.
QOXError QOXNewHMACContext(QOXContext* context, QOXHashAlgorithm algorithm, const void* key,
                           size_t keyLength, QOXHMACContext** outHMAC);
// Restarts with the same key (after a finalize, or to drop fed data).
QOXError QOXResetHMAC(QOXHMACContext* hmac);
// -12000 for a null `bytes` whatever the length; a length of 0 does nothing.
QOXError QOXContinueHMAC(QOXHMACContext* hmac, const void* bytes, size_t length);
// Writes the digest-size MAC to `out`. The context is not reset.
QOXError QOXFinalizeHMAC(QOXHMACContext* hmac, void* out);
QOXError QOXFreeHMACContext(QOXHMACContext* hmac);

#endif  // OSTRAK_CRYPTO_HMAC_H_

// The hash registry and hash contexts: every message digest of the toolkit
// goes through here.
//
// The registry is four constant records (QOXHashVTBL), one per algorithm,
// compared by address and never copied. A QOXHashContext runs one algorithm
// over a stream of bytes; its running state is a separate block from the same
// memory manager. Finishing leaves the digest inside the state, so a
// finalized context must be reset before it is fed again.
//
// A QOXHashList holds several contexts inline in one block, so that one
// buffer can feed several digests without further allocation. A context
// taken from a list belongs to the list and is never freed on its own.
//
// Public calls (QOX...) check their arguments and pass the entry gate; the
// internal ones (qox...) do neither and serve the toolkit's own code.
//
// Thread safety: the registry is constant; a context or list is used by one
// thread at a time, and two threads may use two contexts freely.
#ifndef OSTRAK_CRYPTO_HASH_H_
#define OSTRAK_CRYPTO_HASH_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"

struct QOXContext;

// RFC 2440 hash algorithm numbers. 4 and every number not listed are unknown.
using QOXHashAlgorithm = uint32_t;
inline constexpr QOXHashAlgorithm kQOXHashAlgorithm_MD5 = 1;
inline constexpr QOXHashAlgorithm kQOXHashAlgorithm_SHA = 2;
inline constexpr QOXHashAlgorithm kQOXHashAlgorithm_RIPEMD160 = 3;
inline constexpr QOXHashAlgorithm kQOXHashAlgorithm_MD2 = 5;

// Largest digest of the registry, for callers' buffers.
inline constexpr size_t kQOXMaxHashSize = 20;

// Magic word of a live hash context.
inline constexpr uint32_t kQOXHashContextMagic = 0xabbadabau;

// One registered algorithm.
struct QOXHashVTBL {
  const char* name;            // "MD5", "SHA1", "RIPEMD160", "MD2"
  QOXHashAlgorithm algorithm;  // RFC 2440 number
  const uint8_t* derPrefix;    // DigestInfo prefix put before the digest in a
  uint32_t derPrefixLength;    //   PKCS #1 v1.5 signature block
  uint32_t digestSize;
  uint32_t stateSize;
  uint32_t stateAlignment;
  void (*init)(void* state);
  void (*update)(void* state, const void* bytes, size_t length);
  // Pads and finishes; the digest is left inside the state.
  const uint8_t* (*final)(void* state);
};

extern const QOXHashVTBL HashMD5;
extern const QOXHashVTBL HashSHA;
extern const QOXHashVTBL HashRIPEMD160;
extern const QOXHashVTBL HashMD2;

// DigestInfo prefixes (RFC 2440 section 5.2.2).
extern const uint8_t MD5DERprefix[18];
extern const uint8_t SHADERprefix[15];
extern const uint8_t RIPEMD160DERprefix[15];
extern const uint8_t MD2DERprefix[18];

// A running digest. Valid when non-null, with a state and the magic word.
struct QOXHashContext {
  uint32_t magic;
  const QOXHashVTBL* vtbl;
  QOXMemoryMgr* memoryMgr;  // allocated the record (stand-alone) and the state
  void* state;              // vtbl->stateSize bytes, normal memory
};

// Several contexts in one block: this header, then `count` QOXHashContext
// records.
struct QOXHashList {
  uint32_t count;
  QOXMemoryMgr* memoryMgr;
};

// --- Public calls ---
// Uses the toolkit context's memory manager. -12000 for a null out-parameter
// (else it is cleared) or an algorithm not in the registry; the gate's error;
// the manager's validation error; kQOXErrOutOfMemory when memory runs out.
QOXError QOXNewHashContext(QOXContext* context, QOXHashAlgorithm algorithm, QOXHashContext** outHash);
// A new context continuing from the same point, on the source's manager.
QOXError QOXCopyHashContext(const QOXHashContext* hash, QOXHashContext** outCopy);
// Wipes and frees the state and the record.
QOXError QOXFreeHashContext(QOXHashContext* hash);
QOXError QOXResetHash(QOXHashContext* hash);
// -12000 for a null `bytes` whatever the length; a length of 0 does nothing.
QOXError QOXContinueHash(QOXHashContext* hash, const void* bytes, size_t length);
// Writes digest-size bytes to `out`; the context is not reset.
QOXError QOXFinalizeHash(QOXHashContext* hash, void* out);
QOXError QOXGetHashSize(const QOXHashContext* hash, size_t* outSize);

// --- Internal calls: no gate, no argument checks unless said ---
const QOXHashVTBL* qoxHashByNumber(QOXHashAlgorithm algorithm);  // null when unknown
// The record whose name is exactly the first `length` bytes of `name`
// (case significant); null when none.
const QOXHashVTBL* qoxHashByName(const char* name, size_t length);
// A new context for `vtbl` (not null), or null when memory runs out.
QOXHashContext* qoxHashCreate(QOXMemoryMgr* memoryMgr, const QOXHashVTBL* vtbl);
QOXHashContext* qoxHashCopy(const QOXHashContext* hash);  // null on failure
// Copies the running state of `source` into `dest` (same algorithm).
void qoxHashCopyData(const QOXHashContext* source, QOXHashContext* dest);
// Finishes and returns the digest inside the state (valid until the context
// is reset or freed).
const uint8_t* qoxHashFinal(QOXHashContext* hash);
const QOXHashVTBL* qoxHashGetVTBL(const QOXHashContext* hash);

// `algorithms` holds `count` algorithm numbers, one byte each; numbers the
// registry does not know are skipped (the list may end up empty). -12000 for
// a null out-parameter (else cleared), a null array or a count of 0; kQOXErrOutOfMemory
// when memory runs out (nothing is left allocated).
QOXError qoxHashListCreate(QOXMemoryMgr* memoryMgr, const uint8_t* algorithms, QOXHashList** outList,
                           uint32_t count);
uint32_t qoxHashListGetSize(const QOXHashList* list);
// Null when index is not below the count.
QOXHashContext* qoxHashListGetIndHash(QOXHashList* list, uint32_t index);
// The first context of the list running `vtbl`, or null.
QOXHashContext* qoxHashListFind(QOXHashList* list, const QOXHashVTBL* vtbl);
// Wipes and frees every state, then the list (a null list is ignored).
void qoxHashListDestroy(QOXHashList* list);

#endif  // OSTRAK_CRYPTO_HASH_H_

// The arena pool and its memory-manager wrapper.
#include "foundation/mem_pool.h"

#include <cstring>

#include "foundation/context.h"

struct MemPoolChunk {
  MemPoolChunk* previous;
  size_t size;
};
static_assert(sizeof(MemPoolChunk) == 16);

namespace {

// Blocks of the pool's memory manager sit behind a 16-byte block header, so
// 16-byte alignment keeps every block suitable for any object.
constexpr size_t kMgrAlignment = 16;

void WipeAndFree(QOXContext* context, MemPoolChunk* chunk) {
  size_t size = chunk->size;
  volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(chunk);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
  qoxContextMemFree(context, chunk);
}

size_t RoundUp(size_t n, size_t alignment) {
  size_t r = n % alignment;
  return r == 0 ? n : n + (alignment - r);
}

void* PoolAllocProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, size_t size, uint32_t) {
  return memPoolAlloc(static_cast<MemPool*>(custom), size, kMgrAlignment);
}

QOXError PoolReallocProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, void** block,
                         size_t newSize, uint32_t, size_t oldSize) {
  if (newSize <= oldSize) return kQOXErrNoErr;
  void* fresh = memPoolAlloc(static_cast<MemPool*>(custom), newSize, kMgrAlignment);
  if (fresh == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(fresh, *block, oldSize);
  *block = fresh;
  return kQOXErrNoErr;
}

QOXError PoolDeallocProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void*, size_t) {
  return kQOXErrNoErr;
}

void* PoolSecureAllocProc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, size_t size,
                          uint32_t flags, bool* isLocked) {
  *isLocked = false;
  return PoolAllocProc(mgr, custom, size, flags);
}

QOXError PoolSecureDeallocProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void*, size_t, bool) {
  return kQOXErrNoErr;
}

}  // namespace

void memPoolInit(QOXContext* context, MemPool* pool) {
  *pool = MemPool{};
  pool->context = context;
  pool->chunkSize = kMemPoolChunkSize;
}

void memPoolSetPurge(MemPool* pool, MemPoolPurgeProc purge, void* arg) {
  pool->purge = purge;
  pool->purgeArg = arg;
}

void* memPoolAlloc(MemPool* pool, size_t size, size_t alignment) {
  if (alignment == 0) alignment = 1;
  if (pool->head != nullptr) {
    size_t offset = static_cast<size_t>(pool->free - reinterpret_cast<uint8_t*>(pool->head));
    size_t pad = (alignment - offset % alignment) % alignment;
    if (size <= pool->left && pad <= pool->left - size) {
      uint8_t* block = pool->free + pad;
      pool->free = block + size;
      pool->left -= size + pad;
      return block;
    }
  }

  // A new chunk: its header rounded up to the alignment, then the block.
  size_t header = RoundUp(sizeof(MemPoolChunk), alignment);
  if (size > SIZE_MAX - header) return nullptr;
  size_t need = size + header;
  size_t trySize = pool->chunkSize;
  while (trySize < need) {
    if (trySize > SIZE_MAX / 2) {
      trySize = need;
      break;
    }
    trySize *= 2;
  }

  void* mem = nullptr;
  for (;;) {
    mem = qoxContextMemAlloc(pool->context, trySize, 0);
    if (mem != nullptr) break;
    if (pool->purge != nullptr && pool->purge(pool->purgeArg, trySize) != 0) continue;
    if (trySize == need) return nullptr;
    trySize /= 2;
    if (trySize < need) trySize = need;
  }

  MemPoolChunk* chunk = static_cast<MemPoolChunk*>(mem);
  chunk->previous = pool->head;
  chunk->size = trySize;
  pool->head = chunk;
  pool->total += trySize;
  uint8_t* block = static_cast<uint8_t*>(mem) + header;
  pool->free = block + size;
  pool->left = trySize - need;
  return block;
}

void memPoolEmpty(MemPool* pool) {
  MemPoolChunk* chunk = pool->head;
  while (chunk != nullptr) {
    MemPoolChunk* previous = chunk->previous;
    WipeAndFree(pool->context, chunk);
    chunk = previous;
  }
  pool->head = nullptr;
  pool->free = nullptr;
  pool->left = 0;
  pool->total = 0;
}

void memPoolCutBack(MemPool* pool, const MemPool* mark) {
  // Only a mark of this pool whose newest chunk is still held can be
  // restored; anything else would leave the pool pointing at freed memory.
  MemPoolChunk* chunk = pool->head;
  while (chunk != nullptr && chunk != mark->head) chunk = chunk->previous;
  if (chunk != mark->head) return;

  chunk = pool->head;
  while (chunk != mark->head) {
    MemPoolChunk* previous = chunk->previous;
    WipeAndFree(pool->context, chunk);
    chunk = previous;
  }
  *pool = *mark;
  if (pool->head != nullptr && pool->left > 0) std::memset(pool->free, 0, pool->left);
}

QOXMemoryMgr* qoxMemPoolMemoryMgr(MemPool* pool) {
  QOXNewMemoryMgrStruct record{};
  record.sizeofStruct = sizeof record;
  record.allocProc = PoolAllocProc;
  record.reallocProc = PoolReallocProc;
  record.deallocProc = PoolDeallocProc;
  record.secureAllocProc = PoolSecureAllocProc;
  record.secureDeallocProc = PoolSecureDeallocProc;
  record.customValue = pool;
  QOXMemoryMgr* mgr = nullptr;
  if (QOXNewMemoryMgrCustom(&record, &mgr) != kQOXErrNoErr) return nullptr;
  return mgr;
}

// MemPool: an arena of small blocks carved from large chunks.
//
// Chunks come from the allocator of a toolkit context and are released only
// all together (memPoolEmpty) or back to a mark (memPoolCutBack); single
// blocks are never freed. A mark is a copy of the MemPool record taken
// before allocating. Returned chunks are wiped first, since pools hold key
// material. qoxMemPoolMemoryMgr wraps a pool as a QOXMemoryMgr so that code
// written against memory managers can allocate from it.
//
// Each chunk starts with a header {previous chunk, chunk size} of two
// pointer-sized words; blocks are aligned relative to the chunk start, which
// the context's allocator puts on a 16-byte boundary.
//
// Thread safety: none; a pool belongs to one context (one thread at a time).
#ifndef OSTRAK_FOUNDATION_MEM_POOL_H_
#define OSTRAK_FOUNDATION_MEM_POOL_H_

#include <cstddef>
#include <cstdint>

#include "foundation/memory_mgr.h"

struct QOXContext;
struct MemPoolChunk;

// Asked to free memory elsewhere when a chunk of size bytes cannot be had;
// a non-zero answer asks for another attempt.
using MemPoolPurgeProc = int (*)(void* arg, size_t size);

// The whole record is also the saved state that a mark copies.
struct MemPool {
  QOXContext* context;   // whose allocator supplies chunks
  MemPoolChunk* head;    // newest chunk; chunks chain to older ones
  uint8_t* free;         // where the next block of the newest chunk begins
  size_t left;           // bytes still free in the newest chunk
  size_t chunkSize;      // base chunk size, 4096
  size_t total;          // sum of the sizes of all chunks held
  MemPoolPurgeProc purge;
  void* purgeArg;
};

inline constexpr size_t kMemPoolChunkSize = 4096;

// Stores the context, chunk size 4096, everything else 0.
void memPoolInit(QOXContext* context, MemPool* pool);
void memPoolSetPurge(MemPool* pool, MemPoolPurgeProc purge, void* arg);
// A block of size bytes whose offset within its chunk is a multiple of
// alignment (0 counts as 1; it need not be a power of two), or null when no
// chunk can be had (the pool is then unchanged).
void* memPoolAlloc(MemPool* pool, size_t size, size_t alignment);
// Wipes and frees every chunk.
void memPoolEmpty(MemPool* pool);
// Wipes and frees every chunk newer than the mark and restores the mark; the
// space of the mark's newest chunk handed out since is wiped and becomes free
// again. A mark whose newest chunk the pool no longer holds is ignored.
void memPoolCutBack(MemPool* pool, const MemPool* mark);
// A memory manager whose blocks come from the pool: freeing a block does
// nothing, growing one copies it into a new block, shrinking keeps it, and
// secure blocks are never locked. Its blocks are 16-byte aligned. Released
// with QOXFreeMemoryMgr; null when it cannot be made.
QOXMemoryMgr* qoxMemPoolMemoryMgr(MemPool* pool);

#endif  // OSTRAK_FOUNDATION_MEM_POOL_H_

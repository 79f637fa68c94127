// LockedPagePool: where the standard memory manager keeps its secure blocks.
//
// Locking and unlocking pages for every block costs two system calls per
// block, and it is unsound as well: page locks do not nest, so unlocking a
// freed block's pages also unlocks whatever other secure block shares one of
// them. The pool instead maps arenas of whole pages, locks each arena once
// and carves it into slots of eight size classes (32 bytes to 4 KiB); a
// freed slot goes on its class's free list and its pages stay locked for as
// long as the pool lives. A block larger than the largest class gets pages
// of its own, locked for it alone and unlocked when it is freed. When the
// system refuses to lock an arena (a small locked-memory limit), a small
// block comes from the heap and is reported unlocked. A child process made
// by fork locks the shared pool's arenas again (locks are not inherited).
//
// Slots come back zeroed. The caller wipes a block before releasing it (the
// memory manager does); the pool wipes nothing on release. Thread-safe.
#ifndef OSTRAK_FOUNDATION_LOCKED_PAGES_H_
#define OSTRAK_FOUNDATION_LOCKED_PAGES_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ostrak {

class LockedPagePool {
 public:
  static constexpr size_t kArenaSize = 64 * 1024;
  static constexpr size_t kLargestSlot = 4096;

  LockedPagePool() = default;
  ~LockedPagePool();  // unmaps every arena: no block may outlive the pool
  LockedPagePool(const LockedPagePool&) = delete;
  LockedPagePool& operator=(const LockedPagePool&) = delete;

  // A zeroed block of at least size bytes, aligned to 16; *locked tells
  // whether its pages are locked. Null when no memory is left (size 0 gives
  // a valid block).
  void* Allocate(size_t size, bool* locked);
  // Gives back a block of this pool with the size it was asked with.
  void Release(void* block, size_t size);

  // The pool every standard memory manager shares.
  static LockedPagePool& Shared();

 private:
  static constexpr int kClasses = 8;  // 32, 64, ..., 4096
  struct FreeSlot {
    FreeSlot* next;
  };
  struct SizeClass {
    FreeSlot* free = nullptr;
    char* next = nullptr;  // bump pointer into the newest arena
    char* end = nullptr;
  };

  static int ClassOf(size_t size);
  void* Own(size_t size, bool* locked);          // pages of its own
  void Disown(void* block, size_t size);
  bool InArena(const void* block) const;       // under mutex_

  std::mutex mutex_;
  SizeClass classes_[kClasses];
  std::vector<uintptr_t> arenas_;  // starts of the locked arenas, sorted
};

}  // namespace ostrak

#endif  // OSTRAK_FOUNDATION_LOCKED_PAGES_H_

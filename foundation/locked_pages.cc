// The locked-page pool of the standard memory manager's secure blocks.
#include "foundation/locked_pages.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define OSTRAK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define OSTRAK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define OSTRAK_POISON(p, n) ((void)(p), (void)(n))
#define OSTRAK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ostrak {

namespace {

constexpr size_t kSmallestSlot = 32;

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

size_t RoundToPages(size_t size) {
  const size_t page = PageSize();
  return (size + page - 1) / page * page;
}

void* MapPages(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

LockedPagePool::~LockedPagePool() {
  for (uintptr_t a : arenas_) {
    // Unpoisoned first: later mappings may reuse the addresses.
    OSTRAK_UNPOISON(reinterpret_cast<void*>(a), kArenaSize);
    munmap(reinterpret_cast<void*>(a), kArenaSize);
  }
}

LockedPagePool& LockedPagePool::Shared() {
  // Never destroyed: blocks may be freed by static destructors run after
  // any destructor of ours.
  static LockedPagePool* pool = [] {
    auto* p = new LockedPagePool;
    // A child process inherits the pages but not their locks (the daemon
    // detaches after it has read its secure key's passphrase): the child
    // locks the arenas again. The pool's lock is held across the fork so
    // that the child never starts with it taken by a thread it lacks.
    pthread_atfork([] { Shared().mutex_.lock(); }, [] { Shared().mutex_.unlock(); },
                   [] {
                     LockedPagePool& self = Shared();
                     for (uintptr_t a : self.arenas_) mlock(reinterpret_cast<void*>(a), kArenaSize);
                     self.mutex_.unlock();
                   });
    return p;
  }();
  return *pool;
}

int LockedPagePool::ClassOf(size_t size) {
  if (size > kLargestSlot) return -1;
  int c = 0;
  for (size_t slot = kSmallestSlot; slot < size; slot <<= 1) ++c;
  return c;
}

void* LockedPagePool::Own(size_t size, bool* locked) {
  const size_t bytes = RoundToPages(size == 0 ? 1 : size);
  void* p = MapPages(bytes);
  if (p != nullptr) *locked = mlock(p, bytes) == 0;
  return p;  // fresh anonymous pages read as zero
}

void LockedPagePool::Disown(void* block, size_t size) {
  // Unmapping drops the pages' lock with them.
  munmap(block, RoundToPages(size == 0 ? 1 : size));
}

bool LockedPagePool::InArena(const void* block) const {
  const uintptr_t at = reinterpret_cast<uintptr_t>(block);
  auto it = std::upper_bound(arenas_.begin(), arenas_.end(), at);
  if (it == arenas_.begin()) return false;
  return at - *(--it) < kArenaSize;
}

void* LockedPagePool::Allocate(size_t size, bool* locked) {
  *locked = false;
  const int c = ClassOf(size);
  if (c < 0) return Own(size, locked);
  const size_t slot = kSmallestSlot << c;

  std::lock_guard<std::mutex> guard(mutex_);
  SizeClass& sc = classes_[c];
  if (sc.free != nullptr) {
    FreeSlot* s = sc.free;
    OSTRAK_UNPOISON(s, slot);
    sc.free = s->next;
    *locked = true;
    std::memset(s, 0, slot);
    return s;
  }
  if (sc.next == sc.end) {
    char* arena = static_cast<char*>(MapPages(kArenaSize));
    if (arena == nullptr) return nullptr;
    if (mlock(arena, kArenaSize) != 0) {
      // The system will not lock this much: the block comes unlocked from
      // the heap (a page of its own each would waste far more than it holds).
      munmap(arena, kArenaSize);
      return std::calloc(1, slot);
    }
    const uintptr_t begin = reinterpret_cast<uintptr_t>(arena);
    try {
      arenas_.insert(std::upper_bound(arenas_.begin(), arenas_.end(), begin), begin);
    } catch (...) {
      munmap(arena, kArenaSize);
      return nullptr;
    }
    sc.next = arena;
    sc.end = arena + kArenaSize;
    OSTRAK_POISON(arena, kArenaSize);
  }
  void* s = sc.next;
  sc.next += slot;
  *locked = true;  // arenas are kept only when locked
  OSTRAK_UNPOISON(s, slot);
  return s;  // never used before: the arena's pages read as zero
}

void LockedPagePool::Release(void* block, size_t size) {
  if (block == nullptr) return;
  const int c = ClassOf(size);
  if (c >= 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (InArena(block)) {
      FreeSlot* s = static_cast<FreeSlot*>(block);
      s->next = classes_[c].free;
      classes_[c].free = s;
      OSTRAK_POISON(s, kSmallestSlot << c);
      return;
    }
  }
  if (c >= 0) {
    std::free(block);  // came from the heap when no arena could be locked
  } else {
    Disown(block, size);
  }
}

}  // namespace ostrak

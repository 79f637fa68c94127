// The test memory manager: a toolkit memory manager over the C heap that
// counts the blocks it has out, refuses allocations on demand, looks at every
// block given back to tell whether it was wiped, and notes the sizes it was
// asked for. Tests use it to show that a failed construction leaves nothing
// behind, that secrets are wiped before release, and that a parser refuses a
// length before allocating it.
//
// Ownership: Make() builds a QOXMemoryMgr whose custom value is this record;
// the record must outlive that manager (a context frees its manager with
// itself, so keep the record alive until the context is freed).
//
// Thread safety: every call may come from any thread. The counters are
// atomic; the per-block notes and the reallocation sizes sit under mu_.
#ifndef OSTRAK_TESTS_COMMON_COUNTING_MEMORY_MGR_H_
#define OSTRAK_TESTS_COMMON_COUNTING_MEMORY_MGR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "foundation/memory_mgr.h"

namespace ostrak_test {

class CountingMemoryMgr {
 public:
  CountingMemoryMgr() = default;
  CountingMemoryMgr(const CountingMemoryMgr&) = delete;
  CountingMemoryMgr& operator=(const CountingMemoryMgr&) = delete;

  // A new toolkit manager that allocates through this record, or null.
  QOXMemoryMgr* Make();

  // --- Counting ---
  // Blocks handed out and not yet given back. The manager object itself is
  // a plain block.
  long live() const { return livePlain() + liveSecure(); }
  long livePlain() const { return livePlain_.load(); }
  long liveSecure() const { return liveSecure_.load(); }

  // --- Failing on demand ---
  // Lets n more allocations (plain, secure or reallocation) succeed and
  // refuses every one after; -1 lifts the limit.
  void FailAfter(long n) { budget_.store(n); }
  // Refuses plain and secure allocations of more than n bytes; SIZE_MAX
  // (the start) refuses none.
  void RefuseAbove(size_t n) { refuseAbove_.store(n); }
  size_t refuseAbove() const { return refuseAbove_.load(); }

  // --- Wipe checks ---
  // Blocks given back (the manager object not counted); a block is dirty
  // when its data, the bytes after the block header, are not all zero.
  long freed() const { return freed_.load(); }
  long dirtyFreed() const { return dirtyFreed_.load(); }
  long secureFreed() const { return secureFreed_.load(); }
  long dirtySecureFreed() const { return dirtySecureFreed_.load(); }
  // Whether the block whose data began at `data` has been given back, and
  // whether it was all zeros the last time it was (false when never).
  bool WasFreed(const void* data) const;
  bool FreedWiped(const void* data) const;
  // Clears the four counts above and the notes of WasFreed and FreedWiped.
  void ResetReleases();

  // --- Request sizes ---
  // The largest plain or secure allocation asked for since the last reset.
  size_t largestRequest() const { return largestRequest_.load(); }
  void ResetLargestRequest() { largestRequest_.store(0); }
  // While on, the sizes asked of reallocation (refused ones too) are kept.
  void NoteReallocSizes(bool on);
  std::vector<size_t> reallocSizes() const;
  void ClearReallocSizes();

 private:
  static void* Alloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, size_t size, uint32_t flags);
  static QOXError Realloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void** block, size_t newSize,
                          uint32_t flags, size_t oldSize);
  static QOXError Dealloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void* block, size_t size);
  static void* SecureAlloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, size_t size, uint32_t flags,
                           bool* isLocked);
  static QOXError SecureDealloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void* block, size_t size,
                                bool wasLocked);

  // One allocation from the budget; false when it is spent.
  bool Take();
  void* Allocate(size_t size);
  // Counts and notes one block given back through a manager.
  void Inspect(const void* block, size_t size, bool secure);

  std::atomic<long> livePlain_{0};
  std::atomic<long> liveSecure_{0};
  std::atomic<long> budget_{-1};
  std::atomic<size_t> refuseAbove_{SIZE_MAX};
  std::atomic<long> freed_{0};
  std::atomic<long> dirtyFreed_{0};
  std::atomic<long> secureFreed_{0};
  std::atomic<long> dirtySecureFreed_{0};
  std::atomic<size_t> largestRequest_{0};
  std::atomic<bool> noteReallocSizes_{false};

  mutable std::mutex mu_;
  std::map<const void*, bool> wiped_;  // data address -> all zero when given back; mu_
  std::vector<size_t> reallocSizes_;   // mu_
};

}  // namespace ostrak_test

#endif  // OSTRAK_TESTS_COMMON_COUNTING_MEMORY_MGR_H_

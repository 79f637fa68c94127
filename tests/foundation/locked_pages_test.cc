// The locked-page pool: slots of every class come zeroed, aligned, apart
// and locked, and are reused; a freed block never unlocks the pages of a
// block still alive (the kernel's own account, /proc/self/smaps, is the
// oracle); large blocks get pages of their own that go away with them.
#include "foundation/locked_pages.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/memory_mgr.h"

namespace {

// The kB the kernel reports locked for the mapping holding the address, or
// -1 when no mapping holds it.
long LockedKiB(const void* address) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> begin >> dash >> end && dash == '-' && line.find(':') > line.find(' ')) {
      inside = at >= begin && at < end;
      continue;
    }
    if (inside && line.rfind("Locked:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}

bool Mapped(const void* address) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  unsigned char resident = 0;
  return mincore(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) / page * page), 1, &resident) == 0;
}

// Whether this process may lock a whole arena (root, or a large enough limit).
bool CanLockArena() {
  void* p = mmap(nullptr, ostrak::LockedPagePool::kArenaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  const bool ok = mlock(p, ostrak::LockedPagePool::kArenaSize) == 0;
  munmap(p, ostrak::LockedPagePool::kArenaSize);
  return ok;
}

// AddressSanitizer answers lock calls without locking anything: the
// kernel's account can be read only without it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKernelLocks = false;
#else
constexpr bool kKernelLocks = true;
#endif

struct Block {
  unsigned char* p;
  size_t size;
};

TEST(LockedPagePool, SlotsAreZeroedAlignedApartAndReused) {
  if (!CanLockArena()) GTEST_SKIP() << "this process may not lock 64 KiB";
  ostrak::LockedPagePool pool;
  std::vector<Block> blocks;
  const size_t sizes[] = {0, 1, 16, 31, 32, 33, 100, 256, 500, 1024, 2000, 4095, 4096};
  for (int round = 0; round < 3; ++round) {
    for (size_t size : sizes) {
      bool locked = false;
      auto* p = static_cast<unsigned char*>(pool.Allocate(size, &locked));
      ASSERT_NE(p, nullptr) << size;
      EXPECT_TRUE(locked) << size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
      EXPECT_TRUE(std::all_of(p, p + size, [](unsigned char b) { return b == 0; })) << size;
      std::memset(p, 0xA0 + static_cast<int>(blocks.size() % 16), size);
      blocks.push_back({p, size});
    }
  }
  // Every block kept its own bytes: none overlaps another.
  for (size_t i = 0; i < blocks.size(); ++i) {
    const unsigned char fill = static_cast<unsigned char>(0xA0 + i % 16);
    EXPECT_TRUE(std::all_of(blocks[i].p, blocks[i].p + blocks[i].size, [&](unsigned char b) { return b == fill; }))
        << "block " << i;
  }
  // A freed slot is handed out again, zeroed, to a block of its class.
  Block freed = blocks[7];  // 256 bytes
  pool.Release(freed.p, freed.size);
  bool locked = false;
  auto* again = static_cast<unsigned char*>(pool.Allocate(200, &locked));
  EXPECT_EQ(again, freed.p);
  EXPECT_TRUE(locked);
  EXPECT_TRUE(std::all_of(again, again + 200, [](unsigned char b) { return b == 0; }));
  blocks[7].p = again;
  blocks[7].size = 200;
  for (const Block& b : blocks) pool.Release(b.p, b.size);
}

TEST(LockedPagePool, FreeingABlockLeavesItsNeighboursLocked) {
  if (!CanLockArena()) GTEST_SKIP() << "this process may not lock 64 KiB";
  ostrak::LockedPagePool pool;
  bool locked = false;
  void* a = pool.Allocate(64, &locked);
  void* b = pool.Allocate(64, &locked);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(a) / 4096, reinterpret_cast<uintptr_t>(b) / 4096);  // one page
  pool.Release(a, 64);
  if (kKernelLocks) {
    EXPECT_GE(LockedKiB(b), 4);
  }
  pool.Release(b, 64);
}

TEST(LockedPagePool, LargeBlocksHaveTheirOwnLockedPages) {
  ostrak::LockedPagePool pool;
  for (size_t size : {size_t{4097}, size_t{70000}}) {
    bool locked = false;
    auto* p = static_cast<unsigned char*>(pool.Allocate(size, &locked));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(std::all_of(p, p + size, [](unsigned char b) { return b == 0; }));
    std::memset(p, 0x5C, size);
    if (locked && kKernelLocks) {
      EXPECT_GE(LockedKiB(p), static_cast<long>(size / 1024));
    }
    pool.Release(p, size);
    EXPECT_FALSE(Mapped(p)) << size;
  }
}

// Through the standard manager: a secure block reports locked pages, and
// freeing or moving another secure block leaves them locked.
TEST(LockedPagePool, StandardManagerKeepsLiveSecureBlocksLocked) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "secure blocks come from the heap under AddressSanitizer";
#endif
  if (!CanLockArena()) GTEST_SKIP() << "this process may not lock 64 KiB";
  QOXMemoryMgr* mgr = nullptr;
  ASSERT_EQ(QOXNewMemoryMgr(0, &mgr), kQOXErrNoErr);
  void* keep = QOXNewSecureData(mgr, 40, 0);
  void* gone = QOXNewSecureData(mgr, 40, 0);
  void* moved = QOXNewSecureData(mgr, 40, 0);
  ASSERT_NE(keep, nullptr);
  ASSERT_NE(gone, nullptr);
  ASSERT_NE(moved, nullptr);
  std::memset(keep, 0x77, 40);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(keep), kQOXMemoryMgrBlockInfo_Valid | kQOXMemoryMgrBlockInfo_Secure |
                                               kQOXMemoryMgrBlockInfo_Locked);
  EXPECT_EQ(QOXFreeData(gone), kQOXErrNoErr);
  ASSERT_EQ(QOXReallocData(mgr, &moved, 3000, 0), kQOXErrNoErr);
  EXPECT_GE(LockedKiB(keep), 4);
  const unsigned char* k = static_cast<const unsigned char*>(keep);
  EXPECT_TRUE(std::all_of(k, k + 40, [](unsigned char b) { return b == 0x77; }));
  EXPECT_EQ(QOXFreeData(moved), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeData(keep), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeMemoryMgr(mgr), kQOXErrNoErr);
}

// A child process inherits the pages but not their locks: the pool locks
// its arenas again in the child.
TEST(LockedPagePool, ChildProcessLocksTheArenasAgain) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "secure blocks come from the heap under AddressSanitizer";
#endif
  if (!CanLockArena()) GTEST_SKIP() << "this process may not lock 64 KiB";
  QOXMemoryMgr* mgr = nullptr;
  ASSERT_EQ(QOXNewMemoryMgr(0, &mgr), kQOXErrNoErr);
  void* secret = QOXNewSecureData(mgr, 100, 0);
  ASSERT_NE(secret, nullptr);
  ASSERT_GE(LockedKiB(secret), 4);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(LockedKiB(secret) >= 4 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's copy of the page is not locked";
  EXPECT_EQ(QOXFreeData(secret), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeMemoryMgr(mgr), kQOXErrNoErr);
}

}  // namespace

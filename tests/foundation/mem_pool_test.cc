// The arena pool: chunk sizes, alignment, marks and cut-back, emptying, the
// wiping of returned chunks, failure and purge, and the memory-manager
// wrapper.
#include "foundation/mem_pool.h"

#include <gtest/gtest.h>

#include <cstring>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

class MemPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
    // The context's memory manager counts chunk releases, tells whether
    // each came back wiped, and can refuse large allocations.
    QOXMemoryMgr* mgr = tracker_.Make();
    ASSERT_NE(mgr, nullptr);
    QOXNewContextStruct ctxRec{kQOXAPIVersion, mgr, 0};
    ASSERT_EQ(QOXNewContextCustom(&ctxRec, &context_), kQOXErrNoErr);
    memPoolInit(context_, &pool_);
    tracker_.ResetReleases();
  }
  void TearDown() override {
    memPoolEmpty(&pool_);
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  size_t Offset(const void* block) const {
    return static_cast<size_t>(static_cast<const uint8_t*>(block) -
                               reinterpret_cast<const uint8_t*>(pool_.head));
  }
  ostrak_test::CountingMemoryMgr tracker_;
  QOXContext* context_ = nullptr;
  MemPool pool_{};
};

TEST_F(MemPoolTest, ChunksGrowOnlyAsFarAsOneRequestNeeds) {
  EXPECT_EQ(pool_.chunkSize, 4096u);
  void* big = memPoolAlloc(&pool_, 5000, 1);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(pool_.total, 8192u);
  EXPECT_EQ(pool_.left, 8192u - 16 - 5000);
  const MemPoolChunk* chunk = pool_.head;
  void* small = memPoolAlloc(&pool_, 100, 1);
  EXPECT_EQ(small, static_cast<uint8_t*>(big) + 5000);
  EXPECT_EQ(pool_.head, chunk);
  EXPECT_EQ(pool_.total, 8192u);

  // A request that does not fit the rest opens a base-size chunk; the old
  // tail is abandoned.
  void* next = memPoolAlloc(&pool_, 3100, 1);
  ASSERT_NE(next, nullptr);
  EXPECT_NE(pool_.head, chunk);
  EXPECT_EQ(pool_.total, 8192u + 4096u);
  EXPECT_EQ(pool_.chunkSize, 4096u);
}

TEST_F(MemPoolTest, BlocksAreAlignedFromTheChunkStart) {
  struct Case {
    size_t alignment;
    size_t firstOffset;  // on a new chunk: the 16-byte header rounded up
  } const cases[] = {{1, 16}, {4, 16}, {16, 16}, {32, 32}, {3, 18}, {0, 16}};
  for (const Case& c : cases) {
    memPoolEmpty(&pool_);
    void* a = memPoolAlloc(&pool_, 5, c.alignment);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Offset(a), c.firstOffset) << c.alignment;
    void* b = memPoolAlloc(&pool_, 7, c.alignment);
    size_t align = c.alignment == 0 ? 1 : c.alignment;
    EXPECT_EQ(Offset(b) % align, 0u) << c.alignment;
    EXPECT_GE(Offset(b), c.firstOffset + 5);
    EXPECT_LT(Offset(b), c.firstOffset + 5 + align);
  }
}

TEST_F(MemPoolTest, CutBackFreesNewerChunksWipedAndRestoresTheMark) {
  ASSERT_NE(memPoolAlloc(&pool_, 100, 8), nullptr);
  MemPool mark = pool_;
  // Fill what follows the mark with non-zero bytes: three more chunks and
  // some of the marked chunk's tail.
  void* afterMark = memPoolAlloc(&pool_, 200, 8);
  std::memset(afterMark, 0xEE, 200);
  for (int i = 0; i < 3; ++i) std::memset(memPoolAlloc(&pool_, 4000, 8), 0xEE, 4000);
  EXPECT_EQ(pool_.total, mark.total + 3 * 4096);

  memPoolCutBack(&pool_, &mark);
  EXPECT_EQ(tracker_.freed() - tracker_.dirtyFreed(), 3);
  EXPECT_EQ(tracker_.dirtyFreed(), 0);
  EXPECT_EQ(pool_.head, mark.head);
  EXPECT_EQ(pool_.free, mark.free);
  EXPECT_EQ(pool_.left, mark.left);
  EXPECT_EQ(pool_.total, mark.total);
  // The marked chunk's space handed out after the mark is free again, and
  // its old contents are gone.
  const uint8_t* again = static_cast<const uint8_t*>(memPoolAlloc(&pool_, 200, 8));
  EXPECT_EQ(again, afterMark);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(again[i], 0);

  // A mark whose chunk is gone is ignored rather than restored.
  MemPool inner = pool_;
  memPoolAlloc(&pool_, 5000, 8);
  MemPool stale = pool_;
  memPoolCutBack(&pool_, &inner);
  memPoolCutBack(&pool_, &stale);
  EXPECT_EQ(pool_.head, inner.head);
}

TEST_F(MemPoolTest, EmptyWipesAndFreesEveryChunk) {
  for (int i = 0; i < 4; ++i) std::memset(memPoolAlloc(&pool_, 3000, 4), 0x77, 3000);
  memPoolEmpty(&pool_);
  EXPECT_EQ(tracker_.freed() - tracker_.dirtyFreed(), 4);
  EXPECT_EQ(tracker_.dirtyFreed(), 0);
  EXPECT_EQ(pool_.head, nullptr);
  EXPECT_EQ(pool_.left, 0u);
  EXPECT_EQ(pool_.total, 0u);
  EXPECT_NE(memPoolAlloc(&pool_, 10, 4), nullptr);  // usable again
}

int gPurgeCalls = 0;
int PurgeOnce(void* arg, size_t) {
  ++gPurgeCalls;
  auto* t = static_cast<ostrak_test::CountingMemoryMgr*>(arg);
  if (t->refuseAbove() == SIZE_MAX) return 0;
  t->RefuseAbove(SIZE_MAX);  // "freed memory elsewhere"
  return 1;
}

TEST_F(MemPoolTest, FailureHalvesTowardsTheNeedThenGivesUp) {
  // 8192 is refused, the exact need (5000 + 16-byte chunk header) is not.
  tracker_.RefuseAbove(6000 + kQOXBlockHeaderSize);
  void* p = memPoolAlloc(&pool_, 5000, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(pool_.total, 5016u);
  EXPECT_EQ(pool_.left, 0u);

  tracker_.RefuseAbove(100);
  MemPool before = pool_;
  EXPECT_EQ(memPoolAlloc(&pool_, 500, 1), nullptr);
  EXPECT_EQ(std::memcmp(&before, &pool_, sizeof pool_), 0) << "a failure leaves the pool as it was";

  gPurgeCalls = 0;
  memPoolSetPurge(&pool_, PurgeOnce, &tracker_);
  EXPECT_NE(memPoolAlloc(&pool_, 500, 1), nullptr);
  EXPECT_EQ(gPurgeCalls, 1);
  EXPECT_EQ(pool_.total, 5016u + 4096u) << "the retry asks for the same size";
}

TEST_F(MemPoolTest, MemoryManagerOverThePool) {
  QOXMemoryMgr* mgr = qoxMemPoolMemoryMgr(&pool_);
  ASSERT_NE(mgr, nullptr);
  size_t total = pool_.total;

  char* p = static_cast<char*>(QOXNewData(mgr, 40, kQOXMemoryMgrFlags_Clear));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  std::memcpy(p, "pool block", 11);
  void* v = p;
  ASSERT_EQ(QOXReallocData(mgr, &v, 20, 0), kQOXErrNoErr);
  EXPECT_EQ(v, p) << "shrinking keeps the block";
  ASSERT_EQ(QOXReallocData(mgr, &v, 400, 0), kQOXErrNoErr);
  EXPECT_NE(v, p);
  EXPECT_STREQ(static_cast<char*>(v), "pool block");
  EXPECT_EQ(QOXFreeData(v), kQOXErrNoErr);

  void* s = QOXNewSecureData(mgr, 32, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(s), 3u) << "secure, never locked";
  std::memset(s, 0x99, 32);
  EXPECT_EQ(QOXFreeData(s), kQOXErrNoErr);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(static_cast<uint8_t*>(s)[i], 0) << "wiped on free";

  EXPECT_EQ(QOXFreeMemoryMgr(mgr), kQOXErrNoErr);
  EXPECT_EQ(tracker_.freed(), 0) << "nothing left the pool";
  EXPECT_EQ(pool_.total, total);
}

}  // namespace

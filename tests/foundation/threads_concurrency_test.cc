// The lock wrappers and the default-manager list under real threads (this
// file also runs under ThreadSanitizer).
#include <errno.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "foundation/memory_mgr.h"
#include "foundation/threads.h"

namespace {

struct Counter {
  QOXMutex mutex;
  long value = 0;  // guarded by mutex
};

TEST(ThreadWrappers, MutexSerialisesIncrements) {
  Counter c;
  ASSERT_EQ(QOXMutexCreate(&c.mutex, nullptr), 0);
  constexpr int kThreads = 8;
  QOXThread threads[kThreads];
  for (QOXThread& t : threads) {
    ASSERT_EQ(QOXThreadCreate(&t, nullptr,
                              [](void* arg) -> void* {
                                auto* c = static_cast<Counter*>(arg);
                                for (int i = 0; i < 20000; ++i) {
                                  QOXMutexLock(&c->mutex);
                                  c->value++;
                                  QOXMutexUnlock(&c->mutex);
                                }
                                return arg;
                              },
                              &c),
              0);
  }
  for (QOXThread t : threads) {
    void* status = nullptr;
    QOXThreadJoin(t, &status);
    EXPECT_EQ(status, &c);
  }
  EXPECT_EQ(c.value, kThreads * 20000L);
  EXPECT_EQ(QOXMutexDestroy(&c.mutex), 0);
  int bogus = 99;
  QOXMutex m;
  EXPECT_NE(QOXMutexCreate(&m, &bogus), 0);
}

TEST(ThreadWrappers, TryLockSeesAnotherThreadsHold) {
  static QOXMutex m = QOX_MUTEX_INITIALIZER;
  ASSERT_EQ(QOXMutexLock(&m), 0);
  QOXThread t;
  ASSERT_EQ(QOXThreadCreate(&t, nullptr,
                            [](void*) -> void* {
                              return reinterpret_cast<void*>(
                                  static_cast<intptr_t>(QOXMutexTryLock(&m)));
                            },
                            nullptr),
            0);
  void* status = nullptr;
  QOXThreadJoin(t, &status);
  EXPECT_EQ(reinterpret_cast<intptr_t>(status), EBUSY);
  QOXMutexUnlock(&m);
  EXPECT_EQ(QOXMutexTryLock(&m), 0);
  QOXMutexUnlock(&m);
}

struct Queue {
  QOXMutex mutex = QOX_MUTEX_INITIALIZER;
  QOXCond ready = QOX_COND_INITIALIZER;
  std::vector<int> items;  // guarded by mutex
  bool done = false;       // guarded by mutex
};

TEST(ThreadWrappers, ConditionHandsItemsOver) {
  Queue q;
  ASSERT_EQ(QOXCondCreate(&q.ready, nullptr), 0);
  QOXThread consumer;
  static std::atomic<long> sum{0};
  sum = 0;
  ASSERT_EQ(QOXThreadCreate(&consumer, nullptr,
                            [](void* arg) -> void* {
                              auto* q = static_cast<Queue*>(arg);
                              QOXMutexLock(&q->mutex);
                              for (;;) {
                                while (q->items.empty() && !q->done) {
                                  QOXCondWait(&q->ready, &q->mutex);
                                }
                                if (q->items.empty()) break;
                                sum += q->items.back();
                                q->items.pop_back();
                              }
                              QOXMutexUnlock(&q->mutex);
                              return nullptr;
                            },
                            &q),
            0);
  for (int i = 1; i <= 1000; ++i) {
    QOXMutexLock(&q.mutex);
    q.items.push_back(i);
    QOXCondSignal(&q.ready);
    QOXMutexUnlock(&q.mutex);
  }
  QOXMutexLock(&q.mutex);
  q.done = true;
  QOXCondBroadcast(&q.ready);
  QOXMutexUnlock(&q.mutex);
  QOXThreadJoin(consumer, nullptr);
  EXPECT_EQ(sum.load(), 1000L * 1001 / 2);
  EXPECT_EQ(QOXCondDestroy(&q.ready), 0);
}

struct Pair {
  QOXRMWOLock lock;
  long a = 0;  // guarded by lock; always equal to b outside the write lock
  long b = 0;
  std::atomic<int> torn{0};
};

TEST(ThreadWrappers, ReadersNeverSeeAHalfWrite) {
  Pair p;
  InitializeQOXRMWOLock(&p.lock);
  auto writer = [](void* arg) -> void* {
    auto* p = static_cast<Pair*>(arg);
    for (int i = 0; i < 1000; ++i) {
      QOXRMWOLockStartWriting(&p->lock);
      p->a++;
      QOXThreadYield();
      p->b++;
      QOXRMWOLockStopWriting(&p->lock);
    }
    return nullptr;
  };
  auto reader = [](void* arg) -> void* {
    auto* p = static_cast<Pair*>(arg);
    for (int i = 0; i < 1000; ++i) {
      QOXRMWOLockStartReading(&p->lock);
      if (p->a != p->b) p->torn++;
      QOXRMWOLockStopReading(&p->lock);
    }
    return nullptr;
  };
  std::vector<QOXThread> threads(6);
  for (size_t i = 0; i < threads.size(); ++i) {
    ASSERT_EQ(QOXThreadCreate(&threads[i], nullptr, i < 2 ? +writer : +reader, &p), 0);
  }
  for (QOXThread t : threads) QOXThreadJoin(t, nullptr);
  EXPECT_EQ(p.torn.load(), 0);
  EXPECT_EQ(p.a, 2000);
  DeleteQOXRMWOLock(&p.lock);
}

TEST(ThreadWrappers, DetachedThreadsAndThreadSpecificData) {
  QOXThreadAttr attr;
  ASSERT_EQ(QOXThreadAttrCreate(&attr), 0);
  EXPECT_EQ(attr, 0u);
  ASSERT_EQ(QOXThreadAttrSetDetachState(&attr, kQOXThreadDetached), 0);
  QOXThreadAttr state = 0;
  QOXThreadAttrGetDetachState(&attr, &state);
  EXPECT_EQ(state, kQOXThreadDetached);

  static QOXThreadKey key;
  static QOXMutex doneMutex = QOX_MUTEX_INITIALIZER;
  static QOXCond doneCond = QOX_COND_INITIALIZER;
  static int finished = 0;  // guarded by doneMutex
  ASSERT_EQ(QOXThreadKeyCreate(&key, nullptr), 0);
  static int values[4] = {1, 2, 3, 4};
  for (int& v : values) {
    QOXThread t;
    ASSERT_EQ(QOXThreadCreate(&t, &attr,
                              [](void* arg) -> void* {
                                QOXThreadSetSpecific(key, arg);
                                void* mine = nullptr;
                                QOXThreadGetSpecific(key, &mine);
                                QOXMutexLock(&doneMutex);
                                if (mine == arg) finished++;
                                QOXCondSignal(&doneCond);
                                QOXMutexUnlock(&doneMutex);
                                QOXThreadExit();
                              },
                              &v),
              0);
  }
  QOXMutexLock(&doneMutex);
  while (finished < 4) QOXCondWait(&doneCond, &doneMutex);
  QOXMutexUnlock(&doneMutex);
  void* none = &key;
  QOXThreadGetSpecific(key, &none);
  EXPECT_EQ(none, nullptr) << "values are per thread";
  EXPECT_EQ(QOXThreadKeyDelete(key), 0);
  QOXThreadAttrDestroy(&attr);
}

TEST(DefaultMemoryMgrList, ConcurrentSetAndGet) {
  constexpr int kThreads = 6;
  static QOXMemoryMgr* mgrs[kThreads];
  for (QOXMemoryMgr*& m : mgrs) ASSERT_EQ(QOXNewMemoryMgr(0, &m), kQOXErrNoErr);
  static std::atomic<int> stray{0};
  QOXThread threads[kThreads];
  static std::atomic<int> next{0};
  for (QOXThread& t : threads) {
    ASSERT_EQ(QOXThreadCreate(&t, nullptr,
                              [](void*) -> void* {
                                QOXMemoryMgr* mine = mgrs[next++];
                                for (int i = 0; i < 2000; ++i) {
                                  if (i % 3 == 0) QOXSetDefaultMemoryMgr(mine);
                                  QOXMemoryMgr* seen = QOXGetDefaultMemoryMgr();
                                  bool known = seen == nullptr;
                                  for (QOXMemoryMgr* m : mgrs) known = known || seen == m;
                                  if (!known) stray++;
                                  // Blocks of the default manager work while others set it.
                                  if (seen != nullptr) QOXFreeData(QOXNewData(seen, 32, 0));
                                }
                                return nullptr;
                              },
                              nullptr),
              0);
  }
  for (QOXThread t : threads) QOXThreadJoin(t, nullptr);
  EXPECT_EQ(stray.load(), 0);
  QOXMemoryMgr* last = QOXGetDefaultMemoryMgr();
  bool known = false;
  for (QOXMemoryMgr* m : mgrs) known = known || last == m;
  EXPECT_TRUE(known);
  // Frees every listed manager (each was set at least once).
  qoxFreeDefaultMemoryMgrList();
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), nullptr);
}

}  // namespace

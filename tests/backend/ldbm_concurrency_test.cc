// Threads against the storage layer: concurrent inserts under one key lose
// no ID, concurrent openers share tables, and the entry cache keeps its
// holders safe while the idle repair walk runs.
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "backend/entry_cache.h"
#include "backend/idl.h"
#include "backend/index.h"
#include "backend/attr_index.h"
#include "ldbm_test_support.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "tests/common/blocked_wait.h"

namespace {

TEST(IdlConcurrency, InsertsUnderOneKeyLoseNoId) {
  TempBackend t;
  DbCacheSlot* slot = ldbm_cache_open(t.be(), "id2children", ".dbb", DB_CREATE);
  ASSERT_NE(slot, nullptr);
  slot->maxids = 16;  // many splits and moved blocks
  slot->maxindirect = 1000;
  constexpr int kThreads = 8;
  constexpr ID kPerThread = 150;
  const std::string key = "=1";
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      // Interleaved IDs, inserted from the top down so first IDs move too.
      for (ID n = kPerThread; n >= 1; --n) {
        (void)idl_insert_key(t.be(), slot, ldbm_datum_of(key.c_str(), 3), (n - 1) * kThreads + static_cast<ID>(i) + 1);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  IdList* all = idl_fetch(t.be(), slot, ldbm_datum_of(key.c_str(), 3));
  ASSERT_NE(all, nullptr);
  ASSERT_EQ(all->b_nids, kThreads * kPerThread);
  for (ID i = 0; i < all->b_nids; ++i) ASSERT_EQ(all->b_ids[i], i + 1);
  idl_free(all);
  ldbm_cache_close(t.be(), slot);
}

TEST(IdlConcurrency, IndexingManyEntriesUnderOneValue) {
  TempBackend t;
  constexpr int kThreads = 6;
  constexpr ID kPerThread = 200;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::string value = "person";
      BerValue v{static_cast<uint32_t>(value.size()), value.data()};
      BerValue* values[] = {&v, nullptr};
      for (ID n = 0; n < kPerThread; ++n) {
        ASSERT_EQ(index_add_values(t.be(), "objectclass", values, n * kThreads + static_cast<ID>(i) + 1), 0);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  char type[] = "objectclass";
  IdList* ids = index_read(t.be(), type, kIndexEquality, "PERSON");
  ASSERT_NE(ids, nullptr);
  EXPECT_EQ(ids->b_nids, kThreads * kPerThread);
  idl_free(ids);
}

TEST(DbCacheConcurrency, OpenersShareAndEvictWithoutDoubleHandles) {
  TempBackend t;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 60; ++n) {
        std::string table = "t" + std::to_string((n * 7 + i) % 25);
        DbCacheSlot* s = ldbm_cache_open(t.be(), table.c_str(), ".dbb", DB_CREATE);
        if (s == nullptr) {
          ++failures;
          continue;
        }
        uint8_t v = static_cast<uint8_t>(i);
        if (ldbm_cache_store(s, ldbm_datum_of("k\0", 2), ldbm_datum_of(&v, 1), 0) != 0) ++failures;
        Datum d = ldbm_cache_fetch(s, ldbm_datum_of("k\0", 2));
        if (d.data == nullptr) ++failures;
        ldbm_datum_free(s->dbp, d);
        ldbm_cache_close(t.be(), s);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> names;
  int open = 0;
  for (int i = 0; i < t.li()->dbCacheCount; ++i) {
    if (t.li()->dbCache[i]->name == nullptr) continue;
    ++open;
    names.insert(t.li()->dbCache[i]->name);
    EXPECT_EQ(t.li()->dbCache[i]->refcnt, 0);
  }
  EXPECT_EQ(static_cast<int>(names.size()), open);
}

// Only when every one of the most slots is held does an opener wait, and a
// holder giving one back lets it through.
TEST(DbCacheConcurrency, OpenerWaitsOnlyWhenEverySlotIsHeld) {
  TempBackend t;
  std::vector<DbCacheSlot*> held;
  for (int i = 0; i < kDbCacheSlotsMax; ++i) {
    DbCacheSlot* s = ldbm_cache_open(t.be(), ("h" + std::to_string(i)).c_str(), ".dbb", DB_CREATE);
    ASSERT_NE(s, nullptr) << i;
    held.push_back(s);
  }
  std::atomic<DbCacheSlot*> got{nullptr};
  std::atomic<pid_t> openerID{0};
  std::thread opener([&] {
    openerID = ostrak_test::ThreadID();
    got = ldbm_cache_open(t.be(), "late", ".dbb", DB_CREATE);
  });
  // The opener must be waiting (blocked on the cache's condition) before a
  // slot is given back, or the test would pass without any wait.
  while (openerID.load() == 0) std::this_thread::yield();
  ASSERT_TRUE(ostrak_test::WaitUntilBlockedIn("/proc/self/task/" + std::to_string(openerID.load()), {SYS_futex},
                                              std::chrono::seconds(10)))
      << "the opener never waited";
  EXPECT_EQ(got.load(), nullptr);  // still waiting
  ldbm_cache_close(t.be(), held[17]);
  opener.join();
  ASSERT_NE(got.load(), nullptr);
  EXPECT_EQ(got.load(), held[17]);  // the slot given back, reused
  EXPECT_EQ(std::string(got.load()->name), t.path("late.dbb"));
  held[17] = got.load();
  for (DbCacheSlot* s : held) ldbm_cache_close(t.be(), s);
}

class CacheWithServer : public ::testing::Test {
 protected:
  void SetUp() override {
    QOXMutexCreate(&state_.mutexOpsRunning, nullptr);
    QOXMutexCreate(&state_.mutexCurrentTime, nullptr);
    saved_ = g;
    g = &state_;
    ErrorLogInit("test", kLogError, 0, 1, nullptr);  // the walk's reports are verbose
  }
  void TearDown() override {
    g = saved_;
    QOXMutexDestroy(&state_.mutexOpsRunning);
    QOXMutexDestroy(&state_.mutexCurrentTime);
  }
  void Operation(int delta) {
    QOXMutexGuard guard(&state_.mutexOpsRunning);
    state_.operationsRunning += delta;
  }
  ServerState state_{};
  ServerState* saved_ = nullptr;
};

TEST_F(CacheWithServer, RepairWalkNeverResetsAHolderDuringOperations) {
  TempBackend t;
  EntryCache* c = &t.li()->entryCache;
  c->maxSize = 8;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 6; ++i) {
    workers.emplace_back([&, i] {
      for (int n = 0; n < 400; ++n) {
        ID id = static_cast<ID>((n * 5 + i) % 20 + 1);
        Operation(1);
        Entry* e = cache_find_entry_id(c, id);
        if (e == nullptr) {
          std::string text = "dn: cn=e" + std::to_string(id) + "\ncn: x\n";
          e = str2entry(text.data());
          e->e_id = id;
          if (cache_add_entry_lock(c, e, kEntryReady) != 0) {
            entry_free(e);
            e = cache_find_entry_id(c, id);
          }
        }
        if (e != nullptr) {
          // The entry is ours to read until it is given back.
          if (e->e_id != id || e->e_refcnt < 1) ++bad;
          if (n % 50 == 0) cache_delete_entry(c, e);
          cache_return_entry(c, e);
        }
        Operation(-1);
      }
    });
  }
  std::thread walker([&] {
    while (!stop) cache_reset_refcounts(t.be());
  });
  for (std::thread& w : workers) w.join();
  stop = true;
  walker.join();
  EXPECT_EQ(bad.load(), 0);
  for (Entry* e = c->lruHead; e != nullptr; e = e->e_lrunext) EXPECT_EQ(e->e_refcnt, 0) << e->e_dn;
  EXPECT_LE(c->curSize, c->maxSize);

  // A leaked holder outside any operation is repaired by the walk, but not
  // while an operation is in progress.
  Entry* leaked = cache_find_entry_id(c, c->lruHead->e_id);
  ASSERT_NE(leaked, nullptr);
  Operation(1);
  cache_reset_refcounts(t.be());
  EXPECT_EQ(leaked->e_refcnt, 1);
  Operation(-1);
  cache_reset_refcounts(t.be());
  EXPECT_EQ(leaked->e_refcnt, 0);
}

}  // namespace

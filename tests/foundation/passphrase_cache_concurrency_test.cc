// The passphrase cache's one mutex under threads: every thread works on its
// own context while all of them also store, hit, expire and purge in one
// shared context, and a clock thread moves time on. Run under
// ThreadSanitizer, this shows the cache's shared state is only touched
// under the mutex; the results show no entry is lost or mixed up between
// contexts. The keys are the locked DSA pair, one per thread and context.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk_errors.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using toolkit_doubles::CountingContext;
using toolkit_doubles::LockedDSAKey;

std::atomic<QOXTime> gNow{5000};
QOXTime TestClock() { return gNow.load(); }

TEST(PassphraseCacheConcurrencyTest, ContextsSharingTheMutex) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  qoxSetPassphraseCacheClock(TestClock);

  // Contexts are made before any thread starts, as the toolkit requires.
  CountingContext shared;
  std::vector<std::unique_ptr<CountingContext>> own;
  std::vector<std::unique_ptr<LockedDSAKey>> ownKeys, sharedKeys;
  for (int t = 0; t < kThreads; ++t) {
    own.push_back(std::make_unique<CountingContext>());
    ownKeys.push_back(std::make_unique<LockedDSAKey>(own.back()->get(), 0x10, "own secret"));
    sharedKeys.push_back(
        std::make_unique<LockedDSAKey>(shared.get(), static_cast<uint8_t>(0x20 * (t + 1)), "shared"));
  }

  std::atomic<int> ownFailures{0};
  std::atomic<int> unexpected{0};
  std::atomic<bool> stop{false};
  std::thread clock([&] {
    while (!stop) {
      gNow++;
      std::this_thread::yield();
    }
  });

  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      LockedDSAKey& mine = *ownKeys[t];
      LockedDSAKey& common = *sharedKeys[t];
      for (int i = 0; i < kRounds; ++i) {
        // Own context: a long time to live, so every hit must succeed.
        mine.Lock();
        if (qoxSecKeyUnlockWithCache(mine.key(), "own secret", 10, false, 1000000, i % 2 == 0) != 0)
          ownFailures++;
        mine.Lock();
        if (qoxSecKeyUnlockWithCache(mine.key(), nullptr, 0, false, 0, true) != 0) ownFailures++;

        // Shared context: short lives, expiry and purges by everyone.
        common.Lock();
        QOXError e = qoxSecKeyUnlockWithCache(common.key(), "shared", 6, false, 3, t % 2 == 0);
        if (e != kQOXErrNoErr) unexpected++;
        common.Lock();
        e = qoxSecKeyUnlockWithCache(common.key(), nullptr, 0, false, 0, true);
        if (e != kQOXErrNoErr && e != kQOXErrBadPassphrase) unexpected++;
        if (i % 7 == 0) qoxExpirePassphraseCache(shared.get());
        if (i % 50 == 49 && QOXPurgePassphraseCache(shared.get()) != kQOXErrNoErr) unexpected++;
      }
    });
  }
  for (auto& w : workers) w.join();
  stop = true;
  clock.join();

  EXPECT_EQ(ownFailures, 0);
  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(QOXPurgePassphraseCache(shared.get()), kQOXErrNoErr);
  EXPECT_EQ(shared.liveSecure(), 0);
  for (auto& c : own) {
    // One global and one per-connection entry of the one key: repeated
    // stores replaced them rather than adding more.
    EXPECT_EQ(c->liveSecure(), 2);
    EXPECT_EQ(QOXPurgePassphraseCache(c->get()), kQOXErrNoErr);
    EXPECT_EQ(c->liveSecure(), 0);
    EXPECT_EQ(c->unwipedSecure(), 0);
  }
  qoxSetPassphraseCacheClock(nullptr);
}

}  // namespace

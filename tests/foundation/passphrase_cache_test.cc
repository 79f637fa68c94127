// Passphrase cache: unlocking through the cache, time to live on an injected
// clock, renewal on a hit, wrap-around, global and per-connection entries,
// replacement, expiry and purge with wiped secure blocks. The secret keys
// are the locked DSA pair of the engine's tests, with key IDs from the key
// database; a hit is seen as a key unlocked with no passphrase given.
#include "foundation/sdk/passphrase_cache.h"

#include <gtest/gtest.h>

#include <atomic>

#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "tests/common/scoped_services.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using toolkit_doubles::CountingContext;
using toolkit_doubles::FakeSecKey;
using toolkit_doubles::LockedDSAKey;

std::atomic<QOXTime> gNow{1000};
QOXTime TestClock() { return gNow.load(); }

class PassphraseCacheTest : public ::testing::Test {
 protected:
  PassphraseCacheTest() {
    gNow = 1000;
    qoxSetPassphraseCacheClock(TestClock);
  }
  ~PassphraseCacheTest() override { qoxSetPassphraseCacheClock(nullptr); }
  void TearDown() override {
    EXPECT_EQ(QOXPurgePassphraseCache(c()), kQOXErrNoErr);
    EXPECT_EQ(ctx.livePlain(), 0);
    EXPECT_EQ(ctx.liveSecure(), 0);
    EXPECT_EQ(ctx.unwipedSecure(), 0) << "a secure block went back unwiped";
  }
  QOXContext* c() { return ctx.get(); }

  QOXError Unlock(LockedDSAKey& k, const std::string& pass, uint32_t ttl, bool global = true) {
    return qoxSecKeyUnlockWithCache(k.key(), pass.data(), pass.size(), false, ttl, global);
  }
  // Relocks the key and unlocks it with nothing but the cache.
  QOXError FromCache(LockedDSAKey& k) {
    k.Lock();
    return qoxSecKeyUnlockWithCache(k.key(), nullptr, 0, false, 0, true);
  }

  CountingContext ctx;
  LockedDSAKey key{ctx.get(), 0x10, "correct horse"};
};

TEST_F(PassphraseCacheTest, ZeroTimeToLiveUnlocksWithoutCaching) {
  EXPECT_EQ(Unlock(key, "correct horse", 0), kQOXErrNoErr);
  EXPECT_FALSE(key.locked());
  EXPECT_EQ(ctx.liveSecure(), 0);
  EXPECT_EQ(FromCache(key), kQOXErrBadPassphrase);
}

TEST_F(PassphraseCacheTest, WrongPassphraseAndUnlockedKey) {
  EXPECT_EQ(Unlock(key, "wrong", 60), kQOXErrBadPassphrase);
  EXPECT_TRUE(key.locked());
  EXPECT_EQ(ctx.liveSecure(), 0);
  EXPECT_EQ(FromCache(key), kQOXErrBadPassphrase);  // nothing was cached

  EXPECT_EQ(Unlock(key, "correct horse", 0), kQOXErrNoErr);
  // An unlocked key given a passphrase is refused; given none it is fine.
  EXPECT_EQ(Unlock(key, "correct horse", 0), kQOXErrBadPassphrase);
  EXPECT_EQ(qoxSecKeyUnlockWithCache(key.key(), nullptr, 0, false, 0, true), kQOXErrNoErr);
}

TEST_F(PassphraseCacheTest, HitUnlocksWithTheCachedPasskeyAndRenews) {
  ASSERT_EQ(Unlock(key, "correct horse", 60), kQOXErrNoErr);  // expiry 1060
  EXPECT_EQ(ctx.liveSecure(), 1);  // the passkey lives in a secure block

  gNow = 1060;  // not before the expiry: still alive
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);
  EXPECT_FALSE(key.locked()) << "unlocked by the cached passkey alone";

  gNow = 1100;  // past the first expiry, inside the renewed one (1120)
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);

  gNow = 1161;  // renewed to 1160 by the last hit; now dead
  EXPECT_EQ(FromCache(key), kQOXErrBadPassphrase);
  EXPECT_EQ(ctx.liveSecure(), 1);  // dead but not yet removed
  qoxExpirePassphraseCache(c());
  EXPECT_EQ(ctx.liveSecure(), 0);
}

TEST_F(PassphraseCacheTest, TimeToLiveThatWrapsNeverExpires) {
  gNow = 0xFFFFFF00u;
  ASSERT_EQ(Unlock(key, "correct horse", 0x200), kQOXErrNoErr);
  gNow = 0xFFFFFFFFu;
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);
  qoxExpirePassphraseCache(c());
  EXPECT_EQ(ctx.liveSecure(), 1);
}

TEST_F(PassphraseCacheTest, GlobalEntriesServeEveryConnectionPerConnectionOnlyItsOwn) {
  LockedDSAKey other{c(), 0x40, "other pass"};
  qoxContextSetConnectRef(c(), 7);
  ASSERT_EQ(Unlock(key, "correct horse", 60, /*global=*/true), kQOXErrNoErr);
  ASSERT_EQ(Unlock(other, "other pass", 60, /*global=*/false), kQOXErrNoErr);

  qoxContextSetConnectRef(c(), 8);
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);
  EXPECT_EQ(FromCache(other), kQOXErrBadPassphrase);

  qoxContextSetConnectRef(c(), 7);
  EXPECT_EQ(FromCache(other), kQOXErrNoErr);
}

TEST_F(PassphraseCacheTest, StoringAgainKeepsOneEntryWithTheNewerPasskey) {
  ASSERT_EQ(qoxSecKeyCachePassphrase(key.key(), "old guess", 9, false, 60, true), kQOXErrNoErr);
  ASSERT_EQ(qoxSecKeyCachePassphrase(key.key(), "correct horse", 13, false, 60, true), kQOXErrNoErr);
  EXPECT_EQ(ctx.liveSecure(), 1);
  EXPECT_TRUE(key.locked());  // caching alone never unlocks
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);
}

// The new passkey block is made before anything changes: when it (or a new
// entry) cannot be had, the store fails and the cache is as it was.
TEST_F(PassphraseCacheTest, FailedStoreKeepsTheOldEntryAndAddsNone) {
  ASSERT_EQ(Unlock(key, "correct horse", 60), kQOXErrNoErr);
  std::string otherPasskey(key.passkeySize(), 'z');
  ctx.setBudget(0);
  EXPECT_EQ(qoxSecKeyCachePassphrase(key.key(), otherPasskey.data(), otherPasskey.size(), true, 60,
                                     true),
            kQOXErrOutOfMemory);
  LockedDSAKey other{c(), 0x40, "other"};
  ctx.setBudget(1);  // the passkey block, but no entry
  std::string passkey = other.passkey();
  EXPECT_EQ(qoxSecKeyCachePassphrase(other.key(), passkey.data(), passkey.size(), true, 60, true),
            kQOXErrOutOfMemory);
  ctx.setBudget(-1);
  EXPECT_EQ(ctx.liveSecure(), 1);
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);  // still the old, right passkey
  EXPECT_EQ(FromCache(other), kQOXErrBadPassphrase);
}

TEST_F(PassphraseCacheTest, PasskeysAreCachedAsGiven) {
  std::string passkey = key.passkey();
  ASSERT_EQ(qoxSecKeyUnlockWithCache(key.key(), passkey.data(), passkey.size(), true, 60, true),
            kQOXErrNoErr);
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);
  // A zero length caches nothing.
  LockedDSAKey other{c(), 0x40, "x"};
  EXPECT_EQ(qoxSecKeyCachePassphrase(other.key(), nullptr, 0, false, 60, true), kQOXErrNoErr);
  EXPECT_EQ(FromCache(other), kQOXErrBadPassphrase);
}

// A key that unlocks but cannot name its lock (no real key does: a
// stand-in).
TEST_F(PassphraseCacheTest, UnconvertiblePassphraseUnlocksButCachesNothing) {
  FakeSecKey odd{c(), 0x60, "correct horse"};
  odd.failLockingAlgorithm = true;
  EXPECT_EQ(qoxSecKeyUnlockWithCache(&odd.key, "correct horse", 13, false, 60, true), kQOXErrNoErr);
  EXPECT_FALSE(odd.locked);
  EXPECT_EQ(ctx.liveSecure(), 0);
  odd.locked = true;
  EXPECT_EQ(qoxSecKeyUnlockWithCache(&odd.key, nullptr, 0, false, 0, true), kQOXErrBadPassphrase);
}

TEST_F(PassphraseCacheTest, ExpiryKeepsLiveEntriesAndPurgeRemovesAll) {
  LockedDSAKey shortLived{c(), 0x40, "short"};
  LockedDSAKey longLived{c(), 0x70, "long"};
  ASSERT_EQ(Unlock(shortLived, "short", 10), kQOXErrNoErr);
  ASSERT_EQ(Unlock(longLived, "long", 100, false), kQOXErrNoErr);
  ASSERT_EQ(Unlock(key, "correct horse", 50), kQOXErrNoErr);
  gNow = 1020;
  qoxExpirePassphraseCache(c());
  EXPECT_EQ(ctx.liveSecure(), 2);
  EXPECT_EQ(FromCache(key), kQOXErrNoErr);
  EXPECT_EQ(FromCache(shortLived), kQOXErrBadPassphrase);

  EXPECT_EQ(QOXPurgePassphraseCache(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXPurgePassphraseCache(c()), kQOXErrNoErr);
  EXPECT_EQ(ctx.liveSecure(), 0);
  EXPECT_EQ(ctx.livePlain(), 0);  // entries and the cache record too
  EXPECT_EQ(FromCache(key), kQOXErrBadPassphrase);
}

// With the key-database service link on, the purge is the service's: this
// process's cache is left to it.
TEST_F(PassphraseCacheTest, PurgeGoesToTheServiceWhenLinked) {
  static QOXContext* purged = nullptr;
  ASSERT_EQ(Unlock(key, "correct horse", 50), kQOXErrNoErr);
  {
    ostrak_test::ScopedServices<QOXRPCClientServices> rpc(qoxRPCClientServices, qoxRegisterRPCClientServices);
    rpc->qoxRPCEnabled = [] { return true; };
    rpc->qoxPurgePassphraseCache_backRPC = [](QOXContext* context) {
      purged = context;
      return kQOXErrNoErr;
    };
    EXPECT_EQ(QOXPurgePassphraseCache(c()), kQOXErrNoErr);
    EXPECT_EQ(purged, c());
    EXPECT_EQ(FromCache(key), kQOXErrNoErr) << "nothing purged here";
  }
  EXPECT_EQ(QOXPurgePassphraseCache(c()), kQOXErrNoErr);
  EXPECT_EQ(FromCache(key), kQOXErrBadPassphrase);
}

}  // namespace

// The global pool's entropy accounting, draws and generic operations.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/random_pool.h"
#include "foundation/sdk_errors.h"
#include "tests/crypto/random_test_support.h"

namespace {

using RandomPoolTest = FreshPoolTest;

std::vector<uint8_t> Draw(uint32_t entropyBits, size_t count) {
  QOXRandomContext pool;
  qoxInitGlobalRandomPoolContext(&pool);
  std::vector<uint8_t> out(count, 0);
  pool.vtbl->getBytesEntropy(pool.priv, out.data(), count, entropyBits);
  return out;
}

TEST_F(RandomPoolTest, TimingEventsCreditLogarithmsOfTheirDeltas) {
  // Each row starts from no pending entropy; the bits returned by the
  // successive events, fractions carried between them.
  struct Case {
    const char* why;
    std::vector<uint32_t> deltas;
    std::vector<uint32_t> bits;
  };
  const Case cases[] = {
      {"below 4 ticks nothing", {0, 1, 3}, {0, 0, 0}},
      {"4 ticks: 0 whole bits", {4}, {0}},
      {"whole bits are log2 - 2", {8, 1023, 1024}, {1, 7, 8}},
      {"2^20 ticks is capped at 10, not 18", {1u << 20, 0xFFFFFFFFu}, {10, 10}},
      // 1.5 x 1.5 = 2.25: the product of mantissas carries one bit.
      {"fractions multiply as mantissas", {6, 6, 6, 6}, {0, 1, 0, 1}},
      // 1.875 x 1.875 = 3.5: both additions carry, still one bit.
      {"a double carry is one bit", {15, 15}, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    qoxInitGlobalRandomPool();
    for (size_t i = 0; i < c.deltas.size(); ++i) {
      EXPECT_EQ(qoxGlobalRandomPoolEntropyWasAdded(c.deltas[i]), c.bits[i]) << "event " << i;
    }
  }
}

TEST_F(RandomPoolTest, PendingEntropyIsCreditedWhenBytesAreAdded) {
  // Four events of delta 6 leave 2 bits and a fraction pending; nothing is
  // credited until 64 bits are pending and a byte is added.
  for (int i = 0; i < 4; ++i) qoxGlobalRandomPoolEntropyWasAdded(6);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 0u);
  qoxGlobalRandomPoolAddEntropyBits(61);
  CreditPending(0);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 0u) << "63 bits pending are not yet credited";
  CreditPending(1);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 64u);
}

TEST_F(RandomPoolTest, PendingAndEstimateAreCapped) {
  for (int i = 0; i < 60; ++i) qoxGlobalRandomPoolEntropyWasAdded(1u << 20);  // 600 bits asked
  CreditPending(0);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 512u) << "pending entropy stops at 512";
  for (int i = 0; i < 25; ++i) CreditPending(600);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 10240u) << "the estimate stops at the pool size";
  qoxGlobalRandomPoolSetEntropy(100);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 10240u) << "setting only raises";
}

TEST_F(RandomPoolTest, MinimumEntropyIsReachedOnceAndSurvivesDraws) {
  EXPECT_FALSE(QOXGlobalRandomPoolHasMinimumEntropy());
  CreditPending(100);
  EXPECT_FALSE(QOXGlobalRandomPoolHasMinimumEntropy()) << "100 of 192 bits";
  CreditPending(100);
  EXPECT_TRUE(QOXGlobalRandomPoolHasMinimumEntropy()) << "200 bits ever credited";

  // Drawing more than the estimate empties it but still delivers bytes.
  std::vector<uint8_t> bytes = Draw(8 * 64, 64);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 0u);
  EXPECT_NE(bytes, std::vector<uint8_t>(64, 0));
  EXPECT_TRUE(QOXGlobalRandomPoolHasMinimumEntropy()) << "the total is never drawn down";

  uint32_t entropy = 1, size = 0, minimum = 0;
  bool has = false;
  qoxGlobalRandomPoolGetInfo_internal(&entropy, &size, &minimum, &has);
  EXPECT_EQ(entropy, 0u);
  EXPECT_EQ(size, 10240u);
  EXPECT_EQ(minimum, 192u);
  EXPECT_TRUE(has);
  EXPECT_EQ(QOXGlobalRandomPoolGetSize(), 10240u);
  EXPECT_EQ(QOXGlobalRandomPoolGetMinimumEntropy(), 192u);
}

TEST_F(RandomPoolTest, SystemStateSeedsThePool) {
  EXPECT_FALSE(QOXGlobalRandomPoolHasMinimumEntropy());
  EXPECT_EQ(QOXGlobalRandomPoolAddSystemState(), kQOXErrNoErr);
  EXPECT_TRUE(qoxGlobalRandomPoolIsSeeded());
  EXPECT_TRUE(QOXGlobalRandomPoolHasMinimumEntropy());

  ScriptedGenerator sink;
  QOXRandomContext rc = sink.Handle();
  EXPECT_EQ(qoxRandomCollectOsData(&rc, false), 1);
  EXPECT_EQ(sink.added.size(), 256u) << "one 256-byte read of the random device";
  sink.added.clear();
  qoxRandomCollectEntropy(&rc);
  EXPECT_EQ(sink.added.size(), 8u) << "one 8-byte timer reading";
}

TEST_F(RandomPoolTest, OutputChangesWithAddedBytesAndStirring) {
  QOXRandomContext pool;
  qoxInitGlobalRandomPoolContext(&pool);
  std::vector<uint8_t> a = Draw(0, 40);
  std::vector<uint8_t> b = Draw(0, 40);
  EXPECT_NE(a, b) << "the running output state moves on";
  const uint8_t extra[3] = {1, 2, 3};
  pool.vtbl->addBytes(pool.priv, extra, sizeof extra);
  std::vector<uint8_t> c = Draw(0, 40);
  pool.vtbl->stir(pool.priv);
  std::vector<uint8_t> d = Draw(0, 40);
  EXPECT_NE(c, b);
  EXPECT_NE(d, c);
}

TEST_F(RandomPoolTest, DummyPoolYieldsZerosOnly) {
  QOXRandomContext dummy{nullptr, qoxGetGlobalDummyRandomPoolVTBL(), nullptr, nullptr};
  const uint8_t bytes[4] = {9, 9, 9, 9};
  dummy.vtbl->addBytes(dummy.priv, bytes, sizeof bytes);
  dummy.vtbl->stir(dummy.priv);
  std::vector<uint8_t> out(100, 0xEE);
  qoxRandomGetBytes(&dummy, out.data(), out.size());
  EXPECT_EQ(out, std::vector<uint8_t>(100, 0));
  EXPECT_STREQ(dummy.vtbl->name, "Dummy random-number pool");
  EXPECT_STREQ(qoxGetGlobalRandomPoolVTBL()->name, "Global true random-number pool");
}

TEST_F(RandomPoolTest, GetBytesChargesEightBitsPerByte) {
  ScriptedGenerator g;
  QOXRandomContext rc = g.Handle();
  uint8_t out[10];
  qoxRandomGetBytes(&rc, out, sizeof out);
  ASSERT_EQ(g.requests.size(), 1u);
  EXPECT_EQ(g.requests[0].count, 10u);
  EXPECT_EQ(g.requests[0].entropyBits, 80u);
}

TEST_F(RandomPoolTest, RangeRejectsOutOfRangeQuotients) {
  struct Case {
    const char* why;
    uint32_t range;
    std::vector<uint8_t> script;  // first byte: the charged draw
    uint32_t expected;
    std::vector<size_t> requestSizes;
  };
  const Case cases[] = {
      {"range 1 is always 0", 1, {0xAA}, 0, {1}},
      {"byte draws, divisor 1", 200, {0xAA, 250, 199}, 199, {1, 1, 1}},
      {"byte draws, divisor 2", 100, {0xAA, 201, 200, 7}, 3, {1, 1, 1, 1}},
      {"300 takes two-byte draws", 300, {0xAA, 0xFF, 0xFF, 0x01, 0x00}, 1, {1, 2, 2}},
      {"65536 takes the value itself", 65536, {0xAA, 0xBE, 0xEF}, 0xBEEF, {1, 2}},
      // Above 65536 the two-byte divisor would be 0: four-byte draws.
      {"100000 takes four-byte draws", 100000, {0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0}, 1,
       {1, 4, 4}},
      {"the largest range", 0xFFFFFFFFu, {0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 5}, 5, {1, 4, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ScriptedGenerator g;
    g.script = c.script;
    QOXRandomContext rc = g.Handle();
    EXPECT_EQ(qoxRandomRange(&rc, c.range, 17), c.expected);
    ASSERT_EQ(g.requests.size(), c.requestSizes.size());
    for (size_t i = 0; i < c.requestSizes.size(); ++i) {
      EXPECT_EQ(g.requests[i].count, c.requestSizes[i]);
      EXPECT_EQ(g.requests[i].entropyBits, i == 0 ? 17u : 0u);
    }
  }
}

TEST_F(RandomPoolTest, RangeStaysBelowLargeRangesFromThePool) {
  QOXRandomContext pool;
  qoxInitGlobalRandomPoolContext(&pool);
  for (uint32_t range : {65537u, 1000000u, 0x80000001u, 0xFFFFFFFFu}) {
    for (int i = 0; i < 50; ++i) EXPECT_LT(qoxRandomRange(&pool, range, 0), range);
  }
}

}  // namespace

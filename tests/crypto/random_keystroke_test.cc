// Keystroke and mouse events. Their skip counters count once per process,
// so this program holds one test that makes the first events of its process.
#include <gtest/gtest.h>

#include "crypto/random_pool.h"
#include "tests/crypto/random_test_support.h"

namespace {

using KeystrokeTest = FreshPoolTest;

TEST_F(KeystrokeTest, FirstEventsAndRepeatedKeysCreditNothing) {
  // The first three keystrokes and the first two mouse events credit 0
  // bits, whatever their timing.
  EXPECT_EQ(QOXGlobalRandomPoolAddKeystroke('a'), 0u);
  EXPECT_EQ(QOXGlobalRandomPoolMouseMoved(), 0u);
  EXPECT_EQ(QOXGlobalRandomPoolAddKeystroke('b'), 0u);
  EXPECT_EQ(QOXGlobalRandomPoolAddMouse(), 0u);
  EXPECT_EQ(QOXGlobalRandomPoolAddKeystroke('a'), 0u);
  // Last four keys now a, b, a: a third 'a' finds two equal keys and
  // credits nothing; so does a fourth.
  EXPECT_EQ(QOXGlobalRandomPoolAddKeystroke('a'), 0u);
  EXPECT_EQ(QOXGlobalRandomPoolAddKeystroke('a'), 0u);

  // Any credit of a live event is at most 10 bits.
  for (uint32_t key = 'c'; key < 'z'; ++key) {
    EXPECT_LE(QOXGlobalRandomPoolAddKeystroke(key), 10u);
    EXPECT_LE(QOXGlobalRandomPoolMouseMoved(), 10u);
  }
  EXPECT_EQ(qoxGlobalRandomPoolAddState_internal(false, 0, false, false), 0);
}

}  // namespace

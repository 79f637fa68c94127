// Environment settings: defaults, priorities, key ranges, the character-set
// setting and copies.
#include "foundation/env.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

class EnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
    QOXNewContextStruct record{kQOXAPIVersion, state_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&record, &context_), kQOXErrNoErr);
    env_ = qoxContextGetEnvironment(context_);
    ASSERT_NE(env_, nullptr);
  }
  void TearDown() override {
    state_.FailAfter(-1);
    EXPECT_EQ(QOXFreeContext(context_), kQOXErrNoErr);
    EXPECT_EQ(state_.live(), 0);
    EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
  }

  ostrak_test::CountingMemoryMgr state_;
  QOXContext* context_ = nullptr;
  QOXEnv* env_ = nullptr;
};

TEST_F(EnvTest, Defaults) {
  struct IntCase {
    int32_t key;
    uint32_t value;
  };
  const IntCase ints[] = {
      {1000, 0}, {1001, 0}, {1002, 4}, {1003, 1}, {1004, 1},  {1005, 1},   {1006, 1}, {1007, 1},
      {1008, 5}, {1009, 0}, {1010, 1}, {1011, 2}, {1013, 0},  {1014, 120}, {1015, 0}, {1017, 3},
      {1022, 0}, {1029, 0}, {1037, 0}, {1041, 0},
  };
  for (const IntCase& c : ints) {
    SCOPED_TRACE(c.key);
    int32_t priority = -1;
    QOXError err = 1;
    EXPECT_EQ(qoxenvGetInt(env_, c.key, &priority, &err), c.value);
    EXPECT_EQ(priority, 0);
    EXPECT_EQ(err, kQOXErrNoErr);
  }
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvCharset, nullptr), "noconv");
  EXPECT_STREQ(qoxenvGetCString(env_, 2007, nullptr), "");
  EXPECT_EQ(qoxenvGetCString(env_, kQOXEnvComment, nullptr), nullptr);
  EXPECT_EQ(qoxenvGetCString(env_, kQOXEnvTempDirectory, nullptr), nullptr);
  EXPECT_EQ(qoxenvGetCString(env_, kQOXEnvVersionString, nullptr), nullptr);

  // The character set installs its two maps; "noconv" maps every byte to itself.
  for (int32_t key : {kQOXEnvCharmapToLocal, kQOXEnvCharmapFromLocal}) {
    size_t size = 0;
    const uint8_t* map = static_cast<const uint8_t*>(qoxenvGetPointer(env_, key, &size));
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(size, 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(map[i], i);
  }
  EXPECT_EQ(qoxenvGetPointer(env_, kQOXEnvCipherModeOption, nullptr), nullptr);
}

TEST_F(EnvTest, LowerPriorityIsRefusedAndKeepsTheValue) {
  struct Step {
    uint32_t value;
    int32_t priority;
    QOXError result;
    uint32_t stored;
  };
  const Step steps[] = {
      {7, 0, kQOXErrNoErr, 7},            // equal to the default's priority
      {8, 25, kQOXErrNoErr, 8},
      {9, 0, kQOXErrEnvPriorityTooLow, 8},
      {10, 24, kQOXErrEnvPriorityTooLow, 8},
      {11, 25, kQOXErrNoErr, 11},         // equal priority wins
      {12, 26, kQOXErrNoErr, 12},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.value);
    EXPECT_EQ(qoxenvSetInt(env_, kQOXEnvCipherAlgorithm, s.value, s.priority), s.result);
    int32_t priority = 0;
    EXPECT_EQ(qoxenvGetInt(env_, kQOXEnvCipherAlgorithm, &priority, nullptr), s.stored);
  }

  ASSERT_EQ(qoxenvSetString(env_, kQOXEnvComment, "from options", 25), kQOXErrNoErr);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvComment, "default", 0), kQOXErrEnvPriorityTooLow);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvComment, nullptr, 0), kQOXErrEnvPriorityTooLow);
  int32_t priority = 0;
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvComment, &priority), "from options");
  EXPECT_EQ(priority, 25);
  // A null string clears the setting.
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvComment, nullptr, 25), kQOXErrNoErr);
  EXPECT_EQ(qoxenvGetCString(env_, kQOXEnvComment, nullptr), nullptr);
}

TEST_F(EnvTest, KeysOutsideTheirRangeAreRefused) {
  for (int32_t key : {999, 1042, 2000, 3000, -1}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(qoxenvSetInt(env_, key, 1, 100), kQOXErrBadParams);
    QOXError err = 0;
    int32_t priority = 5;
    EXPECT_EQ(qoxenvGetInt(env_, key, &priority, &err), 0u);
    EXPECT_EQ(err, kQOXErrBadParams);
    EXPECT_EQ(priority, 0);
  }
  for (int32_t key : {1999, 2019, 1000, 3001}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(qoxenvSetString(env_, key, "x", 100), kQOXErrBadParams);
    EXPECT_EQ(qoxenvGetCString(env_, key, nullptr), nullptr);
  }
  int marker = 0;
  for (int32_t key : {2999, 3007, kQOXEnvCharmapToLocal, kQOXEnvCharmapFromLocal}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(qoxenvSetPointer(env_, key, &marker, 4), kQOXErrBadParams);
  }
  EXPECT_EQ(qoxenvGetPointer(env_, 3007, nullptr), nullptr);
  size_t size = 0;
  EXPECT_EQ(qoxenvSetPointer(env_, kQOXEnvCipherModeOption, &marker, 4), kQOXErrNoErr);
  EXPECT_EQ(qoxenvGetPointer(env_, kQOXEnvCipherModeOption, &size), &marker);
  EXPECT_EQ(size, 4u);

  QOXError err = 0;
  EXPECT_EQ(qoxenvGetInt(nullptr, 1003, nullptr, &err), 0u);
  EXPECT_EQ(err, kQOXErrBadParams);
  EXPECT_EQ(qoxenvSetInt(nullptr, 1003, 1, 0), kQOXErrBadParams);
  EXPECT_EQ(qoxenvSetString(nullptr, 2002, "x", 0), kQOXErrBadParams);
  EXPECT_EQ(qoxenvSetPointer(nullptr, 3004, nullptr, 0), kQOXErrBadParams);
}

TEST_F(EnvTest, CharacterSetSetting) {
  // A null name is refused before the priority is looked at.
  ASSERT_EQ(qoxenvSetString(env_, kQOXEnvCharset, "noconv", 25), kQOXErrNoErr);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvCharset, nullptr, 0), kQOXErrBadParams);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvCharset, nullptr, 50), kQOXErrBadParams);
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvCharset, nullptr), "noconv");

  // An unknown set changes nothing.
  void* before = qoxenvGetPointer(env_, kQOXEnvCharmapToLocal, nullptr);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvCharset, "no-such-set", 50), kQOXErrUnknownCharset);
  int32_t priority = 0;
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvCharset, &priority), "noconv");
  EXPECT_EQ(priority, 25);
  EXPECT_EQ(qoxenvGetPointer(env_, kQOXEnvCharmapToLocal, nullptr), before);

  // Names are compared without case; the name is stored as given.
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvCharset, "NoConv", 50), kQOXErrNoErr);
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvCharset, &priority), "NoConv");
  EXPECT_EQ(priority, 50);
}

// Fault guarded: the maps used to be installed even when the copy of the name
// could not be made, leaving maps that disagree with the stored name.
TEST_F(EnvTest, CharacterSetMapsWaitForTheNameCopy) {
  // Clear the installed maps so an install would show.
  env_->pointers[kQOXEnvCharmapToLocal - kQOXEnvPointerFirst] = nullptr;
  env_->pointers[kQOXEnvCharmapFromLocal - kQOXEnvPointerFirst] = nullptr;
  state_.FailAfter(0);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvCharset, "NOCONV", 30), kQOXErrOutOfMemory);
  int32_t priority = -1;
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvCharset, &priority), "noconv");
  EXPECT_EQ(priority, 0);
  EXPECT_EQ(qoxenvGetPointer(env_, kQOXEnvCharmapToLocal, nullptr), nullptr);
  EXPECT_EQ(qoxenvGetPointer(env_, kQOXEnvCharmapFromLocal, nullptr), nullptr);

  state_.FailAfter(-1);
  EXPECT_EQ(qoxenvSetString(env_, kQOXEnvCharset, "NOCONV", 30), kQOXErrNoErr);
  EXPECT_NE(qoxenvGetPointer(env_, kQOXEnvCharmapToLocal, nullptr), nullptr);
  EXPECT_NE(qoxenvGetPointer(env_, kQOXEnvCharmapFromLocal, nullptr), nullptr);
}

TEST_F(EnvTest, CopyDuplicatesStringsAndSharesPointers) {
  int marker = 0;
  ASSERT_EQ(qoxenvSetString(env_, kQOXEnvComment, "comment line", 25), kQOXErrNoErr);
  ASSERT_EQ(qoxenvSetPointer(env_, kQOXEnvCipherModeOption, &marker, 4), kQOXErrNoErr);
  ASSERT_EQ(qoxenvSetInt(env_, kQOXEnvCipherAlgorithm, 3, 25), kQOXErrNoErr);

  QOXEnv* copy = nullptr;
  ASSERT_EQ(qoxenvCopy(env_, &copy), kQOXErrNoErr);
  EXPECT_EQ(qoxenvGetContext(copy), context_);
  EXPECT_EQ(qoxenvGetInt(copy, kQOXEnvCipherAlgorithm, nullptr, nullptr), 3u);
  const char* original = qoxenvGetCString(env_, kQOXEnvComment, nullptr);
  const char* copied = qoxenvGetCString(copy, kQOXEnvComment, nullptr);
  EXPECT_STREQ(copied, "comment line");
  EXPECT_NE(copied, original);
  EXPECT_EQ(qoxenvGetPointer(copy, kQOXEnvCipherModeOption, nullptr), &marker);
  // Changing the copy leaves the original alone.
  EXPECT_EQ(qoxenvSetString(copy, kQOXEnvComment, "changed", 25), kQOXErrNoErr);
  EXPECT_STREQ(qoxenvGetCString(env_, kQOXEnvComment, nullptr), "comment line");
  qoxenvDestroy(copy);

  // Running out of memory at any point of the copy leaves nothing behind.
  int live = state_.live();
  for (int budget = 0; budget < 4; ++budget) {  // the record, then three strings
    SCOPED_TRACE(budget);
    state_.FailAfter(budget);
    copy = reinterpret_cast<QOXEnv*>(1);
    EXPECT_EQ(qoxenvCopy(env_, &copy), kQOXErrOutOfMemory);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(state_.live(), live);
  }
  state_.FailAfter(-1);
}

}  // namespace

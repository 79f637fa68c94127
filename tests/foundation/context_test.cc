// Toolkit start-up, contexts and their memory, random generators and
// notification (outside FIPS mode; the FIPS gate has its own test program).
#include "crypto/context_random.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/sdk_errors.h"
#include "crypto/random_pool.h"
#include "crypto/pkalg.h"
#include "foundation/mem_pool.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

TEST(SDKStartTest, UseCountStartsAndStopsOnce) {
  ASSERT_FALSE(qoxsdkIsInited());
  QOXContext* context = reinterpret_cast<QOXContext*>(1);
  EXPECT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrImproperInitialization);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrBadParams);

  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  QOXMemoryMgr* defaultMgr = QOXGetDefaultMemoryMgr();
  EXPECT_NE(defaultMgr, nullptr);
  // A second start only counts; its flags are not examined.
  ASSERT_EQ(QOXsdkInit(0), kQOXErrNoErr);
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), defaultMgr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
  EXPECT_TRUE(qoxsdkIsInited());
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), defaultMgr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
  EXPECT_FALSE(qoxsdkIsInited());
  // The start-up made the default manager, so the last clean-up drops it.
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), nullptr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrBadParams);

  // Started again from zero, and stopped at once by the forced clean-up.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  qoxForceSDKCleanup();
  EXPECT_FALSE(qoxsdkIsInited());
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), nullptr);
  EXPECT_NE(qoxPassphraseCacheMutex(), nullptr);
}

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr); }
  void TearDown() override { EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr); }
};

TEST_F(ContextTest, CreationRefusals) {
  QOXContext* context = reinterpret_cast<QOXContext*>(1);
  EXPECT_EQ(QOXNewContext(0x02000000, &context), kQOXErrIncompatibleAPIVersion);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(QOXNewContext(kQOXAPIVersion, nullptr), kQOXErrBadParams);

  context = reinterpret_cast<QOXContext*>(1);
  EXPECT_EQ(QOXNewContextCustom(nullptr, &context), kQOXErrBadParams);
  EXPECT_EQ(context, nullptr);
  QOXNewContextStruct noManager{kQOXAPIVersion, nullptr, 0};
  EXPECT_EQ(QOXNewContextCustom(&noManager, &context), kQOXErrBadParams);

  // A refused creation leaves the manager with the caller.
  ostrak_test::CountingMemoryMgr state;
  QOXNewContextStruct wrongVersion{0x00000001, state.Make(), 0};
  ASSERT_NE(wrongVersion.memoryMgr, nullptr);
  EXPECT_EQ(QOXNewContextCustom(&wrongVersion, &context), kQOXErrIncompatibleAPIVersion);
  EXPECT_EQ(QOXValidateMemoryMgr(wrongVersion.memoryMgr), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeMemoryMgr(wrongVersion.memoryMgr), kQOXErrNoErr);
  EXPECT_EQ(state.live(), 0);

  EXPECT_EQ(QOXFreeContext(nullptr), kQOXErrBadParams);
  // Zeroed memory larger than any context record: the magic test reads it.
  alignas(16) static unsigned char notAContext[4096] = {};
  EXPECT_EQ(QOXFreeContext(reinterpret_cast<QOXContext*>(notAContext)), kQOXErrBadParams);
  EXPECT_FALSE(qoxContextIsValid(notAContext));
}

TEST_F(ContextTest, ContextsAreListedNewestFirstUntilFreed) {
  QOXContext* made[3] = {};
  for (QOXContext*& c : made) ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &c), kQOXErrNoErr);
  auto listed = [] {
    std::vector<QOXContext*> v;
    for (QOXContext* c = qoxContextNextContext(nullptr); c != nullptr; c = qoxContextNextContext(c)) {
      v.push_back(c);
    }
    return v;
  };
  EXPECT_EQ(listed(), (std::vector<QOXContext*>{made[2], made[1], made[0]}));
  for (QOXContext* c : made) EXPECT_TRUE(qoxContextIsValid(c));

  EXPECT_EQ(QOXFreeContext(made[1]), kQOXErrNoErr);
  EXPECT_EQ(listed(), (std::vector<QOXContext*>{made[2], made[0]}));
  EXPECT_EQ(QOXFreeContext(made[2]), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeContext(made[0]), kQOXErrNoErr);
  EXPECT_TRUE(listed().empty());
}

TEST_F(ContextTest, FreeingReleasesEverythingIncludingTheManager) {
  ostrak_test::CountingMemoryMgr state;
  QOXNewContextStruct record{kQOXAPIVersion, state.Make(), 0};
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContextCustom(&record, &context), kQOXErrNoErr);
  // Use the parts that are made on demand or grow, then free.
  void* block = qoxContextMemAlloc(context, 100, kQOXMemoryMgrFlags_Clear);
  ASSERT_NE(block, nullptr);
  ASSERT_NE(qoxContextMemPoolAlloc(context, 9000, 0), nullptr);  // a second pool chunk
  EXPECT_EQ(qoxenvSetString(qoxContextGetEnvironment(context), kQOXEnvComment, "a comment", 0), kQOXErrNoErr);
  qoxContextGetGlobalPoolRandomContext(context);
  qoxContextGetDummyRandomContext(context);
  EXPECT_EQ(qoxContextMemFree(context, block), kQOXErrNoErr);
  EXPECT_GT(state.live(), 0);
  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
  EXPECT_EQ(state.live(), 0);
}

TEST_F(ContextTest, FailedCreationLeavesNothingBehind) {
  // Refuse the n-th allocation for every n until creation succeeds.
  bool made = false;
  for (int budget = 0; budget < 64 && !made; ++budget) {
    SCOPED_TRACE(budget);
    ostrak_test::CountingMemoryMgr state;
    QOXNewContextStruct record{kQOXAPIVersion, state.Make(), 0};
    ASSERT_NE(record.memoryMgr, nullptr);
    int managerBlocks = state.live();
    state.FailAfter(budget);
    QOXContext* context = reinterpret_cast<QOXContext*>(1);
    QOXError err = QOXNewContextCustom(&record, &context);
    if (err == kQOXErrNoErr) {
      made = true;
      EXPECT_EQ(qoxContextNextContext(nullptr), context);
      EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
      EXPECT_EQ(state.live(), 0);
    } else {
      EXPECT_EQ(err, kQOXErrOutOfMemory);
      EXPECT_EQ(context, nullptr);
      EXPECT_EQ(qoxContextNextContext(nullptr), nullptr) << "a failed context was listed";
      EXPECT_EQ(state.live(), managerBlocks) << "blocks left behind";
      EXPECT_EQ(QOXFreeMemoryMgr(record.memoryMgr), kQOXErrNoErr);
    }
  }
  EXPECT_TRUE(made);
}

TEST_F(ContextTest, AccessorsAndUserValue) {
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);

  uintptr_t value = 99;
  EXPECT_EQ(QOXGetContextUserValue(context, &value), kQOXErrNoErr);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(QOXSetContextUserValue(context, 0xABCDEF), kQOXErrNoErr);
  EXPECT_EQ(QOXGetContextUserValue(context, &value), kQOXErrNoErr);
  EXPECT_EQ(value, 0xABCDEFu);
  EXPECT_EQ(QOXGetContextUserValue(context, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetContextUserValue(nullptr, &value), kQOXErrBadParams);
  EXPECT_EQ(QOXSetContextUserValue(nullptr, 1), kQOXErrBadParams);

  QOXEnv* env = qoxContextGetEnvironment(context);
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(qoxenvGetContext(env), context);
  EXPECT_NE(QOXPeekContextMemoryMgr(context), nullptr);
  EXPECT_NE(qoxPeekContextMemPoolMgr(context), nullptr);
  EXPECT_NE(qoxPeekContextMemPool(context), nullptr);
  EXPECT_EQ(QOXPeekContextMemoryMgr(nullptr), nullptr);
  EXPECT_EQ(qoxPeekContextMemPool(nullptr), nullptr);
  EXPECT_EQ(qoxPeekContextMemPoolMgr(nullptr), nullptr);

  EXPECT_EQ(qoxContextGetThreadID(context), 0u);
  EXPECT_EQ(qoxContextGetConnectRef(context), 0u);
  qoxContextSetConnectRef(context, 7);
  EXPECT_EQ(qoxContextGetConnectRef(context), 7u);
  EXPECT_FALSE(qoxContextGetUpdateNeeded(context));
  EXPECT_EQ(qoxContextGetFirstKeyDB(context), nullptr);
  EXPECT_EQ(qoxContextGetPassphraseCache(context), nullptr);

  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
}

TEST_F(ContextTest, ContextMemory) {
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);

  const char text[] = "copied bytes";
  char* copy = static_cast<char*>(QOXContextMemAllocCopy(context, sizeof(text), kQOXMemoryMgrFlags_Clear, text));
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, text);
  void* block = copy;
  ASSERT_EQ(qoxContextMemRealloc(context, &block, 4096, kQOXMemoryMgrFlags_Clear), kQOXErrNoErr);
  EXPECT_STREQ(static_cast<char*>(block), text);
  EXPECT_EQ(static_cast<unsigned char*>(block)[4095], 0);
  EXPECT_EQ(qoxContextMemFree(context, block), kQOXErrNoErr);
  EXPECT_EQ(qoxContextMemFree(nullptr, block), kQOXErrBadParams);
  void* empty = qoxContextMemAlloc(context, 0, 0);
  EXPECT_NE(empty, nullptr);
  EXPECT_EQ(qoxContextMemFree(context, empty), kQOXErrNoErr);

  // Pool blocks: cutting back to a mark gives the space back.
  MemPool mark = *qoxPeekContextMemPool(context);
  void* a = qoxContextMemPoolAlloc(context, 64, 0);
  ASSERT_NE(a, nullptr);
  void* grown = a;
  ASSERT_EQ(qoxContextMemPoolRealloc(context, &grown, 128, 0), kQOXErrNoErr);
  EXPECT_NE(grown, nullptr);
  qoxContextMemPoolCutBack(context, &mark);
  EXPECT_EQ(qoxContextMemPoolAlloc(context, 64, 0), a);

  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
}

TEST_F(ContextTest, RandomGeneratorsAreMadeOnceAndBytesNeedOne) {
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);
  // Whatever the engine offers, a second request gives the stored one.
  QOXRandomContext* pool = qoxContextGetGlobalPoolRandomContext(context);
  EXPECT_EQ(qoxContextGetGlobalPoolRandomContext(context), pool);
  QOXRandomContext* dummy = qoxContextGetDummyRandomContext(context);
  EXPECT_EQ(qoxContextGetDummyRandomContext(context), dummy);
  QOXRandomContext* x917 = qoxContextGetX9_17RandomContext(context);
  EXPECT_EQ(qoxContextGetX9_17RandomContext(context), x917);

  unsigned char buffer[16];
  EXPECT_EQ(QOXContextGetRandomBytes(context, nullptr, 16), kQOXErrBadParams);
  EXPECT_EQ(QOXContextGetRandomBytes(nullptr, buffer, 16), kQOXErrBadParams);
  if (x917 == nullptr || !QOXGlobalRandomPoolHasMinimumEntropy()) {
    EXPECT_EQ(QOXContextGetRandomBytes(context, buffer, 16), kQOXErrOutOfEntropy);
  } else {
    EXPECT_EQ(QOXContextGetRandomBytes(context, buffer, 16), kQOXErrNoErr);
  }
  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
}

uintptr_t gNotifiedWith = 0;
int gNotifications = 0;
void RecordNotification(uintptr_t userValue) {
  gNotifiedWith = userValue;
  ++gNotifications;
}

TEST_F(ContextTest, NotificationMarksEveryContext) {
  QOXContext* a = nullptr;
  QOXContext* b = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &a), kQOXErrNoErr);
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &b), kQOXErrNoErr);

  EXPECT_EQ(QOXSetNotificationCallback(RecordNotification, 42), kQOXErrNoErr);
  qoxCallNotificationCallback();
  EXPECT_EQ(gNotifications, 1);
  EXPECT_EQ(gNotifiedWith, 42u);
  EXPECT_TRUE(qoxContextGetUpdateNeeded(a));
  EXPECT_TRUE(qoxContextGetUpdateNeeded(b));

  EXPECT_EQ(QOXSetNotificationCallback(nullptr, 0), kQOXErrNoErr);
  qoxCallNotificationCallback();
  EXPECT_EQ(gNotifications, 1);

  EXPECT_EQ(QOXFreeContext(a), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeContext(b), kQOXErrNoErr);
}

TEST_F(ContextTest, EntryGateIsOpenOutsideFIPSMode) {
  EXPECT_FALSE(qoxFIPSModeEnabled());
  EXPECT_EQ(qoxEnterFunction(), kQOXErrNoErr);
  // Outside FIPS mode no error state is ever stored.
  qoxSetSDKErrorState(kQOXErrSelfTestFailed);
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrNoErr);
  EXPECT_EQ(qoxEnterFunction(), kQOXErrNoErr);
}

}  // namespace

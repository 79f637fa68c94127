// The entry gate in FIPS mode, before and after the self-tests. FIPS mode
// cannot be turned off, so this program holds one test that walks through
// the states in order.
//
// The self-tests (Triple-DES and DSA with the built-in key pair) pass while
// the toolkit is started and open the gate; with the toolkit stopped they
// cannot make their context, fail with -11446, and the gate must then
// refuse with that error.
#include <gtest/gtest.h>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/env.h"
#include "foundation/core/features.h"
#include "foundation/sdk_errors.h"
#include "foundation/core/self_tests.h"

namespace {

TEST(FIPSModeTest, GateBeforeAndAfterTheSelfTests) {
  // Outside FIPS mode the runner refuses and nothing is stored.
  ASSERT_FALSE(qoxFIPSModeEnabled());
  EXPECT_EQ(QOXRunAllSDKSelfTests(), kQOXErrBadParams);
  EXPECT_EQ(QOXRunSDKSelfTest(1), kQOXErrBadParams);
  EXPECT_EQ(QOXResetSDKErrorState(), kQOXErrNoErr);
  EXPECT_FALSE(qoxHaveRunAllSelfTests());
  EXPECT_EQ(qoxTestDSA(), kQOXErrSelfTestFailed) << "no context before start-up";

  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);
  EXPECT_EQ(qoxenvGetInt(qoxContextGetEnvironment(context), kQOXEnvCipherAlgorithm, nullptr, nullptr), 1u);

  // FIPS mode on, toolkit started, tests not run: every call is refused.
  EXPECT_EQ(QOXEnableFIPSMode(), kQOXErrNoErr);
  EXPECT_TRUE(qoxFIPSModeEnabled());
  EXPECT_EQ(qoxEnterFunction(), kQOXErrSelfTestsNotExecuted);
  QOXContext* refused = reinterpret_cast<QOXContext*>(1);
  EXPECT_EQ(QOXNewContext(kQOXAPIVersion, &refused), kQOXErrSelfTestsNotExecuted);
  EXPECT_EQ(refused, nullptr);
  uint32_t flags = 0;
  EXPECT_EQ(QOXGetFeatureFlags(1, &flags), kQOXErrSelfTestsNotExecuted);
  EXPECT_EQ(QOXFreeContext(context), kQOXErrSelfTestsNotExecuted);
  EXPECT_TRUE(qoxContextIsValid(context)) << "a refused free must keep the context";
  EXPECT_EQ(QOXPeekContextMemoryMgr(context), nullptr);
  // A single test is refused by the gate too, and its refusal is not stored.
  EXPECT_EQ(QOXRunSDKSelfTest(1), kQOXErrSelfTestsNotExecuted);
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrNoErr);

  // In FIPS mode the preferred cipher defaults to 3DES.
  QOXEnv* fipsEnv = nullptr;
  ASSERT_EQ(qoxenvCreate(context, &fipsEnv), kQOXErrNoErr);
  EXPECT_EQ(qoxenvGetInt(fipsEnv, kQOXEnvCipherAlgorithm, nullptr, nullptr), 2u);
  qoxenvDestroy(fipsEnv);

  // The self-tests pass and open the gate: contexts, features and single
  // tests go through, and no error is stored.
  EXPECT_EQ(QOXRunAllSDKSelfTests(), kQOXErrNoErr);
  EXPECT_TRUE(qoxHaveRunAllSelfTests());
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrNoErr);
  EXPECT_EQ(qoxEnterFunction(), kQOXErrNoErr);
  QOXContext* opened = nullptr;
  EXPECT_EQ(QOXNewContext(kQOXAPIVersion, &opened), kQOXErrNoErr);
  EXPECT_NE(opened, nullptr);
  EXPECT_EQ(QOXGetFeatureFlags(1, &flags), kQOXErrNoErr);
  EXPECT_EQ(QOXRunSDKSelfTest(1), kQOXErrNoErr);
  EXPECT_EQ(QOXRunSDKSelfTest(2), kQOXErrNoErr);
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeContext(opened), kQOXErrNoErr);

  // Stopped toolkit, no error stored: the gate lets calls through.
  ASSERT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
  EXPECT_EQ(qoxEnterFunction(), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);

  // An unknown test number is a failure like any other: it closes the gate,
  // and only the first error is kept.
  EXPECT_EQ(QOXRunSDKSelfTest(9), kQOXErrBadParams);
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrBadParams);
  EXPECT_EQ(qoxEnterFunction(), kQOXErrBadParams);
  qoxSetSDKErrorState(kQOXErrSelfTestFailed);
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrBadParams);
  EXPECT_EQ(QOXRunAllSDKSelfTests(), kQOXErrBadParams) << "the gate's error, not a new run";
  EXPECT_EQ(QOXGetFeatureFlags(1, &flags), kQOXErrBadParams);

  // Reset clears the error and runs all tests again; they fail, so the run
  // stores its error and the gate returns it.
  EXPECT_EQ(QOXResetSDKErrorState(), kQOXErrSelfTestFailed);
  EXPECT_TRUE(qoxHaveRunAllSelfTests());
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrSelfTestFailed);
  EXPECT_EQ(qoxEnterFunction(), kQOXErrSelfTestFailed);

  // Started again, the stored error still closes the gate.
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  refused = reinterpret_cast<QOXContext*>(1);
  EXPECT_EQ(QOXNewContext(kQOXAPIVersion, &refused), kQOXErrSelfTestFailed);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(QOXRunSDKSelfTest(2), kQOXErrSelfTestFailed);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
}

}  // namespace

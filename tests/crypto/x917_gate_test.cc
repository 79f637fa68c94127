// A generator whose CFB calls the entry gate refuses (as after a failed
// FIPS repeat check) must end its draw instead of cycling forever. FIPS mode
// stays on for the rest of a process, so this program holds one test.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"

namespace {

TEST(X917GateTest, RefusedCyclesEndTheDraw) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), 0);
  QOXRandomContext* rc = qoxPseudoRandomCreate(context);
  ASSERT_NE(rc, nullptr);

  // In FIPS mode the gate refuses every call until the self-tests have run.
  ASSERT_EQ(QOXEnableFIPSMode(), 0);
  ASSERT_NE(qoxEnterFunction(), kQOXErrNoErr);
  std::vector<uint8_t> out(64, 0xEE);
  qoxRandomGetBytes(rc, out.data(), out.size());  // returns
  EXPECT_EQ(out, std::vector<uint8_t>(64, 0)) << "nothing was generated; the rest is zeroed";

  qoxSetHaveRunAllSelfTests();
  ASSERT_EQ(qoxEnterFunction(), kQOXErrNoErr);
  qoxRandomGetBytes(rc, out.data(), out.size());
  EXPECT_NE(out, std::vector<uint8_t>(64, 0)) << "the same generator works once the gate opens";
  rc->destroy(rc);
  EXPECT_EQ(QOXFreeContext(context), 0);
  QOXsdkCleanup();
}

}  // namespace

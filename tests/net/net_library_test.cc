// Start-up and clean-up of the network library and its hold on the toolkit.
#include <gtest/gtest.h>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "net/ber.h"
#include "net/sockets.h"

namespace {

TEST(NetworkLibrary, CountsUsesAndStopsTheToolkitItStarted) {
  EXPECT_EQ(QOXsdkNetworkLibCleanup(), kQOXErrBadParams);
  EXPECT_EQ(qoxForceSDKNetworkLibCleanup(), kQOXErrBadParams);

  ASSERT_EQ(QOXsdkNetworkLibInit(), kQOXErrNoErr);
  ASSERT_EQ(QOXsdkNetworkLibInit(), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkNetworkLibCleanup(), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkNetworkLibCleanup(), kQOXErrNoErr);  // the last use stops the toolkit
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrBadParams);        // so it is no longer started
  EXPECT_EQ(QOXsdkNetworkLibCleanup(), kQOXErrBadParams);

  // A forced clean-up winds several uses down at once.
  ASSERT_EQ(QOXsdkNetworkLibInit(), kQOXErrNoErr);
  ASSERT_EQ(QOXsdkNetworkLibInit(), kQOXErrNoErr);
  EXPECT_EQ(qoxForceSDKNetworkLibCleanup(), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkNetworkLibCleanup(), kQOXErrBadParams);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrBadParams);
}

TEST(NetworkLibrary, LeavesAToolkitStartedByTheCallerRunning) {
  // The daemon starts the toolkit itself first; the library's clean-up only
  // takes back its own count.
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  ASSERT_EQ(QOXsdkNetworkLibInit(), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkNetworkLibCleanup(), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);  // the caller's own start is still there
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrBadParams);
}

TEST(NetworkLibrary, BerElementsLiveInAContext) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);
  QOXberElement* e = nullptr;
  EXPECT_EQ(QOXNewBERElement(nullptr, &e), kQOXErrBadParams);
  EXPECT_EQ(QOXNewBERElement(context, nullptr), kQOXErrBadParams);
  ASSERT_EQ(QOXNewBERElement(context, &e), kQOXErrNoErr);
  EXPECT_EQ(QOXberAppend(e, "{i}", 1), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeBERElement(e), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
}

}  // namespace

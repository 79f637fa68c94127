// The socket event: waits over sockets, time-outs, and wake-ups from another
// thread.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "server/support/zovurez.h"

namespace {

class ToolkitEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ToolkitEnv);

class SocketEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
    ASSERT_EQ(qoxCreateSocketEvent(&event_, pthread_self()), 0);
  }
  void TearDown() override {
    qoxFreeSocketEvent(event_);
    close(pair_[0]);
    close(pair_[1]);
  }
  int pair_[2];
  SocketEvent* event_ = nullptr;
};

TEST_F(SocketEventTest, TimesOutWithNothingReady) {
  qoxSetSocketSelectActivities(pair_[0], event_, 1);
  timeval tv{0, 20000};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &tv, pair_[0] + 1), kQOXErrSocketTimedOut);
  int activity = -1;
  qoxGetSocketSelectActivity(pair_[0], event_, &activity);
  EXPECT_EQ(activity, 0);
}

TEST_F(SocketEventTest, ReportsReadableAndWritable) {
  ASSERT_EQ(write(pair_[1], "x", 1), 1);
  qoxSetSocketSelectActivities(pair_[0], event_, 1);
  qoxSetSocketSelectActivities(pair_[1], event_, 2);
  timeval forever{-1, 0};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &forever, 1024), kQOXSocketEventReady);
  int activity = -1;
  qoxGetSocketSelectActivity(pair_[0], event_, &activity);
  EXPECT_EQ(activity, 1);
  qoxGetSocketSelectActivity(pair_[1], event_, &activity);
  EXPECT_EQ(activity, 2);
  // Descriptors at or above the count are not watched.
  qoxZeroSocketSelectActivities(event_);
  qoxSetSocketSelectActivities(pair_[0], event_, 1);
  timeval shortWait{0, 20000};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &shortWait, pair_[0]), kQOXErrSocketTimedOut);
}

TEST_F(SocketEventTest, AnotherThreadWakesTheWait) {
  qoxSetSocketSelectActivities(pair_[0], event_, 1);
  std::thread waker([this] { qoxSignalSocketEvent(event_); });
  timeval forever{-1, 0};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &forever, pair_[0] + 1), kQOXSocketEventReady);
  waker.join();
  int activity = -1;
  qoxGetSocketSelectActivity(pair_[0], event_, &activity);
  EXPECT_EQ(activity, 0);  // woken, not ready
  // The wake-up was consumed: the next wait times out.
  timeval shortWait{0, 20000};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &shortWait, pair_[0] + 1), kQOXErrSocketTimedOut);
}

TEST_F(SocketEventTest, ManyWakersOneWaiter) {
  std::thread wakers[4];
  for (auto& t : wakers)
    t = std::thread([this] {
      for (int i = 0; i < 100; ++i) qoxSignalSocketEvent(event_);
    });
  for (auto& t : wakers) t.join();
  timeval forever{-1, 0};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &forever, 0), kQOXSocketEventReady);
  timeval shortWait{0, 20000};
  EXPECT_EQ(qoxWaitSocketEvent(event_, &shortWait, 0), kQOXErrSocketTimedOut);
}

}  // namespace

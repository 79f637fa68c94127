// Signals: the handlers set the flags; the relay thread wakes the listener's
// event; the shutdown and restart signals reach only the relay.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "server/backend.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

class ToolkitEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ToolkitEnv);

bool SignalBlockedHere(int sig) {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return sigismember(&current, sig) == 1;
}

TEST(Signals, HandlersSetFlagsAndTheRelayWakesTheListener) {
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  SocketEvent* wake = nullptr;
  ASSERT_EQ(qoxCreateSocketEvent(&wake, pthread_self()), 0);
  {
    QOXMutexGuard guard(&g_mutexSignalRelay);
    g->listenerWakeEvent = wake;
  }
  vuzizInstallSignalHandlers();
  vuzizStartSignalRelay();
  // The starting thread, and every thread it starts from now on, no longer
  // takes the shutdown and restart signals.
  EXPECT_TRUE(SignalBlockedHere(SIGTERM));
  EXPECT_TRUE(SignalBlockedHere(SIGHUP));
  bool workerBlocked = false;
  std::thread([&] { workerBlocked = SignalBlockedHere(SIGINT) && SignalBlockedHere(SIGUSR2); }).join();
  EXPECT_TRUE(workerBlocked);

  vuziz_shutdown = 0;
  g_bHUPReceived = 0;
  kill(getpid(), SIGHUP);
  timeval forever{-1, 0};
  EXPECT_EQ(qoxWaitSocketEvent(wake, &forever, 0), kQOXSocketEventReady);
  EXPECT_EQ(g_bHUPReceived.load(), 1);
  EXPECT_EQ(vuziz_shutdown.load(), 1);

  vuziz_shutdown = 0;
  g_bHUPReceived = 0;
  for (int sig : {SIGTERM, SIGINT, SIGUSR2}) {
    SCOPED_TRACE(sig);
    vuziz_shutdown = 0;
    kill(getpid(), sig);
    EXPECT_EQ(qoxWaitSocketEvent(wake, &forever, 0), kQOXSocketEventReady);
    EXPECT_EQ(vuziz_shutdown.load(), 1);
    EXPECT_EQ(g_bHUPReceived.load(), 0);
  }

  // A second shutdown signal only sets the flag again.
  kill(getpid(), SIGTERM);
  EXPECT_EQ(qoxWaitSocketEvent(wake, &forever, 0), kQOXSocketEventReady);
  EXPECT_EQ(vuziz_shutdown.load(), 1);

  vuzizStopSignalRelay();
  vuzizReleaseGlobals(&g, 0);  // frees the wake event under the relay's mutex
  EXPECT_EQ(g, nullptr);
}

TEST(BackendTable, RecordsEntryPointsAndClose) {
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  EXPECT_EQ(new_backend("LDBM", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_EQ(g->backendCapacity, 2);
  Backend* be = select_backend();
  ASSERT_NE(be, nullptr);
  EXPECT_STREQ(be->type, "ldbm");
  EXPECT_NE(be->config, nullptr);
  EXPECT_NE(be->close, nullptr);
  // An unknown type gives a record without entry points, and success.
  EXPECT_EQ(new_backend("shell", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_EQ(new_backend("x", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_EQ(g->backendCount, 3);
  EXPECT_EQ(g->backendCapacity, 4);  // grows two records at a time
  Backend& unknown = g->backends[1];
  EXPECT_EQ(unknown.type, nullptr);
  EXPECT_EQ(unknown.bind, nullptr);
  EXPECT_EQ(unknown.config, nullptr);
  EXPECT_EQ(unknown.release, nullptr);
  EXPECT_EQ(be_issuffix(), 1);
  EXPECT_EQ(be_isroot(), 0);
  EXPECT_EQ(be_isroot_pw(), 0);

  ErrorLogInit("test", kLogVerbose, 0, 1, nullptr);
  testing::internal::CaptureStderr();
  be_SyncDB();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Verbose: Commiting database cache data to disk.\n");
  ErrorLogClose();

  char* url = zovurezStrdup("ldap://10.0.0.1");
  charray_add(&g->backends[0].replicaURLs, url);
  be_close();  // frees the replica lists with the records
  EXPECT_EQ(g->backends, nullptr);
  EXPECT_EQ(g->backendCount, 0);
  vuzizReleaseGlobals(&g, 0);
}

}  // namespace

// Signals: the handlers set the flags; the relay thread wakes the listener's
// event; the shutdown and restart signals reach only the relay.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "backend/ldbm_register.h"
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
  ldbm_register();
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  EXPECT_EQ(new_backend("LDBM", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_EQ(g->backendCapacity, 2);
  Backend* be = select_backend();
  ASSERT_NE(be, nullptr);
  EXPECT_STREQ(be->type, "ldbm");
  EXPECT_NE(be->ops.config, nullptr);
  EXPECT_NE(be->ops.close, nullptr);
  // An unknown type gives a record without entry points, and success.
  EXPECT_EQ(new_backend("shell", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_EQ(new_backend("x", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_EQ(g->backendCount, 3);
  EXPECT_EQ(g->backendCapacity, 4);  // grows two records at a time
  Backend& unknown = g->backends[1];
  EXPECT_EQ(unknown.type, nullptr);
  EXPECT_EQ(unknown.ops.bind, nullptr);
  EXPECT_EQ(unknown.ops.config, nullptr);
  EXPECT_EQ(unknown.ops.release, nullptr);
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

// A registration whose entry points and storage calls note their calls.
struct RegistrationCalls {
  int init = 0;
  Backend* initRecord = nullptr;
  int sync = 0;
  int resetRefcounts = 0;
  int lock = 0;
};
RegistrationCalls gCalls;

const BackendRegistration* NotingRegistration() {
  static const BackendRegistration registration = [] {
    BackendRegistration r{};
    r.type = "ldbm";
    r.ops.init = [](Backend* be) {
      ++gCalls.init;
      gCalls.initRecord = be;
      return 0;
    };
    r.ops.sync = [](Backend*) {
      ++gCalls.sync;
      return 0;
    };
    r.storage.lockDBs = [](Backend*, FILE** lock) {
      ++gCalls.lock;
      *lock = nullptr;
      return 0;
    };
    r.storage.cacheResetRefcounts = [](Backend*) { ++gCalls.resetRefcounts; };
    return r;
  }();
  return &registration;
}

TEST(BackendTable, CoreReachesTheBackendOnlyThroughItsRegistration) {
  // Nothing registered: a record without entry points, said in the log,
  // and start-up storage calls that fail, so the daemon stops before serving.
  be_register(nullptr);
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  ErrorLogInit("test", kLogVerbose, 0, 1, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(new_backend("ldbm", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("No backend is registered"), std::string::npos);
  ErrorLogClose();
  Backend* be = select_backend();
  ASSERT_NE(be, nullptr);
  EXPECT_EQ(be->type, nullptr);
  EXPECT_EQ(be->ops.init, nullptr);
  EXPECT_EQ(be->ops.bind, nullptr);
  EXPECT_EQ(be->ops.search, nullptr);
  EXPECT_EQ(be->ops.config, nullptr);
  EXPECT_EQ(be_CreateDatabases(be), -1);
  FILE* lock = stdin;
  EXPECT_EQ(be_LockDBs(be, &lock), 1);
  EXPECT_EQ(lock, nullptr);
  uint16_t found = 7;
  EXPECT_EQ(be_CheckRequiredDBs(be, &found), 1);
  EXPECT_EQ(found, 0);
  int method = 0;
  EXPECT_NE(be_ReadIndexMethodFromDB(be, &method), 0);
  EXPECT_NE(be_WriteIndexMethodToDB(be, 1), 0);
  EXPECT_EQ(be_CheckCacheSplitInfo(), 0);
  be_close();

  // Registered: new_backend copies the table and calls init at once; the
  // idle sync and the storage calls go through the registration.
  be_register(NotingRegistration());
  gCalls = RegistrationCalls{};
  EXPECT_EQ(new_backend("LDBM", &g->backends, &g->backendCount, &g->backendCapacity), 0);
  be = select_backend();
  EXPECT_STREQ(be->type, "ldbm");
  EXPECT_EQ(gCalls.init, 1);
  EXPECT_EQ(gCalls.initRecord, be);
  EXPECT_EQ(be->ops.bind, nullptr);  // not in that table
  EXPECT_EQ(be_LockDBs(be, &lock), 0);
  EXPECT_EQ(gCalls.lock, 1);
  be_SyncDB();
  EXPECT_EQ(gCalls.sync, 1);
  EXPECT_EQ(gCalls.resetRefcounts, 1);
  be_close();
  vuzizReleaseGlobals(&g, 0);
  ldbm_register();
}

}  // namespace

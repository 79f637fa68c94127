// Connection threads write access-log lines while the listener rotates the
// log: no line is lost, cut or interleaved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/access_log.h"
#include "server/connection.h"
#include "server/error_log.h"
#include "server/log_rotation.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

namespace fs = std::filesystem;

void Quiet(const char*) {}

TEST(AccessLogConcurrencyTest, LinesSurviveRotation) {
  setenv("TZ", "UTC0", 1);
  tzset();
  ErrorLogInit("QOX Keyserver", kLogError, 389, 1, Quiet);
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  g->context = ServerToolkitEnvironment::context;
  std::string dir = testing::TempDir() + "access_log_conc_" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  g->AccessLogFile = zovurezStrdup((dir + "/access.log").c_str());
  g->AccessLogDetails = kOpTypeSearch;
  g->AccessLogFormat = 1;
  g->tzOffset = 0;
  g->CycleLogDay = 7;
  g->CycleLogTime = 0;
  g->CycleLogKeep = 100;
  constexpr int kThreads = 6, kLines = 200;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &running] {
      Connection conn{};
      conn.connNumber = t;
      conn.clientAddress = const_cast<char*>("10.0.0.1");
      Operation op{};
      op.startTime = 1700000000;
      op.boundDN = const_cast<char*>("");
      for (int i = 0; i < kLines; ++i) {
        OpAccessLogData none{};
        conn.keyBytesSent = i;
        logFileStdElementsStartTimer(&conn);
        AddAccessLogEntry(&conn, &op, kOpTypeSearch, &none, 1, 0);
      }
      --running;
    });
  }
  CycleLogContext context{0, 0};
  time_t day = 1699833540;
  while (running > 0) {
    CycleLog(&context, day);
    day += 86400;
    usleep(1000);
  }
  for (auto& th : threads) th.join();
  std::regex line("SRC [0-5] 2023-11-14 22:13:20 0000 [0-9]+\\.[0-9]{2} 0 10\\.0\\.0\\.1 - 1 [0-9]+");
  int total = 0;
  for (auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path());
    for (std::string l; std::getline(in, l); ++total) EXPECT_TRUE(std::regex_match(l, line)) << l;
  }
  EXPECT_EQ(total, kThreads * kLines);
  if (g->accessLogFd >= 0) close(g->accessLogFd);
  g->context = nullptr;
  vuzizReleaseGlobals(&g, 0);
  ErrorLogClose();
  fs::remove_all(dir);
}

}  // namespace

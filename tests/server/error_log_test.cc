// LogError's levels, prefixes and line ends; the event log and its kept copy;
// reading length-suffixed records backwards.
#include "server/error_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"

namespace {

class ToolkitEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ToolkitEnv);

std::vector<std::string>* gSunk = nullptr;
void Sink(const char* text) { gSunk->push_back(text); }

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gSunk = &sunk_;
    ErrorLogInit("QOX Keyserver", kLogWarning, 389, 1, Sink);
  }
  void TearDown() override {
    LogErrorSetType(1);
    ErrorLogClose();
    gSunk = nullptr;
  }
  std::vector<std::string> sunk_;
};

TEST_F(ErrorLogTest, LevelsPrefixesAndLineEnds) {
  struct Case {
    int level;
    const char* message;
    const char* expected;  // on standard error and at the sink
  } cases[] = {
      {kLogInfo, "below the level", ""},
      {kLogVerbose, "below the level", ""},
      {kLogWarning, "no line end", "Warning: no line end\n"},
      {kLogError, "one line end\n", "Error: one line end\n"},
      {16, "unknown level", "Warning: unknown level\n"},
      {kLogError, "100% of %s", "Error: 100% of %s\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    sunk_.clear();
    testing::internal::CaptureStderr();
    if (std::string(c.message).find('%') != std::string::npos)
      LogError(c.level, "%s", c.message);
    else
      LogError(c.level, c.message, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
    if (*c.expected == '\0')
      EXPECT_TRUE(sunk_.empty());
    else
      EXPECT_EQ(sunk_, std::vector<std::string>{c.expected});
  }
}

TEST_F(ErrorLogTest, PrefixSwitchAndEmptyMessage) {
  UpdateErrorLogValues(kLogVerbose, -1, -1);
  testing::internal::CaptureStderr();
  LogError(kLogVerbose, "%s", "");
  LogErrorSetType(0);
  LogError(kLogInfo, "No errors processing configuration file.");
  LogError(kLogError, "%s", "");  // an empty text gets no line end
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Verbose: \nNo errors processing configuration file.\n");
  EXPECT_EQ(ErrorLogLevel(), kLogVerbose);
}

TEST_F(ErrorLogTest, CloseResetsLevelAndInteractive) {
  ErrorLogClose();
  EXPECT_EQ(ErrorLogLevel(), 0);
  EXPECT_EQ(ErrorLogInteractive(), 0);
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/eventlog-XXXXXX";
    dir_ = mkdtemp(pattern);
    name_ = dir_ + "/vuziz.389.errorlog";
  }
  void TearDown() override {
    IPCEventLogCleanup();
    ErrorLogClose();
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string Read(const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  std::string dir_, name_;
  QOXMutex timeMutex_ = QOX_MUTEX_INITIALIZER;
};

TEST_F(EventLogTest, DatedLinesAndThePreviousCopy) {
  ASSERT_EQ(IPCEventLogInit(name_.c_str(), &timeMutex_), 0);
  ErrorLogInit("QOX Keyserver", kLogWarning, 389, 1, IPCLogError);
  testing::internal::CaptureStderr();
  LogError(kLogError, "first %d", 1);
  LogError(kLogInfo, "dropped everywhere");
  testing::internal::GetCapturedStderr();
  IPCEventLogCleanup();
  std::string first = Read(name_);
  // "MM/DD/YYYY HH:MM:SS " and the message.
  const std::string shape = "dd/dd/dddd dd:dd:dd ";
  ASSERT_GE(first.size(), shape.size());
  for (size_t i = 0; i < shape.size(); ++i)
    EXPECT_TRUE(shape[i] == 'd' ? isdigit(static_cast<unsigned char>(first[i])) : first[i] == shape[i]) << first;
  EXPECT_EQ(first.substr(shape.size()), "Error: first 1\n");

  // Month first: the line of a known local time.
  // Opened again (a restart): the first line stays, the next is appended.
  ASSERT_EQ(IPCEventLogInit(name_.c_str(), &timeMutex_), 0);
  EXPECT_EQ(Read(name_), first);
  IPCLogError("Error: second\n");
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char date[16];
  strftime(date, sizeof date, "%m/%d/%Y", &local);
  std::string both = Read(name_);
  ASSERT_EQ(both.substr(0, first.size()), first);
  std::string second = both.substr(first.size());
  EXPECT_EQ(second.substr(0, 10), date);
  EXPECT_EQ(second.substr(19), " Error: second\n");
}

TEST_F(EventLogTest, OpenFailures) {
  EXPECT_EQ(IPCEventLogInit(nullptr, &timeMutex_), kQOXErrBadParams);
  EXPECT_EQ(IPCEventLogInit(name_.c_str(), nullptr), kQOXErrBadParams);
  EXPECT_EQ(IPCEventLogInit((dir_ + "/missing/x").c_str(), &timeMutex_), kQOXErrCantOpenFile);
  EXPECT_EQ(IPCEventLogStream(), nullptr);
  IPCLogError("ignored while disabled\n");
}

TEST(ReverseRead, RecordsEndingWithTheirLength) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  fputs("hello008wor006", f);
  char buffer[256];
  EXPECT_EQ(ReverseRead(f, buffer, 256, 0), 1);
  EXPECT_STREQ(buffer, "wor");
  EXPECT_EQ(ReverseRead(f, buffer, 256, 1), 1);  // from the start of that record
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(ReverseRead(f, buffer, 100, 0), 0);  // the size must be 256
  EXPECT_EQ(ReverseRead(nullptr, buffer, 256, 0), 0);
  fclose(f);

  // Lengths that cannot hold their own digits, or exceed the buffer.
  for (const char* text : {"abc000", "abc002", "x999"}) {
    SCOPED_TRACE(text);
    f = tmpfile();
    fputs(text, f);
    EXPECT_EQ(ReverseRead(f, buffer, 256, 0), 0);
    fclose(f);
  }
}

TEST(DebugTrace, MaskSelectsLines) {
  DebugSetLevel(kTraceConfig);
  testing::internal::CaptureStderr();
  vuzizTrace(kTraceConfig, "line %d (%s)\n", 3, "Port 389");
  vuzizTrace(kTraceStartStop, "not printed\n");
  std::string out = testing::internal::GetCapturedStderr();
  DebugSetLevel(0);
  char expected[64];
  snprintf(expected, sizeof expected, "[% 4.4d] line 3 (Port 389)\n", vuzizThreadNumber());
  EXPECT_EQ(out, expected);
}

}  // namespace

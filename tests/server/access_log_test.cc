// The access log: lines of both formats parsed by regular expressions,
// selection by AccessLogDetails, and rotation driven by the caller's clock
// (dated names, CycleLogKeep copies, no second rotation on one day, the
// weekly schedule, and that only the server's own dated copies are pruned).
#include "server/access_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server/connection.h"
#include "server/error_log.h"
#include "server/log_rotation.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

// 2023-11-12 23:59:00 UTC, a Sunday.
constexpr time_t kSunday2359 = 1699833540;
// 2023-11-14 22:13:20 UTC (17:13:20 at UTC-5).
constexpr time_t kStart = 1700000000;

class AccessLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    g->context = ServerToolkitEnvironment::context;
    gMessages = &messages_;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
    dir_ = testing::TempDir() + "access_log_" + std::to_string(getpid()) + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    log_ = dir_ + "/access.log";
    g->AccessLogFile = zovurezStrdup(log_.c_str());
    g->AccessLogDetails = 2 | 4 | 8 | 16 | 32 | 64 | 128 | 256;
    conn_.connNumber = 7;
    conn_.clientAddress = const_cast<char*>("10.0.0.1");
    op_.startTime = static_cast<uint32_t>(kStart);
    op_.boundDN = const_cast<char*>("");
  }
  void TearDown() override {
    if (g->accessLogFd >= 0) close(g->accessLogFd);
    ErrorLogClose();
    gMessages = nullptr;
    g->context = nullptr;
    vuzizReleaseGlobals(&g, 0);
    fs::remove_all(dir_);
    unsetenv("TZ");
    tzset();
  }
  std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  std::string Last() {
    auto lines = Lines(log_);
    return lines.empty() ? "" : lines.back();
  }
  bool Logged(const std::string& text) const {
    for (const std::string& m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }
  std::set<std::string> Files() {
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }
  void WriteLine() {
    OpAccessLogData none{};
    ASSERT_EQ(AddAccessLogEntry(&conn_, &op_, kOpTypeUnbind, &none, 0, 0), 0);
  }
  std::string dir_, log_;
  Connection conn_{};
  Operation op_{};
  std::vector<std::string> messages_;
};

struct LineCase {
  int32_t type;
  const char* key1;
  const char* key2;
  const char* code;
  const char* text;  // objectText
  int count;
  const char* boundDN;
  const char* version1;  // expected code and object field
  const char* standard;  // expected code, object field and suffix
};

const LineCase kLines[] = {
    {kOpTypeBind, "", "", "", nullptr, 0, "", "BND (.*) -", "BND (.*) -"},
    {kOpTypeBind, "", "", "", nullptr, -45, "cn=a \"b\"", "BND (.*) \"cn=a \\\\\"b\\\\\"\"",
     "BDR (.*) \"cn=a \\\\\"b\\\\\"\""},
    {kOpTypeAdd, "1111AAAA", "2222BBBB", "", nullptr, 0, "", "ADD (.*) 0x2222BBBB 0x1111AAAA",
     "ADD (.*) 0x2222BBBB 0x1111AAAA 3 4 5"},
    {kOpTypeAdd, "1111AAAA", "", "", nullptr, 0, "", "ADD (.*) - 0x1111AAAA", "ADD (.*) - 0x1111AAAA 3 4 5"},
    {kOpTypeAddMerged, "", "2222BBBB", "", nullptr, 0, "", "MOD (.*) 0x2222BBBB -", "MOD (.*) 0x2222BBBB - 3 4 5"},
    {kOpTypeAddMerged, "", "", "", nullptr, 0, "", "MOD (.*) - -", "MOD (.*) - - 3 4 5"},
    {kOpTypeSearch, "", "", "", nullptr, 12, "", "SRC (.*) 12 -", "SRC (.*) 12 5"},
    {kOpTypeSearch, "", "", "", nullptr, -42, "", "SRC (.*) 1 -", "SRC (.*) 0 5"},
    {kOpTypeSearch, "", "", "", nullptr, -43, "", "SRC (.*) 1 -", "SRP (.*) 1 5"},
    {kOpTypeSearch, "", "", "", nullptr, -44, "", "SRC (.*) 1 -", "SRD (.*) 1 5"},
    {kOpTypeSearch, "", "", "", nullptr, -99, "", "SRC (.*) 0 -", "SRC (.*) 0 0"},
    {kOpTypeSearch, "", "", "", nullptr, -7, "", "SRC (.*) 0 -", "SRC (.*) 0 \\?"},
    {kOpTypeSignedDelete, "ABCDEF01", "", "", "QOXCERTID=0X12AB,O=X", 0, "",
     // Every 'X' of the DN is lowered, as for hexadecimal key IDs.
     "DLT (.*) \"QOxCERTID=0x12AB,O=x\" 0xABCDEF01", "DLT (.*) \"QOxCERTID=0x12AB,O=x\" 0xABCDEF01"},
    {kOpTypeSignedDelete, "ABCDEF01", "", "", nullptr, -46, "", "DLT (.*) - 0xABCDEF01", "DIS (.*) - 0xABCDEF01"},
    {kOpTypeOther, "", "", "MOD", "cn=x", 0, "", "DAP (.*) MOD \"cn=x\"", "DAP (.*) MOD \"cn=x\""},
    {kOpTypeOther, "", "", "CMP", nullptr, 0, "", "DAP (.*) CMP -", "DAP (.*) CMP -"},
    {512, "", "", "", nullptr, 0, "", "\\?\\?\\? (.*) -", "\\?\\?\\? (.*) -"},
};

TEST_F(AccessLogTest, LinesOfBothFormats) {
  conn_.newUserIDs = 3;
  conn_.newSignatures = 4;
  conn_.keyBytesSent = 5;
  g->AccessLogDetails |= 512;
  for (int format : {0, 1}) {
    g->AccessLogFormat = format;
    for (int zone : {-300, 780}) {
      if (format == 0 && zone == 780) continue;
      g->tzOffset = zone;
      setenv("TZ", zone == -300 ? "EST5" : "UTC0", 1);
      tzset();
      for (const LineCase& c : kLines) {
        OpAccessLogData d{};
        snprintf(d.code, sizeof d.code, "%s", c.code);
        snprintf(d.keyID1, sizeof d.keyID1, "%s", c.key1);
        snprintf(d.keyID2, sizeof d.keyID2, "%s", c.key2);
        d.objectText = c.text != nullptr ? zovurezStrdup(c.text) : nullptr;
        op_.boundDN = const_cast<char*>(c.boundDN);
        logFileStdElementsStartTimer(&conn_);
        ASSERT_EQ(AddAccessLogEntry(&conn_, &op_, c.type, &d, c.count, 53), 0);
        FreeAccessLogOpData(c.type, &d);
        if (d.objectText != nullptr) zovurezFree(d.objectText);
        // Fields: code, connection, time, result, address, host, object.
        std::string time = format == 0 || zone == 780 ? "2023-11-14 22:13:20" : "2023-11-14 17:13:20 -0500";
        if (format == 1) time += " 0\\.[0-9]{2}";  // elapsed: whole seconds, hundredths
        std::string expected = format == 0 ? c.version1 : c.standard;
        std::string pattern = expected.substr(0, expected.find(" (.*) ")) + " 7 " + time + " 53 10\\.0\\.0\\.1 - " +
                              expected.substr(expected.find(" (.*) ") + 6);
        EXPECT_TRUE(std::regex_match(Last(), std::regex(pattern)))
            << "format " << format << " zone " << zone << "\n  line:    " << Last() << "\n  pattern: " << pattern;
      }
    }
  }
  EXPECT_TRUE(Logged("Severe Error. Message: (Undefined search failure.) File: (vuzizLogAccess)"));
}

TEST_F(AccessLogTest, DetailsSelectTheLines) {
  g->AccessLogDetails = kOpTypeSearch;
  OpAccessLogData none{};
  EXPECT_EQ(AddAccessLogEntry(&conn_, &op_, kOpTypeBind, &none, 0, 0), 0);
  EXPECT_EQ(AddAccessLogEntry(&conn_, &op_, kOpTypeOther, &none, 0, 0), 0);
  EXPECT_EQ(AddAccessLogEntry(&conn_, &op_, kOpTypeSearch, &none, 1, 0), 0);
  auto lines = Lines(log_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 3), "SRC");
  // A log that cannot be opened switches the access log off for the pass.
  close(g->accessLogFd);
  g->accessLogFd = -2;
  zovurezFree(g->AccessLogFile);
  g->AccessLogFile = zovurezStrdup((dir_ + "/missing/dir/access.log").c_str());
  EXPECT_EQ(AddAccessLogEntry(&conn_, &op_, kOpTypeSearch, &none, 1, 0), 0);
  EXPECT_EQ(g->accessLogFd, -1);
  EXPECT_TRUE(Logged("Opening access log file ("));
  EXPECT_EQ(AddAccessLogEntry(&conn_, &op_, kOpTypeSearch, &none, 1, 0), 0);
  EXPECT_EQ(g->AccessLogDetails, 0);
}

TEST_F(AccessLogTest, DatedNames) {
  struct tm when {};
  time_t t = kSunday2359;
  gmtime_r(&t, &when);
  struct Case {
    const char* name;
    const char* dated;
  } cases[] = {
      {"/var/log/access.log", "/var/log/access.20231112.log"},
      {"/var/log/access.old.log", "/var/log/access.old.20231112.log"},
      {"/var/log/access", "/var/log/access.20231112"},        // no extension: appended
      {"/var/log.d/access", "/var/log.d/access.20231112"},    // a dot in a directory is no extension
  };
  for (const Case& c : cases) {
    char* out = nullptr;
    ASSERT_EQ(GetCycledFileName(c.name, &when, &out), 0);
    EXPECT_STREQ(out, c.dated);
    zovurezFree(out);
  }
}

TEST_F(AccessLogTest, RotationCopiesTruncatesAndSkips) {
  g->CycleLogDay = 7;
  g->CycleLogTime = 1439;
  g->CycleLogKeep = 2;
  CycleLogContext context{0, kSunday2359};
  // Nothing logged yet: skipped.
  EXPECT_EQ(CycleLog(&context, kSunday2359), 0);
  EXPECT_TRUE(Logged("nothing had been logged to the access log.  Log cycling was skipped."));
  WriteLine();
  std::string first = Last();
  EXPECT_EQ(CycleLog(&context, kSunday2359), 0);
  EXPECT_EQ(context.secondsLeft, 86400);  // daily: tomorrow 23:59
  EXPECT_EQ(Lines(dir_ + "/access.20231112.log"), std::vector<std::string>{first});
  EXPECT_TRUE(Lines(log_).empty());
  // A second rotation the same day finds the copy and leaves the log alone.
  WriteLine();
  messages_.clear();
  EXPECT_EQ(CycleLog(&context, kSunday2359 + 30), 0);
  EXPECT_TRUE(Logged("Today's cycled log file already exists."));
  EXPECT_EQ(Lines(log_).size(), 1u);
  EXPECT_EQ(Lines(dir_ + "/access.20231112.log").size(), 1u);
  // The next line reopens the log and lands at its end.
  WriteLine();
  EXPECT_EQ(Lines(log_).size(), 2u);
}

TEST_F(AccessLogTest, WeeklyScheduleAndIsCycleLogTime) {
  g->CycleLogDay = 0;  // Sunday
  g->CycleLogTime = 1439;
  CycleLogContext context{0, kSunday2359};
  WriteLine();
  ASSERT_EQ(CycleLog(&context, kSunday2359), 0);
  EXPECT_EQ(context.secondsLeft, 7 * 86400);  // the following Sunday 23:59
  context.lastCheck = kSunday2359;
  EXPECT_FALSE(IsCycleLogTime(&context, kSunday2359 + 3 * 86400));
  EXPECT_TRUE(IsCycleLogTime(&context, kSunday2359 + 7 * 86400 + 1));
  g->CycleLogDay = 8;  // never
  EXPECT_FALSE(IsCycleLogTime(&context, kSunday2359 + 30 * 86400));
}

TEST_F(AccessLogTest, PruningKeepsTheNewestAndOnlyTouchesDatedCopies) {
  g->CycleLogDay = 7;
  g->CycleLogTime = 1439;
  g->CycleLogKeep = 2;
  const char* existing[] = {"access.20231101.log", "access.20231105.log", "access.20231108.log",
                            "access.20231110.log",
                            // Not dated copies of access.log: never deleted.
                            "old-access.20231101.log", "access.20231101.log.bak", "access.log.20231101",
                            "accessX20231101.log", "access.2023110.logx", "access(1).20231101.log"};
  for (const char* name : existing) std::ofstream(dir_ + "/" + name) << "x\n";
  WriteLine();
  CycleLogContext context{0, kSunday2359};
  ASSERT_EQ(CycleLog(&context, kSunday2359), 0);
  std::set<std::string> expected = {"access.log",          "access.20231110.log",     "access.20231112.log",
                                    "old-access.20231101.log", "access.20231101.log.bak", "access.log.20231101",
                                    "accessX20231101.log", "access.2023110.logx",     "access(1).20231101.log"};
  EXPECT_EQ(Files(), expected);
  // CycleLogKeep 0: the log is emptied without a copy and every dated copy goes.
  g->CycleLogKeep = 0;
  WriteLine();
  ASSERT_EQ(CycleLog(&context, kSunday2359 + 86400), 0);
  EXPECT_EQ(Files().count("access.20231110.log") + Files().count("access.20231112.log") +
                Files().count("access.20231113.log"),
            0u);
  EXPECT_TRUE(Lines(log_).empty());
}

TEST(AccessLogCandidates, GrowAndSort) {
  char** names = nullptr;
  int count = 0, capacity = 0;
  for (int i = 300; i > 0; --i) ASSERT_EQ(AddCandidate(&names, std::to_string(1000 + i).c_str(), &count, &capacity), 0);
  EXPECT_EQ(count, 300);
  EXPECT_EQ(capacity, 396);  // 198, then doubled
  qsort(names, static_cast<size_t>(count), sizeof(char*), CmpCycleLogFiles);
  EXPECT_STREQ(names[0], "1001");
  EXPECT_STREQ(names[299], "1300");
  for (int i = 0; i < count; ++i) zovurezFree(names[i]);
  zovurezFree(names);
}

}  // namespace

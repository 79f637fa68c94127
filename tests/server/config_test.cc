// The configuration reader and the values the three passes store; the
// server state's release; access levels and rules; rotation timing.
#include "server/config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "backend/ldbm_register.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "server/access_rules.h"
#include "server/backend.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/log_rotation.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

class ToolkitEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    g_pszCurrentDirectory = zovurezStrdup("/start");
  }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ToolkitEnv);

class TempFile {
 public:
  explicit TempFile(const std::string& text) {
    char pattern[] = "/tmp/config-XXXXXX";
    int fd = mkstemp(pattern);
    path_ = pattern;
    ssize_t w = write(fd, text.data(), text.size());
    (void)w;
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(LineReader, LinesAreTrimmedCutAndNeverJoined) {
  std::string longLine(1100, 'y');
  TempFile f("  \tPort 1\n  continued\nx\r\n" + longLine + "\nlast");
  FILE* file = fopen(f.path(), "r");
  ASSERT_NE(file, nullptr);
  int line = 0;
  fp_getline_init(&line);
  std::vector<std::pair<int, std::string>> got;
  for (char* text; (text = fp_getline(file, &line)) != nullptr;) got.emplace_back(line, text);
  fp_getline_destroy();
  fclose(file);
  std::vector<std::pair<int, std::string>> want = {
      {0, ""},                                   // the first call: an empty line 0
      {1, "Port 1"},                             // leading white space removed
      {2, "continued"},                          // an ordinary line of its own
      {3, "x\r"},                                // the carriage return stays
      {4, longLine.substr(0, 1023)},             // a long line is cut...
      {5, longLine.substr(1023)},                // ...and its rest is the next line
      {6, "last"},                               // no final line end needed
  };
  EXPECT_EQ(got, want);
}

TEST(LineReader, TokensAndQuotes) {
  char line[] = "Allow\t host  \"my host\" a\"b c\"d \"\"";
  char* tokens[kMaxConfigTokens + 1];
  int count = 0;
  fp_parse_line(line, &count, tokens, 1, "f");
  ASSERT_EQ(count, 5);
  EXPECT_STREQ(tokens[0], "Allow");
  EXPECT_STREQ(tokens[1], "host");
  EXPECT_STREQ(tokens[2], "my host");
  EXPECT_STREQ(tokens[3], "ab cd");
  EXPECT_STREQ(tokens[4], "");
  EXPECT_EQ(tokens[5], nullptr);

  std::string many = "k";
  for (int i = 0; i < 120; ++i) many += " t" + std::to_string(i);
  testing::internal::CaptureStderr();
  ErrorLogInit("test", kLogWarning, 0, 1, nullptr);
  fp_parse_line(many.data(), &count, tokens, 7, "f");
  ErrorLogClose();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: f(7): Too many tokens found.  Only first 100 tokens will be used.\n");
  EXPECT_EQ(count, 100);
  EXPECT_STREQ(tokens[99], "t98");
  EXPECT_EQ(tokens[100], nullptr);
}

TEST(LineReader, KeyIDsAndPorts) {
  struct Case {
    const char* text;
    int result;
  } keys[] = {{"0x12345678", 0}, {"0x0123456789abcdef", 0}, {"0X12345678", -1},
              {"12345678", -1},  {"0x123456789", -1},       {"0x", -1}};
  for (const Case& c : keys) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CheckKeyID(c.text, "f", 1), c.result);
  }
  struct Port {
    const char* text;
    bool ok;
    int value;
  } ports[] = {{"389", true, 389}, {" -1", true, -1}, {"+0", true, 0},  {"65534", true, 65534},
               {"65535", false, 0}, {"-2", false, 0}, {"1x", false, 0}, {"", false, 0},
               {"99999999999999999999", false, 0}};
  for (const Port& p : ports) {
    SCOPED_TRACE(p.text);
    int v = 0;
    EXPECT_EQ(vuzizParsePort(p.text, &v), p.ok);
    if (p.ok) {
      EXPECT_EQ(v, p.value);
    }
  }
}

// What the backend's configuration entry point was given.
std::vector<std::vector<std::string>>* gBackendLines = nullptr;
int RecordingConfig(Backend*, const char* file, int line, int argc, char** argv) {
  std::vector<std::string> words = {file, std::to_string(line)};
  for (int i = 0; i < argc; ++i) words.emplace_back(argv[i]);
  gBackendLines->push_back(words);
  return 0;
}

class Passes : public ::testing::Test {
 protected:
  void SetUp() override {
    ldbm_register();
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    new_backend("ldbm", &g->backends, &g->backendCount, &g->backendCapacity);
    select_backend()->ops.config = RecordingConfig;
    gBackendLines = &backendLines_;
  }
  void TearDown() override {
    be_close();
    vuzizReleaseGlobals(&g, 0);
    EXPECT_EQ(g, nullptr);
    gBackendLines = nullptr;
  }
  int All(const std::string& text) {
    TempFile f(text);
    path_ = f.path();
    int rc = ReadConfigFirst(f.path(), kNoPortOverride, kNoPortOverride);
    if (rc == 0) rc = ReadConfig(f.path(), select_backend());
    if (rc == 0) rc = ReadConfigLast(f.path(), select_backend());
    return rc;
  }
  static std::vector<std::string> List(KeyIDNode* n) {
    std::vector<std::string> out;
    for (; n != nullptr; n = n->next) out.emplace_back(n->keyID);
    return out;
  }
  std::vector<std::vector<std::string>> backendLines_;
  std::string path_;
};

TEST_F(Passes, Defaults) {
  EXPECT_EQ(All("Port 3890\n"), 0);
  EXPECT_EQ(g->Port, 3890);
  EXPECT_EQ(g->SecurePort, 636);
  EXPECT_EQ(g->SecureMode, kSecureDisabled);
  EXPECT_EQ(g->AccessLogDetails, 248);
  EXPECT_EQ(g->DefaultAccess, kAccessAdd);
  EXPECT_EQ(g->CycleLogDay, 8);
  EXPECT_EQ(g->CycleLogTime, 1439);
  EXPECT_EQ(g->CycleLogKeep, 10);
  EXPECT_EQ(g->accessLogFd, -2);
  EXPECT_STREQ(g->controlFifoName, "/tmp/qoxkeysrv/QOXkeyserver-3890");
  EXPECT_STREQ(g->eventLogFile, "/start/vuziz.3890.errorlog");
  // Without a Directory line the backend is told "../data".
  ASSERT_EQ(backendLines_.size(), 1u);
  EXPECT_EQ(backendLines_[0], (std::vector<std::string>{"Manual Config", "-1", "directory", "../data"}));
}

TEST_F(Passes, StoredValues) {
  EXPECT_EQ(All("Port -1\nSecurePort 6360\nSecureMode optional\n"
                "AccessLogFile \"../logs/my access.log\" 0600\n"
                "CycleLogDay Sun\nCycleLogTime 1:05\nCycleLogKeep 99\n"
                "AccessLogDetails search add\n"
                "MustSigID 0x00000001 0x0000000000000002\nMustSigID 0x00000003\n"
                "Allow keyid 0x0000000A delete\nAllow keyid self delete\nAllow keyid 0x0000000B add\n"
                "Allow keyid 0x0000000C admin\n"
                "Allow ip 10.1.* add\nAllow host *.Example.com all\nAllow host * read\n"
                "IndexMethod word\nUser nobody\nReadOnly yes\n"
                "Directory ../db\nMode 0600\ndbCacheSplit id2entry 100\n"),
            0);
  EXPECT_EQ(g->Port, 0);  // -1 in the file disables the plain port
  EXPECT_EQ(g->SecurePort, 6360);
  EXPECT_STREQ(g->AccessLogFile, "/start/../logs/my access.log");
  EXPECT_EQ(g->accessLogMode, 0600);
  EXPECT_STREQ(g->eventLogFile, "/start/../logs/vuziz.6360.errorlog");
  EXPECT_STREQ(g->controlFifoName, "/tmp/qoxkeysrv/QOXkeyserver-6360");
  EXPECT_EQ(g->CycleLogDay, 0);
  EXPECT_EQ(g->CycleLogTime, 65);
  EXPECT_EQ(g->CycleLogKeep, 99);
  EXPECT_EQ(g->AccessLogDetails, 80);
  // One group per line, newest key first; the terminator stays empty.
  EXPECT_EQ(List(g->MustSigID[0]), (std::vector<std::string>{"0000000000000002", "00000001"}));
  EXPECT_EQ(List(g->MustSigID[1]), (std::vector<std::string>{"00000003"}));
  EXPECT_EQ(g->MustSigID[2], nullptr);
  EXPECT_EQ(List(g->addKeyIDs), (std::vector<std::string>{"0000000C", "0000000B", "0000000A"}));
  EXPECT_EQ(List(g->deleteKeyIDs), (std::vector<std::string>{"0000000C", "0000000A"}));
  EXPECT_EQ(List(g->adminKeyIDs), (std::vector<std::string>{"0000000C"}));
  EXPECT_EQ(g->deleteSelf, 1);
  ASSERT_NE(g->accessRules, nullptr);
  AccessAllow* r = g->accessRules;
  EXPECT_EQ(r->type, kAllowSubjectIP);
  EXPECT_STREQ(r->expression, "10\\.1\\..*");
  EXPECT_EQ(r->level, kAccessAdd);
  r = r->next;
  EXPECT_EQ(r->type, kAllowSubjectHost);
  EXPECT_STREQ(r->expression, ".*\\.EXAMPLE\\.COM");
  r = r->next;
  EXPECT_EQ(r->type, kAllowSubjectIP);  // the pattern "*" is an IP rule whatever the type
  EXPECT_EQ(r->next, nullptr);
  EXPECT_EQ(g->IndexMethod, 2);
  EXPECT_STREQ(g->User, "nobody");
  EXPECT_EQ(select_backend()->readOnly, 1);
  ASSERT_EQ(backendLines_.size(), 3u);
  EXPECT_EQ(backendLines_[0], (std::vector<std::string>{path_, "21", "Directory", "../db"}));
  EXPECT_EQ(backendLines_[2], (std::vector<std::string>{path_, "23", "dbCacheSplit", "id2entry", "100"}));
}

TEST_F(Passes, OverridesAndDetailWords) {
  TempFile f("Port 389\nSecurePort 636\nSecureMode optional\n");
  EXPECT_EQ(ReadConfigFirst(f.path(), 4000, 0), 0);
  EXPECT_EQ(g->Port, 4000);
  EXPECT_EQ(g->SecurePort, 0);
  EXPECT_EQ(g->SecureMode, kSecureDisabled);  // no secure port, no secure mode

  struct Case {
    const char* words;
    int32_t mask;
  } cases[] = {{"bind none search", 0}, {"search add", 80}, {"bind all", -1}, {"ldap", 0x100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    TempFile details(std::string("AccessLogDetails ") + c.words + "\n");
    EXPECT_EQ(ReadConfig(details.path(), select_backend()), 0);
    EXPECT_EQ(g->AccessLogDetails, c.mask);
  }
}

TEST_F(Passes, RestartKeepsSecureModeAndFormat) {
  EXPECT_EQ(All("Port 389\nSecurePort 636\nSecureMode optional\nAccessLogFormat version1\n"), 0);
  be_close();
  g_bHUPReceived = 1;
  vuzizReleaseGlobals(&g, 1);
  g_bHUPReceived = 0;
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  new_backend("ldbm", &g->backends, &g->backendCount, &g->backendCapacity);
  EXPECT_EQ(g->SecureMode, kSecureOptional);
  EXPECT_EQ(g->AccessLogFormat, 0);
  EXPECT_EQ(g->Port, 389);  // everything else back to its default
  EXPECT_EQ(g->AccessLogFile, nullptr);
}

TEST_F(Passes, ReleaseClosesAnAccessLogOnDescriptorZero) {
  // Once detached, standard input is closed and the access log may get 0.
  int saved = dup(0);
  close(0);
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_EQ(fd, 0);
  g->accessLogFd = 0;
  be_close();
  vuzizReleaseGlobals(&g, 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);  // closed, not leaked
  dup2(saved, 0);
  close(saved);
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  new_backend("ldbm", &g->backends, &g->backendCount, &g->backendCapacity);
}

TEST(AccessRules, LevelsAndPatterns) {
  EXPECT_EQ(str2access("NONE"), kAccessNone);
  EXPECT_EQ(str2access("compare"), kAccessRead);
  EXPECT_EQ(str2access("search"), kAccessRead);
  EXPECT_EQ(str2access("Delete"), kAccessDelete);
  EXPECT_EQ(str2access("groupupdate"), -1);
  EXPECT_STREQ(access2str(kAccessAdd | kAccessAll), "add");
  EXPECT_STREQ(access2str(0), "unknown");
  struct Case {
    const char* pattern;
    const char* expression;
  } cases[] = {{"10.1.*", "10\\.1\\..*"},
               {"host?.example.com", "HOST.\\.EXAMPLE\\.COM"},
               {"[a]+^$\\", "\\[A\\]\\+\\^\\$\\\\"},
               {"", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    char* out = nullptr;
    ASSERT_EQ(ConvertWildcards2REs(c.pattern, &out), 0);
    EXPECT_STREQ(out, c.expression);
    zovurezFree(out);
  }
}

TEST(Rotation, SecondsUntilTheNextRotation) {
  struct Case {
    int wday, hour, min, day, time;
    int64_t seconds;
  } cases[] = {
      {0, 23, 59, 0, 1439, 7 * 86400},          // Sunday 23:59 weekly: next Sunday
      {0, 23, 59, 7, 1439, 86400},              // daily: tomorrow
      {3, 10, 0, 7, 1439, (1439 - 600) * 60},   // later today
      {3, 10, 0, 3, 600, 7 * 86400},            // the cycle minute itself: next week
      {1, 0, 0, 3, 60, 2 * 86400 + 3600},       // Monday to Wednesday 01:00
      {5, 12, 0, 2, 0, 4 * 86400 - 12 * 3600},  // Friday noon to Tuesday 00:00
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.wday << " " << c.hour << ":" << c.min);
    struct tm now {};
    now.tm_wday = c.wday;
    now.tm_hour = c.hour;
    now.tm_min = c.min;
    int64_t seconds = -1;
    GetSecondsTilNextCycle(&seconds, &now, c.day, c.time);
    EXPECT_EQ(seconds, c.seconds);
  }
}

TEST(Rotation, DueWhenTheTimeHasPassed) {
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  g->CycleLogDay = 7;
  CycleLogContext c{100, 1000};
  EXPECT_FALSE(IsCycleLogTime(&c, 1060));
  EXPECT_EQ(c.secondsLeft, 40);
  EXPECT_TRUE(IsCycleLogTime(&c, 1101));
  EXPECT_EQ(c.secondsLeft, 0);
  EXPECT_TRUE(IsCycleLogTime(&c, 1102));  // stays due until recomputed
  g->CycleLogDay = 8;
  EXPECT_FALSE(IsCycleLogTime(&c, 2000));
  CycleLogContext* made = nullptr;
  EXPECT_EQ(CreateCycleLogContext(&made), 0);
  ASSERT_NE(made, nullptr);
  EXPECT_GT(made->secondsLeft, 0);
  FreeCycleLogContext(made);
  vuzizReleaseGlobals(&g, 0);
}

}  // namespace

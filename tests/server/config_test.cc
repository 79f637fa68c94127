// The configuration reader and the values the three passes store; the
// server state's release; access levels and rules; rotation timing.
#include "server/config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
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
  ConfigLineReader reader;
  fp_getline_init(&reader, &line);
  std::vector<std::pair<int, std::string>> got;
  for (char* text; (text = fp_getline(&reader, file, &line)) != nullptr;) got.emplace_back(line, text);
  fp_getline_destroy(&reader);
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

// The keyword table: each keyword with too few and with too many tokens,
// and numbers outside their range, give the messages the passes have
// always printed (the strings are the ones the hand-written passes used).
TEST_F(Passes, KeywordCountsAndRangesGiveTheirMessages) {
  struct Case {
    std::string line;
    std::string message;  // after "Error: <path>(2): "
  } cases[] = {
      // Pass 1.
      {"AccessLogFile", "Missing Filename in \"AccessLogFile <Filename> ...\" line.\n"},
      {"AccessLogFile a 0600 x", "Missing Filename in \"AccessLogFile <Filename> ...\" line.\n"},
      {"Port", "Missing port number in \"Port <Number>\" line\n"},
      {"Port 1 2", "Missing port number in \"Port <Number>\" line\n"},
      {"Port 65535", "Port number of '65535' is invalid.\n  Valid Port values: 1 - 65534.\n"},
      {"SecurePort", "Missing port number in \"SecurePort <Number>\" line\n"},
      {"SecurePort 1 2", "Missing port number in \"SecurePort <Number>\" line\n"},
      {"SecurePort 0", "Port number of '0' is invalid.\n  Valid SecurePort values: 1 - 65534.\n"},
      {"SecureMode", "Missing Mode in \"SecureMode <Mode>\" line\n"},
      {"SecureMode optional x", "Missing Mode in \"SecureMode <Mode>\" line\n"},
      // Pass 2: counts.
      {"SizeLimit", "Missing Limit in \"SizeLimit <Limit>\" line\n"},
      {"SizeLimit 1 2", "Missing Limit in \"SizeLimit <Limit>\" line\n"},
      {"TimeLimit", "Missing Limit in \"TimeLimit <Limit>\" line\n"},
      {"TimeLimit 1 2", "Missing Limit in \"TimeLimit <Limit>\" line\n"},
      {"CycleLogDay", "Missing Day in \"CycleLogDay <Day>\" line\n"},
      {"CycleLogDay sun mon", "Missing Day in \"CycleLogDay <Day>\" line\n"},
      {"CycleLogTime", "Missing Time in \"CycleLogTime <Time>\" line\n"},
      {"CycleLogTime 1:00 2:00", "Missing Time in \"CycleLogTime <Time>\" line\n"},
      {"CycleLogKeep", "Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n"},
      {"CycleLogKeep 1 2", "Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n"},
      {"PublicKeyRing", "Missing Filename in \"PublicKeyRing <Filename>\" line\n"},
      {"PublicKeyRing a b", "Missing Filename in \"PublicKeyRing <Filename>\" line\n"},
      {"PrivateKeyRing", "Missing Filename in \"PrivateKeyRing <Filename>\" line\n"},
      {"PrivateKeyRing a b", "Missing Filename in \"PrivateKeyRing <Filename>\" line\n"},
      {"RandSeedFile", "Missing Filename in \"RandSeedFile <Filename>\" line\n"},
      {"RandSeedFile a b", "Missing Filename in \"RandSeedFile <Filename>\" line\n"},
      {"RepLogFile", "Missing Filename in \"RepLogFile <Filename>\" line\n"},
      {"RepLogFile a b", "Missing Filename in \"RepLogFile <Filename>\" line\n"},
      {"ServerSecureKeyID", "Missing Key ID in \"ServerSecureKeyID <KeyID>\" line\n"},
      {"ServerSecureKeyID 0x12345678 x", "Missing Key ID in \"ServerSecureKeyID <KeyID>\" line\n"},
      {"ReplicationSecureKeyID", "Missing Key ID in \"ReplicationSecureKeyID <KeyID>\" line\n"},
      {"ReplicationSecureKeyID 0x12345678 x", "Missing Key ID in \"ReplicationSecureKeyID <KeyID>\" line\n"},
      {"ReadOnly", "Missing Yes|No in \"ReadOnly <Yes|No>\" line\n"},
      {"ReadOnly yes no", "Missing Yes|No in \"ReadOnly <Yes|No>\" line\n"},
      {"LogLevel", "Missing Level in \"LogLevel <Level>\" line\n"},
      {"LogLevel info error", "Missing Level in \"LogLevel <Level>\" line\n"},
      {"Replica", "Missing Host in \"Replica <Host[:Port]>\" line\n"},
      {"TrimUsers", "Missing Yes|No in \"TrimUsers <Yes|No>\" line\n"},
      {"TrimUsers yes no", "Missing Yes|No in \"TrimUsers <Yes|No>\" line\n"},
      {"TrimSigs", "Missing Yes|No in \"TrimSigs <Yes|No>\" line\n"},
      {"TrimSigs yes no", "Missing Yes|No in \"TrimSigs <Yes|No>\" line\n"},
      {"TrimPhotoIDs", "Missing Yes|No in \"TrimPhotoIDs <Yes|No>\" line\n"},
      {"TrimPhotoIDs yes no", "Missing Yes|No in \"TrimPhotoIDs <Yes|No>\" line\n"},
      {"MustSigID", "Missing KeyIDs in \"MustSigID <KeyIDs> ...\" line\n"},
      {"AllowSigID", "Missing KeyIDs in \"AllowSigID <KeyIDs> ...\" line\n"},
      {"Allow ip 1.2.3.4", "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"},
      {"Allow ip 1.2.3.4 add x", "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"},
      {"MustSignAdds", "Missing Yes|No in \"MustSignAdds <Yes|No>\" line.\n"},
      {"MustSignAdds yes no", "Missing Yes|No in \"MustSignAdds <Yes|No>\" line.\n"},
      {"AccessLogDetails", "Missing Type in \"AccessLogDetails <type> ...\" line.\n"},
      {"PolicyFailures", "Missing Pending|Error in \"PolicyFailures <Pending|Error>\" line.\n"},
      {"PolicyFailures error pending", "Missing Pending|Error in \"PolicyFailures <Pending|Error>\" line.\n"},
      {"IndexMethod", "Invalid number of parameters for IndexMethod.\n"},
      {"IndexMethod word word", "Invalid number of parameters for IndexMethod.\n"},
      {"DefaultAccess", "Missing Access in \"DefaultAccess <Access>\" line.\n"},
      {"DefaultAccess read all", "Missing Access in \"DefaultAccess <Access>\" line.\n"},
      {"IdleSyncTimeout", "Missing Seconds in \"IdleSyncTimeout <Seconds>\" line\n"},
      {"IdleSyncTimeout 1 2", "Missing Seconds in \"IdleSyncTimeout <Seconds>\" line\n"},
      {"AccessLogFormat", "Invalid number of parameters for AccessLogFormat.\n"},
      {"AccessLogFormat standard x", "Invalid number of parameters for AccessLogFormat.\n"},
      {"LookupHostname", "Invalid value specified for LookupHostname.\n"},
      {"LookupHostname yes no", "Invalid value specified for LookupHostname.\n"},
      {"AdminPassword", "Missing Filename in \"AdminPassword {SSHA}<password>\" line\n"},
      {"AdminPassword a b", "Missing Filename in \"AdminPassword {SSHA}<password>\" line\n"},
      {"AdminUsername", "Missing Username in \"AdminUsername <Username>\" line\n"},
      {"AdminUsername a b", "Missing Username in \"AdminUsername <Username>\" line\n"},
      {"TempPath", "Missing Filename in \"TempPath <Filename>\" line\n"},
      {"TempPath a b", "Missing Filename in \"TempPath <Filename>\" line\n"},
      {"AcceptReconstructionData", "Invalid number of parameters for AcceptReconstructionData.\n"},
      {"AcceptReconstructionData yes no", "Invalid number of parameters for AcceptReconstructionData.\n"},
      {"ForceSyncOnWrite", "Invalid number of parameters for ForceSyncOnWrite.\n"},
      {"ForceSyncOnWrite yes no", "Invalid number of parameters for ForceSyncOnWrite.\n"},
      {"User", "Invalid number of parameters for 'User'.\n"},
      {"User a b", "Invalid number of parameters for 'User'.\n"},
      // Pass 2: numbers outside their range.
      {"CycleLogKeep 100",
       "History of '100' is invalid.\n  Valid values: 0 - 99 where 0 means do not keep any log file copies.\n"},
      {"CycleLogTime 24:00",
       "Time of '24:00' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogTime 0:30",
       "Time of '0:30' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogTime 1:60",
       "Time of '1:60' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"SizeLimit -5", "Invalid Limit in \"SizeLimit <Limit>\" line\n"},
      {"TimeLimit 1e3", "Invalid Limit in \"TimeLimit <Limit>\" line\n"},
      {"IdleSyncTimeout +5", "Invalid Seconds in \"IdleSyncTimeout <Seconds>\" line\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    testing::internal::CaptureStderr();
    ErrorLogInit("test", kLogWarning, 0, 1, nullptr);
    int rc = All("Port 3890\n" + c.line + "\n");
    ErrorLogClose();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Error: " + path_ + "(2): " + c.message);
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

// 100,000 Allow rules are read in linear time and kept in order: each rule
// used to walk the whole list to its end (quadratic; several seconds before
// the server listened, deaf to SIGTERM meanwhile).
TEST_F(Passes, ManyAllowRulesAreReadInLinearTime) {
  constexpr int kRules = 100000;
  std::string text = "Port 3890\n";
  for (int i = 0; i < kRules; ++i) text += "Allow ip 10." + std::to_string(i) + ".* read\n";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(All(text), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  int n = 0;
  for (AccessAllow* r = g->accessRules; r != nullptr; r = r->next, ++n)
    if (n == 0 || n == kRules - 1) EXPECT_EQ(std::string(r->expression), "10\\." + std::to_string(n) + "\\..*");
  EXPECT_EQ(n, kRules);
  // Linear work is a few hundred milliseconds even in the sanitiser build;
  // the quadratic walk took tens of seconds.
  EXPECT_LT(took, std::chrono::seconds(5));
}

// A line holding a NUL byte or a control character is refused, naming the
// line: a NUL used to end the line there ("Port 38\0 01" was port 38).
// Tabs and carriage returns are text; comment lines are not read.
TEST_F(Passes, NulAndControlCharactersEndThePass) {
  struct Case {
    std::string text;
    int rc;
  } cases[] = {
      {std::string("Port 38\0 01\n", 12), 1},
      {"Port 3890\nSizeLimit 5\x0b\n", 1},
      {"Port 3890\nTimeLimit\x7f 5\n", 1},
      {"Port 3890\n# a comment with \x01 in it\nSizeLimit\t5\n", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(All(c.text), c.rc) << c.text;
  }
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

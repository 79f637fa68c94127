// The server support library: memory, strings, URLs, lock and PID files,
// log-page readers and time helpers.
#include "server/support/zovurez.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "tests/common/blocked_wait.h"

namespace {

class ToolkitEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ToolkitEnv);

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zovurez-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream f(path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(ZovurezMemory, CallocRefusesOverflowingProducts) {
  // count * size wrapping around would hand out a tiny block.
  EXPECT_EQ(zovurezCalloc(SIZE_MAX / 2 + 2, 2), nullptr);
  EXPECT_EQ(zovurezCalloc(SIZE_MAX, SIZE_MAX), nullptr);
  auto* p = static_cast<unsigned char*>(zovurezCalloc(16, 4));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
  zovurezFree(p);
}

TEST(ZovurezMemory, FailedReallocLeavesTheBlock) {
  char* p = zovurezStrdup("kept");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(zovurezRealloc(p, size_t{1} << 31), nullptr);
  EXPECT_STREQ(p, "kept");
  char* q = static_cast<char*>(zovurezRealloc(p, 100));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q, "kept");
  zovurezFree(q);
  zovurezFree(nullptr);
}

TEST(ZovurezStrings, NumberTests) {
  struct Case {
    const char* s;
    bool digits, digitsLeadin, hexLeadin;
  } cases[] = {
      {"", true, false, false},        {"123", true, true, true},       {" +12", false, true, true},
      {"-", false, false, false},      {" 0x1aF", false, false, true},  {"1a", false, false, false},
      {"0x", false, false, true},      {"0X", false, false, true},      {"0", true, true, true},
      {"12\r", false, false, false},   {"\t-7", false, true, true},     {"0xg", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_EQ(allDigits(c.s), c.digits);
    EXPECT_EQ(allDigitsIgnLeadin(c.s), c.digitsLeadin);
    EXPECT_EQ(allHexDigitsIgnLeadin(c.s), c.hexLeadin);
  }
}

TEST(ZovurezStrings, SmallTests) {
  EXPECT_EQ(IsNonWhiteSpace(" \t "), 0);
  EXPECT_EQ(IsNonWhiteSpace(nullptr), 0);
  EXPECT_EQ(IsNonWhiteSpace(" x"), 1);
  EXPECT_EQ(IsWordSeparator('_'), 0);
  EXPECT_EQ(IsWordSeparator('a'), 0);
  EXPECT_EQ(IsWordSeparator('7'), 0);
  EXPECT_EQ(IsWordSeparator('\0'), 1);
  EXPECT_EQ(IsWordSeparator('-'), 1);
  EXPECT_EQ(IsWordSeparator(0xE9), 1);
  EXPECT_EQ(ParseBool("ON"), 1);
  EXPECT_EQ(ParseBool("off"), 0);
  EXPECT_EQ(ParseBool("yes"), -1);
  EXPECT_EQ(ParseBool(nullptr), -1);
  char s[] = "abc\xe9Xx0X";
  UpcaseString(s);
  EXPECT_STREQ(s, "ABC\xe9XX0X");
  hexStringXsToLower(s);
  EXPECT_STREQ(s, "ABC\xe9xx0x");
}

TEST(ZovurezStrings, EscapeDoubleQuotes) {
  char* out = nullptr;
  EscapeDoubleQuotes("\"\"\"", &out);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "\\\"\\\"\\\"");
  zovurezFree(out);
  EscapeDoubleQuotes("a\\b\"c", &out);
  EXPECT_STREQ(out, "a\\\\b\\\"c");
  zovurezFree(out);
}

TEST(ZovurezStrings, StringArrays) {
  char text[] = "a,,b";
  char** parts = str2charray(text, ",");
  ASSERT_NE(parts, nullptr);
  EXPECT_STREQ(parts[0], "a");
  EXPECT_STREQ(parts[1], "b");
  EXPECT_EQ(parts[2], nullptr);
  EXPECT_EQ(charray_inlist(parts, "B"), 1);
  EXPECT_EQ(charray_find(parts, "c"), nullptr);

  char** copy = charray_dup(parts);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy[0], parts[0]);
  charray_add(&copy, zovurezStrdup("c"));
  char** more = nullptr;
  charray_add(&more, zovurezStrdup("d"));
  charray_merge(&copy, more);
  zovurezFree(more);  // the strings moved into copy
  const char* want[] = {"a", "b", "c", "d"};
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(copy[i], want[i]);
  EXPECT_EQ(copy[4], nullptr);
  charray_free(copy);
  charray_free(parts);
  charray_free(nullptr);

  char line[] = "k=v=w";
  char* cursor = line;
  EXPECT_STREQ(mystrsep(&cursor, '='), "k");
  EXPECT_STREQ(mystrsep(&cursor, '='), "v");
  EXPECT_STREQ(mystrsep(&cursor, '='), "w");
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(mystrsep(&cursor, '='), nullptr);
}

TEST(ZovurezUrl, CheckUrl) {
  struct Case {
    const char* url;
    int result;
    int protocol;  // -1: left unset
  } cases[] = {
      {"ldap://host.example.com:389", 0, 2},
      {"LDAPS://HOST:636", 0, 0},
      {"https://host", 0, 1},
      {"http://host:80", 0, 3},
      {"gopher://host:70", 2, -1},
      {"host:ldap", 3, -1},
      {":389", 1, -1},
      {"host", 0, -1},
      {"host:", 0, -1},
      {"ldap://host:38a", 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    int protocol = -1;
    EXPECT_EQ(checkUrl(c.url, &protocol), c.result);
    EXPECT_EQ(protocol, c.protocol);
  }
  EXPECT_EQ(checkUrl(nullptr, nullptr), 1);
  // A URL longer than the work buffer is checked without overrunning it.
  std::string longUrl = "ldap://" + std::string(2000, 'h') + ":1";
  EXPECT_EQ(checkUrl(longUrl.c_str(), nullptr), 0);
}

TEST(ZovurezUrl, AddressHostParts) {
  char a[] = "ldap://10.1.2.3:389";
  EXPECT_TRUE(isURLanIPAddress(a));
  EXPECT_STREQ(a, "ldap://10.1.2.3:389");  // restored
  char b[] = "ldap://keys.example.com:389";
  EXPECT_FALSE(isURLanIPAddress(b));
  char c[] = "ldap://";
  EXPECT_TRUE(isURLanIPAddress(c));
  char d[] = "ldap://localhost:389";
  char* address = nullptr;
  EXPECT_EQ(GetClientIPFromURL(d, &address), 0);
  ASSERT_NE(address, nullptr);
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_STREQ(d, "ldap://localhost:389");
  EXPECT_EQ(GetClientIPFromURL(d, &address), -1);  // the output must start empty
  zovurezFree(address);
}

TEST(ZovurezFiles, PathsAndPipeNames) {
  char* out = nullptr;
  AdjustPath("/start", "../etc/x.conf", &out);
  EXPECT_STREQ(out, "/start/../etc/x.conf");
  zovurezFree(out);
  AdjustPath("/start", "/abs", &out);
  EXPECT_STREQ(out, "/abs");
  zovurezFree(out);
  char* name = zovurezStrdup("old");
  EXPECT_EQ(GetNamedPipeName("/tmp/qoxkeysrv/", "QOXkeyserver-", 389, &name), 0);
  EXPECT_STREQ(name, "/tmp/qoxkeysrv/QOXkeyserver-389");
  zovurezFree(name);
  EXPECT_EQ(GetNamedPipeName(nullptr, "x", 1, &name), kQOXErrBadParams);

  TempDir dir;
  std::ofstream(dir / "f") << "x";
  EXPECT_EQ(filecheck((dir / "f").c_str()), 0);
  EXPECT_EQ(filecheck((dir / "missing").c_str()), 8);
  EXPECT_EQ(filecheck((dir / "nodir/f").c_str()), 1 | 8);
  EXPECT_TRUE(file_nonempty((dir / "f").c_str()));
  std::ofstream(dir / "empty");
  EXPECT_FALSE(file_nonempty((dir / "empty").c_str()));
  uint32_t mode = 0;
  int64_t size = -1;
  EXPECT_EQ(GetFileMode((dir / "f").c_str(), &mode, nullptr, &size), 0);
  EXPECT_TRUE(S_ISREG(mode));
  EXPECT_EQ(size, 1);
  EXPECT_EQ(GetFileMode((dir / "missing").c_str(), &mode, nullptr, nullptr), 1);
}

// Runs CreateLockFile in a child process: its exit status is the result.
int LockInChild(const std::string& path, int wait) {
  pid_t pid = fork();
  if (pid == 0) {
    FILE* f = nullptr;
    _exit(CreateLockFile(path.c_str(), wait, &f));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ZovurezFiles, LockFileExcludesASecondProcess) {
  TempDir dir;
  std::string path = dir / ".lockfile";
  FILE* held = nullptr;
  ASSERT_EQ(CreateLockFile(path.c_str(), 0, &held), 0);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(LockInChild(path, 0), 1);  // without waiting: fails at once
  EXPECT_EQ(UnlockLockFile(held), 0);
  EXPECT_EQ(LockInChild(path, 0), 0);

  // With wait set, a lock released while the other process retries is taken.
  ASSERT_EQ(CreateLockFile(path.c_str(), 0, &held), 0);
  pid_t waiter = fork();
  if (waiter == 0) {
    FILE* f = nullptr;
    _exit(CreateLockFile(path.c_str(), 1, &f));
  }
  // The lock is released only once the other process has failed to take it
  // and sleeps before its next attempt.
  bool retrying = ostrak_test::WaitUntilBlockedIn("/proc/" + std::to_string(waiter),
                                                  {SYS_nanosleep, SYS_clock_nanosleep}, std::chrono::seconds(10));
  UnlockLockFile(held);
  EXPECT_TRUE(retrying) << "the other process never waited for the lock";
  int status = 0;
  waitpid(waiter, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A symbolic link in the lock file's place is not followed: its target was
// once emptied at every start ("data/.lockfile" linked to any file the
// server may write).
TEST(ZovurezFiles, LockFileIsNeverALink) {
  TempDir dir;
  std::string target = dir / "precious";
  std::ofstream(target) << "keep";
  std::string path = dir / ".lockfile";
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  FILE* held = nullptr;
  EXPECT_EQ(CreateLockFile(path.c_str(), 0, &held), 1);
  EXPECT_EQ(held, nullptr);
  std::ifstream in(target);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "keep");
}

TEST(ZovurezFiles, LockedOpenAndClose) {
  TempDir dir;
  std::string path = dir / "replog";
  FILE* stream = nullptr;
  FILE* lock = nullptr;
  ASSERT_EQ(lock_fopen(path.c_str(), "a", 0, &stream, &lock), 0);
  EXPECT_EQ(LockInChild(path + ".lock", 0), 1);
  FILE* again = nullptr;
  EXPECT_EQ(lock_fopen(path.c_str(), "a", 0, &stream, &again), 1);  // outputs already set
  fputs("line\n", stream);
  EXPECT_EQ(lock_fclose(nullptr, stream, lock), 0);
  EXPECT_EQ(ReadAll(path), "line\n");
  EXPECT_EQ(LockInChild(path + ".lock", 0), 0);
  EXPECT_EQ(lock_fclose(nullptr, nullptr, nullptr), 1);
  // A file that cannot be opened leaves no lock behind.
  stream = lock = nullptr;
  EXPECT_EQ(lock_fopen((dir / "nodir/x").c_str(), "a", 0, &stream, &lock), 1);
  EXPECT_EQ(lock, nullptr);
}

TEST(ZovurezFiles, PIDFiles) {
  TempDir dir;
  std::string base = dir / "ostrakd";
  std::string pid = std::to_string(getpid()) + "\n";
  WritePIDToFile(base.c_str(), 0);
  EXPECT_EQ(ReadAll(base + ".pid"), pid);
  EXPECT_NE(access((base + ".0.pid").c_str(), F_OK), 0);
  WritePIDToFile(base.c_str(), 3890);
  EXPECT_EQ(ReadAll(base + ".3890.pid"), pid);
  DeletePIDFile(base.c_str(), 0);  // removes nothing
  EXPECT_EQ(access((base + ".pid").c_str(), F_OK), 0);
  DeletePIDFile(base.c_str(), 3890);
  EXPECT_NE(access((base + ".3890.pid").c_str(), F_OK), 0);
  EXPECT_EQ(access((base + ".pid").c_str(), F_OK), 0);  // never removed
}

TEST(ZovurezFiles, PIDFileDoesNotFollowALink) {
  // Anyone may plant a link at the predictable name in /tmp.
  TempDir dir;
  std::string victim = dir / "victim";
  std::ofstream(victim) << "precious";
  std::string base = dir / "ostrakd";
  ASSERT_EQ(symlink(victim.c_str(), (base + ".pid").c_str()), 0);
  WritePIDToFile(base.c_str(), 389);
  EXPECT_EQ(ReadAll(victim), "precious");
  // The first file failed, so the second was not tried.
  EXPECT_NE(access((base + ".389.pid").c_str(), F_OK), 0);
}

class LogPages : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "log";
    std::ofstream(path_) << "one\ntwo\nthree\nfour\n";
    f_ = fopen(path_.c_str(), "r");
    ASSERT_NE(f_, nullptr);
  }
  void TearDown() override { fclose(f_); }
  TempDir dir_;
  std::string path_;
  FILE* f_ = nullptr;
};

TEST_F(LogPages, MoveToPositionFindsTheLineStart) {
  struct Case {
    long offset, expected;
  } cases[] = {{0, 0}, {1, 0}, {4, 4}, {6, 4}, {8, 8}, {13, 8}, {14, 14}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(MoveToPosition(f_, c.offset), 0);
    EXPECT_EQ(ftell(f_), c.expected);
  }
  EXPECT_EQ(MoveToPosition(nullptr, 0), kQOXErrBadParams);
}

TEST_F(LogPages, ReverseIterateFromTheEnd) {
  fseek(f_, 0, SEEK_END);
  EXPECT_EQ(ReverseIterate(f_, 1), 1);
  EXPECT_EQ(ftell(f_), 8);  // "three" starts the second line from the end
  fseek(f_, 0, SEEK_END);
  EXPECT_EQ(ReverseIterate(f_, 10), 2);  // ran into the start of the file
  EXPECT_EQ(ftell(f_), 0);
  EXPECT_EQ(ReverseIterate(nullptr, 1), -1);
}

TEST_F(LogPages, ReadLinesNumbersByOffset) {
  char buffer[256] = "";
  int lines = -1;
  EXPECT_EQ(ReadLines(f_, 1, buffer, sizeof buffer, &lines), 0);
  EXPECT_STREQ(buffer, "0: one\n4: two\n");
  EXPECT_EQ(lines, -1);  // stopped by the count: left as it was
  buffer[0] = '\0';
  EXPECT_EQ(ReadLines(f_, 10, buffer, sizeof buffer, &lines), 0);
  EXPECT_STREQ(buffer, "8: three\n14: four\n");
  EXPECT_EQ(lines, 2);  // stopped by the end of the file
}

TEST_F(LogPages, ReadLinesTooSmallBufferLeavesTheStream) {
  char buffer[6] = "";
  int lines = -1;
  EXPECT_EQ(ReadLines(f_, 3, buffer, sizeof buffer, &lines), kQOXErrBufferTooSmall);
  EXPECT_EQ(lines, 0);
  EXPECT_EQ(ftell(f_), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ReadLines(f_, 3, nullptr, 5, &lines), kQOXErrBadParams);
}

TEST(ZovurezTime, GeneralizedTime) {
  QOXMutex a = QOX_MUTEX_INITIALIZER, b = QOX_MUTEX_INITIALIZER;
  char buffer[16];
  // 2 March 2001 09:05:03 UTC.
  EXPECT_EQ(QOXTime2GeneralizedTime(983523903u, buffer, &a, &b), 0);
  EXPECT_STREQ(buffer, "20010302090503Z");
  struct tm out {};
  EXPECT_EQ(gmQOXtime(nullptr, 0, &out), nullptr);
  EXPECT_EQ(localQOXtime(nullptr, 0, &out), nullptr);
}

// Sets TZ for one scope.
class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(ZovurezTime, ZoneOffsetFollowsTheSeason) {
  // A zone with a daylight-saving rule is an hour ahead only in summer.
  ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(qoxTimezoneOffsetAt(979000000), -300);   // January 2001
  EXPECT_EQ(qoxTimezoneOffsetAt(994000000), -240);   // July 2001
  ZoneScope india("IST-5:30");
  EXPECT_EQ(qoxTimezoneOffsetAt(994000000), 330);
  ZoneScope nepal("NPT-5:45");  // not a multiple of 30 minutes
  EXPECT_EQ(qoxTimezoneOffsetAt(994000000), -780);
  int32_t minutes = 0;
  QOXTimezoneGetOffset(&minutes);
  EXPECT_EQ(minutes, -780);
}

}  // namespace

// "ostrakd -n" over an empty data directory makes the required set through
// the configuration's Directory line; the files are checked with the
// Berkeley DB tools. The daemon is the one built beside this test program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ldbm_test_support.h"
#include "tests/common/daemon_wait.h"

namespace {

std::filesystem::path Daemon() {
  // <build>/tests/backend/<this program> -> <build>/server/main/ostrakd
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return self.parent_path().parent_path().parent_path() / "server" / "main" / "ostrakd";
}

// A private run root: bin (the daemon), etc (its configuration), data, logs.
class RunRoot {
 public:
  explicit RunRoot(int port) : port_(port) {
    char pattern[] = "/tmp/ostrakd-db-XXXXXX";
    root_ = mkdtemp(pattern);
    for (const char* d : {"bin", "etc", "data", "logs"}) std::filesystem::create_directory(root_ / d);
    std::filesystem::create_symlink(Daemon(), root_ / "bin" / "ostrakd");
    std::ofstream(root_ / "etc" / "ostrakd.conf")
        << "Port " << port << "\nSecureMode disabled\nLookupHostname no\nDirectory ../data\n";
  }
  ~RunRoot() { std::filesystem::remove_all(root_); }
  std::string Run(const std::string& args, int* status) {
    return RunCommand("cd '" + (root_ / "bin").string() + "' && ./ostrakd " + args + " 2>&1", status);
  }
  const std::filesystem::path& path() const { return root_; }

 private:
  int port_;
  std::filesystem::path root_;
};

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

// While one daemon serves a data directory, a second one on the same
// directory stops at the database lock.
TEST(OstrakdCreate, SecondDaemonOnOneDirectoryStopsAtTheLock) {
  if (!std::filesystem::exists(Daemon())) GTEST_SKIP() << "ostrakd not built at " << Daemon();
  // A port that another process takes before the daemon binds it makes the
  // daemon end with its bind message: it is then tried on a fresh port.
  for (int attempt = 0; attempt < 5; ++attempt) {
    int port = FreePort();
    RunRoot root(port);
    int status = -1;
    std::string out = root.Run("-n", &status);
    ASSERT_EQ(status, 0) << out;
    const std::filesystem::path errors = root.path() / "logs" / "stderr";
    pid_t first = fork();
    if (first == 0) {
      if (chdir((root.path() / "bin").c_str()) != 0) _exit(127);
      FILE* err = freopen(errors.c_str(), "w", stderr);
      (void)err;
      execl("./ostrakd", "ostrakd", "-d", "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    int firstStatus = 0;
    ostrak_test::ListenWait up = ostrak_test::WaitListening(first, port, std::chrono::seconds(30), &firstStatus);
    if (up == ostrak_test::ListenWait::kEnded) {
      std::ifstream in(errors);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (text.find("Binding to port " + std::to_string(port) + " failed") != std::string::npos) continue;
      FAIL() << "the first daemon ended before it listened: " << text;
    }
    if (up == ostrak_test::ListenWait::kListening) {
      out = root.Run("-d 0 -p " + std::to_string(FreePort()), &status);
      EXPECT_NE(status, 0);
      EXPECT_NE(out.find("Database may already be locked by another server."), std::string::npos) << out;
    }
    kill(first, SIGTERM);
    waitpid(first, &firstStatus, 0);
    ASSERT_EQ(up, ostrak_test::ListenWait::kListening) << "the first daemon did not listen";
    return;
  }
  FAIL() << "no port could be bound in five attempts";
}

TEST(OstrakdCreate, MakesTheRequiredSetOnce) {
  std::filesystem::path daemon = Daemon();
  if (!std::filesystem::exists(daemon)) GTEST_SKIP() << "ostrakd not built at " << daemon;
  char pattern[] = "/tmp/ostrakd-n-XXXXXX";
  std::filesystem::path root = mkdtemp(pattern);
  for (const char* d : {"bin", "etc", "data", "logs"}) std::filesystem::create_directory(root / d);
  std::filesystem::create_symlink(daemon, root / "bin" / "ostrakd");
  std::ofstream(root / "etc" / "ostrakd.conf") << "Port 38999\nSecureMode disabled\nDirectory ../data\n";
  std::string run = "cd '" + (root / "bin").string() + "' && ./ostrakd -n 2>&1";

  int status = -1;
  std::string out = RunCommand(run, &status);
  ASSERT_EQ(status, 0) << out;
  std::filesystem::path data = root / "data";
  std::ifstream next(data / "NEXTID");
  std::string line;
  std::getline(next, line);
  EXPECT_EQ(line, "6");
  for (const char* f : {"id2entry.dbb", "id2children.dbb", "dn2id.dbh", "dn.dbh", "objectclass.dbh"}) {
    std::string verify = RunCommand("db5.3_verify '" + (data / f).string() + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << f << ": " << verify;
  }
  EXPECT_EQ(DumpFile((data / "id2entry.dbb").string()).records[Be32(4)],
            Key("4\ndn: O=QOX GROUPSPACE,C=US\no: QOX GROUPSPACE\nobjectclass: organization\n"));
  EXPECT_EQ(DumpFile((data / "dn2id.dbh").string()).records[Key("OU=ACTIVE,O=QOX KEYSPACE,C=US")], Be32(2));

  // A second run finds the whole set and adds nothing.
  auto before = DumpFile((data / "id2entry.dbb").string()).records;
  out = RunCommand(run, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(DumpFile((data / "id2entry.dbb").string()).records, before);
  std::ifstream again(data / "NEXTID");
  std::getline(again, line);
  EXPECT_EQ(line, "6");
  std::filesystem::remove_all(root);
}

}  // namespace

// "ostrakd -n" over an empty data directory makes the required set through
// the configuration's Directory line; the files are checked with the
// Berkeley DB tools. The daemon is the one built beside this test program.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ldbm_test_support.h"

namespace {

std::filesystem::path Daemon() {
  // <build>/tests/backend/<this program> -> <build>/server/main/ostrakd
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return self.parent_path().parent_path().parent_path() / "server" / "main" / "ostrakd";
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

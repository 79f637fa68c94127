// The random seed file: reading, rewriting, saving and the default name.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/io.h"
#include "foundation/sdk_errors.h"
#include "tests/crypto/random_test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

// Sets an environment variable for one scope, restoring the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class RandSeedFileTest : public FreshPoolTest {
 protected:
  void SetUp() override {
    FreshPoolTest::SetUp();
    char pattern[] = "/tmp/ostrak-seedtest-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    qoxCleanupRandSeedFile();
    FreshPoolTest::TearDown();
    fs::remove_all(dir_);
  }

  QOXError SetFile(const fs::path& path) {
    PFLFileSpec* spec = nullptr;
    QOXError err = PFLNewFileSpecFromFullPath(QOXGetDefaultMemoryMgr(), path.c_str(), &spec);
    if (err != kQOXErrNoErr) return err;
    err = QOXSetRandSeedFile(spec);
    PFLFreeFileSpec(spec);
    return err;
  }

  fs::path dir_;
};

TEST_F(RandSeedFileTest, TwentyFourBytesSeedAndEveryFileIsRewrittenInPlace) {
  struct Case {
    size_t size;
    bool seeded;
    size_t rewritten;
  };
  const Case cases[] = {
      {0, false, 512}, {10, false, 512}, {23, false, 512},
      {24, true, 512}, {600, true, 600}, {2000, true, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    qoxCleanupRandSeedFile();
    fs::path path = dir_ / ("seed" + std::to_string(c.size));
    std::vector<uint8_t> old = Pattern(c.size);
    WriteFile(path, old);
    EXPECT_EQ(SetFile(path), kQOXErrNoErr) << "setting succeeds even for a short file";
    EXPECT_EQ(qoxGlobalRandomPoolIsSeeded(), c.seeded);
    EXPECT_EQ(QOXGlobalRandomPoolHasMinimumEntropy(), c.seeded);
    std::vector<uint8_t> now = ReadFile(path);
    ASSERT_EQ(now.size(), c.rewritten) << "max(n, 512) bytes, never truncated";
    if (!old.empty()) {
      EXPECT_FALSE(std::equal(old.begin(), old.end(), now.begin())) << "old seed overwritten";
    }
  }
}

TEST_F(RandSeedFileTest, ReadingShortOrNullStreamsFails) {
  fs::path path = dir_ / "short";
  WriteFile(path, Pattern(10));
  PFLFileSpec* spec = nullptr;
  ASSERT_EQ(PFLNewFileSpecFromFullPath(QOXGetDefaultMemoryMgr(), path.c_str(), &spec), 0);
  QOXIO* io = nullptr;
  ASSERT_EQ(QOXOpenFileSpec(spec, kQOXOpenFileSpec_Write, &io), 0);
  ScriptedGenerator g;
  QOXRandomContext rc = g.Handle();
  EXPECT_EQ(qoxRandSeedRead(io, &rc), kQOXErrRandSeedTooSmall);
  EXPECT_EQ(g.added, Pattern(10)) << "the bytes read also go to the given generator";
  EXPECT_EQ(g.stirs, 1);
  QOXFreeIO(io);
  PFLFreeFileSpec(spec);
  EXPECT_EQ(ReadFile(path).size(), 512u);
  EXPECT_EQ(qoxRandSeedRead(nullptr, nullptr), kQOXErrBadParams);
}

TEST_F(RandSeedFileTest, SettingTheSameFileAgainChangesNothing) {
  fs::path path = dir_ / "same";
  WriteFile(path, Pattern(100));
  ASSERT_EQ(SetFile(path), kQOXErrNoErr);
  std::vector<uint8_t> first = ReadFile(path);
  ASSERT_EQ(SetFile(path), kQOXErrNoErr);
  EXPECT_EQ(ReadFile(path), first) << "not read or rewritten again";
  EXPECT_TRUE(qoxGlobalRandomPoolIsSeeded());
}

TEST_F(RandSeedFileTest, SettingAnotherFileSavesTheSeededPoolToTheOldOne) {
  fs::path a = dir_ / "a";
  WriteFile(a, Pattern(100));
  ASSERT_EQ(SetFile(a), kQOXErrNoErr);
  std::vector<uint8_t> afterSet = ReadFile(a);
  ASSERT_EQ(SetFile(dir_ / "missing"), kQOXErrNoErr);
  std::vector<uint8_t> afterSwitch = ReadFile(a);
  EXPECT_EQ(afterSwitch.size(), 512u);
  EXPECT_NE(afterSwitch, afterSet) << "the old file got a last save";
  EXPECT_FALSE(qoxGlobalRandomPoolIsSeeded()) << "the new file could not be read";
  EXPECT_FALSE(fs::exists(dir_ / "missing")) << "setting never creates the file";
}

TEST_F(RandSeedFileTest, SavingCreatesAPrivateFileAndWritesFreshBytesEachTime) {
  EXPECT_EQ(qoxSaveGlobalRandomPool(), kQOXErrNoErr) << "no seed file: nothing to do";
  fs::path path = dir_ / "new.rnd";
  ASSERT_EQ(SetFile(path), kQOXErrNoErr);
  ASSERT_FALSE(fs::exists(path));
  ASSERT_EQ(qoxSaveGlobalRandomPool(), kQOXErrNoErr);
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::vector<uint8_t> first = ReadFile(path);
  EXPECT_EQ(first.size(), 512u);
  ASSERT_EQ(qoxSaveGlobalRandomPool(), kQOXErrNoErr);
  std::vector<uint8_t> second = ReadFile(path);
  EXPECT_EQ(second.size(), 512u);
  EXPECT_NE(first, second);

  // A 2000-byte file keeps its length; its first 512 bytes are replaced.
  const std::vector<uint8_t> old = Pattern(2000);
  WriteFile(path, old);
  ASSERT_EQ(qoxSaveGlobalRandomPool(), kQOXErrNoErr);
  std::vector<uint8_t> third = ReadFile(path);
  ASSERT_EQ(third.size(), 2000u);
  EXPECT_FALSE(std::equal(old.begin(), old.begin() + 512, third.begin()));
  EXPECT_TRUE(std::equal(old.begin() + 512, old.end(), third.begin() + 512));
}

TEST_F(RandSeedFileTest, FreeingAContextReturnsTheSaveResult) {
  QOXContext* context = nullptr;
  ASSERT_EQ(SetFile(dir_ / "in-a-missing-dir" / "randseed.rnd"), kQOXErrNoErr);
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);
  EXPECT_NE(QOXFreeContext(context), kQOXErrNoErr) << "the seed file cannot be created";

  ASSERT_EQ(SetFile(dir_ / "ok.rnd"), kQOXErrNoErr);
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeContext(context), kQOXErrNoErr);
  EXPECT_EQ(ReadFile(dir_ / "ok.rnd").size(), 512u);
}

TEST_F(RandSeedFileTest, DefaultNameComesFromQOXPATHThenHOMEThenTheCurrentDirectory) {
  fs::create_directories(dir_ / "home" / ".qox");
  fs::create_directories(dir_ / "cwd");
  const std::string qoxpath = (dir_ / "qoxpath").string();
  fs::create_directories(qoxpath);
  struct Case {
    const char* qoxpathValue;
    const char* homeValue;
    fs::path expected;
  };
  const std::string home = (dir_ / "home").string();
  const Case cases[] = {
      {qoxpath.c_str(), home.c_str(), dir_ / "qoxpath" / "randseed.rnd"},
      {nullptr, home.c_str(), dir_ / "home" / ".qox" / "randseed.rnd"},
      {nullptr, nullptr, dir_ / "cwd" / "randseed.rnd"},
  };
  const fs::path oldCwd = fs::current_path();
  fs::current_path(dir_ / "cwd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.string());
    ScopedEnv q("QOXPATH", c.qoxpathValue);
    ScopedEnv h("HOME", c.homeValue);
    qoxCleanupRandSeedFile();
    ASSERT_EQ(qoxDefaultRandSeedFile(), kQOXErrNoErr);
    ASSERT_EQ(qoxSaveGlobalRandomPool(), kQOXErrNoErr);
    EXPECT_EQ(ReadFile(c.expected).size(), 512u);
    // Already set: the default is not applied again.
    ScopedEnv other("QOXPATH", dir_.c_str());
    ASSERT_EQ(qoxDefaultRandSeedFile(), kQOXErrNoErr);
    ASSERT_EQ(qoxSaveGlobalRandomPool(), kQOXErrNoErr);
    EXPECT_FALSE(fs::exists(dir_ / "randseed.rnd"));
  }
  fs::current_path(oldCwd);
  qoxCleanupRandSeedFile();
}

TEST_F(RandSeedFileTest, PublicSetterRefusesAnInvalidSpec) {
  EXPECT_EQ(QOXSetRandSeedFile(nullptr), kQOXErrBadParams);
}

}  // namespace

// Every freed toolkit context rewrites the random seed file, whose default
// place is "$QOXPATH/randseed.rnd", else "$HOME/.qox/randseed.rnd". A test
// program must never write into a real home directory, and where
// "$HOME/.qox" is missing every save would fail. tests/common/seed_dir_fixture.cc,
// linked into every test program, therefore makes one TempSeedFileDir at
// load: QOXPATH names a fresh temporary directory for the whole run, removed
// at exit.
#ifndef OSTRAK_TESTS_FOUNDATION_SEED_FILE_DIR_H_
#define OSTRAK_TESTS_FOUNDATION_SEED_FILE_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class TempSeedFileDir {
 public:
  TempSeedFileDir() {
    char pattern[] = "/tmp/ostrak-seed-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
      path_ = pattern;
      setenv("QOXPATH", pattern, 1);
    }
  }
  ~TempSeedFileDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempSeedFileDir(const TempSeedFileDir&) = delete;
  TempSeedFileDir& operator=(const TempSeedFileDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif  // OSTRAK_TESTS_FOUNDATION_SEED_FILE_DIR_H_

// A scratch directory and a memory manager for the file tests.
#ifndef OSTRAK_TESTS_FOUNDATION_FILES_FIXTURE_H_
#define OSTRAK_TESTS_FOUNDATION_FILES_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXNewMemoryMgr(0, &mgr_), 0);
    char pattern[] = "/tmp/ostrak-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    QOXFreeMemoryMgr(mgr_);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void WriteFile(const std::string& path, const std::string& bytes) const {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

  // A spec that frees itself.
  struct Spec {
    PFLFileSpec* p = nullptr;
    ~Spec() {
      if (p != nullptr) PFLFreeFileSpec(p);
    }
  };
  PFLFileSpec* NewSpec(Spec& holder, const std::string& path) {
    EXPECT_EQ(PFLNewFileSpecFromFullPath(mgr_, path.c_str(), &holder.p), 0);
    return holder.p;
  }
  static std::string PathOf(const PFLFileSpec* spec) {
    return spec == nullptr ? "<null>" : std::string(reinterpret_cast<const char*>(spec->data));
  }

  QOXMemoryMgr* mgr_ = nullptr;
  std::string dir_;
};

#endif  // OSTRAK_TESTS_FOUNDATION_FILES_FIXTURE_H_

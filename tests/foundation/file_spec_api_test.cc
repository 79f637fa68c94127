// The public file-spec wrappers: argument checks and the round trip
// through a context.
#include "foundation/core/file_spec_api.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"

namespace {

class FileSpecAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), kQOXErrNoErr);
  }
  void TearDown() override {
    EXPECT_EQ(QOXFreeContext(context_), kQOXErrNoErr);
    EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
  }
  QOXContext* context_ = nullptr;
};

TEST_F(FileSpecAPITest, RefusesBadArguments) {
  PFLFileSpec* spec = reinterpret_cast<PFLFileSpec*>(1);
  EXPECT_EQ(QOXNewFileSpecFromFullPath(nullptr, "/tmp/x", &spec), kQOXErrBadParams);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(QOXNewFileSpecFromFullPath(context_, "/tmp/x", nullptr), kQOXErrBadParams);

  PFLFileSpec notASpec{};
  char* path = reinterpret_cast<char*>(1);
  EXPECT_EQ(QOXGetFullPathFromFileSpec(&notASpec, &path), kQOXErrBadParams);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(QOXGetFullPathFromFileSpec(nullptr, nullptr), kQOXErrBadParams);
  PFLFileSpec* copy = reinterpret_cast<PFLFileSpec*>(1);
  EXPECT_EQ(QOXCopyFileSpec(&notASpec, &copy), kQOXErrBadParams);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(QOXFreeFileSpec(&notASpec), kQOXErrBadParams);
  EXPECT_EQ(QOXDeleteFile(&notASpec), kQOXErrBadParams);
  EXPECT_EQ(QOXRenameFile(&notASpec, "y"), kQOXErrBadParams);

  ASSERT_EQ(QOXNewFileSpecFromFullPath(context_, "/tmp/x", &spec), kQOXErrNoErr);
  EXPECT_EQ(QOXRenameFile(spec, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXCopyFileSpec(spec, nullptr), kQOXErrBadParams);
  uint32_t type = 7, creator = 7;
  EXPECT_EQ(QOXMacBinaryToLocal(spec, nullptr, &type, &creator), kQOXErrBadParams);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(creator, 0u);
  PFLFileSpec* converted = reinterpret_cast<PFLFileSpec*>(1);
  EXPECT_EQ(QOXMacBinaryToLocal(&notASpec, &converted, &type, &creator), kQOXErrBadParams);
  EXPECT_EQ(converted, nullptr);
  EXPECT_EQ(QOXFreeFileSpec(spec), kQOXErrNoErr);
}

TEST_F(FileSpecAPITest, PathCopyRenameAndDelete) {
  char dir[] = "/tmp/fctx-specXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/one";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  PFLFileSpec* spec = nullptr;
  ASSERT_EQ(QOXNewFileSpecFromFullPath(context_, file.c_str(), &spec), kQOXErrNoErr);
  char* path = nullptr;
  ASSERT_EQ(QOXGetFullPathFromFileSpec(spec, &path), kQOXErrNoErr);
  EXPECT_EQ(std::string(path), file);
  EXPECT_EQ(QOXFreeData(path), kQOXErrNoErr);

  PFLFileSpec* copy = nullptr;
  ASSERT_EQ(QOXCopyFileSpec(spec, &copy), kQOXErrNoErr);
  EXPECT_NE(copy, spec);
  EXPECT_TRUE(PFLFileSpecsEqual(copy, spec));

  EXPECT_EQ(QOXRenameFile(spec, "two"), kQOXErrNoErr);
  std::string renamed = std::string(dir) + "/two";
  EXPECT_EQ(access(renamed.c_str(), F_OK), 0);
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  EXPECT_EQ(QOXDeleteFile(spec), kQOXErrNoErr);
  EXPECT_NE(access(renamed.c_str(), F_OK), 0);

  EXPECT_EQ(QOXFreeFileSpec(copy), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeFileSpec(spec), kQOXErrNoErr);
  rmdir(dir);
}

}  // namespace

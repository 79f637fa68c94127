// File specifications on real files in a scratch directory.
#include "foundation/file_spec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <vector>

#include "tests/common/counting_memory_mgr.h"
#include "files_fixture.h"

namespace {

using FileSpecTest = FilesTest;

TEST_F(FileSpecTest, ExportGivesTypeBytePathAndNulAndImportsBack) {
  Spec spec;
  NewSpec(spec, "/tmp/a");
  uint8_t* bytes = nullptr;
  size_t size = 0;
  ASSERT_EQ(PFLExportFileSpec(spec.p, &bytes, &size), 0);
  ASSERT_EQ(size, 8u);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + size),
            (std::vector<uint8_t>{14, '/', 't', 'm', 'p', '/', 'a', 0}));

  Spec back;
  ASSERT_EQ(PFLImportFileSpec(mgr_, bytes, size, &back.p), 0);
  EXPECT_EQ(PathOf(back.p), "/tmp/a");
  EXPECT_TRUE(PFLFileSpecsEqual(spec.p, back.p));
  QOXFreeData(bytes);

  // Bad imports leave no spec behind.
  const uint8_t noNul[] = {14, '/', 'a'};
  const uint8_t badType[] = {13, '/', 'a', 0};
  const uint8_t typeOnly[] = {14};
  for (auto [data, len] : {std::pair{noNul, sizeof noNul}, std::pair{badType, sizeof badType},
                           std::pair{typeOnly, sizeof typeOnly}}) {
    PFLFileSpec* out = reinterpret_cast<PFLFileSpec*>(1);
    EXPECT_EQ(PFLImportFileSpec(mgr_, data, len, &out), kQOXErrBadParams);
    EXPECT_EQ(out, nullptr);
  }
}

TEST_F(FileSpecTest, ExportOfAnInvalidSpecFailsWithNullOutputs) {
  PFLFileSpec bogus{};
  uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
  size_t size = 99;
  EXPECT_EQ(PFLExportFileSpec(&bogus, &bytes, &size), kQOXErrBadParams);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(size, 0u);
}

TEST_F(FileSpecTest, RunningOutOfMemoryLeavesNothingBehind) {
  ostrak_test::CountingMemoryMgr state;
  QOXMemoryMgr* counting = state.Make();
  ASSERT_NE(counting, nullptr);
  const int baseline = state.live();
  const uint8_t exported[] = {14, '/', 'a', 0};
  for (int budget : {0, 1, 2}) {
    SCOPED_TRACE(budget);
    state.FailAfter(budget);
    PFLFileSpec* spec = reinterpret_cast<PFLFileSpec*>(1);
    QOXError err = PFLNewFileSpecFromFullPath(counting, "/tmp/a", &spec);
    if (budget < 2) {
      EXPECT_EQ(err, kQOXErrOutOfMemory);
      EXPECT_EQ(spec, nullptr);
    } else {
      ASSERT_EQ(err, 0);
      PFLFreeFileSpec(spec);
    }
    EXPECT_EQ(state.live(), baseline);
    state.FailAfter(budget);
    spec = reinterpret_cast<PFLFileSpec*>(1);
    err = PFLImportFileSpec(counting, exported, sizeof exported, &spec);
    if (budget < 2) {
      EXPECT_EQ(err, kQOXErrOutOfMemory);
      EXPECT_EQ(spec, nullptr);
    } else {
      ASSERT_EQ(err, 0);
      PFLFreeFileSpec(spec);
    }
    EXPECT_EQ(state.live(), baseline);
  }
  state.FailAfter(-1);
  QOXFreeMemoryMgr(counting);
}

TEST_F(FileSpecTest, NamePartsParentAndCompose) {
  struct Case {
    const char* path;
    const char* name;
    const char* parent;  // null: -11997
  } cases[] = {
      {"/tmp/a", "a", "/tmp"},
      {"/a", "a", nullptr},
      {"a", "a", nullptr},
      {"/x/y/z.txt", "z.txt", "/x/y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Spec spec;
    NewSpec(spec, c.path);
    char name[16];
    ASSERT_EQ(PFLGetFileSpecNameBuffer(spec.p, sizeof name, name), 0);
    EXPECT_STREQ(name, c.name);
    Spec parent;
    QOXError err = PFLGetParentDirectory(spec.p, &parent.p);
    if (c.parent == nullptr) {
      EXPECT_EQ(err, kQOXErrFileNotFound);
      EXPECT_EQ(parent.p, nullptr);
    } else {
      ASSERT_EQ(err, 0);
      EXPECT_EQ(PathOf(parent.p), c.parent);
    }
  }
  Spec dir, composed, plain;
  NewSpec(dir, "/tmp/");
  ASSERT_EQ(PFLComposeFileSpec(dir.p, "x", &composed.p), 0);
  EXPECT_EQ(PathOf(composed.p), "/tmp/x");
  PFLSetFileSpecName(dir.p, "y");
  EXPECT_EQ(PathOf(dir.p), "/tmp/y");
  ASSERT_EQ(PFLComposeFileSpec(dir.p, "x", &plain.p), 0);
  EXPECT_EQ(PathOf(plain.p), "/tmp/y/x");

  char tiny[2];
  EXPECT_EQ(PFLGetFileSpecNameBuffer(plain.p, 1, tiny), kQOXErrBufferTooSmall);
  EXPECT_EQ(PFLSetFileSpecName(plain.p, ""), kQOXErrBadParams);
}

TEST_F(FileSpecTest, CreateExistsDeleteAndRename) {
  Spec spec;
  NewSpec(spec, Path("a"));
  bool exists = true;
  ASSERT_EQ(PFLFileSpecExists(spec.p, &exists), 0);
  EXPECT_FALSE(exists);
  ASSERT_EQ(PFLFileSpecCreate(spec.p), 0);
  EXPECT_EQ(PFLFileSpecCreate(spec.p), kQOXErrFileOpError);  // exclusive
  ASSERT_EQ(PFLFileSpecExists(spec.p, &exists), 0);
  EXPECT_TRUE(exists);
  struct stat st;
  ASSERT_EQ(stat(Path("a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(PFLFileSpecRename(spec.p, "b"), 0);
  EXPECT_EQ(PathOf(spec.p), Path("b"));
  EXPECT_TRUE(Exists(Path("b")));
  EXPECT_FALSE(Exists(Path("a")));

  // The file system refuses (no such directory): the file spec still names b.
  EXPECT_EQ(PFLFileSpecRename(spec.p, "missing/c"), kQOXErrFileOpError);
  EXPECT_EQ(PathOf(spec.p), Path("b"));

  ASSERT_EQ(PFLFileSpecDelete(spec.p), 0);
  EXPECT_FALSE(Exists(Path("b")));
  EXPECT_EQ(PFLFileSpecDelete(spec.p), kQOXErrFileOpError);
}

TEST_F(FileSpecTest, EqualComparesPathsThenTheFileItself) {
  WriteFile(Path("a"), "x");
  WriteFile(Path("b"), "x");
  ASSERT_EQ(link(Path("a").c_str(), Path("hard").c_str()), 0);
  Spec a, dotA, hard, b, missing1, missing2;
  NewSpec(a, Path("a"));
  NewSpec(dotA, dir_ + "/./a");
  NewSpec(hard, Path("hard"));
  NewSpec(b, Path("b"));
  NewSpec(missing1, Path("m1"));
  NewSpec(missing2, Path("m2"));
  EXPECT_TRUE(PFLFileSpecsEqual(a.p, dotA.p));
  EXPECT_TRUE(PFLFileSpecsEqual(a.p, hard.p));
  EXPECT_FALSE(PFLFileSpecsEqual(a.p, b.p));  // same contents, other file
  EXPECT_FALSE(PFLFileSpecsEqual(missing1.p, missing2.p));
  EXPECT_FALSE(PFLFileSpecsEqual(a.p, nullptr));
  EXPECT_TRUE(PFLFileSpecsEqual(nullptr, nullptr));
}

TEST_F(FileSpecTest, DirectoryIterationListsEveryEntryThenEnds) {
  for (const char* n : {"one", "two", "three"}) WriteFile(Path(n), n);
  Spec dir;
  NewSpec(dir, dir_);
  PFLDirectoryIter* iter = nullptr;
  ASSERT_EQ(PFLNewDirectoryIter(dir.p, &iter), 0);
  std::set<std::string> seen;
  QOXError err;
  for (;;) {
    Spec entry;
    err = PFLNextFileInDirectory(iter, &entry.p);
    if (err != 0) break;
    seen.insert(PathOf(entry.p));
  }
  EXPECT_EQ(err, kQOXErrEndOfIteration);
  EXPECT_EQ(seen, (std::set<std::string>{Path("."), Path(".."), Path("one"), Path("two"),
                                         Path("three")}));
  EXPECT_EQ(PFLFreeDirectoryIter(iter), 0);

  Spec notDir;
  NewSpec(notDir, Path("nothing-here"));
  EXPECT_EQ(PFLNewDirectoryIter(notDir.p, &iter), kQOXErrFileOpError);
  EXPECT_EQ(iter, nullptr);
}

TEST_F(FileSpecTest, FileInfoAndUniqueNames) {
  WriteFile(Path("report.txt"), "12345");
  WriteFile(Path("report1.txt"), "");
  Spec spec, dir, unique;
  NewSpec(spec, Path("report.txt"));
  NewSpec(dir, dir_);
  PFLFileInfo info;
  ASSERT_EQ(PFLGetFileInfo(spec.p, &info), 0);
  EXPECT_EQ(info.flags, kPFLFileInfo_IsPlainFile);
  EXPECT_EQ(info.dataLength, 5u);
  EXPECT_NE(info.modificationTime, 0u);
  ASSERT_EQ(PFLGetFileInfo(dir.p, &info), 0);
  EXPECT_EQ(info.flags, kPFLFileInfo_IsDirectory);
  EXPECT_EQ(info.dataLength, 0u);
  Spec missing;
  NewSpec(missing, Path("none"));
  EXPECT_EQ(PFLGetFileInfo(missing.p, &info), kQOXErrFileOpError);

  ASSERT_EQ(PFLFileSpecGetUniqueSpec(spec.p, &unique.p), 0);
  EXPECT_EQ(PathOf(unique.p), Path("report2.txt"));
  Spec fresh, same;
  NewSpec(fresh, Path("fresh.dat"));
  ASSERT_EQ(PFLFileSpecGetUniqueSpec(fresh.p, &same.p), 0);
  EXPECT_EQ(PathOf(same.p), Path("fresh.dat"));
}

TEST_F(FileSpecTest, ExtendNameCutsToTheMaximum) {
  Spec spec;
  NewSpec(spec, Path("name"));
  ASSERT_EQ(PFLExtendFileSpecName(spec.p, ".bak"), 0);
  EXPECT_EQ(PathOf(spec.p), Path("name.bak"));
  std::string longName(250, 'n');
  PFLSetFileSpecName(spec.p, longName.c_str());
  ASSERT_EQ(PFLExtendFileSpecName(spec.p, ".suffix"), 0);
  EXPECT_EQ(PathOf(spec.p), Path(std::string(248, 'n') + ".suffix"));
  EXPECT_EQ(PFLExtendFileSpecName(spec.p, std::string(256, 's').c_str()), kQOXErrBadParams);
}

TEST_F(FileSpecTest, TempFileSpecNamesACreatedOwnerOnlyFile) {
  Spec temp;
  ASSERT_EQ(PFLGetTempFileSpec(mgr_, nullptr, &temp.p), 0);
  struct stat st;
  ASSERT_EQ(stat(PathOf(temp.p).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(PathOf(temp.p).rfind("/tmp/ptmp", 0), 0u);
  EXPECT_EQ(PFLFileSpecDelete(temp.p), 0);
  PFLFileSpec bogus{};
  PFLFileSpec* out = nullptr;
  EXPECT_EQ(PFLGetTempFileSpec(mgr_, &bogus, &out), kQOXErrBadParams);
}

TEST_F(FileSpecTest, OpenMapsErrorsAndLocksConflictBetweenOpens) {
  Spec missing, file;
  NewSpec(missing, Path("missing"));
  FILE* f = nullptr;
  EXPECT_EQ(qoxPlatformOpenFileSpecAsFILE(missing.p, "rb", &f), kQOXErrFileNotFound);
  EXPECT_EQ(f, nullptr);

  WriteFile(Path("locked"), "data");
  NewSpec(file, Path("locked"));
  FILE* first = nullptr;
  FILE* second = nullptr;
  ASSERT_EQ(qoxPlatformOpenFileSpecAsFILE(file.p, "r+b", &first), 0);
  ASSERT_EQ(qoxPlatformOpenFileSpecAsFILE(file.p, "r+b", &second), 0);
  ASSERT_EQ(qoxPlatformLockFILE(first, kPFLLockFILE_Write), 0);
  EXPECT_EQ(qoxPlatformLockFILE(second, 0), kQOXErrFileLocked);
  EXPECT_EQ(qoxPlatformLockFILE(second, kPFLLockFILE_Write), kQOXErrFileLocked);
  std::fclose(first);  // the lock ends with its stream
  EXPECT_EQ(qoxPlatformLockFILE(second, kPFLLockFILE_Write), 0);
  std::fclose(second);
}

TEST_F(FileSpecTest, PermissionClassesByFileType) {
  EXPECT_EQ(qoxFileTypeMask(kQOXFileTypePublicKeyRing), 077u);
  EXPECT_EQ(qoxFileTypeMask(kQOXFileTypePrivateKeyRing), 077u);
  EXPECT_EQ(qoxFileTypeMask(kQOXFileTypeRandSeed), 077u);
  for (uint32_t type : {0u, 4u, 6u, 8u, 9u, 10u}) EXPECT_EQ(qoxFileTypeMask(type), 022u) << type;
}

}  // namespace

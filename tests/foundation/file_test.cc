// File objects and file references on real files.
#include "foundation/file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "files_fixture.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/env.h"
#include "foundation/pipeline_services.h"
#include "tests/common/scoped_services.h"

namespace {

class FileTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
  }
  void TearDown() override {
    QOXFreeContext(context_);
    QOXsdkCleanup();
    FilesTest::TearDown();
  }
  mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
  }
  QOXContext* context_ = nullptr;
};

TEST_F(FileTest, StdioFilesEnforceTheirModeBits) {
  WriteFile(Path("in"), "abc");
  Spec in;
  NewSpec(in, Path("in"));
  QOXError err = 1;
  QOXFile* reader = qoxFileRefOpen(context_, in.p, 1, 0, &err);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(reader->sizeAdvise(reader), 3);
  EXPECT_EQ(reader->write("x", 1, reader), 0u);
  ASSERT_NE(reader->error(reader), nullptr);
  EXPECT_EQ(reader->error(reader)->error, kQOXErrFileLocked);
  EXPECT_EQ(reader->flush(reader), kQOXErrFileLocked);
  reader->clearError(reader);
  EXPECT_EQ(reader->error(reader), nullptr);
  char buf[8];
  EXPECT_EQ(reader->read(buf, 8, reader), 3u);
  EXPECT_EQ(reader->read(buf, 8, reader), 0u);
  EXPECT_TRUE(reader->eof(reader));
  EXPECT_EQ(reader->error(reader), nullptr);  // end of file is no error
  EXPECT_EQ(reader->seek(reader, 1, SEEK_SET), 0);
  EXPECT_EQ(reader->tell(reader), 1);
  EXPECT_EQ(reader->write2read(reader), kQOXErrFileLocked);
  EXPECT_EQ(reader->cfb(reader), nullptr);
  EXPECT_EQ(reader->close(reader), 0);

  Spec out;
  NewSpec(out, Path("out"));
  QOXFile* writer = qoxFileRefOpen(context_, out.p, 26, 0, &err);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->write("hello", 5, writer), 5u);
  EXPECT_EQ(writer->seek(writer, 0, SEEK_SET), kQOXErrIllegalFileOp);
  EXPECT_EQ(writer->read(buf, 1, writer), 0u);
  EXPECT_EQ(writer->error(writer)->error, kQOXErrIllegalFileOp);
  EXPECT_EQ(writer->write2read(writer), 0);  // a write file stays one
  EXPECT_EQ(writer->write(" you", 4, writer), 4u);
  EXPECT_EQ(writer->flush(writer), 0);
  EXPECT_EQ(writer->close(writer), 0);
  EXPECT_EQ(ReadFile(Path("out")), "hello you");
}

TEST_F(FileTest, OpenFlagsAndErrors) {
  WriteFile(Path("f"), "old contents");
  Spec f, missing;
  NewSpec(f, Path("f"));
  NewSpec(missing, Path("missing"));
  struct Case {
    uint16_t flags;
    QOXError err;
  } cases[] = {
      {2, kQOXErrBadParams},   // write without create or truncate
      {0, kQOXErrBadParams},
      {3, kQOXErrBadParams},   // r+: both access bits
      {27, kQOXErrBadParams},  // w+
      {23, kQOXErrBadParams},  // a+
      {9, kQOXErrBadParams},
  };
  for (const Case& c : cases) {
    QOXError err = 0;
    EXPECT_EQ(qoxFileRefOpen(context_, f.p, c.flags, 0, &err), nullptr) << c.flags;
    EXPECT_EQ(err, c.err) << c.flags;
  }
  EXPECT_EQ(ReadFile(Path("f")), "old contents");  // nothing was opened

  QOXError err = 0;
  EXPECT_EQ(qoxFileRefOpen(context_, missing.p, 1, 0, &err), nullptr);
  EXPECT_EQ(err, kQOXErrFileNotFound);
  FILE* stream = nullptr;
  EXPECT_EQ(qoxFileRefStdIOOpen(f.p, 2, 0, &stream), kQOXErrBadParams);
  ASSERT_EQ(qoxFileRefStdIOOpen(f.p, 26 | kQOXOpenFlag_Text, 0, &stream), 0);  // "w"
  std::fputs("new", stream);
  EXPECT_EQ(qoxStdIOClose(stream), 0);
  EXPECT_EQ(ReadFile(Path("f")), "new");
  ASSERT_EQ(qoxFileRefStdIOOpen(f.p, 22, 0, &stream), 0);  // "ab"
  std::fputs("er", stream);
  qoxStdIOClose(stream);
  EXPECT_EQ(ReadFile(Path("f")), "newer");

  // The lock bit: a second locked open is refused, and a refused "w" open
  // leaves the locked file's contents alone.
  FILE* first = nullptr;
  FILE* second = nullptr;
  ASSERT_EQ(qoxFileRefStdIOOpen(f.p, 3 | kQOXOpenFlag_Lock, 2, &first), 0);
  EXPECT_EQ(qoxFileRefStdIOOpen(f.p, 1 | kQOXOpenFlag_Lock, 2, &second), kQOXErrFileLocked);
  EXPECT_EQ(qoxFileRefStdIOOpen(f.p, 26 | kQOXOpenFlag_Lock, 2, &second), kQOXErrFileLocked);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(ReadFile(Path("f")), "newer");
  qoxStdIOClose(first);
  ASSERT_EQ(qoxFileRefStdIOOpen(f.p, 26 | kQOXOpenFlag_Lock, 2, &second), 0);
  qoxStdIOClose(second);
  EXPECT_EQ(ReadFile(Path("f")), "");
}

TEST_F(FileTest, FileModesByType) {
  mode_t saved = umask(0);
  struct Case {
    uint32_t type;
    mode_t mode;
  } cases[] = {{2, 0600}, {3, 0600}, {kQOXFileTypeRandSeed, 0600}, {0, 0644}, {8, 0644}, {9, 0644}};
  for (const Case& c : cases) {
    std::string created = Path("created" + std::to_string(c.type));
    std::string opened = Path("opened" + std::to_string(c.type));
    Spec a, b;
    NewSpec(a, created);
    NewSpec(b, opened);
    ASSERT_EQ(qoxCreateFile(a.p, c.type), 0);
    EXPECT_EQ(qoxCreateFile(a.p, c.type), kQOXErrCantOpenFile);  // must not exist
    FILE* stream = nullptr;
    ASSERT_EQ(qoxFileRefStdIOOpen(b.p, 26, c.type, &stream), 0);
    qoxStdIOClose(stream);
    EXPECT_EQ(ModeOf(created), c.mode) << c.type;
    EXPECT_EQ(ModeOf(opened), c.mode) << c.type;
  }
  umask(saved);
}

TEST_F(FileTest, SizeAdviceOfAPipeIsUnknownAndCloseKinds) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* w = fdopen(fds[1], "w");
  QOXFile* keep = qoxFileWriteOpenDontClose(context_, w);
  ASSERT_NE(keep, nullptr);
  EXPECT_EQ(keep->sizeAdvise(keep), -1);
  EXPECT_EQ(keep->write("ab", 2, keep), 2u);
  EXPECT_EQ(keep->close(keep), 0);
  EXPECT_EQ(std::fputs("c", w), 1);  // still open
  std::fflush(w);

  struct Closer {
    int calls = 0;
    static int Close(FILE* s, void* arg) {
      ++static_cast<Closer*>(arg)->calls;
      return std::fclose(s);
    }
  } closer;
  QOXFile* proc = qoxFileProcWriteOpen(context_, w, Closer::Close, &closer);
  ASSERT_NE(proc, nullptr);
  EXPECT_EQ(proc->close(proc), 0);
  EXPECT_EQ(closer.calls, 1);
  char got[4] = {};
  EXPECT_EQ(read(fds[0], got, sizeof got), 3);
  EXPECT_EQ(std::string(got, 3), "abc");
  close(fds[0]);
}

TEST_F(FileTest, MemoryFile) {
  QOXFile* mem = qoxFileMemOpen(context_, "0123456789", 10);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(mem->sizeAdvise(mem), 0);
  char buf[16] = {};
  EXPECT_EQ(mem->read(buf, 4, mem), 4u);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(mem->seek(mem, -2, SEEK_END), 0);
  EXPECT_EQ(mem->tell(mem), 8);
  EXPECT_EQ(mem->read(buf, 4, mem), 2u);  // short read: the two bytes are consumed
  ASSERT_NE(mem->error(mem), nullptr);
  EXPECT_EQ(mem->error(mem)->error, kQOXErrEOF);
  EXPECT_TRUE(mem->eof(mem));
  EXPECT_EQ(mem->tell(mem), 10);
  EXPECT_EQ(mem->read(buf, 4, mem), 0u);
  mem->clearError(mem);
  EXPECT_EQ(mem->error(mem), nullptr);
  EXPECT_EQ(mem->seek(mem, -3, SEEK_CUR), 0);
  EXPECT_EQ(mem->write("xyz", 3, mem), 3u);
  EXPECT_EQ(mem->write2read(mem), 0);
  EXPECT_EQ(mem->read(buf, 10, mem), 10u);
  EXPECT_EQ(std::string(buf, 10), "0123456xyz");
  EXPECT_EQ(mem->seek(mem, -20, SEEK_CUR), kQOXErrBadParams);
  EXPECT_EQ(mem->cfb(mem), nullptr);
  EXPECT_EQ(mem->close(mem), 0);

  QOXFile* empty = qoxFileMemOpen(context_, nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->eof(empty));
  empty->close(empty);
}

TEST_F(FileTest, TemporaryFilesFollowSettingThenTmpThenSlashTmp) {
  const char* savedTmp = std::getenv("TMP");
  std::string saved = savedTmp != nullptr ? savedTmp : "";
  auto make = [&] {
    PFLFileSpec* spec = nullptr;
    QOXError err = 1;
    FILE* f = qoxStdIOOpenTempFile(context_, &spec, &err);
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(err, 0);
    std::string path = PathOf(spec);
    EXPECT_EQ(std::fputs("x", f), 1);
    std::fclose(f);
    EXPECT_EQ(PFLFileSpecDelete(spec), 0);
    PFLFreeFileSpec(spec);
    return path.substr(0, path.size() - 6);  // less the XXXXXX part
  };
  unsetenv("TMP");
  EXPECT_EQ(make(), "/tmp/ptmp");
  setenv("TMP", dir_.c_str(), 1);  // no trailing '/'
  EXPECT_EQ(make(), dir_ + "/ptmp");
  std::filesystem::create_directory(Path("setting"));
  ASSERT_EQ(qoxenvSetString(qoxContextGetEnvironment(context_), 2012, (Path("setting") + "/").c_str(), 0), 0);
  EXPECT_EQ(make(), Path("setting") + "/ptmp");
  ASSERT_EQ(qoxenvSetString(qoxContextGetEnvironment(context_), 2012, Path("nowhere").c_str(), 0), 0);
  PFLFileSpec* spec = reinterpret_cast<PFLFileSpec*>(1);
  QOXError err = 0;
  EXPECT_EQ(qoxStdIOOpenTempFile(context_, &spec, &err), nullptr);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(err, kQOXErrCantOpenFile);
  if (savedTmp != nullptr) setenv("TMP", saved.c_str(), 1);
  else unsetenv("TMP");
}

TEST_F(FileTest, SizeRenameAndForwards) {
  WriteFile(Path("a"), "12345");
  Spec a, b, dir;
  NewSpec(a, Path("a"));
  NewSpec(b, "/elsewhere/b");
  NewSpec(dir, dir_);
  QOXFileOffset size = -1;
  ASSERT_EQ(qoxCalcFileSize(a.p, &size), 0);
  EXPECT_EQ(size, 5);
  ASSERT_EQ(qoxCalcFileSize(dir.p, &size), 0);
  EXPECT_EQ(size, 0);
  ASSERT_EQ(qoxRenameFile(a.p, b.p), 0);  // takes only the name
  EXPECT_TRUE(Exists(Path("b")));
  EXPECT_EQ(PathOf(a.p), Path("a"));  // the given spec is unchanged
  EXPECT_EQ(qoxCalcFileSize(a.p, &size), kQOXErrCantOpenFile);

  size_t n = 0;
  uint8_t* exported = qoxExportFileRef(b.p, &n);
  ASSERT_NE(exported, nullptr);
  EXPECT_EQ(n, 14u);
  Spec back;
  ASSERT_EQ(qoxImportFileRef(context_, exported, n, &back.p), 0);
  EXPECT_EQ(PathOf(back.p), "/elsewhere/b");
  QOXFreeData(exported);
  char* name = qoxGetFileRefName(back.p);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "b");
  QOXFreeData(name);
  ASSERT_EQ(qoxSetFileRefName(back.p, "c"), 0);
  EXPECT_EQ(PathOf(back.p), "/elsewhere/c");
  EXPECT_EQ(qoxGetFileRefMemoryMgr(back.p), QOXPeekContextMemoryMgr(context_));
}

TEST_F(FileTest, ReadCreateHandsTheFileToThePipeline) {
  WriteFile(Path("src"), "data");
  Spec src;
  NewSpec(src, Path("src"));
  QOXError err = 0;
  uint32_t word = 7;
  static QOXFile* handed = nullptr;
  static int closeFlag = -1;
  static int module = 0;
  {
    // When no pump can be made, the file is closed again.
    ostrak_test::ScopedServices pipeline(qoxPipelineServices, qoxRegisterPipelineServices);
    pipeline->qoxQOXFileReadCreate = [](QOXContext*, QOXFile*, int) -> QOXPipeModule* { return nullptr; };
    EXPECT_EQ(qoxFileRefReadCreate(context_, src.p, 1, &err, &word), nullptr);
    EXPECT_EQ(err, kQOXErrOutOfMemory);
  }
  {
    ostrak_test::ScopedServices pipeline(qoxPipelineServices, qoxRegisterPipelineServices);
    pipeline->qoxQOXFileReadCreate = [](QOXContext*, QOXFile* file, int close) {
      handed = file;
      closeFlag = close;
      return reinterpret_cast<QOXPipeModule*>(&module);
    };
    EXPECT_EQ(qoxFileRefReadCreate(context_, src.p, 1, &err, &word), reinterpret_cast<QOXPipeModule*>(&module));
  }
  EXPECT_EQ(word, 0u);
  // The pump is handed the file to own: it closes it.
  EXPECT_EQ(closeFlag, 1);
  ASSERT_NE(handed, nullptr);
  char buf[4];
  EXPECT_EQ(handed->read(buf, 4, handed), 4u);
  EXPECT_EQ(handed->close(handed), 0);
}

}  // namespace

// IO objects: memory, stdio file, proxy and line-end streams.
#include "foundation/io.h"

#include <cstdlib>
#include <random>
#include <vector>

#include "files_fixture.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

using IOTest = FilesTest;

struct IOHolder {
  QOXIO* p = nullptr;
  ~IOHolder() {
    if (p != nullptr) QOXFreeIO(p);
  }
};

std::string Drain(QOXIO* memory) {
  const uint8_t* data = nullptr;
  size_t len = 0;
  EXPECT_EQ(qoxMemoryIOPeekBuffer(memory, &data, &len), 0);
  return std::string(reinterpret_cast<const char*>(data), len);
}

TEST_F(IOTest, MemoryStreamGrowsByHalfOrToTheEnd) {
  ostrak_test::CountingMemoryMgr state;
  state.NoteReallocSizes(true);
  QOXMemoryMgr* counting = state.Make();
  ASSERT_NE(counting, nullptr);

  std::vector<uint8_t> bytes(2000, 'x');
  for (auto [count, grown] : {std::pair<size_t, size_t>{600, 768}, {2000, 2000}}) {
    state.ClearReallocSizes();
    IOHolder io;
    ASSERT_EQ(QOXNewMemoryIO(counting, &io.p), 0);
    ASSERT_EQ(QOXIOWrite(io.p, count, bytes.data()), 0);
    ASSERT_EQ(state.reallocSizes().size(), 1u);
    EXPECT_EQ(state.reallocSizes()[0], grown + kQOXBlockHeaderSize) << count;
    QOXFileOffset end = 0, pos = 0;
    QOXIOGetEOF(io.p, &end);
    QOXIOGetPos(io.p, &pos);
    EXPECT_EQ(end, static_cast<QOXFileOffset>(count));
    EXPECT_EQ(pos, static_cast<QOXFileOffset>(count));
  }

  // When growing by half fails, the stream asks for exactly what it needs;
  // when that fails too, the write fails and the stream is as it was.
  IOHolder io;
  ASSERT_EQ(QOXNewMemoryIO(counting, &io.p), 0);
  ASSERT_EQ(QOXIOWrite(io.p, 10, bytes.data()), 0);
  state.ClearReallocSizes();
  state.FailAfter(0);
  EXPECT_EQ(QOXIOWrite(io.p, 600, bytes.data()), kQOXErrOutOfMemory);
  EXPECT_EQ(state.reallocSizes(), (std::vector<size_t>{768 + kQOXBlockHeaderSize, 610 + kQOXBlockHeaderSize}));
  QOXFileOffset end = 0;
  QOXIOGetEOF(io.p, &end);
  EXPECT_EQ(end, 10);
  state.FailAfter(-1);
  QOXFreeIO(io.p);
  io.p = nullptr;

  // A construction that runs out of memory leaves nothing behind.
  int baseline = state.live();
  for (int budget : {0, 1}) {
    state.FailAfter(budget);
    QOXIO* none = reinterpret_cast<QOXIO*>(1);
    EXPECT_EQ(QOXNewMemoryIO(counting, &none), kQOXErrOutOfMemory) << budget;
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(state.live(), baseline) << budget;
  }
  state.FailAfter(-1);
  QOXFreeMemoryMgr(counting);
}

TEST_F(IOTest, FixedMemoryStreamBoundsAndShortReads) {
  char buffer[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  IOHolder io;
  ASSERT_EQ(QOXNewMemoryIOFixedBuffer(mgr_, buffer, sizeof buffer, &io.p), 0);
  QOXFileOffset end = 0;
  ASSERT_EQ(QOXIOGetEOF(io.p, &end), 0);
  EXPECT_EQ(end, 10);

  ASSERT_EQ(QOXIOSetPos(io.p, 6), 0);
  char out[8] = {};
  size_t got = 99;
  EXPECT_EQ(QOXIORead(io.p, 8, out, &got), kQOXErrEOF);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(out, 4), "6789");
  QOXFileOffset pos = 0;
  QOXIOGetPos(io.p, &pos);
  EXPECT_EQ(pos, 6);

  ASSERT_EQ(QOXIOSetPos(io.p, 10), 0);
  EXPECT_EQ(QOXIOWrite(io.p, 1, "x"), kQOXErrDiskFull);
  EXPECT_TRUE(QOXIOIsAtEOF(io.p));
  EXPECT_EQ(QOXIOSetPos(io.p, -1), kQOXErrBadParams);
  QOXIO* none = reinterpret_cast<QOXIO*>(1);
  EXPECT_EQ(QOXNewMemoryIOFixedBuffer(mgr_, nullptr, 4, &none), kQOXErrBadParams);
  EXPECT_EQ(none, nullptr);
}

TEST_F(IOTest, ProxyPassesTheMemoryMagicTestButIsNeverResizedAsMemory) {
  IOHolder target, proxy;
  ASSERT_EQ(QOXNewMemoryIO(mgr_, &target.p), 0);
  ASSERT_EQ(QOXNewProxyIO(target.p, false, &proxy.p), 0);
  EXPECT_TRUE(QOXMemoryIOIsValid(proxy.p));
  EXPECT_TRUE(QOXProxyIOIsValid(target.p));
  EXPECT_FALSE(QOXFileIOIsValid(proxy.p));
  EXPECT_FALSE(QOXLineEndIOIsValid(proxy.p));
  EXPECT_EQ(qoxMemoryIOReallocate(proxy.p, 4096), kQOXErrBadParams);
  EXPECT_EQ(qoxMemoryIOReallocate(target.p, 4096), 0);

  ASSERT_EQ(QOXIOWrite(proxy.p, 5, "hello"), 0);
  EXPECT_EQ(Drain(target.p), "hello");
  ASSERT_EQ(QOXIOSetPos(proxy.p, 1), 0);
  char out[4] = {};
  ASSERT_EQ(QOXIORead(proxy.p, 4, out, nullptr), 0);
  EXPECT_EQ(std::string(out, 4), "ello");
}

TEST_F(IOTest, LineEndConversion) {
  struct Case {
    int kind;
    std::vector<std::string> writes;  // successive writes
    std::string out;
  } cases[] = {
      {kQOXLineEnd_CRLF, {"a\rb\nc\r\nd"}, "a\r\nb\r\nc\r\nd"},
      {kQOXLineEnd_LF, {"a\rb\nc\r\nd"}, "a\nb\nc\nd"},
      {kQOXLineEnd_CR, {"a\rb\nc\r\nd"}, "a\rb\rc\rd"},
      {7, {"a\r\n"}, "a\n"},  // any other kind is LF
      // A CR ending one write and an LF starting the next are one line end.
      {kQOXLineEnd_CRLF, {"a\r", "\nb"}, "a\r\nb"},
      {kQOXLineEnd_LF, {"a\r", "\nb"}, "a\nb"},
      {kQOXLineEnd_LF, {"a\r", "b\n", "\n"}, "a\nb\n\n"},
      {kQOXLineEnd_CR, {"\n\n\r\r"}, "\r\r\r\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    IOHolder target, conv;
    ASSERT_EQ(QOXNewMemoryIO(mgr_, &target.p), 0);
    ASSERT_EQ(QOXNewLineEndIO(target.p, false, c.kind, &conv.p), 0);
    EXPECT_TRUE(QOXLineEndIOIsValid(conv.p));
    for (const std::string& w : c.writes) ASSERT_EQ(QOXIOWrite(conv.p, w.size(), w.data()), 0);
    // The stream's own position counts output bytes.
    EXPECT_EQ(conv.p->position, static_cast<QOXFileOffset>(c.out.size()));
    ASSERT_EQ(QOXIOFlush(conv.p), 0);
    EXPECT_EQ(Drain(target.p), c.out);
  }
}

TEST_F(IOTest, LineEndStreamIsWriteOnlyAndFlushesLargeOutputInPieces) {
  IOHolder conv;
  QOXIO* target = nullptr;
  ASSERT_EQ(QOXNewMemoryIO(mgr_, &target), 0);
  ASSERT_EQ(QOXNewLineEndIO(target, true, kQOXLineEnd_CRLF, &conv.p), 0);
  char out[3] = {'x', 'x', 'x'};
  size_t got = 9;
  EXPECT_EQ(QOXIORead(conv.p, 3, out, &got), kQOXErrIllegalFileOp);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(out[0], 0);

  std::string in, expect;
  for (int i = 0; i < 3000; ++i) {
    in += "line\n";
    expect += "line\r\n";
  }
  ASSERT_EQ(QOXIOWrite(conv.p, in.size(), in.data()), 0);
  QOXFileOffset written = 0;
  QOXIOGetPos(conv.p, &written);  // the target's position: flushed bytes only
  EXPECT_EQ(written % 4096, 0);
  EXPECT_GT(written, 0);
  ASSERT_EQ(QOXIOFlush(conv.p), 0);
  EXPECT_EQ(Drain(target), expect);
  // Freeing the owning converter frees the target (checked by the sanitizer build).
}

TEST_F(IOTest, CopyIOOfAMultiMegabyteFileIsExact) {
  std::string bytes(5 * 1024 * 1024 + 123, '\0');
  std::mt19937 rng(7);
  for (char& b : bytes) b = static_cast<char>(rng());
  WriteFile(Path("src"), bytes);
  WriteFile(Path("dst"), "");
  Spec src, dst;
  NewSpec(src, Path("src"));
  NewSpec(dst, Path("dst"));
  IOHolder in, out;
  ASSERT_EQ(QOXOpenFileSpec(src.p, 0, &in.p), 0);
  ASSERT_EQ(QOXOpenFileSpec(dst.p, kQOXOpenFileSpec_Write | kQOXOpenFileSpec_Lock, &out.p), 0);
  EXPECT_TRUE(QOXStdFileIOIsValid(in.p));
  EXPECT_TRUE(QOXFileIOIsValid(in.p));
  QOXFileOffset end = 0;
  ASSERT_EQ(QOXIOGetEOF(in.p, &end), 0);
  EXPECT_EQ(end, static_cast<QOXFileOffset>(bytes.size()));
  ASSERT_EQ(QOXCopyIO(in.p, end, out.p), 0);
  EXPECT_EQ(QOXCopyIO(in.p, 0, out.p), 0);
  EXPECT_EQ(QOXCopyIO(in.p, 1, out.p), kQOXErrEOF);  // source exhausted
  ASSERT_EQ(QOXFreeIO(out.p), 0);
  out.p = nullptr;
  EXPECT_EQ(ReadFile(Path("dst")), bytes);

  // A locked file cannot be opened locked a second time.
  IOHolder first, second;
  ASSERT_EQ(QOXOpenFileSpec(dst.p, kQOXOpenFileSpec_Write | kQOXOpenFileSpec_Lock, &first.p), 0);
  EXPECT_EQ(QOXOpenFileSpec(dst.p, kQOXOpenFileSpec_Lock, &second.p), kQOXErrFileLocked);
  EXPECT_EQ(second.p, nullptr);
}

TEST_F(IOTest, OpenFileSpecFlagsAndFileSize) {
  WriteFile(Path("f"), "0123456789");
  Spec spec, missing;
  NewSpec(spec, Path("f"));
  NewSpec(missing, Path("none"));
  QOXIO* io = reinterpret_cast<QOXIO*>(1);
  EXPECT_EQ(QOXOpenFileSpec(spec.p, 4, &io), kQOXErrBadParams);
  EXPECT_EQ(io, nullptr);
  EXPECT_EQ(QOXOpenFileSpec(missing.p, 0, &io), kQOXErrFileNotFound);

  // Read-only streams refuse to write.
  IOHolder ro;
  ASSERT_EQ(QOXOpenFileSpec(spec.p, 0, &ro.p), 0);
  ASSERT_EQ(QOXIOSetPos(ro.p, 8), 0);
  char two[2];
  ASSERT_EQ(QOXIORead(ro.p, 2, two, nullptr), 0);
  EXPECT_EQ(std::string(two, 2), "89");
  EXPECT_EQ(QOXIOWrite(ro.p, 1, "x"), kQOXErrWriteFailed);

  ASSERT_EQ(QOXSetFileSize(spec.p, 4), 0);
  EXPECT_EQ(ReadFile(Path("f")), "0123");
  ASSERT_EQ(QOXSetFileSize(spec.p, 6), 0);
  EXPECT_EQ(ReadFile(Path("f")), std::string("0123\0\0", 6));
  EXPECT_EQ(QOXSetFileSize(spec.p, -1), kQOXErrBadParams);
  EXPECT_EQ(QOXSetFileSize(missing.p, 1), kQOXErrFileOpError);
}

TEST_F(IOTest, InvalidObjectsAreRefused) {
  QOXIO fake{};
  char b[1];
  EXPECT_EQ(QOXIORead(&fake, 1, b, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXIOWrite(nullptr, 1, b), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeIO(&fake), kQOXErrBadParams);
  EXPECT_TRUE(QOXIOIsAtEOF(nullptr));
  IOHolder mem;
  ASSERT_EQ(QOXNewMemoryIO(mgr_, &mem.p), 0);
  EXPECT_EQ(QOXIORead(mem.p, 1, nullptr, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXIORead(mem.p, 0, b, nullptr), 0);
  QOXIO* proxy = nullptr;
  EXPECT_EQ(QOXNewProxyIO(&fake, false, &proxy), kQOXErrBadParams);
}

}  // namespace

// The generic modules: sinks, the file read pump, copy, join, split, the
// file header module, the text filter and recognising message data.
#include <fcntl.h>

#include "foundation/file.h"
#include "foundation/file_spec.h"
#include "pipeline/file_read_pump.h"
#include "pipeline/generic_modules.h"
#include "pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::Feed;
using pipeline_test::PipelineTest;
using pipeline_test::RandomBytes;
using pipeline_test::Recorder;
using pipeline_test::ToBytes;
using pipeline_test::ToString;

class GenericModulesTest : public PipelineTest {
 protected:
  uint32_t Ask(QOXPipeline* m, uint32_t type) {
    uint32_t answer = 0xFFFFFFFF;
    EXPECT_EQ(m->annotate(m, nullptr, type, &answer, sizeof answer), 0);
    return answer;
  }
  size_t Write(QOXPipeline* m, const std::string& s, QOXError* err = nullptr) {
    QOXError e = 0;
    size_t n = m->write(m, reinterpret_cast<const uint8_t*>(s.data()), s.size(), &e);
    if (err != nullptr) *err = e;
    return n;
  }
};

TEST_F(GenericModulesTest, FixedMemorySinkKeepsWhatFitsAndCountsAll) {
  uint8_t buf[10];
  std::memset(buf, 0xAA, sizeof buf);
  QOXPipeline* sink = nullptr;
  ASSERT_EQ(qoxMemModCreate(context_, &sink, buf, sizeof buf), sink);
  EXPECT_EQ(Write(sink, "abcd"), 4u);
  EXPECT_EQ(buf[4], 0) << "a zero byte follows when room remains";
  EXPECT_EQ(Write(sink, "efghijkl"), 8u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 10), "abcdefghij");
  EXPECT_EQ(Ask(sink, kQOXAnnMemByteCount), 12u);
  EXPECT_EQ(Ask(sink, kQOXAnnMemBufSize), 10u);
  // Disabled, writes are taken and not counted.
  uint8_t off = 0;
  EXPECT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemEnable, &off, 1), 0);
  EXPECT_EQ(Write(sink, "zz"), 2u);
  EXPECT_EQ(Ask(sink, kQOXAnnMemByteCount), 12u);
  // Append counts only bytes in place at the sink's own buffer.
  uint8_t other[4];
  EXPECT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemAppend, other, 4), kQOXErrBadParams);
  sink->teardown(sink);

  QOXPipeline* fresh = nullptr;
  qoxMemModCreate(context_, &fresh, buf, sizeof buf);
  EXPECT_EQ(fresh->annotate(fresh, nullptr, kQOXAnnMemAppend, buf, 3), 0);
  EXPECT_EQ(Ask(fresh, kQOXAnnMemByteCount), 3u);
  Write(fresh, "XY");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), std::string("abcXY\0", 6));
  fresh->teardown(fresh);
}

TEST_F(GenericModulesTest, GrowingMemorySinkHandsItsContentsOutOnce) {
  for (bool secure : {false, true}) {
    QOXPipeline* sink = nullptr;
    ASSERT_NE(secure ? qoxSecureVariableMemModCreate(context_, &sink, 5) : qoxVariableMemModCreate(context_, &sink, 5),
              nullptr);
    EXPECT_EQ(Write(sink, "abc"), 3u);
    EXPECT_EQ(Write(sink, "defg"), 4u);  // the limit keeps 5 of the 7
    EXPECT_EQ(Ask(sink, kQOXAnnMemBufSize), 5u);
    EXPECT_EQ(Ask(sink, kQOXAnnMemByteCount), 7u);
    EXPECT_EQ(Ask(sink, kQOXAnnMemMaxSize), 5u);
    // Append goes past the limit and adds to both counts.
    EXPECT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemAppend, const_cast<char*>("XY"), 2), 0);
    EXPECT_EQ(Ask(sink, kQOXAnnMemBufSize), 7u);
    uint8_t* block = nullptr;
    ASSERT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemMemBuf, &block, sizeof block), 0);
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(block), "abcdeXY");
    QOXFreeData(block);
    // A second request finds the FIFO emptied.
    ASSERT_EQ(sink->annotate(sink, nullptr, kQOXAnnMemMemBuf, &block, sizeof block), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(block), "");
    QOXFreeData(block);
    sink->teardown(sink);
  }
}

TEST_F(GenericModulesTest, DevNullAndCopyPassOrSwallow) {
  QOXPipeline* head = nullptr;
  QOXPipeline** tail = qoxCopyModCreate(context_, &head);
  ASSERT_NE(tail, nullptr);
  ASSERT_NE(qoxDevNullCreate(context_, tail), nullptr);
  EXPECT_EQ(Write(head, "anything"), 8u);
  EXPECT_EQ(head->annotate(head, nullptr, kQOXAnnLiteralBegin, nullptr, 0), 0);
  EXPECT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_STREQ(head->name, "Copy Module");
  EXPECT_STREQ((*tail)->name, "Dev Null");
  head->teardown(head);
  EXPECT_EQ(qoxCopyModCreate(context_, nullptr), nullptr);
}

TEST_F(GenericModulesTest, FileSinkWritesEverythingOrFails) {
  FILE* stream = std::fopen(Path("out").c_str(), "wb");
  QOXFile* file = qoxFileWriteOpen(context_, stream);
  QOXPipeline* sink = nullptr;
  ASSERT_NE(qoxFileWriteCreate(context_, &sink, file, true), nullptr);
  Bytes data = RandomBytes(5000, 1);
  EXPECT_EQ(Feed(sink, data), 0);  // the end closes the owned file
  EXPECT_EQ(ReadFile(Path("out")), data);
  // Further writes have no file.
  QOXError err = 0;
  EXPECT_EQ(Write(sink, "x", &err), 0u);
  EXPECT_EQ(err, kQOXErrCantOpenFile);
  // The output-file annotation opens a new file.
  std::string name = Path("second");
  EXPECT_EQ(sink->annotate(sink, nullptr, kQOXAnnOutputFilename, name.data(), name.size()), 0);
  EXPECT_EQ(Write(sink, "second"), 6u);
  sink->teardown(sink);
  EXPECT_EQ(ToString(ReadFile(name)), "second");

  // A file that takes nothing is a failure, not a short success.
  FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  QOXPipeline* bad = nullptr;
  qoxFileWriteCreate(context_, &bad, qoxFileWriteOpen(context_, full), true);
  EXPECT_LT(Write(bad, "doomed", &err), 6u);
  EXPECT_EQ(err, kQOXErrFileOpError);
  bad->teardown(bad);
}

TEST_F(GenericModulesTest, FileReadPumpFeedsTheChainAndKeepsItsPromise) {
  Bytes data = RandomBytes(2500, 2);
  WriteFile(Path("in"), data);
  Recorder r;
  QOXPipeModule* pump = qoxFileReadCreate(context_, std::fopen(Path("in").c_str(), "rb"), 1);
  ASSERT_NE(pump, nullptr);
  static uint64_t lastDone = 0;
  qoxFileReadSetCallBack(
      pump, [](void*, uint64_t done, uint64_t total) -> QOXError {
        EXPECT_EQ(total, 2500u);
        lastDone = done;
        return 0;
      },
      nullptr);
  EXPECT_EQ(qoxFileReadPump(pump, &r.module), 0);
  EXPECT_EQ(r.bytes, data);
  EXPECT_EQ(lastDone, 2500u);
  ASSERT_EQ(r.notes.size(), 2u);
  EXPECT_EQ(r.notes[0].type, kQOXAnnInputBegin);
  EXPECT_EQ(r.notes[1].type, kQOXAnnInputEnd);
  EXPECT_EQ(r.advices.front(), 2500u);
  EXPECT_TRUE(r.Ended());
  // Peek shows nothing more at the end; close sends nothing twice.
  EXPECT_EQ(qoxFileReadClose(pump, &r.module), 0);
  EXPECT_EQ(r.notes.size(), 2u);
  qoxFileReadDestroy(pump);
}

// A file that promises 100 bytes and gives 60.
size_t ShortRead(void* buffer, size_t count, QOXFile* file) {
  auto* left = static_cast<size_t*>(file->priv);
  size_t n = std::min(count, *left);
  std::memset(buffer, 'x', n);
  *left -= n;
  return n;
}

TEST_F(GenericModulesTest, FileReadPumpRefusesABrokenPromise) {
  size_t left = 60;
  QOXFile file{};
  file.priv = &left;
  file.read = ShortRead;
  file.eof = [](QOXFile* f) { return *static_cast<size_t*>(f->priv) == 0; };
  file.sizeAdvise = [](QOXFile*) -> QOXFileOffset { return 100; };
  file.error = [](QOXFile*) -> const QOXFileError* { return nullptr; };
  QOXPipeModule* pump = qoxQOXFileReadCreate(context_, &file, 0);
  Recorder r;
  EXPECT_EQ(qoxFileReadPump(pump, &r.module), kQOXErrSizeAdviseFailure);
  EXPECT_EQ(r.bytes.size(), 60u);
  qoxFileReadDestroy(pump);
}

TEST_F(GenericModulesTest, FileReadPumpResumesAfterAnError) {
  Bytes data = RandomBytes(3000, 3);
  WriteFile(Path("in"), data);
  Recorder r;
  r.failAfter = 1500;
  QOXPipeModule* pump = qoxFileReadCreate(context_, std::fopen(Path("in").c_str(), "rb"), 1);
  EXPECT_EQ(qoxFileReadPump(pump, &r.module), kQOXErrWriteFailed);
  r.failAfter = -1;
  EXPECT_EQ(qoxFileReadPump(pump, &r.module), 0);
  EXPECT_EQ(r.bytes, data);
  qoxFileReadDestroy(pump);
}

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST_F(GenericModulesTest, PumpOfAFileReferenceClosesItsFile) {
  Bytes data = ToBytes("file reference data");
  WriteFile(Path("ref"), data);
  PFLFileSpec* spec = nullptr;
  ASSERT_EQ(PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context_), Path("ref").c_str(), &spec), 0);
  int before = OpenDescriptors();
  QOXError err = 0;
  QOXPipeModule* pump = qoxFileRefReadCreate(context_, spec, kQOXOpenFlag_Read, &err, nullptr);
  ASSERT_NE(pump, nullptr) << err;
  EXPECT_EQ(OpenDescriptors(), before + 1);
  Recorder r;
  EXPECT_EQ(qoxFileReadPump(pump, &r.module), 0);
  EXPECT_EQ(r.bytes, data);
  qoxFileReadDestroy(pump);
  EXPECT_EQ(OpenDescriptors(), before);
  PFLFreeFileSpec(spec);
}

TEST_F(GenericModulesTest, JoinDeliversInputsInOrder) {
  Recorder r;
  QOXPipeline* first = nullptr;
  QOXPipeline** out = qoxJoinCreate(context_, &first, &qoxByteFifoDesc);
  ASSERT_NE(out, nullptr);
  *out = &r.module;
  QOXPipeline* second = qoxJoinAppend(first);
  QOXPipeline* third = qoxJoinAppend(second);
  ASSERT_NE(third, nullptr);
  EXPECT_STREQ(second->name, "Join Module Appendage");
  // Later inputs are written first; their bytes wait.
  EXPECT_EQ(Write(third, "333"), 3u);
  EXPECT_EQ(qoxJoinBuffer(second, reinterpret_cast<const uint8_t*>("2"), 1), 1u);
  EXPECT_EQ(Write(second, "22"), 2u);
  EXPECT_EQ(third->sizeAdvise(third, 0), 0);
  EXPECT_EQ(second->sizeAdvise(second, 0), 0);
  EXPECT_EQ(r.Text(), "");
  EXPECT_EQ(first->annotate(first, nullptr, kQOXAnnInputBegin, nullptr, 0), 0);  // dropped
  EXPECT_EQ(first->annotate(first, nullptr, kQOXAnnLiteralType, nullptr, 0), 0);  // passed
  EXPECT_EQ(Write(first, "1111"), 4u);
  EXPECT_EQ(r.Text(), "1111");
  EXPECT_FALSE(r.Ended());
  EXPECT_EQ(first->sizeAdvise(first, 0), 0);
  EXPECT_EQ(r.Text(), "1111222333");
  EXPECT_TRUE(r.Ended());
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.notes[0].type, kQOXAnnLiteralType);
  // The output goes only when every input is torn down.
  first->teardown(first);
  third->teardown(third);
  EXPECT_FALSE(r.tornDown);
  second->teardown(second);
  EXPECT_TRUE(r.tornDown);
}

TEST_F(GenericModulesTest, JoinSumsPromisesAndHoldsThemToTheirWord) {
  Recorder r;
  QOXPipeline* first = nullptr;
  *qoxJoinCreate(context_, &first, &qoxByteFifoDesc) = &r.module;
  QOXPipeline* second = qoxJoinAppend(first);
  Write(second, "ab");
  EXPECT_EQ(second->sizeAdvise(second, 3), 0);  // promise 5
  EXPECT_TRUE(r.advices.empty());
  EXPECT_EQ(first->sizeAdvise(first, 4), 0);
  ASSERT_EQ(r.advices.size(), 1u);
  EXPECT_EQ(r.advices[0], 9u);
  Write(second, "c");
  EXPECT_EQ(second->sizeAdvise(second, 1), kQOXErrSizeAdviseFailure);  // 2 are owed
  EXPECT_EQ(second->sizeAdvise(second, 2), 0);
  first->teardown(first);
  second->teardown(second);
}

TEST_F(GenericModulesTest, SplitGivesBothTailsTheSameStream) {
  Recorder a, b;
  QOXPipeline* split = nullptr;
  QOXPipeline** t0 = qoxSplitCreate(context_, &split);
  *t0 = &a.module;
  QOXPipeline** t1 = qoxSplitAdd(split);
  ASSERT_NE(t1, nullptr);
  *t1 = &b.module;
  EXPECT_EQ(qoxSplitAdd(split), nullptr) << "two tails at most";
  Bytes data = RandomBytes(5000, 4);
  // The second tail fails in the middle of a chunk, then recovers.
  b.failAfter = 1500;
  QOXError err = 0;
  size_t took = split->write(split, data.data(), data.size(), &err);
  EXPECT_EQ(err, kQOXErrWriteFailed);
  EXPECT_EQ(took, 2048u) << "the chunk that failed counts as taken";
  b.failAfter = -1;
  EXPECT_EQ(qoxPipelineWriteAll(split, data.data() + took, data.size() - took, nullptr), 0);
  EXPECT_EQ(split->annotate(split, nullptr, kQOXAnnLiteralBegin, nullptr, 0), 0);
  EXPECT_EQ(split->sizeAdvise(split, 7), 0);  // inside a scope: first tail only
  EXPECT_EQ(split->annotate(split, nullptr, kQOXAnnLiteralEnd, nullptr, 0), 0);
  EXPECT_EQ(split->sizeAdvise(split, 0), 0);
  EXPECT_EQ(a.bytes, data);
  EXPECT_EQ(b.bytes, data);
  EXPECT_EQ(a.notes.size(), 2u);
  EXPECT_TRUE(b.notes.empty());
  EXPECT_EQ(a.advices, (std::vector<uint64_t>{7, 0}));
  EXPECT_EQ(b.advices, (std::vector<uint64_t>{0}));
  split->teardown(split);
  EXPECT_TRUE(a.tornDown && b.tornDown);
}

TEST_F(GenericModulesTest, FileHeaderPutsTheMarkerPacketBeforeNewFormatData) {
  // RFC 2440 section 5.8: old-format tag 10, length 3, "PGP".
  const Bytes marker = {0xA8, 0x03, 'P', 'G', 'P'};
  struct Case {
    uint8_t first;
    bool marked;
  } cases[] = {{0xC1, true}, {0xC6, true}, {0xCB, true}, {0xD2, true}, {0xFC, true},
               {0x85, false}, {0x99, false}, {0xCA, false}, {0xCD, false}, {0xC0, false}};
  for (const Case& c : cases) {
    Recorder r;
    QOXPipeline* head = nullptr;
    *qoxHeaderCreate(context_, &head) = &r.module;
    EXPECT_EQ(head->sizeAdvise(head, 3), 0);  // before data: not passed on
    Bytes data = {c.first, 0x01, 0x02};
    EXPECT_EQ(Feed(head, data, 1), 0);
    Bytes expected = c.marked ? marker : Bytes();
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(r.bytes, expected) << std::hex << int(c.first);
    EXPECT_EQ(r.advices, (std::vector<uint64_t>{0}));
    head->teardown(head);
  }
  // An empty input still ends.
  Recorder r;
  QOXPipeline* head = nullptr;
  *qoxHeaderCreate(context_, &head) = &r.module;
  EXPECT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_TRUE(r.Ended());
  head->teardown(head);
}

TEST_F(GenericModulesTest, TextFilterLineEndsBlanksAndMaps) {
  uint8_t upper[256];
  for (int i = 0; i < 256; ++i) upper[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  struct Case {
    std::string in;
    uint32_t lineEnd;
    bool strip;
    const uint8_t* map;
    std::string out;
  } cases[] = {
      {"a  \n", kQOXLineEndCRLF, true, nullptr, "a\r\n"},
      {"a  \r\n", kQOXLineEndKeep, true, nullptr, "a\r\n"},
      {"a\r\nb\rc\nd", kQOXLineEndLF, false, nullptr, "a\nb\nc\nd"},
      {"a\r\nb\rc\nd", kQOXLineEndCR, false, nullptr, "a\rb\rc\rd"},
      {"a\nb\r\n", kQOXLineEndCRLF, false, nullptr, "a\r\nb\r\n"},
      {"\r\r\n", kQOXLineEndLF, false, nullptr, "\n\n"},
      // Tabs are trailing blanks as spaces are; inner runs stay exactly.
      {"x \t y\t \t\nz \t", kQOXLineEndLF, true, nullptr, "x \t y\nz"},
      {"keep  \n", kQOXLineEndKeep, false, nullptr, "keep  \n"},
      {"ab c\n", kQOXLineEndKeep, false, upper, "AB C\n"},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{0}, size_t{1}}) {
      Recorder r;
      QOXPipeline* head = nullptr;
      *qoxTextFiltCreate(context_, &head, c.map, c.strip, c.lineEnd) = &r.module;
      EXPECT_EQ(Feed(head, ToBytes(c.in), piece), 0);
      EXPECT_EQ(r.Text(), c.out) << "input '" << c.in << "' type " << c.lineEnd << " piece " << piece;
      head->teardown(head);
    }
  }
}

TEST_F(GenericModulesTest, TextFilterHoldsLongBlankRunsAndResumes) {
  std::string text = "word" + std::string(3000, ' ') + "next" + std::string(2000, '\t') + "\nend";
  std::string expected = "word" + std::string(3000, ' ') + "next\r\nend";
  Recorder r;
  r.chunk = 100;
  r.failAfter = 700;
  QOXPipeline* head = nullptr;
  *qoxTextFiltCreate(context_, &head, nullptr, true, kQOXLineEndCRLF) = &r.module;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  size_t at = 0;
  QOXError err = 0;
  at += head->write(head, p, text.size(), &err);
  EXPECT_EQ(err, kQOXErrWriteFailed);
  r.failAfter = -1;
  EXPECT_EQ(qoxPipelineWriteAll(head, p + at, text.size() - at, nullptr), 0);
  EXPECT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_EQ(r.Text(), expected);
  head->teardown(head);
}

TEST_F(GenericModulesTest, AnnotationsFollowHeldBytes) {
  Recorder r;
  QOXPipeline* head = nullptr;
  *qoxTextFiltCreate(context_, &head, nullptr, false, kQOXLineEndKeep) = &r.module;
  r.failAfter = 0;
  QOXError err = 0;
  EXPECT_EQ(Write(head, "held", &err), 4u);  // taken into the filter's buffer
  EXPECT_EQ(head->annotate(head, nullptr, kQOXAnnLiteralEnd, nullptr, 0), kQOXErrWriteFailed);
  EXPECT_TRUE(r.notes.empty()) << "not passed on while its bytes are stuck";
  r.failAfter = -1;
  EXPECT_EQ(head->annotate(head, nullptr, kQOXAnnLiteralEnd, nullptr, 0), 0);
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.notes[0].at, 4u);
  head->teardown(head);
}

TEST_F(GenericModulesTest, RecognisesMessageData) {
  struct Case {
    Bytes bytes;
    bool message;
  } cases[] = {
      {{}, false},
      {{0x41, 0x42}, false},
      {{0xA8, 0x03, 'P', 'G', 'P'}, true},
      {{0x80}, false},           // old format, tag 0
      {{0x99, 0x01}, true},      // old format, tag 6
      {{0xC0}, false},           // new format, tag 0
      {{0xC6}, true},
      {{0xFC}, true},            // tag 60
      {{0xFD}, false},           // tag 61
  };
  for (const Case& c : cases) EXPECT_EQ(qoxFileTypeQOX(c.bytes.data(), c.bytes.size()), c.message);
}

}  // namespace

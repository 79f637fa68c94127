// Packet headers: reading from memory and stdio files (old and new forms,
// partial bodies, skipping, the error cases), and writing into buffers (the
// widening rules, the new-form boundaries), each header read back by the
// reader.
#include "keydb/packet_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "foundation/file.h"
#include "foundation/sdk_errors.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

Bytes Filler(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// A new-form user-ID packet whose 1573-byte body comes as chunks of 512,
// 1024 and a final 37, then a one-byte-length packet (tag 2, body 3 bytes).
struct PartialStream {
  Bytes stream;
  Bytes body;
  size_t nextPacket;
};

PartialStream MakePartial() {
  PartialStream p;
  const Bytes a = Filler(512, 1);
  const Bytes b = Filler(1024, 2);
  const Bytes c = Filler(37, 3);
  p.stream = {0xCD, 0xE9};  // 224 + 9: a chunk of 512
  Append(p.stream, a);
  p.stream.push_back(0xEA);  // 1024
  Append(p.stream, b);
  p.stream.push_back(37);
  Append(p.stream, c);
  p.nextPacket = p.stream.size();
  Append(p.stream, {0x88, 0x03, 0xAA, 0xBB, 0xCC});
  p.body = a;
  Append(p.body, b);
  Append(p.body, c);
  return p;
}

class PacketHeaderTest : public keydb_test::KeyDBTest {
 protected:
  // The same bytes as a memory file and as a stdio file.
  std::vector<std::pair<const char*, QOXFile*>> Files(const Bytes& data) {
    std::vector<std::pair<const char*, QOXFile*>> out;
    out.emplace_back("memory", qoxFileMemOpen(context_, data.data(), data.size()));
    FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    if (!data.empty()) {
      EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    }
    std::rewind(f);
    out.emplace_back("stdio", qoxFileReadOpen(context_, f));
    for (auto& [kind, file] : out) EXPECT_NE(file, nullptr) << kind;
    return out;
  }
  void Close(std::vector<std::pair<const char*, QOXFile*>>& files) {
    for (auto& [kind, file] : files) file->close(file);
  }
};

TEST_F(PacketHeaderTest, PartialBodyReadsWholeAndLeavesTheNextPacket) {
  const PartialStream p = MakePartial();
  auto files = Files(p.stream);
  for (auto& [kind, file] : files) {
    SCOPED_TRACE(kind);
    uint64_t total = 0;
    uint64_t first = 0;
    QOXFileOffset position = -1;
    EXPECT_EQ(qoxPktByteGet(file, &total, &first, &position), 0xCD);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(total, 1573u);
    EXPECT_EQ(first, 512u);
    EXPECT_EQ(file->tell(file), 2) << "the file stands at the first chunk's data";
    Bytes body(total);
    EXPECT_EQ(qoxPktBodyRead(body.data(), total, first, file), 1573u);
    EXPECT_EQ(body, p.body);
    EXPECT_EQ(file->tell(file), static_cast<QOXFileOffset>(p.nextPacket));
    EXPECT_EQ(qoxPktByteGet(file, &total, &first, &position), 0x88);
    EXPECT_EQ(position, static_cast<QOXFileOffset>(p.nextPacket));
    EXPECT_EQ(total, 3u);
    EXPECT_EQ(first, 3u);
  }
  Close(files);
}

TEST_F(PacketHeaderTest, SkippingAPartialBodyWalksItsChunks) {
  const PartialStream p = MakePartial();
  auto files = Files(p.stream);
  for (auto& [kind, file] : files) {
    SCOPED_TRACE(kind);
    uint64_t total = 0;
    uint64_t first = 0;
    ASSERT_EQ(qoxPktByteGet(file, &total, &first, nullptr), 0xCD);
    EXPECT_EQ(qoxPktBodySkip(file, total, first), kQOXErrNoErr);
    // A seek over the total from the first chunk would land 2 bytes short.
    EXPECT_EQ(file->tell(file), static_cast<QOXFileOffset>(p.nextPacket));
    EXPECT_EQ(qoxPktByteGet(file, &total, &first, nullptr), 0x88);
    EXPECT_EQ(qoxPktBodySkip(file, total, first), kQOXErrNoErr);
    EXPECT_EQ(qoxPktByteGet(file, &total, &first, nullptr), 0) << "a clean end";
  }
  Close(files);
}

// A caller that believes a smaller total (a stream that disagrees with its
// first measure) gets a short body, and nothing is written past the total.
TEST_F(PacketHeaderTest, AChunkThatDisagreesIsADamagedStream) {
  const PartialStream p = MakePartial();
  auto files = Files(p.stream);
  for (auto& [kind, file] : files) {
    SCOPED_TRACE(kind);
    uint64_t total = 0;
    uint64_t first = 0;
    ASSERT_EQ(qoxPktByteGet(file, &total, &first, nullptr), 0xCD);
    const QOXFileOffset start = file->tell(file);
    Bytes small(600);  // exactly the believed total: ASan catches any write past it
    EXPECT_EQ(qoxPktBodyRead(small.data(), small.size(), first, file), 512u);
    ASSERT_EQ(file->seek(file, start, SEEK_SET), 0);
    EXPECT_EQ(qoxPktBodySkip(file, 600, first), kQOXErrBadPacket);
    // A total larger than the chunks: the final chunk ends early.
    ASSERT_EQ(file->seek(file, start, SEEK_SET), 0);
    Bytes large(2000);
    EXPECT_EQ(qoxPktBodyRead(large.data(), large.size(), first, file), 1536u);
  }
  Close(files);
}

TEST_F(PacketHeaderTest, OldAndNewLengthForms) {
  struct Case {
    const char* what;
    Bytes header;
    int typeByte;
    uint64_t length;
  } cases[] = {
      {"old, one byte", {0x88, 0x05}, 0x88, 5},
      {"old, two bytes", {0x89, 0x01, 0x2C}, 0x89, 300},
      {"old, four bytes", {0x9A, 0x00, 0x01, 0x11, 0x70}, 0x9A, 70000},
      {"new, one byte", {0xCD, 191}, 0xCD, 191},
      {"new, two bytes, least", {0xCD, 0xC0, 0x00}, 0xCD, 192},
      {"new, two bytes, most", {0xCD, 0xDF, 0xFF}, 0xCD, 8383},
      {"new, four bytes", {0xCD, 0xFF, 0x00, 0x00, 0x20, 0xC0}, 0xCD, 8384},
      {"new, empty body", {0xC2, 0x00}, 0xC2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stream = c.header;
    Append(stream, Filler(static_cast<size_t>(c.length), 9));
    auto files = Files(stream);
    for (auto& [kind, file] : files) {
      SCOPED_TRACE(kind);
      uint64_t total = 1;
      uint64_t first = 1;
      EXPECT_EQ(qoxPktByteGet(file, &total, &first, nullptr), c.typeByte);
      EXPECT_EQ(total, c.length);
      EXPECT_EQ(first, c.length);
      EXPECT_EQ(file->tell(file), static_cast<QOXFileOffset>(c.header.size()));
      EXPECT_EQ(qoxPktBodySkip(file, total, first), 0);
      EXPECT_EQ(qoxPktByteGet(file, &total, &first, nullptr), 0);
    }
    Close(files);
  }
}

TEST_F(PacketHeaderTest, RefusedAndEndingHeaders) {
  struct Case {
    const char* what;
    Bytes stream;
    int result;
  } cases[] = {
      {"empty file: clean end", {}, 0},
      {"old form, indeterminate length", {0x8B, 0x01, 0x02}, kQOXErrBadPacket},
      {"no header bit", {0x4D, 0x01, 0x02}, kQOXErrBadPacket},
      {"ends inside an old two-byte length", {0x89, 0x01}, kQOXErrEOF},
      {"ends inside an old four-byte length", {0x8A, 0x00, 0x00}, kQOXErrEOF},
      {"ends before a new length", {0xCD}, kQOXErrEOF},
      {"ends inside a new two-byte length", {0xCD, 0xC5}, kQOXErrEOF},
      {"ends inside a new four-byte length", {0xCD, 0xFF, 0x00}, kQOXErrEOF},
      {"ends inside a partial chain", {0xCD, 0xE1, 0x41, 0x42}, kQOXErrEOF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto files = Files(c.stream);
    for (auto& [kind, file] : files) {
      SCOPED_TRACE(kind);
      uint64_t total = 0;
      uint64_t first = 0;
      EXPECT_EQ(qoxPktByteGet(file, &total, &first, nullptr), c.result);
    }
    Close(files);
  }
}

// A file whose operations fail on demand.
struct FailingFile {
  QOXFile file{};
  QOXFileError err{};
  bool failed = false;
  bool tellFails = false;
  Bytes data;
  size_t at = 0;
  size_t failAt = SIZE_MAX;  // a read reaching this offset fails

  static FailingFile* Self(QOXFile* f) { return reinterpret_cast<FailingFile*>(f); }
  explicit FailingFile(Bytes bytes) : data(std::move(bytes)) {
    file.read = [](void* buffer, size_t count, QOXFile* f) -> size_t {
      FailingFile* s = Self(f);
      size_t n = 0;
      while (n < count && s->at < s->data.size()) {
        if (s->at >= s->failAt) {
          s->failed = true;
          s->err.error = kQOXErrFileOpError;
          break;
        }
        static_cast<uint8_t*>(buffer)[n++] = s->data[s->at++];
      }
      return n;
    };
    file.tell = [](QOXFile* f) -> QOXFileOffset {
      return Self(f)->tellFails ? -1 : static_cast<QOXFileOffset>(Self(f)->at);
    };
    file.seek = [](QOXFile* f, QOXFileOffset offset, int whence) -> QOXError {
      FailingFile* s = Self(f);
      s->at = static_cast<size_t>(whence == SEEK_CUR ? static_cast<QOXFileOffset>(s->at) + offset : offset);
      return kQOXErrNoErr;
    };
    file.error = [](QOXFile* f) -> const QOXFileError* { return Self(f)->failed ? &Self(f)->err : nullptr; };
    file.clearError = [](QOXFile* f) { Self(f)->failed = false; };
  }
};

TEST(PacketHeaderFailureTest, ReadAndTellFailures) {
  uint64_t total = 0;
  uint64_t first = 0;
  QOXFileOffset position = 0;

  FailingFile typeByte({0x88, 0x01, 0x00});
  typeByte.failAt = 0;
  EXPECT_EQ(qoxPktByteGet(&typeByte.file, &total, &first, nullptr), kQOXErrReadFailed);

  FailingFile length({0x89, 0x01, 0x00});
  length.failAt = 2;
  EXPECT_EQ(qoxPktByteGet(&length.file, &total, &first, nullptr), kQOXErrReadFailed);
  EXPECT_FALSE(length.failed) << "a failed length read clears the file's error";

  FailingFile tell({0x88, 0x01, 0x00});
  tell.tellFails = true;
  EXPECT_EQ(qoxPktByteGet(&tell.file, &total, &first, &position), kQOXErrFileOpError);
  EXPECT_EQ(qoxPktByteGet(&tell.file, &total, &first, nullptr), 0x88) << "the position was not wanted";
}

TEST(PacketHeaderPutTest, WritesTheShortestAllowedHeader) {
  struct Case {
    uint8_t typeByte;
    uint32_t length;
    Bytes expected;
  } cases[] = {
      {0x98, 300, {0x99, 0x01, 0x2C}},              // one byte widened to two
      {0x98, 255, {0x98, 0xFF}},
      {0x99, 10, {0x99, 0x00, 0x0A}},               // a wider minimum is kept
      {0x98, 70000, {0x9A, 0x00, 0x01, 0x11, 0x70}},  // above 65535: four bytes
      {0x99, 65535, {0x99, 0xFF, 0xFF}},
      {0x9B, 5, {0x9B}},                            // indeterminate: no length
      {0xCD, 0, {0xCD, 0x00}},
      {0xCD, 191, {0xCD, 0xBF}},
      {0xCD, 192, {0xCD, 0xC0, 0x00}},
      {0xCD, 8383, {0xCD, 0xDF, 0xFF}},             // two length bytes
      {0xCD, 8384, {0xCD, 0xFF, 0x00, 0x00, 0x20, 0xC0}},  // five
      {0xFC, 150000, {0xFC, 0xFF, 0x00, 0x02, 0x49, 0xF0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.typeByte) << " " << std::dec << c.length);
    uint8_t buffer[kQOXPktMaxHeaderLength + 1];
    std::memset(buffer, 0xEE, sizeof buffer);
    const uint8_t written = qoxPktHeaderPut(buffer, c.typeByte, c.length);
    EXPECT_EQ(written, c.expected[0]);
    EXPECT_EQ(Bytes(buffer, buffer + c.expected.size()), c.expected);
    EXPECT_EQ(buffer[c.expected.size()], 0xEE) << "nothing written past the header";
    EXPECT_EQ(qoxPktHeaderLen(c.typeByte, c.length), c.expected.size());
    Bytes packet = c.expected;
    Append(packet, Bytes(c.expected[0] == 0x9B ? 0 : c.length, 0));
    EXPECT_EQ(qoxPktBufferHeaderLen(packet.data(), packet.size()), c.expected.size());
    EXPECT_EQ(qoxPktTag(written), qoxPktTag(c.typeByte));
  }
}

TEST(PacketHeaderPutTest, BufferHeadersThatDoNotFit) {
  const uint8_t oldTwo[] = {0x99, 0x01};
  const uint8_t newFour[] = {0xCD, 0xFF, 0x00, 0x00};
  const uint8_t noHeader[] = {0x19, 0x01};
  EXPECT_EQ(qoxPktBufferHeaderLen(oldTwo, 2), 0u);
  EXPECT_EQ(qoxPktBufferHeaderLen(oldTwo, 3), 3u);
  EXPECT_EQ(qoxPktBufferHeaderLen(newFour, 4), 0u);
  EXPECT_EQ(qoxPktBufferHeaderLen(newFour, 1), 0u);
  EXPECT_EQ(qoxPktBufferHeaderLen(noHeader, 2), 0u);
  EXPECT_EQ(qoxPktBufferHeaderLen(nullptr, 0), 0u);
  ostrak::ByteCursor body;
  EXPECT_FALSE(qoxPktBody(oldTwo, 2, &body));
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(qoxPktTag(0xB4), 13);
  EXPECT_EQ(qoxPktTag(0xFC), 60);
  EXPECT_EQ(qoxPktTag(0xD1), 17);
}

}  // namespace

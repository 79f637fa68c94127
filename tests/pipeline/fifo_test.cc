// The FIFOs: block boundaries of the byte FIFO, the flex FIFO's move to a
// file, and the file FIFO's order, reuse and enciphered temporary file.
#include <dirent.h>

#include <algorithm>
#include <set>

#include "foundation/env.h"
#include "pipeline/fifo.h"
#include "pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::PipelineTest;
using pipeline_test::RandomBytes;
using pipeline_test::ToString;

class FifoTest : public PipelineTest {};

Bytes ReadAll(const QOXFifoDesc& d, QOXFifo* f) {
  Bytes out;
  uint8_t buf[777];
  for (;;) {
    int64_t n = d.read(f, buf, sizeof buf);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

TEST_F(FifoTest, ByteFifoBlocksAt1020Bytes) {
  struct Case {
    size_t bytes;
    size_t blocksSpace;  // room byteFifoGetSpace reports afterwards
  } cases[] = {{1020, 1020}, {1021, 1019}, {2040, 1020}, {1, 1019}};
  for (const QOXFifoDesc* d : {&qoxByteFifoDesc, &qoxSecureByteFifoDesc}) {
    for (const Case& c : cases) {
      QOXFifo* f = d->create(context_);
      ASSERT_NE(f, nullptr);
      Bytes data = RandomBytes(c.bytes, 1);
      EXPECT_EQ(d->write(f, data.data(), data.size()), static_cast<int64_t>(c.bytes));
      EXPECT_EQ(d->size(f), c.bytes) << d->name;
      // The room left in the last block tells how many blocks there are.
      size_t room = 0;
      ASSERT_NE(byteFifoGetSpace(f, &room), nullptr);
      EXPECT_EQ(room, c.blocksSpace) << c.bytes;
      EXPECT_EQ(d->size(f), c.bytes);
      EXPECT_EQ(ReadAll(*d, f), data);
      EXPECT_EQ(d->size(f), 0u);
      d->destroy(f);
    }
  }
}

TEST_F(FifoTest, ByteFifoEmptiesAndStartsAgain) {
  QOXFifo* f = byteFifoCreate(context_);
  Bytes data = RandomBytes(3000, 2);
  byteFifoWrite(f, data.data(), data.size());
  EXPECT_EQ(ReadAll(qoxByteFifoDesc, f), data);
  size_t run = 99;
  EXPECT_EQ(byteFifoPeek(f, &run), nullptr);
  EXPECT_EQ(run, 0u);
  // Empty again: a new write starts a new first block.
  byteFifoWrite(f, data.data(), 10);
  size_t room = 0;
  byteFifoGetSpace(f, &room);
  EXPECT_EQ(room, 1010u);
  // A peek followed by a seek of the whole run on the only block empties it.
  const uint8_t* p = byteFifoPeek(f, &run);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(run, 10u);
  EXPECT_TRUE(std::equal(p, p + 10, data.begin()));
  byteFifoSeek(f, run);
  EXPECT_EQ(byteFifoSize(f), 0u);
  EXPECT_EQ(byteFifoPeek(f, &run), nullptr);
  // Space written through GetSpace and committed reads back.
  uint8_t* space = byteFifoGetSpace(f, &room);
  std::memcpy(space, "abc", 3);
  byteFifoSkipSpace(f, 3);
  uint8_t out[3];
  EXPECT_EQ(byteFifoRead(f, out, 3), 3);
  EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
  byteFifoDestroy(f);
}

TEST_F(FifoTest, FlexFifoMovesToAFileAbove49152Bytes) {
  for (size_t size : {size_t{49152}, size_t{49153}}) {
    QOXFifo* f = flexFifoCreate(context_);
    ASSERT_NE(f, nullptr);
    Bytes data = RandomBytes(size, 3);
    EXPECT_EQ(flexFifoWrite(f, data.data(), data.size()), static_cast<int64_t>(size));
    EXPECT_EQ(flexFifoInFile(f), size > kQOXFlexFifoLimit) << size;
    EXPECT_EQ(flexFifoSize(f), size);
    EXPECT_EQ(ReadAll(qoxFlexFifoDesc, f), data);
    flexFifoDestroy(f);
  }
  // Small writes that cross the limit keep their order, and a flush goes
  // back to memory.
  QOXFifo* f = flexFifoCreate(context_);
  Bytes data = RandomBytes(60000, 4);
  for (size_t at = 0; at < data.size(); at += 1000) flexFifoWrite(f, data.data() + at, 1000);
  EXPECT_TRUE(flexFifoInFile(f));
  Bytes first(7);
  EXPECT_EQ(flexFifoRead(f, first.data(), 7), 7);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), data.begin()));
  flexFifoFlush(f);
  EXPECT_FALSE(flexFifoInFile(f));
  EXPECT_EQ(flexFifoSize(f), 0u);
  flexFifoWrite(f, data.data(), 5);
  EXPECT_EQ(ReadAll(qoxFlexFifoDesc, f), Bytes(data.begin(), data.begin() + 5));
  flexFifoDestroy(f);
}

TEST_F(FifoTest, FlexFifoKeepsItsBytesWhenNoFileCanBeMade) {
  // A temporary directory that does not exist: the file FIFO cannot be made.
  ASSERT_EQ(qoxenvSetString(qoxContextGetEnvironment(context_), kQOXEnvTempDirectory, "/nonexistent/dir", 25), 0);
  QOXFifo* f = flexFifoCreate(context_);
  Bytes data = RandomBytes(49152 + 10, 5);
  EXPECT_EQ(flexFifoWrite(f, data.data(), 49152), 49152);
  EXPECT_LT(flexFifoWrite(f, data.data() + 49152, 10), 0);
  EXPECT_FALSE(flexFifoInFile(f));
  EXPECT_EQ(ReadAll(qoxFlexFifoDesc, f), Bytes(data.begin(), data.begin() + 49152));
  flexFifoDestroy(f);
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().string());
  return names;
}

TEST_F(FifoTest, FileFifoInterleavedOperationsKeepOrder) {
  ASSERT_EQ(qoxenvSetString(qoxContextGetEnvironment(context_), kQOXEnvTempDirectory, dir_.c_str(), 25), 0);
  QOXFifo* f = fileFifoCreate(context_);
  ASSERT_NE(f, nullptr);
  Bytes data = RandomBytes(20000, 6);
  Bytes got;
  size_t written = 0;
  std::mt19937 rng(7);
  // Writes, reads of odd sizes, peeks with partial seeks, and writes between
  // a peek and its seek.
  while (got.size() < data.size()) {
    if (written < data.size()) {
      size_t n = std::min<size_t>(1 + rng() % 1500, data.size() - written);
      ASSERT_EQ(fileFifoWrite(f, data.data() + written, n), static_cast<int64_t>(n));
      written += n;
    }
    switch (rng() % 3) {
      case 0: {
        uint8_t buf[1333];
        int64_t n = fileFifoRead(f, buf, 1 + rng() % sizeof buf);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buf, buf + n);
        break;
      }
      default: {
        size_t run = 0;
        const uint8_t* p = fileFifoPeek(f, &run);
        if (p == nullptr) break;
        size_t take = 1 + rng() % run;
        Bytes seen(p, p + take);
        if (written < data.size()) {
          size_t n = std::min<size_t>(100, data.size() - written);
          fileFifoWrite(f, data.data() + written, n);
          written += n;
        }
        EXPECT_TRUE(std::equal(seen.begin(), seen.end(), p)) << "a write moved peeked bytes";
        got.insert(got.end(), seen.begin(), seen.end());
        fileFifoSeek(f, take);
        break;
      }
    }
    EXPECT_EQ(fileFifoSize(f), written - got.size());
  }
  EXPECT_EQ(got, data);
  // Read empty, the file is used again from its start, in step.
  EXPECT_EQ(fileFifoWrite(f, data.data(), 5000), 5000);
  EXPECT_EQ(ReadAll(qoxFileFifoDesc, f), Bytes(data.begin(), data.begin() + 5000));
  // A flush drops what is held; what follows still reads back.
  fileFifoWrite(f, data.data(), 3000);
  fileFifoFlush(f);
  EXPECT_EQ(fileFifoSize(f), 0u);
  fileFifoWrite(f, data.data() + 100, 2000);
  EXPECT_EQ(ReadAll(qoxFileFifoDesc, f), Bytes(data.begin() + 100, data.begin() + 2100));
  fileFifoDestroy(f);
}

TEST_F(FifoTest, FileFifoNeverStoresPlaintextAndRemovesItsFile) {
  ASSERT_EQ(qoxenvSetString(qoxContextGetEnvironment(context_), kQOXEnvTempDirectory, dir_.c_str(), 25), 0);
  auto before = FilesIn(dir_);
  QOXFifo* f = fileFifoCreate(context_);
  ASSERT_NE(f, nullptr);
  auto during = FilesIn(dir_);
  ASSERT_EQ(during.size(), before.size() + 1);
  std::string temp;
  for (const auto& name : during)
    if (!before.count(name)) temp = name;
  const std::string sentinel = "PLAINTEXT-SENTINEL-0123456789";
  std::string text;
  for (int i = 0; i < 200; ++i) text += sentinel;
  fileFifoWrite(f, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  size_t run = 0;
  ASSERT_NE(fileFifoPeek(f, &run), nullptr);  // also pushes the stream's buffer out
  Bytes onDisk = ReadFile(temp);
  ASSERT_EQ(onDisk.size(), text.size());
  std::string disk(onDisk.begin(), onDisk.end());
  EXPECT_EQ(disk.find("PLAINTEXT"), std::string::npos);
  EXPECT_EQ(ToString(ReadAll(qoxFileFifoDesc, f)), text);
  fileFifoDestroy(f);
  EXPECT_EQ(FilesIn(dir_), before);
}

}  // namespace

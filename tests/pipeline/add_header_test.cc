// Packet headers of the add-header module and literal packets, byte for
// byte and through gpg.
#include "pipeline/add_header.h"
#include "pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::Feed;
using pipeline_test::PipelineTest;
using pipeline_test::RandomBytes;
using pipeline_test::Recorder;
using pipeline_test::ToBytes;
using pipeline_test::ToString;

class AddHeaderTest : public PipelineTest {
 protected:
  QOXPipeline* Make(Recorder& r, uint32_t version, uint32_t tag, uint32_t lengthType, const Bytes& prefix = {}) {
    QOXPipeline* head = nullptr;
    QOXPipeline** tail = qoxAddHeaderCreate(context_, &head, version, &qoxByteFifoDesc, tag, lengthType,
                                            prefix.data(), prefix.size());
    EXPECT_NE(tail, nullptr);
    if (tail != nullptr) *tail = &r.module;
    return head;
  }
  static Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }
  static Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }
};

TEST_F(AddHeaderTest, OldFormatFixesTheLengthAtTheAdvice) {
  Bytes body = RandomBytes(300, 1);
  Recorder r;
  QOXPipeline* m = Make(r, 3, kQOXTagLiteral, kQOXLengthType1);
  ASSERT_EQ(qoxPipelineWriteAll(m, body.data(), body.size(), nullptr), 0);
  EXPECT_TRUE(r.bytes.empty()) << "the body waits for its size";
  EXPECT_EQ(m->flush(m), kQOXErrBadParams);
  EXPECT_EQ(m->sizeAdvise(m, 0), 0);
  EXPECT_EQ(r.bytes, Cat({{0xAD, 0x01, 0x2C}, body}));
  EXPECT_EQ(r.advices, (std::vector<uint64_t>{303, 0}));
  m->teardown(m);

  // Sizes that need one, two and four length bytes.
  struct Case {
    size_t prefix, body;
    Bytes header;
  } cases[] = {{1, 100, {0xA0 | 0x00, 101}}, {1, 255, {0xA1, 0x01, 0x00}}, {0, 65536, {0xA2, 0x00, 0x01, 0x00, 0x00}}};
  for (const Case& c : cases) {
    Recorder rc;
    Bytes prefix(c.prefix, 0x01);
    QOXPipeline* h = Make(rc, 3, kQOXTagCompressed, kQOXLengthType1, prefix);
    Bytes data = RandomBytes(c.body, 2);
    ASSERT_EQ(h->sizeAdvise(h, data.size()), 0);
    EXPECT_EQ(Feed(h, data, 999), 0);
    EXPECT_EQ(rc.bytes, Cat({c.header, prefix, data})) << c.body;
    h->teardown(h);
  }
}

TEST_F(AddHeaderTest, OldFormatHoldsItToItsPromise) {
  Recorder r;
  QOXPipeline* m = Make(r, 3, kQOXTagLiteral, kQOXLengthType1);
  Bytes data = RandomBytes(10, 3);
  ASSERT_EQ(m->sizeAdvise(m, 10), 0);
  QOXError err = 0;
  EXPECT_EQ(m->write(m, data.data(), 6, &err), 6u);
  EXPECT_EQ(m->sizeAdvise(m, 5), kQOXErrSizeAdviseFailure);  // 4 are owed
  EXPECT_EQ(m->write(m, data.data(), 5, &err), 0u);
  EXPECT_EQ(err, kQOXErrSizeAdviseFailure);
  EXPECT_EQ(m->write(m, data.data() + 6, 4, &err), 4u);
  EXPECT_EQ(m->sizeAdvise(m, 0), 0);
  EXPECT_EQ(r.bytes, Cat({{0xAC, 10}, data}));
  m->teardown(m);
}

TEST_F(AddHeaderTest, IndeterminateLengthStreamsAtOnce) {
  Recorder r;
  QOXPipeline* m = Make(r, 3, kQOXTagCompressed, kQOXLengthIndeterminate, {0x01});
  Bytes data = RandomBytes(100, 4);
  ASSERT_EQ(qoxPipelineWriteAll(m, data.data(), data.size(), nullptr), 0);
  EXPECT_EQ(r.bytes, Cat({{0xA3, 0x01}, data}));
  EXPECT_EQ(m->sizeAdvise(m, 0), 0);
  EXPECT_TRUE(r.Ended());
  m->teardown(m);
}

TEST_F(AddHeaderTest, NewFormatChunks) {
  // 4090 body bytes after a 6-byte prefix: one full chunk, then 0x00.
  Bytes prefix = {'b', 0, 0, 0, 0, 0};
  Bytes body = RandomBytes(4090, 5);
  Recorder r;
  QOXPipeline* m = Make(r, 4, kQOXTagLiteral, kQOXLengthType1, prefix);
  ASSERT_EQ(Feed(m, body, 1000), 0);
  EXPECT_EQ(r.bytes, Cat({{0xCB, 0xEC}, prefix, body, {0x00}}));
  m->teardown(m);

  // 4000 staged bytes at a flush: falling powers of two.
  Recorder f;
  QOXPipeline* fl = Make(f, 4, 8, kQOXLengthType1);
  Bytes data = RandomBytes(4000, 6);
  ASSERT_EQ(qoxPipelineWriteAll(fl, data.data(), data.size(), nullptr), 0);
  ASSERT_EQ(fl->flush(fl), 0);
  Bytes expected = {0xC8};
  size_t at = 0;
  for (auto [k, header] : {std::pair{11, 0xEB}, {10, 0xEA}, {9, 0xE9}, {8, 0xE8}, {7, 0xE7}, {5, 0xE5}}) {
    expected.push_back(static_cast<uint8_t>(header));
    Bytes piece = Slice(data, at, size_t{1} << k);
    expected.insert(expected.end(), piece.begin(), piece.end());
    at += size_t{1} << k;
  }
  EXPECT_EQ(f.bytes, expected);
  EXPECT_EQ(f.flushes, 1);
  ASSERT_EQ(fl->sizeAdvise(fl, 0), 0);
  expected.push_back(0x00);
  EXPECT_EQ(f.bytes, expected);
  fl->teardown(fl);

  // 200 bytes at the end: a two-byte final length.
  Recorder e;
  QOXPipeline* en = Make(e, 4, kQOXTagLiteral, kQOXLengthType1);
  Bytes two = RandomBytes(200, 7);
  ASSERT_EQ(Feed(en, two), 0);
  EXPECT_EQ(e.bytes, Cat({{0xCB, 0xC0, 0x08}, two}));
  en->teardown(en);

  // Nothing at all: nothing written, the end passed on.
  Recorder n;
  QOXPipeline* none = Make(n, 4, kQOXTagLiteral, kQOXLengthType1);
  ASSERT_EQ(none->sizeAdvise(none, 0), 0);
  EXPECT_TRUE(n.bytes.empty());
  EXPECT_TRUE(n.Ended());
  none->teardown(none);
}

TEST_F(AddHeaderTest, NewFormatResumesWhereTheTailStopped) {
  Bytes data = RandomBytes(20000, 8);
  Recorder straight;
  QOXPipeline* s = Make(straight, 4, kQOXTagLiteral, kQOXLengthType1, {'b', 0, 1, 2, 3, 4});
  ASSERT_EQ(Feed(s, data, 3000), 0);
  s->teardown(s);

  Recorder r;
  r.chunk = 333;
  QOXPipeline* m = Make(r, 4, kQOXTagLiteral, kQOXLengthType1, {'b', 0, 1, 2, 3, 4});
  size_t at = 0;
  int failures = 0;
  std::mt19937 rng(9);
  while (at < data.size()) {
    r.failAfter = static_cast<long>(r.bytes.size() + rng() % 5000);
    QOXError err = 0;
    size_t n = std::min<size_t>(1 + rng() % 3000, data.size() - at);
    at += m->write(m, data.data() + at, n, &err);
    if (err != 0) ++failures;
    if (rng() % 4 == 0 && m->flush(m) != 0) ++failures;
  }
  r.failAfter = -1;
  // Flushes change the chunking, so compare the bodies.
  ASSERT_EQ(m->sizeAdvise(m, 0), 0);
  m->teardown(m);
  EXPECT_GT(failures, 0);
  auto body = [](const Bytes& packet) {
    Bytes out;
    size_t at = 1;  // the tag byte
    for (;;) {
      uint8_t l = packet.at(at++);
      size_t n;
      bool partial = l >= 224 && l < 255;
      if (partial) {
        n = size_t{1} << (l & 0x1F);
      } else if (l < 192) {
        n = l;
      } else {
        n = ((l - 192u) << 8) + packet.at(at++) + 192u;
      }
      out.insert(out.end(), packet.begin() + at, packet.begin() + at + n);
      at += n;
      if (!partial) break;
    }
    EXPECT_EQ(at, packet.size());
    return out;
  };
  EXPECT_EQ(body(r.bytes), body(straight.bytes));
}

TEST_F(AddHeaderTest, RefusesWhatNoHeaderCanCarry) {
  QOXPipeline* head = nullptr;
  Bytes big(4097, 0);
  EXPECT_EQ(qoxAddHeaderCreate(context_, &head, 4, &qoxByteFifoDesc, 8, 0, big.data(), big.size()), nullptr);
  EXPECT_EQ(qoxAddHeaderCreate(context_, &head, 3, &qoxByteFifoDesc, 17, 0, nullptr, 0), nullptr);
  EXPECT_EQ(qoxAddHeaderCreate(context_, nullptr, 4, &qoxByteFifoDesc, 8, 0, nullptr, 0), nullptr);
  EXPECT_EQ(head, nullptr);
  QOXPipeline** tail = qoxAddHeaderCreate(context_, &head, 4, &qoxByteFifoDesc, 18, 0, big.data(), 4096);
  ASSERT_NE(tail, nullptr);
  EXPECT_STREQ(head->name, "Add Header Module");
  head->teardown(head);
}

TEST_F(AddHeaderTest, LiteralPacketsReadByGpg) {
  MakeGpgHome();
  struct Case {
    uint32_t version;
    size_t size;
    const char* name;
  } cases[] = {{3, 300, "old.txt"}, {3, 0, ""}, {4, 10000, "new.bin"}, {4, 5, ""}, {4, 4090, "x"}};
  for (const Case& c : cases) {
    Bytes data = RandomBytes(c.size, static_cast<uint32_t>(c.size));
    Recorder r;
    QOXPipeline* head = nullptr;
    QOXPipeline** tail = qoxLiteralCreate(context_, &head, c.version, &qoxByteFifoDesc, 'b', c.name,
                                          std::strlen(c.name), 0x5F5E1000);
    ASSERT_NE(tail, nullptr);
    *tail = &r.module;
    EXPECT_STREQ(head->name, "Literal Module");
    if (c.version > 3 && c.size > 6000) {
      ASSERT_EQ(qoxPipelineWriteAll(head, data.data(), 5000, nullptr), 0);
      ASSERT_EQ(head->flush(head), 0);
      ASSERT_EQ(Feed(head, Bytes(data.begin() + 5000, data.end()), 777), 0);
    } else {
      ASSERT_EQ(Feed(head, data, 100), 0);
    }
    head->teardown(head);
    // The literal's fields: type, name length, name, time big-endian.
    size_t headerLength = c.version <= 3 ? (r.bytes[0] & 3) == 0 ? 2 : 3 : 2;
    Bytes fields(r.bytes.begin() + headerLength, r.bytes.begin() + headerLength + 6 + std::strlen(c.name));
    Bytes expected = {'b', static_cast<uint8_t>(std::strlen(c.name))};
    expected.insert(expected.end(), c.name, c.name + std::strlen(c.name));
    expected.insert(expected.end(), {0x5F, 0x5E, 0x10, 0x00});
    EXPECT_EQ(fields, expected);
    WriteFile(Path("literal.gpg"), r.bytes);
    EXPECT_EQ(Run(Gpg("--list-packets " + Path("literal.gpg") + " >/dev/null 2>&1")), 0) << c.size;
    std::remove(Path("literal.out").c_str());
    EXPECT_EQ(Run(Gpg("-d -o " + Path("literal.out") + " " + Path("literal.gpg") + " 2>/dev/null")), 0) << c.size;
    EXPECT_EQ(ReadFile(Path("literal.out")), data) << c.size;
  }
  // An empty name gives a prefix of six bytes.
  Recorder r;
  QOXPipeline* head = nullptr;
  *qoxLiteralCreate(context_, &head, 3, &qoxByteFifoDesc, 't', nullptr, 0, 1) = &r.module;
  ASSERT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_EQ(r.bytes, (Bytes{0xAC, 6, 't', 0, 0, 0, 0, 1}));
  head->teardown(head);
}

}  // namespace

// Deflate against Python's zlib, the toolkit's own inflate, an independent
// test reader and gpg; the compression module in a chain.
#include <fstream>

#include "pipeline/add_header.h"
#include "pipeline/compression.h"
#include "pipeline/deflate.h"
#include "pipeline_test_support.h"
#include "tests/pipeline/deflate_reader.h"
#include "tests/pipeline/fuzz/deflate_fuzz_body.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::Feed;
using pipeline_test::PipelineTest;
using pipeline_test::RandomBytes;
using pipeline_test::Recorder;
using pipeline_test::ToBytes;

Bytes Text(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    std::string w;
    for (int k = 1 + static_cast<int>(rng() % 9); k > 0; --k) w += static_cast<char>('a' + rng() % 26);
    words.push_back(w);
  }
  Bytes out;
  while (out.size() < n) {
    const std::string& w = words[std::min(rng() % 400, rng() % 400)];
    out.insert(out.end(), w.begin(), w.end());
    out.push_back(rng() % 11 == 0 ? '\n' : ' ');
  }
  out.resize(n);
  return out;
}

// Binary with structure: little-endian records with counters, small fields
// and an occasional random word.
Bytes Binary(size_t n) {
  std::mt19937 rng(5);
  Bytes out;
  for (uint32_t i = 0; out.size() < n; ++i) {
    uint32_t fields[4] = {i, i * 3 % 17, static_cast<uint32_t>(rng() % 4 == 0 ? rng() : 0x00010000), 0xFFFFFFFF};
    for (uint32_t f : fields)
      for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(f >> (8 * b)));
  }
  out.resize(n);
  return out;
}

Bytes Runs(size_t n) {
  Bytes out;
  std::mt19937 rng(9);
  while (out.size() < n) out.insert(out.end(), 1 + rng() % 3000, static_cast<uint8_t>(rng() % 3));
  out.resize(n);
  return out;
}

class DeflateTest : public PipelineTest {
 protected:
  Bytes Compress(const Bytes& in, uint32_t level, size_t piece = 0) {
    return deflate_fuzz::Compress(context_, level, in.data(), in.size(), piece);
  }

  // The packet the compression module makes of data written in pieces.
  Bytes Packet(const Bytes& data, uint32_t version, size_t piece = 0, uint32_t level = 6) {
    Recorder r;
    QOXPipeline* head = &r.module;
    QOXPipeline** tail = qoxCompressModCreate(context_, &head, version, &qoxByteFifoDesc, kQOXCompressionZIP, level);
    EXPECT_NE(tail, nullptr);
    if (tail == nullptr) return {};
    EXPECT_EQ(*tail, &r.module);
    EXPECT_EQ(head->magic, kQOXMagicDeflate);
    EXPECT_STREQ(head->name, "Deflation Module");
    EXPECT_EQ(Feed(head, data, piece), 0);
    EXPECT_TRUE(r.Ended());
    head->teardown(head);
    EXPECT_TRUE(r.tornDown);
    return r.bytes;
  }

  // Python's zlib inflates every stream of `streams` (files NAME.z) to the
  // file NAME.in; the names that fail.
  std::string ZlibFailures(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& n : names) list += n + "\n";
    WriteFile(Path("names"), ToBytes(list));
    WriteFile(Path("check.py"), ToBytes(R"(
import sys, zlib
d = sys.argv[1]
bad = []
for name in open(d + '/names').read().split():
    stream = open(f'{d}/{name}.z', 'rb').read()
    want = open(f'{d}/{name.split("@")[0]}.in', 'rb').read()
    try:
        z = zlib.decompressobj(-15)
        got = z.decompress(stream) + z.flush()
        if got != want or not z.eof or z.unused_data:
            bad.append(name)
    except zlib.error as e:
        bad.append(name + ':' + str(e))
open(d + '/bad', 'w').write(' '.join(bad) + '\n')
)"));
    if (Run("/usr/bin/python3 " + Path("check.py") + " " + dir_) != 0) return "python failed";
    std::string bad = pipeline_test::ToString(ReadFile(Path("bad")));
    return bad == "\n" ? "" : bad;
  }
};

// Every level over a table of inputs: zlib, our inflate and the test reader
// give the input back, no match reaches past 7930 bytes, and one-byte and
// odd-sized writes give the same stream as one write.
TEST_F(DeflateTest, ZlibAndOurInflateReadEveryLevel) {
  struct Input {
    const char* name;
    Bytes data;
  };
  Bytes random = RandomBytes(20000, 3);
  Bytes text = Text(40000, 1);
  std::vector<Input> inputs = {
      {"empty", {}},
      {"one", {'q'}},
      {"two", {'q', 'q'}},
      {"text", text},
      {"binary", Binary(30000)},
      {"random", random},
      {"runs", Runs(100000)},
      // Around the window's size and its slide.
      {"w16383", Bytes(text.begin(), text.begin() + 16383)},
      {"w16384", Bytes(text.begin(), text.begin() + 16384)},
      {"w16385", Bytes(text.begin(), text.begin() + 16385)},
      // A random block repeated exactly 7930, then 7931 bytes later.
      {"far", [&] {
         Bytes b(random.begin(), random.begin() + 7930);
         b.insert(b.end(), random.begin(), random.begin() + 7931);
         b.insert(b.end(), random.begin(), random.begin() + 300);
         return b;
       }()},
      // Many small blocks: the literal buffer fills (32767 entries).
      {"literals", RandomBytes(70000, 4)},
      {"mib", Text(1 << 20, 2)},
  };
  std::vector<std::string> names;
  for (const Input& in : inputs) {
    WriteFile(Path(std::string(in.name) + ".in"), in.data);
    for (uint32_t level = 1; level <= 9; ++level) {
      // The largest input at the levels with the most different settings.
      if (in.data.size() > 100000 && level != 1 && level != 6 && level != 9) continue;
      std::string name = std::string(in.name) + "@" + std::to_string(level);
      Bytes stream = Compress(in.data, level);
      ASSERT_FALSE(stream.empty()) << name;
      deflate_reader::Stream read = deflate_reader::Read(stream);
      EXPECT_TRUE(read.ok) << name;
      EXPECT_TRUE(read.out == in.data) << name;
      EXPECT_LE(read.maxDistance, kQOXDeflateMaxDistance) << name;
      inflate_fuzz::Result ours =
          inflate_fuzz::Decode(context_, stream.data(), stream.size(), 4093, SIZE_MAX, SIZE_MAX);
      EXPECT_EQ(ours.end, 0) << name;
      EXPECT_TRUE(ours.out == in.data) << name;
      if (in.data.size() <= 70000 && (level == 1 || level == 6 || level == 9)) {
        EXPECT_TRUE(Compress(in.data, level, 1) == stream) << name << " in 1-byte writes";
        EXPECT_TRUE(Compress(in.data, level, 261) == stream) << name << " in 261-byte writes";
      }
      WriteFile(Path(name + ".z"), stream);
      names.push_back(name);
    }
  }
  EXPECT_EQ(ZlibFailures(names), "");
  // The far input uses the farthest distance allowed, and the text fills
  // blocks of every kind somewhere in the table.
  deflate_reader::Stream far = deflate_reader::Read(Compress(inputs[10].data, 9));
  EXPECT_EQ(far.maxDistance, kQOXDeflateMaxDistance);
  // Random data goes in a stored block while its bytes are in the window,
  // and not once the window has slid past the block's start.
  EXPECT_EQ(deflate_reader::Read(Compress(Bytes(random.begin(), random.begin() + 10000), 9)).blocks[0], 1u);
  EXPECT_EQ(deflate_reader::Read(Compress(random, 9)).blocks[0], 0u);
  deflate_reader::Stream text9 = deflate_reader::Read(Compress(text, 9));
  EXPECT_GT(text9.blocks[2], 0u) << "text goes in dynamic blocks";
}

// The engine's own bytes, frozen: a change of the match finder, the trees or
// the bit writer shows here first.
TEST_F(DeflateTest, FrozenStreams) {
  EXPECT_EQ(Compress({}, 6), (Bytes{0x03, 0x00}));
  EXPECT_EQ(Compress({}, 1), (Bytes{0x03, 0x00}));
  // Static trees: one literal, then a match of 3 that overlaps itself.
  EXPECT_EQ(Compress(ToBytes("aaaa"), 6), (Bytes{0x4B, 0x4C, 0x4C, 0x4C, 0x04, 0x00}));
  // Dynamic trees.
  Bytes pangram = ToBytes(
      "the quick brown fox jumps over the lazy dog; the quick brown fox jumps over the lazy dog again "
      "and again, then the lazy dog sleeps while the quick brown fox runs far away from the farm.");
  Bytes stream = Compress(pangram, 9);
  EXPECT_EQ(deflate_reader::Read(stream).blocks[2], 1u);
  char hex[3];
  std::string got;
  for (uint8_t b : stream) {
    snprintf(hex, sizeof hex, "%02x", b);
    got += hex;
  }
  EXPECT_EQ(got,
            "8d8ccb1183300c445bd902323440350ac8e0604b44c671a07a0c9c98c921b7fdbcdd6564bcb3ef263c4d8bc0e917af1ce704fdb0"
            "61a975a06d45af437bba3f61d0405e40d25fea71b472475260aedb32fac03fbf2d4b822303155ae14ce389d524363b");
}

// Compression ratio near zlib's at the same level (zlib keeps a 32 KiB
// window; ours is 8 KiB).
TEST_F(DeflateTest, RatioNearZlib) {
  Bytes text = Text(300000, 8);
  Bytes binary = Binary(300000);
  WriteFile(Path("text"), text);
  WriteFile(Path("binary"), binary);
  WriteFile(Path("sizes.py"), ToBytes(R"(
import sys, zlib
d = sys.argv[1]
with open(d + '/zsizes', 'w') as f:
    for name in ('text', 'binary'):
        data = open(f'{d}/{name}', 'rb').read()
        for level in (1, 6, 9):
            c = zlib.compressobj(level, zlib.DEFLATED, -15)
            f.write(f'{len(c.compress(data) + c.flush())}\n')
)"));
  ASSERT_EQ(Run("/usr/bin/python3 " + Path("sizes.py") + " " + dir_), 0);
  std::ifstream sizes(Path("zsizes"));
  for (const Bytes* data : {&text, &binary}) {
    for (uint32_t level : {1u, 6u, 9u}) {
      size_t zlibSize = 0;
      ASSERT_TRUE(sizes >> zlibSize);
      size_t ours = Compress(*data, level).size();
      EXPECT_LE(ours, zlibSize * 115 / 100) << "level " << level << " ours " << ours << " zlib " << zlibSize;
      EXPECT_LT(ours, data->size() / 2) << "level " << level;
    }
  }
}

// The module: a compressed data packet (old format for version 3, new for
// 4), the same bytes however the data is written, read by gpg.
TEST_F(DeflateTest, ModuleMakesAPacketGpgReads) {
  Bytes text = Text(50000, 11);
  Bytes literal;
  {
    // A literal packet, compressed: the message gpg is given.
    Recorder r;
    QOXPipeline* head = &r.module;
    QOXPipeline** tail = qoxCompressModCreate(context_, &head, 3, &qoxByteFifoDesc, kQOXCompressionZIP, 6);
    ASSERT_NE(tail, nullptr);
    QOXPipeline* compress = head;
    ASSERT_NE(qoxLiteralCreate(context_, &head, 3, &qoxByteFifoDesc, 'b', "data.txt", 8, 0), nullptr);
    ASSERT_NE(head, compress);
    EXPECT_EQ(Feed(head, text, 777), 0);
    head->teardown(head);
    WriteFile(Path("msg.gpg"), r.bytes);
    ASSERT_GE(r.bytes.size(), 3u);
    EXPECT_EQ(r.bytes[0], 0xA3);  // old format, tag 8, indeterminate length
    EXPECT_EQ(r.bytes[1], kQOXCompressionZIP);
  }
  MakeGpgHome();
  ASSERT_EQ(Run(Gpg("-o " + Path("out") + " -d " + Path("msg.gpg") + " 2>/dev/null")), 0);
  EXPECT_TRUE(ReadFile(Path("out")) == text);

  for (uint32_t version : {3u, 4u}) {
    Bytes whole = Packet(text, version);
    EXPECT_TRUE(Packet(text, version, 1) == whole) << version;
    EXPECT_TRUE(Packet(text, version, 4097) == whole) << version;
    ASSERT_GE(whole.size(), 3u);
    EXPECT_EQ(whole[0], version == 3 ? 0xA3 : 0xC8) << version;
  }
  // The old-format body is the algorithm byte and the raw stream.
  Bytes packet = Packet(text, 3);
  EXPECT_TRUE(Bytes(packet.begin() + 2, packet.end()) == Compress(text, 6));
}

TEST_F(DeflateTest, RefusedSettingsAndTailErrors) {
  QOXPipeline* keep = reinterpret_cast<QOXPipeline*>(this);
  for (auto [algorithm, level] : {std::pair{1u, 0u}, {1u, 10u}, {2u, 6u}, {0u, 6u}}) {
    QOXPipeline* head = keep;
    EXPECT_EQ(qoxCompressModCreate(context_, &head, 3, &qoxByteFifoDesc, algorithm, level), nullptr)
        << algorithm << " " << level;
    EXPECT_EQ(head, keep);
  }
  EXPECT_EQ(lm_init(context_, 0), nullptr);
  EXPECT_EQ(lm_init(context_, 10), nullptr);
  EXPECT_EQ(qoxCompressModCreate(context_, nullptr, 3, &qoxByteFifoDesc, 1, 6), nullptr);

  // A tail that fails: the error comes back from the write that met it,
  // and the bytes it did not take go out with the next call.
  Bytes data = RandomBytes(70000, 12);
  Recorder r;
  r.failAfter = 1000;
  QOXPipeline* head = &r.module;
  ASSERT_NE(qoxCompressModCreate(context_, &head, 3, &qoxByteFifoDesc, 1, 6), nullptr);
  QOXError err = 0;
  size_t took = head->write(head, data.data(), data.size(), &err);
  EXPECT_EQ(took, data.size());
  EXPECT_EQ(err, kQOXErrWriteFailed);
  EXPECT_EQ(r.bytes.size(), 1000u);
  r.failAfter = -1;
  // Scope annotations pass, and an end advice inside a scope does not end
  // the stream.
  EXPECT_EQ(head->annotate(head, nullptr, kQOXAnnLiteralBegin, nullptr, 0), 0);
  EXPECT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_EQ(head->annotate(head, nullptr, kQOXAnnLiteralEnd, nullptr, 0), 0);
  ASSERT_EQ(r.notes.size(), 2u);
  EXPECT_EQ(r.notes[0].type, kQOXAnnLiteralBegin);
  EXPECT_EQ(r.notes[0].at, r.bytes.size());
  EXPECT_FALSE(r.Ended());
  EXPECT_EQ(head->sizeAdvise(head, 0), 0);
  EXPECT_TRUE(r.Ended());
  EXPECT_EQ(head->write(head, data.data(), 1, &err), 0u) << "written after the end";
  EXPECT_NE(err, 0);
  head->teardown(head);
  ASSERT_GT(r.bytes.size(), 2u);
  EXPECT_TRUE(Bytes(r.bytes.begin() + 2, r.bytes.end()) == Compress(data, 6)) << "nothing lost or repeated";
}

}  // namespace

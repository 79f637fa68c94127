// Inflate against Python's zlib and gpg's compressed messages, fed whole
// and byte by byte; hand-made streams for every refusal.
#include "pipeline/compression.h"
#include "pipeline/inflate.h"
#include "pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::Feed;
using pipeline_test::PipelineTest;
using pipeline_test::RandomBytes;
using pipeline_test::Recorder;
using pipeline_test::ToBytes;

// Writes bits least significant first, Huffman codes most significant first.
struct BitWriter {
  Bytes bytes;
  int used = 8;
  void Bit(int b) {
    if (used == 8) {
      bytes.push_back(0);
      used = 0;
    }
    if (b) bytes.back() |= static_cast<uint8_t>(1 << used);
    ++used;
  }
  void Bits(unsigned value, int n) {
    for (int i = 0; i < n; ++i) Bit((value >> i) & 1);
  }
  void Code(unsigned code, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  // Fixed literal/length codes (RFC 1951 section 3.2.6).
  void Fixed(unsigned symbol) {
    if (symbol < 144) {
      Code(0x30 + symbol, 8);
    } else if (symbol < 256) {
      Code(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
      Code(symbol - 256, 7);
    } else {
      Code(0xC0 + symbol - 280, 8);
    }
  }
};

// Where two outputs first differ (their sizes when one is a prefix), or
// "same": keeps failure messages short.
std::string Diff(const Bytes& got, const Bytes& want) {
  if (got == want) return "same";
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return "differ at " + std::to_string(i) + " of " + std::to_string(got.size()) + "/" + std::to_string(want.size());
}

class InflateTest : public PipelineTest {
 protected:
  // Decodes through the module; the output, and the error of the writes or
  // of the end.
  QOXError Inflate(const Bytes& stream, Bytes* out, size_t piece = 0) {
    Recorder r;
    QOXPipeline* head = nullptr;
    QOXPipeline** tail = infModCreate(context_, &head);
    EXPECT_NE(tail, nullptr);
    *tail = &r.module;
    QOXError err = Feed(head, stream, piece);
    head->teardown(head);
    *out = r.bytes;
    return err;
  }

  // The decoder alone, with an output taker that takes `take` bytes a time.
  int Decode(const Bytes& stream, Bytes* out, size_t piece, size_t take) {
    QOXInflate* d = infAlloc(context_);
    size_t at = 0;
    int error = 0;
    while (error == 0) {
      size_t n = std::min(piece, stream.size() - at);
      size_t used = infWrite(d, stream.data() + at, n, &error);
      at += used;
      size_t count = 0;
      const uint8_t* p = infGetBytes(d, &count);
      if (p != nullptr) {
        count = std::min(count, take);
        out->insert(out->end(), p, p + count);
        infSkipBytes(d, count);
      } else if (at == stream.size()) {
        break;
      }
    }
    int end = error != 0 ? error : infEOF(d);
    infFree(d);
    return end;
  }
};

TEST_F(InflateTest, ReproducesZlibAtEveryLevelAndStrategy) {
  const std::string script = R"(
import random, sys, zlib
out = sys.argv[1]
rnd = random.Random(27)
words = [''.join(rnd.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rnd.randint(1, 9))) for _ in range(300)]
text = ' '.join(rnd.choice(words) for _ in range(20000)).encode()
noise = bytes(rnd.getrandbits(8) for _ in range(40000))
# Far matches: a random block repeated 32700 bytes later.
far = noise[:32700] + noise[:5000] + text[:3000]
inputs = {'text': text, 'noise': noise[:3000], 'far': far}
for name, data in inputs.items():
    open(f'{out}/{name}.in', 'wb').write(data)
    for level in range(10):
        for sname, strategy in (('default', zlib.Z_DEFAULT_STRATEGY), ('fixed', zlib.Z_FIXED),
                                ('huffman', zlib.Z_HUFFMAN_ONLY), ('rle', zlib.Z_RLE)):
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
            open(f'{out}/{name}.{level}.{sname}', 'wb').write(c.compress(data) + c.flush())
)";
  WriteFile(Path("gen.py"), ToBytes(script));
  ASSERT_EQ(Run("/usr/bin/python3 " + Path("gen.py") + " " + dir_), 0);
  int streams = 0;
  for (const char* name : {"text", "noise", "far"}) {
    Bytes input = ReadFile(Path(std::string(name) + ".in"));
    ASSERT_FALSE(input.empty());
    for (int level = 0; level <= 9; ++level) {
      for (const char* strategy : {"default", "fixed", "huffman", "rle"}) {
        std::string file = std::string(name) + "." + std::to_string(level) + "." + strategy;
        Bytes stream = ReadFile(Path(file));
        ASSERT_FALSE(stream.empty()) << file;
        Bytes whole, bytewise, careful;
        EXPECT_EQ(Inflate(stream, &whole), 0) << file;
        EXPECT_EQ(Diff(whole, input), "same") << file;
        EXPECT_EQ(Inflate(stream, &bytewise, 1), 0) << file;
        EXPECT_EQ(Diff(bytewise, input), "same") << file;
        // A slow reader: the window fills and waits.
        if (level == 6) {
          EXPECT_EQ(Decode(stream, &careful, 5000, 1000), 0) << file;
          EXPECT_EQ(Diff(careful, input), "same") << file;
        }
        ++streams;
      }
    }
  }
  EXPECT_EQ(streams, 120);
}

TEST_F(InflateTest, DecodesTheBodyOfAGpgCompressedMessage) {
  MakeGpgHome();
  ASSERT_EQ(Run(Gpg("--passphrase '' --quick-gen-key 'Zip Test <z@example.org>' ed25519 sign never 2>/dev/null")), 0);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the message\n";
  WriteFile(Path("msg"), ToBytes(text));
  ASSERT_EQ(Run(Gpg("--compress-algo zip -s -o " + Path("msg.gpg") + " " + Path("msg"))), 0);
  Bytes message = ReadFile(Path("msg.gpg"));
  // An old-format compressed packet of indeterminate length, algorithm 1.
  ASSERT_GE(message.size(), 3u);
  ASSERT_EQ(message[0], 0xA3);
  ASSERT_EQ(message[1], 0x01);
  Bytes stream(message.begin() + 2, message.end());
  WriteFile(Path("stream"), stream);
  ASSERT_EQ(Run("/usr/bin/python3 -c \"import sys, zlib; d = zlib.decompressobj(-15); "
                "open(sys.argv[2], 'wb').write(d.decompress(open(sys.argv[1], 'rb').read()) + d.flush())\" " +
                Path("stream") + " " + Path("expected")),
            0);
  Bytes expected = ReadFile(Path("expected"));
  Bytes out;
  EXPECT_EQ(Inflate(stream, &out, 3), 0);
  EXPECT_EQ(Diff(out, expected), "same");
  std::string packets(out.begin(), out.end());
  EXPECT_NE(packets.find("line 0 of the message\n"), std::string::npos);

  QOXPipeline* head = nullptr;
  QOXError err = 0;
  EXPECT_NE(qoxDecompressModCreate(context_, &head, kQOXCompressionZIP, &err), nullptr);
  EXPECT_EQ(err, 0);
  head->teardown(head);
  head = nullptr;
  EXPECT_EQ(qoxDecompressModCreate(context_, &head, 2, &err), nullptr);
  EXPECT_EQ(err, kQOXErrBadPacket);
  EXPECT_EQ(head, nullptr);
}

TEST_F(InflateTest, EmptyAndSmallStreams) {
  Bytes out;
  EXPECT_EQ(Inflate({0x03, 0x00}, &out), 0);
  EXPECT_TRUE(out.empty());
  // A distance before the first byte reads the zero-filled window: a
  // length of 3 at distance 1, then the end of the block.
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  w.Fixed(257);
  w.Code(0, 5);
  w.Fixed('x');
  w.Fixed(256);
  EXPECT_EQ(Inflate(w.bytes, &out), 0);
  EXPECT_EQ(out, (Bytes{0, 0, 0, 'x'}));
  // A stored block.
  EXPECT_EQ(Inflate({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, &out, 1), 0);
  EXPECT_EQ(out, ToBytes("abc"));
}

TEST_F(InflateTest, RefusesBrokenStreams) {
  auto fixed = [](std::initializer_list<std::pair<unsigned, int>> items) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    for (auto [value, kind] : items) {
      if (kind == 0) w.Fixed(value);       // a literal/length symbol
      else w.Code(value, kind);             // a raw code of that many bits
    }
    return w.bytes;
  };
  BitWriter badCounts;  // HLIT + 257 = 287
  badCounts.Bits(1, 1);
  badCounts.Bits(2, 2);
  badCounts.Bits(30, 5);
  badCounts.Bits(0, 5);
  badCounts.Bits(0, 4);
  BitWriter incomplete;  // a bit-length code with one code of length 2
  incomplete.Bits(1, 1);
  incomplete.Bits(2, 2);
  incomplete.Bits(0, 5);
  incomplete.Bits(0, 5);
  incomplete.Bits(0, 4);
  incomplete.Bits(2, 3);
  for (int i = 1; i < 4; ++i) incomplete.Bits(0, 3);
  incomplete.Bits(0, 16);

  Bytes good = {0x4B, 0x4C, 0x4A, 0x06, 0x00};  // "abc", fixed codes
  Bytes out;
  ASSERT_EQ(Inflate(good, &out), 0);
  ASSERT_EQ(out, ToBytes("abc"));
  Bytes trailing = good;
  trailing.push_back(0x00);
  Bytes badPadding = {0x4B, 0x4C, 0x4A, 0x06, 0x80};

  struct Case {
    const char* what;
    Bytes stream;
  } cases[] = {
      {"cut before the last block", Bytes(good.begin(), good.end() - 2)},
      {"a byte after the end", trailing},
      {"padding bits set", badPadding},
      {"stored NLEN wrong", {0x01, 0x03, 0x00, 0xFC, 0xFE, 'a', 'b', 'c'}},
      {"block type 3", {0x07, 0x00}},
      {"literal/length code 286", fixed({{286, 0}, {256, 0}})},
      {"literal/length code 287", fixed({{'a', 0}, {287, 0}, {256, 0}})},
      {"distance code 30", fixed({{'a', 0}, {257, 0}, {30, 5}, {256, 0}})},
      {"distance code 31", fixed({{'a', 0}, {257, 0}, {31, 5}, {256, 0}})},
      {"HLIT above 286", badCounts.bytes},
      {"incomplete bit-length code", incomplete.bytes},
      {"empty input", {}},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{0}, size_t{1}}) {
      Bytes got;
      EXPECT_EQ(Inflate(c.stream, &got, piece), kQOXErrDecompressionFailed) << c.what << " piece " << piece;
    }
  }
  // The decoder's own results.
  Bytes got;
  EXPECT_EQ(Decode(fixed({{286, 0}, {256, 0}}), &got, 64, 64), kInfInvalid);
  EXPECT_EQ(Decode(trailing, &got, 64, 64), kInfDataAfterEnd);
  EXPECT_EQ(Decode(Bytes(good.begin(), good.end() - 2), &got, 64, 64), kInfNotFinished);
}

}  // namespace

// Deflate throughput and size, ours beside zlib's raw deflate in the same
// run: 4 MiB of text-like and binary-like input at levels 1, 6 and 9, given
// to each in 64 KiB pieces. Bytes per second count input; the counter
// "size" is the compressed size in bytes, "ratio" the input over it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "pipeline/deflate.h"
#include "pipeline/fifo.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kSize = size_t{4} << 20;
constexpr size_t kPiece = 65536;

Bytes TextLike(size_t n) {
  std::mt19937 rng(27);
  std::vector<std::string> words;
  for (int i = 0; i < 2000; ++i) {
    std::string w;
    for (int k = 1 + rng() % 9; k > 0; --k) w += static_cast<char>('a' + rng() % 26);
    words.push_back(w);
  }
  Bytes out;
  while (out.size() < n) {
    const std::string& w = words[std::min<size_t>(rng() % 2000, rng() % 2000)];
    out.insert(out.end(), w.begin(), w.end());
    out.push_back(rng() % 12 == 0 ? '\n' : ' ');
  }
  out.resize(n);
  return out;
}

// Records of little-endian fields, counters and the odd random word, as in
// a key ring or an executable's tables.
Bytes BinaryLike(size_t n) {
  std::mt19937 rng(28);
  Bytes out;
  for (uint32_t i = 0; out.size() < n; ++i) {
    uint32_t fields[6] = {i, i * 7 % 97, rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : 0x00010000u,
                          0xFFFFFFFFu, static_cast<uint32_t>(rng() % 256), 0};
    for (uint32_t f : fields)
      for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(f >> (8 * b)));
  }
  out.resize(n);
  return out;
}

const Bytes& Data(int kind) {
  static std::map<int, Bytes> data;
  auto it = data.find(kind);
  if (it == data.end()) it = data.emplace(kind, kind == 0 ? TextLike(kSize) : BinaryLike(kSize)).first;
  return it->second;
}

QOXContext* Context() {
  static QOXContext* context = [] {
    QOXContext* c = nullptr;
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  return context;
}

void BM_Ours(benchmark::State& st) {
  const Bytes& in = Data(static_cast<int>(st.range(0)));
  uint32_t level = static_cast<uint32_t>(st.range(1));
  size_t size = 0;
  for (auto _ : st) {
    QOXFifo* fifo = byteFifoCreate(Context());
    QOXDeflateMatch* match = lm_init(Context(), level);
    QOXDeflateTrees* trees = ct_init(Context());
    QOXBitWriter* writer = bi_init(Context(), fifo);
    size = 0;
    auto drain = [&] {
      bi_flush(writer);
      size_t n = 0;
      while (const uint8_t* p = byteFifoPeek(fifo, &n)) {
        if (n == 0) break;
        benchmark::DoNotOptimize(p);
        size += n;
        byteFifoSeek(fifo, n);
      }
    };
    for (size_t at = 0; at < in.size(); at += kPiece) {
      zip_input(match, trees, writer, in.data() + at, std::min(kPiece, in.size() - at));
      drain();
    }
    zip_finish(match, trees, writer);
    drain();
    bi_free(writer);
    ct_free(trees);
    lm_free(match);
    byteFifoDestroy(fifo);
  }
  st.counters["size"] = static_cast<double>(size);
  st.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(size);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
}

void BM_Zlib(benchmark::State& st) {
  const Bytes& in = Data(static_cast<int>(st.range(0)));
  int level = static_cast<int>(st.range(1));
  Bytes out(kPiece * 2);
  size_t size = 0;
  for (auto _ : st) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    size = 0;
    for (size_t at = 0; at <= in.size(); at += kPiece) {
      size_t n = at < in.size() ? std::min(kPiece, in.size() - at) : 0;
      z.next_in = const_cast<uint8_t*>(in.data() + at);
      z.avail_in = static_cast<uInt>(n);
      int flush = at + n >= in.size() ? Z_FINISH : Z_NO_FLUSH;
      int rc;
      do {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = deflate(&z, flush);
        size += out.size() - z.avail_out;
      } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
      if (flush == Z_FINISH) break;
    }
    deflateEnd(&z);
  }
  st.counters["size"] = static_cast<double>(size);
  st.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(size);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
}

void Args(benchmark::internal::Benchmark* b) {
  for (int kind : {0, 1})
    for (int level : {1, 6, 9}) b->Args({kind, level});
  b->ArgNames({"binary", "level"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Ours)->Name("deflate/ostrak")->Apply(Args);
BENCHMARK(BM_Zlib)->Name("deflate/zlib")->Apply(Args);

}  // namespace

BENCHMARK_MAIN();

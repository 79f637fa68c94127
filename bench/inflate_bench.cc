// Inflate throughput, ours beside zlib's raw inflate in the same run: 1 and
// 16 MiB of text-like and random-like output, compressed by zlib at level 6,
// decoded with the whole stream at hand and in 4 KiB input pieces. Output is
// copied into one buffer by both, as a caller would take it. Bytes per
// second count decoded output.
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
#include "pipeline/inflate.h"

namespace {

using Bytes = std::vector<uint8_t>;

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

Bytes RandomLike(size_t n) {
  std::mt19937 rng(28);
  Bytes out(n);
  // Mostly random bytes with short runs, so some matches exist.
  for (size_t i = 0; i < n; ++i) out[i] = i > 64 && rng() % 8 == 0 ? out[i - 1 - rng() % 64] : static_cast<uint8_t>(rng());
  return out;
}

Bytes Deflate(const Bytes& in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Case {
  Bytes plain;
  Bytes stream;
};

// Kind 0 text-like, 1 random-like; size in MiB.
const Case& Data(int kind, int mib) {
  static std::map<std::pair<int, int>, Case> cases;
  auto key = std::make_pair(kind, mib);
  auto it = cases.find(key);
  if (it == cases.end()) {
    Case c;
    c.plain = kind == 0 ? TextLike(size_t(mib) << 20) : RandomLike(size_t(mib) << 20);
    c.stream = Deflate(c.plain);
    it = cases.emplace(key, std::move(c)).first;
  }
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
  const Case& c = Data(static_cast<int>(st.range(0)), static_cast<int>(st.range(1)));
  size_t piece = st.range(2) ? size_t(st.range(2)) : c.stream.size();
  Bytes out(c.plain.size());
  for (auto _ : st) {
    QOXInflate* d = infAlloc(Context());
    size_t at = 0, done = 0;
    int error = 0;
    while (error == 0) {
      size_t n = std::min(piece, c.stream.size() - at);
      at += infWrite(d, c.stream.data() + at, n, &error);
      size_t count = 0;
      const uint8_t* p = infGetBytes(d, &count);
      if (p == nullptr) {
        if (at == c.stream.size()) break;
        continue;
      }
      std::memcpy(out.data() + done, p, count);
      done += count;
      infSkipBytes(d, count);
    }
    if (infEOF(d) != 0 || done != c.plain.size()) st.SkipWithError("bad decode");
    infFree(d);
  }
  if (out != c.plain) st.SkipWithError("wrong output");
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(c.plain.size()));
}

void BM_Zlib(benchmark::State& st) {
  const Case& c = Data(static_cast<int>(st.range(0)), static_cast<int>(st.range(1)));
  size_t piece = st.range(2) ? size_t(st.range(2)) : c.stream.size();
  Bytes out(c.plain.size());
  for (auto _ : st) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t at = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
      size_t n = std::min(piece, c.stream.size() - at);
      z.next_in = const_cast<uint8_t*>(c.stream.data() + at);
      z.avail_in = static_cast<uInt>(n);
      rc = inflate(&z, Z_NO_FLUSH);
      at += n - z.avail_in;
      if (rc == Z_BUF_ERROR && at < c.stream.size()) rc = Z_OK;
    }
    if (rc != Z_STREAM_END) st.SkipWithError("zlib failed");
    inflateEnd(&z);
  }
  if (out != c.plain) st.SkipWithError("wrong output");
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(c.plain.size()));
}

void Args(benchmark::internal::Benchmark* b) {
  for (int kind : {0, 1})
    for (int mib : {1, 16})
      for (int piece : {0, 4096}) b->Args({kind, mib, piece});
  b->ArgNames({"random", "MiB", "piece"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Ours)->Name("inflate/ostrak")->Apply(Args);
BENCHMARK(BM_Zlib)->Name("inflate/zlib")->Apply(Args);

}  // namespace

BENCHMARK_MAIN();

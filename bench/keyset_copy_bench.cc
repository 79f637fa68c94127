// QOXCopyKeys with an out set of one key carrying N certifications (10,000
// and 100,000) into a key database that already holds it: every object is
// merged with its copy, and the out set names the key. The key is alice's
// from the key database's fixtures, her user ID certified by N signers
// whose keys are absent (each signature a small version-4 packet with its
// own issuer). Compare the time per signature (the "per_sig" counter)
// of the two sizes: a copy linear in the certifications gives the same
// figure for both. Run as
//   build/release/bench/keyset_copy_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "keydb/key_db.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A new-format packet (RFC 2440 4.2.2).
void Packet(Bytes& out, uint8_t tag, const Bytes& body) {
  out.push_back(static_cast<uint8_t>(0xC0 | tag));
  const size_t n = body.size();
  if (n < 192) {
    out.push_back(static_cast<uint8_t>(n));
  } else {
    out.push_back(0xFF);
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(n >> s));
  }
  out.insert(out.end(), body.begin(), body.end());
}

// A version-4 certification (type 0x10) by the i-th issuer: creation time
// hashed, issuer unhashed, a two-byte hash prefix and a one-byte MPI.
// Issuer key IDs are scattered as real ones are (a multiplicative hash of
// i), not counted up.
Bytes Certification(uint32_t i) {
  const uint32_t created = 1700000000 + i;
  const uint64_t issuer = (uint64_t{i} + 1) * 0x9E3779B97F4A7C15ull;
  Bytes b{4, 0x10, 1, 2, 0, 6, 5, 2};
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(created >> s));
  b.insert(b.end(), {0, 10, 9, 16});
  for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(issuer >> s));
  b.insert(b.end(), {0x12, 0x34, 0x00, 0x08, 0xA5});
  return b;
}

// Alice's key packet and user ID from her export, then n certifications.
Bytes Stream(uint32_t n) {
  const Bytes alice = ReadFile("alice.bin");
  Bytes out;
  // The export starts with the key packet and the user ID.
  size_t at = 0;
  for (int p = 0; p < 2 && at < alice.size(); ++p) {
    const uint8_t ctb = alice[at];
    size_t header = 2;
    size_t length = alice[at + 1];
    if ((ctb & 0x40) == 0) {
      const int widths[] = {1, 2, 4, 0};
      header = 1 + static_cast<size_t>(widths[ctb & 3]);
      length = 0;
      for (size_t k = 1; k < header; ++k) length = (length << 8) | alice[at + k];
    } else if (alice[at + 1] >= 192 && alice[at + 1] < 224) {
      header = 3;
      length = ((alice[at + 1] - 192u) << 8) + alice[at + 2] + 192u;
    }
    out.insert(out.end(), alice.begin() + static_cast<std::ptrdiff_t>(at),
               alice.begin() + static_cast<std::ptrdiff_t>(at + header + length));
    at += header + length;
  }
  for (uint32_t i = 0; i < n; ++i) Packet(out, 2, Certification(i));
  return out;
}

void BM_CopyKeysIntoHolder(benchmark::State& st) {
  const uint32_t n = static_cast<uint32_t>(st.range(0));
  QOXsdkInit(kQOXsdkInitNoBackEnd);
  QOXContext* context = nullptr;
  QOXNewContext(kQOXAPIVersion, &context);
  const Bytes stream = Stream(n);
  QOXError err = 0;
  QOXKeyDB* source = qoxCreateKeyDBFromMemory(context, stream.data(), stream.size(), &err);
  QOXKeyDB* holder = qoxCreateKeyDBFromMemory(context, stream.data(), stream.size(), &err);
  if (source == nullptr || holder == nullptr) {
    st.SkipWithError("the key stream does not read");
    return;
  }
  for (auto _ : st) {
    QOXKeySet* out = nullptr;
    if (QOXCopyKeys(QOXPeekKeyDBRootKeySet(source), holder, &out) != 0) st.SkipWithError("copy failed");
    QOXFreeKeySet(out);
  }
  // Seconds per signature.
  st.counters["per_sig"] = benchmark::Counter(static_cast<double>(st.iterations()) * n,
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * n);
  QOXFreeKeyDB(holder);
  QOXFreeKeyDB(source);
  QOXFreeContext(context);
  QOXsdkCleanup();
}
BENCHMARK(BM_CopyKeysIntoHolder)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

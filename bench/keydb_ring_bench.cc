// Reading and merging key rings (qoxReadKeyFile over a memory file), on
// synthetic rings made here, and on one key flooded with certifications:
//
//   ReadRing/N      a ring of N keys read into an empty database: per key an
//                   RSA-2048 key packet (random modulus), a user ID, its
//                   self-certification and two certifications by other keys
//                   of the ring (some read before their signer, which then
//                   fills a dummy); five packets per key.
//   MergeRing/N     the same ring read again into the database that holds
//                   it: every packet meets its identical twin.
//   FloodedKey/N    one key with one user ID carrying N certifications by
//                   absent signers (each becomes a dummy key): read, then
//                   (FloodedMerge/N) read again; N from 1,000 to 300,000,
//                   so that growth in the per-packet time shows its shape
//                   (a quadratic merge grows tenfold per tenfold N; what is
//                   left grows with the caches the working set outgrows).
//
// The counter "ns_per_packet" is what to compare across N: reading and
// merging stay linear when it holds steady from 10,000 to 100,000 (the
// target is within 2x). Every signature parses; nothing is verified.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "bench/synthetic_ring.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file.h"
#include "keydb/fingerprint.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/ring_reader.h"

namespace {

QOXContext* Context() {
  static QOXContext* context = [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXContext* c = nullptr;
    QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  return context;
}

using namespace synthetic_ring;

Ring MakeFloodedKey(size_t certifications) {
  std::mt19937_64 rng(certifications + 1);
  const Bytes body = KeyBody(rng);
  Ring ring;
  Append(ring.bytes, Packet(6, body));
  const std::string name = "Flooded <flooded@example.org>";
  Append(ring.bytes, Packet(13, Bytes(name.begin(), name.end())));
  Append(ring.bytes, Certification(0x13, KeyID(Context(), body), kCreation + 1));
  ring.packets = 3;
  for (size_t i = 0; i < certifications; ++i) {
    Bytes issuer(8);
    for (uint8_t& b : issuer) b = static_cast<uint8_t>(rng());
    Append(ring.bytes, Certification(0x10, issuer, kCreation + 2 + static_cast<uint32_t>(i)));
    ++ring.packets;
  }
  ring.keys = certifications + 1;  // a dummy per signer
  return ring;
}

// Rings are made once per size, outside the timing.
const Ring& Cached(bool flooded, size_t n) {
  static std::mutex mutex;
  static std::map<std::pair<bool, size_t>, Ring> rings;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = rings.find({flooded, n});
  if (it == rings.end()) it = rings.emplace(std::pair{flooded, n}, flooded ? MakeFloodedKey(n) : MakeRing(Context(), n)).first;
  return it->second;
}

void ReadInto(QOXKeyDB* db, const Ring& ring, benchmark::State& state) {
  QOXFile* file = qoxFileMemOpen(Context(), ring.bytes.data(), ring.bytes.size());
  if (file == nullptr || qoxReadKeyFile(db, file, false) != 0) state.SkipWithError("reading failed");
  if (file != nullptr) file->close(file);
}

void Run(benchmark::State& state, bool flooded, bool merge) {
  const Ring& ring = Cached(flooded, static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    QOXKeyDB* db = nullptr;
    QOXNewKeyDB(Context(), &db);
    if (merge) ReadInto(db, ring, state);
    state.ResumeTiming();
    ReadInto(db, ring, state);
    state.PauseTiming();
    size_t keys = 0;
    for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) ++keys;
    if (keys != ring.keys) state.SkipWithError("not every packet was read");
    QOXFreeKeyDB(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ring.packets));
  state.counters["ns_per_packet"] = benchmark::Counter(
      static_cast<double>(state.iterations() * ring.packets) * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReadRing(benchmark::State& state) { Run(state, false, false); }
void BM_MergeRing(benchmark::State& state) { Run(state, false, true); }
void BM_FloodedKey(benchmark::State& state) { Run(state, true, false); }
void BM_FloodedMerge(benchmark::State& state) { Run(state, true, true); }

BENCHMARK(BM_ReadRing)->Arg(10000)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MergeRing)->Arg(10000)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloodedKey)->Arg(1000)->Arg(3000)->Arg(10000)->Arg(30000)->Arg(100000)->Arg(300000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloodedMerge)->Arg(1000)->Arg(3000)->Arg(10000)->Arg(30000)->Arg(100000)->Arg(300000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

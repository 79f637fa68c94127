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

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file.h"
#include "keydb/fingerprint.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/ring_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kModulusBytes = 256;
constexpr uint32_t kCreation = 1796948860;

QOXContext* Context() {
  static QOXContext* context = [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXContext* c = nullptr;
    QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  return context;
}

void Append(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

// A packet with a new-form header (RFC 2440 4.2.2).
Bytes Packet(uint8_t tag, const Bytes& body) {
  Bytes p{static_cast<uint8_t>(0xC0 | tag)};
  const size_t n = body.size();
  if (n < 192) {
    p.push_back(static_cast<uint8_t>(n));
  } else if (n < 8384) {
    p.push_back(static_cast<uint8_t>(((n - 192) >> 8) + 192));
    p.push_back(static_cast<uint8_t>((n - 192) & 0xFF));
  } else {
    p.push_back(0xFF);
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(n >> s));
  }
  Append(p, body);
  return p;
}

// A version-4 RSA public-key body with a random odd 2048-bit modulus and
// exponent 65537.
Bytes KeyBody(std::mt19937_64& rng) {
  Bytes b{4, kCreation >> 24, (kCreation >> 16) & 0xFF, (kCreation >> 8) & 0xFF, kCreation & 0xFF, 1, 0x08, 0x00};
  for (size_t i = 0; i < kModulusBytes; ++i) b.push_back(static_cast<uint8_t>(rng()));
  b[8] |= 0x80;  // 2048 bits exactly
  b.back() |= 0x01;  // an odd modulus
  Append(b, {0x00, 0x11, 0x01, 0x00, 0x01});
  return b;
}

// The key ID of a version-4 key body: the last 8 bytes of its fingerprint.
Bytes KeyID(const Bytes& keyBody) {
  uint8_t digest[kQOXFingerprint20Size];
  qoxFingerprint20HashBuf(Context(), keyBody.data(), keyBody.size(), digest);
  return Bytes(digest + 12, digest + 20);
}

// A version-4 certification that parses: creation (hashed), issuer
// (unhashed), a short signature MPI.
Bytes Certification(uint8_t type, const Bytes& issuer, uint32_t creation) {
  const Bytes hashed{5, 2, static_cast<uint8_t>(creation >> 24), static_cast<uint8_t>(creation >> 16),
                     static_cast<uint8_t>(creation >> 8), static_cast<uint8_t>(creation)};
  Bytes unhashed{9, 16};
  Append(unhashed, issuer);
  Bytes body{4, type, 1, 2, 0, static_cast<uint8_t>(hashed.size())};
  Append(body, hashed);
  Append(body, {0, static_cast<uint8_t>(unhashed.size())});
  Append(body, unhashed);
  Append(body, {0x12, 0x34, 0x00, 0x10, 0xA5, 0x5A});
  return Packet(2, body);
}

struct Ring {
  Bytes bytes;
  size_t packets = 0;
  size_t keys = 0;  // top-level keys read, dummies included
};

Ring MakeRing(size_t keys) {
  std::mt19937_64 rng(keys);
  std::vector<Bytes> bodies(keys), ids(keys);
  for (size_t i = 0; i < keys; ++i) {
    bodies[i] = KeyBody(rng);
    ids[i] = KeyID(bodies[i]);
  }
  Ring ring;
  for (size_t i = 0; i < keys; ++i) {
    Append(ring.bytes, Packet(6, bodies[i]));
    const std::string name = "Synthetic Key " + std::to_string(i) + " <key" + std::to_string(i) + "@example.org>";
    Append(ring.bytes, Packet(13, Bytes(name.begin(), name.end())));
    Append(ring.bytes, Certification(0x13, ids[i], kCreation + 1));
    Append(ring.bytes, Certification(0x10, ids[rng() % keys], kCreation + 2));
    Append(ring.bytes, Certification(0x10, ids[rng() % keys], kCreation + 3));
    ring.packets += 5;
  }
  ring.keys = keys;  // every signer is in the ring
  return ring;
}

Ring MakeFloodedKey(size_t certifications) {
  std::mt19937_64 rng(certifications + 1);
  const Bytes body = KeyBody(rng);
  Ring ring;
  Append(ring.bytes, Packet(6, body));
  const std::string name = "Flooded <flooded@example.org>";
  Append(ring.bytes, Packet(13, Bytes(name.begin(), name.end())));
  Append(ring.bytes, Certification(0x13, KeyID(body), kCreation + 1));
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
  if (it == rings.end()) it = rings.emplace(std::pair{flooded, n}, flooded ? MakeFloodedKey(n) : MakeRing(n)).first;
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

// Key import (QOXImport: the decode job with its armor parser, inflate
// bound and key sink, then the ring reader) of a large key ring, armored
// and binary, beside `gpg --dearmor` of the same armored file in the same
// run. The ring is synthetic (bench/synthetic_ring.h): 2,000 or 10,000
// RSA-2048 keys of five packets each, armored here as a public key block.
//
//   Import/N/armored   QOXImport of the armored block from memory
//   Import/N/binary    QOXImport of the same ring unarmored
//   GpgDearmor/N       gpg --dearmor of the armored block from a file to
//                      /dev/null, one process per iteration (its start-up
//                      is part of the time; 2,000 keys make ~1.3 MB)
//
// Compare the bytes_per_second counters: import parses every packet into
// the key database, gpg --dearmor only turns the text back into bytes.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "bench/synthetic_ring.h"
#include "foundation/armor_base64.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db.h"
#include "pipeline/crc24.h"

namespace {

using synthetic_ring::Bytes;

QOXContext* Context() {
  static QOXContext* context = [] {
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXContext* c = nullptr;
    QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  return context;
}

// The ring as an RFC 2440 public key block: 64 characters a line, the
// CRC-24 line, the end line.
std::string Armor(const Bytes& ring) {
  std::string out = "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n";
  char line[65];
  for (size_t at = 0; at < ring.size(); at += 48) {
    size_t n = std::min<size_t>(48, ring.size() - at);
    size_t written = armorInput(ring.data() + at, n, line);
    out.append(line, written);
    out.push_back('\n');
  }
  const uint32_t crc = crcUpdate(kQOXCRC24Init, ring.data(), ring.size());
  const uint8_t crcBytes[3] = {static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 8),
                               static_cast<uint8_t>(crc)};
  char crcText[4];
  armorMorsel(crcBytes, crcText);
  out += "=" + std::string(crcText, 4) + "\n-----END PGP PUBLIC KEY BLOCK-----\n";
  return out;
}

struct Input {
  Bytes binary;
  std::string armored;
  std::string file;  // the armored block on disk, for gpg
};

const Input& Cached(size_t keys) {
  static std::mutex mutex;
  static std::map<size_t, Input> inputs;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = inputs.find(keys);
  if (it != inputs.end()) return it->second;
  Input in;
  in.binary = synthetic_ring::MakeRing(Context(), keys).bytes;
  in.armored = Armor(in.binary);
  mkdir(OSTRAK_BENCH_DATA, 0755);
  in.file = std::string(OSTRAK_BENCH_DATA) + "/import-" + std::to_string(keys) + ".asc";
  std::ofstream(in.file, std::ios::binary) << in.armored;
  return inputs.emplace(keys, std::move(in)).first->second;
}

void BM_Import(benchmark::State& state) {
  const Input& in = Cached(static_cast<size_t>(state.range(0)));
  const bool armored = state.range(1) != 0;
  const void* data = armored ? static_cast<const void*>(in.armored.data()) : in.binary.data();
  const size_t size = armored ? in.armored.size() : in.binary.size();
  for (auto _ : state) {
    QOXKeyDB* db = nullptr;
    if (QOXImport(Context(), &db, QOXOInputBuffer(Context(), data, size), kQOXEndOfOptionList) != 0) {
      state.SkipWithError("import failed");
      break;
    }
    state.PauseTiming();
    QOXFreeKeyDB(db);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.SetLabel(armored ? "armored" : "binary");
}

void BM_GpgDearmor(benchmark::State& state) {
  const Input& in = Cached(static_cast<size_t>(state.range(0)));
  const std::string command = "gpg --batch --no-options --homedir " OSTRAK_BENCH_DATA " --dearmor < " + in.file +
                              " > /dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("gpg --dearmor failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.armored.size()));
}

BENCHMARK(BM_Import)->ArgsProduct({{2000, 10000}, {1, 0}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GpgDearmor)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Random mutations of the seed inputs of the server's fuzz targets through
// their bodies (fuzz/*_body.h), meant for the sanitiser build: a request
// handed to the handlers, a configuration file, DNs, entry texts and
// console requests must never make the server read or write out of bounds,
// and the properties the bodies check must hold. OSTRAK_SERVER_MUTATIONS
// sets the number of mutated inputs per target (by default 20,000, and
// 3,000 for the configuration, whose body builds a whole server state; each
// target about a second in the sanitiser build), OSTRAK_SERVER_SEED the
// seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/server/fuzz/config_fuzz_body.h"
#include "tests/server/fuzz/request_fuzz_body.h"
#include "tests/server/fuzz/text_fuzz_body.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

std::vector<Bytes> Seeds(const char* target) {
  std::vector<Bytes> seeds;
  const std::filesystem::path dir = std::filesystem::path(OSTRAK_SOURCE_DIR) / "tests/server/fuzz/corpus" / target;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return seeds;
}

// Byte-level mutations, with pieces of other seeds spliced in and bytes
// that matter to these parsers (BER lengths and tags, line ends, blanks,
// quotes, separators, NUL).
void Mutate(Bytes& b, std::mt19937& rng, const std::vector<Bytes>& seeds) {
  static const uint8_t interesting[] = {0x00, 0x01, 0x04, 0x0a, 0x0d, 0x20, 0x22, 0x2c, 0x3b, 0x3d, 0x5c, 0x30,
                                        0x7f, 0x80, 0x81, 0x84, 0x87, 0xa0, 0xa3, 0xa4, 0xff, 0x09, 0x2a, 0x3a};
  const int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    const size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 7) {
      case 0:
        if (!b.empty()) b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty()) b[at] = interesting[rng() % sizeof interesting];
        break;
      case 2:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), interesting[rng() % sizeof interesting]);
        break;
      case 3:
        if (!b.empty()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4:
        b.resize(at);  // truncate
        break;
      case 5: {  // a piece of another seed
        const Bytes& o = seeds[rng() % seeds.size()];
        if (o.empty()) break;
        size_t from = rng() % o.size(), n = rng() % (o.size() - from + 1);
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), o.begin() + static_cast<std::ptrdiff_t>(from),
                 o.begin() + static_cast<std::ptrdiff_t>(from + n));
        break;
      }
      case 6:
        if (b.size() > 1) {  // a length octet claiming more or less
          size_t i = 1 + rng() % (b.size() - 1);
          b[i] = static_cast<uint8_t>(b[i] + static_cast<int>(rng() % 9) - 4);
        }
        break;
    }
  }
}

void RunMutations(const char* target, void (*body)(const uint8_t*, size_t), uint64_t defaultCount = 20000) {
  const std::vector<Bytes> seeds = Seeds(target);
  ASSERT_FALSE(seeds.empty()) << target;
  for (const Bytes& s : seeds) body(s.data(), s.size());
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_SERVER_SEED", 19)));
  const uint64_t mutations = EnvOr("OSTRAK_SERVER_MUTATIONS", defaultCount);
  for (uint64_t i = 0; i < mutations; ++i) {
    Bytes b = seeds[rng() % seeds.size()];
    Mutate(b, rng, seeds);
    body(b.data(), b.size());
  }
}

TEST(ServerFuzzMutation, Requests) { RunMutations("request", request_fuzz::Run); }
TEST(ServerFuzzMutation, Configuration) { RunMutations("config", config_fuzz::Run, 3000); }
TEST(ServerFuzzMutation, DistinguishedNames) { RunMutations("dn", text_fuzz::RunDN); }
TEST(ServerFuzzMutation, EntryText) { RunMutations("entry_text", text_fuzz::RunEntryText); }
TEST(ServerFuzzMutation, ConsoleRequests) { RunMutations("console", text_fuzz::RunConsole); }

}  // namespace

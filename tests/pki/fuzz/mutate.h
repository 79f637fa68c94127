// The random mutations of the codec mutation tests (run under the
// sanitizers in CI): bit flips, interesting bytes, insertions, deletions,
// truncation, splices of other seeds, small additions, an indefinite length
// in place of a definite one, and now and then a new first byte (the type
// selector of the fuzz inputs).
#ifndef OSTRAK_TESTS_PKI_FUZZ_MUTATE_H_
#define OSTRAK_TESTS_PKI_FUZZ_MUTATE_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace pkifuzz {

using Bytes = std::vector<uint8_t>;

// An environment number (the mutation count, the seed), or the fallback.
inline uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

// The files of a corpus folder, sorted.
inline std::vector<Bytes> Seeds(const std::string& dir) {
  std::vector<Bytes> seeds;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::sort(seeds.begin(), seeds.end());
  return seeds;
}

inline void Mutate(Bytes& b, std::mt19937& rng, const std::vector<Bytes>& seeds) {
  static const uint8_t interesting[] = {0x00, 0x01, 0x02, 0x04, 0x06, 0x17, 0x1f, 0x30, 0x31, 0x7f,
                                        0x80, 0x81, 0x82, 0x84, 0x85, 0xa0, 0xa3, 0xa4, 0xff};
  int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    // Byte 0 picks the type; it changes now and then too.
    size_t at = b.size() > 1 ? 1 + rng() % (b.size() - 1) : 0;
    switch (rng() % 9) {
      case 0:
        if (at < b.size()) b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (at < b.size()) b[at] = interesting[rng() % sizeof interesting];
        break;
      case 2:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        break;
      case 3:
        if (at < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4:
        b.resize(std::max<size_t>(1, at));  // truncate
        break;
      case 5: {  // splice in a piece of another seed
        const Bytes& o = seeds[rng() % seeds.size()];
        size_t from = 1 + rng() % (o.size() - 1), n = rng() % (o.size() - from + 1);
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), o.begin() + static_cast<std::ptrdiff_t>(from),
                 o.begin() + static_cast<std::ptrdiff_t>(from + n));
        break;
      }
      case 6:
        if (at < b.size()) b[at] = static_cast<uint8_t>(b[at] + static_cast<int>(rng() % 9) - 4);
        break;
      case 7:  // an indefinite length in place of a definite one
        if (at < b.size() && (b[at] & 0x20) && at + 1 < b.size()) b[at + 1] = 0x80;
        break;
      case 8:
        if (!b.empty()) b[0] = static_cast<uint8_t>(rng());
        break;
    }
  }
}

}  // namespace pkifuzz

#endif  // OSTRAK_TESTS_PKI_FUZZ_MUTATE_H_

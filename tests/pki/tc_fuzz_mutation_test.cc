// Random-mutation runs of the certificate toolkit's fuzz steps
// (fuzz/tc_fuzz_bodies.h), meant for the sanitizer build: mutated DN
// texts, certificates and CRLs (the fuzz targets' seeds) must never make
// the toolkit read or write out of bounds, break its contract or leave a
// block allocated. OSTRAK_TC_MUTATIONS sets the number of inputs per
// target (default 5000), OSTRAK_TC_SEED the seed; with OSTRAK_TC_LAST set,
// each input is written to that file before it runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/pki/fuzz/tc_fuzz_bodies.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::vector<Bytes> Seeds(const std::string& corpus) {
  std::vector<Bytes> seeds;
  for (const auto& e : std::filesystem::directory_iterator(std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/" + corpus)) {
    std::ifstream in(e.path(), std::ios::binary);
    seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::sort(seeds.begin(), seeds.end());
  return seeds;
}

void Mutate(Bytes& b, std::mt19937& rng, const std::vector<Bytes>& seeds, bool text) {
  static const uint8_t der[] = {0x00, 0x01, 0x02, 0x04, 0x06, 0x13, 0x16, 0x17, 0x18, 0x30, 0x31,
                                0x7f, 0x80, 0x81, 0x82, 0x84, 0xa0, 0xa3, 0xa4, 0xff};
  static const char dn[] = ",+=\\#\" ;<>.0123456789abcdefCNOU\t";
  int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 7) {
      case 0:
        if (at < b.size()) b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (at < b.size()) b[at] = text ? static_cast<uint8_t>(dn[rng() % (sizeof dn - 1)]) : der[rng() % sizeof der];
        break;
      case 2:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at),
                 text ? static_cast<uint8_t>(dn[rng() % (sizeof dn - 1)]) : static_cast<uint8_t>(rng()));
        break;
      case 3:
        if (at < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4:
        b.resize(at);
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
        if (at < b.size()) b[at] = static_cast<uint8_t>(b[at] + static_cast<int>(rng() % 9) - 4);
        break;
    }
  }
}

void RunMutations(const std::string& corpus, void (*body)(const uint8_t*, size_t), bool text) {
  const std::vector<Bytes> seeds = Seeds(corpus);
  ASSERT_GT(seeds.size(), 4u);
  for (const Bytes& s : seeds) body(s.data(), s.size());
  const uint64_t iterations = EnvOr("OSTRAK_TC_MUTATIONS", 5000);
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_TC_SEED", 20261211)));
  const char* last = std::getenv("OSTRAK_TC_LAST");
  for (uint64_t i = 0; i < iterations; ++i) {
    Bytes input = seeds[rng() % seeds.size()];
    Mutate(input, rng, seeds, text);
    if (last != nullptr) {
      std::ofstream(last, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    static const uint8_t kNone = 0;
    body(input.empty() ? &kNone : input.data(), input.size());
  }
}

TEST(TcMutation, DNTexts) { RunMutations("tc_dn", tc_fuzz::RunDNString, true); }
TEST(TcMutation, Certificates) { RunMutations("tc_cert", tc_fuzz::RunCertificate, false); }
TEST(TcMutation, CRLs) { RunMutations("tc_crl", tc_fuzz::RunCRL, false); }

}  // namespace

// Random-mutation run over the X.509 module's decoders and encoders, meant
// for the sanitizer build: mutated certificates, CRLs, requests and
// extension values (the fuzz target's seeds) must never make a codec read
// or write out of bounds or break its contract (fuzz/cert_asn_fuzz_body.h),
// and must leave nothing allocated. OSTRAK_PKI_MUTATIONS sets the number of
// mutated inputs (default 20000), OSTRAK_PKI_SEED the seed; with
// OSTRAK_PKI_LAST set, each input is written to that file before it runs,
// so the one that stopped the run can be added to the fuzz corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/pki/asn_test_support.h"
#include "tests/pki/fuzz/cert_asn_fuzz_body.h"

namespace {

using pkitest::Bytes;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::vector<Bytes> Seeds() {
  std::vector<Bytes> seeds;
  const std::string dir = std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/cert_asn";
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::sort(seeds.begin(), seeds.end());
  return seeds;
}

void Mutate(Bytes& b, std::mt19937& rng, const std::vector<Bytes>& seeds) {
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

TEST(CertAsnMutation, MutatedEncodingsKeepEveryCodecInBounds) {
  const std::vector<Bytes> seeds = Seeds();
  ASSERT_GT(seeds.size(), 50u);
  pkitest::CountingContext mem;
  // The seeds themselves first: every one decodes and round-trips.
  for (const Bytes& s : seeds) cert_asn_fuzz::Run(mem.ctx(), s.data(), s.size());
  const uint64_t iterations = EnvOr("OSTRAK_PKI_MUTATIONS", 20000);
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_PKI_SEED", 20261210)));
  const char* last = std::getenv("OSTRAK_PKI_LAST");
  for (uint64_t i = 0; i < iterations; ++i) {
    Bytes input = seeds[rng() % seeds.size()];
    Mutate(input, rng, seeds);
    if (last != nullptr) {
      std::ofstream(last, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    cert_asn_fuzz::Run(mem.ctx(), input.data(), input.size());
    ASSERT_EQ(mem.live(), 0) << "iteration " << i << " left blocks allocated";
  }
}

}  // namespace

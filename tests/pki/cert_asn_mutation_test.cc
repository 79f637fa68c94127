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
#include "tests/pki/fuzz/mutate.h"

namespace {

using pkitest::Bytes;

TEST(CertAsnMutation, MutatedEncodingsKeepEveryCodecInBounds) {
  const std::vector<Bytes> seeds = pkifuzz::Seeds(std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/cert_asn");
  ASSERT_GT(seeds.size(), 50u);
  pkitest::CountingContext mem;
  // The seeds themselves first: every one decodes and round-trips.
  for (const Bytes& s : seeds) cert_asn_fuzz::Run(mem.ctx(), s.data(), s.size());
  const uint64_t iterations = pkifuzz::EnvOr("OSTRAK_PKI_MUTATIONS", 20000);
  std::mt19937 rng(static_cast<uint32_t>(pkifuzz::EnvOr("OSTRAK_PKI_SEED", 20261210)));
  const char* last = std::getenv("OSTRAK_PKI_LAST");
  for (uint64_t i = 0; i < iterations; ++i) {
    Bytes input = seeds[rng() % seeds.size()];
    pkifuzz::Mutate(input, rng, seeds);
    if (last != nullptr) {
      std::ofstream(last, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    cert_asn_fuzz::Run(mem.ctx(), input.data(), input.size());
    ASSERT_EQ(mem.live(), 0) << "iteration " << i << " left blocks allocated";
  }
}

}  // namespace

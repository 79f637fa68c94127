// Random-mutation runs over the PKCS #7, #8, #12 and enrollment modules
// and over sm_VerifyMessage, meant for the sanitizer build: mutated seeds
// of the two fuzz targets (fuzz/corpus/pkcs_asn, fuzz/corpus/sm_verify)
// must never make a codec or the layer read or write out of bounds or
// break its contract (fuzz/pkcs_asn_fuzz_body.h, fuzz/sm_verify_fuzz_body.h),
// and must leave nothing allocated. OSTRAK_PKI_MUTATIONS sets the number of
// mutated inputs of each run (default 10000 for the codecs, 4000 for
// the verification, each about 2 s under the sanitizers), OSTRAK_PKI_SEED the seed;
// with OSTRAK_PKI_LAST set, each input is written to that file before it
// runs.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include "tests/pki/asn_test_support.h"
#include "tests/pki/fuzz/mutate.h"
#include "tests/pki/fuzz/pkcs_asn_fuzz_body.h"
#include "tests/pki/fuzz/sm_verify_fuzz_body.h"

namespace {

using pkitest::Bytes;

void MutationRun(const char* corpus, void (*run)(PKICONTEXT*, const uint8_t*, size_t), bool typeByte,
                 uint64_t defaultIterations) {
  const std::vector<Bytes> seeds = pkifuzz::Seeds(std::string(OSTRAK_SOURCE_DIR) + "/tests/pki/fuzz/corpus/" + corpus);
  ASSERT_GT(seeds.size(), 5u);
  pkitest::CountingContext mem;
  for (const Bytes& s : seeds) run(mem.ctx(), s.data(), s.size());
  ASSERT_EQ(mem.live(), 0) << "the seeds left blocks allocated";
  const uint64_t iterations = pkifuzz::EnvOr("OSTRAK_PKI_MUTATIONS", defaultIterations);
  std::mt19937 rng(static_cast<uint32_t>(pkifuzz::EnvOr("OSTRAK_PKI_SEED", 20261211)));
  const char* last = std::getenv("OSTRAK_PKI_LAST");
  for (uint64_t i = 0; i < iterations; ++i) {
    Bytes input = seeds[rng() % seeds.size()];
    pkifuzz::Mutate(input, rng, seeds);
    // Without a type byte, the first byte is the encoding's own tag: keep
    // it more often than the shared mutations do.
    if (!typeByte && !input.empty() && rng() % 4 != 0) input[0] = 0x30;
    if (last != nullptr) {
      std::ofstream(last, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    run(mem.ctx(), input.data(), input.size());
    ASSERT_EQ(mem.live(), 0) << "iteration " << i << " left blocks allocated";
  }
}

TEST(PkcsMutation, MutatedEncodingsKeepEveryCodecInBounds) {
  MutationRun("pkcs_asn", pkcs_asn_fuzz::Run, true, 10000);
}

TEST(PkcsMutation, MutatedSignedDataKeepVerificationInBounds) {
  MutationRun("sm_verify", sm_verify_fuzz::Run, false, 4000);
}

}  // namespace

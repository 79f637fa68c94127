// Random mutations of the parser's fuzz corpus through the fuzz body:
// parsed whole and in pieces, the runs must agree, and nothing may crash or
// read or write out of bounds (the sanitiser build runs this too).
#include <chrono>

#include "pipeline_test_support.h"
#include "tests/pipeline/fuzz/parse_bin_fuzz_body.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::PipelineTest;

class ParseBinMutationTest : public PipelineTest {};

TEST_F(ParseBinMutationTest, MutatedMessagesNeverMisbehave) {
  std::vector<Bytes> seeds;
  for (const auto& e :
       std::filesystem::directory_iterator(OSTRAK_SOURCE_DIR "/tests/pipeline/fuzz/corpus/parse_bin")) {
    seeds.push_back(ReadFile(e.path().string()));
  }
  ASSERT_GE(seeds.size(), 30u);
  std::mt19937 rng(2028);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  // At least kMinRuns inputs however slow the machine, more while time
  // remains.
  constexpr size_t kMinRuns = 200;
  size_t runs = 0;
  while (runs < kMinRuns || std::chrono::steady_clock::now() < deadline) {
    Bytes input = seeds[rng() % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && input.size() > 1; ++i) {
      size_t at = rng() % input.size();
      switch (rng() % 5) {
        case 0: input[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 1: input[at] = static_cast<uint8_t>(rng()); break;
        case 2: input.resize(at + 1); break;
        case 3: input.insert(input.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
        default: {  // a copy of a run of the input somewhere else
          size_t from = rng() % input.size();
          size_t n = std::min<size_t>(rng() % 64, input.size() - from);
          Bytes run(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + n));
          input.insert(input.begin() + static_cast<long>(at), run.begin(), run.end());
          break;
        }
      }
    }
    if (getenv("PB_DUMP")) WriteFile(getenv("PB_DUMP"), input);
    parse_bin_fuzz::Run(context_, input.data(), input.size());
    ++runs;
  }
}

}  // namespace

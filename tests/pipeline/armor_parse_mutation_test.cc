// Random mutations of the armor parser's fuzz corpus through the fuzz
// body: parsed whole and in pieces, the runs must agree, and nothing may
// crash or read or write out of bounds (the sanitiser build runs this too).
#include <chrono>

#include "pipeline_test_support.h"
#include "tests/pipeline/fuzz/armor_parse_fuzz_body.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::PipelineTest;

class ArmorParseMutationTest : public PipelineTest {};

TEST_F(ArmorParseMutationTest, MutatedInputsNeverMisbehave) {
  std::vector<Bytes> seeds;
  for (const auto& e :
       std::filesystem::directory_iterator(OSTRAK_SOURCE_DIR "/tests/pipeline/fuzz/corpus/armor_parse")) {
    seeds.push_back(ReadFile(e.path().string()));
  }
  ASSERT_GE(seeds.size(), 10u);
  std::mt19937 rng(29);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  size_t runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    Bytes input = seeds[rng() % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && input.size() > 1; ++i) {
      size_t at = 1 + rng() % (input.size() - 1);
      switch (rng() % 6) {
        case 0: input[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 1: input[at] = static_cast<uint8_t>(rng()); break;
        case 2: input.resize(at + 1); break;
        case 3: input.insert(input.begin() + static_cast<long>(at), "\n\r-=: "[rng() % 6]); break;
        case 4: input[0] = static_cast<uint8_t>(rng()); break;
        default: {  // a copy of a run of the input somewhere else
          size_t from = rng() % input.size();
          size_t n = std::min<size_t>(rng() % 200, input.size() - from);
          Bytes run(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + n));
          input.insert(input.begin() + static_cast<long>(at), run.begin(), run.end());
          break;
        }
      }
    }
    if (getenv("AP_DUMP")) WriteFile(getenv("AP_DUMP"), input);
    armor_parse_fuzz::Run(context_, input.data(), input.size());
    ++runs;
  }
  EXPECT_GT(runs, 100u);
}

}  // namespace

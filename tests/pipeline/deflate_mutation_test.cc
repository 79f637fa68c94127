// Random inputs and mutations of the deflate seeds through the fuzz body:
// compressed whole and in pieces at every level, the streams must agree and
// read back to the input (the sanitiser build runs this too).
#include <chrono>

#include "pipeline_test_support.h"
#include "tests/pipeline/fuzz/deflate_fuzz_body.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::PipelineTest;

class DeflateMutationTest : public PipelineTest {};

TEST_F(DeflateMutationTest, MutatedInputsRoundTrip) {
  std::vector<Bytes> seeds;
  for (const auto& e : std::filesystem::directory_iterator(OSTRAK_SOURCE_DIR "/tests/pipeline/fuzz/corpus/deflate")) {
    seeds.push_back(ReadFile(e.path().string()));
  }
  ASSERT_GE(seeds.size(), 8u);
  std::mt19937 rng(30);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  size_t runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    Bytes input = seeds[rng() % seeds.size()];
    if (input.empty()) input.push_back(0);
    input[0] = static_cast<uint8_t>(rng());
    int edits = static_cast<int>(rng() % 6);
    for (int i = 0; i < edits && input.size() > 1; ++i) {
      size_t at = 1 + rng() % (input.size() - 1);
      switch (rng() % 5) {
        case 0: input[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 1: input.resize(at); break;
        case 2: {
          // A run of one byte, as runs and repeats are what matching meets.
          Bytes run(1 + rng() % 700, static_cast<uint8_t>(rng()));
          input.insert(input.begin() + static_cast<long>(at), run.begin(), run.end());
          break;
        }
        case 3: {
          // A copy of an earlier stretch, near or far.
          size_t from = 1 + rng() % (input.size() - 1);
          size_t n = std::min<size_t>(1 + rng() % 400, input.size() - from);
          Bytes copy(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + n));
          input.insert(input.end(), copy.begin(), copy.end());
          break;
        }
        default: input[at] = static_cast<uint8_t>(rng()); break;
      }
    }
    deflate_fuzz::Run(context_, input.data(), input.size());
    ++runs;
  }
  EXPECT_GT(runs, 50u);
}

}  // namespace

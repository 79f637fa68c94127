// Random mutations of valid deflate streams through the fuzz body: decoded
// in pieces and whole, the runs must agree, and nothing may crash or read
// or write out of bounds (the sanitiser build runs this too).
#include <algorithm>
#include <chrono>

#include "pipeline_test_support.h"
#include "tests/pipeline/fuzz/inflate_fuzz_body.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::PipelineTest;

class InflateMutationTest : public PipelineTest {};

TEST_F(InflateMutationTest, MutatedStreamsNeverMisbehave) {
  std::vector<Bytes> seeds;
  for (const auto& e : std::filesystem::directory_iterator(OSTRAK_SOURCE_DIR "/tests/pipeline/fuzz/corpus/inflate")) {
    seeds.push_back(ReadFile(e.path().string()));
  }
  ASSERT_GE(seeds.size(), 60u);
  std::mt19937 rng(2027);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  // At least kMinRuns inputs however slow the machine, more while time
  // remains.
  constexpr size_t kMinRuns = 200;
  size_t runs = 0;
  while (runs < kMinRuns || std::chrono::steady_clock::now() < deadline) {
    Bytes input = seeds[rng() % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && !input.empty(); ++i) {
      size_t at = rng() % input.size();
      switch (rng() % 4) {
        case 0: input[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 1: input[at] = static_cast<uint8_t>(rng()); break;
        case 2: input.resize(at + 1); break;
        default: input.insert(input.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
      }
    }
    inflate_fuzz::Run(context_, input.data(), input.size());
    ++runs;
  }
}

}  // namespace

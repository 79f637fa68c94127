// Random mutations of the decode fuzz corpus (gpg's messages and key blocks)
// through the fuzz body: every mutated message or key block must end the
// job with a result, without a crash, an overrun, a leak or an endless
// passphrase loop (the sanitiser build runs this too). Also the unmutated
// seeds: each message decodes, each key block imports, the few the decoder
// refuses give their answers (the corpus still reaches the deep paths).
#include <chrono>
#include <filesystem>
#include <map>
#include <random>

#include "foundation/sdk_errors.h"
#include "pipeline_test_support.h"
#include "tests/pipeline/fuzz/decode_fuzz_body.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::PipelineTest;

class DecodeMutationTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    Bytes key = ReadFile(OSTRAK_SOURCE_DIR "/tests/pipeline/data/erin.sec.bin");
    ASSERT_FALSE(key.empty());
    ASSERT_EQ(QOXImport(context_, &keys_, QOXOInputBuffer(context_, key.data(), key.size()), kQOXEndOfOptionList),
              0);
    for (const auto& e :
         std::filesystem::directory_iterator(OSTRAK_SOURCE_DIR "/tests/pipeline/fuzz/corpus/decode")) {
      names_.push_back(e.path().filename().string());
      seeds_.push_back(ReadFile(e.path().string()));
    }
  }
  void TearDown() override {
    if (keys_ != nullptr) QOXFreeKeyDB(keys_);
    PipelineTest::TearDown();
  }
  QOXKeyDB* keys_ = nullptr;
  std::vector<std::string> names_;
  std::vector<Bytes> seeds_;
};

TEST_F(DecodeMutationTest, SeedsDecodeAndImport) {
  ASSERT_GE(seeds_.size(), 20u);
  // The seeds the decoder refuses, with their answers; every other one
  // decodes or imports.
  const std::map<std::string, QOXError> refused = {
      {"msg-zlib.gpg", kQOXErrBadPacket},                    // compression algorithm 2
      {"msg-detached.sig", kQOXErrDetachedSigNoCallback},    // a detached signature without its data
  };
  for (size_t i = 0; i < seeds_.size(); ++i) {
    QOXError err = decode_fuzz::Run(context_, keys_, seeds_[i].data(), seeds_[i].size());
    auto it = refused.find(names_[i]);
    if (names_[i].find("bomb") != std::string::npos) {
      EXPECT_NE(err, 0) << names_[i];  // the key-data bound
    } else {
      EXPECT_EQ(err, it == refused.end() ? 0 : it->second) << names_[i];
    }
  }
}

TEST_F(DecodeMutationTest, MutatedInputsNeverMisbehave) {
  ASSERT_FALSE(seeds_.empty());
  std::mt19937 rng(105);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  constexpr size_t kMinRuns = 200;
  size_t runs = 0;
  while (runs < kMinRuns || std::chrono::steady_clock::now() < deadline) {
    Bytes input = seeds_[rng() % seeds_.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && input.size() > 2; ++i) {
      size_t at = 1 + rng() % (input.size() - 1);
      switch (rng() % 6) {
        case 0: input[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 1: input[at] = static_cast<uint8_t>(rng()); break;
        case 2: input.resize(at + 1); break;
        case 3: input.insert(input.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
        case 4: input[0] = static_cast<uint8_t>(rng() & 0x0F); break;
        default: {  // a copy of a run of the input somewhere else
          size_t from = 1 + rng() % (input.size() - 1);
          size_t n = std::min<size_t>(rng() % 300, input.size() - from);
          Bytes run(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + n));
          input.insert(input.begin() + static_cast<long>(at), run.begin(), run.end());
          break;
        }
      }
    }
    if (getenv("DECODE_DUMP")) WriteFile(getenv("DECODE_DUMP"), input);
    decode_fuzz::Run(context_, keys_, input.data(), input.size());
    ++runs;
  }
  EXPECT_GE(runs, kMinRuns);
}

}  // namespace

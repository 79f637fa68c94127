// Random mutations of the ring corpus through the ring reader, the merge
// and the queries over what was read (the body of the ring fuzz target),
// meant for the sanitiser build: no input may make them read or write out
// of bounds or break the tree's shape. OSTRAK_KEYDB_RING_MUTATIONS sets
// the number of mutated inputs (default 1500), OSTRAK_KEYDB_SEED the seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "tests/keydb/fuzz/ring_fuzz_body.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

// Byte changes, and splices of whole runs of another seed, so that packets
// of one stream land in another.
void Mutate(Bytes& b, const Bytes& other, std::mt19937& rng) {
  static const uint8_t interesting[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x0C, 0x13, 0x18, 0x1F, 0x20, 0x28,
                                        0x30, 0x7F, 0x80, 0x88, 0x89, 0x99, 0xB4, 0xC0, 0xFF};
  const int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    const size_t at = b.size() < 2 ? 1 : 1 + rng() % (b.size() - 1);  // the mode byte stays
    switch (rng() % 5) {
      case 0:
        if (at < b.size()) b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (at < b.size()) b[at] = interesting[rng() % sizeof interesting];
        break;
      case 2:
        if (at < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 3:
        b.resize(std::min(b.size(), at));
        break;
      case 4:
        if (other.size() > 2) {
          const size_t from = 1 + rng() % (other.size() - 1);
          const size_t n = std::min<size_t>(other.size() - from, 1 + rng() % 400);
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(std::min(at, b.size())), other.begin() + from,
                   other.begin() + from + n);
        }
        break;
    }
  }
}

class RingMutationTest : public keydb_test::KeyDBTest {};

TEST_F(RingMutationTest, MutatedRingsAreReadAndMergedSafely) {
  std::vector<Bytes> seeds;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/fuzz/corpus/ring")) {
    std::ifstream in(entry.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(seeds.size(), 10u);
  for (const Bytes& s : seeds) ring_fuzz::Run(context_, s.data(), s.size());
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_KEYDB_SEED", 2440)));
  const uint64_t mutations = EnvOr("OSTRAK_KEYDB_RING_MUTATIONS", 1500);
  // Mutations must leave keys to merge and query: count the inputs that
  // still give a key.
  uint64_t withKeys = 0;
  for (uint64_t i = 0; i < mutations; ++i) {
    Bytes b = seeds[rng() % seeds.size()];
    b[0] = static_cast<uint8_t>(rng() % 8);
    Mutate(b, seeds[rng() % seeds.size()], rng);
    ring_fuzz::Run(context_, b.data(), b.size());
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    if (b.size() > 1 && Read(Bytes(b.begin() + 1, b.end()), false, db) == 0 && !Keys(false, db).empty()) ++withKeys;
    ASSERT_EQ(QOXFreeKeyDB(db), 0);
  }
  EXPECT_GT(withKeys, mutations / 2);
}

}  // namespace

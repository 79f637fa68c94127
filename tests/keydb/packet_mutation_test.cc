// Random mutations of the gpg fixtures and hand-made streams through the
// packet header reader and every packet parser (the body of the fuzz
// target), meant for the sanitiser build: no input may make them read or
// write out of bounds. OSTRAK_KEYDB_MUTATIONS sets the number of mutated
// inputs (default 20000), OSTRAK_KEYDB_SEED the seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "tests/keydb/fuzz/packet_fuzz_body.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

void Mutate(Bytes& b, std::mt19937& rng) {
  static const uint8_t interesting[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x7F, 0x80, 0x88, 0x89, 0x99,
                                        0xBF, 0xC0, 0xDF, 0xE0, 0xE9, 0xFE, 0xFF};
  const int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    const size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 6) {
      case 0:
        if (!b.empty()) b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty()) b[at] = interesting[rng() % sizeof interesting];
        break;
      case 2:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), interesting[rng() % sizeof interesting]);
        break;
      case 3:
        if (!b.empty()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4:
        b.resize(at);  // truncate
        break;
      case 5:
        if (b.size() > 2) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), at + 1 + rng() % 16)));
        break;
    }
  }
}

class PacketMutationTest : public keydb_test::KeyDBTest {};

TEST_F(PacketMutationTest, MutatedPacketsAreReadSafely) {
  std::vector<Bytes> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(OSTRAK_SOURCE_DIR) +
                                                               "/tests/keydb/fuzz/corpus/packets")) {
    std::ifstream in(entry.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Single packets of the fixtures too, so that the parsers see mutations
  // of each kind of packet on its own.
  for (const char* name : {"alice.bin", "bob.both.bin", "carol.bin", "dave.sec.bin", "v3-rsa48-short.bin"}) {
    for (const keydb_test::Packet& p : keydb_test::SplitPackets(keydb_test::ReadFile(name))) {
      Bytes s = {static_cast<uint8_t>(seeds.size())};
      s.insert(s.end(), p.bytes.begin(), p.bytes.end());
      seeds.push_back(s);
    }
  }
  ASSERT_GT(seeds.size(), 20u);
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_KEYDB_SEED", 2440)));
  const uint64_t mutations = EnvOr("OSTRAK_KEYDB_MUTATIONS", 20000);
  for (const Bytes& s : seeds) packet_fuzz::Run(context_, s.data(), s.size());
  // Mutations must reach past the first checks: some still parse.
  uint64_t stillParse = 0;
  for (uint64_t i = 0; i < mutations; ++i) {
    Bytes b = seeds[rng() % seeds.size()];
    Mutate(b, rng);
    packet_fuzz::Run(context_, b.data(), b.size());
    if (b.size() > 1 && (qoxSigParse(b.data() + 1, b.size() - 1, false, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr) == 0 ||
                         qoxKeyParse(context_, b.data() + 1, b.size() - 1, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, false) == 0))
      ++stillParse;
  }
  EXPECT_GT(stillParse, mutations / 100);
}

}  // namespace

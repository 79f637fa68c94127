// Passphrase quality scores.
#include "foundation/passphrase_quality.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PassphraseQuality, Scores) {
  // One byte of each of the eight classes: the full 256-byte alphabet.
  const std::string everyClass = std::string("\x01", 1) + "5:Z[z{\xC8";
  struct Case {
    std::string passphrase;
    uint32_t score;
    const char* why;
  } const cases[] = {
      {"", 0, "empty"},
      {"a", 3, "4 bits * 1 * 100 / 128"},
      {std::string(20, 'q'), 62, "20 lower-case letters"},
      {everyClass + everyClass.substr(0, 7), 93, "15 bytes of 8 bits"},
      {everyClass + everyClass, 100, "16 bytes of 8 bits reach the cap"},
      {std::string(33, 'q'), 100, "103 capped to 100"},
      {"Ab1", 11, "alphabet 26+26+10 = 62, 5 bits"},
      // Lengths whose 16-bit count or 16-bit score would wrap to a low value.
      {std::string(65536 + 10, 'q'), 100, "length wraps to 10 in 16 bits"},
      {std::string(20972, 'q'), 100, "score 65537 wraps to 1 in 16 bits"},
      {std::string(200000, 'q'), 100, "very long"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qoxEstimatePassphraseQuality(c.passphrase.c_str()), c.score) << c.why;
  }
  EXPECT_EQ(qoxEstimatePassphraseQuality(nullptr), 0u);
}

}  // namespace

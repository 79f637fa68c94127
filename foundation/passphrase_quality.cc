// Passphrase quality. The length and the score are kept in full width and
// the score is capped before it is narrowed, so a very long passphrase can
// never wrap around to a low score.
#include "foundation/passphrase_quality.h"

#include <cmath>
#include <cstring>

namespace {

struct ByteClass {
  unsigned low;
  unsigned high;
};

constexpr ByteClass kClasses[8] = {{0, 47},   {48, 57},   {58, 64},   {65, 90},
                                   {91, 96},  {97, 122},  {123, 127}, {128, 255}};

}  // namespace

uint32_t qoxEstimatePassphraseQuality(const char* passphrase) {
  if (passphrase == nullptr) return 0;
  uint64_t length = std::strlen(passphrase);
  bool used[8] = {};
  for (uint64_t i = 0; i < length; ++i) {
    unsigned b = static_cast<unsigned char>(passphrase[i]);
    for (int c = 0; c < 8; ++c) {
      if (b >= kClasses[c].low && b <= kClasses[c].high) {
        used[c] = true;
        break;
      }
    }
  }
  unsigned alphabet = 0;
  for (int c = 0; c < 8; ++c) {
    if (used[c]) alphabet += kClasses[c].high - kClasses[c].low + 1;
  }
  if (alphabet == 0) return 0;
  uint64_t bits = static_cast<uint64_t>(std::log2(static_cast<double>(alphabet)));
  // bits <= 8, so bits * length * 100 cannot overflow for any real length;
  // stop early anyway once the cap is certain.
  if (length > 128 * 100) return 100;
  uint64_t score = (bits * length * 100) >> 7;
  return score > 100 ? 100 : static_cast<uint32_t>(score);
}

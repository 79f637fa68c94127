// A rough estimate of a passphrase's strength, 0 to 100, for the passphrase
// dialogs.
//
// Thread safety: a pure function.
#ifndef OSTRAK_FOUNDATION_PASSPHRASE_QUALITY_H_
#define OSTRAK_FOUNDATION_PASSPHRASE_QUALITY_H_

#include <cstdint>

// bits = log2 of the size of the alphabet the passphrase draws from (the sum
// of the eight byte classes it touches), truncated; the score is
// bits * length * 100 / 128, capped at 100. Null or empty gives 0.
uint32_t qoxEstimatePassphraseQuality(const char* passphrase);

#endif  // OSTRAK_FOUNDATION_PASSPHRASE_QUALITY_H_

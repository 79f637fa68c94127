// SHA-1 (FIPS 180-1): running state, the three operations the hash registry
// calls, and direct access to the compression function for the random pool.
//
// The state is a plain block of 92 bytes that the registry allocates and
// copies byte for byte; words inside it are in the machine's native order.
// Nothing here allocates or keeps process-wide state; one state belongs to
// one caller at a time.
#ifndef OSTRAK_CRYPTO_SHA1_H_
#define OSTRAK_CRYPTO_SHA1_H_

#include <cstddef>
#include <cstdint>

struct SHA1State {
  uint8_t buffer[64];   // partly filled input block
  uint32_t chain[5];    // chaining words; the digest is written over them
  uint32_t countHi;     // bytes absorbed, high word
  uint32_t countLo;     // bytes absorbed, low word
};
static_assert(sizeof(SHA1State) == 92, "SHA-1 state layout is fixed at 92 bytes");

inline constexpr size_t kSHA1DigestSize = 20;

void qoxSHAInit(SHA1State* state);
void qoxSHAUpdate(SHA1State* state, const void* bytes, size_t length);
// Pads, finishes and writes the 20-byte digest (big-endian words) over the
// chaining words; returns a pointer to it inside the state.
const uint8_t* qoxSHAFinalize(SHA1State* state);

// One compression of a block already split into 16 (host-order) words, as
// the random pool uses it.
void qoxSHATransform(uint32_t chain[5], const uint32_t in[16]);

// Sets the chaining words from 20 big-endian bytes (the byte count is left
// as it is).
void shaLoadIV(SHA1State* state, const uint8_t iv[20]);
// Finishes exactly as qoxSHAFinalize does.
const uint8_t* shaDSAFinal(SHA1State* state);

#endif  // OSTRAK_CRYPTO_SHA1_H_

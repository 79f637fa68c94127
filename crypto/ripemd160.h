// RIPEMD-160: running state and the three operations the hash registry
// calls. The state is a plain 92-byte block (words in native order) that the
// registry allocates and copies byte for byte; one state, one caller.
#ifndef OSTRAK_CRYPTO_RIPEMD160_H_
#define OSTRAK_CRYPTO_RIPEMD160_H_

#include <cstddef>
#include <cstdint>

struct RMD160State {
  uint8_t buffer[64];   // partly filled input block
  uint32_t chain[5];    // chaining words; the digest is written over them
  uint32_t countHi;     // bytes absorbed, high word
  uint32_t countLo;     // bytes absorbed, low word
};
static_assert(sizeof(RMD160State) == 92, "RIPEMD-160 state layout is fixed at 92 bytes");

inline constexpr size_t kRMD160DigestSize = 20;

void rmd160Init(void* state);
void rmd160Update(void* state, const void* bytes, size_t length);
// Pads, finishes and writes the 20-byte digest (little-endian words) over the
// chaining words; returns a pointer to it inside the state.
const uint8_t* rmd160Final(void* state);

// One compression of a block already split into 16 (host-order) words.
void RMDcompress(uint32_t chain[5], const uint32_t in[16]);

#endif  // OSTRAK_CRYPTO_RIPEMD160_H_

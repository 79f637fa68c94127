// MD5 (RFC 1321): running state and the three operations the hash registry
// calls. The state is a plain 88-byte block (words in native order) that the
// registry allocates and copies byte for byte; one state, one caller.
#ifndef OSTRAK_CRYPTO_MD5_H_
#define OSTRAK_CRYPTO_MD5_H_

#include <cstddef>
#include <cstdint>

struct MD5State {
  uint8_t buffer[64];   // partly filled input block
  uint32_t chain[4];    // chaining words; the digest is written over them
  uint32_t countLo;     // bytes absorbed, low word
  uint32_t countHi;     // bytes absorbed, high word
};
static_assert(sizeof(MD5State) == 88, "MD5 state layout is fixed at 88 bytes");

inline constexpr size_t kMD5DigestSize = 16;

void MD5Init(void* state);
void MD5Update(void* state, const void* bytes, size_t length);
// Pads, finishes and writes the 16-byte digest (little-endian words) over the
// chaining words; returns a pointer to it inside the state.
const uint8_t* MD5Final(void* state);

// One compression of a block already split into 16 (host-order) words.
void qoxMD5Transform(uint32_t chain[4], const uint32_t in[16]);

#endif  // OSTRAK_CRYPTO_MD5_H_

// MD2 (RFC 1319): running state and the three operations the hash registry
// calls. The state is a plain 84-byte block that the registry allocates and
// copies byte for byte; one state, one caller. MD2 is slow by design (18
// passes over 48 bytes per 16-byte block) and kept for old signatures only.
#ifndef OSTRAK_CRYPTO_MD2_H_
#define OSTRAK_CRYPTO_MD2_H_

#include <cstddef>
#include <cstdint>

struct MD2State {
  uint8_t checksum[16];
  // Work block: bytes 0-15 the running state (the digest at the end),
  // 16-31 the current input block (filled as bytes arrive), 32-47 their XOR.
  uint8_t work[48];
  uint32_t count;  // bytes absorbed (its low four bits say how full the input block is)
  // Unused: the registry allocates and copies 84 bytes for an MD2 state.
  uint8_t reserved[16];
};
static_assert(sizeof(MD2State) == 84, "MD2 state layout is fixed at 84 bytes");

inline constexpr size_t kMD2DigestSize = 16;

void MD2Init(void* state);
void MD2Update(void* state, const void* bytes, size_t length);
// Pads, appends the checksum block and returns a pointer to the 16-byte
// digest, which is the first 16 bytes of the work block.
const uint8_t* MD2Final(void* state);

#endif  // OSTRAK_CRYPTO_MD2_H_

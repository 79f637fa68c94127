// SHA-1 compression and streaming. The 80 steps are fully unrolled with the
// five working variables rotating through the macro arguments, and the
// message schedule is kept as a 16-word ring, so no step moves data between
// variables.
#include "crypto/sha1.h"

#include <bit>
#include <cstring>

#include "crypto/hash_block.h"
#include "foundation/byte_order.h"

namespace {

constexpr uint32_t kIV[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                             0xC3D2E1F0u};

// Step helpers. `W` is the 16-word schedule ring; step i >= 16 first computes
// its word in place.
#define OSTRAK_SHA_W(i) \
  (W[(i)&15] = std::rotl(W[((i) + 13) & 15] ^ W[((i) + 8) & 15] ^ W[((i) + 2) & 15] ^ W[(i)&15], 1))
#define OSTRAK_SHA_STEP(a, b, c, d, e, f, k, w) \
  do {                                          \
    e += (w) + (k);                             \
    e += (f);                                   \
    e += std::rotl(a, 5);                       \
    b = std::rotl(b, 30);                       \
  } while (0)
#define OSTRAK_SHA_F1(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define OSTRAK_SHA_F2(b, c, d) ((b) ^ (c) ^ (d))
#define OSTRAK_SHA_F3(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

#define OSTRAK_SHA_R0(a, b, c, d, e, i) \
  OSTRAK_SHA_STEP(a, b, c, d, e, OSTRAK_SHA_F1(b, c, d), 0x5A827999u, (W[i] = load(i)))
#define OSTRAK_SHA_R1(a, b, c, d, e, i) OSTRAK_SHA_STEP(a, b, c, d, e, OSTRAK_SHA_F1(b, c, d), 0x5A827999u, OSTRAK_SHA_W(i))
#define OSTRAK_SHA_R2(a, b, c, d, e, i) OSTRAK_SHA_STEP(a, b, c, d, e, OSTRAK_SHA_F2(b, c, d), 0x6ED9EBA1u, OSTRAK_SHA_W(i))
#define OSTRAK_SHA_R3(a, b, c, d, e, i) OSTRAK_SHA_STEP(a, b, c, d, e, OSTRAK_SHA_F3(b, c, d), 0x8F1BBCDCu, OSTRAK_SHA_W(i))
#define OSTRAK_SHA_R4(a, b, c, d, e, i) OSTRAK_SHA_STEP(a, b, c, d, e, OSTRAK_SHA_F2(b, c, d), 0xCA62C1D6u, OSTRAK_SHA_W(i))

#define OSTRAK_SHA_FIVE(R, i)     \
  R(a, b, c, d, e, (i) + 0);      \
  R(e, a, b, c, d, (i) + 1);      \
  R(d, e, a, b, c, (i) + 2);      \
  R(c, d, e, a, b, (i) + 3);      \
  R(b, c, d, e, a, (i) + 4)

// Compresses one block whose 16 words `load(i)` supplies.
template <class Load>
inline void Compress(uint32_t chain[5], Load load) {
  // The first 16 steps take their words straight from the block, so each
  // byte swap sits beside its use instead of in a separate load loop.
  uint32_t W[16];
  uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3], e = chain[4];

  OSTRAK_SHA_FIVE(OSTRAK_SHA_R0, 0);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R0, 5);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R0, 10);
  OSTRAK_SHA_R0(a, b, c, d, e, 15);
  OSTRAK_SHA_R1(e, a, b, c, d, 16);
  OSTRAK_SHA_R1(d, e, a, b, c, 17);
  OSTRAK_SHA_R1(c, d, e, a, b, 18);
  OSTRAK_SHA_R1(b, c, d, e, a, 19);

  OSTRAK_SHA_FIVE(OSTRAK_SHA_R2, 20);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R2, 25);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R2, 30);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R2, 35);

  OSTRAK_SHA_FIVE(OSTRAK_SHA_R3, 40);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R3, 45);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R3, 50);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R3, 55);

  OSTRAK_SHA_FIVE(OSTRAK_SHA_R4, 60);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R4, 65);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R4, 70);
  OSTRAK_SHA_FIVE(OSTRAK_SHA_R4, 75);

  chain[0] += a;
  chain[1] += b;
  chain[2] += c;
  chain[3] += d;
  chain[4] += e;
}

#undef OSTRAK_SHA_FIVE
#undef OSTRAK_SHA_R0
#undef OSTRAK_SHA_R1
#undef OSTRAK_SHA_R2
#undef OSTRAK_SHA_R3
#undef OSTRAK_SHA_R4
#undef OSTRAK_SHA_F1
#undef OSTRAK_SHA_F2
#undef OSTRAK_SHA_F3
#undef OSTRAK_SHA_STEP
#undef OSTRAK_SHA_W

void CompressBytes(uint32_t* chain, const uint8_t* block) {
  Compress(chain, [block](int i) { return LoadBE32(block + 4 * i); });
}

}  // namespace

void qoxSHATransform(uint32_t chain[5], const uint32_t in[16]) {
  Compress(chain, [in](int i) { return in[i]; });
}

void qoxSHAInit(SHA1State* state) {
  std::memset(state->buffer, 0, sizeof state->buffer);
  std::memcpy(state->chain, kIV, sizeof kIV);
  state->countHi = 0;
  state->countLo = 0;
}

void qoxSHAUpdate(SHA1State* state, const void* bytes, size_t length) {
  ostrak::hashblock::Absorb<SHA1State, CompressBytes>(state, bytes, length);
}

const uint8_t* qoxSHAFinalize(SHA1State* state) {
  return ostrak::hashblock::Finish<SHA1State, CompressBytes, true>(state);
}

void shaLoadIV(SHA1State* state, const uint8_t iv[20]) {
  for (int i = 0; i < 5; ++i) state->chain[i] = LoadBE32(iv + 4 * i);
}

const uint8_t* shaDSAFinal(SHA1State* state) { return qoxSHAFinalize(state); }

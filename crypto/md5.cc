// MD5 compression and streaming. The 64 steps are unrolled with the four
// working variables rotating through the macro arguments; the round
// functions are written so that independent terms can be added early.
#include "crypto/md5.h"

#include <bit>
#include <cstring>

#include "crypto/hash_block.h"
#include "foundation/byte_order.h"

namespace {

#define OSTRAK_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define OSTRAK_MD5_G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define OSTRAK_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define OSTRAK_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define OSTRAK_MD5_STEP(f, a, b, c, d, w, t, s) \
  do {                                          \
    a += (w) + (t);                             \
    a += f(b, c, d);                            \
    a = std::rotl(a, s) + (b);                  \
  } while (0)

template <class Load>
inline void Compress(uint32_t chain[4], Load load) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = load(i);
  uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];

  OSTRAK_MD5_STEP(OSTRAK_MD5_F, a, b, c, d, x[0], 0xd76aa478u, 7);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, d, a, b, c, x[1], 0xe8c7b756u, 12);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, c, d, a, b, x[2], 0x242070dbu, 17);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, b, c, d, a, x[3], 0xc1bdceeeu, 22);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, a, b, c, d, x[4], 0xf57c0fafu, 7);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, d, a, b, c, x[5], 0x4787c62au, 12);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, c, d, a, b, x[6], 0xa8304613u, 17);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, b, c, d, a, x[7], 0xfd469501u, 22);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, a, b, c, d, x[8], 0x698098d8u, 7);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, d, a, b, c, x[9], 0x8b44f7afu, 12);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, c, d, a, b, x[10], 0xffff5bb1u, 17);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, b, c, d, a, x[11], 0x895cd7beu, 22);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, a, b, c, d, x[12], 0x6b901122u, 7);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, d, a, b, c, x[13], 0xfd987193u, 12);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, c, d, a, b, x[14], 0xa679438eu, 17);
  OSTRAK_MD5_STEP(OSTRAK_MD5_F, b, c, d, a, x[15], 0x49b40821u, 22);

  OSTRAK_MD5_STEP(OSTRAK_MD5_G, a, b, c, d, x[1], 0xf61e2562u, 5);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, d, a, b, c, x[6], 0xc040b340u, 9);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, c, d, a, b, x[11], 0x265e5a51u, 14);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, b, c, d, a, x[0], 0xe9b6c7aau, 20);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, a, b, c, d, x[5], 0xd62f105du, 5);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, d, a, b, c, x[10], 0x02441453u, 9);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, c, d, a, b, x[15], 0xd8a1e681u, 14);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, b, c, d, a, x[4], 0xe7d3fbc8u, 20);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, a, b, c, d, x[9], 0x21e1cde6u, 5);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, d, a, b, c, x[14], 0xc33707d6u, 9);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, c, d, a, b, x[3], 0xf4d50d87u, 14);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, b, c, d, a, x[8], 0x455a14edu, 20);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, a, b, c, d, x[13], 0xa9e3e905u, 5);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, d, a, b, c, x[2], 0xfcefa3f8u, 9);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, c, d, a, b, x[7], 0x676f02d9u, 14);
  OSTRAK_MD5_STEP(OSTRAK_MD5_G, b, c, d, a, x[12], 0x8d2a4c8au, 20);

  OSTRAK_MD5_STEP(OSTRAK_MD5_H, a, b, c, d, x[5], 0xfffa3942u, 4);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, d, a, b, c, x[8], 0x8771f681u, 11);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, c, d, a, b, x[11], 0x6d9d6122u, 16);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, b, c, d, a, x[14], 0xfde5380cu, 23);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, a, b, c, d, x[1], 0xa4beea44u, 4);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, d, a, b, c, x[4], 0x4bdecfa9u, 11);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, c, d, a, b, x[7], 0xf6bb4b60u, 16);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, b, c, d, a, x[10], 0xbebfbc70u, 23);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, a, b, c, d, x[13], 0x289b7ec6u, 4);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, d, a, b, c, x[0], 0xeaa127fau, 11);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, c, d, a, b, x[3], 0xd4ef3085u, 16);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, b, c, d, a, x[6], 0x04881d05u, 23);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, a, b, c, d, x[9], 0xd9d4d039u, 4);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, d, a, b, c, x[12], 0xe6db99e5u, 11);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, c, d, a, b, x[15], 0x1fa27cf8u, 16);
  OSTRAK_MD5_STEP(OSTRAK_MD5_H, b, c, d, a, x[2], 0xc4ac5665u, 23);

  OSTRAK_MD5_STEP(OSTRAK_MD5_I, a, b, c, d, x[0], 0xf4292244u, 6);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, d, a, b, c, x[7], 0x432aff97u, 10);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, c, d, a, b, x[14], 0xab9423a7u, 15);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, b, c, d, a, x[5], 0xfc93a039u, 21);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, a, b, c, d, x[12], 0x655b59c3u, 6);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, d, a, b, c, x[3], 0x8f0ccc92u, 10);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, c, d, a, b, x[10], 0xffeff47du, 15);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, b, c, d, a, x[1], 0x85845dd1u, 21);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, a, b, c, d, x[8], 0x6fa87e4fu, 6);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0u, 10);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, c, d, a, b, x[6], 0xa3014314u, 15);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, b, c, d, a, x[13], 0x4e0811a1u, 21);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, a, b, c, d, x[4], 0xf7537e82u, 6);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, d, a, b, c, x[11], 0xbd3af235u, 10);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, c, d, a, b, x[2], 0x2ad7d2bbu, 15);
  OSTRAK_MD5_STEP(OSTRAK_MD5_I, b, c, d, a, x[9], 0xeb86d391u, 21);

  chain[0] += a;
  chain[1] += b;
  chain[2] += c;
  chain[3] += d;
}

#undef OSTRAK_MD5_STEP
#undef OSTRAK_MD5_F
#undef OSTRAK_MD5_G
#undef OSTRAK_MD5_H
#undef OSTRAK_MD5_I

void CompressBytes(uint32_t* chain, const uint8_t* block) {
  Compress(chain, [block](int i) { return LoadLE32(block + 4 * i); });
}

}  // namespace

void qoxMD5Transform(uint32_t chain[4], const uint32_t in[16]) {
  Compress(chain, [in](int i) { return in[i]; });
}

void MD5Init(void* state_) {
  auto* state = static_cast<MD5State*>(state_);
  std::memset(state->buffer, 0, sizeof state->buffer);
  state->chain[0] = 0x67452301u;
  state->chain[1] = 0xefcdab89u;
  state->chain[2] = 0x98badcfeu;
  state->chain[3] = 0x10325476u;
  state->countLo = 0;
  state->countHi = 0;
}

void MD5Update(void* state, const void* bytes, size_t length) {
  ostrak::hashblock::Absorb<MD5State, CompressBytes>(static_cast<MD5State*>(state), bytes, length);
}

const uint8_t* MD5Final(void* state) {
  return ostrak::hashblock::Finish<MD5State, CompressBytes, false>(static_cast<MD5State*>(state));
}

// RIPEMD-160 compression and streaming. The two parallel lines of 80 steps
// are unrolled and interleaved step by step, which gives the processor two
// independent dependency chains to overlap.
#include "crypto/ripemd160.h"

#include <bit>
#include <cstring>

#include "crypto/hash_block.h"
#include "foundation/byte_order.h"

namespace {

#define F1(x, y, z) ((x) ^ (y) ^ (z))
#define F2(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define F3(x, y, z) (((x) | ~(y)) ^ (z))
#define F4(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define F5(x, y, z) ((x) ^ ((y) | ~(z)))
#define OSTRAK_RMD_STEP(f, a, b, c, d, e, w, k, s) \
  do {                                             \
    a += (w) + (k);                                \
    a += f(b, c, d);                               \
    a = std::rotl(a, s) + (e);                     \
    c = std::rotl(c, 10);                          \
  } while (0)

template <class Load>
inline void Compress(uint32_t chain[5], Load load) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = load(i);
  uint32_t al = chain[0], bl = chain[1], cl = chain[2], dl = chain[3], el = chain[4];
  uint32_t ar = al, br = bl, cr = cl, dr = dl, er = el;

  // Round 1.
  OSTRAK_RMD_STEP(F1, al, bl, cl, dl, el, x[0], 0, 11);
  OSTRAK_RMD_STEP(F5, ar, br, cr, dr, er, x[5], 0x50A28BE6u, 8);
  OSTRAK_RMD_STEP(F1, el, al, bl, cl, dl, x[1], 0, 14);
  OSTRAK_RMD_STEP(F5, er, ar, br, cr, dr, x[14], 0x50A28BE6u, 9);
  OSTRAK_RMD_STEP(F1, dl, el, al, bl, cl, x[2], 0, 15);
  OSTRAK_RMD_STEP(F5, dr, er, ar, br, cr, x[7], 0x50A28BE6u, 9);
  OSTRAK_RMD_STEP(F1, cl, dl, el, al, bl, x[3], 0, 12);
  OSTRAK_RMD_STEP(F5, cr, dr, er, ar, br, x[0], 0x50A28BE6u, 11);
  OSTRAK_RMD_STEP(F1, bl, cl, dl, el, al, x[4], 0, 5);
  OSTRAK_RMD_STEP(F5, br, cr, dr, er, ar, x[9], 0x50A28BE6u, 13);
  OSTRAK_RMD_STEP(F1, al, bl, cl, dl, el, x[5], 0, 8);
  OSTRAK_RMD_STEP(F5, ar, br, cr, dr, er, x[2], 0x50A28BE6u, 15);
  OSTRAK_RMD_STEP(F1, el, al, bl, cl, dl, x[6], 0, 7);
  OSTRAK_RMD_STEP(F5, er, ar, br, cr, dr, x[11], 0x50A28BE6u, 15);
  OSTRAK_RMD_STEP(F1, dl, el, al, bl, cl, x[7], 0, 9);
  OSTRAK_RMD_STEP(F5, dr, er, ar, br, cr, x[4], 0x50A28BE6u, 5);
  OSTRAK_RMD_STEP(F1, cl, dl, el, al, bl, x[8], 0, 11);
  OSTRAK_RMD_STEP(F5, cr, dr, er, ar, br, x[13], 0x50A28BE6u, 7);
  OSTRAK_RMD_STEP(F1, bl, cl, dl, el, al, x[9], 0, 13);
  OSTRAK_RMD_STEP(F5, br, cr, dr, er, ar, x[6], 0x50A28BE6u, 7);
  OSTRAK_RMD_STEP(F1, al, bl, cl, dl, el, x[10], 0, 14);
  OSTRAK_RMD_STEP(F5, ar, br, cr, dr, er, x[15], 0x50A28BE6u, 8);
  OSTRAK_RMD_STEP(F1, el, al, bl, cl, dl, x[11], 0, 15);
  OSTRAK_RMD_STEP(F5, er, ar, br, cr, dr, x[8], 0x50A28BE6u, 11);
  OSTRAK_RMD_STEP(F1, dl, el, al, bl, cl, x[12], 0, 6);
  OSTRAK_RMD_STEP(F5, dr, er, ar, br, cr, x[1], 0x50A28BE6u, 14);
  OSTRAK_RMD_STEP(F1, cl, dl, el, al, bl, x[13], 0, 7);
  OSTRAK_RMD_STEP(F5, cr, dr, er, ar, br, x[10], 0x50A28BE6u, 14);
  OSTRAK_RMD_STEP(F1, bl, cl, dl, el, al, x[14], 0, 9);
  OSTRAK_RMD_STEP(F5, br, cr, dr, er, ar, x[3], 0x50A28BE6u, 12);
  OSTRAK_RMD_STEP(F1, al, bl, cl, dl, el, x[15], 0, 8);
  OSTRAK_RMD_STEP(F5, ar, br, cr, dr, er, x[12], 0x50A28BE6u, 6);
  // Round 2.
  OSTRAK_RMD_STEP(F2, el, al, bl, cl, dl, x[7], 0x5A827999u, 7);
  OSTRAK_RMD_STEP(F4, er, ar, br, cr, dr, x[6], 0x5C4DD124u, 9);
  OSTRAK_RMD_STEP(F2, dl, el, al, bl, cl, x[4], 0x5A827999u, 6);
  OSTRAK_RMD_STEP(F4, dr, er, ar, br, cr, x[11], 0x5C4DD124u, 13);
  OSTRAK_RMD_STEP(F2, cl, dl, el, al, bl, x[13], 0x5A827999u, 8);
  OSTRAK_RMD_STEP(F4, cr, dr, er, ar, br, x[3], 0x5C4DD124u, 15);
  OSTRAK_RMD_STEP(F2, bl, cl, dl, el, al, x[1], 0x5A827999u, 13);
  OSTRAK_RMD_STEP(F4, br, cr, dr, er, ar, x[7], 0x5C4DD124u, 7);
  OSTRAK_RMD_STEP(F2, al, bl, cl, dl, el, x[10], 0x5A827999u, 11);
  OSTRAK_RMD_STEP(F4, ar, br, cr, dr, er, x[0], 0x5C4DD124u, 12);
  OSTRAK_RMD_STEP(F2, el, al, bl, cl, dl, x[6], 0x5A827999u, 9);
  OSTRAK_RMD_STEP(F4, er, ar, br, cr, dr, x[13], 0x5C4DD124u, 8);
  OSTRAK_RMD_STEP(F2, dl, el, al, bl, cl, x[15], 0x5A827999u, 7);
  OSTRAK_RMD_STEP(F4, dr, er, ar, br, cr, x[5], 0x5C4DD124u, 9);
  OSTRAK_RMD_STEP(F2, cl, dl, el, al, bl, x[3], 0x5A827999u, 15);
  OSTRAK_RMD_STEP(F4, cr, dr, er, ar, br, x[10], 0x5C4DD124u, 11);
  OSTRAK_RMD_STEP(F2, bl, cl, dl, el, al, x[12], 0x5A827999u, 7);
  OSTRAK_RMD_STEP(F4, br, cr, dr, er, ar, x[14], 0x5C4DD124u, 7);
  OSTRAK_RMD_STEP(F2, al, bl, cl, dl, el, x[0], 0x5A827999u, 12);
  OSTRAK_RMD_STEP(F4, ar, br, cr, dr, er, x[15], 0x5C4DD124u, 7);
  OSTRAK_RMD_STEP(F2, el, al, bl, cl, dl, x[9], 0x5A827999u, 15);
  OSTRAK_RMD_STEP(F4, er, ar, br, cr, dr, x[8], 0x5C4DD124u, 12);
  OSTRAK_RMD_STEP(F2, dl, el, al, bl, cl, x[5], 0x5A827999u, 9);
  OSTRAK_RMD_STEP(F4, dr, er, ar, br, cr, x[12], 0x5C4DD124u, 7);
  OSTRAK_RMD_STEP(F2, cl, dl, el, al, bl, x[2], 0x5A827999u, 11);
  OSTRAK_RMD_STEP(F4, cr, dr, er, ar, br, x[4], 0x5C4DD124u, 6);
  OSTRAK_RMD_STEP(F2, bl, cl, dl, el, al, x[14], 0x5A827999u, 7);
  OSTRAK_RMD_STEP(F4, br, cr, dr, er, ar, x[9], 0x5C4DD124u, 15);
  OSTRAK_RMD_STEP(F2, al, bl, cl, dl, el, x[11], 0x5A827999u, 13);
  OSTRAK_RMD_STEP(F4, ar, br, cr, dr, er, x[1], 0x5C4DD124u, 13);
  OSTRAK_RMD_STEP(F2, el, al, bl, cl, dl, x[8], 0x5A827999u, 12);
  OSTRAK_RMD_STEP(F4, er, ar, br, cr, dr, x[2], 0x5C4DD124u, 11);
  // Round 3.
  OSTRAK_RMD_STEP(F3, dl, el, al, bl, cl, x[3], 0x6ED9EBA1u, 11);
  OSTRAK_RMD_STEP(F3, dr, er, ar, br, cr, x[15], 0x6D703EF3u, 9);
  OSTRAK_RMD_STEP(F3, cl, dl, el, al, bl, x[10], 0x6ED9EBA1u, 13);
  OSTRAK_RMD_STEP(F3, cr, dr, er, ar, br, x[5], 0x6D703EF3u, 7);
  OSTRAK_RMD_STEP(F3, bl, cl, dl, el, al, x[14], 0x6ED9EBA1u, 6);
  OSTRAK_RMD_STEP(F3, br, cr, dr, er, ar, x[1], 0x6D703EF3u, 15);
  OSTRAK_RMD_STEP(F3, al, bl, cl, dl, el, x[4], 0x6ED9EBA1u, 7);
  OSTRAK_RMD_STEP(F3, ar, br, cr, dr, er, x[3], 0x6D703EF3u, 11);
  OSTRAK_RMD_STEP(F3, el, al, bl, cl, dl, x[9], 0x6ED9EBA1u, 14);
  OSTRAK_RMD_STEP(F3, er, ar, br, cr, dr, x[7], 0x6D703EF3u, 8);
  OSTRAK_RMD_STEP(F3, dl, el, al, bl, cl, x[15], 0x6ED9EBA1u, 9);
  OSTRAK_RMD_STEP(F3, dr, er, ar, br, cr, x[14], 0x6D703EF3u, 6);
  OSTRAK_RMD_STEP(F3, cl, dl, el, al, bl, x[8], 0x6ED9EBA1u, 13);
  OSTRAK_RMD_STEP(F3, cr, dr, er, ar, br, x[6], 0x6D703EF3u, 6);
  OSTRAK_RMD_STEP(F3, bl, cl, dl, el, al, x[1], 0x6ED9EBA1u, 15);
  OSTRAK_RMD_STEP(F3, br, cr, dr, er, ar, x[9], 0x6D703EF3u, 14);
  OSTRAK_RMD_STEP(F3, al, bl, cl, dl, el, x[2], 0x6ED9EBA1u, 14);
  OSTRAK_RMD_STEP(F3, ar, br, cr, dr, er, x[11], 0x6D703EF3u, 12);
  OSTRAK_RMD_STEP(F3, el, al, bl, cl, dl, x[7], 0x6ED9EBA1u, 8);
  OSTRAK_RMD_STEP(F3, er, ar, br, cr, dr, x[8], 0x6D703EF3u, 13);
  OSTRAK_RMD_STEP(F3, dl, el, al, bl, cl, x[0], 0x6ED9EBA1u, 13);
  OSTRAK_RMD_STEP(F3, dr, er, ar, br, cr, x[12], 0x6D703EF3u, 5);
  OSTRAK_RMD_STEP(F3, cl, dl, el, al, bl, x[6], 0x6ED9EBA1u, 6);
  OSTRAK_RMD_STEP(F3, cr, dr, er, ar, br, x[2], 0x6D703EF3u, 14);
  OSTRAK_RMD_STEP(F3, bl, cl, dl, el, al, x[13], 0x6ED9EBA1u, 5);
  OSTRAK_RMD_STEP(F3, br, cr, dr, er, ar, x[10], 0x6D703EF3u, 13);
  OSTRAK_RMD_STEP(F3, al, bl, cl, dl, el, x[11], 0x6ED9EBA1u, 12);
  OSTRAK_RMD_STEP(F3, ar, br, cr, dr, er, x[0], 0x6D703EF3u, 13);
  OSTRAK_RMD_STEP(F3, el, al, bl, cl, dl, x[5], 0x6ED9EBA1u, 7);
  OSTRAK_RMD_STEP(F3, er, ar, br, cr, dr, x[4], 0x6D703EF3u, 7);
  OSTRAK_RMD_STEP(F3, dl, el, al, bl, cl, x[12], 0x6ED9EBA1u, 5);
  OSTRAK_RMD_STEP(F3, dr, er, ar, br, cr, x[13], 0x6D703EF3u, 5);
  // Round 4.
  OSTRAK_RMD_STEP(F4, cl, dl, el, al, bl, x[1], 0x8F1BBCDCu, 11);
  OSTRAK_RMD_STEP(F2, cr, dr, er, ar, br, x[8], 0x7A6D76E9u, 15);
  OSTRAK_RMD_STEP(F4, bl, cl, dl, el, al, x[9], 0x8F1BBCDCu, 12);
  OSTRAK_RMD_STEP(F2, br, cr, dr, er, ar, x[6], 0x7A6D76E9u, 5);
  OSTRAK_RMD_STEP(F4, al, bl, cl, dl, el, x[11], 0x8F1BBCDCu, 14);
  OSTRAK_RMD_STEP(F2, ar, br, cr, dr, er, x[4], 0x7A6D76E9u, 8);
  OSTRAK_RMD_STEP(F4, el, al, bl, cl, dl, x[10], 0x8F1BBCDCu, 15);
  OSTRAK_RMD_STEP(F2, er, ar, br, cr, dr, x[1], 0x7A6D76E9u, 11);
  OSTRAK_RMD_STEP(F4, dl, el, al, bl, cl, x[0], 0x8F1BBCDCu, 14);
  OSTRAK_RMD_STEP(F2, dr, er, ar, br, cr, x[3], 0x7A6D76E9u, 14);
  OSTRAK_RMD_STEP(F4, cl, dl, el, al, bl, x[8], 0x8F1BBCDCu, 15);
  OSTRAK_RMD_STEP(F2, cr, dr, er, ar, br, x[11], 0x7A6D76E9u, 14);
  OSTRAK_RMD_STEP(F4, bl, cl, dl, el, al, x[12], 0x8F1BBCDCu, 9);
  OSTRAK_RMD_STEP(F2, br, cr, dr, er, ar, x[15], 0x7A6D76E9u, 6);
  OSTRAK_RMD_STEP(F4, al, bl, cl, dl, el, x[4], 0x8F1BBCDCu, 8);
  OSTRAK_RMD_STEP(F2, ar, br, cr, dr, er, x[0], 0x7A6D76E9u, 14);
  OSTRAK_RMD_STEP(F4, el, al, bl, cl, dl, x[13], 0x8F1BBCDCu, 9);
  OSTRAK_RMD_STEP(F2, er, ar, br, cr, dr, x[5], 0x7A6D76E9u, 6);
  OSTRAK_RMD_STEP(F4, dl, el, al, bl, cl, x[3], 0x8F1BBCDCu, 14);
  OSTRAK_RMD_STEP(F2, dr, er, ar, br, cr, x[12], 0x7A6D76E9u, 9);
  OSTRAK_RMD_STEP(F4, cl, dl, el, al, bl, x[7], 0x8F1BBCDCu, 5);
  OSTRAK_RMD_STEP(F2, cr, dr, er, ar, br, x[2], 0x7A6D76E9u, 12);
  OSTRAK_RMD_STEP(F4, bl, cl, dl, el, al, x[15], 0x8F1BBCDCu, 6);
  OSTRAK_RMD_STEP(F2, br, cr, dr, er, ar, x[13], 0x7A6D76E9u, 9);
  OSTRAK_RMD_STEP(F4, al, bl, cl, dl, el, x[14], 0x8F1BBCDCu, 8);
  OSTRAK_RMD_STEP(F2, ar, br, cr, dr, er, x[9], 0x7A6D76E9u, 12);
  OSTRAK_RMD_STEP(F4, el, al, bl, cl, dl, x[5], 0x8F1BBCDCu, 6);
  OSTRAK_RMD_STEP(F2, er, ar, br, cr, dr, x[7], 0x7A6D76E9u, 5);
  OSTRAK_RMD_STEP(F4, dl, el, al, bl, cl, x[6], 0x8F1BBCDCu, 5);
  OSTRAK_RMD_STEP(F2, dr, er, ar, br, cr, x[10], 0x7A6D76E9u, 15);
  OSTRAK_RMD_STEP(F4, cl, dl, el, al, bl, x[2], 0x8F1BBCDCu, 12);
  OSTRAK_RMD_STEP(F2, cr, dr, er, ar, br, x[14], 0x7A6D76E9u, 8);
  // Round 5.
  OSTRAK_RMD_STEP(F5, bl, cl, dl, el, al, x[4], 0xA953FD4Eu, 9);
  OSTRAK_RMD_STEP(F1, br, cr, dr, er, ar, x[12], 0, 8);
  OSTRAK_RMD_STEP(F5, al, bl, cl, dl, el, x[0], 0xA953FD4Eu, 15);
  OSTRAK_RMD_STEP(F1, ar, br, cr, dr, er, x[15], 0, 5);
  OSTRAK_RMD_STEP(F5, el, al, bl, cl, dl, x[5], 0xA953FD4Eu, 5);
  OSTRAK_RMD_STEP(F1, er, ar, br, cr, dr, x[10], 0, 12);
  OSTRAK_RMD_STEP(F5, dl, el, al, bl, cl, x[9], 0xA953FD4Eu, 11);
  OSTRAK_RMD_STEP(F1, dr, er, ar, br, cr, x[4], 0, 9);
  OSTRAK_RMD_STEP(F5, cl, dl, el, al, bl, x[7], 0xA953FD4Eu, 6);
  OSTRAK_RMD_STEP(F1, cr, dr, er, ar, br, x[1], 0, 12);
  OSTRAK_RMD_STEP(F5, bl, cl, dl, el, al, x[12], 0xA953FD4Eu, 8);
  OSTRAK_RMD_STEP(F1, br, cr, dr, er, ar, x[5], 0, 5);
  OSTRAK_RMD_STEP(F5, al, bl, cl, dl, el, x[2], 0xA953FD4Eu, 13);
  OSTRAK_RMD_STEP(F1, ar, br, cr, dr, er, x[8], 0, 14);
  OSTRAK_RMD_STEP(F5, el, al, bl, cl, dl, x[10], 0xA953FD4Eu, 12);
  OSTRAK_RMD_STEP(F1, er, ar, br, cr, dr, x[7], 0, 6);
  OSTRAK_RMD_STEP(F5, dl, el, al, bl, cl, x[14], 0xA953FD4Eu, 5);
  OSTRAK_RMD_STEP(F1, dr, er, ar, br, cr, x[6], 0, 8);
  OSTRAK_RMD_STEP(F5, cl, dl, el, al, bl, x[1], 0xA953FD4Eu, 12);
  OSTRAK_RMD_STEP(F1, cr, dr, er, ar, br, x[2], 0, 13);
  OSTRAK_RMD_STEP(F5, bl, cl, dl, el, al, x[3], 0xA953FD4Eu, 13);
  OSTRAK_RMD_STEP(F1, br, cr, dr, er, ar, x[13], 0, 6);
  OSTRAK_RMD_STEP(F5, al, bl, cl, dl, el, x[8], 0xA953FD4Eu, 14);
  OSTRAK_RMD_STEP(F1, ar, br, cr, dr, er, x[14], 0, 5);
  OSTRAK_RMD_STEP(F5, el, al, bl, cl, dl, x[11], 0xA953FD4Eu, 11);
  OSTRAK_RMD_STEP(F1, er, ar, br, cr, dr, x[0], 0, 15);
  OSTRAK_RMD_STEP(F5, dl, el, al, bl, cl, x[6], 0xA953FD4Eu, 8);
  OSTRAK_RMD_STEP(F1, dr, er, ar, br, cr, x[3], 0, 13);
  OSTRAK_RMD_STEP(F5, cl, dl, el, al, bl, x[15], 0xA953FD4Eu, 5);
  OSTRAK_RMD_STEP(F1, cr, dr, er, ar, br, x[9], 0, 11);
  OSTRAK_RMD_STEP(F5, bl, cl, dl, el, al, x[13], 0xA953FD4Eu, 6);
  OSTRAK_RMD_STEP(F1, br, cr, dr, er, ar, x[11], 0, 11);

  uint32_t t = chain[1] + cl + dr;
  chain[1] = chain[2] + dl + er;
  chain[2] = chain[3] + el + ar;
  chain[3] = chain[4] + al + br;
  chain[4] = chain[0] + bl + cr;
  chain[0] = t;
}

#undef OSTRAK_RMD_STEP
#undef F1
#undef F2
#undef F3
#undef F4
#undef F5

void CompressBytes(uint32_t* chain, const uint8_t* block) {
  Compress(chain, [block](int i) { return LoadLE32(block + 4 * i); });
}

}  // namespace

void RMDcompress(uint32_t chain[5], const uint32_t in[16]) {
  Compress(chain, [in](int i) { return in[i]; });
}

void rmd160Init(void* state_) {
  auto* state = static_cast<RMD160State*>(state_);
  std::memset(state->buffer, 0, sizeof state->buffer);
  state->chain[0] = 0x67452301u;
  state->chain[1] = 0xEFCDAB89u;
  state->chain[2] = 0x98BADCFEu;
  state->chain[3] = 0x10325476u;
  state->chain[4] = 0xC3D2E1F0u;
  state->countHi = 0;
  state->countLo = 0;
}

void rmd160Update(void* state, const void* bytes, size_t length) {
  ostrak::hashblock::Absorb<RMD160State, CompressBytes>(static_cast<RMD160State*>(state), bytes, length);
}

const uint8_t* rmd160Final(void* state) {
  return ostrak::hashblock::Finish<RMD160State, CompressBytes, false>(static_cast<RMD160State*>(state));
}

// IDEA (8 rounds and the output transformation) and the IDEA wash.
//
// Key state (105 bytes, 2-byte aligned): 52 subkeys of 16 bits and a form
// byte (17 encryption, 34 decryption). One core serves both directions; the
// schedule is inverted in place when the direction changes (inverting twice
// restores it). Blocks are four big-endian 16-bit words.
#include <cstring>

#include "crypto/block_ciphers.h"
#include "foundation/byte_order.h"

namespace {

constexpr int kSubkeys = 52;
constexpr int kFormOffset = 2 * kSubkeys;
static_assert(kFormOffset + 1 == kIDEAStateSize);

// Multiplication modulo 65537 where 0 stands for 65536.
inline uint16_t Mul(uint16_t a, uint16_t b) {
  if (a == 0) return static_cast<uint16_t>(1 - b);
  if (b == 0) return static_cast<uint16_t>(1 - a);
  uint32_t p = uint32_t{a} * b;
  uint16_t lo = static_cast<uint16_t>(p);
  uint16_t hi = static_cast<uint16_t>(p >> 16);
  return static_cast<uint16_t>(lo - hi + (lo < hi ? 1 : 0));
}

// Multiplicative inverse modulo 65537; 0 (65536) and 1 are their own.
uint16_t mulInv(uint16_t x) {
  if (x <= 1) return x;
  // x^(65537-2) by square and multiply.
  uint64_t result = 1, base = x, e = 65535;
  while (e) {
    if (e & 1) result = (result * base) % 65537;
    base = (base * base) % 65537;
    e >>= 1;
  }
  return static_cast<uint16_t>(result);
}

// The published schedule: successive 25-bit left rotations of the 128-bit
// key, eight subkeys per rotation.
void ExpandKey(const uint8_t* key, uint16_t* z) {
  uint64_t hi = 0, lo = 0;
  for (int i = 0; i < 8; ++i) {
    hi = (hi << 8) | key[i];
    lo = (lo << 8) | key[8 + i];
  }
  for (int i = 0; i < kSubkeys; ++i) {
    int w = i % 8;
    uint64_t half = w < 4 ? hi : lo;
    z[i] = static_cast<uint16_t>(half >> (48 - 16 * (w % 4)));
    if (w == 7) {
      uint64_t nhi = (hi << 25) | (lo >> 39);
      uint64_t nlo = (lo << 25) | (hi >> 39);
      hi = nhi;
      lo = nlo;
    }
  }
  hi = lo = 0;
}

// Turns an encryption schedule into the decryption one, or back.
void ideaInvertKey(uint16_t* z) {
  uint16_t d[kSubkeys];
  auto neg = [](uint16_t v) { return static_cast<uint16_t>(0 - v); };
  for (int r = 0; r <= 8; ++r) {
    const uint16_t* src = z + 48 - 6 * r;  // the transformation keys undone here
    uint16_t* dst = d + 6 * r;
    bool swap = r != 0 && r != 8;
    dst[0] = mulInv(src[0]);
    dst[1] = neg(swap ? src[2] : src[1]);
    dst[2] = neg(swap ? src[1] : src[2]);
    dst[3] = mulInv(src[3]);
    if (r < 8) {
      dst[4] = z[46 - 6 * r];
      dst[5] = z[47 - 6 * r];
    }
  }
  std::memcpy(z, d, sizeof d);
  WipeBytes(d, sizeof d);
}

void ideaCipher(const uint16_t* k, const uint8_t* in, uint8_t* out) {
  uint16_t x1 = LoadBE16(in), x2 = LoadBE16(in + 2), x3 = LoadBE16(in + 4), x4 = LoadBE16(in + 6);
  for (int r = 0; r < 8; ++r, k += 6) {
    x1 = Mul(x1, k[0]);
    x2 = static_cast<uint16_t>(x2 + k[1]);
    x3 = static_cast<uint16_t>(x3 + k[2]);
    x4 = Mul(x4, k[3]);
    uint16_t t0 = Mul(static_cast<uint16_t>(x1 ^ x3), k[4]);
    uint16_t t1 = Mul(static_cast<uint16_t>((x2 ^ x4) + t0), k[5]);
    uint16_t t2 = static_cast<uint16_t>(t0 + t1);
    uint16_t s2 = x2;
    x1 ^= t1;
    x4 ^= t2;
    x2 = static_cast<uint16_t>(x3 ^ t1);
    x3 = static_cast<uint16_t>(s2 ^ t2);
  }
  // The output transformation undoes the last round's swap.
  StoreBE16(out, Mul(x1, k[0]));
  StoreBE16(out + 2, static_cast<uint16_t>(x3 + k[1]));
  StoreBE16(out + 4, static_cast<uint16_t>(x2 + k[2]));
  StoreBE16(out + 6, Mul(x4, k[3]));
}

inline uint16_t* Subkeys(void* state) { return static_cast<uint16_t*>(state); }
inline uint8_t& Form(void* state) { return static_cast<uint8_t*>(state)[kFormOffset]; }

void SetForm(void* state, uint8_t form) {
  if (Form(state) == form) return;
  ideaInvertKey(Subkeys(state));
  Form(state) = form;
}

}  // namespace

void ideaKey(void* state, const uint8_t* key) {
  ExpandKey(key, Subkeys(state));
  Form(state) = kCipherFormEncrypt;
}

void ideaEncrypt(void* state, const uint8_t* in, uint8_t* out) {
  SetForm(state, kCipherFormEncrypt);
  ideaCipher(Subkeys(state), in, out);
}

void ideaDecrypt(void* state, const uint8_t* in, uint8_t* out) {
  SetForm(state, kCipherFormDecrypt);
  ideaCipher(Subkeys(state), in, out);
}

// The wash: tandem Davies-Meyer over IDEA (block_ciphers.h), the chaining
// value starting from the first eight stored subkeys (the key itself in
// encryption form); the final chaining value becomes the key.
void ideaWash(void* state, const uint8_t* bytes, size_t length) {
  uint8_t gh[16];
  const uint16_t* z = Subkeys(state);
  for (int i = 0; i < 8; ++i) StoreBE16(gh + 2 * i, z[i]);
  uint16_t sched[kSubkeys];
  TandemDaviesMeyer(gh, bytes, length, [&](const uint8_t* key, const uint8_t* in, uint8_t* out) {
    ExpandKey(key, sched);
    ideaCipher(sched, in, out);
  });
  ideaKey(state, gh);
  WipeBytes(gh, sizeof gh);
  WipeBytes(sched, sizeof sched);
}

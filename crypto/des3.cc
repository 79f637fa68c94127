// Triple-DES (EDE with three independent keys) and the Triple-DES wash.
//
// The round function uses combined S-box/permutation tables ("SP" tables):
// each table maps a 6-bit S-box input straight to its 32-bit contribution
// after the P permutation, so a round is eight lookups. The expansion E is
// done by two rotations of R: rotr(R,3) lines up the inputs of S-boxes 1, 3,
// 5 and 7 in the low six bits of each byte, rotl(R,1) those of S-boxes 2, 4,
// 6 and 8. The key schedule is "cooked" to match: each round key is two words
// holding the 6-bit chunks for those positions. The initial and final
// permutations are byte-indexed lookup tables, all built at compile time.
//
// Key state (409 bytes, 4-byte aligned):
//   0..383    three schedules of 32 words, in the order they are applied
//   384..407  the 24 key bytes
//   408       form byte: 0 not expanded, 17 encryption, 34 decryption
#include <array>
#include <cstring>

#include "crypto/block_ciphers.h"
#include "foundation/byte_order.h"

namespace {

constexpr uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                              23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Every S-box row is a permutation of 0..15: a typing slip shows here.
constexpr bool SBoxRowsArePermutations() {
  for (const auto& box : kS) {
    for (int row = 0; row < 4; ++row) {
      unsigned seen = 0;
      for (int col = 0; col < 16; ++col) seen |= 1u << box[row * 16 + col];
      if (seen != 0xffff) return false;
    }
  }
  return true;
}
static_assert(SBoxRowsArePermutations());

using SPTable = std::array<std::array<uint32_t, 64>, 8>;

// SP[j][x]: S-box j on the 6-bit input x (bit 5 first), placed at nibble j of
// the S-box output and sent through P.
constexpr SPTable BuildSP() {
  SPTable sp{};
  for (int j = 0; j < 8; ++j) {
    for (int x = 0; x < 64; ++x) {
      int row = ((x >> 4) & 2) | (x & 1);
      int col = (x >> 1) & 15;
      uint32_t pre = static_cast<uint32_t>(kS[j][row * 16 + col]) << (28 - 4 * j);
      uint32_t post = 0;
      for (int i = 0; i < 32; ++i) {
        if ((pre >> (32 - kP[i])) & 1) post |= 1u << (31 - i);
      }
      sp[j][x] = post;
    }
  }
  return sp;
}
constexpr SPTable kSP = BuildSP();

using PermTable = std::array<std::array<uint64_t, 256>, 8>;

// A 64-bit permutation (bit 1 = most significant) as eight byte-indexed
// tables: out = OR of table[b][byte b of the input].
constexpr PermTable BuildPerm(bool inverse) {
  uint8_t map[64] = {};  // map[out] = in, 0-indexed
  for (int i = 0; i < 64; ++i) {
    if (inverse) {
      map[kIP[i] - 1] = static_cast<uint8_t>(i);
    } else {
      map[i] = static_cast<uint8_t>(kIP[i] - 1);
    }
  }
  PermTable t{};
  for (int b = 0; b < 8; ++b) {
    for (int v = 0; v < 256; ++v) {
      uint64_t in = static_cast<uint64_t>(v) << (56 - 8 * b);
      uint64_t out = 0;
      for (int i = 0; i < 64; ++i) {
        if ((in >> (63 - map[i])) & 1) out |= uint64_t{1} << (63 - i);
      }
      t[b][v] = out;
    }
  }
  return t;
}
constexpr PermTable kIPTab = BuildPerm(false);
constexpr PermTable kFPTab = BuildPerm(true);

inline uint64_t Permute(const PermTable& t, uint64_t x) {
  uint64_t r = 0;
  for (int b = 0; b < 8; ++b) r |= t[b][(x >> (56 - 8 * b)) & 0xff];
  return r;
}

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

constexpr int kDecrypt = 1;

// One DES schedule from 8 key bytes: 16 rounds of two cooked words, in
// encryption order or reversed for decryption.
void deskey(const uint8_t* key, int direction, uint32_t* sched) {
  uint64_t k = LoadBE64(key);
  uint32_t c = 0, d = 0;
  for (int i = 0; i < 28; ++i) {
    c = (c << 1) | static_cast<uint32_t>((k >> (64 - kPC1[i])) & 1);
    d = (d << 1) | static_cast<uint32_t>((k >> (64 - kPC1[28 + i])) & 1);
  }
  for (int r = 0; r < 16; ++r) {
    for (int s = 0; s < kShifts[r]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0fffffff;
      d = ((d << 1) | (d >> 27)) & 0x0fffffff;
    }
    uint64_t cd = (static_cast<uint64_t>(c) << 28) | d;  // bit 1 at position 55
    uint8_t chunk[8] = {};
    for (int i = 0; i < 48; ++i) {
      uint8_t bit = static_cast<uint8_t>((cd >> (56 - kPC2[i])) & 1);
      chunk[i / 6] = static_cast<uint8_t>((chunk[i / 6] << 1) | bit);
    }
    uint32_t even = (uint32_t{chunk[0]} << 24) | (uint32_t{chunk[2]} << 16) |
                    (uint32_t{chunk[4]} << 8) | chunk[6];
    uint32_t odd = (uint32_t{chunk[1]} << 24) | (uint32_t{chunk[3]} << 16) |
                   (uint32_t{chunk[5]} << 8) | chunk[7];
    int slot = direction == kDecrypt ? 15 - r : r;
    sched[2 * slot] = even;
    sched[2 * slot + 1] = odd;
  }
  c = d = 0;
  k = 0;
}

inline uint32_t F(uint32_t r, const uint32_t* k) {
  uint32_t t0 = Rotr(r, 3) ^ k[0];
  uint32_t t1 = Rotl(r, 1) ^ k[1];
  return kSP[0][(t0 >> 24) & 63] ^ kSP[2][(t0 >> 16) & 63] ^ kSP[4][(t0 >> 8) & 63] ^
         kSP[6][t0 & 63] ^ kSP[1][(t1 >> 24) & 63] ^ kSP[3][(t1 >> 16) & 63] ^
         kSP[5][(t1 >> 8) & 63] ^ kSP[7][t1 & 63];
}

// Sixteen rounds on (l, r), ending with the halves swapped as the next DES
// (or the final permutation) expects them.
inline void Rounds(uint32_t& l, uint32_t& r, const uint32_t* k) {
  for (int i = 0; i < 16; i += 2) {
    l ^= F(r, k + 2 * i);
    r ^= F(l, k + 2 * i + 2);
  }
  uint32_t t = l;
  l = r;
  r = t;
}

// One block through `count` schedules in order, with one initial and one
// final permutation.
void des3DES(const uint32_t* sched, int count, const uint8_t* in, uint8_t* out) {
  uint64_t x = Permute(kIPTab, LoadBE64(in));
  uint32_t l = static_cast<uint32_t>(x >> 32);
  uint32_t r = static_cast<uint32_t>(x);
  for (int s = 0; s < count; ++s) Rounds(l, r, sched + 32 * s);
  StoreBE64(out, Permute(kFPTab, (static_cast<uint64_t>(l) << 32) | r));
}

// View of the 409-byte key state (the block is not padded to a struct size).
struct DES3State {
  uint32_t* sched;
  uint8_t* key;
  uint8_t& form;
};
static_assert(96 * 4 + 24 + 1 == kDES3StateSize);

DES3State View(void* p) {
  uint8_t* b = static_cast<uint8_t*>(p);
  return {static_cast<uint32_t*>(p), b + 384, b[408]};
}

void Expand(const DES3State* s, uint8_t form) {
  if (form == kCipherFormEncrypt) {
    deskey(s->key, 0, s->sched);
    deskey(s->key + 8, kDecrypt, s->sched + 32);
    deskey(s->key + 16, 0, s->sched + 64);
  } else {
    deskey(s->key + 16, kDecrypt, s->sched);
    deskey(s->key + 8, 0, s->sched + 32);
    deskey(s->key, kDecrypt, s->sched + 64);
  }
  s->form = form;
}

// Single DES on an 8-byte key: E or D.
void DesBlock(const uint8_t* key, int direction, const uint8_t* in, uint8_t* out) {
  uint32_t sched[32];
  deskey(key, direction, sched);
  des3DES(sched, 1, in, out);
  WipeBytes(sched, sizeof sched);
}

}  // namespace

void desEncryptBlock(const uint8_t* key, const uint8_t* in, uint8_t* out) {
  DesBlock(key, 0, in, out);
}

void desDecryptBlock(const uint8_t* key, const uint8_t* in, uint8_t* out) {
  DesBlock(key, kDecrypt, in, out);
}

void des3Key(void* state, const uint8_t* key) {
  DES3State v = View(state);
  const DES3State* s = &v;
  std::memcpy(s->key, key, 24);
  s->form = kCipherFormNone;
}

void des3Encrypt(void* state, const uint8_t* in, uint8_t* out) {
  DES3State v = View(state);
  const DES3State* s = &v;
  if (s->form != kCipherFormEncrypt) Expand(s, kCipherFormEncrypt);
  des3DES(s->sched, 3, in, out);
}

void des3Decrypt(void* state, const uint8_t* in, uint8_t* out) {
  DES3State v = View(state);
  const DES3State* s = &v;
  if (s->form != kCipherFormDecrypt) Expand(s, kCipherFormDecrypt);
  des3DES(s->sched, 3, in, out);
}

// Triple Davies-Meyer: the chaining value X | Y | Z is the present key; each
// 8-byte block m mixes into all three parts (E/D single DES, the rightmost
// operation first):
//   T1 = E_m(D_Y(E_Z(X)))    X ^= T1
//   T2 = E_T1(D_m(E_Z(Y)))   Y ^= T2
//   T3 = E_T1(D_T2(E_m(Z)))  Z ^= T3
void des3Wash(void* state, const uint8_t* bytes, size_t length) {
  DES3State v = View(state);
  const DES3State* s = &v;
  uint8_t x[8], y[8], z[8], t1[8], t2[8], t3[8];
  std::memcpy(x, s->key, 8);
  std::memcpy(y, s->key + 8, 8);
  std::memcpy(z, s->key + 16, 8);
  WashBlocks(bytes, length, [&](const uint8_t* m) {
    desEncryptBlock(z, x, t1);
    desDecryptBlock(y, t1, t1);
    desEncryptBlock(m, t1, t1);
    desEncryptBlock(z, y, t2);
    desDecryptBlock(m, t2, t2);
    desEncryptBlock(t1, t2, t2);
    desEncryptBlock(m, z, t3);
    desDecryptBlock(t2, t3, t3);
    desEncryptBlock(t1, t3, t3);
    for (int i = 0; i < 8; ++i) {
      x[i] ^= t1[i];
      y[i] ^= t2[i];
      z[i] ^= t3[i];
    }
  });
  std::memcpy(s->key, x, 8);
  std::memcpy(s->key + 8, y, 8);
  std::memcpy(s->key + 16, z, 8);
  Expand(s, kCipherFormEncrypt);
  WipeBytes(x, 8);
  WipeBytes(y, 8);
  WipeBytes(z, 8);
  WipeBytes(t1, 8);
  WipeBytes(t2, 8);
  WipeBytes(t3, 8);
}

// Twofish with a 256-bit key and 16 rounds, fully keyed S-boxes.
//
// The fixed permutations q0 and q1 are built at compile time from their
// published 4-bit tables, and so are the MDS column tables (BuildMDS); the
// key schedule (reKey) folds the key-dependent S-boxes and the MDS matrix into
// one table of 4 x 256 words, so the g function is four lookups. Key words and
// blocks are read least significant byte first.
//
// Of the published reference interface only the ECB single-block path is
// used: reKey, blockEncrypt and blockDecrypt (with BuildMDS and Xor256
// inside the key schedule). The text-key and IV entry points (makeKey,
// cipherInit), the round-count override (setRounds), the table-building
// control (TableOp) and the CBC and 1-bit CFB modes of blockEncrypt are not
// built: nothing calls them, and the system's own CBC and CFB live in
// crypto/cbc.h and crypto/cfb.h.
//
// Key state (4388 bytes, 4-byte aligned):
//   0     direction: 0 round subkeys in encryption order, 1 reversed
//   4     key length in bits (256)
//   8     round count (16)
//   12    eight key words
//   44    four S-box key words
//   60    40 round subkeys
//   220   the keyed S-box table, 4 x 256 words
//   4316  unused
#include <array>
#include <cstring>

#include "crypto/block_ciphers.h"
#include "foundation/byte_order.h"

namespace {

constexpr uint8_t kQT[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};

using ByteTable = std::array<uint8_t, 256>;

constexpr ByteTable BuildQ(int which) {
  ByteTable q{};
  const auto& t = kQT[which];
  auto ror4 = [](int x) { return ((x >> 1) | (x << 3)) & 15; };
  for (int x = 0; x < 256; ++x) {
    int a = x >> 4, b = x & 15;
    int a1 = a ^ b, b1 = (a ^ ror4(b) ^ (8 * a)) & 15;
    int a2 = t[0][a1], b2 = t[1][b1];
    int a3 = a2 ^ b2, b3 = (a2 ^ ror4(b2) ^ (8 * a2)) & 15;
    int a4 = t[2][a3], b4 = t[3][b3];
    q[x] = static_cast<uint8_t>(16 * b4 + a4);
  }
  return q;
}
constexpr ByteTable kQ0 = BuildQ(0);
constexpr ByteTable kQ1 = BuildQ(1);

constexpr uint8_t GfMul(uint8_t a, uint8_t b, unsigned poly) {
  unsigned r = 0, x = a;
  while (b) {
    if (b & 1) r ^= x;
    x <<= 1;
    if (x & 0x100) x ^= poly;
    b >>= 1;
  }
  return static_cast<uint8_t>(r);
}

constexpr unsigned kMDSPoly = 0x169;
constexpr unsigned kRSPoly = 0x14D;
constexpr uint8_t kMDS[4][4] = {
    {0x01, 0xEF, 0x5B, 0x5B}, {0x5B, 0xEF, 0xEF, 0x01}, {0xEF, 0x5B, 0x01, 0xEF}, {0xEF, 0x01, 0xEF, 0x5B}};
constexpr uint8_t kRS[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                               {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                               {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                               {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};

using MDSTable = std::array<std::array<uint32_t, 256>, 4>;

// mds[j][y]: column j of the MDS matrix times y, as a word (row 0 lowest).
constexpr MDSTable BuildMDS() {
  MDSTable m{};
  for (int j = 0; j < 4; ++j) {
    for (int y = 0; y < 256; ++y) {
      uint32_t w = 0;
      for (int i = 0; i < 4; ++i) {
        w |= uint32_t{GfMul(kMDS[i][j], static_cast<uint8_t>(y), kMDSPoly)} << (8 * i);
      }
      m[j][y] = w;
    }
  }
  return m;
}
constexpr MDSTable kMDSTab = BuildMDS();

inline uint8_t B(uint32_t w, int i) { return static_cast<uint8_t>(w >> (8 * i)); }
inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Ror(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// dst[i] = src[i] ^ b over a 256-entry byte table.
void Xor256(uint8_t* dst, const uint8_t* src, uint8_t b) {
  for (int i = 0; i < 256; ++i) dst[i] = src[i] ^ b;
}

// The S-box chain of h for a 256-bit key at byte position j; l holds the
// four key words L0..L3. The first layer is q (kFirstQ[j]) followed by a XOR
// with a byte of L3; ChainRest runs the layers after it.
constexpr const ByteTable* kFirstQ[4] = {&kQ1, &kQ0, &kQ0, &kQ1};

inline uint8_t ChainRest(int j, uint8_t y, const uint32_t* l) {
  switch (j) {
    case 0:
      y = kQ1[y] ^ B(l[2], 0);
      return kQ1[kQ0[kQ0[y] ^ B(l[1], 0)] ^ B(l[0], 0)];
    case 1:
      y = kQ1[y] ^ B(l[2], 1);
      return kQ0[kQ0[kQ1[y] ^ B(l[1], 1)] ^ B(l[0], 1)];
    case 2:
      y = kQ0[y] ^ B(l[2], 2);
      return kQ1[kQ1[kQ0[y] ^ B(l[1], 2)] ^ B(l[0], 2)];
    default:
      y = kQ0[y] ^ B(l[2], 3);
      return kQ0[kQ1[kQ1[y] ^ B(l[1], 3)] ^ B(l[0], 3)];
  }
}

inline uint8_t Chain(int j, uint8_t y, const uint32_t* l) {
  return ChainRest(j, (*kFirstQ[j])[y] ^ B(l[3], j), l);
}

uint32_t H(uint32_t x, const uint32_t* l) {
  uint32_t r = 0;
  for (int j = 0; j < 4; ++j) r ^= kMDSTab[j][Chain(j, B(x, j), l)];
  return r;
}

struct TwofishKey {
  uint32_t direction;
  uint32_t keyLen;
  uint32_t numRounds;
  uint32_t key32[8];
  uint32_t sboxKeys[4];
  uint32_t subKeys[40];
  uint32_t sBox8x32[4][256];
};
static_assert(sizeof(TwofishKey) <= kTwofishStateSize);

TwofishKey* Key(void* state) { return static_cast<TwofishKey*>(state); }

// Key schedule from the eight key words: round subkeys, S-box key words and
// the keyed S-box table.
void reKey(TwofishKey* k) {
  uint32_t even[4], odd[4];
  for (int i = 0; i < 4; ++i) {
    even[i] = k->key32[2 * i];
    odd[i] = k->key32[2 * i + 1];
  }
  // S-box keys: the RS code over each 8-byte half, stored in reverse order.
  for (int i = 0; i < 4; ++i) {
    uint8_t m[8];
    StoreLE32(m, k->key32[2 * i]);
    StoreLE32(m + 4, k->key32[2 * i + 1]);
    uint32_t s = 0;
    for (int r = 0; r < 4; ++r) {
      uint8_t acc = 0;
      for (int c = 0; c < 8; ++c) acc ^= GfMul(kRS[r][c], m[c], kRSPoly);
      s |= uint32_t{acc} << (8 * r);
    }
    k->sboxKeys[3 - i] = s;
    WipeBytes(m, sizeof m);
  }
  constexpr uint32_t kRho = 0x01010101;
  for (int i = 0; i < 20; ++i) {
    uint32_t a = H(2 * i * kRho, even);
    uint32_t b = Rol(H((2 * i + 1) * kRho, odd), 8);
    k->subKeys[2 * i] = a + b;
    k->subKeys[2 * i + 1] = Rol(a + 2 * b, 9);
  }
  uint8_t first[256];
  for (int j = 0; j < 4; ++j) {
    // The first layer for all 256 inputs at once, then the rest of the chain.
    Xor256(first, kFirstQ[j]->data(), B(k->sboxKeys[3], j));
    for (int x = 0; x < 256; ++x) {
      k->sBox8x32[j][x] = kMDSTab[j][ChainRest(j, first[x], k->sboxKeys)];
    }
  }
  k->direction = 0;
  WipeBytes(first, sizeof first);
  WipeBytes(even, sizeof even);
  WipeBytes(odd, sizeof odd);
}

inline uint32_t G(const TwofishKey* k, uint32_t x) {
  return k->sBox8x32[0][B(x, 0)] ^ k->sBox8x32[1][B(x, 1)] ^ k->sBox8x32[2][B(x, 2)] ^
         k->sBox8x32[3][B(x, 3)];
}

// Reverses the round subkeys (and swaps the whitening keys) so that the same
// forward walk serves decryption; doing it twice restores the order.
void ReverseSubkeys(TwofishKey* k) {
  uint32_t* s = k->subKeys;
  for (int i = 0; i < 4; ++i) {
    uint32_t t = s[i];
    s[i] = s[i + 4];
    s[i + 4] = t;
  }
  for (int i = 0; i < 8; ++i) {
    for (int w = 0; w < 2; ++w) {
      uint32_t t = s[8 + 2 * i + w];
      s[8 + 2 * i + w] = s[8 + 2 * (15 - i) + w];
      s[8 + 2 * (15 - i) + w] = t;
    }
  }
  k->direction ^= 1;
}

void blockEncrypt(const TwofishKey* k, const uint8_t* in, uint8_t* out) {
  const uint32_t* s = k->subKeys;
  uint32_t a = LoadLE32(in) ^ s[0], b = LoadLE32(in + 4) ^ s[1];
  uint32_t c = LoadLE32(in + 8) ^ s[2], d = LoadLE32(in + 12) ^ s[3];
  for (int r = 0; r < 16; r += 2) {
    uint32_t t0 = G(k, a), t1 = G(k, Rol(b, 8));
    c = Ror(c ^ (t0 + t1 + s[2 * r + 8]), 1);
    d = Rol(d, 1) ^ (t0 + 2 * t1 + s[2 * r + 9]);
    t0 = G(k, c);
    t1 = G(k, Rol(d, 8));
    a = Ror(a ^ (t0 + t1 + s[2 * r + 10]), 1);
    b = Rol(b, 1) ^ (t0 + 2 * t1 + s[2 * r + 11]);
  }
  StoreLE32(out, c ^ s[4]);
  StoreLE32(out + 4, d ^ s[5]);
  StoreLE32(out + 8, a ^ s[6]);
  StoreLE32(out + 12, b ^ s[7]);
}

// Expects the reversed subkey order.
void blockDecrypt(const TwofishKey* k, const uint8_t* in, uint8_t* out) {
  const uint32_t* s = k->subKeys;
  uint32_t c = LoadLE32(in) ^ s[0], d = LoadLE32(in + 4) ^ s[1];
  uint32_t a = LoadLE32(in + 8) ^ s[2], b = LoadLE32(in + 12) ^ s[3];
  for (int r = 0; r < 16; r += 2) {
    uint32_t t0 = G(k, c), t1 = G(k, Rol(d, 8));
    a = Rol(a, 1) ^ (t0 + t1 + s[2 * r + 8]);
    b = Ror(b ^ (t0 + 2 * t1 + s[2 * r + 9]), 1);
    t0 = G(k, a);
    t1 = G(k, Rol(b, 8));
    c = Rol(c, 1) ^ (t0 + t1 + s[2 * r + 10]);
    d = Ror(d ^ (t0 + 2 * t1 + s[2 * r + 11]), 1);
  }
  StoreLE32(out, a ^ s[4]);
  StoreLE32(out + 4, b ^ s[5]);
  StoreLE32(out + 8, c ^ s[6]);
  StoreLE32(out + 12, d ^ s[7]);
}

}  // namespace

void twof256Key(void* state, const uint8_t* key) {
  TwofishKey* k = Key(state);
  k->keyLen = 256;
  k->numRounds = 16;
  for (int i = 0; i < 8; ++i) k->key32[i] = LoadLE32(key + 4 * i);
  reKey(k);
}

void twof256Encrypt(void* state, const uint8_t* in, uint8_t* out) {
  TwofishKey* k = Key(state);
  if (k->direction != 0) ReverseSubkeys(k);
  blockEncrypt(k, in, out);
}

void twof256Decrypt(void* state, const uint8_t* in, uint8_t* out) {
  TwofishKey* k = Key(state);
  if (k->direction == 0) ReverseSubkeys(k);
  blockDecrypt(k, in, out);
}

// AES (FIPS-197) with 16-, 24- and 32-byte keys over lookup tables.
//
// Each round is sixteen lookups in four 256-word tables that combine SubBytes
// with the MixColumns multiples (Te0..Te3), and the same for decryption with
// InvSubBytes and InvMixColumns (Td0..Td3); the tables are built at compile
// time from the field arithmetic, so no table is typed in by hand.
// Decryption uses the equivalent inverse cipher: the round keys stay where
// they are and rounds 1..Nr-1 are converted in place by InvMixColumns the
// first time the state decrypts (and back by MixColumns when it encrypts
// again).
//
// Key state (4-byte aligned): byte 0 round count Nr (10, 12 or 14), byte 1
// form byte (17 / 34), bytes 2-3 zero, then the Nr + 1 round keys of four
// 32-bit words, each word one column with its first byte most significant.
// Keeping the round count inside the state lets the three key sizes share
// one encrypt and one decrypt operation.
#include <array>
#include <cstring>

#include "crypto/block_ciphers.h"
#include "foundation/byte_order.h"

namespace {

constexpr uint8_t XTime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}

constexpr uint8_t Mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return r;
}

struct Boxes {
  std::array<uint8_t, 256> s{};
  std::array<uint8_t, 256> inv{};
};

// The multiplicative inverse in GF(2^8), x^254 by square and multiply; 0
// for 0. (A search over every y would outrun the constant-evaluation limits
// of some compilers.)
constexpr uint8_t Inverse(uint8_t x) {
  uint8_t r = 1;
  for (int e = 254; e != 0; e >>= 1) {
    if (e & 1) r = Mul(r, x);
    x = Mul(x, x);
  }
  return r;
}

constexpr Boxes BuildBoxes() {
  Boxes b{};
  for (int x = 0; x < 256; ++x) {
    uint8_t v = Inverse(static_cast<uint8_t>(x));
    uint8_t r = v;
    for (int i = 1; i <= 4; ++i) {
      r ^= static_cast<uint8_t>((v << i) | (v >> (8 - i)));
    }
    r ^= 0x63;
    b.s[x] = r;
    b.inv[r] = static_cast<uint8_t>(x);
  }
  return b;
}
constexpr Boxes kBoxes = BuildBoxes();
static_assert(kBoxes.s[0x00] == 0x63 && kBoxes.s[0x53] == 0xed);

using Table = std::array<uint32_t, 256>;

constexpr uint32_t Word(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}
constexpr uint32_t Ror8(uint32_t x, int n) { return (x >> (8 * n)) | (x << (32 - 8 * n)); }

struct Tables {
  Table te[4];
  Table td[4];
};

constexpr Tables BuildTables() {
  Tables t{};
  for (int x = 0; x < 256; ++x) {
    uint8_t s = kBoxes.s[x];
    uint32_t e = Word(Mul(s, 2), s, s, Mul(s, 3));
    uint8_t i = kBoxes.inv[x];
    uint32_t d = Word(Mul(i, 14), Mul(i, 9), Mul(i, 13), Mul(i, 11));
    for (int n = 0; n < 4; ++n) {
      t.te[n][x] = n ? Ror8(e, n) : e;
      t.td[n][x] = n ? Ror8(d, n) : d;
    }
  }
  return t;
}
constexpr Tables kT = BuildTables();

inline uint8_t B(uint32_t w, int i) { return static_cast<uint8_t>(w >> (24 - 8 * i)); }

constexpr int kHeader = 4;

inline uint32_t* RoundKeys(void* state) {
  return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(state) + kHeader);
}

uint32_t SubWord(uint32_t w) {
  return Word(kBoxes.s[B(w, 0)], kBoxes.s[B(w, 1)], kBoxes.s[B(w, 2)], kBoxes.s[B(w, 3)]);
}

uint32_t MixColumn(uint32_t w) {
  uint8_t a0 = B(w, 0), a1 = B(w, 1), a2 = B(w, 2), a3 = B(w, 3);
  return Word(Mul(a0, 2) ^ Mul(a1, 3) ^ a2 ^ a3, a0 ^ Mul(a1, 2) ^ Mul(a2, 3) ^ a3,
              a0 ^ a1 ^ Mul(a2, 2) ^ Mul(a3, 3), Mul(a0, 3) ^ a1 ^ a2 ^ Mul(a3, 2));
}

uint32_t InvMixColumn(uint32_t w) {
  uint8_t a0 = B(w, 0), a1 = B(w, 1), a2 = B(w, 2), a3 = B(w, 3);
  return Word(Mul(a0, 14) ^ Mul(a1, 11) ^ Mul(a2, 13) ^ Mul(a3, 9),
              Mul(a0, 9) ^ Mul(a1, 14) ^ Mul(a2, 11) ^ Mul(a3, 13),
              Mul(a0, 13) ^ Mul(a1, 9) ^ Mul(a2, 14) ^ Mul(a3, 11),
              Mul(a0, 11) ^ Mul(a1, 13) ^ Mul(a2, 9) ^ Mul(a3, 14));
}

// The published key expansion for nk 32-bit key words.
void rijndaelKeySched(void* state, const uint8_t* key, int nk) {
  uint8_t* st = static_cast<uint8_t*>(state);
  int nr = nk + 6;
  st[0] = static_cast<uint8_t>(nr);
  st[1] = kCipherFormEncrypt;
  st[2] = st[3] = 0;
  uint32_t* w = RoundKeys(state);
  for (int i = 0; i < nk; ++i) w[i] = LoadBE32(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < 4 * (nr + 1); ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord((t << 8) | (t >> 24)) ^ (uint32_t{rcon} << 24);
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
}

void SetForm(void* state, uint8_t form) {
  uint8_t* st = static_cast<uint8_t*>(state);
  if (st[1] == form) return;
  int nr = st[0];
  uint32_t* w = RoundKeys(state);
  for (int i = 4; i < 4 * nr; ++i) {
    w[i] = form == kCipherFormDecrypt ? InvMixColumn(w[i]) : MixColumn(w[i]);
  }
  st[1] = form;
}

void rijndaelEncrypt(const uint32_t* rk, int nr, const uint8_t* in, uint8_t* out) {
  const Table& t0 = kT.te[0];
  const Table& t1 = kT.te[1];
  const Table& t2 = kT.te[2];
  const Table& t3 = kT.te[3];
  uint32_t s0 = LoadBE32(in) ^ rk[0];
  uint32_t s1 = LoadBE32(in + 4) ^ rk[1];
  uint32_t s2 = LoadBE32(in + 8) ^ rk[2];
  uint32_t s3 = LoadBE32(in + 12) ^ rk[3];
  for (int r = 1; r < nr; ++r) {
    rk += 4;
    uint32_t u0 = t0[s0 >> 24] ^ t1[(s1 >> 16) & 0xff] ^ t2[(s2 >> 8) & 0xff] ^ t3[s3 & 0xff] ^ rk[0];
    uint32_t u1 = t0[s1 >> 24] ^ t1[(s2 >> 16) & 0xff] ^ t2[(s3 >> 8) & 0xff] ^ t3[s0 & 0xff] ^ rk[1];
    uint32_t u2 = t0[s2 >> 24] ^ t1[(s3 >> 16) & 0xff] ^ t2[(s0 >> 8) & 0xff] ^ t3[s1 & 0xff] ^ rk[2];
    uint32_t u3 = t0[s3 >> 24] ^ t1[(s0 >> 16) & 0xff] ^ t2[(s1 >> 8) & 0xff] ^ t3[s2 & 0xff] ^ rk[3];
    s0 = u0;
    s1 = u1;
    s2 = u2;
    s3 = u3;
  }
  rk += 4;
  const auto& s = kBoxes.s;
  StoreBE32(out, Word(s[s0 >> 24], s[(s1 >> 16) & 0xff], s[(s2 >> 8) & 0xff], s[s3 & 0xff]) ^ rk[0]);
  StoreBE32(out + 4, Word(s[s1 >> 24], s[(s2 >> 16) & 0xff], s[(s3 >> 8) & 0xff], s[s0 & 0xff]) ^ rk[1]);
  StoreBE32(out + 8, Word(s[s2 >> 24], s[(s3 >> 16) & 0xff], s[(s0 >> 8) & 0xff], s[s1 & 0xff]) ^ rk[2]);
  StoreBE32(out + 12, Word(s[s3 >> 24], s[(s0 >> 16) & 0xff], s[(s1 >> 8) & 0xff], s[s2 & 0xff]) ^ rk[3]);
}

// The equivalent inverse cipher; rk points at the last round key and walks
// down.
void rijndaelDecrypt(const uint32_t* rk, int nr, const uint8_t* in, uint8_t* out) {
  const Table& t0 = kT.td[0];
  const Table& t1 = kT.td[1];
  const Table& t2 = kT.td[2];
  const Table& t3 = kT.td[3];
  rk += 4 * nr;
  uint32_t s0 = LoadBE32(in) ^ rk[0];
  uint32_t s1 = LoadBE32(in + 4) ^ rk[1];
  uint32_t s2 = LoadBE32(in + 8) ^ rk[2];
  uint32_t s3 = LoadBE32(in + 12) ^ rk[3];
  for (int r = 1; r < nr; ++r) {
    rk -= 4;
    uint32_t u0 = t0[s0 >> 24] ^ t1[(s3 >> 16) & 0xff] ^ t2[(s2 >> 8) & 0xff] ^ t3[s1 & 0xff] ^ rk[0];
    uint32_t u1 = t0[s1 >> 24] ^ t1[(s0 >> 16) & 0xff] ^ t2[(s3 >> 8) & 0xff] ^ t3[s2 & 0xff] ^ rk[1];
    uint32_t u2 = t0[s2 >> 24] ^ t1[(s1 >> 16) & 0xff] ^ t2[(s0 >> 8) & 0xff] ^ t3[s3 & 0xff] ^ rk[2];
    uint32_t u3 = t0[s3 >> 24] ^ t1[(s2 >> 16) & 0xff] ^ t2[(s1 >> 8) & 0xff] ^ t3[s0 & 0xff] ^ rk[3];
    s0 = u0;
    s1 = u1;
    s2 = u2;
    s3 = u3;
  }
  rk -= 4;
  const auto& v = kBoxes.inv;
  StoreBE32(out, Word(v[s0 >> 24], v[(s3 >> 16) & 0xff], v[(s2 >> 8) & 0xff], v[s1 & 0xff]) ^ rk[0]);
  StoreBE32(out + 4, Word(v[s1 >> 24], v[(s0 >> 16) & 0xff], v[(s3 >> 8) & 0xff], v[s2 & 0xff]) ^ rk[1]);
  StoreBE32(out + 8, Word(v[s2 >> 24], v[(s1 >> 16) & 0xff], v[(s0 >> 8) & 0xff], v[s3 & 0xff]) ^ rk[2]);
  StoreBE32(out + 12, Word(v[s3 >> 24], v[(s2 >> 16) & 0xff], v[(s1 >> 8) & 0xff], v[s0 & 0xff]) ^ rk[3]);
}

}  // namespace

static_assert(kHeader + 16 * 11 == kAES128StateSize);
static_assert(kHeader + 16 * 13 == kAES192StateSize);
static_assert(kHeader + 16 * 15 == kAES256StateSize);

void aes128Key(void* state, const uint8_t* key) { rijndaelKeySched(state, key, 4); }
void aes192Key(void* state, const uint8_t* key) { rijndaelKeySched(state, key, 6); }
void aes256Key(void* state, const uint8_t* key) { rijndaelKeySched(state, key, 8); }

void aesEncrypt(void* state, const uint8_t* in, uint8_t* out) {
  SetForm(state, kCipherFormEncrypt);
  rijndaelEncrypt(RoundKeys(state), static_cast<uint8_t*>(state)[0], in, out);
}

void aesDecrypt(void* state, const uint8_t* in, uint8_t* out) {
  SetForm(state, kCipherFormDecrypt);
  rijndaelDecrypt(RoundKeys(state), static_cast<uint8_t*>(state)[0], in, out);
}

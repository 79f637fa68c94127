// Modular exponentiation over the Montgomery kernels (crypto/bn_mont.h):
// sliding windows for exponents that are not secret, fixed windows read
// through the whole table for secret ones, the two-base and base-2 forms,
// and the RSA private operation by the Chinese remainder theorem.
//
// Each call takes one block from its allocator for everything it keeps
// (the kernel's modulus and scratch, R^2 mod m, the power table, the
// accumulator) and gives it back wiped. The result is written once, at the
// end, so it may overlay any operand.
#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "crypto/bn32.h"
#include "crypto/bn_mont.h"

namespace {

using bnmont::Kernel;
using bnmont::Slot;

// The kernel for a modulus of n words: the one in force, or the portable
// kernel when that one does not take moduli so long.
const Kernel* kernelFor(unsigned n) {
  const Kernel* k = bnmont::currentKernel();
  return k->slots(n) ? k : &bnmont::kPortable;
}

// Arithmetic modulo one modulus inside memory the caller owns: the
// kernel's modulus and scratch, R^2 mod m, two values of its own and
// `values` values for its caller, and the room for the division that finds
// R^2 mod m.
class MontSpace {
 public:
  static size_t slotsNeeded(const Kernel* k, unsigned n, unsigned values) {
    const size_t s = k->slots(n);
    return s * (4 + values) + k->scratchSlots(static_cast<unsigned>(s)) + divWords(k, n, s) / 2 + 1;
  }

  // Sets up over mem (slotsNeeded slots) for the odd modulus m of n words
  // (top word nonzero).
  void init(const Kernel* k, const BNWORD32* m, unsigned n, Slot* mem, unsigned values) {
    c_.kernel = k;
    c_.words = n;
    const unsigned s = k->slots(n);
    Slot* mstore = mem;
    rr_ = mem + s;
    t1_ = mem + 2 * s;
    t2_ = mem + 3 * s;
    c_.scratch = mem + 4 * s;
    values_ = c_.scratch + k->scratchSlots(s);
    k->init(&c_, mstore, m);
    // R^2 mod m: 2^(rbits + rbits/4) mod m by division, then two squarings,
    // each of which doubles the excess over rbits.
    BNWORD32* num = reinterpret_cast<BNWORD32*>(values_ + static_cast<size_t>(s) * values);
    const unsigned top = c_.rbits + c_.rbits / 4;
    const unsigned nw = top / 32 + 1;
    BNWORD32* mcopy = num + nw;
    BNWORD32* quot = mcopy + n;
    bniZero_32(num, nw);
    num[top / 32] = BNWORD32{1} << (top % 32);
    bniCopy_32(mcopy, m, n);
    bniDiv_32(quot, num, nw, mcopy, n);
    bnmont::load(rr_, s, k->digitBits, num, n);
    c_.sqr(rr_, rr_, c_);
    c_.sqr(rr_, rr_, c_);
  }

  unsigned slots() const { return c_.slots; }
  // Whether this space and o can take their products in pairs (mul2).
  bool pairs(const MontSpace& o) const {
    return c_.mul2 && c_.kernel == o.c_.kernel && c_.slots == o.c_.slots && c_.rbits == o.c_.rbits;
  }
  // r1 = a1 b1 / R in s1 and r2 = a2 b2 / R in s2, for spaces that pair.
  static void mul2(const MontSpace& s1, Slot* r1, const Slot* a1, const Slot* b1,
                   const MontSpace& s2, Slot* r2, const Slot* a2, const Slot* b2) {
    s1.c_.mul2(r1, a1, b1, s1.c_, r2, a2, b2, s2.c_);
  }
  Slot* value(unsigned i) const { return values_ + static_cast<size_t>(c_.slots) * i; }

  void mul(Slot* r, const Slot* a, const Slot* b) const { c_.mul(r, a, b, c_); }
  void sqr(Slot* r, const Slot* a) const { c_.sqr(r, a, c_); }
  void dbl(Slot* r) const { c_.kernel->dbl(r, c_); }
  void select(Slot* dst, const Slot* table, unsigned count, unsigned idx) const {
    c_.kernel->select(dst, table, count, c_.slots, idx);
  }

  // r = x R mod m for x (xlen words) below m.
  void toMont(Slot* r, const BNWORD32* x, unsigned xlen) const {
    bnmont::load(r, c_.slots, c_.kernel->digitBits, x, xlen);
    mul(r, r, rr_);
  }
  // R mod m, the Montgomery form of 1.
  void one(Slot* r) const {
    const BNWORD32 w = 1;
    toMont(r, &w, 1);
  }
  // out (n words) = x / R mod m.
  void fromMont(BNWORD32* out, const Slot* x) const {
    const BNWORD32 w = 1;
    bnmont::load(t1_, c_.slots, c_.kernel->digitBits, &w, 1);
    mul(t1_, x, t1_);
    c_.kernel->canon(t1_, c_);
    bnmont::store(out, c_.words, t1_, c_.slots, c_.kernel->digitBits);
  }
  // out (n words) = a b mod m for plain a, b (alen, blen words) below m.
  void mulPlain(BNWORD32* out, const BNWORD32* a, unsigned alen, const BNWORD32* b,
                unsigned blen) const {
    bnmont::load(t1_, c_.slots, c_.kernel->digitBits, a, alen);
    bnmont::load(t2_, c_.slots, c_.kernel->digitBits, b, blen);
    mul(t1_, t1_, t2_);
    mul(t1_, t1_, rr_);
    c_.kernel->canon(t1_, c_);
    bnmont::store(out, c_.words, t1_, c_.slots, c_.kernel->digitBits);
  }

 private:
  // Words of the division that finds R^2 mod m: dividend, divisor copy,
  // quotient.
  static size_t divWords(const Kernel* k, unsigned n, size_t s) {
    const size_t rbits = s * k->digitBits;  // at least the kernel's rbits
    const size_t nw = (rbits + rbits / 4) / 32 + 1;
    return nw + n + nw;
  }

  bnmont::Ctx c_{};
  Slot* rr_ = nullptr;
  Slot* t1_ = nullptr;
  Slot* t2_ = nullptr;
  Slot* values_ = nullptr;
};

// One block from the allocator, aligned to 64 bytes inside; given back
// (wiped by the allocator) when the scope closes.
class Block {
 public:
  explicit Block(const BniAllocator& al) : al_(al) {}
  ~Block() {
    if (raw_) al_.free(al_.ctx, raw_, bytes_);
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  // slots 64-bit slots, or null when they cannot be had.
  Slot* take(size_t slots) {
    const size_t bytes = slots * sizeof(Slot) + 64;
    if (slots > (UINT_MAX - 64) / sizeof(Slot)) return nullptr;
    raw_ = al_.alloc(al_.ctx, static_cast<unsigned>(bytes));
    if (!raw_) return nullptr;
    bytes_ = static_cast<unsigned>(bytes);
    auto at = reinterpret_cast<uintptr_t>(raw_);
    return reinterpret_cast<Slot*>((at + 63) & ~uintptr_t{63});
  }

 private:
  BniAllocator al_;
  void* raw_ = nullptr;
  unsigned bytes_ = 0;
};

// r = 1 mod m; r may be m.
void setOneModM(BNWORD32* r, const BNWORD32* m, unsigned n) {
  const bool modOne = n == 1 && m[0] == 1;
  bniZero_32(r, n);
  if (!modOne) r[0] = 1;
}

inline unsigned expBit(const BNWORD32* e, unsigned i) { return (e[i / 32] >> (i % 32)) & 1; }

// Left-to-right sliding windows over one exponent. At each bit position the
// caller asks whether a window ends there, and which odd power it needs.
class WindowScanner {
 public:
  WindowScanner(const BNWORD32* e, unsigned w) : e_(e), w_(w) {}
  // Call for positions from the top bit down; returns the table index of a
  // window ending at pos, or -1.
  int at(unsigned pos) {
    if (end_ < 0 && expBit(e_, pos)) {
      unsigned j = pos >= w_ ? pos - w_ : 0;
      while (!expBit(e_, j)) j++;
      unsigned v = 0;
      for (unsigned i = pos + 1; i-- > j;) v = (v << 1) | expBit(e_, i);
      end_ = static_cast<int>(j);
      idx_ = static_cast<int>(v >> 1);
    }
    if (end_ == static_cast<int>(pos)) {
      end_ = -1;
      return idx_;
    }
    return -1;
  }

 private:
  const BNWORD32* e_;
  unsigned w_;
  int end_ = -1;
  int idx_ = 0;
};

// Table of odd powers g, g^3, ..., in Montgomery form, from g in entry 0;
// sq is a value to work in.
void fillOddPowers(const MontSpace& s, Slot* const* table, unsigned count, Slot* sq) {
  if (count < 2) return;
  s.sqr(sq, table[0]);
  for (unsigned i = 1; i < count; i++) s.mul(table[i], table[i - 1], sq);
}

// Bits pos .. pos + k - 1 of e (elen words; zeros above).
inline unsigned windowAt(const BNWORD32* e, unsigned elen, unsigned pos, unsigned k) {
  const unsigned wi = pos / 32;
  uint64_t v = wi < elen ? e[wi] : 0;
  if (wi + 1 < elen) v |= static_cast<uint64_t>(e[wi + 1]) << 32;
  return static_cast<unsigned>(v >> (pos % 32)) & ((1u << k) - 1);
}

// base^exp mod m over fixed windows of k bits, in a space that holds 2^k + 2
// values: the table (entry j = g^j), the accumulator and the selected entry.
void fixedExp(const MontSpace& s, unsigned k, BNWORD32* result, const BNWORD32* base,
              unsigned blen, const BNWORD32* exp, unsigned elen) {
  const unsigned count = 1u << k, slots = s.slots();
  Slot* table = s.value(0);
  Slot* acc = s.value(count);
  Slot* sel = s.value(count + 1);
  s.one(table);
  s.toMont(table + slots, base, blen);
  for (unsigned j = 2; j < count; j++)
    s.mul(table + static_cast<size_t>(j) * slots, table + static_cast<size_t>(j - 1) * slots,
          table + slots);
  const unsigned windows = (32 * elen + k - 1) / k;
  s.select(acc, table, count, windowAt(exp, elen, (windows - 1) * k, k));
  for (unsigned w = windows - 1; w-- > 0;) {
    for (unsigned i = 0; i < k; i++) s.sqr(acc, acc);
    s.select(sel, table, count, windowAt(exp, elen, w * k, k));
    s.mul(acc, acc, sel);
  }
  s.fromMont(result, acc);
}

// fixedExp in two spaces that pair, in lockstep: the same window width and
// exponent length, every product of the one taken together with the
// matching product of the other.
void fixedExp2(const MontSpace& s1, const MontSpace& s2, unsigned k, unsigned elen,
               BNWORD32* result1, const BNWORD32* base1, unsigned blen1, const BNWORD32* exp1,
               BNWORD32* result2, const BNWORD32* base2, unsigned blen2, const BNWORD32* exp2) {
  const unsigned count = 1u << k, slots = s1.slots();
  Slot* t1 = s1.value(0);
  Slot* acc1 = s1.value(count);
  Slot* sel1 = s1.value(count + 1);
  Slot* t2 = s2.value(0);
  Slot* acc2 = s2.value(count);
  Slot* sel2 = s2.value(count + 1);
  s1.one(t1);
  s2.one(t2);
  s1.toMont(t1 + slots, base1, blen1);
  s2.toMont(t2 + slots, base2, blen2);
  for (unsigned j = 2; j < count; j++) {
    const size_t at = static_cast<size_t>(j) * slots, before = at - slots;
    MontSpace::mul2(s1, t1 + at, t1 + before, t1 + slots, s2, t2 + at, t2 + before, t2 + slots);
  }
  const unsigned windows = (32 * elen + k - 1) / k;
  s1.select(acc1, t1, count, windowAt(exp1, elen, (windows - 1) * k, k));
  s2.select(acc2, t2, count, windowAt(exp2, elen, (windows - 1) * k, k));
  for (unsigned w = windows - 1; w-- > 0;) {
    for (unsigned i = 0; i < k; i++) MontSpace::mul2(s1, acc1, acc1, acc1, s2, acc2, acc2, acc2);
    s1.select(sel1, t1, count, windowAt(exp1, elen, w * k, k));
    s2.select(sel2, t2, count, windowAt(exp2, elen, w * k, k));
    MontSpace::mul2(s1, acc1, acc1, sel1, s2, acc2, acc2, sel2);
  }
  s1.fromMont(result1, acc1);
  s2.fromMont(result2, acc2);
}

}  // namespace

unsigned bniExpModWindow_32(unsigned expBits) {
  unsigned i = 0;
  while (expBits > bnExpModThreshTable[i]) i++;
  return i;
}

// The width that costs least: 2^k table products against one product per
// window, with the pass over the table growing with 2^k as well.
unsigned bniExpModFixedWindow_32(unsigned expBits) {
  if (expBits <= 64) return 3;
  if (expBits <= 384) return 4;
  if (expBits <= 1536) return 5;
  return 6;
}

int bniExpMod_32(BNWORD32* result, const BNWORD32* base, unsigned blen, const BNWORD32* exp,
                 unsigned elen, const BNWORD32* m, unsigned n, const BniAllocator& al) {
  const unsigned ebits = bniBits_32(exp, elen);
  if (ebits == 0) {
    setOneModM(result, m, n);
    return 0;
  }
  blen = bniNorm_32(base, blen);
  if (ebits == 1) {
    bniCopy_32(result, base, blen);
    bniZero_32(result + blen, n - blen);
    return 0;
  }
  const Kernel* k = kernelFor(n);
  Block block(al);
  Slot* mem = nullptr;
  unsigned w = bniExpModWindow_32(ebits);
  // A table that cannot be had shrinks the window, down to one entry.
  for (;;) {
    mem = block.take(MontSpace::slotsNeeded(k, n, (1u << w) + 2));
    if (mem || w == 0) break;
    w--;
  }
  if (!mem) return -1;
  MontSpace s;
  s.init(k, m, n, mem, (1u << w) + 2);
  const unsigned count = 1u << w;
  Slot* table[64];
  for (unsigned i = 0; i < count; i++) table[i] = s.value(i);
  Slot* acc = s.value(count);
  s.toMont(table[0], base, blen);
  fillOddPowers(s, table, count, s.value(count + 1));

  WindowScanner scan(exp, w);
  bool started = false;
  for (unsigned pos = ebits; pos-- > 0;) {
    if (started) s.sqr(acc, acc);
    int idx = scan.at(pos);
    if (idx < 0) continue;
    if (started) {
      s.mul(acc, acc, table[idx]);
    } else {
      std::memcpy(acc, table[idx], s.slots() * sizeof(Slot));
      started = true;
    }
  }
  s.fromMont(result, acc);
  return 0;
}

int bniExpModFixed_32(BNWORD32* result, const BNWORD32* base, unsigned blen, const BNWORD32* exp,
                      unsigned elen, const BNWORD32* m, unsigned n, const BniAllocator& al) {
  if (elen == 0) {
    setOneModM(result, m, n);
    return 0;
  }
  const Kernel* kern = kernelFor(n);
  Block block(al);
  Slot* mem = nullptr;
  unsigned k = bniExpModFixedWindow_32(32 * elen);
  for (;;) {
    mem = block.take(MontSpace::slotsNeeded(kern, n, (1u << k) + 2));
    if (mem || k == 1) break;
    k--;
  }
  if (!mem) return -1;
  MontSpace s;
  s.init(kern, m, n, mem, (1u << k) + 2);
  fixedExp(s, k, result, base, bniNorm_32(base, blen), exp, elen);
  return 0;
}

int bniDoubleExpMod_32(BNWORD32* result, const BNWORD32* b1, unsigned b1len, const BNWORD32* e1,
                       unsigned e1len, const BNWORD32* b2, unsigned b2len, const BNWORD32* e2,
                       unsigned e2len, const BNWORD32* m, unsigned n, const BniAllocator& al) {
  unsigned bits1 = bniBits_32(e1, e1len), bits2 = bniBits_32(e2, e2len);
  if (bits1 < bits2) {
    std::swap(b1, b2);
    std::swap(b1len, b2len);
    std::swap(e1, e2);
    std::swap(e1len, e2len);
    std::swap(bits1, bits2);
  }
  if (bits2 == 0) return bniExpMod_32(result, b1, b1len, e1, e1len, m, n, al);
  b1len = bniNorm_32(b1, b1len);
  b2len = bniNorm_32(b2, b2len);
  const Kernel* k = kernelFor(n);
  Block block(al);
  if (bits1 == 1) {
    // Both exponents are 1: one product.
    Slot* mem = block.take(MontSpace::slotsNeeded(k, n, 0));
    if (!mem) return -1;
    MontSpace s;
    s.init(k, m, n, mem, 0);
    s.mulPlain(result, b1, b1len, b2, b2len);
    return 0;
  }
  unsigned w1 = bniExpModWindow_32(bits1), w2 = bniExpModWindow_32(bits2);
  Slot* mem = nullptr;
  for (;;) {
    mem = block.take(MontSpace::slotsNeeded(k, n, (1u << w1) + (1u << w2) + 2));
    if (mem || (w1 == 0 && w2 == 0)) break;
    if (w1 >= w2)
      w1--;
    else
      w2--;
  }
  if (!mem) return -1;
  MontSpace s;
  const unsigned c1 = 1u << w1, c2 = 1u << w2;
  s.init(k, m, n, mem, c1 + c2 + 2);
  Slot* t1[64];
  Slot* t2[64];
  for (unsigned i = 0; i < c1; i++) t1[i] = s.value(i);
  for (unsigned i = 0; i < c2; i++) t2[i] = s.value(c1 + i);
  Slot* acc = s.value(c1 + c2);
  Slot* sq = s.value(c1 + c2 + 1);
  s.toMont(t1[0], b1, b1len);
  fillOddPowers(s, t1, c1, sq);
  s.toMont(t2[0], b2, b2len);
  fillOddPowers(s, t2, c2, sq);

  WindowScanner scan1(e1, w1), scan2(e2, w2);
  Slot* const* tabs[2] = {t1, t2};
  bool started = false;
  for (unsigned pos = bits1; pos-- > 0;) {
    if (started) s.sqr(acc, acc);
    int idx[2] = {scan1.at(pos), pos < bits2 ? scan2.at(pos) : -1};
    for (int j = 0; j < 2; j++) {
      if (idx[j] < 0) continue;
      if (started) {
        s.mul(acc, acc, tabs[j][idx[j]]);
      } else {
        std::memcpy(acc, tabs[j][idx[j]], s.slots() * sizeof(Slot));
        started = true;
      }
    }
  }
  s.fromMont(result, acc);
  return 0;
}

int bniTwoExpMod_32(BNWORD32* result, const BNWORD32* exp, unsigned elen, const BNWORD32* m,
                    unsigned n, const BniAllocator& al) {
  unsigned ebits = bniBits_32(exp, elen);
  if (ebits == 0) {
    setOneModM(result, m, n);
    return 0;
  }
  // Leading part of the exponent with value below the modulus's bit length:
  // 2 to that power is below the modulus and needs no reduction.
  unsigned mbits = bniBits_32(m, n);
  unsigned lead = 0, pos = ebits;
  while (pos > 0) {
    unsigned next = (lead << 1) | expBit(exp, pos - 1);
    if (next >= mbits) break;
    lead = next;
    pos--;
  }
  const Kernel* k = kernelFor(n);
  Block block(al);
  Slot* mem = block.take(MontSpace::slotsNeeded(k, n, 1) + (n + 1) / 2);
  if (!mem) return -1;
  MontSpace s;
  s.init(k, m, n, mem, 1);
  Slot* acc = s.value(0);
  // 2^lead as words, in the room after the space.
  BNWORD32* start = reinterpret_cast<BNWORD32*>(mem + MontSpace::slotsNeeded(k, n, 1));
  bniZero_32(start, n);
  start[lead / 32] = BNWORD32{1} << (lead % 32);
  s.toMont(acc, start, n);
  while (pos-- > 0) {
    s.sqr(acc, acc);
    if (expBit(exp, pos)) s.dbl(acc);
  }
  s.fromMont(result, acc);
  return 0;
}

namespace {

// r (dlen words) = x mod d, for x of xlen words and d of dlen words (top
// word nonzero). num needs max(xlen, dlen) words, dcopy dlen, quot xlen.
void modWords(BNWORD32* r, const BNWORD32* x, unsigned xlen, const BNWORD32* d, unsigned dlen,
              BNWORD32* num, BNWORD32* dcopy, BNWORD32* quot) {
  if (xlen < dlen) {
    bniCopy_32(r, x, xlen);
    bniZero_32(r + xlen, dlen - xlen);
    return;
  }
  bniCopy_32(num, x, xlen);
  bniCopy_32(dcopy, d, dlen);
  bniDiv_32(quot, num, xlen, dcopy, dlen);
  bniCopy_32(r, num, dlen);
}

inline size_t slotsForWords(size_t words) { return (words + 1) / 2; }

}  // namespace

int bniExpModCRT_32(BNWORD32* out, const BNWORD32* x, unsigned xlen, const BNWORD32* d,
                    unsigned dlen, const BNWORD32* p, unsigned np, const BNWORD32* q, unsigned nq,
                    const BNWORD32* u, unsigned ulen, const BniAllocator& al) {
  xlen = bniNorm_32(x, xlen);
  dlen = bniNorm_32(d, dlen);
  ulen = bniNorm_32(u, ulen);
  if ((np == 1 && p[0] == 1) || (nq == 1 && q[0] == 1)) return -1;
  const Kernel* kp = kernelFor(np);
  const Kernel* kq = kernelFor(nq);
  const unsigned wp = bniExpModFixedWindow_32(32 * np), wq = bniExpModFixedWindow_32(32 * nq);
  const size_t spaceP = MontSpace::slotsNeeded(kp, np, (1u << wp) + 2);
  const size_t spaceQ = MontSpace::slotsNeeded(kq, nq, (1u << wq) + 2);
  // Word buffers: dividend, divisor copy, quotient, the residues and
  // exponents, s1, s2, h, and the product h p.
  const unsigned big = std::max({xlen, dlen, ulen, np, nq});
  const size_t words = 3 * size_t{big} + 3 * size_t{np} + 4 * size_t{nq} + np + nq + 1;
  Block block(al);
  Slot* mem = block.take(spaceP + spaceQ + slotsForWords(words));
  if (!mem) return -1;
  MontSpace sp, sq;
  sp.init(kp, p, np, mem, (1u << wp) + 2);
  sq.init(kq, q, nq, mem + spaceP, (1u << wq) + 2);
  BNWORD32* num = reinterpret_cast<BNWORD32*>(mem + spaceP + spaceQ);
  BNWORD32* dcopy = num + big;
  BNWORD32* quot = dcopy + big;
  BNWORD32* xp = quot + big;
  BNWORD32* dp = xp + np;
  BNWORD32* s1 = dp + np;
  BNWORD32* xq = s1 + np;
  BNWORD32* dq = xq + nq;
  BNWORD32* s2 = dq + nq;
  BNWORD32* h = s2 + nq;
  BNWORD32* prod = h + nq;  // np + nq + 1

  // p - 1 and q - 1 are p and q with the low bit cleared (both odd); their
  // top words stay nonzero as neither is 1.
  modWords(xp, x, xlen, p, np, num, dcopy, quot);
  bniCopy_32(prod, p, np);
  prod[0] &= ~BNWORD32{1};
  modWords(dp, d, dlen, prod, np, num, dcopy, quot);
  modWords(xq, x, xlen, q, nq, num, dcopy, quot);
  bniCopy_32(prod, q, nq);
  prod[0] &= ~BNWORD32{1};
  modWords(dq, d, dlen, prod, nq, num, dcopy, quot);
  // The two halves together where the kernel can pair their products.
  if (np == nq && wp == wq && sp.pairs(sq)) {
    fixedExp2(sp, sq, wp, np, s1, xp, np, dp, s2, xq, nq, dq);
  } else {
    fixedExp(sp, wp, s1, xp, np, dp, np);
    fixedExp(sq, wq, s2, xq, nq, dq, nq);
  }

  // h = (s2 - s1 mod q) u mod q; the modulus is added back under a mask.
  modWords(h, s1, np, q, nq, num, dcopy, quot);
  BNWORD32 borrow = bniSubN_32(s2, h, nq);
  BNWORD32 mask = 0 - borrow;
  BNWORD64 carry = 0;
  for (unsigned i = 0; i < nq; i++) {
    carry += static_cast<BNWORD64>(s2[i]) + (q[i] & mask);
    s2[i] = static_cast<BNWORD32>(carry);
    carry >>= 32;
  }
  BNWORD32* uq = xq;  // u mod q (xq is spent)
  modWords(uq, u, ulen, q, nq, num, dcopy, quot);
  sq.mulPlain(h, s2, nq, uq, nq);

  // out = s1 + h p, below p q.
  bniMul_32(prod, h, nq, p, np);
  BNWORD32 c = bniAddN_32(prod, s1, np);
  bniAdd1_32(prod + np, nq, c);
  bniCopy_32(out, prod, np + nq);
  return 0;
}

bool bniMontMulKernel_32(int kernel, bool square, BNWORD32* r, const BNWORD32* a,
                         const BNWORD32* b, const BNWORD32* m, unsigned n) {
  const Kernel* k = bnmont::kernelById(kernel);
  if (!k || !k->slots(n)) return false;
  const unsigned s = k->slots(n);
  std::vector<Slot> mem(5 * s + k->scratchSlots(s));
  bnmont::Ctx c{};
  c.kernel = k;
  c.words = n;
  c.scratch = mem.data() + 4 * s;
  k->init(&c, mem.data(), m);
  Slot* x = mem.data() + s;
  Slot* y = mem.data() + 2 * s;
  Slot* z = mem.data() + 3 * s;
  bnmont::load(x, s, k->digitBits, a, n);
  bnmont::load(y, s, k->digitBits, square ? a : b, n);
  if (square)
    c.sqr(x, x, c);
  else
    c.mul(x, x, y, c);
  // x = a b / R; times 2^(2 rbits - 32n) mod m, through one more product,
  // gives a b / 2^(32n).
  const unsigned top = 2 * c.rbits - 32 * n;
  std::vector<BNWORD32> num(top / 32 + 1 + n), quot(top / 32 + 1);
  num[top / 32] = BNWORD32{1} << (top % 32);
  std::vector<BNWORD32> mcopy(m, m + n);
  bniDiv_32(quot.data(), num.data(), top / 32 + 1, mcopy.data(), n);
  bnmont::load(z, s, k->digitBits, num.data(), n);
  c.mul(x, x, z, c);
  k->canon(x, c);
  bnmont::store(r, n, x, s, k->digitBits);
  return true;
}

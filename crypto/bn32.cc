// Word-level primitives: 32-bit words, 64-bit products.
//
// The Montgomery product is column-wise (product scanning): each result
// column is a sum of 32x32-bit products, gathered in two 64-bit
// accumulators (low halves and high halves of the products) so no carry is
// propagated inside a column; the carry moves to the next column once. The
// sums are plain dot products over a reversed copy of one operand, which the
// compiler turns into vector multiplies; the kernel is compiled three times
// (AVX-512, AVX2, baseline) and picked by the processor at run time.
#include "crypto/bn32.h"

#include <cstring>
#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12 reports its own intrinsics' placeholder operands as possibly
// uninitialised once they are inlined at -O3.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Simple array operations

BNWORD32 bniAddN_32(BNWORD32* a, const BNWORD32* b, unsigned n) {
  BNWORD64 t = 0;
  for (unsigned i = 0; i < n; i++) {
    t += static_cast<BNWORD64>(a[i]) + b[i];
    a[i] = static_cast<BNWORD32>(t);
    t >>= 32;
  }
  return static_cast<BNWORD32>(t);
}

BNWORD32 bniSubN_32(BNWORD32* a, const BNWORD32* b, unsigned n) {
  BNWORD64 t = 0;  // 0 or all ones in the high half: the borrow
  for (unsigned i = 0; i < n; i++) {
    t = static_cast<BNWORD64>(a[i]) - b[i] - (t >> 63);
    a[i] = static_cast<BNWORD32>(t);
  }
  return static_cast<BNWORD32>(t >> 63);
}

BNWORD32 bniAdd1_32(BNWORD32* a, unsigned n, BNWORD32 w) {
  for (unsigned i = 0; i < n && w; i++) {
    BNWORD32 s = a[i] + w;
    w = s < w;
    a[i] = s;
  }
  return w;
}

BNWORD32 bniSub1_32(BNWORD32* a, unsigned n, BNWORD32 w) {
  for (unsigned i = 0; i < n && w; i++) {
    BNWORD32 old = a[i];
    a[i] = old - w;
    w = old < w;
  }
  return w;
}

void bniNeg_32(BNWORD32* a, unsigned n) {
  unsigned i = 0;
  while (i < n && a[i] == 0) i++;  // trailing zeros stay zero
  if (i == n) return;
  a[i] = -a[i];
  for (i++; i < n; i++) a[i] = ~a[i];
}

int bniCmp_32(const BNWORD32* a, const BNWORD32* b, unsigned n) {
  while (n--) {
    if (a[n] != b[n]) return a[n] > b[n] ? 1 : -1;
  }
  return 0;
}

BNWORD32 bniLshift_32(BNWORD32* a, unsigned n, unsigned shift) {
  BNWORD32 carry = 0;
  for (unsigned i = 0; i < n; i++) {
    BNWORD32 w = a[i];
    a[i] = (w << shift) | carry;
    carry = w >> (32 - shift);
  }
  return carry;
}

BNWORD32 bniRshift_32(BNWORD32* a, unsigned n, unsigned shift) {
  BNWORD32 carry = 0;
  while (n--) {
    BNWORD32 w = a[n];
    a[n] = (w >> shift) | carry;
    carry = w << (32 - shift);
  }
  return carry;
}

unsigned bniNorm_32(const BNWORD32* a, unsigned n) {
  while (n && a[n - 1] == 0) n--;
  return n;
}

unsigned bniBits_32(const BNWORD32* a, unsigned n) {
  n = bniNorm_32(a, n);
  if (n == 0) return 0;
  return 32 * n - static_cast<unsigned>(__builtin_clz(a[n - 1]));
}

void bniCopy_32(BNWORD32* dst, const BNWORD32* src, unsigned n) {
  if (n && dst != src) std::memmove(dst, src, n * sizeof(BNWORD32));
}

void bniZero_32(BNWORD32* a, unsigned n) {
  if (n) std::memset(a, 0, n * sizeof(BNWORD32));
}

// ---------------------------------------------------------------------------
// Multiplication by one word

void bniMulN1_32(BNWORD32* out, const BNWORD32* in, unsigned n, BNWORD32 k) {
  BNWORD64 t = 0;
  for (unsigned i = 0; i < n; i++) {
    t += static_cast<BNWORD64>(in[i]) * k;
    out[i] = static_cast<BNWORD32>(t);
    t >>= 32;
  }
  out[n] = static_cast<BNWORD32>(t);
}

BNWORD32 bniMulAdd1_32(BNWORD32* out, const BNWORD32* in, unsigned n, BNWORD32 k) {
  BNWORD64 t = 0;
  for (unsigned i = 0; i < n; i++) {
    t += static_cast<BNWORD64>(in[i]) * k + out[i];  // fits: (2^32-1)^2 + 2(2^32-1)
    out[i] = static_cast<BNWORD32>(t);
    t >>= 32;
  }
  return static_cast<BNWORD32>(t);
}

BNWORD32 bniMulSub1_32(BNWORD32* out, const BNWORD32* in, unsigned n, BNWORD32 k) {
  BNWORD32 borrow = 0;
  for (unsigned i = 0; i < n; i++) {
    BNWORD64 p = static_cast<BNWORD64>(in[i]) * k + borrow;
    BNWORD32 lo = static_cast<BNWORD32>(p);
    borrow = static_cast<BNWORD32>(p >> 32);
    BNWORD32 old = out[i];
    out[i] = old - lo;
    borrow += old < lo;
  }
  return borrow;
}

// ---------------------------------------------------------------------------
// Full products

void bniMul_32(BNWORD32* prod, const BNWORD32* a, unsigned alen, const BNWORD32* b,
               unsigned blen) {
  if (alen == 0 || blen == 0) {
    bniZero_32(prod, alen + blen);
    return;
  }
  bniMulN1_32(prod, a, alen, b[0]);
  for (unsigned j = 1; j < blen; j++) prod[alen + j] = bniMulAdd1_32(prod + j, a, alen, b[j]);
}

void bniSquare_32(BNWORD32* prod, const BNWORD32* a, unsigned n) {
  if (n == 0) return;
  for (unsigned i = 0; i < n; i++) {
    BNWORD64 t = static_cast<BNWORD64>(a[i]) * a[i];
    prod[2 * i] = static_cast<BNWORD32>(t);
    prod[2 * i + 1] = static_cast<BNWORD32>(t >> 32);
  }
  // Halve, add each cross product once, double, and put back the low bit
  // that halving dropped (the low bit of a[0]^2 is that of a[0]).
  bniRshift_32(prod, 2 * n, 1);
  for (unsigned i = 0; i + 1 < n; i++) {
    BNWORD32 c = bniMulAdd1_32(prod + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
    bniAdd1_32(prod + n + i, n - i, c);
  }
  bniLshift_32(prod, 2 * n, 1);
  prod[0] |= a[0] & 1;
}

// ---------------------------------------------------------------------------
// Division

BNWORD32 bniDiv21_32(BNWORD32* rem, BNWORD32 nh, BNWORD32 nl, BNWORD32 d) {
  BNWORD64 num = (static_cast<BNWORD64>(nh) << 32) | nl;
  *rem = static_cast<BNWORD32>(num % d);
  return static_cast<BNWORD32>(num / d);
}

BNWORD32 bniDiv1_32(BNWORD32* q, const BNWORD32* a, unsigned n, BNWORD32 d) {
  BNWORD32 r = 0;
  while (n--) q[n] = bniDiv21_32(&r, r, a[n], d);
  return r;
}

BNWORD32 bniModQ_32(const BNWORD32* a, unsigned n, BNWORD32 d) {
  if ((d & (d - 1)) == 0) return n ? a[0] & (d - 1) : 0;
  BNWORD64 r = 0;
  while (n--) r = ((r << 32) | a[n]) % d;
  return static_cast<BNWORD32>(r);
}

BNWORD32 bniDiv_32(BNWORD32* q, BNWORD32* n, unsigned nlen, BNWORD32* d, unsigned dlen) {
  if (dlen == 1) {
    BNWORD32 d0 = d[0];
    BNWORD32 r = n[nlen - 1] % d0;
    BNWORD32 qtop = n[nlen - 1] / d0;
    for (unsigned i = nlen - 1; i-- > 0;) q[i] = bniDiv21_32(&r, r, n[i], d0);
    n[0] = r;
    for (unsigned i = 1; i < nlen; i++) n[i] = 0;
    return qtop;
  }
  unsigned shift = static_cast<unsigned>(__builtin_clz(d[dlen - 1]));
  BNWORD32 nh = 0;
  if (shift) {
    bniLshift_32(d, dlen, shift);
    nh = bniLshift_32(n, nlen, shift);
  }
  const BNWORD32 dh = d[dlen - 1];
  const BNWORD32 dl = d[dlen - 2];
  BNWORD32 qtop = 0;
  for (unsigned j = nlen - dlen + 1; j-- > 0;) {
    BNWORD32* u = n + j;
    BNWORD32& utop = (j == nlen - dlen) ? nh : n[j + dlen];
    // Estimate from the top two words, then correct with the second
    // divisor word: the estimate is then at most one too large.
    BNWORD64 num = (static_cast<BNWORD64>(utop) << 32) | u[dlen - 1];
    BNWORD64 qhat = num / dh;
    if (qhat > 0xFFFFFFFFu) qhat = 0xFFFFFFFFu;
    BNWORD64 rhat = num - qhat * dh;
    while (rhat <= 0xFFFFFFFFu && qhat * dl > ((rhat << 32) | u[dlen - 2])) {
      qhat--;
      rhat += dh;
    }
    BNWORD32 borrow = bniMulSub1_32(u, d, dlen, static_cast<BNWORD32>(qhat));
    if (utop < borrow) {
      qhat--;
      bniAddN_32(u, d, dlen);  // the carry out cancels the borrow
    }
    utop = 0;
    if (j == nlen - dlen)
      qtop = static_cast<BNWORD32>(qhat);
    else
      q[j] = static_cast<BNWORD32>(qhat);
  }
  if (shift) {
    bniRshift_32(n, dlen, shift);
    bniRshift_32(d, dlen, shift);
  }
  return qtop;
}

// ---------------------------------------------------------------------------
// Montgomery arithmetic

BNWORD32 bniMontInv1_32(BNWORD32 m0) {
  // Newton: each step doubles the correct low bits of x = m0^-1.
  BNWORD32 x = m0;
  while (m0 * x != 1) x *= 2 - m0 * x;
  return -x;
}

void bniMontReduce_32(BNWORD32* a, const BNWORD32* m, unsigned n, BNWORD32 inv) {
  BNWORD32 carries = 0;
  for (unsigned i = 0; i < n; i++) {
    BNWORD32 c = bniMulAdd1_32(a + i, m, n, a[i] * inv);
    carries += bniAdd1_32(a + i + n, n - i, c);
  }
  BNWORD32* hi = a + n;
  while (carries) carries -= bniSubN_32(hi, m, n);
  while (bniCmp_32(hi, m, n) >= 0) bniSubN_32(hi, m, n);
}

namespace {

// Everything a Montgomery product needs besides its operands. The scratch
// arrays belong to one exponentiation.
struct MontCtx {
  const BNWORD32* m;
  BNWORD32* mrev;  // m reversed: mrev[j] = m[n-1-j]
  BNWORD32* brev;  // scratch, n words
  BNWORD32* q;     // scratch, n words
  BNWORD32* t;     // scratch, n + 1 words
  unsigned n;
  BNWORD32 inv;
};

using MontMulFn = void (*)(BNWORD32*, const BNWORD32*, const BNWORD32*, const MontCtx&);
using MontSqrFn = void (*)(BNWORD32*, const BNWORD32*, const MontCtx&);

// Adds one product to a column held as lo + hi*2^32.
inline void addProduct(BNWORD64& lo, BNWORD64& hi, BNWORD64 p) {
  lo += static_cast<BNWORD32>(p);
  hi += p >> 32;
}

// The Montgomery product and square, compiled once per instruction set:
// each copy gets its own column accumulator (Acc) and the shared column
// loops from bn32_mont.inc. An Acc sums 32x32-bit products as two 64-bit
// totals, of the products' low and of their high halves:
//   add(x, y, len)  += sum x[i]*y[i]
//   twice()         doubles what was gathered so far
//   take(lo, hi)    lo += low total, hi += high total
namespace generic {
struct Acc {
  BNWORD64 l = 0, h = 0;
  void add(const BNWORD32* x, const BNWORD32* y, unsigned len) {
    for (unsigned i = 0; i < len; i++) {
      BNWORD64 p = static_cast<BNWORD64>(x[i]) * y[i];
      l += static_cast<BNWORD32>(p);
      h += p >> 32;
    }
  }
  void twice() {
    l *= 2;
    h *= 2;
  }
  void take(BNWORD64& lo, BNWORD64& hi) const {
    lo += l;
    hi += h;
  }
};
#include "crypto/bn32_mont.inc"
}  // namespace generic

#if defined(__x86_64__) && defined(__GNUC__)
// (Each kernel is compiled for its instruction set: GCC by target pragmas,
// clang by a target attribute on every function of the block.)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
// Four products per multiply; the tail goes word by word.
struct Acc {
  __m256i L, H;
  BNWORD64 l = 0, h = 0;
  Acc() : L(_mm256_setzero_si256()), H(_mm256_setzero_si256()) {}
  void add(const BNWORD32* x, const BNWORD32* y, unsigned len) {
    const __m256i mask = _mm256_set1_epi64x(0xFFFFFFFF);
    unsigned i = 0;
    for (; i + 4 <= len; i += 4) {
      __m256i a = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i)));
      __m256i b = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + i)));
      __m256i p = _mm256_mul_epu32(a, b);
      L = _mm256_add_epi64(L, _mm256_and_si256(p, mask));
      H = _mm256_add_epi64(H, _mm256_srli_epi64(p, 32));
    }
    for (; i < len; i++) {
      BNWORD64 p = static_cast<BNWORD64>(x[i]) * y[i];
      l += static_cast<BNWORD32>(p);
      h += p >> 32;
    }
  }
  void twice() {
    L = _mm256_add_epi64(L, L);
    H = _mm256_add_epi64(H, H);
    l *= 2;
    h *= 2;
  }
  void take(BNWORD64& lo, BNWORD64& hi) const {
    __m256i s = _mm256_add_epi64(_mm256_unpacklo_epi64(L, H), _mm256_unpackhi_epi64(L, H));
    __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    lo += l + static_cast<BNWORD64>(_mm_cvtsi128_si64(t));
    hi += h + static_cast<BNWORD64>(_mm_extract_epi64(t, 1));
  }
};
#include "crypto/bn32_mont.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx512f,avx512vl"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl")
#endif
namespace avx512 {
// Eight products per multiply; the tail is a masked load (zeros beyond).
struct Acc {
  __m512i L, H;
  Acc() : L(_mm512_setzero_si512()), H(_mm512_setzero_si512()) {}
  void step(const BNWORD32* x, const BNWORD32* y, __mmask8 m) {
    const __m512i mask = _mm512_set1_epi64(0xFFFFFFFF);
    __m512i a = _mm512_cvtepu32_epi64(_mm256_maskz_loadu_epi32(m, x));
    __m512i b = _mm512_cvtepu32_epi64(_mm256_maskz_loadu_epi32(m, y));
    __m512i p = _mm512_mul_epu32(a, b);
    L = _mm512_add_epi64(L, _mm512_and_si512(p, mask));
    H = _mm512_add_epi64(H, _mm512_srli_epi64(p, 32));
  }
  void add(const BNWORD32* x, const BNWORD32* y, unsigned len) {
    unsigned i = 0;
    for (; i + 8 <= len; i += 8) step(x + i, y + i, 0xFF);
    if (i < len) step(x + i, y + i, static_cast<__mmask8>((1u << (len - i)) - 1));
  }
  void twice() {
    L = _mm512_add_epi64(L, L);
    H = _mm512_add_epi64(H, H);
  }
  // Both totals in one horizontal pass: the halves of L and H are paired
  // lane by lane, so each step adds for both.
  void take(BNWORD64& lo, BNWORD64& hi) const {
    __m256i l4 = _mm256_add_epi64(_mm512_castsi512_si256(L), _mm512_extracti64x4_epi64(L, 1));
    __m256i h4 = _mm256_add_epi64(_mm512_castsi512_si256(H), _mm512_extracti64x4_epi64(H, 1));
    __m256i s = _mm256_add_epi64(_mm256_unpacklo_epi64(l4, h4), _mm256_unpackhi_epi64(l4, h4));
    __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    lo += static_cast<BNWORD64>(_mm_cvtsi128_si64(t));
    hi += static_cast<BNWORD64>(_mm_extract_epi64(t, 1));
  }
};
#include "crypto/bn32_mont.inc"
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

// The Montgomery routines for this processor. Asked per exponentiation, so
// nothing process-wide is written.
struct MontOps {
  MontMulFn mul;
  MontSqrFn sqr;
};

MontOps pickMontOps() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
    return {avx512::montMul, avx512::montSqr};
  if (__builtin_cpu_supports("avx2")) return {avx2::montMul, avx2::montSqr};
#endif
  return {generic::montMul, generic::montSqr};
}

MontOps kernelOps(int kernel) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kernel == 2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
    return {avx512::montMul, avx512::montSqr};
  if (kernel == 1 && __builtin_cpu_supports("avx2")) return {avx2::montMul, avx2::montSqr};
#endif
  if (kernel == 0) return {generic::montMul, generic::montSqr};
  return {nullptr, nullptr};
}

// Scratch of one exponentiation: the Montgomery context's arrays plus a
// division buffer for conversions, in one block of (7n + 4) words.
class ExpScratch {
 public:
  ExpScratch(const BNWORD32* m, unsigned n, const BniAllocator& al) : al_(al), n_(n) {
    words_ = 7 * n + 4;
    block_ = static_cast<BNWORD32*>(al.alloc(al.ctx, words_ * sizeof(BNWORD32)));
    if (!block_) return;
    ctx_.m = m;
    ctx_.n = n;
    ctx_.mrev = block_;
    ctx_.brev = block_ + n;
    ctx_.q = block_ + 2 * n;
    ctx_.t = block_ + 3 * n;          // n + 1 words
    mcopy_ = block_ + 4 * n + 1;      // n words
    div_ = block_ + 5 * n + 1;        // 2n + 1 words
    for (unsigned j = 0; j < n; j++) ctx_.mrev[j] = m[n - 1 - j];
    ctx_.inv = bniMontInv1_32(m[0]);
    ops_ = pickMontOps();
  }
  ~ExpScratch() {
    if (block_) al_.free(al_.ctx, block_, words_ * sizeof(BNWORD32));
  }
  ExpScratch(const ExpScratch&) = delete;
  ExpScratch& operator=(const ExpScratch&) = delete;

  bool ok() const { return block_ != nullptr; }
  const MontCtx& ctx() const { return ctx_; }
  void mul(BNWORD32* r, const BNWORD32* a, const BNWORD32* b) const { ops_.mul(r, a, b, ctx_); }
  void sqr(BNWORD32* r, const BNWORD32* a) const { ops_.sqr(r, a, ctx_); }

  // r = x * 2^(32n) mod m, for x of xlen <= n words (any value).
  void toMont(BNWORD32* r, const BNWORD32* x, unsigned xlen) {
    const unsigned n = n_;
    xlen = bniNorm_32(x, xlen);
    bniZero_32(div_, n);
    bniCopy_32(div_ + n, x, xlen);
    bniZero_32(div_ + n + xlen, n - xlen);
    bniCopy_32(mcopy_, ctx_.m, n);
    // The quotient is not wanted: it goes to the context's scratch arrays,
    // n + 1 words are enough (brev and q are adjacent).
    bniDiv_32(ctx_.brev, div_, 2 * n, mcopy_, n);
    bniCopy_32(r, div_, n);
  }
  // r = x / 2^(32n) mod m.
  void fromMont(BNWORD32* r, const BNWORD32* x) {
    const unsigned n = n_;
    bniCopy_32(div_, x, n);
    bniZero_32(div_ + n, n);
    bniMontReduce_32(div_, ctx_.m, n, ctx_.inv);
    bniCopy_32(r, div_ + n, n);
  }

 private:
  BniAllocator al_;
  unsigned n_;
  unsigned words_ = 0;
  BNWORD32* block_ = nullptr;
  BNWORD32* mcopy_ = nullptr;
  BNWORD32* div_ = nullptr;
  MontCtx ctx_{};
  MontOps ops_{};
};

// Table of odd powers g, g^3, ..., g^(2^(w+1)-1) in Montgomery form, one
// block per entry. When an entry cannot be had the window shrinks to what
// was allocated.
class PowerTable {
 public:
  PowerTable(unsigned w, unsigned n, const BniAllocator& al) : al_(al), n_(n) {
    unsigned want = 1u << w;
    for (count_ = 0; count_ < want; count_++) {
      void* p = al.alloc(al.ctx, n * sizeof(BNWORD32));
      if (!p) break;
      entry_[count_] = static_cast<BNWORD32*>(p);
    }
    w_ = w;
    while (w_ > 0 && (1u << w_) > count_) w_--;
    while (count_ > (1u << w_)) {
      count_--;
      al.free(al.ctx, entry_[count_], n * sizeof(BNWORD32));
    }
  }
  ~PowerTable() {
    for (unsigned i = 0; i < count_; i++) al_.free(al_.ctx, entry_[i], n_ * sizeof(BNWORD32));
  }
  PowerTable(const PowerTable&) = delete;
  PowerTable& operator=(const PowerTable&) = delete;

  bool ok() const { return count_ > 0; }
  unsigned window() const { return w_; }
  BNWORD32* operator[](unsigned i) const { return entry_[i]; }

  // Entry i = g^(2i+1) from g (Montgomery form) in entry 0; sq is n words.
  void fill(const ExpScratch& s, BNWORD32* sq) {
    if (count_ < 2) return;
    s.sqr(sq, entry_[0]);
    for (unsigned i = 1; i < count_; i++) s.mul(entry_[i], entry_[i - 1], sq);
  }

 private:
  BniAllocator al_;
  unsigned n_;
  unsigned w_ = 0;
  unsigned count_ = 0;
  BNWORD32* entry_[64] = {};
};

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

void setOneModM(BNWORD32* r, const BNWORD32* m, unsigned n) {
  bniZero_32(r, n);
  if (!(n == 1 && m[0] == 1)) r[0] = 1;
}

}  // namespace

unsigned bniExpModWindow_32(unsigned expBits) {
  unsigned i = 0;
  while (expBits > bnExpModThreshTable[i]) i++;
  return i;
}

int bniExpMod_32(BNWORD32* result, const BNWORD32* base, unsigned blen, const BNWORD32* exp,
                 unsigned elen, const BNWORD32* m, unsigned n, const BniAllocator& al) {
  unsigned ebits = bniBits_32(exp, elen);
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
  ExpScratch s(m, n, al);
  if (!s.ok()) return -1;
  PowerTable table(bniExpModWindow_32(ebits), n, al);
  if (!table.ok()) return -1;
  s.toMont(table[0], base, blen);
  table.fill(s, result);

  WindowScanner scan(exp, table.window());
  bool started = false;
  for (unsigned pos = ebits; pos-- > 0;) {
    if (started) s.sqr(result, result);
    int idx = scan.at(pos);
    if (idx < 0) continue;
    if (started) {
      s.mul(result, result, table[idx]);
    } else {
      bniCopy_32(result, table[idx], n);
      started = true;
    }
  }
  s.fromMont(result, result);
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
  ExpScratch s(m, n, al);
  if (!s.ok()) return -1;
  if (bits1 == 1) {
    // Both exponents are 1: one product. (a*R)(b)/R = a*b.
    s.toMont(result, b1, b1len);
    BNWORD32* tmp = static_cast<BNWORD32*>(al.alloc(al.ctx, n * sizeof(BNWORD32)));
    if (!tmp) return -1;
    unsigned l2 = bniNorm_32(b2, b2len);
    bniCopy_32(tmp, b2, l2);
    bniZero_32(tmp + l2, n - l2);
    s.mul(result, result, tmp);
    al.free(al.ctx, tmp, n * sizeof(BNWORD32));
    return 0;
  }
  PowerTable t1(bniExpModWindow_32(bits1), n, al);
  if (!t1.ok()) return -1;
  PowerTable t2(bniExpModWindow_32(bits2), n, al);
  if (!t2.ok()) return -1;
  s.toMont(t1[0], b1, b1len);
  t1.fill(s, result);
  s.toMont(t2[0], b2, b2len);
  t2.fill(s, result);

  WindowScanner scan1(e1, t1.window()), scan2(e2, t2.window());
  bool started = false;
  for (unsigned pos = bits1; pos-- > 0;) {
    if (started) s.sqr(result, result);
    int idx[2] = {scan1.at(pos), pos < bits2 ? scan2.at(pos) : -1};
    const PowerTable* tabs[2] = {&t1, &t2};
    for (int k = 0; k < 2; k++) {
      if (idx[k] < 0) continue;
      if (started) {
        s.mul(result, result, (*tabs[k])[idx[k]]);
      } else {
        bniCopy_32(result, (*tabs[k])[idx[k]], n);
        started = true;
      }
    }
  }
  s.fromMont(result, result);
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
  ExpScratch s(m, n, al);
  if (!s.ok()) return -1;
  bniZero_32(result, n);
  result[lead / 32] = 1u << (lead % 32);
  s.toMont(result, result, n);
  while (pos-- > 0) {
    s.sqr(result, result);
    if (expBit(exp, pos)) {
      BNWORD32 carry = bniLshift_32(result, n, 1);
      if (carry || bniCmp_32(result, m, n) >= 0) bniSubN_32(result, m, n);
    }
  }
  s.fromMont(result, result);
  return 0;
}

bool bniMontMulKernel_32(int kernel, bool square, BNWORD32* r, const BNWORD32* a,
                         const BNWORD32* b, const BNWORD32* m, unsigned n) {
  MontOps ops = kernelOps(kernel);
  if (!ops.mul) return false;
  std::vector<BNWORD32> scratch(4 * n + 1);
  MontCtx c{m, scratch.data(), scratch.data() + n, scratch.data() + 2 * n,
            scratch.data() + 3 * n, n, bniMontInv1_32(m[0])};
  for (unsigned j = 0; j < n; j++) c.mrev[j] = m[n - 1 - j];
  if (square)
    ops.sqr(r, a, c);
  else
    ops.mul(r, a, b, c);
  return true;
}

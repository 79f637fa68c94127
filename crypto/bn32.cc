// Word-level primitives: 32-bit words, 64-bit products. The exponentiations
// and their Montgomery kernels are in bn_expmod32.cc and bn_mont*.cc.
#include "crypto/bn32.h"

#include <cstring>

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


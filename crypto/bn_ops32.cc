// The BigNum operations over 32-bit words (the *_32 functions bound into the
// operation table). Every operation strips leading zero words of its inputs
// before use and leaves its result normalised, except bnSubQ without borrow
// and bnMakeOdd. Temporaries are secure when any operand or the destination
// is, and are wiped and freed on every path.
#include <algorithm>
#include <cstring>

#include "crypto/bn.h"

namespace {

inline unsigned normLen(const BigNum* bn) { return bniNorm_32(bn->words, bn->size); }

// Grows bn so it holds at least n words, keeping its value; capacity is
// rounded up to an even count. The old array is wiped and freed.
int bnResize(BigNum* bn, unsigned n) {
  if (bn->allocated >= n) return 0;
  unsigned alloc = (n + 1) & ~1u;
  void* p = bniRealloc(bn->memMgr, bn->secure, bn->words, bn->allocated * sizeof(BNWORD32),
                       alloc * sizeof(BNWORD32));
  if (!p) return -1;
  bn->words = static_cast<BNWORD32*>(p);
  bn->allocated = alloc;
  return 0;
}

// Grows bn to n words and zeroes the words from its current size up.
int bnGrowZero(BigNum* bn, unsigned n) {
  unsigned len = std::min(bn->size, n);
  if (bnResize(bn, n)) return -1;
  bniZero_32(bn->words + len, n - len);
  return 0;
}

// A temporary word array, wiped and freed when the scope closes.
class WordBuf {
 public:
  WordBuf(QOXMemoryMgr* mgr, bool secure, unsigned words) : words_(words) {
    p_ = static_cast<BNWORD32*>(bniMemAlloc(mgr, secure, bytes()));
  }
  ~WordBuf() { bniMemFree(p_, bytes()); }
  WordBuf(const WordBuf&) = delete;
  WordBuf& operator=(const WordBuf&) = delete;
  BNWORD32* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  size_t bytes() const { return (words_ ? words_ : 1) * sizeof(BNWORD32); }
  unsigned words_;
  BNWORD32* p_;
};

// Stores n words (normalised) as the value of dest.
int setWords(BigNum* dest, const BNWORD32* w, unsigned n) {
  n = bniNorm_32(w, n);
  if (bnResize(dest, n)) return -1;
  bniCopy_32(dest->words, w, n);
  dest->size = n;
  return 0;
}

bool anySecure(std::initializer_list<const BigNum*> l) {
  for (const BigNum* b : l)
    if (b->secure) return true;
  return false;
}

// Allocation for the exponentiations: the manager and the secure flag.
struct AllocCtx {
  QOXMemoryMgr* mgr;
  bool secure;
};
void* expAlloc(void* ctx, unsigned bytes) {
  auto* c = static_cast<AllocCtx*>(ctx);
  return bniMemAlloc(c->mgr, c->secure, bytes);
}
void expFree(void*, void* block, unsigned bytes) { bniMemFree(block, bytes); }

// The byte at position i (0 = least significant) of bn's stored words.
inline unsigned char byteAt(const BigNum* bn, uint64_t i) {
  uint64_t w = i / 4;
  return w < bn->size ? static_cast<unsigned char>(bn->words[w] >> (8 * (i % 4))) : 0;
}

int insertBytes(BigNum* bn, const unsigned char* buf, unsigned lsbyte, unsigned len, bool big) {
  if (len == 0) return 0;
  unsigned need = static_cast<unsigned>((static_cast<uint64_t>(lsbyte) + len + 3) / 4);
  if (need > bn->size) {
    if (bnGrowZero(bn, need)) return -1;
    bn->size = need;
  }
  for (unsigned k = 0; k < len; k++) {
    unsigned i = lsbyte + (big ? len - 1 - k : k);
    unsigned sh = 8 * (i % 4);
    BNWORD32& w = bn->words[i / 4];
    w = (w & ~(0xFFu << sh)) | (static_cast<BNWORD32>(buf[k]) << sh);
  }
  bn->size = normLen(bn);
  return 0;
}

}  // namespace

void bnEnd_32(BigNum* bn) {
  bniMemFree(bn->words, bn->allocated * sizeof(BNWORD32));
  bn->words = nullptr;
  bn->size = 0;
  bn->allocated = 0;
}

int bnPrealloc_32(BigNum* bn, unsigned bits) {
  return bnResize(bn, static_cast<unsigned>((static_cast<uint64_t>(bits) + 31) / 32));
}

int bnCopy_32(BigNum* dest, const BigNum* src) {
  if (dest == src) {
    bnNorm_32(dest);
    return 0;
  }
  return setWords(dest, src->words, src->size);
}

void bnNorm_32(BigNum* bn) { bn->size = normLen(bn); }

void bnExtractBigBytes_32(const BigNum* bn, unsigned char* buf, unsigned lsbyte, unsigned len) {
  for (unsigned k = 0; k < len; k++) buf[k] = byteAt(bn, uint64_t{lsbyte} + len - 1 - k);
}

void bnExtractLittleBytes_32(const BigNum* bn, unsigned char* buf, unsigned lsbyte,
                             unsigned len) {
  for (unsigned k = 0; k < len; k++) buf[k] = byteAt(bn, uint64_t{lsbyte} + k);
}

int bnInsertBigBytes_32(BigNum* bn, const unsigned char* buf, unsigned lsbyte, unsigned len) {
  return insertBytes(bn, buf, lsbyte, len, true);
}

int bnInsertLittleBytes_32(BigNum* bn, const unsigned char* buf, unsigned lsbyte, unsigned len) {
  return insertBytes(bn, buf, lsbyte, len, false);
}

BNWORD32 bnLSWord_32(const BigNum* bn) { return bn->size ? bn->words[0] : 0; }

unsigned bnBits_32(const BigNum* bn) { return bniBits_32(bn->words, bn->size); }

int bnAdd_32(BigNum* dest, const BigNum* src) {
  unsigned s = normLen(src), d = normLen(dest);
  if (s == 0) {
    dest->size = d;
    return 0;
  }
  if (d < s) {
    dest->size = d;
    if (bnGrowZero(dest, s)) return -1;
    d = s;
  }
  BNWORD32 carry = bniAddN_32(dest->words, src->words, s);
  carry = bniAdd1_32(dest->words + s, d - s, carry);
  if (carry) {
    if (bnResize(dest, d + 1)) return -1;
    dest->words[d++] = carry;
  }
  dest->size = d;
  return 0;
}

int bnSub_32(BigNum* dest, const BigNum* src) {
  unsigned s = normLen(src), d = normLen(dest);
  if (d < s || (d == s && bniCmp_32(dest->words, src->words, s) < 0)) {
    // Negative: store src - dest.
    dest->size = d;
    if (bnGrowZero(dest, s)) return -1;
    bniSubN_32(dest->words, src->words, s);
    bniNeg_32(dest->words, s);
    dest->size = bniNorm_32(dest->words, s);
    return 1;
  }
  BNWORD32 borrow = bniSubN_32(dest->words, src->words, s);
  bniSub1_32(dest->words + s, d - s, borrow);
  dest->size = bniNorm_32(dest->words, d);
  return 0;
}

int bnCmpQ_32(const BigNum* bn, BNWORD32 w) {
  unsigned n = normLen(bn);
  if (n > 1) return 1;
  BNWORD32 v = n ? bn->words[0] : 0;
  return v < w ? -1 : v > w ? 1 : 0;
}

int bnSetQ_32(BigNum* bn, BNWORD32 w) {
  if (w == 0) {
    bn->size = 0;
    return 0;
  }
  if (bnResize(bn, 1)) return -1;
  bn->words[0] = w;
  bn->size = 1;
  return 0;
}

int bnAddQ_32(BigNum* bn, BNWORD32 w) {
  unsigned n = normLen(bn);
  if (n == 0) return bnSetQ_32(bn, w);
  BNWORD32 carry = bniAdd1_32(bn->words, n, w);
  if (carry) {
    if (bnResize(bn, n + 1)) return -1;
    bn->words[n++] = carry;
  }
  bn->size = n;
  return 0;
}

int bnSubQ_32(BigNum* bn, BNWORD32 w) {
  unsigned n = normLen(bn);
  if (n == 0) {
    if (w == 0) {
      bn->size = 0;
      return 0;
    }
    return bnSetQ_32(bn, w) ? -1 : 1;
  }
  if (n == 1 && bn->words[0] < w) {
    bn->words[0] = w - bn->words[0];
    bn->size = 1;
    return 1;
  }
  bniSub1_32(bn->words, n, w);
  bn->size = n;  // the top word may now be zero
  return 0;
}

int bnCmp_32(const BigNum* a, const BigNum* b) {
  unsigned la = normLen(a), lb = normLen(b);
  if (la != lb) return la < lb ? -1 : 1;
  return bniCmp_32(a->words, b->words, la);
}

int bnSquare_32(BigNum* dest, const BigNum* src) {
  unsigned s = normLen(src);
  if (s == 0) {
    dest->size = 0;
    return 0;
  }
  if (dest == src) {
    WordBuf copy(dest->memMgr, dest->secure, s);
    if (!copy) return -1;
    bniCopy_32(copy.get(), src->words, s);
    if (bnResize(dest, 2 * s)) return -1;
    bniSquare_32(dest->words, copy.get(), s);
  } else {
    if (bnResize(dest, 2 * s)) return -1;
    bniSquare_32(dest->words, src->words, s);
  }
  dest->size = bniNorm_32(dest->words, 2 * s);
  return 0;
}

int bnMul_32(BigNum* dest, const BigNum* a, const BigNum* b) {
  if (a == b) return bnSquare_32(dest, a);
  unsigned la = normLen(a), lb = normLen(b);
  if (la == 0 || lb == 0) {
    dest->size = 0;
    return 0;
  }
  if (dest == a || dest == b) {
    WordBuf prod(dest->memMgr, anySecure({dest, a, b}), la + lb);
    if (!prod) return -1;
    bniMul_32(prod.get(), a->words, la, b->words, lb);
    return setWords(dest, prod.get(), la + lb);
  }
  if (bnResize(dest, la + lb)) return -1;
  bniMul_32(dest->words, a->words, la, b->words, lb);
  dest->size = bniNorm_32(dest->words, la + lb);
  return 0;
}

int bnMulQ_32(BigNum* dest, const BigNum* src, BNWORD32 w) {
  if (w == 0) {
    dest->size = 0;
    return 0;
  }
  if (w == 1) return bnCopy_32(dest, src);
  unsigned s = normLen(src);
  if (s == 0) {
    dest->size = 0;
    return 0;
  }
  if (bnResize(dest, s + 1)) return -1;  // src->words is re-read: dest may be src
  bniMulN1_32(dest->words, src->words, s, w);
  dest->size = bniNorm_32(dest->words, s + 1);
  return 0;
}

namespace {

// Quotient (when q is not null) and remainder (when r is not null).
int divMod(BigNum* q, BigNum* r, const BigNum* n, const BigNum* d) {
  unsigned nl = normLen(n), dl = normLen(d);
  if (dl == 0) return -1;
  if (nl < dl) {
    if (r && bnCopy_32(r, n)) return -1;
    if (q) q->size = 0;
    return 0;
  }
  bool secure = anySecure({n, d}) || (q && q->secure) || (r && r->secure);
  QOXMemoryMgr* mgr = r ? r->memMgr : q->memMgr;
  // Dividend (becomes the remainder), divisor copy, quotient.
  WordBuf buf(mgr, secure, nl + dl + (nl - dl + 1));
  if (!buf) return -1;
  BNWORD32* rem = buf.get();
  BNWORD32* div = rem + nl;
  BNWORD32* quo = div + dl;
  bniCopy_32(rem, n->words, nl);
  bniCopy_32(div, d->words, dl);
  quo[nl - dl] = bniDiv_32(quo, rem, nl, div, dl);
  if (r && setWords(r, rem, dl)) return -1;
  if (q && setWords(q, quo, nl - dl + 1)) return -1;
  return 0;
}

}  // namespace

int bnDivMod_32(BigNum* q, BigNum* r, const BigNum* n, const BigNum* d) {
  return divMod(q, r, n, d);
}

int bnMod_32(BigNum* dest, const BigNum* src, const BigNum* d) {
  return divMod(nullptr, dest, src, d);
}

BNWORD32 bnModQ_32(const BigNum* bn, BNWORD32 w) {
  if (w == 0) return 0;
  return bniModQ_32(bn->words, normLen(bn), w);
}

namespace {

// A base ready for exponentiation: below the modulus. Points at the caller's
// number, or at a reduced copy.
class ReducedBase {
 public:
  ReducedBase(const BigNum* base, const BigNum* mod, bool secure)
      : tmp_(mod->memMgr, secure), p_(base) {
    if (bnCmp_32(base, mod) >= 0) {
      p_ = tmp_.get();
      if (bnMod_32(tmp_.get(), base, mod)) p_ = nullptr;
    }
  }
  const BigNum* get() const { return p_; }

 private:
  BigNumScope tmp_;
  const BigNum* p_;
};

bool usableModulus(const BigNum* mod) {
  unsigned ml = normLen(mod);
  return ml != 0 && (mod->words[0] & 1);
}

}  // namespace

// The exponentiations write their result straight into dest, grown to the
// modulus's length first (keeping its value), once every operand has been
// read; so dest may be any operand.
int bnExpMod_32(BigNum* dest, const BigNum* base, const BigNum* exp, const BigNum* mod) {
  if (!usableModulus(mod)) return -1;
  bool secure = anySecure({dest, base, exp, mod});
  ReducedBase b(base, mod, secure);
  if (!b.get()) return -1;
  if (normLen(b.get()) == 1 && b.get()->words[0] == 2) return bnTwoExpMod_32(dest, exp, mod);
  unsigned ml = normLen(mod);
  if (bnResize(dest, ml)) return -1;
  AllocCtx ac{dest->memMgr, secure};
  BniAllocator al{expAlloc, expFree, &ac};
  const BigNum* bb = b.get();
  // A secret exponent (one kept in secure memory) takes fixed windows.
  auto run = exp->secure ? bniExpModFixed_32 : bniExpMod_32;
  if (run(dest->words, bb->words, normLen(bb), exp->words, normLen(exp), mod->words, ml, al))
    return -1;
  dest->size = bniNorm_32(dest->words, ml);
  return 0;
}

int bnDoubleExpMod_32(BigNum* dest, const BigNum* base1, const BigNum* exp1, const BigNum* base2,
                      const BigNum* exp2, const BigNum* mod) {
  if (!usableModulus(mod)) return -1;
  bool secure = anySecure({dest, base1, exp1, base2, exp2, mod});
  ReducedBase b1(base1, mod, secure), b2(base2, mod, secure);
  if (!b1.get() || !b2.get()) return -1;
  unsigned ml = normLen(mod);
  if (bnResize(dest, ml)) return -1;
  AllocCtx ac{dest->memMgr, secure};
  BniAllocator al{expAlloc, expFree, &ac};
  if (bniDoubleExpMod_32(dest->words, b1.get()->words, normLen(b1.get()), exp1->words,
                         normLen(exp1), b2.get()->words, normLen(b2.get()), exp2->words,
                         normLen(exp2), mod->words, ml, al))
    return -1;
  dest->size = bniNorm_32(dest->words, ml);
  return 0;
}

int bnTwoExpMod_32(BigNum* dest, const BigNum* exp, const BigNum* mod) {
  if (!usableModulus(mod)) return -1;
  bool secure = anySecure({dest, exp, mod});
  unsigned ml = normLen(mod);
  if (bnResize(dest, ml)) return -1;
  AllocCtx ac{dest->memMgr, secure};
  BniAllocator al{expAlloc, expFree, &ac};
  if (bniTwoExpMod_32(dest->words, exp->words, normLen(exp), mod->words, ml, al)) return -1;
  dest->size = bniNorm_32(dest->words, ml);
  return 0;
}

int bnGcd_32(BigNum* dest, const BigNum* a, const BigNum* b) {
  bool secure = anySecure({dest, a, b});
  // Euclid with full divisions; x holds the larger, and the two buffers
  // trade places after every step.
  BigNumScope x(dest->memMgr, secure), y(dest->memMgr, secure);
  bool aBigger = bnCmp_32(a, b) >= 0;
  if (bnCopy_32(x.get(), aBigger ? a : b) || bnCopy_32(y.get(), aBigger ? b : a)) return -1;
  BigNum* big = x.get();
  BigNum* small = y.get();
  while (small->size != 0) {
    if (bnMod_32(big, big, small)) return -1;
    std::swap(big, small);
  }
  return bnCopy_32(dest, big);
}

int bnInv_32(BigNum* dest, const BigNum* src, const BigNum* mod) {
  const unsigned ml = normLen(mod), sl = normLen(src);
  if (ml == 0) return 1;
  // Every array in one block: remainders r0, r1 and cofactors t0, t1 (the
  // cofactors' magnitudes stay below the modulus), the quotient, the
  // product q t1, and the dividend, divisor and quotient of the first
  // division.
  const unsigned big = std::max(ml, sl);
  WordBuf buf(dest->memMgr, anySecure({dest, src, mod}), 7 * (ml + 1) + 2 * big + ml);
  if (!buf) return -1;
  BNWORD32* r0 = buf.get();
  BNWORD32* r1 = r0 + ml + 1;
  BNWORD32* t0 = r1 + ml + 1;
  BNWORD32* t1 = t0 + ml + 1;
  BNWORD32* q = t1 + ml + 1;
  BNWORD32* prod = q + ml + 1;
  BNWORD32* num = prod + 2 * (ml + 1);
  BNWORD32* dcopy = num + big;
  BNWORD32* quot = dcopy + ml;
  // r1 = src reduced below the modulus.
  bniZero_32(r1, ml + 1);
  if (sl >= ml) {
    bniCopy_32(num, src->words, sl);
    bniCopy_32(dcopy, mod->words, ml);
    bniDiv_32(quot, num, sl, dcopy, ml);
    bniCopy_32(r1, num, ml);
  } else {
    bniCopy_32(r1, src->words, sl);
  }
  bniZero_32(r0, ml + 1);
  bniCopy_32(r0, mod->words, ml);
  bniZero_32(t0, ml + 1);
  bniZero_32(t1, ml + 1);
  t1[0] = 1;
  // Cofactor magnitudes grow as t(k+1) = t(k-1) + q*t(k); the sign of t(k)
  // alternates, positive for odd k.
  unsigned k = 1;
  for (;;) {
    const unsigned l1 = bniNorm_32(r1, ml);
    if (l1 == 0) return 1;  // gcd > 1: no inverse
    if (l1 == 1 && r1[0] == 1) break;
    const unsigned l0 = bniNorm_32(r0, ml);
    // r0 = r0 mod r1, q = r0 / r1
    bniCopy_32(dcopy, r1, l1);
    q[l0 - l1] = bniDiv_32(q, r0, l0, dcopy, l1);
    bniZero_32(r0 + l1, ml + 1 - l1);
    const unsigned lq = bniNorm_32(q, l0 - l1 + 1), lt = bniNorm_32(t1, ml + 1);
    if (lq && lt) {
      bniMul_32(prod, q, lq, t1, lt);
      const unsigned lp = bniNorm_32(prod, lq + lt);  // at most ml + 1
      BNWORD32 c = bniAddN_32(t0, prod, lp);
      bniAdd1_32(t0 + lp, ml + 1 - lp, c);
    }
    std::swap(r0, r1);
    std::swap(t0, t1);
    k++;
  }
  if (k % 2 == 0) {
    // Negative cofactor: the inverse is mod - |t|.
    bniCopy_32(t0, mod->words, ml);
    t0[ml] = 0;
    bniSubN_32(t0, t1, ml + 1);
    return setWords(dest, t0, ml + 1);
  }
  return setWords(dest, t1, ml + 1);
}

int bnLShift_32(BigNum* bn, unsigned bits) {
  unsigned n = normLen(bn);
  if (n == 0 || bits == 0) {
    bn->size = n;
    return 0;
  }
  unsigned ws = bits / 32, s = bits % 32;
  if (bnResize(bn, n + ws + 1)) return -1;
  BNWORD32* w = bn->words;
  w[n] = s ? bniLshift_32(w, n, s) : 0;
  bniCopy_32(w + ws, w, n + 1);
  bniZero_32(w, ws);
  bn->size = bniNorm_32(w, n + ws + 1);
  return 0;
}

void bnRShift_32(BigNum* bn, unsigned bits) {
  unsigned n = normLen(bn);
  unsigned ws = bits / 32, s = bits % 32;
  if (ws >= n) {
    bn->size = 0;
    return;
  }
  BNWORD32* w = bn->words;
  bniCopy_32(w, w + ws, n - ws);
  n -= ws;
  if (s) bniRshift_32(w, n, s);
  bn->size = bniNorm_32(w, n);
}

unsigned bnMakeOdd_32(BigNum* bn) {
  unsigned n = normLen(bn);
  if (n == 0) {
    bn->size = 0;
    return 0;
  }
  BNWORD32* w = bn->words;
  unsigned z = 0;
  while (w[z] == 0) z++;
  unsigned b = static_cast<unsigned>(__builtin_ctz(w[z]));
  bniCopy_32(w, w + z, n - z);
  n -= z;
  if (b) bniRshift_32(w, n, b);
  if (w[n - 1] == 0) n--;
  bn->size = n;
  return 32 * z + b;
}

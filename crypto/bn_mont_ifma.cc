// The AVX-512 IFMA Montgomery kernel: 52-bit digits, eight to a register,
// multiplied with vpmadd52luq/vpmadd52huq (the low and high 52 bits of
// 52x52-bit products added into 64-bit lanes).
//
// One product a*b/R runs over the D digits of b, least significant first
// (R = 2^(52D), D the least with R > 4m): the accumulator A gets a*b[i] and
// q*m, where q makes its lowest digit vanish, and moves down one digit. Lanes
// are not carried between steps: each gains less than 2^54 per step, so D
// steps stay below 2^64 for D up to 1023 (the kernel takes moduli up to
// 16384 bits). The products' low halves L and high halves H come from fresh
// zero registers, so the only chain from step to step through A is one
// shift and two additions; q, the digit that must wait for A, is worked out
// on the scalar side from A's two lowest lanes, the second of which the
// vector side has ready a step ahead. Inputs below 2m give a result below 2m
// (almost Montgomery multiplication); the digits are carried once at the
// end. Nothing branches on, or indexes memory by, the values.
#include <cstring>

#include "crypto/bn_mont.h"

#if defined(__x86_64__) && defined(__GNUC__)
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace bnmont {
namespace {

__extension__ using U128 = unsigned __int128;

constexpr Slot kMask52 = (Slot{1} << 52) - 1;
constexpr unsigned kMaxDigits = 1023;
constexpr unsigned kRegisterRegs = 10;  // up to 80 digits stay in registers

#define OSTRAK_IFMA __attribute__((target("avx512f,avx512ifma,bmi2")))

unsigned digitsFor(unsigned words) { return (32 * words + 2 + 51) / 52; }

unsigned slotsFor(unsigned words) {
  unsigned d = digitsFor(words);
  return d > kMaxDigits ? 0 : (d + 7) / 8 * 8;
}

unsigned scratchFor(unsigned slots) { return slots + 8; }

// The scalar side of one step: from x, y (A's lanes 0 and 1) and b[i], the
// quotient digit q, the carry c out of lane 0, and the next x.
struct Step {
  Slot q, c, next;
};
OSTRAK_IFMA inline Step scalarStep(Slot x, Slot y, Slot bi, Slot a0, Slot a1, Slot m0, Slot m1,
                                   Slot inv) {
  U128 pab = static_cast<U128>(a0) * bi;
  Slot t = x + (static_cast<Slot>(pab) & kMask52);
  Slot q = (t * inv) & kMask52;
  U128 pmq = static_cast<U128>(m0) * q;
  Slot c = (t + (static_cast<Slot>(pmq) & kMask52)) >> 52;
  Slot next = y + ((a1 * bi) & kMask52) + ((m1 * q) & kMask52) + c +
              static_cast<Slot>(pab >> 52) + static_cast<Slot>(pmq >> 52);
  return {q, c, next};
}

// Carries the lanes of t (slots of them) into 52-bit digits in r.
inline void carryOut(Slot* r, const Slot* t, unsigned slots) {
  Slot c = 0;
  for (unsigned j = 0; j < slots; j++) {
    Slot s = t[j] + c;
    r[j] = s & kMask52;
    c = s >> 52;
  }
}

// One product with V registers per value, all held in registers: start()
// loads a and m, step(i) takes digit i of b, finish() carries the lanes
// into r.
template <unsigned V>
struct RegProduct {
  __m512i A[V], av[V], mv[V];
  Slot a0, a1, m0, m1, inv, x, y;
  const Slot* b;

  OSTRAK_IFMA __attribute__((always_inline)) void start(const Slot* a, const Slot* bb, const Ctx& c) {
    const Slot* m = c.m;
    for (unsigned v = 0; v < V; v++) {
      A[v] = _mm512_setzero_si512();
      av[v] = _mm512_loadu_si512(a + 8 * v);
      mv[v] = _mm512_loadu_si512(m + 8 * v);
    }
    a0 = a[0];
    a1 = a[1];
    m0 = m[0];
    m1 = m[1];
    inv = c.inv;
    x = y = 0;
    b = bb;
  }

  OSTRAK_IFMA __attribute__((always_inline)) void step(unsigned i) {
    const __m512i zero = _mm512_setzero_si512();
    const Slot bi = b[i];
    const Step s = scalarStep(x, y, bi, a0, a1, m0, m1, inv);
    const __m512i B = _mm512_set1_epi64(static_cast<long long>(bi));
    const __m512i Q = _mm512_set1_epi64(static_cast<long long>(s.q));
    __m512i L[V], H[V];
    for (unsigned v = 0; v < V; v++) {
      L[v] = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, av[v], B), mv[v], Q);
      H[v] = _mm512_madd52hi_epu64(_mm512_madd52hi_epu64(zero, av[v], B), mv[v], Q);
    }
    for (unsigned v = 0; v < V; v++) {
      const __m512i An = v + 1 < V ? A[v + 1] : zero;
      const __m512i Ln = v + 1 < V ? L[v + 1] : zero;
      A[v] = _mm512_add_epi64(
          _mm512_add_epi64(_mm512_alignr_epi64(An, A[v], 1), _mm512_alignr_epi64(Ln, L[v], 1)), H[v]);
    }
    A[0] = _mm512_mask_add_epi64(A[0], 1, A[0], _mm512_set1_epi64(static_cast<long long>(s.c)));
    x = s.next;
    y = static_cast<Slot>(_mm_extract_epi64(_mm512_castsi512_si128(A[0]), 1));
  }

  OSTRAK_IFMA __attribute__((always_inline)) void finish(Slot* r) {
    alignas(64) Slot t[8 * V];
    for (unsigned v = 0; v < V; v++) _mm512_store_si512(t + 8 * v, A[v]);
    carryOut(r, t, 8 * V);
  }
};

template <unsigned V>
OSTRAK_IFMA void mulRegs(Slot* r, const Slot* a, const Slot* b, const Ctx& c) {
  const unsigned digits = c.rbits / 52;
  RegProduct<V> p;
  p.start(a, b, c);
  for (unsigned i = 0; i < digits; i++) p.step(i);
  p.finish(r);
}

// Two products modulo two moduli of the same digit count, their steps
// interleaved so that each one's wait for its quotient digit is spent on
// the other's work.
template <unsigned V>
OSTRAK_IFMA void mulRegs2(Slot* r1, const Slot* a1, const Slot* b1, const Ctx& c1, Slot* r2,
                          const Slot* a2, const Slot* b2, const Ctx& c2) {
  const unsigned digits = c1.rbits / 52;
  RegProduct<V> p, q;
  p.start(a1, b1, c1);
  q.start(a2, b2, c2);
  for (unsigned i = 0; i < digits; i++) {
    p.step(i);
    q.step(i);
  }
  p.finish(r1);
  q.finish(r2);
}

// The product for more registers than fit: A lives in the scratch array,
// and each step walks it register by register.
OSTRAK_IFMA void mulMemory(Slot* r, const Slot* a, const Slot* b, const Ctx& c) {
  const unsigned digits = c.rbits / 52;
  const unsigned regs = c.slots / 8;
  const Slot* m = c.m;
  Slot* A = c.scratch;  // slots + 8: the last register stays zero
  std::memset(A, 0, (c.slots + 8) * sizeof(Slot));
  const __m512i zero = _mm512_setzero_si512();
  const Slot a0 = a[0], a1 = a[1], m0 = m[0], m1 = m[1];
  Slot x = 0, y = 0;
  for (unsigned i = 0; i < digits; i++) {
    const Slot bi = b[i];
    const Step s = scalarStep(x, y, bi, a0, a1, m0, m1, c.inv);
    const __m512i B = _mm512_set1_epi64(static_cast<long long>(bi));
    const __m512i Q = _mm512_set1_epi64(static_cast<long long>(s.q));
    __m512i av = _mm512_loadu_si512(a), mv = _mm512_loadu_si512(m);
    __m512i L = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, av, B), mv, Q);
    __m512i H = _mm512_madd52hi_epu64(_mm512_madd52hi_epu64(zero, av, B), mv, Q);
    __m512i Acur = _mm512_loadu_si512(A);
    for (unsigned v = 0; v < regs; v++) {
      __m512i Ln = zero, Hn = zero;
      if (v + 1 < regs) {
        av = _mm512_loadu_si512(a + 8 * (v + 1));
        mv = _mm512_loadu_si512(m + 8 * (v + 1));
        Ln = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, av, B), mv, Q);
        Hn = _mm512_madd52hi_epu64(_mm512_madd52hi_epu64(zero, av, B), mv, Q);
      }
      const __m512i An = _mm512_loadu_si512(A + 8 * (v + 1));
      _mm512_storeu_si512(A + 8 * v,
                          _mm512_add_epi64(_mm512_add_epi64(_mm512_alignr_epi64(An, Acur, 1),
                                                            _mm512_alignr_epi64(Ln, L, 1)),
                                           H));
      Acur = An;
      L = Ln;
      H = Hn;
    }
    A[0] += s.c;
    x = s.next;
    y = A[1];
  }
  carryOut(r, A, c.slots);
}

template <unsigned V>
OSTRAK_IFMA void sqrRegs(Slot* r, const Slot* a, const Ctx& c) {
  mulRegs<V>(r, a, a, c);
}
OSTRAK_IFMA void sqrMemory(Slot* r, const Slot* a, const Ctx& c) { mulMemory(r, a, a, c); }

// r - m into d with a borrow out, digit by digit; k is m's multiple (1 or 2).
Slot subtract(Slot* d, const Slot* r, const Slot* m, unsigned slots, unsigned k) {
  Slot borrow = 0, mc = 0;
  for (unsigned j = 0; j < slots; j++) {
    Slot mj = m[j];
    if (k == 2) {
      Slot w = (mj << 1) | mc;
      mc = mj >> 51;
      mj = w & kMask52;
    }
    Slot x = r[j] - mj - borrow;
    d[j] = x & kMask52;
    borrow = x >> 63;
  }
  return borrow;
}

void pick(Slot* r, const Slot* d, Slot borrow, unsigned slots) {
  Slot keep = 0 - borrow;  // borrowed: r was below, keep it
  __asm__("" : "+r"(keep));
  for (unsigned j = 0; j < slots; j++) r[j] = (r[j] & keep) | (d[j] & ~keep);
}

void canon(Slot* r, const Ctx& c) {
  Slot* d = c.scratch;
  pick(r, d, subtract(d, r, c.m, c.slots, 1), c.slots);
}

// 2r < 4m < R fits the digits; one subtraction of 2m brings it below 2m.
void dbl(Slot* r, const Ctx& c) {
  Slot carry = 0;
  for (unsigned j = 0; j < c.slots; j++) {
    Slot w = (r[j] << 1) | carry;
    carry = w >> 52;
    r[j] = w & kMask52;
  }
  Slot* d = c.scratch;
  pick(r, d, subtract(d, r, c.m, c.slots, 2), c.slots);
}

// Eight slots at a time: every entry is loaded whole and blended in under a
// mask that a compare of its index with idx sets for one entry only.
OSTRAK_IFMA void select(Slot* dst, const Slot* table, unsigned count, unsigned slots, unsigned idx) {
  const __m512i want = _mm512_set1_epi64(idx);
  for (unsigned c = 0; c < slots; c += 8) _mm512_storeu_si512(dst + c, _mm512_setzero_si512());
  for (unsigned j = 0; j < count; j++) {
    const __mmask8 k = _mm512_cmpeq_epi64_mask(_mm512_set1_epi64(j), want);
    const Slot* e = table + static_cast<size_t>(j) * slots;
    for (unsigned c = 0; c < slots; c += 8) {
      __m512i d = _mm512_loadu_si512(dst + c);
      _mm512_storeu_si512(dst + c, _mm512_mask_mov_epi64(d, k, _mm512_loadu_si512(e + c)));
    }
  }
}

void init(Ctx* c, Slot* mstore, const BNWORD32* m) {
  const unsigned digits = digitsFor(c->words);
  c->slots = slotsFor(c->words);
  c->rbits = 52 * digits;
  load(mstore, c->slots, 52, m, c->words);
  c->m = mstore;
  c->inv = negInv64(mstore[0]) & kMask52;
  switch (c->slots / 8) {
#define OSTRAK_IFMA_CASE(v) \
  case v:                   \
    c->mul = mulRegs<v>;    \
    c->sqr = sqrRegs<v>;    \
    c->mul2 = mulRegs2<v>;  \
    break;
    OSTRAK_IFMA_CASE(1)
    OSTRAK_IFMA_CASE(2)
    OSTRAK_IFMA_CASE(3)
    OSTRAK_IFMA_CASE(4)
    OSTRAK_IFMA_CASE(5)
    OSTRAK_IFMA_CASE(6)
    OSTRAK_IFMA_CASE(7)
    OSTRAK_IFMA_CASE(8)
    OSTRAK_IFMA_CASE(9)
    OSTRAK_IFMA_CASE(10)
#undef OSTRAK_IFMA_CASE
    default:
      c->mul = mulMemory;
      c->sqr = sqrMemory;
      c->mul2 = nullptr;
  }
  static_assert(kRegisterRegs == 10, "the cases above run to kRegisterRegs");
}

bool hasIfma() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma") &&
         __builtin_cpu_supports("bmi2");
}

}  // namespace

const Kernel kIfma = {kBniKernelIfma, "ifma", 52, hasIfma, slotsFor, scratchFor, init, canon, dbl, select};

}  // namespace bnmont

#else  // no x86-64: the kernel is never available

namespace bnmont {
namespace {
bool never() { return false; }
unsigned none(unsigned) { return 0; }
void noInit(Ctx*, Slot*, const BNWORD32*) {}
void noOp(Slot*, const Ctx&) {}
}  // namespace
const Kernel kIfma = {kBniKernelIfma, "ifma", 52, never, none, none, noInit, noOp, noOp, selectEntry};
}  // namespace bnmont

#endif

// Word-level big-number primitives on arrays of 32-bit words.
//
// Every array is least significant word first. The simple routines form
// products in 64 bits; the exponentiations hand their products to a
// Montgomery kernel (crypto/bn_mont.h), which works on pairs of words as
// 64-bit limbs or on 52-bit digits. Callers (crypto/bn_ops32.cc) give the
// routines every buffer they need, except the exponentiations, which take
// one block from the allocator they are given. Lengths are in words.
// Nothing here keeps state but the choice of kernel (an atomic), so every
// routine is thread-safe on distinct arrays.
#ifndef OSTRAK_CRYPTO_BN32_H_
#define OSTRAK_CRYPTO_BN32_H_

#include <cstdint>

using BNWORD32 = uint32_t;
using BNWORD64 = uint64_t;

// --- Simple array operations ---
BNWORD32 bniAddN_32(BNWORD32* a, const BNWORD32* b, unsigned n);  // a += b, carry out
BNWORD32 bniSubN_32(BNWORD32* a, const BNWORD32* b, unsigned n);  // a -= b, borrow out
BNWORD32 bniAdd1_32(BNWORD32* a, unsigned n, BNWORD32 w);         // a += w, carry out
BNWORD32 bniSub1_32(BNWORD32* a, unsigned n, BNWORD32 w);         // a -= w, borrow out
void bniNeg_32(BNWORD32* a, unsigned n);                          // a = 2^(32n) - a
int bniCmp_32(const BNWORD32* a, const BNWORD32* b, unsigned n);  // -1, 0, 1 from the top
// Shift by 1..31 bits; the return holds the bits shifted out (left: in the
// low bits; right: in the high bits).
BNWORD32 bniLshift_32(BNWORD32* a, unsigned n, unsigned shift);
BNWORD32 bniRshift_32(BNWORD32* a, unsigned n, unsigned shift);
unsigned bniBits_32(const BNWORD32* a, unsigned n);
unsigned bniNorm_32(const BNWORD32* a, unsigned n);  // length without leading zero words
void bniCopy_32(BNWORD32* dst, const BNWORD32* src, unsigned n);  // overlap-safe
void bniZero_32(BNWORD32* a, unsigned n);

// --- Multiplication by one word ---
void bniMulN1_32(BNWORD32* out, const BNWORD32* in, unsigned n, BNWORD32 k);  // n+1 words out
BNWORD32 bniMulAdd1_32(BNWORD32* out, const BNWORD32* in, unsigned n, BNWORD32 k);
BNWORD32 bniMulSub1_32(BNWORD32* out, const BNWORD32* in, unsigned n, BNWORD32 k);

// --- Full products ---
// prod gets alen + blen words; prod must not overlap a or b.
void bniMul_32(BNWORD32* prod, const BNWORD32* a, unsigned alen, const BNWORD32* b,
               unsigned blen);
// prod gets 2n words; prod must not overlap a.
void bniSquare_32(BNWORD32* prod, const BNWORD32* a, unsigned n);

// --- Division ---
// (nh:nl) / d with nh < d: quotient returned, remainder in *rem.
BNWORD32 bniDiv21_32(BNWORD32* rem, BNWORD32 nh, BNWORD32 nl, BNWORD32 d);
// q gets n words of the quotient of a / d (d != 0); returns the remainder.
// q may equal a.
BNWORD32 bniDiv1_32(BNWORD32* q, const BNWORD32* a, unsigned n, BNWORD32 d);
// a mod d for any nonzero 32-bit d.
BNWORD32 bniModQ_32(const BNWORD32* a, unsigned n, BNWORD32 d);
// Long division of n (nlen words) by d (dlen words, top word nonzero,
// nlen >= dlen). The low dlen words of n become the remainder; q receives
// the low nlen - dlen words of the quotient and the top quotient word is
// returned. d is shifted in place while working and restored before return.
BNWORD32 bniDiv_32(BNWORD32* q, BNWORD32* n, unsigned nlen, BNWORD32* d, unsigned dlen);

// --- Montgomery arithmetic (odd modulus m of n words, top word nonzero) ---
// -m[0]^-1 mod 2^32.
BNWORD32 bniMontInv1_32(BNWORD32 m0);
// a holds 2n words; on return its upper n words hold a / 2^(32n) mod m,
// fully reduced (below m). Needs a < m * 2^(32n).
void bniMontReduce_32(BNWORD32* a, const BNWORD32* m, unsigned n, BNWORD32 inv);

// The Montgomery kernels under the exponentiations (crypto/bn_mont.h):
// 0 portable (64-bit limbs, 128-bit products), 1 mulx (the same on x86-64
// processors with BMI2), 2 AVX-512 IFMA (52-bit digits).
enum { kBniKernelPortable = 0, kBniKernelMulx = 1, kBniKernelIfma = 2, kBniKernelCount = 3 };
bool bniKernelAvailable_32(int kernel);
// The kernel the exponentiations use: the best the processor runs, unless
// the environment variable OSTRAK_BN_KERNEL names another it runs
// ("portable", "mulx", "ifma").
int bniKernel_32();
// Test hook: makes every later exponentiation use this kernel; returns the
// kernel in force before, or -1 (nothing changed) when the processor lacks
// it.
int bniSelectKernel_32(int kernel);

// One Montgomery product r = a*b / 2^(32n) mod m (a, b below m; square:
// a*a) by the named kernel. False when the processor lacks that kernel.
// The exponentiations pick their kernel themselves; this entry lets each
// kernel be checked on its own.
bool bniMontMulKernel_32(int kernel, bool square, BNWORD32* r, const BNWORD32* a,
                         const BNWORD32* b, const BNWORD32* m, unsigned n);

// Exponentiation. Each result is n words and below the modulus; the
// modulus is odd with a nonzero top word. Returns 0, or -1 when a work
// buffer cannot be allocated (allocation goes through alloc/free below).
struct BniAllocator {
  void* (*alloc)(void* ctx, unsigned bytes);  // null on failure
  void (*free)(void* ctx, void* block, unsigned bytes);  // wipes, then frees
  void* ctx;
};
// result = base^exp mod m; base has at most n words and is below m.
// Sliding windows over the exponent's bits (for exponents that are not
// secret).
int bniExpMod_32(BNWORD32* result, const BNWORD32* base, unsigned blen, const BNWORD32* exp,
                 unsigned elen, const BNWORD32* m, unsigned n, const BniAllocator& al);
// result = b1^e1 * b2^e2 mod m; bases below m.
int bniDoubleExpMod_32(BNWORD32* result, const BNWORD32* b1, unsigned b1len, const BNWORD32* e1,
                       unsigned e1len, const BNWORD32* b2, unsigned b2len, const BNWORD32* e2,
                       unsigned e2len, const BNWORD32* m, unsigned n, const BniAllocator& al);
// result = 2^exp mod m.
int bniTwoExpMod_32(BNWORD32* result, const BNWORD32* exp, unsigned elen, const BNWORD32* m,
                    unsigned n, const BniAllocator& al);
// result = base^exp mod m for a secret exponent: fixed windows over all
// 32*elen bits of exp (leading zeros too), each window's table entry read
// by a pass over the whole table, so the sequence of products, squarings
// and memory reads is the same for every exponent of elen words.
int bniExpModFixed_32(BNWORD32* result, const BNWORD32* base, unsigned blen, const BNWORD32* exp,
                      unsigned elen, const BNWORD32* m, unsigned n, const BniAllocator& al);
// The RSA private operation by the Chinese remainder theorem, in one block
// of memory: with s1 = (x mod p)^(d mod (p-1)) mod p and s2 likewise for q,
// out = s1 + p*((s2 - s1) u mod q), np + nq words (x^d mod pq when u is
// p^-1 mod q). p and q are odd with nonzero top words; out may be x. The
// exponentiations run over fixed windows (bniExpModFixed_32) of the whole
// length of p and q. -1 when memory is short, or when p or q is 1.
int bniExpModCRT_32(BNWORD32* out, const BNWORD32* x, unsigned xlen, const BNWORD32* d,
                    unsigned dlen, const BNWORD32* p, unsigned np, const BNWORD32* q, unsigned nq,
                    const BNWORD32* u, unsigned ulen, const BniAllocator& al);

// Window sizes of the sliding-window exponentiations: the smallest i with
// exponent bits <= bnExpModThreshTable[i].
inline constexpr unsigned bnExpModThreshTable[] = {5, 23, 80, 240, 672, 1792, ~0u};
unsigned bniExpModWindow_32(unsigned expBits);
// Window width of the fixed-window exponentiation for an exponent of
// expBits bits.
unsigned bniExpModFixedWindow_32(unsigned expBits);

#endif  // OSTRAK_CRYPTO_BN32_H_

// The scalar Montgomery kernels: 64-bit limbs, 128-bit products, column
// sums (crypto/bn_mont_comba.inc). The portable kernel is plain C++; the
// mulx kernel is the same loops compiled for BMI2, each product through the
// mulx intrinsic, which leaves the flags alone so the compiler can keep the
// column's add-with-carry chain running between products.
#include <cstring>

#include "crypto/bn_mont.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define OSTRAK_BN_X86 1
// GCC 12 reports its own intrinsics' placeholder operands as possibly
// uninitialised once they are inlined at -O3.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace bnmont {
namespace {

__extension__ using U128 = unsigned __int128;

namespace portable {
inline void mac(Slot& c0, Slot& c1, Slot& c2, Slot x, Slot y) {
  U128 p = static_cast<U128>(x) * y;
  U128 s = (static_cast<U128>(c1) << 64 | c0) + p;
  c2 += s < p;
  c0 = static_cast<Slot>(s);
  c1 = static_cast<Slot>(s >> 64);
}
#include "crypto/bn_mont_comba.inc"
}  // namespace portable

bool always() { return true; }
unsigned limbs(unsigned words) { return (words + 1) / 2; }
unsigned twice(unsigned slots) { return 2 * slots; }
void noCanon(Slot*, const Ctx&) {}

#ifdef OSTRAK_BN_X86
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("bmi2")
#endif
namespace mulx {
inline void mac(Slot& c0, Slot& c1, Slot& c2, Slot x, Slot y) {
  unsigned long long hi;
  Slot lo = _mulx_u64(x, y, &hi);
  U128 p = static_cast<U128>(hi) << 64 | lo;
  U128 s = (static_cast<U128>(c1) << 64 | c0) + p;
  c2 += s < p;
  c0 = static_cast<Slot>(s);
  c1 = static_cast<Slot>(s >> 64);
}
#include "crypto/bn_mont_comba.inc"
}  // namespace mulx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool hasMulx() { return __builtin_cpu_supports("bmi2"); }
#else
bool hasMulx() { return false; }
#endif

}  // namespace

const Kernel kPortable = {kBniKernelPortable, "portable", 64, always, limbs, twice,
                          portable::init, noCanon, portable::dbl, selectEntry};
#ifdef OSTRAK_BN_X86
const Kernel kMulx = {kBniKernelMulx, "mulx", 64, hasMulx, limbs, twice,
                      mulx::init, noCanon, mulx::dbl, selectEntry};
#else
const Kernel kMulx = {kBniKernelMulx, "mulx", 64, hasMulx, limbs, twice,
                      portable::init, noCanon, portable::dbl, selectEntry};
#endif

}  // namespace bnmont

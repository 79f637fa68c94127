// Montgomery kernels: the multiply and square under every exponentiation of
// the word layer (crypto/bn_expmod32.cc).
//
// A kernel keeps the numbers modulo one odd modulus in a representation of
// its own, an array of 64-bit slots:
//   - the scalar kernels (portable, and mulx for x86-64 processors with BMI2
//     and ADX) use 64-bit limbs, least significant first: each limb is a pair
//     of 32-bit words, an odd word count padded with a zero word. Every value
//     they give back is below the modulus.
//   - the AVX-512 IFMA kernel uses 52-bit digits, one per slot, the slots
//     padded to a multiple of eight with zero digits. Its values are below
//     twice the modulus ("almost" reduced); canon() brings one below it.
// In both, mul(a, b) = a*b/R mod m, where R = 2^rbits is the kernel's radix
// for this modulus, and inputs may be any values the kernel gave out (or
// converted values below the modulus).
//
// The multiply and square are specialised by size: the scalar kernels have
// fixed-size column loops for 8, 16, 32 and 64 limbs (16 to 128 words), the
// IFMA kernel keeps up to ten registers of digits (4096 bits and a little
// more) in registers; other sizes take the general loops. None of them
// branches on, or indexes memory by, the values it multiplies.
//
// Which kernel the exponentiations use: the best one the processor runs
// (IFMA, then mulx, then portable), unless the environment variable
// OSTRAK_BN_KERNEL names another ("portable", "mulx" or "ifma"); a test may
// force one with bniSelectKernel_32 (crypto/bn32.h). The choice is one
// process-wide atomic, read at the start of each exponentiation.
#ifndef OSTRAK_CRYPTO_BN_MONT_H_
#define OSTRAK_CRYPTO_BN_MONT_H_

#include <cstdint>

#include "crypto/bn32.h"

namespace bnmont {

using Slot = uint64_t;
struct Kernel;

// One modulus as a kernel holds it. `scratch` belongs to whoever owns the
// context (one exponentiation) and is rewritten by every product.
struct Ctx {
  const Kernel* kernel;
  unsigned words;     // 32-bit words of the modulus (top word nonzero)
  unsigned slots;     // slots per value
  unsigned rbits;     // R = 2^rbits
  const Slot* m;      // the modulus, `slots` slots
  Slot inv;           // -m^-1 mod 2^64 (scalar) or mod 2^52 (IFMA)
  Slot* scratch;      // kernel->scratchSlots(slots) slots
  void (*mul)(Slot* r, const Slot* a, const Slot* b, const Ctx& c);  // r may alias a, b
  void (*sqr)(Slot* r, const Slot* a, const Ctx& c);                 // r may alias a
  // Two products at once, r1 = a1 b1 / R modulo c1's modulus and r2 = a2 b2
  // / R modulo c2's, for two contexts of the same kernel, slots and rbits;
  // null when the kernel has no such product for this size.
  void (*mul2)(Slot* r1, const Slot* a1, const Slot* b1, const Ctx& c1, Slot* r2, const Slot* a2,
               const Slot* b2, const Ctx& c2);
};

struct Kernel {
  int id;  // kBniKernel* of crypto/bn32.h
  const char* name;
  unsigned digitBits;  // 64 or 52
  bool (*available)();
  // Slots per value for a modulus of `words` words (top word nonzero), 0
  // when the kernel does not take moduli that long.
  unsigned (*slots)(unsigned words);
  unsigned (*scratchSlots)(unsigned slots);
  // Fills c (all but scratch) for the modulus m of c->words words; mstore
  // receives the modulus's slots.
  void (*init)(Ctx* c, Slot* mstore, const BNWORD32* m);
  // r = r mod m (from a value below 2m); no-op for the scalar kernels.
  void (*canon)(Slot* r, const Ctx& c);
  // r = 2r mod m, within the bounds of mul's results.
  void (*dbl)(Slot* r, const Ctx& c);
  // dst = entry idx of a table of count values of `slots` slots each, read
  // by a pass over every entry, each masked in or out.
  void (*select)(Slot* dst, const Slot* table, unsigned count, unsigned slots, unsigned idx);
};

// The kernels of this build, by id (null for one not compiled in).
const Kernel* kernelById(int id);
// The kernel the exponentiations use now (see above).
const Kernel* currentKernel();

// Between 32-bit words and slots of `bits` (64 or 52) bits each. load: the
// value of x (xlen words) into `slots` slots, zero above; it must fit.
// store: `words` words from the slots (bits above them are dropped).
void load(Slot* r, unsigned slots, unsigned bits, const BNWORD32* x, unsigned xlen);
void store(BNWORD32* x, unsigned words, const Slot* r, unsigned slots, unsigned bits);

// -m0^-1 mod 2^64 for odd m0.
Slot negInv64(Slot m0);

// Kernel::select in plain C++ (the scalar kernels' own).
void selectEntry(Slot* dst, const Slot* table, unsigned count, unsigned slots, unsigned idx);

// The kernels, defined in bn_mont_scalar.cc and bn_mont_ifma.cc.
extern const Kernel kPortable;
extern const Kernel kMulx;  // available() false off x86-64
extern const Kernel kIfma;  // available() false off x86-64

}  // namespace bnmont

#endif  // OSTRAK_CRYPTO_BN_MONT_H_

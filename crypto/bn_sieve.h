// The sieve of prime generation: a bitmap over candidates start + i*step.
//
// Bit i (bit i mod 8, least significant first, of byte i div 8) stands for
// start + i*step; a set bit means the candidate has no odd prime factor
// below 65536 that the sieve knows of. Building needs only the caller's
// array and a small-prime table made on the stack each time, so every
// routine is thread-safe on distinct arrays.
#ifndef OSTRAK_CRYPTO_BN_SIEVE_H_
#define OSTRAK_CRYPTO_BN_SIEVE_H_

#include "crypto/bn.h"

// Fills the sieve for start + i*step (step one word) and removes multiples
// of every odd prime below 65536. Each further level k removes candidates x
// for which 2^k*x + 2^k - 1 has such a factor. Always 0.
int sieveBuild(unsigned char* array, unsigned size, const BigNum* start, BNWORD32 step,
               unsigned levels);
// The same with a step of any length.
int sieveBuildBig(unsigned char* array, unsigned size, const BigNum* start, const BigNum* step,
                  unsigned levels);
// Index of the next set bit after pos, or 0 when there is none (index 0 is
// never returned: callers test bit 0 themselves).
unsigned sieveSearch(const unsigned char* array, unsigned size, unsigned pos);
// Clears bits first, first + step, ... below size*8.
void sieveSingle(unsigned char* array, unsigned size, unsigned first, unsigned step);

#endif  // OSTRAK_CRYPTO_BN_SIEVE_H_

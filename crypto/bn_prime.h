// Probable-prime search for key generation.
//
// Candidates are sieved (no odd factor below 65536), then tested with a
// base-2 Fermat/Euler test and Miller-Rabin with the bases 2, 3, 5, 7, 11,
// 13 and 17. Progress goes to an optional callback, one character per
// event: '*' before each base and once more when a candidate passes all,
// '.' after each composite candidate, '/' after each exhausted sieve window.
// A negative callback return cancels the search and becomes its result.
//
// Nothing here keeps state between calls: the random index function gets
// its caller's argument (a random context), the callback its own, so
// several threads may search at once.
#ifndef OSTRAK_CRYPTO_BN_PRIME_H_
#define OSTRAK_CRYPTO_BN_PRIME_H_

#include "crypto/bn.h"

// Progress callback: (its argument, character); negative cancels.
using BnProgressFn = int (*)(void* arg, int c);
// Random index function: (its argument, n > 0) -> an index in 0..n-1.
using BnRandIndexFn = unsigned (*)(void* arg, unsigned n);

// Replaces bn by the first probable prime found from it (bn made odd first)
// such that none of the exponents divides prime - 1. The exponents are odd
// and the list ends with 0 (the first may be 0: no exponent). Without a
// random index function the result is the smallest such probable prime at
// or above the start (for starts above 65536); with one, the choice is
// spread over up to 256 sieve survivors of a window.
// Returns the number of modular exponentiations spent on composites plus 7,
// -1 when memory runs out, or the callback's negative value.
int bnPrimeGen(BigNum* bn, BnRandIndexFn randIndex, void* randArg, BnProgressFn progress,
               void* progressArg, unsigned exponent, ...);
// The same with the exponents as an array ending with 0.
int bnPrimeGenList(BigNum* bn, BnRandIndexFn randIndex, void* randArg, BnProgressFn progress,
                   void* progressArg, const unsigned* exponents);
// Replaces bn by the first probable prime bn + k*step, k >= 0 in order.
// With an even step the start must be odd. Same results as bnPrimeGen.
int bnPrimeGenStrong(BigNum* bn, const BigNum* step, BnProgressFn progress, void* progressArg);

// 0 for a probable prime, a positive count of exponentiations performed for
// a composite, -1 out of memory, or the callback's negative value. e and a
// are scratch numbers.
int primeTest(const BigNum* bn, BigNum* e, BigNum* a, BnProgressFn progress, void* progressArg);

#endif  // OSTRAK_CRYPTO_BN_PRIME_H_

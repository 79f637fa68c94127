// Fixed discrete-log groups that key generation may take instead of
// searching: four DSA groups (p with a prime q dividing p - 1, q of
// qoxDiscreteLogQBits(size) bits) and the four ElGamal groups of the MODP
// primes of RFC 3526 with generator 2, of 1536, 2048, 3072 and 4096 bits.
// The numbers are big-endian bytes in constant tables.
#ifndef OSTRAK_CRYPTO_FIXED_GROUPS_H_
#define OSTRAK_CRYPTO_FIXED_GROUPS_H_

#include <cstddef>
#include <cstdint>

// 1 with every given out-parameter filled when a row has exactly `bits`
// bits; 0 otherwise (the walk stops at the first larger row).
int qoxDSAfixed(unsigned bits, const uint8_t** p, size_t* pLength, const uint8_t** q, size_t* qLength);
int qoxElGfixed(unsigned bits, const uint8_t** p, size_t* pLength, const uint8_t** g, size_t* gLength);

#endif  // OSTRAK_CRYPTO_FIXED_GROUPS_H_

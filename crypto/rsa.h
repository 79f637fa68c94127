// RSA keys (algorithms 1, 2 and 3): key bodies, PKCS #1 v1.5 encryption and
// signatures, decryption and signing with the Chinese remainder theorem,
// secret-body protection in either style, and key generation with public
// exponent 65537. Moduli are limited to 4096 bits.
//
// Thread safety: a key object is used by one thread at a time; generation
// keeps its random context in the prime search's own argument, so several
// generations may run at once.
#ifndef OSTRAK_CRYPTO_RSA_H_
#define OSTRAK_CRYPTO_RSA_H_

#include <cstddef>
#include <cstdint>

#include "crypto/bn.h"
#include "crypto/pkalg.h"

QOXPubKey* rsaPubFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error);
QOXSecKey* rsaSecFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, bool oldProtection,
                         QOXError* error);
QOXSecKey* rsaSecGenerate(QOXContext* context, unsigned bits, bool fast, bool oldProtection,
                          QOXRandomContext* rc, QOXKeyGenProgress progress, void* progressArg,
                          QOXError* error);
// Length of n and e at the start of a body, or the walker's error.
int rsaPubKeyPrefixSize(const uint8_t* buffer, size_t length);
// 4096 when n or `other` (may be null) has more than 4096 bits, else 0.
unsigned rsaKeyTooBig(const BigNum* n, const BigNum* other);
// x = x^d mod pq by the Chinese remainder theorem (u = p^-1 mod q). 0 or
// kQOXErrOutOfMemory.
int bnExpModCRA(BigNum* x, const BigNum* d, const BigNum* p, const BigNum* q, const BigNum* u);

#endif  // OSTRAK_CRYPTO_RSA_H_

// DSA keys (algorithm 17, signatures only): key bodies, FIPS 186 signing and
// verification over a digest (the nonce drawn from an X9.17 generator seeded
// with the secret key and the digest), secret-body protection (new style),
// and key generation with a 160-bit q and p of at most 1024 bits.
//
// Signatures in the DER form are a SEQUENCE of two minimal INTEGERs; the
// reader also takes zero-padded INTEGERs.
//
// Thread safety: a key object is used by one thread at a time.
#ifndef OSTRAK_CRYPTO_DSA_H_
#define OSTRAK_CRYPTO_DSA_H_

#include <cstddef>
#include <cstdint>

#include "crypto/pkalg.h"

QOXPubKey* dsaPubFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error);
QOXSecKey* dsaSecFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error);
QOXSecKey* dsaSecGenerate(QOXContext* context, unsigned bits, bool fast, QOXRandomContext* rc,
                          QOXKeyGenProgress progress, void* progressArg, QOXError* error);
int dsaPubKeyPrefixSize(const uint8_t* buffer, size_t length);

#endif  // OSTRAK_CRYPTO_DSA_H_

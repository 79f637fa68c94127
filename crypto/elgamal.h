// ElGamal keys (algorithm 16, encryption only): key bodies, session-key
// encryption with PKCS #1 v1.5 type 2 padding and its decryption, secret-body
// protection (new style), and key generation over p = 1 mod 2q with
// generator 2, or over a fixed group (crypto/fixed_groups.h).
//
// Thread safety: a key object is used by one thread at a time.
#ifndef OSTRAK_CRYPTO_ELGAMAL_H_
#define OSTRAK_CRYPTO_ELGAMAL_H_

#include <cstddef>
#include <cstdint>

#include "crypto/pkalg.h"

QOXPubKey* elgPubFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error);
QOXSecKey* elgSecFromBuf(QOXContext* context, const uint8_t* buffer, size_t length, QOXError* error);
QOXSecKey* elgSecGenerate(QOXContext* context, unsigned bits, bool fast, QOXRandomContext* rc,
                          QOXKeyGenProgress progress, void* progressArg, QOXError* error);
int elgPubKeyPrefixSize(const uint8_t* buffer, size_t length);

#endif  // OSTRAK_CRYPTO_ELGAMAL_H_

// The cryptographic pseudo-random generator that toolkit code draws from: an
// ANSI X9.17-style generator over the random operations of a one-unit CFB
// context (crypto/cfb.h), seeded with 32 bytes of a base generator and fed a
// fresh block of it at every cycle. The base is normally the global pool
// (crypto/random_pool.h); over the all-zero dummy pool the generator is
// deterministic until bytes are added to it.
//
// The cipher is CAST5, or Triple-DES in FIPS mode. In FIPS mode every cycle
// also mixes in the encrypted current toolkit time.
//
// A draw that cannot run a cycle (the FIPS repeat check failed, or the entry
// gate refuses the CFB calls) ends at once; the rest of the destination is
// zeroed and the stored error state is reported by the next public call.
//
// Ownership and threads: a generator belongs to the toolkit context that made
// it and is used by that context's thread; destroy it through its handle's
// destroy procedure. The pool under it has its own lock.
#ifndef OSTRAK_CRYPTO_X917_H_
#define OSTRAK_CRYPTO_X917_H_

#include <cstdint>

#include "crypto/cipher.h"
#include "crypto/random_pool.h"

struct QOXContext;

// The context's generator over its global-pool handle; null on failure. The
// key-database service is never used in process, so this is always the
// in-process generator.
QOXRandomContext* qoxRandomCreate(QOXContext* context);
QOXRandomContext* qoxRandomCreate_internal(QOXContext* context);
// Over the context's dummy-pool handle: deterministic until bytes are added.
QOXRandomContext* qoxPseudoRandomCreate(QOXContext* context);
// Over the given base generator and cipher; null on failure (nothing is left
// allocated).
QOXRandomContext* qoxRandomCreateX9_17(QOXContext* context, QOXCipherAlgorithm algorithm,
                                       QOXRandomContext* base);

#endif  // OSTRAK_CRYPTO_X917_H_

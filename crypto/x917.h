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

#include <cstddef>
#include <cstdint>

#include "crypto/cipher.h"
#include "crypto/random_pool.h"

struct QOXContext;

// The context's generator: a front end while the key-database service link
// is on (foundation/rpc_client_services.h), else qoxRandomCreate_internal;
// null on failure.
QOXRandomContext* qoxRandomCreate(QOXContext* context);
// The X9.17 generator over the context's global-pool handle.
QOXRandomContext* qoxRandomCreate_internal(QOXContext* context);
// A front end: it adds and draws through qoxRandomAddBytes_back and
// qoxRandomGetBytesEntropy_back (bytes the back end cannot give read as
// zeros), stirs nothing, and owns nothing but its handle.
QOXRandomContext* qoxRandomCreate_frontend(QOXContext* context);

// The back-end entry points of a context's generator: through the RPC client
// while the link is on, else the context's own X9.17 generator
// (crypto/context_random.h). Adding bytes washes them into it (0). A draw
// hands out `count` bytes, charging entropyBits to the pool, in a block of
// the context's memory that the caller frees (QOXFreeData); -11999
// (kQOXErrOutOfMemory) with the outputs cleared when the generator or the
// block cannot be had.
QOXError qoxRandomAddBytes_back(QOXContext* context, const uint8_t* bytes, size_t count);
QOXError qoxRandomGetBytesEntropy_back(QOXContext* context, size_t count, uint32_t entropyBits,
                                       uint8_t** outBuffer, size_t* outLength);
// Over the context's dummy-pool handle: deterministic until bytes are added.
QOXRandomContext* qoxPseudoRandomCreate(QOXContext* context);
// Over the given base generator and cipher; null on failure (nothing is left
// allocated).
QOXRandomContext* qoxRandomCreateX9_17(QOXContext* context, QOXCipherAlgorithm algorithm,
                                       QOXRandomContext* base);

#endif  // OSTRAK_CRYPTO_X917_H_

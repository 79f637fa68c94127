// The random seed file: raw random bytes carried across runs. Naming a file
// mixes it into the global pool (crypto/random_pool.h) and at once rewrites
// it with fresh output, so a seed is never used twice; every freed toolkit
// context rewrites it again with 512 bytes from the pool.
//
// A usable file holds at least 24 bytes; reading it marks the pool seeded.
// The default file is "$QOXPATH/randseed.rnd", else "$HOME/.qox/randseed.rnd",
// else "./randseed.rnd". Files made here are created exclusively with mode
// 0600 (file type kQOXFileTypeRandSeed).
//
// Thread safety: the current file reference is guarded by one mutex of this file
// (gSeedFileMutex), taken by setting, reading and saving for their whole
// run; the locked calls use unlocked inner ones, as the mutex is not
// recursive. It is taken before the pool lock, never while holding it.
#ifndef OSTRAK_CRYPTO_RAND_SEED_FILE_H_
#define OSTRAK_CRYPTO_RAND_SEED_FILE_H_

#include <cstddef>

#include "foundation/errors.h"

struct PFLFileSpec;
struct QOXIO;
struct QOXRandomContext;

inline constexpr size_t kQOXRandSeedMinimumBytes = 24;
inline constexpr size_t kQOXRandSeedBlockBytes = 512;

// Public entry: -12000 for an invalid fileSpec, the gate's error, else the
// result of qoxSetRandSeedFile_back.
QOXError QOXSetRandSeedFile(const PFLFileSpec* fileSpec);
// The back-end entry point: with the key-database service link on
// (foundation/rpc_client_services.h) the service's process names its seed
// file through the RPC client; otherwise qoxSetRandSeedFile_internal.
QOXError qoxSetRandSeedFile_back(const PFLFileSpec* fileSpec);
// Sets the seed file and seeds the pool from it: 0 (also when the file is
// missing or short), or the error of copying the file reference.
QOXError qoxSetRandSeedFile_internal(const PFLFileSpec* fileSpec);
// When no seed file is set, sets the default one (through the key-database
// service when its link is on, as qoxSetRandSeedFile_back): 0,
// kQOXErrOutOfMemory, or the file-reference or setting error.
QOXError qoxDefaultRandSeedFile();
// Writes 512 fresh bytes from the pool into the seed file: 0 when no file is
// set, else 0 or the open error.
QOXError qoxSaveGlobalRandomPool();
// Mixes the stream into the pool (and into rc when given) and rewrites it
// with max(bytes read, 512) bytes: 0, kQOXErrRandSeedTooSmall when fewer than 24 bytes were
// read or written or the stream cannot be rewound, -12000 for a null stream.
// The caller serialises it with the other seed-file calls.
QOXError qoxRandSeedRead(QOXIO* io, QOXRandomContext* rc);
// Forgets the seed file, resets the pool's bookkeeping, clears the seeded
// flag.
void qoxCleanupRandSeedFile();

#endif  // OSTRAK_CRYPTO_RAND_SEED_FILE_H_

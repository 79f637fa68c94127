// Calls that the toolkit's start-up, contexts, entry gate and self-tests make
// into services whose real code comes later (the cryptographic engine, the key
// database, the message pipeline, the key-database back
// end). Until each service lands, its body here gives a
// neutral result or a defined error, so start-up and contexts work:
//   - start-up routines (big numbers, back end)
//     succeed and do nothing;
//   - the self-tests' crypto services fail with -11446;
//   - only the "noconv" character set is known.
// Whoever writes a real implementation deletes its block here and in
// foundation/seams.cc, and declares the call in its own header.
//
// Thread safety: every seam body is stateless and safe from any thread.
#ifndef OSTRAK_FOUNDATION_SEAMS_H_
#define OSTRAK_FOUNDATION_SEAMS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXHashVTBL;

// ---------------------------------------------------------------------------
// Random generators: the real ones (pool, seed file, X9.17).
#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"

// ---------------------------------------------------------------------------
// Triple-DES known-answer self-test: the real one.
#include "crypto/des3_self_test.h"

// ---------------------------------------------------------------------------
// Public-key algorithm table and key objects: the real ones.
#include "crypto/pkalg.h"

// ---------------------------------------------------------------------------
// Key database back end (key database).
void qoxKeyDBBackendUpdate();      // seam: nothing (no back end is on)
void qoxSetBackendUpdateNeeded();  // seam: marks every live context, counts nothing

// ---------------------------------------------------------------------------
// Remote key-database back-end start (key-database RPC client).
QOXError qoxSDKInitBackEnd(int start);  // seam: 0

// ---------------------------------------------------------------------------
// Character sets (message pipeline): the two 256-entry translation maps of a
// named set, compared without case. Seam: "noconv" gives identity maps, any
// other name -11393, a null argument -12000.
QOXError qoxCharmaps(const char* name, size_t length, const uint8_t** firstMap,
                     const uint8_t** secondMap);

// Mac file-type mappings and MacBinary conversion: foundation/macbinary.h.
#include "foundation/macbinary.h"

#endif  // OSTRAK_FOUNDATION_SEAMS_H_

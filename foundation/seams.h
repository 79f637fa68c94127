// Calls that the toolkit's start-up, contexts and environment make into
// services whose real code comes later (the key database and its back end,
// the message pipeline). Until each service lands, its body here gives a
// neutral result or a defined error, so start-up and contexts work:
//   - the back-end start and update routines succeed and do nothing;
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

#endif  // OSTRAK_FOUNDATION_SEAMS_H_

// Toolkit start-up and clean-up, and the random bytes of a context: the
// context calls that need the engine (the context record itself is
// foundation/context.h).
//
// Thread safety: QOXsdkInit and QOXsdkCleanup run while no other thread uses
// the toolkit (foundation/context.h); QOXContextGetRandomBytes runs on the
// context's thread.
#ifndef OSTRAK_FOUNDATION_CORE_START_UP_H_
#define OSTRAK_FOUNDATION_CORE_START_UP_H_

#include <cstddef>
#include <cstdint>

#include "foundation/context.h"
#include "foundation/errors.h"

// QOXsdkInit flag: do not start the remote key-database back end.
inline constexpr uint32_t kQOXsdkInitNoBackEnd = 2;

// The first call (start count 0) makes a default memory manager when there is
// none, starts the remote back end unless flags hold 2, sets up the Mac file
// mappings, the big-number library and the default random seed file. On an
// error the count stays 0 and the error is returned. Later calls only count.
QOXError QOXsdkInit(uint32_t flags);
// -12000 when not started; the last call releases what the first made.
QOXError QOXsdkCleanup();
// Sets a non-zero start count to 1 and cleans up.
void qoxForceSDKCleanup();

// -12000 for a null buffer or invalid context; the gate's error; kQOXErrOutOfEntropy when
// no generator can be made or the global pool lacks its minimum entropy.
QOXError QOXContextGetRandomBytes(QOXContext* context, void* buffer, size_t count);

#endif  // OSTRAK_FOUNDATION_CORE_START_UP_H_

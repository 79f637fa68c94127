// The process-wide true random-number pool, its entropy estimate and the
// generic handle of every random generator of the toolkit.
//
// Every generator (the pool, the all-zero dummy pool, the X9.17 generators
// of crypto/x917.h) is reached through a QOXRandomContext whose operations
// come from a QOXRandomVTBL. The pool itself is one static record of 10,240
// bits stirred with the SHA-1 compression function; keystroke and mouse
// timings, timer readings, the seed file (crypto/rand_seed_file.h) and the
// operating system (crypto/entropy_sources.cc) feed it. Its estimate counts
// whole bits plus a 32-bit fraction; event entropy is first pending and is
// credited when the next byte is added.
//
// Thread safety and lock order:
//   - gPoolLock (a QOXRMWOLock, static, never destroyed) guards every field
//     of the pool, the key history and the keystroke/mouse skip counters.
//     Adding, drawing, stirring, crediting and reading the estimate take it
//     for writing; the minimum-entropy test takes it for reading.
//   - gTimingMutex guards the previous timer reading and the keystroke and
//     mouse timing histories. It is never held while the pool lock is taken.
//   - The timer's tick size is measured once per process (std::call_once).
//   - The seed-file mutex (crypto/rand_seed_file.cc) is taken before the
//     pool lock, never after it.
// A pool handle is a plain value with no state of its own; any thread may
// build one on its stack.
#ifndef OSTRAK_CRYPTO_RANDOM_POOL_H_
#define OSTRAK_CRYPTO_RANDOM_POOL_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/random_context.h"

struct QOXContext;

inline constexpr uint32_t kQOXRandomPoolBits = 10240;
inline constexpr uint32_t kQOXRandomPoolMinimumEntropy = 192;
inline constexpr uint32_t kQOXRandomPoolMaxEventBits = 10;
inline constexpr uint32_t kQOXRandomPoolPendingCap = 512;

// --- Public calls (entry gate first, except the two constants) ---
uint32_t QOXGlobalRandomPoolAddKeystroke(uint32_t keyValue);  // bits credited
uint32_t QOXGlobalRandomPoolMouseMoved();                     // bits credited
uint32_t QOXGlobalRandomPoolAddMouse();                       // as MouseMoved
// 0, the gate's error, or kQOXErrUnknownError2 when no system source gave data.
QOXError QOXGlobalRandomPoolAddSystemState();
uint32_t QOXGlobalRandomPoolGetEntropy();  // current estimate; 0 when refused
uint32_t QOXGlobalRandomPoolGetSize();     // 10240
uint32_t QOXGlobalRandomPoolGetMinimumEntropy();  // 192
// True when the pool was seeded (seed file or system state) or 192 bits were
// ever credited; false when the gate refuses.
bool QOXGlobalRandomPoolHasMinimumEntropy();

// --- Back-end entry points ---
// The state and figure calls go through the key database's back end: with
// the key-database service link on (foundation/rpc_client_services.h) they
// run in the service's process through the RPC client, otherwise the
// in-process operation below. The same arguments and results.
int32_t qoxGlobalRandomPoolAddState_back(bool keystroke, uint32_t keyValue, bool mouse, bool systemState);
void qoxGlobalRandomPoolGetInfo_back(uint32_t* outEntropy, uint32_t* outSize, uint32_t* outMinimum,
                                     bool* outHasMinimum);

// --- In-process operations ---
// Keystroke, then mouse, then system state, as the flags ask. Returns the
// keystroke's (else the mouse event's) bits, the system collection's result
// (0 or kQOXErrUnknownError2), or 0 with no flag.
int32_t qoxGlobalRandomPoolAddState_internal(bool keystroke, uint32_t keyValue, bool mouse,
                                             bool systemState);
// Each output optional.
void qoxGlobalRandomPoolGetInfo_internal(uint32_t* outEntropy, uint32_t* outSize,
                                         uint32_t* outMinimum, bool* outHasMinimum);
uint32_t qoxGlobalRandomPoolAddKeystroke_internal(uint32_t keyValue);
uint32_t qoxGlobalRandomPoolMouseMoved_internal();
// Credits one timing event of delta ticks to the pending entropy and returns
// its whole bits (takes the pool lock for writing).
uint32_t qoxGlobalRandomPoolEntropyWasAdded(uint32_t delta);
// Raises the estimate to bits if it is lower.
void qoxGlobalRandomPoolSetEntropy(uint32_t bits);
// Adds to the pending bits, capped at 512 (the fraction cleared at the cap).
void qoxGlobalRandomPoolAddEntropyBits(uint32_t bits);
// Reset the bookkeeping (estimate, pending and total entropy, positions, add
// count; output emptied); pool words and key buffer keep their contents. The
// lock lives for the whole process and is never re-initialised.
void qoxInitGlobalRandomPool();
void qoxCleanupGlobalRandomPool();

// The seeded flag (set by the seed file and by a successful system-state
// collection, cleared at clean-up).
bool qoxGlobalRandomPoolIsSeeded();
void qoxSetIsSeeded(bool seeded);

// Pool handles and tables.
void qoxInitGlobalRandomPoolContext(QOXRandomContext* rc);
const QOXRandomVTBL* qoxGetGlobalRandomPoolVTBL();
const QOXRandomVTBL* qoxGetGlobalDummyRandomPoolVTBL();

// --- Generic operations on any generator ---
// Draws count bytes, charging count x 8 bits of entropy. A null handle gives
// zeros (callers that need real randomness check their generator first).
void qoxRandomGetBytes(QOXRandomContext* rc, void* buffer, size_t count);
// A uniform value below range (0 for a range below 2): one byte is drawn
// with the entropy charge first, then single bytes for ranges up to 256,
// two-byte big-endian values up to 65536 and four-byte values above.
uint32_t qoxRandomRange(QOXRandomContext* rc, uint32_t range, uint32_t entropyBits);
// Adds one 8-byte timer reading to rc and returns the ticks elapsed since
// the previous reading of the process.
uint32_t qoxRandomCollectEntropy(QOXRandomContext* rc);
// Adds operating-system random data to rc: 1 when data was added, else 0.
int qoxRandomCollectOsData(QOXRandomContext* rc, bool tryHard);

// The high-resolution timer in nanoseconds (entropy_sources.cc).
uint64_t qoxReadHighResolutionTimer();

#endif  // OSTRAK_CRYPTO_RANDOM_POOL_H_

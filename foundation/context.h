// Toolkit contexts and the entry gate.
//
// Every use of the toolkit starts with QOXsdkInit (foundation/core/start_up.h)
// and then works through a QOXContext: the context owns a memory manager and
// an arena pool over it, an environment of numbered settings (QOXEnv,
// foundation/env.h), random generators made on first use (their makers are
// the engine's, crypto/context_random.h), the chain of its open key databases
// and a passphrase cache. qoxEnterFunction is the entry gate that every public
// toolkit call passes first: in FIPS mode it refuses calls until the
// self-tests have run (foundation/core/self_tests.h) and after any of them
// failed.
//
// The context record lives here, below the engine, because the engine
// allocates through it and passes its gate. What freeing a context asks of
// the layers above (saving the random pool, emptying the passphrase cache)
// goes through the tables of foundation/engine_services.h and
// foundation/passphrase_cache_services.h.
//
// Thread safety: the process-wide state (start count, list of live contexts,
// notification procedure, FIPS state) has no lock. QOXsdkInit, QOXsdkCleanup
// and context creation and freeing must run while no other thread uses that
// state; the daemon starts the toolkit before its workers and makes and
// frees the contexts of its connection threads under one mutex of its own.
// A context and its environment are used by one thread at a time. The entry
// gate may be called from any thread. The passphrase caches of all contexts
// share one mutex (qoxPassphraseCacheMutex), valid from load on.
#ifndef OSTRAK_FOUNDATION_CONTEXT_H_
#define OSTRAK_FOUNDATION_CONTEXT_H_

#include <cstddef>
#include <cstdint>

#include "foundation/env.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/threads.h"

struct MemPool;             // the arena pool of foundation/mem_pool.h
struct QOXKeyDB;            // an open key database
struct QOXRandomContext;    // a random generator handle
struct QOXPassphraseCache;  // a context's passphrase cache

// The client API version of every context.
inline constexpr uint32_t kQOXAPIVersion = 0x01000000;

// The context record is private to foundation/context.cc; everything else
// goes through the calls below.
struct QOXContext;

// Creation record of QOXNewContextCustom. The memory manager is handed over
// when the context is made (the context frees it); after a failed creation it
// is still the caller's.
struct QOXNewContextStruct {
  uint32_t apiVersion;
  QOXMemoryMgr* memoryMgr;
  uintptr_t reserved;
};

// --- Start count (kept by QOXsdkInit and QOXsdkCleanup) ---
// Contexts are made only while the count is above 0.
uint32_t qoxsdkStartCount();
void qoxsdkSetStartCount(uint32_t count);
bool qoxsdkIsInited();
// The mutex of every passphrase cache; valid from load on, never destroyed.
QOXMutex* qoxPassphraseCacheMutex();

// --- Contexts ---
// -12000 for a null out (else out is cleared first); the gate's error; kQOXErrImproperInitialization
// when the toolkit is not started; kQOXErrIncompatibleAPIVersion for a version other than
// 0x01000000; kQOXErrOutOfMemory when memory runs out (nothing is left behind).
QOXError QOXNewContext(uint32_t apiVersion, QOXContext** out);
// As QOXNewContext over the record's memory manager (-12000 for a null record
// or an invalid manager).
QOXError QOXNewContextCustom(const QOXNewContextStruct* record, QOXContext** out);
// -12000 for an invalid context; the gate's error (the context is kept);
// else releases it and returns the result of saving the random pool.
QOXError QOXFreeContext(QOXContext* context);

QOXError QOXGetContextUserValue(const QOXContext* context, uintptr_t* outValue);
QOXError QOXSetContextUserValue(QOXContext* context, uintptr_t value);
// Null for an invalid context or when the gate refuses.
QOXMemoryMgr* QOXPeekContextMemoryMgr(const QOXContext* context);
MemPool* qoxPeekContextMemPool(QOXContext* context);  // null for an invalid context
QOXMemoryMgr* qoxPeekContextMemPoolMgr(const QOXContext* context);
bool qoxContextIsValid(const void* pointer);
// Visits every live context: null gives the first, null ends.
QOXContext* qoxContextNextContext(const QOXContext* context);

// Plain accessors, no checks.
QOXEnv* qoxContextGetEnvironment(const QOXContext* context);
QOXKeyDB* qoxContextGetFirstKeyDB(const QOXContext* context);
void qoxContextSetFirstKeyDB(QOXContext* context, QOXKeyDB* keyDB);
bool qoxContextGetUpdateNeeded(const QOXContext* context);
void qoxContextSetUpdateNeeded(QOXContext* context, bool needed);
uint32_t qoxContextGetConnectRef(const QOXContext* context);
void qoxContextSetConnectRef(QOXContext* context, uint32_t ref);
uint32_t qoxContextGetThreadID(const QOXContext* context);
QOXPassphraseCache* qoxContextGetPassphraseCache(const QOXContext* context);
void qoxContextSetPassphraseCache(QOXContext* context, QOXPassphraseCache* cache);

// Context memory: blocks of the context's manager, or of its pool manager.
void* qoxContextMemAlloc(QOXContext* context, size_t size, uint32_t flags);
// A block (flag 1 ignored) holding a copy of size bytes of source, or null.
void* QOXContextMemAllocCopy(QOXContext* context, size_t size, uint32_t flags, const void* source);
QOXError qoxContextMemRealloc(QOXContext* context, void** block, size_t size, uint32_t flags);
QOXError qoxContextMemFree(QOXContext* context, void* block);
void* qoxContextMemPoolAlloc(QOXContext* context, size_t size, uint32_t flags);
QOXError qoxContextMemPoolRealloc(QOXContext* context, void** block, size_t size, uint32_t flags);
// Releases the pool back to a mark (a copy of the pool record taken earlier).
void qoxContextMemPoolCutBack(QOXContext* context, const MemPool* mark);

// The slots of a context's random generators. The engine makes each on
// first use (crypto/context_random.h) and stores it here; freeing the context
// destroys what the slots hold.
enum class QOXContextRandomSlot { kGlobalPool, kDummy, kX9_17 };
QOXRandomContext* qoxContextGetRandomSlot(const QOXContext* context, QOXContextRandomSlot slot);
void qoxContextSetRandomSlot(QOXContext* context, QOXContextRandomSlot slot, QOXRandomContext* rc);

// Notification of key-database changes made by another process.
using QOXNotificationProc = void (*)(uintptr_t userValue);
QOXError QOXSetNotificationCallback(QOXNotificationProc proc, uintptr_t userValue);
// Marks every context as needing a back-end update, then calls the procedure.
void qoxCallNotificationCallback();

// --- Entry gate and FIPS mode ---
// 0, or in FIPS mode the stored error state, else kQOXErrSelfTestsNotExecuted while the toolkit
// is started and the self-tests have not all run. Always lets the key
// database take in pending back-end updates first.
QOXError qoxEnterFunction();
// Turns FIPS mode on for the rest of the process; 0.
QOXError QOXEnableFIPSMode();
bool qoxFIPSModeEnabled();
QOXError QOXGetSDKErrorState();
// Stores error only in FIPS mode and when no error is stored yet.
void qoxSetSDKErrorState(QOXError error);
// Clears the error state (QOXResetSDKErrorState, foundation/core/self_tests.h).
void qoxClearSDKErrorState();
bool qoxHaveRunAllSelfTests();
void qoxSetHaveRunAllSelfTests();

#endif  // OSTRAK_FOUNDATION_CONTEXT_H_

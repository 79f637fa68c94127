#include "foundation/context.h"

#include <atomic>
#include <cstring>

#include "foundation/engine_services.h"
#include "foundation/keydb_services.h"
#include "foundation/mem_pool.h"
#include "foundation/passphrase_cache_services.h"
#include "foundation/random_context.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"

struct QOXContext {
  QOXContext* next;             // process-wide list of live contexts
  QOXMemoryMgr* memoryMgr;      // owned; freed with the context
  QOXMemoryMgr* poolMemoryMgr;  // its allocations come from memPool
  MemPool memPool;
  char magic[4];  // "Cntx" while live
  uint32_t apiVersion;
  uintptr_t userValue;
  QOXEnv* env;
  QOXRandomContext* globalPoolRandom;
  QOXRandomContext* x917Random;
  QOXRandomContext* dummyRandom;
  QOXKeyDB* firstKeyDB;
  uint32_t connectRef;
  QOXPassphraseCache* passphraseCache;
  uint32_t threadID;  // never set
  bool updateNeeded;
};

namespace {

constexpr char kContextMagic[4] = {'C', 'n', 't', 'x'};
constexpr uint32_t kClear = kQOXMemoryMgrFlags_Clear;

// Process-wide toolkit state. Start-up, clean-up and the context list are
// used only while no other thread touches them (see context.h), so they have
// no lock. The flags read by the entry gate, which any thread passes, are
// atomics so that those reads are well defined.
std::atomic<uint32_t> gStartCount{0};
QOXContext* gFirstContext = nullptr;
QOXNotificationProc gNotificationProc = nullptr;
uintptr_t gNotificationUserValue = 0;
std::atomic<bool> gFIPSMode{false};
std::atomic<bool> gHaveRunAllSelfTests{false};
std::atomic<QOXError> gSDKErrorState{kQOXErrNoErr};

// Guards every passphrase cache of every context. It is initialised
// statically rather than by the first start-up, so it is valid from load on,
// is never initialised twice, and outlives every clean-up.
QOXMutex gPassphraseCacheMutex = QOX_MUTEX_INITIALIZER;

bool IsValid(const QOXContext* context) {
  return context != nullptr && std::memcmp(context->magic, kContextMagic, sizeof(kContextMagic)) == 0;
}

void Unlink(QOXContext* context) {
  for (QOXContext** link = &gFirstContext; *link != nullptr; link = &(*link)->next) {
    if (*link == context) {
      *link = context->next;
      context->next = nullptr;
      return;
    }
  }
}

void DestroyRandomContext(QOXRandomContext* rc) {
  if (rc == nullptr) return;
  if (rc->destroy != nullptr) {
    rc->destroy(rc);
  } else {
    QOXFreeData(rc);
  }
}

// Releases what a context holds besides its own block and manager.
void ReleaseParts(QOXContext* context) {
  if (context->poolMemoryMgr != nullptr) QOXFreeMemoryMgr(context->poolMemoryMgr);
  context->poolMemoryMgr = nullptr;
  memPoolEmpty(&context->memPool);
  if (context->env != nullptr) qoxenvDestroy(context->env);
  context->env = nullptr;
  DestroyRandomContext(context->globalPoolRandom);
  DestroyRandomContext(context->x917Random);
  DestroyRandomContext(context->dummyRandom);
  context->globalPoolRandom = context->x917Random = context->dummyRandom = nullptr;
  if (context->passphraseCache != nullptr) qoxPassphraseCacheServices().QOXPurgePassphraseCache(context);
  std::memset(context->magic, 0, sizeof(context->magic));
}

// Builds a context over record's manager, which the context owns from then
// on. A failed creation releases everything it made but leaves the manager
// to the caller, whatever step failed, so the caller can always free it.
QOXError MakeContext(const QOXNewContextStruct* record, QOXContext** out) {
  if (QOXValidateMemoryMgr(record->memoryMgr) != kQOXErrNoErr) return kQOXErrBadParams;
  if (gStartCount.load(std::memory_order_relaxed) == 0) return kQOXErrImproperInitialization;
  if (record->apiVersion != kQOXAPIVersion) return kQOXErrIncompatibleAPIVersion;

  QOXContext* context = static_cast<QOXContext*>(QOXNewData(record->memoryMgr, sizeof(QOXContext), kClear));
  if (context == nullptr) return kQOXErrOutOfMemory;
  context->memoryMgr = record->memoryMgr;
  std::memcpy(context->magic, kContextMagic, sizeof(kContextMagic));
  context->apiVersion = record->apiVersion;
  QOXError err = qoxenvCreate(context, &context->env);

  memPoolInit(context, &context->memPool);
  // The first allocation makes the pool's first chunk up front.
  memPoolAlloc(&context->memPool, 4, 4);
  context->poolMemoryMgr = qoxMemPoolMemoryMgr(&context->memPool);
  if (err == kQOXErrNoErr && context->poolMemoryMgr == nullptr) err = kQOXErrOutOfMemory;

  if (err != kQOXErrNoErr) {
    ReleaseParts(context);
    QOXFreeData(context);
    return err;
  }
  context->next = gFirstContext;
  gFirstContext = context;
  *out = context;
  return kQOXErrNoErr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start count.

uint32_t qoxsdkStartCount() { return gStartCount.load(std::memory_order_relaxed); }

void qoxsdkSetStartCount(uint32_t count) { gStartCount.store(count, std::memory_order_relaxed); }

bool qoxsdkIsInited() { return gStartCount.load(std::memory_order_relaxed) > 0; }

QOXMutex* qoxPassphraseCacheMutex() { return &gPassphraseCacheMutex; }

// ---------------------------------------------------------------------------
// Contexts.

QOXError QOXNewContext(uint32_t apiVersion, QOXContext** out) {
  if (out == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXNewContextStruct record{apiVersion, nullptr, 0};
  err = QOXNewMemoryMgr(0, &record.memoryMgr);
  if (err != kQOXErrNoErr) return err;
  err = MakeContext(&record, out);
  if (err != kQOXErrNoErr) QOXFreeMemoryMgr(record.memoryMgr);
  return err;
}

QOXError QOXNewContextCustom(const QOXNewContextStruct* record, QOXContext** out) {
  if (out == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  if (record == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return MakeContext(record, out);
}

QOXError QOXFreeContext(QOXContext* context) {
  if (!IsValid(context)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  Unlink(context);
  const QOXEngineServices& engine = qoxEngineServices();
  engine.QOXGlobalRandomPoolAddKeystroke(QOXGetTime());
  QOXError result = engine.qoxSaveGlobalRandomPool();
  ReleaseParts(context);
  QOXMemoryMgr* mgr = context->memoryMgr;
  QOXFreeData(context);
  QOXFreeMemoryMgr(mgr);
  return result;
}

QOXError QOXGetContextUserValue(const QOXContext* context, uintptr_t* outValue) {
  if (outValue == nullptr || !IsValid(context)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  *outValue = context->userValue;
  return kQOXErrNoErr;
}

QOXError QOXSetContextUserValue(QOXContext* context, uintptr_t value) {
  if (!IsValid(context)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  context->userValue = value;
  return kQOXErrNoErr;
}

QOXMemoryMgr* QOXPeekContextMemoryMgr(const QOXContext* context) {
  if (!IsValid(context) || qoxEnterFunction() != kQOXErrNoErr) return nullptr;
  return context->memoryMgr;
}

MemPool* qoxPeekContextMemPool(QOXContext* context) {
  return IsValid(context) ? &context->memPool : nullptr;
}

QOXMemoryMgr* qoxPeekContextMemPoolMgr(const QOXContext* context) {
  if (!IsValid(context) || qoxEnterFunction() != kQOXErrNoErr) return nullptr;
  return context->poolMemoryMgr;
}

bool qoxContextIsValid(const void* pointer) { return IsValid(static_cast<const QOXContext*>(pointer)); }

QOXContext* qoxContextNextContext(const QOXContext* context) {
  return context == nullptr ? gFirstContext : context->next;
}

QOXEnv* qoxContextGetEnvironment(const QOXContext* context) { return context->env; }
QOXKeyDB* qoxContextGetFirstKeyDB(const QOXContext* context) { return context->firstKeyDB; }
void qoxContextSetFirstKeyDB(QOXContext* context, QOXKeyDB* keyDB) { context->firstKeyDB = keyDB; }
bool qoxContextGetUpdateNeeded(const QOXContext* context) { return context->updateNeeded; }
void qoxContextSetUpdateNeeded(QOXContext* context, bool needed) { context->updateNeeded = needed; }
uint32_t qoxContextGetConnectRef(const QOXContext* context) { return context->connectRef; }
void qoxContextSetConnectRef(QOXContext* context, uint32_t ref) { context->connectRef = ref; }
uint32_t qoxContextGetThreadID(const QOXContext* context) { return context->threadID; }
QOXPassphraseCache* qoxContextGetPassphraseCache(const QOXContext* context) {
  return context->passphraseCache;
}
void qoxContextSetPassphraseCache(QOXContext* context, QOXPassphraseCache* cache) {
  context->passphraseCache = cache;
}

// ---------------------------------------------------------------------------
// Context memory.

void* qoxContextMemAlloc(QOXContext* context, size_t size, uint32_t flags) {
  return QOXNewData(context->memoryMgr, size, flags);
}

void* QOXContextMemAllocCopy(QOXContext* context, size_t size, uint32_t flags, const void* source) {
  void* block = qoxContextMemAlloc(context, size, flags & ~kClear);
  if (block != nullptr && size > 0) std::memcpy(block, source, size);
  return block;
}

QOXError qoxContextMemRealloc(QOXContext* context, void** block, size_t size, uint32_t flags) {
  return QOXReallocData(context->memoryMgr, block, size, flags);
}

QOXError qoxContextMemFree(QOXContext* context, void* block) {
  if (!IsValid(context)) return kQOXErrBadParams;
  return QOXFreeData(block);
}

void* qoxContextMemPoolAlloc(QOXContext* context, size_t size, uint32_t flags) {
  return QOXNewData(context->poolMemoryMgr, size, flags);
}

QOXError qoxContextMemPoolRealloc(QOXContext* context, void** block, size_t size, uint32_t flags) {
  return QOXReallocData(context->poolMemoryMgr, block, size, flags);
}

void qoxContextMemPoolCutBack(QOXContext* context, const MemPool* mark) {
  memPoolCutBack(&context->memPool, mark);
}

// ---------------------------------------------------------------------------
// Random generator slots.

QOXRandomContext* qoxContextGetRandomSlot(const QOXContext* context, QOXContextRandomSlot slot) {
  switch (slot) {
    case QOXContextRandomSlot::kGlobalPool: return context->globalPoolRandom;
    case QOXContextRandomSlot::kDummy: return context->dummyRandom;
    case QOXContextRandomSlot::kX9_17: return context->x917Random;
  }
  return nullptr;
}

void qoxContextSetRandomSlot(QOXContext* context, QOXContextRandomSlot slot, QOXRandomContext* rc) {
  switch (slot) {
    case QOXContextRandomSlot::kGlobalPool: context->globalPoolRandom = rc; break;
    case QOXContextRandomSlot::kDummy: context->dummyRandom = rc; break;
    case QOXContextRandomSlot::kX9_17: context->x917Random = rc; break;
  }
}

// ---------------------------------------------------------------------------
// Notification.

QOXError QOXSetNotificationCallback(QOXNotificationProc proc, uintptr_t userValue) {
  gNotificationProc = proc;
  gNotificationUserValue = userValue;
  return kQOXErrNoErr;
}

void qoxCallNotificationCallback() {
  qoxKeyDBServices().qoxSetBackendUpdateNeeded();
  if (gNotificationProc != nullptr) gNotificationProc(gNotificationUserValue);
}

// ---------------------------------------------------------------------------
// Entry gate and FIPS state.

QOXError qoxEnterFunction() {
  QOXError result = kQOXErrNoErr;
  if (gFIPSMode.load(std::memory_order_acquire)) {
    result = gSDKErrorState.load(std::memory_order_acquire);
    if (result == kQOXErrNoErr && gStartCount.load(std::memory_order_relaxed) > 0 &&
        !gHaveRunAllSelfTests.load(std::memory_order_acquire)) {
      result = kQOXErrSelfTestsNotExecuted;
    }
  }
  qoxKeyDBServices().qoxKeyDBBackendUpdate();
  return result;
}

QOXError QOXEnableFIPSMode() {
  gFIPSMode.store(true, std::memory_order_release);
  return kQOXErrNoErr;
}

bool qoxFIPSModeEnabled() { return gFIPSMode.load(std::memory_order_acquire); }

QOXError QOXGetSDKErrorState() { return gSDKErrorState.load(std::memory_order_acquire); }

void qoxSetSDKErrorState(QOXError error) {
  if (!qoxFIPSModeEnabled()) return;
  QOXError none = kQOXErrNoErr;
  gSDKErrorState.compare_exchange_strong(none, error, std::memory_order_acq_rel);
}

void qoxClearSDKErrorState() { gSDKErrorState.store(kQOXErrNoErr, std::memory_order_release); }

bool qoxHaveRunAllSelfTests() { return gHaveRunAllSelfTests.load(std::memory_order_acquire); }

void qoxSetHaveRunAllSelfTests() { gHaveRunAllSelfTests.store(true, std::memory_order_release); }

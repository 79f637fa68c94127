#include "crypto/random_pool.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "crypto/sha1.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "foundation/rpc_client_services.h"
#include "foundation/threads.h"

namespace {

constexpr uint32_t kPoolWords = kQOXRandomPoolBits / 32;  // 320: 64 slots of 5 words
constexpr uint32_t kSlotWords = 5;
constexpr uint32_t kKeyBytes = 64;
constexpr uint32_t kOutputBytes = 20;

struct RandomPool {
  uint32_t entropy = 0;          // whole bits, 0..10240
  uint32_t entropyFraction = 0;  // fractional part of the estimate
  uint32_t totalEntropy = 0;     // all ever credited, capped at 10240
  uint32_t pendingBits = 0;      // 0..512
  uint32_t pendingFraction = 0;
  uint32_t pool[kPoolWords] = {};
  uint32_t addPosition = 0;  // word index of the current slot: 0, 5, ..., 315
  uint8_t key[kKeyBytes] = {};
  uint32_t keyPosition = 0;           // 0..63
  uint32_t output[kSlotWords] = {};   // running SHA-1 state that yields output bytes
  uint32_t outputPosition = kOutputBytes;  // bytes of the output used; 20 = empty
  uint32_t addCount = 0;                   // 64 per byte added since the last stirring
  // Keystroke and mouse bookkeeping kept under the same lock.
  uint32_t lastKeys[4] = {};
  int keySkip = 3;
  int mouseSkip = 2;
};

constinit RandomPool sPool;
// Guards sPool. Initialised statically and never destroyed, so threads that
// hold or wait for it are never caught by a re-initialisation.
QOXRMWOLock gPoolLock = QOX_RMWOLOCK_INITIALIZER;

// Timing histories of keystrokes and mouse events: {h0, h1}.
std::mutex gTimingMutex;
uint32_t gKeyHistory[2];    // guarded by gTimingMutex
uint32_t gMouseHistory[2];  // guarded by gTimingMutex

std::atomic<bool> gSeeded{false};

// Combines two 32-bit mantissa fractions as 1+p times 1+f. Returns the new
// fraction; *carry becomes 1 when the product reached 2 (one more whole bit).
uint32_t CombineFractions(uint32_t p, uint32_t f, uint32_t* carry) {
  uint64_t s = uint64_t{p} + f;
  uint32_t carries = static_cast<uint32_t>(s >> 32);
  uint64_t s2 = (s & 0xffffffffu) + uint64_t{p >> 16} * (f >> 16);
  carries += static_cast<uint32_t>(s2 >> 32);
  uint32_t low = static_cast<uint32_t>(s2);
  if (carries == 0) {
    *carry = 0;
    return low;
  }
  *carry = 1;
  return (low >> 1) + (carries == 2 ? 0x80000000u : 0u);
}

// Credits the pending entropy to the estimate. Pool lock held for writing.
void AddKeyEntropy() {
  uint32_t carry = 0;
  sPool.entropyFraction = CombineFractions(sPool.pendingFraction, sPool.entropyFraction, &carry);
  uint32_t add = sPool.pendingBits + carry;
  sPool.entropy += add;
  if (sPool.entropy >= kQOXRandomPoolBits) {
    sPool.entropy = kQOXRandomPoolBits;
    sPool.entropyFraction = 0;
  }
  sPool.totalEntropy += add;
  if (sPool.totalEntropy > kQOXRandomPoolBits) sPool.totalEntropy = kQOXRandomPoolBits;
  sPool.pendingBits = 0;
  sPool.pendingFraction = 0;
}

// The key buffer as sixteen words in big-endian byte order.
void KeyWords(uint32_t words[16]) {
  for (int i = 0; i < 16; ++i) words[i] = LoadBE32(sPool.key + 4 * i);
}

// Adds one byte. Pool lock held for writing.
void AddByte(uint8_t b) {
  sPool.key[sPool.keyPosition] ^= b;
  sPool.keyPosition = (sPool.keyPosition + 1) % kKeyBytes;
  if (sPool.keyPosition % 4 == 0) {
    uint8_t* k = sPool.key + sPool.keyPosition;
    StoreBE32(k, LoadBE32(k) ^ sPool.pool[sPool.addPosition]);
  }
  sPool.addCount += 64;
  if (sPool.pendingBits < 64 && sPool.addCount < 4096) return;
  uint32_t words[16];
  KeyWords(words);
  while (sPool.addCount > 63) {
    sPool.addCount -= 64;
    uint32_t* slot = sPool.pool + sPool.addPosition;
    qoxSHATransform(slot, words);
    sPool.addPosition += kSlotWords;
    if (sPool.addPosition >= kPoolWords) sPool.addPosition = 0;
    uint32_t* next = sPool.pool + sPool.addPosition;
    for (uint32_t i = 0; i < kSlotWords; ++i) next[i] ^= slot[i];
  }
  std::memset(words, 0, sizeof words);
  AddKeyEntropy();
}

// Refills the output: the running state compressed with the key buffer, then
// with each 64-byte block of the pool. Pool lock held for writing.
void RefillOutput() {
  uint32_t words[16];
  KeyWords(words);
  qoxSHATransform(sPool.output, words);
  std::memset(words, 0, sizeof words);
  for (uint32_t i = 0; i < kPoolWords; i += 16) qoxSHATransform(sPool.output, sPool.pool + i);
  sPool.outputPosition = 0;
}

uint8_t OutputByte(uint32_t index) {
  return static_cast<uint8_t>(sPool.output[index / 4] >> (24 - 8 * (index % 4)));
}

// Entropy of one timing event; pool lock held for writing.
uint32_t EntropyWasAddedLocked(uint32_t delta) {
  if (delta < 4) return 0;
  uint32_t e = 31 - static_cast<uint32_t>(__builtin_clz(delta));
  uint32_t f = static_cast<uint32_t>(uint64_t{delta} << (32 - e));
  uint32_t carry = 0;
  sPool.pendingFraction = CombineFractions(sPool.pendingFraction, f, &carry);
  uint32_t bits = e - 2 + carry;
  if (bits > kQOXRandomPoolMaxEventBits) bits = kQOXRandomPoolMaxEventBits;
  sPool.pendingBits += bits;
  if (sPool.pendingBits >= kQOXRandomPoolPendingCap) {
    sPool.pendingBits = kQOXRandomPoolPendingCap;
    sPool.pendingFraction = 0;
  }
  return bits;
}

// --- The pool's table ---
void PoolAddBytesLock(void*, const uint8_t* bytes, size_t count) {
  QOXWriteGuard guard(&gPoolLock);
  for (size_t i = 0; i < count; ++i) AddByte(bytes[i]);
  sPool.outputPosition = kOutputBytes;
}

void PoolGetBytesEntropyLock(void*, uint8_t* dest, size_t count, uint32_t entropyBits) {
  QOXWriteGuard guard(&gPoolLock);
  if (sPool.entropy < entropyBits) {
    sPool.entropy = 0;
    sPool.entropyFraction = 0;
  } else {
    sPool.entropy -= entropyBits;
  }
  for (size_t i = 0; i < count; ++i) {
    if (sPool.outputPosition >= kOutputBytes) RefillOutput();
    dest[i] = OutputByte(sPool.outputPosition++);
  }
}

void PoolStirLock(void*) {
  QOXWriteGuard guard(&gPoolLock);
  for (int round = 0; round < 16; ++round) {
    for (uint32_t i = 0; i < kOutputBytes; ++i) AddByte(OutputByte(i));
    RefillOutput();
  }
}

void DummyAddBytes(void*, const uint8_t*, size_t) {}
void DummyGetBytesEntropy(void*, uint8_t* dest, size_t count, uint32_t) {
  if (count != 0) std::memset(dest, 0, count);
}
void DummyStir(void*) {}

constexpr QOXRandomVTBL sGlobalRandomPoolVTBL = {"Global true random-number pool", PoolAddBytesLock,
                                                 PoolGetBytesEntropyLock, PoolStirLock};
constexpr QOXRandomVTBL sDummyRandomPoolVTBL = {"Dummy random-number pool", DummyAddBytes,
                                                DummyGetBytesEntropy, DummyStir};

// Timing differences of one event kind: d1 = |t - h1|, d2 = |d1 - h0|; the
// smallest of t, d1 and d2.
uint32_t TimingDelta(uint32_t t, uint32_t history[2]) {
  std::lock_guard<std::mutex> lock(gTimingMutex);
  uint32_t d1 = t > history[1] ? t - history[1] : history[1] - t;
  history[1] = t;
  uint32_t d2 = d1 > history[0] ? d1 - history[0] : history[0] - d1;
  history[0] = d1;
  uint32_t m = t < d1 ? t : d1;
  return m < d2 ? m : d2;
}

uint32_t TimerEventDelta(uint32_t history[2]) {
  QOXRandomContext rc;
  qoxInitGlobalRandomPoolContext(&rc);
  return TimingDelta(qoxRandomCollectEntropy(&rc), history);
}

}  // namespace

// ---------------------------------------------------------------------------
// Public calls.

uint32_t QOXGlobalRandomPoolAddKeystroke(uint32_t keyValue) {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  return static_cast<uint32_t>(qoxGlobalRandomPoolAddState_back(true, keyValue, false, false));
}

uint32_t QOXGlobalRandomPoolMouseMoved() {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  return static_cast<uint32_t>(qoxGlobalRandomPoolAddState_back(false, 0, true, false));
}

uint32_t QOXGlobalRandomPoolAddMouse() { return QOXGlobalRandomPoolMouseMoved(); }

QOXError QOXGlobalRandomPoolAddSystemState() {
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  return qoxGlobalRandomPoolAddState_back(false, 0, false, true);
}

uint32_t QOXGlobalRandomPoolGetEntropy() {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  uint32_t entropy = 0;
  qoxGlobalRandomPoolGetInfo_back(&entropy, nullptr, nullptr, nullptr);
  return entropy;
}

uint32_t QOXGlobalRandomPoolGetSize() { return kQOXRandomPoolBits; }
uint32_t QOXGlobalRandomPoolGetMinimumEntropy() { return kQOXRandomPoolMinimumEntropy; }

bool QOXGlobalRandomPoolHasMinimumEntropy() {
  if (qoxEnterFunction() != kQOXErrNoErr) return false;
  bool has = false;
  qoxGlobalRandomPoolGetInfo_back(nullptr, nullptr, nullptr, &has);
  return has;
}

// ---------------------------------------------------------------------------
// Back-end entry points.

int32_t qoxGlobalRandomPoolAddState_back(bool keystroke, uint32_t keyValue, bool mouse, bool systemState) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled()) return rpc.qoxGlobalRandomPoolAddState_backRPC(keystroke, keyValue, mouse, systemState);
  return qoxGlobalRandomPoolAddState_internal(keystroke, keyValue, mouse, systemState);
}

void qoxGlobalRandomPoolGetInfo_back(uint32_t* outEntropy, uint32_t* outSize, uint32_t* outMinimum,
                                     bool* outHasMinimum) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled()) {
    rpc.qoxGlobalRandomPoolGetInfo_backRPC(outEntropy, outSize, outMinimum, outHasMinimum);
    return;
  }
  qoxGlobalRandomPoolGetInfo_internal(outEntropy, outSize, outMinimum, outHasMinimum);
}

// ---------------------------------------------------------------------------
// In-process operations.

int32_t qoxGlobalRandomPoolAddState_internal(bool keystroke, uint32_t keyValue, bool mouse,
                                             bool systemState) {
  int32_t result = 0;
  if (keystroke) result = static_cast<int32_t>(qoxGlobalRandomPoolAddKeystroke_internal(keyValue));
  if (mouse) {
    uint32_t bits = qoxGlobalRandomPoolMouseMoved_internal();
    if (!keystroke) result = static_cast<int32_t>(bits);
  }
  if (systemState) {
    QOXError err = qoxEnterFunction();
    if (err != kQOXErrNoErr) return err;
    QOXRandomContext rc;
    qoxInitGlobalRandomPoolContext(&rc);
    if (qoxRandomCollectOsData(&rc, true) != 0) {
      qoxSetIsSeeded(true);
      result = kQOXErrNoErr;
    } else {
      result = kQOXErrUnknownError2;
    }
  }
  return result;
}

void qoxGlobalRandomPoolGetInfo_internal(uint32_t* outEntropy, uint32_t* outSize,
                                         uint32_t* outMinimum, bool* outHasMinimum) {
  if (outEntropy != nullptr) {
    QOXWriteGuard guard(&gPoolLock);
    *outEntropy = sPool.entropy;
  }
  if (outSize != nullptr) *outSize = kQOXRandomPoolBits;
  if (outMinimum != nullptr) *outMinimum = kQOXRandomPoolMinimumEntropy;
  if (outHasMinimum != nullptr) {
    if (qoxEnterFunction() != kQOXErrNoErr) {
      *outHasMinimum = false;
    } else if (qoxGlobalRandomPoolIsSeeded()) {
      *outHasMinimum = true;
    } else {
      QOXReadGuard guard(&gPoolLock);
      *outHasMinimum = sPool.totalEntropy >= kQOXRandomPoolMinimumEntropy;
    }
  }
}

uint32_t qoxGlobalRandomPoolAddKeystroke_internal(uint32_t keyValue) {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  uint32_t m = TimerEventDelta(gKeyHistory);
  QOXWriteGuard guard(&gPoolLock);
  uint8_t bytes[4];
  StoreBE32(bytes, keyValue);
  for (uint8_t b : bytes) AddByte(b);
  sPool.outputPosition = kOutputBytes;
  int equal = 0;
  for (uint32_t k : sPool.lastKeys) equal += (k == keyValue) ? 1 : 0;
  std::memmove(sPool.lastKeys + 1, sPool.lastKeys, 3 * sizeof(uint32_t));
  sPool.lastKeys[0] = keyValue;
  if (sPool.keySkip > 0) {
    --sPool.keySkip;
    return 0;
  }
  return equal < 2 ? EntropyWasAddedLocked(m) : 0;
}

uint32_t qoxGlobalRandomPoolMouseMoved_internal() {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  uint32_t m = TimerEventDelta(gMouseHistory);
  QOXWriteGuard guard(&gPoolLock);
  if (sPool.mouseSkip > 0) {
    --sPool.mouseSkip;
    return 0;
  }
  return EntropyWasAddedLocked(m);
}

uint32_t qoxGlobalRandomPoolEntropyWasAdded(uint32_t delta) {
  QOXWriteGuard guard(&gPoolLock);
  return EntropyWasAddedLocked(delta);
}

void qoxGlobalRandomPoolSetEntropy(uint32_t bits) {
  QOXWriteGuard guard(&gPoolLock);
  if (sPool.entropy < bits) sPool.entropy = bits > kQOXRandomPoolBits ? kQOXRandomPoolBits : bits;
}

void qoxGlobalRandomPoolAddEntropyBits(uint32_t bits) {
  QOXWriteGuard guard(&gPoolLock);
  uint64_t pending = uint64_t{sPool.pendingBits} + bits;
  if (pending >= kQOXRandomPoolPendingCap) {
    sPool.pendingBits = kQOXRandomPoolPendingCap;
    sPool.pendingFraction = 0;
  } else {
    sPool.pendingBits = static_cast<uint32_t>(pending);
  }
}

void qoxInitGlobalRandomPool() {
  QOXWriteGuard guard(&gPoolLock);
  sPool.entropy = sPool.entropyFraction = sPool.totalEntropy = 0;
  sPool.pendingBits = sPool.pendingFraction = 0;
  sPool.addPosition = sPool.keyPosition = sPool.addCount = 0;
  sPool.outputPosition = kOutputBytes;
}

// The lock is never destroyed (see gPoolLock); clean-up resets the
// bookkeeping as start-up does.
void qoxCleanupGlobalRandomPool() { qoxInitGlobalRandomPool(); }

bool qoxGlobalRandomPoolIsSeeded() { return gSeeded.load(std::memory_order_acquire); }
void qoxSetIsSeeded(bool seeded) { gSeeded.store(seeded, std::memory_order_release); }

void qoxInitGlobalRandomPoolContext(QOXRandomContext* rc) {
  rc->context = nullptr;
  rc->vtbl = &sGlobalRandomPoolVTBL;
  rc->priv = nullptr;
  rc->destroy = nullptr;
}

const QOXRandomVTBL* qoxGetGlobalRandomPoolVTBL() { return &sGlobalRandomPoolVTBL; }
const QOXRandomVTBL* qoxGetGlobalDummyRandomPoolVTBL() { return &sDummyRandomPoolVTBL; }

// ---------------------------------------------------------------------------
// Generic operations.

void qoxRandomGetBytes(QOXRandomContext* rc, void* buffer, size_t count) {
  if (count == 0) return;
  if (rc == nullptr) {
    // No generator: never crash the caller; it gets zeros, as from the dummy pool.
    std::memset(buffer, 0, count);
    return;
  }
  rc->vtbl->getBytesEntropy(rc->priv, static_cast<uint8_t*>(buffer), count,
                            static_cast<uint32_t>(count * 8));
}

uint32_t qoxRandomRange(QOXRandomContext* rc, uint32_t range, uint32_t entropyBits) {
  uint8_t b[4] = {0, 0, 0, 0};
  rc->vtbl->getBytesEntropy(rc->priv, b, 1, entropyBits);
  uint32_t q = 0;
  if (range < 2) {
    q = 0;
  } else if (range <= 256) {
    uint32_t divisor = 256 / range;
    do {
      rc->vtbl->getBytesEntropy(rc->priv, b, 1, 0);
      q = b[0] / divisor;
    } while (q >= range);
  } else if (range <= 65536) {
    uint32_t divisor = 65536 / range;
    do {
      rc->vtbl->getBytesEntropy(rc->priv, b, 2, 0);
      q = LoadBE16(b) / divisor;
    } while (q >= range);
  } else {
    // Larger ranges draw 32 bits, so the divisor never becomes 0.
    uint64_t divisor = (uint64_t{1} << 32) / range;
    do {
      rc->vtbl->getBytesEntropy(rc->priv, b, 4, 0);
      q = static_cast<uint32_t>(LoadBE32(b) / divisor);
    } while (q >= range);
  }
  std::memset(b, 0, sizeof b);
  return q;
}

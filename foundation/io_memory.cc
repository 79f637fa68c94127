// Memory streams: a growable owned buffer, or a fixed caller's buffer.
#include <algorithm>
#include <cstring>

#include "foundation/io.h"

namespace {

struct QOXMemoryIO {
  QOXIO base;
  uint32_t subMagic;  // "PROX" (shared with the proxy class)
  uint8_t* buffer;
  bool ownsBuffer;
  bool growable;
  size_t bufferSize;
  size_t endOfData;
};

struct MemoryInit {
  uint8_t* buffer;  // null: a growable stream with an owned buffer
  size_t size;
};

constexpr size_t kInitialSize = 512;

QOXMemoryIO* AsMemory(QOXIO* io) { return reinterpret_cast<QOXMemoryIO*>(io); }

QOXError MemInit(QOXIO* io, void* initData) {
  QOXError err = qoxioInheritInit(io, qoxIOGetClassVTBL(), initData);
  if (err != kQOXErrNoErr) return err;
  auto* m = AsMemory(io);
  auto* init = static_cast<MemoryInit*>(initData);
  m->subMagic = kQOXIOProxyMagic;
  if (init->buffer == nullptr) {
    m->buffer = static_cast<uint8_t*>(QOXNewData(io->memoryMgr, kInitialSize, kQOXMemoryMgrFlags_Clear));
    if (m->buffer == nullptr) return kQOXErrOutOfMemory;
    m->ownsBuffer = true;
    m->growable = true;
    m->bufferSize = kInitialSize;
    m->endOfData = 0;
  } else {
    m->buffer = init->buffer;
    m->ownsBuffer = false;
    m->growable = false;
    m->bufferSize = init->size;
    m->endOfData = init->size;
  }
  return kQOXErrNoErr;
}

QOXError MemDestroy(QOXIO* io) {
  auto* m = AsMemory(io);
  if (m->ownsBuffer && m->buffer != nullptr) {
    std::memset(m->buffer, 0, m->bufferSize);
    QOXFreeData(m->buffer);
  }
  m->buffer = nullptr;
  m->subMagic = ~m->subMagic;
  return qoxioInheritDestroy(io, qoxIOGetClassVTBL());
}

QOXError MemReallocate(QOXIO* io, void** buffer, size_t newSize) {
  return QOXReallocData(io->memoryMgr, buffer, newSize, 0);
}

QOXError MemWrite(QOXIO* io, size_t count, const void* data) {
  auto* m = AsMemory(io);
  size_t pos = static_cast<size_t>(io->position);
  size_t end = pos + count;
  if (end > m->bufferSize) {
    if (!m->growable) return kQOXErrDiskFull;
    void* block = m->buffer;
    size_t newSize = std::max(m->bufferSize + m->bufferSize / 2, end);
    QOXError err = io->vtbl->reallocate(io, &block, newSize);
    if (err != kQOXErrNoErr) {
      newSize = end;
      err = io->vtbl->reallocate(io, &block, newSize);
    }
    if (err != kQOXErrNoErr) return err;
    m->buffer = static_cast<uint8_t*>(block);
    m->bufferSize = newSize;
  }
  // Bytes skipped over by a position past the end read back as zeros.
  if (pos > m->endOfData) std::memset(m->buffer + m->endOfData, 0, pos - m->endOfData);
  std::memcpy(m->buffer + pos, data, count);
  m->endOfData = std::max(m->endOfData, end);
  return kQOXErrNoErr;
}

QOXError MemRead(QOXIO* io, size_t count, void* data, size_t* outRead) {
  auto* m = AsMemory(io);
  size_t pos = static_cast<size_t>(io->position);
  size_t available = pos < m->endOfData ? m->endOfData - pos : 0;
  size_t n = std::min(count, available);
  if (n > 0) std::memcpy(data, m->buffer + pos, n);
  *outRead = n;
  return n < count ? kQOXErrEOF : kQOXErrNoErr;
}

QOXError MemGetEOF(QOXIO* io, QOXFileOffset* outEOF) {
  *outEOF = static_cast<QOXFileOffset>(AsMemory(io)->endOfData);
  return kQOXErrNoErr;
}

const QOXIOVTBL* MemoryVTBL() {
  static const QOXIOVTBL table = [] {
    QOXIOVTBL t = *qoxIOGetClassVTBL();
    t.init = MemInit;
    t.destroy = MemDestroy;
    t.read = MemRead;
    t.write = MemWrite;
    t.getEOF = MemGetEOF;
    t.reallocate = MemReallocate;
    return t;
  }();
  return &table;
}

}  // namespace

const QOXIOVTBL* qoxMemoryIOGetClassVTBL() { return MemoryVTBL(); }

QOXError QOXNewMemoryIO(QOXMemoryMgr* mgr, QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  MemoryInit init{nullptr, 0};
  return qoxNewIOFromVTBL(mgr, MemoryVTBL(), sizeof(QOXMemoryIO), &init, outIO);
}

QOXError QOXNewMemoryIOFixedBuffer(QOXMemoryMgr* mgr, void* buffer, size_t size, QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  *outIO = nullptr;
  if (buffer == nullptr) return kQOXErrBadParams;
  MemoryInit init{static_cast<uint8_t*>(buffer), size};
  return qoxNewIOFromVTBL(mgr, MemoryVTBL(), sizeof(QOXMemoryIO), &init, outIO);
}

bool QOXMemoryIOIsValid(const QOXIO* io) {
  return QOXIOIsValid(io) && reinterpret_cast<const QOXMemoryIO*>(io)->subMagic == kQOXIOProxyMagic;
}

QOXError qoxMemoryIOPeekBuffer(const QOXIO* io, const uint8_t** outData, size_t* outLength) {
  if (outData == nullptr || outLength == nullptr) return kQOXErrBadParams;
  *outData = nullptr;
  *outLength = 0;
  if (!QOXMemoryIOIsValid(io) || io->vtbl != MemoryVTBL()) return kQOXErrBadParams;
  const auto* m = reinterpret_cast<const QOXMemoryIO*>(io);
  *outData = m->buffer;
  *outLength = m->endOfData;
  return kQOXErrNoErr;
}

QOXError qoxMemoryIOReallocate(QOXIO* io, size_t newSize) {
  // The magic test alone would let a proxy through: check the class table.
  if (!QOXMemoryIOIsValid(io) || io->vtbl != MemoryVTBL()) return kQOXErrBadParams;
  auto* m = AsMemory(io);
  if (!m->ownsBuffer) return kQOXErrBadParams;
  void* block = m->buffer;
  QOXError err = io->vtbl->reallocate(io, &block, newSize);
  if (err != kQOXErrNoErr) return err;
  m->buffer = static_cast<uint8_t*>(block);
  m->bufferSize = newSize;
  m->endOfData = std::min(m->endOfData, newSize);
  return kQOXErrNoErr;
}

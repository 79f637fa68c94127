// The byte FIFO: a chain of 1020-byte blocks, plain or secure memory.
//
// The first block is read from readPos, the last written at writePos; when
// the first block is also the last, its readable run ends at writePos. A
// block whose bytes are all read is wiped and freed at once, and an empty
// FIFO holds no block at all.
#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "pipeline/fifo.h"

namespace {

struct Block {
  Block* next;  // pointer-sized link
  uint8_t data[kQOXByteFifoBlockData];
};

struct ByteFifo {
  QOXMemoryMgr* mgr;
  Block* first;
  Block* last;
  size_t writePos;  // in last->data
  size_t readPos;   // in first->data
  size_t blocks;
  bool secure;
};

ByteFifo* Of(QOXFifo* fifo) { return reinterpret_cast<ByteFifo*>(fifo); }
const ByteFifo* Of(const QOXFifo* fifo) { return reinterpret_cast<const ByteFifo*>(fifo); }

void FreeBlock(Block* block) {
  std::memset(block, 0, sizeof *block);
  QOXFreeData(block);
}

Block* NewBlock(ByteFifo* f) {
  void* raw = f->secure ? QOXNewSecureData(f->mgr, sizeof(Block), kQOXMemoryMgrFlags_None)
                        : QOXNewData(f->mgr, sizeof(Block), kQOXMemoryMgrFlags_None);
  if (raw == nullptr) return nullptr;
  auto* block = static_cast<Block*>(raw);
  block->next = nullptr;
  if (f->last != nullptr) {
    f->last->next = block;
  } else {
    f->first = block;
    f->readPos = 0;
  }
  f->last = block;
  f->writePos = 0;
  ++f->blocks;
  return block;
}

// End of the first block's readable run.
size_t FrontEnd(const ByteFifo* f) { return f->first == f->last ? f->writePos : kQOXByteFifoBlockData; }

// Consumes n bytes of the first block's run (n at most that run).
void ConsumeFront(ByteFifo* f, size_t n) {
  f->readPos += n;
  if (f->readPos < FrontEnd(f)) return;
  if (f->first == f->last) {
    // The only block read empty: the FIFO is empty again.
    FreeBlock(f->first);
    f->first = f->last = nullptr;
    f->readPos = f->writePos = 0;
    f->blocks = 0;
    return;
  }
  Block* done = f->first;
  f->first = done->next;
  f->readPos = 0;
  --f->blocks;
  FreeBlock(done);
}

QOXFifo* Create(QOXContext* context, bool secure) {
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  if (mgr == nullptr) return nullptr;
  auto* f = static_cast<ByteFifo*>(QOXNewData(mgr, sizeof(ByteFifo), kQOXMemoryMgrFlags_Clear));
  if (f == nullptr) return nullptr;
  f->mgr = mgr;
  f->secure = secure;
  return reinterpret_cast<QOXFifo*>(f);
}

}  // namespace

QOXFifo* byteFifoCreate(QOXContext* context) { return Create(context, false); }
QOXFifo* byteFifoCreateSecure(QOXContext* context) { return Create(context, true); }

int64_t byteFifoWrite(QOXFifo* fifo, const uint8_t* bytes, size_t count) {
  ByteFifo* f = Of(fifo);
  size_t done = 0;
  while (done < count) {
    if (f->last == nullptr || f->writePos == kQOXByteFifoBlockData) {
      if (NewBlock(f) == nullptr) break;
    }
    size_t n = std::min(count - done, kQOXByteFifoBlockData - f->writePos);
    std::memcpy(f->last->data + f->writePos, bytes + done, n);
    f->writePos += n;
    done += n;
  }
  return static_cast<int64_t>(done);
}

const uint8_t* byteFifoPeek(QOXFifo* fifo, size_t* count) {
  ByteFifo* f = Of(fifo);
  if (f->first == nullptr || FrontEnd(f) == f->readPos) {
    *count = 0;
    return nullptr;
  }
  *count = FrontEnd(f) - f->readPos;
  return f->first->data + f->readPos;
}

void byteFifoSeek(QOXFifo* fifo, size_t count) {
  ByteFifo* f = Of(fifo);
  if (f->first == nullptr) return;
  ConsumeFront(f, std::min(count, FrontEnd(f) - f->readPos));
}

int64_t byteFifoRead(QOXFifo* fifo, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    size_t run = 0;
    const uint8_t* p = byteFifoPeek(fifo, &run);
    if (p == nullptr) break;
    size_t n = std::min(run, count - done);
    std::memcpy(buffer + done, p, n);
    byteFifoSeek(fifo, n);
    done += n;
  }
  return static_cast<int64_t>(done);
}

uint64_t byteFifoSize(const QOXFifo* fifo) {
  const ByteFifo* f = Of(fifo);
  if (f->first == nullptr) return 0;
  if (f->first == f->last) return f->writePos - f->readPos;
  return (kQOXByteFifoBlockData - f->readPos) + (f->blocks - 2) * kQOXByteFifoBlockData + f->writePos;
}

void byteFifoFlush(QOXFifo* fifo) {
  ByteFifo* f = Of(fifo);
  for (Block* b = f->first; b != nullptr;) {
    Block* next = b->next;
    FreeBlock(b);
    b = next;
  }
  f->first = f->last = nullptr;
  f->readPos = f->writePos = 0;
  f->blocks = 0;
}

void byteFifoDestroy(QOXFifo* fifo) {
  if (fifo == nullptr) return;
  byteFifoFlush(fifo);
  std::memset(Of(fifo), 0, sizeof(ByteFifo));
  QOXFreeData(fifo);
}

uint8_t* byteFifoGetSpace(QOXFifo* fifo, size_t* count) {
  ByteFifo* f = Of(fifo);
  if (f->last == nullptr || f->writePos == kQOXByteFifoBlockData) {
    if (NewBlock(f) == nullptr) {
      *count = 0;
      return nullptr;
    }
  }
  *count = kQOXByteFifoBlockData - f->writePos;
  return f->last->data + f->writePos;
}

void byteFifoSkipSpace(QOXFifo* fifo, size_t count) {
  ByteFifo* f = Of(fifo);
  if (f->last == nullptr) return;
  f->writePos += std::min(count, kQOXByteFifoBlockData - f->writePos);
}

QOXError byteFifoVisit(const QOXFifo* fifo, QOXError (*visit)(void* arg, const uint8_t* run, size_t count),
                       void* arg) {
  const ByteFifo* f = Of(fifo);
  for (const Block* b = f->first; b != nullptr; b = b->next) {
    size_t from = b == f->first ? f->readPos : 0;
    size_t to = b == f->last ? f->writePos : kQOXByteFifoBlockData;
    if (to > from) {
      QOXError err = visit(arg, b->data + from, to - from);
      if (err != kQOXErrNoErr) return err;
    }
  }
  return kQOXErrNoErr;
}

const QOXFifoDesc qoxByteFifoDesc = {
    "Byte Fifo",  byteFifoCreate, byteFifoRead,  byteFifoWrite, byteFifoPeek,
    byteFifoSeek, byteFifoFlush,  byteFifoDestroy, byteFifoSize,
};

const QOXFifoDesc qoxSecureByteFifoDesc = {
    "Secure Byte Fifo", byteFifoCreateSecure, byteFifoRead,    byteFifoWrite, byteFifoPeek,
    byteFifoSeek,       byteFifoFlush,        byteFifoDestroy, byteFifoSize,
};

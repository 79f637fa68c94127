// The flex FIFO: a byte FIFO that moves to a file FIFO once it would hold
// more than kQOXFlexFifoLimit bytes, so large intermediate results leave
// memory (enciphered, pipeline/file_fifo.cc).
//
// The move copies every held byte into a new file FIFO before the byte
// FIFO lets go of any: when the file FIFO cannot be made or fails in the
// middle, it is dropped and the byte FIFO still holds every byte accepted so
// far, in order, and stays in use.
#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "pipeline/fifo.h"

namespace {

struct FlexFifo {
  QOXContext* context;
  QOXFifo* bytes;  // byte mode
  QOXFifo* file;   // file mode
  bool inFile;
  uint64_t held;   // bytes in the byte FIFO
  uint64_t limit;
};

FlexFifo* Of(QOXFifo* fifo) { return reinterpret_cast<FlexFifo*>(fifo); }
const FlexFifo* Of(const QOXFifo* fifo) { return reinterpret_cast<const FlexFifo*>(fifo); }

QOXError CopyRun(void* arg, const uint8_t* run, size_t count) {
  int64_t n = fileFifoWrite(static_cast<QOXFifo*>(arg), run, count);
  if (n < 0) return static_cast<QOXError>(n);
  return static_cast<size_t>(n) == count ? kQOXErrNoErr : kQOXErrWriteFailed;
}

// Moves everything to a new file FIFO; on failure nothing changes.
QOXError MoveToFile(FlexFifo* f) {
  QOXFifo* file = fileFifoCreate(f->context);
  if (file == nullptr) return kQOXErrOutOfMemory;
  QOXError err = byteFifoVisit(f->bytes, CopyRun, file);
  if (err != kQOXErrNoErr) {
    fileFifoDestroy(file);
    return err;
  }
  byteFifoDestroy(f->bytes);
  f->bytes = nullptr;
  f->file = file;
  f->inFile = true;
  f->held = 0;
  return kQOXErrNoErr;
}

}  // namespace

QOXFifo* flexFifoCreate(QOXContext* context) {
  auto* f = static_cast<FlexFifo*>(qoxContextMemAlloc(context, sizeof(FlexFifo), kQOXMemoryMgrFlags_Clear));
  if (f == nullptr) return nullptr;
  f->context = context;
  f->bytes = qoxByteFifoDesc.create(context);
  if (f->bytes == nullptr) {
    qoxContextMemFree(context, f);
    return nullptr;
  }
  f->limit = kQOXFlexFifoLimit;
  return reinterpret_cast<QOXFifo*>(f);
}

int64_t flexFifoWrite(QOXFifo* fifo, const uint8_t* bytes, size_t count) {
  FlexFifo* f = Of(fifo);
  if (f->inFile) return fileFifoWrite(f->file, bytes, count);
  size_t room = f->held >= f->limit ? 0 : static_cast<size_t>(std::min<uint64_t>(count, f->limit - f->held));
  size_t taken = static_cast<size_t>(byteFifoWrite(f->bytes, bytes, room));
  f->held += taken;
  if (taken == count) return static_cast<int64_t>(count);
  // Over the limit, or memory ran out: everything goes to a file.
  QOXError err = MoveToFile(f);
  if (err != kQOXErrNoErr) return taken > 0 ? static_cast<int64_t>(taken) : err;
  int64_t rest = fileFifoWrite(f->file, bytes + taken, count - taken);
  if (rest < 0) return taken > 0 ? static_cast<int64_t>(taken) : rest;
  return static_cast<int64_t>(taken) + rest;
}

int64_t flexFifoRead(QOXFifo* fifo, uint8_t* buffer, size_t count) {
  FlexFifo* f = Of(fifo);
  if (f->inFile) return fileFifoRead(f->file, buffer, count);
  int64_t n = byteFifoRead(f->bytes, buffer, count);
  f->held -= static_cast<uint64_t>(n);
  return n;
}

const uint8_t* flexFifoPeek(QOXFifo* fifo, size_t* count) {
  FlexFifo* f = Of(fifo);
  return f->inFile ? fileFifoPeek(f->file, count) : byteFifoPeek(f->bytes, count);
}

void flexFifoSeek(QOXFifo* fifo, size_t count) {
  FlexFifo* f = Of(fifo);
  if (f->inFile) {
    fileFifoSeek(f->file, count);
    return;
  }
  uint64_t before = byteFifoSize(f->bytes);
  byteFifoSeek(f->bytes, count);
  f->held -= before - byteFifoSize(f->bytes);
}

uint64_t flexFifoSize(const QOXFifo* fifo) {
  const FlexFifo* f = Of(fifo);
  return f->inFile ? fileFifoSize(f->file) : byteFifoSize(f->bytes);
}

void flexFifoFlush(QOXFifo* fifo) {
  FlexFifo* f = Of(fifo);
  if (!f->inFile) {
    byteFifoFlush(f->bytes);
    f->held = 0;
    return;
  }
  // Back to byte mode; when no byte FIFO can be made the file FIFO stays,
  // emptied, so the FIFO remains usable.
  QOXFifo* bytes = qoxByteFifoDesc.create(f->context);
  if (bytes == nullptr) {
    fileFifoFlush(f->file);
    return;
  }
  fileFifoDestroy(f->file);
  f->file = nullptr;
  f->bytes = bytes;
  f->inFile = false;
  f->held = 0;
  f->limit = kQOXFlexFifoLimit;
}

void flexFifoDestroy(QOXFifo* fifo) {
  if (fifo == nullptr) return;
  FlexFifo* f = Of(fifo);
  if (f->bytes != nullptr) byteFifoDestroy(f->bytes);
  if (f->file != nullptr) fileFifoDestroy(f->file);
  QOXContext* context = f->context;
  std::memset(f, 0, sizeof *f);
  qoxContextMemFree(context, f);
}

bool flexFifoInFile(const QOXFifo* fifo) { return Of(fifo)->inFile; }

const QOXFifoDesc qoxFlexFifoDesc = {
    "Flex Byte/File Fifo", flexFifoCreate, flexFifoRead,    flexFifoWrite, flexFifoPeek,
    flexFifoSeek,          flexFifoFlush,  flexFifoDestroy, flexFifoSize,
};

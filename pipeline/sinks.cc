// Sinks: Dev Null, the fixed and growing memory sinks, the file sink.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/memory_mgr.h"
#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

QOXPipeline* Place(QOXPipeline** slot, QOXPipeline* module) {
  if (module != nullptr) *slot = module;
  return module;
}

// --- Dev Null ---

struct DevNull {};

size_t DevNullWrite(QOXPipeline*, const uint8_t*, size_t count, QOXError* error) {
  *error = kQOXErrNoErr;
  return count;
}
QOXError DevNullFlush(QOXPipeline*) { return kQOXErrNoErr; }
QOXError DevNullAnnotate(QOXPipeline*, QOXPipeline*, uint32_t, void*, size_t) { return kQOXErrNoErr; }
QOXError DevNullSizeAdvise(QOXPipeline*, uint64_t) { return kQOXErrNoErr; }
QOXError DevNullTeardown(QOXPipeline* m) {
  FreeModule<DevNull>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kDevNullOps = {DevNullWrite, DevNullFlush, DevNullAnnotate, DevNullSizeAdvise, DevNullTeardown};

// --- Fixed memory sink ---

struct MemSink {
  uint32_t depth;
  bool enabled;
  size_t capacity;
  uint64_t offered;
  uint8_t* buffer;
};

size_t MemWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  MemSink* s = StateOf<MemSink>(m);
  *error = kQOXErrNoErr;
  if (!s->enabled) return count;
  size_t held = static_cast<size_t>(std::min<uint64_t>(s->offered, s->capacity));
  size_t n = std::min(count, s->capacity - held);
  if (n > 0) std::memcpy(s->buffer + held, bytes, n);
  if (held + n < s->capacity) s->buffer[held + n] = 0;
  s->offered += count;
  return count;
}

QOXError MemAnnotate(QOXPipeline* m, QOXPipeline*, uint32_t type, void* data, size_t count) {
  MemSink* s = StateOf<MemSink>(m);
  switch (type) {
    case kQOXAnnMemBufSize:
      return qoxAnnAnswerU32(data, count, static_cast<uint32_t>(s->capacity));
    case kQOXAnnMemByteCount:
      return qoxAnnAnswerU32(data, count, static_cast<uint32_t>(std::min<uint64_t>(s->offered, UINT32_MAX)));
    case kQOXAnnMemEnable:
      if (data == nullptr || count < 1) return kQOXErrBadParams;
      s->enabled = *static_cast<const uint8_t*>(data) != 0;
      return kQOXErrNoErr;
    case kQOXAnnMemAppend: {
      // Only bytes already in place at the start of the sink's own buffer.
      if (data != s->buffer) return kQOXErrBadParams;
      uint64_t held = std::min<uint64_t>(s->offered, s->capacity);
      s->offered = std::max<uint64_t>(s->offered, held + std::min<uint64_t>(count, s->capacity - held));
      return kQOXErrNoErr;
    }
    default:
      TrackDepth(type, &s->depth);
      return kQOXErrNoErr;
  }
}

QOXError SinkFlush(QOXPipeline*) { return kQOXErrNoErr; }
QOXError SinkSizeAdvise(QOXPipeline*, uint64_t) { return kQOXErrNoErr; }
QOXError MemTeardown(QOXPipeline* m) {
  FreeModule<MemSink>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kMemOps = {MemWrite, SinkFlush, MemAnnotate, SinkSizeAdvise, MemTeardown};

// --- Growing memory sink ---

struct VarSink {
  uint32_t depth;
  bool enabled;
  uint64_t limit;
  uint64_t offered;
  uint64_t stored;
  const QOXFifoDesc* fifoDesc;
  QOXFifo* fifo;
  bool secure;
};

// Appends everything, or reports how much the FIFO took before memory ran out.
QOXError Append(VarSink* s, const uint8_t* bytes, size_t count, size_t* stored) {
  size_t done = 0;
  while (done < count) {
    int64_t n = s->fifoDesc->write(s->fifo, bytes + done, count - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  *stored = done;
  return done == count ? kQOXErrNoErr : kQOXErrOutOfMemory;
}

size_t VarWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  VarSink* s = StateOf<VarSink>(m);
  *error = kQOXErrNoErr;
  if (!s->enabled) return count;
  if (s->offered < s->limit) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, s->limit - s->offered));
    size_t stored = 0;
    QOXError err = Append(s, bytes, n, &stored);
    s->stored += stored;
    if (err != kQOXErrNoErr) {
      s->offered += stored;
      *error = err;
      return stored;
    }
  }
  s->offered += count;
  return count;
}

QOXError VarMemBuf(QOXPipeline* m, VarSink* s, void* data, size_t count) {
  if (data == nullptr || count < sizeof(void*)) return kQOXErrBadParams;
  void* answer = nullptr;
  std::memcpy(data, &answer, sizeof answer);
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(m->context);
  size_t size = static_cast<size_t>(s->fifoDesc->size(s->fifo));
  auto* block = static_cast<uint8_t*>(s->secure ? QOXNewSecureData(mgr, size + 1, kQOXMemoryMgrFlags_None)
                                                : QOXNewData(mgr, size + 1, kQOXMemoryMgrFlags_None));
  if (block == nullptr) return kQOXErrOutOfMemory;
  size_t done = 0;
  while (done < size) {
    size_t run = 0;
    const uint8_t* p = s->fifoDesc->peek(s->fifo, &run);
    if (p == nullptr) break;
    run = std::min(run, size - done);
    std::memcpy(block + done, p, run);
    s->fifoDesc->seek(s->fifo, run);
    done += run;
  }
  block[done] = 0;
  answer = block;
  std::memcpy(data, &answer, sizeof answer);
  return kQOXErrNoErr;
}

QOXError VarAnnotate(QOXPipeline* m, QOXPipeline*, uint32_t type, void* data, size_t count) {
  VarSink* s = StateOf<VarSink>(m);
  auto clamp = [](uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); };
  switch (type) {
    case kQOXAnnMemBufSize:
      return qoxAnnAnswerU32(data, count, clamp(s->stored));
    case kQOXAnnMemByteCount:
      return qoxAnnAnswerU32(data, count, clamp(s->offered));
    case kQOXAnnMemMaxSize:
      return qoxAnnAnswerU32(data, count, clamp(s->limit));
    case kQOXAnnMemEnable:
      if (data == nullptr || count < 1) return kQOXErrBadParams;
      s->enabled = *static_cast<const uint8_t*>(data) != 0;
      return kQOXErrNoErr;
    case kQOXAnnMemMemBuf:
      return VarMemBuf(m, s, data, count);
    case kQOXAnnMemAppend: {
      if (data == nullptr && count > 0) return kQOXErrBadParams;
      size_t stored = 0;
      QOXError err = Append(s, static_cast<const uint8_t*>(data), count, &stored);
      s->stored += stored;
      s->offered += stored;
      return err;
    }
    default:
      TrackDepth(type, &s->depth);
      return kQOXErrNoErr;
  }
}

QOXError VarTeardown(QOXPipeline* m) {
  VarSink* s = StateOf<VarSink>(m);
  if (s->fifo != nullptr) s->fifoDesc->destroy(s->fifo);
  FreeModule<VarSink>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kVarOps = {VarWrite, SinkFlush, VarAnnotate, SinkSizeAdvise, VarTeardown};

QOXPipeline* NewVarSink(QOXContext* context, QOXPipeline** slot, uint64_t limit, bool secure) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewModule<VarSink>(
      context, kQOXMagicVariableMemMod,
      secure ? "Securely write variable-sized memory" : "Write variable-sized memory", kVarOps);
  if (m == nullptr) return nullptr;
  VarSink* s = StateOf<VarSink>(m);
  s->enabled = true;
  s->limit = limit;
  s->secure = secure;
  s->fifoDesc = secure ? &qoxSecureByteFifoDesc : &qoxByteFifoDesc;
  s->fifo = s->fifoDesc->create(context);
  if (s->fifo == nullptr) {
    FreeModule<VarSink>(m);
    return nullptr;
  }
  return Place(slot, m);
}

// --- File sink ---

constexpr size_t kMaxFileName = 1023;

struct FileSink {
  QOXFile* file;
  bool closeAtEnd;
  bool openedByAnnotation;
  uint32_t depth;
};

bool Owns(const FileSink* s) { return s->closeAtEnd || s->openedByAnnotation; }

QOXError CloseOwned(FileSink* s) {
  QOXError err = kQOXErrNoErr;
  if (s->file != nullptr && Owns(s)) {
    err = s->file->close(s->file);
    s->file = nullptr;
    s->openedByAnnotation = false;
  }
  return err;
}

size_t FileWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  FileSink* s = StateOf<FileSink>(m);
  *error = kQOXErrNoErr;
  if (s->file == nullptr) {
    *error = kQOXErrCantOpenFile;
    return 0;
  }
  // Every byte is written, or the write fails: a short write is never
  // reported as success.
  size_t done = 0;
  while (done < count) {
    size_t n = s->file->write(bytes + done, count - done, s->file);
    if (n == 0) {
      if (s->file->error(s->file) != nullptr) {
        s->file->clearError(s->file);
        *error = kQOXErrFileOpError;
      } else {
        *error = kQOXErrWriteFailed;
      }
      break;
    }
    done += std::min(n, count - done);
  }
  return done;
}

QOXError FileFlush(QOXPipeline* m) {
  FileSink* s = StateOf<FileSink>(m);
  return s->file != nullptr ? s->file->flush(s->file) : kQOXErrNoErr;
}

QOXError FileAnnotate(QOXPipeline* m, QOXPipeline*, uint32_t type, void* data, size_t count) {
  FileSink* s = StateOf<FileSink>(m);
  if (type != kQOXAnnOutputFilename) {
    TrackDepth(type, &s->depth);
    return kQOXErrNoErr;
  }
  if (data == nullptr) return kQOXErrBadParams;
  if (s->file != nullptr) {
    QOXError err = s->file->flush(s->file);
    QOXError closeErr = CloseOwned(s);
    if (err == kQOXErrNoErr) err = closeErr;
    if (err != kQOXErrNoErr) return err;
  }
  char name[kMaxFileName + 1];
  size_t n = std::min(count, kMaxFileName);
  std::memcpy(name, data, n);
  name[n] = '\0';
  FILE* stream = std::fopen(name, "wb");
  if (stream == nullptr) return kQOXErrCantOpenFile;
  QOXFile* file = qoxFileWriteOpen(m->context, stream);
  if (file == nullptr) {
    std::fclose(stream);
    return kQOXErrOutOfMemory;
  }
  // A file the sink did not open stays the caller's.
  s->file = file;
  s->openedByAnnotation = true;
  return kQOXErrNoErr;
}

QOXError FileSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  FileSink* s = StateOf<FileSink>(m);
  if (bytes != 0 || s->depth != 0 || s->file == nullptr) return kQOXErrNoErr;
  QOXError err = s->file->flush(s->file);
  QOXError closeErr = CloseOwned(s);
  return err != kQOXErrNoErr ? err : closeErr;
}

QOXError FileTeardown(QOXPipeline* m) {
  FileSink* s = StateOf<FileSink>(m);
  if (s->file != nullptr) {
    s->file->flush(s->file);
    CloseOwned(s);
  }
  FreeModule<FileSink>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kFileOps = {FileWrite, FileFlush, FileAnnotate, FileSizeAdvise, FileTeardown};

}  // namespace

QOXPipeline* qoxDevNullCreate(QOXContext* context, QOXPipeline** slot) {
  if (slot == nullptr) return nullptr;
  return Place(slot, NewModule<DevNull>(context, kQOXMagicDevNull, "Dev Null", kDevNullOps));
}

QOXPipeline* qoxMemModCreate(QOXContext* context, QOXPipeline** slot, uint8_t* buffer, size_t capacity) {
  if (slot == nullptr || (buffer == nullptr && capacity > 0)) return nullptr;
  QOXPipeline* m = NewModule<MemSink>(context, kQOXMagicMemMod, "Write memory", kMemOps);
  if (m == nullptr) return nullptr;
  MemSink* s = StateOf<MemSink>(m);
  s->enabled = true;
  s->capacity = capacity;
  s->buffer = buffer;
  return Place(slot, m);
}

QOXPipeline* qoxVariableMemModCreate(QOXContext* context, QOXPipeline** slot, uint64_t sizeLimit) {
  return NewVarSink(context, slot, sizeLimit, false);
}

QOXPipeline* qoxSecureVariableMemModCreate(QOXContext* context, QOXPipeline** slot, uint64_t sizeLimit) {
  return NewVarSink(context, slot, sizeLimit, true);
}

QOXPipeline* qoxFileWriteCreate(QOXContext* context, QOXPipeline** slot, QOXFile* file, bool closeAtEnd) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewModule<FileSink>(context, kQOXMagicFileWrite, "Write file", kFileOps);
  if (m == nullptr) return nullptr;
  FileSink* s = StateOf<FileSink>(m);
  s->file = file;
  s->closeAtEnd = closeAtEnd;
  return Place(slot, m);
}

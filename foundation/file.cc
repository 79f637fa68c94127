// QOXFile over a stdio stream or a memory IO object.
#include "foundation/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "foundation/context.h"
#include "foundation/engine_services.h"

namespace {

QOXStdioFilePrivate* Stdio(QOXFile* file) { return static_cast<QOXStdioFilePrivate*>(file->priv); }

// Fills the error record; the position is read only when the stream shows
// an error, as the stream's position is otherwise of no interest.
void Record(QOXFile* file, QOXError code, int systemError) {
  QOXStdioFilePrivate* p = Stdio(file);
  p->err.file = file;
  p->err.position = p->stream != nullptr && std::ferror(p->stream) ? ftello(p->stream) : 0;
  p->err.error = code;
  p->err.systemError = systemError;
}

QOXError Fail(QOXFile* file, QOXError code, int systemError) {
  Record(file, code, systemError);
  Stdio(file)->errorWord = code;
  return code;
}

size_t StdRead(void* buffer, size_t count, QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  if ((p->flags & kQOXFileFlag_Read) == 0 || p->stream == nullptr) {
    Fail(file, kQOXErrIllegalFileOp, 0);
    return 0;
  }
  errno = 0;
  size_t n = std::fread(buffer, 1, count, p->stream);
  if (n == 0 && count != 0) {
    Record(file, kQOXErrFileOpError, errno);
    // At the end of the file the stream shows no error, and neither does the file.
    p->errorWord = std::ferror(p->stream) ? kQOXErrFileOpError : kQOXErrNoErr;
  }
  return n;
}

size_t StdWrite(const void* buffer, size_t count, QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  if ((p->flags & kQOXFileFlag_Write) == 0 || p->stream == nullptr) {
    Fail(file, kQOXErrFileLocked, 0);
    return 0;
  }
  errno = 0;
  size_t n = std::fwrite(buffer, 1, count, p->stream);
  if (n == 0 && count != 0) {
    Record(file, kQOXErrFileOpError, errno);
    p->errorWord = std::ferror(p->stream) ? kQOXErrFileOpError : kQOXErrNoErr;
  }
  return n;
}

QOXError StdFlush(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  if ((p->flags & kQOXFileFlag_Write) == 0 || p->stream == nullptr) return Fail(file, kQOXErrFileLocked, 0);
  if (std::fflush(p->stream) != 0) return Fail(file, kQOXErrFileOpError, errno);
  return kQOXErrNoErr;
}

void FreeFile(QOXFile* file) {
  QOXContext* context = file->context;
  std::memset(file->priv, 0, sizeof(QOXStdioFilePrivate));
  qoxContextMemFree(context, file->priv);
  std::memset(static_cast<void*>(file), 0, sizeof *file);
  qoxContextMemFree(context, file);
}

QOXError StdClose(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  if (p->stream != nullptr) {
    if ((p->flags & kQOXFileFlag_FClose) != 0 && (p->flags & kQOXFileFlag_NeverClose) == 0) {
      int rc = std::fclose(p->stream);
      // fclose releases the stream even when it fails; never touch it again.
      p->stream = nullptr;
      if (rc != 0) return Fail(file, kQOXErrFileOpError, errno);
    } else if ((p->flags & kQOXFileFlag_ProcClose) != 0 && p->closeProc != nullptr) {
      if (p->closeProc(p->stream, p->closeArg) != 0) return Fail(file, kQOXErrFileOpError, errno);
    }
  }
  if (p->cfb != nullptr) qoxEngineServices().QOXFreeCFBContext(p->cfb);
  p->cfb = nullptr;
  FreeFile(file);
  return kQOXErrNoErr;
}

QOXFileOffset StdTell(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  return p->stream != nullptr ? ftello(p->stream) : -1;
}

QOXError StdSeek(QOXFile* file, QOXFileOffset offset, int whence) {
  QOXStdioFilePrivate* p = Stdio(file);
  if ((p->flags & kQOXFileFlag_Read) == 0 || p->stream == nullptr) return Fail(file, kQOXErrIllegalFileOp, 0);
  if (fseeko(p->stream, static_cast<off_t>(offset), whence) != 0) return Fail(file, kQOXErrFileOpError, errno);
  return kQOXErrNoErr;
}

bool StdEOF(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  return p->stream == nullptr || std::feof(p->stream) != 0;
}

QOXFileOffset StdSizeAdvise(QOXFile* file) { return Stdio(file)->sizeAdvise; }

const QOXFileError* StdError(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  return p->errorWord != kQOXErrNoErr ? &p->err : nullptr;
}

void StdClearError(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  if (p->stream != nullptr) std::clearerr(p->stream);
  p->errorWord = kQOXErrNoErr;
}

// Only a file made for writing and closed with fclose may switch; it stays a
// write-only file.
QOXError StdWrite2Read(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  constexpr uint32_t kNeeded = kQOXFileFlag_Write | kQOXFileFlag_FClose;
  if ((p->flags & kNeeded) != kNeeded) return kQOXErrFileLocked;
  p->flags = (p->flags | kQOXFileFlag_Write) & ~kQOXFileFlag_Read;
  return kQOXErrNoErr;
}

QOXCFBContext* StdCFB(QOXFile* file) {
  QOXStdioFilePrivate* p = Stdio(file);
  if (p->cfb == nullptr) return nullptr;
  QOXCFBContext* copy = nullptr;
  return qoxEngineServices().QOXCopyCFBContext(p->cfb, &copy) == kQOXErrNoErr ? copy : nullptr;
}

QOXFile* NewStdioFile(QOXContext* context, FILE* stream, uint32_t flags, QOXFileCloseProc proc, void* arg) {
  if (stream == nullptr) return nullptr;
  auto* file = static_cast<QOXFile*>(qoxContextMemAlloc(context, sizeof(QOXFile), kQOXMemoryMgrFlags_Clear));
  if (file == nullptr) return nullptr;
  auto* p = static_cast<QOXStdioFilePrivate*>(
      qoxContextMemAlloc(context, sizeof(QOXStdioFilePrivate), kQOXMemoryMgrFlags_Clear));
  if (p == nullptr) {
    qoxContextMemFree(context, file);
    return nullptr;
  }
  p->closeProc = proc;
  p->closeArg = arg;
  p->stream = stream;
  p->flags = flags;
  struct stat st;
  p->sizeAdvise = fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<QOXFileOffset>(st.st_size) : -1;
  file->context = context;
  file->priv = p;
  file->read = StdRead;
  file->write = StdWrite;
  file->flush = StdFlush;
  file->close = StdClose;
  file->tell = StdTell;
  file->seek = StdSeek;
  file->eof = StdEOF;
  file->sizeAdvise = StdSizeAdvise;
  file->error = StdError;
  file->clearError = StdClearError;
  file->write2read = StdWrite2Read;
  file->cfb = StdCFB;
  return file;
}

// --- Memory files ---

struct MemFilePrivate {
  QOXContext* context;
  QOXIO* io;
  QOXFileError err;
  QOXError errorWord;
};

MemFilePrivate* Mem(QOXFile* file) { return static_cast<MemFilePrivate*>(file->priv); }

QOXError MemRecord(QOXFile* file, QOXError code) {
  MemFilePrivate* m = Mem(file);
  m->err.file = file;
  QOXIOGetPos(m->io, &m->err.position);
  m->err.error = code;
  m->err.systemError = 0;
  m->errorWord = code;
  return code;
}

size_t MemRead(void* buffer, size_t count, QOXFile* file) {
  QOXIO* io = Mem(file)->io;
  QOXFileOffset pos = 0;
  QOXIOGetPos(io, &pos);
  size_t got = 0;
  QOXError err = QOXIORead(io, count, buffer, &got);
  if (err != kQOXErrNoErr) {
    MemRecord(file, err);
    // A short read leaves the IO position where it was; the bytes that did
    // arrive are consumed all the same, or a reader at the end of the data
    // would get them again forever.
    if (got != 0) QOXIOSetPos(io, pos + static_cast<QOXFileOffset>(got));
  }
  return got;
}

size_t MemWrite(const void* buffer, size_t count, QOXFile* file) {
  QOXError err = QOXIOWrite(Mem(file)->io, count, buffer);
  if (err != kQOXErrNoErr) {
    MemRecord(file, err);
    return 0;
  }
  return count;
}

QOXError MemFlush(QOXFile* file) {
  QOXError err = QOXIOFlush(Mem(file)->io);
  return err != kQOXErrNoErr ? MemRecord(file, err) : err;
}

QOXError MemClose(QOXFile* file) {
  MemFilePrivate* m = Mem(file);
  QOXContext* context = m->context;
  QOXFreeIO(m->io);
  std::memset(m, 0, sizeof *m);
  qoxContextMemFree(context, m);
  std::memset(static_cast<void*>(file), 0, sizeof *file);
  qoxContextMemFree(context, file);
  return kQOXErrNoErr;
}

QOXFileOffset MemTell(QOXFile* file) {
  QOXFileOffset pos = 0;
  return QOXIOGetPos(Mem(file)->io, &pos) == kQOXErrNoErr ? pos : -1;
}

QOXError MemSeek(QOXFile* file, QOXFileOffset offset, int whence) {
  QOXIO* io = Mem(file)->io;
  QOXFileOffset base = 0;
  QOXError err = kQOXErrNoErr;
  if (whence == SEEK_CUR) {
    err = QOXIOGetPos(io, &base);
  } else if (whence == SEEK_END) {
    err = QOXIOGetEOF(io, &base);
  } else if (whence != SEEK_SET) {
    err = kQOXErrBadParams;
  }
  if (err == kQOXErrNoErr) err = QOXIOSetPos(io, base + offset);
  return err != kQOXErrNoErr ? MemRecord(file, err) : err;
}

bool MemEOF(QOXFile* file) { return QOXIOIsAtEOF(Mem(file)->io); }
QOXFileOffset MemSizeAdvise(QOXFile*) { return 0; }
const QOXFileError* MemError(QOXFile* file) {
  MemFilePrivate* m = Mem(file);
  return m->errorWord != kQOXErrNoErr ? &m->err : nullptr;
}
void MemClearError(QOXFile* file) { Mem(file)->errorWord = kQOXErrNoErr; }
QOXError MemWrite2Read(QOXFile* file) {
  QOXError err = QOXIOSetPos(Mem(file)->io, 0);
  return err != kQOXErrNoErr ? MemRecord(file, err) : err;
}
QOXCFBContext* MemCFB(QOXFile*) { return nullptr; }

}  // namespace

QOXFile* qoxFileReadOpen(QOXContext* context, FILE* stream) {
  return NewStdioFile(context, stream, kQOXFileFlag_Read | kQOXFileFlag_FClose, nullptr, nullptr);
}

QOXFile* qoxFileWriteOpen(QOXContext* context, FILE* stream) {
  return NewStdioFile(context, stream, kQOXFileFlag_Write | kQOXFileFlag_FClose, nullptr, nullptr);
}

QOXFile* qoxFileProcWriteOpen(QOXContext* context, FILE* stream, QOXFileCloseProc proc, void* arg) {
  return NewStdioFile(context, stream, kQOXFileFlag_Write | kQOXFileFlag_ProcClose, proc, arg);
}

QOXFile* qoxFileWriteOpenDontClose(QOXContext* context, FILE* stream) {
  return NewStdioFile(context, stream, kQOXFileFlag_Write | kQOXFileFlag_FClose | kQOXFileFlag_NeverClose,
                      nullptr, nullptr);
}

QOXFile* qoxFileMemOpen(QOXContext* context, const void* data, size_t length) {
  if (data == nullptr && length != 0) return nullptr;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  if (mgr == nullptr) return nullptr;
  QOXIO* io = nullptr;
  if (QOXNewMemoryIO(mgr, &io) != kQOXErrNoErr) return nullptr;
  if (length != 0 && (QOXIOWrite(io, length, data) != kQOXErrNoErr || QOXIOSetPos(io, 0) != kQOXErrNoErr)) {
    QOXFreeIO(io);
    return nullptr;
  }
  auto* file = static_cast<QOXFile*>(qoxContextMemAlloc(context, sizeof(QOXFile), kQOXMemoryMgrFlags_Clear));
  auto* m = static_cast<MemFilePrivate*>(qoxContextMemAlloc(context, sizeof(MemFilePrivate), kQOXMemoryMgrFlags_Clear));
  if (file == nullptr || m == nullptr) {
    if (file != nullptr) qoxContextMemFree(context, file);
    if (m != nullptr) qoxContextMemFree(context, m);
    QOXFreeIO(io);
    return nullptr;
  }
  m->context = context;
  m->io = io;
  file->context = context;
  file->priv = m;
  file->read = MemRead;
  file->write = MemWrite;
  file->flush = MemFlush;
  file->close = MemClose;
  file->tell = MemTell;
  file->seek = MemSeek;
  file->eof = MemEOF;
  file->sizeAdvise = MemSizeAdvise;
  file->error = MemError;
  file->clearError = MemClearError;
  file->write2read = MemWrite2Read;
  file->cfb = MemCFB;
  return file;
}

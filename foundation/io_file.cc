// File streams: the file class and the stdio file stream over it, plus the
// calls that open or resize a file named by a file spec.
#include <unistd.h>

#include <cstring>

#include "foundation/io.h"

namespace {

struct QOXFileIO {
  QOXIO base;
  uint32_t subMagic;  // "FLIO"
  uint32_t word;      // set to 1; no reader
};

struct QOXStdFileIO {
  QOXFileIO file;
  uint32_t secondMagic;  // "STIO"
  FILE* stream;
  uint8_t flag;  // stored for the caller; no reader
};

struct StdioInit {
  FILE* stream;
  uint8_t flag;
};

QOXFileIO* AsFile(QOXIO* io) { return reinterpret_cast<QOXFileIO*>(io); }
QOXStdFileIO* AsStdio(QOXIO* io) { return reinterpret_cast<QOXStdFileIO*>(io); }

QOXError FileInit(QOXIO* io, void* initData) {
  QOXError err = qoxioInheritInit(io, qoxIOGetClassVTBL(), initData);
  if (err != kQOXErrNoErr) return err;
  AsFile(io)->subMagic = kQOXIOFileMagic;
  AsFile(io)->word = 1;
  return kQOXErrNoErr;
}

QOXError FileDestroy(QOXIO* io) {
  AsFile(io)->subMagic = 0;
  return qoxioInheritDestroy(io, qoxIOGetClassVTBL());
}

const QOXIOVTBL* FileVTBL() {
  static const QOXIOVTBL table = [] {
    QOXIOVTBL t = *qoxIOGetClassVTBL();
    t.init = FileInit;
    t.destroy = FileDestroy;
    return t;
  }();
  return &table;
}

QOXError StdioInitProc(QOXIO* io, void* initData) {
  QOXError err = qoxioInheritInit(io, FileVTBL(), initData);
  if (err != kQOXErrNoErr) return err;
  auto* init = static_cast<StdioInit*>(initData);
  auto* s = AsStdio(io);
  s->secondMagic = kQOXIOStdioMagic;
  s->stream = init->stream;
  s->flag = init->flag;
  return kQOXErrNoErr;
}

QOXError StdioDestroy(QOXIO* io) {
  auto* s = AsStdio(io);
  QOXError err = kQOXErrNoErr;
  if (s->stream != nullptr && std::fclose(s->stream) != 0) err = kQOXErrFileOpError;
  s->stream = nullptr;
  s->secondMagic = 0;
  s->file.subMagic = 0;
  QOXError parent = qoxioInheritDestroy(io, FileVTBL());
  return err != kQOXErrNoErr ? err : parent;
}

QOXError StdioRead(QOXIO* io, size_t count, void* buffer, size_t* outRead) {
  size_t n = std::fread(buffer, 1, count, AsStdio(io)->stream);
  *outRead = n;
  return n < count ? kQOXErrEOF : kQOXErrNoErr;
}

QOXError StdioWrite(QOXIO* io, size_t count, const void* buffer) {
  size_t n = std::fwrite(buffer, 1, count, AsStdio(io)->stream);
  return n < count ? kQOXErrWriteFailed : kQOXErrNoErr;
}

QOXError StdioSetPos(QOXIO* io, QOXFileOffset pos) {
  return fseeko(AsStdio(io)->stream, static_cast<off_t>(pos), SEEK_SET) == 0 ? kQOXErrNoErr
                                                                            : kQOXErrFileOpError;
}

QOXError StdioGetEOF(QOXIO* io, QOXFileOffset* outEOF) {
  FILE* f = AsStdio(io)->stream;
  off_t saved = ftello(f);
  if (saved < 0 || fseeko(f, 0, SEEK_END) != 0) return kQOXErrFileOpError;
  off_t end = ftello(f);
  if (fseeko(f, saved, SEEK_SET) != 0 || end < 0) return kQOXErrFileOpError;
  *outEOF = static_cast<QOXFileOffset>(end);
  return kQOXErrNoErr;
}

QOXError StdioFlush(QOXIO* io) {
  return std::fflush(AsStdio(io)->stream) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
}

const QOXIOVTBL* StdioVTBL() {
  static const QOXIOVTBL table = [] {
    QOXIOVTBL t = *FileVTBL();
    t.init = StdioInitProc;
    t.destroy = StdioDestroy;
    t.read = StdioRead;
    t.write = StdioWrite;
    t.setPos = StdioSetPos;
    t.getEOF = StdioGetEOF;
    t.flush = StdioFlush;
    return t;
  }();
  return &table;
}

}  // namespace

const QOXIOVTBL* qoxFileIOGetClassVTBL() { return FileVTBL(); }
const QOXIOVTBL* qoxStdFileIOGetClassVTBL() { return StdioVTBL(); }

// On success the stream belongs to the new object; when the object cannot be
// allocated the stream stays the caller's.
QOXError QOXNewStdFileIO(QOXMemoryMgr* mgr, FILE* stream, uint8_t flag, QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  *outIO = nullptr;
  if (stream == nullptr) return kQOXErrBadParams;
  StdioInit init{stream, flag};
  return qoxNewIOFromVTBL(mgr, StdioVTBL(), sizeof(QOXStdFileIO), &init, outIO);
}

bool QOXFileIOIsValid(const QOXIO* io) {
  return QOXIOIsValid(io) && reinterpret_cast<const QOXFileIO*>(io)->subMagic == kQOXIOFileMagic;
}

bool QOXStdFileIOIsValid(const QOXIO* io) {
  return QOXFileIOIsValid(io) && reinterpret_cast<const QOXStdFileIO*>(io)->secondMagic == kQOXIOStdioMagic;
}

QOXError PFLLockFILE(FILE* stream, uint32_t flags) {
  if (stream == nullptr) return kQOXErrBadParams;
  return qoxPlatformLockFILE(stream, flags);
}

QOXError QOXOpenFileSpec(const PFLFileSpec* spec, uint32_t flags, QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  *outIO = nullptr;
  if (!pflFileSpecIsValid(spec) || (flags & ~(kQOXOpenFileSpec_Write | kQOXOpenFileSpec_Lock)) != 0)
    return kQOXErrBadParams;
  FILE* stream = nullptr;
  QOXError err = qoxPlatformOpenFileSpecAsFILE(
      spec, (flags & kQOXOpenFileSpec_Write) != 0 ? "r+b" : "rb", &stream);
  if (err != kQOXErrNoErr) return err;
  if ((flags & kQOXOpenFileSpec_Lock) != 0) {
    err = PFLLockFILE(stream, (flags & kQOXOpenFileSpec_Write) != 0 ? kPFLLockFILE_Write : 0);
    if (err != kQOXErrNoErr) {
      std::fclose(stream);
      return err;
    }
  }
  err = QOXNewStdFileIO(spec->memoryMgr, stream, 1, outIO);
  if (err != kQOXErrNoErr) std::fclose(stream);
  return err;
}

QOXError QOXSetFileSize(const PFLFileSpec* spec, QOXFileOffset size) {
  if (!pflFileSpecIsValid(spec) || size < 0 || spec->data == nullptr ||
      spec->type != kPFLFileSpecType_FullPath)
    return kQOXErrBadParams;
  const char* path = reinterpret_cast<const char*>(spec->data);
  return truncate(path, static_cast<off_t>(size)) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
}

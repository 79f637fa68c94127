// The base IO class, the generic QOXIO calls and stream copying.
#include "foundation/io.h"

#include <algorithm>
#include <cstring>

namespace {

QOXError BaseInit(QOXIO* io, void*) {
  io->position = 0;
  return kQOXErrNoErr;
}
QOXError BaseDestroy(QOXIO*) { return kQOXErrNoErr; }
QOXError BaseRead(QOXIO*, size_t, void*, size_t* outRead) {
  if (outRead != nullptr) *outRead = 0;
  return kQOXErrIllegalFileOp;
}
QOXError BaseWrite(QOXIO*, size_t, const void*) { return kQOXErrIllegalFileOp; }
QOXError BaseGetPos(QOXIO* io, QOXFileOffset* outPos) {
  *outPos = io->position;
  return kQOXErrNoErr;
}
QOXError BaseSetPos(QOXIO*, QOXFileOffset pos) { return pos < 0 ? kQOXErrBadParams : kQOXErrNoErr; }
QOXError BaseGetEOF(QOXIO*, QOXFileOffset* outEOF) {
  *outEOF = 0;
  return kQOXErrIllegalFileOp;
}
QOXError BaseFlush(QOXIO*) { return kQOXErrNoErr; }

constexpr QOXIOVTBL kBaseVTBL = {BaseInit,   BaseDestroy, BaseRead,  BaseWrite, BaseGetPos,
                                 BaseSetPos, BaseGetEOF,  BaseFlush, nullptr};

}  // namespace

const QOXIOVTBL* qoxIOGetClassVTBL() { return &kBaseVTBL; }

bool QOXIOIsValid(const QOXIO* io) {
  return io != nullptr && io->magic == kQOXIOMagic && io->vtbl != nullptr;
}

QOXMemoryMgr* QOXIOGetMemoryMgr(const QOXIO* io) { return io != nullptr ? io->memoryMgr : nullptr; }

QOXError QOXIORead(QOXIO* io, size_t count, void* buffer, size_t* outRead) {
  if (outRead != nullptr) *outRead = 0;
  if (!QOXIOIsValid(io) || buffer == nullptr) return kQOXErrBadParams;
  if (count == 0) return kQOXErrNoErr;
  size_t got = 0;
  QOXError err = io->vtbl->read(io, count, buffer, &got);
  if (outRead != nullptr) *outRead = got;
  if (err == kQOXErrNoErr) io->position += static_cast<QOXFileOffset>(got);
  return err;
}

QOXError QOXIOWrite(QOXIO* io, size_t count, const void* buffer) {
  if (!QOXIOIsValid(io) || buffer == nullptr) return kQOXErrBadParams;
  if (count == 0) return kQOXErrNoErr;
  QOXError err = io->vtbl->write(io, count, buffer);
  if (err == kQOXErrNoErr) io->position += static_cast<QOXFileOffset>(count);
  return err;
}

QOXError QOXIOSetPos(QOXIO* io, QOXFileOffset pos) {
  if (!QOXIOIsValid(io) || pos < 0) return kQOXErrBadParams;
  io->position = pos;
  return io->vtbl->setPos(io, pos);
}

QOXError QOXIOGetPos(QOXIO* io, QOXFileOffset* outPos) {
  if (outPos == nullptr) return kQOXErrBadParams;
  *outPos = 0;
  if (!QOXIOIsValid(io)) return kQOXErrBadParams;
  return io->vtbl->getPos(io, outPos);
}

QOXError QOXIOGetEOF(QOXIO* io, QOXFileOffset* outEOF) {
  if (outEOF == nullptr) return kQOXErrBadParams;
  *outEOF = 0;
  if (!QOXIOIsValid(io)) return kQOXErrBadParams;
  return io->vtbl->getEOF(io, outEOF);
}

QOXError QOXIOFlush(QOXIO* io) {
  if (!QOXIOIsValid(io)) return kQOXErrBadParams;
  return io->vtbl->flush(io);
}

bool QOXIOIsAtEOF(QOXIO* io) {
  QOXFileOffset pos = 0;
  QOXFileOffset end = 0;
  QOXIOGetPos(io, &pos);
  QOXIOGetEOF(io, &end);
  return pos >= end;
}

QOXError QOXFreeIO(QOXIO* io) {
  if (!QOXIOIsValid(io)) return kQOXErrBadParams;
  QOXError err = io->vtbl->destroy(io);
  io->magic = 0;
  QOXFreeData(io);
  return err;
}

QOXError qoxNewIOFromVTBL(QOXMemoryMgr* mgr, const QOXIOVTBL* vtbl, size_t objectSize, void* initData,
                          QOXIO** outIO) {
  if (outIO == nullptr) return kQOXErrBadParams;
  *outIO = nullptr;
  if (vtbl == nullptr || objectSize < sizeof(QOXIO)) return kQOXErrBadParams;
  auto* io = static_cast<QOXIO*>(QOXNewData(mgr, objectSize, kQOXMemoryMgrFlags_Clear));
  if (io == nullptr) return kQOXErrOutOfMemory;
  io->vtbl = vtbl;
  io->memoryMgr = mgr;
  io->magic = kQOXIOMagic;
  QOXError err = vtbl->init(io, initData);
  if (err != kQOXErrNoErr) {
    vtbl->destroy(io);
    QOXFreeData(io);
    return err;
  }
  *outIO = io;
  return kQOXErrNoErr;
}

QOXError qoxioInheritInit(QOXIO* io, const QOXIOVTBL* parent, void* initData) {
  return parent->init(io, initData);
}
QOXError qoxioInheritDestroy(QOXIO* io, const QOXIOVTBL* parent) { return parent->destroy(io); }
QOXError qoxioInheritRead(QOXIO* io, const QOXIOVTBL* parent, size_t count, void* buffer,
                          size_t* outRead) {
  return parent->read(io, count, buffer, outRead);
}
QOXError qoxioInheritWrite(QOXIO* io, const QOXIOVTBL* parent, size_t count, const void* buffer) {
  return parent->write(io, count, buffer);
}
QOXError qoxioInheritSetPos(QOXIO* io, const QOXIOVTBL* parent, QOXFileOffset pos) {
  return parent->setPos(io, pos);
}
QOXError qoxioInheritGetEOF(QOXIO* io, const QOXIOVTBL* parent, QOXFileOffset* outEOF) {
  return parent->getEOF(io, outEOF);
}
QOXError qoxioInheritFlush(QOXIO* io, const QOXIOVTBL* parent) { return parent->flush(io); }

QOXError QOXCopyIOUsingBuffer(QOXIO* from, QOXFileOffset count, QOXIO* to, void* buffer,
                              size_t bufferSize) {
  if (count == 0) return kQOXErrNoErr;
  if (buffer == nullptr || bufferSize == 0 || count < 0) return kQOXErrBadParams;
  while (count > 0) {
    size_t chunk = static_cast<size_t>(std::min<QOXFileOffset>(count, static_cast<QOXFileOffset>(bufferSize)));
    QOXError err = QOXIORead(from, chunk, buffer, nullptr);
    if (err != kQOXErrNoErr) return err;
    err = QOXIOWrite(to, chunk, buffer);
    if (err != kQOXErrNoErr) return err;
    count -= static_cast<QOXFileOffset>(chunk);
  }
  return kQOXErrNoErr;
}

QOXError QOXCopyIO(QOXIO* from, QOXFileOffset count, QOXIO* to) {
  constexpr size_t kChunk = 32768;
  if (!QOXIOIsValid(from) || count < 0) return kQOXErrBadParams;
  void* buffer = QOXNewData(from->memoryMgr, kChunk, 0);
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  QOXError err = QOXCopyIOUsingBuffer(from, count, to, buffer, kChunk);
  QOXFreeData(buffer);
  return err;
}

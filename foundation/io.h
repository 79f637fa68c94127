// IO objects: the foundation's byte streams.
//
// A QOXIO is one cleared block of its memory manager that begins with the
// base fields (magic "QXIO", class table, manager, position). Classes form a
// small hierarchy, each with a table of eight operations (the memory class
// adds a ninth, reallocate):
//
//   base -+- memory        growable or fixed buffer
//         +- file --- stdio file   over a stdio stream (owned, closed at free)
//         +- proxy -- line-end     write-only, converts line ends
//
// A subclass table is its parent's table with some slots replaced; each is
// built once (thread-safe static initialisation). The public QOXIO... calls
// check the object, keep the position and dispatch through the table.
//
// The memory and proxy classes carry the same subclass magic "PROX" in the
// same field, so QOXMemoryIOIsValid accepts a proxy and QOXProxyIOIsValid a
// memory stream; memory-only operations check the class table as well.
//
// Thread safety: an IO object belongs to one thread at a time.
#ifndef OSTRAK_FOUNDATION_IO_H_
#define OSTRAK_FOUNDATION_IO_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/errors.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"

using QOXFileOffset = int64_t;

struct QOXIO;

struct QOXIOVTBL {
  QOXError (*init)(QOXIO* io, void* initData);
  QOXError (*destroy)(QOXIO* io);
  QOXError (*read)(QOXIO* io, size_t count, void* buffer, size_t* outRead);
  QOXError (*write)(QOXIO* io, size_t count, const void* buffer);
  QOXError (*getPos)(QOXIO* io, QOXFileOffset* outPos);
  QOXError (*setPos)(QOXIO* io, QOXFileOffset pos);
  QOXError (*getEOF)(QOXIO* io, QOXFileOffset* outEOF);
  QOXError (*flush)(QOXIO* io);
  // Memory class only.
  QOXError (*reallocate)(QOXIO* io, void** buffer, size_t newSize);
};

struct QOXIO {
  uint32_t magic;  // "QXIO"
  const QOXIOVTBL* vtbl;
  QOXMemoryMgr* memoryMgr;
  QOXFileOffset position;
};

// Four characters as one word, first character in the high byte.
constexpr uint32_t QOXFourCC(char a, char b, char c, char d) {
  return (uint32_t{static_cast<uint8_t>(a)} << 24) | (uint32_t{static_cast<uint8_t>(b)} << 16) |
         (uint32_t{static_cast<uint8_t>(c)} << 8) | uint32_t{static_cast<uint8_t>(d)};
}
inline constexpr uint32_t kQOXIOMagic = QOXFourCC('Q', 'X', 'I', 'O');
inline constexpr uint32_t kQOXIOProxyMagic = QOXFourCC('P', 'R', 'O', 'X');
inline constexpr uint32_t kQOXIOFileMagic = QOXFourCC('F', 'L', 'I', 'O');
inline constexpr uint32_t kQOXIOStdioMagic = QOXFourCC('S', 'T', 'I', 'O');

// Line-end kinds.
inline constexpr int kQOXLineEnd_CR = 0;
inline constexpr int kQOXLineEnd_LF = 1;  // any value other than 0 and 2
inline constexpr int kQOXLineEnd_CRLF = 2;

// --- Generic calls ---
QOXError QOXIORead(QOXIO* io, size_t count, void* buffer, size_t* outRead);
QOXError QOXIOWrite(QOXIO* io, size_t count, const void* buffer);
QOXError QOXIOSetPos(QOXIO* io, QOXFileOffset pos);
QOXError QOXIOGetPos(QOXIO* io, QOXFileOffset* outPos);
QOXError QOXIOGetEOF(QOXIO* io, QOXFileOffset* outEOF);
QOXError QOXIOFlush(QOXIO* io);
bool QOXIOIsAtEOF(QOXIO* io);
QOXError QOXFreeIO(QOXIO* io);
QOXMemoryMgr* QOXIOGetMemoryMgr(const QOXIO* io);
bool QOXIOIsValid(const QOXIO* io);

QOXError qoxNewIOFromVTBL(QOXMemoryMgr* mgr, const QOXIOVTBL* vtbl, size_t objectSize,
                          void* initData, QOXIO** outIO);
const QOXIOVTBL* qoxIOGetClassVTBL();
QOXError qoxioInheritInit(QOXIO* io, const QOXIOVTBL* parent, void* initData);
QOXError qoxioInheritDestroy(QOXIO* io, const QOXIOVTBL* parent);
QOXError qoxioInheritRead(QOXIO* io, const QOXIOVTBL* parent, size_t count, void* buffer,
                          size_t* outRead);
QOXError qoxioInheritWrite(QOXIO* io, const QOXIOVTBL* parent, size_t count, const void* buffer);
QOXError qoxioInheritSetPos(QOXIO* io, const QOXIOVTBL* parent, QOXFileOffset pos);
QOXError qoxioInheritGetEOF(QOXIO* io, const QOXIOVTBL* parent, QOXFileOffset* outEOF);
QOXError qoxioInheritFlush(QOXIO* io, const QOXIOVTBL* parent);

// Copies count bytes from the current position of one stream to the other,
// in chunks of at most 32768 bytes.
QOXError QOXCopyIO(QOXIO* from, QOXFileOffset count, QOXIO* to);
QOXError QOXCopyIOUsingBuffer(QOXIO* from, QOXFileOffset count, QOXIO* to, void* buffer,
                              size_t bufferSize);

// --- Memory streams ---
QOXError QOXNewMemoryIO(QOXMemoryMgr* mgr, QOXIO** outIO);
QOXError QOXNewMemoryIOFixedBuffer(QOXMemoryMgr* mgr, void* buffer, size_t size, QOXIO** outIO);
bool QOXMemoryIOIsValid(const QOXIO* io);
const QOXIOVTBL* qoxMemoryIOGetClassVTBL();
// The buffer and the end of data of a memory stream (checked by class table).
QOXError qoxMemoryIOPeekBuffer(const QOXIO* io, const uint8_t** outData, size_t* outLength);
// Resizes a memory stream's buffer through its reallocate slot; -12000 for
// anything that is not a memory stream (a proxy passes the magic test).
QOXError qoxMemoryIOReallocate(QOXIO* io, size_t newSize);

// --- File streams ---
QOXError QOXNewStdFileIO(QOXMemoryMgr* mgr, FILE* stream, uint8_t flag, QOXIO** outIO);
bool QOXFileIOIsValid(const QOXIO* io);
bool QOXStdFileIOIsValid(const QOXIO* io);
const QOXIOVTBL* qoxFileIOGetClassVTBL();
const QOXIOVTBL* qoxStdFileIOGetClassVTBL();

inline constexpr uint32_t kQOXOpenFileSpec_Write = 1;
inline constexpr uint32_t kQOXOpenFileSpec_Lock = 2;
QOXError QOXOpenFileSpec(const PFLFileSpec* spec, uint32_t flags, QOXIO** outIO);
QOXError PFLLockFILE(FILE* stream, uint32_t flags);
QOXError QOXSetFileSize(const PFLFileSpec* spec, QOXFileOffset size);

// --- Proxy and line-end streams ---
QOXError QOXNewProxyIO(QOXIO* target, bool ownsTarget, QOXIO** outIO);
bool QOXProxyIOIsValid(const QOXIO* io);
const QOXIOVTBL* qoxProxyIOGetClassVTBL();
QOXError QOXNewLineEndIO(QOXIO* target, bool ownsTarget, int lineEndKind, QOXIO** outIO);
bool QOXLineEndIOIsValid(const QOXIO* io);
const QOXIOVTBL* qoxLineEndIOGetClassVTBL();

OSTRAK_DEFINE_DELETER(QOXIO, QOXFreeIO)

#endif  // OSTRAK_FOUNDATION_IO_H_

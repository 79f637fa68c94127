// Memory managers, secure blocks and the system-heap routines.
//
// A QOXMemoryMgr carries five allocation procedures and a custom value. Every
// block it hands out through QOXNewData, QOXNewSecureData or QOXReallocData
// has a 16-byte header in front of it naming its owner, so QOXFreeData works
// on any block without knowing where it came from. Secure blocks are locked in
// memory when the platform allows and are wiped before their memory goes
// back, also when reallocation moves them.
//
// Block header (in memory only, never stored):
//   bytes 0-7   owning manager (a pointer-sized field)
//   bytes 8-11  size word: bits 0-29 data size, bit 30 locked, bit 31 secure
//   bytes 12-15 tag, the characters "BUGF"
// Because the size word keeps 30 bits, requests of 2^30 bytes or more are
// refused (null, or kQOXErrOutOfMemory from QOXReallocData).
//
// Thread safety: managers and blocks carry no lock; the standard procedures
// rely on the system allocator. The default-manager list is guarded by its
// own reader/writer lock (QOXSetDefaultMemoryMgr and
// qoxFreeDefaultMemoryMgrList write, QOXGetDefaultMemoryMgr reads). A custom
// manager shared between threads must make its procedures safe itself.
#ifndef OSTRAK_FOUNDATION_MEMORY_MGR_H_
#define OSTRAK_FOUNDATION_MEMORY_MGR_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXMemoryMgr;  // opaque; made by QOXNewMemoryMgr/QOXNewMemoryMgrCustom

// Opaque user value handed to every procedure (pointer-sized).
using QOXMemoryMgrCustomValue = void*;

// Allocation flags.
inline constexpr uint32_t kQOXMemoryMgrFlags_None = 0;
inline constexpr uint32_t kQOXMemoryMgrFlags_Clear = 1;  // zero the new bytes

// Largest data size a block can record (the size word keeps 30 bits).
inline constexpr size_t kQOXMaxBlockDataSize = (size_t{1} << 30) - 1;
inline constexpr size_t kQOXBlockHeaderSize = 16;

// QOXGetMemoryMgrDataInfo bits.
inline constexpr uint32_t kQOXMemoryMgrBlockInfo_Valid = 1;
inline constexpr uint32_t kQOXMemoryMgrBlockInfo_Secure = 2;
inline constexpr uint32_t kQOXMemoryMgrBlockInfo_Locked = 4;

// The manager argument is null when the manager object itself is allocated
// or released.
using QOXMemoryMgrAllocationProc = void* (*)(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom,
                                             size_t size, uint32_t flags);
// On success may move the block and stores the new address through *block.
using QOXMemoryMgrReallocationProc = QOXError (*)(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom,
                                                  void** block, size_t newSize, uint32_t flags,
                                                  size_t oldSize);
using QOXMemoryMgrDeallocationProc = QOXError (*)(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom,
                                                  void* block, size_t size);
// *isLocked tells whether the memory was locked into RAM.
using QOXMemoryMgrSecureAllocationProc = void* (*)(QOXMemoryMgr* mgr,
                                                   QOXMemoryMgrCustomValue custom, size_t size,
                                                   uint32_t flags, bool* isLocked);
using QOXMemoryMgrSecureDeallocationProc = QOXError (*)(QOXMemoryMgr* mgr,
                                                        QOXMemoryMgrCustomValue custom,
                                                        void* block, size_t size, bool wasLocked);

// Creation record of QOXNewMemoryMgrCustom. sizeofStruct must be at least
// sizeof(QOXNewMemoryMgrStruct); reserved must be null and reserved2 all zero.
struct QOXNewMemoryMgrStruct {
  uint32_t sizeofStruct;
  uint32_t flags;  // not examined
  QOXMemoryMgrAllocationProc allocProc;
  QOXMemoryMgrReallocationProc reallocProc;
  QOXMemoryMgrDeallocationProc deallocProc;
  QOXMemoryMgrSecureAllocationProc secureAllocProc;
  void* reserved;
  QOXMemoryMgrSecureDeallocationProc secureDeallocProc;
  QOXMemoryMgrCustomValue customValue;
  uintptr_t reserved2[8];
};

// --- Manager objects ---
QOXError QOXNewMemoryMgrCustom(const QOXNewMemoryMgrStruct* record, QOXMemoryMgr** outMgr);
QOXError QOXNewMemoryMgr(uint32_t flags, QOXMemoryMgr** outMgr);  // flags must be 0
QOXError qoxCreateStandardMemoryMgr(QOXMemoryMgr** outMgr);
QOXError QOXFreeMemoryMgr(QOXMemoryMgr* mgr);
QOXError QOXValidateMemoryMgr(const QOXMemoryMgr* mgr);
QOXError QOXGetMemoryMgrCustomValue(const QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue* outValue);
QOXError QOXSetMemoryMgrCustomValue(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue value);
QOXError qoxDisposeStandardMemoryMgrUserValue(QOXMemoryMgrCustomValue value);

// --- Blocks ---
void* QOXNewData(QOXMemoryMgr* mgr, size_t size, uint32_t flags);
void* QOXNewSecureData(QOXMemoryMgr* mgr, size_t size, uint32_t flags);
// The manager argument (not the block's owner) supplies the procedures. A
// null *data allocates a plain block. On failure *data is left as it was.
QOXError QOXReallocData(QOXMemoryMgr* mgr, void** data, size_t newSize, uint32_t flags);
QOXError QOXFreeData(void* data);
uint32_t QOXGetMemoryMgrDataInfo(const void* data);

// --- Default manager ---
QOXError QOXSetDefaultMemoryMgr(QOXMemoryMgr* mgr);
QOXMemoryMgr* QOXGetDefaultMemoryMgr();
void qoxFreeDefaultMemoryMgrList();

// --- System-heap blocks (a separate family; never mixed with the above) ---
// Each has a size prefix in front of the data; callers get the data address.
void* qoxInternalAlloc(size_t size);     // size 0 gives a valid block
void* qoxInternalMemAlloc(size_t size);  // size 0 gives null
QOXError qoxRealloc(void** block, size_t newSize);
void* qoxInternalMemRealloc(void* block, size_t newSize);
void qoxFree(void* block);
// Overlap-safe copy; note the order: source first.
void qoxCopyMemory(const void* source, void* dest, size_t length);
// Fills dest with repetitions of pattern; returns destLength. An empty
// pattern leaves dest untouched.
size_t qoxCopyPattern(const void* pattern, size_t patternLength, void* dest, size_t destLength);

#endif  // OSTRAK_FOUNDATION_MEMORY_MGR_H_

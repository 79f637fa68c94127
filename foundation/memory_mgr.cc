// Memory managers, block headers, the default-manager list and the
// system-heap routines.
#include "foundation/memory_mgr.h"

#include <cstdlib>
#include <cstring>

#include "foundation/locked_pages.h"
#include "foundation/threads.h"

struct QOXMemoryMgr {
  uint32_t magic;
  QOXMemoryMgrCustomValue customValue;
  bool isStandard;
  QOXMemoryMgrAllocationProc allocProc;
  QOXMemoryMgrReallocationProc reallocProc;
  QOXMemoryMgrDeallocationProc deallocProc;
  QOXMemoryMgrSecureAllocationProc secureAllocProc;
  QOXMemoryMgrSecureDeallocationProc secureDeallocProc;
};

namespace {

constexpr uint32_t kMemoryMgrMagic = 0x4D4D6772;  // "MMgr"
constexpr uint32_t kDeadMgrMagic = 0x64656164;    // written when a manager is freed
constexpr char kBlockTag[4] = {'B', 'U', 'G', 'F'};

constexpr uint32_t kSizeMask = (uint32_t{1} << 30) - 1;
constexpr uint32_t kLockedBit = uint32_t{1} << 30;
constexpr uint32_t kSecureBit = uint32_t{1} << 31;

// The header lies in front of every manager block. The owner field is a full
// pointer, so the size word and tag follow it and the header keeps its
// 16 bytes, which also keeps the data at the allocator's 16-byte alignment.
struct BlockHeader {
  QOXMemoryMgr* owner;
  uint32_t sizeWord;
  char tag[4];
};
static_assert(sizeof(BlockHeader) == kQOXBlockHeaderSize);
static_assert(offsetof(BlockHeader, sizeWord) == 8 && offsetof(BlockHeader, tag) == 12);

bool MgrValid(const QOXMemoryMgr* mgr) { return mgr != nullptr && mgr->magic == kMemoryMgrMagic; }

BlockHeader* HeaderOf(const void* data) {
  return reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(data)) -
                                        kQOXBlockHeaderSize);
}

void* DataOf(void* header) { return static_cast<char*>(header) + kQOXBlockHeaderSize; }

// A block is valid when its tag reads "BUGF" and its owner carries the
// manager magic. A pointer at or below 16 would put the header at or below
// address 0 and is refused without reading it.
BlockHeader* ValidHeader(const void* data) {
  if (reinterpret_cast<uintptr_t>(data) <= kQOXBlockHeaderSize) return nullptr;
  BlockHeader* h = HeaderOf(data);
  if (std::memcmp(h->tag, kBlockTag, sizeof kBlockTag) != 0) return nullptr;
  if (!MgrValid(h->owner)) return nullptr;
  return h;
}

void WriteHeader(void* block, QOXMemoryMgr* owner, size_t size, uint32_t extraBits) {
  BlockHeader* h = static_cast<BlockHeader*>(block);
  h->owner = owner;
  h->sizeWord = (static_cast<uint32_t>(size) & kSizeMask) | extraBits;
  std::memcpy(h->tag, kBlockTag, sizeof kBlockTag);
}

// Wipes memory in a way the compiler cannot drop as a dead store.
void SecureZero(void* p, size_t n) {
  volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
  while (n-- > 0) *v++ = 0;
}

// --- The standard procedures ---

void* sGenericMemoryAllocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, size_t size, uint32_t) {
  return std::malloc(size);
}

QOXError sGenericMemoryReallocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void** block,
                                        size_t newSize, uint32_t, size_t) {
  void* moved = std::realloc(*block, newSize);
  if (moved == nullptr) return kQOXErrOutOfMemory;
  *block = moved;
  return kQOXErrNoErr;
}

QOXError sGenericMemoryDeallocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void* block,
                                        size_t) {
  std::free(block);
  return kQOXErrNoErr;
}

// Secure blocks live in locked pages that stay locked while the pool holds
// them (foundation/locked_pages.h), rather than locking and unlocking each
// block's pages: that costs two system calls a block and unlocks pages other
// secure blocks still share. Under AddressSanitizer they come from the heap
// instead, unlocked, so the sanitizer sees every block's bounds and leaks.
#if defined(__SANITIZE_ADDRESS__)
void* sGenericSecureMemoryAllocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, size_t size,
                                         uint32_t, bool* isLocked) {
  *isLocked = false;
  return std::calloc(1, size);
}

QOXError sGenericSecureMemoryDeallocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void* block,
                                              size_t, bool) {
  std::free(block);
  return kQOXErrNoErr;
}
#else
void* sGenericSecureMemoryAllocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, size_t size,
                                         uint32_t, bool* isLocked) {
  return ostrak::LockedPagePool::Shared().Allocate(size, isLocked);
}

QOXError sGenericSecureMemoryDeallocationProc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void* block,
                                              size_t size, bool) {
  ostrak::LockedPagePool::Shared().Release(block, size);
  return kQOXErrNoErr;
}
#endif

// Releases a manager object through its own deallocate procedure.
void ReleaseMgrObject(QOXMemoryMgr* mgr) {
  bool wasStandard = mgr->isStandard;
  QOXMemoryMgrCustomValue custom = mgr->customValue;
  QOXMemoryMgrDeallocationProc dealloc = mgr->deallocProc;
  mgr->magic = kDeadMgrMagic;
  dealloc(nullptr, custom, mgr, sizeof(QOXMemoryMgr));
  if (wasStandard) qoxDisposeStandardMemoryMgrUserValue(custom);
}

// Total block size for a data size, or 0 when the size cannot be recorded.
size_t TotalFor(size_t size) {
  if (size > kQOXMaxBlockDataSize) return 0;
  return size + kQOXBlockHeaderSize;
}

void* NewBlock(QOXMemoryMgr* mgr, size_t size, uint32_t flags, bool secure) {
  if (!MgrValid(mgr)) return nullptr;
  size_t total = TotalFor(size);
  if (total == 0) return nullptr;
  bool locked = false;
  void* block = secure ? mgr->secureAllocProc(mgr, mgr->customValue, total, flags, &locked)
                       : mgr->allocProc(mgr, mgr->customValue, total, flags);
  if (block == nullptr) return nullptr;
  if (flags & kQOXMemoryMgrFlags_Clear) {
    std::memset(block, 0, total);
  } else {
    std::memset(block, 0, kQOXBlockHeaderSize);
  }
  uint32_t bits = 0;
  if (secure) bits |= kSecureBit | (locked ? kLockedBit : 0);
  WriteHeader(block, mgr, size, bits);
  return DataOf(block);
}

// --- Default-manager list ---
//
// The list lock is made statically, so it exists before the first set and
// survives the list's free: two first calls from different threads cannot
// both initialise it.
struct DefaultMgrNode {
  DefaultMgrNode* next;
  QOXMemoryMgr* mgr;
};

QOXRMWOLock gDefaultListLock = QOX_RMWOLOCK_INITIALIZER;
DefaultMgrNode* gDefaultList = nullptr;     // guarded by gDefaultListLock
QOXMemoryMgr* gDefaultMgr = nullptr;        // guarded by gDefaultListLock

// --- System-heap blocks ---
//
// The size prefix is kept in a 16-byte slot so that the data keeps the
// system allocator's alignment.
constexpr size_t kHeapPrefix = 16;

char* HeapBase(void* data) { return static_cast<char*>(data) - kHeapPrefix; }
size_t HeapSize(void* data) {
  size_t s;
  std::memcpy(&s, HeapBase(data), sizeof s);
  return s;
}
void SetHeapSize(void* base, size_t size) { std::memcpy(base, &size, sizeof size); }

}  // namespace

// ---------------------------------------------------------------------------
// Manager objects

QOXError QOXNewMemoryMgrCustom(const QOXNewMemoryMgrStruct* record, QOXMemoryMgr** outMgr) {
  if (outMgr == nullptr) return kQOXErrBadParams;
  *outMgr = nullptr;
  if (record == nullptr || record->sizeofStruct < sizeof(QOXNewMemoryMgrStruct) ||
      record->allocProc == nullptr || record->reallocProc == nullptr ||
      record->deallocProc == nullptr || record->secureAllocProc == nullptr ||
      record->secureDeallocProc == nullptr || record->reserved != nullptr) {
    return kQOXErrBadParams;
  }
  for (uintptr_t word : record->reserved2) {
    if (word != 0) return kQOXErrBadParams;
  }
  void* mem = record->allocProc(nullptr, record->customValue, sizeof(QOXMemoryMgr), 0);
  if (mem == nullptr) return kQOXErrOutOfMemory;
  std::memset(mem, 0, sizeof(QOXMemoryMgr));
  QOXMemoryMgr* mgr = static_cast<QOXMemoryMgr*>(mem);
  mgr->magic = kMemoryMgrMagic;
  mgr->customValue = record->customValue;
  mgr->isStandard = false;
  mgr->allocProc = record->allocProc;
  mgr->reallocProc = record->reallocProc;
  mgr->deallocProc = record->deallocProc;
  mgr->secureAllocProc = record->secureAllocProc;
  mgr->secureDeallocProc = record->secureDeallocProc;
  *outMgr = mgr;
  return kQOXErrNoErr;
}

QOXError qoxCreateStandardMemoryMgr(QOXMemoryMgr** outMgr) {
  if (outMgr == nullptr) return kQOXErrBadParams;
  QOXNewMemoryMgrStruct record{};
  record.sizeofStruct = sizeof record;
  record.allocProc = sGenericMemoryAllocationProc;
  record.reallocProc = sGenericMemoryReallocationProc;
  record.deallocProc = sGenericMemoryDeallocationProc;
  record.secureAllocProc = sGenericSecureMemoryAllocationProc;
  record.secureDeallocProc = sGenericSecureMemoryDeallocationProc;
  return QOXNewMemoryMgrCustom(&record, outMgr);
}

QOXError QOXNewMemoryMgr(uint32_t flags, QOXMemoryMgr** outMgr) {
  if (outMgr == nullptr) return kQOXErrBadParams;
  *outMgr = nullptr;
  if (flags != 0) return kQOXErrBadParams;
  QOXError err = qoxCreateStandardMemoryMgr(outMgr);
  if (err == kQOXErrNoErr) (*outMgr)->isStandard = true;
  return err;
}

QOXError QOXFreeMemoryMgr(QOXMemoryMgr* mgr) {
  if (!MgrValid(mgr)) return kQOXErrBadParams;
  ReleaseMgrObject(mgr);
  return kQOXErrNoErr;
}

QOXError QOXValidateMemoryMgr(const QOXMemoryMgr* mgr) {
  return MgrValid(mgr) ? kQOXErrNoErr : kQOXErrBadParams;
}

QOXError QOXGetMemoryMgrCustomValue(const QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = nullptr;
  if (!MgrValid(mgr) || mgr->isStandard) return kQOXErrBadParams;
  *outValue = mgr->customValue;
  return kQOXErrNoErr;
}

QOXError QOXSetMemoryMgrCustomValue(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue value) {
  if (!MgrValid(mgr) || mgr->isStandard) return kQOXErrBadParams;
  mgr->customValue = value;
  return kQOXErrNoErr;
}

QOXError qoxDisposeStandardMemoryMgrUserValue(QOXMemoryMgrCustomValue) { return kQOXErrNoErr; }

// ---------------------------------------------------------------------------
// Blocks

void* QOXNewData(QOXMemoryMgr* mgr, size_t size, uint32_t flags) {
  return NewBlock(mgr, size, flags, false);
}

void* QOXNewSecureData(QOXMemoryMgr* mgr, size_t size, uint32_t flags) {
  return NewBlock(mgr, size, flags, true);
}

QOXError QOXReallocData(QOXMemoryMgr* mgr, void** data, size_t newSize, uint32_t flags) {
  if (data == nullptr || !MgrValid(mgr)) return kQOXErrBadParams;
  if (*data == nullptr) {
    void* fresh = QOXNewData(mgr, newSize, flags);
    if (fresh == nullptr) return kQOXErrOutOfMemory;
    *data = fresh;
    return kQOXErrNoErr;
  }
  BlockHeader* header = ValidHeader(*data);
  if (header == nullptr) return kQOXErrBadParams;
  size_t newTotal = TotalFor(newSize);
  if (newTotal == 0) return kQOXErrOutOfMemory;

  uint32_t oldWord = header->sizeWord;
  size_t oldSize = oldWord & kSizeMask;
  size_t oldTotal = oldSize + kQOXBlockHeaderSize;
  void* block = header;

  if ((oldWord & kSecureBit) == 0) {
    QOXError err = mgr->reallocProc(mgr, mgr->customValue, &block, newTotal, flags, oldTotal);
    if (err != kQOXErrNoErr) return err;
  } else {
    bool locked = false;
    void* fresh = mgr->secureAllocProc(mgr, mgr->customValue, newTotal, flags, &locked);
    if (fresh == nullptr) return kQOXErrOutOfMemory;
    std::memcpy(fresh, header, newTotal < oldTotal ? newTotal : oldTotal);
    // The old copy holds secret bytes: wipe all of it before it goes back.
    SecureZero(header, oldTotal);
    mgr->secureDeallocProc(mgr, mgr->customValue, header, oldTotal,
                           (oldWord & kLockedBit) != 0);
    oldWord = (oldWord & ~kLockedBit) | (locked ? kLockedBit : 0);
    block = fresh;
  }

  BlockHeader* h = static_cast<BlockHeader*>(block);
  h->sizeWord = (oldWord & ~kSizeMask) | (static_cast<uint32_t>(newSize) & kSizeMask);
  void* newData = DataOf(block);
  if (newSize > oldSize && (flags & kQOXMemoryMgrFlags_Clear)) {
    std::memset(static_cast<char*>(newData) + oldSize, 0, newSize - oldSize);
  }
  *data = newData;
  return kQOXErrNoErr;
}

QOXError QOXFreeData(void* data) {
  if (data == nullptr) return kQOXErrBadParams;
  BlockHeader* h = ValidHeader(data);
  if (h == nullptr) return kQOXErrBadParams;
  QOXMemoryMgr* owner = h->owner;
  uint32_t word = h->sizeWord;
  size_t size = word & kSizeMask;
  if ((word & kSecureBit) == 0) {
    return owner->deallocProc(owner, owner->customValue, h, size + kQOXBlockHeaderSize);
  }
  SecureZero(data, size);
  return owner->secureDeallocProc(owner, owner->customValue, h, size + kQOXBlockHeaderSize,
                                  (word & kLockedBit) != 0);
}

uint32_t QOXGetMemoryMgrDataInfo(const void* data) {
  if (data == nullptr) return 0;
  const BlockHeader* h = ValidHeader(data);
  if (h == nullptr) return 0;
  uint32_t info = kQOXMemoryMgrBlockInfo_Valid;
  if (h->sizeWord & kSecureBit) info |= kQOXMemoryMgrBlockInfo_Secure;
  if (h->sizeWord & kLockedBit) info |= kQOXMemoryMgrBlockInfo_Locked;
  return info;
}

// ---------------------------------------------------------------------------
// Default manager

QOXError QOXSetDefaultMemoryMgr(QOXMemoryMgr* mgr) {
  if (mgr == nullptr) return kQOXErrBadParams;
  QOXWriteGuard guard(&gDefaultListLock);
  DefaultMgrNode* node = gDefaultList;
  while (node != nullptr && node->mgr != mgr) node = node->next;
  if (node == nullptr) {
    node = static_cast<DefaultMgrNode*>(QOXNewData(mgr, sizeof(DefaultMgrNode), 0));
    if (node == nullptr) return kQOXErrOutOfMemory;
    node->mgr = mgr;
    node->next = gDefaultList;
    gDefaultList = node;
  }
  gDefaultMgr = mgr;
  return kQOXErrNoErr;
}

QOXMemoryMgr* QOXGetDefaultMemoryMgr() {
  QOXReadGuard guard(&gDefaultListLock);
  return gDefaultList == nullptr ? nullptr : gDefaultMgr;
}

void qoxFreeDefaultMemoryMgrList() {
  QOXWriteGuard guard(&gDefaultListLock);
  DefaultMgrNode* node = gDefaultList;
  while (node != nullptr) {
    DefaultMgrNode* next = node->next;
    QOXMemoryMgr* mgr = node->mgr;
    QOXFreeData(node);
    if (MgrValid(mgr)) ReleaseMgrObject(mgr);
    node = next;
  }
  gDefaultList = nullptr;
}

// ---------------------------------------------------------------------------
// System-heap blocks

void* qoxInternalAlloc(size_t size) {
  if (size > SIZE_MAX - kHeapPrefix) return nullptr;
  void* base = std::malloc(size + kHeapPrefix);
  if (base == nullptr) return nullptr;
  SetHeapSize(base, size);
  return static_cast<char*>(base) + kHeapPrefix;
}

void* qoxInternalMemAlloc(size_t size) {
  if (size == 0) return nullptr;
  return qoxInternalAlloc(size);
}

QOXError qoxRealloc(void** block, size_t newSize) {
  if (block == nullptr || *block == nullptr) return kQOXErrBadParams;
  if (newSize > SIZE_MAX - kHeapPrefix) return kQOXErrOutOfMemory;
  size_t oldSize = HeapSize(*block);
  if (newSize == oldSize) return kQOXErrNoErr;
  char* base = HeapBase(*block);
  char* moved = nullptr;
  if (newSize < oldSize) moved = static_cast<char*>(std::realloc(base, newSize + kHeapPrefix));
  if (moved == nullptr) {
    moved = static_cast<char*>(std::malloc(newSize + kHeapPrefix));
    if (moved == nullptr) return kQOXErrOutOfMemory;
    std::memcpy(moved, base, (newSize < oldSize ? newSize : oldSize) + kHeapPrefix);
    std::free(base);
  }
  SetHeapSize(moved, newSize);
  *block = moved + kHeapPrefix;
  return kQOXErrNoErr;
}

void* qoxInternalMemRealloc(void* block, size_t newSize) {
  if (block == nullptr) return qoxInternalMemAlloc(newSize);
  if (newSize == 0) {
    qoxFree(block);
    return nullptr;
  }
  return qoxRealloc(&block, newSize) == kQOXErrNoErr ? block : nullptr;
}

void qoxFree(void* block) {
  if (block != nullptr) std::free(HeapBase(block));
}

void qoxCopyMemory(const void* source, void* dest, size_t length) {
  if (length > 0) std::memmove(dest, source, length);
}

size_t qoxCopyPattern(const void* pattern, size_t patternLength, void* dest, size_t destLength) {
  if (patternLength == 0 || destLength == 0) return destLength;
  unsigned char* d = static_cast<unsigned char*>(dest);
  size_t filled = patternLength < destLength ? patternLength : destLength;
  std::memcpy(d, pattern, filled);
  while (filled < destLength) {
    size_t remaining = destLength - filled;
    size_t n = remaining < filled ? remaining : filled;
    std::memcpy(d + filled, d, n);
    filled += n;
  }
  return destLength;
}

// The test memory manager's procedures. A zero-byte request gets one byte,
// so a successful allocation is never null. A release with a null manager
// is the manager object itself going away: it is counted out of the live
// blocks but not inspected.
#include "tests/common/counting_memory_mgr.h"

#include <cstdlib>

namespace ostrak_test {

namespace {

CountingMemoryMgr* Self(QOXMemoryMgrCustomValue custom) { return static_cast<CountingMemoryMgr*>(custom); }

}  // namespace

QOXMemoryMgr* CountingMemoryMgr::Make() {
  QOXNewMemoryMgrStruct record{};
  record.sizeofStruct = sizeof(record);
  record.allocProc = Alloc;
  record.reallocProc = Realloc;
  record.deallocProc = Dealloc;
  record.secureAllocProc = SecureAlloc;
  record.secureDeallocProc = SecureDealloc;
  record.customValue = this;
  QOXMemoryMgr* mgr = nullptr;
  if (QOXNewMemoryMgrCustom(&record, &mgr) != kQOXErrNoErr) return nullptr;
  return mgr;
}

bool CountingMemoryMgr::WasFreed(const void* data) const {
  std::lock_guard<std::mutex> lock(mu_);
  return wiped_.count(data) != 0;
}

bool CountingMemoryMgr::FreedWiped(const void* data) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = wiped_.find(data);
  return it != wiped_.end() && it->second;
}

void CountingMemoryMgr::ResetReleases() {
  freed_ = 0;
  dirtyFreed_ = 0;
  secureFreed_ = 0;
  dirtySecureFreed_ = 0;
  std::lock_guard<std::mutex> lock(mu_);
  wiped_.clear();
}

void CountingMemoryMgr::NoteReallocSizes(bool on) { noteReallocSizes_ = on; }

std::vector<size_t> CountingMemoryMgr::reallocSizes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reallocSizes_;
}

void CountingMemoryMgr::ClearReallocSizes() {
  std::lock_guard<std::mutex> lock(mu_);
  reallocSizes_.clear();
}

bool CountingMemoryMgr::Take() {
  long b = budget_.load();
  while (b != -1) {
    if (b == 0) return false;
    if (budget_.compare_exchange_weak(b, b - 1)) return true;
  }
  return true;
}

void* CountingMemoryMgr::Allocate(size_t size) {
  size_t seen = largestRequest_.load();
  while (size > seen && !largestRequest_.compare_exchange_weak(seen, size)) {
  }
  if (size > refuseAbove_.load()) return nullptr;
  if (!Take()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void CountingMemoryMgr::Inspect(const void* block, size_t size, bool secure) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  bool zero = true;
  for (size_t i = kQOXBlockHeaderSize; i < size && zero; ++i) zero = bytes[i] == 0;
  ++freed_;
  if (!zero) ++dirtyFreed_;
  if (secure) {
    ++secureFreed_;
    if (!zero) ++dirtySecureFreed_;
  }
  if (size > kQOXBlockHeaderSize) {
    std::lock_guard<std::mutex> lock(mu_);
    wiped_[bytes + kQOXBlockHeaderSize] = zero;
  }
}

void* CountingMemoryMgr::Alloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, size_t size, uint32_t) {
  CountingMemoryMgr* self = Self(custom);
  void* p = self->Allocate(size);
  if (p != nullptr) ++self->livePlain_;
  return p;
}

QOXError CountingMemoryMgr::Realloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, void** block, size_t newSize,
                                    uint32_t, size_t) {
  CountingMemoryMgr* self = Self(custom);
  if (self->noteReallocSizes_.load()) {
    std::lock_guard<std::mutex> lock(self->mu_);
    self->reallocSizes_.push_back(newSize);
  }
  if (!self->Take()) return kQOXErrOutOfMemory;
  void* p = std::realloc(*block, newSize == 0 ? 1 : newSize);
  if (p == nullptr) return kQOXErrOutOfMemory;
  *block = p;
  return kQOXErrNoErr;
}

QOXError CountingMemoryMgr::Dealloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void* block, size_t size) {
  CountingMemoryMgr* self = Self(custom);
  if (mgr != nullptr) self->Inspect(block, size, false);
  std::free(block);
  --self->livePlain_;
  return kQOXErrNoErr;
}

void* CountingMemoryMgr::SecureAlloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, size_t size, uint32_t,
                                     bool* isLocked) {
  *isLocked = false;
  CountingMemoryMgr* self = Self(custom);
  void* p = self->Allocate(size);
  if (p != nullptr) ++self->liveSecure_;
  return p;
}

QOXError CountingMemoryMgr::SecureDealloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void* block,
                                          size_t size, bool) {
  CountingMemoryMgr* self = Self(custom);
  if (mgr != nullptr) self->Inspect(block, size, true);
  std::free(block);
  --self->liveSecure_;
  return kQOXErrNoErr;
}

}  // namespace ostrak_test

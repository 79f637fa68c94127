// Server memory: every block from one manager, fetched on first use.
#include <atomic>
#include <cstring>

#include "foundation/memory_mgr.h"
#include "server/support/zovurez.h"

namespace {

std::atomic<QOXMemoryMgr*> gServerMemoryMgr{nullptr};

QOXMemoryMgr* ServerMemoryMgr() {
  QOXMemoryMgr* mgr = gServerMemoryMgr.load(std::memory_order_acquire);
  if (mgr == nullptr) {
    mgr = QOXGetDefaultMemoryMgr();
    gServerMemoryMgr.store(mgr, std::memory_order_release);
  }
  return mgr;
}

}  // namespace

void* zovurezMalloc(size_t size) {
  QOXMemoryMgr* mgr = ServerMemoryMgr();
  return mgr != nullptr ? QOXNewData(mgr, size, 0) : nullptr;
}

void* zovurezCalloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  QOXMemoryMgr* mgr = ServerMemoryMgr();
  return mgr != nullptr ? QOXNewData(mgr, count * size, 1) : nullptr;
}

void* zovurezRealloc(void* block, size_t size) {
  QOXMemoryMgr* mgr = ServerMemoryMgr();
  if (mgr == nullptr) return nullptr;
  void* p = block;
  if (QOXReallocData(mgr, &p, size, 0) != kQOXErrNoErr) return nullptr;
  return p;
}

void zovurezFree(void* block) {
  if (block != nullptr) QOXFreeData(block);
}

char* zovurezStrdup(const char* s) {
  if (s == nullptr) return nullptr;
  size_t n = strlen(s) + 1;
  char* copy = static_cast<char*>(zovurezMalloc(n));
  if (copy != nullptr) memcpy(copy, s, n);
  return copy;
}

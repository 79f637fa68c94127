// A memory manager for tests that counts its live blocks and can be told to
// refuse allocations after a budget, to show that failed constructions leave
// nothing behind.
#ifndef OSTRAK_TESTS_FOUNDATION_COUNTING_MEMORY_MGR_H_
#define OSTRAK_TESTS_FOUNDATION_COUNTING_MEMORY_MGR_H_

#include <cstdlib>

#include "foundation/memory_mgr.h"

namespace counting_mgr {

struct State {
  int live = 0;     // blocks handed out and not yet released (manager object included)
  int budget = -1;  // allocations still allowed; -1 = no limit
};

inline bool Take(State* s) {
  if (s->budget == 0) return false;
  if (s->budget > 0) --s->budget;
  return true;
}

inline void* Alloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, size_t size, uint32_t) {
  State* s = static_cast<State*>(custom);
  if (!Take(s)) return nullptr;
  void* p = std::malloc(size);
  if (p != nullptr) ++s->live;
  return p;
}

inline QOXError Realloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, void** block, size_t newSize,
                        uint32_t, size_t) {
  if (!Take(static_cast<State*>(custom))) return kQOXErrOutOfMemory;
  void* p = std::realloc(*block, newSize);
  if (p == nullptr) return kQOXErrOutOfMemory;
  *block = p;
  return kQOXErrNoErr;
}

inline QOXError Dealloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue custom, void* block, size_t) {
  --static_cast<State*>(custom)->live;
  std::free(block);
  return kQOXErrNoErr;
}

inline void* SecureAlloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue custom, size_t size, uint32_t flags,
                         bool* isLocked) {
  *isLocked = false;
  return Alloc(m, custom, size, flags);
}

inline QOXError SecureDealloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue custom, void* block, size_t size,
                              bool) {
  return Dealloc(m, custom, block, size);
}

// A new manager over state, or null.
inline QOXMemoryMgr* Make(State* state) {
  QOXNewMemoryMgrStruct record{};
  record.sizeofStruct = sizeof(record);
  record.allocProc = Alloc;
  record.reallocProc = Realloc;
  record.deallocProc = Dealloc;
  record.secureAllocProc = SecureAlloc;
  record.secureDeallocProc = SecureDealloc;
  record.customValue = state;
  QOXMemoryMgr* mgr = nullptr;
  QOXNewMemoryMgrCustom(&record, &mgr);
  return mgr;
}

}  // namespace counting_mgr

#endif  // OSTRAK_TESTS_FOUNDATION_COUNTING_MEMORY_MGR_H_

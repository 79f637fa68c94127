// A memory manager for tests whose free procedures look at every block
// before releasing it and count those whose data part is not all zeros.
#ifndef OSTRAK_TESTS_CRYPTO_WIPE_CHECK_MGR_H_
#define OSTRAK_TESTS_CRYPTO_WIPE_CHECK_MGR_H_

#include <cstdlib>

#include "foundation/memory_mgr.h"

namespace wipe_check {

struct State {
  size_t freed = 0;        // blocks released (the manager object not counted)
  size_t dirty = 0;        // of those, blocks with a nonzero data byte
  size_t secureFreed = 0;  // blocks released through the secure procedure
};

inline void Check(QOXMemoryMgrCustomValue custom, void* block, size_t size) {
  auto* s = static_cast<State*>(custom);
  s->freed++;
  const unsigned char* p = static_cast<unsigned char*>(block);
  for (size_t i = kQOXBlockHeaderSize; i < size; i++) {
    if (p[i]) {
      s->dirty++;
      return;
    }
  }
}

inline void* Alloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, size_t size, uint32_t) {
  return std::malloc(size);
}
inline QOXError Realloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, void** block, size_t size,
                        uint32_t, size_t) {
  void* p = std::realloc(*block, size);
  if (!p) return kQOXErrOutOfMemory;
  *block = p;
  return kQOXErrNoErr;
}
// A null manager marks the release of the manager object itself.
inline QOXError Free(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void* block,
                     size_t size) {
  if (mgr) Check(custom, block, size);
  std::free(block);
  return kQOXErrNoErr;
}
inline void* SecureAlloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue, size_t size, uint32_t,
                         bool* locked) {
  *locked = false;
  return std::malloc(size);
}
inline QOXError SecureFree(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue custom, void* block,
                           size_t size, bool) {
  if (mgr) {
    static_cast<State*>(custom)->secureFreed++;
    Check(custom, block, size);
  }
  std::free(block);
  return kQOXErrNoErr;
}

// A new manager over state, or null.
inline QOXMemoryMgr* Make(State* state) {
  QOXNewMemoryMgrStruct rec{};
  rec.sizeofStruct = sizeof(rec);
  rec.allocProc = Alloc;
  rec.reallocProc = Realloc;
  rec.deallocProc = Free;
  rec.secureAllocProc = SecureAlloc;
  rec.secureDeallocProc = SecureFree;
  rec.customValue = state;
  QOXMemoryMgr* mgr = nullptr;
  QOXNewMemoryMgrCustom(&rec, &mgr);
  return mgr;
}

}  // namespace wipe_check

#endif  // OSTRAK_TESTS_CRYPTO_WIPE_CHECK_MGR_H_

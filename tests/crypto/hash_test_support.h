// Test support for the hash and HMAC tests: a memory manager that counts its
// live blocks, can be told to fail the n-th allocation from now, and notes
// whether each freed block had been wiped; and a started toolkit with a
// context over that manager.
#ifndef OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_
#define OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"

namespace hashtest {

struct CountingMgr {
  long live = 0;             // blocks handed out and not yet freed
  long failAfter = -1;       // allocations left before one fails; -1 never
  std::map<const void*, bool> freedWiped;  // data address -> all zero when freed

  static CountingMgr* Of(QOXMemoryMgrCustomValue v) { return static_cast<CountingMgr*>(v); }

  bool ShouldFail() {
    if (failAfter < 0) return false;
    if (failAfter == 0) {
      failAfter = -1;
      return true;
    }
    --failAfter;
    return false;
  }
  void NoteFree(void* block, size_t size) {
    // Manager objects are freed with a null manager and no block header.
    if (size > kQOXBlockHeaderSize) {
      const auto* data = static_cast<const uint8_t*>(block) + kQOXBlockHeaderSize;
      bool zero = true;
      for (size_t i = 0; i < size - kQOXBlockHeaderSize; ++i) zero = zero && data[i] == 0;
      freedWiped[data] = zero;
    }
  }

  static void* Alloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, size_t size, uint32_t) {
    if (m != nullptr && Of(v)->ShouldFail()) return nullptr;
    ++Of(v)->live;
    return std::calloc(1, size);
  }
  static QOXError Realloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue v, void** block, size_t newSize,
                          uint32_t, size_t) {
    if (Of(v)->ShouldFail()) return kQOXErrOutOfMemory;
    void* p = std::realloc(*block, newSize);
    if (p == nullptr) return kQOXErrOutOfMemory;
    *block = p;
    return 0;
  }
  static QOXError Dealloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue v, void* block, size_t size) {
    Of(v)->NoteFree(block, size);
    --Of(v)->live;
    std::free(block);
    return 0;
  }
  static void* SecureAlloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, size_t size, uint32_t flags,
                           bool* isLocked) {
    *isLocked = false;
    return Alloc(m, v, size, flags);
  }
  static QOXError SecureDealloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, void* block, size_t size,
                                bool) {
    return Dealloc(m, v, block, size);
  }
};

// A started toolkit and one context whose memory manager is a CountingMgr.
class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    QOXNewMemoryMgrStruct rec{};
    rec.sizeofStruct = sizeof rec;
    rec.allocProc = CountingMgr::Alloc;
    rec.reallocProc = CountingMgr::Realloc;
    rec.deallocProc = CountingMgr::Dealloc;
    rec.secureAllocProc = CountingMgr::SecureAlloc;
    rec.secureDeallocProc = CountingMgr::SecureDealloc;
    rec.customValue = &counter_;
    ASSERT_EQ(QOXNewMemoryMgrCustom(&rec, &mgr_), 0);
    QOXNewContextStruct ctxRec{kQOXAPIVersion, mgr_, 0};
    ASSERT_EQ(QOXNewContextCustom(&ctxRec, &context_), 0);
  }
  void TearDown() override {
    if (context_ != nullptr) QOXFreeContext(context_);
    QOXsdkCleanup();
  }

  CountingMgr counter_;
  QOXMemoryMgr* mgr_ = nullptr;  // owned by the context
  QOXContext* context_ = nullptr;
};

inline std::string Hex(const void* p, size_t n) {
  static const char* d = "0123456789abcdef";
  const auto* b = static_cast<const uint8_t*>(p);
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

}  // namespace hashtest

#endif  // OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_

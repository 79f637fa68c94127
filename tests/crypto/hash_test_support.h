// Test support for the hash and HMAC tests: a memory manager that counts its
// live blocks, can be told to refuse allocations after a budget, and notes
// whether each freed block had been wiped; a started toolkit with a context
// over that manager; hexadecimal text of bytes.
#ifndef OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_
#define OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "tests/foundation/counting_memory_mgr.h"

namespace hashtest {

// The shared counting manager (live blocks, allocation budget), plus a note
// of whether each freed block had been wiped.
struct CountingMgr : counting_mgr::State {
  std::map<const void*, bool> freedWiped;  // data address -> all zero when freed

  // Lets `n` more allocations succeed, then refuses every one (-1: no limit).
  void FailAfter(int n) { budget = n; }

  static QOXError Dealloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, void* block, size_t size) {
    auto* self = static_cast<CountingMgr*>(static_cast<counting_mgr::State*>(v));
    // Manager objects are freed without a block header.
    if (m != nullptr && size > kQOXBlockHeaderSize) {
      const auto* data = static_cast<const uint8_t*>(block) + kQOXBlockHeaderSize;
      bool zero = true;
      for (size_t i = 0; i < size - kQOXBlockHeaderSize; ++i) zero = zero && data[i] == 0;
      self->freedWiped[data] = zero;
    }
    return counting_mgr::Dealloc(m, v, block, size);
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
    rec.allocProc = counting_mgr::Alloc;
    rec.reallocProc = counting_mgr::Realloc;
    rec.deallocProc = CountingMgr::Dealloc;
    rec.secureAllocProc = counting_mgr::SecureAlloc;
    rec.secureDeallocProc = CountingMgr::SecureDealloc;
    rec.customValue = static_cast<counting_mgr::State*>(&counter_);
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

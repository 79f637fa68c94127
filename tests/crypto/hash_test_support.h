// Test support for the hash and HMAC tests: a started toolkit with a context
// over the test memory manager (live blocks, an allocation budget, whether
// each freed block had been wiped); hexadecimal text of bytes.
#ifndef OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_
#define OSTRAK_TESTS_CRYPTO_HASH_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "tests/common/counting_memory_mgr.h"

namespace hashtest {

// A started toolkit and one context over the test memory manager.
class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    mgr_ = counter_.Make();
    ASSERT_NE(mgr_, nullptr);
    QOXNewContextStruct ctxRec{kQOXAPIVersion, mgr_, 0};
    ASSERT_EQ(QOXNewContextCustom(&ctxRec, &context_), 0);
  }
  void TearDown() override {
    if (context_ != nullptr) QOXFreeContext(context_);
    QOXsdkCleanup();
  }

  ostrak_test::CountingMemoryMgr counter_;
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

// A started toolkit with one context, for tests of context-owned objects.
#ifndef OSTRAK_TESTS_FOUNDATION_TOOLKIT_FIXTURE_H_
#define OSTRAK_TESTS_FOUNDATION_TOOLKIT_FIXTURE_H_

#include <gtest/gtest.h>

#include "foundation/context.h"
#include "foundation/core/start_up.h"

class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
  }
  void TearDown() override {
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  QOXContext* context_ = nullptr;
};

#endif  // OSTRAK_TESTS_FOUNDATION_TOOLKIT_FIXTURE_H_

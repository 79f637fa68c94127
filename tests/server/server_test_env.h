// A started toolkit for the whole test program: the server allocator and
// toolkit contexts need it. Include once per test program.
#ifndef OSTRAK_TESTS_SERVER_SERVER_TEST_ENV_H_
#define OSTRAK_TESTS_SERVER_SERVER_TEST_ENV_H_

#include <gtest/gtest.h>

#include "foundation/context.h"
#include "foundation/core/start_up.h"

class ServerToolkitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), 0);
  }
  void TearDown() override {
    QOXFreeContext(context);
    QOXsdkCleanup();
  }
  static inline QOXContext* context = nullptr;
};

inline ::testing::Environment* const kServerToolkitEnvironment =
    ::testing::AddGlobalTestEnvironment(new ServerToolkitEnvironment);

#endif  // OSTRAK_TESTS_SERVER_SERVER_TEST_ENV_H_

// Connection threads as the daemon runs them: each makes and frees its own
// context under one creation mutex and works in it concurrently with the
// others, passing the entry gate on every call.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/env.h"
#include "foundation/core/features.h"

namespace {

TEST(ContextConcurrencyTest, ThreadsWorkInTheirOwnContexts) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  std::mutex creation;  // guards context creation and freeing (the list of contexts)
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        QOXContext* context = nullptr;
        {
          std::lock_guard<std::mutex> lock(creation);
          if (QOXNewContext(kQOXAPIVersion, &context) != kQOXErrNoErr) {
            ++failures[t];
            continue;
          }
        }
        QOXEnv* env = qoxContextGetEnvironment(context);
        std::string comment = "thread " + std::to_string(t);
        if (qoxenvSetInt(env, kQOXEnvCipherAlgorithm, static_cast<uint32_t>(t), 25) != kQOXErrNoErr ||
            qoxenvSetString(env, kQOXEnvComment, comment.c_str(), 25) != kQOXErrNoErr ||
            qoxenvGetInt(env, kQOXEnvCipherAlgorithm, nullptr, nullptr) != static_cast<uint32_t>(t) ||
            comment != qoxenvGetCString(env, kQOXEnvComment, nullptr)) {
          ++failures[t];
        }
        void* block = qoxContextMemPoolAlloc(context, 100, 0);
        uint32_t flags = 0;
        if (block == nullptr || QOXGetFeatureFlags(1, &flags) != kQOXErrNoErr || flags != 15) ++failures[t];
        std::lock_guard<std::mutex> lock(creation);
        if (QOXFreeContext(context) != kQOXErrNoErr) ++failures[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_EQ(qoxContextNextContext(nullptr), nullptr);
  EXPECT_EQ(QOXsdkCleanup(), kQOXErrNoErr);
}

}  // namespace

// The regular-expression engine needs no lock: threads compile their own
// expressions and share one compiled record at once, and every answer is
// the one a single thread gets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/regex.h"

namespace {

TEST(RegexConcurrencyTest, SharedAndPrivateRecordsAcrossThreads) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  QOXContext* shared = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &shared), 0);
  QOXRegExp* common = nullptr;
  ASSERT_EQ(qoxRegComp(shared, "^(10|192)\\.[0-9]+\\.[0-9]+\\.[0-9]+$", &common), 0);
  const char* subjects[] = {"10.1.2.3", "110.1.2.3", "192.168.0.1", "10.1.2", "x10.1.2.3"};
  const int expected[] = {1, 0, 1, 0, 0};
  // Contexts are made and freed one at a time (the daemon does so under its
  // context-creation mutex); each thread then compiles in its own.
  std::vector<QOXContext*> contexts(8, nullptr);
  for (auto& c : contexts) ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &c), 0);
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      QOXContext* own = contexts[t];
      for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < 5; ++i) {
          if (qoxRegExec(common, subjects[i]) != expected[i]) ++failures[t];
          QOXRegExp* mine = nullptr;
          std::string pattern = std::string("^") + (round % 2 ? "1[0-9]*" : "(10)+") + "\\.";
          if (qoxRegComp(own, pattern.c_str(), &mine) != 0) {
            ++failures[t];
            continue;
          }
          int want = (i == 0 || i == 3 || (round % 2 && (i == 1 || i == 2))) ? 1 : 0;
          if (qoxRegExec(mine, subjects[i]) != want) ++failures[t];
          qoxContextMemFree(own, mine);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (QOXContext* c : contexts) QOXFreeContext(c);
  for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  qoxContextMemFree(shared, common);
  QOXFreeContext(shared);
  QOXsdkCleanup();
}

}  // namespace

// Armor parsers on several threads at once, each in its own context, as the
// daemon's connection threads decode key blocks: every thread gets gpg's
// key block back whole from the first parse on (the parser keeps no
// process-wide state that a first use builds).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "pipeline/armor_parse.h"
#include "tests/pipeline/message_reader.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;

Bytes Data(const char* name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(ArmorParseConcurrencyTest, ThreadsDecodeInTheirOwnContexts) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  const Bytes armored = Data("armor/alice.asc"), binary = Data("armor/alice.gpg");
  ASSERT_FALSE(armored.empty());
  std::mutex creation;  // guards context creation and freeing
  constexpr int kThreads = 6;
  constexpr int kRounds = 20;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      QOXContext* context = nullptr;
      {
        std::lock_guard<std::mutex> lock(creation);
        if (QOXNewContext(kQOXAPIVersion, &context) != kQOXErrNoErr) {
          ++failures[t];
          return;
        }
      }
      for (int round = 0; round < kRounds; ++round) {
        pipeline_test::MessageReader reader(context);
        QOXPipeline* head = &reader.module;
        if (qoxParseAscCreate(context, &head, qoxContextGetEnvironment(context), nullptr, nullptr, nullptr,
                              nullptr) == nullptr) {
          ++failures[t];
          continue;
        }
        QOXError err = pipeline_test::Feed(head, armored, 1 + (t * 7 + round) % 97);
        qoxPipelineTeardown(head);
        if (err != kQOXErrNoErr || reader.data != binary) ++failures[t];
      }
      std::lock_guard<std::mutex> lock(creation);
      if (QOXFreeContext(context) != kQOXErrNoErr) ++failures[t];
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  QOXsdkCleanup();
}

}  // namespace

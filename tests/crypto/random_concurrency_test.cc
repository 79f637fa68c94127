// The pool and the seed file under many threads, as the daemon's connection
// threads use them: each thread has its own context and generator and adds
// keystrokes, draws, stirs and saves, while one thread keeps switching the
// seed file. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "crypto/context_random.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"

namespace {

TEST(RandomConcurrencyTest, DrawsAddsStirsKeystrokesAndSavesFromManyThreads) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  constexpr int kWorkers = 6;
  constexpr int kRounds = 60;
  std::vector<QOXContext*> contexts(kWorkers, nullptr);
  for (QOXContext*& c : contexts) ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &c), 0);

  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      QOXRandomContext* x917 = qoxContextGetX9_17RandomContext(contexts[w]);
      QOXRandomContext* pool = qoxContextGetGlobalPoolRandomContext(contexts[w]);
      if (x917 == nullptr || pool == nullptr) {
        ++failures;
        return;
      }
      uint8_t buffer[100];
      for (int i = 0; i < kRounds; ++i) {
        QOXGlobalRandomPoolAddKeystroke(static_cast<uint32_t>(w * 1000 + i));
        QOXGlobalRandomPoolMouseMoved();
        qoxRandomGetBytes(x917, buffer, sizeof buffer);
        qoxRandomGetBytes(pool, buffer, 33);
        pool->vtbl->addBytes(pool->priv, buffer, 17);
        if (i % 10 == 0) pool->vtbl->stir(pool->priv);
        if (i % 25 == 0 && qoxSaveGlobalRandomPool() != 0) ++failures;
        if (qoxRandomRange(pool, 1000, 0) >= 1000) ++failures;
        if (QOXGlobalRandomPoolGetEntropy() > 10240) ++failures;
        QOXGlobalRandomPoolHasMinimumEntropy();
      }
    });
  }
  // Switching the seed file frees the old spec while others save through it.
  const char* qoxpath = std::getenv("QOXPATH");
  ASSERT_NE(qoxpath, nullptr);
  std::thread switcher([&] {
    for (int i = 0; !stop.load(); ++i) {
      std::string path = std::string(qoxpath) + "/switch" + std::to_string(i % 3);
      PFLFileSpec* spec = nullptr;
      if (PFLNewFileSpecFromFullPath(QOXGetDefaultMemoryMgr(), path.c_str(), &spec) != 0) {
        ++failures;
        return;
      }
      if (QOXSetRandSeedFile(spec) != 0) ++failures;
      PFLFreeFileSpec(spec);
      if (qoxSaveGlobalRandomPool() != 0) ++failures;
    }
  });
  for (std::thread& t : threads) t.join();
  stop = true;
  switcher.join();
  EXPECT_EQ(failures.load(), 0);
  for (QOXContext* c : contexts) EXPECT_EQ(QOXFreeContext(c), 0);
  QOXsdkCleanup();
}

}  // namespace

// Helpers for the random-generator tests: a started toolkit whose pool
// bookkeeping starts from zero, and a scripted generator that records what
// is asked of it.
#ifndef OSTRAK_TESTS_CRYPTO_RANDOM_TEST_SUPPORT_H_
#define OSTRAK_TESTS_CRYPTO_RANDOM_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"

// The toolkit is started (which names the default seed file in the test
// program's temporary QOXPATH directory and may seed the pool from an earlier
// test's save); the seed file is then forgotten, so every test begins with
// an unseeded pool and zero estimates.
class FreshPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    qoxCleanupRandSeedFile();
  }
  void TearDown() override { QOXsdkCleanup(); }

  // Credits whatever entropy is pending: adding one byte runs the crediting
  // step once 64 bits are pending.
  static void CreditPending(uint32_t extraBits) {
    qoxGlobalRandomPoolAddEntropyBits(extraBits);
    QOXRandomContext pool;
    qoxInitGlobalRandomPoolContext(&pool);
    const uint8_t byte = 0x5A;
    pool.vtbl->addBytes(pool.priv, &byte, 1);
  }
};

// A generator that hands out scripted bytes (zeros when the script runs out)
// and records every request and every byte added.
struct ScriptedGenerator {
  struct Request {
    size_t count;
    uint32_t entropyBits;
  };
  std::vector<uint8_t> script;
  size_t next = 0;
  std::vector<Request> requests;
  std::vector<uint8_t> added;
  int stirs = 0;

  QOXRandomContext Handle() {
    static const QOXRandomVTBL table = {"scripted", Add, Get, Stir};
    return QOXRandomContext{nullptr, &table, this, nullptr};
  }

 private:
  static void Add(void* priv, const uint8_t* bytes, size_t count) {
    auto* g = static_cast<ScriptedGenerator*>(priv);
    g->added.insert(g->added.end(), bytes, bytes + count);
  }
  static void Get(void* priv, uint8_t* dest, size_t count, uint32_t entropyBits) {
    auto* g = static_cast<ScriptedGenerator*>(priv);
    g->requests.push_back({count, entropyBits});
    for (size_t i = 0; i < count; ++i) dest[i] = g->next < g->script.size() ? g->script[g->next++] : 0;
  }
  static void Stir(void* priv) { ++static_cast<ScriptedGenerator*>(priv)->stirs; }
};

#endif  // OSTRAK_TESTS_CRYPTO_RANDOM_TEST_SUPPORT_H_

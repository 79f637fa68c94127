// Several threads bind the operation table (first bnBegin) and search for
// primes at once, each with its own random index argument and callback.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "crypto/bn.h"
#include "crypto/bn_prime.h"
#include "foundation/memory_mgr.h"

namespace {

struct Rand {
  uint64_t state;
  static unsigned next(void* arg, unsigned n) {
    auto* r = static_cast<Rand*>(arg);
    r->state = r->state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned>((r->state >> 33) % n);
  }
};

struct Progress {
  unsigned stars = 0;
  static int cb(void* arg, int c) {
    if (c == '*') static_cast<Progress*>(arg)->stars++;
    return 0;
  }
};

TEST(BigNumConcurrency, ThreadsGeneratePrimesAtOnce) {
  QOXMemoryMgr* mgr = nullptr;
  ASSERT_EQ(0, QOXNewMemoryMgr(0, &mgr));
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      BigNum p, e, r;
      bnBegin(&p, mgr, true);
      bnBegin(&e, mgr, false);
      bnBegin(&r, mgr, false);
      bnSetQ(&p, 0x9E3779B9u + static_cast<unsigned>(t));
      bnLShift(&p, 480);
      Rand rand{static_cast<uint64_t>(t) + 1};
      Progress prog;
      int rc = bnPrimeGen(&p, Rand::next, &rand, Progress::cb, &prog, 65537u, 0u);
      // Fermat check with base 3: 3^(p-1) = 1 mod p.
      BigNum three;
      bnBegin(&three, mgr, false);
      bnSetQ(&three, 3);
      bnCopy(&e, &p);
      bnSubQ(&e, 1);
      if (rc < 7 || bnExpMod(&r, &three, &e, &p) || bnCmpQ(&r, 1) != 0 || prog.stars < 7)
        failures++;
      for (BigNum* b : {&p, &e, &r, &three}) bnEnd(b);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  QOXFreeMemoryMgr(mgr);
}

}  // namespace

// The locked-page pool under real threads (this file also runs under
// ThreadSanitizer): threads allocate, fill, check and free blocks of every
// class and of large sizes at once; no block is ever handed out twice or
// loses its bytes to another thread.
#include "foundation/locked_pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

TEST(LockedPagePoolConcurrency, ThreadsNeverShareABlock) {
  ostrak::LockedPagePool pool;
  constexpr int kThreads = 8;
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&pool, &faults, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
      std::uniform_int_distribution<size_t> small(0, 4096), pick(0, 15);
      struct Held {
        unsigned char* p;
        size_t size;
        unsigned char fill;
      };
      std::vector<Held> held;
      for (int i = 0; i < 4000; ++i) {
        if (held.size() < 16 && pick(rng) < 10) {
          const size_t size = pick(rng) == 0 ? 4096 + small(rng) * 4 : small(rng);
          bool locked = false;
          auto* p = static_cast<unsigned char*>(pool.Allocate(size, &locked));
          if (p == nullptr) {
            ++faults;
            continue;
          }
          if (!std::all_of(p, p + size, [](unsigned char b) { return b == 0; })) ++faults;
          const auto fill = static_cast<unsigned char>(t * 16 + i % 16);
          std::memset(p, fill, size);
          held.push_back({p, size, fill});
        } else if (!held.empty()) {
          const size_t k = pick(rng) % held.size();
          const Held h = held[k];
          if (!std::all_of(h.p, h.p + h.size, [&](unsigned char b) { return b == h.fill; })) ++faults;
          std::memset(h.p, 0, h.size);  // the caller wipes, as the memory manager does
          pool.Release(h.p, h.size);
          held.erase(held.begin() + static_cast<long>(k));
        }
      }
      for (const Held& h : held) pool.Release(h.p, h.size);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace

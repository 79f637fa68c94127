// Connection threads kept for the next connection (see the header).
#include "server/connection_threads.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "foundation/threads.h"
#include "server/dispatch.h"

namespace {

// A thread waiting for a connection; lives on that thread's stack.
struct Waiter {
  int32_t slot = -1;
  bool handed = false;  // a slot was handed over
  bool end = false;     // end without one
  std::condition_variable wake;
};

// Made on first use and never destroyed, so a thread still waiting when
// the process ends finds them intact.
struct Waiting {
  std::mutex mutex;
  std::vector<Waiter*> threads;  // guarded by mutex; newest last
};

Waiting& Pool() {
  static Waiting* pool = new Waiting;
  return *pool;
}

void* ConnectionThreadMain(void* arg) {
  int32_t slot = static_cast<int32_t>(reinterpret_cast<intptr_t>(arg));
  Waiting& pool = Pool();
  for (;;) {
    connection_activity(slot);
    Waiter me;
    std::unique_lock<std::mutex> lock(pool.mutex);
    if (pool.threads.size() >= static_cast<size_t>(kConnectionThreadsKeptIdle)) break;
    pool.threads.push_back(&me);
    me.wake.wait_for(lock, std::chrono::seconds(kConnectionThreadIdleSeconds),
                     [&] { return me.handed || me.end; });
    if (!me.handed) {
      auto it = std::find(pool.threads.begin(), pool.threads.end(), &me);
      if (it != pool.threads.end()) pool.threads.erase(it);
      break;
    }
    slot = me.slot;
  }
  return nullptr;
}

}  // namespace

bool vuzizStartConnectionThread(int32_t slot) {
  Waiting& pool = Pool();
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (!pool.threads.empty()) {
      Waiter* w = pool.threads.back();
      pool.threads.pop_back();
      w->slot = slot;
      w->handed = true;
      w->wake.notify_one();
      return true;
    }
  }
  QOXThreadAttr attr;
  QOXThreadAttrCreate(&attr);
  QOXThreadAttrSetDetachState(&attr, kQOXThreadDetached);
  QOXThread thread;
  const bool made =
      QOXThreadCreate(&thread, &attr, ConnectionThreadMain, reinterpret_cast<void*>(static_cast<intptr_t>(slot))) == 0;
  QOXThreadAttrDestroy(&attr);
  return made;
}

void vuzizEndIdleConnectionThreads() {
  Waiting& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  for (Waiter* w : pool.threads) {
    w->end = true;
    w->wake.notify_one();
  }
  pool.threads.clear();
}

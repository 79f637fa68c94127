// Log lines at most once a minute per key.
#include "server/log_throttle.h"

namespace {

// Past this many keys, the ones whose last line is older than the interval
// are forgotten (their next line is due anyway).
constexpr size_t kPruneAbove = 4096;

}  // namespace

LogThrottle::LogThrottle() { QOXMutexCreate(&mutex_, nullptr); }

LogThrottle::~LogThrottle() { QOXMutexDestroy(&mutex_); }

bool LogThrottle::Due(uint64_t key, int64_t now, int64_t* held) {
  QOXMutexGuard guard(&mutex_);
  *held = 0;
  auto it = lines_.find(key);
  if (it != lines_.end()) {
    if (now - it->second.last < kIntervalSeconds) {
      ++it->second.held;
      return false;
    }
    *held = it->second.held;
    it->second = {now, 0};
    return true;
  }
  if (lines_.size() >= kPruneAbove) {
    for (auto i = lines_.begin(); i != lines_.end();)
      i = now - i->second.last >= kIntervalSeconds ? lines_.erase(i) : std::next(i);
  }
  lines_[key] = {now, 0};
  return true;
}

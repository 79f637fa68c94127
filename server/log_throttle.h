// Log lines that a client can repeat at will (a refused connection, an
// unsupported request) are written at most once a minute per key, with the
// number of times the line was held back since the last one.
//
// Thread safety: every call may be made from any thread; the record is
// guarded by its own mutex, taken alone.
#ifndef OSTRAK_SERVER_LOG_THROTTLE_H_
#define OSTRAK_SERVER_LOG_THROTTLE_H_

#include <cstdint>
#include <iterator>
#include <unordered_map>

#include "foundation/threads.h"

class LogThrottle {
 public:
  // Seconds between two lines of one key.
  static constexpr int64_t kIntervalSeconds = 60;

  LogThrottle();
  ~LogThrottle();
  LogThrottle(const LogThrottle&) = delete;
  LogThrottle& operator=(const LogThrottle&) = delete;

  // True when a line for the key is due at `now` (seconds): its first
  // line, or the first one a minute or more after the last. *held is the
  // number of lines held back since the last one written (0 for a first).
  bool Due(uint64_t key, int64_t now, int64_t* held);

 private:
  struct Line {
    int64_t last;
    int64_t held;
  };
  QOXMutex mutex_;                          // guards lines_
  std::unordered_map<uint64_t, Line> lines_;
};

#endif  // OSTRAK_SERVER_LOG_THROTTLE_H_

// Preloaded into one ostrakd of the secure-port test: every poll that would
// wait 290 seconds or more waits a hundredth of that, so the daemon's
// 300-second wait for a silent client (max(300, 2 x TimeLimit)) ends within
// a test's time. Nothing else changes.
#include <dlfcn.h>
#include <poll.h>

namespace {
using PollFn = int (*)(struct pollfd*, nfds_t, int);
constexpr int kLongWaitMs = 290000;
constexpr int kScale = 100;
}  // namespace

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  static const PollFn real = reinterpret_cast<PollFn>(dlsym(RTLD_NEXT, "poll"));
  if (timeoutMs >= kLongWaitMs) timeoutMs /= kScale;
  return real(fds, count, timeoutMs);
}

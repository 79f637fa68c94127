// The socket event: a wait over the listener's sockets that other threads
// can wake, built on poll and an eventfd.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "foundation/sdk_errors.h"
#include "net/sockets.h"
#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"

// Per-descriptor bits: 1 watched for reading, 2 for writing; 4 and 8 the
// same directions found ready by the last wait.
struct SocketEvent {
  std::vector<uint8_t> activity;
  int wakeFd = -1;
  QOXThread thread{};
};

namespace {

constexpr uint8_t kWantRead = 1;
constexpr uint8_t kWantWrite = 2;
constexpr uint8_t kReadyRead = 4;
constexpr uint8_t kReadyWrite = 8;

}  // namespace

QOXError qoxCreateSocketEvent(SocketEvent** event, QOXThread thread) {
  ZovurezTraceScope trace("qoxCreateSocketEvent");
  if (event == nullptr) return kQOXErrBadParams;
  *event = nullptr;
  SocketEvent* e = new (std::nothrow) SocketEvent;
  if (e == nullptr) return kQOXErrOutOfMemory;
  e->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (e->wakeFd < 0) {
    delete e;
    return kQOXErrOutOfMemory;
  }
  e->thread = thread;
  *event = e;
  return kQOXErrNoErr;
}

QOXError qoxFreeSocketEvent(SocketEvent* event) {
  ZovurezTraceScope trace("qoxFreeSocketEvent");
  if (event == nullptr) return kQOXErrNoErr;
  if (event->wakeFd >= 0) close(event->wakeFd);
  delete event;
  return kQOXErrNoErr;
}

void qoxZeroSocketSelectActivities(SocketEvent* sets) {
  if (sets != nullptr) sets->activity.assign(sets->activity.size(), 0);
}

void qoxSetSocketSelectActivities(int fd, SocketEvent* sets, int flags) {
  if (sets == nullptr || fd < 0) return;
  if (static_cast<size_t>(fd) >= sets->activity.size()) sets->activity.resize(static_cast<size_t>(fd) + 1, 0);
  if (flags & 1) sets->activity[static_cast<size_t>(fd)] |= kWantRead;
  if (flags & 2) sets->activity[static_cast<size_t>(fd)] |= kWantWrite;
}

void qoxGetSocketSelectActivity(int fd, SocketEvent* sets, int* activity) {
  if (activity == nullptr) return;
  *activity = 0;
  if (sets == nullptr || fd < 0 || static_cast<size_t>(fd) >= sets->activity.size()) return;
  uint8_t a = sets->activity[static_cast<size_t>(fd)];
  if (a & kReadyWrite)
    *activity = 2;
  else if (a & kReadyRead)
    *activity = 1;
}

QOXError qoxWaitSocketEvent(SocketEvent* sets, const struct timeval* timeout, int nfds) {
  ZovurezTraceScope trace("qoxWaitSocketEvent");
  if (sets == nullptr) return kQOXSocketEventFailed;
  size_t limit = static_cast<uint16_t>(nfds);
  if (limit > sets->activity.size()) limit = sets->activity.size();
  std::vector<struct pollfd> fds;
  std::vector<size_t> index;
  for (size_t fd = 0; fd < limit; ++fd) {
    uint8_t& a = sets->activity[fd];
    a &= static_cast<uint8_t>(kWantRead | kWantWrite);
    if (a == 0) continue;
    short events = 0;
    if (a & kWantRead) events |= POLLIN;
    if (a & kWantWrite) events |= POLLOUT;
    fds.push_back({static_cast<int>(fd), events, 0});
    index.push_back(fd);
  }
  fds.push_back({sets->wakeFd, POLLIN, 0});
  int ms = -1;
  if (timeout != nullptr && timeout->tv_sec != -1) {
    long long total = static_cast<long long>(timeout->tv_sec) * 1000 + timeout->tv_usec / 1000;
    ms = total > 0x7fffffff ? 0x7fffffff : static_cast<int>(total < 0 ? 0 : total);
  }
  int n = qoxSocketsPoll(fds.data(), fds.size(), ms, false);
  if (n < 0) {
    QOXGetLastSocketsError();
    return kQOXSocketEventFailed;
  }
  if (n == 0) return kQOXErrSocketTimedOut;
  for (size_t i = 0; i + 1 < fds.size(); ++i) {
    short r = fds[i].revents;
    uint8_t& a = sets->activity[index[i]];
    if (r & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      if (a & kWantRead) a |= kReadyRead;
    }
    if (r & (POLLOUT | POLLERR | POLLHUP)) {
      if (a & kWantWrite) a |= kReadyWrite;
    }
  }
  if (fds.back().revents & POLLIN) {
    uint64_t value;
    ssize_t r = read(sets->wakeFd, &value, sizeof value);  // drains the wake-ups
    (void)r;
  }
  return kQOXSocketEventReady;
}

QOXError qoxSignalSocketEvent(SocketEvent* event) {
  if (event == nullptr) return kQOXErrBadParams;
  uint64_t one = 1;
  int saved = errno;
  ssize_t r = write(event->wakeFd, &one, sizeof one);
  (void)r;
  errno = saved;
  return kQOXErrNoErr;
}

QOXError qoxClearSocketEvent(SocketEvent* /*event*/) { return kQOXErrNoErr; }

void qoxClearSocketsError() { errno = 0; }

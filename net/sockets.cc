// TLS routing of the sockets layer: the socket->session map, binding,
// routed send and receive, the one wait helper, select and whole sends.
#include "net/sockets.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"
#include "foundation/threads.h"
#include "net/ber.h"

namespace {

// The process-wide socket -> session map. Made on first use and never
// destroyed, so a thread still routing at exit finds it intact.
struct TlsMap {
  QOXRMWOLock lock = QOX_RMWOLOCK_INITIALIZER;
  std::unordered_map<int, QOXtlsSession*> sessions;  // guarded by lock
};

TlsMap& Map() {
  static TlsMap* map = new TlsMap;
  return *map;
}

// Counts of the map's entries, readable without the lock so that waits on
// plain sockets skip the lookup when nothing is bound.
std::atomic<size_t> g_boundCount{0};

QOXtlsSession* BoundSession(int socket) {
  if (g_boundCount.load(std::memory_order_acquire) == 0) return nullptr;
  TlsMap& m = Map();
  QOXReadGuard guard(&m.lock);
  auto it = m.sessions.find(socket);
  return it == m.sessions.end() ? nullptr : it->second;
}

// Use count of the sockets layer.
std::mutex g_socketsUseMutex;
int32_t g_socketsUseCount = 0;  // guarded by g_socketsUseMutex

// Largest piece handed to the session in one call.
constexpr size_t kMaxTlsChunk = size_t{1} << 30;

}  // namespace

QOXError QOXSocketsInit() {
  std::lock_guard<std::mutex> guard(g_socketsUseMutex);
  if (g_socketsUseCount == 0) Map();  // make the map before any thread needs it
  ++g_socketsUseCount;
  return kQOXErrNoErr;
}

void QOXSocketsCleanup() {
  std::lock_guard<std::mutex> guard(g_socketsUseMutex);
  if (g_socketsUseCount == 0) return;
  if (--g_socketsUseCount == 0) {
    TlsMap& m = Map();
    QOXWriteGuard write(&m.lock);
    m.sessions.clear();
    g_boundCount.store(0, std::memory_order_release);
  }
}

// --- Transport callbacks ---

namespace {

std::atomic<int32_t> g_tlsReceiveWaitMs{kQOXberDefaultReceiveWaitMs};

int32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace

void QOXSocketsSetTLSReceiveWait(int32_t waitMs) {
  g_tlsReceiveWaitMs.store(waitMs < 0 ? -1 : waitMs, std::memory_order_relaxed);
}

int32_t QOXSocketsGetTLSReceiveWait() { return g_tlsReceiveWaitMs.load(std::memory_order_relaxed); }

int32_t QOXSocketsTLSReceive(intptr_t userValue, void* buffer, uint32_t length) {
  const int fd = static_cast<int>(userValue);
  const size_t n = std::min<size_t>(length, INT32_MAX);
  // A silent peer cannot hold the session longer than the wait.
  const int32_t waitMs = QOXSocketsGetTLSReceiveWait();
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int32_t left = -1;
    if (waitMs >= 0) left = std::max<int32_t>(0, waitMs - ElapsedMs(start));
    pollfd r{fd, POLLIN, 0};
    const int ready = ::poll(&r, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return kQOXErrSocketTimedOut;
    }
    break;
  }
  ssize_t got;
  do {
    got = ::recv(fd, buffer, n, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kQOXErrTLSWouldBlock;
  return static_cast<int32_t>(got);
}

int32_t QOXSocketsTLSSend(intptr_t userValue, const void* buffer, uint32_t length) {
  const int fd = static_cast<int>(userValue);
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  const size_t total = std::min<size_t>(length, INT32_MAX);
  size_t sent = 0;
  // A short send would end the session: the whole buffer goes, or nothing
  // when the transport would block at once.
  while (sent < total) {
    // No SIGPIPE for a peer that went away: the failure comes back as EPIPE.
    const ssize_t r = ::send(fd, p + sent, total - sent, MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (sent == 0) return kQOXErrTLSWouldBlock;
      // Part of a record went: the rest follows once there is room.
      pollfd w{fd, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&w, 1, QOXSocketsGetTLSReceiveWait());
      } while (ready < 0 && errno == EINTR);
      if (ready == 1) continue;
    }
    return -1;
  }
  return static_cast<int32_t>(sent);
}

// --- Binding ---

QOXError QOXSocketsEstablishTLSSession(int socket, QOXtlsSession* session) {
  if (session == nullptr) return kQOXErrBadParams;
  int type = 0;
  socklen_t typeLength = sizeof type;
  if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0)
    return QOXGetLastSocketsError();
  if (type != SOCK_STREAM) return kQOXErrSocketOpNotSupported;

  const QOXtlsServices& tls = qoxTLSServices();
  QOXError err = tls.QOXtlsSetReceiveCallback(session, QOXSocketsTLSReceive, socket);
  if (err != kQOXErrNoErr) return err;
  if ((err = tls.QOXtlsSetSendCallback(session, QOXSocketsTLSSend, socket)) != kQOXErrNoErr) return err;

  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
    return QOXGetLastSocketsError();
  uint32_t peerId = 0;
  if (peer.ss_family == AF_INET)
    peerId = ntohl(reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr.s_addr);
  if ((err = tls.QOXtlsSetRemoteUniqueID(session, peerId)) != kQOXErrNoErr) return err;

  errno = 0;
  err = tls.QOXtlsHandshake(session);
  if (err == kQOXErrTLSUnexpectedClose) {
    QOXError last = QOXGetLastSocketsError();
    return last != kQOXErrNoErr ? last : err;
  }
  if (err != kQOXErrNoErr) return err;

  TlsMap& m = Map();
  QOXWriteGuard write(&m.lock);
  try {
    if (!m.sessions.emplace(socket, session).second) return kQOXErrItemAlreadyExists;
  } catch (const std::bad_alloc&) {
    return kQOXErrOutOfMemory;
  }
  g_boundCount.fetch_add(1, std::memory_order_release);
  return kQOXErrNoErr;
}

int QOXCloseSocket(int socket) {
  if (g_boundCount.load(std::memory_order_acquire) != 0) {
    TlsMap& m = Map();
    QOXWriteGuard write(&m.lock);
    if (m.sessions.erase(socket)) g_boundCount.fetch_sub(1, std::memory_order_release);
  }
  return ::close(socket);
}

// --- Routed send and receive ---

ssize_t QOXSend(int socket, const void* buffer, size_t length, int flags) {
  QOXtlsSession* session = BoundSession(socket);
  // No SIGPIPE for a peer that went away, whatever the caller's signal
  // dispositions: the failure comes back as -1 with EPIPE.
  if (session == nullptr) return ::send(socket, buffer, length, flags | MSG_NOSIGNAL);
  if (length > SSIZE_MAX) {
    errno = kQOXErrBadParams;
    return -1;
  }
  const QOXtlsServices& tls = qoxTLSServices();
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  size_t left = length;
  do {
    size_t n = std::min(left, kMaxTlsChunk);
    QOXError err = tls.QOXtlsSend(session, p, static_cast<uint32_t>(n));
    if (err == kQOXErrTLSUnexpectedClose) return 0;
    if (err != kQOXErrNoErr) {
      errno = err;
      return -1;
    }
    p += n;
    left -= n;
  } while (left);
  return static_cast<ssize_t>(length);
}

ssize_t QOXWrite(int socket, const void* buffer, size_t length) {
  return QOXSend(socket, buffer, length, 0);
}

ssize_t QOXReceive(int socket, void* buffer, size_t length, int flags) {
  QOXtlsSession* session = BoundSession(socket);
  if (session == nullptr) return ::recv(socket, buffer, length, flags);
  if (length == 0) return 0;
  // A record without application bytes (an empty data record, a warning
  // alert) delivers nothing but is no close: 0 here would read as one, so
  // read on until bytes come or the session reports why not.
  uint32_t n;
  QOXError err;
  do {
    n = static_cast<uint32_t>(std::min(length, kMaxTlsChunk));
    err = qoxTLSServices().QOXtlsReceive(session, buffer, &n);
  } while (err == kQOXErrNoErr && n == 0);
  if (err == kQOXErrTLSUnexpectedClose) return 0;
  if (err != kQOXErrNoErr) {
    errno = err;
    return -1;
  }
  return static_cast<ssize_t>(n);
}

ssize_t QOXRead(int socket, void* buffer, size_t length) {
  return QOXReceive(socket, buffer, length, 0);
}

// --- Waits ---

int qoxSocketsPoll(struct pollfd* fds, size_t count, int timeoutMs, bool stopOnSignal) {
  if (fds == nullptr && count != 0) {
    errno = EFAULT;
    return -1;
  }
  // Bytes already decrypted in a session answer at once: the socket itself
  // may stay quiet while they wait.
  if (g_boundCount.load(std::memory_order_acquire) != 0) {
    TlsMap& m = Map();
    const QOXtlsServices& tls = qoxTLSServices();
    size_t winner = count;
    {
      QOXReadGuard guard(&m.lock);
      for (size_t i = 0; i < count && winner == count; ++i) {
        if (fds[i].fd < 0 || !(fds[i].events & POLLIN)) continue;
        auto it = m.sessions.find(fds[i].fd);
        if (it != m.sessions.end() && tls.QOXtlsReceiveBufferSize(it->second) != 0) winner = i;
      }
    }
    if (winner != count) {
      for (size_t i = 0; i < count; ++i) fds[i].revents = 0;
      fds[winner].revents = POLLIN;
      return 1;
    }
  }

  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs < 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  int wait = timeoutMs;
  for (;;) {
    int r = ::poll(fds, static_cast<nfds_t>(count), wait);
    if (r > 0) return r;
    if (r == 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    if (errno != EINTR || stopOnSignal) return -1;
    if (!forever) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        errno = ETIMEDOUT;
        return 0;
      }
      wait = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
  }
}

int qoxSocketsWaitReadable(int socket, int timeoutMs) {
  pollfd p{socket, POLLIN, 0};
  int r = qoxSocketsPoll(&p, 1, timeoutMs);
  if (r > 0 && (p.revents & POLLNVAL)) {
    errno = EBADF;
    return -1;
  }
  return r > 0 ? 1 : r;
}

ssize_t qoxSocketsReceiveNow(int socket, void* buffer, size_t length) {
  if (BoundSession(socket) != nullptr) {
    errno = EAGAIN;
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(socket, buffer, length, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n;
}

int QOXSelect(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
              struct timeval* timeLimit) {
  if (count < 0 || count > FD_SETSIZE) return kQOXErrBadParams;
  std::vector<pollfd> fds;
  try {
    for (int fd = 0; fd < count; ++fd) {
      short events = 0;
      if (readSet && FD_ISSET(fd, readSet)) events |= POLLIN;
      if (writeSet && FD_ISSET(fd, writeSet)) events |= POLLOUT;
      if (exceptSet && FD_ISSET(fd, exceptSet)) events |= POLLPRI;
      if (events) fds.push_back(pollfd{fd, events, 0});
    }
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
  int timeoutMs = -1;
  if (timeLimit) {
    long long ms = static_cast<long long>(timeLimit->tv_sec) * 1000 + (timeLimit->tv_usec + 999) / 1000;
    timeoutMs = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
  }
  // select() is woken by signals (the listener relies on it), so a signal
  // ends this wait.
  int r = qoxSocketsPoll(fds.data(), fds.size(), timeoutMs, /*stopOnSignal=*/true);
  if (r < 0) return -1;
  for (const pollfd& p : fds)
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
  if (readSet) FD_ZERO(readSet);
  if (writeSet) FD_ZERO(writeSet);
  if (exceptSet) FD_ZERO(exceptSet);
  if (r == 0) {
    errno = 0;
    return 0;
  }
  int ready = 0;
  for (const pollfd& p : fds) {
    if (readSet && (p.events & POLLIN) && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      FD_SET(p.fd, readSet);
      ++ready;
    }
    if (writeSet && (p.events & POLLOUT) && (p.revents & (POLLOUT | POLLHUP | POLLERR))) {
      FD_SET(p.fd, writeSet);
      ++ready;
    }
    if (exceptSet && (p.events & POLLPRI) && (p.revents & POLLPRI)) {
      FD_SET(p.fd, exceptSet);
      ++ready;
    }
  }
  return ready;
}

// --- Whole sends ---

QOXError qoxSendAll(int socket, const void* buffer, size_t length) {
  if (buffer == nullptr && length != 0) return kQOXErrBadParams;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  while (length) {
    errno = 0;
    ssize_t n = QOXSend(socket, p, length, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return kQOXErrSocketNotConnected;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd w{socket, POLLOUT, 0};
      if (qoxSocketsPoll(&w, 1, -1) < 0) break;
      continue;
    }
    break;
  }
  if (length == 0) return kQOXErrNoErr;
  QOXError err = QOXGetLastSocketsError();
  return err != kQOXErrNoErr ? err : kQOXErrUnknownError2;
}

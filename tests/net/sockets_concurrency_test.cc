// The socket->session map under concurrent binding, routed traffic, waits
// and closing. Descriptor numbers are reused at once across threads, so a
// binding that outlived its socket would route another thread's plain
// traffic into a dead session (caught here and by the sanitizers).
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets.h"
#include "tests/net/tls_double.h"

namespace {

TEST(SocketsConcurrency, BindSendWaitCloseAcrossThreads) {
  FakeTlsScope fake;
  constexpr int kWorkers = 8;
  constexpr int kRounds = 300;
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};

  auto worker = [&](int id) {
    for (int round = 0; round < kRounds; ++round) {
      int fds[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ++failures;
        return;
      }
      FakeTlsSession s;
      const bool bind = (round + id) % 2 == 0;
      if (bind && QOXSocketsEstablishTLSSession(fds[0], s.handle()) != kQOXErrNoErr) ++failures;
      const std::string msg = "w" + std::to_string(id) + "r" + std::to_string(round);
      if (QOXSend(fds[0], msg.data(), msg.size(), 0) != static_cast<ssize_t>(msg.size()))
        ++failures;
      if (bind) {
        if (s.sent != msg) ++failures;
        s.pending = "xyz";
        char buf[8];
        if (qoxSocketsWaitReadable(fds[0], 5000) != 1) ++failures;
        if (QOXReceive(fds[0], buf, sizeof buf, 0) != 3) ++failures;
      } else {
        // A plain socket: the bytes must reach the peer, not any session.
        std::string got(msg.size(), '\0');
        if (::recv(fds[1], got.data(), got.size(), MSG_WAITALL) !=
                static_cast<ssize_t>(got.size()) ||
            got != msg)
          ++failures;
        if (!s.sent.empty()) ++failures;
      }
      QOXCloseSocket(fds[0]);
      QOXCloseSocket(fds[1]);
    }
  };

  // Waiters select on their own plain sockets while the map changes.
  auto waiter = [&] {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
      ++failures;
      return;
    }
    while (!stop.load()) {
      if (fds[1] >= FD_SETSIZE) break;
      fd_set r;
      FD_ZERO(&r);
      FD_SET(fds[0], &r);
      timeval zero{0, 0};
      if (QOXSelect(fds[0] + 1, &r, nullptr, nullptr, &zero) != 0) ++failures;
      pollfd p{fds[1], POLLIN, 0};
      if (qoxSocketsPoll(&p, 1, 0) != 0) ++failures;
    }
    QOXCloseSocket(fds[0]);
    QOXCloseSocket(fds[1]);
  };

  std::vector<std::thread> threads;
  threads.emplace_back(waiter);
  threads.emplace_back(waiter);
  for (int i = 0; i < kWorkers; ++i) threads.emplace_back(worker, i);
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  stop = true;
  threads[0].join();
  threads[1].join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace

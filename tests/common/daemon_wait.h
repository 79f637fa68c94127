// Waiting for a started ostrakd to listen, for the C++ end-to-end tests: the
// same wait as wait_listening in tests/integration/daemon_harness.py. It
// waits for the event (a connection to the port is accepted) and tells why
// it stopped waiting (the daemon ended, or the time ran out), so a test
// never goes on after a guessed pause.
#ifndef OSTRAK_TESTS_COMMON_DAEMON_WAIT_H_
#define OSTRAK_TESTS_COMMON_DAEMON_WAIT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace ostrak_test {

enum class ListenWait { kListening, kEnded, kTimedOut };

// Waits until the process pid accepts connections on the loopback port
// (one probe connection, closed at once). kEnded when the process ended
// first (its wait status in *status, and it is reaped), kTimedOut when the
// time ran out.
inline ListenWait WaitListening(pid_t pid, int port, std::chrono::milliseconds timeout, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (waitpid(pid, status, WNOHANG) == pid) return ListenWait::kEnded;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    if (up) return ListenWait::kListening;
    if (std::chrono::steady_clock::now() > deadline) return ListenWait::kTimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the poll interval of this bounded wait
  }
}

}  // namespace ostrak_test

#endif  // OSTRAK_TESTS_COMMON_DAEMON_WAIT_H_

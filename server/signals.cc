// Signal handlers and the relay thread that does what a handler may not.
//
// A handler only sets the flags and writes one byte into the relay pipe
// (write is async-signal-safe). The relay thread reads the bytes, prints the
// trace lines and wakes the control thread and the listener.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "server/daemon.h"
#include "server/error_log.h"
#include "server/listener.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

QOXMutex g_mutexSignalRelay = QOX_MUTEX_INITIALIZER;

namespace {

// The relay pipe: [0] read by the relay thread, [1] written by handlers.
// Made once, before any handler is installed; never closed.
int gRelayPipe[2] = {-1, -1};
QOXThread gRelayThread;
bool gRelayRunning = false;  // initial thread only

constexpr char kShutdownByte = 'T';
constexpr char kRestartByte = 'H';
constexpr char kWakeByte = 'U';
constexpr char kQuitByte = 'Q';

void Post(char byte) {
  int saved = errno;
  if (gRelayPipe[1] >= 0) {
    ssize_t r = write(gRelayPipe[1], &byte, 1);
    (void)r;  // a full pipe already holds a wake-up
  }
  errno = saved;
}

void ShutdownAndRestartSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGUSR2);
  sigaddset(set, SIGHUP);
}

void WakeThreads() {
  qoxSignalControlThread();
  QOXMutexGuard guard(&g_mutexSignalRelay);
  if (g != nullptr && g->listenerWakeEvent != nullptr) qoxSignalSocketEvent(g->listenerWakeEvent);
}

void* RelayMain(void*) {
  sigset_t set;
  ShutdownAndRestartSignals(&set);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  for (;;) {
    struct pollfd p = {gRelayPipe[0], POLLIN, 0};
    if (poll(&p, 1, -1) < 0) continue;  // EINTR: a handler ran on this thread
    char bytes[64];
    ssize_t n = read(gRelayPipe[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) {
      switch (bytes[i]) {
        case kShutdownByte:
          vuzizTrace(kTraceStartStop, "ostrakd got shutdown signal\n");
          WakeThreads();
          break;
        case kRestartByte:
          vuzizTrace(kTraceStartStop, "ostrakd got HUP signal\n");
          WakeThreads();
          break;
        case kWakeByte:
          vuzizTrace(kTraceEntryExit, "ostrakd got SIGUSR1\n");
          break;
        case kQuitByte:
          return nullptr;
        default:
          break;
      }
    }
  }
}

void Install(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

}  // namespace

void set_shutdown(int) {
  vuziz_shutdown = 1;
  Post(kShutdownByte);
}

void set_HUPReceived(int) {
  g_bHUPReceived = 1;
  vuziz_shutdown = 1;
  Post(kRestartByte);
}

void do_nothing(int) { Post(kWakeByte); }

void vuzizInstallSignalHandlers() {
  if (gRelayPipe[0] < 0) {
    if (pipe2(gRelayPipe, O_CLOEXEC | O_NONBLOCK) != 0) gRelayPipe[0] = gRelayPipe[1] = -1;
  }
  Install(SIGPIPE, SIG_IGN);
  Install(SIGUSR1, do_nothing);
  Install(SIGUSR2, set_shutdown);
  Install(SIGTERM, set_shutdown);
  Install(SIGINT, set_shutdown);
  Install(SIGHUP, set_HUPReceived);
}

void vuzizStartSignalRelay() {
  if (gRelayRunning || gRelayPipe[0] < 0) return;
  sigset_t set;
  ShutdownAndRestartSignals(&set);
  // Threads started from here on inherit the blocked mask; only the relay
  // unblocks them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (QOXThreadCreate(&gRelayThread, nullptr, RelayMain, nullptr) == 0) gRelayRunning = true;
}

void vuzizStopSignalRelay() {
  if (!gRelayRunning) return;
  char quit = kQuitByte;
  ssize_t r = write(gRelayPipe[1], &quit, 1);
  (void)r;
  QOXThreadJoin(gRelayThread, nullptr);
  gRelayRunning = false;
}

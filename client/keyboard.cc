// The keyboard: descriptor, cbreak mode, the signal handlers and the one
// session at a time. What a handler reads (the descriptor, both settings,
// the SIGINT disposition, the session's thread) is written before the
// handlers are installed, or, for the settings, by kbSig2 itself; the flags
// that handlers test are lock-free atomics.
#include "client/keyboard.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "crypto/random_pool.h"

namespace {

constexpr char kTerminalPath[] = "/dev/tty";
constexpr int kStandardInput = 0;

// Guards the session fields and every write of the keyboard state outside
// the handlers.
std::mutex kbMutex;
std::condition_variable gSessionFree;  // with kbMutex
bool gSessionBusy = false;             // kbMutex
pthread_t gSessionOwner;               // kbMutex; published by gOwnerActive
std::atomic<bool> gOwnerActive{false};
sigset_t gSavedMask;  // the owner's signal mask before its session

int kbFd = -1;
std::atomic<bool> kbCbreakFlag{false};
std::atomic<bool> kbStateFetched{false};
termios kbState0;
termios kbState1;
struct sigaction savesig;
bool gSavesigKnown = false;

// Set by kbSig1 on the session's thread for SIGINT: the read that it
// interrupted ends the input.
volatile sig_atomic_t gInterrupted = 0;

static_assert(std::atomic<bool>::is_always_lock_free, "handlers test atomic flags");

void DialogSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTSTP);
  sigaddset(set, SIGCONT);
}

bool IsOurs(const struct sigaction& action) {
  if ((action.sa_flags & SA_SIGINFO) != 0) return false;
  return action.sa_handler == kbSig1 || action.sa_handler == kbSig2;
}

void Install(int sig, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  sigaction(sig, &action, nullptr);
}

void Default(int sig) { Install(sig, SIG_DFL, 0); }

// kbState1 from kbState0: canonical input and echo off, one byte per read.
void Derive() {
  kbState1 = kbState0;
  kbState1.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  kbState1.c_cc[VMIN] = 1;
  kbState1.c_cc[VTIME] = 0;
}

// Reads and derives the settings once; true when they are known.
bool Fetch() {
  if (kbStateFetched.load()) return true;
  if (tcgetattr(kbFd, &kbState0) != 0) return false;
  Derive();
  kbStateFetched.store(true);
  return true;
}

// Opens the keyboard when none is chosen, and again when the "/dev/tty"
// descriptor kept from before no longer is the controlling terminal.
// kbMutex held.
void OpenKeyboard() {
  if (kbFd > kStandardInput && tcgetsid(kbFd) < 0) {
    close(kbFd);
    kbFd = -1;
    kbStateFetched.store(false);
  }
  if (kbFd == -1) {
    int fd = open(kTerminalPath, O_RDWR | O_CLOEXEC);
    kbFd = fd < 0 ? kStandardInput : fd;
  }
}

bool OnOtherThread() {
  return gOwnerActive.load(std::memory_order_acquire) && !pthread_equal(pthread_self(), gSessionOwner);
}

// A forwarded signal that is still pending on this thread, blocked by the
// mask it goes back to, is sent on to the process (to a thread that takes
// it). Called after the mask is restored.
void PassOnPending(int sig) {
  if (!sigismember(&gSavedMask, sig)) return;
  sigset_t pending;
  if (sigpending(&pending) != 0 || !sigismember(&pending, sig)) return;
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  struct timespec none {};
  if (sigtimedwait(&one, nullptr, &none) == sig) kill(getpid(), sig);
}

}  // namespace

void kbAddSigs() {
  struct sigaction current {};
  if (sigaction(SIGINT, nullptr, &current) == 0 && !IsOurs(current)) {
    savesig = current;
    gSavesigKnown = true;
  }
  Install(SIGINT, kbSig1, 0);  // no SA_RESTART: the read ends
  Install(SIGTSTP, kbSig1, SA_RESTART);
  Install(SIGCONT, kbSig2, SA_RESTART);
}

void kbCbreak(int flag) {
  std::unique_lock<std::mutex> lock(kbMutex);
  if (flag != 0) {
    if (kbFd == -1) kbFd = kStandardInput;
    return;
  }
  pthread_t self = pthread_self();
  bool nested = gSessionBusy && pthread_equal(gSessionOwner, self);
  sigset_t dialogSignals;
  DialogSignals(&dialogSignals);
  if (!nested) {
    gSessionFree.wait(lock, [] { return !gSessionBusy; });
    gSessionBusy = true;
    gSessionOwner = self;
    // The handlers find everything in place before a signal reaches them.
    pthread_sigmask(SIG_BLOCK, &dialogSignals, &gSavedMask);
    gInterrupted = 0;
    OpenKeyboard();
    Fetch();
    gOwnerActive.store(true, std::memory_order_release);
    kbAddSigs();
  }
  kbCbreakFlag.store(true);
  if (kbStateFetched.load()) tcsetattr(kbFd, TCSAFLUSH, &kbState1);
  if (!nested) pthread_sigmask(SIG_UNBLOCK, &dialogSignals, nullptr);
}

void kbNorm() {
  std::unique_lock<std::mutex> lock(kbMutex);
  if (!gSessionBusy || !pthread_equal(gSessionOwner, pthread_self())) return;
  sigset_t dialogSignals;
  DialogSignals(&dialogSignals);
  pthread_sigmask(SIG_BLOCK, &dialogSignals, nullptr);
  kbCbreakFlag.store(false);
  if (kbStateFetched.load()) tcsetattr(kbFd, TCSAFLUSH, &kbState0);
  if (gSavesigKnown) sigaction(SIGINT, &savesig, nullptr);
  Default(SIGCONT);
  Default(SIGTSTP);
  gOwnerActive.store(false, std::memory_order_release);
  gSessionBusy = false;
  pthread_sigmask(SIG_SETMASK, &gSavedMask, nullptr);
  PassOnPending(SIGINT);
  PassOnPending(SIGTSTP);
  lock.unlock();
  gSessionFree.notify_one();
}

int kbGet() {
  unsigned char byte = 0;
  for (;;) {
    if (gInterrupted != 0) return -1;  // SIGINT came while no read was waiting
    ssize_t n = read(kbFd, &byte, 1);
    if (n == 1) break;
    if (n < 0 && errno == EINTR && gInterrupted == 0) continue;
    return -1;
  }
  QOXGlobalRandomPoolAddKeystroke(static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(byte))));
  return byte;
}

void kbFlush(int wait) {
  if (wait != 0) sleep(1);
  tcflush(kbFd, TCIFLUSH);
}

void kbSig1(int sig) {
  int saved = errno;
  if (OnOtherThread()) {
    pthread_kill(gSessionOwner, sig);
    errno = saved;
    return;
  }
  if (kbCbreakFlag.load() && kbStateFetched.load()) tcsetattr(kbFd, TCSANOW, &kbState0);
  if (sig == SIGINT) {
    gInterrupted = 1;
    if (gSavesigKnown) sigaction(SIGINT, &savesig, nullptr);
    else Default(SIGINT);
  } else {
    Default(sig);
  }
  raise(sig);
  errno = saved;
}

void kbSig2(int sig) {
  int saved = errno;
  if (OnOtherThread()) {
    pthread_kill(gSessionOwner, sig);
    errno = saved;
    return;
  }
  if (kbCbreakFlag.load()) {
    if (Fetch()) {
      tcsetattr(kbFd, TCSANOW, &kbState1);
      Install(SIGTSTP, kbSig1, SA_RESTART);
    }
  } else {
    kbAddSigs();
  }
  errno = saved;
}

int kbOpenKbd(int openFlags, int skip) {
  if (skip != 0) return kStandardInput;
  int fd = open(kTerminalPath, openFlags);
  return fd < 0 ? kStandardInput : fd;
}

void kbCloseKbd(int fd) {
  if (fd != kStandardInput) close(fd);
}

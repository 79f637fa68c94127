// The daemon's process frame: the restart loop, one server lifetime
// (InnerMain), the signal handlers, detaching, and the process-wide flags.
//
// Signals: SIGPIPE is ignored; SIGUSR2, SIGTERM and SIGINT ask for shutdown,
// SIGHUP for a restart, SIGUSR1 only interrupts a wait. The handlers only set
// the atomic flags below and write one byte into the signal relay's pipe; the
// relay thread (started once the server's threads are about to start) prints
// the trace lines, wakes the control thread (qoxSignalControlThread) and the
// listener (its wake-up event). Shutdown and restart signals are blocked in
// every thread but the relay, so no connection thread sees EINTR from them.
//
// Thread safety: the flags are atomics, set by any thread. Everything else
// here runs on the initial thread.
#ifndef OSTRAK_SERVER_DAEMON_H_
#define OSTRAK_SERVER_DAEMON_H_

#include <atomic>
#include <cstdint>
#include <ctime>

#include "foundation/threads.h"

inline constexpr char kServerVersionText[] = "QOX Keyserver 1.0";
inline constexpr char kServerIdentity[] = "QOX Keyserver";
inline constexpr char kPIDFileBase[] = "/tmp/ostrakd";

extern std::atomic<int32_t> vuziz_shutdown;
extern std::atomic<int32_t> g_bHUPReceived;
extern std::atomic<int16_t> g_iServerExitCode;
extern uint16_t g_iSDKInitStatus;  // 1 toolkit, 2 network library, 8 sockets
extern char* g_pszCurrentDirectory;
extern time_t g_timeStart;  // process start
extern time_t g_startTime;  // start of the current pass
extern bool vbDetached;
// Secure mode in force after the last pass that ran the TLS-key step; -1
// until one has. A pass that ended with 2 (disabled) keeps it disabled.
extern int32_t gHUPSecureMode;

// Guards ServerState::listenerWakeEvent against the relay thread: whoever
// publishes or frees the listener's wake-up event takes it.
extern QOXMutex g_mutexSignalRelay;

// The process: 0 or 1.
int vuzizMain(int argc, char** argv);
// One server lifetime; its result is also stored in g_iServerExitCode.
int InnerMain(int argc, char** argv);

void set_shutdown(int signal);
void set_HUPReceived(int signal);
void do_nothing(int signal);
void detach();

// Installs the four handlers (and ignores SIGPIPE).
void vuzizInstallSignalHandlers();
// Starts the relay thread once per process (after detaching); blocks the
// shutdown and restart signals in the calling thread, so that threads it
// starts afterwards inherit the mask.
void vuzizStartSignalRelay();
// Stops the relay thread if it runs.
void vuzizStopSignalRelay();

#endif  // OSTRAK_SERVER_DAEMON_H_

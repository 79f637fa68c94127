// The web console's control channel: the control thread, the server FIFO,
// request parsing, and the status, log-page, enable and restart replies.
#include "server/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "server/connection.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/listener.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

constexpr char kIpcDirectory[] = "/tmp/qoxkeysrv";
constexpr char kStatusHeader[] = "200 STATUS FOLLOWS\n";
constexpr size_t kLineSlot = 256;  // a request line with its newline and NUL
constexpr int kMaxLines = 6;
constexpr size_t kPageBuffer = 10000;
// Lines a log page may ask for.
constexpr long long kMaxPageSize = 1000000;

// The control thread's wake-up, made once per process.
std::once_flag gWakeOnce;
int gWakeFd = -1;

void MakeWakeFd() { gWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

// The server FIFO, read without blocking. Reopened after each writer has
// gone (a new open starts without the old writer's hang-up).
struct ServerPipe {
  int fd = -1;
  std::string path;
  std::string pending;  // bytes read but not yet handed out as lines
  bool eof = false;
};
ServerPipe gPipe;  // control thread only

bool OpenServerPipe() {
  gPipe.fd = open(gPipe.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  gPipe.pending.clear();
  gPipe.eof = false;
  return gPipe.fd >= 0;
}

void CloseServerPipe() {
  if (gPipe.fd >= 0) close(gPipe.fd);
  gPipe.fd = -1;
}

// One line slot as fgets with a 256-byte buffer gives it: up to and with
// the newline, at most 255 bytes. 1 a line, 0 end of data (the writer went
// away), -1 failure, -2 woken (shutdown or restart).
int NextLine(std::string* line) {
  for (;;) {
    size_t newline = gPipe.pending.find('\n');
    if (newline != std::string::npos && newline < kLineSlot - 1) {
      *line = gPipe.pending.substr(0, newline + 1);
      gPipe.pending.erase(0, newline + 1);
      return 1;
    }
    if (gPipe.pending.size() >= kLineSlot - 1) {
      *line = gPipe.pending.substr(0, kLineSlot - 1);
      gPipe.pending.erase(0, kLineSlot - 1);
      return 1;
    }
    if (gPipe.eof) {
      if (gPipe.pending.empty()) return 0;
      *line = gPipe.pending;
      gPipe.pending.clear();
      return 1;
    }
    struct pollfd p[2] = {{gPipe.fd, POLLIN, 0}, {gWakeFd, POLLIN, 0}};
    int n = poll(p, gWakeFd >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (gWakeFd >= 0 && (p[1].revents & POLLIN) != 0) {
      uint64_t drained;
      ssize_t r = read(gWakeFd, &drained, sizeof drained);
      (void)r;
      if (vuziz_shutdown) return -2;
    }
    if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[512];
      ssize_t r = read(gPipe.fd, buffer, sizeof buffer);
      if (r > 0) {
        gPipe.pending.append(buffer, static_cast<size_t>(r));
      } else if (r == 0) {
        gPipe.eof = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        return -1;
      }
    }
  }
}

bool FirstWordStartsWithGET(const std::string& line) {
  size_t start = line.find_first_not_of(" \t");
  return start != std::string::npos && strncasecmp(line.c_str() + start, "GET", 3) == 0;
}

bool StartsWithNoCase(const char* text, const char* prefix) { return strncasecmp(text, prefix, strlen(prefix)) == 0; }

std::string Trimmed(const char* text) {
  std::string s(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Waits for room on a non-blocking reply FIFO, a few seconds at most.
bool WaitWritable(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  for (;;) {
    int n = poll(&p, 1, 5000);
    if (n > 0) return (p.revents & POLLOUT) != 0;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

QOXError Reply(ConsoleRequest* request, const std::string& text) {
  size_t written = 0;
  return WritePipe(text.data(), text.size(), &written, request->replyFd);
}

bool ServerEnabled() {
  QOXMutexGuard guard(&g->mutexConnTable);
  return g->serverEnabled != 0;
}

void WakeListener() {
  QOXMutexGuard guard(&g_mutexSignalRelay);
  if (g->listenerWakeEvent != nullptr) qoxSignalSocketEvent(g->listenerWakeEvent);
}

// A request's reply FIFO, opened for the length of one handler.
struct ReplyPipe {
  ConsoleRequest* request;
  QOXError err;
  explicit ReplyPipe(ConsoleRequest* r) : request(r), err(InitClientPipe(r->replyName, &r->replyFd)) {
    if (err != 0) r->replyFd = -1;
  }
  ~ReplyPipe() {
    CleanupClientPipe(request->replyFd);
    request->replyFd = -1;
  }
};

// Waits, with the console off, until the server stops or restarts.
void WaitForShutdown() {
  while (!vuziz_shutdown) {
    struct pollfd p = {gWakeFd, POLLIN, 0};
    int n = poll(&p, gWakeFd >= 0 ? 1 : 0, gWakeFd >= 0 ? -1 : 1000);
    if (n > 0) {
      uint64_t drained;
      ssize_t r = read(gWakeFd, &drained, sizeof drained);
      (void)r;
    }
  }
}

}  // namespace

bool vuzizIpcDirectoryIsSafe(const struct stat& st, uid_t self) {
  if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != self && st.st_uid != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

namespace {

// The existing ipc directory is ours: no symbolic link, owned by the
// server's user or root, writable by nobody else (another local user could
// otherwise replace or read our FIFOs).
bool IpcDirectoryIsSafe() {
  struct stat st {};
  return lstat(kIpcDirectory, &st) == 0 && vuzizIpcDirectoryIsSafe(st, geteuid());
}

// True when the ipc directory exists and is not ours.
bool IpcDirectoryIsForeign() {
  struct stat st {};
  return lstat(kIpcDirectory, &st) == 0 && !vuzizIpcDirectoryIsSafe(st, geteuid());
}

}  // namespace

QOXError CreateServerPipe(const char* path) {
  if (path == nullptr) {
    LogError(kLogError, "Invalid parameters!\n");
    return kQOXErrBadParams;
  }
  struct stat st {};
  if (lstat(kIpcDirectory, &st) != 0) {
    if (mkdir(kIpcDirectory, 0700) != 0) {
      LogError(kLogError, "Could not create ipc directory (%s).", kIpcDirectory);
      return kQOXErrCantOpenFile;
    }
    LogError(kLogInfo, "Created ipc directory (%s).", kIpcDirectory);
  } else {
    if (!IpcDirectoryIsSafe()) {
      LogError(kLogError, "Could not create ipc directory (%s).", kIpcDirectory);
      return kQOXErrCantOpenFile;
    }
    unlink(path);
  }
  if (mkfifo(path, 0666) != 0 && errno != EEXIST) {
    LogError(kLogError, "Unable to create Named Pipe for communication with Web Console.\n");
    return kQOXErrCantOpenFile;
  }
  return 0;
}

void CleanupServerPipe(const char* path) {
  if (path == nullptr) {
    LogError(kLogError, "CleanupServerPipe: Bad Parameters.");
    return;
  }
  CloseServerPipe();
  if (unlink(path) != 0) LogError(kLogWarning, "Could not remove named pipe (%s).", path);
}

QOXError ParseInternal(const char* line, ConsoleRequest* request, int* command) {
  std::string s = Trimmed(line);
  size_t blank = s.find(' ');
  if (blank == std::string::npos || blank + 1 >= s.size()) {
    *command = kCmdInvalid;
    return kQOXErrBadParams;
  }
  std::string keyword = s.substr(0, blank);
  const char* value = s.c_str() + blank + 1;
  auto is = [&](const char* k) { return strcasecmp(keyword.c_str(), k) == 0; };
  auto eq = [&](const char* v) { return strcasecmp(value, v) == 0; };
  if (is("GET")) {
    if (StartsWithNoCase(value, "STATUS") || StartsWithNoCase(value, "MONITOR"))
      *command = kCmdStatus;
    else if (!StartsWithNoCase(value, "LOG"))
      *command = kCmdInvalid;
  } else if (is("EXIT")) {
    *command = kCmdExit;
  } else if (is("LOG-TYPE:")) {
    if (eq("ACCESS")) {
      *command = kCmdAccessLog;
      request->logType = 1;
    } else if (eq("ERROR")) {
      *command = kCmdErrorLog;
      request->logType = 2;
    } else {
      *command = kCmdInvalid;
    }
  } else if (is("Position:")) {
    // Read in 64 bits (a large log's offsets do not fit 32); a value beyond
    // the range is the range's end, a negative one the file's start.
    errno = 0;
    long long v = strtoll(value, nullptr, 10);
    request->position = v < 0 ? 0 : static_cast<int64_t>(v);
  } else if (is("Page-Size:")) {
    long long v = strtoll(value, nullptr, 10);
    request->pageSize = static_cast<int>(std::clamp<long long>(v, 0, kMaxPageSize));
  } else if (is("Named-Pipe:")) {
    snprintf(request->replyName, sizeof request->replyName, "%s", value);
  } else if (is("Page-Action:")) {
    if (eq("FIRST"))
      request->pageAction = kPageFirst;
    else if (eq("NEXT"))
      request->pageAction = kPageNext;
    else if (eq("PREV"))
      request->pageAction = kPagePrev;
    else if (eq("LAST"))
      request->pageAction = kPageLast;
    else
      *command = kCmdInvalid;
  } else if (is("Control:")) {
    if (eq("DISABLE"))
      *command = kCmdDisable;
    else if (eq("ENABLE"))
      *command = kCmdEnable;
    else if (eq("RESTART"))
      *command = kCmdRestart;
    else
      *command = kCmdInvalid;
  } else {
    return kQOXErrBadParams;
  }
  return 0;
}

namespace {

int ParseLines(const std::vector<std::string>& lines, ConsoleRequest* request) {
  for (const std::string& l : lines) {
    if (ParseInternal(l.c_str(), request, &request->command) != 0) {
      LogError(kLogError, "Could not parse command.\n");
      return kQOXErrBadParams;
    }
  }
  return 0;
}

}  // namespace

QOXError ParseData(const char* text, ConsoleRequest* request) {
  std::vector<std::string> lines;
  const char* p = text;
  while (p != nullptr && *p != '\0' && lines.size() < static_cast<size_t>(kMaxLines)) {
    const char* nl = strchr(p, '\n');
    size_t n = nl != nullptr ? static_cast<size_t>(nl - p) : strlen(p);
    lines.emplace_back(p, std::min(n, kLineSlot - 1));
    p = nl != nullptr ? nl + 1 : nullptr;
  }
  return ParseLines(lines, request);
}

int ReadCommand(ConsoleRequest* request) {
  if (gPipe.fd < 0 && !OpenServerPipe()) {
    LogError(kLogError, "Unable to open server pipe.\n");
    return kCmdInvalid;
  }
  std::vector<std::string> kept;
  for (;;) {
    std::string line;
    int r = NextLine(&line);
    if (r == -2) return kCmdNoRequest;
    if (r < 0) {
      LogError(kLogError, "Could not read request.\n");
      return kCmdInvalid;
    }
    if (r == 0) {
      // The writer went away: start over with the next one.
      CloseServerPipe();
      return kept.empty() ? kCmdNoRequest : kCmdInvalid;
    }
    if (line == "\n") {
      if (kept.size() >= 2) break;
      LogError(kLogWarning, "Invalid request received from Web Console.\n");
      kept.clear();
      continue;
    }
    if (kept.empty()) {
      if (FirstWordStartsWithGET(line)) kept.push_back(line);
      continue;
    }
    if (kept.size() == static_cast<size_t>(kMaxLines)) break;  // a seventh line ends the request
    kept.push_back(line);
  }
  ParseLines(kept, request);
  return request->command;
}

QOXError InitClientPipe(const char* name, int* descriptor) {
  if (name == nullptr || descriptor == nullptr) return kQOXErrBadParams;
  *descriptor = -1;
  int fd = -1;
  for (int retry = 0;; ++retry) {
    // No symbolic link is followed and nothing but a FIFO is written: the
    // requester names this path and the server may run as root.
    fd = open(name, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENXIO || retry == 12 || vuziz_shutdown) break;
    struct timespec wait = {0, 0};
    long ms = 250L * (retry + 1);
    wait.tv_sec = ms / 1000;
    wait.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&wait, nullptr);
  }
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  }
  if (fd < 0) {
    int e = errno;
    LogError(kLogError, "Unable to open Web Console Named Pipe '%s'; Error %d: %s\n.", name, e, strerror(e));
    return kQOXErrFileOpError;
  }
  *descriptor = fd;
  return 0;
}

QOXError WritePipe(const void* buffer, size_t length, size_t* written, int descriptor) {
  if (buffer == nullptr || length == 0) {
    LogError(kLogError, "Invalid parameters!\n");
    return kQOXErrBadParams;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(descriptor, p + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && WaitWritable(descriptor)) continue;
    break;
  }
  if (written != nullptr) *written = done;
  if (done != length) {
    HandleError();
    return kQOXErrWriteFailed;
  }
  return 0;
}

void CleanupClientPipe(int descriptor) {
  if (descriptor != -1) close(descriptor);
}

void HandleError() {
  int e = errno;
  if (e == EBADF)
    syslog(LOG_ERR, "Error: Bad file.");
  else if (e == ENOSPC)
    syslog(LOG_ERR, "Error: Out of disk space.");
  else
    syslog(LOG_ERR, "Error: Unknown error!");
}

QOXError EnableDaemon(ConsoleRequest* request, bool enable) {
  ReplyPipe pipe(request);
  if (pipe.err != 0) return pipe.err;
  {
    QOXMutexGuard guard(&g->mutexConnTable);
    g->serverEnabled = enable ? 1 : 0;
  }
  return Reply(request, std::string(kStatusHeader) + "STATE: " + (enable ? "ENABLED" : "DISABLED") + "\n\n");
}

QOXError RestartDaemon(ConsoleRequest* request) {
  ReplyPipe pipe(request);
  if (pipe.err != 0) return pipe.err;
  g_bHUPReceived = 1;
  vuziz_shutdown = 1;
  WakeListener();
  vuzizInstallSignalHandlers();
  return Reply(request, std::string(kStatusHeader) + "QOXkeyserver restarting.\n\n");
}

std::string vuzizStatusText() {
  std::string s = kStatusHeader;
  if (!ServerEnabled()) return s + "STATE: DISABLED\n\n";
  s += "STATE: ENABLED\n\n";
  struct Active {
    uint32_t started;
    std::string host;
  };
  std::vector<Active> active;
  int32_t maxConnections;
  {
    QOXMutexGuard guard(&g->mutexConnTable);
    maxConnections = vuzizConnTableSize;
    for (int32_t i = 0; vuzizConnTable != nullptr && i <= g->highestSlot && i < vuzizConnTableSize; ++i) {
      const Connection* c = &vuzizConnTable[i];
      if (c->socket == -1) continue;
      const char* host = c->clientHostName != nullptr ? c->clientHostName
                         : c->clientAddress != nullptr ? c->clientAddress
                                                       : "unknown";
      active.push_back({c->startTime, host});
    }
  }
  uint32_t initiated, completed, connections, entries, bytes;
  {
    QOXMutexGuard guard(&g->mutexOpCounters);
    initiated = g->statOpsInitiated;
    completed = g->statOpsCompleted;
    connections = g->statConnections;
  }
  {
    QOXMutexGuard guard(&g->mutexSentStats);
    entries = g->statEntriesSent;
    bytes = g->statBytesSent;
  }
  char block[512];
  snprintf(block, sizeof block,
           "Operations Initiated: %d\nOperations Completed: %d\nNumber Entries Sent : %d\nNumber Bytes Sent   : "
           "%d\nNumber of Conn.     : %d\nNumber of Valid Conn: %d\nMaximum # of Conn.  : %d\nElapsed Time        : "
           "%d\n",
           static_cast<int>(initiated), static_cast<int>(completed), static_cast<int>(entries),
           static_cast<int>(bytes), static_cast<int>(connections), static_cast<int>(active.size()),
           static_cast<int>(maxConnections), static_cast<int>(time(nullptr) - g_timeStart));
  s += block;
  if (active.empty()) return s + "NO ACTIVE CONNECTIONS\n\n";
  s += "ACTIVE CONNECTIONS\n";
  for (const Active& a : active) {
    char when[64] = "00:00";
    time_t t = a.started;
    struct tm tmv {};
    bool ok;
    {
      QOXMutexGuard guard(&g->mutexTimeConvert);
      ok = localtime_r(&t, &tmv) != nullptr;
    }
    if (ok) {
      QOXMutexGuard guard(&g->mutexTimeFormat);
      if (strftime(when, sizeof when, "%a %B %d, %Y %I:%M:%S %p", &tmv) == 0) snprintf(when, sizeof when, "00:00");
    }
    std::string line = std::string("Time: ") + when + "\tHost: " + a.host + "\n\n";
    // Lines that would not fit the reply are left out.
    if (s.size() + line.size() > kStatusReplyLimit) break;
    s += line;
  }
  return s;
}

QOXError ServerStatus(ConsoleRequest* request) {
  ReplyPipe pipe(request);
  if (pipe.err != 0) return pipe.err;
  return Reply(request, vuzizStatusText());
}

QOXError ProcessLogData(ConsoleRequest* request, bool eventLog) {
  ReplyPipe pipe(request);
  if (pipe.err != 0) return pipe.err;
  // The event log is paged through a reading stream of its own: its
  // writer's stream and mutex stay with the writer (every LogError takes
  // that mutex, so holding it here would stop every other thread's log
  // line, and this thread's own).
  FILE* own = nullptr;
  if (eventLog && IPCEventLogStream() != nullptr && g->eventLogFile != nullptr)
    own = fopen(g->eventLogFile, "r");
  FILE* stream = eventLog ? own : g->accessLogPageStream;
  const char* state = ServerEnabled() ? "ENABLED" : "DISABLED";
  QOXError result = 0;
  do {
    if (stream == nullptr || fseek(stream, 0, SEEK_END) != 0) {
      result = kQOXErrFileOpError;
      break;
    }
    long size = ftell(stream);
    int pageSize = request->pageSize;
    // A position at or past the end of the log asks for what is there
    // before the end: NEXT gives the last page (it once gave the first).
    const long position = request->position >= size ? size : static_cast<long>(request->position);
    int action = request->pageAction;
    if (action == kPageNext && position >= size) action = kPageLast;
    switch (action) {
      case kPageFirst:
        fseek(stream, 0, SEEK_SET);
        break;
      case kPageLast:
        // From the end, ReverseIterate(N) stops at the start of the
        // (N + 1)-th line from the end: the last page of N lines starts at
        // ReverseIterate(N - 1). Stepping back fewer lines than asked leaves
        // the stream at the start of a file shorter than the page: the page
        // is the whole file (reading stops at its end).
        fseek(stream, 0, SEEK_END);
        if (pageSize > 0 && ReverseIterate(stream, pageSize - 1) < 0) result = kQOXErrFileOpError;
        break;
      case kPageNext:
        MoveToPosition(stream, position);
        break;
      case kPagePrev: {
        MoveToPosition(stream, position);
        // Fewer lines than the page before the position: the stream is at
        // the file's start and the page is every line before the position
        // (one more than the newlines ReverseIterate reports passing).
        int moved = ReverseIterate(stream, pageSize);
        if (moved < pageSize) pageSize = moved < 0 ? 0 : moved + 1;
        break;
      }
      default:
        result = kQOXErrBadParams;
        break;
    }
    if (result != 0) break;
    std::vector<char> buffer(kPageBuffer, '\0');
    snprintf(buffer.data(), buffer.size(), "%sSIZE: %ld\nSTATE: %s\n\n", kStatusHeader, size, state);
    for (;;) {
      int linesRead = 0;
      // ReadLines reads one line more than it is asked for: a page of N
      // lines asks for N - 1 (none at all for 0).
      QOXError err = ReadLines(stream, pageSize - 1, buffer.data(), buffer.size(), &linesRead);
      if (err == kQOXErrBufferTooSmall) {
        if ((result = Reply(request, buffer.data())) != 0) break;
        pageSize -= linesRead;
        buffer.assign(kPageBuffer, '\0');
        if (linesRead == 0) {
          // A single line longer than the buffer: leave it out.
          result = kQOXErrBufferTooSmall;
          break;
        }
        continue;
      }
      if (err != 0) {
        if (strlen(buffer.data()) > 0) Reply(request, buffer.data());
        break;
      }
      char end[64];
      snprintf(end, sizeof end, "END: %ld\n\n", ftell(stream));
      std::string last = std::string(buffer.data()) + end;
      result = Reply(request, last);
      break;
    }
  } while (false);
  if (own != nullptr) fclose(own);
  return result;
}

void qoxSignalControlThread() {
  std::call_once(gWakeOnce, MakeWakeFd);
  if (gWakeFd < 0) return;
  uint64_t one = 1;
  ssize_t r = write(gWakeFd, &one, sizeof one);
  (void)r;  // a full counter already holds a wake-up
}

void* threadServerControl(void* arg) {
  std::call_once(gWakeOnce, MakeWakeFd);
  const char* fifoName = static_cast<const char*>(arg);
  // The access log: opened here when configured and not opened yet, and
  // once more for reading, for the log pages.
  if (g->AccessLogFile != nullptr) {
    bool failed = false;
    {
      QOXMutexGuard guard(&g->mutexAccessLog);
      if (g->accessLogFd == -2) {
        g->accessLogFd = open(g->AccessLogFile, O_RDWR | O_CREAT | O_CLOEXEC, g->accessLogMode);
        if (g->accessLogFd < 0) {
          int e = errno;
          LogError(kLogWarning, "Opening access log file (%s) failed with error: %d (%s).", g->AccessLogFile, e,
                   strerror(e));
          failed = true;
        }
      }
      if (!failed && g->accessLogFd >= 0 && g->accessLogPageStream == nullptr)
        g->accessLogPageStream = fopen(g->AccessLogFile, "r");
    }
    if (failed) {
      vuziz_shutdown = 1;
      g_iServerExitCode = 1;
      WakeListener();
      return nullptr;
    }
  }
  // Connection threads may already read the mask: clear it through the same
  // atomic view they use.
  if (g->AccessLogFile == nullptr || g->accessLogPageStream == nullptr)
    std::atomic_ref<int32_t>(g->AccessLogDetails).store(0, std::memory_order_relaxed);

  QOXError fatal = 0;
  if (IpcDirectoryIsForeign()) {
    // Someone else's directory (or one that others may write): the console
    // stays off and the LDAP service goes on without it.
    LogError(kLogError, "Could not create ipc directory (%s).", kIpcDirectory);
    WaitForShutdown();
  } else if ((fatal = CreateServerPipe(fifoName)) == 0) {
    gPipe.path = fifoName;
    while (!vuziz_shutdown) {
      ConsoleRequest request{};
      request.replyFd = -1;
      int command = ReadCommand(&request);
      QOXError err = 0;
      switch (command) {
        case kCmdDisable:
        case kCmdEnable:
          err = EnableDaemon(&request, command == kCmdEnable);
          break;
        case kCmdRestart:
          err = RestartDaemon(&request);
          break;
        case kCmdStatus:
          err = ServerStatus(&request);
          break;
        case kCmdErrorLog:
          err = ProcessLogData(&request, true);
          break;
        case kCmdAccessLog:
          err = ProcessLogData(&request, false);
          break;
        case kCmdExit:
        case kCmdNoRequest:
          break;
        default:
          LogError(kLogWarning, "Unknown command from client!\n");
          break;
      }
      // Only a restart that could not be carried out stops the server; a
      // failed status or log reply leaves it serving.
      if (command == kCmdRestart) {
        if (err != 0) fatal = err;
        break;
      }
    }
    CleanupServerPipe(fifoName);
  }
  {
    QOXMutexGuard guard(&g->mutexAccessLog);
    if (g->accessLogPageStream != nullptr) fclose(g->accessLogPageStream);
    g->accessLogPageStream = nullptr;
  }
  if (fatal != 0) {
    vuziz_shutdown = 1;
    g_bHUPReceived = 0;
    WakeListener();
    vuzizInstallSignalHandlers();
  }
  return nullptr;
}

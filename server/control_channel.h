// The web console's control channel: a server FIFO the console writes
// requests into, and a reply FIFO per request that the request names.
//
// A request is up to six text lines ("keyword value"), the first starting
// with GET, ended by an empty line. The control thread reads it, runs it
// (status, log pages, enable, disable, restart) and writes the reply into
// the named FIFO.
//
// Thread safety: only the control thread reads the server FIFO and runs
// requests. qoxSignalControlThread may be called from any thread: it wakes
// the control thread through an eventfd that the thread polls together
// with the FIFO, so no write into the FIFO is needed to wake it.
#ifndef OSTRAK_SERVER_CONTROL_CHANNEL_H_
#define OSTRAK_SERVER_CONTROL_CHANNEL_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/errors.h"

inline constexpr int kCmdInvalid = -1;
inline constexpr int kCmdDisable = 1;
inline constexpr int kCmdEnable = 2;
inline constexpr int kCmdRestart = 3;
inline constexpr int kCmdStatus = 4;
inline constexpr int kCmdErrorLog = 5;
inline constexpr int kCmdExit = 6;
inline constexpr int kCmdAccessLog = 7;
inline constexpr int kCmdNoRequest = 8;

inline constexpr int kPageFirst = 1;
inline constexpr int kPageNext = 2;
inline constexpr int kPagePrev = 3;
inline constexpr int kPageLast = 4;

struct ConsoleRequest {
  int replyFd;
  int command;
  char replyName[256];
  int logType;  // 1 access, 2 error
  int64_t position;  // byte offset; a value beyond the file means its end
  int pageSize;      // lines, 0 or more
  int pageAction;
};

// True when an ipc directory of this status may hold the server's FIFO:
// a real directory (no symbolic link), owned by `self` or root, and
// writable by neither its group nor others.
bool vuzizIpcDirectoryIsSafe(const struct stat& st, uid_t self);

QOXError CreateServerPipe(const char* path);
void CleanupServerPipe(const char* path);
// Reads and parses one request; its command code.
int ReadCommand(ConsoleRequest* request);
// Parses a request held in memory (lines split at newlines, the first six
// kept). 0, or -12000 after the first line that fails.
QOXError ParseData(const char* text, ConsoleRequest* request);
// One line: 0 or -12000.
QOXError ParseInternal(const char* line, ConsoleRequest* request, int* command);
QOXError InitClientPipe(const char* name, int* descriptor);
QOXError WritePipe(const void* buffer, size_t length, size_t* written, int descriptor);
void CleanupClientPipe(int descriptor);
void HandleError();
QOXError EnableDaemon(ConsoleRequest* request, bool enable);
QOXError RestartDaemon(ConsoleRequest* request);
QOXError ServerStatus(ConsoleRequest* request);
QOXError ProcessLogData(ConsoleRequest* request, bool eventLog);

// The status text (without writing it), for ServerStatus and tests; at most
// kStatusReplyLimit bytes.
inline constexpr size_t kStatusReplyLimit = 10000;
std::string vuzizStatusText();

#endif  // OSTRAK_SERVER_CONTROL_CHANNEL_H_

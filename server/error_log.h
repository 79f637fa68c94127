// The daemon's error log, event log and debug trace.
//
// LogError (level, format, ...) is the one way the daemon reports: levels 1
// verbose, 2 info, 4 warning, 8 error (server/support/zovurez_log.h, where
// the support library reaches LogError and the trace through a registered
// table). A message below the current level is
// dropped. Otherwise it gets a level prefix (unless switched off) and goes to
// standard error while the log is interactive, else to the system log under
// the identity given to ErrorLogInit (with the process ID, user facility);
// then, when a sink is set, to the sink (the event log, IPCLogError).
//
// The event log is a text file of dated lines
// "%02d/%02d/%04d %02d:%02d:%02d %s" (month, day, year, local time, the
// finished message); opening it appends to a file of the same name, so the
// log keeps its history across starts and restarts.
//
// The debug trace: a bit mask (DebugSetLevel) whose bits select trace lines
// on standard error, each starting with "[% 4.4d] " and the calling thread's
// small number.
//
// Thread safety: LogError may be called from any thread (each call formats
// into its own buffer and writes once). The level, interactive flag, sink and
// prefix switch are changed only while no server thread runs. The event log
// serialises its lines with its own mutex (g_mutexQOXErrorLog) and takes the
// time-conversion mutex handed to IPCEventLogInit around localtime.
#ifndef OSTRAK_SERVER_ERROR_LOG_H_
#define OSTRAK_SERVER_ERROR_LOG_H_

#include <cstdint>
#include <cstdio>

#include "foundation/errors.h"
#include "foundation/threads.h"
#include "server/support/zovurez_log.h"

using ErrorLogSink = void (*)(const char* text);

void ErrorLogInit(const char* identity, int level, int port, int interactive, ErrorLogSink sink);
// -1 leaves a value unchanged.
void UpdateErrorLogValues(int level, int port, int interactive);
void LogErrorSetType(int on);
void LogError(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ErrorLogClose();
// Reads the record that ends at the current position (or at the end of the
// file) of a file whose records end with their total length in three decimal
// digits. size must be 256. 1 on success, 0 otherwise.
int ReverseRead(FILE* stream, char* buffer, int size, int fromCurrent);

// The current settings, for the frame and tests.
int ErrorLogLevel();
int ErrorLogInteractive();

QOXError IPCEventLogInit(const char* fileName, QOXMutex* timeMutex);
void IPCLogError(const char* text);
void IPCEventLogCleanup();
// The open event-log stream (null when disabled), for the web console's
// pages; read it under IPCEventLogMutex().
FILE* IPCEventLogStream();
QOXMutex* IPCEventLogMutex();

// --- Debug trace ---
// The trace bits are in server/support/zovurez_log.h.
void DebugSetLevel(uint32_t mask);
uint32_t DebugGetLevel();
int DebugSetFile(const char* name);
int DebugCloseFile();
// The calling thread's small number, as printed in "[% 4.4d]".
int vuzizThreadNumber();
// When any bit of `bits` is in the mask: prints "[% 4.4d] " with the thread
// number, then the formatted text, to standard error, flushed.
void vuzizTrace(uint32_t bits, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Entry and exit lines of a function ("=> name", "<= name") at bit 4.
class VuzizTraceScope {
 public:
  explicit VuzizTraceScope(const char* name) : name_(name) { vuzizTrace(kTraceEntryExit, "=> %s\n", name_); }
  ~VuzizTraceScope() { vuzizTrace(kTraceEntryExit, "<= %s\n", name_); }
  VuzizTraceScope(const VuzizTraceScope&) = delete;
  VuzizTraceScope& operator=(const VuzizTraceScope&) = delete;

 private:
  const char* name_;
};

#endif  // OSTRAK_SERVER_ERROR_LOG_H_

// The event log: every logged message, dated, in a file the web console
// pages through.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

// Guarded by g_mutexQOXErrorLog: everything below.
QOXMutex g_mutexQOXErrorLog = QOX_MUTEX_INITIALIZER;
bool gEnabled = false;
char* gFileName = nullptr;
FILE* gStream = nullptr;
QOXMutex* gTimeMutex = nullptr;

}  // namespace

FILE* IPCEventLogStream() { return gEnabled ? gStream : nullptr; }
QOXMutex* IPCEventLogMutex() { return &g_mutexQOXErrorLog; }

QOXError IPCEventLogInit(const char* fileName, QOXMutex* timeMutex) {
  vuzizTrace(kTraceEntryExit, "=> IPCEventLogInit\n");
  QOXError rc = kQOXErrNoErr;
  if (fileName == nullptr || timeMutex == nullptr) {
    rc = kQOXErrBadParams;
    vuzizTrace(kTraceEntryExit, "<= IPCEventLogInit, rc = %d\n", rc);
    return rc;
  }
  {
    QOXMutexGuard guard(&g_mutexQOXErrorLog);
    gEnabled = false;
    do {
      zovurezFree(gFileName);
      gFileName = zovurezStrdup(fileName);
      if (gFileName == nullptr) {
        rc = kQOXErrOutOfMemory;
        break;
      }
      // Appended to: the log keeps its history across starts and restarts
      // (each start once renamed the last log to ".tmp" and dropped the one
      // before), and the file the web console reads stays where it is.
      gStream = fopen(gFileName, "a+");
      if (gStream == nullptr) {
        rc = kQOXErrCantOpenFile;
        break;
      }
      gTimeMutex = timeMutex;
      gEnabled = true;
    } while (false);
    if (!gEnabled) {
      zovurezFree(gFileName);
      gFileName = nullptr;
    }
  }
  vuzizTrace(kTraceEntryExit, "<= IPCEventLogInit, rc = %d\n", rc);
  return rc;
}

void IPCLogError(const char* text) {
  if (text == nullptr) return;
  QOXMutexGuard guard(&g_mutexQOXErrorLog);
  if (!gEnabled || gStream == nullptr) return;
  size_t n = strlen(text) + 22;
  char* line = static_cast<char*>(zovurezMalloc(n));
  if (line == nullptr) return;
  time_t now = time(nullptr);
  struct tm local {};
  struct tm* ok;
  {
    QOXMutexGuard timeGuard(gTimeMutex);
    ok = localQOXtime(&now, 0, &local);
  }
  if (ok == nullptr) {
    zovurezFree(line);
    return;
  }
  int len = snprintf(line, n, "%02d/%02d/%04d %02d:%02d:%02d %s", local.tm_mon + 1, local.tm_mday,
                     local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, text);
  // The web console's reader moves the position, so every line seeks.
  if (len < 0 || fseek(gStream, 0, SEEK_END) != 0 ||
      fwrite(line, 1, static_cast<size_t>(len), gStream) != static_cast<size_t>(len)) {
    gEnabled = false;
  } else {
    fflush(gStream);
  }
  zovurezFree(line);
}

void IPCEventLogCleanup() {
  vuzizTrace(kTraceEntryExit, "=> IPCEventLogCleanup\n");
  {
    QOXMutexGuard guard(&g_mutexQOXErrorLog);
    if (gStream != nullptr) fclose(gStream);
    gStream = nullptr;
    zovurezFree(gFileName);
    gFileName = nullptr;
    gEnabled = false;
    gTimeMutex = nullptr;
  }
  vuzizTrace(kTraceEntryExit, "<= IPCEventLogCleanup\n");
}

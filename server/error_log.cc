// The error log and the debug trace.
#include "server/error_log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "server/support/zovurez.h"

namespace {

// Changed only by the initial thread while no server thread runs; atomics so
// that readers on other threads see a whole value.
std::atomic<int> gLevel{0};
std::atomic<int> gInteractive{0};
std::atomic<uint8_t> bLogType{1};
std::atomic<ErrorLogSink> gSink{nullptr};
// openlog keeps the identity pointer, so it lives here.
char gIdentity[64];

std::atomic<uint32_t> currentDebugLvl{0};
std::atomic<int> gNextThreadNumber{0};

// The debug file (DebugSetFile); only the initial thread opens and closes it.
FILE* gDebugFile = nullptr;
char* gDebugFileName = nullptr;

int PriorityOf(int level) {
  switch (level) {
    case kLogVerbose:
      return LOG_DEBUG;
    case kLogInfo:
      return LOG_INFO;
    case kLogError:
      return LOG_ERR;
    default:
      return LOG_WARNING;
  }
}

const char* PrefixOf(int level) {
  switch (level) {
    case kLogVerbose:
      return "Verbose: ";
    case kLogInfo:
      return "Info: ";
    case kLogError:
      return "Error: ";
    default:
      return "Warning: ";
  }
}

void ApplyMask(int level) {
  int upto = (level == kLogVerbose || level == kLogInfo || level == kLogWarning || level == kLogError)
                 ? PriorityOf(level)
                 : LOG_WARNING;
  setlogmask(LOG_UPTO(upto));
}

// The length of the formatted text (0 when it cannot be formatted); ap is
// left for the caller's own vsnprintf.
int FormattedLength(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int len = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  return len < 0 ? 0 : len;
}

}  // namespace

int vuzizThreadNumber() {
  thread_local int number = ++gNextThreadNumber;
  return number;
}

void DebugSetLevel(uint32_t mask) { currentDebugLvl = mask; }
uint32_t DebugGetLevel() { return currentDebugLvl; }

void vuzizTrace(uint32_t bits, const char* format, ...) {
  if ((currentDebugLvl.load(std::memory_order_relaxed) & bits) == 0) return;
  char head[32];
  int n = snprintf(head, sizeof head, "[% 4.4d] ", vuzizThreadNumber());
  va_list ap;
  va_start(ap, format);
  int len = FormattedLength(format, ap);
  std::string line(head, n);
  if (len > 0) {
    std::string body(static_cast<size_t>(len) + 1, '\0');
    vsnprintf(body.data(), body.size(), format, ap);
    body.resize(static_cast<size_t>(len));
    line += body;
  }
  va_end(ap);
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

int DebugSetFile(const char* name) {
  if (gDebugFile != nullptr) return 1;
  if (name == nullptr) return -2;
  std::string path = std::string("/tmp/") + name;
  char* copy = zovurezStrdup(path.c_str());
  if (copy == nullptr) return -1;
  FILE* f = fopen(copy, "a+");
  if (f == nullptr) {
    zovurezFree(copy);
    return -2;
  }
  fputs("----- ----- ----- ----- ----- ----- -----\n", f);
  fputs("----- ----- New Debug Session ----- -----\n", f);
  fputs("----- ----- ----- ----- ----- ----- -----\n", f);
  fflush(f);
  gDebugFile = f;
  gDebugFileName = copy;
  return 0;
}

int DebugCloseFile() {
  int rc = 0;
  if (gDebugFile != nullptr) rc = fclose(gDebugFile);
  gDebugFile = nullptr;
  zovurezFree(gDebugFileName);
  gDebugFileName = nullptr;
  return rc;
}

void ErrorLogInit(const char* identity, int level, int /*port*/, int interactive, ErrorLogSink sink) {
  gLevel = level;
  gInteractive = interactive;
  gSink = sink;
  snprintf(gIdentity, sizeof gIdentity, "%s", identity != nullptr ? identity : "");
  openlog(gIdentity, LOG_PID, LOG_USER);
  ApplyMask(level);
}

void UpdateErrorLogValues(int level, int /*port*/, int interactive) {
  if (level != -1) gLevel = level;
  if (interactive != -1) gInteractive = interactive;
  ApplyMask(gLevel);
}

void LogErrorSetType(int on) { bLogType = on ? 1 : 0; }

int ErrorLogLevel() { return gLevel; }
int ErrorLogInteractive() { return gInteractive; }

void LogError(int level, const char* format, ...) {
  vuzizTrace(kTraceEntryExit, "=> LogError\n");
  if (level < gLevel.load()) {
    vuzizTrace(kTraceEntryExit, "<= LogError\n");
    return;
  }
  const char* prefix = bLogType ? PrefixOf(level) : "";
  size_t prefixLen = strlen(prefix);
  va_list ap;
  va_start(ap, format);
  int len = FormattedLength(format, ap);
  // Room for the prefix, the text, a line end and the NUL.
  char* text = static_cast<char*>(zovurezMalloc(prefixLen + static_cast<size_t>(len) + 2));
  if (text == nullptr) {
    va_end(ap);
    return;  // no memory: the message is dropped
  }
  memcpy(text, prefix, prefixLen);
  vsnprintf(text + prefixLen, static_cast<size_t>(len) + 1, format, ap);
  va_end(ap);
  size_t total = prefixLen + static_cast<size_t>(len);
  bool needsEnd = total > 0 && text[total - 1] != '\n';
  if (gInteractive) {
    if (needsEnd) {
      text[total++] = '\n';
      text[total] = '\0';
    }
    fwrite(text, 1, total, stderr);
    fflush(stderr);
  } else {
    syslog(PriorityOf(level), "%s", text);
    if (needsEnd) {
      text[total++] = '\n';
      text[total] = '\0';
    }
  }
  ErrorLogSink sink = gSink;
  if (sink != nullptr) sink(text);
  zovurezFree(text);
  vuzizTrace(kTraceEntryExit, "<= LogError\n");
}

void ErrorLogClose() {
  closelog();
  gLevel = 0;
  gInteractive = 0;
}

int ReverseRead(FILE* stream, char* buffer, int size, int fromCurrent) {
  if (stream == nullptr || buffer == nullptr || size != 256) return 0;
  if (fseek(stream, -3, fromCurrent ? SEEK_CUR : SEEK_END) != 0) return 0;
  char digits[4] = {0, 0, 0, 0};
  if (fread(digits, 1, 3, stream) != 3) return 0;
  int length = 0;
  for (int i = 0; i < 3; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return 0;
    length = length * 10 + (digits[i] - '0');
  }
  // A record holds at least its three digits and must fit the buffer.
  if (length < 3 || length > size) return 0;
  if (fseek(stream, -static_cast<long>(length), SEEK_CUR) != 0) return 0;
  if (fread(buffer, 1, static_cast<size_t>(length), stream) != static_cast<size_t>(length)) return 0;
  if (fseek(stream, -static_cast<long>(length), SEEK_CUR) != 0) return 0;
  buffer[length - 3] = '\0';
  return 1;
}

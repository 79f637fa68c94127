// Access-log lines: the code, object field, time field and suffix of each
// operation type, and the append under the access-log mutex.
#include "server/access_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "server/connection.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

constexpr int kResultOutOfMemory = 90;
constexpr int32_t kZoneUnknown = 780;

// The search outcomes and bind/delete markers that callers pass as entry
// counts.
constexpr int kCountServerInfo = -42;
constexpr int kCountPartial = -43;
constexpr int kCountDisabled = -44;
constexpr int kCountReconstructionBind = -45;
constexpr int kCountDisable = -46;
constexpr int kCountFailed = -99;

// AccessLogDetails is cleared by a failing append while connection threads
// read it; both go through an atomic view.
int32_t Details() { return std::atomic_ref<int32_t>(g->AccessLogDetails).load(std::memory_order_relaxed); }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}

// "\"text\"" with inner quotes escaped; false when memory runs out.
bool Quoted(const char* text, std::string* out, bool lowerHexXs) {
  char* escaped = nullptr;
  EscapeDoubleQuotes(text, &escaped);
  if (escaped == nullptr) return false;
  std::string q = "\"" + std::string(escaped) + "\"";
  zovurezFree(escaped);
  if (lowerHexXs) {
    std::string copy = q;
    hexStringXsToLower(copy.data());
    q = copy;
  }
  *out = std::move(q);
  return true;
}

std::string KeyIDPair(const char* first, const char* second) {
  bool hasFirst = first[0] != '\0', hasSecond = second[0] != '\0';
  if (hasFirst && hasSecond) return Format("0x%s 0x%s", second, first);
  if (hasFirst) return Format("- 0x%s", first);
  if (hasSecond) return Format("0x%s -", second);
  return "- -";
}

void UndefinedSearchFailure() { vuzizSevereError("Undefined search failure.", "vuzizLogAccess", __LINE__); }

// The time field: the operation's start in UTC (version1, or when the zone
// is unknown) or in local time with the zone; the standard format adds the
// elapsed time.
std::string TimeField(const Connection* conn, const Operation* op, bool standard) {
  time_t start = static_cast<time_t>(op->startTime);
  bool local = standard && g->tzOffset != kZoneUnknown && g->tzOffset != -kZoneUnknown;
  struct tm when {};
  bool converted;
  if (local) {
    QOXMutexGuard guard(&g->mutexTimeConvert);
    converted = localQOXtime(&start, 0, &when) != nullptr;
  } else {
    converted = gmtime_r(&start, &when) != nullptr;
  }
  char stamp[64] = "-";
  if (converted) {
    QOXMutexGuard guard(&g->mutexTimeFormat);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &when);
  }
  std::string field = stamp;
  if (local) {
    int32_t minutes = qoxTimezoneOffsetAt(start);
    int32_t magnitude = minutes < 0 ? -minutes : minutes;
    field += Format(" %s%02d%02d", minutes < 0 ? "-" : "", magnitude / 60, magnitude % 60);
  }
  if (standard) {
    long seconds = conn->opTimerStop.tv_sec - conn->opTimerStart.tv_sec;
    long micros = conn->opTimerStop.tv_usec - conn->opTimerStart.tv_usec;
    if (micros < 0) {
      --seconds;
      micros += 1000000;
    }
    field += Format(" %i.%02i", static_cast<int>(seconds), static_cast<int>(micros / 10000));
  }
  return field;
}

}  // namespace

void logFileStdElementsResetCounters(Connection* conn) {
  conn->keyBytesSent = 0;
  conn->newUserIDs = 0;
  conn->newSignatures = 0;
}

void logFileStdElementsStartTimer(Connection* conn) {
  if (gettimeofday(&conn->opTimerStart, nullptr) != 0) {
    LogError(kLogWarning, "Unable to start operation timer");
    conn->opTimerStart = timeval{};
  }
}

void logFileStdElementsStopTimer(Connection* conn) {
  if (gettimeofday(&conn->opTimerStop, nullptr) != 0) {
    LogError(kLogWarning, "Unable to stop operation timer");
    conn->opTimerStop = timeval{};
  }
}

void FreeAccessLogOpData(int32_t type, OpAccessLogData* data) {
  if (data == nullptr) return;
  if (type == kOpTypeSearch || type == kOpTypeSignedDelete || type == kOpTypeOther) {
    zovurezFree(data->objectText);
    data->objectText = nullptr;
  }
}

int AddAccessLogEntry(Connection* conn, Operation* op, int32_t type, OpAccessLogData* data, int entryCount,
                      int result) {
  if (g == nullptr || conn == nullptr || op == nullptr || (Details() & type) == 0) return 0;
  logFileStdElementsStopTimer(conn);
  bool standard = g->AccessLogFormat != 0;
  static const OpAccessLogData kNoData{};
  const OpAccessLogData& d = data != nullptr ? *data : kNoData;
  try {
    std::string code, object, suffix;
    switch (type) {
      case kOpTypeBind:
        code = standard && entryCount == kCountReconstructionBind ? "BDR" : "BND";
        if (op->boundDN == nullptr || op->boundDN[0] == '\0') {
          object = "-";
        } else if (!Quoted(op->boundDN, &object, false)) {
          return kResultOutOfMemory;
        }
        break;
      case kOpTypeUnbind:
        code = "UBD";
        object = "-";
        break;
      case kOpTypeAbandon:
        code = "ABN";
        object = "-";
        break;
      case kOpTypeAdd:
      case kOpTypeAddMerged:
        code = type == kOpTypeAdd ? "ADD" : "MOD";
        object = KeyIDPair(d.keyID1, d.keyID2);
        if (standard) suffix = Format(" %d %d %d", conn->newUserIDs, conn->newSignatures, conn->keyBytesSent);
        break;
      case kOpTypeSearch:
        code = "SRC";
        if (!standard) {
          int shown = entryCount;
          if (entryCount == kCountServerInfo || entryCount == kCountPartial || entryCount == kCountDisabled) {
            shown = 1;
          } else if (entryCount == kCountFailed) {
            shown = 0;
          } else if (entryCount < 0) {
            shown = 0;
            UndefinedSearchFailure();
          }
          object = Format("%d -", shown);
        } else if (entryCount >= 0) {
          object = Format("%d %i", entryCount, conn->keyBytesSent);
        } else if (entryCount == kCountDisabled) {
          code = "SRD";
          object = Format("1 %i", conn->keyBytesSent);
        } else if (entryCount == kCountPartial) {
          code = "SRP";
          object = Format("1 %i", conn->keyBytesSent);
        } else if (entryCount == kCountServerInfo) {
          object = Format("0 %i", conn->keyBytesSent);
        } else if (entryCount == kCountFailed) {
          object = "0 0";
        } else {
          object = "0 ?";
          UndefinedSearchFailure();
        }
        break;
      case kOpTypeSignedDelete: {
        code = standard && entryCount == kCountDisable ? "DIS" : "DLT";
        std::string key = d.keyID1[0] != '\0' ? Format("0x%s", d.keyID1) : "-";
        if (d.objectText != nullptr && d.objectText[0] != '\0') {
          if (!Quoted(d.objectText, &object, true)) return kResultOutOfMemory;
          object += " " + key;
        } else {
          object = "- " + key;
        }
        break;
      }
      case kOpTypeOther: {
        code = "DAP";
        std::string what(d.code, strnlen(d.code, sizeof d.code));
        if (d.objectText != nullptr && d.objectText[0] != '\0') {
          std::string dn;
          if (!Quoted(d.objectText, &dn, false)) return kResultOutOfMemory;
          object = what + " " + dn;
        } else {
          object = what + " -";
        }
        break;
      }
      default:
        code = "???";
        object = "-";
        break;
    }
    std::string line = Format("%3.3s %d %s %d %s %s %s%s\n", code.c_str(), conn->connNumber,
                              TimeField(conn, op, standard).c_str(), result,
                              conn->clientAddress != nullptr ? conn->clientAddress : "-",
                              conn->clientHostName != nullptr ? conn->clientHostName : "-", object.c_str(),
                              suffix.c_str());
    LogAccessToFile(op, line.data(), line.size());
    return 0;
  } catch (const std::bad_alloc&) {
    return kResultOutOfMemory;
  }
}

int LogAccessToFile(Operation* /*op*/, const char* line, size_t length) {
  QOXMutexGuard guard(&g->mutexAccessLog);
  if (g->AccessLogFile == nullptr || g->accessLogFd == -1) {
    std::atomic_ref<int32_t>(g->AccessLogDetails).store(0, std::memory_order_relaxed);
    return 0;
  }
  if (g->accessLogFd == -2) {
    int fd = open(g->AccessLogFile, O_RDWR | O_CREAT | O_CLOEXEC, static_cast<mode_t>(g->accessLogMode));
    if (fd < 0) {
      int e = errno;
      LogError(kLogWarning, "Opening access log file (%s) failed with error: %d (%s).", g->AccessLogFile, e,
               strerror(e));
      g->accessLogFd = -1;
      return 1;
    }
    g->accessLogFd = fd;
  }
  if (lseek(g->accessLogFd, 0, SEEK_END) < 0) {
    int e = errno;
    LogError(kLogWarning, "Seeking to end of access log file (%s) failed with error: %d (%s).", g->AccessLogFile, e,
             strerror(e));
    close(g->accessLogFd);
    g->accessLogFd = -1;
    return 1;
  }
  ssize_t written = write(g->accessLogFd, line, length);
  if (written < 0 || static_cast<size_t>(written) != length) {
    int e = written < 0 ? errno : EIO;
    LogError(kLogWarning, "Writing to access log file (%s) failed with error: %d (%s).", g->AccessLogFile, e,
             strerror(e));
    close(g->accessLogFd);
    g->accessLogFd = -1;
    return 1;
  }
  return 0;
}

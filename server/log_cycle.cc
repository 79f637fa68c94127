// Rotation of the access log: copy to a dated file, empty the log, delete
// the oldest dated copies beyond CycleLogKeep.
//
// Only the names the server makes are ever deleted: the pattern built from
// the log's name is anchored at both ends and escapes every metacharacter,
// so "access.log" selects "access.20261210.log" and never
// "old-access.20261210.log" or "access.20261210.log.bak".
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/context.h"
#include "foundation/file_spec.h"
#include "foundation/io.h"
#include "foundation/memory_mgr.h"
#include "foundation/regex.h"
#include "foundation/sdk_errors.h"
#include "net/ldap_protocol.h"
#include "server/access_log.h"
#include "server/error_log.h"
#include "server/log_rotation.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

constexpr int kResultOutOfMemory = kLdapNoMemory;
constexpr int kFirstCandidates = 198;

struct ErrorText {
  explicit ErrorText(QOXError e) { QOXGetErrorString(e, sizeof text, text); }
  char text[256] = "";
};

using SpecPtr = ostrak::UniquePtr<PFLFileSpec>;
using IOPtr = ostrak::UniquePtr<QOXIO>;

QOXMemoryMgr* Manager() {
  QOXMemoryMgr* mgr = g->context != nullptr ? QOXPeekContextMemoryMgr(g->context) : nullptr;
  return mgr != nullptr ? mgr : QOXGetDefaultMemoryMgr();
}

// Start of the file-name part of a path.
const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (strchr("^$.[]()|?+*\\", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

// Anchored pattern of the dated copies of a log file name.
std::string CopyPattern(const char* fileName) {
  std::string name = fileName;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return "^" + Escaped(name) + "\\.[0-9]+$";
  return "^" + Escaped(name.substr(0, dot)) + "\\.[0-9]+" + Escaped(name.substr(dot)) + "$";
}

void FreeCandidates(char** names, int count) {
  for (int i = 0; i < count; ++i) zovurezFree(names[i]);
  zovurezFree(names);
}

}  // namespace

int GetCycledFileName(const char* name, const struct tm* when, char** out) {
  *out = nullptr;
  size_t length = strlen(name);
  char* buffer = static_cast<char*>(zovurezMalloc(length + 10));
  if (buffer == nullptr) return kResultOutOfMemory;
  char date[16] = "";
  {
    QOXMutexGuard guard(&g->mutexTimeFormat);
    strftime(date, sizeof date, ".%Y%m%d", when);
  }
  // The extension is looked for in the file name only, not in a directory.
  const char* dot = strrchr(BaseName(name), '.');
  size_t stem = dot != nullptr ? static_cast<size_t>(dot - name) : length;
  memcpy(buffer, name, stem);
  snprintf(buffer + stem, length + 10 - stem, "%s%s", date, name + stem);
  *out = buffer;
  return 0;
}

int AddCandidate(char*** vector, const char* name, int* count, int* capacity) {
  if (*count >= *capacity) {
    int grown = *capacity == 0 ? kFirstCandidates : *capacity * 2;
    auto* bigger = static_cast<char**>(zovurezRealloc(*vector, sizeof(char*) * static_cast<size_t>(grown)));
    if (bigger == nullptr) return kResultOutOfMemory;
    *vector = bigger;
    *capacity = grown;
  }
  char* copy = zovurezStrdup(name);
  if (copy == nullptr) return kResultOutOfMemory;
  (*vector)[(*count)++] = copy;
  return 0;
}

int CmpCycleLogFiles(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

int DeleteExcessCycledLogs(const char* accessLogName) {
  PFLFileSpec* raw = nullptr;
  QOXError err = PFLNewFileSpecFromFullPath(Manager(), accessLogName, &raw);
  SpecPtr logSpec(raw);
  if (err != 0) {
    LogError(kLogError, "Invalid filename (%s) for access log.  Error %d (%s)", accessLogName, err,
             ErrorText(err).text);
    return 1;
  }
  raw = nullptr;
  err = PFLGetParentDirectory(logSpec.get(), &raw);
  SpecPtr dir(raw);
  if (err != 0) {
    LogError(kLogError, "Getting parent directory of the access log file failed with error %d (%s)", err,
             ErrorText(err).text);
    return 1;
  }
  PFLDirectoryIter* rawIter = nullptr;
  err = PFLNewDirectoryIter(dir.get(), &rawIter);
  ostrak::UniquePtr<PFLDirectoryIter> iter(rawIter);
  if (err != 0) {
    LogError(kLogError, "Creating a directory iterator failed with error %d (%s)", err, ErrorText(err).text);
    return 1;
  }
  std::string pattern = CopyPattern(BaseName(accessLogName));
  QOXRegExp* expression = nullptr;
  if (qoxRegComp(g->context, pattern.c_str(), &expression) != 0) {
    LogError(kLogError, "Invalid access log filename provided (%s).", accessLogName);
    return 1;
  }
  char** names = nullptr;
  int count = 0, capacity = 0;
  for (;;) {
    PFLFileSpec* entry = nullptr;
    if (PFLNextFileInDirectory(iter.get(), &entry) != 0) break;
    SpecPtr entrySpec(entry);
    char* name = nullptr;
    if (PFLGetFileSpecName(entrySpec.get(), &name) != 0 || name == nullptr) continue;
    bool match = qoxRegExec(expression, name) == 1;
    if (match && AddCandidate(&names, name, &count, &capacity) != 0) {
      QOXFreeData(name);
      break;
    }
    QOXFreeData(name);
  }
  qoxContextMemFree(g->context, expression);
  if (count > g->CycleLogKeep) {
    qsort(names, static_cast<size_t>(count), sizeof(char*), CmpCycleLogFiles);
    for (int i = 0; i < count - g->CycleLogKeep; ++i) {
      PFLFileSpec* victim = nullptr;
      err = PFLComposeFileSpec(dir.get(), names[i], &victim);
      SpecPtr victimSpec(victim);
      if (err != 0) {
        LogError(kLogWarning, "Composing filename for excess log file (%s) failed with error %d (%s)", names[i], err,
                 ErrorText(err).text);
        continue;
      }
      err = PFLFileSpecDelete(victimSpec.get());
      if (err != 0) {
        LogError(kLogWarning, "Deleting excess log file (%s) failed with error %d (%s)", names[i], err,
                 ErrorText(err).text);
      }
    }
  }
  FreeCandidates(names, count);
  return 0;
}

int CycleLog(CycleLogContext* context, time_t now) {
  if (g == nullptr || context == nullptr) return 1;
  struct tm local {};
  bool converted;
  {
    QOXMutexGuard guard(&g->mutexTimeConvert);
    converted = localQOXtime(&now, 0, &local) != nullptr;
  }
  if (!converted) {
    LogError(kLogError, "A time of %d is not valid.", static_cast<int>(now));
    return 1;
  }
  GetSecondsTilNextCycle(&context->secondsLeft, &local, g->CycleLogDay, g->CycleLogTime);

  QOXMutexGuard guard(&g->mutexAccessLog);
  if (g->accessLogFd < 0) {
    LogError(kLogWarning,
             "At log cycle time, nothing had been logged to the access log.  Log cycling was skipped.");
    return 0;
  }
  if (g->CycleLogDay == 8 || g->AccessLogFile == nullptr) return 0;
  char* datedName = nullptr;
  if (GetCycledFileName(g->AccessLogFile, &local, &datedName) != 0) return kResultOutOfMemory;
  std::unique_ptr<char, void (*)(void*)> dated(datedName, zovurezFree);
  close(g->accessLogFd);
  g->accessLogFd = -2;  // the next line reopens the file

  PFLFileSpec* raw = nullptr;
  QOXError err = PFLNewFileSpecFromFullPath(Manager(), g->AccessLogFile, &raw);
  SpecPtr logSpec(raw);
  if (err != 0) {
    LogError(kLogError, "Invalid filename (%s) for access log.  Error %d (%s)", g->AccessLogFile, err,
             ErrorText(err).text);
    return 1;
  }
  QOXIO* rawIO = nullptr;
  err = QOXOpenFileSpec(logSpec.get(), 0, &rawIO);
  IOPtr logIO(rawIO);
  if (err != 0) {
    LogError(kLogError, "Opening access log for cycling failed with error %d (%s)", err, ErrorText(err).text);
    return 1;
  }
  if (g->CycleLogKeep >= 1) {
    raw = nullptr;
    err = PFLNewFileSpecFromFullPath(Manager(), dated.get(), &raw);
    SpecPtr copySpec(raw);
    if (err != 0) {
      LogError(kLogError, "Invalid filename (%s) for access log cycle file.  Error %d (%s)", dated.get(), err,
               ErrorText(err).text);
      return 1;
    }
    rawIO = nullptr;
    err = QOXOpenFileSpec(copySpec.get(), 0, &rawIO);
    IOPtr probe(rawIO);
    if (err != kQOXErrFileNotFound && err != kQOXErrFileOpError) {
      LogError(kLogInfo, "Cycling of log files skipped.  Today's cycled log file already exists.");
      return 0;
    }
    err = PFLFileSpecCreate(copySpec.get());
    if (err != 0) {
      LogError(kLogError, "Creating cycle file (%s) for access logging failed with error %d (%s)", dated.get(), err,
               ErrorText(err).text);
      return 1;
    }
    rawIO = nullptr;
    err = QOXOpenFileSpec(copySpec.get(), kQOXOpenFileSpec_Write, &rawIO);
    IOPtr copyIO(rawIO);
    if (err != 0) {
      LogError(kLogError, "Opening cycle file for access logging failed with error %d (%s)", err,
               ErrorText(err).text);
      return 1;
    }
    QOXFileOffset size = 0;
    err = QOXIOGetEOF(logIO.get(), &size);
    if (err != 0) {
      LogError(kLogError, "Size of access log file could not be determined.  Error %d (%s)", err,
               ErrorText(err).text);
      return 1;
    }
    err = QOXCopyIO(logIO.get(), size, copyIO.get());
    if (err == 0) err = QOXIOFlush(copyIO.get());
    if (err != 0) {
      LogError(kLogError, "Copying access log (%s) to the backup (%s) failed with error %d (%s)", g->AccessLogFile,
               dated.get(), err, ErrorText(err).text);
      return 1;
    }
  }
  if (truncate(g->AccessLogFile, 0) != 0) {
    int e = errno;
    LogError(kLogError, "Truncating the access log file (%s) failed with error %d (%s)", g->AccessLogFile, e,
             strerror(e));
    return 1;
  }
  DeleteExcessCycledLogs(g->AccessLogFile);
  return 0;
}

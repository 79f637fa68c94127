// The "NEXTID" file.
#include "backend/next_id.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/ldbm.h"
#include "backend/ldbm_storage.h"
#include "server/error_log.h"

namespace {

// The open file, process-wide as there is one database directory. It is
// keyed by the directory: a backend over another directory starts afresh.
struct NextIdFile {
  FILE* fpNextID = nullptr;
  char fileName[1024] = {};
  std::string directory;
  bool badHoodoo = false;
  long lastTaken = -1;  // the ID the last next_id handed out, until given back
};
QOXMutex g_nextIdFileMutex = QOX_MUTEX_INITIALIZER;  // guards g_nextIdFile
NextIdFile g_nextIdFile;

void Fail(NextIdFile& f, const char* message) {
  LogError(kLogError, "%s", message);
  f.badHoodoo = true;
}

// Writes id at the start of the file and forces it to the disk.
bool WriteId(FILE* fp, long id) {
  if (fseek(fp, 0, SEEK_SET) != 0) return false;
  if (fprintf(fp, "%ld\n", id) < 0) return false;
  if (fflush(fp) != 0) return false;
  return fsync(fileno(fp)) == 0;
}

}  // namespace

long next_id(Backend* be, int peek) {
  LdbmBackendState* li = LdbmState(be);
  QOXMutexGuard guard(&li->nextIdMutex);
  QOXMutexGuard fileGuard(&g_nextIdFileMutex);
  NextIdFile& f = g_nextIdFile;
  std::string dir = li->directory != nullptr ? li->directory : "";
  if (f.directory != dir) {
    if (f.fpNextID != nullptr) fclose(f.fpNextID);
    f = NextIdFile();
    f.directory = dir;
  }
  if (f.badHoodoo) {
    ldbm_severe_error("Previous error in next ID ignored.", "beNextID.c", 128);
    return -1;
  }
  if (f.fpNextID == nullptr) {
    if (li->directory == nullptr) {
      Fail(f, "Could not open nextID file.");
      return -1;
    }
    if (dir.size() + 8 > sizeof f.fileName) {
      Fail(f, "Path to next ID file is too long.");
      return -1;
    }
    snprintf(f.fileName, sizeof f.fileName, "%s%c%s", dir.c_str(), '/', "NEXTID");
    FILE* fp = fopen(f.fileName, "r+");
    if (fp == nullptr) {
      fp = fopen(f.fileName, "w+");
      if (fp == nullptr) {
        Fail(f, "Could not open nextID file.");
        return -1;
      }
      if (!WriteId(fp, 1)) {
        fclose(fp);
        Fail(f, "Could not write to nextID file.");
        return -1;
      }
    }
    f.fpNextID = fp;
  }
  char line[20];
  if (fseek(f.fpNextID, 0, SEEK_SET) != 0 || fgets(line, sizeof line, f.fpNextID) == nullptr) {
    Fail(f, "Could not read from nextID file.");
    return -1;
  }
  char* end = nullptr;
  long id = strtol(line, &end, 10);
  if (end == line || id < 1) {
    // Anything but a positive number would hand out IDs already in use.
    Fail(f, "Could not read from nextID file.");
    return -1;
  }
  li->nextId = static_cast<int32_t>(id);
  if (peek) return id;
  if (!WriteId(f.fpNextID, id + 1)) {
    Fail(f, "Could not write to nextID file.");
    return -1;
  }
  li->nextId = static_cast<int32_t>(id + 1);
  f.lastTaken = id;
  return id;
}

void next_id_return(Backend* be, long id) {
  LdbmBackendState* li = LdbmState(be);
  QOXMutexGuard guard(&li->nextIdMutex);
  QOXMutexGuard fileGuard(&g_nextIdFileMutex);
  NextIdFile& f = g_nextIdFile;
  std::string dir = li->directory != nullptr ? li->directory : "";
  if (f.directory == dir && f.badHoodoo) {
    ldbm_severe_error("Previous error in next ID ignored, attempting to give back the ID (bad).", "beNextID.c", 197);
    return;
  }
  if (f.directory != dir || f.fpNextID == nullptr) {
    LogError(kLogWarning, "Attempt to give back an ID, but no next ID file info is available.");
    return;
  }
  // Only the ID the last request handed out, and only once: giving back an
  // older one as well would hand out an ID that is in use.
  if (id == static_cast<long>(li->nextId) - 1 && id == f.lastTaken) {
    f.lastTaken = -1;
    li->nextId = static_cast<int32_t>(id);
    if (!WriteId(f.fpNextID, id)) LogError(kLogError, "Could not write to next id file.");
  } else {
    LogError(kLogInfo, "Too late to give back nextid %d.", static_cast<int>(li->nextId));
  }
}

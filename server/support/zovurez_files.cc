// Paths, the current directory, lock files, PID files and file checks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"

namespace {

// strerror text cut to 199 characters, as the lock messages print it.
std::string ErrText(int err) {
  std::string t = strerror(err);
  if (t.size() > 199) t.resize(199);
  return t;
}

}  // namespace

int GetFileMode(const char* path, uint32_t* mode, uint32_t* blockSize, int64_t* size) {
  ZovurezTraceScope trace("GetFileMode");
  if (path == nullptr) return 1;
  // stat is large-file aware on this platform, so sizes above 2 GiB are kept.
  struct stat st {};
  if (stat(path, &st) != 0) return 1;
  if (mode != nullptr) *mode = static_cast<uint32_t>(st.st_mode);
  if (blockSize != nullptr) *blockSize = static_cast<uint32_t>(st.st_blksize);
  if (size != nullptr) *size = static_cast<int64_t>(st.st_size);
  return 0;
}

int GetCurrentDir(char** buffer) {
  ZovurezTraceScope trace("GetCurrentDir");
  size_t size = 512;
  for (;;) {
    char* b = static_cast<char*>(zovurezMalloc(size));
    if (b == nullptr) {
      zovurezLogServices().LogError(kLogError, "Out of memory");
      return 1;
    }
    if (getcwd(b, size) != nullptr) {
      *buffer = b;
      return 0;
    }
    int err = errno;
    zovurezFree(b);
    if (err != ERANGE) {
      zovurezLogServices().LogError(kLogError, "Could not access current directory: %s.", strerror(err));
      return 1;
    }
    size += 512;
  }
}

void AdjustPath(const char* base, const char* path, char** out) {
  ZovurezTraceScope trace("AdjustPath");
  *out = nullptr;
  if (path == nullptr) return;
  if (path[0] == '/' || base == nullptr) {
    *out = zovurezStrdup(path);
  } else {
    size_t n = strlen(base) + strlen(path) + 2;
    char* p = static_cast<char*>(zovurezMalloc(n));
    if (p != nullptr) snprintf(p, n, "%s/%s", base, path);
    *out = p;
  }
  if (*out == nullptr) zovurezLogServices().LogError(kLogError, "Out of memory");
}

void NormalizePath(char* /*path*/) {
  zovurezLogServices().vuzizTrace(kTraceEntryExit, "=> NormalizePath\n");
  zovurezLogServices().vuzizTrace(kTraceEntryExit, "<= NormalizePath\n");
}

int CreateLockFile(const char* path, int wait, FILE** stream) {
  ZovurezTraceScope trace("CreateLockFile");
  *stream = nullptr;
  // Opened as fopen's "w" would, but a symbolic link is not followed (a
  // link put in the lock file's place would have its target emptied) and
  // only a regular file is emptied.
  FILE* f = nullptr;
  int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  }
  if (fd >= 0 && (ftruncate(fd, 0) != 0 || (f = fdopen(fd, "w")) == nullptr)) {
    int err = errno;
    close(fd);
    errno = err;
  }
  if (f == nullptr) {
    int err = errno;
    zovurezLogServices().LogError(kLogError, "Creating file (%s) failed with error %d: %s", path, err,
                                  ErrText(err).c_str());
    return 1;
  }
  for (int attempt = 1;; ++attempt) {
    if (lockf(fileno(f), F_TLOCK, 0) == 0) {
      *stream = f;
      return 0;
    }
    int err = errno;
    // lockf reports a lock held elsewhere as EAGAIN or EACCES.
    bool busy = err == EAGAIN || err == EACCES;
    if (!wait || !busy || attempt >= 10) {
      zovurezLogServices().LogError(kLogError, "Locking file (%s) failed with error %d: %s", path, err,
                                    ErrText(err).c_str());
      fclose(f);
      return 1;
    }
    sleep(1);
  }
}

int UnlockLockFile(FILE* stream) {
  ZovurezTraceScope trace("UnlockLockFile");
  if (stream == nullptr) return 1;
  fflush(stream);
  if (lseek(fileno(stream), 0, SEEK_SET) == -1 || lockf(fileno(stream), F_ULOCK, 0) != 0) {
    int err = errno;
    zovurezLogServices().LogError(kLogError, "Unlocking file failed with error %d: %s", err, strerror(err));
    return 1;
  }
  fclose(stream);
  return 0;
}

int lock_fopen(const char* path, const char* mode, int wait, FILE** stream, FILE** lockStream) {
  ZovurezTraceScope trace("lock_fopen");
  if (path == nullptr || mode == nullptr || stream == nullptr || lockStream == nullptr ||
      *stream != nullptr || *lockStream != nullptr) {
    zovurezLogServices().LogError(kLogError, "lock_fopen: Bad parameters.");
    return 1;
  }
  std::string lockName = std::string(path) + ".lock";
  if (CreateLockFile(lockName.c_str(), wait, lockStream) != 0) return 1;
  *stream = fopen(path, mode);
  if (*stream == nullptr) {
    int err = errno;
    zovurezLogServices().LogError(kLogError, "Creating file (%s) failed with error %d: %s", path, err,
                                  ErrText(err).c_str());
    UnlockLockFile(*lockStream);
    *lockStream = nullptr;
    return 1;
  }
  return 0;
}

int lock_fclose(void* /*ignored*/, FILE* stream, FILE* lockStream) {
  ZovurezTraceScope trace("lock_fclose");
  if (stream == nullptr || lockStream == nullptr) {
    zovurezLogServices().LogError(kLogError, "lock_fclose: Bad parameters.");
    return 1;
  }
  int rc = UnlockLockFile(lockStream);
  if (rc != 0) zovurezLogServices().LogError(kLogError, "Unlocking file failed");
  if (fclose(stream) != 0) {
    zovurezLogServices().LogError(kLogError, "Unlocking file failed");
    rc = 1;
  }
  return rc;
}

namespace {

// PID files live under a shared directory with predictable names: never
// follow a symbolic link planted there.
bool WriteOnePID(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    zovurezLogServices().LogError(kLogWarning, "Opening PID file (%s) failed with error %d: %s.", name, err,
                                  strerror(err));
    return false;
  }
  char text[32];
  int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  ssize_t w = write(fd, text, static_cast<size_t>(n));
  (void)w;
  close(fd);
  return true;
}

}  // namespace

void WritePIDToFile(const char* base, int port) {
  ZovurezTraceScope trace("WritePIDToFile");
  if (base == nullptr) return;
  std::string first = std::string(base) + ".pid";
  if (!WriteOnePID(first.c_str())) return;
  if (port >= 1) {
    std::string second = std::string(base) + "." + std::to_string(port) + ".pid";
    WriteOnePID(second.c_str());
  }
}

void DeletePIDFile(const char* base, int port) {
  ZovurezTraceScope trace("DeletePIDFile");
  if (base == nullptr || port <= 0) return;
  std::string name = std::string(base) + "." + std::to_string(port) + ".pid";
  if (remove(name.c_str()) != 0) {
    int err = errno;
    zovurezLogServices().LogError(kLogWarning, "Deleting PID file (%s) failed with error %d: %s.", name.c_str(), err,
                                  strerror(err));
  }
}

QOXError GetNamedPipeName(const char* prefix, const char* name, int port, char** out) {
  ZovurezTraceScope trace("GetNamedPipeName");
  if (prefix == nullptr || name == nullptr || out == nullptr) {
    zovurezLogServices().LogError(kLogError, "GetNamedPipeName: Bad Parameters.");
    return kQOXErrBadParams;
  }
  zovurezFree(*out);
  *out = nullptr;
  size_t n = strlen(prefix) + strlen(name) + 16;
  char* p = static_cast<char*>(zovurezMalloc(n));
  if (p == nullptr) return kQOXErrOutOfMemory;
  snprintf(p, n, "%s%s%d", prefix, name, port);
  *out = p;
  return kQOXErrNoErr;
}

bool file_nonempty(const char* path) {
  ZovurezTraceScope trace("file_nonempty");
  static struct stat st;  // one shared buffer: not re-entrant
  if (path == nullptr) return false;
  return stat(path, &st) == 0 && st.st_size > 0;
}

int filecheck(const char* path) {
  ZovurezTraceScope trace("filecheck");
  if (path == nullptr) return 1 | 8;
  std::string p = path;
  size_t slash = p.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
  int mask = 0;
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    mask |= 1;
  } else {
    if (access(dir.c_str(), R_OK) != 0) mask |= 2;
    if (access(dir.c_str(), W_OK) != 0) mask |= 4;
  }
  if (stat(path, &st) != 0) {
    mask |= 8;
  } else {
    if (access(path, R_OK) != 0) mask |= 16;
    if (access(path, W_OK) != 0) mask |= 32;
  }
  return mask;
}

// File references: opening, creating, sizing and renaming files named by
// file specs, and temporary files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/file.h"
#include "foundation/pipeline_services.h"

namespace {

constexpr int32_t kEnvTempDirectory = 2012;

struct Mode {
  uint16_t bits;
  const char* stdio;  // without "b"
  int openFlags;
};
constexpr Mode kModes[] = {
    {1, "r", O_RDONLY},
    {3, "r+", O_RDWR},
    {22, "a", O_WRONLY | O_CREAT | O_APPEND},
    {23, "a+", O_RDWR | O_CREAT | O_APPEND},
    {26, "w", O_WRONLY | O_CREAT | O_TRUNC},
    {27, "w+", O_RDWR | O_CREAT | O_TRUNC},
};

const Mode* FindMode(uint16_t openFlags) {
  for (const Mode& m : kModes)
    if (m.bits == (openFlags & kQOXOpenFlag_ModeMask)) return &m;
  return nullptr;
}

QOXError MapOpenErrno(int err) { return qoxMapOpenErrno(err, kQOXErrCantOpenFile); }

const char* PathOf(const PFLFileSpec* spec) { return reinterpret_cast<const char*>(spec->data); }

bool IsFullPathSpec(const PFLFileSpec* spec) {
  return pflFileSpecIsValid(spec) && spec->type == kPFLFileSpecType_FullPath && spec->data != nullptr;
}

}  // namespace

QOXError qoxFileRefStdIOOpen(const PFLFileSpec* spec, uint16_t openFlags, uint32_t fileType, FILE** outStream) {
  if (outStream == nullptr) return kQOXErrBadParams;
  *outStream = nullptr;
  const Mode* mode = FindMode(openFlags);
  if (mode == nullptr || !IsFullPathSpec(spec)) return kQOXErrBadParams;
  std::string stdioMode(mode->stdio);
  if ((openFlags & kQOXOpenFlag_Text) == 0) stdioMode += 'b';
  const bool lock = (openFlags & kQOXOpenFlag_Lock) != 0;
  const bool writes = (openFlags & kQOXOpenFlag_Write) != 0;
  // A locked "w" open truncates only once it holds the lock, so it never
  // clobbers a file that someone else has locked.
  int flags = mode->openFlags | O_CLOEXEC;
  const bool truncateAfterLock = lock && (flags & O_TRUNC) != 0;
  if (truncateAfterLock) flags &= ~O_TRUNC;
  // The permission class of the file type goes through open's mode; the
  // process umask stays as it is.
  int fd = open(PathOf(spec), flags, 0666 & ~qoxFileTypeMask(fileType));
  if (fd < 0) return MapOpenErrno(errno);
  FILE* stream = fdopen(fd, stdioMode.c_str());
  if (stream == nullptr) {
    int err = errno;
    close(fd);
    return MapOpenErrno(err);
  }
  if (lock) {
    QOXError err = qoxPlatformLockFILE(stream, writes ? kPFLLockFILE_Write : 0);
    if (err == kQOXErrNoErr && truncateAfterLock && ftruncate(fd, 0) != 0) err = kQOXErrFileOpError;
    if (err != kQOXErrNoErr) {
      std::fclose(stream);
      return err;
    }
  }
  *outStream = stream;
  return kQOXErrNoErr;
}

QOXFile* qoxFileRefOpen(QOXContext* context, const PFLFileSpec* spec, uint16_t openFlags, uint32_t fileType,
                        QOXError* outError) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& err = outError != nullptr ? *outError : scratch;
  err = kQOXErrNoErr;
  const uint16_t access = openFlags & (kQOXOpenFlag_Read | kQOXOpenFlag_Write);
  if (access == (kQOXOpenFlag_Read | kQOXOpenFlag_Write) || access == 0) {
    // A file is either read or written; a mode that does both has no kind.
    err = kQOXErrBadParams;
    return nullptr;
  }
  FILE* stream = nullptr;
  err = qoxFileRefStdIOOpen(spec, openFlags, fileType, &stream);
  if (err != kQOXErrNoErr) return nullptr;
  QOXFile* file = access == kQOXOpenFlag_Read ? qoxFileReadOpen(context, stream) : qoxFileWriteOpen(context, stream);
  if (file == nullptr) {
    std::fclose(stream);
    err = kQOXErrOutOfMemory;
  }
  return file;
}

QOXPipeModule* qoxFileRefReadCreate(QOXContext* context, const PFLFileSpec* spec, uint16_t openFlags,
                                    QOXError* outError, uint32_t* outWord) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& err = outError != nullptr ? *outError : scratch;
  QOXFile* file = qoxFileRefOpen(context, spec, openFlags, 0, &err);
  if (file == nullptr) return nullptr;
  QOXPipeModule* module = qoxPipelineServices().qoxQOXFileReadCreate(context, file, 1);
  if (module == nullptr) {
    file->close(file);
    err = kQOXErrOutOfMemory;
    return nullptr;
  }
  if (outWord != nullptr) *outWord = file->reserved;
  return module;
}

FILE* qoxStdIOOpenTempFile(QOXContext* context, PFLFileSpec** outSpec, QOXError* outError) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& err = outError != nullptr ? *outError : scratch;
  err = kQOXErrNoErr;
  if (outSpec != nullptr) *outSpec = nullptr;
  if (outSpec == nullptr) {
    err = kQOXErrBadParams;
    return nullptr;
  }
  const char* dir = qoxenvGetCString(qoxContextGetEnvironment(context), kEnvTempDirectory, nullptr);
  if (dir == nullptr) dir = std::getenv("TMP");
  if (dir == nullptr) dir = "/tmp/";
  std::string path(dir);
  if (path.empty() || path.back() != '/') path += '/';
  path += "ptmpXXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    err = kQOXErrCantOpenFile;
    return nullptr;
  }
  FILE* stream = fdopen(fd, "w+b");
  if (stream == nullptr) {
    close(fd);
    unlink(path.c_str());
    err = kQOXErrCantOpenFile;
    return nullptr;
  }
  err = PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context), path.c_str(), outSpec);
  if (err != kQOXErrNoErr) {
    std::fclose(stream);
    unlink(path.c_str());
    return nullptr;
  }
  return stream;
}

QOXError qoxCreateFile(const PFLFileSpec* spec, uint32_t fileType) {
  if (!IsFullPathSpec(spec)) return kQOXErrBadParams;
  int fd = open(PathOf(spec), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666 & ~qoxFileTypeMask(fileType));
  if (fd < 0) return kQOXErrCantOpenFile;
  close(fd);
  return kQOXErrNoErr;
}

QOXError qoxCalcFileSize(const PFLFileSpec* spec, QOXFileOffset* outSize) {
  if (outSize == nullptr || !IsFullPathSpec(spec)) return kQOXErrBadParams;
  *outSize = 0;
  struct stat st;
  if (stat(PathOf(spec), &st) != 0) return kQOXErrCantOpenFile;
  if (S_ISREG(st.st_mode)) *outSize = static_cast<QOXFileOffset>(st.st_size);
  return kQOXErrNoErr;
}

QOXError qoxRenameFile(const PFLFileSpec* spec, const PFLFileSpec* newNameSpec) {
  if (!pflFileSpecIsValid(spec) || !pflFileSpecIsValid(newNameSpec)) return kQOXErrBadParams;
  char name[kPFLFileNameBufferSize];
  QOXError err = PFLGetFileSpecNameBuffer(newNameSpec, sizeof name, name);
  if (err != kQOXErrNoErr) return err;
  PFLFileSpec* copy = nullptr;
  err = PFLCopyFileSpec(spec, &copy);
  if (err != kQOXErrNoErr) return err;
  err = PFLFileSpecRename(copy, name);
  PFLFreeFileSpec(copy);
  return err;
}

QOXError qoxStdIOClose(FILE* stream) {
  if (stream == nullptr) return kQOXErrBadParams;
  return std::fclose(stream) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
}

QOXMemoryMgr* qoxGetFileRefMemoryMgr(const PFLFileSpec* spec) { return PFLGetFileSpecMemoryMgr(spec); }

uint8_t* qoxExportFileRef(const PFLFileSpec* spec, size_t* outSize) {
  uint8_t* data = nullptr;
  size_t size = 0;
  PFLExportFileSpec(spec, &data, &size);
  if (outSize != nullptr) *outSize = size;
  return data;
}

QOXError qoxImportFileRef(QOXContext* context, const uint8_t* data, size_t size, PFLFileSpec** outSpec) {
  return PFLImportFileSpec(QOXPeekContextMemoryMgr(context), data, size, outSpec);
}

char* qoxGetFileRefName(const PFLFileSpec* spec) {
  char* name = nullptr;
  PFLGetFileSpecName(spec, &name);
  return name;
}

QOXError qoxSetFileRefName(PFLFileSpec* spec, const char* name) { return PFLSetFileSpecName(spec, name); }

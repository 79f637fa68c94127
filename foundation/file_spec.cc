// File specifications of type 14 (full POSIX paths) and the foundation's
// platform file services.
#include "foundation/file_spec.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/file_name.h"

struct PFLDirectoryIter {
  QOXMemoryMgr* memoryMgr;
  DIR* dir;
  PFLFileSpec* fileSpec;  // copy of the directory's fileSpec
};

namespace {

const char* PathOf(const PFLFileSpec* fileSpec) { return reinterpret_cast<const char*>(fileSpec->data); }

// Offset just past the last directory separator, 0 when there is none.
size_t DirPartLength(const char* path) {
  size_t cut = 0;
  for (const char* sep = kDirectorySeparators; *sep != '\0'; ++sep) {
    const char* last = std::strrchr(path, *sep);
    if (last != nullptr) {
      size_t n = static_cast<size_t>(last - path) + 1;
      if (n > cut) cut = n;
    }
  }
  return cut;
}

// Replaces the file reference's data by the given path (data block resized).
QOXError SetPath(PFLFileSpec* fileSpec, const std::string& path) {
  void* block = fileSpec->data;
  QOXError err = QOXReallocData(fileSpec->memoryMgr, &block, path.size() + 1, 0);
  if (err != kQOXErrNoErr) return err;
  fileSpec->data = static_cast<uint8_t*>(block);
  std::memcpy(fileSpec->data, path.c_str(), path.size() + 1);
  fileSpec->dataSize = static_cast<uint32_t>(path.size() + 1);
  return kQOXErrNoErr;
}

QOXError NewFullPathSpec(QOXMemoryMgr* mgr, const std::string& path, PFLFileSpec** out) {
  return PFLNewFileSpecFromFullPath(mgr, path.c_str(), out);
}

QOXError sExportProc(const PFLFileSpec* fileSpec, uint8_t** outData, size_t* outSize) {
  *outData = nullptr;
  *outSize = 0;
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  size_t n = std::strlen(PathOf(fileSpec)) + 1;
  auto* copy = static_cast<uint8_t*>(QOXNewData(fileSpec->memoryMgr, n, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, fileSpec->data, n);
  *outData = copy;
  *outSize = n;
  return kQOXErrNoErr;
}

QOXError sImportProc(PFLFileSpec* fileSpec, const uint8_t* data, size_t size) {
  if (size == 0 || data[size - 1] != 0) return kQOXErrBadParams;
  // The path ends at its first NUL; bytes after an inner NUL are not kept.
  return SetPath(fileSpec, std::string(reinterpret_cast<const char*>(data)));
}

bool sEqualProc(const PFLFileSpec* a, const PFLFileSpec* b) {
  if (a->data == nullptr || b->data == nullptr) return a->data == b->data;
  if (std::strcmp(PathOf(a), PathOf(b)) == 0) return true;
  struct stat sa, sb;
  if (stat(PathOf(a), &sa) != 0 || stat(PathOf(b), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

QOXError sGetNameProc(const PFLFileSpec* fileSpec, char name[kPFLFileNameBufferSize]) {
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  const char* path = PathOf(fileSpec);
  const char* leaf = path + DirPartLength(path);
  size_t n = std::strlen(leaf);
  if (n > kPFLFileNameBufferSize - 1) return kQOXErrBadParams;
  std::memcpy(name, leaf, n + 1);
  return kQOXErrNoErr;
}

QOXError sSetNameProc(PFLFileSpec* fileSpec, const char* name) {
  if (fileSpec->data == nullptr || name[0] == '\0') return kQOXErrBadParams;
  const char* path = PathOf(fileSpec);
  std::string next(path, DirPartLength(path));
  next += name;
  return SetPath(fileSpec, next);
}

QOXError sSetMetaInfoProc(PFLFileSpec*, const void*) { return kQOXErrNoErr; }

QOXError sExistsProc(const PFLFileSpec* fileSpec, bool* outExists) {
  *outExists = false;
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  errno = 0;
  FILE* f = std::fopen(PathOf(fileSpec), "rb");
  if (f != nullptr) {
    std::fclose(f);
    *outExists = true;
    return kQOXErrNoErr;
  }
  switch (errno) {
    case EACCES:
      *outExists = true;
      return kQOXErrNoErr;
    case ENOENT:
    case EAGAIN:
    case 0:
      return kQOXErrNoErr;
    default:
      return kQOXErrCantOpenFile;
  }
}

QOXError sCreateProc(const PFLFileSpec* fileSpec) {
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  int fd = open(PathOf(fileSpec), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return kQOXErrFileOpError;
  close(fd);
  return kQOXErrNoErr;
}

QOXError sDeleteProc(const PFLFileSpec* fileSpec) {
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  return std::remove(PathOf(fileSpec)) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
}

QOXError sRenameProc(PFLFileSpec* fileSpec, const char* newName) {
  if (fileSpec->data == nullptr || newName[0] == '\0') return kQOXErrBadParams;
  const char* oldPath = PathOf(fileSpec);
  std::string next(oldPath, DirPartLength(oldPath));
  next += newName;
  // The new path goes into a block of its own, so the old one is still
  // there, unchanged, when the file system refuses the rename.
  auto* block = static_cast<uint8_t*>(QOXNewData(fileSpec->memoryMgr, next.size() + 1, 0));
  if (block == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(block, next.c_str(), next.size() + 1);
  if (std::rename(oldPath, next.c_str()) != 0) {
    QOXFreeData(block);
    return kQOXErrFileOpError;
  }
  QOXFreeData(fileSpec->data);
  fileSpec->data = block;
  fileSpec->dataSize = static_cast<uint32_t>(next.size() + 1);
  return kQOXErrNoErr;
}

QOXError sGetMaxNameLengthProc(const PFLFileSpec* fileSpec, size_t* outLength) {
  *outLength = 0;
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  *outLength = kPFLMaxFileNameLength;
  return kQOXErrNoErr;
}

QOXError sParentDirProc(const PFLFileSpec* fileSpec, PFLFileSpec** outParent) {
  if (fileSpec->data == nullptr) return kQOXErrBadParams;
  const char* path = PathOf(fileSpec);
  size_t dir = DirPartLength(path);
  if (dir < 2) return kQOXErrFileNotFound;
  return NewFullPathSpec(fileSpec->memoryMgr, std::string(path, dir - 1), outParent);
}

QOXError sComposeProc(const PFLFileSpec* dir, const char* name, PFLFileSpec** outSpec) {
  if (dir->data == nullptr) return kQOXErrBadParams;
  std::string path(PathOf(dir));
  if (!path.empty() && std::strchr(kDirectorySeparators, path.back()) != nullptr) path.pop_back();
  path += '/';
  path += name;
  return NewFullPathSpec(dir->memoryMgr, path, outSpec);
}

constexpr PFLFileSpecVTBL sVTBLStd = {
    sExportProc, sImportProc,      sEqualProc,           sGetNameProc,          sSetNameProc,
    sSetMetaInfoProc, sExistsProc, sCreateProc,          sDeleteProc,           sRenameProc,
    sGetMaxNameLengthProc,         sParentDirProc,       sComposeProc,
};

}  // namespace

const PFLFileSpecVTBL* GetFileSpecVTBLStd() { return &sVTBLStd; }

const PFLFileSpecVTBL* qoxGetFileSpecVTBLForType(uint32_t type) {
  return type == kPFLFileSpecType_FullPath ? &sVTBLStd : nullptr;
}

bool pflFileSpecIsValid(const PFLFileSpec* fileSpec) {
  return fileSpec != nullptr && fileSpec->magic == kPFLFileSpecMagic;
}

QOXError qoxNewFileSpec(QOXMemoryMgr* mgr, uint32_t type, size_t dataSize, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  auto* fileSpec = static_cast<PFLFileSpec*>(QOXNewData(mgr, sizeof(PFLFileSpec), kQOXMemoryMgrFlags_Clear));
  if (fileSpec == nullptr) return kQOXErrOutOfMemory;
  if (dataSize > 0) {
    fileSpec->data = static_cast<uint8_t*>(QOXNewData(mgr, dataSize, kQOXMemoryMgrFlags_Clear));
    if (fileSpec->data == nullptr) {
      QOXFreeData(fileSpec);
      return kQOXErrOutOfMemory;
    }
  }
  fileSpec->magic = kPFLFileSpecMagic;
  fileSpec->memoryMgr = mgr;
  fileSpec->type = type;
  fileSpec->dataSize = static_cast<uint32_t>(dataSize);
  fileSpec->vtbl = qoxGetFileSpecVTBLForType(type);
  *outSpec = fileSpec;
  return kQOXErrNoErr;
}

QOXError PFLNewFileSpecFromFullPath(QOXMemoryMgr* mgr, const char* path, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (path == nullptr) return kQOXErrBadParams;
  size_t n = std::strlen(path) + 1;
  PFLFileSpec* fileSpec = nullptr;
  QOXError err = qoxNewFileSpec(mgr, kPFLFileSpecType_FullPath, n, &fileSpec);
  if (err != kQOXErrNoErr) return err;
  std::memcpy(fileSpec->data, path, n);
  *outSpec = fileSpec;
  return kQOXErrNoErr;
}

QOXError PFLGetFullPathFromFileSpec(const PFLFileSpec* fileSpec, char** outPath) {
  if (outPath == nullptr) return kQOXErrBadParams;
  *outPath = nullptr;
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->type != kPFLFileSpecType_FullPath || fileSpec->data == nullptr)
    return kQOXErrBadParams;
  size_t n = std::strlen(PathOf(fileSpec)) + 1;
  auto* copy = static_cast<char*>(QOXNewData(fileSpec->memoryMgr, n, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, fileSpec->data, n);
  *outPath = copy;
  return kQOXErrNoErr;
}

QOXError PFLCopyFileSpec(const PFLFileSpec* fileSpec, PFLFileSpec** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  PFLFileSpec* copy = nullptr;
  QOXError err = qoxNewFileSpec(fileSpec->memoryMgr, fileSpec->type, fileSpec->dataSize, &copy);
  if (err != kQOXErrNoErr) return err;
  if (fileSpec->dataSize > 0 && fileSpec->data != nullptr) std::memcpy(copy->data, fileSpec->data, fileSpec->dataSize);
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError PFLFreeFileSpec(PFLFileSpec* fileSpec) {
  if (!pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  if (fileSpec->data != nullptr) QOXFreeData(fileSpec->data);
  fileSpec->magic = 0;
  QOXFreeData(fileSpec);
  return kQOXErrNoErr;
}

QOXMemoryMgr* PFLGetFileSpecMemoryMgr(const PFLFileSpec* fileSpec) {
  return pflFileSpecIsValid(fileSpec) ? fileSpec->memoryMgr : nullptr;
}

QOXError PFLExportFileSpec(const PFLFileSpec* fileSpec, uint8_t** outData, size_t* outSize) {
  if (outData != nullptr) *outData = nullptr;
  if (outSize != nullptr) *outSize = 0;
  if (outData == nullptr || outSize == nullptr || !pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr)
    return kQOXErrBadParams;
  uint8_t* bytes = nullptr;
  size_t size = 0;
  QOXError err = fileSpec->vtbl->exportProc(fileSpec, &bytes, &size);
  if (err != kQOXErrNoErr) return err;
  void* block = bytes;
  err = QOXReallocData(fileSpec->memoryMgr, &block, size + 1, 0);
  if (err != kQOXErrNoErr) {
    QOXFreeData(bytes);
    return err;
  }
  bytes = static_cast<uint8_t*>(block);
  std::memmove(bytes + 1, bytes, size);
  bytes[0] = static_cast<uint8_t>(fileSpec->type & 0xFF);
  *outData = bytes;
  *outSize = size + 1;
  return kQOXErrNoErr;
}

QOXError PFLImportFileSpec(QOXMemoryMgr* mgr, const uint8_t* data, size_t size, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (data == nullptr || size == 0 || QOXValidateMemoryMgr(mgr) != kQOXErrNoErr) return kQOXErrBadParams;
  const PFLFileSpecVTBL* vtbl = qoxGetFileSpecVTBLForType(data[0]);
  if (vtbl == nullptr) return kQOXErrBadParams;
  ostrak::UniquePtr<PFLFileSpec> guard;
  QOXError err = qoxNewFileSpec(mgr, data[0], 0, ostrak::OutParam(guard));
  if (err != kQOXErrNoErr) return err;
  err = vtbl->importProc(guard.get(), data + 1, size - 1);
  if (err != kQOXErrNoErr) return err;
  *outSpec = guard.release();
  return kQOXErrNoErr;
}

bool PFLFileSpecsEqual(const PFLFileSpec* a, const PFLFileSpec* b) {
  if (a == nullptr || b == nullptr) return a == nullptr && b == nullptr;
  if (!pflFileSpecIsValid(a) || !pflFileSpecIsValid(b) || a->vtbl == nullptr) return false;
  if (a->type != b->type) return false;
  return a->vtbl->equalProc(a, b);
}

QOXError PFLGetFileSpecName(const PFLFileSpec* fileSpec, char** outName) {
  if (outName == nullptr) return kQOXErrBadParams;
  *outName = nullptr;
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  char name[kPFLFileNameBufferSize];
  QOXError err = fileSpec->vtbl->getNameProc(fileSpec, name);
  if (err != kQOXErrNoErr) return err;
  size_t n = std::strlen(name) + 1;
  auto* copy = static_cast<char*>(QOXNewData(fileSpec->memoryMgr, n, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, name, n);
  *outName = copy;
  return kQOXErrNoErr;
}

QOXError PFLGetFileSpecNameBuffer(const PFLFileSpec* fileSpec, size_t bufferSize, char* buffer) {
  if (buffer == nullptr || bufferSize == 0) return kQOXErrBadParams;
  buffer[0] = '\0';
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  char name[kPFLFileNameBufferSize];
  QOXError err = fileSpec->vtbl->getNameProc(fileSpec, name);
  if (err != kQOXErrNoErr) return err;
  size_t n = std::strlen(name) + 1;
  if (n > bufferSize) return kQOXErrBufferTooSmall;
  std::memcpy(buffer, name, n);
  return kQOXErrNoErr;
}

QOXError PFLSetFileSpecName(PFLFileSpec* fileSpec, const char* name) {
  if (name == nullptr || !pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->setNameProc(fileSpec, name);
}

QOXError PFLSetFileSpecMetaInfo(PFLFileSpec* fileSpec, const void* info) {
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->setMetaInfoProc(fileSpec, info);
}

QOXError PFLFileSpecExists(const PFLFileSpec* fileSpec, bool* outExists) {
  if (outExists == nullptr) return kQOXErrBadParams;
  *outExists = false;
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->existsProc(fileSpec, outExists);
}

QOXError PFLFileSpecCreate(const PFLFileSpec* fileSpec) {
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->createProc(fileSpec);
}

QOXError PFLFileSpecDelete(const PFLFileSpec* fileSpec) {
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->deleteProc(fileSpec);
}

QOXError PFLFileSpecRename(PFLFileSpec* fileSpec, const char* newName) {
  if (newName == nullptr || !pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->renameProc(fileSpec, newName);
}

QOXError PFLGetMaxFileSpecNameLength(const PFLFileSpec* fileSpec, size_t* outLength) {
  if (outLength == nullptr) return kQOXErrBadParams;
  *outLength = 0;
  if (!pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  return fileSpec->vtbl->getMaxNameLengthProc(fileSpec, outLength);
}

QOXError PFLGetParentDirectory(const PFLFileSpec* fileSpec, PFLFileSpec** outParent) {
  if (outParent == nullptr || !pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  *outParent = nullptr;
  return fileSpec->vtbl->parentDirProc(fileSpec, outParent);
}

QOXError PFLComposeFileSpec(const PFLFileSpec* dir, const char* name, PFLFileSpec** outSpec) {
  if (name == nullptr || outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (!pflFileSpecIsValid(dir) || dir->vtbl == nullptr) return kQOXErrBadParams;
  return dir->vtbl->composeProc(dir, name, outSpec);
}

QOXError PFLExtendFileSpecName(PFLFileSpec* fileSpec, const char* suffix) {
  if (suffix == nullptr || !pflFileSpecIsValid(fileSpec) || fileSpec->vtbl == nullptr) return kQOXErrBadParams;
  size_t max = 0;
  QOXError err = PFLGetMaxFileSpecNameLength(fileSpec, &max);
  if (err != kQOXErrNoErr) return err;
  size_t suffixLength = std::strlen(suffix);
  if (suffixLength > max) return kQOXErrBadParams;
  char name[512];
  err = PFLGetFileSpecNameBuffer(fileSpec, sizeof name, name);
  if (err != kQOXErrNoErr) return err;
  std::string extended(name);
  if (extended.size() + suffixLength > max) extended.resize(max - suffixLength);
  extended += suffix;
  return PFLSetFileSpecName(fileSpec, extended.c_str());
}

QOXError PFLFileSpecGetUniqueSpec(const PFLFileSpec* fileSpec, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (!pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  ostrak::UniquePtr<PFLFileSpec> copy;
  QOXError err = PFLCopyFileSpec(fileSpec, ostrak::OutParam(copy));
  if (err != kQOXErrNoErr) return err;
  bool exists = false;
  err = PFLFileSpecExists(copy.get(), &exists);
  if (err != kQOXErrNoErr) return err;
  if (exists) {
    size_t max = 0;
    err = PFLGetMaxFileSpecNameLength(copy.get(), &max);
    if (err != kQOXErrNoErr) return err;
    char base[256];
    err = PFLGetFileSpecNameBuffer(copy.get(), sizeof base, base);
    if (err != kQOXErrNoErr) return err;
    size_t limit = max + 1 < 256 ? max + 1 : 256;
    for (int32_t n = 1; exists; ++n) {
      char numbered[256];
      err = QOXNewNumberFileName(base, "", n, limit, numbered);
      if (err != kQOXErrNoErr) return err;
      err = PFLSetFileSpecName(copy.get(), numbered);
      if (err != kQOXErrNoErr) return err;
      err = PFLFileSpecExists(copy.get(), &exists);
      if (err != kQOXErrNoErr) return err;
    }
  }
  *outSpec = copy.release();
  return kQOXErrNoErr;
}

QOXError PFLGetTempFileSpec(QOXMemoryMgr* mgr, const PFLFileSpec* fileSpec, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (fileSpec != nullptr && !pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  return qoxPlatformGetTempFileSpec(mgr, outSpec);
}

QOXError qoxPlatformGetTempFileSpec(QOXMemoryMgr* mgr, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  // The file is created here (mode 0600) rather than only named, so no other
  // process can take the name between naming and use.
  std::string path(P_tmpdir);
  if (path.empty() || path.back() != '/') path += '/';
  path += "ptmpXXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return kQOXErrFileOpError;
  close(fd);
  QOXError err = NewFullPathSpec(mgr, path, outSpec);
  if (err != kQOXErrNoErr) unlink(path.c_str());
  return err;
}

QOXError PFLGetFileInfo(const PFLFileSpec* fileSpec, PFLFileInfo* outInfo) {
  if (outInfo == nullptr || !pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  *outInfo = PFLFileInfo{};
  return qoxPlatformGetFileInfo(fileSpec, outInfo);
}

QOXError qoxPlatformGetFileInfo(const PFLFileSpec* fileSpec, PFLFileInfo* outInfo) {
  if (fileSpec->type != kPFLFileSpecType_FullPath || fileSpec->data == nullptr) return kQOXErrBadParams;
  struct stat st;
  if (stat(PathOf(fileSpec), &st) != 0) return kQOXErrFileOpError;
  if (S_ISDIR(st.st_mode)) outInfo->flags |= kPFLFileInfo_IsDirectory;
  if (S_ISREG(st.st_mode)) {
    outInfo->flags |= kPFLFileInfo_IsPlainFile;
    outInfo->dataLength = static_cast<uint32_t>(st.st_size);
  }
  outInfo->modificationTime = static_cast<uint32_t>(st.st_mtime);
  return kQOXErrNoErr;
}

QOXError PFLNewDirectoryIter(const PFLFileSpec* fileSpec, PFLDirectoryIter** outIter) {
  if (outIter == nullptr || !pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;
  *outIter = nullptr;
  return qoxPlatformNewDirectoryIter(fileSpec, outIter);
}

QOXError qoxPlatformNewDirectoryIter(const PFLFileSpec* fileSpec, PFLDirectoryIter** outIter) {
  if (fileSpec->type != kPFLFileSpecType_FullPath || fileSpec->data == nullptr ||
      QOXValidateMemoryMgr(fileSpec->memoryMgr) != kQOXErrNoErr)
    return kQOXErrBadParams;
  auto* iter = static_cast<PFLDirectoryIter*>(
      QOXNewData(fileSpec->memoryMgr, sizeof(PFLDirectoryIter), kQOXMemoryMgrFlags_Clear));
  if (iter == nullptr) return kQOXErrOutOfMemory;
  iter->memoryMgr = fileSpec->memoryMgr;
  iter->dir = opendir(PathOf(fileSpec));
  if (iter->dir == nullptr) {
    QOXFreeData(iter);
    return kQOXErrFileOpError;
  }
  QOXError err = PFLCopyFileSpec(fileSpec, &iter->fileSpec);
  if (err != kQOXErrNoErr) {
    closedir(iter->dir);
    QOXFreeData(iter);
    return err;
  }
  *outIter = iter;
  return kQOXErrNoErr;
}

QOXError PFLNextFileInDirectory(PFLDirectoryIter* iter, PFLFileSpec** outSpec) {
  if (iter == nullptr || outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  errno = 0;
  struct dirent* entry = readdir(iter->dir);
  if (entry == nullptr) return errno == 0 ? kQOXErrEndOfIteration : kQOXErrFileOpError;
  return PFLComposeFileSpec(iter->fileSpec, entry->d_name, outSpec);
}

QOXError PFLFreeDirectoryIter(PFLDirectoryIter* iter) {
  if (iter == nullptr) return kQOXErrBadParams;
  QOXError err = closedir(iter->dir) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
  PFLFreeFileSpec(iter->fileSpec);
  QOXFreeData(iter);
  return err;
}

QOXError qoxPlatformOpenFileSpecAsFILE(const PFLFileSpec* fileSpec, const char* mode, FILE** outStream) {
  if (outStream == nullptr) return kQOXErrBadParams;
  *outStream = nullptr;
  if (!pflFileSpecIsValid(fileSpec) || mode == nullptr || fileSpec->type != kPFLFileSpecType_FullPath ||
      fileSpec->data == nullptr)
    return kQOXErrBadParams;
  FILE* f = std::fopen(PathOf(fileSpec), mode);
  if (f == nullptr) return qoxMapOpenErrno(errno, kQOXErrFileOpError);
  *outStream = f;
  return kQOXErrNoErr;
}

QOXError qoxMapOpenErrno(int err, QOXError otherwise) {
  switch (err) {
    case EACCES:
    case EROFS:
      return kQOXErrFilePermissions;
    case ENOENT:
      return kQOXErrFileNotFound;
    default:
      return otherwise;
  }
}

QOXError qoxMapLockErrno(int err) {
  switch (err) {
    case EACCES:
    case EAGAIN:
      return kQOXErrFileLocked;
    case ENOENT:
      return kQOXErrFileNotFound;
    default:
      return kQOXErrFileOpError;
  }
}

QOXError qoxPlatformLockFILE(FILE* stream, uint32_t flags) {
  if (stream == nullptr) return kQOXErrBadParams;
  struct flock lock {};
  lock.l_type = (flags & kPFLLockFILE_Write) != 0 ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;  // required for open-file-description locks
  if (fcntl(fileno(stream), F_OFD_SETLK, &lock) != 0) return qoxMapLockErrno(errno);
  return kQOXErrNoErr;
}

mode_t qoxFileTypeMask(uint32_t fileType) {
  switch (fileType) {
    case kQOXFileTypePublicKeyRing:
    case kQOXFileTypePrivateKeyRing:
    case kQOXFileTypeRandSeed:
      return 077;
    default:
      return 022;
  }
}

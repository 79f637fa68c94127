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
  PFLFileSpec* spec;  // copy of the directory's spec
};

namespace {

const char* PathOf(const PFLFileSpec* spec) { return reinterpret_cast<const char*>(spec->data); }

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

// Replaces the file spec's data by the given path (data block resized).
QOXError SetPath(PFLFileSpec* spec, const std::string& path) {
  void* block = spec->data;
  QOXError err = QOXReallocData(spec->memoryMgr, &block, path.size() + 1, 0);
  if (err != kQOXErrNoErr) return err;
  spec->data = static_cast<uint8_t*>(block);
  std::memcpy(spec->data, path.c_str(), path.size() + 1);
  spec->dataSize = static_cast<uint32_t>(path.size() + 1);
  return kQOXErrNoErr;
}

QOXError NewFullPathSpec(QOXMemoryMgr* mgr, const std::string& path, PFLFileSpec** out) {
  return PFLNewFileSpecFromFullPath(mgr, path.c_str(), out);
}

QOXError sExportProc(const PFLFileSpec* spec, uint8_t** outData, size_t* outSize) {
  *outData = nullptr;
  *outSize = 0;
  if (spec->data == nullptr) return kQOXErrBadParams;
  size_t n = std::strlen(PathOf(spec)) + 1;
  auto* copy = static_cast<uint8_t*>(QOXNewData(spec->memoryMgr, n, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, spec->data, n);
  *outData = copy;
  *outSize = n;
  return kQOXErrNoErr;
}

QOXError sImportProc(PFLFileSpec* spec, const uint8_t* data, size_t size) {
  if (size == 0 || data[size - 1] != 0) return kQOXErrBadParams;
  // The path ends at its first NUL; bytes after an inner NUL are not kept.
  return SetPath(spec, std::string(reinterpret_cast<const char*>(data)));
}

bool sEqualProc(const PFLFileSpec* a, const PFLFileSpec* b) {
  if (a->data == nullptr || b->data == nullptr) return a->data == b->data;
  if (std::strcmp(PathOf(a), PathOf(b)) == 0) return true;
  struct stat sa, sb;
  if (stat(PathOf(a), &sa) != 0 || stat(PathOf(b), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

QOXError sGetNameProc(const PFLFileSpec* spec, char name[kPFLFileNameBufferSize]) {
  if (spec->data == nullptr) return kQOXErrBadParams;
  const char* path = PathOf(spec);
  const char* leaf = path + DirPartLength(path);
  size_t n = std::strlen(leaf);
  if (n > kPFLFileNameBufferSize - 1) return kQOXErrBadParams;
  std::memcpy(name, leaf, n + 1);
  return kQOXErrNoErr;
}

QOXError sSetNameProc(PFLFileSpec* spec, const char* name) {
  if (spec->data == nullptr || name[0] == '\0') return kQOXErrBadParams;
  const char* path = PathOf(spec);
  std::string next(path, DirPartLength(path));
  next += name;
  return SetPath(spec, next);
}

QOXError sSetMetaInfoProc(PFLFileSpec*, const void*) { return kQOXErrNoErr; }

QOXError sExistsProc(const PFLFileSpec* spec, bool* outExists) {
  *outExists = false;
  if (spec->data == nullptr) return kQOXErrBadParams;
  errno = 0;
  FILE* f = std::fopen(PathOf(spec), "rb");
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

QOXError sCreateProc(const PFLFileSpec* spec) {
  if (spec->data == nullptr) return kQOXErrBadParams;
  int fd = open(PathOf(spec), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return kQOXErrFileOpError;
  close(fd);
  return kQOXErrNoErr;
}

QOXError sDeleteProc(const PFLFileSpec* spec) {
  if (spec->data == nullptr) return kQOXErrBadParams;
  return std::remove(PathOf(spec)) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
}

QOXError sRenameProc(PFLFileSpec* spec, const char* newName) {
  if (spec->data == nullptr || newName[0] == '\0') return kQOXErrBadParams;
  const char* oldPath = PathOf(spec);
  std::string next(oldPath, DirPartLength(oldPath));
  next += newName;
  // The new path goes into a block of its own, so the old one is still
  // there, unchanged, when the file system refuses the rename.
  auto* block = static_cast<uint8_t*>(QOXNewData(spec->memoryMgr, next.size() + 1, 0));
  if (block == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(block, next.c_str(), next.size() + 1);
  if (std::rename(oldPath, next.c_str()) != 0) {
    QOXFreeData(block);
    return kQOXErrFileOpError;
  }
  QOXFreeData(spec->data);
  spec->data = block;
  spec->dataSize = static_cast<uint32_t>(next.size() + 1);
  return kQOXErrNoErr;
}

QOXError sGetMaxNameLengthProc(const PFLFileSpec* spec, size_t* outLength) {
  *outLength = 0;
  if (spec->data == nullptr) return kQOXErrBadParams;
  *outLength = kPFLMaxFileNameLength;
  return kQOXErrNoErr;
}

QOXError sParentDirProc(const PFLFileSpec* spec, PFLFileSpec** outParent) {
  if (spec->data == nullptr) return kQOXErrBadParams;
  const char* path = PathOf(spec);
  size_t dir = DirPartLength(path);
  if (dir < 2) return kQOXErrFileNotFound;
  return NewFullPathSpec(spec->memoryMgr, std::string(path, dir - 1), outParent);
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

bool pflFileSpecIsValid(const PFLFileSpec* spec) {
  return spec != nullptr && spec->magic == kPFLFileSpecMagic;
}

QOXError qoxNewFileSpec(QOXMemoryMgr* mgr, uint32_t type, size_t dataSize, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  auto* spec = static_cast<PFLFileSpec*>(QOXNewData(mgr, sizeof(PFLFileSpec), kQOXMemoryMgrFlags_Clear));
  if (spec == nullptr) return kQOXErrOutOfMemory;
  if (dataSize > 0) {
    spec->data = static_cast<uint8_t*>(QOXNewData(mgr, dataSize, kQOXMemoryMgrFlags_Clear));
    if (spec->data == nullptr) {
      QOXFreeData(spec);
      return kQOXErrOutOfMemory;
    }
  }
  spec->magic = kPFLFileSpecMagic;
  spec->memoryMgr = mgr;
  spec->type = type;
  spec->dataSize = static_cast<uint32_t>(dataSize);
  spec->vtbl = qoxGetFileSpecVTBLForType(type);
  *outSpec = spec;
  return kQOXErrNoErr;
}

QOXError PFLNewFileSpecFromFullPath(QOXMemoryMgr* mgr, const char* path, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (path == nullptr) return kQOXErrBadParams;
  size_t n = std::strlen(path) + 1;
  PFLFileSpec* spec = nullptr;
  QOXError err = qoxNewFileSpec(mgr, kPFLFileSpecType_FullPath, n, &spec);
  if (err != kQOXErrNoErr) return err;
  std::memcpy(spec->data, path, n);
  *outSpec = spec;
  return kQOXErrNoErr;
}

QOXError PFLGetFullPathFromFileSpec(const PFLFileSpec* spec, char** outPath) {
  if (outPath == nullptr) return kQOXErrBadParams;
  *outPath = nullptr;
  if (!pflFileSpecIsValid(spec) || spec->type != kPFLFileSpecType_FullPath || spec->data == nullptr)
    return kQOXErrBadParams;
  size_t n = std::strlen(PathOf(spec)) + 1;
  auto* copy = static_cast<char*>(QOXNewData(spec->memoryMgr, n, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, spec->data, n);
  *outPath = copy;
  return kQOXErrNoErr;
}

QOXError PFLCopyFileSpec(const PFLFileSpec* spec, PFLFileSpec** outCopy) {
  if (outCopy == nullptr) return kQOXErrBadParams;
  *outCopy = nullptr;
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  PFLFileSpec* copy = nullptr;
  QOXError err = qoxNewFileSpec(spec->memoryMgr, spec->type, spec->dataSize, &copy);
  if (err != kQOXErrNoErr) return err;
  if (spec->dataSize > 0 && spec->data != nullptr) std::memcpy(copy->data, spec->data, spec->dataSize);
  *outCopy = copy;
  return kQOXErrNoErr;
}

QOXError PFLFreeFileSpec(PFLFileSpec* spec) {
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  if (spec->data != nullptr) QOXFreeData(spec->data);
  spec->magic = 0;
  QOXFreeData(spec);
  return kQOXErrNoErr;
}

QOXMemoryMgr* PFLGetFileSpecMemoryMgr(const PFLFileSpec* spec) {
  return pflFileSpecIsValid(spec) ? spec->memoryMgr : nullptr;
}

QOXError PFLExportFileSpec(const PFLFileSpec* spec, uint8_t** outData, size_t* outSize) {
  if (outData != nullptr) *outData = nullptr;
  if (outSize != nullptr) *outSize = 0;
  if (outData == nullptr || outSize == nullptr || !pflFileSpecIsValid(spec) || spec->vtbl == nullptr)
    return kQOXErrBadParams;
  uint8_t* bytes = nullptr;
  size_t size = 0;
  QOXError err = spec->vtbl->exportProc(spec, &bytes, &size);
  if (err != kQOXErrNoErr) return err;
  void* block = bytes;
  err = QOXReallocData(spec->memoryMgr, &block, size + 1, 0);
  if (err != kQOXErrNoErr) {
    QOXFreeData(bytes);
    return err;
  }
  bytes = static_cast<uint8_t*>(block);
  std::memmove(bytes + 1, bytes, size);
  bytes[0] = static_cast<uint8_t>(spec->type & 0xFF);
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

QOXError PFLGetFileSpecName(const PFLFileSpec* spec, char** outName) {
  if (outName == nullptr) return kQOXErrBadParams;
  *outName = nullptr;
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  char name[kPFLFileNameBufferSize];
  QOXError err = spec->vtbl->getNameProc(spec, name);
  if (err != kQOXErrNoErr) return err;
  size_t n = std::strlen(name) + 1;
  auto* copy = static_cast<char*>(QOXNewData(spec->memoryMgr, n, 0));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, name, n);
  *outName = copy;
  return kQOXErrNoErr;
}

QOXError PFLGetFileSpecNameBuffer(const PFLFileSpec* spec, size_t bufferSize, char* buffer) {
  if (buffer == nullptr || bufferSize == 0) return kQOXErrBadParams;
  buffer[0] = '\0';
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  char name[kPFLFileNameBufferSize];
  QOXError err = spec->vtbl->getNameProc(spec, name);
  if (err != kQOXErrNoErr) return err;
  size_t n = std::strlen(name) + 1;
  if (n > bufferSize) return kQOXErrBufferTooSmall;
  std::memcpy(buffer, name, n);
  return kQOXErrNoErr;
}

QOXError PFLSetFileSpecName(PFLFileSpec* spec, const char* name) {
  if (name == nullptr || !pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->setNameProc(spec, name);
}

QOXError PFLSetFileSpecMetaInfo(PFLFileSpec* spec, const void* info) {
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->setMetaInfoProc(spec, info);
}

QOXError PFLFileSpecExists(const PFLFileSpec* spec, bool* outExists) {
  if (outExists == nullptr) return kQOXErrBadParams;
  *outExists = false;
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->existsProc(spec, outExists);
}

QOXError PFLFileSpecCreate(const PFLFileSpec* spec) {
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->createProc(spec);
}

QOXError PFLFileSpecDelete(const PFLFileSpec* spec) {
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->deleteProc(spec);
}

QOXError PFLFileSpecRename(PFLFileSpec* spec, const char* newName) {
  if (newName == nullptr || !pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->renameProc(spec, newName);
}

QOXError PFLGetMaxFileSpecNameLength(const PFLFileSpec* spec, size_t* outLength) {
  if (outLength == nullptr) return kQOXErrBadParams;
  *outLength = 0;
  if (!pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  return spec->vtbl->getMaxNameLengthProc(spec, outLength);
}

QOXError PFLGetParentDirectory(const PFLFileSpec* spec, PFLFileSpec** outParent) {
  if (outParent == nullptr || !pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  *outParent = nullptr;
  return spec->vtbl->parentDirProc(spec, outParent);
}

QOXError PFLComposeFileSpec(const PFLFileSpec* dir, const char* name, PFLFileSpec** outSpec) {
  if (name == nullptr || outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (!pflFileSpecIsValid(dir) || dir->vtbl == nullptr) return kQOXErrBadParams;
  return dir->vtbl->composeProc(dir, name, outSpec);
}

QOXError PFLExtendFileSpecName(PFLFileSpec* spec, const char* suffix) {
  if (suffix == nullptr || !pflFileSpecIsValid(spec) || spec->vtbl == nullptr) return kQOXErrBadParams;
  size_t max = 0;
  QOXError err = PFLGetMaxFileSpecNameLength(spec, &max);
  if (err != kQOXErrNoErr) return err;
  size_t suffixLength = std::strlen(suffix);
  if (suffixLength > max) return kQOXErrBadParams;
  char name[512];
  err = PFLGetFileSpecNameBuffer(spec, sizeof name, name);
  if (err != kQOXErrNoErr) return err;
  std::string extended(name);
  if (extended.size() + suffixLength > max) extended.resize(max - suffixLength);
  extended += suffix;
  return PFLSetFileSpecName(spec, extended.c_str());
}

QOXError PFLFileSpecGetUniqueSpec(const PFLFileSpec* spec, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (!pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  ostrak::UniquePtr<PFLFileSpec> copy;
  QOXError err = PFLCopyFileSpec(spec, ostrak::OutParam(copy));
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

QOXError PFLGetTempFileSpec(QOXMemoryMgr* mgr, const PFLFileSpec* spec, PFLFileSpec** outSpec) {
  if (outSpec == nullptr) return kQOXErrBadParams;
  *outSpec = nullptr;
  if (spec != nullptr && !pflFileSpecIsValid(spec)) return kQOXErrBadParams;
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

QOXError PFLGetFileInfo(const PFLFileSpec* spec, PFLFileInfo* outInfo) {
  if (outInfo == nullptr || !pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  *outInfo = PFLFileInfo{};
  return qoxPlatformGetFileInfo(spec, outInfo);
}

QOXError qoxPlatformGetFileInfo(const PFLFileSpec* spec, PFLFileInfo* outInfo) {
  if (spec->type != kPFLFileSpecType_FullPath || spec->data == nullptr) return kQOXErrBadParams;
  struct stat st;
  if (stat(PathOf(spec), &st) != 0) return kQOXErrFileOpError;
  if (S_ISDIR(st.st_mode)) outInfo->flags |= kPFLFileInfo_IsDirectory;
  if (S_ISREG(st.st_mode)) {
    outInfo->flags |= kPFLFileInfo_IsPlainFile;
    outInfo->dataLength = static_cast<uint32_t>(st.st_size);
  }
  outInfo->modificationTime = static_cast<uint32_t>(st.st_mtime);
  return kQOXErrNoErr;
}

QOXError PFLNewDirectoryIter(const PFLFileSpec* spec, PFLDirectoryIter** outIter) {
  if (outIter == nullptr || !pflFileSpecIsValid(spec)) return kQOXErrBadParams;
  *outIter = nullptr;
  return qoxPlatformNewDirectoryIter(spec, outIter);
}

QOXError qoxPlatformNewDirectoryIter(const PFLFileSpec* spec, PFLDirectoryIter** outIter) {
  if (spec->type != kPFLFileSpecType_FullPath || spec->data == nullptr ||
      QOXValidateMemoryMgr(spec->memoryMgr) != kQOXErrNoErr)
    return kQOXErrBadParams;
  auto* iter = static_cast<PFLDirectoryIter*>(
      QOXNewData(spec->memoryMgr, sizeof(PFLDirectoryIter), kQOXMemoryMgrFlags_Clear));
  if (iter == nullptr) return kQOXErrOutOfMemory;
  iter->memoryMgr = spec->memoryMgr;
  iter->dir = opendir(PathOf(spec));
  if (iter->dir == nullptr) {
    QOXFreeData(iter);
    return kQOXErrFileOpError;
  }
  QOXError err = PFLCopyFileSpec(spec, &iter->spec);
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
  return PFLComposeFileSpec(iter->spec, entry->d_name, outSpec);
}

QOXError PFLFreeDirectoryIter(PFLDirectoryIter* iter) {
  if (iter == nullptr) return kQOXErrBadParams;
  QOXError err = closedir(iter->dir) == 0 ? kQOXErrNoErr : kQOXErrFileOpError;
  PFLFreeFileSpec(iter->spec);
  QOXFreeData(iter);
  return err;
}

QOXError qoxPlatformOpenFileSpecAsFILE(const PFLFileSpec* spec, const char* mode, FILE** outStream) {
  if (outStream == nullptr) return kQOXErrBadParams;
  *outStream = nullptr;
  if (!pflFileSpecIsValid(spec) || mode == nullptr || spec->type != kPFLFileSpecType_FullPath ||
      spec->data == nullptr)
    return kQOXErrBadParams;
  FILE* f = std::fopen(PathOf(spec), mode);
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

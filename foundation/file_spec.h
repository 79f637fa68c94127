// File specifications: a typed name of a file, independent of how it is
// opened, plus the foundation's file services built on it (stdio streams and
// their locks, file information, temporary files, directory walks).
//
// A PFLFileSpec is one cleared block of its memory manager. The only type in
// use is 14 (kPFLFileSpecType_FullPath): its data is the NUL-terminated full
// path on a POSIX file system. Each type has a table of thirteen operations
// (PFLFileSpecVTBL); the public PFL... calls check the object and dispatch.
//
// Exported form (as callers store it): one byte, the low byte of the type,
// then the type's exported data -- for type 14 the path and its NUL.
//
// File-type permission classes: callers that create files name a file type
// (the key rings 2 and 3, the random seed file kQOXFileTypeRandSeed, ...).
// qoxFileTypeMask gives the permission bits masked off for that type; it is
// applied through the mode given to open(2), never by changing the process
// umask, which would race with other threads.
//
// Thread safety: a spec and a directory iterator belong to one thread. The
// operation table is a constant. Locks taken with qoxPlatformLockFILE are
// open-file-description locks: they conflict between two opens of the same
// file, also inside one process, and end when that stream is closed.
#ifndef OSTRAK_FOUNDATION_FILE_SPEC_H_
#define OSTRAK_FOUNDATION_FILE_SPEC_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/scoped.h"

inline constexpr uint32_t kPFLFileSpecMagic = 0x251DEA9B;
inline constexpr uint32_t kPFLFileSpecType_FullPath = 14;
inline constexpr char kDirectorySeparators[] = "/";

// Longest name component for type 14, and the size of a name buffer that
// always holds one with its NUL.
inline constexpr size_t kPFLMaxFileNameLength = 255;
inline constexpr size_t kPFLFileNameBufferSize = 257;

// File types that select a permission class (see qoxFileTypeMask).
inline constexpr uint32_t kQOXFileTypePublicKeyRing = 2;
inline constexpr uint32_t kQOXFileTypePrivateKeyRing = 3;
inline constexpr uint32_t kQOXFileTypeRandSeed = 13;

struct PFLFileSpec;

// The thirteen operations of a spec type, in table order.
struct PFLFileSpecVTBL {
  QOXError (*exportProc)(const PFLFileSpec* spec, uint8_t** outData, size_t* outSize);
  QOXError (*importProc)(PFLFileSpec* spec, const uint8_t* data, size_t size);
  bool (*equalProc)(const PFLFileSpec* a, const PFLFileSpec* b);
  QOXError (*getNameProc)(const PFLFileSpec* spec, char name[kPFLFileNameBufferSize]);
  QOXError (*setNameProc)(PFLFileSpec* spec, const char* name);
  QOXError (*setMetaInfoProc)(PFLFileSpec* spec, const void* info);
  QOXError (*existsProc)(const PFLFileSpec* spec, bool* outExists);
  QOXError (*createProc)(const PFLFileSpec* spec);
  QOXError (*deleteProc)(const PFLFileSpec* spec);
  QOXError (*renameProc)(PFLFileSpec* spec, const char* newName);
  QOXError (*getMaxNameLengthProc)(const PFLFileSpec* spec, size_t* outLength);
  QOXError (*parentDirProc)(const PFLFileSpec* spec, PFLFileSpec** outParent);
  QOXError (*composeProc)(const PFLFileSpec* dir, const char* name, PFLFileSpec** outSpec);
};

struct PFLFileSpec {
  uint32_t magic;              // kPFLFileSpecMagic while live
  QOXMemoryMgr* memoryMgr;     // owns the object and its data
  uint32_t type;               // 14 = full path
  uint32_t dataSize;           // bytes of data (path plus NUL)
  const PFLFileSpecVTBL* vtbl;  // the type's table, or null
  uint8_t* data;               // for type 14 the path
};

// File information record.
inline constexpr uint32_t kPFLFileInfo_IsDirectory = 1;
inline constexpr uint32_t kPFLFileInfo_IsPlainFile = 2;
struct PFLFileInfo {
  uint32_t flags;
  uint32_t dataLength;        // regular files only, else 0
  uint32_t modificationTime;  // seconds since 1970
};

struct PFLDirectoryIter;  // opaque

// --- Objects ---
QOXError qoxNewFileSpec(QOXMemoryMgr* mgr, uint32_t type, size_t dataSize, PFLFileSpec** outSpec);
QOXError PFLNewFileSpecFromFullPath(QOXMemoryMgr* mgr, const char* path, PFLFileSpec** outSpec);
// The path in a new block of the file spec's manager (free with QOXFreeData).
QOXError PFLGetFullPathFromFileSpec(const PFLFileSpec* spec, char** outPath);
QOXError PFLCopyFileSpec(const PFLFileSpec* spec, PFLFileSpec** outCopy);
QOXError PFLFreeFileSpec(PFLFileSpec* spec);
QOXMemoryMgr* PFLGetFileSpecMemoryMgr(const PFLFileSpec* spec);
bool pflFileSpecIsValid(const PFLFileSpec* spec);
const PFLFileSpecVTBL* GetFileSpecVTBLStd();
const PFLFileSpecVTBL* qoxGetFileSpecVTBLForType(uint32_t type);

// Exported bytes in a new block of the file spec's manager.
QOXError PFLExportFileSpec(const PFLFileSpec* spec, uint8_t** outData, size_t* outSize);
QOXError PFLImportFileSpec(QOXMemoryMgr* mgr, const uint8_t* data, size_t size,
                           PFLFileSpec** outSpec);
bool PFLFileSpecsEqual(const PFLFileSpec* a, const PFLFileSpec* b);

QOXError PFLGetFileSpecName(const PFLFileSpec* spec, char** outName);
QOXError PFLGetFileSpecNameBuffer(const PFLFileSpec* spec, size_t bufferSize, char* buffer);
QOXError PFLSetFileSpecName(PFLFileSpec* spec, const char* name);
QOXError PFLSetFileSpecMetaInfo(PFLFileSpec* spec, const void* info);
QOXError PFLFileSpecExists(const PFLFileSpec* spec, bool* outExists);
QOXError PFLFileSpecCreate(const PFLFileSpec* spec);
QOXError PFLFileSpecDelete(const PFLFileSpec* spec);
QOXError PFLFileSpecRename(PFLFileSpec* spec, const char* newName);
QOXError PFLGetMaxFileSpecNameLength(const PFLFileSpec* spec, size_t* outLength);
QOXError PFLGetParentDirectory(const PFLFileSpec* spec, PFLFileSpec** outParent);
QOXError PFLComposeFileSpec(const PFLFileSpec* dir, const char* name, PFLFileSpec** outSpec);
QOXError PFLExtendFileSpecName(PFLFileSpec* spec, const char* suffix);
// A copy of spec naming a file that does not exist yet (name, name1, name2...).
QOXError PFLFileSpecGetUniqueSpec(const PFLFileSpec* spec, PFLFileSpec** outSpec);

// --- Platform services ---
// Creates a new empty temporary file (mode 0600) and returns its spec. The
// caller deletes and frees it. spec, when given, must be valid; it is unused.
QOXError PFLGetTempFileSpec(QOXMemoryMgr* mgr, const PFLFileSpec* spec, PFLFileSpec** outSpec);
QOXError qoxPlatformGetTempFileSpec(QOXMemoryMgr* mgr, PFLFileSpec** outSpec);
QOXError PFLGetFileInfo(const PFLFileSpec* spec, PFLFileInfo* outInfo);
QOXError qoxPlatformGetFileInfo(const PFLFileSpec* spec, PFLFileInfo* outInfo);
QOXError PFLNewDirectoryIter(const PFLFileSpec* spec, PFLDirectoryIter** outIter);
QOXError qoxPlatformNewDirectoryIter(const PFLFileSpec* spec, PFLDirectoryIter** outIter);
QOXError PFLNextFileInDirectory(PFLDirectoryIter* iter, PFLFileSpec** outSpec);
QOXError PFLFreeDirectoryIter(PFLDirectoryIter* iter);

// Opens the named file with a stdio mode string ("rb", "r+b", ...).
QOXError qoxPlatformOpenFileSpecAsFILE(const PFLFileSpec* spec, const char* mode, FILE** outStream);
// Non-blocking lock of the whole file: bit 0 of flags asks for a write lock,
// otherwise a read lock.
inline constexpr uint32_t kPFLLockFILE_Write = 1;
QOXError qoxPlatformLockFILE(FILE* stream, uint32_t flags);
// Maps an errno of a failed lock to the toolkit's code.
QOXError qoxMapLockErrno(int err);
// Maps an errno of a failed open: permission denied or a read-only file
// system kQOXErrFilePermissions, no such file kQOXErrFileNotFound, anything else the given code.
QOXError qoxMapOpenErrno(int err, QOXError otherwise);

// Permission bits masked off files of the given type: 077 for the key rings
// and the random seed file, 022 for every other type.
mode_t qoxFileTypeMask(uint32_t fileType);

OSTRAK_DEFINE_DELETER(PFLFileSpec, PFLFreeFileSpec)
OSTRAK_DEFINE_DELETER(PFLDirectoryIter, PFLFreeDirectoryIter)

#endif  // OSTRAK_FOUNDATION_FILE_SPEC_H_

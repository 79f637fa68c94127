// QOXFile: the toolkit's small stream object, source and sink of the message
// pipeline and of key-ring reading and writing. Two kinds share one table of
// twelve operations: over a stdio stream, and over a memory IO object.
//
// Around it lie the file-reference calls that open, create, size and rename
// files named by file specs, and the temporary-file maker. Files are created
// with the permission class of their file type (foundation/file_spec.h,
// qoxFileTypeMask), applied through open(2)'s mode.
//
// A stdio file's mode flags (kQOXFileFlag_...) say what it may do and how its
// stream is closed. Errors of a stdio file are recorded in its error record
// and shown by the error operation until clearError.
//
// Thread safety: a file belongs to one thread at a time.
#ifndef OSTRAK_FOUNDATION_FILE_H_
#define OSTRAK_FOUNDATION_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/errors.h"
#include "foundation/file_spec.h"
#include "foundation/io.h"

struct QOXContext;
struct QOXCFBContext;
struct QOXPipeModule;
struct QOXFile;

struct QOXFileError {
  QOXFile* file;
  QOXFileOffset position;
  QOXError error;
  int systemError;  // errno, 0 when none
};

struct QOXFile {
  QOXContext* context;
  uint32_t reserved;  // 0 at creation
  void* priv;         // the kind's private record
  size_t (*read)(void* buffer, size_t count, QOXFile* file);
  size_t (*write)(const void* buffer, size_t count, QOXFile* file);
  QOXError (*flush)(QOXFile* file);
  QOXError (*close)(QOXFile* file);
  QOXFileOffset (*tell)(QOXFile* file);
  QOXError (*seek)(QOXFile* file, QOXFileOffset offset, int whence);
  bool (*eof)(QOXFile* file);
  QOXFileOffset (*sizeAdvise)(QOXFile* file);  // negative: unknown
  const QOXFileError* (*error)(QOXFile* file);
  void (*clearError)(QOXFile* file);
  QOXError (*write2read)(QOXFile* file);
  QOXCFBContext* (*cfb)(QOXFile* file);  // a copy, or null
};

// Mode flags of a stdio file.
inline constexpr uint32_t kQOXFileFlag_Read = 1;
inline constexpr uint32_t kQOXFileFlag_Write = 2;
inline constexpr uint32_t kQOXFileFlag_FClose = 4;
inline constexpr uint32_t kQOXFileFlag_ProcClose = 8;
inline constexpr uint32_t kQOXFileFlag_NeverClose = 16;

// Closes the stream of a procedure-closed file; non-zero means failure.
using QOXFileCloseProc = int (*)(FILE* stream, void* arg);

// Private record of a stdio file. cfb stays null for the files the toolkit
// makes (the message pipeline's file FIFO keeps its own CFB contexts over a
// plain stream); a cfb that is set is freed at close.
struct QOXStdioFilePrivate {
  QOXFileCloseProc closeProc;
  void* closeArg;
  QOXFileError err;
  QOXCFBContext* cfb;
  FILE* stream;
  QOXError errorWord;
  uint32_t flags;
  QOXFileOffset sizeAdvise;  // size of a regular file, else -1
};

// --- Stdio files; null when memory runs out ---
QOXFile* qoxFileReadOpen(QOXContext* context, FILE* stream);   // read, fclose
QOXFile* qoxFileWriteOpen(QOXContext* context, FILE* stream);  // write, fclose
QOXFile* qoxFileProcWriteOpen(QOXContext* context, FILE* stream, QOXFileCloseProc proc, void* arg);
QOXFile* qoxFileWriteOpenDontClose(QOXContext* context, FILE* stream);

// --- Memory file over a new memory IO object, holding a copy of data ---
QOXFile* qoxFileMemOpen(QOXContext* context, const void* data, size_t length);

// --- File references ---
// Open flags: the low five bits choose the stdio mode (1 "r", 3 "r+", 22 "a",
// 23 "a+", 26 "w", 27 "w+"), bit 32 asks for text mode (no "b"), bit 1024
// for a non-blocking whole-file lock (exclusive when the mode writes).
inline constexpr uint16_t kQOXOpenFlag_ModeMask = 0x1F;
inline constexpr uint16_t kQOXOpenFlag_Read = 1;
inline constexpr uint16_t kQOXOpenFlag_Write = 2;
inline constexpr uint16_t kQOXOpenFlag_Text = 32;
inline constexpr uint16_t kQOXOpenFlag_Lock = 1024;

QOXError qoxFileRefStdIOOpen(const PFLFileSpec* spec, uint16_t openFlags, uint32_t fileType,
                             FILE** outStream);
// A read file (mode with the read bit only) or a write file (write bit
// only); a mode with both bits is refused with -12000.
QOXFile* qoxFileRefOpen(QOXContext* context, const PFLFileSpec* spec, uint16_t openFlags,
                        uint32_t fileType, QOXError* outError);
// A file read pump of the message pipeline over the file opened for
// reading; the pump owns the file and closes it when it is destroyed. Null
// with the open's error, or kQOXErrOutOfMemory when no pump can be made (the file is
// closed again).
QOXPipeModule* qoxFileRefReadCreate(QOXContext* context, const PFLFileSpec* spec, uint16_t openFlags,
                                    QOXError* outError, uint32_t* outWord);
// A new temporary file "ptmpXXXXXX" opened "w+b" in the directory of string
// setting 2012, else $TMP, else "/tmp/"; its spec goes to *outSpec (the
// caller deletes and frees it).
FILE* qoxStdIOOpenTempFile(QOXContext* context, PFLFileSpec** outSpec, QOXError* outError);
QOXError qoxCreateFile(const PFLFileSpec* spec, uint32_t fileType);
QOXError qoxCalcFileSize(const PFLFileSpec* spec, QOXFileOffset* outSize);
QOXError qoxRenameFile(const PFLFileSpec* spec, const PFLFileSpec* newNameSpec);
QOXError qoxStdIOClose(FILE* stream);

QOXMemoryMgr* qoxGetFileRefMemoryMgr(const PFLFileSpec* spec);
uint8_t* qoxExportFileRef(const PFLFileSpec* spec, size_t* outSize);  // null on failure
QOXError qoxImportFileRef(QOXContext* context, const uint8_t* data, size_t size, PFLFileSpec** outSpec);
char* qoxGetFileRefName(const PFLFileSpec* spec);  // null on failure; free with QOXFreeData
QOXError qoxSetFileRefName(PFLFileSpec* spec, const char* name);

#endif  // OSTRAK_FOUNDATION_FILE_H_

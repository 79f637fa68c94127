// Public wrappers over file specifications (foundation/file_spec.h): each
// checks its arguments, passes the entry gate, then does the file-reference
// operation.
//
// Thread safety: a fileSpec belongs to one thread.
#ifndef OSTRAK_FOUNDATION_CORE_FILE_SPEC_API_H_
#define OSTRAK_FOUNDATION_CORE_FILE_SPEC_API_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct PFLFileSpec;

// A full-path fileSpec in the context's memory manager. -12000 for a null out or
// an invalid context; the gate's error.
QOXError QOXNewFileSpecFromFullPath(QOXContext* context, const char* path, PFLFileSpec** outSpec);
// The path in a new block of the file reference's manager (free it with QOXFreeData).
// -12000 for a null out or an invalid fileSpec; the gate's error; kQOXErrOutOfMemory when the
// copy cannot be made. *outPath is null on every failure.
QOXError QOXGetFullPathFromFileSpec(const PFLFileSpec* fileSpec, char** outPath);
// -12000 for an invalid fileSpec (or a null out / null name); the gate's error.
QOXError QOXCopyFileSpec(const PFLFileSpec* fileSpec, PFLFileSpec** outCopy);
QOXError QOXFreeFileSpec(PFLFileSpec* fileSpec);
QOXError QOXRenameFile(PFLFileSpec* fileSpec, const char* newName);
QOXError QOXDeleteFile(const PFLFileSpec* fileSpec);
// Converts a MacBinary II file into a plain file beside it: the new fileSpec and
// the Mac type and creator codes. The outs are cleared first; -12000 for a
// null out fileSpec or an invalid fileSpec; the gate's error.
QOXError QOXMacBinaryToLocal(const PFLFileSpec* fileSpec, PFLFileSpec** outSpec, uint32_t* outType,
                             uint32_t* outCreator);

#endif  // OSTRAK_FOUNDATION_CORE_FILE_SPEC_API_H_

// File-name helpers: extensions and numbered variants of a name.
//
// A name's "extension" is the text after its last '.', when that dot is not
// the name's first character and at most 3 characters follow it ("a.txt" has
// one; ".profile" and "a.text" have none). The "extension part" is the dot
// and its extension, or nothing.
//
// Thread safety: pure functions.
#ifndef OSTRAK_FOUNDATION_FILE_NAME_H_
#define OSTRAK_FOUNDATION_FILE_NAME_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

// Pointer just past the extension's dot, or null when there is none.
const char* QOXGetFileNameExtension(const char* name);
// Pointer to the extension's dot, or to the name's terminating NUL.
const char* QOXGetEndOfBaseFileName(const char* name);

// Writes name part + separator + number + extension part into outName,
// shortening the name part, then the separator, then the extension until the
// result and its NUL fit in outSize bytes. -12000 for null arguments, for an
// outName that is the base name itself, or for outSize below 13 (so that the
// number alone always fits).
QOXError QOXNewNumberFileName(const char* baseName, const char* separator, int32_t number,
                              size_t outSize, char* outName);

// Tells whether candidate is a name that QOXNewNumberFileName could have made
// from baseName and separator for an output of sizeLimit bytes; on a match
// *outIsMatch is 1 and *outNumber the number, else 0 and -1. A digit run that
// does not fit a signed 32-bit number is no match. Returns 0 (or -12000 for
// null arguments).
QOXError QOXVerifyNumberFileName(const char* baseName, const char* separator,
                                 const char* candidate, size_t sizeLimit, uint8_t* outIsMatch,
                                 int32_t* outNumber);

#endif  // OSTRAK_FOUNDATION_FILE_NAME_H_

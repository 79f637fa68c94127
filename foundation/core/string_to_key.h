// String-to-key specifiers: the makers, the parser and the count byte.
// The specifier object, its kinds and its two operations are in
// foundation/string_to_key_services.h.
//
// Thread safety: a specifier may be used by one thread at a time.
#ifndef OSTRAK_FOUNDATION_CORE_STRING_TO_KEY_H_
#define OSTRAK_FOUNDATION_CORE_STRING_TO_KEY_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/string_to_key_services.h"

// Kind 0, 1 or 3 with SHA-1 (salts from the random source, 32768 requested
// for kind 3), or 4 or 5; null for any other kind or when memory runs out.
QOXStringToKey* qoxS2Kcreate(QOXContext* context, QOXRandomContext* rc, int kind);
// Iterated and salted SHA-1 with 32768 requested bytes.
QOXStringToKey* qoxS2Kdefault(QOXContext* context, QOXRandomContext* rc);
// Simple MD5, the version-3 key form.
QOXStringToKey* qoxS2KdefaultV3(QOXContext* context);
bool qoxS2KisOldVers(const QOXStringToKey* s2k);

QOXStringToKey* qoxS2Ksimple(QOXContext* context, const QOXHashVTBL* hash);
QOXStringToKey* qoxS2Ksalted(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* salt);
QOXStringToKey* qoxS2Kitersalt(QOXContext* context, const QOXHashVTBL* hash, const uint8_t* salt,
                               uint32_t requestedBytes);
QOXStringToKey* qoxS2Kliteral(QOXContext* context);
QOXStringToKey* qoxS2KliteralShared(QOXContext* context);

// The count byte that encodes a requested byte count.
uint8_t qoxS2KCountByte(uint32_t requestedBytes);
// The number of bytes a count byte stands for.
uint32_t qoxS2KDecodeCount(uint8_t countByte);

// Parses a specifier from bytes: returns the bytes it occupies (2, 10, 11
// or 1) or a negative error (-12000 truncated, kQOXErrUnknownKeyString unknown kind, kQOXErrUnknownHashNumber
// unknown hash, kQOXErrOutOfMemory memory). With a null out it only measures.
int32_t qoxS2Kdecode(QOXStringToKey** out, QOXContext* context, const uint8_t* bytes, size_t length);

#endif  // OSTRAK_FOUNDATION_CORE_STRING_TO_KEY_H_

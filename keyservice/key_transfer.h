// Moving keys between key databases and toolkit contexts: key blocks out
// of a key set, keys of one context's database copied into another
// context's, an armored key block into a key database, and the server's two
// key rings opened as one key database.
//
// A key database belongs to one context and is used by one thread at a
// time; keys cross contexts only as key blocks (exported in the source
// context, imported in the target), so no key object is shared.
//
// Thread safety: each call works in the contexts it is given; the caller
// keeps each context to one thread at a time.
#ifndef OSTRAK_KEYSERVICE_KEY_TRANSFER_H_
#define OSTRAK_KEYSERVICE_KEY_TRANSFER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;

// Export formats of ConvertKeySet2KeyBlock.
inline constexpr int32_t kExportFormatBasic = 1;
inline constexpr int32_t kExportFormatComplete = 255;

// The set's keys as one ASCII-armored key block (with their secret parts
// when exportPrivate). 0, or the toolkit's code with the block emptied and
// "ASCII-armoring keyset failed. Library error: %s" logged.
QOXError ConvertKeySet2KeyBlock(QOXContext* context, QOXKeySet* set, bool exportPrivate, int32_t format,
                                std::string* block);

// Copies every key of sourceDB (a database of the source context; secret
// parts too when includePrivate) into *destDB, a database of dest that is
// made first when *destDB is null (and freed again, *destDB null, on
// failure). 0, or the code with "Internal key set operation failed with
// error %d (%s)" logged.
QOXError TransferKeys(QOXContext* source, QOXContext* dest, QOXKeyDB* sourceDB, int includePrivate,
                      QOXKeyDB** destDB);

// Imports an armored (or binary) key block into *keyDB, made in the context
// when null; the same results and message as TransferKeys.
QOXError TransferKeysFromAAKeyBlock(QOXContext* context, const uint8_t* data, size_t length, QOXKeyDB** keyDB);

// Opens the public and secret key rings (full paths) as one read-only key
// database. Either path missing: "No public keyring file specified." or
// "No private keyring file specified." (level 1), 0 and no database.
// Failures are logged ("Opening public keyring (%s) failed ...", the
// private ring's or the pair's message) and their code returned.
QOXError GetKeyDBFromKeyRings(QOXContext* context, const char* publicRing, const char* privateRing,
                              QOXKeyDB** keyDB);

#endif  // OSTRAK_KEYSERVICE_KEY_TRANSFER_H_

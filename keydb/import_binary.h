// A buffer of binary key packets made into a key database: the door through
// which the message decoder's key output and the X.509 bridge hand keys to
// the key database, and so the maker of every front end the daemon sees.
//
// qoxImportKeyBinary has the back end read the buffer into a database of its
// own (qoxImportKeyBinary_back, keydb/key_db_back.h) and makes a front end
// over it from the returned key array (keydb/front_end.h); the back end's
// work is qoxImportKeyBinary_internal, which reads the packets with the ring
// reader, untrusted (trust packets ignored), into a new back-end database.
//
// Ownership: the caller's buffer stays the caller's (the reader works on a
// copy). The database handed out has one reference (QOXFreeKeyDB); a front
// end's release also releases its back end.
//
// Thread safety: as the databases (one context's thread at a time).
#ifndef OSTRAK_KEYDB_IMPORT_BINARY_H_
#define OSTRAK_KEYDB_IMPORT_BINARY_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;

// A front-end database over the keys of the buffer. kQOXErrBadParams for a
// null out-parameter (else cleared), an invalid context or a null buffer
// with a length; kQOXErrOutOfMemory; the reader's errors (an unparsable
// packet is skipped, a damaged stream ends the reading with what was read).
// Nothing is left made on failure.
QOXError qoxImportKeyBinary(QOXContext* context, const uint8_t* buffer, size_t length, QOXKeyDB** outKeyDB);
// The back end's work: a new back-end database read from the buffer
// (qoxCreateKeyDBFromMemory, keydb/key_db.h). Same errors.
QOXError qoxImportKeyBinary_internal(QOXContext* context, const uint8_t* buffer, size_t length,
                                     QOXKeyDB** outKeyDB);

#endif  // OSTRAK_KEYDB_IMPORT_BINARY_H_

// The key database's door to the outside: a pair of key-ring files opened
// as a key database and brought up to date, keys imported from native or
// X.509 input, and key sets exported as RFC 2440 key blocks or X.509
// objects.
//
// Opening (QOXOpenKeyDBFile): the rings are opened through
// keydb/ring_files.h; when a key carries a key revocation that was never
// tried, the signatures are checked, and trust is recalculated when they
// were or when some object expired since the public ring was last written.
//
// Import (qoxImportKeySetInternal): native input runs the message decoder
// with a new database as the place for its keys (QOXDecode); X.509 input
// (input formats 10000 and up, or the X.509-encoding option) is read whole
// and handed to the X.509 bridge (keydb/x509_services.h). Export
// (qoxExportInternal, qoxExportKeySetInternal): key blocks are written into
// memory and encoded by the message encoder (QOXEncode), armored unless the
// caller says otherwise; a private-key export is followed by the public
// block. Export formats 10000 and up produce X.509 objects through the
// bridge. Reading input and writing output whole go through the pipeline's
// buffer calls (foundation/pipeline_services.h).
//
// Ownership: an option list handed to an import is consumed on every path;
// an export leaves the caller's list to the caller. Databases handed out
// have one reference.
//
// Thread safety: as the databases (one context's thread at a time).
#ifndef OSTRAK_KEYDB_KEY_FILES_H_
#define OSTRAK_KEYDB_KEY_FILES_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct PFLFileSpec;
struct QOXContext;
struct QOXFile;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// kQOXErrBadParams for a null out-parameter (else cleared), an invalid context or
// file spec (the private one only when given); the entry gate; then the
// open (through the back end and a front end over it when the
// key-database service link is on). Open flags: kQOXKeyDBOpen_...
QOXError QOXOpenKeyDBFile(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                          const PFLFileSpec* privateSpec, QOXKeyDB** outKeyDB);
// The in-process open; on failure nothing is left made.
QOXError qoxOpenKeyDBFile_internal(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                                   const PFLFileSpec* privateSpec, QOXKeyDB** outKeyDB);

#endif  // OSTRAK_KEYDB_KEY_FILES_H_

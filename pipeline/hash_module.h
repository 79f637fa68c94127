// The hash module ("Hash Module"): hashes the bytes that pass through it.
//
// Write offers the bytes to the tail first and hashes exactly the bytes the
// tail took, so a tail that takes part of a write leaves the hash where the
// data stands. Flush, annotations and advices go to the tail unchanged.
//
// Ownership: the hash context stays with its owner (usually a QOXHashList);
// the module only feeds it. Teardown tears the tail down.
#ifndef OSTRAK_PIPELINE_HASH_MODULE_H_
#define OSTRAK_PIPELINE_HASH_MODULE_H_

#include <cstdint>

#include "pipeline/pipeline.h"

struct QOXHashContext;
struct QOXHashList;

// A hash module at *slot (its tail: what the slot held); returns its tail
// slot, or null (null slot or hash, or memory).
QOXPipeline** qoxHashModCreate(QOXContext* context, QOXPipeline** slot, QOXHashContext* hash);

// One hash module per context of the list, in list order, chained at *slot;
// the last one's tail is what the slot held. Returns the last tail slot, or
// null: a failure tears the modules made so far down (what the slot held is
// kept and put back).
QOXPipeline** qoxHashModListCreate(QOXContext* context, QOXPipeline** slot, QOXHashList* list, uint32_t count);

// The hashing of signed data: a hash list for the algorithms of
// `algorithms` (count bytes, RFC 2440 hash numbers; unknown ones left out)
// and one hash module per hash at *slot, behind a text filter when charMap
// is given (line ends become CR LF, characters go through the map; blanks
// are kept). The chain's last tail is what the slot held. On success
// *outList owns the hashes (qoxHashListDestroy) and the caller writes the
// signed data into *slot; a list of unknown algorithms only is empty and
// makes no hash module. Errors: -12000 for a null slot or list out or no
// algorithm at all, -11999 when memory runs out (nothing is left behind,
// the slot keeps what it held).
QOXError qoxSigSetupPipeline(QOXContext* context, QOXPipeline** slot, QOXHashList** outList,
                             const uint8_t* algorithms, uint32_t count, const uint8_t* charMap);

#endif  // OSTRAK_PIPELINE_HASH_MODULE_H_

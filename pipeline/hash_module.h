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

#endif  // OSTRAK_PIPELINE_HASH_MODULE_H_

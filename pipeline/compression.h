// Compressed data packets (RFC 2440 section 5.6): the module that makes
// one, and the module that decompresses a packet's body by its algorithm
// byte.
#ifndef OSTRAK_PIPELINE_COMPRESSION_H_
#define OSTRAK_PIPELINE_COMPRESSION_H_

#include <cstdint>

#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;

// Compression algorithms (RFC 2440 section 9.3).
inline constexpr uint32_t kQOXCompressionZIP = 1;

// The compression module at *slot followed by an add-header module that
// wraps its output in a compressed data packet (tag 8, indeterminate length,
// the algorithm byte first); returns the add-header module's tail slot.
// Only algorithm 1 (ZIP) and levels 1-9 are made; otherwise, or when memory
// runs out, null, and the slot keeps what it held. version and fifoDesc go
// to the add-header module (pipeline/add_header.h). The engine:
// pipeline/deflate.h.
QOXPipeline** qoxCompressModCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                                   const QOXFifoDesc* fifoDesc, uint32_t algorithm, uint32_t level);

// What a job's inflate modules may still pass on, in total. A decode job
// that bounds its inflation keeps one in its private environment as pointer
// setting kQOXEnvInflateBudget (a setting nothing else uses).
struct QOXInflateBudget {
  uint64_t left;
};
inline constexpr int32_t kQOXEnvInflateBudget = 3006;

// The decompressing module for the algorithm at *slot; returns its tail
// slot; the budget in env (may be null), when there is one, bounds it. Only ZIP (raw deflate, pipeline/inflate.h) is known: another
// algorithm sets *error to -11391 and gives null; a module that cannot be
// made, -11999.
QOXPipeline** qoxDecompressModCreate(QOXContext* context, QOXPipeline** slot, uint32_t algorithm, QOXError* error,
                                     const QOXEnv* env = nullptr);

#endif  // OSTRAK_PIPELINE_COMPRESSION_H_

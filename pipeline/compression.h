// Compressed data packets (RFC 2440 section 5.6): the module that
// decompresses a packet's body by its algorithm byte.
#ifndef OSTRAK_PIPELINE_COMPRESSION_H_
#define OSTRAK_PIPELINE_COMPRESSION_H_

#include <cstdint>

#include "pipeline/pipeline.h"

// Compression algorithms (RFC 2440 section 9.3).
inline constexpr uint32_t kQOXCompressionZIP = 1;

// The decompressing module for the algorithm at *slot; returns its tail
// slot. Only ZIP (raw deflate, pipeline/inflate.h) is known: another
// algorithm sets *error to -11391 and gives null; a module that cannot be
// made, -11999.
QOXPipeline** qoxDecompressModCreate(QOXContext* context, QOXPipeline** slot, uint32_t algorithm, QOXError* error);

#endif  // OSTRAK_PIPELINE_COMPRESSION_H_

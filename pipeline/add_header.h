// The add-header module ("Add Header Module"): wraps everything written into
// it into one RFC 2440 packet (header per RFC 2440 section 4.2), and the
// literal module built on it ("Literal Module", tag 11, section 5.9).
//
// Message version 3 or lower: old-format header with an exact length. The
// body (the prefix first) waits in a FIFO until the first size advice fixes
// the total; the length type widens to what the total needs (a given 3,
// indeterminate, streams at once without a length). Flushing before the
// size is known is -12000; writes past the promised size, or an advice that
// contradicts the first, are -11416.
// Higher versions: new-format header (0xC0 | tag); the body streams out in
// partial-length chunks of 4096 bytes (0xEC), a flush sends what is staged
// as chunks of falling powers of two, and the end closes the body with a
// final definite length (0x00 after a partial chunk with nothing staged).
//
// Advices and annotations pass on; scope annotations move the nesting, and
// advices inside a scope are ignored. Errors of the tail leave the module
// where it stopped, so the next call resumes.
// Refused at creation (null): a prefix longer than the stage (4096 bytes),
// and a tag of 16 or more with version 3 or lower (no old-format header can
// carry it).
#ifndef OSTRAK_PIPELINE_ADD_HEADER_H_
#define OSTRAK_PIPELINE_ADD_HEADER_H_

#include <cstddef>
#include <cstdint>

#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

// Old-format length types (RFC 2440 section 4.2.1).
inline constexpr uint32_t kQOXLengthType1 = 0;
inline constexpr uint32_t kQOXLengthType2 = 1;
inline constexpr uint32_t kQOXLengthType4 = 2;
inline constexpr uint32_t kQOXLengthIndeterminate = 3;

// Packet tags the pipeline writes.
inline constexpr uint32_t kQOXTagCompressed = 8;
inline constexpr uint32_t kQOXTagEncrypted = 9;
inline constexpr uint32_t kQOXTagLiteral = 11;
inline constexpr uint32_t kQOXTagEncryptedMDC = 18;

QOXPipeline** qoxAddHeaderCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                                 const QOXFifoDesc* fifoDesc, uint32_t tag, uint32_t lengthType,
                                 const uint8_t* prefix, size_t prefixLength);

// A literal data packet: data type ('b', 't', 'u'), file name (at most 255
// bytes used), modification time (seconds, written big-endian).
QOXPipeline** qoxLiteralCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                               const QOXFifoDesc* fifoDesc, uint8_t dataType, const char* fileName,
                               size_t nameLength, uint32_t modificationTime);

#endif  // OSTRAK_PIPELINE_ADD_HEADER_H_

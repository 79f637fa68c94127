// The modules that know nothing of message formats: sinks, copy, join,
// split, the file header module, the text filter, and the recognition of
// message data by its first bytes. Protocol and creation rules:
// pipeline/pipeline.h.
//
// Sinks (each returns itself, stored in the slot):
//   Dev Null              takes and forgets everything.
//   "Write memory"        fixed memory sink over the caller's buffer: keeps
//                         what fits (and a zero byte behind it when room
//                         remains), counts every byte offered.
//   "Write variable-sized memory" / "Securely write variable-sized memory"
//                         growing sink over a (secure) byte FIFO, up to a
//                         size limit (all ones: none).
//   "Write file"          writes into a QOXFile until every byte is taken.
// Annotations the memory sinks answer: kQOXAnnMemBufSize, ...ByteCount,
// ...Enable, ...MaxSize, ...MemBuf (a pointer answer: a new block of the
// context's memory holding the contents and a zero byte, which the caller
// frees), ...Append. The file sink answers kQOXAnnOutputFilename.
//
// Filters (each returns the address of its tail slot):
//   Copy      passes everything on unchanged.
//   Join      several inputs, one output, the inputs' bytes in input order:
//             only one input is live at a time; a later input keeps what it
//             is given in its FIFO until every input before it is done
//             (sizeAdvise 0). Size promises of the inputs are summed for
//             the output. Input and binary-message scope annotations are
//             dropped. The output is torn down once every input is.
//   Split     one input, up to two tails, each given the same byte stream
//             in chunks of at most 1024 bytes; annotations, and advices
//             inside a scope, go to the first tail only. A tail that fails
//             in the middle of a chunk gets the rest of that chunk, and the
//             tails after it the whole chunk, before anything else on the
//             next call: every tail sees exactly the same bytes.
//   File header  puts the 5-byte marker packet in front of data that begins
//             with a new-format header of tag 1-9, 11, 14, 18 or 60.
//   Text filter  line ends and characters: CR, LF and CR LF become the
//             line-end type's ending (1 LF, 2 CR, 3 CR LF; 0 keeps them);
//             with the strip flag, runs of spaces and tabs before a line
//             end, or before the end of the data, are dropped; every other
//             byte goes through the character map (null: unchanged).
#ifndef OSTRAK_PIPELINE_GENERIC_MODULES_H_
#define OSTRAK_PIPELINE_GENERIC_MODULES_H_

#include <cstddef>
#include <cstdint>

#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXFile;

// --- Sinks ---
QOXPipeline* qoxDevNullCreate(QOXContext* context, QOXPipeline** slot);
QOXPipeline* qoxMemModCreate(QOXContext* context, QOXPipeline** slot, uint8_t* buffer, size_t capacity);
inline constexpr uint64_t kQOXMemNoLimit = ~uint64_t{0};
QOXPipeline* qoxVariableMemModCreate(QOXContext* context, QOXPipeline** slot, uint64_t sizeLimit);
QOXPipeline* qoxSecureVariableMemModCreate(QOXContext* context, QOXPipeline** slot, uint64_t sizeLimit);
// closeAtEnd: the sink closes the file at teardown.
QOXPipeline* qoxFileWriteCreate(QOXContext* context, QOXPipeline** slot, QOXFile* file, bool closeAtEnd);

// --- Filters ---
QOXPipeline** qoxCopyModCreate(QOXContext* context, QOXPipeline** slot);

// The first input of a join; its tail slot is the join's output.
QOXPipeline** qoxJoinCreate(QOXContext* context, QOXPipeline** slot, const QOXFifoDesc* fifoDesc);
// A new input after `input` (no slot: the caller writes into the module
// returned); null when memory runs out.
QOXPipeline* qoxJoinAppend(QOXPipeline* input);
// Writes straight into the input's FIFO; returns the bytes taken.
size_t qoxJoinBuffer(QOXPipeline* input, const uint8_t* bytes, size_t count);

QOXPipeline** qoxSplitCreate(QOXContext* context, QOXPipeline** slot);
// The second tail's slot; null when two tails exist or bytes are pending.
QOXPipeline** qoxSplitAdd(QOXPipeline* split);

QOXPipeline** qoxHeaderCreate(QOXContext* context, QOXPipeline** slot);

// Line-end types of the text filter.
inline constexpr uint32_t kQOXLineEndKeep = 0;
inline constexpr uint32_t kQOXLineEndLF = 1;
inline constexpr uint32_t kQOXLineEndCR = 2;
inline constexpr uint32_t kQOXLineEndCRLF = 3;
QOXPipeline** qoxTextFiltCreate(QOXContext* context, QOXPipeline** slot, const uint8_t* charMap,
                                bool stripTrailingBlanks, uint32_t lineEndType);

// --- Recognising message data ---
// The marker packet (RFC 2440 section 5.8): old-format tag 10, length 3, "PGP".
inline constexpr uint8_t kQOXMarkerPacket[5] = {0xA8, 0x03, 0x50, 0x47, 0x50};
// True when the bytes begin like an RFC 2440 message: the marker packet, an
// old-format header of a tag other than 0, or a new-format header of tag
// 1 to 60.
bool qoxFileTypeQOX(const uint8_t* bytes, size_t length);

#endif  // OSTRAK_PIPELINE_GENERIC_MODULES_H_

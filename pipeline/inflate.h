// Inflate: the incremental RFC 1951 decoder, and the inflation module
// ("Inflation Module") that runs it in a chain.
//
// The decoder takes a raw deflate stream in pieces of any size, down to one
// byte, and keeps every partial state between calls (bits, block headers,
// code lengths, a copy in progress). It writes into a 32768-byte output
// window: decoded bytes wait there until the caller takes them
// (infGetBytes, infSkipBytes); when the write position reaches the window's
// end, decoding pauses until everything has been taken, then both positions
// return to the start. Copies reach back modulo the window; positions never
// written read as zero bytes.
//
// It is a decoder of outside bytes: every input byte is read through a
// bounded cursor, every table index is masked to its table, a code the
// stream's tables do not define (including literal/length codes 286 and 287
// and distance codes 30 and 31 of the fixed codes) is invalid data, and
// nothing is ever written outside the window.
//
// Results of the decoder: 0 go on, 1 more input needed, 2 end of stream;
// errors -1 out of memory, -2 invalid data, -4 data after the end. The
// module reports every decoder error as -11443.
//
// Threads: a decoder belongs to one job at a time; it keeps no shared state.
#ifndef OSTRAK_PIPELINE_INFLATE_H_
#define OSTRAK_PIPELINE_INFLATE_H_

#include <cstddef>
#include <cstdint>

#include "pipeline/pipeline.h"

struct QOXContext;
struct QOXInflate;

inline constexpr int kInfGoOn = 0;
inline constexpr int kInfNeedInput = 1;
inline constexpr int kInfStreamEnd = 2;
inline constexpr int kInfOutOfMemory = -1;
inline constexpr int kInfInvalid = -2;
inline constexpr int kInfNotFinished = -3;
inline constexpr int kInfDataAfterEnd = -4;

inline constexpr size_t kInfWindowSize = 32768;

// A decoder, or null when memory runs out.
QOXInflate* infAlloc(QOXContext* context);
// Decodes what it can of the bytes; returns the count consumed and sets
// *error to 0 or a decoder error (which stays: every later call gives it).
// Consumes nothing while the window is full.
size_t infWrite(QOXInflate* inflate, const uint8_t* bytes, size_t count, int* error);
// The decoded bytes not yet taken (null and 0 when none).
const uint8_t* infGetBytes(QOXInflate* inflate, size_t* count);
void infSkipBytes(QOXInflate* inflate, size_t count);
// 0 when the stream ended properly, the stored error after a failure, -3
// while it is not finished.
int infEOF(QOXInflate* inflate);
void infFree(QOXInflate* inflate);

// The inflation module at *slot (its tail: what the slot held); returns its
// tail slot, or null when memory runs out. Only the end of the data (advice
// 0) passes on as an advice; the end checks that the stream ended properly.
// With a budget, every byte the module passes on is taken from it, and the
// first write that would take more than is left fails with
// kQOXErrDecompressionFailed.
struct QOXInflateBudget;
QOXPipeline** infModCreate(QOXContext* context, QOXPipeline** slot, QOXInflateBudget* budget = nullptr);

#endif  // OSTRAK_PIPELINE_INFLATE_H_

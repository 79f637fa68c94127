// Deflate: the streaming RFC 1951 compressor with lazy matching that the
// compression module ("Deflation Module", pipeline/compression.h) runs.
//
// The engine keeps three states, each one zero-filled block from the
// context's memory, wiped when freed:
//   match state  the 16384-byte window (twice the 8192-byte window size),
//                the hash heads and chains, the position in the window and
//                the match pending between calls, and the four tuning values
//                of the level (1-9);
//   tree state   the literal/length and distance buffers of the current
//                block (32768 entries), the dynamic, static and bit-length
//                trees and the block's size estimates;
//   bit writer   the bits not yet whole bytes, and the free room of the
//                output byte FIFO into which finished bytes go directly.
//
// Matches are 3 to 258 bytes long and reach at most 7930 bytes back (8192
// less the 262 bytes of look-ahead); a 3-byte match farther than 4096 bytes
// is dropped. The output is this engine's own: a valid raw deflate stream
// whose bytes differ from other compressors'.
//
// Use: zip_input any number of times, zip_finish once; bi_flush after each
// call commits the finished bytes to the FIFO (partial bits stay until the
// last block is closed on a byte boundary). When the FIFO cannot grow, the
// bit writer keeps its error (bi_error) and drops the bytes it cannot place.
//
// Threads: the states belong to one module on one thread at a time.
#ifndef OSTRAK_PIPELINE_DEFLATE_H_
#define OSTRAK_PIPELINE_DEFLATE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/fifo.h"

struct QOXContext;
struct QOXDeflateMatch;
struct QOXDeflateTrees;
struct QOXBitWriter;

inline constexpr uint32_t kQOXDeflateMinLevel = 1;
inline constexpr uint32_t kQOXDeflateMaxLevel = 9;
// The farthest back any match reaches.
inline constexpr uint32_t kQOXDeflateMaxDistance = 7930;

// The match state for a level of 1-9; null for another level or when memory
// runs out.
QOXDeflateMatch* lm_init(QOXContext* context, uint32_t level);
void lm_free(QOXDeflateMatch* match);
// The tree state, or null when memory runs out.
QOXDeflateTrees* ct_init(QOXContext* context);
void ct_free(QOXDeflateTrees* trees);
// A bit writer into the byte FIFO (made by byteFifoCreate), or null.
QOXBitWriter* bi_init(QOXContext* context, QOXFifo* fifo);
void bi_free(QOXBitWriter* writer);

// Compresses count bytes; whole blocks go to the bit writer as they end.
void zip_input(QOXDeflateMatch* match, QOXDeflateTrees* trees, QOXBitWriter* writer, const uint8_t* bytes,
               size_t count);
// Ends the stream: the rest of the input and the final block, byte-aligned.
void zip_finish(QOXDeflateMatch* match, QOXDeflateTrees* trees, QOXBitWriter* writer);
// Commits the bytes written into the FIFO's free room, so that they can be
// read out.
void bi_flush(QOXBitWriter* writer);
// 0, or -11999 once the FIFO could not grow (bytes were lost: the stream is
// broken).
QOXError bi_error(const QOXBitWriter* writer);

#endif  // OSTRAK_PIPELINE_DEFLATE_H_

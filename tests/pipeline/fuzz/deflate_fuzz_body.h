// One fuzz step for the deflate engine, shared by the libFuzzer target
// (deflate_fuzz.cc) and the random round-trip test that runs under the
// sanitiser build. The first input byte chooses the level (1-9) and the
// piece size in which the rest is compressed; the rest is compressed whole
// and in pieces. Both streams must be the same bytes, read back to the
// input with the independent test reader (no match farther than 7930 bytes,
// nothing after the last block) and with the toolkit's own inflate;
// anything else aborts.
#ifndef OSTRAK_TESTS_PIPELINE_FUZZ_DEFLATE_FUZZ_BODY_H_
#define OSTRAK_TESTS_PIPELINE_FUZZ_DEFLATE_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pipeline/deflate.h"
#include "pipeline/fifo.h"
#include "tests/pipeline/deflate_reader.h"
#include "tests/pipeline/fuzz/inflate_fuzz_body.h"

namespace deflate_fuzz {

// The raw deflate stream of data at level, written into the engine in
// pieces of `piece` bytes (0: at once); empty when the engine cannot be
// made.
inline std::vector<uint8_t> Compress(QOXContext* context, uint32_t level, const uint8_t* data, size_t size,
                                     size_t piece = 0) {
  std::vector<uint8_t> out;
  QOXFifo* fifo = byteFifoCreate(context);
  QOXDeflateMatch* match = lm_init(context, level);
  QOXDeflateTrees* trees = ct_init(context);
  QOXBitWriter* writer = bi_init(context, fifo);
  auto drain = [&] {
    bi_flush(writer);
    size_t n = 0;
    while (const uint8_t* p = byteFifoPeek(fifo, &n)) {
      if (n == 0) break;
      out.insert(out.end(), p, p + n);
      byteFifoSeek(fifo, n);
    }
  };
  if (fifo != nullptr && match != nullptr && trees != nullptr && writer != nullptr) {
    size_t at = 0;
    while (at < size) {
      size_t n = piece == 0 ? size - at : std::min(piece, size - at);
      zip_input(match, trees, writer, data + at, n);
      drain();
      at += n;
    }
    zip_finish(match, trees, writer);
    drain();
    if (bi_error(writer) != 0) out.clear();
  }
  bi_free(writer);
  ct_free(trees);
  lm_free(match);
  if (fifo != nullptr) byteFifoDestroy(fifo);
  return out;
}

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  if (size == 0) return;
  uint32_t level = 1 + data[0] % 9;
  static constexpr size_t kPieces[] = {1, 2, 3, 7, 100, 261, 262, 1000, 4096, 9000, 16383, 16384, 16385, 30000};
  size_t piece = kPieces[(data[0] / 9) % (sizeof kPieces / sizeof kPieces[0])];
  ++data;
  --size;
  std::vector<uint8_t> whole = Compress(context, level, data, size);
  std::vector<uint8_t> pieces = Compress(context, level, data, size, piece);
  if (whole.empty() || whole != pieces) {
    fprintf(stderr, "level %u piece %zu: pieces give another stream\n", level, piece);
    std::abort();
  }
  deflate_reader::Stream read = deflate_reader::Read(whole);
  if (!read.ok || read.out.size() != size || !std::equal(read.out.begin(), read.out.end(), data) ||
      read.maxDistance > kQOXDeflateMaxDistance) {
    fprintf(stderr, "level %u: read back ok=%d size %zu/%zu distance %u\n", level, read.ok, read.out.size(), size,
            read.maxDistance);
    std::abort();
  }
  inflate_fuzz::Result ours = inflate_fuzz::Decode(context, whole.data(), whole.size(), whole.size(), SIZE_MAX, SIZE_MAX);
  if (ours.end != 0 || ours.out != read.out) {
    fprintf(stderr, "level %u: inflate gives %zu bytes, end %d\n", level, ours.out.size(), ours.end);
    std::abort();
  }
}

}  // namespace deflate_fuzz

#endif  // OSTRAK_TESTS_PIPELINE_FUZZ_DEFLATE_FUZZ_BODY_H_

// One fuzz step for the inflate decoder, shared by the libFuzzer target
// (inflate_fuzz.cc) and the random-mutation test that runs under the
// sanitiser build. The first input byte chooses the piece size in which the
// rest is fed and how much output is taken at a time; the same stream is
// also decoded whole, and the two runs must agree byte for byte and on the
// result: any difference, or a decoder that neither consumes nor produces,
// aborts.
#ifndef OSTRAK_TESTS_PIPELINE_FUZZ_INFLATE_FUZZ_BODY_H_
#define OSTRAK_TESTS_PIPELINE_FUZZ_INFLATE_FUZZ_BODY_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pipeline/inflate.h"

namespace inflate_fuzz {

struct Result {
  std::vector<uint8_t> out;
  int end = 0;
};

// Decodes the stream in pieces of `piece` bytes, taking at most `take`
// output bytes at a time; stops after `limit` output bytes.
inline Result Decode(QOXContext* context, const uint8_t* data, size_t size, size_t piece, size_t take,
                     size_t limit) {
  Result r;
  QOXInflate* d = infAlloc(context);
  if (d == nullptr) std::abort();
  size_t at = 0;
  int error = 0;
  while (error == 0 && r.out.size() < limit) {
    size_t n = std::min(piece, size - at);
    size_t used = infWrite(d, data + at, n, &error);
    if (used > n) std::abort();
    at += used;
    size_t count = 0;
    const uint8_t* p = infGetBytes(d, &count);
    if (p != nullptr) {
      if (count > kInfWindowSize) std::abort();
      count = std::min(count, take);
      r.out.insert(r.out.end(), p, p + count);
      infSkipBytes(d, count);
    } else if (at == size) {
      break;
    } else if (used == 0 && error == 0) {
      std::abort();  // stuck: input left, no output, no error
    }
  }
  // What was decoded before an error is still there to take.
  for (;;) {
    size_t count = 0;
    const uint8_t* p = infGetBytes(d, &count);
    if (p == nullptr || r.out.size() >= limit) break;
    r.out.insert(r.out.end(), p, p + count);
    infSkipBytes(d, count);
  }
  r.end = error != 0 ? error : infEOF(d);
  infFree(d);
  return r;
}

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  if (size == 0) return;
  size_t piece = 1 + data[0] % 17;
  size_t take = data[0] & 0x80 ? 1 + (data[0] & 0x7F) * 97 : SIZE_MAX;
  ++data;
  --size;
  // Bounded, so a stream that expands without end stops the run.
  constexpr size_t kLimit = size_t{1} << 20;
  Result whole = Decode(context, data, size, size == 0 ? 1 : size, SIZE_MAX, kLimit);
  Result pieces = Decode(context, data, size, piece, take, kLimit);
  if (whole.out.size() >= kLimit || pieces.out.size() >= kLimit) {
    size_t n = std::min(whole.out.size(), pieces.out.size());
    if (!std::equal(whole.out.begin(), whole.out.begin() + n, pieces.out.begin())) std::abort();
    return;
  }
  if (whole.out != pieces.out || whole.end != pieces.end) {
    fprintf(stderr, "whole %zu %d pieces %zu %d piece %zu take %zu\n", whole.out.size(), whole.end, pieces.out.size(), pieces.end, piece, take);
    std::abort();
  }
}

}  // namespace inflate_fuzz

#endif  // OSTRAK_TESTS_PIPELINE_FUZZ_INFLATE_FUZZ_BODY_H_

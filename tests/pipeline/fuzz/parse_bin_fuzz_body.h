// One fuzz step for the binary message parser, shared by the libFuzzer
// target (parse_bin_fuzz.cc) and the random-mutation test that runs under
// the sanitiser build. The first input byte steers: its low three bits the
// piece size in which the rest is fed (1, 2, 3, 7, 64, 500, 4096 bytes, or
// whole), the next two the commit answers (decode's, the parser's
// defaults, all 261, all 259). The rest is the message; encrypted scopes
// are offered one fixed CAST5 key. The message is parsed whole and in
// pieces: both runs must end alike and leave the same annotations and data
// behind; any difference aborts. Whatever the input, nothing may crash,
// overrun or leak.
#ifndef OSTRAK_TESTS_PIPELINE_FUZZ_PARSE_BIN_FUZZ_BODY_H_
#define OSTRAK_TESTS_PIPELINE_FUZZ_PARSE_BIN_FUZZ_BODY_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "foundation/context.h"
#include "pipeline/parse_bin.h"
#include "tests/pipeline/message_reader.h"

namespace parse_bin_fuzz {

// Data kept per run (the rest is counted): compressed input may grow.
inline constexpr size_t kDataLimit = 1 << 20;

struct Outcome {
  QOXError error = 0;
  std::vector<uint32_t> types;
  pipeline_test::Bytes data;
  size_t dataCount = 0;
};

inline Outcome Parse(QOXContext* context, const uint8_t* data, size_t size, size_t piece, int policy) {
  pipeline_test::MessageReader reader(context, kDataLimit);
  switch (policy) {
    case 1:
      reader.decide = [](uint32_t) { return 0; };
      break;
    case 2:
      reader.decide = [](uint32_t) { return 261; };
      break;
    case 3:
      reader.decide = [](uint32_t) { return 259; };
      break;
    default:
      break;
  }
  reader.sessionKeys = {{3, 0x3B, 0xC5, 0x57, 0xDF, 0xD5, 0x5F, 0x09, 0x74, 0x06, 0x34, 0xD9, 0x82, 0x55, 0x7E,
                         0x6B, 0x4A}};
  QOXPipeline* head = &reader.module;
  if (qoxParseBinCreate(context, &head, qoxContextGetEnvironment(context), nullptr, nullptr) == nullptr) {
    std::abort();
  }
  Outcome out;
  size_t at = 0;
  while (out.error == 0 && at < size) {
    size_t n = piece < size - at ? piece : size - at;
    QOXError err = 0;
    size_t took = head->write(head, data + at, n, &err);
    if (took > n || (took < n && err == 0)) std::abort();  // a short write must say why
    at += took;
    out.error = err;
  }
  if (out.error == 0) out.error = head->sizeAdvise(head, 0);
  qoxPipelineTeardown(head);
  if (!reader.tornDown) std::abort();
  out.types = reader.Types();
  out.data = reader.data;
  out.dataCount = reader.dataCount;
  return out;
}

template <class T>
bool PrefixOf(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}
template <class T>
bool Comparable(const std::vector<T>& a, const std::vector<T>& b) {
  return PrefixOf(a, b) || PrefixOf(b, a);
}

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  if (size == 0) return;
  static constexpr size_t kPieces[8] = {1, 2, 3, 7, 64, 500, 4096, SIZE_MAX};
  const size_t piece = kPieces[data[0] & 7];
  const int policy = (data[0] >> 3) & 3;
  Outcome whole = Parse(context, data + 1, size - 1, SIZE_MAX, policy);
  if (piece == SIZE_MAX) return;
  Outcome pieces = Parse(context, data + 1, size - 1, piece, policy);
  const bool same = whole.error == 0 ? whole.types == pieces.types && whole.data == pieces.data &&
                                           whole.dataCount == pieces.dataCount
                                     : Comparable(whole.types, pieces.types) && Comparable(whole.data, pieces.data);
  if ((whole.error == 0) != (pieces.error == 0) || !same) {
    fprintf(stderr, "whole: error %d, %zu notes, %zu bytes; pieces of %zu: error %d, %zu notes, %zu bytes\n",
            whole.error, whole.types.size(), whole.dataCount, piece, pieces.error, pieces.types.size(),
            pieces.dataCount);
    std::abort();
  }
}

}  // namespace parse_bin_fuzz

#endif  // OSTRAK_TESTS_PIPELINE_FUZZ_PARSE_BIN_FUZZ_BODY_H_

// One fuzz step for the ASCII armor parser, shared by the libFuzzer target
// (armor_parse_fuzz.cc) and the random-mutation test that runs under the
// sanitiser build. The first input byte steers: its low three bits the
// piece size in which the rest is fed (1, 2, 3, 7, 64, 500, 4096 bytes, or
// whole), bit 3 a verification reader of two Dev Null heads in place of
// the one in force (so clear-signed text is read to its end), bit 4 the
// bare-boundary setting. The rest is the input. It is parsed whole and in
// pieces: both runs must end alike and leave the same annotations and data
// behind; any difference aborts. Whatever the input, nothing may crash,
// overrun or leak.
#ifndef OSTRAK_TESTS_PIPELINE_FUZZ_ARMOR_PARSE_FUZZ_BODY_H_
#define OSTRAK_TESTS_PIPELINE_FUZZ_ARMOR_PARSE_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "foundation/context.h"
#include "foundation/env.h"
#include "pipeline/armor_parse.h"
#include "pipeline/generic_modules.h"
#include "pipeline/verify_reader_services.h"
#include "tests/pipeline/message_reader.h"

namespace armor_parse_fuzz {

// Data kept per run (the rest is counted): compressed input may grow.
inline constexpr size_t kDataLimit = 1 << 20;

struct Outcome {
  QOXError error = 0;
  std::vector<uint32_t> types;
  pipeline_test::Bytes data;
  size_t dataCount = 0;
};

inline void* NullReader(QOXContext* context, QOXPipeline** textHead, QOXPipeline** sigHead, QOXEnv*,
                        const QOXFifoDesc*, const uint8_t*, size_t, bool, const QOXDecodeCallbacks*, void*,
                        QOXError* error) {
  if (qoxDevNullCreate(context, textHead) == nullptr) {
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  if (qoxDevNullCreate(context, sigHead) == nullptr) {
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  return textHead;
}

inline Outcome Parse(QOXContext* context, QOXEnv* env, const uint8_t* data, size_t size, size_t piece) {
  pipeline_test::MessageReader reader(context, kDataLimit);
  QOXPipeline* head = &reader.module;
  if (qoxParseAscCreate(context, &head, env, nullptr, nullptr, nullptr, nullptr) == nullptr) std::abort();
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

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  if (size == 0) return;
  static constexpr size_t kPieces[8] = {1, 2, 3, 7, 64, 500, 4096, SIZE_MAX};
  const size_t piece = kPieces[data[0] & 7];
  static constexpr QOXVerifyReaderServices kNullReader = {.qoxVerifyReaderCreate = NullReader};
  const QOXVerifyReaderServices* previous = nullptr;
  if (data[0] & 8) previous = qoxRegisterVerifyReaderServices(&kNullReader);
  QOXEnv* env = nullptr;
  if (qoxenvCopy(qoxContextGetEnvironment(context), &env) != 0) std::abort();
  if (data[0] & 16) qoxenvSetInt(env, kQOXEnvArmorParser, 1, 0);

  Outcome whole = Parse(context, env, data + 1, size - 1, SIZE_MAX);
  if (piece != SIZE_MAX) {
    Outcome pieces = Parse(context, env, data + 1, size - 1, piece);
    const bool same = whole.error == pieces.error && whole.types == pieces.types && whole.data == pieces.data &&
                      whole.dataCount == pieces.dataCount;
    if (!same) {
      fprintf(stderr, "whole: error %d, %zu notes, %zu bytes; pieces of %zu: error %d, %zu notes, %zu bytes\n",
              whole.error, whole.types.size(), whole.dataCount, piece, pieces.error, pieces.types.size(),
              pieces.dataCount);
      std::abort();
    }
  }
  qoxenvDestroy(env);
  if (data[0] & 8) qoxRegisterVerifyReaderServices(previous);
}

}  // namespace armor_parse_fuzz

#endif  // OSTRAK_TESTS_PIPELINE_FUZZ_ARMOR_PARSE_FUZZ_BODY_H_

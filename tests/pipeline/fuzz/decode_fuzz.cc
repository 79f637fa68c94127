// Fuzz target for the whole decode operation (ostrak_fuzz_target in
// tests/pipeline/CMakeLists.txt): every build runs it over
// fuzz/corpus/decode; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/pipeline/pipeline_decode_fuzz -max_total_time=300 <a copy of fuzz/corpus/decode>
// The corpus holds gpg's messages and key blocks of tests/pipeline/data,
// each behind a steering byte (fuzz/make_decode_seeds.py).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "server/main/wiring.h"
#include "tests/pipeline/fuzz/decode_fuzz_body.h"

namespace {

// The secret key the fixtures' public-key messages are encrypted to
// (no passphrase), imported once.
QOXKeyDB* FixtureKeys(QOXContext* context) {
  std::ifstream in(OSTRAK_DECODE_FUZZ_KEYS, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) std::abort();
  QOXKeyDB* db = nullptr;
  if (QOXImport(context, &db, QOXOInputBuffer(context, bytes.data(), bytes.size()), kQOXEndOfOptionList) != 0) {
    std::abort();
  }
  return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QOXContext* context = [] {
    ostrakWire();
    QOXContext* c = nullptr;
    if (QOXsdkInit(kQOXsdkInitNoBackEnd) != 0 || QOXNewContext(kQOXAPIVersion, &c) != 0) std::abort();
    return c;
  }();
  static QOXKeyDB* keys = FixtureKeys(context);
  decode_fuzz::Run(context, keys, data, size);
  return 0;
}

// Fuzz target for ring reading and merging (ostrak_fuzz_target in
// tests/keydb/CMakeLists.txt): every build runs it over fuzz/corpus/ring;
// with clang and -DOSTRAK_FUZZ=ON it is also a libFuzzer program, run as
//   build-fuzz/tests/keydb/keydb_ring_fuzz -max_total_time=300 <a copy of fuzz/corpus/ring>
#include <cstddef>
#include <cstdint>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "tests/keydb/fuzz/ring_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QOXContext* context = [] {
    QOXContext* c = nullptr;
    if (QOXsdkInit(kQOXsdkInitNoBackEnd) == 0) QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  if (context != nullptr) ring_fuzz::Run(context, data, size);
  return 0;
}

// Fuzz target for the signature lists and their readers (ostrak_fuzz_target
// in tests/keydb/CMakeLists.txt): every build runs it over
// fuzz/corpus/sig_data; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/keydb/keydb_sig_data_fuzz -max_total_time=300 <a copy of fuzz/corpus/sig_data>
#include <cstddef>
#include <cstdint>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "tests/keydb/fuzz/sig_data_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QOXContext* context = [] {
    QOXContext* c = nullptr;
    if (QOXsdkInit(kQOXsdkInitNoBackEnd) == 0) QOXNewContext(kQOXAPIVersion, &c);
    return c;
  }();
  if (context != nullptr) sig_data_fuzz::Run(context, data, size);
  return 0;
}

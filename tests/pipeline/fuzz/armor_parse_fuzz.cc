// Fuzz target for the ASCII armor parser (ostrak_fuzz_target in
// tests/pipeline/CMakeLists.txt): every build runs it over
// fuzz/corpus/armor_parse; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/pipeline/pipeline_armor_parse_fuzz -max_total_time=300 <a copy of fuzz/corpus/armor_parse>
#include <cstddef>
#include <cstdint>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "server/main/wiring.h"
#include "tests/pipeline/fuzz/armor_parse_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QOXContext* context = [] {
    ostrakWire();
    QOXContext* c = nullptr;
    if (QOXsdkInit(kQOXsdkInitNoBackEnd) != 0 || QOXNewContext(kQOXAPIVersion, &c) != 0) std::abort();
    return c;
  }();
  armor_parse_fuzz::Run(context, data, size);
  return 0;
}

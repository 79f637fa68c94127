// Fuzz target for the configuration reader (ostrak_fuzz_target in
// tests/server/CMakeLists.txt), over fuzz/corpus/config; as a libFuzzer
// program:
//   build-fuzz/tests/server/server_config_fuzz -max_total_time=600 <a copy of fuzz/corpus/config>
#include "tests/server/fuzz/config_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  config_fuzz::Run(data, size);
  return 0;
}

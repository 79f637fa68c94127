// Fuzz target for the web console's request parser (ostrak_fuzz_target in
// tests/server/CMakeLists.txt), over fuzz/corpus/console; as a libFuzzer
// program:
//   build-fuzz/tests/server/server_console_fuzz -max_total_time=600 <a copy of fuzz/corpus/console>
#include "tests/server/fuzz/text_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  text_fuzz::RunConsole(data, size);
  return 0;
}

// Fuzz target for the entry text form (ostrak_fuzz_target in
// tests/server/CMakeLists.txt), over fuzz/corpus/entry_text; as a libFuzzer
// program:
//   build-fuzz/tests/server/server_entry_text_fuzz -max_total_time=600 <a copy of fuzz/corpus/entry_text>
#include "tests/server/fuzz/text_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  text_fuzz::RunEntryText(data, size);
  return 0;
}

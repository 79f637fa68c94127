// Fuzz target for DN normalisation and the DN walkers (ostrak_fuzz_target
// in tests/server/CMakeLists.txt), over fuzz/corpus/dn; as a libFuzzer
// program:
//   build-fuzz/tests/server/server_dn_fuzz -max_total_time=600 <a copy of fuzz/corpus/dn>
#include "tests/server/fuzz/text_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  text_fuzz::RunDN(data, size);
  return 0;
}

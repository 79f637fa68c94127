// Fuzz target of the certificate toolkit: the DN text parser and writer
// (tc_fuzz_bodies.h; ostrak_fuzz_target in tests/pki/CMakeLists.txt).
// Every build runs it over fuzz/corpus/tc_dn; with clang and
// -DOSTRAK_FUZZ=ON it is also a libFuzzer program, run as
//   build-fuzz/tests/pki/pki_tc_dn_fuzz -max_total_time=300 <a copy of fuzz/corpus/tc_dn>
#include <cstddef>
#include <cstdint>

#include "tests/pki/fuzz/tc_fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tc_fuzz::RunDNString(data, size);
  return 0;
}

// Fuzz target of the certificate toolkit: tc_import_crl, the held CRL's extensions and the revocation check
// (tc_fuzz_bodies.h; ostrak_fuzz_target in tests/pki/CMakeLists.txt).
// Every build runs it over fuzz/corpus/tc_crl; with clang and
// -DOSTRAK_FUZZ=ON it is also a libFuzzer program, run as
//   build-fuzz/tests/pki/pki_tc_crl_fuzz -max_total_time=300 <a copy of fuzz/corpus/tc_crl>
#include <cstddef>
#include <cstdint>

#include "tests/pki/fuzz/tc_fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tc_fuzz::RunCRL(data, size);
  return 0;
}

// Fuzz target for sm_VerifyMessage over mutated SignedData
// (fuzz/sm_verify_fuzz_body.h; ostrak_fuzz_target in
// tests/pki/CMakeLists.txt). Every build runs it over
// fuzz/corpus/sm_verify; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/pki/pki_sm_verify_fuzz -max_total_time=300 <a copy of fuzz/corpus/sm_verify>
#include <cstddef>
#include <cstdint>

#include "tests/pki/fuzz/sm_verify_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PKICONTEXT ctx = {0, &PKIdefaultMemoryMgrStruct};
  sm_verify_fuzz::Run(&ctx, data, size);
  return 0;
}

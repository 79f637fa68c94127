// Fuzz target for the X.509 module's decoders and encoders
// (ostrak_fuzz_target in tests/pki/CMakeLists.txt): every build runs it
// over fuzz/corpus/cert_asn; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/pki/pki_cert_asn_fuzz -max_total_time=300 <a copy of fuzz/corpus/cert_asn>
#include <cstddef>
#include <cstdint>

#include "tests/pki/fuzz/cert_asn_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PKICONTEXT ctx = {0, &PKIdefaultMemoryMgrStruct};
  cert_asn_fuzz::Run(&ctx, data, size);
  return 0;
}

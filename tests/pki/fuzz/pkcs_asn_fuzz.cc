// Fuzz target for the PKCS #7, #8, #12 and enrollment modules' decoders and
// encoders (ostrak_fuzz_target in tests/pki/CMakeLists.txt): the first
// input byte picks the type (an index into pkcs_asn_codecs::kCodecs), the
// rest is the encoding, run through the body of the X.509 module's target
// (fuzz/cert_asn_fuzz_body.h). Every build runs it over
// fuzz/corpus/pkcs_asn; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/pki/pki_pkcs_asn_fuzz -max_total_time=300 <a copy of fuzz/corpus/pkcs_asn>
#include <cstddef>
#include <cstdint>

#include "tests/pki/fuzz/pkcs_asn_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PKICONTEXT ctx = {0, &PKIdefaultMemoryMgrStruct};
  pkcs_asn_fuzz::Run(&ctx, data, size);
  return 0;
}

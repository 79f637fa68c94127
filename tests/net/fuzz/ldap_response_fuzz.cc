// Fuzz target for the LDAP client's response side (entries, attributes, values, result fields, the entry sort)
// (ostrak_fuzz_target in tests/net/CMakeLists.txt): every build runs it over
// fuzz/corpus/ldap_response; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/net/net_ldap_response_fuzz -max_total_time=300 <a copy of fuzz/corpus/ldap_response>
// The input layout is described in fuzz/ldap_client_fuzz_body.h; the seeds
// are made by fuzz/make_ldap_client_corpus.py.
#include <cstddef>
#include <cstdint>

#include "foundation/memory_mgr.h"
#include "server/main/wiring.h"
#include "tests/net/fuzz/ldap_client_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QOXldapContext ld = [] {
    ostrakWire();
    return ldap_fuzz::MakeContext();
  }();
  static QOXMemoryMgr* mgr = [] {
    QOXMemoryMgr* m = nullptr;
    QOXNewMemoryMgr(0, &m);
    return m;
  }();
  if (ld == nullptr || mgr == nullptr) __builtin_trap();
  ldap_fuzz::Responses(ld, mgr, data, size);
  return 0;
}

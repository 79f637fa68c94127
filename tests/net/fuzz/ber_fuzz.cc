// Fuzz target for the BER decoder and walkers (ostrak_fuzz_target in
// tests/net/CMakeLists.txt): every build runs it over fuzz/corpus/ber; with
// clang and -DOSTRAK_FUZZ=ON it is also a libFuzzer program, run as
//   build-fuzz/tests/net/net_ber_fuzz -max_total_time=300 <a copy of fuzz/corpus/ber>
#include <cstddef>
#include <cstdint>

#include "foundation/memory_mgr.h"
#include "tests/net/fuzz/ber_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QOXMemoryMgr* mgr = [] {
    QOXMemoryMgr* m = nullptr;
    QOXNewMemoryMgr(0, &m);
    return m;
  }();
  ber_fuzz::Run(mgr, data, size);
  return 0;
}

// libFuzzer target for the BER decoder and walkers. Built only with clang
// and -DOSTRAK_FUZZ=ON (see tests/net/CMakeLists.txt); run as
//   build-fuzz/tests/net/net_ber_fuzz -max_total_time=300
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

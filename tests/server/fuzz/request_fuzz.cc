// Fuzz target for the request handlers and filter decoding (ostrak_fuzz_target
// in tests/server/CMakeLists.txt): every build runs it over
// fuzz/corpus/request; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/server/server_request_fuzz -max_total_time=600 <a copy of fuzz/corpus/request>
// The seeds are made by fuzz/make_server_corpus.py.
#include "tests/server/fuzz/request_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  request_fuzz::Run(data, size);
  return 0;
}

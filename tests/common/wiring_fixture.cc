// Wires the libraries together as ostrakd does (server/main/wiring.h),
// before any test runs. Linked into every test program.
#include "server/main/wiring.h"

namespace {
const bool kWired = (ostrakWire(), true);
}  // namespace

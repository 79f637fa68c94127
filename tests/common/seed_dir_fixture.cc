// Points the random seed file of every test program at a temporary
// directory (see tests/foundation/seed_file_dir.h). Linked into every test.
#include "tests/foundation/seed_file_dir.h"

namespace {
const TempSeedFileDir kSeedFileDir;
}  // namespace

// Points the random seed file of every test program of this folder at a
// temporary directory (see tests/foundation/seed_file_dir.h).
#include "tests/foundation/seed_file_dir.h"

namespace {
const TempSeedFileDir kSeedFileDir;
}  // namespace

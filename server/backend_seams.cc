// Seams: the "ldbm" backend's entry points and the storage calls of
// start-up, until the storage backend lands. The configuration entry point
// accepts every backend keyword; the database checks find nothing to do and
// report the configured index method; creating databases fails; request
// entry points refuse. Whoever lands the real code deletes the matching
// block in the same commit.
#include "server/backend.h"

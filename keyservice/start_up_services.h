// Key submission's start-up steps that stand on the toolkit alone: the
// random seed file and the RSA query. The daemon reaches them through the
// key-submission table (server/key_submission_services.h), where
// keyservice/key_submission_registration.h registers them.
//
// Thread safety: both run on the initial thread during start-up.
#ifndef OSTRAK_KEYSERVICE_START_UP_SERVICES_H_
#define OSTRAK_KEYSERVICE_START_UP_SERVICES_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;

// Makes the named file (a full path) the toolkit's random seed file, which
// seeds the pool from it and rewrites it with fresh bytes. No path does
// nothing: 0. -12000 when the file does not exist; otherwise 0 or the
// toolkit's code. Every failure is logged as "Setting the QOX random seed
// file (%s) failed with error %d (%s)". The start directory is not used:
// the configuration stores the path in full.
QOXError SetRandSeedFile(QOXContext* context, const char* startDirectory, const char* path);

// 0 or the toolkit's code; *supported becomes 1 when the toolkit's list of
// public-key algorithms holds an RSA one (identifier 1, 2 or 3), else 0.
QOXError IsRSASupported(uint8_t* supported);

#endif  // OSTRAK_KEYSERVICE_START_UP_SERVICES_H_

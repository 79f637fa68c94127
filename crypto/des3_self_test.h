// The Triple-DES known-answer self-test (self-test 1 of the FIPS runner,
// foundation/core/self_tests.h).
//
// It runs fixed data through Triple-DES in ECB, CBC and CFB mode using the
// public cipher, CBC and CFB calls, on a toolkit context and memory manager
// of its own (the process default manager belongs to the daemon), and frees
// everything before it returns. Safe to call from any thread once the
// toolkit is started.
#ifndef OSTRAK_CRYPTO_DES3_SELF_TEST_H_
#define OSTRAK_CRYPTO_DES3_SELF_TEST_H_

#include "foundation/errors.h"

// 0 when all three modes give the stored answers; kQOXErrSelfTestFailed for any failure,
// a wrong byte or a failing call (also when its context cannot be made).
QOXError qoxTest3DES();

#endif  // OSTRAK_CRYPTO_DES3_SELF_TEST_H_

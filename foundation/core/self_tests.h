// FIPS-mode self-tests and their runner.
//
// In FIPS mode (QOXEnableFIPSMode, foundation/context.h) the entry gate
// refuses every public call with kQOXErrSelfTestsNotExecuted until QOXRunAllSDKSelfTests has been
// called, and with the first failing test's result after any failure, until
// QOXResetSDKErrorState clears it and runs the tests again. Test 1 is the
// Triple-DES known-answer test (qoxTest3DES), test 2 the DSA sign-and-verify
// test below.
//
// Thread safety: run the tests while no other thread uses the toolkit.
#ifndef OSTRAK_FOUNDATION_CORE_SELF_TESTS_H_
#define OSTRAK_FOUNDATION_CORE_SELF_TESTS_H_

#include "foundation/errors.h"

inline constexpr int kQOXSelfTest3DES = 1;
inline constexpr int kQOXSelfTestDSA = 2;

// Outside FIPS mode -12000. Marks the tests as run (before running them, so
// the gate lets them through), then runs test 1 and test 2, each after the
// gate; the first failure is stored as the error state and ends the run.
// Returns the last result, 0 when both pass.
QOXError QOXRunAllSDKSelfTests();

// Outside FIPS mode -12000; the gate's error; runs test 1 or 2, any other
// number gives -12000. A non-zero result (also that -12000) becomes the
// error state when none is stored yet, and is returned.
QOXError QOXRunSDKSelfTest(int test);

// In FIPS mode clears the error state and, when one was stored, runs all
// tests again; returns the error state after that. 0 outside FIPS mode.
QOXError QOXResetSDKErrorState();

// Signs a fixed digest with the built-in DSA secret key and verifies it with
// the matching public key, in a context of its own. 0 or kQOXErrSelfTestFailed.
QOXError qoxTestDSA();

#endif  // OSTRAK_FOUNDATION_CORE_SELF_TESTS_H_

// What the key database asks of signature checking and trust propagation,
// which this library does not hold yet: the check of one signature (the
// authorising self-signature and the revocation of the third-party
// revocation clean-up) and the trust recalculation after a deletion. Each
// answers a defined refusal and changes nothing, so a signature stays
// untried and trust stays as it was.
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_SIG_CHECK_SEAMS_H_
#define OSTRAK_KEYDB_SIG_CHECK_SEAMS_H_

#include "foundation/errors.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// Checks one signature, looking for its signer in the signature's own
// database and then in furtherDB (may be null); marks it tried and, when
// valid, checked. kQOXErrFeatureNotAvailable: nothing checked.
QOXError qoxCheckOneSig(QOXKeyDBObj* sig, QOXKeyDB* furtherDB);
// Recalculates trust over a set. kQOXErrFeatureNotAvailable: nothing changed.
QOXError qoxRecalculateTrust(QOXKeySet* set, QOXKeyDB* furtherDB);

#endif  // OSTRAK_KEYDB_SIG_CHECK_SEAMS_H_

// Trust propagation: turns checked signatures into the validity of user IDs.
//
// A run (qoxPropagateTrustInternal) works over the members of a key set in
// eight passes: it recomputes each key's revoked and expired bits and
// collects the axiomatic keys (keys marked 0x80 that hold a secret part,
// also from another database when one is given); applies the trust
// signatures those keys made, with delegation (signedTrust and
// introducerRegexp of their targets); searches the certification paths from
// the axiomatic keys to every member user ID (at most setting 1002 keys
// deep), keeps the ten strongest and combines them by inclusion and
// exclusion into one confidence; then stores each user ID's external
// validity and old validity and each signature's legacy owner trust. The
// scales and conversions are keydb/trust.h.
//
// Path cells (steps and paths) come from the database's trustPathPool and
// are recycled through its two free lists (freeSteps, freePaths) after
// every user ID; the pool is emptied once per run. When a cell cannot be
// had, the search for that user ID stops with the paths found so far; when
// the joint confidence cannot be computed, the user ID keeps the value the
// first pass gave it (0, or certain on an axiomatic key).
//
// Ownership: introducerRegexp of a key borrows the compiled expression a
// trust signature caches (SigInfo.regexp); every run clears those borrows
// before it returns.
//
// Thread safety: none. A run uses one key database (and the other one read
// and path-marked) on its context's thread; the caller keeps others away.
#ifndef OSTRAK_KEYDB_TRUST_PROPAGATION_H_
#define OSTRAK_KEYDB_TRUST_PROPAGATION_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

// Recalculates trust over the set's members at the toolkit's current time.
// kQOXErrBadParams for an invalid set or a non-null other database that is
// not valid (an other database equal to the set's own is ignored); the
// gate's error. A front end has its back end run the computation
// (qoxPropagateTrust_back) and refreshes the keys it changed; the back
// end's error is returned unchanged.
QOXError QOXCalculateTrust(QOXKeySet* set, QOXKeyDB* other);

// The computation over the set's database at time now; the keys whose
// stored trust bytes changed are added to changedKeys when given. Always 0.
QOXError qoxPropagateTrustInternal(QOXKeySet* set, QOXKeyDB* other, QOXTime now, QOXKeySet* changedKeys);

// The back-end entry: the flat key list of the set (keydb/key_set_flat.h)
// of a back-end database, the other back-end database (0 none) and the
// time; answers the flat list of the changed keys (a block of the
// context's memory the caller frees; null and 0 when none). The changed
// keys are recorded for the other connections (qoxSetPendingNotify).
QOXError qoxPropagateTrust_back(QOXContext* context, uintptr_t db, const uintptr_t* keys, size_t keysLength,
                                uintptr_t other, QOXTime now, uintptr_t** outChanged, size_t* outChangedLength);

// --- The computation's tests, for its callers and tests ---

// The time test of a signature: created at most a day (exclusive) after
// now, and, when not in the future, unexpired at now.
bool qoxTrustSigTimeValid(QOXKeyDBObj* sig, QOXTime now);
// The signature is good (checked, not revoked by a CRL), passes its
// signer's introducer expression and the time test.
bool mntSigIsValid(QOXKeyDBObj* sig, QOXTime now);
// mntSigIsValid for a real certification or key signature (type 0x1X).
bool mntSigIsValidTimeKeySig(QOXKeyDBObj* sig, QOXTime now);

#endif  // OSTRAK_KEYDB_TRUST_PROPAGATION_H_

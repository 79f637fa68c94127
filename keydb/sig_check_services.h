// What the key database's own reading and deleting ask of signature
// checking and trust propagation, as one registered table: the check of one
// signature (the authorising direct self-signature and the revocation of
// the third-party revocation clean-up) and the recalculation of trust after
// an object is deleted (QOXDeleteKeyDBObj).
//
// The key database's registration (qoxKeyDBRegister) installs the check of
// one signature (keydb/sig_check.h). Until a member is registered it answers
// with its stand-in in keydb/sig_check_seams.cc: nothing changed, so a
// signature stays untried and trust stays as it was; the single-signature
// check and QOXCalculateTrust say so with "feature not available"
// (kQOXErrFeatureNotAvailable), the in-process bodies that the ring flush
// and the ring opener run answer 0, so that the rings are still written and
// opened as they are.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: calls may come from any connection's context; registered
// functions must allow that.
#ifndef OSTRAK_KEYDB_SIG_CHECK_SERVICES_H_
#define OSTRAK_KEYDB_SIG_CHECK_SERVICES_H_

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;

struct QOXSigCheckServices {
  // Checks one signature as a one-key set of its key would be checked,
  // looking for its signer in the signature's own database and then in
  // furtherDB (may be null); marks it tried and, when valid, checked.
  QOXError (*qoxCheckOneSig)(QOXKeyDBObj* sig, QOXKeyDB* furtherDB);
  // Recalculates trust and validity over a set (furtherDB may be null).
  QOXError (*QOXCalculateTrust)(QOXKeySet* set, QOXKeyDB* furtherDB);
  // The in-process body of the signature check of a set (without progress
  // events): signatures not yet tried, or all with checkAll; keys whose
  // records change go to changed when given.
  QOXError (*qoxCheckKeyRingSigs_internal)(QOXKeySet* set, QOXKeyDB* furtherDB, bool checkAll, QOXKeySet* changed);
  // The in-process trust propagation over a set at a time; keys whose
  // records change go to changed when given.
  QOXError (*qoxPropagateTrustInternal)(QOXKeySet* set, QOXKeyDB* furtherDB, QOXTime now, QOXKeySet* changed);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXSigCheckServices& qoxSigCheckServices();
const QOXSigCheckServices* qoxRegisterSigCheckServices(const QOXSigCheckServices* table);

#endif  // OSTRAK_KEYDB_SIG_CHECK_SERVICES_H_

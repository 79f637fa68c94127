// The stand-ins of signature checking and trust propagation
// (QOXSigCheckServices, keydb/sig_check_services.h), the answers of a
// program that does not wire: nothing is checked and trust is not
// recalculated. qoxKeyDBRegister installs trust propagation
// (keydb/trust_propagation.h).
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "keydb/sig_check_services.h"

namespace {

// -11975: the signature stays untried.
QOXError qoxCheckOneSig(QOXKeyDBObj*, QOXKeyDB*) { return kQOXErrFeatureNotAvailable; }

// -11975: trust stays as it was.
QOXError QOXCalculateTrust(QOXKeySet*, QOXKeyDB*) { return kQOXErrFeatureNotAvailable; }

// 0: nothing is checked; every signature stays as it was.
QOXError qoxCheckKeyRingSigs_internal(QOXKeySet*, QOXKeyDB*, bool, QOXKeySet*) { return kQOXErrNoErr; }

// 0: trust stays as it was.
QOXError qoxPropagateTrustInternal(QOXKeySet*, QOXKeyDB*, QOXTime, QOXKeySet*) { return kQOXErrNoErr; }

constexpr QOXSigCheckServices kStandIns = {
    .qoxCheckOneSig = qoxCheckOneSig,
    .QOXCalculateTrust = QOXCalculateTrust,
    .qoxCheckKeyRingSigs_internal = qoxCheckKeyRingSigs_internal,
    .qoxPropagateTrustInternal = qoxPropagateTrustInternal,
};

constinit QOXServiceSlot<QOXSigCheckServices> gSlot{&kStandIns};

}  // namespace

const QOXSigCheckServices& qoxSigCheckServices() { return gSlot.get(); }

const QOXSigCheckServices* qoxRegisterSigCheckServices(const QOXSigCheckServices* table) {
  return gSlot.install(table);
}

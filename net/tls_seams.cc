// The stand-ins of the TLS handshake drivers (QOXtlsHandshakeServices,
// net/tls_internal.h): until the drivers register their table, a handshake
// cannot run, and QOXtlsHandshake reports "feature not available"
// (kQOXErrFeatureNotAvailable) after sending a fatal internal_error alert.
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "net/tls_internal.h"

namespace {

// -11975.
QOXError qoxTLSClientHandshake(QOXtlsSession*) { return kQOXErrFeatureNotAvailable; }
QOXError qoxTLSServerHandshake(QOXtlsSession*) { return kQOXErrFeatureNotAvailable; }

constexpr QOXtlsHandshakeServices kStandIns = {
    .qoxTLSClientHandshake = qoxTLSClientHandshake,
    .qoxTLSServerHandshake = qoxTLSServerHandshake,
};

constinit QOXServiceSlot<QOXtlsHandshakeServices> gSlot{&kStandIns};

}  // namespace

const QOXtlsHandshakeServices& qoxTLSHandshakeServices() { return gSlot.get(); }

const QOXtlsHandshakeServices* qoxRegisterTLSHandshakeServices(const QOXtlsHandshakeServices* table) {
  return gSlot.install(table);
}

// The TLS engine's stand-in for the connection start: what the member of
// VuzizTLSServices (server/tls_services.h) answers while nothing is
// registered.
#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "server/error_log.h"
#include "server/tls_services.h"

namespace {

// No TLS context can be made: logs "Creating a TLS context failed with error
// kQOXErrFeatureNotAvailable (...)" and returns kQOXErrFeatureNotAvailable, so the secure connection is closed.
int vuzizStartTLS(Connection*) {
  char text[256];
  QOXGetErrorString(kQOXErrFeatureNotAvailable, sizeof text, text);
  LogError(kLogError, "Creating a TLS context failed with error %d (%s)", kQOXErrFeatureNotAvailable, text);
  return kQOXErrFeatureNotAvailable;
}

constexpr VuzizTLSServices kStandIns = {.vuzizStartTLS = vuzizStartTLS};

constinit QOXServiceSlot<VuzizTLSServices> gSlot{&kStandIns};

}  // namespace

const VuzizTLSServices& vuzizTLSServices() { return gSlot.get(); }

const VuzizTLSServices* vuzizRegisterTLSServices(const VuzizTLSServices* table) { return gSlot.install(table); }

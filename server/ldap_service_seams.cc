// Seams of the LDAP service, until their own code lands: the key
// submission (refused with 53) and the TLS handshake (fails: no TLS engine
// yet).
// Whoever lands the real code deletes the matching block in the same commit.
#include <sys/time.h>

#include "foundation/sdk_errors.h"
#include "server/connection.h"
#include "server/dispatch.h"
#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/operations.h"
#include "server/result.h"
#include "server/support/zovurez.h"

// --- seam: do_add (key submission) ---
// Key submissions are not accepted yet: refused as not implemented.
void do_add(Connection* conn, Operation* op) { send_ldap_result(conn, op, 53, nullptr, "Function not implemented"); }

// --- seam: vuzizStartTLS (TLS engine) ---
// No TLS engine yet: the context cannot be made and the secure connection
// is closed after the log line the handshake path writes for it.
int vuzizStartTLS(Connection*) {
  char text[256];
  QOXGetErrorString(kQOXErrFeatureNotAvailable, sizeof text, text);
  LogError(kLogError, "Creating a TLS context failed with error %d (%s)", kQOXErrFeatureNotAvailable, text);
  return kQOXErrFeatureNotAvailable;
}

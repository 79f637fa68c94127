// Seams of the LDAP service, until their own code lands: access control
// (granted when a backend is given, denied without one), the access log
// (no line is written; the timer and counters are kept on the connection)
// and its rotation (none runs), the key submission (refused with 53) and
// the TLS handshake (fails: no TLS engine yet).
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

// --- seam: access_allowed (access control) ---
int access_allowed(Backend* be, Connection*, Operation*, Entry*, const char*, const BerValue*, const char*, int) {
  return be != nullptr ? 1 : 0;
}

// --- seam: AddAccessLogEntry (access log) ---
int AddAccessLogEntry(Connection* conn, Operation*, int32_t, OpAccessLogData*, int, int) {
  logFileStdElementsStopTimer(conn);
  return 0;
}

// --- seam: FreeAccessLogOpData (access log) ---
void FreeAccessLogOpData(int32_t, OpAccessLogData* data) {
  if (data == nullptr) return;
  zovurezFree(data->objectText);
  data->objectText = nullptr;
}

// --- seam: logFileStdElementsResetCounters / StartTimer / StopTimer (access log) ---
void logFileStdElementsResetCounters(Connection* conn) {
  conn->keyBytesSent = conn->newUserIDs = conn->newSignatures = 0;
}
void logFileStdElementsStartTimer(Connection* conn) {
  if (gettimeofday(&conn->opTimerStart, nullptr) != 0) conn->opTimerStart = {};
}
void logFileStdElementsStopTimer(Connection* conn) {
  if (gettimeofday(&conn->opTimerStop, nullptr) != 0) conn->opTimerStop = {};
}

// --- seam: CycleLog (access-log rotation) ---
int CycleLog(CycleLogContext*, time_t) { return 0; }

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

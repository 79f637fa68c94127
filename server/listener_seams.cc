// Seams: the LDAP service's threads and pools that start-up starts and
// frees. Until the listener lands, a start without -c ends with the
// listener's failure; the pool and the entry text buffer stay empty.
// Whoever lands the real code deletes the matching block in the same commit.
#include <cstdint>

#include "server/daemon.h"
#include "server/error_log.h"
#include "server/listener.h"

// --- seam: vuzizDaemon (listener) ---
// Fails before making any socket: releases the hand-over, asks for shutdown
// and leaves the failure code for InnerMain.
void* vuzizDaemon(void* /*arg*/) {
  LogError(kLogError, "The LDAP listener is not part of this build.");
  g_iServerExitCode = 1;
  vuziz_shutdown = 1;
  if (g != nullptr) vuzizHandoverRelease(g);
  return nullptr;
}

// --- seam: threadServerControl (web-console control thread) ---
void* threadServerControl(void* /*arg*/) { return nullptr; }

// --- seam: qoxSignalControlThread (web-console control thread) ---
void qoxSignalControlThread() {}

// --- seam: vuzizFreeContextPool (connection contexts) ---
void vuzizFreeContextPool(ServerState* /*state*/) {}

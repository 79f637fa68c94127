// Start-up and clean-up of the network library as a unit.
//
// The first start starts the toolkit unless something else did it before;
// the last clean-up stops it only when this library started it. The counts
// are taken under their own mutex (start-up normally runs on one thread).
#include <mutex>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/errors.h"
#include "net/sockets.h"

namespace {

std::mutex g_netLibMutex;
uint32_t g_netLibUseCount = 0;        // guarded by g_netLibMutex
bool g_netLibStartedToolkit = false;  // guarded by g_netLibMutex

QOXError CleanupLocked() {
  if (g_netLibUseCount == 0) return kQOXErrBadParams;
  if (--g_netLibUseCount == 0 && g_netLibStartedToolkit) {
    g_netLibStartedToolkit = false;
    QOXsdkCleanup();
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXError QOXsdkNetworkLibInit() {
  std::lock_guard<std::mutex> guard(g_netLibMutex);
  if (g_netLibUseCount == 0) {
    QOXError err = QOXsdkInit(0);
    if (err != kQOXErrNoErr) return err;
    g_netLibStartedToolkit = true;
  }
  ++g_netLibUseCount;
  return kQOXErrNoErr;
}

QOXError QOXsdkNetworkLibCleanup() {
  std::lock_guard<std::mutex> guard(g_netLibMutex);
  return CleanupLocked();
}

QOXError qoxForceSDKNetworkLibCleanup() {
  std::lock_guard<std::mutex> guard(g_netLibMutex);
  if (g_netLibUseCount != 0) g_netLibUseCount = 1;
  return CleanupLocked();
}

// ServerState: defaults, release between passes, and the start-up hand-over.
#include "server/server_state.h"

#include <unistd.h>

#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "server/key_submission_services.h"
#include "server/access_rules.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/listener.h"
#include "server/log_rotation.h"
#include "server/support/zovurez.h"

ServerState* g = nullptr;

namespace {

// Set once the first pass has initialised the record; the initial thread
// alone reads and writes it.
bool gFirstPassDone = false;

template <typename F>
void ForEachMutex(ServerState* s, F f) {
  QOXMutex* all[] = {&s->mutexConnTable,  &s->mutexSentStats,   &s->mutexOpCounters,  &s->mutexRegex,
                     &s->mutexPoolCreate, &s->mutexCurrentTime, &s->mutexThreadCount, &s->mutexOpsRunning,
                     &s->mutexRepLog,     &s->mutexPool,        &s->mutexAccessLog,   &s->mutexTimeFormat,
                     &s->mutexHandover,   &s->mutexTimeConvert};
  for (QOXMutex* m : all) f(m);
}

void FreeKeyIDList(KeyIDNode* node) {
  while (node != nullptr) {
    KeyIDNode* next = node->next;
    zovurezFree(node);
    node = next;
  }
}

void FreeGroups(KeyIDNode** groups) {
  if (groups == nullptr) return;
  for (int i = 0; i <= kMaxSigIDGroups; ++i) FreeKeyIDList(groups[i]);
  zovurezFree(groups);
}

}  // namespace

int vuzizInitGlobals(ServerState** state) {
  bool first = !gFirstPassDone;
  vuzizTrace(kTraceEntryExit, first ? "=> vuzizInitGlobals (Initial Pass)\n"
                                    : "=> vuzizInitGlobals (After a Restart)\n");
  if (first || *state == nullptr) {
    g_timeStart = time(nullptr);
    ServerState* fresh = static_cast<ServerState*>(zovurezCalloc(1, sizeof(ServerState)));
    if (fresh == nullptr) return 1;
    QOXMutexGuard guard(&g_mutexSignalRelay);  // the signal relay reads `g`
    *state = fresh;
    first = true;
  }
  ServerState* s = *state;
  // Fields kept across a restart.
  int32_t secureMode = s->SecureMode;
  int32_t accessLogFormat = s->AccessLogFormat;
  char* publicRing = s->PublicKeyRing;
  char* privateRing = s->PrivateKeyRing;
  char* passphrase = s->tlsPassphrase;
  memset(s, 0, sizeof *s);
  s->SecureMode = first ? kSecureDisabled : secureMode;
  s->AccessLogFormat = first ? 1 : accessLogFormat;
  s->PublicKeyRing = first ? nullptr : publicRing;
  s->PrivateKeyRing = first ? nullptr : privateRing;
  s->tlsPassphrase = first ? nullptr : passphrase;

  s->verifySignatures = 1;
  s->DefaultAccess = 16;
  s->AccessLogDetails = 248;
  s->accessLogMode = 0666;
  s->LogLevel = 4;
  s->PolicyFailures = 1;
  s->IndexMethod = 1;
  s->substringIndex = 1;
  s->IdleSyncTimeout = 10;
  s->accessLogFd = -2;
  s->Port = 389;
  s->SecurePort = 636;
  s->highestSlot = -1;
  s->SizeLimit = 500;
  s->TimeLimit = 300;
  s->LookupHostname = 1;
  s->serverEnabled = 1;
  s->accessLogPagesAvailable = 1;
  s->CycleLogDay = 8;
  s->CycleLogTime = 1439;
  s->CycleLogKeep = 10;
  s->AcceptReconstructionData = 1;
  s->removeFromPending = 1;
  s->ForceSyncOnWrite = 1;
  s->userID = getuid();
  s->groupID = getgid();

  s->MustSigID = static_cast<KeyIDNode**>(zovurezCalloc(kMaxSigIDGroups + 1, sizeof(KeyIDNode*)));
  s->AllowSigID = static_cast<KeyIDNode**>(zovurezCalloc(kMaxSigIDGroups + 1, sizeof(KeyIDNode*)));
  ForEachMutex(s, [](QOXMutex* m) { QOXMutexCreate(m, nullptr); });
  QOXCondCreate(&s->handover.cond, nullptr);
  gFirstPassDone = true;
  if (s->MustSigID == nullptr || s->AllowSigID == nullptr) {
    vuzizReleaseGlobals(state, 0);
    return 1;
  }
  QOXError err = vuzizKeySubmissionServices().IsRSASupported(&s->rsaSupported);
  if (err != kQOXErrNoErr) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError, "Invalid QOX SDK.  Error %d (%s).", err, text);
    vuzizReleaseGlobals(state, 0);
    return 1;
  }
  return 0;
}

void vuzizReleaseGlobals(ServerState** state, int reset) {
  ServerState* s = *state;
  if (s == nullptr) return;
  zovurezFree(s->RepLogFile);
  s->RepLogFile = nullptr;
  zovurezFree(s->AccessLogFile);
  s->AccessLogFile = nullptr;
  zovurezFree(s->eventLogFile);
  s->eventLogFile = nullptr;
  if (!reset) {
    zovurezFree(s->PublicKeyRing);
    zovurezFree(s->PrivateKeyRing);
    s->PublicKeyRing = s->PrivateKeyRing = nullptr;
  }
  zovurezFree(s->RandSeedFile);
  s->RandSeedFile = nullptr;
  if (!g_bHUPReceived && s->tlsPassphrase != nullptr) {
    memset(s->tlsPassphrase, 0, strlen(s->tlsPassphrase));
    QOXFreeData(s->tlsPassphrase);
    s->tlsPassphrase = nullptr;
  }
  zovurezFree(s->tlsKeyID);
  s->tlsKeyID = nullptr;
  zovurezFree(s->controlFifoName);
  s->controlFifoName = nullptr;
  zovurezFree(s->AdminUsername);
  zovurezFree(s->AdminPassword);
  s->AdminUsername = s->AdminPassword = nullptr;
  FreeCycleLogContext(s->cycleLogContext);
  s->cycleLogContext = nullptr;
  FreeGroups(s->MustSigID);
  FreeGroups(s->AllowSigID);
  s->MustSigID = s->AllowSigID = nullptr;
  FreeKeyIDList(s->addKeyIDs);
  FreeKeyIDList(s->deleteKeyIDs);
  FreeKeyIDList(s->adminKeyIDs);
  s->addKeyIDs = s->deleteKeyIDs = s->adminKeyIDs = nullptr;
  FreeAccessCtrlList(s->accessRules);
  s->accessRules = nullptr;
  // Descriptor 0 is a valid descriptor too (standard input is closed once
  // the process has detached).
  if (s->accessLogFd >= 0) close(s->accessLogFd);
  s->accessLogFd = -2;
  if (s->accessLogPageStream != nullptr) fclose(s->accessLogPageStream);
  s->accessLogPageStream = nullptr;
  for (int i = 0; i < 3; ++i) {
    if (s->policyKeyDBs[i] != nullptr) qoxKeyDBServices().QOXFreeKeyDB(s->policyKeyDBs[i]);
    s->policyKeyDBs[i] = nullptr;
    s->policyKeySets[i] = nullptr;
  }
  if (s->tlsKeyDB != nullptr) qoxKeyDBServices().QOXFreeKeyDB(s->tlsKeyDB);
  s->tlsKeyDB = nullptr;
  vuzizFreeContextPool(s);
  ForEachMutex(s, [](QOXMutex* m) { QOXMutexDestroy(m); });
  QOXCondDestroy(&s->handover.cond);
  zovurezFree(s->configFile);
  s->configFile = nullptr;
  zovurezFree(s->User);
  s->User = nullptr;
  if (s->context != nullptr) QOXFreeContext(s->context);
  s->context = nullptr;
  {
    QOXMutexGuard guard(&g_mutexSignalRelay);
    qoxFreeSocketEvent(s->listenerWakeEvent);
    s->listenerWakeEvent = nullptr;
  }
  vuzizKeySubmissionServices().ReleaseRepLog();
  if (!reset) {
    QOXMutexGuard guard(&g_mutexSignalRelay);
    zovurezFree(s);
    *state = nullptr;
  }
}

void vuzizHandoverArm(ServerState* state) {
  QOXMutexGuard guard(&state->mutexHandover);
  state->handover.released = false;
}

void vuzizHandoverRelease(ServerState* state) {
  QOXMutexGuard guard(&state->mutexHandover);
  state->handover.released = true;
  QOXCondBroadcast(&state->handover.cond);
}

void vuzizHandoverWait(ServerState* state) {
  QOXMutexGuard guard(&state->mutexHandover);
  while (!state->handover.released) QOXCondWait(&state->handover.cond, &state->mutexHandover);
}

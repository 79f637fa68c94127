// ServerState: the daemon's settings, counters, lists, thread handles and
// mutexes in one record, reached through the global pointer `g`.
//
// The record is made by the first pass of InnerMain (vuzizInitGlobals) and
// reused by every restart; vuzizReleaseGlobals frees what it owns between
// passes (keeping the record, the key-ring paths and the TLS passphrase when
// a restart follows). Configuration values are written only by the initial
// thread while no server thread runs; afterwards they are read-only.
//
// Locks (each guards what its comment names). Order, outermost first:
// mutexAccessLog before mutexTimeFormat, mutexTimeConvert and mutexRegex;
// mutexOpCounters before the entry cache's own mutex; no other mutex of the
// record is held while another is taken. g_mutexSignalRelay (server/daemon.h)
// is taken alone.
#ifndef OSTRAK_SERVER_SERVER_STATE_H_
#define OSTRAK_SERVER_SERVER_STATE_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "foundation/keydb_services.h"
#include "foundation/threads.h"
#include "server/backend_ops.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeySet;
struct AccessAllow;      // server/access_rules.h
struct SocketEvent;      // server/support/zovurez.h
struct CycleLogContext;  // server/log_rotation.h
struct ContextPoolEntry; // the connection contexts' pool (listener)

// Backend record: the one directory backend "ldbm" behind its entry points.
struct Backend {
  int32_t readOnly;      // 1: the backend refuses changes
  char** replicaURLs;    // null-terminated, owned
  int32_t replicaURLCount;
  char** replicaAddresses;  // dotted IPv4, null-terminated, owned
  int32_t replicaAddressCount;
  // Read by key submission and the replication log: the DN allowed to send
  // updates (none by default), the replication-loop list of clients whose
  // changes are not logged again, and the backend's own replication log
  // (none: ServerState's RepLogFile is used). All owned.
  char* updateDN;
  char** replicationLoops;  // null-terminated
  int32_t replicationLoopCount;
  char* repLogFile;
  const char* type;      // "ldbm"
  void* privateData;     // the backend's own record (its init sets it)
  // Entry points (bind ... release), copied from the backend's registration
  // by new_backend; all null for a type that has none.
  BackendOps ops;
};

// A node of a key-ID list: the hexadecimal digits without "0x".
struct KeyIDNode {
  char keyID[20];
  KeyIDNode* next;
};

inline constexpr int kMaxSigIDGroups = 100;

// SecureMode values.
inline constexpr int32_t kSecureRequired = 0;
inline constexpr int32_t kSecureOptional = 1;
inline constexpr int32_t kSecureDisabled = 2;

// The start-up hand-over: the listener tells the initial thread that it has
// taken the database lock, made its sockets and switched identity (or has
// failed). A one-shot event under mutexHandover.
struct StartupHandover {
  QOXCond cond;
  bool released;  // guarded by mutexHandover
};

struct ServerState {
  uint8_t verifySignatures;
  QOXContext* context;
  int32_t DefaultAccess;
  int32_t AccessLogDetails;
  int32_t accessLogMode;
  int32_t LogLevel;
  int32_t PolicyFailures;
  int32_t IndexMethod;
  int32_t substringIndex;
  int32_t IdleSyncTimeout;
  char* RepLogFile;
  KeyIDNode** MustSigID;   // 101 list heads, the last always empty
  KeyIDNode** AllowSigID;  // likewise
  int32_t TrimSigs;
  int32_t TrimUsers;
  int32_t TrimPhotoIDs;
  KeyIDNode* addKeyIDs;
  KeyIDNode* deleteKeyIDs;
  KeyIDNode* adminKeyIDs;
  int32_t MustSignAdds;
  AccessAllow* accessRules;
  char* AccessLogFile;
  char* eventLogFile;
  int accessLogFd;  // -2 not opened yet, -1 failed; guarded by mutexAccessLog
  QOXKeyDB* policyKeyDBs[3];   // signature-policy, add, delete keys
  QOXKeySet* policyKeySets[3];
  uint32_t currentTime;  // guarded by mutexCurrentTime
  int32_t tzOffset;
  int32_t connectionThreads;  // guarded by mutexThreadCount
  int32_t operationsRunning;  // guarded by mutexOpsRunning
  QOXThread listenerThread;
  bool listenerRunning;
  QOXThread controlThread;
  bool controlRunning;
  // Set by the listener, before it hands over, once it listens on its
  // sockets; the control thread (which makes the console's FIFO) starts
  // only then, so a server that could not take its port touches nothing of
  // a server that serves it.
  bool listenerReady;  // written before the hand-over mutex is released
  char* controlFifoName;
  QOXThreadAttr threadAttr;
  int32_t Port;
  int32_t SecurePort;
  uint32_t debugLevel;
  int32_t connTableSize;
  int32_t highestSlot;  // guarded by mutexConnTable
  int32_t backendCount;
  int32_t backendCapacity;
  Backend* backends;
  int32_t SizeLimit;
  int32_t TimeLimit;
  char* PublicKeyRing;
  char* PrivateKeyRing;
  int32_t SecureMode;
  QOXKeyID* tlsKeyID;
  char* tlsPassphrase;
  SocketEvent* listenerWakeEvent;  // published under g_mutexSignalRelay
  QOXKeyDB* tlsKeyDB;
  uint8_t deleteSelf;
  uint8_t rsaSupported;
  uint8_t LookupHostname;
  uint8_t serverEnabled;
  FILE* accessLogPageStream;
  uint8_t accessLogPagesAvailable;
  char* AdminUsername;
  char* AdminPassword;
  int32_t AccessLogFormat;
  CycleLogContext* cycleLogContext;
  int32_t CycleLogDay;
  int32_t CycleLogTime;
  int32_t CycleLogKeep;
  char* RandSeedFile;
  QOXKeyID ServerSecureKeyID;
  // Statistics: operations initiated, completed, entries sent, connection
  // counter, bytes sent (mutexOpCounters and mutexSentStats).
  uint32_t statOpsInitiated;
  uint32_t statOpsCompleted;
  uint32_t statEntriesSent;
  uint32_t statConnections;
  uint32_t statBytesSent;
  uint8_t AcceptReconstructionData;
  uint8_t removeFromPending;
  uint8_t ForceSyncOnWrite;
  char* User;
  uid_t userID;
  gid_t groupID;
  char* configFile;
  ContextPoolEntry* contextPool;  // guarded by mutexPool
  // The fourteen mutexes, in order.
  QOXMutex mutexConnTable;
  QOXMutex mutexSentStats;
  QOXMutex mutexOpCounters;
  QOXMutex mutexRegex;
  QOXMutex mutexPoolCreate;
  QOXMutex mutexCurrentTime;
  QOXMutex mutexThreadCount;
  QOXMutex mutexOpsRunning;
  QOXMutex mutexRepLog;
  QOXMutex mutexPool;
  QOXMutex mutexAccessLog;
  QOXMutex mutexTimeFormat;
  QOXMutex mutexHandover;
  QOXMutex mutexTimeConvert;
  StartupHandover handover;
};

extern ServerState* g;

// 0, or 1 when memory or the toolkit query fails (the record is released).
int vuzizInitGlobals(ServerState** state);
// Frees what the record owns; reset 0 also frees the record and clears it.
void vuzizReleaseGlobals(ServerState** state, int reset);

// Start-up hand-over (see StartupHandover): the initial thread arms it
// before starting the listener and waits; the listener releases it once.
void vuzizHandoverArm(ServerState* state);
void vuzizHandoverRelease(ServerState* state);
void vuzizHandoverWait(ServerState* state);

#endif  // OSTRAK_SERVER_SERVER_STATE_H_

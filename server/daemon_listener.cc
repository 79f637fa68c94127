// The listener thread: the connection table, the listening sockets, the
// accept path, the idle database flush, log rotation checks and the
// ordered shutdown; the connection threads' bodies; the context pool.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <climits>
#include <ctime>
#include <string>

#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_lookup.h"
#include "net/ldap_protocol.h"
#include "net/sockets.h"
#include "net/tls_session.h"
#include "server/backend.h"
#include "server/connection.h"
#include "server/connection_threads.h"
#include "server/daemon.h"
#include "server/dispatch.h"
#include "server/error_log.h"
#include "server/key_submission_services.h"
#include "server/ldap_service_calls.h"
#include "server/listener.h"
#include "server/log_rotation.h"
#include "server/log_throttle.h"
#include "server/result.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

Connection* vuzizConnTable = nullptr;
int32_t vuzizConnTableSize = 0;

namespace {

// The listening sockets are made once per process and outlive restarts.
int gPlainSocket = -1;
int gSecureSocket = -1;

// Upper bound of the connection table, whatever the descriptor limit says.
constexpr int32_t kMaxConnections = 4096;
// Descriptors kept out of the table for the server's own files (logs, the
// console's pipes, database files opened as requests need them), so that a
// free slot can always take an accepted socket.
constexpr int64_t kDescriptorReserve = 32;
// One client address holds at most this part of the table (a quarter).
constexpr int32_t kAddressShareDivisor = 4;
// When fewer slots than this part of the table (at least 2) are left free
// by an accept, the oldest idle unbound connection is closed.
constexpr int32_t kEvictionDivisor = 16;

// Refusals that a client can repeat at will, logged at most once a minute
// (per client address; one key for a full table).
LogThrottle gRefusalLog;
constexpr uint64_t kTableFullKey = 1ull << 32;

// The suite without encryption.
constexpr uint32_t kAuthenticationOnlySuite = 8;

void LogWithText(int level, const char* format, int code) {
  char text[256];
  QOXGetErrorString(code, sizeof text, text);
  LogError(level, format, code, text);
}

// The client's wait in seconds: max(300, 2 x TimeLimit), in 64-bit
// arithmetic, as milliseconds for the sockets layer.
int32_t ClientWaitMs() {
  const int64_t ms = std::max<int64_t>(300, 2 * static_cast<int64_t>(g->TimeLimit)) * 1000;
  return static_cast<int32_t>(std::min<int64_t>(ms, INT32_MAX));
}

// Step 2 of a secure connection: a TLS context and session in the
// connection's toolkit context, server side asking for the client's key,
// the server's key with the start-up passphrase, the handshake through the
// sockets layer, the daemon's receive, the client's key and the suite.
// False after a logged failure (the connection is then closed).
bool StartTLS(Connection* c) {
  QOXError err = QOXNewTLSContext(c->context, &c->tlsContext);
  if (err != kQOXErrNoErr) {
    LogWithText(kLogError, "Creating a TLS context failed with error %d (%s)", err);
    return false;
  }
  if ((err = QOXNewTLSSession(c->tlsContext, &c->tlsSession)) != kQOXErrNoErr) {
    LogWithText(kLogError, "Creating a TLS session failed with error %d (%s)", err);
    return false;
  }
  if ((err = QOXtlsSetProtocolOptions(c->tlsSession, kQOXtlsProtocolOption_ServerSide |
                                                         kQOXtlsProtocolOption_RequestClientCert)) != kQOXErrNoErr) {
    LogWithText(kLogError, "Setting TLS options failed with error %d (%s)", err);
    return false;
  }
  QOXOptionListRef passphrase =
      g->tlsPassphrase != nullptr ? QOXOPassphrase(c->context, g->tlsPassphrase) : kQOXNullOptionList;
  err = qoxOptionListIsReal(passphrase) || passphrase == kQOXNullOptionList ? kQOXErrNoErr : kQOXErrOutOfMemory;
  if (err == kQOXErrNoErr)
    err = QOXtlsSetLocalPrivateKey(c->tlsSession, c->serverTLSKey, nullptr,
                                   qoxOptionListIsReal(passphrase) ? passphrase : kQOXNullOptionList);
  if (qoxOptionListIsReal(passphrase)) qoxFreeOptionList(passphrase);
  if (err != kQOXErrNoErr) {
    LogWithText(kLogError, "Setting the TLS private key failed with error %d (%s)", err);
    return false;
  }
  if ((err = QOXSocketsEstablishTLSSession(c->socket, c->tlsSession)) != kQOXErrNoErr) {
    LogWithText(kLogWarning, "Establishing a TLS connection failed with error %d (%s)", err);
    return false;
  }
  QOXtlsSetReceiveCallback(c->tlsSession, QOXSocketsTLSReceiveWithSelect, c->socket);
  if ((err = QOXtlsGetRemoteAuthenticatedKey(c->tlsSession, &c->clientKey, nullptr)) != kQOXErrNoErr) {
    LogWithText(kLogWarning, "Getting client TLS key failed with error %d (%s)", err);
    return false;
  }
  uint32_t suite = 0;
  QOXtlsGetNegotiatedCipherSuite(c->tlsSession, &suite);
  if (suite == kAuthenticationOnlySuite)
    LogError(kLogVerbose, "Negotiated authentication-only cipher suite number %d", static_cast<int>(suite));
  else
    LogError(kLogVerbose, "Negotiated cipher suite number %d", static_cast<int>(suite));
  return true;
}

// Descriptors the process has open now.
int64_t OpenDescriptors(int64_t limit) {
  int64_t open = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++open;
    closedir(d);
    return open - 1;  // the directory's own descriptor
  }
  for (int64_t fd = 0; fd < limit && fd < 65536; ++fd)
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
  return open;
}

// The table has as many slots as the process can still open descriptors
// for clients: the descriptor limit less those open now and a reserve.
int32_t ConnectionLimit() {
  struct rlimit rl {};
  int64_t limit = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) limit = static_cast<int64_t>(rl.rlim_cur);
  const int64_t usable = limit - OpenDescriptors(limit) - kDescriptorReserve;
  return static_cast<int32_t>(std::clamp<int64_t>(usable, 16, kMaxConnections));
}

// Connections of one client address that the table holds. Table mutex held.
int32_t AddressConnections(const Connection* table, uint32_t address) {
  int32_t n = 0;
  for (int32_t i = 0; i <= g->highestSlot && i < vuzizConnTableSize; ++i)
    if (table[i].socket != -1 && !table[i].evicted && table[i].peerAddress == address) ++n;
  return n;
}

int32_t AddressShare() { return std::max(1, vuzizConnTableSize / kAddressShareDivisor); }

std::string DottedAddress(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "unknown";
  struct in_addr a {};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// When fewer slots than the reserve are free (after the accept into
// `taken`, or with the table full: taken -1), shuts down the oldest
// connection that is idle (no operation in progress) and unbound; its thread
// then closes it. True when, with the table full, a slot is on its way to
// being free (a connection was shut down now or before). Table mutex held.
bool MakeRoom(Connection* table, int32_t taken) {
  int32_t freeSlots = 0;
  int32_t closing = 0;
  for (int32_t i = 0; i < vuzizConnTableSize; ++i) {
    if (table[i].socket == -1)
      ++freeSlots;
    else if (table[i].evicted)
      ++closing;
  }
  const int32_t reserve = std::max(2, vuzizConnTableSize / kEvictionDivisor);
  if (freeSlots + closing >= reserve) return closing > 0;
  int32_t victim = -1;
  uint32_t oldest = 0;
  for (int32_t i = 0; i <= g->highestSlot && i < vuzizConnTableSize; ++i) {
    Connection* c = &table[i];
    if (i == taken || c->socket == -1 || c->evicted) continue;
    {
      QOXMutexGuard dn(&c->dnMutex);
      if (c->boundDN != nullptr) continue;
    }
    {
      QOXMutexGuard ops(&c->opMutex);
      if (c->operations != nullptr) continue;
    }
    uint32_t last;
    {
      QOXMutexGuard activity(&c->activityMutex);
      last = c->lastActivity;
    }
    // The oldest activity; within one second, the earliest accepted.
    if (victim == -1 || last < oldest || (last == oldest && c->connNumber < table[victim].connNumber)) {
      victim = i;
      oldest = last;
    }
  }
  if (victim == -1) return closing > 0;
  Connection* c = &table[victim];
  LogError(kLogInfo, "Closing idle connection %d from %s to make room for new connections.", c->connNumber,
           c->clientAddress != nullptr ? c->clientAddress : "unknown");
  c->evicted = true;
  // Its thread, reading the socket, sees the end and closes the connection.
  if (shutdown(c->socket, SHUT_RDWR) != 0)
    LogError(kLogInfo, "Shutting down client connection failed with error %d\n", errno);
  return true;
}

bool MakeTable(int32_t size) {
  auto* table = static_cast<Connection*>(zovurezCalloc(static_cast<size_t>(size), sizeof(Connection)));
  if (table == nullptr) return false;
  for (int32_t i = 0; i < size; ++i) {
    Connection* c = &table[i];
    c->socket = -1;
    if (QOXMutexCreate(&c->dnMutex, nullptr) != 0 || QOXMutexCreate(&c->opMutex, nullptr) != 0 ||
        QOXMutexCreate(&c->activityMutex, nullptr) != 0) {
      LogError(kLogError, "Memory allocation error.");
    }
    c->mutexesMade = true;
  }
  QOXMutexGuard guard(&g->mutexConnTable);
  vuzizConnTable = table;
  vuzizConnTableSize = size;
  g->connTableSize = size;
  g->highestSlot = -1;
  return true;
}

void FreeTable() {
  Connection* table;
  int32_t size;
  {
    QOXMutexGuard guard(&g->mutexConnTable);
    table = vuzizConnTable;
    size = vuzizConnTableSize;
    vuzizConnTable = nullptr;
    vuzizConnTableSize = 0;
  }
  if (table == nullptr) return;
  for (int32_t i = 0; i < size; ++i) {
    Connection* c = &table[i];
    zovurezFree(c->clientAddress);
    zovurezFree(c->clientHostName);
    zovurezFree(c->boundDN);
    zovurezFree(c->boundCredentials);
    vuzizFreeAnswers(c);
    if (c->context != nullptr) ReleaseQOXSDKCtx(c->context, c->keyDBs, c->tlsKeyDB, c->serverTLSKey);
    if (c->mutexesMade) {
      QOXMutexDestroy(&c->dnMutex);
      QOXMutexDestroy(&c->opMutex);
      QOXMutexDestroy(&c->activityMutex);
    }
  }
  zovurezFree(table);
}

// Lowers the highest slot in use after a slot was freed. Table mutex held.
void LowerHighestSlot() {
  if (g->highestSlot < 0 || vuzizConnTable[g->highestSlot].socket != -1) return;
  int32_t i = g->highestSlot;
  while (i >= 0 && vuzizConnTable[i].socket == -1) --i;
  g->highestSlot = i;
}

void AddToCounter(QOXMutex* mutex, int32_t* counter, int32_t delta) {
  QOXMutexGuard guard(mutex);
  *counter += delta;
}

int32_t ReadCounter(QOXMutex* mutex, const int32_t* counter) {
  QOXMutexGuard guard(mutex);
  return *counter;
}

void PublishWakeEvent(SocketEvent* event) {
  QOXMutexGuard guard(&g_mutexSignalRelay);
  g->listenerWakeEvent = event;
}

// Accepts and drops one pending connection (disabled server, full table).
void AcceptAndClose(int listenSocket) {
  int s = QOXAccept(listenSocket, nullptr, nullptr);
  if (s < 0) {
    LogWithText(kLogInfo, "TCP/IP accept failed with error %d (%s)", QOXGetLastSocketsError());
    return;
  }
  close(s);
}

using SteadyClock = std::chrono::steady_clock;

// The wait of one listener iteration; while the listening sockets rest
// (backoff), the time left of the rest.
struct timeval* WaitTime(bool synced, bool backoff, SteadyClock::time_point backoffUntil, struct timeval* tv) {
  if (backoff) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(backoffUntil - SteadyClock::now()).count();
    if (left < 0) left = 0;
    tv->tv_sec = static_cast<time_t>(left / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(left % 1000000);
    return tv;
  }
  if (g->IdleSyncTimeout != 0 && !synced) {
    tv->tv_sec = g->IdleSyncTimeout;
  } else if (g->CycleLogDay == 8) {
    return nullptr;
  } else {
    tv->tv_sec = 60;
  }
  tv->tv_usec = 0;
  return tv;
}

void ShutdownConnections() {
  {
    int32_t running = ReadCounter(&g->mutexOpsRunning, &g->operationsRunning);
    LogError(kLogVerbose, "Waiting for %d operations to complete.", running);
    while (ReadCounter(&g->mutexOpsRunning, &g->operationsRunning) > 0) {
      QOXThreadYield();
      Delay(100);
    }
  }
  if (ReadCounter(&g->mutexThreadCount, &g->connectionThreads) > 0) {
    Delay(100);
    int32_t highest;
    {
      QOXMutexGuard guard(&g->mutexConnTable);
      highest = g->highestSlot;
    }
    for (int32_t i = highest; i >= 0; --i) {
      int32_t number;
      {
        QOXMutexGuard guard(&g->mutexConnTable);
        number = vuzizConnTable[i].connNumber;
      }
      CloseConnection(i, number, kCloseShutdown);
    }
  }
  LogError(kLogVerbose, "Waiting for %d threads to terminate.",
           ReadCounter(&g->mutexThreadCount, &g->connectionThreads));
  while (ReadCounter(&g->mutexThreadCount, &g->connectionThreads) > 0) {
    QOXThreadYield();
    Delay(100);
  }
}

}  // namespace

int CreateDaemonSocket(int port, int /*secure*/, int* descriptor) {
  *descriptor = -1;
  ostrak::ScopedDescriptor owner(QOXOpenSocket(AF_INET, SOCK_STREAM, 0));
  const int s = owner.get();
  if (s < 0) {
    QOXError err = QOXGetLastSocketsError();
    LogWithText(kLogError, "Creating socket failed with error %d (%s)", err);
    return err;
  }
  int on = 1;
  if (QOXSetSocketOptions(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    QOXError err = QOXGetLastSocketsError();
    LogWithText(kLogError, "Setting socket option failed with error %d (%s)", err);
    return err;
  }
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (QOXBindSocket(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    QOXError err = QOXGetLastSocketsError();
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogError,
             "Binding to port %hu failed with error %d (%s)\nAnother server may already be running on that port.\n",
             static_cast<unsigned short>(port), err, text);
    return err;
  }
  // The kernel's largest queue: a short one drops the handshakes of clients
  // that connect together, and they wait for their SYN to be sent again.
  if (QOXListen(s, SOMAXCONN) != 0) {
    QOXError err = QOXGetLastSocketsError();
    LogWithText(kLogError, "Listening on socket failed with error %d (%s)", err);
    return err;
  }
  *descriptor = owner.release();
  return 0;
}

int AddNewConnection(Connection* table, int listenSocket, int secure, uint32_t now, int32_t* outSlot) {
  QOXMutexGuard guard(&g->mutexConnTable);
  if (!g->serverEnabled) {
    AcceptAndClose(listenSocket);
    LogError(kLogWarning, "Connection refused, daemon disabled!");
    return 1;
  }
  int32_t slot = 0;
  while (slot < vuzizConnTableSize && table[slot].socket != -1) ++slot;
  if (slot == vuzizConnTableSize && MakeRoom(table, -1)) {
    // A slot is being freed: the connection stays queued until it is.
    return 3;
  }
  if (slot == vuzizConnTableSize) {
    // Taking the pending connection off the queue keeps the listening
    // socket from staying readable (and the listener from spinning).
    int64_t held = 0;
    if (gRefusalLog.Due(kTableFullKey, now, &held))
      LogError(kLogWarning, "Exceeded maximum number of connections (%d).  New connection rejected. ",
               vuzizConnTableSize);
    AcceptAndClose(listenSocket);
    return 1;
  }
  struct sockaddr_in peer {};
  socklen_t peerLength = sizeof peer;
  int s = QOXAccept(listenSocket, reinterpret_cast<struct sockaddr*>(&peer), &peerLength);
  if (s < 0) {
    LogWithText(kLogInfo, "TCP/IP accept failed with error %d (%s)", QOXGetLastSocketsError());
    return 2;
  }
  // One address may hold only its share of the table: one client opening
  // connections and keeping them idle cannot lock the others out.
  const uint32_t address = peer.sin_addr.s_addr;
  if (AddressConnections(table, address) >= AddressShare()) {
    close(s);
    int64_t held = 0;
    if (gRefusalLog.Due(address, now, &held))
      LogError(kLogWarning,
               "Exceeded maximum number of connections (%d) from %s.  New connection rejected (%lld more since "
               "the last message).",
               static_cast<int>(AddressShare()), DottedAddress(address).c_str(), static_cast<long long>(held));
    return 1;
  }
  LogError(kLogVerbose, "New connection on socket %d.", s);
  // Answers go out at once: with Nagle's algorithm a write that follows an
  // unacknowledged one waits for the client's delayed acknowledgement.
  int on = 1;
  if (QOXSetSocketOptions(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
    LogWithText(kLogVerbose, "Setting socket option failed with error %d (%s)", QOXGetLastSocketsError());
  Connection* c = &table[slot];
  c->socket = s;
  c->peerAddress = address;
  c->evicted = false;
  if (slot > g->highestSlot) g->highestSlot = slot;
  zovurezFree(c->clientAddress);
  zovurezFree(c->clientHostName);
  c->clientAddress = c->clientHostName = nullptr;
  {
    QOXMutexGuard dnGuard(&c->dnMutex);
    zovurezFree(c->boundDN);
    zovurezFree(c->boundCredentials);
    c->boundDN = c->boundCredentials = nullptr;
  }
  {
    QOXMutexGuard counters(&g->mutexOpCounters);
    c->connNumber = static_cast<int32_t>(g->statConnections++);
  }
  GetClientAddrInfo(nullptr, &peer, g->LookupHostname, &c->clientAddress, &c->clientHostName);
  c->entropy ^= peer.sin_addr.s_addr;
  c->reconstructionBind = c->adminBind = c->changedKeyData = 0;
  if (g->LookupHostname)
    LogError(kLogVerbose, "New connection from %s (%s) on %d.", c->clientAddress ? c->clientAddress : "unknown",
             c->clientHostName ? c->clientHostName : "unknown", s);
  else
    LogError(kLogVerbose, "New connection from %s on %d.", c->clientAddress ? c->clientAddress : "unknown", s);
  c->startTime = now;
  {
    QOXMutexGuard activity(&c->activityMutex);
    c->lastActivity = now;
  }
  {
    QOXMutexGuard ops(&c->opMutex);
    c->opsInitiated = c->opsCompleted = 0;
  }
  c->secure = secure;
  *outSlot = slot;
  MakeRoom(table, slot);
  return 0;
}

void LaunchConnectionThread(int32_t slot) {
  // Counted before the start so that shutdown never misses a thread.
  AddToCounter(&g->mutexThreadCount, &g->connectionThreads, 1);
  if (!vuzizStartConnectionThread(slot)) {
    AddToCounter(&g->mutexThreadCount, &g->connectionThreads, -1);
    CloseConnection(slot, vuzizConnTable[slot].connNumber, kCloseNormal);
  }
}

void CloseConnection(int32_t slot, int32_t connNumber, int mode) {
  QOXMutexGuard guard(&g->mutexConnTable);
  if (vuzizConnTable == nullptr || slot < 0 || slot >= vuzizConnTableSize) return;
  Connection* c = &vuzizConnTable[slot];
  if (c->socket == -1 || c->connNumber != connNumber) return;
  LogError(kLogVerbose, "conn=%d op=%d fd=%d closed.", connNumber, mode, c->socket);
  if (mode == kCloseShutdown) {
    // The connection's own thread is still reading this socket: shutting it
    // down ends that read, and the thread then closes the connection itself
    // (closing the descriptor here could hand its number to a new socket
    // under the thread's feet).
    if (shutdown(c->socket, SHUT_RDWR) != 0)
      LogError(kLogInfo, "Shutting down client connection failed with error %d\n", errno);
    return;
  }
  if (c->tlsSession != nullptr) QOXtlsClose(c->tlsSession, 1);
  if (shutdown(c->socket, SHUT_RDWR) != 0 && errno != ENOTCONN)
    LogError(kLogInfo, "Shutting down client connection failed with error %d\n", errno);
  if (QOXCloseSocket(c->socket) != 0)
    LogError(kLogWarning, "Closing client connection failed with error %d\n", QOXGetLastSocketsError());
  c->socket = -1;
  // The session and the TLS context were made in the connection's toolkit
  // context: they go before that context returns to the pool, where
  // another thread may take it at once.
  c->clientKey = nullptr;
  if (c->tlsSession != nullptr) QOXFreeTLSSession(c->tlsSession);
  if (c->tlsContext != nullptr) QOXFreeTLSContext(c->tlsContext);
  c->tlsSession = nullptr;
  c->tlsContext = nullptr;
  if (c->context != nullptr) {
    ReleaseQOXSDKCtx(c->context, c->keyDBs, c->tlsKeyDB, c->serverTLSKey);
    c->context = nullptr;
    c->keyDBs[0] = c->keyDBs[1] = c->keyDBs[2] = nullptr;
    c->tlsKeyDB = nullptr;
    c->serverTLSKey = nullptr;
  }
  LowerHighestSlot();
}

void connection_activity(int32_t slot) {
  Connection* c = &vuzizConnTable[slot];
  const int32_t number = c->connNumber;
  GetQOXSDKCtx(&c->context, c->keyDBs, &c->tlsKeyDB, &c->serverTLSKey);
  bool ok = true;
  if (c->secure && c->tlsSession == nullptr) ok = StartTLS(c);
  // A request must arrive whole within the idle wait: max(300 s, twice the
  // TimeLimit).
  const int32_t waitMs = ClientWaitMs();
  QOXberElement* ber = nullptr;
  while (ok && !vuziz_shutdown && c->socket != -1) {
    if (ber == nullptr) {
      QOXError err = QOXNewBERElement(c->context, &ber);
      if (err != 0) {
        LogWithText(kLogError, "QOXNewBERElement failed with error %d (%s)", err);
        break;
      }
    }
    QOXError err = QOXberReadResponse(ber, c->socket, waitMs);
    if (err == kQOXErrUnknownError2) break;
    if (err == kQOXErrSocketNotConnected || err == kQOXErrSocketTimedOut || err == kQOXErrDNSError) {
      LogError(kLogInfo, "Client unexpectedly closed connection (%d).\n", number);
      break;
    }
    if (err != 0) {
      LogWithText(kLogError, "QOXberReadResponse failed with error %d (%s)", err);
      break;
    }
    uint32_t tag = 0, length = 0;
    if ((err = QOXberPeek(ber, &tag, &length)) != 0) {
      LogWithText(kLogError, "QOXberPeek failed with error %d (%s)", err);
      break;
    }
    if (tag != kTagSequence) break;
    int32_t msgID = 0;
    uint32_t opTag = 0;
    // The message ID, then the operation's tag without moving past it.
    if ((err = QOXberRead(ber, "{i", &msgID)) != 0 || (err = QOXberPeek(ber, &opTag, &length)) != 0) {
      LogWithText(kLogError, "QOXberRead failed with error %d (%s)", err);
      break;
    }
    // Constructed operations are entered onto their first primitive; the
    // primitive ones (Unbind, Delete, Abandon) stay on their own element.
    if ((opTag & 0x20) != 0 && (err = QOXberNextPrimitive(ber)) != 0) {
      LogWithText(kLogError, "QOXberNextPrimitive failed with error %d (%s)", err);
      break;
    }
    char* dn = nullptr;
    {
      QOXMutexGuard guard(&c->dnMutex);
      dn = zovurezStrdup(c->boundDN != nullptr ? c->boundDN : "");
    }
    if (dn == nullptr) break;
    uint32_t now = vuzizUpdateCurrentTime();
    {
      QOXMutexGuard guard(&c->activityMutex);
      c->lastActivity = now;
    }
    c->entropy ^= now;
    QOXGlobalRandomPoolAddKeystroke(c->entropy);
    Operation* op;
    {
      QOXMutexGuard guard(&c->opMutex);
      op = op_add(&c->operations, ber, msgID, opTag, dn, c->opsInitiated, number);
    }
    zovurezFree(dn);
    if (op == nullptr) break;
    ber = nullptr;  // the operation owns it now
    if (connection_operation(c, op) == 1) break;
  }
  if (ber != nullptr) QOXFreeBERElement(ber);
  vuzizFreeAnswers(c);
  CloseConnection(slot, number, kCloseNormal);
  AddToCounter(&g->mutexThreadCount, &g->connectionThreads, -1);
}

void* vuzizDaemon(void* arg) {
  const int port = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  int rc = 1;
  bool handedOver = false;
  FILE* dbLock = nullptr;
  bool locked = false;
  SocketEvent* event = nullptr;
  Backend* be = select_backend();
  do {
    if (be_LockDBs(be, &dbLock) != 0) {
      LogError(kLogError, "Deamon process could not acquire database lock.");
      break;
    }
    locked = true;
    if (!MakeTable(ConnectionLimit())) {
      LogError(kLogError, "Memory allocation error.");
      break;
    }
    QOXError err = qoxCreateSocketEvent(&event, pthread_self());
    if (err != 0) {
      LogWithText(kLogError, "Creating a socket event failed with error %d (%s)", err);
      break;
    }
    PublishWakeEvent(event);
    if (port != 0 && gPlainSocket < 0) {
      if ((err = CreateDaemonSocket(port, 0, &gPlainSocket)) != 0) {
        LogWithText(kLogError, "Opening a TCP/IP socket failed with error %d (%s)", err);
        break;
      }
    }
    if (g->SecureMode != kSecureDisabled && gSecureSocket < 0) {
      if ((err = CreateDaemonSocket(g->SecurePort, 1, &gSecureSocket)) != 0) {
        LogWithText(kLogError, "Opening a TCP/IP socket failed with error %d (%s)", err);
        break;
      }
    }
    if (port == 0 && g->SecureMode == kSecureDisabled) {
      LogError(kLogError, "Unsecure and secure ports disabled, server not started!\n");
      break;
    }
    vuzizInstallSignalHandlers();
    // A TLS handshake waits for its client no longer than a request does.
    QOXSocketsSetTLSReceiveWait(ClientWaitMs());
    if (setgid(g->groupID) != 0) {
      LogError(kLogError, "Could not set gid to group (%d).", static_cast<int>(g->groupID));
      break;
    }
    if (setuid(g->userID) != 0) {
      LogError(kLogError, "Could not set uid to user (%s).", g->User != nullptr ? g->User : "");
      break;
    }
    g_iServerExitCode = 0;
    g->listenerReady = true;
    vuzizHandoverRelease(g);
    handedOver = true;
    WritePIDToFile(kPIDFileBase, gPlainSocket >= 0 ? port : g->SecurePort);
    rc = 0;
  } while (false);

  if (rc == 0) {
    bool synced = true;
    // Seconds waited while operations ran, in 64 bits (a 16-bit sum wrapped
    // with a large IdleSyncTimeout or TimeLimit and the flush never came).
    int64_t busyTime = 0;
    SteadyClock::time_point backoffUntil{};
    // Listen only on the sockets this pass asked for.
    const int plain = port != 0 ? gPlainSocket : -1;
    const int secure = g->SecureMode != kSecureDisabled ? gSecureSocket : -1;
    const int nfds = std::max({vuzizConnTableSize, plain + 1, secure + 1});
    while (!vuziz_shutdown) {
      const bool backoff = SteadyClock::now() < backoffUntil;
      qoxZeroSocketSelectActivities(event);
      if (!backoff) {
        if (plain >= 0) qoxSetSocketSelectActivities(plain, event, 1);
        if (secure >= 0) qoxSetSocketSelectActivities(secure, event, 1);
      }
      struct timeval tv {};
      QOXError w = qoxWaitSocketEvent(event, WaitTime(synced, backoff, backoffUntil, &tv), nfds);
      const bool timedOut = w == kQOXErrSocketTimedOut;
      if (w == kQOXSocketEventFailed) {
        if (!vuziz_shutdown) LogWithText(kLogVerbose, "TCP/IP select failed with error %d (%s)", QOXGetLastSocketsError());
        qoxClearSocketEvent(event);
        continue;
      }
      if (timedOut && !backoff) {
        bool syncNow = true;
        if (ReadCounter(&g->mutexOpsRunning, &g->operationsRunning) > 0) {
          busyTime += g->IdleSyncTimeout;
          syncNow = busyTime > g->TimeLimit;
          if (syncNow) busyTime = 0;
        } else if (busyTime != 0) {
          busyTime = 0;
          synced = false;
        }
        if (syncNow && !synced) {
          be_SyncDB();
          synced = true;
        }
      } else if (!timedOut) {
        qoxClearSocketEvent(event);
      }
      if (vuziz_shutdown) break;
      uint32_t now = vuzizUpdateCurrentTime();
      if (g->cycleLogContext != nullptr && IsCycleLogTime(g->cycleLogContext, now)) CycleLog(g->cycleLogContext, now);
      if (timedOut) continue;
      synced = false;
      const int listeners[2] = {plain, secure};
      for (int k = 0; k < 2; ++k) {
        if (listeners[k] < 0) continue;
        int activity = 0;
        qoxGetSocketSelectActivity(listeners[k], event, &activity);
        if (activity != 1) continue;
        int32_t slot = -1;
        int added = AddNewConnection(vuzizConnTable, listeners[k], k, now, &slot);
        if (added == 0) {
          LaunchConnectionThread(slot);
        } else if (added == 2) {
          // A failed accept (EMFILE and the like) leaves the socket
          // readable: stop watching it for a moment instead of spinning.
          backoffUntil = SteadyClock::now() + std::chrono::seconds(1);
        } else if (added == 3) {
          // The table is full and a connection is being closed to make
          // room: the new one waits in the queue a moment for its slot.
          backoffUntil = SteadyClock::now() + std::chrono::milliseconds(10);
        }
      }
      QOXThreadYield();
    }
    ShutdownConnections();
    vuzizEndIdleConnectionThreads();
  }

  PublishWakeEvent(nullptr);
  if (event != nullptr) qoxFreeSocketEvent(event);
  if (vuzizConnTable != nullptr) FreeTable();
  if (locked && dbLock != nullptr) be_UnlockDBs(dbLock);
  // Only a PID file this pass wrote is removed: a server that could not
  // take its port leaves the one of the server that has it.
  if (handedOver) DeletePIDFile(kPIDFileBase, gPlainSocket >= 0 ? port : g->SecurePort);
  g_iServerExitCode = static_cast<int16_t>(rc);
  if (rc == 1) {
    if (!handedOver) vuzizHandoverRelease(g);
    vuziz_shutdown = 1;
  }
  return nullptr;
}

// --- The context pool ---

int GetQOXSDKCtx(QOXContext** context, QOXKeyDB* keyDBs[3], QOXKeyDB** tlsKeyDB, QOXKeyDBObj** serverKey) {
  *context = nullptr;
  keyDBs[0] = keyDBs[1] = keyDBs[2] = nullptr;
  *tlsKeyDB = nullptr;
  *serverKey = nullptr;
  {
    QOXMutexGuard guard(&g->mutexPool);
    ContextPoolEntry* e = g->contextPool;
    if (e != nullptr) {
      g->contextPool = e->next;
      *context = e->context;
      for (int i = 0; i < 3; ++i) keyDBs[i] = e->keyDBs[i];
      *tlsKeyDB = e->tlsKeyDB;
      *serverKey = e->serverTLSKey;
      zovurezFree(e);
      return 0;
    }
  }
  QOXError err;
  {
    QOXMutexGuard guard(&g->mutexPoolCreate);
    err = QOXNewContext(kQOXAPIVersion, context);
  }
  if (err != 0) {
    vuzizTrace(kTraceDetail, "GetQOXSDKCtx: Creating QOX context failed, rc = %d\n", err);
    *context = nullptr;
    return 1;
  }
  // The connection's own copies of the policy, add-signer and delete-signer
  // key databases (public keys only). The server context's databases are
  // read by one thread at a time.
  for (int i = 0; i < 3 && err == 0; ++i) {
    if (g->policyKeyDBs[i] == nullptr) continue;
    QOXMutexGuard guard(&g->mutexPoolCreate);
    err = vuzizKeySubmissionServices().TransferKeys(g->context, *context, g->policyKeyDBs[i], 0, &keyDBs[i]);
  }
  // The TLS key database, secret keys included, and the server's key in it.
  if (err == 0 && g->SecureMode != kSecureDisabled && g->tlsKeyDB != nullptr && g->tlsKeyID != nullptr) {
    QOXMutexGuard guard(&g->mutexPoolCreate);
    err = vuzizKeySubmissionServices().TransferKeys(g->context, *context, g->tlsKeyDB, 1, tlsKeyDB);
  }
  if (err != 0) {
    vuzizTrace(kTraceDetail, "GetQOXSDKCtx: Adding keys failed, rc = %d\n", err);
    if (*tlsKeyDB != nullptr) qoxKeyDBServices().QOXFreeKeyDB(*tlsKeyDB);
    *tlsKeyDB = nullptr;
    for (int i = 0; i < 3; ++i) {
      if (keyDBs[i] != nullptr) qoxKeyDBServices().QOXFreeKeyDB(keyDBs[i]);
      keyDBs[i] = nullptr;
    }
    QOXMutexGuard guard(&g->mutexPoolCreate);
    QOXFreeContext(*context);
    *context = nullptr;
    return 1;
  }
  if (*tlsKeyDB != nullptr && QOXFindKeyByKeyID(*tlsKeyDB, g->tlsKeyID, serverKey) != kQOXErrNoErr) {
    *serverKey = nullptr;
    LogError(kLogError, "Cannot find server's TLS key in keyring.");
  }
  return 0;
}

void ReleaseQOXSDKCtx(QOXContext* context, QOXKeyDB* keyDBs[3], QOXKeyDB* tlsKeyDB, QOXKeyDBObj* serverKey) {
  auto* e = static_cast<ContextPoolEntry*>(zovurezCalloc(1, sizeof(ContextPoolEntry)));
  if (e == nullptr) {
    LogError(kLogError, "Memory allocation error.");
    return;
  }
  e->context = context;
  for (int i = 0; i < 3; ++i) e->keyDBs[i] = keyDBs[i];
  e->tlsKeyDB = tlsKeyDB;
  e->serverTLSKey = serverKey;
  QOXMutexGuard guard(&g->mutexPool);
  e->next = g->contextPool;
  g->contextPool = e;
}

void vuzizFreeContextPool(ServerState* state) {
  if (state == nullptr) return;
  ContextPoolEntry* e;
  {
    QOXMutexGuard guard(&state->mutexPool);
    e = state->contextPool;
    state->contextPool = nullptr;
  }
  while (e != nullptr) {
    ContextPoolEntry* next = e->next;
    for (QOXKeyDB* db : e->keyDBs)
      if (db != nullptr) qoxKeyDBServices().QOXFreeKeyDB(db);
    if (e->tlsKeyDB != nullptr) qoxKeyDBServices().QOXFreeKeyDB(e->tlsKeyDB);
    if (e->context != nullptr) {
      QOXMutexGuard guard(&state->mutexPoolCreate);
      QOXFreeContext(e->context);
    }
    zovurezFree(e);
    e = next;
  }
}

void FreeAllThreadContexts() { vuzizFreeContextPool(g); }

int32_t QOXSocketsTLSReceiveWithSelect(intptr_t socket, void* buffer, uint32_t length) {
  const int fd = static_cast<int>(socket);
  const int32_t waitMs = ClientWaitMs();
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    pollfd r{fd, POLLIN, 0};
    const int ready = ::poll(&r, 1, static_cast<int>(std::max<int64_t>(0, waitMs - spent)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return kQOXErrSocketTimedOut;
    }
    break;
  }
  ssize_t got;
  do {
    got = ::recv(fd, buffer, std::min<size_t>(length, INT32_MAX), 0);
  } while (got < 0 && errno == EINTR);
  return static_cast<int32_t>(got);
}

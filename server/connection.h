// The LDAP service's records: a connection (one slot of the connection
// table), an operation in progress on it, and the pool of toolkit contexts
// that connection threads borrow.
//
// The table is an array of vuzizConnTableSize slots made by the listener at
// the start of each pass; a slot is free while its socket is -1. Slot index
// and descriptor are unrelated. The listener fills a slot under the table
// mutex (ServerState::mutexConnTable); from then on only the connection's
// own thread uses the socket and the toolkit objects.
//
// Locks of a slot: dnMutex guards boundDN and boundCredentials (taken by
// Bind, by every request's DN copy, by the monitor entry and by the
// listener when it reuses the slot); opMutex guards the operation list and
// the two per-connection operation counters; activityMutex guards
// lastActivity. Each Operation's abandonMutex guards its abandoned flag.
// Order: ServerState::mutexConnTable before a slot's dnMutex, opMutex and
// activityMutex, and before ServerState::mutexOpCounters (the connection
// counter at accept) and mutexPool (a closed slot's contexts go back), each
// taken alone inside it; opMutex before abandonMutex. The event log's mutex
// (LogError) may be taken inside any of them, so nothing here is taken
// while it is held. No other nesting.
#ifndef OSTRAK_SERVER_CONNECTION_H_
#define OSTRAK_SERVER_CONNECTION_H_

#include <sys/time.h>

#include <cstdint>

#include "foundation/threads.h"
#include "net/ber.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXtlsSession;
struct QOXtlsContext;
struct Backend;
struct ServerState;

// Operation type bits (also the AccessLogDetails bits of the access log).
inline constexpr int32_t kOpTypeUndispatched = 1;
inline constexpr int32_t kOpTypeBind = 2;
inline constexpr int32_t kOpTypeUnbind = 4;
inline constexpr int32_t kOpTypeAbandon = 8;
inline constexpr int32_t kOpTypeAdd = 16;
inline constexpr int32_t kOpTypeAddMerged = 32;
inline constexpr int32_t kOpTypeSearch = 64;
inline constexpr int32_t kOpTypeSignedDelete = 128;
inline constexpr int32_t kOpTypeOther = 256;

// What an operation leaves for its access-log line. Which fields matter
// depends on the operation's type: 16/32 the two key-ID texts; 64 the
// filter string (objectText); 128 the key ID (keyID1) and the DN
// (objectText); 256 the three-letter code and the DN (objectText).
struct OpAccessLogData {
  char code[4];          // "MOD", "DLT", "MDN", "CMP", "UNK", "ADD" and a NUL
  char keyID1[17];       // hexadecimal key-ID text, NUL-terminated
  char keyID2[17];
  char* objectText;      // owned (server allocator), or null
};

struct Operation {
  QOXberElement* request;  // owned; positioned at the operation's contents
  int32_t msgID;
  uint32_t tag;
  uint32_t startTime;      // ServerState::currentTime when made
  char* boundDN;           // owned copy; "" when none
  int32_t opNumber;
  int32_t connNumber;
  Operation* next;
  int32_t abandoned;       // guarded by abandonMutex
  QOXMutex abandonMutex;
  int32_t type;            // kOpType...
  OpAccessLogData logData;
};

// Answers encoded and not written yet (server/result.cc): a search's
// entries wait here until the buffer holds kAnswerFlushThreshold bytes or
// the operation's result joins them, so an answer leaves in as few sends as
// its size allows. The buffer lives while answers wait (freed by the write
// that empties it); used only by the connection's thread.
struct PendingAnswers {
  uint8_t* bytes;     // server allocator, or null
  uint32_t length;
  uint32_t capacity;
  uint32_t entries;   // search entries among the bytes
};

struct Connection {
  int32_t socket;             // -1: free slot
  char* boundDN;              // guarded by dnMutex
  QOXMutex dnMutex;
  char* clientAddress;        // dotted IPv4
  char* clientHostName;       // or null
  Operation* operations;      // guarded by opMutex
  QOXMutex opMutex;
  uint32_t readWaiter;
  uint32_t writeWaiter;
  uint32_t startTime;         // UTC seconds
  uint32_t lastActivity;      // guarded by activityMutex
  QOXMutex activityMutex;
  int32_t connNumber;
  int32_t opsInitiated;       // guarded by opMutex
  int32_t opsCompleted;       // guarded by opMutex
  int32_t secure;
  uint32_t entropy;
  // The six handles borrowed from the context pool together.
  QOXContext* context;
  QOXKeyDB* keyDBs[3];
  QOXKeyDB* tlsKeyDB;
  QOXKeyDBObj* serverTLSKey;
  QOXKeyDBObj* clientKey;          // the client's authenticated TLS key
  QOXtlsContext* tlsContext;
  QOXtlsSession* tlsSession;
  // Access-log counters, reset at the start of every operation.
  int32_t keyBytesSent;
  int32_t newUserIDs;
  int32_t newSignatures;
  struct timeval opTimerStart;
  struct timeval opTimerStop;
  char* boundCredentials;     // guarded by dnMutex
  uint8_t reconstructionBind; // set by the backend's bind
  uint8_t adminBind;          // set by the backend's bind
  uint8_t changedKeyData;     // set by the key submission
  PendingAnswers pending;     // the connection's thread only
  bool mutexesMade;           // the table's own bookkeeping
  // Set by the listener under the table mutex: the peer's IPv4 address
  // (network order) at accept, and whether the listener has shut the
  // connection down to make room (its thread then closes it).
  uint32_t peerAddress;
  bool evicted;
};

// One pooled set of connection handles (LIFO under ServerState::mutexPool).
struct ContextPoolEntry {
  QOXContext* context;
  QOXKeyDB* keyDBs[3];
  QOXKeyDB* tlsKeyDB;
  QOXKeyDBObj* serverTLSKey;
  ContextPoolEntry* next;
};

// The connection table of the running pass (null between passes) and its
// size; both change only under ServerState::mutexConnTable.
extern Connection* vuzizConnTable;
extern int32_t vuzizConnTableSize;

// Appends a new Operation (takes the request element) and returns it, or
// null when memory runs out. The caller holds the connection's opMutex.
Operation* op_add(Operation** list, QOXberElement* request, int32_t msgID, uint32_t tag, const char* boundDN,
                  int32_t opNumber, int32_t connNumber);
// Unlinks and frees. The caller holds the connection's opMutex.
void op_delete(Operation** list, Operation* op);
void op_free(Operation* op);

// Mode for CloseConnection.
inline constexpr int kCloseNormal = -1;
inline constexpr int kCloseShutdown = -2;
void CloseConnection(int32_t slot, int32_t connNumber, int mode);

// The context pool. 0, or 1 when no context could be made.
// The receive callback of a secure connection's session once its handshake
// is done: waits for the socket at most max(300, 2 x TimeLimit) seconds
// (then kQOXErrSocketTimedOut), -1 when the wait fails, else the result of
// one recv of at most length bytes.
int32_t QOXSocketsTLSReceiveWithSelect(intptr_t socket, void* buffer, uint32_t length);
int GetQOXSDKCtx(QOXContext** context, QOXKeyDB* keyDBs[3], QOXKeyDB** tlsKeyDB, QOXKeyDBObj** serverKey);
void ReleaseQOXSDKCtx(QOXContext* context, QOXKeyDB* keyDBs[3], QOXKeyDB* tlsKeyDB, QOXKeyDBObj* serverKey);

// True when the connection's peer has hung up (closed, or shut down its
// sending side, or reset the connection): nothing more it asked for can
// reach it. Looks without waiting; the connection's own thread only.
bool vuzizPeerGone(const Connection* conn);

// The severe-error line of the request path.
void vuzizSevereError(const char* message, const char* unit, int line);

// Server state helpers shared by the connection threads.
uint32_t vuzizUpdateCurrentTime();  // stores and returns time(nullptr)
uint32_t vuzizCurrentTime();

#endif  // OSTRAK_SERVER_CONNECTION_H_

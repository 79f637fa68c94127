// The TLS engine's public calls: SSL 3.0 and TLS 1.0 sessions, client and
// server, made from a TLS context, and the calls the sockets layer makes on
// a session as a registered table.
//
// A QOXtlsContext is made once per toolkit context and shared, read only,
// by the sessions made from it. A QOXtlsSession reads and writes through two
// transport callbacks and never touches a socket itself; the sockets layer
// binds a session to a stream socket (QOXSocketsEstablishTLSSession in
// net/sockets.h) and from then on routes the socket's send, receive and
// select through it, with the socket as the callbacks' user value.
//
// The sockets layer calls the engine through QOXtlsServices, whose members
// are named after the engine's calls below. The engine registers a table of
// them at start-up (qoxTLSRegister, net/tls_registration.h); a program that
// does not wire gets the stand-ins of net/tls_services.cc. Registration and
// doubles: foundation/service_table.h.
//
// Thread safety: a session is used by one thread at a time and takes no
// lock; the callbacks run on the caller's thread. Sessions of one TLS
// context may run on different threads at once.
#ifndef OSTRAK_NET_TLS_SESSION_H_
#define OSTRAK_NET_TLS_SESSION_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXtlsContext;  // defined in net/tls_internal.h
struct QOXtlsSession;  // defined in net/tls_internal.h

// Session states (QOXtlsGetState).
inline constexpr uint32_t kQOXtlsState_Idle = 0;
inline constexpr uint32_t kQOXtlsState_Fatal = 1;
inline constexpr uint32_t kQOXtlsState_Closed = 2;
inline constexpr uint32_t kQOXtlsState_Handshaking = 3;
inline constexpr uint32_t kQOXtlsState_Ready = 4;

// QOXtlsSetProtocolOptions bits; other bits are ignored.
inline constexpr uint32_t kQOXtlsProtocolOption_ServerSide = 1;
inline constexpr uint32_t kQOXtlsProtocolOption_ClientSide = 2;  // applied after ServerSide
inline constexpr uint32_t kQOXtlsProtocolOption_RequestClientCert = 4;
inline constexpr uint32_t kQOXtlsProtocolOption_NonBlocking = 8;

// QOXtlsGetAlert before any fatal alert was sent or received.
inline constexpr uint32_t kQOXtlsNoAlert = 255;

// Transport callbacks: (user value, buffer, length) -> bytes moved (more
// than 0), 0 when nothing came (receive), kQOXErrTLSWouldBlock when the
// transport would block, or another negative result on failure.
using QOXtlsReceiveProc = int32_t (*)(intptr_t userValue, void* buffer, uint32_t length);
using QOXtlsSendProc = int32_t (*)(intptr_t userValue, const void* buffer, uint32_t length);

struct QOXtlsServices {
  // -12000 when the session or the callback is null.
  QOXError (*QOXtlsSetReceiveCallback)(QOXtlsSession* session, QOXtlsReceiveProc proc, intptr_t userValue);
  QOXError (*QOXtlsSetSendCallback)(QOXtlsSession* session, QOXtlsSendProc proc, intptr_t userValue);
  // The peer's identity (its IPv4 address) for session caching.
  QOXError (*QOXtlsSetRemoteUniqueID)(QOXtlsSession* session, uint32_t id);
  // Runs the handshake through the callbacks; 0 with the session ready,
  // kQOXErrTLSUnexpectedClose when the peer shut the connection, another code on failure.
  QOXError (*QOXtlsHandshake)(QOXtlsSession* session);
  // Sends the whole buffer as application data; 0 or an error code
  // (kQOXErrTLSUnexpectedClose when the connection was shut down).
  QOXError (*QOXtlsSend)(QOXtlsSession* session, const void* buffer, uint32_t length);
  // Delivers at most *ioLength decrypted bytes; *ioLength is set to the
  // count delivered. 0 or an error code (kQOXErrTLSUnexpectedClose when the connection was shut
  // down).
  QOXError (*QOXtlsReceive)(QOXtlsSession* session, void* buffer, uint32_t* ioLength);
  // Decrypted application bytes already waiting in the session (a count, not
  // an error code).
  uint32_t (*QOXtlsReceiveBufferSize)(QOXtlsSession* session);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXtlsServices& qoxTLSServices();
const QOXtlsServices* qoxRegisterTLSServices(const QOXtlsServices* table);

// --- TLS contexts ---
// -12000 for a null toolkit context or out; the out-argument is cleared
// first; -11999 when memory runs out.
QOXError QOXNewTLSContext(QOXContext* context, QOXtlsContext** outTLSContext);
QOXError QOXFreeTLSContext(QOXtlsContext* tlsContext);
// Stores the flag; sessions are never resumed, so nothing reads it.
QOXError QOXtlsSetCache(QOXtlsContext* tlsContext, uint8_t flag);
// Does nothing; 0.
QOXError QOXtlsClearCache(QOXtlsContext* tlsContext);

// --- Sessions ---
// An idle client session, blocking, TLS 1.0, offering every suite whose
// public-key algorithm and cipher the toolkit has, in preference order.
QOXError QOXNewTLSSession(QOXtlsContext* tlsContext, QOXtlsSession** outSession);
// A new idle session with the settings, local key, callbacks and remote key
// of another; the copy takes its own reference on the remote key database.
QOXError QOXCopyTLSSession(const QOXtlsSession* session, QOXtlsSession** outSession);
// Frees the session, its secrets (wiped), its buffers and one reference on
// the remote key database.
QOXError QOXFreeTLSSession(QOXtlsSession* session);
// kQOXtlsProtocolOption_* bits; nothing is ever cleared.
QOXError QOXtlsSetProtocolOptions(QOXtlsSession* session, uint32_t flags);
// The key (or X.509 certificate signature object, whose key is then the
// local key) that authenticates this side, the key set that holds the
// certificate's issuers (or null), and an option list holding at most a
// passphrase or a passkey. kQOXErrTLSKeyUnsupported unless the key is secret,
// enabled, unexpired, unrevoked and able to sign.
QOXError QOXtlsSetLocalPrivateKey(QOXtlsSession* session, QOXKeyDBObj* key, QOXKeySet* certChain,
                                  QOXOptionListRef options);
// Moves the suite of that number (1..9) to the front of the session's list.
// kQOXErrTLSHandshakeViolation unless idle; kQOXErrItemNotFound when the list lacks it.
QOXError QOXtlsSetPreferredCipherSuite(QOXtlsSession* session, uint32_t suiteNumber);
// The Diffie-Hellman prime a server offers (0..4; others mean 2).
// kQOXErrTLSHandshakeViolation unless idle.
QOXError QOXtlsSetDHPrime(QOXtlsSession* session, uint32_t index);
QOXError QOXtlsSetReceiveCallback(QOXtlsSession* session, QOXtlsReceiveProc proc, intptr_t userValue);
QOXError QOXtlsSetSendCallback(QOXtlsSession* session, QOXtlsSendProc proc, intptr_t userValue);
// Does nothing (sessions are not cached); 0.
QOXError QOXtlsSetRemoteUniqueID(QOXtlsSession* session, uint32_t id);
// Runs the client or server handshake. Allowed when idle, and in
// non-blocking mode while handshaking (continuing); a ready session refuses
// a new handshake with kQOXErrTLSHandshakeViolation and stays ready. A
// would-block is returned as 0: the caller calls again until
// QOXtlsGetState reports ready. Any other failure sends a fatal
// internal_error alert (unless one was already sent) and is returned.
QOXError QOXtlsHandshake(QOXtlsSession* session);
// Application data in records of at most 16,384 bytes.
QOXError QOXtlsSend(QOXtlsSession* session, const void* buffer, uint32_t length);
// At most *ioLength decrypted bytes; *ioLength is set to the count.
QOXError QOXtlsReceive(QOXtlsSession* session, void* buffer, uint32_t* ioLength);
// Closes: with abort set, the session goes to the fatal state and nothing is
// sent; otherwise a ready session sends its close_notify once and reads
// until the peer's (one read in non-blocking mode).
QOXError QOXtlsClose(QOXtlsSession* session, bool abort);
// Hands the records waiting in the send queue to the transport; 0 when the
// queue is empty or was taken whole.
QOXError QOXtlsSendQueueIdle(QOXtlsSession* session);
// Decrypted application bytes waiting in the session (a count).
uint32_t QOXtlsReceiveBufferSize(QOXtlsSession* session);
// Either out may be null; both are cleared first. kQOXErrTLSHandshakeViolation
// unless ready. The key is null when the peer sent no certificate.
QOXError QOXtlsGetRemoteAuthenticatedKey(QOXtlsSession* session, QOXKeyDBObj** outKey,
                                         QOXKeyDB** outKeyDB);
// The negotiated suite's number (1..9); cleared first; kQOXErrTLSHandshakeViolation
// unless ready.
QOXError QOXtlsGetNegotiatedCipherSuite(QOXtlsSession* session, uint32_t* outSuiteNumber);
QOXError QOXtlsGetState(QOXtlsSession* session, uint32_t* outState);
// The description of the last fatal alert sent or received, kQOXtlsNoAlert
// for none.
QOXError QOXtlsGetAlert(QOXtlsSession* session, uint32_t* outAlert);

#endif  // OSTRAK_NET_TLS_SESSION_H_

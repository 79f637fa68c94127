// The calls the sockets layer makes on a TLS session, as a registered table.
//
// The TLS engine owns QOXtlsSession and these calls; the sockets layer binds
// a session to a stream socket (QOXSocketsEstablishTLSSession in
// net/sockets.h) and from then on routes the socket's send, receive and
// select through it. The engine never touches a socket itself: it reads and
// writes through the two transport callbacks installed here, whose user
// value is the socket.
//
// The engine sits above the sockets layer, so the layer calls it through
// QOXtlsServices, whose members are named after the engine's calls. The
// engine defines them under those names and registers a table of them at
// start-up; until then each member answers with its stand-in in
// net/tls_seams.cc. Registration and doubles: foundation/service_table.h.
//
// A session is used by one thread at a time and takes no lock.
#ifndef OSTRAK_NET_TLS_SESSION_H_
#define OSTRAK_NET_TLS_SESSION_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXtlsSession;  // defined by the TLS engine

// Transport callbacks: (user value, buffer, length) -> bytes moved, 0 when
// the peer closed, or a negative result on failure.
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

#endif  // OSTRAK_NET_TLS_SESSION_H_

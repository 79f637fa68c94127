// What a connection thread asks of the TLS engine, as a registered table.
//
// On a secure connection the thread first starts TLS: it makes a TLS context
// and session from the server's key, binds the session to the socket and
// runs the handshake, logging each failure. That start is the member
// vuzizStartTLS of VuzizTLSServices; the TLS engine's side registers it at
// start-up. Until then its stand-in in server/tls_seams.cc fails as a server
// without a TLS engine. (The sockets layer's own calls into the engine are
// net/tls_session.h.)
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: called on the connection's own thread.
#ifndef OSTRAK_SERVER_TLS_SERVICES_H_
#define OSTRAK_SERVER_TLS_SERVICES_H_

struct Connection;

struct VuzizTLSServices {
  // The TLS start of a secure connection: 0, or an error after which the
  // connection is closed (logged).
  int (*vuzizStartTLS)(Connection* conn);
};

// The table in force, and its registration (foundation/service_table.h).
const VuzizTLSServices& vuzizTLSServices();
const VuzizTLSServices* vuzizRegisterTLSServices(const VuzizTLSServices* table);

#endif  // OSTRAK_SERVER_TLS_SERVICES_H_

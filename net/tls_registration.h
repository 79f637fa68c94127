// Registration of the TLS engine: installs its calls as the sockets layer's
// TLS table (QOXtlsServices, net/tls_session.h), the handshake drivers and
// the handshake's key work (net/tls_internal.h). Called by ostrakWire().
#ifndef OSTRAK_NET_TLS_REGISTRATION_H_
#define OSTRAK_NET_TLS_REGISTRATION_H_

void qoxTLSRegister();

#endif  // OSTRAK_NET_TLS_REGISTRATION_H_

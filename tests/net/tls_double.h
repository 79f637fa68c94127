// A stand-in for a TLS session, installed in the sockets layer in place of
// the TLS engine. It keeps "decrypted" input in a string and records what is
// sent, so routing can be checked without a real handshake.
#ifndef OSTRAK_TESTS_NET_TLS_DOUBLE_H_
#define OSTRAK_TESTS_NET_TLS_DOUBLE_H_

#include <cstdint>
#include <string>

#include "foundation/errors.h"
#include "net/sockets.h"
#include "net/tls_session.h"
#include "tests/common/scoped_services.h"

struct FakeTlsSession {
  std::string pending;  // bytes the session holds, delivered by receive
  std::string sent;     // bytes sent through the session
  QOXError handshakeResult = 0;
  QOXError sendResult = 0;
  QOXError receiveResult = 0;
  int emptyRecords = 0;  // receives that succeed with no bytes first
  int handshakes = 0;
  QOXtlsReceiveProc receiveProc = nullptr;
  QOXtlsSendProc sendProc = nullptr;
  intptr_t receiveUser = -1;
  intptr_t sendUser = -1;
  uint32_t remoteId = 0;

  QOXtlsSession* handle() { return reinterpret_cast<QOXtlsSession*>(this); }
};

// The TLS table that routes to FakeTlsSession.
extern const QOXtlsServices kFakeTls;

// Installs the double in the sockets layer's TLS table for the life of the
// object.
class FakeTlsScope {
 public:
  FakeTlsScope() { services_.table() = kFakeTls; }

 private:
  ostrak_test::ScopedServices<QOXtlsServices> services_{qoxTLSServices, qoxRegisterTLSServices};
};

#endif  // OSTRAK_TESTS_NET_TLS_DOUBLE_H_

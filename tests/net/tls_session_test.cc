// The TLS session core: contexts and sessions, their settings, the local
// key's checks through the key database's table, the state tables, alerts
// received, handshake refusals, closing, and what a ready session does with
// records that are not application data.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"
#include "net/tls_session.h"
#include "tests/common/scoped_services.h"
#include "tests/net/tls_test_support.h"

namespace {

using tls_test::MemoryTransport;

std::string Record(uint8_t type, const std::string& body) {
  std::string r{char(type), 3, 1, char(body.size() >> 8), char(body.size() & 0xFF)};
  return r + body;
}
std::string Alert(uint8_t level, uint8_t description) { return Record(21, std::string{char(level), char(description)}); }

uint32_t State(QOXtlsSession* s) {
  uint32_t v = 99;
  QOXtlsGetState(s, &v);
  return v;
}
uint32_t LastAlert(QOXtlsSession* s) {
  uint32_t v = 0;
  QOXtlsGetAlert(s, &v);
  return v;
}

std::vector<uint32_t> SuiteNumbers(QOXtlsSession* s) {
  std::vector<uint32_t> v;
  for (uint16_t i = 0; i < s->suiteCount; ++i) v.push_back(s->suites[i].number);
  return v;
}

class TlsSessionTest : public ::testing::Test {
 protected:
  tls_test::TlsEnv env;
  MemoryTransport t;
};

TEST_F(TlsSessionTest, ContextsAndNewSessions) {
  QOXtlsContext* tc = reinterpret_cast<QOXtlsContext*>(1);
  EXPECT_EQ(QOXNewTLSContext(nullptr, &tc), kQOXErrBadParams);
  EXPECT_EQ(tc, nullptr);
  EXPECT_EQ(QOXFreeTLSContext(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsSetCache(env.tls, 0), kQOXErrNoErr);
  EXPECT_EQ(env.tls->cache, 0);
  EXPECT_EQ(QOXtlsClearCache(env.tls), kQOXErrNoErr);
  QOXtlsSession* s = reinterpret_cast<QOXtlsSession*>(1);
  EXPECT_EQ(QOXNewTLSSession(nullptr, &s), kQOXErrBadParams);
  EXPECT_EQ(s, nullptr);

  s = env.NewSession();
  EXPECT_EQ(State(s), kQOXtlsState_Idle);
  EXPECT_EQ(LastAlert(s), kQOXtlsNoAlert);
  EXPECT_EQ(s->minorVersion, 1);
  EXPECT_EQ(s->localKeyAlg, -1);
  EXPECT_EQ(s->dhPrimeIndex, 2u);
  EXPECT_EQ(s->blocking, 1);
  // Every row: the toolkit has RSA, DSA, CAST5, 3DES and IDEA.
  EXPECT_EQ(SuiteNumbers(s), (std::vector<uint32_t>{1, 2, 7, 5, 3, 4, 6, 8, 9}));
  EXPECT_TRUE(pubAlgSupported(1));
  EXPECT_TRUE(pubAlgSupported(17));
  EXPECT_FALSE(pubAlgSupported(99));

  // Server side, then client side applied after it; nothing is cleared.
  EXPECT_EQ(QOXtlsSetProtocolOptions(s, kQOXtlsProtocolOption_ServerSide | kQOXtlsProtocolOption_ClientSide |
                                            kQOXtlsProtocolOption_RequestClientCert | 0x100),
            kQOXErrNoErr);
  EXPECT_EQ(s->clientSide, 1);
  EXPECT_EQ(s->requestClientCert, 1);
  QOXtlsSetProtocolOptions(s, 0);
  EXPECT_EQ(s->requestClientCert, 1);
  EXPECT_EQ(QOXtlsSetProtocolOptions(nullptr, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsSetRemoteUniqueID(s, 0x7F000001), kQOXErrNoErr);
  EXPECT_EQ(QOXtlsSetReceiveCallback(s, nullptr, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsSetSendCallback(nullptr, MemoryTransport::Send, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeTLSSession(nullptr), kQOXErrBadParams);
}

TEST_F(TlsSessionTest, PreferredSuiteAndPrime) {
  QOXtlsSession* s = env.NewSession();
  EXPECT_EQ(QOXtlsSetPreferredCipherSuite(s, 5), kQOXErrNoErr);
  EXPECT_EQ(SuiteNumbers(s), (std::vector<uint32_t>{5, 1, 2, 7, 3, 4, 6, 8, 9}));
  EXPECT_EQ(QOXtlsSetPreferredCipherSuite(s, 10), kQOXErrItemNotFound);
  EXPECT_EQ(QOXtlsSetPreferredCipherSuite(nullptr, 5), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsSetDHPrime(s, 4), kQOXErrNoErr);
  EXPECT_EQ(s->dhPrimeIndex, 4u);
  s->state = kQOXtlsState_Handshaking;
  EXPECT_EQ(QOXtlsSetPreferredCipherSuite(s, 9), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(QOXtlsSetDHPrime(s, 0), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(SuiteNumbers(s).front(), 5u);
  EXPECT_EQ(s->dhPrimeIndex, 4u);
}

// The three tables as one table of cases: (table, step, event) -> the next
// step, unchanged, or fatal.
TEST_F(TlsSessionTest, StateTables) {
  enum Table { kClient, kServer, kSSL3Server };
  constexpr int kFatal = -1;
  const struct {
    Table table;
    uint8_t step;
    uint32_t event;
    int next;  // a step, or kFatal
  } cases[] = {
      {kClient, 0, kQOXtlsEvent_ServerHello, 1},
      {kClient, 0, kQOXtlsEvent_Other, 0},
      {kClient, 0, kQOXtlsEvent_Certificate, kFatal},
      {kClient, 1, kQOXtlsEvent_Certificate, 2},
      {kClient, 2, kQOXtlsEvent_CertEphemeral, 3},
      {kClient, 2, kQOXtlsEvent_CertNotEphemeral, 4},
      {kClient, 3, kQOXtlsEvent_ServerKeyExchange, 5},
      {kClient, 3, kQOXtlsEvent_ServerHelloDone, kFatal},
      {kClient, 4, kQOXtlsEvent_CertificateRequest, 6},
      {kClient, 4, kQOXtlsEvent_ServerHelloDone, 7},
      {kClient, 5, kQOXtlsEvent_CertificateRequest, 6},
      {kClient, 5, kQOXtlsEvent_ServerHelloDone, 7},
      {kClient, 6, kQOXtlsEvent_ServerHelloDone, 7},
      {kClient, 6, kQOXtlsEvent_CertificateRequest, kFatal},
      {kClient, 7, kQOXtlsEvent_ChangeCipherSpec, 8},
      {kClient, 7, kQOXtlsEvent_Finished, kFatal},
      {kClient, 8, kQOXtlsEvent_Finished, 9},
      {kClient, 9, kQOXtlsEvent_Other, 9},
      {kClient, 9, kQOXtlsEvent_Finished, kFatal},
      {kClient, 5, kQOXtlsEvent_NoCertificate, kFatal},
      {kServer, 0, kQOXtlsEvent_ClientHello, 1},
      {kServer, 0, kQOXtlsEvent_ServerHello, kFatal},
      {kServer, 1, kQOXtlsEvent_Certificate, 2},
      {kServer, 1, kQOXtlsEvent_ClientKeyExchange, 3},
      {kServer, 1, kQOXtlsEvent_NoCertificate, kFatal},
      {kServer, 2, kQOXtlsEvent_ClientKeyExchange, 3},
      {kServer, 3, kQOXtlsEvent_CertificateVerify, 4},
      {kServer, 3, kQOXtlsEvent_ChangeCipherSpec, 5},
      {kServer, 3, kQOXtlsEvent_NoCertificate, kFatal},
      {kServer, 4, kQOXtlsEvent_ChangeCipherSpec, 5},
      {kServer, 5, kQOXtlsEvent_Finished, 6},
      {kServer, 6, kQOXtlsEvent_ClientHello, kFatal},
      {kServer, 2, kQOXtlsEvent_Alert, kFatal},
      {kSSL3Server, 0, kQOXtlsEvent_ClientHello, 1},
      {kSSL3Server, 1, kQOXtlsEvent_NoCertificate, 1},
      {kSSL3Server, 3, kQOXtlsEvent_NoCertificate, 3},
      {kSSL3Server, 2, kQOXtlsEvent_NoCertificate, kFatal},
      {kSSL3Server, 3, kQOXtlsEvent_CertificateVerify, 4},
      {kSSL3Server, 5, kQOXtlsEvent_Finished, 6},
      {kSSL3Server, 1, kQOXtlsEvent_Alert, kFatal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "table " << c.table << " step " << int(c.step) << " event " << c.event);
    QOXtlsSession* s = env.NewSession(c.table == kClient);
    s->minorVersion = c.table == kSSL3Server ? 0 : 1;
    s->state = kQOXtlsState_Handshaking;
    s->handshakeStep = c.step;
    qoxTLSNextState(s, c.event);
    if (c.next == kFatal) {
      EXPECT_EQ(State(s), kQOXtlsState_Fatal);
    } else {
      EXPECT_EQ(State(s), kQOXtlsState_Handshaking);
      EXPECT_EQ(s->handshakeStep, c.next);
    }
  }
  // Event 0 stays in every row of every table.
  for (uint32_t step = 0; step < kQOXtlsClientSteps; ++step) EXPECT_EQ(kQOXtls_ClientStateTable[step][0], 0xFF);
  for (uint32_t step = 0; step < kQOXtlsServerSteps; ++step) {
    EXPECT_EQ(kQOXtls_ServerStateTable[step][0], 0xFF);
    EXPECT_EQ(kQOXtls_SSL3ServerStateTable[step][0], 0xFF);
  }
  const struct {
    uint8_t type;
    uint32_t event;
  } events[] = {{0, 0}, {1, 1}, {2, 2}, {11, 3}, {12, 6}, {13, 7}, {14, 8}, {15, 9}, {16, 10}, {20, 11}, {3, 0}, {255, 0}};
  for (const auto& e : events) EXPECT_EQ(qoxTLSPacketToEvent(e.type), e.event) << int(e.type);
}

// Alerts received during a handshake: no_certificate is tolerated by an SSL
// 3.0 server that asked for a certificate and fatal on a TLS 1.0 one; a
// warning other than close_notify ends the session like a fatal alert.
TEST_F(TlsSessionTest, AlertsReceived) {
  const uint8_t noCert[2] = {1, kQOXtlsAlert_NoCertificate};
  QOXtlsSession* ssl3 = env.NewSession(false);
  t.Attach(ssl3);
  ssl3->minorVersion = 0;
  ssl3->state = kQOXtlsState_Handshaking;
  ssl3->handshakeStep = 1;
  ssl3->certificateRequested = 1;
  EXPECT_EQ(qoxTLSProcessAlert(ssl3, noCert, 2), kQOXErrNoErr);
  EXPECT_EQ(State(ssl3), kQOXtlsState_Handshaking);
  EXPECT_EQ(ssl3->certificateRequested, 0);
  QOXtlsSession* tls = env.NewSession(false);
  t.Attach(tls);
  tls->state = kQOXtlsState_Handshaking;
  tls->handshakeStep = 1;
  EXPECT_EQ(qoxTLSProcessAlert(tls, noCert, 2), kQOXErrTLSRemoteAbort);
  EXPECT_EQ(State(tls), kQOXtlsState_Fatal);

  QOXtlsSession* ready = env.NewSession();
  t.Attach(ready);
  ready->state = kQOXtlsState_Ready;
  t.in = Alert(1, 90);
  char buf[8];
  uint32_t len = sizeof buf;
  EXPECT_EQ(QOXtlsReceive(ready, buf, &len), kQOXErrTLSRemoteAbort);
  EXPECT_EQ(State(ready), kQOXtlsState_Fatal);
  EXPECT_EQ(LastAlert(ready), 90u);
  const uint8_t longAlert[3] = {2, 40, 0};
  QOXtlsSession* other = env.NewSession();
  EXPECT_EQ(qoxTLSProcessAlert(other, longAlert, 3), kQOXErrTLSProtocolViolation);
  EXPECT_EQ(State(other), kQOXtlsState_Fatal);
}

// Handshakes: missing callbacks, wrong states, renegotiation refused; the
// drivers' stand-ins answer -11975, and the session ends with internal_error.
TEST_F(TlsSessionTest, HandshakeRefusals) {
  QOXtlsSession* s = env.NewSession();
  EXPECT_EQ(QOXtlsHandshake(s), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsHandshake(nullptr), kQOXErrBadParams);
  t.Attach(s);
  s->state = kQOXtlsState_Ready;
  EXPECT_EQ(QOXtlsHandshake(s), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(State(s), kQOXtlsState_Ready);
  s->state = kQOXtlsState_Handshaking;  // continuing is for non-blocking sessions only
  EXPECT_EQ(QOXtlsHandshake(s), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(t.out, "");
  s->state = kQOXtlsState_Closed;
  EXPECT_EQ(QOXtlsHandshake(s), kQOXErrTLSHandshakeViolation);

  QOXtlsSession* idle = env.NewSession();
  t.Attach(idle);
  {
    ostrak_test::ScopedServices<QOXtlsHandshakeServices> standIns(qoxTLSHandshakeServices,
                                                                  qoxRegisterTLSHandshakeServices);
    const QOXtlsHandshakeServices* previous = qoxRegisterTLSHandshakeServices(nullptr);
    EXPECT_EQ(QOXtlsHandshake(idle), kQOXErrFeatureNotAvailable);
    qoxRegisterTLSHandshakeServices(previous);
  }
  EXPECT_EQ(State(idle), kQOXtlsState_Fatal);
  EXPECT_EQ(LastAlert(idle), kQOXtlsAlert_InternalError);
  EXPECT_EQ(t.out, Alert(2, kQOXtlsAlert_InternalError));
  EXPECT_EQ(QOXtlsHandshake(idle), kQOXErrTLSHandshakeViolation);

  // A driver that would block is reported as 0, and the caller comes back.
  ostrak_test::ScopedServices<QOXtlsHandshakeServices> drivers(qoxTLSHandshakeServices,
                                                               qoxRegisterTLSHandshakeServices);
  drivers->qoxTLSClientHandshake = [](QOXtlsSession* x) {
    x->state = kQOXtlsState_Handshaking;
    return kQOXErrTLSWouldBlock;
  };
  QOXtlsSession* nb = env.NewSession(true, false);
  t.Attach(nb);
  EXPECT_EQ(QOXtlsHandshake(nb), kQOXErrNoErr);
  EXPECT_EQ(QOXtlsHandshake(nb), kQOXErrNoErr);
  EXPECT_EQ(State(nb), kQOXtlsState_Handshaking);
}

// A ready client ignores a HelloRequest and reads on; a ready server takes a
// ClientHello as a fatal unexpected_message, as any non-data record.
TEST_F(TlsSessionTest, ReadySessionsAndHandshakeRecords) {
  QOXtlsSession* client = env.NewSession(true);
  t.Attach(client);
  client->state = kQOXtlsState_Ready;
  t.in = Record(22, std::string(4, '\0')) + Record(23, "data");
  char buf[16];
  uint32_t len = sizeof buf;
  EXPECT_EQ(QOXtlsReceive(client, buf, &len), kQOXErrNoErr);
  EXPECT_EQ(std::string(buf, len), "data");
  EXPECT_EQ(t.out, "");

  const std::string bad[] = {Record(22, std::string("\x01\x00\x00\x00", 4)), Record(20, "\x01"),
                             Record(22, std::string("\x00\x00\x00\x01\x00", 5))};
  for (bool server : {true, false}) {
    for (const std::string& record : bad) {
      MemoryTransport m;
      QOXtlsSession* s = env.NewSession(!server);
      m.Attach(s);
      s->state = kQOXtlsState_Ready;
      m.in = record;
      len = sizeof buf;
      EXPECT_EQ(QOXtlsReceive(s, buf, &len), kQOXErrTLSProtocolViolation);
      EXPECT_EQ(m.out, Alert(2, kQOXtlsAlert_UnexpectedMessage));
      EXPECT_EQ(State(s), kQOXtlsState_Fatal);
    }
  }
  MemoryTransport m;
  QOXtlsSession* server = env.NewSession(false);
  m.Attach(server);
  server->state = kQOXtlsState_Ready;
  m.in = Record(22, std::string(4, '\0'));
  len = sizeof buf;
  EXPECT_EQ(QOXtlsReceive(server, buf, &len), kQOXErrTLSProtocolViolation);
}

TEST_F(TlsSessionTest, SendAndReceiveRefusals) {
  QOXtlsSession* s = env.NewSession();
  char buf[4];
  uint32_t len = sizeof buf;
  EXPECT_EQ(QOXtlsSend(s, "x", 1), kQOXErrBadParams);  // no send callback
  EXPECT_EQ(QOXtlsReceive(s, buf, &len), kQOXErrBadParams);
  t.Attach(s);
  EXPECT_EQ(QOXtlsSend(s, "x", 1), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(QOXtlsReceive(s, buf, &len), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(len, 0u);
  s->state = kQOXtlsState_Ready;
  EXPECT_EQ(QOXtlsSend(s, nullptr, 1), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsSend(s, "x", 0), kQOXErrNoErr);
  EXPECT_EQ(t.out, "");
  QOXKeyDBObj* key = reinterpret_cast<QOXKeyDBObj*>(1);
  QOXKeyDB* db = reinterpret_cast<QOXKeyDB*>(1);
  uint32_t number = 7;
  s->state = kQOXtlsState_Closed;
  EXPECT_EQ(QOXtlsGetRemoteAuthenticatedKey(s, &key, &db), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(db, nullptr);
  EXPECT_EQ(QOXtlsGetNegotiatedCipherSuite(s, &number), kQOXErrTLSHandshakeViolation);
  EXPECT_EQ(number, 0u);
  tls_test::InstallKeys(s, 5, 1, tls_test::RandomBytes(48, 1), tls_test::RandomBytes(32, 2),
                        tls_test::RandomBytes(32, 3));
  EXPECT_EQ(QOXtlsGetNegotiatedCipherSuite(s, &number), kQOXErrNoErr);
  EXPECT_EQ(number, 5u);
  EXPECT_EQ(QOXtlsGetRemoteAuthenticatedKey(s, &key, nullptr), kQOXErrNoErr);
  EXPECT_EQ(key, nullptr);
}

TEST_F(TlsSessionTest, Closing) {
  // Abort: nothing sent, fatal state.
  QOXtlsSession* a = env.NewSession();
  t.Attach(a);
  a->state = kQOXtlsState_Ready;
  EXPECT_EQ(QOXtlsClose(a, true), kQOXErrNoErr);
  EXPECT_EQ(State(a), kQOXtlsState_Fatal);
  EXPECT_EQ(t.out, "");
  // Not ready: closed, unless fatal.
  EXPECT_EQ(QOXtlsClose(a, false), kQOXErrNoErr);
  EXPECT_EQ(State(a), kQOXtlsState_Fatal);
  QOXtlsSession* idle = env.NewSession();
  EXPECT_EQ(QOXtlsClose(idle, false), kQOXErrNoErr);
  EXPECT_EQ(State(idle), kQOXtlsState_Closed);

  // Blocking: our close_notify once, data dropped until the peer's.
  QOXtlsSession* b = env.NewSession();
  t.Attach(b);
  b->state = kQOXtlsState_Ready;
  t.in = Record(23, "late data") + Alert(1, 0);
  EXPECT_EQ(QOXtlsClose(b, false), kQOXErrNoErr);
  EXPECT_EQ(State(b), kQOXtlsState_Closed);
  EXPECT_EQ(t.out, Alert(1, 0));
  EXPECT_EQ(QOXtlsReceiveBufferSize(b), 0u);

  // Non-blocking: one read per call; close_notify is not sent twice.
  MemoryTransport m;
  QOXtlsSession* nb = env.NewSession(true, false);
  m.Attach(nb);
  nb->state = kQOXtlsState_Ready;
  EXPECT_EQ(QOXtlsClose(nb, false), kQOXErrTLSWouldBlock);
  EXPECT_EQ(State(nb), kQOXtlsState_Ready);
  m.in = Alert(1, 0);
  EXPECT_EQ(QOXtlsClose(nb, false), kQOXErrNoErr);
  EXPECT_EQ(State(nb), kQOXtlsState_Closed);
  EXPECT_EQ(m.out, Alert(1, 0));

  // The peer closes first: its close_notify is answered with ours.
  MemoryTransport p;
  QOXtlsSession* c = env.NewSession();
  p.Attach(c);
  c->state = kQOXtlsState_Ready;
  p.in = Alert(1, 0);
  char buf[4];
  uint32_t len = sizeof buf;
  EXPECT_EQ(QOXtlsReceive(c, buf, &len), kQOXErrNoErr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(State(c), kQOXtlsState_Closed);
  EXPECT_EQ(p.out, Alert(1, 0));
}

// --- The local key, judged through the key database's table ---

QOXKeyDBObj* const kKey = reinterpret_cast<QOXKeyDBObj*>(0x1000);
QOXKeyDBObj* const kCert = reinterpret_cast<QOXKeyDBObj*>(0x2000);
QOXKeyDB* const kDB = reinterpret_cast<QOXKeyDB*>(0x3000);

struct KeyFacts {
  bool secret = true, disabled = false, expired = false, revoked = false, canSign = true;
  int dbRefs = 1;
};
KeyFacts gFacts;

class TlsLocalKeyTest : public TlsSessionTest {
 protected:
  TlsLocalKeyTest() {
    gFacts = KeyFacts{};
    keydb->QOXGetKeyDBObjNumericProperty = [](QOXKeyDBObj* o, int32_t property, int32_t* out) {
      *out = property == 20 ? (o == kCert ? 8 : 1) : property == 200 ? 17 : 0;
      return kQOXErrNoErr;
    };
    keydb->QOXGetKeyDBObjBooleanProperty = [](QOXKeyDBObj* o, int32_t property, bool* out) {
      if (o != kKey) return kQOXErrBadParams;
      switch (property) {
        case 100: *out = gFacts.secret; break;
        case 102: *out = gFacts.revoked; break;
        case 103: *out = gFacts.disabled; break;
        case 105: *out = gFacts.expired; break;
        case 110: *out = gFacts.canSign; break;
        default: return kQOXErrBadParams;
      }
      return kQOXErrNoErr;
    };
    keydb->QOXPeekKeyDBObjKey = [](QOXKeyDBObj* o) { return o == kCert ? kKey : o; };
    keydb->QOXIncKeyDBRefCount = [](QOXKeyDB*) {
      ++gFacts.dbRefs;
      return kQOXErrNoErr;
    };
    keydb->QOXFreeKeyDB = [](QOXKeyDB*) {
      --gFacts.dbRefs;
      return kQOXErrNoErr;
    };
  }
  ostrak_test::ScopedServices<QOXKeyDBServices> keydb{qoxKeyDBServices, qoxRegisterKeyDBServices};
};

TEST_F(TlsLocalKeyTest, AUsableKeyIsTakenWithItsPassphrase) {
  QOXtlsSession* s = env.NewSession(false);
  QOXOptionListRef options = QOXOPassphrase(env.context, "secret words");
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, kKey, nullptr, options), kQOXErrNoErr);
  qoxFreeOptionList(options);
  EXPECT_EQ(s->localKey, kKey);
  EXPECT_EQ(s->localCertificate, nullptr);
  EXPECT_EQ(s->localKeyAlg, 17);
  ASSERT_NE(s->passphrase, nullptr);
  EXPECT_STREQ(s->passphrase, "secret words");
  EXPECT_NE(QOXGetMemoryMgrDataInfo(s->passphrase) & kQOXMemoryMgrBlockInfo_Secure, 0u);
  EXPECT_EQ(s->usePasskey, 0);

  // A certificate: its key becomes the local key; a passkey.
  QOXKeySet* chain = reinterpret_cast<QOXKeySet*>(0x4000);
  options = QOXOPasskeyBuffer(env.context, "\x01\x02\x03", 3);
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, kCert, chain, options), kQOXErrNoErr);
  qoxFreeOptionList(options);
  EXPECT_EQ(s->localKey, kKey);
  EXPECT_EQ(s->localCertificate, kCert);
  EXPECT_EQ(s->localCertChain, chain);
  EXPECT_EQ(s->usePasskey, 1);
  EXPECT_EQ(s->passkeyLength, 3u);
  EXPECT_EQ(s->passphrase, nullptr);

  // The copy: settings, secrets in its own blocks, its own reference on the
  // remote key database.
  s->remoteKeyDB = kDB;
  s->remoteKey = kKey;
  QOXtlsSession* copy = nullptr;
  ASSERT_EQ(QOXCopyTLSSession(s, &copy), kQOXErrNoErr);
  EXPECT_EQ(gFacts.dbRefs, 2);
  EXPECT_EQ(copy->clientSide, 0);
  EXPECT_EQ(copy->state, kQOXtlsState_Idle);
  EXPECT_EQ(copy->localKey, kKey);
  ASSERT_NE(copy->passkey, nullptr);
  EXPECT_NE(copy->passkey, s->passkey);
  EXPECT_EQ(std::memcmp(copy->passkey, "\x01\x02\x03", 3), 0);
  EXPECT_EQ(copy->remoteKeyDB, kDB);
  const void* passkey = copy->passkey;
  env.mgr.ResetReleases();
  EXPECT_EQ(QOXFreeTLSSession(copy), kQOXErrNoErr);
  EXPECT_TRUE(env.mgr.FreedWiped(passkey));
  EXPECT_EQ(gFacts.dbRefs, 1);
  s->remoteKeyDB = nullptr;  // the fixture's database is not real
}

TEST_F(TlsLocalKeyTest, UnusableKeysAndOptionsAreRefused) {
  QOXtlsSession* s = env.NewSession(false);
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, nullptr, nullptr, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(nullptr, kKey, nullptr, nullptr), kQOXErrBadParams);
  void (*const spoil[])(KeyFacts&) = {
      [](KeyFacts& f) { f.secret = false; },  [](KeyFacts& f) { f.disabled = true; },
      [](KeyFacts& f) { f.expired = true; },  [](KeyFacts& f) { f.revoked = true; },
      [](KeyFacts& f) { f.canSign = false; },
  };
  for (auto fn : spoil) {
    gFacts = KeyFacts{};
    fn(gFacts);
    EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, kKey, nullptr, nullptr), kQOXErrTLSKeyUnsupported);
    EXPECT_EQ(s->localKey, nullptr);
  }
  gFacts = KeyFacts{};
  QOXOptionListRef options = QOXOHashAlgorithm(env.context, 2);
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, kKey, nullptr, options), kQOXErrBadParams);
  qoxFreeOptionList(options);
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, kKey, nullptr, nullptr), kQOXErrNoErr);
}

// Until the key database answers, no key can be judged: its stand-ins'
// "not available" comes back.
TEST_F(TlsSessionTest, LocalKeyWithoutTheKeyDatabase) {
  ostrak_test::ScopedServices<QOXKeyDBServices> keydb(qoxKeyDBServices, qoxRegisterKeyDBServices);
  const QOXKeyDBServices* previous = qoxRegisterKeyDBServices(nullptr);  // the stand-ins
  QOXtlsSession* s = env.NewSession(false);
  EXPECT_EQ(QOXtlsSetLocalPrivateKey(s, kKey, nullptr, nullptr), kQOXErrFeatureNotAvailable);
  EXPECT_EQ(s->localKey, nullptr);
  qoxRegisterKeyDBServices(previous);
}

}  // namespace

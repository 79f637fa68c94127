// One fuzz step for the request handlers, shared by the libFuzzer target
// (request_fuzz.cc) and the mutation test that runs under the sanitiser
// build: the input is one LDAP message as the connection thread reads it
// from its socket. It is taken apart as the connection thread does (the
// message ID, the operation's tag) and run through connection_operation,
// which dispatches Bind, Search (its filter decoded and tested against a few
// entries), Modify, Abandon, Unbind and the refused requests, over a
// connection whose answers go into a socket pair and an in-memory backend.
// Add (the key submission) is left out. The element holds exactly the input,
// so any read past it is caught.
#ifndef OSTRAK_TESTS_SERVER_FUZZ_REQUEST_FUZZ_BODY_H_
#define OSTRAK_TESTS_SERVER_FUZZ_REQUEST_FUZZ_BODY_H_

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "net/ber.h"
#include "net/ldap_protocol.h"
#include "server/backend.h"
#include "server/connection.h"
#include "server/daemon.h"
#include "server/dispatch.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/filter.h"
#include "server/result.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "server/main/wiring.h"

namespace request_fuzz {

// The entries the in-memory backend searches (kept for the whole run).
inline std::vector<Entry*>& Entries() {
  static auto* entries = new std::vector<Entry*>;
  return *entries;
}

inline int MemBind(Backend*, Connection* conn, Operation* op, const char* dn, int, BerValue* cred) {
  static const char kSecret[] = "secret";
  if (strcmp(dn, "CN=FUZZ") == 0 && cred != nullptr && cred->bv_len == sizeof kSecret - 1 &&
      memcmp(cred->bv_val, kSecret, cred->bv_len) == 0)
    return 0;  // the core records the identity and answers
  send_ldap_result(conn, op, kLdapInvalidCredentials, nullptr, nullptr);
  return 1;
}

inline int MemSearch(Backend* be, Connection* conn, Operation* op, const char*, int, int, int sizeLimit, int,
                     Filter* filter, const char*, char** attrs, int typesOnly) {
  int sent = 0;
  for (Entry* e : Entries()) {
    if (test_filter(be, conn, op, e, filter) != 0) continue;
    if (sizeLimit > 0 && sent >= sizeLimit) {
      send_ldap_search_result(conn, op, kLdapSizeLimitExceeded, nullptr, nullptr, sent);
      return 0;
    }
    if (send_search_entry(be, conn, op, e, attrs, nullptr, typesOnly) == 0) ++sent;
  }
  send_ldap_search_result(conn, op, kLdapSuccess, nullptr, nullptr, sent);
  return 0;
}

inline int MemModify(Backend*, Connection* conn, Operation* op, const char*, Modification* mods) {
  size_t values = 0;
  for (Modification* m = mods; m != nullptr; m = m->mod_next)
    for (BerValue** v = m->mod_bvalues; v != nullptr && *v != nullptr; ++v) values += (*v)->bv_len;
  send_ldap_result(conn, op, values > 0 ? kLdapSuccess : kLdapNoSuchAttribute, nullptr, nullptr);
  return 0;
}

// The process-wide frame, made once: the toolkit and the server state with
// the in-memory backend, and the connection.
struct Frame {
  Connection conn{};
  int peer = -1;

  Frame() {
    ostrakWire();
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    ErrorLogInit("fuzz", kLogError * 2, 0, 1, nullptr);  // above every level: nothing is written
    if (g_pszCurrentDirectory == nullptr) g_pszCurrentDirectory = zovurezStrdup("/");
    vuzizInitGlobals(&g);
    new_backend("mem", &g->backends, &g->backendCount, &g->backendCapacity);
    Backend* be = select_backend();
    be->ops.bind = MemBind;
    be->ops.search = MemSearch;
    be->ops.modify = MemModify;
    static const char* const kTexts[] = {
        "dn: QOXCERTID=00000000AAAA0001,OU=ACTIVE,O=QOX KEYSPACE,C=US\nobjectclass: qoxcertificate\n"
        "qoxcertid: 00000000AAAA0001\nqoxkeyid: AAAA0001\nqoxkey: KEY-A\n",
        "dn: QOXUSERID=Alice Example,QOXCERTID=00000000AAAA0001,OU=ACTIVE,O=QOX KEYSPACE,C=US\n"
        "objectclass: qoxuserid\nqoxuserid: Alice Example <alice@example.org>\nqoxkeyid: AAAA0001\n",
        "dn: cn=Robert Jones,OU=ACTIVE,O=QOX KEYSPACE,C=US\nobjectclass: person\ncn: -- Robert Jones\n"
        "telephonenumber: +1 555-0100\nsn: Jones\n",
    };
    for (const char* t : kTexts) {
      std::string copy = t;
      if (Entry* e = str2entry(copy.data())) Entries().push_back(e);
    }
    if (!Entries().empty()) {
      static const char kNul[] = "a\0b c";
      AddDirAttrToEntry(Entries().back(), "description", kNul, sizeof kNul - 1);
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
    int size = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    peer = sv[1];
    conn.socket = sv[0];
    QOXNewContext(kQOXAPIVersion, &conn.context);
    conn.connNumber = 1;
    conn.clientAddress = zovurezStrdup("127.0.0.1");
    QOXMutexCreate(&conn.dnMutex, nullptr);
    QOXMutexCreate(&conn.opMutex, nullptr);
    QOXMutexCreate(&conn.activityMutex, nullptr);
  }

  void Drain() {
    char buffer[65536];
    while (recv(peer, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }
};

inline Frame& TheFrame() {
  static Frame* frame = new Frame;  // kept for the whole run
  return *frame;
}

inline void Run(const uint8_t* data, size_t size) {
  Frame& f = TheFrame();
  Connection* c = &f.conn;
  if (c->context == nullptr) return;
  QOXberElement* ber = nullptr;
  if (QOXNewBERElement(c->context, &ber) != 0) return;
  // The element's bytes from the read index on are exactly the input.
  qoxBERStrAppend(ber, size ? static_cast<const void*>(data) : "", kTagOctetString, static_cast<uint32_t>(size));
  uint32_t length = 0;
  QOXberGetLength(ber, &length);
  QOXberSetIndex(ber, length - static_cast<uint32_t>(size));
  uint32_t tag = 0, n = 0;
  int32_t msgID = 0;
  uint32_t opTag = 0;
  if (QOXberPeek(ber, &tag, &n) != 0 || tag != kTagSequence || QOXberRead(ber, "{i", &msgID) != 0 ||
      QOXberPeek(ber, &opTag, &n) != 0 || opTag == kLdapAddRequest ||
      ((opTag & 0x20) != 0 && QOXberNextPrimitive(ber) != 0)) {
    QOXFreeBERElement(ber);
    return;
  }
  char* dn;
  {
    QOXMutexGuard guard(&c->dnMutex);
    dn = zovurezStrdup(c->boundDN != nullptr ? c->boundDN : "");
  }
  Operation* op;
  {
    QOXMutexGuard guard(&c->opMutex);
    op = op_add(&c->operations, ber, msgID, opTag, dn, c->opsInitiated, c->connNumber);
  }
  zovurezFree(dn);
  if (op == nullptr) {
    QOXFreeBERElement(ber);
    return;
  }
  connection_operation(c, op);  // frees the operation and its element
  f.Drain();
}

}  // namespace request_fuzz

#endif  // OSTRAK_TESTS_SERVER_FUZZ_REQUEST_FUZZ_BODY_H_

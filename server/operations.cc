// LDAP request handlers and the pseudo entries.
#include "server/operations.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "net/ber.h"
#include "net/ldap_protocol.h"
#include "server/backend.h"
#include "server/ber_helpers.h"
#include "server/connection.h"
#include "server/daemon.h"
#include "server/dn.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/filter.h"
#include "server/result.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

// Reads the octet string at the read index into a new NUL-terminated
// buffer. kLdapSuccess, kLdapProtocolError (decoding) or kLdapNoMemory.
[[nodiscard]] int ReadOctets(QOXberElement* ber, char** out, uint32_t* length, bool implicit) {
  *out = nullptr;
  uint32_t tag = 0, n = 0;
  if (QOXberPeek(ber, &tag, &n) != 0) return kLdapProtocolError;
  if (!implicit && tag != kTagOctetString) return kLdapProtocolError;
  char* buffer = static_cast<char*>(zovurezMalloc(static_cast<size_t>(n) + 1));
  if (buffer == nullptr) return kLdapNoMemory;
  QOXError err = n == 0 ? QOXberSkip(ber) : QOXberRead(ber, implicit ? "*o" : "o", buffer, n);
  if (err != 0) {
    zovurezFree(buffer);
    return kLdapProtocolError;
  }
  buffer[n] = '\0';
  *out = buffer;
  if (length != nullptr) *length = n;
  return 0;
}

// Reads a primitive integer-like element of the given universal tag (a
// BOOLEAN of exactly one octet).
[[nodiscard]] bool ReadInt(QOXberElement* ber, uint32_t wantTag, const char* letter, int32_t* out) {
  uint32_t tag = 0, n = 0;
  if (QOXberPeek(ber, &tag, &n) != 0 || tag != wantTag) return false;
  if (wantTag == kTagBoolean && n != 1) return false;
  return QOXberRead(ber, letter, out) == 0;
}

// The requested attribute types: a SEQUENCE OF OCTET STRING.
[[nodiscard]] bool IsAttributeList(QOXberElement* ber) {
  uint32_t tag = 0, n = 0;
  return QOXberPeek(ber, &tag, &n) == 0 && tag == kTagSequence;
}

void FreeMods(Modification* m) {
  while (m != nullptr) {
    Modification* next = m->mod_next;
    zovurezFree(m->mod_type);
    berValuesFree(m->mod_bvalues);
    zovurezFree(m);
    m = next;
  }
}

void FormatLocal(uint32_t t, const char* format, char* out, size_t size) {
  time_t when = t;
  struct tm tmv {};
  bool ok;
  {
    QOXMutexGuard guard(&g->mutexTimeConvert);
    ok = localtime_r(&when, &tmv) != nullptr;
  }
  QOXMutexGuard guard(&g->mutexTimeFormat);
  if (!ok || strftime(out, size, format, &tmv) == 0) snprintf(out, size, "00:00");
}

void FormatUTC(uint32_t t, char* out, size_t size) {
  time_t when = t;
  struct tm tmv {};
  QOXMutexGuard guard(&g->mutexTimeFormat);
  if (gmtime_r(&when, &tmv) == nullptr || strftime(out, size, "%Y%m%d%H%M%SZ", &tmv) == 0)
    snprintf(out, size, "00:00");
}

// Builds an entry of text attributes, in order.
struct PseudoEntry {
  Entry* entry = entry_new();
  bool ok = entry != nullptr;
  ~PseudoEntry() { entry_free(entry); }
  void SetDN(const char* dn) {
    if (!ok) return;
    entry->e_dn = zovurezStrdup(dn);
    ok = entry->e_dn != nullptr;
  }
  void Add(const char* type, const std::string& value) {
    if (ok) ok = AddDirAttrToEntry(entry, type, value.c_str(), static_cast<uint32_t>(value.size())) == 0;
  }
};

// Sends a pseudo entry; the outcome of send_search_entry.
int SendPseudoEntry(Connection* conn, Operation* op, PseudoEntry& e) {
  if (!e.ok) return -1;
  return send_search_entry(select_backend(), conn, op, e.entry, nullptr, nullptr, 0);
}

}  // namespace

void do_bind(Connection* conn, Operation* op) {
  QOXberElement* ber = op->request;
  int32_t version = 0;
  if (!ReadInt(ber, kTagInteger, "i", &version)) {
    send_ldap_result(conn, op, kLdapProtocolError, nullptr, "decoding error");
    return;
  }
  if (version != kLdapVersion2) {
    send_ldap_result(conn, op, kLdapProtocolError, nullptr, "version not supported");
    return;
  }
  ZovurezPtr<char> dn, credentials;
  uint32_t credentialsLength = 0;
  if (ReadOctets(ber, ostrak::OutParam(dn), nullptr, false) != kLdapSuccess) {
    send_ldap_result(conn, op, kLdapProtocolError, nullptr, "decoding error");
    return;
  }
  uint32_t tag = 0, n = 0;
  if (QOXberPeek(ber, &tag, &n) != 0 || tag != kLdapAuthSimple) {
    send_ldap_result(conn, op, kLdapAuthMethodNotSupported, nullptr, "auth error");
    return;
  }
  if (ReadOctets(ber, ostrak::OutParam(credentials), &credentialsLength, true) != kLdapSuccess) {
    send_ldap_result(conn, op, kLdapProtocolError, nullptr, "decoding error");
    return;
  }
  dn_normalize(dn.get());
  if (*dn == '\0') {
    // Anonymous: the connection keeps the identity it had.
    send_ldap_result(conn, op, kLdapSuccess, nullptr, nullptr);
    return;
  }
  LogError(kLogVerbose, "conn=%d op=%d BIND dn=%s method=%d.", conn->connNumber, op->opNumber, dn.get(),
           static_cast<int>(kLdapAuthSimple));
  Backend* be = select_backend();
  if (be == nullptr) {
    send_ldap_result(conn, op, credentialsLength > 0 ? kLdapPartialResults : kLdapSuccess, nullptr, nullptr);
    return;
  }
  if (be->ops.bind == nullptr) {
    send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
    return;
  }
  BerValue cred{credentialsLength, credentials.get()};
  if (be->ops.bind(be, conn, op, dn.get(), static_cast<int>(kLdapAuthSimple), &cred) != 0) return;
  {
    QOXMutexGuard guard(&conn->dnMutex);
    zovurezFree(conn->boundDN);
    zovurezFree(conn->boundCredentials);
    conn->boundDN = dn.release();
    conn->boundCredentials = credentials.release();
  }
  if (conn->reconstructionBind)
    send_ldap_search_result(conn, op, kLdapSuccess, nullptr, nullptr, kBindOutcomeReconstruction);
  else
    send_ldap_result(conn, op, kLdapSuccess, nullptr, nullptr);
}

void do_unbind(Connection* conn, Operation* op) {
  LogError(kLogVerbose, "conn=%d op=%d UNBIND.", conn->connNumber, op->opNumber);
  be_unbind(conn, op);
}

void do_abandon(Connection* conn, Operation* op) {
  int32_t target = 0;
  uint32_t tag = 0, n = 0;
  // The message ID is the Abandon element's own contents.
  if (QOXberPeek(op->request, &tag, &n) != 0 || QOXberRead(op->request, "*i", &target) != 0) return;
  QOXMutexGuard guard(&conn->opMutex);
  for (Operation* o = conn->operations; o != nullptr; o = o->next) {
    if (o->msgID == target) {
      QOXMutexGuard abandon(&o->abandonMutex);
      o->abandoned = 1;
      break;
    }
  }
}

void do_modify(Connection* conn, Operation* op) {
  QOXberElement* ber = op->request;
  char* dn = nullptr;
  char* received = nullptr;
  Modification* mods = nullptr;
  Modification** tail = &mods;
  auto fail = [&](const char* message, int result) {
    if (message != nullptr) LogError(kLogError, "%s", message);
    send_ldap_result(conn, op, result, nullptr, "");
  };
  do {
    if (berReadStringAlloc(ber, &dn, nullptr) != 0) {
      fail("do_modify: berReadStringAlloc failed.", 2);
      break;
    }
    received = zovurezStrdup(dn);
    if (received == nullptr) {
      fail(nullptr, 1);
      break;
    }
    dn_normalize(dn);
    zovurezFree(op->logData.objectText);
    op->logData.objectText = zovurezStrdup(dn);
    uint32_t tag = 0, end = 0;
    QOXError err = berFirstElement(ber, &tag, &end, -1);
    if (err != 0) {
      fail("do_modify: berFirstElement failed.", 2);
      break;
    }
    QOXberNext(ber);  // onto the first modification
    bool failed = false;
    for (berNextElement(ber, &tag, end); tag != kBerNoTag; berNextElement(ber, &tag, end)) {
      if (tag != kTagSequence || QOXberNext(ber) != 0) {
        fail("do_modify: Incomplete LDAP operation.", 2);
        failed = true;
        break;
      }
      auto* m = static_cast<Modification*>(zovurezCalloc(1, sizeof(Modification)));
      if (m == nullptr) {
        fail(nullptr, 1);
        failed = true;
        break;
      }
      *tail = m;
      tail = &m->mod_next;
      int32_t operation = 0;
      if (!ReadInt(ber, kTagEnumerated, "e", &operation)) {
        fail("do_modify: QOXberRead failed.", 2);
        failed = true;
        break;
      }
      uint32_t t = 0, n = 0;
      if (QOXberPeek(ber, &t, &n) != 0 || t != kTagSequence || QOXberNext(ber) != 0) {
        fail("do_modify: QOXberNextPrimitive failed.", 2);
        failed = true;
        break;
      }
      if (berReadStringAlloc(ber, &m->mod_type, nullptr) != 0) {
        fail("do_modify: berReadStringAlloc failed.", 2);
        failed = true;
        break;
      }
      int count = 0;
      if (berReadVectorAlloc(ber, &m->mod_bvalues, &count) != 0) {
        fail("do_modify: berReadVectorAlloc failed.", 2);
        failed = true;
        break;
      }
      if (operation < kModAdd || operation > kModReplace) {
        fail("do_modify: Unknown mod_op type.", 2);
        failed = true;
        break;
      }
      m->mod_op = operation;
      if (count == 0 && operation != kModDelete) {
        fail("do_modify: No values found.", 2);
        failed = true;
        break;
      }
      attr_normalize(m->mod_type);
    }
    if (failed) break;
    LogError(kLogVerbose, "conn=%d op=%d MOD dn=%s.", conn->connNumber, op->opNumber, dn);
    Backend* be = select_backend();
    if (be == nullptr) {
      send_ldap_result(conn, op, kLdapPartialResults, nullptr, nullptr);
    } else if (be->ops.modify == nullptr) {
      send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
    } else {
      be->ops.modify(be, conn, op, received, mods);
    }
  } while (false);
  zovurezFree(dn);
  zovurezFree(received);
  FreeMods(mods);
}

char* add_lastmods(Operation* op, Modification** list) {
  for (Modification** p = list; *p != nullptr;) {
    if (strcasecmp((*p)->mod_type, "modifytimestamp") == 0 || strcasecmp((*p)->mod_type, "modifiersname") == 0) {
      Modification* gone = *p;
      *p = gone->mod_next;
      gone->mod_next = nullptr;
      FreeMods(gone);
    } else {
      p = &(*p)->mod_next;
    }
  }
  char stamp[32];
  FormatLocal(vuzizCurrentTime(), "%y%m%d%H%M%SZ", stamp, sizeof stamp);
  const char* who = op->boundDN != nullptr && *op->boundDN != '\0' ? op->boundDN : "NULLDN";
  const char* types[2] = {"modifiersname", "modifytimestamp"};
  const char* values[2] = {who, stamp};
  for (int i = 0; i < 2; ++i) {
    auto* m = static_cast<Modification*>(zovurezCalloc(1, sizeof(Modification)));
    BerValue value{static_cast<uint32_t>(strlen(values[i])), const_cast<char*>(values[i])};
    BerValue* one[2] = {&value, nullptr};
    if (m == nullptr) break;
    m->mod_op = kModReplace;
    m->mod_type = zovurezStrdup(types[i]);
    berValuesAdd(&m->mod_bvalues, one);
    m->mod_next = *list;
    *list = m;
  }
  return op->boundDN;
}

void do_delete(Connection* conn, Operation* op) {
  send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
}
void do_modifyrdn(Connection* conn, Operation* op) {
  send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
}
void do_compare(Connection* conn, Operation* op) {
  send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
}

void do_search(Connection* conn, Operation* op) {
  QOXberElement* ber = op->request;
  char* base = nullptr;
  Filter* filter = nullptr;
  char* filterString = nullptr;
  char** attrs = nullptr;
  do {
    int rc = ReadOctets(ber, &base, nullptr, false);
    if (rc == kLdapNoMemory) {
      send_ldap_result(conn, op, kLdapNoMemory, nullptr, "memory error");
      break;
    }
    int32_t scope = 0, deref = 0, sizeLimit = 0, timeLimit = 0, typesOnly = 0;
    // The limits are INTEGER (0 .. maxInt).
    if (rc != 0 || !ReadInt(ber, kTagEnumerated, "e", &scope) || !ReadInt(ber, kTagEnumerated, "e", &deref) ||
        !ReadInt(ber, kTagInteger, "i", &sizeLimit) || !ReadInt(ber, kTagInteger, "i", &timeLimit) ||
        !ReadInt(ber, kTagBoolean, "b", &typesOnly) || sizeLimit < 0 || timeLimit < 0) {
      send_ldap_result(conn, op, kLdapProtocolError, nullptr, "decoding error");
      break;
    }
    if (static_cast<uint32_t>(scope) > kLdapScopeSubtree) {
      send_ldap_result(conn, op, kLdapProtocolError, nullptr, "scope error");
      break;
    }
    dn_normalize(base);
    rc = get_filter(conn, ber, &filter, &filterString);
    if (rc == kFilterLimitExceeded) {
      send_ldap_result(conn, op, kFilterLimitExceeded, nullptr, "filter too large");
      break;
    }
    if (rc != 0) {
      send_ldap_result(conn, op, kLdapFilterError, nullptr, "bad search filter");
      break;
    }
    zovurezFree(op->logData.objectText);
    op->logData.objectText = zovurezStrdup(filterString);
    int count = 0;
    if (!IsAttributeList(ber) || berReadAttrsAlloc(ber, &attrs, &count) != 0) {
      send_ldap_result(conn, op, kLdapProtocolError, nullptr, "decoding error");
      break;
    }
    for (int i = 0; i < count; ++i) attr_normalize(attrs[i]);
    LogError(kLogVerbose, "conn=%d op=%d SRCH base=%s scope=%d filter=%s.", conn->connNumber, op->opNumber, base,
             scope, filterString);
    if (scope == kLdapScopeBase && strcasecmp(base, "CN=QOXSERVERINFO") == 0) {
      QOXServerInfo(conn, op);
      break;
    }
    if (scope == kLdapScopeBase && strcasecmp(base, "cn=monitor") == 0) {
      monitor_info(conn, op);
      break;
    }
    Backend* be = select_backend();
    if (be == nullptr) {
      send_ldap_result(conn, op, kLdapPartialResults, nullptr, nullptr);
    } else if (be->ops.search == nullptr) {
      send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
    } else {
      be->ops.search(be, conn, op, base, static_cast<int>(scope), static_cast<int>(deref), static_cast<int>(sizeLimit),
                 static_cast<int>(timeLimit), filter, filterString, attrs, static_cast<int>(typesOnly));
    }
  } while (false);
  zovurezFree(base);
  zovurezFree(filterString);
  filter_free(filter);
  charray_free(attrs);
}

void QOXServerInfo(Connection* conn, Operation* op) {
  static constexpr const char* kAttrs[][2] = {
      {"version", "1.0"},
      {"software", "QOX Keyserver"},
      {"basekeyspacedn", "OU=ACTIVE,O=QOX KEYSPACE,C=US"},
      {"basependingdn", "OU=PENDING,O=QOX KEYSPACE,C=US"},
      {"baseclientprefdn", "O=QOX CLIENT PREFS SPACE,C=US"},
      {"baserecondn", "O=QOX RECONSTRUCTION SPACE,C=US"},
  };
  PseudoEntry e;
  e.SetDN("CN=QOXSERVERINFO");
  for (const auto& a : kAttrs) {
    if (strcmp(a[0], "baserecondn") == 0 && !g->AcceptReconstructionData) continue;
    e.Add(a[0], a[1]);
    conn->keyBytesSent += static_cast<int32_t>(strlen(a[0]) + strlen(a[1]));
  }
  switch (SendPseudoEntry(conn, op, e)) {
    case 0:
      send_ldap_search_result(conn, op, kLdapSuccess, nullptr, nullptr, kSearchOutcomeServerInfo);
      break;
    case 1:
      send_ldap_search_result(conn, op, kLdapInsufficientAccess, nullptr, nullptr, kSearchOutcomeFailed);
      break;
    case -1:
      send_ldap_search_result(conn, op, kLdapOperationsError, nullptr, nullptr, kSearchOutcomeFailed);
      break;
    default:
      break;  // the write failed: nothing more is sent
  }
}

void monitor_info(Connection* conn, Operation* op) {
  PseudoEntry e;
  e.SetDN("cn=monitor");
  std::string version = kServerVersionText;
  version = version.substr(0, version.find_first_of("\r\n"));
  e.Add("version", version);
  int32_t threads;
  {
    QOXMutexGuard guard(&g->mutexThreadCount);
    threads = g->connectionThreads;
  }
  e.Add("threads", std::to_string(threads));
  // The slots are read under the table mutex (the listener frees their
  // strings under it), each DN under its slot's DN mutex; the entry is
  // sent after the mutexes are released.
  struct Row {
    int32_t slot;
    uint32_t started;
    int32_t initiated, completed;
    std::string dn;
    bool readWaiter, writeWaiter;
  };
  std::vector<Row> rows;
  int readWaiters = 0, writeWaiters = 0;
  int32_t tableSize;
  {
    QOXMutexGuard guard(&g->mutexConnTable);
    tableSize = vuzizConnTableSize;
    for (int32_t i = 0; vuzizConnTable != nullptr && i <= g->highestSlot && i < vuzizConnTableSize; ++i) {
      Connection* c = &vuzizConnTable[i];
      if (c->socket == -1) continue;
      Row r{i, c->startTime, 0, 0, "", c->readWaiter != 0, c->writeWaiter != 0};
      {
        QOXMutexGuard ops(&c->opMutex);
        r.initiated = c->opsInitiated;
        r.completed = c->opsCompleted;
      }
      {
        QOXMutexGuard dnGuard(&c->dnMutex);
        r.dn = c->boundDN != nullptr ? c->boundDN : "NULLDN";
      }
      if (r.readWaiter) ++readWaiters;
      if (r.writeWaiter) ++writeWaiters;
      rows.push_back(std::move(r));
    }
  }
  std::vector<std::string> connections;
  for (const Row& r : rows) {
    char started[32];
    FormatUTC(r.started, started, sizeof started);
    char line[128];
    snprintf(line, sizeof line, "%d : %s : %ld : %ld : ", r.slot, started, static_cast<long>(r.initiated),
             static_cast<long>(r.completed));
    // "%d : %s : %ld : %ld : %s : %s%s": the separator after the DN stays
    // when neither flag is set.
    connections.push_back(line + r.dn + " : " + (r.readWaiter ? "r" : "") + (r.writeWaiter ? "w" : ""));
  }
  for (const std::string& c : connections) e.Add("connection", c);
  uint32_t opsInitiated, opsCompleted, totalConnections, entriesSent, bytesSent;
  {
    QOXMutexGuard guard(&g->mutexOpCounters);
    opsInitiated = g->statOpsInitiated;
    opsCompleted = g->statOpsCompleted;
    totalConnections = g->statConnections;
  }
  {
    QOXMutexGuard guard(&g->mutexSentStats);
    entriesSent = g->statEntriesSent;
    bytesSent = g->statBytesSent;
  }
  e.Add("currentconnections", std::to_string(connections.size()));
  e.Add("totalconnections", std::to_string(totalConnections));
  e.Add("dtablesize", std::to_string(tableSize));
  e.Add("writewaiters", std::to_string(writeWaiters));
  e.Add("readwaiters", std::to_string(readWaiters));
  e.Add("opsinitiated", std::to_string(opsInitiated));
  e.Add("opscompleted", std::to_string(opsCompleted));
  e.Add("entriessent", std::to_string(entriesSent));
  e.Add("bytessent", std::to_string(bytesSent));
  char when[32];
  FormatLocal(vuzizCurrentTime(), "%Y%m%d%H%M%SZ", when, sizeof when);
  e.Add("currenttime", when);
  FormatLocal(static_cast<uint32_t>(g_startTime), "%Y%m%d%H%M%SZ", when, sizeof when);
  e.Add("starttime", when);
  e.Add("nbackends", std::to_string(g->backendCount));
  SendPseudoEntry(conn, op, e);
  send_ldap_search_result(conn, op, kLdapSuccess, nullptr, nullptr, 1);
}

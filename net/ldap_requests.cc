// LDAP client requests: each encodes one LDAPMessage with the BER encoder
// under a fresh message ID and sends it whole; the Sync forms then wait for
// its result.
//
// Layouts (QOXberAppend letters; every request is SEQUENCE {ID, protocolOp}):
//   bind        {it{ists}}   ID, 0x60, version 2, DN, 0x80 (simple), password
//   unbind      {itn}        ID, 0x42
//   abandon     {iti}        ID, 0x50, the ID abandoned
//   search      {it{seeiib   ID, 0x63, base, scope, dereferencing, size and
//               <filter>     time limits, types-only; the filter;
//               {v}}}        the requested types
//   modify      {it{s{       ID, 0x66, DN; per modification {e{s[v]}} or
//                            {e{s[V]}} (0x10 set: length-and-bytes values)
//   add         {it{s{       ID, 0x68, DN; per attribute {s[v]} or {s[V]}
//   delete      {its}        ID, 0x4A, DN
//   modify-RDN  {it{ssb}}    ID, 0x6C, DN, new RDN, delete-old-RDN flag
//   compare     {it{s{ss}}}  ID, 0x6E, DN, type, value
#include <cerrno>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/scoped.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"
#include "net/ldap_result.h"
#include "net/sockets.h"

namespace {

using ostrak::ldap::ValidContext;

const char* OrEmpty(const char* text) { return text ? text : ""; }

// The next message ID: 1 after 2^31 - 1, as LDAP message IDs stay positive.
int32_t NextMessageID(QOXldapContext context) {
  uint32_t id = static_cast<uint32_t>(context->lastMessageID) + 1;
  if (id > 0x7fffffffu) id = 1;
  context->lastMessageID = static_cast<int32_t>(id);
  return context->lastMessageID;
}

// Builds a request under a fresh message ID with `build` and sends it; the
// ID goes to *outID once it is sent. The element is freed in every case.
template <typename Build>
QOXError SendRequest(QOXldapContext context, int32_t* outID, Build build) {
  ostrak::UniquePtr<QOXberElement> element;
  QOXError err = qoxNewBERElement(context->mgr, ostrak::OutParam(element));
  if (err != kQOXErrNoErr) return err;
  const int32_t id = NextMessageID(context);
  if ((err = build(element.get(), id)) != kQOXErrNoErr) return err;
  if ((err = qoxLDAPSend(context, element.get())) != kQOXErrNoErr) return err;
  *outID = id;
  return kQOXErrNoErr;
}

// The wait of a Sync form for the result of `id`, without a time limit: the
// error of the wait, else the result code through the result table. With
// `drop`, the result's message leaves the pending list when it arrived
// during this call (`before` was the last pending message when it began).
QOXError WaitSync(QOXldapContext context, int32_t id, QOXldapMessage* before, bool drop) {
  QOXldapMessage result{};
  uint32_t tag = 0;
  QOXError err = QOXldapGetResult(context, id, 0, nullptr, &result, &tag);
  if (err != kQOXErrNoErr) return err;
  if (drop) ostrak::ldap::DropNewPending(context, before, result.element);
  return QOXldapResultToError(context, context->resultCode);
}

// Appends one attribute: {s[v]} or, with kLdapModBinaryValues, {s[V]}.
QOXError AppendAttribute(QOXberElement* e, const QOXldapMod* mod) {
  if (mod->op & kLdapModBinaryValues) return QOXberAppend(e, "{s[V]}", mod->type, mod->bvalues);
  return QOXberAppend(e, "{s[v]}", mod->type, mod->values);
}

// Appends a list of modifications or attributes; null entries end it.
QOXError AppendMods(QOXberElement* e, QOXldapMod** mods, bool withOp) {
  for (QOXldapMod** m = mods; *m != nullptr; ++m) {
    QOXError err = kQOXErrNoErr;
    if (withOp) err = QOXberAppend(e, "{e", (*m)->op & ~kLdapModBinaryValues);
    if (err == kQOXErrNoErr) err = AppendAttribute(e, *m);
    if (err == kQOXErrNoErr && withOp) err = QOXberAppend(e, "}");
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxLDAPSend(QOXldapContext context, QOXberElement* element) {
  if (!ValidContext(context) || element == nullptr) return kQOXErrBadParams;
  if (context->socket < 0) return kQOXErrSocketNotConnected;
  const uint8_t* p = nullptr;
  uint32_t left = 0;
  QOXberGetEncoding(element, &p);
  QOXberGetLength(element, &left);
  while (left) {
    errno = 0;
    ssize_t n = QOXSend(context->socket, p, left, 0);
    if (n > 0) {
      p += n;
      left -= static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return kQOXErrSocketNotConnected;  // a TLS peer shut the connection
    QOXError err = QOXGetLastSocketsError();
    return err != kQOXErrNoErr ? err : kQOXErrUnknownError2;
  }
  return kQOXErrNoErr;
}

// --- Connection requests ---

QOXError QOXldapBind(QOXldapContext context, const char* dn, const char* password, int32_t method,
                     int32_t* outMessageID) {
  if (!ValidContext(context) || outMessageID == nullptr) return kQOXErrBadParams;
  if (method != kLdapAuthSimple) return kLdapAuthMethodNotSupported;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    return QOXberAppend(e, "{it{ists}}", id, kLdapBindRequest, kLdapVersion2, OrEmpty(dn),
                        static_cast<uint32_t>(kLdapAuthSimple), OrEmpty(password));
  });
}

QOXError QOXldapSimpleBind(QOXldapContext context, const char* dn, const char* password,
                           int32_t* outMessageID) {
  return QOXldapBind(context, dn, password, kLdapAuthSimple, outMessageID);
}

QOXError QOXldapBindSync(QOXldapContext context, const char* dn, const char* password,
                         int32_t method) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  QOXldapMessage* before = context->pendingLast;
  int32_t id = 0;
  QOXError err = QOXldapBind(context, dn, password, method, &id);
  if (err != kQOXErrNoErr) return err;
  return WaitSync(context, id, before, true);
}

QOXError QOXldapSimpleBindSync(QOXldapContext context, const char* dn, const char* password) {
  return QOXldapBindSync(context, dn, password, kLdapAuthSimple);
}

QOXError QOXldapUnbind(QOXldapContext context) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  int32_t id = 0;
  QOXError err = SendRequest(context, &id, [](QOXberElement* e, int32_t id) {
    return QOXberAppend(e, "{itn}", id, kLdapUnbindRequest);
  });
  if (err != kQOXErrNoErr) return err;
  QOXCloseSocket(context->socket);
  context->socket = -1;
  context->resultCode = kLdapSuccess;
  return kQOXErrNoErr;
}

QOXError QOXldapAbandon(QOXldapContext context, int32_t messageID) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  int32_t id = 0;
  return SendRequest(context, &id, [&](QOXberElement* e, int32_t id) {
    return QOXberAppend(e, "{iti}", id, kLdapAbandonRequest, messageID);
  });
}

// --- Search ---

QOXError QOXldapSearch(QOXldapContext context, const char* base, int32_t scope, const char* filter,
                       char** types, uint8_t typesOnly, int32_t* outMessageID) {
  if (outMessageID != nullptr) *outMessageID = 0;
  if (!ValidContext(context) || filter == nullptr || outMessageID == nullptr) return kQOXErrBadParams;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    QOXError err = QOXberAppend(e, "{it{seeiib", id, kLdapSearchRequest, OrEmpty(base), scope,
                                context->deref, context->sizeLimit, context->timeLimit,
                                static_cast<int32_t>(typesOnly));
    if (err == kQOXErrNoErr) err = qoxLDAPAddFilter(context, e, filter);
    if (err == kQOXErrNoErr) err = QOXberAppend(e, "{v}}}", types);
    return err;
  });
}

QOXError QOXldapSearchSyncTimeout(QOXldapContext context, const char* base, int32_t scope,
                                  const char* filter, char** types, uint8_t typesOnly,
                                  const struct timeval* timeLimit, QOXldapMessage* result) {
  if (!ValidContext(context) || result == nullptr) return kQOXErrBadParams;
  int32_t id = 0;
  QOXError err = QOXldapSearch(context, base, scope, filter, types, typesOnly, &id);
  if (err != kQOXErrNoErr) return err;
  uint32_t tag = 0;
  err = QOXldapGetResult(context, id, 1, timeLimit, result, &tag);
  if (err != kQOXErrNoErr) return err;
  return QOXldapResultToError(context, context->resultCode);
}

QOXError QOXldapSearchSync(QOXldapContext context, const char* base, int32_t scope,
                           const char* filter, char** types, uint8_t typesOnly,
                           QOXldapMessage* result) {
  return QOXldapSearchSyncTimeout(context, base, scope, filter, types, typesOnly, nullptr, result);
}

// --- Updates ---

QOXError QOXldapModify(QOXldapContext context, const char* dn, QOXldapMod** mods,
                       int32_t* outMessageID) {
  if (!ValidContext(context) || mods == nullptr || outMessageID == nullptr) return kQOXErrBadParams;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    QOXError err = QOXberAppend(e, "{it{s{", id, kLdapModifyRequest, OrEmpty(dn));
    if (err == kQOXErrNoErr) err = AppendMods(e, mods, true);
    if (err == kQOXErrNoErr) err = QOXberAppend(e, "}}}");
    return err;
  });
}

QOXError QOXldapModifySync(QOXldapContext context, const char* dn, QOXldapMod** mods) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  QOXldapMessage* before = context->pendingLast;
  int32_t id = 0;
  QOXError err = QOXldapModify(context, dn, mods, &id);
  if (err != kQOXErrNoErr) return err;
  return WaitSync(context, id, before, true);
}

QOXError QOXldapAdd(QOXldapContext context, const char* dn, QOXldapMod** attrs,
                    int32_t* outMessageID) {
  if (!ValidContext(context) || attrs == nullptr || outMessageID == nullptr) return kQOXErrBadParams;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    QOXError err = QOXberAppend(e, "{it{s{", id, kLdapAddRequest, OrEmpty(dn));
    if (err == kQOXErrNoErr) err = AppendMods(e, attrs, false);
    if (err == kQOXErrNoErr) err = QOXberAppend(e, "}}}");
    return err;
  });
}

QOXError QOXldapAddSync(QOXldapContext context, const char* dn, QOXldapMod** attrs) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  QOXldapMessage* before = context->pendingLast;
  int32_t id = 0;
  QOXError err = QOXldapAdd(context, dn, attrs, &id);
  if (err != kQOXErrNoErr) return err;
  return WaitSync(context, id, before, true);
}

QOXError QOXldapDelete(QOXldapContext context, const char* dn, int32_t* outMessageID) {
  if (!ValidContext(context) || dn == nullptr || outMessageID == nullptr) return kQOXErrBadParams;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    return QOXberAppend(e, "{its}", id, kLdapDelRequest, dn);
  });
}

QOXError QOXldapDeleteSync(QOXldapContext context, const char* dn) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  QOXldapMessage* before = context->pendingLast;
  int32_t id = 0;
  QOXError err = QOXldapDelete(context, dn, &id);
  if (err != kQOXErrNoErr) return err;
  return WaitSync(context, id, before, true);
}

QOXError QOXldapModifyRDN(QOXldapContext context, const char* dn, const char* newRDN,
                          uint8_t deleteOldRDN, int32_t* outMessageID) {
  if (!ValidContext(context) || dn == nullptr || newRDN == nullptr || outMessageID == nullptr)
    return kQOXErrBadParams;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    return QOXberAppend(e, "{it{ssb}}", id, kLdapModifyRDNRequest, dn, newRDN,
                        static_cast<int32_t>(deleteOldRDN));
  });
}

QOXError QOXldapModifyRDNSync(QOXldapContext context, const char* dn, const char* newRDN,
                              uint8_t deleteOldRDN) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  QOXldapMessage* before = context->pendingLast;
  int32_t id = 0;
  QOXError err = QOXldapModifyRDN(context, dn, newRDN, deleteOldRDN, &id);
  if (err != kQOXErrNoErr) return err;
  return WaitSync(context, id, before, true);
}

// --- Compare ---

QOXError QOXldapCompare(QOXldapContext context, const char* dn, const char* type,
                        const char* value, int32_t* outMessageID) {
  if (!ValidContext(context) || dn == nullptr || type == nullptr || value == nullptr ||
      outMessageID == nullptr)
    return kQOXErrBadParams;
  return SendRequest(context, outMessageID, [&](QOXberElement* e, int32_t id) {
    return QOXberAppend(e, "{it{s{ss}}}", id, kLdapCompareRequest, dn, type, value);
  });
}

QOXError QOXldapGetCompareResult(QOXldapContext context, int32_t messageID, uint8_t* outTrue) {
  if (!ValidContext(context) || outTrue == nullptr) return kQOXErrBadParams;
  *outTrue = 0;
  QOXldapMessage result{};
  uint32_t tag = 0;
  QOXError err = QOXldapGetResult(context, messageID, 0, nullptr, &result, &tag);
  if (err != kQOXErrNoErr) return err;
  if (context->resultCode == kLdapCompareTrue) {
    *outTrue = 1;
    return kQOXErrNoErr;
  }
  if (context->resultCode == kLdapCompareFalse) return kQOXErrNoErr;
  return QOXldapResultToError(context, context->resultCode);
}

QOXError QOXldapCompareSync(QOXldapContext context, const char* dn, const char* type,
                            const char* value, uint8_t* outTrue) {
  if (!ValidContext(context) || outTrue == nullptr) return kQOXErrBadParams;
  *outTrue = 0;
  QOXldapMessage* before = context->pendingLast;
  int32_t id = 0;
  QOXError err = QOXldapCompare(context, dn, type, value, &id);
  if (err != kQOXErrNoErr) return err;
  QOXldapMessage result{};
  uint32_t tag = 0;
  if ((err = QOXldapGetResult(context, id, 0, nullptr, &result, &tag)) != kQOXErrNoErr) return err;
  err = QOXldapGetCompareResult(context, id, outTrue);
  ostrak::ldap::DropNewPending(context, before, result.element);
  return err;
}

// --- Searches by URL ---

namespace {

// Parses the URL and hands its search to `run`; a URL naming a host or a
// port is refused, the context being connected already.
template <typename Run>
QOXError WithURL(QOXldapContext context, const char* url, Run run) {
  QOXldapURLDesc* desc = nullptr;
  QOXError err = QOXldapURLParse(context, url, &desc);
  if (err != kQOXErrNoErr) return err;
  if (desc->host != nullptr || desc->port != 0) {
    err = kQOXErrBadParams;
  } else {
    err = run(desc);
  }
  QOXFreeLDAPURLDesc(desc);
  return err;
}

}  // namespace

QOXError QOXldapURLSearch(QOXldapContext context, const char* url, uint8_t typesOnly,
                          int32_t* outMessageID) {
  if (outMessageID != nullptr) *outMessageID = 0;
  if (!ValidContext(context) || url == nullptr || outMessageID == nullptr) return kQOXErrBadParams;
  return WithURL(context, url, [&](const QOXldapURLDesc* d) {
    return QOXldapSearch(context, d->dn, d->scope, d->filter, d->attrs, typesOnly, outMessageID);
  });
}

QOXError QOXldapURLSearchSyncTimeout(QOXldapContext context, const char* url, uint8_t typesOnly,
                                     const struct timeval* timeLimit, QOXldapMessage* result) {
  if (!ValidContext(context) || url == nullptr || result == nullptr) return kQOXErrBadParams;
  return WithURL(context, url, [&](const QOXldapURLDesc* d) {
    return QOXldapSearchSyncTimeout(context, d->dn, d->scope, d->filter, d->attrs, typesOnly,
                                    timeLimit, result);
  });
}

QOXError QOXldapURLSearchSync(QOXldapContext context, const char* url, uint8_t typesOnly,
                              QOXldapMessage* result) {
  return QOXldapURLSearchSyncTimeout(context, url, typesOnly, nullptr, result);
}

// LDAP results and search entries: one element built, one send.
#include "server/result.h"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/ldap_protocol.h"
#include "net/ldap_result.h"
#include "net/sockets.h"
#include "server/access_control.h"
#include "server/access_rules.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

using BerPtr = ostrak::UniquePtr<QOXberElement>;

struct FixedText {
  int result;
  const char* text;
};
constexpr FixedText kFixedTexts[] = {
    {kLdapOperationsError,
     "An error was detected on the server processing this request.  Consult the server admininstrator for "
     "assistance."},
    {kLdapProtocolError, "The data provided to the server was invalid or corrupt."},
    {kLdapTimeLimitExceeded, "This operation exceeded the maximum time limit for a single request."},
    {kLdapSizeLimitExceeded,
     "The number of certificates returned by this search exceeds the maximum set for this server."},
    {kLdapStrongAuthRequired, "This request must be signed by an authorized person."},
    {kLdapInvalidAttributeSyntax,
     "An invalid keyblock was received by the server.  See the server error log for more details."},
    {kLdapInappropriateAuthentication, "The authorization used for this request was invalid and unnecessary."},
    {kLdapInsufficientAccess, "You do not have authority to perform this action."},
    {kLdapNoMemory, "Server out of memory."},
};

// Attributes whose value lengths count as key bytes sent.
constexpr const char* kKeyByteTypes[] = {"qoxkey", "qoxkeyv2", "qoxrecondata", "qoxreconhashrepetitions",
                                         "qoxreconprompts"};

bool CountsAsKeyBytes(const char* type) {
  for (const char* t : kKeyByteTypes)
    if (strcasecmp(t, type) == 0) return true;
  return false;
}

void AddSentStats(uint32_t entries, uint32_t bytes) {
  QOXMutexGuard guard(&g->mutexSentStats);
  g->statEntriesSent += entries;
  g->statBytesSent += bytes;
}

// Writes bytes on the connection. On a real failure the socket is shut
// down, so that the connection's next read fails and its thread closes it.
bool WriteAll(Connection* conn, const uint8_t* bytes, uint32_t length, uint32_t entries) {
  QOXError err = qoxSendAll(conn->socket, bytes, length);
  if (err != 0) {
    char text[256];
    QOXGetErrorString(err, sizeof text, text);
    LogError(kLogVerbose, "Socket write failed with error %d (%s).", err, text);
    shutdown(conn->socket, SHUT_RDWR);
    return false;
  }
  AddSentStats(entries, length);
  return true;
}

bool Queue(PendingAnswers* p, const uint8_t* bytes, uint32_t length, bool entry) {
  const size_t needed = size_t{p->length} + length;
  if (needed > UINT32_MAX) return false;
  if (needed > p->capacity) {
    size_t capacity = std::max<size_t>({needed, size_t{p->capacity} * 2, 4096});
    capacity = std::min<size_t>(capacity, UINT32_MAX);
    auto* grown = static_cast<uint8_t*>(zovurezRealloc(p->bytes, capacity));
    if (grown == nullptr) return false;
    p->bytes = grown;
    p->capacity = static_cast<uint32_t>(capacity);
  }
  memcpy(p->bytes + p->length, bytes, length);
  p->length = static_cast<uint32_t>(needed);
  if (entry) ++p->entries;
  return true;
}

enum class Sent { kWritten, kQueued, kNotEncoded, kWriteFailed };

// Hands one encoded answer to the connection: queued behind the pending
// answers, or, with last set (a result) or once the pending bytes reach the
// threshold, written together with them. An answer that would be written
// alone is written straight from its element.
Sent Deliver(Connection* conn, QOXberElement* ber, bool entry, bool last) {
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  if (QOXberGetEncoding(ber, &bytes) != 0 || QOXberGetLength(ber, &length) != 0) return Sent::kNotEncoded;
  PendingAnswers* p = &conn->pending;
  if (p->length == 0 && (last || length >= kAnswerFlushThreshold))
    return WriteAll(conn, bytes, length, entry ? 1 : 0) ? Sent::kWritten : Sent::kWriteFailed;
  if (!Queue(p, bytes, length, entry)) {
    // No room to queue it: what waits goes first, then this answer alone.
    if (!vuzizFlushAnswers(conn)) return Sent::kWriteFailed;
    return WriteAll(conn, bytes, length, entry ? 1 : 0) ? Sent::kWritten : Sent::kWriteFailed;
  }
  if (!last && p->length < kAnswerFlushThreshold) return Sent::kQueued;
  return vuzizFlushAnswers(conn) ? Sent::kWritten : Sent::kWriteFailed;
}

}  // namespace

int QOXldapResultToProprietaryErrorString(int result, const char** text) {
  if (text == nullptr) {
    LogError(kLogError, "Bad parameters to function QOXldapResultToProprietaryErrorString.");
    return kQOXErrBadParams;
  }
  *text = nullptr;
  for (const FixedText& f : kFixedTexts)
    if (f.result == result) *text = f.text;
  return 0;
}

uint32_t vuzizResponseTag(uint32_t requestTag) {
  if (requestTag == 0) return kTagSequence;
  if (requestTag == kLdapDelRequest) return kLdapDelResponse;
  if (requestTag == kLdapSearchRequest) return kLdapSearchResultDone;
  return requestTag + 1;
}

void send_ldap_result(Connection* conn, Operation* op, int result, const char* matched, const char* text) {
  do_send_ldap_result(conn, op, result, matched, text, 0);
}

void send_ldap_search_result(Connection* conn, Operation* op, int result, const char* matched, const char* text,
                             int entryCount) {
  do_send_ldap_result(conn, op, result, matched, text, entryCount);
}

void do_send_ldap_result(Connection* conn, Operation* op, int result, const char* matched, const char* text,
                         int entryCount) {
  AddAccessLogEntry(conn, op, op->type, &op->logData, entryCount, result);

  char toolkitText[255];
  if (text == nullptr) {
    QOXldapResultToProprietaryErrorString(result, &text);
    if (text == nullptr) {
      QOXGetErrorString(QOXldapResultToError(nullptr, result), sizeof toolkitText, toolkitText);
      text = toolkitText;
    }
  }
  QOXberElement* raw = nullptr;
  if (QOXNewBERElement(conn->context, &raw) != 0) {
    vuzizTrace(kTraceStartStop, "do_send_ldap_result: QOXNewBERElement failed\n");
    return;
  }
  BerPtr ber(raw);
  if (QOXberAppend(raw, "{it{ess}}", op->msgID, vuzizResponseTag(op->tag), result,
                   matched != nullptr ? matched : "", text) != 0) {
    vuzizTrace(kTraceStartStop, "do_send_ldap_result: QOXberAppend failed\n");
    return;
  }
  qoxClearSocketsError();
  if (conn->connNumber != op->connNumber) {
    vuzizSevereError("Connection/Operation ID problem.", "vuzizResult", __LINE__);
    vuzizFreeAnswers(conn);
    return;
  }
  if (Deliver(conn, raw, false, true) != Sent::kWritten) return;
  LogError(kLogVerbose, "conn=%d op=%d RESULT err=%d tag=%d nentries=%d", conn->connNumber, op->opNumber, result,
           static_cast<int>(vuzizResponseTag(op->tag)), entryCount);
}

int send_search_entry(Backend* be, Connection* conn, Operation* op, Entry* entry, char** requestedTypes,
                      Attribute* attributes, int typesOnly) {
  if (access_allowed(be, conn, op, entry, "entry", nullptr, op->boundDN, kAccessRead) == 0) {
    vuzizTrace(kTraceAccess, "acl: access to entry not allowed\n");
    return 1;
  }
  QOXberElement* raw = nullptr;
  if (QOXNewBERElement(conn->context, &raw) != 0) return -1;
  BerPtr ber(raw);
  auto fail = [] {
    vuzizTrace(kTraceStartStop, "QOXberAppend failed\n");
    return -1;
  };
  if (QOXberAppend(raw, "{it{s{", op->msgID, kLdapSearchResultEntry, entry->e_dn != nullptr ? entry->e_dn : "") != 0)
    return fail();
  for (Attribute* a = attributes != nullptr ? attributes : entry->e_attrs; a != nullptr; a = a->a_next) {
    if (requestedTypes != nullptr && charray_inlist(requestedTypes, a->a_type) == 0) continue;
    // Only an applicable access list can restrict an attribute or a value.
    void* acl = acl_get_applicable(be, op, entry, a->a_type);
    if (acl != nullptr && acl_access_allowed(acl, be, conn, entry, a->a_type, nullptr, op->boundDN, kAccessRead) == 0)
      continue;
    if (strcasecmp(a->a_type, "qoxrecondata") == 0 && !conn->reconstructionBind) continue;
    if (QOXberAppend(raw, "{s[", a->a_type) != 0) return fail();
    if (!typesOnly && a->a_vals != nullptr) {
      bool keyBytes = CountsAsKeyBytes(a->a_type);
      for (BerValue** v = a->a_vals; *v != nullptr; ++v) {
        if (acl != nullptr && (a->a_syntax & kSyntaxDN) != 0 &&
            acl_access_allowed(acl, be, conn, entry, a->a_type, *v, op->boundDN, kAccessRead) == 0)
          continue;
        const char* bytes = (*v)->bv_val != nullptr ? (*v)->bv_val : "";
        if (QOXberAppend(raw, "o", bytes, (*v)->bv_len) != 0) return fail();
        if (keyBytes) conn->keyBytesSent += static_cast<int32_t>((*v)->bv_len);
      }
    }
    if (QOXberAppend(raw, "]}") != 0) return fail();
  }
  if (QOXberAppend(raw, "}}}") != 0) return fail();
  qoxClearSocketsError();
  if (conn->connNumber != op->connNumber) {
    vuzizSevereError("Connection/Operation ID mismatch.", "vuzizResult", __LINE__);
    vuzizFreeAnswers(conn);
    return -1;
  }
  switch (Deliver(conn, raw, true, false)) {
    case Sent::kNotEncoded:
      return -1;
    case Sent::kWriteFailed:
      AddAccessLogEntry(conn, op, op->type, &op->logData, 0, kLdapUserCancelled);
      return -2;
    case Sent::kWritten:
    case Sent::kQueued:
      break;
  }
  LogError(kLogVerbose, "conn=%d op=%d ENTRY dn=%s.", conn->connNumber, op->opNumber,
           entry->e_dn != nullptr ? entry->e_dn : "");
  return 0;
}

bool vuzizFlushAnswers(Connection* conn) {
  PendingAnswers* p = &conn->pending;
  if (p->length == 0) return true;
  const bool ok = WriteAll(conn, p->bytes, p->length, p->entries);
  vuzizFreeAnswers(conn);
  return ok;
}

void vuzizFreeAnswers(Connection* conn) {
  zovurezFree(conn->pending.bytes);
  conn->pending = PendingAnswers{};
}

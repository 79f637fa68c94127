// The replication log writer. The record is built whole in memory and
// written with one write under the replication mutex and the file's lock.
#include "keyservice/replication_log.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/threads.h"
#include "net/ber.h"
#include "net/ldap_protocol.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

// Built by InitRepLog before the listener starts; only read afterwards.
struct RepLogTexts {
  std::string replicas;                 // "replica: <URL>\n" per replica
  std::string loops;                    // "<address> " per replica address
  std::vector<std::string> replicaHosts;  // the host part of each replica URL
  std::vector<std::string> loopAddresses;
};
RepLogTexts* gTexts = nullptr;

// The signed request the thread is handling (SetSignedRequestText).
thread_local std::string_view tSignedRequest;

const char* LogFileOf(const Backend* be) {
  if (be != nullptr && be->repLogFile != nullptr) return be->repLogFile;
  return g != nullptr ? g->RepLogFile : nullptr;
}

// "ldap://Host:389/x" and "Host:389" both give "Host".
std::string HostPart(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  size_t end = url.find_first_of(":/");
  return std::string(url.substr(0, end));
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i)
    if (strncasecmp(text.data() + i, word.data(), word.size()) == 0) return true;
  return false;
}

bool EqualsAnyNoCase(const char* value, const std::vector<std::string>& list) {
  if (value == nullptr || *value == '\0') return false;
  for (const std::string& item : list)
    if (strcasecmp(value, item.c_str()) == 0) return true;
  return false;
}

// True (with the loop message logged) when the client is a replica or
// stands in the replication-loop list.
bool FromReplica(const Connection* conn, const char* operation) {
  if (gTexts == nullptr || conn == nullptr) return false;
  if (EqualsAnyNoCase(conn->clientAddress, gTexts->replicaHosts)) {
    LogError(kLogInfo, "Single replication loop detected.  Operation (%s) IP (%s), Replica List (%s).", operation,
             conn->clientAddress, gTexts->replicas.c_str());
    return true;
  }
  if (EqualsAnyNoCase(conn->clientAddress, gTexts->loopAddresses)) {
    LogError(kLogInfo, "Single replication loop detected.  Operation (%s) IP (%s), Reploop List (%s).", operation,
             conn->clientAddress, gTexts->loops.c_str());
    return true;
  }
  if (EqualsAnyNoCase(conn->clientHostName, gTexts->replicaHosts)) {
    LogError(kLogInfo, "Single replication loop detected.  Operation (%s) Host (%s), Replica List (%s).", operation,
             conn->clientHostName, gTexts->replicas.c_str());
    return true;
  }
  return false;
}

// The first value of the attribute the record carries, or false.
bool ChooseValue(Entry* e, int requestFlag, const char** type, std::string_view* value) {
  if (requestFlag != 0) {
    *type = "qoxrequest";
    Attribute* a = e != nullptr ? attr_find(e->e_attrs, "qoxrequest") : nullptr;
    if (a != nullptr && a->a_vals != nullptr && a->a_vals[0] != nullptr) {
      *value = std::string_view(a->a_vals[0]->bv_val, a->a_vals[0]->bv_len);
      return true;
    }
    if (tSignedRequest.data() == nullptr) return false;
    *value = tSignedRequest;
    return true;
  }
  if (e == nullptr) return false;
  Attribute* chosen = nullptr;
  for (Attribute* a = e->e_attrs; a != nullptr; a = a->a_next)
    if (strcasecmp(a->a_type, "qoxkeyv2") == 0) chosen = a;
  if (chosen == nullptr) chosen = attr_find(e->e_attrs, "qoxkey");
  if (chosen == nullptr || chosen->a_vals == nullptr || chosen->a_vals[0] == nullptr) return false;
  *type = chosen->a_type;
  *value = std::string_view(chosen->a_vals[0]->bv_val, chosen->a_vals[0]->bv_len);
  return true;
}

void Append(const char* path, const std::string& record) {
  QOXMutexGuard guard(&g->mutexRepLog);
  FILE* stream = nullptr;
  FILE* lock = nullptr;
  if (lock_fopen(path, "a", 1, &stream, &lock) != 0) {
    LogError(kLogError, "Opening the replication log (%s) failed; the change was not logged.", path);
    return;
  }
  bool written = fwrite(record.data(), 1, record.size(), stream) == record.size() && fflush(stream) == 0;
  if (!written) LogError(kLogError, "Writing the replication log (%s) failed; the change was not logged.", path);
  lock_fclose(nullptr, stream, lock);
}

}  // namespace

int InitRepLog(Backend* be) {
  ReleaseRepLog();
  if (LogFileOf(be) == nullptr) return 0;
  try {
    auto texts = std::make_unique<RepLogTexts>();
    for (char** url = be->replicaURLs; url != nullptr && *url != nullptr; ++url) {
      texts->replicas += "replica: ";
      texts->replicas += *url;
      texts->replicas += '\n';
      texts->replicaHosts.push_back(HostPart(*url));
    }
    for (char** lists[] = {be->replicaAddresses, be->replicationLoops}; char** list : lists) {
      for (char** a = list; a != nullptr && *a != nullptr; ++a) {
        texts->loops += *a;
        texts->loops += ' ';
        texts->loopAddresses.emplace_back(*a);
      }
    }
    gTexts = texts.release();
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return 0;
}

void SetSignedRequestText(const char* text, size_t length) {
  tSignedRequest = text != nullptr ? std::string_view(text, length) : std::string_view();
}

void ReleaseRepLog() {
  delete gTexts;
  gTexts = nullptr;
}

void qoxRepLog(Backend* be, Connection* conn, int tag, const char* dn, Entry* e, int requestFlag) {
  const char* path = LogFileOf(be);
  if (path == nullptr || tag != static_cast<int>(kLdapAddRequest) || g == nullptr) return;
  const char* type = nullptr;
  std::string_view value;
  if (!ChooseValue(e, requestFlag, &type, &value)) return;
  if (ContainsNoCase(value, "Request: delete") && FromReplica(conn, "Request: delete")) return;
  if (conn != nullptr && conn->changedKeyData != 0 && FromReplica(conn, "Non-tracked MOD")) return;
  try {
    std::string record = gTexts != nullptr ? gTexts->replicas : std::string();
    char head[64];
    snprintf(head, sizeof head, "time: %ld\n", static_cast<long>(vuzizCurrentTime()));
    record += head;
    record += "dn: ";
    record += dn != nullptr ? dn : "";
    record += "\nchangetype: add\n";
    size_t at = record.size();
    record.resize(at + ldif_line_size(strlen(type), value.data(), value.size()));
    char* cursor = record.data() + at;
    put_type_and_value(&cursor, type, value.data(), value.size());
    record.resize(static_cast<size_t>(cursor - record.data()));
    record += '\n';
    Append(path, record);
  } catch (const std::bad_alloc&) {
    LogError(kLogError, "Memory allocation error.");
  }
}

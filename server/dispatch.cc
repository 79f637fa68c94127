// Dispatch of one LDAP request by its protocol-operation tag.
#include "server/dispatch.h"

#include <cstring>
#include <ctime>
#include <string>

#include "net/ldap_protocol.h"
#include "server/connection.h"
#include "server/error_log.h"
#include "server/key_submission_services.h"
#include "server/ldap_service_calls.h"
#include "server/log_throttle.h"
#include "server/operations.h"
#include "server/result.h"
#include "server/server_state.h"

namespace {

void SetLogCode(Operation* op, const char* code) {
  op->type = kOpTypeOther;
  memcpy(op->logData.code, code, 4);
}

// The severe-error line of a refused request kind, at most once a minute
// per kind: any client can send these at will, and each line was five
// times the size of its request.
LogThrottle gUnsupportedLog;

void ReportUnsupported(uint32_t tag, const char* message, int line) {
  int64_t held = 0;
  if (!gUnsupportedLog.Due(tag, static_cast<int64_t>(time(nullptr)), &held)) return;
  std::string text = message;
  if (held > 0) text += " (" + std::to_string(held) + " more in the last minute)";
  vuzizSevereError(text.c_str(), "vuzizConnection", line);
}

}  // namespace

int connection_operation(Connection* conn, Operation* op) {
  logFileStdElementsResetCounters(conn);
  logFileStdElementsStartTimer(conn);
  {
    QOXMutexGuard guard(&g->mutexOpsRunning);
    ++g->operationsRunning;
  }
  {
    QOXMutexGuard guard(&conn->opMutex);
    ++conn->opsInitiated;
  }
  {
    QOXMutexGuard guard(&g->mutexOpCounters);
    ++g->statOpsInitiated;
  }
  int rc = 0;
  switch (op->tag) {
    case kLdapUnbindRequest:
      op->type = kOpTypeUnbind;
      do_unbind(conn, op);
      rc = 1;
      break;
    case kLdapDelRequest:
      SetLogCode(op, "DLT");
      ReportUnsupported(op->tag, "Unsupported LDAP operation (delete).", __LINE__);
      do_delete(conn, op);
      break;
    case kLdapAbandonRequest:
      op->type = kOpTypeAbandon;
      do_abandon(conn, op);
      break;
    case kLdapBindRequest:
      op->type = kOpTypeBind;
      do_bind(conn, op);
      break;
    case kLdapSearchRequest:
      op->type = kOpTypeSearch;
      do_search(conn, op);
      break;
    case kLdapModifyRequest:
      SetLogCode(op, "MOD");
      do_modify(conn, op);
      break;
    case kLdapAddRequest:
      op->type = kOpTypeAdd;
      vuzizKeySubmissionServices().do_add(conn, op);
      break;
    case kLdapModifyRDNRequest:
      SetLogCode(op, "MDN");
      ReportUnsupported(op->tag, "Unsupported LDAP operation (modify RDN).", __LINE__);
      do_modifyrdn(conn, op);
      break;
    case kLdapCompareRequest:
      SetLogCode(op, "CMP");
      ReportUnsupported(op->tag, "Unsupported LDAP operation (compare).", __LINE__);
      do_compare(conn, op);
      break;
    default:
      SetLogCode(op, "UNK");
      vuzizTrace(kTraceStartStop, "unknown request 0x%x\n", op->tag);
      break;
  }
  // Entries of a search that ended without a result (abandoned) still go.
  vuzizFlushAnswers(conn);
  {
    QOXMutexGuard guard(&conn->opMutex);
    ++conn->opsCompleted;
    op_delete(&conn->operations, op);
  }
  {
    QOXMutexGuard guard(&g->mutexOpCounters);
    ++g->statOpsCompleted;
  }
  {
    QOXMutexGuard guard(&g->mutexOpsRunning);
    --g->operationsRunning;
  }
  return rc;
}

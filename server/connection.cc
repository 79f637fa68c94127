// Operations of a connection, the severe-error line and the current time.
#include "server/connection.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

Operation* op_add(Operation** list, QOXberElement* request, int32_t msgID, uint32_t tag, const char* boundDN,
                  int32_t opNumber, int32_t connNumber) {
  auto* op = static_cast<Operation*>(zovurezCalloc(1, sizeof(Operation)));
  if (op == nullptr) return nullptr;
  op->boundDN = zovurezStrdup(boundDN != nullptr ? boundDN : "");
  if (op->boundDN == nullptr || QOXMutexCreate(&op->abandonMutex, nullptr) != 0) {
    zovurezFree(op->boundDN);
    zovurezFree(op);
    return nullptr;
  }
  op->request = request;
  op->msgID = msgID;
  op->tag = tag;
  op->startTime = vuzizCurrentTime();
  op->opNumber = opNumber;
  op->connNumber = connNumber;
  op->type = kOpTypeUndispatched;
  Operation** tail = list;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = op;
  return op;
}

void op_free(Operation* op) {
  if (op == nullptr) return;
  if (op->request != nullptr) QOXFreeBERElement(op->request);
  zovurezFree(op->boundDN);
  QOXMutexDestroy(&op->abandonMutex);
  FreeAccessLogOpData(op->type, &op->logData);
  zovurezFree(op);
}

void op_delete(Operation** list, Operation* op) {
  for (Operation** p = list; *p != nullptr; p = &(*p)->next) {
    if (*p == op) {
      *p = op->next;
      op_free(op);
      return;
    }
  }
  vuzizTrace(kTraceDetail, "op_delete: can't find op %d\n", op != nullptr ? op->msgID : -1);
}

void vuzizSevereError(const char* message, const char* unit, int line) {
  LogError(kLogError,
           "Severe Error. Message: (%s) File: (%s) Line: (%i) Please report this condition, as well as anything "
           "that might have caused it.",
           message, unit, line);
}

uint32_t vuzizUpdateCurrentTime() {
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  if (g != nullptr) {
    QOXMutexGuard guard(&g->mutexCurrentTime);
    g->currentTime = now;
  }
  return now;
}

uint32_t vuzizCurrentTime() {
  if (g == nullptr) return static_cast<uint32_t>(time(nullptr));
  QOXMutexGuard guard(&g->mutexCurrentTime);
  return g->currentTime;
}

bool vuzizPeerGone(const Connection* conn) {
  if (conn == nullptr || conn->socket < 0) return false;
  struct pollfd p = {conn->socket, POLLRDHUP, 0};
  int n;
  do {
    n = poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

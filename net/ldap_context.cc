// LDAP client objects: contexts, messages, value vectors, options and the
// last result.
#include <cstring>
#include <new>

#include "foundation/context.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/sockets.h"

namespace ostrak::ldap {

char* CopyText(QOXMemoryMgr* mgr, std::string_view text) {
  if (text.size() >= kQOXMaxBlockDataSize) return nullptr;
  auto* out = static_cast<char*>(QOXNewData(mgr, text.size() + 1, kQOXMemoryMgrFlags_None));
  if (out == nullptr) return nullptr;
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

void FreeVector(void** vector) {
  if (vector == nullptr) return;
  for (void** p = vector; *p != nullptr; ++p) QOXFreeData(*p);
  QOXFreeData(vector);
}

void DropNewPending(QOXldapContext context, QOXldapMessage* before, const QOXberElement* element) {
  if (element == nullptr) return;
  QOXldapMessage* m = before ? before->next : context->pending;
  for (; m != nullptr; m = m->next) {
    if (m->element != element) continue;
    (m->prev ? m->prev->next : context->pending) = m->next;
    (m->next ? m->next->prev : context->pendingLast) = m->prev;
    QOXFreeBERElement(m->element);
    QOXFreeData(m);
    return;
  }
}

}  // namespace ostrak::ldap

using ostrak::ldap::ValidContext;

QOXError QOXNewLDAPContext(QOXContext* sdkContext, QOXldapContext* outContext) {
  if (outContext == nullptr) return kQOXErrBadParams;
  *outContext = nullptr;
  if (!qoxContextIsValid(sdkContext)) return kQOXErrBadParams;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(sdkContext);
  void* block = QOXNewData(mgr, sizeof(QOXldapContextRec), kQOXMemoryMgrFlags_Clear);
  if (block == nullptr) return kQOXErrOutOfMemory;
  auto* c = new (block) QOXldapContextRec{};
  c->magic = kQOXldapContextMagic;
  c->socket = -1;
  c->mgr = mgr;
  *outContext = c;
  return kQOXErrNoErr;
}

QOXError QOXFreeLDAPContext(QOXldapContext context) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  for (QOXldapMessage* m = context->pending; m != nullptr;) {
    QOXldapMessage* next = m->next;
    if (m->element) QOXFreeBERElement(m->element);
    QOXFreeData(m);
    m = next;
  }
  if (context->socket >= 0) QOXCloseSocket(context->socket);
  if (context->socketsStarted) QOXSocketsCleanup();
  QOXFreeData(context->host);
  QOXFreeData(context->matchedDN);
  QOXFreeData(context->errorText);
  context->magic = 0;
  QOXFreeData(context);
  return kQOXErrNoErr;
}

QOXError QOXNewLDAPMessage(QOXldapContext context, QOXldapMessage** outMessage) {
  if (outMessage == nullptr) return kQOXErrBadParams;
  *outMessage = nullptr;
  if (!ValidContext(context)) return kQOXErrBadParams;
  void* block = QOXNewData(context->mgr, sizeof(QOXldapMessage), kQOXMemoryMgrFlags_Clear);
  if (block == nullptr) return kQOXErrOutOfMemory;
  *outMessage = new (block) QOXldapMessage{};
  return kQOXErrNoErr;
}

QOXError QOXFreeLDAPMessage(QOXldapMessage* message) {
  if (message == nullptr) return kQOXErrBadParams;
  if (message->prev != nullptr && message->prev->next == message) message->prev->next = nullptr;
  while (message != nullptr) {
    QOXldapMessage* next = message->next;
    QOXFreeData(message);
    message = next;
  }
  return kQOXErrNoErr;
}

QOXError QOXFreeLDAPValues(char** values) {
  if (values == nullptr) return kQOXErrBadParams;
  ostrak::ldap::FreeVector(reinterpret_cast<void**>(values));
  return kQOXErrNoErr;
}

QOXError QOXFreeLDAPValuesLen(BerValue** values) {
  if (values == nullptr) return kQOXErrBadParams;
  // Each pair and its bytes are one block.
  ostrak::ldap::FreeVector(reinterpret_cast<void**>(values));
  return kQOXErrNoErr;
}

QOXError QOXldapGetErrno(QOXldapContext context, char** outMatchedDN, char** outErrorText,
                         int32_t* outResultCode) {
  if (!ValidContext(context) || outResultCode == nullptr) return kQOXErrBadParams;
  *outResultCode = context->resultCode;
  if (outMatchedDN) *outMatchedDN = context->matchedDN;
  if (outErrorText) *outErrorText = context->errorText;
  return kQOXErrNoErr;
}

QOXError QOXldapSetOption(QOXldapContext context, int32_t option, int32_t value) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  switch (option) {
    case kQOXldapOptDeref: context->deref = value; return kQOXErrNoErr;
    case kQOXldapOptSizeLimit: context->sizeLimit = value; return kQOXErrNoErr;
    case kQOXldapOptTimeLimit: context->timeLimit = value; return kQOXErrNoErr;
    case kQOXldapOptSocket: context->socket = value; return kQOXErrNoErr;
    default: return kQOXErrBadParams;
  }
}

QOXError QOXldapGetOption(QOXldapContext context, int32_t option, int32_t* outValue) {
  if (!ValidContext(context) || outValue == nullptr) return kQOXErrBadParams;
  switch (option) {
    case kQOXldapOptDeref: *outValue = context->deref; return kQOXErrNoErr;
    case kQOXldapOptSizeLimit: *outValue = context->sizeLimit; return kQOXErrNoErr;
    case kQOXldapOptTimeLimit: *outValue = context->timeLimit; return kQOXErrNoErr;
    case kQOXldapOptSocket: *outValue = context->socket; return kQOXErrNoErr;
    default: return kQOXErrBadParams;
  }
}

QOXError QOXldapGetMessageID(QOXldapContext, QOXldapMessage* message, int32_t* outID) {
  if (message == nullptr || outID == nullptr) return kQOXErrBadParams;
  *outID = message->msgid;
  return kQOXErrNoErr;
}

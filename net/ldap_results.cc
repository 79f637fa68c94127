// Reading LDAP responses into the pending list, waiting for the result of a
// request, and taking a result's fields.
//
// Every response is read whole by QOXberReadResponse (its 16 MiB cap, each
// receive waiting at most 300 s) and its envelope checked through the
// bounded cursor before it is filed. Waits go through the sockets layer's
// poll, so bytes a TLS session already decrypted count as readable.
#include <algorithm>
#include <chrono>
#include <climits>
#include <new>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"
#include "foundation/scoped.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/ber_internal.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"
#include "net/sockets.h"

namespace ostrak::ldap {

namespace {
constexpr uint8_t kHighTagForm = 0x1F;  // tag-number bits all set: more octets follow
}  // namespace

bool ReadElement(ByteCursor* cursor, Element* out) {
  ByteCursor c = *cursor;
  uint8_t first;
  ber::Header h;
  // LDAP uses one-octet identifiers only; a high-form one could pass for
  // another tag (its number is what the header reader reports).
  if (!c.peek_u8(&first) || (first & kHighTagForm) == kHighTagForm ||
      ber::ReadHeader(&c, &h) != kQOXErrNoErr)
    return false;
  if (!c.get_sub(h.length, &out->contents)) return false;
  out->first = first;
  out->tag = h.tag;
  *cursor = c;
  return true;
}

QOXError ViewMessage(const QOXberElement* element, MessageView* out) {
  if (!ber::ValidElement(element)) return kQOXErrBadParams;
  ByteCursor all(element->encoding, ber::ClosedLength(element));
  Element message, id, op;
  if (!ReadElement(&all, &message) || message.tag != kTagSequence) return kQOXErrLDAPDecodingError;
  ByteCursor inside = message.contents;
  if (!ReadElement(&inside, &id) || id.tag != kTagInteger) return kQOXErrLDAPDecodingError;
  int32_t msgid = 0;
  if (qoxBERReadInt(id.contents.data(), static_cast<uint32_t>(id.contents.remaining()), &msgid) !=
      kQOXErrNoErr)
    return kQOXErrLDAPDecodingError;
  if (!ReadElement(&inside, &op)) return kQOXErrLDAPDecodingError;
  out->msgid = msgid;
  out->opTag = op.tag;
  out->opConstructed = op.constructed();
  out->op = op.contents;
  out->start = element->encoding;
  return kQOXErrNoErr;
}

QOXError GetMessageErrno(QOXldapContext context, QOXldapMessage* message) {
  QOXFreeData(context->matchedDN);
  QOXFreeData(context->errorText);
  context->matchedDN = context->errorText = nullptr;
  MessageView view;
  QOXError err = ViewMessage(message->element, &view);
  if (err != kQOXErrNoErr) return err;
  ByteCursor c = view.op;
  Element code, matched, text;
  int32_t result = 0;
  if (!view.opConstructed || !ReadElement(&c, &code) || code.tag != kTagEnumerated ||
      qoxBERReadInt(code.contents.data(), static_cast<uint32_t>(code.contents.remaining()),
                    &result) != kQOXErrNoErr ||
      !ReadElement(&c, &matched) || matched.tag != kTagOctetString || !ReadElement(&c, &text) ||
      text.tag != kTagOctetString)
    return kQOXErrLDAPDecodingError;
  auto view_of = [](const ByteCursor& b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.remaining());
  };
  char* dn = CopyText(context->mgr, view_of(matched.contents));
  char* message_text = dn ? CopyText(context->mgr, view_of(text.contents)) : nullptr;
  if (message_text == nullptr) {
    QOXFreeData(dn);
    return kQOXErrOutOfMemory;
  }
  context->resultCode = result;
  context->matchedDN = dn;
  context->errorText = message_text;
  return kQOXErrNoErr;
}

}  // namespace ostrak::ldap

using ostrak::ldap::ValidContext;

QOXError qoxReadLDAPResponse(QOXldapContext context, QOXldapMessage** outMessage) {
  if (!ValidContext(context)) return kQOXErrBadParams;
  if (outMessage) *outMessage = nullptr;
  if (context->socket < 0) return kQOXErrSocketNotConnected;
  ostrak::UniquePtr<QOXberElement> element;
  QOXError err = qoxNewBERElement(context->mgr, ostrak::OutParam(element));
  if (err != kQOXErrNoErr) return err;
  if ((err = QOXberReadResponse(element.get(), context->socket)) != kQOXErrNoErr) return err;
  ostrak::ldap::MessageView view;
  if ((err = ostrak::ldap::ViewMessage(element.get(), &view)) != kQOXErrNoErr) return err;
  void* block = QOXNewData(context->mgr, sizeof(QOXldapMessage), kQOXMemoryMgrFlags_Clear);
  if (block == nullptr) return kQOXErrOutOfMemory;
  auto* m = new (block) QOXldapMessage{};
  m->msgid = view.msgid;
  m->tag = view.opTag;
  m->element = element.release();
  m->prev = context->pendingLast;
  (context->pendingLast ? context->pendingLast->next : context->pending) = m;
  context->pendingLast = m;
  if (outMessage) *outMessage = m;
  return kQOXErrNoErr;
}

namespace {

// The result chain being filled by one wait.
class ResultChain {
 public:
  ResultChain(QOXldapContext context, QOXldapMessage* result, int32_t id, bool all)
      : context_(context), last_(result), id_(id), all_(all) {}

  bool Matches(const QOXldapMessage* m) const { return id_ == -1 || m->msgid == id_; }

  // Copies a matching pending message into the chain; sets *finished when
  // the wait is over with it.
  QOXError Take(const QOXldapMessage* m, bool* finished) {
    if (filled_) {
      void* block = QOXNewData(context_->mgr, sizeof(QOXldapMessage), kQOXMemoryMgrFlags_Clear);
      if (block == nullptr) return kQOXErrOutOfMemory;
      auto* copy = new (block) QOXldapMessage{};
      copy->prev = last_;
      last_->next = copy;
      last_ = copy;
    }
    last_->msgid = m->msgid;
    last_->tag = m->tag;
    last_->element = m->element;
    filled_ = true;
    *finished = !all_ || m->tag == kLdapSearchResultDone;
    return kQOXErrNoErr;
  }

  QOXldapMessage* last() const { return last_; }

 private:
  QOXldapContext context_;
  QOXldapMessage* last_;
  int32_t id_;
  bool all_;
  bool filled_ = false;
};

// Milliseconds of a time limit, at least 0.
long long LimitMs(const struct timeval* t) {
  long long ms = static_cast<long long>(std::max<time_t>(t->tv_sec, 0)) * 1000 +
                 (std::max<suseconds_t>(t->tv_usec, 0) + 999) / 1000;
  return std::min<long long>(ms, INT_MAX);
}

}  // namespace

QOXError QOXldapGetResult(QOXldapContext context, int32_t messageID, uint8_t all,
                          const struct timeval* timeLimit, QOXldapMessage* result,
                          uint32_t* outTag) {
  if (outTag != nullptr) *outTag = 0;
  if (!ValidContext(context) || result == nullptr || outTag == nullptr) return kQOXErrBadParams;
  if (result->next != nullptr) QOXFreeLDAPMessage(result->next);
  result->next = nullptr;
  result->msgid = 0;
  result->tag = 0;
  result->element = nullptr;

  // 1. Read what is there already.
  while (context->socket >= 0) {
    int ready = qoxSocketsWaitReadable(context->socket, 0);
    if (ready < 0) return QOXGetLastSocketsError();
    if (ready == 0) break;
    QOXError err = qoxReadLDAPResponse(context, nullptr);
    if (err != kQOXErrNoErr) return err;
  }

  // 2. The pending list, oldest first.
  ResultChain chain(context, result, messageID, all != 0);
  bool finished = false;
  for (QOXldapMessage* m = context->pending; m != nullptr && !finished; m = m->next) {
    if (!chain.Matches(m)) continue;
    QOXError err = chain.Take(m, &finished);
    if (err != kQOXErrNoErr) return err;
  }

  // 3. Wait for more, filing responses of other IDs on the way.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeLimit ? LimitMs(timeLimit) : 0);
  while (!finished) {
    if (context->socket < 0) return kQOXErrSocketNotConnected;
    int waitMs = -1;
    if (timeLimit != nullptr) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    int ready = qoxSocketsWaitReadable(context->socket, waitMs);
    if (ready == 0) break;  // the time ran out
    if (ready < 0) return QOXGetLastSocketsError();
    QOXldapMessage* m = nullptr;
    QOXError err = qoxReadLDAPResponse(context, &m);
    if (err != kQOXErrNoErr) return err;
    if (chain.Matches(m) && (err = chain.Take(m, &finished)) != kQOXErrNoErr) return err;
    if (!finished && timeLimit != nullptr && Clock::now() >= deadline) break;
  }

  // 4. The outcome. A time-out and a search entry carry no matched DN or
  // error text: those of an earlier result do not stay beside the new code.
  auto noTexts = [context](int32_t code) {
    QOXFreeData(context->matchedDN);
    QOXFreeData(context->errorText);
    context->matchedDN = context->errorText = nullptr;
    context->resultCode = code;
  };
  if (!finished) {
    noTexts(kLdapTimeout);
    return kQOXErrNoErr;
  }
  QOXldapMessage* last = chain.last();
  if (last->tag == kLdapSearchResultEntry) {
    noTexts(kLdapSuccess);
  } else {
    QOXError err = ostrak::ldap::GetMessageErrno(context, last);
    if (err != kQOXErrNoErr) return err;
  }
  *outTag = last->tag;
  return kQOXErrNoErr;
}

// Inside of the LDAP client (net/ldap_client.h): the context record and the
// steps its files share. Not for use outside net/ (tests and fuzz targets
// excepted).
//
// Ownership: the context owns its host text, matched DN, error text and the
// pending messages with their BER elements; everything is allocated from
// `mgr`. A context has no lock: one thread uses it at a time.
#ifndef OSTRAK_NET_LDAP_CLIENT_INTERNAL_H_
#define OSTRAK_NET_LDAP_CLIENT_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ldap_client.h"

inline constexpr uint32_t kQOXldapContextMagic = 0x4C444150;  // "LDAP"

struct QOXldapContextRec {
  uint32_t magic;
  char* host;              // host name of the connection made; null before
  uint16_t port;           // port connected to
  int socket;              // -1 when there is none
  int32_t lastMessageID;   // the ID of the last request sent
  QOXldapMessage* pending;      // every response read, in arrival order
  QOXldapMessage* pendingLast;  // its last message
  int32_t sizeLimit;       // option 2
  int32_t timeLimit;       // option 3
  int32_t deref;           // option 1
  int32_t resultCode;      // of the last result taken (0 after a search entry)
  char* matchedDN;         // of the last result; null when none
  char* errorText;         // of the last result; null when none
  QOXMemoryMgr* mgr;       // the SDK context's memory manager
  bool socketsStarted;     // this context counted a use of the sockets layer
};

namespace ostrak::ldap {

inline bool ValidContext(const QOXldapContextRec* c) {
  return c != nullptr && c->magic == kQOXldapContextMagic;
}

// A NUL-terminated copy of the bytes on the manager; null when memory runs
// out.
char* CopyText(QOXMemoryMgr* mgr, std::string_view text);

// Frees a null-terminated vector of blocks and the vector; null does
// nothing.
void FreeVector(void** vector);

// Drops the pending message whose element is `element` when it arrived
// after `before` (null: any pending message): unlinks it and frees it with
// its element. A message already pending before may have been handed to
// the caller by an earlier wait and stays.
void DropNewPending(QOXldapContext context, QOXldapMessage* before, const QOXberElement* element);

// The parts of an LDAPMessage, SEQUENCE { messageID INTEGER, protocolOp },
// read from a message element's encoding through the bounded cursor.
struct MessageView {
  int32_t msgid;
  uint32_t opTag;        // the protocolOp's identifier (one octet, or the tag number)
  bool opConstructed;
  ByteCursor op;         // the protocolOp's contents
  const uint8_t* start;  // the encoding, for offsets of the read index
};
// kQOXErrLDAPDecodingError when the element holds no such message.
QOXError ViewMessage(const QOXberElement* element, MessageView* out);

// One element from the cursor: its identifier octet, its header and a
// cursor over its contents. False (the cursor unmoved) when no whole element
// is there or its identifier takes more than one octet.
struct Element {
  uint8_t first;      // the identifier octet (class and constructed bits)
  uint32_t tag;       // the same octet as a tag
  ByteCursor contents;
  bool constructed() const { return (first & 0x20) != 0; }
};
bool ReadElement(ByteCursor* cursor, Element* out);

// Sets the context's result code, matched DN and error text from a result
// message (LDAPResult: resultCode, matchedDN, errorMessage). On failure both
// texts are null: kQOXErrLDAPDecodingError for a message of another shape,
// kQOXErrOutOfMemory.
QOXError GetMessageErrno(QOXldapContext context, QOXldapMessage* message);

}  // namespace ostrak::ldap

// --- Steps named after the client's own calls ---

// Connects the context to one host (dotted IPv4 address or name) at the
// port, trying each address of a name in turn; kQOXErrSocketNotConnected
// when none accepts.
QOXError qoxLDAPConnect(QOXldapContext context, const char* host, uint16_t port);
// Sends the element's whole encoding on the context's socket.
QOXError qoxLDAPSend(QOXldapContext context, QOXberElement* element);
// Reads one whole response from the socket and appends it to the pending
// list; *outMessage (optional) is the new message.
QOXError qoxReadLDAPResponse(QOXldapContext context, QOXldapMessage** outMessage);
// Appends the BER encoding of the filter text to the element. -12000 for a
// text that is no filter: an unknown operator, a final backslash, an
// escaped ")" that leaves no closing parenthesis, nesting deeper than
// kQOXldapMaxFilterDepth, an empty NOT.
QOXError qoxLDAPAddFilter(QOXldapContext context, QOXberElement* element, const char* filter);
inline constexpr int kQOXldapMaxFilterDepth = 100;

#endif  // OSTRAK_NET_LDAP_CLIENT_INTERNAL_H_

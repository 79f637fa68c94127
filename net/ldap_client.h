// The toolkit's LDAP version 2 client: a connection (QOXldapContext) to a
// directory server, the requests it sends, the responses it reads into
// messages filed by message ID, the walkers over search entries, and the
// utilities for LDAP URLs, DNs and sorting.
//
// Requests are encoded with the BER codec (net/ber.h) and sent through the
// sockets layer (net/sockets.h), so a socket bound to a TLS session is
// encrypted transparently. Every request increments the context's last
// message ID and uses the new value: the first request of a context has
// ID 1. Each request function sends one request and gives its message ID;
// the Sync forms then wait, without a time limit (or with the one given),
// for the result of that ID and return its LDAP result code as a toolkit
// code through QOXldapResultToError (net/ldap_result.h).
//
// Responses are read whole (QOXberReadResponse: at most 16 MiB each, each
// receive waiting at most 300 s) into messages appended to the context's
// pending list. QOXldapGetResult hands the caller a result chain: copies of
// the ID, tag and element pointer of pending messages. The elements stay
// owned by the pending messages and are freed with the context; pending
// messages stay until the context is freed, except the result of a Sync form
// that hands no chain to its caller (bind, modify, add, delete, modify-RDN,
// compare), which is dropped once taken when it arrived during that call.
//
// Filters are texts in the form of RFC 1960: "(cn=x)", "(&(a=b)(c=d*))",
// "(!(sn=y))", "(cn=*)", "(a>=1)", "(a<=1)", "(a~=x)"; a text without
// surrounding parentheses is read as if it had them. In a value a backslash
// takes the next character literally and is not sent ("(cn=a\)b)" is an
// equality for "a)b", "(cn=a\*b)" an equality for "a*b"); only an unescaped
// "*" makes a substring filter; attribute types take no escapes.
//
// Error codes: -12000 (kQOXErrBadParams) for a missing or invalid argument;
// kQOXErrSocketNotConnected when a context has no socket to send on;
// kQOXErrOutOfMemory when memory runs out; kQOXErrLDAPDecodingError for a
// response whose structure is not an LDAP message of the kind read. LDAP
// failures are no errors of the asynchronous calls: they arrive as the
// context's result code (QOXldapGetErrno).
//
// Memory: everything comes from the memory manager of the SDK context that
// made the LDAP context, which must outlive it. Whatever a function hands
// out is the caller's, freed with the matching free call: contexts with
// QOXFreeLDAPContext, result messages and chains with QOXFreeLDAPMessage,
// value vectors with QOXFreeLDAPValues and QOXFreeLDAPValuesLen, URL
// descriptions with QOXFreeLDAPURLDesc, and DN texts and attribute types
// with QOXFreeData.
//
// Concurrency: a context has no lock; one thread uses it at a time. Waits
// block in the sockets layer's poll (any descriptor number works).
#ifndef OSTRAK_NET_LDAP_CLIENT_H_
#define OSTRAK_NET_LDAP_CLIENT_H_

#include <sys/time.h>

#include <cstdint>

#include "foundation/errors.h"
#include "net/ber.h"
#include "net/ldap_result.h"

struct QOXContext;

// One LDAP message: a response read on a context (in its pending list) or a
// copy of one in a result chain. Made empty by QOXNewLDAPMessage.
struct QOXldapMessage {
  int32_t msgid;            // message ID
  uint32_t tag;             // protocolOp identifier (0x61 BindResponse, 0x64 entry, ...)
  QOXberElement* element;   // the whole message; owned by the pending message
  QOXldapMessage* next;
  QOXldapMessage* prev;
};

// One attribute of an add or one modification of a modify. op: 0 add,
// 1 delete, 2 replace (kModAdd, kModDelete, kModReplace); with
// kLdapModBinaryValues (0x10) set the values are taken from bvalues, else
// from values.
struct QOXldapMod {
  int32_t op;
  char* type;
  char** values;       // null-terminated vector of texts
  BerValue** bvalues;  // null-terminated vector of length-and-bytes values
};

// A parsed LDAP URL.
struct QOXldapURLDesc {
  char* host;      // null when the URL names none
  uint16_t port;   // 0 when not given
  char* dn;        // null when the URL has no "/"
  char** attrs;    // null-terminated vector; null when the URL has no "?"
  int32_t scope;   // 0 base, 1 one level, 2 subtree; 0 when not given
  char* filter;    // "(objectclass=*)" when not given
};

// A comparison of two texts for the sorts: a and b point to the char*
// elements being compared (as qsort hands them), negative, 0 or positive.
using QOXldapCompareProc = int (*)(const void* a, const void* b);

// Options of QOXldapSetOption and QOXldapGetOption.
inline constexpr int32_t kQOXldapOptDeref = 1;
inline constexpr int32_t kQOXldapOptSizeLimit = 2;
inline constexpr int32_t kQOXldapOptTimeLimit = 3;
inline constexpr int32_t kQOXldapOptSocket = 4;

// --- Objects ---

// A new unconnected context (socket -1) on the SDK context's memory manager.
QOXError QOXNewLDAPContext(QOXContext* sdkContext, QOXldapContext* outContext);
// Frees the pending messages with their elements, closes the socket if
// there is one, and frees the context.
QOXError QOXFreeLDAPContext(QOXldapContext context);
// A new empty message (all fields 0), for QOXldapGetResult and the sorts.
QOXError QOXNewLDAPMessage(QOXldapContext context, QOXldapMessage** outMessage);
// Frees the message and everything chained after it, without their
// elements, and clears the next link of the message before it.
QOXError QOXFreeLDAPMessage(QOXldapMessage* message);
QOXError QOXFreeLDAPValues(char** values);
QOXError QOXFreeLDAPValuesLen(BerValue** values);
QOXError QOXFreeLDAPURLDesc(QOXldapURLDesc* description);

// --- Connection ---

// Connects to the first host of a blank-separated list that accepts, at the
// port; the result code becomes 0. When none does it becomes 91 (connect
// error) and the last connect's error is returned (kQOXErrLDAPConnectError
// when the list names no host). A socket the context still held is closed
// first.
QOXError QOXldapOpen(QOXldapContext context, const char* hosts, uint16_t port);
// Sends a simple bind (version 2; a null DN or password is sent as "").
QOXError QOXldapSimpleBind(QOXldapContext context, const char* dn, const char* password,
                           int32_t* outMessageID);
// The same; any method but simple (kLdapAuthSimple) returns 7, the LDAP
// code for an unsupported method, without sending.
QOXError QOXldapBind(QOXldapContext context, const char* dn, const char* password, int32_t method,
                     int32_t* outMessageID);
QOXError QOXldapSimpleBindSync(QOXldapContext context, const char* dn, const char* password);
QOXError QOXldapBindSync(QOXldapContext context, const char* dn, const char* password,
                         int32_t method);
// Sends an unbind; once sent, closes the socket and clears the result code.
QOXError QOXldapUnbind(QOXldapContext context);
QOXError QOXldapAbandon(QOXldapContext context, int32_t messageID);

// --- Requests ---

// A search with the context's dereferencing, size and time limits (options
// 1-3). types: null-terminated vector, null for all. *outMessageID is 0 on
// failure.
QOXError QOXldapSearch(QOXldapContext context, const char* base, int32_t scope, const char* filter,
                       char** types, uint8_t typesOnly, int32_t* outMessageID);
// Waits for every message of the search up to its SearchResultDone and
// chains them into result (made by the caller); the entries stay there
// whatever the final result. A time limit that runs out gives result 85 and
// kQOXErrLDAPTimeout.
QOXError QOXldapSearchSync(QOXldapContext context, const char* base, int32_t scope,
                           const char* filter, char** types, uint8_t typesOnly,
                           QOXldapMessage* result);
QOXError QOXldapSearchSyncTimeout(QOXldapContext context, const char* base, int32_t scope,
                                  const char* filter, char** types, uint8_t typesOnly,
                                  const struct timeval* timeLimit, QOXldapMessage* result);
QOXError QOXldapModify(QOXldapContext context, const char* dn, QOXldapMod** mods,
                       int32_t* outMessageID);
QOXError QOXldapModifySync(QOXldapContext context, const char* dn, QOXldapMod** mods);
QOXError QOXldapAdd(QOXldapContext context, const char* dn, QOXldapMod** attrs,
                    int32_t* outMessageID);
QOXError QOXldapAddSync(QOXldapContext context, const char* dn, QOXldapMod** attrs);
QOXError QOXldapDelete(QOXldapContext context, const char* dn, int32_t* outMessageID);
QOXError QOXldapDeleteSync(QOXldapContext context, const char* dn);
QOXError QOXldapModifyRDN(QOXldapContext context, const char* dn, const char* newRDN,
                          uint8_t deleteOldRDN, int32_t* outMessageID);
QOXError QOXldapModifyRDNSync(QOXldapContext context, const char* dn, const char* newRDN,
                              uint8_t deleteOldRDN);
QOXError QOXldapCompare(QOXldapContext context, const char* dn, const char* type,
                        const char* value, int32_t* outMessageID);
// *outTrue: 1 for compareTrue (6), 0 for compareFalse (5); any other result
// is returned as its toolkit code.
QOXError QOXldapCompareSync(QOXldapContext context, const char* dn, const char* type,
                            const char* value, uint8_t* outTrue);
// Waits for the response of a compare already sent (it stays pending).
QOXError QOXldapGetCompareResult(QOXldapContext context, int32_t messageID, uint8_t* outTrue);
// A search by URL: a URL naming a host or a port is refused (-12000).
QOXError QOXldapURLSearch(QOXldapContext context, const char* url, uint8_t typesOnly,
                          int32_t* outMessageID);
QOXError QOXldapURLSearchSync(QOXldapContext context, const char* url, uint8_t typesOnly,
                              QOXldapMessage* result);
QOXError QOXldapURLSearchSyncTimeout(QOXldapContext context, const char* url, uint8_t typesOnly,
                                     const struct timeval* timeLimit, QOXldapMessage* result);

// --- Results and entries ---

// Waits for the response of messageID (-1: any). Responses already there
// are read first; the first pending match is copied into result (made by
// the caller; a chain it held is freed), and with `all` every further match
// is chained after it until a SearchResultDone. A time limit (null: none)
// that runs out ends the wait with *outTag 0 and result code 85, returning
// 0. A read failure sets *outTag 0 and returns its error. Finished, the
// result code is 0 after a search entry, else the last copied message's
// result code, matched DN and error text; after a time-out or a search
// entry the context holds no matched DN or error text.
QOXError QOXldapGetResult(QOXldapContext context, int32_t messageID, uint8_t all,
                          const struct timeval* timeLimit, QOXldapMessage* result,
                          uint32_t* outTag);
// The number of SearchResultEntry messages in the chain.
QOXError QOXldapCountEntries(QOXldapContext context, QOXldapMessage* result, int32_t* outCount);
// The result message itself.
QOXError QOXldapFirstEntry(QOXldapContext context, QOXldapMessage* result,
                           QOXldapMessage** outEntry);
// The next message of the chain; null after the last or at the
// SearchResultDone.
QOXError QOXldapNextEntry(QOXldapContext context, QOXldapMessage* entry, QOXldapMessage** outNext);
QOXError QOXldapGetMessageID(QOXldapContext context, QOXldapMessage* message, int32_t* outID);
// The DN of a SearchResultEntry (other tags: -12000), a new text.
QOXError QOXldapGetDN(QOXldapContext context, QOXldapMessage* entry, char** outDN);
// The first attribute type of the entry (a new text; null when there is
// none) and the entry's element as the iterator for QOXldapNextAttribute,
// whose read index keeps the place.
QOXError QOXldapFirstAttribute(QOXldapContext context, QOXldapMessage* entry,
                               QOXberElement** outIterator, char** outType);
QOXError QOXldapNextAttribute(QOXldapContext context, QOXldapMessage* entry,
                              QOXberElement* iterator, char** outType);
// The values of the first attribute whose type equals `type` without regard
// to case; kQOXErrLDAPNoSuchAttribute when the entry has none. Texts are
// NUL-terminated copies; length-and-bytes values have a NUL after the bytes.
QOXError QOXldapGetValues(QOXldapContext context, QOXldapMessage* entry, const char* type,
                          char*** outValues);
QOXError QOXldapGetValuesLen(QOXldapContext context, QOXldapMessage* entry, const char* type,
                             BerValue*** outValues);
QOXError QOXldapCountValues(QOXldapContext context, char** values, int32_t* outCount);
QOXError QOXldapCountValuesLen(QOXldapContext context, BerValue** values, int32_t* outCount);
// The context's last result code; each slot given receives the context's
// matched DN or error text (owned by the context, valid until its next
// operation; null when there is none).
QOXError QOXldapGetErrno(QOXldapContext context, char** outMatchedDN, char** outErrorText,
                         int32_t* outResultCode);
// Options: kQOXldapOptDeref, kQOXldapOptSizeLimit, kQOXldapOptTimeLimit
// (sent with every search) and kQOXldapOptSocket; any other: -12000.
QOXError QOXldapSetOption(QOXldapContext context, int32_t option, int32_t value);
QOXError QOXldapGetOption(QOXldapContext context, int32_t option, int32_t* outValue);

// --- Utilities ---

// Parses "[<][URL:]ldap[s]://[host][:port]/[dn][?attrs[?scope[?filter]]][>]".
// kQOXErrLDAPURLNotLDAP for another scheme, kQOXErrLDAPURLNoBaseDN without
// the "/" after host and port, -12000 for a "<" without ">" and for a port
// text of 32 characters or more or a port above 65535. On failure
// *outDescription is null.
QOXError QOXldapURLParse(QOXldapContext context, const char* url, QOXldapURLDesc** outDescription);
QOXError QOXldapIsLDAPURL(QOXldapContext context, const char* text, uint8_t* outYes);
// The comma-separated components of a DN (up to a "?"), leading blanks
// skipped; with typesOff the text up to and including a component's first
// "=" is dropped. No quoting or escaping is recognised.
QOXError QOXldapExplodeDN(QOXldapContext context, const char* dn, uint8_t typesOff,
                          char*** outComponents);
// Copies the SearchResultEntry messages of the chain (up to its
// SearchResultDone) into output and messages chained after it, sorted by
// the values of `type` compared pairwise (an entry without the attribute
// compares equal), or by DN when type is null. The sort is stable.
QOXError QOXldapSortEntries(QOXldapContext context, QOXldapMessage* result, const char* type,
                            QOXldapCompareProc compare, QOXldapMessage* output);
// A sorted copy of a text vector (freed with QOXFreeLDAPValues).
QOXError QOXldapSortValues(QOXldapContext context, char** values, QOXldapCompareProc compare,
                           char*** outSorted);
// Compares the texts a and b point to without regard to case.
int QOXldapCompareStringsIgnoreCase(const void* a, const void* b);

#endif  // OSTRAK_NET_LDAP_CLIENT_H_

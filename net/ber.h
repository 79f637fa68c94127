// BER elements: the encoder, the decoder, the walkers and the socket reader.
//
// Every LDAP message the system sends or receives passes through one
// QOXberElement: a buffer holding a BER encoding (definite lengths only) and
// a read index. QOXberAppend appends under a printf-like format,
// QOXberRead walks from the read index under a scanf-like format, the
// walkers move the index by hand, and QOXberReadResponse reads exactly one
// whole element from a socket.
//
// Identifiers (tags) are 32-bit numbers whose big-endian bytes, from the
// highest non-zero byte down, are the identifier octets as they stand on the
// wire (0x30 is SEQUENCE, 0x63 an application-class constructed identifier).
//
// Lengths written: 0..127 short form; 128..65535 as 0x82 and two octets;
// up to 2^24-1 as 0x83 and three; larger as 0x84 and four. 0x81 is never
// written. Lengths read: short form, or 0x81..0x84 followed by that many
// octets; 0x80 (indefinite) and longer counts give -12000.
//
// Bounds: the decoder and the walkers never read past the closed part of the
// encoding, whatever the input claims. An element whose header or contents
// run past the end, and an index set past the end, give -12000.
//
// Ownership: an element, its buffer and its open frames come from one
// memory manager and are freed together by QOXFreeBERElement. An element has
// no lock: one thread uses it at a time.
//
// Encoder letters (QOXberAppend; each uses the tag set by a preceding `t`,
// else its own universal tag):
//   t  uint32_t tag          sets the tag of the next letter only
//   b  int32_t (low byte)    BOOLEAN 1, written as a minimal integer
//   i  int32_t               INTEGER 2, minimal two's complement
//   e  int32_t               ENUMERATED 10
//   s  const char*           OCTET STRING 4, the string without its NUL
//   o  const void*, uint32_t OCTET STRING 4, that many bytes
//   n  -                     NULL 5, empty contents
//   v  char**                null-terminated array: one OCTET STRING each
//   V  BerValue**            null-terminated array: one OCTET STRING each
//   {  [                     open a SEQUENCE 0x30 / SET 0x31 frame
//   }  ]                     close the deepest frame
//
// Decoder letters (QOXberRead; one out-argument per consuming letter):
//   b i e  int32_t*                      the contents as a signed integer
//   s      char*, uint32_t capacity      contents and a terminating 0
//   o      void*, uint32_t capacity      contents
//   n                                    a NULL
//   { [                                  step into a SEQUENCE / SET
//   t      uint32_t*                     the identifier as read
//   *x     (as x)                        implicit tag: read the next element
//                                        as letter x (one of b e i n o s)
// The capacity of `s` and `o` is the size of the destination in bytes;
// contents that do not fit (with the 0 for `s`) give -12000 and nothing is
// copied. Elements that do not match the current letter are passed over:
// primitive ones of the known types skipped, all others stepped into.
#ifndef OSTRAK_NET_BER_H_
#define OSTRAK_NET_BER_H_

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/scoped.h"

struct QOXContext;
struct QOXberElement;  // opaque

// One attribute value: a length and a pointer to the bytes.
struct BerValue {
  uint32_t bv_len;
  char* bv_val;
};

// Longest element QOXberReadResponse accepts by default (contents bytes).
inline constexpr uint32_t kQOXberDefaultMaxResponseLength = 16u * 1024u * 1024u;
// Default time QOXberReadResponse gives a whole element to arrive.
inline constexpr int32_t kQOXberDefaultReceiveWaitMs = 300 * 1000;

// --- Elements ---

// A new empty element on the context's memory manager. -12000 for an
// invalid context or null out; kQOXErrOutOfMemory when memory runs out.
QOXError QOXNewBERElement(QOXContext* context, QOXberElement** outElement);
// The same on a memory manager (the LDAP client builds its elements so).
QOXError qoxNewBERElement(QOXMemoryMgr* mgr, QOXberElement** outElement);
// Frees the element, its buffer and every open frame. -12000 for null.
QOXError QOXFreeBERElement(QOXberElement* element);

// --- Encoder ---

// Appends under the format (letters above). The first failing letter ends
// the call with its code; what was appended before it stays, and frames
// opened before it stay open. -12000 for an unknown letter, a null string or
// byte pointer, or a closing letter with no frame open; kQOXErrOutOfMemory when memory
// runs out (that letter's append is then not made).
QOXError QOXberAppend(QOXberElement* element, const char* format, ...);

// --- Decoder and walkers ---

// Decodes from the read index; the index ends behind what was consumed. An
// index already at the end returns 0 and writes nothing; letters not reached
// when the encoding ends are not an error.
QOXError QOXberRead(QOXberElement* element, const char* format, ...);

// The identifier and contents length of the element at the read index; the
// index does not move. kQOXErrEndOfIteration at the end.
QOXError QOXberPeek(QOXberElement* element, uint32_t* outTag, uint32_t* outLength);
// Moves the index onto the contents of the element there. kQOXErrEndOfIteration at the end.
QOXError QOXberNext(QOXberElement* element);
// Moves the index past the whole element there. kQOXErrEndOfIteration at the end.
QOXError QOXberSkip(QOXberElement* element);
// Moves the index onto the next primitive element, stepping into every
// constructed one on the way (an index already on a primitive stays).
// kQOXErrEndOfIteration when the index starts at the end; reaching the end returns 0.
QOXError QOXberNextPrimitive(QOXberElement* element);
// Moves the index onto the contents of the next constructed element,
// skipping whole primitive ones. kQOXErrEndOfIteration when the index starts at the end;
// reaching the end returns 0 with the index at the end.
QOXError QOXberNextConstructed(QOXberElement* element);

// The element's buffer (closed part only), owned by the element and valid
// until the next append, read of a response or free.
QOXError QOXberGetEncoding(QOXberElement* element, const uint8_t** outEncoding);
QOXError QOXberGetLength(QOXberElement* element, uint32_t* outLength);
QOXError QOXberGetIndex(QOXberElement* element, uint32_t* outIndex);
// -12000 for an index past the end of the encoding.
QOXError QOXberSetIndex(QOXberElement* element, uint32_t index);
QOXError QOXberRewind(QOXberElement* element);

// --- Reading from a socket ---

// Reads one whole element (one-octet identifier) from the socket, through
// the sockets layer so a TLS-bound socket is read through its session, and
// makes it the element's encoding; the read index is left as it was. The
// whole element must arrive within waitMs of the call (a negative waitMs
// waits without limit): a peer that sends its bytes slowly runs out of time
// as one that sends nothing does.
// An announced contents length above maxLength is refused with -12000
// before anything is allocated; a bad length form also gives -12000. A peer
// that closes, a failed receive or wait, or a wait that runs out ends the
// call with the sockets layer's last error (kQOXErrSocketTimedOut for a time-out), or
// kQOXErrUnknownError2 when there is none; the element is then left without a buffer.
QOXError QOXberReadResponse(QOXberElement* element, int socket,
                            int32_t waitMs = kQOXberDefaultReceiveWaitMs,
                            uint32_t maxLength = kQOXberDefaultMaxResponseLength);

// Receives up to count bytes after waiting at most waitMs for the socket to
// become readable; the number received, 0 when the wait failed or ran out,
// -1 when the receive failed, -12000 for a null buffer.
int32_t qoxReceiveLen(int socket, void* buffer, uint32_t count,
                      int32_t waitMs = kQOXberDefaultReceiveWaitMs);

// --- Building blocks (the LDAP client's and the daemon's own encoders) ---

// Appends one element with that identifier and those contents to the
// deepest open frame. -12000 for null bytes (pass "" for empty contents).
QOXError qoxBERStrAppend(QOXberElement* element, const void* bytes, uint32_t tag,
                         uint32_t length);
QOXError qoxBERInsertInt(QOXberElement* element, int32_t value, uint32_t tag);
QOXError qoxBERInsertString(QOXberElement* element, const char* string, uint32_t tag);
QOXError qoxBERInsertOctetstring(QOXberElement* element, const void* bytes, uint32_t length,
                                 uint32_t tag);
QOXError qoxBERInsertNULL(QOXberElement* element, uint32_t tag);
QOXError qoxBERBeginSequence(QOXberElement* element, uint32_t tag);
QOXError qoxBERBeginSet(QOXberElement* element, uint32_t tag);
QOXError qoxBEREndSequence(QOXberElement* element);
QOXError qoxBEREndSet(QOXberElement* element);

// The identifier octets of a tag (1 to 4) and the length octets of a length
// (1, 3, 4 or 5), written into out (room for 5) with their count.
void qoxBERGetTagEncoding(uint32_t tag, uint8_t out[5], uint32_t* outCount);
void qoxBERGetLengthEncoding(uint32_t length, uint8_t out[5], uint32_t* outCount);
// Signed (sign-extended) and unsigned big-endian reads of 1..4 content
// octets; other counts give -12000 and a result of 0.
QOXError qoxBERReadInt(const uint8_t* octets, uint32_t count, int32_t* outValue);
QOXError qoxBERReadUInt(const uint8_t* octets, uint32_t count, uint32_t* outValue);
// The universal tag of a decoder letter: b 1, e 10, i 2, n 5, o and s 4;
// any other letter sets -1 and gives -12000.
QOXError qoxBERFormatSpecifierToTag(char letter, int32_t* outTag);

OSTRAK_DEFINE_DELETER(QOXberElement, QOXFreeBERElement)

#endif  // OSTRAK_NET_BER_H_

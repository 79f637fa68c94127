// Inside of a QOXberElement, shared by the encoder, decoder, walkers and the
// socket reader. Not for use outside net/.
//
// The root element and its open frames share one growing buffer: opening a
// frame records where its contents start; closing it puts the identifier and
// length octets in front of those contents. Only the part before the
// outermost open frame is "closed" and visible to the decoder and walkers.
#ifndef OSTRAK_NET_BER_INTERNAL_H_
#define OSTRAK_NET_BER_INTERNAL_H_

#include <cstdint>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ldap_protocol.h"

inline constexpr uint32_t kQOXberElementMagic = 0x42455245;  // "BERE"

struct QOXberFrame {
  uint32_t tag;    // the identifier the frame is wrapped in when closed
  uint32_t start;  // offset of its contents in the shared buffer
};

struct QOXberElement {
  uint32_t magic;
  QOXMemoryMgr* mgr;
  uint8_t* encoding;  // owned, from mgr; null while empty
  uint32_t length;    // bytes used, open frames' contents included
  uint32_t capacity;  // bytes allocated
  uint32_t index;     // read index, within the closed part
  QOXberFrame* frames;  // open frames, outermost first; owned, from mgr
  uint32_t depth;
  uint32_t frameCapacity;
};

namespace ostrak::ber {

// The universal tags the format letters imply.
namespace tags {
using ::kTagBoolean;
using ::kTagEnumerated;
using ::kTagInteger;
using ::kTagNull;
using ::kTagOctetString;
using ::kTagSequence;
using ::kTagSet;
}  // namespace tags

inline bool ValidElement(const QOXberElement* e) {
  return e != nullptr && e->magic == kQOXberElementMagic;
}

// Bytes the decoder and walkers may see: everything before the outermost
// open frame.
inline uint32_t ClosedLength(const QOXberElement* e) {
  return e->depth ? e->frames[0].start : e->length;
}

// The header of one element.
struct Header {
  uint32_t tag;         // as reported: one octet, or the high-form tag number
  uint32_t length;      // contents length
  uint32_t headerSize;  // identifier and length octets
};

// Reads an identifier and a length from the cursor and checks that the
// contents lie inside it. -12000 for a truncated header, the indefinite
// form, more than four length octets, more than four high-form tag octets,
// or contents running past the cursor. The cursor advances past the header
// only on success.
QOXError ReadHeader(ByteCursor* c, Header* out);

// Frees the buffer and the frames, leaving an empty element.
void ResetElement(QOXberElement* e);

}  // namespace ostrak::ber

#endif  // OSTRAK_NET_BER_INTERNAL_H_

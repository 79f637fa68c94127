// The BER decoder (QOXberRead) and the walkers.
//
// Every header is read through a ByteCursor over the closed part of the
// encoding, and its contents must lie inside that part: whatever lengths the
// input claims, no read goes past the end of the buffer.
#include <cstdarg>
#include <cstring>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"
#include "net/ber.h"
#include "net/ber_internal.h"

namespace ostrak::ber {

QOXError ReadHeader(ByteCursor* c, Header* out) {
  ByteCursor r = *c;
  uint8_t first;
  if (!r.get_u8(&first)) return kQOXErrBadParams;
  uint32_t tag = first;
  if ((first & 0x1f) == 0x1f) {
    // High-tag-number form: follow-on octets while bit 7 is set. The tag
    // reported is the number they carry; more than four are refused.
    tag = 0;
    uint8_t b;
    uint32_t count = 0;
    do {
      if (!r.get_u8(&b) || ++count > 4) return kQOXErrBadParams;
      tag = (tag << 7) | (b & 0x7f);
    } while (b & 0x80);
  }
  uint8_t l;
  if (!r.get_u8(&l)) return kQOXErrBadParams;
  uint64_t length = l;
  if (l & 0x80) {
    uint32_t count = l & 0x7f;
    if (count < 1 || count > 4 || !r.get_be(count, &length)) return kQOXErrBadParams;
  }
  if (length > r.remaining()) return kQOXErrBadParams;
  out->tag = tag;
  out->length = static_cast<uint32_t>(length);
  out->headerSize = static_cast<uint32_t>(c->remaining() - r.remaining());
  *c = r;
  return kQOXErrNoErr;
}

}  // namespace ostrak::ber

namespace {

using ostrak::ByteCursor;
using ostrak::ber::ClosedLength;
using ostrak::ber::Header;
using ostrak::ber::ReadHeader;
using ostrak::ber::ValidElement;
using namespace ostrak::ber::tags;

constexpr uint32_t kConstructedBit = 0x20;

// The header of the element at `pos` (< end).
QOXError HeaderAt(const QOXberElement* e, uint32_t pos, Header* h) {
  uint32_t end = ClosedLength(e);
  ByteCursor c(e->encoding + pos, end - pos);
  return ReadHeader(&c, h);
}

// The header of the element at the read index: -12000 for a bad element,
// kQOXErrEndOfIteration when the index stands at the end.
QOXError HeaderAtIndex(const QOXberElement* e, Header* h) {
  if (!ValidElement(e)) return kQOXErrBadParams;
  if (e->index >= ClosedLength(e)) return kQOXErrEndOfIteration;
  return HeaderAt(e, e->index, h);
}

bool IsDecoderLetter(char c) { return c && std::strchr("beinos{[t*", c) != nullptr; }

}  // namespace

QOXError qoxBERReadInt(const uint8_t* octets, uint32_t count, int32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (octets == nullptr || count < 1 || count > 4) return kQOXErrBadParams;
  uint32_t v = (octets[0] & 0x80) ? 0xffffffffu : 0;
  for (uint32_t i = 0; i < count; ++i) v = (v << 8) | octets[i];
  *outValue = static_cast<int32_t>(v);
  return kQOXErrNoErr;
}

QOXError qoxBERReadUInt(const uint8_t* octets, uint32_t count, uint32_t* outValue) {
  if (outValue == nullptr) return kQOXErrBadParams;
  *outValue = 0;
  if (octets == nullptr || count < 1 || count > 4) return kQOXErrBadParams;
  uint32_t v = 0;
  for (uint32_t i = 0; i < count; ++i) v = (v << 8) | octets[i];
  *outValue = v;
  return kQOXErrNoErr;
}

QOXError qoxBERFormatSpecifierToTag(char letter, int32_t* outTag) {
  if (outTag == nullptr) return kQOXErrBadParams;
  switch (letter) {
    case 'b': *outTag = kTagBoolean; return kQOXErrNoErr;
    case 'e': *outTag = kTagEnumerated; return kQOXErrNoErr;
    case 'i': *outTag = kTagInteger; return kQOXErrNoErr;
    case 'n': *outTag = kTagNull; return kQOXErrNoErr;
    case 'o':
    case 's': *outTag = kTagOctetString; return kQOXErrNoErr;
    default: *outTag = -1; return kQOXErrBadParams;
  }
}

QOXError QOXberRead(QOXberElement* element, const char* format, ...) {
  if (!ValidElement(element) || format == nullptr) return kQOXErrBadParams;
  const uint32_t end = ClosedLength(element);
  uint32_t pos = element->index;
  if (pos >= end) return kQOXErrNoErr;

  va_list ap;
  va_start(ap, format);
  QOXError err = kQOXErrNoErr;
  const char* f = format;
  while (*f && pos < end) {
    Header h;
    if ((err = HeaderAt(element, pos, &h)) != kQOXErrNoErr) break;
    char letter = *f;
    uint32_t tag = h.tag;
    bool implicit = false;
    if (letter == '*') {
      int32_t implied;
      if (qoxBERFormatSpecifierToTag(f[1], &implied) != kQOXErrNoErr) {
        err = kQOXErrBadParams;
        break;
      }
      letter = *++f;
      tag = static_cast<uint32_t>(implied);
      implicit = true;
    } else if (!IsDecoderLetter(letter)) {
      err = kQOXErrBadParams;
      break;
    }
    const uint8_t* contents = element->encoding + pos + h.headerSize;
    const uint32_t contentsStart = pos + h.headerSize;
    const uint32_t contentsEnd = contentsStart + h.length;
    bool consumed = false;
    switch (tag) {
      case kTagBoolean:
      case kTagInteger:
      case kTagEnumerated:
        if ((tag == kTagBoolean && letter == 'b') || (tag == kTagInteger && letter == 'i') ||
            (tag == kTagEnumerated && letter == 'e')) {
          int32_t* out = va_arg(ap, int32_t*);
          if (out == nullptr) {
            err = kQOXErrBadParams;
            break;
          }
          err = qoxBERReadInt(contents, h.length, out);
          consumed = true;
        }
        pos = contentsEnd;
        break;
      case kTagOctetString:
        if (letter == 's' || letter == 'o') {
          void* out = va_arg(ap, void*);
          uint32_t capacity = va_arg(ap, uint32_t);
          uint64_t need = uint64_t{h.length} + (letter == 's' ? 1 : 0);
          if (out == nullptr || need > capacity) {
            err = kQOXErrBadParams;
            break;
          }
          if (h.length) std::memcpy(out, contents, h.length);
          if (letter == 's') static_cast<char*>(out)[h.length] = '\0';
          consumed = true;
        }
        pos = contentsEnd;
        break;
      case kTagNull:
        consumed = letter == 'n';
        pos = contentsEnd;
        break;
      case kTagSequence:
        consumed = letter == '{';
        pos = contentsStart;
        break;
      case kTagSet:
        consumed = letter == '[';
        pos = contentsStart;
        break;
      default:
        pos = contentsStart;  // step into whatever else stands here
        break;
    }
    if (err != kQOXErrNoErr) break;
    if (letter == 't' && !implicit) {
      uint32_t* out = va_arg(ap, uint32_t*);
      if (out == nullptr) {
        err = kQOXErrBadParams;
        break;
      }
      *out = h.tag;
      consumed = true;
    }
    if (consumed) ++f;
  }
  va_end(ap);
  element->index = pos;
  return err;
}

QOXError QOXberPeek(QOXberElement* element, uint32_t* outTag, uint32_t* outLength) {
  if (outTag == nullptr || outLength == nullptr) return kQOXErrBadParams;
  Header h;
  QOXError err = HeaderAtIndex(element, &h);
  if (err != kQOXErrNoErr) return err;
  *outTag = h.tag;
  *outLength = h.length;
  return kQOXErrNoErr;
}

QOXError QOXberNext(QOXberElement* element) {
  Header h;
  QOXError err = HeaderAtIndex(element, &h);
  if (err != kQOXErrNoErr) return err;
  element->index += h.headerSize;
  return kQOXErrNoErr;
}

QOXError QOXberSkip(QOXberElement* element) {
  Header h;
  QOXError err = HeaderAtIndex(element, &h);
  if (err != kQOXErrNoErr) return err;
  element->index += h.headerSize + h.length;
  return kQOXErrNoErr;
}

QOXError QOXberNextPrimitive(QOXberElement* element) {
  Header h;
  QOXError err = HeaderAtIndex(element, &h);
  if (err != kQOXErrNoErr) return err;
  const uint32_t end = ClosedLength(element);
  uint32_t pos = element->index;
  while (pos < end) {
    if ((err = HeaderAt(element, pos, &h)) != kQOXErrNoErr) return err;
    if (!(h.tag & kConstructedBit)) break;
    pos += h.headerSize;  // step into the constructed element
  }
  element->index = pos;
  return kQOXErrNoErr;
}

QOXError QOXberNextConstructed(QOXberElement* element) {
  Header h;
  QOXError err = HeaderAtIndex(element, &h);
  if (err != kQOXErrNoErr) return err;
  const uint32_t end = ClosedLength(element);
  uint32_t pos = element->index;
  while (pos < end) {
    if ((err = HeaderAt(element, pos, &h)) != kQOXErrNoErr) return err;
    if (h.tag & kConstructedBit) {
      pos += h.headerSize;
      break;
    }
    pos += h.headerSize + h.length;  // skip the whole primitive element
  }
  element->index = pos;
  return kQOXErrNoErr;
}

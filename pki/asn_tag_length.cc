// Tags and lengths: the DER length forms, the bounded header reader every
// decoder uses, the walk that measures an indefinite-length element, and the
// SET OF order.
#include <cstring>

#include "foundation/byte_cursor.h"
#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"

namespace {

constexpr uint8_t kLongForm = 0x80;         // length octet: count of length bytes follows
constexpr uint8_t kIndefiniteForm = 0x80;   // the single octet 0x80
constexpr uint8_t kMultiByteTag = 0x1F;     // low five bits all ones
constexpr uint32_t kMaxLengthOctets = 4;

}  // namespace

uint32_t PKILengthSize(uint32_t length) {
  if (length <= 0x7F) return 1;
  if (length <= 0xFF) return 2;
  if (length <= 0xFFFF) return 3;
  if (length <= 0xFFFFFF) return 4;
  return 5;
}

uint32_t PKITagged(uint32_t contentLength, int flag) {
  if (contentLength == 0 && flag == 0) return 0;
  return contentLength + 1 + PKILengthSize(contentLength);
}

uint32_t PKIPutLength(uint8_t* out, uint32_t length) {
  uint32_t n = PKILengthSize(length);
  if (n == 1) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  out[0] = static_cast<uint8_t>(kLongForm | (n - 1));
  for (uint32_t i = 1; i < n; ++i) out[i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
  return n;
}

uint32_t PKIGetLength(const uint8_t* in, uint32_t* length) {
  uint8_t first = in[0];
  if (first == kIndefiniteForm) {
    *length = kPKIIndefiniteLength;
    return 1;
  }
  if ((first & kLongForm) == 0) {
    *length = first;
    return 1;
  }
  uint32_t count = first & 0x7F;
  if (count > kMaxLengthOctets) {
    *length = 0;
    return 0;
  }
  uint32_t v = 0;
  for (uint32_t i = 1; i <= count; ++i) v = (v << 8) | in[i];
  *length = v;
  return 1 + count;
}

uint32_t PKIPutTag(uint8_t* out, uint8_t tag, uint32_t length) {
  out[0] = tag;
  return 1 + PKIPutLength(out + 1, length);
}

uint32_t PKITakeTag(const uint8_t* in, uint8_t tag, uint32_t* length) {
  *length = 0;
  if (in == nullptr || in[0] != tag) return 0;
  uint32_t n = PKIGetLength(in + 1, length);
  return n == 0 ? 0 : 1 + n;
}

uint32_t PKIPutByte(uint8_t* out, uint8_t byte) {
  out[0] = byte;
  return 1;
}

uint32_t PKIGetByte(const uint8_t* in, uint8_t* byte) {
  *byte = in[0];
  return 1;
}

int PKICompareElems(const void* a, const void* b) {
  const auto* x = static_cast<const PKIEncodedElem*>(a);
  const auto* y = static_cast<const PKIEncodedElem*>(b);
  uint32_t common = x->size < y->size ? x->size : y->size;
  if (common != 0) {
    int c = std::memcmp(x->bytes, y->bytes, common);
    if (c != 0) return c;
  }
  // The longer one against the zero octets the shorter is padded with.
  const PKIEncodedElem* longer = x->size > y->size ? x : y;
  for (uint32_t i = common; i < longer->size; ++i)
    if (longer->bytes[i] != 0) return longer == x ? 1 : -1;
  return 0;
}

namespace ostrak::asn {

int32_t ReadHeader(const uint8_t* in, uint32_t avail, Header* h) {
  ByteCursor c(in, avail);
  uint8_t first;
  if (!c.get_u8(&h->tag) || !c.get_u8(&first)) return kPKIErrLength;
  h->indefinite = first == kIndefiniteForm;
  h->length = 0;
  if (!h->indefinite) {
    if (first & kLongForm) {
      uint32_t count = first & 0x7F;
      uint64_t v;
      if (count > kMaxLengthOctets || !c.get_be(count, &v)) return kPKIErrLength;
      h->length = static_cast<uint32_t>(v);
    } else {
      h->length = first;
    }
  }
  h->size = static_cast<uint32_t>(avail - c.remaining());
  return kPKIErrNone;
}

namespace {

int32_t MeasureElement(const uint8_t* in, uint32_t avail, uint32_t depth, uint32_t* size) {
  if (avail >= 1 && (in[0] & kMultiByteTag) == kMultiByteTag) return kPKIErrForm;
  Header h;
  if (int32_t e = ReadHeader(in, avail, &h)) return e;
  if (!h.indefinite) {
    if (!ContentFits(h, avail)) return kPKIErrLength;
    *size = h.size + h.length;
    return kPKIErrNone;
  }
  if (depth >= kMaxIndefiniteNesting) return kPKIErrForm;
  uint32_t pos = h.size;
  for (;;) {
    if (AtEndOfContents(in + pos, avail - pos)) {
      *size = pos + 2;
      return kPKIErrNone;
    }
    uint32_t inner = 0;
    if (int32_t e = MeasureElement(in + pos, avail - pos, depth + 1, &inner)) return e;
    pos += inner;  // inner >= 2, and within avail
  }
}

}  // namespace

int32_t ElementSize(const uint8_t* in, uint32_t avail, uint32_t* size) {
  return MeasureElement(in, avail, 0, size);
}

uint32_t TaggedSize(uint32_t content) {
  return AddSizes(content, 1 + PKILengthSize(content));
}

}  // namespace ostrak::asn

// The BER encoder: QOXberAppend and the building blocks under it.
//
// All appends go to the end of the one shared buffer, which is the contents
// of the deepest open frame. Closing a frame moves its contents right by the
// size of its header and writes the header in front; each closed frame is
// thus copied once, as when it is appended to its parent.
#include <cstdarg>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ber_internal.h"

namespace {

using ostrak::ber::ValidElement;
using namespace ostrak::ber::tags;


// Makes room for `extra` more bytes. The element is unchanged on failure.
QOXError Reserve(QOXberElement* e, uint64_t extra) {
  uint64_t need = uint64_t{e->length} + extra;
  if (need > kQOXMaxBlockDataSize) return kQOXErrOutOfMemory;
  if (need <= e->capacity) return kQOXErrNoErr;
  uint64_t cap = e->capacity ? e->capacity : 64;
  while (cap < need) cap *= 2;
  if (cap > kQOXMaxBlockDataSize) cap = need;
  void* p = e->encoding;
  QOXError err = QOXReallocData(e->mgr, &p, static_cast<size_t>(cap), kQOXMemoryMgrFlags_None);
  if (err != kQOXErrNoErr) return err;
  e->encoding = static_cast<uint8_t*>(p);
  e->capacity = static_cast<uint32_t>(cap);
  return kQOXErrNoErr;
}

// Minimal two's-complement contents of a 32-bit value (1 to 4 octets).
uint32_t IntegerOctets(int32_t value, uint8_t out[4]) {
  uint32_t u = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(u >> (24 - 8 * i));
  uint32_t first = 0;
  // Drop a leading octet while it only repeats the sign of the next one.
  while (first < 3 && ((out[first] == 0x00 && !(out[first + 1] & 0x80)) ||
                       (out[first] == 0xff && (out[first + 1] & 0x80))))
    ++first;
  uint32_t n = 4 - first;
  std::memmove(out, out + first, n);
  return n;
}

QOXError OpenFrame(QOXberElement* e, uint32_t tag) {
  if (!ValidElement(e)) return kQOXErrBadParams;
  if (e->depth == e->frameCapacity) {
    uint32_t cap = e->frameCapacity ? e->frameCapacity * 2 : 8;
    if (cap > (1u << 20)) return kQOXErrOutOfMemory;
    void* p = e->frames;
    QOXError err = QOXReallocData(e->mgr, &p, cap * sizeof(QOXberFrame), kQOXMemoryMgrFlags_None);
    if (err != kQOXErrNoErr) return err;
    e->frames = static_cast<QOXberFrame*>(p);
    e->frameCapacity = cap;
  }
  e->frames[e->depth++] = QOXberFrame{tag, e->length};
  return kQOXErrNoErr;
}

QOXError CloseFrame(QOXberElement* e) {
  if (!ValidElement(e) || e->depth == 0) return kQOXErrBadParams;
  const QOXberFrame f = e->frames[e->depth - 1];
  uint32_t contents = e->length - f.start;
  uint8_t header[10];
  uint32_t tagCount, lenCount;
  qoxBERGetTagEncoding(f.tag, header, &tagCount);
  qoxBERGetLengthEncoding(contents, header + tagCount, &lenCount);
  uint32_t h = tagCount + lenCount;
  QOXError err = Reserve(e, h);
  if (err != kQOXErrNoErr) return err;
  if (contents) std::memmove(e->encoding + f.start + h, e->encoding + f.start, contents);
  std::memcpy(e->encoding + f.start, header, h);
  e->length += h;
  --e->depth;
  return kQOXErrNoErr;
}

}  // namespace

void qoxBERGetTagEncoding(uint32_t tag, uint8_t out[5], uint32_t* outCount) {
  uint32_t n = 1;
  while (n < 4 && (tag >> (8 * n)) != 0) ++n;
  for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(tag >> (8 * (n - 1 - i)));
  *outCount = n;
}

void qoxBERGetLengthEncoding(uint32_t length, uint8_t out[5], uint32_t* outCount) {
  if (length < 128) {
    out[0] = static_cast<uint8_t>(length);
    *outCount = 1;
    return;
  }
  // Never the one-octet long form: 128..255 take two length octets.
  uint32_t n = length <= 0xffff ? 2 : length <= 0xffffff ? 3 : 4;
  out[0] = static_cast<uint8_t>(0x80 | n);
  for (uint32_t i = 0; i < n; ++i) out[1 + i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
  *outCount = n + 1;
}

QOXError qoxBERStrAppend(QOXberElement* element, const void* bytes, uint32_t tag,
                         uint32_t length) {
  if (!ValidElement(element) || bytes == nullptr) return kQOXErrBadParams;
  uint8_t header[10];
  uint32_t tagCount, lenCount;
  qoxBERGetTagEncoding(tag, header, &tagCount);
  qoxBERGetLengthEncoding(length, header + tagCount, &lenCount);
  uint32_t h = tagCount + lenCount;
  QOXError err = Reserve(element, uint64_t{h} + length);
  if (err != kQOXErrNoErr) return err;
  std::memcpy(element->encoding + element->length, header, h);
  if (length) std::memcpy(element->encoding + element->length + h, bytes, length);
  element->length += h + length;
  return kQOXErrNoErr;
}

QOXError qoxBERInsertInt(QOXberElement* element, int32_t value, uint32_t tag) {
  uint8_t octets[4];
  uint32_t n = IntegerOctets(value, octets);
  return qoxBERStrAppend(element, octets, tag, n);
}

QOXError qoxBERInsertString(QOXberElement* element, const char* string, uint32_t tag) {
  if (string == nullptr) return kQOXErrBadParams;
  size_t n = std::strlen(string);
  if (n > kQOXMaxBlockDataSize) return kQOXErrOutOfMemory;
  return qoxBERStrAppend(element, string, tag, static_cast<uint32_t>(n));
}

QOXError qoxBERInsertOctetstring(QOXberElement* element, const void* bytes, uint32_t length,
                                 uint32_t tag) {
  return qoxBERStrAppend(element, bytes, tag, length);
}

QOXError qoxBERInsertNULL(QOXberElement* element, uint32_t tag) {
  return qoxBERStrAppend(element, "", tag, 0);
}

QOXError qoxBERBeginSequence(QOXberElement* element, uint32_t tag) { return OpenFrame(element, tag); }
QOXError qoxBERBeginSet(QOXberElement* element, uint32_t tag) { return OpenFrame(element, tag); }
QOXError qoxBEREndSequence(QOXberElement* element) { return CloseFrame(element); }
QOXError qoxBEREndSet(QOXberElement* element) { return CloseFrame(element); }

QOXError QOXberAppend(QOXberElement* element, const char* format, ...) {
  if (!ValidElement(element) || format == nullptr) return kQOXErrBadParams;
  va_list ap;
  va_start(ap, format);
  QOXError err = kQOXErrNoErr;
  bool haveTag = false;
  uint32_t tag = 0;
  for (const char* f = format; *f && err == kQOXErrNoErr; ++f) {
    auto tagOr = [&](uint32_t universal) { return haveTag ? tag : universal; };
    const char letter = *f;
    switch (letter) {
      case 't':
        tag = va_arg(ap, uint32_t);
        haveTag = true;
        continue;  // the tag stays set for the next letter
      case 'b': {
        int32_t flag = static_cast<uint8_t>(va_arg(ap, int32_t) & 0xff);
        err = qoxBERInsertInt(element, flag, tagOr(kTagBoolean));
        break;
      }
      case 'i':
        err = qoxBERInsertInt(element, va_arg(ap, int32_t), tagOr(kTagInteger));
        break;
      case 'e':
        err = qoxBERInsertInt(element, va_arg(ap, int32_t), tagOr(kTagEnumerated));
        break;
      case 's':
        err = qoxBERInsertString(element, va_arg(ap, const char*), tagOr(kTagOctetString));
        break;
      case 'o': {
        const void* bytes = va_arg(ap, const void*);
        uint32_t length = va_arg(ap, uint32_t);
        err = qoxBERStrAppend(element, bytes, tagOr(kTagOctetString), length);
        break;
      }
      case 'n':
        err = qoxBERInsertNULL(element, tagOr(kTagNull));
        break;
      case 'v': {
        char** strings = va_arg(ap, char**);
        for (; strings && *strings && err == kQOXErrNoErr; ++strings)
          err = qoxBERInsertString(element, *strings, tagOr(kTagOctetString));
        break;
      }
      case 'V': {
        BerValue** values = va_arg(ap, BerValue**);
        for (; values && *values && err == kQOXErrNoErr; ++values)
          err = qoxBERStrAppend(element, (*values)->bv_val, tagOr(kTagOctetString),
                                (*values)->bv_len);
        break;
      }
      case '{':
        err = OpenFrame(element, tagOr(kTagSequence));
        break;
      case '[':
        err = OpenFrame(element, tagOr(kTagSet));
        break;
      case '}':
      case ']':
        err = CloseFrame(element);
        break;
      default:
        err = kQOXErrBadParams;
        break;
    }
    haveTag = false;
  }
  va_end(ap);
  return err;
}

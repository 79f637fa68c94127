// OIDs of the PKCS #7 message layer: the dotted texts, the conversions
// between texts and content octets, and the content-type classifiers.
//
// Arcs are unsigned 64-bit numbers in both directions; every text and
// encoding is sized by a first pass and written by a second, so no input
// can outgrow its area.
#include <cstdio>
#include <cstring>

#include "pki/asn_engine.h"
#include "pki/pkcs7_message.h"

const char* const SM_OID_CONTENT_DATA = "1.2.840.113549.1.7.1";
const char* const SM_OID_CONTENT_SIGNED_DATA = "1.2.840.113549.1.7.2";
const char* const SM_OID_CONTENT_ENVELOPED_DATA = "1.2.840.113549.1.7.3";
const char* const SM_OID_CONTENT_TYPE = "1.2.840.113549.1.9.3";
const char* const SM_OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4";
const char* const SM_OID_ALG_SHA = "1.3.14.3.2.26";
const char* const SM_OID_ALG_MD2 = "1.2.840.113549.2.2";
const char* const SM_OID_ALG_MD5 = "1.2.840.113549.2.5";
const char* const SM_OID_ALG_DSA = "1.2.840.10040.4.1";
const char* const SM_OID_ALG_DSA_SHA = "1.2.840.10040.4.3";
const char* const SM_OID_ALG_RSA = "1.2.840.113549.1.1.1";
const char* const SM_OID_ALG_RSA_MD2 = "1.2.840.113549.1.1.2";
const char* const SM_OID_ALG_RSA_MD5 = "1.2.840.113549.1.1.4";
const char* const SM_OID_ALG_DES = "1.3.14.3.2.7";
const char* const SM_OID_ALG_3DES = "1.2.840.113549.3.7";
const char* const SM_OID_ALG_RC2 = "1.2.840.113549.3.2";
const char* const SM_OID_ALG_KEA = "2.16.840.1.101.2.1.1.10";
const char* const SM_OID_ALG_SKIPJACK = "2.16.840.1.101.2.1.1.4";

namespace {

using ostrak::asn::Allocate;
using ostrak::asn::ManagerOf;

uint32_t GroupsOf(uint64_t v) {
  uint32_t n = 1;
  while (v >>= 7) ++n;
  return n;
}

// Writes v as a subidentifier: base 128, most significant group first,
// bit 8 set on every byte but the last.
uint32_t PutSubidentifier(uint8_t* out, uint64_t v) {
  uint32_t n = GroupsOf(v);
  for (uint32_t i = 0; i < n; ++i) {
    auto group = static_cast<uint8_t>((v >> (7 * (n - 1 - i))) & 0x7F);
    out[i] = i + 1 < n ? static_cast<uint8_t>(group | 0x80) : group;
  }
  return n;
}

// Reads the arc at text[*pos] up to the next '.' or the end; false for an
// empty arc, a character that is not a digit, or a value beyond 64 bits.
bool ReadArc(const char* text, size_t* pos, uint64_t* arc) {
  uint64_t v = 0;
  size_t start = *pos;
  while (text[*pos] != '\0' && text[*pos] != '.') {
    char c = text[*pos];
    if (c < '0' || c > '9') return false;
    auto digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
    ++*pos;
  }
  if (*pos == start) return false;
  *arc = v;
  return true;
}

// One pass over a dotted text: the encoded size, and the encoding when
// `out` is given. False for a text that is refused.
bool EncodeText(const char* text, uint8_t* out, uint32_t* size) {
  *size = 0;
  if (text[0] == '\0') return true;
  size_t pos = 0;
  uint64_t first = 0;
  if (!ReadArc(text, &pos, &first)) return false;
  if (text[pos] == '\0') return true;  // one number: nothing to write
  for (int index = 1;; ++index) {
    ++pos;  // the '.'
    uint64_t arc = 0;
    if (!ReadArc(text, &pos, &arc)) return false;
    if (index == 1) {
      if (first > (UINT64_MAX - arc) / 40) return false;
      arc += 40 * first;
    }
    uint32_t n = GroupsOf(arc);
    if (*size > UINT32_MAX - n) return false;
    if (out != nullptr) PutSubidentifier(out + *size, arc);
    *size += n;
    if (text[pos] == '\0') return true;
  }
}

// Reads the subidentifier at bytes[*pos]; false when it does not end
// within the block, starts with the padding byte 0x80, or passes 64 bits.
bool ReadSubidentifier(const uint8_t* bytes, uint32_t length, uint32_t* pos, uint64_t* v) {
  if (bytes[*pos] == 0x80) return false;
  uint64_t value = 0;
  while (*pos < length) {
    uint8_t b = bytes[(*pos)++];
    if (value > (UINT64_MAX >> 7)) return false;
    value = (value << 7) | (b & 0x7F);
    if (!(b & 0x80)) {
      *v = value;
      return true;
    }
  }
  return false;
}

// One pass over content octets: the text's length without its terminator,
// and the text when `out` is given (with room for the terminator).
bool DecodeOID(const uint8_t* bytes, uint32_t length, char* out, size_t* textLength) {
  *textLength = 0;
  if (length == 0) return false;
  char arc[24];
  uint32_t pos = 0;
  for (bool first = true; pos < length; first = false) {
    uint64_t v = 0;
    if (!ReadSubidentifier(bytes, length, &pos, &v)) return false;
    int n;
    if (first) {
      unsigned top = v < 40 ? 0 : v < 80 ? 1 : 2;
      n = std::snprintf(arc, sizeof arc, "%u.%llu", top, static_cast<unsigned long long>(v - 40ull * top));
    } else {
      n = std::snprintf(arc, sizeof arc, ".%llu", static_cast<unsigned long long>(v));
    }
    if (out != nullptr) std::memcpy(out + *textLength, arc, static_cast<size_t>(n));
    *textLength += static_cast<size_t>(n);
  }
  if (out != nullptr) out[*textLength] = '\0';
  return true;
}

}  // namespace

PKIOBJECT_ID* sm_StringToOID(const char* text, PKICONTEXT* ctx) {
  if (text == nullptr || ManagerOf(ctx) == nullptr) return nullptr;
  uint32_t size = 0;
  if (!EncodeText(text, nullptr, &size)) return nullptr;
  PKIOBJECT_ID* oid = PKINewVariableBlock(ctx);
  if (oid == nullptr) return nullptr;
  if (size != 0) {
    oid->bytes = static_cast<uint8_t*>(Allocate(ctx, size));
    if (oid->bytes == nullptr) {
      PKIFreeVariableBlock(ctx, oid);
      return nullptr;
    }
    EncodeText(text, oid->bytes, &size);
    oid->length = size;
  }
  return oid;
}

char* sm_OIDToString(PKIOBJECT_ID* oid, PKICONTEXT* ctx) {
  if (oid == nullptr || oid->bytes == nullptr || ManagerOf(ctx) == nullptr) return nullptr;
  size_t length = 0;
  if (!DecodeOID(oid->bytes, oid->length, nullptr, &length)) return nullptr;
  auto* text = static_cast<char*>(Allocate(ctx, length + 1));
  if (text == nullptr) return nullptr;
  DecodeOID(oid->bytes, oid->length, text, &length);
  return text;
}

int sm_CompareOID(PKIOBJECT_ID* a, PKIOBJECT_ID* b) {
  if (a == nullptr || b == nullptr || a->length != b->length) return kPKIErrLeftover;
  if (a->length != 0 && (a->bytes == nullptr || b->bytes == nullptr)) return kPKIErrLeftover;
  return a->length == 0 || std::memcmp(a->bytes, b->bytes, a->length) == 0 ? 0 : kPKIErrLeftover;
}

int sm_ContentType(PKIOBJECT_ID* contentType) {
  if (contentType == nullptr || contentType->bytes == nullptr || contentType->length != kPKIContentTypeOIDLength)
    return -1;
  const uint8_t* known[] = {PKIdata_OID, PKIsignedData_OID, PKIenvelopedData_OID, PKIencryptedData_OID};
  for (int i = 0; i < 4; ++i)
    if (std::memcmp(contentType->bytes, known[i], kPKIContentTypeOIDLength) == 0) return i;
  return -1;
}

int sm_MessageType(PKIContentInfo* contentInfo) {
  return contentInfo == nullptr ? -1 : sm_ContentType(&contentInfo->contentType);
}

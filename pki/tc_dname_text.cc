// Names written as DN text (pki/tc_dname.h): RDNs from the most specific,
// keywords or dotted types, escaped values or '#' and hex.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "pki/tc_dname.h"
#include "pki/tc_dname_internal.h"
#include "pki/tc_internal.h"

namespace {

using namespace ostrak::tc;

// A text growing through the context's memory manager.
class Text {
 public:
  explicit Text(TC_CONTEXT* ctx) : ctx_(ctx) {}
  ~Text() { Release(ctx_, p_); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  bool Append(const char* s, size_t n) {
    if (n > SIZE_MAX - length_ - 1) return false;
    size_t need = length_ + n + 1;
    if (need > capacity_) {
      size_t capacity = capacity_ == 0 ? 32 : capacity_;
      while (capacity < need) capacity = capacity > SIZE_MAX / 2 ? need : capacity * 2;
      void* block = p_;
      if (block == nullptr) {
        block = Alloc(ctx_, capacity);
        if (block == nullptr) return false;
      } else if (!ostrak::asn::Reallocate(Codec(ctx_), &block, capacity)) {
        return false;
      }
      p_ = static_cast<char*>(block);
      capacity_ = capacity;
    }
    if (n != 0) std::memcpy(p_ + length_, s, n);
    length_ += n;
    p_[length_] = '\0';
    return true;
  }
  bool Append(const char* s) { return Append(s, std::strlen(s)); }
  bool AppendChar(char c) { return Append(&c, 1); }
  // The finished text (an empty one is "").
  char* Take() {
    if (p_ == nullptr && !Append("", 0)) return nullptr;
    capacity_ = length_ = 0;
    return std::exchange(p_, nullptr);
  }

 private:
  TC_CONTEXT* ctx_;
  char* p_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

// The type's dotted decimal form; false for a type that is not a valid OID
// (a subidentifier beginning with 0x80, a last byte with bit 8 set, an arc
// above 64 bits), whose keyword is then empty.
bool DERToOID(const uint8_t* oid, uint32_t length, Text* out) {
  bool first = true;
  uint32_t at = 0;
  while (at < length) {
    if (oid[at] == 0x80) return false;
    uint64_t v = 0;
    bool done = false;
    while (at < length) {
      uint8_t b = oid[at++];
      if (v > (UINT64_MAX >> 7)) return false;
      v = (v << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) {
        done = true;
        break;
      }
    }
    if (!done) return false;
    char number[48];
    if (first) {
      uint64_t arc1 = v < 40 ? 0 : v < 80 ? 1 : 2;
      std::snprintf(number, sizeof number, "%llu.%llu", static_cast<unsigned long long>(arc1),
                    static_cast<unsigned long long>(v - arc1 * 40));
      first = false;
    } else {
      std::snprintf(number, sizeof number, ".%llu", static_cast<unsigned long long>(v));
    }
    if (!out->Append(number)) return false;
  }
  return true;
}

bool IsEscapedInValue(uint8_t c) { return c != 0 && std::strchr("\"#+,;<=>\\", c) != nullptr; }
bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The value with its special characters escaped: leading and trailing
// blanks, " # + , ; < = > and backslash. The parser drops white space at
// either end of a value and stops a text at a NUL, so other white space at
// either end and NUL bytes are written as hex escapes (\09, \00).
bool DelimitString(const uint8_t* s, uint32_t n, Text* out) {
  uint32_t first = 0;
  while (first < n && IsSpace(s[first])) ++first;
  uint32_t end = n;
  while (end > first && IsSpace(s[end - 1])) --end;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t c = s[i];
    const bool edge = i < first || i >= end;
    bool ok;
    if (c == ' ' && edge) {
      ok = out->Append("\\ ");
    } else if (c == 0 || (edge && IsSpace(c))) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "\\%02x", c);
      ok = out->Append(hex, 3);
    } else if (IsEscapedInValue(c)) {
      ok = out->AppendChar('\\') && out->AppendChar(static_cast<char>(c));
    } else {
      ok = out->AppendChar(static_cast<char>(c));
    }
    if (!ok) return false;
  }
  return true;
}

bool HexOut(const uint8_t* s, uint32_t n, Text* out) {
  static const char digits[] = "0123456789abcdef";
  if (!out->AppendChar('#')) return false;
  for (uint32_t i = 0; i < n; ++i) {
    char pair[2] = {digits[s[i] >> 4], digits[s[i] & 15]};
    if (!out->Append(pair, 2)) return false;
  }
  return true;
}

bool IsTextTag(uint8_t tag) {
  return tag == kPKITagNumericString || tag == kPKITagPrintableString || tag == kPKITagIA5String;
}

// keyword=value of one AVA.
bool AVAToString(PKIAttributeTypeAndValue* ava, TC_CONTEXT* ctx, Text* out) {
  if (ava == nullptr) return false;
  const TC_AVATYPE* entry = KeywordOfOid(ctx, ava->type.bytes, ava->type.length);
  if (entry != nullptr) {
    if (!out->Append(entry->keyword)) return false;
  } else {
    Text dotted(ctx);
    if (DERToOID(ava->type.bytes, ava->type.length, &dotted)) {
      char* t = dotted.Take();
      if (t == nullptr) return false;
      bool ok = out->Append(t);
      Release(ctx, t);
      if (!ok) return false;
    }
  }
  if (!out->AppendChar('=')) return false;
  uint8_t tag;
  const uint8_t* content;
  uint32_t length;
  if (tc_get_ava(&tag, &content, &length, &ava->value) != kTCErrNone) return false;
  if (entry != nullptr && IsTextTag(tag)) return DelimitString(content, length, out);
  return HexOut(content, length, out);
}

bool AppendRDN(PKIRelativeDistinguishedName* rdn, TC_CONTEXT* ctx, Text* out) {
  if (rdn == nullptr) return false;
  for (int32_t i = 0; i < rdn->count; ++i) {
    if (i > 0 && !out->AppendChar('+')) return false;
    if (!AVAToString(rdn->elements[i], ctx, out)) return false;
  }
  return true;
}

PKIRDNSequence* SequenceOf(PKIName* name) { return static_cast<PKIRDNSequence*>(name->value); }

}  // namespace

char* RDNToString(PKIRelativeDistinguishedName* rdn, TC_CONTEXT* ctx) {
  if (rdn == nullptr || ctx == nullptr) return nullptr;
  Text text(ctx);
  if (!AppendRDN(rdn, ctx, &text)) return nullptr;
  return text.Take();
}

int32_t tc_extract_dname_string(char** out, PKIName* name, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Text text(ctx);
  if (PKIRDNSequence* seq = SequenceOf(name)) {
    for (int32_t i = seq->count - 1; i >= 0; --i) {
      char* rdn = RDNToString(seq->elements[i], ctx);
      if (rdn == nullptr) return kTCErrNameParse;
      bool ok = text.Append(rdn) && (i == 0 || text.AppendChar(','));
      Release(ctx, rdn);
      if (!ok) return kTCErrNoMemory;
    }
  }
  char* result = text.Take();
  if (result == nullptr) return kTCErrNoMemory;
  *out = result;
  return kTCErrNone;
}

int32_t tc_extractdname_fromcert(char** out, void* object, int which, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (object == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  PKIName* name;
  switch (which) {
    case kTCNameCertSubject:
    case kTCNameCertIssuer: {
      PKITBSCertificate* tbs = static_cast<TC_CERT*>(object)->tbs;
      if (tbs == nullptr) return kTCErrInvalidArgs;
      name = which == kTCNameCertSubject ? &tbs->subject : &tbs->issuer;
      break;
    }
    case kTCNameRequestSubject:
      name = &static_cast<PKICertificationRequest*>(object)->certificationRequestInfo.subject;
      break;
    default:
      return kTCErrInvalidArgs;
  }
  return tc_extract_dname_string(out, name, ctx);
}

int32_t tc_get_attributeValue(char** out, PKIName* name, const char* keyword, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || keyword == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  PKIRDNSequence* seq = SequenceOf(name);
  for (int32_t i = 0; seq != nullptr && i < seq->count; ++i) {
    PKIRelativeDistinguishedName* rdn = seq->elements[i];
    if (rdn == nullptr || rdn->count == 0 || rdn->elements[0] == nullptr) continue;
    PKIAttributeTypeAndValue* ava = rdn->elements[0];
    const TC_AVATYPE* entry = KeywordOfOid(ctx, ava->type.bytes, ava->type.length);
    if (entry == nullptr || std::strcmp(entry->keyword, keyword) != 0) continue;
    uint8_t tag;
    const uint8_t* content;
    uint32_t length;
    if (tc_get_ava(&tag, &content, &length, &ava->value) != kTCErrNone) return kTCErrNameParse;
    if (!IsTextTag(tag)) continue;
    auto* copy = static_cast<char*>(std::malloc(size_t{length} + 1));
    if (copy == nullptr) return kTCErrNoMemory;
    if (length != 0) std::memcpy(copy, content, length);
    copy[length] = '\0';
    *out = copy;
    return kTCErrNone;
  }
  return kTCErrNone;
}

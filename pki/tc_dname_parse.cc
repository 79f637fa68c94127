// The DN text form read into names (pki/tc_dname.h): RDN and AVA segments,
// keywords and dotted OIDs, escapes and hex values.
#include <cstring>
#include <string_view>

#include "foundation/string_utils.h"
#include "pki/tc_dname.h"
#include "pki/tc_dname_internal.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;
using std::string_view;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

string_view SkipLeadingSpace(string_view s) {
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  return s.substr(i);
}

// Whether the character at `at` is escaped: an odd number of backslashes
// stands right before it (an even number escape one another).
bool Escaped(string_view s, size_t at) {
  size_t backslashes = 0;
  while (backslashes < at && s[at - 1 - backslashes] == '\\') ++backslashes;
  return backslashes % 2 == 1;
}

// Drops trailing white space, stopping at an escaped one.
string_view TrimTrailingSpace(string_view s) {
  size_t n = s.size();
  while (n > 0 && IsSpace(s[n - 1]) && !Escaped(s, n - 1)) --n;
  return s.substr(0, n);
}

string_view Trim(string_view s) { return TrimTrailingSpace(SkipLeadingSpace(s)); }

// Splits `text` at each `separator` that is not escaped
// and calls f(segment) for every segment, its white space trimmed; the
// first non-zero result stops the walk. Leading white space is skipped
// before each segment; two separators in a row leave an empty segment,
// and the text after the last separator is a segment only when something
// is left of it.
template <class F>
int32_t ForEachSegment(string_view text, char separator, F f) {
  size_t at = 0;
  for (;;) {
    while (at < text.size() && IsSpace(text[at])) ++at;
    if (at >= text.size()) return kTCErrNone;
    size_t end = at;
    while (end < text.size() && !(text[end] == separator && !Escaped(text, end))) ++end;
    if (int32_t e = f(TrimTrailingSpace(text.substr(at, end - at)))) return e;
    if (end >= text.size()) return kTCErrNone;
    at = end + 1;
  }
}

bool HexValue(char c, uint8_t* v) {
  if (c >= '0' && c <= '9') *v = static_cast<uint8_t>(c - '0');
  else if (c >= 'a' && c <= 'f') *v = static_cast<uint8_t>(c - 'a' + 10);
  else if (c >= 'A' && c <= 'F') *v = static_cast<uint8_t>(c - 'A' + 10);
  else return false;
  return true;
}

// Two hexadecimal characters of either case as one byte.
bool HexCharsToUchar(char high, char low, uint8_t* out) {
  uint8_t h, l;
  if (!HexValue(high, &h) || !HexValue(low, &l)) return false;
  *out = static_cast<uint8_t>(h << 4 | l);
  return true;
}

// A scratch byte string from the context's memory, freed with it.
class ByteString {
 public:
  explicit ByteString(TC_CONTEXT* ctx) : ctx_(ctx), block_(ctx) {}
  // Room for n bytes; false without memory.
  bool Reserve(size_t n) {
    if (n > UINT32_MAX) return false;
    block_.reset(Alloc(ctx_, n == 0 ? 1 : n));
    length = 0;
    return block_.get() != nullptr;
  }
  uint8_t* bytes() const { return static_cast<uint8_t*>(block_.get()); }
  uint32_t length = 0;

 private:
  TC_CONTEXT* ctx_;
  ScopedBlock block_;
};

// The value with its escapes resolved; -10 for a backslash not followed
// by a special character or two hex digits, -3.
int32_t UndelimitString(string_view value, ByteString* out) {
  if (!out->Reserve(value.size())) return kTCErrNoMemory;
  uint8_t* w = out->bytes();
  uint32_t n = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c != '\\') {
      w[n++] = static_cast<uint8_t>(c);
      continue;
    }
    if (i + 1 >= value.size()) return kTCErrNameParse;
    char next = value[i + 1];
    if (std::strchr(" \"#+,;<=>\\", next) != nullptr && next != '\0') {
      w[n++] = static_cast<uint8_t>(next);
      ++i;
    } else if (i + 2 < value.size() && HexCharsToUchar(next, value[i + 2], &w[n])) {
      ++n;
      i += 2;
    } else {
      return kTCErrNameParse;
    }
  }
  out->length = n;
  return kTCErrNone;
}

// Hex digits to bytes, an odd count read as if a '0' stood in front; -10
// for a character that is not a hex digit, -3.
int32_t HexStringToUchar(string_view hex, ByteString* out) {
  if (!out->Reserve(hex.size() / 2 + 1)) return kTCErrNoMemory;
  uint8_t* w = out->bytes();
  uint32_t n = 0;
  size_t i = 0;
  if (hex.size() % 2 != 0) {
    if (!HexCharsToUchar('0', hex[0], &w[n++])) return kTCErrNameParse;
    i = 1;
  }
  for (; i < hex.size(); i += 2)
    if (!HexCharsToUchar(hex[i], hex[i + 1], &w[n++])) return kTCErrNameParse;
  out->length = n;
  return kTCErrNone;
}

// The value bytes as a DER string of the keyword's default tag. -26 for a
// tag the parser does not write, -24 / -25 for a character outside a
// NumericString / PrintableString, -3.
int32_t CreateAVADERFromString(int32_t tag, const uint8_t* bytes, uint32_t length, TC_CONTEXT* ctx, Der* der) {
  const ostrak::asn::TypeDesc* type;
  switch (tag) {
    case kPKITagNumericString: type = &ostrak::asn::kNumericString; break;
    case kPKITagPrintableString: type = &ostrak::asn::kPrintableString; break;
    case kPKITagT61String: type = &ostrak::asn::kT61String; break;
    case kPKITagIA5String: type = &ostrak::asn::kIA5String; break;
    case kPKITagVisibleString: type = &ostrak::asn::kVisibleString; break;
    default: return kTCErrStringType;
  }
  PKIVariableBlock value{length, const_cast<uint8_t*>(bytes)};
  return Encode(ctx, *type, static_cast<uint8_t>(tag), &value, der);
}

// The first keyword entry of that name, compared without regard to case.
const TC_AVATYPE* KeywordNamed(const TC_CONTEXT* ctx, string_view keyword) {
  for (const TC_AVATYPE* e = ctx->avaList; e != nullptr; e = e->next)
    if (std::strlen(e->keyword) == keyword.size() &&
        qoxCompareStringsIgnoreCaseN(e->keyword, keyword.data(), static_cast<long>(keyword.size())) == 0)
      return e;
  return nullptr;
}

// One AVA segment into a new AVA appended to the RDN.
int32_t ParseStringAVA(PKIRelativeDistinguishedName* rdn, string_view segment, TC_CONTEXT* ctx) {
  size_t eq = segment.find('=');
  if (eq == string_view::npos) return kTCErrNameParse;
  string_view keyword = Trim(segment.substr(0, eq));
  string_view value = Trim(segment.substr(eq + 1));
  Owned<PKIAttributeTypeAndValue> ava(cert_asn::kAttributeTypeAndValue, ctx);
  if (!ava.make()) return kTCErrNoMemory;
  if (keyword.find('.') == string_view::npos) {
    const TC_AVATYPE* entry = KeywordNamed(ctx, keyword);
    if (entry == nullptr) return kTCErrNameParse;
    ByteString bytes(ctx);
    if (int32_t e = UndelimitString(value, &bytes)) return e;
    Der der(ctx);
    if (int32_t e = CreateAVADERFromString(entry->defaultTag, bytes.bytes(), bytes.length, ctx, &der)) return e;
    if (int32_t e = tc_set_avader(ava.get(), entry->oid, entry->oidLength, der.bytes, der.length, ctx)) return e;
  } else {
    char* dotted = CopyText(ctx, reinterpret_cast<const uint8_t*>(keyword.data()), keyword.size());
    if (dotted == nullptr) return kTCErrNoMemory;
    uint8_t* oid = nullptr;
    uint32_t oidLength = 0;
    int32_t e = tc_create_oid(&oid, &oidLength, dotted, ctx);
    Release(ctx, dotted);
    ScopedBlock oidOwner(ctx, oid);
    if (e == kTCErrNoMemory) return e;
    if (e != kTCErrNone || oidLength == 0) return kTCErrNameParse;
    // '#' and the value's whole DER element, exactly one.
    if (value.size() < 2 || value[0] != '#') return kTCErrNameParse;
    ByteString der(ctx);
    if (int32_t h = HexStringToUchar(value.substr(1), &der)) return h;
    ostrak::asn::Header header;
    if (ostrak::asn::ReadHeader(der.bytes(), der.length, &header) != kPKIErrNone ||
        !ostrak::asn::ContentFits(header, der.length) || header.size + header.length != der.length)
      return kTCErrNameParse;
    if (int32_t s = tc_set_avader(ava.get(), oid, oidLength, der.bytes(), der.length, ctx)) return s;
  }
  if (PKIAddOfElement(Codec(ctx), ava.get(), rdn) != kPKIErrNone) return kTCErrNoMemory;
  ava.release();
  return kTCErrNone;
}

int32_t ParseRDNText(PKIRelativeDistinguishedName* rdn, string_view text, TC_CONTEXT* ctx) {
  return ForEachSegment(text, '+', [&](string_view ava) { return ParseStringAVA(rdn, ava, ctx); });
}

// Drops the RDNs from `from` on (those of a failed parse).
void DropFrom(PKIRDNSequence* seq, int32_t from, TC_CONTEXT* ctx) {
  while (seq->count > from) PKIFreeRelativeDistinguishedName(Codec(ctx), seq->elements[--seq->count]);
  if (seq->count == 0) {
    Release(ctx, seq->elements);
    seq->elements = nullptr;
  }
}

// Splits the text into RDN segments and appends one RDN per segment.
int32_t ParseStringRDNSeq(PKIRDNSequence* seq, string_view text, TC_CONTEXT* ctx) {
  return ForEachSegment(text, ',', [&](string_view segment) -> int32_t {
    Owned<PKIRelativeDistinguishedName> rdn(cert_asn::kRelativeDistinguishedName, ctx);
    if (!rdn.make()) return kTCErrNoMemory;
    if (int32_t e = ParseRDNText(rdn.get(), segment, ctx)) return e;
    if (rdn->count == 0) return kTCErrNameParse;
    if (PKIAddOfElement(Codec(ctx), rdn.get(), seq) != kPKIErrNone) return kTCErrNoMemory;
    rdn.release();
    return kTCErrNone;
  });
}

}  // namespace

int32_t ParseStringRDN(PKIRelativeDistinguishedName* rdn, const char* text, TC_CONTEXT* ctx) {
  if (rdn == nullptr || text == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  return ParseRDNText(rdn, text, ctx);
}

int32_t tc_make_dname_fromstring(PKIName* name, const char* text, TC_CONTEXT* ctx) {
  if (name == nullptr || text == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  if (int32_t e = EnsureSequence(name, ctx)) return e;
  if (*text == '\0') return kTCErrNone;
  auto* seq = static_cast<PKIRDNSequence*>(name->value);
  const int32_t before = seq->count;
  if (int32_t e = ParseStringRDNSeq(seq, text, ctx)) {
    DropFrom(seq, before, ctx);
    return e;
  }
  // The text names the most specific RDN first; stored, it comes last.
  for (int32_t i = before, j = seq->count - 1; i < j; ++i, --j) std::swap(seq->elements[i], seq->elements[j]);
  return kTCErrNone;
}

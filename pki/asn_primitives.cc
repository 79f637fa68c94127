// The built-in types: value blocks (INTEGER, OCTET STRING, OBJECT IDENTIFIER,
// the strings and times), BIT STRING, BOOLEAN, NULL and ANY, with their
// descriptors and named operations.
//
// Every decoder reads the header through ReadHeader and checks a definite
// length against what is left of the input before touching the content, so
// a length near 2^32 cannot wrap past the check. Constructed strings are
// joined segment by segment; segments do not nest.
#include <cstring>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"

namespace ostrak::asn {
namespace {

// The decoders' common entry checks; false when there is nothing to decode
// (an error stored, or empty input).
bool DecoderEntry(PKICONTEXT* ctx, const void* place, const uint8_t* in, uint32_t inLen, int32_t* err) {
  *err = kPKIErrNone;
  if (ManagerOf(ctx) == nullptr) {
    SetError(err, kPKIErrContext);
    return false;
  }
  if (place == nullptr) {
    SetError(err, kPKIErrNoPlace);
    return false;
  }
  if (in == nullptr) {
    SetError(err, kPKIErrNoInput);
    return false;
  }
  return inLen != 0;
}

void ReleaseBytes(PKICONTEXT* ctx, uint8_t** bytes, uint32_t* length) {
  Deallocate(ctx, *bytes);
  *bytes = nullptr;
  *length = 0;
}

// Stores a copy of n bytes; false without memory.
bool CopyBytes(PKICONTEXT* ctx, uint8_t** bytes, uint32_t* length, const uint8_t* from, uint32_t n) {
  if (n == 0) return true;
  auto* p = static_cast<uint8_t*>(Allocate(ctx, n));
  if (p == nullptr) return false;
  std::memcpy(p, from, n);
  *bytes = p;
  *length = n;
  return true;
}

bool IsPrintable(uint8_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::memchr("'\"()+,-./:=? ", c, 13) != nullptr && c != 0;
}

// kPKIErrNone, or the error of the first character outside the type's set.
int32_t CheckCharacters(uint8_t flags, const uint8_t* p, uint32_t n) {
  if (flags & kCheckNumeric) {
    for (uint32_t i = 0; i < n; ++i)
      if (!((p[i] >= '0' && p[i] <= '9') || p[i] == ' ')) return kPKIErrNumeric;
  }
  if (flags & kCheckPrintable) {
    for (uint32_t i = 0; i < n; ++i)
      if (!IsPrintable(p[i])) return kPKIErrPrintable;
  }
  return kPKIErrNone;
}

// Removes leading octets that do not change a two's-complement value.
void TrimInteger(PKIVariableBlock* b) {
  if (b->bytes == nullptr) {
    b->length = 0;
    return;
  }
  uint32_t skip = 0;
  while (b->length - skip >= 2) {
    uint8_t first = b->bytes[skip], next = b->bytes[skip + 1];
    if (!((first == 0x00 && !(next & 0x80)) || (first == 0xFF && (next & 0x80)))) break;
    ++skip;
  }
  if (skip != 0) {
    std::memmove(b->bytes, b->bytes + skip, b->length - skip);
    b->length -= skip;
  }
}

uint32_t BlockLength(const PKIVariableBlock* b) { return b->bytes != nullptr ? b->length : 0; }

uint32_t WrapSize(uint32_t size, int withTag, int explicitFlag) {
  if (withTag) size = TaggedSize(size);
  if (explicitFlag && size != 0) size = TaggedSize(size);
  return size;
}

// Writes tag, length, the optional extra octet and the content; with an
// extra octet n (a BIT STRING's unused bits) the n low bits of the last
// content byte are cleared. The room is checked before anything is written.
uint32_t PackContent(uint8_t tag, bool hasExtra, uint8_t extra, uint8_t* out, uint32_t outLen,
                     const uint8_t* bytes, uint32_t length, int32_t* err) {
  if (out == nullptr) {
    SetError(err, kPKIErrNoOutput);
    return 0;
  }
  uint64_t content = uint64_t{length} + (hasExtra ? 1 : 0);
  if (content > UINT32_MAX) {
    SetError(err, kPKIErrOutputSmall);
    return 0;
  }
  uint32_t header = 1 + PKILengthSize(static_cast<uint32_t>(content));
  if (header > outLen || content > outLen - header) {
    SetError(err, kPKIErrOutputSmall);
    return 0;
  }
  uint32_t pos = PKIPutTag(out, tag, static_cast<uint32_t>(content));
  if (hasExtra) out[pos++] = extra;
  if (length != 0) std::memcpy(out + pos, bytes, length);
  pos += length;
  if (hasExtra && extra != 0 && length != 0) {
    uint32_t bits = extra > 8 ? 8 : extra;
    out[pos - 1] &= static_cast<uint8_t>(0xFF << bits);
  }
  return pos;
}

// Joins the segments of a constructed string. `limit` bytes are available;
// an indefinite value ends at its end-of-contents pair, a definite one at
// the limit. With `unused` set, each segment starts with its unused-bits
// count (BIT STRING). Returns the bytes consumed.
uint32_t JoinSegments(PKICONTEXT* ctx, const uint8_t* in, uint32_t limit, bool indefinite, uint8_t segmentTag,
                      uint8_t** bytes, uint32_t* length, uint32_t* unused, int32_t* err) {
  uint32_t pos = 0;
  bool bitsLeftOpen = false;
  for (;;) {
    uint32_t avail = limit - pos;
    if (indefinite) {
      if (AtEndOfContents(in + pos, avail)) return pos + 2;
    } else if (avail == 0) {
      return pos;
    }
    if (avail < 2) {
      // Room for neither a segment header nor the end-of-contents pair.
      SetError(err, kPKIErrLength);
      return 0;
    }
    if (in[pos] != segmentTag) {
      SetError(err, kPKIErrForm);
      return 0;
    }
    Header s;
    if (int32_t e = ReadHeader(in + pos, avail, &s)) {
      SetError(err, e);
      return 0;
    }
    if (s.indefinite) {
      SetError(err, kPKIErrForm);
      return 0;
    }
    if (!ContentFits(s, avail)) {
      SetError(err, kPKIErrLength);
      return 0;
    }
    const uint8_t* content = in + pos + s.size;
    uint32_t n = s.length;
    pos += s.size + s.length;
    if (n == 0) continue;
    if (unused != nullptr) {
      if (bitsLeftOpen) {
        SetError(err, kPKIErrForm);  // only the last segment may leave bits unused
        return 0;
      }
      *unused = content[0];
      bitsLeftOpen = content[0] != 0;
      ++content;
      --n;
      if (n == 0) continue;
    }
    void* grown = *bytes;
    if (!Reallocate(ctx, &grown, size_t{*length} + n)) {
      SetError(err, kPKIErrMemory);
      return 0;
    }
    *bytes = static_cast<uint8_t*>(grown);
    std::memcpy(*bytes + *length, content, n);
    *length += n;
  }
}

// Decodes a string-like value (the tag already matched) into bytes and
// length; `unused` is set for a BIT STRING. `universal` is the type's own
// tag, which the segments of an indefinite value carry.
uint32_t DecodeString(PKICONTEXT* ctx, uint8_t universal, uint8_t tag, const uint8_t* in, uint32_t inLen,
                      uint8_t** bytes, uint32_t* length, uint32_t* unused, int32_t* err) {
  Header h;
  if (int32_t e = ReadHeader(in, inLen, &h)) {
    SetError(err, e);
    return 0;
  }
  bool constructed = (h.tag & kPKIConstructed) != 0;
  if (!h.indefinite && !ContentFits(h, inLen)) {
    SetError(err, kPKIErrLength);
    return 0;
  }
  if (h.indefinite && !constructed) {
    SetError(err, kPKIErrForm);
    return 0;
  }
  ReleaseBytes(ctx, bytes, length);
  const uint8_t* content = in + h.size;
  if (!constructed) {
    uint32_t n = h.length;
    if (unused != nullptr) {
      if (n == 0) {  // no unused-bits octet
        SetError(err, kPKIErrForm);
        return 0;
      }
      *unused = content[0];
      ++content;
      --n;
    }
    if (!CopyBytes(ctx, bytes, length, content, n)) {
      SetError(err, kPKIErrMemory);
      return 0;
    }
    return h.size + h.length;
  }
  if (unused != nullptr) *unused = 0;
  uint8_t segmentTag = static_cast<uint8_t>(tag & ~kPKIConstructed);
  if (h.indefinite && unused == nullptr) segmentTag = universal;
  uint32_t limit = h.indefinite ? inLen - h.size : h.length;
  uint32_t n = JoinSegments(ctx, content, limit, h.indefinite, segmentTag, bytes, length, unused, err);
  return *err ? 0 : h.size + n;
}

// --- Value blocks ---

uint32_t SizeBlock(const TypeDesc& t, void* rec, int withTag, int explicitFlag) {
  auto* b = static_cast<PKIVariableBlock*>(rec);
  if (b == nullptr) return 0;
  if (t.flags & kTwosComplement) TrimInteger(b);
  return WrapSize(BlockLength(b), withTag, explicitFlag);
}

uint32_t PackBlock(const TypeDesc& t, PKICONTEXT*, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                   int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  auto* b = static_cast<PKIVariableBlock*>(rec);
  if (b == nullptr) return 0;
  if (t.flags & kTwosComplement) TrimInteger(b);
  uint32_t n = PackContent(tag, false, 0, out, outLen, b->bytes, BlockLength(b), err);
  if (*err) return 0;
  if (int32_t e = CheckCharacters(t.flags, b->bytes, BlockLength(b))) {
    SetError(err, e);
    return 0;
  }
  return n;
}

uint32_t UnpkInPlaceBlock(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                          uint8_t tag, int32_t* err) {
  if (err == nullptr || !DecoderEntry(ctx, rec, in, inLen, err)) return 0;
  if (!SameTagIgnoringForm(in[0], tag)) return 0;
  auto* b = static_cast<PKIVariableBlock*>(rec);
  uint32_t n = DecodeString(ctx, t.tag, tag, in, inLen, &b->bytes, &b->length, nullptr, err);
  if (*err) return 0;
  if (int32_t e = CheckCharacters(t.flags, b->bytes, BlockLength(b))) {
    SetError(err, e);
    return 0;
  }
  return n;
}

void DropBlock(const TypeDesc&, PKICONTEXT* ctx, void* rec) {
  auto* b = static_cast<PKIVariableBlock*>(rec);
  if (ManagerOf(ctx) == nullptr || b == nullptr) return;
  ReleaseBytes(ctx, &b->bytes, &b->length);
}

// --- BIT STRING ---

uint32_t SizeBits(const TypeDesc&, void* rec, int withTag, int explicitFlag) {
  auto* b = static_cast<PKIBIT_STRING*>(rec);
  if (b == nullptr) return 0;
  return WrapSize(AddSizes(b->bytes != nullptr ? b->length : 0, 1), withTag, explicitFlag);
}

uint32_t PackBits(const TypeDesc&, PKICONTEXT*, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                  int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  auto* b = static_cast<PKIBIT_STRING*>(rec);
  if (b == nullptr) return 0;
  return PackContent(tag, true, static_cast<uint8_t>(b->unusedBits), out, outLen, b->bytes,
                     b->bytes != nullptr ? b->length : 0, err);
}

uint32_t UnpkInPlaceBits(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                         uint8_t tag, int32_t* err) {
  if (err == nullptr || !DecoderEntry(ctx, rec, in, inLen, err)) return 0;
  if (!SameTagIgnoringForm(in[0], tag)) return 0;
  auto* b = static_cast<PKIBIT_STRING*>(rec);
  return DecodeString(ctx, t.tag, tag, in, inLen, &b->bytes, &b->length, &b->unusedBits, err);
}

void DropBits(const TypeDesc&, PKICONTEXT* ctx, void* rec) {
  auto* b = static_cast<PKIBIT_STRING*>(rec);
  if (ManagerOf(ctx) == nullptr || b == nullptr) return;
  ReleaseBytes(ctx, &b->bytes, &b->length);
  b->unusedBits = 0;
}

// --- BOOLEAN and NULL ---

constexpr uint8_t kBooleanTrue = 0xFF;

uint32_t SizeBoolean(const TypeDesc&, void* rec, int withTag, int explicitFlag) {
  return rec == nullptr ? 0 : WrapSize(1, withTag, explicitFlag);
}

uint32_t PackBoolean(const TypeDesc&, PKICONTEXT*, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                     int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  auto* b = static_cast<PKIBOOLEAN*>(rec);
  if (b == nullptr) return 0;
  if (out == nullptr) {
    SetError(err, kPKIErrNoOutput);
    return 0;
  }
  if (outLen < 3) {
    SetError(err, kPKIErrOutputSmall);
    return 0;
  }
  out[0] = tag;
  out[1] = 1;
  out[2] = b->value != 0 ? kBooleanTrue : 0;
  return 3;
}

uint32_t UnpkInPlaceBoolean(const TypeDesc&, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                            uint8_t tag, int32_t* err) {
  if (err == nullptr || !DecoderEntry(ctx, rec, in, inLen, err)) return 0;
  if (in[0] != tag) return 0;
  Header h;
  if (int32_t e = ReadHeader(in, inLen, &h)) {
    SetError(err, e);
    return 0;
  }
  if (h.indefinite || h.length != 1) {
    SetError(err, kPKIErrBoolean);
    return 0;
  }
  if (!ContentFits(h, inLen)) {
    SetError(err, kPKIErrLength);
    return 0;
  }
  auto* b = static_cast<PKIBOOLEAN*>(rec);
  b->length = 1;
  b->value = in[h.size] != 0 ? 1 : 0;
  return h.size + 1;
}

uint32_t SizeNull(const TypeDesc&, void* rec, int withTag, int explicitFlag) {
  return rec == nullptr ? 0 : WrapSize(0, withTag, explicitFlag);
}

uint32_t PackNull(const TypeDesc&, PKICONTEXT*, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                  int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  if (rec == nullptr) return 0;
  if (out == nullptr) {
    SetError(err, kPKIErrNoOutput);
    return 0;
  }
  if (outLen < 2) {
    SetError(err, kPKIErrOutputSmall);
    return 0;
  }
  out[0] = tag;
  out[1] = 0;
  return 2;
}

uint32_t UnpkInPlaceNull(const TypeDesc&, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                         uint8_t tag, int32_t* err) {
  if (err == nullptr || !DecoderEntry(ctx, rec, in, inLen, err)) return 0;
  if (in[0] != tag) return 0;
  Header h;
  if (int32_t e = ReadHeader(in, inLen, &h)) {
    SetError(err, e);
    return 0;
  }
  if (h.indefinite || h.length != 0) {
    SetError(err, kPKIErrNullContent);
    return 0;
  }
  static_cast<PKINULL*>(rec)->word = 0;
  return h.size;
}

void DropNothing(const TypeDesc&, PKICONTEXT*, void*) {}

// --- ANY ---

uint32_t SizeAny(const TypeDesc&, void* rec, int, int explicitFlag) {
  auto* b = static_cast<PKIVariableBlock*>(rec);
  if (b == nullptr) return 0;
  return WrapSize(BlockLength(b), 0, explicitFlag);
}

uint32_t PackAny(const TypeDesc&, PKICONTEXT*, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                 int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  auto* b = static_cast<PKIVariableBlock*>(rec);
  if (b == nullptr || b->bytes == nullptr || b->length == 0) return 0;
  if (out == nullptr) {
    SetError(err, kPKIErrNoOutput);
    return 0;
  }
  if (b->length > outLen) {
    SetError(err, kPKIErrOutputSmall);
    return 0;
  }
  std::memcpy(out, b->bytes, b->length);
  if (tag != kPKITagAny) out[0] = tag;
  return b->length;
}

uint32_t UnpkInPlaceAny(const TypeDesc&, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen, uint8_t,
                        int32_t* err) {
  if (err == nullptr || !DecoderEntry(ctx, rec, in, inLen, err)) return 0;
  uint32_t size = 0;
  if (int32_t e = ElementSize(in, inLen, &size)) {
    SetError(err, e);
    return 0;
  }
  auto* b = static_cast<PKIVariableBlock*>(rec);
  ReleaseBytes(ctx, &b->bytes, &b->length);
  if (!CopyBytes(ctx, &b->bytes, &b->length, in, size)) {
    SetError(err, kPKIErrMemory);
    return 0;
  }
  return size;
}

constexpr TypeOps kBlockOps = {PackBlock, UnpkInPlaceBlock, UnpackAllocating, SizeBlock, DropBlock};
constexpr TypeOps kBitsOps = {PackBits, UnpkInPlaceBits, UnpackAllocating, SizeBits, DropBits};
constexpr TypeOps kBooleanOps = {PackBoolean, UnpkInPlaceBoolean, UnpackAllocating, SizeBoolean, DropNothing};
constexpr TypeOps kNullOps = {PackNull, UnpkInPlaceNull, UnpackAllocating, SizeNull, DropNothing};
constexpr TypeOps kAnyOps = {PackAny, UnpkInPlaceAny, UnpackAllocating, SizeAny, DropBlock};

constexpr TypeDesc Primitive(const char* name, uint8_t tag, uint8_t flags, uint32_t size, const TypeOps* ops) {
  return TypeDesc{name, Kind::kPrimitive, tag, flags, size, ops, nullptr, nullptr, 0, nullptr};
}

constexpr uint32_t kBlockSize = sizeof(PKIVariableBlock);

}  // namespace

constinit const TypeDesc kBoolean =
    Primitive("BOOLEAN", kPKITagBoolean, kExactTagToAllocate, sizeof(PKIBOOLEAN), &kBooleanOps);
constinit const TypeDesc kInteger = Primitive("INTEGER", kPKITagInteger, kExactTagToAllocate | kTwosComplement,
                                              kBlockSize, &kBlockOps);
constinit const TypeDesc kBitString =
    Primitive("BIT STRING", kPKITagBitString, 0, sizeof(PKIBIT_STRING), &kBitsOps);
constinit const TypeDesc kOctetString = Primitive("OCTET STRING", kPKITagOctetString, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kNull = Primitive("NULL", kPKITagNull, kExactTagToAllocate, sizeof(PKINULL), &kNullOps);
constinit const TypeDesc kObjectId =
    Primitive("OBJECT IDENTIFIER", kPKITagObjectId, kExactTagToAllocate, kBlockSize, &kBlockOps);
constinit const TypeDesc kNumericString =
    Primitive("NumericString", kPKITagNumericString, kCheckNumeric, kBlockSize, &kBlockOps);
constinit const TypeDesc kPrintableString =
    Primitive("PrintableString", kPKITagPrintableString, kCheckPrintable, kBlockSize, &kBlockOps);
constinit const TypeDesc kT61String = Primitive("T61String", kPKITagT61String, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kIA5String = Primitive("IA5String", kPKITagIA5String, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kUTCTime = Primitive("UTCTime", kPKITagUTCTime, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kGeneralizedTime =
    Primitive("GeneralizedTime", kPKITagGeneralizedTime, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kVisibleString =
    Primitive("VisibleString", kPKITagVisibleString, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kUTF8String = Primitive("UTF8String", kPKITagUTF8String, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kUniversalString =
    Primitive("UniversalString", kPKITagUniversalString, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kBMPString = Primitive("BMPString", kPKITagBMPString, 0, kBlockSize, &kBlockOps);
constinit const TypeDesc kAny = Primitive("ANY", kPKITagAny, kTakesAnyTag, kBlockSize, &kAnyOps);

}  // namespace ostrak::asn

// --- The named operations ---

using ostrak::asn::FreeRecord;
using ostrak::asn::NewRecord;
using ostrak::asn::Pack;
using ostrak::asn::Size;
using ostrak::asn::UnpackTyped;
using ostrak::asn::UnpkInPlace;

#define PKI_RUNTIME_CODEC_DEFS(T, R, D, TAG)                                                              \
  uint32_t PKIPack##T(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, int32_t* err) {            \
    return Pack(D, ctx, out, outLen, rec, (TAG), err);                                                     \
  }                                                                                                        \
  uint32_t PKIPack##T##Internal(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, uint8_t tag,     \
                                int32_t* err) {                                                          \
    return Pack(D, ctx, out, outLen, rec, tag, err);                                                       \
  }                                                                                                        \
  uint32_t PKIUnpack##T(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen, int32_t* err) {     \
    return UnpackTyped(D, ctx, out, in, inLen, (TAG), err, true);                                          \
  }                                                                                                        \
  uint32_t PKIUnpack##T##Internal(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen,           \
                                  uint8_t tag, int32_t* err) {                                           \
    return UnpackTyped(D, ctx, out, in, inLen, tag, err, false);                                           \
  }                                                                                                        \
  uint32_t PKIUnpkInPlace##T(PKICONTEXT* ctx, R* rec, const uint8_t* in, uint32_t inLen, uint8_t tag,    \
                             int32_t* err) {                                                             \
    return UnpkInPlace(D, ctx, rec, in, inLen, tag, err);                                                  \
  }

PKI_RUNTIME_CODEC_DEFS(INTEGER, PKIINTEGER, ostrak::asn::kInteger, kPKITagInteger)
PKI_RUNTIME_CODEC_DEFS(OCTET_STRING, PKIOCTET_STRING, ostrak::asn::kOctetString, kPKITagOctetString)
PKI_RUNTIME_CODEC_DEFS(OBJECT_ID, PKIOBJECT_ID, ostrak::asn::kObjectId, kPKITagObjectId)
PKI_RUNTIME_CODEC_DEFS(NumericString, PKINumericString, ostrak::asn::kNumericString, kPKITagNumericString)
PKI_RUNTIME_CODEC_DEFS(PrintableString, PKIPrintableString, ostrak::asn::kPrintableString,
                       kPKITagPrintableString)
PKI_RUNTIME_CODEC_DEFS(T61String, PKIT61String, ostrak::asn::kT61String, kPKITagT61String)
PKI_RUNTIME_CODEC_DEFS(IA5String, PKIIA5String, ostrak::asn::kIA5String, kPKITagIA5String)
PKI_RUNTIME_CODEC_DEFS(UTCTime, PKIUTCTime, ostrak::asn::kUTCTime, kPKITagUTCTime)
PKI_RUNTIME_CODEC_DEFS(GeneralizedTime, PKIGeneralizedTime, ostrak::asn::kGeneralizedTime, kPKITagGeneralizedTime)
PKI_RUNTIME_CODEC_DEFS(VisibleString, PKIVisibleString, ostrak::asn::kVisibleString, kPKITagVisibleString)
PKI_RUNTIME_CODEC_DEFS(ANY, PKIANY, ostrak::asn::kAny, kPKITagAny)
PKI_RUNTIME_CODEC_DEFS(BIT_STRING, PKIBIT_STRING, ostrak::asn::kBitString, kPKITagBitString)
PKI_RUNTIME_CODEC_DEFS(BOOLEAN, PKIBOOLEAN, ostrak::asn::kBoolean, kPKITagBoolean)
PKI_RUNTIME_CODEC_DEFS(NULL, PKINULL, ostrak::asn::kNull, kPKITagNull)
#undef PKI_RUNTIME_CODEC_DEFS

uint32_t PKIPackBMPString(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, PKIBMPString* rec, int32_t* err) {
  return Pack(ostrak::asn::kBMPString, ctx, out, outLen, rec, kPKITagBMPString, err);
}
uint32_t PKIUnpackBMPString(PKICONTEXT* ctx, PKIBMPString** out, const uint8_t* in, uint32_t inLen,
                            int32_t* err) {
  return UnpackTyped(ostrak::asn::kBMPString, ctx, out, in, inLen, kPKITagBMPString, err, true);
}
uint32_t PKIPackUTF8String(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, PKIUTF8String* rec, int32_t* err) {
  return Pack(ostrak::asn::kUTF8String, ctx, out, outLen, rec, kPKITagUTF8String, err);
}
uint32_t PKIUnpackUTF8String(PKICONTEXT* ctx, PKIUTF8String** out, const uint8_t* in, uint32_t inLen,
                             int32_t* err) {
  return UnpackTyped(ostrak::asn::kUTF8String, ctx, out, in, inLen, kPKITagUTF8String, err, true);
}
uint32_t PKIPackUniversalString(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, PKIUniversalString* rec,
                                int32_t* err) {
  return Pack(ostrak::asn::kUniversalString, ctx, out, outLen, rec, kPKITagUniversalString, err);
}
uint32_t PKIUnpackUniversalString(PKICONTEXT* ctx, PKIUniversalString** out, const uint8_t* in,
                                  uint32_t inLen, int32_t* err) {
  return UnpackTyped(ostrak::asn::kUniversalString, ctx, out, in, inLen, kPKITagUniversalString, err, true);
}

// --- Record operations ---

PKIVariableBlock* PKINewVariableBlock(PKICONTEXT* ctx) {
  return static_cast<PKIVariableBlock*>(NewRecord(ostrak::asn::kOctetString, ctx));
}
void PKIFreeVariableBlock(PKICONTEXT* ctx, PKIVariableBlock* rec) {
  FreeRecord(ostrak::asn::kOctetString, ctx, rec);
}
void PKIDropInPlaceVariableBlock(PKICONTEXT* ctx, PKIVariableBlock* rec) {
  ostrak::asn::Drop(ostrak::asn::kOctetString, ctx, rec);
}
uint32_t PKISizeofVariableBlock(PKICONTEXT*, PKIVariableBlock* rec, int withTag) {
  return Size(ostrak::asn::kOctetString, rec, withTag, 0);
}
uint32_t PKISizeofVariableBlockInternal(PKIVariableBlock* rec, int withTag, int explicitFlag) {
  return Size(ostrak::asn::kOctetString, rec, withTag, explicitFlag);
}

uint32_t PKISizeofINTEGER(PKICONTEXT*, PKIINTEGER* rec, int withTag) {
  return Size(ostrak::asn::kInteger, rec, withTag, 0);
}
uint32_t PKISizeofINTEGERInternal(PKIINTEGER* rec, int withTag, int explicitFlag) {
  return Size(ostrak::asn::kInteger, rec, withTag, explicitFlag);
}
uint32_t PKISizeofANY(PKICONTEXT*, PKIANY* rec, int withTag) { return Size(ostrak::asn::kAny, rec, withTag, 0); }
uint32_t PKISizeofANYInternal(PKIANY* rec, int withTag, int explicitFlag) {
  return Size(ostrak::asn::kAny, rec, withTag, explicitFlag);
}

#define PKI_RUNTIME_RECORD_DEFS(T, R, D)                                                                 \
  R* PKINew##T(PKICONTEXT* ctx) { return static_cast<R*>(NewRecord(D, ctx)); }                          \
  void PKIFree##T(PKICONTEXT* ctx, R* rec) { FreeRecord(D, ctx, rec); }                                 \
  void PKIDropInPlace##T(PKICONTEXT* ctx, R* rec) { ostrak::asn::Drop(D, ctx, rec); }                   \
  uint32_t PKISizeof##T(PKICONTEXT*, R* rec, int withTag) { return Size(D, rec, withTag, 0); }          \
  uint32_t PKISizeof##T##Internal(R* rec, int withTag, int explicitFlag) {                              \
    return Size(D, rec, withTag, explicitFlag);                                                         \
  }
PKI_RUNTIME_RECORD_DEFS(BIT_STRING, PKIBIT_STRING, ostrak::asn::kBitString)
PKI_RUNTIME_RECORD_DEFS(BOOLEAN, PKIBOOLEAN, ostrak::asn::kBoolean)
PKI_RUNTIME_RECORD_DEFS(NULL, PKINULL, ostrak::asn::kNull)
#undef PKI_RUNTIME_RECORD_DEFS

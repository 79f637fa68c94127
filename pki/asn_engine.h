// The engine of the generated ASN.1 modules: every type of a module is a
// constant descriptor (what kind it is, its components with their tags,
// IMPLICIT or EXPLICIT, OPTIONAL, element type, alternatives), and one set of
// functions interprets the descriptors to create, size, encode (DER), decode
// (BER) and drop records. The named operations of each type
// (PKINewCertificate ... PKIDropInPlaceCertificate) are thin functions made
// by PKI_ASN_DEFINE_OPERATIONS over its descriptor.
//
// How a module is added: pki/README.md.
//
// Records. The record of a SEQUENCE holds one field per component in
// definition order: a mandatory component embedded, an OPTIONAL or DEFAULT
// one as a pointer (null when absent). A SEQUENCE OF / SET OF record has the
// shape of PKIListRecord, a CHOICE record that of PKIChoiceRecord
// (pki/asn_types.h). A record owns everything it points to, deeply.
//
// What the engine does, per kind (the tag a codec is given: the universal
// tag of its type, 0x80|n for [n] IMPLICIT, kPKITagChoice for an untagged
// CHOICE, kPKITagAny for ANY; constructed packers add 0x20):
// - SEQUENCE: encodes the components in order behind its header (an EXPLICIT
//   component inside a 0xA0|n wrapper); decodes them in order, probing each
//   OPTIONAL one (absent when its first byte does not match), with the end
//   checks (kPKIErrLeftover for bytes left in a definite value, kPKIErrForm
//   for a missing end-of-contents pair, kPKIErrExplicit for a wrapper that
//   its content does not fill).
// - SEQUENCE OF / SET OF: elements in order; a sorted SET OF is written in DER
//   order (kPKIErrDuplicate for two equal elements). Decoding ends the list
//   at an element that consumes nothing, so the end checks report it.
// - CHOICE: dispatches on the first byte (each alternative names the bytes it
//   accepts) and keeps that byte as the selector; encodes the alternative the
//   selector names (bit 0x20 ignored) with the alternative's own tag. The
//   allocating decoder turns kPKIErrChoice into "absent".
//
// Hooks. A descriptor carries its operations table (TypeOps). The engine's
// tables serve every kind; a type with particulars of its own gets a table
// whose functions do them and call the engine's for the rest
// (kSequenceOps.unpkInPlace(...) and so on).
//
// Thread safety: descriptors are constant; see pki/asn_types.h.
#ifndef OSTRAK_PKI_ASN_ENGINE_H_
#define OSTRAK_PKI_ASN_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "pki/asn_runtime.h"
#include "pki/asn_types.h"

namespace ostrak::asn {

struct TypeDesc;

// The five internal operations of a type. Every one takes its descriptor
// first; records are passed untyped.
struct TypeOps {
  // Encodes with `tag`; returns the bytes written.
  uint32_t (*pack)(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec,
                   uint8_t tag, int32_t* err);
  // Decodes into an existing record; returns the bytes consumed.
  uint32_t (*unpkInPlace)(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in,
                          uint32_t inLen, uint8_t tag, int32_t* err);
  // Allocates a record and decodes into it; *out stays null unless it worked.
  uint32_t (*unpack)(const TypeDesc& t, PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen,
                     uint8_t tag, int32_t* err);
  // The DER size: content only, with the header (withTag 1), and with one
  // more header around a non-zero size (explicitFlag 1).
  uint32_t (*size)(const TypeDesc& t, void* rec, int withTag, int explicitFlag);
  // Frees what the record owns, not the record.
  void (*drop)(const TypeDesc& t, PKICONTEXT* ctx, void* rec);
};

enum class Kind : uint8_t { kPrimitive, kSequence, kList, kChoice };

// Descriptor flags.
inline constexpr uint8_t kSortedSetOf = 0x01;        // list: written in DER order
inline constexpr uint8_t kExactTagToAllocate = 0x02;  // primitive: the allocating
                                                      // decoder wants the exact tag
inline constexpr uint8_t kCheckNumeric = 0x04;       // primitive: NumericString set
inline constexpr uint8_t kCheckPrintable = 0x08;     // primitive: PrintableString set
inline constexpr uint8_t kTakesAnyTag = 0x10;        // primitive: ANY, no tag check
inline constexpr uint8_t kTwosComplement = 0x20;     // primitive: INTEGER, trimmed

// One component of a SEQUENCE.
struct Field {
  const TypeDesc* type;
  uint32_t offset;   // of the embedded record, or of the pointer when optional
  uint8_t tag;       // given to the component's codec
  uint8_t wrapper;   // 0xA0|n for [n] EXPLICIT, else 0
  bool optional;     // held as a pointer, null when absent
};

// One alternative of a CHOICE.
struct Alternative {
  const TypeDesc* type;
  uint8_t tag;       // given to the alternative's codec (inside the wrapper, if any)
  uint8_t wrapper;   // 0xA0|n for [n] EXPLICIT, else 0
  uint8_t accept[2];  // first bytes that select it on decode (0: none)
};

struct TypeDesc {
  const char* name;
  Kind kind;
  uint8_t tag;    // primitive: its universal tag; list: the element tag
  uint8_t flags;
  uint32_t recordSize;
  const TypeOps* ops;
  const Field* fields;             // SEQUENCE
  const Alternative* alternatives;  // CHOICE
  uint32_t count;                  // of fields or alternatives
  const TypeDesc* element;         // list
};

// The engine's operations per kind, as tables and one by one (so that a
// hook's table can be a constant: {PackList, MyUnpkInPlace, UnpackAllocating,
// SizeList, DropList}).
extern const TypeOps kSequenceOps;
extern const TypeOps kListOps;
extern const TypeOps kChoiceOps;
uint32_t PackSequence(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                      int32_t* err);
uint32_t UnpkInPlaceSequence(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                             uint8_t tag, int32_t* err);
uint32_t SizeSequence(const TypeDesc& t, void* rec, int withTag, int explicitFlag);
void DropSequence(const TypeDesc& t, PKICONTEXT* ctx, void* rec);
uint32_t PackList(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                  int32_t* err);
uint32_t UnpkInPlaceList(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                         uint8_t tag, int32_t* err);
uint32_t SizeList(const TypeDesc& t, void* rec, int withTag, int explicitFlag);
void DropList(const TypeDesc& t, PKICONTEXT* ctx, void* rec);
uint32_t PackChoice(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                    int32_t* err);
uint32_t UnpkInPlaceChoice(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                           uint8_t tag, int32_t* err);
uint32_t SizeChoice(const TypeDesc& t, void* rec, int withTag, int explicitFlag);
void DropChoice(const TypeDesc& t, PKICONTEXT* ctx, void* rec);

// The built-in types, usable as components, elements and alternatives.
extern const TypeDesc kBoolean;
extern const TypeDesc kInteger;
extern const TypeDesc kBitString;
extern const TypeDesc kOctetString;
extern const TypeDesc kNull;
extern const TypeDesc kObjectId;
extern const TypeDesc kNumericString;
extern const TypeDesc kPrintableString;
extern const TypeDesc kT61String;
extern const TypeDesc kIA5String;
extern const TypeDesc kUTCTime;
extern const TypeDesc kGeneralizedTime;
extern const TypeDesc kVisibleString;
extern const TypeDesc kUTF8String;       // OCTET STRING codec, tag 12
extern const TypeDesc kUniversalString;  // OCTET STRING codec, tag 28
extern const TypeDesc kBMPString;        // OCTET STRING codec, tag 30
extern const TypeDesc kAny;

// --- Calls through a descriptor (what the named operations do) ---
void* NewRecord(const TypeDesc& t, PKICONTEXT* ctx);
void FreeRecord(const TypeDesc& t, PKICONTEXT* ctx, void* rec);
inline uint32_t Size(const TypeDesc& t, void* rec, int withTag, int explicitFlag) {
  return t.ops->size(t, rec, withTag, explicitFlag);
}
inline uint32_t Pack(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                     int32_t* err) {
  return t.ops->pack(t, ctx, out, outLen, rec, tag, err);
}
inline uint32_t UnpkInPlace(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                            uint8_t tag, int32_t* err) {
  return t.ops->unpkInPlace(t, ctx, rec, in, inLen, tag, err);
}
inline uint32_t Unpack(const TypeDesc& t, PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen,
                       uint8_t tag, int32_t* err) {
  return t.ops->unpack(t, ctx, out, in, inLen, tag, err);
}
// The allocating decoder every kind shares: the entry checks, the tag probe
// (exact for kExactTagToAllocate, none for ANY and CHOICE, else bit 0x20
// ignored), a new record decoded in place and freed again unless it
// consumed bytes without error. A CHOICE that matches no alternative is
// absent, not an error.
uint32_t UnpackAllocating(const TypeDesc& t, PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen,
                          uint8_t tag, int32_t* err);
// The public decoder: the allocating one, with "nothing decoded" reported as
// kPKIErrLeftover.
uint32_t UnpackPublic(const TypeDesc& t, PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen,
                      uint8_t tag, int32_t* err);
inline void Drop(const TypeDesc& t, PKICONTEXT* ctx, void* rec) { t.ops->drop(t, ctx, rec); }

// Typed forms of the decoders for the named operations.
template <class R>
uint32_t UnpackTyped(const TypeDesc& t, PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen, uint8_t tag,
                     int32_t* err, bool publicForm) {
  if (err == nullptr) return 0;
  void* rec = nullptr;
  uint32_t n = publicForm ? UnpackPublic(t, ctx, out ? &rec : nullptr, in, inLen, tag, err)
                          : Unpack(t, ctx, out ? &rec : nullptr, in, inLen, tag, err);
  if (out != nullptr) *out = static_cast<R*>(rec);
  return n;
}

// --- Pieces for modules and hooks ---
// Stores an error and calls PKIErrorHalt.
void SetError(int32_t* err, int32_t code);
// The context's memory manager, or null for a null context.
PKIMemoryMgr* ManagerOf(PKICONTEXT* ctx);
void* Allocate(PKICONTEXT* ctx, size_t size);
void* AllocateZeroed(PKICONTEXT* ctx, size_t size);
// False (the block untouched) when the manager cannot resize.
bool Reallocate(PKICONTEXT* ctx, void** block, size_t size);
void Deallocate(PKICONTEXT* ctx, void* block);

// A tag byte and length field read from at most `avail` bytes.
struct Header {
  uint8_t tag;
  bool indefinite;   // the 0x80 form; length is then 0
  uint32_t length;
  uint32_t size;     // of the tag byte and length field
};
// kPKIErrNone, or kPKIErrLength when the header is cut short or its length
// field has more than four length octets. Does not check the content.
int32_t ReadHeader(const uint8_t* in, uint32_t avail, Header* h);
// Whether a definite length fits in the `avail` bytes behind the header,
// compared without overflow.
inline bool ContentFits(const Header& h, uint32_t avail) {
  return !h.indefinite && h.size <= avail && h.length <= avail - h.size;
}
// The size of the whole element at `in` (an indefinite one measured by
// walking its inner elements to its end-of-contents pair, at most
// kMaxIndefiniteNesting levels deep): kPKIErrLength when it runs past
// `avail`, kPKIErrForm for a multi-byte tag or nesting beyond the limit.
inline constexpr uint32_t kMaxIndefiniteNesting = 64;
int32_t ElementSize(const uint8_t* in, uint32_t avail, uint32_t* size);
// True when the two bytes at `in` are the end-of-contents pair.
inline bool AtEndOfContents(const uint8_t* in, uint32_t avail) {
  return avail >= 2 && in[0] == 0 && in[1] == 0;
}
// Tags compared with the constructed bit ignored.
inline bool SameTagIgnoringForm(uint8_t a, uint8_t b) {
  return (a & ~kPKIConstructed & 0xFF) == (b & ~kPKIConstructed & 0xFF);
}
// a + b, held at UINT32_MAX instead of wrapping.
inline uint32_t AddSizes(uint32_t a, uint32_t b) {
  uint64_t s = uint64_t{a} + b;
  return s > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}
// PKITagged(content, 1), held at UINT32_MAX.
uint32_t TaggedSize(uint32_t content);

// --- Building descriptors ---
template <class M>
constexpr uint32_t EmbeddedAt(size_t offset) {
  static_assert(!std::is_pointer_v<M>, "a mandatory component is embedded, not a pointer");
  return static_cast<uint32_t>(offset);
}
template <class M>
constexpr uint32_t PointerAt(size_t offset) {
  static_assert(std::is_pointer_v<M>, "an OPTIONAL component is a pointer");
  return static_cast<uint32_t>(offset);
}

template <class R, size_t N>
constexpr TypeDesc SequenceType(const char* name, const Field (&fields)[N], const TypeOps* ops = &kSequenceOps) {
  static_assert(std::is_standard_layout_v<R>);
  return TypeDesc{name, Kind::kSequence, 0, 0, sizeof(R), ops, fields, nullptr, N, nullptr};
}

template <class R>
constexpr TypeDesc ListType(const char* name, const TypeDesc& element, uint8_t elementTag, bool sorted,
                            const TypeOps* ops = &kListOps) {
  static_assert(sizeof(R) == sizeof(PKIListRecord) && offsetof(R, count) == offsetof(PKIListRecord, count) &&
                    offsetof(R, elements) == offsetof(PKIListRecord, elements),
                "a list record is {count, elements}");
  return TypeDesc{name, Kind::kList, elementTag, static_cast<uint8_t>(sorted ? kSortedSetOf : 0),
                  sizeof(R), ops, nullptr, nullptr, 0, &element};
}

template <class R, size_t N>
constexpr TypeDesc ChoiceType(const char* name, const Alternative (&alternatives)[N],
                              const TypeOps* ops = &kChoiceOps) {
  static_assert(sizeof(R) == sizeof(PKIChoiceRecord) && offsetof(R, tag) == offsetof(PKIChoiceRecord, tag) &&
                    offsetof(R, value) == offsetof(PKIChoiceRecord, value),
                "a CHOICE record is {tag, value}");
  return TypeDesc{name, Kind::kChoice, 0, 0, sizeof(R), ops, nullptr, alternatives, N, nullptr};
}

}  // namespace ostrak::asn

// Components of a SEQUENCE, in definition order:
//   PKI_ASN_FIELD(R, member, type, tag)              mandatory, embedded
//   PKI_ASN_OPTIONAL(R, member, type, tag)           OPTIONAL / DEFAULT, a pointer
//   PKI_ASN_EXPLICIT(R, member, type, n, tag)        mandatory, inside [n] EXPLICIT
//   PKI_ASN_OPTIONAL_EXPLICIT(R, member, type, n, tag)
// `type` is a descriptor (ostrak::asn::kInteger, a module's own, ...); `tag`
// is the tag its codec gets (the universal one, 0x80|n for IMPLICIT,
// kPKITagChoice, kPKITagAny).
#define PKI_ASN_FIELD(R, member, type, tag) \
  ::ostrak::asn::Field { &(type), ::ostrak::asn::EmbeddedAt<decltype(R::member)>(offsetof(R, member)), (tag), 0, false }
#define PKI_ASN_OPTIONAL(R, member, type, tag) \
  ::ostrak::asn::Field { &(type), ::ostrak::asn::PointerAt<decltype(R::member)>(offsetof(R, member)), (tag), 0, true }
#define PKI_ASN_EXPLICIT(R, member, type, n, tag)                                                   \
  ::ostrak::asn::Field {                                                                            \
    &(type), ::ostrak::asn::EmbeddedAt<decltype(R::member)>(offsetof(R, member)), (tag),            \
        static_cast<uint8_t>(kPKIContextConstructed | (n)), false                                   \
  }
#define PKI_ASN_OPTIONAL_EXPLICIT(R, member, type, n, tag)                                          \
  ::ostrak::asn::Field {                                                                            \
    &(type), ::ostrak::asn::PointerAt<decltype(R::member)>(offsetof(R, member)), (tag),             \
        static_cast<uint8_t>(kPKIContextConstructed | (n)), true                                    \
  }

// Declares the ten operations of type T with record R under prefix P
// (P##New##T ... P##DropInPlace##T), for a module's public header.
#define PKI_ASN_DECLARE_OPERATIONS(P, T, R)                                                           \
  R* P##New##T(PKICONTEXT* ctx);                                                                    \
  void P##Free##T(PKICONTEXT* ctx, R* rec);                                                         \
  uint32_t P##Sizeof##T(PKICONTEXT* ctx, R* rec, int withTag);                                      \
  uint32_t P##Pack##T(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, int32_t* err);        \
  uint32_t P##Unpack##T(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen, int32_t* err); \
  uint32_t P##Pack##T##Internal(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, uint8_t tag, \
                                int32_t* err);                                                      \
  uint32_t P##UnpkInPlace##T(PKICONTEXT* ctx, R* rec, const uint8_t* in, uint32_t inLen, uint8_t tag, \
                             int32_t* err);                                                         \
  uint32_t P##Unpack##T##Internal(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen,      \
                                  uint8_t tag, int32_t* err);                                       \
  uint32_t P##Sizeof##T##Internal(R* rec, int withTag, int explicitFlag);                           \
  void P##DropInPlace##T(PKICONTEXT* ctx, R* rec)

// Defines them over descriptor D, the public Pack and Unpack passing OUTER
// (kPKITagSequence, kPKITagSet or kPKITagChoice), for the module's .cc.
#define PKI_ASN_DEFINE_OPERATIONS(P, T, R, D, OUTER)                                                  \
  R* P##New##T(PKICONTEXT* ctx) { return static_cast<R*>(::ostrak::asn::NewRecord(D, ctx)); }       \
  void P##Free##T(PKICONTEXT* ctx, R* rec) { ::ostrak::asn::FreeRecord(D, ctx, rec); }              \
  uint32_t P##Sizeof##T(PKICONTEXT*, R* rec, int withTag) {                                         \
    return ::ostrak::asn::Size(D, rec, withTag, 0);                                                 \
  }                                                                                                 \
  uint32_t P##Pack##T(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, int32_t* err) {       \
    return ::ostrak::asn::Pack(D, ctx, out, outLen, rec, (OUTER), err);                             \
  }                                                                                                 \
  uint32_t P##Unpack##T(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen, int32_t* err) { \
    return ::ostrak::asn::UnpackTyped(D, ctx, out, in, inLen, (OUTER), err, true);                  \
  }                                                                                                 \
  uint32_t P##Pack##T##Internal(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, R* rec, uint8_t tag, \
                                int32_t* err) {                                                     \
    return ::ostrak::asn::Pack(D, ctx, out, outLen, rec, tag, err);                                 \
  }                                                                                                 \
  uint32_t P##UnpkInPlace##T(PKICONTEXT* ctx, R* rec, const uint8_t* in, uint32_t inLen, uint8_t tag, \
                             int32_t* err) {                                                        \
    return ::ostrak::asn::UnpkInPlace(D, ctx, rec, in, inLen, tag, err);                            \
  }                                                                                                 \
  uint32_t P##Unpack##T##Internal(PKICONTEXT* ctx, R** out, const uint8_t* in, uint32_t inLen,      \
                                  uint8_t tag, int32_t* err) {                                      \
    return ::ostrak::asn::UnpackTyped(D, ctx, out, in, inLen, tag, err, false);                     \
  }                                                                                                 \
  uint32_t P##Sizeof##T##Internal(R* rec, int withTag, int explicitFlag) {                          \
    return ::ostrak::asn::Size(D, rec, withTag, explicitFlag);                                      \
  }                                                                                                 \
  void P##DropInPlace##T(PKICONTEXT* ctx, R* rec) { ::ostrak::asn::Drop(D, ctx, rec); }

#endif  // OSTRAK_PKI_ASN_ENGINE_H_

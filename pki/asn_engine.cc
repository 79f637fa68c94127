// The engine's operations for SEQUENCE, SEQUENCE OF / SET OF and CHOICE
// types, interpreting their descriptors (pki/asn_engine.h).
//
// Decoding: every component is given only the bytes up to the end of its
// enclosing value (a definite length, already checked against the input, or
// the end of the input for an indefinite one), so no component can read
// past what its parent was given. The recursion follows the types, not the
// input: no type of a module contains itself.
#include <cstring>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"

namespace ostrak::asn {

// The SET OF encoder (asn_set_of.cc): elements in DER order behind the
// header the caller wrote.
uint32_t PackSortedElements(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen,
                            const PKIListRecord* list, int32_t* err);

namespace {

// --- Records ---

void* FieldAddress(void* rec, const Field& f) { return static_cast<uint8_t*>(rec) + f.offset; }

// The component's record: the embedded one, or what the pointer holds.
void* Component(void* rec, const Field& f) {
  void* at = FieldAddress(rec, f);
  return f.optional ? *static_cast<void**>(at) : at;
}

int32_t ListCount(const PKIListRecord* l) { return l->elements != nullptr && l->count > 0 ? l->count : 0; }

// The alternative a selector names (bit 0x20 ignored), or null.
const Alternative* AlternativeFor(const TypeDesc& t, uint8_t selector) {
  for (uint32_t i = 0; i < t.count; ++i) {
    const Alternative& a = t.alternatives[i];
    if (a.accept[0] != 0 && SameTagIgnoringForm(a.accept[0], selector)) return &a;
  }
  return nullptr;
}

// The alternative a first input byte selects, or null.
const Alternative* AlternativeAccepting(const TypeDesc& t, uint8_t first) {
  for (uint32_t i = 0; i < t.count; ++i) {
    const Alternative& a = t.alternatives[i];
    if ((a.accept[0] != 0 && a.accept[0] == first) || (a.accept[1] != 0 && a.accept[1] == first)) return &a;
  }
  return nullptr;
}

bool EntryChecks(PKICONTEXT* ctx, const void* place, const uint8_t* in, int32_t* err) {
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
  return true;
}

// The header of a constructed value whose tag matched: its end within the
// input (the input's end for an indefinite length). False with an error
// stored.
bool OpenConstructed(const uint8_t* in, uint32_t inLen, Header* h, uint32_t* end, int32_t* err) {
  if (!(in[0] & kPKIConstructed)) {
    SetError(err, kPKIErrForm);
    return false;
  }
  if (int32_t e = ReadHeader(in, inLen, h)) {
    SetError(err, e);
    return false;
  }
  if (h->indefinite) {
    *end = inLen;
  } else if (ContentFits(*h, inLen)) {
    *end = h->size + h->length;
  } else {
    SetError(err, kPKIErrLength);
    return false;
  }
  return true;
}

// The end checks of a constructed value decoded up to `pos`: the
// end-of-contents pair of an indefinite value (consumed), nothing left over
// in a definite one. Returns the bytes consumed, 0 with an error.
uint32_t CloseConstructed(const uint8_t* in, const Header& h, uint32_t end, uint32_t pos, int32_t* err) {
  if (h.indefinite) {
    if (!AtEndOfContents(in + pos, end - pos)) {
      SetError(err, kPKIErrForm);
      return 0;
    }
    return pos + 2;
  }
  if (pos > end) {
    SetError(err, kPKIErrLength);
    return 0;
  }
  if (pos < end) {
    SetError(err, kPKIErrLeftover);
    return 0;
  }
  return pos;
}

// Decodes the value inside an EXPLICIT wrapper whose byte matched, into an
// embedded record or (`optional`) a new one stored at `slot`. Returns the
// bytes consumed, wrapper included; 0 with an error. With `emptyIsNothing`
// a wrapper around no such value decodes to nothing (0 bytes, no error);
// otherwise the wrapper must be filled exactly.
uint32_t UnwrapExplicit(const TypeDesc& type, uint8_t tag, bool optional, bool emptyIsNothing, void* slot,
                        PKICONTEXT* ctx, const uint8_t* in, uint32_t avail, int32_t* err) {
  Header w;
  if (int32_t e = ReadHeader(in, avail, &w)) {
    SetError(err, e);
    return 0;
  }
  if (!w.indefinite && !ContentFits(w, avail)) {
    SetError(err, kPKIErrLength);
    return 0;
  }
  uint32_t limit = w.indefinite ? avail - w.size : w.length;
  uint32_t n;
  if (optional) {
    void** at = static_cast<void**>(slot);
    FreeRecord(type, ctx, *at);
    *at = nullptr;
    n = Unpack(type, ctx, at, in + w.size, limit, tag, err);
  } else {
    n = UnpkInPlace(type, ctx, slot, in + w.size, limit, tag, err);
  }
  if (*err) return 0;
  if (optional && emptyIsNothing && *static_cast<void**>(slot) == nullptr) return 0;
  if (!w.indefinite) {
    if (n != w.length) {
      SetError(err, kPKIErrExplicit);
      return 0;
    }
    return w.size + w.length;
  }
  if (!AtEndOfContents(in + w.size + n, limit - n)) {
    SetError(err, kPKIErrForm);
    return 0;
  }
  return w.size + n + 2;
}

// The shared start of every constructed encoder: the checks, the room for
// the whole encoding and the header. Returns the header size, 0 when there
// is nothing (more) to write; *total is the whole size.
uint32_t OpenPack(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                  int32_t* err, uint32_t* total) {
  *err = kPKIErrNone;
  if (ManagerOf(ctx) == nullptr) {
    SetError(err, kPKIErrContext);
    return 0;
  }
  if (rec == nullptr) return 0;
  if (out == nullptr) {
    SetError(err, kPKIErrNoOutput);
    return 0;
  }
  uint32_t content = Size(t, rec, 0, 0);
  *total = TaggedSize(content);
  if (*total > outLen) {
    SetError(err, kPKIErrRoom);
    return 0;
  }
  uint32_t header = PKIPutTag(out, static_cast<uint8_t>(tag | kPKIConstructed), content);
  if (header != 1 + PKILengthSize(content)) SetError(err, kPKIErrOutputSmall);
  return header;
}

// The end checks of every constructed encoder.
uint32_t ClosePack(uint32_t pos, uint32_t total, int32_t* err) {
  if (*err == kPKIErrNone) {
    if (pos < total) SetError(err, kPKIErrValue);
    else if (pos > total) SetError(err, kPKIErrOutputSmall);
  }
  return pos;
}

// Writes an EXPLICIT wrapper around a value of `inner` bytes, checking the
// room first. Returns its size, 0 with an error.
uint32_t PutWrapper(uint8_t wrapper, uint32_t inner, uint8_t* out, uint32_t room, int32_t* err) {
  if (1 + PKILengthSize(inner) > room) {
    SetError(err, kPKIErrOutputSmall);
    return 0;
  }
  return PKIPutTag(out, wrapper, inner);
}

}  // namespace

// --- SEQUENCE ---

uint32_t SizeSequence(const TypeDesc& t, void* rec, int withTag, int explicitFlag) {
  if (rec == nullptr) return 0;
  uint32_t content = 0;
  for (uint32_t i = 0; i < t.count; ++i) {
    const Field& f = t.fields[i];
    void* c = Component(rec, f);
    if (c == nullptr) continue;
    content = AddSizes(content, Size(*f.type, c, 1, f.wrapper != 0));
  }
  uint32_t size = withTag ? TaggedSize(content) : content;
  if (explicitFlag && size != 0) size = TaggedSize(size);
  return size;
}

uint32_t PackSequence(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                      int32_t* err) {
  if (err == nullptr) return 0;
  uint32_t total = 0;
  uint32_t pos = OpenPack(t, ctx, out, outLen, rec, tag, err, &total);
  if (pos == 0 || *err) return 0;
  for (uint32_t i = 0; i < t.count && *err == kPKIErrNone && pos <= total; ++i) {
    const Field& f = t.fields[i];
    void* c = Component(rec, f);
    if (c == nullptr) continue;
    if (f.wrapper != 0) {
      pos += PutWrapper(f.wrapper, Size(*f.type, c, 1, 0), out + pos, outLen - pos, err);
      if (*err) break;
    }
    pos += Pack(*f.type, ctx, out + pos, outLen - pos, c, f.tag, err);
  }
  return ClosePack(pos, total, err);
}

uint32_t UnpkInPlaceSequence(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                             uint8_t tag, int32_t* err) {
  if (err == nullptr || !EntryChecks(ctx, rec, in, err) || inLen == 0) return 0;
  if (!SameTagIgnoringForm(in[0], tag)) return 0;
  Header h;
  uint32_t end = 0;
  if (!OpenConstructed(in, inLen, &h, &end, err)) return 0;
  // What the record held goes first: a component the new value lacks must
  // not survive from an earlier decode.
  DropSequence(t, ctx, rec);
  uint32_t pos = h.size;
  for (uint32_t i = 0; i < t.count; ++i) {
    const Field& f = t.fields[i];
    if (f.optional) {
      // The remaining components are absent once the value ends.
      if (!h.indefinite && pos == end) return pos;
      if (h.indefinite && AtEndOfContents(in + pos, end - pos)) return pos + 2;
    }
    const uint8_t* at = in + pos;
    uint32_t avail = end - pos;
    void* slot = FieldAddress(rec, f);
    uint32_t n = 0;
    if (f.wrapper != 0) {
      if (avail == 0 || at[0] != f.wrapper) continue;  // absent
      n = UnwrapExplicit(*f.type, f.tag, f.optional, false, slot, ctx, at, avail, err);
    } else if (f.optional) {
      n = Unpack(*f.type, ctx, static_cast<void**>(slot), at, avail, f.tag, err);
    } else {
      n = UnpkInPlace(*f.type, ctx, slot, at, avail, f.tag, err);
    }
    if (*err) return 0;
    pos += n;
  }
  return CloseConstructed(in, h, end, pos, err);
}

void DropSequence(const TypeDesc& t, PKICONTEXT* ctx, void* rec) {
  if (ManagerOf(ctx) == nullptr || rec == nullptr) return;
  for (uint32_t i = 0; i < t.count; ++i) {
    const Field& f = t.fields[i];
    void* slot = FieldAddress(rec, f);
    if (f.optional) {
      void** p = static_cast<void**>(slot);
      FreeRecord(*f.type, ctx, *p);
      *p = nullptr;
    } else {
      Drop(*f.type, ctx, slot);
    }
  }
}

// --- SEQUENCE OF / SET OF ---

uint32_t SizeList(const TypeDesc& t, void* rec, int withTag, int explicitFlag) {
  auto* l = static_cast<PKIListRecord*>(rec);
  if (l == nullptr) return 0;
  uint32_t content = 0;
  for (int32_t i = 0, n = ListCount(l); i < n; ++i)
    content = AddSizes(content, Size(*t.element, l->elements[i], 1, 0));
  uint32_t size = withTag ? TaggedSize(content) : content;
  if (explicitFlag && size != 0) size = TaggedSize(size);
  return size;
}

uint32_t PackList(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                  int32_t* err) {
  if (err == nullptr) return 0;
  uint32_t total = 0;
  uint32_t pos = OpenPack(t, ctx, out, outLen, rec, tag, err, &total);
  if (pos == 0 || *err) return 0;
  auto* l = static_cast<PKIListRecord*>(rec);
  int32_t count = ListCount(l);
  if ((t.flags & kSortedSetOf) && count > 1) {
    uint32_t n = PackSortedElements(t, ctx, out + pos, outLen - pos, l, err);
    if (*err) return 0;
    return ClosePack(pos + n, total, err);
  }
  for (int32_t i = 0; i < count && *err == kPKIErrNone && pos <= total; ++i)
    pos += Pack(*t.element, ctx, out + pos, outLen - pos, l->elements[i], t.tag, err);
  return ClosePack(pos, total, err);
}

namespace {

// How many elements lie ahead in [in, in + avail): a walk over them, so
// that the element array is allocated once. It stops at the end-of-contents
// pair and at a length that runs past the input (the decoding reports
// that); an element it cannot take whole (a multi-byte tag, nesting too
// deep) is kPKIErrForm.
int32_t CountElementsAhead(const uint8_t* in, uint32_t avail, uint32_t* count) {
  uint32_t pos = 0, size = 0;
  *count = 0;
  while (pos < avail && !AtEndOfContents(in + pos, avail - pos)) {
    int32_t e = ElementSize(in + pos, avail - pos, &size);
    if (e == kPKIErrForm) return e;
    if (e != kPKIErrNone) break;
    pos += size;
    ++*count;
  }
  return kPKIErrNone;
}

}  // namespace

void DropList(const TypeDesc& t, PKICONTEXT* ctx, void* rec) {
  auto* l = static_cast<PKIListRecord*>(rec);
  if (ManagerOf(ctx) == nullptr || l == nullptr) return;
  for (int32_t i = 0, n = ListCount(l); i < n; ++i) FreeRecord(*t.element, ctx, l->elements[i]);
  Deallocate(ctx, l->elements);
  l->elements = nullptr;
  l->count = 0;
}

uint32_t UnpkInPlaceList(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                         uint8_t tag, int32_t* err) {
  if (err == nullptr || !EntryChecks(ctx, rec, in, err) || inLen == 0) return 0;
  if (!SameTagIgnoringForm(in[0], tag)) return 0;
  Header h;
  uint32_t end = 0;
  if (!OpenConstructed(in, inLen, &h, &end, err)) return 0;
  auto* l = static_cast<PKIListRecord*>(rec);
  DropList(t, ctx, l);
  uint32_t pos = h.size;
  uint32_t slots = 0;
  if (int32_t e = CountElementsAhead(in + pos, end - pos, &slots)) {
    SetError(err, e);
    return 0;
  }
  if (slots != 0) {
    l->elements = static_cast<void**>(Allocate(ctx, size_t{slots} * sizeof(void*)));
    if (l->elements == nullptr) {
      SetError(err, kPKIErrMemory);
      return 0;
    }
  }
  while (pos < end) {
    if (h.indefinite && AtEndOfContents(in + pos, end - pos)) break;
    if (static_cast<uint32_t>(l->count) >= slots) {
      // More elements than the walk counted: one more slot at a time.
      void* grown = l->elements;
      if (l->count == INT32_MAX || !Reallocate(ctx, &grown, (size_t{slots} + 1) * sizeof(void*))) {
        SetError(err, kPKIErrMemory);
        return 0;
      }
      l->elements = static_cast<void**>(grown);
      ++slots;
    }
    void* element = NewRecord(*t.element, ctx);
    if (element == nullptr) {
      SetError(err, kPKIErrMemory);
      return 0;
    }
    l->elements[l->count++] = element;
    uint32_t n = UnpkInPlace(*t.element, ctx, element, in + pos, end - pos, t.tag, err);
    if (*err) return 0;
    if (n == 0) {
      // An element that is not there: the list ends at it, and the end
      // checks below report what stands in its place.
      FreeRecord(*t.element, ctx, element);
      l->elements[--l->count] = nullptr;
      break;
    }
    pos += n;
  }
  return CloseConstructed(in, h, end, pos, err);
}

// --- CHOICE ---

uint32_t SizeChoice(const TypeDesc& t, void* rec, int withTag, int explicitFlag) {
  auto* c = static_cast<PKIChoiceRecord*>(rec);
  if (c == nullptr) return 0;
  const Alternative* a = AlternativeFor(t, c->tag);
  if (a == nullptr) return 0;
  uint32_t size = a->wrapper != 0 ? (withTag ? Size(*a->type, c->value, 1, 1) : Size(*a->type, c->value, 1, 0))
                                  : Size(*a->type, c->value, withTag, 0);
  if (explicitFlag && size != 0) size = TaggedSize(size);
  return size;
}

uint32_t PackChoice(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t,
                    int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  if (ManagerOf(ctx) == nullptr) {
    SetError(err, kPKIErrContext);
    return 0;
  }
  auto* c = static_cast<PKIChoiceRecord*>(rec);
  if (c == nullptr) return 0;
  if (out == nullptr) {
    SetError(err, kPKIErrNoOutput);
    return 0;
  }
  uint32_t total = SizeChoice(t, c, 1, 0);
  if (total > outLen) {
    SetError(err, kPKIErrRoom);
    return 0;
  }
  const Alternative* a = AlternativeFor(t, c->tag);
  if (a == nullptr) {
    SetError(err, kPKIErrChoice);
    return 0;
  }
  uint32_t pos = 0;
  if (a->wrapper != 0) {
    pos = PutWrapper(a->wrapper, Size(*a->type, c->value, 1, 0), out, outLen, err);
    if (*err) return pos;
  }
  pos += Pack(*a->type, ctx, out + pos, outLen - pos, c->value, a->tag, err);
  return ClosePack(pos, total, err);
}

void DropChoice(const TypeDesc& t, PKICONTEXT* ctx, void* rec) {
  auto* c = static_cast<PKIChoiceRecord*>(rec);
  if (ManagerOf(ctx) == nullptr || c == nullptr) return;
  const Alternative* a = AlternativeFor(t, c->tag);
  if (a == nullptr) return;
  FreeRecord(*a->type, ctx, c->value);
  c->value = nullptr;
}

uint32_t UnpkInPlaceChoice(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                           uint8_t, int32_t* err) {
  if (err == nullptr || !EntryChecks(ctx, rec, in, err) || inLen == 0) return 0;
  const Alternative* a = AlternativeAccepting(t, in[0]);
  if (a == nullptr) {
    SetError(err, kPKIErrChoice);
    return 0;
  }
  auto* c = static_cast<PKIChoiceRecord*>(rec);
  DropChoice(t, ctx, c);
  c->tag = in[0];
  if (a->wrapper != 0) {
    // The alternative inside an EXPLICIT wrapper is decoded by its
    // allocating decoder: a wrapper holding no such value decodes to
    // nothing (0 bytes), which ends a list there.
    return UnwrapExplicit(*a->type, a->tag, true, true, &c->value, ctx, in, inLen, err);
  }
  c->value = NewRecord(*a->type, ctx);
  if (c->value == nullptr) {
    SetError(err, kPKIErrMemory);
    return 0;
  }
  return UnpkInPlace(*a->type, ctx, c->value, in, inLen, a->tag, err);
}

uint32_t UnpackAllocating(const TypeDesc& t, PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen,
                          uint8_t tag, int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  if (out != nullptr) *out = nullptr;
  if (ManagerOf(ctx) == nullptr) {
    SetError(err, kPKIErrContext);
    return 0;
  }
  if (out == nullptr) {
    SetError(err, kPKIErrNoPlace);
    return 0;
  }
  if (in == nullptr) {
    SetError(err, kPKIErrNoInput);
    return 0;
  }
  if (inLen == 0) return 0;
  if (t.kind != Kind::kChoice && !(t.flags & kTakesAnyTag)) {
    bool match = (t.flags & kExactTagToAllocate) ? in[0] == tag : SameTagIgnoringForm(in[0], tag);
    if (!match) return 0;
  }
  void* rec = NewRecord(t, ctx);
  if (rec == nullptr) {
    SetError(err, kPKIErrNoPlace);
    return 0;
  }
  uint32_t n = UnpkInPlace(t, ctx, rec, in, inLen, tag, err);
  if (*err != kPKIErrNone || n == 0) {
    FreeRecord(t, ctx, rec);
    if (t.kind == Kind::kChoice && *err == kPKIErrChoice) *err = kPKIErrNone;
    return 0;
  }
  *out = rec;
  return n;
}

constinit const TypeOps kSequenceOps = {PackSequence, UnpkInPlaceSequence, UnpackAllocating, SizeSequence,
                                        DropSequence};
constinit const TypeOps kListOps = {PackList, UnpkInPlaceList, UnpackAllocating, SizeList, DropList};
constinit const TypeOps kChoiceOps = {PackChoice, UnpkInPlaceChoice, UnpackAllocating, SizeChoice, DropChoice};

}  // namespace ostrak::asn

// The value operations: putting numbers, bytes, strings, bits and flags into
// value records, reading them back, and appending to lists.
#include <cstring>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"

namespace {

using ostrak::asn::Allocate;
using ostrak::asn::Deallocate;
using ostrak::asn::ManagerOf;

// Replaces bytes and length with a copy of n bytes (nothing kept for n 0);
// the old bytes go only once the copy is made.
int32_t Replace(PKICONTEXT* ctx, uint8_t** bytes, uint32_t* length, const uint8_t* from, uint32_t n) {
  uint8_t* copy = nullptr;
  if (n != 0) {
    if (from == nullptr) return kPKIErrValue;
    copy = static_cast<uint8_t*>(Allocate(ctx, n));
    if (copy == nullptr) return kPKIErrValue;
    std::memcpy(copy, from, n);
  }
  Deallocate(ctx, *bytes);
  *bytes = copy;
  *length = n;
  return kPKIErrNone;
}

}  // namespace

int32_t PKIPutIntVal(PKICONTEXT* ctx, PKIINTEGER* rec, int32_t value) {
  if (ManagerOf(ctx) == nullptr) return kPKIErrContext;
  if (rec == nullptr) return kPKIErrValue;
  uint32_t u = static_cast<uint32_t>(value);
  const uint8_t be[4] = {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16),
                         static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
  if (int32_t e = Replace(ctx, &rec->bytes, &rec->length, be, sizeof be)) return e;
  PKISizeofINTEGERInternal(rec, 0, 0);  // trims to the minimal form
  return kPKIErrNone;
}

uint32_t PKIGetIntVal(PKICONTEXT* ctx, PKIINTEGER* rec, int32_t* err) {
  if (err == nullptr) return 0;
  *err = kPKIErrNone;
  if (ManagerOf(ctx) == nullptr) {
    ostrak::asn::SetError(err, kPKIErrContext);
    return 0;
  }
  if (rec == nullptr || rec->bytes == nullptr || rec->length > 4) {
    ostrak::asn::SetError(err, kPKIErrValue);
    return 0;
  }
  uint32_t v = 0;
  for (uint32_t i = 0; i < rec->length; ++i) v = (v << 8) | rec->bytes[i];
  return v;
}

int32_t PKIPutUIntBytes(PKICONTEXT* ctx, PKIINTEGER* rec, const uint8_t* bytes, uint32_t count) {
  if (ManagerOf(ctx) == nullptr) return kPKIErrContext;
  if (rec == nullptr || (bytes == nullptr && count != 0)) return kPKIErrValue;
  bool pad = count != 0 && (bytes[0] & 0x80) != 0;
  if (!pad) return Replace(ctx, &rec->bytes, &rec->length, bytes, count);
  if (count == UINT32_MAX) return kPKIErrValue;
  auto* copy = static_cast<uint8_t*>(Allocate(ctx, size_t{count} + 1));
  if (copy == nullptr) return kPKIErrValue;
  copy[0] = 0;
  std::memcpy(copy + 1, bytes, count);
  Deallocate(ctx, rec->bytes);
  rec->bytes = copy;
  rec->length = count + 1;
  return kPKIErrNone;
}

int32_t PKIPutOctVal(PKICONTEXT* ctx, PKIVariableBlock* rec, const uint8_t* bytes, uint32_t count) {
  if (ManagerOf(ctx) == nullptr) return kPKIErrContext;
  if (rec == nullptr) return kPKIErrValue;
  return Replace(ctx, &rec->bytes, &rec->length, bytes, count);
}

int32_t PKIPutStrVal(PKICONTEXT* ctx, PKIVariableBlock* rec, const char* text) {
  if (ManagerOf(ctx) == nullptr) return kPKIErrContext;
  if (rec == nullptr || text == nullptr) return kPKIErrValue;
  size_t n = std::strlen(text);
  if (n > UINT32_MAX) return kPKIErrValue;
  return Replace(ctx, &rec->bytes, &rec->length, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(n));
}

char* PKIGetStrVal(PKICONTEXT* ctx, PKIVariableBlock* rec) {
  if (ManagerOf(ctx) == nullptr || rec == nullptr || rec->bytes == nullptr || rec->length == 0) return nullptr;
  auto* text = static_cast<char*>(Allocate(ctx, size_t{rec->length} + 1));
  if (text == nullptr) return nullptr;
  std::memcpy(text, rec->bytes, rec->length);
  text[rec->length] = '\0';
  return text;
}

int32_t PKIPutBitString(PKICONTEXT* ctx, PKIBIT_STRING* rec, const uint8_t* bytes, uint32_t count,
                        uint32_t unusedBits) {
  if (ManagerOf(ctx) == nullptr) return kPKIErrContext;
  if (rec == nullptr) return kPKIErrValue;
  if (int32_t e = Replace(ctx, &rec->bytes, &rec->length, bytes, count)) return e;
  rec->unusedBits = unusedBits;
  return kPKIErrNone;
}

int32_t PKIPutBoolVal(PKICONTEXT*, PKIBOOLEAN* rec, int flag) {
  if (rec == nullptr) return kPKIErrValue;
  rec->value = flag != 0 ? 1 : 0;
  rec->length = 1;
  return kPKIErrNone;
}

int32_t PKIGetBoolVal(PKICONTEXT*, PKIBOOLEAN* rec) {
  if (rec == nullptr) return kPKIErrValue;
  return rec->value > 0 ? 1 : 0;
}

int32_t PKIAddOfElement(PKICONTEXT* ctx, void* element, void* list) {
  if (ManagerOf(ctx) == nullptr) return kPKIErrContext;
  auto* l = static_cast<PKIListRecord*>(list);
  if (l == nullptr || l->count < 0 || l->count == INT32_MAX) return kPKIErrValue;
  void* array = l->elements;
  size_t slots = static_cast<size_t>(l->count) + 1;
  if (l->count == 0 || array == nullptr) {
    // The first element (or a list without an array) gets a fresh array.
    if (l->count != 0) return kPKIErrValue;
    array = Allocate(ctx, sizeof(void*));
    if (array == nullptr) return kPKIErrValue;
    Deallocate(ctx, l->elements);
  } else if (!ostrak::asn::Reallocate(ctx, &array, slots * sizeof(void*))) {
    return kPKIErrValue;
  }
  l->elements = static_cast<void**>(array);
  l->elements[l->count++] = element;
  return kPKIErrNone;
}

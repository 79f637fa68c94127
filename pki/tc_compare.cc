// Comparisons and the certificate field accessors (pki/tc_compare.h).
#include "pki/tc_compare.h"

#include "foundation/string_utils.h"
#include "pki/tc_dname.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace {

using namespace ostrak::tc;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A decoded PrintableString as a normalised text: leading white space
// dropped, trailing white space trimmed (TrimWS), inner runs of white
// space shortened to their first character. Null when it does not decode
// or memory runs out.
char* NormalisedPrintable(PKIANY* der, TC_CONTEXT* ctx) {
  if (der == nullptr || der->bytes == nullptr) return nullptr;
  PKIPrintableString* value = nullptr;
  int32_t err = 0;
  PKIUnpackPrintableString(Codec(ctx), &value, der->bytes, der->length, &err);
  if (err != 0 || value == nullptr) {
    PKIFreePrintableString(Codec(ctx), value);
    return nullptr;
  }
  char* text = CopyText(ctx, value->bytes, value->length);
  PKIFreePrintableString(Codec(ctx), value);
  if (text == nullptr) return nullptr;
  size_t from = 0;
  while (IsSpace(text[from])) ++from;
  std::memmove(text, text + from, std::strlen(text + from) + 1);
  TrimWS(text);
  size_t w = 0;
  char previous = '\0';
  for (size_t r = 0; text[r] != '\0'; ++r) {
    char c = text[r];
    bool inRun = IsSpace(c) && IsSpace(previous);
    previous = c;
    if (!inRun) text[w++] = c;
  }
  text[w] = '\0';
  return text;
}

bool SameAVA(PKIAttributeTypeAndValue* a, PKIAttributeTypeAndValue* b, TC_CONTEXT* ctx) {
  if (a == nullptr || b == nullptr) return false;
  if (!SameBytes(a->type.bytes, a->type.length, b->type.bytes, b->type.length)) return false;
  bool printableA = a->value.length > 0 && a->value.bytes[0] == kPKITagPrintableString;
  bool printableB = b->value.length > 0 && b->value.bytes[0] == kPKITagPrintableString;
  if (printableA && printableB) return ComparePrintableString(&a->value, &b->value, ctx) == 1;
  return SameBytes(a->value.bytes, a->value.length, b->value.bytes, b->value.length);
}

int32_t SameSequence(PKIRDNSequence* a, PKIRDNSequence* b, TC_CONTEXT* ctx) {
  int32_t na = a != nullptr ? a->count : 0;
  int32_t nb = b != nullptr ? b->count : 0;
  if (na != nb) return 0;
  for (int32_t i = 0; i < na; ++i)
    if (compareDnameSet(a->elements[i], b->elements[i], ctx) != 1) return 0;
  return 1;
}

PKIRDNSequence* SequenceOf(PKIName* name) { return static_cast<PKIRDNSequence*>(name->value); }

int32_t CopyOut(const uint8_t* bytes, uint32_t length, uint8_t** out, uint32_t* outLength, TC_CONTEXT* ctx) {
  uint8_t* copy = CopyBytes(ctx, bytes, length);
  if (copy == nullptr) return kTCErrNoMemory;
  *out = copy;
  *outLength = length;
  return kTCErrNone;
}

}  // namespace

int32_t ComparePrintableString(PKIANY* a, PKIANY* b, TC_CONTEXT* ctx) {
  if (ctx == nullptr) return 0;
  char* ta = NormalisedPrintable(a, ctx);
  char* tb = NormalisedPrintable(b, ctx);
  int32_t equal = ta != nullptr && tb != nullptr && qoxCompareStringsIgnoreCase(ta, tb) == 0 ? 1 : 0;
  Release(ctx, ta);
  Release(ctx, tb);
  return equal;
}

int32_t compareDnameSet(PKIRelativeDistinguishedName* a, PKIRelativeDistinguishedName* b, TC_CONTEXT* ctx) {
  int32_t na = a != nullptr ? a->count : 0;
  int32_t nb = b != nullptr ? b->count : 0;
  if (na != nb) return 0;
  for (int32_t i = 0; i < na; ++i) {
    bool found = false;
    for (int32_t j = 0; j < nb && !found; ++j) found = SameAVA(a->elements[i], b->elements[j], ctx);
    if (!found) return 0;
  }
  return 1;
}

int32_t tc_compare_dname(PKIName* a, PKIName* b, TC_CONTEXT* ctx) {
  if (a == nullptr || b == nullptr) return kTCErrInvalidArgs;
  return SameSequence(SequenceOf(a), SequenceOf(b), ctx);
}

int32_t tc_compare_GeneralName(PKIGeneralName* a, PKIGeneralName* b, TC_CONTEXT* ctx) {
  if (a == nullptr || b == nullptr) return kTCErrInvalidArgs;
  if (a->tag != b->tag) return 0;
  const int form = a->tag & 0x1F;
  if (form > 8 || form == 3 || form == 5) return kTCErrGeneralNameCompare;
  if (a->value == nullptr || b->value == nullptr) return kTCErrInvalidArgs;
  switch (form) {
    case 0: {
      auto* x = static_cast<PKIAnotherName*>(a->value);
      auto* y = static_cast<PKIAnotherName*>(b->value);
      return SameBytes(x->type_id.bytes, x->type_id.length, y->type_id.bytes, y->type_id.length) &&
                     SameBytes(x->value.bytes, x->value.length, y->value.bytes, y->value.length)
                 ? 1
                 : 0;
    }
    case 4:
      return SameSequence(SequenceOf(static_cast<PKIName*>(a->value)), SequenceOf(static_cast<PKIName*>(b->value)),
                          ctx);
    default: {
      auto* x = static_cast<PKIVariableBlock*>(a->value);
      auto* y = static_cast<PKIVariableBlock*>(b->value);
      return SameBytes(x->bytes, x->length, y->bytes, y->length) ? 1 : 0;
    }
  }
}

int32_t tc_is_self_signed(TC_CERT* cert, TC_CONTEXT* ctx) {
  if (cert == nullptr || cert->tbs == nullptr) return kTCErrInvalidArgs;
  return SameSequence(SequenceOf(&cert->tbs->subject), SequenceOf(&cert->tbs->issuer), ctx);
}

int32_t tc_compare_time(PKITime* a, PKITime* b) {
  int64_t x = Comparable(tc_get_choiceoftime(a));
  int64_t y = Comparable(tc_get_choiceoftime(b));
  return x > y ? 1 : x < y ? -1 : 0;
}

int32_t tc_compare_block(PKIVariableBlock* a, PKIVariableBlock* b) {
  if (a == nullptr || b == nullptr) return kTCErrInvalidArgs;
  return SameBytes(a->bytes, a->length, b->bytes, b->length) ? 1 : 0;
}

int32_t tc_compare_serial(PKIVariableBlock* a, PKIVariableBlock* b) { return tc_compare_block(a, b); }

int32_t tc_get_sigalgorithm(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (cert == nullptr || cert->cert == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const PKIOBJECT_ID& oid = cert->cert->signatureAlgorithm.algorithm;
  return CopyOut(oid.bytes, oid.length, out, outLength, ctx);
}

int32_t tc_get_serial(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (cert == nullptr || cert->tbs == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  return CopyOut(cert->tbs->serialNumber.bytes, cert->tbs->serialNumber.length, out, outLength, ctx);
}

int32_t tc_get_key(uint8_t** out, uint32_t* outLength, uint32_t* unusedBits, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr || unusedBits == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  *unusedBits = 0;
  if (cert == nullptr || cert->tbs == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const PKIBIT_STRING& key = cert->tbs->subjectPublicKeyInfo.subjectPublicKey;
  if (int32_t e = CopyOut(key.bytes, key.length, out, outLength, ctx)) return e;
  *unusedBits = key.unusedBits;
  return kTCErrNone;
}

int32_t tc_get_signature(uint8_t** out, uint32_t* outLength, uint32_t* secondLength, TC_CERT* cert,
                         TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr || secondLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  *secondLength = 0;
  if (cert == nullptr || cert->cert == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const PKIBIT_STRING& sig = cert->cert->signature;
  if (int32_t e = CopyOut(sig.bytes, sig.length, out, outLength, ctx)) return e;
  *secondLength = sig.length;
  return kTCErrNone;
}

int32_t tc_get_params(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (cert == nullptr || cert->tbs == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const PKIANY* params = cert->tbs->subjectPublicKeyInfo.algorithm.parameters;
  if (params == nullptr || params->bytes == nullptr || params->length == 0) return kTCErrNone;
  return CopyOut(params->bytes, params->length, out, outLength, ctx);
}

int32_t tc_get_version(int32_t* out, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = 0;
  if (cert == nullptr || cert->tbs == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  int32_t v;
  if (cert->tbs->version != nullptr && IntegerToInt32(cert->tbs->version, &v) && v >= 0 && v <= 2) *out = v;
  return kTCErrNone;
}

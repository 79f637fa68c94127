// The keyword list, building and copying names, and the AVA accessors
// (pki/tc_dname.h).
#include "pki/tc_dname.h"

#include "pki/tc_dname_internal.h"
#include "pki/tc_internal.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;

// The keyword table that seeds every context's keyword list.
struct KeywordRow {
  const char* keyword;
  uint8_t oid[12];
  uint32_t oidLength;
  int32_t defaultTag;
};
constexpr int32_t kNumeric = kPKITagNumericString;
constexpr int32_t kPrintable = kPKITagPrintableString;
constexpr int32_t kIA5 = kPKITagIA5String;
constexpr KeywordRow Types[] = {
    {"CN", {0x55, 0x04, 0x03}, 3, kPrintable},
    {"SN", {0x55, 0x04, 0x04}, 3, kPrintable},
    {"SerialNumber", {0x55, 0x04, 0x05}, 3, kPrintable},
    {"C", {0x55, 0x04, 0x06}, 3, kPrintable},
    {"L", {0x55, 0x04, 0x07}, 3, kPrintable},
    {"ST", {0x55, 0x04, 0x08}, 3, kPrintable},
    {"STREET", {0x55, 0x04, 0x09}, 3, kPrintable},
    {"O", {0x55, 0x04, 0x0A}, 3, kPrintable},
    {"OU", {0x55, 0x04, 0x0B}, 3, kPrintable},
    {"title", {0x55, 0x04, 0x0C}, 3, kPrintable},
    {"description", {0x55, 0x04, 0x0D}, 3, kPrintable},
    {"businessCategory", {0x55, 0x04, 0x0F}, 3, kPrintable},
    {"postalCode", {0x55, 0x04, 0x11}, 3, kPrintable},
    {"POBOX", {0x55, 0x04, 0x12}, 3, kPrintable},
    {"physicalDeliveryOfficeName", {0x55, 0x04, 0x13}, 3, kPrintable},
    {"TN", {0x55, 0x04, 0x14}, 3, kPrintable},
    {"x121Address", {0x55, 0x04, 0x18}, 3, kNumeric},
    {"ISDN", {0x55, 0x04, 0x19}, 3, kNumeric},
    {"destinationIndicator", {0x55, 0x04, 0x1B}, 3, kPrintable},
    {"name", {0x55, 0x04, 0x29}, 3, kPrintable},
    {"givenName", {0x55, 0x04, 0x2A}, 3, kPrintable},
    {"initials", {0x55, 0x04, 0x2B}, 3, kPrintable},
    {"generationQualifier", {0x55, 0x04, 0x2C}, 3, kPrintable},
    {"dnQualifier", {0x55, 0x04, 0x2E}, 3, kPrintable},
    {"houseIdentifier", {0x55, 0x04, 0x33}, 3, kPrintable},
    {"dmdName", {0x55, 0x04, 0x36}, 3, kPrintable},
    {"DC", {0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}, 10, kIA5},
    {"emailAddress", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, 9, kIA5},
    {"unstructuredName", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x02}, 9, kIA5},
    {"unstructuredAddress", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x08}, 9, kPrintable},
    {nullptr, {}, 0, 0},
};
static_assert(sizeof Types / sizeof Types[0] == 31, "30 rows and the end row");

bool TagAccepted(int32_t tag) { return (tag >= 1 && tag <= 6) || (tag >= 16 && tag <= 27) || tag == 252; }

// A new keyword entry at the head of the list. -3.
int32_t PushKeyword(TC_CONTEXT* ctx, const char* keyword, const uint8_t* oid, uint32_t oidLength,
                    int32_t defaultTag) {
  auto* entry = NewZeroed<TC_AVATYPE>(ctx);
  if (entry == nullptr) return kTCErrNoMemory;
  entry->keyword = CopyText(ctx, keyword);
  entry->oid = CopyBytes(ctx, oid, oidLength);
  if (entry->keyword == nullptr || entry->oid == nullptr) {
    Release(ctx, entry->keyword);
    Release(ctx, entry->oid);
    Release(ctx, entry);
    return kTCErrNoMemory;
  }
  entry->oidLength = oidLength;
  entry->defaultTag = defaultTag;
  entry->next = ctx->avaList;
  ctx->avaList = entry;
  return kTCErrNone;
}

PKIRDNSequence* SequenceOf(PKIName* name) { return static_cast<PKIRDNSequence*>(name->value); }

// A new RDN holding one new AVA with copies of type and value. -3.
int32_t NewSingleRDN(PKIRelativeDistinguishedName** out, const uint8_t* oid, uint32_t oidLength,
                     const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx) {
  Owned<PKIRelativeDistinguishedName> rdn(cert_asn::kRelativeDistinguishedName, ctx);
  Owned<PKIAttributeTypeAndValue> ava(cert_asn::kAttributeTypeAndValue, ctx);
  if (!rdn.make() || !ava.make()) return kTCErrNoMemory;
  if (int32_t e = tc_set_avader(ava.get(), oid, oidLength, der, derLength, ctx)) return e;
  if (PKIAddOfElement(Codec(ctx), ava.get(), rdn.get()) != kPKIErrNone) return kTCErrNoMemory;
  ava.release();
  *out = rdn.release();
  return kTCErrNone;
}

}  // namespace

namespace ostrak::tc {

int32_t InitAVAList(TC_CONTEXT* ctx) {
  for (const KeywordRow* row = Types; row->keyword != nullptr; ++row)
    if (int32_t e = PushKeyword(ctx, row->keyword, row->oid, row->oidLength, row->defaultTag)) return e;
  return kTCErrNone;
}

void FreeAVAList(TC_CONTEXT* ctx) {
  for (TC_AVATYPE* entry = ctx->avaList; entry != nullptr;) {
    TC_AVATYPE* next = entry->next;
    Release(ctx, entry->keyword);
    Release(ctx, entry->oid);
    Release(ctx, entry);
    entry = next;
  }
  ctx->avaList = nullptr;
}

const TC_AVATYPE* KeywordOfOid(const TC_CONTEXT* ctx, const uint8_t* oid, uint32_t oidLength) {
  for (const TC_AVATYPE* e = ctx->avaList; e != nullptr; e = e->next)
    if (SameBytes(e->oid, e->oidLength, oid, oidLength)) return e;
  return nullptr;
}

int32_t EnsureSequence(PKIName* name, TC_CONTEXT* ctx) {
  if (name->value != nullptr) return kTCErrNone;
  name->value = PKINewRDNSequence(Codec(ctx));
  if (name->value == nullptr) return kTCErrNoMemory;
  name->tag = kPKITagSequence;
  return kTCErrNone;
}

}  // namespace ostrak::tc

int32_t tc_add_avatype(const uint8_t* oid, uint32_t oidLength, const char* keyword, int32_t defaultTag,
                       TC_CONTEXT* ctx) {
  if (ctx == nullptr || oid == nullptr || keyword == nullptr || oidLength == 0) return kTCErrInvalidArgs;
  if (!TagAccepted(defaultTag)) return kTCErrInvalidArgs;
  return PushKeyword(ctx, keyword, oid, oidLength, defaultTag);
}

int32_t tc_change_ava_entry(const uint8_t* oid, uint32_t oidLength, int32_t defaultTag, TC_CONTEXT* ctx) {
  if (ctx == nullptr || oid == nullptr) return kTCErrInvalidArgs;
  if (!TagAccepted(defaultTag)) return kTCErrInvalidArgs;
  auto* entry = const_cast<TC_AVATYPE*>(KeywordOfOid(ctx, oid, oidLength));
  if (entry == nullptr) return kTCErrInvalidArgs;
  entry->defaultTag = defaultTag;
  return kTCErrNone;
}

int32_t tc_create_dname(PKIName** out, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (ctx == nullptr) return kTCErrInvalidArgs;
  Owned<PKIName> name(cert_asn::kName, ctx);
  if (!name.make() || EnsureSequence(name.get(), ctx) != kTCErrNone) return kTCErrNoMemory;
  *out = name.release();
  return kTCErrNone;
}

int32_t tc_free_dname(PKIName* name, TC_CONTEXT* ctx) {
  if (name == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  PKIFreeName(Codec(ctx), name);
  return kTCErrNone;
}

int32_t tc_addAVAto_dname(PKIName* name, const uint8_t* oid, uint32_t oidLength, const uint8_t* der,
                          uint32_t derLength, TC_CONTEXT* ctx) {
  if (name == nullptr || oid == nullptr || der == nullptr || ctx == nullptr || oidLength == 0 || derLength == 0)
    return kTCErrInvalidArgs;
  if (int32_t e = EnsureSequence(name, ctx)) return e;
  PKIRelativeDistinguishedName* rdn = nullptr;
  if (int32_t e = NewSingleRDN(&rdn, oid, oidLength, der, derLength, ctx)) return e;
  if (PKIAddOfElement(Codec(ctx), rdn, SequenceOf(name)) != kPKIErrNone) {
    PKIFreeRelativeDistinguishedName(Codec(ctx), rdn);
    return kTCErrNoMemory;
  }
  return kTCErrNone;
}

int32_t CopyName(PKIName** out, PKIName* source, TC_CONTEXT* ctx) {
  if (out == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (source == nullptr) return kTCErrNone;
  Owned<PKIName> copy(cert_asn::kName, ctx);
  if (!copy.make() || EnsureSequence(copy.get(), ctx) != kTCErrNone) return kTCErrNoMemory;
  if (const PKIRDNSequence* from = SequenceOf(source)) {
    for (int32_t i = 0; i < from->count; ++i) {
      const PKIRelativeDistinguishedName* rdn = from->elements[i];
      Owned<PKIRelativeDistinguishedName> rdnCopy(cert_asn::kRelativeDistinguishedName, ctx);
      if (!rdnCopy.make()) return kTCErrNoMemory;
      for (int32_t j = 0; rdn != nullptr && j < rdn->count; ++j) {
        const PKIAttributeTypeAndValue* ava = rdn->elements[j];
        Owned<PKIAttributeTypeAndValue> avaCopy(cert_asn::kAttributeTypeAndValue, ctx);
        if (!avaCopy.make()) return kTCErrNoMemory;
        if (ava != nullptr &&
            (!SetBlock(ctx, &avaCopy->type, ava->type.bytes, ava->type.length) ||
             !SetBlock(ctx, &avaCopy->value, ava->value.bytes, ava->value.length)))
          return kTCErrNoMemory;
        if (PKIAddOfElement(Codec(ctx), avaCopy.get(), rdnCopy.get()) != kPKIErrNone) return kTCErrNoMemory;
        avaCopy.release();
      }
      if (PKIAddOfElement(Codec(ctx), rdnCopy.get(), SequenceOf(copy.get())) != kPKIErrNone)
        return kTCErrNoMemory;
      rdnCopy.release();
    }
  }
  *out = copy.release();
  return kTCErrNone;
}

int32_t tc_get_dname(PKIName** out, void* object, int which, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (object == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  PKIName* name = nullptr;
  switch (which) {
    case kTCNameCertSubject:
    case kTCNameCertIssuer: {
      PKITBSCertificate* tbs = static_cast<TC_CERT*>(object)->tbs;
      if (tbs == nullptr) return kTCErrInvalidArgs;
      name = which == kTCNameCertSubject ? &tbs->subject : &tbs->issuer;
      break;
    }
    case kTCNameCRLIssuer:
      name = &static_cast<PKICertificateList*>(object)->tbsCertList.issuer;
      break;
    case kTCNameRequestSubject:
      name = &static_cast<PKICertificationRequest*>(object)->certificationRequestInfo.subject;
      break;
    default:
      return kTCErrInvalidArgs;
  }
  return CopyName(out, name, ctx);
}

char* TrimWS(char* text) {
  if (text == nullptr) return nullptr;
  size_t n = std::strlen(text);
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (n > 0 && space(text[n - 1]) && !(n >= 2 && text[n - 2] == '\\')) text[--n] = '\0';
  return n > 0 ? text + n - 1 : text;
}

int32_t tc_get_ava(uint8_t* tag, const uint8_t** content, uint32_t* contentLength, PKIANY* value) {
  if (tag == nullptr || content == nullptr || contentLength == nullptr || value == nullptr ||
      value->bytes == nullptr)
    return kTCErrInvalidArgs;
  ostrak::asn::Header h;
  if (ostrak::asn::ReadHeader(value->bytes, value->length, &h) != kPKIErrNone ||
      !ostrak::asn::ContentFits(h, value->length))
    return kTCErrInvalidArgs;
  *tag = h.tag;
  *content = value->bytes + h.size;
  *contentLength = h.length;
  return kTCErrNone;
}

int32_t tc_set_avader(PKIAttributeTypeAndValue* ava, const uint8_t* oid, uint32_t oidLength, const uint8_t* der,
                      uint32_t derLength, TC_CONTEXT* ctx) {
  if (ava == nullptr || ctx == nullptr || (oid == nullptr && oidLength != 0) || (der == nullptr && derLength != 0))
    return kTCErrInvalidArgs;
  if (!SetBlock(ctx, &ava->type, oid, oidLength)) return kTCErrNoMemory;
  if (!SetBlock(ctx, &ava->value, der, derLength)) {
    PKIDropInPlaceOBJECT_ID(Codec(ctx), &ava->type);
    ava->type.length = 0;
    return kTCErrNoMemory;
  }
  return kTCErrNone;
}

int32_t tc_set_ava(PKIAttributeTypeAndValue* ava, const uint8_t* oid, uint32_t oidLength, uint8_t tag,
                   const uint8_t* content, uint32_t contentLength, TC_CONTEXT* ctx) {
  if (ava == nullptr || ctx == nullptr || (oid == nullptr && oidLength != 0) ||
      (content == nullptr && contentLength != 0) || contentLength > UINT32_MAX - 6)
    return kTCErrInvalidArgs;
  if (!SetBlock(ctx, &ava->type, oid, oidLength)) return kTCErrNoMemory;
  uint32_t size = PKITagged(contentLength, 1);
  auto* der = static_cast<uint8_t*>(Alloc(ctx, size));
  if (der == nullptr) {
    PKIDropInPlaceOBJECT_ID(Codec(ctx), &ava->type);
    ava->type.length = 0;
    return kTCErrNoMemory;
  }
  uint32_t header = PKIPutTag(der, tag, contentLength);
  if (contentLength != 0) std::memcpy(der + header, content, contentLength);
  Release(ctx, ava->value.bytes);
  ava->value.bytes = der;
  ava->value.length = size;
  return kTCErrNone;
}

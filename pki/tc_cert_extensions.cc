// The certificate rows of the supported-extension table: each add
// function encodes a toolkit value record as the extension's DER and
// appends it, each get function decodes an extension back into a new
// record (pki/tc_extensions.h).
#include "pki/tc_extensions.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;
using ostrak::asn::TypeDesc;

constexpr uint8_t kSeq = kPKITagSequence;

// The criticality a row writes: -1 takes the row's default.
int Criticality(int given, bool defaultCritical) { return given == -1 ? (defaultCritical ? 1 : 0) : given; }

// Encodes the record and appends the extension.
int32_t EncodeAndAdd(PKIExtensions* list, const uint8_t* oid, uint32_t oidLength, int critical, const TypeDesc& t,
                     uint8_t tag, void* rec, TC_CONTEXT* ctx) {
  Der der(ctx);
  if (int32_t e = Encode(ctx, t, tag, rec, &der)) return e;
  return tc_add_extension(list, oid, oidLength, critical, der.bytes, der.length, ctx);
}

// Decodes an extension's value; the codec's error, unmapped.
template <class R>
int32_t DecodeValue(PKIExtension* ext, const TypeDesc& t, uint8_t tag, TC_CONTEXT* ctx, Owned<R>* out) {
  void* rec = nullptr;
  int32_t e = Decode(ctx, t, tag, ext->extnValue.bytes, ext->extnValue.length, &rec);
  out->reset(static_cast<R*>(rec));
  return e;
}

bool ArgsOk(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (out == nullptr) return false;
  *out = nullptr;
  return ext != nullptr && ctx != nullptr;
}

// An array of n zeroed records (room for one when n is 0), or null.
template <class T>
T* NewArray(TC_CONTEXT* ctx, int32_t n) {
  return static_cast<T*>(AllocZeroed(ctx, sizeof(T) * (n <= 0 ? 1 : static_cast<size_t>(n))));
}

// Moves a converted general name into an embedded one.
int32_t GeneralNameInto(PKIGeneralName* into, TC_GEN_NAME* name, TC_CONTEXT* ctx) {
  PKIGeneralName* g = nullptr;
  if (int32_t e = tc_GEN_NAME_to_PKIGeneralName(&g, name, ctx)) return e;
  *into = *g;
  Release(ctx, g);
  return kTCErrNone;
}

bool OidInto(TC_CONTEXT* ctx, PKIOBJECT_ID* into, const uint8_t* oid, uint32_t length) {
  return (oid != nullptr || length == 0) && SetBlock(ctx, into, oid, length);
}

// A value block's text as a new NUL-terminated string.
char* TextOfBlock(TC_CONTEXT* ctx, const PKIVariableBlock* b) {
  return CopyText(ctx, b != nullptr ? b->bytes : nullptr, b != nullptr && b->bytes != nullptr ? b->length : 0);
}

int32_t NewInteger(TC_CONTEXT* ctx, int32_t value, PKIINTEGER** out) {
  *out = PKINewINTEGER(Codec(ctx));
  if (*out == nullptr || !SetInt32(ctx, *out, value)) {
    PKIFreeINTEGER(Codec(ctx), *out);
    *out = nullptr;
    return kTCErrNoMemory;
  }
  return kTCErrNone;
}

// --- General names of the alternative-name rows ---

bool GenNamesValid(const TC_GEN_NAMES* names) {
  if (names == nullptr || names->count < 1 || names->names == nullptr) return false;
  for (int32_t i = 0; i < names->count; ++i) {
    const TC_GEN_NAME* n = names->names[i];
    if (n == nullptr || n->data == nullptr || n->type < kTCGenNameRfc822 || n->type > kTCGenNameRID) return false;
    if (n->type != kTCGenNameDirectory && n->length == 0) return false;
  }
  return true;
}

int32_t AddAltName(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx, const uint8_t* oid,
                   uint32_t oidLength) {
  if (list == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  uint8_t* der = nullptr;
  uint32_t length = 0;
  if (int32_t e = CreateGeneralNamesDER(&der, &length, static_cast<TC_GEN_NAMES*>(value), ctx)) return e;
  ScopedBlock owner(ctx, der);
  return tc_add_extension(list, oid, oidLength, Criticality(criticality, false), der, length, ctx);
}

}  // namespace

// --- keyUsage ---

int32_t CreateKeyUsageDER(int32_t mask, uint8_t** out, uint32_t* outLength, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  const uint32_t bits = static_cast<uint32_t>(mask);
  int high = 0;
  for (int i = 31; i >= 0; --i)
    if (bits & (1u << i)) {
      high = i;
      break;
    }
  const uint32_t bytes = static_cast<uint32_t>(high / 8 + 1);
  uint8_t content[4] = {};
  for (int i = 0; i <= high; ++i)
    if (bits & (1u << i)) content[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  PKIBIT_STRING bs{bytes, content, 8 * bytes - static_cast<uint32_t>(high) - 1};
  Der der(ctx);
  if (int32_t e = Encode(ctx, ostrak::asn::kBitString, kPKITagBitString, &bs, &der)) return e;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t AddKeyUsageExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  uint8_t* der = nullptr;
  uint32_t length = 0;
  if (int32_t e = CreateKeyUsageDER(*static_cast<int32_t*>(value), &der, &length, ctx)) return e;
  ScopedBlock owner(ctx, der);
  return tc_add_extension(list, PKIid_ce_keyUsage_OID, sizeof PKIid_ce_keyUsage_OID, Criticality(criticality, true),
                          der, length, ctx);
}

int32_t GetKeyUsage(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIBIT_STRING> bs(ostrak::asn::kBitString, ctx);
  if (DecodeValue(ext, ostrak::asn::kBitString, kPKITagBitString, ctx, &bs) != 0) return kTCErrExtension;
  int64_t positions = int64_t{bs->length} * 8 - int64_t{bs->unusedBits};
  uint32_t mask = 0;
  for (int64_t i = 0; i < positions && i < 32; ++i)
    if (bs->bytes[i / 8] & (0x80 >> (i % 8))) mask |= 1u << i;
  auto* word = NewZeroed<int32_t>(ctx);
  if (word == nullptr) return kTCErrNoMemory;
  *word = static_cast<int32_t>(mask);
  *out = word;
  return kTCErrNone;
}

// --- basicConstraints ---

int32_t CreateBasicConstraintsDER(TC_BASIC_CONSTRAINTS* value, uint8_t** out, uint32_t* outLength,
                                  TC_CONTEXT* ctx) {
  if (value == nullptr || out == nullptr || outLength == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (value->cA != 0 && value->cA != 1) return kTCErrInvalidArgs;
  Owned<PKIBasicConstraints> bc(cert_asn::kBasicConstraints, ctx);
  if (!bc.make()) return kTCErrNoMemory;
  if (value->cA == 1) {
    bc->cA = PKINewBOOLEAN(Codec(ctx));
    if (bc->cA == nullptr) return kTCErrNoMemory;
    PKIPutBoolVal(Codec(ctx), bc->cA, 1);
    if (value->pathLenConstraint >= 0 && NewInteger(ctx, value->pathLenConstraint, &bc->pathLenConstraint))
      return kTCErrNoMemory;
  }
  Der der(ctx);
  int32_t e = Encode(ctx, cert_asn::kBasicConstraints, kSeq, bc.get(), &der);
  if (e == kTCErrNoMemory) return e;
  if (e != kTCErrNone) return kTCErrExtension;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t AddBasicConstraintsExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  uint8_t* der = nullptr;
  uint32_t length = 0;
  if (int32_t e = CreateBasicConstraintsDER(static_cast<TC_BASIC_CONSTRAINTS*>(value), &der, &length, ctx)) return e;
  ScopedBlock owner(ctx, der);
  return tc_add_extension(list, PKIid_ce_basicConstraints_OID, sizeof PKIid_ce_basicConstraints_OID,
                          Criticality(criticality, true), der, length, ctx);
}

int32_t GetBasicConstraints(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIBasicConstraints> bc(cert_asn::kBasicConstraints, ctx);
  if (DecodeValue(ext, cert_asn::kBasicConstraints, kSeq, ctx, &bc) != 0) return kTCErrExtension;
  TC_BASIC_CONSTRAINTS v{bc->cA != nullptr && bc->cA->value == 1 ? 1 : 0, -1};
  if (bc->pathLenConstraint != nullptr && !IntegerToInt32(bc->pathLenConstraint, &v.pathLenConstraint))
    return kTCErrExtension;
  auto* record = NewZeroed<TC_BASIC_CONSTRAINTS>(ctx);
  if (record == nullptr) return kTCErrNoMemory;
  *record = v;
  *out = record;
  return kTCErrNone;
}

// --- subjectAltName, issuerAltName ---

int32_t CreateGeneralNamesDER(uint8_t** out, uint32_t* outLength, TC_GEN_NAMES* names, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (!GenNamesValid(names)) return kTCErrInvalidArgs;
  Owned<PKIGeneralNames> list(cert_asn::kGeneralNames, ctx);
  if (!list.make()) return kTCErrNoMemory;
  if (int32_t e = tc_GEN_NAMES_to_PKIGeneralNames(list.get(), names, ctx)) return e;
  Der der(ctx);
  int32_t e = Encode(ctx, cert_asn::kGeneralNames, kSeq, list.get(), &der);
  if (e == kTCErrNoMemory) return e;
  if (e != kTCErrNone) return kTCErrUnknown;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t AddSubjectAltNameExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  return AddAltName(list, value, criticality, ctx, PKIid_ce_subjectAltName_OID, sizeof PKIid_ce_subjectAltName_OID);
}

int32_t AddIssuerAltNameExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  return AddAltName(list, value, criticality, ctx, PKIid_ce_issuerAltName_OID, sizeof PKIid_ce_issuerAltName_OID);
}

int32_t GetAlternativeNameExt(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIGeneralNames> names(cert_asn::kGeneralNames, ctx);
  if (DecodeValue(ext, cert_asn::kGeneralNames, kSeq, ctx, &names) != 0) return kTCErrExtension;
  TC_GEN_NAMES* result = nullptr;
  if (int32_t e = tc_PKIGeneralNamesToTC(&result, names.get(), ctx)) return e;
  *out = result;
  return kTCErrNone;
}

// --- subjectKeyIdentifier ---

int32_t AddSubjectKeyIdentifier(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  return EncodeAndAdd(list, PKIid_ce_subjectKeyIdentifier_OID, sizeof PKIid_ce_subjectKeyIdentifier_OID, 0,
                      ostrak::asn::kOctetString, kPKITagOctetString, value, ctx);
}

int32_t GetOctetStringExt(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIOCTET_STRING> block(ostrak::asn::kOctetString, ctx);
  if (int32_t e = DecodeValue(ext, ostrak::asn::kOctetString, kPKITagOctetString, ctx, &block))
    return compiler2tc_error(e);
  *out = block.release();
  return kTCErrNone;
}

// --- privateKeyUsagePeriod ---

int32_t AddPrivateKeyUsagePeriod(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_PRIVATE_KEY_USAGE_PERIOD*>(value);
  if (v->notBefore == 0 && v->notAfter == 0) return kTCErrKeyUsagePeriod;
  Owned<PKIPrivateKeyUsagePeriod> p(cert_asn::kPrivateKeyUsagePeriod, ctx);
  if (!p.make()) return kTCErrNoMemory;
  if (v->notBefore != 0)
    if (int32_t e = tc_EncodeGeneralizedTime(&p->notBefore, v->notBefore, ctx)) return e;
  if (v->notAfter != 0)
    if (int32_t e = tc_EncodeGeneralizedTime(&p->notAfter, v->notAfter, ctx)) return e;
  return EncodeAndAdd(list, PKIid_ce_privateKeyUsagePeriod_OID, sizeof PKIid_ce_privateKeyUsagePeriod_OID, 0,
                      cert_asn::kPrivateKeyUsagePeriod, kSeq, p.get(), ctx);
}

int32_t GetPrivateKeyUsagePeriod(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIPrivateKeyUsagePeriod> p(cert_asn::kPrivateKeyUsagePeriod, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kPrivateKeyUsagePeriod, kSeq, ctx, &p)) return compiler2tc_error(e);
  auto* record = NewZeroed<TC_PRIVATE_KEY_USAGE_PERIOD>(ctx);
  if (record == nullptr) return kTCErrNoMemory;
  if (p->notBefore != nullptr) record->notBefore = tc_decode_GeneralizedTime(p->notBefore);
  if (p->notAfter != nullptr) record->notAfter = tc_decode_GeneralizedTime(p->notAfter);
  *out = record;
  return kTCErrNone;
}

// --- certificatePolicies ---

namespace {

// The DER of a qualifier: an IA5String URI or a UserNotice.
int32_t QualifierDer(const TC_POLICY_QUALIFIER& q, TC_CONTEXT* ctx, Der* der, const uint8_t** id) {
  if (q.value == nullptr) return kTCErrInvalidArgs;
  if (q.kind == kTCQualifierCPS) {
    const char* uri = static_cast<const char*>(q.value);
    size_t n = std::strlen(uri);
    if (n > UINT32_MAX) return kTCErrInvalidArgs;
    PKIIA5String text{static_cast<uint32_t>(n), reinterpret_cast<uint8_t*>(const_cast<char*>(uri))};
    *id = PKIid_qt_cps_OID;
    return Encode(ctx, ostrak::asn::kIA5String, kPKITagIA5String, &text, der);
  }
  if (q.kind != kTCQualifierUserNotice) return kTCErrUnknown;
  const auto* notice = static_cast<const TC_USER_NOTICE*>(q.value);
  Owned<PKIUserNotice> un(cert_asn::kUserNotice, ctx);
  if (!un.make()) return kTCErrNoMemory;
  auto visible = [&](const char* text, PKIDisplayText* into) {
    into->tag = kPKITagVisibleString;
    into->value = PKINewVariableBlock(Codec(ctx));
    return into->value != nullptr && PKIPutStrVal(Codec(ctx), static_cast<PKIVariableBlock*>(into->value), text) == 0;
  };
  if (const TC_NOTICE_REFERENCE* ref = notice->noticeRef) {
    if (ref->organization == nullptr || ref->noticeCount < 0 || (ref->noticeCount > 0 && ref->noticeNumbers == nullptr))
      return kTCErrInvalidArgs;
    un->noticeRef = PKINewNoticeReference(Codec(ctx));
    if (un->noticeRef == nullptr || !visible(ref->organization, &un->noticeRef->organization)) return kTCErrNoMemory;
    for (int32_t i = 0; i < ref->noticeCount; ++i) {
      if (ref->noticeNumbers[i] == nullptr) return kTCErrInvalidArgs;
      PKIINTEGER* number = nullptr;
      if (NewInteger(ctx, *ref->noticeNumbers[i], &number)) return kTCErrNoMemory;
      if (PKIAddOfElement(Codec(ctx), number, &un->noticeRef->noticeNumbers) != kPKIErrNone) {
        PKIFreeINTEGER(Codec(ctx), number);
        return kTCErrNoMemory;
      }
    }
  }
  if (notice->explicitText != nullptr) {
    un->explicitText = PKINewDisplayText(Codec(ctx));
    if (un->explicitText == nullptr || !visible(notice->explicitText, un->explicitText)) return kTCErrNoMemory;
  }
  *id = PKIid_qt_unotice_OID;
  return Encode(ctx, cert_asn::kUserNotice, kSeq, un.get(), der);
}

// A decoded qualifier into a toolkit qualifier.
int32_t QualifierFrom(PKIPolicyQualifierInfo* qi, TC_POLICY_QUALIFIER* out, TC_CONTEXT* ctx) {
  const PKIOBJECT_ID& id = qi->policyQualifierId;
  if (SameBytes(id.bytes, id.length, PKIid_qt_cps_OID, sizeof PKIid_qt_cps_OID)) {
    Owned<PKIIA5String> uri(ostrak::asn::kIA5String, ctx);
    void* rec = nullptr;
    int32_t e = Decode(ctx, ostrak::asn::kIA5String, kPKITagIA5String, qi->qualifier.bytes, qi->qualifier.length, &rec);
    uri.reset(static_cast<PKIIA5String*>(rec));
    if (e != 0) return compiler2tc_error(e);
    out->kind = kTCQualifierCPS;
    out->value = TextOfBlock(ctx, uri.get());
    return out->value != nullptr ? kTCErrNone : kTCErrNoMemory;
  }
  if (!SameBytes(id.bytes, id.length, PKIid_qt_unotice_OID, sizeof PKIid_qt_unotice_OID)) return kTCErrUnknown;
  Owned<PKIUserNotice> un(cert_asn::kUserNotice, ctx);
  void* rec = nullptr;
  int32_t e = Decode(ctx, cert_asn::kUserNotice, kSeq, qi->qualifier.bytes, qi->qualifier.length, &rec);
  un.reset(static_cast<PKIUserNotice*>(rec));
  if (e != 0) return compiler2tc_error(e);
  auto* notice = NewZeroed<TC_USER_NOTICE>(ctx);
  if (notice == nullptr) return kTCErrNoMemory;
  out->kind = kTCQualifierUserNotice;
  out->value = notice;
  if (const PKINoticeReference* ref = un->noticeRef) {
    auto* r = NewZeroed<TC_NOTICE_REFERENCE>(ctx);
    if (r == nullptr) return kTCErrNoMemory;
    notice->noticeRef = r;
    r->organization = TextOfBlock(ctx, static_cast<const PKIVariableBlock*>(ref->organization.value));
    r->noticeNumbers = NewArray<int32_t*>(ctx, ref->noticeNumbers.count);
    if (r->organization == nullptr || r->noticeNumbers == nullptr) return kTCErrNoMemory;
    for (int32_t i = 0; i < ref->noticeNumbers.count; ++i) {
      r->noticeNumbers[i] = NewZeroed<int32_t>(ctx);
      r->noticeCount = i + 1;
      if (r->noticeNumbers[i] == nullptr) return kTCErrNoMemory;
      if (!IntegerToInt32(ref->noticeNumbers.elements[i], r->noticeNumbers[i])) return kTCErrUnknown;
    }
  }
  if (un->explicitText != nullptr) {
    notice->explicitText = TextOfBlock(ctx, static_cast<const PKIVariableBlock*>(un->explicitText->value));
    if (notice->explicitText == nullptr) return kTCErrNoMemory;
  }
  return kTCErrNone;
}

}  // namespace

int32_t AddCertificatePolicies(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_CERTIFICATE_POLICIES*>(value);
  if (v->count < 0 || (v->count > 0 && v->policies == nullptr)) return kTCErrInvalidArgs;
  Owned<PKICertificatePolicies> cp(cert_asn::kCertificatePolicies, ctx);
  if (!cp.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < v->count; ++i) {
    const TC_POLICY_INFORMATION& p = v->policies[i];
    if (p.qualifierCount < 0 || (p.qualifierCount > 0 && p.qualifiers == nullptr)) return kTCErrInvalidArgs;
    Owned<PKIPolicyInformation> pi(cert_asn::kPolicyInformation, ctx);
    if (!pi.make()) return kTCErrNoMemory;
    if (!OidInto(ctx, &pi->policyIdentifier, p.oid, p.oidLength)) return kTCErrNoMemory;
    if (p.qualifierCount != 0) {
      pi->policyQualifiers = PKINewpolicyQualifiers_SEQ_OF(Codec(ctx));
      if (pi->policyQualifiers == nullptr) return kTCErrNoMemory;
    }
    for (int32_t j = 0; j < p.qualifierCount; ++j) {
      Der der(ctx);
      const uint8_t* id = nullptr;
      if (int32_t e = QualifierDer(p.qualifiers[j], ctx, &der, &id)) return e;
      Owned<PKIPolicyQualifierInfo> qi(cert_asn::kPolicyQualifierInfo, ctx);
      if (!qi.make() || !SetBlock(ctx, &qi->policyQualifierId, id, 8)) return kTCErrNoMemory;
      qi->qualifier.length = der.length;
      qi->qualifier.bytes = der.release();
      if (PKIAddOfElement(Codec(ctx), qi.get(), pi->policyQualifiers) != kPKIErrNone) return kTCErrNoMemory;
      qi.release();
    }
    if (PKIAddOfElement(Codec(ctx), pi.get(), cp.get()) != kPKIErrNone) return kTCErrNoMemory;
    pi.release();
  }
  return EncodeAndAdd(list, PKIid_ce_certificatePolicies_OID, sizeof PKIid_ce_certificatePolicies_OID, criticality,
                      cert_asn::kCertificatePolicies, kSeq, cp.get(), ctx);
}

int32_t GetCertificatePolicies(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKICertificatePolicies> cp(cert_asn::kCertificatePolicies, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kCertificatePolicies, kSeq, ctx, &cp)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_CERTIFICATE_POLICIES>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  auto fail = [&](int32_t e) {
    FreeCertificatePolicies(v, ctx);
    return e;
  };
  v->policies = NewArray<TC_POLICY_INFORMATION>(ctx, cp->count);
  if (v->policies == nullptr) return fail(kTCErrNoMemory);
  for (int32_t i = 0; i < cp->count; ++i) {
    PKIPolicyInformation* pi = cp->elements[i];
    TC_POLICY_INFORMATION& p = v->policies[i];
    v->count = i + 1;
    p.oid = CopyBytes(ctx, pi->policyIdentifier.bytes, pi->policyIdentifier.length);
    p.oidLength = pi->policyIdentifier.length;
    if (p.oid == nullptr) return fail(kTCErrNoMemory);
    if (pi->policyQualifiers == nullptr) continue;
    p.qualifiers = NewArray<TC_POLICY_QUALIFIER>(ctx, pi->policyQualifiers->count);
    if (p.qualifiers == nullptr) return fail(kTCErrNoMemory);
    for (int32_t j = 0; j < pi->policyQualifiers->count; ++j) {
      p.qualifierCount = j + 1;
      if (int32_t e = QualifierFrom(pi->policyQualifiers->elements[j], &p.qualifiers[j], ctx)) return fail(e);
    }
  }
  *out = v;
  return kTCErrNone;
}

namespace ostrak::tc {

void FreeCertificatePolicies(TC_CERTIFICATE_POLICIES* v, TC_CONTEXT* ctx) {
  if (v == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; v->policies != nullptr && i < v->count; ++i) {
    TC_POLICY_INFORMATION& p = v->policies[i];
    Release(ctx, p.oid);
    for (int32_t j = 0; p.qualifiers != nullptr && j < p.qualifierCount; ++j) {
      TC_POLICY_QUALIFIER& q = p.qualifiers[j];
      if (q.kind == kTCQualifierUserNotice && q.value != nullptr) {
        auto* notice = static_cast<TC_USER_NOTICE*>(q.value);
        if (TC_NOTICE_REFERENCE* ref = notice->noticeRef) {
          Release(ctx, ref->organization);
          for (int32_t k = 0; ref->noticeNumbers != nullptr && k < ref->noticeCount; ++k)
            Release(ctx, ref->noticeNumbers[k]);
          Release(ctx, ref->noticeNumbers);
          Release(ctx, ref);
        }
        Release(ctx, notice->explicitText);
      }
      Release(ctx, q.value);
    }
    Release(ctx, p.qualifiers);
  }
  Release(ctx, v->policies);
  Release(ctx, v);
}

}  // namespace ostrak::tc

// --- policyMappings ---

int32_t AddPolicyMappings(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_POLICY_MAPPINGS*>(value);
  if (v->count < 0 || (v->count > 0 && v->mappings == nullptr)) return kTCErrInvalidArgs;
  Owned<PKIPolicyMappings> pm(cert_asn::kPolicyMappings, ctx);
  if (!pm.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < v->count; ++i) {
    const TC_POLICY_MAPPING& m = v->mappings[i];
    Owned<PKIPolicyMappings_SEQUENCE> s(cert_asn::kPolicyMappings_SEQUENCE, ctx);
    if (!s.make() || !OidInto(ctx, &s->issuerDomainPolicy, m.issuerDomainPolicy, m.issuerDomainPolicyLength) ||
        !OidInto(ctx, &s->subjectDomainPolicy, m.subjectDomainPolicy, m.subjectDomainPolicyLength) ||
        PKIAddOfElement(Codec(ctx), s.get(), pm.get()) != kPKIErrNone)
      return kTCErrNoMemory;
    s.release();
  }
  return EncodeAndAdd(list, PKIid_ce_policyMappings_OID, sizeof PKIid_ce_policyMappings_OID, 0,
                      cert_asn::kPolicyMappings, kSeq, pm.get(), ctx);
}

int32_t GetPolicyMappings(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIPolicyMappings> pm(cert_asn::kPolicyMappings, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kPolicyMappings, kSeq, ctx, &pm)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_POLICY_MAPPINGS>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  v->mappings = NewArray<TC_POLICY_MAPPING>(ctx, pm->count);
  if (v->mappings == nullptr) {
    FreePolicyMappings(v, ctx);
    return kTCErrNoMemory;
  }
  for (int32_t i = 0; i < pm->count; ++i) {
    // The OID bytes move out of the decoded value.
    PKIPolicyMappings_SEQUENCE* s = pm->elements[i];
    TC_POLICY_MAPPING& m = v->mappings[i];
    m.issuerDomainPolicy = std::exchange(s->issuerDomainPolicy.bytes, nullptr);
    m.issuerDomainPolicyLength = std::exchange(s->issuerDomainPolicy.length, 0);
    m.subjectDomainPolicy = std::exchange(s->subjectDomainPolicy.bytes, nullptr);
    m.subjectDomainPolicyLength = std::exchange(s->subjectDomainPolicy.length, 0);
    v->count = i + 1;
  }
  *out = v;
  return kTCErrNone;
}

namespace ostrak::tc {

void FreePolicyMappings(TC_POLICY_MAPPINGS* v, TC_CONTEXT* ctx) {
  if (v == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; v->mappings != nullptr && i < v->count; ++i) {
    Release(ctx, v->mappings[i].issuerDomainPolicy);
    Release(ctx, v->mappings[i].subjectDomainPolicy);
  }
  Release(ctx, v->mappings);
  Release(ctx, v);
}

}  // namespace ostrak::tc

// --- subjectDirectoryAttributes ---

int32_t AddSubjectDirectoryAttributes(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_SUBJECT_DIRECTORY_ATTRIBUTES*>(value);
  if (v->count < 0 || (v->count > 0 && v->attributes == nullptr)) return kTCErrInvalidArgs;
  Owned<PKISubjectDirectoryAttributes> sda(cert_asn::kSubjectDirectoryAttributes, ctx);
  if (!sda.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < v->count; ++i) {
    const TC_DIRECTORY_ATTRIBUTE& a = v->attributes[i];
    if (a.valueCount < 0 || (a.valueCount > 0 && (a.values == nullptr || a.valueLengths == nullptr)))
      return kTCErrInvalidArgs;
    Owned<PKIAttribute> attr(cert_asn::kAttribute, ctx);
    if (!attr.make() || !OidInto(ctx, &attr->type, a.type, a.typeLength)) return kTCErrNoMemory;
    for (int32_t j = 0; j < a.valueCount; ++j) {
      if (a.values[j] == nullptr || a.valueLengths[j] == 0) return kTCErrInvalidArgs;
      PKIANY* any = PKINewANY(Codec(ctx));
      if (any == nullptr || !SetBlock(ctx, any, a.values[j], a.valueLengths[j]) ||
          PKIAddOfElement(Codec(ctx), any, &attr->values) != kPKIErrNone) {
        PKIFreeANY(Codec(ctx), any);
        return kTCErrNoMemory;
      }
    }
    if (PKIAddOfElement(Codec(ctx), attr.get(), sda.get()) != kPKIErrNone) return kTCErrNoMemory;
    attr.release();
  }
  return EncodeAndAdd(list, PKIid_ce_subjectDirectoryAttributes_OID, sizeof PKIid_ce_subjectDirectoryAttributes_OID,
                      0, cert_asn::kSubjectDirectoryAttributes, kSeq, sda.get(), ctx);
}

int32_t GetSubjectDirectoryAttributes(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKISubjectDirectoryAttributes> sda(cert_asn::kSubjectDirectoryAttributes, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kSubjectDirectoryAttributes, kSeq, ctx, &sda))
    return compiler2tc_error(e);
  auto* v = NewZeroed<TC_SUBJECT_DIRECTORY_ATTRIBUTES>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  auto fail = [&] {
    FreeSubjectDirectoryAttributes(v, ctx);
    return kTCErrNoMemory;
  };
  v->attributes = NewArray<TC_DIRECTORY_ATTRIBUTE>(ctx, sda->count);
  if (v->attributes == nullptr) return fail();
  for (int32_t i = 0; i < sda->count; ++i) {
    const PKIAttribute* attr = sda->elements[i];
    TC_DIRECTORY_ATTRIBUTE& a = v->attributes[i];
    v->count = i + 1;
    a.type = CopyBytes(ctx, attr->type.bytes, attr->type.length);
    a.typeLength = attr->type.length;
    a.values = NewArray<uint8_t*>(ctx, attr->values.count);
    a.valueLengths = NewArray<uint32_t>(ctx, attr->values.count);
    if (a.type == nullptr || a.values == nullptr || a.valueLengths == nullptr) return fail();
    for (int32_t j = 0; j < attr->values.count; ++j) {
      const PKIANY* any = attr->values.elements[j];
      a.valueCount = j + 1;
      a.values[j] = CopyBytes(ctx, any->bytes, any->length);
      a.valueLengths[j] = any->length;
      if (a.values[j] == nullptr) return fail();
    }
  }
  *out = v;
  return kTCErrNone;
}

namespace ostrak::tc {

void FreeSubjectDirectoryAttributes(TC_SUBJECT_DIRECTORY_ATTRIBUTES* v, TC_CONTEXT* ctx) {
  if (v == nullptr || ctx == nullptr) return;
  for (int32_t i = 0; v->attributes != nullptr && i < v->count; ++i) {
    TC_DIRECTORY_ATTRIBUTE& a = v->attributes[i];
    Release(ctx, a.type);
    for (int32_t j = 0; a.values != nullptr && j < a.valueCount; ++j) Release(ctx, a.values[j]);
    Release(ctx, a.values);
    Release(ctx, a.valueLengths);
  }
  Release(ctx, v->attributes);
  Release(ctx, v);
}

}  // namespace ostrak::tc

// --- nameConstraints ---

namespace {

int32_t SubtreesFrom(const TC_GENERAL_SUBTREES* from, TC_CONTEXT* ctx, PKIGeneralSubtrees** out) {
  *out = nullptr;
  if (from == nullptr) return kTCErrNone;
  if (from->count < 0 || (from->count > 0 && from->bases == nullptr)) return kTCErrInvalidArgs;
  Owned<PKIGeneralSubtrees> list(cert_asn::kGeneralSubtrees, ctx);
  if (!list.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < from->count; ++i) {
    Owned<PKIGeneralSubtree> s(cert_asn::kGeneralSubtree, ctx);
    if (!s.make()) return kTCErrNoMemory;
    if (int32_t e = GeneralNameInto(&s->base, from->bases[i], ctx)) return e;
    if (PKIAddOfElement(Codec(ctx), s.get(), list.get()) != kPKIErrNone) return kTCErrNoMemory;
    s.release();
  }
  *out = list.release();
  return kTCErrNone;
}

}  // namespace

int32_t AddNameConstraints(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_NAME_CONSTRAINTS*>(value);
  Owned<PKINameConstraints> nc(cert_asn::kNameConstraints, ctx);
  if (!nc.make()) return kTCErrNoMemory;
  if (int32_t e = SubtreesFrom(v->permitted, ctx, &nc->permittedSubtrees)) return e;
  if (int32_t e = SubtreesFrom(v->excluded, ctx, &nc->excludedSubtrees)) return e;
  return EncodeAndAdd(list, PKIid_ce_nameConstraints_OID, sizeof PKIid_ce_nameConstraints_OID, 1,
                      cert_asn::kNameConstraints, kSeq, nc.get(), ctx);
}

int32_t GetNameConstraints(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKINameConstraints> nc(cert_asn::kNameConstraints, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kNameConstraints, kSeq, ctx, &nc)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_NAME_CONSTRAINTS>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  int32_t e = tc_GetGeneralSubtrees(&v->permitted, nc->permittedSubtrees, ctx);
  if (e == kTCErrNone) e = tc_GetGeneralSubtrees(&v->excluded, nc->excludedSubtrees, ctx);
  if (e != kTCErrNone) {
    tc_FreeNameConstraints(v, ctx);
    return e;
  }
  *out = v;
  return kTCErrNone;
}

// --- policyConstraints ---

int32_t AddPolicyConstraints(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_POLICY_CONSTRAINTS*>(value);
  if (v->requireExplicitPolicy < 0 && v->inhibitPolicyMapping < 0) return kTCErrUnknown;
  Owned<PKIPolicyConstraints> pc(cert_asn::kPolicyConstraints, ctx);
  if (!pc.make()) return kTCErrNoMemory;
  if (v->requireExplicitPolicy >= 0 && NewInteger(ctx, v->requireExplicitPolicy, &pc->requireExplicitPolicy))
    return kTCErrNoMemory;
  if (v->inhibitPolicyMapping >= 0 && NewInteger(ctx, v->inhibitPolicyMapping, &pc->inhibitPolicyMapping))
    return kTCErrNoMemory;
  return EncodeAndAdd(list, PKIid_ce_policyConstraints_OID, sizeof PKIid_ce_policyConstraints_OID, criticality,
                      cert_asn::kPolicyConstraints, kSeq, pc.get(), ctx);
}

int32_t GetPolicyConstraints(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIPolicyConstraints> pc(cert_asn::kPolicyConstraints, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kPolicyConstraints, kSeq, ctx, &pc)) return compiler2tc_error(e);
  TC_POLICY_CONSTRAINTS v{-1, -1};
  if ((pc->requireExplicitPolicy != nullptr && !IntegerToInt32(pc->requireExplicitPolicy, &v.requireExplicitPolicy)) ||
      (pc->inhibitPolicyMapping != nullptr && !IntegerToInt32(pc->inhibitPolicyMapping, &v.inhibitPolicyMapping)))
    return kTCErrUnknown;
  auto* record = NewZeroed<TC_POLICY_CONSTRAINTS>(ctx);
  if (record == nullptr) return kTCErrNoMemory;
  *record = v;
  *out = record;
  return kTCErrNone;
}

// --- extKeyUsage ---

const TC_OID_MAP_ROW TC_KEY_PURPOSE_MAP[6] = {
    {kTCPurposeServerAuth, PKIid_kp_serverAuth_OID, 8},
    {kTCPurposeClientAuth, PKIid_kp_clientAuth_OID, 8},
    {kTCPurposeCodeSigning, PKIid_kp_codeSigning_OID, 8},
    {kTCPurposeEmailProtection, PKIid_kp_emailProtection_OID, 8},
    {kTCPurposeTimeStamping, PKIid_kp_timeStamping_OID, 8},
    {0, nullptr, 0},
};

int32_t AddExtKeyUsageSyntax(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_EXT_KEY_USAGE*>(value);
  if (v->count < 0 || (v->count > 0 && v->purposes == nullptr)) return kTCErrInvalidArgs;
  Owned<PKIExtKeyUsageSyntax> eku(cert_asn::kExtKeyUsageSyntax, ctx);
  if (!eku.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < v->count; ++i) {
    const TC_OID_MAP_ROW* row = TC_KEY_PURPOSE_MAP;
    while (row->oid != nullptr && row->code != v->purposes[i]) ++row;
    if (row->oid == nullptr) return kTCErrUnknown;
    PKIOBJECT_ID* oid = PKINewOBJECT_ID(Codec(ctx));
    if (oid == nullptr || !SetBlock(ctx, oid, row->oid, row->oidLength) ||
        PKIAddOfElement(Codec(ctx), oid, eku.get()) != kPKIErrNone) {
      PKIFreeOBJECT_ID(Codec(ctx), oid);
      return kTCErrNoMemory;
    }
  }
  return EncodeAndAdd(list, PKIid_ce_extKeyUsage_OID, sizeof PKIid_ce_extKeyUsage_OID, criticality,
                      cert_asn::kExtKeyUsageSyntax, kSeq, eku.get(), ctx);
}

int32_t GetExtKeyUsageSyntax(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIExtKeyUsageSyntax> eku(cert_asn::kExtKeyUsageSyntax, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kExtKeyUsageSyntax, kSeq, ctx, &eku)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_EXT_KEY_USAGE>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  v->purposes = NewArray<int32_t>(ctx, eku->count);
  if (v->purposes == nullptr) {
    FreeExtKeyUsage(v, ctx);
    return kTCErrNoMemory;
  }
  for (int32_t i = 0; i < eku->count; ++i) {
    const PKIOBJECT_ID* oid = eku->elements[i];
    for (const TC_OID_MAP_ROW* row = TC_KEY_PURPOSE_MAP; row->oid != nullptr; ++row)
      if (SameBytes(row->oid, row->oidLength, oid->bytes, oid->length)) v->purposes[i] = row->code;
  }
  v->count = eku->count;
  *out = v;
  return kTCErrNone;
}

namespace ostrak::tc {

void FreeExtKeyUsage(TC_EXT_KEY_USAGE* v, TC_CONTEXT* ctx) {
  if (v == nullptr || ctx == nullptr) return;
  Release(ctx, v->purposes);
  Release(ctx, v);
}

}  // namespace ostrak::tc

// --- cRLDistributionPoints ---

namespace ostrak::tc {

// The one-byte reason mask as a BIT STRING with one unused bit.
PKIBIT_STRING* ReasonBits(TC_CONTEXT* ctx, int32_t mask) {
  PKIBIT_STRING* bits = PKINewBIT_STRING(Codec(ctx));
  const uint8_t byte = static_cast<uint8_t>((static_cast<uint32_t>(mask) * 2) & 0xFF);
  if (bits != nullptr && PKIPutBitString(Codec(ctx), bits, &byte, 1, 1) != kPKIErrNone) {
    PKIFreeBIT_STRING(Codec(ctx), bits);
    return nullptr;
  }
  return bits;
}

int32_t ReasonMask(const PKIBIT_STRING* bits) {
  return bits != nullptr && bits->bytes != nullptr && bits->length > 0 ? bits->bytes[0] >> 1 : 0;
}

}  // namespace ostrak::tc

int32_t AddCRLDistributionPoints(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_CRL_DIST_POINTS*>(value);
  if (v->count < 0 || (v->count > 0 && v->points == nullptr)) return kTCErrInvalidArgs;
  Owned<PKICRLDistPointsSyntax> dps(cert_asn::kCRLDistPointsSyntax, ctx);
  if (!dps.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < v->count; ++i) {
    const TC_DIST_POINT& p = v->points[i];
    Owned<PKIDistributionPoint> dp(cert_asn::kDistributionPoint, ctx);
    if (!dp.make()) return kTCErrNoMemory;
    if (p.name != nullptr)
      if (int32_t e = tc_DistPointNameToPKI(&dp->distributionPoint, p.name, ctx)) return e;
    if (p.reasons != 0 && (dp->reasons = ReasonBits(ctx, p.reasons)) == nullptr) return kTCErrNoMemory;
    if (p.cRLIssuer != nullptr) {
      dp->cRLIssuer = PKINewGeneralNames(Codec(ctx));
      if (dp->cRLIssuer == nullptr) return kTCErrNoMemory;
      if (int32_t e = tc_GEN_NAMES_to_PKIGeneralNames(dp->cRLIssuer, p.cRLIssuer, ctx)) return e;
    }
    if (PKIAddOfElement(Codec(ctx), dp.get(), dps.get()) != kPKIErrNone) return kTCErrNoMemory;
    dp.release();
  }
  return EncodeAndAdd(list, PKIid_ce_cRLDistributionPoints_OID, sizeof PKIid_ce_cRLDistributionPoints_OID,
                      criticality, cert_asn::kCRLDistPointsSyntax, kSeq, dps.get(), ctx);
}

int32_t GetCRLDistributionPoints(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKICRLDistPointsSyntax> dps(cert_asn::kCRLDistPointsSyntax, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kCRLDistPointsSyntax, kSeq, ctx, &dps)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_CRL_DIST_POINTS>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  auto fail = [&](int32_t e) {
    tc_FreeCRLDistributionPoints(v, ctx);
    return e;
  };
  v->points = NewArray<TC_DIST_POINT>(ctx, dps->count);
  if (v->points == nullptr) return fail(kTCErrNoMemory);
  for (int32_t i = 0; i < dps->count; ++i) {
    PKIDistributionPoint* dp = dps->elements[i];
    TC_DIST_POINT& p = v->points[i];
    v->count = i + 1;
    if (dp->distributionPoint != nullptr)
      if (int32_t e = tc_DistPointNameToTC(&p.name, dp->distributionPoint, ctx)) return fail(e);
    p.reasons = ReasonMask(dp->reasons);
    if (dp->cRLIssuer != nullptr)
      if (int32_t e = tc_PKIGeneralNamesToTC(&p.cRLIssuer, dp->cRLIssuer, ctx)) return fail(e);
  }
  *out = v;
  return kTCErrNone;
}

// --- authorityInfoAccess ---

int32_t AddAuthorityInfoAccess(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_AUTHORITY_INFO_ACCESS*>(value);
  if (v->count < 0 || (v->count > 0 && v->descriptions == nullptr)) return kTCErrInvalidArgs;
  Owned<PKIAuthorityInfoAccessSyntax> aia(cert_asn::kAuthorityInfoAccessSyntax, ctx);
  if (!aia.make()) return kTCErrNoMemory;
  for (int32_t i = 0; i < v->count; ++i) {
    const TC_ACCESS_DESCRIPTION& d = v->descriptions[i];
    Owned<PKIAccessDescription> ad(cert_asn::kAccessDescription, ctx);
    if (!ad.make() || !OidInto(ctx, &ad->accessMethod, d.method, d.methodLength)) return kTCErrNoMemory;
    if (int32_t e = GeneralNameInto(&ad->accessLocation, d.location, ctx)) return e;
    if (PKIAddOfElement(Codec(ctx), ad.get(), aia.get()) != kPKIErrNone) return kTCErrNoMemory;
    ad.release();
  }
  return EncodeAndAdd(list, PKIid_pe_authorityInfoAccess_OID, sizeof PKIid_pe_authorityInfoAccess_OID, 0,
                      cert_asn::kAuthorityInfoAccessSyntax, kSeq, aia.get(), ctx);
}

int32_t GetAuthorityInfoAccess(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIAuthorityInfoAccessSyntax> aia(cert_asn::kAuthorityInfoAccessSyntax, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kAuthorityInfoAccessSyntax, kSeq, ctx, &aia)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_AUTHORITY_INFO_ACCESS>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  auto fail = [&](int32_t e) {
    tc_FreeAuthorityInfoAccess(v, ctx);
    return e;
  };
  v->descriptions = NewArray<TC_ACCESS_DESCRIPTION>(ctx, aia->count);
  if (v->descriptions == nullptr) return fail(kTCErrNoMemory);
  for (int32_t i = 0; i < aia->count; ++i) {
    PKIAccessDescription* ad = aia->elements[i];
    TC_ACCESS_DESCRIPTION& d = v->descriptions[i];
    v->count = i + 1;
    d.method = CopyBytes(ctx, ad->accessMethod.bytes, ad->accessMethod.length);
    d.methodLength = ad->accessMethod.length;
    if (d.method == nullptr) return fail(kTCErrNoMemory);
    if (int32_t e = tc_PKIGeneralNameToTC(&d.location, &ad->accessLocation, ctx)) return fail(e);
  }
  *out = v;
  return kTCErrNone;
}

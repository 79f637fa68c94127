// The CRL and CRL-entry rows of the supported-extension table: CRL
// number, delta CRL indicator, authority key identifier, issuing
// distribution point, reason code, hold instruction code and invalidity
// date (pki/tc_extensions.h).
#include <cstdlib>

#include "pki/tc_extensions.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

// Hold instructions are written under the registered arc 1.2.840.10040.2;
// the erroneous 2.2.840.10040.2 of RFC 5280's module is read as well.
const TC_OID_MAP_ROW TC_HOLD_INSTRUCTION_MAP[4] = {
    {0, PKIid_holdinstruction_none_OID, sizeof PKIid_holdinstruction_none_OID},
    {1, PKIid_holdinstruction_callissuer_OID, sizeof PKIid_holdinstruction_callissuer_OID},
    {2, PKIid_holdinstruction_reject_OID, sizeof PKIid_holdinstruction_reject_OID},
    {-1, nullptr, 0},
};

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;
using ostrak::asn::TypeDesc;

constexpr uint8_t kSeq = kPKITagSequence;
constexpr uint8_t kTagEnumerated = 0x0A;
constexpr uint8_t kLegacyHoldArc[6] = {0x52, 0x86, 0x48, 0xCE, 0x38, 0x02};

int Criticality(int given, bool defaultCritical) { return given == -1 ? (defaultCritical ? 1 : 0) : given; }

int32_t EncodeAndAdd(PKIExtensions* list, const uint8_t* oid, uint32_t oidLength, int critical, const TypeDesc& t,
                     uint8_t tag, void* rec, TC_CONTEXT* ctx) {
  Der der(ctx);
  if (int32_t e = Encode(ctx, t, tag, rec, &der)) return e;
  return tc_add_extension(list, oid, oidLength, critical, der.bytes, der.length, ctx);
}

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

// An unsigned number as an INTEGER under `tag`.
int32_t AddNumber(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx, const uint8_t* oid,
                  uint32_t oidLength) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Owned<PKIINTEGER> number(ostrak::asn::kInteger, ctx);
  if (!number.make() || !SetUInt32(ctx, number.get(), *static_cast<uint32_t*>(value))) return kTCErrNoMemory;
  return EncodeAndAdd(list, oid, oidLength, Criticality(criticality, false), ostrak::asn::kInteger, kPKITagInteger,
                      number.get(), ctx);
}

// A malloc'd word of an INTEGER extension value; -7 (the word freed, the
// output null) when it does not decode or fit.
int32_t GetNumber(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  auto* word = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
  if (word == nullptr) return kTCErrNoMemory;
  Owned<PKIINTEGER> number(ostrak::asn::kInteger, ctx);
  if (DecodeValue(ext, ostrak::asn::kInteger, kPKITagInteger, ctx, &number) != 0 ||
      !IntegerToUInt32(number.get(), word)) {
    std::free(word);
    return kTCErrExtension;
  }
  *out = word;
  return kTCErrNone;
}

}  // namespace

int32_t AddCRLNumberExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  return AddNumber(list, value, criticality, ctx, PKIid_ce_cRLNumber_OID, sizeof PKIid_ce_cRLNumber_OID);
}

int32_t GetCRLNumberExt(void** out, PKIExtension* ext, TC_CONTEXT* ctx) { return GetNumber(out, ext, ctx); }

int32_t AddDeltaCRLIndicatorExt(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  return AddNumber(list, value, criticality, ctx, PKIid_ce_deltaCRLIndicator_OID,
                   sizeof PKIid_ce_deltaCRLIndicator_OID);
}

int32_t GetDeltaCRLIndicatorExt(void** out, PKIExtension* ext, TC_CONTEXT* ctx) { return GetNumber(out, ext, ctx); }

// --- authorityKeyIdentifier ---

int32_t CreateAuthorityKeyIdentifierDER(TC_AUTHORITY_KEY_ID* value, uint8_t** out, uint32_t* outLength,
                                        TC_CONTEXT* ctx) {
  if (value == nullptr || out == nullptr || outLength == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if ((value->keyIdentifierLength != 0 && value->keyIdentifier == nullptr) ||
      (value->serialNumberLength != 0 && value->serialNumber == nullptr))
    return kTCErrInvalidArgs;
  Owned<PKIAuthorityKeyIdentifier> aki(cert_asn::kAuthorityKeyIdentifier, ctx);
  if (!aki.make()) return kTCErrNoMemory;
  auto block = [&](const uint8_t* bytes, uint32_t n, PKIVariableBlock** into) {
    *into = PKINewVariableBlock(Codec(ctx));
    return *into != nullptr && SetBlock(ctx, *into, bytes, n);
  };
  if (value->keyIdentifierLength != 0 &&
      !block(value->keyIdentifier, value->keyIdentifierLength, &aki->keyIdentifier))
    return kTCErrNoMemory;
  if (value->authorityCertIssuer != nullptr) {
    aki->authorityCertIssuer = PKINewGeneralNames(Codec(ctx));
    if (aki->authorityCertIssuer == nullptr) return kTCErrNoMemory;
    if (int32_t e = tc_GEN_NAMES_to_PKIGeneralNames(aki->authorityCertIssuer, value->authorityCertIssuer, ctx))
      return e;
  }
  if (value->serialNumberLength != 0 &&
      !block(value->serialNumber, value->serialNumberLength, &aki->authorityCertSerialNumber))
    return kTCErrNoMemory;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kAuthorityKeyIdentifier, kSeq, aki.get(), &der)) return e;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t AddAuthorityKeyIdentifier(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  uint8_t* der = nullptr;
  uint32_t length = 0;
  if (int32_t e = CreateAuthorityKeyIdentifierDER(static_cast<TC_AUTHORITY_KEY_ID*>(value), &der, &length, ctx))
    return e;
  ScopedBlock owner(ctx, der);
  return tc_add_extension(list, PKIid_ce_authorityKeyIdentifier_OID, sizeof PKIid_ce_authorityKeyIdentifier_OID, 0,
                          der, length, ctx);
}

int32_t GetAuthorityKeyIdentifier(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIAuthorityKeyIdentifier> aki(cert_asn::kAuthorityKeyIdentifier, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kAuthorityKeyIdentifier, kSeq, ctx, &aki)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_AUTHORITY_KEY_ID>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  int32_t e = kTCErrNone;
  // The key identifier and serial bytes move out of the decoded value.
  if (PKIOCTET_STRING* id = aki->keyIdentifier) {
    v->keyIdentifierLength = std::exchange(id->length, 0);
    v->keyIdentifier = std::exchange(id->bytes, nullptr);
  }
  if (aki->authorityCertIssuer != nullptr)
    e = tc_PKIGeneralNamesToTC(&v->authorityCertIssuer, aki->authorityCertIssuer, ctx);
  if (PKIINTEGER* serial = aki->authorityCertSerialNumber) {
    v->serialNumberLength = std::exchange(serial->length, 0);
    v->serialNumber = std::exchange(serial->bytes, nullptr);
  }
  if (e != kTCErrNone) {
    FreeAuthorityKeyId(v, ctx);
    return e;
  }
  *out = v;
  return kTCErrNone;
}

namespace ostrak::tc {

void FreeAuthorityKeyId(TC_AUTHORITY_KEY_ID* v, TC_CONTEXT* ctx) {
  if (v == nullptr || ctx == nullptr) return;
  Release(ctx, v->keyIdentifier);
  tc_free_gennamelist(v->authorityCertIssuer, ctx);
  Release(ctx, v->serialNumber);
  Release(ctx, v);
}

}  // namespace ostrak::tc

// --- issuingDistributionPoint ---

int32_t AddIssuingDistributionPoint(PKIExtensions* list, void* value, int, TC_CONTEXT* ctx) {
  if (list == nullptr || value == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto* v = static_cast<const TC_ISSUING_DIST_POINT*>(value);
  Owned<PKIIssuingDistributionPoint> idp(cert_asn::kIssuingDistributionPoint, ctx);
  if (!idp.make()) return kTCErrNoMemory;
  if (v->distributionPoint != nullptr)
    if (int32_t e = tc_DistPointNameToPKI(&idp->distributionPoint, v->distributionPoint, ctx)) return e;
  auto flag = [&](int32_t set, PKIBOOLEAN** into) {
    if (set == 0) return true;
    *into = PKINewBOOLEAN(Codec(ctx));
    return *into != nullptr && PKIPutBoolVal(Codec(ctx), *into, 1) == kPKIErrNone;
  };
  if (!flag(v->onlyContainsUserCerts, &idp->onlyContainsUserCerts) ||
      !flag(v->onlyContainsCACerts, &idp->onlyContainsCACerts) || !flag(v->indirectCRL, &idp->indirectCRL))
    return kTCErrNoMemory;
  if (v->onlySomeReasons != 0 && (idp->onlySomeReasons = ReasonBits(ctx, v->onlySomeReasons)) == nullptr)
    return kTCErrNoMemory;
  return EncodeAndAdd(list, PKIid_ce_issuingDistributionPoint_OID, sizeof PKIid_ce_issuingDistributionPoint_OID, 1,
                      cert_asn::kIssuingDistributionPoint, kSeq, idp.get(), ctx);
}

int32_t GetIssuingDistributionPoint(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIIssuingDistributionPoint> idp(cert_asn::kIssuingDistributionPoint, ctx);
  if (int32_t e = DecodeValue(ext, cert_asn::kIssuingDistributionPoint, kSeq, ctx, &idp)) return compiler2tc_error(e);
  auto* v = NewZeroed<TC_ISSUING_DIST_POINT>(ctx);
  if (v == nullptr) return kTCErrNoMemory;
  if (idp->distributionPoint != nullptr) {
    if (int32_t e = tc_DistPointNameToTC(&v->distributionPoint, idp->distributionPoint, ctx)) {
      Release(ctx, v);
      return e;
    }
  }
  auto flag = [](const PKIBOOLEAN* b) { return b != nullptr && b->value != 0 ? 1 : 0; };
  v->onlyContainsUserCerts = flag(idp->onlyContainsUserCerts);
  v->onlyContainsCACerts = flag(idp->onlyContainsCACerts);
  v->onlySomeReasons = ReasonMask(idp->onlySomeReasons);
  v->indirectCRL = flag(idp->indirectCRL);
  *out = v;
  return kTCErrNone;
}

// --- cRLReasons ---

int32_t AddCRLReason(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Owned<PKIINTEGER> code(ostrak::asn::kInteger, ctx);
  if (!code.make() || !SetInt32(ctx, code.get(), static_cast<int32_t>(reinterpret_cast<intptr_t>(value))))
    return kTCErrNoMemory;
  // ENUMERATED, as RFC 5280 defines CRLReason.
  return EncodeAndAdd(list, PKIid_ce_cRLReasons_OID, sizeof PKIid_ce_cRLReasons_OID, Criticality(criticality, false),
                      ostrak::asn::kInteger, kTagEnumerated, code.get(), ctx);
}

int32_t GetCRLReason(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  auto* word = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
  if (word == nullptr) return kTCErrNoMemory;
  // ENUMERATED as written here and by RFC 5280 producers; INTEGER as older
  // producers wrote it.
  Owned<PKIINTEGER> code(ostrak::asn::kInteger, ctx);
  bool ok = DecodeValue(ext, ostrak::asn::kInteger, kPKITagInteger, ctx, &code) == 0 ||
            DecodeValue(ext, ostrak::asn::kInteger, kTagEnumerated, ctx, &code) == 0;
  if (!ok || !IntegerToInt32(code.get(), word)) {
    std::free(word);
    return kTCErrExtension;
  }
  *out = word;
  return kTCErrNone;
}

// --- holdInstructionCode ---

int32_t AddHoldInstructionCode(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const auto code = static_cast<int32_t>(reinterpret_cast<intptr_t>(value));
  const TC_OID_MAP_ROW* row = TC_HOLD_INSTRUCTION_MAP;
  while (row->oid != nullptr && row->code != code) ++row;
  if (row->oid == nullptr) return kTCErrUnknown;
  PKIOBJECT_ID oid{row->oidLength, const_cast<uint8_t*>(row->oid)};
  return EncodeAndAdd(list, PKIid_ce_holdInstructionCode_OID, sizeof PKIid_ce_holdInstructionCode_OID,
                      Criticality(criticality, false), ostrak::asn::kObjectId, kPKITagObjectId, &oid, ctx);
}

int32_t GetHoldInstructionCode(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIOBJECT_ID> oid(ostrak::asn::kObjectId, ctx);
  if (int32_t e = DecodeValue(ext, ostrak::asn::kObjectId, kPKITagObjectId, ctx, &oid)) return compiler2tc_error(e);
  intptr_t code = 0;
  for (const TC_OID_MAP_ROW* row = TC_HOLD_INSTRUCTION_MAP; row->oid != nullptr; ++row) {
    const bool registered = SameBytes(row->oid, row->oidLength, oid->bytes, oid->length);
    // The same code under 2.2.840.10040.2: the arc, then the row's last byte.
    const bool legacy = oid->length == row->oidLength &&
                        SameBytes(kLegacyHoldArc, sizeof kLegacyHoldArc, oid->bytes, sizeof kLegacyHoldArc) &&
                        oid->bytes[oid->length - 1] == row->oid[row->oidLength - 1];
    if (registered || legacy) {
      code = row->code;
      break;
    }
  }
  *out = reinterpret_cast<void*>(code);
  return kTCErrNone;
}

// --- invalidityDate ---

int32_t AddInvalidityDate(PKIExtensions* list, void* value, int criticality, TC_CONTEXT* ctx) {
  if (list == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  PKIVariableBlock* time = nullptr;
  if (int32_t e = tc_EncodeGeneralizedTime(&time, static_cast<int64_t>(reinterpret_cast<uintptr_t>(value)), ctx))
    return e;
  Owned<PKIGeneralizedTime> owner(ostrak::asn::kGeneralizedTime, ctx, time);
  return EncodeAndAdd(list, PKIid_ce_invalidityDate_OID, sizeof PKIid_ce_invalidityDate_OID,
                      Criticality(criticality, false), ostrak::asn::kGeneralizedTime, kPKITagGeneralizedTime, time,
                      ctx);
}

int32_t GetInvalidityDate(void** out, PKIExtension* ext, TC_CONTEXT* ctx) {
  if (!ArgsOk(out, ext, ctx)) return kTCErrInvalidArgs;
  Owned<PKIGeneralizedTime> time(ostrak::asn::kGeneralizedTime, ctx);
  if (int32_t e = DecodeValue(ext, ostrak::asn::kGeneralizedTime, kPKITagGeneralizedTime, ctx, &time))
    return compiler2tc_error(e);
  *out = reinterpret_cast<void*>(static_cast<uintptr_t>(tc_decode_GeneralizedTime(time.get())));
  return kTCErrNone;
}

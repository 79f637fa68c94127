// The PKCS #12 module (pki/pkcs12_asn.h): descriptors, the list hook and
// the operations.
#include "pki/pkcs12_asn.h"

namespace ostrak::pkcs12_asn {

using namespace ::ostrak::asn;
using ::ostrak::cert_asn::kAttributes;
using ::ostrak::pkcs7_asn::kContentInfo;
using ::ostrak::pkcs7_asn::kDigestInfo;

namespace {

constexpr uint8_t kSeq = kPKITagSequence;

// Whether the list's own header cannot be read whole or its definite
// length runs past the input.
bool OwnLengthRunsPast(const uint8_t* in, uint32_t inLen) {
  if (in == nullptr || inLen == 0) return false;
  Header h;
  if (ReadHeader(in, inLen, &h) != kPKIErrNone) return true;
  return !h.indefinite && !ContentFits(h, inLen);
}

// The engine's list decoder; a list whose definite length runs past the
// input is left empty with count -1 (what it held goes first).
uint32_t UnpkInPlaceBagList(const TypeDesc& t, PKICONTEXT* ctx, void* rec, const uint8_t* in, uint32_t inLen,
                            uint8_t tag, int32_t* err) {
  uint32_t n = UnpkInPlaceList(t, ctx, rec, in, inLen, tag, err);
  if (err != nullptr && *err == kPKIErrLength && rec != nullptr && OwnLengthRunsPast(in, inLen)) {
    DropList(t, ctx, rec);
    static_cast<PKIListRecord*>(rec)->count = -1;
  }
  return n;
}

constexpr TypeOps kBagListOps = {PackList, UnpkInPlaceBagList, UnpackAllocating, SizeList, DropList};

// The bags' encoder: a bag whose value (the second component) is empty
// cannot be written, since its [0] wrapper is not counted by the size;
// that is kPKIErrRoom when even the counted size does not fit, else
// kPKIErrOutputSmall, and nothing is written.
uint32_t PackBag(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, uint8_t tag,
                 int32_t* err) {
  if (err != nullptr && ManagerOf(ctx) != nullptr && rec != nullptr && out != nullptr) {
    const auto* value = reinterpret_cast<const PKIANY*>(static_cast<const uint8_t*>(rec) + t.fields[1].offset);
    if (value->bytes == nullptr || value->length == 0) {
      *err = kPKIErrNone;
      SetError(err, Size(t, rec, 1, 0) > outLen ? kPKIErrRoom : kPKIErrOutputSmall);
      return 0;
    }
  }
  return PackSequence(t, ctx, out, outLen, rec, tag, err);
}

constexpr TypeOps kBagOps = {PackBag, UnpkInPlaceSequence, UnpackAllocating, SizeSequence, DropSequence};

constexpr Field kPFXFields[] = {
    PKI_ASN_FIELD(PKIPFX, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIPFX, authSafe, kContentInfo, kSeq),
    PKI_ASN_OPTIONAL(PKIPFX, macData, kMacData, kSeq),
};

constexpr Field kMacDataFields[] = {
    PKI_ASN_FIELD(PKIMacData, mac, kDigestInfo, kSeq),
    PKI_ASN_FIELD(PKIMacData, macSalt, kOctetString, kPKITagOctetString),
    PKI_ASN_OPTIONAL(PKIMacData, iterations, kInteger, kPKITagInteger),
};

constexpr Field kSafeBagFields[] = {
    PKI_ASN_FIELD(PKISafeBag, bagId, kObjectId, kPKITagObjectId),
    PKI_ASN_EXPLICIT(PKISafeBag, bagValue, kAny, 0, kPKITagAny),
    PKI_ASN_OPTIONAL(PKISafeBag, bagAttributes, kAttributes, kPKITagSet),
};

constexpr Field kCertBagFields[] = {
    PKI_ASN_FIELD(PKICertBag, certId, kObjectId, kPKITagObjectId),
    PKI_ASN_EXPLICIT(PKICertBag, certValue, kAny, 0, kPKITagAny),
};

constexpr Field kCRLBagFields[] = {
    PKI_ASN_FIELD(PKICRLBag, crlId, kObjectId, kPKITagObjectId),
    PKI_ASN_EXPLICIT(PKICRLBag, crlValue, kAny, 0, kPKITagAny),
};

constexpr Field kSecretBagFields[] = {
    PKI_ASN_FIELD(PKISecretBag, secretTypeId, kObjectId, kPKITagObjectId),
    PKI_ASN_EXPLICIT(PKISecretBag, secretValue, kAny, 0, kPKITagAny),
};

constexpr Field kpkcs_12PbeParamsFields[] = {
    PKI_ASN_FIELD(PKIpkcs_12PbeParams, salt, kOctetString, kPKITagOctetString),
    PKI_ASN_FIELD(PKIpkcs_12PbeParams, iterations, kInteger, kPKITagInteger),
};

}  // namespace

constinit const TypeDesc kPFX = SequenceType<PKIPFX>("PFX", kPFXFields);
constinit const TypeDesc kMacData = SequenceType<PKIMacData>("MacData", kMacDataFields);
constinit const TypeDesc kAuthenticatedSafes =
    ListType<PKIAuthenticatedSafes>("AuthenticatedSafes", kContentInfo, kSeq, false, &kBagListOps);
constinit const TypeDesc kSafeContents =
    ListType<PKISafeContents>("SafeContents", kSafeBag, kSeq, false, &kBagListOps);
constinit const TypeDesc kSafeBag = SequenceType<PKISafeBag>("SafeBag", kSafeBagFields, &kBagOps);
constinit const TypeDesc kCertBag = SequenceType<PKICertBag>("CertBag", kCertBagFields, &kBagOps);
constinit const TypeDesc kCRLBag = SequenceType<PKICRLBag>("CRLBag", kCRLBagFields, &kBagOps);
constinit const TypeDesc kSecretBag = SequenceType<PKISecretBag>("SecretBag", kSecretBagFields, &kBagOps);
constinit const TypeDesc kpkcs_12PbeParams =
    SequenceType<PKIpkcs_12PbeParams>("pkcs-12PbeParams", kpkcs_12PbeParamsFields);

}  // namespace ostrak::pkcs12_asn

#define PKI_PKCS12_ASN_SEQUENCE(T) \
  PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::pkcs12_asn::k##T, kPKITagSequence)
PKI_PKCS12_ASN_SEQUENCE(PFX)
PKI_PKCS12_ASN_SEQUENCE(MacData)
PKI_PKCS12_ASN_SEQUENCE(AuthenticatedSafes)
PKI_PKCS12_ASN_SEQUENCE(SafeContents)
PKI_PKCS12_ASN_SEQUENCE(SafeBag)
PKI_PKCS12_ASN_SEQUENCE(CertBag)
PKI_PKCS12_ASN_SEQUENCE(CRLBag)
PKI_PKCS12_ASN_SEQUENCE(SecretBag)
PKI_PKCS12_ASN_SEQUENCE(pkcs_12PbeParams)

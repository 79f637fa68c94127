// The public codecs of the X.509 module (and the runtime types extensions
// carry) behind one untyped table, for tests and the fuzz target that run
// every type the same way. The order of kCodecs is also the type selector of
// the fuzz inputs (tests/pki/fuzz/make_seeds.py lists the same names):
// append, never reorder.
#ifndef OSTRAK_TESTS_PKI_CERT_ASN_CODECS_H_
#define OSTRAK_TESTS_PKI_CERT_ASN_CODECS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pki/cert_asn.h"

namespace cert_asn_codecs {

struct Codec {
  const char* name;
  uint32_t (*unpack)(PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen, int32_t* err);
  uint32_t (*size)(PKICONTEXT* ctx, void* rec);  // with the tag
  uint32_t (*pack)(PKICONTEXT* ctx, uint8_t* out, uint32_t outLen, void* rec, int32_t* err);
  void (*free)(PKICONTEXT* ctx, void* rec);
};

template <class R, uint32_t (*U)(PKICONTEXT*, R**, const uint8_t*, uint32_t, int32_t*),
          uint32_t (*S)(PKICONTEXT*, R*, int), uint32_t (*P)(PKICONTEXT*, uint8_t*, uint32_t, R*, int32_t*),
          void (*F)(PKICONTEXT*, R*)>
struct Typed {
  static uint32_t Unpack(PKICONTEXT* c, void** out, const uint8_t* in, uint32_t n, int32_t* e) {
    R* r = nullptr;
    uint32_t k = U(c, &r, in, n, e);
    *out = r;
    return k;
  }
  static uint32_t Size(PKICONTEXT* c, void* r) { return S(c, static_cast<R*>(r), 1); }
  static uint32_t Pack(PKICONTEXT* c, uint8_t* o, uint32_t n, void* r, int32_t* e) {
    return P(c, o, n, static_cast<R*>(r), e);
  }
  static void Free(PKICONTEXT* c, void* r) { F(c, static_cast<R*>(r)); }
};

#define CERT_ASN_CODEC_OF(T, R, U, S, P, F) \
  Codec { #T, Typed<R, U, S, P, F>::Unpack, Typed<R, U, S, P, F>::Size, Typed<R, U, S, P, F>::Pack, Typed<R, U, S, P, F>::Free }
#define CERT_ASN_CODEC(T) CERT_ASN_CODEC_OF(T, PKI##T, PKIUnpack##T, PKISizeof##T, PKIPack##T, PKIFree##T)
#define CERT_ASN_BLOCK_CODEC(T) \
  CERT_ASN_CODEC_OF(T, PKIVariableBlock, PKIUnpack##T, PKISizeof##T, PKIPack##T, PKIFreeVariableBlock)

// ENUMERATED (reasonCode) is an INTEGER under tag 10.
inline constexpr uint8_t kTagEnumerated = 0x0A;
inline uint32_t UnpackEnumerated(PKICONTEXT* c, PKIINTEGER** out, const uint8_t* in, uint32_t n, int32_t* e) {
  uint32_t k = PKIUnpackINTEGERInternal(c, out, in, n, kTagEnumerated, e);
  if (e != nullptr && *e == 0 && k == 0) *e = kPKIErrLeftover;
  return k;
}
inline uint32_t PackEnumerated(PKICONTEXT* c, uint8_t* o, uint32_t n, PKIINTEGER* r, int32_t* e) {
  return PKIPackINTEGERInternal(c, o, n, r, kTagEnumerated, e);
}

inline const Codec kCodecs[] = {
    CERT_ASN_CODEC(Certificate), CERT_ASN_CODEC(TBSCertificate), CERT_ASN_CODEC(XCertificate),
    CERT_ASN_CODEC(CertificateList), CERT_ASN_CODEC(TBSCertList), CERT_ASN_CODEC(RevokedCertificates),
    CERT_ASN_CODEC(RevokedCertificate), CERT_ASN_CODEC(Extensions), CERT_ASN_CODEC(Extension),
    CERT_ASN_CODEC(CertificationRequest), CERT_ASN_CODEC(CertificationRequestInfo),
    CERT_ASN_CODEC(AlgorithmIdentifier), CERT_ASN_CODEC(SubjectPublicKeyInfo), CERT_ASN_CODEC(Validity),
    CERT_ASN_CODEC(Time), CERT_ASN_CODEC(Name), CERT_ASN_CODEC(RDNSequence),
    CERT_ASN_CODEC(RelativeDistinguishedName), CERT_ASN_CODEC(AttributeTypeAndValue),
    CERT_ASN_CODEC(DirectoryString), CERT_ASN_CODEC(Attribute), CERT_ASN_CODEC(values_SET_OF),
    CERT_ASN_CODEC(Attributes), CERT_ASN_CODEC(RSAKey), CERT_ASN_CODEC(Dss_Parms), CERT_ASN_CODEC(Dss_Sig_Value),
    CERT_ASN_CODEC(DomainParameters), CERT_ASN_CODEC(ValidationParms), CERT_ASN_CODEC(GeneralName),
    CERT_ASN_CODEC(GeneralNames), CERT_ASN_CODEC(AnotherName), CERT_ASN_CODEC(EDIPartyName),
    CERT_ASN_CODEC(BasicConstraints), CERT_ASN_CODEC(ExtKeyUsageSyntax), CERT_ASN_CODEC(PolicyConstraints),
    CERT_ASN_CODEC(PolicyMappings), CERT_ASN_CODEC(PolicyMappings_SEQUENCE), CERT_ASN_CODEC(PrivateKeyUsagePeriod),
    CERT_ASN_CODEC(CertificatePolicies), CERT_ASN_CODEC(PolicyInformation), CERT_ASN_CODEC(policyQualifiers_SEQ_OF),
    CERT_ASN_CODEC(PolicyQualifierInfo), CERT_ASN_CODEC(UserNotice), CERT_ASN_CODEC(NoticeReference),
    CERT_ASN_CODEC(noticeNumbers_SEQ_OF), CERT_ASN_CODEC(DisplayText), CERT_ASN_CODEC(SubjectDirectoryAttributes),
    CERT_ASN_CODEC(AuthorityKeyIdentifier), CERT_ASN_CODEC(AuthorityInfoAccessSyntax),
    CERT_ASN_CODEC(AccessDescription), CERT_ASN_CODEC(NameConstraints), CERT_ASN_CODEC(GeneralSubtrees),
    CERT_ASN_CODEC(GeneralSubtree), CERT_ASN_CODEC(CRLDistPointsSyntax), CERT_ASN_CODEC(DistributionPoint),
    CERT_ASN_CODEC(DistributionPointName), CERT_ASN_CODEC(IssuingDistributionPoint),
    // Runtime types that extension values are.
    CERT_ASN_BLOCK_CODEC(OCTET_STRING), CERT_ASN_CODEC(BIT_STRING), CERT_ASN_BLOCK_CODEC(INTEGER),
    CERT_ASN_BLOCK_CODEC(OBJECT_ID), CERT_ASN_BLOCK_CODEC(GeneralizedTime),
    CERT_ASN_CODEC_OF(ENUMERATED, PKIINTEGER, UnpackEnumerated, PKISizeofINTEGER, PackEnumerated,
                      PKIFreeVariableBlock),
};
inline constexpr size_t kCodecCount = sizeof kCodecs / sizeof kCodecs[0];

inline const Codec* CodecNamed(const char* name) {
  for (const Codec& c : kCodecs)
    if (std::strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

// The type of an extension's value, by the content octets of its OID.
struct ExtensionType {
  const char* oid;  // content octets, hex
  const char* codec;
};
inline const ExtensionType kExtensionTypes[] = {
    {"551D09", "SubjectDirectoryAttributes"},
    {"551D0E", "OCTET_STRING"},  // subjectKeyIdentifier
    {"551D0F", "BIT_STRING"},    // keyUsage
    {"551D10", "PrivateKeyUsagePeriod"},
    {"551D11", "GeneralNames"},  // subjectAltName
    {"551D12", "GeneralNames"},  // issuerAltName
    {"551D13", "BasicConstraints"},
    {"551D14", "INTEGER"},          // cRLNumber
    {"551D15", "ENUMERATED"},       // reasonCode
    {"551D17", "OBJECT_ID"},        // holdInstructionCode
    {"551D18", "GeneralizedTime"},  // invalidityDate
    {"551D1B", "INTEGER"},          // deltaCRLIndicator
    {"551D1C", "IssuingDistributionPoint"},
    {"551D1D", "GeneralNames"},  // certificateIssuer
    {"551D1E", "NameConstraints"},
    {"551D1F", "CRLDistPointsSyntax"},
    {"551D20", "CertificatePolicies"},
    {"551D21", "PolicyMappings"},
    {"551D23", "AuthorityKeyIdentifier"},
    {"551D24", "PolicyConstraints"},
    {"551D25", "ExtKeyUsageSyntax"},
    {"551D2E", "CRLDistPointsSyntax"},  // freshestCRL
    {"2B06010505070101", "AuthorityInfoAccessSyntax"},
};

}  // namespace cert_asn_codecs

#endif  // OSTRAK_TESTS_PKI_CERT_ASN_CODECS_H_

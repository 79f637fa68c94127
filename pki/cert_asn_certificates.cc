// The certificate-level types of the X.509 module (pki/cert_asn.h):
// descriptors and operations of certificates, CRLs, requests, names,
// attributes, extensions as containers, keys and parameters.
#include "pki/cert_asn.h"

namespace ostrak::cert_asn {

using namespace ::ostrak::asn;

namespace {

constexpr uint8_t kSeq = kPKITagSequence;
constexpr uint8_t kSet = kPKITagSet;

constexpr Field kCertificateFields[] = {
    PKI_ASN_FIELD(PKICertificate, tbsCertificate, kTBSCertificate, kSeq),
    PKI_ASN_FIELD(PKICertificate, signatureAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKICertificate, signature, kBitString, kPKITagBitString),
};

constexpr Field kTBSCertificateFields[] = {
    PKI_ASN_OPTIONAL_EXPLICIT(PKITBSCertificate, version, kInteger, 0, kPKITagInteger),
    PKI_ASN_FIELD(PKITBSCertificate, serialNumber, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKITBSCertificate, signature, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKITBSCertificate, issuer, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKITBSCertificate, validity, kValidity, kSeq),
    PKI_ASN_FIELD(PKITBSCertificate, subject, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKITBSCertificate, subjectPublicKeyInfo, kSubjectPublicKeyInfo, kSeq),
    PKI_ASN_OPTIONAL(PKITBSCertificate, issuerUniqueID, kBitString, kPKIContext | 1),
    PKI_ASN_OPTIONAL(PKITBSCertificate, subjectUniqueID, kBitString, kPKIContext | 2),
    PKI_ASN_OPTIONAL_EXPLICIT(PKITBSCertificate, extensions, kExtensions, 3, kSeq),
};

constexpr Field kXCertificateFields[] = {
    PKI_ASN_FIELD(PKIXCertificate, tbsCertificate, kAny, kPKITagAny),
    PKI_ASN_FIELD(PKIXCertificate, signatureAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKIXCertificate, signature, kBitString, kPKITagBitString),
};

constexpr Field kCertificateListFields[] = {
    PKI_ASN_FIELD(PKICertificateList, tbsCertList, kTBSCertList, kSeq),
    PKI_ASN_FIELD(PKICertificateList, signatureAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKICertificateList, signature, kBitString, kPKITagBitString),
};

constexpr Field kTBSCertListFields[] = {
    PKI_ASN_OPTIONAL(PKITBSCertList, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKITBSCertList, signature, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKITBSCertList, issuer, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKITBSCertList, thisUpdate, kTime, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKITBSCertList, nextUpdate, kTime, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKITBSCertList, revokedCertificates, kRevokedCertificates, kSeq),
    PKI_ASN_OPTIONAL_EXPLICIT(PKITBSCertList, crlExtensions, kExtensions, 0, kSeq),
};

constexpr Field kRevokedCertificateFields[] = {
    PKI_ASN_FIELD(PKIRevokedCertificate, userCertificate, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIRevokedCertificate, revocationDate, kTime, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKIRevokedCertificate, crlEntryExtensions, kExtensions, kSeq),
};

constexpr Field kExtensionFields[] = {
    PKI_ASN_FIELD(PKIExtension, extnID, kObjectId, kPKITagObjectId),
    PKI_ASN_OPTIONAL(PKIExtension, critical, kBoolean, kPKITagBoolean),
    PKI_ASN_FIELD(PKIExtension, extnValue, kOctetString, kPKITagOctetString),
};

constexpr Field kCertificationRequestFields[] = {
    PKI_ASN_FIELD(PKICertificationRequest, certificationRequestInfo, kCertificationRequestInfo, kSeq),
    PKI_ASN_FIELD(PKICertificationRequest, signatureAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKICertificationRequest, signature, kBitString, kPKITagBitString),
};

constexpr Field kCertificationRequestInfoFields[] = {
    PKI_ASN_FIELD(PKICertificationRequestInfo, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKICertificationRequestInfo, subject, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKICertificationRequestInfo, subjectPKInfo, kSubjectPublicKeyInfo, kSeq),
    PKI_ASN_FIELD(PKICertificationRequestInfo, attributes, kAttributes, kPKIContext | 0),
};

constexpr Field kAlgorithmIdentifierFields[] = {
    PKI_ASN_FIELD(PKIAlgorithmIdentifier, algorithm, kObjectId, kPKITagObjectId),
    PKI_ASN_OPTIONAL(PKIAlgorithmIdentifier, parameters, kAny, kPKITagAny),
};

constexpr Field kSubjectPublicKeyInfoFields[] = {
    PKI_ASN_FIELD(PKISubjectPublicKeyInfo, algorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKISubjectPublicKeyInfo, subjectPublicKey, kBitString, kPKITagBitString),
};

constexpr Field kValidityFields[] = {
    PKI_ASN_FIELD(PKIValidity, notBefore, kTime, kPKITagChoice),
    PKI_ASN_FIELD(PKIValidity, notAfter, kTime, kPKITagChoice),
};

constexpr uint8_t kConstructedUTCTime = kPKITagUTCTime | kPKIConstructed;
constexpr uint8_t kConstructedGeneralizedTime = kPKITagGeneralizedTime | kPKIConstructed;

constexpr Alternative kTimeAlternatives[] = {
    {&kUTCTime, kPKITagUTCTime, 0, {kPKITagUTCTime, kConstructedUTCTime}},
    {&kGeneralizedTime, kPKITagGeneralizedTime, 0, {kPKITagGeneralizedTime, kConstructedGeneralizedTime}},
};

constexpr Alternative kNameAlternatives[] = {
    {&kRDNSequence, kSeq, 0, {kSeq, kSeq | kPKIConstructed}},
};

constexpr Field kAttributeTypeAndValueFields[] = {
    PKI_ASN_FIELD(PKIAttributeTypeAndValue, type, kObjectId, kPKITagObjectId),
    PKI_ASN_FIELD(PKIAttributeTypeAndValue, value, kAny, kPKITagAny),
};

// An alternative coded by a string codec under its own universal tag,
// selected by the primitive and the constructed form of that tag.
constexpr Alternative StringAlternative(const TypeDesc& type, uint8_t tag) {
  return {&type, tag, 0, {tag, static_cast<uint8_t>(tag | kPKIConstructed)}};
}

constexpr Alternative kDirectoryStringAlternatives[] = {
    StringAlternative(kT61String, kPKITagT61String),
    StringAlternative(kPrintableString, kPKITagPrintableString),
    StringAlternative(kUniversalString, kPKITagUniversalString),
    StringAlternative(kUTF8String, kPKITagUTF8String),
    StringAlternative(kBMPString, kPKITagBMPString),
};

constexpr Field kAttributeFields[] = {
    PKI_ASN_FIELD(PKIAttribute, type, kObjectId, kPKITagObjectId),
    PKI_ASN_FIELD(PKIAttribute, values, kvalues_SET_OF, kSet),
};

constexpr Field kRSAKeyFields[] = {
    PKI_ASN_FIELD(PKIRSAKey, modulus, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIRSAKey, publicExponent, kInteger, kPKITagInteger),
};

constexpr Field kDss_ParmsFields[] = {
    PKI_ASN_FIELD(PKIDss_Parms, p, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIDss_Parms, q, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIDss_Parms, g, kInteger, kPKITagInteger),
};

constexpr Field kDss_Sig_ValueFields[] = {
    PKI_ASN_FIELD(PKIDss_Sig_Value, r, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIDss_Sig_Value, s, kInteger, kPKITagInteger),
};

constexpr Field kDomainParametersFields[] = {
    PKI_ASN_FIELD(PKIDomainParameters, p, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIDomainParameters, g, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIDomainParameters, q, kInteger, kPKITagInteger),
    PKI_ASN_OPTIONAL(PKIDomainParameters, j, kInteger, kPKITagInteger),
    PKI_ASN_OPTIONAL(PKIDomainParameters, validationParms, kValidationParms, kSeq),
};

constexpr Field kValidationParmsFields[] = {
    PKI_ASN_FIELD(PKIValidationParms, seed, kBitString, kPKITagBitString),
    PKI_ASN_FIELD(PKIValidationParms, pgenCounter, kInteger, kPKITagInteger),
};

}  // namespace

constinit const TypeDesc kCertificate = SequenceType<PKICertificate>("Certificate", kCertificateFields);
constinit const TypeDesc kTBSCertificate = SequenceType<PKITBSCertificate>("TBSCertificate", kTBSCertificateFields);
constinit const TypeDesc kXCertificate = SequenceType<PKIXCertificate>("XCertificate", kXCertificateFields);
constinit const TypeDesc kCertificateList =
    SequenceType<PKICertificateList>("CertificateList", kCertificateListFields);
constinit const TypeDesc kTBSCertList = SequenceType<PKITBSCertList>("TBSCertList", kTBSCertListFields);
constinit const TypeDesc kRevokedCertificates =
    ListType<PKIRevokedCertificates>("RevokedCertificates", kRevokedCertificate, kSeq, false);
constinit const TypeDesc kRevokedCertificate =
    SequenceType<PKIRevokedCertificate>("RevokedCertificate", kRevokedCertificateFields);
constinit const TypeDesc kExtensions = ListType<PKIExtensions>("Extensions", kExtension, kSeq, false);
constinit const TypeDesc kExtension = SequenceType<PKIExtension>("Extension", kExtensionFields);
constinit const TypeDesc kCertificationRequest =
    SequenceType<PKICertificationRequest>("CertificationRequest", kCertificationRequestFields);
constinit const TypeDesc kCertificationRequestInfo =
    SequenceType<PKICertificationRequestInfo>("CertificationRequestInfo", kCertificationRequestInfoFields);
constinit const TypeDesc kAlgorithmIdentifier =
    SequenceType<PKIAlgorithmIdentifier>("AlgorithmIdentifier", kAlgorithmIdentifierFields);
constinit const TypeDesc kSubjectPublicKeyInfo =
    SequenceType<PKISubjectPublicKeyInfo>("SubjectPublicKeyInfo", kSubjectPublicKeyInfoFields);
constinit const TypeDesc kValidity = SequenceType<PKIValidity>("Validity", kValidityFields);
constinit const TypeDesc kTime = ChoiceType<PKITime>("Time", kTimeAlternatives);
constinit const TypeDesc kName = ChoiceType<PKIName>("Name", kNameAlternatives);
constinit const TypeDesc kRDNSequence =
    ListType<PKIRDNSequence>("RDNSequence", kRelativeDistinguishedName, kSet, false);
constinit const TypeDesc kRelativeDistinguishedName = ListType<PKIRelativeDistinguishedName>(
    "RelativeDistinguishedName", kAttributeTypeAndValue, kSeq, true);
constinit const TypeDesc kAttributeTypeAndValue =
    SequenceType<PKIAttributeTypeAndValue>("AttributeTypeAndValue", kAttributeTypeAndValueFields);
constinit const TypeDesc kDirectoryString =
    ChoiceType<PKIDirectoryString>("DirectoryString", kDirectoryStringAlternatives);
constinit const TypeDesc kAttribute = SequenceType<PKIAttribute>("Attribute", kAttributeFields);
constinit const TypeDesc kvalues_SET_OF = ListType<PKIvalues_SET_OF>("values_SET_OF", kAny, kPKITagAny, true);
constinit const TypeDesc kAttributes = ListType<PKIAttributes>("Attributes", kAttribute, kSeq, true);
constinit const TypeDesc kRSAKey = SequenceType<PKIRSAKey>("RSAKey", kRSAKeyFields);
constinit const TypeDesc kDss_Parms = SequenceType<PKIDss_Parms>("Dss_Parms", kDss_ParmsFields);
constinit const TypeDesc kDss_Sig_Value = SequenceType<PKIDss_Sig_Value>("Dss_Sig_Value", kDss_Sig_ValueFields);
constinit const TypeDesc kDomainParameters =
    SequenceType<PKIDomainParameters>("DomainParameters", kDomainParametersFields);
constinit const TypeDesc kValidationParms =
    SequenceType<PKIValidationParms>("ValidationParms", kValidationParmsFields);

}  // namespace ostrak::cert_asn

#define PKI_CERT_ASN_SEQUENCE(T) \
  PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::cert_asn::k##T, kPKITagSequence)
#define PKI_CERT_ASN_SET_OF(T) PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::cert_asn::k##T, kPKITagSet)
#define PKI_CERT_ASN_CHOICE(T) PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::cert_asn::k##T, kPKITagChoice)

PKI_CERT_ASN_SEQUENCE(Certificate)
PKI_CERT_ASN_SEQUENCE(TBSCertificate)
PKI_CERT_ASN_SEQUENCE(XCertificate)
PKI_CERT_ASN_SEQUENCE(CertificateList)
PKI_CERT_ASN_SEQUENCE(TBSCertList)
PKI_CERT_ASN_SEQUENCE(RevokedCertificates)
PKI_CERT_ASN_SEQUENCE(RevokedCertificate)
PKI_CERT_ASN_SEQUENCE(Extensions)
PKI_CERT_ASN_SEQUENCE(Extension)
PKI_CERT_ASN_SEQUENCE(CertificationRequest)
PKI_CERT_ASN_SEQUENCE(CertificationRequestInfo)
PKI_CERT_ASN_SEQUENCE(AlgorithmIdentifier)
PKI_CERT_ASN_SEQUENCE(SubjectPublicKeyInfo)
PKI_CERT_ASN_SEQUENCE(Validity)
PKI_CERT_ASN_CHOICE(Time)
PKI_CERT_ASN_CHOICE(Name)
PKI_CERT_ASN_SEQUENCE(RDNSequence)
PKI_CERT_ASN_SET_OF(RelativeDistinguishedName)
PKI_CERT_ASN_SEQUENCE(AttributeTypeAndValue)
PKI_CERT_ASN_CHOICE(DirectoryString)
PKI_CERT_ASN_SEQUENCE(Attribute)
PKI_CERT_ASN_SET_OF(values_SET_OF)
PKI_CERT_ASN_SET_OF(Attributes)
PKI_CERT_ASN_SEQUENCE(RSAKey)
PKI_CERT_ASN_SEQUENCE(Dss_Parms)
PKI_CERT_ASN_SEQUENCE(Dss_Sig_Value)
PKI_CERT_ASN_SEQUENCE(DomainParameters)
PKI_CERT_ASN_SEQUENCE(ValidationParms)

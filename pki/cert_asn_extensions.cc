// The extension-value types of the X.509 module (pki/cert_asn.h):
// descriptors and operations of general names, constraints, policies, key
// identifiers, access descriptions, name constraints and distribution
// points.
#include "pki/cert_asn.h"

namespace ostrak::cert_asn {

using namespace ::ostrak::asn;

namespace {

constexpr uint8_t kSeq = kPKITagSequence;

constexpr uint8_t Implicit(uint8_t n) { return static_cast<uint8_t>(kPKIContext | n); }
constexpr uint8_t ImplicitConstructed(uint8_t n) { return static_cast<uint8_t>(kPKIContextConstructed | n); }

// An [n] IMPLICIT alternative, selected by the primitive and the
// constructed form of its tag (a constructed type refuses the primitive one
// when it decodes).
constexpr Alternative ImplicitAlternative(const TypeDesc& type, uint8_t n) {
  return {&type, Implicit(n), 0, {Implicit(n), ImplicitConstructed(n)}};
}

constexpr Alternative kGeneralNameAlternatives[] = {
    ImplicitAlternative(kAnotherName, 0),  // otherName
    ImplicitAlternative(kIA5String, 1),    // rfc822Name
    ImplicitAlternative(kIA5String, 2),    // dNSName
    // directoryName: [4] EXPLICIT Name, the wrapper only in constructed form.
    {&kName, kPKITagChoice, ImplicitConstructed(4), {ImplicitConstructed(4), 0}},
    ImplicitAlternative(kEDIPartyName, 5),  // ediPartyName
    ImplicitAlternative(kIA5String, 6),     // uniformResourceIdentifier
    ImplicitAlternative(kOctetString, 7),   // iPAddress
    {&kObjectId, Implicit(8), 0, {Implicit(8), 0}},  // registeredID, primitive only
};

constexpr Field kAnotherNameFields[] = {
    PKI_ASN_FIELD(PKIAnotherName, type_id, kObjectId, kPKITagObjectId),
    PKI_ASN_EXPLICIT(PKIAnotherName, value, kAny, 0, kPKITagAny),
};

constexpr Field kEDIPartyNameFields[] = {
    PKI_ASN_OPTIONAL_EXPLICIT(PKIEDIPartyName, nameAssigner, kDirectoryString, 0, kPKITagChoice),
    PKI_ASN_EXPLICIT(PKIEDIPartyName, partyName, kDirectoryString, 1, kPKITagChoice),
};

constexpr Field kBasicConstraintsFields[] = {
    PKI_ASN_OPTIONAL(PKIBasicConstraints, cA, kBoolean, kPKITagBoolean),
    PKI_ASN_OPTIONAL(PKIBasicConstraints, pathLenConstraint, kInteger, kPKITagInteger),
};

constexpr Field kPolicyConstraintsFields[] = {
    PKI_ASN_OPTIONAL(PKIPolicyConstraints, requireExplicitPolicy, kInteger, Implicit(0)),
    PKI_ASN_OPTIONAL(PKIPolicyConstraints, inhibitPolicyMapping, kInteger, Implicit(1)),
};

constexpr Field kPolicyMappings_SEQUENCEFields[] = {
    PKI_ASN_FIELD(PKIPolicyMappings_SEQUENCE, issuerDomainPolicy, kObjectId, kPKITagObjectId),
    PKI_ASN_FIELD(PKIPolicyMappings_SEQUENCE, subjectDomainPolicy, kObjectId, kPKITagObjectId),
};

constexpr Field kPrivateKeyUsagePeriodFields[] = {
    PKI_ASN_OPTIONAL(PKIPrivateKeyUsagePeriod, notBefore, kGeneralizedTime, Implicit(0)),
    PKI_ASN_OPTIONAL(PKIPrivateKeyUsagePeriod, notAfter, kGeneralizedTime, Implicit(1)),
};

constexpr Field kPolicyInformationFields[] = {
    PKI_ASN_FIELD(PKIPolicyInformation, policyIdentifier, kObjectId, kPKITagObjectId),
    PKI_ASN_OPTIONAL(PKIPolicyInformation, policyQualifiers, kpolicyQualifiers_SEQ_OF, kSeq),
};

constexpr Field kPolicyQualifierInfoFields[] = {
    PKI_ASN_FIELD(PKIPolicyQualifierInfo, policyQualifierId, kObjectId, kPKITagObjectId),
    PKI_ASN_FIELD(PKIPolicyQualifierInfo, qualifier, kAny, kPKITagAny),
};

constexpr Field kUserNoticeFields[] = {
    PKI_ASN_OPTIONAL(PKIUserNotice, noticeRef, kNoticeReference, kSeq),
    PKI_ASN_OPTIONAL(PKIUserNotice, explicitText, kDisplayText, kPKITagChoice),
};

constexpr Field kNoticeReferenceFields[] = {
    PKI_ASN_FIELD(PKINoticeReference, organization, kDisplayText, kPKITagChoice),
    PKI_ASN_FIELD(PKINoticeReference, noticeNumbers, knoticeNumbers_SEQ_OF, kSeq),
};

constexpr Alternative StringAlternative(const TypeDesc& type, uint8_t tag) {
  return {&type, tag, 0, {tag, static_cast<uint8_t>(tag | kPKIConstructed)}};
}

constexpr Alternative kDisplayTextAlternatives[] = {
    StringAlternative(kVisibleString, kPKITagVisibleString),
    StringAlternative(kBMPString, kPKITagBMPString),
    StringAlternative(kUTF8String, kPKITagUTF8String),
};

constexpr Field kAuthorityKeyIdentifierFields[] = {
    PKI_ASN_OPTIONAL(PKIAuthorityKeyIdentifier, keyIdentifier, kOctetString, Implicit(0)),
    PKI_ASN_OPTIONAL(PKIAuthorityKeyIdentifier, authorityCertIssuer, kGeneralNames, Implicit(1)),
    PKI_ASN_OPTIONAL(PKIAuthorityKeyIdentifier, authorityCertSerialNumber, kInteger, Implicit(2)),
};

constexpr Field kAccessDescriptionFields[] = {
    PKI_ASN_FIELD(PKIAccessDescription, accessMethod, kObjectId, kPKITagObjectId),
    PKI_ASN_FIELD(PKIAccessDescription, accessLocation, kGeneralName, kPKITagChoice),
};

constexpr Field kNameConstraintsFields[] = {
    PKI_ASN_OPTIONAL(PKINameConstraints, permittedSubtrees, kGeneralSubtrees, Implicit(0)),
    PKI_ASN_OPTIONAL(PKINameConstraints, excludedSubtrees, kGeneralSubtrees, Implicit(1)),
};

constexpr Field kGeneralSubtreeFields[] = {
    PKI_ASN_FIELD(PKIGeneralSubtree, base, kGeneralName, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKIGeneralSubtree, minimum, kInteger, Implicit(0)),
    PKI_ASN_OPTIONAL(PKIGeneralSubtree, maximum, kInteger, Implicit(1)),
};

constexpr Field kDistributionPointFields[] = {
    PKI_ASN_OPTIONAL_EXPLICIT(PKIDistributionPoint, distributionPoint, kDistributionPointName, 0, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKIDistributionPoint, reasons, kBitString, Implicit(1)),
    PKI_ASN_OPTIONAL(PKIDistributionPoint, cRLIssuer, kGeneralNames, Implicit(2)),
};

constexpr Alternative kDistributionPointNameAlternatives[] = {
    ImplicitAlternative(kGeneralNames, 0),               // fullName
    ImplicitAlternative(kRelativeDistinguishedName, 1),  // nameRelativeToCRLIssuer
};

constexpr Field kIssuingDistributionPointFields[] = {
    PKI_ASN_OPTIONAL_EXPLICIT(PKIIssuingDistributionPoint, distributionPoint, kDistributionPointName, 0,
                              kPKITagChoice),
    PKI_ASN_OPTIONAL(PKIIssuingDistributionPoint, onlyContainsUserCerts, kBoolean, Implicit(1)),
    PKI_ASN_OPTIONAL(PKIIssuingDistributionPoint, onlyContainsCACerts, kBoolean, Implicit(2)),
    PKI_ASN_OPTIONAL(PKIIssuingDistributionPoint, onlySomeReasons, kBitString, Implicit(3)),
    PKI_ASN_OPTIONAL(PKIIssuingDistributionPoint, indirectCRL, kBoolean, Implicit(4)),
};

}  // namespace

constinit const TypeDesc kGeneralName = ChoiceType<PKIGeneralName>("GeneralName", kGeneralNameAlternatives);
constinit const TypeDesc kGeneralNames =
    ListType<PKIGeneralNames>("GeneralNames", kGeneralName, kPKITagChoice, false);
constinit const TypeDesc kAnotherName = SequenceType<PKIAnotherName>("AnotherName", kAnotherNameFields);
constinit const TypeDesc kEDIPartyName = SequenceType<PKIEDIPartyName>("EDIPartyName", kEDIPartyNameFields);
constinit const TypeDesc kBasicConstraints =
    SequenceType<PKIBasicConstraints>("BasicConstraints", kBasicConstraintsFields);
constinit const TypeDesc kExtKeyUsageSyntax =
    ListType<PKIExtKeyUsageSyntax>("ExtKeyUsageSyntax", kObjectId, kPKITagObjectId, false);
constinit const TypeDesc kPolicyConstraints =
    SequenceType<PKIPolicyConstraints>("PolicyConstraints", kPolicyConstraintsFields);
constinit const TypeDesc kPolicyMappings =
    ListType<PKIPolicyMappings>("PolicyMappings", kPolicyMappings_SEQUENCE, kSeq, false);
constinit const TypeDesc kPolicyMappings_SEQUENCE =
    SequenceType<PKIPolicyMappings_SEQUENCE>("PolicyMappings_SEQUENCE", kPolicyMappings_SEQUENCEFields);
constinit const TypeDesc kPrivateKeyUsagePeriod =
    SequenceType<PKIPrivateKeyUsagePeriod>("PrivateKeyUsagePeriod", kPrivateKeyUsagePeriodFields);
constinit const TypeDesc kCertificatePolicies =
    ListType<PKICertificatePolicies>("CertificatePolicies", kPolicyInformation, kSeq, false);
constinit const TypeDesc kPolicyInformation =
    SequenceType<PKIPolicyInformation>("PolicyInformation", kPolicyInformationFields);
constinit const TypeDesc kpolicyQualifiers_SEQ_OF =
    ListType<PKIpolicyQualifiers_SEQ_OF>("policyQualifiers_SEQ_OF", kPolicyQualifierInfo, kSeq, false);
constinit const TypeDesc kPolicyQualifierInfo =
    SequenceType<PKIPolicyQualifierInfo>("PolicyQualifierInfo", kPolicyQualifierInfoFields);
constinit const TypeDesc kUserNotice = SequenceType<PKIUserNotice>("UserNotice", kUserNoticeFields);
constinit const TypeDesc kNoticeReference =
    SequenceType<PKINoticeReference>("NoticeReference", kNoticeReferenceFields);
constinit const TypeDesc knoticeNumbers_SEQ_OF =
    ListType<PKInoticeNumbers_SEQ_OF>("noticeNumbers_SEQ_OF", kInteger, kPKITagInteger, false);
constinit const TypeDesc kDisplayText = ChoiceType<PKIDisplayText>("DisplayText", kDisplayTextAlternatives);
constinit const TypeDesc kSubjectDirectoryAttributes =
    ListType<PKISubjectDirectoryAttributes>("SubjectDirectoryAttributes", kAttribute, kSeq, false);
constinit const TypeDesc kAuthorityKeyIdentifier =
    SequenceType<PKIAuthorityKeyIdentifier>("AuthorityKeyIdentifier", kAuthorityKeyIdentifierFields);
constinit const TypeDesc kAuthorityInfoAccessSyntax =
    ListType<PKIAuthorityInfoAccessSyntax>("AuthorityInfoAccessSyntax", kAccessDescription, kSeq, false);
constinit const TypeDesc kAccessDescription =
    SequenceType<PKIAccessDescription>("AccessDescription", kAccessDescriptionFields);
constinit const TypeDesc kNameConstraints =
    SequenceType<PKINameConstraints>("NameConstraints", kNameConstraintsFields);
constinit const TypeDesc kGeneralSubtrees =
    ListType<PKIGeneralSubtrees>("GeneralSubtrees", kGeneralSubtree, kSeq, false);
constinit const TypeDesc kGeneralSubtree = SequenceType<PKIGeneralSubtree>("GeneralSubtree", kGeneralSubtreeFields);
constinit const TypeDesc kCRLDistPointsSyntax =
    ListType<PKICRLDistPointsSyntax>("CRLDistPointsSyntax", kDistributionPoint, kSeq, false);
constinit const TypeDesc kDistributionPoint =
    SequenceType<PKIDistributionPoint>("DistributionPoint", kDistributionPointFields);
constinit const TypeDesc kDistributionPointName =
    ChoiceType<PKIDistributionPointName>("DistributionPointName", kDistributionPointNameAlternatives);
constinit const TypeDesc kIssuingDistributionPoint =
    SequenceType<PKIIssuingDistributionPoint>("IssuingDistributionPoint", kIssuingDistributionPointFields);

}  // namespace ostrak::cert_asn

#define PKI_CERT_ASN_SEQUENCE(T) \
  PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::cert_asn::k##T, kPKITagSequence)
#define PKI_CERT_ASN_CHOICE(T) PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::cert_asn::k##T, kPKITagChoice)

PKI_CERT_ASN_CHOICE(GeneralName)
PKI_CERT_ASN_SEQUENCE(GeneralNames)
PKI_CERT_ASN_SEQUENCE(AnotherName)
PKI_CERT_ASN_SEQUENCE(EDIPartyName)
PKI_CERT_ASN_SEQUENCE(BasicConstraints)
PKI_CERT_ASN_SEQUENCE(ExtKeyUsageSyntax)
PKI_CERT_ASN_SEQUENCE(PolicyConstraints)
PKI_CERT_ASN_SEQUENCE(PolicyMappings)
PKI_CERT_ASN_SEQUENCE(PolicyMappings_SEQUENCE)
PKI_CERT_ASN_SEQUENCE(PrivateKeyUsagePeriod)
PKI_CERT_ASN_SEQUENCE(CertificatePolicies)
PKI_CERT_ASN_SEQUENCE(PolicyInformation)
PKI_CERT_ASN_SEQUENCE(policyQualifiers_SEQ_OF)
PKI_CERT_ASN_SEQUENCE(PolicyQualifierInfo)
PKI_CERT_ASN_SEQUENCE(UserNotice)
PKI_CERT_ASN_SEQUENCE(NoticeReference)
PKI_CERT_ASN_SEQUENCE(noticeNumbers_SEQ_OF)
PKI_CERT_ASN_CHOICE(DisplayText)
PKI_CERT_ASN_SEQUENCE(SubjectDirectoryAttributes)
PKI_CERT_ASN_SEQUENCE(AuthorityKeyIdentifier)
PKI_CERT_ASN_SEQUENCE(AuthorityInfoAccessSyntax)
PKI_CERT_ASN_SEQUENCE(AccessDescription)
PKI_CERT_ASN_SEQUENCE(NameConstraints)
PKI_CERT_ASN_SEQUENCE(GeneralSubtrees)
PKI_CERT_ASN_SEQUENCE(GeneralSubtree)
PKI_CERT_ASN_SEQUENCE(CRLDistPointsSyntax)
PKI_CERT_ASN_SEQUENCE(DistributionPoint)
PKI_CERT_ASN_CHOICE(DistributionPointName)
PKI_CERT_ASN_SEQUENCE(IssuingDistributionPoint)

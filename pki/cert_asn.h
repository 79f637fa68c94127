// The X.509 and PKIX module: certificates, CRLs, PKCS #10 requests, names,
// attributes, extensions as containers, public-key and parameter types, and
// the types X.509 v3 certificate and CRL v2 extensions carry inside their
// extnValue (general names, constraints, policies, key identifiers, access
// descriptions, distribution points). 57 types, each with the ten
// operations of the engine (pki/asn_engine.h), prefix PKI:
//   PKINew<T>, PKIFree<T>, PKISizeof<T>, PKIPack<T>, PKIUnpack<T>,
//   PKIPack<T>Internal, PKIUnpkInPlace<T>, PKIUnpack<T>Internal,
//   PKISizeof<T>Internal, PKIDropInPlace<T>.
// The public Pack and Unpack use tag 16 (written 0x30) for SEQUENCE and
// SEQUENCE OF types, 17 (0x31) for the three SET OF types and the CHOICE
// mark for the six CHOICE types.
//
// Records: one field per component, named as in the ASN.1 definitions
// (RFC 2459 appendix A, PKCS #10, RFC 2459 section 7.3 for the key types;
// a hyphen becomes an underscore). Mandatory components are embedded,
// OPTIONAL and DEFAULT ones are pointers, null when absent; DEFAULT values
// are never supplied or dropped by the codecs (a present pointer is always
// written, also when it holds the default). Lists are {count, elements},
// CHOICEs {tag, value}: value points at the record of the alternative the
// tag names. Where the library differs from the RFC:
// - XCertificate keeps the signed part as ANY, byte for byte, so that a
//   signature is checked over exactly the bytes received.
// - Name's selector is 0x10 or 0x30 (RDNSequence); Time's 0x17 / 0x18 or
//   their constructed forms 0x37 / 0x38.
// - DirectoryString and DisplayText carry UTF8String, UniversalString and
//   BMPString as raw bytes (the OCTET STRING codec under their tags), with
//   no check of the character encoding; NoticeReference's organization is
//   a DisplayText.
// - GeneralName has no x400Address (0x83 / 0xA3 are refused, and so is a
//   list holding one); directoryName is 0xA4 around a Name, registeredID
//   0x88 only.
// - Size constraints (SIZE (1..MAX), string bounds) are not enforced.
//
// Ownership and threads: pki/asn_types.h.
#ifndef OSTRAK_PKI_CERT_ASN_H_
#define OSTRAK_PKI_CERT_ASN_H_

#include <cstdint>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"
#include "pki/asn_types.h"

// --- Names and attributes ---

struct PKIAttributeTypeAndValue {
  PKIOBJECT_ID type;
  PKIANY value;
};

// SET OF AttributeTypeAndValue, written in DER order.
struct PKIRelativeDistinguishedName {
  int32_t count;
  PKIAttributeTypeAndValue** elements;
};

struct PKIRDNSequence {
  int32_t count;
  PKIRelativeDistinguishedName** elements;
};

// CHOICE { rdnSequence RDNSequence }: value is a PKIRDNSequence.
struct PKIName {
  uint8_t tag;
  void* value;
};

// CHOICE of T61String (0x14), PrintableString (0x13), UniversalString
// (0x1C), UTF8String (0x0C), BMPString (0x1E): value is a PKIVariableBlock.
struct PKIDirectoryString {
  uint8_t tag;
  void* value;
};

// SET OF ANY, written in DER order.
struct PKIvalues_SET_OF {
  int32_t count;
  PKIANY** elements;
};

struct PKIAttribute {
  PKIOBJECT_ID type;
  PKIvalues_SET_OF values;
};

// SET OF Attribute, written in DER order.
struct PKIAttributes {
  int32_t count;
  PKIAttribute** elements;
};

// --- Algorithms, keys and parameters ---

struct PKIAlgorithmIdentifier {
  PKIOBJECT_ID algorithm;
  PKIANY* parameters;  // whatever element follows the OID, kept whole
};

struct PKISubjectPublicKeyInfo {
  PKIAlgorithmIdentifier algorithm;
  PKIBIT_STRING subjectPublicKey;
};

struct PKIRSAKey {
  PKIINTEGER modulus;
  PKIINTEGER publicExponent;
};

struct PKIDss_Parms {
  PKIINTEGER p;
  PKIINTEGER q;
  PKIINTEGER g;
};

struct PKIDss_Sig_Value {
  PKIINTEGER r;
  PKIINTEGER s;
};

struct PKIValidationParms {
  PKIBIT_STRING seed;
  PKIINTEGER pgenCounter;
};

struct PKIDomainParameters {
  PKIINTEGER p;
  PKIINTEGER g;
  PKIINTEGER q;
  PKIINTEGER* j;
  PKIValidationParms* validationParms;
};

// --- Times and extensions ---

// CHOICE { utcTime UTCTime, generalTime GeneralizedTime }: value is a
// PKIVariableBlock of the characters.
struct PKITime {
  uint8_t tag;
  void* value;
};

struct PKIValidity {
  PKITime notBefore;
  PKITime notAfter;
};

struct PKIExtension {
  PKIOBJECT_ID extnID;
  PKIBOOLEAN* critical;     // DEFAULT FALSE: written whenever set
  PKIOCTET_STRING extnValue;  // the DER of the extension's own type
};

struct PKIExtensions {
  int32_t count;
  PKIExtension** elements;
};

// --- Certificates ---

struct PKITBSCertificate {
  PKIINTEGER* version;  // [0] EXPLICIT, DEFAULT v1: written whenever set
  PKIINTEGER serialNumber;
  PKIAlgorithmIdentifier signature;
  PKIName issuer;
  PKIValidity validity;
  PKIName subject;
  PKISubjectPublicKeyInfo subjectPublicKeyInfo;
  PKIBIT_STRING* issuerUniqueID;   // [1] IMPLICIT
  PKIBIT_STRING* subjectUniqueID;  // [2] IMPLICIT
  PKIExtensions* extensions;       // [3] EXPLICIT
};

struct PKICertificate {
  PKITBSCertificate tbsCertificate;
  PKIAlgorithmIdentifier signatureAlgorithm;
  PKIBIT_STRING signature;
};

struct PKIXCertificate {
  PKIANY tbsCertificate;  // the signed part, byte for byte
  PKIAlgorithmIdentifier signatureAlgorithm;
  PKIBIT_STRING signature;
};

// --- CRLs ---

struct PKIRevokedCertificate {
  PKIINTEGER userCertificate;
  PKITime revocationDate;
  PKIExtensions* crlEntryExtensions;
};

struct PKIRevokedCertificates {
  int32_t count;
  PKIRevokedCertificate** elements;
};

struct PKITBSCertList {
  PKIINTEGER* version;
  PKIAlgorithmIdentifier signature;
  PKIName issuer;
  PKITime thisUpdate;
  PKITime* nextUpdate;
  PKIRevokedCertificates* revokedCertificates;
  PKIExtensions* crlExtensions;  // [0] EXPLICIT
};

struct PKICertificateList {
  PKITBSCertList tbsCertList;
  PKIAlgorithmIdentifier signatureAlgorithm;
  PKIBIT_STRING signature;
};

// --- Requests ---

struct PKICertificationRequestInfo {
  PKIINTEGER version;
  PKIName subject;
  PKISubjectPublicKeyInfo subjectPKInfo;
  PKIAttributes attributes;  // [0] IMPLICIT
};

struct PKICertificationRequest {
  PKICertificationRequestInfo certificationRequestInfo;
  PKIAlgorithmIdentifier signatureAlgorithm;
  PKIBIT_STRING signature;
};

// --- General names ---

struct PKIAnotherName {
  PKIOBJECT_ID type_id;
  PKIANY value;  // [0] EXPLICIT
};

struct PKIEDIPartyName {
  PKIDirectoryString* nameAssigner;  // [0] EXPLICIT
  PKIDirectoryString partyName;      // [1] EXPLICIT
};

// CHOICE, selector -> value:
//   0x80 / 0xA0 otherName                  PKIAnotherName
//   0x81 / 0xA1 rfc822Name                 PKIIA5String
//   0x82 / 0xA2 dNSName                    PKIIA5String
//   0xA4        directoryName              PKIName
//   0x85 / 0xA5 ediPartyName               PKIEDIPartyName
//   0x86 / 0xA6 uniformResourceIdentifier  PKIIA5String
//   0x87 / 0xA7 iPAddress                  PKIOCTET_STRING
//   0x88        registeredID               PKIOBJECT_ID
struct PKIGeneralName {
  uint8_t tag;
  void* value;
};

struct PKIGeneralNames {
  int32_t count;
  PKIGeneralName** elements;
};

// --- Extension values ---

struct PKIBasicConstraints {
  PKIBOOLEAN* cA;  // DEFAULT FALSE: written whenever set
  PKIINTEGER* pathLenConstraint;
};

struct PKIExtKeyUsageSyntax {
  int32_t count;
  PKIOBJECT_ID** elements;
};

struct PKIPolicyConstraints {
  PKIINTEGER* requireExplicitPolicy;  // [0] IMPLICIT
  PKIINTEGER* inhibitPolicyMapping;   // [1] IMPLICIT
};

struct PKIPolicyMappings_SEQUENCE {
  PKIOBJECT_ID issuerDomainPolicy;
  PKIOBJECT_ID subjectDomainPolicy;
};

struct PKIPolicyMappings {
  int32_t count;
  PKIPolicyMappings_SEQUENCE** elements;
};

struct PKIPrivateKeyUsagePeriod {
  PKIGeneralizedTime* notBefore;  // [0] IMPLICIT
  PKIGeneralizedTime* notAfter;   // [1] IMPLICIT
};

struct PKIPolicyQualifierInfo {
  PKIOBJECT_ID policyQualifierId;
  PKIANY qualifier;
};

struct PKIpolicyQualifiers_SEQ_OF {
  int32_t count;
  PKIPolicyQualifierInfo** elements;
};

struct PKIPolicyInformation {
  PKIOBJECT_ID policyIdentifier;
  PKIpolicyQualifiers_SEQ_OF* policyQualifiers;
};

struct PKICertificatePolicies {
  int32_t count;
  PKIPolicyInformation** elements;
};

// CHOICE of VisibleString (0x1A), BMPString (0x1E), UTF8String (0x0C):
// value is a PKIVariableBlock.
struct PKIDisplayText {
  uint8_t tag;
  void* value;
};

struct PKInoticeNumbers_SEQ_OF {
  int32_t count;
  PKIINTEGER** elements;
};

struct PKINoticeReference {
  PKIDisplayText organization;
  PKInoticeNumbers_SEQ_OF noticeNumbers;
};

struct PKIUserNotice {
  PKINoticeReference* noticeRef;
  PKIDisplayText* explicitText;
};

// SEQUENCE OF Attribute, kept in the given order.
struct PKISubjectDirectoryAttributes {
  int32_t count;
  PKIAttribute** elements;
};

struct PKIAuthorityKeyIdentifier {
  PKIOCTET_STRING* keyIdentifier;         // [0] IMPLICIT
  PKIGeneralNames* authorityCertIssuer;   // [1] IMPLICIT
  PKIINTEGER* authorityCertSerialNumber;  // [2] IMPLICIT
};

struct PKIAccessDescription {
  PKIOBJECT_ID accessMethod;
  PKIGeneralName accessLocation;
};

struct PKIAuthorityInfoAccessSyntax {
  int32_t count;
  PKIAccessDescription** elements;
};

struct PKIGeneralSubtree {
  PKIGeneralName base;
  PKIINTEGER* minimum;  // [0] IMPLICIT, DEFAULT 0: written whenever set
  PKIINTEGER* maximum;  // [1] IMPLICIT
};

struct PKIGeneralSubtrees {
  int32_t count;
  PKIGeneralSubtree** elements;
};

struct PKINameConstraints {
  PKIGeneralSubtrees* permittedSubtrees;  // [0] IMPLICIT
  PKIGeneralSubtrees* excludedSubtrees;   // [1] IMPLICIT
};

// CHOICE, selector -> value:
//   0x80 / 0xA0 fullName                 PKIGeneralNames
//   0x81 / 0xA1 nameRelativeToCRLIssuer  PKIRelativeDistinguishedName
struct PKIDistributionPointName {
  uint8_t tag;
  void* value;
};

struct PKIDistributionPoint {
  PKIDistributionPointName* distributionPoint;  // [0] EXPLICIT
  PKIBIT_STRING* reasons;                       // [1] IMPLICIT
  PKIGeneralNames* cRLIssuer;                   // [2] IMPLICIT
};

struct PKICRLDistPointsSyntax {
  int32_t count;
  PKIDistributionPoint** elements;
};

struct PKIIssuingDistributionPoint {
  PKIDistributionPointName* distributionPoint;  // [0] EXPLICIT
  PKIBOOLEAN* onlyContainsUserCerts;            // [1] IMPLICIT
  PKIBOOLEAN* onlyContainsCACerts;              // [2] IMPLICIT
  PKIBIT_STRING* onlySomeReasons;               // [3] IMPLICIT
  PKIBOOLEAN* indirectCRL;                      // [4] IMPLICIT
};

// --- The operations ---

#define PKI_CERT_ASN_TYPE(T) PKI_ASN_DECLARE_OPERATIONS(PKI, T, PKI##T);
// Certificates, CRLs, requests, names, attributes, keys.
PKI_CERT_ASN_TYPE(Certificate)
PKI_CERT_ASN_TYPE(TBSCertificate)
PKI_CERT_ASN_TYPE(XCertificate)
PKI_CERT_ASN_TYPE(CertificateList)
PKI_CERT_ASN_TYPE(TBSCertList)
PKI_CERT_ASN_TYPE(RevokedCertificates)
PKI_CERT_ASN_TYPE(RevokedCertificate)
PKI_CERT_ASN_TYPE(Extensions)
PKI_CERT_ASN_TYPE(Extension)
PKI_CERT_ASN_TYPE(CertificationRequest)
PKI_CERT_ASN_TYPE(CertificationRequestInfo)
PKI_CERT_ASN_TYPE(AlgorithmIdentifier)
PKI_CERT_ASN_TYPE(SubjectPublicKeyInfo)
PKI_CERT_ASN_TYPE(Validity)
PKI_CERT_ASN_TYPE(Time)
PKI_CERT_ASN_TYPE(Name)
PKI_CERT_ASN_TYPE(RDNSequence)
PKI_CERT_ASN_TYPE(RelativeDistinguishedName)
PKI_CERT_ASN_TYPE(AttributeTypeAndValue)
PKI_CERT_ASN_TYPE(DirectoryString)
PKI_CERT_ASN_TYPE(Attribute)
PKI_CERT_ASN_TYPE(values_SET_OF)
PKI_CERT_ASN_TYPE(Attributes)
PKI_CERT_ASN_TYPE(RSAKey)
PKI_CERT_ASN_TYPE(Dss_Parms)
PKI_CERT_ASN_TYPE(Dss_Sig_Value)
PKI_CERT_ASN_TYPE(DomainParameters)
PKI_CERT_ASN_TYPE(ValidationParms)
// Extension values.
PKI_CERT_ASN_TYPE(GeneralName)
PKI_CERT_ASN_TYPE(GeneralNames)
PKI_CERT_ASN_TYPE(AnotherName)
PKI_CERT_ASN_TYPE(EDIPartyName)
PKI_CERT_ASN_TYPE(BasicConstraints)
PKI_CERT_ASN_TYPE(ExtKeyUsageSyntax)
PKI_CERT_ASN_TYPE(PolicyConstraints)
PKI_CERT_ASN_TYPE(PolicyMappings)
PKI_CERT_ASN_TYPE(PolicyMappings_SEQUENCE)
PKI_CERT_ASN_TYPE(PrivateKeyUsagePeriod)
PKI_CERT_ASN_TYPE(CertificatePolicies)
PKI_CERT_ASN_TYPE(PolicyInformation)
PKI_CERT_ASN_TYPE(policyQualifiers_SEQ_OF)
PKI_CERT_ASN_TYPE(PolicyQualifierInfo)
PKI_CERT_ASN_TYPE(UserNotice)
PKI_CERT_ASN_TYPE(NoticeReference)
PKI_CERT_ASN_TYPE(noticeNumbers_SEQ_OF)
PKI_CERT_ASN_TYPE(DisplayText)
PKI_CERT_ASN_TYPE(SubjectDirectoryAttributes)
PKI_CERT_ASN_TYPE(AuthorityKeyIdentifier)
PKI_CERT_ASN_TYPE(AuthorityInfoAccessSyntax)
PKI_CERT_ASN_TYPE(AccessDescription)
PKI_CERT_ASN_TYPE(NameConstraints)
PKI_CERT_ASN_TYPE(GeneralSubtrees)
PKI_CERT_ASN_TYPE(GeneralSubtree)
PKI_CERT_ASN_TYPE(CRLDistPointsSyntax)
PKI_CERT_ASN_TYPE(DistributionPoint)
PKI_CERT_ASN_TYPE(DistributionPointName)
PKI_CERT_ASN_TYPE(IssuingDistributionPoint)
#undef PKI_CERT_ASN_TYPE

// The descriptors, for modules whose types hold these (PKCS #7 holds
// Certificate, Name, AlgorithmIdentifier, Attributes, ...).
namespace ostrak::cert_asn {
extern const ::ostrak::asn::TypeDesc kCertificate, kTBSCertificate, kXCertificate, kCertificateList, kTBSCertList,
    kRevokedCertificates, kRevokedCertificate, kExtensions, kExtension, kCertificationRequest,
    kCertificationRequestInfo, kAlgorithmIdentifier, kSubjectPublicKeyInfo, kValidity, kTime, kName, kRDNSequence,
    kRelativeDistinguishedName, kAttributeTypeAndValue, kDirectoryString, kAttribute, kvalues_SET_OF, kAttributes,
    kRSAKey, kDss_Parms, kDss_Sig_Value, kDomainParameters, kValidationParms, kGeneralName, kGeneralNames,
    kAnotherName, kEDIPartyName, kBasicConstraints, kExtKeyUsageSyntax, kPolicyConstraints, kPolicyMappings,
    kPolicyMappings_SEQUENCE, kPrivateKeyUsagePeriod, kCertificatePolicies, kPolicyInformation,
    kpolicyQualifiers_SEQ_OF, kPolicyQualifierInfo, kUserNotice, kNoticeReference, knoticeNumbers_SEQ_OF,
    kDisplayText, kSubjectDirectoryAttributes, kAuthorityKeyIdentifier, kAuthorityInfoAccessSyntax,
    kAccessDescription, kNameConstraints, kGeneralSubtrees, kGeneralSubtree, kCRLDistPointsSyntax,
    kDistributionPoint, kDistributionPointName, kIssuingDistributionPoint;
}  // namespace ostrak::cert_asn

#endif  // OSTRAK_PKI_CERT_ASN_H_

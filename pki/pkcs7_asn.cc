// The PKCS #7 module (pki/pkcs7_asn.h): descriptors and operations.
#include "pki/pkcs7_asn.h"

const uint8_t PKIdata_OID[kPKIContentTypeOIDLength] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const uint8_t PKIsignedData_OID[kPKIContentTypeOIDLength] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t PKIenvelopedData_OID[kPKIContentTypeOIDLength] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                                 0x0D, 0x01, 0x07, 0x03};
const uint8_t PKIencryptedData_OID[kPKIContentTypeOIDLength] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                                 0x0D, 0x01, 0x07, 0x06};

namespace ostrak::pkcs7_asn {

using namespace ::ostrak::asn;
using ::ostrak::cert_asn::kAlgorithmIdentifier;
using ::ostrak::cert_asn::kAttributes;
using ::ostrak::cert_asn::kCertificate;
using ::ostrak::cert_asn::kCertificateList;
using ::ostrak::cert_asn::kName;

namespace {

constexpr uint8_t kSeq = kPKITagSequence;
constexpr uint8_t kSet = kPKITagSet;

constexpr Field kContentInfoFields[] = {
    PKI_ASN_FIELD(PKIContentInfo, contentType, kObjectId, kPKITagObjectId),
    PKI_ASN_OPTIONAL_EXPLICIT(PKIContentInfo, content, kAny, 0, kPKITagAny),
};

constexpr Field kExtendedCertificateInfoFields[] = {
    PKI_ASN_FIELD(PKIExtendedCertificateInfo, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIExtendedCertificateInfo, certificate, kCertificate, kSeq),
    PKI_ASN_FIELD(PKIExtendedCertificateInfo, attributes, kAttributes, kSet),
};

constexpr Field kExtendedCertificateFields[] = {
    PKI_ASN_FIELD(PKIExtendedCertificate, extendedCertificateInfo, kExtendedCertificateInfo, kSeq),
    PKI_ASN_FIELD(PKIExtendedCertificate, signatureAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKIExtendedCertificate, signature, kBitString, kPKITagBitString),
};

constexpr Alternative kCertOrExtendedAlternatives[] = {
    {&kCertificate, kSeq, 0, {kSeq | kPKIConstructed, kSeq}},
    {&kExtendedCertificate, kPKIContext | 0, 0, {kPKIContext | 0, kPKIContextConstructed | 0}},
};

constexpr Field kIssuerAndSerialNumberFields[] = {
    PKI_ASN_FIELD(PKIIssuerAndSerialNumber, issuer, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKIIssuerAndSerialNumber, serialNumber, kInteger, kPKITagInteger),
};

constexpr Field kSignerInfoFields[] = {
    PKI_ASN_FIELD(PKISignerInfo, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKISignerInfo, issuerAndSerialNumber, kIssuerAndSerialNumber, kSeq),
    PKI_ASN_FIELD(PKISignerInfo, digestAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_OPTIONAL(PKISignerInfo, authenticatedAttributes, kAttributes, kPKIContext | 0),
    PKI_ASN_FIELD(PKISignerInfo, digestEncryptionAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKISignerInfo, encryptedDigest, kOctetString, kPKITagOctetString),
    PKI_ASN_OPTIONAL(PKISignerInfo, unauthenticatedAttributes, kAttributes, kPKIContext | 1),
};

constexpr Field kSignedDataFields[] = {
    PKI_ASN_FIELD(PKISignedData, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKISignedData, digestAlgorithms, kDigestAlgorithmIdentifiers, kSet),
    PKI_ASN_FIELD(PKISignedData, contentInfo, kContentInfo, kSeq),
    PKI_ASN_OPTIONAL(PKISignedData, certificates, kExtendedCertificatesAndCertificates, kPKIContext | 0),
    PKI_ASN_OPTIONAL(PKISignedData, crls, kCertificateRevocationLists, kPKIContext | 1),
    PKI_ASN_FIELD(PKISignedData, signerInfos, kSignerInfos, kSet),
};

constexpr Field kRecipientInfoFields[] = {
    PKI_ASN_FIELD(PKIRecipientInfo, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIRecipientInfo, issuerAndSerialNumber, kIssuerAndSerialNumber, kSeq),
    PKI_ASN_FIELD(PKIRecipientInfo, keyEncryptionAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKIRecipientInfo, encryptedKey, kOctetString, kPKITagOctetString),
};

constexpr Field kEncryptedContentInfoFields[] = {
    PKI_ASN_FIELD(PKIEncryptedContentInfo, contentType, kObjectId, kPKITagObjectId),
    PKI_ASN_FIELD(PKIEncryptedContentInfo, contentEncryptionAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_OPTIONAL(PKIEncryptedContentInfo, encryptedContent, kOctetString, kPKIContext | 0),
};

constexpr Field kEnvelopedDataFields[] = {
    PKI_ASN_FIELD(PKIEnvelopedData, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIEnvelopedData, recipientInfos, kRecipientInfos, kSet),
    PKI_ASN_FIELD(PKIEnvelopedData, encryptedContentInfo, kEncryptedContentInfo, kSeq),
};

constexpr Field kEncryptedDataFields[] = {
    PKI_ASN_FIELD(PKIEncryptedData, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIEncryptedData, encryptedContentInfo, kEncryptedContentInfo, kSeq),
};

constexpr Field kDigestInfoFields[] = {
    PKI_ASN_FIELD(PKIDigestInfo, digestAlgorithm, kAlgorithmIdentifier, kSeq),
    PKI_ASN_FIELD(PKIDigestInfo, digest, kOctetString, kPKITagOctetString),
};

}  // namespace

constinit const TypeDesc kCertificateRevocationLists =
    ListType<PKICertificateRevocationLists>("CertificateRevocationLists", kCertificateList, kSeq, true);
constinit const TypeDesc kContentInfo = SequenceType<PKIContentInfo>("ContentInfo", kContentInfoFields);
constinit const TypeDesc kExtendedCertificateInfo =
    SequenceType<PKIExtendedCertificateInfo>("ExtendedCertificateInfo", kExtendedCertificateInfoFields);
constinit const TypeDesc kIssuerAndSerialNumber =
    SequenceType<PKIIssuerAndSerialNumber>("IssuerAndSerialNumber", kIssuerAndSerialNumberFields);
constinit const TypeDesc kDigestAlgorithmIdentifiers = ListType<PKIDigestAlgorithmIdentifiers>(
    "DigestAlgorithmIdentifiers", kAlgorithmIdentifier, kSeq, true);
constinit const TypeDesc kDigestInfo = SequenceType<PKIDigestInfo>("DigestInfo", kDigestInfoFields);
constinit const TypeDesc kEncryptedContentInfo =
    SequenceType<PKIEncryptedContentInfo>("EncryptedContentInfo", kEncryptedContentInfoFields);
constinit const TypeDesc kExtendedCertificate =
    SequenceType<PKIExtendedCertificate>("ExtendedCertificate", kExtendedCertificateFields);
constinit const TypeDesc kRecipientInfo = SequenceType<PKIRecipientInfo>("RecipientInfo", kRecipientInfoFields);
constinit const TypeDesc kSignerInfo = SequenceType<PKISignerInfo>("SignerInfo", kSignerInfoFields);
constinit const TypeDesc kEncryptedData = SequenceType<PKIEncryptedData>("EncryptedData", kEncryptedDataFields);
constinit const TypeDesc kExtendedCertificateOrCertificate = ChoiceType<PKIExtendedCertificateOrCertificate>(
    "ExtendedCertificateOrCertificate", kCertOrExtendedAlternatives);
constinit const TypeDesc kRecipientInfos =
    ListType<PKIRecipientInfos>("RecipientInfos", kRecipientInfo, kSeq, true);
constinit const TypeDesc kSignerInfos = ListType<PKISignerInfos>("SignerInfos", kSignerInfo, kSeq, true);
constinit const TypeDesc kEnvelopedData = SequenceType<PKIEnvelopedData>("EnvelopedData", kEnvelopedDataFields);
constinit const TypeDesc kExtendedCertificatesAndCertificates = ListType<PKIExtendedCertificatesAndCertificates>(
    "ExtendedCertificatesAndCertificates", kExtendedCertificateOrCertificate, kPKITagChoice, true);
constinit const TypeDesc kSignedData = SequenceType<PKISignedData>("SignedData", kSignedDataFields);

}  // namespace ostrak::pkcs7_asn

#define PKI_PKCS7_ASN_SEQUENCE(T) \
  PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::pkcs7_asn::k##T, kPKITagSequence)
#define PKI_PKCS7_ASN_SET_OF(T) PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::pkcs7_asn::k##T, kPKITagSet)

PKI_PKCS7_ASN_SET_OF(CertificateRevocationLists)
PKI_PKCS7_ASN_SEQUENCE(ContentInfo)
PKI_PKCS7_ASN_SEQUENCE(ExtendedCertificateInfo)
PKI_PKCS7_ASN_SEQUENCE(IssuerAndSerialNumber)
PKI_PKCS7_ASN_SET_OF(DigestAlgorithmIdentifiers)
PKI_PKCS7_ASN_SEQUENCE(DigestInfo)
PKI_PKCS7_ASN_SEQUENCE(EncryptedContentInfo)
PKI_PKCS7_ASN_SEQUENCE(ExtendedCertificate)
PKI_PKCS7_ASN_SEQUENCE(RecipientInfo)
PKI_PKCS7_ASN_SEQUENCE(SignerInfo)
PKI_PKCS7_ASN_SEQUENCE(EncryptedData)
PKI_ASN_DEFINE_OPERATIONS(PKI, ExtendedCertificateOrCertificate, PKIExtendedCertificateOrCertificate,
                          ostrak::pkcs7_asn::kExtendedCertificateOrCertificate, kPKITagChoice)
PKI_PKCS7_ASN_SET_OF(RecipientInfos)
PKI_PKCS7_ASN_SET_OF(SignerInfos)
PKI_PKCS7_ASN_SEQUENCE(EnvelopedData)
PKI_PKCS7_ASN_SET_OF(ExtendedCertificatesAndCertificates)
PKI_PKCS7_ASN_SEQUENCE(SignedData)

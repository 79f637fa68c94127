// The PKCS #7 module: the seventeen types of PKCS #7 v1.5 (RFC 2315) that
// the message layer (pki/pkcs7_message.h), PKCS #12 and the enrollment
// messages use, with the PKCS #6 extended certificate they refer to. Each
// type has the ten operations of the engine (pki/asn_engine.h), prefix PKI:
//   PKINew<T>, PKIFree<T>, PKISizeof<T>, PKIPack<T>, PKIUnpack<T>,
//   PKIPack<T>Internal, PKIUnpkInPlace<T>, PKIUnpack<T>Internal,
//   PKISizeof<T>Internal, PKIDropInPlace<T>.
// The public Pack and Unpack use tag 16 (written 0x30) for the SEQUENCE
// types, 17 (0x31) for the SET OF types and the CHOICE mark for
// ExtendedCertificateOrCertificate.
//
// Records: one field per component, named as in RFC 2315; mandatory
// components embedded, OPTIONAL ones pointers (null when absent); lists
// {count, elements}, the CHOICE {tag, value}. What the module does beyond
// the engine's rules:
// - ContentInfo's content is kept as the whole inner element (ANY) inside
//   its [0] EXPLICIT wrapper; the caller decodes it by its contentType.
// - SignedData's certificates and crls are taken by their first byte
//   (0x80 / 0xA0 and 0x81 / 0xA1); an error inside either list fails the
//   SignedData with that error.
// - Every SET OF (the four list types and the lists inside SignedData,
//   EnvelopedData and ExtendedCertificateInfo) is written in DER order;
//   two equal elements are kPKIErrDuplicate.
// - ExtendedCertificateOrCertificate is selected by 0x30 / 0x10
//   (Certificate) or 0x80 / 0xA0 (ExtendedCertificate); any other byte or
//   selector is kPKIErrChoice.
// - EncryptedContentInfo's encryptedContent is written primitive (0x80);
//   a constructed [0] is joined from its segments.
// - No version, content type or algorithm is checked here.
//
// Ownership and threads: pki/asn_types.h.
#ifndef OSTRAK_PKI_PKCS7_ASN_H_
#define OSTRAK_PKI_PKCS7_ASN_H_

#include <cstdint>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"
#include "pki/asn_types.h"
#include "pki/cert_asn.h"

// The content octets of the four content types the message layer tells
// apart (1.2.840.113549.1.7.1, .2, .3 and .6), kPKIContentTypeOIDLength
// bytes each.
inline constexpr uint32_t kPKIContentTypeOIDLength = 9;
extern const uint8_t PKIdata_OID[kPKIContentTypeOIDLength];
extern const uint8_t PKIsignedData_OID[kPKIContentTypeOIDLength];
extern const uint8_t PKIenvelopedData_OID[kPKIContentTypeOIDLength];
extern const uint8_t PKIencryptedData_OID[kPKIContentTypeOIDLength];

struct PKIContentInfo {
  PKIOBJECT_ID contentType;
  PKIANY* content;  // [0] EXPLICIT: the whole inner element
};

// SET OF AlgorithmIdentifier, written in DER order.
struct PKIDigestAlgorithmIdentifiers {
  int32_t count;
  PKIAlgorithmIdentifier** elements;
};

struct PKIExtendedCertificateInfo {
  PKIINTEGER version;
  PKICertificate certificate;
  PKIAttributes attributes;
};

struct PKIExtendedCertificate {
  PKIExtendedCertificateInfo extendedCertificateInfo;
  PKIAlgorithmIdentifier signatureAlgorithm;
  PKIBIT_STRING signature;
};

// CHOICE, selector -> value:
//   0x30 / 0x10  certificate          PKICertificate
//   0xA0 / 0x80  extendedCertificate  PKIExtendedCertificate ([0] IMPLICIT)
struct PKIExtendedCertificateOrCertificate {
  uint8_t tag;
  void* value;
};

// SET OF ExtendedCertificateOrCertificate, written in DER order.
struct PKIExtendedCertificatesAndCertificates {
  int32_t count;
  PKIExtendedCertificateOrCertificate** elements;
};

// SET OF CertificateList, written in DER order.
struct PKICertificateRevocationLists {
  int32_t count;
  PKICertificateList** elements;
};

struct PKIIssuerAndSerialNumber {
  PKIName issuer;
  PKIINTEGER serialNumber;
};

struct PKISignerInfo {
  PKIINTEGER version;
  PKIIssuerAndSerialNumber issuerAndSerialNumber;
  PKIAlgorithmIdentifier digestAlgorithm;
  PKIAttributes* authenticatedAttributes;  // [0] IMPLICIT
  PKIAlgorithmIdentifier digestEncryptionAlgorithm;
  PKIOCTET_STRING encryptedDigest;
  PKIAttributes* unauthenticatedAttributes;  // [1] IMPLICIT
};

// SET OF SignerInfo, written in DER order.
struct PKISignerInfos {
  int32_t count;
  PKISignerInfo** elements;
};

struct PKISignedData {
  PKIINTEGER version;
  PKIDigestAlgorithmIdentifiers digestAlgorithms;
  PKIContentInfo contentInfo;
  PKIExtendedCertificatesAndCertificates* certificates;  // [0] IMPLICIT
  PKICertificateRevocationLists* crls;                   // [1] IMPLICIT
  PKISignerInfos signerInfos;
};

struct PKIRecipientInfo {
  PKIINTEGER version;
  PKIIssuerAndSerialNumber issuerAndSerialNumber;
  PKIAlgorithmIdentifier keyEncryptionAlgorithm;
  PKIOCTET_STRING encryptedKey;
};

// SET OF RecipientInfo, written in DER order.
struct PKIRecipientInfos {
  int32_t count;
  PKIRecipientInfo** elements;
};

struct PKIEncryptedContentInfo {
  PKIOBJECT_ID contentType;
  PKIAlgorithmIdentifier contentEncryptionAlgorithm;
  PKIOCTET_STRING* encryptedContent;  // [0] IMPLICIT
};

struct PKIEnvelopedData {
  PKIINTEGER version;
  PKIRecipientInfos recipientInfos;
  PKIEncryptedContentInfo encryptedContentInfo;
};

struct PKIEncryptedData {
  PKIINTEGER version;
  PKIEncryptedContentInfo encryptedContentInfo;
};

struct PKIDigestInfo {
  PKIAlgorithmIdentifier digestAlgorithm;
  PKIOCTET_STRING digest;
};

#define PKI_PKCS7_ASN_TYPE(T) PKI_ASN_DECLARE_OPERATIONS(PKI, T, PKI##T);
PKI_PKCS7_ASN_TYPE(CertificateRevocationLists)
PKI_PKCS7_ASN_TYPE(ContentInfo)
PKI_PKCS7_ASN_TYPE(ExtendedCertificateInfo)
PKI_PKCS7_ASN_TYPE(IssuerAndSerialNumber)
PKI_PKCS7_ASN_TYPE(DigestAlgorithmIdentifiers)
PKI_PKCS7_ASN_TYPE(DigestInfo)
PKI_PKCS7_ASN_TYPE(EncryptedContentInfo)
PKI_PKCS7_ASN_TYPE(ExtendedCertificate)
PKI_PKCS7_ASN_TYPE(RecipientInfo)
PKI_PKCS7_ASN_TYPE(SignerInfo)
PKI_PKCS7_ASN_TYPE(EncryptedData)
PKI_PKCS7_ASN_TYPE(ExtendedCertificateOrCertificate)
PKI_PKCS7_ASN_TYPE(RecipientInfos)
PKI_PKCS7_ASN_TYPE(SignerInfos)
PKI_PKCS7_ASN_TYPE(EnvelopedData)
PKI_PKCS7_ASN_TYPE(ExtendedCertificatesAndCertificates)
PKI_PKCS7_ASN_TYPE(SignedData)
#undef PKI_PKCS7_ASN_TYPE

// The descriptors, for modules whose types hold these (PKCS #12 holds
// ContentInfo and DigestInfo, the enrollment messages ContentInfo).
namespace ostrak::pkcs7_asn {
extern const ::ostrak::asn::TypeDesc kCertificateRevocationLists, kContentInfo, kExtendedCertificateInfo,
    kIssuerAndSerialNumber, kDigestAlgorithmIdentifiers, kDigestInfo, kEncryptedContentInfo, kExtendedCertificate,
    kRecipientInfo, kSignerInfo, kEncryptedData, kExtendedCertificateOrCertificate, kRecipientInfos, kSignerInfos,
    kEnvelopedData, kExtendedCertificatesAndCertificates, kSignedData;
}  // namespace ostrak::pkcs7_asn

#endif  // OSTRAK_PKI_PKCS7_ASN_H_

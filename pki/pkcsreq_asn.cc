// The enrollment module (pki/pkcsreq_asn.h): descriptors and operations.
#include "pki/pkcsreq_asn.h"

namespace ostrak::pkcsreq_asn {

using namespace ::ostrak::asn;
using ::ostrak::cert_asn::kGeneralName;
using ::ostrak::cert_asn::kName;
using ::ostrak::pkcs7_asn::kContentInfo;

namespace {

constexpr uint8_t kSeq = kPKITagSequence;

constexpr Field kPKCSReqFields[] = {
    PKI_ASN_FIELD(PKIPKCSReq, request, kAny, kPKITagAny),
    PKI_ASN_OPTIONAL(PKIPKCSReq, regInfo, kOctetString, kPKITagOctetString),
};

constexpr Field kCertRepFields[] = {
    PKI_ASN_OPTIONAL(PKICertRep, reply, kContentInfo, kSeq),
    PKI_ASN_OPTIONAL(PKICertRep, otherInfo, kOctetString, kPKITagOctetString),
};

constexpr Field kGetCRLFields[] = {
    PKI_ASN_FIELD(PKIGetCRL, issuer, kName, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKIGetCRL, cRLName, kGeneralName, kPKITagChoice),
    PKI_ASN_OPTIONAL(PKIGetCRL, time, kGeneralizedTime, kPKITagGeneralizedTime),
    PKI_ASN_OPTIONAL(PKIGetCRL, reasons, kBitString, kPKITagBitString),
};

constexpr Field kGetCertFields[] = {
    PKI_ASN_FIELD(PKIGetCert, issuer, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKIGetCert, serialNumber, kInteger, kPKITagInteger),
};

constexpr Field kIssuerAndSubjectFields[] = {
    PKI_ASN_FIELD(PKIIssuerAndSubject, issuer, kName, kPKITagChoice),
    PKI_ASN_FIELD(PKIIssuerAndSubject, subject, kName, kPKITagChoice),
};

constexpr Field kGetCertInitialFields[] = {
    PKI_ASN_FIELD(PKIGetCertInitial, issuerAndSubject, kIssuerAndSubject, kSeq),
    PKI_ASN_OPTIONAL(PKIGetCertInitial, otherInfo, kOctetString, kPKITagOctetString),
};

}  // namespace

constinit const TypeDesc kPKCSReq = SequenceType<PKIPKCSReq>("PKCSReq", kPKCSReqFields);
constinit const TypeDesc kCertRep = SequenceType<PKICertRep>("CertRep", kCertRepFields);
constinit const TypeDesc kGetCRL = SequenceType<PKIGetCRL>("GetCRL", kGetCRLFields);
constinit const TypeDesc kGetCert = SequenceType<PKIGetCert>("GetCert", kGetCertFields);
constinit const TypeDesc kIssuerAndSubject =
    SequenceType<PKIIssuerAndSubject>("IssuerAndSubject", kIssuerAndSubjectFields);
constinit const TypeDesc kGetCertInitial = SequenceType<PKIGetCertInitial>("GetCertInitial", kGetCertInitialFields);

}  // namespace ostrak::pkcsreq_asn

#define PKI_PKCSREQ_ASN_SEQUENCE(T) \
  PKI_ASN_DEFINE_OPERATIONS(PKI, T, PKI##T, ostrak::pkcsreq_asn::k##T, kPKITagSequence)
PKI_PKCSREQ_ASN_SEQUENCE(PKCSReq)
PKI_PKCSREQ_ASN_SEQUENCE(CertRep)
PKI_PKCSREQ_ASN_SEQUENCE(GetCRL)
PKI_PKCSREQ_ASN_SEQUENCE(GetCert)
PKI_PKCSREQ_ASN_SEQUENCE(IssuerAndSubject)
PKI_PKCSREQ_ASN_SEQUENCE(GetCertInitial)

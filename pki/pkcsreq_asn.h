// The enrollment module: the messages exchanged with a certificate
// authority that speaks SCEP and its relatives (a certificate request with
// optional registration text, requests for a certificate, a pending
// certificate and a CRL, and the authority's reply). Six SEQUENCE types
// with the ten operations of the engine (pki/asn_engine.h), prefix PKI; the
// public Pack and Unpack use tag 16 (written 0x30).
//
// Records: one field per component; OPTIONAL ones are pointers, null when
// absent. The optional components carry no tags of their own and are told
// apart by their universal tags (GetCRL: a GeneralName alternative, then
// 0x18, then 0x03; CertRep: 0x30, then 0x04). PKCSReq's request is kept as
// the whole element it found, whatever its tag, and written back unchanged.
// A definite value with bytes after the last recognised component is
// kPKIErrLeftover.
//
// Ownership and threads: pki/asn_types.h.
#ifndef OSTRAK_PKI_PKCSREQ_ASN_H_
#define OSTRAK_PKI_PKCSREQ_ASN_H_

#include <cstdint>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"
#include "pki/asn_types.h"
#include "pki/cert_asn.h"
#include "pki/pkcs7_asn.h"

struct PKIPKCSReq {
  PKIANY request;              // a whole DER PKCS #10 CertificationRequest
  PKIOCTET_STRING* regInfo;  // the registration text, without a terminator
};

struct PKICertRep {
  PKIContentInfo* reply;        // normally a SignedData of certificates and CRLs
  PKIOCTET_STRING* otherInfo;  // the unnamed OCTET STRING
};

struct PKIGetCRL {
  PKIName issuer;
  PKIGeneralName* cRLName;
  PKIGeneralizedTime* time;
  PKIBIT_STRING* reasons;
};

struct PKIGetCert {
  PKIName issuer;
  PKIINTEGER serialNumber;
};

struct PKIIssuerAndSubject {
  PKIName issuer;
  PKIName subject;
};

struct PKIGetCertInitial {
  PKIIssuerAndSubject issuerAndSubject;
  PKIOCTET_STRING* otherInfo;  // the unnamed OCTET STRING
};

#define PKI_PKCSREQ_ASN_TYPE(T) PKI_ASN_DECLARE_OPERATIONS(PKI, T, PKI##T);
PKI_PKCSREQ_ASN_TYPE(PKCSReq)
PKI_PKCSREQ_ASN_TYPE(CertRep)
PKI_PKCSREQ_ASN_TYPE(GetCRL)
PKI_PKCSREQ_ASN_TYPE(GetCert)
PKI_PKCSREQ_ASN_TYPE(IssuerAndSubject)
PKI_PKCSREQ_ASN_TYPE(GetCertInitial)
#undef PKI_PKCSREQ_ASN_TYPE

namespace ostrak::pkcsreq_asn {
extern const ::ostrak::asn::TypeDesc kPKCSReq, kCertRep, kGetCRL, kGetCert, kIssuerAndSubject, kGetCertInitial;
}  // namespace ostrak::pkcsreq_asn

#endif  // OSTRAK_PKI_PKCSREQ_ASN_H_

// The PKCS #12 module: the nine types of PKCS #12 v1.0 with the ten
// operations of the engine (pki/asn_engine.h), prefix PKI; the public Pack
// and Unpack of every one use tag 16 (written 0x30). PKCS #12 export and
// import build and take apart a PFX with them.
//
// Records: one field per component, named as in PKCS #12 (pkcs-12PbeParams
// is PKIpkcs_12PbeParams). What the module does beyond the engine's rules:
// - A bag's value is a mandatory [0] EXPLICIT ANY: always written as 0xA0,
//   the DER length of the stored element and the element. On input it is
//   taken only behind exactly 0xA0; without one, or inside a wrapper of
//   length 0, the value stays empty (a CertBag, CRLBag or SecretBag then
//   fails with kPKIErrLeftover when bytes remain). A bag whose value is
//   empty does not encode: its wrapper is not counted by the size, so Pack
//   reports kPKIErrOutputSmall (kPKIErrRoom when even the counted size
//   does not fit) and writes nothing.
// - MacData's iterations are OPTIONAL (a null pointer is absent), never
//   compared with a default.
// - AuthenticatedSafes and SafeContents are SEQUENCE OF, written in list
//   order; a list whose own definite length runs past the input is left
//   with count -1 (no elements) and kPKIErrLength. bagAttributes is a SET
//   OF, written in DER order.
//
// Ownership and threads: pki/asn_types.h.
#ifndef OSTRAK_PKI_PKCS12_ASN_H_
#define OSTRAK_PKI_PKCS12_ASN_H_

#include <cstdint>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"
#include "pki/asn_types.h"
#include "pki/cert_asn.h"
#include "pki/pkcs7_asn.h"

struct PKIMacData {
  PKIDigestInfo mac;
  PKIOCTET_STRING macSalt;
  PKIINTEGER* iterations;  // OPTIONAL
};

struct PKIPFX {
  PKIINTEGER version;
  PKIContentInfo authSafe;
  PKIMacData* macData;
};

// SEQUENCE OF ContentInfo, in list order.
struct PKIAuthenticatedSafes {
  int32_t count;
  PKIContentInfo** elements;
};

struct PKISafeBag {
  PKIOBJECT_ID bagId;
  PKIANY bagValue;  // [0] EXPLICIT
  PKIAttributes* bagAttributes;
};

// SEQUENCE OF SafeBag, in list order.
struct PKISafeContents {
  int32_t count;
  PKISafeBag** elements;
};

struct PKICertBag {
  PKIOBJECT_ID certId;
  PKIANY certValue;  // [0] EXPLICIT
};

struct PKICRLBag {
  PKIOBJECT_ID crlId;
  PKIANY crlValue;  // [0] EXPLICIT
};

struct PKISecretBag {
  PKIOBJECT_ID secretTypeId;
  PKIANY secretValue;  // [0] EXPLICIT
};

struct PKIpkcs_12PbeParams {
  PKIOCTET_STRING salt;
  PKIINTEGER iterations;
};

#define PKI_PKCS12_ASN_TYPE(T) PKI_ASN_DECLARE_OPERATIONS(PKI, T, PKI##T);
PKI_PKCS12_ASN_TYPE(PFX)
PKI_PKCS12_ASN_TYPE(MacData)
PKI_PKCS12_ASN_TYPE(AuthenticatedSafes)
PKI_PKCS12_ASN_TYPE(SafeContents)
PKI_PKCS12_ASN_TYPE(SafeBag)
PKI_PKCS12_ASN_TYPE(CertBag)
PKI_PKCS12_ASN_TYPE(CRLBag)
PKI_PKCS12_ASN_TYPE(SecretBag)
PKI_PKCS12_ASN_TYPE(pkcs_12PbeParams)
#undef PKI_PKCS12_ASN_TYPE

namespace ostrak::pkcs12_asn {
extern const ::ostrak::asn::TypeDesc kPFX, kMacData, kAuthenticatedSafes, kSafeContents, kSafeBag, kCertBag,
    kCRLBag, kSecretBag, kpkcs_12PbeParams;
}  // namespace ostrak::pkcs12_asn

#endif  // OSTRAK_PKI_PKCS12_ASN_H_

// The PKCS #8 module: the private-key types of RFC 5208, with the ten
// operations of the engine (pki/asn_engine.h), prefix PKI; the public Pack
// and Unpack use tag 16 (written 0x30). PKCS #12 shrouds a key as an
// EncryptedPrivateKeyInfo.
//
// Records: one field per component, named as in RFC 5208; the attributes of
// a PrivateKeyInfo ([0] IMPLICIT SET OF Attribute, written in DER order
// with identifier 0xA0) are a pointer, null when absent.
//
// Ownership and threads: pki/asn_types.h.
#ifndef OSTRAK_PKI_PKCS8_ASN_H_
#define OSTRAK_PKI_PKCS8_ASN_H_

#include <cstdint>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"
#include "pki/asn_types.h"
#include "pki/cert_asn.h"

struct PKIEncryptedPrivateKeyInfo {
  PKIAlgorithmIdentifier encryptionAlgorithm;
  PKIOCTET_STRING encryptedData;
};

struct PKIPrivateKeyInfo {
  PKIINTEGER version;
  PKIAlgorithmIdentifier privateKeyAlgorithm;
  PKIOCTET_STRING privateKey;
  PKIAttributes* attributes;  // [0] IMPLICIT
};

PKI_ASN_DECLARE_OPERATIONS(PKI, EncryptedPrivateKeyInfo, PKIEncryptedPrivateKeyInfo);
PKI_ASN_DECLARE_OPERATIONS(PKI, PrivateKeyInfo, PKIPrivateKeyInfo);

namespace ostrak::pkcs8_asn {
extern const ::ostrak::asn::TypeDesc kEncryptedPrivateKeyInfo, kPrivateKeyInfo;
}  // namespace ostrak::pkcs8_asn

#endif  // OSTRAK_PKI_PKCS8_ASN_H_

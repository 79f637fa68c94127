// The PKCS #8 module (pki/pkcs8_asn.h): descriptors and operations.
#include "pki/pkcs8_asn.h"

namespace ostrak::pkcs8_asn {

using namespace ::ostrak::asn;
using ::ostrak::cert_asn::kAlgorithmIdentifier;
using ::ostrak::cert_asn::kAttributes;

namespace {

constexpr Field kEncryptedPrivateKeyInfoFields[] = {
    PKI_ASN_FIELD(PKIEncryptedPrivateKeyInfo, encryptionAlgorithm, kAlgorithmIdentifier, kPKITagSequence),
    PKI_ASN_FIELD(PKIEncryptedPrivateKeyInfo, encryptedData, kOctetString, kPKITagOctetString),
};

constexpr Field kPrivateKeyInfoFields[] = {
    PKI_ASN_FIELD(PKIPrivateKeyInfo, version, kInteger, kPKITagInteger),
    PKI_ASN_FIELD(PKIPrivateKeyInfo, privateKeyAlgorithm, kAlgorithmIdentifier, kPKITagSequence),
    PKI_ASN_FIELD(PKIPrivateKeyInfo, privateKey, kOctetString, kPKITagOctetString),
    PKI_ASN_OPTIONAL(PKIPrivateKeyInfo, attributes, kAttributes, kPKIContext | 0),
};

}  // namespace

constinit const TypeDesc kEncryptedPrivateKeyInfo =
    SequenceType<PKIEncryptedPrivateKeyInfo>("EncryptedPrivateKeyInfo", kEncryptedPrivateKeyInfoFields);
constinit const TypeDesc kPrivateKeyInfo = SequenceType<PKIPrivateKeyInfo>("PrivateKeyInfo", kPrivateKeyInfoFields);

}  // namespace ostrak::pkcs8_asn

PKI_ASN_DEFINE_OPERATIONS(PKI, EncryptedPrivateKeyInfo, PKIEncryptedPrivateKeyInfo,
                          ostrak::pkcs8_asn::kEncryptedPrivateKeyInfo, kPKITagSequence)
PKI_ASN_DEFINE_OPERATIONS(PKI, PrivateKeyInfo, PKIPrivateKeyInfo, ostrak::pkcs8_asn::kPrivateKeyInfo,
                          kPKITagSequence)

// The public codecs of the PKCS #7, #8, #12 and enrollment modules behind
// the untyped table of tests/pki/cert_asn_codecs.h, for the tests and the
// fuzz target that run every type the same way. The order of kCodecs is
// also the type selector of the fuzz inputs (tests/pki/fuzz/make_pkcs_seeds.py
// lists the same names): append, never reorder.
#ifndef OSTRAK_TESTS_PKI_PKCS_ASN_CODECS_H_
#define OSTRAK_TESTS_PKI_PKCS_ASN_CODECS_H_

#include <cstddef>
#include <cstring>

#include "pki/pkcs12_asn.h"
#include "pki/pkcs7_asn.h"
#include "pki/pkcs8_asn.h"
#include "pki/pkcsreq_asn.h"
#include "tests/pki/cert_asn_codecs.h"

namespace pkcs_asn_codecs {

using cert_asn_codecs::Codec;
using cert_asn_codecs::Typed;

inline const Codec kCodecs[] = {
    // PKCS #7
    CERT_ASN_CODEC(ContentInfo), CERT_ASN_CODEC(SignedData), CERT_ASN_CODEC(EnvelopedData),
    CERT_ASN_CODEC(SignerInfo), CERT_ASN_CODEC(SignerInfos), CERT_ASN_CODEC(DigestAlgorithmIdentifiers),
    CERT_ASN_CODEC(RecipientInfo), CERT_ASN_CODEC(RecipientInfos), CERT_ASN_CODEC(EncryptedContentInfo),
    CERT_ASN_CODEC(EncryptedData), CERT_ASN_CODEC(DigestInfo), CERT_ASN_CODEC(IssuerAndSerialNumber),
    CERT_ASN_CODEC(CertificateRevocationLists), CERT_ASN_CODEC(ExtendedCertificatesAndCertificates),
    CERT_ASN_CODEC(ExtendedCertificateOrCertificate), CERT_ASN_CODEC(ExtendedCertificate),
    CERT_ASN_CODEC(ExtendedCertificateInfo),
    // PKCS #8
    CERT_ASN_CODEC(PrivateKeyInfo), CERT_ASN_CODEC(EncryptedPrivateKeyInfo),
    // PKCS #12
    CERT_ASN_CODEC(PFX), CERT_ASN_CODEC(MacData), CERT_ASN_CODEC(AuthenticatedSafes), CERT_ASN_CODEC(SafeContents),
    CERT_ASN_CODEC(SafeBag), CERT_ASN_CODEC(CertBag), CERT_ASN_CODEC(CRLBag), CERT_ASN_CODEC(SecretBag),
    CERT_ASN_CODEC(pkcs_12PbeParams),
    // Enrollment
    CERT_ASN_CODEC(PKCSReq), CERT_ASN_CODEC(CertRep), CERT_ASN_CODEC(GetCRL), CERT_ASN_CODEC(GetCert),
    CERT_ASN_CODEC(IssuerAndSubject), CERT_ASN_CODEC(GetCertInitial),
};
inline constexpr size_t kCodecCount = sizeof kCodecs / sizeof kCodecs[0];

inline const Codec* CodecNamed(const char* name) {
  for (const Codec& c : kCodecs)
    if (std::strcmp(c.name, name) == 0) return &c;
  return cert_asn_codecs::CodecNamed(name);
}

}  // namespace pkcs_asn_codecs

#endif  // OSTRAK_TESTS_PKI_PKCS_ASN_CODECS_H_

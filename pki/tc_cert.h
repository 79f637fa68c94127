// Toolkit certificates: decoding DER into a TC_CERT, the context's
// certificate list with lookup by subject and issuer, chain validation
// against the list and the held CRLs, certificate creation through the
// sign callback, and the algorithm-identifier setter.
//
// Ownership: a TC_CERT from tc_unpack_cert or tc_create_cert is the
// caller's (tc_free_cert) until tc_add_cert takes it into the context's
// list; tc_import_cert gives it to the list directly. The list owns what it
// holds; lookups return certificates it keeps owning.
#ifndef OSTRAK_PKI_TC_CERT_H_
#define OSTRAK_PKI_TC_CERT_H_

#include <cstdint>

#include "pki/tc_context.h"

// A new TC_CERT of the DER; -1 (null output or DER, length 0), -3, -2.
int32_t tc_unpack_cert(TC_CERT** out, const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx);
// Decodes and adds to the list; a certificate of the same issuer and
// serial number as a listed one is dropped (0). -1, -2, -3.
int32_t tc_import_cert(const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx);
// Adds to the list (which then owns it); a duplicate by issuer and serial
// number is freed (0). -1; -3 when no node can be had (the certificate
// stays the caller's).
int32_t tc_add_cert(TC_CERT* cert, TC_CONTEXT* ctx);
// The first listed certificate whose subject equals the name; -11, -1.
int32_t tc_find_cert(TC_CERT** out, PKIName* name, TC_CONTEXT* ctx);
// The certificate itself when self-signed, else the first listed one whose
// subject equals its issuer; -4, -1.
int32_t tc_find_issuer(TC_CERT** out, TC_CERT* cert, TC_CONTEXT* ctx);
// Walks from the certificate to a self-signed root: each certificate's
// signature against its issuer, its validity period (flag 2 skips it), the
// held CRL of its issuer (flags 1 and 4), its extensions through the
// handlers. The first error: -1, -4 (no issuer, or a certificate met
// twice), -5, -6, -7, -9, -14, -15, -20.
int32_t tc_validate_cert(TC_CERT* cert, int flags, TC_CONTEXT* ctx);
int32_t tc_validate_one_cert(TC_CERT* cert, int flags, TC_CONTEXT* ctx);
// Builds, signs and decodes a new certificate (not added to the list).
// version 0, 1 or 2 (v1 ... v3); extensions need version 2 (else -7).
// Validity times are UTCTime before 2050, GeneralizedTime from then on.
// -1, -3, -7, -18, mapped codec errors; *out set only on success.
int32_t tc_create_cert(TC_CERT** out, int32_t version, const uint8_t* serial, uint32_t serialLength,
                       const uint8_t* sigOid, uint32_t sigOidLength, const uint8_t* sigParams,
                       uint32_t sigParamsLength, PKIName* issuer, int64_t notBefore, int64_t notAfter,
                       PKIName* subject, PKIExtensions* extensions, const uint8_t* keyOid, uint32_t keyOidLength,
                       const uint8_t* publicKey, uint32_t publicKeyLength, const uint8_t* keyParams,
                       uint32_t keyParamsLength, TC_CONTEXT* ctx);
// The DER of the parsed certificate; -1, -3, mapped codec errors (output
// cleared).
int32_t tc_pack_cert(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx);
// The certificate's extension list in place (null when none); -1.
int32_t tc_certExtensionList(PKIExtensions** out, TC_CERT* cert);
// The OID and, when bytes and a length are given, the parameters as a raw
// DER element (else none). -1 for a null record, -3.
int32_t tc_set_alg(PKIAlgorithmIdentifier* alg, const uint8_t* oid, uint32_t oidLength, const uint8_t* params,
                   uint32_t paramsLength, TC_CONTEXT* ctx);

#endif  // OSTRAK_PKI_TC_CERT_H_

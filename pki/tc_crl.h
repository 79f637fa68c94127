// Toolkit CRLs: building, revoking, signing and verifying them through the
// context's callbacks, the context's CRL list (one CRL per issuer, the most
// recent kept), the revocation check, re-dating, encoding and decoding.
//
// Ownership: a CRL belongs to whoever made or decoded it until tc_add_crl
// or tc_import_crl takes it into the context; the context then owns it
// until a more recent CRL of the same issuer replaces it, tc_delete_crl
// removes it or the context is freed. tc_add_crl leaves a CRL it declines
// (an older one than held) with the caller; tc_import_crl frees it.
//
// Flags (kTCFlag*): 1 a CRL of the issuer must be held (tc_check_crl), 4
// the CRL's nextUpdate must lie ahead. Times written are UTCTime before
// 2050 and GeneralizedTime from then on.
#ifndef OSTRAK_PKI_TC_CRL_H_
#define OSTRAK_PKI_TC_CRL_H_

#include <cstdint>

#include "pki/tc_context.h"

// An unsigned CRL of the issuer, thisUpdate now, nextUpdate when non-zero
// (it must lie ahead: else -6), version 2 and a copy of the extensions
// when given. -1 (null output or issuer, negative nextUpdate), -3.
int32_t tc_create_crl(PKICertificateList** out, const uint8_t* sigOid, uint32_t sigOidLength,
                      const uint8_t* sigParams, uint32_t sigParamsLength, PKIName* issuer, int64_t nextUpdate,
                      PKIExtensions* extensions, TC_CONTEXT* ctx);
// Appends a revoked entry; entry extensions make the CRL version 2.
int32_t tc_add_to_crl(PKICertificateList* crl, const uint8_t* serial, uint32_t serialLength, int64_t revoked,
                      PKIExtensions* entryExtensions, TC_CONTEXT* ctx);
// Signs the signed part (replacing any earlier signature); -1, -3, -18.
int32_t tc_sign_crl(PKICertificateList* crl, TC_CONTEXT* ctx);
// Checks the signature with the issuer's certificate held in the context
// (-11 none, -5 bad) and the CRL's and entries' extensions (-7, -9).
int32_t tc_verify_crl(PKICertificateList* crl, TC_CONTEXT* ctx);
// Verifies the CRL and keeps it unless a CRL of the issuer at least as
// recent is held (0 either way). -1, -20 (flag 4), tc_verify_crl's errors.
int32_t tc_add_crl(PKICertificateList* crl, TC_CONTEXT* ctx, int flags);
// Decodes a CRL and keeps it as tc_add_crl does; a CRL not kept is freed.
int32_t tc_import_crl(const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx, int flags);
// Removes and frees the held CRL of the issuer; -11 none, -1.
int32_t tc_delete_crl(PKIName* issuer, TC_CONTEXT* ctx);
// The revocation check of a certificate against the held CRL of its
// issuer: -15 (flag 1, none held), -20 (flag 4), -14 (its serial number is
// listed), else 0.
int32_t tc_check_crl(TC_CONTEXT* ctx, TC_CERT* cert, int flags);
// thisUpdate now; nextUpdate removed (days 0) or now + days × 86400. Not
// re-signed. -1 (null, negative days), -3.
int32_t tc_reset_crl_times(PKICertificateList* crl, int32_t days, TC_CONTEXT* ctx);
// The CRL's extensions in place (may be null); -1.
int32_t tc_crlExtensionList(PKIExtensions** out, PKICertificateList* crl);
// The entry extensions of the first entry with that serial number, in
// place (null when none); -1.
int32_t tc_crlEntryExtList(PKIExtensions** out, PKICertificateList* crl, PKIINTEGER* serial);
int32_t tc_pack_crl(uint8_t** out, uint32_t* outLength, PKICertificateList* crl, TC_CONTEXT* ctx);
int32_t tc_unpack_crl(PKICertificateList** out, const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx);
void tc_free_crl(PKICertificateList* crl, TC_CONTEXT* ctx);

#endif  // OSTRAK_PKI_TC_CRL_H_

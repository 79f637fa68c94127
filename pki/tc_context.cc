// The toolkit context's life cycle, the error texts and the map from codec
// errors to toolkit errors.
#include "pki/tc_context.h"

#include "pki/tc_crl.h"
#include "pki/tc_dname_internal.h"
#include "pki/tc_extensions.h"
#include "pki/tc_internal.h"

const char* const TC_errlist[kTCErrorCount] = {
    "invalid arguments",
    "ASN.1 parse error",
    "out of memory",
    "issuer certificate is missing",
    "invalid signature",
    "invalid/expired data",
    "error while processing extension",
    "error reading/writing to a file",
    "unhandled critical extension",
    "error parsing distinguished name",
    "certificate not found",
    "alt-subject not critical, and no subject",
    "alt-issuer not critical, and no issuer",
    "certificate revoked",
    "issuer CRL is not present",
    "unable to find PQG values for key",
    "unable to find valid serial number in certificate",
    "unable to sign data",
    "processed Name data is not ascii",
    "CRL's nextDate has expired",
    "unknown error, contact vendor",
    "extension OID supplied not supported",
    "provided string name has too many components",
    "numeric string has disallowed chars",
    "printable string has disallowed chars",
    "provided string type is not allowed",
    "one of notBefore or notAfter must be defined in privateKeyUsagePeriod",
    "general name contains unsupported data type",
    "can not compare general names due to unsupported type",
    "CRL is invalid",
    "CRL is not version 2",
    "CRL is missing the required nextUpdate field",
    "CRL is missing the AuthorityKeyIdentifier extension",
    "CRL is missing the CRLNumber extension",
    "CRL does not match Certificate",
    "GeneralName contains an inavalid URI value",
    "GeneralName contains a malformed iPAddress constraint",
    "GeneralName type does not match GeneralSubtree base",
    "GeneralName contains an unsupported type",
    "name constraints on certificate were not satisfied",
    "certificate is missing required policy extension",
    "certicicate policy does not match acceptable use",
    "certificate is not a CA certificate",
    "CA certificate does not have the keyCertSign bit set",
    "certificate path length constraint exceeded",
    "policy mapping not allowed by prior constraint",
    "initial policy and acceptable policy do not overlap",
    "inner and outer signature OIDs in cert do not match ",
    "v1 cert has extension or unique ID",
    "v2 cert has extension or no unique ID",
    "v3 cert has no extension",
    "v1 cert has version field present",
};

const TC_ErrorPair ASN2TC_errors[] = {
    {-1, -2},  {-2, -2},  {-3, -2},  {-5, -2},  {-6, -1},  {-7, -1},   {-8, -1},   {-9, -2},
    {-10, -2}, {-11, -2}, {-12, -2}, {-13, -2}, {-14, -2}, {-15, -2},  {-16, -2},  {-17, -3},
    {-18, -2}, {-19, -2}, {-20, -21}, {-50, -2}, {-60, -24}, {-61, -25}, {-70, -21}, {0, 0},
};

int32_t compiler2tc_error(int32_t codecError) {
  if (codecError == 0) return 0;
  for (const TC_ErrorPair* p = ASN2TC_errors; p->codec != 0; ++p)
    if (p->codec == codecError) return p->toolkit;
  return kTCErrUnknown;
}

namespace {

bool ManagerComplete(const PKIMemoryMgr* m) {
  return m->allocate != nullptr && m->reallocate != nullptr && m->deallocate != nullptr;
}

void FreeCertList(TC_CONTEXT* ctx) {
  for (TC_CERT_LIST* node = ctx->certList; node != nullptr;) {
    TC_CERT_LIST* next = node->next;
    tc_free_cert(node->cert, ctx);
    ostrak::tc::Release(ctx, node);
    node = next;
  }
  ctx->certList = nullptr;
}

void FreeCRLList(TC_CONTEXT* ctx) {
  for (TC_CRL_LIST* node = ctx->crlList; node != nullptr;) {
    TC_CRL_LIST* next = node->next;
    tc_free_crl(node->crl, ctx);
    ostrak::tc::Release(ctx, node);
    node = next;
  }
  ctx->crlList = nullptr;
}

}  // namespace

int32_t tc_init_context(TC_CONTEXT** out, PKIMemoryMgr* memMgr, TC_SignCallback sign, void* signData,
                        TC_VerifyCallback verify, void* verifyData) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (memMgr == nullptr) memMgr = &PKIdefaultMemoryMgrStruct;
  if (!ManagerComplete(memMgr)) return kTCErrInvalidArgs;
  auto* ctx = static_cast<TC_CONTEXT*>(memMgr->allocate(memMgr, sizeof(TC_CONTEXT)));
  if (ctx == nullptr) return kTCErrNoMemory;
  *ctx = TC_CONTEXT{memMgr, nullptr, nullptr, nullptr, nullptr, nullptr, verify, sign, signData, verifyData};
  ctx->certCtx = static_cast<PKICONTEXT*>(memMgr->allocate(memMgr, sizeof(PKICONTEXT)));
  if (ctx->certCtx == nullptr) {
    memMgr->deallocate(memMgr, ctx);
    return kTCErrNoMemory;
  }
  *ctx->certCtx = PKICONTEXT{0, memMgr};
  if (ostrak::tc::InitAVAList(ctx) != kTCErrNone) {
    tc_free_context(ctx);
    return kTCErrNoMemory;
  }
  // Understood without a check. A context without them would refuse every
  // certificate that marks them critical, so no memory for them is -3.
  if (tc_register_handler(PKIid_ce_basicConstraints_OID, sizeof PKIid_ce_basicConstraints_OID, nullptr, ctx) !=
          kTCErrNone ||
      tc_register_handler(PKIid_ce_nameConstraints_OID, sizeof PKIid_ce_nameConstraints_OID, nullptr, ctx) !=
          kTCErrNone) {
    tc_free_context(ctx);
    return kTCErrNoMemory;
  }
  *out = ctx;
  return kTCErrNone;
}

int32_t tc_free_context(TC_CONTEXT* ctx) {
  if (ctx == nullptr) return kTCErrInvalidArgs;
  FreeCertList(ctx);
  FreeCRLList(ctx);
  tc_free_handlers(&ctx->handlerList, ctx->memMgr);
  ostrak::tc::FreeAVAList(ctx);
  PKIMemoryMgr* m = ctx->memMgr;
  m->deallocate(m, ctx->certCtx);
  m->deallocate(m, ctx);
  return kTCErrNone;
}

void tc_free_cert(TC_CERT* cert, TC_CONTEXT* ctx) {
  if (cert == nullptr || ctx == nullptr) return;
  PKIFreeXCertificate(ctx->certCtx, cert->xcert);
  PKIFreeCertificate(ctx->certCtx, cert->cert);
  ostrak::tc::Release(ctx, cert);
}

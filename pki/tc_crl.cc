// Toolkit CRLs (pki/tc_crl.h).
#include "pki/tc_crl.h"

#include "pki/tc_cert.h"
#include "pki/tc_compare.h"
#include "pki/tc_dname.h"
#include "pki/tc_extensions.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;

constexpr int64_t kSecondsPerDay = 86400;

bool EnsureVersion2(PKITBSCertList* tbs, TC_CONTEXT* ctx) {
  if (tbs->version != nullptr) return true;
  tbs->version = PKINewINTEGER(Codec(ctx));
  if (tbs->version == nullptr || !SetInt32(ctx, tbs->version, 1)) {
    PKIFreeINTEGER(Codec(ctx), tbs->version);
    tbs->version = nullptr;
    return false;
  }
  return true;
}

// Whether the nextUpdate lies ahead (absent and unknown do not).
bool NextUpdateAhead(const PKITBSCertList& tbs) {
  if (tbs.nextUpdate == nullptr) return false;
  return Comparable(tc_get_choiceoftime(tbs.nextUpdate)) > Now();
}

TC_CRL_LIST* HeldFor(PKIName* issuer, TC_CONTEXT* ctx) {
  for (TC_CRL_LIST* node = ctx->crlList; node != nullptr; node = node->next)
    if (tc_compare_dname(&node->crl->tbsCertList.issuer, issuer, ctx) == 1) return node;
  return nullptr;
}

// tc_add_crl, telling whether the context took the CRL.
int32_t AddCRL(PKICertificateList* crl, TC_CONTEXT* ctx, int flags, bool* taken) {
  *taken = false;
  if (crl == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  if ((flags & kTCFlagCRLNextUpdate) != 0 && !NextUpdateAhead(crl->tbsCertList)) return kTCErrCRLExpired;
  if (int32_t e = tc_verify_crl(crl, ctx)) return e;
  if (TC_CRL_LIST* held = HeldFor(&crl->tbsCertList.issuer, ctx)) {
    if (tc_compare_time(&crl->tbsCertList.thisUpdate, &held->crl->tbsCertList.thisUpdate) >= 1) {
      if (held->crl != crl) tc_free_crl(held->crl, ctx);
      held->crl = crl;
      *taken = true;
    }
    return kTCErrNone;
  }
  auto* node = NewZeroed<TC_CRL_LIST>(ctx);
  if (node == nullptr) return kTCErrNoMemory;
  node->crl = crl;
  node->next = ctx->crlList;
  ctx->crlList = node;
  *taken = true;
  return kTCErrNone;
}

}  // namespace

int32_t tc_create_crl(PKICertificateList** out, const uint8_t* sigOid, uint32_t sigOidLength,
                      const uint8_t* sigParams, uint32_t sigParamsLength, PKIName* issuer, int64_t nextUpdate,
                      PKIExtensions* extensions, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (issuer == nullptr || nextUpdate < 0 || ctx == nullptr || sigOid == nullptr) return kTCErrInvalidArgs;
  Owned<PKICertificateList> crl(cert_asn::kCertificateList, ctx);
  if (!crl.make()) return kTCErrNoMemory;
  PKITBSCertList& tbs = crl->tbsCertList;
  if (extensions != nullptr && !EnsureVersion2(&tbs, ctx)) return kTCErrNoMemory;
  if (int32_t e = SetAlgorithm(ctx, &tbs.signature, sigOid, sigOidLength, sigParams, sigParamsLength)) return e;
  if (int32_t e = SetAlgorithm(ctx, &crl->signatureAlgorithm, sigOid, sigOidLength, sigParams, sigParamsLength))
    return e;
  PKIName* name = nullptr;
  if (int32_t e = CopyName(&name, issuer, ctx)) return e;
  tbs.issuer = *name;
  Release(ctx, name);
  const int64_t now = Now();
  if (int32_t e = SetTime(ctx, &tbs.thisUpdate, now)) return e;
  if (nextUpdate != 0) {
    if (nextUpdate <= now) return kTCErrInvalidData;
    tbs.nextUpdate = PKINewTime(Codec(ctx));
    if (tbs.nextUpdate == nullptr) return kTCErrNoMemory;
    if (int32_t e = SetTime(ctx, tbs.nextUpdate, nextUpdate)) return e;
  }
  if (extensions != nullptr)
    if (int32_t e = CopyExtList(&tbs.crlExtensions, extensions, ctx)) return e;
  *out = crl.release();
  return kTCErrNone;
}

int32_t tc_add_to_crl(PKICertificateList* crl, const uint8_t* serial, uint32_t serialLength, int64_t revoked,
                      PKIExtensions* entryExtensions, TC_CONTEXT* ctx) {
  if (crl == nullptr || ctx == nullptr || serial == nullptr || serialLength == 0) return kTCErrInvalidArgs;
  PKITBSCertList& tbs = crl->tbsCertList;
  Owned<PKIRevokedCertificate> entry(cert_asn::kRevokedCertificate, ctx);
  if (!entry.make() || !SetBlock(ctx, &entry->userCertificate, serial, serialLength)) return kTCErrNoMemory;
  if (int32_t e = SetTime(ctx, &entry->revocationDate, revoked)) return e;
  if (entryExtensions != nullptr)
    if (int32_t e = CopyExtList(&entry->crlEntryExtensions, entryExtensions, ctx)) return e;
  if (entryExtensions != nullptr && !EnsureVersion2(&tbs, ctx)) return kTCErrNoMemory;
  // A list made here goes again when the entry cannot join it: a CRL
  // without entries has no list.
  Owned<PKIRevokedCertificates> madeList(cert_asn::kRevokedCertificates, ctx);
  PKIRevokedCertificates* entries = tbs.revokedCertificates;
  if (entries == nullptr) {
    if (!madeList.make()) return kTCErrNoMemory;
    entries = madeList.get();
  }
  if (PKIAddOfElement(Codec(ctx), entry.get(), entries) != kPKIErrNone) return kTCErrNoMemory;
  entry.release();
  if (tbs.revokedCertificates == nullptr) tbs.revokedCertificates = madeList.release();
  return kTCErrNone;
}

int32_t tc_sign_crl(PKICertificateList* crl, TC_CONTEXT* ctx) {
  if (crl == nullptr || ctx == nullptr || ctx->signCallback == nullptr) return kTCErrInvalidArgs;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kTBSCertList, kPKITagSequence, &crl->tbsCertList, &der)) return e;
  uint8_t* signature = nullptr;
  uint32_t length = 0;
  const PKIOBJECT_ID& alg = crl->signatureAlgorithm.algorithm;
  int result = ctx->signCallback(&signature, &length, der.bytes, der.length, alg.bytes, alg.length, ctx->signData, ctx);
  if (result != 0 || (signature == nullptr && length != 0)) {
    Release(ctx, signature);
    return kTCErrSign;
  }
  // The callback's buffer becomes the signature; an earlier one goes.
  Release(ctx, crl->signature.bytes);
  crl->signature.bytes = signature;
  crl->signature.length = length;
  crl->signature.unusedBits = 0;
  return kTCErrNone;
}

int32_t tc_verify_crl(PKICertificateList* crl, TC_CONTEXT* ctx) {
  if (crl == nullptr || ctx == nullptr || ctx->verifyCallback == nullptr) return kTCErrInvalidArgs;
  TC_CERT* issuer = nullptr;
  if (int32_t e = tc_find_cert(&issuer, &crl->tbsCertList.issuer, ctx)) return e;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kTBSCertList, kPKITagSequence, &crl->tbsCertList, &der)) return e;
  const PKISubjectPublicKeyInfo& spki = issuer->tbs->subjectPublicKeyInfo;
  const PKIANY* params = spki.algorithm.parameters;
  const bool hasParams = params != nullptr && params->bytes != nullptr && params->length != 0;
  const PKIOBJECT_ID& alg = crl->signatureAlgorithm.algorithm;
  if (ctx->verifyCallback(der.bytes, der.length, alg.bytes, alg.length, hasParams ? params->bytes : nullptr,
                          hasParams ? params->length : 0, crl->signature.bytes, crl->signature.length,
                          spki.subjectPublicKey.bytes, spki.subjectPublicKey.length, issuer, ctx->verifyData,
                          ctx) != 0)
    return kTCErrSignature;
  PKITBSCertList& tbs = crl->tbsCertList;
  if (int32_t e = tc_process_extensions(tbs.crlExtensions, &tbs, ctx)) return e;
  for (int32_t i = 0; tbs.revokedCertificates != nullptr && i < tbs.revokedCertificates->count; ++i)
    if (int32_t e = tc_process_extensions(tbs.revokedCertificates->elements[i]->crlEntryExtensions, &tbs, ctx))
      return e;
  return kTCErrNone;
}

int32_t tc_add_crl(PKICertificateList* crl, TC_CONTEXT* ctx, int flags) {
  bool taken;
  return AddCRL(crl, ctx, flags, &taken);
}

int32_t tc_import_crl(const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx, int flags) {
  if (der == nullptr || derLength == 0 || ctx == nullptr) return kTCErrInvalidArgs;
  PKICertificateList* crl = nullptr;
  if (int32_t e = tc_unpack_crl(&crl, der, derLength, ctx)) return e;
  bool taken = false;
  int32_t e = AddCRL(crl, ctx, flags, &taken);
  if (!taken) tc_free_crl(crl, ctx);
  return e;
}

int32_t tc_delete_crl(PKIName* issuer, TC_CONTEXT* ctx) {
  if (issuer == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  for (TC_CRL_LIST** link = &ctx->crlList; *link != nullptr; link = &(*link)->next) {
    TC_CRL_LIST* node = *link;
    if (tc_compare_dname(&node->crl->tbsCertList.issuer, issuer, ctx) == 1) {
      *link = node->next;
      tc_free_crl(node->crl, ctx);
      Release(ctx, node);
      return kTCErrNone;
    }
  }
  return kTCErrNotFound;
}

int32_t tc_check_crl(TC_CONTEXT* ctx, TC_CERT* cert, int flags) {
  if (ctx == nullptr || cert == nullptr || cert->tbs == nullptr) return kTCErrInvalidArgs;
  TC_CRL_LIST* held = HeldFor(&cert->tbs->issuer, ctx);
  if (held == nullptr) return (flags & kTCFlagRequireCRL) != 0 ? kTCErrNoCRL : kTCErrNone;
  const PKITBSCertList& tbs = held->crl->tbsCertList;
  if ((flags & kTCFlagCRLNextUpdate) != 0 && !NextUpdateAhead(tbs)) return kTCErrCRLExpired;
  for (int32_t i = 0; tbs.revokedCertificates != nullptr && i < tbs.revokedCertificates->count; ++i)
    if (tc_compare_serial(&tbs.revokedCertificates->elements[i]->userCertificate, &cert->tbs->serialNumber) == 1)
      return kTCErrRevoked;
  return kTCErrNone;
}

int32_t tc_reset_crl_times(PKICertificateList* crl, int32_t days, TC_CONTEXT* ctx) {
  if (crl == nullptr || ctx == nullptr || days < 0) return kTCErrInvalidArgs;
  PKITBSCertList& tbs = crl->tbsCertList;
  const int64_t now = Now();
  if (int32_t e = SetTime(ctx, &tbs.thisUpdate, now)) return e;
  if (days == 0) {
    PKIFreeTime(Codec(ctx), tbs.nextUpdate);
    tbs.nextUpdate = nullptr;
    return kTCErrNone;
  }
  if (tbs.nextUpdate == nullptr) {
    tbs.nextUpdate = PKINewTime(Codec(ctx));
    if (tbs.nextUpdate == nullptr) return kTCErrNoMemory;
  }
  return SetTime(ctx, tbs.nextUpdate, now + int64_t{days} * kSecondsPerDay);
}

int32_t tc_crlExtensionList(PKIExtensions** out, PKICertificateList* crl) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (crl == nullptr) return kTCErrInvalidArgs;
  *out = crl->tbsCertList.crlExtensions;
  return kTCErrNone;
}

int32_t tc_crlEntryExtList(PKIExtensions** out, PKICertificateList* crl, PKIINTEGER* serial) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (crl == nullptr) return kTCErrInvalidArgs;
  const PKIRevokedCertificates* entries = crl->tbsCertList.revokedCertificates;
  for (int32_t i = 0; entries != nullptr && serial != nullptr && i < entries->count; ++i) {
    if (tc_compare_serial(&entries->elements[i]->userCertificate, serial) == 1) {
      *out = entries->elements[i]->crlEntryExtensions;
      break;
    }
  }
  return kTCErrNone;
}

int32_t tc_pack_crl(uint8_t** out, uint32_t* outLength, PKICertificateList* crl, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (crl == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kCertificateList, kPKITagSequence, crl, &der)) return e;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t tc_unpack_crl(PKICertificateList** out, const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (der == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  void* crl = nullptr;
  if (int32_t e = Decode(ctx, cert_asn::kCertificateList, kPKITagSequence, der, derLength, &crl))
    return compiler2tc_error(e);
  *out = static_cast<PKICertificateList*>(crl);
  return kTCErrNone;
}

void tc_free_crl(PKICertificateList* crl, TC_CONTEXT* ctx) {
  if (ctx != nullptr) PKIFreeCertificateList(Codec(ctx), crl);
}

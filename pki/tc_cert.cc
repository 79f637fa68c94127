// Toolkit certificates: decoding, the context's list, chain validation and
// creation (pki/tc_cert.h).
#include "pki/tc_cert.h"

#include "pki/tc_compare.h"
#include "pki/tc_crl.h"
#include "pki/tc_dname.h"
#include "pki/tc_extensions.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;

int32_t DecodeError(int32_t codec) { return codec == kPKIErrMemory ? kTCErrNoMemory : kTCErrParse; }

// The listed certificate of the same issuer and serial number, or null.
TC_CERT* Duplicate(TC_CERT* cert, TC_CONTEXT* ctx) {
  for (TC_CERT_LIST* node = ctx->certList; node != nullptr; node = node->next) {
    TC_CERT* held = node->cert;
    if (tc_compare_serial(&held->tbs->serialNumber, &cert->tbs->serialNumber) == 1 &&
        tc_compare_dname(&held->tbs->issuer, &cert->tbs->issuer, ctx) == 1)
      return held;
  }
  return nullptr;
}

const uint8_t* BytesOrNull(const PKIANY* any, uint32_t* length) {
  if (any == nullptr || any->bytes == nullptr || any->length == 0) {
    *length = 0;
    return nullptr;
  }
  *length = any->length;
  return any->bytes;
}

// The certificate's signature checked with its issuer's key, then its
// validity and revocation.
int32_t CheckOne(TC_CERT* cert, TC_CERT* issuer, int flags, TC_CONTEXT* ctx) {
  const PKIXCertificate* x = cert->xcert;
  const PKISubjectPublicKeyInfo& spki = issuer->tbs->subjectPublicKeyInfo;
  uint32_t paramsLength;
  const uint8_t* params = BytesOrNull(spki.algorithm.parameters, &paramsLength);
  if (ctx->verifyCallback(x->tbsCertificate.bytes, x->tbsCertificate.length, x->signatureAlgorithm.algorithm.bytes,
                          x->signatureAlgorithm.algorithm.length, params, paramsLength, x->signature.bytes,
                          x->signature.length, spki.subjectPublicKey.bytes, spki.subjectPublicKey.length, issuer,
                          ctx->verifyData, ctx) != 0)
    return kTCErrSignature;
  if ((flags & kTCFlagSkipValidity) == 0) {
    const int64_t now = Now();
    const int64_t notBefore = Comparable(tc_get_choiceoftime(&cert->tbs->validity.notBefore));
    const int64_t notAfter = Comparable(tc_get_choiceoftime(&cert->tbs->validity.notAfter));
    if (now < notBefore || now > notAfter) return kTCErrInvalidData;
  }
  return tc_check_crl(ctx, cert, flags);
}

bool Usable(const TC_CERT* cert) { return cert != nullptr && cert->xcert != nullptr && cert->tbs != nullptr; }

}  // namespace

int32_t tc_unpack_cert(TC_CERT** out, const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (der == nullptr || derLength == 0 || ctx == nullptr) return kTCErrInvalidArgs;
  auto* cert = NewZeroed<TC_CERT>(ctx);
  if (cert == nullptr) return kTCErrNoMemory;
  void* parsed = nullptr;
  void* raw = nullptr;
  int32_t err = Decode(ctx, cert_asn::kCertificate, kPKITagSequence, der, derLength, &parsed);
  cert->cert = static_cast<PKICertificate*>(parsed);
  if (err == 0) err = Decode(ctx, cert_asn::kXCertificate, kPKITagSequence, der, derLength, &raw);
  cert->xcert = static_cast<PKIXCertificate*>(raw);
  if (err != 0) {
    tc_free_cert(cert, ctx);
    return DecodeError(err);
  }
  cert->tbs = &cert->cert->tbsCertificate;
  *out = cert;
  return kTCErrNone;
}

int32_t tc_add_cert(TC_CERT* cert, TC_CONTEXT* ctx) {
  if (!Usable(cert) || ctx == nullptr) return kTCErrInvalidArgs;
  if (TC_CERT* held = Duplicate(cert, ctx)) {
    if (held != cert) tc_free_cert(cert, ctx);
    return kTCErrNone;
  }
  auto* node = NewZeroed<TC_CERT_LIST>(ctx);
  if (node == nullptr) return kTCErrNoMemory;
  node->cert = cert;
  node->next = ctx->certList;
  ctx->certList = node;
  return kTCErrNone;
}

int32_t tc_import_cert(const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx) {
  if (der == nullptr || derLength == 0 || ctx == nullptr) return kTCErrInvalidArgs;
  TC_CERT* cert = nullptr;
  if (int32_t e = tc_unpack_cert(&cert, der, derLength, ctx)) return e;
  int32_t e = tc_add_cert(cert, ctx);
  if (e != kTCErrNone) tc_free_cert(cert, ctx);
  return e;
}

int32_t tc_find_cert(TC_CERT** out, PKIName* name, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (name == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  for (TC_CERT_LIST* node = ctx->certList; node != nullptr; node = node->next) {
    if (tc_compare_dname(&node->cert->tbs->subject, name, ctx) == 1) {
      *out = node->cert;
      return kTCErrNone;
    }
  }
  return kTCErrNotFound;
}

int32_t tc_find_issuer(TC_CERT** out, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (!Usable(cert) || ctx == nullptr) return kTCErrInvalidArgs;
  if (tc_is_self_signed(cert, ctx) == 1) {
    *out = cert;
    return kTCErrNone;
  }
  return tc_find_cert(out, &cert->tbs->issuer, ctx) == kTCErrNone ? kTCErrNone : kTCErrIssuerMissing;
}

int32_t tc_validate_one_cert(TC_CERT* cert, int flags, TC_CONTEXT* ctx) {
  if (!Usable(cert) || ctx == nullptr || ctx->verifyCallback == nullptr) return kTCErrInvalidArgs;
  TC_CERT* issuer = nullptr;
  if (tc_find_issuer(&issuer, cert, ctx) != kTCErrNone) return kTCErrIssuerMissing;
  return CheckOne(cert, issuer, flags, ctx);
}

int32_t tc_validate_cert(TC_CERT* cert, int flags, TC_CONTEXT* ctx) {
  if (!Usable(cert) || ctx == nullptr || ctx->verifyCallback == nullptr) return kTCErrInvalidArgs;
  TC_CERT* const leaf = cert;
  for (int steps = 0;; ++steps) {
    TC_CERT* issuer = nullptr;
    if (tc_find_issuer(&issuer, cert, ctx) != kTCErrNone) return kTCErrIssuerMissing;
    if (int32_t e = CheckOne(cert, issuer, flags, ctx)) return e;
    if (int32_t e = tc_process_extensions(cert->tbs->extensions, cert, ctx)) return e;
    if (issuer == cert) return kTCErrNone;
    // A chain that comes back to a certificate it has passed never reaches
    // a root.
    TC_CERT* seen = leaf;
    for (int i = 0; i <= steps; ++i) {
      if (seen == issuer) return kTCErrIssuerMissing;
      if (i < steps && tc_find_issuer(&seen, seen, ctx) != kTCErrNone) break;
    }
    cert = issuer;
  }
}

int32_t tc_set_alg(PKIAlgorithmIdentifier* alg, const uint8_t* oid, uint32_t oidLength, const uint8_t* params,
                   uint32_t paramsLength, TC_CONTEXT* ctx) {
  if (alg == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  return SetAlgorithm(ctx, alg, oid, oidLength, params, paramsLength);
}

int32_t tc_create_cert(TC_CERT** out, int32_t version, const uint8_t* serial, uint32_t serialLength,
                       const uint8_t* sigOid, uint32_t sigOidLength, const uint8_t* sigParams,
                       uint32_t sigParamsLength, PKIName* issuer, int64_t notBefore, int64_t notAfter,
                       PKIName* subject, PKIExtensions* extensions, const uint8_t* keyOid, uint32_t keyOidLength,
                       const uint8_t* publicKey, uint32_t publicKeyLength, const uint8_t* keyParams,
                       uint32_t keyParamsLength, TC_CONTEXT* ctx) {
  if (out != nullptr) *out = nullptr;
  if (ctx == nullptr || ctx->signCallback == nullptr || out == nullptr || issuer == nullptr || subject == nullptr ||
      static_cast<uint32_t>(version) > 2 || serial == nullptr || serialLength == 0 || sigOid == nullptr ||
      keyOid == nullptr || (publicKey == nullptr && publicKeyLength != 0))
    return kTCErrInvalidArgs;
  Owned<PKICertificate> cert(cert_asn::kCertificate, ctx);
  if (!cert.make()) return kTCErrNoMemory;
  PKITBSCertificate& tbs = cert->tbsCertificate;
  if (version != 0) {
    tbs.version = PKINewINTEGER(Codec(ctx));
    if (tbs.version == nullptr || !SetInt32(ctx, tbs.version, version)) return kTCErrNoMemory;
  }
  if (!SetBlock(ctx, &tbs.serialNumber, serial, serialLength)) return kTCErrNoMemory;
  if (int32_t e = SetAlgorithm(ctx, &tbs.signature, sigOid, sigOidLength, sigParams, sigParamsLength)) return e;
  PKIName* name = nullptr;
  if (int32_t e = CopyName(&name, issuer, ctx)) return e;
  tbs.issuer = *name;
  Release(ctx, name);
  if (int32_t e = CopyName(&name, subject, ctx)) return e;
  tbs.subject = *name;
  Release(ctx, name);
  if (int32_t e = SetTime(ctx, &tbs.validity.notBefore, notBefore)) return e;
  if (int32_t e = SetTime(ctx, &tbs.validity.notAfter, notAfter)) return e;
  if (extensions != nullptr) {
    if (version < 2) return kTCErrExtension;
    if (int32_t e = CopyExtList(&tbs.extensions, extensions, ctx)) return e;
  }
  if (int32_t e = SetAlgorithm(ctx, &tbs.subjectPublicKeyInfo.algorithm, keyOid, keyOidLength, keyParams,
                               keyParamsLength))
    return e;
  if (PKIPutBitString(Codec(ctx), &tbs.subjectPublicKeyInfo.subjectPublicKey, publicKey, publicKeyLength, 0) !=
      kPKIErrNone)
    return kTCErrNoMemory;
  Der tbsDer(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kTBSCertificate, kPKITagSequence, &tbs, &tbsDer)) return e;
  uint8_t* signature = nullptr;
  uint32_t signatureLength = 0;
  int signed_ = ctx->signCallback(&signature, &signatureLength, tbsDer.bytes, tbsDer.length, sigOid, sigOidLength,
                                  ctx->signData, ctx);
  ScopedBlock signatureOwner(ctx, signature);
  if (signed_ != 0) return kTCErrSign;
  if (signature == nullptr && signatureLength != 0) return kTCErrSign;
  if (int32_t e = SetAlgorithm(ctx, &cert->signatureAlgorithm, sigOid, sigOidLength, sigParams, sigParamsLength))
    return e;
  if (PKIPutBitString(Codec(ctx), &cert->signature, signature, signatureLength, 0) != kPKIErrNone)
    return kTCErrNoMemory;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kCertificate, kPKITagSequence, cert.get(), &der)) return e;
  return tc_unpack_cert(out, der.bytes, der.length, ctx);
}

int32_t tc_pack_cert(uint8_t** out, uint32_t* outLength, TC_CERT* cert, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (cert == nullptr || cert->cert == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kCertificate, kPKITagSequence, cert->cert, &der)) return e;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t tc_certExtensionList(PKIExtensions** out, TC_CERT* cert) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (cert == nullptr || cert->tbs == nullptr) return kTCErrInvalidArgs;
  *out = cert->tbs->extensions;
  return kTCErrNone;
}

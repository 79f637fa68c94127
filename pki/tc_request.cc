// Toolkit PKCS #10 requests and attribute lists (pki/tc_request.h).
#include "pki/tc_request.h"

#include "pki/tc_dname.h"
#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace {

using namespace ostrak::tc;
namespace cert_asn = ostrak::cert_asn;

// A new attribute of the type with one value (a copy of the DER), or null.
PKIAttribute* NewAttribute(const uint8_t* oid, uint32_t oidLength, const uint8_t* der, uint32_t derLength,
                           TC_CONTEXT* ctx) {
  Owned<PKIAttribute> attr(cert_asn::kAttribute, ctx);
  if (!attr.make() || !SetBlock(ctx, &attr->type, oid, oidLength)) return nullptr;
  PKIANY* value = PKINewANY(Codec(ctx));
  if (value == nullptr || !SetBlock(ctx, value, der, derLength) ||
      PKIAddOfElement(Codec(ctx), value, &attr->values) != kPKIErrNone) {
    PKIFreeANY(Codec(ctx), value);
    return nullptr;
  }
  return attr.release();
}

// Copies every attribute's type and first value into `into`. -3.
int32_t CopyAttributes(PKIAttributes* into, const PKIAttributes* from, TC_CONTEXT* ctx) {
  for (int32_t i = 0; i < from->count; ++i) {
    const PKIAttribute* a = from->elements[i];
    if (a == nullptr || a->values.count < 1) continue;
    const PKIANY* first = a->values.elements[0];
    PKIAttribute* copy = NewAttribute(a->type.bytes, a->type.length, first->bytes, first->length, ctx);
    if (copy == nullptr) return kTCErrNoMemory;
    if (PKIAddOfElement(Codec(ctx), copy, into) != kPKIErrNone) {
      PKIFreeAttribute(Codec(ctx), copy);
      return kTCErrNoMemory;
    }
  }
  return kTCErrNone;
}

}  // namespace

int32_t tc_create_request(PKICertificationRequest** out, int32_t version, const uint8_t* sigOid,
                          uint32_t sigOidLength, const uint8_t* sigParams, uint32_t sigParamsLength,
                          PKIName* subject, const uint8_t* keyOid, uint32_t keyOidLength, const uint8_t* publicKey,
                          uint32_t publicKeyLength, const uint8_t* keyParams, uint32_t keyParamsLength,
                          PKIAttributes* attributes, TC_CONTEXT* ctx) {
  if (out != nullptr) *out = nullptr;
  if (ctx == nullptr || ctx->signCallback == nullptr || out == nullptr || subject == nullptr) return kTCErrInvalidArgs;
  PKICertificationRequest* request = PKINewCertificationRequest(Codec(ctx));
  if (request == nullptr) return kTCErrNoMemory;
  // From here the request is the caller's, whatever fails.
  *out = request;
  if (static_cast<uint32_t>(version) > 2) return kTCErrInvalidArgs;
  PKICertificationRequestInfo& info = request->certificationRequestInfo;
  if (!SetInt32(ctx, &info.version, version)) return kTCErrNoMemory;
  PKIName* name = nullptr;
  if (int32_t e = CopyName(&name, subject, ctx)) return e;
  info.subject = *name;
  Release(ctx, name);
  if (int32_t e = SetAlgorithm(ctx, &info.subjectPKInfo.algorithm, keyOid, keyOidLength, keyParams, keyParamsLength))
    return e;
  if (publicKey == nullptr && publicKeyLength != 0) return kTCErrInvalidArgs;
  if (PKIPutBitString(Codec(ctx), &info.subjectPKInfo.subjectPublicKey, publicKey, publicKeyLength, 0) != kPKIErrNone)
    return kTCErrNoMemory;
  if (attributes != nullptr)
    if (int32_t e = CopyAttributes(&info.attributes, attributes, ctx)) return e;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kCertificationRequestInfo, kPKITagSequence, &info, &der)) return e;
  uint8_t* signature = nullptr;
  uint32_t signatureLength = 0;
  int result = ctx->signCallback(&signature, &signatureLength, der.bytes, der.length, sigOid, sigOidLength,
                                 ctx->signData, ctx);
  ScopedBlock signatureOwner(ctx, signature);
  if (result != 0 || (signature == nullptr && signatureLength != 0)) return kTCErrSign;
  if (int32_t e = SetAlgorithm(ctx, &request->signatureAlgorithm, sigOid, sigOidLength, sigParams, sigParamsLength))
    return e;
  if (PKIPutBitString(Codec(ctx), &request->signature, signature, signatureLength, 0) != kPKIErrNone)
    return kTCErrNoMemory;
  return kTCErrNone;
}

int32_t tc_validate_request(PKICertificationRequest* request, TC_CONTEXT* ctx) {
  if (request == nullptr || ctx == nullptr || ctx->verifyCallback == nullptr) return kTCErrInvalidArgs;
  PKICertificationRequestInfo& info = request->certificationRequestInfo;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kCertificationRequestInfo, kPKITagSequence, &info, &der)) return e;
  const PKIANY* params = info.subjectPKInfo.algorithm.parameters;
  const bool hasParams = params != nullptr && params->bytes != nullptr && params->length != 0;
  const PKIOBJECT_ID& alg = request->signatureAlgorithm.algorithm;
  const PKIBIT_STRING& key = info.subjectPKInfo.subjectPublicKey;
  if (ctx->verifyCallback(der.bytes, der.length, alg.bytes, alg.length, hasParams ? params->bytes : nullptr,
                          hasParams ? params->length : 0, request->signature.bytes, request->signature.length,
                          key.bytes, key.length, nullptr, ctx->verifyData, ctx) != 0)
    return kTCErrSignature;
  return kTCErrNone;
}

int32_t tc_pack_request(uint8_t** out, uint32_t* outLength, PKICertificationRequest* request, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (request == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kCertificationRequest, kPKITagSequence, request, &der)) return e;
  *outLength = der.length;
  *out = der.release();
  return kTCErrNone;
}

int32_t tc_unpack_request(PKICertificationRequest** out, const uint8_t* der, uint32_t derLength, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (der == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  void* request = nullptr;
  if (int32_t e = Decode(ctx, cert_asn::kCertificationRequest, kPKITagSequence, der, derLength, &request))
    return compiler2tc_error(e);
  *out = static_cast<PKICertificationRequest*>(request);
  return kTCErrNone;
}

void tc_free_request(PKICertificationRequest* request, TC_CONTEXT* ctx) {
  if (ctx != nullptr) PKIFreeCertificationRequest(Codec(ctx), request);
}

int32_t tc_create_attrlist(PKIAttributes** out, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (ctx == nullptr) return kTCErrInvalidArgs;
  *out = PKINewAttributes(Codec(ctx));
  return *out != nullptr ? kTCErrNone : kTCErrNoMemory;
}

int32_t tc_add_attribute(PKIAttributes* list, const uint8_t* oid, uint32_t oidLength, const uint8_t* der,
                         uint32_t derLength, TC_CONTEXT* ctx) {
  if (list == nullptr || oid == nullptr || oidLength == 0 || der == nullptr || derLength == 0 || ctx == nullptr)
    return kTCErrInvalidArgs;
  PKIAttribute* attr = NewAttribute(oid, oidLength, der, derLength, ctx);
  if (attr == nullptr) return kTCErrNoMemory;
  if (PKIAddOfElement(Codec(ctx), attr, list) != kPKIErrNone) {
    PKIFreeAttribute(Codec(ctx), attr);
    return kTCErrNoMemory;
  }
  return kTCErrNone;
}

int32_t tc_set_signing_time(PKIAttributes* list, TC_CONTEXT* ctx) {
  if (list == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  Owned<PKITime> time(cert_asn::kTime, ctx);
  if (!time.make()) return kTCErrNoMemory;
  if (int32_t e = SetTime(ctx, time.get(), Now())) return e;
  Der der(ctx);
  if (int32_t e = Encode(ctx, cert_asn::kTime, kPKITagChoice, time.get(), &der)) return e;
  return tc_add_attribute(list, TC_ALG_SIGNING_TIME, sizeof TC_ALG_SIGNING_TIME, der.bytes, der.length, ctx);
}

int32_t tc_find_attribute(uint8_t** out, uint32_t* outLength, PKICertificationRequest* request,
                          const uint8_t* oid, uint32_t oidLength, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (request == nullptr || oid == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const PKIAttributes& attrs = request->certificationRequestInfo.attributes;
  for (int32_t i = 0; i < attrs.count; ++i) {
    const PKIAttribute* a = attrs.elements[i];
    if (a == nullptr || !SameBytes(a->type.bytes, a->type.length, oid, oidLength)) continue;
    if (a->values.count < 1) break;
    const PKIANY* first = a->values.elements[0];
    uint8_t* copy = CopyBytes(ctx, first->bytes, first->length);
    if (copy == nullptr) return kTCErrNoMemory;
    *out = copy;
    *outLength = first->length;
    return kTCErrNone;
  }
  return kTCErrNotFound;
}

void tc_free_attrlist(PKIAttributes* list, TC_CONTEXT* ctx) {
  if (ctx != nullptr) PKIFreeAttributes(Codec(ctx), list);
}

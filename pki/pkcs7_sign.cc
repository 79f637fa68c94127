// sm_SignMessage: a SignedData with one signer (pki/pkcs7_message.h).
#include <cstring>

#include "pki/pkcs7_message.h"
#include "pki/pkcs7_message_support.h"

using ostrak::sm::Buffer;
using ostrak::sm::Encode;
using ostrak::sm::MoveInto;
using ostrak::sm::Owned;

namespace {

namespace p7 = ostrak::pkcs7_asn;
namespace x509 = ostrak::cert_asn;

constexpr int kErrFailed = -1;
constexpr int kErrContent = -8;
constexpr int kErrAttributes = -9;

// Appends an attribute of `type` with one value, the element in `value`
// (which it takes).
bool AddAttribute(PKICONTEXT* ctx, PKIAttributes* list, const char* type, Buffer* value) {
  Owned<PKIAttribute> attr(x509::kAttribute, ctx);
  if (!attr.Make() || !ostrak::sm::SetOID(ctx, &attr->type, type)) return false;
  Owned<PKIANY> any(ostrak::asn::kAny, ctx);
  if (!any.Make()) return false;
  MoveInto(value, any.get());
  if (PKIAddOfElement(ctx, any.get(), &attr->values) != kPKIErrNone) return false;
  any.release();
  if (PKIAddOfElement(ctx, attr.get(), list) != kPKIErrNone) return false;
  attr.release();
  return true;
}

// Appends a copy of an attribute (its DER decoded anew).
bool CopyAttribute(PKICONTEXT* ctx, PKIAttributes* list, PKIAttribute* from) {
  Buffer der(ctx);
  if (from == nullptr || Encode(x509::kAttribute, ctx, from, kPKITagSequence, &der) != kPKIErrNone) return false;
  PKIAttribute* copy = nullptr;
  int32_t err = kPKIErrNone;
  PKIUnpackAttribute(ctx, &copy, der.bytes(), der.length(), &err);
  if (copy == nullptr) return false;
  if (PKIAddOfElement(ctx, copy, list) != kPKIErrNone) {
    PKIFreeAttribute(ctx, copy);
    return false;
  }
  return true;
}

// Appends a copy of a certificate as the certificate alternative.
bool AddCertificate(PKICONTEXT* ctx, PKIExtendedCertificatesAndCertificates* list, PKICertificate* cert) {
  Buffer der(ctx);
  if (cert == nullptr || Encode(x509::kCertificate, ctx, cert, kPKITagSequence, &der) != kPKIErrNone) return false;
  Owned<PKIExtendedCertificateOrCertificate> choice(p7::kExtendedCertificateOrCertificate, ctx);
  if (!choice.Make()) return false;
  PKICertificate* copy = nullptr;
  int32_t err = kPKIErrNone;
  PKIUnpackCertificate(ctx, &copy, der.bytes(), der.length(), &err);
  if (copy == nullptr) return false;
  choice->tag = kPKITagSequence;
  choice->value = copy;
  if (PKIAddOfElement(ctx, choice.get(), list) != kPKIErrNone) return false;
  choice.release();
  return true;
}

}  // namespace

int sm_SignMessage(uint8_t** out, uint32_t* outLength, const uint8_t* content, uint32_t contentLength, int raw,
                   const char* contentType, const char* digestAlgorithm, const uint8_t* digestParameters,
                   uint32_t digestParametersLength, const char* signatureAlgorithm,
                   const uint8_t* signatureParameters, uint32_t signatureParametersLength, PKICertificate* signer,
                   PKIAttributes* attributes, SMCertificateList* certificates, SMDigestCallback digest,
                   void* digestData, SMSignCallback sign, void* signData, PKICONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kErrFailed;
  *out = nullptr;
  *outLength = 0;
  if (ostrak::asn::ManagerOf(ctx) == nullptr || (content == nullptr && contentLength != 0) ||
      contentType == nullptr || digestAlgorithm == nullptr || signatureAlgorithm == nullptr || signer == nullptr ||
      sign == nullptr)
    return kErrFailed;
  const bool isData = std::strcmp(contentType, SM_OID_CONTENT_DATA) == 0;

  Owned<PKISignedData> sd(p7::kSignedData, ctx);
  if (!sd.Make() || PKIPutIntVal(ctx, &sd->version, isData ? 1 : 3) != kPKIErrNone) return kErrFailed;
  Owned<PKIAlgorithmIdentifier> alg(x509::kAlgorithmIdentifier, ctx);
  if (!alg.Make() ||
      !ostrak::sm::SetAlgorithm(ctx, alg.get(), digestAlgorithm, digestParameters, digestParametersLength) ||
      PKIAddOfElement(ctx, alg.get(), &sd->digestAlgorithms) != kPKIErrNone)
    return kErrFailed;
  alg.release();

  // The content, and the bytes to digest.
  if (!ostrak::sm::SetOID(ctx, &sd->contentInfo.contentType, contentType)) return kErrFailed;
  sd->contentInfo.content = PKINewVariableBlock(ctx);
  if (sd->contentInfo.content == nullptr) return kErrFailed;
  const uint8_t* toDigest = content;
  uint32_t toDigestLength = contentLength;
  if (isData) {
    PKIOCTET_STRING octets = {contentLength, const_cast<uint8_t*>(content)};
    Buffer der(ctx);
    int32_t e = Encode(ostrak::asn::kOctetString, ctx, &octets, kPKITagOctetString, &der);
    if (e == kPKIErrMemory) return kErrFailed;
    if (e != kPKIErrNone) return kErrContent;
    MoveInto(&der, sd->contentInfo.content);
  } else {
    // The caller's element, stored as it is; its contents octets are
    // digested.
    uint32_t size = 0;
    ostrak::asn::Header h;
    if (contentLength == 0 || ostrak::asn::ElementSize(content, contentLength, &size) != kPKIErrNone ||
        size != contentLength || ostrak::asn::ReadHeader(content, contentLength, &h) != kPKIErrNone)
      return kErrContent;
    toDigest = content + h.size;
    toDigestLength = h.indefinite ? contentLength - h.size - 2 : h.length;
    if (PKIPutOctVal(ctx, sd->contentInfo.content, content, contentLength) != kPKIErrNone) return kErrFailed;
  }

  Owned<PKISignerInfo> si(p7::kSignerInfo, ctx);
  if (!si.Make() || PKIAddOfElement(ctx, si.get(), &sd->signerInfos) != kPKIErrNone) return kErrFailed;
  PKISignerInfo* info = si.release();
  if (PKIPutIntVal(ctx, &info->version, 1) != kPKIErrNone ||
      sm_CopyIssuerAndSerialNumber(&info->issuerAndSerialNumber, signer, ctx) != 0 ||
      !ostrak::sm::SetAlgorithm(ctx, &info->digestAlgorithm, digestAlgorithm, digestParameters,
                                digestParametersLength))
    return kErrFailed;

  // The bytes to sign: the content, or the DER SET of the attributes.
  Buffer signedAttributes(ctx);
  const uint8_t* toSign = content;
  uint32_t toSignLength = contentLength;
  if (attributes != nullptr || !isData) {
    if (digest == nullptr) return kErrFailed;
    info->authenticatedAttributes = PKINewAttributes(ctx);
    PKIAttributes* list = info->authenticatedAttributes;
    if (list == nullptr) return kErrFailed;
    {
      Owned<PKIOBJECT_ID> type(ostrak::asn::kObjectId, ctx, sm_StringToOID(contentType, ctx));
      Buffer value(ctx);
      if (type.get() == nullptr ||
          Encode(ostrak::asn::kObjectId, ctx, type.get(), kPKITagObjectId, &value) != kPKIErrNone ||
          !AddAttribute(ctx, list, SM_OID_CONTENT_TYPE, &value))
        return kErrFailed;
    }
    {
      PKIVariableBlock made = {0, nullptr};
      int rc = digest(&made, digestAlgorithm, toDigest, toDigestLength, digestData, ctx);
      Buffer value(ctx);
      int32_t e = rc == 0 ? Encode(ostrak::asn::kOctetString, ctx, &made, kPKITagOctetString, &value) : 0;
      PKIDropInPlaceVariableBlock(ctx, &made);
      if (rc != 0) return rc;
      if (e != kPKIErrNone || !AddAttribute(ctx, list, SM_OID_MESSAGE_DIGEST, &value)) return kErrFailed;
    }
    int32_t callerCount = attributes != nullptr && attributes->elements != nullptr ? attributes->count : 0;
    for (int32_t i = 0; i < callerCount; ++i)
      if (!CopyAttribute(ctx, list, attributes->elements[i])) return kErrFailed;
    int32_t e = Encode(x509::kAttributes, ctx, list, kPKITagSet, &signedAttributes);
    if (e == kPKIErrMemory) return kErrFailed;
    if (e != kPKIErrNone) return kErrAttributes;
    toSign = signedAttributes.bytes();
    toSignLength = signedAttributes.length();
  }

  int rc = sign(&info->encryptedDigest, digestAlgorithm, signatureAlgorithm, signer, toSign, toSignLength, signData,
                ctx);
  if (rc != 0) return rc;
  if (!ostrak::sm::SetAlgorithm(ctx, &info->digestEncryptionAlgorithm, signatureAlgorithm, signatureParameters,
                                signatureParametersLength))
    return kErrFailed;

  if (certificates != nullptr) {
    sd->certificates = PKINewExtendedCertificatesAndCertificates(ctx);
    if (sd->certificates == nullptr) return kErrFailed;
    for (SMCertificateList* node = certificates; node != nullptr; node = node->next)
      if (!AddCertificate(ctx, sd->certificates, node->certificate)) return kErrFailed;
  }
  return ostrak::sm::OutputMessage(p7::kSignedData, sd.get(), raw, SM_OID_CONTENT_SIGNED_DATA, out, outLength, ctx);
}

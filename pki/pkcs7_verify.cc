// sm_VerifyMessage: one signer of a SignedData checked through the caller's
// hash and verify callbacks, and its content handed out
// (pki/pkcs7_message.h).
//
// The content octets are located inside the stored inner element only:
// its header is read within the element's own length, so no length field
// of it can point past what was decoded.
#include <cstring>

#include "pki/pkcs7_message.h"
#include "pki/pkcs7_message_support.h"

using ostrak::sm::Buffer;
using ostrak::sm::OIDText;
using ostrak::sm::Owned;

namespace {

constexpr int kErrFailed = -1;
constexpr int kErrDigestValue = -11;
constexpr int kErrNoDigest = -12;
constexpr int kErrDigestDiffers = -13;

// The content of a SignedData: the octets signed, and the whole element.
struct Content {
  explicit Content(PKICONTEXT* ctx) : joined(ctx) {}
  bool present = false;
  bool isData = false;
  const uint8_t* octets = nullptr;
  uint32_t octetsLength = 0;
  const uint8_t* element = nullptr;
  uint32_t elementLength = 0;
  Buffer joined;  // the data type's OCTET STRING, segments joined
};

// Locates the content octets within the stored element; false when they
// are not there (or memory fails).
bool Locate(PKIContentInfo& info, Content* c, PKICONTEXT* ctx) {
  PKIANY* any = info.content;
  if (any == nullptr || any->bytes == nullptr || any->length == 0) return true;
  c->present = true;
  c->element = any->bytes;
  c->elementLength = any->length;
  c->isData = ostrak::sm::SameBytes(info.contentType.bytes, info.contentType.length, PKIdata_OID,
                                    kPKIContentTypeOIDLength);
  if (c->isData) {
    PKIOCTET_STRING* decoded = nullptr;
    int32_t err = kPKIErrNone;
    uint32_t n = PKIUnpackOCTET_STRING(ctx, &decoded, any->bytes, any->length, &err);
    Owned<PKIOCTET_STRING> owner(ostrak::asn::kOctetString, ctx, decoded);
    if (decoded == nullptr || n != any->length) return false;
    c->octetsLength = decoded->length;
    c->joined.Adopt(decoded->bytes, decoded->length);
    decoded->bytes = nullptr;
    decoded->length = 0;
    c->octets = c->joined.bytes();
    return true;
  }
  ostrak::asn::Header h;
  if (ostrak::asn::ReadHeader(any->bytes, any->length, &h) != kPKIErrNone) return false;
  if (h.indefinite) {
    // The contents run up to the end-of-contents pair that ends the element.
    if (any->length - h.size < 2 || !ostrak::asn::AtEndOfContents(any->bytes + any->length - 2, 2)) return false;
    c->octetsLength = any->length - h.size - 2;
  } else {
    if (!ostrak::asn::ContentFits(h, any->length)) return false;
    c->octetsLength = h.length;
  }
  c->octets = any->bytes + h.size;
  return true;
}

// The first value of the first messageDigest attribute decoded as an
// OCTET STRING into *value: kPKIErrNone, kErrNoDigest, kErrDigestValue
// (also for an attribute without values) or kErrFailed.
int FindMessageDigest(PKIAttributes* attrs, PKICONTEXT* ctx, PKIOCTET_STRING** value) {
  Owned<PKIOBJECT_ID> wanted(ostrak::asn::kObjectId, ctx, sm_StringToOID(SM_OID_MESSAGE_DIGEST, ctx));
  if (wanted.get() == nullptr) return kErrFailed;
  int32_t count = attrs->elements != nullptr && attrs->count > 0 ? attrs->count : 0;
  for (int32_t i = 0; i < count; ++i) {
    PKIAttribute* a = attrs->elements[i];
    if (a == nullptr || sm_CompareOID(&a->type, wanted.get()) != 0) continue;
    if (a->values.elements == nullptr || a->values.count < 1 || a->values.elements[0] == nullptr)
      return kErrDigestValue;
    PKIANY* first = a->values.elements[0];
    int32_t err = kPKIErrNone;
    PKIUnpackOCTET_STRING(ctx, value, first->bytes, first->length, &err);
    return *value != nullptr ? kPKIErrNone : kErrDigestValue;
  }
  return kErrNoDigest;
}

// The checks of one signer; *ran is set once the verify callback has run.
int Check(PKISignedData* sd, PKICertificate* certificate, const Content& c, SMDigestCallback hash, void* hashData,
          SMVerifyCallback verify, void* verifyData, PKICONTEXT* ctx, bool* ran) {
  PKISignerInfo* signer = nullptr;
  {
    Owned<PKIIssuerAndSerialNumber> wanted(ostrak::pkcs7_asn::kIssuerAndSerialNumber, ctx);
    if (!wanted.Make() || sm_CopyIssuerAndSerialNumber(wanted.get(), certificate, ctx) != 0) return kErrFailed;
    PKISignerInfos& infos = sd->signerInfos;
    int32_t count = infos.elements != nullptr && infos.count > 0 ? infos.count : 0;
    for (int32_t i = 0; i < count && signer == nullptr; ++i)
      if (infos.elements[i] != nullptr &&
          sm_CompareIssuerAndSerialNumber(wanted.get(), &infos.elements[i]->issuerAndSerialNumber, ctx) == 1)
        signer = infos.elements[i];
  }
  if (signer == nullptr) return kErrFailed;
  OIDText digestAlgorithm(ctx, &signer->digestAlgorithm.algorithm);
  if (digestAlgorithm.get() == nullptr) return kErrFailed;

  Buffer attributes(ctx);
  const uint8_t* data = c.octets;
  uint32_t length = c.octetsLength;
  if (signer->authenticatedAttributes != nullptr) {
    PKIOCTET_STRING* expected = nullptr;
    int rc = FindMessageDigest(signer->authenticatedAttributes, ctx, &expected);
    Owned<PKIOCTET_STRING> expectedOwner(ostrak::asn::kOctetString, ctx, expected);
    if (rc != kPKIErrNone) return rc;
    if (hash == nullptr) return kErrFailed;
    PKIVariableBlock computed = {0, nullptr};
    rc = hash(&computed, digestAlgorithm.get(), c.octets, c.octetsLength, hashData, ctx);
    bool same = ostrak::sm::SameBytes(computed.bytes, computed.bytes != nullptr ? computed.length : 0,
                                      expected->bytes, expected->bytes != nullptr ? expected->length : 0);
    PKIDropInPlaceVariableBlock(ctx, &computed);
    if (rc != 0) return rc;
    if (!same) return kErrDigestDiffers;
    if (ostrak::sm::Encode(ostrak::cert_asn::kAttributes, ctx, signer->authenticatedAttributes, kPKITagSet,
                           &attributes) != kPKIErrNone)
      return kErrFailed;
    data = attributes.bytes();
    length = attributes.length();
  }
  OIDText signatureAlgorithm(ctx, &signer->digestEncryptionAlgorithm.algorithm);
  if (signatureAlgorithm.get() == nullptr || verify == nullptr) return kErrFailed;
  *ran = true;
  return verify(data, length, digestAlgorithm.get(), signatureAlgorithm.get(), &signer->encryptedDigest,
                certificate, verifyData, ctx);
}

}  // namespace

int sm_VerifyMessage(uint8_t** content, uint32_t* contentLength, PKISignedData* signedData,
                     PKICertificate* certificate, SMDigestCallback hash, void* hashData, SMVerifyCallback verify,
                     void* verifyData, PKICONTEXT* ctx) {
  if (content != nullptr) *content = nullptr;
  if (contentLength != nullptr) *contentLength = 0;
  if (signedData == nullptr || ostrak::asn::ManagerOf(ctx) == nullptr ||
      (content != nullptr && contentLength == nullptr))
    return kErrFailed;
  Content c(ctx);
  if (!Locate(signedData->contentInfo, &c, ctx)) return kErrFailed;
  int result = 0;
  if (certificate != nullptr) {
    bool ran = false;
    result = Check(signedData, certificate, c, hash, hashData, verify, verifyData, ctx, &ran);
    if (!ran) return result;
  }
  if (content != nullptr && c.present) {
    Buffer out(ctx);
    bool copied = c.isData ? out.Copy(c.octets, c.octetsLength) : out.Copy(c.element, c.elementLength);
    if (!copied) return kErrFailed;
    *contentLength = out.length();
    *content = out.release();
  }
  return result;
}

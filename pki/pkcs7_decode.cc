// The PKCS #7 message layer's decoders, copies and comparison of issuers
// and serial numbers, and the recipient search.
#include <cstring>

#include "pki/pkcs7_message.h"
#include "pki/pkcs7_message_support.h"

using ostrak::sm::Buffer;
using ostrak::sm::Encode;
using ostrak::sm::Owned;

namespace {

template <class R>
R* Decode(const ostrak::asn::TypeDesc& t, const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx) {
  if (bytes == nullptr || length == 0) return nullptr;
  R* rec = nullptr;
  int32_t err = kPKIErrNone;
  ostrak::asn::UnpackTyped(t, ctx, &rec, bytes, length, kPKITagSequence, &err, true);
  if (err != kPKIErrNone) {
    ostrak::asn::FreeRecord(t, ctx, rec);
    return nullptr;
  }
  return rec;
}

}  // namespace

PKIContentInfo* sm_DecodeMessage(const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx) {
  return Decode<PKIContentInfo>(ostrak::pkcs7_asn::kContentInfo, bytes, length, ctx);
}

PKISignedData* sm_DecodeSignedData(const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx) {
  return Decode<PKISignedData>(ostrak::pkcs7_asn::kSignedData, bytes, length, ctx);
}

PKIEnvelopedData* sm_DecodeEnvelopedData(const uint8_t* bytes, uint32_t length, PKICONTEXT* ctx) {
  return Decode<PKIEnvelopedData>(ostrak::pkcs7_asn::kEnvelopedData, bytes, length, ctx);
}

int sm_CopyDistinguishedName(PKIName* out, PKIName* name, PKICONTEXT* ctx) {
  if (out == nullptr || name == nullptr) return -1;
  Buffer der(ctx);
  if (Encode(ostrak::cert_asn::kName, ctx, name, kPKITagChoice, &der) != kPKIErrNone) return -1;
  int32_t err = kPKIErrNone;
  uint32_t n = PKIUnpkInPlaceName(ctx, out, der.bytes(), der.length(), kPKITagChoice, &err);
  if (err != kPKIErrNone || n != der.length()) {
    PKIDropInPlaceName(ctx, out);
    return -1;
  }
  return 0;
}

int sm_CopyIssuerAndSerialNumber(PKIIssuerAndSerialNumber* out, PKICertificate* certificate, PKICONTEXT* ctx) {
  if (out == nullptr || certificate == nullptr) return -1;
  PKITBSCertificate& tbs = certificate->tbsCertificate;
  if (sm_CopyDistinguishedName(&out->issuer, &tbs.issuer, ctx) != 0) return -1;
  if (PKIPutOctVal(ctx, &out->serialNumber, tbs.serialNumber.bytes, tbs.serialNumber.length) != kPKIErrNone)
    return -1;
  return 0;
}

int sm_CompareIssuerAndSerialNumber(PKIIssuerAndSerialNumber* a, PKIIssuerAndSerialNumber* b, PKICONTEXT* ctx) {
  if (a == nullptr || b == nullptr) return 0;
  Buffer da(ctx), db(ctx);
  const ostrak::asn::TypeDesc& t = ostrak::pkcs7_asn::kIssuerAndSerialNumber;
  if (Encode(t, ctx, a, kPKITagSequence, &da) != kPKIErrNone) return 0;
  if (Encode(t, ctx, b, kPKITagSequence, &db) != kPKIErrNone) return 0;
  return ostrak::sm::SameBytes(da.bytes(), da.length(), db.bytes(), db.length()) ? 1 : 0;
}

int sm_CertIsRecipient(PKICertificate* certificate, PKIEnvelopedData* envelopedData, PKICONTEXT* ctx) {
  if (envelopedData == nullptr) return -1;
  PKIRecipientInfos& list = envelopedData->recipientInfos;
  int32_t count = list.elements != nullptr && list.count > 0 ? list.count : 0;
  if (certificate == nullptr) return count > 0 ? 0 : -1;
  Owned<PKIIssuerAndSerialNumber> wanted(ostrak::pkcs7_asn::kIssuerAndSerialNumber, ctx);
  if (!wanted.Make() || sm_CopyIssuerAndSerialNumber(wanted.get(), certificate, ctx) != 0) return -1;
  Buffer want(ctx);
  if (Encode(ostrak::pkcs7_asn::kIssuerAndSerialNumber, ctx, wanted.get(), kPKITagSequence, &want) != kPKIErrNone)
    return -1;
  for (int32_t i = 0; i < count; ++i) {
    Buffer have(ctx);
    if (Encode(ostrak::pkcs7_asn::kIssuerAndSerialNumber, ctx, &list.elements[i]->issuerAndSerialNumber,
               kPKITagSequence, &have) != kPKIErrNone)
      continue;
    if (ostrak::sm::SameBytes(want.bytes(), want.length(), have.bytes(), have.length())) return i;
  }
  return -1;
}

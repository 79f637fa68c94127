// sm_EncryptMessage and sm_DecryptMessage: an EnvelopedData for a list of
// recipients, and its opening for one (pki/pkcs7_message.h).
#include <cstring>

#include "pki/pkcs7_message.h"
#include "pki/pkcs7_message_support.h"

using ostrak::sm::OIDText;
using ostrak::sm::Owned;

namespace {

namespace p7 = ostrak::pkcs7_asn;

constexpr int kErrFailed = -1;

// Releases what the encrypt callback left in every recipient record, on
// every path once it has run.
class RecipientOutputs {
 public:
  RecipientOutputs(PKICONTEXT* ctx, SMRecipientList* list) : ctx_(ctx), list_(list) {}
  ~RecipientOutputs() {
    for (SMRecipientList* node = list_; node != nullptr; node = node->next) {
      SMRecipient* r = node->recipient;
      if (r == nullptr) continue;
      ostrak::asn::Deallocate(ctx_, r->keyEncryptionAlgorithm);
      ostrak::asn::Deallocate(ctx_, r->encryptedKey);
      r->keyEncryptionAlgorithm = nullptr;
      r->encryptedKey = nullptr;
      r->encryptedKeyLength = 0;
    }
  }
  RecipientOutputs(const RecipientOutputs&) = delete;
  RecipientOutputs& operator=(const RecipientOutputs&) = delete;

 private:
  PKICONTEXT* ctx_;
  SMRecipientList* list_;
};

}  // namespace

int sm_EncryptMessage(uint8_t** out, uint32_t* outLength, const uint8_t* content, uint32_t contentLength, int raw,
                      const char* contentType, const char* contentEncryptionAlgorithm, SMRecipientList* recipients,
                      SMEncryptCallback encrypt, void* encryptData, PKICONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kErrFailed;
  *out = nullptr;
  *outLength = 0;
  if (ostrak::asn::ManagerOf(ctx) == nullptr || (content == nullptr && contentLength != 0) ||
      contentType == nullptr || contentEncryptionAlgorithm == nullptr || encrypt == nullptr)
    return kErrFailed;

  Owned<PKIEnvelopedData> ed(p7::kEnvelopedData, ctx);
  if (!ed.Make() || PKIPutIntVal(ctx, &ed->version, 0) != kPKIErrNone) return kErrFailed;
  PKIEncryptedContentInfo& eci = ed->encryptedContentInfo;
  eci.encryptedContent = PKINewVariableBlock(ctx);
  eci.contentEncryptionAlgorithm.parameters = PKINewVariableBlock(ctx);
  if (eci.encryptedContent == nullptr || eci.contentEncryptionAlgorithm.parameters == nullptr) return kErrFailed;

  int rc = encrypt(eci.encryptedContent, eci.contentEncryptionAlgorithm.parameters, contentEncryptionAlgorithm,
                   content, contentLength, recipients, encryptData, ctx);
  if (rc != 0) return rc;
  RecipientOutputs release(ctx, recipients);
  PKIANY*& parameters = eci.contentEncryptionAlgorithm.parameters;
  if (parameters->length == 0 || parameters->bytes == nullptr) {
    PKIFreeVariableBlock(ctx, parameters);
    parameters = nullptr;
  }

  for (SMRecipientList* node = recipients; node != nullptr; node = node->next) {
    SMRecipient* r = node->recipient;
    if (r == nullptr) return kErrFailed;
    Owned<PKIRecipientInfo> info(p7::kRecipientInfo, ctx);
    if (!info.Make() || PKIPutIntVal(ctx, &info->version, 0) != kPKIErrNone ||
        sm_CopyIssuerAndSerialNumber(&info->issuerAndSerialNumber, r->certificate, ctx) != 0 ||
        r->keyEncryptionAlgorithm == nullptr ||
        !ostrak::sm::SetOID(ctx, &info->keyEncryptionAlgorithm.algorithm, r->keyEncryptionAlgorithm) ||
        PKIPutOctVal(ctx, &info->encryptedKey, r->encryptedKey, r->encryptedKeyLength) != kPKIErrNone ||
        PKIAddOfElement(ctx, info.get(), &ed->recipientInfos) != kPKIErrNone)
      return kErrFailed;
    info.release();
  }

  if (!ostrak::sm::SetOID(ctx, &eci.contentType, contentType) ||
      !ostrak::sm::SetOID(ctx, &eci.contentEncryptionAlgorithm.algorithm, contentEncryptionAlgorithm))
    return kErrFailed;
  return ostrak::sm::OutputMessage(p7::kEnvelopedData, ed.get(), raw, SM_OID_CONTENT_ENVELOPED_DATA, out, outLength,
                                   ctx);
}

int sm_DecryptMessage(uint8_t** content, uint32_t* contentLength, PKIEnvelopedData* envelopedData,
                      PKICertificate* certificate, SMDecryptCallback decrypt, void* decryptData, PKICONTEXT* ctx) {
  if (content != nullptr) *content = nullptr;
  if (contentLength != nullptr) *contentLength = 0;
  if (content == nullptr || contentLength == nullptr || decrypt == nullptr) return kErrFailed;
  int index = sm_CertIsRecipient(certificate, envelopedData, ctx);
  if (index < 0) return kErrFailed;
  PKIRecipientInfo* recipient = envelopedData->recipientInfos.elements[index];
  PKIEncryptedContentInfo& eci = envelopedData->encryptedContentInfo;
  OIDText contentAlgorithm(ctx, &eci.contentEncryptionAlgorithm.algorithm);
  OIDText keyAlgorithm(ctx, &recipient->keyEncryptionAlgorithm.algorithm);
  if (contentAlgorithm.get() == nullptr || keyAlgorithm.get() == nullptr) return kErrFailed;
  return decrypt(content, contentLength, contentAlgorithm.get(), eci.contentEncryptionAlgorithm.parameters,
                 eci.encryptedContent, keyAlgorithm.get(), &recipient->encryptedKey, certificate, decryptData, ctx);
}

// Shared pieces of the PKCS #7 message layer (pki/pkcs7_message_support.h).
#include "pki/pkcs7_message_support.h"

#include <cstring>

#include "pki/pkcs7_message.h"

namespace ostrak::sm {

bool Buffer::Allocate(uint32_t n) {
  asn::Deallocate(ctx_, bytes_);
  bytes_ = nullptr;
  length_ = 0;
  if (n == 0) return false;
  bytes_ = static_cast<uint8_t*>(asn::Allocate(ctx_, n));
  if (bytes_ == nullptr) return false;
  length_ = n;
  return true;
}

bool Buffer::Copy(const uint8_t* from, uint32_t n) {
  if (n == 0) {
    asn::Deallocate(ctx_, bytes_);
    bytes_ = nullptr;
    length_ = 0;
    return true;
  }
  if (!Allocate(n)) return false;
  std::memcpy(bytes_, from, n);
  return true;
}

int32_t Encode(const asn::TypeDesc& t, PKICONTEXT* ctx, void* rec, uint8_t tag, Buffer* out) {
  uint32_t size = asn::Size(t, rec, 1, 0);
  if (size == 0 || size == UINT32_MAX) return kPKIErrValue;
  if (!out->Allocate(size)) return kPKIErrMemory;
  int32_t err = kPKIErrNone;
  uint32_t n = asn::Pack(t, ctx, out->bytes(), size, rec, tag, &err);
  if (err == kPKIErrNone && n != size) err = kPKIErrValue;
  if (err != kPKIErrNone) out->Allocate(0);
  return err;
}

void MoveInto(Buffer* from, PKIVariableBlock* to) {
  to->length = from->length();
  to->bytes = from->release();
}

bool SetOID(PKICONTEXT* ctx, PKIOBJECT_ID* oid, const char* text) {
  PKIOBJECT_ID* made = sm_StringToOID(text, ctx);
  if (made == nullptr) return false;
  PKIDropInPlaceVariableBlock(ctx, oid);
  *oid = *made;
  made->bytes = nullptr;
  made->length = 0;
  PKIFreeVariableBlock(ctx, made);
  return true;
}

bool SetAlgorithm(PKICONTEXT* ctx, PKIAlgorithmIdentifier* alg, const char* text, const uint8_t* parameters,
                  uint32_t parametersLength) {
  if (!SetOID(ctx, &alg->algorithm, text)) return false;
  if (parametersLength == 0) return true;
  uint32_t size = 0;
  if (parameters == nullptr || asn::ElementSize(parameters, parametersLength, &size) != kPKIErrNone ||
      size != parametersLength)
    return false;
  alg->parameters = PKINewVariableBlock(ctx);
  return alg->parameters != nullptr &&
         PKIPutOctVal(ctx, alg->parameters, parameters, parametersLength) == kPKIErrNone;
}

int OutputMessage(const asn::TypeDesc& t, void* rec, int raw, const char* wrapperType, uint8_t** out,
                  uint32_t* outLength, PKICONTEXT* ctx) {
  Buffer der(ctx);
  if (Encode(t, ctx, rec, kPKITagSequence, &der) != kPKIErrNone) return -1;
  if (!raw) {
    Owned<PKIContentInfo> info(pkcs7_asn::kContentInfo, ctx);
    if (!info.Make() || !SetOID(ctx, &info->contentType, wrapperType)) return -1;
    info->content = PKINewVariableBlock(ctx);
    if (info->content == nullptr) return -1;
    MoveInto(&der, info->content);
    if (Encode(pkcs7_asn::kContentInfo, ctx, info.get(), kPKITagSequence, &der) != kPKIErrNone) return -1;
  }
  *outLength = der.length();
  *out = der.release();
  return 0;
}

bool SameBytes(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  return aLength == bLength && (aLength == 0 || std::memcmp(a, b, aLength) == 0);
}

}  // namespace ostrak::sm

// One fuzz step for sm_VerifyMessage, shared by the libFuzzer target
// (sm_verify_fuzz.cc) and the random-mutation test: the input is a
// SignedData (DER or BER); when it decodes, it is verified against its own
// first certificate and without one, with stand-in callbacks that cost
// nothing: a hash callback that either agrees with the messageDigest
// attribute of the first signer (so the steps behind the digest check run)
// or returns a digest of its own, and a verify callback that accepts
// signatures of even length. Beyond not crashing, it traps when the layer
// breaks its contract:
// - the result is 0, -1, -11, -12, -13 or a callback's code;
// - content is handed out only with 0 or the verify callback's code, and
//   then lies within what the input could hold; nothing otherwise.
#ifndef OSTRAK_TESTS_PKI_FUZZ_SM_VERIFY_FUZZ_BODY_H_
#define OSTRAK_TESTS_PKI_FUZZ_SM_VERIFY_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pki/asn_engine.h"
#include "pki/pkcs7_message.h"

namespace sm_verify_fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr int kHashRefused = -71;
constexpr int kSignatureRejected = -72;

struct Helper {
  PKISignedData* sd;
  bool agree;  // return the value of the first signer's messageDigest
};

// The value of the first signer's first messageDigest, whole (tag and
// length); null when there is none.
inline PKIANY* ExpectedDigest(PKISignedData* sd) {
  static const uint8_t kMessageDigest[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
  if (sd->signerInfos.count < 1 || sd->signerInfos.elements == nullptr) return nullptr;
  PKIAttributes* attrs = sd->signerInfos.elements[0]->authenticatedAttributes;
  if (attrs == nullptr || attrs->elements == nullptr) return nullptr;
  for (int32_t i = 0; i < attrs->count; ++i) {
    PKIAttribute* a = attrs->elements[i];
    if (a->type.length == sizeof kMessageDigest && std::memcmp(a->type.bytes, kMessageDigest, a->type.length) == 0)
      return a->values.count > 0 && a->values.elements != nullptr ? a->values.elements[0] : nullptr;
  }
  return nullptr;
}

inline int Hash(PKIVariableBlock* out, const char* algorithm, const uint8_t* data, uint32_t length, void* helper,
                PKICONTEXT* ctx) {
  auto* h = static_cast<Helper*>(helper);
  Check(algorithm != nullptr && (data != nullptr || length == 0));
  if (std::strlen(algorithm) % 3 == 0) return kHashRefused;
  PKIANY* expected = ExpectedDigest(h->sd);
  if (h->agree && expected != nullptr && expected->length >= 2 && expected->length - 2 <= expected->bytes[1]) {
    // The bytes of a short-form OCTET STRING element.
    return PKIPutOctVal(ctx, out, expected->bytes + 2, expected->length - 2) == 0 ? 0 : kHashRefused;
  }
  uint8_t folded[20] = {};
  for (uint32_t i = 0; i < length; ++i) folded[i % 20] ^= data[i];
  return PKIPutOctVal(ctx, out, folded, sizeof folded) == 0 ? 0 : kHashRefused;
}

inline int Verify(const uint8_t* data, uint32_t length, const char* digest, const char* signature,
                  PKIOCTET_STRING* sig, PKICertificate* signer, void*, PKICONTEXT*) {
  Check((data != nullptr || length == 0) && digest != nullptr && signature != nullptr && sig != nullptr &&
        signer != nullptr);
  return sig->length % 2 == 0 ? 0 : kSignatureRejected;
}

inline void Run(PKICONTEXT* ctx, const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return;
  // A copy of exactly the input, so that a read past it is caught.
  std::vector<uint8_t> input(data, data + size);
  PKISignedData* sd = sm_DecodeSignedData(input.data(), static_cast<uint32_t>(size), ctx);
  if (sd == nullptr) return;
  PKICertificate* first = nullptr;
  if (sd->certificates != nullptr && sd->certificates->count > 0 &&
      (sd->certificates->elements[0]->tag & 0xDF) == 0x10)
    first = static_cast<PKICertificate*>(sd->certificates->elements[0]->value);
  for (PKICertificate* cert : {first, static_cast<PKICertificate*>(nullptr)}) {
    for (bool agree : {true, false}) {
      Helper helper{sd, agree};
      uint8_t* content = nullptr;
      uint32_t length = 12345;
      int rc = sm_VerifyMessage(&content, &length, sd, cert, Hash, &helper, Verify, nullptr, ctx);
      Check(rc == 0 || rc == -1 || rc == -11 || rc == -12 || rc == -13 || rc == kHashRefused ||
            rc == kSignatureRejected);
      if (content != nullptr) {
        Check(rc == 0 || rc == kSignatureRejected);
        Check(length <= size);
        ostrak::asn::Deallocate(ctx, content);
      } else {
        Check(length == 0);
      }
      if (cert == nullptr) Check(rc == 0 || rc == -1);
    }
  }
  PKIFreeSignedData(ctx, sd);
}

}  // namespace sm_verify_fuzz

#endif  // OSTRAK_TESTS_PKI_FUZZ_SM_VERIFY_FUZZ_BODY_H_

// One fuzz step for the PKCS #7, #8, #12 and enrollment modules, shared by
// the libFuzzer target (pkcs_asn_fuzz.cc) and the random-mutation test: the
// first byte picks the type in pkcs_asn_codecs::kCodecs, and the contract
// checks are those of the X.509 module's body (cert_asn_fuzz::RunCodec).
#ifndef OSTRAK_TESTS_PKI_FUZZ_PKCS_ASN_FUZZ_BODY_H_
#define OSTRAK_TESTS_PKI_FUZZ_PKCS_ASN_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>

#include "tests/pki/fuzz/cert_asn_fuzz_body.h"
#include "tests/pki/pkcs_asn_codecs.h"

namespace pkcs_asn_fuzz {

inline void Run(PKICONTEXT* ctx, const uint8_t* data, size_t size) {
  if (size < 1 || size > UINT32_MAX) return;
  const cert_asn_codecs::Codec& c = pkcs_asn_codecs::kCodecs[data[0] % pkcs_asn_codecs::kCodecCount];
  cert_asn_fuzz::RunCodec(c, ctx, data + 1, static_cast<uint32_t>(size - 1));
}

}  // namespace pkcs_asn_fuzz

#endif  // OSTRAK_TESTS_PKI_FUZZ_PKCS_ASN_FUZZ_BODY_H_

// One fuzz step for the X.509 module, shared by the libFuzzer target
// (cert_asn_fuzz.cc) and the random-mutation test run under the sanitizers.
// The first input byte picks the type (an index into
// cert_asn_codecs::kCodecs), the rest is the encoding. Beyond not crashing,
// it holds the codecs to their contract and traps when one breaks:
// - a public decoder either reports an error and returns nothing, or
//   returns a record having consumed 1..length bytes;
// - a decoded record whose encoding succeeds encodes to exactly Sizeof
//   bytes; that DER decodes whole, and encoding it again gives bytes that
//   are stable from then on (one more round may change them: a mandatory
//   ANY left empty writes nothing, so the next element takes its place when
//   the DER is read back);
// - the only ways a decoded record may fail to encode: two equal elements
//   in a SET OF, a CHOICE left without an alternative, an EXPLICIT wrapper
//   left empty.
#ifndef OSTRAK_TESTS_PKI_FUZZ_CERT_ASN_FUZZ_BODY_H_
#define OSTRAK_TESTS_PKI_FUZZ_CERT_ASN_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pki/cert_asn.h"
#include "tests/pki/cert_asn_codecs.h"

namespace cert_asn_fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Packs a record into a buffer of exactly its size; false when it does
// not encode (and then with one of the allowed errors).
inline bool Encode(const cert_asn_codecs::Codec& c, PKICONTEXT* ctx, void* rec, std::vector<uint8_t>* out) {
  out->assign(c.size(ctx, rec), 0);
  int32_t err = 12345;
  uint32_t n = c.pack(ctx, out->data(), static_cast<uint32_t>(out->size()), rec, &err);
  if (err != 0) {
    Check(err == kPKIErrDuplicate || err == kPKIErrChoice || err == kPKIErrOutputSmall);
    return false;
  }
  Check(n == out->size());
  return true;
}

// One input of one codec (the PKCS modules' target runs its types
// through this too).
inline void RunCodec(const cert_asn_codecs::Codec& c, PKICONTEXT* ctx, const uint8_t* in, uint32_t length) {
  // A copy of exactly the input, so that a read past it is caught.
  std::vector<uint8_t> input(in, in + length);
  void* rec = nullptr;
  int32_t err = 12345;
  uint32_t used = c.unpack(ctx, &rec, input.data(), length, &err);
  if (rec == nullptr) {
    Check(err != 0 && used == 0);
    return;
  }
  Check(err == 0 && used >= 1 && used <= length);
  std::vector<uint8_t> der;
  bool encoded = Encode(c, ctx, rec, &der);
  c.free(ctx, rec);
  if (!encoded) return;
  // DER we wrote decodes whole and re-encodes; two rounds reach a fixed
  // point.
  std::vector<uint8_t> previous;
  for (int round = 0; round < 2; ++round) {
    void* again = nullptr;
    used = c.unpack(ctx, &again, der.data(), static_cast<uint32_t>(der.size()), &err);
    Check(again != nullptr && err == 0 && used == der.size());
    previous.swap(der);
    Check(Encode(c, ctx, again, &der));
    c.free(ctx, again);
  }
  Check(der == previous);
}

inline void Run(PKICONTEXT* ctx, const uint8_t* data, size_t size) {
  if (size < 1 || size > UINT32_MAX) return;
  const cert_asn_codecs::Codec& c = cert_asn_codecs::kCodecs[data[0] % cert_asn_codecs::kCodecCount];
  RunCodec(c, ctx, data + 1, static_cast<uint32_t>(size - 1));
}

}  // namespace cert_asn_fuzz

#endif  // OSTRAK_TESTS_PKI_FUZZ_CERT_ASN_FUZZ_BODY_H_

// Pieces the units of the PKCS #7 message layer share (not for callers):
// owners of records and buffers from a codec context, encoding into a new
// buffer, and filling OIDs and algorithm identifiers from dotted texts.
#ifndef OSTRAK_PKI_PKCS7_MESSAGE_SUPPORT_H_
#define OSTRAK_PKI_PKCS7_MESSAGE_SUPPORT_H_

#include <cstdint>

#include "pki/asn_engine.h"
#include "pki/asn_types.h"
#include "pki/cert_asn.h"
#include "pki/pkcs7_message.h"

namespace ostrak::sm {

// Owns a record of descriptor `t` (freed with its contents).
template <class R>
class Owned {
 public:
  Owned(const asn::TypeDesc& t, PKICONTEXT* ctx, R* rec = nullptr) : t_(t), ctx_(ctx), rec_(rec) {}
  ~Owned() { asn::FreeRecord(t_, ctx_, rec_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  // A new zeroed record; false without memory.
  bool Make() {
    asn::FreeRecord(t_, ctx_, rec_);
    rec_ = static_cast<R*>(asn::NewRecord(t_, ctx_));
    return rec_ != nullptr;
  }
  R* get() const { return rec_; }
  R* operator->() const { return rec_; }
  R* release() {
    R* r = rec_;
    rec_ = nullptr;
    return r;
  }

 private:
  const asn::TypeDesc& t_;
  PKICONTEXT* ctx_;
  R* rec_;
};

// Owns bytes from a codec context's manager.
class Buffer {
 public:
  explicit Buffer(PKICONTEXT* ctx) : ctx_(ctx) {}
  ~Buffer() { asn::Deallocate(ctx_, bytes_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  // `n` uninitialised bytes in place of what it held; false without memory
  // (and for 0 bytes).
  bool Allocate(uint32_t n);
  // A copy of `n` bytes (nothing for 0); false without memory.
  bool Copy(const uint8_t* from, uint32_t n);
  // Takes `n` bytes from the context's manager in place of what it held.
  void Adopt(uint8_t* bytes, uint32_t n) {
    asn::Deallocate(ctx_, bytes_);
    bytes_ = bytes;
    length_ = bytes != nullptr ? n : 0;
  }
  uint8_t* bytes() const { return bytes_; }
  uint32_t length() const { return length_; }
  uint8_t* release() {
    uint8_t* b = bytes_;
    bytes_ = nullptr;
    length_ = 0;
    return b;
  }

 private:
  PKICONTEXT* ctx_;
  uint8_t* bytes_ = nullptr;
  uint32_t length_ = 0;
};

// The dotted text of an OID (sm_OIDToString), released on scope exit; null
// when the OID has none or memory fails.
class OIDText {
 public:
  OIDText(PKICONTEXT* ctx, PKIOBJECT_ID* oid) : ctx_(ctx), text_(sm_OIDToString(oid, ctx)) {}
  ~OIDText() { asn::Deallocate(ctx_, text_); }
  OIDText(const OIDText&) = delete;
  OIDText& operator=(const OIDText&) = delete;
  const char* get() const { return text_; }

 private:
  PKICONTEXT* ctx_;
  char* text_;
};

// The DER of a record under `tag` into a new buffer of exactly its size:
// kPKIErrNone, or the codec's error (kPKIErrMemory without memory,
// kPKIErrValue for a record that encodes to nothing).
int32_t Encode(const asn::TypeDesc& t, PKICONTEXT* ctx, void* rec, uint8_t tag, Buffer* out);

// A value block (OCTET STRING, ANY ...) takes the buffer's bytes.
void MoveInto(Buffer* from, PKIVariableBlock* to);

// Replaces an OID's content octets by those of a dotted text; false for a
// text sm_StringToOID refuses or without memory.
bool SetOID(PKICONTEXT* ctx, PKIOBJECT_ID* oid, const char* text);

// Fills an empty AlgorithmIdentifier: the OID of `text` and, when
// `parametersLength` is not 0, a copy of the parameters, which must be one
// whole element. False otherwise or without memory.
bool SetAlgorithm(PKICONTEXT* ctx, PKIAlgorithmIdentifier* alg, const char* text, const uint8_t* parameters,
                  uint32_t parametersLength);

// The DER of a message record (SignedData, EnvelopedData) as a builder's
// output: bare when `raw`, else inside a ContentInfo of `wrapperType`. 0,
// or -1 when it does not encode or memory fails.
int OutputMessage(const asn::TypeDesc& t, void* rec, int raw, const char* wrapperType, uint8_t** out,
                  uint32_t* outLength, PKICONTEXT* ctx);

// Two byte strings of the same length and bytes.
bool SameBytes(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength);

}  // namespace ostrak::sm

#endif  // OSTRAK_PKI_PKCS7_MESSAGE_SUPPORT_H_

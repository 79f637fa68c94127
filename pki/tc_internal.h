// Helpers the toolkit's files share: allocation through a context's
// memory manager, scoped owners that free on every early return, and
// encoding a record into a buffer of its exact size. Not for callers of
// the toolkit.
#ifndef OSTRAK_PKI_TC_INTERNAL_H_
#define OSTRAK_PKI_TC_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "pki/asn_engine.h"
#include "pki/tc_context.h"

namespace ostrak::tc {

inline PKICONTEXT* Codec(TC_CONTEXT* ctx) { return ctx->certCtx; }
inline void* Alloc(TC_CONTEXT* ctx, size_t n) { return ostrak::asn::Allocate(ctx->certCtx, n); }
inline void* AllocZeroed(TC_CONTEXT* ctx, size_t n) { return ostrak::asn::AllocateZeroed(ctx->certCtx, n); }
inline void Release(TC_CONTEXT* ctx, void* p) { ostrak::asn::Deallocate(ctx->certCtx, p); }
template <class T>
T* NewZeroed(TC_CONTEXT* ctx) {
  return static_cast<T*>(AllocZeroed(ctx, sizeof(T)));
}
// A copy of n bytes (n may be 0: a one-byte block is still made, so that
// null always means no memory).
uint8_t* CopyBytes(TC_CONTEXT* ctx, const uint8_t* bytes, uint32_t n);
// A NUL-terminated copy of n bytes, or null without memory.
char* CopyText(TC_CONTEXT* ctx, const uint8_t* bytes, size_t n);
inline char* CopyText(TC_CONTEXT* ctx, const char* text) {
  return CopyText(ctx, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}
// Replaces a value block's bytes with a copy; false without memory (the
// block unchanged).
bool SetBlock(TC_CONTEXT* ctx, PKIVariableBlock* block, const uint8_t* bytes, uint32_t n);
bool SameBytes(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength);

// Frees a block through the context on scope exit unless released.
class ScopedBlock {
 public:
  explicit ScopedBlock(TC_CONTEXT* ctx, void* p = nullptr) : ctx_(ctx), p_(p) {}
  ~ScopedBlock() { Release(ctx_, p_); }
  ScopedBlock(const ScopedBlock&) = delete;
  ScopedBlock& operator=(const ScopedBlock&) = delete;
  void reset(void* p) {
    Release(ctx_, p_);
    p_ = p;
  }
  void* release() { return std::exchange(p_, nullptr); }
  void* get() const { return p_; }

 private:
  TC_CONTEXT* ctx_;
  void* p_;
};

// Owns a codec record of descriptor D, freed through the engine.
template <class R>
class Owned {
 public:
  Owned(const ostrak::asn::TypeDesc& d, TC_CONTEXT* ctx, R* p = nullptr) : d_(&d), ctx_(ctx), p_(p) {}
  ~Owned() { ostrak::asn::FreeRecord(*d_, ctx_->certCtx, p_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  // A new zeroed record; false without memory.
  bool make() {
    reset(static_cast<R*>(ostrak::asn::NewRecord(*d_, ctx_->certCtx)));
    return p_ != nullptr;
  }
  void reset(R* p) {
    ostrak::asn::FreeRecord(*d_, ctx_->certCtx, p_);
    p_ = p;
  }
  R* release() { return std::exchange(p_, nullptr); }
  R* get() const { return p_; }
  R* operator->() const { return p_; }
  R** out() { return &p_; }

 private:
  const ostrak::asn::TypeDesc* d_;
  TC_CONTEXT* ctx_;
  R* p_;
};

// A DER encoding made by Encode, freed through the context.
struct Der {
  explicit Der(TC_CONTEXT* ctx) : ctx(ctx) {}
  ~Der() { Release(ctx, bytes); }
  Der(const Der&) = delete;
  Der& operator=(const Der&) = delete;
  uint8_t* release() { return std::exchange(bytes, nullptr); }
  TC_CONTEXT* ctx;
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
};
// Encodes a record with `tag` into a buffer of exactly its size; 0, -3, a
// mapped codec error, or -21 when the size comes out 0.
int32_t Encode(TC_CONTEXT* ctx, const ostrak::asn::TypeDesc& t, uint8_t tag, void* rec, Der* out);
// Decodes one value of type t (public form: nothing decoded is an error);
// 0 or the codec error (unmapped; a record that cannot be allocated is
// reported as kPKIErrMemory). *out is null on failure.
int32_t Decode(TC_CONTEXT* ctx, const ostrak::asn::TypeDesc& t, uint8_t tag, const uint8_t* in, uint32_t inLen,
               void** out);

// INTEGER content as a signed 32-bit value; false when it is empty or
// does not fit.
bool IntegerToInt32(const PKIINTEGER* v, int32_t* out);
// INTEGER content as an unsigned 32-bit value; false when it is empty,
// negative or does not fit.
bool IntegerToUInt32(const PKIINTEGER* v, uint32_t* out);
// Sets an INTEGER to a signed or unsigned 32-bit value; false without memory.
bool SetInt32(TC_CONTEXT* ctx, PKIINTEGER* v, int32_t value);
bool SetUInt32(TC_CONTEXT* ctx, PKIINTEGER* v, uint32_t value);

// A Time choice set to `when` (seconds since 1970): UTCTime before 2050,
// GeneralizedTime from then on; any earlier value is dropped. 0, -1 for a
// time neither form holds, -3.
int32_t SetTime(TC_CONTEXT* ctx, PKITime* t, int64_t when);
// A toolkit time (tc_get_choiceoftime) in the order the checks compare:
// the unknown mark (all ones) as -1, below every other value.
inline int64_t Comparable(uint32_t toolkitTime) {
  return toolkitTime == 0xFFFFFFFFu ? -1 : static_cast<int64_t>(toolkitTime);
}
// The current time, seconds since 1970.
int64_t Now();

// Fills an AlgorithmIdentifier (tc_set_alg without the argument checks).
int32_t SetAlgorithm(TC_CONTEXT* ctx, PKIAlgorithmIdentifier* alg, const uint8_t* oid, uint32_t oidLength,
                     const uint8_t* params, uint32_t paramsLength);

// A reason mask as the one-byte ReasonFlags BIT STRING ((mask × 2) mod 256,
// one unused bit), or null without memory; and read back (the first
// content byte shifted right by one, 0 when empty or absent).
PKIBIT_STRING* ReasonBits(TC_CONTEXT* ctx, int32_t mask);
int32_t ReasonMask(const PKIBIT_STRING* bits);

}  // namespace ostrak::tc

#endif  // OSTRAK_PKI_TC_INTERNAL_H_

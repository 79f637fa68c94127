// The helpers the toolkit's files share (pki/tc_internal.h).
#include <ctime>

#include "pki/tc_internal.h"
#include "pki/tc_time.h"

namespace ostrak::tc {

using ostrak::asn::TypeDesc;

uint8_t* CopyBytes(TC_CONTEXT* ctx, const uint8_t* bytes, uint32_t n) {
  auto* copy = static_cast<uint8_t*>(Alloc(ctx, n == 0 ? 1 : n));
  if (copy != nullptr && n != 0) std::memcpy(copy, bytes, n);
  return copy;
}

char* CopyText(TC_CONTEXT* ctx, const uint8_t* bytes, size_t n) {
  auto* copy = static_cast<char*>(Alloc(ctx, n + 1));
  if (copy == nullptr) return nullptr;
  if (n != 0) std::memcpy(copy, bytes, n);
  copy[n] = '\0';
  return copy;
}

bool SetBlock(TC_CONTEXT* ctx, PKIVariableBlock* block, const uint8_t* bytes, uint32_t n) {
  uint8_t* copy = CopyBytes(ctx, bytes, n);
  if (copy == nullptr) return false;
  Release(ctx, block->bytes);
  block->bytes = copy;
  block->length = n;
  return true;
}

bool SameBytes(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  if (aLength != bLength) return false;
  if (aLength == 0) return true;
  if (a == nullptr || b == nullptr) return false;
  return std::memcmp(a, b, aLength) == 0;
}

int32_t Encode(TC_CONTEXT* ctx, const TypeDesc& t, uint8_t tag, void* rec, Der* out) {
  uint32_t size = ostrak::asn::Size(t, rec, 1, 0);
  if (size == 0 || size == UINT32_MAX) return kTCErrUnknown;
  auto* buffer = static_cast<uint8_t*>(Alloc(ctx, size));
  if (buffer == nullptr) return kTCErrNoMemory;
  int32_t err = 0;
  uint32_t written = ostrak::asn::Pack(t, ctx->certCtx, buffer, size, rec, tag, &err);
  if (err == 0 && written != size) err = kPKIErrOutputSmall;
  if (err != 0) {
    Release(ctx, buffer);
    return compiler2tc_error(err);
  }
  Release(ctx, out->bytes);
  out->bytes = buffer;
  out->length = size;
  return kTCErrNone;
}

int32_t Decode(TC_CONTEXT* ctx, const TypeDesc& t, uint8_t tag, const uint8_t* in, uint32_t inLen, void** out) {
  *out = nullptr;
  int32_t err = 0;
  ostrak::asn::UnpackPublic(t, ctx->certCtx, out, in, inLen, tag, &err);
  // Every place given is real: a record that cannot be had is no memory.
  if (err == kPKIErrNoPlace) err = kPKIErrMemory;
  if (err != 0) {
    ostrak::asn::FreeRecord(t, ctx->certCtx, *out);
    *out = nullptr;
  }
  return err;
}

namespace {

// The INTEGER content without redundant leading sign octets.
bool Minimal(const PKIINTEGER* v, const uint8_t** p, uint32_t* n) {
  if (v == nullptr || v->bytes == nullptr || v->length == 0) return false;
  *p = v->bytes;
  *n = v->length;
  while (*n > 1 && (((*p)[0] == 0x00 && ((*p)[1] & 0x80) == 0) || ((*p)[0] == 0xFF && ((*p)[1] & 0x80) != 0))) {
    ++*p;
    --*n;
  }
  return true;
}

}  // namespace

bool IntegerToInt32(const PKIINTEGER* v, int32_t* out) {
  const uint8_t* p;
  uint32_t n;
  if (!Minimal(v, &p, &n) || n > 4) return false;
  int64_t value = (p[0] & 0x80) ? -1 : 0;
  for (uint32_t i = 0; i < n; ++i) value = static_cast<int64_t>(static_cast<uint64_t>(value) << 8) | p[i];
  *out = static_cast<int32_t>(value);
  return true;
}

bool IntegerToUInt32(const PKIINTEGER* v, uint32_t* out) {
  const uint8_t* p;
  uint32_t n;
  if (!Minimal(v, &p, &n) || (p[0] & 0x80) != 0) return false;
  if (n == 5 && p[0] == 0) {
    ++p;
    --n;
  }
  if (n > 4) return false;
  uint32_t value = 0;
  for (uint32_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  *out = value;
  return true;
}

bool SetInt32(TC_CONTEXT* ctx, PKIINTEGER* v, int32_t value) {
  return PKIPutIntVal(ctx->certCtx, v, value) == kPKIErrNone;
}

bool SetUInt32(TC_CONTEXT* ctx, PKIINTEGER* v, uint32_t value) {
  const uint8_t be[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                         static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  uint32_t skip = 0;
  while (skip < 3 && be[skip] == 0) ++skip;
  return PKIPutUIntBytes(ctx->certCtx, v, be + skip, 4 - skip) == kPKIErrNone;
}

namespace {
constexpr int64_t kFirstSecondOf2050 = 2524608000;
}  // namespace

int32_t SetTime(TC_CONTEXT* ctx, PKITime* t, int64_t when) {
  PKIVariableBlock* value = nullptr;
  bool utc = when >= 0 && when < kFirstSecondOf2050;
  int32_t e = utc ? tc_encode_utctime(&value, when, ctx) : tc_EncodeGeneralizedTime(&value, when, ctx);
  if (e != kTCErrNone) {
    PKIFreeVariableBlock(ctx->certCtx, value);
    return e;
  }
  PKIFreeVariableBlock(ctx->certCtx, static_cast<PKIVariableBlock*>(t->value));
  t->tag = utc ? kPKITagUTCTime : kPKITagGeneralizedTime;
  t->value = value;
  return kTCErrNone;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

int32_t SetAlgorithm(TC_CONTEXT* ctx, PKIAlgorithmIdentifier* alg, const uint8_t* oid, uint32_t oidLength,
                     const uint8_t* params, uint32_t paramsLength) {
  if (oidLength != 0 && oid == nullptr) return kTCErrInvalidArgs;
  if (!SetBlock(ctx, &alg->algorithm, oid, oidLength)) return kTCErrNoMemory;
  PKIFreeANY(ctx->certCtx, alg->parameters);
  alg->parameters = nullptr;
  if (params != nullptr && paramsLength != 0) {
    PKIANY* p = PKINewANY(ctx->certCtx);
    if (p == nullptr || !SetBlock(ctx, p, params, paramsLength)) {
      PKIFreeANY(ctx->certCtx, p);
      return kTCErrNoMemory;
    }
    alg->parameters = p;
  }
  return kTCErrNone;
}

}  // namespace ostrak::tc

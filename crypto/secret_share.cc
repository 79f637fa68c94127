#include "crypto/secret_share.h"

#include <cstring>
#include <mutex>

#include "crypto/random_pool.h"
#include "crypto/context_random.h"
#include "foundation/context.h"

namespace {

constexpr uint32_t kFieldPolynomial = 0x169;
constexpr uint32_t kMaxShares = 255;

struct FieldTables {
  uint8_t exp[512];  // 510 entries plus two wrap-around entries
  uint8_t log[256];  // log[0] holds 255 once built
};

std::once_flag gTablesOnce;
FieldTables gTables;  // written once under gTablesOnce

void BuildTables() {
  uint32_t x = 1;
  for (int i = 0; i < 255; ++i) {
    gTables.exp[i] = static_cast<uint8_t>(x);
    gTables.exp[i + 255] = static_cast<uint8_t>(x);
    gTables.log[x] = static_cast<uint8_t>(i);
    x <<= 1;
    if (x & 0x100) x ^= kFieldPolynomial;
  }
  gTables.exp[510] = gTables.exp[0];
  gTables.exp[511] = gTables.exp[1];
  gTables.log[0] = 255;
}

const FieldTables& Tables() {
  std::call_once(gTablesOnce, BuildTables);
  return gTables;
}

// Sums of logarithms folded modulo 255 by adding the high byte to the low.
uint32_t Fold(uint32_t v) {
  while (v > 255) v = (v & 0xff) + (v >> 8);
  return v == 255 ? 0 : v;
}

struct ShareView {
  uint8_t* base;
  size_t recordSize;
  uint8_t* Record(size_t i) const { return base + i * recordSize; }
};

// Writes into the scratch byte of each of the first t shares the logarithm
// of its Lagrange coefficient for evaluating at x: 0, or -1 when two
// coordinates coincide or one equals x.
int Interp(const ShareView& shares, uint8_t x, uint32_t t) {
  const FieldTables& tb = Tables();
  uint32_t sum = 0;
  for (uint32_t m = 0; m < t; ++m) {
    uint8_t d = shares.Record(m)[1] ^ x;
    if (d == 0) return -1;
    sum += tb.log[d];
  }
  sum = Fold(sum);
  for (uint32_t j = 0; j < t; ++j) {
    uint8_t xj = shares.Record(j)[1];
    uint32_t denominator = tb.log[xj ^ x];
    for (uint32_t m = 0; m < t; ++m) {
      if (m == j) continue;
      uint8_t d = xj ^ shares.Record(m)[1];
      if (d == 0) return -1;
      denominator += tb.log[d];
    }
    denominator = Fold(denominator);
    shares.Record(j)[3] = static_cast<uint8_t>(Fold(sum + 255 - denominator));
  }
  return 0;
}

// The polynomial through the first t shares at the coordinate their scratch
// bytes were computed for, at byte position k.
uint8_t Evaluate(const ShareView& shares, uint32_t t, size_t k) {
  const FieldTables& tb = Tables();
  uint8_t value = 0;
  for (uint32_t j = 0; j < t; ++j) {
    const uint8_t* r = shares.Record(j);
    uint8_t y = r[kQOXShareHeaderSize + k];
    if (y != 0) value ^= tb.exp[r[3] + tb.log[y]];
  }
  return value;
}

void ClearScratch(const ShareView& shares, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) shares.Record(i)[3] = 0;
}

}  // namespace

QOXError QOXSecretShareData(QOXContext* context, const void* secret, size_t length,
                            uint32_t threshold, uint32_t shareCount, void* shares) {
  if (secret == nullptr || shares == nullptr || threshold == 0 || shareCount < threshold ||
      shareCount > kMaxShares || !qoxContextIsValid(context)) {
    return kQOXErrBadParams;
  }
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXRandomContext* rc = qoxContextGetX9_17RandomContext(context);
  if (rc == nullptr) return kQOXErrOutOfMemory;

  ShareView view{static_cast<uint8_t*>(shares), kQOXShareHeaderSize + length};
  for (uint32_t i = 0; i < shareCount; ++i) {
    uint8_t* r = view.Record(i);
    uint8_t x = 0;
    for (;;) {
      qoxRandomGetBytes(rc, &x, 1);
      if (x == 0) continue;
      bool used = false;
      for (uint32_t m = 0; m < i && !used; ++m) used = view.Record(m)[1] == x;
      if (!used) break;
    }
    r[0] = kQOXShareMarker;
    r[1] = x;
    r[2] = static_cast<uint8_t>(threshold);
    r[3] = 0;
  }
  // t - 1 random points of a polynomial of degree t - 1, and the secret at 0.
  for (uint32_t i = 0; i + 1 < threshold; ++i) {
    qoxRandomGetBytes(rc, view.Record(i) + kQOXShareHeaderSize, length);
  }
  uint8_t* secretShare = view.Record(threshold - 1);
  std::memmove(secretShare + kQOXShareHeaderSize, secret, length);
  uint8_t target = secretShare[1];
  secretShare[1] = 0;
  // From the last share down to share t - 1, each takes the value at the
  // current target and passes its own coordinate on as the next target.
  // Every byte is read before it is written, so share t - 1 is both the
  // secret at 0 and the share computed from it.
  for (uint32_t i = shareCount; i-- > threshold - 1;) {
    Interp(view, target, threshold);
    uint8_t* r = view.Record(i);
    for (size_t k = 0; k < length; ++k) r[kQOXShareHeaderSize + k] = Evaluate(view, threshold, k);
    uint8_t previous = r[1];
    r[1] = target;
    target = previous;
  }
  ClearScratch(view, shareCount);
  return kQOXErrNoErr;
}

QOXError QOXSecretReconstructData(QOXContext* context, void* shares, size_t length,
                                  uint32_t shareCount, void* output) {
  if (shares == nullptr || output == nullptr || shareCount == 0 || !qoxContextIsValid(context)) {
    return kQOXErrBadParams;
  }
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  ShareView view{static_cast<uint8_t*>(shares), kQOXShareHeaderSize + length};
  const uint8_t threshold = view.Record(0)[2];
  for (uint32_t i = 0; i < shareCount; ++i) {
    const uint8_t* r = view.Record(i);
    if (r[0] != kQOXShareMarker || r[2] != threshold) return kQOXErrBadParams;
  }
  if (threshold == 0 || shareCount < threshold) return kQOXErrBadParams;
  int bad = Interp(view, 0, threshold);
  if (bad == 0) {
    auto* out = static_cast<uint8_t*>(output);
    for (size_t k = 0; k < length; ++k) out[k] = Evaluate(view, threshold, k);
  }
  ClearScratch(view, shareCount);
  return bad == 0 ? kQOXErrNoErr : kQOXErrBadParams;
}

#include "keydb/trust.h"

#include <algorithm>
#include <cmath>

#include "foundation/env.h"
#include "keydb/key_db_obj.h"

namespace {

// The scales' constants: k1 = ln 10 / 2560, k2 = 2560 / ln 10 and the odds
// at 65534, computed once (thread-safe static initialisation).
struct TrustConstants {
  double k1;
  double k2;
  double maxOdds;
};

const TrustConstants& Constants() {
  static const TrustConstants constants = [] {
    const double ln10 = std::log(10.0);
    TrustConstants c;
    c.k1 = ln10 / 2560.0;
    c.k2 = 2560.0 / ln10;
    c.maxOdds = std::exp(c.k1 * kQOXTrustInternMaxFinite);
    return c;
  }();
  return constants;
}

constexpr uint8_t kLegacyUndefined = 0;
constexpr uint8_t kLegacyUnknown = 1;
constexpr uint8_t kLegacyNever = 2;
constexpr uint8_t kLegacyMarginal = 5;
constexpr uint8_t kLegacyComplete = 6;
constexpr uint8_t kLegacyUltimate = 7;

constexpr uint8_t kOldInvalid = 1;
constexpr uint8_t kOldMarginal = 2;
constexpr uint8_t kOldComplete = 3;

constexpr int32_t kThresholdDefault = 120;

int32_t Setting(const QOXEnv* env, int32_t key) {
  return static_cast<int32_t>(qoxenvGetInt(env, key, nullptr, nullptr));
}

// ceil(threshold / divisor) on the external scale; 0 when the divisor is
// below 1.
uint8_t Threshold(const QOXEnv* env, int32_t divisorKey) {
  int32_t threshold = env != nullptr ? Setting(env, kQOXEnvTrustThreshold) : kThresholdDefault;
  threshold = std::clamp(threshold, 0, 255);
  const int32_t divisor = env != nullptr ? Setting(env, divisorKey) : 1;
  if (divisor < 1) return 0;
  return static_cast<uint8_t>((threshold + divisor - 1) / divisor);
}

// 1 - 1/odds of an external value.
double ExternConfidence(uint8_t trust) { return 1.0 - 1.0 / qoxTrustToDouble(qoxTrustToIntern(trust)); }

}  // namespace

uint8_t qoxTrustToExtern(uint16_t trust) {
  if (trust == kQOXTrustInternCertain) return kQOXTrustExternCertain;
  return static_cast<uint8_t>(std::min<uint16_t>(trust >> 6, kQOXTrustExternMax));
}

uint16_t qoxTrustToIntern(uint8_t trust) {
  if (trust == kQOXTrustExternUndefined || trust == kQOXTrustExternUndefined + 1) return 0;
  if (trust == kQOXTrustExternCertain) return kQOXTrustInternCertain;
  return static_cast<uint16_t>(trust << 6);
}

double qoxTrustToDouble(uint16_t trust) { return std::exp(trust * Constants().k1); }

uint16_t qoxDoubleToTrust(double odds) {
  const TrustConstants& c = Constants();
  if (odds >= c.maxOdds) return kQOXTrustInternMaxFinite;
  return static_cast<uint16_t>(static_cast<int64_t>(std::log(odds) * c.k2 + 0.5));
}

uint8_t qoxenvMarginalTrust(const QOXEnv* env) { return Threshold(env, kQOXEnvTrustDivisor2); }
uint8_t qoxenvCompleteTrust(const QOXEnv* env) { return Threshold(env, kQOXEnvTrustDivisor1); }

uint8_t qoxTrustOldToExtern(const QOXEnv* env, uint8_t legacy) {
  switch (legacy & kQOXKeyTrust_OwnerMask) {
    case kLegacyUndefined:
      return kQOXTrustExternUndefined;
    case kLegacyMarginal:
      return qoxenvMarginalTrust(env);
    case kLegacyComplete:
      return qoxenvCompleteTrust(env);
    case kLegacyUltimate:
      return kQOXTrustExternCertain;
    default:
      return 0;
  }
}

uint8_t qoxTrustExternToOld(const QOXEnv* env, uint8_t trust) {
  if (trust == kQOXTrustExternCertain) return kLegacyUltimate;
  if (trust == kQOXTrustExternUndefined) return kLegacyUnknown;
  const int complete = qoxenvCompleteTrust(env);
  const int marginal = qoxenvMarginalTrust(env);
  if (trust >= (2 * complete + marginal) / 3) return kLegacyComplete;
  if (trust < (2 * marginal) / 3) return kLegacyNever;
  return kLegacyMarginal;
}

uint8_t qoxTrustOldKeyToUserID(uint8_t legacy) {
  switch (legacy) {
    case kLegacyNever:
      return kOldInvalid;
    case kLegacyMarginal:
      return kOldMarginal;
    case kLegacyComplete:
    case kLegacyUltimate:
      return kOldComplete;
    default:
      return 0;
  }
}

double pathKeyConfidence(QOXKeyDBObj* key) {
  bool any = false;
  double least = 0.0;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c)) continue;
    const UserIDInfo* u = qoxUserIDToUserIDInfo(c);
    if (u == nullptr || u->confidence == kQOXTrustExternUndefined) continue;
    const double confidence = ExternConfidence(u->confidence);
    least = any ? std::min(least, confidence) : confidence;
    any = true;
  }
  const KeyInfo* info = qoxKeyToKeyInfo(key);
  if (info != nullptr && info->signedTrust != 0) return std::max(least, ExternConfidence(info->signedTrust));
  return std::max(least, 0.0);
}

uint16_t qoxKeyCalcTrust(QOXKeyDBObj* key) {
  const double c = pathKeyConfidence(key);
  if (c >= 1.0) return kQOXTrustInternCertain;
  return qoxDoubleToTrust(1.0 / (1.0 - c));
}

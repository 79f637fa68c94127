// Trust scales and their conversions, and the confidence of a key as an
// introducer.
//
// Scales:
//   internal  16 bits: t stands for the odds 10^(t/2560), a confidence of
//             1 - 10^(-t/2560); 65534 is the largest finite value, 65535
//             certain.
//   external  8 bits (stored in user IDs, keys and trust packets): the
//             internal value shifted right 6, at most 252; 253 undefined,
//             254 not produced (read as 0), 255 certain.
//   legacy    3 bits of owner trust: 0 undefined, 1 unknown, 2 never,
//             5 marginal, 6 complete, 7 ultimate (3 and 4 carry no trust).
//   old       2 bits of user-ID validity: 0 unknown, 1 invalid, 2 marginal,
//             3 complete.
// The thresholds come from the context's settings 1014 (trust that counts as
// fully valid, external scale), 1005 (complete introducers needed) and 1011
// (marginal introducers needed): complete = ceil(1014 / 1005), marginal =
// ceil(1014 / 1011), 0 when the divisor is below 1.
//
// Thread safety: the conversion constants (ln 10 / 2560, its inverse and
// the odds at 65534) are computed once under the language's guard for
// static locals, so any number of threads may convert at once. A key is read
// on its context's thread.
#ifndef OSTRAK_KEYDB_TRUST_H_
#define OSTRAK_KEYDB_TRUST_H_

#include <cstdint>

struct QOXEnv;
struct QOXKeyDBObj;

inline constexpr uint16_t kQOXTrustInternMaxFinite = 65534;
inline constexpr uint16_t kQOXTrustInternCertain = 65535;
inline constexpr uint8_t kQOXTrustExternMax = 252;

uint8_t qoxTrustToExtern(uint16_t trust);
uint16_t qoxTrustToIntern(uint8_t trust);
// The odds 10^(t/2560).
double qoxTrustToDouble(uint16_t trust);
// The internal value of odds x (callers pass x >= 1): 65534 at or above the
// odds of 65534, else ln(x) x 2560 / ln 10 + 0.5, truncated.
uint16_t qoxDoubleToTrust(double odds);
// Legacy owner trust (low 3 bits) to the external scale: 0 -> 253,
// 5 -> marginal, 6 -> complete, 7 -> 255, anything else 0.
uint8_t qoxTrustOldToExtern(const QOXEnv* env, uint8_t legacy);
// External to legacy: 255 -> 7, 253 -> 1; otherwise 6 from (2 complete +
// marginal) / 3 up, 2 below 2 marginal / 3, else 5.
uint8_t qoxTrustExternToOld(const QOXEnv* env, uint8_t trust);
// Legacy owner trust to old user-ID validity: 2 -> 1, 5 -> 2, 6 and 7 -> 3,
// anything else 0.
uint8_t qoxTrustOldKeyToUserID(uint8_t legacy);
uint8_t qoxenvMarginalTrust(const QOXEnv* env);
uint8_t qoxenvCompleteTrust(const QOXEnv* env);

// The confidence (0 to 1) that a key is a good introducer: the smallest
// 1 - 1/odds over its real user IDs whose confidence is defined, 0 when
// none; raised to 1 - 1/odds of its signedTrust when it has one.
double pathKeyConfidence(QOXKeyDBObj* key);
// The same on the internal scale: 65535 when the confidence is 1, else the
// internal value of the odds 1 / (1 - confidence).
uint16_t qoxKeyCalcTrust(QOXKeyDBObj* key);

#endif  // OSTRAK_KEYDB_TRUST_H_

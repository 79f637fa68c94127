#include "crypto/pkalg.h"

#include <algorithm>
#include <cstring>

#include "crypto/bn.h"
#include "crypto/dsa.h"
#include "crypto/elgamal.h"
#include "crypto/key_encoding.h"
#include "crypto/rsa.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"

namespace {

// Lookup order of the known algorithms.
constexpr QOXPkAlg kKnownPkAlgs[] = {
    {1, kQOXPkAlgUseSign | kQOXPkAlgUseEncrypt},
    {3, kQOXPkAlgUseSign},
    {2, kQOXPkAlgUseEncrypt},
    {16, kQOXPkAlgUseEncrypt},
    {17, kQOXPkAlgUseSign},
};

bool IsRSA(uint32_t algorithm) { return algorithm >= 1 && algorithm <= 3; }

}  // namespace

const QOXPkAlg* qoxPkalgByNumber(uint32_t algorithm) {
  const uint8_t low = static_cast<uint8_t>(algorithm);
  for (const QOXPkAlg& row : kKnownPkAlgs) {
    if (row.algorithm == low) return &row;
  }
  return nullptr;
}

uint32_t qoxKeyAlgUse(const QOXPkAlg* row) { return row != nullptr ? row->use : 0; }

QOXPubKey* qoxPubKeyAlloc(QOXContext* context, uint8_t algorithm) {
  auto* key = static_cast<QOXPubKey*>(qoxContextMemAlloc(context, sizeof(QOXPubKey), kQOXMemoryMgrFlags_Clear));
  if (key == nullptr) return nullptr;
  std::memset(key, 0, sizeof(*key));
  key->context = context;
  key->algorithm = algorithm;
  return key;
}

QOXSecKey* qoxSecKeyAlloc(QOXContext* context, uint8_t algorithm) {
  auto* key = static_cast<QOXSecKey*>(qoxContextMemAlloc(context, sizeof(QOXSecKey), kQOXMemoryMgrFlags_Clear));
  if (key == nullptr) return nullptr;
  std::memset(key, 0, sizeof(*key));
  key->context = context;
  key->algorithm = algorithm;
  return key;
}

void qoxPubKeyFree(QOXPubKey* key) {
  if (key != nullptr) qoxContextMemFree(key->context, key);
}

void qoxSecKeyFree(QOXSecKey* key) {
  if (key == nullptr) return;
  QOXContext* context = key->context;
  bniMemWipe(key, sizeof(*key));
  qoxContextMemFree(context, key);
}

int qoxPubKeyPrefixSize(uint32_t algorithm, const uint8_t* buffer, size_t length) {
  if (IsRSA(algorithm)) return rsaPubKeyPrefixSize(buffer, length);
  if (algorithm == kQOXPublicKeyAlgorithm_ElGamal) return elgPubKeyPrefixSize(buffer, length);
  if (algorithm == kQOXPublicKeyAlgorithm_DSA) return dsaPubKeyPrefixSize(buffer, length);
  return 0;
}

QOXPubKey* qoxPubKeyFromBuf(QOXContext* context, uint32_t algorithm, const uint8_t* buffer, size_t length,
                            QOXError* error) {
  QOXError local = kQOXErrNoErr;
  QOXError* err = error != nullptr ? error : &local;
  *err = kQOXErrNoErr;
  bnInit();
  QOXPubKey* key = nullptr;
  if (buffer == nullptr) {
    *err = kQOXErrBadParams;
  } else if (IsRSA(algorithm)) {
    key = rsaPubFromBuf(context, buffer, length, err);
  } else if (algorithm == kQOXPublicKeyAlgorithm_ElGamal) {
    key = elgPubFromBuf(context, buffer, length, err);
  } else if (algorithm == kQOXPublicKeyAlgorithm_DSA) {
    key = dsaPubFromBuf(context, buffer, length, err);
  } else {
    *err = kQOXErrKeyAlgorithmUnknown;
  }
  if (key != nullptr) key->algorithm = static_cast<uint8_t>(algorithm);
  return key;
}

QOXSecKey* qoxSecKeyFromBuf(QOXContext* context, uint32_t algorithm, const uint8_t* buffer, size_t length,
                            int oldProtection, QOXError* error) {
  QOXError local = kQOXErrNoErr;
  QOXError* err = error != nullptr ? error : &local;
  *err = kQOXErrNoErr;
  bnInit();
  QOXSecKey* key = nullptr;
  if (buffer == nullptr) {
    *err = kQOXErrBadParams;
  } else if (IsRSA(algorithm)) {
    key = rsaSecFromBuf(context, buffer, length, oldProtection != 0, err);
  } else if (algorithm == kQOXPublicKeyAlgorithm_ElGamal) {
    key = elgSecFromBuf(context, buffer, length, err);
  } else if (algorithm == kQOXPublicKeyAlgorithm_DSA) {
    key = dsaSecFromBuf(context, buffer, length, err);
  } else {
    *err = kQOXErrKeyAlgorithmUnknown;
  }
  if (key != nullptr) key->algorithm = static_cast<uint8_t>(algorithm);
  return key;
}

QOXSecKey* qoxSecKeyGenerate(QOXContext* context, const QOXPkAlg* row, unsigned bits, bool fast,
                             bool oldProtection, QOXRandomContext* rc, QOXKeyGenProgress progress,
                             void* progressArg, QOXError* error) {
  QOXError local = kQOXErrNoErr;
  QOXError* err = error != nullptr ? error : &local;
  *err = kQOXErrNoErr;
  bnInit();
  const uint32_t algorithm = row != nullptr ? row->algorithm : 0;
  QOXSecKey* key = nullptr;
  if (IsRSA(algorithm)) {
    key = rsaSecGenerate(context, bits, fast, oldProtection, rc, progress, progressArg, err);
  } else if (algorithm == kQOXPublicKeyAlgorithm_ElGamal) {
    key = elgSecGenerate(context, bits, fast, rc, progress, progressArg, err);
  } else if (algorithm == kQOXPublicKeyAlgorithm_DSA) {
    key = dsaSecGenerate(context, bits, fast, rc, progress, progressArg, err);
  } else {
    *err = kQOXErrKeyAlgorithmUnknown;
  }
  if (key != nullptr) key->algorithm = static_cast<uint8_t>(algorithm);
  return key;
}

unsigned qoxSecKeyEntropy(const QOXPkAlg* row, unsigned bits, bool fast, bool oldProtection) {
  const uint32_t algorithm = row != nullptr ? row->algorithm : 0;
  if (algorithm == kQOXPublicKeyAlgorithm_ElGamal) return (3 * qoxDiscreteLogExponentBits(bits)) / 2 + 192;
  if (algorithm == kQOXPublicKeyAlgorithm_DSA) {
    unsigned b = (bits + 63) / 64 * 64;
    if (b <= 1024) return 672;
    return 2 * qoxDiscreteLogExponentBits(b) + qoxDiscreteLogQBits(b) + 192;
  }
  if (IsRSA(algorithm)) {
    if (fast && oldProtection) return std::max(384u, qoxDiscreteLogExponentBits(bits));
    return bits + 128;
  }
  return 0;
}

bool qoxIsKeyRelatedError(QOXError code) {
  return (code >= kQOXErrKeyPacketTrailingJunk && code <= kQOXErrUnimplementedPKOperation) ||
         code == kQOXErrFeatureNotAvailable;
}

// --- Key spec ---

QOXKeySpec* qoxKeySpecCreate(QOXEnv* env) {
  if (env == nullptr) return nullptr;
  QOXContext* context = qoxenvGetContext(env);
  auto* spec = static_cast<QOXKeySpec*>(qoxContextMemAlloc(context, sizeof(QOXKeySpec), kQOXMemoryMgrFlags_Clear));
  if (spec == nullptr) return nullptr;
  spec->context = context;
  spec->version = 3;
  auto hours = static_cast<int32_t>(qoxenvGetInt(env, kQOXEnvTimeOffsetHours, nullptr, nullptr));
  spec->creation = qoxTimeStamp(hours);
  spec->validity = 0;
  return spec;
}

QOXKeySpec* qoxKeySpecCopy(const QOXKeySpec* spec) {
  if (spec == nullptr) return nullptr;
  auto* copy = static_cast<QOXKeySpec*>(qoxContextMemAlloc(spec->context, sizeof(QOXKeySpec), 0));
  if (copy != nullptr) *copy = *spec;
  return copy;
}

void qoxKeySpecDestroy(QOXKeySpec* spec) {
  if (spec == nullptr) return;
  QOXContext* context = spec->context;
  bniMemWipe(spec, sizeof(*spec));
  qoxContextMemFree(context, spec);
}

uint32_t qoxKeySpecVersion(const QOXKeySpec* spec) { return spec->version; }
uint32_t qoxKeySpecCreation(const QOXKeySpec* spec) { return spec->creation; }
uint16_t qoxKeySpecValidity(const QOXKeySpec* spec) { return spec->validity; }

QOXError qoxKeySpecSetVersion(QOXKeySpec* spec, uint32_t version) {
  if (version < 2 || version > 4) return kQOXErrKeyVersionUnknown;
  spec->version = version;
  return kQOXErrNoErr;
}

QOXError qoxKeySpecSetCreation(QOXKeySpec* spec, uint32_t creation) {
  spec->creation = creation;
  return kQOXErrNoErr;
}

QOXError qoxKeySpecSetValidity(QOXKeySpec* spec, uint16_t days) {
  spec->validity = days;
  return kQOXErrNoErr;
}

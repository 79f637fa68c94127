#include "foundation/core/features.h"

#include <cstring>

#include "foundation/context.h"
#include "crypto/pkalg.h"

namespace {

struct PublicKeyRow {
  const char* shortName;
  const char* longName;
  uint32_t algorithm;
  uint8_t canEncrypt, canDecrypt, canSign, canVerify, canGenerate;
};

constexpr uint32_t kRSA = 1;
constexpr PublicKeyRow kPublicKeyRows[] = {
    {"RSA", "RSA (QOX)", kRSA, 1, 1, 1, 1, 1},
    {"ElGamal", "ElGamal", 16, 1, 1, 0, 0, 1},
    {"DSA", "Digital Signature Standard", 17, 0, 0, 1, 1, 1},
};
constexpr uint32_t kPublicKeyRowCount = sizeof(kPublicKeyRows) / sizeof(kPublicKeyRows[0]);

struct CipherRow {
  const char* name;
  uint32_t algorithm;
};

constexpr CipherRow kCipherRows[] = {
    {"IDEA", 1}, {"3DES", 2}, {"CAST5", 3}, {"Twofish", 10}, {"AES128", 7}, {"AES192", 8}, {"AES256", 9},
};
constexpr uint32_t kCipherRowCount = sizeof(kCipherRows) / sizeof(kCipherRows[0]);

// What the engine lets RSA do (kQOXPkAlgUseSign, kQOXPkAlgUseEncrypt bits).
uint32_t RSAUse() { return qoxKeyAlgUse(qoxPkalgByNumber(kRSA)); }

void CopyName(char* dest, size_t size, const char* name) {
  std::strncpy(dest, name, size - 1);  // the record is zeroed beforehand
}

}  // namespace

uint32_t QOXGetQOXsdkVersion() { return kQOXsdkVersion; }

uint32_t QOXGetQOXsdkAPIVersion() { return kQOXAPIVersion; }

QOXError QOXGetQOXsdkVersionString(char* buffer) {
  if (buffer == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  std::memcpy(buffer, kQOXsdkVersionString, sizeof(kQOXsdkVersionString));
  return kQOXErrNoErr;
}

QOXError QOXGetFeatureFlags(uint32_t selector, uint32_t* outFlags) {
  if (outFlags == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  switch (selector) {
    case kQOXFeatureSelectorGeneral:
      *outFlags = 15;
      return kQOXErrNoErr;
    case kQOXFeatureSelectorClient:
      *outFlags = 0;
      return kQOXErrNoErr;
    default:
      *outFlags = 0;
      return kQOXErrItemNotFound;
  }
}

QOXError QOXCountPublicKeyAlgorithms(uint32_t* outCount) {
  if (outCount == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  *outCount = RSAUse() == 0 ? kPublicKeyRowCount - 1 : kPublicKeyRowCount;
  return kQOXErrNoErr;
}

QOXError QOXGetIndexedPublicKeyAlgorithmInfo(uint32_t index, QOXPublicKeyAlgorithmInfo* outInfo) {
  if (outInfo == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  std::memset(outInfo, 0, sizeof(*outInfo));
  uint32_t rsaUse = RSAUse();
  if (rsaUse == 0) {
    if (index >= kPublicKeyRowCount - 1) return kQOXErrBadParams;
    ++index;  // RSA is skipped
  }
  if (index >= kPublicKeyRowCount) return kQOXErrBadParams;
  const PublicKeyRow& row = kPublicKeyRows[index];
  CopyName(outInfo->shortName, sizeof(outInfo->shortName), row.shortName);
  CopyName(outInfo->longName, sizeof(outInfo->longName), row.longName);
  outInfo->algorithm = row.algorithm;
  outInfo->canEncrypt = row.canEncrypt;
  outInfo->canDecrypt = row.canDecrypt;
  outInfo->canSign = row.canSign;
  outInfo->canVerify = row.canVerify;
  outInfo->canGenerate = row.canGenerate;
  if (row.algorithm == kRSA) {
    uint8_t encrypts = (rsaUse & kQOXPkAlgUseEncrypt) != 0;
    uint8_t signs = (rsaUse & kQOXPkAlgUseSign) != 0;
    outInfo->canEncrypt = outInfo->canDecrypt = encrypts;
    outInfo->canSign = outInfo->canVerify = signs;
  }
  return kQOXErrNoErr;
}

QOXError QOXCountSymmetricCiphers(uint32_t* outCount) {
  if (outCount == nullptr) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  *outCount = kCipherRowCount;
  return kQOXErrNoErr;
}

QOXError QOXGetIndexedSymmetricCipherInfo(uint32_t index, QOXSymmetricCipherInfo* outInfo) {
  if (outInfo == nullptr) return kQOXErrBadParams;
  std::memset(outInfo, 0, sizeof(*outInfo));
  if (index >= kCipherRowCount) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  const CipherRow& row = kCipherRows[index];
  CopyName(outInfo->shortName, sizeof(outInfo->shortName), row.name);
  CopyName(outInfo->longName, sizeof(outInfo->longName), row.name);
  outInfo->algorithm = row.algorithm;
  return kQOXErrNoErr;
}

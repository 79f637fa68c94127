#include "keydb/key_id.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/hex.h"
#include "foundation/sdk_errors.h"
#include "crypto/pkalg.h"

namespace {

constexpr size_t kShortLength = 4;
constexpr size_t kFullLength = 8;

bool LengthIsValid(size_t length) { return length == kShortLength || length == kFullLength; }

// The last 4 bytes of the ID (the whole of a 4-byte one).
const uint8_t* LowHalf(const QOXKeyID* id) { return id->bytes + (id->length - kShortLength); }

int32_t Sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

}  // namespace

QOXError qoxNewKeyIDFromRawData(const uint8_t* bytes, uint8_t algorithm, size_t length, QOXKeyID* outKeyID) {
  if (!LengthIsValid(length) || bytes == nullptr || outKeyID == nullptr) return kQOXErrBadParams;
  outKeyID->valid = 1;
  outKeyID->length = static_cast<uint8_t>(length);
  outKeyID->algorithm = algorithm;
  std::memcpy(outKeyID->bytes, bytes, length);
  return kQOXErrNoErr;
}

bool qoxKeyIDIsValid(const QOXKeyID* keyID) {
  return keyID != nullptr && keyID->valid == 1 && LengthIsValid(keyID->length);
}

size_t qoxKeyIDLength(const QOXKeyID* keyID) { return keyID->length; }

const uint8_t* qoxGetKeyIDBytes(const QOXKeyID* keyID) { return keyID->bytes; }

QOXError QOXNewKeyIDFromString(const char* text, uint8_t algorithm, QOXKeyID* outKeyID) {
  if (outKeyID == nullptr) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  if (text == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  if (text[0] == '0' && text[1] == 'x') text += 2;
  const size_t digits = std::strlen(text);
  if (digits != 2 * kShortLength && digits != 2 * kFullLength) return kQOXErrBadParams;
  uint8_t bytes[kFullLength];
  for (size_t i = 0; i < digits; ++i) {
    if (!qoxIsValidHexChar(text[i])) return kQOXErrBadParams;
  }
  for (size_t i = 0; i < digits / 2; ++i) {
    bytes[i] = static_cast<uint8_t>(qoxHexCharToNibble(text[2 * i]) << 4 | qoxHexCharToNibble(text[2 * i + 1]));
  }
  return qoxNewKeyIDFromRawData(bytes, algorithm, digits / 2, outKeyID);
}

QOXError QOXNewKeyID(const uint8_t* bytes, size_t length, uint8_t algorithm, QOXKeyID* outKeyID) {
  if (outKeyID == nullptr) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  if (bytes == nullptr || !LengthIsValid(length)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  return qoxNewKeyIDFromRawData(bytes, algorithm, length, outKeyID);
}

QOXError QOXGetKeyIDAlgorithm(const QOXKeyID* keyID, uint8_t* outAlgorithm) {
  if (outAlgorithm == nullptr) return kQOXErrBadParams;
  *outAlgorithm = 0;
  if (!qoxKeyIDIsValid(keyID)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  *outAlgorithm = keyID->algorithm;
  return kQOXErrNoErr;
}

QOXError QOXGetKeyIDString(const QOXKeyID* keyID, int form, char* outText) {
  if (outText == nullptr) return kQOXErrBadParams;
  std::memset(outText, 0, kQOXKeyIDStringSize);
  if (!qoxKeyIDIsValid(keyID)) return kQOXErrBadParams;
  if (form != kQOXKeyIDString_Abbreviated && form != kQOXKeyIDString_Full) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  const bool whole = form == kQOXKeyIDString_Full || keyID->length == kShortLength;
  const uint8_t* bytes = whole ? keyID->bytes : LowHalf(keyID);
  qoxBytesToHex(bytes, whole ? keyID->length : kShortLength, 1, outText);
  return kQOXErrNoErr;
}

int32_t qoxCompareKeyIDs(const QOXKeyID* a, const QOXKeyID* b) {
  if (!qoxKeyIDIsValid(a) || !qoxKeyIDIsValid(b)) return 0;
  if (a->length == b->length) {
    if (int c = std::memcmp(a->bytes, b->bytes, a->length); c != 0) return Sign(c);
  } else if (std::memcmp(LowHalf(a), LowHalf(b), kShortLength) != 0) {
    return a->length == kShortLength ? -1 : 1;
  }
  if (a->algorithm == kQOXKeyIDAnyAlgorithm || b->algorithm == kQOXKeyIDAnyAlgorithm) return 0;
  return a->algorithm == b->algorithm ? 0 : (a->algorithm < b->algorithm ? -1 : 1);
}

int32_t QOXCompareKeyIDs(const QOXKeyID* a, const QOXKeyID* b) {
  if (qoxEnterFunction() != kQOXErrNoErr) return 0;
  return qoxCompareKeyIDs(a, b);
}

uint8_t qoxKeyIDAlgorithm(uint8_t algorithm) {
  return algorithm == kQOXPublicKeyAlgorithm_RSAEncryptOnly || algorithm == kQOXPublicKeyAlgorithm_RSASignOnly
             ? static_cast<uint8_t>(kQOXPublicKeyAlgorithm_RSA)
             : algorithm;
}

bool qoxKeyIDsEqual(const QOXKeyID* a, const QOXKeyID* b) { return QOXCompareKeyIDs(a, b) == 0; }

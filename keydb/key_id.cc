#include "keydb/key_id.h"

#include <cstring>

#include "foundation/hex.h"
#include "foundation/sdk_errors.h"

QOXError QOXNewKeyIDFromString(const char* text, int algorithm, QOXKeyID* outKeyID) {
  if (text == nullptr || outKeyID == nullptr) return kQOXErrBadParams;
  std::memset(outKeyID, 0, sizeof *outKeyID);
  const size_t length = std::strlen(text);
  if (length != 10 && length != 18) return kQOXErrBadParams;
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return kQOXErrBadParams;
  const char* digits = text + 2;
  const size_t count = (length - 2) / 2;
  for (size_t i = 0; i < 2 * count; ++i) {
    if (!qoxIsValidHexChar(digits[i])) return kQOXErrBadParams;
  }
  for (size_t i = 0; i < count; ++i) {
    outKeyID->bytes[i] =
        static_cast<uint8_t>(qoxHexCharToNibble(digits[2 * i]) << 4 | qoxHexCharToNibble(digits[2 * i + 1]));
  }
  outKeyID->valid = 1;
  outKeyID->length = static_cast<uint8_t>(count);
  outKeyID->algorithm = static_cast<uint8_t>(algorithm);
  return kQOXErrNoErr;
}

// Hexadecimal conversions.
#include "foundation/hex.h"

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

bool qoxIsValidHexChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint8_t qoxHexCharToNibble(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0;
}

size_t qoxHexToBytes(const char* text, size_t maxBytes, uint8_t* outBytes) {
  if (text == nullptr) return 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  size_t written = 0;
  while (written < maxBytes && qoxIsValidHexChar(text[0])) {
    if (qoxIsValidHexChar(text[1])) {
      outBytes[written++] =
          static_cast<uint8_t>(qoxHexCharToNibble(text[0]) * 16 + qoxHexCharToNibble(text[1]));
      text += 2;
    } else {
      outBytes[written++] = qoxHexCharToNibble(text[0]);
      break;
    }
  }
  return written;
}

void qoxBytesToHex(const uint8_t* bytes, size_t count, uint32_t prefixFlag, char* outText) {
  char* out = outText;
  if ((prefixFlag & 0xFF) != 0) {
    *out++ = '0';
    *out++ = 'x';
  }
  for (size_t i = 0; i < count; ++i) {
    *out++ = kHexDigits[bytes[i] >> 4];
    *out++ = kHexDigits[bytes[i] & 0x0F];
  }
  *out = '\0';
}

uint32_t qoxHexToQOXUInt32(const char* text) {
  uint8_t bytes[4];
  size_t n = qoxHexToBytes(text, sizeof bytes, bytes);
  uint32_t value = 0;
  for (size_t i = 0; i < n; ++i) value = (value << 8) | bytes[i];
  return value;
}

void qoxQOXUInt32ToHex(uint32_t value, uint32_t prefixFlag, char* outText) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  qoxBytesToHex(bytes, sizeof bytes, prefixFlag, outText);
}

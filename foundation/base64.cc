// Base64: three bytes to four characters of the alphabet; the last group
// is padded with zero bits and one or two '='.
#include "foundation/base64.h"

#include "foundation/byte_cursor.h"

namespace ostrak {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

size_t Base64Encode(const uint8_t* input, size_t length, char* output) {
  size_t out = 0;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{input[i]} << 16) | (uint32_t{input[i + 1]} << 8) | input[i + 2];
    output[out++] = kAlphabet[(v >> 18) & 63];
    output[out++] = kAlphabet[(v >> 12) & 63];
    output[out++] = kAlphabet[(v >> 6) & 63];
    output[out++] = kAlphabet[v & 63];
  }
  size_t rest = length - i;
  if (rest != 0) {
    uint32_t v = uint32_t{input[i]} << 16;
    if (rest == 2) v |= uint32_t{input[i + 1]} << 8;
    output[out++] = kAlphabet[(v >> 18) & 63];
    output[out++] = kAlphabet[(v >> 12) & 63];
    output[out++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    output[out++] = '=';
  }
  return out;
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool Base64Decode(const char* text, size_t length, uint8_t* output, size_t* outLength) {
  *outLength = 0;
  if (length % 4 != 0) return false;
  ByteCursor in(reinterpret_cast<const uint8_t*>(text), length);
  size_t written = 0;
  while (!in.empty()) {
    uint8_t g[4];
    if (!in.get_bytes(g, sizeof g)) return false;  // copied first: output may be the text
    const bool last = in.empty();
    int a = Base64Value(g[0]), b = Base64Value(g[1]);
    int c = Base64Value(g[2]), d = Base64Value(g[3]);
    if (a < 0 || b < 0) return false;
    // '=' only at the end of the last group; "x=y=" and "xy=z" are refused.
    size_t bytes = 3;
    if (c < 0 || d < 0) {
      if (!last || g[3] != '=' || (c < 0 && g[2] != '=')) return false;
      bytes = c < 0 ? 1 : 2;
    }
    uint32_t bits = (static_cast<uint32_t>(a) << 18) | (static_cast<uint32_t>(b) << 12) |
                    (static_cast<uint32_t>(c < 0 ? 0 : c) << 6) | static_cast<uint32_t>(d < 0 ? 0 : d);
    output[written++] = static_cast<uint8_t>(bits >> 16);
    if (bytes > 1) output[written++] = static_cast<uint8_t>(bits >> 8);
    if (bytes > 2) output[written++] = static_cast<uint8_t>(bits);
  }
  *outLength = written;
  return true;
}

}  // namespace ostrak

// Base64 with the standard alphabet; the last group is padded with zero
// bits and one or two '='.
#include "foundation/armor_base64.h"

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

size_t armorInput(const uint8_t* input, size_t length, char* output) {
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

int ArmorBase64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

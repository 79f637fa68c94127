// The armor helpers: encoding over the one Base64 codec
// (foundation/base64.h), the lenient decoders and the line dearmorer.
#include "foundation/armor_base64.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "foundation/base64.h"
#include "foundation/byte_cursor.h"

namespace {

constexpr uint8_t kInvalid = 255;

// The reverse table: each alphabet character's 6-bit value, 255 elsewhere.
constexpr std::array<uint8_t, 256> MakeReverse() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr std::array<uint8_t, 256> kReverse = MakeReverse();

// RFC 2440 armor header lines begin with these 15 characters.
constexpr char kArmorBegin[] = "-----BEGIN PGP ";
constexpr size_t kArmorBeginLength = sizeof kArmorBegin - 1;

uint8_t ValueOrZero(char c) {
  uint8_t v = kReverse[static_cast<unsigned char>(c)];
  return v == kInvalid ? 0 : v;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

}  // namespace

size_t armorInput(const uint8_t* input, size_t length, char* output) {
  return ostrak::Base64Encode(input, length, output);
}

void armorMorsel(const uint8_t in[3], char out[4]) { ostrak::Base64Encode(in, 3, out); }

int ArmorBase64Value(unsigned char c) { return ostrak::Base64Value(c); }

void unarmorMorsel(const char in[4], uint8_t out[3]) {
  uint32_t v = (uint32_t{ValueOrZero(in[0])} << 18) | (uint32_t{ValueOrZero(in[1])} << 12) |
               (uint32_t{ValueOrZero(in[2])} << 6) | ValueOrZero(in[3]);
  out[0] = static_cast<uint8_t>(v >> 16);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v);
}

size_t unarmorInput(const char* text, size_t length, uint8_t* output, size_t outputSize, size_t* written) {
  size_t pos = 0;
  size_t out = 0;
  while (length - pos >= 2 && outputSize - out >= 3) {
    char group[4] = {'A', 'A', 'A', 'A'};  // 'A' is 0: missing characters count as 0
    size_t take = length - pos < 4 ? length - pos : 4;
    std::memcpy(group, text + pos, take);
    unarmorMorsel(group, output + out);
    out += 3;
    pos += take;
  }
  if (written != nullptr) *written = out;
  return pos;
}

int dearmorMorsel(const char* in, size_t count, uint8_t* out) {
  uint32_t v = 0;
  int valid = 0;
  for (size_t i = 0; i < count && i < 4; ++i) {
    uint8_t x = kReverse[static_cast<unsigned char>(in[i])];
    if (x == kInvalid) break;
    v = (v << 6) | x;
    ++valid;
  }
  // Left-align the valid characters' bits in 24 and write the whole bytes.
  v <<= 6 * (4 - valid);
  for (int i = 0; i < valid - 1; ++i) out[i] = static_cast<uint8_t>(v >> (16 - 8 * i));
  return valid;
}

int QOXDAdearmorLine(const char* line, size_t length, uint8_t* out) {
  size_t pos = 0;
  int bytes = 0;
  while (length - pos >= 4) {
    size_t left = length - pos;
    int valid = dearmorMorsel(line + pos, 4, out + bytes);
    if (valid == 4) {
      bytes += 3;
      pos += 4;
      continue;
    }
    const char* rest = line + pos + valid;
    if (valid == 2 && left == 4 && std::memcmp(rest, "==", 2) == 0) return bytes + 1;
    if (valid == 2 && left == 8 && std::memcmp(rest, "=3D=3D", 6) == 0) return bytes + 1;
    if (valid == 3 && left == 4 && rest[0] == '=') return bytes + 2;
    return -1;
  }
  return pos == length ? bytes : -1;
}

int32_t QOXDAdearmorCrc(const char* line, size_t length) {
  while (length > 0 && IsBlank(line[length - 1])) --length;
  if (length != 5 || line[0] != '=') return -1;
  uint8_t b[3];
  if (dearmorMorsel(line + 1, 4, b) != 4) return -1;
  return (int32_t{b[0]} << 16) | (int32_t{b[1]} << 8) | b[2];
}

int QOXDAgetline(const char** cursor, size_t* remaining, char* buffer, size_t size, size_t* length) {
  ostrak::ByteCursor in(*cursor, *remaining);
  if (in.empty()) return 1;
  size_t keep = size == 0 ? 0 : size - 1;
  if (keep > kDearmorMaxLine) keep = kDearmorMaxLine;
  size_t n = 0;
  uint8_t c = 0;
  while (in.get_u8(&c)) {
    if (c == '\n') break;
    if (c == '\r') {
      uint8_t next = 0;
      if (in.peek_u8(&next) && next == '\n') in.skip(1);
      break;
    }
    if (n < keep) buffer[n++] = static_cast<char>(c);
  }
  while (n > 0 && IsBlank(buffer[n - 1])) --n;
  if (size != 0) buffer[n] = '\0';
  *length = n;
  *cursor = reinterpret_cast<const char*>(in.data());
  *remaining = in.remaining();
  return 0;
}

void QOXDAparseAscInit() {}

int DearmorBuffer(const char* text, size_t length, uint8_t* output, size_t outputSize, size_t* outLength) {
  *outLength = 0;
  const char* cursor = text;
  size_t remaining = length;
  char line[kDearmorMaxLine + 1];
  size_t n = 0;
  for (;;) {
    if (QOXDAgetline(&cursor, &remaining, line, sizeof line, &n) != 0) {
      std::printf("ASCII Dearmor Error: no BEGIN QOX.\n");
      return -1;
    }
    if (n >= kArmorBeginLength && std::memcmp(line, kArmorBegin, kArmorBeginLength) == 0) break;
  }
  do {
    if (QOXDAgetline(&cursor, &remaining, line, sizeof line, &n) != 0) {
      std::printf("ASCII Dearmor Error: QOX message block headers never end.\n");
      return -1;
    }
  } while (n != 0);
  size_t total = 0;
  while (QOXDAgetline(&cursor, &remaining, line, sizeof line, &n) == 0) {
    if (n > 0 && line[0] == '=') {
      *outLength = total;
      return 0;
    }
    uint8_t bytes[kDearmorMaxLine / 4 * 3];
    int got = QOXDAdearmorLine(line, n, bytes);
    if (got < 0 || outputSize - total < static_cast<size_t>(got)) return -1;
    std::memcpy(output + total, bytes, static_cast<size_t>(got));
    total += static_cast<size_t>(got);
  }
  std::printf("ASCII Dearmor Error: Abnormal termination.\n");
  return -1;
}

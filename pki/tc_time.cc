// Dotted OID text to content bytes, and UTCTime / GeneralizedTime to and
// from the toolkit's time (pki/tc_time.h).
#include "pki/tc_time.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "pki/tc_internal.h"

namespace {

using ostrak::tc::Alloc;
using ostrak::tc::Release;

// --- OIDs ---

// Appends one subidentifier, base 128, most significant group first, to
// the output, enlarging it by exactly the bytes needed.
int32_t encode_number(uint8_t** bytes, uint32_t* length, uint64_t value, TC_CONTEXT* ctx) {
  uint8_t groups[10];
  int n = 0;
  do {
    groups[n++] = static_cast<uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  size_t newLength = size_t{*length} + static_cast<size_t>(n);
  if (newLength > UINT32_MAX) return kTCErrInvalidArgs;
  void* block = *bytes;
  if (block == nullptr) {
    block = Alloc(ctx, newLength);
    if (block == nullptr) return kTCErrNoMemory;
  } else if (!ostrak::asn::Reallocate(ctx->certCtx, &block, newLength)) {
    return kTCErrNoMemory;
  }
  auto* out = static_cast<uint8_t*>(block) + *length;
  for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(groups[n - 1 - i] | (i + 1 < n ? 0x80 : 0));
  *bytes = static_cast<uint8_t*>(block);
  *length = static_cast<uint32_t>(newLength);
  return kTCErrNone;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

enum class NumberRead { kNone, kValue, kBad };

// One decimal number at *at the way strtol reads it (white space, a sign,
// digits); kBad for a negative or out-of-range number. Moves *at past it.
NumberRead ReadNumber(std::string_view text, size_t* at, uint64_t* value) {
  size_t i = *at;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t digits = i;
  uint64_t v = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v > (uint64_t{std::numeric_limits<int64_t>::max()} - static_cast<uint64_t>(text[i] - '0')) / 10)
      overflow = true;
    else
      v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i == digits) return NumberRead::kNone;
  *at = i;
  if (overflow || (negative && v != 0)) return NumberRead::kBad;
  *value = v;
  return NumberRead::kValue;
}

// --- Times ---

constexpr int kDaysPerMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days from 1970-01-01 to January 1 of a year at or after 1970.
int64_t DaysBeforeYear(int64_t year) {
  auto leapsBefore = [](int64_t y) { return y / 4 - y / 100 + y / 400; };
  return (year - 1970) * 365 + leapsBefore(year - 1) - leapsBefore(1969);
}

// The broken-down time in seconds, 64 bits; -1 for a year before 1970 or a
// month outside 1-12.
int64_t Seconds(int64_t year, int month0, int64_t day, int64_t hour, int64_t minute, int64_t second) {
  if (year < 1970 || month0 < 0 || month0 > 11) return -1;
  int64_t days = DaysBeforeYear(year);
  for (int m = 0; m < month0; ++m) days += kDaysPerMonth[m];
  if (month0 > 1 && IsLeap(year)) ++days;
  days += day - 1;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

uint32_t Clamp(int64_t seconds) {
  if (seconds < 0) return 0;
  if (seconds > int64_t{kTCTimeLatest}) return kTCTimeLatest;
  return static_cast<uint32_t>(seconds);
}

// Reads the time text: the date and time digits (a non-digit makes it
// unreadable), optional seconds, a GeneralizedTime fraction, and the zone.
struct TimeText {
  std::string_view s;
  size_t at = 0;
  bool Digits(size_t n, int64_t* out) {
    if (s.size() - at < n) return false;
    int64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
      char c = s[at + i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    at += n;
    *out = v;
    return true;
  }
  bool More() const { return at < s.size(); }
  bool DigitNext() const { return More() && s[at] >= '0' && s[at] <= '9'; }
};

// The zone at t.at: 'Z', or a sign and hhmm (a sign other than '-' counts
// as '+'); the offset in seconds, false when it cannot be read.
bool ReadZone(TimeText& t, int64_t* offset) {
  if (!t.More()) return false;
  if (t.s[t.at] == 'Z') {
    *offset = 0;
    return true;
  }
  if (t.s.size() - t.at < 5) return false;
  bool negative = t.s[t.at] == '-';
  ++t.at;
  int64_t hh, mm;
  if (!t.Digits(2, &hh) || !t.Digits(2, &mm)) return false;
  *offset = (hh * 3600 + mm * 60) * (negative ? -1 : 1);
  return true;
}

std::string_view TextOf(const PKIVariableBlock* v) {
  if (v == nullptr || v->bytes == nullptr) return {};
  return {reinterpret_cast<const char*>(v->bytes), v->length};
}

// A value block of `when` formatted with `format` (n characters) and a NUL.
int32_t EncodeTime(PKIVariableBlock** out, int64_t when, const char* format, size_t n, TC_CONTEXT* ctx,
                   bool storeFirst) {
  time_t t = static_cast<time_t>(when);
  struct tm broken;
  if (gmtime_r(&t, &broken) == nullptr) return kTCErrInvalidArgs;
  char text[24];
  if (std::strftime(text, sizeof text, format, &broken) != n) return kTCErrInvalidArgs;
  PKIVariableBlock* block = PKINewVariableBlock(ctx->certCtx);
  if (block == nullptr) return kTCErrNoMemory;
  if (storeFirst) *out = block;
  auto* bytes = static_cast<uint8_t*>(Alloc(ctx, n + 1));
  if (bytes == nullptr) {
    if (!storeFirst) PKIFreeVariableBlock(ctx->certCtx, block);
    return kTCErrNoMemory;
  }
  std::memcpy(bytes, text, n + 1);
  block->bytes = bytes;
  block->length = static_cast<uint32_t>(n);
  *out = block;
  return kTCErrNone;
}

constexpr int64_t kFirstSecondOf2050 = 2524608000;
constexpr int64_t kLastSecondOf9999 = 253402300799;

}  // namespace

int32_t tc_create_oid(uint8_t** out, uint32_t* outLength, const char* text, TC_CONTEXT* ctx) {
  if (out == nullptr || outLength == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  *outLength = 0;
  if (text == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  const std::string_view s(text);
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  uint64_t held = 0;
  int32_t e = kTCErrNone;
  size_t at = 0;
  for (int index = 0;; ++index) {
    uint64_t value = 0;
    NumberRead r = ReadNumber(s, &at, &value);
    if (r == NumberRead::kNone) break;
    if (r == NumberRead::kBad) {
      e = kTCErrInvalidArgs;
      break;
    }
    if (index == 0) {
      if (__builtin_mul_overflow(value, uint64_t{40}, &held)) {
        e = kTCErrInvalidArgs;
        break;
      }
    } else {
      if (index == 1 && __builtin_add_overflow(held, value, &value)) {
        e = kTCErrInvalidArgs;
        break;
      }
      if ((e = encode_number(&bytes, &length, value, ctx)) != kTCErrNone) break;
    }
    if (at >= s.size()) break;
    ++at;  // the separator
  }
  if (e != kTCErrNone) {
    Release(ctx, bytes);
    return e;
  }
  *out = bytes;
  *outLength = length;
  return kTCErrNone;
}

uint32_t tc_gtime(const struct tm* t) {
  if (t == nullptr) return 0;
  return Clamp(Seconds(int64_t{t->tm_year} + 1900, t->tm_mon, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec));
}

uint32_t tc_decode_UTCTime(const PKIVariableBlock* value) {
  TimeText t{TextOf(value)};
  if (t.s.size() < 11) return 0;
  int64_t yy, mon, day, hour, minute, second = 0, offset;
  if (!t.Digits(2, &yy) || !t.Digits(2, &mon) || !t.Digits(2, &day) || !t.Digits(2, &hour) ||
      !t.Digits(2, &minute))
    return 0;
  if (t.DigitNext()) {
    if (t.s.size() < 13 || !t.Digits(2, &second)) return 0;
  }
  if (!ReadZone(t, &offset)) return 0;
  int64_t year = yy < 50 ? 2000 + yy : 1900 + yy;
  int64_t s = Seconds(year, static_cast<int>(mon) - 1, day, hour, minute, second);
  return s < 0 ? 0 : Clamp(s - offset);
}

uint32_t tc_decode_GeneralizedTime(const PKIVariableBlock* value) {
  TimeText t{TextOf(value)};
  if (t.s.size() < 12) return 0;
  int64_t year, mon, day, hour, minute, second = 0, offset;
  if (!t.Digits(4, &year) || !t.Digits(2, &mon) || !t.Digits(2, &day) || !t.Digits(2, &hour) ||
      !t.Digits(2, &minute))
    return 0;
  if (t.DigitNext()) {
    if (!t.Digits(2, &second)) return 0;
    if (t.More() && t.s[t.at] == '.') {
      ++t.at;
      while (t.DigitNext()) ++t.at;
    }
  }
  if (!ReadZone(t, &offset)) return 0;
  int64_t s = Seconds(year, static_cast<int>(mon) - 1, day, hour, minute, second);
  return s < 0 ? 0 : Clamp(s - offset);
}

uint32_t tc_get_choiceoftime(const PKITime* time) {
  if (time == nullptr) return kTCTimeUnknown;
  const auto* v = static_cast<const PKIVariableBlock*>(time->value);
  switch (time->tag & ~kPKIConstructed) {
    case kPKITagUTCTime:
      return tc_decode_UTCTime(v);
    case kPKITagGeneralizedTime:
      return tc_decode_GeneralizedTime(v);
    default:
      return kTCTimeUnknown;
  }
}

int32_t tc_encode_utctime(PKIVariableBlock** out, int64_t when, TC_CONTEXT* ctx) {
  if (out == nullptr || ctx == nullptr) return kTCErrInvalidArgs;
  if (when < 0 || when >= kFirstSecondOf2050) return kTCErrInvalidArgs;
  return EncodeTime(out, when, "%y%m%d%H%M%SZ", 13, ctx, true);
}

int32_t tc_EncodeGeneralizedTime(PKIVariableBlock** out, int64_t when, TC_CONTEXT* ctx) {
  if (out == nullptr) return kTCErrInvalidArgs;
  *out = nullptr;
  if (ctx == nullptr || when < 0 || when > kLastSecondOf9999) return kTCErrInvalidArgs;
  return EncodeTime(out, when, "%Y%m%d%H%M%SZ", 15, ctx, false);
}

// Dotted OID text to OBJECT IDENTIFIER content bytes, and the two ASN.1
// time types of X.509 to and from the toolkit's time.
//
// The toolkit's time is unsigned seconds since 1970-01-01 00:00 UTC, up to
// 0xFFFFFFFE (2106-02-07 06:28:14); the decoders give 0 for a text that
// cannot be read as such a time (also one before 1970) and hold later times
// at 0xFFFFFFFE, and tc_get_choiceoftime gives all ones for an unknown
// choice. The encoders write the UTC forms "%y%m%d%H%M%SZ" (UTCTime, years
// 1970-2049) and "%Y%m%d%H%M%SZ" (GeneralizedTime), each with a NUL after
// the counted characters.
#ifndef OSTRAK_PKI_TC_TIME_H_
#define OSTRAK_PKI_TC_TIME_H_

#include <cstdint>
#include <ctime>

#include "pki/tc_context.h"

inline constexpr uint32_t kTCTimeUnknown = 0xFFFFFFFFu;
inline constexpr uint32_t kTCTimeLatest = 0xFFFFFFFEu;

// Decimal numbers separated by one character each (normally '.'), the
// first two combined as 40 × first + second, each written base 128. A text
// of one number gives no bytes and 0. Clears both outputs first; -1 (null
// output or text, a negative or overflowing number), -3.
int32_t tc_create_oid(uint8_t** out, uint32_t* outLength, const char* text, TC_CONTEXT* ctx);

// A new value block of the UTCTime text of `when`; -1 (null output, or a
// time outside 1970-2049), -3 (the block made first may stay in *out).
int32_t tc_encode_utctime(PKIVariableBlock** out, int64_t when, TC_CONTEXT* ctx);
// The same as GeneralizedTime; -1 (null output, a time outside 1970-9999),
// -3. *out is set only on success.
int32_t tc_EncodeGeneralizedTime(PKIVariableBlock** out, int64_t when, TC_CONTEXT* ctx);

// YYMMDDhhmm[ss] then Z or ±hhmm; years below 50 are 20xx.
uint32_t tc_decode_UTCTime(const PKIVariableBlock* value);
// YYYYMMDDhhmm[ss[.fraction]] then Z or ±hhmm.
uint32_t tc_decode_GeneralizedTime(const PKIVariableBlock* value);
// The decoded time of a UTCTime (selector 0x17 or 0x37) or GeneralizedTime
// (0x18 or 0x38); kTCTimeUnknown for null or any other selector.
uint32_t tc_get_choiceoftime(const PKITime* time);
// Seconds since 1970 of a broken-down UTC time (tm_year since 1900, tm_mon
// 0-11, tm_mday 1-31); 0 before 1970, held at kTCTimeLatest after 2106.
uint32_t tc_gtime(const struct tm* t);

#endif  // OSTRAK_PKI_TC_TIME_H_

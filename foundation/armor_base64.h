// Plain Base64 (RFC 4648 alphabet, '=' padding, no line breaks) as the key
// submission writes it, and the size it needs: the names the armor code
// uses for the one codec of foundation/base64.h.
//
// Thread safety: pure functions.
#ifndef OSTRAK_FOUNDATION_ARMOR_BASE64_H_
#define OSTRAK_FOUNDATION_ARMOR_BASE64_H_

#include <cstddef>
#include <cstdint>

#include "foundation/base64.h"

// Characters armorInput writes for length bytes (no terminator).
constexpr size_t ArmorBase64Length(size_t length) { return ostrak::Base64EncodedLength(length); }

// Writes the Base64 encoding of the input into output (ArmorBase64Length
// bytes, no terminator) and returns the number of characters written.
size_t armorInput(const uint8_t* input, size_t length, char* output);

// The value of one alphabet character, or -1 (also for '=').
int ArmorBase64Value(unsigned char c);

#endif  // OSTRAK_FOUNDATION_ARMOR_BASE64_H_

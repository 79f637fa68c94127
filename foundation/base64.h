// The one Base64 codec of the system: the RFC 4648 alphabet with '='
// padding and no line breaks. The entry text form, the armor helpers
// (foundation/armor_base64.h) and every other Base64 user go through it.
//
// Decoding is strict: the text is a whole number of four-character groups
// of the alphabet, '=' may stand only in the last group (in its fourth
// place, or in its third and fourth), and nothing follows it. Anything else
// is refused whole, so a value is never cut short silently. The padding
// bits of the last group are not checked.
//
// Thread safety: pure functions.
#ifndef OSTRAK_FOUNDATION_BASE64_H_
#define OSTRAK_FOUNDATION_BASE64_H_

#include <cstddef>
#include <cstdint>

namespace ostrak {

// Characters Base64Encode writes for length bytes (no terminator).
constexpr size_t Base64EncodedLength(size_t length) { return (length + 2) / 3 * 4; }

// Most bytes a text of length characters decodes to.
constexpr size_t Base64DecodedMaxLength(size_t length) { return length / 4 * 3; }

// Writes the encoding of the input into output (Base64EncodedLength bytes,
// no terminator) and returns the number of characters written.
size_t Base64Encode(const uint8_t* input, size_t length, char* output);

// The value of one alphabet character, or -1 (also for '=').
int Base64Value(unsigned char c);

// Decodes text into output (room for Base64DecodedMaxLength(length)
// bytes). Output may be the text itself: every byte is written behind the
// characters it came from. True with *outLength set, or false for text that
// is not strict Base64 (output then holds an unspecified prefix).
[[nodiscard]] bool Base64Decode(const char* text, size_t length, uint8_t* output, size_t* outLength);

}  // namespace ostrak

#endif  // OSTRAK_FOUNDATION_BASE64_H_

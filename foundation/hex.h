// Hexadecimal text to bytes and back.
//
// Thread safety: pure functions.
#ifndef OSTRAK_FOUNDATION_HEX_H_
#define OSTRAK_FOUNDATION_HEX_H_

#include <cstddef>
#include <cstdint>

// True for 0-9, a-f and A-F.
bool qoxIsValidHexChar(char c);
// 0-15 for a valid hex character (a-f and A-F give 10-15); 0 otherwise.
uint8_t qoxHexCharToNibble(char c);
// Converts hex text (an optional leading "0x"/"0X" is skipped) into at most
// maxBytes bytes. Stops at the first non-hex character; a lone trailing digit
// becomes one byte of value 0-15 and ends the conversion. Returns the number
// of bytes written.
size_t qoxHexToBytes(const char* text, size_t maxBytes, uint8_t* outBytes);
// Two upper-case digits per byte, "0x" in front when the low byte of
// prefixFlag is non-zero, then a NUL: out needs 2*count + 1 bytes (+2 with
// the prefix).
void qoxBytesToHex(const uint8_t* bytes, size_t count, uint32_t prefixFlag, char* outText);
// Up to 4 bytes of hex text joined most significant first ("0x12" is 18).
uint32_t qoxHexToQOXUInt32(const char* text);
// Eight upper-case digits, optional "0x", NUL (out needs 9 or 11 bytes).
void qoxQOXUInt32ToHex(uint32_t value, uint32_t prefixFlag, char* outText);

#endif  // OSTRAK_FOUNDATION_HEX_H_

// The daemon's own small radix-64 codec: plain Base64 of short binary values
// (the administrator password hash, key-reconstruction answers) and a
// line-oriented dearmorer that takes the binary body out of an RFC 2440
// armored block held in a text buffer. It is separate from the message
// pipeline's armor parser and knows nothing of packets.
//
// Encoding goes through the one codec of foundation/base64.h. The decoders
// here are the lenient ones the daemon has always had: unarmorInput reads
// any character outside the alphabet as zero, and QOXDAdearmorLine accepts
// the quoted-printable padding "=3D=3D". Every decoder takes the length of
// its text and never reads past it; the output sizes are stated beside
// each call and unarmorInput takes its output bound.
//
// Thread safety: pure functions over constant tables.
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

// One full group: three bytes to four alphabet characters.
void armorMorsel(const uint8_t in[3], char out[4]);

// The value of one alphabet character, or -1 (also for '=').
int ArmorBase64Value(unsigned char c);

// One group of four characters to three bytes; a character outside the
// alphabet ('=' too) counts as 0.
void unarmorMorsel(const char in[4], uint8_t out[3]);

// Decodes text in groups of four characters, three bytes each, while at
// least two characters remain and three more bytes fit in output
// (outputSize bytes); characters outside the alphabet, and those missing
// from a last short group, count as 0. A text of one character decodes
// nothing. Returns the position after the last group read (at most
// length); *written (optional) receives the bytes written.
size_t unarmorInput(const char* text, size_t length, uint8_t* output, size_t outputSize, size_t* written);

// Decodes up to the first four characters of in (count of them, at most
// 4) and returns how many were alphabet characters before the first one
// that is not (0 to 4); writes the bytes those characters complete (1 for
// 2, 2 for 3, 3 for 4).
int dearmorMorsel(const char* in, size_t count, uint8_t* out);

// Decodes one armored line of length characters into out (room for
// length / 4 * 3 bytes): full groups, then an optional last group padded
// "==", "=3D=3D" (quoted-printable) or "=". The number of bytes, or -1 for
// anything else (a stray remainder of 1 to 3 characters included).
int QOXDAdearmorLine(const char* line, size_t length, uint8_t* out);

// The 24-bit value of an armor checksum line ('=' and four alphabet
// characters, trailing white space allowed), first byte most significant,
// or -1.
int32_t QOXDAdearmorCrc(const char* line, size_t length);

// Longest line QOXDAgetline keeps; the rest of a longer line is consumed.
constexpr size_t kDearmorMaxLine = 255;

// Takes the next line from *cursor (*remaining characters): it ends at LF,
// CR or CR LF. Copies at most min(size - 1, kDearmorMaxLine) characters
// into buffer, removes trailing white space, terminates it and sets
// *length. 0 with a line, 1 when nothing remains.
int QOXDAgetline(const char** cursor, size_t* remaining, char* buffer, size_t size, size_t* length);

// Nothing to do: the reverse table is a constant. Kept for the callers that
// call it before decoding.
void QOXDAparseAscInit();

// Extracts the body of the first armored block of text: skips to a line
// that begins "-----BEGIN PGP " (RFC 2440's armor header line), skips
// the armor headers to the empty line, and decodes each line up to the
// checksum line (one that begins '='), whose value is not compared. output
// receives the bytes (room for outputSize bytes: length / 4 * 3 always
// suffices), *outLength their number. 0, or -1 with the reason printed to
// standard output ("ASCII Dearmor Error: ..."); a body larger than
// outputSize is -1 without a message.
int DearmorBuffer(const char* text, size_t length, uint8_t* output, size_t outputSize, size_t* outLength);

#endif  // OSTRAK_FOUNDATION_ARMOR_BASE64_H_

// RFC 2440 packet headers (section 4.2): read from a key-ring file or packet
// stream, written into buffers.
//
// A header's first byte (the type byte) has bit 7 set. Old form (bits 7..6 =
// 10): tag in bits 5..2, bits 1..0 the length type: 0 one byte, 1 two, 2
// four (big-endian), 3 indeterminate (refused when reading). New form (bits
// 7..6 = 11): tag in bits 5..0; first length byte c: below 192 the length c;
// 192..223 two bytes, ((c - 192) << 8) + next + 192; 255 a four-byte length
// follows; 224..254 a partial body chunk of 1 << (c & 31) bytes, after which
// another length follows. Every packet stored by the key database has a
// definite-length header written by qoxPktHeaderPut; partial lengths are
// only ever read.
//
// Streams. The file is a QOXFile (foundation/file.h); its read, tell, seek,
// error and clearError operations are used. Chunks of a partial body are
// summed in 64 bits: a body over kQOXPktMaxBodyLength bytes is oversize for
// the key database, which skips it chunk by chunk (qoxPktBodySkip) rather
// than seeking over the total, since length octets lie between the chunks.
// A chunk met while reading or skipping that disagrees with the lengths
// first summed is a damaged stream: the body comes back short.
//
// Thread safety: pure functions over the caller's file and buffers.
#ifndef OSTRAK_KEYDB_PACKET_HEADER_H_
#define OSTRAK_KEYDB_PACKET_HEADER_H_

#include <cstddef>
#include <cstdint>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"
#include "foundation/io.h"

struct QOXFile;

// The largest packet body the key database reads.
inline constexpr uint64_t kQOXPktMaxBodyLength = 150000;
// The longest header qoxPktHeaderPut writes.
inline constexpr size_t kQOXPktMaxHeaderLength = 6;

// Packet tags as the key database treats them.
inline constexpr uint8_t kQOXPktTag_Signature = 2;
inline constexpr uint8_t kQOXPktTag_SecretKey = 5;
inline constexpr uint8_t kQOXPktTag_PublicKey = 6;
inline constexpr uint8_t kQOXPktTag_SecretSubKey = 7;
inline constexpr uint8_t kQOXPktTag_Trust = 12;
inline constexpr uint8_t kQOXPktTag_UserID = 13;
inline constexpr uint8_t kQOXPktTag_PublicSubKey = 14;
inline constexpr uint8_t kQOXPktTag_Skipped = 16;
inline constexpr uint8_t kQOXPktTag_UserAttribute = 17;
inline constexpr uint8_t kQOXPktTag_CRL = 60;  // this system's own, type byte 0xFC

// The tag of a type byte by the rule of its form.
uint8_t qoxPktTag(uint8_t typeByte);
bool qoxPktIsNewForm(uint8_t typeByte);

// --- Stream side ---

// Stores in *position (when wanted) the file position before the packet,
// reads the type byte and the length, and returns the type byte (1..255)
// with the file at the first body byte. totalLength is the body length (the
// sum of all chunks of a partial body), firstChunkLength the length of the
// first chunk (the body length when not partial). Returns 0 when the file
// ends cleanly before a type byte; kQOXErrFileOpError when the position cannot be told;
// kQOXErrReadFailed when a read fails (a failed length read clears the file's error
// first); kQOXErrBadPacket for a first byte without bit 7 or an old-form length type
// 3; kQOXErrEOF when the file ends inside the length; a seek's error while the
// chunks of a partial body are measured (the file is sought back first).
int qoxPktByteGet(QOXFile* file, uint64_t* totalLength, uint64_t* firstChunkLength, QOXFileOffset* position);
// Reads a new-form length at the file's position (see above for partial
// bodies, whose chunks it walks and then seeks back to the first chunk's
// data). 0 or an error as qoxPktByteGet.
QOXError pktLengthNew(QOXFile* file, uint64_t* totalLength, uint64_t* firstChunkLength);
// Reads the body into buffer, which holds totalLength bytes: one read when
// the two lengths are equal, else chunk by chunk, reading the length after
// each chunk. Returns the bytes read; fewer than totalLength when the file
// ends or fails, or when a chunk disagrees with totalLength (nothing is ever
// written past it).
uint64_t qoxPktBodyRead(uint8_t* buffer, uint64_t totalLength, uint64_t firstChunkLength, QOXFile* file);
// Moves the file past the body, chunk by chunk for a partial body. 0, a
// seek's error, or kQOXErrBadPacket for a chunk that disagrees with totalLength or a
// length that cannot be read.
QOXError qoxPktBodySkip(QOXFile* file, uint64_t totalLength, uint64_t firstChunkLength);

// --- Buffer side ---

// Writes a header for a body of length bytes and returns the type byte
// written. Old form: the length type of the given type byte is a minimum,
// widened only (above 65535 to four bytes, above 255 from one to two);
// type 3 is kept and writes no length. New form: the shortest of one, two
// and five length bytes (0xFF and four). buffer holds kQOXPktMaxHeaderLength.
uint8_t qoxPktHeaderPut(uint8_t* buffer, uint8_t typeByte, uint32_t length);
// The length of the header qoxPktHeaderPut would write.
size_t qoxPktHeaderLen(uint8_t typeByte, uint32_t length);
// The length of the header at the start of a packet of `length` bytes, as
// written by qoxPktHeaderPut: old form by length type (0 -> 2, 1 -> 3,
// 2 -> 5, 3 -> 1), new form by the second byte (below 192 -> 2, 192..254 ->
// 3, 255 -> 6). 0 when the packet is shorter than that header.
size_t qoxPktBufferHeaderLen(const uint8_t* buffer, size_t length);
// The body of a packet (everything after its header) as a cursor; false
// when the packet cannot hold its header.
bool qoxPktBody(const uint8_t* packet, size_t length, ostrak::ByteCursor* outBody);

#endif  // OSTRAK_KEYDB_PACKET_HEADER_H_

// Walking the subpackets of a signature area (RFC 2440 5.2.3.1) or of a user
// attribute packet (5.12): each is a length of 1, 2 or 5 bytes (first byte
// below 192: that length; 192 to 254: two bytes, ((first - 192) << 8) +
// second + 192; 255: four more bytes, big-endian), then a type byte and
// length - 1 data bytes.
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_SUBPACKET_READER_H_
#define OSTRAK_KEYDB_SUBPACKET_READER_H_

#include <cstdint>

#include "foundation/byte_cursor.h"

struct QOXSubpacket {
  uint8_t typeByte;             // bit 7: critical (signature subpackets)
  ostrak::ByteCursor data;      // length - 1 bytes
};

enum class QOXSubpacketNext { kOne, kEnd, kMalformed };

// Takes the next subpacket off the area. kEnd for an empty area; kMalformed
// (the area unchanged) when a length runs past the area or is too short to
// hold the type byte.
QOXSubpacketNext qoxNextSubpacket(ostrak::ByteCursor* area, QOXSubpacket* out);

#endif  // OSTRAK_KEYDB_SUBPACKET_READER_H_

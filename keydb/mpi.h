// Reading RFC 2440 multiprecision integers (section 3.2) out of packet
// bodies: a two-byte bit count, big-endian, then (bits + 7) / 8 value bytes
// whose top byte has its highest set bit where the count says.
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_MPI_H_
#define OSTRAK_KEYDB_MPI_H_

#include <cstdint>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"

// Reads one MPI from the cursor into value and bits. Returns 0; `truncated`
// when the count or the value runs past the cursor; `malformed` when the
// count is not 0, the first value byte is there, and that byte shifted right
// by (bits - 1) mod 8 is not 1. The cursor moves only on success.
inline QOXError qoxReadMPI(ostrak::ByteCursor* cursor, ostrak::ByteCursor* value, uint16_t* bits,
                           QOXError truncated, QOXError malformed) {
  ostrak::ByteCursor c = *cursor;
  uint16_t count = 0;
  if (!c.get_u16be(&count)) return truncated;
  uint8_t top = 0;
  if (count != 0 && c.peek_u8(&top) && (top >> ((count - 1) % 8)) != 1) return malformed;
  if (!c.get_sub((static_cast<size_t>(count) + 7) / 8, value)) return truncated;
  *bits = count;
  *cursor = c;
  return kQOXErrNoErr;
}

#endif  // OSTRAK_KEYDB_MPI_H_

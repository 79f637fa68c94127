// Streaming and padding shared by the hashes with 64-byte blocks and a 64-bit
// length trailer (MD5, SHA-1, RIPEMD-160). Each algorithm keeps its own state
// layout; it hands these helpers its buffer, its byte count and a function
// that compresses one 64-byte block of bytes.
#ifndef OSTRAK_CRYPTO_HASH_BLOCK_H_
#define OSTRAK_CRYPTO_HASH_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/byte_order.h"

namespace ostrak::hashblock {

// Absorbs `length` bytes. `count` is the byte count before the call (it
// tells how much of `buffer` is used); the caller adds `length` to it. Whole
// blocks are compressed straight from the input.
template <class CompressBlock>
inline void Update(uint8_t buffer[64], uint64_t count, const uint8_t* in, size_t length,
                   CompressBlock compress) {
  size_t used = static_cast<size_t>(count & 63);
  if (used != 0) {
    size_t room = 64 - used;
    if (length < room) {
      std::memcpy(buffer + used, in, length);
      return;
    }
    std::memcpy(buffer + used, in, room);
    compress(buffer);
    in += room;
    length -= room;
  }
  for (; length >= 64; in += 64, length -= 64) compress(in);
  if (length != 0) std::memcpy(buffer, in, length);
}

// Appends 0x80, zeros and the bit length (count * 8) in the last 8 bytes,
// big-endian or little-endian, compressing one or two blocks.
template <class CompressBlock>
inline void Pad(uint8_t buffer[64], uint64_t count, bool bigEndianLength, CompressBlock compress) {
  uint64_t bits = count << 3;
  size_t used = static_cast<size_t>(count & 63);
  buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(buffer + used, 0, 64 - used);
    compress(buffer);
    used = 0;
  }
  std::memset(buffer + used, 0, 56 - used);
  if (bigEndianLength) {
    StoreBE32(buffer + 56, static_cast<uint32_t>(bits >> 32));
    StoreBE32(buffer + 60, static_cast<uint32_t>(bits));
  } else {
    StoreLE32(buffer + 56, static_cast<uint32_t>(bits));
    StoreLE32(buffer + 60, static_cast<uint32_t>(bits >> 32));
  }
  compress(buffer);
}

}  // namespace ostrak::hashblock

#endif  // OSTRAK_CRYPTO_HASH_BLOCK_H_

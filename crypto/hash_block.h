// Streaming, padding and digest output shared by the hashes with 64-byte
// blocks and a 64-bit length trailer (MD5, SHA-1, RIPEMD-160). Each of them
// keeps its own state layout with members `buffer` (64 bytes), `chain`
// (chaining words) and the byte count in `countHi`/`countLo`, and supplies a
// function that compresses one 64-byte block of bytes. The byte order of the
// algorithm applies both to the length trailer and to the digest.
#ifndef OSTRAK_CRYPTO_HASH_BLOCK_H_
#define OSTRAK_CRYPTO_HASH_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/byte_order.h"

namespace ostrak::hashblock {

using CompressFn = void (*)(uint32_t* chain, const uint8_t* block);

template <class State>
inline uint64_t Count(const State* state) {
  return uint64_t{state->countHi} << 32 | state->countLo;
}

// Absorbs `length` bytes: fills the partly used buffer first, compresses
// whole blocks straight from the input, keeps the remainder.
template <class State, CompressFn Compress>
inline void Absorb(State* state, const void* bytes, size_t length) {
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  uint64_t count = Count(state);
  state->countLo = static_cast<uint32_t>(count + length);
  state->countHi = static_cast<uint32_t>((count + length) >> 32);

  size_t used = static_cast<size_t>(count & 63);
  if (used != 0) {
    size_t room = 64 - used;
    if (length < room) {
      std::memcpy(state->buffer + used, in, length);
      return;
    }
    std::memcpy(state->buffer + used, in, room);
    Compress(state->chain, state->buffer);
    in += room;
    length -= room;
  }
  for (; length >= 64; in += 64, length -= 64) Compress(state->chain, in);
  if (length != 0) std::memcpy(state->buffer, in, length);
}

// Appends 0x80, zeros and the bit length in the last 8 bytes (compressing an
// extra block when fewer than 8 bytes remain), then writes the digest over
// the chaining words and returns a pointer to it.
template <class State, CompressFn Compress, bool kBigEndian>
inline const uint8_t* Finish(State* state) {
  uint64_t bits = Count(state) << 3;
  uint8_t* buffer = state->buffer;
  size_t used = static_cast<size_t>(Count(state) & 63);
  buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(buffer + used, 0, 64 - used);
    Compress(state->chain, buffer);
    used = 0;
  }
  std::memset(buffer + used, 0, 56 - used);
  if (kBigEndian) {
    StoreBE64(buffer + 56, bits);
  } else {
    StoreLE64(buffer + 56, bits);
  }
  Compress(state->chain, buffer);

  constexpr size_t kWords = sizeof(state->chain) / sizeof(state->chain[0]);
  uint32_t words[kWords];
  std::memcpy(words, state->chain, sizeof words);
  uint8_t* digest = reinterpret_cast<uint8_t*>(state->chain);
  for (size_t i = 0; i < kWords; ++i) {
    if (kBigEndian) {
      StoreBE32(digest + 4 * i, words[i]);
    } else {
      StoreLE32(digest + 4 * i, words[i]);
    }
  }
  return digest;
}

}  // namespace ostrak::hashblock

#endif  // OSTRAK_CRYPTO_HASH_BLOCK_H_

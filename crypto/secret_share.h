// Threshold secret sharing over GF(2^8), byte by byte: a secret of L bytes
// is split into n shares of which any t rebuild it.
//
// Field: reduction polynomial x^8 + x^6 + x^5 + x^3 + 1 (0x169), generator x;
// products go through logarithm and exponent tables built once per process
// (std::call_once). Addition is XOR.
//
// Share record, 4 + L bytes, records contiguous in one array:
//   0  marker '!' (0x21)
//   1  x coordinate, 1..255, distinct among the shares of one split
//   2  threshold t
//   3  scratch: 0 at rest (a coefficient's logarithm during a computation)
//   4  L bytes: the polynomial's value at x for each byte of the secret
//
// Thread safety: the calls keep no state besides the constant tables; a
// share array belongs to one caller at a time.
#ifndef OSTRAK_CRYPTO_SECRET_SHARE_H_
#define OSTRAK_CRYPTO_SECRET_SHARE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;

inline constexpr uint8_t kQOXShareMarker = 0x21;
inline constexpr size_t kQOXShareHeaderSize = 4;

// Fills shareCount records of 4 + length bytes with random coordinates drawn
// from the context's X9.17 generator. -12000 for a null pointer, threshold 0,
// a share count below the threshold or above 255; kQOXErrOutOfMemory when the generator
// cannot be made; the gate's error.
QOXError QOXSecretShareData(QOXContext* context, const void* secret, size_t length,
                            uint32_t threshold, uint32_t shareCount, void* shares);
// Rebuilds the secret from the first t of shareCount records. -12000 for a
// missing marker, thresholds that differ from the first record's, threshold
// 0, fewer shares than the threshold, or a repeated or zero x among the
// first t; the gate's error.
QOXError QOXSecretReconstructData(QOXContext* context, void* shares, size_t length,
                                  uint32_t shareCount, void* output);

#endif  // OSTRAK_CRYPTO_SECRET_SHARE_H_

// The key-reconstruction check: a client that binds to an entry holding
// reconstruction data (qoxrecondata) with the answers to its questions as
// the password proves that it may reconstruct that key.
//
// Record (the attribute's first value, binary, big-endian numbers):
//   offset   0  36 bytes  the key ID (a QOXKeyID record)
//   offset  36  480 bytes the questions
//   offset 516  2 bytes   hash repetition count
//   offset 518  4 bytes   length L of the protected data
//   offset 522  5 x 24    the shares, each CAST5-CBC (zero IV) encrypted
//                         under one 16-byte answer key
//   offset 642  L bytes   the protected data, CAST5-CBC (zero IV) encrypted
//                         under the 16-byte key the shares rebuild; it
//                         begins with the key's QOXKeyID record
// A share decrypts to a 20-byte secret-sharing record (crypto/secret_share.h)
// and 4 bytes of padding; any three rebuild the key.
//
// The answers text is the Base64 of the five 16-byte answer keys (80 bytes:
// 107 characters, or 108 with its padding).
//
// Thread safety: runs on a connection thread in the connection's context;
// keeps no state.
#ifndef OSTRAK_KEYSERVICE_RECONSTRUCTION_H_
#define OSTRAK_KEYSERVICE_RECONSTRUCTION_H_

#include <cstddef>
#include <cstdint>

struct QOXContext;

inline constexpr size_t kReconShareCount = 5;
inline constexpr size_t kReconShareSize = 24;
inline constexpr size_t kReconAnswerKeySize = 16;
inline constexpr size_t kReconLengthOffset = 518;
inline constexpr size_t kReconSharesOffset = 522;
inline constexpr size_t kReconDataOffset = 642;
inline constexpr size_t kReconKeyIDSize = 36;

// 1 when three of the answers open three shares whose rebuilt key decrypts
// protected data that begins with the key ID named by the 16 characters
// after the first '=' of the bind DN; else 0. A record too short for its
// stated length, a length that is not a multiple of 8 or too short for the
// key ID, answers of another length than 107 or 108 characters, a DN
// without '=' or without 16 characters after it, and a cipher failure all
// give 0.
int qoxVerifyKeyReconstructruct(QOXContext* context, const uint8_t* data, size_t length, const char* bindDN,
                                const char* answers);

#endif  // OSTRAK_KEYSERVICE_RECONSTRUCTION_H_

// Key fingerprints and key-material hashes over packet bodies.
//
// Thread safety: each call works in the given context's scratch pool, which
// belongs to that context's thread.
#ifndef OSTRAK_KEYDB_FINGERPRINT_H_
#define OSTRAK_KEYDB_FINGERPRINT_H_

#include <cstddef>
#include <cstdint>

struct QOXContext;

inline constexpr size_t kQOXFingerprint20Size = 20;
inline constexpr size_t kQOXFingerprint16Size = 16;

// SHA-1 over the byte 0x99, the length as two bytes high first, then the bytes (RFC 2440 section
// 11.2: the version-4 fingerprint of a public key packet body). The hash context comes from the
// context's scratch pool, which is cut back to its earlier mark afterwards. Returns the digest size
// (20); kQOXErrUnknownHashNumber when SHA-1 is not in the hash registry; kQOXErrOutOfMemory when
// the hash context cannot be made (also when the context is invalid or its entry gate refuses its
// pool).
int qoxFingerprint20HashBuf(QOXContext* context, const uint8_t* body, size_t length, uint8_t* outDigest);

#endif  // OSTRAK_KEYDB_FINGERPRINT_H_

// Synthetic key rings for the benchmarks: version-4 RSA-2048 key packets
// with random moduli, user IDs and certifications that parse (nothing in
// them verifies). MakeRing(N) gives N keys of five packets each: the key,
// a user ID, its self-certification and two certifications by other keys
// of the ring (some read before their signer).
#ifndef OSTRAK_BENCH_SYNTHETIC_RING_H_
#define OSTRAK_BENCH_SYNTHETIC_RING_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "keydb/fingerprint.h"

namespace synthetic_ring {

using Bytes = std::vector<uint8_t>;

constexpr size_t kModulusBytes = 256;
constexpr uint32_t kCreation = 1796948860;

inline void Append(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

// A packet with a new-form header (RFC 2440 4.2.2).
inline Bytes Packet(uint8_t tag, const Bytes& body) {
  Bytes p{static_cast<uint8_t>(0xC0 | tag)};
  const size_t n = body.size();
  if (n < 192) {
    p.push_back(static_cast<uint8_t>(n));
  } else if (n < 8384) {
    p.push_back(static_cast<uint8_t>(((n - 192) >> 8) + 192));
    p.push_back(static_cast<uint8_t>((n - 192) & 0xFF));
  } else {
    p.push_back(0xFF);
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(n >> s));
  }
  Append(p, body);
  return p;
}

// A version-4 RSA public-key body with a random odd 2048-bit modulus and
// exponent 65537.
inline Bytes KeyBody(std::mt19937_64& rng) {
  Bytes b{4, kCreation >> 24, (kCreation >> 16) & 0xFF, (kCreation >> 8) & 0xFF, kCreation & 0xFF, 1, 0x08, 0x00};
  for (size_t i = 0; i < kModulusBytes; ++i) b.push_back(static_cast<uint8_t>(rng()));
  b[8] |= 0x80;  // 2048 bits exactly
  b.back() |= 0x01;  // an odd modulus
  Append(b, {0x00, 0x11, 0x01, 0x00, 0x01});
  return b;
}

// The key ID of a version-4 key body: the last 8 bytes of its fingerprint.
inline Bytes KeyID(QOXContext* context, const Bytes& keyBody) {
  uint8_t digest[kQOXFingerprint20Size];
  qoxFingerprint20HashBuf(context, keyBody.data(), keyBody.size(), digest);
  return Bytes(digest + 12, digest + 20);
}

// A version-4 certification that parses: creation (hashed), issuer
// (unhashed), a short signature MPI.
inline Bytes Certification(uint8_t type, const Bytes& issuer, uint32_t creation) {
  const Bytes hashed{5, 2, static_cast<uint8_t>(creation >> 24), static_cast<uint8_t>(creation >> 16),
                     static_cast<uint8_t>(creation >> 8), static_cast<uint8_t>(creation)};
  Bytes unhashed{9, 16};
  Append(unhashed, issuer);
  Bytes body{4, type, 1, 2, 0, static_cast<uint8_t>(hashed.size())};
  Append(body, hashed);
  Append(body, {0, static_cast<uint8_t>(unhashed.size())});
  Append(body, unhashed);
  Append(body, {0x12, 0x34, 0x00, 0x10, 0xA5, 0x5A});
  return Packet(2, body);
}

struct Ring {
  Bytes bytes;
  size_t packets = 0;
  size_t keys = 0;  // top-level keys read, dummies included
};

inline Ring MakeRing(QOXContext* context, size_t keys) {
  std::mt19937_64 rng(keys);
  std::vector<Bytes> bodies(keys), ids(keys);
  for (size_t i = 0; i < keys; ++i) {
    bodies[i] = KeyBody(rng);
    ids[i] = KeyID(context, bodies[i]);
  }
  Ring ring;
  for (size_t i = 0; i < keys; ++i) {
    Append(ring.bytes, Packet(6, bodies[i]));
    const std::string name = "Synthetic Key " + std::to_string(i) + " <key" + std::to_string(i) + "@example.org>";
    Append(ring.bytes, Packet(13, Bytes(name.begin(), name.end())));
    Append(ring.bytes, Certification(0x13, ids[i], kCreation + 1));
    Append(ring.bytes, Certification(0x10, ids[rng() % keys], kCreation + 2));
    Append(ring.bytes, Certification(0x10, ids[rng() % keys], kCreation + 3));
    ring.packets += 5;
  }
  ring.keys = keys;  // every signer is in the ring
  return ring;
}

}  // namespace synthetic_ring

#endif  // OSTRAK_BENCH_SYNTHETIC_RING_H_

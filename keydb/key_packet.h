// Key packets (RFC 2440 5.5.2): the parsers that take what the key database
// keeps out of a whole key packet (header and body) in memory, and the
// writer of a created key's body prefix.
//
// Body: version (2, 3 or 4); creation time, 4 bytes big-endian; for
// versions 2 and 3 the validity in days, 2 bytes (0 = never expires); the
// public-key algorithm; then the algorithm's numbers as MPIs. The numeric
// data is everything from the first MPI on (body offset 6 for version 4, 8
// for versions 2 and 3). The public part of a secret-key packet ends where
// the algorithm's public numbers end (qoxPubKeyPrefixSize, crypto/pkalg.h).
//
// The parsers read through the bounded cursor, keep no state and write only
// through out-parameters, which they clear first; a null out-parameter means
// not wanted.
//
// Thread safety: pure functions; hashing works in the given context's
// scratch pool (that context's thread).
#ifndef OSTRAK_KEYDB_KEY_PACKET_H_
#define OSTRAK_KEYDB_KEY_PACKET_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXContext;
struct QOXKeySpec;

// Parses a key packet. Errors: kQOXErrKeyPacketTruncated truncated (empty body, or a field, the
// first MPI or the next MPI's bit count running past the body), kQOXErrKeyVersionUnknown version
// other than 2, 3, 4, kQOXErrKeyModulusMalformed first MPI's top byte disagrees with its bit count;
// for RSA (1, 2, 3) also kQOXErrKeyExponentMalformed (exponent's top byte),
// kQOXErrRSAPublicModulusEven even modulus, kQOXErrRSAPublicExponentEven even exponent,
// kQOXErrKeyPacketTrailingJunk bytes after the exponent of a public packet (secretFlag clear);
// kQOXErrKeyAlgorithmUnknown when the key ID or hash of a secret packet is wanted and its public
// part cannot be measured (nothing of the secret part is ever hashed); hash errors of
// qoxFingerprint20HashBuf.
// Outputs: algorithm as stored; keyID (8 bytes): version 4 the last 8 bytes of the fingerprint
// over the public part of the body, versions 2 and 3 the low 64 bits of the first MPI
// (zero-filled on the left); hash (20 bytes): the fingerprint formula over the numeric data of
// the public part, the same for a key in every packet version; bits of the first MPI; creation;
// validityDays (versions 2 and 3); isV3 (1 for versions 2 and 3).
QOXError qoxKeyParse(QOXContext* context, const uint8_t* packet, size_t length, uint8_t* algorithm,
                     uint8_t* keyID, uint8_t* hash, uint16_t* bits, QOXTime* creation, uint16_t* validityDays,
                     int* isV3, bool secretFlag);
// The version-3 fingerprint: MD5 over the bytes of an RSA key's first two
// MPIs without their bit counts; returns 16. For a packet that is not RSA
// or too short for both MPIs the digest is zeroed and qoxKeyParse's result
// on the packet is returned (0 when it parses). kQOXErrUnknownHashNumber when MD5 is missing,
// kQOXErrOutOfMemory when the hash context cannot be made.
int qoxKeyParseFingerprint16(QOXContext* context, const uint8_t* packet, size_t length, uint8_t* digest);
// The numeric data and its length; null and 0 for an unknown version or a
// body shorter than 6 (version 4) or 8 bytes.
const uint8_t* qoxKeyParseNumericData(const uint8_t* packet, size_t length, size_t* dataLength);
// The length of header plus public part; 0 for an unknown version, a short
// body or an algorithm without a public-key prefix size.
size_t qoxKeyParsePublicPrefix(const uint8_t* packet, size_t length);
// The body prefix before the MPIs of a key made from key settings: 6 bytes for
// version 4, else 8.
size_t qoxKeyBufferLength(const QOXKeySpec* keySpec);
// Writes that prefix: version, creation (big-endian), for versions other
// than 4 the validity in days (2 bytes big-endian), the algorithm. 0.
QOXError qoxKeyToBuffer(uint8_t* buffer, const QOXKeySpec* keySpec, uint8_t algorithm);

#endif  // OSTRAK_KEYDB_KEY_PACKET_H_

// Signature packets (RFC 2440 5.2): the parsers that take what the key
// database keeps out of a whole signature packet in memory, and the finders
// of subpackets.
//
// Version 3 body: version, L (the length of the hashed extra material, 5),
// signature type, creation time (4 bytes), signer key ID (8), public-key
// algorithm, hash algorithm, 2 check bytes, MPIs. The signer ID is read at
// body offset 2 + L, right after the extra material (7 for L = 5). Version
// 4 body: version, type, public-key algorithm, hash algorithm, hashed area
// (2-byte length, subpackets), unhashed area (likewise), 2 check bytes,
// MPIs. A subpacket is a length of 1, 2 or 5 bytes (192 <= first < 255: two
// bytes, 255: four more), a type byte (bit 7: critical) and length - 1 data
// bytes. The extra material of a signature (hashed after the data) is, for
// version 3, the L bytes after the L byte and, for version 4, the first 6
// body bytes with the hashed subpackets.
//
// Subpacket 100 carries an X.509 certificate: its first data byte is a kind
// code; for kind 1 three bytes (the kind and two bytes of the X.509 bridge)
// precede the DER certificate.
//
// The parsers read through the bounded cursor, keep no state and write only
// through out-parameters, which they clear first; a null out-parameter means
// not wanted, which some rules test (see qoxSigParse).
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_SIG_PACKET_H_
#define OSTRAK_KEYDB_SIG_PACKET_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXSigSpec;

// Subpacket types the parsers know.
inline constexpr uint8_t kQOXSubpacket_Creation = 2;
inline constexpr uint8_t kQOXSubpacket_SigExpiration = 3;
inline constexpr uint8_t kQOXSubpacket_Exportable = 4;
inline constexpr uint8_t kQOXSubpacket_Trust = 5;
inline constexpr uint8_t kQOXSubpacket_RegExp = 6;
inline constexpr uint8_t kQOXSubpacket_Revocable = 7;
inline constexpr uint8_t kQOXSubpacket_KeyExpiration = 9;
inline constexpr uint8_t kQOXSubpacket_AdditionalRecipientRequest = 10;
inline constexpr uint8_t kQOXSubpacket_PrefAlgs = 11;
inline constexpr uint8_t kQOXSubpacket_RevocationKey = 12;
inline constexpr uint8_t kQOXSubpacket_Issuer = 16;
inline constexpr uint8_t kQOXSubpacket_KeyServPrefs = 23;
inline constexpr uint8_t kQOXSubpacket_PrefKeyServ = 24;
inline constexpr uint8_t kQOXSubpacket_PrimaryUserID = 25;
inline constexpr uint8_t kQOXSubpacket_KeyFlags = 27;
inline constexpr uint8_t kQOXSubpacket_X509 = 100;
inline constexpr uint8_t kQOXSubpacketCritical = 0x80;
// Kind code of an X.509 certificate in subpacket 100.
inline constexpr uint8_t kQOXX509SubpacketKind_Certificate = 1;

// Parses a signature packet (withoutHeader: the buffer is the body alone). Defaults before parsing:
// algorithm 0, signer ID zero, creation 0, expiration 0, type 255, hash 255, extra length 0,
// version 0, exportable 1, revocable 1, the rest 0. extraLength is L for version 3 and the hashed
// area's length for version 4. Errors: kQOXErrSigTruncated truncated; kQOXErrSigVersionUnknown
// version other than 2, 3, 4; kQOXErrBadSigExtraMaterial an extra length other than 5 when
// extraLength is not wanted; kQOXErrSigIntegerMalformed the first MPI's top byte disagrees with its
// bit count; kQOXErrSigTrailingJunk bytes after the MPI of an RSA signature; kQOXErrBadSigExtraData
// a subpacket that overruns its area, a critical one in the unhashed area, a critical one of an
// unknown type, a known one of the wrong length in the hashed area, a critical issuer that is not
// exactly 8 bytes or whose signer ID is not wanted, a critical creation time that is not wanted,
// and, when the signer ID is wanted, a version-4 signature with neither an issuer nor an X.509
// subpacket.
QOXError qoxSigParse(const uint8_t* packet, size_t length, bool withoutHeader, uint8_t* algorithm,
                     uint8_t* signerID, QOXTime* creation, uint32_t* expiration, uint8_t* type, uint8_t* hash,
                     uint32_t* extraLength, uint8_t* version, uint8_t* exportable, uint8_t* revocable,
                     uint8_t* trustLevel, uint8_t* trustAmount, uint8_t* hasRegExp, uint8_t* isX509,
                     uint8_t* primaryUserID);
// The extra material and its length: version 3 the L bytes after the L
// byte (which must fit the body), version 4 the first 6 body bytes and the
// hashed area (which must fit); null and 0 otherwise.
const uint8_t* qoxSigParseExtra(const uint8_t* packet, size_t length, size_t* extraLength);
// The data of the nth (from 0) subpacket of `type` (compared on the low 7
// bits) in the hashed area of a version-4 signature, with its data length,
// its critical bit (0x80 or 0) and hashed = true. creation receives the
// value of a creation-time subpacket seen in either area, count the number
// of matches in the hashed area. The unhashed area's subpackets are never
// returned; a malformed length ends the search with nothing (null, length
// 0). Older versions: null.
const uint8_t* qoxSigFindSubpacket(const uint8_t* packet, size_t length, uint8_t type, size_t nth,
                                   size_t* outLength, uint8_t* outCritical, bool* outHashed, QOXTime* outCreation,
                                   size_t* outCount);
// The nth (from 0) subpacket 100 whose first data byte is `kind`, as
// qoxSigFindSubpacket returns it (data from the kind byte on).
const uint8_t* qoxSigFindORVSubSubpacket(const uint8_t* packet, size_t length, uint8_t kind, size_t nth,
                                         size_t* outLength, uint8_t* outCritical, bool* outHashed);
// Copies every subpacket of a version-4 signature into a signature settings,
// each with 0x400 when critical and 0x200 when unhashed: the known types
// through their setters (the issuer is not stored), any other type as a raw
// subpacket (type byte and data). kQOXErrBadSigExtraData for a wrong fixed length, a length
// that overruns its area or a critical subpacket in the unhashed area;
// kQOXErrOutOfMemory when the sigSpec cannot hold one; 0 otherwise (also for a signature
// that is not version 4, which has none).
QOXError qoxSigSubpacketsSpec(QOXSigSpec* sigSpec, const uint8_t* packet, size_t length);

#endif  // OSTRAK_KEYDB_SIG_PACKET_H_

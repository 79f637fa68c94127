// Making signature packet bodies (RFC 2440 5.2) and one-pass signature
// bodies (5.4) from signature settings (foundation/core/sig_spec.h)
// and the running hash of the signed data. Packet headers are the caller's.
//
// Version 3 (the sigSpec's version below 4): 3, 5, signature type and creation
// time, signer key ID, public-key algorithm, hash, check bytes, MPIs.
// Version 4: 4, signature type, public-key algorithm, hash; the hashed area
// (creation time first, then every item of the sigSpec whose unhashed flag is
// clear), the unhashed area (the issuer first, then every item whose
// unhashed flag is set), check bytes, MPIs. Items go in this order:
// signature expiration (3), exportable (4), trust (5), regular expression
// (6, with its terminating zero), revocable (7), key expiration (9), each
// additional recipient request (10), preferred algorithms (11), each
// revocation key (12), primary user ID (25), key server preferences (23),
// preferred key server (24), key flags (27), each raw subpacket; a critical
// item has 0x80 in its type byte. Every subpacket length is written in the
// RFC 2440 form: one byte below 192, two bytes up to 8383, else 255 and four
// bytes.
//
// The hash of a version-4 signature is the signed data's, then the body up
// to the end of the hashed area, then 4, 0xFF and that length (4 bytes,
// big-endian); of a version 3 signature the data's, then the signature type
// and the creation time. The caller's hash context is copied, not consumed.
//
// Thread safety: the sigSpec's and the key's threads.
#ifndef OSTRAK_KEYDB_SIG_MAKE_H_
#define OSTRAK_KEYDB_SIG_MAKE_H_

#include <cstddef>
#include <cstdint>

struct QOXHashContext;
struct QOXSigSpec;

// Makes the signature body; returns its length, or a negative error. The
// body is a block of the sigSpec's context (freed with QOXFreeData) handed to
// the caller through outBody, which stays null on error. Errors: a null
// argument or a sigSpec without a key kQOXErrBadParams; the key's property and
// signing errors; kQOXErrOutOfMemory (also when the hash cannot be copied).
int32_t qoxMakeSig(const QOXSigSpec* sigSpec, const QOXHashContext* hash, uint8_t** outBody);
// The size of a signature body without its MPIs, at most: what a caller
// reserves in front of the signature's numbers.
size_t qoxMakeSigExtraSize(const QOXSigSpec* sigSpec);

inline constexpr size_t kQOXMakeSigHeaderMaxSize = 13;
inline size_t qoxMakeSigHeaderMaxSize() { return kQOXMakeSigHeaderMaxSize; }
// Writes the 13-byte one-pass body (3, the sigSpec's signature type and hash,
// the signing key's public-key algorithm and key ID, the nested flag) and
// returns 13, or a negative error of the key's properties.
int32_t qoxMakeSigHeader(uint8_t* out, const QOXSigSpec* sigSpec, uint8_t nested);

#endif  // OSTRAK_KEYDB_SIG_MAKE_H_

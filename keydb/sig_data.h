// Signature lists: the signature and one-pass signature packets (RFC 2440
// 5.2 and 5.4) that a message reader collects, kept as raw packet-list nodes
// (crypto/pkt_list.h) whose type word is the packet's public-key algorithm,
// with readers of their fields and the check of a signature against a
// digest.
//
// Body layouts (packet headers are not part of a body):
//   one-pass (13 bytes, first byte 3): version 3, signature type, hash,
//     public-key algorithm, signer key ID (8), nested flag;
//   version 2 or 3: version, L, the L bytes of extra material (signature
//     type, creation time), signer key ID at 2+L, public-key algorithm at
//     10+L, hash at 11+L, check bytes at 12+L, MPIs from 14+L;
//   version 4: 4, signature type, public-key algorithm, hash, hashed area
//     (2-byte length H and H bytes), unhashed area (2-byte length U and U
//     bytes), check bytes at 8+H+U, MPIs from 10+H+U.
// The check bytes are the first two bytes of the digest.
//
// Every body that enters a list has passed qoxSigDataCheckBody; the readers
// still read through bounds of their own, so a node made elsewhere cannot
// make them read past it (they then answer 0, null or an error).
//
// Thread safety: a list belongs to one thread at a time.
#ifndef OSTRAK_KEYDB_SIG_DATA_H_
#define OSTRAK_KEYDB_SIG_DATA_H_

#include <cstddef>
#include <cstdint>

#include "crypto/pkt_list.h"
#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_time.h"

struct QOXContext;
struct QOXHashVTBL;
struct QOXKeyDBObj;

// The pipeline's annotations for a signature packet and for a signature
// that closes a one-pass signature packet.
inline constexpr uint32_t kQOXSigDataAnn_Signature = 2306;
inline constexpr uint32_t kQOXSigDataAnn_ClosingSignature = 2307;

inline constexpr size_t kQOXOnePassSigLength = 13;

// The checks every body passes before it is read: length 0, a version-4
// body shorter than 10 + H + U and a version-2/3 body too short for its
// fields give kQOXErrBadSignatureSize; a one-pass body with an unknown hash
// kQOXErrUnknownHashNumber; another version kQOXErrUnknownVersion; an RSA
// version-2/3 body whose length is not that of its one MPI
// kQOXErrBadSignatureSize, and whose MPI's top byte disagrees with its bit
// count kQOXErrSignatureBitsWrong.
QOXError qoxSigDataCheckBody(const uint8_t* body, size_t length);

// Adds a packet body read under the annotation: kQOXSigDataAnn_Signature
// appends a node; kQOXSigDataAnn_ClosingSignature replaces, in place, the
// first one-pass node of the same signature type, hash, public-key
// algorithm and signer (kQOXErrUnknownSignatureType for a one-pass body, a
// version-2/3 body whose L is not 5, no match or another annotation). The
// list is unchanged on every error; kQOXErrOutOfMemory when no node can be
// made.
QOXError qoxSigDataAdd(QOXContext* context, QOXPktList** list, uint32_t annotation, const uint8_t* body,
                       size_t length);

// The version (first byte; 0 for an empty node).
uint8_t qoxSigDataVersion(const QOXPktList* node);
// The signature type, or the check's error; kQOXErrBadSigExtraData for a
// version-2/3 body with L = 0.
int32_t qoxSigDataSigType(const uint8_t* body, size_t length);
int32_t qoxSigDataType(const QOXPktList* node);
// The public-key algorithm (0 when the body is too short).
uint8_t qoxSigDataPKAlg(const QOXPktList* node);
// The hash algorithm's record; null for an unknown hash.
const QOXHashVTBL* qoxSigDataHash(const QOXPktList* node);
// The creation time; 0 for a one-pass packet, a version-4 body that does not
// parse, or a version-2/3 body with L <= 4.
QOXTime qoxSigDataTimestamp(const QOXPktList* node);
// The material hashed after the signed data (version 4: the first 6 bytes
// and the hashed area; versions 2 and 3: the L bytes from byte 2); null and
// 0 for a one-pass packet.
const uint8_t* qoxSigDataExtra(const QOXPktList* node, size_t* outLength);
// The signer key ID (8 bytes, algorithm 255). A version-4 body's issuer is
// found by the signature parser, whose error is returned.
QOXError qoxGetSigDataKeyID(const QOXPktList* node, QOXKeyID* outKeyID);
// 1 valid, 0 not valid (the check bytes differ from the digest's first two
// bytes, without any key operation, or the key refuses the MPIs), negative
// error (the body's check; kQOXErrUnknownSignatureType for a one-pass body;
// kQOXErrUnknownHashNumber when the hash is not known). The digest holds the
// packet's hash algorithm's digest size.
int qoxSigDataCheck(const QOXPktList* node, QOXKeyDBObj* key, const uint8_t* digest);
int qoxSigDataCheckBuf(const uint8_t* body, size_t length, QOXKeyDBObj* key, const uint8_t* digest);
// A one-pass packet's nested flag (its last byte); 1 for any other body.
uint8_t qoxSigDataNestFlag(const uint8_t* body, size_t length);
// The number of different hash algorithms of the list, and those numbers in
// order of first appearance, one byte each (the output holds at least the
// count).
uint32_t qoxSigDataDistinctHashCount(const QOXPktList* list);
void qoxSigDataDistinctHashes(const QOXPktList* list, uint8_t* out);

const QOXPktList* qoxSigDataNext(const QOXPktList* node);
QOXPktList* qoxSigDataNext(QOXPktList* node);
void qoxSigDataFreeList(QOXPktList* list);

#endif  // OSTRAK_KEYDB_SIG_DATA_H_

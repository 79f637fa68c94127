// CRL packets (tag 60, this system's own, written with the new-form type
// byte 0xFC). Body: version (4); kind (1 a plain CRL, 2 a CRL with a
// distribution point); for kind 2 a 4-byte big-endian length and the
// distribution point as DER GeneralNames; then the DER CRL to the end of the
// body. The DER is decoded by the X.509 key bridge (keydb/x509_services.h).
//
// Thread safety: pure functions; decoding works in the given context.
#ifndef OSTRAK_KEYDB_CRL_PACKET_H_
#define OSTRAK_KEYDB_CRL_PACKET_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_time.h"

struct QOXContext;

inline constexpr uint8_t kQOXCRLPacketVersion = 4;
inline constexpr uint8_t kQOXCRLKind_Plain = 1;
inline constexpr uint8_t kQOXCRLKind_DistPoint = 2;

// Returns version and kind; a version other than 4 ends the parse with 0. For kind 2 the
// distribution point and its length. The DER CRL of kind 1 or 2 is decoded and its this-update and,
// when present, next-update times converted to seconds since 1970 (0 when absent); the decoder's
// error is returned (kQOXX509ErrCodec when it does not decode). kQOXErrTruncatedCRLPacket for a
// body shorter than 2 or a distribution point that runs past the body. Other kinds carry nothing
// this system reads: 0.
QOXError qoxCRLParse(QOXContext* context, const uint8_t* packet, size_t length, uint8_t* version, uint8_t* kind,
                     QOXTime* thisUpdate, QOXTime* nextUpdate, const uint8_t** distributionPoint,
                     size_t* distributionPointLength);
// The distribution point of a version-4, kind-2 CRL packet when it lies
// wholly within the body; else null.
const uint8_t* qoxCRLFindDPoint(const uint8_t* packet, size_t length, size_t* dpLength);
// The DER CRL of a version-4 CRL packet of kind 1 or 2 (after the
// distribution point for kind 2); else null.
const uint8_t* qoxCRLFindCRL(const uint8_t* packet, size_t length, size_t* crlLength);

#endif  // OSTRAK_KEYDB_CRL_PACKET_H_

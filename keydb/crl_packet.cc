#include "keydb/crl_packet.h"

#include "foundation/byte_cursor.h"
#include "foundation/sdk_errors.h"
#include "keydb/packet_header.h"
#include "keydb/x509_services.h"

using ostrak::ByteCursor;

namespace {

// The parts of a version-4 CRL body.
struct CRLBody {
  uint8_t version = 0;
  uint8_t kind = 0;
  ByteCursor distributionPoint;
  ByteCursor der;
};

enum class Split { kParts, kShort, kOther };

Split SplitCRL(const uint8_t* packet, size_t length, CRLBody* out) {
  ByteCursor body;
  if (!qoxPktBody(packet, length, &body) || !body.get_u8(&out->version) || !body.get_u8(&out->kind))
    return Split::kShort;
  if (out->version != kQOXCRLPacketVersion) return Split::kOther;
  if (out->kind == kQOXCRLKind_DistPoint) {
    if (!body.get_u32be_prefixed(&out->distributionPoint)) return Split::kShort;
  } else if (out->kind != kQOXCRLKind_Plain) {
    return Split::kOther;
  }
  out->der = body;
  return Split::kParts;
}

}  // namespace

QOXError qoxCRLParse(QOXContext* context, const uint8_t* packet, size_t length, uint8_t* version, uint8_t* kind,
                     QOXTime* thisUpdate, QOXTime* nextUpdate, const uint8_t** distributionPoint,
                     size_t* distributionPointLength) {
  if (version != nullptr) *version = 0;
  if (kind != nullptr) *kind = 0;
  if (thisUpdate != nullptr) *thisUpdate = 0;
  if (nextUpdate != nullptr) *nextUpdate = 0;
  if (distributionPoint != nullptr) *distributionPoint = nullptr;
  if (distributionPointLength != nullptr) *distributionPointLength = 0;

  CRLBody crl;
  const Split split = SplitCRL(packet, length, &crl);
  if (version != nullptr) *version = crl.version;
  if (kind != nullptr) *kind = crl.kind;
  if (split == Split::kShort) return kQOXErrTruncatedCRLPacket;
  if (split == Split::kOther) return kQOXErrNoErr;
  if (crl.kind == kQOXCRLKind_DistPoint) {
    if (distributionPoint != nullptr) *distributionPoint = crl.distributionPoint.data();
    if (distributionPointLength != nullptr) *distributionPointLength = crl.distributionPoint.remaining();
  }

  const QOXX509Services& x509 = qoxX509Services();
  QOXX509CRL* decoded = nullptr;
  QOXError err = x509.qoxX509BufferToCRL(context, crl.der.data(), crl.der.remaining(), &decoded);
  if (err != kQOXErrNoErr) return err;
  const QOXX509Time* thisTime = nullptr;
  const QOXX509Time* nextTime = nullptr;
  err = x509.qoxX509CRLUpdateTimes(decoded, &thisTime, &nextTime);
  QOXTime seconds = 0;
  if (err == kQOXErrNoErr && thisTime != nullptr) {
    err = x509.qoxX509DecodeTime(thisTime, &seconds);
    if (err == kQOXErrNoErr && thisUpdate != nullptr) *thisUpdate = seconds;
  }
  if (err == kQOXErrNoErr && nextTime != nullptr) {
    err = x509.qoxX509DecodeTime(nextTime, &seconds);
    if (err == kQOXErrNoErr && nextUpdate != nullptr) *nextUpdate = seconds;
  }
  x509.qoxX509FreeCRL(context, decoded);
  return err;
}

const uint8_t* qoxCRLFindDPoint(const uint8_t* packet, size_t length, size_t* dpLength) {
  *dpLength = 0;
  CRLBody crl;
  if (SplitCRL(packet, length, &crl) != Split::kParts || crl.kind != kQOXCRLKind_DistPoint) return nullptr;
  *dpLength = crl.distributionPoint.remaining();
  return crl.distributionPoint.data();
}

const uint8_t* qoxCRLFindCRL(const uint8_t* packet, size_t length, size_t* crlLength) {
  *crlLength = 0;
  CRLBody crl;
  if (SplitCRL(packet, length, &crl) != Split::kParts) return nullptr;
  *crlLength = crl.der.remaining();
  return crl.der.data();
}

// User attribute and CRL packets: the subpackets of an attribute, a CRL's
// distribution point and DER, and the CRL parser both with the X.509 seam
// set's stand-ins (-40: the DER does not decode) and with a bridge double
// that decodes.
#include <gtest/gtest.h>

#include "foundation/sdk_errors.h"
#include "keydb/attribute_packet.h"
#include "keydb/crl_packet.h"
#include "keydb/x509_services.h"
#include "tests/common/scoped_services.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

Bytes NewForm(uint8_t tag, const Bytes& body) {
  Bytes p = {static_cast<uint8_t>(0xC0 | tag)};
  if (body.size() < 192) {
    p.push_back(static_cast<uint8_t>(body.size()));
  } else {
    p.push_back(0xFF);
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(body.size() >> s));
  }
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

// An image subpacket (type 1) of n data bytes, with a five-byte length.
Bytes Image(size_t n, uint8_t fill) {
  const size_t length = n + 1;
  Bytes s = {0xFF, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 1};
  s.insert(s.end(), n, fill);
  return s;
}

TEST(AttributePacketTest, TwoImageSubpackets) {
  Bytes body = Image(100, 0xAA);
  const Bytes second = Image(300, 0xBB);
  body.insert(body.end(), second.begin(), second.end());
  const Bytes packet = NewForm(17, body);
  EXPECT_EQ(qoxAttrCountSubpackets(packet.data(), packet.size()), 2u);
  uint8_t type = 0;
  size_t length = 0;
  const uint8_t* d = qoxAttrSubpacket(packet.data(), packet.size(), 1, &type, &length);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(length, 300u);
  EXPECT_EQ(d[0], 0xBB);
  EXPECT_EQ(d[299], 0xBB);
  d = qoxAttrSubpacket(packet.data(), packet.size(), 0, &type, &length);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(d[0], 0xAA);
  EXPECT_EQ(qoxAttrSubpacket(packet.data(), packet.size(), 2, &type, &length), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(type, 0);

  // One-byte and two-byte lengths; a subpacket past the packet is malformed.
  const Bytes small = NewForm(17, {3, 7, 'h', 'i', 0xC0, 0x00, 9});
  Bytes tail = {9};
  tail.insert(tail.end(), 191, 0x11);  // the 192-byte subpacket of the two-byte length
  Bytes smallBody = {3, 7, 'h', 'i', 0xC0, 0x00};
  smallBody.insert(smallBody.end(), tail.begin(), tail.end());
  const Bytes mixed = NewForm(17, smallBody);
  EXPECT_EQ(qoxAttrCountSubpackets(mixed.data(), mixed.size()), 2u);
  d = qoxAttrSubpacket(mixed.data(), mixed.size(), 1, &type, &length);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(type, 9);
  EXPECT_EQ(length, 191u);
  EXPECT_EQ(qoxAttrCountSubpackets(small.data(), small.size()), 0u) << "malformed";
  EXPECT_NE(qoxAttrSubpacket(small.data(), small.size(), 0, &type, &length), nullptr) << "before the fault";
  EXPECT_EQ(qoxAttrSubpacket(small.data(), small.size(), 1, &type, &length), nullptr);
  const Bytes empty = NewForm(17, {});
  EXPECT_EQ(qoxAttrCountSubpackets(empty.data(), empty.size()), 0u);
}

// A kind-2 CRL packet: version 4, kind 2, the distribution point's length
// and bytes, then the DER CRL.
const Bytes kDistPoint = {0x30, 0x03, 0x86, 0x01, 'u'};
const Bytes kDER = {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x07};

Bytes CRLBody(uint8_t version, uint8_t kind) {
  Bytes b = {version, kind};
  if (kind == 2) {
    b.insert(b.end(), {0, 0, 0, static_cast<uint8_t>(kDistPoint.size())});
    b.insert(b.end(), kDistPoint.begin(), kDistPoint.end());
  }
  b.insert(b.end(), kDER.begin(), kDER.end());
  return b;
}

class CRLPacketTest : public keydb_test::KeyDBTest {};

TEST_F(CRLPacketTest, FindsTheDistributionPointAndTheCRL) {
  const Bytes two = NewForm(60, CRLBody(4, 2));
  ASSERT_EQ(two[0], 0xFC);
  size_t n = 0;
  const uint8_t* dp = qoxCRLFindDPoint(two.data(), two.size(), &n);
  ASSERT_NE(dp, nullptr);
  EXPECT_EQ(Bytes(dp, dp + n), kDistPoint);
  const uint8_t* der = qoxCRLFindCRL(two.data(), two.size(), &n);
  ASSERT_NE(der, nullptr);
  EXPECT_EQ(Bytes(der, der + n), kDER);

  const Bytes one = NewForm(60, CRLBody(4, 1));
  EXPECT_EQ(qoxCRLFindDPoint(one.data(), one.size(), &n), nullptr);
  der = qoxCRLFindCRL(one.data(), one.size(), &n);
  ASSERT_NE(der, nullptr);
  EXPECT_EQ(Bytes(der, der + n), kDER);

  Bytes pastBody = CRLBody(4, 2);
  pastBody[5] = 0x40;  // a distribution point longer than the body
  const Bytes past = NewForm(60, pastBody);
  for (const Bytes& p : {past, NewForm(60, CRLBody(3, 2)), NewForm(60, CRLBody(4, 3)), NewForm(60, {4})}) {
    EXPECT_EQ(qoxCRLFindDPoint(p.data(), p.size(), &n), nullptr);
    EXPECT_EQ(qoxCRLFindCRL(p.data(), p.size(), &n), nullptr);
    EXPECT_EQ(n, 0u);
  }
}

TEST_F(CRLPacketTest, ParsesWithTheStandInsAndWithADecoder) {
  const Bytes two = NewForm(60, CRLBody(4, 2));
  uint8_t version = 0, kind = 0;
  QOXTime thisUpdate = 1, nextUpdate = 1;
  const uint8_t* dp = nullptr;
  size_t dpLength = 0;
  // The stand-ins decode nothing: -40, with version, kind and the
  // distribution point read.
  EXPECT_EQ(qoxCRLParse(context_, two.data(), two.size(), &version, &kind, &thisUpdate, &nextUpdate, &dp, &dpLength),
            kQOXX509ErrCodec);
  EXPECT_EQ(version, 4);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(Bytes(dp, dp + dpLength), kDistPoint);
  EXPECT_EQ(thisUpdate, 0u);
  EXPECT_EQ(nextUpdate, 0u);

  static int freed;
  static Bytes decodedDER;
  freed = 0;
  ostrak_test::ScopedServices<QOXX509Services> x509(qoxX509Services, qoxRegisterX509Services);
  static int crlRecord;
  static int times[2];
  x509->qoxX509BufferToCRL = [](QOXContext*, const uint8_t* der, size_t length, QOXX509CRL** out) {
    decodedDER.assign(der, der + length);
    *out = reinterpret_cast<QOXX509CRL*>(&crlRecord);
    return kQOXErrNoErr;
  };
  x509->qoxX509CRLUpdateTimes = [](const QOXX509CRL*, const QOXX509Time** thisTime, const QOXX509Time** nextTime) {
    *thisTime = reinterpret_cast<const QOXX509Time*>(&times[0]);
    *nextTime = crlRecord == 0 ? reinterpret_cast<const QOXX509Time*>(&times[1]) : nullptr;
    return kQOXErrNoErr;
  };
  x509->qoxX509DecodeTime = [](const QOXX509Time* t, QOXTime* seconds) {
    *seconds = reinterpret_cast<const int*>(t) == &times[0] ? 1000u : 2000u;
    return kQOXErrNoErr;
  };
  x509->qoxX509FreeCRL = [](QOXContext*, QOXX509CRL*) {
    ++freed;
    return kQOXErrNoErr;
  };
  crlRecord = 0;
  EXPECT_EQ(qoxCRLParse(context_, two.data(), two.size(), &version, &kind, &thisUpdate, &nextUpdate, &dp, &dpLength),
            0);
  EXPECT_EQ(decodedDER, kDER);
  EXPECT_EQ(thisUpdate, 1000u);
  EXPECT_EQ(nextUpdate, 2000u);
  EXPECT_EQ(freed, 1);
  crlRecord = 1;  // no next-update time
  const Bytes one = NewForm(60, CRLBody(4, 1));
  EXPECT_EQ(qoxCRLParse(context_, one.data(), one.size(), &version, &kind, &thisUpdate, &nextUpdate, &dp, &dpLength),
            0);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(dp, nullptr);
  EXPECT_EQ(thisUpdate, 1000u);
  EXPECT_EQ(nextUpdate, 0u);
  EXPECT_EQ(freed, 2);

  // Short bodies, other versions and kinds.
  const Bytes shortBody = NewForm(60, {4});
  EXPECT_EQ(qoxCRLParse(context_, shortBody.data(), shortBody.size(), &version, &kind, nullptr, nullptr, nullptr,
                        nullptr),
            kQOXErrTruncatedCRLPacket);
  Bytes pastBody = CRLBody(4, 2);
  pastBody[5] = 0x40;
  const Bytes past = NewForm(60, pastBody);
  EXPECT_EQ(qoxCRLParse(context_, past.data(), past.size(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            kQOXErrTruncatedCRLPacket);
  const Bytes three = NewForm(60, CRLBody(3, 1));
  EXPECT_EQ(qoxCRLParse(context_, three.data(), three.size(), &version, &kind, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(version, 3);
  EXPECT_EQ(freed, 2) << "nothing decoded for another version";
}

}  // namespace

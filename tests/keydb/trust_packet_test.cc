// Trust packets: the bytes after each kind of object, none after a key's
// revocation of itself, one after a revocation by another key.
#include "keydb/trust_packet.h"

#include <gtest/gtest.h>

#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

class TrustPacketTest : public keydb_test::KeyDBTest {
 protected:
  Bytes Of(QOXKeyDBObj* o) {
    uint8_t out[kQOXTrustPacketMaxLength + 1];
    out[kQOXTrustPacketMaxLength] = 0xEE;
    const size_t n = qoxMakeTrustPacket(o, out);
    EXPECT_EQ(out[kQOXTrustPacketMaxLength], 0xEE);
    return Bytes(out, out + n);
  }
};

TEST_F(TrustPacketTest, BytesOfEachKind) {
  const uint8_t id[8] = {1};
  const uint8_t otherID[8] = {2};
  QOXKeyDBObj* key = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key, 1, id);
  QOXKeyDBObj* other = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key, 1, otherID);
  QOXKeyDBObj* sub = qoxNewKeyObj(db_, key, kQOXObjFlag_SubKey, 16, otherID);
  QOXKeyDBObj* uid = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  QOXKeyDBObj* cert = qoxNewKeyDBObj(db_, uid, kQOXObjFlag_Sig);
  QOXKeyDBObj* selfRevocation = qoxNewKeyDBObj(db_, key, kQOXObjFlag_Sig);
  QOXKeyDBObj* revokedByOther = qoxNewKeyDBObj(db_, key, kQOXObjFlag_Sig);
  QOXKeyDBObj* subRevocation = qoxNewKeyDBObj(db_, sub, kQOXObjFlag_Sig);
  QOXKeyDBObj* crl = qoxNewKeyDBObj(db_, key, kQOXObjFlag_CRL);
  QOXKeyDBObj* unknown = qoxNewKeyDBObj(db_, key, 0);
  qoxKeyToKeyInfo(key)->keyTrust = 0x87;
  qoxKeyToKeyInfo(sub)->keyTrust = 0x10;
  UserIDInfo* u = qoxUserIDToUserIDInfo(uid);
  u->trustByte = 0x43;
  u->validity = 120;
  u->confidence = 253;
  qoxSigToSigInfo(cert)->trustByte = 0x66;
  for (QOXKeyDBObj* s : {selfRevocation, revokedByOther, subRevocation}) {
    qoxSigToSigInfo(s)->type = 0x20;
    qoxSigToSigInfo(s)->trustByte = 0x67;
  }
  qoxSigToSigInfo(selfRevocation)->signer = key;
  qoxSigToSigInfo(revokedByOther)->signer = other;
  qoxSigToSigInfo(subRevocation)->signer = sub;
  qoxSigToSigInfo(cert)->type = 0x20;  // a certification revocation type on a user ID still gets one
  qoxSigToSigInfo(cert)->signer = key;
  qoxCRLToCRLInfo(crl)->trustByte = 0x60;
  qoxUnkToUnkInfo(unknown)->trustByte = 0x05;

  EXPECT_EQ(Of(key), (Bytes{0xB0, 1, 0x87}));
  EXPECT_EQ(Of(sub), (Bytes{0xB0, 1, 0x10}));
  EXPECT_EQ(Of(uid), (Bytes{0xB0, 3, 0x43, 120, 253}));
  EXPECT_EQ(Of(cert), (Bytes{0xB0, 1, 0x66}));
  EXPECT_EQ(Of(selfRevocation), Bytes{}) << "a key's revocation of itself has none";
  EXPECT_EQ(Of(subRevocation), Bytes{}) << "nor a subkey's";
  EXPECT_EQ(Of(revokedByOther), (Bytes{0xB0, 1, 0x67}));
  EXPECT_EQ(Of(crl), (Bytes{0xB0, 1, 0x60}));
  EXPECT_EQ(Of(unknown), (Bytes{0xB0, 1, 0x05}));
  // The packet reads back as a trust packet.
  const Bytes p = Of(uid);
  EXPECT_EQ(qoxPktTag(p[0]), kQOXPktTag_Trust);
  EXPECT_EQ(qoxPktBufferHeaderLen(p.data(), p.size()), 2u);
  qoxKeyDBObjRefresh(key, false);
  EXPECT_EQ(Of(key), Bytes{}) << "no record, no packet";
}

}  // namespace

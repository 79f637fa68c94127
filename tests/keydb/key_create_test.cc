// Creating key packets and objects: the packet forms of created keys, user
// IDs and photo IDs (gpg's own secret-key packet as the oracle for the key
// form), the size limit, and refused creation leaving nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_create.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_data.h"
#include "keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;

class KeyCreateTest : public keydb_test::KeyDBTest {
 protected:
  Bytes Stored(QOXKeyDBObj* object) {
    size_t length = 0;
    const uint8_t* p = qoxFetchObject(object, &length);
    return p != nullptr ? Bytes(p, p + length) : Bytes();
  }
  size_t RealChildren(QOXKeyDBObj* parent) {
    size_t n = 0;
    for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) n += qoxKeyDBObjIsReal(c) ? 1 : 0;
    return n;
  }
};

// gpg's unprotected secret key packet of Alice, read into a secret-key
// object and written again with a key spec of its version and creation,
// is the same packet byte for byte (type byte 0x95: tag 5, old form, two
// length bytes).
TEST_F(KeyCreateTest, KeyPacketIsGpgsOwn) {
  const std::vector<keydb_test::Packet> packets = SplitPackets(ReadFile("alice.sec.pgp"));
  const Bytes& gpgKey = packets[0].bytes;
  ASSERT_EQ(gpgKey[0], 0x95);
  const size_t header = 3;
  QOXError err = 0;
  QOXSecKey* secret = qoxSecKeyFromBuf(context_, 1, gpgKey.data() + header + 6, gpgKey.size() - header - 6, 0, &err);
  ASSERT_NE(secret, nullptr) << err;
  QOXKeySpec* spec = qoxKeySpecCreate(qoxContextGetEnvironment(context_));
  ASSERT_NE(spec, nullptr);
  ASSERT_EQ(qoxKeySpecSetVersion(spec, 4), 0);
  ASSERT_EQ(qoxKeySpecSetCreation(spec, 1796948860), 0);

  QOXKeyDBObj* key = qoxCreateKey(db_, nullptr, true, nullptr, secret, spec, 1);
  ASSERT_NE(key, nullptr) << qoxKeyDBError(db_);
  EXPECT_EQ(Stored(key), gpgKey);
  EXPECT_EQ(keydb_test::Hex(qoxKeyToKeyInfo(key)->keyID, 8), "7F5B1A7795C777D2");
  EXPECT_NE(qoxKeyToKeyInfo(key)->keyFlags & kQOXKeyFlag_Secret, 0u);

  // The public form of the same key (tag 6) and a subkey (tag 7) under it.
  QOXPubKey* pub = secret->pubkey(secret);
  ASSERT_NE(pub, nullptr);
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  QOXKeyDBObj* publicKey = qoxCreateKey(other, nullptr, false, pub, nullptr, spec, 1);
  ASSERT_NE(publicKey, nullptr);
  const Bytes publicPacket = Stored(publicKey);
  EXPECT_EQ(publicPacket[0], 0x99);
  const Bytes gpgPublic = SplitPackets(ReadFile("alice.pgp"))[0].bytes;
  EXPECT_EQ(publicPacket, gpgPublic);
  QOXKeyDBObj* sub = qoxCreateKey(db_, key, true, nullptr, secret, spec, 1);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(Stored(sub)[0], 0x9D);
  EXPECT_EQ(qoxObjParent(sub), key);

  // A rebuilt secret packet after a change of protection: the same type
  // byte and prefix, the new numbers.
  EXPECT_EQ(qoxUpdateSecKeyData(key, secret), 0);
  EXPECT_EQ(Stored(key), gpgKey);

  pub->destroy(pub);
  secret->destroy(secret);
  qoxKeySpecDestroy(spec);
  EXPECT_EQ(QOXFreeKeyDB(other), 0);
}

// A packet of 150000 bytes or more is refused and nothing is added; one
// byte less is taken. A user ID of that size has the widened old-form
// header (0xB6: tag 13, four length bytes).
TEST_F(KeyCreateTest, SizeLimit) {
  ASSERT_EQ(ReadFixture("alice.pgp"), 0);
  QOXKeyDBObj* alice = db_->firstKey;
  const size_t before = RealChildren(alice);
  const Bytes tooLong(150000 - 5, 'u');
  EXPECT_EQ(qoxCreateUserID(db_, alice, tooLong.data(), tooLong.size()), nullptr);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrKeyGrosslyOversized);
  EXPECT_EQ(RealChildren(alice), before);
  const Bytes longest(150000 - 6, 'u');
  QOXKeyDBObj* uid = qoxCreateUserID(db_, alice, longest.data(), longest.size());
  ASSERT_NE(uid, nullptr);
  const Bytes stored = Stored(uid);
  EXPECT_EQ(stored.size(), 149999u);
  EXPECT_EQ(stored[0], 0xB6);
  EXPECT_EQ(RealChildren(alice), before + 1);

  const Bytes attribute(150000 - 6 - 6, 'a');  // header 6, subpacket head 6
  EXPECT_EQ(qoxCreateAttribute(db_, alice, 1, attribute.data(), attribute.size()), nullptr);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrKeyGrosslyOversized);
  EXPECT_NE(qoxCreateAttribute(db_, alice, 1, attribute.data(), attribute.size() - 1), nullptr);
}

// Photo ID of 100 bytes: 0xD1, the new-form length 106, then 0xFF, 00 00 00
// 0x65 (101), the type byte and the data; a short user ID as 0xB4.
TEST_F(KeyCreateTest, UserIDAndPhotoIDForms) {
  ASSERT_EQ(ReadFixture("alice.pgp"), 0);
  QOXKeyDBObj* alice = db_->firstKey;
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  QOXKeyDBObj* photo = qoxCreateAttribute(db_, alice, 1, data.data(), data.size());
  ASSERT_NE(photo, nullptr);
  Bytes expected = {0xD1, 106, 0xFF, 0, 0, 0, 0x65, 1};
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(Stored(photo), expected);
  EXPECT_EQ(qoxObjectType(photo), kQOXKeyDBObjType_UserID);

  const std::string name = "Zed <zed@example.org>";
  QOXKeyDBObj* uid = qoxCreateUserID(db_, alice, reinterpret_cast<const uint8_t*>(name.data()), name.size());
  ASSERT_NE(uid, nullptr);
  Bytes expectedUID = {0xB4, static_cast<uint8_t>(name.size())};
  expectedUID.insert(expectedUID.end(), name.begin(), name.end());
  EXPECT_EQ(Stored(uid), expectedUID);
  // The same packet again is the same object (merged, as a read would).
  EXPECT_EQ(qoxCreateUserID(db_, alice, reinterpret_cast<const uint8_t*>(name.data()), name.size()), uid);

  // gpg's self-signature body under the new user ID: 0x89 and two length
  // bytes, gpg's packet exactly; the body is the signer's, unchanged.
  Bytes gpgSig;
  for (const keydb_test::Packet& p : SplitPackets(ReadFile("alice.pgp"))) {
    if (p.tag == 2) {
      gpgSig = p.bytes;
      break;
    }
  }
  ASSERT_EQ(gpgSig[0], 0x89);
  QOXKeyDBObj* sig = qoxCreateSig(db_, uid, gpgSig.data() + 3, gpgSig.size() - 3);
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(Stored(sig), gpgSig);
  EXPECT_EQ(qoxObjParent(sig), uid);
}

}  // namespace

// What a key says through the signatures, revocations and CRLs under it:
// the latest self-certification, revocation and supersession, subpackets
// of self-signatures in their order, primary marks, subkey validity in
// time, current CRLs and their distribution points, trust-signature
// expressions, signer chains and expiry windows, over the gpg fixtures.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/regex.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/packet_text.h"
#include "keydb/ring_reader.h"
#include "keydb/self_sig.h"
#include "keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::NewPacket;

constexpr uint8_t kPositiveCertification = 0x13;
const Bytes kNotRevocable = {0};

class SelfSigTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    for (const char* name : {"alice.sec", "bob.both", "carol"}) ASSERT_EQ(ReadFixture(std::string(name) + ".bin"), 0);
    MarkAllChecked();
    alice_ = KeyNamed("alice");
    uid_ = Children(alice_, kQOXKeyDBObjType_UserID)[0];
    sub_ = Children(alice_, kQOXKeyDBObjType_SubKey)[0];
    created_ = qoxKeyCreation(alice_);
  }
  // A CRL under the key: kind 1, or kind 2 with the distribution point;
  // times and trust set as a decoder and a check would.
  QOXKeyDBObj* NewCRL(QOXKeyDBObj* key, const Bytes& distributionPoint, QOXTime creation, QOXTime expiration,
                      bool checked = true) {
    Bytes body{4, static_cast<uint8_t>(distributionPoint.empty() ? 1 : 2)};
    if (!distributionPoint.empty()) {
      body.insert(body.end(), {0, 0, 0, static_cast<uint8_t>(distributionPoint.size())});
      body.insert(body.end(), distributionPoint.begin(), distributionPoint.end());
    }
    body.insert(body.end(), {0x30, 0x03, 0x02, 0x01, static_cast<uint8_t>(creation)});  // distinct packets
    const Bytes packet = NewPacket(kQOXPktTag_CRL, body);
    QOXError err = 0;
    QOXKeyDBObj* crl = qoxAddCRL(kQOXPktTag_CRL, packet.data(), packet.size(), db_, key, &err);
    EXPECT_NE(crl, nullptr);
    CRLInfo* info = qoxCRLToCRLInfo(crl);
    info->creation = creation;
    info->expiration = expiration;
    info->trustByte = checked ? kQOXSigTrust_Checked | kQOXSigTrust_Tried : 0;
    return crl;
  }

  QOXKeyDBObj* alice_ = nullptr;
  QOXKeyDBObj* uid_ = nullptr;
  QOXKeyDBObj* sub_ = nullptr;
  QOXTime created_ = 0;
};

// Certified twice by its key, a user ID speaks through the later
// certification; once a later 0x30 revokes the revocable ones, through the
// irrevocable earlier one. The earlier one is superseded by the later.
TEST_F(SelfSigTest, LatestCertificationRevocationAndSupersession) {
  QOXKeyDBObj* gpgs = Children(uid_, kQOXKeyDBObjType_Sig)[0];
  EXPECT_EQ(qoxLatestSigByKey(uid_, alice_), gpgs);
  QOXKeyDBObj* earlier =
      NewSig(uid_, alice_, kPositiveCertification, created_ + 100, {{kQOXSubpacket_Revocable, kNotRevocable}});
  QOXKeyDBObj* later = NewSig(uid_, alice_, kPositiveCertification, created_ + 200);
  QOXKeyDBObj* sameTime = NewSig(uid_, alice_, 0x12, created_ + 200);
  EXPECT_EQ(qoxLatestSigByKey(uid_, alice_), later) << "the first in child order on equal times";
  EXPECT_TRUE(qoxSigIsSuperceded(gpgs));
  EXPECT_FALSE(qoxSigIsSuperceded(earlier)) << "not revocable";
  EXPECT_FALSE(qoxSigIsSuperceded(later));
  EXPECT_FALSE(qoxSigIsSuperceded(sameTime)) << "only a strictly later one supersedes";
  // A later revocation by alice herself that is not checked changes nothing.
  QOXKeyDBObj* revocation = NewSig(uid_, alice_, kQOXSigType_CertRevocation, created_ + 300);
  qoxSigToSigInfo(revocation)->trustByte = 0;
  EXPECT_EQ(qoxLatestSigByKey(uid_, alice_), later);
  qoxSigToSigInfo(revocation)->trustByte = kQOXSigTrust_Checked | kQOXSigTrust_Tried;
  EXPECT_TRUE(qoxSigRevoked(later));
  EXPECT_FALSE(qoxSigRevoked(earlier));
  EXPECT_EQ(qoxLatestSigByKey(uid_, alice_), earlier);
  // The revoked trust bit alone revokes a revocable signature.
  QOXKeyDBObj* byCarol = NewSig(uid_, KeyNamed("carol"), 0x10, created_ + 50);
  EXPECT_FALSE(qoxSigRevoked(byCarol));
  qoxSigToSigInfo(byCarol)->trustByte |= kQOXSigTrust_Revoked;
  EXPECT_TRUE(qoxSigRevoked(byCarol));
  EXPECT_FALSE(qoxIsSelfCertification(byCarol, alice_));
}

// An irrevocable self-signature speaks first, whatever its age; then the
// latest on the primary user ID, the other user IDs and the key itself.
TEST_F(SelfSigTest, SubpacketsOfSelfSignaturesInTheirOrder) {
  NewSig(uid_, alice_, kPositiveCertification, created_ - 1000,
         {{kQOXSubpacket_Revocable, kNotRevocable}, {kQOXSubpacket_KeyFlags, {0x01}}});
  QOXKeyDBObj* other = NewUserID(alice_, "Alice Other <other@example.org>");
  NewSig(other, alice_, kPositiveCertification, created_ + 10, {{kQOXSubpacket_KeyFlags, {0x20}}});
  NewSig(alice_, alice_, kQOXSigType_DirectKey, created_ + 20, {{kQOXSubpacket_KeyFlags, {0x0F, 1, 2, 3, 4, 5}}});
  size_t count = 0, length = 0;
  uint8_t critical = 1;
  bool hashed = false;
  QOXTime creation = 0;
  QOXError err = 1;
  const uint8_t* first = qoxKeyFindSubpacket(alice_, kQOXSubpacket_KeyFlags, 0, &length, &critical, &hashed,
                                             &creation, &count, &err);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(first[0], 0x01);
  EXPECT_EQ(creation, created_ - 1000);
  EXPECT_TRUE(hashed);
  EXPECT_EQ(critical, 0);
  const uint8_t expected[] = {0x01, 0x03, 0x20, 0x0F};
  for (size_t n = 0; n < 4; ++n) {
    const uint8_t* p =
        qoxKeyFindSubpacket(alice_, kQOXSubpacket_KeyFlags, n, &length, nullptr, nullptr, nullptr, nullptr, &err);
    ASSERT_NE(p, nullptr) << n;
    EXPECT_EQ(p[0], expected[n]) << n;
  }
  EXPECT_EQ(qoxKeyFindSubpacket(alice_, kQOXSubpacket_KeyFlags, 4, &length, nullptr, nullptr, nullptr, nullptr, &err),
            nullptr);
  // The property takes the first; of six bytes only four count.
  int32_t flags = 0;
  ASSERT_EQ(QOXGetKeyDBObjNumericProperty(alice_, static_cast<int32_t>(KeyDBObjProperty::KeyFlags), &flags), 0);
  EXPECT_EQ(flags, 1);
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  ASSERT_EQ(Read(keydb_test::ReadFile("carol.bin"), false, db), 0);
  QOXKeyDBObj* carol = Keys(false, db)[0];
  NewSig(carol, carol, kQOXSigType_DirectKey, qoxKeyCreation(carol) + 5,
         {{kQOXSubpacket_Revocable, kNotRevocable}, {kQOXSubpacket_KeyFlags, {0x0C, 1, 2, 3, 4, 5}}});
  ASSERT_EQ(QOXGetKeyDBObjNumericProperty(carol, static_cast<int32_t>(KeyDBObjProperty::KeyFlags), &flags), 0);
  EXPECT_EQ(flags, 0x0302010C);
  // A subkey: its own binding first.
  const uint8_t* subFlags =
      qoxKeyFindSubpacket(sub_, kQOXSubpacket_KeyFlags, 0, &length, nullptr, nullptr, nullptr, nullptr, &err);
  ASSERT_NE(subFlags, nullptr);
  EXPECT_EQ(subFlags[0], 0x0C) << "the key's user IDs are not the subkey's";
  ASSERT_EQ(QOXFreeKeyDB(db), 0);
}

// Primary marks: a marked user ID wins over a flagged self-signature;
// marking a plain user ID leaves a user attribute's mark alone.
TEST_F(SelfSigTest, PrimaryUserIDMarks) {
  QOXKeyDBObj* flagged = NewUserID(alice_, "Alice Flagged <flagged@example.org>");
  NewSig(flagged, alice_, kPositiveCertification, created_ + 10, {{kQOXSubpacket_PrimaryUserID, {1}}});
  EXPECT_EQ(qoxKeyPrimaryUserID(alice_, 0), flagged);
  const Bytes attribute = NewPacket(kQOXPktTag_UserAttribute, {4, 1, 0xFF, 0xD8, 0xFF});
  QOXError err = 0;
  QOXKeyDBObj* photo = qoxAddUserID(kQOXPktTag_UserAttribute, attribute.data(), attribute.size(), db_, alice_, &err);
  ASSERT_NE(photo, nullptr);
  EXPECT_EQ(qoxKeyPrimaryUserID(alice_, 1), photo);
  EXPECT_EQ(qoxKeyPrimaryUserID(alice_, 2), nullptr);
  ASSERT_EQ(qoxKeySetPrimaryUserID(photo), 0);
  ASSERT_EQ(qoxKeySetPrimaryUserID(uid_), 0);
  EXPECT_EQ(qoxKeyPrimaryUserID(alice_, 0), uid_);
  EXPECT_NE(qoxUserIDToUserIDInfo(photo)->trustByte & kQOXUserIDTrust_Primary, 0);
  ASSERT_EQ(qoxKeySetPrimaryUserID(flagged), 0);
  EXPECT_EQ(qoxUserIDToUserIDInfo(uid_)->trustByte & kQOXUserIDTrust_Primary, 0);
  EXPECT_EQ(qoxUserIDCountAttributes(photo), 1u);
  ASSERT_EQ(qoxKeyClearPrimaryUserIDs(alice_, kQOXAttributeTypeAll), 0);
  EXPECT_EQ(qoxUserIDToUserIDInfo(photo)->trustByte & kQOXUserIDTrust_Primary, 0);
  EXPECT_EQ(qoxUserIDToUserIDInfo(flagged)->trustByte & kQOXUserIDTrust_Primary, 0);
}

// A subkey is valid with a binding by its key that is untried or good;
// not when revoked (unless allowed), marked expired, past its expiry, or
// created more than a day ahead of now.
TEST_F(SelfSigTest, SubkeyValidityInTime) {
  KeyInfo* k = qoxKeyToKeyInfo(sub_);
  const QOXTime now = QOXGetTime();
  EXPECT_TRUE(qoxSubkeyValid(sub_, true, false));
  EXPECT_EQ(qoxKeySubkey(alice_, nullptr), sub_);
  struct Case {
    const char* what;
    QOXTime creation;
    uint16_t days;
    uint8_t keyTrust;
    bool checkTime, allowRevoked, valid;
  } cases[] = {
      {"two days ahead", now + 2 * 86400, 0, 0, true, false, false},
      {"two days ahead, time not checked", now + 2 * 86400, 0, 0, false, false, true},
      {"within the coming day", now + 86400 - 60, 0, 0, true, false, true},
      {"expired a day ago", now - 3 * 86400, 2, 0, true, false, false},
      {"expires tomorrow", now - 86400, 2, 0, true, false, true},
      {"marked expired", now - 86400, 0, kQOXKeyTrust_Expired, true, false, false},
      {"revoked", now - 86400, 0, kQOXKeyTrust_Revoked, true, false, false},
      {"revoked, allowed", now - 86400, 0, kQOXKeyTrust_Revoked, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    k->creation = c.creation;
    k->validityDays = c.days;
    k->keyTrust = c.keyTrust;
    EXPECT_EQ(qoxSubkeyValid(sub_, c.checkTime, c.allowRevoked), c.valid);
  }
  k->creation = now - 86400;
  k->validityDays = 0;
  k->keyTrust = 0;
  // The binding tried and found bad: invalid; untried: valid.
  SigInfo* binding = qoxSigToSigInfo(Children(sub_, kQOXKeyDBObjType_Sig)[0]);
  binding->trustByte = kQOXSigTrust_Tried;
  EXPECT_FALSE(qoxSubkeyValid(sub_, false, true));
  EXPECT_EQ(qoxKeySubkey(alice_, nullptr), nullptr);
  binding->trustByte = 0;
  EXPECT_TRUE(qoxSubkeyValid(sub_, false, true));
}

// Of two checked CRLs with one distribution point only the later is
// current; a CRL without a point does not compete with them; with a time,
// one without a next update is not current.
TEST_F(SelfSigTest, CurrentCRLsAndDistributionPoints) {
  const Bytes pointA = {0x30, 0x03, 0x86, 0x01, 'a'};
  const Bytes pointB = {0x30, 0x03, 0x86, 0x01, 'b'};
  QOXKeyDBObj* a1 = NewCRL(alice_, pointA, 100, 1000);
  QOXKeyDBObj* a2 = NewCRL(alice_, pointA, 200, 900);
  QOXKeyDBObj* plain = NewCRL(alice_, {}, 50, 0);
  QOXKeyDBObj* b = NewCRL(alice_, pointB, 10, 2000);
  QOXKeyDBObj* unchecked = NewCRL(alice_, pointB, 300, 3000, false);
  EXPECT_FALSE(qoxCRLIsCurrent(a1, 0));
  EXPECT_TRUE(qoxCRLIsCurrent(a2, 0));
  EXPECT_TRUE(qoxCRLIsCurrent(plain, 0));
  EXPECT_TRUE(qoxCRLIsCurrent(b, 0)) << "an unchecked later CRL does not compete";
  EXPECT_FALSE(qoxCRLIsCurrent(plain, 40)) << "no next update, with a time";
  EXPECT_FALSE(qoxCRLIsCurrent(a2, 901));
  EXPECT_TRUE(qoxCRLIsCurrent(a2, 900));
  EXPECT_TRUE(qoxKeyHasCRL(alice_));
  size_t count = 0;
  EXPECT_EQ(qoxKeyNthCRL(alice_, 0, &count), a2);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(qoxKeyNthCRL(alice_, 2, nullptr), b);
  EXPECT_EQ(qoxKeyNthCRL(alice_, 3, nullptr), nullptr);
  EXPECT_EQ(qoxKeyEarliestCRL(alice_, false), b);
  EXPECT_EQ(qoxKeyEarliestCRL(alice_, true), plain) << "expiration 0 is the smallest";
  QOXTime t = 0;
  ASSERT_EQ(QOXGetKeyDBObjTimeProperty(alice_, static_cast<int32_t>(KeyDBObjProperty::KeyCRLCreation), &t), 0);
  EXPECT_EQ(t, 10u);
  bool has = false;
  ASSERT_EQ(QOXGetKeyDBObjBooleanProperty(alice_, static_cast<int32_t>(KeyDBObjProperty::KeyHasCRL), &has), 0);
  EXPECT_TRUE(has);
  // The distinct points, once each.
  NewCRL(alice_, pointB, 20, 2000);  // b's successor
  uint32_t points = 0;
  void* buffer = nullptr;
  uint32_t* sizes = nullptr;
  ASSERT_EQ(QOXGetCRLDistributionPoints(alice_, &points, &buffer, &sizes), 0);
  ASSERT_EQ(points, 2u);
  Bytes both(pointA);
  both.insert(both.end(), pointB.begin(), pointB.end());
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + sizes[0] + sizes[1]), both);
  EXPECT_EQ(sizes[0], pointA.size());
  QOXFreeData(buffer);
  QOXFreeData(sizes);
  (void)unchecked;
}

// A trust signature's expression (subpacket 6) compiles from the packet's
// bytes only: the engine gets a terminated copy, never the bytes after it.
TEST_F(SelfSigTest, TrustSignatureExpressionsStopAtThePacket) {
  QOXKeyDBObj* bob = KeyNamed("bob");
  const std::string pattern = "^Bob";
  // In the packet the expression is followed by another subpacket, whose
  // bytes would spoil the pattern if read as part of it.
  QOXKeyDBObj* sig = NewSig(Children(bob, kQOXKeyDBObjType_UserID)[0], alice_, 0x10, created_ + 5,
                            {{kQOXSubpacket_Trust, {1, 120}},
                             {kQOXSubpacket_RegExp, Bytes(pattern.begin(), pattern.end())},
                             {kQOXSubpacket_KeyFlags, {'x'}}});
  EXPECT_NE(qoxSigToSigInfo(sig)->sigFlags & kQOXSigFlag_RegExp, 0u);
  QOXRegExp* expression = qoxSigRegexp(sig);
  ASSERT_NE(expression, nullptr);
  EXPECT_EQ(qoxSigRegexp(sig), expression) << "compiled once";
  EXPECT_EQ(qoxRegExec(expression, "Bob DSA <bob@example.org>"), 1);
  EXPECT_EQ(qoxRegExec(expression, "Alice"), 0);
  // The text as the last bytes of a buffer of its own size: the copy
  // stops there (the sanitiser build sees any read past it); a NUL inside
  // ends it.
  const Bytes exact(pattern.begin(), pattern.end());
  QOXRegExp* own = nullptr;
  ASSERT_EQ(qoxRegCompPacketText(context_, exact.data(), exact.size(), &own), 0);
  EXPECT_EQ(qoxRegExecPacketText(context_, own, reinterpret_cast<const uint8_t*>("Bobby"), 5), 1);
  EXPECT_EQ(qoxRegExecPacketText(context_, own, reinterpret_cast<const uint8_t*>("Bo\0b"), 4), 0);
  qoxContextMemFree(context_, own);
  const Bytes withNul = {'^', 'A', 0, '(', '('};
  ASSERT_EQ(qoxRegCompPacketText(context_, withNul.data(), withNul.size(), &own), 0) << "the unbalanced rest is cut";
  qoxContextMemFree(context_, own);
  // Without subpacket 6 there is nothing to compile.
  EXPECT_EQ(qoxSigRegexp(Children(uid_, kQOXKeyDBObjType_Sig)[0]), nullptr);
}

// Revocations of keys: by the key itself or a designated revoker, checked,
// or untried on a key already marked revoked.
TEST_F(SelfSigTest, RevocationsOfKeys) {
  QOXKeyDBObj* carol = KeyNamed("carol");
  QOXKeyDBObj* bob = KeyNamed("bob");
  QOXKeyDBObj* self = NewSig(carol, carol, kQOXSigType_KeyRevocation, qoxKeyCreation(carol) + 1);
  QOXKeyDBObj* byAlice = NewSig(carol, alice_, kQOXSigType_KeyRevocation, qoxKeyCreation(carol) + 2);
  QOXKeyDBObj* byBob = NewSig(carol, bob, kQOXSigType_KeyRevocation, qoxKeyCreation(carol) + 3);
  EXPECT_TRUE(sigRevokesKey(self));
  EXPECT_TRUE(sigRevokesKey(byAlice));
  EXPECT_FALSE(sigRevokesKey(byBob)) << "bob is no designated revoker";
  EXPECT_TRUE(qoxKeyIsRevocationKey(carol, alice_));
  EXPECT_FALSE(qoxKeyIsRevocationKey(carol, bob));
  QOXKeyDBObj* revoker = nullptr;
  uint8_t algorithm = 0;
  QOXKeyID id;
  QOXError err = 1;
  EXPECT_TRUE(qoxKeyHasThirdPartyRevocation(carol, &revoker, &algorithm, &id, &err));
  EXPECT_EQ(revoker, alice_);
  EXPECT_EQ(algorithm, 1);
  EXPECT_EQ(err, 0);
  SigInfo* s = qoxSigToSigInfo(self);
  s->trustByte = kQOXSigTrust_Tried;  // tried, bad
  EXPECT_FALSE(sigRevokesKey(self));
  s->trustByte = 0;  // untried: only on a key already marked revoked
  EXPECT_FALSE(sigRevokesKey(self));
  qoxKeyToKeyInfo(carol)->keyTrust |= kQOXKeyTrust_Revoked;
  EXPECT_TRUE(sigRevokesKey(self));
  // A subkey revocation lies under the subkey with type 0x28.
  QOXKeyDBObj* subRevocation = NewSig(sub_, alice_, kQOXSigType_SubkeyRevocation, created_ + 1);
  EXPECT_TRUE(sigRevokesKey(subRevocation));
  QOXKeyDBObj* misplaced = NewSig(alice_, alice_, kQOXSigType_SubkeyRevocation, created_ + 1);
  EXPECT_FALSE(sigRevokesKey(misplaced));
  // A dummy revoker matches by algorithm and key ID.
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  ASSERT_EQ(Read(keydb_test::ReadFile("carol.bin"), false, db), 0);
  MarkAllChecked(db);
  QOXKeyDBObj* lonelyCarol = Keys(false, db)[0];
  QOXKeyDBObj* aliceDummy = qoxNewDummyKey(db, 1, qoxKeyToKeyInfo(alice_)->keyID, false, nullptr);
  EXPECT_TRUE(qoxKeyIsRevocationKey(lonelyCarol, aliceDummy));
  QOXKeyDBObj* byDummy = NewSig(lonelyCarol, aliceDummy, kQOXSigType_KeyRevocation, qoxKeyCreation(carol) + 2);
  revoker = alice_;
  EXPECT_TRUE(qoxKeyHasThirdPartyRevocation(lonelyCarol, &revoker, &algorithm, &id, &err));
  EXPECT_EQ(revoker, nullptr) << "a dummy is not handed out";
  EXPECT_EQ(keydb_test::Hex(id.bytes, id.length), keydb_test::ListColons("alice.colons.txt").keyIDs[0]);
  (void)byDummy;
  ASSERT_EQ(QOXFreeKeyDB(db), 0);
}

// Signer chains run opposite to tree order; expiry windows see keys and
// signatures of real keys only.
TEST_F(SelfSigTest, SignerChainsAndExpiringObjects) {
  QOXKeyDBObj* bob = KeyNamed("bob");
  qoxKeyToKeyInfo(alice_)->sigsBy = nullptr;
  qoxKeyDBListSigsBy(db_);
  std::vector<QOXKeyDBObj*> byAlice;
  for (QOXKeyDBObj* s = qoxKeyToKeyInfo(alice_)->sigsBy; s != nullptr; s = qoxSigToSigInfo(s)->nextBySigner)
    byAlice.push_back(s);
  // Her self-signature, her binding, her certification of bob: newest
  // pushed first.
  ASSERT_EQ(byAlice.size(), 3u);
  EXPECT_EQ(qoxObjTopKey(byAlice[0]), bob);
  EXPECT_EQ(qoxObjParent(byAlice[1]), sub_);
  EXPECT_EQ(qoxObjParent(byAlice[2]), uid_);

  const QOXTime from = created_ + 86400 * 9, to = created_ + 86400 * 11;
  EXPECT_FALSE(qoxKeyDBHasExpiringObjects(db_, from, to));
  qoxKeyToKeyInfo(sub_)->validityDays = 10;
  EXPECT_TRUE(qoxKeyDBHasExpiringObjects(db_, from, to));
  EXPECT_FALSE(qoxKeyDBHasExpiringObjects(db_, from, created_ + 86400 * 10)) << "the window's end is open";
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(sub_), 0);
  EXPECT_FALSE(qoxKeyDBHasExpiringObjects(db_, from, to));
  // A signature expiring in the window, under bob.
  QOXKeyDBObj* sig = NewSig(Children(bob, kQOXKeyDBObjType_UserID)[0], alice_, 0x10, created_,
                            {{3, {0, 0x0D, 0x2F, 0x00}}});  // 864000 s = 10 days
  EXPECT_TRUE(qoxKeyDBHasExpiringObjects(db_, from, to));
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(sig), 0);
  EXPECT_FALSE(qoxKeyDBHasExpiringObjects(db_, from, to));
}

}  // namespace

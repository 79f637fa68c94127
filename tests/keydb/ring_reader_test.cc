// Reading packet streams into a key database and merging: gpg's exports as
// input, gpg's listings as the oracle, and hand-made streams for the rules
// no export shows.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "keydb/child_index.h"
#include "keydb/key_db.h"
#include "keydb/key_lookup.h"
#include "keydb/obj_accessors.h"
#include "keydb/ring_reader.h"
#include "keydb/self_sig.h"
#include "keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Cat;
using keydb_test::KeyIDText;
using keydb_test::NewPacket;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;
using keydb_test::V4Sig;

class RingReaderTest : public keydb_test::KeyDBTest {
 protected:
  // The packets of one kind in a gpg listing, keyed by position.
  static int CountSigs(const std::string& colons) {
    int n = 0;
    std::istringstream in(keydb_test::ReadText(colons));
    for (std::string line; std::getline(in, line);) n += line.rfind("sig:", 0) == 0;
    return n;
  }
  int CountAllSigs(QOXKeyDBObj* key) {
    int n = static_cast<int>(Children(key, kQOXKeyDBObjType_Sig).size());
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (qoxObjectType(c) != kQOXKeyDBObjType_Sig && qoxKeyDBObjIsReal(c))
        n += static_cast<int>(Children(c, kQOXKeyDBObjType_Sig).size());
    }
    return n;
  }
};

// Every fixture: one key per export, its subkeys, user IDs and signatures
// where gpg lists them, key IDs and fingerprints equal to gpg's.
TEST_F(RingReaderTest, ExportsBecomeKeysWithGpgsIDsAndFingerprints) {
  for (const char* name : {"alice", "bob", "carol", "dave"}) {
    SCOPED_TRACE(name);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    ASSERT_EQ(Read(ReadFile(std::string(name) + ".bin"), false, db), 0);
    const auto keys = Keys(false, db);
    ASSERT_EQ(keys.size(), 1u);
    QOXKeyDBObj* key = keys[0];
    const keydb_test::ColonKeys gpg = keydb_test::ListColons(std::string(name) + ".colons.txt");
    std::vector<QOXKeyDBObj*> all{key};
    for (QOXKeyDBObj* s : Children(key, kQOXKeyDBObjType_SubKey)) all.push_back(s);
    ASSERT_EQ(all.size(), gpg.fingerprints.size());
    for (size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(KeyIDText(all[i]), gpg.keyIDs[i]);
      uint8_t fp[20];
      ASSERT_EQ(qoxKeyFingerprint20(all[i], fp), 20);
      EXPECT_EQ(keydb_test::Hex(fp, 20), gpg.fingerprints[i]);
      // The material hash gives the quick pre-test byte and finds the key.
      ASSERT_EQ(qoxKeyFingerprint20n(all[i], fp), 20);
      EXPECT_EQ(qoxKeyToKeyInfo(all[i])->fingerprintByte, fp[0]);
      if (i == 0) {
        EXPECT_EQ(qoxKeyDBFindKey20n(db, fp), key);
      }
    }
    EXPECT_EQ(Children(key, kQOXKeyDBObjType_UserID).size(), 1u);
    // Third-party signers absent from the database are dummies.
    EXPECT_EQ(CountAllSigs(key), CountSigs(std::string(name) + ".colons.txt") - (std::string(name) == "bob" ? 2 : 0));
    ASSERT_EQ(QOXFreeKeyDB(db), 0);
  }
}

// The child order of Part of the tree rules: direct signatures, user IDs,
// then subkeys; signatures after a user ID hang under it.
TEST_F(RingReaderTest, ChildOrderAndAttachment) {
  ASSERT_EQ(ReadFixture("carol.bin"), 0);
  QOXKeyDBObj* carol = Keys()[0];
  QOXKeyDBObj* c = carol->child;
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(qoxObjectType(c), kQOXKeyDBObjType_Sig);
  EXPECT_EQ(qoxSigType(c), 0x1F);
  EXPECT_EQ(qoxObjectType(c->next), kQOXKeyDBObjType_UserID);
  EXPECT_EQ(c->next->next, nullptr);
  ASSERT_EQ(Children(c->next, kQOXKeyDBObjType_Sig).size(), 1u);
  EXPECT_EQ(qoxSigMaker(c->next->child), carol);
  EXPECT_TRUE(qoxSigIsSelfSig(c->next->child));
}

TEST_F(RingReaderTest, SameKeyTwiceIsOneObject) {
  const Bytes alice = ReadFile("alice.bin");
  ASSERT_EQ(Read(Cat({alice, alice})), 0);
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  const auto keys = Keys(true);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(Children(keys[0], kQOXKeyDBObjType_UserID, true).size(), 1u);
  EXPECT_EQ(Children(keys[0], kQOXKeyDBObjType_SubKey, true).size(), 1u);
  EXPECT_EQ(CountAllSigs(keys[0]), 2);
}

// Two exports of bob with different certifications merge to the union gpg
// lists after importing both; the signers arrive later and fill their
// dummies in place.
TEST_F(RingReaderTest, TwoExportsMergeAndDummiesFill) {
  ASSERT_EQ(ReadFixture("bob.alice.bin"), 0);
  ASSERT_EQ(ReadFixture("bob.carol.bin"), 0);
  ASSERT_EQ(Keys().size(), 1u);
  QOXKeyDBObj* bob = Keys()[0];
  EXPECT_EQ(CountAllSigs(bob), CountSigs("bob.colons.txt"));
  // Alice and carol are dummies, found with dummies allowed only.
  const auto all = Keys(true);
  ASSERT_EQ(all.size(), 3u);
  QOXKeyDBObj* aliceDummy = all[1];
  EXPECT_TRUE(qoxKeyDBObjIsDummy(aliceDummy));
  EXPECT_EQ(KeyIDText(aliceDummy), "7F5B1A7795C777D2");
  QOXKeyID id;
  ASSERT_EQ(QOXNewKeyIDFromString("0x7F5B1A7795C777D2", 1, &id), 0);
  QOXKeyDBObj* found = nullptr;
  EXPECT_EQ(QOXFindKeyByKeyID(db_, &id, &found), kQOXErrItemNotFound);
  EXPECT_EQ(found, nullptr);
  ASSERT_EQ(qoxGetKeyByKeyID(db_, &id, true, false, &found), 0);
  EXPECT_EQ(found, aliceDummy);
  QOXKeyDBObj* certification = Children(Children(bob, kQOXKeyDBObjType_UserID)[0], kQOXKeyDBObjType_Sig)[1];
  EXPECT_EQ(qoxSigMaker(certification), nullptr) << "a dummy signer is no maker";

  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  EXPECT_EQ(Keys(true).size(), 3u) << "alice's key fills her dummy instead of making a second object";
  EXPECT_FALSE(qoxKeyDBObjIsDummy(aliceDummy));
  EXPECT_EQ(QOXFindKeyByKeyID(db_, &id, &found), 0);
  EXPECT_EQ(found, aliceDummy);
  EXPECT_EQ(Children(aliceDummy, kQOXKeyDBObjType_SubKey).size(), 1u);
  EXPECT_EQ(qoxSigMaker(certification), aliceDummy);
  // The chain of signatures alice made holds her certification of bob.
  bool chained = false;
  for (QOXKeyDBObj* s = qoxKeyToKeyInfo(aliceDummy)->sigsBy; s != nullptr; s = qoxSigToSigInfo(s)->nextBySigner)
    chained = chained || s == certification;
  EXPECT_TRUE(chained);
}

// gpg's unprotected secret export read before the public export keeps the
// object secret; its public form is gpg's public packet byte for byte. The
// other order turns the public object secret.
TEST_F(RingReaderTest, SecretAndPublicMerge) {
  const auto pub = SplitPackets(ReadFile("alice.bin"));
  for (bool secretFirst : {true, false}) {
    SCOPED_TRACE(secretFirst);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    ASSERT_EQ(Read(ReadFile(secretFirst ? "alice.sec.bin" : "alice.bin"), false, db), 0);
    ASSERT_EQ(Read(ReadFile(secretFirst ? "alice.bin" : "alice.sec.bin"), false, db), 0);
    ASSERT_EQ(Keys(true, db).size(), 1u);
    QOXKeyDBObj* key = Keys(true, db)[0];
    QOXKeyDBObj* sub = Children(key, kQOXKeyDBObjType_SubKey)[0];
    EXPECT_TRUE(qoxKeyIsSec(key));
    EXPECT_TRUE(qoxKeyIsSec(sub));
    size_t length = 0;
    const uint8_t* stored = qoxFetchObject(key, &length);
    EXPECT_EQ(qoxPktTag(stored[0]), kQOXPktTag_SecretKey);
    for (auto [object, packet] : {std::pair{key, pub[0].bytes}, std::pair{sub, pub[3].bytes}}) {
      uint8_t* pubData = qoxKeyDBObjToPubData(object, &length);
      ASSERT_NE(pubData, nullptr);
      EXPECT_EQ(Bytes(pubData, pubData + length), packet);
      QOXFreeData(pubData);
    }
    // The fingerprint of a secret key is that of its public form.
    uint8_t fp[20];
    ASSERT_EQ(qoxKeyFingerprint20(key, fp), 20);
    EXPECT_EQ(keydb_test::Hex(fp, 20), keydb_test::ListColons("alice.colons.txt").fingerprints[0]);
    ASSERT_EQ(QOXFreeKeyDB(db), 0);
  }
}

// A version-3 secret packet whose public copy says version 2 merges, marked
// only in a trusted read, and its public form says 2.
TEST_F(RingReaderTest, Version3SecretMergesWithVersion2Public) {
  const auto sec = SplitPackets(ReadFile("v3-rsa1024.bin"));
  ASSERT_EQ(sec[0].tag, 6);
  Bytes v2 = sec[0].bytes;
  const size_t header = qoxPktBufferHeaderLen(v2.data(), v2.size());
  ASSERT_EQ(v2[header], 3);
  // A stand-in "secret" packet: the public body as a tag-5 packet with an
  // unprotected empty secret part is not needed; the comparison reads only
  // the public prefix, so the public packet under tag 5 serves.
  Bytes v3secret = v2;
  v3secret[0] = static_cast<uint8_t>((v3secret[0] & ~0x3C) | (5 << 2));
  v2[header] = 2;
  for (bool trusted : {false, true}) {
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    ASSERT_EQ(Read(v3secret, trusted, db), 0);
    ASSERT_EQ(Keys(true, db).size(), 1u);
    ASSERT_EQ(Read(v2, trusted, db), 0);
    QOXKeyDBObj* key = Keys(true, db)[0];
    EXPECT_EQ((qoxKeyToKeyInfo(key)->keyFlags & kQOXKeyFlag_MergedV2) != 0, trusted);
    size_t length = 0;
    uint8_t* pubData = qoxKeyDBObjToPubData(key, &length);
    ASSERT_NE(pubData, nullptr);
    EXPECT_EQ(pubData[qoxPktBufferHeaderLen(pubData, length)], trusted ? 2 : 3);
    QOXFreeData(pubData);
    ASSERT_EQ(QOXFreeKeyDB(db), 0);
  }
}

// Hand-made streams: orphans before the first key and after an unparsable
// key are dropped, a 150001-byte packet is skipped and the next one read,
// trust packets count only in a trusted read, a deleted key comes back.
TEST_F(RingReaderTest, StreamRules) {
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  const auto bob = SplitPackets(ReadFile("bob.bin"));
  const Bytes orphanUID = NewPacket(13, Bytes{'o', 'r', 'p', 'h', 'a', 'n'});
  Bytes brokenKey = bob[0].bytes;
  brokenKey[qoxPktBufferHeaderLen(brokenKey.data(), brokenKey.size())] = 9;  // version 9
  const Bytes bigUID = NewPacket(13, Bytes(150001, 'x'));
  const Bytes afterBig = NewPacket(13, Bytes{'a', 'f', 't', 'e', 'r'});
  const Bytes trust = {0xB0, 0x01, 0x86};
  const Bytes stream = Cat({orphanUID, alice[0].bytes, trust, alice[1].bytes, bigUID, afterBig, brokenKey,
                            bob[1].bytes, bob[2].bytes});
  for (bool trusted : {false, true}) {
    SCOPED_TRACE(trusted);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    ASSERT_EQ(Read(stream, trusted, db), 0);
    const auto keys = Keys(true, db);
    ASSERT_EQ(keys.size(), 1u) << "the broken key and its children are dropped";
    const auto uids = Children(keys[0], kQOXKeyDBObjType_UserID);
    ASSERT_EQ(uids.size(), 2u);
    size_t n = 0;
    const uint8_t* name = qoxUserIDName(uids[1], &n);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), n), "after");
    EXPECT_EQ(qoxKeyToKeyInfo(keys[0])->keyTrust, trusted ? 0x86 : 0);
    ASSERT_EQ(QOXFreeKeyDB(db), 0);
  }

  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  QOXKeyDBObj* key = Keys()[0];
  QOXKeyDBObj* uid = Children(key, kQOXKeyDBObjType_UserID)[0];
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(key), 0);
  ASSERT_EQ(Keys().size(), 0u);
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  ASSERT_EQ(Keys().size(), 1u);
  EXPECT_EQ(Keys()[0], key);
  EXPECT_TRUE(qoxKeyDBObjIsReal(uid)) << "the identical user ID is revived in place";
  EXPECT_EQ(Children(key, kQOXKeyDBObjType_UserID, true).size(), 1u);
}

// A signature by an RSA key in an old-form packet with a one-byte length is
// kept with a two-byte length header; its body is unchanged.
TEST_F(RingReaderTest, OneByteRsaSignatureHeaderWidened) {
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  const uint8_t issuer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes sig = V4Sig(0x10, issuer, 1000);
  Bytes oldForm{0x88, static_cast<uint8_t>(sig.size() - 2)};
  oldForm.insert(oldForm.end(), sig.begin() + 2, sig.end());
  ASSERT_EQ(Read(Cat({alice[0].bytes, alice[1].bytes, oldForm})), 0);
  QOXKeyDBObj* uid = Children(Keys()[0], kQOXKeyDBObjType_UserID)[0];
  ASSERT_EQ(Children(uid, kQOXKeyDBObjType_Sig).size(), 1u);
  QOXKeyDBObj* s = Children(uid, kQOXKeyDBObjType_Sig)[0];
  size_t length = 0;
  const uint8_t* stored = qoxFetchObject(s, &length);
  ASSERT_EQ(length, oldForm.size() + 1);
  EXPECT_EQ(stored[0], 0x89);
  EXPECT_EQ(Bytes(stored + 3, stored + length), Bytes(oldForm.begin() + 2, oldForm.end()));
}

// Many certifications of one user ID: every one is kept once, in arrival
// order after the self-signature, and a second read finds each identical
// one through the parent's index.
TEST_F(RingReaderTest, FloodedUserIDStaysExactAndIndexed) {
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  Bytes stream = Cat({alice[0].bytes, alice[1].bytes, alice[2].bytes});
  constexpr int kSigs = 3000;
  for (int i = 0; i < kSigs; ++i) {
    const uint8_t issuer[8] = {0xAA, 0, 0, 0, static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                               static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    const Bytes sig = V4Sig(0x10, issuer, 1000 + i);
    stream.insert(stream.end(), sig.begin(), sig.end());
  }
  ASSERT_EQ(Read(stream), 0);
  ASSERT_EQ(Read(stream), 0);
  QOXKeyDBObj* key = Keys()[0];
  QOXKeyDBObj* uid = Children(key, kQOXKeyDBObjType_UserID)[0];
  const auto sigs = Children(uid, kQOXKeyDBObjType_Sig, true);
  ASSERT_EQ(sigs.size(), static_cast<size_t>(kSigs + 1));
  for (int i = 0; i < kSigs; ++i) ASSERT_EQ(qoxSigTimestamp(sigs[i + 1]), static_cast<QOXTime>(1000 + i));
  EXPECT_EQ(Keys(true).size(), static_cast<size_t>(kSigs + 1)) << "one dummy per absent signer";
  ASSERT_NE(uid->children, nullptr);
  EXPECT_TRUE(uid->children->tableUsable);
  EXPECT_EQ(uid->children->count, static_cast<uint32_t>(kSigs + 1));
  EXPECT_EQ(uid->children->lastSig, sigs.back());
  // Back links agree with the forward ones.
  QOXKeyDBObj* prev = nullptr;
  for (QOXKeyDBObj* c = uid->child; c != nullptr; c = c->next) {
    ASSERT_EQ(c->prev, prev);
    prev = c;
  }
  // Deleted and read again: revived and linked again by the child order,
  // after the last signature.
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(sigs[100]), 0);
  ASSERT_EQ(Read(stream), 0);
  EXPECT_TRUE(qoxKeyDBObjIsReal(sigs[100]));
  const auto again = Children(uid, kQOXKeyDBObjType_Sig, true);
  EXPECT_EQ(again.size(), sigs.size());
  EXPECT_EQ(again.back(), sigs[100]);
  EXPECT_EQ(again[100], sigs[101]);
  EXPECT_EQ(uid->children->lastSig, sigs[100]);
}

// The third-party revocation clean-up: a key revocation by a designated
// revoker (carol names alice) stands while alice is in no open database; one
// by a key no self-signature names is marked deleted.
TEST_F(RingReaderTest, ThirdPartyRevocationCleanUp) {
  const auto carol = SplitPackets(ReadFile("carol.bin"));
  const auto alice = keydb_test::ListColons("alice.colons.txt");
  const Bytes aliceID = keydb_test::HexBytes(alice.keyIDs[0]);
  const uint8_t strangerID[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  const Bytes byAlice = V4Sig(0x20, aliceID.data(), 2000000000);
  const Bytes byStranger = V4Sig(0x20, strangerID, 2000000001);
  ASSERT_EQ(Read(Cat({carol[0].bytes, carol[1].bytes, byAlice, byStranger, carol[2].bytes, carol[3].bytes})), 0);
  QOXKeyDBObj* key = Keys()[0];
  const auto revocations = Children(key, kQOXKeyDBObjType_Sig, true);
  ASSERT_EQ(revocations.size(), 3u);
  EXPECT_TRUE(qoxKeyDBObjIsReal(revocations[1]));
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(revocations[2]));
  QOXKeyDBObj* revoker = nullptr;
  uint8_t algorithm = 0;
  QOXKeyID id;
  QOXError err = 0;
  MarkAllChecked();
  EXPECT_TRUE(qoxKeyHasThirdPartyRevocation(key, &revoker, &algorithm, &id, &err));
  EXPECT_EQ(revoker, nullptr) << "the revoker is a dummy";
  EXPECT_EQ(algorithm, 1);
  EXPECT_EQ(std::memcmp(id.bytes, aliceID.data(), 8), 0);
}

// qoxCreateKeyDBFromMemory reads untrusted; qoxKeyDBAddObject copies an
// object with its ancestors and trust, merging into what is there.
TEST_F(RingReaderTest, FromMemoryAndCopyingObjects) {
  const Bytes bob = ReadFile("bob.both.bin");
  QOXError err = -1;
  QOXKeyDB* source = qoxCreateKeyDBFromMemory(context_, bob.data(), bob.size(), &err);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(err, 0);
  QOXKeyDBObj* key = Keys(false, source)[0];
  QOXKeyDBObj* uid = Children(key, kQOXKeyDBObjType_UserID)[0];
  const auto sigs = Children(uid, kQOXKeyDBObjType_Sig);
  ASSERT_EQ(sigs.size(), 3u);
  qoxSigToSigInfo(sigs[2])->trustByte = 0x65;
  for (QOXKeyDBObj* s : sigs) {
    QOXKeyDBObj* copy = nullptr;
    ASSERT_EQ(qoxKeyDBAddObject(db_, s, &copy), 0);
    ASSERT_NE(copy, nullptr);
  }
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  ASSERT_EQ(Keys().size(), 1u);
  QOXKeyDBObj* copiedUID = Children(Keys()[0], kQOXKeyDBObjType_UserID)[0];
  const auto copied = Children(copiedUID, kQOXKeyDBObjType_Sig);
  ASSERT_EQ(copied.size(), 3u);
  EXPECT_EQ(qoxSigToSigInfo(copied[2])->trustByte, 0x65);
  EXPECT_EQ(db_->addCache[0].source, key);
  EXPECT_EQ(db_->addCache[1].source, uid);
  ASSERT_EQ(QOXFreeKeyDB(source), 0);

  // A source database freed, and another object made where its key was:
  // the cached pair no longer holds, so the new object's children go under
  // its own copy. (The stale pair is planted; the allocator may or may not
  // reuse the address.)
  QOXKeyDB* second = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &second), 0);
  ASSERT_EQ(Read(ReadFile("carol.bin"), false, second), 0);
  QOXKeyDBObj* carol = Keys(false, second)[0];
  QOXKeyDBObj* carolUID = Children(carol, kQOXKeyDBObjType_UserID)[0];
  db_->addCache[0].source = carol;  // as if carol stood where bob's key was
  QOXKeyDBObj* copy = nullptr;
  ASSERT_EQ(qoxKeyDBAddObject(db_, carolUID, &copy), 0);
  ASSERT_EQ(Keys().size(), 2u);
  EXPECT_EQ(qoxObjParent(copy), Keys()[1]) << "carol's user ID under carol's copy, not bob's";
  EXPECT_EQ(Children(Keys()[0], kQOXKeyDBObjType_UserID).size(), 1u);
  ASSERT_EQ(QOXFreeKeyDB(second), 0);

  const Bytes junk = {0x01, 0x02, 0x03};
  QOXKeyDB* empty = qoxCreateKeyDBFromMemory(context_, junk.data(), junk.size(), &err);
  ASSERT_NE(empty, nullptr) << "nothing readable is an empty database";
  EXPECT_EQ(err, 0);
  ASSERT_EQ(QOXFreeKeyDB(empty), 0);
}

// Merging trust into a copy by the rules of each kind.
TEST_F(RingReaderTest, CopyObjectTrustRules) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  ASSERT_EQ(Read(ReadFile("alice.bin"), false, other), 0);
  QOXKeyDBObj* from = Keys()[0];
  QOXKeyDBObj* to = Keys(false, other)[0];
  qoxKeyToKeyInfo(from)->keyTrust = 0x05;
  qoxKeyToKeyInfo(to)->keyTrust = 0x06;
  qoxKeyToKeyInfo(from)->validityDays = 30;
  qoxCopyObjectTrust(from, to);
  EXPECT_EQ(qoxKeyToKeyInfo(to)->keyTrust, 0x06);
  EXPECT_EQ(qoxKeyToKeyInfo(to)->validityDays, 30);
  UserIDInfo* fu = qoxUserIDToUserIDInfo(Children(from, kQOXKeyDBObjType_UserID)[0]);
  UserIDInfo* tu = qoxUserIDToUserIDInfo(Children(to, kQOXKeyDBObjType_UserID)[0]);
  fu->trustByte = 0x41;
  tu->trustByte = 0x82;
  fu->validity = 120;
  fu->confidence = 60;
  tu->confidence = 80;
  fu->internalValidity = 9;
  qoxCopyObjectTrust(Children(from, kQOXKeyDBObjType_UserID)[0], Children(to, kQOXKeyDBObjType_UserID)[0]);
  EXPECT_EQ(tu->trustByte, 0xC2);
  EXPECT_EQ(tu->validity, 120) << "an undefined validity takes the source's";
  EXPECT_EQ(tu->confidence, 80);
  EXPECT_EQ(tu->internalValidity, 9);
  ASSERT_EQ(QOXFreeKeyDB(other), 0);
}

}  // namespace

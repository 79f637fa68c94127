// Key database objects: the child order, deletion marks (with a dummy child
// left alone), revival in order, dummies, refresh, packets and hold counts,
// the tests of kind and state, and the field accessors on the gpg fixtures,
// including an expiry a century away.
#include <gtest/gtest.h>

#include <vector>

#include "foundation/sdk_errors.h"
#include "keydb/key_set.h"
#include "keydb/key_tree.h"
#include "keydb/obj_accessors.h"
#include "keydb/trust.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Packet;

std::vector<QOXKeyDBObj*> AllChildren(QOXKeyDBObj* parent) {
  std::vector<QOXKeyDBObj*> out;
  for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) out.push_back(c);
  return out;
}

class ObjectsTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    alice_ = keydb_test::SplitPackets(keydb_test::ReadFile("alice.bin"));
    ASSERT_EQ(alice_.size(), 5u);  // key, user ID, self-signature, subkey, binding
  }
  QOXKeyDBObj* Make(QOXKeyDBObj* parent, uint32_t flags) {
    QOXKeyDBObj* o = qoxNewKeyDBObj(db_, parent, flags);
    EXPECT_NE(o, nullptr);
    return o;
  }
  QOXKeyDBObj* MakeKey(uint8_t idByte, uint8_t algorithm = 1, QOXKeyDBObj* parent = nullptr) {
    const uint8_t id[8] = {0, 0, 0, 0, 0, 0, 0, idByte};
    return qoxNewKeyObj(db_, parent, parent == nullptr ? kQOXObjFlag_Key : kQOXObjFlag_SubKey, algorithm, id);
  }
  std::vector<Packet> alice_;
};

TEST_F(ObjectsTest, ChildOrder) {
  QOXKeyDBObj* key = MakeKey(1);
  QOXKeyDBObj* s1 = Make(key, kQOXObjFlag_Sig);
  QOXKeyDBObj* u1 = Make(key, kQOXObjFlag_UserID);
  QOXKeyDBObj* k1 = MakeKey(2, 16, key);
  QOXKeyDBObj* crl = Make(key, kQOXObjFlag_CRL);
  // A user ID lands after the last user ID, before the first subkey.
  QOXKeyDBObj* u2 = Make(key, kQOXObjFlag_UserID);
  // A signature lands before every user ID.
  QOXKeyDBObj* s2 = Make(key, kQOXObjFlag_Sig);
  // Anything else goes at the end, in arrival order.
  QOXKeyDBObj* unknown = Make(key, 0);
  QOXKeyDBObj* k2 = MakeKey(3, 16, key);
  EXPECT_EQ(AllChildren(key), (std::vector<QOXKeyDBObj*>{s1, s2, u1, u2, k1, crl, unknown, k2}));
  // Signatures under a user ID keep their arrival order.
  QOXKeyDBObj* a = Make(u1, kQOXObjFlag_Sig);
  QOXKeyDBObj* b = Make(u1, kQOXObjFlag_Sig);
  EXPECT_EQ(AllChildren(u1), (std::vector<QOXKeyDBObj*>{a, b}));
  // The parent links and the top of the tree.
  EXPECT_EQ(qoxObjParent(a), u1);
  EXPECT_EQ(qoxObjTopKey(a), key);
  EXPECT_EQ(qoxObjParent(key), nullptr);
  EXPECT_EQ(qoxObjKeyDB(a), db_);
  EXPECT_EQ(key->parent, db_);
  EXPECT_EQ(qoxKeyMasterkey(k1), key);
  // A top-level key needs no parent, a child needs one.
  EXPECT_EQ(qoxNewKeyDBObj(db_, key, kQOXObjFlag_Key), nullptr);
  EXPECT_EQ(qoxNewKeyDBObj(db_, nullptr, kQOXObjFlag_UserID), nullptr);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrBadParams);
  EXPECT_EQ(qoxNewKeyObj(db_, nullptr, kQOXObjFlag_UserID, 1, nullptr), nullptr);
  // New keys go to the end of the key list.
  QOXKeyDBObj* second = MakeKey(4);
  EXPECT_EQ(db_->firstKey, key);
  EXPECT_EQ(key->next, second);
  EXPECT_EQ(db_->lastKey, second);
}

TEST_F(ObjectsTest, DeletionMarksRealDescendantsAndLeavesADummyChildAlone) {
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  QOXKeyDBObj* selfSig = AddSig(uid, alice_[2].bytes, key);
  QOXKeyDBObj* sub = AddKey(alice_[3].bytes, key);
  QOXKeyDBObj* binding = AddSig(sub, alice_[4].bytes, key);
  QOXKeyDBObj* odd = Make(key, kQOXObjFlag_UserID);
  QOXKeyDBObj* oddSig = Make(odd, kQOXObjFlag_Sig);
  odd->flags |= kQOXObjFlag_Dummy;
  for (QOXKeyDBObj* o : {key, uid, selfSig, sub, binding, odd, oddSig}) o->userValue = 42;
  qoxKeyToKeyInfo(key)->keyTrust = 0x86;
  qoxKeyToKeyInfo(key)->signedTrust = 60;
  qoxKeyToKeyInfo(sub)->keyTrust = 0x06;
  UserIDInfo* u = qoxUserIDToUserIDInfo(uid);
  u->validity = u->confidence = 120;
  u->trustByte = 0x43;
  u->internalValidity = 7680;
  qoxSigToSigInfo(selfSig)->trustByte = 0x67;
  qoxSigToSigInfo(oddSig)->trustByte = 0x67;

  EXPECT_EQ(qoxMarkKeyDBObjectDeleted(key), 0);
  for (QOXKeyDBObj* o : {key, uid, selfSig, sub, binding}) {
    EXPECT_TRUE(qoxKeyDBObjIsDeleted(o));
    EXPECT_FALSE(qoxKeyDBObjIsReal(o));
    EXPECT_EQ(o->userValue, 0u);
  }
  EXPECT_EQ(qoxKeyToKeyInfo(key)->keyTrust, 0);
  EXPECT_EQ(qoxKeyToKeyInfo(key)->signedTrust, 0);
  EXPECT_EQ(qoxKeyToKeyInfo(sub)->keyTrust, 0);
  EXPECT_EQ(u->validity, 0);
  EXPECT_EQ(u->confidence, 0);
  EXPECT_EQ(u->trustByte, 0);
  EXPECT_EQ(u->internalValidity, 0);
  EXPECT_EQ(qoxSigToSigInfo(selfSig)->trustByte, 0);
  // The dummy child keeps its flags, and its children are not touched.
  EXPECT_EQ(odd->flags, kQOXObjFlag_UserID | kQOXObjFlag_Dummy);
  EXPECT_EQ(odd->userValue, 42u);
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(oddSig));
  EXPECT_EQ(oddSig->userValue, 42u);
  EXPECT_EQ(qoxSigToSigInfo(oddSig)->trustByte, 0x67);
  // Nothing is unlinked.
  EXPECT_EQ(db_->firstKey, key);
  EXPECT_EQ(AllChildren(key).size(), 3u);  // the user ID, the dummy user ID, the subkey
}

TEST_F(ObjectsTest, RevivalReturnsToItsOrderedPlace) {
  QOXKeyDBObj* key = MakeKey(1);
  QOXKeyDBObj* s = Make(key, kQOXObjFlag_Sig);
  QOXKeyDBObj* u1 = Make(key, kQOXObjFlag_UserID);
  QOXKeyDBObj* u2 = Make(key, kQOXObjFlag_UserID);
  QOXKeyDBObj* k = MakeKey(2, 16, key);
  qoxMarkKeyDBObjectDeleted(u1);
  qoxReviveKeyDBObj(u1);
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(u1));
  EXPECT_EQ(AllChildren(key), (std::vector<QOXKeyDBObj*>{s, u2, u1, k}));
  // A revived subkey goes back to the end.
  QOXKeyDBObj* crl = Make(key, kQOXObjFlag_CRL);
  qoxMarkKeyDBObjectDeleted(k);
  qoxReviveKeyDBObj(k);
  EXPECT_EQ(AllChildren(key), (std::vector<QOXKeyDBObj*>{s, u2, u1, crl, k}));
  // A revived key stays where it is.
  QOXKeyDBObj* other = MakeKey(3);
  qoxMarkKeyDBObjectDeleted(key);
  qoxReviveKeyDBObj(key);
  EXPECT_EQ(db_->firstKey, key);
  EXPECT_EQ(key->next, other);
  // A deleted signer comes back as a dummy.
  qoxMarkKeyDBObjectDeleted(other);
  qoxReviveAsDummy(other);
  EXPECT_EQ(other->flags, kQOXObjFlag_Key | kQOXObjFlag_Dummy);
}

TEST_F(ObjectsTest, Dummies) {
  const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  QOXKeyDBObj* signer = qoxNewDummyKey(db_, 17, id, false, nullptr);
  ASSERT_NE(signer, nullptr);
  EXPECT_TRUE(qoxKeyIsValid(signer));
  EXPECT_TRUE(qoxKeyDBObjIsDummy(signer));
  EXPECT_FALSE(qoxKeyDBObjIsX509Dummy(signer));
  EXPECT_FALSE(qoxKeyDBObjIsReal(signer));
  EXPECT_EQ(db_->keyTree, signer);
  EXPECT_EQ(qoxKeyToKeyInfo(signer)->algorithm, 17);
  EXPECT_EQ(qoxObjData(signer), nullptr);
  size_t n = 9;
  EXPECT_EQ(qoxFetchObject(signer, &n), nullptr);
  EXPECT_EQ(n, 0u);

  QOXKeyDBObj* holder = MakeKey(9);
  QOXKeyDBObj* certSig = Make(holder, kQOXObjFlag_Sig);
  QOXKeyDBObj* issuer = qoxNewDummyKey(db_, kQOXX509DummyAlgorithm, id, true, certSig);
  ASSERT_NE(issuer, nullptr);
  EXPECT_EQ(issuer->flags, kQOXObjFlag_Key | kQOXObjFlag_Dummy | kQOXObjFlag_X509Dummy);
  EXPECT_EQ(qoxKeyToKeyInfo(issuer)->x509Sig, certSig);
  EXPECT_EQ(qoxObjData(issuer), nullptr) << "an X.509 dummy's field names a signature, not a packet";
  EXPECT_EQ(qoxKeyDBObjIsX509Dummy(issuer), true);
}

TEST_F(ObjectsTest, KindAndStateTests) {
  QOXKeyDBObj* key = MakeKey(1);
  QOXKeyDBObj* sub = MakeKey(2, 16, key);
  QOXKeyDBObj* uid = Make(key, kQOXObjFlag_UserID);
  QOXKeyDBObj* sig = Make(uid, kQOXObjFlag_Sig);
  QOXKeyDBObj* crl = Make(key, kQOXObjFlag_CRL);
  QOXKeyDBObj* unknown = Make(key, 0);
  struct Case {
    QOXKeyDBObj* object;
    int32_t type;
  } cases[] = {{key, 1}, {sub, 2}, {uid, 3}, {sig, 4}, {crl, 5}, {unknown, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(qoxObjectType(c.object), c.type);
    EXPECT_TRUE(qoxKeyDBObjIsValid(c.object));
    EXPECT_EQ(qoxKeyIsValid(c.object), c.type == 1);
    EXPECT_EQ(qoxSubKeyIsValid(c.object), c.type == 2);
    EXPECT_EQ(qoxUserIDIsValid(c.object), c.type == 3);
    EXPECT_EQ(qoxSigIsValid(c.object), c.type == 4);
    EXPECT_EQ(qoxKeyIsSubkey(c.object), c.type == 2);
    EXPECT_EQ(qoxKeyToKeyInfo(c.object) != nullptr, c.type <= 2);
    EXPECT_EQ(qoxUserIDToUserIDInfo(c.object) != nullptr, c.type == 3);
    EXPECT_EQ(qoxSigToSigInfo(c.object) != nullptr, c.type == 4);
    EXPECT_EQ(qoxCRLToCRLInfo(c.object) != nullptr, c.type == 5);
    EXPECT_EQ(qoxUnkToUnkInfo(c.object) != nullptr, c.type == 6);
    EXPECT_TRUE(qoxKeyDBObjIsReal(c.object));
    EXPECT_EQ(QOXPeekKeyDBObjContext(c.object), context_);
  }
  // The first kind bit decides.
  EXPECT_EQ(qoxObjectTypeOfFlags(kQOXObjFlag_Sig | kQOXObjFlag_CRL), 4);
  EXPECT_EQ(qoxObjectTypeOfFlags(kQOXObjFlag_UserID | kQOXObjFlag_Sig), 3);
  EXPECT_EQ(qoxObjectTypeOfFlags(kQOXObjFlag_Deleted), 6);
  // New user IDs have undefined validity and confidence.
  EXPECT_EQ(qoxUserIDToUserIDInfo(uid)->validity, 253);
  EXPECT_EQ(qoxUserIDToUserIDInfo(uid)->confidence, 253);
  // Null and foreign handles test false.
  for (const QOXKeyDBObj* bad : {static_cast<const QOXKeyDBObj*>(nullptr),
                                 reinterpret_cast<const QOXKeyDBObj*>(db_)}) {
    EXPECT_FALSE(qoxKeyDBObjIsValid(bad));
    EXPECT_FALSE(qoxKeyIsValid(bad));
    EXPECT_FALSE(qoxSigIsValid(bad));
    EXPECT_FALSE(qoxKeyDBObjIsDeleted(bad) && bad == nullptr);
  }
  EXPECT_FALSE(qoxKeyDBObjIsReal(nullptr));
  EXPECT_EQ(qoxObjectType(nullptr), 0);
  EXPECT_EQ(QOXPeekKeyDBObjContext(nullptr), nullptr);
  EXPECT_EQ(QOXPeekKeyDBObjContext(reinterpret_cast<QOXKeyDBObj*>(db_)), nullptr);
  EXPECT_FALSE(qoxFrontEndKey(key));
  EXPECT_EQ(qoxKeyDBObjID(key), 0u);
}

TEST_F(ObjectsTest, RefreshAndFrontEndDeletion) {
  QOXKeyDBObj* other = MakeKey(2);
  QOXKeyDBObj* key = MakeKey(1);
  QOXKeyDBObj* uid = Make(key, kQOXObjFlag_UserID);
  QOXKeyDBObj* sig = Make(uid, kQOXObjFlag_Sig);
  qoxKeyToKeyInfo(key)->objectID = 0x1001;
  qoxUserIDToUserIDInfo(uid)->objectID = 0x2002;
  qoxSigToSigInfo(sig)->objectID = 0x3003;
  EXPECT_EQ(qoxKeyDBObjID(uid), 0x2002u);
  EXPECT_EQ(qoxKeyDBObjRefresh(key, false), 0);
  EXPECT_NE(key->flags & kQOXObjFlag_Unfetched, 0u);
  EXPECT_EQ(key->info.backendID, 0x1001u);
  EXPECT_EQ(qoxKeyDBObjID(key), 0x1001u);
  EXPECT_EQ(qoxKeyToKeyInfo(key), nullptr) << "an unfetched object has no info record here";
  EXPECT_EQ(qoxKeyBits(key), 0);
  EXPECT_TRUE(qoxKeyIsValid(key)) << "its kind is still known";
  EXPECT_EQ(uid->flags & kQOXObjFlag_Unfetched, 0u) << "no recursion asked";
  EXPECT_EQ(qoxKeyDBObjRefresh(key, true), 0);
  EXPECT_EQ(key->info.backendID, 0x1001u) << "refreshing twice keeps the ID";
  EXPECT_EQ(qoxKeyDBObjID(uid), 0x2002u);
  EXPECT_EQ(qoxKeyDBObjID(sig), 0x3003u);
  EXPECT_NE(sig->flags & kQOXObjFlag_Unfetched, 0u);

  // In a front end a deleted object is made unfetched, its trust kept for
  // the back end to answer.
  QOXKeyDBObj* otherUid = Make(other, kQOXObjFlag_UserID);
  qoxUserIDToUserIDInfo(otherUid)->objectID = 0x4004;
  qoxUserIDToUserIDInfo(otherUid)->confidence = 120;
  db_->backendID = 0x5005;
  EXPECT_TRUE(qoxFrontEndKey(other));
  qoxMarkKeyDBObjectDeleted(other);
  EXPECT_NE(otherUid->flags & kQOXObjFlag_Unfetched, 0u);
  EXPECT_NE(otherUid->flags & kQOXObjFlag_Deleted, 0u);
  EXPECT_EQ(otherUid->info.backendID, 0x4004u);
  db_->backendID = 0;
}

TEST_F(ObjectsTest, PacketsAndHoldCounts) {
  QOXKeyDBObj* key = MakeKey(1);
  QOXKeyDBObj* uid = Make(key, kQOXObjFlag_UserID);
  size_t n = 7;
  EXPECT_EQ(qoxFetchObject(uid, &n), nullptr);
  db_->lastError = -11391;
  EXPECT_EQ(qoxUpdateObjData(uid, alice_[1].bytes.data(), alice_[1].bytes.size()), -11391)
      << "no data record: the last recorded error";
  ObjData* data = qoxNewObjData(db_, alice_[1].bytes.data(), alice_[1].bytes.size());
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->holdCount, 1u);
  qoxSetObjData(uid, data);
  const uint8_t* bytes = qoxFetchObject(uid, &n);
  EXPECT_EQ(Bytes(bytes, bytes + n), alice_[1].bytes);
  EXPECT_NE(bytes, alice_[1].bytes.data()) << "a copy in the pool";
  size_t nameLength = 0;
  const uint8_t* name = qoxUserIDName(uid, &nameLength);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), nameLength), "Alice RSA <alice@example.org>");

  qoxObjectHold(uid);
  EXPECT_EQ(data->holdCount, 2u);
  qoxObjectRelease(uid);
  qoxObjectRelease(uid);
  qoxObjectRelease(uid);
  EXPECT_EQ(data->holdCount, 0u) << "never below 0";
  qoxObjectHold(key);  // no data record: nothing happens

  const Bytes other = {0xB4, 0x03, 'b', 'o', 'b'};
  EXPECT_EQ(qoxUpdateObjData(uid, other.data(), other.size()), 0);
  EXPECT_EQ(qoxObjData(uid), data) << "the record is kept";
  bytes = qoxFetchObject(uid, &n);
  EXPECT_EQ(Bytes(bytes, bytes + n), other);
}

// The object pool is cut back when a record cannot be had: nothing half-made
// stays and -11999 is recorded.
TEST(ObjectsMemoryTest, FailedMakingLeavesThePoolAsItWas) {
  ostrak_test::CountingMemoryMgr counts;
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  QOXNewContextStruct record{kQOXAPIVersion, counts.Make(), 0};
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContextCustom(&record, &context), 0);
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context, &db), 0);
  const uint8_t id[8] = {1};
  QOXKeyDBObj* key = qoxNewKeyObj(db, nullptr, kQOXObjFlag_Key, 1, id);
  ASSERT_NE(key, nullptr);
  int made = 0;
  int failed = 0;
  counts.FailAfter(0);
  // Fill the first chunk; the next chunk is refused.
  for (int i = 0; i < 200 && failed == 0; ++i) {
    const MemPool before = db->objectPool;
    QOXKeyDBObj* uid = qoxNewKeyDBObj(db, key, kQOXObjFlag_UserID);
    if (uid != nullptr) {
      ++made;
      continue;
    }
    ++failed;
    EXPECT_EQ(qoxKeyDBError(db), kQOXErrOutOfMemory);
    EXPECT_EQ(db->objectPool.head, before.head);
    EXPECT_EQ(db->objectPool.free, before.free);
    EXPECT_EQ(db->objectPool.left, before.left);
    EXPECT_EQ(db->objectPool.total, before.total);
  }
  EXPECT_EQ(failed, 1);
  EXPECT_GT(made, 0);
  EXPECT_EQ(AllChildren(key).size(), static_cast<size_t>(made));
  counts.FailAfter(-1);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  EXPECT_EQ(QOXFreeContext(context), 0);
  QOXsdkCleanup();
}

class AccessorsTest : public ObjectsTest {};

TEST_F(AccessorsTest, KeyFields) {
  const keydb_test::Listed listed = keydb_test::ListPackets("alice.packets.txt")[0];
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  EXPECT_EQ(qoxKeyBits(key), 2048);
  EXPECT_EQ(qoxKeyCreation(key), static_cast<QOXTime>(listed.created));
  EXPECT_EQ(qoxKeyExpiration(key), 0u);
  EXPECT_EQ(qoxKeyVersion(key), 4);
  EXPECT_FALSE(qoxKeyV3(key));
  EXPECT_FALSE(qoxKeyIsSec(key));
  QOXKeyID id;
  uint8_t algorithm = 0;
  ASSERT_EQ(qoxKeyID8(key, &algorithm, &id), 0);
  EXPECT_EQ(keydb_test::Hex(id.bytes, 8), listed.keyid);
  EXPECT_EQ(id.length, 8);
  EXPECT_EQ(algorithm, 1);
  ASSERT_EQ(qoxKeyID4(key, &algorithm, &id), 0);
  EXPECT_EQ(keydb_test::Hex(id.bytes, 4), listed.keyid.substr(8));
  EXPECT_EQ(id.length, 4);
  EXPECT_EQ(qoxKeyID8(uid, &algorithm, &id), kQOXErrBadParams);
  qoxKeyToKeyInfo(key)->algorithm = 3;  // RSA sign-only is named as RSA
  ASSERT_EQ(qoxKeyID8(key, &algorithm, &id), 0);
  EXPECT_EQ(algorithm, 1);
  EXPECT_EQ(id.algorithm, 1);

  // Expiry: days from creation, none when either is 0, and a century away
  // is not a date in the past.
  KeyInfo* info = qoxKeyToKeyInfo(key);
  info->validityDays = 10;
  EXPECT_EQ(qoxKeyExpiration(key), info->creation + 864000u);
  info->creation = 1704067200;  // 2024-01-01
  info->validityDays = 36525;   // 100 years
  EXPECT_EQ(qoxKeyExpiration(key), 0xFFFFFFFFu);
  EXPECT_GT(qoxKeyExpiration(key), info->creation);
  info->creation = 0;
  EXPECT_EQ(qoxKeyExpiration(key), 0u);
}

TEST_F(AccessorsTest, OwnerTrustAxiomaticAndDisabled) {
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  QOXKeyDBObj* gone = Make(key, kQOXObjFlag_UserID);
  qoxMarkKeyDBObjectDeleted(gone);
  KeyInfo* info = qoxKeyToKeyInfo(key);

  // Owner trust: unchanged on a revoked or expired key.
  struct Case {
    uint8_t keyTrust;
    uint8_t set;
    uint8_t expected;
  } cases[] = {{0x00, 5, 0x05}, {0x06, 6, 0x06}, {0x26, 5, 0x25}, {0x16, 5, 0x16}, {0x46, 5, 0x46}, {0x86, 2, 0x82}};
  for (const Case& c : cases) {
    info->keyTrust = c.keyTrust;
    qoxKeySetTrust(key, c.set);
    EXPECT_EQ(info->keyTrust, c.expected) << std::hex << int(c.keyTrust);
  }
  // Trust signatures raise the owner trust reported.
  info->keyTrust = 0x01;
  EXPECT_EQ(qoxKeyTrust(key), 1);
  info->signedTrust = 120;  // complete with the default settings
  EXPECT_EQ(qoxKeyTrust(key), 6);
  info->signedTrust = 60;
  EXPECT_EQ(qoxKeyTrust(key), 5);
  info->keyTrust = 0x07;
  EXPECT_EQ(qoxKeyTrust(key), 7);
  info->signedTrust = 0;

  // Axiomatic only with a secret part, not when revoked.
  info->keyTrust = 0;
  qoxKeySetAxiomatic(key);
  EXPECT_FALSE(qoxKeyAxiomatic(key));
  info->keyFlags |= kQOXKeyFlag_Secret;
  EXPECT_TRUE(qoxKeyIsSec(key));
  info->keyTrust = kQOXKeyTrust_Revoked;
  qoxKeySetAxiomatic(key);
  EXPECT_FALSE(qoxKeyAxiomatic(key));
  info->keyTrust = 0x20;
  qoxKeySetAxiomatic(key);
  EXPECT_EQ(info->keyTrust, 0xA7);
  EXPECT_TRUE(qoxKeyAxiomatic(key));
  EXPECT_EQ(qoxUserIDToUserIDInfo(uid)->confidence, 255);
  EXPECT_NE(qoxUserIDToUserIDInfo(gone)->confidence, 255) << "only real user IDs";
  EXPECT_EQ(qoxUserIDValidity(uid), 65535);
  EXPECT_EQ(qoxUserIDOldValidity(uid), 3);
  qoxKeyResetAxiomatic(key);
  EXPECT_EQ(info->keyTrust, 0x20);
  EXPECT_EQ(qoxUserIDToUserIDInfo(uid)->confidence, 253);
  EXPECT_TRUE(qoxUserIDConfidenceUndefined(uid));

  EXPECT_TRUE(qoxKeyDisabled(key));
  qoxKeyEnable(key);
  EXPECT_FALSE(qoxKeyDisabled(key));
  qoxKeyDisable(key);
  EXPECT_TRUE(qoxKeyDisabled(key));
  EXPECT_FALSE(qoxKeyRevoked(key));
  info->keyTrust |= kQOXKeyTrust_Revoked;
  EXPECT_TRUE(qoxKeyRevoked(key));
  EXPECT_EQ(qoxUserIDValidity(uid), 0);
  EXPECT_EQ(qoxUserIDOldValidity(uid), 1);
}

TEST_F(AccessorsTest, UserIDFields) {
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  UserIDInfo* u = qoxUserIDToUserIDInfo(uid);
  EXPECT_EQ(qoxUserIDOldValidity(uid), 0);
  u->trustByte = 0x42;
  EXPECT_EQ(qoxUserIDOldValidity(uid), 2);
  u->validity = 60;
  EXPECT_EQ(qoxUserIDValidity(uid), 3840);
  u->validity = 253;
  EXPECT_EQ(qoxUserIDValidity(uid), 0);
  EXPECT_FALSE(qoxUserIDWarnonly(uid));
  qoxUserIDSetWarnonly(uid, true);
  EXPECT_EQ(u->trustByte, 0xC2);
  qoxUserIDSetWarnonly(uid, false);
  EXPECT_EQ(u->trustByte, 0x42);
  qoxUserIDSetConfidence(uid, 7680);
  EXPECT_EQ(u->confidence, 120);
  EXPECT_EQ(qoxUserIDConfidence(uid), 7680);
  qoxUserIDSetConfidence(uid, 65535);
  EXPECT_EQ(u->confidence, 255);
  EXPECT_FALSE(qoxUserIDConfidenceUndefined(uid));

  // A plain user ID has no attribute subpackets.
  QOXError err = 0;
  uint8_t type = 0;
  size_t length = 0;
  EXPECT_FALSE(qoxUserIDIsAttribute(uid));
  EXPECT_EQ(qoxUserIDAttributeSubpacket(uid, 0, &type, &length, &err), nullptr);
  EXPECT_EQ(err, kQOXErrBadParams);
  const Bytes attribute = {0xD1, 0x06, 0x05, 0x01, 'j', 'p', 'e', 'g'};
  QOXKeyDBObj* photo = AddChild(key, kQOXObjFlag_UserID, attribute);
  qoxUserIDToUserIDInfo(photo)->userIDFlags = kQOXUserIDFlag_Attribute;
  const uint8_t* d = qoxUserIDAttributeSubpacket(photo, 0, &type, &length, &err);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d), length), "jpeg");
  EXPECT_EQ(qoxUserIDAttributeSubpacket(photo, 1, &type, &length, &err), nullptr);
  EXPECT_EQ(err, 0);
}

TEST_F(AccessorsTest, SignatureAndCRLFields) {
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  QOXKeyDBObj* self = AddSig(uid, alice_[2].bytes, key);
  const keydb_test::Listed listed = keydb_test::ListPackets("alice.packets.txt")[2];
  EXPECT_EQ(qoxSigType(self), 0x13);
  EXPECT_EQ(qoxSigTimestamp(self), static_cast<QOXTime>(listed.created));
  EXPECT_EQ(qoxSigExpiration(self), 0u);
  EXPECT_TRUE(qoxSigExportable(self));
  EXPECT_FALSE(qoxSigIsX509(self));
  EXPECT_TRUE(qoxSigIsSelfSig(self));
  EXPECT_EQ(qoxSigMaker(self), key);
  uint8_t algorithm = 0;
  QOXKeyID id;
  ASSERT_EQ(qoxSigID8(self, &algorithm, &id), 0);
  EXPECT_EQ(keydb_test::Hex(id.bytes, 8), listed.keyid);

  // Trust of a signature: untried, tried and good, tried and bad, no signer.
  SigInfo* s = qoxSigToSigInfo(self);
  EXPECT_EQ(qoxSigTrust(self), 11);
  s->trustByte = 0x66;
  EXPECT_EQ(qoxSigTrust(self), 6);
  EXPECT_TRUE(qoxSigChecked(self));
  EXPECT_TRUE(qoxSigTried(self));
  s->trustByte = 0x26;
  EXPECT_EQ(qoxSigTrust(self), 13);
  EXPECT_FALSE(qoxSigChecked(self));
  s->signer = nullptr;
  EXPECT_EQ(qoxSigTrust(self), 8);
  EXPECT_EQ(qoxSigMaker(self), nullptr);
  EXPECT_EQ(qoxSigID8(self, &algorithm, &id), kQOXErrBadParams);
  EXPECT_EQ(qoxSigConfidence(self), 0);

  // A dummy signer is no maker, and no self-signer.
  const uint8_t other[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  QOXKeyDBObj* dummy = qoxNewDummyKey(db_, 17, other, false, nullptr);
  s->signer = dummy;
  EXPECT_EQ(qoxSigMaker(self), nullptr);
  EXPECT_FALSE(qoxSigIsSelfSig(self));
  ASSERT_EQ(qoxSigID8(self, &algorithm, &id), 0);
  EXPECT_EQ(algorithm, 17);

  // Confidence of the signature: its signer's, 0 when revoked.
  s->signer = key;
  qoxUserIDToUserIDInfo(uid)->confidence = 120;
  EXPECT_EQ(qoxSigConfidence(self), qoxKeyConfidence(key));
  EXPECT_GT(qoxSigConfidence(self), 0);
  qoxKeyToKeyInfo(key)->keyTrust |= kQOXKeyTrust_Revoked;
  EXPECT_EQ(qoxSigConfidence(self), 0);

  // Expiry of a signature, held at the last time.
  s->creation = 0xFFFF0000u;
  s->expiration = 0x10000000u;
  EXPECT_EQ(qoxSigExpiration(self), 0xFFFFFFFFu);
  s->expiration = 100;
  EXPECT_EQ(qoxSigExpiration(self), 0xFFFF0064u);
  s->trustLevel = 2;
  s->trustValue = 120;
  EXPECT_EQ(qoxSigTrustLevel(self), 2);
  EXPECT_EQ(qoxSigTrustValue(self), 120);

  QOXKeyDBObj* crl = Make(key, kQOXObjFlag_CRL);
  CRLInfo* c = qoxCRLToCRLInfo(crl);
  c->creation = 1000;
  c->expiration = 2000;
  c->trustByte = 0x20;
  EXPECT_EQ(qoxCRLCreation(crl), 1000u);
  EXPECT_EQ(qoxCRLExpiration(crl), 2000u);
  EXPECT_TRUE(qoxCRLTried(crl));
  EXPECT_FALSE(qoxCRLChecked(crl));
}

}  // namespace

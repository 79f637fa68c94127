// Front ends and their back ends: key arrays word for word, reading one
// twice, refreshing, a front end made by qoxImportKeyBinary answering as a
// back end read from the same gpg fixtures, the changes of one connection
// reaching another, and a memory manager that refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/key_encoding.h"
#include "foundation/binary_tree.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/front_end.h"
#include "keydb/import_binary.h"
#include "keydb/key_array.h"
#include "keydb/key_db_back.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/notifications.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/common/scoped_services.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Packet;
using Words = std::vector<KeyArrayWord>;

// Every object of a database in tree order: each key, then each child
// followed by its children.
std::vector<QOXKeyDBObj*> Walk(QOXKeyDB* db) {
  std::vector<QOXKeyDBObj*> out;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    out.push_back(k);
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      out.push_back(c);
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) out.push_back(g);
    }
  }
  return out;
}

Words ArrayOf(QOXContext* context, QOXKeyDBObj* first, uint32_t count, QOXKeySet* filter = nullptr) {
  KeyArrayWord* array = nullptr;
  size_t length = 0;
  EXPECT_EQ(qoxCreateKeyArray(context, first, count, filter, &array, &length), 0);
  if (array == nullptr) return {};
  Words out(array, array + length / sizeof(KeyArrayWord));
  QOXFreeData(array);
  return out;
}

uintptr_t ID(const QOXKeyDBObj* o) { return qoxBackEndObjectID(o); }

class FrontEndTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    alice_ = keydb_test::SplitPackets(keydb_test::ReadFile("alice.bin"));
    bob_ = keydb_test::SplitPackets(keydb_test::ReadFile("bob.bin"));
    ASSERT_EQ(alice_.size(), 5u);
  }
  void TearDown() override {
    if (front_ != nullptr) {
      EXPECT_EQ(QOXFreeKeyDB(front_), 0);
    }
    KeyDBTest::TearDown();
  }

  // A front end over db_ made from its whole key array; db_ keeps its own
  // reference, the front end takes a second one.
  void MakeFront() {
    ASSERT_EQ(QOXIncKeyDBRefCount(db_), 0);
    const Words words = ArrayOf(context_, db_->firstKey, Count(db_));
    ASSERT_EQ(qoxNewFrontEndKeyDB(context_, qoxBackEndDBID(db_), words.data(), words.size() * sizeof(KeyArrayWord),
                                  Count(db_), &front_),
              0);
  }
  static uint32_t Count(QOXKeyDB* db) {
    uint32_t n = 0;
    for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) ++n;
    return n;
  }

  std::vector<Packet> alice_;
  std::vector<Packet> bob_;
  QOXKeyDB* front_ = nullptr;
};

// Two keys, the first with a direct signature and one user ID carrying two
// signatures: 3 + 2 + (3 + 4) = 12 words for it, the direct signature
// first (signatures precede user IDs among a key's children), then 3 for
// the bare second key.
TEST_F(FrontEndTest, KeyArrayWordForWord) {
  uint8_t aliceID[8];
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  std::memcpy(aliceID, qoxKeyToKeyInfo(key)->keyID, 8);
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  QOXKeyDBObj* cert1 = AddSig(uid, keydb_test::V4Sig(0x10, aliceID, 1000), key);
  QOXKeyDBObj* cert2 = AddSig(uid, keydb_test::V4Sig(0x13, aliceID, 2000), key);
  QOXKeyDBObj* direct = AddSig(key, keydb_test::V4Sig(0x1F, aliceID, 3000), key);
  QOXKeyDBObj* second = AddKey(bob_[0].bytes);
  cert2->flags |= kQOXObjFlag_Deleted;

  const Words words = ArrayOf(context_, db_->firstKey, 2);
  const Words expected = {ID(key),    key->flags,    2,          ID(direct), direct->flags, ID(uid),
                          uid->flags, 2,             ID(cert1),  cert1->flags, ID(cert2),   cert2->flags,
                          ID(second), second->flags, 0};
  EXPECT_EQ(words, expected);
  EXPECT_EQ(ArrayOf(context_, db_->firstKey, 1), Words(expected.begin(), expected.begin() + 12));
  EXPECT_EQ(ArrayOf(context_, db_->firstKey, 0), Words{});
  EXPECT_EQ(ArrayOf(context_, db_->firstKey, 9), expected) << "the chain ends before the count";
  // An array starting at a child: the user ID and its signatures.
  EXPECT_EQ(ArrayOf(context_, uid, 1), Words(expected.begin() + 5, expected.begin() + 12));

  // A filter drops non-members at every level, and a dropped key still
  // counts against the number asked for.
  QOXKeySet* filter = nullptr;
  ASSERT_EQ(qoxNewKeySetInternal(db_, &filter), 0);
  static QOXKeyDBObj* dropped[2];
  dropped[0] = cert1;
  dropped[1] = key;
  filter->isMember = [](QOXKeySet*, QOXKeyDBObj* o) { return o != dropped[0]; };
  EXPECT_EQ(ArrayOf(context_, db_->firstKey, 1, filter),
            (Words{ID(key), key->flags, 2, ID(direct), direct->flags, ID(uid), uid->flags, 1, ID(cert2),
                   cert2->flags}));
  filter->isMember = [](QOXKeySet*, QOXKeyDBObj* o) { return o != dropped[1]; };
  EXPECT_EQ(ArrayOf(context_, db_->firstKey, 1, filter), Words{});
  EXPECT_EQ(ArrayOf(context_, db_->firstKey, 2, filter), (Words{ID(second), second->flags, 0}));
  qoxFreeKeySet(filter, true);
}

// A front end mirrors the array: the same tree, every object unfetched
// under its back-end ID. Reading the same array again makes nothing and
// puts children back in the array's order; a known object takes the
// array's deleted and dummy bits.
TEST_F(FrontEndTest, ReadingAnArrayTwice) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  ASSERT_EQ(ReadFixture("bob.both.bin"), 0);
  MakeFront();
  ASSERT_TRUE(qoxFrontEndKeyDB(front_));
  const std::vector<QOXKeyDBObj*> back = Walk(db_);
  const std::vector<QOXKeyDBObj*> front = Walk(front_);
  ASSERT_EQ(front.size(), back.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(front[i]->flags, back[i]->flags | kQOXObjFlag_Unfetched) << i;
    EXPECT_EQ(qoxKeyDBObjID(front[i]), ID(back[i])) << i;
    EXPECT_EQ(qoxFrontEndObject(front_, ID(back[i])), front[i]);
  }
  EXPECT_EQ(front_->keyTree, nullptr) << "a front end asks its back end instead";

  // Disorder the front end's children, and delete a signature in the back
  // end; the same array read again restores the order and brings the mark.
  QOXKeyDBObj* frontKey = front_->firstKey;
  QOXKeyDBObj* firstChild = frontKey->child;
  qoxUnlinkChild(firstChild);
  qoxLinkChildAfter(frontKey, frontKey->child, firstChild);
  ASSERT_NE(Walk(front_), front);
  QOXKeyDBObj* backSig = db_->firstKey->child->child;
  ASSERT_EQ(qoxObjectType(backSig), kQOXKeyDBObjType_Sig);
  qoxMarkKeyDBObjectDeleted(backSig);
  const size_t poolBefore = front_->objectPool.total;
  const Words words = ArrayOf(context_, db_->firstKey, Count(db_));
  ASSERT_EQ(qoxAddFromKeyArray(front_, nullptr, words.data(), words.size() * sizeof(KeyArrayWord), Count(db_), false),
            0);
  EXPECT_EQ(Walk(front_), front) << "the same objects, in the array's order";
  EXPECT_EQ(front_->objectPool.total, poolBefore) << "nothing made";
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(qoxFrontEndObject(front_, ID(backSig))));

  // A fresh read of an array whose IDs are known is refused.
  EXPECT_EQ(qoxAddFromKeyArray(front_, nullptr, words.data(), words.size() * sizeof(KeyArrayWord), 1, true),
            kQOXErrBadParams);
  // An array cut short, or read into a back end, is refused.
  EXPECT_EQ(qoxAddFromKeyArray(front_, nullptr, words.data(), 5 * sizeof(KeyArrayWord), 1, false), kQOXErrBadParams);
  EXPECT_EQ(qoxAddFromKeyArray(db_, nullptr, words.data(), words.size() * sizeof(KeyArrayWord), 1, false),
            kQOXErrBadParams);
}

// A refresh list names objects by back-end ID; one shorter than a word
// refreshes nothing, and the list is freed either way.
TEST_F(FrontEndTest, RefreshFromList) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  MakeFront();
  QOXKeyDBObj* key = front_->firstKey;
  QOXKeyDBObj* uid = key->child;
  ASSERT_NE(qoxKeyToKeyInfo(key), nullptr);
  ASSERT_NE(qoxUserIDToUserIDInfo(uid), nullptr);
  size_t length = 0;
  ASSERT_NE(qoxFetchObject(uid, &length), nullptr);
  EXPECT_EQ(key->flags & kQOXObjFlag_Unfetched, 0u);

  auto list = [&](std::initializer_list<uintptr_t> ids) {
    auto* block = static_cast<uintptr_t*>(qoxContextMemAlloc(context_, sizeof(uintptr_t) * (ids.size() + 1), 0));
    size_t i = 0;
    for (uintptr_t id : ids) block[i++] = id;
    return block;
  };
  qoxKeyRefreshFromList(front_, list({qoxKeyDBObjID(key)}), sizeof(uintptr_t) - 1);
  EXPECT_EQ(key->flags & kQOXObjFlag_Unfetched, 0u) << "shorter than one word: nothing";
  qoxKeyRefreshFromList(front_, list({0x1234, qoxKeyDBObjID(key)}), 2 * sizeof(uintptr_t));
  EXPECT_NE(key->flags & kQOXObjFlag_Unfetched, 0u);
  EXPECT_NE(uid->flags & kQOXObjFlag_Unfetched, 0u) << "with its children";
  // Fetched again: a new copy, the packet asked for anew.
  ASSERT_NE(qoxUserIDToUserIDInfo(uid), nullptr);
  EXPECT_EQ(qoxObjData(uid), nullptr);
  const uint8_t* name = qoxUserIDName(uid, &length);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), length), "Alice RSA <alice@example.org>");
  qoxKeyRefreshFromList(front_, nullptr, 0);
}

// A signature's expression compiled in the front end lives with its fetched
// record: a refresh releases it (the leak check of the sanitiser build sees
// a lost one), and the next fetch compiles it again. The back end's own
// expression is never the front end's.
TEST_F(FrontEndTest, RefreshReleasesCompiledExpressions) {
  QOXKeyDBObj* key = AddKey(alice_[0].bytes);
  const uint8_t* id = qoxKeyToKeyInfo(key)->keyID;
  QOXKeyDBObj* uid = AddChild(key, kQOXObjFlag_UserID, alice_[1].bytes);
  const std::string expression = "<[^>]+[@.]example\\.org>$";
  QOXKeyDBObj* sig = AddSig(uid, keydb_test::V4Sig(0x10, id, 1000, {{6, Bytes(expression.begin(), expression.end())}}),
                            key);
  ASSERT_NE(qoxSigRegexp(sig), nullptr);
  MakeFront();
  QOXKeyDBObj* twin = qoxFrontEndObject(front_, ID(sig));
  QOXRegExp* compiled = qoxSigRegexp(twin);
  ASSERT_NE(compiled, nullptr);
  EXPECT_NE(compiled, qoxSigRegexp(sig));
  EXPECT_EQ(qoxSigRegexp(twin), compiled) << "made once per fetched record";
  ASSERT_EQ(qoxKeyDBObjRefresh(twin, false), 0);
  EXPECT_NE(qoxSigRegexp(twin), nullptr);
}

// The answers of one object, as text; objects it names are given by their
// place in the walk of their own database.
std::string Probe(QOXKeyDB* db, QOXKeyDBObj* o, const std::map<QOXKeyDBObj*, size_t>& place) {
  std::ostringstream s;
  auto at = [&](QOXKeyDBObj* x) -> std::string {
    if (x == nullptr) return "none";
    auto it = place.find(x);
    return it == place.end() ? "elsewhere" : std::to_string(it->second);
  };
  s << "type " << qoxObjectType(o) << " flags " << (o->flags & ~kQOXObjFlag_Unfetched);
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(o, &length);
  s << " packet " << (packet != nullptr ? keydb_test::Hex(packet, length) : "none");
  const int32_t type = qoxObjectType(o);
  if (type == kQOXKeyDBObjType_Key || type == kQOXKeyDBObjType_SubKey) {
    s << " bits " << qoxKeyBits(o) << " created " << qoxKeyCreation(o) << " expires " << qoxKeyExpiration(o)
      << " secret " << qoxKeyIsSec(o) << " v3 " << qoxKeyV3(o) << " trust " << int{qoxKeyTrust(o)} << " axiomatic "
      << qoxKeyAxiomatic(o) << " revoked " << qoxKeyRevoked(o) << " use " << qoxKeyUseInternal(o, true, false);
    uint8_t fingerprint[kQOXFingerprint20Size];
    const int n20 = qoxKeyFingerprint20(o, fingerprint);
    s << " fp20 " << n20 << " " << (n20 > 0 ? keydb_test::Hex(fingerprint, n20) : "");
    const int n20n = qoxKeyFingerprint20n(o, fingerprint);
    s << " fp20n " << n20n << " " << (n20n > 0 ? keydb_test::Hex(fingerprint, n20n) : "");
    QOXKeyID id8;
    s << " id " << qoxKeyID8(o, nullptr, &id8) << " " << keydb_test::KeyIDText(o);
    for (bool dummies : {false, true}) {
      QOXKeyDBObj* found = nullptr;
      s << " lookup8 " << qoxGetKeyByKeyID(db, &id8, dummies, false, &found) << " " << at(found);
      QOXKeyID id4;
      qoxKeyID4(o, nullptr, &id4);
      s << " lookup4 " << qoxGetKeyByKeyID(db, &id4, dummies, true, &found) << " " << at(found);
    }
    QOXKeyDBObj* found = nullptr;
    s << " find " << QOXFindKeyByKeyID(db, &id8, &found) << " " << at(found);
    size_t maxEncrypted = 0, maxDecrypted = 0, maxSignature = 0;
    s << " sizes " << qoxKeyMaxSizes(o, &maxEncrypted, &maxDecrypted, &maxSignature, kQOXPublicKeyFormat_MPI) << " "
      << maxEncrypted << " " << maxDecrypted << " " << maxSignature;
    bool locked = false, kind5 = false;
    int32_t cipher = 0, bits = 0;
    s << " secprops " << qoxSecProperties(o, &locked, &kind5, &cipher, &bits) << " " << locked << kind5 << " "
      << cipher << " " << bits;
    s << " passphrase " << qoxSecPassphraseOK(o, "", 0, false, 0, false)
      << qoxSecPassphraseOK(o, "fixture", 7, false, 0, false);
  } else if (type == kQOXKeyDBObjType_UserID) {
    const uint8_t* name = qoxUserIDName(o, &length);
    s << " name " << (name != nullptr ? std::string(reinterpret_cast<const char*>(name), length) : "none")
      << " attribute " << qoxUserIDIsAttribute(o) << " validity " << qoxUserIDValidity(o) << " old "
      << int{qoxUserIDOldValidity(o)} << " confidence " << qoxUserIDConfidence(o);
  } else if (type == kQOXKeyDBObjType_Sig) {
    s << " sigtype " << int{qoxSigType(o)} << " at " << qoxSigTimestamp(o) << " expires " << qoxSigExpiration(o)
      << " maker " << at(qoxSigMaker(o)) << " signer " << at(qoxSigToSigInfo(o)->signer) << " trust "
      << int{qoxSigTrust(o)} << " exportable " << qoxSigExportable(o) << " self " << qoxSigIsSelfSig(o);
    QOXKeyID id;
    s << " id " << qoxSigID8(o, nullptr, &id);
  }
  return s.str();
}

// Every numbered property through each of the five getters: the error and
// the value.
std::string Properties(QOXKeyDBObj* o) {
  static const std::vector<std::pair<int32_t, int32_t>> kRanges = {
      {20, 20},     {100, 117},   {200, 209},   {300, 303},   {401, 407},   {501, 507},
      {600, 605},   {700, 701},   {800, 801},   {900, 900},   {1000, 1002}, {1200, 1203},
      {1300, 1308}, {1400, 1402}, {1500, 1501}, {1600, 1607}};
  std::ostringstream s;
  for (const auto& [first, last] : kRanges) {
    for (int32_t p = first; p <= last; ++p) {
      bool flag = false;
      int32_t number = 0;
      QOXTime time = 0;
      s << p << ": " << QOXGetKeyDBObjBooleanProperty(o, p, &flag) << "/" << flag << " "
        << QOXGetKeyDBObjNumericProperty(o, p, &number) << "/" << number << " "
        << QOXGetKeyDBObjTimeProperty(o, p, &time) << "/" << time;
      uint8_t buffer[1024];
      size_t size = 0;
      const QOXError dataErr = QOXGetKeyDBObjDataProperty(o, p, buffer, sizeof buffer, &size);
      s << " " << dataErr << "/" << size << "/" << keydb_test::Hex(buffer, std::min(size, sizeof buffer));
      void* block = nullptr;
      const QOXError allocatedErr = QOXGetKeyDBObjAllocatedDataProperty(o, p, &block, &size);
      s << " " << allocatedErr << "/" << size;
      if (block != nullptr) {
        s << "/" << keydb_test::Hex(static_cast<const uint8_t*>(block), size);
        QOXFreeData(block);
      }
      s << "\n";
    }
  }
  return s.str();
}

std::map<QOXKeyDBObj*, size_t> Places(const std::vector<QOXKeyDBObj*>& walk) {
  std::map<QOXKeyDBObj*, size_t> out;
  for (size_t i = 0; i < walk.size(); ++i) out[walk[i]] = i;
  return out;
}

// The front end qoxImportKeyBinary makes answers every accessor, property
// number, lookup, fingerprint and key operation as the back end read from
// the same bytes, object for object, over every fixture (secret keys, a
// protected key, certifications by absent signers, which become dummies).
TEST_F(FrontEndTest, FrontEndAnswersAsBackEnd) {
  for (const char* name : {"alice.sec", "alice", "bob.both", "carol", "dave.sec", "dave", "v3-rsa1024",
                           "v3-rsa768-validity"}) {
    SCOPED_TRACE(name);
    const Bytes bytes = keydb_test::ReadFile(std::string(name) + ".bin");
    QOXError err = 0;
    QOXKeyDB* back = qoxCreateKeyDBFromMemory(context_, bytes.data(), bytes.size(), &err);
    ASSERT_EQ(err, 0);
    QOXKeyDB* front = nullptr;
    ASSERT_EQ(qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &front), 0);
    ASSERT_TRUE(qoxFrontEndKeyDB(front));
    const std::vector<QOXKeyDBObj*> backWalk = Walk(back);
    const std::vector<QOXKeyDBObj*> frontWalk = Walk(front);
    ASSERT_EQ(frontWalk.size(), backWalk.size());
    const auto backPlaces = Places(backWalk);
    const auto frontPlaces = Places(frontWalk);
    size_t dummies = 0;
    for (size_t i = 0; i < backWalk.size(); ++i) {
      dummies += qoxKeyDBObjIsDummy(backWalk[i]);
      EXPECT_EQ(Probe(front, frontWalk[i], frontPlaces), Probe(back, backWalk[i], backPlaces)) << i;
      EXPECT_EQ(Properties(frontWalk[i]), Properties(backWalk[i])) << i;
    }
    if (std::string(name) == "bob.both") {
      EXPECT_GT(dummies, 0u) << "the certifiers are absent";
    }
    EXPECT_EQ(qoxKeyDBError(front), 0);
    uint32_t backCount = 0, frontCount = 0;
    EXPECT_EQ(QOXCountKeysInKeyDB(back, &backCount), 0);
    EXPECT_EQ(QOXCountKeysInKeyDB(front, &frontCount), 0);
    EXPECT_EQ(frontCount, backCount);
    EXPECT_EQ(QOXFreeKeyDB(front), 0);
    EXPECT_EQ(QOXFreeKeyDB(back), 0);
  }
}

// Key operations through the front end reach the back end's keys: what one
// encrypts the other decrypts, a deterministic RSA signature is the same
// bytes from both, and the protected DSA key wants its passphrase.
TEST_F(FrontEndTest, KeyOperationsCrossTheBoundary) {
  const Bytes bytes = keydb_test::ReadFile("alice.sec.bin");
  QOXError err = 0;
  QOXKeyDB* back = qoxCreateKeyDBFromMemory(context_, bytes.data(), bytes.size(), &err);
  ASSERT_EQ(err, 0);
  ASSERT_EQ(qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &front_), 0);
  // Binding signatures count once checked: marked in both back ends (the
  // front end's copies are fetched afterwards).
  MarkAllChecked(back);
  MarkAllChecked(reinterpret_cast<QOXKeyDB*>(front_->backendID));
  QOXKeyDBObj* frontKey = front_->firstKey;
  QOXKeyDBObj* backKey = back->firstKey;
  QOXKeyDBObj* frontSub = Children(frontKey, kQOXKeyDBObjType_SubKey)[0];
  QOXKeyDBObj* backSub = Children(backKey, kQOXKeyDBObjType_SubKey)[0];

  const Bytes secret = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  for (auto [encryptor, decryptor] : {std::pair{frontKey, backSub}, std::pair{backKey, frontSub}}) {
    uint8_t* encrypted = nullptr;
    size_t encryptedLength = 0;
    ASSERT_EQ(qoxKeyEncrypt(encryptor, secret.data(), secret.size(), kQOXPublicKeyFormat_MPI, &encrypted,
                            &encryptedLength),
              0);
    uint8_t* out = nullptr;
    size_t outLength = 0;
    ASSERT_EQ(qoxKeyDecrypt(decryptor, "", 0, false, 0, false, encrypted, encryptedLength, kQOXPublicKeyFormat_MPI,
                            &out, &outLength),
              0);
    EXPECT_EQ(Bytes(out, out + outLength), secret);
    QOXFreeData(out);
    QOXFreeData(encrypted);
  }
  uint8_t digest[20];
  for (size_t i = 0; i < sizeof digest; ++i) digest[i] = static_cast<uint8_t>(3 * i + 1);
  uint8_t* frontSig = nullptr;
  uint8_t* backSig = nullptr;
  size_t frontLength = 0, backLength = 0;
  ASSERT_EQ(qoxKeySign(frontKey, "", 0, false, 0, false, 2, digest, 20, kQOXPublicKeyFormat_MPI, &frontSig,
                       &frontLength),
            0);
  ASSERT_EQ(qoxKeySign(backKey, "", 0, false, 0, false, 2, digest, 20, kQOXPublicKeyFormat_MPI, &backSig,
                       &backLength),
            0);
  EXPECT_EQ(Bytes(frontSig, frontSig + frontLength), Bytes(backSig, backSig + backLength));
  EXPECT_EQ(qoxKeyVerify(frontKey, backSig, backLength, 2, digest, 20, kQOXPublicKeyFormat_MPI), 1);
  digest[0] ^= 1;
  EXPECT_EQ(qoxKeyVerify(frontKey, backSig, backLength, 2, digest, 20, kQOXPublicKeyFormat_MPI), 0);
  QOXFreeData(frontSig);
  QOXFreeData(backSig);
  EXPECT_EQ(QOXFreeKeyDB(back), 0);
}

// Adding and removing through a front end: the back end does the work, the
// front end takes in the key array and marks its twin.
TEST_F(FrontEndTest, AddAndRemoveThroughTheBackEnd) {
  ASSERT_EQ(ReadFixture("bob.both.bin"), 0);
  QOXKeyDB* empty = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &empty), 0);
  KeyArrayWord* none = nullptr;
  ASSERT_EQ(qoxNewFrontEndKeyDB(context_, qoxBackEndDBID(empty), none, 0, 0, &front_), 0);
  QOXKeyDBObj* bob = Keys()[0];
  QOXKeyDBObj* uid = Children(bob, kQOXKeyDBObjType_UserID)[0];
  QOXKeyDBObj* cert = Children(uid, kQOXKeyDBObjType_Sig).back();
  QOXKeyDBObj* copy = nullptr;
  ASSERT_EQ(qoxKeyDBAddObject(front_, cert, &copy), 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(qoxKeyDBIsDirty(front_));
  EXPECT_EQ(qoxObjectType(copy), kQOXKeyDBObjType_Sig);
  size_t a = 0, b = 0;
  const uint8_t* pa = qoxFetchObject(copy, &a);
  const uint8_t* pb = qoxFetchObject(cert, &b);
  ASSERT_NE(pa, nullptr);
  EXPECT_EQ(Bytes(pa, pa + a), Bytes(pb, pb + b));
  QOXKeyDBObj* frontUid = qoxObjParent(copy);
  EXPECT_EQ(qoxObjTopKey(copy), front_->firstKey);
  // The front end mirrors the key holding the copy (the certifier's dummy
  // stays in the back end).
  const std::vector<QOXKeyDBObj*> frontWalk = Walk(front_);
  ASSERT_EQ(frontWalk.size(), 3u);
  EXPECT_EQ(qoxKeyDBObjID(frontWalk[0]), ID(empty->firstKey));
  EXPECT_EQ(qoxKeyDBObjID(frontWalk[1]), ID(empty->firstKey->child));
  EXPECT_EQ(qoxKeyDBObjID(frontWalk[2]), ID(empty->firstKey->child->child));
  EXPECT_TRUE(qoxKeyDBObjIsDummy(empty->firstKey->next));
  // Copying a front end's object names it by its back-end ID.
  QOXKeyDBObj* again = nullptr;
  ASSERT_EQ(qoxKeyDBAddObject(front_, copy, &again), 0);
  EXPECT_EQ(again, copy) << "the same packet merges";

  ASSERT_EQ(qoxKeyDBRemoveObject(front_, copy), 0);
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(copy));
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(reinterpret_cast<QOXKeyDBObj*>(qoxKeyDBObjID(copy))));
  EXPECT_EQ(qoxKeyDBRemoveObject(front_, frontUid), kQOXErrBadParams) << "the last user ID stays";
  EXPECT_EQ(qoxKeyDBObjIsDeleted(frontUid), false);
  // The back end leaves an object that is not real alone.
  EXPECT_EQ(qoxKeyDBRemoveObject_back(context_, front_->backendID, qoxKeyDBObjID(copy)), 0);
}

// With the service link on, a new database is the service's and this
// context holds a front end over it; releasing it releases the service's.
TEST_F(FrontEndTest, NewDatabaseWithTheLinkOn) {
  static bool linkOn = false;
  static uintptr_t made = 0;
  static uintptr_t freed = 0;
  ostrak_test::ScopedServices<QOXRPCClientServices> rpc(qoxRPCClientServices, qoxRegisterRPCClientServices);
  rpc->qoxRPCEnabled = [] { return linkOn; };
  rpc->qoxNewKeyDB_backRPC = [](QOXContext* context, uintptr_t* outDB) {
    linkOn = false;
    const QOXError err = qoxNewKeyDB_back(context, outDB);
    linkOn = true;
    made = *outDB;
    return err;
  };
  rpc->qoxFreeKeyDB_backRPC = [](QOXContext* context, uintptr_t db) {
    linkOn = false;
    freed = db;
    const QOXError err = qoxFreeKeyDB_back(context, db);
    linkOn = true;
    return err;
  };
  linkOn = true;
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  linkOn = false;
  ASSERT_NE(made, 0u);
  EXPECT_TRUE(qoxFrontEndKeyDB(db));
  EXPECT_EQ(db->backendID, made);
  EXPECT_TRUE(qoxKeyDBIsValid(reinterpret_cast<QOXKeyDB*>(made)));
  linkOn = true;
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  linkOn = false;
  EXPECT_EQ(freed, made);
}

// Changes one connection makes through the back end reach the front end of
// another: the back end keeps a record per connection that opened the
// database, and QOXKeyDBIsUpdated takes the changes in once.
class NotificationTest : public FrontEndTest {
 protected:
  void SetUp() override {
    FrontEndTest::SetUp();
    qoxContextSetConnectRef(context_, 1);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &other_), 0);
    qoxContextSetConnectRef(other_, 2);
    ASSERT_EQ(qoxNewKeyDB_internal(context_, &back_), 0);
    ASSERT_EQ(Read(keydb_test::ReadFile("bob.both.bin"), false, back_), 0);
    ASSERT_EQ(qoxAddNotification(back_, other_), 0) << "connection 2 opens it too";
    // Connection 2's front end over it.
    ASSERT_EQ(QOXIncKeyDBRefCount(back_), 0);
    uint32_t count = 0;
    KeyArrayWord* array = nullptr;
    size_t length = 0;
    ASSERT_EQ(qoxKeyDBArray_back(other_, qoxBackEndDBID(back_), &count, &array, &length), 0);
    ASSERT_EQ(qoxNewFrontEndKeyDB(other_, qoxBackEndDBID(back_), array, length, count, &otherFront_), 0);
    QOXFreeData(array);
  }
  void TearDown() override {
    if (otherFront_ != nullptr) {
      EXPECT_EQ(QOXFreeKeyDB(otherFront_), 0);
    }
    if (back_ != nullptr) {
      EXPECT_EQ(QOXFreeKeyDB(back_), 0);
    }
    QOXFreeContext(other_);
    FrontEndTest::TearDown();
  }
  std::vector<uint32_t> Connections() const {
    std::vector<uint32_t> out;
    for (KeyDBNotification* n = back_->notifications; n != nullptr; n = n->next) out.push_back(n->connection);
    return out;
  }
  // The i-th signature on bob's user ID, deleted or not (he carries three).
  QOXKeyDBObj* Cert(size_t i) {
    const auto sigs = Children(Children(back_->firstKey, kQOXKeyDBObjType_UserID)[0], kQOXKeyDBObjType_Sig, true);
    EXPECT_EQ(sigs.size(), 3u);
    return i < sigs.size() ? sigs[i] : nullptr;
  }

  QOXContext* other_ = nullptr;
  QOXKeyDB* back_ = nullptr;
  QOXKeyDB* otherFront_ = nullptr;
};

TEST_F(NotificationTest, ChangesOfOneConnectionReachTheOther) {
  EXPECT_EQ(Connections(), (std::vector<uint32_t>{2, 1}));
  bool updated = true;
  ASSERT_EQ(QOXKeyDBIsUpdated(otherFront_, &updated), 0);
  EXPECT_FALSE(updated) << "nothing changed for connection 2 yet";

  // Connection 1 removes a certification.
  QOXKeyDBObj* cert = Cert(1);
  QOXKeyDBObj* twin = qoxFrontEndObject(otherFront_, ID(cert));
  ASSERT_NE(twin, nullptr);
  ASSERT_NE(qoxSigToSigInfo(twin), nullptr);
  ASSERT_EQ(qoxKeyDBRemoveObject_back(context_, qoxBackEndDBID(back_), ID(cert)), 0);
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(twin));
  ASSERT_EQ(QOXKeyDBIsUpdated(otherFront_, &updated), 0);
  EXPECT_TRUE(updated);
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(twin)) << "the key's array came back";
  EXPECT_NE(otherFront_->firstKey->flags & kQOXObjFlag_Unfetched, 0u) << "and the key is fetched again";
  ASSERT_EQ(QOXKeyDBIsUpdated(otherFront_, &updated), 0);
  EXPECT_FALSE(updated) << "taken in once";

  // A removal by connection 2 itself is news only to connection 1, which
  // also learned of the whole database when connection 2 asked for it.
  ASSERT_EQ(qoxKeyDBRemoveObject_back(other_, qoxBackEndDBID(back_), ID(Cert(2))), 0);
  ASSERT_EQ(QOXKeyDBIsUpdated(otherFront_, &updated), 0);
  EXPECT_FALSE(updated);
  uint32_t count = 0;
  KeyArrayWord* array = nullptr;
  size_t length = 0;
  uintptr_t* changed = nullptr;
  size_t changedLength = 0;
  ASSERT_EQ(qoxUpdateKeyDB_back(context_, qoxBackEndDBID(back_), &count, &array, &length, &changed, &changedLength),
            0);
  uint32_t all = 0;
  for (QOXKeyDBObj* k = back_->firstKey; k != nullptr; k = k->next) ++all;
  EXPECT_EQ(count, all);
  EXPECT_EQ(length, ArrayOf(context_, back_->firstKey, all).size() * sizeof(KeyArrayWord));
  EXPECT_EQ(changed, nullptr);
  QOXFreeData(array);
  // A context without a connection has no record and hears nothing.
  QOXContext* plain = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &plain), 0);
  ASSERT_EQ(qoxUpdateKeyDB_back(plain, qoxBackEndDBID(back_), &count, &array, &length, &changed, &changedLength), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(array, nullptr);
  QOXFreeContext(plain);

  // Connection 2's release drops its record; the database stays.
  ASSERT_EQ(QOXFreeKeyDB(otherFront_), 0);
  otherFront_ = nullptr;
  EXPECT_EQ(Connections(), std::vector<uint32_t>{1});
}

// With the service link on, the entry gate takes the changes in for every
// marked context; the count of pending updates returns to 0.
TEST_F(NotificationTest, TheEntryGateTakesUpdatesIn) {
  static bool linkOn = false;
  ostrak_test::ScopedServices<QOXRPCClientServices> rpc(qoxRPCClientServices, qoxRegisterRPCClientServices);
  rpc->qoxRPCEnabled = [] { return linkOn; };
  // The service's side runs here, with the link off while it works.
  rpc->qoxUpdateKeyDB_backRPC = [](QOXContext* context, uintptr_t db, uint32_t* count, uintptr_t** array,
                                   size_t* length, uintptr_t** changed, size_t* changedLength) {
    linkOn = false;
    const QOXError err = qoxUpdateKeyDB_back(context, db, count, array, length, changed, changedLength);
    linkOn = true;
    return err;
  };
  ASSERT_EQ(qoxPendingBackendUpdates(), 0u);
  linkOn = true;
  qoxSetBackendUpdateNeeded();
  qoxSetBackendUpdateNeeded();
  EXPECT_EQ(qoxPendingBackendUpdates(), 2u) << "one per context, however often marked";
  EXPECT_TRUE(qoxContextGetUpdateNeeded(other_));

  linkOn = false;
  QOXKeyDBObj* cert = Cert(1);
  ASSERT_EQ(qoxKeyDBRemoveObject_back(context_, qoxBackEndDBID(back_), ID(cert)), 0);
  QOXKeyDBObj* twin = qoxFrontEndObject(otherFront_, ID(cert));
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(twin));
  uint32_t keys = 0;
  ASSERT_EQ(QOXCountKeysInKeyDB(otherFront_, &keys), 0);
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(twin)) << "with the link off the gate takes nothing in";
  EXPECT_EQ(qoxPendingBackendUpdates(), 2u);

  linkOn = true;
  ASSERT_EQ(QOXCountKeysInKeyDB(otherFront_, &keys), 0);
  linkOn = false;
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(twin));
  EXPECT_EQ(qoxPendingBackendUpdates(), 0u);
  EXPECT_FALSE(qoxContextGetUpdateNeeded(other_));
  EXPECT_FALSE(qoxContextGetUpdateNeeded(context_));
}

// The front end and its back end share a memory manager that starts to
// refuse: every fetch, accessor, lookup and operation answers an error or
// the neutral value, nothing crashes, and the database records
// kQOXErrOutOfMemory; once memory is back the same objects answer again.
class FrontEndMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    QOXNewContextStruct record{kQOXAPIVersion, counts_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&record, &context_), 0);
    base_ = counts_.live();
  }
  void TearDown() override {
    counts_.FailAfter(-1);
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  ostrak_test::CountingMemoryMgr counts_;
  QOXContext* context_ = nullptr;
  long base_ = 0;
};

TEST_F(FrontEndMemoryTest, RefusingMemoryGivesErrors) {
  const Bytes bytes = keydb_test::ReadFile("alice.sec.bin");
  // Every budget of the import fails cleanly or succeeds.
  int failures = 0;
  for (long budget = 0; budget < 200; ++budget) {
    SCOPED_TRACE(budget);
    counts_.FailAfter(budget);
    QOXKeyDB* db = reinterpret_cast<QOXKeyDB*>(this);
    const QOXError err = qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &db);
    counts_.FailAfter(-1);
    EXPECT_EQ(qoxContextGetFirstKeyDB(context_) != nullptr, err == kQOXErrNoErr) << "neither end is left";
    if (err != kQOXErrNoErr) {
      ++failures;
      EXPECT_EQ(err, kQOXErrOutOfMemory);
      EXPECT_EQ(db, nullptr);
    } else {
      EXPECT_EQ(QOXFreeKeyDB(db), 0);
    }
    EXPECT_EQ(counts_.live(), base_);
    if (err == kQOXErrNoErr) break;
  }
  EXPECT_GT(failures, 5) << "both databases, the key array, the front end's objects";

  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &front), 0);
  const std::vector<QOXKeyDBObj*> walk = Walk(front);
  counts_.FailAfter(0);
  for (QOXKeyDBObj* o : walk) {
    size_t length = 7;
    EXPECT_EQ(qoxFetchObject(o, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(qoxObjData(o), nullptr);
    switch (qoxObjectType(o)) {
      case kQOXKeyDBObjType_Key:
      case kQOXKeyDBObjType_SubKey: {
        EXPECT_EQ(qoxKeyToKeyInfo(o), nullptr);
        EXPECT_EQ(qoxKeyBits(o), 0);
        EXPECT_EQ(qoxKeyCreation(o), 0u);
        EXPECT_FALSE(qoxKeyIsSec(o));
        uint8_t fingerprint[kQOXFingerprint20Size];
        EXPECT_LT(qoxKeyFingerprint20(o, fingerprint), 0);
        QOXKeyID id;
        EXPECT_NE(QOXGetKeyID(o, &id), 0);
        uint8_t* out = nullptr;
        size_t outLength = 0;
        const uint8_t data[4] = {1, 2, 3, 4};
        EXPECT_LT(qoxKeyEncrypt(o, data, sizeof data, kQOXPublicKeyFormat_MPI, &out, &outLength), 0);
        EXPECT_EQ(out, nullptr);
        EXPECT_LT(qoxKeySign(o, "", 0, false, 0, false, 2, data, 4, kQOXPublicKeyFormat_MPI, &out, &outLength), 0);
        EXPECT_EQ(out, nullptr);
        EXPECT_LE(qoxKeyVerify(o, data, sizeof data, 2, data, 4, kQOXPublicKeyFormat_MPI), 0);
        EXPECT_FALSE(qoxSecPassphraseOK(o, "", 0, false, 0, false));
        break;
      }
      case kQOXKeyDBObjType_UserID:
        EXPECT_EQ(qoxUserIDName(o, &length), nullptr);
        EXPECT_EQ(qoxUserIDValidity(o), 0);
        break;
      case kQOXKeyDBObjType_Sig:
        EXPECT_EQ(qoxSigToSigInfo(o), nullptr);
        EXPECT_EQ(qoxSigType(o), 0);
        EXPECT_EQ(qoxSigMaker(o), nullptr);
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(qoxKeyDBError(front), kQOXErrOutOfMemory);
  // Every property getter on every object meets the refusal too.
  for (QOXKeyDBObj* o : walk) {
    bool flag = true;
    EXPECT_NE(QOXGetKeyDBObjBooleanProperty(o, 100, &flag) == kQOXErrNoErr && flag, true);
    Properties(o);
  }
  uint8_t id8[8] = {};
  QOXKeyID keyID;
  ASSERT_EQ(qoxNewKeyIDFromRawData(id8, 1, 8, &keyID), 0);
  QOXKeyDBObj* found = reinterpret_cast<QOXKeyDBObj*>(this);
  EXPECT_NE(qoxGetKeyByKeyID(front, &keyID, true, true, &found), 0);
  EXPECT_EQ(found, nullptr);

  counts_.FailAfter(-1);
  size_t length = 0;
  EXPECT_NE(qoxFetchObject(walk[0], &length), nullptr) << "asked again once memory is back";
  EXPECT_GT(qoxKeyBits(walk[0]), 0);
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
  EXPECT_EQ(counts_.live(), base_);
}

}  // namespace

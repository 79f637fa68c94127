// Key lists and iterators: the ten orderings against gpg's listings of the
// fixture keys (sizes, creation and expiry, key IDs, names), the user-ID
// text comparison, the iterator steps and their edge cases, and the
// depth-first walk against a walk of the tree written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_iter.h"
#include "keydb/key_list.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_ops.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/self_sig.h"
#include "keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::KeyIDText;
using keydb_test::NewPacket;
using keydb_test::ReadFile;

// What gpg's listings (and v3-keys.txt, the v3 keys' maker's record) say of
// a key.
struct Listed {
  std::string keyID;
  int64_t bits = 0;
  int64_t encryptBits = 0;  // the first subkey's, else the key's
  int64_t creation = 0;
  int64_t expiration = 0;
  std::string name;  // the user ID, empty when there is none
};

std::vector<Listed> GpgListings() {
  std::vector<Listed> out;
  for (const char* key : {"alice", "bob", "carol", "dave"}) {
    std::istringstream in(keydb_test::ReadText(std::string(key) + ".colons.txt"));
    Listed l;
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> f;
      std::stringstream s(line);
      for (std::string x; std::getline(s, x, ':');) f.push_back(x);
      if (f[0] == "pub") {
        l.keyID = f[4];
        l.bits = l.encryptBits = std::stol(f[2]);
        l.creation = std::stol(f[5]);
        l.expiration = f[6].empty() ? 0 : std::stol(f[6]);
      } else if (f[0] == "sub" && l.encryptBits == l.bits) {
        l.encryptBits = std::stol(f[2]);
      } else if (f[0] == "uid") {
        l.name = f[9];
      }
    }
    out.push_back(l);
  }
  std::istringstream in(keydb_test::ReadText("v3-keys.txt"));
  for (std::string name, id, fpr; in >> name >> id >> fpr;) {
    Listed l;
    int64_t validity = 0;
    in >> l.bits >> l.creation >> validity;
    l.encryptBits = l.bits;
    l.keyID = id;
    l.expiration = validity == 0 ? 0 : l.creation + validity * 86400;
    if (name != "v3-rsa48-short") out.push_back(l);
  }
  return out;
}

class KeyListTest : public keydb_test::KeyDBTest {
 protected:
  void ReadKeys() {
    for (const char* name : {"alice.bin", "bob.bin", "carol.bin", "dave.bin", "v3-rsa1024.bin", "v3-rsa768-validity.bin"})
      ASSERT_EQ(ReadFixture(name), 0);
    listed_ = GpgListings();
    ASSERT_EQ(Keys().size(), listed_.size());
    for (QOXKeyDBObj* k : Keys()) {
      const std::string id = KeyIDText(k);
      const auto it = std::find_if(listed_.begin(), listed_.end(), [&](const Listed& l) { return l.keyID == id; });
      ASSERT_NE(it, listed_.end()) << id;
      byKey_[k] = *it;
      // A good self-signature with a key-expiration subpacket sets the
      // validity days (signature checking, not run here): as gpg lists.
      if (it->expiration != 0 && !qoxKeyV3(k)) {
        qoxKeyToKeyInfo(k)->validityDays = static_cast<uint16_t>((it->expiration - it->creation) / 86400);
      }
    }
  }

  std::vector<QOXKeyDBObj*> Ordered(QOXKeySet* set, QOXKeyOrdering ordering, bool reverse) {
    QOXKeyList* list = nullptr;
    EXPECT_EQ(QOXOrderKeySet(set, ordering, reverse, &list), 0);
    if (list == nullptr) return {};
    std::vector<QOXKeyDBObj*> keys(list->keys, list->keys + list->keyCount);
    EXPECT_EQ(QOXFreeKeyList(list), 0);
    return keys;
  }

  std::vector<Listed> listed_;
  std::map<QOXKeyDBObj*, Listed> byKey_;
};

// Higher first, then the key ID ascending; the reverse is the exact
// reverse, key-ID tie-breaks included.
TEST_F(KeyListTest, OrderingsFollowGpgsListings) {
  ReadKeys();
  // Old validities of the primary user IDs: alice and carol 2 (a tie), bob
  // 1, the rest none.
  const std::map<std::string, uint8_t> validity = {{"7F5B1A7795C777D2", 2}, {"AF10651591978554", 2},
                                                   {"171717CDDE4EDF82", 1}};
  for (QOXKeyDBObj* k : Keys()) {
    const auto v = validity.find(KeyIDText(k));
    if (v != validity.end()) qoxUserIDToUserIDInfo(Children(k, kQOXKeyDBObjType_UserID)[0])->trustByte = v->second;
  }
  // Trust as the numeric property reads it.
  auto trust = [](QOXKeyDBObj* k) {
    int32_t t = 0;
    EXPECT_EQ(QOXGetKeyDBObjNumericProperty(k, static_cast<int32_t>(KeyDBObjProperty::KeyTrust), &t), 0);
    return int64_t{t};
  };
  auto byID = [this](QOXKeyDBObj* a, QOXKeyDBObj* b) { return byKey_[a].keyID < byKey_[b].keyID; };
  auto higher = [&](std::function<int64_t(QOXKeyDBObj*)> value) {
    return [value, byID](QOXKeyDBObj* a, QOXKeyDBObj* b) {
      const int64_t x = value(a);
      const int64_t y = value(b);
      return x != y ? x > y : byID(a, b);
    };
  };
  using Less = std::function<bool(QOXKeyDBObj*, QOXKeyDBObj*)>;
  const std::vector<std::pair<QOXKeyOrdering, Less>> table = {
      // Names compared as QOXCompareUserIDStrings does; none of gpg's names
      // differ only in case or punctuation, and a key without one (the v3
      // keys) has an empty name, which comes first.
      {kQOXKeyOrdering_UserID,
       [&](QOXKeyDBObj* a, QOXKeyDBObj* b) {
         const std::string& x = byKey_[a].name;
         const std::string& y = byKey_[b].name;
         return x != y ? x < y : byID(a, b);
       }},
      {kQOXKeyOrdering_KeyID, byID},
      {kQOXKeyOrdering_Validity,
       higher([&](QOXKeyDBObj* k) {
         const auto v = validity.find(byKey_[k].keyID);
         return v != validity.end() ? v->second : 0;
       })},
      {kQOXKeyOrdering_Trust, higher(trust)},
      {kQOXKeyOrdering_EncryptKeySize, higher([this](QOXKeyDBObj* k) { return byKey_[k].encryptBits; })},
      {kQOXKeyOrdering_SigKeySize, higher([this](QOXKeyDBObj* k) { return byKey_[k].bits; })},
      {kQOXKeyOrdering_Creation, higher([this](QOXKeyDBObj* k) { return byKey_[k].creation; })},
      // Never expiring first, then the later first.
      {kQOXKeyOrdering_Expiration,
       higher([this](QOXKeyDBObj* k) { return byKey_[k].expiration == 0 ? INT64_MAX : byKey_[k].expiration; })},
  };
  for (const auto& [ordering, less] : table) {
    SCOPED_TRACE(ordering);
    std::vector<QOXKeyDBObj*> want = Keys();
    std::sort(want.begin(), want.end(), less);
    EXPECT_EQ(Ordered(db_->rootSet, ordering, false), want);
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(Ordered(db_->rootSet, ordering, true), want);
    // QOXCompareKeys answers the forward order, antisymmetric.
    for (size_t i = 0; i + 1 < want.size(); ++i) {
      EXPECT_GT(QOXCompareKeys(want[i], want[i + 1], ordering), 0);
      EXPECT_LT(QOXCompareKeys(want[i + 1], want[i], ordering), 0);
    }
  }
  // The gpg keys have the ties the edge cases ask for: carol and dave share
  // a creation time, and three keys never expire.
  const std::vector<QOXKeyDBObj*> creation = Ordered(db_->rootSet, kQOXKeyOrdering_Creation, false);
  EXPECT_EQ(KeyIDText(creation[0]), "6E9DEA08D39D6188");
  EXPECT_EQ(KeyIDText(creation[1]), "AF10651591978554");
  EXPECT_EQ(KeyIDText(Ordered(db_->rootSet, kQOXKeyOrdering_Expiration, true)[0]), "AA453609EFEBCC81")
      << "the expiring key with the earliest expiry comes first in reverse";
  // Any keeps the database's order; 0 and values above 9 are refused.
  EXPECT_EQ(Ordered(db_->rootSet, kQOXKeyOrdering_Any, true), Keys());
  QOXKeyList* list = reinterpret_cast<QOXKeyList*>(this);
  for (QOXKeyOrdering bad : {0, 10, -1}) {
    EXPECT_EQ(QOXOrderKeySet(db_->rootSet, bad, false, &list), kQOXErrBadParams);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(QOXCompareKeys(Keys()[0], Keys()[1], bad), 0);
  }
  EXPECT_EQ(QOXCompareKeys(Keys()[0], Keys()[1], kQOXKeyOrdering_Any), 0);
  EXPECT_EQ(QOXCompareKeys(Keys()[0], Children(Keys()[0], kQOXKeyDBObjType_UserID)[0], kQOXKeyOrdering_KeyID), 0);
  EXPECT_EQ(QOXOrderKeySet(nullptr, kQOXKeyOrdering_KeyID, false, &list), kQOXErrBadParams);
  EXPECT_EQ(QOXOrderKeySet(db_->rootSet, kQOXKeyOrdering_KeyID, false, nullptr), kQOXErrBadParams);
}

// Names of 256 bytes or more compare by their first 256 bytes (the buffer
// they are read into keeps its terminator); the key ID then decides.
TEST_F(KeyListTest, LongUserIDsCompareByTheirFirst256Bytes) {
  std::vector<QOXKeyDBObj*> keys;
  for (uint8_t i = 0; i < 4; ++i) {
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(9 - i)};
    QOXKeyDBObj* key = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key, 1, id);
    ASSERT_NE(key, nullptr);
    // Two of exactly 256 bytes, two longer; all alike in the first 256.
    std::string name(256, 'n');
    if (i >= 2) name += std::string(100, static_cast<char>('z' - i));
    AddChild(key, kQOXObjFlag_UserID, NewPacket(13, Bytes(name.begin(), name.end())));
    keys.push_back(key);
  }
  std::vector<QOXKeyDBObj*> want(keys.rbegin(), keys.rend());  // ascending key IDs
  EXPECT_EQ(Ordered(db_->rootSet, kQOXKeyOrdering_UserID, false), want);
  EXPECT_LT(QOXCompareKeys(keys[3], keys[2], kQOXKeyOrdering_UserID), 0);
}

TEST(KeyOrderTest, CompareUserIDStrings) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  const struct {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"Alice, Smith", "alice smith", 0},
      {"J. Doe", "j doe", 0},
      {"abc", "abd", -1},
      {"abd", "ABC", 1},
      {"abc", "abcd", -1},       // the first ends first
      {"abcd", "abc", 1},
      {"a.", "a", 0},            // punctuation at the end passed over
      {"a", "a--", 0},
      {"", "", 0},
      {"", "a", -1},
      {"a b", "ab", 0},          // passed over at a point of difference only
      {"x\xE9", "xe", -1},       // bytes of 0x80 and above are no letters: passed over
      {"Z", "a", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " | " + c.b);
    const int32_t r = QOXCompareUserIDStrings(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
  }
  EXPECT_EQ(QOXCompareUserIDStrings(nullptr, "a"), 0);
  EXPECT_EQ(QOXCompareUserIDStrings("a", nullptr), 0);
  QOXsdkCleanup();
}

class KeyIterTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    for (const char* name : {"alice.bin", "bob.both.bin", "carol.bin", "dave.bin"}) ASSERT_EQ(ReadFixture(name), 0);
    alice_ = Keys()[0];
    bob_ = Keys()[1];
    carol_ = Keys()[2];
    dave_ = Keys()[3];
    // A certification revocation on bob's user ID, which signature requests
    // pass over.
    QOXKeyDBObj* uid = Children(bob_, kQOXKeyDBObjType_UserID)[0];
    const uint8_t issuer[8] = {0x7F, 0x5B, 0x1A, 0x77, 0x95, 0xC7, 0x77, 0xD2};
    revocation_ = AddSig(uid, keydb_test::V4Sig(0x30, issuer, 1796948900), alice_);
    ASSERT_EQ(qoxSigType(revocation_), 0x30);
  }

  QOXKeyIter* ListIter(QOXKeySet* set, QOXKeyOrdering ordering = kQOXKeyOrdering_Any) {
    QOXKeyList* list = nullptr;
    EXPECT_EQ(QOXOrderKeySet(set, ordering, false, &list), 0);
    QOXKeyIter* iter = nullptr;
    EXPECT_EQ(QOXNewKeyIter(list, &iter), 0);
    EXPECT_EQ(QOXFreeKeyList(list), 0);  // the iterator keeps it
    return iter;
  }
  QOXKeyIter* SetIter(QOXKeySet* set) {
    QOXKeyIter* iter = nullptr;
    EXPECT_EQ(QOXNewKeyIterFromKeySet(set, &iter), 0);
    return iter;
  }
  // Step results: the object, or null with the error.
  QOXKeyDBObj* Next(QOXKeyIter* it, int32_t kind, QOXError want = 0) {
    QOXKeyDBObj* o = reinterpret_cast<QOXKeyDBObj*>(this);
    EXPECT_EQ(QOXKeyIterNextKeyDBObj(it, kind, &o), want);
    if (want != 0) {
      EXPECT_EQ(o, nullptr);
    }
    return o;
  }
  QOXKeyDBObj* Prev(QOXKeyIter* it, int32_t kind, QOXError want = 0) {
    QOXKeyDBObj* o = reinterpret_cast<QOXKeyDBObj*>(this);
    EXPECT_EQ(QOXKeyIterPrevKeyDBObj(it, kind, &o), want);
    if (want != 0) {
      EXPECT_EQ(o, nullptr);
    }
    return o;
  }

  QOXKeyDBObj* alice_ = nullptr;
  QOXKeyDBObj* bob_ = nullptr;
  QOXKeyDBObj* carol_ = nullptr;
  QOXKeyDBObj* dave_ = nullptr;
  QOXKeyDBObj* revocation_ = nullptr;
};

// The depth-first walk (all ones) of lists and sets gives the members in
// the order a walk of the tree written here gives: key, its first child,
// that child's signatures, the next child, ..., then the next key.
TEST_F(KeyIterTest, DepthFirstWalkMatchesTheTree) {
  QOXKeySet* byUID = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(Children(bob_, kQOXKeyDBObjType_UserID)[0]->child, &byUID), 0);
  QOXKeySet* two = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(Children(alice_, kQOXKeyDBObjType_SubKey)[0], &two), 0);
  ASSERT_EQ(QOXAddKey(dave_, two), 0);
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(Children(dave_, kQOXKeyDBObjType_SubKey)[0]), 0);
  for (QOXKeySet* set : {db_->rootSet, byUID, two}) {
    for (bool overList : {false, true}) {
      SCOPED_TRACE(overList);
      std::vector<QOXKeyDBObj*> want;
      for (QOXKeyDBObj* k = db_->firstKey; k != nullptr; k = k->next) {
        if (!QOXKeySetIsMember(k, set)) continue;
        want.push_back(k);
        for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
          if (!QOXKeySetIsMember(c, set)) continue;
          want.push_back(c);
          for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
            if (QOXKeySetIsMember(g, set)) want.push_back(g);
          }
        }
      }
      QOXKeyIter* it = overList ? ListIter(set) : SetIter(set);
      std::vector<QOXKeyDBObj*> got;
      for (QOXKeyDBObj* o = nullptr; QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_Any, &o) == 0;) got.push_back(o);
      EXPECT_EQ(got, want);
      // At the end it stays at the end.
      Next(it, kQOXKeyIterKind_Any, kQOXErrEndOfIteration);
      Next(it, kQOXKeyIterKind_Key, kQOXErrEndOfIteration);
      EXPECT_EQ(QOXFreeKeyIter(it), 0);
    }
  }
  EXPECT_EQ(QOXFreeKeySet(byUID), 0);
  EXPECT_EQ(QOXFreeKeySet(two), 0);
}

// Key steps over a list of three and over a set: indexes 0, 1, 2, then the
// end with the iterator on the last key, from which a step back gives the
// second; a step back before the start lands on the last key at the end.
TEST_F(KeyIterTest, KeyStepsAndTheEnds) {
  QOXKeySet* three = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(db_, &three), 0);
  for (QOXKeyDBObj* k : {alice_, carol_, dave_}) ASSERT_EQ(QOXAddKey(k, three), 0);
  for (bool overList : {true, false}) {
    SCOPED_TRACE(overList);
    QOXKeyIter* it = overList ? ListIter(three) : SetIter(three);
    EXPECT_EQ(QOXKeyIterIndex(it), -1);
    const QOXKeyDBObj* want[] = {alice_, carol_, dave_};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Next(it, kQOXKeyIterKind_Key), want[i]);
      EXPECT_EQ(QOXKeyIterIndex(it), i);
    }
    Next(it, kQOXKeyIterKind_Key, kQOXErrEndOfIteration);
    EXPECT_EQ(it->current, dave_);
    EXPECT_EQ(it->atEnd, 1);
    EXPECT_EQ(Prev(it, kQOXKeyIterKind_Key), carol_);
    EXPECT_EQ(QOXKeyIterIndex(it), 1);
    EXPECT_EQ(Prev(it, kQOXKeyIterKind_Key), alice_);
    Prev(it, kQOXKeyIterKind_Key, kQOXErrEndOfIteration);
    EXPECT_EQ(it->current, overList ? dave_ : alice_) << "a list runs to its last key, a set stays on its first";
    // Move by n, and rewind.
    QOXKeyDBObj* key = nullptr;
    ASSERT_EQ(QOXKeyIterRewind(it, kQOXKeyIterKind_Key), 0);
    ASSERT_EQ(QOXKeyIterMove(it, 2, &key), 0);
    EXPECT_EQ(key, carol_);
    EXPECT_EQ(QOXKeyIterIndex(it), 1);
    EXPECT_EQ(QOXKeyIterMove(it, 5, &key), kQOXErrEndOfIteration);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(QOXFreeKeyIter(it), 0);
  }
  // Back from the start of a list: the last key, at the end.
  QOXKeyIter* it = ListIter(three);
  Prev(it, kQOXKeyIterKind_Key, kQOXErrEndOfIteration);
  EXPECT_EQ(it->current, dave_);
  EXPECT_EQ(it->atEnd, 1);
  EXPECT_EQ(QOXKeyIterIndex(it), 2);
  EXPECT_EQ(QOXFreeKeyIter(it), 0);
  // A list without keys: a failed step stands on nothing.
  QOXKeySet* none = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(db_, &none), 0);
  it = ListIter(none);
  Next(it, kQOXKeyIterKind_Key, kQOXErrEndOfIteration);
  EXPECT_EQ(it->current, nullptr);
  EXPECT_EQ(QOXKeyIterIndex(it), -1);
  Prev(it, kQOXKeyIterKind_Key, kQOXErrEndOfIteration);
  EXPECT_EQ(it->current, nullptr);
  Next(it, kQOXKeyIterKind_UserID, kQOXErrEndOfIteration);
  EXPECT_EQ(QOXFreeKeyIter(it), 0);
  EXPECT_EQ(QOXFreeKeySet(none), 0);
  EXPECT_EQ(QOXFreeKeySet(three), 0);
}

// Sub-object requests: subkeys and user IDs of the current key, signatures
// below the current child without certification revocations, the return to
// the key after the last user ID, the forward user-ID step of Prev, Get,
// Rewind, Copy and Seek.
TEST_F(KeyIterTest, SubObjectsGetRewindCopyAndSeek) {
  QOXKeyIter* it = ListIter(db_->rootSet);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Key), alice_);
  QOXKeyDBObj* aliceSub = Children(alice_, kQOXKeyDBObjType_SubKey)[0];
  EXPECT_EQ(Next(it, kQOXKeyIterKind_SubKey), aliceSub);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Sig), aliceSub->child) << "the binding";
  QOXKeyDBObj* got = nullptr;
  ASSERT_EQ(QOXKeyIterGetKeyDBObj(it, kQOXKeyIterKind_SubKey, &got), 0);
  EXPECT_EQ(got, aliceSub);
  ASSERT_EQ(QOXKeyIterGetKeyDBObj(it, kQOXKeyIterKind_Key, &got), 0);
  EXPECT_EQ(got, alice_);
  EXPECT_EQ(QOXKeyIterGetKeyDBObj(it, kQOXKeyIterKind_UserID, &got), kQOXErrEndOfIteration) << "a subkey stands there";
  EXPECT_EQ(got, nullptr);
  Next(it, kQOXKeyIterKind_SubKey, kQOXErrEndOfIteration);
  EXPECT_EQ(it->level, 0) << "back on the key";
  EXPECT_EQ(it->current, alice_);

  // Bob: his user ID's signatures, the certification revocation passed over.
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Key), bob_);
  QOXKeyDBObj* bobUID = Children(bob_, kQOXKeyDBObjType_UserID)[0];
  EXPECT_EQ(Next(it, kQOXKeyIterKind_UserID), bobUID);
  std::vector<QOXKeyDBObj*> sigs;
  for (QOXKeyDBObj* s = nullptr; QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_Sig, &s) == 0;) sigs.push_back(s);
  std::vector<QOXKeyDBObj*> want = Children(bobUID, kQOXKeyDBObjType_Sig);
  ASSERT_EQ(want.back(), revocation_);
  want.pop_back();
  EXPECT_EQ(sigs, want);
  ASSERT_EQ(QOXKeyIterGetKeyDBObj(it, kQOXKeyIterKind_Sig, &got), kQOXErrEndOfIteration) << "at the end of them";
  // Backward through them: the revocation first (the backward step passes
  // over nothing), then the certifications.
  ASSERT_EQ(QOXKeyIterRewind(it, kQOXKeyIterKind_Sig), 0);
  EXPECT_EQ(it->level, 1);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Sig), want[0]);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Sig), want[1]);
  EXPECT_EQ(Prev(it, kQOXKeyIterKind_Sig), want[0]);
  Prev(it, kQOXKeyIterKind_Sig, kQOXErrEndOfIteration);
  // After the last user ID a user-ID request ends on the key; the next key
  // request gives the following key.
  Next(it, kQOXKeyIterKind_UserID, kQOXErrEndOfIteration);
  EXPECT_EQ(it->current, bob_);
  EXPECT_EQ(it->level, 0);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Key), carol_);
  // Prev with the user-ID kind moves forward.
  EXPECT_EQ(Prev(it, kQOXKeyIterKind_UserID), Children(carol_, kQOXKeyDBObjType_UserID)[0]);
  Prev(it, kQOXKeyIterKind_Any, kQOXErrBadParams);
  Next(it, 16, kQOXErrBadParams);
  EXPECT_EQ(QOXKeyIterGetKeyDBObj(it, 3, &got), kQOXErrBadParams);
  EXPECT_EQ(QOXKeyIterRewind(it, 0), kQOXErrBadParams);

  // Dave's subkeys backward: from his subkey, none before it.
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Key), dave_);
  Prev(it, kQOXKeyIterKind_SubKey, kQOXErrEndOfIteration);  // at the key: nothing above it
  QOXKeyDBObj* daveSub = Children(dave_, kQOXKeyDBObjType_SubKey)[0];
  EXPECT_EQ(Next(it, kQOXKeyIterKind_SubKey), daveSub);
  Prev(it, kQOXKeyIterKind_SubKey, kQOXErrEndOfIteration);
  // A rewind to the key starts the children again.
  ASSERT_EQ(QOXKeyIterRewind(it, kQOXKeyIterKind_UserID), 0);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_UserID), Children(dave_, kQOXKeyDBObjType_UserID)[0]);

  // A copy stands where the original stands and moves alone.
  QOXKeyIter* copy = nullptr;
  ASSERT_EQ(QOXCopyKeyIter(it, &copy), 0);
  EXPECT_EQ(QOXKeyIterIndex(copy), QOXKeyIterIndex(it));
  EXPECT_EQ(Next(copy, kQOXKeyIterKind_SubKey), daveSub);
  EXPECT_EQ(it->current, Children(dave_, kQOXKeyDBObjType_UserID)[0]);

  // Seek: a key of the list gives its index; one outside it -1 and a reset.
  EXPECT_EQ(QOXKeyIterSeek(it, carol_), 2);
  EXPECT_EQ(Next(it, kQOXKeyIterKind_Key), dave_);
  QOXKeySet* two = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(db_, &two), 0);
  ASSERT_EQ(QOXAddKey(bob_, two), 0);
  ASSERT_EQ(QOXAddKey(dave_, two), 0);
  QOXKeyIter* setIter = SetIter(two);
  QOXKeyIter* listIter = ListIter(two);
  for (QOXKeyIter* s : {setIter, listIter}) {
    EXPECT_EQ(QOXKeyIterSeek(s, dave_), 1);
    EXPECT_EQ(QOXKeyIterSeek(s, alice_), -1);
    EXPECT_EQ(s->level, -1);
    EXPECT_EQ(s->current, nullptr);
    EXPECT_EQ(Next(s, kQOXKeyIterKind_Key), bob_);
    EXPECT_EQ(QOXKeyIterSeek(s, Children(bob_, kQOXKeyDBObjType_UserID)[0]), kQOXErrBadParams);
  }
  for (QOXKeyIter* i : {it, setIter, listIter}) EXPECT_EQ(QOXPeekKeyIterContext(i), context_);
  EXPECT_EQ(QOXPeekKeyListContext(it->keyList), context_);
  EXPECT_EQ(QOXPeekKeyIterContext(nullptr), nullptr);
  EXPECT_EQ(QOXPeekKeyListContext(nullptr), nullptr);
  for (QOXKeyIter* i : {it, copy, setIter, listIter}) EXPECT_EQ(QOXFreeKeyIter(i), 0);
  EXPECT_EQ(QOXFreeKeySet(two), 0);
  EXPECT_EQ(QOXKeyIterIndex(nullptr), 0);
}

// A change signalled with re-sorting brings every list up to date; the
// iterators over it keep their index and object.
TEST_F(KeyIterTest, ChangesResortLists) {
  QOXKeyList* list = nullptr;
  ASSERT_EQ(QOXOrderKeySet(db_->rootSet, kQOXKeyOrdering_KeyID, true, &list), 0);
  ASSERT_EQ(list->keyCount, 4u);
  QOXKeyIter* it = nullptr;
  ASSERT_EQ(QOXNewKeyIter(list, &it), 0);
  QOXKeyDBObj* o = nullptr;
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_Key, &o), 0);
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_Key, &o), 0);
  ASSERT_EQ(ReadFixture("v3-rsa1024.bin"), 0);
  EXPECT_EQ(list->keyCount, 4u) << "reading alone does not re-sort";
  qoxKeyDBChanged(db_, true);
  ASSERT_EQ(list->keyCount, 5u);
  for (uint32_t i = 1; i < 5; ++i) EXPECT_GT(KeyIDText(list->keys[i - 1]), KeyIDText(list->keys[i]));
  EXPECT_EQ(QOXKeyIterIndex(it), 1);
  EXPECT_EQ(it->current, o);
  EXPECT_EQ(QOXFreeKeyIter(it), 0);
  EXPECT_EQ(QOXFreeKeyList(list), 0);
  // Bad handles.
  EXPECT_EQ(QOXNewKeyIter(nullptr, &it), kQOXErrBadParams);
  EXPECT_EQ(it, nullptr);
  EXPECT_EQ(QOXNewKeyIterFromKeyDB(db_, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXIncKeyListRefCount(nullptr), kQOXErrBadParams);
  EXPECT_EQ(qoxUpdateList(nullptr), kQOXErrBadParams);
  QOXKeyDBObj* sub = reinterpret_cast<QOXKeyDBObj*>(this);
  EXPECT_EQ(qoxGetFirstSubKey(bob_, &sub), kQOXErrItemNotFound);
  EXPECT_EQ(sub, nullptr);
  EXPECT_EQ(qoxGetFirstSubKey(nullptr, &sub), kQOXErrItemNotFound);
  ASSERT_EQ(qoxGetFirstSubKey(alice_, &sub), 0);
  EXPECT_EQ(sub, Children(alice_, kQOXKeyDBObjType_SubKey)[0]);
}

}  // namespace

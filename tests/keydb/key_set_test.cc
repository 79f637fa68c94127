// Key sets: random sequences of the set calls against a model of member
// objects (a std::set written from the membership rules), the edge cases of
// the set calls, copying gpg's two exports of one key into one database
// with gpg's merged export as the oracle, deletion, the flat form, and
// refused memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/binary_tree.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "keydb/key_iter.h"
#include "keydb/key_list.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_flat.h"
#include "keydb/key_set_ops.h"
#include "keydb/key_set_union.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"
#include "keydb_test_support.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

using keydb_test::Bytes;
using keydb_test::ReadFile;
using Model = std::set<QOXKeyDBObj*>;

// Every object of a database, real or not, keys first in key order, each
// followed by its children and their children.
std::vector<QOXKeyDBObj*> AllObjects(QOXKeyDB* db) {
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

// --- The model: members by the written rules, real or not ---

void AddSubtree(QOXKeyDBObj* o, Model& m) {
  m.insert(o);
  for (QOXKeyDBObj* c = o->child; c != nullptr; c = c->next) AddSubtree(c, m);
}

// The one-object set: a key whole; a child with its subtree and the key; a
// grandchild with its parent and the key.
Model OneObject(QOXKeyDBObj* o) {
  Model m;
  QOXKeyDBObj* key = qoxObjTopKey(o);
  m.insert(key);
  if (o == key) {
    AddSubtree(key, m);
  } else if (qoxObjParent(o) == key) {
    AddSubtree(o, m);
  } else {
    m.insert(qoxObjParent(o));
    m.insert(o);
  }
  return m;
}

// With companions: below a user ID every real subkey whole, below a subkey
// every real user ID whole.
Model WithCompanions(QOXKeyDBObj* o) {
  Model m = OneObject(o);
  QOXKeyDBObj* key = qoxObjTopKey(o);
  QOXKeyDBObj* anchor = o;
  while (anchor != key && qoxObjectType(anchor) != kQOXKeyDBObjType_UserID &&
         qoxObjectType(anchor) != kQOXKeyDBObjType_SubKey)
    anchor = qoxObjParent(anchor);
  if (anchor == key) return m;
  const int32_t want =
      qoxObjectType(anchor) == kQOXKeyDBObjType_UserID ? kQOXKeyDBObjType_SubKey : kQOXKeyDBObjType_UserID;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == want) AddSubtree(c, m);
  }
  return m;
}

Model Everything(QOXKeyDB* db) {
  const auto all = AllObjects(db);
  return Model(all.begin(), all.end());
}

class KeySetTest : public keydb_test::KeyDBTest {
 protected:
  // Membership of every object and the key count agree with the model.
  void ExpectMembers(QOXKeySet* set, const Model& model, QOXKeyDB* db = nullptr) {
    db = db != nullptr ? db : db_;
    uint32_t keys = 0;
    for (QOXKeyDBObj* o : AllObjects(db)) {
      const bool want = qoxKeyDBObjIsReal(o) && model.count(o) != 0;
      ASSERT_EQ(QOXKeySetIsMember(o, set), want) << "object type " << qoxObjectType(o);
      if (want && qoxObjectType(o) == kQOXKeyDBObjType_Key) ++keys;
    }
    uint32_t count = 99;
    ASSERT_EQ(QOXCountKeys(set, &count), 0);
    EXPECT_EQ(count, keys);
  }

  // The four fixtures, three made keys sharing one 8-byte key ID (two of
  // one algorithm), a dummy signer and a deleted signature.
  void ReadAll() {
    for (const char* name : {"alice.bin", "bob.both.bin", "carol.bin", "dave.bin"}) ASSERT_EQ(ReadFixture(name), 0);
    const uint8_t id[8] = {0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42};
    for (uint8_t algorithm : {1, 17, 1}) {
      QOXKeyDBObj* key = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key, algorithm, id);
      ASSERT_NE(key, nullptr);
      twins_.push_back(key);
      for (int u = 0; u < 2; ++u) {
        QOXKeyDBObj* uid = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
        ASSERT_NE(uid, nullptr);
        ASSERT_NE(qoxNewKeyDBObj(db_, uid, kQOXObjFlag_Sig), nullptr);
        ASSERT_NE(qoxNewKeyDBObj(db_, uid, kQOXObjFlag_Sig), nullptr);
      }
      QOXKeyDBObj* sub = qoxNewKeyObj(db_, key, kQOXObjFlag_SubKey, algorithm, id);
      ASSERT_NE(sub, nullptr);
      ASSERT_NE(qoxNewKeyDBObj(db_, sub, kQOXObjFlag_Sig), nullptr);
    }
    const uint8_t absent[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_NE(qoxNewDummyKey(db_, 1, absent, false, nullptr), nullptr);
    QOXKeyDBObj* bob = Keys()[1];
    QOXKeyDBObj* uid = Children(bob, kQOXKeyDBObjType_UserID)[0];
    ASSERT_EQ(qoxMarkKeyDBObjectDeleted(Children(uid, kQOXKeyDBObjType_Sig)[2]), 0);
  }

  std::vector<QOXKeyDBObj*> twins_;
};

// One set of the random walk with what the model says of it.
struct Entry {
  QOXKeySet* set;
  Model model;
  enum Kind { kRoot, kEnumerated, kUnion } kind;
  bool dbRoot;  // the database's own root set: never changes, never freed
};

// The references the model expects: the walk's own, and those unions hold
// on the sets they were made of, released when the union goes.
struct RefModel {
  std::map<QOXKeySet*, int> refs;
  std::map<QOXKeySet*, std::vector<QOXKeySet*>> holds;
  void Release(QOXKeySet* set) {
    if (--refs[set] > 0) return;
    const std::vector<QOXKeySet*> held = holds[set];
    refs.erase(set);
    holds.erase(set);
    for (QOXKeySet* h : held) Release(h);
  }
};

// Random sequences of new, one-object, add, add-one, flatten round trips,
// references and releases, every set checked against the model after every
// call. The destination rule is the kept quirk: only a set with exactly one
// reference changes; the root set takes nothing; a set added to itself
// stays itself.
TEST_F(KeySetTest, RandomCallsAgreeWithTheModel) {
  ReadAll();
  const std::vector<QOXKeyDBObj*> objects = AllObjects(db_);
  const Model all = Everything(db_);
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    std::vector<Entry> pool{{db_->rootSet, all, Entry::kRoot, true}};
    RefModel refs;
    for (int step = 0; step < 120; ++step) {
      const int op = static_cast<int>(pick(9));
      SCOPED_TRACE(testing::Message() << "step " << step << " op " << op);
      if (op == 0) {
        QOXKeySet* s = nullptr;
        ASSERT_EQ(QOXNewEmptyKeySet(db_, &s), 0);
        pool.push_back({s, {}, Entry::kEnumerated, false});
        refs.refs[s] = 1;
      } else if (op == 1) {
        QOXKeySet* s = nullptr;
        ASSERT_EQ(QOXNewKeySet(db_, &s), 0);
        pool.push_back({s, all, Entry::kRoot, false});
        refs.refs[s] = 1;
      } else if (op == 2) {
        QOXKeyDBObj* o = objects[pick(objects.size())];
        QOXKeySet* s = nullptr;
        ASSERT_EQ(QOXNewOneKeySet(o, &s), 0);
        pool.push_back({s, WithCompanions(o), Entry::kEnumerated, false});
        refs.refs[s] = 1;
      } else if (op == 3 || op == 4) {
        Entry& src = pool[pick(pool.size())];
        const size_t d = pick(pool.size());
        Entry& dst = pool[d];
        const QOXError err = QOXAddKeys(src.set, dst.set);
        if (dst.dbRoot) {
          ASSERT_EQ(err, 0);
        } else if (refs.refs[dst.set] != 1) {
          ASSERT_EQ(err, kQOXErrBadParams);
        } else if (&src == &dst) {
          ASSERT_EQ(err, 0);
        } else {
          ASSERT_EQ(err, 0);
          dst.model.insert(src.model.begin(), src.model.end());
          if (src.kind != dst.kind || src.kind == Entry::kUnion) {
            // A union of different kinds holds the source.
            dst.kind = Entry::kUnion;
            if (!src.dbRoot) {
              ++refs.refs[src.set];
              refs.holds[dst.set].push_back(src.set);
            }
          }
        }
      } else if (op == 5) {
        QOXKeyDBObj* o = objects[pick(objects.size())];
        Entry& dst = pool[pick(pool.size())];
        const QOXError err = QOXAddKey(o, dst.set);
        if (dst.dbRoot) {
          ASSERT_EQ(err, 0);
        } else if (refs.refs[dst.set] != 1) {
          ASSERT_EQ(err, kQOXErrBadParams);
        } else {
          ASSERT_EQ(err, 0);
          const Model one = OneObject(o);
          dst.model.insert(one.begin(), one.end());
          if (dst.kind != Entry::kEnumerated) dst.kind = Entry::kUnion;
        }
      } else if (op == 6) {
        // The flat form of a set of whole keys holds exactly its keys.
        Entry& e = pool[pick(pool.size())];
        bool whole = true;
        std::vector<QOXKeyDBObj*> keys;
        for (QOXKeyDBObj* k = db_->firstKey; k != nullptr; k = k->next) {
          if (!qoxKeyDBObjIsReal(k) || e.model.count(k) == 0) continue;
          keys.push_back(k);
          Model sub;
          AddSubtree(k, sub);
          for (QOXKeyDBObj* o : sub) whole = whole && (!qoxKeyDBObjIsReal(o) || e.model.count(o) != 0);
        }
        ASSERT_EQ(qoxKeySetIsFlattenable(e.set), whole);
        QOXFlatKeyWord* flat = nullptr;
        size_t length = 0;
        ASSERT_EQ(qoxKeySetFlatten(e.set, &flat, &length), 0);
        ASSERT_EQ(length, keys.size() * sizeof(QOXFlatKeyWord));
        QOXKeySet* back = nullptr;
        ASSERT_EQ(qoxKeySetUnflattenFree(db_, flat, length, &back), 0);
        Model m;
        for (QOXKeyDBObj* k : keys) AddSubtree(k, m);
        pool.push_back({back, m, Entry::kEnumerated, false});
        refs.refs[back] = 1;
      } else if (op == 7) {
        // An extra reference blocks adding until it is released.
        Entry& e = pool[pick(pool.size())];
        ASSERT_EQ(QOXIncKeySetRefCount(e.set), 0);
        if (!e.dbRoot) {
          EXPECT_EQ(QOXAddKey(objects[0], e.set), kQOXErrBadParams);
        }
        ASSERT_EQ(QOXFreeKeySet(e.set), 0);
      } else if (pool.size() > 1) {
        const size_t i = 1 + pick(pool.size() - 1);
        ASSERT_EQ(QOXFreeKeySet(pool[i].set), 0);
        refs.Release(pool[i].set);
        pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
      }
      for (const Entry& e : pool) ASSERT_NO_FATAL_FAILURE(ExpectMembers(e.set, e.model));
    }
    for (size_t i = 1; i < pool.size(); ++i) {
      ASSERT_EQ(QOXFreeKeySet(pool[i].set), 0);
      refs.Release(pool[i].set);
    }
    EXPECT_TRUE(refs.refs.empty());
    // Every set the walk made is gone: only the root set is left.
    EXPECT_EQ(db_->firstSet, db_->rootSet);
    EXPECT_EQ(db_->rootSet->nextSet, nullptr);
  }
}

// The edge cases of the set calls, each on the fixtures.
TEST_F(KeySetTest, EdgeCases) {
  ReadAll();
  QOXKeyDBObj* alice = Keys()[0];
  QOXKeyDBObj* bob = Keys()[1];
  QOXKeyDBObj* aliceUID = Children(alice, kQOXKeyDBObjType_UserID)[0];
  QOXKeyDBObj* aliceSub = Children(alice, kQOXKeyDBObjType_SubKey)[0];

  // An empty set counts 0; adding a key gives 1, with every object of it.
  QOXKeySet* set = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(db_, &set), 0);
  uint32_t count = 9;
  ASSERT_EQ(QOXCountKeys(set, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(qoxKeySetIsEmpty(set));
  ASSERT_EQ(QOXAddKey(alice, set), 0);
  Model whole;
  AddSubtree(alice, whole);
  ExpectMembers(set, whole);
  EXPECT_FALSE(qoxKeySetIsEmpty(set));

  // The root set takes nothing; a set with an extra reference is refused.
  EXPECT_EQ(QOXAddKeys(set, db_->rootSet), 0);
  ExpectMembers(db_->rootSet, Everything(db_));
  ASSERT_EQ(QOXIncKeySetRefCount(set), 0);
  QOXKeySet* one = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(bob, &one), 0);
  EXPECT_EQ(QOXAddKeys(one, set), kQOXErrBadParams);
  ExpectMembers(set, whole);
  ASSERT_EQ(QOXFreeKeySet(set), 0);
  ExpectMembers(set, whole);
  ASSERT_EQ(QOXFreeKeySet(set), 0);

  // The root set is not counted: releasing it changes nothing.
  EXPECT_EQ(QOXFreeKeySet(db_->rootSet), 0);
  EXPECT_EQ(QOXFreeKeySet(db_->rootSet), 0);
  ASSERT_EQ(QOXCountKeys(db_->rootSet, &count), 0);
  EXPECT_EQ(count, 4u + twins_.size());

  // A user ID brings its key, its signatures and every subkey, no other
  // user ID; a signature on it brings only the key and the user ID.
  QOXKeySet* byUID = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(twins_[1]->child, &byUID), 0);  // the first user ID of a made key
  QOXKeyDBObj* uid1 = Children(twins_[1], kQOXKeyDBObjType_UserID)[0];
  QOXKeyDBObj* uid2 = Children(twins_[1], kQOXKeyDBObjType_UserID)[1];
  QOXKeyDBObj* sub = Children(twins_[1], kQOXKeyDBObjType_SubKey)[0];
  EXPECT_TRUE(QOXKeySetIsMember(twins_[1], byUID));
  EXPECT_TRUE(QOXKeySetIsMember(uid1->child, byUID));
  EXPECT_TRUE(QOXKeySetIsMember(sub->child, byUID));
  EXPECT_FALSE(QOXKeySetIsMember(uid2, byUID));
  EXPECT_FALSE(QOXKeySetIsMember(uid2->child, byUID));
  EXPECT_FALSE(QOXKeySetIsMember(twins_[0], byUID)) << "same key ID, other key";
  QOXKeySet* bySig = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(uid1->child, &bySig), 0);
  ExpectMembers(bySig, {twins_[1], uid1, uid1->child, sub, sub->child});  // companions: the subkey whole
  QOXKeySet* bySigAlone = nullptr;
  ASSERT_EQ(qoxNewOneKeySetInternal(uid1->child, &bySigAlone), 0);
  ExpectMembers(bySigAlone, {twins_[1], uid1, uid1->child});

  // Keys sharing an 8-byte key ID are each found, in every order of adding.
  for (const std::vector<int>& order : {std::vector<int>{0, 1, 2}, {2, 1, 0}, {1, 2, 0}}) {
    QOXKeySet* twins = nullptr;
    ASSERT_EQ(QOXNewEmptyKeySet(db_, &twins), 0);
    Model m;
    for (int i : order) {
      ASSERT_EQ(QOXAddKey(Children(twins_[i], kQOXKeyDBObjType_UserID)[1], twins), 0);
      const Model o = OneObject(Children(twins_[i], kQOXKeyDBObjType_UserID)[1]);
      m.insert(o.begin(), o.end());
      ExpectMembers(twins, m);
    }
    ASSERT_EQ(QOXFreeKeySet(twins), 0);
  }

  // A key whole and one user ID of it make the key whole.
  QOXKeySet* a = nullptr;
  QOXKeySet* b = nullptr;
  ASSERT_EQ(qoxNewOneKeySetInternal(alice, &a), 0);
  ASSERT_EQ(qoxNewOneKeySetInternal(aliceUID, &b), 0);
  ASSERT_EQ(QOXAddKeys(a, b), 0);
  ExpectMembers(b, whole);

  // A dummy or deleted object is no member, not even of the root set.
  for (QOXKeyDBObj* o : AllObjects(db_)) {
    if (!qoxKeyDBObjIsReal(o)) {
      EXPECT_FALSE(QOXKeySetIsMember(o, db_->rootSet));
    }
  }
  // A subkey brings the key's user IDs whole; the newest valid subkey is
  // looked for among the set's members only.
  QOXKeySet* bySub = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(aliceSub, &bySub), 0);
  Model subModel = OneObject(aliceSub);
  AddSubtree(aliceUID, subModel);
  ExpectMembers(bySub, subModel);
  MarkAllChecked();
  EXPECT_EQ(qoxKeySubkey(alice, bySub), aliceSub);
  EXPECT_EQ(qoxKeySubkey(alice, byUID), nullptr) << "no subkey of alice is a member";
  QOXKeySet* aliceAlone = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(aliceUID, &aliceAlone), 0);
  EXPECT_EQ(qoxKeySubkey(alice, aliceAlone), aliceSub) << "a user ID brings the subkeys";
  ASSERT_EQ(QOXNewEmptyKeySet(db_, &set), 0);
  ASSERT_EQ(QOXAddKey(aliceUID, set), 0);
  EXPECT_EQ(qoxKeySubkey(alice, set), nullptr) << "QOXAddKey brings no companions";

  // Bad handles and databases.
  QOXKeySet* out = reinterpret_cast<QOXKeySet*>(this);
  EXPECT_EQ(QOXNewEmptyKeySet(nullptr, &out), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(QOXNewEmptyKeySet(db_, nullptr), kQOXErrBadParams);
  out = reinterpret_cast<QOXKeySet*>(this);
  EXPECT_EQ(QOXNewOneKeySet(reinterpret_cast<QOXKeyDBObj*>(db_), &out), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  QOXKeySet* otherSet = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(other, &otherSet), 0);
  EXPECT_EQ(QOXAddKeys(set, otherSet), kQOXErrMismatchedKeyDatabases);
  EXPECT_EQ(QOXAddKey(alice, otherSet), kQOXErrMismatchedKeyDatabases);
  EXPECT_EQ(QOXFreeKeyDB(other), 0) << "the database frees its sets";

  for (QOXKeySet* s : {one, byUID, bySig, bySigAlone, a, b, bySub, aliceAlone, set}) EXPECT_EQ(QOXFreeKeySet(s), 0);
}

// While a database is destroyed its sets are force-freed newest first; an
// older set that QOXAddKeys made a union of newer ones releases none of
// them, so nothing is freed twice (the sanitiser build watches).
TEST_F(KeySetTest, DestroyingTheDatabaseFreesUnionsOnce) {
  ReadAll();
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  ASSERT_EQ(Read(ReadFile("alice.bin"), false, db), 0);
  ASSERT_EQ(Read(ReadFile("bob.bin"), false, db), 0);
  QOXKeySet* older = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(db, &older), 0);
  QOXKeySet* newer = nullptr;
  ASSERT_EQ(QOXNewKeySet(db, &newer), 0);
  ASSERT_EQ(QOXAddKeys(newer, older), 0);  // a generic union holding `newer`
  EXPECT_TRUE(qoxKeySetIsUnion(older));
  QOXKeyList* list = nullptr;
  ASSERT_EQ(QOXOrderKeySet(older, kQOXKeyOrdering_KeyID, false, &list), 0);
  QOXKeyIter* listIter = nullptr;
  ASSERT_EQ(QOXNewKeyIter(list, &listIter), 0);
  QOXKeyIter* setIter = nullptr;
  ASSERT_EQ(QOXNewKeyIterFromKeySet(newer, &setIter), 0);
  QOXKeyDBObj* o = nullptr;
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(listIter, kQOXKeyIterKind_Key, &o), 0);
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(setIter, kQOXKeyIterKind_Key, &o), 0);
  ASSERT_EQ(QOXFreeKeyDB(db), 0);
  // What outlived its database stands nowhere and is freed by its caller.
  EXPECT_EQ(QOXKeyIterNextKeyDBObj(listIter, kQOXKeyIterKind_Key, &o), kQOXErrEndOfIteration);
  EXPECT_EQ(QOXKeyIterNextKeyDBObj(setIter, kQOXKeyIterKind_Any, &o), kQOXErrEndOfIteration);
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(QOXFreeKeyIter(setIter), 0);
  EXPECT_EQ(QOXFreeKeyIter(listIter), 0);
  EXPECT_EQ(QOXFreeKeyList(list), 0);
}

// gpg's merged export of bob (both certifications) as the oracle: copying
// the two exports that each carry one into one database gives its user IDs
// and its signatures, each by the same signer and of the same class.
TEST_F(KeySetTest, CopyingTwoExportsGivesGpgsMerge) {
  auto signatures = [](QOXKeyDBObj* parent) {
    std::multiset<std::pair<std::string, int>> out;
    for (QOXKeyDBObj* s = parent->child; s != nullptr; s = s->next) {
      if (!qoxKeyDBObjIsReal(s) || qoxObjectType(s) != kQOXKeyDBObjType_Sig) continue;
      QOXKeyID id;
      EXPECT_EQ(qoxSigID8(s, nullptr, &id), 0);
      out.insert({keydb_test::Hex(qoxGetKeyIDBytes(&id), 8), qoxSigType(s)});
    }
    return out;
  };
  // gpg's listing: each user ID and the signatures that follow it.
  std::vector<std::pair<std::string, std::multiset<std::pair<std::string, int>>>> gpg;
  for (const keydb_test::Listed& p : keydb_test::ListPackets("bob.both.packets.txt")) {
    if (p.tag == 13) gpg.push_back({p.userID, {}});
    if (p.tag == 2 && !gpg.empty()) gpg.back().second.insert({p.keyid, p.sigclass});
  }
  ASSERT_EQ(gpg.size(), 1u);
  ASSERT_EQ(gpg[0].second.size(), 3u);

  QOXKeyDB* sources[2] = {};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(QOXNewKeyDB(context_, &sources[i]), 0);
    ASSERT_EQ(Read(ReadFile(i == 0 ? "bob.alice.bin" : "bob.carol.bin"), false, sources[i]), 0);
  }
  ASSERT_EQ(ReadFixture("alice.bin"), 0);  // the destination already holds a key
  QOXKeySet* copied[2] = {};
  for (int i = 0; i < 2; ++i) ASSERT_EQ(QOXCopyKeys(sources[i]->rootSet, db_, &copied[i]), 0);

  const auto keys = Keys();
  ASSERT_EQ(keys.size(), 2u);
  QOXKeyDBObj* bob = keys[1];
  const auto uids = Children(bob, kQOXKeyDBObjType_UserID);
  ASSERT_EQ(uids.size(), gpg.size());
  size_t length = 0;
  const uint8_t* name = qoxUserIDName(uids[0], &length);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), length), gpg[0].first);
  EXPECT_EQ(signatures(uids[0]), gpg[0].second);
  // Each out set names bob whole, and not alice.
  Model bobWhole;
  AddSubtree(bob, bobWhole);
  for (QOXKeySet* s : copied) {
    ExpectMembers(s, bobWhole);
    EXPECT_EQ(QOXFreeKeySet(s), 0);
  }
  for (QOXKeyDB* s : sources) EXPECT_EQ(QOXFreeKeyDB(s), 0);
}

// Copying into front ends: whole keys go through the back end in one
// request; anything else object by object. Both give gpg's merge, seen
// through the front end, and its back end holds the same.
TEST_F(KeySetTest, CopyingIntoFrontEnds) {
  auto front = [this](const char* name) {
    const Bytes bytes = ReadFile(name);
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &db), 0);
    return db;
  };
  auto certifiers = [](QOXKeyDBObj* key) {
    std::multiset<std::string> out;
    QOXKeyDBObj* uid = key->child;
    while (uid != nullptr && qoxObjectType(uid) != kQOXKeyDBObjType_UserID) uid = uid->next;
    for (QOXKeyDBObj* s = uid != nullptr ? uid->child : nullptr; s != nullptr; s = s->next) {
      QOXKeyID id;
      EXPECT_EQ(qoxSigID8(s, nullptr, &id), 0);
      out.insert(keydb_test::Hex(qoxGetKeyIDBytes(&id), 8));
    }
    return out;
  };
  std::multiset<std::string> gpg;
  for (const keydb_test::Listed& p : keydb_test::ListPackets("bob.both.packets.txt")) {
    if (p.tag == 2) gpg.insert(p.keyid);
  }
  // Whole keys, front end to front end: the out set names bob whole.
  QOXKeyDB* source = front("bob.carol.bin");
  QOXKeyDB* destination = front("bob.alice.bin");
  ASSERT_TRUE(qoxFrontEndKeyDB(source) && qoxFrontEndKeyDB(destination));
  QOXKeySet* out = nullptr;
  ASSERT_EQ(QOXCopyKeys(source->rootSet, destination, &out), 0);
  QOXKeyDBObj* bob = Keys(false, destination)[0];
  EXPECT_EQ(certifiers(bob), gpg);
  EXPECT_EQ(certifiers(reinterpret_cast<QOXKeyDB*>(destination->backendID)->firstKey), gpg);
  Model bobWhole;
  AddSubtree(bob, bobWhole);
  ExpectMembers(out, bobWhole, destination);
  ASSERT_EQ(QOXFreeKeySet(out), 0);
  // Into a front end without keys: the whole database.
  QOXKeyDB* empty = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, nullptr, 0, &empty), 0);
  ASSERT_EQ(QOXCopyKeys(destination->rootSet, empty, &out), 0);
  EXPECT_EQ(out->isMember, empty->rootSet->isMember);
  ASSERT_EQ(Keys(false, empty).size(), 1u);
  EXPECT_EQ(certifiers(Keys(false, empty)[0]), gpg);
  ASSERT_EQ(QOXFreeKeySet(out), 0);
  ASSERT_EQ(QOXFreeKeyDB(empty), 0);
  ASSERT_EQ(QOXFreeKeyDB(destination), 0);

  // One certification from a back end, object by object.
  destination = front("bob.alice.bin");
  ASSERT_EQ(ReadFixture("bob.carol.bin"), 0);
  QOXKeyDBObj* carolsCert = Children(Children(Keys()[0], kQOXKeyDBObjType_UserID)[0], kQOXKeyDBObjType_Sig)[1];
  QOXKeySet* one = nullptr;
  ASSERT_EQ(qoxNewOneKeySetInternal(carolsCert, &one), 0);
  ASSERT_FALSE(qoxKeySetIsFlattenable(one));
  ASSERT_EQ(QOXCopyKeys(one, destination, &out), 0);
  bob = Keys(false, destination)[0];
  EXPECT_EQ(certifiers(bob), gpg);
  bobWhole.clear();
  AddSubtree(bob, bobWhole);
  ExpectMembers(out, bobWhole, destination);
  // Deleting through the front end deletes in its back end.
  ASSERT_EQ(QOXDeleteKeys(out), 0);
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(bob));
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(reinterpret_cast<QOXKeyDB*>(destination->backendID)->firstKey));
  ASSERT_EQ(QOXFreeKeySet(out), 0);
  ASSERT_EQ(QOXFreeKeySet(one), 0);
  ASSERT_EQ(QOXFreeKeyDB(destination), 0);
  ASSERT_EQ(QOXFreeKeyDB(source), 0);
}

// The out set is built once after the walk; it has the members of the
// union, object by object, of each copy's one-object set with companions.
TEST_F(KeySetTest, CopyOutSetHasThePerObjectUnionsMembers) {
  QOXKeyDB* source = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &source), 0);
  for (const char* name : {"alice.bin", "bob.carol.bin", "dave.bin"}) ASSERT_EQ(Read(ReadFile(name), false, source), 0);
  ASSERT_EQ(ReadFixture("bob.alice.bin"), 0);
  ASSERT_EQ(ReadFixture("carol.bin"), 0);
  QOXKeyDBObj* sourceAlice = Keys(false, source)[0];
  QOXKeyDBObj* sourceBob = Keys(false, source)[1];
  QOXKeyDBObj* daveUID = Children(Keys(false, source)[2], kQOXKeyDBObjType_UserID)[0];

  // Sources: a whole key, a user ID with its signatures, a signature, a
  // subkey, and their unions.
  std::vector<std::function<QOXError(QOXKeySet**)>> makers = {
      [&](QOXKeySet** s) { return QOXNewOneKeySet(Children(sourceBob, kQOXKeyDBObjType_UserID)[0], s); },
      [&](QOXKeySet** s) { return qoxNewOneKeySetInternal(daveUID->child, s); },
      [&](QOXKeySet** s) { return qoxNewOneKeySetInternal(Children(sourceAlice, kQOXKeyDBObjType_SubKey)[0], s); },
      [&](QOXKeySet** s) { return QOXNewKeySet(source, s); },
  };
  for (size_t m = 0; m < makers.size(); ++m) {
    SCOPED_TRACE(m);
    QOXKeySet* set = nullptr;
    ASSERT_EQ(makers[m](&set), 0);
    QOXKeySet* out = nullptr;
    ASSERT_EQ(QOXCopyKeys(set, db_, &out), 0);
    // The union the copy's walk describes, built as written: every object
    // of the set again (adding is idempotent, so each gives its copy), its
    // one-object set with companions added to an empty set.
    QOXKeySet* expected = nullptr;
    ASSERT_EQ(QOXNewEmptyKeySet(db_, &expected), 0);
    QOXKeyIter* iter = nullptr;
    ASSERT_EQ(QOXNewKeyIterFromKeySet(set, &iter), 0);
    QOXKeyDBObj* o = nullptr;
    int objects = 0;
    while (QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterKind_Any, &o) == 0) {
      QOXKeyDBObj* copy = nullptr;
      ASSERT_EQ(qoxKeyDBAddObject(db_, o, &copy), 0);
      QOXKeySet* one = nullptr;
      ASSERT_EQ(QOXNewOneKeySet(copy, &one), 0);
      ASSERT_EQ(QOXAddKeys(one, expected), 0);
      ASSERT_EQ(QOXFreeKeySet(one), 0);
      ++objects;
    }
    EXPECT_GT(objects, 1);
    for (QOXKeyDBObj* x : AllObjects(db_)) {
      ASSERT_EQ(QOXKeySetIsMember(x, out), QOXKeySetIsMember(x, expected)) << "type " << qoxObjectType(x);
    }
    EXPECT_EQ(QOXFreeKeyIter(iter), 0);
    for (QOXKeySet* s : {set, out, expected}) EXPECT_EQ(QOXFreeKeySet(s), 0);
  }

  // A user ID copied gives its key (without the subkeys it has).
  QOXKeyDB* empty = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &empty), 0);
  QOXKeyDBObj* copiedKey = nullptr;
  QOXKeyDBObj* aliceUID = Children(sourceAlice, kQOXKeyDBObjType_UserID)[0];
  ASSERT_EQ(QOXCopyKeyDBObj(aliceUID, empty, &copiedKey), 0);
  ASSERT_EQ(Keys(false, empty).size(), 1u);
  EXPECT_EQ(copiedKey, Keys(false, empty)[0]);
  EXPECT_EQ(Children(copiedKey, kQOXKeyDBObjType_SubKey).size(), 0u);
  EXPECT_EQ(Children(copiedKey, kQOXKeyDBObjType_UserID).size(), 1u);
  EXPECT_EQ(QOXFreeKeyDB(empty), 0);
  // Into an empty database the out set is the whole database, of the root
  // kind; copying it into the database it names changes nothing.
  ASSERT_EQ(QOXNewKeyDB(context_, &empty), 0);
  QOXKeySet* out = nullptr;
  ASSERT_EQ(QOXCopyKeys(source->rootSet, empty, &out), 0);
  EXPECT_EQ(out->isMember, empty->rootSet->isMember);
  EXPECT_EQ(Keys(false, empty).size(), 3u);
  const size_t objects = AllObjects(empty).size();
  ASSERT_EQ(QOXCopyKeys(out, empty, nullptr), 0);
  EXPECT_EQ(AllObjects(empty).size(), objects);
  EXPECT_EQ(QOXFreeKeySet(out), 0);
  EXPECT_EQ(QOXFreeKeyDB(empty), 0);
  EXPECT_EQ(QOXCopyKeys(nullptr, db_, &out), kQOXErrBadParams);
  EXPECT_EQ(QOXCopyKeyDBObj(sourceBob, nullptr, &copiedKey), kQOXErrBadParams);
  EXPECT_EQ(copiedKey, nullptr);
  EXPECT_EQ(QOXFreeKeyDB(source), 0);
}

// Deleting a set removes its keys depth first and re-sorts the lists; a
// set of a user ID removes the key it belongs to, as the key is a member.
TEST_F(KeySetTest, DeleteKeys) {
  ReadAll();
  QOXKeyList* list = nullptr;
  ASSERT_EQ(QOXOrderKeySet(db_->rootSet, kQOXKeyOrdering_KeyID, false, &list), 0);
  ASSERT_EQ(list->keyCount, 7u);
  QOXKeyDBObj* carol = Keys()[2];
  QOXKeySet* set = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(Children(carol, kQOXKeyDBObjType_UserID)[0], &set), 0);
  ASSERT_EQ(QOXAddKey(twins_[0], set), 0);
  ASSERT_EQ(QOXDeleteKeys(set), 0);
  for (QOXKeyDBObj* k : {carol, twins_[0]}) {
    Model gone;
    AddSubtree(k, gone);
    for (QOXKeyDBObj* o : gone) EXPECT_TRUE(qoxKeyDBObjIsDeleted(o) || qoxKeyDBObjIsDummy(o));
  }
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(twins_[1]));
  EXPECT_EQ(list->keyCount, 5u);
  EXPECT_TRUE(std::find(list->keys, list->keys + list->keyCount, carol) == list->keys + list->keyCount);
  uint32_t count = 0;
  ASSERT_EQ(QOXCountKeys(set, &count), 0);
  EXPECT_EQ(count, 0u) << "deleted keys are no members";
  ASSERT_EQ(QOXDeleteKeys(set), 0) << "nothing left to delete";
  EXPECT_EQ(QOXDeleteKeys(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeKeySet(set), 0);
  EXPECT_EQ(QOXFreeKeyList(list), 0);
}

// The flat form: back-end lists sorted by key ID, lengths short of a word,
// and a front end's object IDs mapped through its ID tree.
TEST_F(KeySetTest, FlatKeyLists) {
  ReadAll();
  QOXFlatKeyWord* flat = nullptr;
  size_t length = 0;
  ASSERT_EQ(qoxKeySetFlatten(db_->rootSet, &flat, &length), 0);
  ASSERT_EQ(length, 7 * sizeof(QOXFlatKeyWord));
  for (size_t i = 1; i < 7; ++i) {
    QOXKeyID a, b;
    ASSERT_EQ(qoxKeyID8(reinterpret_cast<QOXKeyDBObj*>(flat[i - 1]), nullptr, &a), 0);
    ASSERT_EQ(qoxKeyID8(reinterpret_cast<QOXKeyDBObj*>(flat[i]), nullptr, &b), 0);
    EXPECT_LE(qoxCompareKeyIDs(&a, &b), 0);
  }
  // Unflattened in any order, the same keys.
  std::reverse(flat, flat + 7);
  QOXKeySet* set = nullptr;
  ASSERT_EQ(qoxKeySetUnflatten(db_, flat, length, &set), 0);
  ExpectMembers(set, Everything(db_));
  ASSERT_EQ(QOXFreeKeySet(set), 0);
  for (size_t shortLength : {size_t{0}, sizeof(QOXFlatKeyWord) - 1}) {
    ASSERT_EQ(qoxKeySetUnflatten(db_, flat, shortLength, &set), 0);
    EXPECT_TRUE(qoxKeySetIsEmpty(set));
    ASSERT_EQ(QOXFreeKeySet(set), 0);
  }
  ASSERT_EQ(qoxContextMemFree(context_, flat), 0);
  ASSERT_EQ(qoxKeySetFlatten(nullptr, &flat, &length), 0);
  EXPECT_EQ(flat, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(qoxKeySetIsFlattenable(nullptr));

  // A front end maps IDs through its tree, keeping the list's keys; an ID
  // it does not hold gives no set.
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &front), 0);
  front->backendID = reinterpret_cast<uintptr_t>(db_);
  std::vector<QOXFlatKeyWord> ids;
  for (QOXKeyDBObj* k : Keys()) {
    const uint8_t* id = qoxKeyToKeyInfo(k)->keyID;
    QOXKeyDBObj* mirror = qoxNewKeyObj(front, nullptr, kQOXObjFlag_Key, qoxKeyToKeyInfo(k)->algorithm, id);
    ASSERT_NE(mirror, nullptr);
    qoxKeyToKeyInfo(mirror)->objectID = reinterpret_cast<uintptr_t>(k);
    ASSERT_EQ(QOXAddNode(front->idTree, reinterpret_cast<intptr_t>(k), reinterpret_cast<QOXTreeValue>(mirror)), 0);
    ids.push_back(reinterpret_cast<QOXFlatKeyWord>(k));
  }
  ASSERT_EQ(qoxKeySetUnflatten(front, ids.data(), ids.size() * sizeof(QOXFlatKeyWord), &set), 0);
  ExpectMembers(set, Everything(front), front);
  // Flattened in a front end: the back end's IDs in the database's order.
  ASSERT_EQ(qoxKeySetFlattenFree(set, &flat, &length), 0);
  ASSERT_EQ(length, ids.size() * sizeof(QOXFlatKeyWord));
  EXPECT_TRUE(std::equal(ids.begin(), ids.end(), flat));
  ASSERT_EQ(qoxContextMemFree(context_, flat), 0);
  ids.push_back(12345);
  set = reinterpret_cast<QOXKeySet*>(this);
  EXPECT_EQ(qoxKeySetUnflatten(front, ids.data(), ids.size() * sizeof(QOXFlatKeyWord), &set), kQOXErrItemNotFound);
  EXPECT_EQ(set, nullptr);
  front->backendID = 0;
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

// Refused memory: each call fails with kQOXErrOutOfMemory, changes nothing
// and leaves nothing behind.
class KeySetMemoryTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    QOXNewContextStruct record{kQOXAPIVersion, counts_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&record, &context_), 0);
    ASSERT_EQ(QOXNewKeyDB(context_, &db_), 0);
    for (const char* name : {"alice.bin", "bob.both.bin", "carol.bin"}) ASSERT_EQ(ReadFixture(name), 0);
  }
  void TearDown() override {
    counts_.FailAfter(-1);
    KeyDBTest::TearDown();
  }
  // Runs the call with budgets 0, 1, ... until it succeeds; each failure
  // must be kQOXErrOutOfMemory with the live blocks as before, and pass the
  // check.
  void EveryBudget(const std::function<QOXError()>& call, const std::function<void()>& check, int atLeast) {
    int failures = 0;
    for (long budget = 0;; ++budget) {
      SCOPED_TRACE(budget);
      const long live = counts_.live();
      counts_.FailAfter(budget);
      const QOXError err = call();
      counts_.FailAfter(-1);
      if (err == kQOXErrNoErr) break;
      ASSERT_EQ(err, kQOXErrOutOfMemory);
      ASSERT_EQ(counts_.live(), live);
      check();
      ++failures;
      ASSERT_LT(budget, 50);
    }
    EXPECT_GE(failures, atLeast);
  }
  ostrak_test::CountingMemoryMgr counts_;
};

TEST_F(KeySetMemoryTest, RefusedMemoryChangesNothing) {
  QOXKeyDBObj* alice = Keys()[0];
  QOXKeyDBObj* bob = Keys()[1];
  QOXKeySet* dst = nullptr;
  ASSERT_EQ(QOXNewOneKeySet(Children(alice, kQOXKeyDBObjType_UserID)[0], &dst), 0);
  QOXKeySet* src = nullptr;
  ASSERT_EQ(qoxNewOneKeySetInternal(Children(alice, kQOXKeyDBObjType_UserID)[0]->child, &src), 0);
  ASSERT_EQ(QOXAddKey(bob, src), 0);
  Model before;
  for (QOXKeyDBObj* o : AllObjects(db_)) {
    if (QOXKeySetIsMember(o, dst)) before.insert(o);
  }
  auto unchanged = [&] {
    for (QOXKeyDBObj* o : AllObjects(db_)) ASSERT_EQ(QOXKeySetIsMember(o, dst), before.count(o) != 0);
  };
  // The merge of two enumerated sets.
  EveryBudget([&] { return QOXAddKeys(src, dst); }, unchanged, 2);
  EXPECT_TRUE(QOXKeySetIsMember(bob, dst));
  // A generic union.
  QOXKeySet* root = nullptr;
  ASSERT_EQ(QOXNewKeySet(db_, &root), 0);
  QOXKeySet* enumerated = nullptr;
  ASSERT_EQ(QOXNewEmptyKeySet(db_, &enumerated), 0);
  EveryBudget([&] { return QOXAddKeys(root, enumerated); }, [&] { EXPECT_TRUE(qoxKeySetIsEnumerated(enumerated)); },
              2);
  EXPECT_TRUE(qoxKeySetIsUnion(enumerated));
  // A one-object set with companions, a list, an iterator.
  QOXKeySet* one = nullptr;
  EveryBudget([&] { return QOXNewOneKeySet(Children(alice, kQOXKeyDBObjType_SubKey)[0], &one); },
              [&] { EXPECT_EQ(one, nullptr); }, 3);
  EXPECT_EQ(QOXFreeKeySet(one), 0);
  QOXKeyList* list = nullptr;
  EveryBudget([&] { return QOXOrderKeySet(root, kQOXKeyOrdering_Creation, false, &list); },
              [&] { EXPECT_EQ(root->firstList, nullptr); }, 2);
  QOXKeyIter* iter = nullptr;
  EveryBudget([&] { return QOXNewKeyIter(list, &iter); }, [&] { EXPECT_EQ(list->refCount, 1); }, 1);
  EXPECT_EQ(QOXFreeKeyIter(iter), 0);
  // A re-sort without memory leaves the list as it was.
  QOXKeyDBObj* first = list->keys[0];
  counts_.FailAfter(0);
  EXPECT_EQ(qoxUpdateList(list), kQOXErrOutOfMemory);
  counts_.FailAfter(-1);
  EXPECT_EQ(list->keyCount, 3u);
  EXPECT_EQ(list->keys[0], first);
  EXPECT_EQ(QOXFreeKeyList(list), 0);
  // A copy that runs out of memory hands out no set (what it copied stays
  // merged into the destination).
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  ASSERT_EQ(Read(ReadFile("bob.alice.bin"), false, other), 0);
  for (long budget = 0;; ++budget) {
    QOXKeySet* copied = reinterpret_cast<QOXKeySet*>(this);
    counts_.FailAfter(budget);
    const QOXError err = QOXCopyKeys(db_->rootSet, other, &copied);
    counts_.FailAfter(-1);
    if (err == kQOXErrNoErr) {
      EXPECT_EQ(QOXFreeKeySet(copied), 0);
      break;
    }
    ASSERT_EQ(err, kQOXErrOutOfMemory);
    EXPECT_EQ(copied, nullptr);
    ASSERT_LT(budget, 200);
  }
  EXPECT_EQ(Keys(false, other).size(), 3u);
  for (QOXKeySet* s : {dst, src, root, enumerated}) EXPECT_EQ(QOXFreeKeySet(s), 0);
  EXPECT_EQ(QOXFreeKeyDB(other), 0);
}

}  // namespace

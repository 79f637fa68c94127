// Key filters: matching over gpg's fixture keys (gpg's listings give the
// expected answers), the child-objects rule, the cache after a key changes
// and for a new database at a reused address, filtered key sets, the
// combinators' references, and the four query builders as tables. The
// user-ID clauses of the LDAP forms are read back through the LDAP client's
// own filter reader, whose BER is decoded here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/filter.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_set.h"
#include "keydb/key_set_filter.h"
#include "keydb/obj_properties.h"
#include "keydb_test_support.h"
#include "net/ber.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "tests/common/counting_memory_mgr.h"

namespace {

using keydb_test::Bytes;
using keydb_test::ReadFile;
using P = KeyDBObjProperty;

constexpr int32_t N(P p) { return static_cast<int32_t>(p); }

// The fixtures' key IDs and fingerprints, from gpg's --with-colons listings.
constexpr const char* kAliceID = "7F5B1A7795C777D2";
constexpr const char* kAliceSubID = "5AF0F40BB8E313D8";
constexpr const char* kBobID = "171717CDDE4EDF82";
constexpr const char* kCarolID = "AF10651591978554";
constexpr const char* kDaveID = "6E9DEA08D39D6188";
constexpr const char* kAliceFpr = "BCC350EEA44A07975FD2BCFD7F5B1A7795C777D2";

QOXKeyID KeyID(const char* hex) {
  QOXKeyID id;
  EXPECT_EQ(QOXNewKeyIDFromString(hex, kQOXKeyIDAnyAlgorithm, &id), 0) << hex;
  return id;
}

class FilterTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    for (const char* name : {"alice.bin", "bob.both.bin", "carol.bin", "dave.bin"}) ASSERT_EQ(ReadFixture(name), 0);
    MarkAllChecked();
    for (QOXKeyDBObj* k = db_->firstKey; k != nullptr; k = k->next) {
      const uint8_t* id = qoxKeyToKeyInfo(k)->keyID;
      keys_[keydb_test::Hex(id, 8)] = k;
    }
    ASSERT_EQ(keys_.size(), 4u);
    // Dave's key and subkey expire after 730 days (gpg's listing); the
    // signature check that reads it from the self-signatures is not run
    // here, so the days are set as it sets them.
    QOXKeyDBObj* dave = keys_.at(kDaveID);
    qoxKeyToKeyInfo(dave)->validityDays = 730;
    qoxKeyToKeyInfo(Children(dave, kQOXKeyDBObjType_SubKey)[0])->validityDays = 730;
  }

  QOXKeyDBObj* Key(const char* id) { return keys_.at(id); }

  QOXFilter* Data(P p, const std::string& v, uint32_t c) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXNewKeyDBObjDataFilter(context_, N(p), v.data(), v.size(), c, &f), 0);
    return f;
  }
  QOXFilter* ID(P p, const char* hex) {
    const QOXKeyID id = KeyID(hex);
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXNewKeyDBObjDataFilter(context_, N(p), &id, sizeof id, kQOXMatchCriterion_Equal, &f), 0);
    return f;
  }
  QOXFilter* Num(P p, uint32_t v, uint32_t c) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXNewKeyDBObjNumericFilter(context_, N(p), v, c, &f), 0);
    return f;
  }
  QOXFilter* Time(P p, QOXTime v, uint32_t c) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXNewKeyDBObjTimeFilter(context_, N(p), v, c, &f), 0);
    return f;
  }
  QOXFilter* Bool(P p, bool v) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXNewKeyDBObjBooleanFilter(context_, N(p), v, &f), 0);
    return f;
  }
  static QOXFilter* Not(QOXFilter* a) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXNegateFilter(a, &f), 0);
    return f;
  }
  static QOXFilter* And(QOXFilter* a, QOXFilter* b) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXIntersectFilters(a, b, &f), 0);
    return f;
  }
  static QOXFilter* Or(QOXFilter* a, QOXFilter* b) {
    QOXFilter* f = nullptr;
    EXPECT_EQ(QOXUnionFilters(a, b, &f), 0);
    return f;
  }

  // The keys a filtered set of the whole database holds, as "A", "B", "C",
  // "D" in the database's order; the set's count agrees.
  std::string Members(QOXFilter* filter) {
    QOXKeySet* set = nullptr;
    EXPECT_EQ(QOXFilterKeyDB(db_, filter, &set), 0);
    if (set == nullptr) return "?";
    std::string out;
    for (QOXKeyDBObj* k = db_->firstKey; k != nullptr; k = k->next) {
      if (QOXKeySetIsMember(k, set)) out += Letter(k);
    }
    uint32_t count = 0;
    EXPECT_EQ(QOXCountKeys(set, &count), 0);
    EXPECT_EQ(count, out.size());
    EXPECT_EQ(QOXFreeKeySet(set), 0);
    return out;
  }

  std::string Letter(QOXKeyDBObj* k) {
    for (const auto& [id, key] : keys_) {
      if (key == k) {
        return id == kAliceID ? "A" : id == kBobID ? "B" : id == kCarolID ? "C" : "D";
      }
    }
    return "?";
  }

  std::map<std::string, QOXKeyDBObj*> keys_;
};

// Alice: RSA 2048 with an ElGamal subkey, never expires; Bob: DSA 1024,
// certified by Alice and Carol; Carol: RSA 2048, never expires; Dave: DSA
// 1024 with an ElGamal subkey, expires at 1860020862 (gpg's listings).
TEST_F(FilterTest, MatchesKeysByEveryKindOfProperty) {
  constexpr uint32_t EQ = kQOXMatchCriterion_Equal, GE = kQOXMatchCriterion_GreaterOrEqual,
                     LE = kQOXMatchCriterion_LessOrEqual, SUB = kQOXMatchCriterion_SubString;
  struct Case {
    const char* what;
    QOXFilter* filter;
    const char* members;
  };
  const Case cases[] = {
      {"name contains 'lice', any case", Data(P::UserIDName, "LICE", SUB), "A"},
      {"name equal to a part", Data(P::UserIDName, "lice", EQ), ""},
      {"name equal to the whole", Data(P::UserIDName, "Alice RSA <alice@example.org>", EQ), "A"},
      {"empty substring", Data(P::UserIDName, "", SUB), "ABCD"},
      {"e-mail", Data(P::UserIDEmailAddress, "bob@", SUB), "B"},
      {"bits >= 2048", Num(P::KeyBits, 2048, GE), "AC"},
      {"bits <= 1024", Num(P::KeyBits, 1024, LE), "BD"},
      {"bits = 1024", Num(P::KeyBits, 1024, EQ), "BD"},
      {"numbers take no substring", Num(P::KeyBits, 1024, SUB), ""},
      {"DSA", Num(P::KeyAlgorithm, 17, EQ), "BD"},
      {"ElGamal subkey", Num(P::SubKeyAlgorithm, 16, EQ), "AD"},
      {"created at Alice's time", Time(P::KeyCreation, 1796948860, EQ), "A"},
      {"created after Alice", Time(P::KeyCreation, 1796948861, GE), "BCD"},
      {"created up to Bob", Time(P::KeyCreation, 1796948861, LE), "AB"},
      {"expiry <= 0: every key", Time(P::KeyExpiration, 0, LE), "ABCD"},
      {"expiry >= 0: never expiring", Time(P::KeyExpiration, 0, GE), "ABC"},
      {"expiry <= 1900000000", Time(P::KeyExpiration, 1900000000, LE), "D"},
      {"expiry >= 1800000000 (never counts as later)", Time(P::KeyExpiration, 1800000000, GE), "ABCD"},
      {"expiry = Dave's", Time(P::KeyExpiration, 1860020862, EQ), "D"},
      {"subkey expiry >= 0", Time(P::SubKeyExpiration, 0, GE), "A"},
      {"user-ID time never matches", Time(static_cast<P>(1200), 0, LE), ""},
      {"key ID, 8 bytes", ID(P::KeyKeyID, kAliceID), "A"},
      {"key ID, 4 bytes", ID(P::KeyKeyID, "91978554"), "C"},
      {"subkey ID", ID(P::SubKeyKeyID, kAliceSubID), "A"},
      {"signer Alice (self and Bob's certification)", ID(P::SigKeyID, kAliceID), "AB"},
      {"signer Carol", ID(P::SigKeyID, kCarolID), "BC"},
      {"not revoked", Bool(P::KeyIsRevoked, false), "ABCD"},
      {"revoked", Bool(P::KeyIsRevoked, true), ""},
      {"a getter that fails (a key boolean not served)", Bool(static_cast<P>(150), false), ""},
      {"not 2048 bits", Not(Num(P::KeyBits, 2048, GE)), "BD"},
      {"RSA and signed by Carol", And(Num(P::KeyAlgorithm, 1, EQ), ID(P::SigKeyID, kCarolID)), "C"},
      {"Dave or Alice", Or(ID(P::KeyKeyID, kDaveID), Data(P::UserIDName, "alice", SUB)), "AD"},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.filter, nullptr) << c.what;
    EXPECT_EQ(Members(c.filter), c.members) << c.what;
    EXPECT_EQ(QOXFreeFilter(c.filter), 0) << c.what;
  }
}

// With the flag clear a sub-object matches exactly when its key does; with
// it set, an object at or below the filter's level decides by itself, and a
// key known not to match answers for its sub-objects.
TEST_F(FilterTest, ChildObjectsFlag) {
  QOXKeyDBObj* bob = Key(kBobID);
  QOXKeyDBObj* uid = Children(bob, kQOXKeyDBObjType_UserID)[0];
  std::vector<QOXKeyDBObj*> sigs = Children(uid, kQOXKeyDBObjType_Sig);
  ASSERT_EQ(sigs.size(), 3u);  // self, Alice's, Carol's (gpg's listing order)
  QOXFilter* byCarol = ID(P::SigKeyID, kCarolID);

  ASSERT_TRUE(qoxKeyDBObjMatchesFilter(byCarol, bob));
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(byCarol, uid));
  for (QOXKeyDBObj* s : sigs) EXPECT_TRUE(qoxKeyDBObjMatchesFilter(byCarol, s)) << "flag clear: the key decides";

  ASSERT_EQ(QOXFilterChildObjects(byCarol, true), 0);
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(byCarol, bob));
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(byCarol, uid)) << "above the signature level: any signature of the key";
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(byCarol, sigs[0]));
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(byCarol, sigs[1]));
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(byCarol, sigs[2]));

  // A key that does not match: its sub-objects are refused from the cache,
  // even one that would match by itself.
  QOXKeyDBObj* carol = Key(kCarolID);
  QOXFilter* notCarolsOwn = Data(P::UserIDName, "Bob", kQOXMatchCriterion_SubString);
  ASSERT_EQ(QOXFilterChildObjects(notCarolsOwn, true), 0);
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(notCarolsOwn, carol));
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(notCarolsOwn, Children(carol, kQOXKeyDBObjType_UserID)[0]));
  // Bob's key, flag set, a user-ID filter: the user ID decides for itself
  // and for its signatures.
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(notCarolsOwn, bob));
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(notCarolsOwn, sigs[1]));

  // Key-level filter, flag set: sub-objects take the key's property.
  QOXFilter* dsa = Num(P::KeyAlgorithm, 17, kQOXMatchCriterion_Equal);
  ASSERT_EQ(QOXFilterChildObjects(dsa, true), 0);
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(dsa, bob));
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(dsa, sigs[2]));
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(dsa, Children(carol, kQOXKeyDBObjType_UserID)[0]));

  // A filtered set with the flag set holds Carol's certification of Bob but
  // not Bob's self-signature.
  QOXKeySet* set = nullptr;
  ASSERT_EQ(QOXFilterKeyDB(db_, byCarol, &set), 0);
  EXPECT_TRUE(QOXKeySetIsMember(sigs[2], set));
  EXPECT_FALSE(QOXKeySetIsMember(sigs[0], set));
  EXPECT_EQ(QOXFreeKeySet(set), 0);

  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(nullptr, bob));
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(byCarol, nullptr));
  for (QOXFilter* f : {byCarol, notCarolsOwn, dsa}) EXPECT_EQ(QOXFreeFilter(f), 0);
}

// The cache answers a sub-object from its key's last evaluation only while
// the key's database is unchanged.
TEST_F(FilterTest, ChangedKeyIsEvaluatedAfresh) {
  QOXKeyDBObj* alice = Key(kAliceID);
  QOXFilter* zed = Data(P::UserIDName, "Zed", kQOXMatchCriterion_SubString);
  ASSERT_FALSE(qoxKeyDBObjMatchesFilter(zed, alice));
  ASSERT_FALSE(qoxKeyDBObjMatchesFilter(zed, Children(alice, kQOXKeyDBObjType_UserID)[0]));

  // A new user ID merged into Alice's key.
  const std::vector<keydb_test::Packet> packets = keydb_test::SplitPackets(ReadFile("alice.bin"));
  const std::string name = "Zed <zed@example.org>";
  ASSERT_EQ(Read(keydb_test::Cat({packets[0].bytes, keydb_test::NewPacket(13, Bytes(name.begin(), name.end()))})),
            0);
  std::vector<QOXKeyDBObj*> uids = Children(alice, kQOXKeyDBObjType_UserID);
  ASSERT_EQ(uids.size(), 2u);
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(zed, uids[1])) << "stale cache answered for a changed key";
  EXPECT_TRUE(qoxKeyDBObjMatchesFilter(zed, alice));
  EXPECT_EQ(QOXFreeFilter(zed), 0);
}

// A memory manager that hands a freed block back to the next request of the
// same size, so that a new database lands where a freed one stood (and the
// sanitiser's quarantine does not keep it elsewhere). Blocks go back to the
// heap when the recycler goes.
class Recycler {
 public:
  ~Recycler() {
    for (auto& [size, blocks] : free_) {
      for (void* b : blocks) std::free(b);
    }
  }
  QOXMemoryMgr* Make() {
    QOXNewMemoryMgrStruct r{};
    r.sizeofStruct = sizeof r;
    r.allocProc = Alloc;
    r.reallocProc = Realloc;
    r.deallocProc = Dealloc;
    r.secureAllocProc = SecureAlloc;
    r.secureDeallocProc = SecureDealloc;
    r.customValue = this;
    QOXMemoryMgr* mgr = nullptr;
    return QOXNewMemoryMgrCustom(&r, &mgr) == 0 ? mgr : nullptr;
  }

 private:
  static Recycler* Self(QOXMemoryMgrCustomValue v) { return static_cast<Recycler*>(v); }
  static void* Alloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue v, size_t size, uint32_t flags) {
    std::vector<void*>& list = Self(v)->free_[size];
    void* b = nullptr;
    if (!list.empty()) {
      b = list.back();
      list.pop_back();
    } else {
      b = std::malloc(size == 0 ? 1 : size);
    }
    if (b != nullptr && (flags & kQOXMemoryMgrFlags_Clear)) std::memset(b, 0, size);
    Self(v)->sizes_[b] = size;
    return b;
  }
  static QOXError Dealloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue v, void* block, size_t) {
    auto it = Self(v)->sizes_.find(block);
    if (it == Self(v)->sizes_.end()) {
      std::free(block);
      return 0;
    }
    Self(v)->free_[it->second].push_back(block);
    Self(v)->sizes_.erase(it);
    return 0;
  }
  static QOXError Realloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, void** block, size_t newSize, uint32_t flags,
                          size_t oldSize) {
    void* b = Alloc(m, v, newSize, 0);
    if (b == nullptr) return kQOXErrOutOfMemory;
    std::memcpy(b, *block, oldSize < newSize ? oldSize : newSize);
    if ((flags & kQOXMemoryMgrFlags_Clear) && newSize > oldSize) std::memset(static_cast<uint8_t*>(b) + oldSize, 0,
                                                                             newSize - oldSize);
    Dealloc(m, v, *block, oldSize);
    *block = b;
    return 0;
  }
  static void* SecureAlloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, size_t size, uint32_t flags, bool* locked) {
    *locked = false;
    return Alloc(m, v, size, flags);
  }
  static QOXError SecureDealloc(QOXMemoryMgr* m, QOXMemoryMgrCustomValue v, void* block, size_t size, bool) {
    return Dealloc(m, v, block, size);
  }

  std::map<size_t, std::vector<void*>> free_;
  std::map<void*, size_t> sizes_;
};

TEST_F(FilterTest, NewDatabaseAtAReusedAddressIsEvaluatedAfresh) {
  Recycler recycler;
  QOXNewContextStruct record{kQOXAPIVersion, recycler.Make(), 0};
  ASSERT_NE(record.memoryMgr, nullptr);
  QOXContext* other = nullptr;
  ASSERT_EQ(QOXNewContextCustom(&record, &other), 0);

  // Alice's key, and the same bytes with the name "Alyce".
  const Bytes alice = ReadFile("alice.bin");
  Bytes alyce = alice;
  const std::string from = "Alice RSA";
  auto at = std::search(alyce.begin(), alyce.end(), from.begin(), from.end());
  ASSERT_NE(at, alyce.end());
  at[2] = 'y';

  QOXFilter* filter = Data(P::UserIDName, "Alice RSA", kQOXMatchCriterion_SubString);
  QOXKeyDB* first = nullptr;
  ASSERT_EQ(QOXNewKeyDB(other, &first), 0);
  ASSERT_EQ(Read(alice, false, first), 0);
  QOXKeyDBObj* oldKey = first->firstKey;
  ASSERT_TRUE(qoxKeyDBObjMatchesFilter(filter, oldKey));
  ASSERT_EQ(QOXFreeKeyDB(first), 0);

  QOXKeyDB* second = nullptr;
  ASSERT_EQ(QOXNewKeyDB(other, &second), 0);
  ASSERT_EQ(Read(alyce, false, second), 0);
  QOXKeyDBObj* newKey = second->firstKey;
  ASSERT_EQ(newKey, oldKey) << "the recycling manager did not put the new key at the old address";
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(filter, Children(newKey, kQOXKeyDBObjType_UserID)[0]))
      << "the freed database's answer was given for the new one";
  EXPECT_FALSE(qoxKeyDBObjMatchesFilter(filter, newKey));
  ASSERT_EQ(QOXFreeKeyDB(second), 0);
  EXPECT_EQ(QOXFreeFilter(filter), 0);
  QOXFreeContext(other);
}

// The combinators take over the references given and release them on
// failure; the last release frees a whole tree (ASan sees every block).
TEST_F(FilterTest, ReferencesAndErrors) {
  QOXFilter* out = reinterpret_cast<QOXFilter*>(1);
  EXPECT_EQ(QOXNewKeyDBObjNumericFilter(nullptr, 201, 1, 1, &out), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(QOXNewKeyDBObjBooleanFilter(context_, 102, true, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewKeyDBObjDataFilter(context_, 1200, nullptr, 3, 1, &out), kQOXErrBadParams);

  QOXFilter* a = Num(P::KeyBits, 1024, kQOXMatchCriterion_Equal);
  QOXFilter* b = Bool(P::KeyIsRevoked, false);
  EXPECT_EQ(b->criterion, kQOXMatchCriterion_Equal);
  EXPECT_EQ(a->filterType, kQOXFilterType_KeyNumber);
  ASSERT_EQ(QOXIncFilterRefCount(a), 0);
  ASSERT_EQ(QOXIncFilterRefCount(a), 0);
  ASSERT_EQ(QOXIncFilterRefCount(b), 0);
  // An invalid partner: both references given are released.
  out = reinterpret_cast<QOXFilter*>(1);
  uint8_t junk[sizeof(QOXFilter)] = {};
  EXPECT_EQ(QOXIntersectFilters(a, reinterpret_cast<QOXFilter*>(junk), &out), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(a->refCount, 2);
  EXPECT_EQ(QOXUnionFilters(a, b, nullptr), kQOXErrBadParams);  // no out: both released
  EXPECT_EQ(a->refCount, 1);
  EXPECT_EQ(b->refCount, 1);
  EXPECT_EQ(QOXNegateFilter(nullptr, &out), kQOXErrBadParams);

  // A tree: (NOT a) AND b, the filtered set holding one more reference.
  QOXFilter* tree = And(Not(a), b);
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->filterType, kQOXFilterType_And);
  QOXKeySet* set = nullptr;
  ASSERT_EQ(QOXFilterKeySet(QOXPeekKeyDBRootKeySet(db_), tree, &set), 0);
  EXPECT_EQ(tree->refCount, 2);
  EXPECT_EQ(QOXFreeFilter(tree), 0);
  EXPECT_TRUE(QOXFilterIsValid(tree)) << "the set still holds it";
  EXPECT_TRUE(QOXKeySetIsMember(Key(kAliceID), set));
  EXPECT_FALSE(QOXKeySetIsMember(Key(kBobID), set));
  EXPECT_EQ(QOXFreeKeySet(set), 0);  // the tree goes with it (the leak check sees it)
  EXPECT_FALSE(QOXFilterIsValid(nullptr));
  EXPECT_EQ(QOXFreeFilter(reinterpret_cast<QOXFilter*>(junk)), kQOXErrBadParams);

  EXPECT_EQ(QOXFilterKeySet(nullptr, a, &set), kQOXErrBadParams);
  EXPECT_EQ(QOXFilterKeyDB(db_, nullptr, &set), kQOXErrBadParams);
  EXPECT_EQ(set, nullptr);

  // A filtered set still made when its database goes is freed with it, and
  // releases its filter.
  QOXFilter* kept = Num(P::KeyBits, 2048, kQOXMatchCriterion_GreaterOrEqual);
  QOXKeySet* base = nullptr;
  ASSERT_EQ(QOXNewKeySet(db_, &base), 0);
  ASSERT_EQ(QOXFilterKeySet(base, kept, &set), 0);
  EXPECT_EQ(QOXFreeKeySet(base), 0);
  bool empty = qoxKeySetIsEmpty(set);
  EXPECT_FALSE(empty);
  ASSERT_EQ(QOXFreeKeyDB(db_), 0);
  db_ = nullptr;
  EXPECT_EQ(kept->refCount, 1);
  EXPECT_EQ(QOXFreeFilter(kept), 0);
}

// --- Query strings ---

struct QueryCase {
  const char* what;
  std::function<QOXFilter*()> make;
  QOXError error;
  const char* text;
};

class QueryTest : public FilterTest {
 protected:
  void Check(QOXError (*build)(QOXFilter*, char**), const std::vector<QueryCase>& cases) {
    for (const QueryCase& c : cases) {
      QOXFilter* f = c.make();
      ASSERT_NE(f, nullptr) << c.what;
      char* text = reinterpret_cast<char*>(1);
      EXPECT_EQ(build(f, &text), c.error) << c.what;
      if (c.error == 0) {
        ASSERT_NE(text, nullptr) << c.what;
        EXPECT_EQ(std::string(text), c.text) << c.what;
        QOXFreeData(text);
      } else {
        EXPECT_EQ(text, nullptr) << c.what;
      }
      EXPECT_EQ(QOXFreeFilter(f), 0);
    }
  }
};

constexpr uint32_t EQ = kQOXMatchCriterion_Equal, GE = kQOXMatchCriterion_GreaterOrEqual,
                   LE = kQOXMatchCriterion_LessOrEqual, SUB = kQOXMatchCriterion_SubString;

TEST_F(QueryTest, KeyServerLDAP) {
  const std::string nul("ab\0cd", 5);
  Check(QOXLDAPQueryFromFilter,
        {
            {"bits >=", [&] { return Num(P::KeyBits, 2048, GE); }, 0,
             "(&(|(qoxKeySize>=02048)(qoxKeySize=02048))(qoxDisabled=0))"},
            {"bits <=", [&] { return Num(P::KeyBits, 1024, LE); }, 0,
             "(&(|(qoxKeySize<=01024)(qoxKeySize=01024))(qoxDisabled=0))"},
            {"bits =", [&] { return Num(P::KeyBits, 768, EQ); }, 0, "(&(qoxKeySize=00768)(qoxDisabled=0))"},
            {"bits substring", [&] { return Num(P::KeyBits, 768, SUB); }, kQOXErrInvalidFilterParameter, ""},
            {"disabled false: no wrapper", [&] { return Bool(P::KeyIsDisabled, false); }, 0, "(qoxDisabled=0)"},
            {"disabled under NOT: no wrapper", [&] { return Not(Bool(P::KeyIsDisabled, true)); }, 0,
             "(!(qoxDisabled=1))"},
            {"revoked", [&] { return Bool(P::KeyIsRevoked, true); }, 0, "(&(qoxRevoked=1)(qoxDisabled=0))"},
            {"another boolean: no clause", [&] { return Bool(P::KeyIsSecret, true); }, 0, "(&(qoxDisabled=0))"},
            {"OR of name and key ID",
             [&] { return Or(Data(P::UserIDName, "alice", SUB), ID(P::KeyKeyID, kAliceID)); }, 0,
             "(&(|(qoxUserID=*alice*)(qoxCertID=7F5B1A7795C777D2))(qoxDisabled=0))"},
            {"4-byte key ID", [&] { return ID(P::KeyKeyID, "95C777D2"); }, 0,
             "(&(qoxKeyID=95C777D2)(qoxDisabled=0))"},
            {"signer", [&] { return ID(P::SigKeyID, kCarolID); }, 0,
             "(&(qoxSignerID=AF10651591978554)(qoxDisabled=0))"},
            {"subkey ID", [&] { return ID(P::SubKeyKeyID, kAliceSubID); }, 0,
             "(&(qoxSubKeyID=5AF0F40BB8E313D8)(qoxDisabled=0))"},
            {"key ID value too short", [&] { return Data(P::KeyKeyID, "1234", EQ); }, kQOXErrBadParams, ""},
            {"RSA", [&] { return Num(P::KeyAlgorithm, 3, GE); }, 0, "(&(qoxKeyType=RSA)(qoxDisabled=0))"},
            {"DSA", [&] { return Num(P::KeyAlgorithm, 16, EQ); }, 0, "(&(qoxKeyType=DSS/DH)(qoxDisabled=0))"},
            {"subkey algorithm", [&] { return Num(P::SubKeyAlgorithm, 17, EQ); }, 0,
             "(&(qoxKeyType=DSS/DH)(qoxDisabled=0))"},
            {"algorithm 0", [&] { return Num(P::KeyAlgorithm, 0, EQ); }, kQOXErrInvalidFilterParameter, ""},
            {"creation 0: no clause", [&] { return Time(P::KeyCreation, 0, EQ); }, 0, "(&(qoxDisabled=0))"},
            {"creation >=", [&] { return Time(P::KeyCreation, 1796948860, GE); }, 0,
             "(&(|(qoxKeyCreateTime>=20261211002740Z)(qoxKeyCreateTime=20261211002740Z))(qoxDisabled=0))"},
            {"expiry =", [&] { return Time(P::KeyExpiration, 1860020862, EQ); }, 0,
             "(&(qoxKeyExpireTime=20281210002742Z)(qoxDisabled=0))"},
            {"expiry <=", [&] { return Time(P::KeyExpiration, 1860020862, LE); }, 0,
             "(&(|(qoxKeyExpireTime<=20281210002742Z)(qoxKeyExpireTime=20281210002742Z))(qoxDisabled=0))"},
            {"expiry substring", [&] { return Time(P::KeyExpiration, 1, SUB); }, kQOXErrInvalidFilterParameter, ""},
            {"name substring", [&] { return Data(P::UserIDName, "Ann", SUB); }, 0,
             "(&(qoxUserID=*Ann*)(qoxDisabled=0))"},
            {"name equal", [&] { return Data(P::UserIDName, "Ann", EQ); }, 0, "(&(qoxUserID=Ann)(qoxDisabled=0))"},
            {"empty substring", [&] { return Data(P::UserIDName, "", SUB); }, 0,
             "(&(qoxUserID=*)(qoxDisabled=0))"},
            {"star substring", [&] { return Data(P::UserIDName, "*", SUB); }, 0,
             "(&(qoxUserID=*)(qoxDisabled=0))"},
            {"escapes", [&] { return Data(P::UserIDName, "a(b)c\\d*e", EQ); }, 0,
             "(&(qoxUserID=a\\(b\\)c\\\\d*e)(qoxDisabled=0))"},
            {"value ends at NUL", [&] { return Data(P::UserIDName, nul, SUB); }, 0,
             "(&(qoxUserID=*ab*)(qoxDisabled=0))"},
            {"e-mail substring", [&] { return Data(P::UserIDEmailAddress, "example", SUB); }, 0,
             "(&(qoxUserID=*<*example*>*)(qoxDisabled=0))"},
            {"e-mail equal", [&] { return Data(P::UserIDEmailAddress, "a(1)@b", EQ); }, 0,
             "(&(qoxUserID=*<a\\(1\\)@b>*)(qoxDisabled=0))"},
            {"another user-ID property: no clause", [&] { return Data(P::UserIDCommonName, "x", EQ); }, 0,
             "(&(qoxDisabled=0))"},
            {"user-ID number", [&] { return Num(P::UserIDValidity, 1, EQ); }, kQOXErrUnknownFilterType, ""},
            {"signature time", [&] { return Time(P::SigCreation, 1, EQ); }, kQOXErrUnknownFilterType, ""},
            {"error inside AND", [&] { return And(Data(P::UserIDName, "x", SUB), Num(P::SigAlgorithm, 1, EQ)); },
             kQOXErrUnknownFilterType, ""},
        });
}

TEST_F(QueryTest, X509LDAP) {
  Check(QOXLDAPX509QueryFromFilter,
        {
            {"name substring", [&] { return Data(P::UserIDName, "Bob (x)", SUB); }, 0, "(cn=*Bob \\(x\\)*)"},
            {"name equal", [&] { return Data(P::UserIDName, "C:\\d", EQ); }, 0, "(cn=C:\\\\d)"},
            {"empty", [&] { return Data(P::UserIDName, "", SUB); }, 0, "(cn=*)"},
            {"OR of names", [&] { return Or(Data(P::UserIDName, "a", EQ), Data(P::UserIDName, "b", SUB)); }, 0,
             "(|(cn=a)(cn=*b*))"},
            {"e-mail: no clause", [&] { return Data(P::UserIDEmailAddress, "a@b", SUB); }, 0, ""},
            {"key property", [&] { return Num(P::KeyBits, 1024, EQ); }, kQOXErrSearchUnavailableLDAP, ""},
            {"key property in AND", [&] { return And(Data(P::UserIDName, "a", EQ), ID(P::KeyKeyID, kAliceID)); },
             kQOXErrSearchUnavailableLDAP, ""},
            {"signature data", [&] { return ID(P::SigKeyID, kAliceID); }, kQOXErrUnknownFilterType, ""},
        });
}

TEST_F(QueryTest, HTTPKeyServerAndCertificateAuthority) {
  Bytes fpr(20);
  for (size_t i = 0; i < 20; ++i) fpr[i] = static_cast<uint8_t>(std::stoi(std::string(kAliceFpr + 2 * i, 2), nullptr, 16));
  Check(QOXHKSQueryFromFilter,
        {
            {"name", [&] { return Data(P::UserIDName, "john doe", SUB); }, 0, "exact=off&search=john+doe"},
            {"encoded bytes", [&] { return Data(P::UserIDEmailAddress, "a-b/\xC3\xA9", SUB); }, 0,
             "exact=off&search=a-b%2F%C3%A9"},
            {"name equal", [&] { return Data(P::UserIDName, "john doe", EQ); }, kQOXErrSearchUnavailableHTTP, ""},
            {"OR", [&] { return Or(Data(P::UserIDName, "a", SUB), Data(P::UserIDName, "b", SUB)); },
             kQOXErrSearchUnavailableHTTP, ""},
            {"key ID", [&] { return ID(P::KeyKeyID, kAliceID); }, 0, "exact=off&search=0x95C777D2"},
            {"bits", [&] { return Num(P::KeyBits, 1, EQ); }, kQOXErrSearchUnavailableHTTP, ""},
            {"time", [&] { return Time(P::KeyCreation, 1, EQ); }, kQOXErrUnknownFilterType, ""},
        });
  Check(QOXCorvixCAHTTPQueryFromFilter,
        {
            {"fingerprint",
             [&] {
               QOXFilter* f = nullptr;
               EXPECT_EQ(QOXNewKeyDBObjDataFilter(context_, N(P::KeyFingerprint), fpr.data(), 20, EQ, &f), 0);
               return f;
             },
             0, "md5=BCC350EEA44A07975FD2BCFD7F5B1A7795C777D2"},
            {"X.509 digest",
             [&] {
               QOXFilter* f = nullptr;
               EXPECT_EQ(QOXNewKeyDBObjDataFilter(context_, N(P::KeyX509Digest), "\x01\xAB", 2, EQ, &f), 0);
               return f;
             },
             0, "cnk=01AB"},
            {"key ID", [&] { return ID(P::KeyKeyID, kAliceID); }, kQOXErrUnsupportedFilterType, ""},
            {"OR", [&] { return Or(ID(P::KeyKeyID, kAliceID), ID(P::KeyKeyID, kBobID)); },
             kQOXErrUnsupportedFilterType, ""},
        });
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(QOXHKSQueryFromFilter(nullptr, &text), kQOXErrBadParams);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(QOXLDAPQueryFromFilter(nullptr, nullptr), kQOXErrBadParams);
}

// The server keeps creation and expiry in UTC: a zone far from UTC changes
// nothing in the text (gpg's creation time, Python's UTC calendar).
TEST_F(QueryTest, TimesAreWrittenInUTC) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("TZ", "XST-14", 1);  // UTC+14
  tzset();
  QOXFilter* f = Time(P::KeyCreation, 1796948860, EQ);  // Alice's creation
  char* text = nullptr;
  ASSERT_EQ(QOXLDAPQueryFromFilter(f, &text), 0);
  EXPECT_STREQ(text, "(&(qoxKeyCreateTime=20261211002740Z)(qoxDisabled=0))");
  QOXFreeData(text);
  QOXFreeFilter(f);
  if (saved != nullptr) {
    setenv("TZ", restore.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// Refused memory at every step of making a tree and writing its queries
// (the LDAP text grown past its first block): each call fails with
// kQOXErrOutOfMemory or succeeds, nothing is handed out on failure, and
// every block comes back.
TEST(FilterMemoryTest, RefusedMemoryLeavesNothing) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  ostrak_test::CountingMemoryMgr counting;
  QOXNewContextStruct record{kQOXAPIVersion, counting.Make(), 0};
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContextCustom(&record, &context), 0);
  const long baseline = counting.live();
  const std::string longName(1500, 'n');
  bool completed = false;
  for (long budget = 0; budget < 64 && !completed; ++budget) {
    counting.FailAfter(budget);
    QOXFilter* name = nullptr;
    QOXFilter* bits = nullptr;
    QOXFilter* both = nullptr;
    QOXError err = QOXNewKeyDBObjDataFilter(context, N(P::UserIDName), longName.data(), longName.size(),
                                            kQOXMatchCriterion_SubString, &name);
    if (err == 0)
      err = QOXNewKeyDBObjDataFilter(context, N(P::UserIDEmailAddress), "e@x", 3, kQOXMatchCriterion_Equal, &bits);
    if (err == 0) {
      err = QOXUnionFilters(name, bits, &both);
      name = bits = nullptr;  // taken over, or released on failure
    }
    char* ldap = nullptr;
    char* x509 = nullptr;
    char* hks = nullptr;
    if (err == 0) err = QOXLDAPQueryFromFilter(both, &ldap);
    if (err == 0) err = QOXLDAPX509QueryFromFilter(both, &x509);
    if (err == 0) err = QOXHKSQueryFromFilter(both, &hks);
    if (err == kQOXErrSearchUnavailableHTTP) {
      err = 0;
      completed = true;
      EXPECT_EQ(std::string(ldap), "(&(|(qoxUserID=*" + longName + "*)(qoxUserID=*<e@x>*))(qoxDisabled=0))");
      EXPECT_EQ(std::string(x509), "(|(cn=*" + longName + "*))");
    }
    counting.FailAfter(-1);
    EXPECT_TRUE(err == 0 || err == kQOXErrOutOfMemory) << err;
    EXPECT_EQ(hks, nullptr);
    for (char* t : {ldap, x509}) {
      if (t != nullptr) QOXFreeData(t);
    }
    for (QOXFilter* f : {name, bits, both}) {
      if (f != nullptr) QOXFreeFilter(f);
    }
    EXPECT_EQ(counting.live(), baseline) << "budget " << budget;
  }
  EXPECT_TRUE(completed);
  QOXFreeContext(context);
  QOXsdkCleanup();
}

// --- Read-back through the LDAP client's filter reader ---

// A small BER walker (definite lengths, one-octet tags) over the reader's
// output: the values of the equality and substring components for one
// attribute, in order.
struct Component {
  uint8_t tag;  // 0xA3 equality; 0x80, 0x81, 0x82 substring parts
  std::string value;
};

void Walk(const uint8_t* p, size_t n, const std::string& attribute, std::vector<Component>* out) {
  size_t at = 0;
  while (at + 2 <= n) {
    const uint8_t tag = p[at];
    size_t len = p[at + 1];
    size_t head = 2;
    if (len & 0x80) {
      const size_t k = len & 0x7F;
      len = 0;
      for (size_t i = 0; i < k; ++i) len = (len << 8) | p[at + 2 + i];
      head += k;
    }
    ASSERT_LE(at + head + len, n);
    const uint8_t* body = p + at + head;
    if (tag == 0xA3 || tag == 0xA4) {
      // type, then the value or the sequence of parts
      ASSERT_EQ(body[0], 0x04);
      const std::string type(reinterpret_cast<const char*>(body + 2), body[1]);
      const uint8_t* rest = body + 2 + body[1];
      const size_t restLength = len - 2 - body[1];
      if (type == attribute) {
        if (tag == 0xA3) {
          ASSERT_EQ(rest[0], 0x04);
          out->push_back({0xA3, std::string(reinterpret_cast<const char*>(rest + 2), rest[1])});
        } else {
          ASSERT_EQ(rest[0], 0x30);
          size_t q = 2;
          while (q < restLength) {
            out->push_back({rest[q], std::string(reinterpret_cast<const char*>(rest + q + 2), rest[q + 1])});
            q += 2 + rest[q + 1];
          }
        }
      }
    } else if (tag == 0xA0 || tag == 0xA1 || tag == 0xA2) {
      Walk(body, len, attribute, out);
    }
    at += head + len;
  }
}

TEST_F(QueryTest, UserIDClausesReadBackThroughTheLDAPReader) {
  QOXldapContext ld = nullptr;
  ASSERT_EQ(QOXNewLDAPContext(context_, &ld), 0);
  const char* names[] = {"Ann (work) <ann@example.org>", "C:\\temp\\", "a)b(c", "\\(", "plain", "x\\*y"};
  for (const char* name : names) {
    const bool star = std::strchr(name, '*') != nullptr;
    for (uint32_t criterion : {EQ, SUB}) {
      for (auto build : {QOXLDAPQueryFromFilter, QOXLDAPX509QueryFromFilter}) {
        const bool x509 = build == QOXLDAPX509QueryFromFilter;
        QOXFilter* f = Data(P::UserIDName, name, criterion);
        char* text = nullptr;
        ASSERT_EQ(build(f, &text), 0) << name;
        QOXberElement* e = nullptr;
        ASSERT_EQ(QOXNewBERElement(context_, &e), 0);
        ASSERT_EQ(qoxLDAPAddFilter(ld, e, text), 0) << text;
        const uint8_t* encoding = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(QOXberGetEncoding(e, &encoding), 0);
        ASSERT_EQ(QOXberGetLength(e, &length), 0);
        std::vector<Component> parts;
        Walk(encoding, length, x509 ? "cn" : "qoxUserID", &parts);
        // An unescaped "*" stays a wildcard: the name's pieces around it.
        std::vector<std::string> expected;
        if (star) {
          const std::string s(name);
          expected = {s.substr(0, s.find('*')), s.substr(s.find('*') + 1)};
        } else {
          expected = {name};
        }
        ASSERT_EQ(parts.size(), expected.size()) << text;
        for (size_t i = 0; i < parts.size(); ++i) {
          EXPECT_EQ(parts[i].value, expected[i]) << text;
          if (!star && criterion == EQ) EXPECT_EQ(parts[i].tag, 0xA3) << text;
          if (criterion == SUB) EXPECT_EQ(parts[i].tag, 0x81) << text << " (an 'any' part)";
        }
        QOXFreeBERElement(e);
        QOXFreeData(text);
        QOXFreeFilter(f);
      }
    }
  }
  // The e-mail form: "<", the address, ">" as substring parts.
  QOXFilter* f = Data(P::UserIDEmailAddress, "a\\b(c)", SUB);
  char* text = nullptr;
  ASSERT_EQ(QOXLDAPQueryFromFilter(f, &text), 0);
  QOXberElement* e = nullptr;
  ASSERT_EQ(QOXNewBERElement(context_, &e), 0);
  ASSERT_EQ(qoxLDAPAddFilter(ld, e, text), 0) << text;
  const uint8_t* encoding = nullptr;
  uint32_t length = 0;
  QOXberGetEncoding(e, &encoding);
  QOXberGetLength(e, &length);
  std::vector<Component> parts;
  Walk(encoding, length, "qoxUserID", &parts);
  ASSERT_EQ(parts.size(), 3u) << text;
  EXPECT_EQ(parts[1].value, "a\\b(c)");
  QOXFreeBERElement(e);
  QOXFreeData(text);
  QOXFreeFilter(f);
  QOXFreeLDAPContext(ld);
}

}  // namespace

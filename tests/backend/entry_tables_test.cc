// The DN, entry and children tables and the entry cache.
#include "backend/entry_tables.h"

#include "backend/entry_cache.h"
#include "backend/idl.h"
#include "ldbm_test_support.h"
#include "server/entry.h"

namespace {

Entry* MakeEntry(const std::string& dn, ID id) {
  std::string text = "dn: " + dn + "\ncn: x\n";
  Entry* e = str2entry(text.data());
  if (e != nullptr) e->e_id = id;
  return e;
}

TEST(Dn2Id, AddLookUpRefuseAndDelete) {
  TempBackend t;
  EXPECT_EQ(dn2id_add(t.be(), "cn=Ann, o=Test", 4), 0);
  EXPECT_EQ(dn2id_add(t.be(), "CN=ANN,O=TEST", 5), DB_KEYEXIST);
  EXPECT_EQ(dn2id(t.be(), "cn=ann,o=test"), 4u);
  EXPECT_EQ(dn2id(t.be(), "cn=bob,o=test"), NOID);
  ldbm_cache_flush_all(t.be());
  EXPECT_EQ(DumpFile(t.path("dn2id.dbh")).records[Key("CN=ANN,O=TEST")], Be32(4));
  char dn[] = "cn=ann , o=test";
  EXPECT_EQ(dn2id_delete(t.be(), dn), 0);
  EXPECT_STREQ(dn, "CN=ANN,O=TEST");
  EXPECT_EQ(dn2id(t.be(), "cn=ann,o=test"), NOID);
}

TEST(Id2Entry, WriteReadAndDelete) {
  TempBackend t;
  Entry* e = MakeEntry("cn=Ann,o=Test", 7);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(id2entry_add(t.be(), e), 0);  // the cache takes it, held once
  EntryCache* cache = &t.li()->entryCache;
  cache_return_entry(cache, e);
  ldbm_cache_flush_all(t.be());
  EXPECT_EQ(DumpFile(t.path("id2entry.dbb")).records[Be32(7)], Key("7\ndn: cn=Ann,o=Test\ncn: x\n"));

  // Found through the cache by ID and by DN.
  Entry* again = id2entry(t.be(), 7);
  EXPECT_EQ(again, e);
  cache_return_entry(cache, again);
  ASSERT_EQ(dn2id_add(t.be(), "cn=Ann,o=Test", 7), 0);
  char* matched = reinterpret_cast<char*>(1);
  Entry* byDn = dn2entry(t.be(), "CN=ANN,O=TEST", &matched);
  EXPECT_EQ(byDn, e);
  EXPECT_EQ(matched, nullptr);
  cache_return_entry(cache, byDn);

  // A cold cache parses the stored text.
  cache_release(cache);
  Entry* parsed = id2entry(t.be(), 7);
  ASSERT_NE(parsed, nullptr);
  EXPECT_STREQ(parsed->e_dn, "cn=Ann,o=Test");
  EXPECT_EQ(parsed->e_id, 7u);
  EXPECT_EQ(id2entry(t.be(), 8), nullptr);

  EXPECT_EQ(id2entry_delete(t.be(), parsed), 0);
  cache_return_entry(cache, parsed);  // the last holder frees it
  EXPECT_EQ(id2entry(t.be(), 7), nullptr);
}

TEST(Id2Entry, UnparsableTextGivesNull) {
  TempBackend t;
  DbCacheSlot* slot = ldbm_cache_open(t.be(), "id2entry", ".dbb", DB_CREATE);
  uint8_t key[4];
  ldbm_id_bytes(3, key);
  ASSERT_EQ(ldbm_cache_store(slot, ldbm_datum_of(key, 4), ldbm_datum_of("no entry here", 13), 0), 0);
  ldbm_cache_close(t.be(), slot);
  EXPECT_EQ(id2entry(t.be(), 3), nullptr);
}

TEST(Id2Children, ListsUnderTheParentId) {
  TempBackend t;
  Entry* root = MakeEntry("o=Test", 1);
  Entry* a = MakeEntry("cn=a,o=Test", 2);
  Entry* b = MakeEntry("cn=b,o=Test", 3);
  EXPECT_EQ(id2children_add(t.be(), nullptr, root), 0);
  EXPECT_EQ(id2children_add(t.be(), root, b), 0);
  EXPECT_EQ(id2children_add(t.be(), root, a), 0);
  ldbm_cache_flush_all(t.be());
  auto records = DumpFile(t.path("id2children.dbb")).records;
  EXPECT_EQ(Words(records[Key("=0")]), (std::vector<uint32_t>{1, 1, 1}));
  EXPECT_EQ(Words(records[Key("=1")]), (std::vector<uint32_t>{2, 2, 2, 3}));
  EXPECT_EQ(has_children(t.be(), root), 1);
  EXPECT_EQ(has_children(t.be(), a), 0);
  EXPECT_EQ(id2children_remove(t.be(), root, a), 0);
  EXPECT_EQ(id2children_remove(t.be(), root, a), -1);
  EXPECT_EQ(id2children_delete_all(t.be(), root), 0);
  EXPECT_EQ(has_children(t.be(), root), 0);
  for (Entry* e : {root, a, b}) entry_free(e);
}

class Cache : public ::testing::Test {
 protected:
  void SetUp() override { cache_init(&c_, 2); }
  void TearDown() override {
    cache_release(&c_);
    QOXMutexDestroy(&c_.mutex);
  }
  std::vector<std::string> Lru() {
    std::vector<std::string> dns;
    for (Entry* e = c_.lruHead; e != nullptr; e = e->e_lrunext) dns.push_back(e->e_dn);
    return dns;
  }
  EntryCache c_{};
};

TEST_F(Cache, EvictsTheLeastRecentlyUsedUnheldEntry) {
  for (ID id = 1; id <= 3; ++id) {
    Entry* e = MakeEntry("cn=" + std::to_string(id), id);
    ASSERT_EQ(cache_add_entry_lock(&c_, e, kEntryReady), 0);
    cache_return_entry(&c_, e);
  }
  EXPECT_EQ(c_.curSize, 2);
  EXPECT_EQ(Lru(), (std::vector<std::string>{"cn=3", "cn=2"}));
  EXPECT_EQ(cache_find_entry_id(&c_, 1), nullptr);
  Entry* two = cache_find_entry_dn(&c_, "CN=2");  // any case; moves to the head
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->e_refcnt, 1);
  EXPECT_EQ(Lru(), (std::vector<std::string>{"cn=2", "cn=3"}));
  cache_return_entry(&c_, two);
}

TEST_F(Cache, HeldEntriesAreNeverEvicted) {
  Entry* a = MakeEntry("cn=a", 1);
  Entry* b = MakeEntry("cn=b", 2);
  Entry* c = MakeEntry("cn=c", 3);
  ASSERT_EQ(cache_add_entry_lock(&c_, a, kEntryReady), 0);
  ASSERT_EQ(cache_add_entry_lock(&c_, b, kEntryReady), 0);
  ASSERT_EQ(cache_add_entry_lock(&c_, c, kEntryReady), 0);
  EXPECT_EQ(c_.curSize, 3);
  for (Entry* e : {a, b, c}) cache_return_entry(&c_, e);
  Entry* d = MakeEntry("cn=d", 4);
  ASSERT_EQ(cache_add_entry_lock(&c_, d, kEntryReady), 0);  // shrinks back
  EXPECT_EQ(c_.curSize, 2);
  cache_return_entry(&c_, d);
}

TEST_F(Cache, DuplicatesAreRefused) {
  Entry* a = MakeEntry("cn=Same", 1);
  ASSERT_EQ(cache_add_entry_lock(&c_, a, kEntryReady), 0);
  Entry* sameDn = MakeEntry("CN=SAME", 2);
  Entry* sameId = MakeEntry("cn=other", 1);
  EXPECT_EQ(cache_add_entry_lock(&c_, sameDn, kEntryReady), 1);
  EXPECT_EQ(cache_add_entry_lock(&c_, sameId, kEntryReady), -1);
  EXPECT_EQ(cache_find_entry_dn(&c_, "CN=OTHER"), nullptr);  // undone from the DN tree
  EXPECT_EQ(c_.curSize, 1);
  entry_free(sameDn);
  entry_free(sameId);
  cache_return_entry(&c_, a);
}

TEST_F(Cache, EntriesBeingCreatedAreNotFound) {
  Entry* a = MakeEntry("cn=new", 5);
  ASSERT_EQ(cache_add_entry_lock(&c_, a, kEntryCreating), 0);
  EXPECT_EQ(cache_find_entry_dn(&c_, "CN=NEW"), nullptr);
  EXPECT_EQ(cache_find_entry_id(&c_, 5), nullptr);
  cache_set_state(&c_, a, kEntryReady);
  Entry* found = cache_find_entry_id(&c_, 5);
  EXPECT_EQ(found, a);
  cache_return_entry(&c_, found);
  cache_return_entry(&c_, a);
}

TEST_F(Cache, DeletedHeldEntryIsFreedByItsLastHolder) {
  Entry* a = MakeEntry("cn=gone", 6);
  ASSERT_EQ(cache_add_entry_lock(&c_, a, kEntryReady), 0);
  Entry* again = cache_find_entry_id(&c_, 6);
  EXPECT_EQ(cache_delete_entry(&c_, a), 0);
  EXPECT_EQ(a->e_state, kEntryDeleted);
  EXPECT_EQ(cache_find_entry_id(&c_, 6), nullptr);
  EXPECT_EQ(cache_delete_entry(&c_, a), -1);
  EXPECT_EQ(c_.curSize, 0);
  cache_return_entry(&c_, again);
  cache_return_entry(&c_, a);  // freed here (AddressSanitizer sees a leak or a double free otherwise)
}

}  // namespace

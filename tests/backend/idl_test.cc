// ID lists: blocks in memory, their records as the Berkeley DB dump tool
// reads them, splits into indirect lists, ALLIDS, deletion, set operations
// and iteration.
#include "backend/idl.h"

#include <fstream>

#include "backend/next_id.h"
#include "ldbm_test_support.h"

namespace {

using Ids = std::vector<uint32_t>;

struct IdlDeleter {
  void operator()(IdList* b) const { idl_free(b); }
};
using IdlPtr = std::unique_ptr<IdList, IdlDeleter>;

IdlPtr Make(const Ids& ids) {
  IdlPtr b(idl_alloc(static_cast<uint32_t>(ids.size())));
  for (uint32_t id : ids) b->b_ids[b->b_nids++] = id;
  return b;
}

IdlPtr AllIds(uint32_t next) {
  IdlPtr b(idl_alloc(0));
  b->b_nids = next;
  return b;
}

Ids Contents(const IdList* b) {
  if (b == nullptr) return {};
  return Ids(b->b_ids, b->b_ids + b->b_nids);
}

// A table with pinned block limits, read back through the dump tool.
class IdlTable : public ::testing::Test {
 protected:
  void Pin(uint32_t maxids, uint32_t maxindirect) {
    slot_->maxids = maxids;
    slot_->maxindirect = maxindirect;
  }
  void SetUp() override {
    slot_ = ldbm_cache_open(t_.be(), "id2children", ".dbb", DB_CREATE);
    ASSERT_NE(slot_, nullptr);
    Pin(1022, 4);  // the limits of 4096-byte blocks
  }
  void TearDown() override { ldbm_cache_close(t_.be(), slot_); }
  int Insert(const std::string& key, ID id) { return idl_insert_key(t_.be(), slot_, K(key), id); }
  int Delete(const std::string& key, ID id) { return idl_delete_key(t_.be(), slot_, K(key), id); }
  Ids Fetch(const std::string& key) {
    IdlPtr b(idl_fetch(t_.be(), slot_, K(key)));
    return Contents(b.get());
  }
  static Datum K(const std::string& key) {
    return ldbm_datum_of(key.c_str(), static_cast<uint32_t>(key.size() + 1));
  }
  std::map<std::string, Ids> Records() {
    ldbm_cache_flush_all(t_.be());
    std::map<std::string, Ids> out;
    for (auto& [k, v] : DumpFile(t_.path("id2children.dbb")).records) out[k] = Words(v);
    return out;
  }

  TempBackend t_;
  DbCacheSlot* slot_ = nullptr;
};

TEST(IdlBlock, InsertGrowsByDoublingAndRefusesDuplicates) {
  IdlPtr b(idl_alloc(1));
  IdList* raw = b.release();
  EXPECT_EQ(idl_insert(&raw, 5, 1022), 1);
  EXPECT_EQ(idl_insert(&raw, 3, 1022), 1);
  EXPECT_EQ(raw->b_nmax, 2u);
  EXPECT_EQ(idl_insert(&raw, 5, 1022), 2);
  EXPECT_EQ(idl_insert(&raw, 4, 1022), 0);
  EXPECT_EQ(raw->b_nmax, 4u);
  EXPECT_EQ(Contents(raw), (Ids{3, 4, 5}));
  EXPECT_EQ(raw->b_ids[3], 0u);
  EXPECT_EQ(idl_insert(&raw, 9, 4), 0);
  EXPECT_EQ(idl_insert(&raw, 10, 4), 3);  // full at maxids
  b.reset(raw);
  IdlPtr all = AllIds(7);
  raw = all.release();
  EXPECT_EQ(idl_insert(&raw, 2, 4), 2);
  all.reset(raw);
}

TEST(IdlBlock, DecodingRefusesRecordsThatDoNotMatchTheirLength) {
  const uint8_t good[] = {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0};
  IdlPtr b(idl_decode(good, sizeof good));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Contents(b.get()), (Ids{9}));
  const uint8_t tooLong[] = {0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0};   // nmax 9 in 16 bytes
  const uint8_t tooMany[] = {0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 9, 0, 0, 0, 0};   // nids above nmax
  const uint8_t ragged[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0};
  EXPECT_EQ(idl_decode(tooLong, sizeof tooLong), nullptr);
  EXPECT_EQ(idl_decode(tooMany, sizeof tooMany), nullptr);
  EXPECT_EQ(idl_decode(ragged, sizeof ragged), nullptr);
  EXPECT_EQ(idl_decode(good, 4), nullptr);
}

TEST_F(IdlTable, DirectRecordsAreBigEndianBlocks) {
  EXPECT_EQ(Insert("=1", 5), 0);
  EXPECT_EQ(Records()["=1" + std::string(1, '\0')], (Ids{1, 1, 5}));
  EXPECT_EQ(Insert("=1", 3), 0);
  EXPECT_EQ(Insert("=1", 5), 0);
  EXPECT_EQ(Records()[Key("=1")], (Ids{2, 2, 3, 5}));
  EXPECT_EQ(Insert("=1", 0x01020304), 0);
  ldbm_cache_flush_all(t_.be());
  auto raw = DumpFile(t_.path("id2children.dbb")).records[Key("=1")];
  EXPECT_EQ(raw.substr(16, 4), std::string("\x01\x02\x03\x04", 4));
}

TEST_F(IdlTable, The1023rdIdSplitsIntoAHeaderAndTwoContinuationBlocks) {
  for (ID id = 1; id <= 1022; ++id) ASSERT_EQ(Insert("=7", id), 0);
  auto before = Records();
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[Key("=7")][0], 1022u);
  EXPECT_EQ(Insert("=7", 1023), 0);
  auto after = Records();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[Key("=7")], (Ids{3, 0, 1, 1023, NOID}));
  Ids first = after[Key("\\=71")];
  ASSERT_EQ(first.size(), 1024u);
  EXPECT_EQ(first[0], 1022u);
  EXPECT_EQ(first[1], 1022u);
  EXPECT_EQ(first[1023], 1022u);
  EXPECT_EQ(after[Key("\\=71023")], (Ids{1, 1, 1023}));
  Ids all = Fetch("=7");
  ASSERT_EQ(all.size(), 1023u);
  for (uint32_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i + 1);
}

TEST_F(IdlTable, NewFirstIdMovesTheFirstBlockAndEqualFirstIdsChangeNothing) {
  for (ID id = 100; id < 100 + 1022; ++id) ASSERT_EQ(Insert("=2", id), 0);
  EXPECT_EQ(Insert("=2", 50), 0);  // below all: {50} and the old block
  EXPECT_EQ(Records()[Key("=2")], (Ids{3, 0, 50, 100, NOID}));
  EXPECT_EQ(Insert("=2", 20), 0);
  auto r = Records();
  EXPECT_EQ(r[Key("=2")], (Ids{3, 0, 20, 100, NOID}));
  EXPECT_EQ(r.count(Key("\\=250")), 0u);
  EXPECT_EQ(r[Key("\\=220")], (Ids{2, 2, 20, 50}));
  EXPECT_EQ(Insert("=2", 100), 0);
  EXPECT_EQ(Insert("=2", 20), 0);
  EXPECT_EQ(Records(), r);
}

// A full block takes an ID inside its own range by a split, never by
// opening the next block: the blocks must stay in order end to end.
TEST_F(IdlTable, FullBlocksStayInOrder) {
  Pin(4, 4);
  for (ID id : {10, 20, 30, 40, 100}) ASSERT_EQ(Insert("=3", id), 0);
  EXPECT_EQ(Records()[Key("=3")], (Ids{3, 0, 10, 100, NOID}));
  EXPECT_EQ(Insert("=3", 25), 0);
  EXPECT_EQ(Fetch("=3"), (Ids{10, 20, 25, 30, 40, 100}));
  EXPECT_EQ(Records()[Key("=3")], (Ids{4, 0, 10, 25, 100, NOID}));
  // 26 fills {25, 30, 40} up to maxids; 27 then splits that block.
  for (ID id : {26, 27}) ASSERT_EQ(Insert("=3", id), 0);
  Ids all = Fetch("=3");
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all, (Ids{10, 20, 25, 26, 27, 30, 40, 100}));
}

TEST_F(IdlTable, NextBlockTakesAnIdBeyondAFullBlock) {
  Pin(4, 4);
  for (ID id : {10, 20, 30, 40, 100}) ASSERT_EQ(Insert("=4", id), 0);
  EXPECT_EQ(Insert("=4", 50), 0);
  auto r = Records();
  EXPECT_EQ(r[Key("=4")], (Ids{3, 0, 10, 50, NOID}));
  EXPECT_EQ(r[Key("\\=450")], (Ids{2, 2, 50, 100}));
  EXPECT_EQ(r.count(Key("\\=4100")), 0u);
}

TEST_F(IdlTable, PastMaxIndirectTheListBecomesAllIds) {
  Pin(4, 4);
  std::ofstream(t_.path("NEXTID")) << "18\n";
  for (ID id = 1; id <= 16; ++id) ASSERT_EQ(Insert("=5", id), 0);
  auto r = Records();
  EXPECT_EQ(r[Key("=5")], (Ids{5, 0, 1, 5, 9, 13, NOID}));
  EXPECT_EQ(r.size(), 5u);
  EXPECT_EQ(Insert("=5", 17), 0);
  r = Records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[Key("=5")], (Ids{0, 18}));
  // Inserting into and deleting from ALLIDS changes nothing; reading it
  // reports the current next ID.
  EXPECT_EQ(Insert("=5", 99), 0);
  EXPECT_EQ(Delete("=5", 3), 0);
  EXPECT_EQ(Records(), r);
  EXPECT_EQ(next_id(t_.be(), 0), 18);
  IdlPtr all(idl_fetch(t_.be(), slot_, K("=5")));
  ASSERT_TRUE(idl_is_allids(all.get()));
  EXPECT_EQ(all->b_nids, 19u);
}

TEST_F(IdlTable, MaxIndirectBelowTwoGoesStraightToAllIds) {
  Pin(2, 1);
  for (ID id : {1, 2, 3}) ASSERT_EQ(Insert("=6", id), 0);
  EXPECT_EQ(Records()[Key("=6")][0], 0u);
}

TEST_F(IdlTable, DeleteShrinksListsAndRemovesEmptyBlocks) {
  EXPECT_EQ(Delete("=8", 1), -1);  // no list
  ASSERT_EQ(Insert("=8", 4), 0);
  ASSERT_EQ(Insert("=8", 6), 0);
  EXPECT_EQ(Delete("=8", 5), -1);
  EXPECT_EQ(Delete("=8", 4), 0);
  EXPECT_EQ(Records()[Key("=8")], (Ids{2, 1, 6, NOID}));
  EXPECT_EQ(Delete("=8", 6), 0);
  EXPECT_EQ(Records().count(Key("=8")), 0u);

  Pin(4, 4);
  for (ID id : {1, 2, 3, 4, 5}) ASSERT_EQ(Insert("=9", id), 0);
  EXPECT_EQ(Delete("=9", 1), 0);  // the block keeps its key and header entry
  auto r = Records();
  EXPECT_EQ(r[Key("\\=91")], (Ids{4, 3, 2, 3, 4, NOID}));
  EXPECT_EQ(r[Key("=9")], (Ids{3, 0, 1, 5, NOID}));
  EXPECT_EQ(Delete("=9", 5), 0);  // an emptied block leaves the header
  r = Records();
  EXPECT_EQ(r.count(Key("\\=95")), 0u);
  EXPECT_EQ(r[Key("=9")], (Ids{3, 0, 1, NOID, NOID}));
  EXPECT_EQ(Delete("=9", 7), -1);
  for (ID id : {2, 3, 4}) EXPECT_EQ(Delete("=9", id), 0);
  EXPECT_TRUE(Records().empty());
}

TEST_F(IdlTable, MissingContinuationBlockIsSkippedOnReadAndStopsAnInsert) {
  Pin(4, 4);
  for (ID id : {1, 2, 3, 4, 5}) ASSERT_EQ(Insert("=10", id), 0);
  ASSERT_EQ(ldbm_cache_delete(slot_, K("\\=105")), 0);
  EXPECT_EQ(Fetch("=10"), (Ids{1, 2, 3, 4}));
  EXPECT_EQ(Insert("=10", 6), -1);
}

TEST(IdlSets, OperationsTable) {
  TempBackend t;
  std::ofstream(t.path("NEXTID")) << "5\n";
  IdlPtr a = Make({1, 2, 3}), b = Make({4}), c = Make({2, 3, 9}), all = AllIds(5), two = Make({2});
  struct Case {
    const char* name;
    IdlPtr got;
    bool null;
    bool allIds;
    Ids ids;
  };
  Case cases[] = {
      {"{1,2,3} and {4}: null, not empty", IdlPtr(idl_intersection(t.be(), a.get(), b.get())), true, false, {}},
      {"and", IdlPtr(idl_intersection(t.be(), a.get(), c.get())), false, false, {2, 3}},
      {"and null", IdlPtr(idl_intersection(t.be(), a.get(), nullptr)), true, false, {}},
      {"and ALLIDS", IdlPtr(idl_intersection(t.be(), all.get(), c.get())), false, false, {2, 3, 9}},
      {"or", IdlPtr(idl_union(t.be(), a.get(), c.get())), false, false, {1, 2, 3, 9}},
      {"or null", IdlPtr(idl_union(t.be(), nullptr, b.get())), false, false, {4}},
      {"or both null", IdlPtr(idl_union(t.be(), nullptr, nullptr)), true, false, {}},
      {"or ALLIDS", IdlPtr(idl_union(t.be(), a.get(), all.get())), false, true, {}},
      {"minus", IdlPtr(idl_notin(t.be(), c.get(), a.get())), false, false, {9}},
      {"minus null", IdlPtr(idl_notin(t.be(), a.get(), nullptr)), false, false, {1, 2, 3}},
      {"minus ALLIDS", IdlPtr(idl_notin(t.be(), a.get(), all.get())), false, false, {1, 2, 3}},
      {"null minus", IdlPtr(idl_notin(t.be(), nullptr, a.get())), true, false, {}},
      {"ALLIDS minus {2}, next ID 5", IdlPtr(idl_notin(t.be(), all.get(), two.get())), false, false, {1, 3, 4}},
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (k.null) {
      EXPECT_EQ(k.got, nullptr);
      continue;
    }
    ASSERT_NE(k.got, nullptr);
    EXPECT_EQ(idl_is_allids(k.got.get()), k.allIds);
    if (!k.allIds) {
      EXPECT_EQ(Contents(k.got.get()), k.ids);
    }
  }
  EXPECT_EQ(Contents(a.get()), (Ids{1, 2, 3}));  // inputs unchanged

  // A difference of 4000 or more IDs stands for every ID.
  IdlPtr big = AllIds(5000);
  IdlPtr rest(idl_notin(t.be(), big.get(), two.get()));
  EXPECT_TRUE(idl_is_allids(rest.get()));
  IdlPtr small = AllIds(4001);
  IdlPtr listed(idl_notin(t.be(), small.get(), two.get()));
  ASSERT_FALSE(idl_is_allids(listed.get()));
  EXPECT_EQ(listed->b_nids, 3999u);
}

TEST(IdlIteration, FirstAndNext) {
  IdlPtr a = Make({3, 7, 9});
  EXPECT_EQ(idl_firstid(a.get()), 3u);
  EXPECT_EQ(idl_nextid(a.get(), 3), 7u);
  EXPECT_EQ(idl_nextid(a.get(), 7), 9u);
  EXPECT_EQ(idl_nextid(a.get(), 9), NOID);
  EXPECT_EQ(idl_nextid(a.get(), 5), 9u);  // the slot after the first not below 5
  EXPECT_EQ(idl_firstid(nullptr), NOID);
  IdlPtr empty(idl_alloc(2));
  EXPECT_EQ(idl_firstid(empty.get()), NOID);
  IdlPtr all = AllIds(3);
  EXPECT_EQ(idl_firstid(all.get()), 1u);
  EXPECT_EQ(idl_nextid(all.get(), 1), 2u);
  EXPECT_EQ(idl_nextid(all.get(), 2), NOID);
  IdlPtr none = AllIds(1);  // no entry yet
  EXPECT_EQ(idl_firstid(none.get()), NOID);

  // Walking a long list visits every ID once, in order.
  Ids many;
  for (uint32_t i = 1; i <= 4000; ++i) many.push_back(i * 2);
  IdlPtr m = Make(many);
  Ids seen;
  for (ID id = idl_firstid(m.get()); id != NOID; id = idl_nextid(m.get(), id)) seen.push_back(id);
  EXPECT_EQ(seen, many);
}

}  // namespace

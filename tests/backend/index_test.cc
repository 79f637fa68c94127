// Index keys per value for every index kind, read back from the files by
// the Berkeley DB dump tool, and index_read over them.
#include "backend/index.h"

#include <set>

#include "backend/attr_index.h"
#include "ldbm_test_support.h"
#include "server/entry.h"
#include "server/text_match.h"

namespace {

using Keys = std::set<std::string>;

class IndexFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char photo[] = "photo", bin[] = "bin";
    char* syntax[] = {photo, bin};
    attr_syntax_config("test", 1, 2, syntax);
    Define("cn", "eq,sub");
    Define("title", "word");
    Define("description", "approx");
    Define("photo", "pres,eq,sub");
    Define("mail", "pres");
  }
  void Define(const char* attr, const char* kinds) {
    char* args[] = {const_cast<char*>(attr), const_cast<char*>(kinds)};
    attr_index_config(t_.li(), "test", 1, 2, args, 0);
  }
  int Add(const char* type, std::vector<std::string> values, ID id) {
    std::vector<BerValue> v;
    for (std::string& s : values) v.push_back({static_cast<uint32_t>(s.size()), s.data()});
    std::vector<BerValue*> p;
    for (BerValue& b : v) p.push_back(&b);
    p.push_back(nullptr);
    return index_add_values(t_.be(), type, p.data(), id);
  }
  // Every key (without its NUL) of the attribute's file, and its IDs.
  std::map<std::string, std::vector<uint32_t>> File(const std::string& attr) {
    ldbm_cache_flush_all(t_.be());
    std::map<std::string, std::vector<uint32_t>> out;
    for (auto& [k, v] : DumpFile(t_.path(attr + ".dbh")).records) {
      EXPECT_EQ(k.back(), '\0');
      std::vector<uint32_t> w = Words(v);
      out[k.substr(0, k.size() - 1)] = std::vector<uint32_t>(w.begin() + 2, w.begin() + 2 + w[1]);
    }
    return out;
  }
  Keys KeysOf(const std::string& attr) {
    Keys k;
    for (auto& [key, ids] : File(attr)) k.insert(key);
    return k;
  }

  TempBackend t_;
};

TEST_F(IndexFiles, EqualityAndSubstringKeys) {
  ASSERT_EQ(Add("cn", {"Abcdefghijk"}, 7), 0);
  EXPECT_EQ(KeysOf("cn"), (Keys{"=ABCDEFGHIJK", "*^AB", "*JK$", "*ABC", "*BCD", "*CDE", "*DEF", "*EFG", "*FGH",
                                "*GHI", "*HIJ", "*IJK"}));
  EXPECT_EQ(File("cn")["*ABC"], (std::vector<uint32_t>{7}));
}

TEST_F(IndexFiles, ShortValuesGetFewerSubstringKeys) {
  ASSERT_EQ(Add("cn", {"x", "yz"}, 3), 0);
  EXPECT_EQ(KeysOf("cn"), (Keys{"=X", "=YZ", "*^YZ", "*YZ$"}));
}

TEST_F(IndexFiles, WordKeys) {
  ASSERT_EQ(Add("title", {"john q. public"}, 4), 0);
  EXPECT_EQ(KeysOf("title"), (Keys{"*^JOHN", "*JOHN", "*Q", "*PUBLIC", "*PUBLIC$"}));
  ASSERT_EQ(Add("title", {"one_word"}, 5), 0);  // underscore joins
  Keys k = KeysOf("title");
  EXPECT_TRUE(k.count("*^ONE_WORD") && k.count("*ONE_WORD$") && k.count("*ONE_WORD"));
}

TEST_F(IndexFiles, ApproximateKeysAreThePhoneticCodesOfEachWord) {
  ASSERT_EQ(Add("description", {"Smith Knight"}, 2), 0);
  Keys want;
  for (const char* w : {"SMITH", "KNIGHT"}) {
    char* code = phonetic(w);
    ASSERT_NE(code, nullptr);
    ASSERT_NE(code[0], '\0');
    want.insert(std::string("~") + code);
    zovurezFree(code);
  }
  EXPECT_EQ(KeysOf("description"), want);
}

TEST_F(IndexFiles, BinaryValuesGetOnlyThePresenceKey) {
  ASSERT_EQ(Add("photo", {"\x01\x02\x03\x04", "abcdef"}, 9), 0);
  EXPECT_EQ(File("photo"), (std::map<std::string, std::vector<uint32_t>>{{"*", {9}}}));
}

TEST_F(IndexFiles, UnindexedAttributesOpenNoFile) {
  ASSERT_EQ(Add("sn", {"Jensen"}, 1), 0);
  EXPECT_FALSE(t_.exists("sn.dbh"));
  EXPECT_FALSE(t_.exists("sn.dbb"));
}

TEST_F(IndexFiles, EntryDnAndAttributesAreIndexed) {
  std::string text = "dn: cn=Ann , o=Test\ncn: Ann\nmail: ann@example.com\nsn: Jones\n";
  Entry* e = str2entry(text.data());
  ASSERT_NE(e, nullptr);
  e->e_id = 12;
  EXPECT_EQ(index_add_entry(t_.be(), e), 0);
  entry_free(e);
  EXPECT_EQ(File("dn")["=CN=ANN,O=TEST"], (std::vector<uint32_t>{12}));
  EXPECT_EQ(KeysOf("cn"), (Keys{"=ANN", "*^AN", "*NN$", "*ANN"}));
  EXPECT_EQ(KeysOf("mail"), (Keys{"*"}));
}

TEST_F(IndexFiles, ModificationsIndexAddsAndReplacesButNotDeletes) {
  std::string a = "Added", r = "Replaced", d = "Deleted";
  BerValue va{static_cast<uint32_t>(a.size()), a.data()}, vr{static_cast<uint32_t>(r.size()), r.data()},
      vd{static_cast<uint32_t>(d.size()), d.data()};
  BerValue* la[] = {&va, nullptr};
  BerValue* lr[] = {&vr, nullptr};
  BerValue* ld[] = {&vd, nullptr};
  char cn[] = "cn";
  Modification m3{kModDelete, cn, ld, nullptr};
  Modification m2{kModReplace | kModBValues, cn, lr, &m3};
  Modification m1{kModAdd, cn, la, &m2};
  EXPECT_EQ(index_add_mods(t_.be(), &m1, 6), 0);
  Keys k = KeysOf("cn");
  EXPECT_TRUE(k.count("=ADDED") && k.count("=REPLACED"));
  EXPECT_FALSE(k.count("=DELETED"));
}

TEST_F(IndexFiles, ReadingKeys) {
  ASSERT_EQ(Add("cn", {"Bob"}, 3), 0);
  ASSERT_EQ(Add("cn", {"bob"}, 8), 0);
  char type[] = "CN";
  IdList* eq = index_read(t_.be(), type, kIndexEquality, "BOB");
  ASSERT_NE(eq, nullptr);
  EXPECT_EQ(std::vector<uint32_t>(eq->b_ids, eq->b_ids + eq->b_nids), (std::vector<uint32_t>{3, 8}));
  EXPECT_STREQ(type, "cn");
  idl_free(eq);
  IdList* sub = index_read(t_.be(), type, kIndexSubstring, "^BO");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->b_nids, 2u);
  idl_free(sub);
  EXPECT_EQ(index_read(t_.be(), type, kIndexEquality, "ALICE"), nullptr);
  // A kind the attribute lacks, and presence (kind 0), stand for every ID.
  for (int kind : {0, kIndexApprox, kIndexWord}) {
    IdList* all = index_read(t_.be(), type, kind, "BOB");
    EXPECT_TRUE(idl_is_allids(all)) << kind;
    idl_free(all);
  }
}

}  // namespace

// Filter candidates: under the 3-character method every list is a superset
// of the entries the filter matches (checked against the filter test over
// random entries and filters); the word method's whole-word reads; NOT,
// presence and AND/OR shapes.
#include <random>

#include "backend/attr_index.h"
#include "backend/next_id.h"
#include "ldbm_ops_support.h"

namespace {

constexpr const char* kActive = "OU=ACTIVE,O=QOX KEYSPACE,C=US";

// Filters built here own their parts through these pools.
struct FilterPool {
  std::vector<std::unique_ptr<Filter>> nodes;
  std::vector<std::unique_ptr<std::string>> texts;
  std::vector<std::unique_ptr<std::vector<BerValue*>>> vectors;
  std::vector<std::unique_ptr<BerValue>> parts;
  char* Text(const std::string& s) {
    texts.push_back(std::make_unique<std::string>(s));
    return texts.back()->data();
  }
  Filter* Node(uint32_t choice) {
    nodes.push_back(std::make_unique<Filter>());
    nodes.back()->choice = choice;
    return nodes.back().get();
  }
  BerValue* Part(const std::string& s) {
    parts.push_back(std::make_unique<BerValue>());
    parts.back()->bv_val = Text(s);
    parts.back()->bv_len = static_cast<uint32_t>(s.size());
    return parts.back().get();
  }
  Filter* Substrings(const char* type, const char* initial, std::vector<std::string> any, const char* final) {
    Filter* f = Node(kFilterSubstrings);
    f->type = Text(type);
    f->initial = initial != nullptr ? Part(initial) : nullptr;
    f->final = final != nullptr ? Part(final) : nullptr;
    if (!any.empty()) {
      vectors.push_back(std::make_unique<std::vector<BerValue*>>());
      for (const std::string& a : any) vectors.back()->push_back(Part(a));
      vectors.back()->push_back(nullptr);
      f->any = vectors.back()->data();
    }
    return f;
  }
  Filter* Ava(uint32_t choice, const char* type, const std::string& value) {
    Filter* f = Node(choice);
    f->ava.type = Text(type);
    f->ava.value = Text(value);
    f->ava.length = static_cast<uint32_t>(value.size());
    return f;
  }
  Filter* List(uint32_t choice, std::vector<Filter*> children) {
    Filter* f = Node(choice);
    for (size_t i = 0; i + 1 < children.size(); ++i) children[i]->next = children[i + 1];
    f->list = children.empty() ? nullptr : children[0];
    return f;
  }
};

class CandidatesTest : public OpsFixture {
 protected:
  // IDs of the candidates; "all" for the all-IDs list, "none" for null.
  std::string Candidates(Filter* f) {
    IdList* l = filter_candidates(be(), f);
    std::string out;
    if (l == nullptr) {
      out = "none";
    } else if (idl_is_allids(l)) {
      out = "all";
    } else {
      for (ID id = idl_firstid(l); id != NOID; id = idl_nextid(l, id)) out += std::to_string(id) + " ";
    }
    idl_free(l);
    return out;
  }
  ID AddUser(const std::string& rdn, const std::string& userID) {
    EXPECT_EQ(Add("dn: cn=" + rdn + "," + kActive + "\nobjectclass: qoxuserid\nqoxuserid: " + userID + "\n"), 0);
    return static_cast<ID>(next_id(be(), 1) - 1);
  }
};

TEST_F(CandidatesTest, SubstringCandidatesAreSupersetsOfTheMatches) {
  std::mt19937 rng(20261210);
  const std::string alphabet = "abAB c";
  auto randomText = [&](int maxLength) {
    std::string s;
    int n = static_cast<int>(rng() % (maxLength + 1));
    for (int i = 0; i < n; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
    return s;
  };
  std::vector<ID> ids;
  for (int i = 0; i < 60; ++i) {
    std::string v = randomText(9);
    if (v.find_first_not_of(' ') == std::string::npos) v = "ab";
    ids.push_back(AddUser("e" + std::to_string(i), v));
  }
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
  };
  auto fragment = [&] {
    std::string s = upper(randomText(4));
    return s;
  };
  FilterPool pool;
  auto leaf = [&]() -> Filter* {
    switch (rng() % 3) {
      case 0: {
        std::string i = fragment(), f = fragment();
        std::vector<std::string> any;
        if (rng() % 2) any.push_back(fragment());
        return pool.Substrings("qoxuserid", i.empty() ? nullptr : i.c_str(), any, f.empty() ? nullptr : f.c_str());
      }
      case 1:
        return pool.Ava(kFilterEquality, "qoxuserid", fragment());
      default:
        return pool.Substrings("qoxuserid", nullptr, {fragment() + "A"}, nullptr);
    }
  };
  int narrowed = 0, matchedSome = 0;
  for (int round = 0; round < 300; ++round) {
    Filter* f = nullptr;
    switch (rng() % 4) {
      case 0:
        f = leaf();
        break;
      case 1:
        f = pool.List(kFilterAnd, {leaf(), leaf()});
        break;
      case 2:
        f = pool.List(kFilterOr, {leaf(), leaf()});
        break;
      default:
        f = pool.List(kFilterAnd, {pool.List(kFilterNot, {leaf()}), leaf()});
        break;
    }
    IdList* l = filter_candidates(be(), f);
    bool all = idl_is_allids(l);
    if (l != nullptr && !all) ++narrowed;
    for (ID id : ids) {
      Entry* e = id2entry(be(), id);
      ASSERT_NE(e, nullptr);
      bool matches = test_filter(nullptr, &conn_, &op_, e, f) == 0;
      cache_return_entry(cache(), e);
      if (!matches) continue;
      ++matchedSome;
      bool listed = false;
      for (ID c = idl_firstid(l); l != nullptr && c != NOID; c = idl_nextid(l, c)) listed = listed || c == id;
      EXPECT_TRUE(all || listed) << "round " << round << " entry " << id;
    }
    idl_free(l);
  }
  EXPECT_GT(narrowed, 50);
  EXPECT_GT(matchedSome, 50);
}

TEST_F(CandidatesTest, ShapesOfTheSubstringMethod) {
  ID alice = AddUser("a", "Alice Example");
  ID bob = AddUser("b", "Bob Example");
  FilterPool p;
  std::string a = std::to_string(alice) + " ", b = std::to_string(bob) + " ";
  struct Case {
    Filter* f;
    std::string want;
  } cases[] = {
      {p.Substrings("qoxuserid", "ALI", {}, nullptr), a},
      {p.Substrings("qoxuserid", nullptr, {}, "MPLE"), a + b},
      {p.Substrings("qoxuserid", nullptr, {"CE"}, nullptr), "all"},  // two characters: no key
      {p.Substrings("qoxuserid", "A", {}, nullptr), "all"},
      {p.Substrings("qoxuserid", "ZZZ", {}, nullptr), "none"},
      {p.Ava(kFilterEquality, "qoxuserid", "BOB EXAMPLE"), b},
      {p.Node(kFilterGE), "all"},
      // Presence keys are never read.
      {[&] {
         Filter* f = p.Node(kFilterPresent);
         f->type = p.Text("objectclass");
         return f;
       }(),
       "all"},
      // NOT leaves the decision to the filter test.
      {p.List(kFilterNot, {p.Ava(kFilterEquality, "qoxuserid", "BOB EXAMPLE")}), "all"},
      {p.List(kFilterAnd, {p.Ava(kFilterEquality, "qoxuserid", "NOBODY"), p.Substrings("qoxuserid", "ALI", {}, nullptr)}),
       "none"},
      {p.List(kFilterOr, {p.Ava(kFilterEquality, "qoxuserid", "NOBODY"), p.Substrings("qoxuserid", "BOB", {}, nullptr)}),
       b},
      {p.Ava(kFilterApprox, "qoxuserid", "ALICE"), "all"},  // no approximate index
      {p.Node(0x99), "none"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(Candidates(cases[i].f), cases[i].want) << "case " << i;
}

class WordCandidatesTest : public CandidatesTest {
 protected:
  WordCandidatesTest() { substringMethod_ = false; }
};

TEST_F(WordCandidatesTest, WordMethodReadsWholeWords) {
  int mask = 0, syntax = 0;
  attr_masks(LdbmState(be()), "qoxuserid", &mask, &syntax);
  ASSERT_NE(mask & kIndexWord, 0);
  ID alice = AddUser("a", "Alice Example Person");
  AddUser("b", "Bob Example");
  std::string a = std::to_string(alice) + " ";
  FilterPool p;
  struct Case {
    Filter* f;
    std::string want;
  } cases[] = {
      {p.Substrings("qoxuserid", "ALICE EXAMPLE", {}, nullptr), a},
      // The incomplete second word is read as a whole word: nothing.
      {p.Substrings("qoxuserid", "ALICE EXA", {}, nullptr), "none"},
      {p.Substrings("qoxuserid", nullptr, {}, "PERSON"), a},
      {p.Substrings("qoxuserid", nullptr, {}, "EXAMPLE PERSON"), a},
      // The first word must begin the value, the last must end it.
      {p.Substrings("qoxuserid", "EXAMPLE", {}, nullptr), "none"},
      {p.Substrings("qoxuserid", nullptr, {"PERSON"}, nullptr), a},
      {p.Substrings("qoxuserid", nullptr, {"--"}, nullptr), "all"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(Candidates(cases[i].f), cases[i].want) << "case " << i;
}

}  // namespace

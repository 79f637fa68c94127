// Search filters: decoding from BER with the string form, refusals, the
// evaluation table against a small entry, the substring pattern, and the
// schema check.
#include "server/filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "net/ber.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/support/zovurez.h"
#include "server/text_match.h"
#include "tests/server/server_test_env.h"

namespace {

// A filter encoding built with the BER encoder.
class Ber {
 public:
  Ber() { EXPECT_EQ(QOXNewBERElement(ServerToolkitEnvironment::context, &ber_), 0); }
  ~Ber() { QOXFreeBERElement(ber_); }
  QOXberElement* get() { return ber_; }

 private:
  QOXberElement* ber_ = nullptr;
};

struct Decoded {
  int rc = -1;
  Filter* filter = nullptr;
  char* text = nullptr;
  ~Decoded() {
    filter_free(filter);
    zovurezFree(text);
  }
};

Connection* TestConnection() {
  static Connection conn = [] {
    Connection c{};
    c.socket = -1;
    c.context = ServerToolkitEnvironment::context;
    return c;
  }();
  return &conn;
}

void Decode(QOXberElement* ber, Decoded* out) {
  out->rc = get_filter(TestConnection(), ber, &out->filter, &out->text);
}

TEST(FilterDecode, StringFormsOfEveryKind) {
  struct Case {
    const char* name;
    void (*build)(QOXberElement*);
    const char* text;
  };
  const Case cases[] = {
      {"present", [](QOXberElement* b) { QOXberAppend(b, "ts", 0x87u, "CN"); }, "(cn=*)"},
      {"equality", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA3u, "cn", "Joe"); }, "(cn=JOE)"},
      {"ge", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA5u, "cn", "b"); }, "(cn>=B)"},
      {"le", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA6u, "cn", "b"); }, "(cn<=B)"},
      {"approx", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA8u, "cn", "jon"); }, "(cn~=JON)"},
      {"one any part", [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "cn", 0x81u, "mid"); },
       "(cn=*MID*)"},
      {"all parts",
       [](QOXberElement* b) { QOXberAppend(b, "t{s{tststs}}", 0xA4u, "cn", 0x80u, "a", 0x81u, "b", 0x82u, "c"); },
       "(cn=A*B*C)"},
      {"no parts", [](QOXberElement* b) { QOXberAppend(b, "t{s{}}", 0xA4u, "cn"); }, "(cn=*)"},
      {"and/not",
       [](QOXberElement* b) { QOXberAppend(b, "t{t{ss}t{ts}}", 0xA0u, 0xA3u, "cn", "a", 0xA2u, 0x87u, "sn"); },
       "(&(cn=A)(!(sn=*)))"},
      {"empty and", [](QOXberElement* b) { QOXberAppend(b, "t{}", 0xA0u); }, "(&)"},
      {"empty or", [](QOXberElement* b) { QOXberAppend(b, "t{}", 0xA1u); }, "(|)"},
  };
  for (const Case& c : cases) {
    Ber ber;
    c.build(ber.get());
    Decoded d;
    Decode(ber.get(), &d);
    ASSERT_EQ(d.rc, 0) << c.name;
    EXPECT_STREQ(d.text, c.text) << c.name;
  }
}

TEST(FilterDecode, RefusalsLeaveNothing) {
  struct Case {
    const char* name;
    void (*build)(QOXberElement*);
  };
  const Case cases[] = {
      {"tag 0xA7", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA7u, "cn", "x"); }},
      {"two initials", [](QOXberElement* b) { QOXberAppend(b, "t{s{tsts}}", 0xA4u, "cn", 0x80u, "a", 0x80u, "b"); }},
      {"two finals", [](QOXberElement* b) { QOXberAppend(b, "t{s{tsts}}", 0xA4u, "cn", 0x82u, "a", 0x82u, "b"); }},
      {"unknown part", [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "cn", 0x83u, "a"); }},
      {"bad member of an OR", [](QOXberElement* b) { QOXberAppend(b, "t{t{ss}ts}", 0xA1u, 0xA3u, "cn", "a", 0x99u, "x"); }},
      {"AVA without value", [](QOXberElement* b) { QOXberAppend(b, "t{s}", 0xA3u, "cn"); }},
      {"nothing", [](QOXberElement*) {}},
  };
  for (const Case& c : cases) {
    Ber ber;
    c.build(ber.get());
    Decoded d;
    Decode(ber.get(), &d);
    EXPECT_NE(d.rc, 0) << c.name;
    EXPECT_EQ(d.filter, nullptr) << c.name;
    EXPECT_EQ(d.text, nullptr) << c.name;
  }
}

// A client's nesting must not exhaust the connection thread's stack.
TEST(FilterDecode, DeepNestingIsRefused) {
  Ber ber;
  const int depth = 5000;
  for (int i = 0; i < depth; ++i) ASSERT_EQ(QOXberAppend(ber.get(), "t{", 0xA2u), 0);
  ASSERT_EQ(QOXberAppend(ber.get(), "ts", 0x87u, "cn"), 0);
  for (int i = 0; i < depth; ++i) ASSERT_EQ(QOXberAppend(ber.get(), "}"), 0);
  Decoded d;
  Decode(ber.get(), &d);
  EXPECT_EQ(d.rc, 2);
  EXPECT_EQ(d.filter, nullptr);
}

// The decoder leaves the index after the filter, so the requested
// attributes that follow are read from the right place.
TEST(FilterDecode, IndexEndsAfterTheFilter) {
  Ber ber;
  ASSERT_EQ(QOXberAppend(ber.get(), "t{t{ss}t{s{ts}}}s", 0xA0u, 0xA3u, "cn", "a", 0xA4u, "sn", 0x81u, "b", "after"), 0);
  Decoded d;
  Decode(ber.get(), &d);
  ASSERT_EQ(d.rc, 0);
  char after[16] = {};
  ASSERT_EQ(QOXberRead(ber.get(), "s", after, static_cast<uint32_t>(sizeof after)), 0);
  EXPECT_STREQ(after, "after");
}

// Each element must hold exactly what its choice holds. Each case was
// once answered: an assertion without its value read the next filter's
// bytes as its value (and matched), extra elements were passed over.
TEST(FilterDecode, StrictShapesAreRequired) {
  struct Case {
    const char* name;
    void (*build)(QOXberElement*);
  };
  const Case cases[] = {
      {"AVA without value inside an AND",
       [](QOXberElement* b) { QOXberAppend(b, "t{t{s}ts}", 0xA0u, 0xA3u, "qoxcertid", 0x87u, "cn"); }},
      {"AVA with a third element", [](QOXberElement* b) { QOXberAppend(b, "t{sss}", 0xA3u, "cn", "a", "x"); }},
      {"AVA value not an OCTET STRING", [](QOXberElement* b) { QOXberAppend(b, "t{si}", 0xA3u, "cn", 5); }},
      {"AVA type not an OCTET STRING", [](QOXberElement* b) { QOXberAppend(b, "t{ts}", 0xA3u, 0x80u, "cn", "a"); }},
      {"NOT of two filters", [](QOXberElement* b) { QOXberAppend(b, "t{tsts}", 0xA2u, 0x87u, "cn", 0x87u, "sn"); }},
      {"empty NOT", [](QOXberElement* b) { QOXberAppend(b, "t{}", 0xA2u); }},
      {"type with a NUL",
       [](QOXberElement* b) { QOXberAppend(b, "to", 0x87u, "cn\0x", static_cast<uint32_t>(4)); }},
      {"substrings: extra element after the parts",
       [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}s}", 0xA4u, "cn", 0x81u, "a", "x"); }},
      {"substrings: constructed part",
       [](QOXberElement* b) { QOXberAppend(b, "t{s{t{s}}}", 0xA4u, "cn", 0xA1u, "a"); }},
  };
  for (const Case& c : cases) {
    Ber ber;
    c.build(ber.get());
    Decoded d;
    Decode(ber.get(), &d);
    EXPECT_EQ(d.rc, 2) << c.name;
    EXPECT_EQ(d.filter, nullptr) << c.name;
  }
}

// A sub-filter whose length runs past its AND is refused, not read into
// what follows the filter.
TEST(FilterDecode, SubFilterPastItsParentIsRefused) {
  Ber ber;
  // A0 05 | 87 02 'c' 'n' | 87 ... : the AND's 5 bytes end inside the second present.
  const uint8_t bytes[] = {0xA0, 0x05, 0x87, 0x02, 'c', 'n', 0x87, 0x02, 's', 'n'};
  ASSERT_EQ(qoxBERStrAppend(ber.get(), bytes, 0x04, sizeof bytes), 0);
  ASSERT_EQ(QOXberSetIndex(ber.get(), 2), 0);  // past the wrapper's header
  Decoded d;
  Decode(ber.get(), &d);
  EXPECT_NE(d.rc, 0);
  EXPECT_EQ(d.filter, nullptr);
}

// Work a filter makes is bounded: the term count and the length of
// approximate values and substring assertions. One over is refused with
// kFilterLimitExceeded (the search answers 4), the limit itself passes.
TEST(FilterDecode, LimitsOnTermsAndAssertionLengths) {
  auto orOf = [](int terms, QOXberElement* b) {
    ASSERT_EQ(QOXberAppend(b, "t{", 0xA1u), 0);
    for (int i = 0; i < terms; ++i) ASSERT_EQ(QOXberAppend(b, "ts", 0x87u, "cn"), 0);
    ASSERT_EQ(QOXberAppend(b, "}"), 0);
  };
  for (auto [terms, rc] : {std::pair{kMaxFilterTerms - 1, 0}, std::pair{kMaxFilterTerms, kFilterLimitExceeded},
                           std::pair{100000, kFilterLimitExceeded}}) {
    Ber ber;
    orOf(terms, ber.get());  // the OR itself is one term
    Decoded d;
    Decode(ber.get(), &d);
    EXPECT_EQ(d.rc, rc) << terms;
    EXPECT_EQ(d.filter != nullptr, rc == 0) << terms;
  }
  const std::string atLimit(kMaxFilterAssertionLength, 'a');
  const std::string over(kMaxFilterAssertionLength + 1, 'a');
  const std::string half(kMaxFilterAssertionLength / 2 + 1, 'b');
  struct Case {
    const char* name;
    std::function<void(QOXberElement*)> build;
    int rc;
  };
  const Case cases[] = {
      {"approx at the limit", [&](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA8u, "cn", atLimit.c_str()); }, 0},
      {"approx over", [&](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA8u, "cn", over.c_str()); },
       kFilterLimitExceeded},
      {"equality is not limited", [&](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA3u, "cn", over.c_str()); }, 0},
      {"one part over", [&](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "cn", 0x81u, over.c_str()); },
       kFilterLimitExceeded},
      {"two parts together over",
       [&](QOXberElement* b) {
         QOXberAppend(b, "t{s{tsts}}", 0xA4u, "cn", 0x80u, half.c_str(), 0x81u, half.c_str());
       },
       kFilterLimitExceeded},
  };
  for (const Case& c : cases) {
    Ber ber;
    c.build(ber.get());
    Decoded d;
    Decode(ber.get(), &d);
    EXPECT_EQ(d.rc, c.rc) << c.name;
  }
}

// A NUL byte in an asserted value is data: the string form shows it as
// \00 and the value keeps its length.
TEST(FilterDecode, NulInValueIsKept) {
  Ber ber;
  ASSERT_EQ(QOXberAppend(ber.get(), "t{so}", 0xA3u, "qoxcertid", "07\0junk", static_cast<uint32_t>(7)), 0);
  Decoded d;
  Decode(ber.get(), &d);
  ASSERT_EQ(d.rc, 0);
  EXPECT_STREQ(d.text, "(qoxcertid=07\\00JUNK)");
  EXPECT_EQ(d.filter->ava.length, 7u);
}

class FilterEval : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool syntaxConfigured = false;
    if (!syntaxConfigured) {
      char a[] = "photo", b[] = "bin";
      char* argv[] = {a, b};
      attr_syntax_config("test", 1, 2, argv);
      syntaxConfigured = true;
    }
    entry_ = entry_new();
    entry_->e_dn = zovurezStrdup("cn=test");
    Add("cn", "Alice Smith");
    Add("cn", "-- Robert Jones");
    Add("uid", "m");
    Add("photo", "ABC");
    Add("objectclass", "person");
  }
  void TearDown() override { entry_free(entry_); }
  void Add(const char* type, const char* value) {
    ASSERT_EQ(AddDirAttrToEntry(entry_, type, value, static_cast<uint32_t>(strlen(value))), 0);
  }
  void AddCounted(const char* type, const std::string& value) {
    ASSERT_EQ(AddDirAttrToEntry(entry_, type, value.data(), static_cast<uint32_t>(value.size())), 0);
  }
  int Eval(void (*build)(QOXberElement*)) {
    Ber ber;
    build(ber.get());
    Decoded d;
    Decode(ber.get(), &d);
    EXPECT_EQ(d.rc, 0);
    if (d.rc != 0) return 99;
    return test_filter(nullptr, TestConnection(), nullptr, entry_, d.filter);
  }
  Entry* entry_ = nullptr;
};

TEST_F(FilterEval, Table) {
  struct Case {
    const char* name;
    void (*build)(QOXberElement*);
    int expected;
  };
  const Case cases[] = {
      {"present", [](QOXberElement* b) { QOXberAppend(b, "ts", 0x87u, "uid"); }, 0},
      {"present, missing", [](QOXberElement* b) { QOXberAppend(b, "ts", 0x87u, "mail"); }, -1},
      {"equality any case", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA3u, "cn", "alice smith"); }, 0},
      {"equality, no value", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA3u, "cn", "alice"); }, 1},
      // An equal value matches >= and <= (as LDAP has it).
      {"ge equal", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA5u, "uid", "m"); }, 0},
      {"le equal", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA6u, "uid", "m"); }, 0},
      {"ge below", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA5u, "uid", "a"); }, 0},
      {"ge above", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA5u, "uid", "z"); }, 1},
      {"le below", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA6u, "uid", "a"); }, 1},
      {"empty and", [](QOXberElement* b) { QOXberAppend(b, "t{}", 0xA0u); }, 1},
      {"empty or", [](QOXberElement* b) { QOXberAppend(b, "t{}", 0xA1u); }, 1},
      {"not of missing", [](QOXberElement* b) { QOXberAppend(b, "t{ts}", 0xA2u, 0x87u, "mail"); }, 0},
      {"not of match", [](QOXberElement* b) { QOXberAppend(b, "t{ts}", 0xA2u, 0x87u, "uid"); }, 1},
      {"and", [](QOXberElement* b) { QOXberAppend(b, "t{tst{ss}}", 0xA0u, 0x87u, "uid", 0xA3u, "uid", "M"); }, 0},
      {"and, one fails", [](QOXberElement* b) { QOXberAppend(b, "t{tsts}", 0xA0u, 0x87u, "uid", 0x87u, "x"); }, 1},
      {"or, one matches", [](QOXberElement* b) { QOXberAppend(b, "t{tsts}", 0xA1u, 0x87u, "x", 0x87u, "uid"); }, 0},
      {"substring any", [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "cn", 0x81u, "ice sm"); }, 0},
      {"substring initial+final",
       [](QOXberElement* b) { QOXberAppend(b, "t{s{tsts}}", 0xA4u, "cn", 0x80u, "al", 0x82u, "ith"); }, 0},
      {"substring no match", [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "cn", 0x80u, "smith"); }, 1},
      {"substring metacharacters",
       [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "cn", 0x81u, "a.*|x"); }, 1},
      {"substring on binary", [](QOXberElement* b) { QOXberAppend(b, "t{s{ts}}", 0xA4u, "photo", 0x81u, "B"); }, -1},
      {"approx", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA8u, "cn", "Alise Smyth"); }, 0},
      {"approx out of order", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA8u, "cn", "Smith Alice"); }, 1},
      {"approx missing", [](QOXberElement* b) { QOXberAppend(b, "t{ss}", 0xA8u, "mail", "x"); }, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(Eval(c.build), c.expected) << c.name;
}

// Counted values: a NUL byte in an asserted value or a part is matched as
// data, never taken as its end, and a stored value is compared whole.
// Before, "07\0junk" matched "07" and the part "Us\0er" matched "User...".
TEST_F(FilterEval, NulBytesAreData) {
  AddCounted("qoxcertid", std::string("07", 2));
  AddCounted("cn", std::string("User One", 8));
  AddCounted("description", std::string("a\0b c", 5));
  struct Case {
    const char* name;
    std::function<void(QOXberElement*)> build;
    int expected;
  };
  auto ava = [](uint32_t tag, const char* type, std::string v) {
    return [=](QOXberElement* b) { QOXberAppend(b, "t{so}", tag, type, v.data(), static_cast<uint32_t>(v.size())); };
  };
  auto any = [](const char* type, std::string v) {
    return [=](QOXberElement* b) {
      QOXberAppend(b, "t{s{to}}", 0xA4u, type, 0x81u, v.data(), static_cast<uint32_t>(v.size()));
    };
  };
  const Case cases[] = {
      {"equality with a NUL and more", ava(0xA3u, "qoxcertid", std::string("07\0junk", 7)), 1},
      {"equality plain", ava(0xA3u, "qoxcertid", "07"), 0},
      {"ge with a NUL sorts above", ava(0xA5u, "qoxcertid", std::string("07\0", 3)), 1},
      {"le with a NUL sorts above", ava(0xA6u, "qoxcertid", std::string("07\0", 3)), 0},
      {"substring part with a NUL", any("cn", std::string("Us\0er", 6)), 1},
      {"substring plain", any("cn", "ser o"), 0},
      {"stored NUL matched by equality", ava(0xA3u, "description", std::string("A\0B C", 5)), 0},
      {"stored NUL, equality of the part before it", ava(0xA3u, "description", "a"), 1},
      {"stored NUL matched by a part", any("description", std::string("a\0b", 3)), 0},
      {"stored NUL, part after it", any("description", "b c"), 0},
      {"approx, words after a NUL count", ava(0xA8u, "cn", std::string("user\0one", 8)), 0},
      {"approx, a missing word after a NUL", ava(0xA8u, "cn", std::string("user\0two", 8)), 1},
  };
  for (const Case& c : cases) {
    Ber ber;
    c.build(ber.get());
    Decoded d;
    Decode(ber.get(), &d);
    ASSERT_EQ(d.rc, 0) << c.name;
    EXPECT_EQ(test_filter(nullptr, TestConnection(), nullptr, entry_, d.filter), c.expected) << c.name;
  }
}

// The counted substring test agrees with the regular expression the
// filter stands for, under both index methods, on values without a NUL.
TEST(SubstringMatch, AgreesWithTheRegularExpression) {
  std::mt19937 rng(19);
  const std::string alphabet = "AB-. *$(0";
  auto text = [&](size_t max) {
    std::string s(rng() % (max + 1), ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  int compared = 0;
  for (int round = 0; round < 4000; ++round) {
    std::vector<std::string> texts;
    Filter f{};
    BerValue initial{}, final{};
    std::vector<BerValue> anys(rng() % 3);
    std::vector<BerValue*> anyList;
    std::string ti = text(3), tf = text(3);
    std::vector<std::string> ta;
    for (size_t i = 0; i < anys.size(); ++i) ta.push_back(text(3));
    if (rng() % 2) {
      initial = {static_cast<uint32_t>(ti.size()), ti.data()};
      f.initial = &initial;
    }
    for (size_t i = 0; i < anys.size(); ++i) {
      anys[i] = {static_cast<uint32_t>(ta[i].size()), ta[i].data()};
      anyList.push_back(&anys[i]);
    }
    anyList.push_back(nullptr);
    if (!anys.empty()) f.any = anyList.data();
    if (rng() % 2) {
      final = {static_cast<uint32_t>(tf.size()), tf.data()};
      f.final = &final;
    }
    const std::string value = text(10);
    for (bool method : {true, false}) {
      ZovurezPtr<char> pattern(vuzizSubstringPattern(&f, method));
      ASSERT_NE(pattern, nullptr);
      bool expected = regex_matches(ServerToolkitEnvironment::context, nullptr, pattern.get(), value.c_str()) == 1;
      EXPECT_EQ(vuzizSubstringMatches(&f, value.data(), static_cast<uint32_t>(value.size()), method), expected)
          << pattern.get() << " on '" << value << "'";
      ++compared;
    }
  }
  EXPECT_EQ(compared, 8000);
}

// With the word method an initial part passes over leading characters that
// are not letters or digits; with the substring method it does not.
TEST_F(FilterEval, InitialPartUnderBothIndexMethods) {
  Filter f{};
  f.choice = kFilterSubstrings;
  BerValue initial{6, const_cast<char*>("ROBERT")};
  f.initial = &initial;
  char* word = vuzizSubstringPattern(&f, false);
  char* plain = vuzizSubstringPattern(&f, true);
  ASSERT_NE(word, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_STREQ(word, "^[^0-9A-Z]*ROBERT");
  EXPECT_STREQ(plain, "^ROBERT");
  zovurezFree(word);
  zovurezFree(plain);
  const std::string value = "-- ROBERT JONES";
  EXPECT_TRUE(vuzizSubstringMatches(&f, value.data(), static_cast<uint32_t>(value.size()), false));
  EXPECT_FALSE(vuzizSubstringMatches(&f, value.data(), static_cast<uint32_t>(value.size()), true));
}

// Metacharacters of the engine are escaped; a pattern is sized exactly, and
// parts too long for the budget are refused rather than overrun it.
TEST(SubstringPattern, EscapingAndBudget) {
  Filter f{};
  f.choice = kFilterSubstrings;
  std::string any0 = "a.b*c(d)|e?f[g]^h$i+j\\k";
  BerValue part0{static_cast<uint32_t>(any0.size()), any0.data()};
  BerValue* anys[] = {&part0, nullptr};
  f.any = anys;
  char* p = vuzizSubstringPattern(&f, true);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, ".*a\\.b\\*c\\(d\\)\\|e\\?f\\[g\\]\\^h\\$i\\+j\\\\k");
  zovurezFree(p);

  // 1021 pattern bytes (with ".*") fit; one more does not. A part of
  // metacharacters doubles in length and is measured as such.
  std::string fits(1019, 'x');
  std::string over(1020, 'x');
  std::string stars(600, '*');
  for (auto [text, ok] : {std::pair{&fits, true}, std::pair{&over, false}, std::pair{&stars, false}}) {
    BerValue part{static_cast<uint32_t>(text->size()), text->data()};
    BerValue* list[] = {&part, nullptr};
    f.any = list;
    char* q = vuzizSubstringPattern(&f, true);
    EXPECT_EQ(q != nullptr, ok) << text->size();
    if (q != nullptr) {
      EXPECT_EQ(strlen(q), text->size() + 2);
    }
    zovurezFree(q);
  }
}

TEST_F(FilterEval, SchemaCheckWithEmptyClassTable) {
  EXPECT_EQ(oc_schema_check(entry_), 0);
  Entry* bare = entry_new();
  ASSERT_EQ(AddDirAttrToEntry(bare, "cn", "x", 1), 0);
  EXPECT_EQ(oc_schema_check(bare), 0);  // no objectclass attribute
  entry_free(bare);
  EXPECT_EQ(oc_check_allowed("objectclass", nullptr), 0);
  EXPECT_EQ(oc_check_allowed("cn", nullptr), 1);
}

}  // namespace

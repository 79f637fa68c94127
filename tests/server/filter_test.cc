// Search filters: decoding from BER with the string form, refusals, the
// evaluation table against a small entry, the substring pattern, and the
// schema check.
#include "server/filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/ber.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/support/zovurez.h"
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

// The decoder leaves the index after the filter, whatever the AVA held, so
// the requested attributes that follow are read from the right place.
TEST(FilterDecode, IndexEndsAfterTheFilter) {
  Ber ber;
  ASSERT_EQ(QOXberAppend(ber.get(), "t{sss}s", 0xA3u, "cn", "a", "extra", "after"), 0);
  Decoded d;
  Decode(ber.get(), &d);
  ASSERT_EQ(d.rc, 0);
  char after[16] = {};
  ASSERT_EQ(QOXberRead(ber.get(), "s", after, static_cast<uint32_t>(sizeof after)), 0);
  EXPECT_STREQ(after, "after");
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

// With the word method an initial part passes over leading characters that
// are not letters or digits; with the substring method it does not.
TEST_F(FilterEval, InitialPartUnderBothIndexMethods) {
  Filter f{};
  f.choice = kFilterSubstrings;
  char initial[] = "ROBERT";
  f.initial = initial;
  char* word = vuzizSubstringPattern(&f, false);
  char* plain = vuzizSubstringPattern(&f, true);
  ASSERT_NE(word, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_STREQ(word, "^[^0-9A-Z]*ROBERT");
  EXPECT_STREQ(plain, "^ROBERT");
  zovurezFree(word);
  zovurezFree(plain);
}

// Metacharacters of the engine are escaped; a pattern is sized exactly, and
// parts too long for the budget are refused rather than overrun it.
TEST(SubstringPattern, EscapingAndBudget) {
  Filter f{};
  f.choice = kFilterSubstrings;
  char any0[] = "a.b*c(d)|e?f[g]^h$i+j\\k";
  char* anys[] = {any0, nullptr};
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
    char* part = text->data();
    char* list[] = {part, nullptr};
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

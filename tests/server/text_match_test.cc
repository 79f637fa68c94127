// Phonetic codes (a golden table worked out by hand from the coding rules;
// the codes are stored as index keys), the word helpers, and regex_matches.
#include "server/text_match.h"

#include <gtest/gtest.h>

#include <string>

#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

class TextMatchTest : public ::testing::Test {
 protected:
  void SetUp() override { context_ = ServerToolkitEnvironment::context; }
  static std::string Code(const char* word) {
    char* c = phonetic(word);
    std::string s = c != nullptr ? c : "<null>";
    zovurezFree(c);
    return s;
  }
  QOXContext* context_ = nullptr;
};

TEST_F(TextMatchTest, PhoneticGoldenTable) {
  struct Case {
    const char* word;
    const char* code;
  } cases[] = {
      {"Smith", "SM0"},     // TH is '0'; H after T silent
      {"Knight", "NKT"},    {"Night", "NKT"},  // leading K before N dropped
      {"Gnome", "NM"},      {"Wright", "RKT"},  {"Aeon", "EN"},
      {"White", "WT"},      // WH is one W
      {"Xavier", "SFR"},    // initial X is S
      {"Axe", "AKS"},       // X is KS
      {"Maxwell", "MKSL"},  // the S of KS takes the W's place; four characters at most
      {"Fermaxo", "FRMK"},  // the K fills the fourth place: no S
      {"Fax", "FK"},        // X last: nothing follows for the S
      {"Thomas", "0MS"},    {"Bob", "B"},       // B only last and not after M
      {"Lamb", "LM"},       {"Church", "XRX"},  {"Christ", "KRST"},
      {"Schmidt", "SKMT"},  {"Science", "SNS"}, {"Ciao", "X"},
      {"Match", "MX"},      {"Accept", "AKSP"},  // CC is not a duplicate
      {"Edge", "EJ"},       {"George", "GRG"},  {"Signed", "SNT"},
      {"Agjk", "AJK"},      {"Hugh", "HK"},     {"Phone", "FN"},
      {"Nation", "NXN"},    {"Quick", "KK"},    {"Dodd", "TT"},
      {"Yes", "YS"},        {"Way", "W"},       {"Ahead", "AHT"},
      {"Ohm", "OM"},        {"4ever", "EFR"},   // digits dropped
      {"smith jones", "SM0"},  // only the first word
      {"", ""},             {" smith", ""},     {"123", ""},  {"\xc3\xa9t\xc3\xa9", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Code(c.word), c.code) << c.word;
}

TEST_F(TextMatchTest, WordHelpers) {
  const char* text = "  hello, wide\xc3\xa9world!  ";
  const char* w = first_word(text);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w, text + 2);
  char* dup = word_dup(w);
  EXPECT_STREQ(dup, "hello");
  zovurezFree(dup);
  w = next_word(w);
  ASSERT_NE(w, nullptr);
  dup = word_dup(w);
  EXPECT_STREQ(dup, "wide");  // a byte of 0x80 or above ends a word
  zovurezFree(dup);
  w = next_word(w);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::string(w, 5), "world");
  EXPECT_EQ(next_word(w), nullptr);
  EXPECT_EQ(first_word(" ,;\xff"), nullptr);
  EXPECT_EQ(first_word(nullptr), nullptr);
}

TEST_F(TextMatchTest, RegexMatches) {
  EXPECT_EQ(regex_matches(context_, nullptr, "^10\\.1\\.", "10.1.2.3"), 1);
  EXPECT_EQ(regex_matches(context_, nullptr, "^10\\.1\\.", "110.1.2.3"), 0);
  EXPECT_EQ(regex_matches(context_, nullptr, "^$", nullptr), 1);  // a missing subject is ""
  EXPECT_EQ(regex_matches(context_, nullptr, "a**", "aaa"), 0);   // does not compile: no match
  QOXMutex m;
  ASSERT_EQ(QOXMutexCreate(&m, nullptr), 0);
  EXPECT_EQ(regex_matches(context_, &m, "b+", "abc"), 1);
  QOXMutexDestroy(&m);
}

}  // namespace

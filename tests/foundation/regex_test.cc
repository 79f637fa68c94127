// Regular expressions: a table of syntax errors and sizes, the anchoring
// cases the access rules rely on, and a differential run against Python's
// `re` on generated patterns of the syntax both engines share.
#include "foundation/regex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"

namespace {

class RegexTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
  }
  static void TearDownTestSuite() {
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  // 1 or 0 for a match, or the compile error.
  static int Match(const std::string& pattern, const char* subject) {
    QOXRegExp* e = nullptr;
    QOXError err = qoxRegComp(context_, pattern.c_str(), &e);
    if (err != 0) return err;
    int r = qoxRegExec(e, subject);
    qoxContextMemFree(context_, e);
    return r;
  }
  static QOXContext* context_;
};
QOXContext* RegexTest::context_ = nullptr;

TEST_F(RegexTest, SyntaxErrors) {
  const char* bad[] = {
      "a**",        "a*+",         "a+?",          "a?*",   // two operators in a row
      "(a*)+",      "(a*)*",       "(a|)*",        "^*",    "$+",  // operand can be empty
      "*a",         "a|*b",        "(+a)",                  // operator with nothing before it
      "(",          "(a",          ")",            "a)b",   // unbalanced
      "[z-a]",      "[abc",        "[",            "[]",    // sets
      "abc\\",                                              // trailing backslash
      "(((((((((((a))))))))))",    "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)",  // a tenth group
  };
  for (const char* p : bad) EXPECT_EQ(Match(p, "a"), kQOXErrOutOfMemory) << p;
  // Nine groups are the most.
  EXPECT_EQ(Match("(a)(b)(c)(d)(e)(f)(g)(h)(i)", "abcdefghi"), 1);
  EXPECT_EQ(Match("(a*)?b", "b"), 1);  // '?' may take an operand that can be empty
}

TEST_F(RegexTest, ArgumentsAndProgramSize) {
  QOXRegExp* e = nullptr;
  EXPECT_EQ(qoxRegComp(context_, nullptr, &e), kQOXErrBadParams);
  EXPECT_EQ(qoxRegComp(nullptr, "a", &e), kQOXErrBadParams);
  EXPECT_EQ(qoxRegComp(context_, "a", nullptr), kQOXErrBadParams);
  EXPECT_EQ(qoxRegExec(nullptr, "a"), kQOXErrBadParams);
  // A record that is not a compiled expression is refused.
  alignas(16) unsigned char junk[64] = {0};
  EXPECT_EQ(qoxRegExec(reinterpret_cast<QOXRegExp*>(junk), "a"), kQOXErrBadParams);
  // One literal run costs 11 bytes of program besides its characters.
  EXPECT_EQ(Match(std::string(32755, 'a'), "a"), 0);
  EXPECT_EQ(Match(std::string(32756, 'a'), "a"), kQOXErrBadParams);
}

TEST_F(RegexTest, TableOfMatches) {
  struct Case {
    const char* pattern;
    const char* subject;
    int expect;
  } cases[] = {
      {"10\\.1\\..*", "10.1.2.3", 1},   {"10\\.1\\..*", "110.1.2.3", 1},  // not anchored
      {"^10\\.1\\..*", "110.1.2.3", 0}, {"^10\\.1\\..*$", "10.1.2.3", 1},
      {"[^0-9]", "123", 0},             {"[^0-9]", "12x", 1},
      {"[a-]", "-", 1},                 {"[a-]", "b", 0},
      {"[]x]", "]", 1},                 {"[^]x]", "]x", 0},
      {"ab*c", "ac", 1},                {"ab+c", "ac", 0},
      {"(ab)+c", "ababc", 1},           {"a|b|", "zzz", 1},  // an empty branch matches
      {"", "", 1},                      {"$", "abc", 1},
      {"a$", "ab", 0},                  {"x^", "x", 0},
      {"\\*", "a*b", 1},                {"A", "a", 0},  // case matters
      {"[\x80-\xff]", "caf\xc3\xa9", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(Match(c.pattern, c.subject), c.expect) << c.pattern << " ~ " << c.subject;
}

// Random patterns over the metacharacters: every one compiles or is
// refused with a defined code, and matching never fails unsafely.
TEST_F(RegexTest, RandomPatternsAreSafe) {
  std::mt19937 rng(3);
  const char kChars[] = "^$.[]()|?+*\\-ab";
  for (int i = 0; i < 20000; ++i) {
    std::string pattern;
    for (int n = static_cast<int>(rng() % 12); n > 0; --n) pattern += kChars[rng() % (sizeof kChars - 1)];
    QOXRegExp* e = nullptr;
    QOXError err = qoxRegComp(context_, pattern.c_str(), &e);
    ASSERT_TRUE(err == 0 || err == kQOXErrOutOfMemory) << pattern << " " << err;
    if (err != 0) continue;
    int r = qoxRegExec(e, "ab-]a[b)(ba|");
    EXPECT_TRUE(r == 0 || r == 1) << pattern;
    qoxContextMemFree(context_, e);
  }
}

// Patterns of the syntax common to both engines (no '{', no escapes of
// letters, no sets where a range follows a range).
class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}
  std::string Expression(int depth) {
    std::string s = Branch(depth);
    while (Pick(5) == 0) s += "|" + Branch(depth);
    return s;
  }
  std::string Subject() {
    static const char kChars[] = "abcd-]x.";
    std::string s;
    for (int n = Pick(9); n > 0; --n) s += kChars[Pick(8)];
    return s;
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % n); }
  std::string Branch(int depth) {
    std::string s;
    for (int n = 1 + Pick(3); n > 0; --n) {
      s += Atom(depth);
      int op = Pick(8);
      if (op < 3) s += "*+?"[op];
    }
    return s;
  }
  std::string Atom(int depth) {
    switch (Pick(12)) {
      case 0:
        return ".";
      case 1:
        return Set();
      case 2:
        return depth > 0 ? "(" + Expression(depth - 1) + ")" : "a";
      case 3:
        return std::string("\\") + ".[()|?+*\\^$"[Pick(11)];
      case 4:
        return Pick(4) == 0 ? "^" : "$";
      default:
        return std::string(1, "abcd-]x"[Pick(7)]);
    }
  }
  std::string Set() {
    std::string s = "[";
    if (Pick(3) == 0) s += "^";
    if (Pick(5) == 0) s += "]";
    for (int n = 1 + Pick(3); n > 0; --n) {
      char a = static_cast<char>('a' + Pick(4));
      if (Pick(3) == 0) {
        s += a;
        s += '-';
        s += static_cast<char>(a + Pick(3));
      } else {
        s += a;
      }
      if (Pick(4) == 0) s += "x";  // keeps a following range from starting at a range's end
    }
    if (Pick(5) == 0) s += "-";
    return s + "]";
  }
  std::mt19937 rng_;
};

std::string Hex(const std::string& s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out.empty() ? "-" : out;
}

TEST_F(RegexTest, AgreesWithPythonRe) {
  Generator gen(20261210);
  struct Pair {
    std::string pattern, subject;
    int ours;
  };
  std::vector<Pair> pairs;
  for (int i = 0; i < 1500; ++i) {
    std::string pattern = gen.Expression(2);
    QOXRegExp* e = nullptr;
    if (qoxRegComp(context_, pattern.c_str(), &e) != 0) continue;  // ours refuses (e.g. "(a?)*")
    for (int k = 0; k < 8; ++k) {
      std::string subject = gen.Subject();
      pairs.push_back({pattern, subject, qoxRegExec(e, subject.c_str())});
    }
    qoxContextMemFree(context_, e);
  }
  ASSERT_GT(pairs.size(), 2000u);
  std::string input = testing::TempDir() + "regex_pairs.txt";
  {
    std::ofstream out(input);
    for (const Pair& p : pairs) out << Hex(p.pattern) << ' ' << Hex(p.subject) << '\n';
  }
  std::string script =
      "import re,sys\n"
      "h=lambda t:'' if t=='-' else bytes.fromhex(t).decode('latin-1')\n"
      "for line in open(sys.argv[1]):\n"
      "  p,s=line.split()\n"
      "  try: r=1 if re.search(h(p),h(s)) else 0\n"
      "  except re.error: r=9\n"
      "  print(r)\n";
  std::string scriptPath = testing::TempDir() + "regex_oracle.py";
  std::ofstream(scriptPath) << script;
  FILE* py = popen(("/usr/bin/python3 " + scriptPath + " " + input).c_str(), "r");
  ASSERT_NE(py, nullptr);
  int mismatches = 0;
  char line[16];
  for (const Pair& p : pairs) {
    ASSERT_NE(fgets(line, sizeof line, py), nullptr);
    int theirs = atoi(line);
    if (theirs == 9) continue;  // Python refuses what ours accepts (none expected, but not ours to judge)
    if (theirs != p.ours && ++mismatches < 10) {
      ADD_FAILURE() << "pattern '" << p.pattern << "' subject '" << p.subject << "': ours " << p.ours
                    << ", python " << theirs;
    }
  }
  pclose(py);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace

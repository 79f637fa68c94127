// Entries and their stored text form: round trips (Base64, folding, key
// blocks holding '!' and '@'), old-form key lines, long attribute types,
// LDIF lines read back by python-ldap's ldif parser, values and syntaxes,
// and the BER reading helpers.
#include "server/entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/armor_base64.h"
#include "net/ber.h"
#include "server/ber_helpers.h"
#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

using Values = std::map<std::string, std::vector<std::string>>;

Values ValuesOf(Entry* e) {
  Values out;
  for (Attribute* a = e->e_attrs; a != nullptr; a = a->a_next) {
    for (int i = 0; a->a_vals != nullptr && a->a_vals[i] != nullptr; ++i)
      out[a->a_type].emplace_back(a->a_vals[i]->bv_val, a->a_vals[i]->bv_len);
  }
  return out;
}

Entry* Make(const char* dn, const std::vector<std::pair<std::string, std::string>>& values) {
  Entry* e = entry_new();
  e->e_dn = zovurezStrdup(dn);
  for (auto& [type, value] : values)
    EXPECT_EQ(AddDirAttrToEntry(e, type.c_str(), value.data(), static_cast<uint32_t>(value.size())), 0);
  return e;
}

std::string Render(Entry* e, bool withID = false) {
  int length = 0;
  EntryTextBuffer buffer;
  char* text = entry2str(e, &buffer, &length, withID ? 1 : 0);
  EXPECT_NE(text, nullptr);
  return std::string(text, static_cast<size_t>(length));
}

Entry* Parse(std::string text) { return str2entry(text.data()); }

const std::string kArmored =
    "-----BEGIN PGP PUBLIC KEY BLOCK-----\r\nVersion: 1.0\r\nComment: Mail bob@example.com now!\r\n\r\n"
    "mQENBDx0AAABCADC\r\n=AbCd\r\n-----END PGP PUBLIC KEY BLOCK-----\r\n";

TEST(EntryTextTest, RoundTrips) {
  std::string longValue;
  for (int i = 0; i < 300; ++i) longValue += static_cast<char>('a' + i % 26);
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  Entry* e = Make("QOXCERTID=0123456789ABCDEF,OU=ACTIVE,O=QOX KEYSPACE,C=US",
                  {{"objectClass", "qoxcertificate"},
                   {"cn", "plain text, with punctuation!"},
                   {"cn", " leading blank"},
                   {"cn", ":leading colon"},
                   {"description", "tab\there"},
                   {"description", "caf\xc3\xa9"},
                   {"description", longValue},
                   {"jpegphoto", binary},
                   {"qoxkey", kArmored},                             // holds '!' and '@'
                   {"qoxkeyv2", "-----BEGIN\r\nline\r\n-----END\r\n"},  // does not
                   {"qoxdisabled", "0"}});
  e->e_id = 4242;
  std::string text = Render(e, true);
  EXPECT_EQ(text.rfind("4242\ndn: QOXCERTID=", 0), 0u) << text;
  EXPECT_NE(text.find("cn:: IGxlYWRpbmcgYmxhbms=\n"), std::string::npos);  // " leading blank"
  EXPECT_NE(text.find("qoxkeyv2: -----BEGIN@!line@!-----END@!\n"), std::string::npos);
  EXPECT_NE(text.find("qoxkey:: "), std::string::npos);  // Base64 of the unmapped block
  EXPECT_NE(text.find("\n "), std::string::npos);        // folded
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    EXPECT_LE(nl - start, 78u) << "line too long";  // folding counts from the type length + 1
  Entry* back = Parse(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->e_id, 4242u);
  EXPECT_STREQ(back->e_dn, e->e_dn);
  EXPECT_EQ(ValuesOf(back), ValuesOf(e));
  // Types are stored lower-cased and keep their first-seen order.
  EXPECT_STREQ(back->e_attrs->a_type, "objectclass");
  entry_free(back);
  entry_free(e);
}

TEST(EntryTextTest, OldFormKeyLinesReadAsBefore) {
  // The old writer mapped every key block, plain or (for odd bytes) Base64.
  std::string mapped = "-----BEGIN@!Version: 1.0@!\tx@!-----END@!";
  std::string b64(ArmorBase64Length(mapped.size()), '?');
  armorInput(reinterpret_cast<const uint8_t*>(mapped.data()), mapped.size(), b64.data());
  Entry* e = Parse("dn: cn=k\nqoxkey: -----BEGIN@!line@!-----END@!\nqoxkeyv2:: " + b64 + "\n");
  ASSERT_NE(e, nullptr);
  Values v = ValuesOf(e);
  EXPECT_EQ(v["qoxkey"][0], "-----BEGIN\r\nline\r\n-----END\r\n");
  EXPECT_EQ(v["qoxkeyv2"][0], "-----BEGIN\r\nVersion: 1.0\r\n\tx\r\n-----END\r\n");
  entry_free(e);
}

TEST(EntryTextTest, LongTypesKeepAllTheirValues) {
  // Fault guarded: a type longer than 63 characters restarted the value
  // count on every line and overwrote the values before.
  std::string type(70, 'x');
  Entry* e = Make("cn=long", {{type, "one"}, {type, "two"}, {type, "three"}});
  Entry* back = Parse(Render(e));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(ValuesOf(back)[type], (std::vector<std::string>{"one", "two", "three"}));
  entry_free(back);
  entry_free(e);
  // A type that comes back on a later line keeps its earlier values.
  back = Parse("dn: cn=x\ncn: a\nsn: b\ncn: c\n");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(ValuesOf(back)["cn"], (std::vector<std::string>{"a", "c"}));
  entry_free(back);
}

TEST(EntryTextTest, ParsingEdges) {
  struct Case {
    const char* text;
    bool entry;
    const char* dn;
    size_t values;
  } cases[] = {
      {"7\ndn: cn=a\ncn: a\n", true, "cn=a", 1},
      {"7\n", false, nullptr, 0},                          // an ID and nothing more
      {"cn: a\n", false, nullptr, 0},                      // no dn
      {"dn: cn=a\ndn: cn=b\ncn: a\n", true, "cn=a", 1},    // the second dn is ignored
      {"dn: cn=a\ncn:: Y$Jj\ncn: ok\n", true, "cn=a", 1},  // bad Base64 line skipped
      {"dn: cn=a\ncn:: Zg==Zm9v\n", true, "cn=a", 0},      // data after the padding: refused, not cut short
      {"dn: cn=a\ncn: ok\n\ncn: after the end\n", true, "cn=a", 1},
      {"dn: cn=a\ncn: fol\n ded\n", true, "cn=a", 1},
      {"dn: cn=a\nno colon here\ncn:\n", true, "cn=a", 0},
  };
  for (const Case& c : cases) {
    Entry* e = Parse(c.text);
    EXPECT_EQ(e != nullptr, c.entry) << c.text;
    if (e == nullptr) continue;
    EXPECT_STREQ(e->e_dn, c.dn);
    size_t n = 0;
    for (auto& [t, vs] : ValuesOf(e)) n += vs.size();
    EXPECT_EQ(n, c.values) << c.text;
    entry_free(e);
  }
  Entry* e = Parse("dn: cn=a\ncn: fol\n ded\n");
  EXPECT_EQ(ValuesOf(e)["cn"][0], "folded");
  entry_free(e);
}

TEST(EntryTextTest, LdifLinesReadBackByPythonLdif) {
  std::vector<std::pair<std::string, std::string>> lines = {
      {"cn", "plain"},          {"cn", " lead"},          {"cn", ":colon"},
      {"cn", std::string(200, 'z')}, {"description", std::string("nul\0byte", 8)},
      {"description", "caf\xc3\xa9"}, {"jpegphoto", std::string("\x01\x02\xff\n\r", 5)},
      {"averyveryverylongattributetypenamethatpushesthecolumn", std::string(150, 'q')},
  };
  std::string ldif = "dn: cn=test\n";
  for (auto& [type, value] : lines) {
    char* line = ldif_type_and_value(type.c_str(), value.data(), value.size());
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(strlen(line), ldif_line_size(type.size(), value.data(), value.size()));
    ldif += line;
    zovurezFree(line);
  }
  std::string path = testing::TempDir() + "entry_test.ldif";
  std::ofstream(path, std::ios::binary) << ldif;
  std::string cmd = "/usr/bin/python3 -c \"import ldif,sys;r=ldif.LDIFRecordList(open(sys.argv[1],'rb'));"
                    "r.parse();dn,e=r.all_records[0];print(dn);"
                    "[print(t, v.hex()) for t in sorted(e) for v in e[t]]\" " + path;
  FILE* py = popen(cmd.c_str(), "r");
  ASSERT_NE(py, nullptr);
  std::string out;
  char buf[4096];
  while (fgets(buf, sizeof buf, py) != nullptr) out += buf;
  ASSERT_EQ(pclose(py), 0) << out;
  std::map<std::string, std::vector<std::string>> expected;
  for (auto& [type, value] : lines) {
    std::string hex;
    for (unsigned char c : value) {
      char h[3];
      snprintf(h, sizeof h, "%02x", c);
      hex += h;
    }
    expected[type].push_back(hex);
  }
  std::string want = "cn=test\n";
  for (auto& [type, hexes] : expected)
    for (auto& h : hexes) want += type + " " + h + "\n";
  EXPECT_EQ(out, want);
}

// Mutated stored texts: parsing never fails unsafely, and whatever entry
// comes out renders to a text that parses back to the same entry.
TEST(EntryTextTest, MutatedTextsParseSafelyAndRoundTrip) {
  Entry* seed = Make("cn=seed,o=x", {{"cn", "seed value"}, {"qoxkey", kArmored}, {"jpegphoto", "\x01\x02\xff"},
                                     {"description", std::string(120, 'd')}});
  const std::string base = Render(seed, true);
  entry_free(seed);
  std::mt19937 rng(11);
  const char kBytes[] = ":\n \t=!@#A0\x01\x80";
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
      size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0:
          text[at] = kBytes[rng() % (sizeof kBytes - 1)];
          break;
        case 1:
          text.insert(at, 1, kBytes[rng() % (sizeof kBytes - 1)]);
          break;
        default:
          text.erase(at, 1 + rng() % 8);
          if (text.empty()) text = "x";
          break;
      }
    }
    Entry* e = Parse(text);
    if (e == nullptr) continue;
    Values first = ValuesOf(e);
    std::string dn = e->e_dn;
    Entry* again = Parse(Render(e));
    ASSERT_NE(again, nullptr) << text;
    EXPECT_EQ(again->e_dn, dn);
    EXPECT_EQ(ValuesOf(again), first) << text;
    entry_free(again);
    entry_free(e);
  }
}

TEST(EntryValueTest, ComparisonsBySyntax) {
  auto bv = [](const char* s) { return BerValue{static_cast<uint32_t>(strlen(s)), const_cast<char*>(s)}; };
  struct Case {
    const char* a;
    const char* b;
    int syntax;
    int normalize;
    bool equal;
  } cases[] = {
      {"555-12 34", "5551234", kSyntaxCIS | kSyntaxTelephone, kNormalizeA | kNormalizeB, true},
      {"Hello", "HELLO", kSyntaxCIS, 0, true},
      {"Hello", "HELLO", kSyntaxCES, 0, false},
      {"abc", "abcdef", kSyntaxBinary, 0, true},  // a prefix compares equal
      {"abd", "abcdef", kSyntaxBinary, 0, false},
      {"cn = A , o=B", "CN=a,O=b", kSyntaxCIS | kSyntaxDN, kNormalizeA | kNormalizeB, true},
      {"x", "y", 64, 0, true},  // unknown syntax: equal
  };
  for (const Case& c : cases) {
    std::string a = c.a, b = c.b;
    BerValue va = bv(a.c_str()), vb = bv(b.c_str());
    EXPECT_EQ(berValueCmp(&va, &vb, c.syntax, c.normalize) == 0, c.equal) << c.a << " / " << c.b;
  }
  BerValue x = bv("ABCD"), y = bv("abzz");
  EXPECT_EQ(berValueNCmp(&x, &y, kSyntaxCIS, 2, 0), 0);
  EXPECT_NE(berValueNCmp(&x, &y, kSyntaxCES, 2, 0), 0);
  EXPECT_EQ(berValueNCmp(&x, &y, kSyntaxBinary, 100, 0), berValueCmp(&x, &y, kSyntaxBinary, 0));  // bounded
  BerValue one = bv("one"), empty = bv(""), two = bv("TWO");
  BerValue* add[] = {&one, &empty, &two, nullptr};
  BerValue** vec = nullptr;
  ASSERT_EQ(berValuesAdd(&vec, add), 0);
  ASSERT_NE(vec[1], nullptr);
  EXPECT_EQ(vec[2], nullptr);  // the empty value is skipped
  BerValue probe = bv("two");
  EXPECT_EQ(berValueFind(vec, &probe, kSyntaxCIS, 0), 0);
  EXPECT_EQ(berValueFind(vec, &probe, kSyntaxCES, 0), 1);
  berValuesFree(vec);
}

TEST(EntryValueTest, SyntaxTable) {
  char a0[] = "dn", a1[] = "dn";
  char* dnLine[] = {a0, a1};
  attr_syntax_config("ldbm dn initialization", 0, 2, dnLine);
  char b0[] = "telephoneNumber", b1[] = "phone", b2[] = "tel";
  char* telLine[] = {b0, b1, b2};
  attr_syntax_config("test", 1, 3, telLine);
  char c0[] = "dn", c1[] = "bin";
  char* dupLine[] = {c0, c1};
  attr_syntax_config("test", 2, 2, dupLine);  // a different syntax for "dn": dropped
  char d0[] = "x", d1[] = "nosuch";
  char* badLine[] = {d0, d1};
  attr_syntax_config("test", 3, 2, badLine);
  EXPECT_EQ(attr_syntax("DN"), 17);
  EXPECT_EQ(attr_syntax("telephonenumber"), 9);
  EXPECT_EQ(attr_syntax("Phone"), 9);  // a later name of the node
  EXPECT_EQ(attr_syntax("x"), 1);
  EXPECT_EQ(attr_syntax("cn"), 1);
  Entry* e = entry_new();
  ASSERT_EQ(AddDirAttrToEntry(e, "Phone", "1", 1), 0);
  EXPECT_EQ(e->e_attrs->a_syntax, 9);
  EXPECT_STREQ(e->e_attrs->a_type, "phone");
  EXPECT_EQ(attr_delete(&e->e_attrs, "PHONE"), 0);
  EXPECT_EQ(attr_delete(&e->e_attrs, "phone"), 1);
  entry_free(e);
  attr_syntax_release();
  EXPECT_EQ(attr_syntax("dn"), 1);
}

TEST(EntryValueTest, EntryArrays) {
  Entry** array = nullptr;
  int capacity = 0, count = 0;
  ASSERT_EQ(GrowEntries(&array, 3, &capacity), 0);
  EXPECT_EQ(capacity, 8);
  for (; count < 3; ++count) array[count] = Make("cn=a", {{"cn", "a"}});
  ASSERT_EQ(GrowEntries(&array, 20, &capacity), 0);
  EXPECT_EQ(capacity, 20);
  EXPECT_NE(array[2], nullptr);
  EXPECT_EQ(array[3], nullptr);
  while (count > 0) GiveBackEntry(&array, &count);
  GiveBackEntry(&array, &count);  // nothing left: no effect
  EXPECT_EQ(count, 0);
  zovurezFree(array);
}

TEST(BerHelpersTest, SetsAndElements) {
  QOXberElement* ber = nullptr;
  ASSERT_EQ(QOXNewBERElement(ServerToolkitEnvironment::context, &ber), 0);
  const char* attrs[] = {"cn", "qoxkey", "mail", nullptr};
  ASSERT_EQ(QOXberAppend(ber, "{v}", attrs), 0);
  ASSERT_EQ(QOXberAppend(ber, "{[]}"), 0);
  ASSERT_EQ(QOXberAppend(ber, "{tsts}", 0x80u, "ab", 0x82u, "yz"), 0);
  QOXberRewind(ber);
  char** strings = nullptr;
  int count = -1;
  ASSERT_EQ(berReadAttrsAlloc(ber, &strings, &count), 0);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(strings[1], "qoxkey");
  EXPECT_EQ(strings[3], nullptr);
  EXPECT_EQ(berReadAttrsAlloc(ber, &strings, &count), 1);  // out pointer must be empty
  charray_free(strings);
  // The empty set inside the second SEQUENCE.
  ASSERT_EQ(QOXberNext(ber), 0);
  BerValue** vector = nullptr;
  ASSERT_EQ(berReadVectorAlloc(ber, &vector, &count), 0);
  EXPECT_EQ(vector, nullptr);
  EXPECT_EQ(count, 0);
  // The third: walk its elements by tag up to its end.
  uint32_t tag = 0, end = 0;
  ASSERT_EQ(berFirstElement(ber, &tag, &end, 0), 0);
  EXPECT_EQ(tag, 0x80u);
  std::vector<std::string> seen;
  for (; tag != kBerNoTag; berNextElement(ber, &tag, end)) {
    char* s = nullptr;
    ASSERT_EQ(berReadStringAlloc(ber, &s, nullptr), 0);
    seen.push_back(s);
    zovurezFree(s);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"ab", "yz"}));
  QOXFreeBERElement(ber);
}

}  // namespace

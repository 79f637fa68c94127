// The backend's keywords, its built-in index definitions and the Index
// definitions it takes from the configuration.
#include <filesystem>

#include "backend/attr_index.h"
#include "ldbm_test_support.h"
#include "server/daemon.h"
#include "server/error_log.h"

namespace {

struct Line {
  std::vector<std::string> words;
  int result;
  const char* message;  // expected on standard error (part of it), or ""
};

int Config(Backend* be, std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return ldbm_back_config(be, "f.conf", 3, static_cast<int>(words.size()), argv.data());
}

TEST(LdbmConfig, KeywordTable) {
  TempBackend t;
  std::filesystem::create_directory(t.path("data"));
  g_pszCurrentDirectory = zovurezStrdup(t.dir().c_str());
  const Line lines[] = {
      {{"Directory"}, 1, "f.conf(3): Missing Path in \"Directory <Path>\" line.\n"},
      {{"directory", "nowhere"}, 1, "f.conf(3): Directory '"},
      {{"DIRECTORY", "data"}, 0, ""},
      {{"Mode", "0600"}, 0, ""},
      {{"Mode", "600"}, 1, "f.conf(3): Invalid Mode argument in \"Mode <Mode>\" line.\n"},
      {{"Mode", "0x600"}, 1, "Invalid Mode argument"},
      {{"Mode"}, 1, "f.conf(3): Missing Mode in \"Mode <Mode>\" line.\n"},
      {{"CacheEntries", "200"}, 0, ""},
      {{"CacheEntries", "2000"}, 0, "f.conf(3): CacheEntries should be between 10 and 1000. Currently it is 2000.\n"},
      {{"CacheEntries", "12a"}, 1, "f.conf(3): CacheEntries should be an integer. Currently it is 12a.\n"},
      {{"CacheEntries"}, 1, "Missing Number"},
      {{"DBCacheSize", "500"}, 0, "f.conf(3): DBCacheSize should be larger. Currently it is 500.\n"},
      {{"DBCacheSize", "2000000"}, 0, ""},
      {{"DBCacheSize", "-5"}, 1, "DBCacheSize should be an integer. Currently it is -5."},
      {{"dbCacheSplit", "dn"}, 1, "f.conf(3): Invalid dbCacheSplit. \"DBCacheSplit <Filename> <Size>\" line.\n"},
      {{"dbCacheSplit", "dn", "x"}, 1, "DBCacheSplit percent should be aninteger. Currently it is x."},
      {{"dbCacheSplit", "dn", "87"}, 1, "f.conf(3): Invalid split percent (87)"},
      {{"dbCacheSplit", "cn", "10"}, 1, "f.conf(3): Invalid split filename (cn)"},
      {{"Index"}, 1, "Missing Attribute in \"Index <Attribute> [pres,eq,approx,sub]\" line."},
      {{"Index", "cn", "eq", "more"}, 1, "Too many parameters in \"Index <Attribute> [pres,eq,approx,sub]\" line."},
      {{"Index", "cn,sn", "eq,approx"}, 0, ""},
      {{"Suffix", "o=x"}, 2, "f.conf(3): Unknown configuration value (Suffix).\n"},
  };
  for (const Line& l : lines) {
    SCOPED_TRACE(l.words[0] + (l.words.size() > 1 ? " " + l.words[1] : ""));
    testing::internal::CaptureStderr();
    ErrorLogInit("test", kLogWarning, 0, 1, nullptr);
    int rc = Config(t.be(), l.words);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, l.result);
    if (l.message[0] == '\0') {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(l.message), std::string::npos) << err;
    }
  }
  EXPECT_EQ(std::string(t.li()->directory), t.path("data"));
  EXPECT_EQ(t.li()->mode, 0600);
  EXPECT_EQ(t.li()->entryCache.maxSize, 2000);
  EXPECT_EQ(t.li()->dbCacheSize, 2000000);
  int mask = 0, syntax = 0;
  attr_masks(t.li(), "SN", &mask, &syntax);
  EXPECT_EQ(mask, kIndexEquality | kIndexApprox);
  ResetCacheSplitInfo();
  zovurezFree(g_pszCurrentDirectory);
  g_pszCurrentDirectory = nullptr;
}

TEST(LdbmConfig, BuiltInIndexesAndTheirExtension) {
  TempBackend t;
  struct Want {
    const char* attr;
    int mask;
  } wants[] = {
      {"dn", kIndexEquality | kIndexBuiltIn},
      {"objectclass", kIndexPresence | kIndexEquality | kIndexBuiltIn},
      {"qoxuserid", kIndexEquality | kIndexSubstring | kIndexBuiltIn},  // without a server state: substrings
      {"qoxkeyexpiretime", kIndexEquality | kIndexBuiltIn},
      {"modifytimestamp", kIndexEquality | kIndexBuiltIn},
      {"cn", 0},
  };
  for (const Want& w : wants) {
    int mask = -1, syntax = -1;
    attr_masks(t.li(), w.attr, &mask, &syntax);
    EXPECT_EQ(mask, w.mask) << w.attr;
  }
  int mask = 0, syntax = 0;
  attr_masks(t.li(), "dn", &mask, &syntax);
  EXPECT_EQ(syntax, 17);  // the DN syntax declared by init

  // A configured line extends a built-in definition; a second configured
  // line for one attribute is refused.
  char a[] = "qoxkeyid", k[] = "approx";
  char* args[] = {a, k};
  attr_index_config(t.li(), "f", 1, 2, args, 0);
  attr_masks(t.li(), "qoxkeyid", &mask, &syntax);
  EXPECT_EQ(mask, kIndexEquality | kIndexApprox | kIndexBuiltIn);
  char c[] = "cn", e[] = "eq", s[] = "sub";
  char* first[] = {c, e};
  char* second[] = {c, s};
  attr_index_config(t.li(), "f", 2, 2, first, 0);
  testing::internal::CaptureStderr();
  attr_index_config(t.li(), "f", 3, 2, second, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "f: line 3: duplicate index definition for attr \"cn\" (ignored)\n");
  attr_masks(t.li(), "cn", &mask, &syntax);
  EXPECT_EQ(mask, kIndexEquality);
}

TEST(LdbmConfig, IndexKindsAndDefault) {
  TempBackend t;
  struct Case {
    const char* attr;
    const char* kinds;  // null: no kinds given
    int mask;
    const char* message;
  } cases[] = {
      {"a1", nullptr, kIndexDefault, ""},
      {"a2", "PRES,eq", kIndexPresence | kIndexEquality, ""},
      {"a3", "substrings,approximate", kIndexSubstring | kIndexApprox, ""},  // first characters count
      {"a4", "none", 0, ""},
      {"a5", "eq,none", 0, "f: line 1: index type \"none\" cannot be combined with other types\n"},
      {"a6", "eq,bogus", kIndexEquality,
       "f: line 1: unknown index type \"bogus\" (ignored)\nvalid index types are \"pres\", \"eq\", \"approx\", or \"sub\"\n"},
      {"a7", "word", kIndexWord, ""},
  };
  for (const Case& k : cases) {
    std::vector<char*> args = {const_cast<char*>(k.attr), const_cast<char*>(k.kinds)};
    testing::internal::CaptureStderr();
    attr_index_config(t.li(), "f", 1, k.kinds != nullptr ? 2 : 1, args.data(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), k.message) << k.attr;
    int mask = -1, syntax = -1;
    attr_masks(t.li(), k.attr, &mask, &syntax);
    EXPECT_EQ(mask, k.mask) << k.attr;
  }
  // "default" answers for every attribute without its own definition, with
  // that attribute's syntax.
  char d[] = "default", eq[] = "eq";
  char* args[] = {d, eq};
  attr_index_config(t.li(), "f", 9, 2, args, 0);
  int mask = 0, syntax = 0;
  attr_masks(t.li(), "dn", &mask, &syntax);
  EXPECT_EQ(mask, kIndexEquality | kIndexBuiltIn);
  attr_masks(t.li(), "anything", &mask, &syntax);
  EXPECT_EQ(mask, kIndexEquality);
  EXPECT_EQ(syntax, 1);
}

}  // namespace

// Key-set utilities over the gpg fixtures of tests/keydb/data, with gpg's
// listings (key IDs, fingerprints, signature lines) as the oracle; the
// client's result texts and the user-ID and fingerprint texts as tables.
#include "keyservice/key_set_utils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "keydb/key_iter.h"
#include "keydb/key_set.h"

namespace {

std::string Data(const std::string& name) { return std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name; }

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(ResultTextTest, OnlyTheListedResultsHaveTexts) {
  struct Case {
    int result;
    const char* text;
  } cases[] = {
      {1, "An error was detected on the server processing this request.  Consult the server admininstrator for "
          "assistance."},
      {2, "The data provided to the server was invalid or corrupt."},
      {3, "This operation exceeded the maximum time limit for a single request."},
      {4, "The number of certificates returned by this search exceeds the maximum set for this server."},
      {8, "This request must be signed by an authorized person."},
      {48, "The authorization used for this request was invalid and unnecessary."},
      {50, "You do not have authority to perform this action."},
      {90, "Server out of memory."},
      {0, "kept"}, {49, "kept"}, {68, "kept"}, {91, "kept"}, {-11494, "kept"},
  };
  for (const Case& c : cases) {
    const char* message = "kept";
    LDAPerrorMapToMsg(c.result, &message);
    EXPECT_STREQ(message, c.text) << c.result;
  }
}

TEST(UserIDTextTest, SplitsNameAndAddress) {
  struct Case {
    const char* userID;
    const char* name;
    const char* address;  // null: none
  } cases[] = {
      {"Bob DSA <bob@example.org>", "Bob DSA", "bob@example.org"},
      {"Bob DSA \t<bob@example.org> (work)", "Bob DSA", "bob@example.org"},
      {"<only@example.org>", "", "only@example.org"},
      {"Plain Name", "Plain Name", nullptr},
      {"Open <bracket", "Open <bracket", nullptr},
      {"a > b <c>", "a > b", "c"},
  };
  for (const Case& c : cases) {
    char* name = nullptr;
    char* address = nullptr;
    ASSERT_TRUE(SplitQOXUserID(c.userID, &name, &address));
    EXPECT_STREQ(name, c.name) << c.userID;
    if (c.address == nullptr) {
      EXPECT_EQ(address, nullptr) << c.userID;
    } else {
      EXPECT_STREQ(address, c.address) << c.userID;
    }
    delete[] name;
    delete[] address;
  }
}

TEST(FingerprintTextTest, GroupsAsGpgPrintsThem) {
  // bob's fingerprint from gpg --with-colons; gpg prints it in these groups.
  std::smatch m;
  std::string colons = Slurp(Data("bob.colons.txt"));
  ASSERT_TRUE(std::regex_search(colons, m, std::regex("fpr:+([0-9A-F]{40}):")));
  std::string hex = m[1];
  char buffer[kFingerprintTextSize] = {};
  for (size_t i = 0; i < 20; ++i) buffer[i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  KMConvertStringFingerprint(17, buffer);
  EXPECT_STREQ(buffer, "959E 1455 7ADB CB66 F095  EAF2 1717 17CD DE4E DF82");
  const uint8_t md5[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0, 1, 2, 3, 4, 5, 6, 0xFF};
  memcpy(buffer, md5, 16);
  KMConvertStringFingerprint(1, buffer);
  EXPECT_STREQ(buffer, "0123 4567 89AB CDEF  0001 0203 0405 06FF");
  KMConvertStringFingerprint(16, buffer);
  EXPECT_STREQ(buffer, "");
}

class KeySetUtilsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  static void TearDownTestSuite() { QOXsdkCleanup(); }
  void SetUp() override { ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0); }
  void TearDown() override {
    for (QOXKeySet* s : sets_) QOXFreeKeySet(s);
    for (QOXKeyDB* db : dbs_) QOXFreeKeyDB(db);
    QOXFreeContext(context_);
  }
  QOXKeySet* SetOf(const std::string& file) {
    std::string bytes = Slurp(Data(file));
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(qoxImportKeyBinary(context_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &db), 0);
    dbs_.push_back(db);
    QOXKeySet* set = nullptr;
    EXPECT_EQ(QOXNewKeySet(db, &set), 0);
    sets_.push_back(set);
    return set;
  }
  QOXKeyDBObj* FirstKey(QOXKeySet* set) {
    QOXKeyDBObj* key = nullptr;
    EXPECT_EQ(KeySet2Key(set, false, &key), 0);
    return key;
  }
  QOXContext* context_ = nullptr;
  std::vector<QOXKeyDB*> dbs_;
  std::vector<QOXKeySet*> sets_;
};

TEST_F(KeySetUtilsTest, KeysIDsAndCountsAgreeWithGpg) {
  QOXKeySet* both = SetOf("bob.both.bin");
  QOXKeyDBObj* bob = FirstKey(both);
  ASSERT_NE(bob, nullptr);
  char certID[17];
  ASSERT_EQ(GetCertID(bob, certID), 0);
  EXPECT_STREQ(certID, "171717CDDE4EDF82");  // bob.keyid-long.txt

  // One user ID and gpg's three signature lines (self, alice, carol).
  uint32_t userIDs = 0, sigs = 0;
  ASSERT_EQ(CountUserIDsSigsOnKeySet(both, &userIDs, &sigs), 0);
  EXPECT_EQ(userIDs, 1u);
  EXPECT_EQ(sigs, 3u);

  // Secret keys: none in a public export (-11499), the key in a secret one;
  // an empty set gives no key and 0.
  QOXKeyDBObj* key = nullptr;
  EXPECT_EQ(KeySet2Key(SetOf("bob.bin"), true, &key), kQOXErrOptionNotFound);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(KeySet2Key(SetOf("bob.sec.bin"), true, &key), 0);
  EXPECT_NE(key, nullptr);
  QOXKeyDB* empty = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &empty), 0);
  dbs_.push_back(empty);
  QOXKeySet* none = nullptr;
  ASSERT_EQ(QOXNewKeySet(empty, &none), 0);
  sets_.push_back(none);
  key = reinterpret_cast<QOXKeyDBObj*>(1);
  EXPECT_EQ(KeySet2Key(none, false, &key), 0);
  EXPECT_EQ(key, nullptr);

  QOXKeySet* plain = SetOf("bob.bin");
  // An empty set: no key to ask, the rule stays "required".
  bool required = false;
  EXPECT_EQ(ModRequiresSig(none, &required), kQOXErrItemNotFound);
  EXPECT_TRUE(required);

  // Membership by fingerprint across databases.
  bool member = false;
  EXPECT_EQ(QOXLocalKeySetIsMember(FirstKey(plain), both, &member), 0);
  EXPECT_TRUE(member);
  EXPECT_EQ(QOXLocalKeySetIsMember(FirstKey(SetOf("alice.bin")), both, &member), 0);
  EXPECT_FALSE(member);

  // The stored copy's user ID that matches a submitted one.
  QOXKeyIter* submitted = nullptr;
  ASSERT_EQ(QOXNewKeyIterFromKeySet(plain, &submitted), 0);
  QOXKeyDBObj* obj = nullptr;
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(submitted, kQOXKeyIterKind_Key, &obj), 0);
  QOXKeyDBObj* userID = nullptr;
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(submitted, kQOXKeyIterKind_UserID, &userID), 0);
  EXPECT_FALSE(IsPhotoID(userID));
  EXPECT_EQ(TrimPhotoIDs(userID), kQOXErrKeyValidityLowOrNone);
  QOXKeyIter* stored = nullptr;
  ASSERT_EQ(QOXNewKeyIterFromKeySet(both, &stored), 0);
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(stored, kQOXKeyIterKind_Key, &obj), 0);
  QOXKeyDBObj* match = nullptr;
  EXPECT_EQ(FindUserIDInCert(stored, userID, &match), 0);
  EXPECT_NE(match, nullptr);
  QOXKeyIter* aliceIter = nullptr;
  ASSERT_EQ(QOXNewKeyIterFromKeySet(SetOf("alice.bin"), &aliceIter), 0);
  ASSERT_EQ(QOXKeyIterNextKeyDBObj(aliceIter, kQOXKeyIterKind_Key, &obj), 0);
  EXPECT_EQ(FindUserIDInCert(aliceIter, userID, &match), 0);
  EXPECT_EQ(match, nullptr);
  QOXFreeKeyIter(aliceIter);
  QOXFreeKeyIter(stored);
  QOXFreeKeyIter(submitted);
}

}  // namespace

// The acceptance policy over gpg-made keys (tests/keydb/data, made by
// make_fixtures.sh): bob DSA-1024 certified by alice, by carol, by both or
// by nobody. Key IDs come from gpg's own listings. Signature results are
// set in the signatures' info records, as a checked key database holds
// them; the check itself is a double that leaves them as they are.
#include "keyservice/policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_iter.h"
#include "keydb/key_set.h"
#include "keydb/sig_check_services.h"
#include "server/connection.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "tests/common/scoped_services.h"

namespace {

std::string Data(const std::string& name) { return std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name; }

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The long key ID gpg lists for a fixture key (16 digits, upper case).
std::string GpgKeyID(const std::string& key) {
  std::smatch m;
  std::string text = Slurp(Data(key + ".keyid-long.txt"));
  EXPECT_TRUE(std::regex_search(text, m, std::regex("pub +[a-z0-9]+/0x([0-9A-F]{16})"))) << key;
  return m[1];
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

class PolicyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  static void TearDownTestSuite() { QOXsdkCleanup(); }
  void SetUp() override {
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    alice_ = GpgKeyID("alice");
    carol_ = GpgKeyID("carol");
    bob_ = GpgKeyID("bob");
    // The check leaves the info records as the fixture set them.
    sigCheck_->qoxCheckOneSig = [](QOXKeyDBObj*, QOXKeyDB*) { return QOXError{0}; };
    sigCheck_->QOXCalculateTrust = [](QOXKeySet*, QOXKeyDB*) { return QOXError{0}; };
  }
  void TearDown() override {
    for (QOXKeySet* s : sets_) QOXFreeKeySet(s);
    for (QOXKeyDB* db : dbs_) QOXFreeKeyDB(db);
    QOXFreeContext(context_);
    vuzizReleaseGlobals(&g, 0);
  }
  QOXKeyDB* Import(const std::string& file) {
    std::string bytes = Slurp(Data(file));
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(qoxImportKeyBinary(context_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &db), 0)
        << file;
    if (db != nullptr) dbs_.push_back(db);
    return db;
  }
  QOXKeySet* SetOf(const std::string& file) {
    QOXKeySet* set = nullptr;
    EXPECT_EQ(QOXNewKeySet(Import(file), &set), 0);
    if (set != nullptr) sets_.push_back(set);
    return set;
  }
  // MustSigID (or AllowSigID) lines, each a list of key IDs.
  void Lines(KeyIDNode** heads, const std::vector<std::vector<std::string>>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
      KeyIDNode** tail = &heads[i];
      for (const std::string& id : lines[i]) {
        auto* n = static_cast<KeyIDNode*>(zovurezCalloc(1, sizeof(KeyIDNode)));
        snprintf(n->keyID, sizeof n->keyID, "%s", id.c_str());
        *tail = n;
        tail = &n->next;
      }
    }
  }
  // Every signature on the first key's user IDs, with its signer's digits,
  // marked as the check would leave it.
  void MarkSigs(bool tried, bool verified) {
    for (QOXKeySet* set : sets_) {
      QOXKeyIter* it = nullptr;
      ASSERT_EQ(QOXNewKeyIterFromKeySet(set, &it), 0);
      QOXKeyDBObj* obj = nullptr;
      while (QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_Any, &obj) == 0) {
        if (QOXPeekKeyDBObjUserID(obj) == nullptr || QOXPeekKeyDBObjUserID(obj) == obj) continue;
        SigInfo* info = qoxSigToSigInfo(obj);
        ASSERT_NE(info, nullptr);
        info->trustByte &= static_cast<uint8_t>(~(kQOXSigTrust_Tried | kQOXSigTrust_Checked));
        if (tried) info->trustByte |= kQOXSigTrust_Tried;
        if (verified) info->trustByte |= kQOXSigTrust_Checked;
      }
      QOXFreeKeyIter(it);
    }
  }
  // The signers of each user ID of the set's first key.
  std::vector<std::string> Signers(QOXKeySet* set) {
    std::vector<std::string> out;
    QOXKeyIter* it = nullptr;
    EXPECT_EQ(QOXNewKeyIterFromKeySet(set, &it), 0);
    QOXKeyDBObj* obj = nullptr;
    EXPECT_EQ(QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_Key, &obj), 0);
    while (QOXKeyIterNextKeyDBObj(it, kQOXKeyIterKind_UserID, &obj) == 0) {
      std::vector<SignerRecord> records;
      EXPECT_EQ(GetSigIDsOfUserID(it, false, false, &records), 0);
      std::string line;
      for (const SignerRecord& r : records) line += std::string(1, r.marker) + std::string(r.keyID, 16) + " ";
      out.push_back(line);
    }
    QOXFreeKeyIter(it);
    return out;
  }

  QOXContext* context_ = nullptr;
  std::vector<QOXKeyDB*> dbs_;
  std::vector<QOXKeySet*> sets_;
  std::string alice_, carol_, bob_;
  Connection conn_{};
  ostrak_test::ScopedServices<QOXSigCheckServices> sigCheck_{qoxSigCheckServices, qoxRegisterSigCheckServices};
};

TEST_F(PolicyTest, RequiredSignersByLine) {
  struct Case {
    const char* key;
    std::vector<std::vector<std::string>> must;
    QOXError result;
  } cases[] = {
      {"bob.both.bin", {{alice_, carol_}}, 0},
      {"bob.alice.bin", {{alice_, carol_}}, kQOXErrKeyValidityLowOrNone},  // one line needs both
      {"bob.carol.bin", {{alice_}, {carol_}}, 0},                          // either line will do
      {"bob.alice.bin", {{Lower(alice_)}}, 0},                             // any letter case
      {"bob.bin", {{alice_}}, kQOXErrKeyValidityLowOrNone},
      {"alice.bin", {{carol_}}, kQOXErrKeyValidityLowOrNone},
      {"bob.bin", {}, 0},  // no line: every key passes
  };
  for (const Case& c : cases) {
    vuzizReleaseGlobals(&g, 0);
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    g->verifySignatures = 0;
    Lines(g->MustSigID, c.must);
    bool trimmed = true;
    EXPECT_EQ(CheckPolicy(SetOf(c.key), &conn_, &trimmed), c.result) << c.key;
    EXPECT_FALSE(trimmed);
  }
}

TEST_F(PolicyTest, SignatureCheckingDecidesWhetherUnverifiedSignaturesCount) {
  Lines(g->MustSigID, {{alice_}});
  QOXKeySet* set = SetOf("bob.alice.bin");
  bool trimmed = false;
  // Tried and verified: counts.
  g->verifySignatures = 1;
  MarkSigs(true, true);
  EXPECT_EQ(CheckPolicy(set, &conn_, &trimmed), 0);
  // Tried and not verified: skipped under checking, counted with -a.
  MarkSigs(true, false);
  EXPECT_EQ(CheckPolicy(set, &conn_, &trimmed), kQOXErrKeyValidityLowOrNone);
  g->verifySignatures = 0;
  EXPECT_EQ(CheckPolicy(set, &conn_, &trimmed), 0);
  // A failing check makes the policy fail with its code.
  g->verifySignatures = 1;
  MarkSigs(false, false);
  sigCheck_->qoxCheckOneSig = [](QOXKeyDBObj*, QOXKeyDB*) { return kQOXErrOutOfMemory; };
  EXPECT_EQ(CheckPolicy(set, &conn_, &trimmed), kQOXErrOutOfMemory);
}

TEST_F(PolicyTest, TrimmingKeepsSelfAndPolicySignaturesAndDropsBareUserIDs) {
  g->verifySignatures = 0;
  conn_.keyDBs[0] = Import("alice.bin");
  QOXKeySet* both = SetOf("bob.both.bin");
  std::vector<std::string> before = Signers(both);
  ASSERT_EQ(before.size(), 1u);
  ASSERT_NE(before[0].find(carol_), std::string::npos);
  g->TrimSigs = 1;
  bool trimmed = false;
  EXPECT_EQ(CheckPolicy(both, &conn_, &trimmed), 0);
  EXPECT_TRUE(trimmed);
  std::vector<std::string> after = {"+" + bob_ + " +" + alice_ + " "};
  std::vector<std::string> got = Signers(both);
  ASSERT_EQ(got.size(), 1u);
  // The order of the two kept signatures is the key's own.
  EXPECT_NE(got[0].find("+" + bob_), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("+" + alice_), std::string::npos) << got[0];
  EXPECT_EQ(got[0].find(carol_), std::string::npos) << got[0];

  // TrimUsers: a user ID with the self-signature alone goes; with nothing
  // left the key is refused (2). Two signatures keep it.
  g->TrimSigs = 0;
  g->TrimUsers = 1;
  trimmed = false;
  EXPECT_EQ(CheckPolicy(SetOf("bob.bin"), &conn_, &trimmed), 2);
  EXPECT_TRUE(trimmed);
  trimmed = false;
  EXPECT_EQ(CheckPolicy(SetOf("bob.alice.bin"), &conn_, &trimmed), 0);
  EXPECT_FALSE(trimmed);
  // A self-signed key named on an AllowSigID line keeps its user ID.
  Lines(g->AllowSigID, {{bob_}});
  EXPECT_EQ(CheckPolicy(SetOf("bob.bin"), &conn_, &trimmed), 0);
}

}  // namespace

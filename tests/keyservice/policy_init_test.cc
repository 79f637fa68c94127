// The policy key databases built at start-up: configured key IDs found in
// the server's key rings (gpg fixtures of tests/keydb/data, their IDs from
// gpg's listings) or in the active key space (a key stored through the
// entry builder), each list's items normalised to 16 digits, and a key
// found nowhere stopping the start with its message.
#include "keyservice/policy_init.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/core/start_up.h"
#include "keydb/key_db.h"
#include "keyservice/key_entries.h"
#include "tests/backend/ldbm_ops_support.h"

namespace {

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

std::string Data(const std::string& name) { return std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name; }

// gpg's long key IDs of alice (in the rings) and carol (stored only).
constexpr const char* kAlice = "7F5B1A7795C777D2";
constexpr const char* kCarol = "AF10651591978554";

class PolicyInitTest : public OpsFixture {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  static void TearDownTestSuite() { QOXsdkCleanup(); }
  void SetUp() override {
    OpsFixture::SetUp();
    if (HasFatalFailure()) return;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
    gMessages = &messages_;
    // The rings are opened locked: each test takes its own copies, as
    // other test processes may hold the fixtures at the same time.
    publicRing_ = backend_->path("alice.bin");
    secretRing_ = backend_->path("alice.sec.bin");
    std::filesystem::copy_file(Data("alice.bin"), publicRing_);
    std::filesystem::copy_file(Data("alice.sec.bin"), secretRing_);
    g->PublicKeyRing = publicRing_.data();
    g->PrivateKeyRing = secretRing_.data();
    savedMust_ = g->MustSigID;
    g->MustSigID = must_;
  }
  void TearDown() override {
    // The lists are the test's own.
    g->MustSigID = savedMust_;
    g->PublicKeyRing = g->PrivateKeyRing = nullptr;
    g->addKeyIDs = g->deleteKeyIDs = nullptr;
    gMessages = nullptr;
    OpsFixture::TearDown();
  }
  // Stores carol in the active key space as a submission would.
  void StoreCarol() {
    std::ifstream in(Data("carol.bin"), std::ios::binary);
    std::string block((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Entry** entries = nullptr;
    int count = 0, capacity = 0;
    ASSERT_EQ(GrowEntries(&entries, 1, &capacity), 0);
    entries[count++] = entry_new();
    AddDirAttrToEntry(entries[0], "qoxkey", block.data(), static_cast<uint32_t>(block.size()));
    char cert[17];
    bool active = false;
    const char* message = nullptr;
    ASSERT_EQ(CreateAddKeyEntries(&entries, &count, &capacity, be(), entries[0]->e_attrs,
                                  reinterpret_cast<const uint8_t*>(block.data()), block.size(), false, &conn_, &op_,
                                  cert, &active, &message),
              0);
    uint8_t logged = 0;
    for (int i = 0; i < count; ++i) {
      int result = -1;
      char* matched = nullptr;
      ldbm_back_add(be(), &conn_, &op_, entries[i], 1, 0, &logged, &result, &matched);
      zovurezFree(matched);
      EXPECT_EQ(result, 0);
    }
    zovurezFree(entries);
  }
  uint32_t Keys(QOXKeyDB* db) {
    uint32_t n = 0;
    EXPECT_EQ(QOXCountKeysInKeyDB(db, &n), 0);
    return n;
  }

  std::string publicRing_, secretRing_;
  KeyIDNode* must_[3] = {nullptr, nullptr, nullptr};
  KeyIDNode** savedMust_ = nullptr;
  std::vector<std::string> messages_;
};

TEST_F(PolicyInitTest, KeysFromTheRingsAndTheActiveSpace) {
  StoreCarol();
  KeyIDNode alice{"0x95c777d2", nullptr};  // short, lower case
  KeyIDNode carol{"af10651591978554", nullptr};
  must_[0] = &alice;
  g->addKeyIDs = &carol;
  ASSERT_EQ(InitPolicy(context_, be()), 0);
  ASSERT_NE(g->tlsKeyDB, nullptr);
  EXPECT_STREQ(alice.keyID, kAlice);  // the ring's key names the item in full
  EXPECT_STREQ(carol.keyID, kCarol);  // upper-cased for the look-up
  ASSERT_NE(g->policyKeyDBs[0], nullptr);
  EXPECT_EQ(Keys(g->policyKeyDBs[0]), 1u);
  ASSERT_NE(g->policyKeyDBs[1], nullptr);
  EXPECT_EQ(Keys(g->policyKeyDBs[1]), 1u);
  EXPECT_EQ(g->policyKeyDBs[2], nullptr);  // no delete list
}

TEST_F(PolicyInitTest, KeyFoundNowhereStopsTheStart) {
  KeyIDNode unknown{"0123456789ABCDEF", nullptr};
  g->deleteKeyIDs = &unknown;
  EXPECT_NE(InitPolicy(context_, be()), 0);
  bool logged = false;
  for (const std::string& m : messages_)
    logged = logged || m.find("Cannot find trusted key (0123456789ABCDEF) in database.") != std::string::npos;
  EXPECT_TRUE(logged);
}

}  // namespace

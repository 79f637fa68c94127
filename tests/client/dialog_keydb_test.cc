// The dialogs' key walks over a real key database: the table in force
// orders and iterates the key database's own keys and reads their primary
// user IDs as gpg lists them, cut to the caller's buffer.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/dialog_keydb_services.h"
#include "client/dialogs.h"
#include <cstring>
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_set.h"
#include "keydb/ring_reader.h"

namespace {

std::vector<uint8_t> Fixture(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DialogKeyDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    ASSERT_EQ(QOXNewKeyDB(context_, &db_), 0);
    for (const char* name : {"alice.sec.bin", "bob.sec.bin"}) {
      const std::vector<uint8_t> ring = Fixture(name);
      QOXFile* file = qoxFileMemOpen(context_, ring.data(), ring.size());
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(qoxReadKeyFile(db_, file, false), 0) << name;
      file->close(file);
    }
    ASSERT_EQ(QOXNewKeySet(db_, &set_), 0);
  }
  void TearDown() override {
    if (set_ != nullptr) EXPECT_EQ(QOXFreeKeySet(set_), 0);
    if (db_ != nullptr) EXPECT_EQ(QOXFreeKeyDB(db_), 0);
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }

  // The primary user IDs of the set's keys in the given order.
  std::vector<std::string> Names(int32_t ordering, bool reverse) {
    const QOXDialogKeyDBServices& keys = qoxDialogKeyDBServices();
    QOXKeyList* list = nullptr;
    QOXKeyIter* iter = nullptr;
    std::vector<std::string> names;
    EXPECT_EQ(keys.QOXOrderKeySet(set_, ordering, reverse, &list), 0);
    EXPECT_EQ(keys.QOXNewKeyIter(list, &iter), 0);
    QOXKeyDBObj* key = nullptr;
    QOXError err;
    while ((err = keys.QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterType_Key, &key)) == 0) {
      char name[128];
      size_t length = 0;
      EXPECT_EQ(keys.QOXGetPrimaryUserIDName(key, name, sizeof name, &length), 0);
      EXPECT_EQ(std::strlen(name), length);
      names.emplace_back(name);
    }
    EXPECT_EQ(err, kQOXErrEndOfIteration);
    EXPECT_EQ(keys.QOXFreeKeyIter(iter), 0);
    EXPECT_EQ(keys.QOXFreeKeyList(list), 0);
    return names;
  }

  QOXContext* context_ = nullptr;
  QOXKeyDB* db_ = nullptr;
  QOXKeySet* set_ = nullptr;
};

TEST_F(DialogKeyDBTest, WalksTheKeyDatabaseInOrder) {
  const std::vector<std::string> gpg = {"Alice RSA <alice@example.org>", "Bob DSA <bob@example.org>"};
  EXPECT_EQ(Names(kQOXKeyOrdering_Any, false), gpg);
  EXPECT_EQ(Names(kQOXKeyOrdering_UserID, true), std::vector<std::string>(gpg.rbegin(), gpg.rend()));
}

TEST_F(DialogKeyDBTest, PrimaryUserIDIsCutToTheBuffer) {
  const QOXDialogKeyDBServices& keys = qoxDialogKeyDBServices();
  QOXKeyList* list = nullptr;
  QOXKeyIter* iter = nullptr;
  ASSERT_EQ(keys.QOXOrderKeySet(set_, kQOXKeyOrdering_Any, false, &list), 0);
  ASSERT_EQ(keys.QOXNewKeyIter(list, &iter), 0);
  QOXKeyDBObj* alice = nullptr;
  ASSERT_EQ(keys.QOXKeyIterNextKeyDBObj(iter, kQOXKeyIterType_Key, &alice), 0);
  struct Case {
    size_t size;
    const char* text;
  };
  for (const Case& c : {Case{1, ""}, Case{6, "Alice"}, Case{30, "Alice RSA <alice@example.org>"},
                        Case{31, "Alice RSA <alice@example.org>"}}) {
    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    size_t length = 99;
    EXPECT_EQ(keys.QOXGetPrimaryUserIDName(alice, buffer, c.size, &length), 0) << c.size;
    EXPECT_STREQ(buffer, c.text) << c.size;
    EXPECT_EQ(length, std::strlen(c.text));
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer of " << c.size;
  }
  size_t length = 99;
  EXPECT_EQ(keys.QOXGetPrimaryUserIDName(alice, nullptr, 0, &length), kQOXErrBadParams);
  EXPECT_EQ(keys.QOXFreeKeyIter(iter), 0);
  EXPECT_EQ(keys.QOXFreeKeyList(list), 0);
}

// The signing dialog's key choice reads the real ring: with no default
// key, the first secret key that can sign (alice's, first in the ring).
TEST_F(DialogKeyDBTest, SigningKeyChoiceWalksTheRealRing) {
  QOXKeyDBObj* found = nullptr;
  ASSERT_EQ(FindValidSecretKey(set_, true, nullptr, nullptr, &found), 0);
  ASSERT_NE(found, nullptr);
  char name[64];
  size_t length = 0;
  ASSERT_EQ(qoxDialogKeyDBServices().QOXGetPrimaryUserIDName(found, name, sizeof name, &length), 0);
  EXPECT_STREQ(name, "Alice RSA <alice@example.org>");
}

}  // namespace

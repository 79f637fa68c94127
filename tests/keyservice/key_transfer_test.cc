// The server's key rings opened as one database and keys copied across
// toolkit contexts: gpg-made RSA and DSA key rings (tests/net/data), each
// key found by its ID after the open and after a transfer into a second
// context, secret only when the transfer asked for it; the refusals and the
// missing-ring messages.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/obj_properties.h"
#include "keyservice/key_transfer.h"
#include "server/error_log.h"
#include "server/support/zovurez_log.h"

namespace {

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/net/data/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// gpg's key IDs of the two fixtures.
constexpr const char* kRSA = "0x680C0E75E46E7915";
constexpr const char* kDSA = "0xDBB238E26EE058EC";

class KeyTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &server_), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &connection_), 0);
    gMessages = &messages_;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
    char dir[] = "/tmp/key_transfer_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    Write(dir_ + "/pub.bin", Fixture("tls-rsa.bin") + Fixture("tls-dsa.bin"));
    Write(dir_ + "/sec.bin", Fixture("tls-rsa.sec.bin") + Fixture("tls-dsa.sec.bin"));
  }
  void TearDown() override {
    ErrorLogClose();
    gMessages = nullptr;
    for (auto [db, context] : dbs_) QOXFreeKeyDB(db);
    QOXFreeContext(connection_);
    QOXFreeContext(server_);
    std::remove((dir_ + "/pub.bin").c_str());
    std::remove((dir_ + "/sec.bin").c_str());
    rmdir(dir_.c_str());
  }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  QOXKeyDB* Keep(QOXKeyDB* db) {
    if (db != nullptr) dbs_.push_back({db, nullptr});
    return db;
  }
  // Whether the database holds the key, and whether it holds it secret.
  static void Holds(QOXKeyDB* db, const char* id, bool secret) {
    SCOPED_TRACE(id);
    QOXKeyID keyID{};
    ASSERT_EQ(QOXNewKeyIDFromString(id, kQOXKeyIDAnyAlgorithm, &keyID), kQOXErrNoErr);
    QOXKeyDBObj* key = nullptr;
    ASSERT_EQ(QOXFindKeyByKeyID(db, &keyID, &key), kQOXErrNoErr);
    bool isSecret = !secret;
    ASSERT_EQ(QOXGetKeyDBObjBooleanProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsSecret), &isSecret), 0);
    EXPECT_EQ(isSecret, secret);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }

  QOXContext* server_ = nullptr;
  QOXContext* connection_ = nullptr;
  std::string dir_;
  std::vector<std::pair<QOXKeyDB*, void*>> dbs_;
  std::vector<std::string> messages_;
};

TEST_F(KeyTransferTest, RingsOpenAndKeysCrossContexts) {
  QOXKeyDB* rings = nullptr;
  ASSERT_EQ(GetKeyDBFromKeyRings(server_, (dir_ + "/pub.bin").c_str(), (dir_ + "/sec.bin").c_str(), &rings),
            kQOXErrNoErr);
  Keep(rings);
  ASSERT_NE(rings, nullptr);
  uint32_t count = 0;
  EXPECT_EQ(QOXCountKeysInKeyDB(rings, &count), 0);
  EXPECT_EQ(count, 2u);
  Holds(rings, kRSA, true);
  Holds(rings, kDSA, true);

  // Flag 1 (the TLS key database): secret keys come along; flag 0 (the
  // policy databases): public keys only.
  QOXKeyDB* withSecrets = nullptr;
  ASSERT_EQ(TransferKeys(server_, connection_, rings, 1, &withSecrets), kQOXErrNoErr);
  Keep(withSecrets);
  ASSERT_NE(withSecrets, nullptr);
  Holds(withSecrets, kRSA, true);
  Holds(withSecrets, kDSA, true);
  QOXKeyDB* publicOnly = nullptr;
  ASSERT_EQ(TransferKeys(server_, connection_, rings, 0, &publicOnly), kQOXErrNoErr);
  Keep(publicOnly);
  Holds(publicOnly, kRSA, false);
  Holds(publicOnly, kDSA, false);

  // A database the caller has keeps its keys and gains the new ones.
  QOXKeyDB* existing = nullptr;
  ASSERT_EQ(QOXNewKeyDB(connection_, &existing), kQOXErrNoErr);
  Keep(existing);
  QOXKeyDB* same = existing;
  ASSERT_EQ(TransferKeys(server_, connection_, rings, 0, &same), kQOXErrNoErr);
  EXPECT_EQ(same, existing);
  Holds(existing, kDSA, false);
}

TEST_F(KeyTransferTest, MissingRingsAndRefusals) {
  QOXKeyDB* db = reinterpret_cast<QOXKeyDB*>(1);
  EXPECT_EQ(GetKeyDBFromKeyRings(server_, nullptr, "x", &db), kQOXErrNoErr);
  EXPECT_EQ(db, nullptr);
  EXPECT_TRUE(Logged("No public keyring file specified."));
  EXPECT_EQ(GetKeyDBFromKeyRings(server_, "x", nullptr, &db), kQOXErrNoErr);
  EXPECT_TRUE(Logged("No private keyring file specified."));

  // Rings that are not there: no database and the start goes on; rings
  // that do not open (a directory in the secret ring's place): the code.
  const std::string missing = dir_ + "/none.bin";
  EXPECT_EQ(GetKeyDBFromKeyRings(server_, missing.c_str(), (dir_ + "/sec.bin").c_str(), &db), kQOXErrNoErr);
  EXPECT_EQ(db, nullptr);
  EXPECT_TRUE(Logged("Opening keyring pair (" + missing + " and " + dir_ + "/sec.bin) failed with error -11997"));
  QOXError err = GetKeyDBFromKeyRings(server_, (dir_ + "/pub.bin").c_str(), dir_.c_str(), &db);
  Keep(db);
  EXPECT_NE(err, kQOXErrNoErr);
  EXPECT_NE(err, kQOXErrFileNotFound);
  EXPECT_EQ(db, nullptr);

  QOXKeyDB* target = nullptr;
  EXPECT_EQ(TransferKeys(server_, connection_, nullptr, 0, &target), kQOXErrBadParams);
  EXPECT_EQ(target, nullptr);
  EXPECT_TRUE(Logged("Internal key set operation failed with error -12000"));
}

}  // namespace

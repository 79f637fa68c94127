// The TLS key's start-up steps: GetPrivateKey over gpg-made key rings with
// the dialogs doubled (key by ID or the first secret one, with and without
// a passphrase, -s, cancel, no secret key, unknown ID, no rings), and
// GatherEntropy with a full and an empty random pool.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_db.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keyservice/client_dialog_services.h"
#include "keyservice/tls_server_key.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"
#include "tests/common/scoped_services.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

Bytes Fixture(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/net/data/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the doubled dialogs saw and answer.
struct DialogScript {
  int calls = 0;
  std::string prompt;
  QOXKeyDBObj* defaultKey = nullptr;
  QOXError result = kQOXErrNoErr;
  const char* passphrase = "secret";
  uint32_t bitsAsked = 0;
  QOXError randomResult = kQOXErrNoErr;
} gScript;

QOXError SigningDialog(QOXContext* context, QOXKeyDB*, const char* prompt, QOXKeyDBObj** ioKey, char** out) {
  ++gScript.calls;
  gScript.prompt = prompt != nullptr ? prompt : "";
  gScript.defaultKey = *ioKey;
  *out = nullptr;
  if (gScript.result != kQOXErrNoErr) return gScript.result;
  const size_t n = std::strlen(gScript.passphrase);
  *out = static_cast<char*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), n + 1, kQOXMemoryMgrFlags_Clear));
  std::memcpy(*out, gScript.passphrase, n);
  return kQOXErrNoErr;
}

QOXError RandomDialog(QOXContext*, uint32_t bits) {
  ++gScript.calls;
  gScript.bitsAsked = bits;
  return gScript.randomResult;
}

class TlsServerKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    dialogs_->QOXSigningPassphraseDialog = SigningDialog;
    dialogs_->QOXCollectRandomDataDialog = RandomDialog;
    gScript = DialogScript{};
    gMessages = &messages_;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
  }
  void TearDown() override {
    ErrorLogClose();
    gMessages = nullptr;
    for (QOXKeyDB* db : dbs_) QOXFreeKeyDB(db);
    QOXFreeContext(context_);
  }
  QOXKeyDB* Rings(const std::string& name) {
    const Bytes bytes = Fixture(name);
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &db), kQOXErrNoErr);
    dbs_.push_back(db);
    return db;
  }
  QOXKeyID IDOf(QOXKeyDB* db) {
    QOXKeyID id{};
    QOXKeySet* set = nullptr;
    EXPECT_EQ(QOXNewKeySet(db, &set), 0);
    QOXKeyDBObj* key = qoxFirstKeyInKeySet(set);
    EXPECT_EQ(QOXGetKeyID(key, &id), 0);
    QOXFreeKeySet(set);
    return id;
  }
  bool Logged(const std::string& text) const {
    for (const std::string& m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }

  ostrak_test::ScopedServices<QOXClientDialogServices> dialogs_{qoxClientDialogServices,
                                                                qoxRegisterClientDialogServices};
  QOXContext* context_ = nullptr;
  std::vector<QOXKeyDB*> dbs_;
  std::vector<std::string> messages_;
};

constexpr char kPrompt[] = "QOX Keyserver: Enter passphrase for secure server key";

struct Outcome {
  QOXError err;
  int32_t mode;
  QOXKeyID* keyID = nullptr;
  char* passphrase = nullptr;
  ~Outcome() {
    zovurezFree(keyID);
    if (passphrase != nullptr) QOXFreeData(passphrase);
  }
};

// Each case: the rings, whether the key ID is configured, the mode and -s,
// what the dialog answers; the result, the mode after, the passphrase, the
// message logged and whether the prompt ran.
struct Case {
  const char* name;
  const char* rings;
  bool withID;
  int32_t mode;
  int noPrompt;
  QOXError dialog;
  QOXError err;
  int32_t modeAfter;
  const char* passphrase;  // null: none handed out
  const char* message;     // null: nothing at warning level or above
  int prompts;
};

TEST_F(TlsServerKeyTest, GetPrivateKeyCases) {
  const Case cases[] = {
      {"key by ID without passphrase", "tls-rsa.sec.bin", true, 1, 1, kQOXErrNoErr, kQOXErrNoErr, 1, "", nullptr, 0},
      {"first secret key, prompted", "tls-rsa.sec.bin", false, 0, 0, kQOXErrNoErr, kQOXErrNoErr, 0, "secret", nullptr,
       1},
      {"optional mode prompts too", "tls-dsa.sec.bin", false, 1, 0, kQOXErrNoErr, kQOXErrNoErr, 0, "secret", nullptr,
       1},
      {"optional mode and -s", "tls-rsa.sec.bin", false, 1, 1, kQOXErrNoErr, kQOXErrUserAbort, 2, nullptr,
       "No secure server key ID specified in config file, disabling SecureMode.", 0},
      {"required mode and -s still prompts", "tls-rsa.sec.bin", false, 0, 1, kQOXErrNoErr, kQOXErrNoErr, 0, "secret",
       nullptr, 1},
      {"cancelled", "tls-rsa.sec.bin", false, 0, 0, kQOXErrUserAbort, kQOXErrUserAbort, 2, nullptr,
       "Entering passphrase was cancelled, disabling SecureMode.", 1},
      {"no secret key in the dialog", "tls-rsa.sec.bin", false, 0, 0, kQOXErrNoSecretKeyFound,
       kQOXErrNoSecretKeyFound, 2, nullptr, "No private keys found in the keyring, disabling SecureMode.", 1},
      {"other dialog failure", "tls-rsa.sec.bin", false, 0, 0, kQOXErrOutOfMemory, kQOXErrOutOfMemory, 0, nullptr,
       "Getting passphrase failed with error -11999", 1},
      {"public rings only", "tls-rsa.bin", false, 0, 0, kQOXErrNoErr, kQOXErrNoSecretKeyFound, 2, nullptr,
       "Supplied keyring files do not have any private keys.", 0},
      {"already disabled", "tls-rsa.sec.bin", false, 2, 0, kQOXErrNoErr, kQOXErrNoErr, 2, nullptr, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.clear();
    gScript = DialogScript{};
    gScript.result = c.dialog;
    QOXKeyDB* db = Rings(c.rings);
    QOXKeyID wanted{};
    if (c.withID) wanted = IDOf(db);
    Outcome o{0, c.mode};
    o.err = GetPrivateKey(context_, &wanted, db, c.noPrompt, &o.mode, 0, 0, kPrompt, &o.keyID, &o.passphrase);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.mode, c.modeAfter);
    EXPECT_EQ(gScript.calls, c.prompts);
    if (c.prompts != 0) {
      EXPECT_EQ(gScript.prompt, kPrompt);
      EXPECT_NE(gScript.defaultKey, nullptr) << "the server key is the dialog's default key";
    }
    if (c.passphrase == nullptr) {
      EXPECT_EQ(o.passphrase, nullptr);
      EXPECT_EQ(o.keyID, nullptr);
    } else {
      ASSERT_NE(o.passphrase, nullptr);
      EXPECT_STREQ(o.passphrase, c.passphrase);
      ASSERT_NE(o.keyID, nullptr);
      const QOXKeyID id = IDOf(db);
      EXPECT_EQ(std::memcmp(o.keyID, &id, sizeof id), 0);
    }
    if (c.message != nullptr) EXPECT_TRUE(Logged(c.message)) << c.message;
    else EXPECT_TRUE(messages_.empty()) << messages_.front();
  }
}

TEST_F(TlsServerKeyTest, GetPrivateKeyRefusals) {
  QOXKeyDB* db = Rings("tls-rsa.sec.bin");
  Outcome o{0, 0};
  EXPECT_EQ(GetPrivateKey(context_, nullptr, nullptr, 0, &o.mode, 0, 0, kPrompt, &o.keyID, &o.passphrase),
            kQOXErrNoSecretKeyFound);
  EXPECT_TRUE(Logged("No keyrings specified in config file for use with TLS"));
  EXPECT_EQ(o.mode, 2);
  o.mode = 0;
  QOXKeyID unknown{};
  ASSERT_EQ(QOXNewKeyIDFromString("0x0123456789ABCDEF", kQOXKeyIDAnyAlgorithm, &unknown), 0);
  EXPECT_EQ(GetPrivateKey(context_, &unknown, db, 0, &o.mode, 0, 0, kPrompt, &o.keyID, &o.passphrase),
            kQOXErrItemNotFound);
  EXPECT_TRUE(Logged("Cannot find Server Secure KeyID (0x0123456789ABCDEF) in keyring."));
  EXPECT_EQ(o.mode, 0);
  EXPECT_EQ(o.keyID, nullptr);
  EXPECT_EQ(gScript.calls, 0);
}

TEST_F(TlsServerKeyTest, GatherEntropy) {
  // A seeded pool: no dialog.
  const bool seeded = qoxGlobalRandomPoolIsSeeded();
  qoxSetIsSeeded(true);
  int32_t mode = 0;
  EXPECT_EQ(GatherEntropy(context_, &mode), 0);
  EXPECT_EQ(gScript.calls, 0);
  // An empty pool: the dialog is asked for 600 bits; its failure switches
  // secure mode off with the warning, its success leaves the mode.
  qoxSetIsSeeded(false);
  qoxCleanupGlobalRandomPool();
  qoxInitGlobalRandomPool();
  ASSERT_FALSE(QOXGlobalRandomPoolHasMinimumEntropy());
  gScript.randomResult = kQOXErrUserAbort;
  EXPECT_EQ(GatherEntropy(context_, &mode), 0);
  EXPECT_EQ(gScript.calls, 1);
  EXPECT_EQ(gScript.bitsAsked, 600u);
  EXPECT_EQ(mode, 2);
  EXPECT_TRUE(Logged("LDAPS is disabled.  Not enough randomness exists to enable TLS."));
  mode = 1;
  gScript.randomResult = kQOXErrNoErr;
  EXPECT_EQ(GatherEntropy(context_, &mode), 0);
  EXPECT_EQ(mode, 1);
  // Secure mode off: nothing asked.
  mode = 2;
  EXPECT_EQ(GatherEntropy(context_, &mode), 0);
  EXPECT_EQ(gScript.calls, 2);
  qoxSetIsSeeded(seeded);
}

}  // namespace

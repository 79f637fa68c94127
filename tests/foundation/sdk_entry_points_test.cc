// Entry points with a run of option lists: refusals release the run, a run
// holding a sentinel returns its recorded error without reaching the
// operation, accepted runs reach the operation (the key database's or the
// pipeline's stand-in, "not available") and the built list is freed,
// persistent lists survive. The objects are those of a real key database.
// The counting context in the fixture shows that nothing of a run is leaked
// or freed twice on any path.
#include "foundation/sdk/sdk_entry_points.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "foundation/sdk_errors.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using toolkit_doubles::CountingContext;
using toolkit_doubles::RealKeyDB;

QOXOptionListRef Handle(intptr_t v) { return reinterpret_cast<QOXOptionListRef>(v); }
const QOXOptionListRef kEnd = Handle(-1);

class EntryPointsTest : public ::testing::Test {
 protected:
  EntryPointsTest() { ctx.Rebase(); }
  void TearDown() override {
    EXPECT_EQ(ctx.livePlain(), 0) << "plain blocks leaked";
    EXPECT_EQ(ctx.liveSecure(), 0) << "secure blocks leaked";
  }
  QOXContext* c() { return ctx.get(); }
  CountingContext ctx;
  RealKeyDB keys{ctx.get()};
  QOXKeyDBObj* const key = keys.key();
  QOXKeyDBObj* const subKey = keys.subKey();
  QOXKeyDBObj* const sig = keys.sig();
  QOXKeyDBObj* const userID = keys.userID();
  QOXKeySet* const keySet = keys.set();
};

// One row per entry point: a call with good objects and one with a refused
// object, each given the run it is handed (which it must consume).
struct EntryCase {
  const char* what;
  std::function<QOXError(QOXOptionListRef, QOXOptionListRef)> good;
  std::function<QOXError(QOXOptionListRef, QOXOptionListRef)> refused;
};

TEST_F(EntryPointsTest, EveryEntryPointConsumesItsRunOnEveryPath) {
  QOXKeyDBObj* out = nullptr;
  QOXKeyDB* outDB = nullptr;
  void* outBuffer = nullptr;
  std::string longName(256, 'u');
  const uint8_t data[] = {1, 2, 3};
  QOXKeyDBObj* k = key;
  EntryCase cases[] = {
      {"encode", [&](auto a, auto b) { return QOXEncode(c(), a, b, kEnd); },
       [&](auto a, auto b) { return QOXEncode(nullptr, a, b, kEnd); }},
      {"decode", [&](auto a, auto b) { return QOXDecode(c(), a, b, kEnd); },
       [&](auto a, auto b) { return QOXDecode(nullptr, a, b, kEnd); }},
      {"export", [&](auto a, auto b) { return QOXExport(c(), a, b, kEnd); },
       [&](auto a, auto b) { return QOXExport(nullptr, a, b, kEnd); }},
      {"import", [&](auto a, auto b) { return QOXImport(c(), &outDB, a, b, kEnd); },
       [&](auto a, auto b) { return QOXImport(c(), nullptr, a, b, kEnd); }},
      {"generate key", [&](auto a, auto b) { return QOXGenerateKey(c(), &out, a, b, kEnd); },
       [&](auto a, auto b) { return QOXGenerateKey(c(), nullptr, a, b, kEnd); }},
      {"generate subkey", [&](auto a, auto b) { return QOXGenerateSubKey(c(), &out, a, b, kEnd); },
       [&](auto a, auto b) { return QOXGenerateSubKey(nullptr, &out, a, b, kEnd); }},
      {"primary user ID", [&](auto a, auto b) { return QOXSetPrimaryUserID(userID, a, b, kEnd); },
       [&](auto a, auto b) { return QOXSetPrimaryUserID(nullptr, a, b, kEnd); }},
      {"certify user ID",
       [&](auto a, auto b) { return QOXCertifyUserID(userID, k, a, b, kEnd); },
       [&](auto a, auto b) { return QOXCertifyUserID(userID, subKey, a, b, kEnd); }},
      {"revoke sig", [&](auto a, auto b) { return QOXRevokeSig(sig, a, b, kEnd); },
       [&](auto a, auto b) { return QOXRevokeSig(k, a, b, kEnd); }},
      {"revoke key", [&](auto a, auto b) { return QOXRevoke(k, a, b, kEnd); },
       [&](auto a, auto b) { return QOXRevoke(sig, a, b, kEnd); }},
      {"revoke subkey", [&](auto a, auto b) { return QOXRevoke(subKey, a, b, kEnd); },
       [&](auto a, auto b) { return QOXRevoke(nullptr, a, b, kEnd); }},
      {"add user ID 255", [&](auto a, auto b) { return QOXAddUserID(k, longName.c_str() + 1, a, b, kEnd); },
       [&](auto a, auto b) { return QOXAddUserID(k, longName.c_str(), a, b, kEnd); }},
      {"add attribute", [&](auto a, auto b) { return QOXAddAttributeUserID(k, 1, data, 3, a, b, kEnd); },
       [&](auto a, auto b) { return QOXAddAttributeUserID(k, 1, nullptr, 3, a, b, kEnd); }},
      {"self-signed X.509",
       [&](auto a, auto b) { return QOXCreateSelfSignedX509Certificate(k, &out, a, b, kEnd); },
       [&](auto a, auto b) { return QOXCreateSelfSignedX509Certificate(k, nullptr, a, b, kEnd); }},
      {"X.509",
       [&](auto a, auto b) { return QOXCreateX509Certificate(sig, k, &out, a, b, kEnd); },
       [&](auto a, auto b) { return QOXCreateX509Certificate(k, k, &out, a, b, kEnd); }},
      {"change passphrase", [&](auto a, auto b) { return QOXChangePassphrase(subKey, a, b, kEnd); },
       [&](auto a, auto b) { return QOXChangePassphrase(userID, a, b, kEnd); }},
      {"axiomatic", [&](auto a, auto b) { return QOXSetKeyAxiomatic(k, true, a, b, kEnd); },
       [&](auto a, auto b) { return QOXSetKeyAxiomatic(subKey, true, a, b, kEnd); }},
      {"passkey buffer", [&](auto a, auto b) { return QOXGetPasskeyBuffer(k, &outBuffer, a, b, kEnd); },
       [&](auto a, auto b) { return QOXGetPasskeyBuffer(k, nullptr, a, b, kEnd); }},
      {"add key options", [&](auto a, auto b) { return QOXAddKeyOptions(k, a, b, kEnd); },
       [&](auto a, auto b) { return QOXAddKeyOptions(nullptr, a, b, kEnd); }},
      {"remove key options", [&](auto a, auto b) { return QOXRemoveKeyOptions(k, a, b, kEnd); },
       [&](auto a, auto b) { return QOXRemoveKeyOptions(nullptr, a, b, kEnd); }},
      {"update key options", [&](auto a, auto b) { return QOXUpdateKeyOptions(k, a, b, kEnd); },
       [&](auto a, auto b) { return QOXUpdateKeyOptions(nullptr, a, b, kEnd); }},
  };
  for (const EntryCase& e : cases) {
    SCOPED_TRACE(e.what);
    // Good objects: the operation is reached and answers "not available";
    // decode, import, export, certificate issuing, key generation, the
    // axiomatic setting, the passphrase change, the renewal of
    // self-signatures, the primary user ID, revocations, certification and
    // added user IDs are built and refuse the encrypt-to option, which is
    // outside their option sets; encode is built and refuses the key, which
    // cannot encrypt.
    const std::string what = e.what;
    // The passkey buffer checks no option set: it reads the passphrase and
    // finds no secret part on the key.
    const bool built = what == "decode" || what == "export" || what == "import" || what == "self-signed X.509" ||
                       what == "X.509" || what == "axiomatic" || what == "generate key" || what == "generate subkey" ||
                       what == "change passphrase" || what == "update key options" || what == "primary user ID" ||
                       what == "add key options" ||
                       what == "certify user ID" || what == "revoke sig" || what == "revoke key" ||
                       what == "revoke subkey" || what == "add user ID 255" || what == "add attribute";
    EXPECT_EQ(e.good(QOXOPassphrase(c(), "pw"), QOXOEncryptToKeySet(c(), keySet)),
              what == "passkey buffer" ? kQOXErrItemNotFound
              : what == "encode"       ? kQOXErrKeyCannotEncrypt
              : built                  ? kQOXErrBadParams
                                       : kQOXErrFeatureNotAvailable);
    // A sentinel in the run: its error, nothing handed on.
    EXPECT_EQ(e.good(QOXOPassphrase(c(), "pw"), Handle(-3)), kQOXErrBadParams);
    EXPECT_EQ(e.good(Handle(-2), QOXOCommentString(c(), "c")), kQOXErrOutOfMemory);
    // A refused object: -12000, the run still released.
    EXPECT_EQ(e.refused(QOXOPassphrase(c(), "pw"), QOXOEncryptToKeySet(c(), keySet)),
              kQOXErrBadParams);
    EXPECT_EQ(ctx.livePlain(), 0);
    EXPECT_EQ(ctx.liveSecure(), 0);
    EXPECT_EQ(keys.setRefs(), 1);  // every reference an option took was given back
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outDB, nullptr);
  }
}

TEST_F(EntryPointsTest, CountAndBooleanEntryPoints) {
  EXPECT_EQ(QOXGetKeyEntropyNeeded(nullptr, QOXOPassphrase(c(), "pw"), kEnd), 0xFFFFFFFFu);
  EXPECT_EQ(QOXGetKeyEntropyNeeded(c(), Handle(-3), kEnd), 0xFFFFFFFFu);
  // Built: without KeyGenParams the figure cannot be read.
  EXPECT_EQ(QOXGetKeyEntropyNeeded(c(), QOXOKeyGenFast(c(), true), kEnd), 0xFFFFFFFFu);
  EXPECT_FALSE(QOXPassphraseIsValid(nullptr, QOXOPassphrase(c(), "pw"), kEnd));
  EXPECT_FALSE(QOXPassphraseIsValid(key, Handle(-2), kEnd));
  EXPECT_FALSE(QOXPassphraseIsValid(key, QOXOPassphrase(c(), "pw"), kEnd));
}

TEST_F(EntryPointsTest, PersistentListsInARunStayTheCallers) {
  QOXOptionListRef mine = nullptr;
  ASSERT_EQ(QOXBuildOptionList(c(), &mine, QOXOPassphrase(c(), "pw"), QOXOArmorOutput(c(), true),
                               kEnd),
            kQOXErrNoErr);
  EXPECT_EQ(QOXEncode(c(), mine, QOXOCommentString(c(), "c"), kEnd), kQOXErrBadParams);  // no input
  EXPECT_EQ(QOXImport(c(), nullptr, mine, kEnd), kQOXErrBadParams);
  QOXKeyDB* db = nullptr;
  EXPECT_EQ(QOXImport(c(), &db, mine, kEnd), kQOXErrBadParams);  // armor output is no import option
  EXPECT_EQ(qoxGetOptionListCount(mine), 2u);
  EXPECT_EQ(QOXFreeOptionList(mine), kQOXErrNoErr);
}

TEST_F(EntryPointsTest, OptionListFrontFunctions) {
  QOXOptionListRef list = Handle(5);
  EXPECT_EQ(QOXNewOptionList(c(), nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewOptionList(nullptr, &list), kQOXErrBadParams);
  EXPECT_EQ(list, nullptr);
  ASSERT_EQ(QOXNewOptionList(c(), &list), kQOXErrNoErr);
  EXPECT_NE(list->flags & kQOXOptionListFlag_Persistent, 0u);

  EXPECT_EQ(QOXAppendOptionList(list, QOXOArmorOutput(c(), true), QOXOPassphrase(c(), "p"), kEnd),
            kQOXErrNoErr);
  EXPECT_EQ(qoxGetOptionListCount(list), 2u);
  QOXOptionListRef copy = nullptr;
  EXPECT_EQ(QOXCopyOptionList(list, &copy), kQOXErrNoErr);
  EXPECT_EQ(qoxGetOptionListCount(copy), 2u);
  EXPECT_EQ(QOXAppendOptionList(list, Handle(-2), QOXOClearSign(c(), true), kEnd),
            kQOXErrOutOfMemory);
  EXPECT_EQ(qoxGetOptionListCount(list), 2u);

  QOXOptionListRef built = Handle(5);
  EXPECT_EQ(QOXBuildOptionList(nullptr, &built, QOXOPassphrase(c(), "p"), kEnd), kQOXErrBadParams);
  EXPECT_EQ(built, nullptr);
  EXPECT_EQ(QOXBuildOptionList(c(), nullptr, QOXOPassphrase(c(), "p"), kEnd), kQOXErrBadParams);

  uint32_t garbage[8] = {0};
  EXPECT_EQ(QOXFreeOptionList(reinterpret_cast<QOXOptionListRef>(garbage)), kQOXErrBadParams);
  EXPECT_EQ(QOXAddJobOptions(nullptr, QOXOPassphrase(c(), "p"), kEnd), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeOptionList(list), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeOptionList(copy), kQOXErrNoErr);
}

}  // namespace

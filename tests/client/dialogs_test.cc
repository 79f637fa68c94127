// The dialogs' option constructors, option gathering, allowed sets, entry
// point refusals, key selection and the bodies' paths that end before any
// prompt. (What reads the keyboard runs in a pseudo-terminal:
// tty_dialogs.py.) Key rings are fakes (fake_keys.h); one case walks a
// real key database.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "client/dialog_option_classes.h"
#include "client/dialog_options.h"
#include "client/dialogs.h"
#include "client/keyboard.h"
#include "client/tty_dialogs.h"
#include "crypto/random_pool.h"
#include "foundation/passphrase_quality.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "tests/client/fake_keys.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using client_fakes::FakeKey;
using client_fakes::FakeKeyRing;
using toolkit_doubles::CountingContext;

// No test here may read a real terminal: the keyboard is standard input,
// made /dev/null, so a prompt reached by mistake ends at once as cancelled.
class NoTerminal : public ::testing::Environment {
 public:
  void SetUp() override {
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 0), 0);
    close(fd);
    kbCbreak(1);
  }
};
const auto* const kNoTerminal = ::testing::AddGlobalTestEnvironment(new NoTerminal);

const QOXOptionListRef kBad = reinterpret_cast<QOXOptionListRef>(-3);

class DialogsTest : public ::testing::Test {
 protected:
  DialogsTest() { ctx.Rebase(); }
  void TearDown() override {
    EXPECT_EQ(ctx.livePlain(), 0) << "plain blocks leaked";
    EXPECT_EQ(ctx.liveSecure(), 0) << "secure blocks leaked";
  }
  QOXContext* c() { return ctx.get(); }
  // A non-persistent list of the given one-option lists.
  QOXOptionListRef List(std::vector<QOXOptionListRef> options) {
    QOXOptionListRef list = qoxNewOptionList(c(), false);
    for (QOXOptionListRef o : options) qoxAppendOptionListArgs(list, o, QOXOLastOption(c()));
    return list;
  }
  CountingContext ctx;
};

// The single option of a one-option list.
QOXOption Only(QOXOptionListRef list) {
  QOXOption option{};
  EXPECT_TRUE(qoxOptionListIsReal(list));
  EXPECT_EQ(qoxGetOptionListCount(list), 1u);
  qoxGetIndexedOption(list, 0, false, &option);
  return option;
}

TEST_F(DialogsTest, ConstructorsMakeTheirOptionTypes) {
  char* out = reinterpret_cast<char*>(1);
  auto* key = reinterpret_cast<QOXKeyDBObj*>(0x1000);
  struct Case {
    QOXOptionListRef list;
    QOXOptionType type;
    uintptr_t value;  // 0: a text, compared below
    const char* text;
  } cases[] = {
      {QOXOUIDialogPrompt(c(), "Say it"), kQOXOptionType_UIDialogPrompt, 0, "Say it"},
      {QOXOUIWindowTitle(c(), ""), kQOXOptionType_UIWindowTitle, 0, ""},
      {QOXOUIOutputPassphrase(c(), &out), kQOXOptionType_UIOutputPassphrase, reinterpret_cast<uintptr_t>(&out),
       nullptr},
      {QOXOUIMinimumPassphraseLength(c(), 12), kQOXOptionType_UIMinimumPassphraseLength, 12, nullptr},
      {QOXOUIMinimumPassphraseQuality(c(), 100), kQOXOptionType_UIMinimumPassphraseQuality, 100, nullptr},
      {QOXOUIDefaultKey(c(), key), kQOXOptionType_UIDefaultKey, 0x1000, nullptr},
      {QOXOUIDefaultPrivateKey(c(), nullptr), kQOXOptionType_UIDefaultPrivateKey, 0, nullptr},
      {QOXOUIVerifyPassphrase(c(), true), kQOXOptionType_UIVerifyPassphrase, 1, nullptr},
      {QOXOUIFindMatchingKey(c(), false), kQOXOptionType_UIFindMatchingKey, 0, nullptr},
      {QOXOUITextUI(c(), true), kQOXOptionType_UITextUI, 1, nullptr},
      {QOXOUIDialogTimeout(c(), 30), kQOXOptionType_UIDialogTimeout, 30, nullptr},
  };
  EXPECT_EQ(out, nullptr) << "the output pointer is cleared";
  for (const Case& k : cases) {
    SCOPED_TRACE(k.type);
    QOXOption o = Only(k.list);
    EXPECT_EQ(o.type, k.type);
    if (k.text != nullptr) {
      EXPECT_STREQ(reinterpret_cast<const char*>(o.value), k.text);
      EXPECT_EQ(o.valueSize, std::strlen(k.text) + 1);
      EXPECT_NE(o.handlerProc, nullptr) << "the copy is freed with the list";
    } else {
      EXPECT_EQ(o.value, k.value);
      EXPECT_EQ(o.handlerProc, nullptr) << "nothing owned";
    }
    qoxFreeOptionList(k.list);
  }
}

TEST_F(DialogsTest, ConstructorsRefuseBadArguments) {
  char* out = reinterpret_cast<char*>(1);
  EXPECT_EQ(QOXOUIOutputPassphrase(nullptr, &out), kBad);
  EXPECT_EQ(out, nullptr) << "the pointer is cleared before the context is checked";
  EXPECT_EQ(QOXOUIOutputPassphrase(c(), nullptr), kBad);
  EXPECT_EQ(QOXOUIMinimumPassphraseQuality(c(), 101), kBad);
  EXPECT_EQ(QOXOUIDialogPrompt(c(), nullptr), kBad);
  EXPECT_EQ(QOXOUIWindowTitle(c(), nullptr), kBad);
  EXPECT_EQ(QOXOUITextUI(nullptr, true), kBad);
  EXPECT_EQ(QOXOUIDefaultKey(nullptr, nullptr), kBad);
}

TEST_F(DialogsTest, GatheringReadsEveryOptionAndKeepsDefaults) {
  char* out = nullptr;
  auto* key = reinterpret_cast<QOXKeyDBObj*>(0x2000);
  auto* privateKey = reinterpret_cast<QOXKeyDBObj*>(0x3000);
  {
    QOXOptionListRef list = List({QOXOUIOutputPassphrase(c(), &out)});
    CQOXSigningPassphraseDialogOptions o;
    ASSERT_EQ(o.GatherOptions(c(), list), kQOXErrNoErr);
    EXPECT_EQ(o.mOutputPassphrase, &out);
    EXPECT_EQ(o.mVerifyPassphrase, 1);
    EXPECT_EQ(o.mFindMatchingKey, 1);
    EXPECT_EQ(o.mCacheGlobal, 1);
    EXPECT_EQ(o.mCachePassphrase, 0);
    EXPECT_EQ(o.mPrompt, nullptr);
    EXPECT_EQ(o.mDefaultKey, nullptr);
    qoxFreeOptionList(list);
  }
  QOXOptionListRef list =
      List({QOXOUIOutputPassphrase(c(), &out), QOXOUIDialogPrompt(c(), "Prompt"), QOXOUIWindowTitle(c(), "Title"),
            QOXOUIDefaultKey(c(), key), QOXOUIDefaultPrivateKey(c(), privateKey), QOXOUIVerifyPassphrase(c(), false),
            QOXOUIFindMatchingKey(c(), false), QOXOUITextUI(c(), true), QOXOUIMinimumPassphraseLength(c(), 8),
            QOXOUIMinimumPassphraseQuality(c(), 40), QOXOUIDialogTimeout(c(), 9),
            QOXOCachePassphrase(c(), 300, false)});
  CQOXSigningPassphraseDialogOptions o;
  ASSERT_EQ(o.GatherOptions(c(), list), kQOXErrNoErr);
  EXPECT_STREQ(o.mPrompt, "Prompt");
  EXPECT_STREQ(o.mWindowTitle, "Title");
  EXPECT_EQ(o.mDefaultKey, key);
  EXPECT_EQ(o.mDefaultPrivateKey, privateKey);
  EXPECT_EQ(o.mVerifyPassphrase, 0);
  EXPECT_EQ(o.mFindMatchingKey, 0);
  EXPECT_EQ(o.mTextUI, 1);
  EXPECT_EQ(o.mMinPassphraseLength, 8u);
  EXPECT_EQ(o.mMinPassphraseQuality, 40u);
  EXPECT_EQ(o.mDialogTimeout, 9u);
  EXPECT_EQ(o.mCachePassphrase, 1);
  EXPECT_EQ(o.mCacheSeconds, 300u);
  EXPECT_EQ(o.mCacheGlobal, 0);
  EXPECT_EQ(o.mContext, c());
  EXPECT_EQ(o.mOptionList, list);
  qoxFreeOptionList(list);
}

TEST_F(DialogsTest, GatheringErrors) {
  char* out = nullptr;
  struct Case {
    const char* what;
    std::function<QOXOptionListRef()> list;
    QOXError expected;
  } cases[] = {
      {"no output option", [&] { return List({QOXOUIDialogPrompt(c(), "p")}); }, kQOXErrOptionNotFound},
      {"two prompts",
       [&] { return List({QOXOUIOutputPassphrase(c(), &out), QOXOUIDialogPrompt(c(), "a"), QOXOUIDialogPrompt(c(), "b")}); },
       kQOXErrRedundantOptions},
      {"1005 twice",
       [&] {
         uintptr_t none = 0;
         return List({QOXOUIOutputPassphrase(c(), &out),
                      qoxCreateStandardValueOptionList(c(), kQOXOptionType_UIDialogOptions, &none, 4, nullptr),
                      qoxCreateStandardValueOptionList(c(), kQOXOptionType_UIDialogOptions, &none, 4, nullptr)});
       },
       kQOXErrRedundantOptions},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    QOXOptionListRef list = k.list();
    CQOXPassphraseDialogOptions o;
    EXPECT_EQ(o.GatherOptions(c(), list), k.expected);
    qoxFreeOptionList(list);
  }
  CQOXDialogOptions o;
  EXPECT_EQ(o.GatherOptions(nullptr, nullptr), kQOXErrBadParams);
}

TEST_F(DialogsTest, EachDialogRefusesOptionsOutsideItsSet) {
  FakeKeyRing ring(c(), {FakeKey{}});
  char* out = nullptr;
  QOXKeyDBObj* chosen = nullptr;
  EXPECT_EQ(QOXCollectRandomDataDialog(c(), 100, QOXOUIOutputPassphrase(c(), &out), QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(QOXPassphraseDialog(c(), QOXOUIOutputPassphrase(c(), &out), QOXOUIDefaultKey(c(), ring.key(0)),
                                QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(QOXKeyPassphraseDialog(c(), ring.key(0), QOXOUIOutputPassphrase(c(), &out),
                                   QOXOUIFindMatchingKey(c(), true), QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(QOXSigningPassphraseDialog(c(), ring.db(), &chosen, QOXOUIOutputPassphrase(c(), &out),
                                       QOXOCachePassphrase(c(), 10, true), QOXOLastOption(c())),
            kQOXErrBadParams);
  // The sets' own options pass the check: a passphrase dialog with all of
  // its set (the body shows nothing at a terminal) and random data that
  // is already there.
  EXPECT_EQ(QOXPassphraseDialog(c(), QOXOUIOutputPassphrase(c(), &out), QOXOUIDialogPrompt(c(), "p"),
                                QOXOUIWindowTitle(c(), "t"), QOXOUITextUI(c(), true),
                                QOXOUIDefaultPrivateKey(c(), nullptr), QOXOUIMinimumPassphraseLength(c(), 1),
                                QOXOUIMinimumPassphraseQuality(c(), 1), QOXOUIDialogTimeout(c(), 1),
                                QOXOLastOption(c())),
            kQOXErrNoErr);
  EXPECT_EQ(out, nullptr) << "the passphrase dialog sets no output at a terminal";
  qoxGlobalRandomPoolSetEntropy(500);
  EXPECT_EQ(QOXCollectRandomDataDialog(c(), 100, QOXOUIDialogPrompt(c(), "p"), QOXOUIWindowTitle(c(), "t"),
                                       QOXOUITextUI(c(), false), QOXOUIDefaultPrivateKey(c(), nullptr),
                                       QOXOLastOption(c())),
            kQOXErrNoErr);
}

TEST_F(DialogsTest, EntryPointsRefuseMissingArgumentsAndReleaseTheRun) {
  char* out = nullptr;
  QOXKeyDBObj* chosen = reinterpret_cast<QOXKeyDBObj*>(1);
  FakeKeyRing ring(c(), {FakeKey{}});
  EXPECT_EQ(QOXSigningPassphraseDialog(c(), nullptr, &chosen, QOXOUIOutputPassphrase(c(), &out),
                                       QOXOUIDialogPrompt(c(), "run"), QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(chosen, nullptr) << "the output is cleared first";
  EXPECT_EQ(QOXSigningPassphraseDialog(c(), ring.db(), nullptr, QOXOUIDialogPrompt(c(), "run"),
                                       QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(QOXKeyPassphraseDialog(c(), nullptr, QOXOUIDialogPrompt(c(), "run"), QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(QOXPassphraseDialog(nullptr, QOXOUIDialogPrompt(c(), "run"), QOXOLastOption(c())), kQOXErrBadParams);
  EXPECT_EQ(QOXCollectRandomDataDialog(nullptr, 1, QOXOUIDialogPrompt(c(), "run"), QOXOLastOption(c())),
            kQOXErrBadParams);
  // A refused constructor travels in the run: its error, and nothing runs.
  EXPECT_EQ(QOXPassphraseDialog(c(), QOXOUIOutputPassphrase(c(), &out), QOXOUIMinimumPassphraseQuality(c(), 101),
                                QOXOLastOption(c())),
            kQOXErrBadParams);
  EXPECT_EQ(QOXPassphraseDialog(c(), QOXOUIDialogPrompt(c(), "no output"), QOXOLastOption(c())),
            kQOXErrOptionNotFound);
}

// --- Key selection ---

FakeKey Key(bool canSign, bool shared, bool secret = true) {
  FakeKey k;
  k.canSign = canSign;
  k.canDecrypt = canSign;
  k.shared = shared;
  k.secret = secret;
  return k;
}

TEST_F(DialogsTest, FindValidSecretKeyChoosesByTargetAndSharing) {
  constexpr size_t kNone = 99;
  struct Case {
    const char* what;
    std::vector<FakeKey> keys;
    size_t defaultKey, defaultPrivateKey;
    bool signing;
    QOXError expected;
    size_t result;
  } cases[] = {
      {"target qualifies", {Key(true, false), Key(true, false)}, 1, kNone, true, kQOXErrNoErr, 1},
      {"default private key as target", {Key(true, false), Key(true, false)}, kNone, 1, true, kQOXErrNoErr, 1},
      {"default key over default private key", {Key(true, false), Key(true, false)}, 0, 1, true, kQOXErrNoErr, 0},
      {"no target: first unshared", {Key(false, false), Key(true, true), Key(true, false)}, kNone, kNone, true,
       kQOXErrNoErr, 2},
      {"target cannot sign: first unshared", {Key(true, false), Key(false, false)}, 1, kNone, true, kQOXErrNoErr, 0},
      {"shared target kept for signing", {Key(true, true), Key(true, false)}, 0, kNone, true, kQOXErrNoErr, 0},
      {"shared target not for decrypting", {Key(true, true), Key(true, false)}, 0, kNone, false, kQOXErrNoErr, 1},
      {"only shared keys, signing", {Key(false, false), Key(true, true)}, kNone, kNone, true, kQOXErrKeyCannotSign, 1},
      {"only shared keys, decrypting", {Key(true, true), Key(true, true)}, 1, kNone, false, kQOXErrKeyCannotDecrypt, 1},
      {"only public keys", {Key(false, false, false), Key(false, false, false)}, kNone, kNone, true,
       kQOXErrNoSecretKeyFound, kNone},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    FakeKeyRing ring(c(), k.keys);
    auto pick = [&](size_t i) { return i == kNone ? nullptr : ring.key(i); };
    QOXKeyDBObj* result = reinterpret_cast<QOXKeyDBObj*>(1);
    EXPECT_EQ(FindValidSecretKey(ring.root(), k.signing, pick(k.defaultPrivateKey), pick(k.defaultKey), &result),
              k.expected);
    EXPECT_EQ(result, pick(k.result));
    EXPECT_EQ(ring.live(), 0);
  }
}

TEST_F(DialogsTest, FindValidSecretKeyPassesOnReadErrors) {
  FakeKey unreadable;
  unreadable.canSignUnreadable = true;
  FakeKeyRing ring(c(), {Key(false, false), unreadable});
  QOXKeyDBObj* result = nullptr;
  EXPECT_EQ(FindValidSecretKey(ring.root(), true, nullptr, nullptr, &result), kQOXErrCorruptData);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(ring.live(), 0);
}

TEST_F(DialogsTest, SigningDialogEndsBeforeThePromptWithoutAUsableKey) {
  char* out = nullptr;
  QOXKeyDBObj* chosen = nullptr;
  {
    // The server's only signing key is shared: that key and -11492.
    FakeKeyRing ring(c(), {Key(false, false, false), Key(true, true)});
    EXPECT_EQ(QOXSigningPassphraseDialog(c(), ring.db(), &chosen, QOXOUIOutputPassphrase(c(), &out),
                                         QOXOUIDefaultKey(c(), ring.key(1)), QOXOUIFindMatchingKey(c(), true),
                                         QOXOLastOption(c())),
              kQOXErrKeyCannotSign);
    EXPECT_EQ(chosen, ring.key(1));
    EXPECT_EQ(ring.live(), 0);
  }
  {
    FakeKeyRing ring(c(), {Key(false, false, false)});
    EXPECT_EQ(QOXSigningPassphraseDialog(c(), ring.db(), &chosen, QOXOUIOutputPassphrase(c(), &out),
                                         QOXOLastOption(c())),
              kQOXErrNoSecretKeyFound);
    EXPECT_EQ(chosen, nullptr);
  }
  EXPECT_EQ(out, nullptr);
}

TEST_F(DialogsTest, KeyWalksOverARingWithoutSecretKeys) {
  // A real key database whose one key is not secret: the walk reaches it,
  // it does not qualify, and the choice ends with "no secret key found",
  // nothing chosen and nothing left behind. (Walks over real rings:
  // dialog_keydb_test.cc.)
  {
    toolkit_doubles::RealKeyDB keys(c());
    ctx.Rebase();
    char* out = nullptr;
    QOXKeyDBObj* chosen = nullptr;
    EXPECT_EQ(QOXSigningPassphraseDialog(c(), keys.db(), &chosen, QOXOUIOutputPassphrase(c(), &out),
                                         QOXOLastOption(c())),
              kQOXErrNoSecretKeyFound);
    EXPECT_EQ(chosen, nullptr);
    QOXKeyDBObj* found = reinterpret_cast<QOXKeyDBObj*>(1);
    EXPECT_EQ(FindValidSecretKey(keys.set(), true, nullptr, nullptr, &found), kQOXErrNoSecretKeyFound);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(GetKeyForPassphrase(keys.set(), "x", true), nullptr);
    EXPECT_EQ(ctx.livePlain(), 0);
  }
  ctx.Rebase();  // the key database is gone with its blocks
}

TEST_F(DialogsTest, GetKeyForPassphraseFindsTheKeyItUnlocks) {
  std::vector<FakeKey> keys(3);
  keys[0].passphrase = "one";
  keys[1].passphrase = "two";
  keys[1].canSign = false;
  keys[2].passphrase = "two";
  FakeKeyRing ring(c(), keys);
  EXPECT_EQ(GetKeyForPassphrase(ring.root(), "two", true), ring.key(2)) << "a key that cannot sign is skipped";
  EXPECT_EQ(GetKeyForPassphrase(ring.root(), "two", false), ring.key(1));
  EXPECT_EQ(GetKeyForPassphrase(ring.root(), "three", true), nullptr);
  EXPECT_EQ(ring.live(), 0);
}

// --- Bodies that end without a prompt ---

TEST_F(DialogsTest, KeyPassphraseCheck) {
  std::vector<FakeKey> keys(3);
  keys[0].shared = true;
  keys[1].needsPassphrase = true;
  keys[2].needsPassphrase = false;
  FakeKeyRing ring(c(), keys);
  char* out = reinterpret_cast<char*>(1);
  EXPECT_EQ(QOXKeyPassphraseDialog(c(), ring.key(0), QOXOUIOutputPassphrase(c(), &out), QOXOLastOption(c())),
            kQOXErrKeyCannotSign);
  EXPECT_EQ(QOXKeyPassphraseDialog(c(), ring.key(1), QOXOUIOutputPassphrase(c(), &out), QOXOLastOption(c())),
            kQOXErrNoErr);
  EXPECT_EQ(out, nullptr) << "a key that needs a passphrase: no output";
  EXPECT_EQ(QOXKeyPassphraseDialog(c(), ring.key(2), QOXOUIOutputPassphrase(c(), &out), QOXOLastOption(c())),
            kQOXErrNoErr);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "") << "an empty passphrase for a key without one";
  EXPECT_EQ(ctx.liveSecure(), 1) << "in secure memory, the caller's";
  secFree(out);
}

TEST_F(DialogsTest, KeyPassphraseCheckPassesOnThePropertyError) {
  // A key whose property cannot be read (the answer of the foundation's
  // stand-in when no key database is wired).
  char* out = nullptr;
  ostrak_test::ScopedServices<QOXKeyDBServices> keydb(qoxKeyDBServices, qoxRegisterKeyDBServices);
  keydb->qoxKeyIsValid = [](const QOXKeyDBObj*) { return true; };
  keydb->QOXGetKeyDBObjBooleanProperty = [](QOXKeyDBObj*, int32_t, bool* value) {
    *value = false;
    return kQOXErrFeatureNotAvailable;
  };
  auto* key = reinterpret_cast<QOXKeyDBObj*>(0x4000);
  EXPECT_EQ(QOXKeyPassphraseDialog(c(), key, QOXOUIOutputPassphrase(c(), &out), QOXOLastOption(c())),
            kQOXErrFeatureNotAvailable);
  EXPECT_EQ(out, nullptr);
}

TEST_F(DialogsTest, RandomDataAlreadyThereShowsNothingAndLeavesTheFlagClear) {
  qoxGlobalRandomPoolSetEntropy(800);
  testing::internal::CaptureStdout();
  EXPECT_EQ(QOXCollectRandomDataDialog(c(), 799, QOXOLastOption(c())), kQOXErrNoErr);
  EXPECT_EQ(QOXCollectRandomDataDialog(c(), 0, QOXOLastOption(c())), kQOXErrNoErr)
      << "0 asks for the pool's minimum, and the flag was cleared";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DialogsTest, SupportTexts) {
  std::vector<FakeKey> keys(4);
  keys[0].userID = "Alice <alice@example.com>";
  keys[1].userID = "Dee";
  keys[1].algorithm = 17;
  keys[1].bits = 1024;
  keys[2].userID = "Elle";
  keys[2].algorithm = 16;
  keys[3].userID = std::string(300, 'u');
  FakeKeyRing ring(c(), keys);
  char text[kQOXKeyStringSize];
  GetKeyString(ring.key(0), text, sizeof text);
  EXPECT_STREQ(text, "Alice <alice@example.com>   (RSA/2048)");
  GetKeyString(ring.key(1), text, sizeof text);
  EXPECT_STREQ(text, "Dee   (DSS/1024)");
  GetKeyString(ring.key(2), text, sizeof text);
  EXPECT_STREQ(text, "Elle   (Unknown/Unknown)");
  GetKeyString(ring.key(3), text, sizeof text);
  EXPECT_EQ(std::string(text), std::string(256, 'u') + "   (RSA/2048)") << "the user ID is cut at 256 bytes";

  testing::internal::CaptureStdout();
  EXPECT_EQ(QOXsdkUIErrorBox(kQOXErrNoErr), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkUIErrorBox(kQOXErrUserAbort), kQOXErrNoErr);
  EXPECT_EQ(QOXsdkUIErrorBox(kQOXErrBadPassphrase), kQOXErrNoErr);
  char expected[512];
  QOXGetErrorString(kQOXErrBadPassphrase, sizeof expected, expected);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(expected) + ": QOX Error");
  EXPECT_EQ(QOXEstimatePassphraseQuality("a long and varied Passphrase 42!"),
            qoxEstimatePassphraseQuality("a long and varied Passphrase 42!"));
  EXPECT_EQ(qoxCheckNetworklibAvailability(), kQOXErrNoErr);
}

TEST_F(DialogsTest, SecureTextsAreWipedWhenFreed) {
  char* text = secAlloc(c(), 16);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(ctx.liveSecure(), 1);
  std::strcpy(text, "secret");
  _GPP gpp{};
  gpp.pszPassPhrase = text;
  gpp.pszPassPhraseConf = secAlloc(c(), 16);
  std::strcpy(gpp.pszPassPhraseConf, "secret");
  ClearPassphrases(&gpp);
  EXPECT_EQ(gpp.pszPassPhraseConf, nullptr);
  EXPECT_EQ(gpp.pszPassPhrase, text);
  FreePassphrases(&gpp);
  EXPECT_EQ(gpp.pszPassPhrase, nullptr);
  EXPECT_EQ(ctx.unwipedSecure(), 0);
  secFree(nullptr);
}

}  // namespace

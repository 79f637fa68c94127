// Self-signature options through the public entry points over gpg's keys
// (make_manage_fixtures.sh: erin RSA, frank DSA), locked here with the
// toolkit's own protection and with no passphrase cached: renewed
// self-signatures and a changed primary user ID, with gpg importing the
// result as the oracle. A signing made to fail (the current self-signature
// names a hash the toolkit does not know, so its copy cannot be signed)
// shows that nothing is replaced or revoked before a new signature exists.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/random_pool.h"
#include "foundation/core/sig_spec.h"
#include "foundation/env.h"
#include "foundation/file.h"
#include "foundation/option_types.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_create.h"
#include "keydb/key_files.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check.h"
#include "gpg_home.h"
#include "keydb_test_support.h"
#include "locked_keys.h"

namespace {

using keydb_test::Bytes;
using keydb_test::GpgHome;
using keydb_test::Lines;
using keydb_test::LockedStream;
using keydb_test::ReadFile;

constexpr char kErinPass[] = "erin old";
constexpr char kFrankPass[] = "frank pass";
constexpr uint8_t kSHA1 = 2;
constexpr uint8_t kSHA256 = 8;  // not in the toolkit's hash registry

class KeyOptionsTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    keydb_test::KeyDBTest::SetUp();
    // gpg 2.2 refuses MD5, the toolkit's default.
    ASSERT_EQ(qoxenvSetInt(qoxContextGetEnvironment(context_), kQOXEnvHashAlgorithm, kSHA1, 25), 0);
    ASSERT_EQ(QOXPurgePassphraseCache(context_), 0);
    // Signing needs the pool's minimum entropy, whichever test runs first.
    ASSERT_EQ(QOXGlobalRandomPoolAddSystemState(), 0);
  }
  // A fixture read with its secret parts locked and its signatures checked.
  QOXKeyDBObj* Load(const std::string& file, const char* name, const std::string& passphrase) {
    EXPECT_EQ(Read(LockedStream(context_, ReadFile(file), passphrase)), 0);
    EXPECT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), nullptr, false, nullptr, nullptr), 0);
    return KeyNamed(name);
  }
  QOXOptionListRef Pass(const std::string& p) { return QOXOPassphrase(context_, p.c_str()); }
  QOXOptionListRef End() { return QOXOLastOption(context_); }
  std::vector<QOXKeyDBObj*> UserIDs(QOXKeyDBObj* key) { return Children(key, kQOXKeyDBObjType_UserID); }
  std::vector<QOXKeyDBObj*> Sigs(QOXKeyDBObj* parent) { return Children(parent, kQOXKeyDBObjType_Sig); }
  static const SigInfo* Info(QOXKeyDBObj* sig) { return qoxSigToSigInfo(sig); }
  // The public key block of the database, as exported.
  Bytes Export() {
    QOXFile* file = qoxFileMemOpen(context_, nullptr, 0);
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(sExportToQOXFile(qoxKeyDBPeekRootSet(db_), file, false, false, true), 0);
    Bytes bytes(static_cast<size_t>(file->tell(file)));
    file->seek(file, 0, SEEK_SET);
    EXPECT_EQ(file->read(bytes.data(), bytes.size(), file), bytes.size());
    file->close(file);
    return bytes;
  }
  // gpg imports the export and checks every signature: the "sig" and "rev"
  // lines of --check-sigs (each must be good, "!"), its user-ID lines of
  // --list-keys in gpg's order, and --list-packets of the export.
  struct GpgView {
    std::vector<std::string> sigLines;
    std::vector<std::string> uidLines;
    std::string packets;
  };
  GpgView InGpg() {
    GpgHome gpg;
    const std::string path = gpg.Put("export.bin", Export());
    GpgView view;
    std::string out;
    EXPECT_EQ(gpg.Gpg("--import " + path, &out), 0) << out;
    EXPECT_EQ(gpg.Gpg("--with-colons --check-sigs", &out), 0) << out;
    for (const std::string& line : Lines(out)) {
      if (line.rfind("sig:", 0) == 0 || line.rfind("rev:", 0) == 0) view.sigLines.push_back(line);
    }
    EXPECT_EQ(gpg.Gpg("--with-colons --list-keys", &out), 0) << out;
    for (const std::string& line : Lines(out)) {
      if (line.rfind("uid:", 0) == 0) view.uidLines.push_back(line);
    }
    EXPECT_EQ(gpg.Gpg("--list-packets " + path, &view.packets), 0) << view.packets;
    return view;
  }
  // A second user ID on the key, self-signed now with the primary flag.
  QOXKeyDBObj* AddPrimaryUserID(QOXKeyDBObj* key, const std::string& text, const std::string& passphrase) {
    QOXKeyDBObj* uid = qoxCreateUserID(db_, key, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_NE(uid, nullptr);
    QOXSigSpec* spec = qoxSigSpecCreate(qoxContextGetEnvironment(context_), key, 0x13);
    EXPECT_EQ(qoxSigSpecSetPassphrase(spec, reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size(), 0),
              0);
    EXPECT_EQ(qoxSigSpecSetTimestamp(spec, QOXGetTime() - 60), 0);
    EXPECT_EQ(qoxSigSpecSetPrimaryUserID(spec, 0, 1), 0);
    EXPECT_EQ(qoxSignObject(uid, spec), 0);
    qoxSigSpecDestroy(spec);
    return uid;
  }
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Renewal of a protected key with no passphrase cached: every user ID gets
// a new self-signature one second after a certification revocation of the
// old one, both made; gpg finds every signature good, the user ID valid and
// the new preferences, flags and key server in force.
TEST_F(KeyOptionsTest, RenewalOfAProtectedKeyWithoutCachedPassphrase) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  QOXKeyDBObj* frank = Load("frank.sec.bin", "Frank", kFrankPass);
  ASSERT_TRUE(erin != nullptr && frank != nullptr);
  struct Case {
    const char* what;
    QOXKeyDBObj* key;
    const char* passphrase;
  } cases[] = {{"RSA", erin, kErinPass}, {"DSA", frank, kFrankPass}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QOXKeyDBObj* uid = UserIDs(c.key).at(0);
    QOXKeyDBObj* old = qoxLatestSigByKey(uid, c.key);
    ASSERT_NE(old, nullptr);
    const int32_t algorithms[] = {9, 3, 2};
    ASSERT_EQ(QOXUpdateKeyOptions(c.key, Pass(c.passphrase), QOXOPreferredAlgorithms(context_, algorithms, 3),
                                  QOXOKeyFlags(context_, 0x03), QOXOKeyServerPreferences(context_, 0x80),
                                  QOXOPreferredKeyServer(context_, "ldap://keys.example.org"), End()),
              0);
    QOXKeyDBObj* renewed = qoxLatestSigByKey(uid, c.key);
    ASSERT_NE(renewed, old);
    EXPECT_EQ(Info(renewed)->type, Info(old)->type) << "copied from the old self-signature";
    QOXKeyDBObj* revocation = nullptr;
    for (QOXKeyDBObj* s : Sigs(uid))
      if (Info(s)->type == 0x30) revocation = s;
    ASSERT_NE(revocation, nullptr);
    EXPECT_EQ(Info(renewed)->creation, Info(revocation)->creation + 1);
    EXPECT_TRUE(qoxSigRevoked(old));
    EXPECT_FALSE(qoxSigRevoked(renewed));
  }

  const GpgView gpg = InGpg();
  EXPECT_GE(gpg.sigLines.size(), 4u);
  for (const std::string& line : gpg.sigLines) EXPECT_EQ(line.substr(4, 1), "!") << line;
  ASSERT_EQ(gpg.uidLines.size(), 2u);
  for (const std::string& line : gpg.uidLines) EXPECT_NE(line.substr(0, 6), "uid:r:") << "not revoked: " << line;
  for (const char* expected : {"pref-sym-algos: 9 3 2", "key flags: 03 00 00 00", "keyserver preferences: 80 00 00 00",
                               "preferred keyserver: ldap://keys.example.org", "sigclass 0x30"})
    EXPECT_TRUE(Has(gpg.packets, expected)) << expected << "\n" << gpg.packets;
}

// Only the passphrase, or none of the four options: nothing is done. A
// wrong passphrase, an option outside the set and an expired key are
// refused before anything is signed.
TEST_F(KeyOptionsTest, RenewalRefusals) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* uid = UserIDs(erin).at(0);
  const size_t sigs = Sigs(uid).size();
  const int32_t algorithms[] = {3};
  struct Case {
    const char* what;
    QOXOptionListRef first;
    QOXOptionListRef second;
    QOXError error;
  } cases[] = {
      {"nothing to change", Pass(kErinPass), QOXONullOption(context_), kQOXErrNoErr},
      {"wrong passphrase", Pass("wrong"), QOXOKeyFlags(context_, 1), kQOXErrBadPassphrase},
      {"no passphrase, none cached", QOXONullOption(context_), QOXOKeyFlags(context_, 1), kQOXErrBadPassphrase},
      {"option outside the set", Pass(kErinPass), QOXOExportable(context_, true), kQOXErrBadParams},
      {"preferences, wrong passphrase", QOXOPreferredAlgorithms(context_, algorithms, 1), Pass("x"),
       kQOXErrBadPassphrase},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QOXUpdateKeyOptions(erin, c.first, c.second, End()), c.error) << c.what;
    EXPECT_EQ(Sigs(uid).size(), sigs) << c.what;
  }
  qoxKeyToKeyInfo(erin)->creation = 1000000000;
  qoxKeyToKeyInfo(erin)->validityDays = 1;
  EXPECT_EQ(QOXUpdateKeyOptions(erin, Pass(kErinPass), QOXOKeyFlags(context_, 1), End()), kQOXErrKeyExpired);
  EXPECT_EQ(Sigs(uid).size(), sigs);
}

// A new self-signature that cannot be made: the error comes back, the old
// self-signature stays the user ID's current one and no revocation is made.
TEST_F(KeyOptionsTest, FailedRenewalLeavesTheOldSelfSignatureInForce) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* uid = UserIDs(erin).at(0);
  QOXKeyDBObj* old = qoxLatestSigByKey(uid, erin);
  ASSERT_NE(old, nullptr);
  qoxSigToSigInfo(old)->hashAlgorithm = kSHA256;
  const size_t sigs = Sigs(uid).size();
  db_->dirty = 0;
  EXPECT_NE(QOXUpdateKeyOptions(erin, Pass(kErinPass), QOXOKeyFlags(context_, 0x03), End()), kQOXErrNoErr);
  EXPECT_EQ(Sigs(uid).size(), sigs);
  EXPECT_EQ(qoxLatestSigByKey(uid, erin), old);
  EXPECT_FALSE(qoxSigRevoked(old));
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
}

// Making a protected key's first user ID primary with no passphrase cached:
// it is signed anew with the primary flag, the second user ID (which said
// it was primary) anew without it, both old self-signatures are deleted,
// and the chosen one leads the key's user IDs. gpg agrees.
TEST_F(KeyOptionsTest, PrimaryUserIDOfAProtectedKey) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* first = UserIDs(erin).at(0);
  QOXKeyDBObj* second = AddPrimaryUserID(erin, "Erin Second <erin2@example.org>", kErinPass);
  ASSERT_EQ(qoxKeyPrimaryUserID(erin, 0), second);
  QOXKeyDBObj* oldFirst = qoxLatestSigByKey(first, erin);
  QOXKeyDBObj* oldSecond = qoxLatestSigByKey(second, erin);
  ASSERT_EQ(QOXSetPrimaryUserID(first, Pass(kErinPass), End()), 0);
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(oldFirst));
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(oldSecond));
  QOXKeyDBObj* newFirst = qoxLatestSigByKey(first, erin);
  QOXKeyDBObj* newSecond = qoxLatestSigByKey(second, erin);
  ASSERT_TRUE(newFirst != nullptr && newSecond != nullptr);
  EXPECT_NE(Info(newFirst)->sigFlags & kQOXSigFlag_PrimaryUserID, 0u);
  EXPECT_EQ(Info(newSecond)->sigFlags & kQOXSigFlag_PrimaryUserID, 0u);
  EXPECT_EQ(UserIDs(erin).at(0), first);
  EXPECT_EQ(qoxKeyPrimaryUserID(erin, 0), first);

  const GpgView gpg = InGpg();
  EXPECT_EQ(gpg.sigLines.size(), 3u) << "one self-signature per user ID and the subkey binding";
  for (const std::string& line : gpg.sigLines) EXPECT_EQ(line.substr(0, 6), "sig:!:") << line;
  ASSERT_EQ(gpg.uidLines.size(), 2u);
  EXPECT_TRUE(Has(gpg.uidLines[0], "Erin Locked")) << "gpg lists the primary user ID first";
}

// The chosen user ID cannot be signed: the error comes back with nothing
// changed, neither the marks nor the order nor the other user ID.
TEST_F(KeyOptionsTest, FailedPrimarySigningChangesNothing) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* first = UserIDs(erin).at(0);
  QOXKeyDBObj* second = AddPrimaryUserID(erin, "Erin Second <erin2@example.org>", kErinPass);
  QOXKeyDBObj* oldFirst = qoxLatestSigByKey(first, erin);
  qoxSigToSigInfo(oldFirst)->hashAlgorithm = kSHA256;
  const std::vector<QOXKeyDBObj*> before = Children(erin, kQOXKeyDBObjType_UserID);
  const size_t firstSigs = Sigs(first).size();
  const size_t secondSigs = Sigs(second).size();
  db_->dirty = 0;
  EXPECT_NE(QOXSetPrimaryUserID(first, Pass(kErinPass), End()), kQOXErrNoErr);
  EXPECT_EQ(Children(erin, kQOXKeyDBObjType_UserID), before);
  EXPECT_EQ(Sigs(first).size(), firstSigs);
  EXPECT_EQ(Sigs(second).size(), secondSigs);
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(oldFirst));
  EXPECT_EQ(qoxKeyPrimaryUserID(erin, 0), second);
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
}

// A public key only moves and marks the user ID; the refusals of the
// object and the passphrase.
TEST_F(KeyOptionsTest, PrimaryUserIDWithoutSecretPartAndRefusals) {
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  QOXKeyDBObj* bob = KeyNamed("Bob");
  ASSERT_NE(bob, nullptr);
  QOXKeyDBObj* bobUID = UserIDs(bob).at(0);
  const size_t sigs = Sigs(bobUID).size();
  ASSERT_EQ(QOXSetPrimaryUserID(bobUID, End()), 0);
  EXPECT_EQ(Sigs(bobUID).size(), sigs) << "nothing signed";
  EXPECT_EQ(qoxKeyPrimaryUserID(bob, 0), bobUID);

  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* uid = UserIDs(erin).at(0);
  struct Case {
    const char* what;
    QOXKeyDBObj* object;
    QOXOptionListRef option;
    QOXError error;
  } cases[] = {
      {"not a user ID", Sigs(uid).at(0), Pass(kErinPass), kQOXErrBadParams},
      {"wrong passphrase", uid, Pass("wrong"), kQOXErrBadPassphrase},
      {"no passphrase, none cached", uid, QOXONullOption(context_), kQOXErrBadPassphrase},
      {"option outside the set", uid, QOXOKeyFlags(context_, 1), kQOXErrBadParams},
  };
  const size_t erinSigs = Sigs(uid).size();
  for (const Case& c : cases) {
    EXPECT_EQ(QOXSetPrimaryUserID(c.object, c.option, End()), c.error) << c.what;
    EXPECT_EQ(Sigs(uid).size(), erinSigs) << c.what;
  }
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(uid), 0);
  EXPECT_EQ(QOXSetPrimaryUserID(uid, Pass(kErinPass), End()), kQOXErrObjectDeleted);
}

// Designated revokers: the key signs itself a direct-key signature (class
// 0x1F) naming each revoker with its class and fingerprint, not revocable;
// gpg lists the revoker and finds the signature good. The revocation key
// set is mandatory; an expired key is refused.
TEST_F(KeyOptionsTest, DesignatedRevokerIsADirectKeySignature) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  QOXKeyDB* revokers = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &revokers), 0);
  ASSERT_EQ(Read(ReadFile("frank.bin"), false, revokers), 0);
  uint8_t fingerprint[20];
  ASSERT_GE(qoxKeyFingerprint20(revokers->firstKey, fingerprint), 0);
  const std::string frankFingerprint = keydb_test::Hex(fingerprint, sizeof fingerprint);
  EXPECT_EQ(QOXAddKeyOptions(erin, Pass(kErinPass), End()), kQOXErrOptionNotFound);
  ASSERT_EQ(QOXAddKeyOptions(erin, Pass(kErinPass), QOXORevocationKeySet(context_, qoxKeyDBPeekRootSet(revokers)),
                             End()),
            0);
  const std::vector<QOXKeyDBObj*> direct = Sigs(erin);
  ASSERT_EQ(direct.size(), 1u);
  EXPECT_EQ(Info(direct[0])->type, 0x1F);

  const GpgView gpg = InGpg();
  for (const std::string& line : gpg.sigLines) EXPECT_EQ(line.substr(4, 1), "!") << line;
  for (const std::string& expected : std::vector<std::string>{"sigclass 0x1f", "not revocable",
                                     "revocation key: c=80 a=17 f=" + frankFingerprint})
    EXPECT_TRUE(Has(gpg.packets, expected)) << expected << "\n" << gpg.packets;

  qoxKeyToKeyInfo(erin)->creation = 1000000000;
  qoxKeyToKeyInfo(erin)->validityDays = 1;
  EXPECT_EQ(QOXAddKeyOptions(erin, Pass(kErinPass), QOXORevocationKeySet(context_, qoxKeyDBPeekRootSet(revokers)),
                             End()),
            kQOXErrKeyExpired);
  EXPECT_EQ(Sigs(erin).size(), 1u);
  EXPECT_EQ(QOXFreeKeyDB(revokers), 0);
}

}  // namespace

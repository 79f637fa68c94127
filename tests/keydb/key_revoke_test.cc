// Revoking keys, subkeys and signatures through the public entry points,
// over gpg's keys (erin RSA "erin old", frank DSA "frank pass", alice and
// carol with alice as carol's designated revoker). gpg is the oracle for
// key revocations; subkey and signature revocations are checked from their
// bytes by our own signature check after a write and read back.
#include <gtest/gtest.h>

#include <string>

#include "foundation/option_types.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/obj_properties.h"
#include "key_certify_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::ReadFile;
using keydb_test::kErinPassphrase;
using keydb_test::kFrankPassphrase;

class KeyRevokeTest : public keydb_test::CertifyTest {
 protected:
  QOXOptionListRef Pass(const char* p) { return QOXOPassphrase(context_, p); }
  QOXOptionListRef End() { return QOXOLastOption(context_); }
  // The signatures of a class directly under an object.
  static std::vector<QOXKeyDBObj*> SigsOfClass(QOXKeyDBObj* parent, uint8_t sigClass) {
    std::vector<QOXKeyDBObj*> out;
    for (QOXKeyDBObj* s : Sigs(parent))
      if (qoxSigType(s) == sigClass) out.push_back(s);
    return out;
  }
  // gpg's --with-colons key line ("pub:...") of the key with that ID, after
  // importing the bytes into a fresh home.
  static std::string GpgKeyLine(const Bytes& keys, const std::string& keyID) {
    keydb_test::GpgHome gpg;
    std::string out;
    EXPECT_EQ(gpg.Gpg("--import " + gpg.Put("keys.bin", keys), &out), 0) << out;
    EXPECT_EQ(gpg.Gpg("--with-colons --list-keys " + keyID, &out), 0) << out;
    const size_t at = out.find("pub:");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  }
  static bool Verified(QOXKeyDBObj* sig) {
    bool verified = false;
    EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(sig, static_cast<int32_t>(KeyDBObjProperty::SigIsVerified), &verified),
              0);
    return verified;
  }
};

// A key revoking itself: a wrong passphrase makes nothing; the right one a
// version-3 class 0x20 signature, the key is revoked at once (trust
// recalculated) and gpg marks it revoked; a second revocation adds nothing.
TEST_F(KeyRevokeTest, KeyRevocationIsVersion3AndRevokedInGpg) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  EXPECT_EQ(QOXRevoke(erin, Pass("wrong"), End()), kQOXErrBadPassphrase);
  EXPECT_TRUE(SigsOfClass(erin, 0x20).empty());
  EXPECT_EQ(QOXRevoke(erin, QOXOExportable(context_, true), End()), kQOXErrBadParams) << "option outside the set";
  ASSERT_EQ(QOXRevoke(erin, Pass(kErinPassphrase), End()), 0);
  ASSERT_EQ(SigsOfClass(erin, 0x20).size(), 1u);
  EXPECT_EQ(SigVersion(SigsOfClass(erin, 0x20)[0]), 3);
  EXPECT_TRUE(qoxKeyRevoked(erin));
  EXPECT_EQ(QOXRevoke(erin, Pass(kErinPassphrase), End()), 0);
  EXPECT_EQ(SigsOfClass(erin, 0x20).size(), 1u) << "already revoked: nothing more";
  const std::string line = GpgKeyLine(keydb_test::ExportAll(context_, db_), keydb_test::KeyIDText(erin));
  EXPECT_EQ(line.rfind("pub:r:", 0), 0u) << line;
}

// Carol's key has alice as designated revoker: with alice's secret key at
// hand, carol's public key is revoked by alice and gpg agrees. Without a
// usable signer (no revoker present, no revoker at all) or for an expired
// key, the revocation returns 0 and makes nothing.
TEST_F(KeyRevokeTest, DesignatedRevokerAndNothingWithoutASigner) {
  ASSERT_EQ(ReadFixture("carol.bin"), 0);
  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  ASSERT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), nullptr, true, nullptr, nullptr), 0);
  QOXKeyDBObj* carol = KeyNamed("Carol");
  QOXKeyDBObj* alice = KeyNamed("Alice");
  ASSERT_TRUE(carol != nullptr && alice != nullptr);
  ASSERT_EQ(QOXRevoke(carol, End()), 0);
  const auto revocations = SigsOfClass(carol, 0x20);
  ASSERT_EQ(revocations.size(), 1u);
  EXPECT_EQ(qoxSigMaker(revocations[0]), alice);
  EXPECT_TRUE(qoxKeyRevoked(carol));
  const std::string line = GpgKeyLine(keydb_test::ExportAll(context_, db_), keydb_test::KeyIDText(carol));
  EXPECT_EQ(line.rfind("pub:r:", 0), 0u) << line;

  // No usable signer, or an expired key: 0 and nothing made.
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  ASSERT_EQ(Read(ReadFile("carol.bin"), false, other), 0);
  ASSERT_EQ(Read(ReadFile("bob.bin"), false, other), 0);
  ASSERT_EQ(Read(keydb_test::LockedStream(context_, ReadFile("frank.sec.bin"), kFrankPassphrase), false, other),
            0);
  ASSERT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(other), nullptr, true, nullptr, nullptr), 0);
  QOXKeyDBObj* frank = KeyNamed("Frank", other);
  qoxKeyToKeyInfo(frank)->creation = 1000000000;
  qoxKeyToKeyInfo(frank)->validityDays = 1;
  for (const char* name : {"Carol", "Bob", "Frank"}) {
    QOXKeyDBObj* key = KeyNamed(name, other);
    ASSERT_NE(key, nullptr) << name;
    const size_t before = Sigs(key).size();
    EXPECT_EQ(QOXRevoke(key, Pass(kFrankPassphrase), End()), 0) << name;
    EXPECT_EQ(Sigs(key).size(), before) << name;
    EXPECT_FALSE(qoxKeyRevoked(key)) << name;
  }
  EXPECT_EQ(QOXFreeKeyDB(other), 0);
}

// A subkey revocation (with the cache option) and a signature revocation:
// written out, read back and checked from their bytes, both verify and
// revoke what they name; a revoked signature is not revoked again.
TEST_F(KeyRevokeTest, SubKeyAndSignatureRevocationsCheckGood) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* sub = Children(erin, kQOXKeyDBObjType_SubKey).at(0);
  QOXKeyDBObj* uid = Children(erin, kQOXKeyDBObjType_UserID).at(0);
  QOXKeyDBObj* selfSig = SigsOfClass(uid, 0x13).at(0);
  ASSERT_EQ(QOXRevoke(sub, Pass(kErinPassphrase), QOXOCachePassphrase(context_, 60, false), End()), 0);
  ASSERT_EQ(SigsOfClass(sub, 0x28).size(), 1u);
  EXPECT_TRUE(qoxKeyRevoked(sub));
  ASSERT_EQ(QOXRevokeSig(selfSig, QOXONullOption(context_), End()), 0) << "the cached passphrase signs";
  ASSERT_EQ(SigsOfClass(uid, 0x30).size(), 1u);
  bool revoked = false;
  ASSERT_EQ(QOXGetKeyDBObjBooleanProperty(selfSig, static_cast<int32_t>(KeyDBObjProperty::SigIsRevoked), &revoked),
            0);
  EXPECT_TRUE(revoked);
  EXPECT_EQ(QOXRevokeSig(selfSig, End()), 0);
  EXPECT_EQ(SigsOfClass(uid, 0x30).size(), 1u) << "already revoked: nothing more";

  QOXKeyDB* copy = ReadBackChecked();
  QOXKeyDBObj* erin2 = KeyNamed("Erin", copy);
  ASSERT_NE(erin2, nullptr);
  QOXKeyDBObj* sub2 = Children(erin2, kQOXKeyDBObjType_SubKey).at(0);
  QOXKeyDBObj* uid2 = Children(erin2, kQOXKeyDBObjType_UserID).at(0);
  ASSERT_EQ(SigsOfClass(sub2, 0x28).size(), 1u);
  ASSERT_EQ(SigsOfClass(uid2, 0x30).size(), 1u);
  EXPECT_TRUE(Verified(SigsOfClass(sub2, 0x28)[0]));
  EXPECT_TRUE(Verified(SigsOfClass(uid2, 0x30)[0]));
  bool subRevoked = false;
  EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(sub2, static_cast<int32_t>(KeyDBObjProperty::SubKeyIsRevoked), &subRevoked),
            0);
  EXPECT_TRUE(subRevoked);
  EXPECT_EQ(QOXFreeKeyDB(copy), 0);
}

// Through a front end: the back end signs and the front end sees the
// revocations once merged.
TEST_F(KeyRevokeTest, FrontEndRevocationsGoThroughTheBackEnd) {
  const Bytes locked = keydb_test::LockedStream(context_, ReadFile("erin.sec.bin"), kErinPassphrase);
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, locked.data(), locked.size(), &front), 0);
  ASSERT_TRUE(qoxFrontEndKeyDB(front));
  QOXKeyDBObj* erin = front->firstKey;
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* sub = Children(erin, kQOXKeyDBObjType_SubKey).at(0);
  ASSERT_EQ(QOXRevoke(sub, Pass(kErinPassphrase), End()), 0);
  EXPECT_EQ(SigsOfClass(sub, 0x28).size(), 1u);
  QOXKeyDBObj* uid = Children(erin, kQOXKeyDBObjType_UserID).at(0);
  ASSERT_EQ(QOXRevokeSig(SigsOfClass(uid, 0x13).at(0), Pass(kErinPassphrase), End()), 0);
  EXPECT_EQ(SigsOfClass(uid, 0x30).size(), 1u);
  ASSERT_EQ(QOXRevoke(erin, Pass(kErinPassphrase), End()), 0);
  EXPECT_EQ(SigsOfClass(erin, 0x20).size(), 1u);
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

}  // namespace

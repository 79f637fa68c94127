// Signer preparation and certification of an object, over gpg's keys erin
// (RSA, "erin old") and frank (DSA expiring after two years, "frank pass";
// make_manage_fixtures.sh), with gpg as the oracle for what was signed.
#include <gtest/gtest.h>

#include <string>

#include "foundation/core/sig_spec.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_certify.h"
#include "keydb/key_create.h"
#include "keydb/key_manage.h"
#include "key_certify_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::kErinPassphrase;
using keydb_test::kFrankPassphrase;

QOXPassphraseArgs Pass(const char* text) {
  QOXPassphraseArgs pass;
  pass.bytes = text;
  pass.length = std::char_traits<char>::length(text);
  return pass;
}

class KeyCertifyTest : public keydb_test::CertifyTest {};

// Each refusal of signer preparation, then signature settings of the class
// for the signer that carries the passphrase.
TEST_F(KeyCertifyTest, SignerPreparationRefusals) {
  QOXKeyDBObj* erin = LoadErin();
  QOXKeyDBObj* frank = LoadFrank();
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  QOXKeyDBObj* bob = KeyNamed("Bob");
  ASSERT_TRUE(erin != nullptr && frank != nullptr && bob != nullptr);
  QOXKeyDBObj* elgamal = Children(frank, kQOXKeyDBObjType_SubKey).at(0);
  struct Case {
    const char* what;
    QOXKeyDBObj* signer;
    QOXPassphraseArgs pass;
    QOXError error;
  } cases[] = {
      {"public key only", bob, Pass("x"), kQOXErrNoSecretKeyFound},
      {"encryption-only subkey", elgamal, Pass(kFrankPassphrase), kQOXErrNoSecretKeyFound},
      {"user ID is no signer", Children(erin, kQOXKeyDBObjType_UserID).at(0), Pass(kErinPassphrase),
       kQOXErrNoSecretKeyFound},
      {"wrong passphrase", erin, Pass("erin olD"), kQOXErrBadPassphrase},
      {"no passphrase, nothing cached", erin, Pass(""), kQOXErrBadPassphrase},
  };
  for (const Case& c : cases) {
    QOXSigSpec* spec = reinterpret_cast<QOXSigSpec*>(1);
    EXPECT_EQ(qoxPrepareSigner(c.signer, 0x20, c.pass, &spec), c.error) << c.what;
    EXPECT_EQ(spec, nullptr) << c.what;
  }
  QOXSigSpec* spec = nullptr;
  ASSERT_EQ(qoxPrepareSigner(frank, 0x13, Pass(kFrankPassphrase), &spec), 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(qoxSigSpecSeckey(spec), frank);
  EXPECT_EQ(qoxSigSpecSigType(spec), 0x13);
  size_t length = 0;
  int hashed = -1;
  const uint8_t* carried = qoxSigSpecPassphrase(spec, &length, &hashed);
  ASSERT_NE(carried, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(carried), length), kFrankPassphrase);
  EXPECT_EQ(hashed, 0);
  qoxSigSpecDestroy(spec);

  // A pool that was never seeded refuses before anything else.
  qoxInitGlobalRandomPool();
  qoxSetIsSeeded(false);
  EXPECT_EQ(qoxPrepareSigner(frank, 0x13, Pass(kFrankPassphrase), &spec), kQOXErrOutOfEntropy);
  EXPECT_EQ(spec, nullptr);
}

// A DSA key certifying a user ID of its own gets a version-4 signature with
// its preferred algorithms and key expiration, even when the environment
// asks for version 3; an RSA key revoking itself gets a version-3 key
// revocation. gpg checks the certification good and takes the revocation.
TEST_F(KeyCertifyTest, CertifyObjectFitsSelfCertificationsAndKeyRevocations) {
  ASSERT_EQ(qoxenvSetInt(qoxContextGetEnvironment(context_), kQOXEnvSigVersion, 3, 0), 0);
  QOXKeyDBObj* erin = LoadErin();
  QOXKeyDBObj* frank = LoadFrank();
  ASSERT_TRUE(erin != nullptr && frank != nullptr);
  const std::string text = "Frank Second <frank2@example.org>";
  QOXKeyDBObj* uid = qoxCreateUserID(db_, frank, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  ASSERT_NE(uid, nullptr);
  QOXSigSpec* spec = nullptr;
  ASSERT_EQ(qoxPrepareSigner(frank, 0x10, Pass(kFrankPassphrase), &spec), 0);
  db_->dirty = 0;
  ASSERT_EQ(sCertifyObject(spec, uid), 0);
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  ASSERT_EQ(Sigs(uid).size(), 1u);
  EXPECT_EQ(SigVersion(Sigs(uid)[0]), 4);

  ASSERT_EQ(qoxPrepareSigner(erin, 0x20, Pass(kErinPassphrase), &spec), 0);
  ASSERT_EQ(sCertifyObject(spec, erin), 0);
  QOXKeyDBObj* revocation = nullptr;
  for (QOXKeyDBObj* s : Sigs(erin))
    if (qoxSigType(s) == 0x20) revocation = s;
  ASSERT_NE(revocation, nullptr);
  EXPECT_EQ(SigVersion(revocation), 3);

  keydb_test::GpgHome gpg;
  const std::string file = gpg.Put("keys.bin", keydb_test::ExportAll(context_, db_));
  std::string out;
  ASSERT_EQ(gpg.Gpg("--list-packets " + file, &out), 0) << out;
  const size_t at = out.find("\"" + text + "\"");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string after = out.substr(at);
  for (const char* expected : {"version 4,", "sigclass 0x10", "pref-sym-algos: 9 8 7 2", "key expires after 2y0d0h0m"})
    EXPECT_NE(after.find(expected), std::string::npos) << expected << "\n" << after;
  EXPECT_NE(out.find("version 3, created"), std::string::npos) << out;
  ASSERT_EQ(gpg.Gpg("--import " + file, &out), 0) << out;
  ASSERT_EQ(gpg.Gpg("--with-colons --check-sigs", &out), 0) << out;
  bool frankChecked = false;
  bool erinRevoked = false;
  const std::string frankID = keydb_test::KeyIDText(frank);
  std::string owner;
  for (size_t from = 0; from < out.size();) {
    const size_t end = out.find('\n', from);
    const std::string line = out.substr(from, end - from);
    from = end == std::string::npos ? out.size() : end + 1;
    if (line.rfind("pub:", 0) == 0) {
      owner = line;
      if (line.find(keydb_test::KeyIDText(erin)) != std::string::npos) erinRevoked = line.rfind("pub:r:", 0) == 0;
    }
    if (line.rfind("uid:", 0) == 0 && line.find("Frank Second") != std::string::npos) owner = line;
    if (line.rfind("sig:", 0) == 0 && owner.find("Frank Second") != std::string::npos &&
        line.find(frankID) != std::string::npos)
      frankChecked = line.rfind("sig:!:", 0) == 0;
  }
  EXPECT_TRUE(frankChecked) << out;
  EXPECT_TRUE(erinRevoked) << out;
}

}  // namespace

// Adding user IDs and attributes, and certifying user IDs, through the
// public entry points over gpg's keys (erin RSA "erin old", frank DSA
// expiring after two years "frank pass", bob DSA public), with gpg as the
// oracle for what was signed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/option_types.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/obj_properties.h"
#include "keydb/trust.h"
#include "key_certify_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::ReadFile;
using keydb_test::kErinPassphrase;
using keydb_test::kFrankPassphrase;

class KeyUserIDsTest : public keydb_test::CertifyTest {
 protected:
  QOXOptionListRef Pass(const char* p) { return QOXOPassphrase(context_, p); }
  QOXOptionListRef End() { return QOXOLastOption(context_); }
  QOXKeyDBObj* UserIDNamed(QOXKeyDBObj* key, const std::string& text) {
    for (QOXKeyDBObj* u : Children(key, kQOXKeyDBObjType_UserID)) {
      size_t n = 0;
      const uint8_t* name = qoxUserIDName(u, &n);
      if (name != nullptr && !qoxUserIDIsAttribute(u) && std::string(reinterpret_cast<const char*>(name), n) == text)
        return u;
    }
    return nullptr;
  }
  static int32_t LegacyValidity(QOXKeyDBObj* uid) {
    int32_t v = -1;
    EXPECT_EQ(QOXGetKeyDBObjNumericProperty(uid, static_cast<int32_t>(KeyDBObjProperty::UserIDValidity), &v), 0);
    return v;
  }
  // The lines of gpg's --with-colons --check-sigs over the bytes.
  static std::string GpgCheckSigs(const Bytes& keys) {
    keydb_test::GpgHome gpg;
    std::string out;
    EXPECT_EQ(gpg.Gpg("--import " + gpg.Put("keys.bin", keys), &out), 0) << out;
    EXPECT_EQ(gpg.Gpg("--with-colons --check-sigs", &out), 0) << out;
    return out;
  }
  static std::string GpgListPackets(const Bytes& keys) {
    keydb_test::GpgHome gpg;
    std::string out;
    EXPECT_EQ(gpg.Gpg("--list-packets " + gpg.Put("keys.bin", keys), &out), 0) << out;
    return out;
  }
  // The "sig:" lines under the first "uid:" line holding the text.
  static std::vector<std::string> SigLinesUnder(const std::string& colons, const std::string& text) {
    std::vector<std::string> lines;
    bool in = false;
    for (size_t from = 0; from < colons.size();) {
      const size_t end = colons.find('\n', from);
      const std::string line = colons.substr(from, end == std::string::npos ? std::string::npos : end - from);
      from = end == std::string::npos ? colons.size() : end + 1;
      if (line.rfind("uid:", 0) == 0 || line.rfind("sub:", 0) == 0 || line.rfind("pub:", 0) == 0)
        in = line.rfind("uid:", 0) == 0 && line.find(text) != std::string::npos;
      else if (in && line.rfind("sig:", 0) == 0)
        lines.push_back(line);
    }
    return lines;
  }
};

// A new user ID on a DSA key: a version-4 self-signature carrying the key's
// preferred algorithms and key expiration, good in gpg; the same text again
// -11315. Attributes: a second with the same first subpacket -11315, other
// data is added. Refusals: a public key -11402, a wrong passphrase -11500
// (the user ID made stays, unsigned).
TEST_F(KeyUserIDsTest, AddedUserIDsAndAttributes) {
  QOXKeyDBObj* frank = LoadFrank();
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  QOXKeyDBObj* bob = KeyNamed("Bob");
  ASSERT_TRUE(frank != nullptr && bob != nullptr);
  const std::string text = "Frank Second <frank2@example.org>";
  ASSERT_EQ(QOXAddUserID(frank, text.c_str(), Pass(kFrankPassphrase), End()), 0);
  QOXKeyDBObj* uid = UserIDNamed(frank, text);
  ASSERT_NE(uid, nullptr);
  ASSERT_EQ(Sigs(uid).size(), 1u);
  EXPECT_EQ(SigVersion(Sigs(uid)[0]), 4);
  EXPECT_EQ(QOXAddUserID(frank, text.c_str(), Pass(kFrankPassphrase), End()), kQOXErrDuplicateUserID);

  const uint8_t photo[] = {0x10, 0x00, 0x01, 0x01, 0xFF, 0xD8, 0xFF, 0xE0, 0x01, 0x02};
  const uint8_t other[] = {0x10, 0x00, 0x01, 0x01, 0xFF, 0xD8, 0xFF, 0xE0, 0x01, 0x03};
  ASSERT_EQ(QOXAddAttributeUserID(frank, 1, photo, sizeof photo, Pass(kFrankPassphrase), End()), 0);
  EXPECT_EQ(QOXAddAttributeUserID(frank, 1, photo, sizeof photo, Pass(kFrankPassphrase), End()),
            kQOXErrDuplicateUserID);
  EXPECT_EQ(QOXAddAttributeUserID(frank, 1, other, sizeof other, Pass(kFrankPassphrase), End()), 0);

  EXPECT_EQ(QOXAddUserID(bob, "Bob Two", Pass("x"), End()), kQOXErrNoSecretKeyFound);
  EXPECT_EQ(QOXAddUserID(frank, "Frank Third", Pass("wrong"), End()), kQOXErrBadPassphrase);
  ASSERT_NE(UserIDNamed(frank, "Frank Third"), nullptr) << "the user ID stays";
  EXPECT_TRUE(Sigs(UserIDNamed(frank, "Frank Third")).empty());

  const Bytes exported = keydb_test::ExportAll(context_, db_);
  const std::string packets = GpgListPackets(exported);
  const size_t at = packets.find("\"" + text + "\"");
  ASSERT_NE(at, std::string::npos) << packets;
  const std::string after = packets.substr(at, packets.find(":user attribute packet:", at) - at);
  for (const char* expected : {"version 4,", "sigclass 0x10", "pref-sym-algos: 9 8 7 2", "key expires after 2y0d0h0m"})
    EXPECT_NE(after.find(expected), std::string::npos) << expected << "\n" << after;
  const std::string colons = GpgCheckSigs(exported);
  const auto lines = SigLinesUnder(colons, "Frank Second");
  ASSERT_EQ(lines.size(), 1u) << colons;
  EXPECT_EQ(lines[0].rfind("sig:!:", 0), 0u) << colons;
  // gpg checks the two attribute self-signatures good too.
  size_t goodAttributeSigs = 0;
  bool inAttribute = false;
  for (size_t from = 0; from < colons.size();) {
    const size_t end = colons.find('\n', from);
    const std::string line = colons.substr(from, end - from);
    from = end == std::string::npos ? colons.size() : end + 1;
    if (line.rfind("uat:", 0) == 0) inAttribute = true;
    else if (line.rfind("uid:", 0) == 0 || line.rfind("sub:", 0) == 0) inAttribute = false;
    else if (inAttribute && line.rfind("sig:!:", 0) == 0) ++goodAttributeSigs;
  }
  EXPECT_EQ(goodAttributeSigs, 2u) << colons;
}

// Erin (made axiomatic) certifies bob's user ID with the Exportable option,
// a trust signature, a regular expression and an expiration of more days
// than 32 bits of seconds hold: exported with QOXExport, gpg checks it
// good; bob's user ID becomes valid at once (trust recalculated). A second
// certification -11316, also after the first was revoked. A certification
// without Exportable carries an exportable subpacket of 0 and reads as not
// exportable; a regular expression that does not compile -12000.
TEST_F(KeyUserIDsTest, CertificationsOfAnotherKey) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  ASSERT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), nullptr, true, nullptr, nullptr), 0);
  QOXKeyDBObj* bob = KeyNamed("Bob");
  QOXKeyDBObj* alice = KeyNamed("Alice");
  ASSERT_TRUE(erin != nullptr && bob != nullptr && alice != nullptr);
  ASSERT_EQ(QOXSetKeyAxiomatic(erin, true, Pass(kErinPassphrase), End()), 0);
  QOXKeyDBObj* bobUid = Children(bob, kQOXKeyDBObjType_UserID).at(0);
  const int32_t before = LegacyValidity(bobUid);
  const std::string expression = "<[^>]+[@.]example\\.org>$";

  EXPECT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), QOXOSigRegularExpression(context_, "(bob"), End()),
            kQOXErrBadParams)
      << "a regular expression that does not compile";
  EXPECT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), QOXOArmorOutput(context_, true), End()),
            kQOXErrBadParams)
      << "an option outside the set";
  const size_t sigsBefore = Sigs(bobUid).size();
  ASSERT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), QOXOExportable(context_, true),
                             QOXOSigTrust(context_, 1, 5), QOXOSigRegularExpression(context_, expression.c_str()),
                             QOXOExpiration(context_, 0xFFFFFFFF), End()),
            0);
  ASSERT_EQ(Sigs(bobUid).size(), sigsBefore + 1);
  QOXKeyDBObj* cert = nullptr;
  for (QOXKeyDBObj* s : Sigs(bobUid))
    if (qoxSigMaker(s) == erin) cert = s;
  ASSERT_NE(cert, nullptr);
  EXPECT_GT(LegacyValidity(bobUid), before) << "trust recalculated after the certification";
  const Bytes stored = Stored(cert);
  const Bytes expiry = {0x05, 0x03, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_NE(std::search(stored.begin(), stored.end(), expiry.begin(), expiry.end()), stored.end())
      << "the expiration is held at 0xFFFFFFFF seconds";

  void* buffer = nullptr;
  size_t length = 0;
  ASSERT_EQ(QOXExport(context_, QOXOExportKeySet(context_, qoxKeyDBPeekRootSet(db_)),
                      QOXOAllocatedOutputBuffer(context_, &buffer, SIZE_MAX, &length), End()),
            0);
  const Bytes exported(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  QOXFreeData(buffer);
  const std::string colons = GpgCheckSigs(exported);
  bool good = false;
  for (const std::string& line : SigLinesUnder(colons, "Bob DSA"))
    if (line.find(keydb_test::KeyIDText(erin)) != std::string::npos) good = line.rfind("sig:!:", 0) == 0;
  EXPECT_TRUE(good) << colons;
  const std::string packets = GpgListPackets(exported);
  const std::string trust =
      "trust signature of depth 1, value " +
      std::to_string(qoxTrustOldToExtern(qoxContextGetEnvironment(context_), 5));
  EXPECT_NE(packets.find(trust), std::string::npos) << trust << "\n" << packets;
  // gpg prints the backslash as \x5c and the terminating zero the
  // subpacket carries as \0.
  const std::string shown = "regular expression: \"<[^>]+[@.]example\\x5c.org>$\\0\"";
  EXPECT_NE(packets.find(shown), std::string::npos) << shown << "\n" << packets;

  EXPECT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), QOXOExportable(context_, true), End()),
            kQOXErrDuplicateCertification);
  ASSERT_EQ(QOXRevokeSig(cert, Pass(kErinPassphrase), End()), 0);
  EXPECT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), QOXOExportable(context_, true), End()),
            kQOXErrDuplicateCertification)
      << "the revoked certification still counts";

  QOXKeyDBObj* aliceUid = Children(alice, kQOXKeyDBObjType_UserID).at(0);
  ASSERT_EQ(QOXCertifyUserID(aliceUid, erin, Pass(kErinPassphrase), End()), 0);
  QOXKeyDBObj* local = nullptr;
  for (QOXKeyDBObj* s : Sigs(aliceUid))
    if (qoxSigMaker(s) == erin) local = s;
  ASSERT_NE(local, nullptr);
  bool exportable = true;
  ASSERT_EQ(QOXGetKeyDBObjBooleanProperty(local, static_cast<int32_t>(KeyDBObjProperty::SigIsExportable), &exportable),
            0);
  EXPECT_FALSE(exportable);
  const std::string localPackets = GpgListPackets(Stored(local));
  EXPECT_NE(localPackets.find("hashed subpkt 4 len 1 (not exportable)"), std::string::npos) << localPackets;
}

// Through a front end: a user ID added and a certification made in the
// back end appear in the front end.
TEST_F(KeyUserIDsTest, FrontEndAdditionsAndCertificationsGoThroughTheBackEnd) {
  Bytes both = keydb_test::LockedStream(context_, ReadFile("erin.sec.bin"), kErinPassphrase);
  const Bytes bobBytes = ReadFile("bob.bin");
  both.insert(both.end(), bobBytes.begin(), bobBytes.end());
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, both.data(), both.size(), &front), 0);
  ASSERT_TRUE(qoxFrontEndKeyDB(front));
  QOXKeyDBObj* erin = KeyNamed("Erin", front);
  QOXKeyDBObj* bob = KeyNamed("Bob", front);
  ASSERT_TRUE(erin != nullptr && bob != nullptr);
  ASSERT_EQ(QOXAddUserID(erin, "Erin Front <erin@front.example>", Pass(kErinPassphrase), End()), 0);
  QOXKeyDBObj* uid = UserIDNamed(erin, "Erin Front <erin@front.example>");
  ASSERT_NE(uid, nullptr);
  EXPECT_EQ(Sigs(uid).size(), 1u);
  QOXKeyDBObj* bobUid = Children(bob, kQOXKeyDBObjType_UserID).at(0);
  const size_t before = Sigs(bobUid).size();
  ASSERT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), QOXOExportable(context_, true), End()), 0);
  EXPECT_EQ(Sigs(bobUid).size(), before + 1);
  EXPECT_EQ(QOXCertifyUserID(bobUid, erin, Pass(kErinPassphrase), End()), kQOXErrDuplicateCertification);
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

}  // namespace

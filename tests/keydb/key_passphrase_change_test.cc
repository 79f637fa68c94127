// Passphrase changes through the public entry point over gpg's keys
// (make_manage_fixtures.sh: erin RSA with an RSA subkey, frank DSA with an
// ElGamal subkey; alice unprotected), locked here with the toolkit's own
// protection. The stored secret key packets are read back with the packet
// splitter of the tests to see the protection RFC 2440 describes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/option_types.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keydb/sig_check.h"
#include "keydb_test_support.h"
#include "locked_keys.h"

namespace {

using keydb_test::Bytes;
using keydb_test::LockedStream;
using keydb_test::ReadFile;

constexpr char kErinPass[] = "erin old";
constexpr char kFrankPass[] = "frank pass";
constexpr uint8_t kAES256 = 9;  // first of the fixtures' preferred ciphers

// The protection of a stored version-4 secret key packet (RFC 2440 5.5.3):
// the usage byte after the public numbers; for usage 255 the cipher and the
// string-to-key kind that follow; for another non-zero usage the usage is
// the cipher and the string-to-key the simple MD5 one (kind 0).
struct Protection {
  int usage = -1;
  int cipher = -1;
  int kind = -1;
};

Protection ProtectionOf(QOXKeyDBObj* key) {
  size_t length = 0;
  const uint8_t* p = qoxFetchObject(key, &length);
  Protection out;
  if (p == nullptr) return out;
  const Bytes packet(p, p + length);
  size_t at = qoxPktBufferHeaderLen(packet.data(), packet.size()) + 5;
  const uint8_t algorithm = packet.at(at++);
  const int mpis = algorithm == 17 ? 4 : algorithm == 16 ? 3 : 2;
  for (int i = 0; i < mpis; ++i) at += 2 + (((packet.at(at) << 8) | packet.at(at + 1)) + 7) / 8;
  out.usage = packet.at(at);
  if (out.usage == 255) {
    out.cipher = packet.at(at + 1);
    out.kind = packet.at(at + 2);
  } else if (out.usage != 0) {
    out.cipher = out.usage;
    out.kind = 0;
  }
  return out;
}

class PassphraseChangeTest : public keydb_test::KeyDBTest {
 protected:
  // A fixture read with its secret parts locked and its signatures checked
  // (so that the key's preferred algorithms are known).
  QOXKeyDBObj* Load(const std::string& file, const char* name, const std::string& passphrase) {
    EXPECT_EQ(Read(LockedStream(context_, ReadFile(file), passphrase)), 0);
    EXPECT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), nullptr, false, nullptr, nullptr), 0);
    return KeyNamed(name);
  }
  QOXOptionListRef Pass(const std::string& p) { return QOXOPassphrase(context_, p.c_str()); }
  QOXOptionListRef End() { return QOXOLastOption(context_); }
  bool Valid(QOXKeyDBObj* key, const std::string& p) { return QOXPassphraseIsValid(key, Pass(p), End()); }
  QOXKeyDBObj* SubKey(QOXKeyDBObj* key) { return Children(key, kQOXKeyDBObjType_SubKey).at(0); }
  // Whether the secret part of a key or subkey unlocks with the value.
  static bool Unlocks(QOXKeyDBObj* key, const std::string& p) {
    return qoxSecPassphraseOK(key, p.data(), p.size(), false, 0, false);
  }
};

// The new passphrase unlocks and the old one is refused, for keys and
// subkeys of both kinds; RSA parts take the version-3 string-to-key (kind
// 0), the others the iterated and salted one (3), all under the key's first
// preferred cipher.
TEST_F(PassphraseChangeTest, NewPassphraseUnlocksAndTheOldOneIsRefused) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  QOXKeyDBObj* frank = Load("frank.sec.bin", "Frank", kFrankPass);
  ASSERT_NE(erin, nullptr);
  ASSERT_NE(frank, nullptr);
  struct Case {
    const char* what;
    QOXKeyDBObj* object;
    std::string oldPass;
    int kind;
  } cases[] = {
      {"RSA key", erin, kErinPass, 0},
      {"RSA subkey", SubKey(erin), kErinPass, 0},
      {"DSA key", frank, kFrankPass, 3},
      {"ElGamal subkey", SubKey(frank), kFrankPass, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string newPass = std::string(c.what) + " new";
    db_->dirty = 0;
    ASSERT_EQ(QOXChangePassphrase(c.object, Pass(c.oldPass), Pass(newPass), End()), 0);
    EXPECT_TRUE(qoxKeyDBIsDirty(db_));
    EXPECT_TRUE(Unlocks(c.object, newPass));
    EXPECT_FALSE(Unlocks(c.object, c.oldPass));
    EXPECT_EQ(QOXChangePassphrase(c.object, Pass(c.oldPass), Pass("other"), End()), kQOXErrBadPassphrase);
    const Protection p = ProtectionOf(c.object);
    EXPECT_EQ(p.usage, c.kind == 0 ? kAES256 : 255);
    EXPECT_EQ(p.cipher, kAES256);
    EXPECT_EQ(p.kind, c.kind);
  }
  EXPECT_TRUE(Valid(erin, "RSA key new"));
  EXPECT_FALSE(Valid(erin, kErinPass));
}

// A passkey as the new value locks with the shared kind 5 and then unlocks
// as a passkey; an empty new value leaves the secret part unprotected, and
// an unprotected key takes a first passphrase from an empty old value.
TEST_F(PassphraseChangeTest, PasskeyAndUnprotectedValues) {
  QOXKeyDBObj* frank = Load("frank.sec.bin", "Frank", kFrankPass);
  ASSERT_NE(frank, nullptr);
  const std::string passkey(32, '\x5a');
  ASSERT_EQ(QOXChangePassphrase(frank, Pass(kFrankPass), QOXOPasskeyBuffer(context_, passkey.data(), passkey.size()),
                                End()),
            0);
  EXPECT_EQ(ProtectionOf(frank).kind, 5);
  EXPECT_TRUE(QOXPassphraseIsValid(frank, QOXOPasskeyBuffer(context_, passkey.data(), passkey.size()), End()));
  EXPECT_FALSE(Valid(frank, kFrankPass));

  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  QOXKeyDBObj* alice = KeyNamed("Alice");
  ASSERT_EQ(ProtectionOf(alice).usage, 0);
  ASSERT_EQ(QOXChangePassphrase(alice, Pass(""), Pass("alice pw"), End()), 0);
  EXPECT_NE(ProtectionOf(alice).usage, 0);
  EXPECT_TRUE(Valid(alice, "alice pw"));
  EXPECT_FALSE(Valid(alice, ""));
  ASSERT_EQ(QOXChangePassphrase(alice, Pass("alice pw"), Pass(""), End()), 0);
  EXPECT_EQ(ProtectionOf(alice).usage, 0);
  EXPECT_TRUE(Valid(alice, ""));
}

// With a cache time-out the new passphrase is cached: the key then unlocks
// without a value; without one nothing is cached.
TEST_F(PassphraseChangeTest, NewPassphraseGoesToTheCache) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_NE(erin, nullptr);
  ASSERT_EQ(QOXChangePassphrase(erin, Pass(kErinPass), Pass("uncached"), End()), 0);
  EXPECT_FALSE(Valid(erin, ""));
  ASSERT_EQ(QOXChangePassphrase(erin, Pass("uncached"), Pass("cached"), QOXOCachePassphrase(context_, 60, false),
                                End()),
            0);
  EXPECT_TRUE(Valid(erin, "")) << "unlocked from the cache";
  ASSERT_EQ(QOXPurgePassphraseCache(context_), 0);
  EXPECT_FALSE(Valid(erin, ""));
}

// The refusals: options outside the set or in the wrong places, a key
// without secret part, a locked key without or with a wrong old value, a
// deleted subkey. Nothing changes on any of them.
TEST_F(PassphraseChangeTest, RefusalsLeaveTheKeyAsItWas) {
  QOXKeyDBObj* erin = Load("erin.sec.bin", "Erin", kErinPass);
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  QOXKeyDBObj* bob = KeyNamed("Bob");
  ASSERT_NE(erin, nullptr);
  ASSERT_NE(bob, nullptr);
  const Protection before = ProtectionOf(erin);
  struct Case {
    const char* what;
    QOXKeyDBObj* object;
    QOXOptionListRef first;
    QOXOptionListRef second;
    QOXError error;
  } cases[] = {
      {"option outside the set", erin, Pass(kErinPass), QOXOExportable(context_, true), kQOXErrBadParams},
      {"cache option first", erin, QOXOCachePassphrase(context_, 60, false), Pass("x"), kQOXErrBadParams},
      {"one value only", erin, Pass(kErinPass), QOXONullOption(context_), kQOXErrBadParams},
      {"no secret part", bob, Pass(""), Pass("x"), kQOXErrNoSecretKeyFound},
      {"locked, no old value", erin, Pass(""), Pass("x"), kQOXErrBadPassphrase},
      {"wrong old value", erin, Pass("erin olD"), Pass("x"), kQOXErrBadPassphrase},
      {"not a key", Children(erin, kQOXKeyDBObjType_UserID).at(0), Pass(kErinPass), Pass("x"), kQOXErrBadParams},
  };
  for (const Case& c : cases) {
    db_->dirty = 0;
    EXPECT_EQ(QOXChangePassphrase(c.object, c.first, c.second, End()), c.error) << c.what;
    EXPECT_FALSE(qoxKeyDBIsDirty(db_)) << c.what;
  }
  EXPECT_TRUE(Valid(erin, kErinPass));
  EXPECT_EQ(ProtectionOf(erin).cipher, before.cipher);
  QOXKeyDBObj* sub = SubKey(erin);
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(sub), 0);
  EXPECT_EQ(QOXChangePassphrase(sub, Pass(kErinPass), Pass("x"), End()), kQOXErrObjectDeleted);
}

// A key of a front end is changed in its back end and seen once refreshed.
TEST_F(PassphraseChangeTest, FrontEndKeyChangesInItsBackEnd) {
  const Bytes erinSec = LockedStream(context_, ReadFile("erin.sec.bin"), kErinPass);
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, erinSec.data(), erinSec.size(), &front), 0);
  ASSERT_TRUE(qoxFrontEndKeyDB(front));
  QOXKeyDBObj* erin = front->firstKey;
  ASSERT_NE(erin, nullptr);
  ASSERT_EQ(QOXChangePassphrase(erin, Pass(kErinPass), Pass("front new"), End()), 0);
  EXPECT_TRUE(Valid(erin, "front new"));
  EXPECT_FALSE(Valid(erin, kErinPass));
  ASSERT_EQ(QOXChangePassphrase(SubKey(erin), Pass(kErinPass), Pass("sub new"), End()), 0);
  EXPECT_TRUE(Unlocks(SubKey(erin), "sub new"));
  EXPECT_EQ(ProtectionOf(SubKey(erin)).kind, 0);
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

}  // namespace

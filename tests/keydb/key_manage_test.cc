// Key maintenance without signatures: passphrase tests, passkeys, enabling,
// trust and axiomatic keys, through the public entry points over gpg's
// protected keys (make_manage_fixtures.sh: erin RSA with passphrase
// "erin old", frank DSA with "frank pass"), in process and through a front
// end. The passkey is checked against RFC 2440's iterated and salted
// string-to-key computed here with OpenSSL's SHA-1.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/option_types.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_manage.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keydb/packet_header.h"
#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "keydb/sig_check.h"
#include "keydb/trust.h"
#include "keydb/trust_propagation.h"
#include "keydb_test_support.h"
#include "locked_keys.h"

namespace {

using keydb_test::Bytes;
using keydb_test::LockedStream;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;

constexpr char kErinPass[] = "erin old";


// RFC 2440 3.6.1.3 and 3.6.2 over a locked version-4 secret key packet
// (usage 255, cipher, S2K 3, hash 2 SHA-1, 8-byte salt, coded count after
// the public numbers): keyLength bytes from SHA-1 contexts preloaded with
// 0, 1, ... zero bytes, each over the salted passphrase repeated to the
// count.
Bytes IteratedSaltedSha1(const Bytes& packet, const std::string& passphrase, size_t keyLength) {
  size_t at = qoxPktBufferHeaderLen(packet.data(), packet.size()) + 5;
  const uint8_t algorithm = packet[at++];
  const int mpis = algorithm == 17 ? 4 : algorithm == 16 || algorithm == 20 ? 3 : 2;
  for (int i = 0; i < mpis; ++i) at += 2 + (((packet[at] << 8) | packet[at + 1]) + 7) / 8;
  EXPECT_EQ(packet[at], 0xFF);
  EXPECT_EQ(packet[at + 2], 3);
  EXPECT_EQ(packet[at + 3], 2);
  const Bytes salt(packet.begin() + at + 4, packet.begin() + at + 12);
  const uint8_t c = packet[at + 12];
  const size_t count = size_t{16u + (c & 15u)} << ((c >> 4) + 6);
  Bytes stream(salt);
  stream.insert(stream.end(), passphrase.begin(), passphrase.end());
  Bytes key;
  for (size_t preload = 0; key.size() < keyLength; ++preload) {
    EVP_MD_CTX* sha = EVP_MD_CTX_new();
    EVP_DigestInit_ex(sha, EVP_sha1(), nullptr);
    const Bytes zeros(preload, 0);
    EVP_DigestUpdate(sha, zeros.data(), zeros.size());
    for (size_t left = std::max(count, stream.size()); left > 0;) {
      const size_t n = std::min(left, stream.size());
      EVP_DigestUpdate(sha, stream.data(), n);
      left -= n;
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_DigestFinal_ex(sha, digest, &digestLength);
    EVP_MD_CTX_free(sha);
    key.insert(key.end(), digest, digest + digestLength);
  }
  key.resize(keyLength);
  return key;
}

class KeyManageTest : public keydb_test::KeyDBTest {
 protected:
  // A fixture read with every secret key packet locked by the passphrase.
  QOXKeyDBObj* Load(const std::string& file, const char* name, const std::string& passphrase) {
    locked_ = LockedStream(context_, ReadFile(file), passphrase);
    EXPECT_EQ(Read(locked_), 0);
    return KeyNamed(name);
  }
  QOXKeyDBObj* LoadErin() { return Load("erin.sec.bin", "Erin", kErinPass); }
  size_t PasskeyLength(QOXKeyDBObj* key) {
    int32_t bits = 0;
    EXPECT_EQ(QOXGetKeyDBObjNumericProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyLockingBits), &bits), 0);
    return static_cast<size_t>(bits / 8);
  }
  Bytes locked_;
  QOXOptionListRef Pass(const std::string& p) { return QOXOPassphrase(context_, p.c_str()); }
  QOXOptionListRef End() { return QOXOLastOption(context_); }
  bool Valid(QOXKeyDBObj* key, QOXOptionListRef option) { return QOXPassphraseIsValid(key, option, End()); }
  static uint8_t OwnerTrust(QOXKeyDBObj* key) { return qoxKeyToKeyInfo(key)->keyTrust & kQOXKeyTrust_OwnerMask; }
  std::vector<QOXKeyDBObj*> UserIDs(QOXKeyDBObj* key) { return Children(key, kQOXKeyDBObjType_UserID); }
  QOXKeyDBObj* SubKey(QOXKeyDBObj* key) { return Children(key, kQOXKeyDBObjType_SubKey).at(0); }
};

// The passphrase test: the right value, a wrong one, a passkey, an option
// outside the set, a public key, an unprotected key with and without a
// value, and a subkey.
TEST_F(KeyManageTest, PassphraseIsValidAnswersWhetherTheValueUnlocks) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  QOXKeyDBObj* alice = KeyNamed("Alice");
  QOXKeyDBObj* bob = KeyNamed("Bob");
  void* passkey = nullptr;
  ASSERT_EQ(QOXGetPasskeyBuffer(erin, &passkey, Pass(kErinPass), End()), 0);
  struct Case {
    const char* what;
    QOXKeyDBObj* key;
    QOXOptionListRef option;
    bool valid;
  } cases[] = {
      {"right passphrase", erin, Pass(kErinPass), true},
      {"wrong passphrase", erin, Pass("erin olD"), false},
      {"empty passphrase, nothing cached", erin, Pass(""), false},
      {"passkey", erin, QOXOPasskeyBuffer(context_, passkey, PasskeyLength(erin)), true},
      {"passkey one byte short", erin, QOXOPasskeyBuffer(context_, passkey, PasskeyLength(erin) - 1), false},
      {"option outside the set", erin, QOXOExportable(context_, true), false},
      {"public key", bob, Pass("x"), false},
      {"unprotected key, no value", alice, Pass(""), true},
      {"unprotected key given a value", alice, Pass("x"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Valid(c.key, c.option), c.valid) << c.what;
  QOXFreeData(passkey);
  EXPECT_FALSE(QOXPassphraseIsValid(SubKey(erin), Pass(kErinPass), End())) << "a subkey is not a key";
}

// With a cache time-out a right passphrase is cached for the key and each
// of its subkeys; a wrong one caches nothing.
TEST_F(KeyManageTest, PassphraseTestWithCacheCachesKeyAndSubKeys) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  QOXKeyDBObj* sub = SubKey(erin);
  EXPECT_FALSE(QOXPassphraseIsValid(erin, Pass("wrong"), QOXOCachePassphrase(context_, 60, false), End()));
  EXPECT_FALSE(Valid(erin, QOXONullOption(context_)));
  EXPECT_FALSE(qoxSecPassphraseOK(sub, "", 0, false, 0, false));
  EXPECT_TRUE(QOXPassphraseIsValid(erin, Pass(kErinPass), QOXOCachePassphrase(context_, 60, false), End()));
  EXPECT_TRUE(Valid(erin, QOXONullOption(context_))) << "the key's passkey is cached";
  EXPECT_TRUE(qoxSecPassphraseOK(sub, "", 0, false, 0, false)) << "the subkey's passkey is cached too";
  ASSERT_EQ(QOXPurgePassphraseCache(context_), 0);
  EXPECT_FALSE(Valid(erin, QOXONullOption(context_)));
}

// The passkey is the iterated and salted SHA-1 of the passphrase, as long
// as the locking cipher's key (AES-128 here, property 205 / 8), for the key
// and for its subkey (whose salt differs); an unlocked secret part and a
// missing passphrase are refused, a public key gives the database's error.
TEST_F(KeyManageTest, PasskeyBufferIsTheStringToKeyOfThePassphrase) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  const auto packets = SplitPackets(locked_);
  const size_t length = PasskeyLength(erin);
  ASSERT_GE(length, 16u);
  struct Case {
    QOXKeyDBObj* object;
    const Bytes& packet;
  } cases[] = {{erin, packets[0].bytes}, {SubKey(erin), packets[3].bytes}};
  for (const Case& c : cases) {
    void* passkey = nullptr;
    ASSERT_EQ(QOXGetPasskeyBuffer(c.object, &passkey, Pass(kErinPass), End()), 0);
    ASSERT_NE(passkey, nullptr);
    const Bytes expected = IteratedSaltedSha1(c.packet, kErinPass, length);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(passkey), static_cast<uint8_t*>(passkey) + length), expected);
    QOXFreeData(passkey);
  }
  void* passkey = reinterpret_cast<void*>(1);
  EXPECT_EQ(QOXGetPasskeyBuffer(erin, &passkey, QOXOPasskeyBuffer(context_, "0123456789abcdef", 16), End()),
            kQOXErrOptionNotFound)
      << "the Passphrase option is mandatory";
  EXPECT_EQ(passkey, nullptr);
  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  EXPECT_EQ(QOXGetPasskeyBuffer(KeyNamed("Alice"), &passkey, Pass("x"), End()), kQOXErrBadParams)
      << "an unlocked secret part";
  EXPECT_EQ(QOXGetPasskeyBuffer(KeyNamed("Bob"), &passkey, Pass("x"), End()), kQOXErrItemNotFound)
      << "no secret part: the database's last error";
  EXPECT_EQ(passkey, nullptr);
}

// Trust: 1-6 only; every real user ID takes the confidence of the legacy
// value and the key its owner trust; the trust run follows.
TEST_F(KeyManageTest, SetKeyTrustTakesLegacyValuesOneToSix) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  for (int32_t bad : {0, 7, -1}) EXPECT_EQ(QOXSetKeyTrust(erin, bad), kQOXErrBadParams) << bad;
  EXPECT_EQ(OwnerTrust(erin), 0);
  const QOXEnv* env = qoxContextGetEnvironment(context_);
  for (int32_t trust : {6, 5, 2}) {
    db_->dirty = 0;
    ASSERT_EQ(QOXSetKeyTrust(erin, trust), 0) << trust;
    EXPECT_EQ(OwnerTrust(erin), trust);
    EXPECT_TRUE(qoxKeyDBIsDirty(db_));
    for (QOXKeyDBObj* u : UserIDs(erin))
      EXPECT_EQ(qoxUserIDToUserIDInfo(u)->confidence, qoxTrustOldToExtern(env, static_cast<uint8_t>(trust)));
  }
  EXPECT_EQ(QOXSetKeyTrust(UserIDs(erin)[0], 5), kQOXErrBadParams) << "not a key";
}

// Axiomatic: the flag sets and clears; a passphrase given is checked both
// ways; setting needs a secret part and enables a disabled key; clearing
// needs an axiomatic key. An axiomatic key refuses trust and disabling.
TEST_F(KeyManageTest, AxiomaticIsSetAndClearedByTheFlag) {
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  ASSERT_NE(erin, nullptr);
  EXPECT_EQ(QOXSetKeyAxiomatic(KeyNamed("Bob"), true, End()), kQOXErrBadParams) << "no secret part";
  EXPECT_EQ(QOXSetKeyAxiomatic(erin, false, End()), kQOXErrBadParams) << "not axiomatic";
  ASSERT_EQ(QOXSetKeyEnabled(erin, false), 0);
  EXPECT_TRUE(qoxKeyDisabled(erin));
  EXPECT_EQ(QOXSetKeyAxiomatic(erin, true, Pass("wrong"), End()), kQOXErrBadPassphrase);
  EXPECT_FALSE(qoxKeyAxiomatic(erin));
  EXPECT_EQ(QOXSetKeyAxiomatic(erin, true, QOXOExportable(context_, true), End()), kQOXErrBadParams)
      << "option outside the set";
  ASSERT_EQ(QOXSetKeyAxiomatic(erin, true, Pass(kErinPass), End()), 0);
  EXPECT_TRUE(qoxKeyAxiomatic(erin));
  EXPECT_FALSE(qoxKeyDisabled(erin)) << "a disabled key is enabled";
  EXPECT_EQ(OwnerTrust(erin), 7);
  EXPECT_EQ(qoxUserIDValidity(UserIDs(erin)[0]), kQOXTrustInternCertain) << "trust recalculated";
  EXPECT_EQ(QOXSetKeyAxiomatic(erin, true, End()), 0) << "already axiomatic: unchanged";
  EXPECT_EQ(QOXSetKeyTrust(erin, 6), kQOXErrBadParams);
  EXPECT_EQ(QOXSetKeyEnabled(erin, false), kQOXErrBadParams);
  EXPECT_EQ(QOXSetKeyAxiomatic(erin, false, Pass("wrong"), End()), kQOXErrBadPassphrase)
      << "a passphrase given when clearing is checked too";
  EXPECT_TRUE(qoxKeyAxiomatic(erin));
  ASSERT_EQ(QOXSetKeyAxiomatic(erin, false, End()), 0);
  EXPECT_FALSE(qoxKeyAxiomatic(erin));
  EXPECT_EQ(OwnerTrust(erin), 0);
  EXPECT_EQ(qoxUserIDToUserIDInfo(UserIDs(erin)[0])->confidence, kQOXTrustExternUndefined);
  EXPECT_NE(qoxUserIDValidity(UserIDs(erin)[0]), kQOXTrustInternCertain);
}

// Enabling and disabling change the bit and mark the database only when it
// changes; revoked and expired keys refuse every change.
TEST_F(KeyManageTest, EnableDisableAndTheRevokedAndExpiredRefusals) {
  ASSERT_EQ(ReadFixture("alice.sec.bin"), 0);
  ASSERT_EQ(ReadFixture("carol.desig-revoke.bin"), 0);
  QOXKeyDBObj* erin = LoadErin();
  ASSERT_NE(erin, nullptr);
  ASSERT_EQ(QOXCalculateTrust(qoxKeyDBPeekRootSet(db_), nullptr), 0);
  db_->dirty = 0;
  EXPECT_EQ(QOXSetKeyEnabled(erin, true), 0);
  EXPECT_FALSE(qoxKeyDBIsDirty(db_)) << "nothing changed";
  EXPECT_EQ(QOXSetKeyEnabled(erin, false), 0);
  EXPECT_TRUE(qoxKeyDisabled(erin));
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  EXPECT_EQ(QOXSetKeyEnabled(erin, true), 0);
  EXPECT_FALSE(qoxKeyDisabled(erin));
  EXPECT_EQ(QOXSetKeyEnabled(UserIDs(erin)[0], true), kQOXErrBadParams);

  // Carol revoked by her designated revoker, once the signatures are checked.
  ASSERT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), nullptr, false, nullptr, nullptr), 0);
  QOXKeyDBObj* carol = KeyNamed("Carol");
  ASSERT_TRUE(qoxKeyRevoked(carol));
  // Erin made expired: created long ago, valid for one day.
  qoxKeyToKeyInfo(erin)->creation = 1000000000;
  qoxKeyToKeyInfo(erin)->validityDays = 1;
  struct Case {
    QOXKeyDBObj* key;
    QOXError error;
  } cases[] = {{carol, kQOXErrKeyRevoked}, {erin, kQOXErrKeyExpired}};
  for (const Case& c : cases) {
    EXPECT_EQ(QOXSetKeyEnabled(c.key, false), c.error);
    EXPECT_EQ(QOXSetKeyEnabled(c.key, true), c.error);
    EXPECT_EQ(QOXSetKeyTrust(c.key, 5), c.error);
    EXPECT_FALSE(qoxKeyDisabled(c.key));
  }
}

// A front end (a buffer imported through the back end) runs each operation
// in its back end and sees the result once refreshed.
TEST_F(KeyManageTest, FrontEndKeysGoThroughTheBackEnd) {
  const Bytes erinSec = LockedStream(context_, ReadFile("erin.sec.bin"), kErinPass);
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, erinSec.data(), erinSec.size(), &front), 0);
  ASSERT_TRUE(qoxFrontEndKeyDB(front));
  QOXKeyDBObj* erin = front->firstKey;
  ASSERT_NE(erin, nullptr);
  EXPECT_TRUE(Valid(erin, Pass(kErinPass)));
  EXPECT_FALSE(Valid(erin, Pass("nope")));
  void* passkey = nullptr;
  ASSERT_EQ(QOXGetPasskeyBuffer(erin, &passkey, Pass(kErinPass), End()), 0);
  const size_t length = PasskeyLength(erin);
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(passkey), static_cast<uint8_t*>(passkey) + length),
            IteratedSaltedSha1(SplitPackets(erinSec)[0].bytes, kErinPass, length));
  QOXFreeData(passkey);
  ASSERT_EQ(QOXSetKeyTrust(erin, 5), 0);
  EXPECT_EQ(OwnerTrust(erin), 5);
  ASSERT_EQ(QOXSetKeyEnabled(erin, false), 0);
  EXPECT_TRUE(qoxKeyDisabled(erin));
  ASSERT_EQ(QOXSetKeyAxiomatic(erin, true, Pass(kErinPass), End()), 0);
  EXPECT_TRUE(qoxKeyAxiomatic(erin));
  EXPECT_FALSE(qoxKeyDisabled(erin));
  EXPECT_EQ(QOXSetKeyEnabled(erin, false), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

}  // namespace

// Key generation through the public entry points: generated keys checked
// by gpg (every self-signature good, the subpackets as asked), the legacy
// RSA form, the locking of the new secret parts, the refusals and option
// errors, the entropy figures, progress events, and a front end that waits
// on its back end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/events.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/front_end.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_generate.h"
#include "keydb/key_ops.h"
#include "keydb/obj_accessors.h"
#include "gpg_home.h"
#include "keydb_test_support.h"
#include "tests/common/scoped_services.h"

namespace {

using keydb_test::Bytes;
using keydb_test::GpgHome;
using keydb_test::Lines;

// What a handler saw: the key-generation states, and whether any event of
// another type came.
struct Seen {
  std::vector<uint32_t> states;
  bool otherEvent = false;
  size_t cancelAt = 0;  // answer kQOXErrInterruptedJob to this event (1-based), 0: never
};

QOXError Record(QOXContext*, QOXEvent* event, void* userValue) {
  auto* seen = static_cast<Seen*>(userValue);
  if (event->type != kQOXEvent_KeyGenEvent) {
    seen->otherEvent = true;
    return kQOXErrNoErr;
  }
  seen->states.push_back(event->data.keyGenData.state);
  return seen->states.size() == seen->cancelAt ? kQOXErrInterruptedJob : kQOXErrNoErr;
}

class KeyGenerateTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    // SHA-1 signatures (gpg refuses the default MD5) and a pool whose
    // estimate covers every generation here.
    ASSERT_EQ(qoxenvSetInt(Env(), kQOXEnvHashAlgorithm, 2, 0), 0);
    qoxGlobalRandomPoolSetEntropy(kQOXRandomPoolBits);
  }

  QOXEnv* Env() { return qoxContextGetEnvironment(context_); }
  QOXContext* c() { return context_; }
  QOXOptionListRef End() { return QOXOLastOption(context_); }
  QOXOptionListRef Name(const std::string& name) { return QOXOKeyGenName(context_, name.data(), name.size()); }
  QOXOptionListRef DB(QOXKeyDB* db = nullptr) { return QOXOKeyDBRef(context_, db != nullptr ? db : db_); }

  // The public export of a key set through the entry point.
  Bytes Export(QOXKeySet* set) {
    void* buffer = nullptr;
    size_t length = 0;
    EXPECT_EQ(QOXExport(c(), QOXOExportKeySet(c(), set), QOXOAllocatedOutputBuffer(c(), &buffer, SIZE_MAX, &length),
                        End()),
              0);
    Bytes out;
    if (buffer != nullptr) {
      out.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
      QOXFreeData(buffer);
    }
    return out;
  }

  // gpg imports the export of the database and lists every signature as
  // checked good ("sig:!:"); their number, and gpg's listings in *colons
  // and *packets.
  int GoodSigsInGpg(const GpgHome& gpg, QOXKeyDB* db, std::string* colons, std::string* packets) {
    const std::string file = gpg.Put("generated.bin", Export(QOXPeekKeyDBRootKeySet(db)));
    std::string out;
    EXPECT_EQ(gpg.Gpg("--import " + file, &out), 0) << out;
    EXPECT_EQ(gpg.Gpg("--with-colons --check-sigs", colons), 0) << *colons;
    EXPECT_EQ(gpg.Gpg("--list-packets " + file, packets), 0) << *packets;
    int good = 0;
    for (const std::string& line : Lines(*colons)) {
      if (line.rfind("sig:", 0) != 0) continue;
      EXPECT_EQ(line.substr(0, 6), "sig:!:") << line;
      ++good;
    }
    return good;
  }

  bool Unlocks(QOXKeyDBObj* key, const char* passphrase) {
    return QOXPassphraseIsValid(key, QOXOPassphrase(c(), passphrase), End());
  }

  static std::vector<QOXKeyDBObj*> RealKeys(QOXKeyDB* db) {
    std::vector<QOXKeyDBObj*> out;
    for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next)
      if (qoxKeyDBObjIsReal(k)) out.push_back(k);
    return out;
  }
};

// An RSA key with key flags, the preferred key server, key-server
// preferences, an expiry, an additional recipient request and a designated
// revoker (Alice): gpg finds the user ID's self-signature and the
// direct-key signature good and lists every subpacket as asked; the
// default preferences are 3 1 2; the handler saw the generation's
// progress; the secret part unlocks with the passphrase only.
TEST_F(KeyGenerateTest, RsaKeyWithEverySubpacketChecksInGpg) {
  QOXKeyDB* alice = nullptr;
  ASSERT_EQ(QOXNewKeyDB(c(), &alice), 0);
  ASSERT_EQ(Read(keydb_test::ReadFile("alice.bin"), false, alice), 0);
  const std::string aliceFingerprint = "BCC350EEA44A07975FD2BCFD7F5B1A7795C777D2";
  QOXKeySet* aliceSet = QOXPeekKeyDBRootKeySet(alice);
  Seen seen;
  QOXKeyDBObj* key = nullptr;
  const uint32_t before = QOXGetTime();
  ASSERT_EQ(QOXGenerateKey(c(), &key, DB(), QOXOKeyGenParams(c(), 1, 1024), Name("Gen Rsa <rsa@example.org>"),
                           QOXOPassphrase(c(), "pw"), QOXOExpiration(c(), 365), QOXOEventHandler(c(), Record, &seen),
                           QOXOPreferredKeyServer(c(), "ldap://keys.example.org"),
                           QOXOKeyServerPreferences(c(), 0x80), QOXOKeyFlags(c(), 0x03),
                           QOXOAdditionalRecipientRequestKeySet(c(), aliceSet, 0x80),
                           QOXORevocationKeySet(c(), aliceSet), End()),
            0);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RealKeys(db_), std::vector<QOXKeyDBObj*>{key});
  EXPECT_TRUE(qoxKeyAxiomatic(key));
  EXPECT_TRUE(qoxKeyIsSec(key));
  EXPECT_GE(qoxKeyToKeyInfo(key)->creation, before);
  EXPECT_EQ(qoxKeyToKeyInfo(key)->validityDays, 365);
  EXPECT_FALSE(seen.states.empty()) << "no progress reached the handler";
  EXPECT_FALSE(seen.otherEvent);
  EXPECT_TRUE(Unlocks(key, "pw"));
  EXPECT_FALSE(Unlocks(key, "wrong"));
  // An RSA secret part is locked with the simple string-to-key.
  bool locked = false;
  bool kind5 = true;
  int32_t cipher = 0;
  int32_t keyBits = 0;
  ASSERT_EQ(qoxSecProperties_internal(key, &locked, &kind5, &cipher, &keyBits), 0);
  EXPECT_TRUE(locked);
  EXPECT_FALSE(kind5);

  GpgHome gpg;
  std::string colons;
  std::string packets;
  EXPECT_EQ(GoodSigsInGpg(gpg, db_, &colons, &packets), 2) << colons;
  EXPECT_NE(colons.find("rvk:"), std::string::npos) << colons;
  for (const std::string& expected :
       {std::string("version 4, algo 1"), std::string("pref-sym-algos: 3 1 2"),
        std::string("key flags: 03 00 00 00"), std::string("keyserver preferences: 80 00 00 00"),
        std::string("preferred keyserver: ldap://keys.example.org"), std::string("primary user ID"),
        std::string("key expires after 1y0d0h0m"), std::string("subpkt 10 len 22"), std::string("not revocable"),
        std::string("sigclass 0x1f"), "revocation key: c=80 a=1 f=" + aliceFingerprint}) {
    EXPECT_NE(packets.find(expected), std::string::npos) << expected << "\n" << packets;
  }
  EXPECT_EQ(QOXFreeKeyDB(alice), 0);
}

// A DSA key with an ElGamal subkey, both locked with "pw": gpg finds the
// self-signature and the binding good. The master key is locked with the
// first cipher of its PreferredAlgorithms that the registry knows (999 is
// skipped), the subkey with the first of its master key's preferences; the
// subkey carries the key flags asked for.
TEST_F(KeyGenerateTest, DsaKeyWithElGamalSubkeyChecksInGpg) {
  const int32_t prefs[] = {999, 7, 3};
  QOXKeyDBObj* key = nullptr;
  ASSERT_EQ(QOXGenerateKey(c(), &key, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("Gen Dsa <dsa@example.org>"),
                           QOXOPassphrase(c(), "pw"), QOXOKeyGenFast(c(), true), QOXOPreferredAlgorithms(c(), prefs, 3),
                           End()),
            0);
  ASSERT_NE(key, nullptr);
  QOXKeyDBObj* sub = nullptr;
  ASSERT_EQ(QOXGenerateSubKey(c(), &sub, QOXOKeyGenMasterKey(c(), key), QOXOKeyGenParams(c(), 16, 1024),
                              QOXOPassphrase(c(), "pw"), QOXOKeyFlags(c(), 0x0C), QOXOKeyGenFast(c(), true),
                              QOXOExpiration(c(), 30), End()),
            0);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(qoxObjParent(sub), key);
  EXPECT_EQ(qoxObjectType(sub), kQOXKeyDBObjType_SubKey);
  EXPECT_TRUE(Unlocks(key, "pw"));
  for (QOXKeyDBObj* k : {key, sub}) {
    bool locked = false;
    bool kind5 = true;
    int32_t cipher = 0;
    int32_t keyBits = 0;
    ASSERT_EQ(qoxSecProperties_internal(k, &locked, &kind5, &cipher, &keyBits), 0);
    EXPECT_TRUE(locked);
    EXPECT_FALSE(kind5);
    EXPECT_EQ(cipher, 7) << "AES-128, the first known preference";
  }

  GpgHome gpg;
  std::string colons;
  std::string packets;
  EXPECT_EQ(GoodSigsInGpg(gpg, db_, &colons, &packets), 2) << colons;
  EXPECT_NE(colons.find(":1024:16:" + keydb_test::Hex(qoxKeyToKeyInfo(sub)->keyID, 8)), std::string::npos) << colons;
  // The preference bytes are the low bytes of the values (999 & 0xFF = 231).
  for (const char* expected : {"version 4, algo 17", "version 4, algo 16", "pref-sym-algos: 231 7 3"}) {
    EXPECT_NE(packets.find(expected), std::string::npos) << expected << "\n" << packets;
  }
  EXPECT_NE(packets.find("key flags: 0C 00 00 00"), std::string::npos) << packets;
  EXPECT_NE(packets.find("key expires after 30d0h0m"), std::string::npos) << packets;
}

// A key generated with a passkey (the cipher key itself, here for AES-128)
// is locked with the literal string-to-key (kind 5) and unlocks with the
// same passkey only.
TEST_F(KeyGenerateTest, PasskeyLocksWithTheLiteralKind) {
  const int32_t prefs[] = {7};
  const uint8_t passkey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uint8_t other[16];
  std::memcpy(other, passkey, sizeof other);
  other[0] ^= 1;
  QOXKeyDBObj* key = nullptr;
  ASSERT_EQ(QOXGenerateKey(c(), &key, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("Key <passkey@example.org>"),
                           QOXOPasskeyBuffer(c(), passkey, sizeof passkey), QOXOKeyGenFast(c(), true),
                           QOXOPreferredAlgorithms(c(), prefs, 1), End()),
            0);
  ASSERT_NE(key, nullptr);
  bool locked = false;
  bool kind5 = false;
  int32_t cipher = 0;
  int32_t keyBits = 0;
  ASSERT_EQ(qoxSecProperties_internal(key, &locked, &kind5, &cipher, &keyBits), 0);
  EXPECT_TRUE(locked);
  EXPECT_TRUE(kind5);
  EXPECT_EQ(cipher, 7);
  EXPECT_TRUE(QOXPassphraseIsValid(key, QOXOPasskeyBuffer(c(), passkey, sizeof passkey), End()));
  EXPECT_FALSE(QOXPassphraseIsValid(key, QOXOPasskeyBuffer(c(), other, sizeof other), End()));
}

// An RSA key asked for without KeyFlags is a legacy key: a version-3 key
// packet whose self-signature (the environment's version 3) carries no
// subpacket; with KeyFlags 0 it is a version-4 key with a version-4
// self-signature. gpg lists both as such.
TEST_F(KeyGenerateTest, RsaWithoutKeyFlagsIsALegacyKey) {
  ASSERT_EQ(qoxenvSetInt(Env(), kQOXEnvSigVersion, 3, 0), 0);
  struct Case {
    const char* what;
    bool keyFlags;
    int version;
  };
  for (const Case& k : {Case{"no key flags", false, 3}, Case{"key flags 0", true, 4}}) {
    SCOPED_TRACE(k.what);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(c(), &db), 0);
    QOXKeyDBObj* key = nullptr;
    ASSERT_EQ(QOXGenerateKey(c(), &key, DB(db), QOXOKeyGenParams(c(), 1, 1024), Name("Leg Acy <legacy@example.org>"),
                             k.keyFlags ? QOXOKeyFlags(c(), 0) : QOXONullOption(c()), End()),
              0);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ((qoxKeyToKeyInfo(key)->keyFlags & kQOXKeyFlag_V3) != 0, k.version == 3);
    GpgHome gpg;
    std::string out;
    ASSERT_EQ(gpg.Gpg("--list-packets " + gpg.Put("legacy.bin", Export(QOXPeekKeyDBRootKeySet(db))), &out), 0)
        << out;
    const std::string version = "version " + std::to_string(k.version) + ", ";
    const std::string keyPacket =
        k.version == 3 ? ":key packet: [obsolete version 3]" : ":public key packet:\n\tversion 4, algo 1";
    EXPECT_NE(out.find(keyPacket), std::string::npos) << out;
    EXPECT_NE(out.find("\t" + version + "created"), std::string::npos) << "signature version\n" << out;
    EXPECT_NE(out.find("sigclass 0x10"), std::string::npos) << out;
    EXPECT_EQ(out.find("hashed subpkt") != std::string::npos, k.version == 4) << out;
    EXPECT_EQ(QOXFreeKeyDB(db), 0);
  }
}

// Refusals: the option-list errors (missing, outside the set, repeated),
// algorithms that cannot serve, a null out key, the master key's
// passphrase, an expired master key, and a handler that cancels. Nothing is
// left in the database by any of them.
TEST_F(KeyGenerateTest, RefusalsLeaveNothingBehind) {
  QOXKeyDBObj* master = nullptr;
  ASSERT_EQ(QOXGenerateKey(c(), &master, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("Master <m@example.org>"),
                           QOXOPassphrase(c(), "pw"), QOXOKeyGenFast(c(), true), End()),
            0);
  // A key made ten days ago that expired after one.
  QOXKeyDB* old = nullptr;
  ASSERT_EQ(QOXNewKeyDB(c(), &old), 0);
  QOXKeyDBObj* expired = nullptr;
  const uint32_t tenDaysAgo = QOXGetTime() - 10 * 86400;
  ASSERT_EQ(QOXGenerateKey(c(), &expired, DB(old), QOXOKeyGenParams(c(), 17, 1024), Name("Old <old@example.org>"),
                           QOXOCreationDate(c(), tenDaysAgo), QOXOExpiration(c(), 1), QOXOKeyGenFast(c(), true), End()),
            0);
  EXPECT_EQ(qoxKeyToKeyInfo(expired)->creation, tenDaysAgo);
  Seen cancel;
  cancel.cancelAt = 1;
  QOXKeyDBObj* out = reinterpret_cast<QOXKeyDBObj*>(&cancel);  // cleared by every call

  struct Case {
    const char* what;
    std::function<QOXError()> call;
    QOXError expected;
  };
  const Case cases[] = {
      {"no key database", [&] { return QOXGenerateKey(c(), &out, QOXOKeyGenParams(c(), 17, 1024), Name("x"), End()); },
       kQOXErrOptionNotFound},
      {"no parameters", [&] { return QOXGenerateKey(c(), &out, DB(), Name("x"), End()); }, kQOXErrOptionNotFound},
      {"no name", [&] { return QOXGenerateKey(c(), &out, DB(), QOXOKeyGenParams(c(), 17, 1024), End()); },
       kQOXErrOptionNotFound},
      {"two names",
       [&] { return QOXGenerateKey(c(), &out, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("x"), Name("y"), End()); },
       kQOXErrRedundantOptions},
      {"a master-key option for a key",
       [&] {
         return QOXGenerateKey(c(), &out, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("x"),
                               QOXOKeyGenMasterKey(c(), master), End());
       },
       kQOXErrBadParams},
      {"a key-database option for a subkey",
       [&] {
         return QOXGenerateSubKey(c(), &out, QOXOKeyGenMasterKey(c(), master), QOXOKeyGenParams(c(), 16, 1024),
                                  DB(), End());
       },
       kQOXErrBadParams},
      {"no master key", [&] { return QOXGenerateSubKey(c(), &out, QOXOKeyGenParams(c(), 16, 1024), End()); },
       kQOXErrOptionNotFound},
      {"an ElGamal master key",
       [&] { return QOXGenerateKey(c(), &out, DB(), QOXOKeyGenParams(c(), 16, 1024), Name("x"), End()); },
       kQOXErrBadParams},
      {"an unknown algorithm",
       [&] { return QOXGenerateKey(c(), &out, DB(), QOXOKeyGenParams(c(), 99, 1024), Name("x"), End()); },
       kQOXErrBadParams},
      {"a DSA subkey",
       [&] {
         return QOXGenerateSubKey(c(), &out, QOXOKeyGenMasterKey(c(), master), QOXOKeyGenParams(c(), 17, 1024),
                                  QOXOPassphrase(c(), "pw"), End());
       },
       kQOXErrBadParams},
      {"a subkey without the master's passphrase",
       [&] {
         return QOXGenerateSubKey(c(), &out, QOXOKeyGenMasterKey(c(), master), QOXOKeyGenParams(c(), 16, 1024),
                                  QOXOKeyGenFast(c(), true), End());
       },
       kQOXErrBadPassphrase},
      {"a subkey with a wrong passphrase",
       [&] {
         return QOXGenerateSubKey(c(), &out, QOXOKeyGenMasterKey(c(), master), QOXOKeyGenParams(c(), 16, 1024),
                                  QOXOPassphrase(c(), "wrong"), QOXOKeyGenFast(c(), true), End());
       },
       kQOXErrBadPassphrase},
      {"a subkey of an expired key",
       [&] {
         return QOXGenerateSubKey(c(), &out, QOXOKeyGenMasterKey(c(), expired), QOXOKeyGenParams(c(), 16, 1024),
                                  QOXOKeyGenFast(c(), true), End());
       },
       kQOXErrKeyExpired},
      {"a handler that cancels",
       [&] {
         return QOXGenerateKey(c(), &out, DB(), QOXOKeyGenParams(c(), 1, 1024), QOXOKeyFlags(c(), 3), Name("x"),
                               QOXOEventHandler(c(), Record, &cancel), End());
       },
       kQOXErrInterruptedJob},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    out = reinterpret_cast<QOXKeyDBObj*>(&cancel);
    EXPECT_EQ(k.call(), k.expected);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RealKeys(db_), std::vector<QOXKeyDBObj*>{master});
    EXPECT_EQ(Children(master, kQOXKeyDBObjType_SubKey).size(), 0u);
    EXPECT_EQ(Children(expired, kQOXKeyDBObjType_SubKey).size(), 0u);
  }
  EXPECT_EQ(cancel.states.size(), 1u);
  // The worker itself refuses a null out key.
  QOXKeyGenParams params;
  params.algorithm = 17;
  params.bits = 1024;
  EXPECT_EQ(qoxDoGenerateKey_internal(db_, nullptr, params, nullptr, nullptr, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeKeyDB(old), 0);
}

// The pool's estimate against the bits a generation draws: with an empty
// estimate the generation is refused (nothing made) unless it may use the
// existing entropy. The figures the entropy query gives for the same
// options, and its errors.
TEST_F(KeyGenerateTest, EntropyRefusalAndFigures) {
  qoxInitGlobalRandomPool();  // the estimate back to 0
  ASSERT_EQ(QOXGlobalRandomPoolGetEntropy(), 0u);
  QOXKeyDBObj* key = nullptr;
  EXPECT_EQ(QOXGenerateKey(c(), &key, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("Poor <poor@example.org>"),
                           QOXOKeyGenFast(c(), true), End()),
            kQOXErrOutOfEntropy);
  EXPECT_EQ(key, nullptr);
  EXPECT_TRUE(RealKeys(db_).empty());
  ASSERT_EQ(QOXGenerateKey(c(), &key, DB(), QOXOKeyGenParams(c(), 17, 1024), Name("Poor <poor@example.org>"),
                           QOXOKeyGenFast(c(), true), QOXOKeyGenUseExistingEntropy(c(), true), End()),
            0);
  EXPECT_NE(key, nullptr);

  // The figures: the generator's own count for the algorithm, size, fast
  // flag (the option, else setting 1029) and legacy flag (RSA without
  // KeyFlags).
  const QOXPkAlg* rsa = qoxPkalgByNumber(1);
  const QOXPkAlg* dsa = qoxPkalgByNumber(17);
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t expected;
  };
  ASSERT_EQ(qoxenvSetInt(Env(), kQOXEnvKeyGenDefault, 1, 0), 0);
  const Case cases[] = {
      {"RSA with key flags",
       [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyGenParams(c(), 1, 2048), QOXOKeyFlags(c(), 0),
                                           QOXOKeyGenFast(c(), false), End()); },
       qoxSecKeyEntropy(rsa, 2048, false, false)},
      {"legacy RSA, fast from the environment",
       [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyGenParams(c(), 1, 2048), End()); },
       qoxSecKeyEntropy(rsa, 2048, true, true)},
      {"DSA", [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyGenParams(c(), 17, 1024), End()); },
       qoxSecKeyEntropy(dsa, 1024, true, false)},
      {"existing entropy",
       [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyGenParams(c(), 17, 1024),
                                           QOXOKeyGenUseExistingEntropy(c(), true), End()); },
       0u},
      {"an option outside the set",
       [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyGenParams(c(), 17, 1024), Name("x"), End()); },
       static_cast<uint32_t>(kQOXErrBadParams)},
      {"no parameters", [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyFlags(c(), 3), End()); }, 0xFFFFFFFFu},
      {"two parameters",
       [&] { return QOXGetKeyEntropyNeeded(c(), QOXOKeyGenParams(c(), 17, 1024), QOXOKeyGenParams(c(), 1, 1024),
                                           End()); },
       0xFFFFFFFFu},
  };
  // The fast RSA figure really differs from the plain one, so the flags
  // are seen.
  EXPECT_NE(qoxSecKeyEntropy(rsa, 2048, false, false), qoxSecKeyEntropy(rsa, 2048, true, true));
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(k.call(), k.expected);
  }
}

// A front end over an in-process back end: the generation runs there and
// the new key, then a subkey, appear in the front end. With the service
// link on, the front end asks again while the service answers "still
// working", raising one '.' event per answer, and a handler that answers
// otherwise ends the wait with its answer.
TEST_F(KeyGenerateTest, FrontEndWaitsOnItsBackEnd) {
  uintptr_t backID = 0;
  ASSERT_EQ(qoxNewKeyDB_back(c(), &backID), 0);
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxNewFrontEndKeyDB(c(), backID, nullptr, 0, 0, &front), 0);

  static int busyAnswers = 0;
  static int calls = 0;
  static bool linkOn = false;
  ostrak_test::ScopedServices<QOXRPCClientServices> rpc(qoxRPCClientServices, qoxRegisterRPCClientServices);
  rpc->qoxRPCEnabled = [] { return linkOn; };
  rpc->qoxDoGenerateKey_backRPC = [](QOXContext* context, uintptr_t db, uintptr_t master,
                                     const QOXKeyGenParams* params, const uintptr_t* recipients,
                                     size_t recipientsLength, const uintptr_t* revokers, size_t revokersLength,
                                     uintptr_t* outKey, uintptr_t** outArray, size_t* outArrayLength) {
    ++calls;
    if (busyAnswers > 0) {
      --busyAnswers;
      return kQOXKeyGenInProgress;
    }
    // The service runs the generation where the caller's handler cannot be
    // reached.
    QOXKeyGenParams remote = *params;
    remote.handler = nullptr;
    linkOn = false;
    const QOXError err = qoxDoGenerateKey_back(context, db, master, remote, recipients, recipientsLength, revokers,
                                               revokersLength, outKey, outArray, outArrayLength);
    linkOn = true;
    return err;
  };

  Seen seen;
  QOXKeyDBObj* key = nullptr;
  busyAnswers = 3;
  linkOn = true;
  ASSERT_EQ(QOXGenerateKey(c(), &key, DB(front), QOXOKeyGenParams(c(), 17, 1024), Name("Far <far@example.org>"),
                           QOXOKeyGenFast(c(), true), QOXOPassphrase(c(), "pw"),
                           QOXOEventHandler(c(), Record, &seen), End()),
            0);
  linkOn = false;
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(seen.states, (std::vector<uint32_t>{'.', '.', '.'}));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(qoxObjKeyDB(key), front);
  EXPECT_TRUE(qoxFrontEndKey(key));
  const auto uids = Children(key, kQOXKeyDBObjType_UserID);
  ASSERT_EQ(uids.size(), 1u);
  size_t length = 0;
  const uint8_t* text = qoxUserIDName(uids[0], &length);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), length), "Far <far@example.org>");

  // A subkey through the in-process back end.
  QOXKeyDBObj* sub = nullptr;
  ASSERT_EQ(QOXGenerateSubKey(c(), &sub, QOXOKeyGenMasterKey(c(), key), QOXOKeyGenParams(c(), 16, 1024),
                              QOXOKeyGenFast(c(), true), QOXOPassphrase(c(), "pw"), End()),
            0);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(qoxObjParent(sub), key);
  EXPECT_EQ(qoxObjectType(sub), kQOXKeyDBObjType_SubKey);

  // The handler stops the wait at its second event.
  Seen stop;
  stop.cancelAt = 2;
  calls = 0;
  busyAnswers = 5;
  linkOn = true;
  QOXKeyDBObj* none = nullptr;
  EXPECT_EQ(QOXGenerateKey(c(), &none, DB(front), QOXOKeyGenParams(c(), 17, 1024), Name("Stop <stop@example.org>"),
                           QOXOEventHandler(c(), Record, &stop), End()),
            kQOXErrInterruptedJob);
  linkOn = false;
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(RealKeys(front).size(), 1u);
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

}  // namespace

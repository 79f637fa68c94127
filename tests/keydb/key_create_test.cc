// Creating key packets and objects: the packet forms of created keys, user
// IDs and photo IDs (gpg's own secret-key packet as the oracle for the key
// form), the size limit, and refused creation leaving nothing behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/env.h"
#include "foundation/file.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/key_create.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/sig_check.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_data.h"
#include "gpg_home.h"
#include "keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::GpgHome;
using keydb_test::Lines;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;

class KeyCreateTest : public keydb_test::KeyDBTest {
 protected:
  // A secret key object from a gpg secret key or subkey packet (version 4).
  QOXSecKey* SecretFrom(const Bytes& packet) {
    const size_t header = qoxPktBufferHeaderLen(packet.data(), packet.size());
    EXPECT_EQ(packet[header], 4);
    QOXError err = 0;
    QOXSecKey* secret = qoxSecKeyFromBuf(context_, packet[header + 5], packet.data() + header + 6,
                                         packet.size() - header - 6, 0, &err);
    EXPECT_NE(secret, nullptr) << err;
    return secret;
  }
  QOXKeySpec* Spec(uint32_t version, uint32_t creation, uint16_t days) {
    QOXKeySpec* spec = qoxKeySpecCreate(qoxContextGetEnvironment(context_));
    EXPECT_NE(spec, nullptr);
    EXPECT_EQ(qoxKeySpecSetVersion(spec, version), 0);
    EXPECT_EQ(qoxKeySpecSetCreation(spec, creation), 0);
    EXPECT_EQ(qoxKeySpecSetValidity(spec, days), 0);
    return spec;
  }
  // The public export of every key of a database (secret keys in public
  // form with all their signatures).
  Bytes Export(QOXKeyDB* db) {
    QOXFile* file = qoxFileMemOpen(context_, nullptr, 0);
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(sExportToQOXFile(qoxKeyDBPeekRootSet(db), file, false, false, true), 0);
    Bytes bytes(static_cast<size_t>(file->tell(file)));
    file->seek(file, 0, SEEK_SET);
    EXPECT_EQ(file->read(bytes.data(), bytes.size(), file), bytes.size());
    file->close(file);
    return bytes;
  }
  // The signature objects under an object (not below its children).
  std::vector<QOXKeyDBObj*> Sigs(QOXKeyDBObj* parent) {
    std::vector<QOXKeyDBObj*> sigs;
    for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next)
      if (qoxKeyDBObjIsReal(c) && qoxObjectType(c) == kQOXKeyDBObjType_Sig) sigs.push_back(c);
    return sigs;
  }
  // The version byte of a stored signature packet.
  int SigVersion(QOXKeyDBObj* sig) {
    const Bytes packet = Stored(sig);
    return packet.size() > 3 ? packet[qoxPktBufferHeaderLen(packet.data(), packet.size())] : -1;
  }
  Bytes Stored(QOXKeyDBObj* object) {
    size_t length = 0;
    const uint8_t* p = qoxFetchObject(object, &length);
    return p != nullptr ? Bytes(p, p + length) : Bytes();
  }
  size_t RealChildren(QOXKeyDBObj* parent) {
    size_t n = 0;
    for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) n += qoxKeyDBObjIsReal(c) ? 1 : 0;
    return n;
  }
};

// gpg's unprotected secret key packet of Alice, read into a secret-key
// object and written again with a key spec of its version and creation,
// is the same packet byte for byte (type byte 0x95: tag 5, old form, two
// length bytes).
TEST_F(KeyCreateTest, KeyPacketIsGpgsOwn) {
  const std::vector<keydb_test::Packet> packets = SplitPackets(ReadFile("alice.sec.bin"));
  const Bytes& gpgKey = packets[0].bytes;
  ASSERT_EQ(gpgKey[0], 0x95);
  const size_t header = 3;
  QOXError err = 0;
  QOXSecKey* secret = qoxSecKeyFromBuf(context_, 1, gpgKey.data() + header + 6, gpgKey.size() - header - 6, 0, &err);
  ASSERT_NE(secret, nullptr) << err;
  QOXKeySpec* spec = qoxKeySpecCreate(qoxContextGetEnvironment(context_));
  ASSERT_NE(spec, nullptr);
  ASSERT_EQ(qoxKeySpecSetVersion(spec, 4), 0);
  ASSERT_EQ(qoxKeySpecSetCreation(spec, 1796948860), 0);

  QOXKeyDBObj* key = qoxCreateKey(db_, nullptr, true, nullptr, secret, spec, 1);
  ASSERT_NE(key, nullptr) << qoxKeyDBError(db_);
  EXPECT_EQ(Stored(key), gpgKey);
  EXPECT_EQ(keydb_test::Hex(qoxKeyToKeyInfo(key)->keyID, 8), "7F5B1A7795C777D2");
  EXPECT_NE(qoxKeyToKeyInfo(key)->keyFlags & kQOXKeyFlag_Secret, 0u);

  // The public form of the same key (tag 6) and a subkey (tag 7) under it.
  QOXPubKey* pub = secret->pubkey(secret);
  ASSERT_NE(pub, nullptr);
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  QOXKeyDBObj* publicKey = qoxCreateKey(other, nullptr, false, pub, nullptr, spec, 1);
  ASSERT_NE(publicKey, nullptr);
  const Bytes publicPacket = Stored(publicKey);
  EXPECT_EQ(publicPacket[0], 0x99);
  const Bytes fixturePublic = SplitPackets(ReadFile("alice.bin"))[0].bytes;
  EXPECT_EQ(publicPacket, fixturePublic);
  // gpg's ElGamal secret subkey packet (tag 7) rebuilt under the key.
  const Bytes& gpgSub = packets[3].bytes;
  ASSERT_EQ(gpgSub[0], 0x9D);
  QOXSecKey* subSecret = qoxSecKeyFromBuf(context_, 16, gpgSub.data() + header + 6, gpgSub.size() - header - 6, 0, &err);
  ASSERT_NE(subSecret, nullptr) << err;
  QOXKeyDBObj* sub = qoxCreateKey(db_, key, true, nullptr, subSecret, spec, 16);
  ASSERT_NE(sub, nullptr) << qoxKeyDBError(db_);
  EXPECT_EQ(Stored(sub), gpgSub);
  EXPECT_EQ(qoxObjParent(sub), key);
  subSecret->destroy(subSecret);

  // A rebuilt secret packet after a change of protection: the same type
  // byte and body prefix, then the numbers now locked under "pw"; gpg reads
  // the protected packet as the same key.
  QOXRandomContext* rc = qoxContextGetX9_17RandomContext(context_);
  ASSERT_NE(rc, nullptr);
  ASSERT_EQ(secret->changeLock(secret, qoxContextGetEnvironment(context_), rc, "pw", 2, 3), 0);
  EXPECT_EQ(qoxUpdateSecKeyData(key, secret), 0);
  const Bytes locked = Stored(key);
  ASSERT_GT(locked.size(), 9u);
  EXPECT_EQ(locked[0], 0x95);
  EXPECT_TRUE(std::equal(gpgKey.begin() + header, gpgKey.begin() + header + 6, locked.begin() + header));
  EXPECT_NE(locked, gpgKey);
  QOXSecKey* reread = qoxSecKeyFromBuf(context_, 1, locked.data() + header + 6, locked.size() - header - 6, 0, &err);
  ASSERT_NE(reread, nullptr) << err;
  EXPECT_EQ(reread->islocked(reread), 1);
  EXPECT_EQ(reread->unlock(reread, "pw", 2, 0), 1);
  reread->destroy(reread);
  GpgHome gpg;
  std::string out;
  ASSERT_EQ(gpg.Gpg("--list-packets " + gpg.Put("locked.bin", locked), &out), 0) << out;
  EXPECT_NE(out.find("keyid: 7F5B1A7795C777D2"), std::string::npos) << out;
  EXPECT_NE(out.find("iter+salt S2K"), std::string::npos) << out;

  pub->destroy(pub);
  secret->destroy(secret);
  qoxKeySpecDestroy(spec);
  EXPECT_EQ(QOXFreeKeyDB(other), 0);
}

// A packet of 150000 bytes or more is refused and nothing is added; one
// byte less is taken. A user ID of that size has the widened old-form
// header (0xB6: tag 13, four length bytes).
TEST_F(KeyCreateTest, SizeLimit) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  QOXKeyDBObj* alice = db_->firstKey;
  const size_t before = RealChildren(alice);
  const Bytes tooLong(150000 - 5, 'u');
  EXPECT_EQ(qoxCreateUserID(db_, alice, tooLong.data(), tooLong.size()), nullptr);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrKeyGrosslyOversized);
  EXPECT_EQ(RealChildren(alice), before);
  const Bytes longest(150000 - 6, 'u');
  QOXKeyDBObj* uid = qoxCreateUserID(db_, alice, longest.data(), longest.size());
  ASSERT_NE(uid, nullptr);
  const Bytes stored = Stored(uid);
  EXPECT_EQ(stored.size(), 149999u);
  EXPECT_EQ(stored[0], 0xB6);
  EXPECT_EQ(RealChildren(alice), before + 1);

  const Bytes attribute(150000 - 6 - 6, 'a');  // header 6, subpacket head 6
  EXPECT_EQ(qoxCreateAttribute(db_, alice, 1, attribute.data(), attribute.size()), nullptr);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrKeyGrosslyOversized);
  EXPECT_NE(qoxCreateAttribute(db_, alice, 1, attribute.data(), attribute.size() - 1), nullptr);
}

// Photo ID of 100 bytes: 0xD1, the new-form length 106, then 0xFF, 00 00 00
// 0x65 (101), the type byte and the data; a short user ID as 0xB4.
TEST_F(KeyCreateTest, UserIDAndPhotoIDForms) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  QOXKeyDBObj* alice = db_->firstKey;
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  QOXKeyDBObj* photo = qoxCreateAttribute(db_, alice, 1, data.data(), data.size());
  ASSERT_NE(photo, nullptr);
  Bytes expected = {0xD1, 106, 0xFF, 0, 0, 0, 0x65, 1};
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(Stored(photo), expected);
  EXPECT_EQ(qoxObjectType(photo), kQOXKeyDBObjType_UserID);

  const std::string name = "Zed <zed@example.org>";
  QOXKeyDBObj* uid = qoxCreateUserID(db_, alice, reinterpret_cast<const uint8_t*>(name.data()), name.size());
  ASSERT_NE(uid, nullptr);
  Bytes expectedUID = {0xB4, static_cast<uint8_t>(name.size())};
  expectedUID.insert(expectedUID.end(), name.begin(), name.end());
  EXPECT_EQ(Stored(uid), expectedUID);
  // The same packet again is the same object (merged, as a read would).
  EXPECT_EQ(qoxCreateUserID(db_, alice, reinterpret_cast<const uint8_t*>(name.data()), name.size()), uid);

  // gpg's self-signature body under the new user ID: 0x89 and two length
  // bytes, gpg's packet exactly; the body is the signer's, unchanged.
  Bytes gpgSig;
  for (const keydb_test::Packet& p : SplitPackets(ReadFile("alice.bin"))) {
    if (p.tag == 2) {
      gpgSig = p.bytes;
      break;
    }
  }
  ASSERT_EQ(gpgSig[0], 0x89);
  QOXKeyDBObj* sig = qoxCreateSig(db_, uid, gpgSig.data() + 3, gpgSig.size() - 3);
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(Stored(sig), gpgSig);
  EXPECT_EQ(qoxObjParent(sig), uid);
}

// A key pair made from Bob's DSA secret numbers with every version-4
// subpacket, and a subkey pair from Alice's ElGamal numbers under it:
// gpg imports them and finds every self-signature good, and lists the
// subpackets as asked (default preferences 3 1 2, key flags and
// key-server preferences least significant byte first, the additional
// recipient request and the non-revocable designated revoker).
TEST_F(KeyCreateTest, KeyPairAndSubkeyPairCheckInGpg) {
  QOXEnv* env = qoxContextGetEnvironment(context_);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvHashAlgorithm, 2, 0), 0);  // SHA-1: gpg refuses MD5
  QOXKeyDB* alice = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &alice), 0);
  ASSERT_EQ(Read(ReadFile("alice.bin"), false, alice), 0);
  const std::string aliceFingerprint = "BCC350EEA44A07975FD2BCFD7F5B1A7795C777D2";

  QOXSecKey* dsa = SecretFrom(SplitPackets(ReadFile("bob.sec.bin"))[0].bytes);
  QOXSecKey* elgamal = SecretFrom(SplitPackets(ReadFile("alice.sec.bin"))[3].bytes);
  ASSERT_TRUE(dsa != nullptr && elgamal != nullptr);
  const uint32_t created = QOXGetTime() - 7200;
  QOXKeySpec* keySpec = Spec(3, created, 365);
  QOXKeySpec* subSpec = Spec(3, created + 60, 30);

  const std::string userID = "Kay Created <kay@example.org>";
  const std::string server = "ldap://keys.example.org";
  QOXKeypairRequest request{};
  request.userID = reinterpret_cast<const uint8_t*>(userID.data());
  request.userIDLength = userID.size();
  request.version4 = true;
  request.revocationKeys = qoxKeyDBPeekRootSet(alice);
  request.revokerClass = 0x80;
  request.preferredKeyServer = reinterpret_cast<const uint8_t*>(server.data());
  request.preferredKeyServerLength = server.size();
  request.keyFlags = 0x03;
  request.keyFlagsGiven = true;
  request.keyServerPreferences = 0x80;
  request.keyServerPreferencesGiven = true;
  request.recipientRequestKeys = qoxKeyDBPeekRootSet(alice);
  request.recipientRequestClass = 0x80;
  QOXError err = -1;
  QOXKeyDBObj* key = qoxCreateKeypair(context_, db_, dsa, keySpec, request, &err);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(err, 0);
  err = -1;
  QOXKeyDBObj* sub = qoxCreateSubkeypair(key, context_, elgamal, subSpec, nullptr, 0, false, 0x0C, true, &err);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(err, 0);

  // The objects: the secret key object took the new key's ID; the user ID
  // and the key carry one signature each, the subkey its binding; each is
  // marked checked and good; key and subkey are axiomatic; the validity
  // days are stored.
  EXPECT_EQ(keydb_test::Hex(dsa->keyID, 8), keydb_test::Hex(qoxKeyToKeyInfo(key)->keyID, 8));
  EXPECT_EQ(keydb_test::Hex(elgamal->keyID, 8), keydb_test::Hex(qoxKeyToKeyInfo(sub)->keyID, 8));
  QOXKeyDBObj* uid = nullptr;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next)
    if (qoxObjectType(c) == kQOXKeyDBObjType_UserID) uid = c;
  ASSERT_NE(uid, nullptr);
  std::vector<QOXKeyDBObj*> created3 = Sigs(uid);
  const std::vector<QOXKeyDBObj*> direct = Sigs(key);
  const std::vector<QOXKeyDBObj*> binding = Sigs(sub);
  ASSERT_EQ(created3.size(), 1u);
  ASSERT_EQ(direct.size(), 1u);
  ASSERT_EQ(binding.size(), 1u);
  created3.push_back(direct[0]);
  created3.push_back(binding[0]);
  for (QOXKeyDBObj* sig : created3) {
    EXPECT_EQ(qoxSigToSigInfo(sig)->trustByte, kQOXCreatedSigTrust);
    EXPECT_EQ(SigVersion(sig), 4);
  }
  EXPECT_EQ(qoxSigToSigInfo(created3[0])->type, 0x10);
  EXPECT_EQ(qoxSigToSigInfo(direct[0])->type, 0x1F);
  EXPECT_EQ(qoxSigToSigInfo(binding[0])->type, 0x18);
  EXPECT_TRUE(qoxKeyAxiomatic(key));
  EXPECT_TRUE(qoxKeyAxiomatic(sub));
  EXPECT_EQ(qoxKeyToKeyInfo(key)->validityDays, 365);
  EXPECT_EQ(qoxKeyToKeyInfo(sub)->validityDays, 30);

  GpgHome gpg;
  const std::string exported = gpg.Put("kay.bin", Export(db_));
  std::string out;
  ASSERT_EQ(gpg.Gpg("--import " + exported, &out), 0) << out;
  ASSERT_EQ(gpg.Gpg("--with-colons --check-sigs", &out), 0) << out;
  const std::string keyID = keydb_test::Hex(qoxKeyToKeyInfo(key)->keyID, 8);
  int good = 0;
  bool revoker = false;
  for (const std::string& line : Lines(out)) {
    if (line.rfind("sig:", 0) == 0) {
      EXPECT_EQ(line.substr(0, 6), "sig:!:") << line;
      EXPECT_NE(line.find(keyID), std::string::npos) << line;
      ++good;
    }
    if (line.rfind("rvk:", 0) == 0 && line.find(aliceFingerprint) != std::string::npos) revoker = true;
  }
  EXPECT_EQ(good, 3) << out;
  EXPECT_TRUE(revoker) << out;

  ASSERT_EQ(gpg.Gpg("--list-packets " + exported, &out), 0) << out;
  for (const char* expected : {"pref-sym-algos: 3 1 2", "preferred keyserver: ldap://keys.example.org",
                               "key flags: 03 00 00 00", "keyserver preferences: 80 00 00 00", "primary user ID",
                               "key expires after 1y0d0h0m", "subpkt 10 len 22", "not revocable",
                               "key flags: 0C 00 00 00", "key expires after 30d0h0m"}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  }
  const std::string revocationKey = "revocation key: c=80 a=1 f=" + aliceFingerprint;
  EXPECT_NE(out.find(revocationKey), std::string::npos) << out;

  dsa->destroy(dsa);
  elgamal->destroy(elgamal);
  qoxKeySpecDestroy(keySpec);
  qoxKeySpecDestroy(subSpec);
  EXPECT_EQ(QOXFreeKeyDB(alice), 0);
}

// A version-3 signature request stands for a key revocation of a
// top-level key and for an RSA signer over an RSA key's object with a hash
// below 4; every other request is made as version 4. A legacy key pair
// (RSA, version 4 not wanted) is a version-3 key whose self-signature has
// the environment's version (3 here) and no subpackets. Our checker finds
// every signature good, and gpg takes the version-3 DSA key revocation.
TEST_F(KeyCreateTest, SignatureVersionRules) {
  QOXEnv* env = qoxContextGetEnvironment(context_);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvHashAlgorithm, 2, 0), 0);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvSigVersion, 3, 0), 0);
  const uint32_t created = QOXGetTime() - 7200;

  QOXSecKey* dsa = SecretFrom(SplitPackets(ReadFile("bob.sec.bin"))[0].bytes);
  QOXSecKey* rsa = SecretFrom(SplitPackets(ReadFile("alice.sec.bin"))[0].bytes);
  ASSERT_TRUE(dsa != nullptr && rsa != nullptr);
  QOXKeySpec* dsaSpec = Spec(3, created, 0);
  QOXKeySpec* rsaSpec = Spec(3, created, 0);
  const std::string kay = "Kay Created <kay@example.org>";
  const std::string leg = "Leg Acy <legacy@example.org>";
  QOXKeypairRequest request{};
  request.userID = reinterpret_cast<const uint8_t*>(kay.data());
  request.userIDLength = kay.size();
  request.version4 = true;
  QOXError err = -1;
  QOXKeyDBObj* dsaKey = qoxCreateKeypair(context_, db_, dsa, dsaSpec, request, &err);
  ASSERT_NE(dsaKey, nullptr);
  ASSERT_EQ(err, 0);
  QOXKeyDB* legacyDB = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &legacyDB), 0);
  request.userID = reinterpret_cast<const uint8_t*>(leg.data());
  request.userIDLength = leg.size();
  request.version4 = false;
  QOXKeyDBObj* rsaKey = qoxCreateKeypair(context_, legacyDB, rsa, rsaSpec, request, &err);
  ASSERT_NE(rsaKey, nullptr);
  ASSERT_EQ(err, 0);

  // The legacy key: a version-3 key packet, a version-3 self-signature of
  // class 0x10 (no subpackets in that form), no direct-key signature.
  const Bytes rsaPacket = Stored(rsaKey);
  EXPECT_EQ(rsaPacket[qoxPktBufferHeaderLen(rsaPacket.data(), rsaPacket.size())], 3);
  EXPECT_NE(qoxKeyToKeyInfo(rsaKey)->keyFlags & kQOXKeyFlag_V3, 0u);
  QOXKeyDBObj* rsaUID = rsaKey->child;
  while (rsaUID != nullptr && qoxObjectType(rsaUID) != kQOXKeyDBObjType_UserID) rsaUID = rsaUID->next;
  ASSERT_NE(rsaUID, nullptr);
  ASSERT_EQ(Sigs(rsaUID).size(), 1u);
  EXPECT_EQ(SigVersion(Sigs(rsaUID)[0]), 3);
  EXPECT_TRUE(Sigs(rsaKey).empty());
  QOXKeyDBObj* dsaUID = dsaKey->child;
  while (dsaUID != nullptr && qoxObjectType(dsaUID) != kQOXKeyDBObjType_UserID) dsaUID = dsaUID->next;
  ASSERT_NE(dsaUID, nullptr);

  struct Case {
    const char* what;
    QOXKeyDBObj* signer;
    QOXKeyDBObj* object;
    uint8_t type;
    uint8_t hash;
    int version;
  };
  const Case cases[] = {
      {"DSA certification", dsaKey, dsaUID, 0x10, 2, 4},
      {"DSA key revocation", dsaKey, dsaKey, 0x20, 2, 3},
      {"RSA over RSA, SHA-1", rsaKey, rsaUID, 0x11, 2, 3},
      {"RSA over RSA, RIPEMD-160", rsaKey, rsaUID, 0x13, 3, 3},
      {"RSA over RSA, MD2", rsaKey, rsaUID, 0x12, 5, 4},
      {"RSA over a DSA key's user ID", rsaKey, dsaUID, 0x10, 2, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QOXSigSpec* spec = qoxSigSpecCreate(env, c.signer, c.type);
    ASSERT_NE(spec, nullptr);
    ASSERT_EQ(qoxSigSpecSetVersion(spec, 3), 0);
    ASSERT_EQ(qoxSigSpecSetHashtype(spec, c.hash), 0);
    const std::vector<QOXKeyDBObj*> before = Sigs(c.object);
    EXPECT_EQ(qoxSignObject(c.object, spec), 0);
    qoxSigSpecDestroy(spec);
    const std::vector<QOXKeyDBObj*> after = Sigs(c.object);
    ASSERT_EQ(after.size(), before.size() + 1);
    QOXKeyDBObj* made = nullptr;
    for (QOXKeyDBObj* sig : after)
      if (std::find(before.begin(), before.end(), sig) == before.end()) made = sig;
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(SigVersion(made), c.version);
    EXPECT_EQ(qoxSigToSigInfo(made)->type, c.type);
    EXPECT_EQ(qoxSigToSigInfo(made)->trustByte, kQOXCreatedSigTrust);
  }
  // Every signature made above checks good here once its marks are cleared.
  for (QOXKeyDBObj* object : {dsaKey, dsaUID, rsaUID}) {
    for (QOXKeyDBObj* sig : Sigs(object)) {
      qoxSigToSigInfo(sig)->trustByte = 0;
      EXPECT_EQ(qoxCheckOneSig(sig, legacyDB), 0);
      EXPECT_NE(qoxSigToSigInfo(sig)->trustByte & kQOXSigTrust_Checked, 0) << int(qoxSigToSigInfo(sig)->type);
    }
  }

  // gpg takes the version-3 DSA key revocation: the key is listed revoked.
  GpgHome gpg;
  std::string out;
  ASSERT_EQ(gpg.Gpg("--import " + gpg.Put("kay.bin", Export(db_)), &out), 0) << out;
  ASSERT_EQ(gpg.Gpg("--with-colons --list-keys", &out), 0) << out;
  EXPECT_NE(out.find("\npub:r:"), std::string::npos) << out;

  dsa->destroy(dsa);
  rsa->destroy(rsa);
  qoxKeySpecDestroy(dsaSpec);
  qoxKeySpecDestroy(rsaSpec);
  EXPECT_EQ(QOXFreeKeyDB(legacyDB), 0);
}

// A self-signature that cannot be made (a key locked under "fixture" and
// the wrong passphrase) leaves the key with its user ID in the database, axiomatic
// and unsigned, and the error in the out-parameter; the right passphrase
// signs.
TEST_F(KeyCreateTest, AFailedSelfSignatureLeavesTheKey) {
  ASSERT_EQ(qoxenvSetInt(qoxContextGetEnvironment(context_), kQOXEnvHashAlgorithm, 2, 0), 0);
  const Bytes bob = SplitPackets(ReadFile("bob.sec.bin"))[0].bytes;
  const std::string name = "Kay Locked <kay@example.org>";
  for (const char* passphrase : {"wrong", "fixture"}) {
    SCOPED_TRACE(passphrase);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    QOXSecKey* secret = SecretFrom(bob);
    ASSERT_NE(secret, nullptr);
    ASSERT_EQ(secret->changeLock(secret, qoxContextGetEnvironment(context_), qoxContextGetX9_17RandomContext(context_),
                                 "fixture", 7, 3),
              0);
    QOXKeySpec* spec = Spec(3, QOXGetTime() - 60, 0);
    QOXKeypairRequest request{};
    request.userID = reinterpret_cast<const uint8_t*>(name.data());
    request.userIDLength = name.size();
    request.version4 = true;
    request.passphrase = reinterpret_cast<const uint8_t*>(passphrase);
    request.passphraseLength = std::strlen(passphrase);
    QOXError err = 0;
    QOXKeyDBObj* key = qoxCreateKeypair(context_, db, secret, spec, request, &err);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(db->firstKey, key);
    EXPECT_TRUE(qoxKeyAxiomatic(key));
    QOXKeyDBObj* uid = key->child;
    while (uid != nullptr && qoxObjectType(uid) != kQOXKeyDBObjType_UserID) uid = uid->next;
    ASSERT_NE(uid, nullptr);
    if (std::string(passphrase) == "wrong") {
      EXPECT_EQ(err, kQOXErrBadPassphrase);
      EXPECT_TRUE(Sigs(uid).empty());
    } else {
      EXPECT_EQ(err, 0);
      EXPECT_EQ(Sigs(uid).size(), 1u);
    }
    secret->destroy(secret);
    qoxKeySpecDestroy(spec);
    EXPECT_EQ(QOXFreeKeyDB(db), 0);
  }
}

}  // namespace

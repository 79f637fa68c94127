// Finding keys, key IDs and fingerprints, and the key operations, over the
// gpg fixtures with gpg's listings (and gpg's session key) as the oracle.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/hash.h"
#include "crypto/key_encoding.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_lookup.h"
#include "keydb/key_ops.h"
#include "keydb/key_tree.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"
#include "keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::KeyIDText;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;

class KeyLookupTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    for (const char* name : {"alice.sec", "bob", "carol", "dave.sec"}) ASSERT_EQ(ReadFixture(std::string(name) + ".bin"), 0);
  }
  QOXKeyDBObj* Find(const std::string& text, uint8_t algorithm = 255, bool dummies = true, bool deleted = false) {
    QOXKeyID id;
    EXPECT_EQ(QOXNewKeyIDFromString(text.c_str(), algorithm, &id), 0) << text;
    QOXKeyDBObj* key = nullptr;
    const QOXError err = qoxGetKeyByKeyID(db_, &id, dummies, deleted, &key);
    EXPECT_EQ(err == 0, key != nullptr);
    return key;
  }
};

// By 8- and 4-byte ID (gpg's 0xlong and 0xshort), with the algorithm or
// any: every key and subkey finds itself.
TEST_F(KeyLookupTest, EveryKeyAndSubkeyByLongAndShortID) {
  for (const char* name : {"alice", "bob", "carol", "dave"}) {
    SCOPED_TRACE(name);
    QOXKeyDBObj* key = KeyNamed(name);
    ASSERT_NE(key, nullptr);
    std::vector<QOXKeyDBObj*> all{key};
    for (QOXKeyDBObj* s : Children(key, kQOXKeyDBObjType_SubKey)) all.push_back(s);
    const keydb_test::ColonKeys gpg = keydb_test::ListColons(std::string(name) + ".colons.txt");
    ASSERT_EQ(all.size(), gpg.keyIDs.size());
    for (size_t i = 0; i < all.size(); ++i) {
      const std::string& id = gpg.keyIDs[i];
      EXPECT_EQ(Find("0x" + id), all[i]);
      EXPECT_EQ(Find(id.substr(8)), all[i]);
      EXPECT_EQ(Find(id, qoxKeyToKeyInfo(all[i])->algorithm), all[i]);
      QOXKeyDBObj* found = nullptr;
      QOXKeyID keyID;
      ASSERT_EQ(QOXGetKeyID(all[i], &keyID), 0);
      ASSERT_EQ(QOXFindKeyByKeyID(db_, &keyID, &found), 0);
      EXPECT_EQ(found, all[i]);
    }
  }
  EXPECT_EQ(Find("0x0123456789ABCDEF"), nullptr);
  EXPECT_EQ(Find("01234567"), nullptr);
}

TEST_F(KeyLookupTest, DeletedKeysAndBadArguments) {
  QOXKeyDBObj* carol = KeyNamed("carol");
  const std::string id = keydb_test::ListColons("carol.colons.txt").keyIDs[0];
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(carol), 0);
  for (const std::string& text : {id, id.substr(8)}) {
    EXPECT_EQ(Find(text), nullptr);
    EXPECT_EQ(Find(text, 255, true, true), carol);
    QOXKeyID keyID;
    ASSERT_EQ(QOXNewKeyIDFromString(text.c_str(), 255, &keyID), 0);
    QOXKeyDBObj* found = carol;
    EXPECT_EQ(QOXFindKeyByKeyID(db_, &keyID, &found), kQOXErrItemNotFound);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(QOXFindKeyByKeyID(nullptr, &keyID, &found), kQOXErrBadParams);
    EXPECT_EQ(QOXFindKeyByKeyID(db_, nullptr, &found), kQOXErrBadParams);
    EXPECT_EQ(QOXFindKeyByKeyID(db_, &keyID, nullptr), kQOXErrBadParams);
  }
  QOXKeyID out;
  std::memset(&out, 0xAB, sizeof out);
  QOXKeyDBObj* uid = Children(KeyNamed("alice"), kQOXKeyDBObjType_UserID)[0];
  EXPECT_EQ(QOXGetKeyID(uid, &out), kQOXErrBadParams);
  EXPECT_EQ(out.valid, 0);
  EXPECT_EQ(QOXGetKeyID(nullptr, &out), kQOXErrBadParams);
  EXPECT_EQ(QOXGetKeyID(KeyNamed("alice"), nullptr), kQOXErrBadParams);
}

// Access control reads a client's TLS key as "0x" and 16 digits through
// the registered table.
TEST_F(KeyLookupTest, ClientKeyIDTextThroughTheTable) {
  char text[64];
  QOXKeyDBObj* alice = KeyNamed("alice");
  ASSERT_EQ(qoxKeyDBServices().vuzizClientKeyIDText(context_, alice, text, sizeof text), 0);
  EXPECT_EQ(std::string(text), "0x" + keydb_test::ListColons("alice.colons.txt").keyIDs[0]);
  EXPECT_EQ(qoxKeyDBServices().vuzizClientKeyIDText(context_, alice, text, 18), kQOXErrBadParams);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(qoxKeyDBServices().vuzizClientKeyIDText(context_, nullptr, text, sizeof text), kQOXErrBadParams);
}

// Two keys whose 8-byte IDs collide with different algorithms are both in
// the tree; algorithm 255 finds the first met on the descent; a 4-byte ID
// search visits node, greater side, then not-greater side.
TEST_F(KeyLookupTest, CollidingIDsAndAlgorithms) {
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  const uint8_t id[8] = {1, 2, 3, 4, 0xA, 0xB, 0xC, 0xD};
  const uint8_t lower[8] = {0, 0, 0, 0, 0xA, 0xB, 0xC, 0xD};
  QOXKeyDBObj* rsa = qoxNewKeyObj(db, nullptr, kQOXObjFlag_Key, 1, id);
  QOXKeyDBObj* dsa = qoxNewKeyObj(db, nullptr, kQOXObjFlag_Key, 17, id);
  QOXKeyDBObj* low = qoxNewKeyObj(db, nullptr, kQOXObjFlag_Key, 17, lower);
  ASSERT_NE(low, nullptr);
  auto find = [db](const uint8_t* bytes, size_t n, uint8_t algorithm) {
    QOXKeyID k;
    std::memset(&k, 0, sizeof k);
    EXPECT_EQ(qoxNewKeyIDFromRawData(bytes, algorithm, n, &k), 0);
    QOXKeyDBObj* out = nullptr;
    qoxGetKeyByKeyID_internal(db, &k, true, false, &out);
    return out;
  };
  EXPECT_EQ(find(id, 8, 1), rsa);
  EXPECT_EQ(find(id, 8, 17), dsa);
  EXPECT_EQ(find(id, 8, 255), rsa) << "the root is met first";
  EXPECT_EQ(find(id + 4, 4, 255), rsa);
  EXPECT_EQ(find(id + 4, 4, 17), dsa);
  EXPECT_EQ(qoxKeyById8(db, 2, id), rsa);
  EXPECT_EQ(qoxKeyDBFindKey(db, 3, id), rsa);
  EXPECT_EQ(qoxKeyDBFindKey(db, 17, lower), low);
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(rsa), 0);
  EXPECT_EQ(qoxKeyDBFindKey(db, 1, id), nullptr);
  EXPECT_EQ(find(id, 8, 17), dsa) << "an 8-byte descent passes a deleted node";
  EXPECT_EQ(find(id + 4, 4, 255), nullptr) << "a refused match at the root ends the search of its subtrees";
  ASSERT_EQ(QOXFreeKeyDB(db), 0);
}

// Version-3 keys: the 16-byte fingerprint and the key material.
TEST_F(KeyLookupTest, Version3Fingerprints) {
  std::ifstream list(keydb_test::DataPath("v3-keys.txt"));
  std::string name, id, md5;
  int bits = 0;
  long created = 0;
  int days = 0;
  int seen = 0;
  while (list >> name >> id >> md5 >> bits >> created >> days) {
    SCOPED_TRACE(name);
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    ASSERT_EQ(Read(ReadFile(name + ".bin"), false, db), 0);
    ASSERT_EQ(Keys(false, db).size(), 1u);
    QOXKeyDBObj* key = Keys(false, db)[0];
    EXPECT_EQ(KeyIDText(key), id);
    uint8_t fp[20];
    ASSERT_EQ(qoxKeyFingerprint(key, fp), 16);
    EXPECT_EQ(keydb_test::Hex(fp, 16), md5);
    EXPECT_EQ(qoxKeyExpiration(key), days == 0 ? 0u : static_cast<QOXTime>(created + days * 86400L));
    size_t n = 0;
    const uint8_t* mpis = qoxKeyMPIData(key, &n);
    ASSERT_NE(mpis, nullptr);
    EXPECT_EQ((mpis[0] << 8) | mpis[1], bits);
    ASSERT_EQ(QOXFreeKeyDB(db), 0);
    ++seen;
  }
  EXPECT_EQ(seen, 3);
}

// The ElGamal subkey serves use 2 and recovers the session key of the
// message gpg encrypted to alice; the RSA key itself signs.
TEST_F(KeyLookupTest, KeyChoiceAndGpgsSessionKey) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  QOXKeyDBObj* sub = Children(alice, kQOXKeyDBObjType_SubKey)[0];
  EXPECT_EQ(qoxKeySubkey(alice, nullptr), sub);
  EXPECT_EQ(qoxKeyUseInternal(alice, true, false), 3u);
  EXPECT_EQ(qoxKeyUseInternal(sub, true, false), 2u);
  QOXPubKey* pub = qoxKeyPubKey(alice, 2);
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(pub->algorithm, 16);
  EXPECT_EQ(std::memcmp(pub->keyID, qoxKeyToKeyInfo(sub)->keyID, 8), 0);
  pub->destroy(pub);
  pub = qoxKeyPubKey(sub, 1);
  ASSERT_NE(pub, nullptr) << "a subkey that cannot sign gives way to its key";
  EXPECT_EQ(pub->algorithm, 1);
  pub->destroy(pub);
  EXPECT_EQ(qoxKeyPubKey(alice, 3), nullptr);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrUnimplementedPKOperation);
  QOXKeyDBObj* bob = KeyNamed("bob");
  EXPECT_EQ(qoxKeyPubKey(bob, 2), nullptr) << "DSA alone cannot encrypt";
  EXPECT_EQ(qoxKeyPubKey(bob, 3), nullptr);

  // gpg's message: the first packet is the public-key encrypted session key.
  const auto message = SplitPackets(ReadFile("alice.msg.bin"));
  ASSERT_EQ(message[0].tag, 1);
  const Bytes& esk = message[0].bytes;
  const size_t header = qoxPktBufferHeaderLen(esk.data(), esk.size());
  ASSERT_EQ(esk[header], 3);
  ASSERT_EQ(esk[header + 9], 16);
  const size_t at = header + 10;
  uint8_t* out = nullptr;
  size_t outLength = 0;
  ASSERT_EQ(qoxKeyDecrypt(sub, "", 0, false, 0, false, esk.data() + at, esk.size() - at, kQOXPublicKeyFormat_MPI,
                          &out, &outLength),
            0);
  const std::string session = keydb_test::ReadText("alice.msg.session.txt");
  const size_t colon = session.find(':');
  const int cipher = std::stoi(session.substr(0, colon));
  const Bytes key = keydb_test::HexBytes(session.substr(colon + 1, 64));
  ASSERT_GE(outLength, 1 + key.size());
  EXPECT_EQ(out[0], cipher);
  EXPECT_EQ(Bytes(out + 1, out + 1 + key.size()), key);
  QOXFreeData(out);
  // Asked of alice's key, decryption keeps the RSA key, whose algorithm can
  // decrypt: the secret rule keeps an object that serves the use itself.
  EXPECT_NE(qoxKeyDecrypt(alice, "", 0, false, 0, false, esk.data() + at, esk.size() - at, kQOXPublicKeyFormat_MPI,
                          &out, &outLength),
            0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(outLength, 0u);

  // Round trips through the key object's choices.
  const Bytes secret = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t* encrypted = nullptr;
  size_t encryptedLength = 0;
  ASSERT_EQ(qoxKeyEncrypt(alice, secret.data(), secret.size(), kQOXPublicKeyFormat_MPI, &encrypted,
                          &encryptedLength),
            0);
  ASSERT_EQ(qoxKeyDecrypt(sub, "", 0, false, 0, false, encrypted, encryptedLength, kQOXPublicKeyFormat_MPI, &out,
                          &outLength),
            0);
  EXPECT_EQ(Bytes(out, out + outLength), secret);
  QOXFreeData(out);
  QOXFreeData(encrypted);
  EXPECT_EQ(qoxKeyEncrypt(bob, secret.data(), secret.size(), kQOXPublicKeyFormat_MPI, &encrypted, &encryptedLength),
            kQOXErrKeyCannotEncrypt);
  EXPECT_EQ(encrypted, nullptr);

  uint8_t digest[20];
  for (size_t i = 0; i < sizeof digest; ++i) digest[i] = static_cast<uint8_t>(i * 7);
  for (QOXKeyDBObj* signer : {alice}) {
    uint8_t* sig = nullptr;
    size_t sigLength = 0;
    ASSERT_EQ(qoxKeySign(signer, "", 0, false, 0, false, 2, digest, 20, kQOXPublicKeyFormat_MPI, &sig, &sigLength),
              0);
    EXPECT_EQ(qoxKeyVerify(signer, sig, sigLength, 2, digest, 20, kQOXPublicKeyFormat_MPI), 1);
    EXPECT_EQ(qoxKeyVerify(signer, sig, sigLength, 0, digest, 20, kQOXPublicKeyFormat_MPI), 0)
        << "hash 0: a bare digest of the given length, without SHA-1's DigestInfo";
    digest[0] ^= 1;
    EXPECT_EQ(qoxKeyVerify(signer, sig, sigLength, 2, digest, 20, kQOXPublicKeyFormat_MPI), 0);
    digest[0] ^= 1;
    QOXFreeData(sig);
  }
  size_t maxEncrypted = 1, maxDecrypted = 1, maxSignature = 1;
  ASSERT_EQ(qoxKeyMaxSizes(bob, &maxEncrypted, &maxDecrypted, &maxSignature, kQOXPublicKeyFormat_MPI), 0);
  EXPECT_EQ(maxEncrypted, 0u);
  EXPECT_EQ(maxDecrypted, 0u);
  EXPECT_GT(maxSignature, 40u);
  ASSERT_EQ(qoxKeyMaxSizes(alice, &maxEncrypted, &maxDecrypted, nullptr, kQOXPublicKeyFormat_MPI), 0);
  EXPECT_GT(maxEncrypted, 512u);
}

// A secret-key packet locked by the engine's own lock (gpg's protection of
// dave, S = 254, is not one the engine reads).
Bytes Locked(QOXContext* context, const Bytes& clearPacket, const std::string& passphrase) {
  const size_t header = qoxPktBufferHeaderLen(clearPacket.data(), clearPacket.size());
  const size_t prefix = header + 6;
  QOXError err = 0;
  QOXSecKey* key = qoxSecKeyFromBuf(context, clearPacket[header + 5], clearPacket.data() + prefix,
                                    clearPacket.size() - prefix, 0, &err);
  EXPECT_NE(key, nullptr) << err;
  if (key == nullptr) return {};
  EXPECT_EQ(key->changeLock(key, qoxContextGetEnvironment(context), qoxContextGetDummyRandomContext(context),
                            passphrase.data(), passphrase.size(), 1),
            0);
  Bytes body(clearPacket.begin() + header, clearPacket.begin() + prefix);
  const size_t at = body.size();
  body.resize(at + key->bufferLength(key));
  key->toBuffer(key, body.data() + at);
  key->destroy(key);
  return keydb_test::NewPacket(5, body);
}

// Secret parts: bob's locked by the engine, alice's in the clear naming her
// first preferred cipher, AES-256.
TEST_F(KeyLookupTest, SecretPartsAndPassphrases) {
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  const auto bobSec = SplitPackets(ReadFile("bob.sec.bin"));
  ASSERT_EQ(Read(Locked(context_, bobSec[0].bytes, "fixture"), false, db), 0);
  ASSERT_EQ(Keys(false, db).size(), 1u);
  QOXKeyDBObj* bob = Keys(false, db)[0];
  QOXKeyDBObj* alice = KeyNamed("alice");
  bool locked = false, kind5 = true;
  int32_t cipher = 0, bits = 0;
  ASSERT_EQ(qoxSecProperties(bob, &locked, &kind5, &cipher, &bits), 0);
  EXPECT_TRUE(locked);
  EXPECT_FALSE(kind5);
  const QOXCipherVTBL* lockCipher = qoxCipherDefaultKey(qoxContextGetEnvironment(context_));
  ASSERT_NE(lockCipher, nullptr);
  EXPECT_EQ(cipher, static_cast<int32_t>(lockCipher->algorithm));
  EXPECT_EQ(bits, static_cast<int32_t>(lockCipher->keySize * 8));
  ASSERT_EQ(qoxSecProperties(alice, &locked, &kind5, &cipher, &bits), 0);
  EXPECT_FALSE(locked);
  EXPECT_EQ(cipher, lockCipher->algorithm) << "no checked self-signature yet: the default";
  MarkAllChecked();
  ASSERT_EQ(qoxSecProperties(alice, &locked, &kind5, &cipher, &bits), 0);
  EXPECT_EQ(cipher, 9);
  EXPECT_EQ(bits, 256);
  EXPECT_EQ(qoxSecProperties(KeyNamed("bob"), &locked, &kind5, &cipher, &bits), kQOXErrInvalidPropertyName)
      << "a public key has no secret part";
  EXPECT_TRUE(qoxSecPassphraseOK(bob, "fixture", 7, false, 0, false));
  EXPECT_FALSE(qoxSecPassphraseOK(bob, "fixturf", 7, false, 0, false));
  EXPECT_TRUE(qoxSecPassphraseOK(alice, "", 0, false, 0, false));
  EXPECT_FALSE(qoxSecPassphraseOK(KeyNamed("bob"), "", 0, false, 0, false));
  uint8_t* sig = nullptr;
  size_t sigLength = 0;
  uint8_t digest[20] = {};
  EXPECT_EQ(qoxKeySign(bob, "wrong", 5, false, 0, false, 2, digest, 20, kQOXPublicKeyFormat_MPI, &sig, &sigLength),
            kQOXErrBadPassphrase);
  EXPECT_EQ(sig, nullptr);
  ASSERT_EQ(qoxKeySign(bob, "fixture", 7, false, 0, false, 2, digest, 20, kQOXPublicKeyFormat_MPI, &sig, &sigLength),
            0);
  EXPECT_EQ(qoxKeyVerify(bob, sig, sigLength, 2, digest, 20, kQOXPublicKeyFormat_MPI), 1);
  QOXFreeData(sig);
  ASSERT_EQ(QOXFreeKeyDB(db), 0);
}

}  // namespace

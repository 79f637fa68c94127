// Signature checking: the results agree with gpg --check-sigs on the gpg
// fixtures (tests/keydb/data/make_sig_check_fixtures.sh); changed bytes
// make signatures bad; repeated runs do nothing; unknown hashes and unknown
// signers leave signatures untried; self-signatures set key expiry and the
// primary user ID; CRLs through doubles of the X.509 bridge; the front-end
// path; designated revocations kept or removed by the check.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/hash.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/import_binary.h"
#include "keydb/key_ops.h"
#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "keydb/key_set.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check.h"
#include "keydb/sig_check_services.h"
#include "keydb/x509_services.h"
#include "keydb_test_support.h"
#include "tests/common/scoped_services.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Cat;
using keydb_test::HexBytes;
using keydb_test::NewPacket;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;
using keydb_test::V4Sig;

constexpr uint8_t kGood = kQOXSigTrust_Checked | kQOXSigTrust_Tried;
constexpr uint8_t kBad = kQOXSigTrust_Tried;

// A signature as gpg --with-colons lists it: signer key ID, creation time
// and class.
using SigKey = std::tuple<std::string, uint32_t, int>;

std::map<SigKey, char> GpgCheckSigs() {
  std::map<SigKey, char> out;
  std::istringstream in(keydb_test::ReadText("sigs.check.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string x; std::getline(s, x, ':');) f.push_back(x);
    if (f.size() < 11 || (f[0] != "sig" && f[0] != "rev")) continue;
    out[{f[4], static_cast<uint32_t>(std::stoul(f[5])), std::stoi(f[10].substr(0, 2), nullptr, 16)}] = f[1][0];
  }
  return out;
}

class SigCheckTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    // Trust recalculation is not under test: a double that counts its calls.
    trust_->QOXCalculateTrust = [](QOXKeySet*, QOXKeyDB*) {
      ++trustRuns;
      return kQOXErrNoErr;
    };
    trustRuns = 0;
  }

  QOXError CheckAll(QOXKeyDB* db, bool checkAll = false, QOXKeyDB* other = nullptr,
                    QOXEventHandlerProcPtr handler = nullptr, void* user = nullptr) {
    return QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db), other, checkAll, handler, user);
  }

  // Every signature of the database, real ones, in tree order.
  static std::vector<QOXKeyDBObj*> Sigs(QOXKeyDB* db) {
    std::vector<QOXKeyDBObj*> out;
    for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
      if (!qoxKeyDBObjIsReal(k)) continue;
      for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
        if (!qoxKeyDBObjIsReal(c)) continue;
        if (qoxObjectType(c) == kQOXKeyDBObjType_Sig) out.push_back(c);
        for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next)
          if (qoxObjectType(g) == kQOXKeyDBObjType_Sig && qoxKeyDBObjIsReal(g)) out.push_back(g);
      }
    }
    return out;
  }

  static SigKey KeyOf(QOXKeyDBObj* sig) {
    const SigInfo* s = qoxSigToSigInfo(sig);
    QOXKeyID id;
    EXPECT_EQ(qoxKeyID8(s->signer, nullptr, &id), 0);
    return {keydb_test::Hex(id.bytes, 8), s->creation, s->type};
  }

  static uint8_t Trust(QOXKeyDBObj* sig) { return qoxSigToSigInfo(sig)->trustByte; }

  // A version-4 (or, with v3Extra, version-3 with that many bytes of hashed
  // material) SHA-1 signature of `type` over the object (a key or a user
  // ID of a key) by the secret key `signer`, made independently of the
  // signature maker: the framing of qoxHashObj, which the gpg agreement
  // checks, then the key's own signing.
  Bytes Sign(QOXKeyDBObj* signer, QOXKeyDBObj* object, uint8_t type, uint32_t creation,
             const std::vector<std::pair<uint8_t, Bytes>>& hashed = {}, size_t v3Extra = 0) {
    QOXHashContext* hash = nullptr;
    EXPECT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_SHA, &hash), 0);
    const bool v4 = v3Extra == 0;
    if (qoxObjectType(object) != kQOXKeyDBObjType_Key) {
      EXPECT_EQ(qoxHashObj(hash, qoxObjParent(object), v4), 0);
    }
    EXPECT_EQ(qoxHashObj(hash, object, v4), 0);
    const KeyInfo* k = qoxKeyToKeyInfo(signer);
    const uint8_t t[4] = {static_cast<uint8_t>(creation >> 24), static_cast<uint8_t>(creation >> 16),
                          static_cast<uint8_t>(creation >> 8), static_cast<uint8_t>(creation)};
    Bytes body;
    if (v4) {
      Bytes h{5, 2, t[0], t[1], t[2], t[3]};
      for (const auto& [st, d] : hashed) {
        h.push_back(static_cast<uint8_t>(d.size() + 1));
        h.push_back(st);
        h.insert(h.end(), d.begin(), d.end());
      }
      body = {4, type, k->algorithm, 2, static_cast<uint8_t>(h.size() >> 8), static_cast<uint8_t>(h.size())};
      body.insert(body.end(), h.begin(), h.end());
      EXPECT_EQ(QOXContinueHash(hash, body.data(), body.size()), 0);
      const uint32_t n = static_cast<uint32_t>(body.size());
      const uint8_t trailer[6] = {4, 0xFF, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                  static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
      EXPECT_EQ(QOXContinueHash(hash, trailer, 6), 0);
      body.insert(body.end(), {0, 10, 9, 16});
      body.insert(body.end(), k->keyID, k->keyID + 8);
    } else {
      Bytes material{type, t[0], t[1], t[2], t[3]};
      material.resize(v3Extra, 0);
      EXPECT_EQ(QOXContinueHash(hash, material.data(), material.size()), 0);
      body = {3, static_cast<uint8_t>(v3Extra)};
      body.insert(body.end(), material.begin(), material.end());
      body.insert(body.end(), k->keyID, k->keyID + 8);
      body.insert(body.end(), {k->algorithm, 2});
    }
    uint8_t digest[20];
    EXPECT_EQ(QOXFinalizeHash(hash, digest), 0);
    QOXFreeHashContext(hash);
    body.insert(body.end(), digest, digest + 2);
    uint8_t* mpi = nullptr;
    size_t mpiLength = 0;
    EXPECT_EQ(qoxKeySign(signer, "", 0, false, 0, false, kQOXHashAlgorithm_SHA, digest, 20, 1, &mpi, &mpiLength), 0);
    body.insert(body.end(), mpi, mpi + mpiLength);
    QOXFreeData(mpi);
    return NewPacket(kQOXPktTag_Signature, body);
  }

  // Alice's secret key in a database of its own, for Sign.
  QOXKeyDBObj* AliceSecret() {
    if (secrets_ == nullptr) {
      EXPECT_EQ(QOXNewKeyDB(context_, &secrets_), 0);
      EXPECT_EQ(Read(ReadFile("alice.sec.bin"), false, secrets_), 0);
    }
    return secrets_->firstKey;
  }

  void TearDown() override {
    if (secrets_ != nullptr) QOXFreeKeyDB(secrets_);
    if (other_ != nullptr) QOXFreeKeyDB(other_);
    KeyDBTest::TearDown();
  }

  static inline int trustRuns = 0;
  ostrak_test::ScopedServices<QOXSigCheckServices> trust_{qoxSigCheckServices, qoxRegisterSigCheckServices};
  QOXKeyDB* secrets_ = nullptr;
  QOXKeyDB* other_ = nullptr;
};

struct Events {
  uint32_t calls = 0;
  uint32_t lastDone = 0;
  uint32_t total = 0;
  QOXError answer = 0;
};

QOXError Record(QOXContext*, QOXEvent* event, void* user) {
  auto* e = static_cast<Events*>(user);
  EXPECT_EQ(event->type, kQOXEvent_NullEvent);
  ++e->calls;
  EXPECT_EQ(event->data.nullData.bytesWritten, e->lastDone + 1);
  e->lastDone = event->data.nullData.bytesWritten;
  e->total = event->data.nullData.bytesTotal;
  return e->answer;
}

// Every signature of the four fixture keys (and alice's secret key, hashed
// in its public form) is good exactly where gpg says "!"; one null event per
// signature, counting up to the total; a second run does nothing.
TEST_F(SigCheckTest, AgreesWithGpgAndASecondRunDoesNothing) {
  for (const char* f : {"alice.bin", "bob.both.bin", "carol.bin", "dave.bin"}) ASSERT_EQ(ReadFixture(f), 0) << f;
  const auto gpg = GpgCheckSigs();
  ASSERT_EQ(gpg.size(), 9u);
  const auto sigs = Sigs(db_);
  ASSERT_EQ(sigs.size(), gpg.size());
  EXPECT_EQ(qoxCountCheckableKeySigs(qoxKeyDBPeekRootSet(db_), nullptr, false, false), sigs.size());
  Events events;
  db_->dirty = 0;
  ASSERT_EQ(CheckAll(db_, false, nullptr, Record, &events), 0);
  EXPECT_EQ(trustRuns, 1);
  EXPECT_EQ(events.calls, sigs.size());
  EXPECT_EQ(events.total, sigs.size());
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  for (QOXKeyDBObj* s : sigs) {
    const auto it = gpg.find(KeyOf(s));
    ASSERT_NE(it, gpg.end()) << std::get<0>(KeyOf(s));
    EXPECT_EQ(it->second, '!');
    EXPECT_EQ(Trust(s), kGood) << std::get<0>(KeyOf(s)) << " class " << std::get<2>(KeyOf(s));
  }

  // Again, check-all clear: nothing tried, nothing changed.
  Events again;
  db_->dirty = 0;
  ASSERT_EQ(CheckAll(db_, false, nullptr, Record, &again), 0);
  EXPECT_EQ(again.calls, 0u);
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
  EXPECT_EQ(qoxCountCheckableKeySigs(qoxKeyDBPeekRootSet(db_), nullptr, false, false), 0u);
  // Check-all: every one again, same results, still clean.
  ASSERT_EQ(CheckAll(db_, true, nullptr, Record, &(again = Events{})), 0);
  EXPECT_EQ(again.calls, sigs.size());
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
  for (QOXKeyDBObj* s : sigs) EXPECT_EQ(Trust(s), kGood);

  // A handler's non-zero answer stops the run at once, without trust.
  Events stop;
  stop.answer = -11;
  trustRuns = 0;
  EXPECT_EQ(CheckAll(db_, true, nullptr, Record, &stop), -11);
  EXPECT_EQ(stop.calls, 1u);
  EXPECT_EQ(trustRuns, 0);

  // The secret form of alice checks the same.
  QOXKeyDBObj* secret = AliceSecret();
  ASSERT_EQ(CheckAll(secrets_), 0);
  const auto secretSigs = Sigs(secrets_);
  ASSERT_EQ(secretSigs.size(), 2u);
  for (QOXKeyDBObj* s : secretSigs) EXPECT_EQ(Trust(s), kGood);
  EXPECT_TRUE(qoxKeyToKeyInfo(secret)->keyFlags & kQOXKeyFlag_Secret);
}

// A changed byte of a user ID makes each certification on it bad (and
// only those); a changed signature byte makes that one bad.
TEST_F(SigCheckTest, ChangedBytesMakeSignaturesBad) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  ASSERT_EQ(ReadFixture("carol.bin"), 0);
  auto bob = SplitPackets(ReadFile("bob.both.bin"));
  ASSERT_EQ(bob[1].tag, kQOXPktTag_UserID);
  bob[1].bytes.back() ^= 0x01;  // "...org>" with a changed last byte
  Bytes stream;
  for (const auto& p : bob) stream.insert(stream.end(), p.bytes.begin(), p.bytes.end());
  ASSERT_EQ(Read(stream), 0);
  QOXKeyDBObj* key = KeyNamed("Bob");
  ASSERT_NE(key, nullptr);
  const auto uid = Children(key, kQOXKeyDBObjType_UserID);
  ASSERT_EQ(uid.size(), 1u);
  ASSERT_EQ(CheckAll(db_), 0);
  const auto certs = Children(uid[0], kQOXKeyDBObjType_Sig);
  ASSERT_EQ(certs.size(), 3u);
  for (QOXKeyDBObj* s : certs) EXPECT_EQ(Trust(s), kBad);
  for (QOXKeyDBObj* s : Sigs(db_))
    if (qoxObjTopKey(s) != key) {
      EXPECT_EQ(Trust(s), kGood);
    }

  // A byte of a signature's hashed material (its creation time), and the
  // last byte of the other's number: its check bytes still match, and the
  // RSA block that comes out is no signature, which makes it bad without
  // stopping the run.
  ASSERT_EQ(QOXNewKeyDB(context_, &other_), 0);
  auto alice = SplitPackets(ReadFile("alice.bin"));
  ASSERT_EQ(alice[2].tag, kQOXPktTag_Signature);
  ASSERT_EQ(alice[4].tag, kQOXPktTag_Signature);
  alice[2].bytes[alice[2].bytes.size() - 300] ^= 0x40;
  alice[4].bytes.back() ^= 0x01;
  Bytes changed;
  for (const auto& p : alice) changed.insert(changed.end(), p.bytes.begin(), p.bytes.end());
  ASSERT_EQ(Read(changed, false, other_), 0);
  ASSERT_EQ(CheckAll(other_), 0);
  const auto sigs = Sigs(other_);
  ASSERT_EQ(sigs.size(), 2u);
  EXPECT_EQ(Trust(sigs[0]), kBad);
  EXPECT_EQ(Trust(sigs[1]), kBad);
  QOXFreeKeyDB(other_);
  other_ = nullptr;
}

// The registry has no SHA-256 (number 8): alice's SHA-256 certification of
// dave stays untried, the run succeeds and dave's own signatures are good.
// A signature with hash number 4 likewise.
TEST_F(SigCheckTest, UnknownHashesStayUntried) {
  ASSERT_EQ(qoxHashByNumber(8), nullptr);
  ASSERT_EQ(qoxHashByNumber(4), nullptr);
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  auto dave = SplitPackets(ReadFile("dave.sha256.bin"));
  // A copy of dave's self-certification with hash number 4 (body byte 3).
  Bytes hash4 = dave[2].bytes;
  ASSERT_EQ(dave[2].tag, kQOXPktTag_Signature);
  hash4[qoxPktBufferHeaderLen(hash4.data(), hash4.size()) + 3] = 4;
  hash4[qoxPktBufferHeaderLen(hash4.data(), hash4.size()) + 7] ^= 1;  // another creation time
  Bytes stream;
  for (size_t i = 0; i < dave.size(); ++i) {
    stream.insert(stream.end(), dave[i].bytes.begin(), dave[i].bytes.end());
    if (i == 2) stream.insert(stream.end(), hash4.begin(), hash4.end());
  }
  ASSERT_EQ(Read(stream), 0);
  ASSERT_EQ(CheckAll(db_), 0);
  int untried = 0;
  for (QOXKeyDBObj* s : Sigs(db_)) {
    const uint8_t h = qoxSigToSigInfo(s)->hashAlgorithm;
    if (h == 8 || h == 4) {
      EXPECT_EQ(Trust(s) & kGood, 0) << int{h};
      ++untried;
    } else {
      EXPECT_EQ(Trust(s), kGood);
    }
  }
  EXPECT_EQ(untried, 2);
}

// A certification whose signer is absent stays untried and is not counted;
// the other database supplies a signer; when the signer arrives the next
// run checks it. A signer that goes away makes its signatures untried.
TEST_F(SigCheckTest, SignersFromTheOtherDatabaseAndLateSigners) {
  ASSERT_EQ(ReadFixture("bob.both.bin"), 0);
  QOXKeySet* root = qoxKeyDBPeekRootSet(db_);
  EXPECT_EQ(qoxCountCheckableKeySigs(root, nullptr, false, false), 1u);
  ASSERT_EQ(CheckAll(db_), 0);
  QOXKeyDBObj* bob = Keys()[0];
  const auto certs = Children(Children(bob, kQOXKeyDBObjType_UserID)[0], kQOXKeyDBObjType_Sig);
  ASSERT_EQ(certs.size(), 3u);
  EXPECT_EQ(Trust(certs[0]), kGood);
  EXPECT_EQ(Trust(certs[1]), 0);
  EXPECT_EQ(Trust(certs[2]), 0);

  ASSERT_EQ(QOXNewKeyDB(context_, &other_), 0);
  ASSERT_EQ(Read(ReadFile("alice.bin"), false, other_), 0);
  // The other database counts only alice's certification; carol's is not
  // checkable (no such key there) and stays as it was.
  EXPECT_EQ(qoxCountCheckableKeySigs(root, other_, false, false), 1u);
  qoxSigToSigInfo(certs[2])->trustByte = kGood;
  ASSERT_EQ(CheckAll(db_, false, other_), 0);
  EXPECT_EQ(Trust(certs[1]), kGood);
  EXPECT_EQ(Trust(certs[2]), kGood) << "left alone";
  // Without the other database the signer of certs[1] is unknown again.
  ASSERT_EQ(CheckAll(db_, true), 0);
  EXPECT_EQ(Trust(certs[1]), 0);
  EXPECT_EQ(Trust(certs[2]), 0);
  // The other database equal to the set's own is no other database.
  ASSERT_EQ(CheckAll(db_, false, db_), 0);
  EXPECT_EQ(Trust(certs[1]), 0);

  // Carol arrives in the same database: her certification is checked.
  ASSERT_EQ(ReadFixture("carol.bin"), 0);
  ASSERT_EQ(CheckAll(db_), 0);
  EXPECT_EQ(Trust(certs[2]), kGood);

  QOXFreeKeyDB(other_);
  other_ = nullptr;
}

TEST_F(SigCheckTest, BadHandles) {
  EXPECT_EQ(QOXCheckKeyRingSigs(nullptr, nullptr, false, nullptr, nullptr), kQOXErrBadParams);
  QOXKeyDB notADatabase{};
  EXPECT_EQ(QOXCheckKeyRingSigs(qoxKeyDBPeekRootSet(db_), &notADatabase, false, nullptr, nullptr),
            kQOXErrBadParams);
  EXPECT_EQ(trustRuns, 0);
  EXPECT_EQ(qoxHashObj(nullptr, nullptr, true), kQOXErrBadParams);
}

// Version-3 signatures: hashed material of 7 bytes is refused on a user ID
// without any check, verified on a key (a key revocation). The hashing of a
// user attribute: 0xD1 and four length bytes in version 4, the body alone
// in version 3.
TEST_F(SigCheckTest, Version3MaterialAndUserAttributes) {
  QOXKeyDBObj* secret = AliceSecret();
  QOXKeyDBObj* secretUID = Children(secret, kQOXKeyDBObjType_UserID)[0];
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  const Bytes onKey = Sign(secret, secret, 0x20, 2000000000, {}, 7);
  const Bytes onUID = Sign(secret, secretUID, 0x13, 2000000001, {}, 7);
  const Bytes onUID5 = Sign(secret, secretUID, 0x13, 2000000002, {}, 5);
  ASSERT_EQ(Read(Cat({alice[0].bytes, onKey, alice[1].bytes, onUID, onUID5})), 0);
  ASSERT_EQ(CheckAll(db_), 0);
  QOXKeyDBObj* key = Keys()[0];
  const auto direct = Children(key, kQOXKeyDBObjType_Sig);
  ASSERT_EQ(direct.size(), 1u);
  EXPECT_EQ(Trust(direct[0]), kGood);
  const auto certs = Children(Children(key, kQOXKeyDBObjType_UserID)[0], kQOXKeyDBObjType_Sig);
  ASSERT_EQ(certs.size(), 2u);
  for (QOXKeyDBObj* s : certs) {
    EXPECT_EQ(Trust(s), qoxSigToSigInfo(s)->creation == 2000000001 ? kBad : kGood) << qoxSigToSigInfo(s)->creation;
  }

  // A user attribute (tag 17) under the key, hashed with and without its
  // frame.
  const Bytes attribute = NewPacket(kQOXPktTag_UserAttribute, {5, 1, 'j', 'p', 'e', 'g'});
  QOXKeyDBObj* attr = AddChild(key, kQOXObjFlag_UserID, attribute);
  qoxUserIDToUserIDInfo(attr)->userIDFlags |= kQOXUserIDFlag_Attribute;
  const Bytes body(attribute.begin() + 2, attribute.end());
  for (const bool v4 : {true, false}) {
    Bytes expected;
    if (v4) expected = {0xD1, 0, 0, 0, static_cast<uint8_t>(body.size())};
    expected.insert(expected.end(), body.begin(), body.end());
    QOXHashContext *mine = nullptr, *theirs = nullptr;
    ASSERT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_SHA, &mine), 0);
    ASSERT_EQ(QOXNewHashContext(context_, kQOXHashAlgorithm_SHA, &theirs), 0);
    ASSERT_EQ(qoxHashObj(mine, attr, v4), 0);
    ASSERT_EQ(QOXContinueHash(theirs, expected.data(), expected.size()), 0);
    uint8_t a[20], b[20];
    QOXFinalizeHash(mine, a);
    QOXFinalizeHash(theirs, b);
    EXPECT_EQ(Bytes(a, a + 20), Bytes(b, b + 20)) << v4;
    QOXFreeHashContext(mine);
    QOXFreeHashContext(theirs);
  }
}

// A good self-signature sets the key's (or the bound subkey's) days of
// validity from its key-expiration subpacket: under a day is one day, not
// "never".
TEST_F(SigCheckTest, KeyExpirationOfGoodSelfSignatures) {
  QOXKeyDBObj* secret = AliceSecret();
  QOXKeyDBObj* secretUID = Children(secret, kQOXKeyDBObjType_UserID)[0];
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  ASSERT_EQ(alice[3].tag, kQOXPktTag_PublicSubKey);
  struct Case {
    uint32_t seconds;
    bool subkey;
    uint16_t days;
  };
  for (const Case c : {Case{86399, false, 1}, Case{172800, false, 2}, Case{86400 * 3 + 5, true, 3},
                       Case{1, true, 1}, Case{0, false, 0}}) {
    const Bytes e{static_cast<uint8_t>(c.seconds >> 24), static_cast<uint8_t>(c.seconds >> 16),
                  static_cast<uint8_t>(c.seconds >> 8), static_cast<uint8_t>(c.seconds)};
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    Bytes stream;
    if (c.subkey) {
      QOXKeyDBObj* secretSub = Children(secret, kQOXKeyDBObjType_SubKey)[0];
      const Bytes binding = Sign(secret, secretSub, 0x18, 2000000000, {{kQOXSubpacket_KeyExpiration, e}});
      stream = Cat({alice[0].bytes, alice[1].bytes, alice[2].bytes, alice[3].bytes, binding});
    } else {
      const Bytes cert = Sign(secret, secretUID, 0x13, 2000000000, {{kQOXSubpacket_KeyExpiration, e}});
      stream = Cat({alice[0].bytes, alice[1].bytes, alice[2].bytes, cert, alice[3].bytes, alice[4].bytes});
    }
    ASSERT_EQ(Read(stream, false, db), 0);
    QOXKeyDBObj* key = db->firstKey;
    QOXKeyDBObj* sub = Children(key, kQOXKeyDBObjType_SubKey)[0];
    qoxKeyToKeyInfo(key)->validityDays = 77;
    qoxKeyToKeyInfo(sub)->validityDays = 77;
    ASSERT_EQ(CheckAll(db), 0);
    for (QOXKeyDBObj* s : Sigs(db)) EXPECT_EQ(Trust(s), kGood) << c.seconds;
    EXPECT_EQ(qoxKeyToKeyInfo(c.subkey ? sub : key)->validityDays, c.days) << c.seconds;
    EXPECT_EQ(qoxKeyToKeyInfo(c.subkey ? key : sub)->validityDays, 77) << c.seconds;
    QOXFreeKeyDB(db);
  }
}

// A good self-certification with the primary flag clears the key's primary
// marks the first time it is found good, not on later runs.
TEST_F(SigCheckTest, PrimaryFlagClearsMarksOnce) {
  QOXKeyDBObj* secret = AliceSecret();
  QOXKeyDBObj* secretUID = Children(secret, kQOXKeyDBObjType_UserID)[0];
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  const Bytes primary = Sign(secret, secretUID, 0x13, 2000000000, {{kQOXSubpacket_PrimaryUserID, {1}}});
  ASSERT_EQ(Read(Cat({alice[0].bytes, alice[1].bytes, primary})), 0);
  QOXKeyDBObj* key = Keys()[0];
  QOXKeyDBObj* uid = Children(key, kQOXKeyDBObjType_UserID)[0];
  const auto certs = Children(uid, kQOXKeyDBObjType_Sig);
  ASSERT_EQ(certs.size(), 1u);
  ASSERT_TRUE(qoxSigToSigInfo(certs[0])->sigFlags & kQOXSigFlag_PrimaryUserID);
  ASSERT_EQ(qoxKeySetPrimaryUserID(uid), 0);
  ASSERT_TRUE(qoxUserIDToUserIDInfo(uid)->trustByte & kQOXUserIDTrust_Primary);
  ASSERT_EQ(CheckAll(db_), 0);
  EXPECT_EQ(Trust(certs[0]), kGood);
  EXPECT_FALSE(qoxUserIDToUserIDInfo(uid)->trustByte & kQOXUserIDTrust_Primary);
  ASSERT_EQ(qoxKeySetPrimaryUserID(uid), 0);
  ASSERT_EQ(CheckAll(db_, true), 0);
  EXPECT_TRUE(qoxUserIDToUserIDInfo(uid)->trustByte & kQOXUserIDTrust_Primary);
}

// Carol names alice as designated revoker. With alice open in another
// database, alice's revocation (gpg --desig-revoke) checks good and stays;
// a copy with a changed signature byte checks bad and is removed; one by
// bob, whom no self-signature names, is removed unchecked.
TEST_F(SigCheckTest, DesignatedRevocationsStayOnlyWhenGood) {
  ASSERT_EQ(QOXNewKeyDB(context_, &other_), 0);
  ASSERT_EQ(Read(Cat({ReadFile("alice.bin"), ReadFile("bob.bin")}), false, other_), 0);
  const auto revoked = SplitPackets(ReadFile("carol.desig-revoke.bin"));
  ASSERT_EQ(revoked[1].tag, kQOXPktTag_Signature);
  Bytes forged = revoked[1].bytes;
  forged.back() ^= 0x01;
  forged[forged.size() - 100] ^= 0x01;
  const Bytes bobID = HexBytes(keydb_test::ListColons("bob.colons.txt").keyIDs[0]);
  const Bytes byBob = V4Sig(0x20, bobID.data(), 2000000000, {}, 17);
  struct Case {
    const char* name;
    Bytes revocation;
    bool stays;
  };
  for (const Case& c : {Case{"alice", revoked[1].bytes, true}, Case{"forged", forged, false},
                        Case{"bob", byBob, false}}) {
    QOXKeyDB* db = nullptr;
    ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
    Bytes stream = revoked[0].bytes;
    stream.insert(stream.end(), c.revocation.begin(), c.revocation.end());
    for (size_t i = 2; i < revoked.size(); ++i) stream.insert(stream.end(), revoked[i].bytes.begin(), revoked[i].bytes.end());
    ASSERT_EQ(Read(stream, false, db), 0) << c.name;
    QOXKeyDBObj* carol = db->firstKey;
    int revocations = 0;
    for (QOXKeyDBObj* s : Children(carol, kQOXKeyDBObjType_Sig)) {
      if (qoxSigToSigInfo(s)->type != kQOXSigType_KeyRevocation) continue;
      ++revocations;
      if (c.stays) {
        EXPECT_EQ(Trust(s), kGood) << c.name;
      }
    }
    EXPECT_EQ(revocations, c.stays ? 1 : 0) << c.name;
    QOXKeyDBObj* revoker = nullptr;
    uint8_t algorithm = 0;
    QOXKeyID id;
    QOXError err = 0;
    EXPECT_EQ(qoxKeyHasThirdPartyRevocation(carol, &revoker, &algorithm, &id, &err), c.stays) << c.name;
    QOXFreeKeyDB(db);
  }
  QOXFreeKeyDB(other_);
  other_ = nullptr;
}

// qoxSignObj hashes what a check hashes: alice's version-4 certification
// of bob's user ID and her version-3 revocation of her own key, made here,
// check good beside bob's and alice's own packets; a hash the registry
// lacks gives -11419.
TEST_F(SigCheckTest, SignObjMakesSignaturesThatCheck) {
  QOXKeyDBObj* secret = AliceSecret();
  QOXKeyDB* bobDB = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &bobDB), 0);
  ASSERT_EQ(Read(ReadFile("bob.bin"), false, bobDB), 0);
  QOXKeyDBObj* bobUID = Children(bobDB->firstKey, kQOXKeyDBObjType_UserID)[0];
  struct Case {
    QOXKeyDBObj* object;
    uint8_t type;
    int32_t version;
    Bytes packet;
  };
  std::vector<Case> cases = {{bobUID, 0x10, 4, {}}, {secret, 0x20, 3, {}}};
  for (Case& c : cases) {
    QOXSigSpec* spec = qoxSigSpecCreate(qoxContextGetEnvironment(context_), secret, c.type);
    ASSERT_NE(spec, nullptr);
    ASSERT_EQ(qoxSigSpecSetHashtype(spec, kQOXHashAlgorithm_SHA), 0);
    ASSERT_EQ(qoxSigSpecSetVersion(spec, c.version), 0);
    ASSERT_EQ(qoxSigSpecSetTimestamp(spec, 2000000000), 0);
    uint8_t* body = nullptr;
    const int32_t n = qoxSignObj(c.object, spec, &body);
    ASSERT_GT(n, 0) << int{c.type};
    c.packet = NewPacket(kQOXPktTag_Signature, Bytes(body, body + n));
    QOXFreeData(body);
    if (c.version == 4) {
      spec->hashtype = 8;  // the setter refuses it; a spec may still carry one
      EXPECT_EQ(qoxSignObj(c.object, spec, &body), kQOXErrUnknownHashNumber);
      EXPECT_EQ(body, nullptr);
    }
    qoxSigSpecDestroy(spec);
  }
  QOXFreeKeyDB(bobDB);
  const auto bob = SplitPackets(ReadFile("bob.bin"));
  const auto alice = SplitPackets(ReadFile("alice.bin"));
  ASSERT_EQ(Read(Cat({bob[0].bytes, bob[1].bytes, bob[2].bytes, cases[0].packet})), 0);
  ASSERT_EQ(Read(Cat({alice[0].bytes, cases[1].packet, alice[1].bytes, alice[2].bytes})), 0);
  ASSERT_EQ(CheckAll(db_), 0);
  const auto sigs = Sigs(db_);
  ASSERT_EQ(sigs.size(), 4u);
  for (QOXKeyDBObj* sig : sigs) EXPECT_EQ(Trust(sig), kGood) << int{qoxSigToSigInfo(sig)->type};
}

// The front end over an in-process back end: the back end checks, the front
// end sees the results after the refresh, with and without a handler.
TEST_F(SigCheckTest, FrontEndRunsThroughItsBackEnd) {
  const Bytes stream = Cat({ReadFile("alice.bin"), ReadFile("bob.both.bin"), ReadFile("carol.bin")});
  for (const bool withHandler : {false, true}) {
    QOXKeyDB* fe = nullptr;
    ASSERT_EQ(qoxImportKeyBinary(context_, stream.data(), stream.size(), &fe), 0);
    ASSERT_TRUE(qoxFrontEndKeyDB(fe));
    Events events;
    ASSERT_EQ(CheckAll(fe, false, nullptr, withHandler ? Record : nullptr, &events), 0);
    const auto sigs = Sigs(fe);
    ASSERT_EQ(sigs.size(), 7u);
    for (QOXKeyDBObj* s : sigs) EXPECT_EQ(Trust(s), kGood) << withHandler;
    EXPECT_EQ(events.calls, withHandler ? 7u : 0u);
    EXPECT_EQ(events.total, withHandler ? 7u : 0u);
    // Nothing more to do.
    Events again;
    ASSERT_EQ(CheckAll(fe, false, nullptr, Record, &again), 0);
    EXPECT_EQ(again.calls, 0u);
    QOXFreeKeyDB(fe);
  }
}

// CRLs through doubles of the X.509 bridge: a DER whose first byte is 0xBA
// has a bad signature; the CRL lists serials 7 and 9; certificates are two
// bytes of DER, the last their serial, and a first byte 0xFF does not
// decode.
struct X509Double {
  static inline int verifies = 0;
  static inline int decodes = 0;
  static inline int freed = 0;
  static inline int crl = 0;
  static inline Bytes certs[8];

  static void Install(QOXX509Services* x) {
    verifies = decodes = freed = 0;
    x->qoxX509VerifySignedObject = [](QOXContext*, const QOXPubKey*, const uint8_t* der, size_t length) {
      if (length > 2) ++verifies;  // a CRL, not a certificate
      return der[0] == 0xBA ? kQOXErrInvalidCertSignature : kQOXErrNoErr;
    };
    x->qoxX509BufferToCRL = [](QOXContext*, const uint8_t*, size_t, QOXX509CRL** out) {
      ++decodes;
      *out = reinterpret_cast<QOXX509CRL*>(&crl);
      return kQOXErrNoErr;
    };
    x->qoxX509FreeCRL = [](QOXContext*, QOXX509CRL*) {
      ++freed;
      return kQOXErrNoErr;
    };
    x->qoxX509CRLRevokedCount = [](const QOXX509CRL*) -> size_t { return 2; };
    x->qoxX509CRLRevokedSerial = [](const QOXX509CRL*, size_t i, const uint8_t** bytes, size_t* length) {
      static const uint8_t serials[2] = {7, 9};
      *bytes = &serials[i];
      *length = 1;
      return kQOXErrNoErr;
    };
    x->qoxX509BufferToCert = [](QOXContext*, const uint8_t* der, size_t length, QOXX509Cert** out) {
      *out = nullptr;
      if (der[0] == 0xFF) return kQOXX509ErrCodec;
      for (Bytes& c : certs) {
        if (c.empty()) {
          c.assign(der, der + length);
          *out = reinterpret_cast<QOXX509Cert*>(&c);
          return kQOXErrNoErr;
        }
      }
      return kQOXErrOutOfMemory;
    };
    x->qoxX509CertSerialNumber = [](const QOXX509Cert* cert, const uint8_t** bytes, size_t* length) {
      const Bytes* c = reinterpret_cast<const Bytes*>(cert);
      *bytes = &c->back();
      *length = 1;
      return kQOXErrNoErr;
    };
    x->qoxX509FreeCert = [](QOXContext*, QOXX509Cert* cert) {
      reinterpret_cast<Bytes*>(cert)->clear();
      return kQOXErrNoErr;
    };
  }
};

TEST_F(SigCheckTest, CRLsRevokeListedCertificates) {
  ostrak_test::ScopedServices<QOXX509Services> x509(qoxX509Services, qoxRegisterX509Services);
  X509Double::Install(&x509.table());
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  ASSERT_EQ(ReadFixture("bob.bin"), 0);
  QOXKeyDBObj* alice = KeyNamed("Alice");
  QOXKeyDBObj* bob = KeyNamed("Bob");
  QOXKeyDBObj* bobUID = Children(bob, kQOXKeyDBObjType_UserID)[0];
  // X.509 signatures by alice on bob's user ID, certificates with serials
  // 7, 8, 9 and two that do not decode (the last made is first in alice's
  // chain of signatures).
  std::vector<QOXKeyDBObj*> x509Sigs;
  uint32_t when = 2000000000;
  for (const Bytes& cert : {Bytes{0x30, 7}, Bytes{0xFF, 1}, Bytes{0x30, 8}, Bytes{0x30, 9}, Bytes{0xFF, 2}}) {
    Bytes sub{kQOXX509SubpacketKind_Certificate, 1, 0};
    sub.insert(sub.end(), cert.begin(), cert.end());
    QOXKeyDBObj* s = AddSig(bobUID, V4Sig(0x10, qoxKeyToKeyInfo(alice)->keyID, when++, {{kQOXSubpacket_X509, sub}}),
                            alice);
    qoxSigToSigInfo(s)->sigFlags |= kQOXSigFlag_X509;
    x509Sigs.push_back(s);
  }
  auto crlPacket = [](uint8_t first) {
    return NewPacket(kQOXPktTag_CRL, {4, 1, first, 0x03, 0x02, 0x01, 0x07});
  };
  QOXKeyDBObj* badCRL = AddChild(alice, kQOXObjFlag_CRL, crlPacket(0xBA));
  ASSERT_EQ(CheckAll(db_), 0);
  EXPECT_EQ(qoxCRLToCRLInfo(badCRL)->trustByte, kBad);
  EXPECT_EQ(X509Double::decodes, 0) << "a bad CRL revokes nothing";
  for (QOXKeyDBObj* s : x509Sigs) EXPECT_EQ(Trust(s), kBad) << "tried; the stand-in rebuilds nothing";

  QOXKeyDBObj* goodCRL = AddChild(alice, kQOXObjFlag_CRL, crlPacket(0x30));
  X509Double::verifies = 0;
  db_->dirty = 0;
  ASSERT_EQ(CheckAll(db_), 0);
  EXPECT_EQ(X509Double::verifies, 1) << "the bad CRL was tried before";
  EXPECT_EQ(qoxCRLToCRLInfo(goodCRL)->trustByte, kGood);
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  const uint8_t expected[] = {kBad | kQOXSigTrust_Revoked, kBad, kBad, kBad | kQOXSigTrust_Revoked, kBad};
  for (size_t i = 0; i < x509Sigs.size(); ++i) EXPECT_EQ(Trust(x509Sigs[i]), expected[i]) << i;
  EXPECT_EQ(X509Double::decodes, X509Double::freed);

  // A good CRL is applied on every run without being verified again.
  X509Double::verifies = 0;
  X509Double::decodes = 0;
  ASSERT_EQ(CheckAll(db_), 0);
  EXPECT_EQ(X509Double::verifies, 0);
  EXPECT_EQ(X509Double::decodes, 1);
  // Check-all verifies both again; the results stand.
  ASSERT_EQ(CheckAll(db_, true), 0);
  EXPECT_EQ(X509Double::verifies, 2);
  EXPECT_EQ(qoxCRLToCRLInfo(badCRL)->trustByte, kBad);
  EXPECT_EQ(qoxCRLToCRLInfo(goodCRL)->trustByte, kGood);
  for (size_t i = 0; i < x509Sigs.size(); ++i) EXPECT_EQ(Trust(x509Sigs[i]), expected[i]) << i;
}

// An X.509 signature is good when its certificate verifies under the
// signer and rebuilds the key, user ID and signature packets exactly.
TEST_F(SigCheckTest, X509SignaturesRebuildTheirPackets) {
  ASSERT_EQ(ReadFixture("alice.bin"), 0);
  QOXKeyDBObj* alice = Keys()[0];
  QOXKeyDBObj* uid = Children(alice, kQOXKeyDBObjType_UserID)[0];
  Bytes sub{kQOXX509SubpacketKind_Certificate, 1, 3, 0x30, 0x00};
  QOXKeyDBObj* sig = AddSig(uid, V4Sig(0x10, qoxKeyToKeyInfo(alice)->keyID, 2000000000, {{kQOXSubpacket_X509, sub}}),
                            alice);
  qoxSigToSigInfo(sig)->sigFlags |= kQOXSigFlag_X509;
  EXPECT_FALSE(qoxSigX509Valid(sig, alice)) << "the stand-ins decode nothing";

  static Bytes key, name, signature;
  static int conversion;
  auto body = [](QOXKeyDBObj* o) {
    size_t n = 0;
    const uint8_t* p = qoxFetchObject(o, &n);
    const size_t h = qoxPktBufferHeaderLen(p, n);
    return Bytes(p + h, p + n);
  };
  key = body(alice);
  name = body(uid);
  signature = body(sig);
  ostrak_test::ScopedServices<QOXX509Services> x509(qoxX509Services, qoxRegisterX509Services);
  static int cert;
  x509->qoxX509VerifySignedObject = [](QOXContext*, const QOXPubKey*, const uint8_t* der, size_t length) {
    return length == 2 && der[0] == 0x30 ? kQOXErrNoErr : kQOXErrInvalidCertSignature;
  };
  x509->qoxX509BufferToCert = [](QOXContext*, const uint8_t*, size_t, QOXX509Cert** out) {
    *out = reinterpret_cast<QOXX509Cert*>(&cert);
    return kQOXErrNoErr;
  };
  x509->qoxX509FreeCert = [](QOXContext*, QOXX509Cert*) { return kQOXErrNoErr; };
  x509->qoxX509CertToKeyBuffer = [](QOXContext*, MemPool*, QOXKeyDB*, const QOXX509Cert*, int v, uint8_t** out,
                                    size_t* length) {
    conversion = v;
    *out = key.data();
    *length = key.size();
    return kQOXErrNoErr;
  };
  x509->qoxX509CertToUserIDBuffer = [](QOXContext*, MemPool*, const QOXX509Cert*, int, uint8_t** out,
                                       size_t* length) {
    *out = name.data();
    *length = name.size();
    return kQOXErrNoErr;
  };
  x509->qoxX509CertToSigBuffer = [](QOXContext*, MemPool*, const QOXX509Cert*, int, uint8_t** out,
                                    size_t* length) {
    *out = signature.data();
    *length = signature.size();
    return kQOXErrNoErr;
  };
  EXPECT_TRUE(qoxSigX509Valid(sig, alice));
  EXPECT_EQ(conversion, 3);
  ASSERT_EQ(CheckAll(db_), 0);
  EXPECT_EQ(Trust(sig), kGood);
  name.back() ^= 1;
  EXPECT_FALSE(qoxSigX509Valid(sig, alice));
  name.back() ^= 1;
  signature.pop_back();
  EXPECT_FALSE(qoxSigX509Valid(sig, alice));
}

}  // namespace

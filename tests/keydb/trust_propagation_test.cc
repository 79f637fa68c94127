// Trust propagation: gpg's classic trust model as the oracle over a small
// web (tests/keydb/data/make_trust_fixtures.sh), then built webs for the
// cases gpg cannot show (trust signatures, expiry, revocation, clock skew,
// introducer expressions, another database, a front end), a cycle of twin
// user IDs that must end, a pool that cannot grow, and a flooded user ID
// that must trust in linear time.
#include "keydb/trust_propagation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>

#include "foundation/env.h"
#include "keydb/import_binary.h"
#include "keydb/key_set.h"
#include "keydb/trust.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Cat;
using keydb_test::ReadFile;
using keydb_test::SplitPackets;

constexpr uint8_t kTagSecretKey = 5;
constexpr uint8_t kTagPublicKey = 6;
constexpr uint8_t kTagUserID = 13;

// Subpackets of the built signatures.
std::pair<uint8_t, Bytes> TrustSubpacket(uint8_t level, uint8_t amount) { return {5, {level, amount}}; }
std::pair<uint8_t, Bytes> LocalSubpacket() { return {4, {0}}; }
std::pair<uint8_t, Bytes> RegexSubpacket(const std::string& text) {
  Bytes b(text.begin(), text.end());
  b.push_back(0);
  return {6, b};
}

class TrustPropagationTest : public keydb_test::KeyDBTest {
 protected:
  QOXEnv* env() { return qoxContextGetEnvironment(context_); }
  QOXKeySet* root(QOXKeyDB* db = nullptr) { return QOXPeekKeyDBRootKeySet(db != nullptr ? db : db_); }

  // Reads the web's keys and user IDs, without their signatures, and
  // owner's secret key, into the database.
  void ReadBareWeb(QOXKeyDB* db = nullptr) {
    Bytes bare;
    for (const auto& name : {"web.bin", "web.owner.sec.bin"}) {
      for (const auto& p : SplitPackets(ReadFile(name))) {
        if (p.tag == kTagPublicKey || p.tag == kTagSecretKey || p.tag == kTagUserID)
          bare.insert(bare.end(), p.bytes.begin(), p.bytes.end());
      }
    }
    ASSERT_EQ(Read(bare, false, db), 0);
  }

  QOXKeyDBObj* Key(const char* name, QOXKeyDB* db = nullptr) {
    QOXKeyDBObj* key = KeyNamed(name, db);
    EXPECT_NE(key, nullptr) << name;
    return key;
  }
  QOXKeyDBObj* UserID(QOXKeyDBObj* key, size_t n = 0) { return Children(key, kQOXKeyDBObjType_UserID).at(n); }

  // Owner trust as key management sets it: the legacy value on the key and
  // its external form as every user ID's confidence.
  void SetOwnerTrust(QOXKeyDBObj* key, uint8_t legacy) {
    qoxKeySetTrust(key, legacy);
    for (QOXKeyDBObj* u : Children(key, kQOXKeyDBObjType_UserID))
      qoxUserIDSetConfidence(u, qoxTrustToIntern(qoxTrustOldToExtern(env(), legacy)));
  }

  // A bare web whose owner is axiomatic, marginal1 and marginal2 marginal
  // introducers and full a complete one.
  void BareWebWithOwnerTrust() {
    ReadBareWeb();
    ASSERT_TRUE(qoxKeyIsSec(Key("Web Owner")));
    qoxKeySetAxiomatic(Key("Web Owner"));
    ASSERT_TRUE(qoxKeyAxiomatic(Key("Web Owner")));
    SetOwnerTrust(Key("Web Marginal1"), 5);
    SetOwnerTrust(Key("Web Marginal2"), 5);
    SetOwnerTrust(Key("Web Full"), 6);
  }

  QOXKeyDBObj* Certify(const char* by, const char* what, uint32_t creation = 1800000000,
                       const std::vector<std::pair<uint8_t, Bytes>>& hashed = {}) {
    return NewSig(UserID(Key(what)), Key(by), 0x10, creation, hashed);
  }

  uint8_t Validity(const char* name, size_t n = 0) { return qoxUserIDToUserIDInfo(UserID(Key(name), n))->validity; }

  void Propagate(QOXTime now = 1800000100) { ASSERT_EQ(qoxPropagateTrustInternal(root(), nullptr, now, nullptr), 0); }
};

// gpg --trust-model classic --completes-needed 1 --marginals-needed 2
// --max-cert-depth 4 over the same web: one marginal introducer gives a
// marginal user ID, two give a complete one, one complete introducer a
// complete one, a key nobody certified none; the owner's and its direct
// certifications are certain.
TEST_F(TrustPropagationTest, AgreesWithGpgClassicModel) {
  ASSERT_EQ(ReadFixture("web.bin"), 0);
  ASSERT_EQ(ReadFixture("web.owner.sec.bin"), 0);
  MarkAllChecked();
  // Owner trust as gpg holds it: 6 ultimate, 5 full, 4 marginal.
  std::istringstream trust(keydb_test::ReadText("web.ownertrust.txt"));
  for (std::string line; std::getline(trust, line);) {
    if (line.size() < 43) continue;
    const std::string keyID = line.substr(24, 16);
    const int level = line[41] - '0';
    QOXKeyDBObj* key = nullptr;
    for (QOXKeyDBObj* k : Keys()) {
      if (keydb_test::KeyIDText(k) == keyID) key = k;
    }
    ASSERT_NE(key, nullptr) << line;
    if (level == 6) {
      qoxKeySetAxiomatic(key);
      ASSERT_TRUE(qoxKeyAxiomatic(key)) << "owner's secret key was read";
    } else {
      SetOwnerTrust(key, level == 5 ? 6 : 5);
    }
  }
  ASSERT_EQ(QOXCalculateTrust(root(), nullptr), 0);

  // The classes of gpg's uid validity: complete (u, f), marginal (m),
  // neither (-, q, n, ...: our old validity 0 or 1).
  std::istringstream colons(keydb_test::ReadText("web.colons.txt"));
  int seen = 0;
  for (std::string line; std::getline(colons, line);) {
    if (line.rfind("uid:", 0) != 0) continue;
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string x; std::getline(s, x, ':');) f.push_back(x);
    const char gpgValidity = f.at(1).at(0);
    const std::string name = f.at(9);
    QOXKeyDBObj* key = KeyNamed(name.c_str());
    ASSERT_NE(key, nullptr) << name;
    const int old = qoxUserIDOldValidity(UserID(key));
    const int want = (gpgValidity == 'u' || gpgValidity == 'f') ? 3 : gpgValidity == 'm' ? 2 : -1;
    if (want < 0) {
      EXPECT_LE(old, 1) << name << " gpg: " << gpgValidity;
    } else {
      EXPECT_EQ(old, want) << name << " gpg: " << gpgValidity;
    }
    ++seen;
  }
  EXPECT_EQ(seen, 9);
  // The values behind the classes: a marginal confidence c = 1 - 10^-1.5
  // gives 60; two paths 1 - (1 - c)^2 (not 2c) give 120, as one complete
  // introducer does; a direct certification by the owner is certain.
  EXPECT_EQ(Validity("Web One"), 60);
  EXPECT_EQ(Validity("Web Two"), 120);
  EXPECT_EQ(Validity("Web Three"), 120);
  EXPECT_EQ(Validity("Web Marginal1"), 255);
  EXPECT_EQ(Validity("Web Four"), 0);
  // Signatures carry their signer's legacy owner trust.
  for (QOXKeyDBObj* sig : Children(UserID(Key("Web Two")), kQOXKeyDBObjType_Sig)) {
    const QOXKeyDBObj* signer = qoxSigMaker(sig);
    const uint8_t want = signer == Key("Web Two") ? 0 : 5;
    EXPECT_EQ(qoxSigToSigInfo(sig)->trustByte & kQOXSigTrust_ValueMask, want);
  }
  // A second run changes nothing.
  db_->dirty = 0;
  ASSERT_EQ(QOXCalculateTrust(root(), nullptr), 0);
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
}

// Unchecked signatures carry no trust.
TEST_F(TrustPropagationTest, UncheckedCertificationsCountForNothing) {
  ASSERT_EQ(ReadFixture("web.bin"), 0);
  ASSERT_EQ(ReadFixture("web.owner.sec.bin"), 0);
  qoxKeySetAxiomatic(Key("Web Owner"));
  SetOwnerTrust(Key("Web Full"), 6);
  ASSERT_EQ(QOXCalculateTrust(root(), nullptr), 0);
  EXPECT_EQ(Validity("Web Owner"), 255) << "an axiomatic key's user IDs need no path";
  EXPECT_EQ(Validity("Web Full"), 0);
  EXPECT_EQ(Validity("Web Three"), 0);
}

// A certification from up to a day in the future counts (clock skew); one
// two days ahead does not; an expired certification does not.
TEST_F(TrustPropagationTest, CertificationTimes) {
  BareWebWithOwnerTrust();
  const QOXTime now = 1800000000;
  Certify("Web Owner", "Web One", now + 12 * 3600);
  Certify("Web Owner", "Web Two", now + 2 * 86400);
  Certify("Web Owner", "Web Three", now - 100, {{3, {0, 0, 0, 50}}});  // expired 50 s after creation
  Certify("Web Owner", "Web Four", now - 100, {{3, {0, 0, 1, 0}}});    // 256 s
  Propagate(now);
  EXPECT_EQ(Validity("Web One"), 255);
  EXPECT_EQ(Validity("Web Two"), 0);
  EXPECT_EQ(Validity("Web Three"), 0);
  EXPECT_EQ(Validity("Web Four"), 255);
}

// An axiomatic key past its validity period is marked expired and loses
// its axiomatic bit, secret part or not; its certifications then count for
// nothing. Revoking a key sets its user IDs' validity to 0.
TEST_F(TrustPropagationTest, ExpiryAndRevocation) {
  BareWebWithOwnerTrust();
  QOXKeyDBObj* owner = Key("Web Owner");
  Certify("Web Owner", "Web One");
  Propagate();
  EXPECT_EQ(Validity("Web One"), 255);

  KeyInfo* info = qoxKeyToKeyInfo(owner);
  info->validityDays = 1;
  Propagate(info->creation + 86399);
  EXPECT_TRUE(qoxKeyAxiomatic(owner)) << "under a day";
  Propagate(info->creation + 86400);
  EXPECT_EQ(info->keyTrust & (kQOXKeyTrust_Axiomatic | kQOXKeyTrust_Expired | kQOXKeyTrust_OwnerMask),
            kQOXKeyTrust_Expired | 2);
  EXPECT_EQ(Validity("Web One"), 0);
  EXPECT_EQ(Validity("Web Owner"), 0);

  // Revocation: a self-revocation of one's key.
  info->validityDays = 0;
  qoxKeySetAxiomatic(owner);
  Propagate();
  ASSERT_EQ(Validity("Web One"), 255);
  QOXKeyDBObj* one = Key("Web One");
  NewSig(one, one, 0x20, 1800000050);
  Propagate();
  EXPECT_TRUE(qoxKeyRevoked(one));
  EXPECT_EQ(Validity("Web One"), 0);
  EXPECT_EQ(qoxUserIDOldValidity(UserID(one)), 1);
}

// Trust signatures from the axiomatic key: signedTrust on the target, with
// delegation by level and depth; a local one counts only from an axiomatic
// or secret signer.
TEST_F(TrustPropagationTest, TrustSignaturesAndDelegation) {
  // A path through two introducers of trust 120 (full, then marginal1).
  const double c = 1.0 - 1.0 / qoxTrustToDouble(qoxTrustToIntern(120));
  const uint8_t twoSteps = qoxTrustToExtern(qoxDoubleToTrust(1.0 / (1.0 - c * c)));
  EXPECT_LT(twoSteps, 120);
  struct Case {
    const char* what;
    int32_t depthSetting;
    bool local;
    uint8_t wantFullTrust;
    uint8_t wantFull;
    uint8_t wantThree;
  } cases[] = {
      {"delegated", 4, false, 120, 120, twoSteps},
      {"local by a key without secret part", 4, true, 0, 120, 0},
      {"depth setting 1: no delegation, no path through an introducer", 1, false, 0, 0, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TearDown();
    SetUp();
    ReadBareWeb();
    qoxKeySetAxiomatic(Key("Web Owner"));
    ASSERT_EQ(qoxenvSetInt(env(), kQOXEnvTrustParam, k.depthSetting, kQOXEnvPriorityOptions), 0);
    Certify("Web Owner", "Web Marginal1", 1800000000, {TrustSubpacket(2, 120)});
    std::vector<std::pair<uint8_t, Bytes>> hashed{TrustSubpacket(1, 120)};
    if (k.local) hashed.push_back(LocalSubpacket());
    Certify("Web Marginal1", "Web Full", 1800000000, hashed);
    Certify("Web Full", "Web Three");
    Propagate();
    EXPECT_EQ(qoxKeyToKeyInfo(Key("Web Marginal1"))->signedTrust, 120);
    EXPECT_EQ(qoxKeyToKeyInfo(Key("Web Full"))->signedTrust, k.wantFullTrust);
    EXPECT_EQ(Validity("Web Marginal1"), 255);
    EXPECT_EQ(Validity("Web Full"), k.wantFull);
    EXPECT_EQ(Validity("Web Three"), k.wantThree);
  }
}

// An introducer limited by an expression vouches only for the user IDs
// that match it; the text is matched as it stands in the packet.
TEST_F(TrustPropagationTest, IntroducerExpression) {
  ReadBareWeb();
  qoxKeySetAxiomatic(Key("Web Owner"));
  QOXKeyDBObj* limit = Certify("Web Owner", "Web Marginal1", 1800000000,
                               {TrustSubpacket(1, 120), RegexSubpacket("<[a-z]*@example\\.org>$")});
  ASSERT_NE(qoxSigToSigInfo(limit)->sigFlags & kQOXSigFlag_RegExp, 0u);
  Certify("Web Marginal1", "Web One");
  QOXKeyDBObj* two = Key("Web Two");
  QOXKeyDBObj* eve = NewUserID(two, "Eve <eve@example.org.evil>");
  NewSig(eve, Key("Web Marginal1"), 0x10, 1800000000);
  Propagate();
  EXPECT_EQ(Validity("Web One"), 120);
  EXPECT_EQ(qoxUserIDToUserIDInfo(eve)->validity, 0);
  EXPECT_EQ(qoxKeyToKeyInfo(Key("Web Marginal1"))->introducerRegexp, nullptr) << "cleared after the run";
  // A trust signature whose expression does not compile counts for nothing.
  QOXKeyDBObj* full = Key("Web Full");
  Certify("Web Owner", "Web Full", 1800000000, {TrustSubpacket(1, 120), RegexSubpacket("(unclosed")});
  Certify("Web Full", "Web Three");
  Propagate();
  EXPECT_EQ(qoxKeyToKeyInfo(full)->signedTrust, 0);
  EXPECT_EQ(Validity("Web Three"), 0);
}

// Two keys whose equal user IDs certify each other, each with one
// confident and one zero-confidence user ID: the search through twin user
// IDs ends, and no path arises.
TEST_F(TrustPropagationTest, TwinUserIDsCertifyingEachOtherEnd) {
  ReadBareWeb();
  qoxKeySetAxiomatic(Key("Web Owner"));
  QOXKeyDBObj* a = Key("Web Loner");
  QOXKeyDBObj* b = Key("Web Four");
  QOXKeyDBObj* twinA = NewUserID(a, "Twin <twin@example.org>");
  QOXKeyDBObj* twinB = NewUserID(b, "Twin <twin@example.org>");
  for (QOXKeyDBObj* u : {UserID(a), UserID(b)}) qoxUserIDSetConfidence(u, 7680);
  qoxUserIDSetConfidence(twinA, 0);
  qoxUserIDSetConfidence(twinB, 0);
  NewSig(twinA, b, 0x10, 1800000000);
  NewSig(twinB, a, 0x10, 1800000000);
  Propagate();
  EXPECT_EQ(qoxUserIDToUserIDInfo(twinA)->validity, 0);
  EXPECT_EQ(qoxUserIDToUserIDInfo(twinB)->validity, 0);
}

// A key of another database that is axiomatic there makes paths here,
// found by the certifier's key ID; the other database's validity of the
// same user ID is kept when larger, but not its "undefined" (253, every
// user ID there that no run has rated).
TEST_F(TrustPropagationTest, AnotherDatabase) {
  ReadBareWeb();
  QOXKeyDB* mine = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &mine), 0);
  ReadBareWeb(mine);
  qoxKeySetAxiomatic(Key("Web Owner", mine));
  // Here owner holds no secret part and is not axiomatic.
  qoxKeyToKeyInfo(Key("Web Owner"))->keyFlags &= ~kQOXKeyFlag_Secret;
  Certify("Web Owner", "Web One", 1790000000);
  qoxUserIDToUserIDInfo(UserID(Key("Web Two", mine)))->validity = 200;
  ASSERT_EQ(QOXCalculateTrust(root(), mine), 0);
  EXPECT_EQ(Validity("Web One"), 255);
  EXPECT_EQ(Validity("Web Two"), 200);
  EXPECT_EQ(Validity("Web Three"), 0);
  EXPECT_EQ(QOXCalculateTrust(root(), reinterpret_cast<QOXKeyDB*>(root())), kQOXErrBadParams);
  EXPECT_EQ(QOXCalculateTrust(nullptr, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeKeyDB(mine), 0);
}

// A front end has its back end propagate and sees the new values.
TEST_F(TrustPropagationTest, ThroughAFrontEnd) {
  const Bytes bytes = Cat({ReadFile("web.bin"), ReadFile("web.owner.sec.bin")});
  QOXKeyDB* front = nullptr;
  ASSERT_EQ(qoxImportKeyBinary(context_, bytes.data(), bytes.size(), &front), 0);
  QOXKeyDB* back = reinterpret_cast<QOXKeyDB*>(front->backendID);
  MarkAllChecked(back);
  QOXKeyDBObj* owner = Key("Web Owner", back);
  ASSERT_TRUE(qoxKeyIsSec(owner));
  qoxKeySetAxiomatic(owner);
  QOXKeyDBObj* marginal1 = UserID(Key("Web Marginal1", front));
  EXPECT_EQ(qoxUserIDToUserIDInfo(marginal1)->validity, kQOXTrustExternUndefined);
  front->dirty = 0;
  ASSERT_EQ(QOXCalculateTrust(QOXPeekKeyDBRootKeySet(front), nullptr), 0);
  EXPECT_TRUE(qoxKeyDBIsDirty(front));
  EXPECT_EQ(qoxUserIDToUserIDInfo(UserID(Key("Web Marginal1", front)))->validity, 255) << "refreshed";
  EXPECT_EQ(QOXFreeKeyDB(front), 0);
}

// A context whose memory refuses: the path pool cannot grow, the run still
// ends with 0 and writes through no missing cell; user IDs keep what the
// first pass gave them.
TEST(TrustPropagationMemoryTest, PoolThatCannotGrow) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  ostrak_test::CountingMemoryMgr counts;
  QOXNewContextStruct record{kQOXAPIVersion, counts.Make(), 0};
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContextCustom(&record, &context), 0);
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context, &db), 0);
  for (const auto& name : {"web.bin", "web.owner.sec.bin"}) {
    const Bytes bytes = ReadFile(name);
    QOXFile* file = qoxFileMemOpen(context, bytes.data(), bytes.size());
    ASSERT_EQ(qoxReadKeyFile(db, file, false), 0);
    file->close(file);
  }
  QOXKeyDBObj* owner = nullptr;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    if (qoxKeyIsSec(k)) owner = k;
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
        if (SigInfo* s = qoxSigToSigInfo(g)) s->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
      }
    }
  }
  ASSERT_NE(owner, nullptr);
  qoxKeySetAxiomatic(owner);
  counts.FailAfter(0);
  EXPECT_EQ(qoxPropagateTrustInternal(QOXPeekKeyDBRootKeySet(db), nullptr, 1800000000, nullptr), 0);
  counts.FailAfter(-1);
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      if (UserIDInfo* u = qoxUserIDToUserIDInfo(c)) EXPECT_EQ(u->validity, k == owner ? 255 : 0);
    }
  }
  // With memory back, the same run finds the paths.
  EXPECT_EQ(qoxPropagateTrustInternal(QOXPeekKeyDBRootKeySet(db), nullptr, 1800000000, nullptr), 0);
  int certain = 0;
  for (QOXKeyDBObj* k = db->firstKey; k != nullptr; k = k->next) {
    for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
      if (UserIDInfo* u = qoxUserIDToUserIDInfo(c)) certain += u->validity == 255;
    }
  }
  EXPECT_EQ(certain, 4) << "owner and the three keys it certified";
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  QOXFreeContext(context);
  QOXsdkCleanup();
}

// A user ID flooded with certifications, by absent signers and by one real
// introducer many times over, trusts in linear time: 24,000 certifications
// take a few milliseconds (a search that looks for each signature's newer
// twin took seconds); the shape over sizes is bench/keydb_trust_bench.
TEST_F(TrustPropagationTest, FloodedUserIDTrustsInLinearTime) {
  BareWebWithOwnerTrust();
  Certify("Web Owner", "Web Full");
  QOXKeyDBObj* full = Key("Web Full");
  QOXKeyDBObj* one = Key("Web One");
  QOXKeyDBObj* uid = UserID(one);
  auto flood = [&](int from, int to) {
    Bytes stream;
    for (int i = from; i < to; ++i) {
      // Scattered key IDs, so that the key-ID tree of the absent signers
      // stays shallow.
      const uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
      const uint8_t issuer[8] = {0xF0, 0, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(h >> 24),
                                 static_cast<uint8_t>(h >> 16), static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
      const Bytes absent = keydb_test::V4Sig(0x10, issuer, 1700000000 + i);
      const Bytes byFull = keydb_test::V4Sig(0x10, qoxKeyToKeyInfo(full)->keyID, 1700000000 + i);
      stream.insert(stream.end(), absent.begin(), absent.end());
      stream.insert(stream.end(), byFull.begin(), byFull.end());
    }
    for (const auto& p : SplitPackets(stream)) {
      QOXError err = 0;
      QOXKeyDBObj* s = qoxAddSig(2, p.bytes.data(), p.bytes.size(), db_, uid, &err);
      ASSERT_NE(s, nullptr);
      qoxSigToSigInfo(s)->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
    }
  };
  auto timed = [&] {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(qoxPropagateTrustInternal(root(), nullptr, 1800000000, nullptr), 0);
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  };
  flood(0, 12000);
  EXPECT_LT(timed(), 0.5) << "seconds for one run";
  EXPECT_EQ(qoxUserIDToUserIDInfo(uid)->validity, 120) << "the newest certification by full counts";
}

}  // namespace

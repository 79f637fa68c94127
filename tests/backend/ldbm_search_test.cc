// The backend's search over entries stored through its add: scopes, limits,
// key tracking, virtual key attributes and referrals, answered on a socket
// and decoded back; and the key lookups of key submission.
#include <algorithm>

#include "ldbm_ops_support.h"
#include "server/backend.h"
#include "server/filter.h"

namespace {

constexpr const char* kActive = "OU=ACTIVE,O=QOX KEYSPACE,C=US";
constexpr const char* kPending = "OU=PENDING,O=QOX KEYSPACE,C=US";
const std::string kCertA = "00000000AAAA0001";
const std::string kCertB = "00000000BBBB0002";

Filter Equality(const char* type, const char* value) {
  Filter f{};
  f.choice = kFilterEquality;
  f.ava.type = const_cast<char*>(type);
  f.ava.value = const_cast<char*>(value);
  f.ava.length = static_cast<uint32_t>(strlen(value));
  return f;
}

Filter Present(const char* type) {
  Filter f{};
  f.choice = kFilterPresent;
  f.type = const_cast<char*>(type);
  return f;
}

class SearchTest : public OpsFixture {
 protected:
  void SetUp() override {
    OpsFixture::SetUp();
    if (HasFatalFailure()) return;
    AddKey(kCertA, {"ALICE ONE", "ALICE TWO"}, "qoxreconprompts: p\nqoxreconhashrepetitions: 9\n");
    AddKey(kCertB, {"BOB THREE"}, "qoxkeyv2: KEYV2-B\n");
    AddKey("00000000CCCC0003", {"ALICE PENDING"}, "", kPending);
  }
  Reply Search(const char* base, int scope, Filter* f, std::vector<const char*> attrs = {}, int sizeLimit = 0,
               int timeLimit = 0, int* rc = nullptr) {
    std::vector<char*> a;
    for (const char* s : attrs) a.push_back(const_cast<char*>(s));
    a.push_back(nullptr);
    int r = ldbm_back_search(be(), &conn_, &op_, base, scope, 0, sizeLimit, timeLimit, f, "", attrs.empty() ? nullptr : a.data(), 0);
    if (rc != nullptr) *rc = r;
    return Drain();
  }
};

TEST_F(SearchTest, EqualityOnKeyIDFindsTheUserIDEntries) {
  Filter f = Equality("qoxkeyid", "AAAA0001");
  Reply r = Search(kActive, 2, &f);
  EXPECT_EQ(r.code, 0);
  std::vector<std::string> dns = r.dns();
  std::sort(dns.begin(), dns.end());
  EXPECT_EQ(dns, (std::vector<std::string>{"QOXUSERID=ALICE ONE," + KeyDN(kCertA),
                                           "QOXUSERID=ALICE TWO," + KeyDN(kCertA)}));
}

TEST_F(SearchTest, SubtreeOfActiveLeavesPendingOut) {
  Filter f{};
  f.choice = kFilterSubstrings;
  f.type = const_cast<char*>("qoxuserid");
  BerValue initial{3, const_cast<char*>("ALI")};
  f.initial = &initial;
  Reply r = Search(kActive, 2, &f);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.entries.size(), 2u);
  for (const Answer& a : r.entries) EXPECT_EQ(a.dn.find("PENDING"), std::string::npos) << a.dn;
  r = Search("O=QOX KEYSPACE,C=US", 2, &f);
  EXPECT_EQ(r.entries.size(), 3u);
}

TEST_F(SearchTest, OneLevelUnderAKeyEntryReturnsItsMatchingChildren) {
  Filter f = Present("objectclass");
  Reply r = Search(KeyDN(kCertA).c_str(), 1, &f);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.entries.size(), 2u);
  Filter one = Equality("qoxuserid", "ALICE TWO");
  r = Search(KeyDN(kCertA).c_str(), 1, &one);
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].dn, "QOXUSERID=ALICE TWO," + KeyDN(kCertA));
  // Base scope: the entry itself when it matches.
  r = Search(KeyDN(kCertB).c_str(), 0, &f);
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].dn, KeyDN(kCertB));
}

TEST_F(SearchTest, RefusalsBeforeTheFirstCandidate) {
  Filter f = Present("objectclass");
  int rc = 0;
  Reply r = Search("QOXCERTID=0000000000000000,OU=ACTIVE,O=QOX KEYSPACE,C=US", 2, &f, {}, 0, 0, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(r.code, 32);
  r = Search(kActive, 7, &f, {}, 0, 0, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "Bad scope");
  Filter none = Equality("qoxkeyid", "FFFFFFFF");
  r = Search(kActive, 2, &none, {}, 0, 0, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(r.entries.empty());
}

// The smaller non-zero of the client's and the server's size limits wins.
TEST_F(SearchTest, SizeLimits) {
  Filter f = Present("objectclass");
  struct Case {
    int server, client;
    size_t entries;
    int code;
  } cases[] = {
      {4, 0, 4, 4},   // the server's limit
      {4, 9, 4, 4},   // a client limit above it is lowered
      {4, 2, 2, 4},   // a smaller client limit holds
      {0, 3, 3, 4},   // no server limit: the client's still holds
      {0, 0, 10, 0},  // no limit at all (the 10 entries under the key space)
  };
  for (const Case& c : cases) {
    g->SizeLimit = c.server;
    Reply r = Search("O=QOX KEYSPACE,C=US", 2, &f, {}, c.client);
    EXPECT_EQ(r.entries.size(), c.entries) << c.server << "/" << c.client;
    EXPECT_EQ(r.code, c.code) << c.server << "/" << c.client;
  }
}

TEST_F(SearchTest, TimeLimitEndsWithResultThree) {
  Filter f = Present("objectclass");
  op_.startTime -= 100;  // the operation began long ago
  for (int server : {0, 3}) {
    g->TimeLimit = server;
    Reply r = Search(kActive, 2, &f, {}, 0, 3);
    EXPECT_EQ(r.code, 3) << server;
    EXPECT_TRUE(r.entries.empty());
  }
  // Neither side sets a limit: the search runs to its end.
  g->TimeLimit = 0;
  Reply r = Search(kActive, 2, &f, {}, 0, 0);
  EXPECT_EQ(r.code, 0);
}

TEST_F(SearchTest, KeyTrackingSendsEachKeyOnceWithItsVirtualKeyBlock) {
  Filter f{};
  f.choice = kFilterSubstrings;
  f.type = const_cast<char*>("qoxuserid");
  BerValue initial{5, const_cast<char*>("ALICE")};
  f.initial = &initial;
  Reply r = Search(kActive, 2, &f, {"qoxkey"});
  ASSERT_EQ(r.entries.size(), 1u);
  ASSERT_NE(r.entries[0].values("qoxkey"), nullptr);
  EXPECT_EQ(*r.entries[0].values("qoxkey"), std::vector<std::string>{"KEY-" + kCertA});
  // Another type beside the key turns tracking off.
  r = Search(kActive, 2, &f, {"qoxkey", "qoxuserid"});
  EXPECT_EQ(r.entries.size(), 2u);
}

TEST_F(SearchTest, VirtualKeyV2AndReconstructionAttributes) {
  Filter users = Equality("objectclass", "QOXUSERID");
  // A user-ID entry of a key with only qoxkey gets it under qoxkeyv2.
  Reply r = Search(KeyDN(kCertA).c_str(), 1, &users, {"qoxkeyv2"});
  ASSERT_EQ(r.entries.size(), 1u);  // key tracking
  ASSERT_NE(r.entries[0].values("qoxkeyv2"), nullptr);
  EXPECT_EQ((*r.entries[0].values("qoxkeyv2"))[0], "KEY-" + kCertA);
  // A key entry with its own qoxkeyv2 sends only that one.
  Filter keys = Equality("objectclass", "QOXCERTIFICATE");
  r = Search(KeyDN(kCertB).c_str(), 0, &keys, {"qoxkeyv2"});
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(*r.entries[0].values("qoxkeyv2"), std::vector<std::string>{"KEYV2-B"});
  // Both reconstruction types: exactly those two, from the key entry.
  r = Search(KeyDN(kCertA).c_str(), 1, &users, {"qoxreconprompts", "qoxreconhashrepetitions", "qoxkey"});
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_NE(r.entries[0].values("qoxreconprompts"), nullptr);
  EXPECT_NE(r.entries[0].values("qoxreconhashrepetitions"), nullptr);
  EXPECT_EQ(r.entries[0].values("qoxkey"), nullptr);
}

TEST_F(SearchTest, ReferralsEndWithResultNine) {
  ASSERT_EQ(Add(std::string("dn: ref=other,") + kActive + "\nobjectclass: referral\nref: ldap://a.example/\nref: ldap://b.example/\n"), 0);
  Filter f = Present("objectclass");
  Reply r = Search(kActive, 2, &f);
  EXPECT_EQ(r.code, 9);
  EXPECT_EQ(r.text, "Referral:\nldap://a.example/\nldap://b.example/");
  for (const Answer& a : r.entries) EXPECT_NE(a.dn.substr(0, 4), "ref=");
  // In one-level scope the entry is an ordinary entry.
  r = Search(kActive, 1, &f);
  EXPECT_EQ(r.code, 0);
}

TEST_F(SearchTest, AbandonedSearchSendsNothing) {
  op_.abandoned = 1;
  Filter f = Present("objectclass");
  int rc = -5;
  Reply r = Search(kActive, 2, &f, {}, 0, 0, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(r.entries.empty());
}

// A client that has hung up (here: shut down its sending side) gets
// nothing more: the search stops at its first candidate, as an abandoned
// one does, instead of testing and sending every candidate.
TEST_F(SearchTest, SearchOfAHungUpClientStops) {
  ASSERT_EQ(shutdown(sv_[1], SHUT_WR), 0);
  Filter f = Present("objectclass");
  int rc = -5;
  Reply r = Search(kActive, 2, &f, {}, 0, 0, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(r.entries.empty());
}

TEST_F(SearchTest, KeyBlockByKeyIDOrCertificateID) {
  struct Case {
    std::string id;
    int rc;
  } cases[] = {
      {"0xBBBB0002", 0},
      {"BBBB0002", 0},
      {"0x" + kCertB, 0},
      {"0XBBBB0002", kQOXErrItemNotFound},  // an upper-case X is not a prefix
      {"0xDDDD0004", kQOXErrItemNotFound},
      {"0x" + kCertA.substr(0, 15), kQOXErrItemNotFound},
  };
  for (const Case& c : cases) {
    char buffer[40] = {};
    snprintf(buffer, sizeof buffer, "%s", c.id.c_str());
    uint8_t* key = nullptr;
    uint8_t* keyV2 = nullptr;
    size_t keyLength = 9, keyV2Length = 9;
    uint8_t disabled = 7;
    EXPECT_EQ(KeyID2KeyBlock(be(), buffer, kActive, &key, &keyLength, &keyV2, &keyV2Length, &disabled), c.rc) << c.id;
    if (c.rc == 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(key), keyLength), "KEY-" + kCertB);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(keyV2), keyV2Length), "KEYV2-B");
      EXPECT_EQ(disabled, 0);
    }
    zovurezFree(key);
    zovurezFree(keyV2);
  }
  // A stored certificate ID that is not 16 hex digits is passed over and
  // never copied into the caller's 17-byte buffer.
  ASSERT_EQ(Add("dn: QOXUSERID=X," + KeyDN(kCertB) + "\nobjectclass: qoxuserid\nqoxkeyid: EEEE0005\n"
                "qoxcertid: 00000000BBBB000200000000BBBB0002\n"),
            0);
  char shortBuffer[17] = "0xEEEE0005";
  uint8_t* k = nullptr;
  uint8_t* k2 = nullptr;
  size_t kl, k2l;
  uint8_t dis;
  EXPECT_EQ(KeyID2KeyBlock(be(), shortBuffer, kActive, &k, &kl, &k2, &k2l, &dis), kQOXErrItemNotFound);
  EXPECT_STREQ(shortBuffer, "0xEEEE0005");
  uint8_t* set = reinterpret_cast<uint8_t*>(1);
  uint8_t* none = nullptr;
  size_t l1, l2;
  uint8_t d;
  char id[] = "0xBBBB0002";
  EXPECT_EQ(KeyID2KeyBlock(be(), id, kActive, &set, &l1, &none, &l2, &d), kQOXErrBadParams);
}

TEST_F(SearchTest, KeyIDOfADN) {
  struct Case {
    std::string dn;
    const char* id;
  } cases[] = {
      {KeyDN(kCertA), "00000000AAAA0001"},
      {"qoxuserid=alice one, qoxcertid=00000000aaaa0001,ou=active,o=qox keyspace,c=us", "00000000AAAA0001"},
      {"QOXCERTID=00000000AAAA00011,OU=ACTIVE,O=QOX KEYSPACE,C=US", nullptr},  // 17 digits
      {"QOXCERTID=00000000AAAA00G1,OU=ACTIVE,O=QOX KEYSPACE,C=US", nullptr},
      {kActive, nullptr},
  };
  for (const Case& c : cases) {
    char* id = nullptr;
    int rc = ExtractKeyIDFromDN(c.dn.c_str(), &id);
    if (c.id == nullptr) {
      EXPECT_EQ(rc, 1) << c.dn;
    } else {
      ASSERT_EQ(rc, 0) << c.dn;
      EXPECT_STREQ(id, c.id);
    }
    zovurezFree(id);
  }
}

TEST_F(SearchTest, StoredKeyAsKeySet) {
  uint8_t v2 = 0;
  QOXKeyDB* db = nullptr;
  QOXKeySet* set = nullptr;
  uint8_t* block = nullptr;
  size_t length = 0;
  auto call = [&](const std::string& dn) {
    zovurezFree(block);
    block = nullptr;
    return GetCertObject(be(), dn.c_str(), context_, &v2, &db, &set, &block, &length);
  };
  EXPECT_EQ(call(KeyDN("00000000EEEE0009")), 0);  // no stored key
  EXPECT_EQ(set, nullptr);
  // A stored block that holds no key is reported unimportable, never as
  // absent.
  EXPECT_EQ(call(KeyDN(kCertB)), 89);
  EXPECT_EQ(v2, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), length), "KEYV2-B");
  ASSERT_EQ(Add("dn: " + KeyDN("00000000DDDD0004") + "\nobjectclass: qoxcertificate\nqoxkey: K\nqoxdisabled: 1\n"), 0);
  EXPECT_EQ(call(KeyDN("00000000DDDD0004")), 52);
  ASSERT_EQ(Add("dn: " + KeyDN("00000000FFFF0005") + "\nobjectclass: qoxcertificate\n"), 0);
  EXPECT_EQ(call(KeyDN("00000000FFFF0005")), 1);
  zovurezFree(block);
  uint8_t* notNull = reinterpret_cast<uint8_t*>(&v2);
  EXPECT_EQ(GetCertObject(be(), KeyDN(kCertB).c_str(), context_, &v2, &db, &set, &notNull, &length),
            kQOXErrBadParams);
}

TEST_F(SearchTest, IndexMethodInTheRootEntry) {
  int method = 0;
  EXPECT_EQ(ReadIndexMethodFromDB(be(), &method), 0);
  EXPECT_EQ(method, 1);
  EXPECT_EQ(Stored("O=QOX KEYSPACE,C=US", "indexmethod"), "substring");
  EXPECT_EQ(WriteIndexMethodToDB(be(), 3), -3);
  // A second value is added; the first one decides.
  EXPECT_EQ(WriteIndexMethodToDB(be(), 2), 0);
  EXPECT_EQ(ReadIndexMethodFromDB(be(), &method), 0);
  EXPECT_EQ(method, 1);
}

}  // namespace

// Leaf delete, key delete and disable with their user-ID children and
// replication records, the rollbacks, and the removal of pending keys.
#include "ldbm_ops_support.h"
#include "server/key_submission_services.h"
#include "tests/common/scoped_services.h"

namespace {

constexpr const char* kActive = "OU=ACTIVE,O=QOX KEYSPACE,C=US";
constexpr const char* kPending = "OU=PENDING,O=QOX KEYSPACE,C=US";
const std::string kCert = "00000000AAAA0001";

// What the replication log was asked to write, and whether the key entry
// still existed at that moment.
struct RepRecord {
  std::string firstType;
  bool keyPresent;
};
std::vector<RepRecord> gRecords;
Backend* gBackend = nullptr;
std::string gWatchedDN;

// The replication log is observed here instead of written.
void ObserveRepLog(Backend*, Connection*, int, const char*, Entry* e, int request) {
  EXPECT_EQ(request, 1);
  bool present = false;
  if (gBackend != nullptr) {
    char* matched = nullptr;
    Entry* key = dn2entry(gBackend, gWatchedDN.c_str(), &matched);
    present = key != nullptr;
    if (key != nullptr) cache_return_entry(&LdbmState(gBackend)->entryCache, key);
  }
  gRecords.push_back({e->e_attrs->a_type, present});
}

class KeyDeleteTest : public OpsFixture {
 protected:
  void SetUp() override {
    OpsFixture::SetUp();
    if (HasFatalFailure()) return;
    gRecords.clear();
    keySubmission_->qoxRepLog = ObserveRepLog;
    gBackend = be();
    gWatchedDN = KeyDN(kCert);
    std::string text = "dn: cn=request\nqoxkey: signed request\n";
    request_ = str2entry(text.data());
    ASSERT_NE(request_, nullptr);
  }
  void TearDown() override {
    entry_free(request_);
    gBackend = nullptr;
    OpsFixture::TearDown();
  }
  bool Exists(const std::string& dn) {
    char* matched = nullptr;
    Entry* e = dn2entry(be(), dn.c_str(), &matched);
    if (e != nullptr) cache_return_entry(cache(), e);
    return e != nullptr;
  }
  std::string UidDN(const std::string& uid) { return "QOXUSERID=" + uid + "," + KeyDN(kCert); }
  std::string Flags() {  // key, then children
    std::string s = Stored(KeyDN(kCert), "qoxdisabled");
    for (const char* uid : {"ONE", "TWO", "THREE"}) s += "/" + Stored(UidDN(uid), "qoxdisabled");
    return s;
  }
  Entry* request_ = nullptr;
  ostrak_test::ScopedServices<VuzizKeySubmissionServices> keySubmission_{vuzizKeySubmissionServices,
                                                                         vuzizRegisterKeySubmissionServices};
};

TEST_F(KeyDeleteTest, LeafDeleteRefusals) {
  AddKey(kCert, {"ONE"});
  int result = 0;
  char* matched = nullptr;
  EXPECT_EQ(ldbm_QOX_back_delete(be(), &conn_, &op_, KeyDN(kCert).c_str(), nullptr, &result, &matched), -1);
  EXPECT_EQ(result, 66);
  EXPECT_EQ(ldbm_QOX_back_delete(be(), &conn_, &op_, "O=QOX KEYSPACE,C=US", nullptr, &result, &matched), -1);
  EXPECT_EQ(result, 66);
  ASSERT_EQ(Add("dn: cn=lone,OU=PENDING,O=QOX KEYSPACE,C=US\nobjectclass: x\n"), 0);
  g->DefaultAccess = 16;
  EXPECT_EQ(ldbm_QOX_back_delete(be(), &conn_, &op_, "cn=lone,OU=PENDING,O=QOX KEYSPACE,C=US", nullptr, &result,
                                 &matched),
            -1);
  EXPECT_EQ(result, 50);
  g->DefaultAccess = 128;
  EXPECT_EQ(ldbm_back_delete(be(), &conn_, &op_, "cn=missing,O=QOX KEYSPACE,C=US"), -1);
  EXPECT_EQ(Drain().code, 32);
  EXPECT_EQ(ldbm_back_delete(be(), &conn_, &op_, "cn=lone,OU=PENDING,O=QOX KEYSPACE,C=US"), 0);
  EXPECT_EQ(Drain().code, 0);
  EXPECT_FALSE(Exists("cn=lone,OU=PENDING,O=QOX KEYSPACE,C=US"));
  // The DN is free again.
  EXPECT_EQ(Add("dn: cn=lone,OU=PENDING,O=QOX KEYSPACE,C=US\nobjectclass: x\n"), 0);
}

TEST_F(KeyDeleteTest, DeleteKeyRemovesChildrenThenKeyAndThenLogs) {
  AddKey(kCert, {"ONE", "TWO"});
  EXPECT_EQ(DeleteKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 0);
  EXPECT_FALSE(Exists(KeyDN(kCert)));
  EXPECT_FALSE(Exists(UidDN("ONE")));
  EXPECT_FALSE(Exists(UidDN("TWO")));
  ASSERT_EQ(gRecords.size(), 1u);
  EXPECT_EQ(gRecords[0].firstType, "qoxrequest");
  EXPECT_FALSE(gRecords[0].keyPresent);  // written once the key is gone
  EXPECT_STREQ(request_->e_attrs->a_type, "qoxkey");
  EXPECT_EQ(DeleteKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 32);
}

TEST_F(KeyDeleteTest, DeleteKeyRefusalsChangeNothing) {
  AddKey(kCert, {"ONE"});
  g->DefaultAccess = 16;
  EXPECT_EQ(DeleteKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 50);
  g->DefaultAccess = 128;
  op_.abandoned = 1;
  EXPECT_EQ(DeleteKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 88);
  EXPECT_EQ(DisableKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 88);
  op_.abandoned = 0;
  EXPECT_TRUE(Exists(KeyDN(kCert)));
  EXPECT_TRUE(Exists(UidDN("ONE")));
  EXPECT_EQ(Stored(KeyDN(kCert), "qoxdisabled"), "<none>");
  EXPECT_TRUE(gRecords.empty());
}

TEST_F(KeyDeleteTest, DisableSetsEveryFlagOnceAndLogs) {
  AddKey(kCert, {"ONE", "TWO", "THREE"}, "qoxdisabled: 0\n");
  EXPECT_EQ(DisableKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 0);
  EXPECT_EQ(Flags(), "1/1/1/1");  // replace on the key, add on the children
  ASSERT_EQ(gRecords.size(), 1u);
  EXPECT_EQ(gRecords[0].firstType, "qoxrequest");
  EXPECT_EQ(DisableKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 32);
  EXPECT_EQ(gRecords.size(), 1u);
}

TEST_F(KeyDeleteTest, DisableStopsAtAnAlreadyDisabledChild) {
  AddKey(kCert, {"ONE", "TWO", "THREE"});
  Entry* two = Reread(UidDN("TWO"));
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(SetDisableFlag(be(), &conn_, &op_, two, '1'), 0);  // gives it back
  EXPECT_EQ(DisableKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 32);
  EXPECT_EQ(Flags(), "1/0/1/<none>");
  EXPECT_TRUE(gRecords.empty());
}

TEST_F(KeyDeleteTest, DisableRollsBackTheKeyWhenAChildCannotBeRead) {
  AddKey(kCert, {"ONE", "TWO", "THREE"});
  Entry* three = Reread(UidDN("THREE"));
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(id2entry_delete(be(), three), 0);  // still listed as a child
  cache_return_entry(cache(), three);
  EXPECT_EQ(DisableKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 1);
  EXPECT_EQ(Stored(KeyDN(kCert), "qoxdisabled"), "0");
  EXPECT_EQ(Stored(UidDN("ONE"), "qoxdisabled"), "0");
  EXPECT_EQ(Stored(UidDN("TWO"), "qoxdisabled"), "0");
  EXPECT_TRUE(gRecords.empty());
}

TEST_F(KeyDeleteTest, DisableAKeyWithoutUserIDs) {
  AddKey(kCert, {});
  EXPECT_EQ(DisableKey(be(), &conn_, &op_, request_, KeyDN(kCert).c_str()), 0);
  EXPECT_EQ(Stored(KeyDN(kCert), "qoxdisabled"), "1");
  EXPECT_EQ(gRecords.size(), 1u);
}

TEST_F(KeyDeleteTest, PendingRemovalCarriesReconstructionDataAndFreesTheDN) {
  AddKey(kCert, {},
         "qoxrecondata: D\nqoxreconprompts: P\nqoxreconhashrepetitions: 7\n", kPending);
  std::string text = "dn: " + KeyDN(kCert) + "\nobjectclass: qoxcertificate\nqoxkey: K\n";
  Entry* fresh = str2entry(text.data());
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(ldbm_back_delete_from_pending(be(), kCert.c_str(), fresh, 1), 0);
  EXPECT_EQ(FirstValue(fresh, "qoxrecondata"), "D");
  EXPECT_EQ(FirstValue(fresh, "qoxreconprompts"), "P");
  EXPECT_EQ(FirstValue(fresh, "qoxreconhashrepetitions"), "7");
  entry_free(fresh);
  EXPECT_FALSE(Exists(KeyDN(kCert, kPending)));
  // The DN and the bucket's children list were cleared: the key may come
  // back to the pending area.
  AddKey(kCert, {}, "", kPending);
  EXPECT_EQ(ldbm_back_delete_from_pending(be(), "00000000FFFF0009", nullptr, 0), 0);
}

TEST_F(KeyDeleteTest, PendingRemovalRecoversAStaleDNRecord) {
  AddKey(kCert, {}, "", kPending);
  // An older removal took only the entry table's record.
  Entry* e = Reread(KeyDN(kCert, kPending));
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(id2entry_delete(be(), e), 0);
  cache_return_entry(cache(), e);
  EXPECT_EQ(Add("dn: " + KeyDN(kCert, kPending) + "\nobjectclass: qoxcertificate\n"), 1);
  EXPECT_EQ(ldbm_back_delete_from_pending(be(), kCert.c_str(), nullptr, 0), 0);
  AddKey(kCert, {}, "", kPending);
}

}  // namespace

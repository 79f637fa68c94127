// Bind, add with merge, the two modify forms, modify-RDN and compare,
// against entries stored in a temporary directory.
#include "ldbm_ops_support.h"
#include "server/access_rules.h"
#include "server/key_submission_services.h"
#include "tests/common/scoped_services.h"

namespace {

constexpr const char* kActive = "OU=ACTIVE,O=QOX KEYSPACE,C=US";
constexpr const char* kPrefs = "qoxelementtype=qoxprefs,O=QOX CLIENT PREFS SPACE,C=US";
constexpr const char* kNetPrefs = "qoxelementtype=qoxnetprefs,O=QOX CLIENT PREFS SPACE,C=US";
constexpr const char* kGroup = "ou=default,O=QOX GROUPSPACE,C=US";

int gRepLogCalls = 0;

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

BerValue Value(const char* s) { return BerValue{static_cast<uint32_t>(strlen(s)), const_cast<char*>(s)}; }

// The replication log is observed here instead of written.
void ObserveRepLog(Backend*, Connection*, int tag, const char* dn, Entry*, int) {
  EXPECT_EQ(tag, 0x68);
  EXPECT_STREQ(dn, "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US");
  ++gRepLogCalls;
}

class UpdateTest : public OpsFixture {
 protected:
  void SetUp() override {
    OpsFixture::SetUp();
    if (HasFatalFailure()) return;
    gRepLogCalls = 0;
    keySubmission_->qoxRepLog = ObserveRepLog;
    gMessages = &messages_;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
  }
  void TearDown() override {
    ErrorLogClose();
    gMessages = nullptr;
    OpsFixture::TearDown();
  }
  bool Logged(const std::string& text) const {
    for (const std::string& m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> messages_;
  ostrak_test::ScopedServices<VuzizKeySubmissionServices> keySubmission_{vuzizKeySubmissionServices,
                                                                         vuzizRegisterKeySubmissionServices};
};

TEST_F(UpdateTest, AddRefusesExistingMissingParentAndTheRoot) {
  const std::string dn = std::string("cn=a,") + kActive;
  ASSERT_EQ(Add("dn: " + dn + "\nobjectclass: x\ndescription: first\n"), 0);
  EXPECT_EQ(Add("dn: " + dn + "\nobjectclass: x\ndescription: second\n"), 68);
  EXPECT_EQ(Stored(dn, "description"), "first");
  EXPECT_EQ(Add(std::string("dn: cn=b,cn=missing,") + kActive + "\nobjectclass: x\n"), 32);
  EXPECT_EQ(Add("dn: O=QOX KEYSPACE,C=US\nobjectclass: x\n"), 68);
  EXPECT_EQ(Add("dn: C=US\nobjectclass: x\n"), 50);  // no parent: this server has no root DN
  // A refused add gives its ID back: the next add takes it.
  ASSERT_EQ(Add(std::string("dn: cn=c,") + kActive + "\nobjectclass: x\n"), 0);
  char* matched = nullptr;
  Entry* e = dn2entry(be(), (std::string("cn=c,") + kActive).c_str(), &matched);
  ASSERT_NE(e, nullptr);
  Entry* first = dn2entry(be(), dn.c_str(), &matched);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(e->e_id, first->e_id + 1);
  cache_return_entry(cache(), first);
  cache_return_entry(cache(), e);
}

TEST_F(UpdateTest, MergeReplacesTypesOfTheNewEntryAndKeepsTheRest) {
  const std::string dn = std::string("cn=m,") + kActive;
  uint8_t logged = 0;
  ASSERT_EQ(Add("dn: " + dn + "\nobjectclass: x\ndescription: old\nqoxkey: K1\n", 1, &logged), 0);
  EXPECT_EQ(Add("dn: " + dn + "\nqoxkey: K2\n", 1, &logged), 0);
  EXPECT_EQ(Stored(dn, "qoxkey"), "K2");
  EXPECT_EQ(Stored(dn, "description"), "old");
  EXPECT_EQ(op_.type, kOpTypeAddMerged);
  // The flag shared by both adds let only the first write a record.
  EXPECT_EQ(gRepLogCalls, 1);
  EXPECT_EQ(logged, 1);
}

TEST_F(UpdateTest, ModifyWorksOnACopyAndKeepsHeldEntriesIntact) {
  const std::string dn = std::string("cn=k,") + kActive;
  ASSERT_EQ(Add("dn: " + dn + "\nobjectclass: x\ndescription: one\ndescription: two\nmail: m\n"), 0);
  char* matched = nullptr;
  Entry* held = dn2entry(be(), dn.c_str(), &matched);  // as a search would hold it
  ASSERT_NE(held, nullptr);

  BerValue two = Value("TWO");
  BerValue* twoV[] = {&two, nullptr};
  BerValue one = Value("one");
  BerValue* oneV[] = {&one, nullptr};
  BerValue three = Value("three");
  BerValue* threeV[] = {&three, nullptr};
  BerValue m = Value("m");
  BerValue* mV[] = {&m, nullptr};
  Modification delTwo{kModDelete, const_cast<char*>("description"), twoV, nullptr};
  Modification addThree{kModAdd, const_cast<char*>("description"), threeV, &delTwo};
  int result = -1;
  ASSERT_EQ(ldbm_QOX_back_modify(be(), &conn_, &op_, dn.c_str(), nullptr, &addThree, &result, &matched), 0);
  EXPECT_EQ(result, 0);
  // The held entry still shows what it showed.
  Attribute* d = attr_find(held->e_attrs, "description");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->a_vals[1]->bv_val, "two");
  cache_return_entry(cache(), held);
  // A new lookup (cache or table) shows the change.
  Entry* now = dn2entry(be(), dn.c_str(), &matched);
  ASSERT_NE(now, nullptr);
  d = attr_find(now->e_attrs, "description");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->a_vals[0]->bv_val, "one");
  EXPECT_STREQ(d->a_vals[1]->bv_val, "three");
  EXPECT_EQ(d->a_vals[2], nullptr);
  cache_return_entry(cache(), now);
  EXPECT_EQ(Stored(dn, "description"), "one");

  // Failures: a list that fails part-way changes neither cache nor table.
  struct Case {
    Modification mod;
    int code;
  } cases[] = {
      {{kModAdd, const_cast<char*>("description"), oneV, nullptr}, 20},
      {{kModDelete, const_cast<char*>("description"), twoV, nullptr}, 16},
      {{kModDelete, const_cast<char*>("nothere"), nullptr, nullptr}, 16},
  };
  for (Case& c : cases) {
    Modification first{kModReplace, const_cast<char*>("mail"), threeV, &c.mod};
    EXPECT_EQ(ldbm_QOX_back_modify(be(), &conn_, &op_, dn.c_str(), nullptr, &first, &result, &matched), -1);
    EXPECT_EQ(result, c.code);
    Entry* e = dn2entry(be(), dn.c_str(), &matched);
    EXPECT_EQ(FirstValue(e, "mail"), "m");
    cache_return_entry(cache(), e);
  }

  // Deleting the last value takes the attribute with it.
  Modification delMail{kModDelete, const_cast<char*>("mail"), mV, nullptr};
  ASSERT_EQ(ldbm_QOX_back_modify(be(), &conn_, &op_, dn.c_str(), nullptr, &delMail, &result, &matched), 0);
  Entry* e = dn2entry(be(), dn.c_str(), &matched);
  EXPECT_EQ(attr_find(e->e_attrs, "mail"), nullptr);
  cache_return_entry(cache(), e);
  EXPECT_EQ(ldbm_QOX_back_modify(be(), &conn_, &op_, "cn=none,o=x", nullptr, &delMail, &result, &matched), -1);
  EXPECT_EQ(result, 32);
}

TEST_F(UpdateTest, PreferenceAndGroupEntriesNeedTheAdministrator) {
  for (const char* dn : {kPrefs, kNetPrefs, kGroup}) ASSERT_EQ(Add(std::string("dn: ") + dn + "\nobjectclass: x\n"), 0);
  BerValue v = Value("on");
  BerValue* vv[] = {&v, nullptr};
  Modification mod{kModReplace, const_cast<char*>("qoxsetting"), vv, nullptr};
  auto modify = [&](const char* dn) {
    int rc = ldbm_back_modify(be(), &conn_, &op_, dn, &mod);
    Reply r = Drain();
    EXPECT_EQ(rc == 0, r.code == 0);
    return r.code;
  };
  // Without an admin rule and credentials: 50.
  g->DefaultAccess = 32;
  EXPECT_EQ(modify(kPrefs), 50);
  EXPECT_TRUE(Logged("Insufficient \"allow\" access to update prefs."));
  // The rule alone is not enough; with the name and password it is.
  g->DefaultAccess = 128;
  EXPECT_EQ(modify(kNetPrefs), 50);
  g->AdminUsername = zovurezStrdup("cn=admin");
  g->AdminPassword = zovurezStrdup("secret");
  conn_.boundDN = const_cast<char*>("cn=admin");
  conn_.boundCredentials = const_cast<char*>("secret");
  EXPECT_EQ(modify(kPrefs), 0);
  EXPECT_EQ(Stored(kPrefs, "qoxsetting"), "on");
  EXPECT_EQ(modify(kNetPrefs), 0);
  // The group entry needs a TLS key of the admin list.
  EXPECT_EQ(modify(kGroup), 50);
  EXPECT_TRUE(Logged("TLS key ID is not allowed to update groups."));
  EXPECT_EQ(modify("cn=nobody,O=QOX CLIENT PREFS SPACE,C=US"), 32);
  conn_.boundDN = const_cast<char*>("");
  conn_.boundCredentials = nullptr;
}

TEST_F(UpdateTest, Binds) {
  const std::string user = std::string("cn=u,") + kActive;
  ASSERT_EQ(Add("dn: " + user + "\nobjectclass: x\nuserpassword: Secret\n"), 0);
  ASSERT_EQ(Add(std::string("dn: cn=r,") + kActive + "\nobjectclass: x\nqoxrecondata: R\n"), 0);
  g->AdminUsername = zovurezStrdup("cn=admin");
  g->AdminPassword = zovurezStrdup("adminpw");
  struct Case {
    std::string dn;
    int method;
    const char* password;
    int rc;    // the bind's own result
    int sent;  // the result it sent, -1 for none
  } cases[] = {
      {user, 0x80, "Secret", 0, -1},
      {user, 0x80, "secret", 1, 49},  // passwords compare byte for byte
      {user, 0x80, "", 0, -1},        // unauthenticated
      {user, 0xA3, "Secret", 1, 7},
      {"cn=gone,o=x", 0x80, "", 0, -1},
      {"cn=gone,o=x", 0x80, "pw", 1, 32},
      {"cn=gone,o=x", 0xA3, "", 1, 32},
      {"cn=admin", 0x80, "adminpw", 0, -1},
      {std::string("cn=r,") + kActive, 0x80, "pw", 1, 48},
  };
  for (const Case& c : cases) {
    BerValue cred = Value(c.password);
    conn_.adminBind = 0;
    EXPECT_EQ(ldbm_back_bind(be(), &conn_, &op_, c.dn.c_str(), c.method, &cred), c.rc) << c.dn << " " << c.password;
    EXPECT_EQ(Drain().code, c.sent) << c.dn << " " << c.password;
    EXPECT_EQ(conn_.adminBind, c.dn == "cn=admin" ? 1 : 0) << c.dn;
  }
}

TEST_F(UpdateTest, CompareAndModifyRdn) {
  const std::string dn = std::string("cn=old,") + kActive;
  ASSERT_EQ(Add("dn: " + dn + "\nobjectclass: x\ncn: old\n"), 0);
  struct Case {
    const char* dn;
    const char* type;
    const char* value;
    int code;
  } cases[] = {
      {dn.c_str(), "cn", "OLD", 6}, {dn.c_str(), "cn", "new", 5}, {dn.c_str(), "mail", "x", 16}, {"cn=x,o=y", "cn", "x", 32}};
  for (const Case& c : cases) {
    Ava ava{const_cast<char*>(c.type), static_cast<uint32_t>(strlen(c.value)), const_cast<char*>(c.value)};
    ldbm_back_compare(be(), &conn_, &op_, c.dn, &ava);
    EXPECT_EQ(Drain().code, c.code) << c.type << "=" << c.value;
  }
  EXPECT_EQ(ldbm_back_modrdn(be(), &conn_, &op_, dn.c_str(), "cn=new"), 0);
  EXPECT_EQ(Drain().code, 0);
  const std::string renamed = std::string("cn=new,") + kActive;
  EXPECT_EQ(Stored(renamed, "cn"), "old");  // attributes stay as they were
  char* matched = nullptr;
  EXPECT_EQ(dn2entry(be(), dn.c_str(), &matched), nullptr);
  ASSERT_EQ(Add("dn: " + dn + "\nobjectclass: x\n"), 0);
  EXPECT_EQ(ldbm_back_modrdn(be(), &conn_, &op_, dn.c_str(), "cn=new"), -1);
  EXPECT_EQ(Drain().code, 68);
}

}  // namespace

// Access control: a decision table of Allow rules (IP patterns anchored at
// both ends, host patterns at the end), modification lists, administrative
// updates, the "{SSHA}" hash against Python, and LDAP error texts.
#include "server/access_control.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/sdk_errors.h"
#include "net/ldap_result.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

class AccessControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    g->context = ServerToolkitEnvironment::context;
    gMessages = &messages_;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
    ASSERT_EQ(QOXMutexCreate(&conn_.dnMutex, nullptr), 0);
  }
  void TearDown() override {
    QOXMutexDestroy(&conn_.dnMutex);
    ErrorLogClose();
    gMessages = nullptr;
    g->context = nullptr;
    vuzizReleaseGlobals(&g, 0);
  }
  void Allow(const char* type, const char* pattern, const char* level) {
    char w0[] = "allow";
    std::string t = type, p = pattern, l = level;
    char* argv[] = {w0, t.data(), p.data(), l.data()};
    ASSERT_EQ(AddAccessAllow(&g->accessRules, "test.conf", 1, 4, argv), 0);
  }
  void Client(const char* address, const char* host) {
    conn_.clientAddress = const_cast<char*>(address);
    conn_.clientHostName = const_cast<char*>(host);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }
  Connection conn_{};
  std::vector<std::string> messages_;
};

TEST_F(AccessControlTest, IpRulesAreAnchored) {
  Allow("ip", "10.1.*", "add");
  Allow("ip", "*", "all");
  struct Case {
    const char* address;
    int level;
    int allowed;
  } cases[] = {
      {"10.1.2.3", kAccessAdd, 1},
      {"10.1.2.3", kAccessDelete, 0},  // the first matching rule decides
      {"10.1.2.3", kAccessRead, 1},
      // Fault guarded: unanchored patterns let "10.1.*" decide for
      // 110.1.2.3 as well; now only the catch-all rule matches it.
      {"110.1.2.3", kAccessDelete, 1},
      {"192.168.0.1", kAccessAll, 1},
  };
  for (const Case& c : cases) {
    Client(c.address, nullptr);
    EXPECT_EQ(AccessAllowed(&conn_, g->accessRules, c.level), c.allowed) << c.address << " " << c.level;
  }
  Client("10.1.2.3", nullptr);
  messages_.clear();
  EXPECT_EQ(AccessAllowed(&conn_, g->accessRules, kAccessDelete), 0);
  EXPECT_TRUE(Logged("Access denied. 'delete' requested."));
}

TEST_F(AccessControlTest, HostRulesAreAnchoredAtTheEnd) {
  g->DefaultAccess = kAccessNone;
  Allow("host", "*.example.com", "read");
  Allow("host", "example.org", "add");
  Allow("ip", "10.9.9.9", "read");
  struct Case {
    const char* address;
    const char* host;
    int level;
    int allowed;
  } cases[] = {
      {"1.1.1.1", "www.example.com", kAccessRead, 1},
      {"1.1.1.1", "www.example.com.evil.net", kAccessRead, 0},  // the domain must end the name
      {"1.1.1.1", "MAIL.Example.ORG", kAccessAdd, 1},           // any case; a plain domain matches its hosts
      {"1.1.1.1", "www.example.org", kAccessDelete, 0},
      {"10.9.9.9", nullptr, kAccessRead, 1},  // no host name: host rules are passed over
      {"1.1.1.1", nullptr, kAccessRead, 0},   // ... and the default decides
      {"1.1.1.1", nullptr, kAccessNone, 1},
  };
  for (const Case& c : cases) {
    Client(c.address, c.host);
    EXPECT_EQ(AccessAllowed(&conn_, g->accessRules, c.level), c.allowed)
        << c.address << " " << (c.host ? c.host : "-") << " " << c.level;
  }
}

TEST_F(AccessControlTest, DefaultAccessWithoutRules) {
  g->DefaultAccess = kAccessAdd;
  Client("10.0.0.1", nullptr);
  EXPECT_EQ(AccessAllowed(&conn_, nullptr, kAccessRead), 1);
  EXPECT_EQ(AccessAllowed(&conn_, nullptr, kAccessDelete), 0);
  EXPECT_TRUE(Logged("Access denied. 'delete' exceeds default access."));
  EXPECT_TRUE(Logged("Access denied. 'delete' requested."));
  Backend be{};
  EXPECT_EQ(access_allowed(&be, &conn_, nullptr, nullptr, nullptr, nullptr, nullptr, kAccessRead), 1);
  EXPECT_EQ(access_allowed(nullptr, &conn_, nullptr, nullptr, nullptr, nullptr, nullptr, kAccessRead), 0);
  // "compare" is accepted and means read.
  Allow("ip", "10.0.0.1", "compare");
  EXPECT_TRUE(Logged("\"compare\" now maps to \"read\""));
  EXPECT_EQ(g->accessRules->level, kAccessRead);
}

TEST_F(AccessControlTest, ModificationLists) {
  Allow("ip", "*", "read");
  Client("10.0.0.1", nullptr);
  BerValue v{1, const_cast<char*>("x")};
  BerValue* values[] = {&v, nullptr};
  char stamp[] = "modifyTimestamp", mail[] = "mail";
  Modification onlyStamp{kModReplace, stamp, values, nullptr};
  EXPECT_EQ(acl_check_mods(nullptr, &conn_, nullptr, nullptr, 1, &onlyStamp), 0);
  Modification addNoValues{kModAdd | kModBValues, mail, nullptr, nullptr};
  EXPECT_EQ(acl_check_mods(nullptr, &conn_, nullptr, nullptr, 1, &addNoValues), 0);
  Modification del{kModDelete, mail, nullptr, nullptr};
  EXPECT_EQ(acl_check_mods(nullptr, &conn_, nullptr, nullptr, 1, &del), kLdapInsufficientAccess);
  Modification replace{kModReplace | kModBValues, mail, values, &onlyStamp};
  EXPECT_EQ(acl_check_mods(nullptr, &conn_, nullptr, nullptr, 1, &replace), kLdapInsufficientAccess);
}

TEST_F(AccessControlTest, AdministrativeUpdates) {
  Allow("ip", "10.0.0.*", "admin");
  Allow("ip", "*", "add");
  g->AdminUsername = zovurezStrdup("cn=admin");
  g->AdminPassword = zovurezStrdup("s3cret");
  const char* prefs = "qoxelementtype=qoxprefs,O=QOX CLIENT PREFS SPACE,C=US";
  const char* netPrefs = "QOXELEMENTTYPE=QOXNETPREFS,o=qox client prefs space,c=us";
  const char* group = "ou=default,O=QOX GROUPSPACE,C=US";
  char* hash = nullptr;
  ASSERT_EQ(NetscapeHashPassword(g->context, "s3cret", &hash), 0);
  std::string ssha = std::string("{SSHA}") + hash;
  zovurezFree(hash);
  struct Case {
    const char* address;
    const char* bindDN;
    const char* password;
    const char* dn;
    int result;
    const char* message;  // one of the messages expected, or null
  } cases[] = {
      {"10.0.0.5", "cn=admin", "s3cret", prefs, 0, nullptr},
      {"10.0.0.5", "cn=admin", "s3cret", netPrefs, 0, nullptr},
      {"10.0.0.5", "cn=admin", ssha.c_str(), prefs, 0, nullptr},  // a bind with the hash text itself
      {"10.0.0.5", "cn=Admin", "s3cret", prefs, 50, "Insufficient \"Username/Password\" access to update prefs."},
      {"10.0.0.5", "cn=admin", "wrong", prefs, 50, "Insufficient \"Username/Password\" access to update prefs."},
      {"10.0.1.5", "cn=admin", "s3cret", prefs, 50, "Insufficient \"allow\" access to update prefs."},
      {"10.0.0.5", "cn=admin", "s3cret", group, 50, "TLS key ID is not allowed to update groups."},
      {"10.0.1.5", "cn=admin", "s3cret", group, 50, "Insufficient host/IP access to update groups."},
      {"10.0.0.5", "cn=admin", "s3cret", "cn=other", 1, "VerifyAdminUpdate: Invalid DN."},
  };
  Operation op{};
  for (const Case& c : cases) {
    messages_.clear();
    Client(c.address, nullptr);
    conn_.boundDN = const_cast<char*>(c.bindDN);
    conn_.boundCredentials = const_cast<char*>(c.password);
    EXPECT_EQ(VerifyAdminUpdate(&conn_, &op, c.dn), c.result) << c.address << " " << c.password << " " << c.dn;
    if (c.message != nullptr) {
      EXPECT_TRUE(Logged(c.message)) << c.message;
    }
  }
  // A configured hash text matches a bind with the plain password.
  zovurezFree(g->AdminPassword);
  g->AdminPassword = zovurezStrdup(ssha.c_str());
  Client("10.0.0.5", nullptr);
  conn_.boundDN = const_cast<char*>("cn=admin");
  conn_.boundCredentials = const_cast<char*>("s3cret");
  EXPECT_EQ(VerifyAdminUpdate(&conn_, &op, prefs), 0);
  EXPECT_EQ(VerifyAdminUpdate(&conn_, nullptr, prefs), 1);
  conn_.boundDN = conn_.boundCredentials = nullptr;
}

TEST_F(AccessControlTest, SshaMatchesPython) {
  const char* passwords[] = {"s3cret", "", "p\xc3\xa4ssw\xc3\xb6rd with blanks"};
  for (const char* pw : passwords) {
    char* hash = nullptr;
    ASSERT_EQ(NetscapeHashPassword(g->context, pw, &hash), 0);
    std::string hex;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pw); *p; ++p) {
      char h[3];
      snprintf(h, sizeof h, "%02x", *p);
      hex += h;
    }
    std::string cmd = "/usr/bin/python3 -c \"import hashlib,base64;pw=bytes.fromhex('" + hex +
                      "');s=bytes.fromhex('5c19e7a3b2d40f68');"
                      "print(base64.b64encode(hashlib.sha1(pw+s).digest()+s).decode())\"";
    FILE* py = popen(cmd.c_str(), "r");
    ASSERT_NE(py, nullptr);
    char out[128] = "";
    ASSERT_NE(fgets(out, sizeof out, py), nullptr);
    pclose(py);
    EXPECT_EQ(std::string(hash) + "\n", out);
    EXPECT_EQ(strlen(hash), 40u);
    zovurezFree(hash);
  }
  char* set = const_cast<char*>("x");
  EXPECT_EQ(NetscapeHashPassword(g->context, "a", &set), kQOXErrBadParams);
}

TEST_F(AccessControlTest, LdapErrorStrings) {
  for (int result : {0, 32, 50, 53, 999}) {
    char* text = nullptr;
    ASSERT_EQ(QOXGetLDAPErrorString(result, 0, &text), 0) << result;
    char expected[1024];
    ASSERT_EQ(QOXGetErrorString(QOXldapResultToError(nullptr, result), sizeof expected, expected), 0);
    EXPECT_STREQ(text, expected);
    zovurezFree(text);
  }
  char* preset = const_cast<char*>("keep");
  EXPECT_EQ(QOXGetLDAPErrorString(50, 0, &preset), 0);
  EXPECT_STREQ(preset, "keep");
  EXPECT_TRUE(Logged("QOXGetLDAPErrorString called with bad params."));
}

}  // namespace

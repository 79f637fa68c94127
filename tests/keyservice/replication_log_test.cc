// The replication log writer: records read back by a Python parser of the
// record grammar (tests/keyservice/replog_parse.py), and the rules that keep
// a replica's own changes out of the log.
#include "keyservice/replication_log.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/core/start_up.h"
#include "net/ber.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"

namespace {

constexpr char kDN[] = "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US";

std::vector<std::string>* gMessages = nullptr;
void Capture(const char* text) {
  if (gMessages != nullptr) gMessages->push_back(text);
}

std::vector<std::string> Lines(const std::string& cmd) {
  std::vector<std::string> lines;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return lines;
  std::string cur;
  int c;
  while ((c = fgetc(p)) != EOF) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(c);
    }
  }
  EXPECT_EQ(pclose(p), 0) << cmd;
  return lines;
}

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += digits[c >> 4];
    h += digits[c & 15];
  }
  return h;
}

class RepLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  static void TearDownTestSuite() { QOXsdkCleanup(); }
  void SetUp() override {
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    char dir[] = "/tmp/ostrak-replog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/replog";
    g->RepLogFile = zovurezStrdup(path_.c_str());
    // Two replicas, in this order; the second's address stands in the
    // replica address list as a name's look-up would put it there.
    charray_add(&be_.replicaURLs, zovurezStrdup("ldap://127.0.0.12:389"));
    charray_add(&be_.replicaURLs, zovurezStrdup("Replica.Example.COM:636"));
    be_.replicaURLCount = 2;
    charray_add(&be_.replicaAddresses, zovurezStrdup("127.0.0.7"));
    be_.replicaAddressCount = 1;
    ASSERT_EQ(InitRepLog(&be_), 0);
    conn_.clientAddress = const_cast<char*>("127.0.0.1");
    gMessages = &messages_;
    ErrorLogInit("QOX Keyserver", kLogVerbose, 389, 1, Capture);
  }
  void TearDown() override {
    ErrorLogClose();
    gMessages = nullptr;
    ReleaseRepLog();
    charray_free(be_.replicaURLs);
    charray_free(be_.replicaAddresses);
    vuzizReleaseGlobals(&g, 0);
    std::string cmd = "rm -rf " + dir_;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  Entry* Make(const std::string& text) {
    std::string copy = text;
    Entry* e = str2entry(copy.data());
    EXPECT_NE(e, nullptr) << text;
    entries_.push_back(e);
    return e;
  }
  // The records of the log, one "replicas|time|dn|type|hexvalue" line each.
  std::vector<std::string> Records() {
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0) return {};
    return Lines("/usr/bin/python3 " OSTRAK_SOURCE_DIR "/tests/keyservice/replog_parse.py " + path_);
  }
  std::string Expect(const std::string& type, const std::string& value) {
    return "ldap://127.0.0.12:389,Replica.Example.COM:636|" + std::to_string(vuzizCurrentTime()) + "|" + kDN +
           "|" + type + "|" + Hex(value);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& m : messages_)
      if (m.find(text) != std::string::npos) return true;
    return false;
  }
  ~RepLogTest() override {
    for (Entry* e : entries_) entry_free(e);
  }

  std::string dir_, path_;
  Backend be_{};
  Connection conn_{};
  std::vector<Entry*> entries_;
  std::vector<std::string> messages_;
};

TEST_F(RepLogTest, RecordsCarryTheChosenValueFoldedAndInBase64WhenNeeded) {
  // A 3000-byte block with 8-bit bytes: one Base64 line folded at 76.
  std::string block;
  for (int i = 0; i < 3000; ++i) block += static_cast<char>(i * 7);
  Attribute a{const_cast<char*>("qoxkey"), nullptr, 0, nullptr};
  BerValue v{static_cast<uint32_t>(block.size()), block.data()};
  BerValue* vals[] = {&v, nullptr};
  a.a_vals = vals;
  Entry binary{};
  binary.e_attrs = &a;
  qoxRepLog(&be_, &conn_, 0x68, kDN, &binary, 0);
  // Printable values stay text; the last qoxkeyv2 wins over qoxkey.
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxkey: plain key\n"), 0);
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxkey: old\nqoxkeyv2: first\nqoxkeyv2: second\n"), 0);
  // A signed request: its qoxrequest value, else the thread's request text.
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxrequest: Request: disable\n"), 1);
  const char signedAdd[] = "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\nRequest: add";
  SetSignedRequestText(signedAdd, sizeof signedAdd - 1);
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxkey: the key\n"), 1);
  SetSignedRequestText(nullptr, 0);
  // Nothing: another tag, no attribute of the kind wanted.
  qoxRepLog(&be_, &conn_, 0x4a, kDN, Make("dn: x\nqoxkey: deleted\n"), 0);
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxrequest: r\n"), 0);
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxkey: k\n"), 1);

  std::vector<std::string> want = {Expect("qoxkey", block), Expect("qoxkey", "plain key"),
                                   Expect("qoxkeyv2", "first"),  // str2entry merges the two values
                                   Expect("qoxrequest", "Request: disable"), Expect("qoxrequest", signedAdd)};
  EXPECT_EQ(Records(), want);
  // The folding itself (the server's LDIF lines): no line holds more than
  // 77 characters and its LF.
  FILE* f = fopen(path_.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char line[200];
  while (fgets(line, sizeof line, f) != nullptr) EXPECT_LE(strlen(line), 78u) << line;
  fclose(f);
}

TEST_F(RepLogTest, ReplicasOwnChangesStayOut) {
  struct Case {
    const char* address;
    const char* host;
    const char* value;
    bool changedKeyData;
    bool written;
    const char* message;  // the loop message, when not written
  } cases[] = {
      // Plain adds are logged whoever sent them.
      {"127.0.0.12", nullptr, "a key", false, true, nullptr},
      // A signed delete from a replica's host, its address or its name is not.
      {"127.0.0.12", nullptr, "Request: DELETE\n", false, false,
       "Operation (Request: delete) IP (127.0.0.12), Replica List (replica: ldap://127.0.0.12:389\n"},
      {"127.0.0.7", nullptr, "request: delete", false, false,
       "Operation (Request: delete) IP (127.0.0.7), Reploop List (127.0.0.7 )."},
      {"10.1.1.1", "replica.example.com", "Request: delete", false, false,
       "Operation (Request: delete) Host (replica.example.com), Replica List ("},
      // Whole addresses and host names only: 127.0.0.1 is not 127.0.0.12,
      // a name that merely ends like a replica's is another host.
      {"127.0.0.1", nullptr, "Request: delete", false, true, nullptr},
      {"127.0.0.1", "other-replica.example.com", "Request: delete", false, true, nullptr},
      // Untracked key-data changes from a replica stay out, others not.
      {"127.0.0.12", nullptr, "a key", true, false, "Operation (Non-tracked MOD) IP (127.0.0.12)"},
      {"127.0.0.2", nullptr, "a key", true, true, nullptr},
  };
  size_t expected = 0;
  for (const Case& c : cases) {
    messages_.clear();
    conn_.clientAddress = const_cast<char*>(c.address);
    conn_.clientHostName = const_cast<char*>(c.host);
    conn_.changedKeyData = c.changedKeyData ? 1 : 0;
    Attribute a{const_cast<char*>("qoxrequest"), nullptr, 0, nullptr};
    BerValue v{static_cast<uint32_t>(strlen(c.value)), const_cast<char*>(c.value)};
    BerValue* vals[] = {&v, nullptr};
    a.a_vals = vals;
    Entry e{};
    e.e_attrs = &a;
    qoxRepLog(&be_, &conn_, 0x68, kDN, &e, 1);
    if (c.written) ++expected;
    EXPECT_EQ(Records().size(), expected) << c.address << " " << c.value;
    if (c.message != nullptr) {
      EXPECT_TRUE(Logged(std::string("Single replication loop detected.  ") + c.message)) << c.address;
    } else {
      EXPECT_FALSE(Logged("Single replication loop detected.")) << c.address;
    }
  }
}

TEST_F(RepLogTest, NoLogFileWritesNothingAndAnUnopenableOneIsReported) {
  zovurezFree(g->RepLogFile);
  g->RepLogFile = nullptr;
  ReleaseRepLog();
  ASSERT_EQ(InitRepLog(&be_), 0);
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxkey: k\n"), 0);
  struct stat st {};
  EXPECT_NE(stat(path_.c_str(), &st), 0);
  // The backend's own log file takes precedence; one that cannot be opened
  // loses the record with a message naming it.
  std::string missing = dir_ + "/no/such/dir/replog";
  be_.repLogFile = missing.data();
  qoxRepLog(&be_, &conn_, 0x68, kDN, Make("dn: x\nqoxkey: k\n"), 0);
  be_.repLogFile = nullptr;
  EXPECT_TRUE(Logged("Opening the replication log (" + missing + ") failed")) << messages_.size();
}

}  // namespace

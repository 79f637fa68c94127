// The LDAP client against a recorder peer (tests/net/ldap_peer.py): an
// independent decoder (pyasn1 over ldap3's RFC 4511 types) reads every
// request the client sends and answers what each test asks for. Beside it,
// the URL parser, DN splitter and sorts as tables, the sorts against
// Python's case-insensitive sort.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/errors.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"
#include "net/sockets.h"
#include "tests/common/counting_memory_mgr.h"

extern char** environ;

namespace {

// --- The recorder peer ---

int High(int fd) {
  int h = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return h;
}

class RecorderPeer {
 public:
  RecorderPeer() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    in[0] = High(in[0]), in[1] = High(in[1]), out[0] = High(out[0]), out[1] = High(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string script = std::string(OSTRAK_SOURCE_DIR) + "/tests/net/ldap_peer.py";
    char* argv[] = {const_cast<char*>("/usr/bin/python3"), script.data(), nullptr};
    int rc = posix_spawn(&pid_, "/usr/bin/python3", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toPeer_ = in[1];
    fromPeer_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      ADD_FAILURE() << "cannot start /usr/bin/python3: " << std::strerror(rc);
      return;
    }
    std::string first = ReadLine();
    if (first.rfind("PORT ", 0) != 0) {
      ADD_FAILURE() << "the peer did not start: " << first;
      return;
    }
    port_ = static_cast<uint16_t>(std::stoi(first.substr(5)));
  }

  ~RecorderPeer() {
    if (toPeer_ >= 0) ::close(toPeer_);  // end of input: the peer leaves
    if (pid_ > 0) {
      int status = 0;
      for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
        ::poll(nullptr, 0, 10);
        if (i == 499) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
        }
      }
    }
    if (fromPeer_ >= 0) ::close(fromPeer_);
  }

  uint16_t port() const { return port_; }

  std::string Call(const std::string& json) {
    std::string line = json + "\n";
    if (::write(toPeer_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      ADD_FAILURE() << "cannot write to the peer";
      return {};
    }
    return ReadLine();
  }

  // One request as the peer decoded it.
  std::string Recv() { return Call(R"({"cmd": "recv"})"); }
  void Send(const std::string& msgs) {
    EXPECT_EQ(Call(R"({"cmd": "send", "msgs": [)" + msgs + "]}"), "ok");
  }

 private:
  std::string ReadLine() {
    for (;;) {
      size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string reply = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return reply;
      }
      pollfd p{fromPeer_, POLLIN, 0};
      if (::poll(&p, 1, 15000) <= 0) {
        ADD_FAILURE() << "no reply from the peer";
        return {};
      }
      char buf[65536];
      ssize_t n = ::read(fromPeer_, buf, sizeof buf);
      if (n <= 0) {
        ADD_FAILURE() << "the peer went away";
        return {};
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int toPeer_ = -1;
  int fromPeer_ = -1;
  uint16_t port_ = 0;
  std::string pending_;
};

// A JSON string of the bytes (ASCII and \u escapes).
std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// --- The toolkit side ---

class LdapClientTest : public ::testing::Test {
 protected:
  // One peer serves the whole suite; each test takes a new connection.
  static void SetUpTestSuite() { peer_ = new RecorderPeer; }
  static void TearDownTestSuite() {
    delete peer_;
    peer_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
    QOXNewContextStruct rec{kQOXAPIVersion, mgr_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&rec, &sdk_), kQOXErrNoErr);
    baseline_ = mgr_.live();
    ASSERT_EQ(QOXNewLDAPContext(sdk_, &ld_), kQOXErrNoErr);
  }

  void TearDown() override {
    if (ld_ != nullptr) {
      EXPECT_EQ(QOXFreeLDAPContext(ld_), kQOXErrNoErr);
    }
    // Everything the client made came back with the context.
    EXPECT_EQ(mgr_.live(), baseline_);
    if (sdk_ != nullptr) QOXFreeContext(sdk_);
    QOXsdkCleanup();
  }

  // Connects the context to the peer and lets the peer take the connection.
  void Connect() {
    ASSERT_EQ(QOXldapOpen(ld_, "127.0.0.1", peer_->port()), kQOXErrNoErr);
    ASSERT_EQ(peer_->Call(R"({"cmd": "accept"})"), "ok");
  }

  // The filter of the next request as the peer decoded it.
  std::string SentFilter(const char* filter) {
    int32_t id = 0;
    EXPECT_EQ(QOXldapSearch(ld_, "o=x", kLdapScopeSubtree, filter, nullptr, 0, &id), kQOXErrNoErr)
        << filter;
    std::string r = peer_->Recv();
    size_t at = r.find("filter=");
    size_t end = r.rfind(", attributes=");
    if (at == std::string::npos || end == std::string::npos) return "no filter in " + r;
    return r.substr(at + 7, end - at - 7);
  }

  ostrak_test::CountingMemoryMgr mgr_;
  QOXContext* sdk_ = nullptr;
  QOXldapContext ld_ = nullptr;
  long baseline_ = 0;
  static RecorderPeer* peer_;
};

RecorderPeer* LdapClientTest::peer_ = nullptr;

// --- Requests on the wire ---

TEST_F(LdapClientTest, BindSearchUnbindCarryIdsOneTwoThree) {
  Connect();
  int32_t id = 0;
  ASSERT_EQ(QOXldapSimpleBind(ld_, nullptr, nullptr, &id), kQOXErrNoErr);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=1, protocolOp=bindRequest:{version=2, name="", authentication=simple:""}})");

  // Options 1-3 travel with the search; types-only and the requested types.
  ASSERT_EQ(QOXldapSetOption(ld_, kQOXldapOptDeref, kLdapDerefAlways), kQOXErrNoErr);
  ASSERT_EQ(QOXldapSetOption(ld_, kQOXldapOptSizeLimit, 7), kQOXErrNoErr);
  ASSERT_EQ(QOXldapSetOption(ld_, kQOXldapOptTimeLimit, 9), kQOXErrNoErr);
  char* types[] = {const_cast<char*>("cn"), const_cast<char*>("mail"), nullptr};
  ASSERT_EQ(QOXldapSearch(ld_, nullptr, kLdapScopeOneLevel, "cn=x", types, 1, &id), kQOXErrNoErr);
  EXPECT_EQ(id, 2);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=2, protocolOp=searchRequest:{baseObject="", scope=1, derefAliases=3, )"
            R"(sizeLimit=7, timeLimit=9, typesOnly=true, filter=equalityMatch:{attributeDesc="cn", )"
            R"(assertionValue="x"}, attributes=["cn", "mail"]}})");

  ASSERT_EQ(QOXldapUnbind(ld_), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(), "{messageID=3, protocolOp=unbindRequest:null}");
  // The socket is closed: further requests have none to go on.
  int32_t socket = 0;
  ASSERT_EQ(QOXldapGetOption(ld_, kQOXldapOptSocket, &socket), kQOXErrNoErr);
  EXPECT_EQ(socket, -1);
  EXPECT_EQ(QOXldapSearch(ld_, "", 0, "(cn=x)", nullptr, 0, &id), kQOXErrSocketNotConnected);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(QOXldapUnbind(ld_), kQOXErrSocketNotConnected);
}

TEST_F(LdapClientTest, UpdateRequestsOnTheWire) {
  Connect();
  BerValue b1{3, const_cast<char*>("\x00\x01\xff")}, b2{0, const_cast<char*>("")};
  BerValue* binary[] = {&b1, &b2, nullptr};
  char* texts[] = {const_cast<char*>("x"), const_cast<char*>("y"), nullptr};
  char* none[] = {nullptr};
  // 0x12: replace with length-and-bytes values (a NUL and a high byte among them).
  QOXldapMod replace{kModReplace | kLdapModBinaryValues, const_cast<char*>("qoxkey"), nullptr, binary};
  QOXldapMod add{kModAdd, const_cast<char*>("cn"), texts, nullptr};
  QOXldapMod del{kModDelete, const_cast<char*>("mail"), none, nullptr};
  QOXldapMod* mods[] = {&replace, &add, &del, nullptr};
  int32_t id = 0;
  ASSERT_EQ(QOXldapModify(ld_, nullptr, mods, &id), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=1, protocolOp=modifyRequest:{object="", changes=[{operation=2, )"
            R"(modification={type="qoxkey", vals=["\u0000\u0001\\xff", ""]}}, {operation=0, )"
            R"(modification={type="cn", vals=["x", "y"]}}, {operation=1, modification={type="mail", )"
            R"(vals=[]}}]}})");
  QOXldapMod* attrs[] = {&replace, &add, nullptr};
  ASSERT_EQ(QOXldapAdd(ld_, "o=x", attrs, &id), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=2, protocolOp=addRequest:{entry="o=x", attributes=[{type="qoxkey", )"
            R"(vals=["\u0000\u0001\\xff", ""]}, {type="cn", vals=["x", "y"]}]}})");
  ASSERT_EQ(QOXldapDelete(ld_, "cn=d", &id), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(), R"({messageID=3, protocolOp=delRequest:"cn=d"})");
  ASSERT_EQ(QOXldapModifyRDN(ld_, "cn=a", "cn=b", 1, &id), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=4, protocolOp=modDNRequest:{entry="cn=a", newrdn="cn=b", deleteoldrdn=true}})");
  ASSERT_EQ(QOXldapCompare(ld_, "cn=a", "cn", "x", &id), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=5, protocolOp=compareRequest:{entry="cn=a", ava={attributeDesc="cn", )"
            R"(assertionValue="x"}}})");
  ASSERT_EQ(QOXldapAbandon(ld_, 3), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(), "{messageID=6, protocolOp=abandonRequest:3}");
  // A method other than simple: 7 and nothing sent (the next request is 7).
  EXPECT_EQ(QOXldapBind(ld_, "cn=a", "x", kLdapAuthKrbV41, &id), kLdapAuthMethodNotSupported);
  ASSERT_EQ(QOXldapUnbind(ld_), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(), "{messageID=7, protocolOp=unbindRequest:null}");
}

// Filter texts and the trees the peer decodes from them.
TEST_F(LdapClientTest, FiltersOnTheWire) {
  Connect();
  auto eq = [](const char* type, const char* value) {
    return std::string("equalityMatch:{attributeDesc=") + Json(type) + ", assertionValue=" +
           Json(value) + "}";
  };
  struct Case {
    const char* filter;
    std::string tree;
  };
  const Case cases[] = {
      // Without parentheses, read as if they were there; only "(" is used as it stands.
      {"cn=x", eq("cn", "x")},
      {"(cn=x", eq("cn", "x")},
      {"(cn=a*b*c)", R"(substrings:{type="cn", substrings=[initial:"a", any:"b", final:"c"]})"},
      {"(cn=*b*)", R"(substrings:{type="cn", substrings=[any:"b"]})"},
      {"(cn=ab*)", R"(substrings:{type="cn", substrings=[initial:"ab"]})"},
      {"(cn=*)", R"(present:"cn")"},
      {"qoxuserid=*", R"(present:"qoxuserid")"},
      {"(|(cn=a)(cn=b)(cn=c))", "or:[" + eq("cn", "a") + ", " + eq("cn", "b") + ", " + eq("cn", "c") + "]"},
      {"(&(a>=1)(b<=2)(!(c~=x)))",
       R"(and:[greaterOrEqual:{attributeDesc="a", assertionValue="1"}, lessOrEqual:{attributeDesc="b", )"
       R"(assertionValue="2"}, not:approxMatch:{attributeDesc="c", assertionValue="x"}])"},
      // An escaped star is a literal, in substrings and beside them.
      {"(cn=*a\\*b*)", R"(substrings:{type="cn", substrings=[any:"a*b"]})"},
      {"(cn=a\\*b)", eq("cn", "a*b")},
      {"(cn=x*\\*)", R"(substrings:{type="cn", substrings=[initial:"x", final:"*"]})"},
      {"(cn=\\*)", eq("cn", "*")},
      // Parentheses and backslashes in values: user IDs such as "a (b) \ c"
      // (the fault: the value was cut at the escaped ")").
      {"(cn=a\\)b)", eq("cn", "a)b")},
      {"(cn=a \\(b\\) \\\\ c)", eq("cn", "a (b) \\ c")},
      {"(cn=\\(x\\)*)", R"-(substrings:{type="cn", substrings=[initial:"(x)"]})-"},
      {"(&(cn=a\\(b)(sn=c\\)))", "and:[" + eq("cn", "a(b") + ", " + eq("sn", "c)") + "]"},
      {"(|(cn=\\))(!(sn=\\()))", "or:[" + eq("cn", ")") + ", not:" + eq("sn", "(") + "]"},
      // Types take no escapes; a backslash there is sent as it stands.
      {"(c\\n=x)", eq("c\\n", "x")},
  };
  for (const Case& c : cases) EXPECT_EQ(SentFilter(c.filter), c.tree) << c.filter;
}

TEST_F(LdapClientTest, FilterRefusals) {
  Connect();
  std::string deep = "(cn=x)", deeper;
  for (int i = 1; i < kQOXldapMaxFilterDepth; ++i) deep = "(!" + deep + ")";
  deeper = "(!" + deep + ")";
  const char* refused[] = {
      "(cn=a\\)",      // the escape took the closing parenthesis
      "cn=a\\",        // read as "(cn=a\)": the same
      "(cn=a\\)b",     // an escaped ")" and no closing parenthesis after it
      "(&(cn=a\\)",    // the same inside AND
      "(cn=a\\",       // a final backslash
      "(&(cn=a)\\",    // a final backslash where a sub-filter begins
      "(cn~x)",        // no operator
      "(cnx)",
      "",
      "x",
      "(!)",           // a NOT of nothing
      deeper.c_str(),  // nesting deeper than the limit
  };
  for (const char* f : refused) {
    int32_t id = -1;
    EXPECT_EQ(QOXldapSearch(ld_, "o=x", 2, f, nullptr, 0, &id), kQOXErrBadParams) << f;
    EXPECT_EQ(id, 0) << f;
  }
  // Nothing of the refused ones went out: the next request the peer reads
  // is this search.
  int32_t id = 0;
  ASSERT_EQ(QOXldapSearch(ld_, "o=after", 2, "(cn=x)", nullptr, 0, &id), kQOXErrNoErr);
  EXPECT_NE(peer_->Recv().find(R"(baseObject="o=after")"), std::string::npos);
  // The deepest filter allowed encodes.
  QOXberElement* e = nullptr;
  ASSERT_EQ(QOXNewBERElement(sdk_, &e), kQOXErrNoErr);
  EXPECT_EQ(qoxLDAPAddFilter(ld_, e, deep.c_str()), kQOXErrNoErr);
  QOXFreeBERElement(e);
}

// --- Responses and results ---

TEST_F(LdapClientTest, ResponsesOfOtherIdsWaitInThePendingList) {
  Connect();
  int32_t id = 0;
  for (int i = 1; i <= 5; ++i) {
    ASSERT_EQ(QOXldapCompare(ld_, "cn=a", "cn", "a", &id), kQOXErrNoErr);
    peer_->Recv();
  }
  ASSERT_EQ(id, 5);
  // The answer to 4 comes first; waiting for 5 files it and goes on.
  peer_->Send(R"({"id": 4, "op": "compareResponse", "code": 6},)"
              R"({"id": 5, "op": "compareResponse", "code": 5})");
  uint8_t yes = 9;
  ASSERT_EQ(QOXldapGetCompareResult(ld_, 5, &yes), kQOXErrNoErr);
  EXPECT_EQ(yes, 0);  // compareFalse
  ASSERT_EQ(QOXldapGetCompareResult(ld_, 4, &yes), kQOXErrNoErr);
  EXPECT_EQ(yes, 1);  // compareTrue

  // Any ID: the oldest pending message, the same one each time.
  for (int round = 0; round < 2; ++round) {
    QOXldapMessage* result = nullptr;
    ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
    uint32_t tag = 0;
    ASSERT_EQ(QOXldapGetResult(ld_, -1, 0, nullptr, result, &tag), kQOXErrNoErr);
    EXPECT_EQ(tag, kLdapCompareResponse);
    EXPECT_EQ(result->msgid, 4);
    EXPECT_EQ(result->next, nullptr);
    QOXFreeLDAPMessage(result);
  }
}

TEST_F(LdapClientTest, SearchEntriesAttributesAndValues) {
  Connect();
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  int32_t id = 0;
  ASSERT_EQ(QOXldapSearch(ld_, "o=x", 2, "(cn=*)", nullptr, 0, &id), kQOXErrNoErr);
  peer_->Recv();
  // A reference among the entries (a version 3 server's), an empty last
  // value, an attribute without values, a NUL inside a value.
  peer_->Send(R"({"id": 1, "op": "searchResEntry", "dn": "cn=one,o=x",)"
              R"( "attrs": [["cn", ["one", "uno"]], ["Mail", []], ["desc", ["x", ""]]]},)"
              R"({"id": 1, "op": "searchResRef", "uris": ["ldap://elsewhere/o=x"]},)"
              R"({"id": 1, "op": "searchResEntry", "dn": "cn=two,o=x", "attrs": [["bin", ["a\u0000b"]]]},)"
              R"({"id": 1, "op": "searchResDone", "code": 0})");
  uint32_t tag = 0;
  ASSERT_EQ(QOXldapGetResult(ld_, id, 1, nullptr, result, &tag), kQOXErrNoErr);
  EXPECT_EQ(tag, kLdapSearchResultDone);
  int32_t count = 0;
  ASSERT_EQ(QOXldapCountEntries(ld_, result, &count), kQOXErrNoErr);
  EXPECT_EQ(count, 2);

  QOXldapMessage* entry = nullptr;
  ASSERT_EQ(QOXldapFirstEntry(ld_, result, &entry), kQOXErrNoErr);
  char* dn = nullptr;
  ASSERT_EQ(QOXldapGetDN(ld_, entry, &dn), kQOXErrNoErr);
  EXPECT_STREQ(dn, "cn=one,o=x");
  QOXFreeData(dn);
  // The attribute types in order, each a new text.
  std::vector<std::string> types;
  QOXberElement* it = nullptr;
  char* type = nullptr;
  ASSERT_EQ(QOXldapFirstAttribute(ld_, entry, &it, &type), kQOXErrNoErr);
  while (type != nullptr) {
    types.push_back(type);
    QOXFreeData(type);
    ASSERT_EQ(QOXldapNextAttribute(ld_, entry, it, &type), kQOXErrNoErr);
  }
  EXPECT_EQ(types, (std::vector<std::string>{"cn", "Mail", "desc"}));
  // Values by type, without regard to case; the empty last value is there.
  char** values = nullptr;
  ASSERT_EQ(QOXldapGetValues(ld_, entry, "DESC", &values), kQOXErrNoErr);
  int32_t n = 0;
  ASSERT_EQ(QOXldapCountValues(ld_, values, &n), kQOXErrNoErr);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(values[0], "x");
  EXPECT_STREQ(values[1], "");
  QOXFreeLDAPValues(values);
  ASSERT_EQ(QOXldapGetValues(ld_, entry, "mail", &values), kQOXErrNoErr);
  EXPECT_EQ(values[0], nullptr);
  QOXFreeLDAPValues(values);
  EXPECT_EQ(QOXldapGetValues(ld_, entry, "sn", &values), kQOXErrLDAPNoSuchAttribute);
  EXPECT_EQ(values, nullptr);

  // The reference is no entry: GetDN refuses it; the walk goes on past it.
  QOXldapMessage* next = nullptr;
  ASSERT_EQ(QOXldapNextEntry(ld_, entry, &next), kQOXErrNoErr);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->tag, kLdapSearchResultReference);
  EXPECT_EQ(QOXldapGetDN(ld_, next, &dn), kQOXErrBadParams);
  ASSERT_EQ(QOXldapNextEntry(ld_, next, &next), kQOXErrNoErr);
  BerValue** bin = nullptr;
  ASSERT_EQ(QOXldapGetValuesLen(ld_, next, "bin", &bin), kQOXErrNoErr);
  ASSERT_NE(bin[0], nullptr);
  EXPECT_EQ(std::string(bin[0]->bv_val, bin[0]->bv_len), std::string("a\0b", 3));
  EXPECT_EQ(bin[0]->bv_val[3], '\0');
  EXPECT_EQ(bin[1], nullptr);
  QOXFreeLDAPValuesLen(bin);
  // The SearchResultDone ends the walk.
  ASSERT_EQ(QOXldapNextEntry(ld_, next, &next), kQOXErrNoErr);
  EXPECT_EQ(next, nullptr);
  QOXFreeLDAPMessage(result);
}

TEST_F(LdapClientTest, ResultCodeMatchedDnAndErrorText) {
  Connect();
  char* none[] = {nullptr};
  QOXldapMod mod{kModDelete, const_cast<char*>("cn"), none, nullptr};
  QOXldapMod* mods[] = {&mod, nullptr};
  // The answer is there before the wait begins.
  ASSERT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 1, "op": "modifyResponse", "code": 32,)"
                        R"( "matched": "o=x", "text": "no such entry"}]})"),
            "ok");
  EXPECT_EQ(QOXldapModifySync(ld_, "cn=a,o=x", mods), kQOXErrLDAPNoSuchObject);
  peer_->Recv();
  char* matched = nullptr;
  char* text = nullptr;
  int32_t code = 0;
  ASSERT_EQ(QOXldapGetErrno(ld_, &matched, &text, &code), kQOXErrNoErr);
  EXPECT_EQ(code, kLdapNoSuchObject);
  EXPECT_STREQ(matched, "o=x");
  EXPECT_STREQ(text, "no such entry");
  EXPECT_EQ(QOXldapGetErrno(ld_, nullptr, nullptr, &code), kQOXErrNoErr);
  EXPECT_EQ(QOXldapGetErrno(ld_, &matched, &text, nullptr), kQOXErrBadParams);

  // The Sync form dropped the answer it took: nothing is pending, so a wait
  // for any ID with no time to wait runs out (85, no texts).
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  timeval now{0, 0};
  uint32_t tag = 99;
  ASSERT_EQ(QOXldapGetResult(ld_, -1, 0, &now, result, &tag), kQOXErrNoErr);
  EXPECT_EQ(tag, 0u);
  ASSERT_EQ(QOXldapGetErrno(ld_, &matched, &text, &code), kQOXErrNoErr);
  EXPECT_EQ(code, kLdapTimeout);
  EXPECT_EQ(matched, nullptr);
  EXPECT_EQ(text, nullptr);
  QOXFreeLDAPMessage(result);
}

TEST_F(LdapClientTest, SyncFormsAndTheResultTable) {
  Connect();
  // Bind, add, delete, modify-RDN and compare, each answered as a server
  // refusing or accepting them.
  struct Case {
    const char* response;
    QOXError expected;
  };
  auto bind = [&] { return QOXldapSimpleBindSync(ld_, "cn=a", "pw"); };
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 1, "op": "bindResponse", "code": 49}]})"), "ok");
  EXPECT_EQ(bind(), kQOXErrLDAPInvalidCredentials);
  peer_->Recv();
  char* texts[] = {const_cast<char*>("v"), nullptr};
  QOXldapMod attr{kModAdd, const_cast<char*>("cn"), texts, nullptr};
  QOXldapMod* attrs[] = {&attr, nullptr};
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 2, "op": "addResponse", "code": 68}]})"), "ok");
  EXPECT_EQ(QOXldapAddSync(ld_, "cn=a", attrs), kQOXErrLDAPAlreadyExists);
  peer_->Recv();
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 3, "op": "delResponse", "code": 53}]})"), "ok");
  EXPECT_EQ(QOXldapDeleteSync(ld_, "cn=a"), kQOXErrLDAPUnwillingToPerform);
  peer_->Recv();
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 4, "op": "modDNResponse", "code": 0}]})"), "ok");
  EXPECT_EQ(QOXldapModifyRDNSync(ld_, "cn=a", "cn=b", 0), kQOXErrNoErr);
  peer_->Recv();
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 5, "op": "compareResponse", "code": 6}]})"), "ok");
  uint8_t yes = 0;
  EXPECT_EQ(QOXldapCompareSync(ld_, "cn=a", "cn", "a", &yes), kQOXErrNoErr);
  EXPECT_EQ(yes, 1);
  peer_->Recv();
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 6, "op": "compareResponse", "code": 16}]})"), "ok");
  EXPECT_EQ(QOXldapCompareSync(ld_, "cn=a", "sn", "a", &yes), kQOXErrLDAPNoSuchAttribute);
  EXPECT_EQ(yes, 0);
  peer_->Recv();
  // Every answer was dropped by its Sync form: nothing is pending.
  EXPECT_EQ(ld_->pending, nullptr);
}

TEST_F(LdapClientTest, SizeLimitKeepsTheEntriesReceived) {
  Connect();
  ASSERT_EQ(QOXldapSetOption(ld_, kQOXldapOptSizeLimit, 1), kQOXErrNoErr);
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 1, "op": "searchResEntry", "dn": "cn=a"},)"
                        R"({"id": 1, "op": "searchResDone", "code": 4}]})"),
            "ok");
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  EXPECT_EQ(QOXldapSearchSync(ld_, "o=x", 2, "(cn=*)", nullptr, 0, result), kQOXErrLDAPSizeLimitExceeded);
  EXPECT_NE(peer_->Recv().find("sizeLimit=1"), std::string::npos);
  int32_t count = 0;
  ASSERT_EQ(QOXldapCountEntries(ld_, result, &count), kQOXErrNoErr);
  EXPECT_EQ(count, 1);
  QOXFreeLDAPMessage(result);
}

TEST_F(LdapClientTest, ExpiredTimeLimit) {
  Connect();
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  // The peer reads the search and answers nothing.
  timeval limit{0, 200 * 1000};
  EXPECT_EQ(QOXldapSearchSyncTimeout(ld_, "o=x", 2, "(cn=*)", nullptr, 0, &limit, result),
            kQOXErrLDAPTimeout);
  peer_->Recv();
  int32_t code = 0;
  ASSERT_EQ(QOXldapGetErrno(ld_, nullptr, nullptr, &code), kQOXErrNoErr);
  EXPECT_EQ(code, kLdapTimeout);
  EXPECT_EQ(result->tag, 0u);
  uint32_t tag = 99;
  ASSERT_EQ(QOXldapGetResult(ld_, 1, 1, &limit, result, &tag), kQOXErrNoErr);
  EXPECT_EQ(tag, 0u);
  QOXFreeLDAPMessage(result);
}

TEST_F(LdapClientTest, PeerClosingInMidMessage) {
  Connect();
  int32_t id = 0;
  ASSERT_EQ(QOXldapSearch(ld_, "o=x", 2, "(cn=*)", nullptr, 0, &id), kQOXErrNoErr);
  peer_->Recv();
  // Half of a SearchResultDone, then the connection closes.
  std::string hex = peer_->Call(R"({"cmd": "encode", "msgs": [{"id": 1, "op": "searchResDone"}]})");
  ASSERT_GT(hex.size(), 8u);
  ASSERT_EQ(peer_->Call(R"({"cmd": "raw", "hex": ")" + hex.substr(0, hex.size() / 2 & ~size_t{1}) + "\"}"),
            "ok");
  ASSERT_EQ(peer_->Call(R"({"cmd": "close"})"), "ok");
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  uint32_t tag = 99;
  EXPECT_NE(QOXldapGetResult(ld_, id, 1, nullptr, result, &tag), kQOXErrNoErr);
  EXPECT_EQ(tag, 0u);
  EXPECT_EQ(ld_->pending, nullptr);  // nothing half-read was filed
  QOXFreeLDAPMessage(result);
}

// A request and the unbind after the peer went away return error codes; a
// process with the default SIGPIPE disposition survives them.
TEST_F(LdapClientTest, SendsToAPeerThatWentAwayRaiseNoSignal) {
  Connect();
  std::string hex = peer_->Call(R"({"cmd": "encode", "msgs": [{"id": 1, "op": "bindResponse"}]})");
  ASSERT_EQ(peer_->Call(R"({"cmd": "raw", "hex": ")" + hex.substr(0, 6) + "\"}"), "ok");
  ASSERT_EQ(peer_->Call(R"({"cmd": "reset"})"), "ok");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    QOXldapMessage result{};
    uint32_t tag = 0;
    int status = 0;
    if (QOXldapGetResult(ld_, 1, 0, nullptr, &result, &tag) == kQOXErrNoErr) status |= 1;
    int32_t id = 0;
    if (QOXldapSearch(ld_, "o=x", 2, "(cn=*)", nullptr, 0, &id) == kQOXErrNoErr) status |= 2;
    if (QOXldapUnbind(ld_) == kQOXErrNoErr) status |= 4;
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "calls that succeeded: bit 1 read, 2 search, 4 unbind";
}

// --- Connecting ---

TEST_F(LdapClientTest, OpenTriesTheHostsOfAListInTurn) {
  // Nothing listens on 127.0.0.2 at the peer's port (it listens on
  // 127.0.0.1 only): the first host refuses, the second accepts.
  ASSERT_EQ(QOXldapOpen(ld_, "  127.0.0.2   127.0.0.1 ", peer_->port()), kQOXErrNoErr);
  ASSERT_EQ(peer_->Call(R"({"cmd": "accept"})"), "ok");
  int32_t code = -1;
  ASSERT_EQ(QOXldapGetErrno(ld_, nullptr, nullptr, &code), kQOXErrNoErr);
  EXPECT_EQ(code, kLdapSuccess);
  EXPECT_STREQ(ld_->host, "127.0.0.1");
  EXPECT_EQ(ld_->port, peer_->port());
  int32_t id = 0;
  ASSERT_EQ(QOXldapAbandon(ld_, 1), kQOXErrNoErr);
  EXPECT_EQ(peer_->Recv(), "{messageID=1, protocolOp=abandonRequest:1}");

  // Every host refuses: the last connect's error and result 91; a list
  // without a name: 91 through the result table.
  EXPECT_EQ(QOXldapOpen(ld_, "127.0.0.2", peer_->port()), kQOXErrSocketNotConnected);
  ASSERT_EQ(QOXldapGetErrno(ld_, nullptr, nullptr, &code), kQOXErrNoErr);
  EXPECT_EQ(code, kLdapConnectError);
  EXPECT_EQ(QOXldapOpen(ld_, "   ", peer_->port()), kQOXErrLDAPConnectError);
  EXPECT_EQ(QOXldapSearch(ld_, "", 0, "(cn=x)", nullptr, 0, &id), kQOXErrSocketNotConnected);
}

// Waits use poll: a socket numbered above 1023 works.
TEST_F(LdapClientTest, SocketAboveTheSelectLimit) {
  rlimit lim{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max < 1200) GTEST_SKIP() << "the descriptor limit is below 1200";
  rlimit raised = lim;
  raised.rlim_cur = std::max<rlim_t>(lim.rlim_cur, 1200);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
  Connect();
  int32_t low = -1;
  ASSERT_EQ(QOXldapGetOption(ld_, kQOXldapOptSocket, &low), kQOXErrNoErr);
  int high = ::fcntl(low, F_DUPFD_CLOEXEC, 1100);
  ASSERT_GE(high, 1100);
  ASSERT_EQ(QOXldapSetOption(ld_, kQOXldapOptSocket, high), kQOXErrNoErr);
  QOXCloseSocket(low);
  EXPECT_EQ(peer_->Call(R"({"cmd": "send", "msgs": [{"id": 1, "op": "searchResEntry", "dn": "cn=a"},)"
                        R"({"id": 1, "op": "searchResDone", "code": 0}]})"),
            "ok");
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  EXPECT_EQ(QOXldapSearchSync(ld_, "o=x", 2, "(cn=*)", nullptr, 0, result), kQOXErrNoErr);
  peer_->Recv();
  EXPECT_EQ(result->tag, kLdapSearchResultEntry);
  QOXFreeLDAPMessage(result);
  QOXFreeLDAPContext(ld_);  // closes the high socket
  ld_ = nullptr;
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

TEST_F(LdapClientTest, OptionsAndArguments) {
  int32_t v = -1;
  for (int32_t option : {kQOXldapOptDeref, kQOXldapOptSizeLimit, kQOXldapOptTimeLimit}) {
    ASSERT_EQ(QOXldapGetOption(ld_, option, &v), kQOXErrNoErr);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(QOXldapSetOption(ld_, option, 40 + option), kQOXErrNoErr);
    ASSERT_EQ(QOXldapGetOption(ld_, option, &v), kQOXErrNoErr);
    EXPECT_EQ(v, 40 + option);
  }
  ASSERT_EQ(QOXldapGetOption(ld_, kQOXldapOptSocket, &v), kQOXErrNoErr);
  EXPECT_EQ(v, -1);
  EXPECT_EQ(QOXldapSetOption(ld_, 5, 1), kQOXErrBadParams);
  EXPECT_EQ(QOXldapGetOption(ld_, 0, &v), kQOXErrBadParams);
  EXPECT_EQ(QOXldapGetOption(nullptr, 1, &v), kQOXErrBadParams);
  // No socket: every sending function says so.
  int32_t id = 0;
  EXPECT_EQ(QOXldapSimpleBind(ld_, "", "", &id), kQOXErrSocketNotConnected);
  EXPECT_EQ(QOXldapAbandon(ld_, 1), kQOXErrSocketNotConnected);
  EXPECT_EQ(QOXldapDeleteSync(ld_, "cn=a"), kQOXErrSocketNotConnected);
  // Missing arguments.
  EXPECT_EQ(QOXldapSearch(nullptr, "", 0, "(a=b)", nullptr, 0, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXldapSearch(ld_, "", 0, nullptr, nullptr, 0, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXldapDelete(ld_, nullptr, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXNewLDAPContext(nullptr, nullptr), kQOXErrBadParams);
  QOXldapContext other = reinterpret_cast<QOXldapContext>(1);
  EXPECT_EQ(QOXNewLDAPContext(nullptr, &other), kQOXErrBadParams);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(QOXldapResultToError(ld_, kLdapCompareTrue), kQOXErrNoErr);
  EXPECT_EQ(QOXldapResultToError(ld_, kLdapTimeout), kQOXErrLDAPTimeout);
}

// --- URLs, DNs and sorting ---

TEST_F(LdapClientTest, URLs) {
  struct Case {
    const char* url;
    const char* host;
    uint16_t port;
    const char* dn;
    std::vector<std::string> attrs;  // {"<null>"}: no vector
    int32_t scope;
    const char* filter;
  };
  const std::vector<std::string> kNone = {"<null>"};
  const Case cases[] = {
      {"ldap:///o=x??sub?(cn=a)", nullptr, 0, "o=x", {}, 2, "(cn=a)"},
      {"ldap://host:389/o=x", "host", 389, "o=x", kNone, 0, "(objectclass=*)"},
      {"<URL:LDAPS://h/cn=a,o=x?cn, mail,,sn?one>", "h", 0, "cn=a,o=x", {"cn", "mail", "sn"}, 1,
       "(objectclass=*)"},
      {"URL:ldap://h:/?cn?base?(a=b)?c", "h", 0, "", {"cn"}, 0, "(a=b)?c"},
      {"ldap://:70/", nullptr, 70, "", kNone, 0, "(objectclass=*)"},
      {"ldap:///o=x??subtree", nullptr, 0, "o=x", {}, 2, "(objectclass=*)"},
      {"ldap:///o=x??bas", nullptr, 0, "o=x", {}, 0, "(objectclass=*)"},
      {"ldap:///o=x??other", nullptr, 0, "o=x", {}, 0, "(objectclass=*)"},
      {"ldap://h:65535/", "h", 65535, "", kNone, 0, "(objectclass=*)"},
      {"ldap://h:0000000000000000000000000000389/", "h", 389, "", kNone, 0, "(objectclass=*)"},
  };
  for (const Case& c : cases) {
    QOXldapURLDesc* d = nullptr;
    ASSERT_EQ(QOXldapURLParse(ld_, c.url, &d), kQOXErrNoErr) << c.url;
    EXPECT_STREQ(d->host, c.host) << c.url;
    EXPECT_EQ(d->port, c.port) << c.url;
    EXPECT_STREQ(d->dn, c.dn) << c.url;
    std::vector<std::string> attrs;
    if (d->attrs == nullptr) attrs = kNone;
    for (char** a = d->attrs; a != nullptr && *a != nullptr; ++a) attrs.push_back(*a);
    EXPECT_EQ(attrs, c.attrs) << c.url;
    EXPECT_EQ(d->scope, c.scope) << c.url;
    EXPECT_STREQ(d->filter, c.filter) << c.url;
    QOXFreeLDAPURLDesc(d);
  }
  struct Refusal {
    const char* url;
    QOXError err;
  };
  const Refusal refusals[] = {
      {"ldap://host:389", kQOXErrLDAPURLNoBaseDN},
      {"ldap://host", kQOXErrLDAPURLNoBaseDN},
      {"http://host/o=x", kQOXErrLDAPURLNotLDAP},
      {"ldap:/host/", kQOXErrLDAPURLNotLDAP},
      {"", kQOXErrLDAPURLNotLDAP},
      {"<ldap:///o=x", kQOXErrBadParams},
      {"<", kQOXErrBadParams},
      {"ldap://h:65536/", kQOXErrBadParams},
      {"ldap://h:00000000000000000000000000000389/", kQOXErrBadParams},  // 32 characters
  };
  for (const Refusal& c : refusals) {
    QOXldapURLDesc* d = reinterpret_cast<QOXldapURLDesc*>(1);
    EXPECT_EQ(QOXldapURLParse(ld_, c.url, &d), c.err) << c.url;
    EXPECT_EQ(d, nullptr) << c.url;
  }

  struct Is {
    const char* text;
    uint8_t yes;
  };
  const Is is[] = {{"ldap://h/", 1}, {"LDAPS://", 1}, {"<URL:ldap://x>", 1}, {"url:ldap:", 0},
                   {"<ldap://h/", 0}, {"http://h/", 0}, {"", 0}};
  for (const Is& c : is) {
    uint8_t yes = 9;
    ASSERT_EQ(QOXldapIsLDAPURL(ld_, c.text, &yes), kQOXErrNoErr);
    EXPECT_EQ(yes, c.yes) << c.text;
  }

  // A URL search on a connected context: a URL naming a host is refused.
  Connect();
  int32_t id = 0;
  EXPECT_EQ(QOXldapURLSearch(ld_, "ldap://h/o=x", 0, &id), kQOXErrBadParams);
  ASSERT_EQ(QOXldapURLSearch(ld_, "ldap:///o=x?cn?one?(cn=a*)", 1, &id), kQOXErrNoErr);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(peer_->Recv(),
            R"({messageID=1, protocolOp=searchRequest:{baseObject="o=x", scope=1, derefAliases=0, )"
            R"(sizeLimit=0, timeLimit=0, typesOnly=true, filter=substrings:{type="cn", )"
            R"(substrings=[initial:"a"]}, attributes=["cn"]}})");
}

TEST_F(LdapClientTest, ExplodeDN) {
  struct Case {
    const char* dn;
    uint8_t typesOff;
    std::vector<std::string> parts;
  };
  const Case cases[] = {
      {"cn=a, o=b,c=US", 0, {"cn=a", "o=b", "c=US"}},
      {"cn=a, o=b,c=US", 1, {"a", "b", "US"}},
      {"cn=a,o=b?scope", 0, {"cn=a", "o=b"}},
      {"  plain", 1, {"plain"}},
      {"cn=a=b,,o=", 1, {"a=b", "", ""}},
      {"", 0, {""}},
  };
  for (const Case& c : cases) {
    char** parts = nullptr;
    ASSERT_EQ(QOXldapExplodeDN(ld_, c.dn, c.typesOff, &parts), kQOXErrNoErr) << c.dn;
    std::vector<std::string> got;
    for (char** p = parts; *p != nullptr; ++p) got.push_back(*p);
    EXPECT_EQ(got, c.parts) << c.dn << " " << int{c.typesOff};
    QOXFreeLDAPValues(parts);
  }
}

// Python's sort with a case-insensitive key is the oracle; both sorts are
// stable, so equal keys keep their order in both.
TEST_F(LdapClientTest, SortsAgreeWithPython) {
  const std::vector<std::string> names = {"delta", "Alpha", "alpha", "_under", "Zulu", "zulu",
                                          "beta",  "ALPHA", "[x",    "a b",    "",     "Beta2"};
  std::string json = "[";
  for (size_t i = 0; i < names.size(); ++i) json += (i ? ", " : "") + Json(names[i]);
  json += "]";
  std::string python = peer_->Call(R"({"cmd": "sort", "values": )" + json + "}");
  std::string expected;
  {
    std::vector<char*> v;
    for (const std::string& n : names) v.push_back(const_cast<char*>(n.c_str()));
    v.push_back(nullptr);
    char** sorted = nullptr;
    ASSERT_EQ(QOXldapSortValues(ld_, v.data(), QOXldapCompareStringsIgnoreCase, &sorted), kQOXErrNoErr);
    for (char** p = sorted; *p != nullptr; ++p) expected += (p == sorted ? "" : "\t") + std::string(*p);
    QOXFreeLDAPValues(sorted);
  }
  EXPECT_EQ(expected, python);

  // Entries by an attribute and by DN, from a chain that holds references
  // (0x73) and ends with its SearchResultDone: only entries come out (the
  // fault: every message was written into records counted for entries).
  Connect();
  std::string msgs;
  for (size_t i = 0; i < names.size(); ++i) {
    msgs += R"({"id": 1, "op": "searchResEntry", "dn": )" + Json(names[i]) + R"(, "attrs": [["sn", [)" +
            Json(names[i]) + "]]]},";
    msgs += R"({"id": 1, "op": "searchResRef", "uris": ["ldap://h/"]},)";
  }
  msgs += R"({"id": 1, "op": "searchResDone"})";
  peer_->Send(msgs);
  QOXldapMessage* result = nullptr;
  ASSERT_EQ(QOXNewLDAPMessage(ld_, &result), kQOXErrNoErr);
  ASSERT_EQ(QOXldapSearchSync(ld_, "o=x", 2, "(sn=*)", nullptr, 0, result), kQOXErrNoErr);
  peer_->Recv();
  for (const char* type : {"SN", static_cast<const char*>(nullptr)}) {
    QOXldapMessage* sorted = nullptr;
    ASSERT_EQ(QOXNewLDAPMessage(ld_, &sorted), kQOXErrNoErr);
    ASSERT_EQ(QOXldapSortEntries(ld_, result, type, QOXldapCompareStringsIgnoreCase, sorted), kQOXErrNoErr);
    std::string got;
    size_t n = 0;
    for (QOXldapMessage* m = sorted; m != nullptr; m = m->next, ++n) {
      ASSERT_EQ(m->tag, kLdapSearchResultEntry);
      char* dn = nullptr;
      ASSERT_EQ(QOXldapGetDN(ld_, m, &dn), kQOXErrNoErr);
      got += (n ? "\t" : "") + std::string(dn);
      QOXFreeData(dn);
    }
    EXPECT_EQ(n, names.size());
    EXPECT_EQ(got, python) << (type ? type : "by DN");
    QOXFreeLDAPMessage(sorted);
  }
  QOXFreeLDAPMessage(result);
}

}  // namespace

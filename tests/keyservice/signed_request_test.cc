// The signed-request parser and the signature check over gpg's clear-signed
// requests (tests/keyservice/data, made by make_requests.sh): the key block
// and key IDs a request carries, the signed span, and the forged texts that
// must not count as signed (a request before or after someone's signed
// text).
#include "keyservice/signed_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
std::string Data(const std::string& name) { return Slurp(std::string(OSTRAK_SOURCE_DIR) + "/tests/keyservice/data/" + name); }
std::string KeyData(const std::string& name) { return Slurp(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/" + name); }
std::string KeyID(const std::string& key) {
  std::string id = Data(key + ".keyid");
  return id.substr(0, 16);
}

std::string CRLF(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

struct Parsed {
  QOXError err;
  ParsedRequest r;
  Parsed(const std::string& text, bool mustBeSigned) { err = ProcessReqBuffer(text.data(), text.size(), mustBeSigned, &r); }
  ~Parsed() { FreeParsedRequest(&r); }
  std::string block() const { return std::string(r.keyBlock, r.keyBlockLength); }
  std::string span(const std::string& text) const { return text.substr(r.signedOffset, r.signedLength); }
};

// One toolkit start for the program: the server allocator keeps the memory
// manager it first fetched.
class ToolkitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  void TearDown() override { QOXsdkCleanup(); }
};
const auto* const kToolkit = ::testing::AddGlobalTestEnvironment(new ToolkitEnvironment);

using ProcessReqBufferTest = ::testing::Test;

TEST(GetLineTest, EndsAndLimits) {
  const std::string text = "one  \r\ntwo\rthree\n\n" + std::string(300, 'x') + "\nlast";
  const char* cursor = text.data();
  size_t remaining = text.size();
  char line[kRequestLineMax + 1];
  size_t length = 0;
  const char* expect[] = {"one", "two", "three", ""};
  for (const char* want : expect) {
    ASSERT_EQ(GetLine(&cursor, &remaining, line, sizeof line, &length), 0);
    EXPECT_STREQ(line, want);
    EXPECT_EQ(length, strlen(want));
  }
  // A long line is cut at 255 characters and the rest skipped.
  ASSERT_EQ(GetLine(&cursor, &remaining, line, sizeof line, &length), 0);
  EXPECT_EQ(length, kRequestLineMax);
  ASSERT_EQ(GetLine(&cursor, &remaining, line, sizeof line, &length), 0);
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(GetLine(&cursor, &remaining, line, sizeof line, &length), kQOXErrEOF);
}

// gpg's requests, LF and CR LF: the key block handed on is the exported
// block with its dash escapes gone, the same for both line ends; the key
// IDs are the slots; the span is the whole clear-signed message.
TEST_F(ProcessReqBufferTest, GpgRequests) {
  const std::string add = Data("add.asc");
  const std::string prefix = "Sent by the key-server client\n\n";
  for (const std::string& text : {add, CRLF(add), prefix + add}) {
    Parsed p(text, true);
    ASSERT_EQ(p.err, 0);
    EXPECT_EQ(p.r.kind, kRequestAdd);
    EXPECT_EQ(p.r.location, kLocationActive);
    std::string block = p.block();
    EXPECT_EQ(block.rfind("-----BEGIN PGP PUBLIC KEY BLOCK-----", 0), 0u);
    EXPECT_TRUE(block.ends_with("\n-----END PGP PUBLIC KEY BLOCK-----")) << block;
    EXPECT_EQ(block.find("- -----"), std::string::npos);
    EXPECT_EQ(p.span(text), text.substr(text.find("-----BEGIN PGP SIGNED"), text.size() - text.find("-----BEGIN PGP SIGNED")));
  }
  Parsed lf(add, true), crlf(CRLF(add), true);
  std::string a = lf.block(), b = crlf.block();
  b.erase(std::remove(b.begin(), b.end(), '\r'), b.end());
  EXPECT_EQ(a, b);

  const std::string del = Data("delete.asc");
  Parsed d(del, true);
  ASSERT_EQ(d.err, 0);
  EXPECT_EQ(d.r.kind, kRequestDelete);
  ASSERT_EQ(d.r.keyIDCount, 1u);
  EXPECT_EQ(std::string(d.r.keyIDs), "0x" + KeyID("bob"));
  EXPECT_EQ(d.r.keyBlock, nullptr);
}

// The request grammar, each case with the text after a plain signed
// message header (and no signature: parsed as not signed).
TEST_F(ProcessReqBufferTest, Grammar) {
  const std::string id = "0x0123456789ABCDEF";
  const std::string key = "- -----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQ==\n- -----END PGP PUBLIC KEY BLOCK-----\n";
  const struct {
    const char* name;
    std::string body;
    QOXError err;
    int kind, location;
    size_t ids;
  } cases[] = {
      {"lower case headers", "request: disable\nlocation: pending\n\n" + id + "\n", 0, kRequestDisable, kLocationPending, 1},
      {"no location is active", "REQUEST: DELETE\n\n" + id + "\n" + id + "\n\ntrailing text\n", 0, kRequestDelete,
       kLocationActive, 2},
      {"no key IDs", "REQUEST: DELETE\n\n", 0, kRequestDelete, kLocationActive, 0},
      {"add", "REQUEST: ADD\n\n" + key, 0, kRequestAdd, kLocationActive, 0},
      {"two REQUEST lines", "REQUEST: ADD\nREQUEST: ADD\n\n" + key, kQOXErrUnrecognized, 0, 0, 0},
      {"two LOCATION lines", "REQUEST: DELETE\nLOCATION: ACTIVE\nLOCATION: ACTIVE\n\n", kQOXErrUnrecognized, 0, 0, 0},
      {"many REQUEST lines", [] {
         std::string s;
         for (int i = 0; i < 40; ++i) s += "REQUEST: ADD\n";
         return s + "\n";
       }(), kQOXErrUnrecognized, 0, 0, 0},
      {"unknown header", "REQUEST: ADD\nPRIORITY: HIGH\n\n" + key, kQOXErrUnrecognized, 0, 0, 0},
      {"no request", "LOCATION: ACTIVE\n\n", kQOXErrUnrecognized, 0, 0, 0},
      {"headers never end", "REQUEST: DELETE\n", kQOXErrUnrecognized, 0, 0, 0},
      {"0X key ID", "REQUEST: DELETE\n\n0X0123456789ABCDEF\n", kQOXErrItemNotFound, 0, 0, 0},
      {"short key ID", "REQUEST: DELETE\n\n0x0123456789ABCDE\n", kQOXErrItemNotFound, 0, 0, 0},
      {"not hex", "REQUEST: DELETE\n\n0x0123456789ABCDEG\n", kQOXErrItemNotFound, 0, 0, 0},
      {"key block missing", "REQUEST: ADD\n\nmQ==\n", kQOXErrItemNotFound, 0, 0, 0},
      {"key block unterminated", "REQUEST: ADD\n\n- -----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQ==\n",
       kQOXErrItemNotFound, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\n" + c.body;
    Parsed p(text, false);
    EXPECT_EQ(p.err, c.err);
    if (c.err != 0) {
      EXPECT_EQ(p.r.keyIDs, nullptr);
      EXPECT_EQ(p.r.keyBlock, nullptr);
      continue;
    }
    EXPECT_EQ(p.r.kind, c.kind);
    EXPECT_EQ(p.r.location, c.location);
    EXPECT_EQ(p.r.keyIDCount, c.ids);
    EXPECT_EQ(p.r.signedLength, 0u);
    // Without its header the same body is an unsigned request (TLS).
    Parsed bare(c.body, false);
    EXPECT_EQ(bare.err, 0);
    EXPECT_EQ(bare.r.kind, c.kind);
  }
}

// What must be signed and is not: refused.
TEST_F(ProcessReqBufferTest, SignedPartRequired) {
  const std::string del = Data("delete.asc");
  const std::string add = Data("add.asc");
  const std::string unsignedDelete = "REQUEST: DELETE\n\n0x" + KeyID("bob") + "\n";
  std::string noEmptyLine = del;
  noEmptyLine.erase(noEmptyLine.find("\n\n-----BEGIN PGP SIGNATURE"), 1);
  std::string cut = del.substr(0, del.find("-----END PGP SIGNATURE"));
  // A forged request in front of someone's signed text.
  const std::string forged =
      "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\nREQUEST: DELETE\n\n0x" + KeyID("carol") + "\n\n" + del;
  // A key block whose tail comes only after the signature.
  std::string outside = add;
  outside.erase(outside.find("- -----END PGP PUBLIC KEY BLOCK-----"), 37);
  outside += "- -----END PGP PUBLIC KEY BLOCK-----\n";
  const struct {
    const char* name;
    std::string text;
    QOXError err;
  } cases[] = {
      {"no message header", unsignedDelete, kQOXErrUnrecognized},
      {"key IDs run into the signature", noEmptyLine, kQOXErrItemNotFound},
      {"signature block cut", cut, kQOXErrUnrecognized},
      {"forged request before a signed text", forged, kQOXErrUnrecognized},
      {"key block tail after the signature", outside, kQOXErrUnrecognized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed p(c.text, true);
    EXPECT_EQ(p.err, c.err);
  }
}

class VerifyCertRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0); }
  void TearDown() override {
    for (QOXKeyDB* db : dbs_) QOXFreeKeyDB(db);
    QOXFreeContext(context_);
  }
  QOXKeyDB* KeyDB(const std::string& file) {
    const std::string bytes = KeyData(file);
    QOXKeyDB* db = nullptr;
    EXPECT_EQ(QOXImport(context_, &db, QOXOInputBuffer(context_, bytes.data(), bytes.size()), kQOXEndOfOptionList), 0);
    dbs_.push_back(db);
    return db;
  }
  struct Outcome {
    int rc;
    bool verified;
    std::string signer;
  };
  // Parses the text and checks its span.
  Outcome Check(const std::string& text, QOXKeyDB* db) {
    Parsed p(text, true);
    EXPECT_EQ(p.err, 0);
    bool verified = true;
    uint32_t created = 0;
    char signer[17] = "unchanged";
    int rc = VerifyCertRequest(text.data() + p.r.signedOffset, p.r.signedLength, db, context_, &verified, &created,
                               signer);
    return {rc, verified, signer};
  }
  QOXContext* context_ = nullptr;
  std::vector<QOXKeyDB*> dbs_;
};

// Verified only by the signer's key; the signer's ID is learnt either way.
TEST_F(VerifyCertRequestTest, SignerAndKey) {
  QOXKeyDB* alice = KeyDB("alice.bin");
  QOXKeyDB* carol = KeyDB("carol.bin");
  const std::string del = Data("delete.asc");
  std::string changed = del;
  changed.replace(changed.find("LOCATION: ACTIVE"), 16, "LOCATION: PENDING");
  const struct {
    const char* name;
    std::string text;
    QOXKeyDB* db;
    bool verified;
  } cases[] = {
      {"LF", del, alice, true},
      {"CR LF", CRLF(del), alice, true},
      {"add", Data("add.asc"), alice, true},
      {"other key", del, carol, false},
      {"no keys", del, nullptr, false},
      {"changed text", changed, alice, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Check(c.text, c.db);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.verified, c.verified);
    EXPECT_EQ(o.signer, KeyID("alice"));
  }
}

// Someone's signed MIME message, then a forged request carrying a
// signature block of another text: the span is the forged message alone,
// which does not verify.
TEST_F(VerifyCertRequestTest, SignedMessageBeforeForgedRequest) {
  QOXKeyDB* alice = KeyDB("alice.bin");
  const std::string mime = Slurp(std::string(OSTRAK_SOURCE_DIR) + "/tests/pipeline/data/armor/mime.eml");
  const std::string del = Data("delete.asc");
  const std::string signature = del.substr(del.find("-----BEGIN PGP SIGNATURE"));
  const std::string forged = mime + "\n-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n\nREQUEST: DELETE\n\n0x" +
                             KeyID("carol") + "\n\n" + signature;
  Outcome o = Check(forged, alice);
  EXPECT_EQ(o.rc, 0);
  EXPECT_FALSE(o.verified);
}

// Two signed messages in one span: not one signature, not verified; an
// empty span or a broken one is a failed decode.
TEST_F(VerifyCertRequestTest, OnlyOneSignature) {
  QOXKeyDB* alice = KeyDB("alice.bin");
  const std::string del = Data("delete.asc");
  const std::string two = del + del;
  bool verified = true;
  uint32_t created = 0;
  char signer[17] = {};
  EXPECT_EQ(VerifyCertRequest(two.data(), two.size(), alice, context_, &verified, &created, signer), 0);
  EXPECT_FALSE(verified);
  EXPECT_STREQ(signer, "");
  EXPECT_EQ(VerifyCertRequest(del.data(), 0, alice, context_, &verified, &created, signer), 21);
  EXPECT_FALSE(verified);
}

}  // namespace

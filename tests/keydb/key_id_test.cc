// Key IDs: parsing, printing and ordering as tables of cases, and the two
// printed forms against gpg's --keyid-format 0xlong and 0xshort for every
// key and subkey of the fixtures.
#include "keydb/key_id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "foundation/sdk_errors.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;

QOXKeyID Make(const std::vector<uint8_t>& bytes, uint8_t algorithm) {
  QOXKeyID id;
  EXPECT_EQ(QOXNewKeyID(bytes.data(), bytes.size(), algorithm, &id), kQOXErrNoErr);
  return id;
}

TEST(KeyIDTest, ParsesTheTextForms) {
  struct Case {
    const char* text;
    QOXError result;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"0x01AbcDeF", kQOXErrNoErr, {0x01, 0xAB, 0xCD, 0xEF}},
      {"01abcdef", kQOXErrNoErr, {0x01, 0xAB, 0xCD, 0xEF}},  // the prefix is optional
      {"0x0123456789ABCDEF", kQOXErrNoErr, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
      {"0123456789abcdef", kQOXErrNoErr, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
      {"0X01ABCDEF", kQOXErrBadParams, {}},  // an upper-case X is no prefix
      {"0x0123456789", kQOXErrBadParams, {}},  // ten digits
      {"0x0123456", kQOXErrBadParams, {}},
      {"0x0123456G", kQOXErrBadParams, {}},
      {"0x0123456789ABCDEF0", kQOXErrBadParams, {}},
      {"0x", kQOXErrBadParams, {}},
      {"", kQOXErrBadParams, {}},
      {"x01234567", kQOXErrBadParams, {}},
      {" 01234567", kQOXErrBadParams, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QOXKeyID id;
    std::memset(&id, 0xA5, sizeof id);
    EXPECT_EQ(QOXNewKeyIDFromString(c.text, 17, &id), c.result);
    if (c.result != kQOXErrNoErr) {
      QOXKeyID zero{};
      EXPECT_EQ(std::memcmp(&id, &zero, sizeof id), 0) << "all 36 bytes are cleared";
      continue;
    }
    EXPECT_EQ(id.valid, 1);
    EXPECT_EQ(id.length, c.bytes.size());
    EXPECT_EQ(id.algorithm, 17);
    EXPECT_EQ(std::memcmp(id.bytes, c.bytes.data(), c.bytes.size()), 0);
    for (size_t i = c.bytes.size(); i < sizeof id.bytes; ++i) EXPECT_EQ(id.bytes[i], 0);
  }
  QOXKeyID id;
  EXPECT_EQ(QOXNewKeyIDFromString(nullptr, 0, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXNewKeyIDFromString("0x01234567", 0, nullptr), kQOXErrBadParams);

  // The prefixed upper-case and the bare lower-case texts give one value.
  QOXKeyID a;
  QOXKeyID b;
  ASSERT_EQ(QOXNewKeyIDFromString("0xDEADBEEF", 1, &a), 0);
  ASSERT_EQ(QOXNewKeyIDFromString("deadbeef", 1, &b), 0);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(KeyIDTest, MakesAndReadsValues) {
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  QOXKeyID id;
  EXPECT_EQ(QOXNewKeyID(bytes, 5, 1, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXNewKeyID(nullptr, 4, 1, &id), kQOXErrBadParams);
  EXPECT_EQ(QOXNewKeyID(bytes, 4, 1, nullptr), kQOXErrBadParams);
  ASSERT_EQ(QOXNewKeyID(bytes, 8, 16, &id), kQOXErrNoErr);
  EXPECT_TRUE(qoxKeyIDIsValid(&id));
  EXPECT_EQ(qoxKeyIDLength(&id), 8u);
  EXPECT_EQ(std::memcmp(qoxGetKeyIDBytes(&id), bytes, 8), 0);
  uint8_t algorithm = 0;
  EXPECT_EQ(QOXGetKeyIDAlgorithm(&id, &algorithm), kQOXErrNoErr);
  EXPECT_EQ(algorithm, 16);
  EXPECT_EQ(QOXGetKeyIDAlgorithm(&id, nullptr), kQOXErrBadParams);

  QOXKeyID bad = id;
  bad.length = 6;
  EXPECT_FALSE(qoxKeyIDIsValid(&bad));
  EXPECT_EQ(QOXGetKeyIDAlgorithm(&bad, &algorithm), kQOXErrBadParams);
  bad = id;
  bad.valid = 2;
  EXPECT_FALSE(qoxKeyIDIsValid(&bad));
  EXPECT_FALSE(qoxKeyIDIsValid(nullptr));

  // The raw maker fills without clearing and takes only 4 or 8 bytes.
  QOXKeyID raw;
  std::memset(&raw, 0x77, sizeof raw);
  EXPECT_EQ(qoxNewKeyIDFromRawData(bytes, 3, 7, &raw), kQOXErrBadParams);
  ASSERT_EQ(qoxNewKeyIDFromRawData(bytes, 3, 4, &raw), kQOXErrNoErr);
  EXPECT_EQ(raw.valid, 1);
  EXPECT_EQ(raw.length, 4);
  EXPECT_EQ(raw.algorithm, 3);
  EXPECT_EQ(raw.bytes[4], 0x77);
}

TEST(KeyIDTest, PrintsTheTwoForms) {
  const QOXKeyID full = Make({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 1);
  const QOXKeyID abbreviated = Make({0x89, 0xAB, 0xCD, 0xEF}, 1);
  struct Case {
    const QOXKeyID* id;
    int form;
    QOXError result;
    const char* text;
  } cases[] = {
      {&full, 2, kQOXErrNoErr, "0x0123456789ABCDEF"},
      {&full, 1, kQOXErrNoErr, "0x89ABCDEF"},
      {&abbreviated, 2, kQOXErrNoErr, "0x89ABCDEF"},
      {&abbreviated, 1, kQOXErrNoErr, "0x89ABCDEF"},
      {&full, 0, kQOXErrBadParams, ""},
      {&full, 3, kQOXErrBadParams, ""},
      {nullptr, 2, kQOXErrBadParams, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char text[kQOXKeyIDStringSize];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(QOXGetKeyIDString(c.id, c.form, text), c.result);
    EXPECT_STREQ(text, c.text);
    for (size_t i = std::strlen(c.text); i < sizeof text; ++i) ASSERT_EQ(text[i], 0) << "cleared at " << i;
  }
  EXPECT_EQ(QOXGetKeyIDString(&full, 2, nullptr), kQOXErrBadParams);
}

TEST(KeyIDTest, Orders) {
  const std::vector<uint8_t> low = {0x89, 0xAB, 0xCD, 0xEF};
  const std::vector<uint8_t> full = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const std::vector<uint8_t> fullOther = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xF0};
  const std::vector<uint8_t> fullSmaller = {0x00, 0xFF, 0xFF, 0xFF, 0x89, 0xAB, 0xCD, 0xEF};
  struct Case {
    const char* what;
    QOXKeyID a;
    QOXKeyID b;
    int32_t expected;
  } cases[] = {
      {"same ID and algorithm", Make(full, 1), Make(full, 1), 0},
      {"bytes decide first", Make(fullSmaller, 17), Make(full, 1), -1},
      {"bytes, reversed", Make(full, 1), Make(fullSmaller, 17), 1},
      {"last byte", Make(full, 1), Make(fullOther, 1), -1},
      {"equal bytes, smaller algorithm first", Make(full, 1), Make(full, 17), -1},
      {"equal bytes, larger algorithm after", Make(full, 17), Make(full, 16), 1},
      {"any algorithm equals every algorithm", Make(full, 255), Make(full, 17), 0},
      {"every algorithm equals any", Make(full, 16), Make(full, 255), 0},
      {"short equals the low half", Make(low, 1), Make(full, 1), 0},
      {"low half equals short", Make(full, 1), Make(low, 1), 0},
      {"short and long, algorithms differ", Make(low, 1), Make(full, 17), -1},
      {"short and long, one any", Make(low, 255), Make(full, 17), 0},
      {"short orders first whatever its bytes", Make({0xFF, 0xFF, 0xFF, 0xFF}, 1), Make(full, 1), -1},
      {"long orders after whatever its bytes", Make(full, 1), Make({0x00, 0x00, 0x00, 0x00}, 1), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(QOXCompareKeyIDs(&c.a, &c.b), c.expected);
    EXPECT_EQ(qoxKeyIDsEqual(&c.a, &c.b), c.expected == 0);
  }
  QOXKeyID invalid = Make(full, 1);
  invalid.valid = 0;
  const QOXKeyID valid = Make(fullSmaller, 1);
  EXPECT_EQ(QOXCompareKeyIDs(&invalid, &valid), 0);
  EXPECT_EQ(QOXCompareKeyIDs(&valid, nullptr), 0);
  EXPECT_EQ(qoxKeyIDAlgorithm(2), 1);
  EXPECT_EQ(qoxKeyIDAlgorithm(3), 1);
  EXPECT_EQ(qoxKeyIDAlgorithm(16), 16);
}

class KeyIDFixtureTest : public keydb_test::KeyDBTest {};

// Forms 2 and 1 of every key's and subkey's key ID are what gpg prints with
// --keyid-format 0xlong and 0xshort.
TEST_F(KeyIDFixtureTest, FormsMatchGpg) {
  const std::regex line(R"(^(pub|sub)\s+\S+/(0x[0-9A-F]+))");
  for (const char* name : {"alice", "bob", "carol", "dave"}) {
    SCOPED_TRACE(name);
    std::vector<std::string> longIDs;
    std::vector<std::string> shortIDs;
    for (auto [file, out] : {std::pair{"keyid-long", &longIDs}, std::pair{"keyid-short", &shortIDs}}) {
      std::istringstream in(keydb_test::ReadText(std::string(name) + "." + file + ".txt"));
      std::smatch m;
      for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line)) out->push_back(m[2]);
    }
    std::vector<std::string> forms2;
    std::vector<std::string> forms1;
    for (const keydb_test::Packet& p : keydb_test::SplitPackets(keydb_test::ReadFile(std::string(name) + ".bin"))) {
      if (p.tag != kQOXPktTag_PublicKey && p.tag != kQOXPktTag_PublicSubKey) continue;
      uint8_t algorithm = 0;
      uint8_t raw[8];
      ASSERT_EQ(qoxKeyParse(context_, p.bytes.data(), p.bytes.size(), &algorithm, raw, nullptr, nullptr, nullptr,
                            nullptr, nullptr, false),
                0);
      QOXKeyID id;
      ASSERT_EQ(QOXNewKeyID(raw, 8, algorithm, &id), 0);
      char text[kQOXKeyIDStringSize];
      ASSERT_EQ(QOXGetKeyIDString(&id, kQOXKeyIDString_Full, text), 0);
      forms2.push_back(text);
      ASSERT_EQ(QOXGetKeyIDString(&id, kQOXKeyIDString_Abbreviated, text), 0);
      forms1.push_back(text);
    }
    EXPECT_EQ(forms2, longIDs);
    EXPECT_EQ(forms1, shortIDs);
    EXPECT_FALSE(forms2.empty());
  }
}

}  // namespace

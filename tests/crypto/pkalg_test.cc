// The algorithm table, the generation entropy estimates, the key-related
// error test, the key-generation spec, and the dispatch of unknown numbers.
#include "foundation/sdk_time.h"
#include "tests/crypto/pubkey_test_support.h"

namespace {

using namespace pktest;

class PkAlgTest : public PubKeyTest {};

TEST_F(PkAlgTest, AlgorithmTable) {
  struct Case {
    uint32_t number;
    uint32_t use;
  } cases[] = {{1, 3}, {2, 2}, {3, 1}, {16, 2}, {17, 1}, {0x111, 1}, {4, 0}, {0, 0}, {20, 0}};
  for (const Case& c : cases) EXPECT_EQ(qoxKeyAlgUse(qoxPkalgByNumber(c.number)), c.use) << c.number;
  EXPECT_EQ(qoxPkalgByNumber(4), nullptr);
  EXPECT_EQ(qoxPkalgByNumber(0x111), qoxPkalgByNumber(17));
}

TEST_F(PkAlgTest, GenerationEntropy) {
  struct Case {
    uint32_t algorithm;
    unsigned bits;
    bool fast, old;
    unsigned want;
  } cases[] = {
      {17, 1024, false, false, 672},
      {17, 1000, false, false, 672},
      {17, 2048, false, false, 2 * 225 + 232 + 192},
      {16, 1024, false, false, (3 * 169) / 2 + 192},
      {1, 2048, false, false, 2176},
      {1, 2048, true, false, 2176},
      {1, 1024, true, true, 384},
      {1, 8192, true, true, 8192 / 32 + 177},
      {3, 1024, false, false, 1152},
      {4, 1024, false, false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qoxSecKeyEntropy(qoxPkalgByNumber(c.algorithm), c.bits, c.fast, c.old), c.want)
        << c.algorithm << "/" << c.bits;
  }
}

TEST_F(PkAlgTest, KeyRelatedErrors) {
  for (QOXError code : {-11350, -11345, -11338, -11975}) EXPECT_TRUE(qoxIsKeyRelatedError(code)) << code;
  for (QOXError code : {-11351, -11337, -11976, 0}) EXPECT_FALSE(qoxIsKeyRelatedError(code)) << code;
}

TEST_F(PkAlgTest, KeySpec) {
  ASSERT_EQ(qoxenvSetInt(env_, kQOXEnvTimeOffsetHours, 2, 25), 0);
  QOXTime before = qoxTimeStamp(2);
  QOXKeySpec* spec = qoxKeySpecCreate(env_);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(qoxKeySpecVersion(spec), 3u);
  EXPECT_GE(qoxKeySpecCreation(spec), before);
  EXPECT_LE(qoxKeySpecCreation(spec), qoxTimeStamp(2));
  EXPECT_EQ(qoxKeySpecValidity(spec), 0);
  EXPECT_EQ(qoxKeySpecSetVersion(spec, 5), kQOXErrKeyVersionUnknown);
  EXPECT_EQ(qoxKeySpecSetVersion(spec, 1), kQOXErrKeyVersionUnknown);
  EXPECT_EQ(qoxKeySpecVersion(spec), 3u);
  EXPECT_EQ(qoxKeySpecSetVersion(spec, 4), 0);
  EXPECT_EQ(qoxKeySpecSetCreation(spec, 1234), 0);
  EXPECT_EQ(qoxKeySpecSetValidity(spec, 365), 0);
  QOXKeySpec* copy = qoxKeySpecCopy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(qoxKeySpecVersion(copy), 4u);
  EXPECT_EQ(qoxKeySpecCreation(copy), 1234u);
  EXPECT_EQ(qoxKeySpecValidity(copy), 365);
  qoxKeySpecDestroy(copy);
  qoxKeySpecDestroy(spec);
}

TEST_F(PkAlgTest, UnknownAlgorithms) {
  Bytes body = {0x00, 0x01, 0x01, 0x00, 0x01, 0x01};
  QOXError err = 0;
  EXPECT_EQ(qoxPubKeyFromBuf(context_, 4, body.data(), body.size(), &err), nullptr);
  EXPECT_EQ(err, kQOXErrKeyAlgorithmUnknown);
  EXPECT_EQ(qoxSecKeyFromBuf(context_, 18, body.data(), body.size(), 0, &err), nullptr);
  EXPECT_EQ(err, kQOXErrKeyAlgorithmUnknown);
  EXPECT_EQ(qoxSecKeyGenerate(context_, qoxPkalgByNumber(4), 1024, false, false, rc_, nullptr, nullptr, &err), nullptr);
  EXPECT_EQ(err, kQOXErrKeyAlgorithmUnknown);
  EXPECT_EQ(qoxPubKeyPrefixSize(4, body.data(), body.size()), 0);
  EXPECT_EQ(qoxPubKeyPrefixSize(16, body.data(), body.size()), kQOXErrKeyPacketTruncated);
  EXPECT_EQ(qoxPubKeyPrefixSize(1, body.data(), body.size()), 6);
}

}  // namespace

// Version and feature queries and the algorithm information records.
#include "foundation/core/features.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "crypto/pkalg.h"

namespace {

bool AllZero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

// A NUL-padded name field: the text, then zeros to the end.
void ExpectName(const char* field, size_t size, const std::string& name) {
  EXPECT_EQ(std::string(field), name);
  EXPECT_TRUE(AllZero(field + name.size(), size - name.size()));
}

TEST(FeaturesTest, VersionsAndFlags) {
  EXPECT_EQ(QOXGetQOXsdkVersion(), 0x02000100u);
  EXPECT_EQ(QOXGetQOXsdkAPIVersion(), 0x01000000u);
  char text[16];
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(QOXGetQOXsdkVersionString(text), kQOXErrNoErr);
  EXPECT_EQ(std::string(text, 11), std::string("QOXsdk 1.0\0", 11));
  EXPECT_EQ(text[11], 'x');
  EXPECT_EQ(QOXGetQOXsdkVersionString(nullptr), kQOXErrBadParams);

  struct Case {
    uint32_t selector;
    QOXError result;
    uint32_t flags;
  };
  for (const Case& c : {Case{1, kQOXErrNoErr, 15}, Case{2, kQOXErrNoErr, 0}, Case{3, kQOXErrItemNotFound, 0},
                        Case{0, kQOXErrItemNotFound, 0}}) {
    SCOPED_TRACE(c.selector);
    uint32_t flags = 0xFFFF;
    EXPECT_EQ(QOXGetFeatureFlags(c.selector, &flags), c.result);
    EXPECT_EQ(flags, c.flags);
  }
  EXPECT_EQ(QOXGetFeatureFlags(1, nullptr), kQOXErrBadParams);
}

TEST(FeaturesTest, PublicKeyAlgorithmsFollowTheEngine) {
  struct Row {
    std::string shortName, longName;
    uint32_t algorithm;
    uint8_t encrypt, decrypt, sign, verify, generate;
  };
  // RSA's capabilities and presence come from the engine's use mask.
  uint32_t rsaUse = qoxKeyAlgUse(qoxPkalgByNumber(1));
  uint8_t rsaEncrypts = (rsaUse & kQOXPkAlgUseEncrypt) != 0;
  uint8_t rsaSigns = (rsaUse & kQOXPkAlgUseSign) != 0;
  std::vector<Row> expected;
  if (rsaUse != 0) expected.push_back({"RSA", "RSA (QOX)", 1, rsaEncrypts, rsaEncrypts, rsaSigns, rsaSigns, 1});
  expected.push_back({"ElGamal", "ElGamal", 16, 1, 1, 0, 0, 1});
  expected.push_back({"DSA", "Digital Signature Standard", 17, 0, 0, 1, 1, 1});

  uint32_t count = 0;
  EXPECT_EQ(QOXCountPublicKeyAlgorithms(&count), kQOXErrNoErr);
  EXPECT_EQ(count, expected.size());
  EXPECT_EQ(QOXCountPublicKeyAlgorithms(nullptr), kQOXErrBadParams);

  for (uint32_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const Row& row = expected[i];
    QOXPublicKeyAlgorithmInfo info;
    std::memset(&info, 0xAA, sizeof(info));
    ASSERT_EQ(QOXGetIndexedPublicKeyAlgorithmInfo(i, &info), kQOXErrNoErr);
    ExpectName(info.shortName, sizeof(info.shortName), row.shortName);
    ExpectName(info.longName, sizeof(info.longName), row.longName);
    EXPECT_TRUE(AllZero(info.reserved, sizeof(info.reserved)));
    EXPECT_EQ(info.algorithm, row.algorithm);
    EXPECT_EQ(info.canEncrypt, row.encrypt);
    EXPECT_EQ(info.canDecrypt, row.decrypt);
    EXPECT_EQ(info.canSign, row.sign);
    EXPECT_EQ(info.canVerify, row.verify);
    EXPECT_EQ(info.canGenerate, row.generate);
    EXPECT_TRUE(AllZero(info.reserved2, sizeof(info.reserved2)));
  }
  for (uint32_t index : {static_cast<uint32_t>(expected.size()), 3u, 100u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(index);
    QOXPublicKeyAlgorithmInfo info;
    std::memset(&info, 0xAA, sizeof(info));
    EXPECT_EQ(QOXGetIndexedPublicKeyAlgorithmInfo(index, &info), kQOXErrBadParams);
    EXPECT_TRUE(AllZero(&info, sizeof(info)));
  }
  EXPECT_EQ(QOXGetIndexedPublicKeyAlgorithmInfo(0, nullptr), kQOXErrBadParams);
}

TEST(FeaturesTest, SymmetricCiphers) {
  struct Row {
    const char* name;
    uint32_t algorithm;
  };
  const Row rows[] = {{"IDEA", 1},   {"3DES", 2},   {"CAST5", 3}, {"Twofish", 10},
                      {"AES128", 7}, {"AES192", 8}, {"AES256", 9}};
  uint32_t count = 0;
  EXPECT_EQ(QOXCountSymmetricCiphers(&count), kQOXErrNoErr);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(QOXCountSymmetricCiphers(nullptr), kQOXErrBadParams);
  for (uint32_t i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    QOXSymmetricCipherInfo info;
    std::memset(&info, 0xAA, sizeof(info));
    ASSERT_EQ(QOXGetIndexedSymmetricCipherInfo(i, &info), kQOXErrNoErr);
    ExpectName(info.shortName, sizeof(info.shortName), rows[i].name);
    ExpectName(info.longName, sizeof(info.longName), rows[i].name);
    EXPECT_TRUE(AllZero(info.reserved, sizeof(info.reserved)));
    EXPECT_EQ(info.algorithm, rows[i].algorithm);
    EXPECT_TRUE(AllZero(info.reserved2, sizeof(info.reserved2)));
  }
  for (uint32_t index : {7u, 0xFFFFFFFFu}) {
    QOXSymmetricCipherInfo info;
    std::memset(&info, 0xAA, sizeof(info));
    EXPECT_EQ(QOXGetIndexedSymmetricCipherInfo(index, &info), kQOXErrBadParams);
    EXPECT_TRUE(AllZero(&info, sizeof(info)));
  }
  EXPECT_EQ(QOXGetIndexedSymmetricCipherInfo(0, nullptr), kQOXErrBadParams);
}

}  // namespace

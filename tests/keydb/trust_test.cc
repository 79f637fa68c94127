// Trust scales: the conversion cases as tables (defaults and changed
// settings), and a key's confidence as an introducer from its user IDs'
// confidences and its trust-signature value.
#include "keydb/trust.h"

#include <gtest/gtest.h>

#include <cmath>

#include "foundation/env.h"
#include "keydb/obj_accessors.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

TEST(TrustScaleTest, InternalAndExternal) {
  struct {
    uint16_t intern;
    uint8_t extern_;
  } toExtern[] = {{65534, 252}, {16127, 251}, {65535, 255}, {0, 0}, {63, 0}, {64, 1}, {16128, 252}, {7680, 120}};
  for (auto c : toExtern) EXPECT_EQ(qoxTrustToExtern(c.intern), c.extern_) << c.intern;
  struct {
    uint8_t extern_;
    uint16_t intern;
  } toIntern[] = {{253, 0}, {254, 0}, {255, 65535}, {252, 16128}, {0, 0}, {120, 7680}, {1, 64}};
  for (auto c : toIntern) EXPECT_EQ(qoxTrustToIntern(c.extern_), c.intern) << int(c.extern_);

  EXPECT_EQ(qoxDoubleToTrust(10.0), 2560);
  EXPECT_EQ(qoxDoubleToTrust(1.0), 0);
  EXPECT_EQ(qoxDoubleToTrust(100.0), 5120);
  EXPECT_EQ(qoxDoubleToTrust(std::pow(10.0, 65534.0 / 2560)), 65534);
  EXPECT_EQ(qoxDoubleToTrust(1e300), 65534);
  EXPECT_EQ(qoxDoubleToTrust(std::pow(10.0, 65000.0 / 2560)), 65000);
  EXPECT_DOUBLE_EQ(qoxTrustToDouble(2560), 10.0);
  EXPECT_DOUBLE_EQ(qoxTrustToDouble(0), 1.0);
  for (uint16_t t : {0, 1, 64, 2560, 7680, 40000, 65534}) EXPECT_EQ(qoxDoubleToTrust(qoxTrustToDouble(t)), t);

  struct {
    uint8_t legacy;
    uint8_t old;
  } toUserID[] = {{0, 0}, {1, 0}, {2, 1}, {3, 0}, {4, 0}, {5, 2}, {6, 3}, {7, 3}};
  for (auto c : toUserID) EXPECT_EQ(qoxTrustOldKeyToUserID(c.legacy), c.old) << int(c.legacy);
}

class TrustSettingsTest : public keydb_test::KeyDBTest {
 protected:
  QOXEnv* env() { return qoxContextGetEnvironment(context_); }
  void Set(int32_t key, int32_t value) {
    ASSERT_EQ(qoxenvSetInt(env(), key, static_cast<uint32_t>(value), kQOXEnvPriorityOptions), 0);
  }
};

TEST_F(TrustSettingsTest, DefaultThresholds) {
  EXPECT_EQ(qoxenvCompleteTrust(env()), 120);
  EXPECT_EQ(qoxenvMarginalTrust(env()), 60);
  struct {
    uint8_t legacy;
    uint8_t extern_;
  } oldToExtern[] = {{0, 253}, {5, 60}, {6, 120}, {7, 255}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {0x0D, 60}};
  for (auto c : oldToExtern) EXPECT_EQ(qoxTrustOldToExtern(env(), c.legacy), c.extern_) << int(c.legacy);
  struct {
    uint8_t extern_;
    uint8_t legacy;
  } externToOld[] = {{255, 7}, {253, 1}, {254, 6}, {100, 6}, {99, 5}, {40, 5}, {39, 2}, {0, 2}, {252, 6}};
  for (auto c : externToOld) EXPECT_EQ(qoxTrustExternToOld(env(), c.extern_), c.legacy) << int(c.extern_);
}

TEST_F(TrustSettingsTest, ChangedThresholds) {
  Set(kQOXEnvTrustThreshold, 100);
  Set(kQOXEnvTrustDivisor1, 3);
  Set(kQOXEnvTrustDivisor2, 0);
  EXPECT_EQ(qoxenvCompleteTrust(env()), 34) << "ceil(100 / 3)";
  EXPECT_EQ(qoxenvMarginalTrust(env()), 0) << "a divisor below 1";
  EXPECT_EQ(qoxTrustOldToExtern(env(), 5), 0);
  EXPECT_EQ(qoxTrustExternToOld(env(), 22), 6) << "(2 x 34 + 0) / 3 = 22";
  EXPECT_EQ(qoxTrustExternToOld(env(), 21), 5);
  Set(kQOXEnvTrustThreshold, 300);
  Set(kQOXEnvTrustDivisor1, 1);
  EXPECT_EQ(qoxenvCompleteTrust(env()), 255) << "the threshold is clamped to 255";
  Set(kQOXEnvTrustThreshold, -5);
  EXPECT_EQ(qoxenvCompleteTrust(env()), 0);
  Set(kQOXEnvTrustDivisor2, -2);
  EXPECT_EQ(qoxenvMarginalTrust(env()), 0);
}

TEST_F(TrustSettingsTest, ConfidenceOfAKeyAsIntroducer) {
  const uint8_t id[8] = {1};
  QOXKeyDBObj* key = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key, 1, id);
  EXPECT_DOUBLE_EQ(pathKeyConfidence(key), 0.0) << "no user ID";
  EXPECT_EQ(qoxKeyCalcTrust(key), 0);
  QOXKeyDBObj* a = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  QOXKeyDBObj* b = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  QOXKeyDBObj* gone = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  EXPECT_DOUBLE_EQ(pathKeyConfidence(key), 0.0) << "undefined confidences count for nothing";
  qoxUserIDToUserIDInfo(a)->confidence = 120;  // odds 10^3
  qoxUserIDToUserIDInfo(b)->confidence = 60;   // odds 10^1.5
  qoxUserIDToUserIDInfo(gone)->confidence = 1;
  qoxMarkKeyDBObjectDeleted(gone);
  const double marginal = 1.0 - 1.0 / std::pow(10.0, 1.5);
  EXPECT_NEAR(pathKeyConfidence(key), marginal, 1e-12) << "the smallest";
  EXPECT_EQ(qoxKeyCalcTrust(key), 3840);
  EXPECT_EQ(qoxKeyConfidence(key), 3840);
  // A trust signature's value raises it.
  qoxKeyToKeyInfo(key)->signedTrust = 120;
  EXPECT_NEAR(pathKeyConfidence(key), 1.0 - 1e-3, 1e-12);
  EXPECT_EQ(qoxKeyCalcTrust(key), 7680);
  qoxKeyToKeyInfo(key)->signedTrust = 30;  // lower than the user IDs give
  EXPECT_NEAR(pathKeyConfidence(key), marginal, 1e-12);
  // Certain confidence.
  qoxUserIDToUserIDInfo(b)->confidence = 255;
  qoxUserIDToUserIDInfo(a)->confidence = 255;
  EXPECT_EQ(qoxKeyCalcTrust(key), 65535);
}

}  // namespace

// The cipher layer in FIPS mode, a program of its own because FIPS mode stays
// on for the rest of the process: the protection cipher is always 3DES, and
// a random cycle that repeats its output block fails and stops the toolkit.
#include <gtest/gtest.h>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "foundation/env.h"
#include "foundation/sdk_errors.h"
#include "tests/crypto/cipher_test_support.h"

namespace {

using ciphertest::Bytes;

class CipherFips : public ciphertest::CipherTest {
 protected:
  void SetUp() override {
    ciphertest::CipherTest::SetUp();
    QOXEnableFIPSMode();
    qoxSetHaveRunAllSelfTests();
  }
};

TEST_F(CipherFips, DefaultCipherIsTripleDesAndRepeatedCycleFails) {
  QOXEnv* env = qoxContextGetEnvironment(context_);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvCipherAlgorithm, 10, kQOXEnvPriorityOptions), 0);
  EXPECT_EQ(qoxCipherDefaultKey(env), &cipher3DES);
  EXPECT_EQ(qoxCipherDefaultKeyV3(env), &cipher3DES);

  QOXCFBContext* cfb = nullptr;
  ASSERT_EQ(QOXNewCFBContext(NewCipher(kQOXCipherAlgorithm_3DES), 1, &cfb), 0);
  Bytes key = ciphertest::Counting(24, 5), iv = ciphertest::Counting(8, 1), salt(8, 0x42);
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
  ASSERT_EQ(QOXCFBRandomCycle(cfb, salt.data()), 0);
  Bytes first(cfb->Unit(0)->previous, cfb->Unit(0)->previous + 8);
  ASSERT_EQ(QOXCFBRandomCycle(cfb, salt.data()), 0) << "a different block is fine";
  // Restarting from the same state produces the same block twice in a row.
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
  ASSERT_EQ(QOXCFBRandomCycle(cfb, salt.data()), 0);
  ASSERT_EQ(QOXInitCFB(cfb, key.data(), iv.data()), 0);
  EXPECT_EQ(QOXCFBRandomCycle(cfb, salt.data()), kQOXErrSelfTestFailed);
  EXPECT_EQ(Bytes(cfb->Unit(0)->previous, cfb->Unit(0)->previous + 8), first)
      << "the cycle still runs to the end";
  EXPECT_EQ(cfb->Unit(0)->available, 8u);
  // From now on the gate refuses every public call.
  EXPECT_EQ(QOXGetSDKErrorState(), kQOXErrSelfTestFailed);
  QOXSymmetricCipherContext* c = nullptr;
  EXPECT_EQ(QOXNewSymmetricCipherContext(context_, 2, &c), kQOXErrSelfTestFailed);
  EXPECT_EQ(c, nullptr);
  qoxClearSDKErrorState();
  EXPECT_EQ(QOXFreeCFBContext(cfb), 0);
}

}  // namespace

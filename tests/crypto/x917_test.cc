// The X9.17 generators: determinism over the dummy pool, a frozen output,
// entropy charged on the base, and the context wiring.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "crypto/context_random.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "tests/crypto/random_test_support.h"

namespace {

class X917Test : public FreshPoolTest {
 protected:
  void SetUp() override {
    FreshPoolTest::SetUp();
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
  }
  void TearDown() override {
    for (QOXRandomContext* rc : made_) rc->destroy(rc);
    EXPECT_EQ(QOXFreeContext(context_), 0);
    FreshPoolTest::TearDown();
  }
  QOXRandomContext* Keep(QOXRandomContext* rc) {
    if (rc != nullptr) made_.push_back(rc);
    return rc;
  }
  static std::vector<uint8_t> Draw(QOXRandomContext* rc, size_t n) {
    std::vector<uint8_t> out(n);
    qoxRandomGetBytes(rc, out.data(), n);
    return out;
  }
  static std::string Hex(const std::vector<uint8_t>& v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
      s += digits[b >> 4];
      s += digits[b & 15];
    }
    return s;
  }

  QOXContext* context_ = nullptr;
  std::vector<QOXRandomContext*> made_;
};

TEST_F(X917Test, PseudoRandomGeneratorsDependOnlyOnAddedBytes) {
  QOXRandomContext* a = Keep(qoxPseudoRandomCreate(context_));
  QOXRandomContext* b = Keep(qoxPseudoRandomCreate(context_));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(a->vtbl->name, "X9.17-based cryptographic PRNG");
  // Draw in different pieces: the streams still agree byte for byte.
  std::vector<uint8_t> sa = Draw(a, 37);
  std::vector<uint8_t> rest = Draw(a, 63);
  sa.insert(sa.end(), rest.begin(), rest.end());
  EXPECT_EQ(sa, Draw(b, 100));

  const uint8_t same[] = "same bytes";
  a->vtbl->addBytes(a->priv, same, sizeof same);
  b->vtbl->addBytes(b->priv, same, sizeof same);
  EXPECT_EQ(Draw(a, 50), Draw(b, 50));
  const uint8_t other[] = "other bytes";
  a->vtbl->addBytes(a->priv, same, sizeof same);
  b->vtbl->addBytes(b->priv, other, sizeof other);
  EXPECT_NE(Draw(a, 50), Draw(b, 50));
}

TEST_F(X917Test, FixedSeedGivesAFrozenStream) {
  // Over the all-zero base the output is a function of the cipher alone;
  // these streams were recorded once and guard the generator's cycle.
  QOXRandomContext dummy{nullptr, qoxGetGlobalDummyRandomPoolVTBL(), nullptr, nullptr};
  QOXRandomContext* cast5 = Keep(qoxRandomCreateX9_17(context_, kQOXCipherAlgorithm_CAST5, &dummy));
  QOXRandomContext* des3 = Keep(qoxRandomCreateX9_17(context_, kQOXCipherAlgorithm_3DES, &dummy));
  ASSERT_NE(cast5, nullptr);
  ASSERT_NE(des3, nullptr);
  EXPECT_EQ(Hex(Draw(cast5, 32)),
            "54197f25d336641c95a9ce5a67a2999552f5b183b7b871850976a33352192d9e");
  EXPECT_EQ(Hex(Draw(des3, 32)),
            "31a4d09433b652dd7b72e4a01f49709bf76c148edb6b959bb29c08d29592e2ba");
  // A cipher without an encrypt operation cannot carry a generator.
  EXPECT_EQ(qoxRandomCreateX9_17(context_, kQOXCipherAlgorithm_RC2_40, &dummy), nullptr);
  EXPECT_EQ(qoxRandomCreateX9_17(context_, 999, &dummy), nullptr);
  EXPECT_EQ(qoxRandomCreateX9_17(context_, kQOXCipherAlgorithm_CAST5, nullptr), nullptr);
}

TEST_F(X917Test, DrawsChargeTheBaseAndStirReachesIt) {
  ScriptedGenerator base;
  QOXRandomContext baseHandle = base.Handle();
  QOXRandomContext* rc = Keep(qoxRandomCreateX9_17(context_, kQOXCipherAlgorithm_CAST5, &baseHandle));
  ASSERT_NE(rc, nullptr);
  ASSERT_EQ(base.requests.size(), 1u);
  EXPECT_EQ(base.requests[0].count, 32u) << "seeded with 32 bytes";
  EXPECT_EQ(base.requests[0].entropyBits, 0u);
  base.requests.clear();
  Draw(rc, 20);
  ASSERT_GE(base.requests.size(), 2u);
  EXPECT_EQ(base.requests[0].count, 0u) << "the charge comes first, for no bytes";
  EXPECT_EQ(base.requests[0].entropyBits, 160u);
  for (size_t i = 1; i < base.requests.size(); ++i) {
    EXPECT_EQ(base.requests[i].count, 8u) << "one fresh cipher block per cycle";
    EXPECT_EQ(base.requests[i].entropyBits, 0u);
  }
  rc->vtbl->stir(rc->priv);
  EXPECT_EQ(base.stirs, 1);
  EXPECT_TRUE(base.added.empty()) << "adding to the generator leaves the base alone";
}

TEST_F(X917Test, GlobalPoolEstimateDropsByEightBitsPerByteDrawn) {
  qoxGlobalRandomPoolSetEntropy(1000);
  QOXRandomContext* rc = qoxRandomCreate(context_);
  ASSERT_NE(rc, nullptr);
  EXPECT_EQ(qoxContextGetX9_17RandomContext(context_), qoxContextGetX9_17RandomContext(context_));
  Keep(rc);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 1000u) << "creation charges nothing";
  Draw(rc, 10);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 920u);

  // The context's bytes need the pool's minimum entropy.
  uint8_t buffer[16];
  EXPECT_EQ(QOXContextGetRandomBytes(context_, buffer, sizeof buffer), kQOXErrOutOfEntropy);
  ASSERT_EQ(QOXGlobalRandomPoolAddSystemState(), 0);
  EXPECT_EQ(QOXContextGetRandomBytes(context_, buffer, sizeof buffer), 0);
}

TEST_F(X917Test, FrontEndIsNotAvailableInProcess) {
  EXPECT_EQ(qoxRPCClientServices().qoxRandomCreate_frontend(context_), nullptr);
  EXPECT_EQ(qoxRandomCreate(nullptr), nullptr);
  EXPECT_EQ(qoxPseudoRandomCreate(nullptr), nullptr);
}

}  // namespace

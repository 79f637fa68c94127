// The X9.17 generators: determinism over the dummy pool, a frozen output,
// entropy charged on the base, and the context wiring.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "crypto/context_random.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "tests/common/scoped_services.h"
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

// In process the back-end entries serve the context's own X9.17 generator:
// a draw charges the pool, bytes added change what follows.
TEST_F(X917Test, BackEndEntriesInProcess) {
  EXPECT_EQ(qoxRandomCreate(nullptr), nullptr);
  EXPECT_EQ(qoxPseudoRandomCreate(nullptr), nullptr);
  QOXRandomContext* own = qoxContextGetX9_17RandomContext(context_);
  ASSERT_NE(own, nullptr);
  EXPECT_STREQ(own->vtbl->name, "X9.17-based cryptographic PRNG") << "the link is off";
  qoxGlobalRandomPoolSetEntropy(1000);
  uint8_t* bytes = nullptr;
  size_t length = 0;
  ASSERT_EQ(qoxRandomGetBytesEntropy_back(context_, 24, 64, &bytes, &length), 0);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(length, 24u);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 1000u - 64) << "the entropy asked is charged";
  EXPECT_NE(std::vector<uint8_t>(bytes, bytes + 24), std::vector<uint8_t>(24, 0));
  QOXFreeData(bytes);
  const uint8_t added[3] = {1, 2, 3};
  EXPECT_EQ(qoxRandomAddBytes_back(context_, added, sizeof added), 0);
}

// With the service link on, the context's generator is a front end whose
// every request goes to the back end (a double of the RPC client here);
// bytes the back end cannot give read as zeros.
TEST_F(X917Test, FrontEndForwardsEveryRequest) {
  static std::vector<uint8_t> added;
  static size_t asked = 0;
  static uint32_t charged = 0;
  static bool refuse = false;
  added.clear();
  ostrak_test::ScopedServices<QOXRPCClientServices> rpc(qoxRPCClientServices, qoxRegisterRPCClientServices);
  rpc->qoxRPCEnabled = [] { return true; };
  rpc->qoxRandomAddBytes_backRPC = [](QOXContext*, const uint8_t* bytes, size_t count) {
    added.insert(added.end(), bytes, bytes + count);
    return kQOXErrNoErr;
  };
  rpc->qoxRandomGetBytesEntropy_backRPC = [](QOXContext* context, size_t count, uint32_t entropy,
                                             uint8_t** outBuffer, size_t* outLength) {
    asked = count;
    charged = entropy;
    *outBuffer = nullptr;
    *outLength = 0;
    if (refuse) return kQOXErrOutOfMemory;
    auto* b = static_cast<uint8_t*>(qoxContextMemAlloc(context, count, 0));
    for (size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(0xA0 + i);
    *outBuffer = b;
    *outLength = count;
    return kQOXErrNoErr;
  };
  QOXRandomContext* front = Keep(qoxRandomCreate(context_));
  ASSERT_NE(front, nullptr);
  EXPECT_STREQ(front->vtbl->name, "frontend to cryptographic PRNG");
  const uint8_t bytes[4] = {7, 7, 7, 7};
  front->vtbl->addBytes(front->priv, bytes, sizeof bytes);
  EXPECT_EQ(added, std::vector<uint8_t>(bytes, bytes + 4));
  std::vector<uint8_t> out(5, 0xFF);
  front->vtbl->getBytesEntropy(front->priv, out.data(), out.size(), 40);
  EXPECT_EQ(out, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
  EXPECT_EQ(asked, 5u);
  EXPECT_EQ(charged, 40u);
  front->vtbl->stir(front->priv);
  refuse = true;
  std::fill(out.begin(), out.end(), 0xFF);
  front->vtbl->getBytesEntropy(front->priv, out.data(), out.size(), 0);
  EXPECT_EQ(out, std::vector<uint8_t>(5, 0));
  refuse = false;
  // The pool's state and figures go through the link too.
  rpc->qoxGlobalRandomPoolAddState_backRPC = [](bool keystroke, uint32_t, bool, bool) -> int32_t {
    return keystroke ? 5 : 6;
  };
  rpc->qoxGlobalRandomPoolGetInfo_backRPC = [](uint32_t* entropy, uint32_t*, uint32_t*, bool* has) {
    if (entropy != nullptr) *entropy = 4242;
    if (has != nullptr) *has = true;
  };
  EXPECT_EQ(QOXGlobalRandomPoolAddKeystroke(65), 5u);
  EXPECT_EQ(QOXGlobalRandomPoolMouseMoved(), 6u);
  EXPECT_EQ(QOXGlobalRandomPoolGetEntropy(), 4242u);
  EXPECT_TRUE(QOXGlobalRandomPoolHasMinimumEntropy());
}

}  // namespace

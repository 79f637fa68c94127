// Threads working each in their own toolkit context: the random cycle's
// process-wide last block (FIPS repeat check) and the shared constant tables
// must not race. Runs under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "tests/crypto/cipher_test_support.h"

namespace {

using ciphertest::Bytes;

TEST(CipherConcurrency, ThreadsCycleAndEncryptInTheirOwnContexts) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  QOXEnableFIPSMode();
  qoxSetHaveRunAllSelfTests();
  constexpr int kThreads = 4;
  std::vector<QOXContext*> contexts(kThreads, nullptr);
  for (auto& c : contexts) ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &c), 0);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      QOXSymmetricCipherContext* cipher = nullptr;
      QOXCFBContext* cfb = nullptr;
      if (QOXNewSymmetricCipherContext(contexts[t], kQOXCipherAlgorithm_3DES, &cipher) != 0 ||
          QOXNewCFBContext(cipher, 1, &cfb) != 0) {
        ++failures[t];
        return;
      }
      Bytes key = ciphertest::Counting(24, 7, t + 1), salt(8, static_cast<uint8_t>(t));
      if (QOXInitCFB(cfb, key.data(), nullptr) != 0) ++failures[t];
      for (int i = 0; i < 300; ++i) {
        if (QOXCFBRandomCycle(cfb, salt.data()) != 0) ++failures[t];
      }
      QOXFreeCFBContext(cfb);
      // Key schedules that read the compile-time tables.
      for (QOXCipherAlgorithm alg : {kQOXCipherAlgorithm_Twofish256, kQOXCipherAlgorithm_AES256}) {
        QOXSymmetricCipherContext* c = nullptr;
        Bytes k = ciphertest::Counting(32, t + 3), block(16, 0);
        if (QOXNewSymmetricCipherContext(contexts[t], alg, &c) != 0 ||
            QOXInitSymmetricCipher(c, k.data()) != 0 ||
            QOXSymmetricCipherEncrypt(c, block.data(), block.data()) != 0 ||
            QOXSymmetricCipherDecrypt(c, block.data(), block.data()) != 0 || block != Bytes(16, 0)) {
          ++failures[t];
        }
        QOXFreeSymmetricCipherContext(c);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
  for (auto* c : contexts) QOXFreeContext(c);
  QOXsdkCleanup();
}

}  // namespace

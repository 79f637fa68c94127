// Key generations on several threads at once: each search carries its own
// random context, so nothing process-wide is shared between them.
#include <thread>

#include "tests/crypto/pubkey_test_support.h"

namespace {

using namespace pktest;

TEST(PubKeyConcurrencyTest, GenerationsRunTogether) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  struct Run {
    uint32_t algorithm;
    unsigned bits;
    QOXContext* context = nullptr;
    QOXRandomContext* rc = nullptr;
    QOXSecKey* key = nullptr;
    QOXError err = 0;
  } runs[] = {{1, 768}, {1, 768}, {17, 1024}, {16, 1536}};
  for (Run& r : runs) {
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &r.context), 0);
    r.rc = qoxRandomCreate(r.context);
    ASSERT_NE(r.rc, nullptr);
  }
  std::vector<std::thread> threads;
  for (Run& r : runs) {
    threads.emplace_back([&r] {
      r.key = qoxSecKeyGenerate(r.context, qoxPkalgByNumber(r.algorithm), r.bits, true, false, r.rc, nullptr,
                                nullptr, &r.err);
    });
  }
  for (auto& t : threads) t.join();
  for (Run& r : runs) {
    ASSERT_NE(r.key, nullptr) << r.err;
    QOXPubKey* pub = r.key->pubkey(r.key);
    if (r.algorithm == 16) {
      Bytes session = {9, 1, 2, 3};
      Bytes esk(pub->maxesk(pub, 2)), plain(r.key->maxdecrypted(r.key));
      size_t length = 0, plainLength = 0;
      ASSERT_EQ(pub->encrypt(pub, session.data(), session.size(), esk.data(), &length, r.rc, 2), 0);
      ASSERT_EQ(r.key->decrypt(r.key, esk.data(), length, plain.data(), &plainLength, nullptr, 0, 2), 0);
      EXPECT_EQ(Bytes(plain.begin(), plain.begin() + plainLength), session);
    } else {
      Bytes digest = Digest(HashSHA, {1});
      Bytes sig(r.key->maxsig(r.key, 2));
      size_t length = 0;
      ASSERT_EQ(r.key->sign(r.key, &HashSHA, digest.data(), sig.data(), &length, r.rc, 2), 0);
      EXPECT_EQ(pub->verify(pub, sig.data(), length, &HashSHA, digest.data(), 2), 1);
    }
    pub->destroy(pub);
    r.key->destroy(r.key);
    r.rc->destroy(r.rc);
    QOXFreeContext(r.context);
  }
  QOXsdkCleanup();
}

}  // namespace

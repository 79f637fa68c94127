// Encodes on several threads at once, each in its own context with its own
// key database, as the daemon's connection threads export keys: signed,
// signed-and-encrypted and public-key messages, armored and compressed, each
// read back by our own decode to the thread's data with its signature
// verified, in every thread from the first job on (the random pool, the
// per-context generators and the deflate tables are shared or built on
// first use).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db.h"
#include "keydb/key_iter.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::CountSignatures;
using pipeline_test::Signatures;

Bytes Data(const char* name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Take(void* buffer, size_t length) {
  Bytes out;
  if (buffer != nullptr) {
    out.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
    QOXFreeData(buffer);
  }
  return out;
}

// One of the thread's jobs: the message, or empty on failure.
Bytes Encode(QOXContext* context, QOXKeyDBObj* key, const Bytes& data, int kind, bool armor) {
  void* buffer = nullptr;
  size_t length = 0;
  QOXError err = QOXEncode(
      context, QOXOInputBuffer(context, data.data(), data.size()),
      QOXOAllocatedOutputBuffer(context, &buffer, SIZE_MAX, &length), QOXOArmorOutput(context, armor),
      kind != 2 ? QOXOSignWithKey(context, key, QOXOLastOption(context)) : QOXONullOption(context),
      QOXOHashAlgorithm(context, kQOXHashAlgorithm_SHA),
      kind == 1 ? QOXOConventionalEncrypt(context, QOXOPassphrase(context, "threads"), QOXOLastOption(context))
                : QOXONullOption(context),
      kind == 1 ? QOXOCipherAlgorithm(context, kQOXCipherAlgorithm_AES128) : QOXONullOption(context),
      kind == 2 ? QOXOEncryptToKeyDBObj(context, key) : QOXONullOption(context), QOXOLastOption(context));
  Bytes out = Take(buffer, length);
  return err == 0 ? out : Bytes{};
}

Bytes Decode(QOXContext* context, QOXKeyDB* keys, const Bytes& message, bool passphrase, Signatures* seen) {
  void* buffer = nullptr;
  size_t length = 0;
  QOXError err = QOXDecode(context, QOXOInputBuffer(context, message.data(), message.size()),
                           QOXOAllocatedOutputBuffer(context, &buffer, SIZE_MAX, &length),
                           QOXOKeyDBRef(context, keys),
                           passphrase ? QOXOPassphrase(context, "threads") : QOXONullOption(context),
                           QOXOEventHandler(context, CountSignatures, seen), QOXOLastOption(context));
  Bytes out = Take(buffer, length);
  return err == 0 ? out : Bytes{};
}

TEST(EncodeConcurrencyTest, ThreadsEncodeInTheirOwnContexts) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  ASSERT_EQ(QOXGlobalRandomPoolAddSystemState(), 0);
  const Bytes secret = Data("erin.sec.bin"), plain = Data("plain.txt");
  ASSERT_FALSE(secret.empty());
  ASSERT_FALSE(plain.empty());
  std::mutex creation;  // guards context creation and freeing
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::vector<int> failures(kThreads, 0);
  std::vector<int> jobs(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      QOXContext* context = nullptr;
      {
        std::lock_guard<std::mutex> lock(creation);
        if (QOXNewContext(kQOXAPIVersion, &context) != kQOXErrNoErr) {
          ++failures[t];
          return;
        }
      }
      QOXKeyDB* keys = nullptr;
      QOXKeyDBObj* erin = nullptr;
      QOXKeyIter* iter = nullptr;
      if (QOXImport(context, &keys, QOXOInputBuffer(context, secret.data(), secret.size()), kQOXEndOfOptionList) !=
              0 ||
          QOXNewKeyIterFromKeyDB(keys, &iter) != 0 || QOXKeyIterNextKeyDBObj(iter, 1, &erin) != 0) {
        ++failures[t];
      }
      if (iter != nullptr) QOXFreeKeyIter(iter);
      // Each thread's own data: the text with the thread's number in front.
      Bytes data(plain);
      const std::string mark = "thread " + std::to_string(t) + "\n";
      data.insert(data.begin(), mark.begin(), mark.end());
      for (int round = 0; round < kRounds && erin != nullptr; ++round) {
        for (int kind = 0; kind < 3; ++kind) {  // signed; signed and encrypted; to the key
          ++jobs[t];
          const Bytes message = Encode(context, erin, data, kind, (round + kind) % 2 == 0);
          Signatures seen;
          if (message.empty() || Decode(context, keys, message, kind == 1, &seen) != data) ++failures[t];
          if (seen.verified != (kind != 2 ? 1 : 0) || seen.events != seen.verified) ++failures[t];
        }
      }
      if (keys != nullptr) QOXFreeKeyDB(keys);
      std::lock_guard<std::mutex> lock(creation);
      if (QOXFreeContext(context) != kQOXErrNoErr) ++failures[t];
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(jobs[t], kRounds * 3) << "thread " << t;
  }
  QOXsdkCleanup();
}

}  // namespace

// Decodes on several threads at once, each in its own context, as the
// daemon's connection threads decode key blocks and signed requests: gpg's
// key ring imports with the same keys, a clear-signed text verifies and a
// conventionally encrypted message decodes to its data, in every thread from the first
// job on (nothing the decoder shares between contexts is built lazily or
// written unguarded).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/option_list.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db.h"
#include "tests/pipeline/fuzz/decode_fuzz_body.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using pipeline_test::Bytes;
using pipeline_test::CountSignatures;
using pipeline_test::Signatures;

Bytes Data(const char* name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Decodes the input into memory with the key database; the output, or
// empty on failure.
Bytes Decode(QOXContext* context, QOXKeyDB* keys, const Bytes& input, const char* passphrase,
             Signatures* seen = nullptr) {
  void* buffer = nullptr;
  size_t length = 0;
  QOXOptionListRef list = qoxNewOptionList(context, false);
  if (qoxAppendOptionListArgs(list, QOXOInputBuffer(context, input.data(), input.size()),
                              QOXOAllocatedOutputBuffer(context, &buffer, 1 << 20, &length),
                              QOXOKeyDBRef(context, keys), kQOXEndOfOptionList) != 0) {
    return {};
  }
  if (passphrase != nullptr &&
      qoxAppendOptionListArgs(list, QOXOPassphrase(context, passphrase), kQOXEndOfOptionList) != 0) {
    return {};
  }
  if (seen != nullptr &&
      qoxAppendOptionListArgs(list, QOXOEventHandler(context, CountSignatures, seen), kQOXEndOfOptionList) != 0) {
    return {};
  }
  QOXError err = QOXDecode(context, list, kQOXEndOfOptionList);
  Bytes out;
  if (buffer != nullptr) {
    out.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
    QOXFreeData(buffer);
  }
  return err == 0 ? out : Bytes{};
}

size_t KeyCount(QOXKeyDB* db) {
  size_t n = 0;
  QOXKeyIter* iter = nullptr;
  if (QOXNewKeyIterFromKeyDB(db, &iter) != 0) return 0;
  QOXKeyDBObj* key = nullptr;
  while (QOXKeyIterNextKeyDBObj(iter, 1, &key) == 0) ++n;
  QOXFreeKeyIter(iter);
  return n;
}

TEST(DecodeConcurrencyTest, ThreadsDecodeInTheirOwnContexts) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  const Bytes ring = Data("decode/ring.bin"), clear = Data("armor/clear.asc"),
              alice = Data("../../keydb/data/alice.bin"), sym = Data("sym-aes.gpg"), plain = Data("plain.txt"),
              secret = Data("erin.sec.bin");
  ASSERT_FALSE(ring.empty());
  ASSERT_FALSE(alice.empty());
  ASSERT_FALSE(plain.empty());
  std::mutex creation;  // guards context creation and freeing
  constexpr int kThreads = 4;
  constexpr int kRounds = 6;
  std::vector<int> failures(kThreads, 0);
  std::vector<size_t> ringKeys(kThreads, 0);
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
      // Erin's secret key and alice's public key (the clear-signed text's
      // signer).
      Bytes both = secret;
      both.insert(both.end(), alice.begin(), alice.end());
      QOXKeyDB* keys = nullptr;
      if (QOXImport(context, &keys, QOXOInputBuffer(context, both.data(), both.size()), kQOXEndOfOptionList) != 0) {
        ++failures[t];
      }
      for (int round = 0; round < kRounds && keys != nullptr; ++round) {
        QOXKeyDB* db = nullptr;
        if (QOXImport(context, &db, QOXOInputBuffer(context, ring.data(), ring.size()), kQOXEndOfOptionList) != 0) {
          ++failures[t];
        } else {
          size_t n = KeyCount(db);
          if (n == 0 || (ringKeys[t] != 0 && n != ringKeys[t])) ++failures[t];
          ringKeys[t] = n;
          QOXFreeKeyDB(db);
        }
        Signatures seen;
        if (Decode(context, keys, clear, nullptr, &seen).empty() || seen.events != 1 || seen.verified != 1) {
          ++failures[t];
        }
        if (Decode(context, keys, sym, decode_fuzz::kPassphrase) != plain) ++failures[t];
      }
      if (keys != nullptr) QOXFreeKeyDB(keys);
      std::lock_guard<std::mutex> lock(creation);
      if (QOXFreeContext(context) != kQOXErrNoErr) ++failures[t];
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(ringKeys[t], ringKeys[0]) << "thread " << t;
  }
  QOXsdkCleanup();
}

}  // namespace

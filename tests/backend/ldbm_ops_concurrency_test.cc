// Updates beside readers: merge-modifies and adds with merge replace one
// entry's values while other threads hold and read the cached entry, and
// disables run beside searches of the same key. Readers must always see a
// whole entry (the ThreadSanitizer build checks that no update touches an
// entry a reader holds).
#include <atomic>
#include <thread>

#include "ldbm_ops_support.h"

namespace {

constexpr const char* kActive = "OU=ACTIVE,O=QOX KEYSPACE,C=US";

class UpdateConcurrencyTest : public OpsFixture {};

TEST_F(UpdateConcurrencyTest, ReadersKeepWholeEntriesWhileUpdatesSwapCopies) {
  const std::string dn = std::string("cn=shared,") + kActive;
  ASSERT_EQ(Add("dn: " + dn + "\nobjectclass: x\ndescription: v0\nmail: m0\n"), 0);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> torn{0};
  auto reader = [&] {
    while (!done.load()) {
      char* matched = nullptr;
      Entry* e = dn2entry(be(), dn.c_str(), &matched);
      if (e == nullptr) continue;
      // Both attributes are replaced together: a reader sees one pair.
      std::string d = FirstValue(e, "description"), m = FirstValue(e, "mail");
      if (d.size() < 2 || m.size() < 2 || d.substr(1) != m.substr(1)) ++torn;
      cache_return_entry(cache(), e);
      ++reads;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  Connection conn{};
  conn.clientAddress = const_cast<char*>("127.0.0.1");
  for (int i = 1; i <= 60; ++i) {
    std::string dv = "v" + std::to_string(i), mv = "m" + std::to_string(i);
    BerValue d{static_cast<uint32_t>(dv.size()), dv.data()};
    BerValue m{static_cast<uint32_t>(mv.size()), mv.data()};
    BerValue* dV[] = {&d, nullptr};
    BerValue* mV[] = {&m, nullptr};
    Modification mail{kModReplace, const_cast<char*>("mail"), mV, nullptr};
    Modification desc{kModReplace, const_cast<char*>("description"), dV, &mail};
    int result = -1;
    char* matched = nullptr;
    if (i % 2 == 0) {
      EXPECT_EQ(ldbm_QOX_back_modify(be(), &conn, &op_, dn.c_str(), nullptr, &desc, &result, &matched), 0);
    } else {
      EXPECT_EQ(Add("dn: " + dn + "\ndescription: " + dv + "\nmail: " + mv + "\n", 1), 0);
    }
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(Stored(dn, "description"), "v60");
}

}  // namespace

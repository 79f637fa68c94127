// Entry rendering from several threads at once: each thread renders into
// its own buffer, so the texts never mix (a renderer with one shared buffer
// fails this under ThreadSanitizer and in its comparisons).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "server/entry.h"
#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

Entry* Make(const std::string& dn, const std::string& value) {
  Entry* e = entry_new();
  e->e_dn = zovurezStrdup(dn.c_str());
  EXPECT_EQ(AddDirAttrToEntry(e, "cn", value.data(), static_cast<uint32_t>(value.size())), 0);
  // A value long enough to fold and to need Base64, so a render takes a while.
  std::string binary(900, '\x01');
  EXPECT_EQ(AddDirAttrToEntry(e, "description", binary.data(), static_cast<uint32_t>(binary.size())), 0);
  return e;
}

std::string Render(Entry* e, EntryTextBuffer* buffer) {
  int length = 0;
  char* text = entry2str(e, buffer, &length, 1);
  return text != nullptr ? std::string(text, static_cast<size_t>(length)) : std::string("<null>");
}

TEST(EntryTextConcurrency, TwoThreadsRenderAtOnce) {
  constexpr int kThreads = 2;
  constexpr int kRounds = 300;
  std::vector<Entry*> entries;
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    entries.push_back(Make("cn=writer" + std::to_string(t), std::string(200, static_cast<char>('a' + t))));
    entries.back()->e_id = static_cast<uint32_t>(t + 1);
    EntryTextBuffer buffer;
    expected.push_back(Render(entries.back(), &buffer));
  }
  ASSERT_NE(expected[0], expected[1]);
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      EntryTextBuffer buffer;
      for (int i = 0; i < kRounds; ++i)
        if (Render(entries[t], &buffer) != expected[t]) ++mismatches[t];
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  for (Entry* e : entries) entry_free(e);
}

}  // namespace

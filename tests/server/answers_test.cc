// How answers leave: a search's entries and its result go out together in as
// few sends as their size allows, with the bytes one send per answer would
// write; accepted sockets carry TCP_NODELAY.
//
// The counting socket double is a SOCK_SEQPACKET socket pair: every send
// arrives at the other end as one record, so the records read back are the
// sends made.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/backend.h"
#include "server/connection.h"
#include "server/dispatch.h"
#include "server/entry.h"
#include "server/result.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "tests/server/server_test_env.h"

namespace {

// The top-level elements of an encoding: (identifier of the LDAP operation
// inside each message, the message's bytes). Definite lengths only.
std::vector<std::pair<uint8_t, std::string>> Messages(const std::string& bytes) {
  std::vector<std::pair<uint8_t, std::string>> out;
  size_t pos = 0;
  auto length = [&](size_t* at) -> size_t {
    size_t l = static_cast<uint8_t>(bytes[(*at)++]);
    if (l & 0x80) {
      size_t n = l & 0x7F;
      l = 0;
      while (n--) l = (l << 8) | static_cast<uint8_t>(bytes[(*at)++]);
    }
    return l;
  };
  while (pos < bytes.size()) {
    size_t start = pos;
    ++pos;  // SEQUENCE
    size_t total = length(&pos);
    size_t body = pos;
    ++pos;  // INTEGER message ID
    pos += length(&pos);
    uint8_t op = static_cast<uint8_t>(bytes[pos]);
    pos = body + total;
    if (pos > bytes.size()) break;
    out.emplace_back(op, bytes.substr(start, pos - start));
  }
  return out;
}

class AnswersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    g->context = ServerToolkitEnvironment::context;
    g->DefaultAccess = 128;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv_), 0);
    int size = 4 << 20;
    setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(sv_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    conn_.socket = sv_[0];
    conn_.context = ServerToolkitEnvironment::context;
    conn_.connNumber = 7;
    conn_.clientAddress = const_cast<char*>("127.0.0.1");
    op_.connNumber = 7;
    op_.msgID = 3;
    op_.tag = kLdapSearchRequest;
    op_.type = kOpTypeSearch;
    op_.boundDN = const_cast<char*>("");
    QOXMutexCreate(&op_.abandonMutex, nullptr);
  }
  void TearDown() override {
    for (Entry* e : entries_) entry_free(e);
    vuzizFreeAnswers(&conn_);
    close(sv_[0]);
    close(sv_[1]);
    QOXMutexDestroy(&op_.abandonMutex);
    g->context = nullptr;
    vuzizReleaseGlobals(&g, 0);
  }

  Entry* MakeEntry(int n, size_t keyBytes) {
    std::string text = "dn: QOXCERTID=" + std::to_string(1000 + n) + ",OU=ACTIVE,O=QOX KEYSPACE,C=US\n" +
                       "objectclass: qoxcertificate\nqoxkey: " + std::string(keyBytes, 'k') + "\n";
    Entry* e = str2entry(text.data());
    EXPECT_NE(e, nullptr);
    entries_.push_back(e);
    return e;
  }

  // Every record waiting at the client's end: one per send made.
  std::vector<std::string> Sends() {
    std::vector<std::string> out;
    std::vector<char> buf(1 << 20);
    for (;;) {
      ssize_t n = recv(sv_[1], buf.data(), buf.size(), MSG_DONTWAIT);
      if (n <= 0) break;
      out.emplace_back(buf.data(), static_cast<size_t>(n));
    }
    return out;
  }

  Backend be_{};
  Connection conn_{};
  Operation op_{};
  int sv_[2] = {-1, -1};
  std::vector<Entry*> entries_;
};

TEST_F(AnswersTest, ThreeEntriesAndTheirResultLeaveInOneSend) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(send_search_entry(&be_, &conn_, &op_, MakeEntry(i, 1200), nullptr, nullptr, 0), 0);
  // Nothing leaves before the result: the stall came from a result written
  // behind unacknowledged entries.
  EXPECT_TRUE(Sends().empty());
  send_ldap_search_result(&conn_, &op_, 0, nullptr, nullptr, 3);
  std::vector<std::string> sends = Sends();
  ASSERT_EQ(sends.size(), 1u);
  auto messages = Messages(sends[0]);
  ASSERT_EQ(messages.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(messages[i].first, kLdapSearchResultEntry);
  EXPECT_EQ(messages[3].first, kLdapSearchResultDone);
  EXPECT_NE(messages[1].second.find("QOXCERTID=1001,"), std::string::npos);
  EXPECT_EQ(g->statEntriesSent, 3u);
  EXPECT_EQ(g->statBytesSent, sends[0].size());
}

TEST_F(AnswersTest, ALargeAnswerLeavesInFewSendsWithTheSameBytes) {
  // 100 entries of about 2 KB each: the same bytes, in order, in sends of at
  // least the threshold but for the last.
  std::string expected;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(send_search_entry(&be_, &conn_, &op_, MakeEntry(i, 2000), nullptr, nullptr, 0), 0);
  send_ldap_search_result(&conn_, &op_, 0, nullptr, nullptr, 100);
  std::vector<std::string> sends = Sends();
  std::string all;
  for (const std::string& s : sends) all += s;
  const size_t fewest = (all.size() + kAnswerFlushThreshold - 1) / kAnswerFlushThreshold;
  EXPECT_GE(sends.size(), 2u);
  EXPECT_LE(sends.size(), fewest + 1);
  for (size_t i = 0; i + 1 < sends.size(); ++i) EXPECT_GE(sends[i].size(), kAnswerFlushThreshold);
  auto messages = Messages(all);
  ASSERT_EQ(messages.size(), 101u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(messages[i].first, kLdapSearchResultEntry);
    EXPECT_NE(messages[i].second.find("QOXCERTID=" + std::to_string(1000 + i) + ","), std::string::npos);
  }
  EXPECT_EQ(messages[100].first, kLdapSearchResultDone);
}

TEST_F(AnswersTest, EntriesOfASearchEndedWithoutResultStillLeave) {
  // An abandoned search sends no result; its operation's end writes what
  // waits.
  ASSERT_EQ(send_search_entry(&be_, &conn_, &op_, MakeEntry(1, 100), nullptr, nullptr, 0), 0);
  ASSERT_EQ(send_search_entry(&be_, &conn_, &op_, MakeEntry(2, 100), nullptr, nullptr, 0), 0);
  EXPECT_TRUE(vuzizFlushAnswers(&conn_));
  std::vector<std::string> sends = Sends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(Messages(sends[0]).size(), 2u);
  EXPECT_EQ(conn_.pending.bytes, nullptr);
}

TEST_F(AnswersTest, AFailedWriteReportsTheEntryLostAndDropsWhatWaited) {
  ASSERT_EQ(send_search_entry(&be_, &conn_, &op_, MakeEntry(1, 100), nullptr, nullptr, 0), 0);
  close(sv_[1]);
  sv_[1] = -1;
  // An entry that fills the buffer forces the write, which fails.
  EXPECT_EQ(send_search_entry(&be_, &conn_, &op_, MakeEntry(2, kAnswerFlushThreshold), nullptr, nullptr, 0), -2);
  EXPECT_EQ(conn_.pending.length, 0u);
  EXPECT_EQ(g->statEntriesSent, 0u);
}

TEST(ListenerSockets, AcceptedSocketsCarryNoDelay) {
  ASSERT_EQ(vuzizInitGlobals(&g), 0);
  g->serverEnabled = 1;
  int listener = -1;
  ASSERT_EQ(CreateDaemonSocket(0, 0, &listener), 0);
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  Connection table[2]{};
  for (Connection& c : table) {
    c.socket = -1;
    QOXMutexCreate(&c.dnMutex, nullptr);
    QOXMutexCreate(&c.opMutex, nullptr);
    QOXMutexCreate(&c.activityMutex, nullptr);
  }
  vuzizConnTable = table;
  vuzizConnTableSize = 2;
  g->highestSlot = -1;

  int client = socket(AF_INET, SOCK_STREAM, 0);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int32_t slot = -1;
  ASSERT_EQ(AddNewConnection(table, listener, 0, 0, &slot), 0);
  int on = 0;
  socklen_t onLength = sizeof on;
  ASSERT_EQ(getsockopt(table[slot].socket, IPPROTO_TCP, TCP_NODELAY, &on, &onLength), 0);
  EXPECT_NE(on, 0);

  close(table[slot].socket);
  close(client);
  close(listener);
  for (Connection& c : table) {
    zovurezFree(c.clientAddress);
    zovurezFree(c.clientHostName);
    QOXMutexDestroy(&c.dnMutex);
    QOXMutexDestroy(&c.opMutex);
    QOXMutexDestroy(&c.activityMutex);
  }
  vuzizConnTable = nullptr;
  vuzizConnTableSize = 0;
  vuzizReleaseGlobals(&g, 0);
}

}  // namespace

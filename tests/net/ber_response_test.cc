// QOXberReadResponse against a real socket peer: fragmented and long-form
// input, lengths it must refuse before allocating, a peer that closes in
// mid-message or stalls, and a socket read through a TLS session.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/sockets.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/net/tls_double.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> l) {
  std::vector<uint8_t> v;
  for (int b : l) v.push_back(static_cast<uint8_t>(b));
  return v;
}

class ReadResponseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mgr_ = memory_.Make();
    ASSERT_NE(mgr_, nullptr);
    ASSERT_EQ(qoxNewBERElement(mgr_, &e_), kQOXErrNoErr);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    reader_ = fds[0];
    peer_ = fds[1];
    memory_.ResetLargestRequest();
  }
  void TearDown() override {
    if (sender_.joinable()) sender_.join();
    QOXCloseSocket(reader_);
    if (peer_ >= 0) ::close(peer_);
    QOXFreeBERElement(e_);
    QOXFreeMemoryMgr(mgr_);
  }

  // The peer sends the bytes in pieces of `piece` bytes, pausing between
  // them, and closes its end afterwards when asked.
  void Send(std::vector<uint8_t> bytes, size_t piece, bool closeAfter) {
    sender_ = std::thread([this, bytes = std::move(bytes), piece, closeAfter] {
      for (size_t off = 0; off < bytes.size(); off += piece) {
        size_t n = std::min(piece, bytes.size() - off);
        if (::send(peer_, bytes.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
        if (piece < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (closeAfter) {
        ::shutdown(peer_, SHUT_WR);
      }
    });
  }

  std::vector<uint8_t> Encoding() {
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    QOXberGetEncoding(e_, &p);
    QOXberGetLength(e_, &n);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>{};
  }

  void ExpectNoBuffer() {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(1);
    uint32_t n = 1;
    QOXberGetEncoding(e_, &p);
    QOXberGetLength(e_, &n);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);
  }

  // Records the largest request it was asked for.
  ostrak_test::CountingMemoryMgr memory_;
  QOXMemoryMgr* mgr_ = nullptr;
  QOXberElement* e_ = nullptr;
  int reader_ = -1, peer_ = -1;
  std::thread sender_;
};

TEST_F(ReadResponseTest, ReadsOneWholeElementFromFragments) {
  // An LDAP message with a 300-byte value (0x82 length), sent one byte at a
  // time, followed by the start of the next message, which must stay unread.
  QOXberElement* built;
  ASSERT_EQ(qoxNewBERElement(mgr_, &built), kQOXErrNoErr);
  const std::string value(300, 'v');
  ASSERT_EQ(QOXberAppend(built, "{it{s}}", 4, 0x63u, value.c_str()), kQOXErrNoErr);
  const uint8_t* p;
  uint32_t n;
  QOXberGetEncoding(built, &p);
  QOXberGetLength(built, &n);
  std::vector<uint8_t> wire(p, p + n);
  QOXFreeBERElement(built);
  ASSERT_EQ(wire[1], 0x82);
  std::vector<uint8_t> withNext = wire;
  withNext.push_back(0x30);
  Send(withNext, 1, false);

  ASSERT_EQ(QOXberReadResponse(e_, reader_), kQOXErrNoErr);
  EXPECT_EQ(Encoding(), wire);
  int32_t id = 0;
  uint32_t tag = 0;
  ASSERT_EQ(QOXberRead(e_, "{it", &id, &tag), kQOXErrNoErr);
  EXPECT_EQ(id, 4);
  EXPECT_EQ(tag, 0x63u);
  sender_.join();
  uint8_t next;
  EXPECT_EQ(::recv(reader_, &next, 1, MSG_DONTWAIT), 1);  // still waiting in the socket
  EXPECT_EQ(next, 0x30);
}

TEST_F(ReadResponseTest, AcceptsEveryLongLengthForm) {
  const std::vector<uint8_t> forms[] = {
      Bytes({0x04, 0x81, 0x03, 'a', 'b', 'c'}),
      Bytes({0x04, 0x82, 0x00, 0x03, 'a', 'b', 'c'}),
      Bytes({0x04, 0x83, 0x00, 0x00, 0x03, 'a', 'b', 'c'}),
      Bytes({0x04, 0x84, 0x00, 0x00, 0x00, 0x03, 'a', 'b', 'c'}),
      Bytes({0x42, 0x00}),  // an element with no contents (Unbind)
  };
  for (const auto& wire : forms) {
    ASSERT_EQ(::send(peer_, wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
    ASSERT_EQ(QOXberReadResponse(e_, reader_), kQOXErrNoErr);
    EXPECT_EQ(Encoding(), wire);
  }
}

TEST_F(ReadResponseTest, RefusesLengthsBeforeAllocatingForThem) {
  struct Case {
    const char* what;
    std::vector<uint8_t> wire;
    uint32_t maxLength;
  };
  const Case cases[] = {
      {"4 GiB announced", Bytes({0x30, 0x84, 0xff, 0xff, 0xff, 0xff}),
       kQOXberDefaultMaxResponseLength},
      {"one over the default maximum", Bytes({0x30, 0x84, 0x01, 0x00, 0x00, 0x01}),
       kQOXberDefaultMaxResponseLength},
      {"over a caller's maximum", Bytes({0x30, 0x82, 0x01, 0x00}), 255},
      {"indefinite form", Bytes({0x30, 0x80}), kQOXberDefaultMaxResponseLength},
      {"five length octets", Bytes({0x30, 0x85, 0, 0, 0, 0, 1}), kQOXberDefaultMaxResponseLength},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(::send(peer_, c.wire.data(), c.wire.size(), 0), static_cast<ssize_t>(c.wire.size()));
    memory_.ResetLargestRequest();
    EXPECT_EQ(QOXberReadResponse(e_, reader_, 2000, c.maxLength), kQOXErrBadParams) << c.what;
    EXPECT_LT(memory_.largestRequest(), 1024u) << c.what;
    ExpectNoBuffer();
    // Drop whatever of this case is still in the socket.
    char junk[16];
    while (::recv(reader_, junk, sizeof junk, MSG_DONTWAIT) > 0) {
    }
  }
  // Exactly the maximum is accepted.
  std::vector<uint8_t> wire = Bytes({0x04, 0x82, 0x01, 0x00});
  wire.resize(4 + 256, 'm');
  ASSERT_EQ(::send(peer_, wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
  EXPECT_EQ(QOXberReadResponse(e_, reader_, 2000, 256), kQOXErrNoErr);
  EXPECT_EQ(Encoding(), wire);
}

TEST_F(ReadResponseTest, PeerClosingMidMessageLeavesNoBuffer) {
  const std::vector<uint8_t> cuts[] = {
      Bytes({}),                          // closes before anything
      Bytes({0x30}),                      // after the identifier
      Bytes({0x30, 0x82, 0x01}),          // inside the length octets
      Bytes({0x30, 0x05, 0x02, 0x01}),    // inside the contents
  };
  for (const auto& cut : cuts) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    if (!cut.empty()) {
      ASSERT_EQ(::send(fds[1], cut.data(), cut.size(), 0), static_cast<ssize_t>(cut.size()));
    }
    ::close(fds[1]);
    EXPECT_EQ(QOXberReadResponse(e_, fds[0], 2000), kQOXErrUnknownError2) << cut.size();
    ExpectNoBuffer();
    QOXCloseSocket(fds[0]);
  }
  // A reset connection reports the socket error rather than -11980.
  ::close(peer_);
  peer_ = -1;
  QOXError err = QOXberReadResponse(e_, reader_, 2000);
  EXPECT_TRUE(err == kQOXErrUnknownError2 || err == kQOXErrSocketNotConnected) << err;
}

TEST_F(ReadResponseTest, StalledPeerEndsInATimeOut) {
  // Header sent, contents never come: the wait runs out.
  ASSERT_EQ(::send(peer_, "\x30\x05\x02", 3, 0), 3);
  EXPECT_EQ(QOXberReadResponse(e_, reader_, 100), kQOXErrSocketTimedOut);
  ExpectNoBuffer();
  // qoxReceiveLen reports a wait that ran out as 0 bytes.
  char buf[4];
  EXPECT_EQ(qoxReceiveLen(reader_, buf, sizeof buf, 50), 0);
  EXPECT_EQ(qoxReceiveLen(reader_, nullptr, 4, 50), kQOXErrBadParams);
  ASSERT_EQ(::send(peer_, "ab", 2, 0), 2);
  EXPECT_EQ(qoxReceiveLen(reader_, buf, sizeof buf, 2000), 2);
}

// The wait bounds the whole element, not each receive: a peer that sends
// a byte every 40 ms (each gap well inside the wait) runs out of time as a
// silent one does. Before, every byte renewed the wait, so one slow client
// held its connection (and thread) for as long as it kept trickling.
TEST_F(ReadResponseTest, TricklingPeerRunsOutOfTime) {
  const std::string message = std::string{'\x30', '\x0a', '\x04', '\x08'} + "abcdefgh";
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (char c : message) {
      if (stop) break;
      if (::send(peer_, &c, 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));  // the pace of the trickle
    }
  });
  const auto start = std::chrono::steady_clock::now();
  QOXError err = QOXberReadResponse(e_, reader_, 200);
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  writer.join();
  EXPECT_EQ(err, kQOXErrSocketTimedOut);
  ExpectNoBuffer();
  EXPECT_LT(took, std::chrono::milliseconds(400));
}

TEST_F(ReadResponseTest, ReadsThroughABoundSession) {
  FakeTlsScope fake;
  FakeTlsSession s;
  ASSERT_EQ(QOXSocketsEstablishTLSSession(reader_, s.handle()), kQOXErrNoErr);
  // The whole request already waits decrypted in the session; the socket
  // itself has nothing, so only routing can deliver it.
  s.pending = std::string("\x30\x03\x02\x01\x07", 5);
  ASSERT_EQ(QOXberReadResponse(e_, reader_, 2000), kQOXErrNoErr);
  EXPECT_EQ(Encoding(), Bytes({0x30, 0x03, 0x02, 0x01, 0x07}));
  // A session error is the call's result.
  s.receiveResult = kQOXErrTLSProtocolViolation;
  s.pending = "x";
  EXPECT_EQ(QOXberReadResponse(e_, reader_, 2000), kQOXErrTLSProtocolViolation);
  ExpectNoBuffer();
}

}  // namespace

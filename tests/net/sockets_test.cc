// The sockets layer: the error map, TLS binding and routing (with a stand-in
// session), select and the wait helper, whole sends and look-ups.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/sockets.h"
#include "tests/net/tls_double.h"

namespace {

struct Pair {
  int a = -1, b = -1;
  explicit Pair(int type = SOCK_STREAM) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, type, 0, fds), 0);
    a = fds[0];
    b = fds[1];
  }
  ~Pair() {
    if (a >= 0) QOXCloseSocket(a);
    if (b >= 0) QOXCloseSocket(b);
  }
};

TEST(SocketsErrors, MapBySymbolicName) {
  struct Case {
    int number;
    QOXError code;
  };
  const Case cases[] = {
      {0, 0},
      {ENETDOWN, -11100},       {ENETUNREACH, -11100},   {EFAULT, -12000},
      {EDESTADDRREQ, -12000},   {ENOPROTOOPT, -12000},   {ESOCKTNOSUPPORT, -12000},
      {EINPROGRESS, -11098},    {EINVAL, -11096},        {ENOBUFS, -11999},
      {ENOTSOCK, -11092},       {EOPNOTSUPP, -11095},    {EADDRINUSE, -11091},
      {EAFNOSUPPORT, -11093},   {EADDRNOTAVAIL, -11088}, {ECONNREFUSED, -11097},
      {ENETRESET, -11097},      {ECONNABORTED, -11097},  {ECONNRESET, -11097},
      {EISCONN, -11087},        {ETIMEDOUT, -11086},     {EMSGSIZE, -11090},
      {EPROTONOSUPPORT, -11094}, {EPROTOTYPE, -11094},
      // Toolkit codes already stored as errno pass through unchanged.
      {-11243, -11243},         {-11249, -11249},        {-11050, -11050},
      {-11499, -11499},         {-10501, -10501},
      // Outside the toolkit range and unknown numbers.
      {-11500, -11980},         {-10500, -11980},        {-12000, -11980},
      {999, -11980},
      // A signal is retried by the layer, never taken for a vanished peer.
      {EINTR, -11980},          {EPERM, -11980},
  };
  for (const Case& c : cases) EXPECT_EQ(MapQOXSocketsError(c.number), c.code) << c.number;
  errno = ECONNRESET;
  EXPECT_EQ(QOXGetLastSocketsError(), -11097);
}

TEST(SocketsLookups, HostNamesThroughTheResolver) {
  hostent* h = QOXGetHostByName("localhost");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, AF_INET);
  ASSERT_NE(h->h_addr_list[0], nullptr);
  in_addr a;
  std::memcpy(&a, h->h_addr_list[0], sizeof a);
  EXPECT_STREQ(QOXInternetAddressToDottedString(&a), "127.0.0.1");
  EXPECT_EQ(QOXDottedToInternetAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(QOXDottedToInternetAddress("not an address"), INADDR_NONE);

  // A name that cannot exist: the resolver's own code, not an errno value.
  EXPECT_EQ(QOXGetHostByName("no-such-host.invalid"), nullptr);
  QOXError err = QOXGetLastSocketsError();
  EXPECT_TRUE(err == kQOXErrHostNotFound || err == kQOXErrDNSError) << err;
  EXPECT_EQ(QOXGetHostByName(nullptr), nullptr);
  EXPECT_EQ(QOXGetHostByAddress(&a, 4, AF_INET6), nullptr);
  EXPECT_EQ(QOXGetLastSocketsError(), kQOXErrSocketFamilyNotSupported);

  protoent* tcp = QOXGetProtocolByName("tcp");
  if (tcp) {
    EXPECT_EQ(tcp->p_proto, IPPROTO_TCP);  // needs /etc/protocols
  }
  EXPECT_EQ(QOXHostToNetLong(0x01020304), htonl(0x01020304));
  EXPECT_EQ(QOXNetToHostShort(QOXHostToNetShort(0x1234)), 0x1234);
}

class RoutingTest : public ::testing::Test {
 protected:
  FakeTlsScope fake_;
};

TEST_F(RoutingTest, BoundSocketSendsAndReceivesThroughItsSession) {
  Pair p;
  FakeTlsSession s;
  ASSERT_EQ(QOXSocketsEstablishTLSSession(p.a, s.handle()), kQOXErrNoErr);
  EXPECT_EQ(s.handshakes, 1);
  EXPECT_EQ(s.receiveUser, p.a);
  EXPECT_EQ(s.sendUser, p.a);
  EXPECT_EQ(s.receiveProc, &QOXSocketsTLSReceive);
  EXPECT_EQ(s.sendProc, &QOXSocketsTLSSend);

  EXPECT_EQ(QOXSend(p.a, "hello", 5, 0), 5);
  EXPECT_EQ(QOXWrite(p.a, "!", 1), 1);
  EXPECT_EQ(s.sent, "hello!");
  s.pending = "0123456789";
  char buf[4];
  EXPECT_EQ(QOXReceive(p.a, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(QOXRead(p.a, buf, sizeof buf), 4);
  EXPECT_EQ(s.pending, "89");
  // Records without application bytes are no close: the receive reads on.
  s.emptyRecords = 3;
  EXPECT_EQ(QOXReceive(p.a, buf, sizeof buf, 0), 2);
  EXPECT_EQ(s.emptyRecords, 0);

  // The other end is a plain socket: nothing reached it, and its own send
  // goes to the platform.
  EXPECT_EQ(QOXSend(p.b, "xy", 2, 0), 2);
  char plain[2];
  EXPECT_EQ(::recv(p.a, plain, 2, 0), 2);

  // A TLS shutdown reads as a closed socket; other session errors as -1 with
  // the code retrievable unchanged.
  s.sendResult = kQOXErrTLSUnexpectedClose;
  EXPECT_EQ(QOXSend(p.a, "x", 1, 0), 0);
  s.sendResult = kQOXErrTLSProtocolViolation;
  EXPECT_EQ(QOXSend(p.a, "x", 1, 0), -1);
  EXPECT_EQ(QOXGetLastSocketsError(), kQOXErrTLSProtocolViolation);
  s.receiveResult = kQOXErrTLSUnexpectedClose;
  EXPECT_EQ(QOXReceive(p.a, buf, 1, 0), 0);
  s.receiveResult = kQOXErrTLSRemoteAbort;
  EXPECT_EQ(QOXReceive(p.a, buf, 1, 0), -1);
  EXPECT_EQ(QOXGetLastSocketsError(), kQOXErrTLSRemoteAbort);
}

TEST_F(RoutingTest, BindingRefusals) {
  // A datagram socket is refused before the session is touched.
  Pair dgram(SOCK_DGRAM);
  FakeTlsSession s;
  EXPECT_EQ(QOXSocketsEstablishTLSSession(dgram.a, s.handle()), kQOXErrSocketOpNotSupported);
  EXPECT_EQ(s.receiveProc, nullptr);
  EXPECT_EQ(s.handshakes, 0);
  int file = open("/dev/null", O_RDONLY);
  EXPECT_EQ(QOXSocketsEstablishTLSSession(file, s.handle()), kQOXErrNotSocket);
  close(file);
  EXPECT_EQ(s.handshakes, 0);

  // A failed handshake leaves the socket unbound.
  Pair p;
  FakeTlsSession failing;
  failing.handshakeResult = kQOXErrTLSProtocolViolation;
  EXPECT_EQ(QOXSocketsEstablishTLSSession(p.a, failing.handle()), kQOXErrTLSProtocolViolation);
  failing.handshakeResult = kQOXErrTLSUnexpectedClose;  // peer gone, no socket error
  EXPECT_EQ(QOXSocketsEstablishTLSSession(p.a, failing.handle()), kQOXErrTLSUnexpectedClose);
  EXPECT_EQ(QOXSend(p.a, "z", 1, 0), 1);
  EXPECT_TRUE(failing.sent.empty());

  // A second binding is refused after its handshake; the first stays.
  FakeTlsSession first, second;
  ASSERT_EQ(QOXSocketsEstablishTLSSession(p.a, first.handle()), kQOXErrNoErr);
  EXPECT_EQ(QOXSocketsEstablishTLSSession(p.a, second.handle()), kQOXErrItemAlreadyExists);
  EXPECT_EQ(second.handshakes, 1);
  EXPECT_EQ(QOXSend(p.a, "q", 1, 0), 1);
  EXPECT_EQ(first.sent, "q");
  EXPECT_TRUE(second.sent.empty());
}

TEST_F(RoutingTest, CloseDropsTheBindingSoAReusedNumberIsPlain) {
  FakeTlsSession s;
  int reused;
  {
    Pair p;
    ASSERT_EQ(QOXSocketsEstablishTLSSession(p.a, s.handle()), kQOXErrNoErr);
    reused = p.a;
  }  // QOXCloseSocket on both ends
  Pair q;
  int fd = q.a == reused ? q.a : q.b;
  ASSERT_EQ(fd, reused);  // the lowest free number comes back
  EXPECT_EQ(QOXSend(fd, "abc", 3, 0), 3);
  EXPECT_TRUE(s.sent.empty());
}

TEST_F(RoutingTest, SelectAnswersAtOnceForDecryptedBytesWaitingInASession) {
  Pair low, high;
  FakeTlsSession s;
  ASSERT_EQ(QOXSocketsEstablishTLSSession(high.a, s.handle()), kQOXErrNoErr);
  s.pending = "buffered";
  ASSERT_GT(high.a, low.a);

  fd_set r, w, x;
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_ZERO(&x);
  FD_SET(low.a, &r);
  FD_SET(high.a, &r);
  FD_SET(low.a, &w);  // writable: select itself would report it
  FD_SET(low.a, &x);
  timeval limit{5, 0};
  EXPECT_EQ(QOXSelect(high.a + 1, &r, &w, &x, &limit), 1);
  EXPECT_TRUE(FD_ISSET(high.a, &r));
  EXPECT_FALSE(FD_ISSET(low.a, &r));
  EXPECT_FALSE(FD_ISSET(low.a, &w));
  EXPECT_FALSE(FD_ISSET(low.a, &x));

  // With nothing buffered the platform's answer comes back: the low socket
  // is writable and has nothing to read.
  s.pending.clear();
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_SET(low.a, &r);
  FD_SET(high.a, &r);
  FD_SET(low.a, &w);
  timeval zero{0, 0};
  EXPECT_EQ(QOXSelect(high.a + 1, &r, &w, nullptr, &zero), 1);
  EXPECT_FALSE(FD_ISSET(low.a, &r));
  EXPECT_TRUE(FD_ISSET(low.a, &w));

  // A time-out clears the sets and returns 0.
  FD_ZERO(&r);
  FD_SET(low.a, &r);
  timeval shortWait{0, 20000};
  EXPECT_EQ(QOXSelect(low.a + 1, &r, nullptr, nullptr, &shortWait), 0);
  EXPECT_FALSE(FD_ISSET(low.a, &r));

  // The fixed-size sets cannot describe more than FD_SETSIZE descriptors.
  EXPECT_EQ(QOXSelect(FD_SETSIZE + 1, &r, nullptr, nullptr, &zero), kQOXErrBadParams);
}

TEST_F(RoutingTest, WaitHelperServesDescriptorsAboveTheSelectLimit) {
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  const rlim_t want = FD_SETSIZE + 200;
  if (lim.rlim_cur < want) {
    if (lim.rlim_max < want) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = lim;
    raised.rlim_cur = want;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  }
  Pair p;
  const int big = FD_SETSIZE + 100;
  ASSERT_EQ(dup2(p.a, big), big);
  pollfd fds[2] = {{p.b, POLLIN, 0}, {big, POLLIN, 0}};
  EXPECT_EQ(qoxSocketsPoll(fds, 2, 0), 0);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_EQ(::send(p.b, "x", 1, 0), 1);
  EXPECT_EQ(qoxSocketsPoll(fds, 2, 5000), 1);
  EXPECT_TRUE(fds[1].revents & POLLIN);
  char c;
  ASSERT_EQ(::recv(big, &c, 1, 0), 1);

  // A bound descriptor above the limit with buffered bytes answers at once.
  FakeTlsSession s;
  ASSERT_EQ(QOXSocketsEstablishTLSSession(big, s.handle()), kQOXErrNoErr);
  s.pending = "z";
  fds[0].revents = fds[1].revents = 0;
  EXPECT_EQ(qoxSocketsPoll(fds, 2, -1), 1);
  EXPECT_EQ(fds[1].revents, POLLIN);
  EXPECT_EQ(fds[0].revents, 0);
  EXPECT_EQ(qoxSocketsWaitReadable(big, -1), 1);
  QOXCloseSocket(big);
  setrlimit(RLIMIT_NOFILE, &lim);
}

TEST_F(RoutingTest, SendAllDeliversEveryByteOrReportsWhy) {
  Pair p;
  // Non-blocking sender with a reader that drains slowly: short sends and
  // would-block both happen and every byte must still arrive in order.
  ASSERT_EQ(fcntl(p.a, F_SETFL, fcntl(p.a, F_GETFL) | O_NONBLOCK), 0);
  std::string data(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 11));
  std::string got;
  std::thread reader([&] {
    char buf[7919];
    while (got.size() < data.size()) {
      ssize_t n = ::recv(p.b, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(qoxSendAll(p.a, data.data(), data.size()), kQOXErrNoErr);
  reader.join();
  EXPECT_TRUE(got == data);

  // A peer that has gone away is an error, not a success.
  ::close(p.b);
  p.b = -1;
  EXPECT_NE(qoxSendAll(p.a, "abc", 3), kQOXErrNoErr);

  // Through a session: a shut-down connection is "not connected".
  Pair t;
  FakeTlsSession s;
  ASSERT_EQ(QOXSocketsEstablishTLSSession(t.a, s.handle()), kQOXErrNoErr);
  EXPECT_EQ(qoxSendAll(t.a, "hi", 2), kQOXErrNoErr);
  EXPECT_EQ(s.sent, "hi");
  s.sendResult = kQOXErrTLSUnexpectedClose;
  EXPECT_EQ(qoxSendAll(t.a, "hi", 2), kQOXErrSocketNotConnected);
  s.sendResult = kQOXErrTLSProtocolViolation;
  EXPECT_EQ(qoxSendAll(t.a, "hi", 2), kQOXErrTLSProtocolViolation);
}

TEST(SocketsTransport, CallbacksMovePlainBytes) {
  Pair p;
  EXPECT_EQ(QOXSocketsTLSSend(p.a, "abc", 3), 3);
  char buf[8];
  EXPECT_EQ(QOXSocketsTLSReceive(p.b, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  ::shutdown(p.a, SHUT_WR);
  EXPECT_EQ(QOXSocketsTLSReceive(p.b, buf, sizeof buf), 0);
}

// The receive callback waits at most the TLS receive wait; the send
// callback loops over short sends and answers would-block when nothing can go.
TEST(SocketsTransport, ReceiveWaitAndWholeSends) {
  Pair p;
  const int32_t saved = QOXSocketsGetTLSReceiveWait();
  EXPECT_EQ(saved, kQOXberDefaultReceiveWaitMs);
  QOXSocketsSetTLSReceiveWait(100);
  char buf[8];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QOXSocketsTLSReceive(p.b, buf, sizeof buf), kQOXErrSocketTimedOut);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(ms.count(), 90);
  EXPECT_LT(ms.count(), 5000);
  QOXSocketsSetTLSReceiveWait(saved);

  // 4 MiB through a socket pair whose reader drains it meanwhile: one call.
  std::string big(4u << 20, 'x');
  std::string got;
  std::thread reader([&] {
    std::vector<char> chunk(65536);
    while (got.size() < big.size()) {
      ssize_t n = ::recv(p.b, chunk.data(), chunk.size(), 0);
      if (n <= 0) break;
      got.append(chunk.data(), static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(QOXSocketsTLSSend(p.a, big.data(), static_cast<uint32_t>(big.size())), static_cast<int32_t>(big.size()));
  reader.join();
  EXPECT_EQ(got.size(), big.size());

  // A full non-blocking socket takes nothing: would-block.
  Pair q;
  ASSERT_EQ(fcntl(q.a, F_SETFL, fcntl(q.a, F_GETFL) | O_NONBLOCK), 0);
  std::string chunk(65536, 'y');
  while (::send(q.a, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
  }
  EXPECT_EQ(QOXSocketsTLSSend(q.a, "z", 1), kQOXErrTLSWouldBlock);
  // A peer gone: a failure, no SIGPIPE.
  ::close(q.b);
  q.b = -1;
  EXPECT_EQ(QOXSocketsTLSSend(q.a, "z", 1), -1);
}

TEST(SocketsStartup, UseCountsAndNoOps) {
  EXPECT_EQ(QOXSocketsInit(), kQOXErrNoErr);
  EXPECT_EQ(QOXSocketsInit(), kQOXErrNoErr);
  QOXSocketsCleanup();
  {
    // The last clean-up drops every binding.
    FakeTlsScope fake;
    Pair p;
    FakeTlsSession s;
    ASSERT_EQ(QOXSocketsEstablishTLSSession(p.a, s.handle()), kQOXErrNoErr);
    QOXSocketsCleanup();
    EXPECT_EQ(QOXSend(p.a, "x", 1, 0), 1);
    EXPECT_TRUE(s.sent.empty());
  }
  QOXSocketsCleanup();  // below zero stays at zero
  EXPECT_EQ(QOXSocketsInit(), kQOXErrNoErr);
  QOXSocketsCleanup();

  QOXSocketsIdleEventHandler h = reinterpret_cast<QOXSocketsIdleEventHandler>(1);
  void* user = &h;
  EXPECT_EQ(QOXGetSocketsIdleEventHandler(&h, &user), kQOXErrNoErr);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(user, nullptr);
  EXPECT_EQ(QOXSocketsCreateThreadStorage(nullptr), kQOXErrBadParams);
  QOXSocketsThreadStorageRef storage = &h;
  EXPECT_EQ(QOXSocketsCreateThreadStorage(&storage), kQOXErrNoErr);
  EXPECT_EQ(storage, nullptr);
}

}  // namespace

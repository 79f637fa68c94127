#include "tests/net/tls_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/sdk_errors.h"

extern char** environ;

namespace tls_test {

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

// --- TlsEnv ---

TlsEnv::TlsEnv() {
  EXPECT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
  QOXNewContextStruct rec{kQOXAPIVersion, mgr.Make(), 0};
  EXPECT_EQ(QOXNewContextCustom(&rec, &context), kQOXErrNoErr);
  EXPECT_EQ(QOXNewTLSContext(context, &tls), kQOXErrNoErr);
}

TlsEnv::~TlsEnv() {
  for (QOXtlsSession* s : sessions_) QOXFreeTLSSession(s);
  if (tls != nullptr) QOXFreeTLSContext(tls);
  if (context != nullptr) QOXFreeContext(context);
}

QOXtlsSession* TlsEnv::NewSession(bool client, bool blocking) {
  QOXtlsSession* s = nullptr;
  EXPECT_EQ(QOXNewTLSSession(tls, &s), kQOXErrNoErr);
  if (s == nullptr) return nullptr;
  uint32_t flags = client ? kQOXtlsProtocolOption_ClientSide : kQOXtlsProtocolOption_ServerSide;
  if (!blocking) flags |= kQOXtlsProtocolOption_NonBlocking;
  QOXtlsSetProtocolOptions(s, flags);
  sessions_.push_back(s);
  return s;
}

// --- Transports ---

void MemoryTransport::Attach(QOXtlsSession* s) {
  QOXtlsSetReceiveCallback(s, Receive, reinterpret_cast<intptr_t>(this));
  QOXtlsSetSendCallback(s, Send, reinterpret_cast<intptr_t>(this));
}

int32_t MemoryTransport::Receive(intptr_t self, void* buffer, uint32_t length) {
  auto* t = reinterpret_cast<MemoryTransport*>(self);
  ++t->receiveCalls;
  if (t->in.empty()) return t->emptyWouldBlock ? kQOXErrTLSWouldBlock : 0;
  size_t n = std::min({static_cast<size_t>(length), t->in.size(), t->receiveChunk});
  std::memcpy(buffer, t->in.data(), n);
  t->in.erase(0, n);
  return static_cast<int32_t>(n);
}

int32_t MemoryTransport::Send(intptr_t self, const void* buffer, uint32_t length) {
  auto* t = reinterpret_cast<MemoryTransport*>(self);
  ++t->sendCalls;
  if (t->sendResult != 0) return t->sendResult;
  if (t->sendWouldBlock > 0) {
    --t->sendWouldBlock;
    return kQOXErrTLSWouldBlock;
  }
  t->out.append(static_cast<const char*>(buffer), length);
  return static_cast<int32_t>(length);
}

namespace {

int32_t SocketReceive(intptr_t fd, void* buffer, uint32_t length) {
  ssize_t r;
  do r = ::recv(static_cast<int>(fd), buffer, length, 0);
  while (r < 0 && errno == EINTR);
  return r < 0 ? kQOXErrTLSUnexpectedClose : static_cast<int32_t>(r);
}

int32_t SocketSend(intptr_t fd, const void* buffer, uint32_t length) {
  ssize_t r;
  do r = ::send(static_cast<int>(fd), buffer, length, MSG_NOSIGNAL);
  while (r < 0 && errno == EINTR);
  return r < 0 ? kQOXErrTLSUnexpectedClose : static_cast<int32_t>(r);
}

}  // namespace

void AttachSocket(QOXtlsSession* s, int fd) {
  QOXtlsSetReceiveCallback(s, SocketReceive, fd);
  QOXtlsSetSendCallback(s, SocketSend, fd);
}

uint32_t SuiteWithCipher(uint32_t cipher) {
  for (const QOXtlsCipherSuite& row : kQOXtls_CipherSuites)
    if (row.cipher == cipher && (row.pubAlg == 1 || cipher == 0)) return row.number;
  return 0;
}

void InstallKeys(QOXtlsSession* s, uint32_t suiteNumber, uint8_t minor, const Bytes& master,
                 const Bytes& clientRandom, const Bytes& serverRandom) {
  ASSERT_EQ(master.size(), 48u);
  ASSERT_EQ(clientRandom.size(), 32u);
  ASSERT_EQ(serverRandom.size(), 32u);
  s->minorVersion = minor;
  bool found = false;
  for (uint16_t i = 0; i < s->suiteCount; ++i)
    if (s->suites[i].number == suiteNumber) s->negotiatedSuite = i, found = true;
  ASSERT_TRUE(found) << "suite " << suiteNumber;
  std::memcpy(s->clientRandom, clientRandom.data(), 32);
  std::memcpy(s->serverRandom, serverRandom.data(), 32);
  if (s->masterSecret != nullptr) QOXFreeData(s->masterSecret);
  s->masterSecret = static_cast<uint8_t*>(QOXNewSecureData(s->memoryMgr, 48, 0));
  ASSERT_NE(s->masterSecret, nullptr);
  std::memcpy(s->masterSecret, master.data(), 48);
  ASSERT_EQ(qoxTLSCalculateKeys(s), kQOXErrNoErr);
  ASSERT_EQ(qoxTLSActivateWriteKeys(s), kQOXErrNoErr);
  ASSERT_EQ(qoxTLSActivateReadKeys(s), kQOXErrNoErr);
  s->state = kQOXtlsState_Ready;
}

// --- The Python peer ---

namespace {

// A close-on-exec duplicate above the standard descriptors and 3.
int High(int fd) {
  int h = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return h;
}

}  // namespace

PythonPeer::PythonPeer(bool withSocket) {
  int sv[2] = {-1, -1};
  if (withSocket) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
      ADD_FAILURE() << "socketpair";
      return;
    }
    sv[0] = High(sv[0]);
    sv[1] = High(sv[1]);
  }
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  in[0] = High(in[0]), in[1] = High(in[1]), out[0] = High(out[0]), out[1] = High(out[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (withSocket) posix_spawn_file_actions_adddup2(&actions, sv[1], 3);
  std::string script = std::string(OSTRAK_SOURCE_DIR) + "/tests/net/tls_peer/tls_peer.py";
  char* argv[] = {const_cast<char*>("/usr/bin/python3"), script.data(), nullptr};
  int rc = posix_spawn(&pid_, "/usr/bin/python3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (withSocket) ::close(sv[1]);
  toPeer_ = in[1];
  fromPeer_ = out[0];
  fd_ = sv[0];
  if (fd_ >= 0) {
    // A test that waits on the socket in vain fails instead of hanging.
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  if (rc != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start /usr/bin/python3: " << std::strerror(rc);
  }
}

PythonPeer::~PythonPeer() {
  if (toPeer_ >= 0) ::close(toPeer_);  // end of input: the peer leaves
  if (fd_ >= 0) ::close(fd_);
  if (pid_ > 0) {
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
      pollfd none{};
      ::poll(&none, 0, 10);
      if (i == 499) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
    }
  }
  if (fromPeer_ >= 0) ::close(fromPeer_);
}

std::string PythonPeer::Call(const std::string& json) {
  std::string line = json + "\n";
  if (::write(toPeer_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    ADD_FAILURE() << "cannot write to the peer";
    return {};
  }
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string reply = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return reply;
    }
    pollfd p{fromPeer_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
      ADD_FAILURE() << "no reply from the peer to " << json.substr(0, 80);
      return {};
    }
    char buf[65536];
    ssize_t n = ::read(fromPeer_, buf, sizeof buf);
    if (n <= 0) {
      ADD_FAILURE() << "the peer went away after " << json.substr(0, 80);
      return {};
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string Field(const std::string& json, const std::string& key) {
  std::string k = "\"" + key + "\": ";
  size_t at = json.find(k);
  if (at == std::string::npos) return {};
  at += k.size();
  if (json[at] == '"') {
    size_t end = json.find('"', at + 1);
    return json.substr(at + 1, end - at - 1);
  }
  size_t end = json.find_first_of(",}", at);
  return json.substr(at, end - at);
}

}  // namespace tls_test

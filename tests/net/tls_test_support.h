// Test support of the TLS engine: a toolkit context over the counting
// memory manager, in-memory and socket transports, the hook that brings a
// session to the ready state with keys derived from a given master secret,
// and the independent Python peer (tests/net/tls_peer/tls_peer.py).
#ifndef OSTRAK_TESTS_NET_TLS_TEST_SUPPORT_H_
#define OSTRAK_TESTS_NET_TLS_TEST_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "net/tls_internal.h"
#include "net/tls_session.h"
#include "tests/common/counting_memory_mgr.h"

namespace tls_test {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n);
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }
Bytes FromHex(const std::string& hex);
// Reproducible pseudo-random bytes.
Bytes RandomBytes(size_t n, uint32_t seed);

// A toolkit context over a counting memory manager, and a TLS context.
class TlsEnv {
 public:
  TlsEnv();
  ~TlsEnv();
  TlsEnv(const TlsEnv&) = delete;
  TlsEnv& operator=(const TlsEnv&) = delete;

  // A new session (freed with the environment unless freed before).
  QOXtlsSession* NewSession(bool client = true, bool blocking = true);

  ostrak_test::CountingMemoryMgr mgr;
  QOXContext* context = nullptr;
  QOXtlsContext* tls = nullptr;

 private:
  std::vector<QOXtlsSession*> sessions_;
};

// Bytes in both directions, kept in memory. Receives are counted so a test
// can show that a call did not touch the transport.
struct MemoryTransport {
  std::string in;         // what the session will receive
  std::string out;        // what the session sent
  int receiveCalls = 0;
  int sendCalls = 0;
  bool emptyWouldBlock = true;  // nothing left: kQOXErrTLSWouldBlock, else 0
  size_t receiveChunk = SIZE_MAX;  // at most this many bytes per receive
  int sendWouldBlock = 0;  // the next n sends answer kQOXErrTLSWouldBlock
  int32_t sendResult = 0;  // when not 0, every send answers it

  void Attach(QOXtlsSession* s);
  static int32_t Receive(intptr_t self, void* buffer, uint32_t length);
  static int32_t Send(intptr_t self, const void* buffer, uint32_t length);
};

// The session's end of a stream socket.
void AttachSocket(QOXtlsSession* s, int fd);

// The number of the suite row that uses `cipher` (0 none, 2 3DES, 3 CAST5)
// and whose public-key algorithm is RSA when possible.
uint32_t SuiteWithCipher(uint32_t cipher);

// Brings a session to the ready state as a finished handshake would: the
// suite of that number, the version, both randoms and the master secret;
// the key records are derived from them and both directions activated.
void InstallKeys(QOXtlsSession* s, uint32_t suiteNumber, uint8_t minor, const Bytes& master,
                 const Bytes& clientRandom, const Bytes& serverRandom);

// The Python peer, over pipes for its commands and, when asked, a stream
// socket pair for records (its end is its file descriptor 3).
class PythonPeer {
 public:
  explicit PythonPeer(bool withSocket = true);
  ~PythonPeer();
  PythonPeer(const PythonPeer&) = delete;
  PythonPeer& operator=(const PythonPeer&) = delete;

  bool ok() const { return pid_ > 0; }
  // Sends one JSON command and returns the reply line; an empty string (and
  // a test failure) when no reply comes within 10 seconds.
  std::string Call(const std::string& json);
  // Our end of the record socket.
  int fd() const { return fd_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int toPeer_ = -1;
  int fromPeer_ = -1;
  std::string pending_;
};

// The value of a key in a flat JSON object line: the text of a string, the
// digits of a number; empty when absent.
std::string Field(const std::string& json, const std::string& key);

}  // namespace tls_test

#endif  // OSTRAK_TESTS_NET_TLS_TEST_SUPPORT_H_

// Fuzz target for the TLS record reader and handshake-message reader
// (ostrak_fuzz_target in tests/net/CMakeLists.txt): every build runs it over
// fuzz/corpus/tls_record; with clang and -DOSTRAK_FUZZ=ON it is also a
// libFuzzer program, run as
//   build-fuzz/tests/net/net_tls_record_fuzz -max_total_time=300 <a copy of fuzz/corpus/tls_record>
// The seeds are made by fuzz/make_tls_record_corpus.py.
//
// Input: a mode byte, a chunk byte, then the bytes the transport delivers.
//   mode bit 0   our side is the server (else the client)
//   mode bit 1   SSL 3.0 (else TLS 1.0)
//   mode bits 2-3  read keys: 0 none, 1 CAST5 (suite 2), 2 3DES (suite 5),
//                3 MAC only (suite 8); all derived from a fixed master secret
//   mode bit 4   non-blocking transport
//   mode bit 5   ready session reading application data (else handshaking,
//                reading handshake messages)
//   chunk        at most this many bytes per receive (0: as many as asked)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/tls_internal.h"
#include "net/tls_session.h"
#include "server/main/wiring.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t chunk;
  int sends;
};

int32_t Receive(intptr_t user, void* buffer, uint32_t length) {
  auto* in = reinterpret_cast<Input*>(user);
  if (in->size == 0) return kQOXErrTLSWouldBlock;
  size_t n = std::min<size_t>({length, in->size, in->chunk});
  std::memcpy(buffer, in->data, n);
  in->data += n;
  in->size -= n;
  return static_cast<int32_t>(n);
}

int32_t Send(intptr_t user, const void*, uint32_t length) {
  ++reinterpret_cast<Input*>(user)->sends;
  return static_cast<int32_t>(length);
}

QOXtlsContext* TlsContext() {
  static QOXtlsContext* tls = [] {
    ostrakWire();
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    QOXContext* context = nullptr;
    QOXNewContext(kQOXAPIVersion, &context);
    QOXtlsContext* t = nullptr;
    QOXNewTLSContext(context, &t);
    return t;
  }();
  return tls;
}

void InstallReadKeys(QOXtlsSession* s, uint32_t suiteNumber) {
  for (uint16_t i = 0; i < s->suiteCount; ++i)
    if (s->suites[i].number == suiteNumber) s->negotiatedSuite = i;
  std::memset(s->clientRandom, 0x11, 32);
  std::memset(s->serverRandom, 0x22, 32);
  s->masterSecret = static_cast<uint8_t*>(QOXNewSecureData(s->memoryMgr, 48, 0));
  if (s->masterSecret == nullptr) return;
  for (int i = 0; i < 48; ++i) s->masterSecret[i] = static_cast<uint8_t>(i);
  if (qoxTLSCalculateKeys(s) == kQOXErrNoErr) qoxTLSActivateReadKeys(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  QOXtlsContext* tls = TlsContext();
  if (tls == nullptr) return 0;
  const uint8_t mode = data[0];
  Input in{data + 2, size - 2, data[1] == 0 ? SIZE_MAX : data[1], 0};
  QOXtlsSession* s = nullptr;
  if (QOXNewTLSSession(tls, &s) != kQOXErrNoErr) return 0;
  QOXtlsSetProtocolOptions(s, (mode & 1 ? kQOXtlsProtocolOption_ServerSide : 0) |
                                  (mode & 16 ? kQOXtlsProtocolOption_NonBlocking : 0));
  QOXtlsSetReceiveCallback(s, Receive, reinterpret_cast<intptr_t>(&in));
  QOXtlsSetSendCallback(s, Send, reinterpret_cast<intptr_t>(&in));
  s->minorVersion = mode & 2 ? kQOXtlsMinorSSL30 : kQOXtlsMinorTLS10;
  static constexpr uint32_t kSuites[] = {0, 2, 5, 8};
  if (const uint32_t suite = kSuites[(mode >> 2) & 3]; suite != 0) InstallReadKeys(s, suite);
  const bool ready = (mode & 32) != 0;
  s->state = ready ? kQOXtlsState_Ready : kQOXtlsState_Handshaking;
  // Read until an error, or until a non-blocking transport has nothing left;
  // every call consumes input or ends the loop.
  for (int rounds = 0; rounds < 100000; ++rounds) {
    const size_t before = in.size;
    QOXError err;
    if (ready) {
      uint8_t buf[700];
      uint32_t len = sizeof buf;
      err = QOXtlsReceive(s, buf, &len);
      if (err == kQOXErrNoErr && len == 0 && in.size == before && QOXtlsReceiveBufferSize(s) == 0) break;
    } else {
      uint8_t type = 0;
      uint8_t* body = nullptr;
      uint32_t length = 0;
      err = qoxTLSReceiveHandshakePacket(s, &type, &body, &length);
      if (body != nullptr) {
        if (length != 0) body[length - 1] ^= 1;  // the body is the caller's, all of it
        QOXFreeData(body);
      } else if (err == kQOXErrNoErr) {
        break;
      }
    }
    if (err != kQOXErrNoErr || s->state == kQOXtlsState_Fatal || s->state == kQOXtlsState_Closed) break;
  }
  QOXFreeTLSSession(s);
  return 0;
}

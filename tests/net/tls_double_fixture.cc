#include <algorithm>
#include <cstring>

#include "foundation/sdk_errors.h"
#include "tests/net/tls_double.h"

namespace {

FakeTlsSession* Fake(QOXtlsSession* s) { return reinterpret_cast<FakeTlsSession*>(s); }

QOXError SetReceive(QOXtlsSession* s, QOXtlsReceiveProc p, intptr_t user) {
  if (!s || !p) return kQOXErrBadParams;
  Fake(s)->receiveProc = p;
  Fake(s)->receiveUser = user;
  return kQOXErrNoErr;
}

QOXError SetSend(QOXtlsSession* s, QOXtlsSendProc p, intptr_t user) {
  if (!s || !p) return kQOXErrBadParams;
  Fake(s)->sendProc = p;
  Fake(s)->sendUser = user;
  return kQOXErrNoErr;
}

QOXError SetRemote(QOXtlsSession* s, uint32_t id) {
  Fake(s)->remoteId = id;
  return kQOXErrNoErr;
}

QOXError Handshake(QOXtlsSession* s) {
  ++Fake(s)->handshakes;
  return Fake(s)->handshakeResult;
}

QOXError Send(QOXtlsSession* s, const void* buffer, uint32_t length) {
  FakeTlsSession* f = Fake(s);
  if (f->sendResult) return f->sendResult;
  f->sent.append(static_cast<const char*>(buffer), length);
  return kQOXErrNoErr;
}

QOXError Receive(QOXtlsSession* s, void* buffer, uint32_t* ioLength) {
  FakeTlsSession* f = Fake(s);
  uint32_t capacity = *ioLength;
  *ioLength = 0;
  if (f->receiveResult) return f->receiveResult;
  if (f->emptyRecords > 0) {
    --f->emptyRecords;
    return kQOXErrNoErr;
  }
  if (f->pending.empty()) return kQOXErrTLSWouldBlock;  // as a non-blocking session
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(capacity, f->pending.size()));
  std::memcpy(buffer, f->pending.data(), n);
  f->pending.erase(0, n);
  *ioLength = n;
  return kQOXErrNoErr;
}

uint32_t BufferSize(QOXtlsSession* s) { return static_cast<uint32_t>(Fake(s)->pending.size()); }

}  // namespace

const QOXtlsServices kFakeTls = {
    .QOXtlsSetReceiveCallback = SetReceive,
    .QOXtlsSetSendCallback = SetSend,
    .QOXtlsSetRemoteUniqueID = SetRemote,
    .QOXtlsHandshake = Handshake,
    .QOXtlsSend = Send,
    .QOXtlsReceive = Receive,
    .QOXtlsReceiveBufferSize = BufferSize,
};

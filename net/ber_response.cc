// Reading one whole BER element from a socket.
//
// Every receive goes through the sockets layer (so a TLS-bound socket is
// read through its session); one that finds nothing there waits for the
// socket to become readable. The whole element must arrive within the
// caller's wait: the waits share one deadline, so a peer that sends a byte
// now and then cannot hold the reader longer. The announced length is
// checked against the caller's maximum before any allocation, so a peer
// cannot make the reader reserve memory it never sends.
#include <cerrno>
#include <chrono>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/ber_internal.h"
#include "net/sockets.h"

namespace {

// The code of a failed step: the sockets layer's last error, else kQOXErrUnknownError2
// (a peer that closed leaves no error number).
QOXError StepError() {
  QOXError err = QOXGetLastSocketsError();
  return err != kQOXErrNoErr ? err : kQOXErrUnknownError2;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline (0 when it has passed; -1, no
// limit, for the farthest time point).
int RemainingMs(Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Receives exactly count bytes. Bytes already there are taken at once;
// otherwise the reader waits for the socket to become readable, until the
// deadline at most.
QOXError ReceiveAll(int socket, uint8_t* buffer, uint32_t count, Clock::time_point deadline) {
  while (count) {
    errno = 0;
    ssize_t n = qoxSocketsReceiveNow(socket, buffer, count);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      errno = 0;
      int w = qoxSocketsWaitReadable(socket, RemainingMs(deadline));
      if (w <= 0) return StepError();  // a time-out leaves ETIMEDOUT (kQOXErrSocketTimedOut)
      errno = 0;
      n = QOXReceive(socket, buffer, count, 0);
      if (n < 0 && errno == EINTR) continue;
    }
    if (n <= 0) return StepError();
    buffer += n;
    count -= static_cast<uint32_t>(n);
  }
  return kQOXErrNoErr;
}

}  // namespace

int32_t qoxReceiveLen(int socket, void* buffer, uint32_t count, int32_t waitMs) {
  if (buffer == nullptr) return kQOXErrBadParams;
  if (qoxSocketsWaitReadable(socket, waitMs) <= 0) return 0;
  ssize_t n;
  do {
    n = QOXReceive(socket, buffer, count, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

QOXError QOXberReadResponse(QOXberElement* element, int socket, int32_t waitMs,
                            uint32_t maxLength) {
  if (!ostrak::ber::ValidElement(element)) return kQOXErrBadParams;
  ostrak::ber::ResetElement(element);
  const Clock::time_point deadline =
      waitMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(waitMs);

  // Identifier (one octet only) and the first length octet.
  uint8_t header[6];
  QOXError err = ReceiveAll(socket, header, 2, deadline);
  if (err != kQOXErrNoErr) return err;
  uint32_t headerSize = 2;
  uint64_t length = header[1];
  if (header[1] & 0x80) {
    uint32_t count = header[1] & 0x7f;
    if (count < 1 || count > 4) return kQOXErrBadParams;
    if ((err = ReceiveAll(socket, header + 2, count, deadline)) != kQOXErrNoErr) return err;
    length = 0;
    for (uint32_t i = 0; i < count; ++i) length = (length << 8) | header[2 + i];
    headerSize += count;
  }
  if (length > maxLength || length + headerSize > kQOXMaxBlockDataSize) return kQOXErrBadParams;

  const uint32_t total = headerSize + static_cast<uint32_t>(length);
  auto* buffer = static_cast<uint8_t*>(QOXNewData(element->mgr, total, kQOXMemoryMgrFlags_None));
  if (buffer == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(buffer, header, headerSize);
  err = ReceiveAll(socket, buffer + headerSize, static_cast<uint32_t>(length), deadline);
  if (err != kQOXErrNoErr) {
    QOXFreeData(buffer);
    return err;
  }
  element->encoding = buffer;
  element->length = element->capacity = total;
  return kQOXErrNoErr;
}

// Platform and resolver error numbers as toolkit error codes.
//
// The platform's errors are matched by their symbolic names, so the table
// holds on any POSIX system. Resolver failures never reach this table: the
// look-ups store their toolkit code (kQOXErrHostNotFound or kQOXErrDNSError) as errno directly,
// because the resolver's numbers collide with errno values. EINTR is not
// here: every loop of this layer retries it.
#include <cerrno>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"
#include "net/sockets.h"

namespace {

struct ErrnoRow {
  int number;
  QOXError code;
};

constexpr ErrnoRow kErrnoMap[] = {
    {0, kQOXErrNoErr},
    {ENETDOWN, kQOXErrNetworkDown},
    {ENETUNREACH, kQOXErrNetworkDown},
    {EFAULT, kQOXErrBadParams},
    {EDESTADDRREQ, kQOXErrBadParams},
    {ENOPROTOOPT, kQOXErrBadParams},
    {ESOCKTNOSUPPORT, kQOXErrBadParams},
    {EINPROGRESS, kQOXErrSocketsCallAlreadyInProgress},
    {EINVAL, kQOXErrSocketNotBound},
    {ENOBUFS, kQOXErrOutOfMemory},
    {ENOTSOCK, kQOXErrNotSocket},
    {EOPNOTSUPP, kQOXErrSocketOpNotSupported},
    {EADDRINUSE, kQOXErrSocketAddressInUse},
    {EAFNOSUPPORT, kQOXErrSocketFamilyNotSupported},
    {EADDRNOTAVAIL, kQOXErrSocketAddressNotAvailable},
    {ECONNREFUSED, kQOXErrSocketNotConnected},
    {ENETRESET, kQOXErrSocketNotConnected},
    {ECONNABORTED, kQOXErrSocketNotConnected},
    {ECONNRESET, kQOXErrSocketNotConnected},
    {EISCONN, kQOXErrSocketAlreadyConnected},
    {ETIMEDOUT, kQOXErrSocketTimedOut},
    {EMSGSIZE, kQOXErrSocketBufferOverflow},
    {EPROTONOSUPPORT, kQOXErrSocketProtocolNotSupported},
    {EPROTOTYPE, kQOXErrSocketProtocolNotSupported},
};

// Toolkit codes that may already stand in errno (TLS and resolver results).
constexpr int kToolkitCodeAbove = -11500;
constexpr int kToolkitCodeBelow = -10500;

}  // namespace

QOXError MapQOXSocketsError(int number) {
  if (number > kToolkitCodeAbove && number < kToolkitCodeBelow) return number;
  for (const ErrnoRow& row : kErrnoMap)
    if (row.number == number) return row.code;
  return kQOXErrUnknownError2;
}

QOXError QOXGetLastSocketsError() { return MapQOXSocketsError(errno); }

// The sockets layer: network-library start-up, TLS routing, waits, error
// mapping and thin wrappers over BSD sockets and the resolver.
//
// TLS routing: once a session has been bound to a stream socket with
// QOXSocketsEstablishTLSSession, QOXSend/QOXWrite/QOXReceive/QOXRead, the
// waits and QOXSelect on that socket go through the session, so callers read
// and write plain bytes on plain and TLS sockets alike. The layer does not
// own the sessions; QOXCloseSocket drops the binding.
//
// Locks: the process-wide socket->session map is guarded by one
// reader/writer lock (the "TLS map lock"). Lookups for routed calls and
// waits take it for reading; binding, QOXCloseSocket and the final clean-up
// take it for writing. It is never held while a session or the platform
// works, and no other lock is taken under it. The start-up use counts have
// their own mutex. Every call here may be made from any thread; a session
// and the socket bound to it belong to one thread at a time.
//
// Errors: platform calls return the platform's result; the toolkit code is
// read afterwards with QOXGetLastSocketsError. A routed call that fails in
// TLS returns -1 with the toolkit code stored as the thread's errno (which
// QOXGetLastSocketsError returns unchanged); a TLS shutdown reads as 0, like
// a closed plain socket. Resolver failures are stored the same way (kQOXErrHostNotFound
// host not found, kQOXErrDNSError other name-service failures).
#ifndef OSTRAK_NET_SOCKETS_H_
#define OSTRAK_NET_SOCKETS_H_

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "net/tls_session.h"

// --- Network library and sockets layer start-up ---

// The first call starts the toolkit (QOXsdkInit with flags 0) and remembers
// that it did; every call counts one use. A failing toolkit start is
// returned and counts nothing.
QOXError QOXsdkNetworkLibInit();
// Counts one use down; the last one stops the toolkit if this library
// started it. -12000 when the library was not started.
QOXError QOXsdkNetworkLibCleanup();
// Winds a started library down in one call; -12000 when it was not started.
QOXError qoxForceSDKNetworkLibCleanup();

// Counts one use of the sockets layer.
QOXError QOXSocketsInit();
// Counts one use down; the last one drops every TLS binding. Never goes
// below 0.
void QOXSocketsCleanup();

// --- TLS binding and routed input/output ---

// Binds a configured session to a connected stream socket: installs the
// transport callbacks, gives the session the peer's IPv4 address, runs the
// handshake and, when it succeeds, records socket -> session. kQOXErrSocketOpNotSupported for a
// socket that is not a stream; kQOXErrItemAlreadyExists when the socket is already bound (the
// first binding stays); a failed handshake leaves the socket unbound.
QOXError QOXSocketsEstablishTLSSession(int socket, QOXtlsSession* session);

// For a bound socket: sends the whole buffer through the session and returns
// the length (flags unused). Otherwise the platform's send with the flags
// and MSG_NOSIGNAL: a peer that went away gives -1 with EPIPE, never the
// signal SIGPIPE (no library changes signal dispositions).
ssize_t QOXSend(int socket, const void* buffer, size_t length, int flags);
ssize_t QOXWrite(int socket, const void* buffer, size_t length);
// For a bound socket: the bytes the session delivers, at most length (flags
// unused); records that carry no application bytes are read past, so 0
// always means the connection was shut down. Otherwise the platform's
// receive.
ssize_t QOXReceive(int socket, void* buffer, size_t length, int flags);
ssize_t QOXRead(int socket, void* buffer, size_t length);

// select() for outside callers. A descriptor of the read set bound to a
// session that already holds decrypted bytes answers at once: the lowest
// such descriptor is left alone in the read set, the other sets are cleared
// and 1 is returned. Otherwise waits as select does (a signal ends the wait
// with -1 and EINTR). A count above FD_SETSIZE returns -12000 without
// touching the sets.
int QOXSelect(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
              struct timeval* timeLimit);

// Removes the socket's binding (the session is neither closed nor freed),
// then closes the socket; the platform close's result.
int QOXCloseSocket(int socket);

// Transport callbacks that binding installs (user value: the socket).
// Receive waits at most the TLS receive wait for the socket to become
// readable (kQOXErrSocketTimedOut after it), then receives once: bytes, 0
// when the peer closed, kQOXErrTLSWouldBlock for EAGAIN, -1 on failure.
// Send loops over short sends and signals, with MSG_NOSIGNAL: the whole
// length, kQOXErrTLSWouldBlock when nothing could go, -1 on failure (a
// send that blocks part-way waits for room as long as the receive wait).
int32_t QOXSocketsTLSReceive(intptr_t userValue, void* buffer, uint32_t length);
int32_t QOXSocketsTLSSend(intptr_t userValue, const void* buffer, uint32_t length);
// The TLS receive wait in milliseconds for every bound socket (default
// kQOXberDefaultReceiveWaitMs, 300 s; negative: no limit).
void QOXSocketsSetTLSReceiveWait(int32_t waitMs);
int32_t QOXSocketsGetTLSReceiveWait();

// --- Waits and whole sends (the system's own helpers) ---

// The one wait of the system: like poll(), over any number of descriptors.
// An entry asking for POLLIN whose socket is bound to a session already
// holding decrypted bytes is ready at once (the first such entry alone gets
// POLLIN, the others no events, and 1 is returned). Otherwise polls for at
// most timeoutMs (-1: no limit). Returns the number of ready entries, 0 when
// the time ran out (errno is then ETIMEDOUT), -1 on failure (errno set).
// A signal is retried with the time left, unless stopOnSignal is set (a
// waiter that another thread wakes with a signal), which returns -1/EINTR.
int qoxSocketsPoll(struct pollfd* fds, size_t count, int timeoutMs, bool stopOnSignal = false);
// qoxSocketsPoll on one socket for reading: 1 ready, 0 time-out, -1 failure.
int qoxSocketsWaitReadable(int socket, int timeoutMs);
// Receives what a plain socket holds now, without waiting: the platform's
// receive with MSG_DONTWAIT (-1 with EAGAIN when nothing is there). A socket
// bound to a TLS session answers -1 with EAGAIN at once: its reader waits
// (qoxSocketsWaitReadable) and receives through QOXReceive as usual. Lets a
// reader skip the wait when the bytes are already there.
ssize_t qoxSocketsReceiveNow(int socket, void* buffer, size_t length);

// Sends the whole buffer, looping over short sends and signals (and waiting
// for room on a non-blocking socket); 0 when every byte went, else the
// toolkit code of the failure (kQOXErrSocketNotConnected when a TLS peer shut the connection).
QOXError qoxSendAll(int socket, const void* buffer, size_t length);

// --- Errors ---

// The toolkit code for the thread's current errno.
QOXError QOXGetLastSocketsError();
// A number strictly between -11500 and -10500 is already a toolkit code and
// comes back unchanged; a platform errno is mapped by its symbolic name; an
// unknown number gives kQOXErrUnknownError2.
QOXError MapQOXSocketsError(int number);

// --- Thin wrappers: the platform call's result, unchanged ---

int QOXOpenSocket(int domain, int type, int protocol);
int QOXBindSocket(int socket, const struct sockaddr* address, socklen_t addressLength);
int QOXConnect(int socket, const struct sockaddr* address, socklen_t addressLength);
int QOXListen(int socket, int backlog);
int QOXAccept(int socket, struct sockaddr* outAddress, socklen_t* ioAddressLength);
ssize_t QOXSendTo(int socket, const void* buffer, size_t length, int flags,
                  const struct sockaddr* address, socklen_t addressLength);
ssize_t QOXReceiveFrom(int socket, void* buffer, size_t length, int flags,
                       struct sockaddr* outAddress, socklen_t* ioAddressLength);
int QOXGetSocketName(int socket, struct sockaddr* outAddress, socklen_t* ioLength);
int QOXGetPeerName(int socket, struct sockaddr* outAddress, socklen_t* ioLength);
int QOXGetSocketOptions(int socket, int level, int option, void* value, socklen_t* ioLength);
int QOXSetSocketOptions(int socket, int level, int option, const void* value, socklen_t length);
int QOXIOControlSocket(int socket, unsigned long request, void* argument);
int QOXGetHostName(char* buffer, size_t length);

// Host, protocol and service look-ups (IPv4). The result lives in storage
// of the calling thread and stays valid until that thread's next look-up of
// the same kind; null on failure (see QOXGetLastSocketsError).
struct hostent* QOXGetHostByName(const char* name);
struct hostent* QOXGetHostByAddress(const void* address, socklen_t length, int type);
struct protoent* QOXGetProtocolByName(const char* name);
struct protoent* QOXGetProtocolByNumber(int number);
struct servent* QOXGetServiceByName(const char* name, const char* protocol);
struct servent* QOXGetServiceByPort(int port, const char* protocol);

// Dotted IPv4 text to a network-order address (INADDR_NONE when invalid),
// and back (text in storage of the calling thread).
in_addr_t QOXDottedToInternetAddress(const char* dotted);
const char* QOXInternetAddressToDottedString(const struct in_addr* address);

uint32_t QOXHostToNetLong(uint32_t value);
uint32_t QOXNetToHostLong(uint32_t value);
uint16_t QOXHostToNetShort(uint16_t value);
uint16_t QOXNetToHostShort(uint16_t value);

// Calls that do nothing on this platform.
using QOXSocketsIdleEventHandler = QOXError (*)(void* userValue);
QOXError QOXSetSocketsIdleEventHandler(QOXSocketsIdleEventHandler handler, void* userValue);
QOXError QOXGetSocketsIdleEventHandler(QOXSocketsIdleEventHandler* outHandler,
                                       void** outUserValue);
using QOXSocketsThreadStorageRef = void*;
QOXError QOXSocketsCreateThreadStorage(QOXSocketsThreadStorageRef* outStorage);
QOXError QOXSocketsDisposeThreadStorage(QOXSocketsThreadStorageRef storage);

#endif  // OSTRAK_NET_SOCKETS_H_

// Thin wrappers over the platform's socket calls, the resolver look-ups and
// the calls that do nothing on this platform.
//
// Look-ups use the re-entrant calls (getaddrinfo, getnameinfo and the _r
// forms) and keep their result in storage of the calling thread, so threads
// never share a result buffer.
#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"
#include "net/sockets.h"

int QOXOpenSocket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
int QOXBindSocket(int socket, const struct sockaddr* address, socklen_t addressLength) {
  return ::bind(socket, address, addressLength);
}
int QOXConnect(int socket, const struct sockaddr* address, socklen_t addressLength) {
  return ::connect(socket, address, addressLength);
}
int QOXListen(int socket, int backlog) { return ::listen(socket, backlog); }
int QOXAccept(int socket, struct sockaddr* outAddress, socklen_t* ioAddressLength) {
  return ::accept(socket, outAddress, ioAddressLength);
}
ssize_t QOXSendTo(int socket, const void* buffer, size_t length, int flags,
                  const struct sockaddr* address, socklen_t addressLength) {
  return ::sendto(socket, buffer, length, flags, address, addressLength);
}
ssize_t QOXReceiveFrom(int socket, void* buffer, size_t length, int flags,
                       struct sockaddr* outAddress, socklen_t* ioAddressLength) {
  return ::recvfrom(socket, buffer, length, flags, outAddress, ioAddressLength);
}
int QOXGetSocketName(int socket, struct sockaddr* outAddress, socklen_t* ioLength) {
  return ::getsockname(socket, outAddress, ioLength);
}
int QOXGetPeerName(int socket, struct sockaddr* outAddress, socklen_t* ioLength) {
  return ::getpeername(socket, outAddress, ioLength);
}
int QOXGetSocketOptions(int socket, int level, int option, void* value, socklen_t* ioLength) {
  return ::getsockopt(socket, level, option, value, ioLength);
}
int QOXSetSocketOptions(int socket, int level, int option, const void* value, socklen_t length) {
  return ::setsockopt(socket, level, option, value, length);
}
int QOXIOControlSocket(int socket, unsigned long request, void* argument) {
  return ::ioctl(socket, request, argument);
}
int QOXGetHostName(char* buffer, size_t length) { return ::gethostname(buffer, length); }

in_addr_t QOXDottedToInternetAddress(const char* dotted) {
  return dotted ? ::inet_addr(dotted) : INADDR_NONE;
}

const char* QOXInternetAddressToDottedString(const struct in_addr* address) {
  thread_local char text[INET_ADDRSTRLEN];
  if (address == nullptr || ::inet_ntop(AF_INET, address, text, sizeof text) == nullptr)
    return nullptr;
  return text;
}

uint32_t QOXHostToNetLong(uint32_t value) { return htonl(value); }
uint32_t QOXNetToHostLong(uint32_t value) { return ntohl(value); }
uint16_t QOXHostToNetShort(uint16_t value) { return htons(value); }
uint16_t QOXNetToHostShort(uint16_t value) { return ntohs(value); }

// --- Host look-ups ---

namespace {

constexpr int kMaxAddresses = 16;

struct HostResult {
  hostent host;
  char name[NI_MAXHOST];
  char* aliases[1];
  in_addr addresses[kMaxAddresses];
  char* addressList[kMaxAddresses + 1];
};

thread_local HostResult t_host;

// The resolver's failure as the thread's error: its own toolkit code, kept
// apart from errno values it would collide with.
void SetResolverError(int eai) {
  switch (eai) {
    case EAI_NONAME:
      errno = kQOXErrHostNotFound;
      break;
    case EAI_MEMORY:
      errno = ENOBUFS;
      break;
    case EAI_FAMILY:
      errno = EAFNOSUPPORT;
      break;
    case EAI_SYSTEM:
      break;  // errno already says why
    default:  // EAI_AGAIN, EAI_FAIL, EAI_NODATA and the rest
      errno = kQOXErrDNSError;
      break;
  }
}

hostent* StartHost(const char* name) {
  HostResult& r = t_host;
  std::memset(&r, 0, sizeof r);
  std::memcpy(r.name, name, ::strnlen(name, sizeof r.name - 1));
  r.host.h_name = r.name;
  r.host.h_aliases = r.aliases;
  r.host.h_addrtype = AF_INET;
  r.host.h_length = sizeof(in_addr);
  r.host.h_addr_list = r.addressList;
  return &r.host;
}

void AddAddress(in_addr a) {
  HostResult& r = t_host;
  int n = 0;
  while (n < kMaxAddresses && r.addressList[n]) {
    if (r.addresses[n].s_addr == a.s_addr) return;
    ++n;
  }
  if (n == kMaxAddresses) return;
  r.addresses[n] = a;
  r.addressList[n] = reinterpret_cast<char*>(&r.addresses[n]);
}

}  // namespace

struct hostent* QOXGetHostByName(const char* name) {
  if (name == nullptr) {
    errno = EFAULT;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) {
    SetResolverError(rc);
    return nullptr;
  }
  hostent* h = StartHost(list->ai_canonname ? list->ai_canonname : name);
  for (addrinfo* a = list; a; a = a->ai_next)
    if (a->ai_family == AF_INET) AddAddress(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr);
  ::freeaddrinfo(list);
  return h;
}

struct hostent* QOXGetHostByAddress(const void* address, socklen_t length, int type) {
  if (address == nullptr) {
    errno = EFAULT;
    return nullptr;
  }
  if (type != AF_INET || length < sizeof(in_addr)) {
    errno = EAFNOSUPPORT;
    return nullptr;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  std::memcpy(&sa.sin_addr, address, sizeof sa.sin_addr);
  char name[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr,
                         0, NI_NAMEREQD);
  if (rc != 0) {
    SetResolverError(rc);
    return nullptr;
  }
  hostent* h = StartHost(name);
  AddAddress(sa.sin_addr);
  return h;
}

// --- Protocol and service look-ups ---

namespace {

struct ProtoResult {
  protoent entry;
  char buffer[1024];
};
struct ServResult {
  servent entry;
  char buffer[1024];
};
thread_local ProtoResult t_proto;
thread_local ServResult t_serv;

template <typename T>
T* Found(int rc, T* result) {
  if (result == nullptr) errno = rc ? rc : ENOENT;
  return result;
}

}  // namespace

struct protoent* QOXGetProtocolByName(const char* name) {
  if (name == nullptr) return Found<protoent>(EFAULT, nullptr);
  protoent* result = nullptr;
  int rc = ::getprotobyname_r(name, &t_proto.entry, t_proto.buffer, sizeof t_proto.buffer, &result);
  return Found(rc, result);
}

struct protoent* QOXGetProtocolByNumber(int number) {
  protoent* result = nullptr;
  int rc =
      ::getprotobynumber_r(number, &t_proto.entry, t_proto.buffer, sizeof t_proto.buffer, &result);
  return Found(rc, result);
}

struct servent* QOXGetServiceByName(const char* name, const char* protocol) {
  if (name == nullptr) return Found<servent>(EFAULT, nullptr);
  servent* result = nullptr;
  int rc = ::getservbyname_r(name, protocol, &t_serv.entry, t_serv.buffer, sizeof t_serv.buffer,
                             &result);
  return Found(rc, result);
}

struct servent* QOXGetServiceByPort(int port, const char* protocol) {
  servent* result = nullptr;
  int rc = ::getservbyport_r(port, protocol, &t_serv.entry, t_serv.buffer, sizeof t_serv.buffer,
                             &result);
  return Found(rc, result);
}

// --- Calls that do nothing on this platform ---

QOXError QOXSetSocketsIdleEventHandler(QOXSocketsIdleEventHandler, void*) { return kQOXErrNoErr; }

QOXError QOXGetSocketsIdleEventHandler(QOXSocketsIdleEventHandler* outHandler,
                                       void** outUserValue) {
  if (outHandler) *outHandler = nullptr;
  if (outUserValue) *outUserValue = nullptr;
  return kQOXErrNoErr;
}

QOXError QOXSocketsCreateThreadStorage(QOXSocketsThreadStorageRef* outStorage) {
  if (outStorage == nullptr) return kQOXErrBadParams;
  *outStorage = nullptr;
  return kQOXErrNoErr;
}

QOXError QOXSocketsDisposeThreadStorage(QOXSocketsThreadStorageRef) { return kQOXErrNoErr; }

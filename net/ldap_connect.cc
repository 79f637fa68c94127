// Connecting an LDAP client context: one host, or the first of a list that
// accepts.
//
// A dotted IPv4 host is tried first as it stands; a name (or a dotted host
// that refused) is resolved and each of its addresses tried in turn on the
// same socket, which Linux allows after a refused connect.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"
#include "net/sockets.h"

namespace {

using ostrak::ldap::ValidContext;

// Connects the socket to one IPv4 address (network order): 0, or the
// toolkit code of the failure.
QOXError ConnectTo(int socket, in_addr_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = QOXHostToNetShort(port);
  sa.sin_addr.s_addr = address;
  int r;
  do {
    errno = 0;
    r = QOXConnect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return kQOXErrNoErr;
  QOXError err = QOXGetLastSocketsError();
  return err != kQOXErrNoErr ? err : kQOXErrSocketNotConnected;
}

void DropSocket(QOXldapContext context) {
  QOXCloseSocket(context->socket);
  context->socket = -1;
}

}  // namespace

QOXError qoxLDAPConnect(QOXldapContext context, const char* host, uint16_t port) {
  if (!ValidContext(context) || host == nullptr) return kQOXErrBadParams;
  if (!context->socketsStarted) {
    if (QOXSocketsInit() != kQOXErrNoErr) return QOXGetLastSocketsError();
    context->socketsStarted = true;
  }
  if (context->socket >= 0) DropSocket(context);
  QOXFreeData(context->host);
  context->host = nullptr;

  context->socket = QOXOpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (context->socket < 0) {
    QOXError err = QOXGetLastSocketsError();
    context->socket = -1;
    return err != kQOXErrNoErr ? err : kQOXErrSocketNotConnected;
  }

  bool connected = false;
  in_addr_t dotted = QOXDottedToInternetAddress(host);
  if (dotted != INADDR_NONE) {
    QOXError err = ConnectTo(context->socket, dotted, port);
    if (err == kQOXErrUserAbort) return err;
    connected = err == kQOXErrNoErr;
  }
  if (!connected) {
    hostent* entry = QOXGetHostByName(host);
    if (entry == nullptr) {
      QOXError err = QOXGetLastSocketsError();
      DropSocket(context);
      return err != kQOXErrNoErr ? err : kQOXErrHostNotFound;
    }
    for (char** a = entry->h_addr_list; a != nullptr && *a != nullptr && !connected; ++a) {
      in_addr_t address;
      std::memcpy(&address, *a, sizeof address);
      QOXError err = ConnectTo(context->socket, address, port);
      if (err == kQOXErrUserAbort) return err;
      connected = err == kQOXErrNoErr;
    }
  }
  if (!connected) {
    DropSocket(context);
    return kQOXErrSocketNotConnected;
  }
  context->host = ostrak::ldap::CopyText(context->mgr, host);
  if (context->host == nullptr) {
    DropSocket(context);
    return kQOXErrOutOfMemory;
  }
  context->port = port;
  return kQOXErrNoErr;
}

QOXError QOXldapOpen(QOXldapContext context, const char* hosts, uint16_t port) {
  if (!ValidContext(context) || hosts == nullptr) return kQOXErrBadParams;
  QOXError last = kQOXErrLDAPConnectError;  // the list names no host
  for (const char* p = hosts; *p != '\0';) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    const char* end = std::strchr(p, ' ');
    if (end == nullptr) end = p + std::strlen(p);
    std::string host;
    try {
      host.assign(p, end);
    } catch (const std::bad_alloc&) {
      return kQOXErrOutOfMemory;
    }
    p = end;
    last = qoxLDAPConnect(context, host.c_str(), port);
    if (last == kQOXErrNoErr) {
      context->resultCode = kLdapSuccess;
      return kQOXErrNoErr;
    }
    if (last == kQOXErrUserAbort) break;
  }
  context->resultCode = kLdapConnectError;
  return last;
}

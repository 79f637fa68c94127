// URL checks and client address and host-name look-ups.
#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>

#include <cstring>
#include <string>

#include "net/sockets.h"
#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"

namespace {

// The separator and the protocol tags, by index.
constexpr const char* kSeparator = "://";
constexpr const char* kProtocolTag[] = {"LDAPS:", "HTTPS:", "LDAP:", "HTTP:"};

}  // namespace

int checkUrl(const char* url, int* protocol) {
  ZovurezTraceScope trace("checkUrl");
  if (url == nullptr) return 1;
  // A zeroed work buffer of 512 bytes; longer URLs are checked on their
  // first 511 characters.
  char work[512] = {};
  strncpy(work, url, sizeof work - 1);
  char* rest = work;
  char* colon = strchr(work, ':');
  if (colon != nullptr && strncasecmp(colon, kSeparator, 3) == 0) {
    int found = -1;
    for (int i = 0; i < 4; ++i) {
      if (strncasecmp(work, kProtocolTag[i], strlen(kProtocolTag[i])) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) return 2;
    if (protocol != nullptr) *protocol = found;
    rest = colon + 3;
  } else if (colon == work) {
    return 1;
  }
  char* port = strchr(rest, ':');
  if (port == nullptr) return 0;
  return allDigits(port + 1) ? 0 : 3;
}

bool isURLanIPAddress(char* url) {
  ZovurezTraceScope trace("isURLanIPAddress");
  if (url == nullptr) return false;
  char* host = strrchr(url, '/');
  host = host != nullptr ? host + 1 : url;
  char* colon = strrchr(host, ':');
  if (colon != nullptr) *colon = '\0';
  bool ok = true;
  for (const char* p = host; *p != '\0'; ++p)
    if (!((*p >= '0' && *p <= '9') || *p == '.')) ok = false;
  if (colon != nullptr) *colon = ':';
  return ok;
}

int GetClientIPFromURL(char* url, char** address) {
  ZovurezTraceScope trace("GetClientIPFromURL");
  if (url == nullptr || address == nullptr || *address != nullptr) {
    zovurezLogServices().LogError(kLogError, "GetClientHostnameFromIP: Bad Params.");
    return -1;
  }
  char* host = strrchr(url, '/');
  host = host != nullptr ? host + 1 : url;
  char* colon = strrchr(host, ':');
  if (colon != nullptr) *colon = '\0';
  int rc = 0;
  struct hostent* he = QOXGetHostByName(host);
  if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list == nullptr ||
      he->h_addr_list[0] == nullptr) {
    zovurezLogServices().LogError(kLogWarning, "GetClientHostnameFromIP: QOXGetHostByName failed for host (%s).", host);
    rc = 1;
  } else {
    struct in_addr a {};
    memcpy(&a, he->h_addr_list[0], sizeof a);
    const char* dotted = QOXInternetAddressToDottedString(&a);
    if (dotted == nullptr) {
      zovurezLogServices().LogError(kLogWarning, "GetClientHostnameFromIP: QOXInternetAddressToDottedString failed.");
      rc = 2;
    } else {
      *address = zovurezStrdup(dotted);
      if (*address == nullptr) rc = -2;
    }
  }
  if (colon != nullptr) *colon = ':';
  return rc;
}

int GetClientHostname(const struct sockaddr_in* peer, char** hostName) {
  ZovurezTraceScope trace("GetClientHostname");
  if (peer == nullptr || hostName == nullptr) return 1;
  struct hostent result {};
  struct hostent* he = nullptr;
  char work[1024];
  int herr = 0;
  int rc = gethostbyaddr_r(&peer->sin_addr, sizeof peer->sin_addr, AF_INET, &result, work, sizeof work,
                           &he, &herr);
  if (rc != 0 || he == nullptr || he->h_name == nullptr) {
    zovurezLogServices().LogError(kLogWarning, "Getting client's hostname failed with error %d (%s).", herr,
                                  herr == HOST_NOT_FOUND ? "Host not found" : "DNS server failed");
    return 1;
  }
  *hostName = zovurezStrdup(he->h_name);
  if (*hostName == nullptr) {
    zovurezLogServices().LogError(kLogError, "Memory allocation error.");
    return 1;
  }
  return 0;
}

int GetClientAddrInfo(void* /*ignored*/, const struct sockaddr_in* peer, int lookupHost, char** address,
                      char** hostName) {
  ZovurezTraceScope trace("GetClientAddrInfo");
  if (peer == nullptr || address == nullptr) return 1;
  const char* dotted = QOXInternetAddressToDottedString(&peer->sin_addr);
  *address = dotted != nullptr ? zovurezStrdup(dotted) : nullptr;
  if (*address == nullptr) {
    zovurezLogServices().LogError(kLogError, "Memory allocation error.");
    return 1;
  }
  if ((lookupHost & 0xFF) != 0 && hostName != nullptr) {
    *hostName = nullptr;
    if (GetClientHostname(peer, hostName) != 0) *hostName = nullptr;
  }
  return 0;
}

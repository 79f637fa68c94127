// LDAP URLs (RFC 1959) and DN components.
//
// A URL is read left to right through a string_view that only ever moves
// forward; every piece is copied out by length. No %-escapes are decoded.
#include <cctype>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"

namespace {

using ostrak::ldap::CopyText;
using ostrak::ldap::ValidContext;

constexpr std::string_view kDefaultFilter = "(objectclass=*)";
// A port text is collected in 32 bytes: 31 characters and the NUL.
constexpr size_t kMaxPortText = 31;
constexpr long kMaxPort = 65535;

bool StartsNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

// Removes "<" ">" and a "URL:" prefix. False for a "<" without ">".
bool StripWrapping(std::string_view* u) {
  if (!u->empty() && u->front() == '<') {
    if (u->size() < 2 || u->back() != '>') return false;
    *u = u->substr(1, u->size() - 2);
  }
  if (StartsNoCase(*u, "url:")) u->remove_prefix(4);
  return true;
}

// Skips "ldap://" or "ldaps://"; false for any other scheme.
bool SkipScheme(std::string_view* u) {
  for (std::string_view scheme : {std::string_view("ldap://"), std::string_view("ldaps://")}) {
    if (StartsNoCase(*u, scheme)) {
      u->remove_prefix(scheme.size());
      return true;
    }
  }
  return false;
}

// The text up to (not including) the first of `stops`, taken off the front.
std::string_view TakeUntil(std::string_view* u, std::string_view stops) {
  size_t n = u->find_first_of(stops);
  if (n == std::string_view::npos) n = u->size();
  std::string_view piece = u->substr(0, n);
  u->remove_prefix(n);
  return piece;
}

// A port as atoi reads it (blanks, a sign, digits; 0 without digits),
// refused when negative or above 65535.
bool ParsePort(std::string_view text, uint16_t* out) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kMaxPort) return false;
  }
  if (negative && value != 0) return false;
  *out = static_cast<uint16_t>(value);
  return true;
}

// A null-terminated vector of copies of the pieces; null when memory runs out.
char** CopyVector(QOXMemoryMgr* mgr, const std::vector<std::string_view>& pieces) {
  auto** v = static_cast<char**>(
      QOXNewData(mgr, (pieces.size() + 1) * sizeof(char*), kQOXMemoryMgrFlags_Clear));
  if (v == nullptr) return nullptr;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if ((v[i] = CopyText(mgr, pieces[i])) == nullptr) {
      ostrak::ldap::FreeVector(reinterpret_cast<void**>(v));
      return nullptr;
    }
  }
  return v;
}

QOXError ParseInto(QOXMemoryMgr* mgr, std::string_view u, QOXldapURLDesc* d) {
  if (!SkipScheme(&u)) return kQOXErrLDAPURLNotLDAP;
  if ((d->filter = CopyText(mgr, kDefaultFilter)) == nullptr) return kQOXErrOutOfMemory;

  std::string_view host = TakeUntil(&u, ":/");
  if (!host.empty() && (d->host = CopyText(mgr, host)) == nullptr) return kQOXErrOutOfMemory;
  if (!u.empty() && u.front() == ':') {
    u.remove_prefix(1);
    std::string_view port = TakeUntil(&u, "/");
    if (port.size() > kMaxPortText || !ParsePort(port, &d->port)) return kQOXErrBadParams;
  }
  if (u.empty() || u.front() != '/') return kQOXErrLDAPURLNoBaseDN;
  u.remove_prefix(1);

  if ((d->dn = CopyText(mgr, TakeUntil(&u, "?"))) == nullptr) return kQOXErrOutOfMemory;
  if (u.empty()) return kQOXErrNoErr;
  u.remove_prefix(1);

  std::string_view list = TakeUntil(&u, "?");
  std::vector<std::string_view> names;
  while (!list.empty()) {
    while (!list.empty() && list.front() == ' ') list.remove_prefix(1);
    std::string_view name = TakeUntil(&list, ",");
    if (!list.empty()) list.remove_prefix(1);
    if (!name.empty()) names.push_back(name);
  }
  if ((d->attrs = CopyVector(mgr, names)) == nullptr) return kQOXErrOutOfMemory;
  if (u.empty()) return kQOXErrNoErr;
  u.remove_prefix(1);

  std::string_view scope = TakeUntil(&u, "?");
  d->scope = scope.starts_with("base")  ? kLdapScopeBase
             : scope.starts_with("one") ? kLdapScopeOneLevel
             : scope.starts_with("sub") ? kLdapScopeSubtree
                                        : kLdapScopeBase;
  if (u.empty()) return kQOXErrNoErr;
  u.remove_prefix(1);

  char* filter = CopyText(mgr, u);
  if (filter == nullptr) return kQOXErrOutOfMemory;
  QOXFreeData(d->filter);
  d->filter = filter;
  return kQOXErrNoErr;
}

}  // namespace

QOXError QOXFreeLDAPURLDesc(QOXldapURLDesc* description) {
  if (description == nullptr) return kQOXErrBadParams;
  QOXFreeData(description->host);
  QOXFreeData(description->dn);
  ostrak::ldap::FreeVector(reinterpret_cast<void**>(description->attrs));
  QOXFreeData(description->filter);
  QOXFreeData(description);
  return kQOXErrNoErr;
}

QOXError QOXldapURLParse(QOXldapContext context, const char* url, QOXldapURLDesc** outDescription) {
  if (outDescription == nullptr) return kQOXErrBadParams;
  *outDescription = nullptr;
  if (!ValidContext(context) || url == nullptr) return kQOXErrBadParams;
  std::string_view u(url);
  if (!StripWrapping(&u)) return kQOXErrBadParams;
  void* block = QOXNewData(context->mgr, sizeof(QOXldapURLDesc), kQOXMemoryMgrFlags_Clear);
  if (block == nullptr) return kQOXErrOutOfMemory;
  auto* d = new (block) QOXldapURLDesc{};
  QOXError err;
  try {
    err = ParseInto(context->mgr, u, d);
  } catch (const std::bad_alloc&) {
    err = kQOXErrOutOfMemory;
  }
  if (err != kQOXErrNoErr) {
    QOXFreeLDAPURLDesc(d);
    return err;
  }
  *outDescription = d;
  return kQOXErrNoErr;
}

QOXError QOXldapIsLDAPURL(QOXldapContext, const char* text, uint8_t* outYes) {
  if (outYes == nullptr) return kQOXErrBadParams;
  *outYes = 0;
  if (text == nullptr) return kQOXErrBadParams;
  std::string_view u(text);
  *outYes = StripWrapping(&u) && SkipScheme(&u) ? 1 : 0;
  return kQOXErrNoErr;
}

QOXError QOXldapExplodeDN(QOXldapContext context, const char* dn, uint8_t typesOff,
                          char*** outComponents) {
  if (outComponents == nullptr) return kQOXErrBadParams;
  *outComponents = nullptr;
  if (!ValidContext(context) || dn == nullptr) return kQOXErrBadParams;
  std::string_view rest(dn);
  rest = rest.substr(0, rest.find('?'));
  try {
    std::vector<std::string_view> parts;
    for (;;) {
      std::string_view part = TakeUntil(&rest, ",");
      while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
      if (typesOff) {
        size_t eq = part.find('=');
        if (eq != std::string_view::npos) part.remove_prefix(eq + 1);
      }
      parts.push_back(part);
      if (rest.empty()) break;
      rest.remove_prefix(1);  // the ","
    }
    char** v = CopyVector(context->mgr, parts);
    if (v == nullptr) return kQOXErrOutOfMemory;
    *outComponents = v;
    return kQOXErrNoErr;
  } catch (const std::bad_alloc&) {
    return kQOXErrOutOfMemory;
  }
}

// DN helpers. dn_normalize is one pass of a small state machine over the
// text, writing behind the read position.
#include "server/dn.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "net/ldap_protocol.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

enum State { kBeforeType, kInType, kBeforeEqual, kBeforeValue, kInValue, kInQuoted, kAfterQuoted };

bool IsSpace(char c) { return c == ' ' || c == '\n'; }
bool IsSeparator(char c) { return c == ',' || c == ';' || c == '+'; }

}  // namespace

char* dn_normalize(char* dn) {
  if (dn == nullptr) return nullptr;
  char* d = dn;
  State state = kBeforeType;
  for (char* s = dn; *s != '\0'; ++s) {
    char c = *s;
    switch (state) {
      case kBeforeType:
        if (!IsSpace(c)) {
          state = kInType;
          *d++ = c;
        }
        break;
      case kInType:
        if (c == '=') {
          state = kBeforeValue;
          *d++ = c;
        } else if (IsSpace(c)) {
          state = kBeforeEqual;
        } else {
          *d++ = c;
        }
        break;
      case kBeforeEqual:
        if (c == '=') {
          state = kBeforeValue;
          *d++ = c;
        } else if (!IsSpace(c)) {
          *d++ = c;
        }
        break;
      case kBeforeValue:
        if (c == '"') {
          state = kInQuoted;
          *d++ = c;
        } else if (!IsSpace(c)) {
          state = kInValue;
          *d++ = c;
        }
        break;
      case kInValue:
        if (c == '\\' && s[1] != '\0') {
          char e = *++s;
          if (e == '\\' || e == '"' || IsSeparator(e)) *d++ = '\\';
          *d++ = e;
        } else if (IsSeparator(c)) {
          while (d > dn && IsSpace(d[-1])) --d;
          *d++ = c == '+' ? '+' : ',';
          state = kBeforeType;
        } else {
          *d++ = c;
        }
        break;
      case kInQuoted:
        if (c == '\\' && s[1] != '\0') {
          char e = *++s;
          if (e == '\\' || e == '"') *d++ = '\\';
          *d++ = e;
        } else if (c == '"') {
          state = kAfterQuoted;
          *d++ = c;
        } else {
          *d++ = c;
        }
        break;
      case kAfterQuoted:
        if (IsSeparator(c)) {
          *d++ = c;
          state = kBeforeType;
        }
        break;
    }
  }
  *d = '\0';
  return dn;
}

char* dn_upcase(char* dn) {
  for (char* p = dn; p != nullptr && *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
  return dn;
}

char* dn_normalize_case(char* dn) { return dn_upcase(dn_normalize(dn)); }

char* dn_parent(const char* dn, const char* stop) {
  if (dn == nullptr || *dn == '\0') return nullptr;
  if (stop != nullptr && strcasecmp(dn, stop) == 0) return nullptr;
  if (strchr(dn, '=') == nullptr) {
    const char* p = strchr(dn, '@');
    if (p == nullptr) p = strchr(dn, '.');
    if (p == nullptr || p[1] == '\0') return nullptr;
    return zovurezStrdup(p + 1);
  }
  bool quoted = false;
  for (const char* p = dn; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0') break;
      ++p;
    } else if (*p == '"') {
      quoted = !quoted;
    } else if (!quoted && (*p == ',' || *p == ';')) {
      return zovurezStrdup(p + 1);
    }
  }
  return nullptr;
}

bool dn_issuffix(const char* dn, const char* suffix) {
  if (dn == nullptr || suffix == nullptr) return false;
  size_t n = strlen(dn), m = strlen(suffix);
  return n >= m && strcasecmp(dn + n - m, suffix) == 0;
}

int dn_type(const char* dn) { return dn != nullptr && strchr(dn, '=') != nullptr ? 1 : 0; }

QOXError CreateKeyDN(const char* prefix, const char* keyID, const char* base, char** dn) {
  if (prefix == nullptr || keyID == nullptr || base == nullptr || dn == nullptr || *dn != nullptr) {
    LogError(kLogError, "CreateKeyDN: Bad params.");
    return kQOXErrBadParams;
  }
  const char* id = keyID;
  if (id[0] == '0' && (id[1] == 'x' || id[1] == 'X')) id += 2;
  size_t idLength = strlen(id);
  if (idLength != 8 && idLength != 16) {
    LogError(kLogError, "CreateKeyDN: Invalid KeyID (%s).", keyID);
    return kQOXErrBadParams;
  }
  size_t size = strlen(prefix) + idLength + 1 + strlen(base) + 1;
  char* out = static_cast<char*>(zovurezMalloc(size));
  if (out == nullptr) {
    LogError(kLogError, "Out of memory");
    return kQOXErrOutOfMemory;
  }
  snprintf(out, size, "%s%s,%s", prefix, id, base);
  *dn = dn_normalize(out);
  return 0;
}

int EscapeDNString(const char* value, char** out, size_t* outLength) {
  size_t n = value != nullptr ? strlen(value) : 0;
  char* buffer = static_cast<char*>(zovurezMalloc(2 * n + 1));
  if (buffer == nullptr) {
    LogError(kLogError, "Memory allocation error.");
    return kLdapNoMemory;
  }
  size_t w = 0;
  for (size_t i = 0; i < n; ++i) {
    if (strchr(",+=\"\r<>#;", value[i]) != nullptr) buffer[w++] = '\\';
    buffer[w++] = value[i];
  }
  buffer[w] = '\0';
  *out = buffer;
  *outLength = w;
  return 0;
}

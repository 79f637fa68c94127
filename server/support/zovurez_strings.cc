// String arrays and small string tests.
#include <strings.h>

#include <cctype>
#include <cstring>

#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"

namespace {

size_t CountOf(char** array) {
  size_t n = 0;
  if (array != nullptr)
    while (array[n] != nullptr) ++n;
  return n;
}

}  // namespace

void charray_add(char*** array, char* s) {
  ZovurezTraceScope trace("charray_add");
  size_t n = CountOf(*array);
  char** grown = static_cast<char**>(zovurezRealloc(*array, (n + 2) * sizeof(char*)));
  if (grown == nullptr) return;
  grown[n] = s;
  grown[n + 1] = nullptr;
  *array = grown;
}

void charray_merge(char*** array, char** other) {
  ZovurezTraceScope trace("charray_merge");
  if (other == nullptr) return;
  size_t n = CountOf(*array);
  size_t m = CountOf(other);
  char** grown = static_cast<char**>(zovurezRealloc(*array, (n + m + 1) * sizeof(char*)));
  if (grown == nullptr) return;
  for (size_t i = 0; i < m; ++i) grown[n + i] = other[i];
  grown[n + m] = nullptr;
  *array = grown;
}

void charray_free(char** array) {
  ZovurezTraceScope trace("charray_free");
  if (array == nullptr) return;
  for (char** p = array; *p != nullptr; ++p) zovurezFree(*p);
  zovurezFree(array);
}

int charray_inlist(char** array, const char* s) { return charray_find(array, s) != nullptr ? 1 : 0; }

char* charray_find(char** array, const char* s) {
  if (array == nullptr || s == nullptr) return nullptr;
  for (char** p = array; *p != nullptr; ++p)
    if (strcasecmp(*p, s) == 0) return *p;
  return nullptr;
}

char** charray_dup(char** array) {
  ZovurezTraceScope trace("charray_dup");
  if (array == nullptr) return nullptr;
  size_t n = CountOf(array);
  char** copy = static_cast<char**>(zovurezMalloc((n + 1) * sizeof(char*)));
  if (copy == nullptr) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    copy[i] = zovurezStrdup(array[i]);
    if (copy[i] == nullptr) {
      copy[i] = nullptr;
      charray_free(copy);
      return nullptr;
    }
  }
  copy[n] = nullptr;
  return copy;
}

char** str2charray(char* s, const char* separators) {
  ZovurezTraceScope trace("str2charray");
  if (s == nullptr || separators == nullptr) return nullptr;
  size_t slots = 2;
  for (const char* p = s; *p != '\0'; ++p)
    if (strchr(separators, *p) != nullptr) ++slots;
  char** array = static_cast<char**>(zovurezMalloc(slots * sizeof(char*)));
  if (array == nullptr) return nullptr;
  size_t i = 0;
  char* save = nullptr;
  for (char* tok = strtok_r(s, separators, &save); tok != nullptr && i + 1 < slots;
       tok = strtok_r(nullptr, separators, &save)) {
    array[i] = zovurezStrdup(tok);
    if (array[i] == nullptr) break;
    ++i;
  }
  array[i] = nullptr;
  return array;
}

char* mystrsep(char** cursor, int ch) {
  if (cursor == nullptr || *cursor == nullptr) return nullptr;
  char* start = *cursor;
  char* hit = strchr(start, ch);
  if (hit != nullptr) {
    *hit = '\0';
    *cursor = hit + 1;
  } else {
    *cursor = nullptr;
  }
  return start;
}

void UpcaseString(char* s) {
  if (s == nullptr) return;
  for (; *s != '\0'; ++s)
    if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - 'a' + 'A');
}

void hexStringXsToLower(char* s) {
  if (s == nullptr) return;
  for (; *s != '\0'; ++s)
    if (*s == 'X') *s = 'x';
}

void EscapeDoubleQuotes(const char* s, char** out) {
  ZovurezTraceScope trace("EscapeDoubleQuotes");
  *out = nullptr;
  if (s == nullptr) return;
  size_t extra = 0, len = 0;
  for (const char* p = s; *p != '\0'; ++p, ++len)
    if (*p == '"' || *p == '\\') ++extra;
  char* text = static_cast<char*>(zovurezMalloc(len + extra + 1));
  if (text == nullptr) return;
  char* q = text;
  for (const char* p = s; *p != '\0'; ++p) {
    if (*p == '"' || *p == '\\') *q++ = '\\';
    *q++ = *p;
  }
  *q = '\0';
  *out = text;
}

int IsNonWhiteSpace(const char* s) {
  if (s == nullptr) return 0;
  for (; *s != '\0'; ++s)
    if (*s != ' ' && *s != '\t') return 1;
  return 0;
}

int IsWordSeparator(int c) {
  if (c == '_') return 0;
  unsigned char u = static_cast<unsigned char>(c);
  bool alnum = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
  return alnum ? 0 : 1;
}

bool allDigits(const char* s) {
  if (s == nullptr) return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

namespace {

const char* SkipLeadin(const char* s) {
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
  if (*s == '+' || *s == '-') ++s;
  return s;
}

}  // namespace

bool allDigitsIgnLeadin(const char* s) {
  if (s == nullptr) return false;
  s = SkipLeadin(s);
  if (*s == '\0') return false;
  return allDigits(s);
}

bool allHexDigitsIgnLeadin(const char* s) {
  if (s == nullptr) return false;
  s = SkipLeadin(s);
  bool hex = false;
  if (*s == '0') {
    ++s;
    if (*s == 'x' || *s == 'X') {
      hex = true;
      ++s;
    }
    // "0" and "0x" alone are numbers.
  } else if (*s == '\0') {
    return false;
  }
  for (; *s != '\0'; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    bool ok = (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!ok) return false;
  }
  return true;
}

int ParseBool(const char* s) {
  if (s == nullptr) return -1;
  if (strcasecmp(s, "on") == 0) return 1;
  if (strcasecmp(s, "off") == 0) return 0;
  return -1;
}

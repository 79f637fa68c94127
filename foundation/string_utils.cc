// Case-insensitive string routines.
#include "foundation/string_utils.h"

#include <cctype>

namespace {
int Lower(char c) { return std::tolower(static_cast<unsigned char>(c)); }
}  // namespace

int qoxCompareStringsIgnoreCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int d = Lower(*a) - Lower(*b);
    if (d != 0 || *a == '\0') return d;
  }
}

int qoxCompareStringsIgnoreCaseN(const char* a, const char* b, long n) {
  for (; n > 0; --n, ++a, ++b) {
    int d = Lower(*a) - Lower(*b);
    if (d != 0 || *a == '\0') return d;
  }
  return 0;
}

const char* FindSubStringNoCase(const char* haystack, const char* needle) {
  if (haystack == nullptr || needle == nullptr || *needle == '\0') return nullptr;
  for (const char* h = haystack; *h != '\0'; ++h) {
    const char* a = h;
    const char* b = needle;
    while (*a != '\0' && *b != '\0' && Lower(*a) == Lower(*b)) {
      ++a;
      ++b;
    }
    if (*b == '\0') return h;
    if (*a == '\0') return nullptr;  // the rest of the haystack is too short
  }
  return nullptr;
}

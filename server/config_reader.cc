// The configuration line reader, tokenizer and value checks.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/config.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

void fp_getline_init(ConfigLineReader* reader, int* lineNumber) {
  *lineNumber = -1;
  reader->next[0] = '\0';
  reader->nextHasControl = false;
  reader->haveNext = true;
  reader->current.clear();
  reader->currentHasControl = false;
}

namespace {

// A byte that has no place in a configuration line.
bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\r') || c == 0x7f; }

}  // namespace

char* fp_getline(ConfigLineReader* reader, FILE* file, int* lineNumber) {
  if (!reader->haveNext) return nullptr;
  reader->current = reader->next;
  reader->currentHasControl = reader->nextHasControl;
  ++*lineNumber;
  // The next physical line, as fgets reads it into the buffer (at most
  // 1023 bytes, up to and with its newline), counted so that a NUL byte in
  // it is seen.
  char* next = reader->next;
  size_t n = 0;
  int c = 0;
  while (n < sizeof reader->next - 1 && (c = getc(file)) != EOF) {
    next[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (n == 0) {
    reader->haveNext = false;
    reader->nextHasControl = false;
    next[0] = '\0';
    return reader->current.data();
  }
  if (next[n - 1] == '\n') --n;
  next[n] = '\0';
  reader->nextHasControl = false;
  for (size_t i = 0; i < n; ++i)
    if (IsControl(static_cast<unsigned char>(next[i]))) reader->nextHasControl = true;
  size_t skip = 0;
  while (skip < n && (next[skip] == ' ' || next[skip] == '\t')) ++skip;
  if (skip > 0) memmove(next, next + skip, n - skip + 1);
  return reader->current.data();
}

void fp_getline_destroy(ConfigLineReader* reader) {
  reader->haveNext = false;
  reader->current.clear();
  reader->current.shrink_to_fit();
}

char* strtok_quote(char* text, const char* separators, char** position) {
  if (text != nullptr) *position = text;
  char* p = *position;
  if (p == nullptr) return nullptr;
  while (*p != '\0' && strchr(separators, *p) != nullptr) ++p;
  if (*p == '\0') {
    *position = nullptr;
    return nullptr;
  }
  char* token = p;
  char* out = p;
  bool quoted = false;
  for (;;) {
    char c = *p;
    if (c == '\0') {
      *out = '\0';
      *position = nullptr;
      return token;
    }
    if (c == '"') {
      quoted = !quoted;
      ++p;
      continue;
    }
    if (!quoted && strchr(separators, c) != nullptr) {
      *out = '\0';
      *position = p + 1;
      return token;
    }
    *out++ = c;
    ++p;
  }
}

void fp_parse_line(char* line, int* count, char** tokens, int lineNumber, const char* path) {
  *count = 0;
  bool warned = false;
  char* position = nullptr;
  for (char* tok = strtok_quote(line, " \t", &position); tok != nullptr;
       tok = strtok_quote(nullptr, " \t", &position)) {
    if (*count < kMaxConfigTokens) {
      tokens[(*count)++] = tok;
    } else if (!warned) {
      LogError(kLogWarning, "%s(%d): Too many tokens found.  Only first %d tokens will be used.", path,
               lineNumber, kMaxConfigTokens);
      warned = true;
    }
  }
  tokens[*count] = nullptr;
}

int CheckKeyID(const char* text, const char* path, int lineNumber) {
  if (text == nullptr || strncmp(text, "0x", 2) != 0) {
    LogError(kLogError, "%s(%d): Key ID '%s' must begin with \"0x\".\n", path, lineNumber,
             text != nullptr ? text : "");
    return -1;
  }
  size_t n = strlen(text);
  if (n != 10 && n != 18) {
    LogError(kLogError, "%s(%d): Key ID '%s' is invalid (must be either 32 or 64 bits long)\n", path,
             lineNumber, text);
    return -1;
  }
  return 0;
}

bool vuzizParsePort(const char* text, int* out) {
  if (!allDigitsIgnLeadin(text)) return false;
  errno = 0;
  long v = strtol(text, nullptr, 10);
  if (errno != 0 || v < -1 || v > 65534) return false;
  *out = static_cast<int>(v);
  return true;
}

// The configuration line reader, tokenizer and value checks.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/config.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

// The reader's state: one read-ahead line and the current line. One file at
// a time, initial thread only.
char gNextLine[1024];
bool gHaveNext = false;
std::string gCurrent;

// strtok_quote's position in the text being split.
char* gTokPos = nullptr;

}  // namespace

void fp_getline_init(int* lineNumber) {
  *lineNumber = -1;
  gNextLine[0] = '\0';
  gHaveNext = true;
  gCurrent.clear();
}

char* fp_getline(FILE* file, int* lineNumber) {
  if (!gHaveNext) return nullptr;
  gCurrent = gNextLine;
  ++*lineNumber;
  if (fgets(gNextLine, sizeof gNextLine, file) == nullptr) {
    gHaveNext = false;
    gNextLine[0] = '\0';
  } else {
    size_t n = strlen(gNextLine);
    if (n > 0 && gNextLine[n - 1] == '\n') gNextLine[--n] = '\0';
    size_t skip = 0;
    while (gNextLine[skip] == ' ' || gNextLine[skip] == '\t') ++skip;
    if (skip > 0) memmove(gNextLine, gNextLine + skip, n - skip + 1);
  }
  return gCurrent.data();
}

void fp_getline_destroy() {
  gHaveNext = false;
  gCurrent.clear();
  gCurrent.shrink_to_fit();
}

char* strtok_quote(char* text, const char* separators) {
  if (text != nullptr) gTokPos = text;
  char* p = gTokPos;
  if (p == nullptr) return nullptr;
  while (*p != '\0' && strchr(separators, *p) != nullptr) ++p;
  if (*p == '\0') {
    gTokPos = nullptr;
    return nullptr;
  }
  char* token = p;
  char* out = p;
  bool quoted = false;
  for (;;) {
    char c = *p;
    if (c == '\0') {
      *out = '\0';
      gTokPos = nullptr;
      return token;
    }
    if (c == '"') {
      quoted = !quoted;
      ++p;
      continue;
    }
    if (!quoted && strchr(separators, c) != nullptr) {
      *out = '\0';
      gTokPos = p + 1;
      return token;
    }
    *out++ = c;
    ++p;
  }
}

void fp_parse_line(char* line, int* count, char** tokens, int lineNumber, const char* path) {
  *count = 0;
  bool warned = false;
  for (char* tok = strtok_quote(line, " \t"); tok != nullptr; tok = strtok_quote(nullptr, " \t")) {
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

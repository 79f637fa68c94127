// The phonetic code and the word helpers.
//
// The code is stored as index keys, so these rules are fixed: any change
// makes existing approximate indexes unreadable. A word is its letters,
// upper-cased (digits are dropped, at most 31 letters); positions outside
// the word read as NUL.
#include <cctype>
#include <cstring>
#include <string>

#include "server/support/zovurez.h"
#include "server/text_match.h"

namespace {

constexpr size_t kMaxLetters = 31;
constexpr size_t kMaxCode = 4;

// Ends a word: white space, punctuation, control characters, NUL, and every
// byte of 0x80 or above.
bool EndsWord(unsigned char c) { return c == 0 || c >= 0x80 || isspace(c) || ispunct(c) || iscntrl(c); }

bool IsVowel(char c) { return c == 'A' || c == 'E' || c == 'I' || c == 'O' || c == 'U'; }
bool IsFrontVowel(char c) { return c == 'E' || c == 'I' || c == 'Y'; }
bool IsConsonant(char c) { return c >= 'A' && c <= 'Z' && !IsVowel(c); }

std::string Code(const char* text) {
  std::string w;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  for (; !EndsWord(*p); ++p) {
    if (isalpha(*p) && w.size() < kMaxLetters) w += static_cast<char>(toupper(*p));
  }
  if (w.empty()) return "";
  size_t start = 0;
  switch (w[0]) {
    case 'A':
      if (w.size() > 1 && w[1] == 'E') start = 1;
      break;
    case 'G':
    case 'K':
    case 'P':
      if (w.size() > 1 && w[1] == 'N') start = 1;
      break;
    case 'W':
      if (w.size() > 1 && w[1] == 'R') {
        start = 1;
      } else if (w.size() > 1 && w[1] == 'H') {
        w.erase(1, 1);  // "WH" is one W
      }
      break;
    case 'X':
      w[0] = 'S';
      break;
    default:
      break;
  }
  auto at = [&](size_t i, int delta) -> char {
    long k = static_cast<long>(i) + delta;
    return k < 0 || k >= static_cast<long>(w.size()) ? '\0' : w[static_cast<size_t>(k)];
  };
  std::string code;
  bool xAsK = false;
  for (size_t i = start; i < w.size() && code.size() < kMaxCode; ++i) {
    if (xAsK) {  // the S of an X coded KS
      code += 'S';
      xAsK = false;
      continue;
    }
    char c = w[i];
    char prev = at(i, -1), next = at(i, 1), next2 = at(i, 2), next3 = at(i, 3);
    if (c == prev && c != 'C') continue;
    switch (c) {
      case 'F':
      case 'J':
      case 'L':
      case 'M':
      case 'N':
      case 'R':
        code += c;
        break;
      case 'A':
      case 'E':
      case 'I':
      case 'O':
      case 'U':
        if (i == start) code += c;
        break;
      case 'B':
        if (next == '\0' && prev != 'M') code += 'B';
        break;
      case 'C':
        if (prev == 'S' && IsFrontVowel(next)) break;
        if (next == 'I' && next2 == 'A') {
          code += 'X';
        } else if (IsFrontVowel(next)) {
          code += 'S';
        } else if (next != 'H') {
          code += 'K';
        } else if (i == start && (next2 == '\0' || IsConsonant(next2))) {
          code += 'K';
        } else if (prev == 'S') {
          code += 'K';
        } else {
          code += 'X';
        }
        break;
      case 'D':
        code += (next == 'G' && IsFrontVowel(next2)) ? 'J' : 'T';
        break;
      case 'G':
        if (next == 'J' && (next2 == '\0' || IsConsonant(next2))) break;
        if (next == 'N' && next2 == 'E' && next3 == 'D') break;
        if (prev == 'D' && IsFrontVowel(next)) break;
        code += (IsFrontVowel(next) && next2 != 'G') ? 'G' : 'K';
        break;
      case 'H':
        if (prev == 'C' || prev == 'G' || prev == 'P' || prev == 'S' || prev == 'T') break;
        if (IsVowel(prev) && !IsVowel(next)) break;
        code += 'H';
        break;
      case 'K':
        if (prev != 'C') code += 'K';
        break;
      case 'P':
        code += next == 'H' ? 'F' : 'P';
        break;
      case 'Q':
        code += 'K';
        break;
      case 'V':
        code += 'F';
        break;
      case 'Z':
        code += 'S';
        break;
      case 'S':
        code += (next == 'H' || (next == 'I' && (next2 == 'O' || next2 == 'A'))) ? 'X' : 'S';
        break;
      case 'T':
        if (next == 'I' && (next2 == 'O' || next2 == 'A')) {
          code += 'X';
        } else if (next == 'H') {
          code += '0';
        } else if (!(next == 'C' && next2 == 'H')) {
          code += 'T';
        }
        break;
      case 'W':
      case 'Y':
        if (IsVowel(next)) code += c;
        break;
      case 'X':
        if (i == start) {
          code += 'S';
        } else {
          code += 'K';
          xAsK = true;
        }
        break;
      default:
        break;
    }
  }
  return code;
}

char* Dup(const char* begin, size_t length) {
  char* out = static_cast<char*>(zovurezMalloc(length + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, begin, length);
  out[length] = '\0';
  return out;
}

}  // namespace

char* phonetic(const char* word) {
  std::string code = word != nullptr ? Code(word) : std::string();
  return Dup(code.data(), code.size());
}

const char* first_word(const char* text) {
  if (text == nullptr) return nullptr;
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    if (!EndsWord(*p)) return reinterpret_cast<const char*>(p);
  }
  return nullptr;
}

const char* next_word(const char* text) {
  if (text == nullptr) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (!EndsWord(*p)) ++p;
  return first_word(reinterpret_cast<const char*>(p));
}

char* word_dup(const char* text) {
  if (text == nullptr) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  while (!EndsWord(p[n])) ++n;
  return Dup(text, n);
}

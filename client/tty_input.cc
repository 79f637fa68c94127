#include "client/tty_input.h"

#include "client/keyboard.h"

namespace {

constexpr int kBell = 7;
constexpr int kBackspace = 8;
constexpr int kLineFeed = 10;
constexpr int kCarriageReturn = 13;
constexpr int kEndOfText = 4;  // ^D
constexpr int kKill = 21;      // ^U
constexpr int kDelete = 127;
constexpr int kFirstPrintable = 32;
constexpr int kLastByte = 255;

void Ring(FILE* echo) {
  FILE* to = echo != nullptr ? echo : stderr;
  fputc(kBell, to);
  fflush(to);
}

void EndLine(FILE* echo) {
  if (echo == nullptr) return;
  fputs("\n", echo);
  fflush(echo);
}

}  // namespace

int qoxTtyGetString(char* buffer, size_t size, FILE* echo) {
  if (buffer == nullptr || size == 0) return -1;
  kbCbreak(0);
  size_t count = 0;
  for (;;) {
    if (echo != nullptr) fflush(echo);
    int key = kbGet();
    if (key == kCarriageReturn || key == kLineFeed) {
      EndLine(echo);
      kbNorm();
      buffer[count] = '\0';
      return static_cast<int>(count);
    }
    if (key == kEndOfText || key < 0) {
      EndLine(echo);
      kbNorm();
      return -1;
    }
    if (key == kBell || key == kBackspace || key == kDelete) {
      if (count == 0) {
        Ring(echo);
        continue;
      }
      buffer[--count] = '\0';
      if (echo != nullptr) fputs("\b \b", echo);
      continue;
    }
    if (key == kKill) {
      fputc(kCarriageReturn, stdout);
      fflush(stdout);
      while (count > 0) buffer[--count] = '\0';
      continue;
    }
    if (key >= kFirstPrintable && key <= kLastByte) {
      if (count + 1 < size) {
        buffer[count++] = static_cast<char>(key);
        if (echo != nullptr) fputc(key, echo);
      } else {
        Ring(echo);
        kbFlush(0);
      }
      continue;
    }
    Ring(echo);
  }
}

int qoxTtyGetPass(FILE* stream, char* buffer, size_t size) {
  fputs("Enter pass phrase (type ^D to cancel): ", stream);
  fflush(stream);
  int result = qoxTtyGetString(buffer, size, nullptr);
  fputs("\n", stream);
  fflush(stream);
  return result;
}

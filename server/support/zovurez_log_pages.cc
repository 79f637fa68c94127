// Line positioning and reading for the web console's log pages.
#include <cstring>
#include <string>

#include "server/support/zovurez.h"
#include "server/support/zovurez_log.h"

QOXError MoveToPosition(FILE* stream, long offset) {
  ZovurezTraceScope trace("MoveToPosition");
  if (stream == nullptr) return kQOXErrBadParams;
  if (fseek(stream, offset, SEEK_SET) != 0) {
    zovurezLogServices().LogError(kLogError, "Could not set file position.\n");
    return kQOXErrFileOpError;
  }
  if (offset == 0) return kQOXErrNoErr;
  // Read backwards from the byte before offset; stop just after a newline.
  long pos = offset - 1;
  for (;;) {
    if (pos < 0 || fseek(stream, pos, SEEK_SET) != 0) {
      fseek(stream, 0, SEEK_SET);
      return kQOXErrNoErr;
    }
    int c = fgetc(stream);
    if (c == '\n') return kQOXErrNoErr;  // the stream stands just after it
    if (c == EOF || pos < 1) {
      fseek(stream, 0, SEEK_SET);
      return kQOXErrNoErr;
    }
    --pos;
  }
}

int ReverseIterate(FILE* stream, int count) {
  ZovurezTraceScope trace("ReverseIterate");
  if (stream == nullptr) return -1;
  if (feof(stream) && fseek(stream, 0, SEEK_CUR) != 0) return -1;
  int newlines = 0;
  for (;;) {
    // At the end of the file nothing is read and the first step back lands
    // on the last line's final character.
    int c = fgetc(stream);
    long pos = ftell(stream);
    if (c == '\n') {
      ++newlines;
      if (newlines == count + 1) return count;
    }
    if (pos < 2) {
      fseek(stream, 0, SEEK_SET);
      return newlines - 1;
    }
    // After a newline the byte before it is skipped: it ends the previous
    // line and never starts one.
    long back = c == '\n' ? 3 : 2;
    if (pos - back < 0 || fseek(stream, pos - back, SEEK_SET) != 0) {
      fseek(stream, 0, SEEK_SET);
      return newlines - 1;
    }
  }
}

QOXError ReadLines(FILE* stream, int count, char* buffer, size_t bufferSize, int* linesRead) {
  ZovurezTraceScope trace("ReadLines");
  if (stream == nullptr || buffer == nullptr || bufferSize == 0) return kQOXErrBadParams;
  size_t total = strlen(buffer);
  int appended = 0;
  char piece[1024];
  for (int i = 0; i < count + 1; ++i) {
    long start = ftell(stream);
    if (fgets(piece, sizeof piece, stream) == nullptr) {
      if (ferror(stream)) return kQOXErrFileOpError;
      if (linesRead != nullptr) *linesRead = appended;
      return kQOXErrNoErr;
    }
    std::string line = std::to_string(start) + ": " + piece;
    if (total + line.size() >= bufferSize) {
      fseek(stream, start, SEEK_SET);
      if (linesRead != nullptr) *linesRead = appended;
      return kQOXErrBufferTooSmall;
    }
    memcpy(buffer + total, line.c_str(), line.size() + 1);
    total += line.size();
    ++appended;
  }
  return kQOXErrNoErr;
}

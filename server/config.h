// The configuration file: its line reader, tokenizer, key-ID check and the
// three passes that fill ServerState.
//
// Format: one keyword and its values per line, tokens separated by blanks
// and tabs, double quotes group a value with blanks (and are removed), at
// most 100 tokens a line; leading white space is removed from every line;
// empty lines and lines starting with "#" are skipped; lines are never
// joined; a physical line longer than 1023 bytes is cut and its rest read as
// a line of its own. Keywords and keyword values are compared without case.
//
// Thread safety: the passes run on the initial thread before any server
// thread exists. The line reader and the tokenizer keep their state in
// records of their callers, so readers of different files do not meet.
#ifndef OSTRAK_SERVER_CONFIG_H_
#define OSTRAK_SERVER_CONFIG_H_

#include <cstdio>
#include <string>

struct Backend;

inline constexpr int kMaxConfigTokens = 100;

// No port override given on the command line.
inline constexpr int kNoPortOverride = -2;

// Pass 1: ports, secure mode, access-log file (and the names built from
// them). An override is kNoPortOverride, 0 or -1 (disable) or the port.
[[nodiscard]] int ReadConfigFirst(const char* path, int portOverride, int securePortOverride);
// Pass 2: everything but the keywords of passes 1 and 3.
[[nodiscard]] int ReadConfig(const char* path, Backend* be);
// Pass 3: the backend's keywords.
[[nodiscard]] int ReadConfigLast(const char* path, Backend* be);

// The line reader's state, owned by its caller: the read-ahead line and the
// current one (valid until the next fp_getline). A line is text: one that
// holds a NUL byte or a control character other than tab and carriage
// return is marked (currentHasControl), so that the caller refuses it
// rather than read it cut short at the NUL.
struct ConfigLineReader {
  char next[1024] = "";
  bool nextHasControl = false;
  bool haveNext = false;
  std::string current;
  bool currentHasControl = false;
};

void fp_getline_init(ConfigLineReader* reader, int* lineNumber);
char* fp_getline(ConfigLineReader* reader, FILE* file, int* lineNumber);
void fp_getline_destroy(ConfigLineReader* reader);
// tokens must have kMaxConfigTokens + 1 slots; the last used one is
// followed by a null slot.
void fp_parse_line(char* line, int* count, char** tokens, int lineNumber, const char* path);
// The next token of text (null: go on in the text of the previous call),
// with *position the caller's record of where the previous call stopped.
char* strtok_quote(char* text, const char* separators, char** position);
// 0, or -1 after logging why the key ID is refused.
[[nodiscard]] int CheckKeyID(const char* text, const char* path, int lineNumber);

// The port text rules of the command line and the file: a decimal number
// (leading white space and one sign allowed) from -1 to 65534. True when
// valid; the value through out.
[[nodiscard]] bool vuzizParsePort(const char* text, int* out);

#endif  // OSTRAK_SERVER_CONFIG_H_

// Access levels and the "Allow" rules of the configuration.
//
// Levels are bits ordered by strength; a rule grants its level and every
// lower one. A rule holds a subject type (0 IP address, 1 host name), an
// unanchored regular expression made from the configured wildcard pattern
// (upper-cased), and its level. The list keeps configuration order.
//
// Thread safety: the list is built while the configuration is read and only
// read afterwards. access2str returns a constant name.
#ifndef OSTRAK_SERVER_ACCESS_RULES_H_
#define OSTRAK_SERVER_ACCESS_RULES_H_

#include <cstdint>

#include "foundation/scoped.h"

inline constexpr int kAccessNone = 1;
inline constexpr int kAccessCompare = 2;
inline constexpr int kAccessSearch = 4;
inline constexpr int kAccessRead = 8;
inline constexpr int kAccessAdd = 16;
inline constexpr int kAccessDelete = 32;
inline constexpr int kAccessAdmin = 64;
inline constexpr int kAccessAll = 128;

inline constexpr int kAllowSubjectIP = 0;
inline constexpr int kAllowSubjectHost = 1;

struct AccessAllow {
  int type;          // kAllowSubjectIP or kAllowSubjectHost
  char* expression;  // owned
  int level;
  AccessAllow* next;
};

// Level of a name (any case), or -1. "compare" and "search" map to read.
int str2access(const char* name);
const char* access2str(int level);
// 0, or 1 when out of memory (expression null).
int ConvertWildcards2REs(const char* pattern, char** expression);
// Appends one rule from the words "allow", type, pattern, level. 0 or 1.
int AddAccessAllow(AccessAllow** list, const char* file, int line, int argc, char** argv);
void FreeAccessCtrlList(AccessAllow* list);

OSTRAK_DEFINE_DELETER(AccessAllow, FreeAccessCtrlList)

#endif  // OSTRAK_SERVER_ACCESS_RULES_H_

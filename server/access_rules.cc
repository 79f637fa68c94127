// Access levels, wildcard patterns and the Allow rule list.
#include "server/access_rules.h"

#include <strings.h>

#include <cstring>

#include "server/error_log.h"
#include "server/support/zovurez.h"

int str2access(const char* name) {
  if (name == nullptr) return -1;
  if (strcasecmp(name, "none") == 0) return kAccessNone;
  if (strcasecmp(name, "compare") == 0) {
    LogError(kLogInfo, "\"compare\" now maps to \"read\"");
    return kAccessRead;
  }
  if (strcasecmp(name, "search") == 0) {
    LogError(kLogInfo, "\"search\" now maps to \"read\"");
    return kAccessRead;
  }
  if (strcasecmp(name, "read") == 0) return kAccessRead;
  if (strcasecmp(name, "add") == 0) return kAccessAdd;
  if (strcasecmp(name, "delete") == 0) return kAccessDelete;
  if (strcasecmp(name, "admin") == 0) return kAccessAdmin;
  if (strcasecmp(name, "all") == 0) return kAccessAll;
  return -1;
}

const char* access2str(int level) {
  // The names are constants, so every thread can use the result at once.
  static constexpr const char* kNames[] = {"none", "compare", "search", "read",
                                           "add",  "delete",  "admin",  "all"};
  for (int bit = 0; bit < 8; ++bit) {
    if (level & (1 << bit)) return kNames[bit];
  }
  return "unknown";
}

int ConvertWildcards2REs(const char* pattern, char** expression) {
  *expression = nullptr;
  if (pattern == nullptr) return 1;
  size_t size = 1;
  for (const char* p = pattern; *p != '\0'; ++p)
    size += (*p == '*' || strchr(".\\[]+^$", *p) != nullptr) ? 2 : 1;
  char* out = static_cast<char*>(zovurezMalloc(size));
  if (out == nullptr) return 1;
  char* q = out;
  for (const char* p = pattern; *p != '\0'; ++p) {
    char c = *p;
    if (c == '*') {
      *q++ = '.';
      *q++ = '*';
    } else if (c == '?') {
      *q++ = '.';
    } else if (strchr(".\\[]+^$", c) != nullptr) {
      *q++ = '\\';
      *q++ = c;
    } else {
      *q++ = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
  }
  *q = '\0';
  *expression = out;
  return 0;
}

int AddAccessAllow(AccessAllow** list, const char* file, int line, int argc, char** argv) {
  if (argc != 4) {
    LogError(kLogError, "%s(%d): Missing arguments in \"Allow <Type> <Pattern> <Level>\" line.\n", file,
             line);
    return 1;
  }
  bool ip = strcasecmp(argv[1], "ip") == 0;
  bool host = strcasecmp(argv[1], "host") == 0;
  if (strcasecmp(argv[0], "allow") != 0 || (!ip && !host)) {
    LogError(kLogError, "%s(%d): Invalid arguments in \"Allow <Type> <Pattern> <Level>\" line.\n", file,
             line);
    return 1;
  }
  ostrak::UniquePtr<AccessAllow> rule(static_cast<AccessAllow*>(zovurezCalloc(1, sizeof(AccessAllow))));
  if (rule == nullptr) {
    LogError(kLogError, "%s(%d): Out of memory\n", file, line);
    return 1;
  }
  rule->type = ip || strcmp(argv[2], "*") == 0 ? kAllowSubjectIP : kAllowSubjectHost;
  if (ConvertWildcards2REs(argv[2], &rule->expression) != 0) {
    LogError(kLogError, "%s(%d): Out of memory\n", file, line);
    return 1;
  }
  rule->level = str2access(argv[3]);
  if (rule->level == -1) {
    LogError(kLogError,
             "%s(%d): Allow Access Level of '%s' is invalid.\n  Valid Levels: 'none', 'compare', "
             "'search', 'read', 'add', 'delete', 'all'.\n",
             file, line, argv[3]);
    return 1;
  }
  AccessAllow** tail = list;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = rule.release();
  return 0;
}

void FreeAccessCtrlList(AccessAllow* list) {
  while (list != nullptr) {
    AccessAllow* next = list->next;
    zovurezFree(list->expression);
    zovurezFree(list);
    list = next;
  }
}

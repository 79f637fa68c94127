// The three configuration passes.
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "foundation/byte_cursor.h"
#include "keydb/key_id.h"
#include "server/access_rules.h"
#include "server/backend.h"
#include "server/config.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

bool Is(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// An open configuration file with the line reader set up; closes both.
class ConfigFile {
 public:
  explicit ConfigFile(const char* path) : path_(path), file_(fopen(path, "r")) {
    if (file_ == nullptr) {
      LogError(kLogError, "Could not open configuration file (%s): %s\n", path, strerror(errno));
    } else {
      fp_getline_init(&reader_, &line_);
    }
  }
  ~ConfigFile() { fp_getline_destroy(&reader_); }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  bool ok() const { return file_ != nullptr; }
  int line() const { return line_; }
  // The next line with tokens (comments and empty lines skipped); false at
  // the end, and after logging a line that holds a NUL byte or a control
  // character (failed() then tells it).
  bool Next(int* count, char** tokens) {
    for (;;) {
      char* text = fp_getline(&reader_, file_.get(), &line_);
      if (text == nullptr) return false;
      if (line_ == 0 || text[0] == '#') continue;
      if (reader_.currentHasControl) {
        LogError(kLogError, "%s(%d): Invalid character (NUL or control character) in the line.\n", path_, line_);
        failed_ = true;
        return false;
      }
      if (text[0] == '\0') continue;
      raw_ = text;
      fp_parse_line(text, count, tokens, line_, path_);
      return true;
    }
  }
  bool failed() const { return failed_; }
  const std::string& raw() const { return raw_; }

 private:
  const char* path_;
  ostrak::UniquePtr<FILE> file_;
  ConfigLineReader reader_;
  int line_ = 0;
  std::string raw_;
  bool failed_ = false;
};

// yes 1, no 0, else -1.
int YesNo(const char* text) {
  if (Is(text, "yes")) return 1;
  if (Is(text, "no")) return 0;
  return -1;
}

bool SetPath(char** field, const char* value, const char* path, int line) {
  char* absolute = nullptr;
  AdjustPath(g_pszCurrentDirectory, value, &absolute);
  if (absolute == nullptr) {
    LogError(kLogError, "%s(%d): Out of memory\n", path, line);
    return false;
  }
  zovurezFree(*field);
  *field = absolute;
  return true;
}

bool SetText(char** field, const char* value, const char* path, int line) {
  char* copy = zovurezStrdup(value);
  if (copy == nullptr) {
    LogError(kLogError, "%s(%d): Out of memory\n", path, line);
    return false;
  }
  zovurezFree(*field);
  *field = copy;
  return true;
}

// Prepends a key ID (its digits after "0x") to a list.
bool PushKeyID(KeyIDNode** list, const char* keyID) {
  KeyIDNode* node = static_cast<KeyIDNode*>(zovurezCalloc(1, sizeof(KeyIDNode)));
  if (node == nullptr) return false;
  snprintf(node->keyID, sizeof node->keyID, "%s", keyID + 2);
  node->next = *list;
  *list = node;
  return true;
}

// What the passes keep while they read one file.
struct PassState {
  const char* path;
  Backend* be;
  int line = 0;
  // Pass 1: a -1 port in the file.
  int filePortOverride = kNoPortOverride;
  int fileSecurePortOverride = kNoPortOverride;
  // Pass 2.
  int mustGroups = 0;
  int allowGroups = 0;
  bool sawServerKeyID = false;
  // Where the next ip/host Allow rule goes (the end of the list), so a
  // file of many rules is read in linear time.
  AccessAllow** allowTail = nullptr;
};

bool Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool Fail(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char text[2048];
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  LogError(kLogError, "%s", text);
  return false;
}

struct Keyword;
// Reads the value tokens of a line whose count the table has checked;
// false after logging the error that ends the pass.
using Parser = bool (*)(PassState& s, const Keyword& k, int count, char** t);

struct Choice {
  const char* name;
  int32_t value;
};

// One configuration keyword: the pass that reads it, the token count it
// takes (the keyword included), the parser of its values and its messages.
// The count message is printed with the path and the line, the value
// message with the path, the line, the value and the range's upper end.
struct Keyword {
  const char* name;
  int pass;
  int minTokens = 1;
  int maxTokens = 0;                   // 0: no upper limit
  const char* countMessage = nullptr;  // null: the parser checks the count
  Parser parse = nullptr;              // null: the line is accepted as it is
  const char* valueMessage = nullptr;
  // Numbers: the range. Choices: the names and their values.
  int64_t min = 0;
  int64_t max = 0;
  const Choice* choices = nullptr;
  size_t choiceCount = 0;
  // The field set, for the keywords that only store their value.
  int32_t ServerState::*intField = nullptr;
  uint8_t ServerState::*byteField = nullptr;
  char* ServerState::*textField = nullptr;
};

bool ValueFail(const PassState& s, const Keyword& k, const char* value) {
  return Fail(k.valueMessage, s.path, s.line, value, static_cast<int>(k.max));
}

// A decimal number of digits only (no sign, no blanks; an empty value is
// 0) within [min, max], read through the bounded cursor.
bool ParseNumber(const char* text, int64_t min, int64_t max, int64_t* out) {
  ostrak::ByteCursor in(std::string_view(text != nullptr ? text : ""));
  int64_t v = 0;
  uint8_t c;
  while (in.get_u8(&c)) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > max) return false;  // also keeps v from overflowing
  }
  if (v < min) return false;
  *out = v;
  return true;
}

bool Number(PassState& s, const Keyword& k, int, char** t) {
  int64_t v = 0;
  if (!ParseNumber(t[1], k.min, k.max, &v)) return ValueFail(s, k, t[1]);
  g->*k.intField = static_cast<int32_t>(v);
  return true;
}

bool YesNoValue(PassState& s, const Keyword& k, int, char** t) {
  int v = YesNo(t[1]);
  if (v < 0) return ValueFail(s, k, t[1]);
  if (k.intField != nullptr) g->*k.intField = v;
  if (k.byteField != nullptr) g->*k.byteField = static_cast<uint8_t>(v);
  return true;
}

bool FindChoice(const Keyword& k, const char* text, int32_t* out) {
  for (size_t i = 0; i < k.choiceCount; ++i) {
    if (Is(text, k.choices[i].name)) {
      *out = k.choices[i].value;
      return true;
    }
  }
  return false;
}

bool ChoiceValue(PassState& s, const Keyword& k, int, char** t) {
  int32_t v = 0;
  if (!FindChoice(k, t[1], &v)) return ValueFail(s, k, t[1]);
  g->*k.intField = v;
  return true;
}

bool PathValue(PassState& s, const Keyword& k, int, char** t) {
  return SetPath(&(g->*k.textField), t[1], s.path, s.line);
}

bool TextValue(PassState& s, const Keyword& k, int, char** t) {
  return SetText(&(g->*k.textField), t[1], s.path, s.line);
}

// --- Pass 1 ---

bool AccessLogFile(PassState& s, const Keyword&, int count, char** t) {
  if (!SetPath(&g->AccessLogFile, t[1], s.path, s.line)) return false;
  if (count == 3) {
    // A creation mode, with a base prefix (0x hex, 0 octal); 0 keeps the
    // default.
    long mode = strtol(t[2], nullptr, 0);
    if (mode != 0) g->accessLogMode = static_cast<int32_t>(mode);
  }
  return true;
}

bool PortLine(PassState& s, const Keyword& k, int, char** t) {
  int v;
  if (!vuzizParsePort(t[1], &v) || v == 0) return ValueFail(s, k, t[1]);
  bool secure = k.intField == &ServerState::SecurePort;
  if (v == -1)
    (secure ? s.fileSecurePortOverride : s.filePortOverride) = -1;
  else
    g->*k.intField = v;
  return true;
}

bool SecureMode(PassState& s, const Keyword& k, int, char** t) {
  int32_t mode = 0;
  if (!FindChoice(k, t[1], &mode)) return ValueFail(s, k, t[1]);
  // Once a pass ended with secure mode disabled, it stays disabled.
  g->SecureMode = gHUPSecureMode == kSecureDisabled ? kSecureDisabled : mode;
  return true;
}

// --- Pass 2 ---

bool CycleLogTime(PassState& s, const Keyword& k, int, char** t) {
  const char* text = t[1];
  const char* colon = strchr(text, ':');
  int64_t hour = 0, minute = 0;
  bool ok = strlen(text) <= 5 && colon != nullptr && colon > text;
  if (ok) {
    std::string h(text, static_cast<size_t>(colon - text));
    std::string m(colon + 1);
    ok = m.size() == 2 && ParseNumber(h.c_str(), 1, 23, &hour) && ParseNumber(m.c_str(), 0, 59, &minute);
  }
  if (!ok) return ValueFail(s, k, text);
  g->CycleLogTime = static_cast<int32_t>(hour * 60 + minute);
  return true;
}

bool ServerSecureKeyID(PassState& s, const Keyword& k, int, char** t) {
  // The line names no algorithm: the ID matches the key of either.
  if (CheckKeyID(t[1], s.path, s.line) != 0 ||
      QOXNewKeyIDFromString(t[1], kQOXKeyIDAnyAlgorithm, &g->ServerSecureKeyID) != 0)
    return ValueFail(s, k, t[1]);
  s.sawServerKeyID = true;
  return true;
}

bool CheckedKeyID(PassState& s, const Keyword& k, int, char** t) {
  if (CheckKeyID(t[1], s.path, s.line) != 0) return ValueFail(s, k, t[1]);
  return true;
}

bool ReadOnly(PassState& s, const Keyword& k, int, char** t) {
  int yn = YesNo(t[1]);
  int onoff = ParseBool(t[1]);
  if (yn < 0 && onoff < 0) return ValueFail(s, k, t[1]);
  if (onoff >= 0)
    LogError(kLogInfo, onoff ? "ReadOnly: 'on' is deprecated. Please use 'yes' and 'no'."
                             : "ReadOnly: 'off' is deprecated. Please use 'yes' and 'no'.");
  if (s.be != nullptr) s.be->readOnly = yn >= 0 ? yn : onoff;
  return true;
}

bool LogLevel(PassState& s, const Keyword& k, int count, char** t) {
  if (!ChoiceValue(s, k, count, t)) return false;
  UpdateErrorLogValues(g->LogLevel, -1, -1);
  return true;
}

bool Replica(PassState& s, const Keyword&, int count, char** t) {
  if (s.be == nullptr) return true;  // without a backend the line is not read
  if (count < 2) return Fail("%s(%d): Missing Host in \"Replica <Host[:Port]>\" line\n", s.path, s.line);
  for (int i = 1; i < count; ++i) {
    char* url = zovurezStrdup(t[i]);
    if (url == nullptr) return Fail("%s(%d): Out of memory\n", s.path, s.line);
    charray_add(&s.be->replicaURLs, url);
    int protocol = -1;
    switch (checkUrl(url, &protocol)) {
      case 0:
        break;
      case 1:
        return Fail("%s(%d): Missing Host in \"Replica <Host[:Port]>\" line\n", s.path, s.line);
      case 2:
        return Fail("%s(%d): Invalid Protocol in \"Replica <Host[:Port]>\" line\n", s.path, s.line);
      default:
        return Fail("%s(%d): Invalid Port Number in \"Replica <Host[:Port]>\" line\n", s.path, s.line);
    }
    ++s.be->replicaURLCount;
    if (!isURLanIPAddress(url)) {
      char* address = nullptr;
      int rc = GetClientIPFromURL(url, &address);
      if (rc < 0) return Fail("Fatal error looking up ip address of a replica hostname.");
      if (rc == 0 && address != nullptr) {
        charray_add(&s.be->replicaAddresses, address);
        ++s.be->replicaAddressCount;
      } else {
        LogError(kLogWarning, "Hostname lookup failed.  Replica loop detection may not function correctly.");
      }
    }
  }
  return true;
}

bool SigIDGroups(PassState& s, const Keyword& k, int count, char** t) {
  bool must = Is(k.name, "MustSigID");
  KeyIDNode** groups = must ? g->MustSigID : g->AllowSigID;
  int* used = must ? &s.mustGroups : &s.allowGroups;
  if (*used >= kMaxSigIDGroups)
    return Fail("%s(%d): Total number of KeyIDs exceeds limit with \"%s <KeyIDs> ...\" line\n", s.path, s.line, k.name);
  KeyIDNode** group = &groups[(*used)++];
  for (int i = 1; i < count; ++i) {
    if (CheckKeyID(t[i], s.path, s.line) != 0) return ValueFail(s, k, t[i]);
    if (!PushKeyID(group, t[i])) return Fail("%s(%d): Out of memory\n", s.path, s.line);
  }
  return true;
}

bool Allow(PassState& s, const Keyword&, int count, char** t) {
  if (Is(t[1], "ip") || Is(t[1], "host")) {
    if (s.allowTail == nullptr) s.allowTail = &g->accessRules;
    while (*s.allowTail != nullptr) s.allowTail = &(*s.allowTail)->next;
    // The rule is appended at the slot given, the list's end.
    if (AddAccessAllow(s.allowTail, s.path, s.line, count, t) != 0) return Fail("Internal error in allow.");
    return true;
  }
  if (!Is(t[1], "keyid"))
    return Fail("%s(%d): Allow Type of '%s' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n", s.path, s.line,
                t[1]);
  const char* level = t[3];
  const char* keyID = t[2];
  bool add = false, del = false, admin = false;
  if (Is(level, "add")) {
    add = true;
  } else if (Is(level, "delete")) {
    if (Is(keyID, "self")) {
      g->deleteSelf = 1;
      return true;
    }
    add = del = true;
  } else if (Is(level, "admin") || Is(level, "groupupdate")) {
    if (Is(level, "groupupdate"))
      LogError(kLogWarning, "\"GroupUpdate\" is depricated and has been mapped to \"Admin\".");
    add = del = admin = true;
  } else if (Is(level, "command")) {
    LogError(kLogInfo, "\"Command\" is deprecated.");
    return true;
  } else {
    return Fail(
        "%s(%d): Allow Access Level of '%s' is invalid.\n  Valid Levels: 'add', 'GroupUpdate', 'delete', "
        "'command'.\n",
        s.path, s.line, level);
  }
  if (CheckKeyID(keyID, s.path, s.line) != 0)
    return Fail("%s(%d): Invalid KeyID (%s) found in Allow\n", s.path, s.line, keyID);
  if ((add && !PushKeyID(&g->addKeyIDs, keyID)) || (del && !PushKeyID(&g->deleteKeyIDs, keyID)) ||
      (admin && !PushKeyID(&g->adminKeyIDs, keyID)))
    return Fail("%s(%d): Out of memory\n", s.path, s.line);
  return true;
}

bool AccessLogDetails(PassState& s, const Keyword& k, int count, char** t) {
  static constexpr Choice kTypes[] = {{"bind", 2},    {"unbind", 4},  {"abandon", 8},  {"add", 16},
                                      {"modify", 32}, {"search", 64}, {"delete", 128}, {"ldap", 0x100}};
  int32_t mask = 0;
  for (int i = 1; i < count; ++i) {
    if (Is(t[i], "none")) {
      mask = 0;
      break;
    }
    if (Is(t[i], "all")) {
      mask = -1;
      break;
    }
    bool found = false;
    for (const Choice& type : kTypes) {
      if (Is(t[i], type.name)) {
        mask |= type.value;
        found = true;
      }
    }
    if (!found) return ValueFail(s, k, t[i]);
  }
  g->AccessLogDetails = mask;
  return true;
}

bool DefaultAccess(PassState& s, const Keyword& k, int, char** t) {
  int level = str2access(t[1]);
  if (level == -1) return ValueFail(s, k, t[1]);
  g->DefaultAccess = level;
  return true;
}

bool LookupHostname(PassState& s, const Keyword& k, int, char** t) {
  int yn = YesNo(t[1]);
  int onoff = ParseBool(t[1]);
  if (yn < 0 && onoff < 0) return ValueFail(s, k, t[1]);
  if (onoff >= 0)
    LogError(kLogInfo, onoff ? "LookupHostname: 'on' is deprecated. Please use 'yes' and 'no'."
                             : "LookupHostname: 'off' is deprecated. Please use 'yes' and 'no'.");
  g->LookupHostname = static_cast<uint8_t>(yn >= 0 ? yn : onoff);
  return true;
}

bool Retired(PassState&, const Keyword& k, int, char**) {
  LogError(kLogInfo, "%s no longer supported.", k.name);
  return true;
}

constexpr Choice kSecureModes[] = {
    {"required", kSecureRequired}, {"optional", kSecureOptional}, {"disabled", kSecureDisabled}};
constexpr Choice kDays[] = {{"never", 8},   {"daily", 7}, {"sunday", 0},    {"sun", 0},  {"monday", 1},   {"mon", 1},
                            {"tuesday", 2}, {"tues", 2},  {"wednesday", 3}, {"weds", 3}, {"thursday", 4}, {"thurs", 4},
                            {"friday", 5},  {"fri", 5},   {"saturday", 6},  {"sat", 6}};
constexpr Choice kLogLevels[] = {{"error", 8}, {"warning", 4}, {"info", 2}, {"verbose", 1}};
constexpr Choice kPolicyFailures[] = {{"pending", 1}, {"error", 0}};
constexpr Choice kIndexMethods[] = {{"substring", 1}, {"word", 2}};
constexpr Choice kAccessLogFormats[] = {{"version1", 0}, {"standard", 1}};

constexpr int32_t kInt32Max = INT32_MAX;
// TimeLimit in seconds: a time that every use of it holds without overflow
// (the connection's wait, twice the limit in milliseconds, stays an int).
constexpr int32_t kMaxTimeLimit = 1000000;

// Every keyword of the file, in the order the passes read them. Pass 3's
// keywords go to the backend's configuration entry point.
const Keyword kKeywords[] = {
    // Pass 1.
    {.name = "AccessLogFile",
     .pass = 1,
     .minTokens = 2,
     .maxTokens = 3,
     .countMessage = "%s(%d): Missing Filename in \"AccessLogFile <Filename> ...\" line.\n",
     .parse = AccessLogFile},
    {.name = "Port",
     .pass = 1,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing port number in \"Port <Number>\" line\n",
     .parse = PortLine,
     .valueMessage = "%s(%d): Port number of '%s' is invalid.\n  Valid Port values: 1 - 65534.\n",
     .intField = &ServerState::Port},
    {.name = "SecurePort",
     .pass = 1,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing port number in \"SecurePort <Number>\" line\n",
     .parse = PortLine,
     .valueMessage = "%s(%d): Port number of '%s' is invalid.\n  Valid SecurePort values: 1 - 65534.\n",
     .intField = &ServerState::SecurePort},
    {.name = "SecureMode",
     .pass = 1,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Mode in \"SecureMode <Mode>\" line\n",
     .parse = SecureMode,
     .valueMessage = "%s(%d): SecureMode of '%s' is invalid.\n  Valid SecureModes: 'Required', 'Optional', "
                     "'Disabled'.\n",
     .choices = kSecureModes,
     .choiceCount = std::size(kSecureModes)},
    // Pass 2.
    {.name = "SizeLimit",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Limit in \"SizeLimit <Limit>\" line\n",
     .parse = Number,
     .valueMessage = "%s(%d): Invalid Limit in \"SizeLimit <Limit>\" line\n",
     .max = kInt32Max,
     .intField = &ServerState::SizeLimit},
    {.name = "TimeLimit",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Limit in \"TimeLimit <Limit>\" line\n",
     .parse = Number,
     .valueMessage = "%s(%d): Invalid Limit in \"TimeLimit <Limit>\" line\n",
     .max = kMaxTimeLimit,
     .intField = &ServerState::TimeLimit},
    {.name = "CycleLogDay",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Day in \"CycleLogDay <Day>\" line\n",
     .parse = ChoiceValue,
     .valueMessage = "%s(%d): CycleLogDay of '%s' is invalid.\n  Valid values: Sun, Mon, Tues, Weds, Thurs, Fri, "
                     "Sat, Daily, Never.\n",
     .choices = kDays,
     .choiceCount = std::size(kDays),
     .intField = &ServerState::CycleLogDay},
    {.name = "CycleLogTime",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Time in \"CycleLogTime <Time>\" line\n",
     .parse = CycleLogTime,
     .valueMessage = "%s(%d): Time of '%s' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour "
                     "time.\n"},
    {.name = "CycleLogKeep",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n",
     .parse = Number,
     .valueMessage = "%s(%d): History of '%s' is invalid.\n  Valid values: 0 - %d where 0 means do not keep any "
                     "log file copies.\n",
     .max = 99,
     .intField = &ServerState::CycleLogKeep},
    {.name = "PublicKeyRing",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Filename in \"PublicKeyRing <Filename>\" line\n",
     .parse = PathValue,
     .textField = &ServerState::PublicKeyRing},
    {.name = "PrivateKeyRing",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Filename in \"PrivateKeyRing <Filename>\" line\n",
     .parse = PathValue,
     .textField = &ServerState::PrivateKeyRing},
    {.name = "RandSeedFile",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Filename in \"RandSeedFile <Filename>\" line\n",
     .parse = PathValue,
     .textField = &ServerState::RandSeedFile},
    {.name = "RepLogFile",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Filename in \"RepLogFile <Filename>\" line\n",
     .parse = PathValue,
     .textField = &ServerState::RepLogFile},
    {.name = "ServerSecureKeyID",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Key ID in \"ServerSecureKeyID <KeyID>\" line\n",
     .parse = ServerSecureKeyID,
     .valueMessage = "%s(%d): Invalid KeyID (%s) found in ServerSecureKeyID\n"},
    {.name = "ReplicationSecureKeyID",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Key ID in \"ReplicationSecureKeyID <KeyID>\" line\n",
     .parse = CheckedKeyID,
     .valueMessage = "%s(%d): Invalid KeyID (%s) found in ReplicationSecureKeyID\n"},
    {.name = "ReadOnly",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Yes|No in \"ReadOnly <Yes|No>\" line\n",
     .parse = ReadOnly,
     .valueMessage = "%s(%d): Invalid permission in \"ReadOnly <Yes|No>\" line\n"},
    {.name = "LogLevel",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Level in \"LogLevel <Level>\" line\n",
     .parse = LogLevel,
     .valueMessage = "%s(%d): LogLevel of '%s' is invalid.\n  Valid LogLevels: 'error', 'warning', 'info', "
                     "'verbose'.\n",
     .choices = kLogLevels,
     .choiceCount = std::size(kLogLevels),
     .intField = &ServerState::LogLevel},
    {.name = "Replica", .pass = 2, .parse = Replica},
    {.name = "TrimUsers",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Yes|No in \"TrimUsers <Yes|No>\" line\n",
     .parse = YesNoValue,
     .valueMessage = "%s(%d): Invalid value (%s) found on \"TrimUsers <Yes|No>\" line\n",
     .intField = &ServerState::TrimUsers},
    {.name = "TrimSigs",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Yes|No in \"TrimSigs <Yes|No>\" line\n",
     .parse = YesNoValue,
     .valueMessage = "%s(%d): Invalid value (%s) found on \"TrimSigs <Yes|No>\" line\n",
     .intField = &ServerState::TrimSigs},
    {.name = "TrimPhotoIDs",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Yes|No in \"TrimPhotoIDs <Yes|No>\" line\n",
     .parse = YesNoValue,
     .valueMessage = "%s(%d): Invalid value (%s) found on \"TrimPhotoIDs <Yes|No>\" line\n",
     .intField = &ServerState::TrimPhotoIDs},
    {.name = "MustSigID",
     .pass = 2,
     .minTokens = 2,
     .countMessage = "%s(%d): Missing KeyIDs in \"MustSigID <KeyIDs> ...\" line\n",
     .parse = SigIDGroups,
     .valueMessage = "%s(%d): Invalid KeyID (%s) found in MustSigID\n"},
    {.name = "AllowSigID",
     .pass = 2,
     .minTokens = 2,
     .countMessage = "%s(%d): Missing KeyIDs in \"AllowSigID <KeyIDs> ...\" line\n",
     .parse = SigIDGroups,
     .valueMessage = "%s(%d): Invalid KeyID (%s) found in AllowSigID\n"},
    {.name = "Allow",
     .pass = 2,
     .minTokens = 4,
     .maxTokens = 4,
     .countMessage = "%s(%d): Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n",
     .parse = Allow},
    {.name = "MustSignAdds",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Yes|No in \"MustSignAdds <Yes|No>\" line.\n",
     .parse = YesNoValue,
     .valueMessage = "%s(%d): Invalid value (%s) found on \"MustSignAdds <Yes|No>\" line.\n",
     .intField = &ServerState::MustSignAdds},
    {.name = "AccessLogDetails",
     .pass = 2,
     .minTokens = 2,
     .countMessage = "%s(%d): Missing Type in \"AccessLogDetails <type> ...\" line.\n",
     .parse = AccessLogDetails,
     .valueMessage = "%s(%d): Invalid value (%s) found on \"AccessLogDetails <type> ...\" line.\n"},
    {.name = "PolicyFailures",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Pending|Error in \"PolicyFailures <Pending|Error>\" line.\n",
     .parse = ChoiceValue,
     .valueMessage = "%s(%d): Invalid value (%s) found on \"PolicyFailures <Pending|Error>\" line.\n",
     .choices = kPolicyFailures,
     .choiceCount = std::size(kPolicyFailures),
     .intField = &ServerState::PolicyFailures},
    {.name = "IndexMethod",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Invalid number of parameters for IndexMethod.\n",
     .parse = ChoiceValue,
     .valueMessage = "%s(%d): IndexMethod must be'Word' or 'Substring'.\n",
     .choices = kIndexMethods,
     .choiceCount = std::size(kIndexMethods),
     .intField = &ServerState::IndexMethod},
    {.name = "DefaultAccess",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Access in \"DefaultAccess <Access>\" line.\n",
     .parse = DefaultAccess,
     .valueMessage = "%s(%d): Default Access level of '%s' is invalid.\n  Valid levels: 'none', 'compare', "
                     "'search', 'read', 'add', 'delete', 'all'.\n"},
    {.name = "IdleSyncTimeout",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Seconds in \"IdleSyncTimeout <Seconds>\" line\n",
     .parse = Number,
     .valueMessage = "%s(%d): Invalid Seconds in \"IdleSyncTimeout <Seconds>\" line\n",
     .max = kInt32Max,
     .intField = &ServerState::IdleSyncTimeout},
    {.name = "AccessLogFormat",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Invalid number of parameters for AccessLogFormat.\n",
     .parse = ChoiceValue,
     .valueMessage = "%s(%d): Invalid access log format type.\n",
     .choices = kAccessLogFormats,
     .choiceCount = std::size(kAccessLogFormats),
     .intField = &ServerState::AccessLogFormat},
    {.name = "LookupHostname",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Invalid value specified for LookupHostname.\n",
     .parse = LookupHostname,
     .valueMessage = "%s(%d): Invalid value specified for LookupHostname.\n"},
    {.name = "AdminPassword",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Filename in \"AdminPassword {SSHA}<password>\" line\n",
     .parse = TextValue,
     .textField = &ServerState::AdminPassword},
    {.name = "AdminUsername",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Username in \"AdminUsername <Username>\" line\n",
     .parse = TextValue,
     .textField = &ServerState::AdminUsername},
    {.name = "TempPath",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Missing Filename in \"TempPath <Filename>\" line\n"},
    {.name = "AcceptReconstructionData",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Invalid number of parameters for AcceptReconstructionData.\n",
     .parse = YesNoValue,
     .valueMessage = "%s(%d): AcceptReconstructionData must be'yes' or 'no'.\n",
     .byteField = &ServerState::AcceptReconstructionData},
    {.name = "ForceSyncOnWrite",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Invalid number of parameters for ForceSyncOnWrite.\n",
     .parse = YesNoValue,
     .valueMessage = "%s(%d): ForceSyncOnWrite must be'yes' or 'no'.\n",
     .byteField = &ServerState::ForceSyncOnWrite},
    {.name = "User",
     .pass = 2,
     .minTokens = 2,
     .maxTokens = 2,
     .countMessage = "%s(%d): Invalid number of parameters for 'User'.\n",
     .parse = TextValue,
     .textField = &ServerState::User},
    {.name = "CommandPort", .pass = 2, .parse = Retired},
    {.name = "RepdCommandPort", .pass = 2, .parse = Retired},
    {.name = "CommandTimeout", .pass = 2, .parse = Retired},
    {.name = "RepdCommandTimeout", .pass = 2, .parse = Retired},
    // Pass 3: the backend's.
    {.name = "Directory", .pass = 3},
    {.name = "Mode", .pass = 3},
    {.name = "Index", .pass = 3},
    {.name = "CacheEntries", .pass = 3},
    {.name = "dbCacheSize", .pass = 3},
    {.name = "dbCacheSplit", .pass = 3},
};

const Keyword* FindKeyword(const char* name) {
  for (const Keyword& k : kKeywords)
    if (Is(name, k.name)) return &k;
  return nullptr;
}

// Checks the token count against the table, then parses the values.
bool ReadKeyword(PassState& s, const Keyword& k, int count, char** t) {
  if (k.countMessage != nullptr && (count < k.minTokens || (k.maxTokens != 0 && count > k.maxTokens)))
    return Fail(k.countMessage, s.path, s.line);
  return k.parse == nullptr || k.parse(s, k, count, t);
}

}  // namespace

int ReadConfigFirst(const char* path, int portOverride, int securePortOverride) {
  ConfigFile file(path);
  if (!file.ok()) return 1;
  PassState s{.path = path, .be = nullptr};
  char* tokens[kMaxConfigTokens + 1];
  int count = 0;
  while (file.Next(&count, tokens)) {
    if (count == 0) continue;
    const Keyword* k = FindKeyword(tokens[0]);
    if (k == nullptr || k->pass != 1) continue;
    s.line = file.line();
    if (!ReadKeyword(s, *k, count, tokens)) return 1;
  }
  if (file.failed()) return 1;
  int lastLine = file.line();
  // The command line wins over a -1 in the file.
  int po = portOverride != kNoPortOverride ? portOverride : s.filePortOverride;
  int spo = securePortOverride != kNoPortOverride ? securePortOverride : s.fileSecurePortOverride;
  if (po != kNoPortOverride) g->Port = po <= 0 ? 0 : po;
  if (spo != kNoPortOverride) {
    g->SecurePort = spo <= 0 ? 0 : spo;
    if (g->SecurePort == 0) g->SecureMode = kSecureDisabled;
  }
  if (g->Port == 0 && (g->SecurePort == 0 || g->SecureMode == kSecureDisabled)) {
    LogError(kLogError, "%s(%d): You must enable either the regular port or the secure port.\n", path, lastLine);
    return 1;
  }
  if (g->Port != 0 && g->Port == g->SecurePort && g->SecureMode != kSecureDisabled) {
    LogError(kLogError, "The regular port and the secure port cannot be the same value.");
    return 1;
  }
  int port = g->Port != 0 ? g->Port : g->SecurePort;
  if (GetNamedPipeName("/tmp/qoxkeysrv/", "QOXkeyserver-", port, &g->controlFifoName) != kQOXErrNoErr) {
    LogError(kLogError, "Creating named pipe name failed.\n");
    return 1;
  }
  std::string name;
  const char* slash = g->AccessLogFile != nullptr ? strrchr(g->AccessLogFile, '/') : nullptr;
  if (slash != nullptr) {
    name = std::string(g->AccessLogFile, static_cast<size_t>(slash - g->AccessLogFile)) + "/" + "vuziz" + "." +
           std::to_string(port) + ".errorlog";
  } else {
    name = std::string("vuziz") + "." + std::to_string(port) + ".errorlog";
  }
  zovurezFree(g->eventLogFile);
  g->eventLogFile = nullptr;
  AdjustPath(g_pszCurrentDirectory, name.c_str(), &g->eventLogFile);
  if (g->eventLogFile == nullptr) {
    LogError(kLogError, "%s(%d): Out of memory\n", path, lastLine);
    return 1;
  }
  return 0;
}

namespace {

// The checks at the end of pass 2.
bool FinishSecondPass(const PassState& s) {
  for (int i = 0; i < s.mustGroups; ++i)
    for (KeyIDNode* n = g->MustSigID[i]; n != nullptr; n = n->next)
      vuzizTrace(kTraceConfig, "Must Sig ID: %s\n", n->keyID);
  for (int i = 0; i < s.allowGroups; ++i)
    for (KeyIDNode* n = g->AllowSigID[i]; n != nullptr; n = n->next)
      vuzizTrace(kTraceConfig, "Allow Sig ID: %s\n", n->keyID);
  if (g->TrimSigs && s.mustGroups == 0 && s.allowGroups == 0)
    return Fail("%s: TrimSigs was enabled but no AllowSigID or MustSigID Key IDs were specified.\n", s.path);
  bool replica = s.be != nullptr && s.be->replicaURLCount > 0;
  if ((g->RepLogFile != nullptr) != replica)
    return Fail("%s: To perform replication, both RepLogFile and Replica must be specified.\n", s.path);
  if (!g->LookupHostname) {
    for (AccessAllow* r = g->accessRules; r != nullptr; r = r->next) {
      if (r->type == kAllowSubjectHost) {
        LogError(kLogWarning, "Host access control found. Turning on DNS lookups (Overriding current setting).");
        g->LookupHostname = 1;
        break;
      }
    }
  }
  if (g->SecureMode == kSecureRequired && !s.sawServerKeyID)
    return Fail("Securemode is set to required, but there is no secure server key id defined.");
  if (g->AdminUsername != nullptr && g->AdminPassword == nullptr)
    LogError(kLogWarning, "AdminUsername is configured, but there is no AdminPassword.");
  else if (g->AdminPassword != nullptr && g->AdminUsername == nullptr)
    LogError(kLogWarning, "AdminPassword is configured, but there is no AdminUsername.");
  return true;
}

}  // namespace

int ReadConfig(const char* path, Backend* be) {
  vuzizTrace(kTraceConfig, "reading config file %s\n", path);
  int rc = 1;
  {
    ConfigFile file(path);
    if (file.ok()) {
      PassState s{.path = path, .be = be};
      char* tokens[kMaxConfigTokens + 1];
      int count = 0;
      bool ok = true;
      while (ok && file.Next(&count, tokens)) {
        vuzizTrace(kTraceConfig, "line %d (%s)\n", file.line(), file.raw().c_str());
        if (count == 0) {
          vuzizTrace(kTraceStartStop, "%s(%d): bad config line (ignored)\n", path, file.line());
          continue;
        }
        const Keyword* k = FindKeyword(tokens[0]);
        if (k == nullptr) {
          ok = Fail("%s(%d) Unknown config directive (%s).", path, file.line(), tokens[0]);
        } else if (k->pass == 2) {
          s.line = file.line();
          ok = ReadKeyword(s, *k, count, tokens);
        }
      }
      if (ok && file.failed()) ok = false;
      if (ok) ok = FinishSecondPass(s);
      rc = ok ? 0 : 1;
    }
  }
  vuzizTrace(kTraceEntryExit, "<= ReadConfig, rc=%d\n", rc);
  return rc;
}

int ReadConfigLast(const char* path, Backend* be) {
  be_ResetCacheSplitInfo();
  ConfigFile file(path);
  if (!file.ok()) return 1;
  char* tokens[kMaxConfigTokens + 1];
  int count = 0;
  bool sawDirectory = false;
  while (file.Next(&count, tokens)) {
    if (count == 0) continue;
    const char* kw = tokens[0];
    const Keyword* k = FindKeyword(kw);
    if (k != nullptr && k->pass == 3) {
      if (Is(kw, "directory")) sawDirectory = true;
      if (be != nullptr && be->ops.config != nullptr && be->ops.config(be, path, file.line(), count, tokens) != 0) {
        LogError(kLogError, "In backend config (%s:%i).", path, file.line());
        return 1;
      }
    } else if (Is(kw, "readonly") && count >= 2 && be != nullptr) {
      if (Is(tokens[1], "yes") || Is(tokens[1], "on"))
        be->readOnly = 1;
      else if (Is(tokens[1], "no") || Is(tokens[1], "off"))
        be->readOnly = 0;
    }
  }
  if (file.failed()) return 1;
  if (!sawDirectory && be != nullptr && be->ops.config != nullptr) {
    char directory[] = "directory";
    char data[] = "../data";
    char* manual[] = {directory, data, nullptr};
    if (be->ops.config(be, "Manual Config", -1, 2, manual) != 0) {
      LogError(kLogError, "In backend config (%s:%i).", "Manual Config", -1);
      return 1;
    }
  }
  switch (be_CheckCacheSplitInfo()) {
    case 0:
      return 0;
    case 1:
      LogError(kLogError, "Not all database files were given a percent of the cache.");
      return 1;
    case 2:
      LogError(kLogError, "The total dbCacheSplit percent is not equal to 100.");
      return 1;
    default:
      LogError(kLogError, "Unknown error checking dbCacheSplit.");
      return 1;
  }
}

// The three configuration passes.
#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

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
  explicit ConfigFile(const char* path) : path_(path) {
    file_ = fopen(path, "r");
    if (file_ == nullptr) {
      LogError(kLogError, "Could not open configuration file (%s): %s\n", path, strerror(errno));
    } else {
      fp_getline_init(&line_);
    }
  }
  ~ConfigFile() {
    if (file_ != nullptr) {
      fclose(file_);
      fp_getline_destroy();
    }
  }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  bool ok() const { return file_ != nullptr; }
  int line() const { return line_; }
  // The next line with tokens (comments and empty lines skipped); false at
  // the end.
  bool Next(int* count, char** tokens) {
    for (;;) {
      char* text = fp_getline(file_, &line_);
      if (text == nullptr) return false;
      if (line_ == 0 || text[0] == '\0' || text[0] == '#') continue;
      raw_ = text;
      fp_parse_line(text, count, tokens, line_, path_);
      return true;
    }
  }
  const std::string& raw() const { return raw_; }

 private:
  const char* path_;
  FILE* file_ = nullptr;
  int line_ = 0;
  std::string raw_;
};

// A value of digits only, clamped to the 32-bit range.
bool Digits(const char* text, int32_t* out) {
  if (!allDigits(text)) return false;
  errno = 0;
  long long v = strtoll(text, nullptr, 10);
  if (errno != 0 || v > INT32_MAX) v = INT32_MAX;
  *out = static_cast<int32_t>(v);
  return true;
}

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

// Port lines of pass 1: -1 or 1-65534.
bool PortValue(const char* text, int* out) {
  int v;
  if (!vuzizParsePort(text, &v) || v == 0) return false;
  *out = v;
  return true;
}

}  // namespace

int ReadConfigFirst(const char* path, int portOverride, int securePortOverride) {
  ConfigFile file(path);
  if (!file.ok()) return 1;
  char* tokens[kMaxConfigTokens + 1];
  int count = 0;
  int filePortOverride = kNoPortOverride;
  int fileSecurePortOverride = kNoPortOverride;
  while (file.Next(&count, tokens)) {
    if (count == 0) continue;
    const char* kw = tokens[0];
    int line = file.line();
    if (Is(kw, "AccessLogFile")) {
      if (count != 2 && count != 3) {
        LogError(kLogError, "%s(%d): Missing Filename in \"AccessLogFile <Filename> ...\" line.\n", path, line);
        return 1;
      }
      if (!SetPath(&g->AccessLogFile, tokens[1], path, line)) return 1;
      if (count == 3) {
        long mode = strtol(tokens[2], nullptr, 0);
        if (mode != 0) g->accessLogMode = static_cast<int32_t>(mode);
      }
    } else if (Is(kw, "Port")) {
      int v;
      if (count != 2) {
        LogError(kLogError, "%s(%d): Missing port number in \"Port <Number>\" line\n", path, line);
        return 1;
      }
      if (!PortValue(tokens[1], &v)) {
        LogError(kLogError, "%s(%d): Port number of '%s' is invalid.\n  Valid Port values: 1 - 65534.\n", path,
                 line, tokens[1]);
        return 1;
      }
      if (v == -1)
        filePortOverride = -1;
      else
        g->Port = v;
    } else if (Is(kw, "SecurePort")) {
      int v;
      if (count != 2) {
        LogError(kLogError, "%s(%d): Missing port number in \"SecurePort <Number>\" line\n", path, line);
        return 1;
      }
      if (!PortValue(tokens[1], &v)) {
        LogError(kLogError,
                 "%s(%d): Port number of '%s' is invalid.\n  Valid SecurePort values: 1 - 65534.\n", path,
                 line, tokens[1]);
        return 1;
      }
      if (v == -1)
        fileSecurePortOverride = -1;
      else
        g->SecurePort = v;
    } else if (Is(kw, "SecureMode")) {
      if (count != 2) {
        LogError(kLogError, "%s(%d): Missing Mode in \"SecureMode <Mode>\" line\n", path, line);
        return 1;
      }
      int mode;
      if (Is(tokens[1], "required"))
        mode = kSecureRequired;
      else if (Is(tokens[1], "optional"))
        mode = kSecureOptional;
      else if (Is(tokens[1], "disabled"))
        mode = kSecureDisabled;
      else {
        LogError(kLogError,
                 "%s(%d): SecureMode of '%s' is invalid.\n  Valid SecureModes: 'Required', 'Optional', "
                 "'Disabled'.\n",
                 path, line, tokens[1]);
        return 1;
      }
      g->SecureMode = gHUPSecureMode == kSecureDisabled ? kSecureDisabled : mode;
    }
  }
  int lastLine = file.line();
  // The command line wins over a -1 in the file.
  int po = portOverride != kNoPortOverride ? portOverride : filePortOverride;
  int spo = securePortOverride != kNoPortOverride ? securePortOverride : fileSecurePortOverride;
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
    name = std::string(g->AccessLogFile, static_cast<size_t>(slash - g->AccessLogFile)) + "/" + "vuziz" +
           "." + std::to_string(port) + ".errorlog";
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

// One keyword of pass 2. Returns false after logging the error that ends
// the pass.
class SecondPass {
 public:
  SecondPass(const char* path, Backend* be) : path_(path), be_(be) {}

  bool Line(int count, char** t, int line);
  bool Finish();

 private:
  bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool OneValue(int count, const char* missing, int line);
  bool YesNoField(int count, char** t, int line, const char* keyword, int32_t* field);
  bool SigIDGroups(int count, char** t, int line, const char* keyword, KeyIDNode** groups, int* used);
  bool Allow(int count, char** t, int line);
  bool Replica(int count, char** t, int line);

  const char* path_;
  Backend* be_;
  int mustGroups_ = 0;
  int allowGroups_ = 0;
  bool sawServerKeyID_ = false;
};

bool SecondPass::Fail(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char text[2048];
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  LogError(kLogError, "%s", text);
  return false;
}

bool SecondPass::OneValue(int count, const char* missing, int line) {
  if (count == 2) return true;
  return Fail(missing, path_, line);
}

bool SecondPass::YesNoField(int count, char** t, int line, const char* keyword, int32_t* field) {
  if (count != 2)
    return Fail("%s(%d): Missing Yes|No in \"%s <Yes|No>\" line\n", path_, line, keyword);
  int v = YesNo(t[1]);
  if (v < 0)
    return Fail("%s(%d): Invalid value (%s) found on \"%s <Yes|No>\" line\n", path_, line, t[1], keyword);
  *field = v;
  return true;
}

bool SecondPass::SigIDGroups(int count, char** t, int line, const char* keyword, KeyIDNode** groups,
                             int* used) {
  if (count < 2) return Fail("%s(%d): Missing KeyIDs in \"%s <KeyIDs> ...\" line\n", path_, line, keyword);
  if (*used >= kMaxSigIDGroups)
    return Fail("%s(%d): Total number of KeyIDs exceeds limit with \"%s <KeyIDs> ...\" line\n", path_, line,
                keyword);
  KeyIDNode** group = &groups[(*used)++];
  for (int i = 1; i < count; ++i) {
    if (CheckKeyID(t[i], path_, line) != 0)
      return Fail("%s(%d): Invalid KeyID (%s) found in %s\n", path_, line, t[i], keyword);
    if (!PushKeyID(group, t[i])) return Fail("%s(%d): Out of memory\n", path_, line);
  }
  return true;
}

bool SecondPass::Allow(int count, char** t, int line) {
  if (count != 4)
    return Fail("%s(%d): Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n", path_, line);
  if (Is(t[1], "ip") || Is(t[1], "host")) {
    if (AddAccessAllow(&g->accessRules, path_, line, count, t) != 0) return Fail("Internal error in allow.");
    return true;
  }
  if (!Is(t[1], "keyid"))
    return Fail("%s(%d): Allow Type of '%s' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n", path_, line,
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
        path_, line, level);
  }
  if (CheckKeyID(keyID, path_, line) != 0)
    return Fail("%s(%d): Invalid KeyID (%s) found in Allow\n", path_, line, keyID);
  if ((add && !PushKeyID(&g->addKeyIDs, keyID)) || (del && !PushKeyID(&g->deleteKeyIDs, keyID)) ||
      (admin && !PushKeyID(&g->adminKeyIDs, keyID)))
    return Fail("%s(%d): Out of memory\n", path_, line);
  return true;
}

bool SecondPass::Replica(int count, char** t, int line) {
  if (count < 2) return Fail("%s(%d): Missing Host in \"Replica <Host[:Port]>\" line\n", path_, line);
  for (int i = 1; i < count; ++i) {
    char* url = zovurezStrdup(t[i]);
    if (url == nullptr) return Fail("%s(%d): Out of memory\n", path_, line);
    charray_add(&be_->replicaURLs, url);
    int protocol = -1;
    switch (checkUrl(url, &protocol)) {
      case 0:
        break;
      case 1:
        return Fail("%s(%d): Missing Host in \"Replica <Host[:Port]>\" line\n", path_, line);
      case 2:
        return Fail("%s(%d): Invalid Protocol in \"Replica <Host[:Port]>\" line\n", path_, line);
      default:
        return Fail("%s(%d): Invalid Port Number in \"Replica <Host[:Port]>\" line\n", path_, line);
    }
    ++be_->replicaURLCount;
    if (!isURLanIPAddress(url)) {
      char* address = nullptr;
      int rc = GetClientIPFromURL(url, &address);
      if (rc < 0) return Fail("Fatal error looking up ip address of a replica hostname.");
      if (rc == 0 && address != nullptr) {
        charray_add(&be_->replicaAddresses, address);
        ++be_->replicaAddressCount;
      } else {
        LogError(kLogWarning, "Hostname lookup failed.  Replica loop detection may not function correctly.");
      }
    }
  }
  return true;
}

bool SecondPass::Line(int count, char** t, int line) {
  const char* kw = t[0];
  int32_t v = 0;
  if (Is(kw, "Port") || Is(kw, "SecurePort") || Is(kw, "SecureMode") || Is(kw, "AccessLogFile") ||
      Is(kw, "Directory") || Is(kw, "Mode") || Is(kw, "Index") || Is(kw, "CacheEntries") ||
      Is(kw, "dbCacheSize") || Is(kw, "dbCacheSplit")) {
    return true;
  }
  if (Is(kw, "SizeLimit") || Is(kw, "TimeLimit")) {
    const char* name = Is(kw, "SizeLimit") ? "SizeLimit" : "TimeLimit";
    if (count != 2) return Fail("%s(%d): Missing Limit in \"%s <Limit>\" line\n", path_, line, name);
    if (!Digits(t[1], &v)) return Fail("%s(%d): Invalid Limit in \"%s <Limit>\" line\n", path_, line, name);
    (Is(kw, "SizeLimit") ? g->SizeLimit : g->TimeLimit) = v;
    return true;
  }
  if (Is(kw, "CycleLogDay")) {
    if (!OneValue(count, "%s(%d): Missing Day in \"CycleLogDay <Day>\" line\n", line)) return false;
    static constexpr struct {
      const char* name;
      int day;
    } kDays[] = {{"never", 8},   {"daily", 7},   {"sunday", 0},    {"sun", 0},      {"monday", 1},
                 {"mon", 1},     {"tuesday", 2}, {"tues", 2},      {"wednesday", 3}, {"weds", 3},
                 {"thursday", 4}, {"thurs", 4},  {"friday", 5},    {"fri", 5},      {"saturday", 6},
                 {"sat", 6}};
    for (const auto& d : kDays) {
      if (Is(t[1], d.name)) {
        g->CycleLogDay = d.day;
        return true;
      }
    }
    return Fail(
        "%s(%d): CycleLogDay of '%s' is invalid.\n  Valid values: Sun, Mon, Tues, Weds, Thurs, Fri, Sat, Daily, "
        "Never.\n",
        path_, line, t[1]);
  }
  if (Is(kw, "CycleLogTime")) {
    if (!OneValue(count, "%s(%d): Missing Time in \"CycleLogTime <Time>\" line\n", line)) return false;
    const char* s = t[1];
    const char* colon = strchr(s, ':');
    bool ok = strlen(s) <= 5 && colon != nullptr && colon > s;
    int hour = 0, minute = 0;
    if (ok) {
      std::string h(s, static_cast<size_t>(colon - s));
      std::string m(colon + 1);
      ok = allDigits(h.c_str()) && m.size() == 2 && allDigits(m.c_str());
      if (ok) {
        hour = atoi(h.c_str());
        minute = atoi(m.c_str());
        ok = hour >= 1 && hour <= 23 && minute <= 59;
      }
    }
    if (!ok)
      return Fail(
          "%s(%d): Time of '%s' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n",
          path_, line, s);
    g->CycleLogTime = hour * 60 + minute;
    return true;
  }
  if (Is(kw, "CycleLogKeep")) {
    if (!OneValue(count, "%s(%d): Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n", line))
      return false;
    if (!Digits(t[1], &v) || v > 99)
      return Fail(
          "%s(%d): History of '%s' is invalid.\n  Valid values: 0 - %d where 0 means do not keep any log file "
          "copies.\n",
          path_, line, t[1], 99);
    g->CycleLogKeep = v;
    return true;
  }
  if (Is(kw, "PublicKeyRing")) {
    return OneValue(count, "%s(%d): Missing Filename in \"PublicKeyRing <Filename>\" line\n", line) &&
           SetPath(&g->PublicKeyRing, t[1], path_, line);
  }
  if (Is(kw, "PrivateKeyRing")) {
    return OneValue(count, "%s(%d): Missing Filename in \"PrivateKeyRing <Filename>\" line\n", line) &&
           SetPath(&g->PrivateKeyRing, t[1], path_, line);
  }
  if (Is(kw, "RandSeedFile")) {
    return OneValue(count, "%s(%d): Missing Filename in \"RandSeedFile <Filename>\" line\n", line) &&
           SetPath(&g->RandSeedFile, t[1], path_, line);
  }
  if (Is(kw, "RepLogFile")) {
    return OneValue(count, "%s(%d): Missing Filename in \"RepLogFile <Filename>\" line\n", line) &&
           SetPath(&g->RepLogFile, t[1], path_, line);
  }
  if (Is(kw, "ServerSecureKeyID")) {
    if (!OneValue(count, "%s(%d): Missing Key ID in \"ServerSecureKeyID <KeyID>\" line\n", line)) return false;
    if (CheckKeyID(t[1], path_, line) != 0 || QOXNewKeyIDFromString(t[1], 0, &g->ServerSecureKeyID) != 0)
      return Fail("%s(%d): Invalid KeyID (%s) found in ServerSecureKeyID\n", path_, line, t[1]);
    sawServerKeyID_ = true;
    return true;
  }
  if (Is(kw, "ReplicationSecureKeyID")) {
    if (!OneValue(count, "%s(%d): Missing Key ID in \"ReplicationSecureKeyID <KeyID>\" line\n", line))
      return false;
    if (CheckKeyID(t[1], path_, line) != 0)
      return Fail("%s(%d): Invalid KeyID (%s) found in ReplicationSecureKeyID\n", path_, line, t[1]);
    return true;
  }
  if (Is(kw, "ReadOnly")) {
    if (!OneValue(count, "%s(%d): Missing Yes|No in \"ReadOnly <Yes|No>\" line\n", line)) return false;
    int yn = YesNo(t[1]);
    int onoff = ParseBool(t[1]);
    if (yn < 0 && onoff < 0)
      return Fail("%s(%d): Invalid permission in \"ReadOnly <Yes|No>\" line\n", path_, line);
    if (onoff >= 0)
      LogError(kLogInfo, onoff ? "ReadOnly: 'on' is deprecated. Please use 'yes' and 'no'."
                               : "ReadOnly: 'off' is deprecated. Please use 'yes' and 'no'.");
    if (be_ != nullptr) be_->readOnly = yn >= 0 ? yn : onoff;
    return true;
  }
  if (Is(kw, "LogLevel")) {
    if (!OneValue(count, "%s(%d): Missing Level in \"LogLevel <Level>\" line\n", line)) return false;
    int level = Is(t[1], "error") ? 8 : Is(t[1], "warning") ? 4 : Is(t[1], "info") ? 2 : Is(t[1], "verbose") ? 1 : 0;
    if (level == 0)
      return Fail(
          "%s(%d): LogLevel of '%s' is invalid.\n  Valid LogLevels: 'error', 'warning', 'info', 'verbose'.\n",
          path_, line, t[1]);
    g->LogLevel = level;
    UpdateErrorLogValues(level, -1, -1);
    return true;
  }
  if (Is(kw, "Replica")) return be_ == nullptr || Replica(count, t, line);
  if (Is(kw, "TrimUsers")) return YesNoField(count, t, line, "TrimUsers", &g->TrimUsers);
  if (Is(kw, "TrimSigs")) return YesNoField(count, t, line, "TrimSigs", &g->TrimSigs);
  if (Is(kw, "TrimPhotoIDs")) return YesNoField(count, t, line, "TrimPhotoIDs", &g->TrimPhotoIDs);
  if (Is(kw, "MustSigID")) return SigIDGroups(count, t, line, "MustSigID", g->MustSigID, &mustGroups_);
  if (Is(kw, "AllowSigID")) return SigIDGroups(count, t, line, "AllowSigID", g->AllowSigID, &allowGroups_);
  if (Is(kw, "Allow")) return Allow(count, t, line);
  if (Is(kw, "MustSignAdds")) {
    if (count != 2) return Fail("%s(%d): Missing Yes|No in \"MustSignAdds <Yes|No>\" line.\n", path_, line);
    int yn = YesNo(t[1]);
    if (yn < 0)
      return Fail("%s(%d): Invalid value (%s) found on \"MustSignAdds <Yes|No>\" line.\n", path_, line, t[1]);
    g->MustSignAdds = yn;
    return true;
  }
  if (Is(kw, "AccessLogDetails")) {
    if (count < 2) return Fail("%s(%d): Missing Type in \"AccessLogDetails <type> ...\" line.\n", path_, line);
    static constexpr struct {
      const char* name;
      int32_t bit;
    } kTypes[] = {{"bind", 2},     {"unbind", 4},  {"abandon", 8}, {"add", 16},
                  {"modify", 32},  {"search", 64}, {"delete", 128}, {"ldap", 0x100}};
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
      for (const auto& k : kTypes) {
        if (Is(t[i], k.name)) {
          mask |= k.bit;
          found = true;
        }
      }
      if (!found)
        return Fail("%s(%d): Invalid value (%s) found on \"AccessLogDetails <type> ...\" line.\n", path_, line,
                    t[i]);
    }
    g->AccessLogDetails = mask;
    return true;
  }
  if (Is(kw, "PolicyFailures")) {
    if (count != 2)
      return Fail("%s(%d): Missing Pending|Error in \"PolicyFailures <Pending|Error>\" line.\n", path_, line);
    if (Is(t[1], "pending"))
      g->PolicyFailures = 1;
    else if (Is(t[1], "error"))
      g->PolicyFailures = 0;
    else
      return Fail("%s(%d): Invalid value (%s) found on \"PolicyFailures <Pending|Error>\" line.\n", path_, line,
                  t[1]);
    return true;
  }
  if (Is(kw, "IndexMethod")) {
    if (count != 2) return Fail("%s(%d): Invalid number of parameters for IndexMethod.\n", path_, line);
    if (Is(t[1], "substring"))
      g->IndexMethod = 1;
    else if (Is(t[1], "word"))
      g->IndexMethod = 2;
    else
      return Fail("%s(%d): IndexMethod must be'Word' or 'Substring'.\n", path_, line);
    return true;
  }
  if (Is(kw, "DefaultAccess")) {
    if (count != 2) return Fail("%s(%d): Missing Access in \"DefaultAccess <Access>\" line.\n", path_, line);
    int level = str2access(t[1]);
    if (level == -1)
      return Fail(
          "%s(%d): Default Access level of '%s' is invalid.\n  Valid levels: 'none', 'compare', 'search', "
          "'read', 'add', 'delete', 'all'.\n",
          path_, line, t[1]);
    g->DefaultAccess = level;
    return true;
  }
  if (Is(kw, "IdleSyncTimeout")) {
    if (count != 2) return Fail("%s(%d): Missing Seconds in \"IdleSyncTimeout <Seconds>\" line\n", path_, line);
    if (!Digits(t[1], &v))
      return Fail("%s(%d): Invalid Seconds in \"IdleSyncTimeout <Seconds>\" line\n", path_, line);
    g->IdleSyncTimeout = v;
    return true;
  }
  if (Is(kw, "AccessLogFormat")) {
    if (count != 2) return Fail("%s(%d): Invalid number of parameters for AccessLogFormat.\n", path_, line);
    if (Is(t[1], "version1"))
      g->AccessLogFormat = 0;
    else if (Is(t[1], "standard"))
      g->AccessLogFormat = 1;
    else
      return Fail("%s(%d): Invalid access log format type.\n", path_, line);
    return true;
  }
  if (Is(kw, "LookupHostname")) {
    int yn = count == 2 ? YesNo(t[1]) : -1;
    int onoff = count == 2 ? ParseBool(t[1]) : -1;
    if (yn < 0 && onoff < 0) return Fail("%s(%d): Invalid value specified for LookupHostname.\n", path_, line);
    if (onoff >= 0)
      LogError(kLogInfo, onoff ? "LookupHostname: 'on' is deprecated. Please use 'yes' and 'no'."
                               : "LookupHostname: 'off' is deprecated. Please use 'yes' and 'no'.");
    g->LookupHostname = static_cast<uint8_t>(yn >= 0 ? yn : onoff);
    return true;
  }
  if (Is(kw, "AdminPassword")) {
    return OneValue(count, "%s(%d): Missing Filename in \"AdminPassword {SSHA}<password>\" line\n", line) &&
           SetText(&g->AdminPassword, t[1], path_, line);
  }
  if (Is(kw, "AdminUsername")) {
    return OneValue(count, "%s(%d): Missing Username in \"AdminUsername <Username>\" line\n", line) &&
           SetText(&g->AdminUsername, t[1], path_, line);
  }
  if (Is(kw, "TempPath")) return OneValue(count, "%s(%d): Missing Filename in \"TempPath <Filename>\" line\n", line);
  if (Is(kw, "AcceptReconstructionData") || Is(kw, "ForceSyncOnWrite")) {
    bool accept = Is(kw, "AcceptReconstructionData");
    const char* name = accept ? "AcceptReconstructionData" : "ForceSyncOnWrite";
    if (count != 2) return Fail("%s(%d): Invalid number of parameters for %s.\n", path_, line, name);
    int yn = YesNo(t[1]);
    if (yn < 0) return Fail("%s(%d): %s must be'yes' or 'no'.\n", path_, line, name);
    (accept ? g->AcceptReconstructionData : g->ForceSyncOnWrite) = static_cast<uint8_t>(yn);
    return true;
  }
  if (Is(kw, "User")) {
    if (count != 2) return Fail("%s(%d): Invalid number of parameters for 'User'.\n", path_, line);
    return SetText(&g->User, t[1], path_, line);
  }
  static constexpr const char* kRetired[] = {"CommandPort", "RepdCommandPort", "CommandTimeout",
                                             "RepdCommandTimeout"};
  for (const char* r : kRetired) {
    if (Is(kw, r)) {
      LogError(kLogInfo, "%s no longer supported.", r);
      return true;
    }
  }
  return Fail("%s(%d) Unknown config directive (%s).", path_, line, kw);
}

bool SecondPass::Finish() {
  for (int i = 0; i < mustGroups_; ++i)
    for (KeyIDNode* n = g->MustSigID[i]; n != nullptr; n = n->next)
      vuzizTrace(kTraceConfig, "Must Sig ID: %s\n", n->keyID);
  for (int i = 0; i < allowGroups_; ++i)
    for (KeyIDNode* n = g->AllowSigID[i]; n != nullptr; n = n->next)
      vuzizTrace(kTraceConfig, "Allow Sig ID: %s\n", n->keyID);
  if (g->TrimSigs && mustGroups_ == 0 && allowGroups_ == 0)
    return Fail("%s: TrimSigs was enabled but no AllowSigID or MustSigID Key IDs were specified.\n", path_);
  bool replica = be_ != nullptr && be_->replicaURLCount > 0;
  if ((g->RepLogFile != nullptr) != replica)
    return Fail("%s: To perform replication, both RepLogFile and Replica must be specified.\n", path_);
  if (!g->LookupHostname) {
    for (AccessAllow* r = g->accessRules; r != nullptr; r = r->next) {
      if (r->type == kAllowSubjectHost) {
        LogError(kLogWarning, "Host access control found. Turning on DNS lookups (Overriding current setting).");
        g->LookupHostname = 1;
        break;
      }
    }
  }
  if (g->SecureMode == kSecureRequired && !sawServerKeyID_)
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
      SecondPass pass(path, be);
      char* tokens[kMaxConfigTokens + 1];
      int count = 0;
      bool ok = true;
      while (ok && file.Next(&count, tokens)) {
        vuzizTrace(kTraceConfig, "line %d (%s)\n", file.line(), file.raw().c_str());
        if (count == 0) {
          vuzizTrace(kTraceStartStop, "%s(%d): bad config line (ignored)\n", path, file.line());
          continue;
        }
        ok = pass.Line(count, tokens, file.line());
      }
      if (ok) ok = pass.Finish();
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
    if (Is(kw, "mode") || Is(kw, "index") || Is(kw, "cacheentries") || Is(kw, "dbcachesize") ||
        Is(kw, "directory") || Is(kw, "dbCacheSplit")) {
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

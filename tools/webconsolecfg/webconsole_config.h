// The web wizard's configuration file, "webconsole.cfg": its five paths and
// its twelve pieces.
//
// Portable code shared by `ostrakfix` (cross-built for Windows, tools/
// webconsolecfg/win/) and the native tests. It uses only the C and C++
// standard libraries and touches no global state; every call may run on any
// thread.
//
// Each path is the installation root followed directly by its suffix and a
// zero byte, in a 256-byte buffer. The root comes from the registry into a
// 300-byte buffer, possibly without its terminating zero, so it is
// terminated inside that buffer first (TerminateRootValue) and every path is
// checked against its buffer before anything is copied (BuildPaths).
#ifndef OSTRAK_TOOLS_WEBCONSOLECFG_WEBCONSOLE_CONFIG_H_
#define OSTRAK_TOOLS_WEBCONSOLECFG_WEBCONSOLE_CONFIG_H_

#include <cstddef>
#include <cstdio>

namespace ostrak::webconsolecfg {

inline constexpr size_t kRootBufferSize = 300;
inline constexpr size_t kPathBufferSize = 256;

// The suffixes, in the order the paths are built. The configuration file's
// is the longest, so a root of at most kPathBufferSize - 1 - 27 = 228
// characters fits every path.
inline constexpr char kConfigFileSuffix[] = "\\web\\cgi-bin\\webconsole.cfg";
inline constexpr char kKeyServerSuffix[] = "\\bin\\ostrakd.exe";
inline constexpr char kReplicationSuffix[] = "\\bin\\ostrakrepd.exe";
inline constexpr char kMonitorSuffix[] = "\\Web\\cgi-bin\\ostrakmon.exe";
inline constexpr char kDefaultConfigSuffix[] = "\\etc\\ostrakd.cfg";

inline constexpr size_t kLongestRoot = kPathBufferSize - sizeof kConfigFileSuffix;

struct WebConsolePaths {
  char config_file[kPathBufferSize];
  char key_server[kPathBufferSize];
  char replication[kPathBufferSize];
  char monitor[kPathBufferSize];
  char default_config[kPathBufferSize];
};

// Makes the first `length` bytes of `buffer` (a registry value of at most
// `capacity` bytes) a zero-terminated text inside the buffer: the text ends
// at its first zero byte, or a zero is stored after the value. False when
// the value fills the buffer without a zero (it is longer than the buffer),
// or when `length` exceeds `capacity`.
bool TerminateRootValue(char* buffer, size_t capacity, size_t length);

// Builds the five paths from the zero-terminated `root`. False, with `out`
// untouched, when any path would not fit its buffer with its zero byte
// (a root longer than kLongestRoot characters).
bool BuildPaths(const char* root, WebConsolePaths* out);

// Writes the twelve pieces of the file to `stream`. False as soon as a
// write fails; the caller reports it (closing the stream may fail too: it is
// the caller's to check).
bool WriteConfig(FILE* stream, const char* root, const WebConsolePaths& paths);

}  // namespace ostrak::webconsolecfg

#endif  // OSTRAK_TOOLS_WEBCONSOLECFG_WEBCONSOLE_CONFIG_H_

// The steps of `ostrakfix`: banner, arguments, registry, file, messages and
// exit status, written against OstrakfixPlatform, the few operations the
// program needs of its system. The Windows program (win/ostrakfix_main.cc)
// implements them with the registry and the C runtime; the native tests
// implement them with a fake.
//
// Every path ends with status 0, failures included: installers and scripts
// that run the tool rely on it.
#ifndef OSTRAK_TOOLS_WEBCONSOLECFG_OSTRAKFIX_H_
#define OSTRAK_TOOLS_WEBCONSOLECFG_OSTRAKFIX_H_

#include <cstddef>
#include <cstdio>

#include "tools/webconsolecfg/webconsole_config.h"

namespace ostrak::webconsolecfg {

// The registry location of the installation root, under HKEY_LOCAL_MACHINE.
inline constexpr char kRegistryKey[] = "SOFTWARE\\Orvane\\QOX Certificate Server\\Ostrakd\\Settings";
inline constexpr char kRootValueName[] = "ROOTDIR";

inline constexpr char kBanner[] = "QOX Keyserver 1.0\n";
inline constexpr char kInvalidParameters[] = "Invalid parameters..\n";
inline constexpr char kKeyOpenFailed[] = "\nUnable to open the Registry Key:";
inline constexpr char kValueQueryFailed[] = "\nUnable to query the Registry Key:";
inline constexpr char kRootTooLong[] = "\nUnable to use the ROOTDIR of the Registry Key:";
inline constexpr char kOpenFailedFormat[] = "\nError in opening the webconsole.cfg at %s";
inline constexpr char kWriteFailedFormat[] = "\nError in writing the webconsole.cfg at %s";
inline constexpr char kDone[] = "Done.\n";

enum class RootRead {
  kRead,          // the value's bytes are in the buffer
  kKeyNotOpened,  // the key could not be opened
  kValueNotRead,  // the key has no such value, or it does not fit the buffer
};

// How the value is stored: only the two string types are taken, the
// expandable one as stored (its %VARIABLES% left as they are).
enum class RootType { kString, kExpandString, kOther };

class OstrakfixPlatform {
 public:
  virtual ~OstrakfixPlatform() = default;

  // Reads the installation root value into `buffer` (kRootBufferSize
  // bytes): on kRead, `*length` is the number of bytes stored (not
  // necessarily ending with a zero) and `*type` how the value is stored.
  virtual RootRead ReadRoot(char* buffer, size_t* length, RootType* type) = 0;

  // Creates or truncates the file at `path` as a text stream ("w"); null
  // when it cannot be created.
  virtual FILE* CreateConfigFile(const char* path) = 0;
  // Closes a stream of CreateConfigFile; false when the close (with its last
  // writes) fails.
  virtual bool CloseConfigFile(FILE* stream) = 0;

  // Writes `text` to standard output.
  virtual void Print(const char* text) = 0;
  // The runtime's error report: `text`, ": ", the message for the current
  // error number and a line feed, on the error stream.
  virtual void ReportError(const char* text) = 0;
};

// Runs the program's steps with its command line; returns its exit status.
int RunOstrakfix(int argc, const char* const* argv, OstrakfixPlatform& platform);

}  // namespace ostrak::webconsolecfg

#endif  // OSTRAK_TOOLS_WEBCONSOLECFG_OSTRAKFIX_H_

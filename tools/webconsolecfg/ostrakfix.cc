#include "tools/webconsolecfg/ostrakfix.h"

#include <cerrno>
#include <cstdio>

namespace ostrak::webconsolecfg {
namespace {

constexpr int kExitStatus = 0;

// Prints one of the two file messages, each naming the file's path.
static_assert(sizeof kOpenFailedFormat <= sizeof kWriteFailedFormat);
void PrintFileMessage(OstrakfixPlatform& platform, const char* format, const char* path) {
  char text[sizeof kWriteFailedFormat + kPathBufferSize];
  std::snprintf(text, sizeof text, format, path);
  platform.Print(text);
}

}  // namespace

int RunOstrakfix(int argc, const char* const* /*argv*/, OstrakfixPlatform& platform) {
  platform.Print(kBanner);
  if (argc > 1) {
    platform.Print(kInvalidParameters);
    return kExitStatus;
  }

  char root[kRootBufferSize];
  size_t length = 0;
  RootType type = RootType::kOther;
  switch (platform.ReadRoot(root, &length, &type)) {
    case RootRead::kRead:
      break;
    case RootRead::kKeyNotOpened:
      platform.ReportError(kKeyOpenFailed);
      return kExitStatus;
    case RootRead::kValueNotRead:
      platform.ReportError(kValueQueryFailed);
      return kExitStatus;
  }
  if (type == RootType::kOther) {
    platform.ReportError(kValueQueryFailed);
    return kExitStatus;
  }

  WebConsolePaths paths;
  if (!TerminateRootValue(root, sizeof root, length) || !BuildPaths(root, &paths)) {
    errno = ENAMETOOLONG;
    platform.ReportError(kRootTooLong);
    return kExitStatus;
  }

  FILE* file = platform.CreateConfigFile(paths.config_file);
  if (file == nullptr) {
    PrintFileMessage(platform, kOpenFailedFormat, paths.config_file);
    return kExitStatus;
  }
  bool written = WriteConfig(file, root, paths) && !std::ferror(file);
  written = platform.CloseConfigFile(file) && written;
  if (!written) {
    PrintFileMessage(platform, kWriteFailedFormat, paths.config_file);
    return kExitStatus;
  }
  platform.Print(kDone);
  return kExitStatus;
}

}  // namespace ostrak::webconsolecfg

// `ostrakfix`: writes the web wizard's "webconsole.cfg" from the
// installation root that the installer recorded in the Windows registry.
//
// A Windows console program, cross-built with mingw-w64 and linked
// statically (tools/webconsolecfg/CMakeLists.txt). Its steps are the
// portable RunOstrakfix; this file gives them the registry and the C
// runtime's text-mode streams, which store each line feed as CR LF.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include "tools/webconsolecfg/ostrakfix.h"

namespace ostrak::webconsolecfg {
namespace {

// Opens the settings key for reading. The tool only reads, and opening a key
// under HKEY_LOCAL_MACHINE\SOFTWARE for all access needs administrator
// rights. A 64-bit program sees the 64-bit view of the registry; a 32-bit
// installer writes the 32-bit view, which is read when the key is missing
// from the native one.
LONG OpenSettingsKey(HKEY* key) {
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ, key);
  if (status == ERROR_FILE_NOT_FOUND) {
    status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ | KEY_WOW64_32KEY, key);
  }
  return status;
}

class WindowsPlatform final : public OstrakfixPlatform {
 public:
  RootRead ReadRoot(char* buffer, size_t* length, RootType* type) override {
    HKEY key;
    if (OpenSettingsKey(&key) != ERROR_SUCCESS) return RootRead::kKeyNotOpened;
    DWORD value_type = REG_NONE;
    DWORD size = kRootBufferSize;
    const LONG status = RegQueryValueExA(key, kRootValueName, nullptr, &value_type,
                                         reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || size > kRootBufferSize) return RootRead::kValueNotRead;
    *length = size;
    *type = value_type == REG_SZ          ? RootType::kString
            : value_type == REG_EXPAND_SZ ? RootType::kExpandString
                                          : RootType::kOther;
    return RootRead::kRead;
  }

  FILE* CreateConfigFile(const char* path) override { return std::fopen(path, "w"); }

  bool CloseConfigFile(FILE* stream) override { return std::fclose(stream) == 0; }

  void Print(const char* text) override {
    std::printf("%s", text);
    std::fflush(stdout);
  }

  void ReportError(const char* text) override { std::perror(text); }
};

}  // namespace
}  // namespace ostrak::webconsolecfg

int main(int argc, char** argv) {
  ostrak::webconsolecfg::WindowsPlatform platform;
  return ostrak::webconsolecfg::RunOstrakfix(argc, argv, platform);
}

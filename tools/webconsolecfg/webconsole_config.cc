#include "tools/webconsolecfg/webconsole_config.h"

#include <cstring>

namespace ostrak::webconsolecfg {
namespace {

// Copies root + suffix into a path buffer; the caller has checked the size.
void JoinPath(char (&path)[kPathBufferSize], const char* root, size_t root_length,
              const char* suffix, size_t suffix_size) {
  std::memcpy(path, root, root_length);
  std::memcpy(path + root_length, suffix, suffix_size);  // with its zero
}

// The comment block between the first two entries and the others, pieces 3
// to 8 of the file, each written as it stands.
constexpr const char* kCommentPieces[] = {
    "#\n# QOX Certificate Server Web-based Configuration Wizard configuration file.\n",
    "#\n# Valid values:\n",
    "#\n#   base_install <path>\n"
    "#           - Fully qualified path to the product install directory.\n",
    "#\n#   keyserver <file>\n"
    "#           - Fully qualified filename of the keyserver executable.\n",
    "#\n#   repd <file>\n"
    "#           - Fully qualified filename of the replication engine's executable.\n",
    "#\n#   default_config_file <file>\n"
    "#           - Fully qualified filename of the configuration file the\n"
    "#             Web wizard uses by default.\n#\n\n",
};

bool WriteText(FILE* stream, const char* text) {
  return std::fprintf(stream, "%s", text) >= 0;
}

bool WriteLabelledLine(FILE* stream, const char* label, const char* value) {
  return WriteText(stream, label) && std::fprintf(stream, "%s\n", value) >= 0;
}

}  // namespace

bool TerminateRootValue(char* buffer, size_t capacity, size_t length) {
  if (length > capacity) return false;
  if (std::memchr(buffer, '\0', length) != nullptr) return true;
  if (length == capacity) return false;
  buffer[length] = '\0';
  return true;
}

bool BuildPaths(const char* root, WebConsolePaths* out) {
  const size_t root_length = std::strlen(root);
  if (root_length > kLongestRoot) return false;
  JoinPath(out->config_file, root, root_length, kConfigFileSuffix, sizeof kConfigFileSuffix);
  JoinPath(out->key_server, root, root_length, kKeyServerSuffix, sizeof kKeyServerSuffix);
  JoinPath(out->replication, root, root_length, kReplicationSuffix, sizeof kReplicationSuffix);
  JoinPath(out->monitor, root, root_length, kMonitorSuffix, sizeof kMonitorSuffix);
  JoinPath(out->default_config, root, root_length, kDefaultConfigSuffix,
           sizeof kDefaultConfigSuffix);
  return true;
}

bool WriteConfig(FILE* stream, const char* root, const WebConsolePaths& paths) {
  if (!WriteLabelledLine(stream, "ostrakmon\t\t\t", paths.monitor) ||
      !WriteLabelledLine(stream, "ostrakd\t\t", paths.key_server)) {
    return false;
  }
  for (const char* piece : kCommentPieces) {
    if (!WriteText(stream, piece)) return false;
  }
  return WriteLabelledLine(stream, "base_install\t\t", root) &&
         WriteLabelledLine(stream, "keyserver           ", paths.key_server) &&
         WriteLabelledLine(stream, "repd                 ", paths.replication) &&
         WriteLabelledLine(stream, "default_config_file\t", paths.default_config);
}

}  // namespace ostrak::webconsolecfg

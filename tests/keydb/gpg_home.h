// gpg as the oracle of the key-database tests: a scratch directory with a
// private gpg home (the agent gpg starts for it is stopped before the
// directory goes) and the lines of its output.
#ifndef OSTRAK_TESTS_KEYDB_GPG_HOME_H_
#define OSTRAK_TESTS_KEYDB_GPG_HOME_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "keydb_test_support.h"

namespace keydb_test {

class GpgHome {
 public:
  GpgHome() {
    char pattern[] = "/tmp/ostrak-keydb-gpg-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    EXPECT_FALSE(dir_.empty());
    mkdir((dir_ + "/gnupg").c_str(), 0700);
  }
  ~GpgHome() {
    Run("GNUPGHOME=" + dir_ + "/gnupg gpgconf --kill all", nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  GpgHome(const GpgHome&) = delete;
  GpgHome& operator=(const GpgHome&) = delete;

  // Writes the bytes to a file of the scratch directory; its path.
  std::string Put(const std::string& name, const Bytes& bytes) const {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }
  // gpg's exit status; its output (standard output and error) in *output.
  // SHA-1 key signatures are checked (gpg 2.2 refuses them otherwise).
  int Gpg(const std::string& args, std::string* output) const {
    return Run("GNUPGHOME=" + dir_ + "/gnupg TZ=UTC gpg --batch --no-tty --allow-weak-key-signatures " + args,
               output);
  }

 private:
  static int Run(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string dir_;
};

// The lines of a text.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

}  // namespace keydb_test

#endif  // OSTRAK_TESTS_KEYDB_GPG_HOME_H_

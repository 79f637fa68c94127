// Shared helpers of the storage tests: a started toolkit, a backend over a
// fresh temporary directory, and a reader of the files through the Berkeley
// DB tools (db5.3_dump -p), an oracle independent of our code.
#ifndef OSTRAK_TESTS_BACKEND_LDBM_TEST_SUPPORT_H_
#define OSTRAK_TESTS_BACKEND_LDBM_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "backend/ldbm.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "server/support/zovurez.h"

class LdbmToolkitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  void TearDown() override { QOXsdkCleanup(); }
};

inline ::testing::Environment* const kLdbmToolkitEnvironment =
    ::testing::AddGlobalTestEnvironment(new LdbmToolkitEnvironment);

// A backend made by ldbm_back_init over its own temporary directory.
class TempBackend {
 public:
  TempBackend() {
    char pattern[] = "/tmp/ldbm-XXXXXX";
    dir_ = mkdtemp(pattern);
    be_.type = "ldbm";
    be_.ops.close = ldbm_back_close;
    ldbm_back_init(&be_);
    LdbmState(&be_)->directory = zovurezStrdup(dir_.c_str());
  }
  ~TempBackend() {
    ldbm_back_close(&be_);
    ldbm_back_release(&be_);
    std::filesystem::remove_all(dir_);
  }
  TempBackend(const TempBackend&) = delete;
  TempBackend& operator=(const TempBackend&) = delete;

  Backend* be() { return &be_; }
  LdbmBackendState* li() { return LdbmState(&be_); }
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

 private:
  std::string dir_;
  Backend be_{};
};

// Output of a shell command and its exit status.
inline std::string RunCommand(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status != nullptr) *status = rc;
  return out;
}

// Undoes the printable form of db5.3_dump -p ("\xx" hex, "\\").
inline std::string Unprint(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
    } else if (s[i] == '\\' && i + 2 < s.size()) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct DumpedFile {
  std::string type;  // "btree" or "hash"
  std::map<std::string, std::string> records;
};

// Every key/value pair of a file, read by the Berkeley DB dump tool.
inline DumpedFile DumpFile(const std::string& path) {
  DumpedFile d;
  int status = 0;
  std::string text = RunCommand("db5.3_dump -p '" + path + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << text;
  std::vector<std::string> data;
  bool body = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!body) {
      if (line.rfind("type=", 0) == 0) d.type = line.substr(5);
      if (line == "HEADER=END") body = true;
      continue;
    }
    if (line == "DATA=END") break;
    if (!line.empty() && line[0] == ' ') data.push_back(Unprint(line.substr(1)));
  }
  for (size_t i = 0; i + 1 < data.size(); i += 2) d.records[data[i]] = data[i + 1];
  return d;
}

inline std::string Be32(uint32_t v) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}

// The IDs of an ID-list record as dumped: {nmax, nids, ids...}.
inline std::vector<uint32_t> Words(const std::string& record) {
  std::vector<uint32_t> w;
  for (size_t i = 0; i + 4 <= record.size(); i += 4) {
    w.push_back((static_cast<uint32_t>(static_cast<uint8_t>(record[i])) << 24) |
                (static_cast<uint32_t>(static_cast<uint8_t>(record[i + 1])) << 16) |
                (static_cast<uint32_t>(static_cast<uint8_t>(record[i + 2])) << 8) |
                static_cast<uint32_t>(static_cast<uint8_t>(record[i + 3])));
  }
  return w;
}

inline std::string Key(const std::string& text) { return text + std::string(1, '\0'); }

#endif  // OSTRAK_TESTS_BACKEND_LDBM_TEST_SUPPORT_H_

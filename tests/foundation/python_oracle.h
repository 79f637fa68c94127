// Runs a Python 3 script as an independent oracle and returns its output
// lines. The script gets its input on the command line.
#ifndef OSTRAK_TESTS_FOUNDATION_PYTHON_ORACLE_H_
#define OSTRAK_TESTS_FOUNDATION_PYTHON_ORACLE_H_

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> RunPython(const std::string& script, const std::string& args = "") {
  char path[] = "/tmp/ostrak-oracle-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return {};
  close(fd);
  std::ofstream(path) << script;
  std::string cmd = "/usr/bin/python3 " + std::string(path) + " " + args;
  std::vector<std::string> lines;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    std::string cur;
    int c;
    while ((c = std::fgetc(p)) != EOF) {
      if (c == '\n') {
        lines.push_back(cur);
        cur.clear();
      } else {
        cur += static_cast<char>(c);
      }
    }
    pclose(p);
  }
  unlink(path);
  return lines;
}

#endif  // OSTRAK_TESTS_FOUNDATION_PYTHON_ORACLE_H_

// One fuzz step for the configuration reader, shared by the libFuzzer
// target (config_fuzz.cc) and the mutation test: the input is a
// configuration file, read by the three passes as a start reads it (each
// pass stops at its first error) into a fresh server state with a backend
// whose keyword entry point only counts its lines. Replica lines whose host
// is a name are dropped first: they would ask the resolver.
#ifndef OSTRAK_TESTS_SERVER_FUZZ_CONFIG_FUZZ_BODY_H_
#define OSTRAK_TESTS_SERVER_FUZZ_CONFIG_FUZZ_BODY_H_

#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/core/start_up.h"
#include "server/backend.h"
#include "server/config.h"
#include "server/daemon.h"
#include "server/error_log.h"
#include "server/main/wiring.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace config_fuzz {

inline int CountLine(Backend*, const char*, int, int argc, char** argv) {
  // A line the backend refuses, to reach the passes' failure path.
  return argc > 1 && strcasecmp(argv[1], "refuse") == 0 ? 1 : 0;
}

// Drops Replica lines that name a host (anything but digits, dots, colons
// and the scheme): the resolver is outside the reader.
inline std::string WithoutResolvedReplicas(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size), out;
  size_t at = 0;
  while (at < in.size()) {
    size_t end = in.find('\n', at);
    end = end == std::string::npos ? in.size() : end + 1;
    std::string line = in.substr(at, end - at);
    size_t k = line.find_first_not_of(" \t");
    bool drop = false;
    if (k != std::string::npos && strncasecmp(line.c_str() + k, "replica", 7) == 0) {
      for (size_t i = k + 7; i < line.size() && !drop; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (isalpha(c) && line.compare(i, 4, "ldap") != 0 && line.compare(i, 4, "LDAP") != 0 &&
            line.compare(i, 4, "http") != 0 && line.compare(i, 4, "HTTP") != 0)
          drop = true;
        else if (isalpha(c))
          i += 3;
      }
    }
    if (!drop) out += line;
    at = end;
  }
  return out;
}

// The file the passes read: a file in memory (each pass opens it by its
// /proc path), rewritten for each input.
inline int File() {
  static int fd = memfd_create("ostrakd.conf", 0);
  return fd;
}

inline const char* Path() {
  static std::string path = "/proc/self/fd/" + std::to_string(File());
  return path.c_str();
}

inline void Run(const uint8_t* data, size_t size) {
  static bool started = [] {
    ostrakWire();
    QOXsdkInit(kQOXsdkInitNoBackEnd);
    if (g_pszCurrentDirectory == nullptr) g_pszCurrentDirectory = zovurezStrdup("/start");
    return true;
  }();
  (void)started;
  const std::string text = WithoutResolvedReplicas(data, size);
  if (File() < 0 || ftruncate(File(), 0) != 0 ||
      pwrite(File(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    return;
  ErrorLogInit("fuzz", kLogError * 2, 0, 1, nullptr);  // LogLevel lines change it: quiet again
  // A fresh server state of its own; one made by another body of the same
  // program is put back afterwards.
  ServerState* const kept = g;
  g = nullptr;
  if (vuzizInitGlobals(&g) != 0) {
    g = kept;
    return;
  }
  new_backend("mem", &g->backends, &g->backendCount, &g->backendCapacity);
  Backend* be = select_backend();
  be->ops.config = CountLine;
  if (ReadConfigFirst(Path(), kNoPortOverride, kNoPortOverride) == 0 && ReadConfig(Path(), be) == 0)
    (void)ReadConfigLast(Path(), be);
  be_close();
  vuzizReleaseGlobals(&g, 0);
  g = kept;
}

}  // namespace config_fuzz

#endif  // OSTRAK_TESTS_SERVER_FUZZ_CONFIG_FUZZ_BODY_H_

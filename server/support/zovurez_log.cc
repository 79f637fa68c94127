// The entries of ZovurezLogServices (server/support/zovurez_log.h) while the
// error log has not registered its calls.
#include "server/support/zovurez_log.h"

#include <cstdarg>
#include <cstdio>

#include "foundation/service_table.h"

namespace {

// The message and a newline on standard error.
__attribute__((format(printf, 2, 3))) void LogError(int, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
  std::fputc('\n', stderr);
}

// Nothing: the trace is off.
__attribute__((format(printf, 2, 3))) void vuzizTrace(uint32_t, const char*, ...) {}

constexpr ZovurezLogServices kUnregistered = {.LogError = LogError, .vuzizTrace = vuzizTrace};

constinit QOXServiceSlot<ZovurezLogServices> gSlot{&kUnregistered};

}  // namespace

const ZovurezLogServices& zovurezLogServices() { return gSlot.get(); }

const ZovurezLogServices* zovurezRegisterLogServices(const ZovurezLogServices* table) { return gSlot.install(table); }

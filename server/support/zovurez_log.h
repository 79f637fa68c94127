// How the server support library reports: through the daemon's error log and
// debug trace (server/error_log.h), which sit above it and register their
// two calls here at start-up (server/server_registration.h).
//
// The levels and trace bits are the error log's; they are defined here so
// that both libraries share them. Until the error log registers, the entries
// in server/support/zovurez_log.cc write each message, with a newline, to
// standard error, and trace nothing.
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: both calls may be made from any thread.
#ifndef OSTRAK_SERVER_SUPPORT_ZOVUREZ_LOG_H_
#define OSTRAK_SERVER_SUPPORT_ZOVUREZ_LOG_H_

#include <cstdint>

// --- Levels of LogError ---
inline constexpr int kLogVerbose = 1;
inline constexpr int kLogInfo = 2;
inline constexpr int kLogWarning = 4;
inline constexpr int kLogError = 8;

// --- Bits of the debug trace ---
inline constexpr uint32_t kTraceEntryExit = 4;
inline constexpr uint32_t kTraceArgs = 8;
inline constexpr uint32_t kTraceListenerWait = 16;
inline constexpr uint32_t kTraceFilters = 32;
inline constexpr uint32_t kTraceConfig = 64;
inline constexpr uint32_t kTraceAccess = 128;
inline constexpr uint32_t kTraceEntryText = 0x100;
inline constexpr uint32_t kTraceDetail = 0x200;
inline constexpr uint32_t kTraceBackend = 0x800;
inline constexpr uint32_t kTraceStartStop = 0x1000;
// The value stored for "-d 0": keeps the process in the foreground, prints
// nothing.
inline constexpr uint32_t kTraceForeground = 0x8000000;

struct ZovurezLogServices {
  void (*LogError)(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
  void (*vuzizTrace)(uint32_t bits, const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// The table in force, and its registration (foundation/service_table.h).
const ZovurezLogServices& zovurezLogServices();
const ZovurezLogServices* zovurezRegisterLogServices(const ZovurezLogServices* table);

// Entry and exit lines of a support function ("=> name", "<= name") at
// trace bit 4.
class ZovurezTraceScope {
 public:
  explicit ZovurezTraceScope(const char* name) : name_(name) {
    zovurezLogServices().vuzizTrace(kTraceEntryExit, "=> %s\n", name_);
  }
  ~ZovurezTraceScope() { zovurezLogServices().vuzizTrace(kTraceEntryExit, "<= %s\n", name_); }
  ZovurezTraceScope(const ZovurezTraceScope&) = delete;
  ZovurezTraceScope& operator=(const ZovurezTraceScope&) = delete;

 private:
  const char* name_;
};

#endif  // OSTRAK_SERVER_SUPPORT_ZOVUREZ_LOG_H_

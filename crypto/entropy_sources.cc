// Entropy from the platform: the high-resolution timer and the operating
// system's random devices, with the outputs of system commands as the last
// resort.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "crypto/random_pool.h"
#include "foundation/byte_order.h"

namespace {

constexpr size_t kOsBlock = 256;

std::once_flag gTickOnce;
uint32_t gTickSize = 0;  // written once under gTickOnce

std::mutex gPreviousMutex;
uint64_t gPreviousReading = 0;  // guarded by gPreviousMutex

// The timer's resolution in its own units: the middle five of fifteen
// differences of successive distinct readings, averaged. A timer that does
// not move in 4096 readings counts one unit per tick.
void MeasureTickSize() {
  uint32_t diffs[15];
  int recorded = 0;
  int equalRun = 0;
  uint64_t last = qoxReadHighResolutionTimer();
  while (recorded < 15) {
    uint64_t now = qoxReadHighResolutionTimer();
    uint32_t d = static_cast<uint32_t>(now) - static_cast<uint32_t>(last);
    if (d == 0) {
      if (++equalRun >= 4096) {
        gTickSize = 1;
        return;
      }
      continue;
    }
    equalRun = 0;
    diffs[recorded++] = d;
    last = now;
  }
  std::sort(diffs, diffs + 15);
  uint64_t sum = 0;
  for (int i = 5; i < 10; ++i) sum += diffs[i];
  gTickSize = static_cast<uint32_t>((sum + 4) / 5);
  if (gTickSize == 0) gTickSize = 1;
}

void AddTo(QOXRandomContext* rc, const uint8_t* bytes, size_t count) {
  if (count != 0) rc->vtbl->addBytes(rc->priv, bytes, count);
}

// Runs a command and adds its output as read, in blocks of up to 256 bytes.
void AddCommandOutput(QOXRandomContext* rc, const char* command) {
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return;
  uint8_t block[kOsBlock];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, pipe)) > 0) AddTo(rc, block, n);
  std::memset(block, 0, sizeof block);
  pclose(pipe);
}

}  // namespace

uint64_t qoxReadHighResolutionTimer() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint32_t qoxRandomCollectEntropy(QOXRandomContext* rc) {
  uint64_t reading = qoxReadHighResolutionTimer();
  uint8_t bytes[8];
  StoreBE64(bytes, reading);
  AddTo(rc, bytes, sizeof bytes);
  std::call_once(gTickOnce, MeasureTickSize);
  int64_t elapsed;
  {
    std::lock_guard<std::mutex> lock(gPreviousMutex);
    elapsed = static_cast<int64_t>(reading - gPreviousReading);
    gPreviousReading = reading;
  }
  return static_cast<uint32_t>(elapsed / static_cast<int64_t>(gTickSize));
}

int qoxRandomCollectOsData(QOXRandomContext* rc, bool tryHard) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fd = open("/dev/random", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    uint8_t block[kOsBlock];
    ssize_t n = read(fd, block, sizeof block);
    close(fd);
    if (n < 0) return 0;
    AddTo(rc, block, static_cast<size_t>(n));
    std::memset(block, 0, sizeof block);
    return 1;
  }
  if (!tryHard) return 0;
  // The memory device is never read on this platform: reading it can fault
  // or hang hardware, so it counts as not openable and the commands follow.
  AddCommandOutput(rc, "ps -elf 2>&1");
  AddCommandOutput(rc, "vmstat 2>&1");
  AddCommandOutput(rc, "iostat 2>&1");
  return 1;
}

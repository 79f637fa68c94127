// Timing of the access log's rotation: when the next rotation falls due.
//
// The context holds the seconds left until the next rotation (0: due) and
// the time of the last check. It is made at start-up of every pass and
// freed with the server state; only the listener thread uses it afterwards.
#ifndef OSTRAK_SERVER_LOG_ROTATION_H_
#define OSTRAK_SERVER_LOG_ROTATION_H_

#include <cstdint>
#include <ctime>

struct CycleLogContext {
  int64_t secondsLeft;
  time_t lastCheck;
};

// 0, 1 (the time cannot be converted) or 90 (out of memory). Reads
// CycleLogDay and CycleLogTime of the server state.
[[nodiscard]] int CreateCycleLogContext(CycleLogContext** context);
void FreeCycleLogContext(CycleLogContext* context);
// Seconds from the local time `now` (seconds ignored) until the next
// rotation, for the given day (0 Sunday .. 6 Saturday, 7 daily) and minute
// of the day.
void GetSecondsTilNextCycle(int64_t* seconds, const struct tm* now, int cycleDay, int cycleTime);
// True when a rotation is due (never with CycleLogDay 8).
bool IsCycleLogTime(CycleLogContext* context, time_t now);

#endif  // OSTRAK_SERVER_LOG_ROTATION_H_
